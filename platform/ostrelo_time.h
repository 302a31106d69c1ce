/* Portable millisecond sleep and 32-bit wrapping millisecond tick.
 * Every wait of the client API goes through these two functions; elapsed
 * times are always computed as (uint32_t)(now - start). */
#ifndef OSTRELO_TIME_H
#define OSTRELO_TIME_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Sleeps at least `ms` milliseconds (resumes after signals). */
void delay_ms(uint32_t ms);

/* Millisecond tick from a monotonic clock, wrapping at 2^32. */
uint32_t get_current_time_ms(void);

/* Milliseconds from the tick `start` to now, across the wrap. */
uint32_t ostrelo_ms_since(uint32_t start);

/* A time limit of `ms` milliseconds from the tick `start`. */
typedef struct {
    uint32_t start;
    uint32_t ms;
} ostrelo_deadline_t;

/* A limit of `ms` from now. */
ostrelo_deadline_t ostrelo_deadline_in(uint32_t ms);
/* Milliseconds left before the limit; 0 once it has passed. */
uint32_t ostrelo_deadline_left(ostrelo_deadline_t d);

/* Microseconds from a monotonic clock (64-bit, does not wrap in practice). */
uint64_t ostrelo_monotonic_us(void);

/* Test hook: makes get_current_time_ms() return `tick` now and count on from
 * there, so code can be exercised just before the 32-bit wrap. */
void ostrelo_time_set_tick_origin(uint32_t tick);

#ifdef __cplusplus
}
#endif

#endif
