#include <QCoreApplication>
#include <QTcpServer>
#include <gtest/gtest.h>

#include <csignal>
#include <unistd.h>

#include "platform/ProcessTable.h"

using namespace tavrolin;

TEST(ProcessTable, ParsesListeningSocketsOfOnePortOnly)
{
    // Port 8333 = 0x208D; state 0A is LISTEN, 01 ESTABLISHED.
    const QByteArray tcp =
        "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n"
        "   0: 0100007F:208D 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        0 111 1 0 100 0 0 10 0\n"
        "   1: 0100007F:208D 0100007F:C350 01 00000000:00000000 00:00000000 00000000     0        0 222 1 0 20 4 30 10 -1\n"
        "   2: 00000000:2710 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        0 333 1 0 100 0 0 10 0\n"
        "   3: garbage\n"
        "   4: 0100007F:ZZZZ 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        0 444 1\n";
    EXPECT_EQ(ProcessTable::parseListeningInodes(tcp, 8333), QSet<quint64>{111});
    EXPECT_EQ(ProcessTable::parseListeningInodes(tcp, 10000), QSet<quint64>{333});
    EXPECT_TRUE(ProcessTable::parseListeningInodes(tcp, 1).isEmpty());

    const QByteArray tcp6 =
        "  sl  local_address                         remote_address                        st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n"
        "   0: 00000000000000000000000000000000:208D 00000000000000000000000000000000:0000 0A 00000000:00000000 00:00000000 00000000     0        0 555 1\n";
    EXPECT_EQ(ProcessTable::parseListeningInodes(tcp6, 8333), QSet<quint64>{555});
    EXPECT_TRUE(ProcessTable::parseListeningInodes(QByteArray(), 8333).isEmpty());
}

TEST(ProcessTable, FindsTheHolderOfAListeningPortAndReadsItsCommandLine)
{
    QTcpServer server;
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost, 0));
    const QList<qint64> holders = ProcessTable::listenerPids(server.serverPort());
    EXPECT_EQ(holders, QList<qint64>{qint64(::getpid())});

    const auto self = ProcessTable::read(::getpid());
    ASSERT_TRUE(self.has_value());
    EXPECT_EQ(self->exe, QCoreApplication::applicationFilePath());
    EXPECT_FALSE(self->args.isEmpty());
    EXPECT_FALSE(self->zombie);
    EXPECT_TRUE(ProcessTable::isAlive(::getpid()));
    EXPECT_FALSE(ProcessTable::read(0).has_value());
}

TEST(ProcessTable, RefusesSignalsThatReachMoreThanOneProcessOrOurselves)
{
    // Each of these would hit a process group, every process, init, or us.
    for (qint64 pid : {qint64(0), qint64(-1), qint64(-12345), qint64(1), qint64(::getpid())})
        EXPECT_FALSE(ProcessTable::sendSignal(pid, 0)) << pid;
}
