import QtQuick
import QtQuick.Controls

// One grid cell; its thumbnail loads when the cell is created, that is
// when it scrolls into view.
Rectangle {
    id: cell
    property string thumbnailUrl
    property bool isVideo: false
    property bool isSelected: false
    signal clicked(int modifiers)
    radius: 4
    color: "#e9ecef"
    clip: true
    border.width: isSelected ? 3 : 0
    border.color: palette.highlight

    Image {
        id: thumb
        objectName: "thumbnail"
        anchors.fill: parent
        anchors.margins: cell.border.width
        source: cell.thumbnailUrl
        asynchronous: true
        fillMode: Image.PreserveAspectCrop
        sourceSize.width: 256
        sourceSize.height: 256
    }
    BusyIndicator {
        anchors.centerIn: parent
        running: thumb.status === Image.Loading
        visible: running
        implicitWidth: 20; implicitHeight: 20
    }
    Icon {
        anchors.centerIn: parent
        visible: thumb.status === Image.Error || thumb.status === Image.Null
        symbol: cell.isVideo ? "video" : "photo"
        size: 28
    }
    Icon {
        visible: cell.isVideo
        anchors.right: parent.right; anchors.bottom: parent.bottom; anchors.margins: 6
        symbol: "play.circle.fill"
        size: 20
        opacity: 0.9
    }
    MouseArea { anchors.fill: parent; onClicked: mouse => cell.clicked(mouse.modifiers) }
}
