import QtQuick
import QtQuick.Controls
import QtQuick.Dialogs
import QtQuick.Layouts
import Ostrelo 1.0

// The upgrade history of this station (every upgrade of the window and of
// ostrelo-cli), newest first, with filters and an export as CSV.
Dialog {
    id: historyDialog
    objectName: "historyDialog"

    property CANopenWrapper canopen: null
    readonly property alias entries: historyModel
    readonly property alias exportDialog: exportDialog
    // The outcomes as the history names them, "" for all.
    readonly property var outcomes: ["", "ok", "failed", "interrupted", "in progress"]

    title: qsTr("升级历史")
    modal: true
    padding: 12
    parent: Overlay.overlay
    width: parent ? Math.min(parent.width - 20, 1200) : 1000
    height: parent ? Math.min(parent.height - 20, 640) : 560
    x: parent ? (parent.width - width) / 2 : 0
    y: parent ? (parent.height - height) / 2 : 0
    standardButtons: Dialog.Close

    function reload() {
        historyModel.load(sinceField.text, channelField.text, parseInt(nodeField.text, 10) || 0,
                          outcomes[outcomeBox.currentIndex])
    }

    function exportTo(url) {
        if (!canopen || !url || String(url) === "")
            return false
        return historyModel.exportCsv(canopen.urlToLocalPath(url))
    }

    onOpened: reload()

    HistoryModel {
        id: historyModel
    }

    ColumnLayout {
        anchors.fill: parent
        spacing: 8

        RowLayout {
            Layout.fillWidth: true
            spacing: 8
            Label { text: qsTr("自(UTC):") }
            TextField {
                id: sinceField
                objectName: "sinceField"
                Layout.preferredWidth: 150
                placeholderText: "2026-12-01"
                onAccepted: historyDialog.reload()
            }
            Label { text: qsTr("通道:") }
            TextField {
                id: channelField
                objectName: "channelField"
                Layout.preferredWidth: 70
                placeholderText: "0.1"
                onAccepted: historyDialog.reload()
            }
            Label { text: qsTr("节点ID:") }
            TextField {
                id: nodeField
                objectName: "nodeField"
                Layout.preferredWidth: 60
                validator: IntValidator { bottom: 1; top: 127 }
                onAccepted: historyDialog.reload()
            }
            Label { text: qsTr("结果:") }
            ComboBox {
                id: outcomeBox
                objectName: "outcomeBox"
                model: [qsTr("全部"), qsTr("成功"), qsTr("失败"), qsTr("中断"), qsTr("进行中")]
                onActivated: historyDialog.reload()
            }
            Button {
                objectName: "historyQueryButton"
                text: qsTr("查询")
                onClicked: historyDialog.reload()
            }
            Item { Layout.fillWidth: true }
            Button {
                objectName: "historyExportButton"
                text: qsTr("导出CSV")
                enabled: historyModel.count > 0
                onClicked: exportDialog.open()
            }
        }

        Label {
            objectName: "historySummary"
            Layout.fillWidth: true
            wrapMode: Text.Wrap
            color: historyModel.problem !== "" ? "red" : "#333"
            text: historyModel.problem !== "" ? historyModel.problem : qsTr("共 %1 条升级记录").arg(historyModel.count)
        }

        ListView {
            id: historyList
            objectName: "historyList"
            Layout.fillWidth: true
            Layout.fillHeight: true
            clip: true
            model: historyModel
            ScrollBar.vertical: ScrollBar {}
            delegate: Rectangle {
                id: entryRow
                required property int index
                required property string entryId
                required property string started
                required property string channel
                required property string node
                required property string model
                required property string versionBefore
                required property string versionAfter
                required property string file
                required property string outcome
                required property string attempts
                required property string note

                width: historyList.width
                height: entryText.implicitHeight + 10
                color: outcome === "ok" ? "#eef8ee" : (outcome === "in progress" ? "#fff7e0" : "#fbeaea")
                border.color: "#ddd"
                Text {
                    id: entryText
                    anchors.fill: parent
                    anchors.margins: 5
                    wrapMode: Text.Wrap
                    font.pixelSize: 12
                    text: "#" + entryRow.entryId + "  " + entryRow.started + "  " + qsTr("通道 %1 节点 %2").arg(entryRow.channel).arg(entryRow.node)
                          + "  " + (entryRow.model !== "" ? entryRow.model : qsTr("身份未知"))
                          + "  " + (entryRow.versionBefore !== "" ? entryRow.versionBefore : "?") + " → "
                          + (entryRow.versionAfter !== "" ? entryRow.versionAfter : "?") + "  " + entryRow.file
                          + "  [" + entryRow.outcome + "]"
                          + (entryRow.attempts !== "" ? "\n" + entryRow.attempts : "")
                          + (entryRow.note !== "" ? "\n" + entryRow.note : "")
                }
            }
        }
    }

    FileDialog {
        id: exportDialog
        title: qsTr("导出升级历史")
        nameFilters: [qsTr("CSV文件 (*.csv)")]
        defaultSuffix: "csv"
        fileMode: FileDialog.SaveFile
        onAccepted: historyDialog.exportTo(selectedFile)
    }
}
