#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QTimer>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include <gnutls/gnutls.h>
#include <ngtcp2/ngtcp2.h>
#include <ngtcp2/ngtcp2_crypto.h>

#include "platform/UdpSocket.h"


namespace tavrolin {

// One QUIC connection (ngtcp2 with GnuTLS), driven from the Qt event loop:
// packets come in through receivePacket, go out through the UDP socket,
// and a timer serves ngtcp2's expiry. Everything runs on the thread that
// owns the socket.
//
// Received stream data is delivered as it arrives; the peer may send only
// as far ahead as the receiver has consumed (consume), so a slow consumer
// holds the peer back instead of growing buffers. Sent data is kept until
// the peer acknowledges it, as ngtcp2 requires.
class QuicConnection : public QObject {
    Q_OBJECT
public:
    // The socket is shared (server) or owned by the caller (client).
    QuicConnection(UdpSocket &socket, const QHostAddress &remote, quint16 remotePort, QObject *parent = nullptr);
    ~QuicConnection() override;

    struct Settings {
        int idleTimeoutMs = 30000;
        // What a peer may send ahead of what we have consumed, on one stream
        // and on the whole connection: the most a connection can make us
        // hold (a LAN needs far less to go at full speed).
        quint64 streamWindow = 4 << 20;
        quint64 connectionWindow = 8 << 20;
        quint64 maxStreams = 16;
    };

    // Server side: from the client's first Initial packet. Empty on
    // success, else the reason.
    QString acceptAsServer(const ngtcp2_pkt_hd &initial, gnutls_certificate_credentials_t credentials, const QByteArray &alpn,
                           const Settings &settings, const QByteArray &statelessResetSecret);
    // Client side.
    QString connectAsClient(const QByteArray &alpn, const Settings &settings);

    // A batch of packets may be read before anything is handed on or
    // written back: pass flushNow = false, then call deliver and flush once
    // for the batch (what arrived on a stream is then handed on in one piece).
    // `arrivedOn` is the local address the packet was sent to; what we send
    // leaves from the address the peer last reached us on.
    void receivePacket(const QByteArray &packet, bool flushNow = true, const QHostAddress &arrivedOn = {});
    void flush();
    // Hands on what the packets read so far brought (signals).
    void deliver();

    // Queues bytes on a stream (and optionally its end); sent as flow
    // control allows.
    void send(int64_t streamId, const QByteArray &bytes, bool fin = false);
    // Bytes queued or in flight, not yet acknowledged.
    quint64 unacknowledged(int64_t streamId) const;
    // The receiver has processed this many bytes of the stream. The part
    // given as `alreadyCredited` was handed back to the connection's window
    // earlier (creditConnection) and only opens the stream's.
    void consume(int64_t streamId, quint64 bytes, quint64 alreadyCredited = 0);
    // Opens the connection's window by bytes the receiver keeps for later:
    // a stream that must wait then does not hold the others back.
    void creditConnection(quint64 bytes);
    void resetStream(int64_t streamId, quint64 appError);
    // Tells the peer to stop sending on the stream; what we send goes on.
    void stopReading(int64_t streamId, quint64 appError);
    // Client: a new bidirectional stream, or -1.
    int64_t openStream();
    // While any hold is taken the connection is kept from going idle (the
    // peer is pinged): the receiver has work for it that is not the
    // peer's to hurry, such as a store that takes long to answer.
    void hold(bool take);
    // Closes with an application error code and reason.
    void close(quint64 appError = 0, const QByteArray &reason = {});

    bool isOpen() const { return m_conn && !m_closed; }
    bool handshakeDone() const { return m_handshakeDone; }
    QString remoteEndpoint() const;
    QHostAddress remoteAddress() const { return m_remote; }
    QString closeReason() const { return m_closeReason; }

    // Server: connection ids of this connection come and go.
    std::function<void(const QByteArray &cid, bool added)> onConnectionId;

Q_SIGNALS:
    void handshakeCompleted();
    void streamOpened(int64_t streamId);
    void streamData(int64_t streamId, const QByteArray &bytes, bool fin);
    void streamReset(int64_t streamId);
    // Some of the stream's sent data was acknowledged.
    void streamAcked(int64_t streamId);
    void closed(const QString &reason);

private:
    struct SendQueue {
        std::deque<QByteArray> chunks; // from baseOffset on
        quint64 baseOffset = 0;        // offset of chunks.front()[0]
        quint64 sentOffset = 0;        // handed to ngtcp2 up to here
        quint64 endOffset = 0;         // queued up to here
        bool fin = false;
        bool finSent = false;
    };
    struct Event {
        enum Kind { Handshake, Opened, Data, Reset, Acked, Closed } kind;
        int64_t stream = -1;
        QByteArray bytes;
        bool fin = false;
    };

    void setupCallbacks(ngtcp2_callbacks &callbacks, bool server);
    void initPath(ngtcp2_path_storage &storage) const;
    QString createSession(bool server, gnutls_certificate_credentials_t credentials, const QByteArray &alpn);
    // `packet`: the size of the packet it completed in `buffer`, if any.
    bool writeStream(int64_t streamId, SendQueue &queue, uint8_t *buffer, size_t size, ngtcp2_path_storage &ps,
                     size_t &packet);
    void sendPacket(const uint8_t *data, size_t size);
    void armTimer();
    void queueFlush();
    void onTimer();
    void fail(int liberr);
    void finish(const QString &reason);
    void dispatch();
    static ngtcp2_tstamp now();

    static int onRecvStreamData(ngtcp2_conn *, uint32_t flags, int64_t stream, uint64_t, const uint8_t *data, size_t len,
                                void *self, void *);
    static int onStreamOpen(ngtcp2_conn *, int64_t stream, void *self);
    static int onStreamClose(ngtcp2_conn *, uint32_t, int64_t stream, uint64_t, void *self, void *);
    static int onStreamReset(ngtcp2_conn *, int64_t stream, uint64_t, uint64_t, void *self, void *);
    static int onAcked(ngtcp2_conn *, int64_t stream, uint64_t offset, uint64_t len, void *self, void *);
    static int onHandshakeCompleted(ngtcp2_conn *, void *self);
    static int onNewConnectionId(ngtcp2_conn *, ngtcp2_cid *cid, uint8_t *token, size_t len, void *self);
    static int onRemoveConnectionId(ngtcp2_conn *, const ngtcp2_cid *cid, void *self);
    static void onRand(uint8_t *dest, size_t len, const ngtcp2_rand_ctx *);
    static ngtcp2_conn *connFromRef(ngtcp2_crypto_conn_ref *ref);

    UdpSocket &m_socket;
    QHostAddress m_remote;
    quint16 m_remotePort;
    QHostAddress m_local;
    ngtcp2_path_storage m_receivePath{};
    bool m_receivePathValid = false;
    std::vector<uint8_t> m_batch; // packets on their way out, in flush
    ngtcp2_duration m_idleTimeout = 0;
    int m_holds = 0;
    ngtcp2_conn *m_conn = nullptr;
    gnutls_session_t m_session = nullptr;
    ngtcp2_crypto_conn_ref m_ref{};
    QByteArray m_resetSecret;
    std::map<int64_t, SendQueue> m_send;
    std::vector<Event> m_events;
    QTimer m_timer;
    gnutls_certificate_credentials_t m_clientCredentials = nullptr;
    bool m_inCallback = false;
    bool m_flushQueued = false;
    bool m_closed = false;
    bool m_handshakeDone = false;
    QString m_closeReason;
};

} // namespace tavrolin
