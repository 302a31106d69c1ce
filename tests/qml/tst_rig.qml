import QtQuick
import QtTest
import Ostrelo 1.0

// The windows at the largest rig (OSTRELO_CAN=sim:sim/scenarios/rig-24.scn):
// 24 channels found by "检测适配器" and brought up, 120 motors scanned,
// paired, brought into their bootloader and upgraded through the motor list.
// Leaves pictures of the channel window and the motor list, named after the
// screen size (rig-*-WxH.png), in the test's build folder.
TestCase {
    id: testCase
    name: "Rig"
    when: windowShown

    Component {
        id: mainComponent
        Main {}
    }

    property var main: null
    property var controller: null
    property var model: null
    readonly property string size: main ? main.Screen.width + "x" + main.Screen.height : ""

    SignalSpy {
        id: scanCompletedSpy
        signalName: "scanCompleted"
    }

    SignalSpy {
        id: upgradeCompletedSpy
        signalName: "upgradeCompleted"
    }

    function click(root, name) {
        var item = findChild(root, name)
        verify(item !== null, name)
        verify(item.enabled, name + " is enabled")
        mouseClick(item)
    }

    function screenshot(win, fileName) {
        if (win.page && win.page.listView)
            tryVerify(function () { return testHelper.rowsMade(win.page.listView) }, 10000, "the rows of " + fileName)
        waitForRendering(win.contentItem)
        verify(testHelper.saveWindow(win, fileName), "saved " + fileName)
    }

    function countRows(role, value) {
        var n = 0
        for (var i = 0; i < model.rowCount(); ++i)
            if (model.data(model.index(i, 0), role) === value)
                ++n
        return n
    }

    function initTestCase() {
        main = mainComponent.createObject(testCase)
        controller = main.controller
        model = controller.motorListModel
        scanCompletedSpy.target = controller
        upgradeCompletedSpy.target = controller
    }

    function cleanupTestCase() {
        main.closeNow()
        main.destroy()
    }

    function test_1_channels() {
        var win = main.openChannelConfigWindow()
        var page = win.page
        compare(findChild(page, "rowsGroup").title, "通道配置列表 (最多12个)")
        click(page, "detectButton")
        compare(controller.statusMessage, "检测到 4 个适配器，共 24 个通道")
        compare(findChild(page, "rowsGroup").title, "通道配置列表 (最多24个)")
        compare(findChild(page, "channelRowList").count, 24)
        click(page, "setConfigButton")
        click(page, "applyConfigButton")
        compare(controller.statusMessage, "成功初始化 24 个通道")
        compare(page.availableChannels.length, 24)
        var list = findChild(page, "channelRowList")
        list.positionViewAtEnd()
        var last = findChild(page, "channelRow23")
        verify(last !== null)
        verify(Qt.colorEqual(last.color, "#d4edda"), "the last channel is up")
        compare(findChild(last, "channelSpin").value, 5)
        list.positionViewAtBeginning()
        screenshot(win, "rig-channel-config-" + size + ".png")
        win.close()
    }

    function test_2_scanPairAndUpgrade() {
        var scan = main.openMotorScanWindow()
        findChild(scan.page, "toField").text = "120"
        findChild(scan.page, "timeoutField").text = "100"
        click(scan.page, "startScanButton")
        scanCompletedSpy.wait(120000)
        compare(scanCompletedSpy.signalArguments[0][0], 120)
        compare(scan.page.progressModel.count, 24)
        compare(scan.page.progressModel.get(23).adapterName, "canalyst-II")

        var list = main.motorListWindow
        tryCompare(list, "visible", true)
        var page = list.page
        page.applyChosenFolder(testHelper.fileUrl(testHelper.demoFirmwareDir))
        click(page, "matchFilesButton")
        compare(controller.statusMessage, "匹配了 120 个文件")
        click(page, "enterBootloaderAllButton")
        tryVerify(function () { return countRows(MotorListModel.MotorStatusRole, CANopenWrapper.Bootloader) === 120 },
                  60000, "every motor in its bootloader")
        tryCompare(controller, "activeOperations", 0, 10000)
        wait(200) // the applications restart into their bootloaders
        click(page, "upgradeAllButton")
        compare(controller.statusMessage, "已提交 120 个升级任务到线程池")
        tryVerify(function () { return upgradeCompletedSpy.count >= 120 }, 300000, "all upgrades ended")
        tryCompare(controller, "statusMessage", "全部升级结束：成功 120 个，失败 0 个")
        compare(countRows(MotorListModel.ProgressTextRole, "升级成功"), 120)
        // The end of the list: the motors of the last adapter's last channel.
        page.listView.positionViewAtEnd()
        screenshot(list, "rig-motor-list-" + size + ".png")
    }
}
