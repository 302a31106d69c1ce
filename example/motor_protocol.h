/* The motors' own CAN protocol constants, shared by the upgrade client and
 * the simulated motor bench: the model string of each motor type code and
 * the two boot-entry signatures. */
#ifndef MOTOR_PROTOCOL_H
#define MOTOR_PROTOCOL_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct {
    uint8_t motorType;
    const char *model; /* 4 to 6 decimal digits, distinct */
} motor_model_entry_t;

#define MOTOR_MODEL_COUNT 15

static const motor_model_entry_t MOTOR_MODEL_TABLE[MOTOR_MODEL_COUNT] = {
    {9, "4009"},    {11, "4011"},   {13, "4013"},   {18, "60018"},  {19, "60019"},
    {20, "60020"},  {21, "60021"},  {26, "80026"},  {27, "80027"},  {31, "80031"},
    {65, "130065"}, {66, "130066"}, {67, "130067"}, {68, "130068"}, {69, "130069"},
};

/* Model string for a motor type code, or "Unknown". */
static inline const char *motor_model_for_type(uint8_t motorType) {
    for (size_t i = 0; i < MOTOR_MODEL_COUNT; ++i) {
        if (MOTOR_MODEL_TABLE[i].motorType == motorType) {
            return MOTOR_MODEL_TABLE[i].model;
        }
    }
    return "Unknown";
}

/* Boot-entry handshake: data[2..5] of the first and second A3 write command. */
static const uint8_t MOTOR_ENTRY_SIGNATURE_1[4] = {'O', 'S', 'T', 'R'};
static const uint8_t MOTOR_ENTRY_SIGNATURE_2[4] = {'B', 'O', 'O', 'T'};

#ifdef __cplusplus
}
#endif

#endif
