#pragma once

#include <QByteArray>
#include <QObject>
#include <QSocketNotifier>
#include <QString>
#include <QTimer>
#include <QUrl>
#include <deque>
#include <memory>
#include <vector>

#include "s3/S3Gateway.h"

struct http_parser;

namespace tavrolin {

// Idle kept-alive connections to the gateway on loopback, for the next PUT.
// A connection the gateway may have closed is never handed out: each is
// checked before reuse and let go after a short idle time.
class GatewayConnections {
public:
    explicit GatewayConnections(int port) : m_port(port) {}
    ~GatewayConnections();
    GatewayConnections(const GatewayConnections &) = delete;
    GatewayConnections &operator=(const GatewayConnections &) = delete;

    int port() const { return m_port; }
    // A connected socket (non-blocking), or -1 when none is idle.
    int take();
    // A connection whose last answer was read whole and that may be kept.
    void give(int fd);
    int idleCount() const { return int(m_idle.size()); }

    static constexpr int kMaxIdle = 16;
    static constexpr qint64 kMaxIdleMs = 2000;

private:
    struct Idle {
        int fd;
        qint64 since;
    };
    int m_port;
    std::vector<Idle> m_idle;
};

// One PUT to the gateway whose body is handed over piece by piece as it
// arrives, on the caller's thread: pieces go from the caller's buffers into
// the socket with one system call per batch, and the caller hears how much
// the socket took (consumed) so it can let its own sender go on. The answer
// is read as it comes, so a refusal before the body is complete ends it.
// Destroying or aborting an unfinished PUT closes its connection before the
// last byte: the gateway never completes the object.
class GatewayPut : public QObject {
    Q_OBJECT
public:
    // `url` is an object address on the gateway (its path and query are
    // sent; the host is the pool's loopback port). `idleTimeoutMs`: how long
    // the gateway may take no byte while one is waiting for it, or give no
    // answer once the body is sent.
    GatewayPut(GatewayConnections &pool, const QUrl &url, qint64 size, const QString &contentType, int idleTimeoutMs,
               QObject *parent = nullptr);
    ~GatewayPut() override;

    // Queues body bytes; what exceeds the announced size is refused (false).
    bool append(const QByteArray &bytes);
    // Body bytes handed over but not yet taken by the socket.
    qint64 buffered() const { return m_buffered; }
    bool isFinished() const { return m_finished; }
    // The answer's status, or the error (no answer, one that broke off).
    const GatewayResult &result() const { return m_result; }
    // The answer's ETag, raw.
    const QByteArray &etag() const { return m_etag; }
    void abort();

    // A content type as it may go into a request line: printable ASCII
    // only, else the generic one.
    static QByteArray safeContentType(const QString &contentType);

Q_SIGNALS:
    void consumed(qint64 bytes);
    void finished();

private:
    void start();
    void connectNew();
    void onWritable();
    void onReadable();
    void writePending();
    void complete(int status, const QString &error);
    void closeSocket();
    void touch();
    // Body bytes the socket has taken.
    qint64 sent() const { return m_appended - m_buffered; }
    static int onHeaderField(http_parser *parser, const char *at, size_t length);
    static int onHeaderValue(http_parser *parser, const char *at, size_t length);
    static int onMessageComplete(http_parser *parser);

    GatewayConnections &m_pool;
    int m_fd = -1;
    bool m_connecting = false;
    bool m_reused = false;
    bool m_writeFailed = false;
    std::unique_ptr<QSocketNotifier> m_readNotifier, m_writeNotifier;
    QByteArray m_head; // what is still to be sent of the request line and headers
    std::deque<QByteArray> m_pending;
    qint64 m_frontOffset = 0;
    qint64 m_buffered = 0;
    qint64 m_size;
    qint64 m_appended = 0;
    std::unique_ptr<http_parser> m_parser;
    QByteArray m_field;
    bool m_inValue = false;
    bool m_inEtag = false;
    bool m_answered = false;
    bool m_keepAlive = false;
    bool m_finished = false;
    GatewayResult m_result;
    QByteArray m_etag;
    QTimer m_idleTimer;
};

} // namespace tavrolin
