// Declares the controller and the models to the QML tools (type
// descriptions for qmllint and the QML compiler), so that the pages' use of
// their properties, enumerations and roles is checked at build time. The
// program also registers the types itself when it starts.
#ifndef OSTRELO_QML_TYPES_H
#define OSTRELO_QML_TYPES_H

#include <QObject>
#include <QtQml/qqml.h>

#include "CANopenWrapper.h"
#include "ChannelConfigModel.h"
#include "ChannelScanModel.h"
#include "HistoryModel.h"
#include "MotorListModel.h"

struct OstreloControllerType {
    Q_GADGET
    QML_FOREIGN(CANopenWrapper)
    QML_NAMED_ELEMENT(CANopenWrapper)
};

struct OstreloMotorListModelType {
    Q_GADGET
    QML_FOREIGN(MotorListModel)
    QML_NAMED_ELEMENT(MotorListModel)
};

struct OstreloMotorTableModelType {
    Q_GADGET
    QML_FOREIGN(MotorTableModel)
    QML_NAMED_ELEMENT(MotorTableModel)
    QML_UNCREATABLE("owned by the controller")
};

struct OstreloChannelConfigModelType {
    Q_GADGET
    QML_FOREIGN(ChannelConfigModel)
    QML_NAMED_ELEMENT(ChannelConfigModel)
};

struct OstreloChannelScanModelType {
    Q_GADGET
    QML_FOREIGN(ChannelScanModel)
    QML_NAMED_ELEMENT(ChannelScanModel)
};

struct OstreloHistoryModelType {
    Q_GADGET
    QML_FOREIGN(HistoryModel)
    QML_NAMED_ELEMENT(HistoryModel)
};

#endif
