#include "platform/TcpTable.h"

#include <QFile>

#include <cstring>

namespace tavrolin::TcpTable {

namespace {

// The kernel prints each 32-bit word of the address as the hex of its
// in-memory value, so the word's native bytes are the address bytes in
// network order, whatever the machine's byte order.
bool parseAddress(QByteArrayView hex, QHostAddress &out)
{
    if (hex.size() != 8 && hex.size() != 32)
        return false;
    quint8 bytes[16];
    for (qsizetype word = 0; word * 8 < hex.size(); ++word) {
        bool ok = false;
        const quint32 value = hex.sliced(word * 8, 8).toUInt(&ok, 16);
        if (!ok)
            return false;
        std::memcpy(bytes + word * 4, &value, 4);
    }
    if (hex.size() == 8) {
        quint32 v4 = 0;
        for (int i = 0; i < 4; ++i)
            v4 = (v4 << 8) | bytes[i];
        out.setAddress(v4);
    } else {
        out.setAddress(bytes);
    }
    return true;
}

bool parseEndpoint(QByteArrayView text, QHostAddress &address, quint16 &port)
{
    const qsizetype colon = text.indexOf(':');
    if (colon < 0 || !parseAddress(text.first(colon), address))
        return false;
    bool ok = false;
    const uint value = text.sliced(colon + 1).toUInt(&ok, 16);
    if (!ok || value > 0xFFFF)
        return false;
    port = quint16(value);
    return true;
}

QByteArray readProcFile(const char *path, QString *error)
{
    QFile f(QString::fromLatin1(path));
    if (!f.open(QIODevice::ReadOnly)) {
        if (error)
            *error = QStringLiteral("%1: %2").arg(f.fileName(), f.errorString());
        return {};
    }
    // /proc files report size 0; read until the end.
    return f.readAll();
}

} // namespace

QList<TcpSocketEntry> parse(const QByteArray &text)
{
    // Columns: sl local_address rem_address st tx:rx tr:when retrnsmt uid timeout inode ...
    constexpr int kLocal = 1, kRemote = 2, kState = 3, kInode = 9;
    QList<TcpSocketEntry> entries;
    for (const QByteArray &line : text.split('\n')) {
        const QList<QByteArray> cols = line.simplified().split(' ');
        if (cols.size() <= kInode)
            continue;
        TcpSocketEntry entry;
        bool ok = false;
        entry.state = cols.at(kState).toInt(&ok, 16);
        if (!ok || !parseEndpoint(cols.at(kLocal), entry.localAddress, entry.localPort)
            || !parseEndpoint(cols.at(kRemote), entry.remoteAddress, entry.remotePort))
            continue;
        entry.inode = cols.at(kInode).toULongLong(&ok);
        if (!ok)
            continue;
        entries.append(entry);
    }
    return entries;
}

QList<TcpSocketEntry> readAll(QString *error)
{
    QList<TcpSocketEntry> entries = parse(readProcFile("/proc/net/tcp", error));
    entries.append(parse(readProcFile("/proc/net/tcp6", nullptr)));
    return entries;
}

} // namespace tavrolin::TcpTable
