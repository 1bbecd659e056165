#include "ui/PhotoListService.h"

#include <QCoro/QCoroFuture>
#include <QNetworkProxy>
#include <QtConcurrent/QtConcurrentRun>
#include <algorithm>

#include "platform/AppPaths.h"
#include "s3/S3Gateway.h"
#include "ui/ImageDecoder.h"

namespace tavrolin {

PhotoListService::PhotoListService(int port, ThumbnailLoaderConfig thumbnails, QObject *parent) : QObject(parent), m_port(port)
{
    m_network.setProxy(QNetworkProxy::NoProxy);
    m_thumbnails = std::make_unique<ThumbnailLoader>(
        m_network, [this](const QString &key) { return objectUrl(key); }, std::move(thumbnails));
}

PhotoListService::~PhotoListService() = default;

PhotoListService &PhotoListService::shared()
{
    ThumbnailLoaderConfig thumbnails;
    thumbnails.diskFolder = AppPaths::thumbnailCacheDir();
    static auto *instance = new PhotoListService(8333, thumbnails);
    return *instance;
}

const PhotoItem *PhotoListService::photoForKey(const QString &key) const
{
    const auto it = m_indexOfKey.constFind(key);
    return it == m_indexOfKey.constEnd() ? nullptr : &m_photos.at(*it);
}

QUrl PhotoListService::objectUrl(const QString &key) const
{
    return QUrl::fromEncoded(baseUrl().toLatin1() + "/photos/" + QUrl::toPercentEncoding(key, "/"), QUrl::StrictMode);
}

QList<PhotoItem> PhotoListService::itemsFromKeys(const QStringList &keys, const QStringList &etags,
                                                const QList<qint64> &sizes)
{
    const QSet<QString> all(keys.begin(), keys.end());
    QList<PhotoItem> items;
    items.reserve(keys.size());
    for (qsizetype i = 0; i < keys.size(); ++i) {
        const QString &key = keys.at(i);
        if (key.endsWith(QLatin1String(PhotoItem::kThumbnailSuffix)))
            continue;
        PhotoItem item = PhotoItem::fromKey(key, all);
        if (i < etags.size())
            item.etag = etags.at(i);
        if (i < sizes.size())
            item.size = sizes.at(i);
        items.append(std::move(item));
    }
    std::stable_sort(items.begin(), items.end(), [](const PhotoItem &a, const PhotoItem &b) {
        return a.dateString.value_or(QString()) > b.dateString.value_or(QString());
    });
    return items;
}

QCoro::Task<> PhotoListService::fetchPhotos()
{
    if (m_isLoading)
        co_return;
    m_isLoading = true;
    Q_EMIT isLoadingChanged();
    if (m_error) {
        m_error.reset();
        Q_EMIT errorChanged();
    }

    S3Gateway gateway(m_network, 30000);
    QStringList keys, etags;
    QList<qint64> sizes;
    std::optional<QString> error;
    const std::optional<S3ListPage> failed =
        co_await gateway.forEachPage(baseUrl(), QStringLiteral("photos"), [&](const S3ListPage &page) {
            keys.append(page.keys);
            etags.append(page.etags);
            sizes.append(page.sizes);
        });
    // A page cut short ends the list where it broke, without an error.
    if (failed && !failed->transportError.isEmpty())
        error = QStringLiteral("Failed to fetch photos: ") + failed->transportError;
    else if (failed && failed->status != 200)
        error = QStringLiteral("Failed to list objects: HTTP %1").arg(failed->status);

    m_photos = itemsFromKeys(keys, etags, sizes);
    m_indexOfKey.clear();
    m_indexOfKey.reserve(m_photos.size());
    for (qsizetype i = 0; i < m_photos.size(); ++i)
        m_indexOfKey.insert(m_photos.at(i).key, i);
    if (error) {
        m_error = error;
        Q_EMIT errorChanged();
    }
    Q_EMIT photosChanged();
    m_isLoading = false;
    Q_EMIT isLoadingChanged();
}

QCoro::Task<std::optional<QByteArray>> PhotoListService::fetchObject(const QString &key)
{
    const QUrl url = objectUrl(key);
    if (!url.isValid())
        co_return std::nullopt;
    // No transfer timeout, as before: a large original may take its time.
    S3Gateway gateway(m_network, 0);
    GatewayResult answer = co_await gateway.send("GET", url, {}, {}, S3Gateway::kUnbounded);
    if (answer.status != 200 || !answer.error.isEmpty())
        co_return std::nullopt;
    co_return std::move(answer.body);
}

QCoro::Task<std::optional<QImage>> PhotoListService::loadThumbnail(PhotoItem photo, ThumbnailLoader::Cancelled cancelled)
{
    co_return co_await m_thumbnails->load(std::move(photo), std::move(cancelled));
}

QCoro::Task<std::optional<QImage>> PhotoListService::loadFullImage(PhotoItem photo)
{
    const std::optional<QByteArray> bytes = co_await fetchObject(photo.key);
    if (!bytes)
        co_return std::nullopt;
    // A 24-megapixel photo takes a good part of a second to decode: not on
    // the window's thread.
    const QByteArray data = *bytes;
    QFuture<QImage> decoding = QtConcurrent::run(&m_thumbnails->workers(), [data] {
        return ImageDecoder::decode(data).value_or(QImage());
    });
    const QImage image = co_await decoding;
    if (image.isNull())
        co_return std::nullopt;
    co_return image;
}

QCoro::Task<std::optional<QByteArray>> PhotoListService::loadOriginal(PhotoItem photo)
{
    co_return co_await fetchObject(photo.key);
}

} // namespace tavrolin
