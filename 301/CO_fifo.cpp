#include "CO_fifo.h"

#include "crc16-ccitt.h"

/* A ring without storage (never initialised) behaves as empty and full. */
static bool_t fifo_usable(const CO_fifo_t *fifo) {
    return fifo != NULL && fifo->buf != NULL && fifo->bufSize >= 2;
}

static size_t fifo_next(const CO_fifo_t *fifo, size_t pos) {
    pos++;
    return pos >= fifo->bufSize ? 0 : pos;
}

void CO_fifo_init(CO_fifo_t *fifo, uint8_t *buf, size_t bufSize) {
    if (fifo == NULL || buf == NULL || bufSize < 2) {
        return;
    }
    fifo->buf = buf;
    fifo->bufSize = bufSize;
    fifo->readPtr = 0;
    fifo->writePtr = 0;
}

void CO_fifo_reset(CO_fifo_t *fifo) {
    if (fifo == NULL) {
        return;
    }
    fifo->readPtr = 0;
    fifo->writePtr = 0;
    fifo->altReadPtr = 0; /* a tentative position into the old data means nothing now */
}

size_t CO_fifo_getSpace(const CO_fifo_t *fifo) {
    if (!fifo_usable(fifo)) {
        return 0;
    }
    if (fifo->readPtr > fifo->writePtr) {
        return fifo->readPtr - fifo->writePtr - 1;
    }
    return fifo->bufSize + fifo->readPtr - fifo->writePtr - 1;
}

/* Bytes from `from` forward to `to`. */
static size_t fifo_span(const CO_fifo_t *fifo, size_t from, size_t to) {
    if (to >= from) {
        return to - from;
    }
    return fifo->bufSize + to - from;
}

static size_t fifo_distance(const CO_fifo_t *fifo, size_t from) {
    return fifo_span(fifo, from, fifo->writePtr);
}

/* The tentative position must lie between readPtr and writePtr; one that
 * does not (storage re-bound, or data consumed behind it) restarts at readPtr. */
static void fifo_alt_sanitize(CO_fifo_t *fifo) {
    if (fifo->altReadPtr >= fifo->bufSize ||
        fifo_span(fifo, fifo->readPtr, fifo->altReadPtr) > fifo_distance(fifo, fifo->readPtr)) {
        fifo->altReadPtr = fifo->readPtr;
    }
}

size_t CO_fifo_getOccupied(const CO_fifo_t *fifo) {
    if (!fifo_usable(fifo)) {
        return 0;
    }
    return fifo_distance(fifo, fifo->readPtr);
}

size_t CO_fifo_altGetOccupied(const CO_fifo_t *fifo) {
    if (!fifo_usable(fifo) || fifo->altReadPtr >= fifo->bufSize) {
        return 0;
    }
    CO_fifo_t f = *fifo;
    fifo_alt_sanitize(&f);
    return fifo_distance(&f, f.altReadPtr);
}

size_t CO_fifo_write(CO_fifo_t *fifo, const uint8_t *buf, size_t count, uint16_t *crc) {
    if (!fifo_usable(fifo) || buf == NULL) {
        return 0;
    }
    size_t written = 0;
    while (written < count) {
        const size_t next = fifo_next(fifo, fifo->writePtr);
        if (next == fifo->readPtr) {
            break; /* full */
        }
        fifo->buf[fifo->writePtr] = buf[written];
        if (crc != NULL) {
            crc16_ccitt_single(crc, buf[written]);
        }
        fifo->writePtr = next;
        written++;
    }
    return written;
}

size_t CO_fifo_read(CO_fifo_t *fifo, uint8_t *buf, size_t count, bool_t *eof) {
    if (eof != NULL) {
        *eof = false;
    }
    if (!fifo_usable(fifo) || buf == NULL) {
        return 0;
    }
    size_t n = 0;
    while (n < count && fifo->readPtr != fifo->writePtr) {
        buf[n++] = fifo->buf[fifo->readPtr];
        fifo->readPtr = fifo_next(fifo, fifo->readPtr);
    }
    fifo_alt_sanitize(fifo); /* a tentative position behind what was read restarts here */
    return n;
}

size_t CO_fifo_altBegin(CO_fifo_t *fifo, size_t offset) {
    if (!fifo_usable(fifo)) {
        return 0;
    }
    fifo->altReadPtr = fifo->readPtr;
    size_t n = 0;
    while (n < offset && fifo->altReadPtr != fifo->writePtr) {
        fifo->altReadPtr = fifo_next(fifo, fifo->altReadPtr);
        n++;
    }
    return n;
}

size_t CO_fifo_altRead(CO_fifo_t *fifo, uint8_t *buf, size_t count) {
    if (!fifo_usable(fifo) || buf == NULL) {
        return 0;
    }
    fifo_alt_sanitize(fifo);
    size_t n = 0;
    while (n < count && fifo->altReadPtr != fifo->writePtr) {
        buf[n++] = fifo->buf[fifo->altReadPtr];
        fifo->altReadPtr = fifo_next(fifo, fifo->altReadPtr);
    }
    return n;
}

void CO_fifo_altFinish(CO_fifo_t *fifo, uint16_t *crc) {
    if (!fifo_usable(fifo)) {
        return;
    }
    fifo_alt_sanitize(fifo);
    if (crc == NULL) {
        fifo->readPtr = fifo->altReadPtr;
        return;
    }
    while (fifo->readPtr != fifo->altReadPtr) {
        crc16_ccitt_single(crc, fifo->buf[fifo->readPtr]);
        fifo->readPtr = fifo_next(fifo, fifo->readPtr);
    }
}
