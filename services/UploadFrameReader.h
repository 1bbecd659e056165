#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

#include "platform/JsonBounds.h"
#include "platform/Result.h"

namespace tavrolin {

// What a device announces before each file on a QUIC upload stream.
struct UploadHeader {
    QString bucket;
    QString key;
    QString contentType;
    qint64 size = 0;
    // The body's SHA-256 (lower-case hex) when the device sends one: the
    // stored file is checked against it.
    std::optional<QByteArray> sha256;

    // What the reader accepts. Bigger than any phone's file; a larger claim
    // is not a real upload. The header's length field is refused past
    // kMaxHeaderBytes before any of it is read; it is one flat object.
    static constexpr qint64 kMaxSize = qint64(1) << 40;
    static constexpr quint32 kMaxHeaderBytes = 9999;
    static constexpr JsonBounds kBounds{kMaxHeaderBytes, 2};
    // The header, or why it is not a valid one.
    static Result<UploadHeader> parse(const QByteArray &json);
};

// Takes apart the bytes of one upload stream: for each file a 4-byte
// big-endian header length, the header, then exactly the header's size of
// body bytes; files follow one another until the device ends the stream
// between two of them. It holds what arrived and not yet taken; flow
// control, the store and the replies are the stream's.
class UploadFrameReader {
public:
    enum class Frame {
        NeedMore,  // no whole length and header yet
        Header,    // a file's header was read (header()); its body follows
        BadLength, // a length of 0 or past UploadHeader::kMaxHeaderBytes
        BadHeader, // a header that is not a valid one
    };

    void append(const QByteArray &bytes) { m_pending.append(bytes); }

    // Between files: reads the next length and header once each is whole.
    // `consumed` grows by the bytes read (the length, the header).
    Frame readFrame(qint64 &consumed);
    // The header is being waited for: its length has been read.
    bool readingHeader() const { return m_headerLength > 0 && !m_failed; }
    // The last length read, the bad one after BadLength.
    quint32 headerLength() const { return m_lastLength; }
    const UploadHeader &header() const { return m_header; }
    QString headerError() const { return m_headerError; }

    // Body bytes of the current file not yet taken.
    qint64 remaining() const { return m_remaining; }
    // Up to the rest of the current file's body, from what has arrived.
    QByteArray takeBody();

    qsizetype buffered() const { return m_pending.size(); }
    // Drops what is held, or what is held past the current body; returns
    // how many bytes were dropped.
    qsizetype discard();
    qsizetype keepOnlyBody();

private:
    QByteArray m_pending;
    quint32 m_headerLength = 0; // of the header being waited for
    quint32 m_lastLength = 0;
    std::optional<Frame> m_failed;
    UploadHeader m_header;
    QString m_headerError;
    qint64 m_remaining = 0;
};

} // namespace tavrolin
