#pragma once

#include "platform/Lifetime.h"
#include "platform/RecordStore.h"
#include "platform/Result.h"
#include "tunnel/ChunkAssembler.h"
#include "tunnel/HTTPTunnelProtocol.h"
#include "tunnel/WebRTCClient.h"

#include <QCoro/QCoroTask>
#include <QHash>
#include <QObject>
#include <QPromise>
#include <chrono>
#include <memory>
#include <optional>
#include <variant>

namespace tavrolin {

struct TunnelClientConfig {
    WebRTCConfig webrtc;
    // Its own folder only, so polling often while a session opens costs little.
    std::chrono::milliseconds pollInterval{50};
    std::chrono::milliseconds connectTimeout{60000};
    std::chrono::milliseconds requestTimeout{300000}; // the whole answer, however large
    QString tempDir;                                  // empty: the user's temporary folder; large answers land here
};

// The remote side of the tunnel, as a phone runs it: finds an online server
// in the record store, offers a session through signaling records, opens the
// "tunnel" channel and sends requests on it, putting chunked answers back
// together.
class TunnelClient : public QObject {
    Q_OBJECT
public:
    using Answer = Result<HTTPTunnelProtocol::TunnelResponse, HTTPTunnelProtocol::TunnelError>;

    explicit TunnelClient(RecordStore &store, TunnelClientConfig config = {}, QObject *parent = nullptr);
    ~TunnelClient() override;

    const QString deviceId; // fresh for every client
    QString serverId() const { return m_serverId; }
    QString sessionId() const { return m_sessionId; }
    bool isConnected() const;

    // The device id of the online server seen most recently, if any.
    QCoro::Task<std::optional<QString>> findServer();
    // Empty serverId: the one findServer gives. An error text on failure.
    QCoro::Task<std::optional<QString>> connectToServer(QString serverId = {});
    // An error of the tunnel (code and text) when there is no response. A
    // large response body comes in bodyFile, which the caller then owns. A
    // request's bodyFile is read (never removed) as it is sent.
    QCoro::Task<Answer> send(HTTPTunnelProtocol::TunnelRequest request);
    void disconnect();
    // Hangs up and removes what the server wrote to this device but was not
    // read: nobody else would ever clear it from the shared store.
    QCoro::Task<> close();

Q_SIGNALS:
    // While a request's bodyFile goes out.
    void sendProgress(const QString &requestId, qint64 sentBytes, qint64 totalBytes);

private:
    QCoro::Task<> pollSignaling();
    QCoro::Task<> sendCandidate(IceCandidate candidate);
    QCoro::Task<std::optional<RecordError>> writeMessage(QString type, std::map<QString, FieldValue> extra);
    void received(const QByteArray &data);
    void failAll(const QString &why);
    void finish(const QString &id, Answer answer);

    RecordStore &m_store;
    TunnelClientConfig m_config;
    std::unique_ptr<WebRTCClient> m_client;
    ChunkAssembler m_assembler;
    DataChannelPtr m_channel;
    QString m_serverId;
    QString m_sessionId;
    bool m_answered = false;
    QList<IceCandidate> m_earlyCandidates;
    QHash<QString, std::shared_ptr<QPromise<Answer>>> m_waiting;
    Lifetime m_lifetime;
};

} // namespace tavrolin
