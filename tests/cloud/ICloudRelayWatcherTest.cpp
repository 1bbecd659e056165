// The relay folder against the real engine (and a stand-in gateway where a
// test needs answers the engine would not give), with shortened waits.

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "cloud/ICloudRelayWatcher.h"
#include "platform/SyncFolderDrive.h"
#include "tests/support/FakeS3.h"
#include "tests/support/ManagerHarness.h"

using namespace tavrolin;
using namespace tavrolin::test;
using namespace std::chrono_literals;
using nlohmann::json;

namespace {

RelayWatcherConfig fastConfig(const Sandbox &sandbox)
{
    RelayWatcherConfig config;
    config.scanIntervalMs = 200;
    config.dataWaitMs = 100;
    config.dataWaits = 30; // 3 s
    config.requestWaitMs = 50;
    config.requestWaits = 10;
    config.settingsFile = sandbox.path("relay-settings.ini");
    return config;
}

struct Relay {
    Sandbox sandbox;
    QString root = sandbox.path("cloud");
    SyncFolderDrive drive{[this] { return root; }};
    std::unique_ptr<ICloudRelayWatcher> watcher;
    LogCapture log;
    int s3Port;

    explicit Relay(int port, std::function<void(RelayWatcherConfig &)> adjust = {}) : s3Port(port)
    {
        QDir().mkpath(root);
        RelayWatcherConfig config = fastConfig(sandbox);
        if (adjust)
            adjust(config);
        watcher = std::make_unique<ICloudRelayWatcher>(drive, config);
    }
    ~Relay()
    {
        watcher->stopWatching();
        waitUntil([&] { return watcher->activeTasks() == 0; }, 20s);
    }
    void start() { watcher->startWatching(s3Port); }
    // The folders as the other device would make them, before the server looks.
    void makeFolders() const
    {
        for (const char *sub : {"pending", "confirmed", "downloads/requests", "downloads/responses"})
            QDir().mkpath(dir(sub));
    }
    QString dir(const QString &sub) const { return *watcher->relayDirectory() + '/' + sub; }
    QString pending(const QString &name) const { return dir("pending/" + name); }

    static void write(const QString &path, const QByteArray &bytes, QIODevice::OpenMode mode = QIODevice::WriteOnly)
    {
        QFile f(path);
        ASSERT_TRUE(f.open(mode)) << path.toStdString();
        ASSERT_EQ(f.write(bytes), bytes.size());
    }
    void writeMetadata(const QString &id, const QString &key, qint64 size, const QString &jsonUploadId = "from-json")
    {
        const json meta = {{"uploadId", jsonUploadId.toStdString()}, {"key", key.toStdString()}, {"contentType", "image/jpeg"},
                           {"size", size}, {"timestamp", "2026-12-05T15:24:06Z"}, {"senderDeviceId", "PHONE-1"}};
        write(pending(id + ".meta.json"), QByteArray::fromStdString(meta.dump()));
    }
    void writeRequest(const QString &id, const QString &key)
    {
        const json request = {{"requestId", "x"}, {"key", key.toStdString()}, {"timestamp", "2026-12-05T15:24:06Z"},
                              {"requesterDeviceId", "PHONE-2"}};
        write(dir("downloads/requests/" + id + ".request.json"), QByteArray::fromStdString(request.dump()));
    }
    static json readJson(const QString &path)
    {
        QFile f(path);
        if (!f.open(QIODevice::ReadOnly))
            return json();
        const QByteArray bytes = f.readAll();
        return json::parse(bytes.begin(), bytes.end(), nullptr, false);
    }
    json confirmation(const QString &id) const { return readJson(dir("confirmed/" + id + ".json")); }
    json response(const QString &id) const { return readJson(dir("downloads/responses/" + id + ".response.json")); }
};

HttpResult httpGet(const QString &url) { return httpCall("GET", QUrl::fromEncoded(url.toUtf8()), {}, 30000); }

} // namespace

TEST(RelayWatcher, WithoutACloudFolderItDoesNotWatch)
{
    Relay relay(8333);
    relay.root.clear();
    relay.start();
    EXPECT_FALSE(relay.watcher->isWatching());
    EXPECT_TRUE(relay.log.contains("ICloudRelayWatcher: iCloud Drive not available"));
    relay.watcher->stopWatching();
    EXPECT_FALSE(relay.log.joined().contains("Stopped watching"));
}

TEST(RelayWatcher, ImportsUploadsAndAnswersDownloadsThroughTheRealEngine)
{
    EngineHarness engine;
    ASSERT_TRUE(engine.start());
    Relay relay(engine.ports.s3);
    const QString gateway = QStringLiteral("http://127.0.0.1:%1/").arg(engine.ports.s3);

    relay.start();
    ASSERT_TRUE(relay.watcher->isWatching());
    for (const char *sub : {"pending", "confirmed", "downloads/requests", "downloads/responses"})
        EXPECT_TRUE(QFileInfo(relay.dir(sub)).isDir()) << sub;

    // The file name gives the id, whatever the JSON says.
    const QByteArray photo = randomBytes(300000, 1);
    Relay::write(relay.pending("abc.data"), photo);
    relay.writeMetadata("abc", "photos/2024/a.jpg", photo.size(), "something-else");
    ASSERT_TRUE(waitUntil([&] { return relay.watcher->processedCount() == 1; }, 10s)) << relay.log.joined().toStdString();
    const HttpResult stored = httpGet(gateway + "photos/2024/a.jpg");
    EXPECT_EQ(stored.status, 200);
    EXPECT_TRUE(stored.body == photo);
    EXPECT_EQ(stored.contentType, "image/jpeg");
    const json confirmation = relay.confirmation("abc");
    EXPECT_EQ(confirmation["uploadId"], "abc");
    EXPECT_EQ(confirmation["success"], true);
    EXPECT_EQ(confirmation["s3Key"], "photos/2024/a.jpg");
    EXPECT_FALSE(confirmation.contains("error"));
    EXPECT_FALSE(QFile::exists(relay.pending("abc.meta.json")));
    EXPECT_FALSE(QFile::exists(relay.pending("abc.data")));
    for (const char *line : {"ICloudRelayWatcher: Processing upload abc", "ICloudRelayWatcher: Wrote confirmation for abc",
                             "ICloudRelayWatcher: Successfully imported abc"})
        EXPECT_TRUE(relay.log.contains(line)) << line;

    // A data file that arrives after its metadata, and one that a sync tool
    // writes in pieces: nothing is stored until every byte is there.
    const QByteArray late = randomBytes(1000, 2), growing = randomBytes(200000, 3);
    relay.writeMetadata("late", "photos/late.jpg", late.size());
    relay.writeMetadata("grow", "photos/nested/deep/grow.jpg", growing.size());
    Relay::write(relay.pending("grow.data"), growing.first(50000));
    waitUntil([] { return false; }, 1200ms);
    EXPECT_EQ(httpGet(gateway + "photos/nested/deep/grow.jpg").status, 404) << "a partial file was uploaded";
    Relay::write(relay.pending("late.data"), late);
    Relay::write(relay.pending("grow.data"), growing.mid(50000), QIODevice::Append);
    ASSERT_TRUE(waitUntil([&] { return relay.watcher->processedCount() == 3; }, 10s)) << relay.log.joined().toStdString();
    EXPECT_TRUE(httpGet(gateway + "photos/late.jpg").body == late);
    EXPECT_TRUE(httpGet(gateway + "photos/nested/deep/grow.jpg").body == growing);

    // Keys with one part and with characters that need escaping.
    relay.writeMetadata("solo", "solo.jpg", 3);
    Relay::write(relay.pending("solo.data"), "abc");
    relay.writeMetadata("odd", QString::fromUtf8("photos/Küche a+b#1.jpg"), 4);
    Relay::write(relay.pending("odd.data"), "odd!");
    ASSERT_TRUE(waitUntil([&] { return relay.watcher->processedCount() == 5; }, 10s)) << relay.log.joined().toStdString();
    EXPECT_EQ(httpGet(gateway + "photos/solo.jpg").body, "abc");
    EXPECT_EQ(httpGet(gateway + "photos/K%C3%BCche%20a%2Bb%231.jpg").body, "odd!");

    // An empty upload; then downloads of an object, the empty one and a
    // missing one.
    relay.writeMetadata("zero", "photos/empty.txt", 0);
    Relay::write(relay.pending("zero.data"), "");
    ASSERT_TRUE(waitUntil([&] { return relay.watcher->processedCount() == 6; }, 10s)) << relay.log.joined().toStdString();
    relay.writeRequest("r1", "photos/2024/a.jpg");
    relay.writeRequest("r0", "photos/empty.txt");
    relay.writeRequest("r404", "photos/nope.jpg");
    const QString responses = relay.dir("downloads/responses/");
    ASSERT_TRUE(waitUntil([&] {
        return QFile::exists(responses + "r1.response.json") && QFile::exists(responses + "r0.response.json")
               && QFile::exists(responses + "r404.response.json");
    }, 10s)) << relay.log.joined().toStdString();
    QFile data(responses + "r1.data");
    ASSERT_TRUE(data.open(QIODevice::ReadOnly));
    EXPECT_TRUE(data.readAll() == photo);
    json r1 = relay.response("r1");
    EXPECT_EQ(r1["requestId"], "r1");
    EXPECT_EQ(r1["success"], true);
    EXPECT_EQ(r1["size"], photo.size());
    EXPECT_EQ(r1["contentType"], "image/jpeg");
    EXPECT_TRUE(relay.log.contains(QStringLiteral("ICloudRelayWatcher: Download request r1 completed (%1 bytes)").arg(photo.size())));
    EXPECT_EQ(QFileInfo(responses + "r0.data").size(), 0);
    EXPECT_EQ(relay.response("r0")["size"], 0);
    EXPECT_TRUE(relay.log.contains("ICloudRelayWatcher: Download request r0 completed (0 bytes)"));
    json missing = relay.response("r404");
    EXPECT_EQ(missing["success"], false);
    EXPECT_EQ(missing["error"], "Data file not found in iCloud");
    EXPECT_FALSE(missing.contains("size"));
    EXPECT_FALSE(QFile::exists(responses + "r404.data"));
    // Answered requests are removed, and their ids are not taken up again.
    EXPECT_TRUE(waitUntil([&] { return QDir(relay.dir("downloads/requests")).isEmpty(); }, 5s));
    relay.writeRequest("r404", "photos/2024/a.jpg");
    waitUntil([] { return false; }, 600ms);
    EXPECT_TRUE(QFile::exists(relay.dir("downloads/requests/r404.request.json")));
    EXPECT_EQ(relay.response("r404")["success"], false);
    // No temporary files are left beside the answers.
    EXPECT_EQ(QDir(responses).entryList(QDir::Files | QDir::Hidden).size(), 5);
}

TEST(RelayWatcher, BadRecordsAreAnsweredWithFailuresAndKeepTheUpload)
{
    EngineHarness engine;
    ASSERT_TRUE(engine.start());
    Relay relay(engine.ports.s3);
    relay.start();

    // Fractional seconds fail decoding: a failure confirmation, files kept.
    Relay::write(relay.pending("frac.meta.json"),
                 R"({"uploadId":"frac","key":"photos/f.jpg","contentType":"image/jpeg","size":1,"timestamp":"2026-12-05T15:24:06.250Z","senderDeviceId":"P"})");
    Relay::write(relay.pending("frac.data"), "x");
    Relay::write(relay.dir("downloads/requests/junk.request.json"), "{not json");
    ASSERT_TRUE(waitUntil([&] { return relay.confirmation("frac").is_object() && relay.response("junk").is_object(); }, 10s));
    EXPECT_EQ(relay.confirmation("frac")["success"], false);
    EXPECT_EQ(relay.confirmation("frac")["s3Key"], "");
    EXPECT_TRUE(relay.confirmation("frac").contains("error"));
    EXPECT_TRUE(QFile::exists(relay.pending("frac.meta.json")));
    EXPECT_TRUE(QFile::exists(relay.pending("frac.data")));
    EXPECT_TRUE(relay.log.joined().contains("ICloudRelayWatcher: Error processing frac: "));
    EXPECT_EQ(relay.response("junk")["success"], false);
    EXPECT_TRUE(relay.log.joined().contains("ICloudRelayWatcher: Error processing download junk: "));
    EXPECT_TRUE(waitUntil([&] { return !QFile::exists(relay.dir("downloads/requests/junk.request.json")); }, 5s));
    EXPECT_EQ(relay.watcher->processedCount(), 0);
}

TEST(RelayWatcher, AMissingDataFileLeavesBothFilesForALaterScan)
{
    FakeS3 gateway([](const FakeS3::Request &r) { return FakeS3::Response{200, r.method == "HEAD" ? "12345" : ""}; });
    ASSERT_TRUE(gateway.listen(0));
    Relay relay(gateway.port(), [](RelayWatcherConfig &c) { c.dataWaits = 5; });
    relay.start();
    relay.writeMetadata("lost", "photos/lost.jpg", 5);
    ASSERT_TRUE(waitUntil([&] { return relay.log.contains("ICloudRelayWatcher: Data file not found for lost"); }, 5s));
    EXPECT_FALSE(relay.confirmation("lost").is_object());
    EXPECT_TRUE(QFile::exists(relay.pending("lost.meta.json")));
    EXPECT_TRUE(gateway.requests.isEmpty());

    // Taken up again once the data is there.
    Relay::write(relay.pending("lost.data"), "12345");
    ASSERT_TRUE(waitUntil([&] { return relay.watcher->processedCount() == 1; }, 5s)) << relay.log.joined().toStdString();
    EXPECT_EQ(relay.confirmation("lost")["success"], true);
}

TEST(RelayWatcher, ADataFileThatNeverReachesItsSizeIsAnsweredWithAFailure)
{
    int puts = 0;
    FakeS3 gateway([&](const FakeS3::Request &r) {
        puts += r.method == "PUT";
        return FakeS3::Response{200, r.method == "HEAD" ? "12345678" : ""}; // the growing file, stored whole
    });
    ASSERT_TRUE(gateway.listen(0));
    Relay relay(gateway.port(), [](RelayWatcherConfig &c) { c.dataWaits = 5; });
    relay.makeFolders();
    // Stuck short of its size, and longer than announced: neither is the upload.
    relay.writeMetadata("short", "photos/short.jpg", 10);
    Relay::write(relay.pending("short.data"), "12345");
    relay.writeMetadata("long", "photos/long.jpg", 3);
    Relay::write(relay.pending("long.data"), "12345");
    relay.start();
    ASSERT_TRUE(waitUntil([&] { return relay.confirmation("short").is_object() && relay.confirmation("long").is_object(); }, 10s))
        << relay.log.joined().toStdString();
    EXPECT_EQ(relay.confirmation("short")["success"], false);
    EXPECT_EQ(relay.confirmation("short")["error"], "The data file has 5 bytes, not the 10 announced");
    EXPECT_EQ(relay.confirmation("long")["error"], "The data file has 5 bytes, not the 3 announced");
    EXPECT_EQ(puts, 0);
    EXPECT_TRUE(QFile::exists(relay.pending("short.data"))) << "the device's bytes stay";

    // A file still growing is waited for, and goes once whole.
    relay.writeMetadata("growing", "photos/growing.jpg", 8);
    Relay::write(relay.pending("growing.data"), "1234");
    for (int i = 0; i < 4; ++i) {
        waitUntil([] { return false; }, 300ms);
        Relay::write(relay.pending("growing.data"), "5", QIODevice::Append);
    }
    ASSERT_TRUE(waitUntil([&] { return relay.confirmation("growing").is_object(); }, 10s)) << relay.log.joined().toStdString();
    EXPECT_EQ(relay.confirmation("growing")["success"], true);
}

TEST(RelayWatcher, RejectedOrShortStoresAreFailuresRetriedEveryScan)
{
    int puts = 0;
    bool shortStore = false;
    FakeS3 gateway([&](const FakeS3::Request &r) {
        if (r.method == "PUT") {
            ++puts;
            return FakeS3::Response{shortStore ? 200 : 500, ""};
        }
        return FakeS3::Response{200, "123"}; // HEAD: 3 bytes stored of 5
    });
    ASSERT_TRUE(gateway.listen(0));
    Relay relay(gateway.port());
    relay.makeFolders();
    relay.writeMetadata("x", "photos/x.jpg", 5);
    Relay::write(relay.pending("x.data"), "12345");
    relay.start();
    ASSERT_TRUE(waitUntil([&] { return relay.log.countStartingWith("ICloudRelayWatcher: Error processing x: ") >= 2; }, 10s));
    json c = relay.confirmation("x");
    EXPECT_EQ(c["success"], false);
    EXPECT_EQ(c["s3Key"], "");
    EXPECT_EQ(c["error"], "Failed to upload to SeaweedFS");
    EXPECT_GE(puts, 2);

    // The engine says yes but holds fewer bytes: still not imported.
    shortStore = true;
    const int before = relay.log.countStartingWith("ICloudRelayWatcher: Error processing x: ");
    ASSERT_TRUE(waitUntil([&] { return relay.log.countStartingWith("ICloudRelayWatcher: Error processing x: ") > before + 1; }, 10s));
    EXPECT_TRUE(relay.log.joined().contains("The stored object has 3 bytes, not 5")) << relay.log.joined().toStdString();
    EXPECT_EQ(relay.watcher->processedCount(), 0);
    EXPECT_TRUE(QFile::exists(relay.pending("x.data")));
}

TEST(RelayWatcher, RelayFoldersThatAreLinksAreNeverFollowed)
{
    // Another device's sync tool replaced relay folders by links to folders
    // outside: nothing there is read, written, uploaded or removed.
    int transfers = 0;
    FakeS3 gateway([&](const FakeS3::Request &r) {
        transfers += r.method == "PUT" || r.method == "GET";
        return FakeS3::Response{200, r.method == "HEAD" ? "12345" : ""};
    });
    ASSERT_TRUE(gateway.listen(0));
    Relay relay(gateway.port());
    relay.makeFolders();
    const QString outside = relay.sandbox.path("outside");
    for (const char *sub : {"pending", "confirmed", "responses"})
        QDir().mkpath(outside + '/' + sub);
    Relay::write(outside + "/confirmed/settings.json", "the user's own file");
    relay.writeMetadata("u", "photos/u.jpg", 5); // written through the real folder, then moved out
    Relay::write(relay.pending("u.data"), "12345");
    for (const char *name : {"u.meta.json", "u.data"})
        ASSERT_TRUE(QFile::rename(relay.pending(name), outside + "/pending/" + name));
    relay.writeRequest("d", "photos/u.jpg");
    const auto link = [&](const QString &sub, const QString &target) {
        ASSERT_TRUE(QDir(relay.dir(sub)).removeRecursively());
        ASSERT_TRUE(QFile::link(target, relay.dir(sub)));
    };
    link("pending", outside + "/pending");
    link("confirmed", outside + "/confirmed");
    link("downloads/responses", outside + "/responses");

    relay.start();
    ASSERT_TRUE(waitUntil([&] { return relay.log.countStartingWith("ICloudRelayWatcher: Skipping ") >= 2; }, 5s))
        << relay.log.joined().toStdString();
    waitUntil([] { return false; }, 1s); // several scans
    EXPECT_EQ(transfers, 0);
    EXPECT_EQ(QDir(outside + "/pending").entryList(QDir::Files), QStringList({"u.data", "u.meta.json"}));
    EXPECT_EQ(QDir(outside + "/confirmed").entryList(QDir::Files | QDir::Hidden), QStringList({"settings.json"}));
    QFile settings(outside + "/confirmed/settings.json");
    ASSERT_TRUE(settings.open(QIODevice::ReadOnly));
    EXPECT_EQ(settings.readAll(), "the user's own file");
    EXPECT_TRUE(QDir(outside + "/responses").entryList(QDir::Files | QDir::Hidden).isEmpty());
    EXPECT_TRUE(QFile::exists(relay.dir("downloads/requests/d.request.json")));
    EXPECT_TRUE(QFileInfo(relay.dir("pending")).isSymLink()) << "left as the other device made it";

    // Real folders again: the request is answered.
    ASSERT_TRUE(QFile::remove(relay.dir("downloads/responses")));
    ASSERT_TRUE(QDir().mkpath(relay.dir("downloads/responses")));
    ASSERT_TRUE(waitUntil([&] { return relay.response("d").is_object(); }, 5s)) << relay.log.joined().toStdString();
}

TEST(RelayWatcher, ThousandsOfPendingUploadsGoThroughAFewAtATime)
{
    // Each upload in flight holds its data file open: 1,500 at once ran out
    // of file descriptors under the usual soft limit.
    const LowOpenFileLimit limit(256);
    ASSERT_TRUE(limit.ok());

    FakeS3 gateway([](const FakeS3::Request &r) { return FakeS3::Response{200, r.method == "HEAD" ? "x" : ""}; });
    ASSERT_TRUE(gateway.listen(0));
    Relay relay(gateway.port());
    relay.makeFolders();
    constexpr int kUploads = 1500;
    for (int i = 0; i < kUploads; ++i) {
        relay.writeMetadata(QStringLiteral("u%1").arg(i), QStringLiteral("photos/u%1.jpg").arg(i), 1);
        Relay::write(relay.pending(QStringLiteral("u%1.data").arg(i)), "x");
    }
    relay.start();
    int peak = 0;
    EXPECT_TRUE(waitUntil(
        [&] {
            peak = std::max(peak, relay.watcher->activeTasks());
            return relay.watcher->processedCount() == kUploads;
        },
        120s))
        << relay.watcher->processedCount();
    EXPECT_LE(peak, 8); // the default bound
    EXPECT_EQ(relay.log.countStartingWith("ICloudRelayWatcher: Error processing"), 0)
        << relay.log.lines().filter("Error processing").mid(0, 3).join('\n').toStdString();
    EXPECT_TRUE(QDir(relay.dir("pending")).entryList(QDir::Files).isEmpty());
}

TEST(RelayWatcher, OneUploadReportedManyTimesIsSentOnce)
{
    int puts = 0;
    FakeS3 gateway([&](const FakeS3::Request &r) {
        if (r.method == "PUT")
            ++puts;
        return FakeS3::Response{200, r.method == "HEAD" ? "abc" : "", r.method == "PUT" ? 300 : 0};
    });
    ASSERT_TRUE(gateway.listen(0));
    Relay relay(gateway.port());
    relay.makeFolders();
    relay.writeMetadata("once", "photos/once.jpg", 3);
    Relay::write(relay.pending("once.data"), "abc");
    relay.start();
    // Folder notices and scans both find it while the PUT is slow.
    for (int i = 0; i < 5; ++i)
        Q_EMIT relay.drive.folderChanged(relay.dir("pending"));
    ASSERT_TRUE(waitUntil([&] { return relay.watcher->processedCount() == 1; }, 10s));
    waitUntil([] { return false; }, 500ms);
    EXPECT_EQ(puts, 1);
}

TEST(RelayWatcher, NamesThatAreNotPlainFilesAreLeftAlone)
{
    FakeS3 gateway([](const FakeS3::Request &) { return FakeS3::Response{200, "abc"}; });
    ASSERT_TRUE(gateway.listen(0));
    Relay relay(gateway.port());
    relay.start();

    // A link out of the relay folder, a hidden file, a control character.
    const QString outside = relay.sandbox.path("secret.meta.json");
    const QByteArray meta = R"({"uploadId":"s","key":"photos/s.jpg","contentType":"a","size":3,"timestamp":"2026-12-05T15:24:06Z","senderDeviceId":"P"})";
    Relay::write(outside, meta);
    Relay::write(relay.sandbox.path("secret.data"), "abc");
    ASSERT_TRUE(QFile::link(outside, relay.pending("link.meta.json")));
    ASSERT_TRUE(QFile::link(relay.sandbox.path("secret.data"), relay.pending("link.data")));
    Relay::write(relay.pending(".hidden.meta.json"), meta);
    Relay::write(relay.pending(".hidden.data"), "abc");
    Relay::write(relay.pending(QString::fromUtf8("bell\x07.meta.json")), meta);
    Relay::write(relay.pending(QString::fromUtf8("bell\x07.data")), "abc");
    // A link that stays inside is fine.
    Relay::write(relay.dir("inside.bin"), "abc");
    Relay::write(relay.pending("fine.meta.json"), meta);
    ASSERT_TRUE(QFile::link(relay.dir("inside.bin"), relay.pending("fine.data")));

    ASSERT_TRUE(waitUntil([&] { return relay.watcher->processedCount() == 1; }, 10s)) << relay.log.joined().toStdString();
    waitUntil([] { return false; }, 600ms);
    EXPECT_EQ(relay.watcher->processedCount(), 1);
    EXPECT_EQ(QDir(relay.dir("confirmed")).entryList(QDir::Files | QDir::Hidden), QStringList{"fine.json"});
    EXPECT_TRUE(QFile::exists(outside));
    EXPECT_FALSE(relay.log.joined().contains("Processing upload link"));
}

TEST(RelayWatcher, AGigabyteGoesThroughWithFlatMemory)
{
    EngineHarness engine;
    ASSERT_TRUE(engine.start());
    Relay relay(engine.ports.s3);
    relay.start();

    constexpr qint64 kSize = qint64(1) << 30;
    {
        QFile f(relay.pending("big.data"));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        const QByteArray block = randomBytes(1 << 20, 4);
        for (qint64 written = 0; written < kSize; written += block.size())
            ASSERT_EQ(f.write(block), block.size());
    }
    const qint64 rssBefore = processStatusBytes("VmRSS:");
    QElapsedTimer timer;
    timer.start();
    relay.writeMetadata("big", "photos/big.mov", kSize);
    ASSERT_TRUE(waitUntil([&] { return relay.watcher->processedCount() == 1; }, 300s)) << relay.log.joined().toStdString();
    const qint64 uploadMs = timer.restart();
    relay.writeRequest("bigget", "photos/big.mov");
    const QString response = relay.dir("downloads/responses/bigget.response.json");
    ASSERT_TRUE(waitUntil([&] { return QFile::exists(response); }, 300s)) << relay.log.joined().toStdString();
    const qint64 downloadMs = timer.elapsed();
    const qint64 peak = processStatusBytes("VmHWM:");
    std::printf("[ timing ] upload %.1f s, download %.1f s\n", uploadMs / 1000.0, downloadMs / 1000.0);
    EXPECT_EQ(relay.response("bigget")["size"], kSize);
    EXPECT_EQ(QFileInfo(relay.dir("downloads/responses/bigget.data")).size(), kSize);
    std::printf("[ memory ] RSS before %.1f MiB, peak %.1f MiB for a 1 GiB upload and download\n", rssBefore / 1048576.0,
                peak / 1048576.0);
    EXPECT_LT(peak - rssBefore, 128 << 20);
}
