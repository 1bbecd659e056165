#include "s3/S3Gateway.h"

#include <QCoro/QCoroNetworkReply>
#include <QCryptographicHash>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QScopedPointer>

#include "s3/S3ListParser.h"
#include <memory>

namespace tavrolin {

namespace {

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

QString S3Gateway::integrityProblem(QByteArray etag, const QByteArray &md5)
{
    etag = etag.trimmed();
    if (etag.startsWith("W/"))
        etag = etag.mid(2);
    if (etag.size() >= 2 && etag.startsWith('"') && etag.endsWith('"'))
        etag = etag.mid(1, etag.size() - 2);
    if (etag.isEmpty() || etag.contains('-'))
        return {};
    if (etag.toLower() != md5.toHex())
        return QStringLiteral("MD5 %1, ETag %2").arg(QString::fromLatin1(md5.toHex()), QString::fromLatin1(etag));
    return {};
}

// Status, headers and the transport's failure; nothing of the caller's.
GatewayResult S3Gateway::resultOf(QNetworkReply &reply)
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

QNetworkRequest S3Gateway::request(const QUrl &url, int transferTimeoutMs)
{
    QNetworkRequest request(url);
    request.setTransferTimeout(transferTimeoutMs);
    // The gateway answers itself: a redirect would lead a body elsewhere,
    // and nothing of one answer may be kept for another.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    request.setAttribute(QNetworkRequest::CookieLoadControlAttribute, QNetworkRequest::Manual);
    request.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Manual);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    return request;
}

QNetworkReply *S3Gateway::startPut(const QUrl &url, QIODevice *body, qint64 size, const QString &contentType)
{
    QNetworkRequest request = S3Gateway::request(url, m_timeoutMs);
    request.setHeader(QNetworkRequest::ContentTypeHeader, contentType);
    request.setHeader(QNetworkRequest::ContentLengthHeader, size);
    request.setAttribute(QNetworkRequest::DoNotBufferUploadDataAttribute, true);
    QNetworkReply *reply = m_network.put(request, body);
    body->setParent(reply);
    return reply;
}

QCoro::Task<GatewayResult> S3Gateway::putFile(QUrl url, QString path, qint64 size, QString contentType)
{
    // The file is the reply's body for as long as the reply lives, which is
    // past this call (it is deleted from the event loop).
    auto file = std::make_unique<QFile>(path);
    if (!file->open(QIODevice::ReadOnly))
        co_return localFailure(file->errorString());
    auto *body = new HashingReader(std::move(file));
    Reply reply(startPut(url, body, size, contentType));
    co_await reply.get();
    GatewayResult result = resultOf(*reply);
    const std::optional<QByteArray> md5 = body->md5();
    const QString mismatch = result.ok() && md5 ? integrityProblem(reply->rawHeader("ETag"), *md5) : QString();
    if (mismatch.isEmpty())
        co_return result;
    // What the store holds is not the file: it must not stay as if it were.
    const GatewayResult removed = co_await send("DELETE", url);
    result.error = QStringLiteral("The stored object does not match the file (%1)").arg(mismatch);
    if (!removed.ok())
        result.error += QStringLiteral("; it could not be removed");
    co_return result;
}

QCoro::Task<GatewayResult> S3Gateway::head(QUrl url)
{
    Reply reply(m_network.head(request(url, m_timeoutMs)));
    co_await reply.get();
    co_return resultOf(*reply);
}

QCoro::Task<GatewayResult> S3Gateway::getToFile(QUrl url, QFileDevice *out, qint64 readBufferBytes,
                                                std::function<void(QNetworkReply *)> onStarted)
{
    Reply reply(m_network.get(request(url, m_timeoutMs)));
    reply->setReadBufferSize(readBufferBytes);
    if (onStarted)
        onStarted(reply.get());
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

QCoro::Task<GatewayResult> S3Gateway::send(QByteArray verb, QUrl url, QByteArray body, Headers headers,
                                           qint64 maxAnswerBytes)
{
    QNetworkRequest request = S3Gateway::request(url, m_timeoutMs);
    for (const auto &[name, value] : headers)
        request.setRawHeader(name, value);
    Reply reply(body.isEmpty() && verb != "PUT" && verb != "POST" ? m_network.sendCustomRequest(request, verb)
                                                                   : m_network.sendCustomRequest(request, verb, body));
    QByteArray answer;
    bool tooLong = false;
    QNetworkReply *raw = reply.get();
    auto drain = [raw, &answer, &tooLong, maxAnswerBytes] {
        if (!raw->isOpen() || tooLong)
            return;
        answer += raw->readAll();
        if (maxAnswerBytes != kUnbounded && answer.size() > maxAnswerBytes) {
            tooLong = true;
            QMetaObject::invokeMethod(raw, &QNetworkReply::abort, Qt::QueuedConnection);
        }
    };
    QObject::connect(raw, &QNetworkReply::readyRead, raw, drain);
    co_await reply.get();
    drain();
    GatewayResult result = resultOf(*reply);
    if (tooLong) {
        // The status stands (it arrived whole); the body does not.
        result.error = QStringLiteral("The answer is longer than %1 bytes").arg(maxAnswerBytes);
        result.localError = true;
        co_return result;
    }
    result.body = std::move(answer);
    co_return result;
}

QCoro::Task<S3ListPage> S3Gateway::listPage(QUrl url)
{
    const GatewayResult answer = co_await send("GET", url, {}, {}, S3ListParser::kMaxPageBytes);
    S3ListPage page;
    if (answer.status < 0) {
        page.transportError = answer.error;
        co_return page;
    }
    page.status = answer.status;
    if (page.status != 200)
        co_return page;
    S3ListParser parser(answer.body);
    parser.parse();
    page.keys = parser.keys;
    page.etags = parser.etags;
    page.sizes = parser.sizes;
    page.isTruncated = parser.isTruncated;
    page.nextContinuationToken = parser.nextContinuationToken;
    page.parseError = parser.errorText;
    // Cut off: the keys that arrived stand, the page is not whole.
    if (page.parseError.isEmpty() && !answer.error.isEmpty())
        page.parseError = answer.error;
    co_return page;
}

QCoro::Task<std::optional<S3ListPage>> S3Gateway::forEachPage(QString baseUrl, QString bucket,
                                                              std::function<void(const S3ListPage &)> onPage)
{
    std::optional<QString> token;
    for (;;) {
        const QUrl url = S3Listing::pageUrl(baseUrl, bucket, token);
        if (!url.isValid()) {
            S3ListPage invalid;
            invalid.transportError = QStringLiteral("Invalid listing address");
            co_return invalid;
        }
        S3ListPage page = co_await listPage(url);
        if (!page.transportError.isEmpty() || page.status != 200)
            co_return page;
        onPage(page);
        if (!page.parseError.isEmpty())
            co_return page;
        if (!page.isTruncated || !page.nextContinuationToken)
            co_return std::nullopt;
        token = page.nextContinuationToken;
    }
}

} // namespace tavrolin
