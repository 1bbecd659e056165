#include "platform/SyncFolderDrive.h"

#include <QFileInfo>
#include <QSettings>

#include "platform/AppPaths.h"

namespace tavrolin {

SyncFolderDrive::SyncFolderDrive(std::function<QString()> rootSource, QObject *parent)
    : CloudDrive(parent), m_root(std::move(rootSource))
{
    if (!m_root) {
        m_root = [] { return AppPaths::userSettings()->value(QString::fromLatin1(kSettingKey)).toString(); };
    }
    connect(&m_watcher, &QFileSystemWatcher::directoryChanged, this, &CloudDrive::folderChanged);
}

std::optional<QString> SyncFolderDrive::rootFolder() const
{
    const QString root = m_root();
    if (root.isEmpty() || !QFileInfo(root).isDir())
        return std::nullopt;
    return QFileInfo(root).absoluteFilePath();
}

void SyncFolderDrive::watchFolder(const QString &folder)
{
    if (!m_watcher.directories().contains(folder))
        m_watcher.addPath(folder);
}

void SyncFolderDrive::unwatchFolder(const QString &folder) { m_watcher.removePath(folder); }

QString SyncFolderDrive::makeLocal(const QString &) { return {}; }

} // namespace tavrolin
