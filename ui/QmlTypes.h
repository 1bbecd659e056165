#pragma once

#include <QObject>
#include <QtQml/qqml.h>

#include "ui/MenuBarModel.h"
#include "ui/PhotoDetailModel.h"
#include "ui/PhotoExportService.h"
#include "ui/PhotoGridModel.h"

class QQmlEngine;

namespace tavrolin {

// The models live in the display-free core; the shell names them to QML,
// so that its files declare typed properties instead of reading context
// properties no tool can see. The application makes every instance.
struct MenuBarModelForeign {
    Q_GADGET
    QML_FOREIGN(tavrolin::MenuBarModel)
    QML_NAMED_ELEMENT(MenuBarModel)
    QML_UNCREATABLE("made by the application")
};

struct PhotoGridModelForeign {
    Q_GADGET
    QML_FOREIGN(tavrolin::PhotoGridModel)
    QML_NAMED_ELEMENT(PhotoGridModel)
    QML_UNCREATABLE("made by the application")
};

struct PhotoDetailModelForeign {
    Q_GADGET
    QML_FOREIGN(tavrolin::PhotoDetailModel)
    QML_NAMED_ELEMENT(PhotoDetailModel)
    QML_UNCREATABLE("made by the application")
};

struct PhotoExportServiceForeign {
    Q_GADGET
    QML_FOREIGN(tavrolin::PhotoExportService)
    QML_NAMED_ELEMENT(PhotoExportService)
    QML_UNCREATABLE("made by the application")
};

// The views' module ("import Tavrolin"), registered once per process, found
// by this engine.
void prepareQmlEngine(QQmlEngine &engine);

// Where the views are.
inline constexpr const char *kMenuBarWindowQml = "qrc:/Tavrolin/qml/MenuBarWindow.qml";
inline constexpr const char *kBrowseWindowQml = "qrc:/Tavrolin/qml/BrowseWindow.qml";

} // namespace tavrolin
