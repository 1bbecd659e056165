#include <QCoreApplication>
#include <QTcpServer>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <unistd.h>

#include "platform/ProcessTable.h"

using namespace tavrolin;

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
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit low = saved;
    low.rlim_cur = std::min<rlim_t>(256, saved.rlim_max);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    const qint64 now = ProcessTable::raiseOpenFileLimit();
    rlimit after{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &after), 0);
    EXPECT_EQ(after.rlim_cur, saved.rlim_max);
    EXPECT_EQ(now, saved.rlim_max == RLIM_INFINITY ? -1 : qint64(saved.rlim_max));
    ::setrlimit(RLIMIT_NOFILE, &saved);
}
