import QtQuick
import QtTest
import Ostrelo 1.0

// The windows in English: the runner installs the English translation because
// OSTRELO_LANG=en is set for this test. Covers the pages' own labels and the
// controller's status texts, and leaves pictures of the three windows
// (en-*.png) in the test's build folder.
TestCase {
    id: testCase
    name: "English"
    when: windowShown

    Component {
        id: configComponent
        ChannelConfigWindow { visible: true }
    }
    Component {
        id: scanComponent
        MotorScanWindow { visible: true }
    }
    Component {
        id: listComponent
        MotorListWindow { visible: true }
    }

    CANopenWrapper {
        id: controller
    }

    SignalSpy {
        id: scanCompletedSpy
        target: controller
        signalName: "scanCompleted"
    }

    function cleanupTestCase() {
        controller.cleanupAll()
    }

    function child(root, name) {
        var item = findChild(root, name)
        verify(item !== null, name)
        return item
    }

    // Every listed object's text, in order: [objectName, expected text].
    function compareTexts(root, cases) {
        for (var i = 0; i < cases.length; ++i)
            compare(child(root, cases[i][0]).text, cases[i][1], cases[i][0])
    }

    function screenshot(win, fileName) {
        if (win.page && win.page.listView)
            tryVerify(function () { return testHelper.rowsMade(win.page.listView) }, 10000, "the rows of " + fileName)
        waitForRendering(win.contentItem)
        verify(testHelper.saveWindow(win, fileName), "saved " + fileName)
    }

    function test_1_channelConfig() {
        var win = createTemporaryObject(configComponent, testCase, { canopen: controller })
        compare(win.title, "Channel configuration")
        compareTexts(win.page, [["autoConfigButton", "Auto configure"], ["applyConfigButton", "Apply configuration"],
                                ["closeWindowButton", "Close window"], ["statusLabel", "Status: Not initialised"]])
        mouseClick(child(win.page, "autoConfigButton"))
        compare(controller.statusMessage, "Auto configuration done: 4 channel(s) configured and applied")
        compare(child(win.page, "statusLabel").text, "Status: " + controller.statusMessage)
        screenshot(win, "en-channel-config.png")
    }

    function test_2_scan() {
        var win = createTemporaryObject(scanComponent, testCase, { canopen: controller })
        compare(win.title, "Scan motors")
        compareTexts(win.page, [["startScanButton", "Start scan"], ["initLabel", "✓ Devices initialised"]])
        compare(child(win.page, "progressGroup").title, "Channel progress (4 channels)")
        mouseClick(child(win.page, "startScanButton"))
        scanCompletedSpy.wait(120000)
        compare(controller.statusMessage, "All channels scanned: " + scanCompletedSpy.signalArguments[0][0]
                + " motor(s) found")
        for (var i = 0; i < win.page.progressModel.count; ++i)
            verify(/^Done: \d+ motor\(s\) found$/.test(win.page.progressModel.get(i).status))
        screenshot(win, "en-motor-scan.png")
    }

    function test_3_motorList() {
        var win = createTemporaryObject(listComponent, testCase, { canopen: controller })
        var page = win.page
        var model = controller.motorListModel
        verify(model.rowCount() > 0)
        compare(win.title, "Motor list")
        compareTexts(page, [["upgradeAllButton", "Upgrade all"], ["enterBootloaderAllButton", "Enter bootloader"],
                            ["folderLabel", "No folder chosen"]])
        var row = child(page, "motorRow0")
        tryVerify(function () { return row.ready }, 10000, "row 0 made")
        compareTexts(row, [["upgradeButton", "Upgrade"], ["enterBlButton", "Enter BL"], ["chooseFileButton", "Choose"]])
        if (testHelper.demoFirmwareDir !== "") {
            page.applyChosenFolder(testHelper.fileUrl(testHelper.demoFirmwareDir))
            mouseClick(child(page, "matchFilesButton"))
            verify(/^\d+ file\(s\) matched$/.test(controller.statusMessage), controller.statusMessage)
        }
        // A row text and its colour come from the controller in English.
        var node = model.data(model.index(0, 0), MotorListModel.NodeIdRole)
        controller.enterBootloader(node)
        compare(child(row, "statusText").text, "Entering the bootloader...")
        tryVerify(function () { return child(row, "statusText").text === "Bootloader" }, 30000)
        verify(Qt.colorEqual(child(row, "statusText").color, "green"))
        screenshot(win, "en-motor-list.png")
        // A transfer's text fits beside its bar on a 1366 px wide screen.
        win.width = 1366
        controller.upgradeProgressPercent(node, 48, "Transferring: 23654/49168 bytes (48%)")
        waitForRendering(win.contentItem)
        compare(child(row, "upgradeProgressText").truncated, false)

        // The row's marks, and the question before a downgrade.
        var version = model.data(model.index(0, 0), MotorListModel.VersionRole)
        verify(testHelper.setMatchedFile(model, node, "/fw/x_V" + version.replace(/\./g, "_") + ".bin",
                                         MotorListModel.MatchLoose))
        compareTexts(row, [["versionMarkText", "Up to date"], ["matchMarkText", "Loose match"]])
        verify(testHelper.setMatchedFile(model, node, "/fw/x_V0_0_0_0.bin", MotorListModel.MatchExact))
        compare(child(row, "versionMarkText").text, "Downgrade")
        page.upgradeRow(node, "/fw/x_V0_0_0_0.bin", MotorListModel.FileOlder, version, "0.0.0.0")
        tryCompare(page.downgradeDialog, "opened", true)
        compare(page.downgradeDialog.title, "Confirm downgrade")
        compare(child(page.downgradeDialog.contentItem, "downgradeQuestion").text,
                "Node " + node + " runs version " + version + "; the file's version 0.0.0.0 is older. Downgrade it?")
        page.downgradeDialog.close()
    }
}
