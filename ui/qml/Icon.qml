import QtQuick

// A symbol of the original design drawn with the desktop's icon theme,
// falling back to the icons bundled with the application.
Image {
    id: icon
    property string symbol: ""
    property int size: 16
    readonly property var themeNames: ({
        "leaf.fill": "tavrolin",
        "exclamationmark.triangle.fill": "dialog-warning",
        "exclamationmark.triangle": "dialog-warning",
        "xmark.circle.fill": "process-stop",
        "checkmark.circle.fill": "emblem-ok",
        "network": "network-wired",
        "icloud": "weather-overcast",
        "externaldrive": "drive-harddisk",
        "doc.on.doc": "edit-copy",
        "photo.on.rectangle": "image-x-generic",
        "photo.on.rectangle.angled": "image-x-generic",
        "photo": "image-x-generic",
        "video": "video-x-generic",
        "video.fill": "video-x-generic",
        "play.fill": "media-playback-start",
        "stop.fill": "media-playback-stop",
        "play.circle.fill": "media-playback-start-badge",
        "arrow.clockwise": "view-refresh",
        "magnifyingglass": "edit-find",
        "square.grid.3x3": "view-grid",
        "folder": "folder",
        "arrow.down.circle": "document-save",
        "xmark": "window-close",
        "minus.magnifyingglass": "zoom-out",
        "plus.magnifyingglass": "zoom-in"
    })
    source: symbol === "" ? "" : "image://icon/" + (themeNames[symbol] || symbol)
    sourceSize.width: size
    sourceSize.height: size
    width: size
    height: size
    fillMode: Image.PreserveAspectFit
}
