#include "ui/ImageProviders.h"

#include <QCoreApplication>
#include <QFile>
#include <QPointer>
#include <QUrl>

#include "ui/PhotoListService.h"

namespace tavrolin {

namespace {

class ThumbnailResponse : public QQuickImageResponse {
public:
    ThumbnailResponse(PhotoListService &service, QString key, QSize requested) : m_requested(requested)
    {
        // Begun from this object's own thread once the loader that asked
        // has connected to finished(): an image already in memory would
        // otherwise be reported before anyone listened, and the cell would
        // wait for it forever.
        QMetaObject::invokeMethod(this, [this, &service, key] { begin(service, key); }, Qt::QueuedConnection);
    }

    QQuickTextureFactory *textureFactory() const override
    {
        QMutexLocker lock(&m_mutex);
        return QQuickTextureFactory::textureFactoryForImage(m_image);
    }
    QString errorString() const override { return m_image.isNull() ? QStringLiteral("no thumbnail") : QString(); }

    // The cell went (scrolled away): a load that has not begun never will.
    void cancel() override { m_cancelled->store(true); }

private:
    void begin(PhotoListService &service, const QString &key)
    {
        // The loader may ask from its own thread; the service lives on the
        // main thread.
        QPointer<ThumbnailResponse> self(this);
        const ThumbnailLoader::Cancelled cancelled = m_cancelled;
        QMetaObject::invokeMethod(&service, [self, &service, key, cancelled] {
            PhotoItem photo;
            if (const PhotoItem *known = service.photoForKey(key))
                photo = *known;
            else
                photo.key = key;
            [](QPointer<ThumbnailResponse> self, PhotoListService &service, PhotoItem photo,
               ThumbnailLoader::Cancelled cancelled) -> QCoro::Task<> {
                const std::optional<QImage> image = co_await service.loadThumbnail(photo, cancelled);
                if (self)
                    self->finish(image.value_or(QImage()));
            }(self, service, photo, cancelled);
        }, Qt::QueuedConnection);
    }

    void finish(const QImage &image)
    {
        {
            QMutexLocker lock(&m_mutex);
            // Thumbnails are small already: this costs about a millisecond.
            m_image = m_requested.isValid() && !image.isNull()
                              && (image.width() > m_requested.width() || image.height() > m_requested.height())
                          ? image.scaled(m_requested, Qt::KeepAspectRatioByExpanding, Qt::SmoothTransformation)
                          : image;
        }
        Q_EMIT finished();
    }

    QSize m_requested;
    const ThumbnailLoader::Cancelled m_cancelled = std::make_shared<std::atomic<bool>>(false);
    mutable QMutex m_mutex;
    QImage m_image;
};

} // namespace

QQuickImageResponse *ThumbnailImageProvider::requestImageResponse(const QString &id, const QSize &requestedSize)
{
    return new ThumbnailResponse(m_service, QUrl::fromPercentEncoding(id.toLatin1()), requestedSize);
}

QImage FullImageProvider::requestImage(const QString &, QSize *size, const QSize &)
{
    QMutexLocker lock(&m_mutex);
    if (size)
        *size = m_image.size();
    return m_image;
}

void FullImageProvider::setImage(const QImage &image)
{
    QMutexLocker lock(&m_mutex);
    m_image = image;
}

QPixmap IconImageProvider::requestPixmap(const QString &id, QSize *size, const QSize &requestedSize)
{
    const QSize wanted = requestedSize.isValid() ? requestedSize : QSize(16, 16);
    const QString bundled = QStringLiteral(":/icons/%1.svg").arg(id);
    // The application's own mark is always ours, never the theme's.
    QIcon icon = id == QLatin1String("tavrolin") || id.endsWith(QLatin1String("-badge"))
                     ? QIcon(bundled)
                     : QIcon::fromTheme(id, QFile::exists(bundled) ? QIcon(bundled) : QIcon());
    const QPixmap pixmap = icon.pixmap(wanted);
    if (size)
        *size = pixmap.size();
    return pixmap;
}

} // namespace tavrolin
