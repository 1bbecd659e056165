// End to end with the real storage engine, on loopback ports of the test's
// own choosing.

#include <QFile>
#include <csignal>
#include <QProcess>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <gtest/gtest.h>

#include "platform/ProcessTable.h"
#include "server/EngineCleanup.h"
#include "tests/support/ManagerHarness.h"

using namespace tavrolin;
using namespace tavrolin::test;
using namespace std::chrono_literals;

namespace {

// Local addresses on which the port is listening, from /proc/net/tcp
// ("0100007F" is 127.0.0.1, "00000000" any).
QStringList listeningAddresses(int port)
{
    QStringList out;
    for (const char *table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        QFile f(table);
        if (!f.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray &line : f.readAll().split('\n')) {
            const QList<QByteArray> cols = line.simplified().split(' ');
            if (cols.size() < 4 || cols[3] != "0A")
                continue;
            const QList<QByteArray> local = cols[1].split(':');
            if (local.size() == 2 && local[1].toInt(nullptr, 16) == port)
                out << QString::fromLatin1(local[0]);
        }
    }
    return out;
}

} // namespace

TEST(RealEngine, CleanStartCountsStopsAndFreesThePorts)
{
    EngineHarness h;
    // Credentials in our environment would switch on the gateway's
    // authentication if they reached the engine.
    qputenv("AWS_ACCESS_KEY_ID", "AKIAEXAMPLE");
    qputenv("AWS_SECRET_ACCESS_KEY", "secret");
    const bool started = h.start();
    qunsetenv("AWS_ACCESS_KEY_ID");
    qunsetenv("AWS_SECRET_ACCESS_KEY");
    ASSERT_TRUE(started) << h.manager->error().toStdString() << "\n" << h.log.joined().toStdString();

    QStringList withoutProbes;
    int probe = 0;
    for (const QString &s : h.statuses) {
        if (s.startsWith("Waiting for S3 API... (")) {
            EXPECT_EQ(s, QString("Waiting for S3 API... (%1s)").arg(++probe));
            continue;
        }
        withoutProbes << s;
    }
    EXPECT_GE(probe, 1);
    EXPECT_EQ(withoutProbes, QStringList({"Preparing...", "Cleaning up...", "Starting SeaweedFS...", "Creating bucket...",
                                          "Starting network discovery...", "Registering in the cloud folder...", "Starting WebRTC tunnel...",
                                          "Starting API server...", "Starting QUIC receiver...", "Starting the cloud folder relay...",
                                          "Counting objects...", ""}));
    EXPECT_TRUE(h.manager->bucketReady());
    EXPECT_TRUE(h.manager->error().isEmpty());
    EXPECT_FALSE(h.manager->isStarting());
    EXPECT_EQ(h.manager->seaweedStatus(), SeaweedFSStatus::running());
    EXPECT_TRUE(h.log.contains(QString("SeaweedFS started successfully on port %1").arg(h.ports.s3)));
    EXPECT_GT(h.log.countStartingWith("SeaweedFS: "), 0);

    // Only the S3 gateway faces the network; master, volume and filer stay
    // on loopback.
    EXPECT_FALSE(listeningAddresses(h.ports.s3).isEmpty());
    for (int port : {h.ports.master, h.ports.volume, h.ports.filer, h.ports.metrics})
        EXPECT_EQ(listeningAddresses(port), QStringList{"0100007F"}) << port;

    ASSERT_TRUE(putObjects(h.ports.s3, "photos", {"a.jpg", "a_thumb.jpg", "b.mov"}));
    runTask(h.manager->updateObjectCount());
    EXPECT_EQ(h.manager->objectCount(), 2);

    const qint64 pid = h.manager->enginePid();
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(QFile::exists(h.sandbox.data() + "/weed.pid"));
    runTask(h.manager->stopServer());
    EXPECT_FALSE(h.manager->isRunning());
    EXPECT_FALSE(h.manager->bucketReady());
    EXPECT_EQ(h.manager->objectCount(), 2);
    EXPECT_TRUE(QCoro::waitFor(h.manager->waitForEngineExit(15000)));
    EXPECT_FALSE(ProcessTable::isAlive(pid));
    for (int port : h.ports.all())
        EXPECT_TRUE(waitUntil([&] { return portIsFree(port); }, 5s)) << port;
    EXPECT_FALSE(QFile::exists(h.sandbox.data() + "/weed.pid"));
}

TEST(RealEngine, CountsThousandsOfKeysAcrossPagesWithAwkwardNames)
{
    EngineHarness h;
    ASSERT_TRUE(h.start()) << h.log.joined().toStdString();

    // The engine's continuation token is the last key of a page; the keys at
    // the page boundaries carry the characters that break a query string.
    QStringList keys;
    int thumbs = 0;
    for (int i = 0; i < 2500; ++i) {
        QString key = QString("k%1").arg(i, 4, 10, QChar('0'));
        if (i == 999 || i == 1000 || i == 1999)
            key += " a&b+c=d e.jpg";
        else if (i % 10 == 3)
            key += "_thumb.jpg", ++thumbs;
        else
            key += ".jpg";
        keys << key;
    }
    ASSERT_TRUE(putObjects(h.ports.s3, "photos", keys));
    runTask(h.manager->updateObjectCount());
    EXPECT_EQ(h.manager->objectCount(), 2500 - thumbs) << h.log.joined().right(2000).toStdString();
    EXPECT_TRUE(h.log.contains(QString("Object count updated: %1 objects").arg(2500 - thumbs)));
}

TEST(RealEngine, AStaleEngineOfOursIsClearedBeforeTheStart)
{
    EngineHarness h;
    // An engine from a run that ended without stopping it, recorded in the
    // pid file.
    ChildProcess stale(realEnginePath(), h.manager->engineArguments(h.sandbox.storage()));
    ASSERT_TRUE(stale.running());
    const qint64 stalePid = stale.pid();
    EngineCleanup(realEnginePath(), h.sandbox.storage(), h.sandbox.data() + "/weed.pid").writePidFile(stalePid);
    ASSERT_TRUE(waitUntil([&] { return portIsListening(h.ports.master); }, 20s));

    ASSERT_TRUE(h.start()) << h.log.joined().toStdString();
    EXPECT_FALSE(ProcessTable::isAlive(stalePid));
    EXPECT_NE(h.manager->enginePid(), stalePid);
    EXPECT_TRUE(h.manager->bucketReady());
}

TEST(RealEngine, ForeignProcessesAndPortHoldersSurvive)
{
    EngineHarness h;
    ChildProcess namedWeed("/usr/bin/python3", {"-c", "import time; time.sleep(300)", "weed", "server", "-dir", h.sandbox.storage()});
    ASSERT_TRUE(h.start()) << h.log.joined().toStdString();
    EXPECT_TRUE(ProcessTable::isAlive(namedWeed.pid()));
    runTask(h.manager->stopServer());
    ASSERT_TRUE(QCoro::waitFor(h.manager->waitForEngineExit(15000)));
    ASSERT_TRUE(waitUntil([&] { return portIsFree(h.ports.master); }, 5s));

    // Another program listens on the master port: it is named, not killed,
    // and the start fails with the usual texts.
    const auto holderProcess = holdPort(h.ports.master);
    ASSERT_TRUE(holderProcess);
    ChildProcess &holder = *holderProcess;
    runTask(h.manager->startServer());
    EXPECT_FALSE(h.manager->isRunning());
    EXPECT_EQ(h.manager->seaweedStatus(), SeaweedFSStatus::failed("Failed after 3 attempts"));
    EXPECT_TRUE(h.manager->error().startsWith("SeaweedFS failed to start: SeaweedFS "));
    EXPECT_TRUE(h.log.contains(QString("Port %1 is in use by another program (pid %2, python3)").arg(h.ports.master).arg(holder.pid())))
        << h.log.joined().toStdString();
    EXPECT_TRUE(ProcessTable::isAlive(holder.pid()));
    EXPECT_TRUE(ProcessTable::isAlive(namedWeed.pid()));
}

// Devices connect the moment the server says it runs: by then the engine
// stores and serves, on a fresh store and on one started again, and the
// check that made sure of it leaves nothing in the bucket.
TEST(RealEngine, PhotosAreTakenAndServedTheMomentTheServerRuns)
{
    EngineHarness h;
    ASSERT_TRUE(h.start()) << h.log.joined().toStdString();
    EXPECT_EQ(h.log.countStartingWith("Storage ready for uploads after "), 1);
    QList<QByteArray> bodies;
    for (int i = 0; i < 20; ++i) {
        bodies << QByteArray(100 * 1000, char('a' + i));
        const QString key = QString("dev/2026/12/IMG_%1.JPG").arg(i);
        ASSERT_EQ(httpCall("PUT", s3Url(h.ports.s3, "photos", key), bodies.last()).status, 200) << i;
        const HttpResult get = httpCall("GET", s3Url(h.ports.s3, "photos", key));
        ASSERT_EQ(get.status, 200) << i;
        EXPECT_TRUE(get.body == bodies.last()) << i;
    }
    const HttpResult list = httpCall("GET", QUrl(s3Url(h.ports.s3, "photos").toString() + "?list-type=2"));
    EXPECT_EQ(list.body.count("<Key>"), 20) << list.body.toStdString();
    const HttpResult uploads = httpCall("GET", QUrl(s3Url(h.ports.s3, "photos").toString() + "?uploads"));
    EXPECT_EQ(uploads.status, 200);
    EXPECT_FALSE(uploads.body.contains("<Upload>")) << uploads.body.toStdString();
    runTask(h.manager->updateObjectCount());
    EXPECT_EQ(h.manager->objectCount(), 20);

    runTask(h.manager->stopServer());
    ASSERT_TRUE(QCoro::waitFor(h.manager->waitForEngineExit(15000)));
    ASSERT_TRUE(h.start()) << h.log.joined().toStdString();
    for (int i = 0; i < 20; ++i) {
        const HttpResult get = httpCall("GET", s3Url(h.ports.s3, "photos", QString("dev/2026/12/IMG_%1.JPG").arg(i)));
        ASSERT_EQ(get.status, 200) << i;
        EXPECT_TRUE(get.body == bodies[i]) << i;
    }
    EXPECT_EQ(httpCall("PUT", s3Url(h.ports.s3, "photos", "after-restart.jpg"), "x").status, 200);

    // A backup tool that signs its requests with keys of its own (the
    // README tells users any will do).
    QProcess client;
    client.start(QStringLiteral(TAVROLIN_TEST_PYTHON), {QStringLiteral(TAVROLIN_S3_CLIENT), QStringLiteral("http://127.0.0.1:%1").arg(h.ports.s3)});
    ASSERT_TRUE(client.waitForFinished(60000));
    const QByteArray out = client.readAllStandardOutput();
    ASSERT_EQ(client.exitCode(), 0) << client.readAllStandardError().toStdString();
    const QJsonObject result = QJsonDocument::fromJson(out).object();
    EXPECT_TRUE(result.value("listed").toArray().contains("Phone_0a1b/2024/05/17/IMG 0001.jpg")) << out.toStdString();
    EXPECT_TRUE(result.value("read_back").toBool()) << out.toStdString();
    EXPECT_FALSE(result.value("after_delete").toArray().contains("Phone_0a1b/2024/05/17/IMG 0001.jpg")) << out.toStdString();
}

// The count lists the bucket only after something changed, whichever door
// the change came through, and costs nothing while nothing does.
TEST(RealEngine, TheCountFollowsDirectChangesAndRestsWhileNothingChanges)
{
    // Without the change signal nothing would be counted for ten minutes.
    EngineHarness h({}, [](ServerManagerConfig &c) {
        c.changePollMs = 500;
        c.countIntervalMs = 600000;
    });
    ASSERT_TRUE(h.start()) << h.log.joined().toStdString();
    EXPECT_EQ(h.manager->objectCount(), 0);

    const auto countIs = [&](qint64 n) { return waitUntil([&] { return h.manager->objectCount() == n; }, 30s); };
    ASSERT_EQ(httpCall("PUT", s3Url(h.ports.s3, "photos", "a.jpg"), "a").status, 200);
    ASSERT_EQ(httpCall("PUT", s3Url(h.ports.s3, "photos", "a_thumb.jpg"), "t").status, 200);
    ASSERT_EQ(httpCall("PUT", s3Url(h.ports.s3, "photos", "b.mov"), "b").status, 200);
    EXPECT_TRUE(countIs(2));
    // An empty object has no data in any volume: only its metadata changes.
    ASSERT_EQ(httpCall("PUT", s3Url(h.ports.s3, "photos", "empty.jpg"), "").status, 200);
    EXPECT_TRUE(countIs(3));
    ASSERT_EQ(httpCall("DELETE", s3Url(h.ports.s3, "photos", "a.jpg")).status, 204);
    EXPECT_TRUE(countIs(2));

    // Quiet: a look every half second, and (almost) no listing.
    waitUntil([] { return false; }, 3s);
    const int before = h.log.countStartingWith("Object count updated: ");
    waitUntil([] { return false; }, 10s);
    EXPECT_LE(h.log.countStartingWith("Object count updated: ") - before, 1);

    // A restarted engine is looked at afresh.
    const qint64 pid = h.manager->enginePid();
    ASSERT_EQ(::kill(pid_t(pid), SIGKILL), 0);
    ASSERT_TRUE(waitUntil([&] { return h.manager->enginePid() != pid && h.manager->seaweedStatus() == SeaweedFSStatus::running(); }, 30s));
    ASSERT_EQ(httpCall("PUT", s3Url(h.ports.s3, "photos", "c.jpg"), "c").status, 200);
    EXPECT_TRUE(countIs(3));

    // Shut down while a restart still probes the new engine: the shutdown
    // waits for it to give up, and nothing of it outlives the manager (the
    // sanitizer build reports a restart left suspended as a leak).
    const qint64 second = h.manager->enginePid();
    ASSERT_EQ(::kill(pid_t(second), SIGKILL), 0);
    const int restarts = h.log.countStartingWith("SeaweedFS restarted");
    ASSERT_TRUE(waitUntil([&] { return h.log.countStartingWith("SeaweedFS restarted") > restarts; }, 30s));
    runTask(h.manager->shutdown(15000));
    const auto restartLines = [&] {
        return h.log.countStartingWith("Storage ready for uploads") + h.log.countStartingWith("Warning: the storage did not accept")
            + h.log.countStartingWith("SeaweedFS restart");
    };
    const int afterShutdown = restartLines();
    waitUntil([] { return false; }, 2s);
    EXPECT_EQ(restartLines(), afterShutdown) << "the restart went on after the shutdown";
}

// The metrics port is a convenience: another program on it costs the change
// signal, never the start.
TEST(RealEngine, AProgramOnTheMetricsPortLeavesTheServerCountingOnItsInterval)
{
    EngineHarness h({}, [](ServerManagerConfig &c) {
        c.changePollMs = 200;
        c.countIntervalMs = 1000;
    });
    const auto holderProcess = holdPort(h.ports.metrics);
    ASSERT_TRUE(holderProcess);
    ChildProcess &holder = *holderProcess;
    ASSERT_TRUE(h.start()) << h.log.joined().right(3000).toStdString();
    ASSERT_EQ(httpCall("PUT", s3Url(h.ports.s3, "photos", "a.jpg"), "a").status, 200);
    EXPECT_TRUE(waitUntil([&] { return h.manager->objectCount() == 1; }, 10s));
    EXPECT_TRUE(ProcessTable::isAlive(holder.pid()));
}
