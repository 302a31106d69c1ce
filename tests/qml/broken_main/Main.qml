import QtQuick

// A main window that cannot be created: the program must end with -1 and
// show nothing.
Window {
    visible: true
    NoSuchElement {}
}
