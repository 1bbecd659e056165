#include <QCoreApplication>
#include <QTcpServer>
#include <gtest/gtest.h>

#include <csignal>
#include <unistd.h>

#include "platform/ProcessTable.h"
#include "tests/support/TestSupport.h"

using namespace tavrolin;
using namespace tavrolin::test;

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

TEST(ProcessTable, TheSoftOpenFileLimitIsRaisedToTheHardOne)
{
    const LowOpenFileLimit limit(256);
    ASSERT_TRUE(limit.ok());
    const qint64 now = ProcessTable::raiseOpenFileLimit();
    rlimit after{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &after), 0);
    EXPECT_EQ(after.rlim_cur, limit.hard());
    EXPECT_EQ(now, limit.hard() == RLIM_INFINITY ? -1 : qint64(limit.hard()));
}
