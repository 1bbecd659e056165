#include "tunnel/ClientConnection.h"

#include <QCoroNetworkReply>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QScopeGuard>
#include <QStorageInfo>
#include <QSet>
#include <QStringDecoder>
#include <QTimer>
#include <QUuid>
#include <cmath>
#include <deque>

#include "platform/DiagnosticLog.h"
#include "platform/Validators.h"
#include "s3/S3Gateway.h"
#include "services/ApiRouter.h"
#include "services/DeviceRegistry.h"
#include "tunnel/FileChunkReader.h"
#include "tunnel/WebRTCTunnelServer.h"

namespace tavrolin {

using namespace HTTPTunnelProtocol;

namespace {

void log(const QString &line) { diagLog(QStringLiteral("WebRTCTunnelServer: ") + line); }

const QString kSeparator = QStringLiteral("========================================");

constexpr qint64 kFetchBufferBytes = 1024 * 1024;

std::optional<QString> strictUtf8(const QByteArray &bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8);
    QString text = decoder(bytes);
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

Headers textHeaders(const QNetworkReply &reply)
{
    Headers headers;
    for (const auto &[name, value] : reply.rawHeaderPairs()) {
        const auto n = strictUtf8(name), v = strictUtf8(value);
        if (n && v)
            headers.insert(*n, *v);
    }
    return headers;
}

} // namespace

struct ClientConnection::Shared {
    QPointer<QNetworkAccessManager> network;
    QPointer<DeviceRegistry> registry;
    TunnelSessionConfig config;
    int port = 0;
    bool ended = false;
    int inFlight = 0;
    // Requests past the in-flight bound, in arrival order.
    std::deque<std::pair<HTTPTunnelProtocol::TunnelRequest, DataChannelPtr>> waiting;
    QSet<QNetworkReply *> replies;
    QSet<QString> tempFiles;

    QString tempDir() const { return config.tempDir.isEmpty() ? QDir::tempPath() : config.tempDir; }
    // A temporary file of the session that is done with; an empty name is none.
    void removeTempFile(const QString &file)
    {
        if (file.isEmpty())
            return;
        QFile::remove(file);
        tempFiles.remove(file);
    }
};

namespace {

constexpr qint64 kMaxQueuedBodyBytes = 64LL * 1024 * 1024;

struct Failure {
    qint64 code = 0;
    QString message;
};

// What came back from the gateway: the body in memory, or in a file.
struct Fetched {
    int status = 0;
    Headers headers;
    QByteArray body;
    QString file; // non-empty: the body is in this temporary file
    qint64 size = 0;
};

} // namespace

// ---- sending ----------------------------------------------------------------

namespace {

bool sendError(const DataChannelPtr &channel, const QString &label, const QString &id, const Failure &failure)
{
    log(QStringLiteral("Request failed on '%1' - %2").arg(label, failure.message));
    const auto header = encodeErrorHeader({id, failure.code, failure.message});
    if (!header)
        return false;
    const auto message = encodeMessage(MessageType::Error, *header, {});
    if (!message)
        return false;
    if (!channel || !channel->isOpen()) {
        diagLog(QStringLiteral("WebRTC: Channel '%1' not open").arg(label));
        return false;
    }
    return channel->sendBinary(*message);
}

QCoro::Task<bool> sendResponse(TunnelResponse response, DataChannelPtr channel, QString label, DrainPolicy policy)
{
    auto messages = responseMessages(response);
    if (!messages) {
        // The device is waiting for this id: it hears why instead.
        sendError(channel, label, response.id,
                  {TunnelErrorCode::CannotParseResponse,
                   QStringLiteral("The response cannot be framed: ") + describe(messages.error())});
        co_return false;
    }
    QList<QByteArray> list = std::move(messages).value();
    log(QStringLiteral("Sending response in %1 chunk(s) on '%2'").arg(list.size()).arg(label));
    const bool sent = co_await sendChunksDraining(channel.get(), std::move(list), policy, ChannelNaming::ByLabel);
    if (!sent)
        log(QStringLiteral("Failed to send response on '%1'").arg(label));
    co_return sent;
}

// The body in the file goes out as chunk messages of the response, read back
// a chunk at a time as the channel drains.
QCoro::Task<bool> sendFile(QString path, QByteArray header, DataChannelPtr channel, QString label, QString requestId,
                           DrainPolicy policy, std::shared_ptr<ClientConnection::Shared> s)
{
    FileChunkReader reader(path, MessageType::Response, std::move(header),
                           QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper());
    if (!reader.open()) {
        // Nothing has gone out yet, so the client can still be told.
        sendError(channel, label, requestId, {TunnelErrorCode::CannotOpenFile, reader.errorString()});
        co_return false;
    }
    const qint64 totalChunks = reader.totalChunks();
    const qint64 size = reader.bodySize();
    log(QStringLiteral("Sending file in %1 chunks (file: %2 bytes)").arg(totalChunks).arg(size));
    while (!reader.atEnd()) {
        const qint64 index = reader.nextIndex();
        std::optional<QByteArray> message = reader.next();
        bool sent = false;
        if (message && !s->ended)
            sent = co_await sendDraining(channel.get(), std::move(*message), policy, ChannelNaming::ByLabel);
        if (!sent) {
            log(QStringLiteral("Failed to send chunk %1/%2").arg(index + 1).arg(totalChunks));
            co_return false;
        }
        if (totalChunks > 100 && index % 1000 == 0)
            log(QStringLiteral("Sent %1/%2 chunks (%3%)")
                    .arg(index + 1)
                    .arg(totalChunks)
                    .arg(size > 0 ? reader.bytesRead() * 100 / size : 100));
    }
    log(QStringLiteral("Finished sending %1 chunks (%2 bytes)").arg(totalChunks).arg(size));
    co_return true;
}

} // namespace

// ---- the request ------------------------------------------------------------

Result<QNetworkRequest> ClientConnection::toURLRequest(const TunnelRequest &request, const QUrl &base,
                                                                      std::chrono::milliseconds timeout)
{
    // Only a path on the gateway: whatever the text says, the scheme, host
    // and port are the base's.
    if (!request.path.startsWith(u'/'))
        return Unexpected{QStringLiteral("The request path must begin with \"/\"")};
    if (Validators::hasControlCharacters(request.path))
        return Unexpected{QStringLiteral("The request path holds control characters")};
    QUrl url = base;
    const qsizetype question = request.path.indexOf(u'?');
    const QString path = question < 0 ? request.path : request.path.left(question);
    url.setPath(path, QUrl::TolerantMode);
    if (question >= 0)
        url.setQuery(request.path.mid(question + 1), QUrl::TolerantMode);
    if (!url.isValid() || url.scheme() != base.scheme() || url.host() != base.host() || url.port() != base.port()
        || !url.userInfo().isEmpty() || url.hasFragment())
        return Unexpected{QStringLiteral("bad URL")};
    QNetworkRequest out = S3Gateway::request(url, int(timeout.count()));
    for (auto it = request.headers.begin(); it != request.headers.end(); ++it) {
        const QString &name = it.key();
        // Host never goes through; the message framing is the network
        // layer's to write, and a header with a line break would smuggle
        // another one in.
        static const QStringList kept = {QStringLiteral("host"), QStringLiteral("content-length"),
                                         QStringLiteral("transfer-encoding"), QStringLiteral("connection")};
        if (kept.contains(name.toLower()) || name.isEmpty() || Validators::hasControlCharacters(name) || Validators::hasControlCharacters(it.value()))
            continue;
        out.setRawHeader(name.toUtf8(), it.value().toUtf8());
    }
    return out;
}

bool ClientConnection::isStreamedMedia(const TunnelRequest &request)
{
    if (request.method != QLatin1String("GET"))
        return false;
    static const QStringList extensions = {"mp4", "mov", "m4v", "avi", "mkv", "webm", "heic", "jpg", "jpeg", "png", "gif"};
    const QString path = request.path.toLower();
    for (const QString &ext : extensions) {
        if (path.endsWith(u'.' + ext))
            return true;
    }
    return false;
}

QCoro::Task<TunnelResponse> ClientConnection::apiResponse(TunnelRequest request, DeviceRegistry &registry, QString source)
{
    ApiRequest apiRequest{request.method.toUtf8(), request.path.toUtf8(), request.body.value_or(QByteArray()), std::move(source)};
    const ApiResponse answer = co_await ApiRouter(registry).route(std::move(apiRequest), ApiTransport::Tunnel);
    co_return TunnelResponse{request.id, answer.status, {{QStringLiteral("Content-Type"), QStringLiteral("application/json")}},
                             answer.bodyBytes(), {}};
}

namespace {

// Sends the request and collects the answer: in memory, or in a temporary
// file once it is media or grows past the threshold.
QCoro::Task<Result<Fetched, Failure>> fetch(std::shared_ptr<ClientConnection::Shared> s,
                                                        QNetworkRequest networkRequest, TunnelRequest request,
                                                        bool toFile)
{
    if (!s->network)
        co_return Unexpected{Failure{TunnelErrorCode::BadServerResponse, QStringLiteral("The server is shutting down")}};
    QNetworkReply *reply = nullptr;
    QPointer<HashingReader> hashed;
    if (!request.bodyFile.isEmpty()) {
        auto file = std::make_unique<QFile>(request.bodyFile);
        if (!file->open(QIODevice::ReadOnly))
            co_return Unexpected{Failure{TunnelErrorCode::CannotOpenFile, file->errorString()}};
        auto *upload = new HashingReader(std::move(file));
        hashed = upload;
        networkRequest.setHeader(QNetworkRequest::ContentLengthHeader, upload->size());
        reply = s->network->sendCustomRequest(networkRequest, request.method.toUtf8(), upload);
        upload->setParent(reply);
    } else if (request.method == QLatin1String("HEAD")) {
        // A custom HEAD would wait for the body its Content-Length names.
        reply = s->network->head(networkRequest);
    } else if (request.body) {
        reply = s->network->sendCustomRequest(networkRequest, request.method.toUtf8(), *request.body);
    } else {
        reply = s->network->sendCustomRequest(networkRequest, request.method.toUtf8());
    }
    // The gateway answers far faster than a channel drains; without a bound
    // the network layer would hold the whole body in memory before we read.
    reply->setReadBufferSize(kFetchBufferBytes);
    s->replies.insert(reply);
    struct Sink {
        QByteArray memory;
        std::unique_ptr<QFile> file;
        QString fileError;
        qint64 size = 0;
    };
    auto sink = std::make_shared<Sink>();
    const qint64 threshold = s->config.memoryThreshold;
    const QString tempDir = s->tempDir();
    std::weak_ptr<ClientConnection::Shared> weak = s;
    const qint64 keepFree = s->config.keepFreeBytes;
    const auto freeBytes = s->config.freeBytes ? s->config.freeBytes
                                               : std::function<qint64(const QString &)>([](const QString &folder) {
                                                     return QStorageInfo(folder).bytesAvailable();
                                                 });
    // Whether the rest of the body (as announced, else what has come) still
    // leaves the reserve free; looked at when the file is made and after
    // every 16 MiB written.
    auto roomFor = [reply, sink, keepFree, freeBytes, tempDir](qint64 coming) {
        const qint64 announced = reply->header(QNetworkRequest::ContentLengthHeader).toLongLong();
        const qint64 rest = std::max(coming, announced - sink->size + coming);
        const qint64 free = freeBytes(tempDir);
        if (free < 0 || free - rest >= keepFree)
            return true;
        sink->fileError = QStringLiteral("Not enough free space for the download in %1 (%2 bytes free, %3 to come, %4 kept free)")
                              .arg(tempDir)
                              .arg(free)
                              .arg(rest)
                              .arg(keepFree);
        reply->abort();
        return false;
    };
    auto drain = [reply, sink, toFile, threshold, tempDir, weak, roomFor] {
        const QByteArray data = reply->readAll();
        if (data.isEmpty() || !sink->fileError.isEmpty())
            return;
        if (!sink->file && (toFile || sink->memory.size() + data.size() > threshold) && !roomFor(sink->memory.size() + data.size()))
            return;
        if (sink->file && (sink->size + data.size()) / (16 << 20) != sink->size / (16 << 20) && !roomFor(data.size()))
            return;
        sink->size += data.size();
        if (!sink->file && (toFile || sink->memory.size() + data.size() > threshold)) {
            const QString path = tempDir + QStringLiteral("/webrtc_stream_")
                                 + QUuid::createUuid().toString(QUuid::WithoutBraces) + QStringLiteral(".tmp");
            sink->file = std::make_unique<QFile>(path);
            if (!sink->file->open(QIODevice::WriteOnly | QIODevice::NewOnly, QFileDevice::ReadOwner | QFileDevice::WriteOwner)) {
                sink->fileError = sink->file->errorString();
                reply->abort();
                return;
            }
            if (auto shared = weak.lock())
                shared->tempFiles.insert(path);
            if (sink->file->write(sink->memory) != sink->memory.size())
                sink->fileError = sink->file->errorString();
            sink->memory.clear();
        }
        if (sink->file) {
            if (sink->fileError.isEmpty() && sink->file->write(data) != data.size())
                sink->fileError = sink->file->errorString();
            if (!sink->fileError.isEmpty())
                reply->abort();
        } else {
            sink->memory += data;
        }
    };
    QObject::connect(reply, &QNetworkReply::readyRead, reply, drain);
    co_await reply;
    drain();
    s->replies.remove(reply);
    reply->deleteLater();
    const auto removeFile = [&] {
        if (sink->file) {
            sink->file->close();
            s->removeTempFile(sink->file->fileName());
        }
    };
    if (s->ended) {
        removeFile();
        co_return Unexpected{Failure{QNetworkReply::OperationCanceledError, QStringLiteral("The session ended")}};
    }
    if (!sink->fileError.isEmpty()) {
        removeFile();
        co_return Unexpected{Failure{TunnelErrorCode::CannotWriteFile, sink->fileError}};
    }
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid()) {
        removeFile();
        if (reply->error() != QNetworkReply::NoError)
            co_return Unexpected{Failure{qint64(reply->error()), reply->errorString()}};
        co_return Unexpected{Failure{TunnelErrorCode::BadServerResponse, QStringLiteral("The server's response was not HTTP")}};
    }
    // A body cut short by the network is not a response to pass on.
    if (reply->error() != QNetworkReply::NoError && reply->error() < QNetworkReply::ContentAccessDenied) {
        removeFile();
        co_return Unexpected{Failure{qint64(reply->error()), reply->errorString()}};
    }
    // A PUT the gateway took must have stored the bytes sent: its ETag is
    // their MD5. What differs is removed before the device hears, and the
    // device is told, so that it sends the file again.
    // Only a plain object PUT: a part's or an encrypted or aws-chunked
    // body's ETag is not the MD5 of the bytes sent.
    const auto header = [&](const char *name) { return networkRequest.hasRawHeader(name); };
    const bool plainPut = request.method == QLatin1String("PUT") && !networkRequest.url().hasQuery()
                          && !header("x-amz-server-side-encryption") && !header("x-amz-server-side-encryption-customer-algorithm")
                          && !networkRequest.rawHeader("x-amz-content-sha256").startsWith("STREAMING-")
                          && !networkRequest.rawHeader("Content-Encoding").contains("aws-chunked");
    const std::optional<QByteArray> md5 = hashed && plainPut ? hashed->md5() : std::nullopt;
    if (md5 && status.toInt() / 100 == 2) {
        if (const QString mismatch = S3Gateway::integrityProblem(reply->rawHeader("ETag"), *md5); !mismatch.isEmpty()) {
            removeFile();
            log(QStringLiteral("Stored object does not match the body sent (%1); removing it").arg(mismatch));
            // (A named result: g++ 12 destroys a temporary twice when
            // co_await sits inside a conditional expression.)
            GatewayResult removed;
            if (s->network) {
                S3Gateway gateway(*s->network, 60000);
                removed = co_await gateway.send("DELETE", networkRequest.url());
            }
            co_return Unexpected{Failure{TunnelErrorCode::BadServerResponse,
                                         QStringLiteral("The stored object did not match the body sent (%1)%2")
                                             .arg(mismatch, removed.ok() ? QStringLiteral("; it was removed")
                                                                         : QStringLiteral("; it could not be removed"))}};
        }
    }
    Fetched fetched{status.toInt(), textHeaders(*reply), std::move(sink->memory), {}, sink->size};
    if (sink->file) {
        sink->file->close();
        fetched.file = sink->file->fileName();
    }
    co_return fetched;
}

// One request, from the channel to the gateway and back. Holds the session's
// shared state, never the connection, so a session that ends under it only
// cancels it.
QCoro::Task<> runRequest(std::shared_ptr<ClientConnection::Shared> s, TunnelRequest request, DataChannelPtr channel)
{
    ++s->inFlight;
    const QString bodyFile = request.bodyFile;
    const auto done = qScopeGuard([s, bodyFile] {
        --s->inFlight;
        s->removeTempFile(bodyFile);
        if (!s->waiting.empty()) {
            // The next waiting request starts from the event loop, not
            // nested in this one's end.
            QTimer::singleShot(0, [weak = std::weak_ptr<ClientConnection::Shared>(s)] {
                const auto shared = weak.lock();
                if (!shared || shared->ended || shared->waiting.empty() || shared->inFlight >= shared->config.maxRequestsInFlight)
                    return;
                auto [next, channel] = std::move(shared->waiting.front());
                shared->waiting.pop_front();
                runRequest(shared, std::move(next), std::move(channel));
            });
        }
    });
    const QString label = channel ? channel->label() : QStringLiteral("default");
    const DrainPolicy policy = s->config.webrtc.drain;

    if (request.path.startsWith(QLatin1String(ApiRouter::kPrefix))) {
        if (!s->registry)
            co_return;
        // Each session is a source of its own for the registry's bound on new devices.
        const QString source = QStringLiteral("tunnel session %1").arg(quintptr(s.get()), 0, 16);
        TunnelResponse response = co_await ClientConnection::apiResponse(request, *s->registry, source);
        if (s->ended)
            co_return;
        co_await sendResponse(std::move(response), channel, label, policy);
        co_return;
    }

    QUrl base;
    base.setScheme(QStringLiteral("http"));
    base.setHost(QStringLiteral("localhost"));
    base.setPort(s->port);
    auto converted = ClientConnection::toURLRequest(request, base, s->config.requestTimeout);
    if (!converted) {
        sendError(channel, label, request.id, {TunnelErrorCode::BadURL, converted.error()});
        co_return;
    }
    QNetworkRequest networkRequest = *converted;
    const bool streamed = ClientConnection::isStreamedMedia(request);
    const QString url = networkRequest.url().toString(QUrl::FullyEncoded);
    log(kSeparator);
    if (streamed) {
        log(QStringLiteral("Executing STREAMING HTTP request:"));
        log(QStringLiteral("  Method: ") + request.method);
        log(QStringLiteral("  URL: ") + url);
    } else {
        log(QStringLiteral("Executing HTTP request:"));
        log(QStringLiteral("  Method: ") + request.method);
        log(QStringLiteral("  URL: ") + url);
        log(QStringLiteral("  Original path from tunnel: ") + request.path);
    }
    log(kSeparator);

    auto result = co_await fetch(s, networkRequest, request, streamed);
    if (!result) {
        const Failure *failure = &result.error();
        if (!s->ended)
            sendError(channel, label, request.id, *failure);
        co_return;
    }
    Fetched fetched = std::move(result).value();
    const auto removeFile = qScopeGuard([&] { s->removeTempFile(fetched.file); });
    if (fetched.file.isEmpty() && streamed && fetched.body.isEmpty()) {
        // Streamed answers always come as chunks: an empty one is a single
        // chunk carrying only the header.
        const auto header = encodeResponseHeader({request.id, fetched.status, fetched.headers});
        Result<QList<QByteArray>, FrameError> chunks = Unexpected{FrameError::HeaderEncodingFailed};
        if (header)
            chunks = createChunks(MessageType::Response, *header, {});
        if (!chunks) {
            sendError(channel, label, request.id,
                      {TunnelErrorCode::CannotParseResponse, QStringLiteral("The response cannot be framed: ") + describe(chunks.error())});
            co_return;
        }
        QList<QByteArray> list = std::move(chunks).value();
        co_await sendChunksDraining(channel.get(), std::move(list), policy, ChannelNaming::ByLabel);
        co_return;
    }
    if (fetched.file.isEmpty()) {
        log(QStringLiteral("Response status: %1").arg(fetched.status));
        log(QStringLiteral("Response body size: %1 bytes").arg(fetched.body.size()));
        if (fetched.body.size() < 2000)
            log(QStringLiteral("Response body: ") + strictUtf8(fetched.body).value_or(QStringLiteral("non-utf8")));
        TunnelResponse response{request.id, fetched.status, fetched.headers, fetched.body, {}};
        co_await sendResponse(std::move(response), channel, label, policy);
        co_return;
    }
    // Through a file: media, and anything too large to hold.
    log(QStringLiteral("Downloaded to file: %1 bytes").arg(fetched.size));
    const auto header = encodeResponseHeader({request.id, fetched.status, fetched.headers});
    if (!header) {
        sendError(channel, label, request.id,
                  {TunnelErrorCode::CannotParseResponse, QStringLiteral("The response header cannot be encoded")});
        co_return;
    }
    log(QStringLiteral("Streaming %1 bytes to client").arg(fetched.size));
    const bool sent = co_await sendFile(fetched.file, *header, channel, label, request.id, policy, s);
    log(sent ? QStringLiteral("Successfully streamed %1 bytes").arg(fetched.size) : QStringLiteral("Failed to stream response"));
}

} // namespace

// ---- the session --------------------------------------------------------------

ClientConnection::ClientConnection(QString session, QString device, int port, QNetworkAccessManager &network,
                                   DeviceRegistry &registry, TunnelSessionConfig config, QObject *parent)
    : QObject(parent),
      sessionId(std::move(session)),
      clientDeviceId(std::move(device)),
      localServerPort(port),
      m_client(std::make_unique<WebRTCClient>(config.webrtc)),
      // Large uploads stay in their file and stream from it into the gateway.
      m_assembler(config.tempDir, {}, {.handOnFiles = true}),
      m_shared(std::make_shared<Shared>())
{
    m_shared->network = &network;
    m_shared->registry = &registry;
    m_shared->config = std::move(config);
    m_shared->port = port;
    connect(m_client.get(), &WebRTCClient::didOpenDataChannel, this, &ClientConnection::didOpenDataChannel);
    connect(m_client.get(), &WebRTCClient::didReceiveData, this, &ClientConnection::didReceiveData);
    m_client->createPeerConnection();
}

ClientConnection::~ClientConnection()
{
    m_shared->ended = true;
    m_shared->waiting.clear();
    const QSet<QNetworkReply *> replies = m_shared->replies;
    for (QNetworkReply *reply : replies)
        reply->abort();
    for (const QString &file : std::as_const(m_shared->tempFiles))
        QFile::remove(file);
    m_shared->tempFiles.clear();
}

int ClientConnection::requestsInFlight() const { return m_shared->inFlight; }

void ClientConnection::didOpenDataChannel(const DataChannelPtr &channel)
{
    log(QStringLiteral("Data channel '%1' opened for %2").arg(channel->label(), sessionId));
    m_dataChannels.insert(channel->label(), channel);
    log(QStringLiteral("Tracking channel '%1' (total: %2)").arg(channel->label()).arg(m_dataChannels.size()));
}

void ClientConnection::didReceiveData(const QByteArray &data, const DataChannelPtr &channel)
{
    const QString label = channel->label();
    auto message = m_assembler.processIncoming(data);
    for (const ChunkAssembler::Refusal &refused : m_assembler.takeRefusals())
        sendError(channel, label, refused.requestId,
                  {TunnelErrorCode::CannotWriteFile, QStringLiteral("The request could not be received: ") + refused.reason});
    if (!message) {
        if (!data.isEmpty() && data[0] == char(MessageType::Chunk))
            log(QStringLiteral("Received chunk on '%1', waiting for more...").arg(label));
        else
            log(QStringLiteral("Failed to deserialize message on '%1'").arg(label));
        return;
    }
    auto *request = std::get_if<TunnelRequest>(&*message);
    if (!request) {
        if (const auto *response = std::get_if<TunnelResponse>(&*message); response && !response->bodyFile.isEmpty())
            QFile::remove(response->bodyFile);
        log(QStringLiteral("Unexpected message type on '%1'").arg(label));
        return;
    }
    log(QStringLiteral("Request %1 received on channel '%2'").arg(request->id, label));
    if (!request->bodyFile.isEmpty())
        m_shared->tempFiles.insert(request->bodyFile); // removed with the session at the latest
    if (m_shared->inFlight >= m_shared->config.maxRequestsInFlight) {
        // A grid of thumbnails asks for them all at once: they wait their
        // turn; only past the queue's bound is a request refused.
        // Bodies held in memory count too: a queue of them must stay small.
        qint64 held = request->body ? request->body->size() : 0;
        for (const auto &[waiting, ch] : m_shared->waiting)
            held += waiting.body ? waiting.body->size() : 0;
        if (int(m_shared->waiting.size()) < m_shared->config.maxQueuedRequests && held <= kMaxQueuedBodyBytes) {
            m_shared->waiting.emplace_back(std::move(*request), channel);
            return;
        }
        m_shared->removeTempFile(request->bodyFile);
        sendError(channel, label, request->id,
                  {TunnelErrorCode::TooManyRequests,
                   QStringLiteral("Too many requests (%1 in flight, %2 waiting)")
                       .arg(m_shared->config.maxRequestsInFlight)
                       .arg(m_shared->config.maxQueuedRequests)});
        return;
    }
    runRequest(m_shared, std::move(*request), channel);
}

} // namespace tavrolin
