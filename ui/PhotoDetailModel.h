#pragma once

#include <QImage>
#include <QObject>
#include <functional>

#include "platform/Lifetime.h"
#include "ui/PhotoExportService.h"
#include "ui/PhotoItem.h"

namespace tavrolin {

class PhotoListService;

// The detail sheet of one photo: its full image, zoom and the actions.
class PhotoDetailModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString key READ key NOTIFY photoChanged)
    Q_PROPERTY(QString filename READ filename NOTIFY photoChanged)
    Q_PROPERTY(QString deviceName READ deviceName NOTIFY photoChanged)
    Q_PROPERTY(QString dateString READ dateString NOTIFY photoChanged)
    Q_PROPERTY(bool isVideo READ isVideo NOTIFY photoChanged)
    Q_PROPERTY(QString state READ state NOTIFY stateChanged) // loading, error, video, image
    Q_PROPERTY(QString errorText READ errorText NOTIFY stateChanged)
    Q_PROPERTY(bool hasImage READ hasImage NOTIFY stateChanged)
    Q_PROPERTY(QString imageUrl READ imageUrl NOTIFY stateChanged)
    Q_PROPERTY(QString imageSizeText READ imageSizeText NOTIFY stateChanged)
    Q_PROPERTY(double zoomScale READ zoomScale NOTIFY zoomChanged)
    Q_PROPERTY(QString zoomText READ zoomText NOTIFY zoomChanged)
    Q_PROPERTY(QString message READ message NOTIFY messageChanged)
    Q_PROPERTY(bool canSave READ canSave NOTIFY photoChanged)
public:
    // downloadsFolder empty: the user's Downloads folder.
    explicit PhotoDetailModel(PhotoListService &service, QString downloadsFolder = {}, QObject *parent = nullptr);

    QString key() const { return m_photo.key; }
    QString filename() const { return m_photo.filename; }
    QString deviceName() const { return m_photo.deviceName; }
    QString dateString() const { return m_photo.dateString.value_or(QString()); }
    bool isVideo() const { return m_photo.isVideo; }
    QString state() const { return m_state; }
    QString errorText() const { return m_error; }
    bool hasImage() const { return !m_image.isNull(); }
    const QImage &image() const { return m_image; }
    QString imageUrl() const;
    QString imageSizeText() const;
    double zoomScale() const { return m_zoom; }
    QString zoomText() const { return QStringLiteral("%1%").arg(int(m_zoom * 100)); }
    QString message() const { return m_message; }
    // Photos and videos alike: what is saved is the stored file.
    bool canSave() const { return !m_photo.key.isEmpty(); }

    // Opens the sheet for the photo: a fresh start, zoom 1.0.
    void open(const PhotoItem &photo);
    Q_INVOKABLE void openKey(const QString &key);
    Q_INVOKABLE void zoomIn();
    Q_INVOKABLE void zoomOut();
    Q_INVOKABLE void fit();
    Q_INVOKABLE void copyToClipboard();
    Q_INVOKABLE void saveToDownloads();
    Q_INVOKABLE void openInDefaultApp();
    QUrl objectUrl() const;

    // Opens a saved file in the desktop's application for it (replaceable
    // by tests); false when there is none.
    std::function<bool(const QUrl &)> opener;
    // Where files opened in another application are saved first.
    QString openFolder() const;

    // Handed each new image before the views hear of it (QML bindings run
    // ahead of ordinary connections, so a connection would be too late).
    std::function<void(const QImage &)> imageSink;

Q_SIGNALS:
    void photoChanged();
    void stateChanged();
    void zoomChanged();
    void messageChanged();
    void saved(const QString &path);

private:
    void setState(const QString &state);
    void setMessage(const QString &message);
    // The open photo's stored file streamed into a new file in the folder;
    // whenSaved gets its path, a failure becomes the message.
    void saveCopy(const QString &folder, std::function<void(const QString &path)> whenSaved);

    PhotoListService &m_service;
    PhotoExportService m_saver;
    QString m_downloads;
    PhotoItem m_photo;
    QImage m_image;
    QString m_state = QStringLiteral("loading");
    QString m_error;
    double m_zoom = 1.0;
    QString m_message;
    int m_generation = 0;
    Lifetime m_lifetime;
};

} // namespace tavrolin
