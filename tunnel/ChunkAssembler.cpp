#include "tunnel/ChunkAssembler.h"

#include <QDir>
#include <QStorageInfo>
#include <QUuid>
#include <QtEndian>

#include <limits>
#include <utility>

#include "platform/DiagnosticLog.h"

namespace tavrolin {

using namespace HTTPTunnelProtocol;

namespace {

void log(const QString &line) { diagLog(QStringLiteral("ChunkAssembler: ") + line); }

QString dateDescription(const QDateTime &t) { return t.toUTC().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss +0000")); }

// Ids come from the peer; keep log lines readable and short.
QString shown(const QString &id) { return id.size() > 100 ? id.left(100) + QStringLiteral("...") : id; }

} // namespace

ChunkAssembler::ChunkAssembler(QString tempDir, Clock clock, Limits limits)
    : m_tempDir(tempDir.isEmpty() ? QDir::tempPath() : std::move(tempDir))
    , m_clock(clock ? std::move(clock) : Clock([] { return QDateTime::currentDateTimeUtc(); }))
    , m_limits(limits)
    , m_lastCleanupTime(m_clock())
{
}

ChunkAssembler::~ChunkAssembler()
{
    std::lock_guard lock(m_mutex);
    for (auto &[id, entry] : m_pending)
        release(entry);
}

int ChunkAssembler::pendingCount() const
{
    std::lock_guard lock(m_mutex);
    return int(m_pending.size());
}

qint64 ChunkAssembler::memoryBytes() const
{
    std::lock_guard lock(m_mutex);
    return m_memoryBytes;
}

std::optional<ParsedMessage> ChunkAssembler::processIncoming(QByteArrayView data)
{
    if (data.isEmpty())
        return std::nullopt;
    if (quint8(data.at(0)) != quint8(MessageType::Chunk))
        return parseMessage(data);
    return processIncoming(data.toByteArray());
}

std::optional<ParsedMessage> ChunkAssembler::processIncoming(const QByteArray &data)
{
    if (data.isEmpty())
        return std::nullopt;
    if (quint8(data.at(0)) != quint8(MessageType::Chunk))
        return parseMessage(data);
    const auto header = parseChunkHeader(data);
    if (!header)
        return std::nullopt;
    // The same bounds extractChunkPayload checks, without copying.
    const quint64 headerLength = qFromLittleEndian<quint32>(data.constData() + 1);
    const quint64 bodyLength = qFromLittleEndian<quint32>(data.constData() + 5);
    if (quint64(data.size()) < kPrefixSize + headerLength + bodyLength)
        return std::nullopt;
    std::lock_guard lock(m_mutex);
    return addChunk(*header, data, qsizetype(kPrefixSize + headerLength), qsizetype(bodyLength));
}

std::optional<QString> ChunkAssembler::rejectAnnouncement(const ChunkHeader &h) const
{
    if (h.totalChunks < 1 || h.totalChunks > m_limits.maxTotalChunks)
        return QStringLiteral("invalid chunk count %1").arg(h.totalChunks);
    if (h.finalBodyLen && (*h.finalBodyLen < 0 || *h.finalBodyLen > m_limits.maxAnnouncedBody))
        return QStringLiteral("announced body of %1 bytes").arg(*h.finalBodyLen);
    if (h.finalHeaderLen && (*h.finalHeaderLen < 0 || *h.finalHeaderLen > kChunkSpace))
        return QStringLiteral("announced header of %1 bytes").arg(*h.finalHeaderLen);
    // Each chunk carries at most kChunkSpace payload bytes (less its own header).
    const qint64 announced = h.finalHeaderLen.value_or(0) + h.finalBodyLen.value_or(0);
    if (announced > h.totalChunks * kChunkSpace)
        return QStringLiteral("%1 chunks cannot carry %2 bytes").arg(h.totalChunks).arg(announced);
    return std::nullopt;
}

std::optional<QString> ChunkAssembler::createEntry(const ChunkHeader &header, const QDateTime &now)
{
    PendingMessage entry;
    entry.totalChunks = header.totalChunks;
    entry.header = header;
    entry.announcedBody = header.finalBodyLen.value_or(0);
    entry.lastUpdated = now;
    if (int(m_pending.size()) >= m_limits.maxPendingMessages)
        return QStringLiteral("the session already has %1 partial messages").arg(m_pending.size());
    if (entry.announcedBody > m_limits.fileThreshold) {
        if (m_fileMessages >= m_limits.maxFileMessages)
            return QStringLiteral("the session already has %1 large messages in progress").arg(m_fileMessages);
        // What the other large messages may still write counts as taken.
        qint64 promised = entry.announcedBody;
        for (const auto &[otherId, other] : m_pending) {
            if (other.useFileStorage)
                promised += std::max<qint64>(0, other.announcedBody - other.fileSize);
        }
        const qint64 free = m_limits.freeBytes ? m_limits.freeBytes(m_tempDir) : QStorageInfo(m_tempDir).bytesAvailable();
        if (free >= 0 && free - promised < m_limits.keepFreeBytes)
            return QStringLiteral("not enough free space for a %1 byte message (%2 bytes free)").arg(entry.announcedBody).arg(free);
        entry.useFileStorage = true;
        // The name is ours, never the peer's id: "../" in an id must not
        // lead outside the temporary folder.
        entry.tempFilePath = m_tempDir + QStringLiteral("/chunk_") + QUuid::createUuid().toString(QUuid::Id128) + QStringLiteral(".tmp");
        auto file = std::make_unique<QFile>(entry.tempFilePath);
        if (!file->open(QIODevice::WriteOnly | QIODevice::NewOnly))
            return QStringLiteral("cannot create a temporary file (%1)").arg(file->errorString());
        entry.tempFile = std::move(file);
        ++m_fileMessages;
        log(QStringLiteral("Using file storage for %1 byte message").arg(entry.announcedBody));
    }
    m_pending.emplace(header.messageId, std::move(entry));
    return std::nullopt;
}

std::optional<ParsedMessage> ChunkAssembler::addChunk(const ChunkHeader &header, const QByteArray &message, qsizetype payloadOffset,
                                                      qsizetype payloadLength)
{
    const QDateTime now = m_clock();
    const QString &id = header.messageId;
    auto sweep = [&] {
        if (m_lastCleanupTime.msecsTo(now) > qint64(m_limits.sweepIntervalSeconds) * 1000) {
            m_lastCleanupTime = now;
            cleanupStaleMessages(now);
        }
    };

    if (auto dropped = m_dropped.find(id); dropped != m_dropped.end()) {
        dropped.value() = now;
        sweep();
        return std::nullopt;
    }
    if (m_pending.find(id) == m_pending.end()) {
        std::optional<QString> reason = rejectAnnouncement(header);
        if (!reason)
            reason = createEntry(header, now);
        if (reason) {
            // The message's own header, when this chunk carries it.
            QByteArrayView messageHeader;
            if (header.chunkIndex == 0 && header.finalHeaderLen && *header.finalHeaderLen >= 0
                && *header.finalHeaderLen <= payloadLength)
                messageHeader = QByteArrayView(message.constData() + payloadOffset, qsizetype(*header.finalHeaderLen));
            drop(id, *reason, now, header.originalType, messageHeader);
            sweep();
            return std::nullopt;
        }
    }
    PendingMessage &entry = m_pending.at(id);
    entry.lastUpdated = now;

    const qint64 index = header.chunkIndex;
    if (index < 0 || index >= entry.totalChunks) {
        if (!entry.outOfRangeLogged)
            log(QStringLiteral("Ignoring chunk %1 of message '%2': outside 0-%3").arg(index).arg(shown(id)).arg(entry.totalChunks - 1));
        entry.outOfRangeLogged = true;
        sweep();
        return std::nullopt;
    }

    PendingMessage::Slice slice{message, payloadOffset, payloadLength};
    if (index == 0 && header.finalHeaderLen && *header.finalHeaderLen >= 0 && *header.finalHeaderLen <= payloadLength) {
        const qsizetype headerLength = qsizetype(*header.finalHeaderLen);
        entry.originalHeaderData = message.mid(payloadOffset, headerLength);
        slice.offset += headerLength;
        slice.length -= headerLength;
    }
    if (!storeSlice(entry, index, std::move(slice))) {
        sweep();
        return std::nullopt;
    }
    entry.receivedChunks.insert(index);
    sweep();

    const qint64 received = entry.receivedChunks.size();
    if (entry.totalChunks > 100 && received % 1000 == 0)
        log(QStringLiteral("Received %1/%2 chunks").arg(received).arg(entry.totalChunks));
    // Every index 0 ... totalChunks-1 is present: the set holds in-range
    // indices only, each once.
    if (received == entry.totalChunks && entry.originalHeaderData)
        return complete(id, entry, header.originalType);
    return std::nullopt;
}

bool ChunkAssembler::storeSlice(PendingMessage &entry, qint64 index, PendingMessage::Slice slice)
{
    const QString &id = entry.header.messageId;
    if (entry.useFileStorage) {
        QFile &file = *entry.tempFile;
        qint64 offset = entry.fileSize;
        const auto previous = entry.chunkOffsets.find(index);
        const bool inPlace = previous != entry.chunkOffsets.end() && previous->second.second == slice.length;
        if (inPlace) {
            offset = previous->second.first;
        } else if (entry.fileSize + slice.length > entry.announcedBody + kChunkSpace) {
            drop(id, QStringLiteral("its chunks exceed the announced %1 bytes").arg(entry.announcedBody), m_clock());
            return false;
        }
        if (!file.seek(offset) || file.write(slice.message.constData() + slice.offset, slice.length) != slice.length) {
            log(QStringLiteral("Failed to write chunk to file: ") + file.errorString());
            drop(id, QStringLiteral("a chunk could not be stored"), m_clock());
            return false;
        }
        if (!inPlace) {
            entry.chunkOffsets[index] = {offset, slice.length};
            entry.fileSize += slice.length;
        }
        return true;
    }

    // What is held is the whole shared message, so that is what counts.
    const auto previous = entry.memoryChunks.find(index);
    const qint64 replaced = previous == entry.memoryChunks.end() ? 0 : previous->second.message.size();
    if (m_memoryBytes - replaced + slice.message.size() > m_limits.maxMemoryBytes) {
        drop(id, QStringLiteral("the session holds more than %1 bytes of partial messages").arg(m_limits.maxMemoryBytes), m_clock());
        return false;
    }
    const qint64 added = slice.message.size() - replaced;
    entry.memoryChunks[index] = std::move(slice);
    entry.memoryBytes += added;
    m_memoryBytes += added;
    return true;
}

std::optional<QByteArray> ChunkAssembler::readFromFile(PendingMessage &entry)
{
    QFile file(entry.tempFilePath);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    QByteArray body;
    body.resize(entry.fileSize);
    qint64 position = 0;
    for (qint64 index = 0; index < entry.totalChunks; ++index) {
        const auto [offset, length] = entry.chunkOffsets.at(index);
        if (!file.seek(offset) || file.read(body.data() + position, length) != length) {
            log(QStringLiteral("Failed to read chunk %1: %2").arg(index).arg(file.errorString()));
            return std::nullopt;
        }
        position += length;
    }
    body.truncate(position);
    return body;
}

// The body as one file in chunk order: the stored file itself when the
// chunks came in order (the usual case), else a copy put in order a piece at
// a time. Nothing when it cannot be read or written.
std::optional<QString> ChunkAssembler::bodyInOrder(PendingMessage &entry)
{
    qint64 expected = 0;
    bool ordered = true;
    for (qint64 index = 0; index < entry.totalChunks && ordered; ++index) {
        const auto [offset, length] = entry.chunkOffsets.at(index);
        ordered = offset == expected;
        expected += length;
    }
    if (ordered && expected == entry.fileSize)
        return entry.tempFilePath;
    QFile in(entry.tempFilePath);
    const QString path = entry.tempFilePath + QStringLiteral(".ordered");
    QFile out(path);
    if (!in.open(QIODevice::ReadOnly) || !out.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        return std::nullopt;
    QByteArray buffer;
    for (qint64 index = 0; index < entry.totalChunks; ++index) {
        const auto [offset, length] = entry.chunkOffsets.at(index);
        buffer.resize(length);
        if (!in.seek(offset) || in.read(buffer.data(), length) != length || out.write(buffer) != length) {
            log(QStringLiteral("Failed to put chunk %1 in order: %2").arg(index).arg(in.errorString() + out.errorString()));
            out.close();
            out.remove();
            return std::nullopt;
        }
    }
    in.close();
    in.remove();
    return path;
}

std::optional<ParsedMessage> ChunkAssembler::complete(const QString &id, PendingMessage &entry, std::uint8_t originalType)
{
    log(QStringLiteral("All %1 chunks received, reassembling...").arg(entry.totalChunks));
    const std::uint8_t type = originalType >= 1 && originalType <= 4 ? originalType : std::uint8_t(MessageType::Response);
    if (entry.useFileStorage && m_limits.handOnFiles) {
        entry.tempFile->close();
        const std::optional<QString> file = bodyInOrder(entry);
        const QByteArray header = *entry.originalHeaderData;
        const qint64 size = entry.fileSize;
        // The file leaves the entry: from here it is the receiver's.
        entry.tempFile.reset();
        if (file) {
            entry.tempFilePath.clear();
            --m_fileMessages;
        }
        release(entry);
        m_pending.erase(id);
        if (!file) {
            log(QStringLiteral("Dropping message '%1': its stored chunks could not be read back").arg(shown(id)));
            return std::nullopt;
        }
        log(QStringLiteral("Reassembled %1 bytes in %2").arg(size).arg(*file));
        std::optional<ParsedMessage> message = decodeParts(type, header, {});
        if (auto *request = message ? std::get_if<TunnelRequest>(&*message) : nullptr)
            request->bodyFile = *file;
        else if (auto *response = message ? std::get_if<TunnelResponse>(&*message) : nullptr)
            response->bodyFile = *file;
        else
            QFile::remove(*file); // an error message carries no body
        return message;
    }
    std::optional<QByteArray> body;
    if (entry.useFileStorage) {
        entry.tempFile->close();
        body = readFromFile(entry);
    } else {
        qsizetype length = 0;
        for (const auto &[index, slice] : entry.memoryChunks)
            length += slice.length;
        QByteArray joined;
        joined.reserve(length);
        for (qint64 index = 0; index < entry.totalChunks; ++index) {
            auto slice = entry.memoryChunks.extract(index);
            joined.append(slice.mapped().message.constData() + slice.mapped().offset, slice.mapped().length);
        }
        body = std::move(joined);
    }
    const QByteArray header = *entry.originalHeaderData;
    release(entry);
    m_pending.erase(id);
    if (!body) {
        log(QStringLiteral("Dropping message '%1': its stored chunks could not be read back").arg(shown(id)));
        return std::nullopt;
    }
    log(QStringLiteral("Reassembled %1 bytes").arg(body->size()));

    // What parsing the rebuilt message would give, without building it: the
    // body is not copied again.
    if (quint64(body->size()) > std::numeric_limits<quint32>::max() || quint64(header.size()) > std::numeric_limits<quint32>::max())
        return std::nullopt;
    return decodeParts(type, header, std::move(*body));
}

void ChunkAssembler::noteRefusal(std::uint8_t originalType, QByteArrayView header, const QString &reason)
{
    if (originalType != std::uint8_t(MessageType::Request) || header.isEmpty())
        return;
    const auto message = decodeParts(originalType, header, {});
    const auto *request = message ? std::get_if<TunnelRequest>(&*message) : nullptr;
    // Bounded: a caller that never takes them must not grow it.
    if (request && m_refusals.size() < 1000)
        m_refusals.append({request->id, reason});
}

QList<ChunkAssembler::Refusal> ChunkAssembler::takeRefusals()
{
    std::lock_guard lock(m_mutex);
    return std::exchange(m_refusals, {});
}

void ChunkAssembler::drop(QString id, const QString &reason, const QDateTime &now, std::uint8_t originalType,
                          QByteArrayView messageHeader)
{
    log(QStringLiteral("Dropping message '%1': %2").arg(shown(id), reason));
    if (auto it = m_pending.find(id); it != m_pending.end()) {
        // A message under way knows its own header once chunk 0 is in.
        const std::optional<QByteArray> known = it->second.originalHeaderData;
        if (known)
            noteRefusal(it->second.header.originalType, *known, reason);
        release(it->second);
        m_pending.erase(it);
    } else {
        noteRefusal(originalType, messageHeader, reason);
    }
    // Remembered so that the message's later chunks are ignored; a flood of
    // ids must not make the memory itself unbounded.
    if (m_dropped.size() >= m_limits.maxRememberedDrops)
        m_dropped.clear();
    m_dropped.insert(id, now);
}

void ChunkAssembler::release(PendingMessage &entry)
{
    if (entry.tempFile) {
        entry.tempFile->close();
        entry.tempFile.reset();
    }
    if (!entry.tempFilePath.isEmpty()) {
        QFile::remove(entry.tempFilePath);
        --m_fileMessages;
    }
    entry.tempFilePath.clear();
    m_memoryBytes -= entry.memoryBytes;
    entry.memoryBytes = 0;
    entry.memoryChunks.clear();
}

void ChunkAssembler::cleanupStaleMessages(const QDateTime &now)
{
    const qint64 staleMs = qint64(m_limits.staleAgeSeconds) * 1000;
    for (auto it = m_dropped.begin(); it != m_dropped.end();)
        it = it.value().msecsTo(now) > staleMs ? m_dropped.erase(it) : std::next(it);

    QStringList stale;
    for (const auto &[id, entry] : m_pending)
        if (entry.lastUpdated.msecsTo(now) > staleMs)
            stale << id;
    if (stale.isEmpty())
        return;
    for (const QString &id : stale) {
        PendingMessage &entry = m_pending.at(id);
        log(QStringLiteral("Cleaning up stale message '%1' - received %2/%3 chunks, last update: %4")
                .arg(shown(id))
                .arg(entry.receivedChunks.size())
                .arg(entry.totalChunks)
                .arg(dateDescription(entry.lastUpdated)));
        release(entry);
        m_pending.erase(id);
    }
    log(QStringLiteral("Cleaned up %1 stale pending messages").arg(stale.size()));
}

} // namespace tavrolin
