#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QUrl>
#include <optional>

#include "platform/JsonBounds.h"
#include "platform/Result.h"

namespace tavrolin {

// The JSON records exchanged through the relay folder. Encoded compact, in
// the key order below, optional fields omitted; dates are RFC 3339 with
// whole seconds, written in UTC with "Z".

struct RelayMetadata {
    QString uploadId;
    QString key;
    QString contentType;
    qint64 size = 0;
    QDateTime timestamp;
    QString senderDeviceId;
};

struct RelayConfirmation {
    QString uploadId;
    bool success = false;
    QDateTime timestamp;
    QString s3Key;
    std::optional<QString> error;
};

struct DownloadRequest {
    QString requestId;
    QString key;
    QDateTime timestamp;
    QString requesterDeviceId;
};

struct DownloadResponse {
    QString requestId;
    bool success = false;
    QDateTime timestamp;
    std::optional<qint64> size;
    std::optional<QString> contentType;
    std::optional<QString> error;
};

namespace RelayRecords {

// What the decoders accept: one flat object in a file of at most a MiB
// (records are a few hundred bytes; the watcher reads no more of one).
constexpr JsonBounds kBounds{qsizetype(1) << 20, 2};

// A decoded record, or why the bytes are not one.
template <typename T>
using Decoded = Result<T>;

Decoded<RelayMetadata> decodeMetadata(const QByteArray &json);
Decoded<DownloadRequest> decodeRequest(const QByteArray &json);
QByteArray encode(const RelayConfirmation &record);
QByteArray encode(const DownloadResponse &record);

// Strict RFC 3339 date-time without fractional seconds; null when it is not one.
QDateTime parseDate(const QString &text);
QString formatDate(const QDateTime &date);

// Where a relay key lives on the S3 gateway: the first path part is the
// bucket and the rest the object key; a key without a bucket part goes to
// "photos". Nothing when the key names no object (empty, a bare bucket, a
// "." or ".." segment, control characters).
std::optional<QUrl> objectUrl(const QString &baseUrl, const QString &key);

} // namespace RelayRecords
} // namespace tavrolin
