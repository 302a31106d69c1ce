import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import QtQuick.Window
import Ostrelo 1.0

Item {
    id: motorScanPage

    property CANopenWrapper canopen: null
    // One card per channel, kept up to date by the controller's scan signals.
    readonly property alias progressModel: channelProgressList

    // The model follows the page's controller before it is filled.
    function fillIfInitialized() {
        channelProgressList.canopen = canopen
        if (canopen && canopen.initialized)
            channelProgressList.fill()
    }

    function parsedField(text, fallback) {
        var v = parseInt(text, 10)
        return (isNaN(v) || v === 0) ? fallback : v
    }

    function scanRange() {
        var from = Math.min(127, Math.max(1, parsedField(fromField.text, 1)))
        var to = Math.max(from, Math.min(127, parsedField(toField.text, 127)))
        var timeout = Math.min(10000, Math.max(100, parsedField(timeoutField.text, 4000)))
        return { from: from, to: to, timeout: timeout }
    }

    // The motors the operator expects on all channels; 0 when not given.
    function expectedMotors() {
        var v = parseInt(expectedField.text, 10)
        return isNaN(v) || v < 0 ? 0 : Math.min(v, 127 * 24)
    }

    // The last run's range, time-out and expected count; the defaults above
    // on the first start.
    function loadSettings() {
        if (!canopen)
            return
        fromField.text = String(canopen.setting("scan/from", fromField.text))
        toField.text = String(canopen.setting("scan/to", toField.text))
        timeoutField.text = String(canopen.setting("scan/timeout", timeoutField.text))
        expectedField.text = String(canopen.setting("scan/expected", expectedField.text))
    }

    function startScan() {
        if (!canopen || canopen.scanning)
            return
        var r = scanRange()
        canopen.setSetting("scan/from", r.from)
        canopen.setSetting("scan/to", r.to)
        canopen.setSetting("scan/timeout", r.timeout)
        canopen.setSetting("scan/expected", expectedField.text)
        shortfall.found = -1
        // Every scan starts with fresh cards at 0 %.
        channelProgressList.fill()
        canopen.scanMotorsOnAllChannels(r.from, r.to, r.timeout)
    }

    onCanopenChanged: {
        fillIfInitialized()
        loadSettings()
    }

    Connections {
        target: motorScanPage.canopen
        function onScanCompleted(motorCount) { shortfall.found = motorCount }
    }

    Shortcut { sequence: "Ctrl+Return"; onActivated: motorScanPage.startScan() }
    Shortcut { sequence: "Ctrl+W"; onActivated: { var w = motorScanPage.Window.window; if (w) w.hide() } }
    Component.onCompleted: {
        fillIfInitialized()
        loadSettings()
    }

    ChannelScanModel {
        id: channelProgressList
    }

    ColumnLayout {
        anchors.fill: parent
        anchors.margins: 20
        spacing: 20

        GroupBox {
            title: qsTr("扫描参数")
            Layout.fillWidth: true
            Layout.preferredHeight: 250

            GridLayout {
                anchors.fill: parent
                columns: 2
                columnSpacing: 15
                rowSpacing: 15

                Label { text: qsTr("起始节点ID:"); font.pixelSize: 13 }
                TextField {
                    id: fromField
                    objectName: "fromField"
                    Layout.fillWidth: true
                    text: "1"
                    validator: IntValidator { bottom: 1; top: 127 }
                }

                Label { text: qsTr("结束节点ID:"); font.pixelSize: 13 }
                TextField {
                    id: toField
                    objectName: "toField"
                    Layout.fillWidth: true
                    text: "32"
                    validator: IntValidator { bottom: 1; top: 127 }
                }

                Label { text: qsTr("超时时间(ms):"); font.pixelSize: 13 }
                TextField {
                    id: timeoutField
                    objectName: "timeoutField"
                    Layout.fillWidth: true
                    text: "4000"
                    validator: IntValidator { bottom: 100; top: 10000 }
                }

                Label { text: qsTr("期望电机数:"); font.pixelSize: 13 }
                TextField {
                    id: expectedField
                    objectName: "expectedField"
                    Layout.fillWidth: true
                    placeholderText: qsTr("不检查")
                    validator: IntValidator { bottom: 0; top: 3048 }
                }
            }
        }

        RowLayout {
            Layout.fillWidth: true
            spacing: 15

            Button {
                objectName: "startScanButton"
                text: qsTr("开始扫描")
                ToolTip.visible: hovered
                ToolTip.delay: 500
                ToolTip.text: qsTr("快捷键：%1").arg("Ctrl+Enter")
                Layout.preferredWidth: 150
                Layout.preferredHeight: 45
                font.pixelSize: 14
                enabled: motorScanPage.canopen !== null && motorScanPage.canopen.initialized
                         && !motorScanPage.canopen.scanning
                onClicked: motorScanPage.startScan()
            }

            Label {
                objectName: "initLabel"
                Layout.fillWidth: true
                font.pixelSize: 13
                readonly property bool ready: motorScanPage.canopen !== null && motorScanPage.canopen.initialized
                text: ready ? qsTr("✓ 设备已初始化") : qsTr("✗ 请先配置设备通道")
                color: ready ? "green" : "red"
            }

            SimulatedBenchMark {
                canopen: motorScanPage.canopen
            }
        }

        // Fewer motors than expected: said until the next scan starts.
        Label {
            id: shortfall
            objectName: "shortfallLabel"
            property int found: -1
            readonly property int expected: motorScanPage.expectedMotors()
            Layout.fillWidth: true
            visible: found >= 0 && expected > 0 && found < expected
            text: qsTr("只发现 %1 个电机，期望 %2 个：请检查接线、电源和扫描范围").arg(found).arg(expected)
            color: "red"
            font.pixelSize: 13
            font.bold: true
            wrapMode: Text.Wrap
        }

        GroupBox {
            objectName: "progressGroup"
            title: qsTr("通道进度 (%1 个通道)").arg(channelProgressList.count)
            Layout.fillWidth: true
            Layout.fillHeight: true
            visible: channelProgressList.count > 0

            ScrollView {
                id: cardScroll
                anchors.fill: parent
                // Sized by the group box; its content must not size it back.
                implicitWidth: 100
                implicitHeight: 100
                clip: true
                contentWidth: availableWidth
                contentHeight: cardGrid.height

                // A positioner rather than a layout: the cards are rebuilt at
                // every scan start, also while the window is hidden.
                Grid {
                    id: cardGrid
                    width: cardScroll.availableWidth
                    columns: 2
                    spacing: 15

                    Repeater {
                        objectName: "cardRepeater"
                        model: channelProgressList

                        delegate: Rectangle {
                            id: card
                            required property int index
                            required property var model

                            objectName: "channelCard" + index
                            width: Math.floor((cardGrid.width - cardGrid.spacing) / 2) - 1
                            height: 120
                            color: "#f5f5f5"
                            border.width: 1
                            border.color: "#ddd"
                            radius: 6

                            ColumnLayout {
                                anchors.fill: parent
                                anchors.margins: 15
                                spacing: 8

                                Label {
                                    objectName: "cardTitle"
                                    text: card.model.channelInfo ? card.model.channelInfo : qsTr("通道 %1").arg(card.index + 1)
                                    font.bold: true
                                    font.pixelSize: 15
                                }
                                Label {
                                    Layout.fillWidth: true
                                    text: qsTr("设备类型: %1 | 设备索引: %2 | 通道索引: %3 | 波特率: %4 kbps")
                                          .arg(card.model.adapterName ? card.model.adapterName : qsTr("未知"))
                                          .arg(card.model.deviceIndex).arg(card.model.channelIndex).arg(card.model.bitrate)
                                    font.pixelSize: 11
                                    color: "#555"
                                    wrapMode: Text.Wrap
                                }
                                ProgressBar {
                                    objectName: "cardProgress"
                                    Layout.fillWidth: true
                                    Layout.preferredHeight: 22
                                    from: 0
                                    to: 100
                                    value: card.model.percent
                                }
                                Label {
                                    objectName: "cardStatus"
                                    Layout.fillWidth: true
                                    text: card.model.status ? card.model.status : qsTr("等待开始...")
                                    font.pixelSize: 12
                                    color: "#666"
                                    elide: Text.ElideRight
                                    // A note cut short shows whole in a tool tip.
                                    HoverHandler { id: cardStatusHover; enabled: parent.truncated }
                                    ToolTip.visible: truncated && cardStatusHover.hovered
                                    ToolTip.delay: 500
                                    ToolTip.text: text
                                }
                            }
                        }
                    }
                }
            }
        }

        // Keeps the parameter box at the top when no progress box is shown.
        Item {
            Layout.fillHeight: true
            visible: channelProgressList.count === 0
        }
    }
}
