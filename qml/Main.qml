import QtQuick
import QtQuick.Controls
import QtQuick.Window
import Ostrelo 1.0

ApplicationWindow {
    id: mainWindow
    width: Math.min(1000, Screen.desktopAvailableWidth > 0 ? Screen.desktopAvailableWidth : 1000)
    height: Math.min(700, Screen.desktopAvailableHeight > 0 ? Screen.desktopAvailableHeight - 32 : 700)
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

    // Closing while operations run: the window is not blocked; the operator
    // chooses to wait for them (their progress stays on the motor list) or
    // to stop them, and the program ends when none is left.
    property bool closeRequested: false
    readonly property alias closeDialog: closeDialog
    readonly property int runningOperations: canopen ? canopen.activeOperations : 0

    function finishClose() {
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
    }

    function waitForOperations() {
        closeRequested = true
        if (motorListWindow !== null)
            showSecondary(motorListWindow)
    }

    function stopOperations() {
        closeRequested = true
        if (canopen)
            canopen.stopAllOperations()
    }

    onRunningOperationsChanged: {
        if (closeRequested && runningOperations === 0) {
            closeDialog.close()
            mainWindow.close()
        }
    }

    onClosing: function (close) {
        if (runningOperations > 0) {
            close.accepted = false
            closeDialog.open()
            return
        }
        finishClose()
        close.accepted = true
    }

    Dialog {
        id: closeDialog
        objectName: "closeDialog"
        title: qsTr("操作正在进行")
        modal: true
        closePolicy: Popup.NoAutoClose
        width: Math.min(460, mainWindow.width - 40)
        anchors.centerIn: Overlay.overlay

        Column {
            width: parent.width
            spacing: 16

            Label {
                objectName: "closeDialogText"
                width: parent.width
                wrapMode: Text.Wrap
                text: mainWindow.closeRequested
                      ? qsTr("正在等待 %1 个操作结束，程序随后退出…").arg(mainWindow.runningOperations)
                      : qsTr("还有 %1 个操作正在进行（升级、扫描或Bootloader操作）。\n等待它们完成，还是停止它们？\n停止的升级会中止传输，电机留在Bootloader中，可以再次升级。")
                        .arg(mainWindow.runningOperations)
            }
            Row {
                spacing: 10
                anchors.horizontalCenter: parent.horizontalCenter
                Button {
                    objectName: "waitButton"
                    text: qsTr("等待完成")
                    enabled: !mainWindow.closeRequested
                    onClicked: mainWindow.waitForOperations()
                }
                Button {
                    objectName: "stopButton"
                    text: qsTr("停止操作并退出")
                    onClicked: mainWindow.stopOperations()
                }
                Button {
                    objectName: "cancelCloseButton"
                    text: qsTr("取消")
                    enabled: !mainWindow.closeRequested
                    onClicked: closeDialog.close()
                }
            }
        }
    }
}
