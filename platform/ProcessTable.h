#pragma once

#include <QByteArray>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>
#include <optional>

namespace tavrolin {

// What /proc tells about one process.
struct ProcessInfo {
    qint64 pid = 0;
    QString exe;       // resolved executable path; empty when not readable
    QStringList args;  // the command line, argv[0] first
    QString name;      // the short command name (comm)
    bool zombie = false;
};

// Linux process table, read from /proc. Used to find the engine processes
// this application left behind and to name whoever holds an engine port.
namespace ProcessTable {

std::optional<ProcessInfo> read(qint64 pid);
QList<qint64> allPids();

// A process that exists and has not yet exited (zombies count as gone).
bool isAlive(qint64 pid);

// Processes holding a listening TCP socket (IPv4 or IPv6) on the port.
QList<qint64> listenerPids(quint16 port);

// Sends a signal, refusing pids that would reach more than one process or
// this process itself (0, negative, 1, our own pid). Returns whether the
// signal was sent.
bool sendSignal(qint64 pid, int signal);

// Raises this process's soft limit of open files to its hard limit: a
// server with many transfers and files at once must not run out at the
// usual 1024. The limit now in force.
qint64 raiseOpenFileLimit();

} // namespace ProcessTable
} // namespace tavrolin
