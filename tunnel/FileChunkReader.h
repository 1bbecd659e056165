#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>
#include <optional>

#include "tunnel/HTTPTunnelProtocol.h"

namespace tavrolin {

// A message whose body lies in a file, cut into chunk messages one at a time
// so a body of any size never has to be in memory whole. The header goes at
// the front of chunk 0, as createChunks would put it.
class FileChunkReader {
public:
    // Room for the chunk header JSON in each chunk. Its longest form (a
    // 36-character id and every number at 19 digits) stays well inside, so
    // no chunk message exceeds the format's 65536 bytes.
    static constexpr qsizetype kPayload = HTTPTunnelProtocol::kChunkSpace - 200;

    FileChunkReader(QString path, HTTPTunnelProtocol::MessageType type, QByteArray header, QString messageId);

    // False (with errorString) when the file cannot be read.
    bool open();
    QString errorString() const { return m_error; }
    qint64 bodySize() const { return m_size; }
    qint64 totalChunks() const { return m_totalChunks; }
    qint64 nextIndex() const { return m_index; }
    qint64 bytesRead() const { return m_read; }
    bool atEnd() const { return m_index >= m_totalChunks; }
    // The next chunk message; nothing at the end or when the file came up
    // short (it changed while being sent).
    std::optional<QByteArray> next();

private:
    QFile m_file;
    HTTPTunnelProtocol::MessageType m_type;
    QByteArray m_header;
    QString m_id;
    QString m_error;
    qint64 m_size = 0;
    qint64 m_totalChunks = 0;
    qint64 m_index = 0;
    qint64 m_read = 0;
};

} // namespace tavrolin
