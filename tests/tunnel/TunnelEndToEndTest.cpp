// The remote tunnel end to end: the real engine behind the start sequence,
// signaling through the folder record store, and remote devices (aiortc)
// that speak the tunnel's message format from its byte layout alone.
#include "services/DeviceRegistry.h"
#include "tests/support/ManagerHarness.h"
#include "tests/support/StackHarness.h"
#include "tests/support/WebRTCPeer.h"
#include "tunnel/HTTPTunnelProtocol.h"
#include "tunnel/WebRTCTunnelServer.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkReply>
#include <QProcess>
#include <csignal>
#include <gtest/gtest.h>

using namespace tavrolin;
using namespace tavrolin::test;
using namespace std::chrono_literals;

namespace {

QString sha256(const QByteArray &bytes) { return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex()); }

// The server as the application puts it together, around the real engine.
struct Rig {
    // The production wiring: every service of the server, the tunnel's
    // signalling in the sandbox's cloud folder.
    StackHarness engine;
    QString cloudFolder = engine.cloudFolder;
    QString container = cloudFolder + "/records/iCloud.com.tavro.shared";
    QString tempDir = engine.sandbox.path("tmp");
    DeviceRegistry &registry = engine.stack->registry();
    WebRTCTunnelServer *tunnel = &engine.stack->tunnel();

    explicit Rig(int maxInFlight = 32, std::function<void(TunnelSessionConfig &)> adjust = {})
        : engine([maxInFlight, adjust](ServerStackConfig &config, const Sandbox &sandbox) {
              config.tunnel.session.tempDir = sandbox.path("tmp");
              config.tunnel.session.maxRequestsInFlight = maxInFlight;
              if (adjust)
                  adjust(config.tunnel.session);
          })
    {
        QDir().mkpath(tempDir);
    }
    ~Rig()
    {
        // On failure, what the tunnel said is the first thing to read.
        if (::testing::Test::HasFailure()) {
            QStringList lines = engine.log.lines().filter(QStringLiteral("WebRTC"));
            if (lines.size() > 120)
                lines = lines.mid(lines.size() - 120);
            std::fprintf(stderr, "%s\n", qPrintable(lines.join('\n')));
        }
        runTask(engine.manager->stopServer());
    }

    QStringList tempFiles() const
    {
        return QDir(tempDir).entryList({"webrtc_stream_*", "chunk_*"}, QDir::Files | QDir::Hidden);
    }
};

// One remote device: connects through the record files, then sends the
// requests it is told to and reports what comes back.
struct Remote {
    AiortcPeer peer;
    explicit Remote(const Rig &rig, const QStringList &options = {})
        : peer(QStringLiteral("tunnel"), 0, QStringList{QStringLiteral("--records"), rig.container} + options)
    {
    }
    ~Remote()
    {
        if (::testing::Test::HasFailure() && !peer.errors().isEmpty())
            std::fprintf(stderr, "peer: %s\n", qPrintable(peer.errors()));
    }

    bool connect()
    {
        waitUntil([&] { return !peer.result("connected").isEmpty() || !peer.result("error").isEmpty() || peer.exited(); }, 90s);
        return !peer.result("connected").isEmpty();
    }
    QString problems() const { return peer.result("error").value("error").toString() + ' ' + peer.errors(); }

    void send(const QString &id, const QString &method, const QString &path, const QJsonObject &headers = {},
              const QByteArray &body = {}, const QString &channel = QStringLiteral("tunnel"), qint64 closeAfterBytes = 0)
    {
        QJsonObject request{{"id", id}, {"method", method}, {"path", path}, {"headers", headers}};
        if (!body.isEmpty())
            request.insert("body_b64", QString::fromLatin1(body.toBase64()));
        QJsonObject command{{"send", request}, {"channel", channel}};
        if (closeAfterBytes > 0)
            command.insert("close_after_bytes", closeAfterBytes);
        peer.command(command);
    }

    QJsonObject reply(const QString &id, std::chrono::milliseconds timeout = 60s)
    {
        QJsonObject found;
        waitUntil(
            [&] {
                for (const QJsonObject &r : peer.results()) {
                    const QJsonObject reply = r.value("reply").toObject();
                    if (reply.value("id").toString() == id)
                        found = reply;
                }
                return !found.isEmpty() || peer.exited();
            },
            timeout);
        return found;
    }

    QJsonObject request(const QString &id, const QString &method, const QString &path, const QJsonObject &headers = {},
                        const QByteArray &body = {}, const QString &channel = QStringLiteral("tunnel"),
                        std::chrono::milliseconds timeout = 60s)
    {
        send(id, method, path, headers, body, channel);
        return reply(id, timeout);
    }

    static QByteArray body(const QJsonObject &reply) { return QByteArray::fromBase64(reply.value("body_b64").toString().toLatin1()); }
    static QJsonObject json(const QJsonObject &reply) { return QJsonDocument::fromJson(body(reply)).object(); }
};

// tavrolin-tunnel as a user runs it, the server's event loop running
// while it works.
struct Tool {
    int exitCode = -1;
    QString out, err;
};

std::unique_ptr<QProcess> startTool(const Rig &rig, const QStringList &args)
{
    auto process = std::make_unique<QProcess>();
    process->start(QStringLiteral(TAVROLIN_TEST_TUNNEL_TOOL),
                   QStringList{"--cloud-folder", rig.cloudFolder, "--no-stun", "--local-only"} + args);
    return process;
}

Tool finishTool(QProcess &process)
{
    if (!waitUntil([&] { return process.state() == QProcess::NotRunning; }, 120s)) {
        process.kill(); // our own child, by its pid
        process.waitForFinished(5000);
    }
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromUtf8(process.readAllStandardOutput()), QString::fromUtf8(process.readAllStandardError())};
}

Tool runTool(const Rig &rig, const QStringList &args)
{
    auto process = startTool(rig, args);
    return finishTool(*process);
}

} // namespace

TEST(TunnelEndToEnd, ARemoteDeviceReachesObjectsAndTheApi)
{
    Rig rig;
    const QByteArray big = randomBytes(30 * 1024 * 1024, 7);
    ASSERT_TRUE(rig.engine.start()) << rig.engine.statuses.join(" | ").toStdString();
    ASSERT_TRUE(rig.tunnel->isListening());
    const QByteArray raw = randomBytes(12 * 1024 * 1024, 13);
    ASSERT_TRUE(putObjects(rig.engine.ports.s3, "photos", {"phone/big.jpg", "phone/empty.jpg", "phone/raw.dng"},
                           [&](const QString &key) {
                               return key.endsWith("big.jpg") ? big : key.endsWith(".dng") ? raw : QByteArray();
                           }));

    Remote remote(rig);
    ASSERT_TRUE(remote.connect()) << remote.problems().toStdString();
    EXPECT_TRUE(waitUntil([&] { return rig.tunnel->connectedClients() == 1; }, 10s));
    EXPECT_EQ(rig.engine.manager->remoteClients(), 1);

    // A 30 MiB photo streams in chunks, each within the format's limit.
    const QJsonObject photo = remote.request("big", "GET", "/photos/phone/big.jpg");
    EXPECT_EQ(photo.value("type").toString(), "response") << QJsonDocument(photo).toJson().toStdString();
    EXPECT_EQ(photo.value("statusCode").toInt(), 200);
    EXPECT_EQ(photo.value("size").toInteger(), big.size());
    EXPECT_EQ(photo.value("sha256").toString(), sha256(big));
    EXPECT_GT(photo.value("chunks").toInt(), 400);
    EXPECT_LE(photo.value("largest").toInt(), 65536);

    // An empty photo is one chunk carrying only the header; a large file
    // that is not media comes the same way, through a file, not memory.
    const QJsonObject empty = remote.request("empty", "GET", "/photos/phone/empty.jpg");
    EXPECT_EQ(empty.value("statusCode").toInt(), 200);
    EXPECT_EQ(empty.value("size").toInt(), 0);
    EXPECT_EQ(empty.value("chunks").toInt(), 1);
    EXPECT_TRUE(empty.value("chunked").toBool()) << "a chunk, not a whole response";
    const QJsonObject large = remote.request("raw", "GET", "/photos/phone/raw.dng");
    EXPECT_EQ(large.value("sha256").toString(), sha256(raw));
    EXPECT_LE(large.value("largest").toInt(), 65536);
    EXPECT_TRUE(rig.engine.log.contains(QString("WebRTCTunnelServer: Downloaded to file: %1 bytes").arg(raw.size())));

    // A small object up and back; a request large enough that the device
    // sends it in chunks; and answers come back on the channel asked on.
    const QByteArray small = "a small note";
    EXPECT_EQ(remote.request("put-small", "PUT", "/photos/phone/note.txt", {}, small).value("statusCode").toInt(), 200);
    const QJsonObject note = remote.request("get-small", "GET", "/photos/phone/note.txt", {}, {}, "second");
    EXPECT_EQ(Remote::body(note), small);
    // HEAD: the gateway's status and headers at once, and no body.
    QElapsedTimer headClock;
    headClock.start();
    const QJsonObject head = remote.request("head", "HEAD", "/photos/phone/note.txt", {}, {}, "second", 20s);
    EXPECT_EQ(head.value("statusCode").toInt(), 200) << QJsonDocument(head).toJson().toStdString();
    EXPECT_EQ(head.value("size").toInt(), 0);
    EXPECT_EQ(head.value("headers").toObject().value("Content-Length").toString(), QString::number(small.size()));
    EXPECT_LT(headClock.elapsed(), 5000);
    EXPECT_EQ(remote.request("head-missing", "HEAD", "/photos/phone/none.txt", {}, {}, "second", 20s).value("statusCode").toInt(), 404);
    // The path is a request target: escapes are escapes, a raw space is a
    // space, "+" is a plus sign, and "%25" is a per-cent sign.
    const QByteArray named = "oddly named";
    EXPECT_EQ(remote.request("put-odd", "PUT", "/photos/phone/a b+c%25d.txt", {}, named).value("statusCode").toInt(), 200);
    EXPECT_EQ(Remote::body(remote.request("get-odd", "GET", "/photos/phone/a%20b%2Bc%25d.txt")), named);
    EXPECT_EQ(remote.request("get-odd-space", "GET", "/photos/phone/a+b+c%25d.txt").value("statusCode").toInt(), 404)
        << "a plus sign is not a space";
    const QJsonObject listed = remote.request("list-odd", "GET", "/photos?list-type=2&prefix=phone/a");
    EXPECT_TRUE(Remote::body(listed).contains("<Key>phone/a b+c%d.txt</Key>")) << Remote::body(listed).toStdString();
        // An answer whose header cannot be framed (the gateway hands back 70 kB
    // of metadata stored with the object) is an error the device can read.
    {
        QProcess curl;
        curl.start("curl", {"-sf", "-o", "/dev/null", "-X", "PUT", "--data-binary", "x", "-H",
                            "x-amz-meta-notes: " + QString(70000, QChar('n')),
                            QStringLiteral("http://127.0.0.1:%1/photos/phone/annotated.txt").arg(rig.engine.ports.s3)});
        ASSERT_TRUE(waitUntil([&] { return curl.state() == QProcess::NotRunning; }, 30s));
        if (curl.exitCode() == 0) {
            const QJsonObject unframed = remote.request("annotated", "GET", "/photos/phone/annotated.txt");
            EXPECT_EQ(unframed.value("type").toString(), "error") << QJsonDocument(unframed).toJson().left(400).toStdString();
            EXPECT_TRUE(unframed.value("message").toString().startsWith("The response cannot be framed: "))
                << unframed.value("message").toString().left(200).toStdString();
        } else {
            ADD_FAILURE() << "the gateway refused 70 kB of metadata (curl exit " << curl.exitCode() << ")";
        }
    }
        // A grid of thumbnails at once, past the in-flight bound: every one answered.
    for (int i = 0; i < 60; ++i)
        remote.send(QStringLiteral("grid-%1").arg(i), "GET", "/photos/phone/note.txt");
    int answered = 0;
    for (int i = 0; i < 60; ++i)
        answered += remote.reply(QStringLiteral("grid-%1").arg(i)).value("statusCode").toInt() == 200;
    EXPECT_EQ(answered, 60);
    EXPECT_EQ(note.value("channel").toString(), "second");
    EXPECT_EQ(note.value("chunks").toInt(), 1);
    const QByteArray medium = randomBytes(200 * 1024, 8);
    EXPECT_EQ(remote.request("put-medium", "PUT", "/photos/phone/medium.bin", {}, medium).value("statusCode").toInt(), 200);
    const QJsonObject mediumBack = remote.request("get-medium", "GET", "/photos/phone/medium.bin");
    EXPECT_EQ(mediumBack.value("sha256").toString(), sha256(medium));
    EXPECT_GT(mediumBack.value("chunks").toInt(), 1);
    // An upload past 10 MiB streams from its file into the gateway.
    const QByteArray video = randomBytes(12 * 1024 * 1024 + 5, 14);
    EXPECT_EQ(remote.request("put-video", "PUT", "/photos/phone/clip.mov", {}, video).value("statusCode").toInt(), 200);
    EXPECT_EQ(rig.engine.log.countStartingWith(QString("ChunkAssembler: Reassembled %1 bytes in ").arg(video.size())), 1);
    EXPECT_EQ(remote.request("get-video", "GET", "/photos/phone/clip.mov").value("sha256").toString(), sha256(video));
    EXPECT_TRUE(rig.tempFiles().isEmpty());
    EXPECT_TRUE(QDir(rig.tempDir).entryList({"chunk_*"}, QDir::Files).isEmpty());

    // The in-process API: registration over the tunnel counts as webrtc.
    const QJsonObject registered = remote.request("register", "POST", "/api/tavro/register-device", {},
                                                  R"({"deviceId":"phone-1","deviceName":"Phone"})");
    EXPECT_EQ(registered.value("statusCode").toInt(), 200);
    EXPECT_EQ(Remote::body(registered), R"({"success":true,"deviceCount":1})");
    ASSERT_EQ(rig.registry.deviceCount(), 1);
    EXPECT_EQ(rig.registry.devices().first().connectionType, ConnectionType::WebRTC);
    const QJsonObject health = remote.request("health", "GET", "/api/tavro/health");
    EXPECT_EQ(health.value("statusCode").toInt(), 404);
    EXPECT_EQ(Remote::body(health), R"({"error":"Not found"})");
    const QJsonObject half = remote.request("half", "POST", "/api/tavro/register-device", {}, R"({"deviceId":"x"})");
    EXPECT_EQ(half.value("statusCode").toInt(), 400);

    // Missing keys answer as the gateway does, streamed or not.
    EXPECT_EQ(remote.request("missing", "GET", "/photos/phone/none.jpg").value("statusCode").toInt(), 404);
    EXPECT_EQ(remote.request("missing2", "GET", "/photos/phone/none.txt").value("statusCode").toInt(), 404);

    // A second device at the same time, one that keeps its messages in
    // per-device folders.
    Remote other(rig, {"--per-device-folders"});
    ASSERT_TRUE(other.connect()) << other.problems().toStdString();
    EXPECT_TRUE(waitUntil([&] { return rig.tunnel->connectedClients() == 2; }, 10s));
    EXPECT_EQ(rig.engine.manager->remoteClients(), 2);
    EXPECT_EQ(Remote::body(other.request("other", "GET", "/photos/phone/note.txt")), small);
    EXPECT_EQ(rig.tunnel->clients().size(), 2);
    // Each device writes its candidate as a record of its own beside its
    // offer, in whatever order the folder lists them: none is lost.
    EXPECT_EQ(rig.engine.log.countStartingWith("WebRTCTunnelServer: No client for session"), 0);

    // Hanging up ends each session and the count follows.
    remote.peer.command({{"close", true}});
    EXPECT_TRUE(waitUntil([&] { return rig.tunnel->connectedClients() == 1; }, 30s));
    other.peer.command({{"close", true}});
    EXPECT_TRUE(waitUntil([&] { return rig.tunnel->connectedClients() == 0; }, 30s));
    EXPECT_EQ(rig.engine.manager->remoteClients(), 0);
    EXPECT_TRUE(rig.tunnel->clients().isEmpty());
    EXPECT_TRUE(rig.tempFiles().isEmpty()) << rig.tempFiles().join(' ').toStdString();
}

TEST(TunnelEndToEnd, HostileRequestsStayOnTheGatewayAndLeaveNothingBehind)
{
    Rig rig;
    const QByteArray big = randomBytes(30 * 1024 * 1024, 9);
    ASSERT_TRUE(rig.engine.start()) << rig.engine.statuses.join(" | ").toStdString();
    ASSERT_TRUE(putObjects(rig.engine.ports.s3, "photos", {"phone/big.jpg", "phone/a.txt"},
                           [&](const QString &key) { return key.endsWith(".jpg") ? big : QByteArray("text"); }));

    Remote remote(rig);
    ASSERT_TRUE(remote.connect()) << remote.problems().toStdString();

    // No path reaches another host or port: what does not begin with "/" is
    // refused, and what does stays a path on the gateway (port 1 would
    // answer with a refused connection).
    const QStringList refused = {"@127.0.0.1:1/x", "http://127.0.0.1:1/x", "photos/phone/a.txt", "", "/photos/a\r\nX: y"};
    for (qsizetype i = 0; i < refused.size(); ++i) {
        const QJsonObject r = remote.request(QString("bad-%1").arg(i), "GET", refused[i]);
        EXPECT_EQ(r.value("type").toString(), "error") << refused[i].toStdString();
        EXPECT_EQ(r.value("code").toInt(), -1000) << refused[i].toStdString();
    }
    const QStringList onTheGateway = {"//127.0.0.1:1/x", "//user@127.0.0.1:1/photos/phone/a.txt", "/photos/a.txt#frag",
                                      "/../../etc/passwd"};
    for (qsizetype i = 0; i < onTheGateway.size(); ++i) {
        const QJsonObject r = remote.request(QString("odd-%1").arg(i), "GET", onTheGateway[i]);
        EXPECT_EQ(r.value("type").toString(), "response") << onTheGateway[i].toStdString();
        EXPECT_NE(r.value("statusCode").toInt(), 200) << onTheGateway[i].toStdString();
    }
    // A Host header of its own does not send the request elsewhere.
    const QJsonObject hosted = remote.request("host", "GET", "/photos/phone/a.txt", {{"Host", "127.0.0.1:1"}, {"hOsT", "x"}});
    EXPECT_EQ(hosted.value("statusCode").toInt(), 200);
    EXPECT_EQ(Remote::body(hosted), "text");

    // Garbage on the channel is dropped and the session goes on.
    remote.peer.command({{"raw_b64", QString::fromLatin1(QByteArray("\x01\xff\xff\xff\xff\x00\x00\x00\x00junk").toBase64())}});
    remote.peer.command({{"raw_b64", QString::fromLatin1(QByteArray("\x04\x02\x00\x00\x00\x00\x00\x00\x00{}").toBase64())}});
    // An upload announced past what the format can carry is refused at its
    // first chunk, and the sender is told instead of left waiting.
    {
        const QByteArray header = R"({"id":"huge","method":"PUT","path":"/photos/phone/huge.mov","headers":{}})";
        using namespace HTTPTunnelProtocol;
        const ChunkHeader announce{"m-huge", 0, 90000, std::uint8_t(MessageType::Request), header.size(), 5368709120LL};
        const QByteArray chunk0 = encodeMessage(MessageType::Chunk, encodeChunkHeader(announce), header + QByteArray(1000, 'x')).value();
        remote.peer.command({{"raw_b64", QString::fromLatin1(chunk0.toBase64())}});
        const QJsonObject refusedUpload = remote.reply("huge");
        EXPECT_EQ(refusedUpload.value("type").toString(), "error");
        EXPECT_EQ(refusedUpload.value("code").toInt(), -3003);
        EXPECT_TRUE(refusedUpload.value("message").toString().startsWith("The request could not be received: announced body"))
            << refusedUpload.value("message").toString().toStdString();
        EXPECT_TRUE(rig.tempFiles().isEmpty());
    }

    // A thousand requests at once: the session takes a bounded number, the
    // rest are refused, each is answered, and the session stays usable.
    remote.peer.command({{"many", 1000}, {"path", "/photos/phone/a.txt"}});
    ASSERT_TRUE(waitUntil([&] { return !remote.peer.result("many").isEmpty() || remote.peer.exited(); }, 150s));
    const QJsonObject many = remote.peer.result("many").value("many").toObject();
    const QJsonObject outcomes = many.value("outcomes").toObject();
    EXPECT_EQ(many.value("unanswered").toInt(), 0);
    EXPECT_EQ(outcomes.value("status 200").toInt() + outcomes.value("error 429").toInt(), 1000)
        << QJsonDocument(outcomes).toJson().toStdString();
    EXPECT_GE(outcomes.value("status 200").toInt(), 32);
    EXPECT_GE(outcomes.value("error 429").toInt(), 1);
    EXPECT_EQ(remote.request("after", "GET", "/photos/phone/a.txt").value("statusCode").toInt(), 200);

    // Hanging up in the middle of a stream ends the session, cancels the
    // transfer and removes its temporary file.
    remote.send("cut", "GET", "/photos/phone/big.jpg", {}, {}, "tunnel", 2 * 1024 * 1024);
    EXPECT_TRUE(waitUntil([&] { return !remote.peer.result("closed").isEmpty(); }, 60s));
    EXPECT_TRUE(waitUntil([&] { return rig.tunnel->connectedClients() == 0 && rig.tunnel->clients().isEmpty(); }, 30s));
    EXPECT_TRUE(waitUntil([&] { return rig.tempFiles().isEmpty(); }, 10s)) << rig.tempFiles().join(' ').toStdString();
}

TEST(TunnelEndToEnd, AStoppedEngineIsAnsweredWithAnError)
{
    Rig rig;
    ASSERT_TRUE(rig.engine.start()) << rig.engine.statuses.join(" | ").toStdString();
    Remote remote(rig);
    ASSERT_TRUE(remote.connect()) << remote.problems().toStdString();

    // The engine goes away under a connected session (our child, by its pid).
    const qint64 pid = rig.engine.manager->enginePid();
    ASSERT_GT(pid, 0);
    ::kill(pid_t(pid), SIGKILL); // as if it crashed; it is slow to stop politely
    ASSERT_TRUE(waitUntil([&] { return portIsFree(rig.engine.ports.s3); }, 30s));
    for (const QString &path : {QStringLiteral("/photos/x.jpg"), QStringLiteral("/photos/x.txt")}) {
        const QJsonObject r = remote.request(path, "GET", path);
        EXPECT_EQ(r.value("type").toString(), "error") << path.toStdString();
        EXPECT_EQ(r.value("code").toInt(), int(QNetworkReply::ConnectionRefusedError)) << path.toStdString();
        EXPECT_FALSE(r.value("message").toString().isEmpty());
    }
    const Tool tool = runTool(rig, {"get", "photos/x.jpg", rig.engine.sandbox.path("x.jpg")});
    EXPECT_EQ(tool.exitCode, 1);
    EXPECT_TRUE(tool.err.contains(QString("Tunnel error %1").arg(int(QNetworkReply::ConnectionRefusedError)))) << tool.err.toStdString();
    EXPECT_FALSE(QFile::exists(rig.engine.sandbox.path("x.jpg")));
    EXPECT_TRUE(rig.tempFiles().isEmpty());
}

TEST(TunnelEndToEnd, TheCommandLineClientGetsPutsAndRegisters)
{
    Rig rig;
    const QByteArray big = randomBytes(30 * 1024 * 1024, 11);
    ASSERT_TRUE(rig.engine.start()) << rig.engine.statuses.join(" | ").toStdString();
    ASSERT_TRUE(putObjects(rig.engine.ports.s3, "photos", {"phone/big.jpg"}, [&](const QString &) { return big; }));
    const QString out = rig.engine.sandbox.path("out");
    QDir().mkpath(out);

    // Two at once, each its own session.
    auto first = startTool(rig, {"get", "photos/phone/big.jpg", out + "/big.jpg"});
    auto second = startTool(rig, {"get", "photos/phone/big.jpg", out + "/big2.jpg"});
    const Tool a = finishTool(*first), b = finishTool(*second);
    ASSERT_EQ(a.exitCode, 0) << a.err.toStdString();
    ASSERT_EQ(b.exitCode, 0) << b.err.toStdString();
    for (const QString &name : {QStringLiteral("big.jpg"), QStringLiteral("big2.jpg")}) {
        QFile file(out + '/' + name);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        EXPECT_EQ(sha256(file.readAll()), sha256(big)) << name.toStdString();
    }

    // Up and back, through chunked requests.
    const QByteArray upload = randomBytes(11 * 1024 * 1024, 12);
    QFile source(out + "/upload.bin");
    ASSERT_TRUE(source.open(QIODevice::WriteOnly) && source.write(upload) == upload.size());
    source.close();
    const Tool put = runTool(rig, {"put", source.fileName(), "photos/phone/up load?.bin"});
    ASSERT_EQ(put.exitCode, 0) << put.err.toStdString();
    // Read from the file as it goes, with progress along the way.
    EXPECT_TRUE(put.err.contains(QString("Sent %1 of %1 bytes (100%)").arg(upload.size()))) << put.err.toStdString();
    ASSERT_EQ(runTool(rig, {"get", "photos/phone/up load?.bin", out + "/back.bin"}).exitCode, 0);
    EXPECT_TRUE(QDir(out).entryList({"chunk_*"}, QDir::Files).isEmpty()) << "the tool moved its file into place";
    QFile back(out + "/back.bin");
    ASSERT_TRUE(back.open(QIODevice::ReadOnly));
    EXPECT_EQ(back.readAll(), upload);

    // The in-process API, and errors a user can read.
    QFile body(out + "/device.json");
    ASSERT_TRUE(body.open(QIODevice::WriteOnly));
    body.write(R"({"deviceId":"cli-1","deviceName":"Laptop"})");
    body.close();
    const Tool registered = runTool(rig, {"request", "POST", "/api/tavro/register-device", body.fileName()});
    EXPECT_EQ(registered.exitCode, 0) << registered.err.toStdString();
    EXPECT_EQ(registered.out.trimmed(), R"({"success":true,"deviceCount":1})");
    ASSERT_EQ(rig.registry.deviceCount(), 1);
    EXPECT_EQ(rig.registry.devices().first().connectionType, ConnectionType::WebRTC);
    const Tool health = runTool(rig, {"request", "GET", "/api/tavro/health"});
    EXPECT_EQ(health.exitCode, 1);
    EXPECT_TRUE(health.err.contains("HTTP 404")) << health.err.toStdString();
    const Tool missing = runTool(rig, {"get", "photos/phone/none.jpg", out + "/none.jpg"});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_TRUE(missing.err.contains("HTTP 404")) << missing.err.toStdString();
    EXPECT_FALSE(QFile::exists(out + "/none.jpg"));
    EXPECT_EQ(runTool(rig, {"get", "photos/../etc/passwd", out + "/x"}).exitCode, 2);
    const Tool refused = runTool(rig, {"request", "GET", "//127.0.0.1:1"});
    EXPECT_EQ(refused.exitCode, 1);

    // Every session ended with its tool; nothing is left behind.
    EXPECT_TRUE(waitUntil([&] { return rig.tunnel->clients().isEmpty() && rig.tunnel->connectedClients() == 0; }, 30s))
        << rig.tunnel->clients().size();
    EXPECT_EQ(rig.engine.manager->remoteClients(), 0);
    EXPECT_TRUE(rig.tempFiles().isEmpty()) << rig.tempFiles().join(' ').toStdString();
    // Nor in the shared folder: each side removes what was written to it
    // (the server at its next poll).
    const QDir messages(rig.container + "/SignalingMessage");
    EXPECT_TRUE(waitUntil([&] { return messages.entryList({"*.json"}, QDir::Files).isEmpty(); }, 10s))
        << messages.entryList({"*.json"}, QDir::Files).join(' ').toStdString();
}

TEST(TunnelEndToEnd, DownloadsLeaveTheirTemporaryFoldersDiskAReserve)
{
    TmpfsMount drive("40m");
    if (!drive.ok())
        GTEST_SKIP() << "skipped: " << drive.error().toStdString();
    const QString tmp = drive.path();
    Rig rig(32, [tmp](TunnelSessionConfig &session) {
        session.tempDir = tmp;
        session.keepFreeBytes = 16 << 20;
    });
    ASSERT_TRUE(rig.engine.start()) << rig.engine.statuses.join(" | ").toStdString();
    const QByteArray big = randomBytes(30 << 20, 3), small = randomBytes(8 << 20, 4);
    ASSERT_TRUE(putObjects(rig.engine.ports.s3, "photos", {"phone/big.jpg", "phone/small.jpg"},
                           [&](const QString &key) { return key.endsWith("big.jpg") ? big : small; }));
    Remote remote(rig);
    ASSERT_TRUE(remote.connect()) << remote.problems().toStdString();
    // 30 MiB on a 40 MiB disk would leave less than the 16 MiB kept free:
    // refused before it is written, with a reason the device can read.
    const QJsonObject refused = remote.request("big", "GET", "/photos/phone/big.jpg");
    EXPECT_EQ(refused.value("type").toString(), "error") << QJsonDocument(refused).toJson().toStdString();
    EXPECT_TRUE(refused.value("message").toString().startsWith("Not enough free space for the download"))
        << refused.value("message").toString().toStdString();
    const QJsonObject fits = remote.request("small", "GET", "/photos/phone/small.jpg");
    EXPECT_EQ(fits.value("sha256").toString(), sha256(small));
    EXPECT_TRUE(waitUntil([&] { return QDir(tmp).entryList(QDir::Files).isEmpty(); }, 10s)) << "temporary files are removed";
}
