#pragma once

#include <QImage>
#include <QObject>
#include <QSettings>
#include <memory>

#include "platform/Lifetime.h"

namespace tavrolin {

class CloudKitService;
class ServerManager;

// What the tray popup shows, as ready texts and flags, all derived from the
// server manager's observable state; the popup itself only lays them out.
class MenuBarModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool isRunning READ isRunning NOTIFY changed)
    Q_PROPERTY(bool isStarting READ isStarting NOTIFY changed)
    Q_PROPERTY(QString errorText READ errorText NOTIFY changed)
    Q_PROPERTY(QString engineState READ engineState NOTIFY changed)
    Q_PROPERTY(QString engineLabel READ engineLabel NOTIFY changed)
    Q_PROPERTY(bool bucketReady READ bucketReady NOTIFY changed)
    Q_PROPERTY(QString bucketLabel READ bucketLabel NOTIFY changed)
    Q_PROPERTY(QString addressText READ addressText NOTIFY changed)
    Q_PROPERTY(QString clientsText READ clientsText NOTIFY changed)
    Q_PROPERTY(QString cloudText READ cloudText NOTIFY changed)
    Q_PROPERTY(QString cloudState READ cloudState NOTIFY changed) // error, registered, connecting, idle
    Q_PROPERTY(bool cloudRegistered READ cloudRegistered NOTIFY changed)
    Q_PROPERTY(bool hasStorage READ hasStorage NOTIFY changed)
    Q_PROPERTY(QString storagePath READ storagePath NOTIFY changed)
    Q_PROPERTY(QString objectsText READ objectsText NOTIFY changed)
    Q_PROPERTY(QString freeText READ freeText NOTIFY changed)
    Q_PROPERTY(bool freeSpaceLow READ freeSpaceLow NOTIFY changed)
    Q_PROPERTY(double usedFraction READ usedFraction NOTIFY changed)
    Q_PROPERTY(QString startupStatus READ startupStatus NOTIFY changed)
    Q_PROPERTY(bool launchAtLogin READ launchAtLogin WRITE setLaunchAtLogin NOTIFY launchAtLoginChanged)
    Q_PROPERTY(QString trayState READ trayState NOTIFY changed) // stopped, starting, running, error
    Q_PROPERTY(QString toolTip READ toolTip NOTIFY changed)
    Q_PROPERTY(QString welcomeText READ welcomeText NOTIFY changed)
    Q_PROPERTY(QString noticeText READ noticeText NOTIFY changed)
    Q_PROPERTY(QString deviceAddress READ deviceAddress NOTIFY changed)
    Q_PROPERTY(QString cloudFolder READ cloudFolder NOTIFY changed)
public:
    // settingsFile empty: the user's settings. The executable is what an
    // autostart entry runs.
    MenuBarModel(ServerManager &manager, QString executable, QString settingsFile = {}, QObject *parent = nullptr);

    bool isRunning() const;
    bool isStarting() const;
    QString errorText() const;
    QString engineState() const; // stopped, starting, running, failed
    QString engineLabel() const;
    bool bucketReady() const;
    QString bucketLabel() const;
    QString addressText() const;
    QString clientsText() const;
    QString cloudText() const;
    QString cloudState() const;
    bool cloudRegistered() const;
    // The cloud signaling service whose state the popup shows, if any.
    void setCloudService(CloudKitService *cloud);
    bool hasStorage() const;
    QString storagePath() const;
    QString objectsText() const;
    QString freeText() const;
    bool freeSpaceLow() const;
    double usedFraction() const;
    QString startupStatus() const;
    bool launchAtLogin() const;
    void setLaunchAtLogin(bool enabled);
    QString trayState() const;
    QString toolTip() const;
    // Until a storage folder is chosen: what the application is and what to
    // do first.
    QString welcomeText() const;
    // Said once the storage folder changed: the new one is its own library.
    QString noticeText() const { return m_notice; }
    // What devices are set up with: the gateway's address on the LAN.
    QString deviceAddress() const;

    // The tray icon for a state: the application's mark with a coloured
    // badge, so stopped and running differ at a glance.
    static QImage trayImage(const QString &state, int size);

    // Decimal units, as file managers show sizes: "12.35 GB".
    static QString formatBytes(qint64 bytes);
    // Under 10 GB (decimal) free is shown as a warning.
    static bool isLowFreeSpace(qint64 freeBytes) { return freeBytes <= 9999999999LL; }

    Q_INVOKABLE void start();
    Q_INVOKABLE void stop();
    // The folder the user chose (a local path or file: URL).
    Q_INVOKABLE void chooseStorageFolder(const QString &pathOrUrl);
    Q_INVOKABLE void copyAddress() const;
    // The synced folder remote devices share with the server; a running
    // server starts again to use it.
    Q_INVOKABLE void chooseCloudFolder(const QString &pathOrUrl);
    QString cloudFolder() const;

Q_SIGNALS:
    void changed();
    void launchAtLoginChanged();

private:
    ServerManager &m_manager;
    CloudKitService *m_cloud = nullptr;
    QString m_executable;
    std::unique_ptr<QSettings> m_settings;
    QString m_notice;
    bool m_restartCancelled = false; // Stop pressed while a restart was stopping
    Lifetime m_lifetime;
};

} // namespace tavrolin
