#include "tunnel/WebRTCClient.h"

#include "platform/DiagnosticLog.h"

#include <QCoroFuture>
#include <QFuture>
#include <QMutexLocker>
#include <QNetworkInterface>
#include <QPromise>
#include <QThread>
#include <atomic>

#include <api/jsep.h>
#include <api/peer_connection_interface.h>
#include <api/task_queue/default_task_queue_factory.h>
#include <p2p/base/basic_packet_socket_factory.h>
#include <rtc_base/logging.h>
#include <rtc_base/network.h>
#include <rtc_base/ssl_adapter.h>
#include <rtc_base/thread.h>

namespace tavrolin {

namespace {

void log(const QString &line) { diagLog(line); }

// The stack's SSL set-up is process-wide: the first client makes it, the
// last one tears it down.
QMutex g_sslMutex;
int g_sslUsers = 0;

void acquireSsl()
{
    QMutexLocker lock(&g_sslMutex);
    if (g_sslUsers++ == 0) {
        // The stack's own log is loud; it joins ours only when asked for.
        rtc::LogMessage::LogToDebug(diagnosticsEnabled() ? rtc::LS_WARNING : rtc::LS_NONE);
        rtc::InitializeSSL();
    }
}

void releaseSsl()
{
    QMutexLocker lock(&g_sslMutex);
    if (--g_sslUsers == 0)
        rtc::CleanupSSL();
}

QString toQString(const std::string &s) { return QString::fromStdString(s); }

QString channelStateName(webrtc::DataChannelInterface::DataState state)
{
    switch (state) {
    case webrtc::DataChannelInterface::kConnecting:
        return QStringLiteral("connecting");
    case webrtc::DataChannelInterface::kOpen:
        return QStringLiteral("open");
    case webrtc::DataChannelInterface::kClosing:
        return QStringLiteral("closing");
    case webrtc::DataChannelInterface::kClosed:
        return QStringLiteral("closed");
    }
    return QStringLiteral("unknown(%1)").arg(int(state));
}

// Lets callbacks on the stack's threads reach the client while it exists:
// the client clears it before it goes, under the same lock callbacks post by.
struct ClientLink {
    QMutex mutex;
    WebRTCClient *client = nullptr;
    // Received bytes posted to the main thread and not yet handled there.
    std::atomic<qint64> unhandled{0};
    std::atomic<bool> overrun{false};
    qint64 maxUnhandled = 0;

    // f(client) runs on the main thread, only if the client still exists.
    template <typename F>
    void post(F &&f)
    {
        QMutexLocker lock(&mutex);
        postLocked(std::forward<F>(f));
    }

    template <typename F>
    void postLocked(F &&f)
    {
        if (!client)
            return;
        WebRTCClient *c = client;
        QMetaObject::invokeMethod(
            c, [c, f = std::forward<F>(f)]() mutable { f(c); }, Qt::QueuedConnection);
    }
};

} // namespace

QStringList WebRTCConfig::defaultIceServers()
{
    return {QStringLiteral("stun:stun.l.google.com:19302"), QStringLiteral("stun:stun1.l.google.com:19302"),
            QStringLiteral("stun:stun2.l.google.com:19302")};
}

// ---- data channels -------------------------------------------------------

struct WebRTCDataChannel::Impl : webrtc::DataChannelObserver {
    rtc::scoped_refptr<webrtc::DataChannelInterface> channel;
    std::shared_ptr<ClientLink> link;
    std::weak_ptr<WebRTCDataChannel> self;
    QString label;
    std::atomic<bool> drainNoticePending{false};
    std::atomic<bool> registered{false};

    void OnStateChange() override
    {
        const auto state = channel->state();
        log(QStringLiteral("WebRTC Server: Data channel state changed to: ") + channelStateName(state));
        if (state == webrtc::DataChannelInterface::kOpen) {
            link->post([weak = self](WebRTCClient *client) {
                if (auto ch = weak.lock())
                    Q_EMIT client->didOpenDataChannel(ch);
            });
        } else if (state == webrtc::DataChannelInterface::kClosing || state == webrtc::DataChannelInterface::kClosed) {
            log(QStringLiteral("WebRTC Server: \u26a0\ufe0f Data channel is closing/closed!"));
        }
        // A channel that closes under a waiting send must wake it.
        notifyDrain();
    }

    void OnMessage(const webrtc::DataBuffer &buffer) override
    {
        const qint64 size = qint64(buffer.data.size());
        if (link->overrun)
            return;
        if (link->unhandled.fetch_add(size) + size > link->maxUnhandled) {
            link->unhandled -= size;
            if (!link->overrun.exchange(true))
                link->post([](WebRTCClient *client) { client->receiveOverrun(); });
            return;
        }
        QByteArray bytes(buffer.data.data<char>(), qsizetype(size));
        log(QStringLiteral("WebRTC: Received data - %1 bytes on '%2'").arg(bytes.size()).arg(label));
        link->post([weak = self, bytes = std::move(bytes), link = link](WebRTCClient *client) {
            // Counted as handled first: a slot that waits on the event loop
            // must not hold the count up for the messages behind it.
            link->unhandled -= bytes.size();
            if (auto ch = weak.lock())
                Q_EMIT client->didReceiveData(bytes, ch);
        });
    }

    void OnBufferedAmountChange(uint64_t) override { notifyDrain(); }

    // Coalesced: one notice in flight at a time, however often the stack
    // reports progress.
    void notifyDrain()
    {
        if (drainNoticePending.exchange(true))
            return;
        link->post([weak = self](WebRTCClient *) {
            if (auto ch = weak.lock()) {
                ch->d->drainNoticePending = false;
                Q_EMIT ch->bufferedAmountDecreased();
            }
        });
    }

    // Before the client's threads go: the stack's channel cannot be used
    // (or released) without them, so every later call finds it detached.
    void detach()
    {
        if (!channel)
            return;
        if (registered.exchange(false))
            channel->UnregisterObserver();
        channel = nullptr;
    }
};

WebRTCDataChannel::WebRTCDataChannel(std::unique_ptr<Impl> impl) : d(std::move(impl)) {}

WebRTCDataChannel::~WebRTCDataChannel() { d->detach(); }

QString WebRTCDataChannel::label() const { return d->label; }

bool WebRTCDataChannel::isOpen() const { return d->channel && d->channel->state() == webrtc::DataChannelInterface::kOpen; }

quint64 WebRTCDataChannel::bufferedAmount() const { return d->channel ? d->channel->buffered_amount() : 0; }

bool WebRTCDataChannel::sendBinary(const QByteArray &data)
{
    if (!d->channel)
        return false;
    const rtc::CopyOnWriteBuffer buffer(reinterpret_cast<const uint8_t *>(data.constData()), size_t(data.size()));
    return d->channel->Send(webrtc::DataBuffer(buffer, true));
}

void WebRTCDataChannel::close()
{
    if (d->channel)
        d->channel->Close();
}

// ---- the stack -----------------------------------------------------------

struct WebRTCClient::Stack {
    std::unique_ptr<rtc::Thread> network;
    std::unique_ptr<rtc::Thread> worker;
    std::unique_ptr<rtc::Thread> signaling;
    rtc::scoped_refptr<webrtc::PeerConnectionFactoryInterface> factory;
    rtc::scoped_refptr<webrtc::PeerConnectionInterface> peerConnection;

    ~Stack()
    {
        peerConnection = nullptr;
        factory = nullptr;
        // Threads last: the factory's teardown runs on them.
        signaling.reset();
        worker.reset();
        network.reset();
    }
};

struct WebRTCClient::Adopter {
    static DataChannelPtr adopt(WebRTCClient &client, rtc::scoped_refptr<webrtc::DataChannelInterface> stackChannel);
};

struct WebRTCClient::Observer : webrtc::PeerConnectionObserver {
    std::shared_ptr<ClientLink> link = std::make_shared<ClientLink>();

    void OnSignalingChange(webrtc::PeerConnectionInterface::SignalingState state) override
    {
        log(QStringLiteral("WebRTC: Signaling state changed - %1").arg(int(state)));
    }
    void OnAddStream(rtc::scoped_refptr<webrtc::MediaStreamInterface>) override
    {
        log(QStringLiteral("WebRTC: Stream added"));
    }
    void OnRemoveStream(rtc::scoped_refptr<webrtc::MediaStreamInterface>) override
    {
        log(QStringLiteral("WebRTC: Stream removed"));
    }
    void OnRenegotiationNeeded() override { log(QStringLiteral("WebRTC: Negotiation needed")); }
    void OnIceConnectionChange(webrtc::PeerConnectionInterface::IceConnectionState state) override
    {
        log(QStringLiteral("WebRTC: ICE connection state - %1").arg(int(state)));
        link->post([state](WebRTCClient *client) {
            Q_EMIT client->didChangeConnectionState(IceConnectionState(int(state)));
        });
    }
    void OnIceGatheringChange(webrtc::PeerConnectionInterface::IceGatheringState state) override
    {
        log(QStringLiteral("WebRTC: ICE gathering state - %1").arg(int(state)));
    }
    void OnIceCandidate(const webrtc::IceCandidateInterface *candidate) override
    {
        log(QStringLiteral("WebRTC: ICE candidate generated"));
        std::string sdp;
        candidate->ToString(&sdp);
        IceCandidate value{toQString(sdp), toQString(candidate->sdp_mid()), candidate->sdp_mline_index()};
        link->post([value](WebRTCClient *client) { Q_EMIT client->didGenerateCandidate(value); });
    }
    void OnIceCandidatesRemoved(const std::vector<cricket::Candidate> &) override
    {
        log(QStringLiteral("WebRTC: ICE candidates removed"));
    }
    void OnDataChannel(rtc::scoped_refptr<webrtc::DataChannelInterface> remote) override
    {
        QMutexLocker lock(&link->mutex);
        WebRTCClient *client = link->client;
        if (!client)
            return;
        log(QStringLiteral("WebRTC: Data channel '%1' opened by remote").arg(toQString(remote->label())));
        DataChannelPtr channel = Adopter::adopt(*client, remote);
        link->postLocked([channel](WebRTCClient *c) { Q_EMIT c->didOpenDataChannel(channel); });
    }
};

DataChannelPtr WebRTCClient::Adopter::adopt(WebRTCClient &client, rtc::scoped_refptr<webrtc::DataChannelInterface> stackChannel)
{
    auto impl = std::make_unique<WebRTCDataChannel::Impl>();
    impl->channel = stackChannel;
    impl->link = client.m_observer->link;
    impl->label = toQString(stackChannel->label());
    WebRTCDataChannel::Impl *raw = impl.get();
    DataChannelPtr channel(new WebRTCDataChannel(std::move(impl)), [](WebRTCDataChannel *c) {
        if (c->thread() == QThread::currentThread())
            delete c;
        else
            c->deleteLater();
    });
    // Possibly made on the stack's thread; it belongs to the main thread.
    channel->moveToThread(client.thread());
    raw->self = channel;
    {
        QMutexLocker channels(&client.m_channelLock);
        if (!client.m_dataChannel)
            client.m_dataChannel = channel;
        client.m_allDataChannels.insert(raw->label, channel);
        client.m_everyChannel.push_back(channel);
    }
    raw->registered = true;
    stackChannel->RegisterObserver(raw);
    return channel;
}

WebRTCClient::WebRTCClient(WebRTCConfig config, QObject *parent)
    : QObject(parent), m_config(std::move(config)), m_stack(std::make_unique<Stack>()), m_observer(std::make_unique<Observer>())
{
    qRegisterMetaType<IceCandidate>();
    qRegisterMetaType<DataChannelPtr>();
    m_observer->link->client = this;
    m_observer->link->maxUnhandled = m_config.maxUnhandledReceiveBytes;
    acquireSsl();

    m_stack->network = rtc::Thread::CreateWithSocketServer();
    m_stack->worker = rtc::Thread::Create();
    m_stack->signaling = rtc::Thread::Create();
    m_stack->network->SetName("tavrolin-rtc-network", nullptr);
    m_stack->worker->SetName("tavrolin-rtc-worker", nullptr);
    m_stack->signaling->SetName("tavrolin-rtc-signaling", nullptr);
    m_stack->network->Start();
    m_stack->worker->Start();
    m_stack->signaling->Start();

    webrtc::PeerConnectionFactoryDependencies deps;
    deps.network_thread = m_stack->network.get();
    deps.worker_thread = m_stack->worker.get();
    deps.signaling_thread = m_stack->signaling.get();
    deps.task_queue_factory = webrtc::CreateDefaultTaskQueueFactory();
    // Data channels only: no media engine, so no codecs and no devices.
    auto networkManager = std::make_unique<rtc::BasicNetworkManager>(m_stack->network->socketserver());
    if (m_config.loopbackOnly) {
        std::vector<std::string> others;
        for (const QNetworkInterface &iface : QNetworkInterface::allInterfaces()) {
            if (!(iface.flags() & QNetworkInterface::IsLoopBack))
                others.push_back(iface.name().toStdString());
        }
        networkManager->set_network_ignore_list(others);
    }
    deps.network_manager = std::move(networkManager);
    deps.packet_socket_factory = std::make_unique<rtc::BasicPacketSocketFactory>(m_stack->network->socketserver());
    m_stack->factory = webrtc::CreateModularPeerConnectionFactory(std::move(deps));
    // The stack leaves loopback out by default. It is wanted when asked
    // for, and on a machine with no other network: there, loopback is how a
    // client on the same machine reaches the server, and without it the
    // stack would gather nothing at all.
    if (m_stack->factory && (m_config.loopbackOnly || !hasNetworkBesidesLoopback())) {
        webrtc::PeerConnectionFactoryInterface::Options options;
        options.network_ignore_mask = 0;
        m_stack->factory->SetOptions(options);
    }
}

bool WebRTCClient::hasNetworkBesidesLoopback()
{
    for (const QNetworkInterface &iface : QNetworkInterface::allInterfaces()) {
        const auto flags = iface.flags();
        if ((flags & QNetworkInterface::IsLoopBack) || !(flags & QNetworkInterface::IsUp) || !(flags & QNetworkInterface::IsRunning))
            continue;
        if (!iface.addressEntries().isEmpty())
            return true;
    }
    return false;
}

WebRTCClient::~WebRTCClient()
{
    m_lifetime.end();
    disconnect();
    {
        // From here on no callback reaches this object.
        QMutexLocker lock(&m_observer->link->mutex);
        m_observer->link->client = nullptr;
    }
    {
        QMutexLocker lock(&m_channelLock);
        for (const std::weak_ptr<WebRTCDataChannel> &weak : m_everyChannel) {
            if (auto channel = weak.lock())
                channel->d->detach();
        }
        m_everyChannel.clear();
        m_allDataChannels.clear();
        m_dataChannel.reset();
    }
    m_stack.reset();
    releaseSsl();
}

void WebRTCClient::createPeerConnection()
{
    if (!m_stack->factory) {
        log(QStringLiteral("WebRTC: Failed to create peer connection - no factory"));
        return;
    }
    m_observer->link->overrun = false;
    webrtc::PeerConnectionInterface::RTCConfiguration config;
    if (!m_config.iceServers.isEmpty()) {
        webrtc::PeerConnectionInterface::IceServer server;
        for (const QString &url : m_config.iceServers)
            server.urls.push_back(url.toStdString());
        config.servers.push_back(server);
    }
    config.sdp_semantics = webrtc::SdpSemantics::kUnifiedPlan;
    config.continual_gathering_policy = webrtc::PeerConnectionInterface::GATHER_CONTINUALLY;
    // DTLS key agreement is not optional in this stack; there is no
    // constraint to ask for it.
    webrtc::PeerConnectionDependencies deps(m_observer.get());
    auto result = m_stack->factory->CreatePeerConnectionOrError(config, std::move(deps));
    if (!result.ok()) {
        log(QStringLiteral("WebRTC: Failed to create peer connection - ") + QString::fromUtf8(result.error().message()));
        return;
    }
    if (m_stack->peerConnection)
        m_stack->peerConnection->Close();
    ++m_generation;
    m_stack->peerConnection = result.MoveValue();
    log(QStringLiteral("WebRTC: Peer connection created"));
}

bool WebRTCClient::hasPeerConnection() const { return bool(m_stack->peerConnection); }

namespace {

// The outcome of one of the stack's operations: nothing on success, else
// the stack's error text.
using Outcome = std::optional<QString>;
using OutcomePromise = std::shared_ptr<QPromise<Outcome>>;

void complete(const OutcomePromise &promise, const webrtc::RTCError &error)
{
    promise->start();
    promise->addResult(error.ok() ? Outcome() : Outcome(QString::fromUtf8(error.message())));
    promise->finish();
}

// An operation the stack drops without an answer (its threads stopping)
// still ends with one: a future finished without a result must never be
// read.
template <typename T>
void completeIfDropped(const std::shared_ptr<QPromise<T>> &promise, T dropped)
{
    if (!promise || promise->future().isFinished())
        return;
    promise->start();
    promise->addResult(std::move(dropped));
    promise->finish();
}

class RemoteDescriptionObserver : public webrtc::SetRemoteDescriptionObserverInterface {
public:
    explicit RemoteDescriptionObserver(OutcomePromise promise) : m_promise(std::move(promise)) {}
    ~RemoteDescriptionObserver() override { completeIfDropped(m_promise, Outcome(QStringLiteral("dropped by the stack"))); }
    void OnSetRemoteDescriptionComplete(webrtc::RTCError error) override { complete(m_promise, error); }

private:
    OutcomePromise m_promise;
};

class LocalDescriptionObserver : public webrtc::SetLocalDescriptionObserverInterface {
public:
    explicit LocalDescriptionObserver(OutcomePromise promise) : m_promise(std::move(promise)) {}
    ~LocalDescriptionObserver() override { completeIfDropped(m_promise, Outcome(QStringLiteral("dropped by the stack"))); }
    void OnSetLocalDescriptionComplete(webrtc::RTCError error) override { complete(m_promise, error); }

private:
    OutcomePromise m_promise;
};

struct AnswerResult {
    std::shared_ptr<webrtc::SessionDescriptionInterface> description;
    std::optional<QString> error;
};

class AnswerObserver : public webrtc::CreateSessionDescriptionObserver {
public:
    explicit AnswerObserver(std::shared_ptr<QPromise<AnswerResult>> promise) : m_promise(std::move(promise)) {}
    ~AnswerObserver() override { completeIfDropped(m_promise, AnswerResult{nullptr, QStringLiteral("dropped by the stack")}); }
    void OnSuccess(webrtc::SessionDescriptionInterface *desc) override
    {
        m_promise->start();
        m_promise->addResult(AnswerResult{std::shared_ptr<webrtc::SessionDescriptionInterface>(desc), std::nullopt});
        m_promise->finish();
    }
    void OnFailure(webrtc::RTCError error) override
    {
        m_promise->start();
        const char *message = error.message();
        m_promise->addResult(AnswerResult{nullptr, message && *message ? std::optional<QString>(QString::fromUtf8(message))
                                                                        : std::nullopt});
        m_promise->finish();
    }

private:
    std::shared_ptr<QPromise<AnswerResult>> m_promise;
};


} // namespace

QCoro::Task<bool> WebRTCClient::setRemoteAnswer(SessionDescription answer)
{
    answer.type = SessionDescription::Type::Answer;
    return setRemoteOffer(std::move(answer));
}

QCoro::Task<bool> WebRTCClient::setRemoteOffer(SessionDescription offer)
{
    if (!m_stack->peerConnection) {
        log(QStringLiteral("WebRTC Server: ERROR - No peer connection!"));
        co_return false;
    }
    auto pc = m_stack->peerConnection;
    log(QStringLiteral("WebRTC Server: Setting remote description (offer)..."));
    log(QStringLiteral("WebRTC Server: - Type: ") + (offer.type == SessionDescription::Type::Offer ? QStringLiteral("offer") : QStringLiteral("answer")));
    log(QStringLiteral("WebRTC Server: - SDP length: %1 chars").arg(offer.sdp.size()));
    log(QStringLiteral("WebRTC Server: - Signaling state before: %1").arg(int(pc->signaling_state())));

    webrtc::SdpParseError parseError;
    const auto type = offer.type == SessionDescription::Type::Offer ? webrtc::SdpType::kOffer : webrtc::SdpType::kAnswer;
    std::unique_ptr<webrtc::SessionDescriptionInterface> description =
        webrtc::CreateSessionDescription(type, offer.sdp.toStdString(), &parseError);
    if (!description) {
        log(QStringLiteral("WebRTC Server: ERROR - Failed to set remote description: ") + toQString(parseError.description));
        co_return false;
    }
    auto promise = std::make_shared<QPromise<Outcome>>();
    QFuture<Outcome> future = promise->future();
    pc->SetRemoteDescription(std::move(description), rtc::make_ref_counted<RemoteDescriptionObserver>(promise));
    const Lifetime::Guard alive = m_lifetime.guard();
    const quint64 generation = m_generation;
    pc = nullptr;
    const Outcome failure = co_await future;
    if (!alive || m_generation != generation)
        co_return false; // closed meanwhile: its stack may be gone
    pc = m_stack->peerConnection;
    if (failure) {
        log(QStringLiteral("WebRTC Server: ERROR - Failed to set remote description: ") + *failure);
        co_return false;
    }
    log(QStringLiteral("WebRTC Server: \u2713 Remote description (offer) set!"));
    log(QStringLiteral("WebRTC Server: - Signaling state after: %1").arg(int(pc->signaling_state())));
    co_return true;
}

QCoro::Task<std::optional<SessionDescription>> WebRTCClient::createAnswer() { return createLocalDescription(false); }

QCoro::Task<std::optional<SessionDescription>> WebRTCClient::createOffer() { return createLocalDescription(true); }

DataChannelPtr WebRTCClient::createDataChannel(const QString &label)
{
    if (!m_stack->peerConnection) {
        log(QStringLiteral("WebRTC: Failed to create data channel - no peer connection"));
        return nullptr;
    }
    webrtc::DataChannelInit init; // ordered and reliable, as the tunnel needs
    auto result = m_stack->peerConnection->CreateDataChannelOrError(label.toStdString(), &init);
    if (!result.ok()) {
        log(QStringLiteral("WebRTC: Failed to create data channel - ") + QString::fromUtf8(result.error().message()));
        return nullptr;
    }
    // Reported as opened by didOpenDataChannel once its state is open.
    return Adopter::adopt(*this, result.MoveValue());
}

QCoro::Task<std::optional<SessionDescription>> WebRTCClient::createLocalDescription(bool offer)
{
    if (!m_stack->peerConnection) {
        log(offer ? QStringLiteral("WebRTC: ERROR - No peer connection when creating offer!")
                  : QStringLiteral("WebRTC Server: ERROR - No peer connection when creating answer!"));
        co_return std::nullopt;
    }
    auto pc = m_stack->peerConnection;
    log(offer ? QStringLiteral("WebRTC: Creating offer...") : QStringLiteral("WebRTC Server: Creating answer..."));
    log(QStringLiteral("WebRTC Server: - Signaling state: %1").arg(int(pc->signaling_state())));
    webrtc::PeerConnectionInterface::RTCOfferAnswerOptions options;
    options.offer_to_receive_audio = 0;
    options.offer_to_receive_video = 0;
    auto answerPromise = std::make_shared<QPromise<AnswerResult>>();
    QFuture<AnswerResult> answerFuture = answerPromise->future();
    if (offer)
        pc->CreateOffer(rtc::make_ref_counted<AnswerObserver>(answerPromise).get(), options);
    else
        pc->CreateAnswer(rtc::make_ref_counted<AnswerObserver>(answerPromise).get(), options);
    const Lifetime::Guard alive = m_lifetime.guard();
    const quint64 generation = m_generation;
    pc = nullptr;
    AnswerResult answer = co_await answerFuture;
    if (!alive || m_generation != generation) {
        log(QStringLiteral("WebRTC: The connection closed while its description was made"));
        co_return std::nullopt;
    }
    pc = m_stack->peerConnection;
    if (!answer.description) {
        log(QStringLiteral("WebRTC Server: ERROR - Failed to create answer: ") + answer.error.value_or(QStringLiteral("unknown")));
        co_return std::nullopt;
    }
    std::string sdp;
    answer.description->ToString(&sdp);
    log(QStringLiteral("WebRTC Server: Answer SDP created, setting local description..."));
    log(QStringLiteral("WebRTC Server: - SDP length: %1 chars").arg(toQString(sdp).size()));

    webrtc::SdpParseError parseError;
    std::unique_ptr<webrtc::SessionDescriptionInterface> local =
        webrtc::CreateSessionDescription(offer ? webrtc::SdpType::kOffer : webrtc::SdpType::kAnswer, sdp, &parseError);
    if (!local) {
        log(QStringLiteral("WebRTC Server: ERROR - Failed to set local description: ") + toQString(parseError.description));
        co_return std::nullopt;
    }
    auto promise = std::make_shared<QPromise<Outcome>>();
    QFuture<Outcome> future = promise->future();
    pc->SetLocalDescription(std::move(local), rtc::make_ref_counted<LocalDescriptionObserver>(promise));
    pc = nullptr;
    const Outcome failure = co_await future;
    if (!alive || m_generation != generation)
        co_return std::nullopt;
    if (failure) {
        log(QStringLiteral("WebRTC Server: ERROR - Failed to set local description: ") + *failure);
        co_return std::nullopt;
    }
    log(offer ? QStringLiteral("WebRTC: Offer created and local description set")
              : QStringLiteral("WebRTC Server: \u2713 Answer created and local description set!"));
    co_return SessionDescription{offer ? SessionDescription::Type::Offer : SessionDescription::Type::Answer, toQString(sdp)};
}

QCoro::Task<bool> WebRTCClient::addIceCandidate(IceCandidate candidate)
{
    if (!m_stack->peerConnection) {
        log(QStringLiteral("WebRTC: Failed to add ICE candidate - no peer connection"));
        co_return false;
    }
    webrtc::SdpParseError parseError;
    std::unique_ptr<webrtc::IceCandidateInterface> ice(webrtc::CreateIceCandidate(
        candidate.sdpMid.value_or(QString()).toStdString(), candidate.sdpMLineIndex, candidate.sdp.toStdString(), &parseError));
    if (!ice) {
        log(QStringLiteral("WebRTC: Failed to add ICE candidate - ") + toQString(parseError.description));
        co_return false;
    }
    auto promise = std::make_shared<QPromise<Outcome>>();
    QFuture<Outcome> future = promise->future();
    // The callback's own copy of the promise answers if it is dropped unrun.
    struct Answerer {
        OutcomePromise promise;
        ~Answerer() { completeIfDropped(promise, Outcome(QStringLiteral("dropped by the stack"))); }
    };
    auto answerer = std::make_shared<Answerer>();
    answerer->promise = promise;
    m_stack->peerConnection->AddIceCandidate(std::move(ice), [answerer](webrtc::RTCError error) { complete(answerer->promise, error); });
    const Lifetime::Guard alive = m_lifetime.guard();
    const Outcome failure = co_await future;
    if (!alive)
        co_return false;
    if (failure) {
        log(QStringLiteral("WebRTC: Failed to add ICE candidate - ") + *failure);
        co_return false;
    }
    log(QStringLiteral("WebRTC: ICE candidate added"));
    co_return true;
}

qint64 WebRTCClient::unhandledReceiveBytes() const { return m_observer->link->unhandled; }

void WebRTCClient::receiveOverrun()
{
    log(QStringLiteral("WebRTC: Peer sent more than %1 bytes faster than they could be handled; closing the connection")
            .arg(m_config.maxUnhandledReceiveBytes));
    if (!hasPeerConnection())
        return;
    disconnect();
    Q_EMIT didChangeConnectionState(IceConnectionState::Closed);
}

void WebRTCClient::disconnect()
{
    DataChannelPtr channel;
    {
        QMutexLocker lock(&m_channelLock);
        channel = std::exchange(m_dataChannel, nullptr);
    }
    if (channel)
        channel->close();
    ++m_generation;
    if (m_stack->peerConnection) {
        m_stack->peerConnection->Close();
        m_stack->peerConnection = nullptr;
    }
    log(QStringLiteral("WebRTC: Disconnected"));
}

DataChannelPtr WebRTCClient::dataChannel() const
{
    QMutexLocker lock(&m_channelLock);
    return m_dataChannel;
}

QHash<QString, DataChannelPtr> WebRTCClient::allDataChannels() const
{
    QMutexLocker lock(&m_channelLock);
    return m_allDataChannels;
}

QCoro::Task<bool> WebRTCClient::send(QByteArray data)
{
    DataChannelPtr channel = dataChannel();
    co_return co_await sendDraining(channel.get(), std::move(data), m_config.drain, ChannelNaming::Default);
}

QCoro::Task<bool> WebRTCClient::sendChunks(QList<QByteArray> chunks)
{
    DataChannelPtr channel = dataChannel();
    co_return co_await sendChunksDraining(channel.get(), std::move(chunks), m_config.drain, ChannelNaming::Default);
}

bool WebRTCClient::sendNow(const QByteArray &data, WebRTCDataChannel *channel)
{
    if (!channel || !channel->isOpen()) {
        log(QStringLiteral("WebRTC: Channel '%1' not open").arg(channel ? channel->label() : QString()));
        return false;
    }
    return channel->sendBinary(data);
}

QCoro::Task<bool> WebRTCClient::send(QByteArray data, DataChannelPtr channel)
{
    co_return co_await sendDraining(channel.get(), std::move(data), m_config.drain, ChannelNaming::ByLabel);
}

QCoro::Task<bool> WebRTCClient::sendChunks(QList<QByteArray> chunks, DataChannelPtr channel)
{
    co_return co_await sendChunksDraining(channel.get(), std::move(chunks), m_config.drain, ChannelNaming::ByLabel);
}

} // namespace tavrolin
