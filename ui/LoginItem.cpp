#include "ui/LoginItem.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include "platform/AtomicFile.h"
#include "platform/DiagnosticLog.h"

namespace tavrolin::LoginItem {

QString autostartPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QStringLiteral("/autostart/tavrolin.desktop");
}

bool set(bool enabled, const QString &executable)
{
    const QString path = autostartPath();
    if (!enabled) {
        if (QFile::exists(path) && !QFile::remove(path)) {
            diagLog(QStringLiteral("Failed to set launch at login: cannot remove %1").arg(path));
            return false;
        }
        return true;
    }
    QDir().mkpath(QFileInfo(path).path());
    // Exec quoting of the desktop entry specification: the path in double
    // quotes with \, ", ` and $ escaped.
    QString quoted = executable;
    for (const char *c : {"\\", "\"", "`", "$"})
        quoted.replace(QLatin1String(c), QStringLiteral("\\") + QLatin1String(c));
    const QByteArray text = "[Desktop Entry]\nType=Application\nName=Tavrolin\nComment=Personal photo storage server\n"
                            "Exec=\"" + quoted.toUtf8() + "\"\nIcon=tavrolin\nTerminal=false\nX-GNOME-Autostart-enabled=true\n";
    if (const QString failed = atomicWrite(path, text); !failed.isEmpty()) {
        diagLog(QStringLiteral("Failed to set launch at login: %1").arg(failed));
        return false;
    }
    return true;
}

} // namespace tavrolin::LoginItem
