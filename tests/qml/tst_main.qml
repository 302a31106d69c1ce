import QtQuick
import QtTest
import Ostrelo 1.0

TestCase {
    id: testCase
    name: "MainWindow"
    when: windowShown

    Component {
        id: mainComponent
        Main {}
    }

    function createMain() {
        var main = createTemporaryObject(mainComponent, testCase)
        verify(main !== null, "main window created")
        return main
    }

    function test_a_mainWindowAndMenu() {
        var main = createMain()
        // The specified size, or the screen's available area where smaller.
        compare(main.width, Math.min(1000, main.Screen.desktopAvailableWidth))
        compare(main.height, Math.min(700, main.Screen.desktopAvailableHeight - 32))
        compare(main.title, "Motor Upgrade Tool - 主窗口")
        verify(main.visible)
        verify(main.controller !== null)
        compare(main.channelConfigWindow, null)
        compare(main.motorScanWindow, null)
        compare(main.motorListWindow, null)

        var buttons = ["openChannelConfigButton", "openMotorScanButton", "openMotorListButton"]
        var texts = ["配置设备", "搜索电机", "电机列表"]
        for (var i = 0; i < buttons.length; ++i) {
            var b = findChild(main.contentItem, buttons[i])
            verify(b !== null, buttons[i])
            compare(b.text, texts[i])
            compare(b.width, 300)
            compare(b.height, 50)
            compare(b.font.pixelSize, 16)
        }
        var status = findChild(main.contentItem, "statusLabel")
        compare(status.text, "状态: " + main.controller.statusMessage)
        compare(status.wrapMode, Text.Wrap)
        compare(status.width, 300)
    }

    function test_b_secondaryWindowsAreCreatedOnceAndHiddenOnClose() {
        var main = createMain()
        var cases = [
            { button: "openChannelConfigButton", prop: "channelConfigWindow", title: "通道配置", w: 1200, h: 800 },
            { button: "openMotorScanButton", prop: "motorScanWindow", title: "搜索电机", w: 1000, h: 800 },
            { button: "openMotorListButton", prop: "motorListWindow", title: "电机列表", w: 1400, h: 800 }
        ]
        for (var i = 0; i < cases.length; ++i) {
            var c = cases[i]
            var button = findChild(main.contentItem, c.button)
            mouseClick(button)
            var win = main[c.prop]
            verify(win !== null, c.prop + " created")
            tryCompare(win, "visible", true)
            compare(win.title, c.title)
            compare(win.width, Math.min(c.w, win.Screen.desktopAvailableWidth))
            compare(win.height, Math.min(c.h, win.Screen.desktopAvailableHeight - 32))
            verify(win.height <= win.Screen.desktopAvailableHeight, "fits the screen")
            verify(win.canopen === main.controller, "shares the main window's controller")
            verify(win.page.canopen === main.controller, "page gets the same controller")
            verify(win.transientParent === main, "transient for the main window")

            // A second click only brings the same window to the front.
            mouseClick(button)
            verify(main[c.prop] === win, "second click reuses the window")

            // Closing hides it; it survives with its page.
            win.close()
            compare(win.visible, false)
            verify(main[c.prop] === win)
            mouseClick(button)
            verify(main[c.prop] === win)
            tryCompare(win, "visible", true)
            win.close()
        }
    }

    function test_c_pageStateSurvivesHiding() {
        var main = createMain()
        var win = main.openMotorScanWindow()
        var fromField = findChild(win.page, "fromField")
        fromField.text = "17"
        win.page.canopen.channelScanProgress(0, 40, "扫描节点 ID=3 (3/32)")
        win.close()
        verify(!win.visible)
        main.openMotorScanWindow()
        verify(main.motorScanWindow === win)
        compare(findChild(win.page, "fromField").text, "17")
        compare(win.page.progressModel.count, 1)
        compare(win.page.progressModel.get(0).status, "扫描节点 ID=3 (3/32)")
    }

    function test_d_scanCompletionOpensTheMotorList() {
        var main = createMain()
        compare(main.motorListWindow, null)
        // Also when nothing was found.
        main.controller.scanCompleted(0)
        verify(main.motorListWindow !== null)
        tryCompare(main.motorListWindow, "visible", true)
        var win = main.motorListWindow
        win.close()
        verify(!win.visible)
        main.controller.scanCompleted(3)
        verify(main.motorListWindow === win)
        tryCompare(win, "visible", true)
    }

    function test_e_statusLineFollowsTheController() {
        var main = createMain()
        var status = findChild(main.contentItem, "statusLabel")
        main.controller.setChannelConfigs([])
        compare(status.text, "状态: 配置列表为空")
        main.controller.setChannelConfigs([{ enabled: false }])
        compare(status.text, "状态: 没有启用的配置项")
        // Long texts wrap inside the 300 px column instead of widening it,
        // downwards: the buttons above stay where they are.
        var button = findChild(main.contentItem, "openMotorListButton")
        var buttonY = button.mapToItem(main.contentItem, 0, 0).y
        status.text = "状态: " + "很长的状态文字".repeat(12)
        verify(status.lineCount >= 2, "wrapped: " + status.lineCount)
        compare(status.width, 300)
        compare(button.mapToItem(main.contentItem, 0, 0).y, buttonY)
        verify(findChild(main.contentItem, "simulatedBenchMark").visible)
    }

    function test_f_closingReleasesEverythingAndDestroysWindows() {
        var main = createMain()
        main.openChannelConfigWindow()
        main.openMotorScanWindow()
        main.openMotorListWindow()
        main.channelConfigWindow.close()
        main.motorScanWindow.close()
        main.motorListWindow.close()
        var destroyedCount = 0
        main.channelConfigWindow.Component.destruction.connect(function () { destroyedCount++ })
        main.motorScanWindow.Component.destruction.connect(function () { destroyedCount++ })
        main.motorListWindow.Component.destruction.connect(function () { destroyedCount++ })

        main.close()
        compare(main.visible, false)
        compare(main.channelConfigWindow, null)
        compare(main.motorScanWindow, null)
        compare(main.motorListWindow, null)
        compare(main.controller.statusMessage, "所有资源已清理")
        compare(main.controller.initialized, false)
        tryVerify(function () { return destroyedCount === 3 })
    }
}
