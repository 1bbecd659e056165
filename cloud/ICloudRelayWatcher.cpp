#include "cloud/ICloudRelayWatcher.h"

#include <QCoro/QCoroTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QSaveFile>
#include <QSettings>
#include <cerrno>
#include <sys/stat.h>

#include "cloud/ServerDeviceId.h"
#include "platform/AppPaths.h"
#include "platform/AtomicFile.h"
#include "platform/CloudDrive.h"
#include "platform/DiagnosticLog.h"
#include "platform/Validators.h"

namespace tavrolin {

namespace {

const QString kMetaSuffix = QStringLiteral(".meta.json");
const QString kRequestSuffix = QStringLiteral(".request.json");
const QString kUploadFailed = QStringLiteral("Failed to upload to SeaweedFS");
const QString kDataNotFound = QStringLiteral("Data file not found in iCloud");

void relayLog(const QString &line) { diagLog(QStringLiteral("ICloudRelayWatcher: ") + line); }

QString pendingDir(const QString &relay) { return relay + QStringLiteral("/pending"); }
QString confirmedDir(const QString &relay) { return relay + QStringLiteral("/confirmed"); }
QString requestsDir(const QString &relay) { return relay + QStringLiteral("/downloads/requests"); }
QString responsesDir(const QString &relay) { return relay + QStringLiteral("/downloads/responses"); }

QString readRecord(const QString &path, QByteArray &bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("Cannot read %1: %2").arg(QFileInfo(path).fileName(), file.errorString());
    if (file.size() > RelayRecords::kBounds.maxBytes)
        return QStringLiteral("%1 is too large to be a relay record (%2 bytes)").arg(QFileInfo(path).fileName()).arg(file.size());
    bytes = file.read(RelayRecords::kBounds.maxBytes + 1);
    return {};
}

// Whole or not at all, so the other device never syncs half a file.
QString writeAtomically(const QString &path, const QByteArray &bytes)
{
    const QString failed = atomicWrite(path, bytes);
    return failed.isEmpty() ? failed : QStringLiteral("Cannot write %1: %2").arg(QFileInfo(path).fileName(), failed);
}

} // namespace

ICloudRelayWatcher::ICloudRelayWatcher(CloudDrive &drive, RelayWatcherConfig config, QObject *parent)
    : QObject(parent), m_drive(drive), m_config(std::move(config))
{
    m_settings = m_config.settingsFile.isEmpty() ? AppPaths::userSettings()
                                                 : std::make_unique<QSettings>(m_config.settingsFile, QSettings::IniFormat);
    // Only ever the engine on loopback.
    m_network.setProxy(QNetworkProxy::NoProxy);
    m_pollingTimer.setInterval(m_config.scanIntervalMs);
    connect(&m_pollingTimer, &QTimer::timeout, this, [this] {
        scanPendingUploads();
        scanDownloadRequests();
    });
    connect(&m_drive, &CloudDrive::folderChanged, this, &ICloudRelayWatcher::onFolderChanged);
}

ICloudRelayWatcher::~ICloudRelayWatcher()
{
    // Transfers still running end here; their tasks see the watcher gone
    // and stop without touching it.
    m_lifetime.end();
    for (QNetworkReply *reply : m_network.findChildren<QNetworkReply *>())
        reply->abort();
}

std::optional<QString> ICloudRelayWatcher::relayDirectory() const
{
    const std::optional<QString> root = m_drive.rootFolder();
    if (!root)
        return std::nullopt;
    const QString id = serverDeviceId(*m_settings);
    if (!Validators::isPlainFileName(id))
        return std::nullopt;
    return *root + QStringLiteral("/relay/") + id;
}

QCoro::Task<> ICloudRelayWatcher::start(int s3Port)
{
    startWatching(s3Port);
    co_return;
}

QCoro::Task<> ICloudRelayWatcher::stop()
{
    stopWatching();
    co_return;
}

void ICloudRelayWatcher::startWatching(int s3Port)
{
    if (m_isWatching)
        return;
    if (!m_drive.rootFolder()) {
        relayLog(QStringLiteral("iCloud Drive not available"));
        return;
    }
    m_baseUrl = QStringLiteral("http://localhost:%1").arg(s3Port);
    createRelayDirectories();
    startFolderWatch(QStringLiteral("pending"), "Started metadata query");
    startFolderWatch(QStringLiteral("downloads/requests"), "Started download metadata query");
    m_pollingTimer.start();
    scanPendingUploads();
    scanDownloadRequests();
    m_isWatching = true;
    Q_EMIT isWatchingChanged();
    relayLog(QStringLiteral("Started watching for uploads and download requests"));
}

void ICloudRelayWatcher::stopWatching()
{
    if (!m_isWatching)
        return;
    for (const QString &folder : std::as_const(m_watchedFolders))
        m_drive.unwatchFolder(folder);
    m_watchedFolders.clear();
    m_pollingTimer.stop();
    m_isWatching = false;
    Q_EMIT isWatchingChanged();
    relayLog(QStringLiteral("Stopped watching"));
}

void ICloudRelayWatcher::createRelayDirectories()
{
    const auto relay = relayDirectory();
    if (!relay)
        return;
    for (const QString &dir : {pendingDir(*relay), confirmedDir(*relay), requestsDir(*relay), responsesDir(*relay)})
        isRealFolder(dir, true);
}

void ICloudRelayWatcher::startFolderWatch(const QString &subfolder, const char *logLine)
{
    const auto relay = relayDirectory();
    if (!relay)
        return;
    const QString folder = *relay + '/' + subfolder;
    m_drive.watchFolder(folder);
    m_watchedFolders.append(folder);
    relayLog(QString::fromLatin1(logLine));
}

void ICloudRelayWatcher::onFolderChanged(const QString &folder)
{
    if (!m_isWatching)
        return;
    const auto relay = relayDirectory();
    if (!relay)
        return;
    if (folder == pendingDir(*relay))
        scanPendingUploads();
    else if (folder == requestsDir(*relay))
        scanDownloadRequests();
}

bool ICloudRelayWatcher::takeSlot()
{
    if (m_activeTasks >= m_config.maxActiveTasks) {
        m_rescanWanted = true;
        return false;
    }
    ++m_activeTasks;
    return true;
}

void ICloudRelayWatcher::releaseSlot()
{
    --m_activeTasks;
    if (!m_rescanWanted || !m_isWatching)
        return;
    m_rescanWanted = false;
    // From the loop, not from inside the task that is ending.
    QTimer::singleShot(0, this, [this] {
        scanPendingUploads();
        scanDownloadRequests();
    });
}

bool ICloudRelayWatcher::isRealFolder(const QString &folder, bool create)
{
    // Other devices' sync tools write here and may carry symbolic links: a
    // folder on the way that is a link (or not a folder) would send what we
    // list, read, write or remove somewhere else. Each one from the relay
    // folder down is looked at itself, never through a link.
    const std::optional<QString> root = m_drive.rootFolder();
    if (!root || !folder.startsWith(*root + QStringLiteral("/relay")))
        return false;
    QString path = *root;
    for (const QString &part : folder.mid(root->size() + 1).split(u'/', Qt::SkipEmptyParts)) {
        path += u'/' + part;
        const QByteArray native = QFile::encodeName(path);
        struct stat st {};
        const bool found = ::lstat(native.constData(), &st) == 0;
        if (!found && errno == ENOENT && create && ::mkdir(native.constData(), 0755) == 0)
            continue;
        if (!found || !S_ISDIR(st.st_mode)) {
            if (!m_refusedFolders.contains(path)) {
                m_refusedFolders.insert(path);
                relayLog(QStringLiteral("Skipping %1: not a plain folder (a link, a file or missing)").arg(path));
            }
            return false;
        }
    }
    m_refusedFolders.remove(path);
    return true;
}

bool ICloudRelayWatcher::isSafeEntry(const QString &path) const
{
    const QFileInfo info(path);
    if (!Validators::isPlainFileName(info.fileName()))
        return false;
    if (!info.isSymLink())
        return true;
    // A link may point into the relay folder, never out of it.
    const auto relay = relayDirectory();
    const QString target = info.canonicalFilePath();
    const QString base = relay ? QFileInfo(*relay).canonicalFilePath() : QString();
    return !target.isEmpty() && !base.isEmpty() && target.startsWith(base + '/');
}

void ICloudRelayWatcher::scanPendingUploads()
{
    const auto relay = relayDirectory();
    if (!relay)
        return;
    if (!isRealFolder(pendingDir(*relay)))
        return;
    const QFileInfoList entries = QDir(pendingDir(*relay)).entryInfoList(QDir::Files | QDir::System, QDir::Unsorted);
    for (const QFileInfo &entry : entries) {
        if (entry.suffix() == QLatin1String("json") && entry.fileName().contains(QLatin1String(".meta")))
            processUpload(entry.filePath());
    }
}

void ICloudRelayWatcher::scanDownloadRequests()
{
    const auto relay = relayDirectory();
    if (!relay)
        return;
    if (!isRealFolder(requestsDir(*relay)))
        return;
    const QFileInfoList entries = QDir(requestsDir(*relay)).entryInfoList(QDir::Files | QDir::System, QDir::Unsorted);
    for (const QFileInfo &entry : entries) {
        if (entry.suffix() == QLatin1String("json") && entry.fileName().contains(QLatin1String(".request")))
            processDownloadRequest(entry.filePath());
    }
}

QCoro::Task<> ICloudRelayWatcher::sleepMs(int ms) { co_await QCoro::sleepFor(std::chrono::milliseconds(ms)); }

void ICloudRelayWatcher::setProcessedCount(qint64 count)
{
    m_processedCount = count;
    Q_EMIT processedCountChanged();
}

QCoro::Task<> ICloudRelayWatcher::processUpload(QString metadataPath)
{
    if (!isSafeEntry(metadataPath))
        co_return;
    const QString uploadId = QFileInfo(metadataPath).fileName().remove(kMetaSuffix);
    if (uploadId.isEmpty() || m_processedUploadIds.contains(uploadId))
        co_return;
    // Nothing is taken from pending that cannot be confirmed.
    const QString pending = QFileInfo(metadataPath).path();
    if (!isRealFolder(pending) || !isRealFolder(confirmedDir(QFileInfo(pending).path())))
        co_return;
    if (!takeSlot())
        co_return;
    m_processedUploadIds.insert(uploadId);
    relayLog(QStringLiteral("Processing upload ") + uploadId);
    const Lifetime::Guard alive = m_lifetime.guard();

    std::optional<Failure> failure;
    bool leftForLater = false;
    RelayMetadata metadata;
    const QString dataPath = QFileInfo(metadataPath).path() + '/' + uploadId + QStringLiteral(".data");
    do {
        QByteArray bytes;
        QString error = m_drive.makeLocal(metadataPath);
        if (error.isEmpty())
            error = readRecord(metadataPath, bytes);
        if (!error.isEmpty()) {
            failure = Failure{error, error};
            break;
        }
        auto decoded = RelayRecords::decodeMetadata(bytes);
        if (!decoded) {
            failure = Failure{decoded.error(), decoded.error()};
            break;
        }
        metadata = std::move(decoded).value();
        error = m_drive.makeLocal(dataPath);
        if (!error.isEmpty()) {
            failure = Failure{error, error};
            break;
        }

        // A sync tool writes the data file bit by bit: wait for all the
        // bytes the metadata announces, not just for the file.
        auto complete = [&] {
            const QFileInfo info(dataPath);
            return info.exists() && info.size() == metadata.size;
        };
        const qint64 sizeBefore = QFileInfo(dataPath).size();
        for (int waits = 0; !complete() && waits < m_config.dataWaits; ++waits) {
            co_await sleepMs(m_config.dataWaitMs);
            if (!alive)
                co_return;
        }
        const QFileInfo data(dataPath);
        if (!data.exists()) {
            relayLog(QStringLiteral("Data file not found for ") + uploadId);
            leftForLater = true;
            break;
        }
        if (!isSafeEntry(dataPath)) {
            failure = Failure{QStringLiteral("The data file is a link out of the relay folder"), kUploadFailed};
            break;
        }
        if (data.size() != metadata.size) {
            relayLog(QStringLiteral("Data file incomplete for %1 (%2 of %3 bytes)").arg(uploadId).arg(data.size()).arg(metadata.size));
            // Still arriving, or a sync that paused: the next scan looks
            // again. A file that holds more than announced, or has not grown
            // through several whole waits, will not become the upload: the
            // device is told.
            if (data.size() < metadata.size) {
                auto &[lastSize, unchanged] = m_shortUploads[uploadId];
                unchanged = data.size() == sizeBefore && data.size() == lastSize ? unchanged + 1 : 1;
                lastSize = data.size();
                if (unchanged < kStalledAttempts) {
                    leftForLater = true;
                    break;
                }
            }
            m_shortUploads.erase(uploadId);
            const QString why = QStringLiteral("The data file has %1 bytes, not the %2 announced").arg(data.size()).arg(metadata.size);
            failure = Failure{why, why};
            break;
        }

        failure = co_await uploadToStorage(dataPath, metadata);
        if (!alive)
            co_return;
        if (failure)
            break;
        failure = writeConfirmation(uploadId, true, metadata.key, std::nullopt);
    } while (false);

    if (!leftForLater)
        m_shortUploads.erase(uploadId);
    if (leftForLater) {
        // Both files stay; the next scan takes the upload up again.
        m_processedUploadIds.remove(uploadId);
    } else if (failure) {
        relayLog(QStringLiteral("Error processing %1: %2").arg(uploadId, failure->text));
        writeConfirmation(uploadId, false, QString(), failure->description);
        m_processedUploadIds.remove(uploadId);
    } else {
        // Looked at again: the folder may have been swapped for a link meanwhile.
        if (isRealFolder(pending)) {
            QFile::remove(metadataPath);
            QFile::remove(dataPath);
        }
        setProcessedCount(m_processedCount + 1);
        relayLog(QStringLiteral("Successfully imported ") + uploadId);
    }
    releaseSlot();
}

QCoro::Task<std::optional<ICloudRelayWatcher::Failure>> ICloudRelayWatcher::uploadToStorage(const QString &dataPath,
                                                                                             const RelayMetadata &metadata)
{
    const Lifetime::Guard alive = m_lifetime.guard();
    const auto url = RelayRecords::objectUrl(m_baseUrl, metadata.key);
    if (!url)
        co_return Failure{QStringLiteral("\"%1\" does not name an object").arg(metadata.key), kUploadFailed};

    // The body streams from the file: memory stays flat whatever its size.
    const GatewayResult stored = co_await m_gateway.putFile(*url, dataPath, metadata.size, metadata.contentType);
    if (!alive)
        co_return std::nullopt;
    if (stored.localError)
        co_return Failure{QStringLiteral("Cannot read the data file: %1").arg(stored.error), stored.error};
    if (stored.status < 0 || !stored.error.isEmpty())
        co_return Failure{stored.error, kUploadFailed};
    if (!stored.ok())
        co_return Failure{QStringLiteral("HTTP %1 from the storage engine").arg(stored.status), kUploadFailed};

    // Confirm only what was stored whole.
    const GatewayResult check = co_await m_gateway.head(*url);
    if (!alive)
        co_return std::nullopt;
    if (check.status != 200 || check.contentLength < 0 || check.contentLength != metadata.size)
        co_return Failure{QStringLiteral("The stored object has %1 bytes, not %2")
                              .arg(check.contentLength >= 0 ? QString::number(check.contentLength)
                                                            : QStringLiteral("no known number of"))
                              .arg(metadata.size),
                          kUploadFailed};
    co_return std::nullopt;
}

std::optional<ICloudRelayWatcher::Failure> ICloudRelayWatcher::writeConfirmation(const QString &uploadId, bool success,
                                                                                 const QString &s3Key,
                                                                                 const std::optional<QString> &error)
{
    const auto relay = relayDirectory();
    if (!relay)
        return std::nullopt;
    if (!isRealFolder(confirmedDir(*relay), true))
        return Failure{QStringLiteral("The confirmed folder is not a plain folder"), kUploadFailed};
    const RelayConfirmation record{uploadId, success, QDateTime::currentDateTimeUtc(), s3Key, error};
    const QString failed = writeAtomically(confirmedDir(*relay) + '/' + uploadId + QStringLiteral(".json"),
                                           RelayRecords::encode(record));
    if (!failed.isEmpty())
        return Failure{failed, failed};
    relayLog(QStringLiteral("Wrote confirmation for ") + uploadId);
    return std::nullopt;
}

QCoro::Task<> ICloudRelayWatcher::processDownloadRequest(QString requestPath)
{
    if (!isSafeEntry(requestPath))
        co_return;
    const QString requestId = QFileInfo(requestPath).fileName().remove(kRequestSuffix);
    if (requestId.isEmpty() || m_processedDownloadIds.contains(requestId))
        co_return;
    const QString requests = QFileInfo(requestPath).path();
    if (!isRealFolder(requests) || !isRealFolder(responsesDir(QFileInfo(QFileInfo(requests).path()).path())))
        co_return;
    if (!takeSlot())
        co_return;
    m_processedDownloadIds.insert(requestId);
    relayLog(QStringLiteral("Processing download request ") + requestId);
    const Lifetime::Guard alive = m_lifetime.guard();

    std::optional<Failure> failure;
    qint64 size = 0;
    std::optional<QString> contentType;
    do {
        QString error = m_drive.makeLocal(requestPath);
        if (!error.isEmpty()) {
            failure = Failure{error, error};
            break;
        }
        for (int waits = 0; !QFile::exists(requestPath) && waits < m_config.requestWaits; ++waits) {
            co_await sleepMs(m_config.requestWaitMs);
            if (!alive)
                co_return;
        }
        QByteArray bytes;
        error = readRecord(requestPath, bytes);
        if (!error.isEmpty()) {
            failure = Failure{error, error};
            break;
        }
        auto decoded = RelayRecords::decodeRequest(bytes);
        if (!decoded) {
            failure = Failure{decoded.error(), decoded.error()};
            break;
        }
        const DownloadRequest request = std::move(decoded).value();
        relayLog(QStringLiteral("Fetching key: ") + request.key);
        failure = co_await downloadToResponse(requestId, request.key, size, contentType);
        if (!alive)
            co_return;
        if (failure)
            break;
        failure = writeDownloadResponse(requestId, true, size, contentType, std::nullopt);
    } while (false);

    if (failure) {
        relayLog(QStringLiteral("Error processing download %1: %2").arg(requestId, failure->text));
        writeDownloadResponse(requestId, false, std::nullopt, std::nullopt, failure->description);
    } else {
        relayLog(QStringLiteral("Download request %1 completed (%2 bytes)").arg(requestId).arg(size));
    }
    if (isRealFolder(requests))
        QFile::remove(requestPath);
    releaseSlot();
}

QCoro::Task<std::optional<ICloudRelayWatcher::Failure>>
ICloudRelayWatcher::downloadToResponse(const QString &requestId, const QString &key, qint64 &size,
                                       std::optional<QString> &contentType)
{
    const Lifetime::Guard alive = m_lifetime.guard();
    const auto relay = relayDirectory();
    if (!relay)
        co_return Failure{QStringLiteral("The relay folder is gone"), kDataNotFound};
    const auto url = RelayRecords::objectUrl(m_baseUrl, key);
    if (!url)
        co_return Failure{QStringLiteral("\"%1\" does not name an object").arg(key), kDataNotFound};
    if (!isRealFolder(responsesDir(*relay), true))
        co_return Failure{QStringLiteral("The responses folder is not a plain folder"), kDataNotFound};

    // The body goes straight to a temporary file beside <id>.data and is
    // renamed into place once complete, before the response announces it.
    QSaveFile data(responsesDir(*relay) + '/' + requestId + QStringLiteral(".data"));
    if (!data.open(QIODevice::WriteOnly))
        co_return Failure{QStringLiteral("Cannot write the data file: %1").arg(data.errorString()), data.errorString()};

    const GatewayResult fetched = co_await m_gateway.getToFile(*url, &data);
    if (!alive)
        co_return std::nullopt;
    if (fetched.localError)
        co_return Failure{QStringLiteral("Cannot write the data file: %1").arg(fetched.error), fetched.error};
    if (fetched.status < 0)
        co_return Failure{fetched.error, kDataNotFound};
    if (fetched.status < 200 || fetched.status > 299)
        co_return Failure{QStringLiteral("HTTP %1 from the storage engine").arg(fetched.status), kDataNotFound};
    if (!fetched.error.isEmpty())
        co_return Failure{fetched.error, kDataNotFound};
    size = data.size();
    if (!data.commit())
        co_return Failure{QStringLiteral("Cannot write the data file: %1").arg(data.errorString()), data.errorString()};
    if (!fetched.contentType.isEmpty())
        contentType = fetched.contentType;
    co_return std::nullopt;
}

std::optional<ICloudRelayWatcher::Failure>
ICloudRelayWatcher::writeDownloadResponse(const QString &requestId, bool success, std::optional<qint64> size,
                                          const std::optional<QString> &contentType, const std::optional<QString> &error)
{
    const auto relay = relayDirectory();
    if (!relay)
        return std::nullopt;
    if (!isRealFolder(responsesDir(*relay), true))
        return Failure{QStringLiteral("The responses folder is not a plain folder"), kDataNotFound};
    const DownloadResponse record{requestId, success, QDateTime::currentDateTimeUtc(), size, contentType, error};
    const QString failed = writeAtomically(responsesDir(*relay) + '/' + requestId + QStringLiteral(".response.json"),
                                           RelayRecords::encode(record));
    if (!failed.isEmpty())
        return Failure{failed, failed};
    relayLog(QStringLiteral("Wrote download response for ") + requestId);
    return std::nullopt;
}

} // namespace tavrolin
