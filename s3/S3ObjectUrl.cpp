#include "s3/S3ObjectUrl.h"

#include <QHostAddress>
#include <QRegularExpression>

#include "platform/Validators.h"

namespace tavrolin::S3ObjectUrl {

bool isValidBucketName(const QString &bucket)
{
    static const QRegularExpression form(QStringLiteral("^[a-z0-9][a-z0-9.-]{1,61}[a-z0-9]$"));
    if (!form.match(bucket).hasMatch() || bucket.contains(QLatin1String("..")))
        return false;
    QHostAddress address;
    return !(address.setAddress(bucket) && address.protocol() == QAbstractSocket::IPv4Protocol);
}

std::optional<QUrl> objectUrl(const QString &baseUrl, const QString &bucket, const QString &key)
{
    if (bucket.isEmpty() || bucket.contains(u'/') || bucket == QLatin1String(".") || bucket == QLatin1String("..")
        || !Validators::isValidObjectKey(key))
        return std::nullopt;
    const QByteArray path = '/' + QUrl::toPercentEncoding(bucket) + '/' + QUrl::toPercentEncoding(key, "/");
    QUrl url = QUrl::fromEncoded(baseUrl.toUtf8() + path, QUrl::StrictMode);
    if (!url.isValid())
        return std::nullopt;
    return url;
}

} // namespace tavrolin::S3ObjectUrl
