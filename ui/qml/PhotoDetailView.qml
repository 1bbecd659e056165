import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Tavrolin

// The detail sheet of one photo.
Pane {
    id: sheet
    required property PhotoDetailModel model
    signal dismiss()
    focus: true
    Keys.onEscapePressed: sheet.dismiss()

    ColumnLayout {
        anchors.fill: parent
        RowLayout {
            Layout.fillWidth: true
            ColumnLayout {
                spacing: 0
                Label { objectName: "detailFilename"; text: sheet.model.filename; font.bold: true }
                RowLayout {
                    Label { text: sheet.model.deviceName; color: "#868e96" }
                    Label { visible: sheet.model.dateString !== ""; text: sheet.model.dateString; color: "#868e96" }
                    Icon { visible: sheet.model.isVideo; symbol: "video" }
                    Label { visible: sheet.model.isVideo; text: "Video"; color: "#f08c00" }
                }
            }
            Item { Layout.fillWidth: true }
            // Disabled buttons are drawn faded: the icons alone would look
            // the same either way.
            ToolButton { objectName: "openButton"; icon.source: "image://icon/document-open"; enabled: sheet.model.canSave; opacity: enabled ? 1 : 0.35; ToolTip.text: "Open in Default App"; ToolTip.visible: hovered; onClicked: sheet.model.openInDefaultApp() }
            ToolButton { objectName: "copyButton"; icon.source: "image://icon/edit-copy"; enabled: sheet.model.hasImage; opacity: enabled ? 1 : 0.35; ToolTip.text: "Copy to Clipboard"; ToolTip.visible: hovered; onClicked: sheet.model.copyToClipboard() }
            ToolButton { objectName: "saveButton"; icon.source: "image://icon/document-save"; enabled: sheet.model.canSave; opacity: enabled ? 1 : 0.35; ToolTip.text: "Save to Downloads"; ToolTip.visible: hovered; onClicked: sheet.model.saveToDownloads() }
            ToolButton { objectName: "closeButton"; icon.source: "image://icon/window-close"; onClicked: sheet.dismiss() }
        }
        Item {
            Layout.fillWidth: true
            Layout.fillHeight: true
            ColumnLayout {
                anchors.centerIn: parent
                visible: sheet.model.state === "loading"
                BusyIndicator { Layout.alignment: Qt.AlignHCenter; running: parent.visible }
                Label { text: "Loading full image..." }
            }
            ColumnLayout {
                anchors.centerIn: parent
                visible: sheet.model.state === "error"
                Icon { Layout.alignment: Qt.AlignHCenter; symbol: "exclamationmark.triangle"; size: 48 }
                Label { objectName: "detailError"; text: sheet.model.errorText }
            }
            ColumnLayout {
                anchors.centerIn: parent
                visible: sheet.model.state === "video"
                Icon { Layout.alignment: Qt.AlignHCenter; symbol: "video.fill"; size: 64 }
                Label { objectName: "videoText"; text: "Video preview not available" }
                Label { Layout.alignment: Qt.AlignHCenter; text: "Save it or open it in another application."; color: "#868e96"; font.pixelSize: 11 }
                Button { Layout.alignment: Qt.AlignHCenter; text: "Open in Default App"; onClicked: sheet.model.openInDefaultApp() }
            }
            Flickable {
                id: flick
                anchors.fill: parent
                visible: sheet.model.state === "image"
                clip: true
                contentWidth: Math.max(width, width * sheet.model.zoomScale)
                contentHeight: Math.max(height, height * sheet.model.zoomScale)
                ScrollBar.horizontal: ScrollBar {}
                ScrollBar.vertical: ScrollBar {}
                Image {
                    objectName: "fullImage"
                    width: flick.width * sheet.model.zoomScale
                    height: flick.height * sheet.model.zoomScale
                    anchors.centerIn: parent
                    fillMode: Image.PreserveAspectFit
                    source: sheet.model.imageUrl
                    asynchronous: true
                }
            }
        }
        RowLayout {
            visible: sheet.model.hasImage
            ToolButton { objectName: "zoomOut"; icon.source: "image://icon/zoom-out"; onClicked: sheet.model.zoomOut() }
            Label { objectName: "zoomText"; text: sheet.model.zoomText }
            ToolButton { objectName: "zoomIn"; icon.source: "image://icon/zoom-in"; onClicked: sheet.model.zoomIn() }
            Button { text: "Fit"; onClicked: sheet.model.fit() }
            Item { Layout.fillWidth: true }
            Label { text: sheet.model.imageSizeText; color: "#868e96" }
        }
        Label { visible: sheet.model.message !== ""; text: sheet.model.message; color: "#868e96"; font.pixelSize: 11 }
    }
}
