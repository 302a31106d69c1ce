/* Byte ring buffer with a second, tentative read position, so a block of
 * data can be read, and read again from the same place, before it is
 * consumed. Holds at most bufSize - 1 bytes. */
#ifndef CO_FIFO_H
#define CO_FIFO_H

#include <stddef.h>
#include <stdint.h>

#include "CO_driver_target.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct {
    uint8_t *buf;      /* storage, owned by the caller */
    size_t bufSize;    /* length of buf */
    size_t writePtr;   /* next position to write */
    size_t readPtr;    /* next position to read (committed) */
    size_t altReadPtr; /* tentative read position, between readPtr and writePtr */
} CO_fifo_t;

/* Binds the ring to `buf`; ignored unless fifo and buf exist and bufSize >= 2. */
void CO_fifo_init(CO_fifo_t *fifo, uint8_t *buf, size_t bufSize);

/* Empties the ring. */
void CO_fifo_reset(CO_fifo_t *fifo);

/* Bytes that can still be written. */
size_t CO_fifo_getSpace(const CO_fifo_t *fifo);

/* Bytes between readPtr and writePtr. */
size_t CO_fifo_getOccupied(const CO_fifo_t *fifo);

/* Bytes between altReadPtr and writePtr. */
size_t CO_fifo_altGetOccupied(const CO_fifo_t *fifo);

/* Writes up to `count` bytes, feeding each into *crc when crc is given.
 * Returns the bytes written. */
size_t CO_fifo_write(CO_fifo_t *fifo, const uint8_t *buf, size_t count, uint16_t *crc);

/* Reads up to `count` bytes; *eof (when given) is set false. Returns the
 * bytes read. */
size_t CO_fifo_read(CO_fifo_t *fifo, uint8_t *buf, size_t count, bool_t *eof);

/* Restarts the tentative read at readPtr and skips up to `offset` bytes.
 * Returns the bytes skipped. */
size_t CO_fifo_altBegin(CO_fifo_t *fifo, size_t offset);

/* Reads up to `count` bytes tentatively; readPtr does not move. */
size_t CO_fifo_altRead(CO_fifo_t *fifo, uint8_t *buf, size_t count);

/* Commits the tentative reads (readPtr moves to altReadPtr), feeding each
 * committed byte into *crc when crc is given. */
void CO_fifo_altFinish(CO_fifo_t *fifo, uint16_t *crc);

#ifdef __cplusplus
}
#endif

#endif
