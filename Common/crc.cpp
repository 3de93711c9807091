#include "crc.h"

#include <array>

namespace {

constexpr uint16 POLYNOMIAL = 0x8408;         // ALGORITHM FAST, reflected CCITT
constexpr uint16 INITIAL_REMAINDER = 0x554D;
constexpr uint16 FINAL_XOR_VALUE = 0x0000;

// crcTable: the remainder of every byte value, built from the polynomial at compile time.
constexpr std::array<uint16, 256> buildTable()
{
    std::array<uint16, 256> t{};
    for (unsigned dividend = 0; dividend < 256; ++dividend) {
        uint16 rem = uint16(dividend);
        for (int bit = 0; bit < 8; ++bit)
            rem = (rem & 1u) ? uint16((rem >> 1) ^ POLYNOMIAL) : uint16(rem >> 1);
        t[dividend] = rem;
    }
    return t;
}

constexpr std::array<uint16, 256> crcTable = buildTable();

} // namespace

uint16 crcCalcFrom(uint16 initial, const uint8 *message, int nBytes)
{
    uint16 remainder = initial;
    if (!message || nBytes <= 0)
        return uint16(remainder ^ FINAL_XOR_VALUE);
    for (int i = 0; i < nBytes; ++i)
        remainder = uint16(crcTable[(message[i] ^ remainder) & 0xFFu] ^ (remainder >> 8));
    return uint16(remainder ^ FINAL_XOR_VALUE);
}

uint16 crcCalc(const uint8 *message, int nBytes)
{
    return crcCalcFrom(INITIAL_REMAINDER, message, nBytes);
}
