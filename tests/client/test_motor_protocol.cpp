// The motor protocol's builders and parsers against the byte layouts on the
// bus; both the client and the bench use them, so a slip here would pass
// every bench test unnoticed.
#include "motor_protocol.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

struct BuildCase {
    const char *what;
    std::function<uint8_t(uint8_t *)> build;
    Bytes want; // the whole 8 bytes
    uint8_t dlc;
};

TEST(MotorProtocol, BuildersMakeTheFramesOnTheBus) {
    const BuildCase cases[] = {
        {"type query", motor_build_type_query, {0x64, 0, 0, 0, 0, 0, 0, 0}, 1},
        {"type reply",
         [](uint8_t *o) { return motor_build_type_reply(o, 9, 16); },
         {0x64, 0, 9, 0, 16, 0, 0, 0},
         5},
        {"encoder query", motor_build_encoder_query, {0xA4, 0x40, 0, 0, 0, 0, 0, 0}, 6},
        {"encoder reply",
         [](uint8_t *o) { return motor_build_encoder_reply(o, 2); },
         {0xA4, 0x40, 2, 0, 0, 0, 0, 0},
         6},
        {"version query", motor_build_version_query, {0x65, 0, 0, 0, 0, 0, 0, 0}, 1},
        {"version reply",
         [](uint8_t *o) { return motor_build_version_reply(o, 0x04030201u); },
         {0x65, 1, 2, 3, 4, 0, 0, 0},
         5},
        {"entry read", motor_build_entry_read, {0xA3, 0x40, 0, 0, 0, 0, 0, 0}, 6},
        {"entry read reply",
         [](uint8_t *o) { return motor_build_entry_read_reply(o, 0x11223344u); },
         {0xA3, 0x40, 0x44, 0x33, 0x22, 0x11, 0, 0},
         6},
        {"entry write 1",
         [](uint8_t *o) { return motor_build_entry_write(o, 1); },
         {0xA3, 0x20, 'O', 'S', 'T', 'R', 0, 0},
         6},
        {"entry write 2",
         [](uint8_t *o) { return motor_build_entry_write(o, 2); },
         {0xA3, 0x20, 'B', 'O', 'O', 'T', 0, 0},
         6},
        {"stop",
         [](uint8_t *o) { return motor_build_program_control(o, MOTOR_PROGRAM_STOP); },
         {0x2F, 0x51, 0x1F, 0x01, 0x00, 0, 0, 0},
         8},
        {"start",
         [](uint8_t *o) { return motor_build_program_control(o, MOTOR_PROGRAM_START); },
         {0x2F, 0x51, 0x1F, 0x01, 0x01, 0, 0, 0},
         8},
        {"stop ack", motor_build_program_control_ack, {0x60, 0x51, 0x1F, 0x01, 0, 0, 0, 0}, 8},
        {"crc query", motor_build_crc_query, {0x40, 0x56, 0x1F, 0x01, 0, 0, 0, 0}, 8},
        {"abort",
         [](uint8_t *o) { return motor_build_sdo_abort(o, 0x1F50, 1, 0x05040000u); },
         {0x80, 0x50, 0x1F, 0x01, 0x00, 0x00, 0x04, 0x05},
         8},
    };
    for (const BuildCase &c : cases) {
        uint8_t out[8];
        memset(out, 0xEE, sizeof(out)); // unused bytes must be cleared
        EXPECT_EQ(c.build(out), c.dlc) << c.what;
        EXPECT_EQ(Bytes(out, out + 8), c.want) << c.what;
    }
    EXPECT_EQ(motor_sdo_request_id(5), 0x605u);
    EXPECT_EQ(motor_sdo_reply_id(127), 0x5FFu);
}

struct ParseCase {
    const char *what;
    Bytes data;
    uint8_t dlc;
    int ok;
    uint32_t value; // what the parser read, when ok
};

// One parser over the table: returns (ok, value read).
using Parser = std::function<int(const uint8_t *, uint8_t, uint32_t *)>;

void check(const Parser &parse, const std::vector<ParseCase> &cases) {
    for (const ParseCase &c : cases) {
        uint8_t d[8] = {0, 0, 0, 0, 0, 0, 0, 0};
        std::copy(c.data.begin(), c.data.end(), d);
        uint32_t value = 0xDEADBEEFu;
        EXPECT_EQ(parse(d, c.dlc, &value), c.ok) << c.what;
        if (c.ok == 1) {
            EXPECT_EQ(value, c.value) << c.what;
        }
    }
}

TEST(MotorProtocol, ParsersAcceptOnlyTheirLayout) {
    check(
        [](const uint8_t *d, uint8_t n, uint32_t *v) {
            uint8_t type = 0, brake = 0;
            const int ok = motor_parse_type_reply(d, n, &type, &brake);
            *v = (static_cast<uint32_t>(type) << 8) | brake;
            return ok;
        },
        {{"type reply", {0x64, 0, 9, 0, 16}, 5, 1, 0x0910},
         {"type reply, DLC 4", {0x64, 0, 9, 0, 16}, 4, 0, 0},
         {"version reply as type", {0x65, 0, 9, 0, 16}, 5, 0, 0}});
    check(
        [](const uint8_t *d, uint8_t n, uint32_t *v) {
            uint8_t enc = 0;
            const int ok = motor_parse_encoder_reply(d, n, &enc);
            *v = enc;
            return ok;
        },
        {{"encoder reply", {0xA4, 0x40, 3, 0, 0, 0}, 6, 1, 3},
         {"encoder reply, DLC 5", {0xA4, 0x40, 3, 0, 0}, 5, 0, 0},
         {"encoder, wrong sub-command", {0xA4, 0x20, 3, 0, 0, 0}, 6, 0, 0}});
    check(motor_parse_version_reply,
          {{"version reply", {0x65, 1, 2, 3, 4}, 5, 1, 0x04030201u},
           {"version reply, DLC 8", {0x65, 0xFF, 0, 0, 0x80, 9, 9, 9}, 8, 1, 0x800000FFu},
           {"version reply, DLC 4", {0x65, 1, 2, 3}, 4, 0, 0},
           {"type reply as version", {0x64, 1, 2, 3, 4}, 5, 0, 0}});
    check(motor_parse_crc_reply,
          {{"crc reply", {0x43, 0x56, 0x1F, 0x01, 0x78, 0x56, 0x34, 0x12}, 8, 1, 0x12345678u},
           {"crc reply, DLC 7", {0x43, 0x56, 0x1F, 0x01, 0x78, 0x56, 0x34}, 7, 0, 0},
           {"abort on the crc object", {0x80, 0x56, 0x1F, 0x01, 0, 0, 2, 6}, 8, 0, 0},
           {"crc reply of sub-index 2", {0x43, 0x56, 0x1F, 0x02, 1, 2, 3, 4}, 8, 0, 0},
           {"reply of 0x1F57", {0x43, 0x57, 0x1F, 0x01, 1, 2, 3, 4}, 8, 0, 0}});
}

TEST(MotorProtocol, ChecksOfHandshakeAndProgramControl) {
    struct Row {
        const char *what;
        Bytes data;
        uint8_t dlc;
        int entryValid, entryStep, isStop, isStart, isAck, kind;
    };
    const Row rows[] = {
        {"entry reply", {0xA3, 0x40, 1, 0, 0, 0}, 6, 1, 0, 0, 0, 0, MOTOR_REQ_ENTRY_READ},
        {"entry reply all FF", {0xA3, 0x40, 0xFF, 0xFF, 0xFF, 0xFF}, 6, 0, 0, 0, 0, 0, MOTOR_REQ_ENTRY_READ},
        {"entry reply, DLC 8", {0xA3, 0x40, 1, 0, 0, 0, 0, 0}, 8, 0, 0, 0, 0, 0, MOTOR_REQ_ENTRY_READ},
        {"entry read, DLC 2", {0xA3, 0x40}, 2, 0, 0, 0, 0, 0, MOTOR_REQ_ENTRY_READ},
        {"write OSTR", {0xA3, 0x20, 'O', 'S', 'T', 'R'}, 6, 0, 1, 0, 0, 0, MOTOR_REQ_ENTRY_WRITE},
        {"write BOOT", {0xA3, 0x20, 'B', 'O', 'O', 'T'}, 6, 0, 2, 0, 0, 0, MOTOR_REQ_ENTRY_WRITE},
        {"write other", {0xA3, 0x20, 'B', 'O', 'O', 'X'}, 6, 0, 0, 0, 0, 0, MOTOR_REQ_ENTRY_WRITE},
        {"write, DLC 5", {0xA3, 0x20, 'B', 'O', 'O', 'T'}, 5, 0, 0, 0, 0, 0, MOTOR_REQ_NONE},
        {"type query", {0x64}, 1, 0, 0, 0, 0, 0, MOTOR_REQ_TYPE},
        {"version query", {0x65}, 1, 0, 0, 0, 0, 0, MOTOR_REQ_VERSION},
        {"encoder query", {0xA4, 0x40}, 2, 0, 0, 0, 0, 0, MOTOR_REQ_ENCODER},
        {"empty frame", {0x65}, 0, 0, 0, 0, 0, 0, MOTOR_REQ_NONE},
        {"stop", {0x2F, 0x51, 0x1F, 0x01, 0}, 8, 0, 0, 1, 0, 0, MOTOR_REQ_NONE},
        {"start", {0x2F, 0x51, 0x1F, 0x01, 1}, 8, 0, 0, 0, 1, 0, MOTOR_REQ_NONE},
        {"start, DLC 7", {0x2F, 0x51, 0x1F, 0x01, 1}, 7, 0, 0, 0, 0, 0, MOTOR_REQ_NONE},
        {"start, stray byte", {0x2F, 0x51, 0x1F, 0x01, 1, 0, 0, 1}, 8, 0, 0, 0, 0, 0, MOTOR_REQ_NONE},
        {"ack", {0x60, 0x51, 0x1F, 0x01}, 8, 0, 0, 0, 0, 1, MOTOR_REQ_NONE},
        {"ack of sub-index 0", {0x60, 0x51, 0x1F, 0x00}, 8, 0, 0, 0, 0, 0, MOTOR_REQ_NONE},
        {"ack, DLC 4", {0x60, 0x51, 0x1F, 0x01}, 4, 0, 0, 0, 0, 0, MOTOR_REQ_NONE},
    };
    for (const Row &r : rows) {
        uint8_t d[8] = {0, 0, 0, 0, 0, 0, 0, 0};
        std::copy(r.data.begin(), r.data.end(), d);
        EXPECT_EQ(motor_entry_read_reply_valid(d, r.dlc), r.entryValid) << r.what;
        EXPECT_EQ(motor_entry_write_step(d, r.dlc), r.entryStep) << r.what;
        EXPECT_EQ(motor_is_program_control(d, r.dlc, MOTOR_PROGRAM_STOP), r.isStop) << r.what;
        EXPECT_EQ(motor_is_program_control(d, r.dlc, MOTOR_PROGRAM_START), r.isStart) << r.what;
        EXPECT_EQ(motor_is_program_control_ack(d, r.dlc), r.isAck) << r.what;
        EXPECT_EQ(motor_app_request_kind(d, r.dlc), r.kind) << r.what;
    }
}

} // namespace
