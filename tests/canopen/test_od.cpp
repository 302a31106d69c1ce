// Object dictionary: contents, look-up trace, sub-entry access, abort codes.
#include "CO_ODinterface.h"
#include "OD.h"
#include "fake_backend.h"

#include <gtest/gtest.h>

#include <cstring>

using fake::capture;

namespace {

TEST(ObjectDictionary, ListIsSortedWithTerminator) {
    ASSERT_NE(OD, nullptr);
    EXPECT_EQ(OD->size, 33);
    EXPECT_EQ(OD->list, ODList);
    for (uint16_t i = 1; i < OD->size; ++i) {
        EXPECT_LT(ODList[i - 1].index, ODList[i].index) << i;
    }
    EXPECT_EQ(ODList[33].index, 0);
    EXPECT_EQ(ODList[33].odObject, nullptr);
    EXPECT_EQ(ODList[16].index, 0x1280);
    EXPECT_EQ(OD_ENTRY_H1280, &ODList[16]);
}

TEST(ObjectDictionary, FindTracesFirstProbeHit) {
    const OD_entry_t *e = nullptr;
    const std::string out = capture([&] { e = OD_find(OD, 0x1280); });
    EXPECT_EQ(e, &ODList[16]);
    EXPECT_EQ(out, "in OD_find: index == entry->index\n");
}

TEST(ObjectDictionary, FindTracesMissAfterProbes) {
    const OD_entry_t *e = &ODList[0];
    const std::string out = capture([&] { e = OD_find(OD, 0x1281); });
    EXPECT_EQ(e, nullptr);
    EXPECT_EQ(out, "in OD_find: index < entry->index\n" // probe 16 (0x1280)
                   "in OD_find: index > entry->index\n"
                   "in OD_find: index < entry->index\n" // probe 24 (0x1603)
                   "in OD_find: index < entry->index, max = 32\n"
                   "in OD_find: index < entry->index\n" // probe 20 (0x1403)
                   "in OD_find: index < entry->index, max = 23\n"
                   "in OD_find: index < entry->index\n" // probe 18 (0x1401)
                   "in OD_find: index < entry->index, max = 19\n"
                   "in OD_find: min == max\n"
                   "in OD_find: index != entry->index, index = 1281, entry->index = 1400\n"
                   "in OD_find: return NULL\n");
}

TEST(ObjectDictionary, FindEveryEntryAndMissesAtTheEnds) {
    capture([] {
        for (uint16_t i = 0; i < OD->size; ++i) {
            EXPECT_EQ(OD_find(OD, ODList[i].index), &ODList[i]) << std::hex << ODList[i].index;
        }
        EXPECT_EQ(OD_find(OD, 0x0FFF), nullptr);
        EXPECT_EQ(OD_find(OD, 0x1002), nullptr);
        EXPECT_EQ(OD_find(OD, 0x2000), nullptr);
        EXPECT_EQ(OD_find(OD, 0xFFFF), nullptr);
    });
    const OD_t empty = {0, ODList};
    EXPECT_EQ(capture([&] { EXPECT_EQ(OD_find(&empty, 0x1000), nullptr); }),
              "in OD_find: od == NULL || od->size == 0U\n");
    EXPECT_EQ(capture([] { EXPECT_EQ(OD_find(nullptr, 0x1000), nullptr); }),
              "in OD_find: od == NULL || od->size == 0U\n");
    // Below the first entry the search ends with min > max.
    const OD_t two = {2, &ODList[1]};
    const std::string out = capture([&] { EXPECT_EQ(OD_find(&two, 0x1000), nullptr); });
    EXPECT_TRUE(fake::contains(out, "in OD_find: index < entry->index, max = 1\n"));
}

TEST(ObjectDictionary, SdoClientParameterValues) {
    const OD_entry_t *e = OD_ENTRY_H1280;
    uint8_t u8 = 0;
    uint32_t u32 = 0;
    EXPECT_EQ(OD_get_value(e, 0, &u8, 1, true), ODR_OK);
    EXPECT_EQ(u8, 3);
    EXPECT_EQ(OD_get_value(e, 1, &u32, 4, true), ODR_OK);
    EXPECT_EQ(u32, 0x80000000u);
    EXPECT_EQ(OD_get_value(e, 2, &u32, 4, true), ODR_OK);
    EXPECT_EQ(u32, 0x80000000u);
    EXPECT_EQ(OD_get_value(e, 3, &u8, 1, true), ODR_OK);
    EXPECT_EQ(u8, 1);
    uint16_t u16 = 0;
    EXPECT_EQ(OD_get_value(e, 1, &u16, 2, true), ODR_TYPE_MISMATCH);
    EXPECT_EQ(OD_get_value(e, 4, &u32, 4, true), ODR_SUB_NOT_EXIST);
    EXPECT_EQ(OD_get_value(e, 1, nullptr, 4, true), ODR_DEV_INCOMPAT);
    EXPECT_EQ(OD_get_value(nullptr, 1, &u32, 4, true), ODR_IDX_NOT_EXIST);
}

TEST(ObjectDictionary, DefaultsAcrossKinds) {
    uint32_t u32 = 1;
    uint16_t u16 = 1;
    uint8_t u8 = 0;
    const OD_entry_t *find_quiet = nullptr;
    auto entry = [&](uint16_t index) {
        capture([&] { find_quiet = OD_find(OD, index); });
        return find_quiet;
    };
    EXPECT_EQ(OD_get_value(entry(0x1000), 1, &u32, 4, true), ODR_SUB_NOT_EXIST);
    EXPECT_EQ(OD_get_value(entry(0x1003), 1, &u32, 4, true), ODR_SUB_NOT_EXIST); // no storage
    EXPECT_EQ(OD_get_value(entry(0x1003), 0, &u8, 1, true), ODR_SUB_NOT_EXIST);
    EXPECT_EQ(OD_get_value(entry(0x1003), 17, &u32, 4, true), ODR_SUB_NOT_EXIST); // beyond the array
    // Array sub-index 0 is the count; elements follow it.
    EXPECT_EQ(OD_get_value(entry(0x1010), 0, &u8, 1, true), ODR_OK);
    EXPECT_EQ(u8, 4);
    EXPECT_EQ(OD_get_value(entry(0x1010), 4, &u32, 4, true), ODR_OK);
    EXPECT_EQ(u32, 1u);
    EXPECT_EQ(OD_get_value(entry(0x1010), 5, &u32, 4, true), ODR_SUB_NOT_EXIST);
    // Records with gaps in their sub-indices.
    EXPECT_EQ(OD_get_value(entry(0x1402), 1, &u32, 4, true), ODR_OK);
    EXPECT_EQ(u32, 0x80000400u);
    EXPECT_EQ(OD_get_value(entry(0x1402), 3, &u16, 2, true), ODR_SUB_NOT_EXIST);
    EXPECT_EQ(OD_get_value(entry(0x1402), 5, &u16, 2, true), ODR_OK);
    EXPECT_EQ(OD_get_value(entry(0x1803), 6, &u8, 1, true), ODR_OK);
    EXPECT_EQ(OD_get_value(entry(0x1803), 4, &u16, 2, true), ODR_SUB_NOT_EXIST);

    OD_IO_t io;
    EXPECT_EQ(OD_getSub(entry(0x1280), 1, &io, false), ODR_OK);
    EXPECT_EQ(io.stream.attribute, ODA_SDO_RW | ODA_TPDO | ODA_RPDO | ODA_MB);
    EXPECT_EQ(io.stream.index, 0x1280);
    EXPECT_EQ(io.stream.subIndex, 1);
    EXPECT_EQ(OD_getSub(entry(0x1280), 1, nullptr, false), ODR_DEV_INCOMPAT);
}

TEST(ObjectDictionary, PartialReadsAndWrites) {
    uint32_t value = 0x11223344u;
    const OD_obj_var_t var = {&value, ODA_SDO_RW | ODA_MB, 4};
    const OD_entry_t entry = {0x2100, 1, ODT_VAR, &var, nullptr};
    OD_IO_t io;
    ASSERT_EQ(OD_getSub(&entry, 0, &io, true), ODR_OK);
    uint8_t buf[4] = {0};
    OD_size_t n = 0;
    EXPECT_EQ(io.read(&io.stream, buf, 3, &n), ODR_PARTIAL);
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(buf[0], 0x44);
    EXPECT_EQ(buf[2], 0x22);
    EXPECT_EQ(io.read(&io.stream, buf, 3, &n), ODR_OK);
    EXPECT_EQ(n, 1u);
    EXPECT_EQ(buf[0], 0x11);
    EXPECT_EQ(io.stream.dataOffset, 0u);

    const uint8_t five[5] = {1, 2, 3, 4, 5};
    EXPECT_EQ(io.write(&io.stream, five, 5, &n), ODR_DATA_LONG);
    EXPECT_EQ(value, 0x11223344u);
    EXPECT_EQ(io.write(&io.stream, five, 2, &n), ODR_PARTIAL);
    EXPECT_EQ(io.write(&io.stream, five, 3, &n), ODR_DATA_LONG); // more than the remaining 2
    EXPECT_EQ(io.write(&io.stream, five + 2, 2, &n), ODR_OK);
    EXPECT_EQ(value, 0x04030201u);

    EXPECT_EQ(OD_set_value(&entry, 0, five, 4, true), ODR_OK);
    EXPECT_EQ(OD_set_value(&entry, 0, five, 2, true), ODR_TYPE_MISMATCH);
    io.stream.dataOffset = 9; // a stream moved past its value
    EXPECT_EQ(io.read(&io.stream, buf, 1, &n), ODR_DEV_INCOMPAT);
    EXPECT_EQ(io.read(&io.stream, nullptr, 1, &n), ODR_DEV_INCOMPAT);
}

ODR_t ext_read(OD_stream_t *stream, void *buf, OD_size_t count, OD_size_t *countRead) {
    *static_cast<uint8_t *>(buf) = *static_cast<uint8_t *>(stream->object);
    *countRead = count;
    return ODR_OK;
}

TEST(ObjectDictionary, ExtensionsAndPointers) {
    uint8_t plain = 7, fromExt = 99;
    OD_extension_t ext = {&fromExt, ext_read, nullptr, {0, 0, 0, 0}};
    const OD_obj_var_t var = {&plain, ODA_SDO_RW, 1};
    const OD_entry_t entry = {0x2101, 1, ODT_VAR, &var, &ext};
    uint8_t v = 0;
    EXPECT_EQ(OD_get_value(&entry, 0, &v, 1, false), ODR_OK);
    EXPECT_EQ(v, 99);
    EXPECT_EQ(OD_get_value(&entry, 0, &v, 1, true), ODR_OK);
    EXPECT_EQ(v, 7);
    EXPECT_EQ(OD_set_value(&entry, 0, &v, 1, false), ODR_UNSUPP_ACCESS); // extension has no writer

    ODR_t err = ODR_OK;
    EXPECT_EQ(OD_getPtr(&entry, 0, 1, &err), &plain);
    EXPECT_EQ(err, ODR_OK);
    EXPECT_EQ(OD_getPtr(&entry, 0, 4, &err), nullptr);
    EXPECT_EQ(err, ODR_TYPE_MISMATCH);
    EXPECT_EQ(OD_getPtr(&entry, 1, 0, &err), nullptr);
    EXPECT_EQ(err, ODR_SUB_NOT_EXIST);
    EXPECT_EQ(OD_getPtr(&entry, 0, 0, nullptr), &plain);
    const OD_entry_t *e1003 = &ODList[2];
    EXPECT_EQ(OD_getPtr(e1003, 1, 0, &err), nullptr);
    EXPECT_EQ(err, ODR_DEV_INCOMPAT);

    const OD_entry_t bogus = {0x2102, 1, 0x07, &var, nullptr};
    EXPECT_EQ(OD_get_value(&bogus, 0, &v, 1, true), ODR_DEV_INCOMPAT);
}

TEST(ObjectDictionary, AbortCodeTable) {
    EXPECT_EQ(OD_getSDOabCode(ODR_OK), 0u);
    EXPECT_EQ(OD_getSDOabCode(ODR_OUT_OF_MEM), 0x05040005u);
    EXPECT_EQ(OD_getSDOabCode(ODR_IDX_NOT_EXIST), 0x06020000u);
    EXPECT_EQ(OD_getSDOabCode(ODR_DEV_INCOMPAT), 0x06040047u);
    EXPECT_EQ(OD_getSDOabCode(ODR_TYPE_MISMATCH), 0x06070010u);
    EXPECT_EQ(OD_getSDOabCode(ODR_DATA_SHORT), 0x06070013u);
    EXPECT_EQ(OD_getSDOabCode(ODR_SUB_NOT_EXIST), 0x06090011u);
    EXPECT_EQ(OD_getSDOabCode(ODR_MAX_LESS_MIN), 0x06090036u);
    EXPECT_EQ(OD_getSDOabCode(ODR_NO_RESOURCE), 0x060A0023u);
    EXPECT_EQ(OD_getSDOabCode(ODR_GENERAL), 0x08000000u);
    EXPECT_EQ(OD_getSDOabCode(ODR_NO_DATA), 0x08000024u);
    EXPECT_EQ(OD_getSDOabCode(ODR_COUNT), 0x06040047u);
    EXPECT_EQ(OD_getSDOabCode(ODR_PARTIAL), 0x06040047u);
}

} // namespace
