/* Object dictionary access: entry look-up, sub-entry streams, whole-value
 * get and set, and translation of results into SDO abort codes. */
#ifndef CO_OD_INTERFACE_H
#define CO_OD_INTERFACE_H

#include <stddef.h>
#include <stdint.h>

#include "CO_driver_target.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef uint32_t OD_size_t;
typedef uint8_t OD_attr_t;

/* Object types (low four bits of odObjectType). */
enum { ODT_VAR = 0x01, ODT_ARR = 0x02, ODT_REC = 0x03, ODT_TYPE_MASK = 0x0F };

/* Sub-entry attributes. */
enum {
    ODA_SDO_R = 0x01,
    ODA_SDO_W = 0x02,
    ODA_SDO_RW = 0x03,
    ODA_TPDO = 0x04,
    ODA_RPDO = 0x08,
    ODA_TRPDO = 0x0C,
    ODA_TSRDO = 0x10,
    ODA_RSRDO = 0x20,
    ODA_TRSRDO = 0x30,
    ODA_MB = 0x40, /* multi-byte value, little-endian */
    ODA_STR = 0x80
};

typedef enum {
    ODR_PARTIAL = -1,
    ODR_OK = 0,
    ODR_OUT_OF_MEM = 1,
    ODR_UNSUPP_ACCESS = 2,
    ODR_WRITEONLY = 3,
    ODR_READONLY = 4,
    ODR_IDX_NOT_EXIST = 5,
    ODR_NO_MAP = 6,
    ODR_MAP_LEN = 7,
    ODR_PAR_INCOMPAT = 8,
    ODR_DEV_INCOMPAT = 9,
    ODR_HW = 10,
    ODR_TYPE_MISMATCH = 11,
    ODR_DATA_LONG = 12,
    ODR_DATA_SHORT = 13,
    ODR_SUB_NOT_EXIST = 14,
    ODR_INVALID_VALUE = 15,
    ODR_VALUE_HIGH = 16,
    ODR_VALUE_LOW = 17,
    ODR_MAX_LESS_MIN = 18,
    ODR_NO_RESOURCE = 19,
    ODR_GENERAL = 20,
    ODR_DATA_TRANSF = 21,
    ODR_DATA_LOC_CTRL = 22,
    ODR_DATA_DEV_STATE = 23,
    ODR_OD_MISSING = 24,
    ODR_NO_DATA = 25,
    ODR_COUNT = 26
} ODR_t;

/* State of one access to a sub-entry. */
typedef struct {
    void *dataOrig;       /* the value, or none */
    void *object;         /* extension's object, or none */
    OD_size_t dataLength; /* bytes of the value */
    OD_size_t dataOffset; /* bytes already moved by a partial read or write */
    OD_attr_t attribute;
    uint16_t index;
    uint8_t subIndex;
} OD_stream_t;

typedef ODR_t (*OD_read_t)(OD_stream_t *stream, void *buf, OD_size_t count, OD_size_t *countRead);
typedef ODR_t (*OD_write_t)(OD_stream_t *stream, const void *buf, OD_size_t count, OD_size_t *countWritten);

typedef struct {
    OD_stream_t stream;
    OD_read_t read;
    OD_write_t write;
} OD_IO_t;

#define OD_FLAGS_PDO_SIZE 4

/* Stream functions that replace the plain copy for one entry. */
typedef struct {
    void *object;
    OD_read_t read;
    OD_write_t write;
    uint8_t flagsPDO[OD_FLAGS_PDO_SIZE];
} OD_extension_t;

typedef struct {
    void *dataOrig;
    OD_attr_t attribute;
    OD_size_t dataLength;
} OD_obj_var_t;

typedef struct {
    uint8_t *dataOrig0; /* count at sub-index 0 */
    void *dataOrig;     /* element 1, or none */
    OD_attr_t attribute0;
    OD_attr_t attribute;
    OD_size_t dataElementLength; /* bytes of one element's value */
    OD_size_t dataElementSizeof; /* distance between elements */
} OD_obj_array_t;

typedef struct {
    void *dataOrig;
    uint8_t subIndex;
    OD_attr_t attribute;
    OD_size_t dataLength;
} OD_obj_record_t;

typedef struct {
    uint16_t index;
    uint8_t subEntriesCount;
    uint8_t odObjectType;
    const void *odObject;      /* OD_obj_var_t, OD_obj_array_t or OD_obj_record_t[] */
    OD_extension_t *extension; /* or none */
} OD_entry_t;

typedef struct {
    uint16_t size;          /* entries in list */
    const OD_entry_t *list; /* sorted by ascending index */
} OD_t;

/* Finds the entry with `index` by halving the sorted list; traces each step
 * on standard output. */
OD_entry_t *OD_find(const OD_t *od, uint16_t index);

/* Fills `io` for one sub-entry; odOrig true ignores an extension. */
ODR_t OD_getSub(const OD_entry_t *entry, uint8_t subIndex, OD_IO_t *io, bool_t odOrig);

ODR_t OD_readOriginal(OD_stream_t *stream, void *buf, OD_size_t count, OD_size_t *countRead);
ODR_t OD_writeOriginal(OD_stream_t *stream, const void *buf, OD_size_t count, OD_size_t *countWritten);
ODR_t OD_readDisabled(OD_stream_t *stream, void *buf, OD_size_t count, OD_size_t *countRead);
ODR_t OD_writeDisabled(OD_stream_t *stream, const void *buf, OD_size_t count, OD_size_t *countWritten);

/* Reads or writes a whole value of exactly `len` bytes. */
ODR_t OD_get_value(const OD_entry_t *entry, uint8_t subIndex, void *val, OD_size_t len, bool_t odOrig);
ODR_t OD_set_value(const OD_entry_t *entry, uint8_t subIndex, const void *val, OD_size_t len, bool_t odOrig);

/* Pointer to a sub-entry's value (len 0: any length); none on error. */
void *OD_getPtr(const OD_entry_t *entry, uint8_t subIndex, OD_size_t len, ODR_t *err);

/* SDO abort code for an ODR_t. */
uint32_t OD_getSDOabCode(ODR_t returnCode);

static inline uint16_t OD_getIndex(const OD_entry_t *entry) {
    return entry != NULL ? entry->index : 0;
}

static inline ODR_t OD_get_u8(const OD_entry_t *entry, uint8_t subIndex, uint8_t *val, bool_t odOrig) {
    return OD_get_value(entry, subIndex, val, sizeof(*val), odOrig);
}
static inline ODR_t OD_get_u16(const OD_entry_t *entry, uint8_t subIndex, uint16_t *val, bool_t odOrig) {
    return OD_get_value(entry, subIndex, val, sizeof(*val), odOrig);
}
static inline ODR_t OD_get_u32(const OD_entry_t *entry, uint8_t subIndex, uint32_t *val, bool_t odOrig) {
    return OD_get_value(entry, subIndex, val, sizeof(*val), odOrig);
}

#ifdef __cplusplus
}
#endif

#endif
