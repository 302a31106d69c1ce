// The backend table's entries as its callers treat them: an empty required
// entry fails its operation, an empty optional one is skipped, and nothing
// crashes either way.
#include <gtest/gtest.h>

#include <cstring>

#include "client_api.h"
#include "fake_backend.h"

namespace {

TEST(BackendTable, EmptyEntriesFailTheirOperationOrAreSkipped) {
    enum Reach { kNoChannel, kNoSend, kNoReceive, kAll };
    const struct {
        const char *entry;
        void (*blank)(CANBackendOps &);
        Reach reach; // how far a channel gets
    } cases[] = {
        {"create", [](CANBackendOps &o) { o.create = nullptr; }, kNoChannel},
        {"open_device", [](CANBackendOps &o) { o.open_device = nullptr; }, kNoChannel},
        {"init_channel", [](CANBackendOps &o) { o.init_channel = nullptr; }, kNoChannel},
        {"start_channel", [](CANBackendOps &o) { o.start_channel = nullptr; }, kNoChannel},
        {"send", [](CANBackendOps &o) { o.send = nullptr; }, kNoSend},
        {"recv_multi", [](CANBackendOps &o) { o.recv_multi = nullptr; }, kNoReceive},
        {"destroy", [](CANBackendOps &o) { o.destroy = nullptr; }, kAll},
        {"close_device", [](CANBackendOps &o) { o.close_device = nullptr; }, kAll},
        {"clear_buffer", [](CANBackendOps &o) { o.clear_buffer = nullptr; }, kAll},
        {"get_board_info", [](CANBackendOps &o) { o.get_board_info = nullptr; }, kAll},
        {"reset_device", [](CANBackendOps &o) { o.reset_device = nullptr; }, kAll},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.entry);
        fake::install(client_api_manager_cleanup_all);
        fake::bus().responder = [](fake::Bus &b, const fake::Frame &f) {
            b.push(f.channel, f.ident, {f.data[0]}, static_cast<int>(f.data.size()));
        };
        static CANBackendOps ops;
        ops = *fake::ops();
        c.blank(ops);
        testing::internal::CaptureStdout();
        can_backend_set(&ops);
        const client_channel_id_t id = client_api_manager_init_channel(4, 0, 0, 1000, 8, 8);
        const bool up = !client_channel_id_is_invalid(&id);
        CO_CANrxMsg_t out;
        memset(&out, 0, sizeof(out));
        out.ident = 0x123;
        out.DLC = 1;
        out.data[0] = 0x5A;
        const int sent = up ? client_api_send_raw_can(id, &out) : -1;
        CO_CANrxMsg_t in;
        memset(&in, 0, sizeof(in));
        const int got = up ? client_api_receive_raw_can(id, &in, 50) : -1;
        client_api_manager_cleanup_all();
        can_backend_set(nullptr);
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(c.reach != kNoChannel, up);
        EXPECT_EQ(c.reach == kNoChannel || c.reach == kNoSend ? -1 : 0, sent);
        EXPECT_EQ(c.reach == kAll ? 0 : -1, got);
        if (c.reach == kAll) {
            EXPECT_EQ(0x123u, in.ident);
            EXPECT_EQ(0x5A, in.data[0]);
        }
    }
}

} // namespace
