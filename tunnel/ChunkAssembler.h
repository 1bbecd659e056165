#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QFile>
#include <QList>
#include <QMap>
#include <QSet>
#include <QString>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

#include "tunnel/HTTPTunnelProtocol.h"

namespace tavrolin {

// Bounds on what one session may make us hold.
struct ChunkAssemblerLimits {
    qint64 fileThreshold = 10 * 1024 * 1024;            // exclusive
    // The format's 32-bit body length: a larger body could never be handed
    // on, so it is refused before any of it is stored.
    qint64 maxAnnouncedBody = 0xFFFFFFFFLL;
    qint64 maxTotalChunks = (1LL << 31) - 1;
    qint64 maxMemoryBytes = 64 * 1024 * 1024;           // held in memory per session
    int maxPendingMessages = 4096;
    int maxFileMessages = 4;                            // each holds an open file
    int maxRememberedDrops = 10000;
    int sweepIntervalSeconds = 10;
    int staleAgeSeconds = 60;
    // Hand large bodies on in their file (bodyFile) instead of reading them
    // back into memory.
    bool handOnFiles = false;
    // The temporary folder usually shares a disk with the photos: a large
    // message is refused when storing it would leave less than this free.
    qint64 keepFreeBytes = 256LL * 1024 * 1024;
    // Free bytes where the folder is; empty: asked of the file system.
    std::function<qint64(const QString &folder)> freeBytes = {};
};

// Turns the data-channel messages of one remote session into whole tunnel
// messages, collecting chunked ones until every chunk has arrived. Bodies
// announced above 10 MiB are collected in a temporary file. Safe to call
// from any thread: all state sits behind one lock, and the caller waits.
class ChunkAssembler {
public:
    using Clock = std::function<QDateTime()>;
    using Limits = ChunkAssemblerLimits;


    explicit ChunkAssembler(QString tempDir = {}, Clock clock = {}, Limits limits = {});
    ~ChunkAssembler(); // removes the temporary files of unfinished messages
    ChunkAssembler(const ChunkAssembler &) = delete;
    ChunkAssembler &operator=(const ChunkAssembler &) = delete;

    std::optional<HTTPTunnelProtocol::ParsedMessage> processIncoming(QByteArrayView data);
    // Keeps a share of the message instead of copying its payload.
    std::optional<HTTPTunnelProtocol::ParsedMessage> processIncoming(const QByteArray &data);

    // Requests refused part way (too large, no room, a failed write) whose
    // id was known from their first chunk, so the sender can be told rather
    // than left waiting. Taking them empties the list.
    struct Refusal {
        QString requestId;
        QString reason;
    };
    QList<Refusal> takeRefusals();

    // For tests and diagnostics.
    int pendingCount() const;
    qint64 memoryBytes() const;

private:
    struct PendingMessage {
        QSet<qint64> receivedChunks; // in range only
        qint64 totalChunks = 0;
        HTTPTunnelProtocol::ChunkHeader header;
        std::optional<QByteArray> originalHeaderData;
        bool useFileStorage = false;
        qint64 announcedBody = 0;
        QString tempFilePath;
        std::unique_ptr<QFile> tempFile; // open for writing
        qint64 fileSize = 0;
        std::map<qint64, std::pair<qint64, qint64>> chunkOffsets; // index -> (offset, length)
        struct Slice {
            QByteArray message; // shared with the caller's buffer, not copied
            qsizetype offset = 0;
            qsizetype length = 0;
        };
        std::map<qint64, Slice> memoryChunks;
        qint64 memoryBytes = 0;
        QDateTime lastUpdated;
        bool outOfRangeLogged = false;
    };

    std::optional<HTTPTunnelProtocol::ParsedMessage> addChunk(const HTTPTunnelProtocol::ChunkHeader &header, const QByteArray &message,
                                                              qsizetype payloadOffset, qsizetype payloadLength);
    std::optional<QString> rejectAnnouncement(const HTTPTunnelProtocol::ChunkHeader &header) const;
    // Why the message cannot be taken on, if it cannot.
    std::optional<QString> createEntry(const HTTPTunnelProtocol::ChunkHeader &header, const QDateTime &now);
    bool storeSlice(PendingMessage &entry, qint64 index, PendingMessage::Slice slice);
    std::optional<QByteArray> readFromFile(PendingMessage &entry);
    std::optional<QString> bodyInOrder(PendingMessage &entry);
    std::optional<HTTPTunnelProtocol::ParsedMessage> complete(const QString &id, PendingMessage &entry, std::uint8_t originalType);
    // Takes the id by value: it may live in the entry being removed. A
    // refused request is noted by the header its entry holds, or else by the
    // one given (from the announcing chunk).
    void drop(QString id, const QString &reason, const QDateTime &now, std::uint8_t originalType = 0,
              QByteArrayView messageHeader = {});
    void noteRefusal(std::uint8_t originalType, QByteArrayView header, const QString &reason);
    void release(PendingMessage &entry);
    void cleanupStaleMessages(const QDateTime &now);

    mutable std::mutex m_mutex;
    QString m_tempDir;
    Clock m_clock;
    Limits m_limits;
    std::map<QString, PendingMessage> m_pending;
    QMap<QString, QDateTime> m_dropped; // ids whose later chunks are ignored
    qint64 m_memoryBytes = 0;
    QList<Refusal> m_refusals;
    int m_fileMessages = 0;
    QDateTime m_lastCleanupTime;
};

} // namespace tavrolin
