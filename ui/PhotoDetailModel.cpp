#include "ui/PhotoDetailModel.h"

#include <QClipboard>
#include <QDateTime>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QStandardPaths>
#include <QUrl>
#include <unistd.h>

#include "ui/PhotoExporter.h"
#include "ui/PhotoListService.h"

namespace tavrolin {

PhotoDetailModel::PhotoDetailModel(PhotoListService &service, QString downloadsFolder, QObject *parent)
    : QObject(parent), m_service(service), m_saver(service), m_downloads(std::move(downloadsFolder))
{
    opener = [](const QUrl &url) { return QDesktopServices::openUrl(url); };
}

QString PhotoDetailModel::openFolder() const
{
    // The user's own cache, not the shared temporary folder: the copies are
    // their photos, and another user must not be able to read them or plant
    // a link where the folder is.
    return QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation) + QStringLiteral("/Tavrolin/opened");
}

namespace {

// The folder, made private to the user; false if what is there is not a
// folder of theirs.
bool preparePrivateFolder(const QString &folder)
{
    if (!QDir().mkpath(folder))
        return false;
    const QFileInfo info(folder);
    if (info.isSymLink() || !info.isDir() || info.ownerId() != ::getuid())
        return false;
    return QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

} // namespace

QString PhotoDetailModel::imageUrl() const
{
    return hasImage() ? QStringLiteral("image://full/%1/%2").arg(m_generation).arg(QString::fromLatin1(QUrl::toPercentEncoding(m_photo.key)))
                      : QString();
}

QString PhotoDetailModel::imageSizeText() const
{
    return hasImage() ? QStringLiteral("%1 \u00d7 %2").arg(m_image.width()).arg(m_image.height()) : QString();
}

void PhotoDetailModel::openKey(const QString &key)
{
    if (const PhotoItem *item = m_service.photoForKey(key))
        open(*item);
}

void PhotoDetailModel::open(const PhotoItem &photo)
{
    const int generation = ++m_generation;
    m_photo = photo;
    m_image = QImage();
    m_error.clear();
    m_zoom = 1.0;
    setMessage(QString());
    Q_EMIT photoChanged();
    Q_EMIT zoomChanged();
    if (photo.isVideo) {
        setState(QStringLiteral("video"));
        return;
    }
    setState(QStringLiteral("loading"));
    [](PhotoDetailModel *self, Lifetime::Guard alive, PhotoListService &service, PhotoItem photo, int generation) -> QCoro::Task<> {
        const std::optional<QImage> image = co_await service.loadFullImage(photo);
        // A sheet closed or moved on meanwhile ignores the late image.
        if (!alive || self->m_generation != generation)
            co_return;
        if (!image) {
            self->m_error = QStringLiteral("Failed to load image");
            self->setState(QStringLiteral("error"));
            co_return;
        }
        self->m_image = *image;
        if (self->imageSink)
            self->imageSink(self->m_image);
        self->setState(QStringLiteral("image"));
    }(this, m_lifetime.guard(), m_service, photo, generation);
}

void PhotoDetailModel::zoomIn()
{
    m_zoom = std::min(m_zoom + 0.25, 4.0);
    Q_EMIT zoomChanged();
}

void PhotoDetailModel::zoomOut()
{
    m_zoom = std::max(m_zoom - 0.25, 0.25);
    Q_EMIT zoomChanged();
}

void PhotoDetailModel::fit()
{
    m_zoom = 1.0;
    Q_EMIT zoomChanged();
}

void PhotoDetailModel::copyToClipboard()
{
    if (hasImage() && QGuiApplication::clipboard())
        QGuiApplication::clipboard()->setImage(m_image);
}

void PhotoDetailModel::saveToDownloads()
{
    if (!canSave())
        return;
    const QString folder = m_downloads.isEmpty() ? QStandardPaths::writableLocation(QStandardPaths::DownloadLocation) : m_downloads;
    if (folder.isEmpty()) {
        setMessage(QStringLiteral("No Downloads folder"));
        return;
    }
    setMessage(QStringLiteral("Saving %1...").arg(m_photo.filename));
    saveCopy(folder, [this](const QString &path) {
        setMessage(QStringLiteral("Saved to ") + path);
        Q_EMIT saved(path);
    });
}

void PhotoDetailModel::saveCopy(const QString &folder, std::function<void(const QString &path)> whenSaved)
{
    [](PhotoDetailModel *self, Lifetime::Guard alive, PhotoItem photo, QString folder,
       std::function<void(const QString &)> whenSaved) -> QCoro::Task<> {
        // The stored bytes, not a re-encoding, streamed: a video too.
        const Result<QString> result = co_await self->m_saver.saveOne(photo, folder);
        if (!alive)
            co_return;
        if (!result) {
            self->setMessage(result.error());
            co_return;
        }
        whenSaved(*result);
    }(this, m_lifetime.guard(), m_photo, folder, std::move(whenSaved));
}

QUrl PhotoDetailModel::objectUrl() const
{
    return QUrl::fromEncoded("http://localhost:8333/photos/" + QUrl::toPercentEncoding(m_photo.key, "/"), QUrl::StrictMode);
}

void PhotoDetailModel::openInDefaultApp()
{
    if (!canSave())
        return;
    // An application is handed a file, not the gateway's address: few can
    // open one, and the desktop's opener fails without a word on others.
    const QString folder = openFolder();
    if (!preparePrivateFolder(folder)) {
        setMessage(QStringLiteral("Cannot use %1 for copies to open").arg(folder));
        return;
    }
    setMessage(QStringLiteral("Opening a copy of %1...").arg(m_photo.filename));
    // Copies opened earlier are the applications' by now; after a week
    // they are left to no one (the originals stay in the store).
    const QDateTime weekAgo = QDateTime::currentDateTime().addDays(-7);
    for (const QFileInfo &old : QDir(folder).entryInfoList(QDir::Files | QDir::Hidden | QDir::NoSymLinks))
        if (old.lastModified() < weekAgo)
            QFile::remove(old.filePath());
    saveCopy(folder, [this, name = m_photo.filename](const QString &path) {
        if (opener && opener(QUrl::fromLocalFile(path)))
            setMessage(QString());
        else
            setMessage(QStringLiteral("No application opens %1; it is saved at %2").arg(name, path));
    });
}

void PhotoDetailModel::setState(const QString &state)
{
    m_state = state;
    Q_EMIT stateChanged();
}

void PhotoDetailModel::setMessage(const QString &message)
{
    if (message == m_message)
        return;
    m_message = message;
    Q_EMIT messageChanged();
}

} // namespace tavrolin
