#include "ui/PhotoListService.h"

#include <QNetworkProxy>
#include <algorithm>

#include "s3/S3Gateway.h"
#include "ui/ImageDecoder.h"

namespace tavrolin {

PhotoListService::PhotoListService(int port, qint64 thumbnailBudgetBytes, QObject *parent)
    : QObject(parent), m_port(port), m_thumbnails(thumbnailBudgetBytes)
{
    m_network.setProxy(QNetworkProxy::NoProxy);
}

PhotoListService &PhotoListService::shared()
{
    static auto *instance = new PhotoListService();
    return *instance;
}

QList<PhotoItem> PhotoListService::itemsFromKeys(const QStringList &keys)
{
    const QSet<QString> all(keys.begin(), keys.end());
    QList<PhotoItem> items;
    items.reserve(keys.size());
    for (const QString &key : keys) {
        if (!key.endsWith(QLatin1String(PhotoItem::kThumbnailSuffix)))
            items.append(PhotoItem::fromKey(key, all));
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
    QStringList keys;
    std::optional<QString> error;
    const std::optional<S3ListPage> failed = co_await gateway.forEachPage(
        baseUrl(), QStringLiteral("photos"), [&keys](const QStringList &page) { keys.append(page); });
    // A page cut short ends the list where it broke, without an error.
    if (failed && !failed->transportError.isEmpty())
        error = QStringLiteral("Failed to fetch photos: ") + failed->transportError;
    else if (failed && failed->status != 200)
        error = QStringLiteral("Failed to list objects: HTTP %1").arg(failed->status);

    m_photos = itemsFromKeys(keys);
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
    const QUrl url = QUrl::fromEncoded(baseUrl().toLatin1() + "/photos/" + QUrl::toPercentEncoding(key, "/"), QUrl::StrictMode);
    if (!url.isValid())
        co_return std::nullopt;
    // No transfer timeout, as before: a large original may take its time.
    S3Gateway gateway(m_network, 0);
    GatewayResult answer = co_await gateway.send("GET", url, {}, {}, S3Gateway::kUnbounded);
    if (answer.status != 200 || !answer.error.isEmpty())
        co_return std::nullopt;
    co_return std::move(answer.body);
}

QCoro::Task<std::optional<QImage>> PhotoListService::loadThumbnail(PhotoItem photo)
{
    const QString loadKey = photo.thumbnailKey.value_or(photo.key);
    if (auto cached = m_thumbnails.get(loadKey))
        co_return cached;
    const std::optional<QByteArray> bytes = co_await fetchObject(loadKey);
    if (!bytes)
        co_return std::nullopt;
    std::optional<QImage> image = ImageDecoder::decode(*bytes);
    if (image)
        m_thumbnails.put(loadKey, *image);
    co_return image;
}

QCoro::Task<std::optional<QImage>> PhotoListService::loadFullImage(PhotoItem photo)
{
    const std::optional<QByteArray> bytes = co_await fetchObject(photo.key);
    if (!bytes)
        co_return std::nullopt;
    co_return ImageDecoder::decode(*bytes);
}

QCoro::Task<std::optional<QByteArray>> PhotoListService::loadOriginal(PhotoItem photo)
{
    co_return co_await fetchObject(photo.key);
}

} // namespace tavrolin
