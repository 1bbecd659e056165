import QtQuick
import QtQuick.Controls
import Tavrolin

Window {
    id: window
    required property MenuBarModel menuBar
    property GuiApp app: null
    title: "Tavrolin"
    width: 280
    height: content.implicitHeight
    color: palette.window
    MenuBarView { id: content; width: parent.width; model: window.menuBar; app: window.app }
}
