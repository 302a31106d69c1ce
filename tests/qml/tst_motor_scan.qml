import QtQuick
import QtTest
import Ostrelo 1.0

TestCase {
    id: testCase
    name: "MotorScanPage"
    when: windowShown

    Component {
        id: windowComponent
        MotorScanWindow {
            visible: true
        }
    }

    CANopenWrapper {
        id: controller
    }

    SignalSpy {
        id: scanProgressSpy
        target: controller
        signalName: "scanProgress"
    }

    SignalSpy {
        id: channelProgressSpy
        target: controller
        signalName: "channelScanProgress"
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

    function openPage(withController) {
        win = createTemporaryObject(windowComponent, testCase, { canopen: withController ? controller : null })
        verify(win !== null)
        page = win.page
        waitForRendering(page)
    }

    function setFields(from, to, timeout) {
        findChild(page, "fromField").text = from
        findChild(page, "toField").text = to
        findChild(page, "timeoutField").text = timeout
    }

    function startAndWait() {
        scanProgressSpy.clear()
        channelProgressSpy.clear()
        scanCompletedSpy.clear()
        mouseClick(findChild(page, "startScanButton"))
        scanCompletedSpy.wait(60000)
    }

    function card(i) {
        return findChild(page, "channelCard" + i)
    }

    // Runs first (alphabetical order): nothing is configured yet.
    function test_a_disabledUntilChannelsAreApplied() {
        openPage(true)
        var button = findChild(page, "startScanButton")
        var label = findChild(page, "initLabel")
        compare(findChild(page, "fromField").text, "1")
        compare(findChild(page, "toField").text, "32")
        compare(findChild(page, "timeoutField").text, "4000")
        compare(button.enabled, false)
        compare(label.text, "✗ 请先配置设备通道")
        compareColor(label.color, "red")
        compare(page.progressModel.count, 0)
        compare(findChild(page, "progressGroup").visible, false)

        // A failed application keeps it disabled.
        controller.setChannelConfigs([{ deviceType: 4, deviceIndex: 3, canChannel: 1 }])
        controller.applyChannelConfigs()
        compare(controller.initialized, false)
        compare(button.enabled, false)

        verify(controller.autoConfigureChannels() > 0)
        compare(button.enabled, true)
        compare(label.text, "✓ 设备已初始化")
        compareColor(label.color, "green")
    }

    function test_b_fieldClamping() {
        openPage(true)
        setFields("50", "10", "20")
        compare(page.scanRange(), { from: 50, to: 50, timeout: 100 })
        setFields("", "", "")
        compare(page.scanRange(), { from: 1, to: 127, timeout: 4000 })
        setFields("0", "200", "99999")
        compare(page.scanRange(), { from: 1, to: 127, timeout: 10000 })
        setFields("abc", "12", "500")
        compare(page.scanRange(), { from: 1, to: 12, timeout: 500 })
    }

    function test_c_startIsRaisedToTheEnd() {
        openPage(true)
        // The page filled its cards at once because the controller is up.
        var channels = controller.getAvailableChannels().length
        verify(channels > 0)
        compare(page.progressModel.count, channels)
        compare(page.progressModel.get(0).status, "等待开始...")

        setFields("50", "10", "20")
        startAndWait()
        compare(scanProgressSpy.signalArguments[0][1], "开始扫描，共 " + channels + " 个通道，" + channels + " 个节点")
        compare(channelProgressSpy.signalArguments[0][2], "准备扫描节点 50-50")
    }

    function test_d_emptyEndScansTo127() {
        openPage(true)
        setFields("125", "", "4000")
        startAndWait()
        var channels = page.progressModel.count
        compare(scanProgressSpy.signalArguments[0][1], "开始扫描，共 " + channels + " 个通道，" + 3 * channels + " 个节点")
        compare(channelProgressSpy.signalArguments[0][2], "准备扫描节点 125-127")
    }

    function test_e_cardsPerChannel() {
        openPage(true)
        setFields("1", "8", "1000")
        startAndWait()
        var channels = controller.getAvailableChannels()
        compare(page.progressModel.count, channels.length)
        compare(findChild(page, "progressGroup").title, "通道进度 (" + channels.length + " 个通道)")
        var total = 0
        for (var i = 0; i < channels.length; ++i) {
            var c = card(i)
            verify(c !== null, "card " + i)
            compare(findChild(c, "cardTitle").text, "通道 " + (i + 1))
            compare(findChild(c, "cardProgress").value, 100)
            var status = findChild(c, "cardStatus").text
            var m = /^完成，发现 (\d+) 个电机$/.exec(status)
            verify(m !== null, status)
            total += parseInt(m[1])
            var d = page.progressModel.get(i)
            compare(d.deviceTypeName, channels[i].deviceTypeName)
            compare(d.deviceIndex, channels[i].deviceIndex)
            compare(d.channelIndex, channels[i].canChannel)
            compare(d.bitrate, channels[i].bitrate)
            compareColor(c.color, "#f5f5f5")
        }
        verify(total > 0, "the bench has motors on nodes 1 to 8")
        compare(scanCompletedSpy.signalArguments[0][0], controller.motorListModel.rowCount())
    }

    function test_f_reportsBeyondTheCardsAddCards() {
        openPage(true)
        var channels = page.progressModel.count
        controller.channelScanProgress(channels + 1, 40, "扫描节点 ID=2 (2/5)")
        compare(page.progressModel.count, channels + 2)
        compare(page.progressModel.get(channels).status, "等待开始...")
        compare(page.progressModel.get(channels).deviceTypeName, "未知")
        compare(page.progressModel.get(channels).channelInfo, "通道 " + (channels + 1))
        compare(page.progressModel.get(channels + 1).percent, 40)
        compare(page.progressModel.get(channels + 1).status, "扫描节点 ID=2 (2/5)")

        controller.channelScanCompleted(channels + 2, 2)
        compare(page.progressModel.count, channels + 3)
        compare(page.progressModel.get(channels + 2).status, "完成，发现 2 个电机")
        compare(page.progressModel.get(channels + 2).percent, 100)

        // A remark after the scan (a node id listed with another channel).
        controller.channelScanNote(channels + 2, "节点 1 与其他通道重复，未列入列表")
        compare(page.progressModel.get(channels + 2).status, "完成，发现 2 个电机（节点 1 与其他通道重复，未列入列表）")
    }

    // The start button is off while a scan runs, so it cannot be started twice.
    function test_h_startDisabledWhileScanning() {
        openPage(true)
        setFields("1", "8", "1000")
        scanCompletedSpy.clear()
        var button = findChild(page, "startScanButton")
        mouseClick(button)
        compare(controller.scanning, true)
        compare(button.enabled, false)
        scanCompletedSpy.wait(60000)
        compare(scanCompletedSpy.count, 1)
        tryCompare(button, "enabled", true)
    }

    function test_g_withoutControllerTheButtonIsDisabled() {
        openPage(false)
        compare(findChild(page, "startScanButton").enabled, false)
        compare(findChild(page, "initLabel").text, "✗ 请先配置设备通道")
        page.startScan()
        compare(page.progressModel.count, 0)
    }

    // Fewer motors than the operator expects are said; range, time-out and
    // expected count are there again in the next window.
    function test_i_expectedMotorsAndRememberedFields() {
        openPage(true)
        setFields("1", "8", "1000")
        var expected = findChild(page, "expectedField")
        var shortfall = findChild(page, "shortfallLabel")
        expected.text = "99"
        startAndWait()
        var found = scanCompletedSpy.signalArguments[0][0]
        verify(found < 99)
        compare(shortfall.visible, true)
        compare(shortfall.text, "只发现 " + found + " 个电机，期望 99 个：请检查接线、电源和扫描范围")
        expected.text = String(found)
        compare(shortfall.visible, false)
        expected.text = "99"

        openPage(true)
        compare(findChild(page, "fromField").text, "1")
        compare(findChild(page, "toField").text, "8")
        compare(findChild(page, "timeoutField").text, "1000")
        compare(findChild(page, "expectedField").text, "99")
        compare(findChild(page, "shortfallLabel").visible, false)
    }
}
