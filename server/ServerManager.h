#pragma once

#include <QCoro/QCoroTask>
#include <QObject>
#include <QElapsedTimer>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <memory>
#include <optional>

#include "server/ServerServices.h"
#include "server/ServerTypes.h"

class QNetworkAccessManager;
class QProcess;
class QSettings;

namespace tavrolin {

class EngineCleanup;

// Fixed values of the server. Production uses the defaults; tests construct
// a manager with other ports, folders and shorter pauses.
struct ServerManagerConfig {
    int s3Port = 8333;
    int masterPort = 9333;
    int volumePort = 8080;
    int filerPort = 8888;
    QString enginePath;   // empty: the engine in the application's resource folder
    QString dataDir;      // empty: the application's data folder (holds the pid file)
    QString settingsFile; // empty: the user's defaults
    int probeLimitSeconds = 30;
    int secondMs = 1000;          // length of one second of the start sequence's pauses and probes
    int countIntervalMs = 30000;
    // The engine's metrics (on loopback) tell whether anything in its file
    // metadata changed; the count then lists the bucket only after a change,
    // looking every changePollMs. 0: no metrics, count every countIntervalMs.
    int metricsPort = 9327;
    int changePollMs = 5000;
    int engineStopGraceMs = 2000; // polite termination, then the kill signal
    // An engine that exits while running is started again after
    // restartBaseMs, doubling per exit up to restartMaxMs; after maxEngineExits
    // exits within exitWindowMs it stays down.
    int restartBaseMs = 1000;
    int restartMaxMs = 60000;
    int maxEngineExits = 5;
    int exitWindowMs = 10 * 60 * 1000;
    // The gateway is taken for ours only when our child holds the engine's
    // listening ports. Tests whose gateway is a stand-in in the test process
    // switch this off.
    bool verifyEnginePorts = true;
    // "Running" waits until the gateway stores a part of a test upload; tests
    // with a stand-in gateway switch this off.
    bool verifyWritable = true;
};

// The supervisor: owns the storage engine child process and the observable
// state the UI shows, and runs the start and stop sequences.
class ServerManager : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool isRunning READ isRunning NOTIFY isRunningChanged)
    Q_PROPERTY(QString localIP READ localIP NOTIFY localIPChanged)
    Q_PROPERTY(int port READ port CONSTANT)
    Q_PROPERTY(int lanClients READ lanClients NOTIFY lanClientsChanged)
    Q_PROPERTY(int remoteClients READ remoteClients NOTIFY remoteClientsChanged)
    Q_PROPERTY(bool hasStorageInfo READ hasStorageInfo NOTIFY storageInfoChanged)
    Q_PROPERTY(tavrolin::StorageInfo storageInfo READ storageInfoValue NOTIFY storageInfoChanged)
    Q_PROPERTY(qint64 objectCount READ objectCount NOTIFY objectCountChanged)
    Q_PROPERTY(QString error READ error NOTIFY errorChanged)
    Q_PROPERTY(bool bucketReady READ bucketReady NOTIFY bucketReadyChanged)
    Q_PROPERTY(bool isStarting READ isStarting NOTIFY isStartingChanged)
    Q_PROPERTY(QString startupStatus READ startupStatus NOTIFY startupStatusChanged)
    Q_PROPERTY(tavrolin::SeaweedFSStatus seaweedStatus READ seaweedStatus NOTIFY seaweedStatusChanged)

public:
    static constexpr const char *storagePathKey = "storagePath";

    explicit ServerManager(ServerManagerConfig config = {}, QObject *parent = nullptr);
    ~ServerManager() override;


    bool isRunning() const { return m_isRunning; }
    QString localIP() const { return m_localIP; } // empty when absent
    int port() const { return m_config.s3Port; }
    int lanClients() const { return m_lanClients; }
    int remoteClients() const { return m_remoteClients; }
    const std::optional<StorageInfo> &storageInfo() const { return m_storageInfo; }
    bool hasStorageInfo() const { return m_storageInfo.has_value(); }
    StorageInfo storageInfoValue() const { return m_storageInfo.value_or(StorageInfo{}); }
    qint64 objectCount() const { return m_objectCount; }
    QString error() const { return m_error; } // empty when absent
    bool bucketReady() const { return m_bucketReady; }
    bool isStarting() const { return m_isStarting; }
    QString startupStatus() const { return m_startupStatus; }
    SeaweedFSStatus seaweedStatus() const { return m_seaweedStatus; }

    const ServerManagerConfig &config() const { return m_config; }
    void setServices(const ServerServices &services) { m_services = services; }

    // Never fail to the caller; the outcome is in the properties.
    QCoro::Task<> startServer();
    QCoro::Task<> stopServer();
    // For quitting: ends a start in progress, stops, and waits (bounded) until
    // the engine process has exited.
    QCoro::Task<> shutdown(int engineExitTimeoutMs = 15000);

    void loadStorageInfo();
    // Stores the folder as the user's choice and re-reads its volume.
    void setStoragePath(const QString &path);

    // Engine (storage engine process).
    QCoro::Task<std::optional<ServerError>> startSeaweedFS(QString executablePath, QString storagePath);
    QCoro::Task<bool> waitForS3API(int limitSeconds);
    // Waits, up to limitSeconds, until the gateway stores a test upload (never
    // visible in the bucket) and serves a stored object. False when it never did.
    // Gives up early when a start is aborted, or when the engine generation
    // `generation` (a restart's) is no longer the current one.
    QCoro::Task<bool> waitUntilWritable(int limitSeconds, std::optional<quint64> generation = std::nullopt);
    void stopSeaweedFS();
    QCoro::Task<> killStaleProcesses();
    void removeStaleLockFiles(const QString &storagePath);
    QStringList engineArguments(const QString &storagePath) const;
    qint64 enginePid() const;
    // Waits until every engine process this manager started has exited.
    QCoro::Task<bool> waitForEngineExit(int timeoutMs);

    // Bucket and object count.
    QCoro::Task<> createDefaultBucket();
    QCoro::Task<> updateObjectCount();
    // Counts when the engine's metadata changed since the last complete count
    // (or, without that signal, when the count interval has passed); force
    // counts in any case.
    QCoro::Task<> refreshObjectCount(bool force = false);
    void startObjectCountTimer();

    QString enginePath() const;
    QString pidFilePath() const;

public Q_SLOTS:
    // Written by the services that observe clients.
    void mirrorRemoteClients(int count);
    void setLanClients(int count);

Q_SIGNALS:
    void isRunningChanged();
    void localIPChanged();
    void lanClientsChanged();
    void remoteClientsChanged();
    void storageInfoChanged();
    void objectCountChanged();
    void errorChanged();
    void bucketReadyChanged();
    void isStartingChanged();
    void startupStatusChanged();
    void seaweedStatusChanged();
    void startFinished();
    void restartFinished();

private:
    template <typename T>
    void assign(T &field, const T &value, void (ServerManager::*changed)())
    {
        if (field == value)
            return;
        field = value;
        Q_EMIT(this->*changed)();
    }
    void setRunning(bool v) { assign(m_isRunning, v, &ServerManager::isRunningChanged); }
    void setStarting(bool v) { assign(m_isStarting, v, &ServerManager::isStartingChanged); }
    void setStatus(const QString &v) { assign(m_startupStatus, v, &ServerManager::startupStatusChanged); }
    void setError(const QString &v) { assign(m_error, v, &ServerManager::errorChanged); }
    void setBucketReady(bool v) { assign(m_bucketReady, v, &ServerManager::bucketReadyChanged); }
    void setSeaweedStatus(const SeaweedFSStatus &v) { assign(m_seaweedStatus, v, &ServerManager::seaweedStatusChanged); }
    void setObjectCount(qint64 v) { assign(m_objectCount, v, &ServerManager::objectCountChanged); }
    void setRemoteClients(int v) { assign(m_remoteClients, v, &ServerManager::remoteClientsChanged); }

    QCoro::Task<> runStartSequence();
    QCoro::Task<> sleepSeconds(double seconds);
    QCoro::Task<> startService(ManagedService *service);
    QCoro::Task<> stopService(ManagedService *service);
    enum class PortOwnership { Ours, NotYet, Foreign };
    PortOwnership enginePortOwnership(qint64 childPid) const;
    void scheduleEngineRestart();
    QCoro::Task<> restartEngine();
    void cancelEngineRestart();
    QString metricsArgument() const;
    QCoro::Task<std::optional<QString>> metadataChangeSignature();
    QCoro::Task<bool> storesTestUpload();
    QCoro::Task<bool> servesStoredObject();
    void handleEngineOutput();
    void flushEngineOutput(bool final);
    void engineFinished(QProcess *process);
    QString s3BaseUrl() const;
    std::unique_ptr<EngineCleanup> makeCleanup(const QString &storagePath) const;

    ServerManagerConfig m_config;
    std::unique_ptr<QSettings> m_settings;
    QNetworkAccessManager *m_network;
    ServerServices m_services;

    bool m_isRunning = false;
    QString m_localIP;
    int m_lanClients = 0;
    int m_remoteClients = 0;
    std::optional<StorageInfo> m_storageInfo;
    qint64 m_objectCount = 0;
    QString m_error;
    bool m_bucketReady = false;
    bool m_isStarting = false;
    QString m_startupStatus;
    SeaweedFSStatus m_seaweedStatus;

    QPointer<QProcess> m_seaweedProcess;
    QList<QPointer<QProcess>> m_exitingEngines;
    QString m_outputBuffer;
    QByteArray m_pendingOutput; // bytes of an unfinished line
    QTimer *m_objectCountTimer = nullptr;
    bool m_countInProgress = false;
    bool m_lastCountComplete = false;
    std::optional<QString> m_countedSignature; // the engine's changes when the last complete count began
    qint64 m_lastCountAt = -1;                  // ms of m_clock
    bool m_abortStart = false;
    QString m_launchedStoragePath;
    QString m_launchedExecutable;
    // Supervision while running: the pending restart, the times (ms of
    // m_clock) of recent unexpected exits, and a generation that every stop
    // advances, so that a restart begun before it gives up.
    QTimer *m_restartTimer = nullptr;
    QElapsedTimer m_clock;
    QList<qint64> m_engineExits;
    quint64 m_engineGeneration = 0;
    // Restarts under way. Nothing may outlive a stop: a restart still
    // probing the engine would resume into whatever was freed after it.
    int m_restartsRunning = 0;
    QCoro::Task<> restartsFinished();
};

} // namespace tavrolin
