// A serial line that costs nothing, linked in place of the platform backend
// so that a benchmark times the driver's own work alone. Every routine
// succeeds at once: writes take every byte and go nowhere, and every read
// delivers the first bytes of one canned reply.
#ifndef TZ52DRV_BENCH_NULL_LINE_H
#define TZ52DRV_BENCH_NULL_LINE_H

#include <cstdint>

#include "serial/serial.h"

// The handle every open of the null line produces; never null.
SerialHandle NullLineHandle();

// The bytes every read delivers from the start (a read of more than `length`
// bytes gets `length` and fails, like a short reply). The bytes must outlive
// the reads.
void SetNullLineReply(const uint8_t* bytes, uint32_t length);

#endif  // TZ52DRV_BENCH_NULL_LINE_H
