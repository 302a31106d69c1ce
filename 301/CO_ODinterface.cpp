#include "CO_ODinterface.h"
#include "ostrelo_log.h"

#include <stdio.h>
#include <string.h>

OD_entry_t *OD_find(const OD_t *od, uint16_t index) {
    if (od == NULL || od->size == 0U || od->list == NULL) {
        ostrelo_log_text(OSTRELO_LOG_DEBUG, "in OD_find: od == NULL || od->size == 0U\n");
        return NULL;
    }
    char line[128];
    uint16_t min = 0;
    uint16_t max = (uint16_t)(od->size - 1U);
    while (max > min) {
        const uint16_t cur = (uint16_t)((min + max) / 2U);
        const OD_entry_t *entry = &od->list[cur];
        if (entry->index == index) {
            ostrelo_log_text(OSTRELO_LOG_DEBUG, "in OD_find: index == entry->index\n");
            return (OD_entry_t *)entry;
        }
        ostrelo_log_text(OSTRELO_LOG_DEBUG, "in OD_find: index < entry->index\n");
        if (index < entry->index) {
            snprintf(line, sizeof line, "in OD_find: index < entry->index, max = %d\n", (int)max);
            ostrelo_log_text(OSTRELO_LOG_DEBUG, line);
            max = cur > 0U ? (uint16_t)(cur - 1U) : 0U;
        } else {
            ostrelo_log_text(OSTRELO_LOG_DEBUG, "in OD_find: index > entry->index\n");
            min = (uint16_t)(cur + 1U);
        }
    }
    if (min != max) {
        ostrelo_log_text(OSTRELO_LOG_DEBUG, "in OD_find: return NULL\n");
        return NULL;
    }
    ostrelo_log_text(OSTRELO_LOG_DEBUG, "in OD_find: min == max\n");
    const OD_entry_t *entry = &od->list[min];
    if (entry->index == index) {
        ostrelo_log_text(OSTRELO_LOG_DEBUG, "in OD_find: index == entry->index\n");
        return (OD_entry_t *)entry;
    }
    snprintf(line, sizeof line, "in OD_find: index != entry->index, index = %04X, entry->index = %04X\n",
             (unsigned)index, (unsigned)entry->index);
    ostrelo_log_text(OSTRELO_LOG_DEBUG, line);
    ostrelo_log_text(OSTRELO_LOG_DEBUG, "in OD_find: return NULL\n");
    return NULL;
}

ODR_t OD_readDisabled(OD_stream_t *stream, void *buf, OD_size_t count, OD_size_t *countRead) {
    (void)stream;
    (void)buf;
    (void)count;
    (void)countRead;
    return ODR_UNSUPP_ACCESS;
}

ODR_t OD_writeDisabled(OD_stream_t *stream, const void *buf, OD_size_t count, OD_size_t *countWritten) {
    (void)stream;
    (void)buf;
    (void)count;
    (void)countWritten;
    return ODR_UNSUPP_ACCESS;
}

ODR_t OD_getSub(const OD_entry_t *entry, uint8_t subIndex, OD_IO_t *io, bool_t odOrig) {
    if (entry == NULL || entry->odObject == NULL) {
        return ODR_IDX_NOT_EXIST;
    }
    if (io == NULL) {
        return ODR_DEV_INCOMPAT;
    }
    OD_stream_t *stream = &io->stream;
    switch (entry->odObjectType & ODT_TYPE_MASK) {
    case ODT_VAR: {
        if (subIndex > 0U) {
            return ODR_SUB_NOT_EXIST;
        }
        const OD_obj_var_t *odo = (const OD_obj_var_t *)entry->odObject;
        stream->dataOrig = odo->dataOrig;
        stream->attribute = odo->attribute;
        stream->dataLength = odo->dataLength;
        break;
    }
    case ODT_ARR: {
        if (subIndex >= entry->subEntriesCount) {
            return ODR_SUB_NOT_EXIST;
        }
        const OD_obj_array_t *odo = (const OD_obj_array_t *)entry->odObject;
        if (subIndex == 0U) {
            stream->dataOrig = odo->dataOrig0;
            stream->attribute = odo->attribute0;
            stream->dataLength = 1;
        } else {
            stream->dataOrig = odo->dataOrig == NULL ? NULL
                                                     : (uint8_t *)odo->dataOrig +
                                                           (size_t)(subIndex - 1U) * odo->dataElementSizeof;
            stream->attribute = odo->attribute;
            stream->dataLength = odo->dataElementLength;
        }
        break;
    }
    case ODT_REC: {
        const OD_obj_record_t *records = (const OD_obj_record_t *)entry->odObject;
        const OD_obj_record_t *odo = NULL;
        for (uint8_t i = 0; i < entry->subEntriesCount; i++) {
            if (records[i].subIndex == subIndex) {
                odo = &records[i];
                break;
            }
        }
        if (odo == NULL) {
            return ODR_SUB_NOT_EXIST;
        }
        stream->dataOrig = odo->dataOrig;
        stream->attribute = odo->attribute;
        stream->dataLength = odo->dataLength;
        break;
    }
    default:
        return ODR_DEV_INCOMPAT;
    }

    stream->dataOffset = 0;
    stream->index = entry->index;
    stream->subIndex = subIndex;
    if (entry->extension != NULL && !odOrig) {
        io->read = entry->extension->read != NULL ? entry->extension->read : OD_readDisabled;
        io->write = entry->extension->write != NULL ? entry->extension->write : OD_writeDisabled;
        stream->object = entry->extension->object;
    } else {
        io->read = OD_readOriginal;
        io->write = OD_writeOriginal;
        stream->object = NULL;
    }
    return ODR_OK;
}

ODR_t OD_readOriginal(OD_stream_t *stream, void *buf, OD_size_t count, OD_size_t *countRead) {
    if (stream == NULL || buf == NULL || countRead == NULL) {
        return ODR_DEV_INCOMPAT;
    }
    *countRead = 0;
    const uint8_t *data = (const uint8_t *)stream->dataOrig;
    if (data == NULL) {
        return ODR_SUB_NOT_EXIST;
    }
    const OD_size_t length = stream->dataLength;
    if (stream->dataOffset == 0U && count >= length) {
        memcpy(buf, data, length);
        *countRead = length;
        return ODR_OK;
    }
    if (stream->dataOffset >= length) {
        return ODR_DEV_INCOMPAT;
    }
    const OD_size_t remain = length - stream->dataOffset;
    if (count < remain) {
        memcpy(buf, data + stream->dataOffset, count);
        stream->dataOffset += count;
        *countRead = count;
        return ODR_PARTIAL;
    }
    memcpy(buf, data + stream->dataOffset, remain);
    stream->dataOffset = 0;
    *countRead = remain;
    return ODR_OK;
}

ODR_t OD_writeOriginal(OD_stream_t *stream, const void *buf, OD_size_t count, OD_size_t *countWritten) {
    if (stream == NULL || buf == NULL || countWritten == NULL) {
        return ODR_DEV_INCOMPAT;
    }
    *countWritten = 0;
    uint8_t *data = (uint8_t *)stream->dataOrig;
    if (data == NULL) {
        return ODR_SUB_NOT_EXIST;
    }
    const OD_size_t length = stream->dataLength;
    if (stream->dataOffset == 0U && count >= length) {
        if (count > length) {
            return ODR_DATA_LONG;
        }
        memcpy(data, buf, length);
        *countWritten = length;
        return ODR_OK;
    }
    if (stream->dataOffset >= length) {
        return ODR_DEV_INCOMPAT;
    }
    const OD_size_t remain = length - stream->dataOffset;
    if (count < remain) {
        memcpy(data + stream->dataOffset, buf, count);
        stream->dataOffset += count;
        *countWritten = count;
        return ODR_PARTIAL;
    }
    if (count > remain) {
        return ODR_DATA_LONG;
    }
    memcpy(data + stream->dataOffset, buf, remain);
    stream->dataOffset = 0;
    *countWritten = remain;
    return ODR_OK;
}

namespace {

/* Opens a sub-entry for an access to its whole value of exactly `len` bytes
 * at `val`. */
ODR_t open_value(const OD_entry_t *entry, uint8_t subIndex, const void *val, OD_size_t len, bool_t odOrig,
                 OD_IO_t *io) {
    if (val == NULL) {
        return ODR_DEV_INCOMPAT;
    }
    memset(io, 0, sizeof *io);
    const ODR_t ret = OD_getSub(entry, subIndex, io, odOrig);
    if (ret != ODR_OK) {
        return ret;
    }
    return io->stream.dataLength == len ? ODR_OK : ODR_TYPE_MISMATCH;
}

} // namespace

ODR_t OD_get_value(const OD_entry_t *entry, uint8_t subIndex, void *val, OD_size_t len, bool_t odOrig) {
    OD_IO_t io;
    const ODR_t ret = open_value(entry, subIndex, val, len, odOrig, &io);
    if (ret != ODR_OK) {
        return ret;
    }
    OD_size_t countRd = 0;
    return io.read(&io.stream, val, len, &countRd);
}

ODR_t OD_set_value(const OD_entry_t *entry, uint8_t subIndex, const void *val, OD_size_t len, bool_t odOrig) {
    OD_IO_t io;
    const ODR_t ret = open_value(entry, subIndex, val, len, odOrig, &io);
    if (ret != ODR_OK) {
        return ret;
    }
    OD_size_t countWr = 0;
    return io.write(&io.stream, val, len, &countWr);
}

void *OD_getPtr(const OD_entry_t *entry, uint8_t subIndex, OD_size_t len, ODR_t *err) {
    ODR_t errCopy;
    OD_IO_t io;
    memset(&io, 0, sizeof io);
    errCopy = OD_getSub(entry, subIndex, &io, true);
    if (errCopy == ODR_OK) {
        if (io.stream.dataOrig == NULL || io.stream.dataLength == 0U) {
            errCopy = ODR_DEV_INCOMPAT;
        } else if (len != 0U && len != io.stream.dataLength) {
            errCopy = ODR_TYPE_MISMATCH;
        }
    }
    if (err != NULL) {
        *err = errCopy;
    }
    return errCopy == ODR_OK ? io.stream.dataOrig : NULL;
}

uint32_t OD_getSDOabCode(ODR_t returnCode) {
    static const uint32_t abortCodes[ODR_COUNT] = {
        0x00000000u, /* ODR_OK */
        0x05040005u, /* ODR_OUT_OF_MEM */
        0x06010000u, /* ODR_UNSUPP_ACCESS */
        0x06010001u, /* ODR_WRITEONLY */
        0x06010002u, /* ODR_READONLY */
        0x06020000u, /* ODR_IDX_NOT_EXIST */
        0x06040041u, /* ODR_NO_MAP */
        0x06040042u, /* ODR_MAP_LEN */
        0x06040043u, /* ODR_PAR_INCOMPAT */
        0x06040047u, /* ODR_DEV_INCOMPAT */
        0x06060000u, /* ODR_HW */
        0x06070010u, /* ODR_TYPE_MISMATCH */
        0x06070012u, /* ODR_DATA_LONG */
        0x06070013u, /* ODR_DATA_SHORT */
        0x06090011u, /* ODR_SUB_NOT_EXIST */
        0x06090030u, /* ODR_INVALID_VALUE */
        0x06090031u, /* ODR_VALUE_HIGH */
        0x06090032u, /* ODR_VALUE_LOW */
        0x06090036u, /* ODR_MAX_LESS_MIN */
        0x060A0023u, /* ODR_NO_RESOURCE */
        0x08000000u, /* ODR_GENERAL */
        0x08000020u, /* ODR_DATA_TRANSF */
        0x08000021u, /* ODR_DATA_LOC_CTRL */
        0x08000022u, /* ODR_DATA_DEV_STATE */
        0x08000023u, /* ODR_OD_MISSING */
        0x08000024u, /* ODR_NO_DATA */
    };
    const int code = (int)returnCode;
    if (code < 0 || code >= (int)ODR_COUNT) {
        return 0x06040047u;
    }
    return abortCodes[code];
}
