pragma ComponentBehavior: Bound

import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Tavrolin

// The photo browser: search, device filter, columns, the grid and the
// detail sheet.
Pane {
    id: browser
    required property PhotoGridModel grid
    required property PhotoDetailModel detail
    property string selectedKey: ""
    padding: 0

    ColumnLayout {
        anchors.fill: parent
        spacing: 0

        ToolBar {
            Layout.fillWidth: true
            RowLayout {
                anchors.fill: parent
                Icon { symbol: "magnifyingglass" }
                TextField {
                    objectName: "searchField"
                    placeholderText: "Search photos..."
                    text: browser.grid.searchText
                    onTextChanged: browser.grid.searchText = text
                    Layout.preferredWidth: 220
                }
                ToolButton {
                    visible: browser.grid.searchText !== ""
                    icon.source: "image://icon/edit-clear"
                    onClicked: browser.grid.searchText = ""
                }
                ComboBox {
                    objectName: "devicePicker"
                    visible: browser.grid.devices.length > 0
                    model: ["All Devices"].concat(browser.grid.devices)
                    displayText: browser.grid.selectedDevice === "" ? "Device" : browser.grid.selectedDevice
                    onActivated: index => browser.grid.selectedDevice = index === 0 ? "" : browser.grid.devices[index - 1]
                }
                Item { Layout.fillWidth: true }
                Icon { symbol: "square.grid.3x3" }
                Slider {
                    objectName: "columnSlider"
                    from: 2; to: 8; stepSize: 1
                    value: browser.grid.gridColumns
                    onMoved: browser.grid.gridColumns = value
                    Layout.preferredWidth: 120
                }
                ToolButton {
                    objectName: "refreshButton"
                    icon.source: "image://icon/view-refresh"
                    enabled: !browser.grid.isLoading
                    onClicked: browser.grid.refresh()
                }
            }
        }

        Item {
            Layout.fillWidth: true
            Layout.fillHeight: true

            ColumnLayout {
                anchors.centerIn: parent
                visible: browser.grid.mainState === "loading"
                BusyIndicator { Layout.alignment: Qt.AlignHCenter; running: parent.visible }
                Label { text: "Loading photos..." }
            }
            ColumnLayout {
                anchors.centerIn: parent
                visible: browser.grid.mainState === "error"
                Icon { Layout.alignment: Qt.AlignHCenter; symbol: "exclamationmark.triangle"; size: 48 }
                Label { objectName: "errorText"; text: browser.grid.errorText }
                Button { Layout.alignment: Qt.AlignHCenter; text: "Retry"; onClicked: browser.grid.refresh() }
            }
            ColumnLayout {
                anchors.centerIn: parent
                visible: browser.grid.mainState === "empty"
                Icon { Layout.alignment: Qt.AlignHCenter; symbol: "photo.on.rectangle.angled"; size: 48 }
                Label { objectName: "emptyText"; text: browser.grid.emptyText }
            }
            GridView {
                id: gridView
                objectName: "photoGrid"
                anchors.fill: parent
                anchors.margins: 8
                visible: browser.grid.mainState === "grid"
                clip: true
                model: browser.grid
                cellWidth: Math.floor(width / browser.grid.gridColumns)
                cellHeight: cellWidth
                ScrollBar.vertical: ScrollBar {}
                // The cell takes its photo's roles as properties.
                delegate: PhotoGridItem {
                    id: cell
                    required property string key
                    required thumbnailUrl
                    required isVideo
                    width: gridView.cellWidth - 6
                    height: gridView.cellHeight - 6
                    isSelected: browser.selectedKey === cell.key
                    onClicked: {
                        browser.selectedKey = cell.key
                        browser.detail.openKey(cell.key)
                        detailPopup.open()
                    }
                }
            }
        }

        Rectangle { Layout.fillWidth: true; height: 1; color: "#dee2e6" }
        RowLayout {
            Layout.fillWidth: true
            Layout.margins: 6
            Label { objectName: "statusText"; text: browser.grid.statusText }
            BusyIndicator { visible: browser.grid.isLoading; running: visible; implicitWidth: 14; implicitHeight: 14 }
            Item { Layout.fillWidth: true }
            Label { objectName: "filterText"; visible: browser.grid.filterText !== ""; text: browser.grid.filterText }
            Button { visible: browser.grid.filterText !== ""; text: "Clear"; flat: true; onClicked: browser.grid.clearDevice() }
        }
    }

    Popup {
        id: detailPopup
        objectName: "detailPopup"
        anchors.centerIn: parent
        width: parent.width * 0.9
        height: parent.height * 0.9
        modal: true
        focus: true
        closePolicy: Popup.CloseOnEscape
        onOpened: contentItem.forceActiveFocus()
        onClosed: browser.selectedKey = ""
        contentItem: PhotoDetailView {
            model: browser.detail
            onDismiss: detailPopup.close()
        }
    }
}
