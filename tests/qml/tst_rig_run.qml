import QtQuick
import QtTest
import Ostrelo 1.0

// The whole job at the largest rig as a technician runs it, on a bench with a
// few faulty motors (OSTRELO_CAN=sim:sim/scenarios/rig-24-faults.scn): every
// detected channel up with one button, a scan, the firmware folder (which
// pairs at once) and one action that upgrades everything. Then the end must
// be readable at the screen's size: the summary names the failed motors, the
// node id and the status of a row are in sight however far the table is
// scrolled, Shift and the wheel scroll sideways, and the failed rows can be
// shown alone. Leaves rig-run-<lang>-WxH.png in the test's build folder.
TestCase {
    id: testCase
    name: "RigRun"
    when: windowShown

    Component {
        id: mainComponent
        Main {}
    }

    property var main: null
    property var controller: null
    readonly property string size: main ? main.Screen.width + "x" + main.Screen.height : ""
    // The runner speaks English for OSTRELO_LANG=en: the main window's title says which.
    readonly property bool english: main !== null && main.title.indexOf("主窗口") < 0

    SignalSpy {
        id: scanCompletedSpy
        signalName: "scanCompleted"
    }

    function click(root, name) {
        var item = findChild(root, name)
        verify(item !== null, name)
        verify(item.enabled, name + " is enabled")
        verify(item.visible, name + " is visible")
        mouseClick(item)
    }

    function initTestCase() {
        main = mainComponent.createObject(testCase)
        controller = main.controller
        scanCompletedSpy.target = controller
    }

    function cleanupTestCase() {
        main.closeNow()
        main.destroy()
    }

    function test_1_channels() {
        var win = main.openChannelConfigWindow()
        click(win.page, "configureDetectedButton")
        compare(controller.getAvailableChannels().length, 24)
        win.close()
    }

    function test_2_oneActionAndItsEnd() {
        var scan = main.openMotorScanWindow()
        findChild(scan.page, "toField").text = "120"
        findChild(scan.page, "timeoutField").text = "100"
        click(scan.page, "startScanButton")
        scanCompletedSpy.wait(120000)
        compare(scanCompletedSpy.signalArguments[0][0], 120)
        scan.close()

        var list = main.motorListWindow
        tryCompare(list, "visible", true)
        verify(list.width <= list.Screen.width, "the list fits the screen's width")
        var page = list.page
        // The folder pairs at once; one action and one question do the rest.
        page.applyChosenFolder(testHelper.fileUrl(testHelper.demoFirmwareDir))
        compare(controller.motorListModel.data(controller.motorListModel.index(0, 0), MotorListModel.HasFileRole), true)
        click(page, "upgradeEverythingButton")
        var dialog = page.everythingDialog
        tryCompare(dialog, "opened", true)
        compare(dialog.count, 120)
        click(dialog.contentItem, "everythingConfirmButton")
        tryVerify(function () { return controller.upgradeSummary.ok !== undefined }, 120000, "the run ended")

        // The summary names the three failed motors with their channels.
        var summary = controller.upgradeSummary
        compare(summary.ok, 117)
        compare(summary.failed, 3)
        compare(summary.cancelled, 0)
        var named = []
        for (var i = 0; i < summary.problems.length; ++i)
            named.push(summary.problems[i].channel + "/" + summary.problems[i].nodeId)
        compare(named, ["0.1/7", "2.0/64", "3.1/99"])
        verify(page.summaryBox.visible)
        compare(findChild(page, "problemList").count, 3)

        var view = page.listView
        tryVerify(function () { return testHelper.rowsMade(view) }, 10000, "the rows are made")
        waitForRendering(list.contentItem)
        testHelper.saveWindow(list, "rig-run-" + (english ? "en" : "zh") + "-" + size + ".png")

        // Scrolled to its right end the table shows the status with the
        // node id still pinned at its left; every column can be reached.
        var row = findChild(view, "motorRow0")
        verify(row !== null)
        view.contentX = view.originX + Math.max(0, view.contentWidth - view.width)
        waitForRendering(list.contentItem)
        var status = findChild(row, "statusCell")
        var pinned = findChild(row, "pinnedNode")
        var s = status.mapToItem(view, 0, 0)
        var p = pinned.mapToItem(view, 0, 0)
        verify(s.x + status.width <= view.width + 1, "the status column ends in sight: " + s.x + "+" + status.width)
        verify(s.x >= pinned.width - 1, "the status column is not under the node id")
        compare(Math.round(p.x), 0)
        compare(findChild(pinned, "nodeIdText").text, "1")

        // Shift and the wheel scroll sideways, not down.
        view.contentX = view.originX
        var y = view.contentY
        mouseWheel(view, view.width / 2, view.height / 2, 0, -120, Qt.NoButton, Qt.ShiftModifier)
        verify(view.contentX > view.originX, "sideways")
        compare(view.contentY, y)

        // Only the failed rows, each saying so in words.
        click(page, "showProblemsButton")
        compare(controller.motorTable.shownCount, 3)
        tryVerify(function () { return findChild(view, "motorRow2") !== null })
        for (var r = 0; r < 3; ++r) {
            var phase = findChild(findChild(view, "motorRow" + r), "phaseText")
            compare(phase.text, english ? "✗ Failed" : "✗ 失败")
        }
        click(page, "showProblemsButton")
        compare(controller.motorTable.shownCount, 120)
    }

    // A version mismatch after the start, as the row shows it in the
    // screen's language: its status and reason are read whole in the status
    // column, wrapped within the row above the bar.
    function test_3_versionMismatchReadsWhole() {
        var page = main.motorListWindow.page
        var view = page.listView
        var model = controller.motorListModel
        var node = model.data(model.index(0, 0), MotorListModel.NodeIdRole)
        var file = "1.0.0.3", motor = "1.0.0.12"
        controller.upgradeProgressPercent(node, 0, qsTranslate("CANopenWrapper", "版本不符"))
        controller.motorStatusChanged(node, qsTranslate("CANopenWrapper", "版本不符（文件 %1，电机 %2）").arg(file).arg(motor))
        var reason = qsTranslate("CANopenWrapper", "%1：%2").arg(qsTranslate("CANopenWrapper", "确认应用启动"))
                     .arg(qsTranslate("CANopenWrapper", "应用版本不符"))
                     + qsTranslate("CANopenWrapper", "（文件 %1，电机报告 %2）").arg(file).arg(motor)
        verify(testHelper.setLastError(model, node, reason))
        view.contentX = view.originX + Math.max(0, view.contentWidth - view.width)
        var row = findChild(view, "motorRow0")
        tryVerify(function () { return row.ready })
        waitForRendering(main.motorListWindow.contentItem)
        var bottom = row.height - findChild(row, "progressStrip").height - 2
        var names = ["statusText", "lastErrorText"]
        for (var i = 0; i < names.length; ++i) {
            var text = findChild(row, names[i])
            verify(text.text.indexOf(motor) >= 0, text.text)
            compare(text.truncated, false, names[i] + " whole: " + text.text)
            var at = text.mapToItem(row, 0, 0)
            verify(at.y >= 0 && at.y + text.height <= bottom, names[i] + " within the row: " + at.y + "+" + text.height)
            var inView = text.mapToItem(view, 0, 0)
            verify(inView.x + text.width <= view.width + 1, names[i] + " in sight")
        }
    }
}
