#pragma once

#include <QByteArray>
#include <QList>
#include <QTcpServer>
#include <functional>

namespace tavrolin::test {

// A tiny HTTP server standing in for the gateway, so that tests choose
// every answer. Each request is answered by the handler, then the
// connection is closed.
class FakeS3 : public QObject {
    Q_OBJECT
public:
    struct Request {
        QByteArray method;
        QByteArray target; // path and query, as sent
    };
    struct Response {
        int status = 200;
        QByteArray body;
        int delayMs = 0;
        QByteArray etag; // sent as the ETag header when set
    };
    using Handler = std::function<Response(const Request &)>;

    explicit FakeS3(Handler handler, QObject *parent = nullptr);
    bool listen(int port);
    int port() const { return m_server.serverPort(); }
    void close() { m_server.close(); }
    QList<Request> requests;

private:
    void onConnection();
    Handler m_handler;
    QTcpServer m_server;
};

// One ListObjectsV2 page.
QByteArray listPage(const QStringList &keys, bool truncated, const QString &token = {});

} // namespace tavrolin::test
