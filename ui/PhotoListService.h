#pragma once

#include <QCoro/QCoroTask>
#include <QImage>
#include <QNetworkAccessManager>
#include <QObject>
#include <optional>

#include "ui/PhotoItem.h"
#include "ui/ThumbnailCache.h"

namespace tavrolin {

// What the photo browser shows: the stored photos and videos, read from
// the keys of the bucket "photos" on the S3 gateway, and their images.
class PhotoListService : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool isLoading READ isLoading NOTIFY isLoadingChanged)
    Q_PROPERTY(QString error READ errorText NOTIFY errorChanged)
    Q_PROPERTY(int photoCount READ photoCount NOTIFY photosChanged)
public:
    // Tests give their own port and cache budget.
    explicit PhotoListService(int port = 8333, qint64 thumbnailBudgetBytes = qint64(256) << 20, QObject *parent = nullptr);
    static PhotoListService &shared();

    const QList<PhotoItem> &photos() const { return m_photos; }
    int photoCount() const { return int(m_photos.size()); }
    bool isLoading() const { return m_isLoading; }
    std::optional<QString> error() const { return m_error; }
    QString errorText() const { return m_error.value_or(QString()); }
    const ThumbnailCache &thumbnailCache() const { return m_thumbnails; }

    QCoro::Task<> fetchPhotos();
    QCoro::Task<std::optional<QImage>> loadThumbnail(PhotoItem photo);
    QCoro::Task<std::optional<QImage>> loadFullImage(PhotoItem photo);
    // The stored bytes of the object, unchanged (for saving a copy).
    QCoro::Task<std::optional<QByteArray>> loadOriginal(PhotoItem photo);

    // Items of all keys of a listing, thumbnails dropped, newest date
    // first, undated last, listing order kept among equals.
    static QList<PhotoItem> itemsFromKeys(const QStringList &keys);

Q_SIGNALS:
    void isLoadingChanged();
    void errorChanged();
    void photosChanged();

private:
    QCoro::Task<std::optional<QByteArray>> fetchObject(const QString &key);
    QString baseUrl() const { return QStringLiteral("http://localhost:%1").arg(m_port); }

    int m_port;
    QNetworkAccessManager m_network;
    QList<PhotoItem> m_photos;
    bool m_isLoading = false;
    std::optional<QString> m_error;
    ThumbnailCache m_thumbnails;
};

} // namespace tavrolin
