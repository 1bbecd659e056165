#include "platform/AppPaths.h"

#include <QCoreApplication>
#include <QDir>
#include <QSettings>
#include <QStandardPaths>

namespace tavrolin::AppPaths {

QString bundledEnginePath()
{
    return QDir::cleanPath(QCoreApplication::applicationDirPath() + "/../libexec/tavrolin/weed");
}

QString appDataDir()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + "/Tavrolin";
}

QString defaultStorageFolder() { return appDataDir() + "/Storage"; }

QString thumbnailCacheDir()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation) + QStringLiteral("/Tavrolin/thumbnails");
}

std::unique_ptr<QSettings> userSettings()
{
    return std::make_unique<QSettings>(QStringLiteral("Tavrolin"), QStringLiteral("Tavrolin"));
}

} // namespace tavrolin::AppPaths
