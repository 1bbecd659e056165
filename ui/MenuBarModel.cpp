#include "ui/MenuBarModel.h"

#include <QClipboard>
#include <QDir>
#include <QGuiApplication>
#include <QIcon>
#include <QPainter>
#include <QUrl>

#include <QFileInfo>

#include "platform/AppPaths.h"
#include "platform/SyncFolderDrive.h"
#include "cloud/CloudKitService.h"
#include "server/ServerManager.h"
#include "ui/LoginItem.h"

namespace tavrolin {

MenuBarModel::MenuBarModel(ServerManager &manager, QString executable, QString settingsFile, QObject *parent)
    : QObject(parent), m_manager(manager), m_executable(std::move(executable))
{
    m_settings = settingsFile.isEmpty() ? AppPaths::userSettings() : std::make_unique<QSettings>(settingsFile, QSettings::IniFormat);
    for (auto signal : {&ServerManager::isRunningChanged, &ServerManager::localIPChanged, &ServerManager::lanClientsChanged,
                        &ServerManager::remoteClientsChanged, &ServerManager::storageInfoChanged, &ServerManager::objectCountChanged,
                        &ServerManager::errorChanged, &ServerManager::bucketReadyChanged, &ServerManager::isStartingChanged,
                        &ServerManager::startupStatusChanged, &ServerManager::seaweedStatusChanged})
        connect(&m_manager, signal, this, &MenuBarModel::changed);
}

bool MenuBarModel::isRunning() const { return m_manager.isRunning(); }
bool MenuBarModel::isStarting() const { return m_manager.isStarting(); }
QString MenuBarModel::errorText() const { return m_manager.error(); }

QString MenuBarModel::engineState() const
{
    switch (m_manager.seaweedStatus().kind) {
    case SeaweedFSStatus::Kind::Stopped:
        return QStringLiteral("stopped");
    case SeaweedFSStatus::Kind::Starting:
        return QStringLiteral("starting");
    case SeaweedFSStatus::Kind::Running:
        return QStringLiteral("running");
    case SeaweedFSStatus::Kind::Failed:
        return QStringLiteral("failed");
    }
    return QStringLiteral("stopped");
}

QString MenuBarModel::engineLabel() const
{
    return engineState() == QLatin1String("starting") ? QStringLiteral("SeaweedFS...") : QStringLiteral("SeaweedFS");
}

bool MenuBarModel::bucketReady() const { return m_manager.bucketReady(); }
QString MenuBarModel::bucketLabel() const { return bucketReady() ? QStringLiteral("Bucket") : QStringLiteral("Bucket..."); }

QString MenuBarModel::addressText() const
{
    const QString ip = m_manager.localIP().isEmpty() ? QStringLiteral("Unknown") : m_manager.localIP();
    return QStringLiteral("%1:%2").arg(ip).arg(m_manager.port());
}

QString MenuBarModel::clientsText() const
{
    return QStringLiteral("%1 LAN \u2022 %2 Remote").arg(m_manager.lanClients()).arg(m_manager.remoteClients());
}

void MenuBarModel::setCloudService(CloudKitService *cloud)
{
    m_cloud = cloud;
    if (cloud) {
        connect(cloud, &CloudKitService::isRegisteredChanged, this, &MenuBarModel::changed);
        connect(cloud, &CloudKitService::errorChanged, this, &MenuBarModel::changed);
    }
    Q_EMIT changed();
}

bool MenuBarModel::cloudRegistered() const { return m_cloud && m_cloud->isRegistered(); }

QString MenuBarModel::cloudState() const
{
    if (m_cloud && m_cloud->error())
        return QStringLiteral("error");
    if (cloudRegistered())
        return QStringLiteral("registered");
    // Without a signaling service nothing is connecting: the row only
    // names the feature.
    if (m_cloud && isRunning())
        return QStringLiteral("connecting");
    return QStringLiteral("idle");
}

QString MenuBarModel::cloudText() const
{
    const QString state = cloudState();
    if (state == QLatin1String("error"))
        return m_cloud->errorText();
    if (state == QLatin1String("registered"))
        return QStringLiteral("Reachable from anywhere through the cloud folder");
    if (state == QLatin1String("connecting"))
        return QStringLiteral("Connecting through the cloud folder...");
    return QStringLiteral("Remote access through the cloud folder");
}

bool MenuBarModel::hasStorage() const { return m_manager.hasStorageInfo(); }
QString MenuBarModel::storagePath() const { return hasStorage() ? m_manager.storageInfo()->path : QString(); }
QString MenuBarModel::objectsText() const { return QStringLiteral("%1 objects").arg(m_manager.objectCount()); }

QString MenuBarModel::freeText() const
{
    return hasStorage() ? formatBytes(m_manager.storageInfo()->freeBytes) + QStringLiteral(" available") : QString();
}

bool MenuBarModel::freeSpaceLow() const { return hasStorage() && isLowFreeSpace(m_manager.storageInfo()->freeBytes); }

double MenuBarModel::usedFraction() const
{
    if (!hasStorage() || m_manager.storageInfo()->totalBytes <= 0)
        return 0;
    return double(m_manager.storageInfo()->usedBytes) / double(m_manager.storageInfo()->totalBytes);
}

QString MenuBarModel::startupStatus() const { return m_manager.startupStatus(); }

bool MenuBarModel::launchAtLogin() const { return m_settings->value(QStringLiteral("launchAtLogin"), false).toBool(); }

void MenuBarModel::setLaunchAtLogin(bool enabled)
{
    if (enabled == launchAtLogin())
        return;
    // The choice is kept even when the desktop refuses it (that is logged).
    m_settings->setValue(QStringLiteral("launchAtLogin"), enabled);
    m_settings->sync();
    LoginItem::set(enabled, m_executable);
    Q_EMIT launchAtLoginChanged();
}

QString MenuBarModel::formatBytes(qint64 bytes)
{
    if (bytes < 1000)
        return bytes == 1 ? QStringLiteral("1 byte") : QStringLiteral("%1 bytes").arg(bytes);
    const char *units[] = {"KB", "MB", "GB", "TB", "PB"};
    double value = double(bytes) / 1000.0;
    int unit = 0;
    while (value >= 999.995 && unit < 4) {
        value /= 1000.0;
        ++unit;
    }
    const int decimals = unit == 0 ? 0 : unit == 1 ? 1 : 2;
    return QStringLiteral("%1 %2").arg(QString::number(value, 'f', decimals), QLatin1String(units[unit]));
}

void MenuBarModel::start() { m_manager.startServer(); }
void MenuBarModel::stop()
{
    m_restartCancelled = true;
    m_manager.stopServer();
}

void MenuBarModel::chooseStorageFolder(const QString &pathOrUrl)
{
    const QUrl url(pathOrUrl);
    const QString path = url.isLocalFile() ? url.toLocalFile() : pathOrUrl;
    if (path.isEmpty() || !QDir(path).exists())
        return;
    const QString chosen = QDir::cleanPath(QDir(path).absolutePath());
    const QString previous = storagePath();
    // Saved and shown; a running engine keeps its folder until the next start.
    m_manager.setStoragePath(chosen);
    if (!previous.isEmpty() && previous != chosen) {
        // Nothing is moved: a user who expects the photos to follow must
        // hear that they do not.
        m_notice = QStringLiteral("%1 holds a library of its own; the photos in %2 stay there.").arg(chosen, previous);
        if (isRunning() || isStarting())
            m_notice += QStringLiteral(" The server uses the new folder from its next start.");
    } else {
        m_notice.clear();
    }
    Q_EMIT changed();
}

QString MenuBarModel::cloudFolder() const
{
    return m_settings->value(QString::fromLatin1(SyncFolderDrive::kSettingKey)).toString();
}

void MenuBarModel::chooseCloudFolder(const QString &pathOrUrl)
{
    const QUrl url(pathOrUrl);
    const QString path = url.isLocalFile() ? url.toLocalFile() : pathOrUrl;
    if (path.isEmpty() || !QFileInfo(path).isDir())
        return;
    const QString chosen = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    if (chosen == cloudFolder())
        return;
    m_settings->setValue(QString::fromLatin1(SyncFolderDrive::kSettingKey), chosen);
    m_settings->sync();
    if (isRunning() && !isStarting()) {
        // Presence, relay and signalling all begin at the start.
        m_restartCancelled = false;
        m_notice = QStringLiteral("Starting again to reach this server through %1...").arg(chosen);
        [](MenuBarModel *self, Lifetime::Guard alive, ServerManager &manager) -> QCoro::Task<> {
            co_await manager.stopServer();
            // Stopped or quit meanwhile by the user: not started behind
            // their back.
            if (!alive || self->m_restartCancelled)
                co_return;
            co_await manager.startServer();
            if (!alive)
                co_return;
            self->m_notice.clear();
            Q_EMIT self->changed();
        }(this, m_lifetime.guard(), m_manager);
    } else {
        m_notice = QStringLiteral("Remote devices reach this server through %1 from its next start.").arg(chosen);
    }
    Q_EMIT changed();
}

void MenuBarModel::copyAddress() const
{
    if (QClipboard *clipboard = QGuiApplication::clipboard())
        clipboard->setText(deviceAddress());
}

QString MenuBarModel::deviceAddress() const
{
    const QString ip = m_manager.localIP().isEmpty() ? QStringLiteral("localhost") : m_manager.localIP();
    return QStringLiteral("http://%1:%2").arg(ip).arg(m_manager.port());
}

QString MenuBarModel::trayState() const
{
    if (!errorText().isEmpty() || engineState() == QLatin1String("failed"))
        return QStringLiteral("error");
    if (isStarting())
        return QStringLiteral("starting");
    if (isRunning())
        return QStringLiteral("running");
    return QStringLiteral("stopped");
}

QString MenuBarModel::toolTip() const
{
    const QString state = trayState();
    QString line;
    if (state == QLatin1String("running"))
        line = QStringLiteral("Running at %1\n%2").arg(deviceAddress(), objectsText());
    else if (state == QLatin1String("starting"))
        line = startupStatus().isEmpty() ? QStringLiteral("Starting...") : startupStatus();
    else if (state == QLatin1String("error"))
        line = errorText().isEmpty() ? engineLabel() : errorText();
    else
        line = hasStorage() ? QStringLiteral("Stopped") : QStringLiteral("Stopped: choose a storage folder");
    return QStringLiteral("Tavrolin\n") + line;
}

QString MenuBarModel::welcomeText() const
{
    if (hasStorage())
        return {};
    return QStringLiteral("Welcome to Tavrolin. Choose a folder on a drive with room for your photos: your devices back up "
                          "into it, and the photos stay there.");
}

QImage MenuBarModel::trayImage(const QString &state, int size)
{
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    QIcon(QStringLiteral(":/icons/tavrolin.svg")).paint(&painter, QRect(0, 0, size, size));
    const QColor badge = state == QLatin1String("running")    ? QColor(0x2f, 0x9e, 0x44)
                         : state == QLatin1String("starting") ? QColor(0xf0, 0x8c, 0x00)
                         : state == QLatin1String("error")    ? QColor(0xe0, 0x31, 0x31)
                                                              : QColor(0x86, 0x8e, 0x96);
    const int d = size * 9 / 20;
    const QRect dot(size - d, size - d, d, d);
    painter.setPen(QPen(Qt::white, std::max(1, size / 16)));
    painter.setBrush(badge);
    painter.drawEllipse(dot.adjusted(1, 1, -1, -1));
    return image;
}

} // namespace tavrolin
