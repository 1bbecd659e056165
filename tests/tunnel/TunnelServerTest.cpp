// The tunnel server's session bookkeeping, without a remote peer: offers the
// stack refuses still make sessions, and what the server logs and counts.
#include "cloud/CloudKitService.h"
#include "services/DeviceRegistry.h"
#include "tests/support/MemoryRecordStore.h"
#include "tests/support/TestSupport.h"
#include "tunnel/WebRTCTunnelServer.h"

#include <gtest/gtest.h>

using namespace tavrolin;
using namespace tavrolin::test;
using namespace std::chrono_literals;

namespace {

struct Server {
    Sandbox sandbox;
    LogCapture log;
    MemoryRecordStore store;
    std::unique_ptr<CloudKitService> cloud;
    DeviceRegistry registry{sandbox.path("devices.json")};
    std::unique_ptr<WebRTCTunnelServer> tunnel;
    QList<int> published;

    explicit Server(int maxSessions = 16, int pollMs = 500)
    {
        CloudKitConfig config;
        config.settingsFile = sandbox.settings();
        cloud = std::make_unique<CloudKitService>(store, config);
        TunnelServerConfig tunnelConfig;
        tunnelConfig.session.webrtc.iceServers = {};
        tunnelConfig.session.webrtc.loopbackOnly = true;
        tunnelConfig.maxSessions = maxSessions;
        tunnelConfig.pollIntervalMs = pollMs;
        tunnel = std::make_unique<WebRTCTunnelServer>(*cloud, registry, tunnelConfig);
        QObject::connect(tunnel.get(), &WebRTCTunnelServer::connectedClientsChanged,
                         [this] { published << tunnel->connectedClients(); });
    }

    void notify(const QVariantMap &message) { Q_EMIT cloud->signalingMessage(message); }
    void offer(const QString &session, const QString &sdp = QStringLiteral("not an SDP"))
    {
        notify({{"sessionId", session}, {"senderId", "phone"}, {"type", "offer"}, {"sdp", sdp}});
    }
};

} // namespace

TEST(TunnelServer, NotificationsAreReadStrictlyAndEachOfferMakesOneSession)
{
    Server s;
    // Without a type, or with a type that is not text: nothing, not a line.
    const int before = int(s.log.lines().size());
    s.notify({{"sessionId", "a"}, {"senderId", "phone"}});
    s.notify({{"sessionId", "a"}, {"senderId", "phone"}, {"type", 7}});
    EXPECT_EQ(s.log.lines().size(), before);
    s.notify({{"sessionId", "a"}, {"senderId", "phone"}, {"type", "answer"}});
    EXPECT_TRUE(s.log.contains("WebRTCTunnelServer: Unknown message type: answer"));
    s.notify({{"sessionId", "nobody"}, {"senderId", "phone"}, {"type", "ice-candidate"}, {"candidate", "x"}});
    EXPECT_TRUE(s.log.contains("WebRTCTunnelServer: Keeping an ICE candidate until the offer of session nobody is read"));

    // An offer the stack cannot read still holds its session until replaced.
    s.offer("one");
    ASSERT_TRUE(waitUntil([&] { return s.log.contains("WebRTCTunnelServer: Failed to set offer"); }, 10s));
    EXPECT_TRUE(s.log.contains("WebRTCTunnelServer: Received offer from phone"));
    EXPECT_TRUE(s.log.contains("WebRTCTunnelServer: Session: one"));
    EXPECT_TRUE(s.log.contains("WebRTCTunnelServer: SDP length: 10 chars"));
    ClientConnection *first = s.tunnel->clients().value("one");
    ASSERT_TRUE(first);
    s.offer("one");
    ASSERT_TRUE(waitUntil([&] { return s.log.countStartingWith("WebRTCTunnelServer: Failed to set offer") == 2; }, 10s));
    ASSERT_EQ(s.tunnel->clients().size(), 1);
    EXPECT_NE(s.tunnel->clients().value("one"), first) << "the newer offer holds the id";
    EXPECT_EQ(s.tunnel->clients().value("one")->clientDeviceId, "phone");

    // A candidate for the session reaches its connection (which refuses it:
    // there is no remote description), with an index out of range ignored.
    s.notify({{"sessionId", "one"}, {"senderId", "phone"}, {"type", "ice-candidate"}, {"candidate", "candidate:1 1 udp 1 127.0.0.1 9 typ host"},
              {"sdpMid", "0"}, {"sdpMLineIndex", qint64(1) << 40}});
    EXPECT_FALSE(s.log.contains("WebRTCTunnelServer: No client for session one"));
}

TEST(TunnelServer, SessionsAreCappedAndStoppingDropsThemAll)
{
    Server s(2);
    s.tunnel->startListening(8333);
    EXPECT_TRUE(s.tunnel->isListening());
    EXPECT_TRUE(s.log.contains("WebRTCTunnelServer: Started listening on port 8333"));
    EXPECT_TRUE(s.log.contains("WebRTCTunnelServer: Own deviceId = " + s.cloud->deviceId()));
    s.offer("a");
    s.offer("b");
    s.offer("c");
    ASSERT_TRUE(waitUntil([&] { return s.log.countStartingWith("WebRTCTunnelServer: Failed to set offer") == 2; }, 10s));
    EXPECT_EQ(s.tunnel->clients().size(), 2);
    EXPECT_FALSE(s.tunnel->clients().contains("c"));
    EXPECT_EQ(s.log.countStartingWith("WebRTCTunnelServer: Too many sessions (2)"), 1);
    // A session already held may be offered again at the cap.
    s.offer("a");
    ASSERT_TRUE(waitUntil([&] { return s.log.countStartingWith("WebRTCTunnelServer: Failed to set offer") == 3; }, 10s));
    EXPECT_EQ(s.tunnel->clients().size(), 2);

    s.tunnel->stopListening();
    EXPECT_EQ(s.log.countStartingWith("WebRTC: Disconnected"), 2);
    EXPECT_TRUE(s.tunnel->clients().isEmpty());
    EXPECT_EQ(s.tunnel->connectedClients(), 0);
    EXPECT_FALSE(s.tunnel->isListening());
    EXPECT_TRUE(s.log.contains("WebRTCTunnelServer: Stopped listening"));
}

TEST(TunnelServer, TicksPollTheStoreAndCountAcrossRestarts)
{
    Server s(16, 10);
    s.tunnel->startListening(8333);
    ASSERT_TRUE(waitUntil([&] { return s.tunnel->pollCount() >= 12; }, 10s));
    s.tunnel->stopListening();
    const int stoppedAt = s.tunnel->pollCount();
    EXPECT_TRUE(s.log.contains("WebRTCTunnelServer: Still polling for signaling messages... (poll #10)"));
    EXPECT_FALSE(s.store.queries.isEmpty()) << "each tick polls the store";
    waitUntil([] { return false; }, 100ms);
    EXPECT_EQ(s.tunnel->pollCount(), stoppedAt) << "no ticks while stopped";
    s.tunnel->startListening(8333);
    ASSERT_TRUE(waitUntil([&] { return s.tunnel->pollCount() >= 20; }, 10s));
    EXPECT_TRUE(s.log.contains("WebRTCTunnelServer: Still polling for signaling messages... (poll #20)"));
    s.tunnel->stopListening();
}

TEST(TunnelServer, EarlyCandidatesWaitForTheirOfferAndSessionsThatNeverConnectGo)
{
    Sandbox sandbox;
    LogCapture log;
    MemoryRecordStore store;
    CloudKitConfig cloudConfig;
    cloudConfig.settingsFile = sandbox.settings();
    CloudKitService cloud(store, cloudConfig);
    DeviceRegistry registry(sandbox.path("devices.json"));
    TunnelServerConfig config;
    config.session.webrtc.iceServers = {};
    config.session.webrtc.loopbackOnly = true;
    config.maxSessions = 2;
    config.pollIntervalMs = 20;
    config.connectTimeoutMs = 300;
    WebRTCTunnelServer tunnel(cloud, registry, config);
    tunnel.startListening(8333);

    // A candidate with no session yet is kept, not dropped.
    Q_EMIT cloud.signalingMessage({{"sessionId", "early"}, {"senderId", "phone"}, {"type", "ice-candidate"},
                                   {"candidate", "candidate:1 1 udp 1 127.0.0.1 9 typ host"}, {"sdpMid", "0"}, {"sdpMLineIndex", 0}});
    EXPECT_FALSE(log.contains("WebRTCTunnelServer: No client for session early"));
    EXPECT_TRUE(log.contains("WebRTCTunnelServer: Keeping an ICE candidate until the offer of session early is read"));

    // Offers that never connect hold their slots only for the time-out;
    // then a new session is taken again.
    for (const char *session : {"a", "b"})
        Q_EMIT cloud.signalingMessage({{"sessionId", session}, {"senderId", "phone"}, {"type", "offer"}, {"sdp", "not an SDP"}});
    ASSERT_TRUE(waitUntil([&] { return log.countStartingWith("WebRTCTunnelServer: Failed to set offer") == 2; }, 10s));
    EXPECT_EQ(tunnel.clients().size(), 2);
    ASSERT_TRUE(waitUntil([&] { return tunnel.clients().isEmpty(); }, 10s));
    EXPECT_EQ(log.countStartingWith("WebRTCTunnelServer: Session a did not connect within 0.3 s; closing it"), 1);
    Q_EMIT cloud.signalingMessage({{"sessionId", "c"}, {"senderId", "phone"}, {"type", "offer"}, {"sdp", "not an SDP"}});
    EXPECT_TRUE(tunnel.clients().contains("c"));
    EXPECT_FALSE(log.contains("WebRTCTunnelServer: Too many sessions (2), refusing the offer from phone"));
    tunnel.stopListening();
}
