// Frame helpers shared by the link layer and the message catalogue: big-endian
// 16-bit fields and the header/trailer around data already in place.
#ifndef TVK_KESPFRAME_H
#define TVK_KESPFRAME_H

#include "KESP.h"
#include "crc.h"

namespace kespframe {

inline uint16 be16(const uint8 *p) { return uint16((uint16(p[0]) << 8) | p[1]); }

inline void putBe16(uint8 *p, uint16 v)
{
    p[0] = uint8(v >> 8);
    p[1] = uint8(v & 0xFF);
}

// Fills the header and trailer of a frame whose data (dataLen bytes at offset 7)
// are already in place.
inline void finishFrame(uint8 *f, uint8 src, uint8 dest, uint8 mainCmd, uint8 subCmd, uint16 dataLen)
{
    f[0] = STX;
    f[KESP_SOURCEOFFSET] = src;
    f[KESP_DESTOFFSET] = dest;
    f[KESP_MAINCMDOFFSET] = mainCmd;
    f[KESP_SUBCMDOFFSET] = subCmd;
    putBe16(f + KESP_LENGTHOFFSET, dataLen);
    putBe16(f + KESP_DATAOFFSET + dataLen, crcCalc(f + 1, int(dataLen) + 6));
    f[KESP_DATAOFFSET + dataLen + 2] = ETX;
}

} // namespace kespframe

#endif
