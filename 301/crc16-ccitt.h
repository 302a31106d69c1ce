/* CRC-16 of SDO block transfers: polynomial 0x1021, most significant bit
 * first, no reflection, no final XOR (CRC-16/XMODEM when started at 0). */
#ifndef CRC16_CCITT_H
#define CRC16_CCITT_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

extern const uint16_t crc16_ccitt_table[256];

/* Feeds one byte into *crc. */
void crc16_ccitt_single(uint16_t *crc, const uint8_t chr);

/* CRC of `blockLength` bytes, continuing from `crc`. */
uint16_t crc16_ccitt(const uint8_t block[], size_t blockLength, uint16_t crc);

#ifdef __cplusplus
}
#endif

#endif
