#include "server/ConnectionMonitor.h"

#include <QSet>
#include <QtConcurrent/QtConcurrentRun>

#include "platform/DiagnosticLog.h"

namespace tavrolin {

ConnectionMonitor::ConnectionMonitor(int intervalMs, TableReader reader, QObject *parent)
    : QObject(parent), m_reader(reader ? std::move(reader) : TableReader([](QString *error) { return TcpTable::readAll(error); }))
{
    m_timer.setInterval(intervalMs);
    connect(&m_timer, &QTimer::timeout, this, &ConnectionMonitor::checkConnections);
    connect(&m_watcher, &QFutureWatcher<Check>::finished, this, [this] {
        const Check check = m_watcher.result();
        // A check that finishes after stop must not bring back a count the
        // stopped server reset to 0.
        if (!m_timer.isActive())
            return;
        if (!check.error.isEmpty()) {
            diagLog(QStringLiteral("Failed to check connections: %1").arg(check.error));
            return;
        }
        Q_EMIT lanClientsCounted(check.count);
    });
}

int ConnectionMonitor::countLanPeers(const QList<TcpSocketEntry> &entries, quint16 port)
{
    QSet<QString> peers;
    for (const TcpSocketEntry &entry : entries) {
        if (entry.state != TcpTable::kEstablished || (entry.localPort != port && entry.remotePort != port))
            continue;
        QHostAddress peer = entry.remoteAddress;
        bool isV4 = false;
        const quint32 v4 = peer.toIPv4Address(&isV4);
        if (isV4)
            peer = QHostAddress(v4);
        if (peer.isLoopback() || peer.isNull())
            continue;
        peers.insert(peer.toString());
    }
    return int(peers.size());
}

QCoro::Task<> ConnectionMonitor::start(int s3Port)
{
    m_port = quint16(s3Port);
    m_timer.start();
    checkConnections();
    co_return;
}

QCoro::Task<> ConnectionMonitor::stop()
{
    m_timer.stop();
    co_return;
}

void ConnectionMonitor::checkConnections()
{
    // A slow read is not stacked up behind itself.
    if (m_watcher.isRunning())
        return;
    m_watcher.setFuture(QtConcurrent::run([reader = m_reader, port = m_port] {
        Check check;
        const QList<TcpSocketEntry> entries = reader(&check.error);
        check.count = countLanPeers(entries, port);
        return check;
    }));
}

} // namespace tavrolin
