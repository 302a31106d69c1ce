import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import QtQuick.Window
import Ostrelo 1.0

Item {
    id: channelConfigPage

    property CANopenWrapper canopen: null
    property var availableChannels: []
    property bool configInitialized: false

    // The rows, the adapter types and their channel counts: twelve rows and
    // two channels per canalyst-II adapter, unless the adapters found by
    // "检测适配器" have more (up to four adapters with six channels each).
    readonly property alias rows: channelConfigModel

    function valueOr(value, fallback) {
        return (value === undefined || value === null) ? fallback : value
    }

    // The channels applied in the last run, else the defaults.
    function initializeRows() {
        if (configInitialized)
            return
        var saved = canopen ? canopen.setting("channels/applied", []) : []
        if (saved && saved.length > 0)
            channelConfigModel.fillFromDetected(saved)
        else
            channelConfigModel.setDefaults()
        configInitialized = true
    }

    function rememberChannels() {
        var configs = channelConfigModel.configs()
        var enabled = []
        for (var i = 0; i < configs.length; ++i) {
            if (configs[i].enabled)
                enabled.push(configs[i])
        }
        canopen.setSetting("channels/applied", enabled)
    }

    // Green when the row's channel is among the channels that are up, red when
    // it is enabled but not up, grey when the row is not used.
    function rowColor(enabled, deviceType, deviceIndex, canChannel, channels) {
        if (!enabled)
            return "#f5f5f5"
        var fallback = channelConfigModel.defaultRow
        var type = valueOr(deviceType, fallback.deviceType)
        var index = valueOr(deviceIndex, fallback.deviceIndex)
        var channel = valueOr(canChannel, fallback.canChannel)
        for (var i = 0; i < channels.length; ++i) {
            var c = channels[i]
            if (Number(c.deviceType) === type && Number(c.deviceIndex) === index && Number(c.canChannel) === channel)
                return "#d4edda"
        }
        return "#f8d7da"
    }

    function oneButtonConfigure() {
        if (!canopen)
            return
        var result = canopen.autoConfigureChannels()
        console.log("[ChannelConfigPage] 一键配置完成，结果:", result)
        if (result <= 0)
            return
        var channels = canopen.getAvailableChannels()
        console.log("[ChannelConfigPage] 可用通道数量:", channels.length)
        channelConfigModel.fillFromChannels(channels)
        rememberChannels()
    }

    // The index of the default row's bit rate among `choices`.
    function defaultBitrateIndex(choices, row) {
        return Math.max(0, choices.indexOf(row.bitrate))
    }

    // Every channel the adapters offer, up at the chosen bit rate (those up
    // already run on); the rows show the channels that are up.
    function configureDetected(bitrate) {
        if (!canopen)
            return
        if (canopen.configureDetectedChannels(bitrate) > 0)
            channelConfigModel.fillFromChannels(canopen.getAvailableChannels())
    }

    // The rows become the channels the adapters offer, all enabled.
    function detectAdapters() {
        if (!canopen)
            return
        channelConfigModel.fillFromDetected(canopen.detectChannels())
    }

    function sendConfigs() {
        if (!canopen)
            return
        console.log("[ChannelConfigPage] 准备设置配置，共", channelConfigModel.count, "项")
        var configs = channelConfigModel.configs()
        for (var i = 0; i < configs.length; ++i) {
            var item = configs[i]
            console.log("[ChannelConfigPage] 配置项", i + 1, ":", "enabled=", item.enabled, "deviceType=",
                        item.deviceType, "deviceIndex=", item.deviceIndex, "canChannel=", item.canChannel,
                        "bitrate=", item.bitrate, "kbps")
        }
        console.log("[ChannelConfigPage] 发送", configs.length, "个配置项到后端")
        canopen.setChannelConfigs(configs)
    }

    function applyConfigs() {
        if (!canopen)
            return
        var result = canopen.applyChannelConfigs()
        console.log("应用配置结果:", result)
        if (result > 0)
            rememberChannels()
    }

    function closeWindow() {
        var w = channelConfigPage.Window.window
        if (w)
            w.hide()
    }

    Component.onCompleted: initializeRows()

    Shortcut { sequence: "Ctrl+D"; onActivated: channelConfigPage.detectAdapters() }
    Shortcut { sequence: "Ctrl+W"; onActivated: channelConfigPage.closeWindow() }

    ChannelConfigModel {
        id: channelConfigModel
    }

    Connections {
        target: channelConfigPage.canopen
        function onChannelsStatusUpdated(channels) {
            console.log("通道状态更新:", channels.length, "个可用通道")
            channelConfigPage.availableChannels = channels
        }
    }

    ColumnLayout {
        anchors.fill: parent
        anchors.margins: 10
        spacing: 10

        GroupBox {
            objectName: "rowsGroup"
            title: channelConfigModel.rowLimit === 12 ? qsTr("通道配置列表 (最多12个)")
                                                      : qsTr("通道配置列表 (最多%1个)").arg(channelConfigModel.rowLimit)
            Layout.fillWidth: true
            Layout.fillHeight: true

            ColumnLayout {
                anchors.fill: parent
                spacing: 0

                Rectangle {
                    Layout.fillWidth: true
                    Layout.preferredHeight: 40
                    color: "#e0e0e0"
                    border.color: "#ccc"
                    border.width: 1

                    RowLayout {
                        anchors.fill: parent
                        anchors.margins: 5
                        spacing: 10

                        Label { text: qsTr("启用"); font.bold: true; Layout.preferredWidth: 50 }
                        Label { text: "#"; font.bold: true; Layout.preferredWidth: 40; horizontalAlignment: Text.AlignHCenter }
                        Label { text: qsTr("设备类型"); font.bold: true; Layout.preferredWidth: 150 }
                        Label { text: qsTr("设备索引"); font.bold: true; Layout.preferredWidth: 100 }
                        Label { text: qsTr("CAN通道"); font.bold: true; Layout.preferredWidth: 100 }
                        Label { text: qsTr("波特率(kbps)"); font.bold: true; Layout.preferredWidth: 120 }
                        Item { Layout.fillWidth: true }
                    }
                }

                ListView {
                    id: rowList
                    objectName: "channelRowList"
                    Layout.fillWidth: true
                    Layout.fillHeight: true
                    Layout.topMargin: 2
                    clip: true
                    spacing: 2
                    model: channelConfigModel
                    boundsBehavior: Flickable.StopAtBounds
                    ScrollBar.vertical: ScrollBar {}

                    delegate: Rectangle {
                        id: rowItem
                        objectName: "channelRow" + index

                        required property int index
                        required property var model

                        readonly property bool rowEnabled: model.enabled === true
                        property bool updatingRow: false

                        width: ListView.view.width
                        height: 50
                        radius: 2
                        border.width: 1
                        border.color: "#ccc"
                        color: channelConfigPage.rowColor(model.enabled, model.deviceType, model.deviceIndex,
                                                          model.canChannel, channelConfigPage.availableChannels)

                        RowLayout {
                            anchors.fill: parent
                            anchors.margins: 5
                            spacing: 10

                            CheckBox {
                                objectName: "enabledCheck"
                                Layout.preferredWidth: 50
                                checked: rowItem.rowEnabled
                                onToggled: channelConfigModel.setEnabled(rowItem.index, checked)
                            }

                            Label {
                                text: "#" + (rowItem.index + 1)
                                font.bold: true
                                Layout.preferredWidth: 40
                                horizontalAlignment: Text.AlignHCenter
                            }

                            ComboBox {
                                id: typeCombo
                                objectName: "typeCombo"
                                Layout.preferredWidth: 150
                                enabled: rowItem.rowEnabled
                                model: channelConfigModel.deviceTypes
                                textRole: "text"
                                valueRole: "value"
                                currentIndex: rowItem.model.typeChoice
                                onActivated: function (choice) {
                                    if (rowItem.updatingRow)
                                        return
                                    rowItem.updatingRow = true
                                    // A channel the new type does not have becomes 0 in the row.
                                    channelConfigModel.setTypeChoice(rowItem.index, choice)
                                    rowItem.updatingRow = false
                                }
                            }

                            SpinBox {
                                objectName: "indexSpin"
                                Layout.preferredWidth: 100
                                enabled: rowItem.rowEnabled
                                from: 0
                                to: channelConfigModel.highestAdapterIndex
                                value: rowItem.model.deviceIndex
                                onValueModified: channelConfigModel.setDeviceIndex(rowItem.index, value)
                            }

                            SpinBox {
                                id: channelSpin
                                objectName: "channelSpin"
                                Layout.preferredWidth: 100
                                enabled: rowItem.rowEnabled
                                from: 0
                                to: rowItem.model.maxChannel
                                value: rowItem.model.canChannel
                                onValueModified: channelConfigModel.setCanChannel(rowItem.index, value)
                            }

                            ComboBox {
                                objectName: "bitrateCombo"
                                Layout.preferredWidth: 120
                                enabled: rowItem.rowEnabled
                                model: channelConfigModel.bitrates
                                currentIndex: {
                                    var choices = channelConfigModel.bitrates
                                    var i = choices.indexOf(Number(rowItem.model.bitrate))
                                    return i >= 0 ? i : choices.indexOf(channelConfigModel.defaultRow.bitrate)
                                }
                                onActivated: function (choice) {
                                    channelConfigModel.setBitrate(rowItem.index, channelConfigModel.bitrates[choice])
                                }
                            }

                            Item { Layout.fillWidth: true }
                        }
                    }
                }
            }
        }

        RowLayout {
            Layout.fillWidth: true
            spacing: 10

            Button {
                objectName: "autoConfigButton"
                text: qsTr("一键配置")
                Layout.preferredWidth: 120
                onClicked: channelConfigPage.oneButtonConfigure()
            }
            Button {
                objectName: "configureDetectedButton"
                text: qsTr("配置检测到的全部通道")
                ToolTip.visible: hovered
                ToolTip.delay: 500
                ToolTip.text: qsTr("检测所连接的适配器，并以所选波特率启动它们的全部通道；已启动的通道不变")
                onClicked: channelConfigPage.configureDetected(channelConfigModel.bitrates[detectedBitrate.currentIndex])
            }
            ComboBox {
                id: detectedBitrate
                objectName: "detectedBitrateCombo"
                Layout.preferredWidth: 110
                model: channelConfigModel.bitrates
                displayText: qsTr("%1 kbps").arg(currentText)
                currentIndex: channelConfigPage.defaultBitrateIndex(channelConfigModel.bitrates, channelConfigModel.defaultRow)
            }
            Button {
                objectName: "detectButton"
                text: qsTr("检测适配器")
                ToolTip.visible: hovered
                ToolTip.delay: 500
                ToolTip.text: qsTr("列出所连接适配器的全部通道（快捷键：Ctrl+D）")
                onClicked: channelConfigPage.detectAdapters()
            }
            Button {
                objectName: "zhcxBackendButton"
                text: qsTr("设置后端(zhcx)")
                onClicked: if (channelConfigPage.canopen) channelConfigPage.canopen.setBackendZhcx()
            }
            Button {
                objectName: "socketCanBackendButton"
                text: qsTr("设置后端(socketcan)")
                onClicked: if (channelConfigPage.canopen) channelConfigPage.canopen.setBackendSocketCan()
            }
            Button {
                objectName: "setConfigButton"
                text: qsTr("设置配置")
                onClicked: channelConfigPage.sendConfigs()
            }
            Button {
                objectName: "applyConfigButton"
                text: qsTr("应用配置")
                onClicked: channelConfigPage.applyConfigs()
            }
            Button {
                objectName: "closeWindowButton"
                text: qsTr("关闭窗口")
                onClicked: channelConfigPage.closeWindow()
            }
            Item { Layout.fillWidth: true }
        }

        RowLayout {
            Layout.fillWidth: true
            Label {
                objectName: "statusLabel"
                Layout.fillWidth: true
                wrapMode: Text.Wrap
                text: qsTr("状态: %1").arg(channelConfigPage.canopen ? channelConfigPage.canopen.statusMessage : "")
            }
            SimulatedBenchMark {
                canopen: channelConfigPage.canopen
            }
        }
    }
}
