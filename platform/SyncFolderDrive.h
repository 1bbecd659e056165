#pragma once

#include <QFileSystemWatcher>
#include <functional>

#include "platform/CloudDrive.h"

namespace tavrolin {

// On Linux the shared folder is one the user's own sync tool keeps in step
// with their other devices; the user names it (setting "cloudFolder", or
// --cloud-folder). Files in it are always local.
class SyncFolderDrive : public CloudDrive {
    Q_OBJECT
public:
    static constexpr const char *kSettingKey = "cloudFolder";

    // rootSource yields the chosen folder, empty for none; the default
    // reads the user's settings at every call.
    explicit SyncFolderDrive(std::function<QString()> rootSource = {}, QObject *parent = nullptr);

    std::optional<QString> rootFolder() const override;
    void watchFolder(const QString &folder) override;
    void unwatchFolder(const QString &folder) override;
    QString makeLocal(const QString &file) override;

private:
    std::function<QString()> m_root;
    QFileSystemWatcher m_watcher;
};

} // namespace tavrolin
