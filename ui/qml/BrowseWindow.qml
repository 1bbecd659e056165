import QtQuick
import QtQuick.Controls

ApplicationWindow {
    title: "Browse Photos"
    width: 800
    height: 600
    minimumWidth: 600
    minimumHeight: 400
    BrowseView { anchors.fill: parent }
}
