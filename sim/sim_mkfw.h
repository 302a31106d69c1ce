/* Demo firmware images for the motors of the loaded bench: one .bin file per
 * distinct motor identity, named the way the upgrade tool pairs files with
 * motors, carrying the version trailer (see sim_bench.h). Used by the
 * ostrelo-mkfw command and by tests. */
#ifndef OSTRELO_SIM_MKFW_H
#define OSTRELO_SIM_MKFW_H

#include <stddef.h>
#include <stdint.h>

#include "sim_bench.h"

#ifdef __cplusplus
extern "C" {
#endif

#define SIM_MKFW_DEFAULT_BODY (48u * 1024u)
#define SIM_MKFW_MAX_FILES SIM_MAX_MOTORS

typedef struct sim_mkfw_file_t {
    char name[128];   /* file name, e.g. "60018_DoubleTarsel_B16_V1_1_2_2.bin" */
    uint32_t version; /* version in the trailer */
    uint32_t size;    /* bytes, trailer included */
    uint32_t crc32;   /* CRC-32 of the whole file */
} sim_mkfw_file_t;

/* Encoder name of an encoder code as the upgrade tool shows it; unknown codes
 * give "Unknown Encoder type: <code>". */
void sim_mkfw_encoder_name(uint8_t encoderType, char *out, size_t cap);
/* The motor's filename key: model, encoder name and brake suffix with only
 * digits and lowercase letters kept (uppercase folded). */
void sim_mkfw_key(const sim_motor_config_t *m, char *out, size_t cap);
/* Whether `filename` carries `key` (the pairing rule of the upgrade tool). */
int sim_mkfw_match(const char *filename, const char *key);
/* Version for the demo image of a motor at `current`: the last part plus
 * one; for brake 16 no part contains the digit 0, so that a B0 key can never
 * pair with the file. */
uint32_t sim_mkfw_next_version(uint32_t current, uint8_t brakeType);
/* "<model>_<encoder>_<B0|B16>_V<a>_<b>_<c>_<d>.bin"; characters other than
 * letters and digits are left out of the encoder part. */
void sim_mkfw_file_name(const sim_motor_config_t *m, uint32_t version, char *out, size_t cap);

/* Writes the images for every motor of the loaded bench into `dir` (which
 * must exist). bodySize bytes of pattern precede each trailer. Prints one line
 * per file and a warning for any motor whose key pairs with another motor's
 * file. Returns the number of files, or -1 after printing why. */
int sim_mkfw_write_all(const char *dir, uint32_t bodySize, sim_mkfw_file_t *files, int cap);

#ifdef __cplusplus
}
#endif

#endif
