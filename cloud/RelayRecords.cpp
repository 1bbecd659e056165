#include "cloud/RelayRecords.h"

#include <QRegularExpression>
#include <nlohmann/json.hpp>

#include "platform/StrictJson.h"
#include "platform/Validators.h"
#include "s3/S3ObjectUrl.h"

namespace tavrolin::RelayRecords {

namespace {

using nlohmann::json;
using nlohmann::ordered_json;

std::optional<json> parseObject(const QByteArray &bytes)
{
    std::optional<json> value = parseBoundedJson(bytes, kBounds);
    if (!value || !value->is_object())
        return std::nullopt;
    return value;
}

// Reads the required members of one record; the first one missing or of
// the wrong type is the error.
struct Reader {
    const json &object;
    QString error;

    QString string(const char *key)
    {
        const auto value = stringMember(object, key);
        if (!value && error.isEmpty())
            error = QStringLiteral("missing or non-string \"%1\"").arg(QLatin1String(key));
        return value.value_or(QString());
    }
    qint64 integer(const char *key)
    {
        const auto it = object.find(key);
        if (it != object.end() && it->is_number_integer()) {
            if (it->is_number_unsigned() && it->get<std::uint64_t>() > std::uint64_t(INT64_MAX)) {
                if (error.isEmpty())
                    error = QStringLiteral("\"%1\" out of range").arg(QLatin1String(key));
                return 0;
            }
            return it->get<std::int64_t>();
        }
        if (error.isEmpty())
            error = QStringLiteral("missing or non-integer \"%1\"").arg(QLatin1String(key));
        return 0;
    }
    QDateTime date(const char *key)
    {
        const QString text = string(key);
        const QDateTime parsed = parseDate(text);
        if (!parsed.isValid() && error.isEmpty())
            error = QStringLiteral("\"%1\" is not an RFC 3339 date with whole seconds").arg(QLatin1String(key));
        return parsed;
    }
};

QByteArray dump(const ordered_json &value) { return QByteArray::fromStdString(value.dump()); }

} // namespace

QDateTime parseDate(const QString &text)
{
    static const QRegularExpression form(
        QStringLiteral("^\\d{4}-\\d{2}-\\d{2}T\\d{2}:\\d{2}:\\d{2}(Z|[+-]\\d{2}:\\d{2})$"),
        QRegularExpression::CaseInsensitiveOption);
    if (!form.match(text).hasMatch())
        return {};
    QDateTime date = QDateTime::fromString(text.toUpper(), Qt::ISODate);
    return date.isValid() ? date.toUTC() : QDateTime();
}

QString formatDate(const QDateTime &date) { return date.toUTC().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss'Z'")); }

Decoded<RelayMetadata> decodeMetadata(const QByteArray &bytes)
{
    const auto object = parseObject(bytes);
    if (!object)
        return Unexpected{QStringLiteral("The metadata is not a JSON object")};
    Reader r{*object, {}};
    RelayMetadata m;
    m.uploadId = r.string("uploadId");
    m.key = r.string("key");
    m.contentType = r.string("contentType");
    m.size = r.integer("size");
    m.timestamp = r.date("timestamp");
    m.senderDeviceId = r.string("senderDeviceId");
    if (r.error.isEmpty() && m.size < 0)
        r.error = QStringLiteral("negative \"size\"");
    if (!r.error.isEmpty())
        return Unexpected{QStringLiteral("Invalid upload metadata: %1").arg(r.error)};
    return m;
}

Decoded<DownloadRequest> decodeRequest(const QByteArray &bytes)
{
    const auto object = parseObject(bytes);
    if (!object)
        return Unexpected{QStringLiteral("The download request is not a JSON object")};
    Reader r{*object, {}};
    DownloadRequest d;
    d.requestId = r.string("requestId");
    d.key = r.string("key");
    d.timestamp = r.date("timestamp");
    d.requesterDeviceId = r.string("requesterDeviceId");
    if (!r.error.isEmpty())
        return Unexpected{QStringLiteral("Invalid download request: %1").arg(r.error)};
    return d;
}

QByteArray encode(const RelayConfirmation &c)
{
    ordered_json value = {{"uploadId", c.uploadId.toStdString()},
                          {"success", c.success},
                          {"timestamp", formatDate(c.timestamp).toStdString()},
                          {"s3Key", c.s3Key.toStdString()}};
    if (c.error)
        value["error"] = c.error->toStdString();
    return dump(value);
}

QByteArray encode(const DownloadResponse &r)
{
    ordered_json value = {{"requestId", r.requestId.toStdString()},
                          {"success", r.success},
                          {"timestamp", formatDate(r.timestamp).toStdString()}};
    if (r.size)
        value["size"] = *r.size;
    if (r.contentType)
        value["contentType"] = r.contentType->toStdString();
    if (r.error)
        value["error"] = r.error->toStdString();
    return dump(value);
}

std::optional<QUrl> objectUrl(const QString &baseUrl, const QString &key)
{
    QStringView rest = key;
    while (rest.startsWith(u'/'))
        rest = rest.mid(1);
    const qsizetype slash = rest.indexOf(u'/');
    QString bucket, object;
    if (slash < 0) {
        // One part: an object of the default bucket.
        bucket = QStringLiteral("photos");
        object = rest.toString();
    } else {
        bucket = rest.first(slash).toString();
        object = rest.mid(slash + 1).toString();
    }
    if (Validators::hasControlCharacters(key))
        return std::nullopt;
    return S3ObjectUrl::objectUrl(baseUrl, bucket, object);
}

} // namespace tavrolin::RelayRecords
