import QtQuick
import QtQuick.Controls
import Ostrelo 1.0

// Says that the adapters are the simulated motor bench: nothing this window
// does reaches a real motor.
Rectangle {
    id: mark
    objectName: "simulatedBenchMark"

    property CANopenWrapper canopen: null

    visible: canopen !== null && canopen.simulatedBench
    implicitWidth: markText.implicitWidth + 16
    implicitHeight: markText.implicitHeight + 8
    radius: 3
    color: "#ef6c00"

    Label {
        id: markText
        anchors.centerIn: parent
        color: "white"
        font.bold: true
        text: qsTr("模拟台架")
    }

    ToolTip.visible: markArea.containsMouse
    ToolTip.text: qsTr("没有连接真实的CAN适配器：程序正在使用模拟的电机台架（OSTRELO_CAN 未设置或为 sim）")

    MouseArea {
        id: markArea
        anchors.fill: parent
        hoverEnabled: true
        acceptedButtons: Qt.NoButton
    }
}
