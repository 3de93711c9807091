// Fixed-width integer names used across the card's records and codecs.
#ifndef TVK_TYPES_H
#define TVK_TYPES_H

#include <cstdint>

typedef uint8_t uint8;
typedef int8_t int8;
typedef uint16_t uint16;
typedef int16_t int16;
typedef uint32_t uint32;
typedef int32_t int32;
typedef uint64_t uint64;
typedef int64_t int64;

// Seconds since the epoch as a signed 32-bit count; 0 means never updated.
typedef int32_t mytime_t;

// One-byte truth value of the records. A plain byte, so that any value read from
// a bus or from shared memory is a valid object (only 0 counts as false).
typedef uint8_t bool8;

#endif
