// Linked as an object (library ostrelo_sim_default), never from an archive,
// so the linker cannot drop it: the bench is the default transport of every
// program and test that links it, before main runs.
#include "sim_bench.h"

namespace {

[[maybe_unused]] const int g_registered = sim_register_transport();

} // namespace
