import QtQuick
import QtQuick.Controls
import QtQuick.Window

// A clear frame around the control that has the keyboard focus (the style's
// own is faint). Put one into each window; it follows the window's focus.
Rectangle {
    id: ring
    objectName: "focusRing"

    property Window window: null
    // Controls say whether their focus came from the keyboard.
    readonly property Control focused: window ? window.activeFocusItem as Control : null
    readonly property Item target: focused && focused.visualFocus ? focused : null
    property rect frame: Qt.rect(0, 0, 0, 0)

    function follow() {
        if (!target || !parent) {
            frame = Qt.rect(0, 0, 0, 0)
            return
        }
        var p = target.mapToItem(parent, 0, 0)
        frame = Qt.rect(p.x - 3, p.y - 3, target.width + 6, target.height + 6)
    }

    parent: window ? window.contentItem : null
    z: 10000
    visible: target !== null && target.visible
    x: frame.x
    y: frame.y
    width: frame.width
    height: frame.height
    color: "transparent"
    radius: 4
    border.width: 2
    border.color: "#0d47a1"

    onTargetChanged: follow()
    // The control may move (a list scrolls, a layout changes) while it keeps the focus.
    Timer {
        interval: 100
        repeat: true
        running: ring.target !== null
        onTriggered: ring.follow()
    }
}
