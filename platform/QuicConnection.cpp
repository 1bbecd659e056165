#include "platform/QuicConnection.h"

#include <QPointer>
#include <QRandomGenerator>

#include <ngtcp2/ngtcp2_crypto_gnutls.h>

#include <chrono>
#include <cstring>

#include <netinet/in.h>

namespace tavrolin {

namespace {

constexpr size_t kCidLength = 18;
constexpr size_t kMaxPacket = NGTCP2_MAX_PMTUD_UDP_PAYLOAD_SIZE;
// A batch of packets sent in one call: within one UDP datagram's limit.
constexpr size_t kBatchBytes = 60000;
// The system segments at most this many datagrams from one send.
constexpr size_t kMaxSegments = 64;
// Room for a batch of one stream's packets in one piece: allocated once at
// this size and never grown, so that the allocator reuses the same blocks
// instead of mapping fresh memory for every batch.
constexpr size_t kCoalesceReserve = 256 * 1024;
// TLS 1.3 only: QUIC has no other.
constexpr const char *kPriority = "NORMAL:-VERS-ALL:+VERS-TLS1.3:%DISABLE_TLS13_COMPAT_MODE";

void randomBytes(uint8_t *dest, size_t len)
{
    QRandomGenerator *rng = QRandomGenerator::system();
    for (size_t i = 0; i < len; ++i)
        dest[i] = uint8_t(rng->bounded(256));
}

QByteArray cidBytes(const ngtcp2_cid &cid) { return QByteArray(reinterpret_cast<const char *>(cid.data), qsizetype(cid.datalen)); }

ngtcp2_socklen toSockaddr(const QHostAddress &address, quint16 port, ngtcp2_sockaddr_union &out)
{
    std::memset(&out, 0, sizeof out);
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    if (isV4 && address.protocol() == QAbstractSocket::IPv4Protocol) {
        out.in.sin_family = AF_INET;
        out.in.sin_port = htons(port);
        out.in.sin_addr.s_addr = htonl(v4);
        return sizeof(out.in);
    }
    out.in6.sin6_family = AF_INET6;
    out.in6.sin6_port = htons(port);
    const Q_IPV6ADDR v6 = address.toIPv6Address();
    std::memcpy(&out.in6.sin6_addr, v6.c, 16);
    return sizeof(out.in6);
}

} // namespace

QuicConnection::QuicConnection(UdpSocket &socket, const QHostAddress &remote, quint16 remotePort, QObject *parent)
    : QObject(parent), m_socket(socket), m_remote(remote), m_remotePort(remotePort)
{
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &QuicConnection::onTimer);
    m_ref.get_conn = &QuicConnection::connFromRef;
    m_ref.user_data = this;
}

QuicConnection::~QuicConnection()
{
    if (m_conn)
        ngtcp2_conn_del(m_conn);
    if (m_session)
        gnutls_deinit(m_session);
    if (m_clientCredentials)
        gnutls_certificate_free_credentials(m_clientCredentials);
}

ngtcp2_tstamp QuicConnection::now()
{
    return ngtcp2_tstamp(std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch()).count());
}

ngtcp2_conn *QuicConnection::connFromRef(ngtcp2_crypto_conn_ref *ref)
{
    return static_cast<QuicConnection *>(ref->user_data)->m_conn;
}

QString QuicConnection::remoteEndpoint() const
{
    bool isV4 = false;
    const quint32 v4 = m_remote.toIPv4Address(&isV4);
    const QString host = isV4 ? QHostAddress(v4).toString() : m_remote.toString();
    return isV4 ? QStringLiteral("%1:%2").arg(host).arg(m_remotePort) : QStringLiteral("[%1]:%2").arg(host).arg(m_remotePort);
}

void QuicConnection::initPath(ngtcp2_path_storage &storage) const
{
    ngtcp2_sockaddr_union local, remote;
    QHostAddress localAddress = m_socket.localAddress();
    // One socket serves both families: the local side of a path takes the
    // family of its remote side, so paths compare equal packet after packet.
    bool remoteV4 = false;
    m_remote.toIPv4Address(&remoteV4);
    remoteV4 = remoteV4 && m_remote.protocol() == QAbstractSocket::IPv4Protocol;
    if (remoteV4 && localAddress.protocol() != QAbstractSocket::IPv4Protocol)
        localAddress = QHostAddress(QHostAddress::AnyIPv4);
    const ngtcp2_socklen localLen = toSockaddr(localAddress, m_socket.localPort(), local);
    const ngtcp2_socklen remoteLen = toSockaddr(m_remote, m_remotePort, remote);
    ngtcp2_path_storage_init(&storage, &local.sa, localLen, &remote.sa, remoteLen, nullptr);
}

void QuicConnection::setupCallbacks(ngtcp2_callbacks &cb, bool server)
{
    std::memset(&cb, 0, sizeof cb);
    if (server) {
        cb.recv_client_initial = ngtcp2_crypto_recv_client_initial_cb;
    } else {
        cb.client_initial = ngtcp2_crypto_client_initial_cb;
        cb.recv_retry = ngtcp2_crypto_recv_retry_cb;
    }
    cb.recv_crypto_data = ngtcp2_crypto_recv_crypto_data_cb;
    cb.encrypt = ngtcp2_crypto_encrypt_cb;
    cb.decrypt = ngtcp2_crypto_decrypt_cb;
    cb.hp_mask = ngtcp2_crypto_hp_mask_cb;
    cb.update_key = ngtcp2_crypto_update_key_cb;
    cb.delete_crypto_aead_ctx = ngtcp2_crypto_delete_crypto_aead_ctx_cb;
    cb.delete_crypto_cipher_ctx = ngtcp2_crypto_delete_crypto_cipher_ctx_cb;
    cb.get_path_challenge_data = ngtcp2_crypto_get_path_challenge_data_cb;
    cb.version_negotiation = ngtcp2_crypto_version_negotiation_cb;
    cb.recv_stream_data = &QuicConnection::onRecvStreamData;
    cb.stream_open = &QuicConnection::onStreamOpen;
    cb.stream_close = &QuicConnection::onStreamClose;
    cb.stream_reset = &QuicConnection::onStreamReset;
    cb.acked_stream_data_offset = &QuicConnection::onAcked;
    cb.handshake_completed = &QuicConnection::onHandshakeCompleted;
    cb.get_new_connection_id = &QuicConnection::onNewConnectionId;
    cb.remove_connection_id = &QuicConnection::onRemoveConnectionId;
    cb.rand = &QuicConnection::onRand;
}

static void applySettings(ngtcp2_settings &settings, ngtcp2_transport_params &params, const QuicConnection::Settings &s,
                          ngtcp2_tstamp now)
{
    ngtcp2_settings_default(&settings);
    settings.initial_ts = now;
    settings.max_window = s.connectionWindow;
    settings.max_stream_window = s.streamWindow;
    ngtcp2_transport_params_default(&params);
    params.initial_max_stream_data_bidi_local = s.streamWindow;
    params.initial_max_stream_data_bidi_remote = s.streamWindow;
    params.initial_max_stream_data_uni = 0;
    params.initial_max_data = s.connectionWindow;
    params.initial_max_streams_bidi = s.maxStreams;
    params.initial_max_streams_uni = 0;
    params.max_idle_timeout = ngtcp2_duration(s.idleTimeoutMs) * NGTCP2_MILLISECONDS;
    params.active_connection_id_limit = 7;
}

QString QuicConnection::createSession(bool server, gnutls_certificate_credentials_t credentials, const QByteArray &alpn)
{
    int rv = gnutls_init(&m_session, (server ? GNUTLS_SERVER : GNUTLS_CLIENT) | GNUTLS_NO_END_OF_EARLY_DATA);
    if (rv == 0)
        rv = gnutls_priority_set_direct(m_session, kPriority, nullptr);
    if (rv == 0)
        rv = server ? ngtcp2_crypto_gnutls_configure_server_session(m_session) : ngtcp2_crypto_gnutls_configure_client_session(m_session);
    if (rv != 0)
        return QStringLiteral("TLS set-up failed: %1").arg(QString::fromUtf8(gnutls_strerror(rv)));
    gnutls_session_set_ptr(m_session, &m_ref);
    rv = gnutls_credentials_set(m_session, GNUTLS_CRD_CERTIFICATE, credentials);
    gnutls_datum_t protocol{reinterpret_cast<unsigned char *>(const_cast<char *>(alpn.constData())), unsigned(alpn.size())};
    // Mandatory: a peer that does not speak our protocol is refused in the
    // handshake.
    if (rv == 0)
        rv = gnutls_alpn_set_protocols(m_session, &protocol, 1, GNUTLS_ALPN_MANDATORY);
    if (rv != 0)
        return QStringLiteral("TLS set-up failed: %1").arg(QString::fromUtf8(gnutls_strerror(rv)));
    ngtcp2_conn_set_tls_native_handle(m_conn, m_session);
    return {};
}

QString QuicConnection::acceptAsServer(const ngtcp2_pkt_hd &initial, gnutls_certificate_credentials_t credentials,
                                       const QByteArray &alpn, const Settings &s, const QByteArray &resetSecret)
{
    m_resetSecret = resetSecret;
    m_idleTimeout = ngtcp2_duration(s.idleTimeoutMs) * NGTCP2_MILLISECONDS;
    ngtcp2_callbacks callbacks;
    setupCallbacks(callbacks, true);
    ngtcp2_settings settings;
    ngtcp2_transport_params params;
    applySettings(settings, params, s, now());
    params.original_dcid = initial.dcid;

    ngtcp2_cid scid;
    scid.datalen = kCidLength;
    randomBytes(scid.data, scid.datalen);
    params.stateless_reset_token_present = 1;
    ngtcp2_crypto_generate_stateless_reset_token(params.stateless_reset_token,
                                                 reinterpret_cast<const uint8_t *>(m_resetSecret.constData()),
                                                 size_t(m_resetSecret.size()), &scid);
    ngtcp2_path_storage ps;
    initPath(ps);
    const int rv = ngtcp2_conn_server_new(&m_conn, &initial.scid, &scid, &ps.path, initial.version, &callbacks, &settings,
                                          &params, nullptr, this);
    if (rv != 0) {
        m_conn = nullptr;
        return QString::fromUtf8(ngtcp2_strerror(rv));
    }
    const QString error = createSession(true, credentials, alpn);
    if (!error.isEmpty())
        return error;
    if (onConnectionId) {
        onConnectionId(cidBytes(initial.dcid), true);
        onConnectionId(cidBytes(scid), true);
    }
    return {};
}

QString QuicConnection::connectAsClient(const QByteArray &alpn, const Settings &s)
{
    m_idleTimeout = ngtcp2_duration(s.idleTimeoutMs) * NGTCP2_MILLISECONDS;
    ngtcp2_callbacks callbacks;
    setupCallbacks(callbacks, false);
    ngtcp2_settings settings;
    ngtcp2_transport_params params;
    applySettings(settings, params, s, now());
    params.initial_max_streams_bidi = 0; // the server opens none

    ngtcp2_cid dcid, scid;
    dcid.datalen = kCidLength;
    scid.datalen = kCidLength;
    randomBytes(dcid.data, dcid.datalen);
    randomBytes(scid.data, scid.datalen);
    ngtcp2_path_storage ps;
    initPath(ps);
    const int rv = ngtcp2_conn_client_new(&m_conn, &dcid, &scid, &ps.path, NGTCP2_PROTO_VER_V1, &callbacks, &settings,
                                          &params, nullptr, this);
    if (rv != 0) {
        m_conn = nullptr;
        return QString::fromUtf8(ngtcp2_strerror(rv));
    }
    // The server's certificate is self-signed and made anew at every
    // launch, so there is nothing to check it against.
    gnutls_certificate_allocate_credentials(&m_clientCredentials);
    const QString error = createSession(false, m_clientCredentials, alpn);
    if (!error.isEmpty())
        return error;
    flush();
    return {};
}

void QuicConnection::receivePacket(const QByteArray &packet, bool flushNow, const QHostAddress &arrivedOn)
{
    if (!m_conn || m_closed)
        return;
    if (!arrivedOn.isNull() && arrivedOn != m_local) {
        m_local = arrivedOn;
        m_receivePathValid = false;
    }
    // Built once, not per packet: its addresses change only with m_local.
    if (!m_receivePathValid) {
        initPath(m_receivePath);
        m_receivePathValid = true;
    }
    ngtcp2_pkt_info pi{};
    m_inCallback = true;
    const int rv = ngtcp2_conn_read_pkt(m_conn, &m_receivePath.path, &pi, reinterpret_cast<const uint8_t *>(packet.constData()),
                                        size_t(packet.size()), now());
    m_inCallback = false;
    if (rv != 0) {
        dispatch();
        if (rv == NGTCP2_ERR_DRAINING)
            finish(QStringLiteral("closed by the peer"));
        else if (rv == NGTCP2_ERR_DROP_CONN)
            finish(QStringLiteral("dropped"));
        else
            fail(rv);
        return;
    }
    if (!flushNow)
        return; // delivered with the batch (deliver)
    QPointer<QuicConnection> self(this);
    dispatch();
    if (self && !m_closed)
        flush();
}

void QuicConnection::deliver()
{
    if (m_inCallback)
        return;
    dispatch();
}

void QuicConnection::dispatch()
{
    QPointer<QuicConnection> self(this);
    std::vector<Event> events;
    events.swap(m_events);
    for (Event &e : events) {
        // A connection closed by an earlier event (its handler's reply met
        // a closing connection) hands nothing more on: its receiver has
        // already let go of its streams.
        if (!self || m_closed)
            return;
        switch (e.kind) {
        case Event::Handshake:
            Q_EMIT handshakeCompleted();
            break;
        case Event::Opened:
            Q_EMIT streamOpened(e.stream);
            break;
        case Event::Data:
            // A block mostly empty (a batch of few packets) is not kept at
            // its full size while the receiver holds it.
            if (e.bytes.capacity() - e.bytes.size() > qsizetype(kCoalesceReserve / 4))
                e.bytes.squeeze();
            Q_EMIT streamData(e.stream, e.bytes, e.fin);
            break;
        case Event::Reset:
            Q_EMIT streamReset(e.stream);
            break;
        case Event::Acked:
            Q_EMIT streamAcked(e.stream);
            break;
        case Event::Closed:
            m_send.erase(e.stream);
            break;
        }
    }
}

void QuicConnection::send(int64_t streamId, const QByteArray &bytes, bool fin)
{
    if (!m_conn || m_closed)
        return;
    SendQueue &queue = m_send[streamId];
    if (queue.fin)
        return;
    if (!bytes.isEmpty()) {
        queue.chunks.push_back(bytes);
        queue.endOffset += quint64(bytes.size());
    }
    queue.fin = fin;
    if (!m_inCallback)
        flush();
}

quint64 QuicConnection::unacknowledged(int64_t streamId) const
{
    const auto it = m_send.find(streamId);
    return it == m_send.end() ? 0 : it->second.endOffset - it->second.baseOffset;
}

void QuicConnection::consume(int64_t streamId, quint64 bytes, quint64 alreadyCredited)
{
    if (!m_conn || m_closed || bytes == 0)
        return;
    ngtcp2_conn_extend_max_stream_offset(m_conn, streamId, bytes);
    if (bytes > alreadyCredited)
        ngtcp2_conn_extend_max_offset(m_conn, bytes - alreadyCredited);
    queueFlush();
}

void QuicConnection::creditConnection(quint64 bytes)
{
    if (!m_conn || m_closed || bytes == 0)
        return;
    ngtcp2_conn_extend_max_offset(m_conn, bytes);
    queueFlush();
}

void QuicConnection::queueFlush()
{
    if (!m_inCallback && !m_flushQueued) {
        // Window updates of many small reads go out together.
        m_flushQueued = true;
        QMetaObject::invokeMethod(this, [this] {
            m_flushQueued = false;
            if (!m_closed)
                flush();
        }, Qt::QueuedConnection);
    }
}

void QuicConnection::resetStream(int64_t streamId, quint64 appError)
{
    if (!m_conn || m_closed)
        return;
    ngtcp2_conn_shutdown_stream(m_conn, streamId, appError);
    m_send.erase(streamId);
    if (!m_inCallback)
        flush();
}

void QuicConnection::stopReading(int64_t streamId, quint64 appError)
{
    if (!m_conn || m_closed)
        return;
    ngtcp2_conn_shutdown_stream_read(m_conn, streamId, appError);
    if (!m_inCallback)
        flush();
}

int64_t QuicConnection::openStream()
{
    if (!m_conn || m_closed)
        return -1;
    int64_t id = -1;
    return ngtcp2_conn_open_bidi_stream(m_conn, &id, nullptr) == 0 ? id : -1;
}

bool QuicConnection::writeStream(int64_t streamId, SendQueue &q, uint8_t *buffer, size_t size, ngtcp2_path_storage &ps,
                                 size_t &packet)
{
    // The unsent part of the queue as vectors into its chunks.
    ngtcp2_vec vecs[16];
    size_t count = 0;
    quint64 chunkStart = q.baseOffset;
    for (const QByteArray &chunk : q.chunks) {
        const quint64 chunkEnd = chunkStart + quint64(chunk.size());
        if (chunkEnd > q.sentOffset && count < 16) {
            const quint64 skip = q.sentOffset > chunkStart ? q.sentOffset - chunkStart : 0;
            vecs[count].base = reinterpret_cast<uint8_t *>(const_cast<char *>(chunk.constData())) + skip;
            vecs[count].len = size_t(quint64(chunk.size()) - skip);
            ++count;
        }
        chunkStart = chunkEnd;
    }
    uint32_t flags = NGTCP2_WRITE_STREAM_FLAG_MORE;
    const bool lastPiece = count < 16 || chunkStart == q.endOffset;
    if (q.fin && lastPiece)
        flags |= NGTCP2_WRITE_STREAM_FLAG_FIN;
    ngtcp2_pkt_info pi{};
    ngtcp2_ssize written = -1;
    const ngtcp2_ssize n = ngtcp2_conn_writev_stream(m_conn, &ps.path, &pi, buffer, size, &written, flags, streamId, vecs,
                                                     count, now());
    if (written >= 0) {
        q.sentOffset += quint64(written);
        if ((flags & NGTCP2_WRITE_STREAM_FLAG_FIN) && q.sentOffset == q.endOffset)
            q.finSent = true;
    }
    if (n == NGTCP2_ERR_WRITE_MORE)
        return true;
    if (n < 0) {
        if (n == NGTCP2_ERR_STREAM_DATA_BLOCKED || n == NGTCP2_ERR_STREAM_SHUT_WR || n == NGTCP2_ERR_STREAM_NOT_FOUND)
            return false;
        fail(int(n));
        return false;
    }
    if (n > 0)
        packet = size_t(n);
    return n > 0;
}

void QuicConnection::flush()
{
    if (!m_conn || m_closed || m_inCallback)
        return;
    // Packets go out in batches of equal size (the last may be shorter):
    // one system call each where the system segments them (UDP GSO).
    if (m_batch.empty())
        m_batch.resize(kBatchBytes);
    uint8_t *const batch = m_batch.data();
    size_t used = 0, segment = 0;
    const auto sendBatch = [&] {
        if (used > 0)
            m_socket.sendSegments(reinterpret_cast<const char *>(batch), qint64(used), qint64(segment), m_remote, m_remotePort, m_local);
        used = 0;
        segment = 0;
    };
    // A packet of `n` bytes was written at batch + used.
    const auto place = [&](size_t n) {
        if (used == 0) {
            segment = n;
        } else if (n > segment) {
            // Only the last of a batch may differ: it starts the next one.
            const size_t at = used;
            sendBatch();
            std::memmove(batch, batch + at, n);
            segment = n;
        }
        used += n;
        if (n < segment || kBatchBytes - used < kMaxPacket || used / segment >= kMaxSegments)
            sendBatch();
    };
    ngtcp2_path_storage ps;
    initPath(ps);
    std::vector<int64_t> blocked;
    // Bounded so that one busy connection does not hold the event loop;
    // the timer brings it back at once when more can go.
    for (int packets = 0; packets < 256 && !m_closed; ++packets) {
        int64_t streamId = -1;
        for (auto &[id, q] : m_send) {
            if ((q.sentOffset < q.endOffset || (q.fin && !q.finSent)) && std::find(blocked.begin(), blocked.end(), id) == blocked.end()) {
                streamId = id;
                break;
            }
        }
        if (streamId >= 0) {
            size_t packet = 0;
            const bool progressed = writeStream(streamId, m_send[streamId], batch + used, kMaxPacket, ps, packet);
            if (m_closed)
                return;
            if (packet > 0)
                place(packet);
            if (!progressed && packet == 0)
                blocked.push_back(streamId);
            continue;
        }
        ngtcp2_pkt_info pi{};
        const ngtcp2_ssize n = ngtcp2_conn_writev_stream(m_conn, &ps.path, &pi, batch + used, kMaxPacket, nullptr,
                                                         NGTCP2_WRITE_STREAM_FLAG_NONE, -1, nullptr, 0, now());
        if (n < 0) {
            sendBatch();
            fail(int(n));
            return;
        }
        if (n == 0)
            break;
        place(size_t(n));
    }
    sendBatch();
    armTimer();
}

void QuicConnection::sendPacket(const uint8_t *data, size_t size)
{
    m_socket.send(reinterpret_cast<const char *>(data), qint64(size), m_remote, m_remotePort, m_local);
}

void QuicConnection::hold(bool take)
{
    m_holds = qMax(0, m_holds + (take ? 1 : -1));
    if (!m_conn || m_closed)
        return;
    // Pinged well within the idle time-out, so that neither side lets go.
    ngtcp2_conn_set_keep_alive_timeout(m_conn, m_holds > 0 ? qMax<ngtcp2_duration>(m_idleTimeout / 3, NGTCP2_MILLISECONDS) : 0);
    armTimer();
}

void QuicConnection::armTimer()
{
    if (!m_conn || m_closed)
        return;
    const ngtcp2_tstamp expiry = ngtcp2_conn_get_expiry(m_conn);
    if (expiry == UINT64_MAX) {
        m_timer.stop();
        return;
    }
    const ngtcp2_tstamp t = now();
    const qint64 ms = expiry > t ? qint64((expiry - t + NGTCP2_MILLISECONDS - 1) / NGTCP2_MILLISECONDS) : 0;
    m_timer.start(int(qMin<qint64>(ms, 3600 * 1000)));
}

void QuicConnection::onTimer()
{
    if (!m_conn || m_closed)
        return;
    const int rv = ngtcp2_conn_handle_expiry(m_conn, now());
    if (rv == NGTCP2_ERR_IDLE_CLOSE) {
        finish(QStringLiteral("idle time-out"));
        return;
    }
    if (rv != 0) {
        fail(rv);
        return;
    }
    flush();
}

void QuicConnection::fail(int liberr)
{
    if (m_closed)
        return;
    // The peer's close, met while writing rather than reading: not a failure,
    // and nothing more may be sent.
    if (liberr == NGTCP2_ERR_DRAINING) {
        finish(QStringLiteral("closed by the peer"));
        return;
    }
    ngtcp2_connection_close_error ccerr;
    ngtcp2_connection_close_error_default(&ccerr);
    if (liberr == NGTCP2_ERR_CRYPTO)
        ngtcp2_connection_close_error_set_transport_error_tls_alert(&ccerr, ngtcp2_conn_get_tls_alert(m_conn), nullptr, 0);
    else
        ngtcp2_connection_close_error_set_transport_error_liberr(&ccerr, liberr, nullptr, 0);
    uint8_t buffer[kMaxPacket];
    ngtcp2_path_storage ps;
    initPath(ps);
    ngtcp2_pkt_info pi{};
    const ngtcp2_ssize n = ngtcp2_conn_write_connection_close(m_conn, &ps.path, &pi, buffer, sizeof buffer, &ccerr, now());
    if (n > 0)
        sendPacket(buffer, size_t(n));
    QString reason = QString::fromUtf8(ngtcp2_strerror(liberr));
    if (liberr == NGTCP2_ERR_CRYPTO)
        reason += QStringLiteral(" (TLS alert %1)").arg(ngtcp2_conn_get_tls_alert(m_conn));
    finish(reason);
}

void QuicConnection::close(quint64 appError, const QByteArray &reason)
{
    if (!m_conn || m_closed)
        return;
    ngtcp2_connection_close_error ccerr;
    ngtcp2_connection_close_error_default(&ccerr);
    ngtcp2_connection_close_error_set_application_error(&ccerr, appError, reinterpret_cast<const uint8_t *>(reason.constData()),
                                                        size_t(reason.size()));
    uint8_t buffer[kMaxPacket];
    ngtcp2_path_storage ps;
    initPath(ps);
    ngtcp2_pkt_info pi{};
    const ngtcp2_ssize n = ngtcp2_conn_write_connection_close(m_conn, &ps.path, &pi, buffer, sizeof buffer, &ccerr, now());
    if (n > 0)
        sendPacket(buffer, size_t(n));
    finish(QStringLiteral("closed"));
}

void QuicConnection::finish(const QString &reason)
{
    if (m_closed)
        return;
    m_closed = true;
    m_timer.stop();
    m_closeReason = reason;
    Q_EMIT closed(reason);
}

int QuicConnection::onRecvStreamData(ngtcp2_conn *, uint32_t flags, int64_t stream, uint64_t, const uint8_t *data, size_t len,
                                     void *opaque, void *)
{
    auto *self = static_cast<QuicConnection *>(opaque);
    const bool fin = (flags & NGTCP2_STREAM_DATA_FLAG_FIN) != 0;
    // A batch of packets of one stream is handed on as one piece: the
    // receiver's work per delivery, not per packet, is what a fast upload
    // costs.
    if (!self->m_events.empty()) {
        Event &last = self->m_events.back();
        if (last.kind == Event::Data && last.stream == stream && !last.fin
            && size_t(last.bytes.capacity() - last.bytes.size()) >= len) {
            last.bytes.append(reinterpret_cast<const char *>(data), qsizetype(len));
            last.fin = fin;
            return 0;
        }
    }
    QByteArray bytes;
    bytes.reserve(qsizetype(qMax<size_t>(len, kCoalesceReserve)));
    bytes.append(reinterpret_cast<const char *>(data), qsizetype(len));
    self->m_events.push_back({Event::Data, stream, std::move(bytes), fin});
    return 0;
}

int QuicConnection::onStreamOpen(ngtcp2_conn *, int64_t stream, void *opaque)
{
    static_cast<QuicConnection *>(opaque)->m_events.push_back({Event::Opened, stream, {}, false});
    return 0;
}

int QuicConnection::onStreamClose(ngtcp2_conn *conn, uint32_t, int64_t stream, uint64_t, void *opaque, void *)
{
    // The peer may open one more stream for each of its own that closed:
    // the stream limit is on streams at once, not over a connection's life.
    if (!ngtcp2_conn_is_local_stream(conn, stream) && (stream & 0x2) == 0)
        ngtcp2_conn_extend_max_streams_bidi(conn, 1);
    static_cast<QuicConnection *>(opaque)->m_events.push_back({Event::Closed, stream, {}, false});
    return 0;
}

int QuicConnection::onStreamReset(ngtcp2_conn *, int64_t stream, uint64_t, uint64_t, void *opaque, void *)
{
    static_cast<QuicConnection *>(opaque)->m_events.push_back({Event::Reset, stream, {}, false});
    return 0;
}

int QuicConnection::onAcked(ngtcp2_conn *, int64_t stream, uint64_t offset, uint64_t len, void *opaque, void *)
{
    auto *self = static_cast<QuicConnection *>(opaque);
    const auto it = self->m_send.find(stream);
    if (it == self->m_send.end())
        return 0;
    SendQueue &q = it->second;
    const quint64 acked = offset + len;
    while (!q.chunks.empty() && q.baseOffset + quint64(q.chunks.front().size()) <= acked) {
        q.baseOffset += quint64(q.chunks.front().size());
        q.chunks.pop_front();
    }
    if (self->m_events.empty() || self->m_events.back().kind != Event::Acked || self->m_events.back().stream != stream)
        self->m_events.push_back({Event::Acked, stream, {}, false});
    return 0;
}

int QuicConnection::onHandshakeCompleted(ngtcp2_conn *, void *opaque)
{
    auto *self = static_cast<QuicConnection *>(opaque);
    self->m_handshakeDone = true;
    self->m_events.push_back({Event::Handshake, -1, {}, false});
    return 0;
}

int QuicConnection::onNewConnectionId(ngtcp2_conn *, ngtcp2_cid *cid, uint8_t *token, size_t len, void *opaque)
{
    auto *self = static_cast<QuicConnection *>(opaque);
    cid->datalen = len;
    randomBytes(cid->data, len);
    if (self->m_resetSecret.isEmpty()) {
        randomBytes(token, NGTCP2_STATELESS_RESET_TOKENLEN);
    } else if (ngtcp2_crypto_generate_stateless_reset_token(token, reinterpret_cast<const uint8_t *>(self->m_resetSecret.constData()),
                                                            size_t(self->m_resetSecret.size()), cid) != 0) {
        return NGTCP2_ERR_CALLBACK_FAILURE;
    }
    if (self->onConnectionId)
        self->onConnectionId(cidBytes(*cid), true);
    return 0;
}

int QuicConnection::onRemoveConnectionId(ngtcp2_conn *, const ngtcp2_cid *cid, void *opaque)
{
    auto *self = static_cast<QuicConnection *>(opaque);
    if (self->onConnectionId)
        self->onConnectionId(cidBytes(*cid), false);
    return 0;
}

void QuicConnection::onRand(uint8_t *dest, size_t len, const ngtcp2_rand_ctx *) { randomBytes(dest, len); }

} // namespace tavrolin
