import QtQuick
import QtQuick.Window
import Ostrelo 1.0

Window {
    id: window
    width: 1400
    height: 800
    title: "电机列表"

    property CANopenWrapper canopen: null
    readonly property alias page: page

    MotorListPage {
        id: page
        anchors.fill: parent
        canopen: window.canopen
    }

    // Closing only hides the window: the page keeps what the operator entered.
    onClosing: function (close) {
        close.accepted = false
        window.hide()
    }
}
