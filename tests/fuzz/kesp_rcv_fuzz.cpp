// libFuzzer target: receiving cabinet-bus frames (KESP_Rcv, KESP_RcvReply,
// KESP_Decode) through the link seam.
//
// Input: byte 0 chooses the receive (bit 7: the reply of a query, else any
// frame), bits 0-6 with byte 1 the capacity of the receive buffer (modulo a
// little more than the ring, so capacities below 10 and above the ring are tried); the rest arrives on the line, served
// like the channel layer serves it (exactly the bytes asked for, or a time-out
// with the partial bytes). A 0xFE byte followed by a selector injects a line
// event instead of itself (a time jump, a read error, a break). Every buffer has
// its exact size, so the address sanitizer sees any access outside it. Every
// frame reported good is checked against the frame format.
#include "FuzzSupport.h"
#include "KESP.h"
#include "Log.h"
#include "SysClock.h"
#include "TTYDev.h"
#include "crc.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

tvkfuzz::Clock g_clock;
const uint8_t *g_in = nullptr;
size_t g_left = 0;

int serve(uint8 *buf, uint16 len, uint32 timeoutMs)
{
    uint16 got = 0;
    while (got < len) {
        if (g_left == 0) {
            g_clock.us += int64_t(timeoutMs) * 1000;
            return TTYD_ERR_TIMEOUT;
        }
        uint8_t b = *g_in++;
        --g_left;
        if (b == 0xFE && g_left > 0) {
            const uint8_t ev = *g_in++;
            --g_left;
            switch (ev & 3) {
            case 0: g_clock.us += int64_t(ev) * 1000000; continue;   // seconds pass
            case 1: return TTYD_ERR_READ;                            // the port fails
            case 2: cntBreakDetect.fetch_add(1); continue;           // a line break
            default: break;                                          // a literal 0xFE
            }
        }
        buf[got++] = b;
        g_clock.us += 1042;   // one character at 9600 baud
    }
    return int(len);
}

// Set up once the other units are initialised (not from a static initialiser:
// their statics would be constructed after it and undo it).
void setUp()
{
    setenv("TZ", "UTC", 1);   // the log's time of day without a zone file lookup per line
    tvk_setLogSink([](const std::string &) {});
    sysclock::setSource(&g_clock);
    KESP_LinkIO io;
    io.read = serve;
    KESP_SetLinkIO(&io);
    KESP_Init();
}

uint16 be16(const uint8 *p) { return uint16((p[0] << 8) | p[1]); }

// A frame reported good must be one. The reply path checks what KESP_Decode
// promises (start, length, check code): like the boards' own, it does not look at
// the end byte of a reply, whose check code is good.
void checkFrame(const uint8 *f, uint16 capacity, bool withEtx = true)
{
    const uint16 n = be16(f + KESP_LENGTHOFFSET);
    if (f[0] != STX || uint32(n) + KESP_HEAD_QUEUE_LEN > capacity || (withEtx && f[KESP_DATAOFFSET + n + 2] != ETX) ||
        crcCalc(f + 1, n + 6) != be16(f + KESP_DATAOFFSET + n))
        abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    setUp();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    const bool reply = data[0] & 0x80;
    // Capacities from 0 to a little above the ring (the ring bounds every larger one).
    uint16 capacity = uint16((((data[0] & 0x7F) << 8) | data[1]) % (FIFOSIZE + 65));
    if (reply && capacity > KESP_MAXPCKLEN)
        capacity = uint16(capacity % (KESP_MAXPCKLEN + 1));
    g_in = data + 2;
    g_left = size - 2;
    cntBreakDetect = 0;
    if (KESP_ch == 0xFF)
        KESP_Init();

    std::vector<uint8> buf(capacity ? capacity : 1);   // exact size (1 byte for capacity 0)
    uint8 *stream = capacity ? buf.data() : nullptr;
    if (!reply) {
        for (int i = 0; i < 64 && g_left > 0; ++i) {
            uint16 cap = capacity;
            const int r = KESP_Rcv(stream, &cap, 3000);
            if (cap != capacity)
                abort();
            if (r == SUCC)
                checkFrame(stream, capacity);
            else if (r != FAIL && r != NOACTIVITY)
                abort();
            cntBreakDetect = 0;
            if (KESP_ch == 0xFF)
                KESP_Init();
        }
        return 0;
    }
    // The reply to a BS query from cabinet A to cabinet B.
    uint8 query[KESP_HEAD_QUEUE_LEN] = {STX, 0xEA, 0xEB, 'B', 'S', 0, 0, 0, 0, ETX};
    const uint16 crc = crcCalc(query + 1, 6);
    query[7] = uint8(crc >> 8);
    query[8] = uint8(crc);
    pckStruct q{0xEA, 0xEB, 'B', 'S', nullptr, 0};
    for (int i = 0; i < 16 && g_left > 0; ++i) {
        uint16 len = capacity;
        const int r = KESP_RcvReply(stream, &len, q);
        if (r == 0) {
            if (len > capacity || len < KESP_HEAD_QUEUE_LEN)
                abort();
            if (KESP_Decode(query, stream, len) == 0)
                checkFrame(stream, len, false);
        } else if (r != -1 && r != KESP_RCVLONGTIMEOUT) {
            abort();
        }
        if (KESP_ch == 0xFF)
            KESP_Init();
    }
    return 0;
}
