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
        // The loader may ask from its own thread; the service lives on the
        // main thread.
        QPointer<ThumbnailResponse> self(this);
        QMetaObject::invokeMethod(&service, [self, &service, key] {
            PhotoItem photo;
            for (const PhotoItem &item : service.photos()) {
                if (item.key == key) {
                    photo = item;
                    break;
                }
            }
            if (photo.key.isEmpty())
                photo.key = key;
            [](QPointer<ThumbnailResponse> self, PhotoListService &service, PhotoItem photo) -> QCoro::Task<> {
                const std::optional<QImage> image = co_await service.loadThumbnail(photo);
                if (self)
                    self->finish(image.value_or(QImage()));
            }(self, service, photo);
        }, Qt::QueuedConnection);
    }

    QQuickTextureFactory *textureFactory() const override
    {
        QMutexLocker lock(&m_mutex);
        return QQuickTextureFactory::textureFactoryForImage(m_image);
    }
    QString errorString() const override { return m_image.isNull() ? QStringLiteral("no thumbnail") : QString(); }

    void finish(const QImage &image)
    {
        {
            QMutexLocker lock(&m_mutex);
            m_image = m_requested.isValid() && !image.isNull()
                          ? image.scaled(m_requested, Qt::KeepAspectRatioByExpanding, Qt::SmoothTransformation)
                          : image;
        }
        Q_EMIT finished();
    }

private:
    QSize m_requested;
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
