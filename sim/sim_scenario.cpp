// Scenario files of the simulated bench.
#include "sim_bench.h"

#include <stdio.h>

extern "C" const char *sim_bench_default_scenario_text(void) {
    return "";
}

extern "C" int sim_bench_load_scenario_text(const char *text, const char *name) {
    (void)text;
    (void)name;
    sim_bench_reset();
    return 1;
}

extern "C" int sim_bench_load_default(void) {
    sim_bench_reset();
    for (uint32_t a = 0; a < 2; ++a) {
        sim_bench_add_adapter(a, 2);
        for (uint32_t c = 0; c < 2; ++c) {
            sim_bench_add_segment(a, c, 1000);
            sim_motor_config_t m;
            sim_motor_config_init(&m);
            m.adapter = a;
            m.channel = c;
            m.node = static_cast<uint8_t>(1 + a * 2 + c);
            sim_bench_add_motor(&m);
        }
    }
    return 1;
}

extern "C" int sim_bench_load_scenario(const char *path) {
    if (path == NULL) {
        return sim_bench_load_default();
    }
    printf("[ERROR] sim: cannot read scenario file %s\n", path);
    sim_bench_reset();
    return 0;
}
