#pragma once

#include <QString>
#include <QUrl>
#include <optional>

namespace tavrolin::S3ObjectUrl {

// A bucket name the gateway accepts: 3 to 63 lower-case letters, digits,
// dots and hyphens, starting and ending with a letter or digit, not an
// IPv4 address, no "..".
bool isValidBucketName(const QString &bucket);

// A key that names one object: not empty, no "." or ".." segment (they
// would be resolved away and reach another object or bucket), no control
// characters.
bool isValidObjectKey(const QString &key);

// baseUrl + "/" + bucket + "/" + key, each "/"-separated segment of the
// key percent-encoded, so that "?", "#" and "%" stay part of the name.
std::optional<QUrl> objectUrl(const QString &baseUrl, const QString &bucket, const QString &key);

} // namespace tavrolin::S3ObjectUrl
