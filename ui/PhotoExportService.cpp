#include "ui/PhotoExportService.h"

#include <QDir>
#include <QFile>
#include <QNetworkReply>
#include <QUrl>
#include <unistd.h>

#include "s3/S3Gateway.h"
#include "ui/PhotoExporter.h"
#include "ui/PhotoListService.h"

namespace tavrolin {

namespace {

// No transfer time-out: a large video on a slow disk takes its time; a
// stalled one is the user's to cancel.
constexpr int kTransferTimeoutMs = 0;

QString localPath(const QString &pathOrUrl)
{
    const QUrl url(pathOrUrl);
    return url.isLocalFile() ? url.toLocalFile() : pathOrUrl;
}

QString photosText(int n) { return n == 1 ? QStringLiteral("1 photo") : QStringLiteral("%1 photos").arg(n); }

} // namespace

PhotoExportService::PhotoExportService(PhotoListService &service, QObject *parent) : QObject(parent), m_service(service)
{
    m_progressTimer.setInterval(100);
    connect(&m_progressTimer, &QTimer::timeout, this, &PhotoExportService::progressChanged);
}

PhotoExportService::~PhotoExportService()
{
    // Ended first: the abort below finishes the transfer at once, and what
    // resumes must not go on to the next file.
    m_lifetime.end();
    m_cancelled = true;
    if (m_transfer)
        m_transfer->abort();
}

double PhotoExportService::progress() const
{
    if (m_items.isEmpty())
        return 0;
    if (m_bytesTotal <= 0)
        return double(m_done) / double(m_items.size());
    const qint64 current = m_current ? m_current->size() : 0;
    return std::min(1.0, double(m_bytesDone + current) / double(m_bytesTotal));
}

bool PhotoExportService::exportKeys(const QStringList &keys, const QString &folder)
{
    if (m_exporting || keys.isEmpty())
        return false;
    const QString path = localPath(folder);
    if (path.isEmpty())
        return false;
    QList<PhotoItem> items;
    for (const QString &key : keys) {
        if (const PhotoItem *known = m_service.photoForKey(key)) {
            items.append(*known);
        } else {
            PhotoItem item;
            item.key = key;
            item.filename = key.section(u'/', -1);
            items.append(item);
        }
    }
    run(items, path);
    return true;
}

void PhotoExportService::exportKeysToChosenFolder(const QStringList &keys)
{
    if (m_exporting || keys.isEmpty() || !chooseFolder)
        return;
    const QString folder = chooseFolder();
    if (!folder.isEmpty())
        exportKeys(keys, folder);
}

void PhotoExportService::cancel()
{
    if (!m_exporting)
        return;
    m_cancelled = true;
    if (m_transfer)
        m_transfer->abort();
}

void PhotoExportService::clearStatus()
{
    if (m_exporting || m_status.isEmpty())
        return;
    m_status.clear();
    Q_EMIT changed();
}

void PhotoExportService::setStatus(const QString &text)
{
    m_status = text;
    Q_EMIT changed();
}

QCoro::Task<Result<QString>> PhotoExportService::saveOne(PhotoItem photo, QString folder)
{
    const Lifetime::Guard alive = m_lifetime.guard();
    const QUrl url = m_service.objectUrl(photo.key);
    if (!url.isValid())
        co_return Unexpected{QStringLiteral("\"%1\" cannot be fetched").arg(photo.key)};
    const QString name = photo.filename.isEmpty() ? photo.key.section(u'/', -1) : photo.filename;
    const Result<PhotoExporter::NewFile> created = PhotoExporter::createUnique(folder, name);
    if (!created) {
        // The folder refuses files (no permission, read-only, full): so
        // will it the next one.
        m_folderFailed = !created.error().contains(QLatin1String("cannot be used as a file name"));
        co_return Unexpected{created.error()};
    }
    QFile file;
    if (!file.open(created->fd, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle)) {
        ::close(created->fd);
        QFile::remove(created->path);
        co_return Unexpected{QStringLiteral("Cannot save %1").arg(created->path)};
    }
    m_current = &file;
    S3Gateway gateway(m_service.network(), kTransferTimeoutMs);
    GatewayResult result = co_await gateway.getToFile(url, &file, qint64(1) << 20, [this](QNetworkReply *reply) { m_transfer = reply; });
    if (!alive) {
        file.close();
        QFile::remove(created->path);
        co_return Unexpected{QStringLiteral("Stopped")};
    }
    m_current = nullptr;
    // On the disk before it is called saved: the user may delete the
    // store's copy next.
    const bool flushed = result.ok() && file.flush() && ::fsync(file.handle()) == 0;
    const QString writeError = file.errorString();
    file.close();
    if (flushed)
        co_return created->path;
    // Nothing half-written is left under a photo's name.
    QFile::remove(created->path);
    if (m_cancelled)
        co_return Unexpected{QStringLiteral("Cancelled")};
    if (result.localError || result.ok()) {
        m_folderFailed = true;
        co_return Unexpected{QStringLiteral("Cannot write %1: %2").arg(created->path, result.localError ? result.error : writeError)};
    }
    if (result.status == 404)
        co_return Unexpected{QStringLiteral("%1 is no longer in the store").arg(name)};
    co_return Unexpected{QStringLiteral("Could not fetch %1 from the store").arg(name)};
}

QCoro::Task<> PhotoExportService::run(QList<PhotoItem> items, QString folder)
{
    const Lifetime::Guard alive = m_lifetime.guard();
    m_exporting = true;
    m_cancelled = false;
    m_items = items;
    m_done = 0;
    m_saved.clear();
    m_bytesDone = 0;
    m_bytesTotal = 0;
    for (const PhotoItem &item : items) {
        if (item.size < 0) {
            m_bytesTotal = 0; // one unknown size: progress by count
            break;
        }
        m_bytesTotal += item.size;
    }
    m_progressTimer.start();
    QStringList failures;
    bool stoppedByDisk = false;
    for (const PhotoItem &item : items) {
        if (m_cancelled)
            break;
        setStatus(QStringLiteral("Saving %1 of %2: %3").arg(m_done + 1).arg(items.size()).arg(item.filename));
        m_folderFailed = false;
        const Result<QString> saved = co_await saveOne(item, folder);
        if (!alive)
            co_return;
        if (saved) {
            m_saved << *saved;
        } else if (!m_cancelled) {
            failures << saved.error();
            // A disk that cannot take one file will not take the next.
            if (m_folderFailed) {
                stoppedByDisk = true;
                break;
            }
        }
        if (!m_cancelled) {
            ++m_done;
            m_bytesDone += std::max<qint64>(item.size, 0);
        }
        Q_EMIT progressChanged();
    }
    m_progressTimer.stop();
    m_exporting = false;
    const int total = int(items.size());
    const int saved = int(m_saved.size());
    if (m_cancelled)
        m_status = QStringLiteral("Cancelled: saved %1 of %2 to %3").arg(saved).arg(total).arg(folder);
    else if (failures.isEmpty())
        m_status = total == 1 ? QStringLiteral("Saved to ") + m_saved.value(0) : QStringLiteral("Saved %1 to %2").arg(photosText(saved), folder);
    else if (stoppedByDisk)
        m_status = QStringLiteral("Stopped after %1 of %2: %3").arg(saved).arg(total).arg(failures.last());
    else
        m_status = QStringLiteral("Saved %1 of %2 to %3; %4 failed: %5")
                       .arg(saved)
                       .arg(total)
                       .arg(folder)
                       .arg(failures.size())
                       .arg(failures.first());
    Q_EMIT changed();
    Q_EMIT progressChanged();
    Q_EMIT finished();
}

} // namespace tavrolin
