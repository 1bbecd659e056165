#include "tunnel/HTTPTunnelProtocol.h"

#include <QUuid>
#include <QtEndian>

#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>

#include "platform/StrictJson.h"

namespace tavrolin::HTTPTunnelProtocol {

namespace {

using Json = nlohmann::json;
using OrderedJson = nlohmann::ordered_json;

constexpr quint64 kMaxLength = std::numeric_limits<quint32>::max();

std::string utf8(const QString &s) { return s.toStdString(); }

OrderedJson headersJson(const Headers &headers)
{
    OrderedJson object = OrderedJson::object();
    for (auto it = headers.begin(); it != headers.end(); ++it)
        object[utf8(it.key())] = utf8(it.value());
    return object;
}

std::optional<QByteArray> dump(const OrderedJson &json)
{
    try {
        return QByteArray::fromStdString(json.dump());
    } catch (const nlohmann::json::exception &) {
        return std::nullopt;
    }
}

// Strict readers: a missing key or a value of another JSON type fails.
bool readString(const Json &object, const char *key, QString &out)
{
    const auto value = stringMember(object, key);
    if (value)
        out = *value;
    return value.has_value();
}

bool readInteger(const Json &value, qint64 &out)
{
    if (value.is_number_unsigned()) {
        const auto v = value.get<std::uint64_t>();
        if (v > quint64(std::numeric_limits<qint64>::max()))
            return false;
        out = qint64(v);
        return true;
    }
    if (value.is_number_integer()) {
        out = value.get<std::int64_t>();
        return true;
    }
    return false;
}

bool readInteger(const Json &object, const char *key, qint64 &out)
{
    const auto it = object.find(key);
    return it != object.end() && readInteger(*it, out);
}

bool readOptionalInteger(const Json &object, const char *key, std::optional<qint64> &out)
{
    const auto it = object.find(key);
    if (it == object.end())
        return true;
    qint64 v = 0;
    if (!readInteger(*it, v))
        return false;
    out = v;
    return true;
}

bool readHeaders(const Json &object, Headers &out)
{
    const auto it = object.find("headers");
    if (it == object.end() || !it->is_object())
        return false;
    for (auto field = it->begin(); field != it->end(); ++field) {
        if (!field->is_string())
            return false;
        out.insert(QString::fromStdString(field.key()), QString::fromStdString(field->get_ref<const std::string &>()));
    }
    return true;
}

std::optional<Json> parseObject(QByteArrayView bytes)
{
    std::optional<Json> json = parseBoundedJson<Json>(bytes, kHeaderBounds);
    if (!json || !json->is_object())
        return std::nullopt;
    return json;
}

struct Prefix {
    std::uint8_t type;
    quint64 headerLength;
    quint64 bodyLength;
};

std::optional<Prefix> readPrefix(QByteArrayView data)
{
    if (data.size() < kPrefixSize)
        return std::nullopt;
    const auto *bytes = reinterpret_cast<const uchar *>(data.data());
    return Prefix{bytes[0], qFromLittleEndian<quint32>(bytes + 1), qFromLittleEndian<quint32>(bytes + 5)};
}

void appendPrefix(QByteArray &out, MessageType type, qsizetype headerLength, qsizetype bodyLength)
{
    uchar prefix[kPrefixSize];
    prefix[0] = uchar(type);
    qToLittleEndian<quint32>(quint32(headerLength), prefix + 1);
    qToLittleEndian<quint32>(quint32(bodyLength), prefix + 5);
    out.append(reinterpret_cast<const char *>(prefix), kPrefixSize);
}

QString canonicalUuid() { return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper(); }

} // namespace

QString describe(FrameError error)
{
    switch (error) {
    case FrameError::HeaderEncodingFailed: return QStringLiteral("Response header could not be encoded");
    case FrameError::HeaderTooLong: return QStringLiteral("Response header too long for the tunnel");
    case FrameError::TooLarge: return QStringLiteral("Response too large for the tunnel");
    }
    return {};
}

std::optional<QByteArray> encodeMessage(MessageType type, QByteArrayView header, QByteArrayView body)
{
    if (quint64(header.size()) > kMaxLength || quint64(body.size()) > kMaxLength)
        return std::nullopt;
    QByteArray out;
    out.reserve(kPrefixSize + header.size() + body.size());
    appendPrefix(out, type, header.size(), body.size());
    out.append(header);
    out.append(body);
    return out;
}

QByteArray encodeRequestHeader(const RequestHeader &h)
{
    OrderedJson json = {{"id", utf8(h.id)}, {"method", utf8(h.method)}, {"path", utf8(h.path)}, {"headers", headersJson(h.headers)}};
    return dump(json).value_or(QByteArray());
}

std::optional<QByteArray> encodeResponseHeader(const ResponseHeader &h)
{
    OrderedJson json = {{"id", utf8(h.id)}, {"statusCode", h.statusCode}, {"headers", headersJson(h.headers)}};
    return dump(json);
}

std::optional<QByteArray> encodeErrorHeader(const ErrorHeader &h)
{
    OrderedJson json = {{"id", utf8(h.id)}, {"code", h.code}, {"message", utf8(h.message)}};
    return dump(json);
}

QByteArray encodeChunkHeader(const ChunkHeader &h)
{
    OrderedJson json = {{"messageId", utf8(h.messageId)},
                        {"chunkIndex", h.chunkIndex},
                        {"totalChunks", h.totalChunks},
                        {"originalType", int(h.originalType)}};
    if (h.finalHeaderLen)
        json["finalHeaderLen"] = *h.finalHeaderLen;
    if (h.finalBodyLen)
        json["finalBodyLen"] = *h.finalBodyLen;
    return dump(json).value_or(QByteArray());
}

std::optional<QByteArray> serializeResponse(const TunnelResponse &r)
{
    const auto header = encodeResponseHeader({r.id, r.statusCode, r.headers});
    if (!header)
        return std::nullopt;
    return encodeMessage(MessageType::Response, *header, r.body ? QByteArrayView(*r.body) : QByteArrayView());
}

std::optional<QByteArray> serializeRequest(const TunnelRequest &r)
{
    const QByteArray header = encodeRequestHeader({r.id, r.method, r.path, r.headers});
    return encodeMessage(MessageType::Request, header, r.body ? QByteArrayView(*r.body) : QByteArrayView());
}

std::optional<QByteArray> serializeError(const TunnelError &e)
{
    const auto header = encodeErrorHeader({e.id, e.code, e.message});
    if (!header)
        return std::nullopt;
    return encodeMessage(MessageType::Error, *header, {});
}

Result<QList<QByteArray>, FrameError> responseMessages(const TunnelResponse &response)
{
    const auto header = encodeResponseHeader({response.id, response.statusCode, response.headers});
    if (!header)
        return Unexpected{FrameError::HeaderEncodingFailed};
    const QByteArrayView body = response.body ? QByteArrayView(*response.body) : QByteArrayView();
    if (kPrefixSize + header->size() + body.size() <= kMaxMessageSize)
        return QList<QByteArray>{*encodeMessage(MessageType::Response, *header, body)};
    return createChunks(MessageType::Response, *header, body);
}

Result<QList<QByteArray>, FrameError> createChunks(MessageType type, QByteArrayView header, QByteArrayView body,
                                                         const QString &givenMessageId)
{
    const qint64 H = header.size();
    const qint64 B = body.size();
    if (quint64(H) > kMaxLength || quint64(B) > kMaxLength)
        return Unexpected{FrameError::TooLarge};

    const QString messageId = givenMessageId.isEmpty() ? canonicalUuid() : givenMessageId;
    // The chunk headers differ only in their numbers, so they are written
    // from pieces instead of through the JSON encoder for each chunk; the
    // bytes are those encodeChunkHeader gives.
    const QByteArray idPart = "{\"messageId\":" + QByteArray::fromStdString(Json(utf8(messageId)).dump()) + ",\"chunkIndex\":";
    const QByteArray typePart = ",\"originalType\":" + QByteArray::number(int(type));
    const QByteArray finalPart = ",\"finalHeaderLen\":" + QByteArray::number(H) + ",\"finalBodyLen\":" + QByteArray::number(B);
    auto digits = [](qint64 n) { return qint64(QByteArray::number(n).size()); };
    auto chunkHeader = [&](qint64 index, qint64 total) {
        QByteArray json = idPart + QByteArray::number(index) + ",\"totalChunks\":" + QByteArray::number(total) + typePart;
        if (index == 0)
            json += finalPart;
        return json + '}';
    };
    // Length of a chunk header without building it.
    const qint64 fixedLength = idPart.size() + qint64(sizeof(",\"totalChunks\":") - 1) + typePart.size() + 1;
    auto room = [&](qint64 index, qint64 total) {
        const qint64 c = fixedLength + digits(index) + digits(total) + (index == 0 ? finalPart.size() : 0);
        return index == 0 ? kChunkSpace - c - H : kChunkSpace - c;
    };

    // Plan with the nominal payload, then add chunks while the real room
    // (which depends on the header lengths) does not carry the whole body.
    const qint64 firstRoom = std::max<qint64>(0, kNominalPayload - H);
    const qint64 remainder = B - firstRoom;
    qint64 total = remainder < 1 ? 1 : 1 + qint64(std::ceil(double(remainder) / double(kNominalPayload)));
    for (;;) {
        // No room in chunk 0 for the header, or none at all in later chunks
        // (a message id of absurd length): not representable.
        if (room(0, total) < 0 || (total > 1 && room(total - 1, total) <= 0))
            return Unexpected{FrameError::HeaderTooLong};
        qint64 capacity = 0;
        for (qint64 i = 0; i < total && capacity < B; ++i)
            capacity += room(i, total);
        if (capacity >= B)
            break;
        ++total;
    }

    QList<QByteArray> chunks;
    chunks.reserve(total);
    qint64 offset = 0;
    for (qint64 i = 0; i < total; ++i) {
        const QByteArray json = chunkHeader(i, total);
        Q_ASSERT(json == encodeChunkHeader(*parseChunkHeader(*encodeMessage(MessageType::Chunk, json, {}))));
        const qint64 end = std::min(B, offset + room(i, total));
        const QByteArrayView slice = body.sliced(offset, end - offset);
        const qint64 payloadLength = (i == 0 ? H : 0) + slice.size();
        QByteArray message;
        message.reserve(kPrefixSize + json.size() + payloadLength);
        appendPrefix(message, MessageType::Chunk, json.size(), payloadLength);
        message.append(json);
        if (i == 0)
            message.append(header);
        message.append(slice);
        chunks.append(std::move(message));
        offset = end;
    }
    return chunks;
}

std::optional<ParsedMessage> decodeParts(std::uint8_t type, QByteArrayView header, QByteArray body)
{
    if (type < 1 || type > 3)
        return std::nullopt;
    const auto json = parseObject(header);
    if (!json)
        return std::nullopt;
    std::optional<QByteArray> optionalBody;
    if (!body.isEmpty())
        optionalBody = std::move(body);

    switch (MessageType(type)) {
    case MessageType::Request: {
        TunnelRequest r;
        if (!readString(*json, "id", r.id) || !readString(*json, "method", r.method) || !readString(*json, "path", r.path)
            || !readHeaders(*json, r.headers))
            return std::nullopt;
        r.body = std::move(optionalBody);
        return r;
    }
    case MessageType::Response: {
        TunnelResponse r;
        if (!readString(*json, "id", r.id) || !readInteger(*json, "statusCode", r.statusCode) || !readHeaders(*json, r.headers))
            return std::nullopt;
        r.body = std::move(optionalBody);
        return r;
    }
    case MessageType::Error: {
        TunnelError e;
        if (!readString(*json, "id", e.id) || !readInteger(*json, "code", e.code) || !readString(*json, "message", e.message))
            return std::nullopt;
        return e;
    }
    case MessageType::Chunk: break;
    }
    return std::nullopt;
}

std::optional<ParsedMessage> parseMessage(QByteArrayView data)
{
    const auto prefix = readPrefix(data);
    if (!prefix || quint64(data.size()) < kPrefixSize + prefix->headerLength + prefix->bodyLength)
        return std::nullopt;
    if (prefix->type < 1 || prefix->type > 3)
        return std::nullopt;
    const QByteArrayView header = data.sliced(kPrefixSize, qsizetype(prefix->headerLength));
    // An error's body is ignored; do not copy it.
    QByteArray body = prefix->type == quint8(MessageType::Error)
        ? QByteArray()
        : data.sliced(kPrefixSize + qsizetype(prefix->headerLength), qsizetype(prefix->bodyLength)).toByteArray();
    return decodeParts(prefix->type, header, std::move(body));
}

std::optional<ChunkHeader> parseChunkHeader(QByteArrayView data)
{
    const auto prefix = readPrefix(data);
    if (!prefix || prefix->type != quint8(MessageType::Chunk) || quint64(data.size()) < kPrefixSize + prefix->headerLength)
        return std::nullopt;
    const auto json = parseObject(data.sliced(kPrefixSize, qsizetype(prefix->headerLength)));
    if (!json)
        return std::nullopt;
    ChunkHeader h;
    qint64 originalType = 0;
    if (!readString(*json, "messageId", h.messageId) || !readInteger(*json, "chunkIndex", h.chunkIndex)
        || !readInteger(*json, "totalChunks", h.totalChunks) || !readInteger(*json, "originalType", originalType)
        || !readOptionalInteger(*json, "finalHeaderLen", h.finalHeaderLen)
        || !readOptionalInteger(*json, "finalBodyLen", h.finalBodyLen))
        return std::nullopt;
    if (originalType < 0 || originalType > 255)
        return std::nullopt;
    h.originalType = std::uint8_t(originalType);
    return h;
}

std::optional<QByteArray> extractChunkPayload(QByteArrayView data)
{
    const auto prefix = readPrefix(data);
    if (!prefix || quint64(data.size()) < kPrefixSize + prefix->headerLength + prefix->bodyLength)
        return std::nullopt;
    return data.sliced(kPrefixSize + qsizetype(prefix->headerLength), qsizetype(prefix->bodyLength)).toByteArray();
}

} // namespace tavrolin::HTTPTunnelProtocol
