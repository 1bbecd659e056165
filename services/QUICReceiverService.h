#pragma once

#include <QNetworkAccessManager>
#include <QObject>
#include <QTimer>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "platform/ManagedService.h"
#include "platform/QuicServer.h"
#include "platform/Result.h"
#include "services/ServerIdentity.h"
#include "services/UploadFrameReader.h"

namespace tavrolin {

struct QuicReceiverConfig {
    QHostAddress address = QHostAddress::Any;
    quint16 port = 8444;
    int retryDelayMs = 5000;
    // A body that brings no byte for this long is given up.
    int bodyTimeoutMs = 30000;
    QuicConnection::Settings quic; // idle time-out 30 s, windows
};

class UploadStream;
class GatewayConnections;

// Receives files from devices on the LAN over QUIC (UDP 8444, ALPN
// "tavro-backup") and stores each in the object store as it arrives: the
// body streams into the S3 PUT through a bounded buffer, and QUIC flow
// control holds the device back while the store is slower.
class QUICReceiverService : public QObject, public ListeningService {
    Q_OBJECT
    Q_PROPERTY(bool isListening READ isListening NOTIFY isListeningChanged)
    Q_PROPERTY(int activeConnections READ activeConnections NOTIFY activeConnectionsChanged)
    Q_PROPERTY(qint64 totalBytesReceived READ totalBytesReceived NOTIFY totalBytesReceivedChanged)
    Q_PROPERTY(int filesReceived READ filesReceived NOTIFY filesReceivedChanged)
public:
    static constexpr const char *kAlpn = "tavro-backup";
    static constexpr int kMaxRetries = 3;
    // PUTs to the gateway at once: from one host, and in all.
    static constexpr int kMaxPutsPerSource = 6;
    static constexpr int kMaxPuts = 64;

    explicit QUICReceiverService(ServerIdentity &identity, QuicReceiverConfig config = {}, QObject *parent = nullptr);
    ~QUICReceiverService() override;

    bool isListening() const { return m_isListening; }
    int activeConnections() const { return m_activeConnections; }
    qint64 totalBytesReceived() const { return m_totalBytesReceived; }
    int filesReceived() const { return m_filesReceived; }
    quint16 listeningPort() const { return m_server ? m_server->port() : 0; }

    void startListening(int s3Port) override;
    void stopListening() override;

Q_SIGNALS:
    void isListeningChanged();
    void activeConnectionsChanged();
    void totalBytesReceivedChanged();
    void filesReceivedChanged();

private:
    friend class UploadStream;
    void listenerFailed(const QString &reason);
    void onNewConnection(QuicConnection *connection);
    void onConnectionClosed(QuicConnection *connection, const QString &reason);
    void setListening(bool listening);
    void setActiveConnections(int count);
    void fileStored(qint64 bytes);
    void streamSettled(UploadStream *stream);

    // Each host gets a share of the gateway, so that no one host's slow
    // or stalled bodies hold the others' uploads.
    struct Source {
        int connections = 0;
        int puts = 0;
    };
    // True when the stream's PUT may start now; else the stream is granted
    // its turn later (slotGranted).
    bool takeGatewaySlot(UploadStream *stream);
    // `held`: the stream had its turn; else it leaves the queue.
    void releaseGatewaySlot(UploadStream *stream, bool held);
    void admit(Source &source);
    GatewayConnections &gatewayConnections() { return *m_gatewayConnections; }
    void grantWaiting();
    void forgetIdleSource(const QString &address);
    QString s3BaseUrl() const { return QStringLiteral("http://localhost:%1").arg(m_s3Port); }

    ServerIdentity &m_identity;
    QuicReceiverConfig m_config;
    std::unique_ptr<QuicServer> m_server;
    QNetworkAccessManager m_network; // the rare removal of a mismatched object
    // Kept-alive connections for the PUTs; declared before the streams,
    // whose PUTs use them, so that it outlives them.
    std::unique_ptr<GatewayConnections> m_gatewayConnections;
    QTimer m_retryTimer;
    int m_s3Port = 8333;
    int m_retryCount = 0;
    bool m_isListening = false;
    bool m_stopping = false;
    int m_activeConnections = 0;
    qint64 m_totalBytesReceived = 0;
    int m_filesReceived = 0;
    std::map<QuicConnection *, std::map<int64_t, std::unique_ptr<UploadStream>>> m_streams;
    // Streams whose connection has gone while their whole file goes to the store.
    std::vector<std::unique_ptr<UploadStream>> m_settling;
    std::map<QString, Source> m_sources; // by address
    std::deque<UploadStream *> m_gatewayQueue;
    int m_puts = 0;
};

} // namespace tavrolin
