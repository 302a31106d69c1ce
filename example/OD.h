/* The program's own object dictionary: the communication profile area
 * (0x1000..0x1FFF), of which only the SDO client parameter 0x1280 is used. */
#ifndef OD_H
#define OD_H

#include <stdint.h>

#include "CO_ODinterface.h"

#ifdef __cplusplus
extern "C" {
#endif

#define OD_CNT_ENTRIES 33

typedef struct {
    uint8_t highestSub_indexSupported;
    uint32_t COB_IDUsedByRPDO;
    uint8_t transmissionType;
    uint16_t eventTimer;
} OD_RPDOCommunicationParameter_t;

typedef struct {
    uint8_t numberOfMappedApplicationObjectsInPDO;
    uint32_t applicationObject[8];
} OD_PDOMappingParameter_t;

typedef struct {
    uint8_t highestSub_indexSupported;
    uint32_t COB_IDUsedByTPDO;
    uint8_t transmissionType;
    uint16_t inhibitTime;
    uint16_t eventTimer;
    uint8_t SYNCStartValue;
} OD_TPDOCommunicationParameter_t;

/* Communication parameters. */
typedef struct {
    uint32_t x1000_deviceType;
    uint32_t x1005_COB_ID_SYNCMessage;
    uint32_t x1006_communicationCyclePeriod;
    uint32_t x1007_synchronousWindowLength;
    uint32_t x1012_COB_IDTimeStamp;
    uint32_t x1014_COB_ID_EMCY;
    uint16_t x1015_inhibitTimeEMCY;
    uint8_t x1016_consumerHeartbeatTime_sub0;
    uint32_t x1016_consumerHeartbeatTime[8];
    uint16_t x1017_producerHeartbeatTime;
    struct {
        uint8_t highestSub_indexSupported;
        uint32_t vendor_ID;
        uint32_t productCode;
        uint32_t revisionNumber;
        uint32_t serialNumber;
    } x1018_identity;
    uint8_t x1019_synchronousCounterOverflowValue;
    struct {
        uint8_t highestSub_indexSupported;
        uint32_t COB_IDClientToServerTx;
        uint32_t COB_IDServerToClientRx;
        uint8_t node_IDOfTheSDOServer;
    } x1280_SDOClientParameter;
    OD_RPDOCommunicationParameter_t x1400_RPDOCommunicationParameter[4];
    OD_PDOMappingParameter_t x1600_RPDOMappingParameter[4];
    OD_TPDOCommunicationParameter_t x1800_TPDOCommunicationParameter[4];
    OD_PDOMappingParameter_t x1A00_TPDOMappingParameter[4];
} OD_PERSIST_COMM_t;

/* Run-time values. */
typedef struct {
    uint8_t x1001_errorRegister;
    uint8_t x1010_storeParameters_sub0;
    uint32_t x1010_storeParameters[4];
    uint8_t x1011_restoreDefaultParameters_sub0;
    uint32_t x1011_restoreDefaultParameters[4];
    struct {
        uint8_t highestSub_indexSupported;
        uint32_t COB_IDClientToServerRx;
        uint32_t COB_IDServerToClientTx;
    } x1200_SDOServerParameter;
} OD_RAM_t;

extern OD_PERSIST_COMM_t OD_PERSIST_COMM;
extern OD_RAM_t OD_RAM;

/* The 33 entries sorted by index, then one all-zero terminating entry. */
extern const OD_entry_t ODList[OD_CNT_ENTRIES + 1];

/* The program's dictionary (size 33, list ODList). */
extern OD_t *OD;

/* Position of the SDO client parameter in ODList. */
#define OD_ENTRY_H1280 (&ODList[16])

#ifdef __cplusplus
}
#endif

#endif
