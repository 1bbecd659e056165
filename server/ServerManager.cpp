#include "server/ServerManager.h"

#include <QCoro/QCoroSignal>
#include <QCoro/QCoroTimer>
#include <QDir>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QProcess>
#include <QSettings>
#include <QStorageInfo>

#include <chrono>

#include "platform/AppPaths.h"
#include "platform/DiagnosticLog.h"
#include "platform/NetworkInterfaces.h"
#include "server/EngineCleanup.h"
#include "server/EngineSizing.h"

namespace tavrolin {

namespace {
constexpr int kEngineAttempts = 3;
}

ServerManager::ServerManager(ServerManagerConfig config, QObject *parent)
    : QObject(parent)
    , m_config(std::move(config))
    , m_network(new QNetworkAccessManager(this))
{
    // Everything goes to the engine on loopback; a proxy from the
    // environment must never see it.
    m_network->setProxy(QNetworkProxy::NoProxy);
    m_settings = m_config.settingsFile.isEmpty()
        ? AppPaths::userSettings()
        : std::make_unique<QSettings>(m_config.settingsFile, QSettings::IniFormat);
    loadStorageInfo();
    m_localIP = NetworkInterfaces::localIPv4();
}

ServerManager::~ServerManager() = default;

QString ServerManager::enginePath() const
{
    return m_config.enginePath.isEmpty() ? AppPaths::bundledEnginePath() : m_config.enginePath;
}

QString ServerManager::pidFilePath() const
{
    const QString dir = m_config.dataDir.isEmpty() ? AppPaths::appDataDir() : m_config.dataDir;
    return dir + QStringLiteral("/weed.pid");
}

QString ServerManager::s3BaseUrl() const
{
    return QStringLiteral("http://localhost:%1").arg(m_config.s3Port);
}

void ServerManager::loadStorageInfo()
{
    const QVariant stored = m_settings->value(storagePathKey);
    if (!stored.isValid() || stored.toString().isEmpty())
        return;
    const QString path = stored.toString();
    QStorageInfo volume(path);
    if (!volume.isValid() || !volume.isReady()) {
        diagLog(QStringLiteral("Failed to get storage info: no readable volume holds %1").arg(path));
        return;
    }
    StorageInfo info;
    info.path = path;
    info.totalBytes = std::max<qint64>(0, volume.bytesTotal());
    const qint64 available = std::max<qint64>(0, volume.bytesAvailable());
    info.usedBytes = info.totalBytes - available;
    info.freeBytes = available;
    if (m_storageInfo != info) {
        m_storageInfo = info;
        Q_EMIT storageInfoChanged();
    }
}

void ServerManager::setStoragePath(const QString &path)
{
    const QString previous = m_storageInfo ? m_storageInfo->path : QString();
    m_settings->setValue(storagePathKey, path);
    m_settings->sync();
    loadStorageInfo();
    if (!m_isRunning && !m_isStarting) {
        // What stopped the last start (no folder chosen, a folder gone) was
        // about the old choice; the count was the old folder's library.
        setError(QString());
        if (previous != path)
            setObjectCount(0);
    }
}

void ServerManager::mirrorRemoteClients(int count) { setRemoteClients(count); }

void ServerManager::setLanClients(int count) { assign(m_lanClients, count, &ServerManager::lanClientsChanged); }

QCoro::Task<> ServerManager::sleepSeconds(double seconds)
{
    co_await QCoro::sleepFor(std::chrono::milliseconds(qint64(seconds * m_config.secondMs)));
}

QCoro::Task<> ServerManager::startService(ManagedService *service)
{
    if (service)
        co_await service->start(m_config.s3Port);
}

QCoro::Task<> ServerManager::stopService(ManagedService *service)
{
    if (service)
        co_await service->stop();
}

QCoro::Task<> ServerManager::startServer()
{
    if (m_isRunning || m_isStarting)
        co_return;
    if (!m_storageInfo) {
        setError(QStringLiteral("Please select a storage location first"));
        co_return;
    }
    m_abortStart = false;
    co_await runStartSequence();
    m_abortStart = false;
    Q_EMIT startFinished();
}

QCoro::Task<> ServerManager::runStartSequence()
{
    setStarting(true);
    setError(QString()); // the last attempt's error stays until this one says otherwise
    setStatus(QStringLiteral("Preparing..."));

    auto backToIdle = [this] {
        setStarting(false);
        setStatus(QString(""));
    };

    const QString executable = enginePath();
    const QFileInfo engineFile(executable);
    if (!engineFile.exists() || !engineFile.isExecutable()) {
        setError(ServerError{ServerError::Code::SeaweedNotFound, {}}.description());
        backToIdle();
        co_return;
    }

    const QString storagePath = m_storageInfo->path;
    // A folder on a drive that is not mounted must not be created afresh on
    // the disk underneath: the engine would start an empty store there.
    if (!QFileInfo(storagePath).isDir()) {
        setError(QStringLiteral("Storage folder not found: ") + storagePath);
        backToIdle();
        co_return;
    }

    // On a drive this full the engine cannot even keep its own files; say so
    // instead of failing three times with its stack trace.
    const QString lowSpace = EngineSizing::lowSpaceError(QStorageInfo(storagePath).bytesAvailable());
    if (!lowSpace.isEmpty()) {
        diagLog(lowSpace);
        loadStorageInfo();
        setError(lowSpace);
        setSeaweedStatus(SeaweedFSStatus::failed(QStringLiteral("Not enough free space")));
        backToIdle();
        co_return;
    }

    for (int attempt = 1; attempt <= kEngineAttempts; ++attempt) {
        setStatus(attempt == 1 ? QStringLiteral("Cleaning up...")
                               : QStringLiteral("Recovering (attempt %1/%2)...").arg(attempt).arg(kEngineAttempts));
        m_launchedStoragePath = storagePath;
        co_await killStaleProcesses();
        removeStaleLockFiles(storagePath);
        if (attempt >= 2)
            co_await sleepSeconds(attempt);
        if (m_abortStart)
            break;

        setStatus(attempt == 1 ? QStringLiteral("Starting SeaweedFS...") : QStringLiteral("Retrying SeaweedFS..."));
        const std::optional<ServerError> failure = co_await startSeaweedFS(executable, storagePath);
        if (!failure)
            break;

        diagLog(QStringLiteral("SeaweedFS start attempt %1 failed: %2").arg(attempt).arg(failure->description()));
        stopSeaweedFS();
        if (m_abortStart)
            break;
        if (attempt < kEngineAttempts) {
            setStatus(QStringLiteral("Start failed, retrying..."));
            co_await sleepSeconds(1);
            continue;
        }
        setError(failure->description());
        setSeaweedStatus(SeaweedFSStatus::failed(QStringLiteral("Failed after %1 attempts").arg(kEngineAttempts)));
        backToIdle();
        co_return;
    }
    if (m_abortStart) {
        stopSeaweedFS();
        backToIdle();
        co_return;
    }

    setStatus(QStringLiteral("Creating bucket..."));
    co_await createDefaultBucket();
    // Devices connect as soon as the server says it runs; the engine's
    // volumes must be ready to take their photos by then.
    if (m_config.verifyWritable && m_bucketReady && !m_abortStart)
        co_await waitUntilWritable(m_config.probeLimitSeconds);

    struct Step {
        const char *status;
        ManagedService *service;
    };
    const Step steps[] = {
        {"Starting network discovery...", m_services.lanAdvertiser},
        {"Registering in the cloud folder...", m_services.cloudRegistration},
        {"Starting WebRTC tunnel...", m_services.tunnelServer},
        {"Starting API server...", m_services.apiServer},
        {"Starting QUIC receiver...", m_services.quicReceiver},
        {"Starting the cloud folder relay...", m_services.relayWatcher},
    };
    for (const Step &step : steps) {
        if (m_abortStart)
            break;
        setStatus(QString::fromLatin1(step.status));
        co_await startService(step.service);
    }

    setRunning(true);
    setError(QString());
    if (m_abortStart) {
        // Quitting while starting: the stop sequence takes it from here.
        backToIdle();
        co_return;
    }
    co_await startService(m_services.connectionMonitor);

    setStatus(QStringLiteral("Counting objects..."));
    co_await refreshObjectCount(true);
    startObjectCountTimer();
    backToIdle();
}

QCoro::Task<> ServerManager::stopServer()
{
    if (!m_isRunning)
        co_return;

    cancelEngineRestart();
    co_await stopService(m_services.connectionMonitor);
    if (m_objectCountTimer) {
        m_objectCountTimer->stop();
        m_objectCountTimer->deleteLater();
        m_objectCountTimer = nullptr;
    }

    co_await stopService(m_services.relayWatcher);
    co_await stopService(m_services.quicReceiver);
    co_await stopService(m_services.apiServer);
    co_await stopService(m_services.tunnelServer);
    co_await stopService(m_services.cloudRegistration);

    // The engine may have died while the services stopped, and a restart
    // been scheduled or begun since the cancel above: cancel again.
    cancelEngineRestart();
    stopSeaweedFS();
    co_await restartsFinished();
    co_await stopService(m_services.lanAdvertiser);

    setRunning(false);
    setLanClients(0);
    setRemoteClients(0);
    setBucketReady(false);
}

QCoro::Task<> ServerManager::shutdown(int engineExitTimeoutMs)
{
    if (m_isStarting) {
        m_abortStart = true;
        while (m_isStarting)
            co_await qCoro(this, &ServerManager::startFinished);
    }
    co_await stopServer();
    cancelEngineRestart();
    stopSeaweedFS();
    co_await restartsFinished();
    co_await waitForEngineExit(engineExitTimeoutMs);
}

} // namespace tavrolin
