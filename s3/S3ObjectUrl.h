#pragma once

#include <QString>
#include <QUrl>
#include <optional>

namespace tavrolin::S3ObjectUrl {

// A bucket name the gateway accepts: 3 to 63 lower-case letters, digits,
// dots and hyphens, starting and ending with a letter or digit, not an
// IPv4 address, no "..".
bool isValidBucketName(const QString &bucket);

// baseUrl + "/" + bucket + "/" + key, each "/"-separated segment of the
// key percent-encoded, so that "?", "#" and "%" stay part of the name.
std::optional<QUrl> objectUrl(const QString &baseUrl, const QString &bucket, const QString &key);

} // namespace tavrolin::S3ObjectUrl
