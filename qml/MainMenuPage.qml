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

    ColumnLayout {
        anchors.centerIn: parent
        width: 300
        spacing: 20

        Button {
            objectName: "openChannelConfigButton"
            text: qsTr("配置设备")
            Layout.fillWidth: true
            Layout.preferredHeight: 50
            font.pixelSize: 16
            onClicked: menuPage.callWindow("openChannelConfigWindow")
        }

        Button {
            objectName: "openMotorScanButton"
            text: qsTr("搜索电机")
            Layout.fillWidth: true
            Layout.preferredHeight: 50
            font.pixelSize: 16
            onClicked: menuPage.callWindow("openMotorScanWindow")
        }

        Button {
            objectName: "openMotorListButton"
            text: qsTr("电机列表")
            Layout.fillWidth: true
            Layout.preferredHeight: 50
            font.pixelSize: 16
            onClicked: menuPage.callWindow("openMotorListWindow")
        }

        Label {
            objectName: "statusLabel"
            text: qsTr("状态: %1").arg(menuPage.canopen ? menuPage.canopen.statusMessage : "")
            Layout.fillWidth: true
            wrapMode: Text.Wrap
        }
    }
}
