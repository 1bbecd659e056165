#include "tunnel/WebRTCTunnelServer.h"

#include "cloud/CloudKitService.h"
#include "platform/DiagnosticLog.h"

#include <QNetworkProxy>
#include <limits>

namespace tavrolin {

namespace {
void log(const QString &line) { diagLog(QStringLiteral("WebRTCTunnelServer: ") + line); }
} // namespace

WebRTCTunnelServer::WebRTCTunnelServer(CloudKitService &cloud, DeviceRegistry &registry, TunnelServerConfig config,
                                       QObject *parent)
    : QObject(parent), m_cloud(cloud), m_registry(registry), m_config(std::move(config))
{
    // The gateway is on this machine; no proxy stands between.
    m_network.setProxy(QNetworkProxy::NoProxy);
    m_network.setCookieJar(nullptr);
    connect(&cloud, &CloudKitService::signalingMessage, this, &WebRTCTunnelServer::handleSignalingNotification);
    // A new record is read at once; the timer's poll is the fallback for
    // folders whose changes are not reported.
    connect(&cloud, &CloudKitService::messagesMayHaveArrived, this, [this] {
        if (m_pollingTimer)
            tick();
    });
}

WebRTCTunnelServer::~WebRTCTunnelServer()
{
    m_pollingTimer.reset();
    qDeleteAll(m_clients);
    m_clients.clear();
}

void WebRTCTunnelServer::startListening(int port)
{
    m_localServerPort = port;
    if (!m_isListening) {
        m_isListening = true;
        Q_EMIT isListeningChanged();
    }
    m_pollingTimer.reset();
    m_pollingTimer.emplace();
    connect(&*m_pollingTimer, &QTimer::timeout, this, &WebRTCTunnelServer::tick);
    m_pollingTimer->start(m_config.pollIntervalMs);
    log(QStringLiteral("Started listening on port %1").arg(port));
    log(QStringLiteral("Own deviceId = ") + m_cloud.deviceId());
}

void WebRTCTunnelServer::stopListening()
{
    m_pollingTimer.reset();
    m_early.clear();
    const auto sessions = std::exchange(m_clients, {});
    for (ClientConnection *connection : sessions) {
        connection->webRTCClient().disconnect();
        m_cloud.endSession(connection->sessionId);
        connection->deleteLater();
    }
    setConnectedClients(0);
    if (m_isListening) {
        m_isListening = false;
        Q_EMIT isListeningChanged();
    }
    log(QStringLiteral("Stopped listening"));
}

void WebRTCTunnelServer::tick()
{
    dropStaleSessions();
    ++m_pollCount;
    if (m_pollCount % 10 == 0)
        log(QStringLiteral("Still polling for signaling messages... (poll #%1)").arg(m_pollCount));
    // A slow store must not pile polls on top of each other.
    if (m_polling)
        return;
    m_polling = true;
    [](WebRTCTunnelServer *self, Lifetime::Guard alive, CloudKitService &cloud) -> QCoro::Task<> {
        co_await cloud.pollForMessages();
        if (alive)
            self->m_polling = false;
    }(this, m_lifetime.guard(), m_cloud);
}

void WebRTCTunnelServer::handleSignalingNotification(const QVariantMap &message)
{
    const auto text = [&](const char *key) -> std::optional<QString> {
        const QVariant value = message.value(QLatin1String(key));
        if (!value.isValid() || value.typeId() != QMetaType::QString)
            return std::nullopt;
        return value.toString();
    };
    const auto sessionId = text("sessionId"), senderId = text("senderId"), type = text("type");
    if (!sessionId || !senderId || !type)
        return;
    const QString sdp = text("sdp").value_or(QString());
    const QString candidate = text("candidate").value_or(QString());
    const std::optional<QString> sdpMid =
        message.contains(QStringLiteral("sdpMid")) ? std::optional<QString>(message.value(QStringLiteral("sdpMid")).toString())
                                                   : std::nullopt;
    const qint64 index = message.value(QStringLiteral("sdpMLineIndex")).toLongLong();
    if (*type == QLatin1String("offer"))
        handleOffer(*sessionId, *senderId, sdp);
    else if (*type == QLatin1String("ice-candidate"))
        handleIceCandidate(*sessionId, candidate, sdpMid, index);
    else
        log(QStringLiteral("Unknown message type: ") + *type);
}

QCoro::Task<> WebRTCTunnelServer::handleOffer(QString sessionId, QString senderId, QString sdp)
{
    const QString separator = QStringLiteral("========================================");
    log(separator);
    log(QStringLiteral("Received offer from ") + senderId);
    log(QStringLiteral("Session: ") + sessionId);
    log(QStringLiteral("SDP length: %1 chars").arg(sdp.size()));
    log(separator);
    if (!m_clients.contains(sessionId) && m_clients.size() >= m_config.maxSessions) {
        log(QStringLiteral("Too many sessions (%1), refusing the offer from %2").arg(m_clients.size()).arg(senderId));
        co_return;
    }

    auto *connection =
        new ClientConnection(sessionId, senderId, m_localServerPort, m_network, m_registry, m_config.session);
    connection->delegate = this;
    connection->sinceOffer.start();
    if (ClientConnection *old = m_clients.value(sessionId))
        old->deleteLater();
    m_clients.insert(sessionId, connection);
    QPointer<ClientConnection> guard(connection);
    connect(&connection->webRTCClient(), &WebRTCClient::didGenerateCandidate, this,
            [this, guard](const IceCandidate &candidate) { sendCandidate(guard, candidate); });
    connect(&connection->webRTCClient(), &WebRTCClient::didChangeConnectionState, this,
            [this, guard](IceConnectionState state) {
                if (guard)
                    connectionStateChanged(guard, state);
            });

    SessionDescription offer{SessionDescription::Type::Offer, sdp};
    const bool set = co_await connection->webRTCClient().setRemoteOffer(std::move(offer));
    if (!guard)
        co_return;
    if (!set) {
        log(QStringLiteral("Failed to set offer"));
        co_return;
    }
    guard->offerApplied = true;
    // Candidates the device sent before its offer was read go in now.
    for (const EarlyCandidate &early : m_early.take(sessionId)) {
        if (!early.expires.hasExpired())
            handleIceCandidate(sessionId, early.candidate, early.sdpMid, early.sdpMLineIndex);
    }
    if (!guard)
        co_return;
    const std::optional<SessionDescription> answer = co_await guard->webRTCClient().createAnswer();
    if (!guard)
        co_return;
    if (!answer) {
        log(QStringLiteral("Failed to create answer"));
        co_return;
    }
    if (m_clients.value(sessionId) != guard)
        co_return; // ended while the answer was made
    QString answerSdp = answer->sdp;
    const std::optional<RecordError> failure = co_await m_cloud.sendAnswer(sessionId, senderId, std::move(answerSdp));
    if (failure)
        log(QStringLiteral("Failed to send answer - ") + failure->description);
    else
        log(QStringLiteral("Sent answer to ") + senderId);
}

QCoro::Task<> WebRTCTunnelServer::handleIceCandidate(QString sessionId, QString candidate, std::optional<QString> sdpMid,
                                                     qint64 sdpMLineIndex)
{
    QPointer<ClientConnection> connection = m_clients.value(sessionId);
    if (!connection || !connection->offerApplied) {
        // Records are read in no particular order, and a device may send a
        // candidate before its offer is read: it waits for the offer.
        QList<EarlyCandidate> &waiting = m_early[sessionId];
        if (m_early.size() > 4 * m_config.maxSessions || waiting.size() >= kMaxEarlyCandidates) {
            if (waiting.isEmpty())
                m_early.remove(sessionId);
            log(QStringLiteral("No client for session ") + sessionId);
            co_return;
        }
        waiting.append({candidate, sdpMid, sdpMLineIndex, QDeadlineTimer(m_config.earlyCandidateMs)});
        log(QStringLiteral("Keeping an ICE candidate until the offer of session %1 is read").arg(sessionId));
        co_return;
    }
    if (sdpMLineIndex < std::numeric_limits<qint32>::min() || sdpMLineIndex > std::numeric_limits<qint32>::max())
        co_return;
    if (!connection->webRTCClient().hasPeerConnection())
        co_return;
    IceCandidate ice{candidate, sdpMid, int(sdpMLineIndex)};
    const bool added = co_await connection->webRTCClient().addIceCandidate(std::move(ice));
    if (added)
        log(QStringLiteral("Added ICE candidate"));
}

QCoro::Task<> WebRTCTunnelServer::sendCandidate(QPointer<ClientConnection> connection, IceCandidate candidate)
{
    // Only a session still open writes: an ended one has had its records removed.
    if (!connection || m_clients.value(connection->sessionId) != connection)
        co_return;
    QString session = connection->sessionId, target = connection->clientDeviceId, sdp = candidate.sdp;
    const std::optional<RecordError> failure = co_await m_cloud.sendIceCandidate(
        std::move(session), std::move(target), std::move(sdp), candidate.sdpMid, candidate.sdpMLineIndex);
    if (failure)
        log(QStringLiteral("Failed to send ICE candidate - ") + failure->description);
}

void WebRTCTunnelServer::connectionStateChanged(ClientConnection *connection, IceConnectionState state)
{
    const QString sessionId = connection->sessionId;
    switch (state) {
    case IceConnectionState::Connected:
    case IceConnectionState::Completed:
        log(QStringLiteral("Client %1 connected").arg(sessionId));
        connection->everConnected = true;
        setConnectedClients(int(std::count_if(m_clients.begin(), m_clients.end(), &ClientConnection::hasConnected)));
        break;
    case IceConnectionState::Failed:
    case IceConnectionState::Disconnected:
    case IceConnectionState::Closed:
        log(QStringLiteral("Client %1 disconnected").arg(sessionId));
        closeSession(connection);
        break;
    default:
        break;
    }
}

void WebRTCTunnelServer::dropStaleSessions()
{
    for (auto it = m_early.begin(); it != m_early.end();) {
        it->removeIf([](const EarlyCandidate &c) { return c.expires.hasExpired(); });
        it = it->isEmpty() ? m_early.erase(it) : std::next(it);
    }
    const QList<ClientConnection *> sessions = m_clients.values();
    for (ClientConnection *connection : sessions) {
        if (connection->everConnected || connection->sinceOffer.elapsed() < m_config.connectTimeoutMs)
            continue;
        log(QStringLiteral("Session %1 did not connect within %2 s; closing it")
                .arg(connection->sessionId)
                .arg(m_config.connectTimeoutMs / 1000.0));
        connection->webRTCClient().disconnect();
        closeSession(connection);
    }
}

void WebRTCTunnelServer::closeSession(ClientConnection *connection)
{
    const QString sessionId = connection->sessionId;
    // Only this connection: a newer offer may have taken its id.
    if (m_clients.value(sessionId) == connection) {
        m_clients.remove(sessionId);
        m_cloud.endSession(sessionId);
        connection->deleteLater();
    }
    setConnectedClients(int(std::count_if(m_clients.begin(), m_clients.end(), &ClientConnection::hasConnected)));
}

void WebRTCTunnelServer::setConnectedClients(int count)
{
    if (m_connectedClients == count)
        return;
    m_connectedClients = count;
    Q_EMIT connectedClientsChanged();
}

} // namespace tavrolin
