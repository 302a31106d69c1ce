import QtQuick
import QtTest
import Ostrelo 1.0

TestCase {
    id: testCase
    name: "MotorListPage"
    when: windowShown

    Component {
        id: windowComponent
        MotorListWindow {
            visible: true
        }
    }

    CANopenWrapper {
        id: controller
    }

    SignalSpy {
        id: scanCompletedSpy
        target: controller
        signalName: "scanCompleted"
    }

    function compareColor(actual, expected, message) {
        verify(Qt.colorEqual(actual, expected), (message ? message + ": " : "") + actual + " is not " + expected)
    }

    property var win: null
    property var page: null
    property var model: controller.motorListModel

    function initTestCase() {
        verify(controller.autoConfigureChannels() > 0)
        controller.scanMotorsOnAllChannels(1, 8, 1000)
        scanCompletedSpy.wait(60000)
        verify(model.rowCount() >= 3, "the bench has at least three motors on nodes 1 to 8")
    }

    function cleanupTestCase() {
        controller.stopPreventAppStartAllInteractive()
        controller.cleanupAll()
    }

    function init() {
        win = createTemporaryObject(windowComponent, testCase, { canopen: controller })
        verify(win !== null)
        page = win.page
        for (var i = 0; i < model.rowCount(); ++i) {
            model.setBinFilePath(nodeAt(i), "")
            testHelper.setMotorStatus(model, nodeAt(i), 0)
            controller.motorStatusChanged(nodeAt(i), "")
        }
        waitForRendering(page)
    }

    function nodeAt(i) {
        return model.data(model.index(i, 0), MotorListModel.NodeIdRole)
    }

    function stateAt(i) {
        return model.data(model.index(i, 0), MotorListModel.MotorStatusRole)
    }

    function statusOf(i) {
        return model.data(model.index(i, 0), MotorListModel.StatusTextRole)
    }

    function row(i) {
        var r = findChild(page, "motorRow" + i)
        verify(r !== null, "row " + i + " is shown")
        tryVerify(function () { return r.ready }, 10000, "row " + i + " made")
        return r
    }

    // "Open" of the folder dialog takes the folder selected in its list, or
    // the folder it shows when nothing is selected there.
    function test_folderDialogAcceptsShownFolder() {
        var cases = [
            { selected: "", current: "file:///srv/fw/demo", expected: "file:///srv/fw/demo" },
            { selected: "file:///srv/fw/demo/sub", current: "file:///srv/fw/demo", expected: "file:///srv/fw/demo/sub" },
            { selected: "", current: "", expected: "" }
        ]
        for (var i = 0; i < cases.length; ++i)
            compare(page.acceptedFolder(cases[i].selected, cases[i].current), cases[i].expected, "case " + i)
    }

    function test_actionBar() {
        compare(findChild(page, "matchFilesButton").enabled, false)
        compare(findChild(page, "folderLabel").text, "未选择文件夹")
        page.applyChosenFolder("file:///srv/firmware/batch%2012")
        compare(page.selectedFolderPath, "/srv/firmware/batch 12")
        compare(findChild(page, "folderLabel").text, "文件夹: batch 12")
        compare(findChild(page, "matchFilesButton").enabled, true)
        compare(findChild(page, "statusLabel").text, "状态: " + controller.statusMessage)
        verify(findChild(page, "simulatedBenchMark").visible, "the bench is the transport here")

        // The row's own file dialog opens in the chosen firmware folder.
        page.applyChosenFolder(testHelper.fileUrl("/tmp"))
        page.openFileDialogFor(nodeAt(0))
        compare(String(page.fileDialog.currentFolder), String(testHelper.fileUrl("/tmp")))
        page.fileDialog.close()
    }

    function test_urlConversion() {
        // Unix paths keep their leading slash; a drive path loses the slash
        // before the drive letter on Windows only (elsewhere "/C:" is a
        // folder); escapes are decoded for folders too.
        var windows = Qt.platform.os === "windows"
        var cases = [
            ["file:///home/op/fw/A%20B.bin", "/home/op/fw/A B.bin"],
            ["file:///C:/fw/motor.bin", windows ? "C:/fw/motor.bin" : "/C:/fw/motor.bin"],
            ["file:///tmp/%E5%9B%BA%E4%BB%B6", "/tmp/固件"],
            ["file://server/share/fw", "//server/share/fw"],
            ["file:///tmp/100%", "/tmp/100%"],
            ["/tmp/plain%20path", "/tmp/plain path"],
            ["", ""]
        ]
        for (var i = 0; i < cases.length; ++i)
            compare(controller.urlToLocalPath(cases[i][0]), cases[i][1], cases[i][0])

        page.applyChosenFolder("file:///tmp/%E5%9B%BA%E4%BB%B6%20v2")
        compare(page.selectedFolderPath, "/tmp/固件 v2")

        var node = nodeAt(0)
        page.applyChosenFile(node, "file:///tmp/my%20fw/a%20b.bin")
        compare(model.getBinFilePath(node), "/tmp/my fw/a b.bin")
        // Refused: no node id, or no URL.
        page.applyChosenFile(-1, "file:///tmp/x.bin")
        page.applyChosenFile(node, "")
        compare(model.getBinFilePath(node), "/tmp/my fw/a b.bin")
    }

    function test_fileCellAndRowColours() {
        var r0 = row(0)
        var r1 = row(1)
        compareColor(r0.color, "#ffffff")
        compareColor(r1.color, "#f0f0f0")
        compare(findChild(r0, "fileNameText").text, "unknown")
        compareColor(findChild(r0, "fileNameText").color, "red")

        // Clicking the box of a row without file opens the dialog for it.
        mouseClick(findChild(r1, "fileBox"))
        compare(page.fileDialog.motorNodeId, nodeAt(1))
        tryCompare(page.fileDialog, "visible", true)
        page.fileDialog.close()
        page.applyChosenFile(nodeAt(1), "file:///tmp/fw/M1.bin")
        compare(findChild(r1, "fileNameText").text, "M1.bin")
        compareColor(findChild(r1, "fileNameText").color, "black")
        compareColor(r1.color, "#e8f5e9")
        model.setBinFilePath(nodeAt(0), "C:\\fw\\M0.bin")
        compareColor(r0.color, "#c8e6c9")
        compare(findChild(r0, "fileNameText").text, "M0.bin")

        // With a file set, clicking the box does nothing; "选择" still opens.
        page.fileDialog.motorNodeId = -1
        mouseClick(findChild(r1, "fileBox"))
        compare(page.fileDialog.motorNodeId, -1)
        mouseClick(findChild(r1, "chooseFileButton"))
        compare(page.fileDialog.motorNodeId, nodeAt(1))
        page.fileDialog.close()

        model.setBinFilePath(nodeAt(1), "unknown")
        compareColor(r1.color, "#ffebee")
        model.setBinFilePath(nodeAt(0), "unknown")
        compareColor(r0.color, "#ffcdd2")
        compare(findChild(r0, "fileNameText").text, "unknown")
        compareColor(findChild(r0, "fileNameText").color, "red")
    }

    // Every row keeps 22 px for the progress strip, so its height does not
    // change when a bar appears or goes.
    function test_rowHeights() {
        var node = nodeAt(0)
        var r = row(0)
        compare(r.height, 72)
        // 65 characters: three name lines, 70 px.
        var name = "M".repeat(61) + ".bin"
        model.setBinFilePath(node, "/fw/" + name)
        compare(r.height, 92)
        compare(findChild(r, "fileBox").height, 70)
        model.setBinFilePath(node, "/fw/short.bin")
        compare(r.height, 72)

        controller.motorStatusChanged(node, "x".repeat(60))
        compare(r.height, 87)
        compare(findChild(r, "statusText").wantsToolTip, true)
        controller.upgradeProgressPercent(node, 30, "传输中: 30/100 字节 (30%)")
        compare(r.height, 87)
        compare(findChild(r, "progressStrip").visible, true)
        compare(findChild(r, "progressStrip").height, 20)
        compare(findChild(r, "upgradeProgressBar").value, 30)
        compare(findChild(r, "upgradeProgressText").text, "传输中: 30/100 字节 (30%)")

        controller.motorStatusChanged(node, "短")
        compare(r.height, 72)
        compare(findChild(r, "statusText").wantsToolTip, false)
        controller.motorStatusChanged(node, "a\nb")
        compare(findChild(r, "statusText").wantsToolTip, true)
    }

    // The colour comes from the row's state and its last result, whatever
    // the text says (or the language it says it in).
    function test_statusColours() {
        var node = nodeAt(0)
        var text = findChild(row(0), "statusText")
        var W = CANopenWrapper
        var cases = [
            // text, state, last result, colour
            ["", W.Bootloader, W.OperationFailed, "black"],
            ["Bootloader", W.Bootloader, W.NoResult, "green"],
            ["传输失败", W.Bootloader, W.OperationFailed, "red"],
            ["Transfer failed", W.Bootloader, W.OperationFailed, "red"],
            ["进入Bootloader失败", W.Busy, W.OperationFailed, "red"],
            ["Upgrade...", W.Bootloader, W.UpgradeRunning, "blue"],
            ["刷新中...", W.Busy, W.NoResult, "black"],
            ["升级成功后失败", W.Available, W.NoResult, "black"],
            ["连接中断", W.Disconnected, W.NoResult, "black"]
        ]
        for (var i = 0; i < cases.length; ++i) {
            var c = cases[i]
            verify(testHelper.setMotorStatus(model, node, c[1]))
            verify(testHelper.setLastResult(model, node, c[2]))
            controller.motorStatusChanged(node, c[0])
            compare(text.text, c[0])
            compareColor(text.color, c[3], c[0])
        }
        // Texts of other nodes do not touch this row.
        controller.motorStatusChanged(nodeAt(1), "传输失败")
        compare(text.text, "连接中断")
    }

    function test_buttonEnablementPerState() {
        var node = nodeAt(0)
        var names = ["refreshButton", "enterBlButton", "exitBlButton", "holdBlButton", "upgradeButton"]
        // state -> expected enablement of the five buttons, without and with file
        var expected = {
            0: [[true, true, false, true, false], [true, true, false, true, false]],
            1: [[true, false, false, false, false], [true, false, false, false, false]],
            2: [[true, false, true, false, false], [true, false, true, false, true]],
            3: [[false, false, false, false, false], [false, false, false, false, false]]
        }
        for (var state = 0; state <= 3; ++state) {
            for (var withFile = 0; withFile <= 1; ++withFile) {
                model.setBinFilePath(node, withFile ? "/fw/m.bin" : "")
                verify(testHelper.setMotorStatus(model, node, state))
                for (var b = 0; b < names.length; ++b)
                    compare(findChild(row(0), names[b]).enabled, expected[state][withFile][b],
                            names[b] + " state " + state + " file " + withFile)
            }
        }
        model.setBinFilePath(node, "unknown")
        compare(findChild(row(0), "upgradeButton").enabled, false, "unknown is no file")
    }

    function test_exitBootloaderOnlyForBootloaderRows() {
        // None in the bootloader: nothing is queued, no row changes.
        mouseClick(findChild(page, "exitBootloaderAllButton"))
        for (var i = 0; i < model.rowCount(); ++i)
            compare(stateAt(i), 0)

        testHelper.setMotorStatus(model, nodeAt(1), 2)
        mouseClick(findChild(page, "exitBootloaderAllButton"))
        // The queued exit marks its row busy at once; the others are untouched.
        compare(stateAt(1), 3)
        compare(statusOf(1), "正在退出Bootloader...")
        for (i = 0; i < model.rowCount(); ++i) {
            if (i !== 1) {
                compare(stateAt(i), 0)
                compare(statusOf(i), "")
            }
        }
        // Let the worker finish before the next test touches the rows.
        tryVerify(function () { return statusOf(1) !== "正在退出Bootloader..." }, 30000)
        verify(["已退出Bootloader", "退出Bootloader失败"].indexOf(statusOf(1)) >= 0, statusOf(1))
        compareColor(findChild(row(1), "statusText").color, statusOf(1) === "已退出Bootloader" ? "black" : "red")
        tryCompare(findChild(row(1), "refreshButton"), "enabled", true)
    }

    // An upgrade's result stays in its row (bar and colour) until the row's
    // next operation; it does not vanish after a moment.
    function test_upgradeResultStaysUntilNextOperation() {
        var a = nodeAt(0)
        var b = nodeAt(1)
        controller.upgradeProgressPercent(a, 40, "传输中: 40/100 字节 (40%)")
        compare(findChild(row(0), "upgradeProgressBar").value, 40)
        controller.upgradeCompleted(a, true)
        controller.upgradeProgressPercent(b, 10, "传输中: 10/100 字节 (10%)")
        controller.upgradeCompleted(b, false)
        wait(2200)
        var cases = [[0, 100, "升级成功", CANopenWrapper.UpgradeSucceeded], [1, 0, "升级失败", CANopenWrapper.OperationFailed]]
        for (var i = 0; i < cases.length; ++i) {
            var r = row(cases[i][0])
            compare(findChild(r, "progressStrip").visible, true, "row " + i)
            compare(findChild(r, "upgradeProgressBar").value, cases[i][1])
            compare(findChild(r, "upgradeProgressText").text, cases[i][2])
            compare(model.data(model.index(cases[i][0], 0), MotorListModel.LastResultRole), cases[i][3])
        }
        testHelper.setMotorStatus(model, a, CANopenWrapper.Busy)
        compare(findChild(row(0), "progressStrip").visible, false)
        compare(findChild(row(1), "progressStrip").visible, true)
        compare(row(0).height, 72)
    }

    // The file's version beside the motor's, with what it means, and the
    // mark of a file that matching paired only loosely or ambiguously.
    function test_versionAndMatchMarks() {
        var node = nodeAt(0)
        var r = row(0)
        compare(model.data(model.index(0, 0), MotorListModel.VersionRole), "1.0.0.3", "node 1 of the default bench")
        var L = MotorListModel
        var cases = [
            // path, match kind, file version, version mark, its colour, match mark
            ["/fw/4009_SingleTarsel_B0_V1_0_0_4.bin", L.MatchExact, "1.0.0.4", "", "", ""],
            ["/fw/4009_SingleTarsel_B0_V1_0_0_3.bin", L.MatchExact, "1.0.0.3", "已是最新", "#2e7d32", ""],
            ["/fw/4009_SingleTarsel_B0_V1_0_0_2.bin", L.MatchExact, "1.0.0.2", "降级", "#e65100", ""],
            ["C:\\fw\\4009_SingleTarsel_B0.bin", L.MatchExact, "", "文件名无版本", "#757575", ""],
            ["/fw/14009_SingleTarsel_B0_V1_0_0_9.bin", L.MatchLoose, "1.0.0.9", "", "", "宽松匹配"],
            ["/fw/4009_SingleTarsel_B0_V1_0_0_4.bin", L.MatchSeveralExact, "1.0.0.4", "", "", "多个候选"],
            ["/fw/4009_SingleTarsel_B0_V1_0_0_3.bin", L.MatchNone, "1.0.0.3", "已是最新", "#2e7d32", ""],
            ["", L.MatchLoose, "", "", "", ""]
        ]
        for (var i = 0; i < cases.length; ++i) {
            var c = cases[i]
            verify(testHelper.setMatchedFile(model, node, c[0], c[1]))
            compare(findChild(r, "fileVersionText").text, c[2], "case " + i)
            compare(findChild(r, "fileVersionText").visible, c[2] !== "", "case " + i)
            var mark = findChild(r, "versionMarkText")
            compare(mark.visible ? mark.text : "", c[3], "case " + i)
            if (c[4] !== "")
                compareColor(mark.color, c[4], "case " + i)
            var matchMark = findChild(r, "matchMarkText")
            compare(matchMark.visible ? matchMark.text : "", c[5], "case " + i)
            compareColor(findChild(r, "fileBox").border.color, c[5] !== "" ? "#fb8c00" : "#ccc", "case " + i)
            compare(r.height, c[5] !== "" ? 86 : 72, "case " + i)
        }
    }

    // "全部升级" asks before it includes loosely matched motors or
    // downgrades, names them, and leaves them out unless told otherwise.
    function test_upgradeAllAsksForLooseMatchesAndDowngrades() {
        var dialog = page.upgradeAllDialog
        verify(testHelper.setMatchedFile(model, nodeAt(0), "/fw/14009_SingleTarsel_B0_V1_0_0_9.bin",
                                         MotorListModel.MatchLoose))
        verify(testHelper.setMatchedFile(model, nodeAt(1), "/fw/60018_DoubleTarsel_B16_V1_1_2_0.bin",
                                         MotorListModel.MatchExact))
        for (var i = 0; i < 2; ++i)
            testHelper.setMotorStatus(model, nodeAt(i), CANopenWrapper.Bootloader)
        var cases = [
            // button, include loose, include downgrades, status afterwards
            ["upgradeAllCancelButton", false, false, null],
            ["upgradeAllConfirmButton", false, false, "已提交 0 个升级任务到线程池（按确认未包括 2 个电机）"],
            // Included: its file is tried (and here missing), the downgrade stays out.
            ["upgradeAllConfirmButton", true, false, "已提交 0 个升级任务到线程池（按确认未包括 1 个电机）"]
        ]
        for (i = 0; i < cases.length; ++i) {
            var c = cases[i]
            var before = controller.statusMessage
            mouseClick(findChild(page, "upgradeAllButton"))
            tryCompare(dialog, "opened", true)
            compare(findChild(dialog.contentItem, "looseText").text,
                    "1 个电机的固件文件只是宽松匹配或有多个候选，可能不是为该电机生成的（节点 1）。")
            compare(findChild(dialog.contentItem, "downgradeText").text,
                    "1 个电机的文件版本低于电机当前运行的版本，升级即降级（节点 2）。")
            compare(findChild(dialog.contentItem, "includeLooseBox").checked, false, "left out unless chosen")
            findChild(dialog.contentItem, "includeLooseBox").checked = c[1]
            findChild(dialog.contentItem, "includeDowngradesBox").checked = c[2]
            mouseClick(findChild(dialog.contentItem, c[0]))
            tryCompare(dialog, "visible", false)
            compare(controller.statusMessage, c[3] === null ? before : c[3], "case " + i)
            compare(controller.isOperationPending(nodeAt(0)) || controller.isOperationPending(nodeAt(1)), false)
        }
    }

    // A row's upgrade that is a downgrade is confirmed first; other upgrades
    // start at once.
    function test_rowDowngradeAsks() {
        var dialog = page.downgradeDialog
        var node = nodeAt(1)
        testHelper.setMotorStatus(model, node, CANopenWrapper.Bootloader)
        // The action column is reached by scrolling.
        var view = page.listView
        view.contentX = view.originX + view.contentWidth - view.width
        var cases = [
            // file, dialog opens, button, status afterwards
            ["/fw/60018_DoubleTarsel_B16_V1_1_2_0.bin", true, "downgradeCancelButton", null],
            ["/fw/60018_DoubleTarsel_B16_V1_1_2_0.bin", true, "downgradeConfirmButton",
             "文件不存在: /fw/60018_DoubleTarsel_B16_V1_1_2_0.bin"],
            ["/fw/60018_DoubleTarsel_B16_V1_1_2_2.bin", false, "", "文件不存在: /fw/60018_DoubleTarsel_B16_V1_1_2_2.bin"]
        ]
        for (var i = 0; i < cases.length; ++i) {
            var c = cases[i]
            model.setBinFilePath(node, c[0])
            controller.motorStatusChanged(node, "x" + i)
            var before = controller.statusMessage
            mouseClick(findChild(row(1), "upgradeButton"))
            if (c[1]) {
                tryCompare(dialog, "opened", true)
                compare(findChild(dialog.contentItem, "downgradeQuestion").text,
                        "节点 2 运行版本 1.1.2.1，文件的版本 1.1.2.0 更旧。确定降级吗？")
                compare(controller.statusMessage, before, "nothing started while it asks")
                mouseClick(findChild(dialog.contentItem, c[2]))
                tryCompare(dialog, "visible", false)
            } else {
                compare(dialog.visible, false)
            }
            compare(controller.statusMessage, c[3] === null ? before : c[3], "case " + i)
        }
    }

    // Why the last operation failed stays under the row's status text until
    // the row's next operation.
    function test_lastErrorShownUntilNextOperation() {
        var node = nodeAt(0)
        var error = findChild(row(0), "lastErrorText")
        compare(error.visible, false)
        controller.motorStatusChanged(node, "传输失败")
        verify(testHelper.setLastError(model, node, "传输：传输中应答超时（帧丢失）"))
        compare(error.visible, true)
        compare(error.text, "传输：传输中应答超时（帧丢失）")
        compareColor(error.color, "#c62828")
        compare(findChild(row(0), "statusText").text, "传输失败")
        compare(row(0).height, 72)
        testHelper.setMotorStatus(model, node, CANopenWrapper.Busy)
        compare(error.visible, false)
    }

    function test_holdDialog() {
        var dialog = page.holdDialog
        compare(dialog.title, "强制进入Bootloader")
        compare(dialog.width, 500)
        compare(dialog.height, 300)
        compare(dialog.modal, true)
        compare(findChild(dialog.contentItem, "holdText").text,
                "正在持续发送指令，请执行以下操作：\n\n1. 手动断开所有电机的电源\n2. 等待1-2秒\n3. 重新接通电源\n\n"
                + "系统会自动检测响应，收到响应后将自动停止。\n\n您可以随时点击\"停止强制进入\"按钮取消操作。")

        // Refused by the controller (no Available motor): the dialog opens anyway.
        for (var i = 0; i < model.rowCount(); ++i)
            testHelper.setMotorStatus(model, nodeAt(i), 2)
        mouseClick(findChild(page, "startHoldButton"))
        tryCompare(dialog, "opened", true)
        compare(controller.statusMessage, "没有Available状态的电机")
        compare(controller.isPreventAppStartAllActive(), false)

        // "确定" closes it without stopping anything.
        dialog.close()
        tryCompare(dialog, "visible", false)

        // "停止强制进入" with no hold running only closes the dialog.
        dialog.open()
        tryCompare(dialog, "opened", true)
        page.stopHold()
        tryCompare(dialog, "visible", false)
        compare(controller.statusMessage, "没有Available状态的电机")

        // The controller's completion closes it too.
        dialog.open()
        tryCompare(dialog, "opened", true)
        controller.preventAppStartAllCompleted(0, 0)
        tryCompare(dialog, "visible", false)
    }

    function test_rowActionsCallTheController() {
        var node = nodeAt(0)
        mouseClick(findChild(row(0), "refreshButton"))
        compare(statusOf(0), "刷新中...")
        tryVerify(function () { return stateAt(0) !== 3 }, 20000)
        compare(statusOf(0), "Available")

        mouseClick(findChild(page, "refreshAllButton"))
        compare(controller.statusMessage, "已提交 " + model.rowCount() + " 个状态刷新任务到线程池")
        tryVerify(function () {
            for (var i = 0; i < model.rowCount(); ++i)
                if (stateAt(i) === 3)
                    return false
            return true
        }, 30000)

        // With nothing matched, the status says what to do first.
        mouseClick(findChild(page, "upgradeAllButton"))
        compare(controller.statusMessage,
                "已提交 0 个升级任务到线程池（没有电机配有固件文件：请先选择固件文件夹并点击“匹配.bin文件”）")
    }

    // The record's save dialog: Chinese, "保存" enabled as soon as a name is
    // typed (no Return needed), ".csv" added to a bare name.
    function test_recordDialogSavesOnceANameIsTyped() {
        var dlg = page.recordDialog
        dlg.open()
        tryCompare(dlg, "opened", true)
        dlg.folder = testHelper.outputDir
        var save = findChild(dlg.contentItem, "recordSaveButton")
        compare(save.text, "保存")
        verify(!save.enabled, "no name yet")
        var field = findChild(dlg.contentItem, "recordNameField")
        field.forceActiveFocus()
        keyClick(Qt.Key_R)
        keyClick(Qt.Key_E)
        verify(save.enabled, "a typed name is enough")
        mouseClick(save)
        compare(controller.statusMessage, "已导出 0 条升级记录：" + testHelper.outputDir + "/re.csv")
        verify(testHelper.fileExists(testHelper.outputDir + "/re.csv"))
    }

    // Columns other than node id, actions and status can be hidden: a hidden
    // one takes no room in header or rows, the rest stay aligned and sortable,
    // and the choice holds for the next window.
    function test_columnsCanBeHidden() {
        var view = page.listView
        var r = row(0)
        function x(item) { return Math.round(item.mapToItem(view, 0, 0).x) }
        function toggle(key) {
            if (!page.columnsPopup.opened)
                mouseClick(findChild(page, "columnsButton"))
            tryCompare(page.columnsPopup, "opened", true)
            var box = findChild(page.columnsPopup.contentItem, "columnToggle_" + key)
            verify(box !== null && box.visible, key)
            mouseClick(box)
        }
        verify(findChild(page.columnsPopup.contentItem, "columnToggle_status") === null
               || !findChild(page.columnsPopup.contentItem, "columnToggle_status").visible, "status is always shown")
        var header = findChild(view, "header1")
        var statusHeader = findChild(view, "header12")
        var status = findChild(r, "statusCell")
        var fixed = page.fixedWidth
        var statusX = x(status)
        var room = page.columns[1].w + 5
        compare(x(statusHeader), statusX)

        toggle("adapter")
        compare(header.visible, false)
        compare(page.fixedWidth, fixed - room)
        waitForRendering(view)
        compare(x(status), statusX - room)
        compare(x(statusHeader), x(status))
        compare(x(findChild(view, "header5")), x(findChild(r, "modelCell")))
        compare(String(controller.setting("table/hiddenColumns", "")), "adapter")
        // Sorting by a shown column still works.
        mouseClick(findChild(view, "header8"))
        compare(controller.motorTable.sortedBy, MotorListModel.VersionRole)
        controller.motorTable.clearSorting()

        var again = createTemporaryObject(windowComponent, testCase, { canopen: controller })
        compare(again.page.columnShown("adapter"), false)
        compare(again.page.columnShown("device"), true)
        again.close()

        toggle("adapter")
        compare(header.visible, true)
        compare(page.fixedWidth, fixed)
        waitForRendering(view)
        compare(x(status), statusX)
        compare(x(statusHeader), statusX)
        compare(String(controller.setting("table/hiddenColumns", "x")), "")
        page.columnsPopup.close()
    }

    // The log opens at its newest line.
    function test_logOpensAtItsNewestLine() {
        for (var i = 0; i < 40; ++i)
            controller.bitrate = 100 + i
        var log = findChild(page, "logView")
        mouseClick(findChild(page, "logButton"))
        tryCompare(log, "visible", true)
        waitForRendering(log)
        tryVerify(function () { return log.atYEnd }, 2000, "at the newest line")
    }

    function test_closeButtonHidesTheWindow() {
        page.applyChosenFolder("file:///tmp/fw")
        controller.motorStatusChanged(nodeAt(0), "Bootloader")
        mouseClick(findChild(page, "closeWindowButton"))
        compare(win.visible, false)
        win.show()
        compare(page.selectedFolderPath, "/tmp/fw")
        compare(statusOf(0), "Bootloader")
        // The next window, in this run or the next, starts in that folder.
        var again = createTemporaryObject(windowComponent, testCase, { canopen: controller })
        compare(again.page.selectedFolderPath, "/tmp/fw")
    }

    // One button opens the station's upgrade history, read as it opens.
    function test_historyButtonOpensTheHistory() {
        var dialog = page.historyDialog
        mouseClick(findChild(page, "historyButton"))
        tryCompare(dialog, "opened", true)
        var summary = findChild(dialog.contentItem, "historySummary")
        verify(/^(还没有升级历史：|共 \d+ 条升级记录$)/.test(summary.text), summary.text)
        findChild(dialog.contentItem, "channelField").text = "9:9"
        mouseClick(findChild(dialog.contentItem, "historyQueryButton"))
        compare(summary.text, "通道格式应为 适配器.通道，例如 0.1")
        compare(findChild(dialog.contentItem, "historyExportButton").enabled, false)
        dialog.close()
        tryCompare(dialog, "visible", false)
    }
}
