// libFuzzer target: relayed module-bus queries (QT) answered by this card. The
// inner frame of a QT addressed to this cabinet goes through KESP_ManageReplyWith
// (answerQT) to the module reply builder (DUVEX_BuildReplyOn) on a module-bus
// thread object that is never started; the answer sent on the line must be a
// whole cabinet-bus frame whose inner module reply is well framed, and that
// reply, parsed back as the requesting card parses a relayed reply, is never
// refused as short or malformed.
//
// Input: byte 0 holds flags (bit 0: write the inner frame's length field to fit
// the bytes that follow, so that the length check passes; bit 1: the own module
// slot has a node; bit 2: that module counts as polled and answering; bit 3:
// records from the input, bit 4: record time stamps set to now; bits 5-6 the own
// cabinet: A, B, D or no valid address); byte 1 is the inner frame's length; then
// the inner frame; the rest fills the module's records. Every buffer has its
// exact size. GM (a live module-bus exchange) is not tried here.
#include "DUVEX.h"
#include "DUVEXData.h"
#include "FuzzSupport.h"
#include "Globals.h"
#include "KESP.h"
#include "ThreadDUVEX.h"
#include "ThreadKESP.h"
#include "VirtualUPSMgr.h"
#include "crc.h"

#include <cstring>
#include <memory>
#include <vector>

namespace {

tvkfuzz::Clock g_clock;
DUVEXMgr *g_duvex = nullptr;
std::vector<uint8_t> g_sent;   // the last frame written on the line

void setUp()
{
    tvkfuzz::quietCard(&g_clock);
    KESP_LinkIO io;
    io.write = [](const uint8 *buf, uint16 len) {
        g_sent.assign(buf, buf + len);
        return 0;
    };
    KESP_SetLinkIO(&io);
    KESP_Init();
    g_duvex = new DUVEXMgr();
}

uint16 be16(const uint8 *p) { return uint16((p[0] << 8) | p[1]); }

// The answer on the line: a whole frame from this cabinet carrying the time stamp
// and a module reply to the inner query, framed as a module frames it.
void checkAnswer(const pckStruct &inner)
{
    const std::vector<uint8_t> &f = g_sent;
    if (f.size() < KESP_HEAD_QUEUE_LEN || f[0] != STX || f.back() != ETX)
        abort();
    const uint16 n = be16(&f[KESP_LENGTHOFFSET]);
    if (size_t(n) + KESP_HEAD_QUEUE_LEN != f.size() || crcCalc(&f[1], uint16(n + 6)) != be16(&f[KESP_DATAOFFSET + n]))
        abort();
    if (f[KESP_SOURCEOFFSET] != KESPAddr || f[KESP_MAINCMDOFFSET] != 'Q' || f[KESP_SUBCMDOFFSET] != 'T')
        abort();
    if (n < QTTIMESTAMPLEN + DUVEX_HEAD_QUEUE_LEN)
        abort();
    const uint8 *r = &f[KESP_DATAOFFSET + QTTIMESTAMPLEN];
    const size_t rlen = n - QTTIMESTAMPLEN;
    const uint32 dlen = DUVEX_DCd2Dec(r + DUVEX_LENGTHOFFSET, 2);
    if (r[0] != DUVEX_STX || r[rlen - 1] != DUVEX_ETX || dlen + DUVEX_HEAD_QUEUE_LEN != rlen)
        abort();
    if (r[DUVEX_SOURCEOFFSET] != inner.Dest || r[DUVEX_DESTOFFSET] != inner.Src ||
        r[DUVEX_MAINCMDOFFSET] != inner.MainCmd || r[DUVEX_SUBCMDOFFSET] != inner.SubCmd)
        abort();
    uint8 code[4];
    DUVEX_Dec2DCd(DUVEX_CheckCode(r, uint8(dlen)), code, 4);
    if (memcmp(code, r + DUVEX_DATAOFFSET + dlen, 4) != 0)
        abort();
    // The requester parses it as a relayed reply, on nodes of its own.
    std::unique_ptr<virtualNode_t> m(new virtualNode_t()), k(new virtualNode_t());
    std::unique_ptr<uint8[]> copy(new uint8[rlen]);
    memcpy(copy.get(), r, rlen);
    const int rc = DUVEX_ParseReply(m.get(), k.get(), 1, long(g_clock.now()), copy.get(), rlen, 36000, true);
    if (rc == DUVEX_DATA_EARG || rc == DUVEX_DATA_ESHORT)
        abort();
}

void setRecordTimes(virtualNode_t &n, mytime_t t)
{
    n.identification.timestamp = t;
    n.nominal.timestamp = t;
    n.desc.module.data.timestamp = t;
    n.desc.module.statusDetail.timestamp = t;
#if !defined(TVK_MODULAR)
    n.desc.module.statusDetailExt.timestamp = t;
#endif
}

// Copies `data` over the records a reply is built from, in their order, as far as it goes.
void fillRecords(virtualNode_t &n, const uint8_t *data, size_t size)
{
    struct Span {
        void *p;
        size_t n;
    } spans[] = {{&n.identification, sizeof n.identification},
                 {&n.nominal, sizeof n.nominal},
                 {&n.desc.module, sizeof n.desc.module}};
    for (const Span &s : spans) {
        const size_t k = size < s.n ? size : s.n;
        memcpy(s.p, data, k);
        data += k;
        size -= k;
    }
}

const uint8 kOwn[4] = {0xEA, 0xEB, 0xED, 0xE0};

std::vector<tvkfuzz::Seed> seeds()
{
    struct Q {
        uint8 dest, m, s;
        const char *param;
    } qs[] = {
        {'1', 'G', 'I', ""}, {'1', 'G', 'N', ""}, {'1', 'G', 'E', ""}, {'1', 'R', 'A', ""}, {'1', 'R', 'C', ""},
        {'1', 'R', 'E', ""}, {'1', 'R', 'S', ""}, {'1', 'R', 'X', ""}, {'1', 'C', 'S', "0300"},
        {'1', 'C', 'R', "03000600"}, {'1', 'C', 'D', ""}, {'1', 'D', 'C', "0"}, {'8', 'D', 'C', "1"},
        {'1', 'S', 'V', ""}, {'1', 'T', 'B', "1"}, {'1', 'C', 'U', ""}, {'2', 'R', 'S', ""},
    };
    std::vector<tvkfuzz::Seed> out;
    for (const Q &q : qs) {
        pckStruct p{};
        p.Src = 'C';
        p.Dest = q.dest;
        p.MainCmd = q.m;
        p.SubCmd = q.s;
        std::vector<uint8> param(q.param, q.param + strlen(q.param));
        p.pParam = param.empty() ? nullptr : param.data();
        p.ParamLen = uint16(param.size());
        uint8 *f = nullptr;
        const uint16 n = DUVEX_BuildQuery(p, f);
        if (!f)
            continue;
        // Module present, polled and answering, current records (cabinet A).
        tvkfuzz::Seed s{uint8_t(0x01 | 0x02 | 0x04 | 0x10), uint8_t(n)};
        s.insert(s.end(), f, f + n);
        delete[] f;
        out.push_back(s);
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    setUp();
    tvkfuzz::writeSeedsIfAsked("qt", seeds);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    const uint8 flags = data[0];
    const size_t n = data[1];
    if (size < 2 + n)
        return 0;
    KESPAddr = kOwn[(flags >> 5) & 3];
    const uint8 ownBox = uint8(KESPAddr - 0xEA);

    // The module of the own cabinet.
    std::unique_ptr<virtualNode_t> mod(new virtualNode_t());
    memset(static_cast<void *>(mod.get()), 0, sizeof *mod);
    mod->nodetype = moduleNode;
    if (flags & 8)
        fillRecords(*mod, data + 2 + n, size - 2 - n);
    if (flags & 16)
        setRecordTimes(*mod, mytime_t(g_clock.now()));
    DUVEXMgr &d = *g_duvex;
    if (ownBox < 4) {
        ModuleQueriesData_t &md = d.ModulesData[ownBox][0];
        md.pVN = (flags & 2) ? mod.get() : nullptr;
        md.commStatus.active = (flags & 4) != 0;
        md.commStatus.isGood = (flags & 4) != 0;
    }

    // The inner frame, at its exact size.
    std::unique_ptr<uint8[]> inner(new uint8[n ? n : 1]);
    if (n)
        memcpy(inner.get(), data + 2, n);
    if ((flags & 1) && n >= DUVEX_HEAD_QUEUE_LEN)
        DUVEX_Dec2DCd(uint32(n - DUVEX_HEAD_QUEUE_LEN), inner.get() + DUVEX_LENGTHOFFSET, 2);
    if (n >= DUVEX_DATAOFFSET && inner[DUVEX_MAINCMDOFFSET] == 'G' && inner[DUVEX_SUBCMDOFFSET] == 'M')
        return 0;

    pckStruct q{};
    q.Src = 0xEC;
    q.Dest = KESPAddr;
    q.MainCmd = 'Q';
    q.SubCmd = 'T';
    q.pParam = n ? inner.get() : nullptr;
    q.ParamLen = uint16(n);

    KESP_Context ctx;
    ctx.buildReply = [&d](pckStruct &iq, uint8 *&reply, uint8 &len, long &ts) {
        return DUVEX_BuildReplyOn(&d, KESPAddr, iq, reply, len, ts);
    };
    g_sent.clear();
    const int rc = KESP_ManageReplyWith(ctx, q);
    if (rc == 0) {
        pckStruct iq;
        DUVEX_ExtractQuery(iq, inner.get());
        checkAnswer(iq);
    } else if (!g_sent.empty()) {
        abort();   // a refusal sends nothing
    }
    if (ownBox < 4)
        d.ModulesData[ownBox][0].pVN = nullptr;
    // Commands queued on the module bus leave the queue (and memory) again.
    QCMgr *e = nullptr;
    while (d.peekAsyncQC(e))
        d.headAsyncQC();
    return 0;
}
