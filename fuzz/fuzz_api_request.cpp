// The bytes a LAN client sends the JSON API (the listener has bounded them
// at 64 KiB before this reads them), through the request reader and then
// the router, by both transports:
// - a request that is read has a method and a one-token path, and its body
//   is the bytes after the head; one that is not read gets a whole 400;
// - every answer is one of the API's statuses with a JSON object body, a
//   registration succeeds only with a deviceId and deviceName, health is
//   never answered through the tunnel;
// - the registry the requests filled saves a file that loads back to the
//   same devices.
#include <QCoreApplication>
#include <QDir>
#include <QCoro/QCoroTask>
#include <QTemporaryDir>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "fuzz/FuzzCheck.h"
#include "services/ApiRouter.h"
#include "services/DeviceRegistry.h"
#include "services/TavroAPIServer.h"

using namespace tavrolin;

namespace {

constexpr int kRegistryBound = 40;

struct Fixture {
    int argc = 1;
    char name[5] = "fuzz";
    char *argv[2] = {name, nullptr};
    QCoreApplication app{argc, argv};
    QTemporaryDir dir{(QDir(QStringLiteral("/dev/shm")).exists() ? QStringLiteral("/dev/shm") : QDir::tempPath()) + QStringLiteral("/tavrolin-fuzz-XXXXXX")};
    QString file = dir.path() + QStringLiteral("/devices.json");
    std::unique_ptr<DeviceRegistry> registry = std::make_unique<DeviceRegistry>(file, DeviceRegistry::Clock{}, kRegistryBound);
    quint64 requests = 0;
};

Fixture &fixture()
{
    static Fixture f;
    return f;
}

bool isJsonObject(const QByteArray &bytes)
{
    const auto parsed = nlohmann::json::parse(bytes.begin(), bytes.end(), nullptr, false);
    return parsed.is_object();
}

// Destroying the registry waits for its last save; what it wrote must load
// back to the devices it held.
void checkTheFileRoundTrips(Fixture &f)
{
    const QList<RegisteredDevice> held = f.registry->devices();
    f.registry.reset();
    DeviceRegistry reloaded(f.file, {}, kRegistryBound);
    FUZZ_REQUIRE(reloaded.deviceCount() == held.size());
    for (qsizetype i = 0; i < held.size(); ++i)
        FUZZ_REQUIRE(reloaded.devices()[i].id == held[i].id && reloaded.devices()[i].name == held[i].name);
    QFile::remove(f.file);
    f.registry = std::make_unique<DeviceRegistry>(f.file, DeviceRegistry::Clock{}, kRegistryBound);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    Fixture &f = fixture();
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    auto request = TavroAPIServer::parseRequest(bytes);
    if (!request) {
        const QByteArray answer = TavroAPIServer::responseBytes(request.error());
        FUZZ_REQUIRE(request.error().status >= 400 && request.error().status < 500);
        FUZZ_REQUIRE(answer.startsWith("HTTP/1.1 4") && answer.contains("\r\n\r\n"));
        return 0;
    }
    FUZZ_REQUIRE(!request->method.isEmpty() && !request->path.isEmpty());
    // (A stray CR may stay inside them: no route has one, so such a request
    // is answered "Not found".)
    for (const char c : {' ', '\n'})
        FUZZ_REQUIRE(!request->path.contains(c) && !request->method.contains(c));
    FUZZ_REQUIRE(bytes.endsWith(request->body));

    // Each request comes from its own address, so the per-address limit
    // does not hide what the router does with a new device.
    request->source = QStringLiteral("10.0.%1").arg(++f.requests);
    const ApiRouter router(*f.registry);
    for (const ApiTransport transport : {ApiTransport::Lan, ApiTransport::Tunnel}) {
        const ApiResponse response = QCoro::waitFor(router.route(*request, transport));
        FUZZ_REQUIRE(response.status == 200 || response.status == 400 || response.status == 404
                     || response.status == 429 || response.status == 500);
        FUZZ_REQUIRE(isJsonObject(response.bodyBytes()));
        FUZZ_REQUIRE(f.registry->deviceCount() <= kRegistryBound);
        if (response.status != 200)
            continue;
        if (request->path == "/api/tavro/register-device") {
            FUZZ_REQUIRE(request->method == "POST");
            const auto body = nlohmann::json::parse(request->body.begin(), request->body.end(), nullptr, false);
            FUZZ_REQUIRE(body.is_object() && body.contains("deviceId") && body["deviceId"].is_string()
                         && body.contains("deviceName") && body["deviceName"].is_string());
        }
        if (request->path == "/api/tavro/health")
            FUZZ_REQUIRE(transport == ApiTransport::Lan);
    }
    if (f.registry->deviceCount() >= kRegistryBound / 2 || f.requests % 500 == 0)
        checkTheFileRoundTrips(f);
    return 0;
}
