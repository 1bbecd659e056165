import QtQuick
import QtQuick.Controls

Window {
    id: window
    title: "Tavrolin"
    width: 280
    height: content.implicitHeight
    color: palette.window
    MenuBarView { id: content; width: parent.width }
}
