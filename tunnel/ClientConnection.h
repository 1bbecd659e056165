#pragma once

#include "platform/Result.h"
#include "tunnel/ChunkAssembler.h"
#include "tunnel/HTTPTunnelProtocol.h"
#include "tunnel/WebRTCClient.h"

#include <QElapsedTimer>
#include <QHash>
#include <functional>
#include <QNetworkRequest>
#include <QCoro/QCoroTask>
#include <QObject>
#include <QPointer>
#include <QUrl>
#include <chrono>
#include <memory>

class QNetworkAccessManager;

namespace tavrolin {

class DeviceRegistry;
class WebRTCTunnelServer;

// Bounds and places for one session's requests. Production uses the
// defaults; tests shrink them.
struct TunnelSessionConfig {
    WebRTCConfig webrtc;
    int maxRequestsInFlight = 32;
    int maxQueuedRequests = 256; // past the in-flight bound, waiting their turn
    // Responses above this many bytes go through a temporary file, like media.
    qint64 memoryThreshold = 10 * 1024 * 1024;
    std::chrono::milliseconds requestTimeout{60000};
    QString tempDir; // empty: the user's temporary folder
    // Downloads through a temporary file stop short of leaving less than
    // this free where it is (it usually shares a disk with other programs,
    // and with the uploads' own temporary files).
    qint64 keepFreeBytes = 256LL * 1024 * 1024;
    std::function<qint64(const QString &folder)> freeBytes = {}; // empty: asked of the file system
};

// Error codes of our own in error messages; network failures carry the
// network layer's codes (QNetworkReply::NetworkError) unchanged.
namespace TunnelErrorCode {
constexpr qint64 BadURL = -1000;
constexpr qint64 BadServerResponse = -1011;
constexpr qint64 CannotParseResponse = -1017;
constexpr qint64 CannotOpenFile = -3000;
constexpr qint64 CannotWriteFile = -3003;
constexpr qint64 TooManyRequests = 429;
} // namespace TunnelErrorCode

// One remote session: its peer connection, its chunk reassembly, the
// channels the remote opened, and the requests that arrive on them. Requests
// go to the loopback gateway (or the in-process API) and their answers go
// back on the channel they came on.
class ClientConnection : public QObject {
    Q_OBJECT
public:
    ClientConnection(QString sessionId, QString clientDeviceId, int localServerPort, QNetworkAccessManager &network,
                     DeviceRegistry &registry, TunnelSessionConfig config, QObject *parent = nullptr);
    // Cancels the requests still running and removes their temporary files.
    ~ClientConnection() override;

    const QString sessionId;
    const QString clientDeviceId;
    const int localServerPort;
    QPointer<WebRTCTunnelServer> delegate;
    // The session's progress, as the tunnel server tracks it.
    QElapsedTimer sinceOffer;
    bool offerApplied = false;
    bool everConnected = false;
    static bool hasConnected(const ClientConnection *c) { return c->everConnected; }

    WebRTCClient &webRTCClient() { return *m_client; }
    ChunkAssembler &chunkAssembler() { return m_assembler; }
    const QHash<QString, DataChannelPtr> &dataChannels() const { return m_dataChannels; }
    int requestsInFlight() const;

    // The request as it goes to the gateway at base; an error text when the
    // request may not go there at all.
    static Result<QNetworkRequest> toURLRequest(const HTTPTunnelProtocol::TunnelRequest &request,
                                                               const QUrl &base, std::chrono::milliseconds timeout);
    static bool isStreamedMedia(const HTTPTunnelProtocol::TunnelRequest &request);

    // What the in-process API answers, as a whole response.
    static QCoro::Task<HTTPTunnelProtocol::TunnelResponse> apiResponse(HTTPTunnelProtocol::TunnelRequest request,
                                                                       DeviceRegistry &registry, QString source);

    // What the session's running requests share with it (internal).
    struct Shared;

private:
    void didOpenDataChannel(const DataChannelPtr &channel);
    void didReceiveData(const QByteArray &data, const DataChannelPtr &channel);

    std::unique_ptr<WebRTCClient> m_client;
    ChunkAssembler m_assembler;
    QHash<QString, DataChannelPtr> m_dataChannels;
    std::shared_ptr<Shared> m_shared;
};

} // namespace tavrolin
