#pragma once

#include <QIcon>
#include <QMutex>
#include <QQuickAsyncImageProvider>
#include <QQuickImageProvider>

namespace tavrolin {

class PhotoListService;

// image://thumbnail/<percent-encoded key>: loads through the service (and
// its cache) on the main thread, answers the image loader when done.
class ThumbnailImageProvider : public QQuickAsyncImageProvider {
public:
    explicit ThumbnailImageProvider(PhotoListService &service) : m_service(service) {}
    QQuickImageResponse *requestImageResponse(const QString &id, const QSize &requestedSize) override;

private:
    PhotoListService &m_service;
};

// image://full/<generation>/<key>: the detail sheet's current image.
class FullImageProvider : public QQuickImageProvider {
public:
    FullImageProvider() : QQuickImageProvider(QQuickImageProvider::Image) {}
    QImage requestImage(const QString &id, QSize *size, const QSize &requestedSize) override;
    void setImage(const QImage &image);

private:
    QMutex m_mutex;
    QImage m_image;
};

// image://icon/<freedesktop icon name>: the desktop theme, else the icons
// bundled with the application.
class IconImageProvider : public QQuickImageProvider {
public:
    IconImageProvider() : QQuickImageProvider(QQuickImageProvider::Pixmap) {}
    QPixmap requestPixmap(const QString &id, QSize *size, const QSize &requestedSize) override;
};

} // namespace tavrolin
