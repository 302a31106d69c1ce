import QtQuick
import QtQuick.Window
import Ostrelo 1.0

Window {
    id: window
    // The specified size where the screen has room for it, else the screen's
    // available area (the title bar above the window included).
    width: Math.min(1200, Screen.desktopAvailableWidth > 0 ? Screen.desktopAvailableWidth : 1200)
    height: Math.min(800, Screen.desktopAvailableHeight > 0 ? Screen.desktopAvailableHeight - 32 : 800)
    title: qsTr("通道配置")

    property CANopenWrapper canopen: null
    readonly property alias page: page

    ChannelConfigPage {
        id: page
        anchors.fill: parent
        canopen: window.canopen
    }

    FocusRing {
        window: window
    }

    // Closing only hides the window: the page keeps what the operator entered.
    onClosing: function (close) {
        close.accepted = false
        window.hide()
    }
}
