#include "services/TavroAPIServer.h"

#include <QStringDecoder>
#include <QTcpSocket>
#include <QTimer>

#include "platform/DiagnosticLog.h"

namespace tavrolin {

namespace {

void log(const QString &line) { diagLog(QStringLiteral("TavroAPIServer: ") + line); }

TavroAPIServer::Response invalidRequest() { return {400, {{"error", "Invalid request"}}}; }

const char *reasonPhrase(int status)
{
    switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 404: return "Not Found";
    case 429: return "Too Many Requests";
    case 500: return "Internal Server Error";
    default: return "Error";
    }
}

// Where a request's head ends and what it says of its body. Lines may end
// with CRLF or a bare LF.
struct Head {
    qsizetype bodyStart = 0;          // just past the blank line
    std::optional<qint64> bodyLength; // Content-Length, when given
    QByteArray method;
};

std::optional<Head> headOf(const QByteArray &buffer)
{
    const qsizetype crlf = buffer.indexOf("\r\n\r\n"), lf = buffer.indexOf("\n\n");
    qsizetype end = -1, separator = 0;
    if (crlf >= 0 && (lf < 0 || crlf < lf)) {
        end = crlf;
        separator = 4;
    } else if (lf >= 0) {
        end = lf;
        separator = 2;
    }
    // "\n\r\n" ends a head too: a LF line followed by a CRLF blank line.
    if (const qsizetype mixed = buffer.indexOf("\n\r\n"); mixed >= 0 && (end < 0 || mixed < end)) {
        end = mixed;
        separator = 3;
    }
    if (end < 0)
        return std::nullopt;
    Head head;
    head.bodyStart = end + separator;
    const QList<QByteArray> lines = buffer.left(end).split('\n');
    head.method = lines.first().trimmed().split(' ').first();
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines[i].trimmed();
        const qsizetype colon = line.indexOf(':');
        if (colon > 0 && line.left(colon).trimmed().toLower() == "content-length") {
            bool ok = false;
            const qint64 n = line.mid(colon + 1).trimmed().toLongLong(&ok);
            // A length we cannot honour makes the request too large.
            head.bodyLength = ok && n >= 0 ? std::min<qint64>(n, TavroAPIServer::kMaxRequestBytes + 1) : 0;
        }
    }
    return head;
}

// Bytes that are not UTF-8, or a first line without a method and a path,
// make a request invalid however it goes on.
std::optional<TavroAPIServer::Response> earlyRejection(const QByteArray &buffer)
{
    // A stateful decoder takes a sequence cut at the end of what arrived so
    // far as unfinished, not as an error.
    QStringDecoder decoder(QStringDecoder::Utf8);
    const QString decoded = decoder(buffer); // decoding happens on conversion
    if (decoder.hasError())
        return invalidRequest();
    const qsizetype lineEnd = buffer.indexOf('\n');
    if (lineEnd >= 0 && !buffer.left(lineEnd).contains(' '))
        return invalidRequest();
    return std::nullopt;
}

} // namespace

TavroAPIServer::TavroAPIServer(DeviceRegistry &registry, quint16 port, int readTimeoutMs, QObject *parent)
    : QObject(parent)
    , m_router(registry)
    , m_port(port)
    , m_readTimeoutMs(readTimeoutMs)
{
    connect(&m_listener, &QTcpServer::newConnection, this, &TavroAPIServer::onNewConnection);
}

void TavroAPIServer::setRunning(bool running)
{
    if (m_isRunning == running)
        return;
    m_isRunning = running;
    Q_EMIT isRunningChanged();
}

void TavroAPIServer::startListening(int)
{
    if (m_isRunning)
        return;
    if (!m_listener.listen(QHostAddress::Any, m_port)) {
        log(QStringLiteral("Failed to start - ") + m_listener.errorString());
        return;
    }
    log(QStringLiteral("Starting on port %1").arg(m_port));
    log(QStringLiteral("Listening on port %1").arg(m_listener.serverPort()));
    setRunning(true);
}

void TavroAPIServer::stopListening()
{
    // Connections already accepted finish their one request.
    m_listener.close();
    setRunning(false);
    log(QStringLiteral("Stopped"));
}

void TavroAPIServer::onNewConnection()
{
    while (QTcpSocket *socket = m_listener.nextPendingConnection()) {
        auto buffer = std::make_shared<QByteArray>();
        auto answered = std::make_shared<bool>(false);
        auto *timeout = new QTimer(socket);
        timeout->setSingleShot(true);
        // A peer that never finishes its request is closed without an answer.
        connect(timeout, &QTimer::timeout, socket, [socket] { socket->abort(); });
        timeout->start(m_readTimeoutMs);
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QAbstractSocket::errorOccurred, socket, [socket](QAbstractSocket::SocketError error) {
            if (error != QAbstractSocket::RemoteHostClosedError)
                log(QStringLiteral("Connection failed - ") + socket->errorString());
        });

        auto respond = [socket = QPointer<QTcpSocket>(socket), answered, timeout](const Response &response) {
            *answered = true;
            if (!socket)
                return; // the peer went while its registration was saved
            timeout->stop();
            socket->write(responseBytes(response));
            socket->disconnectFromHost();
        };
        // A body without a Content-Length is what arrives after the blank
        // line until the peer half-closes or goes quiet for a moment.
        auto *quiet = new QTimer(socket);
        quiet->setSingleShot(true);
        quiet->setInterval(kQuietBodyMs);
        auto process = [this, socket, buffer, answered, respond, quiet, timeout](bool peerFinished) {
            if (*answered)
                return;
            *buffer += socket->readAll();
            if (buffer->size() > kMaxRequestBytes) {
                respond(invalidRequest());
                return;
            }
            const std::optional<Head> head = headOf(*buffer);
            if (head && head->bodyLength && head->bodyStart + *head->bodyLength > kMaxRequestBytes) {
                respond(invalidRequest());
                return;
            }
            std::optional<qsizetype> length; // of the whole request, once known
            if (head && head->bodyLength)
                length = head->bodyStart + *head->bodyLength;
            else if (head && head->method != "POST" && head->method != "PUT")
                length = head->bodyStart; // nothing to wait for
            const bool whole = (length && buffer->size() >= *length) || (peerFinished && !buffer->isEmpty());
            if (!whole) {
                if (head && !length)
                    quiet->start();
                // What can be judged before the request is whole is answered
                // at once, instead of after the time-out.
                if (const auto early = earlyRejection(*buffer))
                    respond(*early);
                return;
            }
            quiet->stop();
            const QByteArray request = length ? buffer->left(*length) : *buffer;
            auto parsed = parseRequest(request);
            if (!parsed) {
                respond(parsed.error());
                return;
            }
            *answered = true; // nothing more is read while it is handled
            // The registry answers once its save is done; the read time-out
            // is over, the request being whole.
            timeout->stop();
            parsed->source = socket->peerAddress().toString();
            [](Lifetime::Guard alive, const TavroAPIServer *self, Request request, decltype(respond) respond) -> QCoro::Task<> {
                const Response response = co_await self->handle(std::move(request));
                if (alive)
                    respond(response);
            }(m_lifetime.guard(), this, std::move(parsed).value(), respond);
        };
        connect(socket, &QTcpSocket::readyRead, socket, [process] { process(false); });
        // A peer that half-closes has sent all it will: answer what arrived.
        connect(socket, &QTcpSocket::readChannelFinished, socket, [process] { process(true); });
        connect(quiet, &QTimer::timeout, socket, [process] { process(true); });
        if (socket->bytesAvailable() > 0)
            process(false);
    }
}

Result<TavroAPIServer::Request, TavroAPIServer::Response> TavroAPIServer::parseRequest(const QByteArray &bytes)
{
    if (bytes.size() > kMaxRequestBytes)
        return Unexpected{invalidRequest()};
    QStringDecoder decoder(QStringDecoder::Utf8);
    const QString text = decoder(bytes);
    if (decoder.hasError())
        return Unexpected{invalidRequest()};
    // Lines end with CRLF or a bare LF; the body is every byte after the
    // blank line, as sent.
    const std::optional<Head> head = headOf(bytes);
    const QByteArray headBytes = head ? bytes.left(head->bodyStart) : bytes;
    const QList<QByteArray> lines = headBytes.split('\n');
    const QList<QByteArray> requestLine = lines.first().trimmed().split(' ');
    // A method and a target, each something: "GET  x" has an empty target
    // (found by fuzzing), which no route could be.
    if (requestLine.size() < 2 || requestLine[0].isEmpty() || requestLine[1].isEmpty() || text.isEmpty())
        return Unexpected{invalidRequest()};
    Request request{requestLine[0], requestLine[1], {}};
    if (head)
        request.body = bytes.mid(head->bodyStart);
    return request;
}

QByteArray TavroAPIServer::responseBytes(const Response &response)
{
    const QByteArray body = response.bodyBytes();
    return "HTTP/1.1 " + QByteArray::number(response.status) + ' ' + reasonPhrase(response.status)
        + "\r\nContent-Type: application/json\r\nContent-Length: " + QByteArray::number(body.size())
        + "\r\nConnection: close\r\nAccess-Control-Allow-Origin: *\r\n\r\n" + body;
}

} // namespace tavrolin
