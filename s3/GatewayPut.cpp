#include "s3/GatewayPut.h"

#include <http_parser.h>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

namespace tavrolin {

namespace {

qint64 nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

QString systemError(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

// The answer to a PUT is a status line, a few headers and at most a short
// error document: read in pieces of this size.
constexpr size_t kReadChunk = 16 * 1024;
// Pieces handed to the socket in one call.
constexpr int kMaxIovecs = 64;

} // namespace

GatewayConnections::~GatewayConnections()
{
    for (const Idle &idle : m_idle)
        ::close(idle.fd);
}

int GatewayConnections::take()
{
    const qint64 now = nowMs();
    while (!m_idle.empty()) {
        const Idle idle = m_idle.back();
        m_idle.pop_back();
        // The gateway may have closed it meanwhile (its end shows as
        // readable); a write into such a connection would lose the body.
        char probe;
        const ssize_t n = ::recv(idle.fd, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
        if (now - idle.since <= kMaxIdleMs && n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return idle.fd;
        ::close(idle.fd);
    }
    return -1;
}

void GatewayConnections::give(int fd)
{
    const qint64 now = nowMs();
    std::erase_if(m_idle, [&](const Idle &idle) {
        if (now - idle.since <= kMaxIdleMs)
            return false;
        ::close(idle.fd);
        return true;
    });
    if (int(m_idle.size()) >= kMaxIdle) {
        ::close(fd);
        return;
    }
    m_idle.push_back({fd, now});
}

QByteArray GatewayPut::safeContentType(const QString &contentType)
{
    const QByteArray bytes = contentType.toUtf8();
    const bool printable = !bytes.isEmpty() && bytes.size() <= 256
                           && std::all_of(bytes.begin(), bytes.end(), [](char c) { return c >= 0x20 && c < 0x7f; });
    return printable ? bytes : QByteArrayLiteral("application/octet-stream");
}

GatewayPut::GatewayPut(GatewayConnections &pool, const QUrl &url, qint64 size, const QString &contentType, int idleTimeoutMs,
                       QObject *parent)
    : QObject(parent), m_pool(pool), m_size(size), m_parser(std::make_unique<http_parser>())
{
    QByteArray target = url.toEncoded(QUrl::RemoveScheme | QUrl::RemoveAuthority | QUrl::RemoveFragment);
    if (!target.startsWith('/'))
        target.prepend('/');
    m_head = "PUT " + target + " HTTP/1.1\r\nHost: localhost:" + QByteArray::number(pool.port())
             + "\r\nContent-Length: " + QByteArray::number(size) + "\r\nContent-Type: " + safeContentType(contentType)
             + "\r\n\r\n";
    http_parser_init(m_parser.get(), HTTP_RESPONSE);
    m_parser->data = this;
    m_idleTimer.setSingleShot(true);
    m_idleTimer.setInterval(idleTimeoutMs);
    connect(&m_idleTimer, &QTimer::timeout, this, [this] {
        complete(m_result.status, sent() < m_size ? QStringLiteral("The gateway took no data for %1 s").arg(m_idleTimer.interval() / 1000.0)
                                                  : QStringLiteral("The gateway did not answer within %1 s").arg(m_idleTimer.interval() / 1000.0));
    });
    // Started from the event loop: the caller connects to the signals first.
    QMetaObject::invokeMethod(this, &GatewayPut::start, Qt::QueuedConnection);
}

GatewayPut::~GatewayPut() { closeSocket(); }

void GatewayPut::start()
{
    if (m_finished)
        return;
    m_fd = m_pool.take();
    m_reused = m_fd >= 0;
    if (m_fd < 0) {
        connectNew();
        if (m_fd < 0)
            return;
    }
    m_readNotifier = std::make_unique<QSocketNotifier>(m_fd, QSocketNotifier::Read);
    connect(m_readNotifier.get(), &QSocketNotifier::activated, this, &GatewayPut::onReadable);
    m_writeNotifier = std::make_unique<QSocketNotifier>(m_fd, QSocketNotifier::Write);
    m_writeNotifier->setEnabled(false);
    connect(m_writeNotifier.get(), &QSocketNotifier::activated, this, &GatewayPut::onWritable);
    if (m_connecting)
        m_writeNotifier->setEnabled(true);
    else
        writePending();
    touch();
}

void GatewayPut::connectNew()
{
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (m_fd < 0) {
        complete(-1, systemError(errno));
        return;
    }
    const int one = 1;
    ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(quint16(m_pool.port()));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(m_fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0)
        return;
    if (errno == EINPROGRESS) {
        m_connecting = true;
        return;
    }
    complete(-1, QStringLiteral("Could not reach the gateway: ") + systemError(errno));
}

bool GatewayPut::append(const QByteArray &bytes)
{
    if (m_finished || m_appended + bytes.size() > m_size)
        return false;
    if (bytes.isEmpty())
        return true;
    m_pending.push_back(bytes);
    m_buffered += bytes.size();
    m_appended += bytes.size();
    if (m_fd >= 0 && !m_connecting && !m_writeFailed && !(m_writeNotifier && m_writeNotifier->isEnabled()))
        writePending();
    touch();
    return true;
}

void GatewayPut::onWritable()
{
    if (m_connecting) {
        int error = 0;
        socklen_t length = sizeof error;
        ::getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &error, &length);
        if (error != 0) {
            complete(-1, QStringLiteral("Could not reach the gateway: ") + systemError(error));
            return;
        }
        m_connecting = false;
    }
    m_writeNotifier->setEnabled(false);
    writePending();
    touch();
}

void GatewayPut::writePending()
{
    qint64 bodyWritten = 0;
    while (!m_finished && !m_writeFailed && (!m_head.isEmpty() || m_buffered > 0)) {
        iovec vecs[kMaxIovecs];
        int count = 0;
        if (!m_head.isEmpty())
            vecs[count++] = {m_head.data(), size_t(m_head.size())};
        qint64 offset = m_frontOffset;
        for (auto it = m_pending.begin(); it != m_pending.end() && count < kMaxIovecs; ++it) {
            vecs[count++] = {const_cast<char *>(it->constData()) + offset, size_t(it->size() - offset)};
            offset = 0;
        }
        msghdr message{};
        message.msg_iov = vecs;
        message.msg_iovlen = size_t(count);
        const ssize_t n = ::sendmsg(m_fd, &message, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                m_writeNotifier->setEnabled(true);
                break;
            }
            // The gateway may have answered (a refusal) and closed: the
            // answer is what the caller needs to hear. Heard from the event
            // loop, never from inside the caller's append: the caller may be
            // in the middle of its own bookkeeping.
            const int error = errno;
            m_writeFailed = true;
            if (m_writeNotifier)
                m_writeNotifier->setEnabled(false);
            QMetaObject::invokeMethod(
                this,
                [this, error] {
                    onReadable();
                    if (!m_finished)
                        complete(-1, QStringLiteral("Sending to the gateway failed: ") + systemError(error));
                },
                Qt::QueuedConnection);
            break;
        }
        qint64 left = n;
        if (!m_head.isEmpty()) {
            const qint64 head = qMin<qint64>(left, m_head.size());
            m_head.remove(0, head);
            left -= head;
        }
        bodyWritten += left;
        m_buffered -= left;
        while (left > 0) {
            const qint64 inFront = m_pending.front().size() - m_frontOffset;
            if (left < inFront) {
                m_frontOffset += left;
                break;
            }
            left -= inFront;
            m_pending.pop_front();
            m_frontOffset = 0;
        }
    }
    if (bodyWritten > 0)
        Q_EMIT consumed(bodyWritten);
}

void GatewayPut::touch()
{
    if (m_finished)
        return;
    // Only time the gateway takes counts: a body that waits for its device
    // is the caller's to time.
    const bool waitingOnGateway = m_connecting || m_buffered > 0 || !m_head.isEmpty() || sent() == m_size;
    if (waitingOnGateway)
        m_idleTimer.start();
    else
        m_idleTimer.stop();
}

void GatewayPut::onReadable()
{
    static const http_parser_settings settings = [] {
        http_parser_settings s;
        http_parser_settings_init(&s);
        s.on_header_field = &GatewayPut::onHeaderField;
        s.on_header_value = &GatewayPut::onHeaderValue;
        s.on_message_complete = &GatewayPut::onMessageComplete;
        return s;
    }();
    if (m_connecting) {
        onWritable(); // a refused connection shows as readable too
        return;
    }
    char buffer[kReadChunk];
    while (!m_finished && m_fd >= 0) {
        const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                break;
            complete(-1, QStringLiteral("Reading the gateway's answer failed: ") + systemError(errno));
            return;
        }
        if (n == 0) {
            // The end of the connection also ends an answer without a length.
            http_parser_execute(m_parser.get(), &settings, nullptr, 0);
            if (!m_answered) {
                complete(-1, m_reused && m_parser->nread == 0 ? QStringLiteral("The gateway closed a kept connection")
                                                              : QStringLiteral("The gateway closed the connection"));
                return;
            }
            m_keepAlive = false;
            break;
        }
        const bool answeredBefore = m_answered;
        const size_t parsed = http_parser_execute(m_parser.get(), &settings, buffer, size_t(n));
        // Paused at the end of the one answer there may be (see onMessageComplete).
        const http_errno parserError = HTTP_PARSER_ERRNO(m_parser.get());
        const bool clean = (parserError == HPE_OK || (parserError == HPE_PAUSED && m_answered)) && parsed == size_t(n);
        if (!m_answered) {
            if (!clean) {
                complete(-1, QStringLiteral("The gateway's answer is malformed"));
                return;
            }
        } else if (answeredBefore || !clean) {
            // Bytes after the one answer there can be: the connection is
            // not kept, the answer stands.
            m_keepAlive = false;
        }
        touch();
    }
    if (!m_answered || m_finished)
        return;
    const int status = int(m_parser->status_code);
    if (sent() < m_size) {
        // Answered before the body was complete: a refusal; a success
        // would not be one for a body the gateway never had.
        m_keepAlive = false;
        complete(status, status >= 200 && status <= 299 ? QStringLiteral("The gateway answered before the body was complete") : QString());
        return;
    }
    complete(status, {});
}

int GatewayPut::onHeaderField(http_parser *parser, const char *at, size_t length)
{
    // Names and values may each come in pieces: a name's first piece
    // follows a value.
    auto *self = static_cast<GatewayPut *>(parser->data);
    if (self->m_inValue) {
        self->m_inValue = false;
        self->m_inEtag = false;
        self->m_field.clear();
    }
    self->m_field.append(at, qsizetype(length));
    return 0;
}

int GatewayPut::onHeaderValue(http_parser *parser, const char *at, size_t length)
{
    auto *self = static_cast<GatewayPut *>(parser->data);
    if (!self->m_inValue) {
        self->m_inValue = true;
        self->m_inEtag = self->m_field.compare("etag", Qt::CaseInsensitive) == 0;
        if (self->m_inEtag)
            self->m_etag.clear();
    }
    if (self->m_inEtag && self->m_etag.size() + qsizetype(length) <= 1024)
        self->m_etag.append(at, qsizetype(length));
    return 0;
}

int GatewayPut::onMessageComplete(http_parser *parser)
{
    auto *self = static_cast<GatewayPut *>(parser->data);
    self->m_answered = true;
    self->m_keepAlive = http_should_keep_alive(parser) != 0;
    // One answer per request: what follows is not read as another.
    http_parser_pause(parser, 1);
    return 0;
}

void GatewayPut::complete(int status, const QString &error)
{
    if (m_finished)
        return;
    m_finished = true;
    m_idleTimer.stop();
    m_result.status = status;
    m_result.error = error;
    const bool reusable = error.isEmpty() && m_answered && m_keepAlive && sent() == m_size && m_fd >= 0 && !m_connecting;
    m_readNotifier.reset();
    m_writeNotifier.reset();
    if (reusable)
        m_pool.give(std::exchange(m_fd, -1));
    closeSocket();
    Q_EMIT finished();
}

void GatewayPut::abort()
{
    if (m_finished)
        return;
    m_finished = true;
    m_idleTimer.stop();
    m_result.error = QStringLiteral("Operation canceled");
    closeSocket();
}

void GatewayPut::closeSocket()
{
    m_readNotifier.reset();
    m_writeNotifier.reset();
    if (m_fd >= 0)
        ::close(std::exchange(m_fd, -1));
}

} // namespace tavrolin
