// The real engine on drives of real sizes (tmpfs mounts stand in for them),
// used long after its start, filled up, killed, and faced with programs that
// already hold its ports.

#include <QCryptographicHash>
#include <QFile>
#include <gtest/gtest.h>

#include <csignal>

#include "platform/ProcessTable.h"
#include "tests/support/ManagerHarness.h"

using namespace tavrolin;
using namespace tavrolin::test;
using namespace std::chrono_literals;

namespace {

QByteArray sha256(const QByteArray &data) { return QCryptographicHash::hash(data, QCryptographicHash::Sha256); }

// Any process whose command line names this folder: an engine left behind.
QList<qint64> processesOn(const QString &storage)
{
    QList<qint64> out;
    for (qint64 pid : ProcessTable::allPids()) {
        const auto info = ProcessTable::read(pid);
        if (info && !info->zombie && info->args.contains(storage))
            out << pid;
    }
    return out;
}

#define REQUIRE_MOUNT(mount)                                                                                           \
    if (!(mount).ok())                                                                                                 \
    GTEST_SKIP() << "skipped: " << (mount).error().toStdString()

} // namespace

// The engine's own bookkeeping grows volumes about a minute after start; on a
// drive with less than about 240 GiB free it used to take every volume slot,
// and the first photo, whenever it came, failed for good.
TEST(RealDrive, AFirstPhotoLongAfterStartIsStoredOnDrivesOfEverySize)
{
    const QStringList sizes = {"2g", "20g", "100g", "300g"};
    std::vector<std::unique_ptr<TmpfsMount>> drives;
    std::vector<std::unique_ptr<EngineHarness>> servers;
    for (const QString &size : sizes) {
        drives.push_back(std::make_unique<TmpfsMount>(size));
        REQUIRE_MOUNT(*drives.back());
        // Without the start's write check, which hands the photos their
        // first volumes at once: the volumes must suffice on their own.
        servers.push_back(std::make_unique<EngineHarness>(drives.back()->path() + "/storage",
                                                          [](ServerManagerConfig &c) { c.verifyWritable = false; }));
    }
    // All four start and idle side by side: one wait for them all.
    std::vector<QCoro::Task<>> starts;
    for (auto &server : servers)
        starts.push_back(server->manager->startServer());
    for (auto &start : starts)
        QCoro::waitFor(std::move(start));
    for (size_t i = 0; i < servers.size(); ++i)
        ASSERT_TRUE(servers[i]->manager->isRunning()) << sizes[i].toStdString() << servers[i]->log.joined().toStdString();

    waitUntil([] { return false; }, 75s);

    for (size_t i = 0; i < servers.size(); ++i) {
        const int port = servers[i]->ports.s3;
        const QByteArray photo = randomBytes(4 * 1024 * 1024, quint32(i + 1));
        const HttpResult put = httpCall("PUT", s3Url(port, "photos", "iPhone/2026/12/IMG_0001.JPG"), photo);
        EXPECT_EQ(put.status, 200) << sizes[i].toStdString() << " " << put.body.toStdString();
        const HttpResult get = httpCall("GET", s3Url(port, "photos", "iPhone/2026/12/IMG_0001.JPG"));
        EXPECT_EQ(get.status, 200) << sizes[i].toStdString();
        EXPECT_TRUE(get.body == photo) << sizes[i].toStdString();
    }
}

// A drive filled to the brim: every answered upload is stored whole, the
// rest fail as errors, the server stays up and takes photos again once room
// is made.
TEST(RealDrive, AFullDriveFailsHonestlyAndRecoversWhenSpaceIsFreed)
{
    TmpfsMount drive("2g");
    REQUIRE_MOUNT(drive);
    // Another program's file on the same drive, removed later to make room.
    const QString filler = drive.path() + "/other-program.bin";
    {
        QFile file(filler);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        const QByteArray block = randomBytes(16 * 1024 * 1024, 99);
        for (int i = 0; i < 16; ++i)
            ASSERT_EQ(file.write(block), block.size());
    }
    EngineHarness h(drive.path() + "/storage", [](ServerManagerConfig &c) { c.countIntervalMs = 1000; });
    ASSERT_TRUE(h.start()) << h.log.joined().toStdString();

    QList<QPair<QString, QByteArray>> stored; // key, digest
    int failures = 0;
    qint64 freeAtFirstFailure = -1;
    for (int i = 0; i < 60 && failures < 3; ++i) {
        const QString key = QString("video/%1.MOV").arg(i);
        const QByteArray body = randomBytes(50 * 1000 * 1000, quint32(1000 + i));
        const HttpResult put = httpCall("PUT", s3Url(h.ports.s3, "photos", key), body, 120000);
        if (put.status == 200) {
            stored.append({key, sha256(body)});
            continue;
        }
        if (freeAtFirstFailure < 0)
            freeAtFirstFailure = drive.freeBytes();
        ++failures;
        EXPECT_GE(put.status, 500) << "a refused upload is an error, never a success: " << put.status;
    }
    EXPECT_EQ(failures, 3) << "the drive never filled";
    EXPECT_GE(stored.size(), 25) << "1.75 GB were free";
    EXPECT_LT(freeAtFirstFailure, 160LL * 1000 * 1000) << "uploads stopped before the drive was nearly full";

    for (const auto &[key, digest] : stored) {
        const HttpResult get = httpCall("GET", s3Url(h.ports.s3, "photos", key), {}, 120000);
        ASSERT_EQ(get.status, 200) << key.toStdString();
        EXPECT_EQ(sha256(get.body), digest) << key.toStdString();
    }
    EXPECT_TRUE(h.manager->isRunning());
    EXPECT_EQ(h.manager->seaweedStatus(), SeaweedFSStatus::running());
    // The popup's storage figures follow the drive while running.
    EXPECT_TRUE(waitUntil([&] { return h.manager->storageInfoValue().freeBytes < 200LL * 1000 * 1000; }, 5s));

    ASSERT_TRUE(QFile::remove(filler));
    const QByteArray photo = randomBytes(8 * 1024 * 1024, 7);
    bool accepted = false;
    waitUntil([&] {
        accepted = httpCall("PUT", s3Url(h.ports.s3, "photos", "after/IMG_2.JPG"), photo).status == 200;
        return accepted;
    }, 90s);
    ASSERT_TRUE(accepted) << h.log.joined().right(3000).toStdString();
    EXPECT_EQ(httpCall("GET", s3Url(h.ports.s3, "photos", "after/IMG_2.JPG")).body, photo);
}

TEST(RealDrive, AStartOnADriveWithoutRoomSaysSoAndLeavesNoEngine)
{
    struct Case {
        QString size;
        qint64 fill;
        QString error;
    };
    const QList<Case> cases = {
        {"1m", 1024 * 1024, "Not enough free space on the storage drive: 0 bytes free, at least 64 MB needed"},
        {"2m", 1024 * 1024, "Not enough free space on the storage drive: 1 MB free, at least 64 MB needed"},
    };
    for (const Case &c : cases) {
        TmpfsMount drive(c.size);
        REQUIRE_MOUNT(drive);
        const QString storage = drive.path() + "/storage";
        QDir().mkpath(storage);
        QFile fill(drive.path() + "/fill.bin");
        ASSERT_TRUE(fill.open(QIODevice::WriteOnly));
        fill.write(QByteArray(c.fill, 'x'));
        fill.close();

        EngineHarness h(storage);
        EXPECT_FALSE(h.start());
        EXPECT_EQ(h.manager->error(), c.error) << "free: " << drive.freeBytes();
        EXPECT_EQ(h.manager->seaweedStatus(), SeaweedFSStatus::failed("Not enough free space"));
        EXPECT_FALSE(h.manager->isStarting());
        EXPECT_EQ(h.manager->enginePid(), 0);
        EXPECT_TRUE(processesOn(storage).isEmpty());
        EXPECT_TRUE(h.log.contains(c.error));
    }
}

TEST(RealDrive, AKilledEngineIsBackAndTakesUploadsWithinThirtySeconds)
{
    EngineHarness h;
    ASSERT_TRUE(h.start()) << h.log.joined().toStdString();
    ASSERT_EQ(httpCall("PUT", s3Url(h.ports.s3, "photos", "before.jpg"), "before").status, 200);
    const qint64 pid = h.manager->enginePid();
    ASSERT_GT(pid, 0);

    // Ended by the test, which started it through the manager.
    ASSERT_EQ(::kill(pid_t(pid), SIGKILL), 0);
    EXPECT_TRUE(waitUntil([&] { return h.manager->seaweedStatus().kind == SeaweedFSStatus::Kind::Failed; }, 5s));
    // While it is down an upload fails at once instead of hanging.
    const HttpResult during = httpCall("PUT", s3Url(h.ports.s3, "photos", "during.jpg"), "during", 10000);
    if (during.status != 200) {
        EXPECT_TRUE(during.status >= 500 || !during.error.isEmpty());
    }

    bool back = false;
    waitUntil([&] {
        back = httpCall("PUT", s3Url(h.ports.s3, "photos", "after.jpg"), "after", 5000).status == 200;
        return back;
    }, 30s);
    EXPECT_TRUE(back) << h.log.joined().right(3000).toStdString();
    EXPECT_TRUE(waitUntil([&] { return h.manager->seaweedStatus() == SeaweedFSStatus::running(); }, 30s));
    EXPECT_TRUE(h.manager->isRunning());
    EXPECT_NE(h.manager->enginePid(), pid);
    EXPECT_EQ(httpCall("GET", s3Url(h.ports.s3, "photos", "before.jpg")).body, "before");
    EXPECT_TRUE(h.log.contains("SeaweedFS restarted"));
}

TEST(RealDrive, AForeignProgramOnAnEnginePortIsNeverTakenForTheEngine)
{
    for (const QString &which : {QString("s3"), QString("filer")}) {
        EngineHarness h({}, [](ServerManagerConfig &c) { c.probeLimitSeconds = 10; });
        const int port = which == "s3" ? h.ports.s3 : h.ports.filer;
        // An HTTP server that answers every request, as the gateway would.
        const QString program = QString("import http.server\n"
                                        "class H(http.server.BaseHTTPRequestHandler):\n"
                                        "    def do_GET(self):\n"
                                        "        self.send_response(403); self.send_header('Content-Length', '0'); self.end_headers()\n"
                                        "    do_PUT = do_POST = do_DELETE = do_GET\n"
                                        "    def log_message(self, *a): pass\n"
                                        "http.server.HTTPServer(('127.0.0.1', %1), H).serve_forever()\n")
                                    .arg(port);
        ChildProcess foreign("/usr/bin/python3", {"-c", program});
        ASSERT_TRUE(waitUntil([&] { return portIsListening(port); }, 10s));

        runTask(h.manager->startServer());
        EXPECT_FALSE(h.manager->isRunning()) << which.toStdString();
        EXPECT_EQ(h.manager->seaweedStatus(), SeaweedFSStatus::failed("Failed after 3 attempts")) << which.toStdString();
        EXPECT_TRUE(h.manager->error().startsWith("SeaweedFS failed to start: ")) << h.manager->error().toStdString();
        EXPECT_TRUE(h.log.contains(QString("Port %1 is in use by another program (pid %2, python3)").arg(port).arg(foreign.pid())))
            << which.toStdString() << h.log.joined().right(3000).toStdString();
        EXPECT_FALSE(h.log.contains(QString("SeaweedFS started successfully on port %1").arg(h.ports.s3))) << which.toStdString();
        EXPECT_TRUE(ProcessTable::isAlive(foreign.pid())) << which.toStdString();
        EXPECT_TRUE(processesOn(h.sandbox.storage()).isEmpty() ||
                    waitUntil([&] { return processesOn(h.sandbox.storage()).isEmpty(); }, 10s));
    }
}
