#pragma once

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QTcpServer>
#include <nlohmann/json.hpp>
#include <optional>

#include "platform/Lifetime.h"
#include "platform/ManagedService.h"
#include "platform/Result.h"
#include "services/ApiRouter.h"

class QTcpSocket;

namespace tavrolin {

class DeviceRegistry;

// The small HTTP/1.1 JSON API on TCP port 8334 through which devices on the
// LAN check the server and register. One request per connection, answered
// with a JSON object, then the connection is closed.
class TavroAPIServer : public QObject, public ListeningService {
    Q_OBJECT
    Q_PROPERTY(bool isRunning READ isRunning NOTIFY isRunningChanged)
public:
    static constexpr quint16 kPort = 8334;
    // A whole request, head and body, read or parsed; past it a 400.
    static constexpr qsizetype kMaxRequestBytes = 65536;
    // How long a body without a Content-Length may pause before it is taken as whole.
    static constexpr int kQuietBodyMs = 200;

    // Tests give their own port, registry and read time-out.
    TavroAPIServer(DeviceRegistry &registry, quint16 port = kPort, int readTimeoutMs = 10000, QObject *parent = nullptr);

    bool isRunning() const { return m_isRunning; }
    quint16 port() const { return m_port; }
    quint16 listeningPort() const { return m_listener.serverPort(); }

    // The API needs no gateway: the port is the sequence's, unused.
    void startListening(int s3Port = 0) override;
    void stopListening() override;

    using Request = ApiRequest;
    using Response = ApiResponse;
    // The request as read from the bytes that arrived, or the 400 answer.
    static Result<Request, Response> parseRequest(const QByteArray &bytes);
    QCoro::Task<Response> handle(Request request) const { return m_router.route(std::move(request), ApiTransport::Lan); }
    static QByteArray responseBytes(const Response &response);

Q_SIGNALS:
    void isRunningChanged();

private:
    void onNewConnection();
    void setRunning(bool running);

    ApiRouter m_router;
    quint16 m_port;
    int m_readTimeoutMs;
    QTcpServer m_listener;
    bool m_isRunning = false;
    Lifetime m_lifetime; // last: ends first
};

} // namespace tavrolin
