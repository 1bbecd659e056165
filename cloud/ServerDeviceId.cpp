#include "cloud/ServerDeviceId.h"

#include <QSettings>
#include <QUuid>

#include "platform/DiagnosticLog.h"
#include "platform/Validators.h"

namespace tavrolin {

QString serverDeviceId(QSettings &settings)
{
    const QString key = QStringLiteral("CloudKitDeviceId");
    QString id = settings.value(key).toString();
    // The id names folders and records in the shared folder: a hand-edited
    // or damaged one that could not name a file could never have been
    // reached, and is replaced rather than used.
    if (!id.isEmpty() && !Validators::isPlainFileName(id)) {
        diagLog(QStringLiteral("The server's cloud id in the settings cannot name a folder; making a new one"));
        id.clear();
    }
    if (id.isEmpty()) {
        id = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
        settings.setValue(key, id);
        settings.sync();
    }
    return id;
}

} // namespace tavrolin
