#include "qml_types.h"

#include <QtQml>

#include "CANopenWrapper.h"
#include "ChannelConfigModel.h"
#include "ChannelScanModel.h"
#include "HistoryModel.h"
#include "MotorListModel.h"

void registerOstreloQmlTypes() {
    qmlRegisterType<CANopenWrapper>("Ostrelo", 1, 0, "CANopenWrapper");
    qmlRegisterType<MotorListModel>("Ostrelo", 1, 0, "MotorListModel");
    qmlRegisterUncreatableType<MotorTableModel>("Ostrelo", 1, 0, "MotorTableModel",
                                                QStringLiteral("owned by the controller"));
    qmlRegisterType<ChannelConfigModel>("Ostrelo", 1, 0, "ChannelConfigModel");
    qmlRegisterType<ChannelScanModel>("Ostrelo", 1, 0, "ChannelScanModel");
    qmlRegisterType<HistoryModel>("Ostrelo", 1, 0, "HistoryModel");
}
