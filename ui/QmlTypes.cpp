#include "ui/QmlTypes.h"

#include <QQmlEngine>

// Written by the build with the module's type registrations; naming it keeps
// that object in the link (a static library's unreferenced objects are left
// out, and with them the registration that runs when the module is imported).
void qml_register_types_Tavrolin();

namespace tavrolin {

void prepareQmlEngine(QQmlEngine &engine)
{
    static void (*volatile keep)() = &qml_register_types_Tavrolin;
    (void)keep;
    engine.addImportPath(QStringLiteral("qrc:/"));
}

} // namespace tavrolin
