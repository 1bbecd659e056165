#pragma once

#include <QStringList>
#include <QUrl>
#include <optional>

namespace tavrolin {

// One ListObjectsV2 page as fetched from the gateway.
struct S3ListPage {
    int status = -1;        // HTTP status; -1 without an HTTP response
    QString transportError; // set when there was no HTTP response
    QStringList keys;
    QStringList etags;    // beside each key, "" when not given
    QList<qint64> sizes;  // beside each key, -1 when not given
    bool isTruncated = false;
    std::optional<QString> nextContinuationToken;
    QString parseError;     // the page was cut short; its keys so far stand
};

namespace S3Listing {

// baseUrl/bucket?list-type=2&max-keys=1000[&continuation-token=...]. The
// token is encoded down to the unreserved characters: it is a key, and a
// "&", "+" or "=" in it would end the query.
QUrl pageUrl(const QString &baseUrl, const QString &bucket, const std::optional<QString> &token);

} // namespace S3Listing
} // namespace tavrolin
