// libFuzzer target: the reply path of a module-bus transaction.
//
// The first input byte chooses the query and the size of the reply buffer; the
// rest is what "arrives on the line", served like the channel layer serves it
// (exactly the bytes asked for, or a time-out with the partial bytes). Every
// buffer is allocated at its exact size so that the address sanitizer sees any
// access outside it. Built by hand, see build.sh.
#include "DUVEX.h"
#include "Log.h"
#include "crc.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Query {
    uint8 src, dest, m, s;
    const char *param;
};

const Query kQueries[] = {
    {0x20, '1', 'G', 'I', ""},  {0x20, '1', 'G', 'N', ""}, {0x20, '1', 'R', 'S', ""},
    {0x20, '1', 'R', 'X', "0000000000000000"}, {'A', '8', 'D', 'C', "1"}, {'A', '1', 'C', 'S', "012<"},
    {0x20, '1', 'S', 'V', ""},  {0x20, '1', 'G', 'M', ""}, {0x20, '1', 'R', 'A', ""},
};

bool g_init = [] {
    tvk_setLogSink([](const std::string &) {});
    return true;
}();

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const uint8 sel = data[0];
    const Query &q = kQueries[sel % (sizeof kQueries / sizeof kQueries[0])];
    std::vector<uint8> param(q.param, q.param + strlen(q.param));
    pckStruct p;
    p.Src = q.src;
    p.Dest = q.dest;
    p.MainCmd = q.m;
    p.SubCmd = q.s;
    p.pParam = param.empty() ? nullptr : param.data();
    p.ParamLen = uint16(param.size());

    uint8 *frame = nullptr;
    uint16 flen = DUVEX_BuildQuery(p, frame);
    if (!frame || flen < DUVEX_HEAD_QUEUE_LEN)
        abort();
    // Exact-size copy of the query frame.
    uint8 *query = new uint8[flen];
    memcpy(query, frame, flen);
    delete[] frame;

    // Reply buffer: as a query element sizes it, or (one input in eight) smaller.
    uint16 cap = uint16(DUVEX_GetReplyDataLen(p) + DUVEX_HEAD_QUEUE_LEN);
    if ((sel & 0xE0) == 0xE0)
        cap = uint16(sel & 0x0F);
    uint8 *reply = cap ? new uint8[cap] : nullptr;

    const uint8 *line = data + 1;
    const size_t lineLen = size - 1;
    size_t pos = 0;
    auto rd = [&](uint8 *buf, uint16 len, uint32) {
        size_t n = std::min<size_t>(len, lineLen - pos);
        if (n)
            memcpy(buf, line + pos, n);
        pos += n;
        return n == len ? int(len) : -9;
    };
    int r = DUVEX_RcvReply(query, reply, cap, rd);
    if (r == 0) {
        if (errnoDuvex != 0)
            abort();
        if (cap >= DUVEX_HEAD_QUEUE_LEN) {
            // An accepted reply is addressed back to the card and carries a good check code.
            if (reply[0] != DUVEX_STX || reply[1] != q.dest || reply[2] != q.src)
                abort();
            pckStruct out;
            DUVEX_ExtractQuery(out, reply);
            uint8 n = uint8(std::min<int>(out.ParamLen, cap - DUVEX_HEAD_QUEUE_LEN));
            uint8 code[4];
            DUVEX_Dec2DCd(DUVEX_CheckCode(reply, n), code, 4);
            if (memcmp(code, reply + DUVEX_DATAOFFSET + n, 4) != 0)
                abort();
        }
    } else if (r != -1) {
        abort();
    }
    delete[] reply;
    delete[] query;
    return 0;
}
