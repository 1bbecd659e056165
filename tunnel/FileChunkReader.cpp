#include "tunnel/FileChunkReader.h"

#include <algorithm>

namespace tavrolin {

using namespace HTTPTunnelProtocol;

FileChunkReader::FileChunkReader(QString path, MessageType type, QByteArray header, QString messageId)
    : m_file(std::move(path)), m_type(type), m_header(std::move(header)), m_id(std::move(messageId))
{
}

bool FileChunkReader::open()
{
    if (!m_file.open(QIODevice::ReadOnly)) {
        m_error = m_file.errorString();
        return false;
    }
    if (m_header.size() >= kPayload) {
        m_error = QStringLiteral("The message header is too long");
        return false;
    }
    m_size = m_file.size();
    const qint64 firstRoom = kPayload - m_header.size();
    const qint64 remainder = m_size - firstRoom;
    m_totalChunks = remainder < 1 ? 1 : 1 + (remainder + kPayload - 1) / kPayload;
    return true;
}

std::optional<QByteArray> FileChunkReader::next()
{
    if (!m_file.isOpen() || atEnd())
        return std::nullopt;
    const qint64 room = m_index == 0 ? kPayload - m_header.size() : kPayload;
    const qint64 wanted = std::min(room, m_size - m_read);
    QByteArray payload = m_index == 0 ? m_header : QByteArray();
    const qsizetype start = payload.size();
    payload.resize(start + wanted);
    if (m_file.read(payload.data() + start, wanted) != wanted) {
        m_error = QStringLiteral("%1 came up short at byte %2").arg(m_file.fileName()).arg(m_read);
        m_file.close();
        return std::nullopt;
    }
    ChunkHeader chunk{m_id, m_index, m_totalChunks, std::uint8_t(m_type), std::nullopt, std::nullopt};
    if (m_index == 0) {
        chunk.finalHeaderLen = m_header.size();
        chunk.finalBodyLen = m_size;
    }
    auto message = encodeMessage(MessageType::Chunk, encodeChunkHeader(chunk), payload);
    if (!message) {
        m_error = QStringLiteral("Chunk %1 cannot be framed").arg(m_index);
        m_file.close();
        return std::nullopt;
    }
    m_read += wanted;
    ++m_index;
    return message;
}

} // namespace tavrolin
