// The whole signaling path through the folder record store: a remote device
// (aiortc) that only reads and writes record files finds the server, offers,
// and ends with an open data channel to the server's WebRTC peer.
#include "cloud/CloudKitService.h"
#include "platform/FolderRecordStore.h"
#include "platform/SyncFolderDrive.h"
#include "services/DeviceRegistry.h"
#include "tests/support/FakeS3.h"
#include "tests/support/TestSupport.h"
#include "tests/support/WebRTCPeer.h"
#include "tunnel/WebRTCClient.h"
#include "tunnel/WebRTCTunnelServer.h"

#include <QDir>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>
#include <gtest/gtest.h>

using namespace tavrolin;
using namespace tavrolin::test;
using namespace std::chrono_literals;

namespace {

// Just enough of a session to answer one offer: what the tunnel server does
// with the messages CloudKitService hands on.
class OneSession : public QObject {
public:
    OneSession(CloudKitService &cloud, WebRTCConfig config) : m_cloud(cloud), m_client(std::move(config))
    {
        connect(&cloud, &CloudKitService::signalingMessage, this, [this](const QVariantMap &m) { handle(m); });
        connect(&m_client, &WebRTCClient::didGenerateCandidate, this, [this](const IceCandidate &c) { sendCandidate(c); });
        connect(&m_client, &WebRTCClient::didReceiveData, this,
                [this](const QByteArray &data, const DataChannelPtr &channel) { echo(data, channel); });
    }

    WebRTCClient &client() { return m_client; }
    int candidatesAdded = 0;
    int candidatesSent = 0;

private:
    QCoro::Task<> handle(QVariantMap message)
    {
        const QString type = message.value("type").toString();
        if (type == "offer") {
            m_session = message.value("sessionId").toString();
            m_peer = message.value("senderId").toString();
            m_client.createPeerConnection();
            SessionDescription offer{SessionDescription::Type::Offer, message.value("sdp").toString()};
            if (!co_await m_client.setRemoteOffer(std::move(offer)))
                co_return;
            const auto answer = co_await m_client.createAnswer();
            if (answer) {
                QString session = m_session, peer = m_peer, sdp = answer->sdp;
                co_await m_cloud.sendAnswer(std::move(session), std::move(peer), std::move(sdp));
            }
            m_offerApplied = true;
            for (IceCandidate &early : std::exchange(m_early, {}))
                co_await addCandidate(std::move(early));
        } else if (type == "ice-candidate") {
            IceCandidate candidate{message.value("candidate").toString(), message.value("sdpMid").toString(),
                                   message.value("sdpMLineIndex").toInt()};
            // A poll can hand on the offer and a candidate together: the
            // candidate waits for the offer.
            if (!m_offerApplied)
                m_early.append(std::move(candidate));
            else
                co_await addCandidate(std::move(candidate));
        }
    }

    QCoro::Task<> addCandidate(IceCandidate candidate)
    {
        if (co_await m_client.addIceCandidate(std::move(candidate)))
            ++candidatesAdded;
    }

    QCoro::Task<> sendCandidate(IceCandidate c)
    {
        QString session = m_session, peer = m_peer, sdp = c.sdp;
        const auto failed = co_await m_cloud.sendIceCandidate(std::move(session), std::move(peer), std::move(sdp), c.sdpMid,
                                                              c.sdpMLineIndex);
        if (!failed)
            ++candidatesSent;
    }

    QCoro::Task<> echo(QByteArray data, DataChannelPtr channel) { co_await m_client.send(std::move(data), std::move(channel)); }

    CloudKitService &m_cloud;
    WebRTCClient m_client;
    QString m_session, m_peer;
    bool m_offerApplied = false;
    QList<IceCandidate> m_early;
};

} // namespace

TEST(FolderSignaling, ARemoteDeviceWritingRecordFilesOpensADataChannel)
{
    Sandbox sandbox;
    const QString cloudFolder = sandbox.path("cloud");
    QDir().mkpath(cloudFolder);
    SyncFolderDrive drive([&] { return cloudFolder; });
    FolderRecordStore store(drive, QStringLiteral("iCloud.com.tavro.shared"));
    CloudKitConfig config;
    config.settingsFile = sandbox.settings();
    CloudKitService cloud(store, config);
    runTask(cloud.registerServer(8333));
    ASSERT_TRUE(cloud.isRegistered()) << cloud.errorText().toStdString();

    WebRTCConfig rtc;
    rtc.iceServers = {};
    rtc.loopbackOnly = true;
    OneSession session(cloud, rtc);

    // The tunnel server's poll, at its pace; one poll at a time.
    bool polling = false;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (polling)
            return;
        polling = true;
        [](CloudKitService &c, bool &flag) -> QCoro::Task<> {
            co_await c.pollForMessages();
            flag = false;
        }(cloud, polling);
    });
    poll.start(500);

    const QString container = cloudFolder + "/records/iCloud.com.tavro.shared";
    AiortcPeer peer(QStringLiteral("folder"), 0, {QStringLiteral("--records"), container});
    ASSERT_TRUE(waitUntil([&] { return peer.hasFinished() || peer.exited(); }, 90s)) << peer.errors().toStdString();
    EXPECT_TRUE(peer.result("error").isEmpty()) << peer.result("error").value("error").toString().toStdString() << " "
                                                << peer.errors().toStdString();
    const QJsonObject folder = peer.result("folder").value("folder").toObject();
    EXPECT_TRUE(folder.value("echo").toBool());
    EXPECT_EQ(folder.value("server").toString(), cloud.deviceId());
    EXPECT_EQ(folder.value("counts").toObject().value("answer").toInt(), 1);
    EXPECT_GE(folder.value("counts").toObject().value("ice-candidate").toInt(), 1);
    EXPECT_TRUE(waitUntil([&] { return session.candidatesAdded == 1; }, 5s));
    EXPECT_GE(session.candidatesSent, 1);
    ASSERT_TRUE(session.client().dataChannel());
    EXPECT_EQ(session.client().dataChannel()->label(), "tunnel");

    // Every message to the server was taken and deleted; nothing was written
    // outside the container.
    poll.stop();
    waitUntil([&] { return !polling; }, 5s);
    const QStringList left = QDir(container + "/SignalingMessage").entryList({"*.json"}, QDir::Files);
    EXPECT_TRUE(left.isEmpty()) << left.join(' ').toStdString();
    EXPECT_EQ(QDir(cloudFolder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden), QStringList{"records"});

    session.client().disconnect();
    peer.finish();
    runTask(cloud.unregisterServer());
}

TEST(FolderSignaling, EachDeviceListsOnlyWhatIsAddressedToItAndTheFirstLayoutStillWorks)
{
    Sandbox sandbox;
    const QString root = sandbox.path("cloud");
    SyncFolderDrive drive([root] { return root; });
    FolderRecordStore store(drive);
    const QString messages = root + "/records/iCloud.com.tavro.shared/SignalingMessage";
    const auto message = [](const QString &sender, const QString &target) {
        Record r = CloudKitService::signalingRecord("S", sender, target, "offer", QDateTime::currentDateTimeUtc());
        r.fields["sdp"] = QString("v=0");
        return r;
    };
    const auto write = [&](const QString &folder, const Record &r) {
        QDir().mkpath(folder);
        QFile f(folder + "/" + r.name + ".json");
        f.open(QIODevice::WriteOnly);
        f.write(FolderRecordStore::encode(r));
    };
    // Leftovers addressed to other devices, in both layouts.
    for (int i = 0; i < 10000; ++i)
        write(messages, message("OLD", "ELSEWHERE"));
    for (int i = 0; i < 5000; ++i)
        write(messages + "/to-ELSEWHERE", message("NEW", "ELSEWHERE"));
    const RecordQuery mine{"SignalingMessage", "SERVER", false, std::nullopt, std::nullopt};
    QElapsedTimer clock;
    clock.start();
    ASSERT_TRUE(QCoro::waitFor(store.query(mine))->isEmpty());
    const qint64 first = clock.restart();
    qint64 later = 0;
    for (int i = 0; i < 5; ++i) {
        clock.restart();
        ASSERT_TRUE(QCoro::waitFor(store.query(mine))->isEmpty());
        later = std::max(later, clock.elapsed());
    }
    std::printf("[ poll ] 15,000 records for another device: first poll %lld ms, later polls at most %lld ms\n",
                static_cast<long long>(first), static_cast<long long>(later));
    EXPECT_LT(later * 5, first) << "later polls read again what is another device's";

    // Both layouts are read; new records go to their device's folder, except
    // to a device seen writing the first layout, which reads only that.
    write(messages + "/to-SERVER", message("PHONE", "SERVER"));
    const Record flat = message("OLDPHONE", "SERVER");
    write(messages, flat);
    auto found = QCoro::waitFor(store.query(mine));
    ASSERT_TRUE(found.hasValue());
    EXPECT_EQ(found->size(), 2);
    ASSERT_FALSE(QCoro::waitFor(store.save(message("SERVER", "PHONE"))).has_value());
    ASSERT_FALSE(QCoro::waitFor(store.save(message("SERVER", "OLDPHONE"))).has_value());
    EXPECT_EQ(QDir(messages + "/to-PHONE").entryList({"*.json"}, QDir::Files).size(), 1);
    EXPECT_FALSE(QDir(messages + "/to-OLDPHONE").exists());
    EXPECT_TRUE(QCoro::waitFor(store.fetch("SignalingMessage", flat.name)).hasValue());
    EXPECT_FALSE(QCoro::waitFor(store.remove("SignalingMessage", flat.name)).has_value());
    EXPECT_FALSE(QFile::exists(messages + "/" + flat.name + ".json"));

    // A device's folder that is a link leads nowhere: nothing is read there
    // or written through it.
    const QString outside = sandbox.path("outside");
    QDir().mkpath(outside);
    write(outside, message("EVIL", "LINKED"));
    ASSERT_TRUE(QFile::link(outside, messages + "/to-LINKED"));
    EXPECT_TRUE(QCoro::waitFor(store.query({"SignalingMessage", "LINKED", false, std::nullopt, std::nullopt}))->isEmpty());
    EXPECT_TRUE(QCoro::waitFor(store.save(message("SERVER", "LINKED"))).has_value());
    EXPECT_EQ(QDir(outside).entryList({"*.json"}, QDir::Files).size(), 1);
}

TEST(FolderSignaling, ATunnelPutTheGatewayStoredWronglyIsRemovedAndReportedToTheDevice)
{
    // A gateway whose ETag is never the MD5 of what it was sent.
    FakeS3 gateway([](const FakeS3::Request &r) {
        if (r.method == "DELETE")
            return FakeS3::Response{204, "", 0, {}};
        return FakeS3::Response{200, "", 0, "\"0123456789abcdef0123456789abcdef\""};
    });
    ASSERT_TRUE(gateway.listen(0));
    Sandbox sandbox;
    LogCapture log;
    const QString cloudFolder = sandbox.path("cloud");
    QDir().mkpath(cloudFolder);
    QDir().mkpath(sandbox.path("tmp"));
    SyncFolderDrive drive([&] { return cloudFolder; });
    FolderRecordStore store(drive);
    CloudKitConfig config;
    config.settingsFile = sandbox.settings();
    CloudKitService cloud(store, config);
    runTask(cloud.registerServer(gateway.port()));
    DeviceRegistry registry(sandbox.path("devices.json"));
    TunnelServerConfig tunnelConfig;
    tunnelConfig.session.webrtc.iceServers = {};
    tunnelConfig.session.webrtc.loopbackOnly = true;
    tunnelConfig.session.tempDir = sandbox.path("tmp");
    WebRTCTunnelServer tunnel(cloud, registry, tunnelConfig);
    tunnel.startListening(gateway.port());

    AiortcPeer peer(QStringLiteral("tunnel"), 0, {QStringLiteral("--records"), cloudFolder + "/records/iCloud.com.tavro.shared"});
    ASSERT_TRUE(waitUntil([&] { return !peer.result("connected").isEmpty() || peer.exited(); }, 90s)) << peer.errors().toStdString();
    // Large enough to be sent in chunks and to stream from its file.
    const QByteArray body(11 * 1024 * 1024, 'v');
    peer.command({{"send", QJsonObject{{"id", "put"}, {"method", "PUT"}, {"path", "/photos/phone/clip.mov"}, {"headers", QJsonObject()},
                                       {"body_b64", QString::fromLatin1(body.toBase64())}}},
                  {"channel", "tunnel"}});
    QJsonObject reply;
    ASSERT_TRUE(waitUntil(
        [&] {
            for (const QJsonObject &r : peer.results())
                if (r.value("reply").toObject().value("id") == "put")
                    reply = r.value("reply").toObject();
            return !reply.isEmpty() || peer.exited();
        },
        60s));
    EXPECT_EQ(reply.value("type").toString(), "error") << QJsonDocument(reply).toJson().toStdString();
    EXPECT_TRUE(reply.value("message").toString().startsWith("The stored object did not match the body sent (MD5 "))
        << reply.value("message").toString().toStdString();
    EXPECT_TRUE(std::any_of(gateway.requests.begin(), gateway.requests.end(), [](const FakeS3::Request &r) {
        return r.method == "DELETE" && r.target == "/photos/phone/clip.mov";
    }));
    tunnel.stopListening();
    peer.finish();
}
