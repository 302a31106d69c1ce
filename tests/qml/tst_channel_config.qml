import QtQuick
import QtQuick.Window
import QtTest
import Ostrelo 1.0

TestCase {
    id: testCase
    name: "ChannelConfigPage"
    when: windowShown

    readonly property color red: "#f8d7da"
    readonly property color green: "#d4edda"
    readonly property color grey: "#f5f5f5"

    Component {
        id: windowComponent
        ChannelConfigWindow {
            visible: true
            CANopenWrapper {
                id: controller
            }
            canopen: controller
        }
    }

    function compareColor(actual, expected, message) {
        verify(Qt.colorEqual(actual, expected), (message ? message + ": " : "") + actual + " is not " + expected)
    }

    property var win: null
    property var page: null

    function init() {
        win = createTemporaryObject(windowComponent, testCase)
        verify(win !== null)
        page = win.page
        waitForRendering(page)
    }

    function cleanup() {
        // The adapters and channels are process-wide: leave none up.
        if (win && win.canopen)
            win.canopen.cleanupAll()
    }

    function row(i) {
        // Rebuilt rows get their delegates at the next layout.
        findChild(page, "channelRowList").forceLayout()
        var r = findChild(page, "channelRow" + i)
        verify(r !== null, "row " + i + " is shown")
        return r
    }

    function rowData(i) {
        return findChild(page, "channelRowList").model.get(i)
    }

    function test_initialRowsAndColours() {
        var list = findChild(page, "channelRowList")
        compare(list.count, 12)
        for (var i = 0; i < 12; ++i) {
            var d = rowData(i)
            compare(d.deviceType, 4)
            compare(d.bitrate, 1000)
            compare(d.enabled, i < 4, "row " + (i + 1) + " enabled")
        }
        compare([rowData(0).deviceIndex, rowData(0).canChannel], [0, 0])
        compare([rowData(1).deviceIndex, rowData(1).canChannel], [0, 1])
        compare([rowData(2).deviceIndex, rowData(2).canChannel], [1, 0])
        compare([rowData(3).deviceIndex, rowData(3).canChannel], [1, 1])

        // Before any application every enabled row is red, the rest grey.
        for (i = 0; i < 4; ++i)
            compareColor(row(i).color, red)
        compareColor(row(4).color, grey)
        compare(row(0).height, 50)
        compare(findChild(row(0), "typeCombo").currentText, "canalyst-II")
        compare(findChild(row(0), "bitrateCombo").currentText, "1000")
        verify(findChild(row(0), "typeCombo").enabled)
        verify(!findChild(row(4), "typeCombo").enabled, "controls of a disabled row are disabled")
        verify(!findChild(row(4), "channelSpin").enabled)

        // The colour rule itself, for rows of other types.
        compareColor(page.rowColor(true, 0, 1, 1, [{ deviceType: 4, deviceIndex: 1, canChannel: 1 }]), red)
        compareColor(page.rowColor(true, 0, 1, 1, [{ deviceType: 0, deviceIndex: 1, canChannel: 1 }]), green)
        compareColor(page.rowColor(true, undefined, undefined, undefined, [{ deviceType: 4, deviceIndex: 0, canChannel: 0 }]),
                green)
        compare(page.rowColor(false, 4, 0, 0, [{ deviceType: 4, deviceIndex: 0, canChannel: 0 }]), grey)
    }

    function test_typeSwitchLimitsTheChannel() {
        var r = row(1)
        var typeCombo = findChild(r, "typeCombo")
        var channelSpin = findChild(r, "channelSpin")
        compare(channelSpin.value, 1)
        compare(channelSpin.to, 1)

        // canalyst-II -> socketcan keeps channel 1 and allows up to 11.
        typeCombo.activated(0)
        compare(rowData(1).deviceType, 0)
        compare(rowData(1).canChannel, 1)
        compare(channelSpin.to, 11)
        compare(channelSpin.value, 1)

        for (var step = 0; step < 4; ++step)
            channelSpin.increase()
        channelSpin.valueModified()
        compare(rowData(1).canChannel, 5)

        // Back to canalyst-II: channel 5 does not exist there, so it becomes 0.
        typeCombo.activated(1)
        compare(rowData(1).deviceType, 4)
        compare(rowData(1).canChannel, 0)
        compare(channelSpin.to, 1)
        compare(channelSpin.value, 0)

        // Bit rate and index edits are stored into the row.
        var bitrateCombo = findChild(r, "bitrateCombo")
        bitrateCombo.activated(1)
        compare(rowData(1).bitrate, 250)
        var indexSpin = findChild(r, "indexSpin")
        for (step = 0; step < 7; ++step)
            indexSpin.increase()
        indexSpin.valueModified()
        compare(rowData(1).deviceIndex, 7)
        compare(indexSpin.to, 10)

        // Toggling a row's check box enables its controls.
        var check = findChild(row(5), "enabledCheck")
        mouseClick(check)
        compare(rowData(5).enabled, true)
        compareColor(row(5).color, red)
        verify(findChild(row(5), "typeCombo").enabled)
    }

    function test_setConfigSendsTwelveItems() {
        // Every row disabled: the controller gets twelve items and answers
        // that none is enabled.
        for (var i = 0; i < 4; ++i)
            mouseClick(findChild(row(i), "enabledCheck"))
        for (i = 0; i < 12; ++i)
            compare(rowData(i).enabled, false)
        mouseClick(findChild(page, "setConfigButton"))
        compare(win.canopen.statusMessage, "没有启用的配置项")
        compare(findChild(page, "statusLabel").text, "状态: 没有启用的配置项")
    }

    function test_setAndApplyColoursTheRows() {
        mouseClick(findChild(page, "zhcxBackendButton"))
        compare(win.canopen.statusMessage, "后端已设置为zhcx")
        mouseClick(findChild(page, "setConfigButton"))
        compare(win.canopen.statusMessage, "成功设置 4 个通道配置")
        mouseClick(findChild(page, "applyConfigButton"))
        compare(win.canopen.initialized, true)
        compare(page.availableChannels.length, 4)
        for (var i = 0; i < 4; ++i)
            compareColor(row(i).color, green, "row " + (i + 1))
        compareColor(row(4).color, grey)
    }

    function test_oneButtonConfiguration() {
        // Change a row first: the one-button configuration rebuilds the rows
        // from the channels that came up.
        findChild(row(0), "typeCombo").activated(0)
        mouseClick(findChild(page, "autoConfigButton"))
        compare(win.canopen.statusMessage, "一键配置完成：成功配置并应用 4 个通道")
        compare(page.availableChannels.length, 4)
        compare(findChild(page, "channelRowList").count, 12)
        for (var i = 0; i < 4; ++i) {
            compare(rowData(i).enabled, true)
            compare(rowData(i).deviceType, 4)
            compareColor(row(i).color, green, "row " + (i + 1))
        }
        for (i = 4; i < 12; ++i)
            compare(rowData(i).enabled, false)

        // A second press while the channels are up fails and leaves the rows.
        mouseClick(findChild(row(4), "enabledCheck"))
        compare(rowData(4).enabled, true)
        mouseClick(findChild(page, "autoConfigButton"))
        compare(win.canopen.statusMessage, "自动配置失败：无法设置通道配置")
        compare(rowData(4).enabled, true)
    }

    function test_closeButtonHidesAndKeepsRows() {
        findChild(row(2), "typeCombo").activated(0)
        mouseClick(findChild(page, "closeWindowButton"))
        compare(win.visible, false)
        win.show()
        tryCompare(win, "visible", true)
        compare(rowData(2).deviceType, 0)
        compare(findChild(row(2), "typeCombo").currentText, "socketcan")
    }

    function test_withoutControllerButtonsDoNothing() {
        win.canopen = null
        mouseClick(findChild(page, "autoConfigButton"))
        mouseClick(findChild(page, "setConfigButton"))
        mouseClick(findChild(page, "applyConfigButton"))
        compare(findChild(page, "statusLabel").text, "状态: ")
        compare(findChild(page, "channelRowList").count, 12)
        compare(rowData(0).enabled, true)
    }

    // The channels last applied are the rows of the next window.
    function test_z_appliedChannelsComeBack() {
        mouseClick(findChild(row(1), "enabledCheck"))
        mouseClick(findChild(page, "setConfigButton"))
        mouseClick(findChild(page, "applyConfigButton"))
        compare(win.canopen.initialized, true)
        win.canopen.cleanupAll()

        win = createTemporaryObject(windowComponent, testCase)
        page = win.page
        waitForRendering(page)
        compare(findChild(page, "channelRowList").count, 12)
        var expected = [[0, 0], [1, 0], [1, 1]]
        for (var i = 0; i < 12; ++i) {
            compare(rowData(i).enabled, i < 3, "row " + (i + 1) + " enabled")
            if (i < 3)
                compare([rowData(i).deviceIndex, rowData(i).canChannel], expected[i])
        }
    }
}
