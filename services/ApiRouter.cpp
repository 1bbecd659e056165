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

QCoro::Task<ApiResponse> ApiRouter::route(ApiRequest request, ApiTransport transport) const
{
    if (request.method == "POST" && request.path == "/api/tavro/register-device") {
        const nlohmann::json body = parseBoundedJson(request.body, kBodyBounds).value_or(nlohmann::json());
        const auto id = stringMember(body, "deviceId"), name = stringMember(body, "deviceName");
        if (!id || !name)
            co_return ApiResponse{400, {{"error", "Missing deviceId or deviceName"}}};
        const RegistrationResult result = co_await m_registry.registerDevice(
            *id, *name, transport == ApiTransport::Lan ? ConnectionType::Lan : ConnectionType::WebRTC, request.source);
        if (result.notSaved)
            co_return ApiResponse{500, {{"error", result.error.toStdString()}}};
        if (result.throttled)
            co_return ApiResponse{429, {{"error", result.error.toStdString()}}};
        if (!result.ok())
            co_return ApiResponse{400, {{"error", result.error.toStdString()}}};
        co_return ApiResponse{200, {{"success", true}, {"deviceCount", result.deviceCount}}};
    }
    if (request.method == "GET" && request.path == "/api/tavro/device-count")
        co_return ApiResponse{200, {{"deviceCount", m_registry.deviceCount()}}};
    if (request.method == "GET" && request.path == "/api/tavro/devices")
        co_return ApiResponse{200, m_registry.deviceListResponse()};
    if (transport == ApiTransport::Lan && request.method == "GET" && request.path == "/api/tavro/health")
        co_return ApiResponse{200, {{"status", "ok"}}};
    co_return ApiResponse{404, {{"error", "Not found"}}};
}

} // namespace tavrolin
