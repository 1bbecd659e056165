#pragma once

#include <QNetworkAccessManager>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QTimer>
#include <map>
#include <memory>
#include <optional>

#include "cloud/RelayRecords.h"
#include "platform/Lifetime.h"
#include "platform/ManagedService.h"
#include "s3/S3Gateway.h"

class QSettings;

namespace tavrolin {

class CloudDrive;

// Timing of the relay; tests shorten it.
struct RelayWatcherConfig {
    int scanIntervalMs = 5000;
    int dataWaitMs = 1000;   // between looks for an upload's data file
    int dataWaits = 30;
    int requestWaitMs = 500; // between looks for a download request file
    int requestWaits = 10;
    int transferTimeoutMs = 60000; // no bytes moving for this long fails a transfer
    int maxActiveTasks = 8;        // uploads and downloads worked on at once; the rest wait for a slot
    QString settingsFile;          // empty: the user's settings (for the device id)
};

// Uploads and downloads through a folder the user's devices share by a
// sync service, for devices with no network path to the server. Another
// device drops relay/<server id>/pending/<id>.meta.json + <id>.data, or
// relay/<server id>/downloads/requests/<id>.request.json; the server stores
// or fetches the object on its S3 gateway and answers with JSON files
// beside them.
class ICloudRelayWatcher : public QObject, public ManagedService {
    Q_OBJECT
    Q_PROPERTY(bool isWatching READ isWatching NOTIFY isWatchingChanged)
    Q_PROPERTY(qint64 processedCount READ processedCount NOTIFY processedCountChanged)
public:
    static constexpr const char *kContainerIdentifier = "iCloud.com.tavro.shared";

    explicit ICloudRelayWatcher(CloudDrive &drive, RelayWatcherConfig config = {}, QObject *parent = nullptr);
    ~ICloudRelayWatcher() override;

    bool isWatching() const { return m_isWatching; }
    qint64 processedCount() const { return m_processedCount; }
    // Uploads and downloads still in progress (they run on after a stop).
    int activeTasks() const { return m_activeTasks; }

    void startWatching(int s3Port = 8333);
    void stopWatching();
    QCoro::Task<> start(int s3Port) override;
    QCoro::Task<> stop() override;

    // relay/<server device id> in the drive's root; nothing without a root.
    std::optional<QString> relayDirectory() const;

Q_SIGNALS:
    void isWatchingChanged();
    void processedCountChanged();

private:
    struct Failure {
        QString text;        // for the log
        QString description; // for the other device
    };

    void createRelayDirectories();
    void startFolderWatch(const QString &subfolder, const char *logLine);
    void scanPendingUploads();
    void scanDownloadRequests();
    void onFolderChanged(const QString &folder);
    bool isSafeEntry(const QString &path) const;
    // Every folder from the relay folder down to this one is a real folder,
    // not a link (missing ones are made when create is set).
    bool isRealFolder(const QString &folder, bool create = false);
    // Whether a new task may start now; when not, the files are looked at
    // again as soon as one ends (each open file and transfer costs a file
    // descriptor, and thousands of pending uploads would exhaust them).
    bool takeSlot();
    void releaseSlot();

    QCoro::Task<> processUpload(QString metadataPath);
    QCoro::Task<> processDownloadRequest(QString requestPath);
    QCoro::Task<std::optional<Failure>> uploadToStorage(const QString &dataPath, const RelayMetadata &metadata);
    QCoro::Task<std::optional<Failure>> downloadToResponse(const QString &requestId, const QString &key,
                                                           qint64 &size, std::optional<QString> &contentType);
    std::optional<Failure> writeConfirmation(const QString &uploadId, bool success, const QString &s3Key,
                                             const std::optional<QString> &error);
    std::optional<Failure> writeDownloadResponse(const QString &requestId, bool success, std::optional<qint64> size,
                                                 const std::optional<QString> &contentType,
                                                 const std::optional<QString> &error);
    QCoro::Task<> sleepMs(int ms);
    void setProcessedCount(qint64 count);

    CloudDrive &m_drive;
    RelayWatcherConfig m_config;
    std::unique_ptr<QSettings> m_settings;
    QNetworkAccessManager m_network;
    S3Gateway m_gateway{m_network, m_config.transferTimeoutMs};
    QTimer m_pollingTimer;
    QString m_baseUrl;
    QStringList m_watchedFolders;
    bool m_isWatching = false;
    qint64 m_processedCount = 0;
    int m_activeTasks = 0;
    bool m_rescanWanted = false; // a file waited for a free slot
    Lifetime m_lifetime; // ended first in the destructor: running tasks stop
    QSet<QString> m_processedUploadIds;
    QSet<QString> m_refusedFolders; // named in the log once each
    // Uploads whose data file is short of its size: the size last seen and
    // how many whole waits in a row it has not grown.
    static constexpr int kStalledAttempts = 3;
    std::map<QString, std::pair<qint64, int>> m_shortUploads;
    QSet<QString> m_processedDownloadIds;
};

} // namespace tavrolin
