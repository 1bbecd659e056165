#pragma once

#include <QString>
#include <memory>

class QSettings;

namespace tavrolin {

// Where the application keeps and finds its files on Linux.
namespace AppPaths {

// The storage engine in the application's resource folder:
// <dir of the executable>/../libexec/tavrolin/weed.
QString bundledEnginePath();

// The application's own data folder (~/.local/share/Tavrolin); it holds the
// engine's pid file and, by default, the storage folder.
QString appDataDir();

// ~/.local/share/Tavrolin/Storage.
QString defaultStorageFolder();

// Thumbnails kept between runs: $XDG_CACHE_HOME/Tavrolin/thumbnails.
QString thumbnailCacheDir();

// The user-defaults store.
std::unique_ptr<QSettings> userSettings();

} // namespace AppPaths
} // namespace tavrolin
