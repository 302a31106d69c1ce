import QtQuick
import QtQuick.Controls
import QtQuick.Controls as Controls
import QtQuick.Layouts
import QtQuick.Dialogs
import QtQuick.Window
import Ostrelo 1.0

Item {
    id: motorListPage

    property CANopenWrapper canopen: null
    property string selectedFolderPath: ""
    property var upgradeProgressMap: ({})
    property var motorStatusMap: ({})
    property var pendingClearNodes: []
    property var motorModel: canopen ? canopen.motorListModel : null

    readonly property alias folderDialog: folderDialog
    readonly property alias fileDialog: fileDialog
    readonly property alias holdDialog: holdDialog
    readonly property alias clearTimer: clearTimer
    readonly property alias listView: motorListView

    // Table columns: header text and width; rows use the same widths.
    readonly property var columns: [
        { t: qsTr("节点ID"), w: 60 }, { t: qsTr("设备类型"), w: 80 }, { t: qsTr("设备索引"), w: 60 },
        { t: qsTr("CAN通道"), w: 60 }, { t: qsTr("波特率"), w: 80 }, { t: qsTr("固件型号"), w: 120 },
        { t: qsTr("刹车后缀"), w: 80 }, { t: qsTr("编码器"), w: 120 }, { t: qsTr("版本"), w: 120 },
        { t: qsTr("固件文件"), w: 300 }, { t: qsTr("操作"), w: 250 }, { t: qsTr("状态"), w: 400 }
    ]
    readonly property int tableWidth: {
        var w = 10 + 5 * (columns.length - 1)
        for (var i = 0; i < columns.length; ++i)
            w += columns[i].w
        return w
    }

    component Cell: Text {
        height: parent ? parent.height : 0
        verticalAlignment: Text.AlignVCenter
        elide: Text.ElideRight
    }

    readonly property string holdInstructions: qsTr("正在持续发送指令，请执行以下操作：\n\n1. 手动断开所有电机的电源\n2. 等待1-2秒\n3. 重新接通电源\n\n系统会自动检测响应，收到响应后将自动停止。\n\n您可以随时点击\"停止强制进入\"按钮取消操作。")

    function getFileName(fullPath) {
        if (!fullPath)
            return ""
        var parts = String(fullPath).split(/[\/\\]/)
        return parts[parts.length - 1]
    }

    function hasNoFile(path) {
        return !path || path === "unknown"
    }

    function modelRowCount() {
        return motorModel ? motorModel.rowCount() : 0
    }

    function copyMap(map) {
        return Object.assign({}, map)
    }

    function setProgress(nodeId, percent, status) {
        var m = copyMap(upgradeProgressMap)
        m[nodeId] = { percent: percent, status: status }
        upgradeProgressMap = m
    }

    function setMotorStatusText(nodeId, status) {
        var m = copyMap(motorStatusMap)
        m[nodeId] = status
        motorStatusMap = m
    }

    function progressEntry(nodeId) {
        var e = upgradeProgressMap[nodeId]
        return (e !== undefined && e !== null && e.percent >= 0) ? e : null
    }

    // The colour of a row's status text follows the row's state and the
    // result of its last operation, whatever the language of the text.
    function statusColor(text, state, result) {
        if (!text)
            return "black"
        if (result === CANopenWrapper.OperationFailed)
            return "red"
        if (result === CANopenWrapper.UpgradeRunning)
            return "blue"
        if (state === CANopenWrapper.Bootloader)
            return "green"
        return "black"
    }

    function fileNameLines(name) {
        return Math.ceil(name.length / 30)
    }

    function fileBoxHeight(name) {
        return Math.max(30, fileNameLines(name) * 20 + 10)
    }

    // The progress strip's room is always kept, so that a row does not
    // change its height (and move the rows below under the pointer) when an
    // upgrade's bar appears or goes.
    function rowHeight(binFilePath, nodeId) {
        var name = hasNoFile(binFilePath) ? "unknown" : getFileName(binFilePath)
        var h = Math.max(50, fileBoxHeight(name)) + 22
        var text = motorStatusMap[nodeId]
        if (text !== undefined && String(text).length > 50)
            h += 15
        return h
    }

    function updateMatchedFiles() {
        if (!canopen)
            return
        console.log("[MotorListPage] Matched files updated, model has", modelRowCount(), "items")
    }

    function matchFiles() {
        if (!canopen || selectedFolderPath === "")
            return
        canopen.cacheDirectoryBinFiles(selectedFolderPath)
        canopen.matchBinFiles(selectedFolderPath)
        updateMatchedFiles()
    }

    // The controller's busy node ids as a script array.
    function busyList() {
        return canopen ? Array.from(canopen.busyNodes) : []
    }

    function operationPending(nodeId) {
        return canopen !== null && busyList().indexOf(nodeId) >= 0
    }

    function exitBootloaderForAll() {
        if (!canopen || !motorModel)
            return
        for (var i = 0; i < motorModel.rowCount(); ++i) {
            var idx = motorModel.index(i, 0)
            var nodeId = motorModel.data(idx, MotorListModel.NodeIdRole)
            var state = motorModel.data(idx, MotorListModel.MotorStatusRole)
            // A motor whose upgrade is queued or running is left to it.
            if (state === CANopenWrapper.Bootloader && !operationPending(nodeId))
                canopen.exitBootloader(nodeId)
        }
    }

    function startHold() {
        if (!canopen)
            return
        canopen.startPreventAppStartAllInteractive()
        holdDialog.open()
    }

    function stopHold() {
        if (!canopen)
            return
        canopen.stopPreventAppStartAllInteractive()
        holdDialog.close()
    }

    function closeWindow() {
        // The page sits in the window's content item, whose parent chain ends
        // before the window itself; the attached property names the window.
        var w = motorListPage.Window.window
        if (w)
            w.hide()
    }

    function openFileDialogFor(nodeId) {
        fileDialog.motorNodeId = nodeId
        fileDialog.open()
    }

    function applyChosenFolder(url) {
        selectedFolderPath = canopen ? canopen.urlToLocalPath(url) : ""
        console.log("[MotorListPage] Selected folder:", selectedFolderPath)
    }

    // The folder the dialog hands over: the one selected in its list, or,
    // with nothing selected there, the folder it shows (one usually opens the
    // firmware folder itself, which has no sub-folders to select).
    function acceptedFolder(selected, current) {
        var s = selected ? String(selected) : ""
        return s !== "" ? s : (current ? String(current) : "")
    }

    function applyChosenFile(nodeId, url) {
        if (nodeId < 0 || !motorModel) {
            console.log("[MotorListPage] Error: motorNodeId=", nodeId, "motorModel=", motorModel)
            return
        }
        if (!url || String(url) === "") {
            console.log("[MotorListPage] Error: No file selected or invalid fileUrl")
            return
        }
        var path = canopen ? canopen.urlToLocalPath(url) : ""
        console.log("[MotorListPage] Setting file path for node", nodeId, ":", path)
        motorModel.setBinFilePath(nodeId, path)
        console.log("[MotorListPage] File path updated, verify:", motorModel.getBinFilePath(nodeId))
    }

    Timer {
        id: clearTimer
        interval: 2000
        repeat: false
        onTriggered: {
            if (motorListPage.pendingClearNodes.length === 0)
                return
            var m = motorListPage.copyMap(motorListPage.upgradeProgressMap)
            for (var i = 0; i < motorListPage.pendingClearNodes.length; ++i)
                delete m[motorListPage.pendingClearNodes[i]]
            motorListPage.upgradeProgressMap = m
            motorListPage.pendingClearNodes = []
        }
    }

    Connections {
        target: motorListPage.canopen
        function onMotorsListUpdated() {
            console.log("[MotorListPage] Motor list updated, model has", motorListPage.modelRowCount(), "items")
        }
        function onPreventAppStartAllCompleted(successCount, totalCount) {
            holdDialog.close()
        }
    }

    Connections {
        target: motorListPage.canopen
        function onUpgradeProgressPercent(nodeId, percent, status) {
            motorListPage.setProgress(nodeId, percent, status)
        }
        function onUpgradeCompleted(nodeId, success) {
            if (success)
                motorListPage.setProgress(nodeId, 100, qsTr("升级成功"))
            else
                motorListPage.setProgress(nodeId, 0, qsTr("升级失败"))
            if (motorListPage.pendingClearNodes.indexOf(nodeId) < 0) {
                var pending = motorListPage.pendingClearNodes.slice()
                pending.push(nodeId)
                motorListPage.pendingClearNodes = pending
            }
            if (!clearTimer.running)
                clearTimer.start()
        }
        function onMotorStatusChanged(nodeId, status) {
            motorListPage.setMotorStatusText(nodeId, status)
        }
    }

    ColumnLayout {
        anchors.fill: parent
        anchors.margins: 10
        spacing: 10

        RowLayout {
            Layout.fillWidth: true
            spacing: 6

            Button {
                objectName: "chooseFolderButton"
                text: qsTr("选择固件文件夹")
                onClicked: folderDialog.open()
            }
            Button {
                objectName: "matchFilesButton"
                text: qsTr("匹配.bin文件")
                enabled: motorListPage.selectedFolderPath !== ""
                onClicked: motorListPage.matchFiles()
            }
            Button {
                objectName: "enterBootloaderAllButton"
                text: qsTr("进入Bootloader")
                onClicked: if (motorListPage.canopen) motorListPage.canopen.enterBootloaderAll()
            }
            Button {
                objectName: "exitBootloaderAllButton"
                text: qsTr("退出Bootloader")
                onClicked: motorListPage.exitBootloaderForAll()
            }
            Button {
                objectName: "startHoldButton"
                text: qsTr("强制进入Bootloader")
                onClicked: motorListPage.startHold()
            }
            Button {
                objectName: "stopHoldButton"
                text: qsTr("停止强制进入")
                onClicked: motorListPage.stopHold()
            }
            Label {
                objectName: "folderLabel"
                Layout.fillWidth: true
                Layout.minimumWidth: 80
                elide: Text.ElideMiddle
                text: motorListPage.selectedFolderPath !== ""
                      ? qsTr("文件夹: %1").arg(motorListPage.getFileName(motorListPage.selectedFolderPath))
                      : qsTr("未选择文件夹")
            }
            Button {
                objectName: "refreshAllButton"
                text: qsTr("刷新状态")
                Layout.fillWidth: true
                onClicked: if (motorListPage.canopen) motorListPage.canopen.refreshAllMotorStatus()
            }
            Button {
                objectName: "upgradeAllButton"
                text: qsTr("全部升级")
                Layout.fillWidth: true
                onClicked: if (motorListPage.canopen) motorListPage.canopen.upgradeAllMatched()
            }
            Button {
                objectName: "closeWindowButton"
                text: qsTr("关闭窗口")
                onClicked: motorListPage.closeWindow()
            }
        }

        Controls.ScrollView {
            id: tableScroll
            Layout.fillWidth: true
            Layout.fillHeight: true
            clip: true
            // The columns are wider than the window: keep the horizontal bar
            // in sight so the status column can be found.
            ScrollBar.horizontal.policy: motorListView.contentWidth > motorListView.width ? ScrollBar.AlwaysOn
                                                                                          : ScrollBar.AsNeeded

            ListView {
                id: motorListView
                objectName: "motorListView"
                clip: true
                model: motorListPage.motorModel
                contentWidth: motorListPage.tableWidth
                flickableDirection: Flickable.AutoFlickIfNeeded
                boundsBehavior: Flickable.StopAtBounds
                headerPositioning: ListView.OverlayHeader

                header: Rectangle {
                    z: 2
                    width: Math.max(motorListView.width, motorListPage.tableWidth)
                    height: 40
                    color: "#e0e0e0"
                    border.color: "#aaa"
                    border.width: 1

                    Row {
                        id: headerRow
                        x: 5
                        y: 5
                        height: parent.height - 10
                        spacing: 5

                        Repeater {
                            model: motorListPage.columns
                            delegate: Text {
                                required property var modelData
                                width: modelData.w
                                height: headerRow.height
                                text: modelData.t
                                font.bold: true
                                verticalAlignment: Text.AlignVCenter
                                elide: Text.ElideRight
                            }
                        }
                    }
                }

                delegate: Rectangle {
                    id: rowItem

                    required property int index
                    required property var model

                    readonly property var nodeId: model.nodeId
                    readonly property string binFilePath: model.binFilePath !== undefined ? model.binFilePath : ""
                    readonly property bool noFile: motorListPage.hasNoFile(binFilePath)
                    readonly property int motorState: model.motorStatus !== undefined ? model.motorStatus
                                                                                      : CANopenWrapper.Available
                    readonly property int lastResult: model.lastResult !== undefined ? model.lastResult
                                                                                     : CANopenWrapper.NoResult
                    readonly property string shownFileName: noFile ? "unknown" : motorListPage.getFileName(binFilePath)
                    readonly property var progress: motorListPage.progressEntry(nodeId)
                    readonly property string statusText: {
                        var t = motorListPage.motorStatusMap[nodeId]
                        return t !== undefined ? String(t) : ""
                    }
                    readonly property bool controllerSet: motorListPage.canopen !== null
                    readonly property bool opPending: controllerSet
                                                      && motorListPage.operationPending(nodeId)

                    objectName: "motorRow" + index
                    width: Math.max(motorListView.width, motorListPage.tableWidth)
                    height: motorListPage.rowHeight(binFilePath, nodeId)
                    border.color: "#ddd"
                    border.width: 1
                    color: {
                        var odd = (index % 2) === 1
                        if (binFilePath === "")
                            return odd ? "#f0f0f0" : "#ffffff"
                        if (binFilePath === "unknown")
                            return odd ? "#ffebee" : "#ffcdd2"
                        return odd ? "#e8f5e9" : "#c8e6c9"
                    }

                    Row {
                        id: cellRow
                        x: 5
                        y: 5
                        spacing: 5
                        height: rowItem.height - 10 - 22

                        Cell { width: 60; text: rowItem.nodeId !== undefined ? String(rowItem.nodeId) : "" }
                        Cell {
                            width: 80
                            text: rowItem.model.deviceType === 0 ? "socketcan"
                                  : rowItem.model.deviceType === 4 ? "canalyst-II"
                                  : String(rowItem.model.deviceType)
                        }
                        Cell { width: 60; text: String(rowItem.model.deviceIndex) }
                        Cell { width: 60; text: String(rowItem.model.canChannel) }
                        Cell { width: 80; text: rowItem.model.bitrate + " kbps" }
                        Cell { width: 120; text: rowItem.model.firmwareModel; elide: Text.ElideRight }
                        Cell { width: 80; text: rowItem.model.brakeSuffix }
                        Cell { width: 120; text: rowItem.model.encoderName; elide: Text.ElideRight }
                        Cell { width: 120; text: rowItem.model.version }

                        Item {
                            width: 300
                            height: cellRow.height

                            Row {
                                anchors.verticalCenter: parent.verticalCenter
                                spacing: 5

                                Rectangle {
                                    objectName: "fileBox"
                                    width: 250
                                    height: motorListPage.fileBoxHeight(rowItem.shownFileName)
                                    color: "white"
                                    border.color: "#ccc"
                                    border.width: 1

                                    Text {
                                        objectName: "fileNameText"
                                        anchors.fill: parent
                                        anchors.margins: 5
                                        font.pixelSize: 10
                                        wrapMode: Text.Wrap
                                        verticalAlignment: Text.AlignVCenter
                                        text: rowItem.shownFileName
                                        color: rowItem.noFile ? "red" : "black"
                                    }

                                    MouseArea {
                                        objectName: "fileBoxArea"
                                        anchors.fill: parent
                                        onClicked: {
                                            if (rowItem.noFile)
                                                motorListPage.openFileDialogFor(rowItem.nodeId)
                                        }
                                    }
                                }

                                Button {
                                    objectName: "chooseFileButton"
                                    width: 40
                                    height: 30
                                    anchors.verticalCenter: parent.verticalCenter
                                    text: qsTr("选择")
                                    font.pixelSize: 9
                                    padding: 2
                                    onClicked: motorListPage.openFileDialogFor(rowItem.nodeId)
                                }
                            }
                        }

                        Item {
                            width: 250
                            height: cellRow.height

                            Row {
                                anchors.verticalCenter: parent.verticalCenter
                                spacing: 3

                                Button {
                                    objectName: "refreshButton"
                                    width: 45
                                    height: 30
                                    padding: 2
                                    font.pixelSize: 9
                                    text: qsTr("刷新")
                                    enabled: rowItem.controllerSet && rowItem.motorState !== CANopenWrapper.Busy
                                    onClicked: motorListPage.canopen.refreshMotorStatus(rowItem.nodeId)
                                }
                                Button {
                                    objectName: "enterBlButton"
                                    width: 45
                                    height: 30
                                    padding: 2
                                    font.pixelSize: 9
                                    text: qsTr("进入BL")
                                    enabled: rowItem.controllerSet && rowItem.motorState === CANopenWrapper.Available
                                    onClicked: motorListPage.canopen.enterBootloader(rowItem.nodeId)
                                }
                                Button {
                                    objectName: "exitBlButton"
                                    width: 45
                                    height: 30
                                    padding: 2
                                    font.pixelSize: 9
                                    text: qsTr("退出BL")
                                    enabled: rowItem.controllerSet && rowItem.motorState === CANopenWrapper.Bootloader && !rowItem.opPending
                                    onClicked: motorListPage.canopen.exitBootloader(rowItem.nodeId)
                                }
                                Button {
                                    objectName: "holdBlButton"
                                    width: 50
                                    height: 30
                                    padding: 2
                                    font.pixelSize: 9
                                    text: qsTr("强制BL")
                                    enabled: rowItem.controllerSet && rowItem.motorState === CANopenWrapper.Available
                                    onClicked: motorListPage.canopen.preventAppStartForDuration(rowItem.nodeId, 5000)
                                }
                                Button {
                                    objectName: "upgradeButton"
                                    width: 55
                                    height: 30
                                    padding: 2
                                    font.pixelSize: 9
                                    text: qsTr("升级")
                                    enabled: rowItem.controllerSet && rowItem.motorState === CANopenWrapper.Bootloader && !rowItem.noFile
                                             && !rowItem.opPending
                                    onClicked: motorListPage.canopen.upgradeMotor(rowItem.nodeId, rowItem.binFilePath)
                                }
                            }
                        }

                        Text {
                            id: statusCell
                            objectName: "statusText"
                            width: 400
                            height: cellRow.height
                            verticalAlignment: Text.AlignVCenter
                            text: rowItem.statusText
                            font.pixelSize: 10
                            wrapMode: Text.Wrap
                            maximumLineCount: 2
                            elide: Text.ElideRight
                            color: motorListPage.statusColor(rowItem.statusText, rowItem.motorState, rowItem.lastResult)

                            readonly property bool wantsToolTip: text !== ""
                                                                 && (text.length > 50 || text.indexOf("\n") >= 0)

                            MouseArea {
                                id: statusHover
                                anchors.fill: parent
                                hoverEnabled: true
                                acceptedButtons: Qt.NoButton
                            }

                            ToolTip.visible: wantsToolTip && statusHover.containsMouse
                            ToolTip.delay: 500
                            ToolTip.text: text
                        }
                    }

                    Item {
                        id: progressStrip
                        objectName: "progressStrip"
                        visible: rowItem.progress !== null
                        // The row is wider than the view: the strip spans the part
                        // of the row in sight, so bar and text are never scrolled away.
                        x: Math.max(0, Math.min(motorListView.contentX - motorListView.originX,
                                                rowItem.width - motorListView.width)) + 5
                        width: Math.min(rowItem.width, motorListView.width) - 10
                        anchors.bottom: parent.bottom
                        anchors.bottomMargin: 2
                        height: visible ? 20 : 0

                        Row {
                            anchors.verticalCenter: parent.verticalCenter
                            spacing: 10

                            ProgressBar {
                                objectName: "upgradeProgressBar"
                                width: progressStrip.width - 200
                                height: 16
                                from: 0
                                to: 100
                                value: rowItem.progress !== null ? rowItem.progress.percent : 0
                            }
                            Text {
                                objectName: "upgradeProgressText"
                                width: 190
                                height: 16
                                font.pixelSize: 10
                                elide: Text.ElideRight
                                verticalAlignment: Text.AlignVCenter
                                text: rowItem.progress !== null ? rowItem.progress.status : ""
                            }
                        }
                    }
                }
            }
        }

        Label {
            objectName: "statusLabel"
            Layout.fillWidth: true
            wrapMode: Text.Wrap
            text: qsTr("状态: %1").arg(motorListPage.canopen ? motorListPage.canopen.statusMessage : "")
        }
    }

    FolderDialog {
        id: folderDialog
        title: qsTr("选择固件文件夹")
        // Qt's own dialog enables "Open" only for a selected folder, and
        // selects nothing in a folder without sub-folders (the usual firmware
        // folder): selecting the folder being shown lets "Open" take it.
        function keepShownFolderSelected() {
            if (visible && String(selectedFolder) === "" && String(currentFolder) !== "")
                selectedFolder = currentFolder
        }
        onVisibleChanged: keepShownFolderSelected()
        onCurrentFolderChanged: keepShownFolderSelected()
        onSelectedFolderChanged: keepShownFolderSelected()
        onAccepted: motorListPage.applyChosenFolder(motorListPage.acceptedFolder(selectedFolder, currentFolder))
    }

    FileDialog {
        id: fileDialog
        property int motorNodeId: -1
        title: qsTr("选择固件文件")
        nameFilters: [qsTr("Bin文件 (*.bin)"), qsTr("所有文件 (*.*)")]
        fileMode: FileDialog.OpenFile
        onAccepted: motorListPage.applyChosenFile(motorNodeId, selectedFile)
    }

    Dialog {
        id: holdDialog
        objectName: "holdDialog"
        title: qsTr("强制进入Bootloader")
        modal: true
        width: 500
        height: 300
        parent: Overlay.overlay
        x: parent ? (parent.width - width) / 2 : 0
        y: parent ? (parent.height - height) / 2 : 0

        ColumnLayout {
            anchors.fill: parent
            anchors.margins: 20
            spacing: 20

            Label {
                objectName: "holdText"
                Layout.fillWidth: true
                Layout.fillHeight: true
                wrapMode: Text.WordWrap
                text: motorListPage.holdInstructions
            }
            Button {
                objectName: "holdOkButton"
                text: qsTr("确定")
                Layout.alignment: Qt.AlignHCenter
                onClicked: holdDialog.close()
            }
        }
    }
}
