#pragma once

#include <QCoro/QCoroTask>
#include <QImage>
#include <QNetworkAccessManager>
#include <QObject>
#include <optional>

#include "ui/PhotoItem.h"
#include "ui/ThumbnailLoader.h"

namespace tavrolin {

// What the photo browser shows: the stored photos and videos, read from
// the keys of the bucket "photos" on the S3 gateway, and their images.
class PhotoListService : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool isLoading READ isLoading NOTIFY isLoadingChanged)
    Q_PROPERTY(QString error READ errorText NOTIFY errorChanged)
    Q_PROPERTY(int photoCount READ photoCount NOTIFY photosChanged)
public:
    // Tests give their own port and thumbnail settings (by default nothing
    // is kept on disk; the application keeps thumbnails in its cache folder).
    explicit PhotoListService(int port = 8333, ThumbnailLoaderConfig thumbnails = {}, QObject *parent = nullptr);
    ~PhotoListService() override;
    static PhotoListService &shared();

    const QList<PhotoItem> &photos() const { return m_photos; }
    // The listed item of a key, if listed; valid until the next listing.
    const PhotoItem *photoForKey(const QString &key) const;
    // Where an object is fetched from; the network it is fetched with.
    QUrl objectUrl(const QString &key) const;
    QNetworkAccessManager &network() { return m_network; }
    int photoCount() const { return int(m_photos.size()); }
    bool isLoading() const { return m_isLoading; }
    std::optional<QString> error() const { return m_error; }
    QString errorText() const { return m_error.value_or(QString()); }
    const ThumbnailCache &thumbnailCache() const { return m_thumbnails->memoryCache(); }
    ThumbnailLoader &thumbnails() { return *m_thumbnails; }

    QCoro::Task<> fetchPhotos();
    // cancelled: set once the image is no longer wanted (scrolled away).
    QCoro::Task<std::optional<QImage>> loadThumbnail(PhotoItem photo, ThumbnailLoader::Cancelled cancelled = {});
    QCoro::Task<std::optional<QImage>> loadFullImage(PhotoItem photo);
    // The stored bytes of the object, unchanged (for saving a copy).
    QCoro::Task<std::optional<QByteArray>> loadOriginal(PhotoItem photo);

    // Items of all keys of a listing, thumbnails dropped, newest date
    // first, undated last, listing order kept among equals.
    // ETags and sizes, where given, stand beside their keys.
    static QList<PhotoItem> itemsFromKeys(const QStringList &keys, const QStringList &etags = {},
                                          const QList<qint64> &sizes = {});

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
    QHash<QString, qsizetype> m_indexOfKey;
    bool m_isLoading = false;
    std::optional<QString> m_error;
    std::unique_ptr<ThumbnailLoader> m_thumbnails;
};

} // namespace tavrolin
