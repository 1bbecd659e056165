#include "ui/ThumbnailDiskCache.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <algorithm>
#include <cstdio>
#include <vector>

#include "platform/DiagnosticLog.h"

namespace tavrolin {

namespace {

constexpr auto kSuffix = ".jpg";
constexpr int kJpegQuality = 85;

qint64 nowMs() { return QDateTime::currentMSecsSinceEpoch(); }

} // namespace

ThumbnailDiskCache::ThumbnailDiskCache(QString folder, qint64 budgetBytes) : m_folder(std::move(folder)), m_budget(budgetBytes) {}

QString ThumbnailDiskCache::fileName(const QString &key, const QString &version)
{
    QCryptographicHash hash(QCryptographicHash::Sha1);
    hash.addData(key.toUtf8());
    hash.addData(QByteArrayView("\n", 1));
    hash.addData(version.toUtf8());
    return QString::fromLatin1(hash.result().toHex()) + QLatin1String(kSuffix);
}

bool ThumbnailDiskCache::readyLocked()
{
    if (m_indexed)
        return m_usable;
    m_indexed = true;
    if (m_folder.isEmpty())
        return false;
    // A link where the cache folder belongs may lead anywhere: files would
    // be written and, past the budget, removed there.
    const QFileInfo info(m_folder);
    if (info.isSymLink() || (info.exists() && !info.isDir())) {
        diagLog(QStringLiteral("Thumbnail cache: %1 is not a plain folder; thumbnails are not kept on disk").arg(m_folder));
        return false;
    }
    if (!QDir().mkpath(m_folder)) {
        diagLog(QStringLiteral("Thumbnail cache: cannot create %1; thumbnails are not kept on disk").arg(m_folder));
        return false;
    }
    QDirIterator it(m_folder, {QStringLiteral("*") + QLatin1String(kSuffix), QStringLiteral(".*.tmp")}, QDir::Files | QDir::Hidden);
    while (it.hasNext()) {
        const QFileInfo file(it.next());
        if (file.fileName().startsWith(u'.')) {
            QFile::remove(file.filePath()); // left by a run that stopped mid-write
            continue;
        }
        const Entry entry{file.size(), file.lastModified().toMSecsSinceEpoch()};
        m_entries.insert(file.fileName(), entry);
        m_bytes += entry.size;
    }
    m_usable = true;
    evictLocked();
    return true;
}

std::optional<QImage> ThumbnailDiskCache::read(const QString &key, const QString &version)
{
    const QString name = fileName(key, version);
    {
        QMutexLocker lock(&m_mutex);
        if (!readyLocked() || !m_entries.contains(name))
            return std::nullopt;
    }
    // Read and decoded without the lock: the other workers go on meanwhile.
    const QString path = m_folder + u'/' + name;
    QFile file(path);
    QImage image;
    if (file.open(QIODevice::ReadOnly | QIODevice::ExistingOnly))
        image.loadFromData(file.readAll(), "JPEG");
    const qint64 now = nowMs();
    if (!image.isNull())
        file.setFileTime(QDateTime::fromMSecsSinceEpoch(now), QFileDevice::FileModificationTime);
    file.close();
    QMutexLocker lock(&m_mutex);
    const auto it = m_entries.find(name);
    if (image.isNull()) {
        // Damaged or removed behind our back: made again on the next load.
        if (it != m_entries.end()) {
            m_bytes -= it->size;
            m_entries.erase(it);
        }
        QFile::remove(path);
        return std::nullopt;
    }
    if (it != m_entries.end())
        it->lastUse = now;
    return image;
}

void ThumbnailDiskCache::write(const QString &key, const QString &version, const QImage &image)
{
    if (image.isNull())
        return;
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    if (!image.save(&buffer, "JPEG", kJpegQuality))
        return;
    QMutexLocker lock(&m_mutex);
    if (!readyLocked())
        return;
    const QString name = fileName(key, version);
    // Written aside and renamed: a reader never sees half a file. Not
    // synced: a cache lost in a crash is only made again.
    const QString temp = m_folder + QStringLiteral("/.%1.%2.tmp").arg(name).arg(QRandomGenerator::global()->generate(), 0, 16);
    QFile file(temp);
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly) || file.write(bytes) != bytes.size()) {
        file.remove();
        return;
    }
    file.close();
    const QString path = m_folder + u'/' + name;
    if (::rename(QFile::encodeName(temp).constData(), QFile::encodeName(path).constData()) != 0) {
        QFile::remove(temp);
        return;
    }
    if (const auto old = m_entries.constFind(name); old != m_entries.constEnd())
        m_bytes -= old->size;
    m_entries.insert(name, Entry{bytes.size(), nowMs()});
    m_bytes += bytes.size();
    evictLocked();
}

void ThumbnailDiskCache::evictLocked()
{
    if (m_bytes <= m_budget)
        return;
    // Down to nine tenths at once, so a full cache is not sorted again at
    // every write.
    std::vector<std::pair<qint64, QString>> byUse;
    byUse.reserve(size_t(m_entries.size()));
    for (auto it = m_entries.cbegin(); it != m_entries.cend(); ++it)
        byUse.emplace_back(it->lastUse, it.key());
    std::sort(byUse.begin(), byUse.end());
    const qint64 target = m_budget / 10 * 9;
    for (const auto &[lastUse, name] : byUse) {
        if (m_bytes <= target)
            break;
        QFile::remove(m_folder + u'/' + name);
        m_bytes -= m_entries.value(name).size;
        m_entries.remove(name);
    }
}

qint64 ThumbnailDiskCache::bytes()
{
    QMutexLocker lock(&m_mutex);
    readyLocked();
    return m_bytes;
}

int ThumbnailDiskCache::count()
{
    QMutexLocker lock(&m_mutex);
    readyLocked();
    return int(m_entries.size());
}

} // namespace tavrolin
