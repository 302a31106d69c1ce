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
    property var motorModel: canopen ? canopen.motorListModel : null
    property bool logShown: false

    readonly property alias folderDialog: folderDialog

    // The firmware folder of the last run, while no other is chosen.
    function restoreFolder() {
        if (canopen && selectedFolderPath === "")
            selectedFolderPath = String(canopen.setting("files/folder", ""))
    }
    onCanopenChanged: { restoreFolder(); restoreHiddenColumns() }
    Component.onCompleted: { restoreFolder(); restoreHiddenColumns() }
    readonly property alias fileDialog: fileDialog
    readonly property alias holdDialog: holdDialog
    readonly property alias recordDialog: recordDialog
    readonly property alias historyDialog: historyDialog
    readonly property alias upgradeAllDialog: upgradeAllDialog
    readonly property alias downgradeDialog: downgradeDialog
    readonly property alias listView: motorListView

    // The rows as the table shows them: sorted and filtered.
    property var tableModel: canopen ? canopen.motorTable : null
    readonly property alias summaryBox: summaryBox
    readonly property alias everythingDialog: everythingDialog
    readonly property alias columnsPopup: columnsPopup

    // Bumped when the rows' texts change: the columns fit them again.
    property int contentRevision: 0
    FontMetrics { id: cellMetrics }
    FontMetrics { id: headerMetrics; font.bold: true }

    // A column as wide as its longest text (header or cell, with `suffix`),
    // at least `min`.
    function fitWidth(header, role, suffix, min) {
        var rev = contentRevision
        var t = motorModel && role > 0 && rev >= 0 ? motorModel.longestText(role) + suffix : ""
        return Math.ceil(Math.max(min, headerMetrics.advanceWidth(header) + 14, cellMetrics.advanceWidth(t) + 8))
    }

    // Table columns: key, header text, the role it sorts by (0: none), width
    // and whether it is shown; rows use the same widths. The node id column
    // stays in sight when the table scrolls sideways; the status column takes
    // what the view leaves. Node id, actions and status cannot be hidden.
    readonly property var columns: [
        { k: "node", p: true, v: true, t: qsTr("节点ID"), r: MotorListModel.NodeIdRole, w: Math.max(fitWidth(qsTr("节点ID"), 0, "", 60), cellMetrics.advanceWidth(qsTr("进行中")) + 28, cellMetrics.advanceWidth(phaseText(MotorListModel.PhaseRunning)) + 12) },
        { k: "adapter", v: columnShown("adapter"), t: qsTr("设备类型"), r: MotorListModel.AdapterNameRole, w: fitWidth(qsTr("设备类型"), MotorListModel.AdapterNameRole, "", 40) },
        { k: "device", v: columnShown("device"), t: qsTr("设备索引"), r: MotorListModel.DeviceIndexRole, w: fitWidth(qsTr("设备索引"), MotorListModel.DeviceIndexRole, "", 30) },
        { k: "channel", v: columnShown("channel"), t: qsTr("CAN通道"), r: MotorListModel.CanChannelRole, w: fitWidth(qsTr("CAN通道"), MotorListModel.CanChannelRole, "", 30) },
        { k: "bitrate", v: columnShown("bitrate"), t: qsTr("波特率"), r: MotorListModel.BitrateRole, w: fitWidth(qsTr("波特率"), MotorListModel.BitrateRole, " kbps", 40) },
        { k: "model", v: columnShown("model"), t: qsTr("固件型号"), r: MotorListModel.FirmwareModelRole, w: Math.min(120, fitWidth(qsTr("固件型号"), MotorListModel.FirmwareModelRole, "", 40)) },
        { k: "brake", v: columnShown("brake"), t: qsTr("刹车后缀"), r: MotorListModel.BrakeSuffixRole, w: fitWidth(qsTr("刹车后缀"), MotorListModel.BrakeSuffixRole, "", 30) },
        { k: "encoder", v: columnShown("encoder"), t: qsTr("编码器"), r: MotorListModel.EncoderNameRole, w: Math.min(120, fitWidth(qsTr("编码器"), MotorListModel.EncoderNameRole, "", 40)) },
        { k: "version", v: columnShown("version"), t: qsTr("版本"), r: MotorListModel.VersionRole, w: Math.min(120, fitWidth(qsTr("版本"), MotorListModel.VersionRole, "", 40)) },
        { k: "fileVersion", v: columnShown("fileVersion"), t: qsTr("文件版本"), r: MotorListModel.FileVersionRole, w: 100 },
        { k: "file", v: columnShown("file"), t: qsTr("固件文件"), r: MotorListModel.BinFilePathRole, w: 250 },
        { k: "actions", p: true, v: true, t: qsTr("操作"), r: 0, w: 250 },
        { k: "status", p: true, v: true, t: qsTr("状态"), r: MotorListModel.StatusTextRole, w: statusWidth }
    ]
    // The shown columns before the status, with the spacing after each; a
    // hidden column takes no room.
    readonly property int fixedWidth: {
        var w = 10
        for (var i = 0; i < 12; ++i) {
            if (columns[i].v)
                w += columns[i].w + 5
        }
        return w
    }

    // The keys of the columns the user hid, remembered between runs.
    property var hiddenColumns: []
    function columnShown(key) {
        return hiddenColumns.indexOf(key) < 0
    }
    function setColumnShown(key, shown) {
        var hidden = hiddenColumns.filter(function (k) { return k !== key })
        if (!shown)
            hidden.push(key)
        hiddenColumns = hidden
        if (canopen)
            canopen.setSetting("table/hiddenColumns", hidden.join(","))
    }
    function restoreHiddenColumns() {
        var saved = canopen ? String(canopen.setting("table/hiddenColumns", "")) : ""
        hiddenColumns = saved === "" ? [] : saved.split(",")
    }
    readonly property int statusWidth: Math.max(260, (motorListView ? motorListView.width : 0) - fixedWidth - 14)
    readonly property int tableWidth: fixedWidth + statusWidth

    // A row's phase as a word: rows differ by more than their colour.
    function phaseText(phase) {
        switch (phase) {
        case MotorListModel.PhaseQueued: return qsTr("排队中")
        case MotorListModel.PhaseRunning: return qsTr("进行中")
        case MotorListModel.PhaseSucceeded: return qsTr("✓ 成功")
        case MotorListModel.PhaseFailed: return qsTr("✗ 失败")
        case MotorListModel.PhaseCancelled: return qsTr("已取消")
        default: return ""
        }
    }

    function phaseColor(phase) {
        switch (phase) {
        case MotorListModel.PhaseQueued: return "#616161"
        case MotorListModel.PhaseRunning: return "#1565c0"
        case MotorListModel.PhaseSucceeded: return "#2e7d32"
        case MotorListModel.PhaseFailed: return "#c62828"
        case MotorListModel.PhaseCancelled: return "#e65100"
        default: return "black"
        }
    }

    // The row's background: its phase when it has one, else whether it has a file.
    function rowColor(phase, odd, binFilePath, noFile) {
        switch (phase) {
        case MotorListModel.PhaseQueued: return odd ? "#f5f5f5" : "#eeeeee"
        case MotorListModel.PhaseRunning: return odd ? "#e3f2fd" : "#bbdefb"
        case MotorListModel.PhaseSucceeded: return odd ? "#c5e1a5" : "#aed581"
        case MotorListModel.PhaseFailed: return odd ? "#ffcdd2" : "#ef9a9a"
        case MotorListModel.PhaseCancelled: return odd ? "#fff3e0" : "#ffe0b2"
        }
        if (binFilePath === "")
            return odd ? "#f0f0f0" : "#ffffff"
        if (noFile)
            return odd ? "#ffebee" : "#ffcdd2"
        return odd ? "#e8f5e9" : "#c8e6c9"
    }

    // Sideways by `delta` (a wheel's step), kept within the table.
    function scrollSideways(delta) {
        var v = motorListView
        var max = v.originX + Math.max(0, v.contentWidth - v.width)
        v.contentX = Math.max(v.originX, Math.min(max, v.contentX - delta))
    }

    // A button whose action also has a key: the tool tip names it.
    component KeyButton: Button {
        property string keys: ""
        ToolTip.visible: hovered && keys !== ""
        ToolTip.delay: 500
        ToolTip.text: qsTr("快捷键：%1").arg(keys)
    }

    // A cell's text; cut short, it shows whole in a tool tip.
    component Cell: Text {
        height: parent ? parent.height : 0
        verticalAlignment: Text.AlignVCenter
        elide: Text.ElideRight
        HoverHandler { id: cellHover; enabled: parent.truncated }
        ToolTip.visible: truncated && cellHover.hovered
        ToolTip.delay: 500
        ToolTip.text: text
    }

    readonly property string holdInstructions: qsTr("正在持续发送指令，请执行以下操作：\n\n1. 手动断开所有电机的电源\n2. 等待1-2秒\n3. 重新接通电源\n\n系统会自动检测响应，收到响应后将自动停止。\n\n您可以随时点击\"停止强制进入\"按钮取消操作。")

    function getFileName(fullPath) {
        if (!fullPath)
            return ""
        var parts = String(fullPath).split(/[\/\\]/)
        return parts[parts.length - 1]
    }

    function modelRowCount() {
        return motorModel ? motorModel.rowCount() : 0
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

    // A file that matching paired only loosely, or as one of several made
    // for the motor: the box has room for its mark below the name.
    function matchMarked(matchKind) {
        return matchKind === MotorListModel.MatchLoose || matchKind === MotorListModel.MatchSeveralExact
    }

    readonly property int matchMarkHeight: 14

    // The progress strip's room is always kept, so that a row does not
    // change its height (and move the rows below under the pointer) when an
    // upgrade's bar appears or goes.
    function rowHeight(shownFileName, statusText, marked) {
        var h = Math.max(50, fileBoxHeight(shownFileName) + (marked ? matchMarkHeight : 0)) + 22
        if (statusText && String(statusText).length > 50)
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

    // The mark beside the file's version: what upgrading the motor with it means.
    function versionMark(check) {
        switch (check) {
        case MotorListModel.FileCurrent: return qsTr("已是最新")
        case MotorListModel.FileOlder: return qsTr("降级")
        case MotorListModel.FileWithoutVersion: return qsTr("文件名无版本")
        default: return ""
        }
    }

    function versionMarkColor(check) {
        if (check === MotorListModel.FileCurrent)
            return "#2e7d32"
        if (check === MotorListModel.FileOlder)
            return "#e65100"
        return "#757575"
    }

    // A row's upgrade; a downgrade is confirmed first.
    function upgradeRow(nodeId, path, versionCheck, version, fileVersion) {
        if (!canopen)
            return
        if (versionCheck === MotorListModel.FileOlder) {
            downgradeDialog.nodeId = nodeId
            downgradeDialog.path = path
            downgradeDialog.version = version
            downgradeDialog.fileVersion = fileVersion
            downgradeDialog.open()
            return
        }
        canopen.upgradeMotor(nodeId, path)
    }

    function stateWord(state) {
        switch (state) {
        case CANopenWrapper.Bootloader: return qsTr("Bootloader")
        case CANopenWrapper.Disconnected: return qsTr("连接中断")
        case CANopenWrapper.Busy: return qsTr("忙碌")
        default: return qsTr("Available")
        }
    }

    // The header's mark of the column the rows are sorted by.
    function sortMark(role) {
        if (!tableModel || role <= 0 || tableModel.sortedBy !== role)
            return ""
        return tableModel.descending ? " ▼" : " ▲"
    }

    function nodeList(motors) {
        var ids = []
        for (var i = 0; i < motors.length; ++i)
            ids.push(motors[i].nodeId)
        return ids.join(", ")
    }

    // "Upgrade all": motors paired only loosely, and downgrades, are
    // included only when the operator says so.
    function upgradeAll() {
        if (!canopen)
            return
        var review = canopen.upgradeAllReview()
        if (review.length === 0) {
            canopen.upgradeAllMatched()
            return
        }
        var loose = []
        var downgrades = []
        for (var i = 0; i < review.length; ++i) {
            if (review[i].loose)
                loose[loose.length] = review[i]
            if (review[i].downgrade)
                downgrades[downgrades.length] = review[i]
        }
        upgradeAllDialog.loose = loose
        upgradeAllDialog.downgrades = downgrades
        upgradeAllDialog.open()
    }

    function upgradeAllConfirmed(includeLoose, includeDowngrades) {
        if (!canopen)
            return
        var leftOut = []
        var groups = [[upgradeAllDialog.loose, includeLoose], [upgradeAllDialog.downgrades, includeDowngrades]]
        for (var g = 0; g < groups.length; ++g) {
            if (groups[g][1])
                continue
            for (var i = 0; i < groups[g][0].length; ++i)
                leftOut[leftOut.length] = groups[g][0][i].nodeId
        }
        canopen.upgradeAllMatchedExcept(leftOut)
    }

    function exitBootloaderForAll() {
        if (canopen)
            canopen.exitBootloaderAll()
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

    // The row's dialog opens in the chosen firmware folder.
    function openFileDialogFor(nodeId) {
        fileDialog.motorNodeId = nodeId
        if (canopen && selectedFolderPath !== "")
            fileDialog.currentFolder = canopen.localPathToUrl(selectedFolderPath)
        fileDialog.open()
    }

    function exportRecord(url) {
        if (canopen && url && String(url) !== "")
            canopen.exportRecord(canopen.urlToLocalPath(url))
    }

    // A chosen folder is matched at once.
    function applyChosenFolder(url) {
        selectedFolderPath = canopen ? canopen.urlToLocalPath(url) : ""
        if (canopen && selectedFolderPath !== "")
            canopen.setSetting("files/folder", selectedFolderPath)
        console.log("[MotorListPage] Selected folder:", selectedFolderPath)
        matchFiles()
    }

    // Every motor whose file pairs exactly, from its application or its
    // bootloader to its new version; one question first.
    function upgradeEverything() {
        if (!canopen)
            return
        var review = canopen.reviewUpgradeEverything()
        everythingDialog.review = review
        everythingDialog.open()
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

    // The sized columns' texts change with a rebuild, and a version with an
    // upgrade's end: the widths follow, at most a few times a second (a bar's
    // progress, many times a second, changes none of them).
    Connections {
        target: motorListPage.motorModel
        function onDataUpdated() { columnsRefit.restart() }
        function onDataChanged(topLeft, bottomRight, roles) {
            if (roles.length === 0 || roles.indexOf(MotorListModel.VersionRole) >= 0)
                columnsRefit.restart()
        }
    }
    Timer {
        id: columnsRefit
        interval: 300
        onTriggered: motorListPage.contentRevision++
    }

    Connections {
        target: motorListPage.canopen
        function onMotorsListUpdated() {
            console.log("[MotorListPage] Motor list updated, model has", motorListPage.modelRowCount(), "items")
        }
        function onFirmwareFolderChanged() {
            if (motorListPage.canopen.firmwareFolder !== "")
                motorListPage.selectedFolderPath = motorListPage.canopen.firmwareFolder
        }
        function onPreventAppStartAllCompleted(successCount, totalCount) {
            holdDialog.close()
        }
    }

    // The main actions from the keyboard (their buttons name the keys in a tool tip).
    Shortcut { sequence: "Ctrl+O"; onActivated: folderDialog.open() }
    Shortcut { sequence: "Ctrl+M"; onActivated: motorListPage.matchFiles() }
    Shortcut { sequence: "Ctrl+B"; onActivated: if (motorListPage.canopen) motorListPage.canopen.enterBootloaderAll() }
    Shortcut { sequence: "Ctrl+E"; onActivated: motorListPage.exitBootloaderForAll() }
    Shortcut { sequence: "F5"; onActivated: if (motorListPage.canopen) motorListPage.canopen.refreshAllMotorStatus() }
    Shortcut { sequence: "Ctrl+U"; onActivated: motorListPage.upgradeAll() }
    Shortcut { sequence: "Ctrl+Shift+U"; onActivated: motorListPage.upgradeEverything() }
    Shortcut { sequence: "Ctrl+L"; onActivated: motorListPage.logShown = !motorListPage.logShown }
    Shortcut { sequence: "Ctrl+W"; onActivated: motorListPage.closeWindow() }

    ColumnLayout {
        anchors.fill: parent
        anchors.margins: 10
        spacing: 10

        RowLayout {
            Layout.fillWidth: true
            spacing: 6

            KeyButton {
                objectName: "chooseFolderButton"
                keys: "Ctrl+O"
                text: qsTr("选择固件文件夹")
                onClicked: folderDialog.open()
            }
            KeyButton {
                objectName: "matchFilesButton"
                keys: "Ctrl+M"
                text: qsTr("匹配.bin文件")
                enabled: motorListPage.selectedFolderPath !== ""
                onClicked: motorListPage.matchFiles()
            }
            KeyButton {
                objectName: "enterBootloaderAllButton"
                keys: "Ctrl+B"
                text: qsTr("进入Bootloader")
                onClicked: if (motorListPage.canopen) motorListPage.canopen.enterBootloaderAll()
            }
            KeyButton {
                objectName: "exitBootloaderAllButton"
                keys: "Ctrl+E"
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
            KeyButton {
                objectName: "refreshAllButton"
                keys: "F5"
                text: qsTr("刷新状态")
                Layout.fillWidth: true
                onClicked: if (motorListPage.canopen) motorListPage.canopen.refreshAllMotorStatus()
            }
            KeyButton {
                objectName: "upgradeAllButton"
                keys: "Ctrl+U"
                text: qsTr("全部升级")
                Layout.fillWidth: true
                onClicked: motorListPage.upgradeAll()
            }
            KeyButton {
                objectName: "upgradeEverythingButton"
                keys: "Ctrl+Shift+U"
                text: qsTr("一键升级")
                highlighted: true
                ToolTip.text: qsTr("升级文件精确匹配的全部电机（含其他通道上的同号电机）：进入Bootloader、传输、校验、启动，一次确认。快捷键：%1").arg(keys)
                onClicked: motorListPage.upgradeEverything()
            }
            KeyButton {
                objectName: "closeWindowButton"
                keys: "Ctrl+W"
                text: qsTr("关闭窗口")
                onClicked: motorListPage.closeWindow()
            }
        }

        // How the last bulk upgrade ended, naming every motor that failed or
        // was not done, with a way to show only their rows.
        Frame {
            id: summaryBox
            objectName: "summaryBox"
            Layout.fillWidth: true
            readonly property var summary: motorListPage.canopen ? motorListPage.canopen.upgradeSummary : ({})
            readonly property var problems: summary.problems !== undefined ? summary.problems : []
            visible: summary.ok !== undefined
            padding: 6

            ColumnLayout {
                anchors.fill: parent
                spacing: 4
                RowLayout {
                    Layout.fillWidth: true
                    Label {
                        objectName: "summaryText"
                        Layout.fillWidth: true
                        wrapMode: Text.Wrap
                        font.bold: true
                        color: summaryBox.problems.length > 0 ? "#c62828" : "#2e7d32"
                        text: qsTr("升级结果：成功 %1 个，失败 %2 个，未完成 %3 个")
                              .arg(summaryBox.summary.ok || 0).arg(summaryBox.summary.failed || 0)
                              .arg(summaryBox.summary.cancelled || 0)
                    }
                    Button {
                        objectName: "showProblemsButton"
                        visible: summaryBox.problems.length > 0
                        text: motorListPage.tableModel && motorListPage.tableModel.filter === MotorTableModel.ShowProblems
                              ? qsTr("显示全部行") : qsTr("只显示失败和未完成的行")
                        onClicked: motorListPage.tableModel.filter =
                                   motorListPage.tableModel.filter === MotorTableModel.ShowProblems
                                   ? MotorTableModel.ShowAll : MotorTableModel.ShowProblems
                    }
                    Button {
                        objectName: "closeSummaryButton"
                        text: qsTr("关闭")
                        onClicked: motorListPage.canopen.clearUpgradeSummary()
                    }
                }
                ListView {
                    id: problemList
                    objectName: "problemList"
                    Layout.fillWidth: true
                    Layout.preferredHeight: Math.min(contentHeight, 90)
                    visible: count > 0
                    clip: true
                    model: summaryBox.problems
                    ScrollBar.vertical: ScrollBar {}
                    delegate: Text {
                        required property var modelData
                        width: problemList.width
                        font.pixelSize: 11
                        elide: Text.ElideRight
                        color: modelData.cancelled ? "#e65100" : "#c62828"
                        text: qsTr("%1 · 通道 %2 · 节点 %3 · %4")
                              .arg(modelData.cancelled ? qsTr("未完成") : qsTr("失败"))
                              .arg(modelData.channel).arg(modelData.nodeId).arg(modelData.reason)
                    }
                }
            }
        }

        // Which rows show.
        RowLayout {
            Layout.fillWidth: true
            spacing: 6
            Label { text: qsTr("显示：") }
            ComboBox {
                id: filterCombo
                objectName: "filterCombo"
                Layout.preferredWidth: 200
                model: [qsTr("全部"), qsTr("失败和未完成"), qsTr("失败"), qsTr("已取消"), qsTr("成功"),
                        qsTr("进行中"), qsTr("排队中"), qsTr("Bootloader中"), qsTr("没有文件")]
                currentIndex: motorListPage.tableModel ? motorListPage.tableModel.filter : 0
                onActivated: function (i) { if (motorListPage.tableModel) motorListPage.tableModel.filter = i }
            }
            Label {
                objectName: "rowCountLabel"
                text: motorListPage.tableModel ? qsTr("%1 / %2 行").arg(motorListPage.tableModel.shownCount)
                                                 .arg(motorListPage.tableModel.totalCount) : ""
            }
            // Which columns show: a narrow screen can drop the ones not needed.
            Button {
                id: columnsButton
                objectName: "columnsButton"
                text: qsTr("列…")
                onClicked: columnsPopup.opened ? columnsPopup.close() : columnsPopup.open()

                Popup {
                    id: columnsPopup
                    objectName: "columnsPopup"
                    y: columnsButton.height
                    padding: 6
                    Column {
                        Repeater {
                            model: motorListPage.columns.length
                            delegate: CheckBox {
                                required property int index
                                readonly property var column: motorListPage.columns[index]
                                objectName: "columnToggle_" + column.k
                                visible: !column.p
                                text: column.t
                                checked: column.v
                                onToggled: {
                                    motorListPage.setColumnShown(column.k, checked)
                                    checked = Qt.binding(function () { return column.v })
                                }
                            }
                        }
                    }
                }
            }
            Label {
                Layout.fillWidth: true
                horizontalAlignment: Text.AlignRight
                color: "#757575"
                font.pixelSize: 11
                elide: Text.ElideRight
                text: qsTr("点击列标题排序；Shift+滚轮横向滚动")
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
                model: motorListPage.tableModel
                contentWidth: motorListPage.tableWidth
                flickableDirection: Flickable.AutoFlickIfNeeded
                boundsBehavior: Flickable.StopAtBounds
                headerPositioning: ListView.OverlayHeader

                // Shift and the wheel scroll sideways.
                WheelHandler {
                    objectName: "sidewaysWheel"
                    target: null
                    acceptedModifiers: Qt.ShiftModifier
                    onWheel: function (event) {
                        motorListPage.scrollSideways(event.angleDelta.y !== 0 ? event.angleDelta.y : event.angleDelta.x)
                    }
                }

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
                            // A fixed count: a new width or a hidden column
                            // changes the header's cells, it does not remake them.
                            model: motorListPage.columns.length
                            delegate: Text {
                                required property int index
                                readonly property var column: motorListPage.columns[index]
                                objectName: "header" + index
                                width: column.w
                                visible: column.v
                                height: headerRow.height
                                text: column.t + motorListPage.sortMark(column.r)
                                font.bold: true
                                verticalAlignment: Text.AlignVCenter
                                elide: Text.ElideRight
                                opacity: index === 0 ? 0 : 1
                                TapHandler {
                                    enabled: column.r > 0
                                    onTapped: motorListPage.tableModel.sortBy(column.r)
                                }
                            }
                        }
                    }

                    // The node id's header stays with its column.
                    Rectangle {
                        x: motorListView.contentX - motorListView.originX
                        width: motorListPage.columns[0].w + 7
                        height: parent.height
                        color: parent.color
                        border.color: "#aaa"
                        Text {
                            objectName: "pinnedHeader"
                            x: 5
                            width: parent.width - 7
                            height: parent.height
                            text: motorListPage.columns[0].t + motorListPage.sortMark(MotorListModel.NodeIdRole)
                            font.bold: true
                            verticalAlignment: Text.AlignVCenter
                            elide: Text.ElideRight
                            TapHandler { onTapped: motorListPage.tableModel.sortBy(MotorListModel.NodeIdRole) }
                        }
                    }
                }

                delegate: Rectangle {
                    id: rowItem

                    required property int index
                    required property var model

                    readonly property var nodeId: model.nodeId
                    readonly property string binFilePath: model.binFilePath !== undefined ? model.binFilePath : ""
                    readonly property bool noFile: model.hasFile !== true
                    readonly property int motorState: model.motorStatus !== undefined ? model.motorStatus
                                                                                      : CANopenWrapper.Available
                    readonly property int lastResult: model.lastResult !== undefined ? model.lastResult
                                                                                     : CANopenWrapper.NoResult
                    readonly property string shownFileName: noFile ? qsTr("unknown") : motorListPage.getFileName(binFilePath)
                    readonly property int progress: model.progress !== undefined ? model.progress : -1
                    readonly property string progressText: model.progressText !== undefined ? model.progressText : ""
                    readonly property string statusText: model.statusText !== undefined ? model.statusText : ""
                    readonly property bool controllerSet: motorListPage.canopen !== null
                    readonly property bool opPending: model.busy === true
                    readonly property int matchKind: model.matchKind !== undefined ? model.matchKind : MotorListModel.MatchNone
                    readonly property bool matchMarked: !noFile && motorListPage.matchMarked(matchKind)
                    readonly property string fileVersion: model.fileVersion !== undefined ? model.fileVersion : ""
                    readonly property int versionCheck: model.versionCheck !== undefined ? model.versionCheck
                                                                                         : MotorListModel.NoFileToCheck
                    readonly property string lastError: model.lastError !== undefined ? model.lastError : ""

                    readonly property int phase: model.phase !== undefined ? model.phase : MotorListModel.PhaseIdle

                    objectName: "motorRow" + index
                    width: Math.max(motorListView.width, motorListPage.tableWidth)
                    height: Math.max(motorListPage.rowHeight(shownFileName, statusText, matchMarked),
                                     rowContent.item ? rowContent.item.textsHeight : 0)
                    border.color: "#ddd"
                    border.width: 1
                    color: motorListPage.rowColor(phase, (index % 2) === 1, binFilePath, noFile)

                    // The cells, buttons and bar of a row are made a few at a
                    // time between frames: a list of 120 motors must not hold
                    // the window while it appears.
                    readonly property bool ready: rowContent.status === Loader.Ready

                    // Node id, channel and phase: in sight however far the
                    // table is scrolled sideways.
                    Rectangle {
                        objectName: "pinnedNode"
                        z: 2
                        x: motorListView.contentX - motorListView.originX
                        width: motorListPage.columns[0].w + 7
                        height: rowItem.height - (rowItem.progress >= 0 ? 24 : 0)
                        color: rowItem.color
                        border.color: "#ddd"
                        Column {
                            x: 5
                            anchors.verticalCenter: parent.verticalCenter
                            width: parent.width - 7
                            Text {
                                objectName: "nodeIdText"
                                width: parent.width
                                font.bold: true
                                text: rowItem.nodeId !== undefined ? String(rowItem.nodeId) : ""
                            }
                            Text {
                                objectName: "channelText"
                                width: parent.width
                                font.pixelSize: 10
                                color: "#555"
                                elide: Text.ElideRight
                                text: qsTr("通道 %1.%2").arg(rowItem.model.deviceIndex).arg(rowItem.model.canChannel)
                            }
                            Text {
                                objectName: "phaseText"
                                width: parent.width
                                font.pixelSize: 10
                                font.bold: true
                                elide: Text.ElideRight
                                visible: text !== ""
                                color: motorListPage.phaseColor(rowItem.phase)
                                text: motorListPage.phaseText(rowItem.phase)
                            }
                        }
                    }

                    Loader {
                        id: rowContent
                        anchors.fill: parent
                        asynchronous: true
                        sourceComponent: Item {
                            // The row's height that shows the status and its
                            // reason whole, wrapped as they are.
                            readonly property real textsHeight: statusColumn.height + 10 + 22 + 4

                            Row {
                                id: cellRow
                                x: 5
                                y: 5
                                spacing: 5
                                height: rowItem.height - 10 - 22

                                // The node id is drawn pinned (below); its place stays.
                                Item { width: motorListPage.columns[0].w; height: 1 }
                                Cell { width: motorListPage.columns[1].w; visible: motorListPage.columns[1].v; text: rowItem.model.adapterName }
                                Cell { width: motorListPage.columns[2].w; visible: motorListPage.columns[2].v; text: String(rowItem.model.deviceIndex) }
                                Cell { width: motorListPage.columns[3].w; visible: motorListPage.columns[3].v; text: String(rowItem.model.canChannel) }
                                Cell { width: motorListPage.columns[4].w; visible: motorListPage.columns[4].v; text: rowItem.model.bitrate + " kbps" }
                                // A motor named by the upgrade history, not by its own answer: marked.
                                Cell {
                                    objectName: "modelCell"
                                    width: motorListPage.columns[5].w
                                    visible: motorListPage.columns[5].v
                                    readonly property bool fromHistory: !!rowItem.model.historyNote
                                    text: (fromHistory ? "⟲ " : "") + rowItem.model.firmwareModel
                                    color: fromHistory ? "#8a4b00" : "black"
                                    font.italic: fromHistory
                                }
                                Cell { width: motorListPage.columns[6].w; visible: motorListPage.columns[6].v; text: rowItem.model.brakeSuffix }
                                Cell { width: motorListPage.columns[7].w; visible: motorListPage.columns[7].v; text: rowItem.model.encoderName }
                                Cell { width: motorListPage.columns[8].w; visible: motorListPage.columns[8].v; text: rowItem.model.version }

                                Item {
                                    width: motorListPage.columns[9].w
                                    visible: motorListPage.columns[9].v
                                    height: cellRow.height

                                    Column {
                                        anchors.verticalCenter: parent.verticalCenter
                                        width: parent.width
                                        spacing: 2

                                        Text {
                                            objectName: "fileVersionText"
                                            width: parent.width
                                            elide: Text.ElideRight
                                            text: rowItem.fileVersion
                                            visible: text !== ""
                                        }
                                        Text {
                                            id: versionMark
                                            objectName: "versionMarkText"
                                            width: parent.width
                                            font.pixelSize: 10
                                            font.bold: rowItem.versionCheck === MotorListModel.FileOlder
                                            elide: Text.ElideRight
                                            text: motorListPage.versionMark(rowItem.versionCheck)
                                            color: motorListPage.versionMarkColor(rowItem.versionCheck)
                                            visible: text !== ""

                                            MouseArea {
                                                id: versionMarkHover
                                                anchors.fill: parent
                                                hoverEnabled: true
                                                acceptedButtons: Qt.NoButton
                                            }
                                            ToolTip.visible: versionMarkHover.containsMouse
                                                             && rowItem.versionCheck === MotorListModel.FileWithoutVersion
                                            ToolTip.delay: 500
                                            ToolTip.text: qsTr("文件名中没有版本号（V<a>_<b>_<c>_<d>）：不比较版本，启动后也不核对版本")
                                        }
                                    }
                                }

                                Item {
                                    width: motorListPage.columns[10].w
                                    visible: motorListPage.columns[10].v
                                    height: cellRow.height

                                    Row {
                                        anchors.verticalCenter: parent.verticalCenter
                                        spacing: 5

                                        Rectangle {
                                            objectName: "fileBox"
                                            width: motorListPage.columns[10].w - 50
                                            height: motorListPage.fileBoxHeight(rowItem.shownFileName)
                                                    + (rowItem.matchMarked ? motorListPage.matchMarkHeight : 0)
                                            color: rowItem.matchMarked ? "#fff3e0" : "white"
                                            border.color: rowItem.matchMarked ? "#fb8c00" : "#ccc"
                                            border.width: rowItem.matchMarked ? 2 : 1

                                            ToolTip.visible: rowItem.matchMarked && fileBoxArea.containsMouse
                                            ToolTip.delay: 500
                                            ToolTip.text: rowItem.matchKind === MotorListModel.MatchLoose
                                                          ? qsTr("文件名不以 %1 开头：它只是按命名规则匹配，可能不是为此电机生成的")
                                                            .arg(rowItem.model.firmwareModel + "_" + rowItem.model.encoderName + "_"
                                                                 + rowItem.model.brakeSuffix)
                                                          : qsTr("文件夹中有多个为此电机生成的文件，已取第一个；请只保留其中一个")

                                            Text {
                                                objectName: "fileNameText"
                                                anchors.fill: parent
                                                anchors.margins: 5
                                                anchors.bottomMargin: rowItem.matchMarked ? 5 + motorListPage.matchMarkHeight : 5
                                                font.pixelSize: 10
                                                wrapMode: Text.Wrap
                                                verticalAlignment: Text.AlignVCenter
                                                text: rowItem.shownFileName
                                                color: rowItem.noFile ? "red" : "black"
                                            }

                                            Text {
                                                objectName: "matchMarkText"
                                                visible: rowItem.matchMarked
                                                anchors.left: parent.left
                                                anchors.bottom: parent.bottom
                                                anchors.leftMargin: 5
                                                anchors.bottomMargin: 4
                                                font.pixelSize: 10
                                                font.bold: true
                                                color: "#e65100"
                                                text: rowItem.matchKind === MotorListModel.MatchLoose ? qsTr("宽松匹配")
                                                                                                     : qsTr("多个候选")
                                            }

                                            MouseArea {
                                                id: fileBoxArea
                                                objectName: "fileBoxArea"
                                                anchors.fill: parent
                                                hoverEnabled: true
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
                                            onClicked: motorListPage.upgradeRow(rowItem.nodeId, rowItem.binFilePath, rowItem.versionCheck,
                                                                                rowItem.model.version, rowItem.fileVersion)
                                        }
                                    }
                                }

                                // The row's latest status text and, below it, why its
                                // last operation failed (until the row's next operation).
                                Item {
                                    objectName: "statusCell"
                                    width: motorListPage.statusWidth
                                    height: cellRow.height

                                    Column {
                                        id: statusColumn
                                        anchors.verticalCenter: parent.verticalCenter
                                        width: parent.width
                                        spacing: 1

                                        Text {
                                            id: statusCell
                                            objectName: "statusText"
                                            width: parent.width
                                            text: rowItem.statusText
                                            font.pixelSize: 10
                                            wrapMode: Text.Wrap
                                            maximumLineCount: 2
                                            elide: Text.ElideRight
                                            color: motorListPage.statusColor(rowItem.statusText, rowItem.motorState, rowItem.lastResult)

                                            readonly property bool wantsToolTip: text !== ""
                                                                                 && (text.length > 50 || text.indexOf("\n") >= 0)
                                        }
                                        Text {
                                            id: lastErrorCell
                                            objectName: "lastErrorText"
                                            width: parent.width
                                            visible: text !== ""
                                            text: rowItem.lastError
                                            font.pixelSize: 10
                                            // Wrapped: the reason's end (a version
                                            // mismatch's versions) is what matters.
                                            wrapMode: Text.Wrap
                                            maximumLineCount: 3
                                            elide: Text.ElideRight
                                            color: "#c62828"
                                        }
                                    }

                                    MouseArea {
                                        id: statusHover
                                        anchors.fill: parent
                                        hoverEnabled: true
                                        acceptedButtons: Qt.NoButton
                                    }

                                    ToolTip.visible: (statusCell.wantsToolTip || lastErrorCell.truncated) && statusHover.containsMouse
                                    ToolTip.delay: 500
                                    ToolTip.text: rowItem.lastError !== "" ? rowItem.statusText + "\n" + rowItem.lastError
                                                                          : rowItem.statusText
                                }
                            }

                            Item {
                                id: progressStrip
                                objectName: "progressStrip"
                                visible: rowItem.progress >= 0
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
                                        width: progressStrip.width - progressText.width - 10
                                        height: 16
                                        from: 0
                                        to: 100
                                        value: Math.max(0, rowItem.progress)
                                    }
                                    // At least 190 wide, wider for a longer text (English),
                                    // leaving the bar 100.
                                    Text {
                                        id: progressText
                                        objectName: "upgradeProgressText"
                                        width: Math.min(Math.max(190, implicitWidth), progressStrip.width - 110)
                                        height: 16
                                        font.pixelSize: 10
                                        elide: Text.ElideRight
                                        verticalAlignment: Text.AlignVCenter
                                        text: rowItem.progressText
                                    }
                                }
                            }
                        }
                    }
                }
            }
        }

        // Motors a scan found under a node id listed with another channel.
        GroupBox {
            objectName: "unlistedGroup"
            Layout.fillWidth: true
            Layout.maximumHeight: 160
            visible: unlistedRepeater.count > 0
            title: qsTr("其他通道上的同号电机 (%1 个)").arg(unlistedRepeater.count)

            Controls.ScrollView {
                anchors.fill: parent
                clip: true
                implicitHeight: Math.min(unlistedColumn.implicitHeight, 110)
                Column {
                    id: unlistedColumn
                    spacing: 2
                    Repeater {
                        id: unlistedRepeater
                        model: motorListPage.canopen ? motorListPage.canopen.unlistedMotors : []
                        delegate: Row {
                            required property int index
                            required property var modelData
                            objectName: "unlistedRow" + index
                            spacing: 10
                            Label {
                                anchors.verticalCenter: parent.verticalCenter
                                text: qsTr("节点 %1 · 通道 %2 (%3 %4.%5) · %6 %7 %8 · %9")
                                      .arg(modelData.nodeId).arg(modelData.channelPosition).arg(modelData.adapterName)
                                      .arg(modelData.deviceIndex).arg(modelData.canChannel)
                                      .arg(modelData.firmwareModel).arg(modelData.brakeSuffix)
                                      .arg(modelData.encoderName).arg(modelData.version)
                            }
                            // Its state, file and last result as they are now.
                            Label {
                                objectName: "unlistedState"
                                anchors.verticalCenter: parent.verticalCenter
                                color: "#555"
                                text: motorListPage.stateWord(modelData.motorStatus)
                                      + (modelData.binFilePath !== "" && modelData.binFilePath !== "unknown"
                                         ? " · " + motorListPage.getFileName(modelData.binFilePath) : "")
                                      + (modelData.progressText ? " · " + modelData.progressText : "")
                            }
                            Button {
                                objectName: "listInsteadButton"
                                text: qsTr("换入列表")
                                onClicked: if (motorListPage.canopen) motorListPage.canopen.listUnlistedMotor(index)
                            }
                        }
                    }
                }
            }
        }

        ListView {
            id: logView
            objectName: "logView"
            Layout.fillWidth: true
            Layout.preferredHeight: 140
            visible: motorListPage.logShown
            clip: true
            model: motorListPage.canopen ? motorListPage.canopen.statusLog : null
            onCountChanged: positionViewAtEnd()
            // It opens at its newest line.
            // It opens at its newest line: kept there while it is laid out
            // and its lines are made, until the operator scrolls.
            property bool opening: false
            function keepAtEnd() {
                if (opening && height > 0)
                    positionViewAtEnd()
            }
            onVisibleChanged: opening = visible
            onHeightChanged: keepAtEnd()
            onContentHeightChanged: keepAtEnd()
            onMovementStarted: opening = false
            ScrollBar.vertical: ScrollBar {}
            delegate: Text {
                required property string time
                required property string message
                width: logView.width
                font.pixelSize: 11
                elide: Text.ElideRight
                text: time + "  " + message
            }
        }

        RowLayout {
            Layout.fillWidth: true
            spacing: 6
            Label {
                objectName: "statusLabel"
                Layout.fillWidth: true
                wrapMode: Text.Wrap
                text: qsTr("状态: %1").arg(motorListPage.canopen ? motorListPage.canopen.statusMessage : "")
            }
            KeyButton {
                objectName: "logButton"
                keys: "Ctrl+L"
                text: motorListPage.logShown ? qsTr("隐藏日志") : qsTr("日志")
                onClicked: motorListPage.logShown = !motorListPage.logShown
            }
            Button {
                objectName: "exportRecordButton"
                text: qsTr("导出记录")
                enabled: motorListPage.canopen !== null && motorListPage.canopen.recordCount > 0
                onClicked: recordDialog.open()
            }
            Button {
                objectName: "historyButton"
                text: qsTr("升级历史")
                onClicked: historyDialog.open()
            }
            SimulatedBenchMark {
                canopen: motorListPage.canopen
            }
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

    HistoryDialog {
        id: historyDialog
        canopen: motorListPage.canopen
    }

    // The record's file: a folder (the documents folder at first, changed
    // with the folder dialog) and a name; "保存" takes them as soon as a name
    // is typed. A name without a suffix gets ".csv".
    Dialog {
        id: recordDialog
        objectName: "recordDialog"
        title: qsTr("导出升级记录")
        modal: true
        padding: 16
        width: Math.min(560, parent ? parent.width - 20 : 560)
        parent: Overlay.overlay
        x: parent ? (parent.width - width) / 2 : 0
        y: parent ? (parent.height - height) / 2 : 0
        property string folder: ""
        readonly property string fileName: {
            var n = recordName.text.trim()
            return n === "" || n.indexOf(".") >= 0 ? n : n + ".csv"
        }
        onAboutToShow: {
            if (folder === "" && motorListPage.canopen)
                folder = motorListPage.canopen.defaultRecordFolder()
            recordName.forceActiveFocus()
        }

        ColumnLayout {
            anchors.fill: parent
            spacing: 10
            RowLayout {
                Layout.fillWidth: true
                Label { text: qsTr("文件夹：") }
                Label {
                    objectName: "recordFolderText"
                    Layout.fillWidth: true
                    elide: Text.ElideMiddle
                    text: recordDialog.folder
                }
                Button {
                    objectName: "recordFolderButton"
                    text: qsTr("更改…")
                    onClicked: {
                        if (motorListPage.canopen && recordDialog.folder !== "")
                            recordFolderDialog.currentFolder = motorListPage.canopen.localPathToUrl(recordDialog.folder)
                        recordFolderDialog.open()
                    }
                }
            }
            RowLayout {
                Layout.fillWidth: true
                Label { text: qsTr("文件名：") }
                TextField {
                    id: recordName
                    objectName: "recordNameField"
                    Layout.fillWidth: true
                    placeholderText: qsTr("升级记录.csv")
                    onAccepted: if (recordSave.enabled) recordSave.clicked()
                }
            }
            RowLayout {
                Layout.alignment: Qt.AlignHCenter
                spacing: 10
                Button {
                    id: recordSave
                    objectName: "recordSaveButton"
                    text: qsTr("保存")
                    enabled: recordDialog.fileName !== "" && recordDialog.folder !== ""
                    onClicked: {
                        recordDialog.close()
                        if (motorListPage.canopen)
                            motorListPage.canopen.exportRecord(recordDialog.folder + "/" + recordDialog.fileName)
                    }
                }
                Button {
                    objectName: "recordCancelButton"
                    text: qsTr("取消")
                    onClicked: recordDialog.close()
                }
            }
        }
    }

    FolderDialog {
        id: recordFolderDialog
        title: qsTr("选择保存记录的文件夹")
        onAccepted: if (motorListPage.canopen)
                        recordDialog.folder = motorListPage.canopen.urlToLocalPath(
                                    motorListPage.acceptedFolder(selectedFolder, currentFolder))
    }

    // Before "全部升级" includes motors whose file is not certainly theirs,
    // or that it would downgrade: how many, which, and whether to include them.
    Dialog {
        id: upgradeAllDialog
        objectName: "upgradeAllDialog"
        padding: 16
        property var loose: []
        property var downgrades: []
        title: qsTr("确认全部升级")
        modal: true
        width: 560
        parent: Overlay.overlay
        x: parent ? (parent.width - width) / 2 : 0
        y: parent ? (parent.height - height) / 2 : 0
        onAboutToShow: {
            includeLooseBox.checked = false
            includeDowngradesBox.checked = false
        }

        ColumnLayout {
            anchors.fill: parent
            spacing: 10

            Label {
                objectName: "looseText"
                Layout.fillWidth: true
                wrapMode: Text.Wrap
                visible: upgradeAllDialog.loose.length > 0
                text: qsTr("%1 个电机的固件文件只是宽松匹配或有多个候选，可能不是为该电机生成的（节点 %2）。")
                      .arg(upgradeAllDialog.loose.length).arg(motorListPage.nodeList(upgradeAllDialog.loose))
            }
            CheckBox {
                id: includeLooseBox
                objectName: "includeLooseBox"
                visible: upgradeAllDialog.loose.length > 0
                text: qsTr("一并升级这些电机")
            }
            Label {
                objectName: "downgradeText"
                Layout.fillWidth: true
                wrapMode: Text.Wrap
                visible: upgradeAllDialog.downgrades.length > 0
                text: qsTr("%1 个电机的文件版本低于电机当前运行的版本，升级即降级（节点 %2）。")
                      .arg(upgradeAllDialog.downgrades.length).arg(motorListPage.nodeList(upgradeAllDialog.downgrades))
            }
            CheckBox {
                id: includeDowngradesBox
                objectName: "includeDowngradesBox"
                visible: upgradeAllDialog.downgrades.length > 0
                text: qsTr("一并降级这些电机")
            }
            RowLayout {
                Layout.alignment: Qt.AlignHCenter
                spacing: 10
                Button {
                    objectName: "upgradeAllConfirmButton"
                    text: qsTr("开始升级")
                    onClicked: {
                        upgradeAllDialog.close()
                        motorListPage.upgradeAllConfirmed(includeLooseBox.checked, includeDowngradesBox.checked)
                    }
                }
                Button {
                    objectName: "upgradeAllCancelButton"
                    text: qsTr("取消")
                    onClicked: upgradeAllDialog.close()
                }
            }
        }
    }

    // "一键升级": how many motors, and who would be left out unless included.
    Dialog {
        id: everythingDialog
        objectName: "everythingDialog"
        padding: 16
        property var review: ({})
        readonly property var loose: review.loose !== undefined ? review.loose : []
        readonly property var downgrades: review.downgrades !== undefined ? review.downgrades : []
        readonly property int count: review.count !== undefined ? review.count : 0
        title: qsTr("确认一键升级")
        modal: true
        width: Math.min(560, parent ? parent.width - 20 : 560)
        parent: Overlay.overlay
        x: parent ? (parent.width - width) / 2 : 0
        y: parent ? (parent.height - height) / 2 : 0
        onAboutToShow: {
            everythingLooseBox.checked = false
            everythingDowngradeBox.checked = false
        }

        ColumnLayout {
            anchors.fill: parent
            spacing: 10

            Label {
                objectName: "everythingCountText"
                Layout.fillWidth: true
                wrapMode: Text.Wrap
                text: (everythingDialog.count > 0
                       ? qsTr("将升级 %1 个文件精确匹配的电机（其中 %2 个是其他通道上的同号电机）：每个电机进入Bootloader、传输、校验并启动，各通道同时进行。")
                         .arg(everythingDialog.count).arg(everythingDialog.review.unlisted || 0)
                       : qsTr("没有文件精确匹配、需要升级的电机。"))
                      + ((everythingDialog.review.current || 0) > 0
                         ? qsTr("\n%1 个电机已运行其文件的版本，不升级。").arg(everythingDialog.review.current) : "")
                      + ((everythingDialog.review.busy || 0) > 0
                         ? qsTr("\n%1 个电机正在操作，跳过。").arg(everythingDialog.review.busy) : "")
            }
            Label {
                objectName: "everythingLooseText"
                Layout.fillWidth: true
                wrapMode: Text.Wrap
                visible: everythingDialog.loose.length > 0
                text: qsTr("%1 个电机的固件文件只是宽松匹配或有多个候选，可能不是为该电机生成的（节点 %2）。")
                      .arg(everythingDialog.loose.length).arg(motorListPage.nodeList(everythingDialog.loose))
            }
            CheckBox {
                id: everythingLooseBox
                objectName: "everythingLooseBox"
                visible: everythingDialog.loose.length > 0
                text: qsTr("一并升级这些电机")
            }
            Label {
                objectName: "everythingDowngradeText"
                Layout.fillWidth: true
                wrapMode: Text.Wrap
                visible: everythingDialog.downgrades.length > 0
                text: qsTr("%1 个电机的文件版本低于电机当前运行的版本，升级即降级（节点 %2）。")
                      .arg(everythingDialog.downgrades.length).arg(motorListPage.nodeList(everythingDialog.downgrades))
            }
            CheckBox {
                id: everythingDowngradeBox
                objectName: "everythingDowngradeBox"
                visible: everythingDialog.downgrades.length > 0
                text: qsTr("一并降级这些电机")
            }
            RowLayout {
                Layout.alignment: Qt.AlignHCenter
                spacing: 10
                Button {
                    objectName: "everythingConfirmButton"
                    text: qsTr("开始升级")
                    enabled: everythingDialog.count > 0 || everythingLooseBox.checked || everythingDowngradeBox.checked
                    onClicked: {
                        everythingDialog.close()
                        if (motorListPage.canopen)
                            motorListPage.canopen.upgradeEverything(everythingLooseBox.checked,
                                                                    everythingDowngradeBox.checked)
                    }
                }
                Button {
                    objectName: "everythingCancelButton"
                    text: qsTr("取消")
                    onClicked: everythingDialog.close()
                }
            }
        }
    }

    Dialog {
        id: downgradeDialog
        objectName: "downgradeDialog"
        padding: 16
        property int nodeId: -1
        property string path: ""
        property string version: ""
        property string fileVersion: ""
        title: qsTr("确认降级")
        modal: true
        width: 460
        parent: Overlay.overlay
        x: parent ? (parent.width - width) / 2 : 0
        y: parent ? (parent.height - height) / 2 : 0

        ColumnLayout {
            anchors.fill: parent
            spacing: 10

            Label {
                objectName: "downgradeQuestion"
                Layout.fillWidth: true
                wrapMode: Text.Wrap
                text: qsTr("节点 %1 运行版本 %2，文件的版本 %3 更旧。确定降级吗？")
                      .arg(downgradeDialog.nodeId).arg(downgradeDialog.version).arg(downgradeDialog.fileVersion)
            }
            RowLayout {
                Layout.alignment: Qt.AlignHCenter
                spacing: 10
                Button {
                    objectName: "downgradeConfirmButton"
                    text: qsTr("降级")
                    onClicked: {
                        downgradeDialog.close()
                        if (motorListPage.canopen)
                            motorListPage.canopen.upgradeMotor(downgradeDialog.nodeId, downgradeDialog.path)
                    }
                }
                Button {
                    objectName: "downgradeCancelButton"
                    text: qsTr("取消")
                    onClicked: downgradeDialog.close()
                }
            }
        }
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
