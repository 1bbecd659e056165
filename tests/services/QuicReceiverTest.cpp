// The QUIC receiver against the real engine, with an independent client
// (aioquic) and our own tavrolin-upload, on loopback.

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QUdpSocket>
#include <QtEndian>
#include <QRegularExpression>
#include <QSysInfo>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "services/QUICReceiverService.h"
#include "services/QuicUploadClient.h"
#include "tests/support/FakeS3.h"
#include "tests/support/ManagerHarness.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TAVROLIN_CLANG_ASAN 1
#endif
#endif
#ifndef TAVROLIN_CLANG_ASAN
#define TAVROLIN_CLANG_ASAN 0
#endif

using namespace tavrolin;
using namespace tavrolin::test;
using namespace std::chrono_literals;
using nlohmann::json;

namespace {

ServerIdentity::Config identityConfig(const Sandbox &sandbox)
{
    QDir().mkpath(sandbox.path("tmp"));
    ServerIdentity::Config config;
    config.tempDir = sandbox.path("tmp");
    config.storeFolder = sandbox.path("identity");
    config.addresses = [] { return QStringList{"127.0.0.1"}; };
    return config;
}

struct Receiver {
    Sandbox sandbox;
    ServerIdentity identity{identityConfig(sandbox)};
    std::unique_ptr<QUICReceiverService> service;
    LogCapture log;

    explicit Receiver(int s3Port, std::function<void(QuicReceiverConfig &)> adjust = {})
    {
        QuicReceiverConfig config;
        config.address = QHostAddress::LocalHost;
        config.port = 0;
        config.retryDelayMs = 50;
        if (adjust)
            adjust(config);
        service = std::make_unique<QUICReceiverService>(identity, config);
        service->startListening(s3Port);
    }
    quint16 port() const { return service->listeningPort(); }

    QString file(const QString &name, const QByteArray &bytes) const
    {
        QFile f(sandbox.path(name));
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
        return f.fileName();
    }
    QString bigFile(const QString &name, qint64 size) const
    {
        QFile f(sandbox.path(name));
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        QByteArray block(1 << 20, Qt::Uninitialized);
        for (qsizetype i = 0; i < block.size(); ++i)
            block[i] = char((i * 7919 + size) & 0xff);
        for (qint64 left = size; left > 0; left -= block.size())
            f.write(block.constData(), qMin<qint64>(left, block.size()));
        return f.fileName();
    }

    // Runs the aioquic peer while the event loop serves the receiver.
    json peer(const QStringList &args, std::chrono::seconds timeout = 120s, const QString &host = "127.0.0.1") const
    {
        QProcess process;
        process.start(QStringLiteral(TAVROLIN_TEST_PYTHON),
                      QStringList{QStringLiteral(TAVROLIN_QUIC_PEER), host, QString::number(port())} + args);
        if (!waitUntil([&] { return process.state() == QProcess::NotRunning; }, timeout)) {
            process.kill();
            process.waitForFinished();
            return json{{"error", "timed out"}};
        }
        const QByteArray out = process.readAllStandardOutput().trimmed();
        const QByteArray last = out.mid(out.lastIndexOf('\n') + 1);
        json value = json::parse(last.begin(), last.end(), nullptr, false);
        if (value.is_discarded())
            return json{{"error", (out + process.readAllStandardError()).toStdString()}};
        return value;
    }

    // One framed upload: length, header, body, as raw hex for the peer.
    static QString frame(const QByteArray &header, const QByteArray &body = {}, std::optional<quint32> length = {})
    {
        QByteArray prefix(4, '\0');
        qToBigEndian<quint32>(length.value_or(quint32(header.size())), prefix.data());
        return QString::fromLatin1((prefix + header + body).toHex());
    }
    static QByteArray header(const QString &key, qint64 size, const QString &bucket = "photos")
    {
        return QByteArray::fromStdString(
            json{{"bucket", bucket.toStdString()}, {"key", key.toStdString()}, {"contentType", "image/jpeg"}, {"size", size}}.dump());
    }
};

// A peer that keeps running while the test goes on; ended with the test.
struct BackgroundPeer {
    QProcess process;
    BackgroundPeer(const Receiver &receiver, const QStringList &args)
    {
        process.start(QStringLiteral(TAVROLIN_TEST_PYTHON),
                      QStringList{QStringLiteral(TAVROLIN_QUIC_PEER), "127.0.0.1", QString::number(receiver.port())} + args);
    }
    ~BackgroundPeer()
    {
        process.kill();
        process.waitForFinished();
    }
    // Its first line of output.
    json firstLine(std::chrono::seconds timeout = 60s)
    {
        waitUntil([&] { return process.canReadLine() || process.state() == QProcess::NotRunning; }, timeout);
        const QByteArray line = process.readLine();
        json value = json::parse(line.begin(), line.end(), nullptr, false);
        return value.is_discarded() ? json{{"error", (line + process.readAllStandardError()).toStdString()}} : value;
    }
};

QString sha256OfUrl(const QString &url)
{
    QProcess curl;
    curl.start("sh", {"-c", "curl -sf '" + url + "' | sha256sum | cut -d' ' -f1"});
    waitUntil([&] { return curl.state() == QProcess::NotRunning; }, 120s);
    return QString::fromLatin1(curl.readAllStandardOutput().trimmed());
}

QString sha256OfFile(const QString &path)
{
    QFile f(path);
    f.open(QIODevice::ReadOnly);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(&f);
    return QString::fromLatin1(hash.result().toHex());
}

int getStatus(int s3Port, const QByteArray &encodedPath)
{
    QProcess curl;
    curl.start("curl", {"-s", "-o", "/dev/null", "-w", "%{http_code}", QStringLiteral("http://127.0.0.1:%1/").arg(s3Port) + encodedPath});
    waitUntil([&] { return curl.state() == QProcess::NotRunning; }, 30s);
    return curl.readAllStandardOutput().toInt();
}

} // namespace

TEST(QuicReceiver, StoresFilesOfAnySizeFromBothClients)
{
    EngineHarness engine;
    ASSERT_TRUE(engine.start());
    Receiver receiver(engine.ports.s3);
    ASSERT_TRUE(receiver.service->isListening()) << receiver.log.joined().toStdString();
    const QString gateway = QStringLiteral("http://127.0.0.1:%1/photos/").arg(engine.ports.s3);

    const QString zero = receiver.file("zero", {}), ten = receiver.file("ten", "0123456789");
    const QString mib = receiver.bigFile("mib", 1 << 20), big = receiver.bigFile("big", 300ll << 20);
    const json result =
        receiver.peer({"upload", zero + "=photos/a/zero", ten + "=photos/a/ten", mib + "=photos/a/mib", big + "=photos/a/big"});
    ASSERT_TRUE(result.contains("replies")) << result.dump();
    EXPECT_EQ(result["replies"], json::array({"OK", "OK", "OK", "OK"}));
    EXPECT_EQ(result["trailing"], "");
    for (const auto &[path, key] : {std::pair{zero, "a/zero"}, {ten, "a/ten"}, {mib, "a/mib"}, {big, "a/big"}})
        EXPECT_EQ(sha256OfUrl(gateway + key), sha256OfFile(path)) << key;
    EXPECT_EQ(receiver.service->filesReceived(), 4);
    EXPECT_EQ(receiver.service->totalBytesReceived(), 10 + (1 << 20) + (300ll << 20));
    EXPECT_EQ(receiver.log.countStartingWith("QUIC: Receive error"), 0) << "a stream ended between files is no error";

    // Each file on a stream of its own, far more than may be open at once.
    const json each = receiver.peer({"timed", "40", ten});
    ASSERT_TRUE(each.contains("replies")) << each.dump();
    EXPECT_EQ(each["replies"].size(), 40u);
    EXPECT_EQ(std::count(each["replies"].begin(), each["replies"].end(), "OK"), 40);
    EXPECT_EQ(receiver.service->filesReceived(), 44);
    for (const char *line : {"QUIC: Receiving a/ten (10 bytes)", "QUIC: Successfully stored a/ten"})
        EXPECT_TRUE(receiver.log.contains(line)) << line;

    // Our own client, several files on one connection.
    QProcess upload;
    upload.start(QStringLiteral(TAVROLIN_TEST_UPLOAD), {"127.0.0.1", ten, mib, "--port", QString::number(receiver.port())});
    ASSERT_TRUE(waitUntil([&] { return upload.state() == QProcess::NotRunning; }, 60s));
    EXPECT_EQ(upload.exitCode(), 0) << upload.readAllStandardOutput().toStdString();
    // Without a key, where the browser shows it with its device and day.
    const QString device = QuicUploadClient::deviceFolderFor(QSysInfo::machineHostName());
    EXPECT_TRUE(QRegularExpression("^[A-Za-z0-9-]+_[0-9a-f]{4}$").match(device).hasMatch()) << device.toStdString();
    const QString mibKey = QuicUploadClient::libraryKey(mib, device);
    EXPECT_TRUE(QRegularExpression("^" + QRegularExpression::escape(device) + "/20\\d\\d/\\d\\d/\\d\\d/mib$").match(mibKey).hasMatch())
        << mibKey.toStdString();
    EXPECT_EQ(sha256OfUrl(gateway + mibKey), sha256OfFile(mib));
    EXPECT_EQ(receiver.service->filesReceived(), 46);
    EXPECT_TRUE(waitUntil([&] { return receiver.service->activeConnections() == 0; }, 10s))
        << receiver.log.joined().right(4000).toStdString();
}

TEST(QuicReceiver, BadHeadersAreRefusedAndKeysNeverEscapeTheirObject)
{
    EngineHarness engine;
    ASSERT_TRUE(engine.start());
    Receiver receiver(engine.ports.s3);
    auto raw = [&](const QString &hex) {
        const json r = receiver.peer({"raw", hex});
        return r.contains("reply") ? QString::fromStdString(r["reply"].get<std::string>()) : QString::fromStdString(r.dump());
    };
    for (quint32 length : {0u, 10000u, 0xFFFFFFFFu})
        EXPECT_EQ(raw(Receiver::frame("{}", {}, length)), "ERROR: Invalid header length") << length;
    EXPECT_TRUE(receiver.log.contains("QUIC: Invalid header length: 4294967295"));

    // 9999 is the longest header taken.
    QByteArray padded = Receiver::header("padded", 0);
    padded.append(QByteArray(9999 - padded.size(), ' '));
    EXPECT_EQ(raw(Receiver::frame(padded)), "OK");

    const QList<QByteArray> bad = {
        "{not json",
        R"({"bucket":"photos","key":"k","contentType":"x"})",
        R"({"bucket":"photos","key":"k","contentType":"x","size":"3"})",
        Receiver::header("k", -1),
        Receiver::header("k", qint64(1) << 62),
        Receiver::header("a/../b", 0),
        Receiver::header("..", 0),
        Receiver::header("k", 0, "Not_A_Bucket"),
    };
    for (const QByteArray &header : bad)
        EXPECT_EQ(raw(Receiver::frame(header, "abc")), "ERROR: Invalid header") << header.toStdString();
    EXPECT_TRUE(receiver.log.contains("QUIC: Failed to decode header"));

    // Characters with a meaning in URLs are part of the key.
    EXPECT_EQ(raw(Receiver::frame(Receiver::header("?x", 3), "q!q")), "OK");
    EXPECT_EQ(raw(Receiver::frame(Receiver::header("%00", 3), "z!z")), "OK");
    EXPECT_EQ(getStatus(engine.ports.s3, "photos/%3Fx"), 200);
    EXPECT_EQ(getStatus(engine.ports.s3, "photos/%2500"), 200);
    EXPECT_EQ(receiver.service->filesReceived(), 3);
}

TEST(QuicReceiver, DroppedIdleAndForeignClientsAndManyAtOnce)
{
    EngineHarness engine;
    ASSERT_TRUE(engine.start());
    Receiver receiver(engine.ports.s3, [](QuicReceiverConfig &c) { c.quic.idleTimeoutMs = 2000; });
    const QString mib = receiver.bigFile("mib", 1 << 20);

    // Half a body, then the connection goes: nothing is stored.
    EXPECT_EQ(receiver.peer({"half", mib + "=photos/half"})["dropped"], true);
    ASSERT_TRUE(waitUntil([&] { return receiver.service->activeConnections() == 0; }, 10s));
    EXPECT_EQ(getStatus(engine.ports.s3, "photos/half"), 404);
    EXPECT_EQ(receiver.service->filesReceived(), 0);

    // Whole files with their ends, then the connection goes before any reply:
    // every byte arrived, so every file is stored.
    const QString four = receiver.bigFile("four", 4 << 20);
    EXPECT_EQ(receiver.peer({"fire", four + "=photos/fire1", four + "=photos/fire2", four + "=photos/fire3"})["sent"], 3);
    EXPECT_TRUE(waitUntil([&] { return receiver.service->filesReceived() == 3; }, 30s)) << receiver.service->filesReceived();
    for (const char *key : {"photos/fire1", "photos/fire2", "photos/fire3"})
        EXPECT_EQ(getStatus(engine.ports.s3, key), 200) << key;

    // A client that never sends is let go at the idle time-out.
    QProcess idle;
    idle.start(QStringLiteral(TAVROLIN_TEST_PYTHON),
               {QStringLiteral(TAVROLIN_QUIC_PEER), "127.0.0.1", QString::number(receiver.port()), "idle", "30"});
    ASSERT_TRUE(waitUntil([&] { return receiver.service->activeConnections() == 1; }, 10s));
    EXPECT_TRUE(waitUntil([&] { return receiver.service->activeConnections() == 0; }, 10s));
    idle.kill();
    idle.waitForFinished();

    EXPECT_EQ(receiver.peer({"alpn", "h3"})["handshake"], "refused");

    const json many = receiver.peer({"concurrent", "20", receiver.file("small", "small file")});
    ASSERT_TRUE(many.contains("replies")) << many.dump();
    EXPECT_EQ(many["replies"].size(), 20u);
    for (const auto &reply : many["replies"])
        EXPECT_EQ(reply, "OK");
    EXPECT_EQ(receiver.service->filesReceived(), 3 + 20);
}

TEST(QuicReceiver, AFailedStoreIsAnsweredAndTheNextFileStillGoes)
{
    int puts = 0;
    FakeS3 gateway([&](const FakeS3::Request &r) {
        if (r.method != "PUT")
            return FakeS3::Response{404, ""};
        return FakeS3::Response{++puts == 1 ? 403 : 201, ""};
    });
    ASSERT_TRUE(gateway.listen(0));
    Receiver receiver(gateway.port());
    const json result = receiver.peer({"upload", receiver.file("a", "aaa") + "=photos/a", receiver.file("b", "bbbb") + "=photos/b"});
    EXPECT_EQ(result["replies"], json::array({"ERROR: Failed to store file", "OK"})) << result.dump();
    EXPECT_TRUE(receiver.log.contains("QUIC: S3 PUT failed with status 403"));
    EXPECT_TRUE(receiver.log.contains("QUIC: Failed to store a"));
    EXPECT_EQ(receiver.service->filesReceived(), 1);
    EXPECT_EQ(receiver.service->totalBytesReceived(), 4);
}

TEST(QuicReceiver, AStoredObjectThatIsNotTheBodySentIsRemovedAndRefused)
{
    // The gateway's ETag of a single PUT is the MD5 of what it stored.
    bool deleted = false;
    FakeS3 gateway([&](const FakeS3::Request &r) {
        if (r.method == "DELETE") {
            deleted = true;
            return FakeS3::Response{204, ""};
        }
        if (r.target.endsWith("/good"))
            return FakeS3::Response{200, "", 0, "\"" + QCryptographicHash::hash("good", QCryptographicHash::Md5).toHex() + "\""};
        return FakeS3::Response{200, "", 0, "\"0123456789abcdef0123456789abcdef\""};
    });
    ASSERT_TRUE(gateway.listen(0));
    Receiver receiver(gateway.port());
    const json result =
        receiver.peer({"upload", receiver.file("a", "bytes") + "=photos/a", receiver.file("g", "good") + "=photos/good"});
    EXPECT_EQ(result["replies"], json::array({"ERROR: Failed to store file", "OK"})) << result.dump();
    EXPECT_TRUE(deleted);
    ASSERT_FALSE(gateway.requests.isEmpty());
    EXPECT_TRUE(std::any_of(gateway.requests.begin(), gateway.requests.end(),
                            [](const FakeS3::Request &r) { return r.method == "DELETE" && r.target == "/photos/a"; }));
    EXPECT_EQ(receiver.log.countStartingWith("QUIC: Stored a does not match what was sent (MD5 "), 1)
        << receiver.log.joined().toStdString();
    EXPECT_EQ(receiver.service->filesReceived(), 1);
}

TEST(QuicReceiver, ADeclaredChecksumIsCheckedAgainstTheStoredFile)
{
    EngineHarness engine;
    ASSERT_TRUE(engine.start());
    Receiver receiver(engine.ports.s3);
    const QString file = receiver.bigFile("body", 3 << 20);
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray sha = QCryptographicHash::hash(f.readAll(), QCryptographicHash::Sha256).toHex();
    const QByteArray wrong = QByteArray(sha).replace(0, 1, sha.startsWith('0') ? "1" : "0");
    const json result = receiver.peer({"upload", file + "=photos/right#" + QString::fromLatin1(sha),
                                       file + "=photos/wrong#" + QString::fromLatin1(wrong), file + "=photos/none"});
    EXPECT_EQ(result["replies"], json::array({"OK", "ERROR: Failed to store file", "OK"})) << result.dump();
    EXPECT_EQ(getStatus(engine.ports.s3, "photos/right"), 200);
    EXPECT_EQ(getStatus(engine.ports.s3, "photos/wrong"), 404);
    EXPECT_EQ(getStatus(engine.ports.s3, "photos/none"), 200);
    EXPECT_TRUE(receiver.log.contains("QUIC: Stored wrong does not match what was sent (SHA-256 differs from the device's); removing it"))
        << receiver.log.joined().toStdString();
    // Not 64 hex digits: not a header.
    EXPECT_FALSE(UploadHeader::parse(R"({"bucket":"photos","key":"k","contentType":"x","size":1,"sha256":"xyz"})").hasValue());
    EXPECT_FALSE(UploadHeader::parse(R"({"bucket":"photos","key":"k","contentType":"x","size":1,"sha256":7})").hasValue());
    // Past the header's bounds: refused before it is parsed.
    const QByteArray flat = R"({"bucket":"photos","key":"k","contentType":"x","size":1,"x":)";
    EXPECT_TRUE(UploadHeader::parse(flat + "[0]}").hasValue());
    EXPECT_FALSE(UploadHeader::parse(flat + "[[0]]}").hasValue());
    EXPECT_FALSE(UploadHeader::parse(flat + '"' + QByteArray(UploadHeader::kMaxHeaderBytes, 'x') + "\"}").hasValue());
}

TEST(QuicReceiver, ABusyPortIsRetriedThriceThenGivenUpAndStopCancelsARetry)
{
    QUdpSocket holder;
    ASSERT_TRUE(holder.bind(QHostAddress::LocalHost, 0));
    Receiver receiver(1, [&](QuicReceiverConfig &c) { c.port = holder.localPort(); });
    ASSERT_TRUE(waitUntil([&] { return receiver.log.contains("QUIC: Max retries reached, QUIC disabled"); }, 5s))
        << receiver.log.joined().toStdString();
    for (int i = 1; i <= 3; ++i)
        EXPECT_TRUE(receiver.log.contains(QStringLiteral("QUIC: Will retry (%1/3) in 0 seconds...").arg(i))) << i;
    EXPECT_EQ(receiver.log.countStartingWith("QUIC: Listener failed - "), 4);
    EXPECT_FALSE(receiver.service->isListening());

    // A retry pending at stop does not bring the receiver back.
    receiver.service->startListening(1);
    receiver.service->stopListening();
    holder.close();
    waitUntil([] { return false; }, 300ms);
    EXPECT_FALSE(receiver.service->isListening());
}

TEST(QuicReceiver, MemoryStaysFlatThroughATwoGigabyteUpload)
{
#if defined(__SANITIZE_ADDRESS__) || TAVROLIN_CLANG_ASAN
    GTEST_SKIP() << "skipped: under the address sanitizer its own memory use is what this would measure";
#endif
    EngineHarness engine;
    ASSERT_TRUE(engine.start());
    Receiver receiver(engine.ports.s3);
    const QString big = receiver.bigFile("two-gib", 2ll << 30);
    const qint64 idle = processStatusBytes("VmRSS:");
    QProcess upload;
    upload.start(QStringLiteral(TAVROLIN_TEST_UPLOAD), {"127.0.0.1", big, "--port", QString::number(receiver.port())});
    ASSERT_TRUE(waitUntil([&] { return upload.state() == QProcess::NotRunning; }, 300s));
    EXPECT_EQ(upload.exitCode(), 0) << upload.readAllStandardOutput().toStdString();
    const qint64 peak = processStatusBytes("VmHWM:");
    std::printf("[ memory ] receiver RSS idle %.1f MiB, peak %.1f MiB during a 2 GiB upload\n", idle / 1048576.0, peak / 1048576.0);
    EXPECT_LT(peak - idle, 64 << 20);
    EXPECT_EQ(receiver.service->totalBytesReceived(), 2ll << 30);
}

TEST(QuicReceiver, OneHostCannotHoldTheReceiverFromAnother)
{
    EngineHarness engine;
    ASSERT_TRUE(engine.start());
    Receiver receiver(engine.ports.s3);
    const QString photo = receiver.bigFile("photo", 100 << 10);

    // Bodies that drip a byte a second from one host hold their uploads
    // open; another host's uploads still go through at once.
    {
        BackgroundPeer drip(receiver, {"drip", "8", "1", "photos/drip"});
        ASSERT_EQ(drip.firstLine()["dripping"], 8);
        const json timed = receiver.peer({"timed", "5", photo, "--from=127.0.0.2"}, 60s);
        ASSERT_TRUE(timed.contains("times")) << timed.dump();
        EXPECT_EQ(timed["replies"], json::array({"OK", "OK", "OK", "OK", "OK"}));
        for (const auto &seconds : timed["times"])
            EXPECT_LT(seconds.get<double>(), 10.0) << timed.dump();
    }

    // One host that keeps as many connections open as it can gets a share;
    // another host still connects.
    BackgroundPeer hold(receiver, {"hold", "256"});
    const json held = hold.firstLine(120s);
    ASSERT_TRUE(held.contains("held")) << held.dump();
    // (the dripping connection may not have timed out yet)
    EXPECT_LE(held["held"].get<int>(), QuicServer::kMaxConnectionsPerSource);
    EXPECT_GE(held["held"].get<int>(), QuicServer::kMaxConnectionsPerSource - 1);
    EXPECT_TRUE(receiver.log.joined().contains(QStringLiteral("that host has %1 connections").arg(QuicServer::kMaxConnectionsPerSource)));
    const json many = receiver.peer({"concurrent", "6", receiver.file("small", "small file"), "--from=127.0.0.2"}, 60s);
    ASSERT_TRUE(many.contains("replies")) << many.dump();
    EXPECT_EQ(many["replies"], json::array({"OK", "OK", "OK", "OK", "OK", "OK"}));
}

TEST(QuicReceiver, ABodyThatStopsIsEndedAndAnUploadWaitingOnASlowStoreIsKeptOpen)
{
    EngineHarness engine;
    ASSERT_TRUE(engine.start());
    Receiver receiver(engine.ports.s3, [](QuicReceiverConfig &c) { c.bodyTimeoutMs = 1500; });
    const json stalled = receiver.peer({"stall", "photos/stalled"}, 60s);
    ASSERT_TRUE(stalled.contains("reply")) << stalled.dump();
    EXPECT_EQ(stalled["reply"], "ERROR: Failed to store file");
    EXPECT_LT(stalled["seconds"].get<double>(), 10.0);
    EXPECT_TRUE(receiver.log.contains("QUIC: Upload of stalled stopped: no data for 1.5 s")) << receiver.log.joined().toStdString();
    EXPECT_EQ(getStatus(engine.ports.s3, "photos/stalled"), 404);

    // The store takes longer than the connection may stay idle: the device
    // still hears that its file is stored.
    FakeS3 slow([](const FakeS3::Request &r) { return FakeS3::Response{r.method == "PUT" ? 200 : 404, "", 4000}; });
    ASSERT_TRUE(slow.listen(0));
    Receiver patient(slow.port(), [](QuicReceiverConfig &c) { c.quic.idleTimeoutMs = 1500; });
    const json result = patient.peer({"upload", patient.file("a", "slowly stored") + "=photos/a"}, 60s);
    EXPECT_EQ(result["replies"], json::array({"OK"})) << result.dump();
}

TEST(QuicReceiver, RepliesLeaveFromTheAddressTheDeviceDialled)
{
    EngineHarness engine;
    ASSERT_TRUE(engine.start());
    Receiver receiver(engine.ports.s3, [](QuicReceiverConfig &c) { c.address = QHostAddress::Any; });
    const QString file = receiver.file("a", "dialled a second address");
    // A socket connected to the address it dialled drops datagrams from any other.
    for (const QString host : {"127.0.0.1", "127.0.0.2"}) {
        const json result = receiver.peer({"upload", file + "=photos/" + host, "--connected"}, 30s, host);
        EXPECT_EQ(result["replies"], json::array({"OK"})) << host.toStdString() << result.dump();
    }
}

TEST(QuicReceiver, StreamsEndedWithAnErrorDoNotStarveTheirConnection)
{
    EngineHarness engine;
    ASSERT_TRUE(engine.start());
    Receiver receiver(engine.ports.s3, [](QuicReceiverConfig &c) { c.quic.idleTimeoutMs = 3000; });
    // Each refused stream had 6 MiB on its way after its bad header: together
    // more than the connection may have outstanding.
    const json result = receiver.peer({"spoil", "4", "6", receiver.bigFile("after", 3 << 20) + "=photos/after"}, 60s);
    EXPECT_EQ(result["reply"], "OK") << result.dump();
    EXPECT_EQ(getStatus(engine.ports.s3, "photos/after"), 200);
}

TEST(QuicReceiver, StreamsWaitingForTheStoreDoNotStarveThoseBeingStored)
{
    // More large files at once on one connection than its host may store at
    // once: those that wait hold their first bytes, and must not hold the
    // connection's window from the files being stored.
    EngineHarness engine;
    ASSERT_TRUE(engine.start());
    Receiver receiver(engine.ports.s3, [](QuicReceiverConfig &c) { c.bodyTimeoutMs = 3000; });
    const json result = receiver.peer({"timed", "12", receiver.bigFile("six", 6 << 20), "12"}, 120s);
    ASSERT_TRUE(result.contains("replies")) << result.dump();
    EXPECT_EQ(std::count(result["replies"].begin(), result["replies"].end(), "OK"), 12) << result.dump();
    EXPECT_EQ(receiver.log.countStartingWith("QUIC: Upload of "), 0) << "no upload given up as stalled";
}

TEST(QuicUploadClient, TellsRepliesApartWithoutADelimiter)
{
    EXPECT_EQ(QuicUploadClient::replyLength("OK"), 2);
    EXPECT_EQ(QuicUploadClient::replyLength("OKOK"), 2);
    EXPECT_EQ(QuicUploadClient::replyLength("ERROR: Failed to store fileOK"), 27);
    EXPECT_EQ(QuicUploadClient::replyLength("ERROR: Invalid header"), 0) << "could still become ...length";
    EXPECT_EQ(QuicUploadClient::replyLength("ERROR: Invalid header", true), 21);
    EXPECT_EQ(QuicUploadClient::replyLength("ERROR: Invalid header length"), 28);
    EXPECT_EQ(QuicUploadClient::replyLength("O"), 0);
}

// The stream's framing alone, fed a byte at a time and all at once: files
// follow one another, each body ends exactly where its header said, and a
// bad length is refused before any header byte is read.
TEST(UploadFrameReader, FilesFollowOneAnotherInPiecesOfAnySize)
{
    const auto frame = [](const QByteArray &key, const QByteArray &body) {
        const QByteArray header = R"({"bucket":"photos","key":")" + key + R"(","contentType":"image/jpeg","size":)"
            + QByteArray::number(body.size()) + "}";
        QByteArray length(4, '\0');
        qToBigEndian<quint32>(quint32(header.size()), length.data());
        return length + header + body;
    };
    const QByteArray stream = frame("a.jpg", "first body") + frame("empty.jpg", "") + frame("b.jpg", QByteArray(70000, 'b'));
    for (const qsizetype piece : {qsizetype(1), qsizetype(4096), stream.size()}) {
        UploadFrameReader reader;
        QStringList keys;
        QList<qsizetype> bodies;
        qint64 framing = 0;
        bool inBody = false;
        for (qsizetype at = 0; at < stream.size(); at += piece) {
            reader.append(stream.mid(at, piece));
            for (;;) {
                if (!inBody) {
                    const auto result = reader.readFrame(framing);
                    if (result == UploadFrameReader::Frame::NeedMore)
                        break;
                    ASSERT_EQ(result, UploadFrameReader::Frame::Header);
                    keys << reader.header().key;
                    bodies << 0;
                    inBody = true;
                }
                bodies.last() += reader.takeBody().size();
                if (reader.remaining() > 0)
                    break;
                inBody = false;
            }
        }
        EXPECT_EQ(keys, (QStringList{"a.jpg", "empty.jpg", "b.jpg"})) << piece;
        EXPECT_EQ(bodies, (QList<qsizetype>{10, 0, 70000})) << piece;
        EXPECT_EQ(reader.buffered(), 0);
    }

    UploadFrameReader bad;
    QByteArray tooLong(4, '\0');
    qToBigEndian<quint32>(UploadHeader::kMaxHeaderBytes + 1, tooLong.data());
    bad.append(tooLong);
    qint64 read = 0;
    EXPECT_EQ(bad.readFrame(read), UploadFrameReader::Frame::BadLength);
    EXPECT_EQ(read, 4);
    EXPECT_EQ(bad.headerLength(), UploadHeader::kMaxHeaderBytes + 1);
    // What follows a bad frame is never read as one.
    bad.append(frame("after.jpg", "x"));
    EXPECT_EQ(bad.readFrame(read), UploadFrameReader::Frame::BadLength);
    EXPECT_EQ(read, 4);

    // A device gone mid-body leaves only the body's bytes held.
    UploadFrameReader cut;
    cut.append(frame("c.jpg", "0123456789") + "next file's bytes");
    read = 0;
    ASSERT_EQ(cut.readFrame(read), UploadFrameReader::Frame::Header);
    EXPECT_EQ(cut.keepOnlyBody(), qsizetype(17));
    EXPECT_EQ(cut.takeBody(), "0123456789");
}
