import QtQuick
import QtQuick.Controls
import QtQuick.Window
import Ostrelo 1.0

ApplicationWindow {
    id: mainWindow
    width: 1000
    height: 700
    visible: true
    title: qsTr("Motor Upgrade Tool - 主窗口")

    property var channelConfigWindow: null
    property var motorScanWindow: null
    property var motorListWindow: null

    // The one controller of the program; every secondary window gets this instance.
    readonly property alias controller: canopen

    CANopenWrapper {
        id: canopen
    }

    MainMenuPage {
        id: menuPage
        anchors.fill: parent
        canopen: mainWindow.controller
        mainWindow: mainWindow
    }

    Component {
        id: channelConfigComponent
        ChannelConfigWindow {}
    }

    Component {
        id: motorScanComponent
        MotorScanWindow {}
    }

    Component {
        id: motorListComponent
        MotorListWindow {}
    }

    // Created once, owned by the main window (and so transient for it); later
    // openings only bring the existing window to the front.
    function showSecondary(win) {
        win.show()
        win.raise()
        win.requestActivate()
        return win
    }

    function openChannelConfigWindow() {
        if (channelConfigWindow === null) {
            channelConfigWindow = channelConfigComponent.createObject(mainWindow, { canopen: canopen })
        }
        return showSecondary(channelConfigWindow)
    }

    function openMotorScanWindow() {
        if (motorScanWindow === null) {
            motorScanWindow = motorScanComponent.createObject(mainWindow, { canopen: canopen })
        }
        return showSecondary(motorScanWindow)
    }

    function openMotorListWindow() {
        if (motorListWindow === null) {
            motorListWindow = motorListComponent.createObject(mainWindow, { canopen: canopen })
        }
        return showSecondary(motorListWindow)
    }

    Connections {
        target: canopen
        function onScanCompleted(motorCount) {
            console.log("扫描完成，发现", motorCount, "个电机")
            mainWindow.openMotorListWindow()
        }
    }

    onClosing: function (close) {
        if (canopen)
            canopen.cleanupAll()
        if (channelConfigWindow !== null) {
            channelConfigWindow.destroy()
            channelConfigWindow = null
        }
        if (motorScanWindow !== null) {
            motorScanWindow.destroy()
            motorScanWindow = null
        }
        if (motorListWindow !== null) {
            motorListWindow.destroy()
            motorListWindow = null
        }
        close.accepted = true
    }
}
