#pragma once

#include "platform/Lifetime.h"
#include "platform/ManagedService.h"
#include "tunnel/ClientConnection.h"

#include <QDeadlineTimer>
#include <QHash>
#include <QNetworkAccessManager>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QVariantMap>
#include <optional>

namespace tavrolin {

class CloudKitService;
class DeviceRegistry;

struct TunnelServerConfig {
    TunnelSessionConfig session;
    int maxSessions = 16;
    int pollIntervalMs = 500;
    // A session whose peer has not connected by then is closed, so that
    // offers that go nowhere cannot hold the session slots.
    int connectTimeoutMs = 30000;
    // A candidate that comes before its session's offer waits this long.
    int earlyCandidateMs = 30000;
};

// Remote sessions: an offer found by the cloud signaling poll becomes a
// ClientConnection, answered through the same signaling; candidates go
// both ways; connectedClients counts the sessions whose peers connected.
class WebRTCTunnelServer : public QObject, public ListeningService {
    Q_OBJECT
    Q_PROPERTY(int connectedClients READ connectedClients NOTIFY connectedClientsChanged)
    Q_PROPERTY(bool isListening READ isListening NOTIFY isListeningChanged)
public:
    WebRTCTunnelServer(CloudKitService &cloud, DeviceRegistry &registry, TunnelServerConfig config = {},
                       QObject *parent = nullptr);
    ~WebRTCTunnelServer() override;

    int connectedClients() const { return m_connectedClients; }
    bool isListening() const { return m_isListening; }
    int pollCount() const { return m_pollCount; }
    int localServerPort() const { return m_localServerPort; }
    const QHash<QString, ClientConnection *> &clients() const { return m_clients; }

    void startListening(int s3Port) override;
    void stopListening() override;


    void handleSignalingNotification(const QVariantMap &message);
    QCoro::Task<> handleOffer(QString sessionId, QString senderId, QString sdp);
    QCoro::Task<> handleIceCandidate(QString sessionId, QString candidate, std::optional<QString> sdpMid,
                                     qint64 sdpMLineIndex);

Q_SIGNALS:
    void connectedClientsChanged();
    void isListeningChanged();

private:
    void tick();
    QCoro::Task<> sendCandidate(QPointer<ClientConnection> connection, IceCandidate candidate);
    void connectionStateChanged(ClientConnection *connection, IceConnectionState state);
    void closeSession(ClientConnection *connection);
    void dropStaleSessions();
    static constexpr int kMaxEarlyCandidates = 16; // per session
    struct EarlyCandidate {
        QString candidate;
        std::optional<QString> sdpMid;
        qint64 sdpMLineIndex = 0;
        QDeadlineTimer expires;
    };
    void setConnectedClients(int count);

    CloudKitService &m_cloud;
    DeviceRegistry &m_registry;
    TunnelServerConfig m_config;
    QNetworkAccessManager m_network;
    QHash<QString, ClientConnection *> m_clients; // owned
    // Candidates that arrived before their session's offer was applied.
    QHash<QString, QList<EarlyCandidate>> m_early;
    int m_connectedClients = 0;
    bool m_isListening = false;
    int m_localServerPort = 8333;
    std::optional<QTimer> m_pollingTimer;
    int m_pollCount = 0;
    bool m_polling = false;
    Lifetime m_lifetime;
};

} // namespace tavrolin
