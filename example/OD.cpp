#include "OD.h"

#define RPDO_COMM(cobId)                                                                                     \
    { 5, (cobId), 0xFE, 0 }
#define TPDO_COMM(cobId)                                                                                     \
    { 6, (cobId), 0xFE, 0, 0, 0 }
#define PDO_MAP_EMPTY                                                                                        \
    {                                                                                                        \
        0, {                                                                                                 \
            0, 0, 0, 0, 0, 0, 0, 0                                                                           \
        }                                                                                                    \
    }

OD_PERSIST_COMM_t OD_PERSIST_COMM = {
    0x00000000u, /* 0x1000 */
    0x00000080u, /* 0x1005 */
    0x00000000u, /* 0x1006 */
    0x00000000u, /* 0x1007 */
    0x00000100u, /* 0x1012 */
    0x00000080u, /* 0x1014 */
    0,           /* 0x1015 */
    8,           /* 0x1016 sub 0 */
    {0, 0, 0, 0, 0, 0, 0, 0},
    0,                                /* 0x1017 */
    {4, 0, 0, 0, 0},                  /* 0x1018 */
    0,                                /* 0x1019 */
    {3, 0x80000000u, 0x80000000u, 1}, /* 0x1280 */
    {RPDO_COMM(0x80000200u), RPDO_COMM(0x80000300u), RPDO_COMM(0x80000400u), RPDO_COMM(0x80000500u)},
    {PDO_MAP_EMPTY, PDO_MAP_EMPTY, PDO_MAP_EMPTY, PDO_MAP_EMPTY},
    {TPDO_COMM(0xC0000180u), TPDO_COMM(0xC0000280u), TPDO_COMM(0xC0000380u), TPDO_COMM(0xC0000480u)},
    {PDO_MAP_EMPTY, PDO_MAP_EMPTY, PDO_MAP_EMPTY, PDO_MAP_EMPTY},
};

OD_RAM_t OD_RAM = {
    0, /* 0x1001 */
    4,
    {1, 1, 1, 1}, /* 0x1010 */
    4,
    {1, 1, 1, 1},        /* 0x1011 */
    {2, 0x600u, 0x580u}, /* 0x1200 */
};

#define PC OD_PERSIST_COMM

#define RPDO_COMM_OBJ(n)                                                                                     \
    {                                                                                                        \
        {&PC.x1400_RPDOCommunicationParameter[n].highestSub_indexSupported, 0, ODA_SDO_R, 1},                \
            {&PC.x1400_RPDOCommunicationParameter[n].COB_IDUsedByRPDO, 1, ODA_SDO_RW | ODA_MB, 4},           \
            {&PC.x1400_RPDOCommunicationParameter[n].transmissionType, 2, ODA_SDO_RW, 1},                    \
            {&PC.x1400_RPDOCommunicationParameter[n].eventTimer, 5, ODA_SDO_RW | ODA_MB, 2},                 \
    }

#define TPDO_COMM_OBJ(n)                                                                                     \
    {                                                                                                        \
        {&PC.x1800_TPDOCommunicationParameter[n].highestSub_indexSupported, 0, ODA_SDO_R, 1},                \
            {&PC.x1800_TPDOCommunicationParameter[n].COB_IDUsedByTPDO, 1, ODA_SDO_RW | ODA_MB, 4},           \
            {&PC.x1800_TPDOCommunicationParameter[n].transmissionType, 2, ODA_SDO_RW, 1},                    \
            {&PC.x1800_TPDOCommunicationParameter[n].inhibitTime, 3, ODA_SDO_RW | ODA_MB, 2},                \
            {&PC.x1800_TPDOCommunicationParameter[n].eventTimer, 5, ODA_SDO_RW | ODA_MB, 2},                 \
            {&PC.x1800_TPDOCommunicationParameter[n].SYNCStartValue, 6, ODA_SDO_RW, 1},                      \
    }

#define PDO_MAP_OBJ(arr, n)                                                                                  \
    {                                                                                                        \
        {&PC.arr[n].numberOfMappedApplicationObjectsInPDO, 0, ODA_SDO_RW, 1},                                \
            {&PC.arr[n].applicationObject[0], 1, ODA_SDO_RW | ODA_MB, 4},                                    \
            {&PC.arr[n].applicationObject[1], 2, ODA_SDO_RW | ODA_MB, 4},                                    \
            {&PC.arr[n].applicationObject[2], 3, ODA_SDO_RW | ODA_MB, 4},                                    \
            {&PC.arr[n].applicationObject[3], 4, ODA_SDO_RW | ODA_MB, 4},                                    \
            {&PC.arr[n].applicationObject[4], 5, ODA_SDO_RW | ODA_MB, 4},                                    \
            {&PC.arr[n].applicationObject[5], 6, ODA_SDO_RW | ODA_MB, 4},                                    \
            {&PC.arr[n].applicationObject[6], 7, ODA_SDO_RW | ODA_MB, 4},                                    \
            {&PC.arr[n].applicationObject[7], 8, ODA_SDO_RW | ODA_MB, 4},                                    \
    }

namespace {

/* Descriptions of every object; constant, pointing into the two value records. */
struct ODObjs_t {
    OD_obj_var_t o_1000_deviceType;
    OD_obj_var_t o_1001_errorRegister;
    OD_obj_array_t o_1003_pre_definedErrorField;
    OD_obj_var_t o_1005_COB_ID_SYNCMessage;
    OD_obj_var_t o_1006_communicationCyclePeriod;
    OD_obj_var_t o_1007_synchronousWindowLength;
    OD_obj_array_t o_1010_storeParameters;
    OD_obj_array_t o_1011_restoreDefaultParameters;
    OD_obj_var_t o_1012_COB_IDTimeStamp;
    OD_obj_var_t o_1014_COB_ID_EMCY;
    OD_obj_var_t o_1015_inhibitTimeEMCY;
    OD_obj_array_t o_1016_consumerHeartbeatTime;
    OD_obj_var_t o_1017_producerHeartbeatTime;
    OD_obj_record_t o_1018_identity[5];
    OD_obj_var_t o_1019_synchronousCounterOverflowValue;
    OD_obj_record_t o_1200_SDOServerParameter[3];
    OD_obj_record_t o_1280_SDOClientParameter[4];
    OD_obj_record_t o_1400_RPDOCommunicationParameter[4][4];
    OD_obj_record_t o_1600_RPDOMappingParameter[4][9];
    OD_obj_record_t o_1800_TPDOCommunicationParameter[4][6];
    OD_obj_record_t o_1A00_TPDOMappingParameter[4][9];
};

const ODObjs_t ODObjs = {
    {&PC.x1000_deviceType, ODA_SDO_R | ODA_MB, 4},
    {&OD_RAM.x1001_errorRegister, ODA_SDO_R | ODA_TPDO, 1},
    /* No storage for the error history: every sub-entry reads as missing. */
    {NULL, NULL, ODA_SDO_RW, ODA_SDO_R | ODA_MB, 4, 4},
    {&PC.x1005_COB_ID_SYNCMessage, ODA_SDO_RW | ODA_MB, 4},
    {&PC.x1006_communicationCyclePeriod, ODA_SDO_RW | ODA_MB, 4},
    {&PC.x1007_synchronousWindowLength, ODA_SDO_RW | ODA_MB, 4},
    {&OD_RAM.x1010_storeParameters_sub0, &OD_RAM.x1010_storeParameters[0], ODA_SDO_R, ODA_SDO_RW | ODA_MB, 4,
     sizeof(uint32_t)},
    {&OD_RAM.x1011_restoreDefaultParameters_sub0, &OD_RAM.x1011_restoreDefaultParameters[0], ODA_SDO_R,
     ODA_SDO_RW | ODA_MB, 4, sizeof(uint32_t)},
    {&PC.x1012_COB_IDTimeStamp, ODA_SDO_RW | ODA_MB, 4},
    {&PC.x1014_COB_ID_EMCY, ODA_SDO_RW | ODA_MB, 4},
    {&PC.x1015_inhibitTimeEMCY, ODA_SDO_RW | ODA_MB, 2},
    {&PC.x1016_consumerHeartbeatTime_sub0, &PC.x1016_consumerHeartbeatTime[0], ODA_SDO_R, ODA_SDO_RW | ODA_MB,
     4, sizeof(uint32_t)},
    {&PC.x1017_producerHeartbeatTime, ODA_SDO_RW | ODA_MB, 2},
    {
        {&PC.x1018_identity.highestSub_indexSupported, 0, ODA_SDO_R, 1},
        {&PC.x1018_identity.vendor_ID, 1, ODA_SDO_R | ODA_MB, 4},
        {&PC.x1018_identity.productCode, 2, ODA_SDO_R | ODA_MB, 4},
        {&PC.x1018_identity.revisionNumber, 3, ODA_SDO_R | ODA_MB, 4},
        {&PC.x1018_identity.serialNumber, 4, ODA_SDO_R | ODA_MB, 4},
    },
    {&PC.x1019_synchronousCounterOverflowValue, ODA_SDO_RW, 1},
    {
        {&OD_RAM.x1200_SDOServerParameter.highestSub_indexSupported, 0, ODA_SDO_R, 1},
        {&OD_RAM.x1200_SDOServerParameter.COB_IDClientToServerRx, 1, ODA_SDO_R | ODA_TPDO | ODA_MB, 4},
        {&OD_RAM.x1200_SDOServerParameter.COB_IDServerToClientTx, 2, ODA_SDO_R | ODA_TPDO | ODA_MB, 4},
    },
    {
        {&PC.x1280_SDOClientParameter.highestSub_indexSupported, 0, ODA_SDO_R, 1},
        {&PC.x1280_SDOClientParameter.COB_IDClientToServerTx, 1, ODA_SDO_RW | ODA_TRPDO | ODA_MB, 4},
        {&PC.x1280_SDOClientParameter.COB_IDServerToClientRx, 2, ODA_SDO_RW | ODA_TRPDO | ODA_MB, 4},
        {&PC.x1280_SDOClientParameter.node_IDOfTheSDOServer, 3, ODA_SDO_RW, 1},
    },
    {RPDO_COMM_OBJ(0), RPDO_COMM_OBJ(1), RPDO_COMM_OBJ(2), RPDO_COMM_OBJ(3)},
    {PDO_MAP_OBJ(x1600_RPDOMappingParameter, 0), PDO_MAP_OBJ(x1600_RPDOMappingParameter, 1),
     PDO_MAP_OBJ(x1600_RPDOMappingParameter, 2), PDO_MAP_OBJ(x1600_RPDOMappingParameter, 3)},
    {TPDO_COMM_OBJ(0), TPDO_COMM_OBJ(1), TPDO_COMM_OBJ(2), TPDO_COMM_OBJ(3)},
    {PDO_MAP_OBJ(x1A00_TPDOMappingParameter, 0), PDO_MAP_OBJ(x1A00_TPDOMappingParameter, 1),
     PDO_MAP_OBJ(x1A00_TPDOMappingParameter, 2), PDO_MAP_OBJ(x1A00_TPDOMappingParameter, 3)},
};

} // namespace

const OD_entry_t ODList[OD_CNT_ENTRIES + 1] = {
    {0x1000, 0x01, ODT_VAR, &ODObjs.o_1000_deviceType, NULL},
    {0x1001, 0x01, ODT_VAR, &ODObjs.o_1001_errorRegister, NULL},
    {0x1003, 0x11, ODT_ARR, &ODObjs.o_1003_pre_definedErrorField, NULL},
    {0x1005, 0x01, ODT_VAR, &ODObjs.o_1005_COB_ID_SYNCMessage, NULL},
    {0x1006, 0x01, ODT_VAR, &ODObjs.o_1006_communicationCyclePeriod, NULL},
    {0x1007, 0x01, ODT_VAR, &ODObjs.o_1007_synchronousWindowLength, NULL},
    {0x1010, 0x05, ODT_ARR, &ODObjs.o_1010_storeParameters, NULL},
    {0x1011, 0x05, ODT_ARR, &ODObjs.o_1011_restoreDefaultParameters, NULL},
    {0x1012, 0x01, ODT_VAR, &ODObjs.o_1012_COB_IDTimeStamp, NULL},
    {0x1014, 0x01, ODT_VAR, &ODObjs.o_1014_COB_ID_EMCY, NULL},
    {0x1015, 0x01, ODT_VAR, &ODObjs.o_1015_inhibitTimeEMCY, NULL},
    {0x1016, 0x09, ODT_ARR, &ODObjs.o_1016_consumerHeartbeatTime, NULL},
    {0x1017, 0x01, ODT_VAR, &ODObjs.o_1017_producerHeartbeatTime, NULL},
    {0x1018, 0x05, ODT_REC, ODObjs.o_1018_identity, NULL},
    {0x1019, 0x01, ODT_VAR, &ODObjs.o_1019_synchronousCounterOverflowValue, NULL},
    {0x1200, 0x03, ODT_REC, ODObjs.o_1200_SDOServerParameter, NULL},
    {0x1280, 0x04, ODT_REC, ODObjs.o_1280_SDOClientParameter, NULL},
    {0x1400, 0x04, ODT_REC, ODObjs.o_1400_RPDOCommunicationParameter[0], NULL},
    {0x1401, 0x04, ODT_REC, ODObjs.o_1400_RPDOCommunicationParameter[1], NULL},
    {0x1402, 0x04, ODT_REC, ODObjs.o_1400_RPDOCommunicationParameter[2], NULL},
    {0x1403, 0x04, ODT_REC, ODObjs.o_1400_RPDOCommunicationParameter[3], NULL},
    {0x1600, 0x09, ODT_REC, ODObjs.o_1600_RPDOMappingParameter[0], NULL},
    {0x1601, 0x09, ODT_REC, ODObjs.o_1600_RPDOMappingParameter[1], NULL},
    {0x1602, 0x09, ODT_REC, ODObjs.o_1600_RPDOMappingParameter[2], NULL},
    {0x1603, 0x09, ODT_REC, ODObjs.o_1600_RPDOMappingParameter[3], NULL},
    {0x1800, 0x06, ODT_REC, ODObjs.o_1800_TPDOCommunicationParameter[0], NULL},
    {0x1801, 0x06, ODT_REC, ODObjs.o_1800_TPDOCommunicationParameter[1], NULL},
    {0x1802, 0x06, ODT_REC, ODObjs.o_1800_TPDOCommunicationParameter[2], NULL},
    {0x1803, 0x06, ODT_REC, ODObjs.o_1800_TPDOCommunicationParameter[3], NULL},
    {0x1A00, 0x09, ODT_REC, ODObjs.o_1A00_TPDOMappingParameter[0], NULL},
    {0x1A01, 0x09, ODT_REC, ODObjs.o_1A00_TPDOMappingParameter[1], NULL},
    {0x1A02, 0x09, ODT_REC, ODObjs.o_1A00_TPDOMappingParameter[2], NULL},
    {0x1A03, 0x09, ODT_REC, ODObjs.o_1A00_TPDOMappingParameter[3], NULL},
    {0x0000, 0x00, 0, NULL, NULL},
};

static OD_t OD_instance = {OD_CNT_ENTRIES, ODList};
OD_t *OD = &OD_instance;
