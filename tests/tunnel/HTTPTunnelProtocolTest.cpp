#include <QFile>
#include <QRandomGenerator>
#include <QtEndian>
#include <gtest/gtest.h>

#include "tunnel/HTTPTunnelProtocol.h"

using namespace tavrolin;
using namespace tavrolin::HTTPTunnelProtocol;

namespace {

QByteArray frame(quint8 type, const QByteArray &header, const QByteArray &body = {})
{
    QByteArray out(1, char(type));
    uchar lengths[8];
    qToLittleEndian<quint32>(quint32(header.size()), lengths);
    qToLittleEndian<quint32>(quint32(body.size()), lengths + 4);
    out.append(reinterpret_cast<const char *>(lengths), 8);
    return out + header + body;
}

QByteArray vector(const char *name)
{
    QFile f(QStringLiteral(TAVROLIN_VECTORS_DIR "/") + name);
    EXPECT_TRUE(f.open(QIODevice::ReadOnly)) << name;
    return f.readAll();
}

QByteArray patterned(qsizetype n)
{
    QByteArray b(n, Qt::Uninitialized);
    for (qsizetype i = 0; i < n; ++i)
        b[i] = char(i % 251);
    return b;
}

QList<QByteArray> chunksOf(const Result<QList<QByteArray>, FrameError> &result)
{
    EXPECT_TRUE(result.hasValue());
    return result ? *result : QList<QByteArray>{};
}

// Rebuilds a chunked message the way a receiver would, from the chunk rules alone.
QByteArray reassemble(const QList<QByteArray> &chunks)
{
    QByteArray header, body;
    quint8 type = 0;
    for (const QByteArray &c : chunks) {
        const auto h = parseChunkHeader(c);
        EXPECT_TRUE(h.has_value());
        // The header bytes are exactly what the JSON encoder writes.
        EXPECT_EQ(c.mid(9, qFromLittleEndian<quint32>(c.constData() + 1)), encodeChunkHeader(*h));
        QByteArray payload = extractChunkPayload(c).value();
        if (h->chunkIndex == 0) {
            header = payload.left(*h->finalHeaderLen);
            payload = payload.mid(*h->finalHeaderLen);
            type = h->originalType;
        }
        body += payload;
    }
    return frame(type, header, body);
}

const TunnelResponse kResponse{"req-1", 200, {{"Content-Type", "text/plain"}}, QByteArray("hello")};

} // namespace

TEST(TunnelFormat, WireVectorsMatchEncoderAndParser)
{
    const TunnelRequest request{"req-1", "GET", "/photos/2024/a b.jpg?x=1", {{"Accept", "image/jpeg"}}, std::nullopt};
    EXPECT_EQ(serializeRequest(request).value(), vector("request.bin"));
    EXPECT_EQ(std::get<TunnelRequest>(parseMessage(vector("request.bin")).value()), request);

    EXPECT_EQ(serializeResponse(kResponse).value(), vector("response.bin"));
    EXPECT_EQ(std::get<TunnelResponse>(parseMessage(vector("response.bin")).value()), kResponse);

    const TunnelError error{"req-1", 404, "Not found"};
    EXPECT_EQ(serializeError(error).value(), vector("error.bin"));
    EXPECT_EQ(std::get<TunnelError>(parseMessage(vector("error.bin")).value()), error);

    const TunnelResponse big{"req-2", 200, {{"Content-Type", "application/octet-stream"}}, patterned(70000)};
    EXPECT_EQ(serializeResponse(big).value(), vector("chunked_response_whole.bin"));
    const auto header = encodeResponseHeader({big.id, big.statusCode, big.headers}).value();
    const auto chunks = chunksOf(createChunks(MessageType::Response, header, *big.body, "00000000-0000-4000-8000-000000000001"));
    ASSERT_EQ(chunks.size(), 2);
    EXPECT_EQ(chunks[0], vector("chunked_response_0.bin"));
    EXPECT_EQ(chunks[1], vector("chunked_response_1.bin"));
    EXPECT_EQ(reassemble({vector("chunked_response_0.bin"), vector("chunked_response_1.bin")}), vector("chunked_response_whole.bin"));
}

TEST(TunnelFormat, LengthFieldsAreCheckedExactly)
{
    const QByteArray message = serializeResponse(kResponse).value();
    EXPECT_FALSE(parseMessage(message.left(8)).has_value());
    EXPECT_FALSE(parseMessage(QByteArray()).has_value());
    EXPECT_FALSE(parseMessage(message.chopped(1)).has_value()) << "one byte short of H + B";
    EXPECT_TRUE(parseMessage(message + 'x').has_value()) << "trailing bytes are ignored";

    // Lengths near 2^32 must not wrap around the size check.
    QByteArray huge = message;
    qToLittleEndian<quint32>(0xFFFFFFFFu, reinterpret_cast<uchar *>(huge.data()) + 1);
    EXPECT_FALSE(parseMessage(huge).has_value());
    qToLittleEndian<quint32>(0xFFFFFFFFu, reinterpret_cast<uchar *>(huge.data()) + 5);
    EXPECT_FALSE(parseMessage(huge).has_value());
    EXPECT_FALSE(extractChunkPayload(huge).has_value());
}

TEST(TunnelFormat, BodiesTypesAndStrictJson)
{
    const auto noBody = parseMessage(frame(1, R"({"id":"a","method":"GET","path":"/","headers":{}})"));
    ASSERT_TRUE(noBody.has_value());
    EXPECT_FALSE(std::get<TunnelRequest>(*noBody).body.has_value()) << "B = 0 is no body, not an empty one";
    const auto noResponseBody = parseMessage(frame(2, R"({"id":"a","statusCode":204,"headers":{}})"));
    EXPECT_FALSE(std::get<TunnelResponse>(noResponseBody.value()).body.has_value());

    const QByteArray errorHeader = R"({"id":"a","code":500,"message":"x"})";
    EXPECT_TRUE(parseMessage(frame(3, errorHeader, "ignored body")).has_value());
    for (quint8 type : {0, 4, 5, 255})
        EXPECT_FALSE(parseMessage(frame(type, errorHeader)).has_value()) << int(type);

    // Unknown keys and any key order are fine.
    EXPECT_TRUE(parseMessage(frame(2, R"({"headers":{},"extra":[1,{"a":null}],"statusCode":200,"id":"a"})")).has_value());

    // Wrong types, missing keys and broken JSON are failures.
    for (const char *bad : {R"({"id":"a","statusCode":"200","headers":{}})", R"({"id":"a","statusCode":200.0,"headers":{}})",
                            R"({"id":"a","statusCode":2e2,"headers":{}})", R"({"id":"a","statusCode":true,"headers":{}})",
                            R"({"id":"a","statusCode":18446744073709551615,"headers":{}})",
                            R"({"id":1,"statusCode":200,"headers":{}})", R"({"id":"a","statusCode":200,"headers":{"k":1}})",
                            R"({"id":"a","statusCode":200,"headers":[]})", R"({"id":"a","statusCode":200})",
                            R"({"id":"a","statusCode":200,"headers":{})", R"(["id"])", "", "\xEF\xBB\xBF{}",
                            "{\"id\":\"\xFF\",\"statusCode\":200,\"headers\":{}}"})
        EXPECT_FALSE(parseMessage(frame(2, bad)).has_value()) << bad;

    // A header past its bounds (nesting, bytes) is refused before it is
    // parsed, even in a key that would be ignored.
    const QByteArray head = R"({"id":"a","statusCode":200,"headers":{},"x":)";
    const int depth = kHeaderBounds.maxDepth;
    EXPECT_TRUE(parseMessage(frame(2, head + QByteArray(depth - 1, '[') + QByteArray(depth - 1, ']') + "}")).has_value());
    EXPECT_FALSE(parseMessage(frame(2, head + QByteArray(depth, '[') + QByteArray(depth, ']') + "}")).has_value());
    EXPECT_TRUE(parseMessage(frame(2, head + R"("[[[[[[[[[[{{{{{{{{")" + "}")).has_value()) << "brackets in strings do not nest";
    EXPECT_FALSE(parseMessage(frame(2, head + QByteArray(100000, '[') + QByteArray(100000, ']') + "}")).has_value());
    const QByteArray filler = head + '"' + QByteArray(kHeaderBounds.maxBytes - head.size() - 3, 'f') + "\"}";
    ASSERT_EQ(filler.size(), kHeaderBounds.maxBytes);
    EXPECT_TRUE(parseMessage(frame(2, filler)).has_value());
    EXPECT_FALSE(parseMessage(frame(2, head + '"' + QByteArray(kHeaderBounds.maxBytes, 'f') + "\"}")).has_value());
}

TEST(TunnelFormat, ChunkHeaders)
{
    const auto chunks = chunksOf(createChunks(MessageType::Response, "{}", patterned(70000)));
    ASSERT_EQ(chunks.size(), 2);
    const ChunkHeader first = parseChunkHeader(chunks[0]).value();
    const ChunkHeader second = parseChunkHeader(chunks[1]).value();
    EXPECT_EQ(first.messageId.size(), 36);
    EXPECT_EQ(first.messageId, first.messageId.toUpper());
    EXPECT_EQ(first.messageId, second.messageId);
    EXPECT_EQ(first.finalHeaderLen, 2);
    EXPECT_EQ(first.finalBodyLen, 70000);
    EXPECT_FALSE(second.finalHeaderLen.has_value());
    EXPECT_FALSE(second.finalBodyLen.has_value());
    const QByteArray secondJson = chunks[1].mid(9, qFromLittleEndian<quint32>(chunks[1].constData() + 1));
    EXPECT_FALSE(secondJson.contains("finalHeaderLen")) << "absent, not null";

    const char *base = R"("messageId":"m","chunkIndex":0,"totalChunks":1)";
    EXPECT_TRUE(parseChunkHeader(frame(4, QByteArray("{") + base + R"(,"originalType":255})")).has_value());
    EXPECT_FALSE(parseChunkHeader(frame(4, QByteArray("{") + base + R"(,"originalType":256})")).has_value());
    EXPECT_FALSE(parseChunkHeader(frame(4, QByteArray("{") + base + R"(,"originalType":-1})")).has_value());
    EXPECT_FALSE(parseChunkHeader(frame(4, QByteArray("{") + base + R"(,"originalType":2,"finalBodyLen":"5"})")).has_value());
    EXPECT_FALSE(parseChunkHeader(frame(2, QByteArray("{") + base + R"(,"originalType":2})")).has_value());
    EXPECT_FALSE(parseChunkHeader(frame(4, QByteArray("{") + base + R"(,"originalType":2})").left(20)).has_value());
}

TEST(TunnelFormat, ResponsesSplitOnlyAbove65536Bytes)
{
    const QByteArray header = encodeResponseHeader({"r", 200, {}}).value();
    const qsizetype fits = kMaxMessageSize - kPrefixSize - header.size();
    const auto exact = chunksOf(responseMessages({"r", 200, {}, patterned(fits)}));
    ASSERT_EQ(exact.size(), 1);
    EXPECT_EQ(exact[0].size(), 65536);
    EXPECT_EQ(exact[0][0], char(MessageType::Response));

    const TunnelResponse over{"r", 200, {}, patterned(fits + 1)};
    const auto split = chunksOf(responseMessages(over));
    ASSERT_EQ(split.size(), 2);
    for (const QByteArray &c : split)
        EXPECT_LE(c.size(), 65536);
    EXPECT_EQ(reassemble(split), serializeResponse(over).value());

    const auto empty = chunksOf(responseMessages({"r", 204, {}, std::nullopt}));
    ASSERT_EQ(empty.size(), 1);
    EXPECT_EQ(std::get<TunnelResponse>(parseMessage(empty[0]).value()).statusCode, 204);
}

TEST(TunnelFormat, ReplanningCarriesEveryByte)
{
    // H = 100 and B = 130754: the plan says two chunks, but chunk 0's own
    // header leaves room for only 130711 body bytes in two.
    const QByteArray header(100, 'h');
    const QByteArray body = patterned(130754);
    const auto chunks = chunksOf(createChunks(MessageType::Response, header, body));
    ASSERT_EQ(chunks.size(), 3);
    for (const QByteArray &c : chunks) {
        EXPECT_EQ(parseChunkHeader(c)->totalChunks, 3);
        EXPECT_LE(c.size(), 65536);
    }
    EXPECT_EQ(reassemble(chunks), frame(2, header, body));

    // Many sizes around the chunk boundaries round-trip exactly.
    for (qsizetype h : {0, 1, 100, 143, 5000, 65000}) {
        for (qsizetype b : {0, 1, 65284, 65285, 65427, 65428, 130711, 130712, 196300, 1000000}) {
            const QByteArray hh(h, 'x');
            const QByteArray bb = patterned(b);
            const auto result = createChunks(MessageType::Request, hh, bb);
            if (!result) {
                ADD_FAILURE() << "H=" << h << " B=" << b;
                continue;
            }
            const auto &cs = *result;
            for (const QByteArray &c : cs)
                ASSERT_LE(c.size(), 65536);
            ASSERT_EQ(reassemble(cs), frame(1, hh, bb)) << "H=" << h << " B=" << b;
        }
    }
}

TEST(TunnelFormat, UnframeableMessagesAreRefused)
{
    const auto tooLong = createChunks(MessageType::Response, QByteArray(70000, 'h'), {});
    ASSERT_FALSE(tooLong.hasValue());
    EXPECT_EQ(tooLong.error(), FrameError::HeaderTooLong);
    EXPECT_FALSE(describe(FrameError::HeaderTooLong).isEmpty());

    Headers manyHeaders;
    for (int i = 0; i < 5000; ++i)
        manyHeaders.insert(QString("X-Header-%1").arg(i), QString(20, 'v'));
    const auto refused = responseMessages({"r", 200, manyHeaders, QByteArray("x")});
    ASSERT_FALSE(refused.hasValue());
    EXPECT_EQ(refused.error(), FrameError::HeaderTooLong);
}

TEST(TunnelFormat, LengthsBeyond32BitsAreRefusedBeforeFraming)
{
    // Views that claim 4 GiB: the check comes before any byte is touched.
    const char byte = 0;
    const QByteArrayView huge(&byte, qsizetype(1) << 32);
    EXPECT_FALSE(encodeMessage(MessageType::Response, "{}", huge).has_value());
    EXPECT_FALSE(encodeMessage(MessageType::Response, huge, {}).has_value());
    const auto chunks = createChunks(MessageType::Response, "{}", huge);
    ASSERT_FALSE(chunks.hasValue());
    EXPECT_EQ(chunks.error(), FrameError::TooLarge);
}
