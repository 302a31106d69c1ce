// The bench's scenario parser: any text either loads or is refused with the
// bench left empty.
#include "fuzz_text.h"
#include "sim_bench.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string text = fuzz_text(data, size);
    sim_bench_set_manual_clock(1);
    if (sim_bench_load_scenario_text(text.c_str(), "fuzz") != 1) {
        FUZZ_CHECK(sim_bench_motor_count() == 0);
    }
    for (int i = 0; i < sim_bench_motor_count(); ++i) {
        sim_motor_config_t m;
        FUZZ_CHECK(sim_bench_motor_config(i, &m) == 1);
        FUZZ_CHECK(m.node >= 1 && m.node <= 127);
    }
    sim_bench_reset();
    sim_bench_set_manual_clock(0);
    return 0;
}
