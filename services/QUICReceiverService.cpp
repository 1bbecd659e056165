#include "services/QUICReceiverService.h"

#include <QCryptographicHash>
#include <QIODevice>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <deque>

#include "platform/DiagnosticLog.h"
#include "platform/Lifetime.h"
#include "s3/GatewayPut.h"
#include "s3/S3Gateway.h"
#include "s3/S3ObjectUrl.h"

namespace tavrolin {

namespace {

void quicLog(const QString &line) { diagLog(QStringLiteral("QUIC: ") + line); }

const QByteArray kOk = "OK";
const QByteArray kStoreFailed = "ERROR: Failed to store file";
const QByteArray kBadLength = "ERROR: Invalid header length";
const QByteArray kBadHeader = "ERROR: Invalid header";
const QString kConnectionClosed = QStringLiteral("Connection closed unexpectedly");
// Whole bodies kept for the store after their devices left, at most.
constexpr size_t kMaxSettling = 256;
constexpr quint64 kStopSendingCode = 0x100;
// The gateway taking no byte of a waiting body, or not answering, this long
// fails the file.
constexpr int kGatewayTimeoutMs = 60000;

} // namespace

// The upload loop of one QUIC stream: length, header, body, reply, again,
// until the device finishes its side or sends something invalid.
class UploadStream : public QObject {
    Q_OBJECT
public:
    UploadStream(QUICReceiverService &service, QuicConnection &connection, int64_t streamId)
        : m_service(service), m_connection(&connection), m_streamId(streamId), m_source(sourceOf(connection))
    {
        m_stallTimer.setSingleShot(true);
        m_stallTimer.setInterval(m_service.m_config.bodyTimeoutMs);
        connect(&m_stallTimer, &QTimer::timeout, this, &UploadStream::stalled);
    }
    ~UploadStream() override
    {
        abortUpload();
        releaseSlot();
        holdConnection(false);
    }

    static QString sourceOf(const QuicConnection &connection) { return connection.remoteAddress().toString(); }
    const QString &source() const { return m_source; }

    void feed(const QByteArray &bytes, bool fin)
    {
        if (m_state == State::Ended) {
            // Nothing is kept of a stream that is over, and its bytes must
            // not keep the connection's window shut for the other streams.
            consume(bytes.size());
            return;
        }
        m_frames.append(bytes);
        m_peerFinished = m_peerFinished || fin;
        if (m_state == State::Queued || m_state == State::Waiting) {
            // Kept for later, but handed back to the connection's window at
            // once: streams that wait must not starve those being stored
            // (at most one stream window each is held this way).
            if (m_connection)
                m_connection->creditConnection(quint64(bytes.size()));
            m_credited += bytes.size();
        }
        if (!bytes.isEmpty() && m_stallTimer.isActive())
            m_stallTimer.start();
        process();
    }
    // The gateway has room for this stream's PUT.
    void slotGranted()
    {
        if (m_state != State::Queued)
            return;
        m_hasSlot = true;
        startUpload();
        process();
    }
    bool ended() const { return m_state == State::Ended; }
    // The device or the network ended the stream or the connection. A file
    // whose every byte has arrived is still stored (the device may have
    // closed without waiting for the reply); only a body cut short is
    // dropped. True while such a file is still on its way to the store.
    bool peerGone()
    {
        if (m_state == State::Ended)
            return false;
        m_peerLeft = true;
        if (m_state == State::Waiting && !m_uploadDone) {
            consume(m_frames.discard());
            return true;
        }
        if (m_state == State::Queued && m_frames.buffered() >= m_frames.remaining() && m_service.m_settling.size() < kMaxSettling) {
            // The whole body is here, waiting for the gateway.
            consume(m_frames.keepOnlyBody());
            return true;
        }
        // What is dropped goes back to the window (a reset stream's
        // connection lives on).
        consume(m_frames.discard());
        if (m_state != State::Framing || m_frames.readingHeader())
            quicLog(QStringLiteral("Receive error - ") + kConnectionClosed);
        stop();
        return false;
    }

private:
    enum class State { Framing, Queued, Body, Waiting, Ended };

    void consume(qint64 bytes)
    {
        const qint64 credited = qMin(bytes, m_credited);
        m_credited -= credited;
        if (m_connection)
            m_connection->consume(m_streamId, quint64(bytes), quint64(credited));
    }
    void reply(const QByteArray &text, bool last)
    {
        if (m_connection)
            m_connection->send(m_streamId, text, last);
    }
    void end(const QByteArray &text)
    {
        stop();
        consume(m_frames.discard());
        reply(text, true);
        // Nothing more is read; the device learns it at once.
        if (m_connection)
            m_connection->stopReading(m_streamId, kStopSendingCode);
    }
    void receiveErrorEnd()
    {
        quicLog(QStringLiteral("Receive error - ") + kConnectionClosed);
        stop();
        // Our side ends too; the stream is done.
        reply({}, true);
    }

    void process()
    {
        while (m_state != State::Ended) {
            switch (m_state) {
            case State::Framing: {
                qint64 read = 0;
                const UploadFrameReader::Frame frame = m_frames.readFrame(read);
                consume(read);
                if (frame == UploadFrameReader::Frame::BadLength) {
                    quicLog(QStringLiteral("Invalid header length: %1").arg(m_frames.headerLength()));
                    end(kBadLength);
                    return;
                }
                if (frame == UploadFrameReader::Frame::BadHeader) {
                    quicLog(QStringLiteral("Failed to decode header"));
                    end(kBadHeader);
                    return;
                }
                if (frame == UploadFrameReader::Frame::NeedMore) {
                    if (m_peerFinished && m_frames.buffered() == 0 && !m_frames.readingHeader()) {
                        // The device is done, between two files.
                        m_state = State::Ended;
                        reply({}, true);
                    } else if (m_peerFinished) {
                        receiveErrorEnd();
                    } else if (m_frames.readingHeader() && !m_stallTimer.isActive()) {
                        m_stallTimer.start();
                    }
                    return;
                }
                m_header = m_frames.header();
                quicLog(QStringLiteral("Receiving %1 (%2 bytes)").arg(m_header.key).arg(m_header.size));
                m_stallTimer.stop();
                // From here the device waits on us: the connection must
                // not go idle while the file queues for or goes to the store.
                holdConnection(true);
                m_state = State::Queued;
                if (m_service.takeGatewaySlot(this)) {
                    m_hasSlot = true;
                    startUpload();
                }
                break;
            }
            case State::Queued:
                // The body waits, unconsumed, until the gateway has room.
                return;
            case State::Body: {
                const QByteArray piece = m_frames.takeBody();
                const qint64 n = piece.size();
                if (n > 0) {
                    m_md5.addData(piece);
                    if (m_sha256)
                        m_sha256->addData(piece);
                    // Consumed as the PUT takes it; drained if the PUT has
                    // already failed.
                    if (!m_put || !m_put->append(piece))
                        consume(n);
                }
                if (m_frames.remaining() > 0) {
                    if (m_peerFinished)
                        receiveErrorEnd();
                    return;
                }
                m_stallTimer.stop();
                m_state = State::Waiting;
                if (!m_uploadDone)
                    return;
                finishFile();
                break;
            }
            case State::Waiting:
                // The next file's bytes wait, unconsumed, until this one is
                // stored: flow control holds the device back meanwhile.
                return;
            case State::Ended:
                return;
            }
        }
    }

    void startUpload()
    {
        m_state = State::Body;
        m_stallTimer.start();
        m_uploadDone = false;
        m_uploadOk = false;
        m_md5.reset();
        m_sha256.reset();
        if (m_header.sha256)
            m_sha256.emplace(QCryptographicHash::Sha256);
        const auto url = S3ObjectUrl::objectUrl(m_service.s3BaseUrl(), m_header.bucket, m_header.key);
        if (!url) {
            quicLog(QStringLiteral("Invalid S3 URL for %1/%2").arg(m_header.bucket, m_header.key));
            m_uploadDone = true;
            releaseSlot();
            return;
        }
        // The body goes from the stream's buffers into the gateway's
        // socket on this thread, as it arrives.
        m_put = new GatewayPut(m_service.gatewayConnections(), *url, m_header.size, m_header.contentType, kGatewayTimeoutMs, this);
        connect(m_put, &GatewayPut::consumed, this, [this](qint64 n) {
            consume(n);
            // The window opened: the device may send again, and has its
            // full time to.
            if (m_stallTimer.isActive())
                m_stallTimer.start();
        });
        connect(m_put, &GatewayPut::finished, this, &UploadStream::uploadFinished);
    }

    void uploadFinished()
    {
        GatewayPut *put = std::exchange(m_put, nullptr);
        if (!put)
            return;
        put->deleteLater();
        const GatewayResult &result = put->result();
        if (result.status >= 0) {
            // A 2xx whose transfer broke off is not a stored file.
            m_uploadOk = (result.status == 200 || result.status == 201) && result.error.isEmpty();
            if (!m_uploadOk)
                quicLog(result.error.isEmpty() ? QStringLiteral("S3 PUT failed with status %1").arg(result.status)
                                               : QStringLiteral("S3 PUT error - %1").arg(result.error));
        } else {
            quicLog(QStringLiteral("S3 PUT error - %1").arg(result.error));
        }
        releaseSlot();
        // Whatever the store did not take is drained, so the next file can
        // follow on this stream.
        consume(put->buffered());
        const QString mismatch = m_uploadOk ? integrityProblem(put->etag()) : QString();
        if (mismatch.isEmpty()) {
            uploadSettled();
            return;
        }
        // What the store holds is not what the device sent: it goes before
        // the device hears, so that a retry of the same key is never removed.
        m_uploadOk = false;
        quicLog(QStringLiteral("Stored %1 does not match what was sent (%2); removing it").arg(m_header.key, mismatch));
        const auto url = S3ObjectUrl::objectUrl(m_service.s3BaseUrl(), m_header.bucket, m_header.key);
        [](UploadStream *self, Lifetime::Guard alive, S3Gateway gateway, QUrl url) -> QCoro::Task<> {
            const GatewayResult removed = co_await gateway.send("DELETE", url);
            if (!removed.ok())
                quicLog(QStringLiteral("Could not remove the mismatched object - ")
                        + (removed.error.isEmpty() ? QStringLiteral("HTTP %1").arg(removed.status) : removed.error));
            if (alive)
                self->uploadSettled();
        }(this, m_lifetime.guard(), S3Gateway(m_service.m_network, 60000), url.value_or(QUrl()));
    }

    // Why the stored object is not the body that arrived, empty when it is:
    // the gateway's ETag of a single PUT is the body's MD5, and a device may
    // name the body's SHA-256 itself.
    QString integrityProblem(const QByteArray &etag) const
    {
        if (m_sha256 && m_sha256->result().toHex() != *m_header.sha256)
            return QStringLiteral("SHA-256 differs from the device's");
        return S3Gateway::integrityProblem(etag, m_md5.result());
    }

    void uploadSettled()
    {
        m_uploadDone = true;
        if (m_state == State::Waiting)
            finishFile();
        process();
    }

    void finishFile()
    {
        holdConnection(false);
        if (m_uploadOk) {
            m_service.fileStored(m_header.size);
            quicLog(QStringLiteral("Successfully stored ") + m_header.key);
        } else {
            quicLog(QStringLiteral("Failed to store ") + m_header.key);
        }
        m_state = State::Framing;
        if (m_peerLeft) {
            // Nobody to read a reply or send another file: our side ends too.
            reply({}, true);
            m_state = State::Ended;
            m_service.streamSettled(this);
            return;
        }
        reply(m_uploadOk ? kOk : kStoreFailed, false);
    }

    // No byte for the body time-out while the device was free to send: the
    // file is given up and the stream ends, so that what it held is freed.
    void stalled()
    {
        if (m_put && m_put->buffered() > 0) {
            m_stallTimer.start(); // the store is slow, not the device
            return;
        }
        const QString seconds = QString::number(m_stallTimer.interval() / 1000.0);
        if (m_state == State::Body)
            quicLog(QStringLiteral("Upload of %1 stopped: no data for %2 s").arg(m_header.key, seconds));
        else
            quicLog(QStringLiteral("Upload stopped before its header arrived: no data for %1 s").arg(seconds));
        end(kStoreFailed);
    }

    // The stream is over: its PUT, its gateway slot, its hold on the
    // connection and its timer go.
    void stop()
    {
        abortUpload();
        releaseSlot();
        holdConnection(false);
        m_stallTimer.stop();
        m_state = State::Ended;
    }

    void releaseSlot()
    {
        if (m_hasSlot || m_state == State::Queued)
            m_service.releaseGatewaySlot(this, std::exchange(m_hasSlot, false));
    }

    void holdConnection(bool hold)
    {
        if (m_holding == hold)
            return;
        m_holding = hold;
        if (m_connection)
            m_connection->hold(hold);
    }

    // A body cut short must leave nothing in the store: the PUT is aborted
    // before its last byte, so the engine never completes the object.
    void abortUpload()
    {
        GatewayPut *put = std::exchange(m_put, nullptr);
        if (!put)
            return;
        consume(put->buffered()); // never to be sent: back to the window
        disconnect(put, nullptr, this, nullptr);
        put->abort();
        put->deleteLater();
    }

    QUICReceiverService &m_service;
    QPointer<QuicConnection> m_connection;
    int64_t m_streamId;
    QString m_source;
    QTimer m_stallTimer;
    bool m_hasSlot = false;
    bool m_holding = false;
    qint64 m_credited = 0; // of what m_frames holds, already handed back to the connection's window
    State m_state = State::Framing;
    UploadFrameReader m_frames;
    bool m_peerFinished = false;
    UploadHeader m_header; // kept past the reader's next header: the store's answer may come after it
    GatewayPut *m_put = nullptr; // a child, deleted from the event loop (it may be the sender)
    bool m_uploadDone = false;
    bool m_uploadOk = false;
    bool m_peerLeft = false;
    QCryptographicHash m_md5{QCryptographicHash::Md5};
    std::optional<QCryptographicHash> m_sha256;
    Lifetime m_lifetime;
};

QUICReceiverService::QUICReceiverService(ServerIdentity &identity, QuicReceiverConfig config, QObject *parent)
    : QObject(parent), m_identity(identity), m_config(std::move(config))
{
    m_network.setProxy(QNetworkProxy::NoProxy);
    m_retryTimer.setSingleShot(true);
    connect(&m_retryTimer, &QTimer::timeout, this, [this] { startListening(m_s3Port); });
}

QUICReceiverService::~QUICReceiverService()
{
    m_streams.clear();
    m_settling.clear();
    m_server.reset();
    m_sources.clear();
}

void QUICReceiverService::startListening(int s3Port)
{
    if (m_isListening) {
        quicLog(QStringLiteral("Already listening"));
        return;
    }
    m_stopping = false;
    if (!m_gatewayConnections || m_s3Port != s3Port)
        m_gatewayConnections = std::make_unique<GatewayConnections>(s3Port);
    m_s3Port = s3Port;
    const std::optional<TlsIdentity> identity = m_identity.identity();
    if (identity)
        quicLog(QStringLiteral("Server identity set on QUIC options"));
    else
        quicLog(QStringLiteral("WARNING - No server identity, QUIC will fail"));

    auto server = std::make_unique<QuicServer>();
    connect(server.get(), &QuicServer::newConnection, this, &QUICReceiverService::onNewConnection);
    connect(server.get(), &QuicServer::connectionClosed, this, &QUICReceiverService::onConnectionClosed);
    connect(server.get(), &QuicServer::connectionRefused, this, [](const QString &endpoint, const QString &reason) {
        quicLog(QStringLiteral("Connection refused from %1 - %2").arg(endpoint, reason));
    });
    m_server = std::move(server);
    quicLog(QStringLiteral("Starting listener on port %1").arg(m_config.port));
    const QString error = m_server->listen(m_config.address, m_config.port, identity, QByteArray(kAlpn), m_config.quic);
    if (!error.isEmpty()) {
        listenerFailed(error);
        return;
    }
    setListening(true);
    m_retryCount = 0;
    quicLog(QStringLiteral("Listener ready on port %1").arg(m_server->port()));
}

void QUICReceiverService::listenerFailed(const QString &reason)
{
    setListening(false);
    quicLog(QStringLiteral("Listener failed - ") + reason);
    if (m_server) {
        m_server->disconnect(this);
        m_server->deleteLater();
        m_server.release();
    }
    if (m_retryCount >= kMaxRetries) {
        quicLog(QStringLiteral("Max retries reached, QUIC disabled"));
        return;
    }
    ++m_retryCount;
    quicLog(QStringLiteral("Will retry (%1/%2) in %3 seconds...").arg(m_retryCount).arg(kMaxRetries).arg(m_config.retryDelayMs / 1000));
    m_retryTimer.start(m_config.retryDelayMs);
}

void QUICReceiverService::stopListening()
{
    // A stopped server must not come back to life from a pending retry.
    m_retryTimer.stop();
    m_stopping = true;
    if (m_server) {
        m_server->close();
        m_server.reset();
    }
    m_streams.clear();
    m_settling.clear();
    m_gatewayQueue.clear();
    // Kept connections go with the last PUT; a stopped receiver holds none.
    m_gatewayConnections.reset();
    for (auto &[address, source] : m_sources)
        source.connections = 0;
    for (auto it = m_sources.begin(); it != m_sources.end();)
        forgetIdleSource((it++)->first);
    setListening(false);
    setActiveConnections(0);
    quicLog(QStringLiteral("Stopped listening"));
}

bool QUICReceiverService::takeGatewaySlot(UploadStream *stream)
{
    Source &source = m_sources[stream->source()];
    if (source.puts >= kMaxPutsPerSource || m_puts >= kMaxPuts) {
        m_gatewayQueue.push_back(stream);
        return false;
    }
    admit(source);
    return true;
}

void QUICReceiverService::admit(Source &source)
{
    ++source.puts;
    ++m_puts;
}

void QUICReceiverService::releaseGatewaySlot(UploadStream *stream, bool held)
{
    if (!held) {
        std::erase(m_gatewayQueue, stream);
        forgetIdleSource(stream->source());
        return;
    }
    --m_sources[stream->source()].puts;
    --m_puts;
    forgetIdleSource(stream->source());
    // Granted from the event loop: the caller may be in the middle of
    // tearing its own stream down.
    if (!m_gatewayQueue.empty())
        QMetaObject::invokeMethod(this, &QUICReceiverService::grantWaiting, Qt::QueuedConnection);
}

void QUICReceiverService::grantWaiting()
{
    for (auto it = m_gatewayQueue.begin(); it != m_gatewayQueue.end() && m_puts < kMaxPuts;) {
        UploadStream *stream = *it;
        Source &source = m_sources[stream->source()];
        if (source.puts >= kMaxPutsPerSource) {
            ++it;
            continue;
        }
        it = m_gatewayQueue.erase(it);
        admit(source);
        stream->slotGranted();
        // The grant may have ended streams and changed the queue.
        it = m_gatewayQueue.begin();
    }
}

void QUICReceiverService::forgetIdleSource(const QString &address)
{
    const auto it = m_sources.find(address);
    if (it == m_sources.end() || it->second.puts > 0 || it->second.connections > 0)
        return;
    if (std::any_of(m_gatewayQueue.begin(), m_gatewayQueue.end(), [&](UploadStream *s) { return s->source() == address; }))
        return;
    m_sources.erase(it);
}

void QUICReceiverService::onNewConnection(QuicConnection *connection)
{
    m_streams[connection];
    ++m_sources[UploadStream::sourceOf(*connection)].connections;
    setActiveConnections(int(m_streams.size()));
    quicLog(QStringLiteral("New connection from ") + connection->remoteEndpoint());
    connect(connection, &QuicConnection::handshakeCompleted, this,
            [connection] { quicLog(QStringLiteral("Connection ready from ") + connection->remoteEndpoint()); });
    // The handlers look the connection up, never add it: a signal that
    // came after its close must not bring it back as a connection no one
    // will ever close.
    connect(connection, &QuicConnection::streamOpened, this, [this, connection](int64_t id) {
        // Client-initiated bidirectional streams only (id % 4 == 0).
        const auto known = m_streams.find(connection);
        if (id % 4 != 0 || known == m_streams.end())
            return;
        auto &streams = known->second;
        // Streams whose loop has ended go as new ones come.
        std::erase_if(streams, [](const auto &entry) { return entry.second->ended(); });
        if (!streams.count(id))
            streams[id] = std::make_unique<UploadStream>(*this, *connection, id);
    });
    connect(connection, &QuicConnection::streamData, this, [this, connection](int64_t id, const QByteArray &bytes, bool fin) {
        const auto known = m_streams.find(connection);
        if (known == m_streams.end())
            return;
        auto &streams = known->second;
        const auto it = streams.find(id);
        if (it != streams.end())
            it->second->feed(bytes, fin);
        else
            connection->consume(id, quint64(bytes.size())); // a stream already over: its bytes go
    });
    connect(connection, &QuicConnection::streamReset, this, [this, connection](int64_t id) {
        const auto known = m_streams.find(connection);
        if (known == m_streams.end())
            return;
        auto &streams = known->second;
        if (const auto it = streams.find(id); it != streams.end())
            it->second->peerGone();
    });
}

void QUICReceiverService::onConnectionClosed(QuicConnection *connection, const QString &reason)
{
    const auto it = m_streams.find(connection);
    if (it == m_streams.end())
        return;
    for (auto &[id, stream] : it->second) {
        if (stream->peerGone())
            m_settling.push_back(std::move(stream));
    }
    m_streams.erase(it);
    const QString source = UploadStream::sourceOf(*connection);
    --m_sources[source].connections;
    forgetIdleSource(source);
    if (m_stopping)
        quicLog(QStringLiteral("Connection cancelled"));
    else
        quicLog(QStringLiteral("Connection failed - ") + reason);
    setActiveConnections(int(m_streams.size()));
}

void QUICReceiverService::streamSettled(UploadStream *stream)
{
    // Called from the stream's own reply handler: it goes once that returns.
    QMetaObject::invokeMethod(
        this,
        [this, stream] {
            std::erase_if(m_settling, [stream](const std::unique_ptr<UploadStream> &s) { return s.get() == stream; });
        },
        Qt::QueuedConnection);
}

void QUICReceiverService::fileStored(qint64 bytes)
{
    m_totalBytesReceived += bytes;
    ++m_filesReceived;
    Q_EMIT totalBytesReceivedChanged();
    Q_EMIT filesReceivedChanged();
}

void QUICReceiverService::setListening(bool listening)
{
    if (m_isListening == listening)
        return;
    m_isListening = listening;
    Q_EMIT isListeningChanged();
}

void QUICReceiverService::setActiveConnections(int count)
{
    if (m_activeConnections == count)
        return;
    m_activeConnections = count;
    Q_EMIT activeConnectionsChanged();
}

} // namespace tavrolin

#include "QUICReceiverService.moc"
