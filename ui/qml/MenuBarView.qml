import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Tavrolin

// The tray popup: state, storage, clients and the controls.
Pane {
    id: view
    width: 280
    padding: 12
    required property MenuBarModel model
    property GuiApp app: null

    ColumnLayout {
        width: parent.width
        spacing: 8

        RowLayout {
            Layout.fillWidth: true
            Icon { symbol: "leaf.fill"; size: 22 }
            Label { text: "Tavrolin"; font.bold: true; font.pixelSize: 15 }
            Item { Layout.fillWidth: true }
            Rectangle {
                objectName: "statusDot"
                width: 10; height: 10; radius: 5
                color: ({ "running": "#2f9e44", "starting": "#f08c00", "error": "#e03131" })[view.model.trayState] || "#868e96"
            }
        }
        Rectangle { Layout.fillWidth: true; height: 1; color: "#dee2e6" }

        Label {
            objectName: "welcomeText"
            visible: text !== ""
            text: view.model.welcomeText
            wrapMode: Text.Wrap
            Layout.fillWidth: true
        }

        RowLayout {
            visible: view.model.errorText !== ""
            Layout.fillWidth: true
            Icon { symbol: "exclamationmark.triangle.fill" }
            Label {
                objectName: "errorRow"
                text: view.model.errorText
                color: "#e03131"; font.pixelSize: 11
                wrapMode: Text.Wrap; Layout.fillWidth: true
            }
        }
        RowLayout {
            BusyIndicator { visible: view.model.engineState === "starting"; running: visible; implicitWidth: 16; implicitHeight: 16 }
            Icon {
                visible: view.model.engineState !== "starting"
                symbol: view.model.engineState === "running" ? "checkmark.circle.fill"
                      : view.model.engineState === "failed" ? "exclamationmark.triangle.fill" : "xmark.circle.fill"
            }
            Label {
                objectName: "engineRow"
                text: view.model.engineLabel
                color: ({ "stopped": "#868e96", "starting": "#f08c00", "running": "#2f9e44", "failed": "#e03131" })[view.model.engineState]
            }
        }
        RowLayout {
            BusyIndicator { visible: !view.model.bucketReady; running: visible; implicitWidth: 16; implicitHeight: 16 }
            Icon { visible: view.model.bucketReady; symbol: "checkmark.circle.fill" }
            Label { objectName: "bucketRow"; text: view.model.bucketLabel; color: view.model.bucketReady ? "#2f9e44" : "#f08c00" }
        }
        RowLayout {
            Icon { symbol: "network" }
            ColumnLayout {
                spacing: 0
                Layout.fillWidth: true
                Label { objectName: "addressRow"; text: view.model.addressText; font.weight: Font.Medium }
                Label { objectName: "clientsRow"; text: view.model.clientsText; color: "#868e96"; font.pixelSize: 11 }
            }
            Button {
                objectName: "copyAddress"
                text: "Copy"
                flat: true
                font.pixelSize: 11
                ToolTip.text: "Copy " + view.model.deviceAddress + ", the address to set up devices with"
                ToolTip.visible: hovered
                onClicked: view.model.copyAddress()
            }
        }
        Rectangle { Layout.fillWidth: true; height: 1; color: "#dee2e6" }

        RowLayout {
            Icon { symbol: "icloud" }
            Label {
                objectName: "cloudRow"
                text: view.model.cloudText
                color: ({ "error": "#f08c00", "registered": "#2f9e44" })[view.model.cloudState] || "#868e96"
                font.pixelSize: 11
                wrapMode: Text.Wrap
                Layout.fillWidth: true
            }
            Button {
                objectName: "chooseCloudFolder"
                visible: view.app !== null
                text: view.model.cloudFolder === "" ? "Choose..." : "Change"
                flat: true
                font.pixelSize: 11
                onClicked: view.app.chooseCloudFolder()
            }
            BusyIndicator { visible: view.model.cloudState === "connecting"; running: visible; implicitWidth: 14; implicitHeight: 14 }
            Icon { visible: view.model.cloudRegistered; symbol: "checkmark.circle.fill" }
        }
        Label {
            objectName: "cloudFolderPath"
            visible: view.model.cloudFolder !== ""
            text: view.model.cloudFolder
            color: "#868e96"; font.pixelSize: 10
            elide: Text.ElideMiddle; Layout.fillWidth: true
        }
        Rectangle { Layout.fillWidth: true; height: 1; color: "#dee2e6" }

        Button {
            objectName: "selectStorage"
            visible: !view.model.hasStorage
            text: "Select Storage Location"
            flat: true
            onClicked: view.app.chooseStorageFolder()
        }
        ColumnLayout {
            visible: view.model.hasStorage
            Layout.fillWidth: true
            spacing: 4
            RowLayout {
                Layout.fillWidth: true
                Icon { symbol: "externaldrive" }
                Label { text: "Storage"; color: "#868e96" }
                Item { Layout.fillWidth: true }
                Button { text: "Change"; flat: true; font.pixelSize: 11; onClicked: view.app.chooseStorageFolder() }
            }
            Label { objectName: "storagePath"; text: view.model.storagePath; font.pixelSize: 11; elide: Text.ElideMiddle; Layout.fillWidth: true }
            Label {
                objectName: "noticeText"
                visible: text !== ""
                text: view.model.noticeText
                color: "#1971c2"; font.pixelSize: 11
                wrapMode: Text.Wrap; Layout.fillWidth: true
            }
            ProgressBar { Layout.fillWidth: true; value: view.model.usedFraction }
            RowLayout {
                Icon { symbol: "doc.on.doc" }
                Label { objectName: "objectsRow"; text: view.model.objectsText }
                Label {
                    objectName: "freeRow"
                    text: view.model.freeText
                    color: view.model.freeSpaceLow ? "#f08c00" : "#868e96"
                }
            }
            Button {
                objectName: "browseButton"
                visible: view.model.isRunning
                Layout.fillWidth: true
                text: "Browse Photos"
                icon.source: "image://icon/image-x-generic"
                highlighted: true
                onClicked: view.app.openBrowser()
            }
        }
        Rectangle { Layout.fillWidth: true; height: 1; color: "#dee2e6" }

        RowLayout {
            visible: view.model.isStarting
            BusyIndicator { running: parent.visible; implicitWidth: 16; implicitHeight: 16 }
            Label { objectName: "startupStatus"; text: view.model.startupStatus; color: "#868e96"; font.pixelSize: 11 }
        }
        Button {
            objectName: "stopButton"
            visible: !view.model.isStarting && view.model.isRunning
            Layout.fillWidth: true
            text: "Stop"
            icon.source: "image://icon/media-playback-stop"
            palette.button: "#ffe3e3"
            onClicked: view.model.stop()
        }
        Button {
            objectName: "startButton"
            visible: !view.model.isStarting && !view.model.isRunning
            enabled: view.model.hasStorage
            Layout.fillWidth: true
            text: "Start"
            icon.source: "image://icon/media-playback-start"
            palette.button: "#d3f9d8"
            onClicked: view.model.start()
        }
        CheckBox {
            objectName: "launchAtLogin"
            text: "Launch at Login"
            font.pixelSize: 11
            checked: view.model.launchAtLogin
            onToggled: view.model.launchAtLogin = checked
        }
        Button {
            text: "Quit"
            flat: true
            palette.buttonText: "#e03131"
            onClicked: view.app.quit()
        }
    }
}
