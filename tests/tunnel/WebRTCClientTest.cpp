#include "tunnel/WebRTCClient.h"

#include "tests/support/LogCapture.h"
#include "tests/support/Wait.h"
#include "tests/support/WebRTCPeer.h"

#include <QCoroTask>
#include <QDir>
#include <QElapsedTimer>
#include <QJsonObject>
#include <QThread>
#include <QTimer>
#include <QCoreApplication>
#include <QProcess>
#include <gtest/gtest.h>

using namespace tavrolin;
using namespace tavrolin::test;
using namespace std::chrono_literals;

namespace {

class FakeChannel : public SendChannel {
public:
    QString label() const override { return QStringLiteral("fake"); }
    bool isOpen() const override { return open; }
    quint64 bufferedAmount() const override { return buffered; }
    bool sendBinary(const QByteArray &data) override
    {
        sent.append(data);
        return true;
    }
    bool open = true;
    quint64 buffered = 0;
    QList<QByteArray> sent;
};

template <typename T>
T await(QCoro::Task<T> task)
{
    std::optional<T> result;
    auto wrapper = [&]() -> QCoro::Task<> { result = co_await std::move(task); };
    QCoro::waitFor(wrapper());
    return *result;
}

int threadCount() { return int(QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size()); }

} // namespace

TEST(DrainingSend, SendsAtTheThresholdAndWaitsAboveIt)
{
    FakeChannel channel;
    channel.buffered = 65536;
    EXPECT_TRUE(await(sendDraining(&channel, "a", {}, ChannelNaming::Default)));
    EXPECT_EQ(channel.sent.size(), 1);

    // One byte over: the send waits for the stack to report a drop, and goes
    // at once when it does, not at the next 50 ms poll.
    channel.buffered = 65537;
    QTimer::singleShot(5, &channel, [&] {
        channel.buffered = 100;
        Q_EMIT channel.bufferedAmountDecreased();
    });
    QElapsedTimer timer;
    timer.start();
    EXPECT_TRUE(await(sendDraining(&channel, "b", {}, ChannelNaming::Default)));
    EXPECT_LT(timer.elapsed(), 45);
    EXPECT_EQ(channel.sent.size(), 2);

    // A report that leaves it full changes nothing; the plain poll finds it.
    channel.buffered = 70000;
    QTimer::singleShot(5, &channel, [&] { Q_EMIT channel.bufferedAmountDecreased(); });
    QTimer::singleShot(20, &channel, [&] { channel.buffered = 0; });
    DrainPolicy polled;
    polled.wakeOnDecrease = false;
    timer.restart();
    EXPECT_TRUE(await(sendDraining(&channel, "c", polled, ChannelNaming::Default)));
    EXPECT_GE(timer.elapsed(), 45);
    EXPECT_EQ(channel.sent.last(), "c");
}

TEST(DrainingSend, GivesUpOnAChannelThatNeverDrainsOrCloses)
{
    LogCapture log;
    FakeChannel channel;
    channel.buffered = 1 << 20;
    DrainPolicy fast;
    fast.pollInterval = 1ms;
    // Reports that do not free anything must not count as polls either.
    QTimer noise;
    QObject::connect(&noise, &QTimer::timeout, &channel, [&] { Q_EMIT channel.bufferedAmountDecreased(); });
    noise.start(1);
    EXPECT_FALSE(await(sendDraining(&channel, "x", fast, ChannelNaming::Default)));
    noise.stop();
    EXPECT_TRUE(channel.sent.isEmpty());
    EXPECT_TRUE(log.contains("WebRTC: Buffer drain timeout after 60050ms"));
    EXPECT_EQ(log.countStartingWith("WebRTC: Waiting for buffer to drain... ("), 12);
    EXPECT_TRUE(log.contains("WebRTC: Waiting for buffer to drain... (100ms, buffered: 1048576)"));

    EXPECT_FALSE(await(sendDraining(&channel, "x", fast, ChannelNaming::ByLabel)));
    EXPECT_TRUE(log.contains("WebRTC: Buffer drain timeout on 'fake' after 60050ms"));
    EXPECT_TRUE(log.contains("WebRTC: Waiting for buffer to drain on 'fake'... (1200ms)"));

    // Closing under a waiting send ends it at once.
    QTimer::singleShot(5, &channel, [&] {
        channel.open = false;
        Q_EMIT channel.bufferedAmountDecreased();
    });
    QElapsedTimer timer;
    timer.start();
    EXPECT_FALSE(await(sendDraining(&channel, "x", {}, ChannelNaming::ByLabel)));
    EXPECT_LT(timer.elapsed(), 45);
    EXPECT_TRUE(log.contains("WebRTC: Channel 'fake' not open"));
    EXPECT_FALSE(await(sendDraining(nullptr, "x", {}, ChannelNaming::Default)));
    EXPECT_TRUE(log.contains("WebRTC: Data channel not open"));
    EXPECT_TRUE(channel.sent.isEmpty());
}

TEST(DrainingSend, ChunkListsLogEveryThousandthChunkOfLongLists)
{
    FakeChannel channel;
    {
        LogCapture log;
        EXPECT_TRUE(await(sendChunksDraining(&channel, {}, {}, ChannelNaming::Default)));
        EXPECT_TRUE(await(sendChunksDraining(&channel, QList<QByteArray>(100, "c"), {}, ChannelNaming::Default)));
        EXPECT_EQ(log.countStartingWith("WebRTC: "), 0);
    }
    LogCapture log;
    QList<QByteArray> chunks;
    for (int i = 0; i < 2500; ++i)
        chunks.append(QByteArray::number(i));
    EXPECT_TRUE(await(sendChunksDraining(&channel, chunks, {}, ChannelNaming::ByLabel)));
    EXPECT_EQ(log.lines(), (QStringList{"WebRTC: Sending chunk 1/2500 on 'fake'", "WebRTC: Sending chunk 1001/2500 on 'fake'",
                                        "WebRTC: Sending chunk 2001/2500 on 'fake'",
                                        "WebRTC: Successfully sent all 2500 chunks on 'fake'"}));
    EXPECT_EQ(channel.sent.mid(100), chunks); // in order, after the 100 above

    // The first failure stops the list and names the chunk.
    channel.open = false;
    LogCapture failed;
    EXPECT_FALSE(await(sendChunksDraining(&channel, {"a", "b"}, {}, ChannelNaming::Default)));
    EXPECT_TRUE(failed.contains("WebRTC: Failed to send chunk 1/2"));
}

TEST(WebRTCClient, WithoutAPeerConnectionEveryStepFailsWithItsLine)
{
    LogCapture log;
    WebRTCClient client({{}, true, {}});
    EXPECT_FALSE(await(client.setRemoteOffer({SessionDescription::Type::Offer, "v=0"})));
    EXPECT_TRUE(log.contains("WebRTC Server: ERROR - No peer connection!"));
    EXPECT_FALSE(await(client.createAnswer()).has_value());
    EXPECT_TRUE(log.contains("WebRTC Server: ERROR - No peer connection when creating answer!"));
    EXPECT_FALSE(await(client.send("x")));
    EXPECT_TRUE(log.contains("WebRTC: Data channel not open"));

    client.createPeerConnection();
    EXPECT_TRUE(log.contains("WebRTC: Peer connection created"));
    EXPECT_FALSE(await(client.setRemoteOffer({SessionDescription::Type::Offer, "not a session description"})));
    EXPECT_EQ(log.countStartingWith("WebRTC Server: ERROR - Failed to set remote description: "), 1);
    // An answer without an offer is the stack's error, reported and survived.
    EXPECT_FALSE(await(client.createAnswer()).has_value());
    EXPECT_EQ(log.countStartingWith("WebRTC Server: ERROR - Failed to create answer: "), 1);
    EXPECT_FALSE(await(client.addIceCandidate({"candidate:garbage", QStringLiteral("0"), 0})));
    EXPECT_EQ(log.countStartingWith("WebRTC: Failed to add ICE candidate - "), 1);
    client.disconnect();
    EXPECT_TRUE(log.contains("WebRTC: Disconnected"));
    EXPECT_FALSE(client.hasPeerConnection());
}

TEST(WebRTCClient, TalksToAnIndependentPeerOverLoopbackAndShutsDownCleanly)
{
    const int threadsBefore = threadCount();
    LogCapture log;
    AiortcPeer peer(QStringLiteral("echo"), 20 * 1024 * 1024);
    WebRTCConfig config;
    config.iceServers = {};
    config.loopbackOnly = true;
    EchoingServer server(peer, config);

    ASSERT_TRUE(waitUntil([&] { return peer.hasFinished() || peer.exited(); }, 60s)) << peer.errors().toStdString() << log.joined().right(3000).toStdString();
    EXPECT_TRUE(peer.result("error").isEmpty()) << peer.result("error").value("error").toString().toStdString();
    const QJsonObject echo = peer.result("echo").value("echo").toObject();
    for (const char *key : {"1", "16384", "65536", "second"})
        EXPECT_TRUE(echo.value(key).toBool()) << key << " " << peer.errors().toStdString();
    const QJsonObject burst = peer.result("burst_ok");
    EXPECT_TRUE(burst.value("burst_ok").toBool()) << peer.errors().toStdString();
    EXPECT_EQ(burst.value("bytes").toInteger(), 20 * 1024 * 1024);
    EXPECT_TRUE(server.burstSent() && server.burstResult());
    EXPECT_LE(server.maxBufferedSeen(), 2u * 65536);

    // Both channels are followed; the first stays the default.
    const auto channels = server.client().allDataChannels();
    EXPECT_EQ(channels.size(), 2);
    EXPECT_TRUE(channels.contains("tunnel") && channels.contains("second"));
    ASSERT_TRUE(server.client().dataChannel());
    EXPECT_EQ(server.client().dataChannel()->label(), "tunnel");
    EXPECT_TRUE(server.openedLabels().contains("tunnel") && server.openedLabels().contains("second"));
    EXPECT_TRUE(log.contains("WebRTC: Data channel 'second' opened by remote"));
    EXPECT_TRUE(log.contains("WebRTC Server: \u2713 Answer created and local description set!"));
    EXPECT_GE(log.countStartingWith("WebRTC: ICE candidate added") + log.countStartingWith("WebRTC: ICE candidate generated"), 1);
    // Every candidate this side offered was on loopback.
    for (const QString &line : log.lines())
        EXPECT_FALSE(line.contains("192.0.2.") || line.contains("fd00::"));

    server.client().disconnect();
    const DataChannelPtr second = channels.value("second");
    server.destroyClient();
    // A channel that outlives its client is inert, not a crash.
    EXPECT_FALSE(second->isOpen());
    EXPECT_FALSE(second->sendBinary("late"));
    peer.finish();
    EXPECT_TRUE(waitUntil([&] { return peer.exited(); }, 20s)) << peer.errors().toStdString();
    EXPECT_TRUE(waitUntil([&] { return threadCount() <= threadsBefore + 2; }, 10s))
        << threadCount() << " threads, " << threadsBefore << " before";
}

// The offering side (the tunnel's own client) against an independent peer
// that answers: our channel opens on their side and echoes come back on it.
TEST(WebRTCClient, OffersAChannelThatAnIndependentPeerAnswers)
{
    AiortcPeer peer(QStringLiteral("answer"), 0);
    WebRTCConfig config;
    config.iceServers = {};
    config.loopbackOnly = true;
    auto client = std::make_unique<WebRTCClient>(config);
    QStringList opened;
    QList<QByteArray> received;
    QObject::connect(client.get(), &WebRTCClient::didGenerateCandidate, &peer, [&](const IceCandidate &c) { peer.sendCandidate(c); });
    QObject::connect(client.get(), &WebRTCClient::didOpenDataChannel, &peer,
                     [&](const DataChannelPtr &channel) { opened << channel->label(); });
    QObject::connect(client.get(), &WebRTCClient::didReceiveData, &peer,
                     [&](const QByteArray &data, const DataChannelPtr &) { received << data; });

    EXPECT_FALSE(client->createDataChannel("early")) << "no peer connection yet";
    client->createPeerConnection();
    const DataChannelPtr channel = client->createDataChannel(QStringLiteral("tunnel"));
    ASSERT_TRUE(channel);
    EXPECT_EQ(client->dataChannel(), channel);
    const auto offer = await(client->createOffer());
    ASSERT_TRUE(offer);
    EXPECT_EQ(offer->type, SessionDescription::Type::Offer);
    peer.command({{"offer", offer->sdp}});
    ASSERT_TRUE(waitUntil([&] { return !peer.result("answer").isEmpty() || peer.exited(); }, 30s)) << peer.errors().toStdString();
    SessionDescription answer{SessionDescription::Type::Answer, peer.result("answer").value("answer").toString()};
    ASSERT_TRUE(await(client->setRemoteAnswer(answer)));

    ASSERT_TRUE(waitUntil([&] { return channel->isOpen() && !peer.result("opened").isEmpty(); }, 30s)) << peer.errors().toStdString();
    EXPECT_EQ(peer.result("opened").value("opened").toString(), "tunnel");
    EXPECT_TRUE(waitUntil([&] { return opened.contains("tunnel"); }, 5s)) << "reported once open";
    const QByteArray big(65536, 'x');
    ASSERT_TRUE(await(client->send("ping", channel)));
    ASSERT_TRUE(await(client->send(big, channel)));
    ASSERT_TRUE(waitUntil([&] { return received.size() == 2; }, 20s));
    EXPECT_EQ(received[0], "ping");
    EXPECT_EQ(received[1], big);

    // A description the stack cannot read is refused, not a crash.
    EXPECT_FALSE(await(client->setRemoteAnswer({SessionDescription::Type::Answer, "v=0 garbage"})));
    client.reset();
    peer.finish();
    EXPECT_TRUE(waitUntil([&] { return peer.exited(); }, 10s));
}

TEST(WebRTCClient, AClientGoneWhileItsAnswerIsMadeIsNeverResumedInto)
{
    WebRTCConfig config;
    config.iceServers = {};
    config.loopbackOnly = true;
    WebRTCClient offerer(config);
    offerer.createPeerConnection();
    ASSERT_TRUE(offerer.createDataChannel(QStringLiteral("tunnel")));
    const auto offer = await(offerer.createOffer());
    ASSERT_TRUE(offer);
    SessionDescription asOffer{SessionDescription::Type::Offer, offer->sdp};
    // A second offer for the same session, or a stop, deletes the session's
    // client while the stack is still making its answer.
    for (int round = 0; round < 10; ++round) {
        auto answerer = std::make_unique<WebRTCClient>(config);
        answerer->createPeerConnection();
        ASSERT_TRUE(await(answerer->setRemoteOffer(asOffer)));
        auto answer = answerer->createAnswer();
        if (round % 2)
            answerer->disconnect();
        answerer.reset();
        // An answer made before the client went may still come back; what
        // matters is that nothing runs on the gone stack (the sanitizer
        // build reports a use after free otherwise).
        await(std::move(answer));
    }
}

// The stack hands messages over with no flow control: a peer that sends
// while the main thread is busy must not make us hold without limit.
TEST(WebRTCClient, APeerSendingFasterThanWeHandleIsCutOffAtTheBound)
{
    LogCapture log;
    AiortcPeer peer(QStringLiteral("answer"), 0);
    WebRTCConfig config;
    config.iceServers = {};
    config.loopbackOnly = true;
    constexpr qint64 kBound = 4 * 1024 * 1024;
    constexpr int kMessage = 64 * 1024;
    config.maxUnhandledReceiveBytes = kBound;
    auto client = std::make_unique<WebRTCClient>(config);
    QObject::connect(client.get(), &WebRTCClient::didGenerateCandidate, &peer, [&](const IceCandidate &c) { peer.sendCandidate(c); });
    QList<IceConnectionState> states;
    QObject::connect(client.get(), &WebRTCClient::didChangeConnectionState, &peer,
                     [&](IceConnectionState state) { states << state; });

    // The first message of each burst stalls the main thread until the rest
    // of the burst has come in behind it (or no more can).
    int received = 0;
    bool stallNext = false;
    qint64 mostUnhandled = 0;
    QObject::connect(client.get(), &WebRTCClient::didReceiveData, &peer, [&](const QByteArray &data, const DataChannelPtr &) {
        ++received;
        EXPECT_EQ(data.size(), kMessage);
        if (!std::exchange(stallNext, false))
            return;
        QElapsedTimer stalled;
        stalled.start();
        qint64 last = -1;
        QElapsedTimer steady;
        steady.start();
        while (stalled.elapsed() < 20000 && steady.elapsed() < 1500) {
            const qint64 now = client->unhandledReceiveBytes();
            if (now != last)
                steady.restart();
            last = now;
            mostUnhandled = std::max(mostUnhandled, now);
            QThread::msleep(10);
        }
    });

    client->createPeerConnection();
    const DataChannelPtr channel = client->createDataChannel(QStringLiteral("tunnel"));
    const auto offer = await(client->createOffer());
    ASSERT_TRUE(offer);
    peer.command({{"offer", offer->sdp}});
    ASSERT_TRUE(waitUntil([&] { return !peer.result("answer").isEmpty() || peer.exited(); }, 30s)) << peer.errors().toStdString();
    ASSERT_TRUE(await(client->setRemoteAnswer({SessionDescription::Type::Answer, peer.result("answer").value("answer").toString()})));
    ASSERT_TRUE(waitUntil([&] { return channel->isOpen() && !peer.result("opened").isEmpty(); }, 30s)) << peer.errors().toStdString();

    // Within the bound: everything is taken once the main thread is back.
    stallNext = true;
    peer.command({{"flood", 32}, {"size", kMessage}});
    ASSERT_TRUE(waitUntil([&] { return received >= 32 || peer.exited(); }, 60s)) << received;
    EXPECT_EQ(received, 32);
    EXPECT_GE(mostUnhandled, 16 * kMessage) << "the stall held messages back";
    EXPECT_FALSE(log.contains("faster than they could be handled"));
    EXPECT_TRUE(client->hasPeerConnection());

    // Past it: the connection is closed instead of holding more.
    received = 0;
    mostUnhandled = 0;
    stallNext = true;
    peer.command({{"flood", 256}, {"size", kMessage}});
    ASSERT_TRUE(waitUntil([&] { return states.contains(IceConnectionState::Closed) || peer.exited(); }, 60s))
        << received << log.joined().right(2000).toStdString();
    EXPECT_TRUE(log.contains("WebRTC: Peer sent more than 4194304 bytes faster than they could be handled; closing the connection"));
    EXPECT_FALSE(client->hasPeerConnection());
    EXPECT_LE(mostUnhandled, kBound);
    EXPECT_LE(qint64(received) * kMessage, kBound + kMessage);
    EXPECT_EQ(client->unhandledReceiveBytes(), 0);
    client.reset();
    peer.finish();
    EXPECT_TRUE(waitUntil([&] { return peer.exited(); }, 10s));
}

// Runs inside a network namespace of its own with only loopback (started by
// the test below); skipped when run directly.
TEST(WebRTCClient, OnAMachineWithOnlyLoopbackTheDefaultConfigurationConnects)
{
    if (qgetenv("TAVROLIN_LOOPBACK_ONLY_NAMESPACE") != "1")
        GTEST_SKIP() << "skipped: runs inside the namespace the next test makes";
    AiortcPeer peer(QStringLiteral("answer"), 0);
    WebRTCConfig config; // as the server runs: loopback not asked for
    config.iceServers = {};
    WebRTCClient client(config);
    QObject::connect(&client, &WebRTCClient::didGenerateCandidate, &peer, [&](const IceCandidate &c) { peer.sendCandidate(c); });
    client.createPeerConnection();
    const DataChannelPtr channel = client.createDataChannel(QStringLiteral("tunnel"));
    ASSERT_TRUE(channel);
    const auto offer = await(client.createOffer());
    ASSERT_TRUE(offer);
    peer.command({{"offer", offer->sdp}});
    ASSERT_TRUE(waitUntil([&] { return !peer.result("answer").isEmpty() || peer.exited(); }, 30s)) << peer.errors().toStdString();
    ASSERT_TRUE(await(client.setRemoteAnswer({SessionDescription::Type::Answer, peer.result("answer").value("answer").toString()})));
    EXPECT_TRUE(waitUntil([&] { return channel->isOpen(); }, 30s)) << peer.errors().toStdString();
    peer.finish();
}

TEST(WebRTCClient, AMachineWithOnlyLoopbackIsReachedOverLoopback)
{
    QProcess probe;
    probe.start("unshare", {"-n", "true"});
    probe.waitForFinished(10000);
    if (probe.exitStatus() != QProcess::NormalExit || probe.exitCode() != 0)
        GTEST_SKIP() << "skipped: cannot make a network namespace here (needs root)";
    QProcess inner;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("TAVROLIN_LOOPBACK_ONLY_NAMESPACE", "1");
    inner.setProcessEnvironment(env);
    inner.setProcessChannelMode(QProcess::MergedChannels);
    inner.start("unshare", {"-n", "sh", "-c",
                            "ip link set lo up && exec \"$0\" --gtest_filter=WebRTCClient.OnAMachineWithOnlyLoopbackTheDefaultConfigurationConnects",
                            QCoreApplication::applicationFilePath()});
    ASSERT_TRUE(waitUntil([&] { return inner.state() == QProcess::NotRunning; }, 120s));
    const QString out = QString::fromUtf8(inner.readAll());
    EXPECT_EQ(inner.exitCode(), 0) << out.right(4000).toStdString();
    EXPECT_TRUE(out.contains("[       OK ]")) << out.right(4000).toStdString();
}
