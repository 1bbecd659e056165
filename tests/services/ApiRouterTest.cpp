// The JSON API's one router, as the LAN server and the tunnel reach it.

#include <gtest/gtest.h>

#include "services/ApiRouter.h"
#include "services/DeviceRegistry.h"
#include "tests/support/TestSupport.h"

using namespace tavrolin;

TEST(ApiRouter, BothTransportsAnswerAlikeButForHealthAndTheDevicesConnectionType)
{
    test::Sandbox sandbox;
    DeviceRegistry registry(sandbox.path("devices.json"));
    const ApiRouter router(registry);
    const auto route = [&](const ApiRequest &request, ApiTransport transport) { return QCoro::waitFor(router.route(request, transport)); };
    const auto both = [&](const ApiRequest &request) {
        return std::pair{route(request, ApiTransport::Lan), route(request, ApiTransport::Tunnel)};
    };

    const auto [lanHealth, tunnelHealth] = both({"GET", "/api/tavro/health", {}});
    EXPECT_EQ(lanHealth.status, 200);
    EXPECT_EQ(lanHealth.bodyBytes(), R"({"status":"ok"})");
    EXPECT_EQ(tunnelHealth.status, 404);
    EXPECT_EQ(tunnelHealth.bodyBytes(), R"({"error":"Not found"})");

    EXPECT_EQ(route({"POST", "/api/tavro/register-device", R"({"deviceId":"L","deviceName":"Laptop"})"}, ApiTransport::Lan)
                  .bodyBytes(),
              R"({"success":true,"deviceCount":1})");
    EXPECT_EQ(route({"POST", "/api/tavro/register-device", R"({"deviceId":"P","deviceName":"Phone"})"}, ApiTransport::Tunnel)
                  .bodyBytes(),
              R"({"success":true,"deviceCount":2})");
    ASSERT_EQ(registry.devices().size(), 2);
    EXPECT_EQ(registry.devices().at(0).connectionType, ConnectionType::Lan);
    EXPECT_EQ(registry.devices().at(1).connectionType, ConnectionType::WebRTC);

    // Everything else is the same answer whichever way it came, bodies that
    // are not JSON objects and paths that only contain a route included.
    const QList<ApiRequest> requests = {
        {"GET", "/api/tavro/device-count", {}},
        {"GET", "/api/tavro/devices", {}},
        {"POST", "/api/tavro/register-device", "not json"},
        {"POST", "/api/tavro/register-device", R"(["deviceId","deviceName"])"},
        {"POST", "/api/tavro/register-device", R"({"deviceId":1,"deviceName":"x"})"},
        {"GET", "/api/tavro/register-device", {}},
        {"GET", "/api/tavro/api/tavro/devices", {}},
        {"GET", "/api/tavro/devices?x=1", {}},
        {"DELETE", "/api/tavro/devices", {}},
    };
    for (const ApiRequest &request : requests) {
        const auto [lan, tunnel] = both(request);
        EXPECT_EQ(lan.status, tunnel.status) << request.method.constData() << ' ' << request.path.constData();
        EXPECT_EQ(lan.bodyBytes(), tunnel.bodyBytes()) << request.path.constData();
    }
    EXPECT_EQ(both({"GET", "/api/tavro/device-count", {}}).first.bodyBytes(), R"({"deviceCount":2})");
    EXPECT_EQ(both({"GET", "/api/tavro/api/tavro/devices", {}}).second.status, 404);
    EXPECT_EQ(both({"POST", "/api/tavro/register-device", "not json"}).first.status, 400);
}
