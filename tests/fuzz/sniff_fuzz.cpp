// Fuzzer of the bus sniffer's decoder: any bytes on either line, in any chunking
// and with silences, give no crash, bounded buffers, and every byte heard is
// either in a frame or in a noise span (none lost, none invented). Frames found
// are parsed again, described, decoded and counted.
//
// Input: byte 0 chooses the bus (bit 0: module bus), the chunk size (bits 1-5),
// byte timing from a baud rate (bit 6) and silences longer than the byte
// time-out (bit 7, where a chunk's first byte is odd); the rest is the line.
#include "Sniff.h"

#include <cstddef>
#include <cstdint>
#include <vector>

using namespace tvksim::sniff;

namespace {

size_t g_framed, g_noise;

void take(std::vector<Event> &ev, Stats &st)
{
    for (const Event &e : ev) {
        st.add(e);
        (void)pseudoHeader(e, Bus::Kesp);
        if (e.kind == Event::FrameSeen) {
            const Frame &f = e.frame;
            g_framed += f.bytes.size();
            Frame again;
            if (!parseFrame(f.bus, f.bytes.data(), f.bytes.size(), again) || again.checkOk != f.checkOk ||
                again.dataLen != f.dataLen)
                __builtin_trap();
            if (f.inner.present && f.inner.offset + f.inner.length > f.bytes.size())
                __builtin_trap();
            (void)describe(f);
            (void)fields(f);
        } else if (e.kind == Event::NoiseSeen) {
            if (e.noise.bytes.empty() || e.noise.bytes.size() > NOISE_CHUNK)
                __builtin_trap();
            g_noise += e.noise.bytes.size();
        }
    }
    ev.clear();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const uint8_t mode = data[0];
    const Bus bus = (mode & 1) ? Bus::Duvex : Bus::Kesp;
    const size_t chunk = 1 + ((mode >> 1) & 0x1F) * 8;
    const size_t cap = 2 * (bus == Bus::Kesp ? KESP_MAXFRAME : DUVEX_MAXFRAME);
    Decoder dec(bus, (mode & 0x40) ? 1042 : 0, 50000);
    Stats st(bus);
    std::vector<Event> ev;
    g_framed = g_noise = 0;
    const uint8_t *p = data + 1;
    const size_t n = size - 1;
    int64_t t = 1000000;
    for (size_t i = 0; i < n; i += chunk) {
        const size_t k = chunk < n - i ? chunk : n - i;
        t += ((mode & 0x80) && (p[i] & 1)) ? 60000 : 1000;
        dec.feed(p + i, k, t, ev);
        if (p[i] == 0xAA)
            dec.expire(t + 100000, ev);
        if (dec.pending() > cap)
            __builtin_trap();
        take(ev, st);
    }
    dec.flush(ev);
    take(ev, st);
    if (dec.pending() != 0 || g_framed + g_noise != n)
        __builtin_trap();
    (void)st.report();
    return 0;
}
