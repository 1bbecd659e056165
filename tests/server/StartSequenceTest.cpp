// The start and stop sequences against small stand-in engines written by
// the tests, with the sequence's seconds shortened.

#include <QElapsedTimer>
#include <QFile>
#include <gtest/gtest.h>

#include <csignal>

#include "platform/ProcessTable.h"
#include "server/ServerManager.h"
#include "tests/support/FakeS3.h"
#include "tests/support/ManagerHarness.h"

using namespace tavrolin;
using namespace tavrolin::test;
using namespace std::chrono_literals;

namespace {

class RecordingService : public ManagedService {
public:
    RecordingService(QString name, QStringList &calls) : m_name(std::move(name)), m_calls(calls) {}
    QCoro::Task<> start(int s3Port) override
    {
        m_calls << QString("start %1 %2").arg(m_name).arg(s3Port);
        co_return;
    }
    QCoro::Task<> stop() override
    {
        m_calls << "stop " + m_name;
        co_return;
    }

private:
    QString m_name;
    QStringList &m_calls;
};

} // namespace

TEST(StartSequence, WithoutAStorageFolderOnlyTheErrorIsSet)
{
    Harness h("exit 0", false);
    runTask(h.manager->startServer());
    EXPECT_EQ(h.manager->error(), "Please select a storage location first");
    EXPECT_FALSE(h.manager->isStarting());
    EXPECT_FALSE(h.manager->isRunning());
    EXPECT_TRUE(h.statuses.isEmpty());
}

TEST(StartSequence, MissingEngineOrStorageFolderEndsBackIdle)
{
    Harness missingEngine("");
    runTask(missingEngine.manager->startServer());
    EXPECT_EQ(missingEngine.manager->error(), "SeaweedFS binary not found in app bundle");
    EXPECT_EQ(missingEngine.statuses, QStringList({"Preparing...", ""}));
    EXPECT_FALSE(missingEngine.manager->isStarting());

    // A storage folder on a drive that is gone is never made afresh.
    Harness unplugged("exit 0");
    QDir(unplugged.sandbox.storage()).removeRecursively();
    runTask(unplugged.manager->startServer());
    EXPECT_EQ(unplugged.manager->error(), "Storage folder not found: " + unplugged.sandbox.storage());
    EXPECT_FALSE(QFile::exists(unplugged.sandbox.storage()));
    EXPECT_FALSE(unplugged.manager->isRunning());
}

TEST(StartSequence, AnEngineThatExitsSilentlyFailsThreeTimesWithTheRecoveryTexts)
{
    Harness h("exit 1");
    QElapsedTimer timer;
    timer.start();
    runTask(h.manager->startServer());

    EXPECT_EQ(h.statuses, QStringList({"Preparing...", "Cleaning up...", "Starting SeaweedFS...", "Start failed, retrying...",
                                       "Recovering (attempt 2/3)...", "Retrying SeaweedFS...", "Start failed, retrying...",
                                       "Recovering (attempt 3/3)...", "Retrying SeaweedFS...", ""}));
    EXPECT_EQ(h.manager->error(), "SeaweedFS failed to start: SeaweedFS crashed on startup: No output captured");
    EXPECT_EQ(h.manager->seaweedStatus(), SeaweedFSStatus::failed("Failed after 3 attempts"));
    EXPECT_TRUE(h.engineStates.contains(SeaweedFSStatus::failed("No output captured")));
    EXPECT_FALSE(h.manager->isStarting());
    EXPECT_FALSE(h.manager->isRunning());
    EXPECT_EQ(h.log.countStartingWith("SeaweedFS start attempt "), 3);
    EXPECT_TRUE(h.log.contains("SeaweedFS crashed immediately. Output: No output captured"));
    // Pauses of 1+2 and 1+3 seconds between the attempts, 3 half-second crash checks.
    EXPECT_GE(timer.elapsed(), (7 + 1) * 50);
}

TEST(StartSequence, LongCrashOutputIsCutTo200And500Characters)
{
    Harness h("i=0; while [ $i -lt 250 ]; do printf A; i=$((i+1)); done; "
              "i=0; while [ $i -lt 350 ]; do printf B; i=$((i+1)); done; exit 3");
    runTask(h.manager->startServer());
    const QString output = QString(250, 'A') + QString(350, 'B');
    EXPECT_TRUE(h.engineStates.contains(SeaweedFSStatus::failed(QString(200, 'A'))));
    EXPECT_EQ(h.manager->error(), "SeaweedFS failed to start: SeaweedFS crashed on startup: " + output.left(500));
    EXPECT_TRUE(h.log.contains("SeaweedFS: " + output)) << "one line, though the pipe may deliver it in pieces";
}

TEST(StartSequence, AnEngineThatNeverAnswersIsGivenUpAndTerminated)
{
    Harness h("echo still booting; exec sleep 300");
    qint64 pid = 0;
    QObject::connect(h.manager.get(), &ServerManager::startupStatusChanged, [&] {
        if (h.manager->enginePid())
            pid = h.manager->enginePid();
    });
    runTask(h.manager->startServer());

    EXPECT_TRUE(h.log.contains("S3 API did not respond after 3 seconds"));
    EXPECT_TRUE(h.log.contains("Warning: S3 API not responding after 3 seconds. SeaweedFS output: still booting\\n"))
        << h.log.joined().toStdString();
    EXPECT_TRUE(h.engineStates.contains(SeaweedFSStatus::failed("S3 API not responding")));
    EXPECT_EQ(h.manager->error(),
              QString("SeaweedFS failed to start: S3 API not responding. Check if port %1 is available.").arg(h.ports.s3));
    EXPECT_TRUE(h.statuses.contains("Waiting for S3 API... (3s)"));
    EXPECT_FALSE(h.statuses.contains("Waiting for S3 API... (4s)"));
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(waitUntil([&] { return !ProcessTable::isAlive(pid); }, 5s)) << "the engine outlived its failed attempt";
}

TEST(StartSequence, AnyHttpAnswerMeansReadyAndServicesRunInOrder)
{
    Harness h(kIdleEngine);
    FakeS3 gateway([](const FakeS3::Request &) { return FakeS3::Response{403, "<Error><Code>AccessDenied</Code></Error>"}; });
    ASSERT_TRUE(gateway.listen(h.ports.s3));
    QStringList calls;
    RecordingService lan("lan", calls), cloud("cloud", calls), tunnel("tunnel", calls), api("api", calls),
        quic("quic", calls), relay("relay", calls), monitor("monitor", calls);
    h.manager->setServices({&lan, &cloud, &tunnel, &api, &quic, &relay, &monitor});
    // Credentials in our environment must not reach the engine.
    qputenv("AWS_ACCESS_KEY_ID", "AKIAEXAMPLE");
    qputenv("AWS_SECRET_ACCESS_KEY", "secret");
    runTask(h.manager->startServer());
    qunsetenv("AWS_ACCESS_KEY_ID");
    qunsetenv("AWS_SECRET_ACCESS_KEY");

    EXPECT_TRUE(h.log.contains("S3 API ready after 1 second(s) (HTTP 403)")) << h.log.joined().toStdString();
    EXPECT_EQ(h.statuses, QStringList({"Preparing...", "Cleaning up...", "Starting SeaweedFS...", "Waiting for S3 API... (1s)",
                                       "Creating bucket...", "Starting network discovery...", "Registering in the cloud folder...",
                                       "Starting WebRTC tunnel...", "Starting API server...", "Starting QUIC receiver...",
                                       "Starting the cloud folder relay...", "Counting objects...", ""}));
    EXPECT_TRUE(h.manager->isRunning());
    EXPECT_FALSE(h.manager->isStarting());
    EXPECT_EQ(h.manager->seaweedStatus(), SeaweedFSStatus::running());
    EXPECT_TRUE(h.manager->error().isEmpty());

    // The bucket could not be made: five attempts, then the warning; the
    // server runs all the same.
    EXPECT_EQ(h.log.countStartingWith("Failed to create bucket (attempt "), 5);
    EXPECT_TRUE(h.log.contains("Failed to create bucket (attempt 5): HTTP 403"));
    EXPECT_TRUE(h.log.contains("Warning: Could not create 'photos' bucket after 5 attempts"));
    EXPECT_FALSE(h.manager->bucketReady());
    EXPECT_TRUE(h.log.contains("Failed to list objects: HTTP 403"));
    EXPECT_EQ(h.manager->objectCount(), 0);

    const QString p = QString::number(h.ports.s3);
    EXPECT_EQ(calls, QStringList({"start lan " + p, "start cloud " + p, "start tunnel " + p, "start api " + p, "start quic " + p,
                                  "start relay " + p, "start monitor " + p}));
    calls.clear();
    h.manager->setLanClients(3);
    h.manager->mirrorRemoteClients(2);

    const qint64 pid = h.manager->enginePid();
    runTask(h.manager->stopServer());
    EXPECT_EQ(calls, QStringList({"stop monitor", "stop relay", "stop quic", "stop api", "stop tunnel", "stop cloud", "stop lan"}));
    EXPECT_FALSE(h.manager->isRunning());
    EXPECT_EQ(h.manager->lanClients(), 0);
    EXPECT_EQ(h.manager->remoteClients(), 0);
    EXPECT_EQ(h.manager->seaweedStatus(), SeaweedFSStatus::stopped());
    EXPECT_TRUE(QCoro::waitFor(h.manager->waitForEngineExit(5000)));
    EXPECT_FALSE(ProcessTable::isAlive(pid));
    EXPECT_FALSE(QFile::exists(h.sandbox.data() + "/weed.pid"));

    // A second stop is ignored; so is a start while one runs.
    runTask(h.manager->stopServer());
    EXPECT_EQ(calls.size(), 7);
}

TEST(StartSequence, LockFilesDirectlyInTheStorageFolderAreRemoved)
{
    Harness h("exit 0");
    const QString top = h.sandbox.storage() + "/volume.lock";
    const QString nested = h.sandbox.storage() + "/sub/inner.lock";
    const QString folderNamedLock = h.sandbox.storage() + "/keep.lock";
    QDir().mkpath(h.sandbox.storage() + "/sub");
    QDir().mkpath(folderNamedLock + "/photo");
    for (const QString &path : {top, nested, folderNamedLock + "/photo/a.jpg"}) {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    }
    h.manager->removeStaleLockFiles(h.sandbox.storage());
    EXPECT_FALSE(QFile::exists(top));
    EXPECT_TRUE(QFile::exists(nested));
    EXPECT_TRUE(QFile::exists(folderNamedLock + "/photo/a.jpg"));
    EXPECT_TRUE(h.log.contains("Removed stale lock file: volume.lock"));

    h.manager->removeStaleLockFiles(h.sandbox.path("nowhere"));
    EXPECT_EQ(h.log.countStartingWith("Failed to scan for lock files: "), 1);
}

TEST(StartSequence, StorageInfoComesFromTheVolume)
{
    Harness h("exit 0");
    ASSERT_TRUE(h.manager->hasStorageInfo());
    const StorageInfo info = h.manager->storageInfoValue();
    EXPECT_EQ(info.path, h.sandbox.storage());
    EXPECT_GT(info.totalBytes, 0);
    EXPECT_EQ(info.usedBytes + info.freeBytes, info.totalBytes);
}

// A server running on an idle stand-in engine, its gateway a FakeS3 that
// answers everything.
class RunningOnIdleEngine : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(gateway.listen(h.ports.s3));
        runTask(h.manager->startServer());
        ASSERT_TRUE(h.manager->isRunning());
    }
    Harness h{kIdleEngine};
    FakeS3 gateway{[](const FakeS3::Request &) { return FakeS3::Response{200, {}}; }};
};

TEST_F(RunningOnIdleEngine, AnEngineThatDiesWhileRunningIsStartedAgainUntilItKeepsDying)
{

    // Each engine is ended by the test, which started it through the manager.
    QList<qint64> pids;
    for (int death = 1; death <= 5; ++death) {
        const qint64 pid = h.manager->enginePid();
        ASSERT_GT(pid, 0) << death;
        ASSERT_FALSE(pids.contains(pid));
        pids << pid;
        ASSERT_TRUE(::kill(pid_t(pid), SIGKILL) == 0);
        ASSERT_TRUE(waitUntil([&] { return h.manager->enginePid() != pid; }, 5s));
        EXPECT_EQ(h.log.countStartingWith("SeaweedFS exited unexpectedly"), death);
        if (death < 5) {
            ASSERT_TRUE(waitUntil([&] { return h.manager->seaweedStatus() == SeaweedFSStatus::running(); }, 5s)) << death;
            EXPECT_TRUE(h.manager->isRunning());
        }
    }
    // The waits between restarts double: 50, 100, 200, then the 400 ms cap.
    EXPECT_TRUE(h.log.contains("Restarting SeaweedFS in 50 ms"));
    EXPECT_TRUE(h.log.contains("Restarting SeaweedFS in 400 ms"));
    EXPECT_EQ(h.log.countStartingWith("SeaweedFS restarted"), 4);

    // The fifth exit within ten minutes leaves it down, and says so.
    EXPECT_TRUE(waitUntil([&] { return h.manager->seaweedStatus().kind == SeaweedFSStatus::Kind::Failed; }, 5s));
    waitUntil([] { return false; }, 1s);
    EXPECT_EQ(h.manager->seaweedStatus(), SeaweedFSStatus::failed("Exited 5 times in 10 minutes"));
    EXPECT_EQ(h.manager->enginePid(), 0);
    EXPECT_TRUE(h.manager->error().startsWith("SeaweedFS keeps exiting (5 times in 10 minutes)")) << h.manager->error().toStdString();
    for (qint64 pid : pids)
        EXPECT_FALSE(ProcessTable::isAlive(pid));

    // A stop and a new start begin afresh.
    runTask(h.manager->stopServer());
    EXPECT_EQ(h.manager->seaweedStatus(), SeaweedFSStatus::stopped());
    runTask(h.manager->startServer());
    ASSERT_TRUE(h.manager->isRunning());
    const qint64 pid = h.manager->enginePid();
    ASSERT_TRUE(::kill(pid_t(pid), SIGKILL) == 0);
    EXPECT_TRUE(waitUntil([&] { return h.manager->seaweedStatus() == SeaweedFSStatus::running() && h.manager->enginePid() != pid; }, 5s));
}

TEST_F(RunningOnIdleEngine, AStopDuringARestartLeavesNoEngine)
{
    const qint64 pid = h.manager->enginePid();
    ASSERT_TRUE(::kill(pid_t(pid), SIGKILL) == 0);
    ASSERT_TRUE(waitUntil([&] { return h.log.contains("Restarting SeaweedFS in 50 ms"); }, 5s));
    runTask(h.manager->stopServer());
    waitUntil([] { return false; }, 500ms);
    EXPECT_EQ(h.manager->enginePid(), 0);
    EXPECT_EQ(h.manager->seaweedStatus(), SeaweedFSStatus::stopped());
    EXPECT_EQ(h.log.countStartingWith("SeaweedFS restarted"), 0);
}

// A stop while a restart still probes the new engine waits for the probe to
// give up: nothing of the restart may run on after the stop, into a manager
// that may be gone by then.
TEST(StartSequence, AStopWaitsForARestartThatIsStillProbing)
{
    Harness h(kIdleEngine, true, [](ServerManagerConfig &c) {
        c.verifyWritable = true;
        c.probeLimitSeconds = 100; // of 50 ms each
    });
    bool refuseUploads = false;
    FakeS3 gateway([&](const FakeS3::Request &r) {
        return FakeS3::Response{refuseUploads && r.method == "PUT" ? 500 : 200, {}};
    });
    ASSERT_TRUE(gateway.listen(h.ports.s3));
    runTask(h.manager->startServer());
    ASSERT_TRUE(h.manager->isRunning());

    refuseUploads = true;
    const qint64 pid = h.manager->enginePid();
    ASSERT_EQ(::kill(pid_t(pid), SIGKILL), 0);
    ASSERT_TRUE(waitUntil([&] { return h.log.contains("SeaweedFS restarted"); }, 5s));
    QElapsedTimer stopping;
    stopping.start();
    runTask(h.manager->stopServer());
    EXPECT_LT(stopping.elapsed(), 3000) << "the probe gives up at its next look";
    const int warnings = h.log.countStartingWith("Warning: the storage did not accept");
    waitUntil([] { return false; }, 7s); // longer than the whole probe
    EXPECT_EQ(h.log.countStartingWith("Warning: the storage did not accept"), warnings) << "the restart probed on after the stop";
    EXPECT_EQ(h.manager->enginePid(), 0);
}
