#pragma once

#include <QCoro/QCoroTask>
#include <QString>
#include <QUrl>

class QFileDevice;
class QNetworkAccessManager;

namespace tavrolin {

// What the gateway answered to one request.
struct GatewayResult {
    int status = -1;            // HTTP status; -1 without an HTTP answer
    QString error;              // no answer, a broken transfer, or our side failed
    bool localError = false;    // the error is ours (writing the file), not the gateway's
    qint64 contentLength = -1;  // the answer's Content-Length, -1 without one
    QString contentType;        // the answer's Content-Type, empty without one
    bool ok() const { return error.isEmpty() && status >= 200 && status <= 299; }
};

// The client side of the engine's S3 gateway on loopback: every layer that
// stores or fetches an object goes through here. Bodies stream: a PUT reads
// its file as it goes, a GET into a file holds at most the read buffer.
// Each call's result is all a caller needs; it may be awaited by a caller
// that is destroyed meanwhile (the transfers are aborted, the calls return).
class S3Gateway {
public:
    // The network manager is the caller's, with no proxy.
    S3Gateway(QNetworkAccessManager &network, int transferTimeoutMs) : m_network(network), m_timeoutMs(transferTimeoutMs) {}

    // PUT of a whole file, read as it is sent.
    QCoro::Task<GatewayResult> putFile(QUrl url, QString path, qint64 size, QString contentType);
    QCoro::Task<GatewayResult> head(QUrl url);
    // GET into an open file; only a 2xx body is written. A write that fails
    // aborts the transfer.
    QCoro::Task<GatewayResult> getToFile(QUrl url, QFileDevice *out, qint64 readBufferBytes = qint64(1) << 20);

private:
    QNetworkAccessManager &m_network;
    int m_timeoutMs;
};

} // namespace tavrolin
