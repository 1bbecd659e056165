// The bytes of one QUIC upload stream, arriving in pieces of any size,
// taken apart as the receiver does: files follow one another (length,
// header, body); every byte is either framing, a body byte of exactly one
// file or still held, never lost or counted twice; no body takes more than
// its header announced; every accepted header names an object on the
// gateway within its bucket; a bad length or header ends the stream.
// The first two input bytes choose the piece sizes, the rest is the stream.
#include <cstddef>
#include <cstdint>

#include "fuzz/FuzzCheck.h"
#include "s3/S3ObjectUrl.h"
#include "services/UploadFrameReader.h"

using namespace tavrolin;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 2)
        return 0;
    const int pieceBase = 1 + data[0], pieceSpread = 1 + data[1];
    const QByteArray stream(reinterpret_cast<const char *>(data + 2), qsizetype(size - 2));

    UploadFrameReader reader;
    qint64 fed = 0, framing = 0, body = 0, fileBody = 0;
    bool inBody = false, ended = false;
    for (qsizetype at = 0, turn = 0; at < stream.size() && !ended; ++turn) {
        const qsizetype n = qMin<qsizetype>(stream.size() - at, pieceBase + (turn * 7919) % pieceSpread);
        reader.append(stream.mid(at, n));
        at += n;
        fed += n;
        for (;;) {
            if (!inBody) {
                const UploadFrameReader::Frame frame = reader.readFrame(framing);
                if (frame == UploadFrameReader::Frame::NeedMore)
                    break;
                if (frame == UploadFrameReader::Frame::BadLength || frame == UploadFrameReader::Frame::BadHeader) {
                    if (frame == UploadFrameReader::Frame::BadLength)
                        FUZZ_REQUIRE(reader.headerLength() == 0 || reader.headerLength() > UploadHeader::kMaxHeaderBytes);
                    else
                        FUZZ_REQUIRE(!reader.headerError().isEmpty());
                    // Nothing after a bad frame is read as one.
                    qint64 more = 0;
                    reader.append(QByteArray("\0\0\0\2{}", 6));
                    fed += 6;
                    FUZZ_REQUIRE(reader.readFrame(more) == frame && more == 0);
                    ended = true;
                    break;
                }
                const UploadHeader &header = reader.header();
                FUZZ_REQUIRE(header.size >= 0 && header.size <= UploadHeader::kMaxSize);
                FUZZ_REQUIRE(reader.remaining() == header.size);
                const auto url = S3ObjectUrl::objectUrl(QStringLiteral("http://localhost:8333"), header.bucket, header.key);
                FUZZ_REQUIRE(url && staysOnGateway(*url, QStringLiteral("/") + header.bucket + QStringLiteral("/")));
                inBody = true;
                fileBody = 0;
            }
            const qint64 before = reader.remaining();
            const QByteArray piece = reader.takeBody();
            FUZZ_REQUIRE(piece.size() <= before && reader.remaining() == before - piece.size());
            body += piece.size();
            fileBody += piece.size();
            if (reader.remaining() > 0)
                break;
            FUZZ_REQUIRE(fileBody == reader.header().size);
            inBody = false;
        }
        FUZZ_REQUIRE(framing + body + reader.buffered() == fed);
    }
    // What a device that leaves mid-file leaves: only the body is kept.
    const qsizetype held = reader.buffered();
    if (inBody) {
        const qsizetype dropped = reader.keepOnlyBody();
        FUZZ_REQUIRE(dropped + reader.buffered() == held && reader.buffered() <= reader.remaining());
    }
    const qsizetype rest = reader.buffered();
    FUZZ_REQUIRE(reader.discard() == rest && reader.buffered() == 0);
    return 0;
}
