import QtQuick
import QtTest
import Ostrelo 1.0

// The whole job through the windows on the default bench, the way an operator
// does it with the mouse: one-button configuration, scan, match the demo
// firmware folder, enter the bootloader, upgrade one motor, then all matched.
TestCase {
    id: testCase
    name: "EndToEnd"
    when: windowShown

    Component {
        id: mainComponent
        Main {}
    }

    property var main: null
    property var controller: null
    property var model: null
    property var upgraded: ({})

    SignalSpy {
        id: scanCompletedSpy
        signalName: "scanCompleted"
    }

    SignalSpy {
        id: holdCompletedSpy
        signalName: "preventAppStartAllCompleted"
    }

    SignalSpy {
        id: upgradeCompletedSpy
        signalName: "upgradeCompleted"
    }

    function nodeAt(i) {
        return model.data(model.index(i, 0), 257)
    }

    function stateAt(i) {
        return model.data(model.index(i, 0), 269)
    }

    function fileAt(i) {
        return model.data(model.index(i, 0), 268)
    }

    function motorAt(i) {
        return {
            node: nodeAt(i),
            adapter: model.data(model.index(i, 0), 260),
            channel: model.data(model.index(i, 0), 261),
            file: fileAt(i)
        }
    }

    function versionAt(i) {
        return model.data(model.index(i, 0), 266)
    }

    function roleAt(i, role) {
        return model.data(model.index(i, 0), role)
    }

    function allRows(predicate) {
        for (var i = 0; i < model.rowCount(); ++i)
            if (!predicate(i))
                return false
        return true
    }

    function click(root, name) {
        var item = findChild(root, name)
        verify(item !== null, name)
        verify(item.enabled, name + " is enabled")
        mouseClick(item)
        return item
    }

    function screenshot(win, fileName) {
        if (win.page && win.page.listView)
            tryVerify(function () { return testHelper.rowsMade(win.page.listView) }, 10000, "the rows of " + fileName)
        waitForRendering(win.contentItem)
        verify(testHelper.saveWindow(win, fileName), "saved " + fileName)
    }

    function rowOf(page, i) {
        page.listView.forceLayout()
        var r = findChild(page, "motorRow" + i)
        verify(r !== null, "row " + i)
        tryVerify(function () { return r.ready }, 10000, "row " + i + " made")
        return r
    }

    function initTestCase() {
        verify(testHelper.demoFirmwareDir !== "", "OSTRELO_DEMO_FW_DIR names the demo firmware folder")
        verify(testHelper.binFiles(testHelper.demoFirmwareDir).length > 0, "the demo folder holds .bin files")
        // Lives across the test functions, like the program's main window.
        main = mainComponent.createObject(testCase)
        verify(main !== null)
        controller = main.controller
        model = controller.motorListModel
        scanCompletedSpy.target = controller
        upgradeCompletedSpy.target = controller
        holdCompletedSpy.target = controller
        screenshot(main, "main-window.png")
    }

    function cleanupTestCase() {
        if (main)
            main.destroy()
    }

    function test_1_configure() {
        click(main.contentItem, "openChannelConfigButton")
        var win = main.channelConfigWindow
        tryCompare(win, "visible", true)
        click(win.page, "autoConfigButton")
        compare(controller.statusMessage, "一键配置完成：成功配置并应用 4 个通道")
        compare(controller.initialized, true)
        compare(win.page.availableChannels.length, 4)
        screenshot(win, "channel-config.png")
        click(win.page, "closeWindowButton")
        compare(win.visible, false)
    }

    function test_2_scan() {
        click(main.contentItem, "openMotorScanButton")
        var win = main.motorScanWindow
        tryCompare(win, "visible", true)
        compare(main.motorListWindow, null)
        click(win.page, "startScanButton")
        scanCompletedSpy.wait(120000)
        var count = scanCompletedSpy.signalArguments[0][0]
        compare(count, 8, "the default bench's eight motors are all listed")
        compare(model.rowCount(), count)
        compare(controller.statusMessage, "所有通道扫描完成，共发现 " + count + " 个电机")
        for (var i = 0; i < win.page.progressModel.count; ++i)
            verify(/^完成，发现 \d+ 个电机$/.test(win.page.progressModel.get(i).status))
        screenshot(win, "motor-scan.png")

        // The finished scan brought up the motor list.
        verify(main.motorListWindow !== null)
        tryCompare(main.motorListWindow, "visible", true)
        verify(allRows(function (i) { return stateAt(i) === 0 && fileAt(i) === "" }))
        screenshot(main.motorListWindow, "motor-list-scanned.png")
    }

    function test_3_matchFolder() {
        var page = main.motorListWindow.page
        compare(findChild(page, "matchFilesButton").enabled, false)
        // The dialog shown inside the demo folder (no sub-folders): the shown
        // folder is the selected one, so "Open" takes it.
        var dialog = page.folderDialog
        dialog.currentFolder = testHelper.fileUrl(testHelper.demoFirmwareDir)
        dialog.open()
        tryVerify(function () { return String(dialog.selectedFolder) === String(dialog.currentFolder) }, 3000)
        page.applyChosenFolder(page.acceptedFolder(dialog.selectedFolder, dialog.currentFolder))
        dialog.close()
        compare(page.selectedFolderPath, testHelper.demoFirmwareDir)
        click(page, "matchFilesButton")
        verify(/^匹配了 \d+ 个文件$/.test(controller.statusMessage), controller.statusMessage)
        var matched = 0
        for (var i = 0; i < model.rowCount(); ++i) {
            if (fileAt(i) !== "") {
                verify(testHelper.fileExists(fileAt(i)), fileAt(i))
                verify(fileAt(i).indexOf(testHelper.demoFirmwareDir + "/") === 0, fileAt(i))
                compare(findChild(rowOf(page, i), "fileNameText").text, page.getFileName(fileAt(i)))
                ++matched
            }
        }
        compare(matched, 8, "every motor matched")
    }

    function test_4_enterBootloader() {
        var page = main.motorListWindow.page
        click(page, "enterBootloaderAllButton")
        verify(/^已提交 \d+ 个进入Bootloader任务到线程池$/.test(controller.statusMessage))
        tryVerify(function () { return allRows(function (i) { return stateAt(i) === 2 }) }, 60000,
                  "every motor reached its bootloader")
        for (var i = 0; i < model.rowCount(); ++i)
            compare(roleAt(i, MotorListModel.StatusTextRole), "Bootloader")
    }

    function test_5_upgradeOne() {
        var page = main.motorListWindow.page
        var first = -1
        for (var i = 0; i < model.rowCount() && first < 0; ++i)
            if (fileAt(i) !== "")
                first = i
        verify(first >= 0)
        var node = nodeAt(first)
        upgradeCompletedSpy.clear()
        // On a narrow screen the action column is reached by scrolling.
        var view = page.listView
        view.contentX = view.originX + view.contentWidth - view.width
        click(rowOf(page, first), "upgradeButton")
        view.contentX = view.originX
        // The bar appears at once with the preparation text.
        verify(roleAt(first, MotorListModel.ProgressRole) >= 0)
        upgradeCompletedSpy.wait(120000)
        compare(upgradeCompletedSpy.signalArguments[0][0], node)
        compare(upgradeCompletedSpy.signalArguments[0][1], true)
        compare(stateAt(first), 0)
        compare(roleAt(first, MotorListModel.StatusTextRole), "Available")
        // The result stays in the row, with the version the motor runs now.
        wait(2200)
        compare(roleAt(first, MotorListModel.ProgressRole), 100)
        compare(roleAt(first, MotorListModel.ProgressTextRole), "升级成功")
        compare(versionAt(first), testHelper.binFileVersion(fileAt(first)))
        upgraded[node] = motorAt(first)
    }

    function test_6_upgradeAllMatched() {
        var page = main.motorListWindow.page
        var expected = 0
        for (var i = 0; i < model.rowCount(); ++i)
            if (fileAt(i) !== "" && stateAt(i) === 2)
                ++expected
        verify(expected >= 1)
        upgradeCompletedSpy.clear()
        click(page, "upgradeAllButton")
        compare(controller.statusMessage, "已提交 " + expected + " 个升级任务到线程池")
        // A second click queues nothing twice, and the rows in transfer
        // offer neither upgrade nor exit.
        click(page, "upgradeAllButton")
        compare(controller.statusMessage, "已提交 0 个升级任务到线程池（跳过 " + expected + " 个正在操作的电机）")
        for (i = 0; i < model.rowCount(); ++i) {
            if (controller.isOperationPending(nodeAt(i))) {
                compare(findChild(rowOf(page, i), "upgradeButton").enabled, false)
                compare(findChild(rowOf(page, i), "exitBlButton").enabled, false)
            }
        }
        // A moment in the middle of the transfers, for the documentation.
        tryVerify(function () {
            return upgradeCompletedSpy.count > 0 || !allRows(function (i) {
                return String(roleAt(i, MotorListModel.ProgressTextRole)).indexOf("传输中") !== 0
            })
        }, 60000)
        screenshot(main.motorListWindow, "motor-list-upgrading.png")
        tryVerify(function () { return upgradeCompletedSpy.count >= expected }, 240000, "all upgrades finished")
        compare(upgradeCompletedSpy.count, expected)
        for (i = 0; i < upgradeCompletedSpy.count; ++i)
            compare(upgradeCompletedSpy.signalArguments[i][1], true)
        tryCompare(controller, "statusMessage", "全部升级结束：成功 " + expected + " 个，失败 0 个")
        for (i = 0; i < model.rowCount(); ++i)
            if (fileAt(i) !== "")
                upgraded[nodeAt(i)] = motorAt(i)
        // Matched motors run their new application; the others stay in the bootloader.
        for (i = 0; i < model.rowCount(); ++i)
            compare(stateAt(i), fileAt(i) !== "" ? 0 : 2, "node " + nodeAt(i))
        verify(allRows(function (i) {
            return roleAt(i, MotorListModel.ProgressTextRole) === "升级成功"
                   && versionAt(i) === testHelper.binFileVersion(fileAt(i))
        }), "every row shows its result and new version")
        screenshot(main.motorListWindow, "motor-list.png")
        // The right-hand part of the table: actions and the row status texts.
        var view = page.listView
        view.contentX = view.originX + view.contentWidth - view.width
        screenshot(main.motorListWindow, "motor-list-status.png")
        view.contentX = view.originX
    }

    function test_7_versionsAfterRescan() {
        // Every upgraded motor runs the version of its file.
        var nodes = Object.keys(upgraded)
        verify(nodes.length >= 2)
        for (var n = 0; n < nodes.length; ++n) {
            var m = upgraded[nodes[n]]
            var fileVersion = testHelper.binFileVersion(m.file)
            verify(fileVersion !== "", m.file)
            compare(testHelper.benchMotorVersion(m.adapter, m.channel, m.node), fileVersion, m.file)
        }

        // Motors left in the bootloader do not answer the identity query, so
        // bring them back to their application first, then scan again.
        click(main.motorListWindow.page, "exitBootloaderAllButton")
        tryVerify(function () { return allRows(function (i) { return stateAt(i) === 0 }) }, 60000)
        main.openMotorScanWindow()
        scanCompletedSpy.clear()
        click(main.motorScanWindow.page, "startScanButton")
        scanCompletedSpy.wait(120000)

        // The list shows what each motor reports now: the new version for
        // every upgraded one.
        var checked = 0
        for (var i = 0; i < model.rowCount(); ++i) {
            var row = motorAt(i)
            var expected = testHelper.benchMotorVersion(row.adapter, row.channel, row.node)
            compare(versionAt(i), expected, "node " + row.node)
            var u = upgraded[row.node]
            if (u && u.adapter === row.adapter && u.channel === row.channel) {
                compare(versionAt(i), testHelper.binFileVersion(u.file), "upgraded node " + row.node)
                ++checked
            }
        }
        compare(checked, 8, "every upgraded motor listed again")
        screenshot(main.motorListWindow, "motor-list-rescanned.png")
    }

    function test_8_holdThroughPowerCycle() {
        // The bench's simulated operator switches a motor off and on when it
        // keeps getting the stop command, as the dialog asks a person to do.
        var page = main.motorListWindow.page
        verify(allRows(function (i) { return stateAt(i) === 0 }))
        holdCompletedSpy.clear()
        click(page, "startHoldButton")
        tryCompare(page.holdDialog, "opened", true)
        verify(controller.isPreventAppStartAllActive())
        screenshot(main.motorListWindow, "motor-list-hold.png")
        holdCompletedSpy.wait(90000)
        compare(holdCompletedSpy.signalArguments[0][0], model.rowCount())
        compare(holdCompletedSpy.signalArguments[0][1], model.rowCount())
        tryCompare(page.holdDialog, "visible", false)
        verify(allRows(function (i) { return stateAt(i) === 2 }))
        compare(controller.statusMessage,
                "交互式强制进入Bootloader完成，成功 " + model.rowCount() + "/" + model.rowCount() + " 个电机")
    }

    function test_9_closeWarnsOfMotorsInTheBootloader() {
        // The hold left every motor in its bootloader: closing asks first.
        main.close()
        verify(main.visible, "the close waits for an answer")
        compare(main.closeMode, "bootloader")
        tryCompare(main.closeDialog, "opened", true)
        compare(main.bootloaderNodes.length, model.rowCount())
        click(main.closeDialog.contentItem, "stayButton")
        tryCompare(main.closeDialog, "visible", false)
        verify(controller.initialized)
        main.close()
        tryCompare(main.closeDialog, "opened", true)
        click(main.closeDialog.contentItem, "quitButton")
        compare(main.visible, false)
        compare(controller.initialized, false)
    }
}
