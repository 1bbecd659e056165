#include <QTcpServer>
#include <QTcpSocket>
#include <gtest/gtest.h>

#include "server/ConnectionMonitor.h"
#include "tests/support/TestSupport.h"

using namespace tavrolin;
using namespace tavrolin::test;
using namespace std::chrono_literals;

namespace {

TcpSocketEntry connection(const char *local, quint16 localPort, const char *remote, quint16 remotePort,
                          int state = TcpTable::kEstablished)
{
    TcpSocketEntry e;
    e.localAddress = QHostAddress(QString::fromLatin1(local));
    e.localPort = localPort;
    e.remoteAddress = QHostAddress(QString::fromLatin1(remote));
    e.remotePort = remotePort;
    e.state = state;
    return e;
}

} // namespace

TEST(ConnectionMonitor, CountsDistinctLanHostsOnThePortAndNeverLoopback)
{
    EXPECT_EQ(ConnectionMonitor::countLanPeers({}, 8333), 0);
    // One phone with several connections is one client.
    EXPECT_EQ(ConnectionMonitor::countLanPeers({connection("192.168.1.5", 8333, "192.168.1.20", 50000),
                                                connection("192.168.1.5", 8333, "192.168.1.20", 50001)},
                                               8333),
              1);
    EXPECT_EQ(ConnectionMonitor::countLanPeers({connection("127.0.0.1", 8333, "127.0.0.1", 50000),
                                                connection("127.0.0.1", 8333, "127.0.0.2", 50000),
                                                connection("::1", 8333, "::1", 50000),
                                                connection("::ffff:127.0.0.1", 8333, "::ffff:127.0.0.1", 50000),
                                                connection("192.168.1.5", 8333, "192.168.1.20", 50000)},
                                               8333),
              1);
    // IPv6 peers count by their full address; an IPv4 peer that reached a
    // dual-stack socket is the same peer as over IPv4.
    EXPECT_EQ(ConnectionMonitor::countLanPeers({connection("fe80::5", 8333, "fe80::1:2", 50000),
                                                connection("fe80::5", 8333, "fe80::1:3", 50000),
                                                connection("::ffff:192.168.1.5", 8333, "::ffff:192.168.1.20", 50000),
                                                connection("192.168.1.5", 8333, "192.168.1.20", 50002)},
                                               8333),
              3);
    // Either side may be the port; other ports and other states do not count.
    EXPECT_EQ(ConnectionMonitor::countLanPeers({connection("192.168.1.5", 41000, "192.168.1.30", 8333),
                                                connection("192.168.1.5", 8334, "192.168.1.40", 50000),
                                                connection("0.0.0.0", 8333, "0.0.0.0", 0, TcpTable::kListen),
                                                connection("192.168.1.5", 8333, "192.168.1.50", 50000, 0x06)},
                                               8333),
              1);
}

TEST(ConnectionMonitor, CountsFromCapturedKernelTables)
{
    // 192.168.1.20 twice (ports 50000, 50001), 127.0.0.1, and 10.0.0.7 on
    // another port; then fe80::1:2, ::1 and ::ffff:192.168.1.20 on tcp6.
    const QByteArray tcp =
        "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n"
        "   0: 00000000:208D 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        0 100 1\n"
        "   1: 0501A8C0:208D 1401A8C0:C350 01 00000000:00000000 00:00000000 00000000     0        0 101 1\n"
        "   2: 0501A8C0:208D 1401A8C0:C351 01 00000000:00000000 00:00000000 00000000     0        0 102 1\n"
        "   3: 0100007F:208D 0100007F:D000 01 00000000:00000000 00:00000000 00000000     0        0 103 1\n"
        "   4: 0501A8C0:208E 0700000A:C350 01 00000000:00000000 00:00000000 00000000     0        0 104 1\n";
    const QByteArray tcp6 =
        "  sl  local_address                         remote_address                        st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n"
        "   0: 000080FE000000000000000005000000:208D 000080FE000000000000000002000100:C350 01 00000000:00000000 00:00000000 00000000     0        0 200 1\n"
        "   1: 00000000000000000000000001000000:208D 00000000000000000000000001000000:C350 01 00000000:00000000 00:00000000 00000000     0        0 201 1\n"
        "   2: 0000000000000000FFFF00000501A8C0:208D 0000000000000000FFFF00001401A8C0:C352 01 00000000:00000000 00:00000000 00000000     0        0 202 1\n";
    QList<TcpSocketEntry> entries = TcpTable::parse(tcp);
    entries.append(TcpTable::parse(tcp6));
    ASSERT_EQ(entries.size(), 8);
    EXPECT_EQ(ConnectionMonitor::countLanPeers(entries, 8333), 2); // 192.168.1.20 and fe80::1:2
}

TEST(ConnectionMonitor, ChecksOnceAtStartWithoutWaitingForTheFirstTick)
{
    ConnectionMonitor monitor(60000, [](QString *) { return QList<TcpSocketEntry>{connection("10.0.0.1", 8333, "10.0.0.2", 5000)}; });
    int count = -1;
    QObject::connect(&monitor, &ConnectionMonitor::lanClientsCounted, [&](int n) { count = n; });
    runTask(monitor.start(8333));
    EXPECT_TRUE(waitUntil([&] { return count == 1; }, 5s));
}

TEST(ConnectionMonitor, ChecksOnEveryTickKeepsTheCountOnFailureAndStopsReportingWhenStopped)
{
    std::atomic<int> reads{0};
    std::atomic<bool> failing{false};
    ConnectionMonitor monitor(50, [&](QString *error) {
        ++reads;
        if (failing) {
            *error = QStringLiteral("/proc/net/tcp: Permission denied");
            return QList<TcpSocketEntry>{};
        }
        return QList<TcpSocketEntry>{connection("10.0.0.1", 8333, "10.0.0.2", 5000)};
    });
    QList<int> counts;
    QObject::connect(&monitor, &ConnectionMonitor::lanClientsCounted, [&](int n) { counts.append(n); });

    runTask(monitor.start(8333));
    ASSERT_TRUE(waitUntil([&] { return counts.size() >= 3; }, 5s));
    EXPECT_EQ(counts.first(), 1);

    // A failed read is logged and keeps the last count.
    LogCapture log;
    failing = true;
    const qsizetype before = counts.size();
    ASSERT_TRUE(waitUntil([&] { return log.countStartingWith("Failed to check connections: ") >= 2; }, 5s));
    EXPECT_TRUE(log.contains("Failed to check connections: /proc/net/tcp: Permission denied"));
    EXPECT_LE(counts.size(), before + 1);

    failing = false;
    runTask(monitor.stop());
    const qsizetype atStop = counts.size();
    waitUntil([] { return false; }, 300ms);
    EXPECT_EQ(counts.size(), atStop);
}

TEST(ConnectionMonitor, TheMachinesOwnLoopbackClientsAreNotCounted)
{
    QTcpServer server;
    ASSERT_TRUE(server.listen(QHostAddress::Any, 0));
    QTcpSocket fromLocalhost, fromSecondLoopback;
    fromSecondLoopback.bind(QHostAddress(QStringLiteral("127.0.0.2")));
    fromLocalhost.connectToHost(QHostAddress::LocalHost, server.serverPort());
    fromSecondLoopback.connectToHost(QHostAddress::LocalHost, server.serverPort());
    ASSERT_TRUE(waitUntil([&] {
        return fromLocalhost.state() == QAbstractSocket::ConnectedState
               && fromSecondLoopback.state() == QAbstractSocket::ConnectedState;
    }, 5s));

    // The real tables do hold these connections...
    int established = 0;
    for (const TcpSocketEntry &e : TcpTable::readAll()) {
        if (e.state == TcpTable::kEstablished && e.localPort == server.serverPort())
            ++established;
    }
    EXPECT_EQ(established, 2);

    // ...and the monitor counts none of them.
    ConnectionMonitor monitor;
    int count = -1;
    QObject::connect(&monitor, &ConnectionMonitor::lanClientsCounted, [&](int n) { count = n; });
    runTask(monitor.start(server.serverPort()));
    ASSERT_TRUE(waitUntil([&] { return count >= 0; }, 5s));
    EXPECT_EQ(count, 0);
    runTask(monitor.stop());
}
