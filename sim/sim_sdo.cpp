// CiA 301 SDO server of the simulated bootloader.
#include "sim_internal.h"

void sim_sdo_reset(SimMotor &m) {
    m.sdo.mode = SDO_IDLE;
}

void sim_sdo_receive(SimMotor &m, const SimFrame &f, uint64_t t) {
    (void)m;
    (void)f;
    (void)t;
}
