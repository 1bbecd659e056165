#include <QFile>
#include <QTcpServer>
#include <gtest/gtest.h>

#include <csignal>
#include <unistd.h>

#include "platform/ProcessTable.h"
#include "server/EngineCleanup.h"
#include "tests/support/TestSupport.h"

using namespace tavrolin;
using namespace tavrolin::test;
using namespace std::chrono_literals;

namespace {

// A stand-in engine: a copy of the Python interpreter under the engine's
// file name, so that its executable is "our engine" while it sleeps with
// "-dir X" on its command line. (A shell would fork children that share its
// command line for a moment.)
bool ignoresTerm(qint64 pid)
{
    QFile status(QString("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return false;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("SigIgn:"))
            return (line.mid(7).trimmed().toULongLong(nullptr, 16) >> (SIGTERM - 1)) & 1;
    return false;
}

struct FakeEngineBinary {
    Sandbox sandbox;
    QString path = sandbox.path("weed");
    FakeEngineBinary() { QFile::copy("/usr/bin/python3.11", path); }

    std::unique_ptr<ChildProcess> run(const QString &storage, bool ignoreTerm = false) const
    {
        const QString loop = QString("import signal, time\n") + (ignoreTerm ? "signal.signal(signal.SIGTERM, signal.SIG_IGN)\n" : "")
            + "time.sleep(300)";
        auto child = std::make_unique<ChildProcess>(path, QStringList{"-c", loop, "-dir", storage});
        if (ignoreTerm)
            waitUntil([&] { return ignoresTerm(child->pid()); }, 10s);
        return child;
    }
};

bool alive(ChildProcess &p)
{
    QCoreApplication::processEvents();
    return ProcessTable::isAlive(p.pid());
}

} // namespace

TEST(EngineCleanup, StopsOnlyEnginesOfOursAndLeavesEveryoneElse)
{
    FakeEngineBinary engine;
    const QString current = engine.sandbox.path("current");
    const QString previous = engine.sandbox.path("previous");
    const QString pidFile = engine.sandbox.path("data/weed.pid");

    // Ours: left on the folder the user has since switched away from (known
    // through the pid file), on the current folder, and one deaf to the
    // polite request.
    auto onPrevious = engine.run(previous);
    EngineCleanup(engine.path, previous, pidFile).writePidFile(onPrevious->pid());
    auto onCurrent = engine.run(current);
    auto deaf = engine.run(current, true);

    // Not ours: the same program on another folder (another user's store),
    // and an unrelated program whose command line says weed.
    auto otherStore = engine.run(engine.sandbox.path("someone-else"));
    ChildProcess namedWeed("/usr/bin/python3", {"-c", "import time; time.sleep(300)", "weed", "-dir", current});

    const qint64 deafPid = deaf->pid(), onCurrentPid = onCurrent->pid();
    LogCapture log;
    EngineCleanup cleanup(engine.path, current, pidFile);
    const int stopped = QCoro::waitFor(cleanup.stopStaleEngines(300));

    EXPECT_EQ(stopped, 3);
    EXPECT_TRUE(waitUntil([&] { return !alive(*onPrevious) && !alive(*onCurrent) && !alive(*deaf); }, 5s));
    EXPECT_TRUE(alive(*otherStore));
    EXPECT_TRUE(alive(namedWeed));
    EXPECT_TRUE(log.contains(QString("Killed stale storage engine (pid %1)").arg(deafPid))) << log.joined().toStdString();
    EXPECT_TRUE(log.contains(QString("Stopped stale storage engine (pid %1)").arg(onCurrentPid)));
    EXPECT_FALSE(QFile::exists(pidFile));
}

TEST(EngineCleanup, HostilePidFilesSignalNobody)
{
    Sandbox sandbox;
    const QString pidFile = sandbox.path("weed.pid");
    for (const QByteArray &content : {QByteArray("-1\n/x\n"), QByteArray("0\n"), QByteArray("1\n/\n"),
                                      QByteArray::number(qint64(::getpid())) + "\n" + sandbox.storage().toUtf8(),
                                      QByteArray("99999999999999999999\n"), QByteArray(1 << 20, 'x')}) {
        QFile f(pidFile);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(content);
        f.close();
        EngineCleanup cleanup(realEnginePath(), sandbox.storage(), pidFile);
        EXPECT_EQ(QCoro::waitFor(cleanup.stopStaleEngines(100)), 0);
    }
}

TEST(EngineCleanup, NamesAForeignPortHolderWithoutTouchingIt)
{
    QTcpServer holder;
    ASSERT_TRUE(holder.listen(QHostAddress::Any, 0));
    Sandbox sandbox;
    LogCapture log;
    EngineCleanup(realEnginePath(), sandbox.storage(), sandbox.path("weed.pid")).reportForeignPortHolders({holder.serverPort()});
    const QString name = ProcessTable::read(::getpid())->name;
    EXPECT_TRUE(log.contains(QString("Port %1 is in use by another program (pid %2, %3)").arg(holder.serverPort()).arg(::getpid()).arg(name)))
        << log.joined().toStdString();
    EXPECT_TRUE(holder.isListening());
}
