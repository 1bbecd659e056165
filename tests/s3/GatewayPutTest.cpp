// The streaming PUT against a gateway that behaves as the test says: one
// that keeps connections, closes idle ones, refuses early, answers garbage,
// breaks off or never answers.

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QProcess>
#include <QScopeGuard>
#include <QThread>
#include <gtest/gtest.h>

#include <functional>
#include <optional>

#include "s3/GatewayPut.h"
#include "tests/support/TestSupport.h"

using namespace tavrolin;
using namespace tavrolin::test;
using namespace std::chrono_literals;

namespace {

const QByteArray kStored = "HTTP/1.1 200 OK\r\nETag: \"0123abcd\"\r\nContent-Length: 0\r\n\r\n";

// A gateway on loopback. `react` sees each connection's request as it
// grows (head, and body bytes so far) and may answer or close.
struct ScriptedGateway {
    struct Request {
        QByteArray head;
        qint64 contentLength = -1;
        QByteArray body;
    };
    using React = std::function<void(QTcpSocket &, Request &)>;
    React react;
    int connections = 0;
    QList<Request> requests; // whole or not, in the order they began
    QList<QTcpSocket *> open;
    // Last, so that it goes first: its sockets' handlers use the members above.
    QTcpServer server;

    explicit ScriptedGateway(React r) : react(std::move(r))
    {
        server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server, &QTcpServer::newConnection, [this] {
            QTcpSocket *socket = server.nextPendingConnection();
            ++connections;
            open << socket;
            QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket] { onData(*socket); });
            QObject::connect(socket, &QTcpSocket::disconnected, socket, [this, socket] {
                open.removeAll(socket);
                socket->deleteLater();
            });
        });
    }
    void onData(QTcpSocket &socket)
    {
        QByteArray pending = socket.property("pending").toByteArray() + socket.readAll();
        int index = socket.property("request").isValid() ? socket.property("request").toInt() : -1;
        while (!pending.isEmpty()) {
            if (index < 0 || (requests[index].contentLength >= 0 && requests[index].body.size() == requests[index].contentLength)) {
                const qsizetype end = pending.indexOf("\r\n\r\n");
                if (end < 0)
                    break;
                Request request;
                request.head = pending.left(end + 4);
                pending.remove(0, end + 4);
                const QRegularExpressionMatch length =
                    QRegularExpression("(?i)\r\ncontent-length: *(\\d+)").match(QString::fromLatin1(request.head));
                request.contentLength = length.hasMatch() ? length.captured(1).toLongLong() : 0;
                requests << request;
                index = int(requests.size()) - 1;
                socket.setProperty("request", index);
            }
            Request &request = requests[index];
            const qsizetype take = qsizetype(qMin<qint64>(pending.size(), request.contentLength - request.body.size()));
            request.body += pending.left(take);
            pending.remove(0, take);
            react(socket, request);
            if (socket.state() != QAbstractSocket::ConnectedState)
                return;
        }
        socket.setProperty("pending", pending);
    }
    int port() const { return server.serverPort(); }
    QUrl url(const QString &key = QStringLiteral("a b.jpg")) const
    {
        QUrl url(QStringLiteral("http://localhost:%1/photos/").arg(port()));
        return url.resolved(QUrl(QString::fromLatin1(QUrl::toPercentEncoding(key))));
    }
};

// Whole requests are answered as stored, on a kept connection.
void storeWhole(QTcpSocket &socket, ScriptedGateway::Request &request)
{
    if (request.body.size() == request.contentLength)
        socket.write(kStored);
}

// One PUT of `body`, announced as `size` bytes, to its end: its result, or
// nothing when it did not finish within `wait`.
std::optional<GatewayResult> putBody(GatewayConnections &pool, const QUrl &url, const QByteArray &body, qint64 size,
                                     const QString &contentType = QStringLiteral("image/jpeg"), int timeoutMs = 5000,
                                     std::chrono::milliseconds wait = 5s)
{
    GatewayPut put(pool, url, size, contentType, timeoutMs);
    bool finished = false;
    QObject::connect(&put, &GatewayPut::finished, [&] { finished = true; });
    put.append(body);
    if (!waitUntil([&] { return finished; }, wait))
        return std::nullopt;
    return put.result();
}

} // namespace

TEST(GatewayPut, BodiesGoAsTheyArriveOnAKeptConnectionAndAClosedOneIsNeverReused)
{
    ScriptedGateway gateway(storeWhole);
    GatewayConnections pool(gateway.port());

    const QByteArray body = QByteArray(300 * 1024, 'x') + QByteArray(5, 'y');
    GatewayPut put(pool, gateway.url(), body.size(), QStringLiteral("image/jpeg"), 5000);
    qint64 consumed = 0;
    bool finished = false;
    QObject::connect(&put, &GatewayPut::consumed, [&](qint64 n) { consumed += n; });
    QObject::connect(&put, &GatewayPut::finished, [&] { finished = true; });
    // The body comes in pieces, with the event loop between them, as a
    // device's does; each is taken by the socket as it comes.
    for (qsizetype at = 0; at < body.size(); at += 100 * 1024) {
        ASSERT_TRUE(put.append(body.mid(at, 100 * 1024)));
        ASSERT_TRUE(waitUntil([&] { return consumed == qMin<qint64>(at + 100 * 1024, body.size()); }, 5s)) << at;
    }
    EXPECT_FALSE(put.append("one byte more than announced"));
    ASSERT_TRUE(waitUntil([&] { return finished; }, 5s));
    EXPECT_TRUE(put.result().ok()) << put.result().error.toStdString();
    EXPECT_EQ(put.result().status, 200);
    EXPECT_EQ(put.etag(), "\"0123abcd\"");
    EXPECT_EQ(put.buffered(), 0);
    ASSERT_EQ(gateway.requests.size(), 1);
    EXPECT_TRUE(gateway.requests[0].head.startsWith("PUT /photos/a%20b.jpg HTTP/1.1\r\n")) << gateway.requests[0].head.toStdString();
    EXPECT_TRUE(gateway.requests[0].head.contains("\r\nContent-Type: image/jpeg\r\n"));
    EXPECT_TRUE(gateway.requests[0].body == body);
    EXPECT_EQ(pool.idleCount(), 1);

    // The next PUT takes the kept connection. A content type that would
    // add a header of the device's making goes as the generic one.
    const auto next = putBody(pool, gateway.url("b.jpg"), "abc", 3, QStringLiteral("image/jpeg\r\nX-Injected: 1"));
    ASSERT_TRUE(next);
    EXPECT_TRUE(next->ok()) << next->error.toStdString();
    EXPECT_EQ(gateway.connections, 1);
    ASSERT_EQ(gateway.requests.size(), 2);
    EXPECT_FALSE(gateway.requests[1].head.contains("X-Injected"));
    EXPECT_TRUE(gateway.requests[1].head.contains("\r\nContent-Type: application/octet-stream\r\n"));

    // The gateway lets the idle connection go: the next PUT does not write
    // its body into it, it opens a new one and is stored.
    ASSERT_EQ(gateway.open.size(), 1);
    gateway.open.first()->disconnectFromHost();
    ASSERT_TRUE(waitUntil([&] { return gateway.open.isEmpty(); }, 5s));
    waitUntil([] { return false; }, 50ms); // the close reaches our side
    const auto after = putBody(pool, gateway.url("c.jpg"), "def", 3);
    ASSERT_TRUE(after);
    EXPECT_TRUE(after->ok()) << after->error.toStdString();
    EXPECT_EQ(gateway.connections, 2);
    EXPECT_TRUE(gateway.requests.last().body == "def");
}

TEST(GatewayPut, RefusalsGarbageBrokenAnswersSilenceAndAbortsFailTheFile)
{
    const auto run = [](ScriptedGateway::React react, const QByteArray &body, qint64 size, int timeoutMs = 5000) {
        auto gateway = std::make_unique<ScriptedGateway>(std::move(react));
        GatewayConnections pool(gateway->port());
        const std::optional<GatewayResult> result = putBody(pool, gateway->url(), body, size, QStringLiteral("image/jpeg"), timeoutMs, 10s);
        EXPECT_TRUE(result);
        EXPECT_EQ(pool.idleCount(), 0) << "a connection after a failed or cut-short PUT is never kept";
        return result.value_or(GatewayResult{});
    };
    const QByteArray half(64 * 1024, 'h');
    const qint64 whole = 4 * 1024 * 1024;

    // Refused on the head alone, before the body is complete: the refusal
    // is what the caller hears.
    const auto refuse = [](QTcpSocket &socket, ScriptedGateway::Request &) {
        socket.write("HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        socket.disconnectFromHost();
    };
    // (Its close may reset the connection before the refusal is read, as
    // body bytes keep arriving: then the failure is the connection's.)
    GatewayResult result = run(refuse, half, whole);
    EXPECT_FALSE(result.ok());
    EXPECT_TRUE(result.status == 403 || (result.status == -1 && !result.error.isEmpty())) << result.status;

    // A success before the body is complete is not one.
    const auto early = [](QTcpSocket &socket, ScriptedGateway::Request &) {
        socket.write(kStored);
        socket.disconnectFromHost();
    };
    result = run(early, half, whole);
    EXPECT_FALSE(result.ok());
    EXPECT_FALSE(result.error.isEmpty());

    // Garbage, an answer that breaks off in its head, and one that breaks
    // off in its body.
    for (const QByteArray &answer : {QByteArray("garbage garbage\r\n\r\n"), QByteArray("HTTP/1.1 200 OK\r\nETag: \"ab"),
                                     QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc")}) {
        const auto broken = [answer](QTcpSocket &socket, ScriptedGateway::Request &request) {
            if (request.body.size() < request.contentLength)
                return;
            socket.write(answer);
            socket.disconnectFromHost();
        };
        result = run(broken, QByteArray(100, 'b'), 100);
        EXPECT_FALSE(result.ok()) << answer.toStdString();
        EXPECT_EQ(result.status, -1) << answer.toStdString();
        EXPECT_FALSE(result.error.isEmpty()) << answer.toStdString();
    }

    // A gateway that takes the body and never answers.
    QElapsedTimer timer;
    timer.start();
    result = run([](QTcpSocket &, ScriptedGateway::Request &) {}, QByteArray(100, 's'), 100, 300);
    EXPECT_FALSE(result.ok());
    EXPECT_TRUE(result.error.contains("did not answer")) << result.error.toStdString();
    EXPECT_LT(timer.elapsed(), 5000);

    // No gateway at all.
    {
        const int port = [] {
            QTcpServer probe;
            probe.listen(QHostAddress::LocalHost, 0);
            return int(probe.serverPort());
        }();
        GatewayConnections pool(port);
        const auto result = putBody(pool, QUrl(QStringLiteral("http://localhost:%1/photos/a.jpg").arg(port)), "abc", 3);
        ASSERT_TRUE(result);
        EXPECT_FALSE(result->ok());
        EXPECT_TRUE(result->error.startsWith("Could not reach the gateway")) << result->error.toStdString();
    }

    // An abort before the last byte ends the connection: the gateway never
    // has the whole body, so it never completes the object.
    {
        ScriptedGateway gateway(storeWhole);
        GatewayConnections pool(gateway.port());
        auto put = std::make_unique<GatewayPut>(pool, gateway.url(), 1000, QStringLiteral("image/jpeg"), 5000);
        qint64 consumed = 0;
        QObject::connect(put.get(), &GatewayPut::consumed, [&](qint64 n) { consumed += n; });
        put->append(QByteArray(999, 'a'));
        ASSERT_TRUE(waitUntil([&] { return consumed == 999 && !gateway.requests.isEmpty() && gateway.requests[0].body.size() == 999; }, 5s));
        put->abort();
        EXPECT_FALSE(put->append("z"));
        ASSERT_TRUE(waitUntil([&] { return gateway.open.isEmpty(); }, 5s));
        EXPECT_EQ(gateway.requests[0].body.size(), 999);
        EXPECT_EQ(pool.idleCount(), 0);
    }
}

// A gateway that refuses and closes while the body is still coming: the
// caller hears of it from the event loop, never from inside its own append
// (where it is in the middle of its bookkeeping), and every byte it handed
// over is accounted for, taken by the socket or left in the buffer.
TEST(GatewayPut, AFailureWhileTheBodyIsHandedOverIsHeardFromTheEventLoop)
{
    // The gateway in its own process, so that it refuses and closes while
    // our event loop does not run: the failure then meets the next append.
    QProcess gateway;
    gateway.start("/usr/bin/python3",
                         {"-c", "import socket, sys\n"
                                "s = socket.socket(); s.bind(('127.0.0.1', 0)); s.listen()\n"
                                "print(s.getsockname()[1], flush=True)\n"
                                "c, _ = s.accept(); data = b''\n"
                                "while b'\\r\\n\\r\\n' not in data: data += c.recv(65536)\n"
                                "print('ready', flush=True); sys.stdin.readline()\n"
                                "c.sendall(b'HTTP/1.1 403 Forbidden\\r\\nContent-Length: 0\\r\\nConnection: close\\r\\n\\r\\n')\n"
                                "c.close(); print('closed', flush=True)\n"
                                "sys.stdin.read()\n"});
    const auto ended = qScopeGuard([&] {
        gateway.closeWriteChannel(); // it exits at the end of its input
        if (!gateway.waitForFinished(5000))
            gateway.kill(); // our own child
        gateway.waitForFinished(5000);
    });
    QByteArray out;
    ASSERT_TRUE(waitUntil([&] {
        out += gateway.readAllStandardOutput();
        return out.contains('\n');
    }, 10s));
    GatewayConnections pool(out.trimmed().toInt());
    const qint64 size = 64LL << 20;
    GatewayPut put(pool, QUrl(QStringLiteral("http://localhost:%1/photos/a.jpg").arg(pool.port())), size,
                   QStringLiteral("image/jpeg"), 5000);
    bool inAppend = false, finishedInAppend = false, finished = false;
    qint64 consumed = 0, appended = 0;
    QObject::connect(&put, &GatewayPut::consumed, [&](qint64 n) { consumed += n; });
    QObject::connect(&put, &GatewayPut::finished, [&] {
        finished = true;
        finishedInAppend = finishedInAppend || inAppend;
    });
    const QByteArray piece(256 * 1024, 'p');
    const auto append = [&] {
        inAppend = true;
        if (put.append(piece))
            appended += piece.size();
        inAppend = false;
    };
    // A first piece small enough to leave at once, so that the socket is
    // not waiting to be writable when the next ones come.
    ASSERT_TRUE(put.append(QByteArray(1000, 'f')));
    appended += 1000;
    ASSERT_TRUE(waitUntil([&] {
        out += gateway.readAllStandardOutput();
        return out.contains("ready") && consumed == 1000;
    }, 10s));
    // The gateway refuses and closes while our event loop does not turn
    // (the waits below look at the gateway's output only): the next pieces
    // meet the closed connection inside append.
    gateway.write("go\n");
    gateway.waitForBytesWritten(5000);
    while (!out.contains("closed") && gateway.waitForReadyRead(5000))
        out += gateway.readAllStandardOutput();
    ASSERT_TRUE(out.contains("closed"));
    QThread::msleep(100);
    for (int i = 0; i < 8; ++i)
        append();
    EXPECT_FALSE(finishedInAppend);
    ASSERT_TRUE(waitUntil([&] { return finished; }, 10s));
    EXPECT_FALSE(finishedInAppend);
    EXPECT_FALSE(put.result().ok());
    EXPECT_EQ(consumed + put.buffered(), appended);
    EXPECT_FALSE(put.append(piece));
    EXPECT_EQ(pool.idleCount(), 0);
}
