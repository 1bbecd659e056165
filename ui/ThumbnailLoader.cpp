#include "ui/ThumbnailLoader.h"

#include <QCoro/QCoroFuture>
#include <QPromise>
#include <QtConcurrent/QtConcurrentRun>
#include <algorithm>

#include "s3/S3Gateway.h"
#include "ui/ImageDecoder.h"

namespace tavrolin {

namespace {

// A device's own thumbnail is small; one larger than this is not one.
constexpr qint64 kMaxDeviceThumbnailBytes = qint64(16) << 20;
constexpr int kFetchTimeoutMs = 60000;

} // namespace

struct ThumbnailLoader::Flight {
    QString id;
    QString version;
    PhotoItem photo;
    QList<Cancelled> interest;
    bool started = false;
    bool done = false;
    QPromise<QImage> promise;

    bool wanted() const
    {
        return std::any_of(interest.cbegin(), interest.cend(), [](const Cancelled &c) { return !c || !c->load(); });
    }
};

ThumbnailLoader::ThumbnailLoader(QNetworkAccessManager &network, UrlOf urlOf, ThumbnailLoaderConfig config)
    : m_network(network),
      m_urlOf(std::move(urlOf)),
      m_config(std::move(config)),
      m_memory(m_config.memoryBudgetBytes),
      m_disk(m_config.diskFolder, m_config.diskBudgetBytes)
{
    // Decoding is work the window must not feel: below its priority.
    m_pool.setThreadPriority(QThread::LowPriority);
}

ThumbnailLoader::~ThumbnailLoader()
{
    *m_alive = false;
    const auto flights = m_flights;
    for (const FlightPtr &flight : flights)
        finish(flight, std::nullopt);
    m_pool.waitForDone();
}

QString ThumbnailLoader::versionOf(const PhotoItem &photo)
{
    return photo.etag.isEmpty() ? QStringLiteral("size:%1").arg(photo.size) : photo.etag;
}

QCoro::Task<std::optional<QImage>> ThumbnailLoader::load(PhotoItem photo, Cancelled cancelled)
{
    const QString version = versionOf(photo);
    const QString id = photo.key + u'\n' + version;
    if (std::optional<QImage> hit = m_memory.get(id))
        co_return hit;
    // A video's thumbnail would cost the whole video: it has none unless
    // the device sent one.
    if (photo.isVideo && !photo.thumbnailKey)
        co_return std::nullopt;

    FlightPtr flight = m_flights.value(id);
    if (!flight) {
        flight = std::make_shared<Flight>();
        flight->id = id;
        flight->version = version;
        flight->photo = photo;
        m_flights.insert(id, flight);
        m_waiting.push_back(flight);
    } else if (!flight->started) {
        // Asked for again: it is on screen now, so its turn comes sooner.
        m_waiting.erase(std::find(m_waiting.begin(), m_waiting.end(), flight));
        m_waiting.push_back(flight);
    }
    flight->interest.append(cancelled);
    QFuture<QImage> future = flight->promise.future();
    pump();
    const QImage image = co_await future;
    if (image.isNull())
        co_return std::nullopt;
    co_return image;
}

void ThumbnailLoader::pump()
{
    while (m_running < m_config.maxConcurrent && !m_waiting.empty()) {
        FlightPtr flight = m_waiting.back();
        m_waiting.pop_back();
        if (!flight->wanted()) {
            finish(flight, std::nullopt);
            continue;
        }
        flight->started = true;
        ++m_running;
        run(flight);
    }
}

QCoro::Task<> ThumbnailLoader::run(FlightPtr flight)
{
    const std::shared_ptr<bool> alive = m_alive;
    ThumbnailDiskCache *disk = &m_disk;
    const QString key = flight->photo.key;
    const QString version = flight->version;
    QFuture<QImage> stored = QtConcurrent::run(&m_pool, [disk, key, version] { return disk->read(key, version).value_or(QImage()); });
    const QImage fromDisk = co_await stored;
    if (!*alive)
        co_return;
    std::optional<QImage> image;
    if (!fromDisk.isNull()) {
        image = fromDisk;
    } else {
        if (flight->photo.thumbnailKey) {
            std::optional<QImage> own = co_await fetchAndDecode(*flight->photo.thumbnailKey, kMaxDeviceThumbnailBytes);
            if (!*alive)
                co_return;
            image = std::move(own);
        }
        const bool fitsTheBound = flight->photo.size <= m_config.maxSourceBytes;
        if (!image && !flight->photo.isVideo && fitsTheBound) {
            std::optional<QImage> made = co_await fetchAndDecode(key, m_config.maxSourceBytes);
            if (!*alive)
                co_return;
            image = std::move(made);
        }
        if (image) {
            const QImage thumbnail = *image;
            m_pool.start([disk, key, version, thumbnail] { disk->write(key, version, thumbnail); });
        }
    }
    --m_running;
    finish(flight, image);
    pump();
}

QCoro::Task<std::optional<QImage>> ThumbnailLoader::fetchAndDecode(const QString &key, qint64 maxBytes)
{
    const std::shared_ptr<bool> alive = m_alive;
    const QUrl url = m_urlOf(key);
    if (!url.isValid())
        co_return std::nullopt;
    S3Gateway gateway(m_network, kFetchTimeoutMs);
    const GatewayResult answer = co_await gateway.send("GET", url, {}, {}, maxBytes);
    if (!*alive || answer.status != 200 || !answer.error.isEmpty())
        co_return std::nullopt;
    m_fetchedBytes += answer.body.size();
    const QByteArray bytes = answer.body;
    const int side = m_config.maxSide;
    QFuture<QImage> decoding = QtConcurrent::run(&m_pool, [bytes, side] {
        return ImageDecoder::decodeThumbnail(bytes, side).value_or(QImage());
    });
    const QImage image = co_await decoding;
    if (!*alive || image.isNull())
        co_return std::nullopt;
    ++m_decoded;
    co_return image;
}

void ThumbnailLoader::finish(const FlightPtr &flight, const std::optional<QImage> &image)
{
    if (flight->done)
        return;
    flight->done = true;
    m_flights.remove(flight->id);
    if (image)
        m_memory.put(flight->id, *image);
    flight->promise.start();
    flight->promise.addResult(image.value_or(QImage()));
    flight->promise.finish();
}

} // namespace tavrolin
