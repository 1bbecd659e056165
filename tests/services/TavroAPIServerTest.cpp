#include <QElapsedTimer>
#include <QTcpSocket>
#include <gtest/gtest.h>

#include <sys/socket.h>

#include "services/DeviceRegistry.h"
#include "services/TavroAPIServer.h"
#include "tests/support/TestSupport.h"

using namespace tavrolin;
using namespace tavrolin::test;
using namespace std::chrono_literals;

namespace {

struct Api {
    Sandbox sandbox;
    DeviceRegistry registry{sandbox.path("data/device_registry.json")};
    TavroAPIServer server{registry, 0, 400};
    Api()
    {
        server.startListening();
        EXPECT_TRUE(server.isRunning());
    }
};

struct Exchange {
    QByteArray received;
    bool closed = false;
};

// Sends the parts with a pause between them, optionally half-closes, and
// collects what comes back until the server closes.
Exchange exchange(quint16 port, const QList<QByteArray> &parts, int pauseMs = 0, bool halfClose = false, int waitMs = 3000,
                  const QHostAddress &from = {})
{
    QTcpSocket socket;
    if (!from.isNull())
        socket.bind(from);
    socket.connectToHost(QHostAddress::LocalHost, port);
    Exchange result;
    if (!waitUntil([&] { return socket.state() == QAbstractSocket::ConnectedState; }, 3s))
        return result;
    QObject::connect(&socket, &QTcpSocket::readyRead, [&] { result.received += socket.readAll(); });
    QObject::connect(&socket, &QTcpSocket::disconnected, [&] { result.closed = true; });
    for (qsizetype i = 0; i < parts.size(); ++i) {
        socket.write(parts[i]);
        socket.flush();
        if (pauseMs && i + 1 < parts.size())
            waitUntil([] { return false; }, std::chrono::milliseconds(pauseMs));
    }
    if (halfClose) {
        waitUntil([&] { return socket.bytesToWrite() == 0; }, 1s);
        ::shutdown(int(socket.socketDescriptor()), SHUT_WR);
    }
    waitUntil([&] { return result.closed; }, std::chrono::milliseconds(waitMs));
    result.received += socket.readAll();
    return result;
}

QByteArray body(const QByteArray &response) { return response.mid(response.indexOf("\r\n\r\n") + 4); }
QByteArray statusLine(const QByteArray &response) { return response.left(response.indexOf("\r\n")); }

QByteArray post(const QByteArray &json)
{
    return "POST /api/tavro/register-device HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\nContent-Length: "
        + QByteArray::number(json.size()) + "\r\n\r\n" + json;
}

} // namespace

TEST(TavroAPIServer, HealthIsExactlyTheseBytes)
{
    Api api;
    const auto r = exchange(api.server.listeningPort(), {"GET /api/tavro/health HTTP/1.1\r\nHost: localhost\r\n\r\n"});
    EXPECT_TRUE(r.closed);
    EXPECT_EQ(r.received, "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 15\r\nConnection: close\r\n"
                          "Access-Control-Allow-Origin: *\r\n\r\n{\"status\":\"ok\"}");
    // Without a protocol version it is served all the same.
    EXPECT_EQ(body(exchange(api.server.listeningPort(), {"GET /api/tavro/health\r\n\r\n"}).received), "{\"status\":\"ok\"}");
}

TEST(TavroAPIServer, RegistersCountsAndListsDevices)
{
    Api api;
    const quint16 port = api.server.listeningPort();
    EXPECT_EQ(body(exchange(port, {"GET /api/tavro/devices HTTP/1.1\r\n\r\n"}).received), R"({"deviceCount":0,"devices":[]})");
    const auto first = exchange(port, {post(R"({"deviceId":"ID-1","deviceName":"Ann","extra":[1]})")});
    EXPECT_EQ(statusLine(first.received), "HTTP/1.1 200 OK");
    EXPECT_EQ(body(first.received), R"({"success":true,"deviceCount":1})");
    EXPECT_EQ(body(exchange(port, {post(R"({"deviceName":"Ann's new name","deviceId":"ID-1"})")}).received),
              R"({"success":true,"deviceCount":1})");
    EXPECT_EQ(api.registry.devices()[0].name, "Ann's new name");
    EXPECT_EQ(api.registry.devices()[0].connectionType, ConnectionType::Lan);
    EXPECT_EQ(body(exchange(port, {"GET /api/tavro/device-count HTTP/1.1\r\n\r\n"}).received), R"({"deviceCount":1})");
    const QByteArray listing = body(exchange(port, {"GET /api/tavro/devices HTTP/1.1\r\n\r\n"}).received);
    EXPECT_TRUE(listing.startsWith(R"({"deviceCount":1,"devices":[{"id":"ID-1","name":"Ann's new name","lastSeen":")")) << listing.constData();
    EXPECT_TRUE(listing.endsWith(R"(Z","connectionType":"lan"}]})")) << listing.constData();
}

TEST(TavroAPIServer, BadRequestsAndUnknownRoutes)
{
    Api api;
    const quint16 port = api.server.listeningPort();
    auto answer = [&](const QList<QByteArray> &parts, bool halfClose = false) { return exchange(port, parts, 0, halfClose).received; };
    const QByteArray missing = "HTTP/1.1 400 Bad Request";
    const QByteArray missingBody = R"({"error":"Missing deviceId or deviceName"})";

    for (const QByteArray &json : {QByteArray(R"(["deviceId","deviceName"])"), QByteArray(R"({"deviceId":7,"deviceName":"n"})"),
                                   QByteArray(R"({"deviceId":"i"})"), QByteArray("not json"), QByteArray()}) {
        const QByteArray r = answer({post(json)});
        EXPECT_EQ(statusLine(r), missing) << json.constData();
        EXPECT_EQ(body(r), missingBody);
    }

    for (const QByteArray &request :
         {QByteArray("GET /api/tavro/register-device HTTP/1.1\r\n\r\n"), QByteArray("POST /api/tavro/health HTTP/1.1\r\n\r\n"),
          QByteArray("get /api/tavro/health HTTP/1.1\r\n\r\n"), QByteArray("GET /api/tavro/health/ HTTP/1.1\r\n\r\n"),
          QByteArray("GET /api/tavro/health?x=1 HTTP/1.1\r\n\r\n"), QByteArray("OPTIONS /api/tavro/health HTTP/1.1\r\n\r\n"),
          QByteArray("GET /../../etc/passwd HTTP/1.1\r\n\r\n")}) {
        const QByteArray r = answer({request});
        EXPECT_EQ(statusLine(r), "HTTP/1.1 404 Not Found") << request.constData();
        EXPECT_EQ(body(r), R"({"error":"Not found"})");
        EXPECT_TRUE(r.contains("\r\nAccess-Control-Allow-Origin: *\r\n"));
    }

    const QByteArray invalid = R"({"error":"Invalid request"})";
    EXPECT_EQ(body(answer({"GET\r\n\r\n"})), invalid);
    EXPECT_EQ(body(answer({"GET  /api/tavro/health HTTP/1.1\r\n\r\n"})), invalid) << "an empty target";
    EXPECT_EQ(statusLine(answer({" GET /api/tavro/health HTTP/1.1\r\n\r\n"})), "HTTP/1.1 200 OK") << "blanks around the line are trimmed";
    EXPECT_EQ(body(answer({"GET /api/tavro/health HTTP/1.1\r\nX: \xFF\xFE\r\n\r\n"})), invalid);
    // A TLS hello is not UTF-8: answered at once, not after the time-out.
    EXPECT_EQ(body(answer({QByteArray("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11)})), invalid);
    EXPECT_EQ(body(answer({"GET /api/tavro/health HTTP/1.1\r\nX: " + QByteArray(70000, 'a') + "\r\n\r\n"})), invalid);
    EXPECT_EQ(body(answer({"POST /api/tavro/register-device HTTP/1.1\r\nContent-Length: 99999999999\r\n\r\n{}"})), invalid);
    EXPECT_EQ(body(answer({post(R"({"deviceId":")" + QByteArray(300, 'x') + R"(","deviceName":"n"})")})),
              R"({"error":"deviceId and deviceName may have at most 256 characters"})");
    EXPECT_EQ(api.registry.deviceCount(), 0);
}

TEST(TavroAPIServer, WaitsForABodyThatArrivesLaterAndClosesIdlePeers)
{
    Api api;
    const quint16 port = api.server.listeningPort();
    const QByteArray request = post(R"({"deviceId":"slow","deviceName":"Slow phone"})");
    const qsizetype headEnd = request.indexOf("\r\n\r\n") + 4;
    const auto split = exchange(port, {request.left(20), request.mid(20, headEnd - 20), request.mid(headEnd, 10), request.mid(headEnd + 10)}, 100);
    EXPECT_EQ(body(split.received), R"({"success":true,"deviceCount":1})");

    // Silent peers, peers that stop mid-body, and heads that never end are
    // closed at the time-out without an answer.
    for (const QList<QByteArray> &parts : {QList<QByteArray>{}, QList<QByteArray>{request.left(headEnd + 5)},
                                           QList<QByteArray>{"POST /api/tavro/register-device HTTP/1.1\r\nHost: x"}}) {
        QElapsedTimer timer;
        timer.start();
        const auto idle = exchange(port, parts, 0, false, 3000);
        EXPECT_TRUE(idle.closed);
        EXPECT_TRUE(idle.received.isEmpty());
        EXPECT_GE(timer.elapsed(), 350);
        EXPECT_LT(timer.elapsed(), 2500);
    }
}

TEST(TavroAPIServer, BodiesWithoutALengthAndBareLineFeeds)
{
    Api api;
    const quint16 port = api.server.listeningPort();
    // No Content-Length: the body is what follows the blank line, whether it
    // comes in the same write or in pieces.
    const QByteArray head = "POST /api/tavro/register-device HTTP/1.1\r\nHost: x\r\n\r\n";
    EXPECT_EQ(body(exchange(port, {head + R"({"deviceId":"a","deviceName":"A"})"}).received), R"({"success":true,"deviceCount":1})");
    EXPECT_EQ(body(exchange(port, {head + R"({"deviceId":"b",)", R"("deviceName":"B"})"}, 50).received),
              R"({"success":true,"deviceCount":2})");

    // Lines that end with a bare LF, with and without a body.
    const auto health = exchange(port, {"GET /api/tavro/health HTTP/1.1\nHost: x\n\n"});
    EXPECT_EQ(statusLine(health.received), "HTTP/1.1 200 OK");
    EXPECT_EQ(body(health.received), R"({"status":"ok"})");
    const QByteArray json = R"({"deviceId":"d","deviceName":"D"})";
    const auto lf = exchange(port, {"POST /api/tavro/register-device HTTP/1.1\nContent-Length: " + QByteArray::number(json.size())
                                    + "\n\n" + json});
    EXPECT_EQ(body(lf.received), R"({"success":true,"deviceCount":3})");
    // A GET without a length is answered at once, not after a pause.
    QElapsedTimer timer;
    timer.start();
    EXPECT_EQ(statusLine(exchange(port, {"GET /api/tavro/device-count HTTP/1.1\r\n\r\n"}).received), "HTTP/1.1 200 OK");
    EXPECT_LT(timer.elapsed(), TavroAPIServer::kQuietBodyMs);
}

TEST(TavroAPIServer, AnswersManyConnectionsAtOnce)
{
    Api api;
    std::vector<std::unique_ptr<QTcpSocket>> sockets;
    std::vector<QByteArray> answers(200);
    for (int i = 0; i < 200; ++i) {
        auto socket = std::make_unique<QTcpSocket>();
        QTcpSocket *raw = socket.get();
        QObject::connect(raw, &QTcpSocket::connected, [raw, i] {
            raw->write(i % 2 ? "GET /api/tavro/health HTTP/1.1\r\n\r\n" : "\xC3\x28 garbage\r\n\r\n");
        });
        QObject::connect(raw, &QTcpSocket::readyRead, [raw, &answers, i] { answers[i] += raw->readAll(); });
        raw->connectToHost(QHostAddress::LocalHost, api.server.listeningPort());
        sockets.push_back(std::move(socket));
    }
    EXPECT_TRUE(waitUntil([&] {
        return std::all_of(answers.begin(), answers.end(), [](const QByteArray &a) { return a.contains("\r\n\r\n{"); });
    }, 20s));
    for (int i = 0; i < 200; ++i)
        EXPECT_EQ(statusLine(answers[i]), i % 2 ? "HTTP/1.1 200 OK" : "HTTP/1.1 400 Bad Request") << i;
}

TEST(TavroAPIServer, StartAndStop)
{
    Sandbox sandbox;
    DeviceRegistry registry(sandbox.path("registry.json"));
    LogCapture log;
    TavroAPIServer server(registry, 0);
    server.stopListening();
    EXPECT_TRUE(log.contains("TavroAPIServer: Stopped"));
    EXPECT_FALSE(server.isRunning());
    server.startListening();
    const quint16 port = server.listeningPort();
    server.startListening(); // a second start does nothing
    EXPECT_EQ(log.countStartingWith("TavroAPIServer: Starting on port "), 1);

    // The port is taken: the second server says so and stays stopped.
    TavroAPIServer second(registry, port);
    second.startListening();
    EXPECT_FALSE(second.isRunning());
    EXPECT_EQ(log.countStartingWith("TavroAPIServer: Failed to start - "), 1);
    server.stopListening();
    EXPECT_FALSE(server.isRunning());
}

TEST(TavroAPIServer, EachAddressAddsOnlySoManyNewDevices)
{
    Sandbox sandbox;
    DeviceRegistry registry(sandbox.path("data/device_registry.json"), {}, DeviceRegistry::kMaxDevices, 2);
    TavroAPIServer server(registry, 0, 2000);
    server.startListening();
    const auto enroll = [&](const char *id, const char *from) {
        const QByteArray json = QByteArray(R"({"deviceId":")") + id + R"(","deviceName":"Phone"})";
        const QByteArray request = "POST /api/tavro/register-device HTTP/1.1\r\nContent-Length: " + QByteArray::number(json.size())
            + "\r\n\r\n" + json;
        return statusLine(exchange(server.listeningPort(), {request}, 0, false, 3000, QHostAddress(QString::fromLatin1(from))).received);
    };
    EXPECT_EQ(enroll("a", "127.0.0.1"), "HTTP/1.1 200 OK");
    EXPECT_EQ(enroll("b", "127.0.0.1"), "HTTP/1.1 200 OK");
    EXPECT_TRUE(enroll("c", "127.0.0.1").startsWith("HTTP/1.1 429"));
    EXPECT_EQ(enroll("c", "127.0.0.2"), "HTTP/1.1 200 OK");
    EXPECT_EQ(enroll("a", "127.0.0.1"), "HTTP/1.1 200 OK") << "a known device always updates";
    EXPECT_EQ(registry.deviceCount(), 3);
}
