#include "s3/S3Listing.h"

#include <QCoro/QCoroNetworkReply>
#include <QNetworkReply>
#include <QScopedPointer>

#include "s3/S3ListParser.h"

namespace tavrolin::S3Listing {

QUrl pageUrl(const QString &baseUrl, const QString &bucket, const std::optional<QString> &token)
{
    QByteArray url = baseUrl.toLatin1() + '/' + QUrl::toPercentEncoding(bucket) + "?list-type=2&max-keys=1000";
    if (token)
        url += "&continuation-token=" + QUrl::toPercentEncoding(*token);
    return QUrl::fromEncoded(url, QUrl::StrictMode);
}

QCoro::Task<S3ListPage> fetchPage(QNetworkAccessManager &network, QUrl url, int timeoutMs)
{
    S3ListPage page;
    QNetworkRequest request(url);
    request.setTransferTimeout(timeoutMs);
    // Deleted once back in the event loop: a reply may finish inside abort().
    std::unique_ptr<QNetworkReply, QScopedPointerDeleteLater> reply(network.get(request));
    co_await reply.get();
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid()) {
        page.transportError = reply->errorString();
        co_return page;
    }
    page.status = status.toInt();
    if (page.status != 200)
        co_return page;
    S3ListParser parser(reply->readAll());
    parser.parse();
    page.keys = parser.keys;
    page.isTruncated = parser.isTruncated;
    page.nextContinuationToken = parser.nextContinuationToken;
    page.parseError = parser.errorText;
    co_return page;
}

} // namespace tavrolin::S3Listing
