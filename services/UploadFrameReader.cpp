#include "services/UploadFrameReader.h"

#include <QRegularExpression>
#include <QtEndian>
#include <nlohmann/json.hpp>

#include "platform/StrictJson.h"
#include "platform/Validators.h"
#include "s3/S3ObjectUrl.h"

namespace tavrolin {

Result<UploadHeader> UploadHeader::parse(const QByteArray &bytes)
{
    const std::optional<nlohmann::json> parsed = parseBoundedJson(bytes, kBounds);
    if (!parsed || !parsed->is_object())
        return Unexpected{QStringLiteral("not a JSON object within the header's bounds")};
    const nlohmann::json &value = *parsed;
    UploadHeader header;
    const auto bucket = stringMember(value, "bucket"), key = stringMember(value, "key"),
               contentType = stringMember(value, "contentType");
    const auto size = value.find("size");
    if (!bucket || !key || !contentType || size == value.end() || !size->is_number_integer())
        return Unexpected{QStringLiteral("a member is missing or of the wrong type")};
    if (size->is_number_unsigned() ? size->get<std::uint64_t>() > std::uint64_t(kMaxSize)
                                   : (size->get<std::int64_t>() < 0 || size->get<std::int64_t>() > kMaxSize))
        return Unexpected{QStringLiteral("size out of range")};
    header.bucket = *bucket;
    header.key = *key;
    header.contentType = *contentType;
    header.size = size->get<std::int64_t>();
    if (const auto digest = value.find("sha256"); digest != value.end()) {
        static const QRegularExpression kHex(QStringLiteral("^[0-9a-fA-F]{64}$"));
        if (!digest->is_string() || !kHex.match(QString::fromStdString(digest->get<std::string>())).hasMatch())
            return Unexpected{QStringLiteral("sha256 is not 64 hex digits")};
        header.sha256 = QByteArray::fromStdString(digest->get<std::string>()).toLower();
    }
    if (!S3ObjectUrl::isValidBucketName(header.bucket))
        return Unexpected{QStringLiteral("invalid bucket name")};
    if (!Validators::isValidObjectKey(header.key))
        return Unexpected{QStringLiteral("invalid key")};
    return header;
}

UploadFrameReader::Frame UploadFrameReader::readFrame(qint64 &consumed)
{
    // After a bad frame the bytes that follow have no known place: nothing
    // more is read as a frame.
    if (m_failed)
        return *m_failed;
    if (m_headerLength == 0) {
        if (m_pending.size() < 4)
            return Frame::NeedMore;
        m_headerLength = m_lastLength = qFromBigEndian<quint32>(m_pending.constData());
        m_pending.remove(0, 4);
        consumed += 4;
        if (m_headerLength == 0 || m_headerLength > UploadHeader::kMaxHeaderBytes)
            return *(m_failed = Frame::BadLength);
    }
    if (m_pending.size() < qsizetype(m_headerLength))
        return Frame::NeedMore;
    const QByteArray json = m_pending.first(m_headerLength);
    m_pending.remove(0, m_headerLength);
    consumed += m_headerLength;
    m_headerLength = 0;
    auto parsed = UploadHeader::parse(json);
    if (!parsed) {
        m_headerError = parsed.error();
        return *(m_failed = Frame::BadHeader);
    }
    m_header = std::move(parsed).value();
    m_remaining = m_header.size;
    return Frame::Header;
}

QByteArray UploadFrameReader::takeBody()
{
    const qint64 n = qMin<qint64>(m_remaining, m_pending.size());
    if (n <= 0)
        return {};
    m_remaining -= n;
    if (n == m_pending.size())
        return std::exchange(m_pending, QByteArray());
    QByteArray piece = m_pending.first(n);
    m_pending.remove(0, n);
    return piece;
}

qsizetype UploadFrameReader::discard()
{
    return std::exchange(m_pending, QByteArray()).size();
}

qsizetype UploadFrameReader::keepOnlyBody()
{
    const qsizetype dropped = qMax<qsizetype>(0, m_pending.size() - qsizetype(m_remaining));
    m_pending.truncate(m_pending.size() - dropped);
    return dropped;
}

} // namespace tavrolin
