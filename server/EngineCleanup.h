#pragma once

#include <QCoro/QCoroTask>
#include <QList>
#include <QString>

#include "platform/ProcessTable.h"

namespace tavrolin {

// Clears the ground before the engine starts. Only an engine that this
// application started is ever signalled: its executable is our engine and its
// command line names our storage folder. Whoever else holds an engine port is
// named in the log and left alone.
class EngineCleanup {
public:
    EngineCleanup(QString enginePath, QString storagePath, QString pidFilePath);

    // Our engine started on the given storage folder (ours by default).
    bool isOurEngine(const ProcessInfo &process, const QString &storagePath = {}) const;

    // Stops every engine of ours still running (the one in the pid file and
    // any other found in the process table): a polite termination, then the
    // kill signal if it has not exited after graceMs. Returns how many
    // processes were signalled.
    QCoro::Task<int> stopStaleEngines(int graceMs);

    // Logs each foreign holder of the given ports.
    void reportForeignPortHolders(const QList<quint16> &ports) const;
    // The one log line that names a program holding an engine port.
    static void reportForeignHolder(quint16 port, qint64 pid, const QString &name);

    // The pid file records the engine's pid and the folder it was started
    // on, so that an engine left behind on a folder the user has since
    // switched away from is still recognised as ours.
    struct PidRecord {
        qint64 pid = 0;
        QString storagePath;
    };
    void writePidFile(qint64 pid) const;
    void removePidFile() const;
    PidRecord readPidFile() const;

    // Waits until the process has exited, up to timeoutMs; true if it did.
    static QCoro::Task<bool> waitForExit(qint64 pid, int timeoutMs);

private:
    QString m_engineCanonical;
    QString m_storagePath;
    QString m_pidFilePath;
};

} // namespace tavrolin
