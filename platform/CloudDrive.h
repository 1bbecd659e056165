#pragma once

#include <QObject>
#include <QString>
#include <optional>

namespace tavrolin {

// A folder the user's devices share through a sync service. The relay needs
// three things of it: where its root is (or that there is none), a nudge
// when a folder's content changes (only a shortcut: the relay also scans),
// and a way to make a file that is still in the cloud local.
class CloudDrive : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    virtual std::optional<QString> rootFolder() const = 0;
    // Starts reporting changes of the folder's entries through folderChanged.
    virtual void watchFolder(const QString &folder) = 0;
    virtual void unwatchFolder(const QString &folder) = 0;
    // Empty on success, else the reason.
    virtual QString makeLocal(const QString &file) = 0;

Q_SIGNALS:
    void folderChanged(const QString &folder);
};

} // namespace tavrolin
