#include "ui/ImageProviders.h"

#include <QCoreApplication>
#include <QFile>
#include <QPointer>
#include <QUrl>

#include "ui/PhotoListService.h"

namespace tavrolin {

namespace {

// What a response and the main thread share. The response lives on the
// view's image-reading thread and may be deleted there at any moment (its
// cell scrolled away); the main thread never touches it except through
// this, under the lock the response's destructor also takes.
struct ThumbnailState {
    QMutex mutex;
    QQuickImageResponse *response = nullptr; // null once it is gone
    QImage image;
    QSize requested;
    ThumbnailLoader::Cancelled cancelled = std::make_shared<std::atomic<bool>>(false);

    void deliver(const QImage &loaded)
    {
        // Thumbnails are small already: this costs about a millisecond.
        const QImage scaled = requested.isValid() && !loaded.isNull()
                                      && (loaded.width() > requested.width() || loaded.height() > requested.height())
                                  ? loaded.scaled(requested, Qt::KeepAspectRatioByExpanding, Qt::SmoothTransformation)
                                  : loaded;
        QMutexLocker lock(&mutex);
        if (!response)
            return;
        image = scaled;
        // Emitted on the response's own thread; a response deleted before
        // then takes the posted call with it.
        QQuickImageResponse *target = response;
        QMetaObject::invokeMethod(target, [target] { Q_EMIT target->finished(); }, Qt::QueuedConnection);
    }
};

class ThumbnailResponse : public QQuickImageResponse {
public:
    ThumbnailResponse(PhotoListService &service, QString key, QSize requested) : m_state(std::make_shared<ThumbnailState>())
    {
        m_state->response = this;
        m_state->requested = requested;
        // Begun from this object's own thread once the loader that asked
        // has connected to finished(): an image already in memory would
        // otherwise be reported before anyone listened, and the cell would
        // wait for it forever.
        QMetaObject::invokeMethod(this, [this, &service, key] { begin(service, key); }, Qt::QueuedConnection);
    }
    ~ThumbnailResponse() override
    {
        QMutexLocker lock(&m_state->mutex);
        m_state->response = nullptr;
    }

    QQuickTextureFactory *textureFactory() const override
    {
        QMutexLocker lock(&m_state->mutex);
        return QQuickTextureFactory::textureFactoryForImage(m_state->image);
    }
    QString errorString() const override
    {
        QMutexLocker lock(&m_state->mutex);
        return m_state->image.isNull() ? QStringLiteral("no thumbnail") : QString();
    }

    // The cell went (scrolled away): a load that has not begun never will.
    void cancel() override { m_state->cancelled->store(true); }

private:
    void begin(PhotoListService &service, const QString &key)
    {
        // The service lives on the main thread.
        const std::shared_ptr<ThumbnailState> state = m_state;
        QMetaObject::invokeMethod(&service, [state, &service, key] {
            PhotoItem photo;
            // Not listed (yet): what its name says, a video included.
            if (const PhotoItem *known = service.photoForKey(key))
                photo = *known;
            else
                photo = PhotoItem::fromKey(key, {key});
            [](std::shared_ptr<ThumbnailState> state, PhotoListService &service, PhotoItem photo) -> QCoro::Task<> {
                const std::optional<QImage> image = co_await service.loadThumbnail(photo, state->cancelled);
                state->deliver(image.value_or(QImage()));
            }(state, service, photo);
        }, Qt::QueuedConnection);
    }

    const std::shared_ptr<ThumbnailState> m_state;
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
