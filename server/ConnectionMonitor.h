#pragma once

#include <QFutureWatcher>
#include <QObject>
#include <QTimer>
#include <functional>

#include "platform/TcpTable.h"
#include "platform/ManagedService.h"

namespace tavrolin {

// Counts the distinct LAN hosts that hold a TCP connection to (or from) the
// S3 port, every two seconds. The socket tables are read on a worker
// thread; the count is reported on the main thread.
class ConnectionMonitor : public QObject, public ManagedService {
    Q_OBJECT
public:
    static constexpr int kIntervalMs = 2000;

    using TableReader = std::function<QList<TcpSocketEntry>(QString *error)>;
    // Tests give their own interval and tables.
    explicit ConnectionMonitor(int intervalMs = kIntervalMs, TableReader reader = {}, QObject *parent = nullptr);

    // startConnectionMonitor: the timer, and one check at once.
    QCoro::Task<> start(int s3Port) override;
    QCoro::Task<> stop() override;

    // Distinct remote addresses of established connections on the port,
    // loopback excluded. An IPv4 peer seen through an IPv4-mapped IPv6
    // address is the same peer.
    static int countLanPeers(const QList<TcpSocketEntry> &entries, quint16 port);

Q_SIGNALS:
    void lanClientsCounted(int count);

private:
    struct Check {
        int count = 0;
        QString error;
    };
    void checkConnections();

    TableReader m_reader;
    QTimer m_timer;
    quint16 m_port = 0;
    QFutureWatcher<Check> m_watcher;
};

} // namespace tavrolin
