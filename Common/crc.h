// CRC-16 of both buses (module bus and cabinet bus).
//
// Reflected CCITT polynomial 0x8408 (0x1021 processed least significant bit
// first), table driven, initial remainder 0x554D, no final reflection and no
// final XOR. Over "123456789" it gives 0x63D0.
#ifndef TVK_CRC_H
#define TVK_CRC_H

#include "Types.h"

// Check code of nBytes bytes of `message`. An empty or negative length (or a
// null pointer) gives the initial remainder 0x554D.
uint16 crcCalc(const uint8 *message, int nBytes);

// The same routine from another initial remainder (0 gives the CRC-16/KERMIT value).
uint16 crcCalcFrom(uint16 initial, const uint8 *message, int nBytes);

#endif
