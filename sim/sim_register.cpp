// The bench's entry in the stand-in's table of transports by name.
#include "sim_bench.h"

namespace {

const ControlCanTransport *provide(const char *scenario) {
    return sim_bench_load_scenario(scenario) ? sim_controlcan_transport() : nullptr;
}

} // namespace

extern "C" int sim_register_transport(void) {
    return controlcan_register_transport("sim", provide);
}
