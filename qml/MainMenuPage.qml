import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Ostrelo 1.0

Item {
    id: menuPage

    property CANopenWrapper canopen: null
    property var mainWindow: null

    function callWindow(name) {
        if (mainWindow && typeof mainWindow[name] === "function")
            mainWindow[name]()
    }

    component MenuButton: Button {
        property string keys: ""
        Layout.fillWidth: true
        Layout.preferredHeight: 50
        font.pixelSize: 16
        ToolTip.visible: hovered
        ToolTip.delay: 500
        ToolTip.text: qsTr("快捷键：%1").arg(keys)
    }

    Shortcut { sequence: "Ctrl+1"; onActivated: menuPage.callWindow("openChannelConfigWindow") }
    Shortcut { sequence: "Ctrl+2"; onActivated: menuPage.callWindow("openMotorScanWindow") }
    Shortcut { sequence: "Ctrl+3"; onActivated: menuPage.callWindow("openMotorListWindow") }

    // The buttons stay centred whatever the status text below them does
    // (a long text wraps downwards instead of pushing them up).
    ColumnLayout {
        id: menuColumn
        anchors.centerIn: parent
        width: 300
        spacing: 20

        MenuButton {
            objectName: "openChannelConfigButton"
            text: qsTr("配置设备")
            keys: "Ctrl+1"
            onClicked: menuPage.callWindow("openChannelConfigWindow")
        }

        MenuButton {
            objectName: "openMotorScanButton"
            text: qsTr("搜索电机")
            keys: "Ctrl+2"
            onClicked: menuPage.callWindow("openMotorScanWindow")
        }

        MenuButton {
            objectName: "openMotorListButton"
            text: qsTr("电机列表")
            keys: "Ctrl+3"
            onClicked: menuPage.callWindow("openMotorListWindow")
        }
    }

    Label {
        objectName: "statusLabel"
        anchors.top: menuColumn.bottom
        anchors.topMargin: 20
        anchors.horizontalCenter: menuColumn.horizontalCenter
        width: menuColumn.width
        text: qsTr("状态: %1").arg(menuPage.canopen ? menuPage.canopen.statusMessage : "")
        wrapMode: Text.Wrap
    }

    SimulatedBenchMark {
        anchors.right: parent.right
        anchors.bottom: parent.bottom
        anchors.margins: 10
        canopen: menuPage.canopen
    }
}
