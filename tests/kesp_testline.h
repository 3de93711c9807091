// Test helpers of the cabinet-bus tests: frames built from the frame layout
// (with a bitwise CRC of their own, independent of the codec) and a scripted
// line behind the link seam.
#ifndef TVK_TESTS_KESP_TESTLINE_H
#define TVK_TESTS_KESP_TESTLINE_H

#include "KESP.h"
#include "TTYDev.h"
#include "TestSupport.h"

#include <cstring>
#include <deque>
#include <vector>

namespace kesptest {

using Bytes = std::vector<uint8>;

// CRC-16, reflected polynomial 0x8408, initial 0x554D, bit by bit.
inline uint16 crc16(const uint8 *p, size_t n)
{
    uint16 r = 0x554D;
    for (size_t i = 0; i < n; ++i) {
        r ^= p[i];
        for (int b = 0; b < 8; ++b)
            r = (r & 1) ? uint16((r >> 1) ^ 0x8408) : uint16(r >> 1);
    }
    return r;
}

// STX Src Dest Main Sub DataLength(BE) Data CRC(BE, over Src..data) ETX.
inline Bytes frame(uint8 src, uint8 dest, uint8 m, uint8 s, const Bytes &data)
{
    Bytes f = {0x02, src, dest, m, s, uint8(data.size() >> 8), uint8(data.size() & 0xFF)};
    f.insert(f.end(), data.begin(), data.end());
    const uint16 c = crc16(f.data() + 1, f.size() - 1);
    f.push_back(uint8(c >> 8));
    f.push_back(uint8(c & 0xFF));
    f.push_back(0x03);
    return f;
}

// The line as the link layer sees it through the seam: scripted arrivals (bytes,
// silence is the end of the script, read errors, breaks, time passing) and a
// record of what the card wrote, flushed and broke.
class ScriptedLine {
public:
    explicit ScriptedLine(tvktest::FakeClock &clock) : clock_(clock) {}
    ~ScriptedLine() { KESP_SetLinkIO(nullptr); }

    void install()
    {
        KESP_LinkIO io;
        io.read = [this](uint8 *b, uint16 n, uint32 t) { return read(b, n, t); };
        io.write = [this](const uint8 *b, uint16 n) {
            ++writeCalls;
            if (writeFails > 0) {
                --writeFails;
                return -1;
            }
            written.emplace_back(b, b + n);
            return 0;
        };
        io.flush = [this] { ++flushes; };
        io.sendBreak = [this] { ++breaksSent; };
        io.open = [this] {
            ++opens;
            return openOk;
        };
        io.breakCount = [this](uint32 &c) {
            if (uartBreaks < 0)
                return false;
            c = uint32(uartBreaks);
            return true;
        };
        KESP_SetLinkIO(&io);
        KESP_Init();
    }

    void bytes(const Bytes &b) { events_.push_back({Ev::Data, b, 0, 0}); }
    void error(int code) { events_.push_back({Ev::Error, {}, code, 0}); }
    void lineBreak() { events_.push_back({Ev::Break, {}, 0, 0}); }
    void advance(int64_t ms) { events_.push_back({Ev::Advance, {}, 0, ms}); }
    // Nothing on the line for `ms`: a read allowing less silence times out inside it.
    void silence(int64_t ms) { events_.push_back({Ev::Silence, {}, 0, ms}); }
    void reset()
    {
        events_.clear();
        written.clear();
        timeouts.clear();
        reads = writeCalls = flushes = breaksSent = 0;
    }

    // Like the channel layer: exactly n bytes, or a time-out (partial bytes kept).
    int read(uint8 *buf, uint16 n, uint32 timeoutMs)
    {
        ++reads;
        timeouts.push_back(timeoutMs);
        if (uartBreakAfterReads > 0 && --uartBreakAfterReads == 0)
            ++uartBreaks;
        uint16 got = 0;
        while (got < n) {
            if (events_.empty()) {
                clock_.advanceMs(timeoutMs);
                return TTYD_ERR_TIMEOUT;
            }
            Ev &e = events_.front();
            switch (e.kind) {
            case Ev::Advance:
                clock_.advanceMs(e.ms);
                events_.pop_front();
                break;
            case Ev::Silence:
                if (e.ms >= int64_t(timeoutMs)) {
                    clock_.advanceMs(timeoutMs);
                    e.ms -= int64_t(timeoutMs);
                    if (e.ms == 0)
                        events_.pop_front();
                    return TTYD_ERR_TIMEOUT;
                }
                clock_.advanceMs(e.ms);
                events_.pop_front();
                break;
            case Ev::Break:
                cntBreakDetect.fetch_add(1);   // what the SIGINT handler does
                events_.pop_front();
                break;
            case Ev::Error: {
                const int code = e.code;
                events_.pop_front();
                return code;
            }
            case Ev::Data: {
                const size_t k = std::min<size_t>(size_t(n - got), e.data.size() - e.pos);
                if (k)
                    memcpy(buf + got, e.data.data() + e.pos, k);
                got = uint16(got + k);
                e.pos += k;
                if (e.pos == e.data.size())
                    events_.pop_front();
                break;
            }
            }
        }
        return int(n);
    }

    std::vector<Bytes> written;
    std::vector<uint32> timeouts;
    int reads = 0, writeCalls = 0, writeFails = 0, flushes = 0, breaksSent = 0, opens = 0;
    bool openOk = true;
    int uartBreaks = -1;          // -1: the port has no break counter
    int uartBreakAfterReads = 0;  // raise the counter on that read

private:
    struct Ev {
        enum Kind { Data, Error, Break, Advance, Silence } kind;
        Bytes data;
        int code;
        int64_t ms;
        size_t pos = 0;
    };
    tvktest::FakeClock &clock_;
    std::deque<Ev> events_;
};

} // namespace kesptest

#endif
