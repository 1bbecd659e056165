#include "s3/S3Gateway.h"

#include <QCoro/QCoroNetworkReply>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QScopedPointer>
#include <memory>

namespace tavrolin {

namespace {

// Status, headers and the transport's failure; nothing of the caller's.
GatewayResult resultOf(QNetworkReply &reply)
{
    GatewayResult result;
    const QVariant status = reply.attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid()) {
        result.error = reply.errorString();
        return result;
    }
    result.status = status.toInt();
    const QVariant length = reply.header(QNetworkRequest::ContentLengthHeader);
    if (length.isValid())
        result.contentLength = length.toLongLong();
    const QVariant type = reply.header(QNetworkRequest::ContentTypeHeader);
    if (type.isValid())
        result.contentType = type.toString();
    // An answer that began and then broke off is not a whole answer.
    if (reply.error() != QNetworkReply::NoError && result.status >= 200 && result.status <= 299)
        result.error = reply.errorString();
    return result;
}

// A reply resumes its coroutine from inside abort(): it may only be deleted
// once control is back in the event loop.
using Reply = std::unique_ptr<QNetworkReply, QScopedPointerDeleteLater>;

GatewayResult localFailure(const QString &reason)
{
    GatewayResult result;
    result.error = reason;
    result.localError = true;
    return result;
}

} // namespace

QCoro::Task<GatewayResult> S3Gateway::putFile(QUrl url, QString path, qint64 size, QString contentType)
{
    // The file is the reply's body for as long as the reply lives, which is
    // past this call (it is deleted from the event loop).
    auto file = std::make_unique<QFile>(path);
    if (!file->open(QIODevice::ReadOnly))
        co_return localFailure(file->errorString());
    QNetworkRequest request(url);
    request.setTransferTimeout(m_timeoutMs);
    request.setHeader(QNetworkRequest::ContentTypeHeader, contentType);
    request.setHeader(QNetworkRequest::ContentLengthHeader, size);
    Reply reply(m_network.put(request, file.get()));
    file.release()->setParent(reply.get());
    co_await reply.get();
    co_return resultOf(*reply);
}

QCoro::Task<GatewayResult> S3Gateway::head(QUrl url)
{
    QNetworkRequest request(url);
    request.setTransferTimeout(m_timeoutMs);
    Reply reply(m_network.head(request));
    co_await reply.get();
    co_return resultOf(*reply);
}

QCoro::Task<GatewayResult> S3Gateway::getToFile(QUrl url, QFileDevice *out, qint64 readBufferBytes)
{
    QNetworkRequest request(url);
    request.setTransferTimeout(m_timeoutMs);
    Reply reply(m_network.get(request));
    reply->setReadBufferSize(readBufferBytes);
    QString writeError;
    QNetworkReply *raw = reply.get();
    auto drain = [raw, out, &writeError] {
        if (!raw->isOpen()) // aborted after a failed write
            return;
        const int status = raw->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        const QByteArray chunk = raw->readAll();
        if (status < 200 || status > 299 || !writeError.isEmpty())
            return;
        if (out->write(chunk) != chunk.size()) {
            writeError = out->errorString();
            QMetaObject::invokeMethod(raw, &QNetworkReply::abort, Qt::QueuedConnection);
        }
    };
    QObject::connect(raw, &QNetworkReply::readyRead, raw, drain);
    co_await reply.get();
    drain();
    if (!writeError.isEmpty())
        co_return localFailure(writeError);
    co_return resultOf(*reply);
}

} // namespace tavrolin
