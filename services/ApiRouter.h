#pragma once

#include <QByteArray>
#include <QCoro/QCoroTask>
#include <QString>
#include <nlohmann/json.hpp>

#include "platform/JsonBounds.h"

namespace tavrolin {

class DeviceRegistry;

// Where a request to the JSON API arrived.
enum class ApiTransport { Lan, Tunnel };

struct ApiRequest {
    QByteArray method;
    QByteArray path;
    QByteArray body; // as sent; only a JSON object counts as one
    QString source;  // who sent it: an address, a tunnel session
};

struct ApiResponse {
    int status = 200;
    nlohmann::ordered_json body; // keys in the order written
    QByteArray bodyBytes() const;
};

// The JSON API's routes, answered from the device registry. The TCP server
// and the tunnel's sessions both hand it what they read, and frame its
// answer their own way. The one difference between them: health is a LAN
// route only, and a device that registers through the tunnel is a WebRTC
// device.
class ApiRouter {
public:
    static constexpr const char *kPrefix = "/api/tavro/";
    // A body it reads: no more than the LAN listener takes in a request.
    static constexpr JsonBounds kBodyBounds{65536, 8};

    explicit ApiRouter(DeviceRegistry &registry) : m_registry(registry) {}
    // A registration is answered once it is saved; the rest at once.
    QCoro::Task<ApiResponse> route(ApiRequest request, ApiTransport transport) const;

private:
    DeviceRegistry &m_registry;
};

} // namespace tavrolin
