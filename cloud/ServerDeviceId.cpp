#include "cloud/ServerDeviceId.h"

#include <QSettings>
#include <QUuid>

namespace tavrolin {

QString serverDeviceId(QSettings &settings)
{
    const QString key = QStringLiteral("CloudKitDeviceId");
    QString id = settings.value(key).toString();
    if (id.isEmpty()) {
        id = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
        settings.setValue(key, id);
        settings.sync();
    }
    return id;
}

} // namespace tavrolin
