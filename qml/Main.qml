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
    // A window already shown keeps its size and state: show() would bring a
    // maximized one back to its normal size.
    function showSecondary(win) {
        if (!win.visible)
            win.show()
        else if (win.visibility === Window.Minimized)
            win.visibility = Window.AutomaticVisibility
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

    FocusRing {
        window: mainWindow
    }

    // Closing while operations run: the window is not blocked; the operator
    // chooses to wait for them (their progress stays on the motor list) or
    // to stop them. After a wait the program ends by itself once they have
    // ended (their results are in the record); motors left in their
    // bootloader are asked about first, as on a plain close. The question
    // opens on the window the operator looks at.
    //   closeMode: "" (no dialog), "ask", "waiting", "done" (how they ended,
    //   kept for a caller that sets it), "stopping", "bootloader"
    property string closeMode: ""
    readonly property bool closeRequested: closeMode === "waiting" || closeMode === "stopping"
    readonly property alias closeDialog: closeDialog
    readonly property int runningOperations: canopen ? canopen.activeOperations : 0
    property var bootloaderNodes: []
    property bool closeConfirmed: false

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

    // Closes without asking again.
    function closeNow() {
        closeConfirmed = true
        closeMode = ""
        closeDialog.close()
        mainWindow.close()
    }

    // The window the operator looks at: the active one, else the motor list
    // when it is shown, else this one.
    function frontWindow() {
        var wins = [motorListWindow, motorScanWindow, channelConfigWindow]
        for (var i = 0; i < wins.length; ++i) {
            if (wins[i] !== null && wins[i].visible && wins[i].active)
                return wins[i]
        }
        if (mainWindow.active)
            return mainWindow
        if (motorListWindow !== null && motorListWindow.visible)
            return motorListWindow
        return mainWindow
    }

    // Opens the close question on top of the window the operator looks at.
    function openCloseDialog() {
        var win = frontWindow()
        closeDialog.parent = win.contentItem
        if (win !== mainWindow)
            showSecondary(win)
        closeDialog.open()
    }

    // After a wait the program ends by itself; motors left in their
    // bootloader get the warning of a plain close first.
    function operationsEnded() {
        if (closeMode === "waiting") {
            var held = canopen ? canopen.nodesInBootloader() : []
            if (held.length > 0) {
                bootloaderNodes = held
                closeMode = "bootloader"
                closeDialog.close()
                openCloseDialog()
                return
            }
            closeNow()
        } else if (closeMode === "stopping") {
            closeNow()
        }
    }

    function waitForOperations() {
        closeMode = "waiting"
        if (motorListWindow !== null)
            showSecondary(motorListWindow)
        if (runningOperations === 0)
            operationsEnded()
    }

    function stopOperations() {
        closeMode = "stopping"
        if (runningOperations === 0) {
            closeNow()
            return
        }
        if (canopen)
            canopen.stopAllOperations()
    }

    function cancelClose() {
        closeMode = ""
        closeDialog.close()
    }

    onRunningOperationsChanged: {
        if (runningOperations === 0)
            operationsEnded()
    }

    onClosing: function (close) {
        if (!closeConfirmed && runningOperations > 0) {
            close.accepted = false
            closeMode = "ask"
            openCloseDialog()
            return
        }
        var held = (!closeConfirmed && canopen) ? canopen.nodesInBootloader() : []
        if (held.length > 0) {
            close.accepted = false
            bootloaderNodes = held
            closeMode = "bootloader"
            openCloseDialog()
            return
        }
        closeConfirmed = false
        finishClose()
        close.accepted = true
    }

    Dialog {
        id: closeDialog
        objectName: "closeDialog"
        title: mainWindow.closeMode === "done" ? qsTr("操作已结束")
               : mainWindow.closeMode === "bootloader" ? qsTr("电机停在Bootloader中") : qsTr("操作正在进行")
        modal: true
        closePolicy: Popup.NoAutoClose
        // Its parent is the content of the window it opens on.
        width: Math.min(460, (parent ? parent.width : mainWindow.width) - 40)
        x: parent ? Math.round((parent.width - width) / 2) : 0
        y: parent ? Math.max(0, Math.round((parent.height - height) / 2)) : 0

        Column {
            width: parent.width
            spacing: 16

            Label {
                objectName: "closeDialogText"
                width: parent.width
                wrapMode: Text.Wrap
                text: {
                    switch (mainWindow.closeMode) {
                    case "waiting":
                    case "stopping":
                        return qsTr("正在等待 %1 个操作结束，程序随后退出…").arg(mainWindow.runningOperations)
                    case "done":
                        return qsTr("所有操作已结束。\n%1\n结果留在电机列表中；现在退出程序吗？")
                               .arg(canopen ? canopen.statusMessage : "")
                    case "bootloader":
                        return qsTr("还有 %1 个电机停在Bootloader中（节点 %2），它们不会运行应用程序。\n可以先在电机列表中点击“退出Bootloader”或升级它们。")
                               .arg(mainWindow.bootloaderNodes.length).arg(mainWindow.bootloaderNodes.join("、"))
                    default:
                        return qsTr("还有 %1 个操作正在进行（升级、扫描或Bootloader操作）。\n等待它们完成，还是停止它们？\n停止的升级会中止传输，电机留在Bootloader中，可以再次升级。")
                               .arg(mainWindow.runningOperations)
                    }
                }
            }
            Row {
                spacing: 10
                anchors.horizontalCenter: parent.horizontalCenter
                visible: mainWindow.closeMode === "ask" || mainWindow.closeRequested
                Button {
                    objectName: "waitButton"
                    text: qsTr("等待完成")
                    enabled: !mainWindow.closeRequested
                    onClicked: mainWindow.waitForOperations()
                }
                Button {
                    objectName: "stopButton"
                    text: qsTr("停止操作并退出")
                    enabled: mainWindow.closeMode !== "stopping"
                    onClicked: mainWindow.stopOperations()
                }
                Button {
                    objectName: "cancelCloseButton"
                    text: qsTr("取消")
                    enabled: !mainWindow.closeRequested
                    onClicked: mainWindow.cancelClose()
                }
            }
            Row {
                spacing: 10
                anchors.horizontalCenter: parent.horizontalCenter
                visible: mainWindow.closeMode === "done" || mainWindow.closeMode === "bootloader"
                Button {
                    objectName: "quitButton"
                    text: mainWindow.closeMode === "done" ? qsTr("退出程序") : qsTr("仍然退出")
                    onClicked: mainWindow.closeNow()
                }
                Button {
                    objectName: "stayButton"
                    text: qsTr("留在程序中")
                    onClicked: mainWindow.cancelClose()
                }
            }
        }
    }
}
