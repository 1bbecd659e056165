#pragma once

#include <QCoro/QCoroTask>
#include <QHash>
#include <QImage>
#include <QNetworkAccessManager>
#include <QThreadPool>
#include <QUrl>
#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <optional>

#include "ui/PhotoItem.h"
#include "ui/ThumbnailCache.h"
#include "ui/ThumbnailDiskCache.h"

namespace tavrolin {

struct ThumbnailLoaderConfig {
    int maxSide = 512;                           // thumbnails fit within this square
    qint64 maxSourceBytes = qint64(64) << 20;   // larger originals get no thumbnail
    int maxConcurrent = 4;                       // objects fetched and decoded at once
    qint64 memoryBudgetBytes = qint64(256) << 20;
    QString diskFolder;                          // empty: nothing kept on disk
    qint64 diskBudgetBytes = ThumbnailDiskCache::kDefaultBudgetBytes;
};

// Makes the grid's thumbnails without holding up the window: from the
// device's own thumbnail where there is one, else from the original,
// fetched with a bound and decoded small on worker threads, then kept on
// disk. Videos are never fetched for a thumbnail. Requests wait for one of
// a few slots, newest first, so what is on screen now goes before what was
// scrolled past; a request given up before its turn costs nothing.
class ThumbnailLoader {
public:
    using Cancelled = std::shared_ptr<std::atomic<bool>>;
    using UrlOf = std::function<QUrl(const QString &key)>;

    ThumbnailLoader(QNetworkAccessManager &network, UrlOf urlOf, ThumbnailLoaderConfig config = {});
    ~ThumbnailLoader();

    QCoro::Task<std::optional<QImage>> load(PhotoItem photo, Cancelled cancelled = {});

    const ThumbnailCache &memoryCache() const { return m_memory; }
    ThumbnailDiskCache &diskCache() { return m_disk; }
    QThreadPool &workers() { return m_pool; }

    // Bytes of objects fetched so far, and thumbnails decoded from them:
    // what a library costs to browse.
    qint64 fetchedBytes() const { return m_fetchedBytes; }
    int decoded() const { return m_decoded; }

private:
    struct Flight;
    using FlightPtr = std::shared_ptr<Flight>;
    static QString versionOf(const PhotoItem &photo);
    void pump();
    QCoro::Task<> run(FlightPtr flight);
    QCoro::Task<std::optional<QImage>> fetchAndDecode(const QString &key, qint64 maxBytes);
    void finish(const FlightPtr &flight, const std::optional<QImage> &image);

    QNetworkAccessManager &m_network;
    UrlOf m_urlOf;
    ThumbnailLoaderConfig m_config;
    ThumbnailCache m_memory;
    ThumbnailDiskCache m_disk;
    QThreadPool m_pool;
    QHash<QString, FlightPtr> m_flights; // by cache id, waiting or running
    std::deque<FlightPtr> m_waiting;     // newest at the back
    int m_running = 0;
    qint64 m_fetchedBytes = 0;
    int m_decoded = 0;
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
};

} // namespace tavrolin
