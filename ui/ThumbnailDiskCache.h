#pragma once

#include <QHash>
#include <QImage>
#include <QMutex>
#include <QString>
#include <optional>

namespace tavrolin {

// Thumbnails kept on disk between runs, one JPEG file per version of an
// object (its key and ETag), so a library is decoded once, not at every
// open. Bounded in bytes: the least recently used files go first, and use
// is kept in the files' modification times so the order survives restarts.
// Safe to use from any thread; meant for the decoding workers.
class ThumbnailDiskCache {
public:
    static constexpr qint64 kDefaultBudgetBytes = qint64(1) << 30;

    // An empty folder disables the cache.
    explicit ThumbnailDiskCache(QString folder, qint64 budgetBytes = kDefaultBudgetBytes);

    std::optional<QImage> read(const QString &key, const QString &version);
    void write(const QString &key, const QString &version, const QImage &image);

    qint64 bytes();
    int count();
    const QString &folder() const { return m_folder; }
    // The file a version is kept in: a hash, so no key can name a path.
    static QString fileName(const QString &key, const QString &version);

private:
    struct Entry {
        qint64 size = 0;
        qint64 lastUse = 0; // ms since the epoch
    };
    bool readyLocked(); // the folder is there and the index read
    void evictLocked();

    QMutex m_mutex;
    const QString m_folder;
    const qint64 m_budget;
    bool m_indexed = false;
    bool m_usable = false;
    QHash<QString, Entry> m_entries;
    qint64 m_bytes = 0;
};

} // namespace tavrolin
