#include "s3/S3Listing.h"


namespace tavrolin::S3Listing {

QUrl pageUrl(const QString &baseUrl, const QString &bucket, const std::optional<QString> &token)
{
    QByteArray url = baseUrl.toLatin1() + '/' + QUrl::toPercentEncoding(bucket) + "?list-type=2&max-keys=1000";
    if (token)
        url += "&continuation-token=" + QUrl::toPercentEncoding(*token);
    return QUrl::fromEncoded(url, QUrl::StrictMode);
}

} // namespace tavrolin::S3Listing
