#include <QTcpServer>
#include <QTcpSocket>
#include <gtest/gtest.h>

#include "platform/TcpTable.h"
#include "tests/support/TestSupport.h"

using namespace tavrolin;
using namespace tavrolin::test;

TEST(TcpTable, DecodesAddressesPortsStatesAndSkipsWhatDoesNotParse)
{
    // Port 8333 = 0x208D; state 0A is LISTEN, 01 ESTABLISHED. The kernel
    // prints 192.168.1.20 as 1401A8C0 on a little-endian machine.
    const QByteArray tcp =
        "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n"
        "   0: 0100007F:208D 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        0 111 1 0 100 0 0 10 0\n"
        "   1: 0100007F:208D 1401A8C0:C350 01 00000000:00000000 00:00000000 00000000     0        0 222 1 0 20 4 30 10 -1\n"
        "   3: garbage\n"
        "   4: 0100007F:ZZZZ 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        0 444 1\n"
        "   5: 0100007F:1FFFF 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        0 555 1\n";
    const QList<TcpSocketEntry> entries = TcpTable::parse(tcp);
    ASSERT_EQ(entries.size(), 2);
    EXPECT_EQ(entries[0].state, TcpTable::kListen);
    EXPECT_EQ(entries[0].localAddress, QHostAddress(QStringLiteral("127.0.0.1")));
    EXPECT_EQ(entries[0].localPort, 8333);
    EXPECT_EQ(entries[0].inode, 111u);
    EXPECT_EQ(entries[1].state, TcpTable::kEstablished);
    EXPECT_EQ(entries[1].remoteAddress, QHostAddress(QStringLiteral("192.168.1.20")));
    EXPECT_EQ(entries[1].remotePort, 50000);

    // fe80::1 and ::ffff:192.168.1.21, as printed in /proc/net/tcp6.
    const QByteArray tcp6 =
        "  sl  local_address                         remote_address                        st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n"
        "   0: 000080FE000000000000000001000000:208D 0000000000000000FFFF00001501A8C0:C350 01 00000000:00000000 00:00000000 00000000     0        0 666 1\n";
    const QList<TcpSocketEntry> v6 = TcpTable::parse(tcp6);
    ASSERT_EQ(v6.size(), 1);
    EXPECT_EQ(v6[0].localAddress, QHostAddress(QStringLiteral("fe80::1")));
    EXPECT_EQ(v6[0].remoteAddress, QHostAddress(QStringLiteral("::ffff:192.168.1.21")));
    EXPECT_TRUE(TcpTable::parse(QByteArray()).isEmpty());
}

TEST(TcpTable, SeesThisProcesssOwnConnectionsOnBothFamilies)
{
    for (const QHostAddress &loopback : {QHostAddress(QHostAddress::LocalHost), QHostAddress(QHostAddress::LocalHostIPv6)}) {
        QTcpServer server;
        if (!server.listen(loopback, 0)) {
            ASSERT_NE(loopback, QHostAddress(QHostAddress::LocalHost)) << "cannot listen on 127.0.0.1";
            continue; // no IPv6 on this machine
        }
        QTcpSocket client;
        client.connectToHost(loopback, server.serverPort());
        ASSERT_TRUE(waitUntil([&] { return server.hasPendingConnections(); }, std::chrono::seconds(5)));
        const quint16 clientPort = client.localPort();

        bool seen = false;
        for (const TcpSocketEntry &e : TcpTable::readAll()) {
            if (e.state == TcpTable::kEstablished && e.localPort == clientPort && e.remotePort == server.serverPort()) {
                EXPECT_EQ(e.remoteAddress, loopback);
                seen = true;
            }
        }
        EXPECT_TRUE(seen) << loopback.toString().toStdString();
    }
}
