#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "tunnel/ChunkAssembler.h"
#include "tunnel/FileChunkReader.h"

using namespace tavrolin;
using namespace tavrolin::HTTPTunnelProtocol;

namespace {

QString writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        return {};
    return path;
}

QByteArray patterned(qsizetype n)
{
    QByteArray b(n, Qt::Uninitialized);
    for (qsizetype i = 0; i < n; ++i)
        b[i] = char((i * 7) % 253);
    return b;
}

} // namespace

// Whatever the body's size relative to a chunk, the messages stay within the
// format's limit and the receiving side puts back the same request.
TEST(FileChunkReader, ChunksOfAFileReassembleIntoTheMessage)
{
    QTemporaryDir temp;
    const TunnelRequest request{"R-1", "PUT", "/photos/phone/a b.heic", {{"Content-Type", "image/heic"}}, {}, {}};
    const QByteArray header = encodeRequestHeader({request.id, request.method, request.path, request.headers});
    const qint64 firstRoom = FileChunkReader::kPayload - header.size();
    for (const qint64 size : {qint64(0), qint64(1), firstRoom, firstRoom + 1, firstRoom + 3 * FileChunkReader::kPayload,
                              qint64(5 * 1024 * 1024 + 17)}) {
        const QByteArray body = patterned(size);
        const QString path = writeFile(temp.filePath("body"), body);
        ASSERT_FALSE(path.isEmpty());
        FileChunkReader reader(path, MessageType::Request, header, "00000000-0000-0000-0000-000000000001");
        ASSERT_TRUE(reader.open()) << reader.errorString().toStdString();
        ChunkAssembler assembler(temp.filePath(""));
        std::optional<ParsedMessage> result;
        qint64 messages = 0;
        while (!reader.atEnd()) {
            const auto message = reader.next();
            ASSERT_TRUE(message.has_value()) << reader.errorString().toStdString();
            EXPECT_LE(message->size(), kMaxMessageSize);
            ASSERT_FALSE(result.has_value()) << "complete before the last chunk, size " << size;
            result = assembler.processIncoming(*message);
            ++messages;
        }
        EXPECT_EQ(messages, reader.totalChunks());
        EXPECT_EQ(reader.bytesRead(), size);
        EXPECT_FALSE(reader.next().has_value());
        ASSERT_TRUE(result.has_value()) << "size " << size;
        TunnelRequest expected = request;
        if (size > 0) // an empty body reads back as none, as in whole messages
            expected.body = body;
        EXPECT_EQ(std::get<TunnelRequest>(*result), expected) << "size " << size;
    }
}

TEST(FileChunkReader, AMissingOrShrinkingFileStopsWithItsReason)
{
    QTemporaryDir temp;
    FileChunkReader missing(temp.filePath("nothing"), MessageType::Request, "{}", "id");
    EXPECT_FALSE(missing.open());
    EXPECT_FALSE(missing.errorString().isEmpty());

    const QString path = writeFile(temp.filePath("body"), patterned(3 * FileChunkReader::kPayload));
    FileChunkReader reader(path, MessageType::Response, R"({"id":"x","statusCode":200,"headers":{}})", "id");
    ASSERT_TRUE(reader.open());
    ASSERT_TRUE(reader.next().has_value());
    // Cut short while it is being sent: no short chunk is passed off as whole.
    ASSERT_TRUE(QFile::resize(path, FileChunkReader::kPayload + 10));
    EXPECT_FALSE(reader.next().has_value());
    EXPECT_TRUE(reader.errorString().contains("came up short")) << reader.errorString().toStdString();
    EXPECT_FALSE(reader.next().has_value());

    // A header that leaves no room in the first chunk is refused, not sent oversize.
    FileChunkReader huge(path, MessageType::Request, QByteArray(FileChunkReader::kPayload, 'h'), "id");
    EXPECT_FALSE(huge.open());
}
