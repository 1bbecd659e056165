#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>

namespace tavrolin {

// One socket line of /proc/net/tcp or /proc/net/tcp6.
struct TcpSocketEntry {
    QHostAddress localAddress;
    quint16 localPort = 0;
    QHostAddress remoteAddress;
    quint16 remotePort = 0;
    int state = 0; // kernel TCP state number
    quint64 inode = 0;
};

// The kernel's TCP socket tables, read straight from /proc: cheap enough to
// poll every few seconds, and no child process per look.
namespace TcpTable {

constexpr int kEstablished = 0x01;
constexpr int kListen = 0x0A;

// Lines that do not parse are skipped; the header line is one of them.
QList<TcpSocketEntry> parse(const QByteArray &procNetTcpText);

// Both tables (IPv4 and IPv6) of this machine. A machine without IPv6 has
// no tcp6 table; only an unreadable IPv4 table sets the error.
QList<TcpSocketEntry> readAll(QString *error = nullptr);

} // namespace TcpTable
} // namespace tavrolin
