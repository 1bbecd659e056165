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
    property PhotoExportService exporter: null
    property string selectedKey: ""
    padding: 0

    Shortcut {
        sequence: "Ctrl+A"
        enabled: !detailPopup.opened
        onActivated: browser.grid.selectAll()
    }

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

        // What is selected and what can be done with it; an export's
        // progress while it runs and its outcome after.
        ToolBar {
            objectName: "selectionBar"
            Layout.fillWidth: true
            visible: browser.grid.selectedCount > 0 || (browser.exporter !== null && browser.exporter.statusText !== "")
            RowLayout {
                anchors.fill: parent
                Label {
                    objectName: "selectionText"
                    visible: browser.grid.selectedCount > 0
                    text: browser.grid.selectedCount === 1 ? "1 selected" : browser.grid.selectedCount + " selected"
                }
                Button {
                    objectName: "saveSelection"
                    visible: browser.grid.selectedCount > 0 && browser.exporter !== null
                    enabled: browser.exporter !== null && !browser.exporter.isExporting
                    opacity: enabled ? 1 : 0.4
                    text: "Save to..."
                    icon.source: "image://icon/document-save"
                    onClicked: browser.exporter.exportKeysToChosenFolder(browser.grid.selectedKeys)
                }
                Button {
                    visible: browser.grid.selectedCount > 0
                    text: "Select All"
                    flat: true
                    onClicked: browser.grid.selectAll()
                }
                Button {
                    visible: browser.grid.selectedCount > 0
                    text: "Clear Selection"
                    flat: true
                    onClicked: browser.grid.clearSelection()
                }
                Item { Layout.fillWidth: true }
                ProgressBar {
                    objectName: "exportProgress"
                    visible: browser.exporter !== null && browser.exporter.isExporting
                    value: browser.exporter ? browser.exporter.progress : 0
                    Layout.preferredWidth: 140
                }
                Label {
                    objectName: "exportStatus"
                    text: browser.exporter ? browser.exporter.statusText : ""
                    elide: Text.ElideMiddle
                    Layout.maximumWidth: 320
                    color: "#495057"
                    font.pixelSize: 11
                }
                Button {
                    objectName: "cancelExport"
                    visible: browser.exporter !== null && browser.exporter.isExporting
                    text: "Cancel"
                    onClicked: browser.exporter.cancel()
                }
                ToolButton {
                    objectName: "dismissExport"
                    visible: browser.exporter !== null && !browser.exporter.isExporting && browser.exporter.statusText !== ""
                    icon.source: "image://icon/window-close"
                    ToolTip.text: "Dismiss"
                    ToolTip.visible: hovered
                    onClicked: browser.exporter.clearStatus()
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
                    required property int index
                    required property bool selected
                    required thumbnailUrl
                    required isVideo
                    width: gridView.cellWidth - 6
                    height: gridView.cellHeight - 6
                    isSelected: cell.selected
                    // A click opens the photo (and selects it); ctrl and
                    // shift only change the selection.
                    onClicked: modifiers => {
                        const toggle = (modifiers & Qt.ControlModifier) !== 0
                        const extend = (modifiers & Qt.ShiftModifier) !== 0
                        browser.grid.select(cell.index, toggle, extend)
                        if (toggle || extend)
                            return
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
