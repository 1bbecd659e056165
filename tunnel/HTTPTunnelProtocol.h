#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QMap>
#include <QString>
#include <cstdint>
#include <optional>
#include <variant>

#include "platform/Result.h"
#include "platform/JsonBounds.h"

namespace tavrolin {

// The binary message format of the tunnel: one data-channel message is a
// 9-byte prefix (type, header length, body length, little-endian), a compact
// JSON header and a raw body. Stateless; safe from any thread.
namespace HTTPTunnelProtocol {

enum class MessageType : std::uint8_t { Request = 1, Response = 2, Error = 3, Chunk = 4 };

using Headers = QMap<QString, QString>;

struct TunnelRequest {
    QString id;
    QString method;
    QString path;
    Headers headers;
    std::optional<QByteArray> body;
    // Set instead of body when a large body was collected in a temporary
    // file: the file now belongs to whoever got the message.
    QString bodyFile = {};
    bool operator==(const TunnelRequest &) const = default;
};

struct TunnelResponse {
    QString id;
    qint64 statusCode = 0;
    Headers headers;
    std::optional<QByteArray> body;
    QString bodyFile = {}; // as in TunnelRequest
    bool operator==(const TunnelResponse &) const = default;
};

struct TunnelError {
    QString id;
    qint64 code = 0;
    QString message;
    bool operator==(const TunnelError &) const = default;
};

struct RequestHeader {
    QString id, method, path;
    Headers headers;
};
struct ResponseHeader {
    QString id;
    qint64 statusCode = 0;
    Headers headers;
};
struct ErrorHeader {
    QString id;
    qint64 code = 0;
    QString message;
};
struct ChunkHeader {
    QString messageId;
    qint64 chunkIndex = 0;
    qint64 totalChunks = 0;
    std::uint8_t originalType = 0;
    std::optional<qint64> finalHeaderLen;
    std::optional<qint64> finalBodyLen;
    bool operator==(const ChunkHeader &) const = default;
};

using ParsedMessage = std::variant<TunnelRequest, TunnelResponse, TunnelError>;

constexpr qsizetype kPrefixSize = 9;
constexpr qsizetype kMaxMessageSize = 65536;
constexpr qsizetype kChunkSpace = 65527;     // kMaxMessageSize less the prefix
constexpr qsizetype kNominalPayload = 65427; // kChunkSpace less 100 bytes for the chunk header
// A message's or a chunk's JSON header: within one message, and a request
// or an answer nests two deep (headers inside the header).
constexpr JsonBounds kHeaderBounds{kMaxMessageSize, 8};

// Why a message could not be framed; the caller answers with an error instead.
enum class FrameError {
    HeaderEncodingFailed, // the header could not be written as JSON (e.g. invalid UTF-8)
    HeaderTooLong,        // the header does not fit in chunk 0
    TooLarge,             // a length does not fit the 32-bit length fields
};
QString describe(FrameError error);

// Both lengths must fit in 32 bits; nothing otherwise.
std::optional<QByteArray> encodeMessage(MessageType type, QByteArrayView header, QByteArrayView body);

QByteArray encodeRequestHeader(const RequestHeader &header);
std::optional<QByteArray> encodeResponseHeader(const ResponseHeader &header);
std::optional<QByteArray> encodeErrorHeader(const ErrorHeader &header);
QByteArray encodeChunkHeader(const ChunkHeader &header);

std::optional<QByteArray> serializeResponse(const TunnelResponse &response);
std::optional<QByteArray> serializeRequest(const TunnelRequest &request);
std::optional<QByteArray> serializeError(const TunnelError &error);

// The data-channel messages that carry one response: the message itself when
// it is at most 65536 bytes, its chunks otherwise.
Result<QList<QByteArray>, FrameError> responseMessages(const TunnelResponse &response);

// Splits one logical message into chunk messages of at most 65536 bytes each.
// The message id is a fresh random UUID unless one is given.
Result<QList<QByteArray>, FrameError> createChunks(MessageType type, QByteArrayView header, QByteArrayView body,
                                                         const QString &messageId = {});

std::optional<ParsedMessage> parseMessage(QByteArrayView data);
std::optional<ChunkHeader> parseChunkHeader(QByteArrayView data);
std::optional<QByteArray> extractChunkPayload(QByteArrayView data);

// The message a header of the given type and a body make, as parseMessage
// would return it for their encoding; nothing if the header does not decode.
std::optional<ParsedMessage> decodeParts(std::uint8_t type, QByteArrayView header, QByteArray body);

} // namespace HTTPTunnelProtocol
} // namespace tavrolin
