#include "services/DeviceRegistry.h"
#include "tests/support/TestSupport.h"
#include "tunnel/ClientConnection.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <gtest/gtest.h>

using namespace tavrolin;
using namespace tavrolin::HTTPTunnelProtocol;

namespace {

QUrl gateway()
{
    QUrl base;
    base.setScheme("http");
    base.setHost("localhost");
    base.setPort(8333);
    return base;
}

Result<QNetworkRequest> convert(const QString &path, Headers headers = {})
{
    return ClientConnection::toURLRequest({"r1", "GET", path, headers, std::nullopt}, gateway(), std::chrono::seconds(60));
}

} // namespace

TEST(TunnelRequest, NoPathReachesAnotherHostOrPort)
{
    for (const QString &path : {QStringLiteral("//evil.example/x"), QStringLiteral("/@evil.example/x"),
                                QStringLiteral("/photos/a.jpg#frag"), QStringLiteral("/..//x:9/y")}) {
        const auto result = convert(path);
        if (const QNetworkRequest *request = result ? &*result : nullptr) {
            EXPECT_EQ(request->url().host(), "localhost") << path.toStdString();
            EXPECT_EQ(request->url().port(), 8333) << path.toStdString();
            EXPECT_TRUE(request->url().userInfo().isEmpty()) << path.toStdString();
        }
    }
    for (const QString &path : {QStringLiteral("http://evil.example/x"), QStringLiteral("@evil.example/x"),
                                QStringLiteral("photos/a.jpg"), QString(), QStringLiteral("/a\r\nHost: x")})
        EXPECT_FALSE(convert(path).hasValue()) << path.toStdString();
}

TEST(TunnelRequest, QueryKeptHostAndFramingHeadersDropped)
{
    const auto result = convert("/photos?list-type=2&prefix=a%2Fb",
                                {{"HoSt", "evil"}, {"Content-Length", "5"}, {"X-Amz-Date", "now"}, {"Bad", "a\nb"}});
    ASSERT_TRUE(result.hasValue()) << result.error().toStdString();
    const QNetworkRequest &request = *result;
    EXPECT_EQ(request.url().toString(QUrl::FullyEncoded), "http://localhost:8333/photos?list-type=2&prefix=a%2Fb");
    EXPECT_FALSE(request.hasRawHeader("Host"));
    EXPECT_FALSE(request.hasRawHeader("Content-Length"));
    EXPECT_FALSE(request.hasRawHeader("Bad"));
    EXPECT_EQ(request.rawHeader("X-Amz-Date"), "now");
    EXPECT_EQ(request.attribute(QNetworkRequest::RedirectPolicyAttribute).toInt(), int(QNetworkRequest::ManualRedirectPolicy));
}

TEST(TunnelRequest, OnlyMediaGetsAreStreamed)
{
    EXPECT_TRUE(ClientConnection::isStreamedMedia({"1", "GET", "/photos/a.JPG", {}, {}}));
    EXPECT_TRUE(ClientConnection::isStreamedMedia({"1", "GET", "/photos/v.webm", {}, {}}));
    EXPECT_FALSE(ClientConnection::isStreamedMedia({"1", "GET", "/photos/a.jpg?x=1", {}, {}}));
    EXPECT_FALSE(ClientConnection::isStreamedMedia({"1", "POST", "/photos/a.jpg", {}, {}}));
    EXPECT_FALSE(ClientConnection::isStreamedMedia({"1", "GET", "/photos/jpg", {}, {}}));
}

TEST(TunnelRequest, TheInProcessApiRegistersWebRTCDevices)
{
    test::Sandbox sandbox;
    DeviceRegistry registry(sandbox.path("devices.json"));
    const auto body = [](const TunnelResponse &r) { return QJsonDocument::fromJson(r.body.value_or(QByteArray())).object(); };
    const auto api = [&](TunnelRequest request) { return QCoro::waitFor(ClientConnection::apiResponse(std::move(request), registry, "session")); };

    TunnelResponse missing = api({"1", "POST", "/api/tavro/register-device", {}, QByteArray(R"({"deviceId":"A"})")});
    EXPECT_EQ(missing.statusCode, 400);
    EXPECT_EQ(body(missing).value("error").toString(), "Missing deviceId or deviceName");
    EXPECT_EQ(missing.headers.value("Content-Type"), "application/json");
    EXPECT_EQ(missing.id, "1");

    TunnelResponse ok = api(
        {"2", "POST", "/api/tavro/register-device", {}, QByteArray(R"({"deviceId":"A","deviceName":"Phone"})")});
    EXPECT_EQ(ok.statusCode, 200);
    EXPECT_EQ(*ok.body, R"({"success":true,"deviceCount":1})");
    ASSERT_EQ(registry.devices().size(), 1);
    EXPECT_EQ(registry.devices().first().connectionType, ConnectionType::WebRTC);

    EXPECT_EQ(*api({"3", "GET", "/api/tavro/device-count", {}, {}}).body, R"({"deviceCount":1})");
    EXPECT_EQ(api({"4", "GET", "/api/tavro/devices", {}, {}}).statusCode, 200);
    TunnelResponse health = api({"5", "GET", "/api/tavro/health", {}, {}});
    EXPECT_EQ(health.statusCode, 404);
    EXPECT_EQ(*health.body, R"({"error":"Not found"})");
    EXPECT_EQ(api({"6", "POST", "/api/tavro/register-device", {}, QByteArray("not json")}).statusCode, 400);
}
