#include "services/ApiRouter.h"

#include "platform/StrictJson.h"
#include "services/DeviceRegistry.h"

namespace tavrolin {

QByteArray ApiResponse::bodyBytes() const
{
    try {
        return QByteArray::fromStdString(body.dump());
    } catch (const nlohmann::json::exception &) {
        return "{}"; // text that is not UTF-8 cannot be written as JSON
    }
}

ApiResponse ApiRouter::route(const ApiRequest &request, ApiTransport transport) const
{
    if (request.method == "POST" && request.path == "/api/tavro/register-device") {
        const nlohmann::json body = nlohmann::json::parse(request.body.begin(), request.body.end(), nullptr, false);
        const auto id = stringMember(body, "deviceId"), name = stringMember(body, "deviceName");
        if (!id || !name)
            return {400, {{"error", "Missing deviceId or deviceName"}}};
        const RegistrationResult result = m_registry.registerDevice(
            *id, *name, transport == ApiTransport::Lan ? ConnectionType::Lan : ConnectionType::WebRTC);
        if (result.notSaved)
            return {500, {{"error", result.error.toStdString()}}};
        if (!result.ok())
            return {400, {{"error", result.error.toStdString()}}};
        return {200, {{"success", true}, {"deviceCount", result.deviceCount}}};
    }
    if (request.method == "GET" && request.path == "/api/tavro/device-count")
        return {200, {{"deviceCount", m_registry.deviceCount()}}};
    if (request.method == "GET" && request.path == "/api/tavro/devices")
        return {200, m_registry.deviceListResponse()};
    if (transport == ApiTransport::Lan && request.method == "GET" && request.path == "/api/tavro/health")
        return {200, {{"status", "ok"}}};
    return {404, {{"error", "Not found"}}};
}

} // namespace tavrolin
