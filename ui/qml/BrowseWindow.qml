import QtQuick
import QtQuick.Controls
import Tavrolin

ApplicationWindow {
    id: window
    required property PhotoGridModel grid
    required property PhotoDetailModel detail
    property PhotoExportService exporter: null
    title: "Browse Photos"
    width: 800
    height: 600
    minimumWidth: 600
    minimumHeight: 400
    BrowseView { anchors.fill: parent; grid: window.grid; detail: window.detail; exporter: window.exporter }
}
