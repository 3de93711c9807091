// libFuzzer target: the hand-over message (CN) and the other commands a listening
// slave decodes (KESPMgr::ManageCommand: CN, CU, CH), on a cabinet-bus thread object
// that is never started, a driven clock and machine actions that do nothing.
//
// Input: byte 0 holds flags (bit 0: every CN payload is cut or padded to its 93
// bytes; bit 1: its build field set to the own build, so the payload is taken;
// bits 2-3: the own cabinet A, B, D or no valid address; bit 4: the clock was set
// by hand just before); then up to eight commands, each a control byte (bits 0-2
// the sender, bits 3-6 seconds that pass first, bit 7: sub-command CU or CH
// instead of CN), a length byte unless bit 0 fixes it, and the payload. Each
// command's parameters have their exact size. A fresh object per input.
//
// Checked: the role becomes master exactly when a taken CN names this card; the
// forced-on-bypass state stays -1, 0 or 1; no clock slew asked for is larger than
// the synchronisation window allows (1.5 s plus the transfer-time cap).
#include "FuzzSupport.h"
#include "Globals.h"
#include "KESP.h"
#include "ThreadKESP.h"

#include <cstring>
#include <memory>
#include <vector>

namespace {

tvkfuzz::Clock g_clock;

const uint8 kOwn[4] = {0xEA, 0xEB, 0xED, 0xE0};
const uint8 kSenders[8] = {0xEA, 0xEB, 0xEC, 0xED, 0xE0, 0x0A, 0xFF, 0xEE};

void setUp()
{
    tvkfuzz::quietCard(&g_clock);
    platform::setAdjTimeHook([](const struct timeval *d, struct timeval *old) {
        const int64 us = int64(d->tv_sec) * 1000000 + d->tv_usec;
        const int64 maxUs = (int64(ClockMgr::SYNC_THRESHOLD_MS) + ClockMgr::TFTTIME_MAX / 1000) * 1000;
        if (us > maxUs || us < -maxUs || d->tv_usec <= -1000000 || d->tv_usec >= 1000000)
            abort();
        if (old)
            *old = timeval{0, 0};
        return 0;
    });
    KESP_LinkIO io;
    io.write = [](const uint8 *, uint16) { return 0; };
    KESP_SetLinkIO(&io);
}

// A CN as a master card builds it for another station.
tvkfuzz::Seed cnOf(KESPMgr &k, uint8 next)
{
    pckStruct p;
    k.prepareCNPck(p, next);
    return tvkfuzz::Seed(p.pParam, p.pParam + p.ParamLen);
}

std::vector<tvkfuzz::Seed> seeds()
{
    std::vector<tvkfuzz::Seed> out;
    KESPAddr = 0xEB;
    KESPMgr k;
    // B hands over to A, to itself and to D; then two rounds of clock data.
    for (uint8 next : {uint8(0xEA), uint8(0xEB), uint8(0xED)}) {
        tvkfuzz::Seed s{0x03, 0x01};   // fixed length, own build, own cabinet A; from B
        const tvkfuzz::Seed cn = cnOf(k, next);
        s.insert(s.end(), cn.begin(), cn.end());
        out.push_back(s);
    }
    tvkfuzz::Seed two{0x03 | 0x10, 0x01};
    for (int i = 0; i < 2; ++i) {
        g_clock.us += 3000000;
        const tvkfuzz::Seed cn = cnOf(k, 0xEC);
        if (i)
            two.push_back(0x01 | (3 << 3));
        two.insert(two.end(), cn.begin(), cn.end());
    }
    out.push_back(two);
    // Without the fixed length: a short CN, then CU and CH addressed to A.
    tvkfuzz::Seed cmds{0x02, 0x01, 10};
    const tvkfuzz::Seed cn = cnOf(k, 0xEA);
    cmds.insert(cmds.end(), cn.begin(), cn.begin() + 10);
    cmds.insert(cmds.end(), {0x81, 0, 0xC1, 0});
    out.push_back(cmds);
    return out;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    setUp();
    tvkfuzz::writeSeedsIfAsked("cn", seeds);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    const uint8 flags = data[0];
    const bool fixedLen = flags & 1;
    KESPAddr = kOwn[(flags >> 2) & 3];
    std::unique_ptr<KESPMgr> k(new KESPMgr());
    if (flags & 0x10)
        k->epochWhenClockChanged = g_clock.now() - 5;
    size_t pos = 1;
    for (int cmdNo = 0; cmdNo < 8 && pos < size; ++cmdNo) {
        const uint8 ctl = data[pos++];
        g_clock.us += int64_t((ctl >> 3) & 0x0F) * 1000000;
        size_t len;
        if (fixedLen && !(ctl & 0x80)) {
            len = CNDATALEN;
        } else {
            if (pos >= size)
                break;
            len = data[pos++];
        }
        const size_t avail = size - pos < len ? size - pos : len;
        std::unique_ptr<uint8[]> param(new uint8[len ? len : 1]);
        memset(param.get(), 0, len ? len : 1);
        memcpy(param.get(), data + pos, avail);
        pos += avail;

        pckStruct cmd{};
        cmd.Src = kSenders[ctl & 7];
        cmd.Dest = (ctl & 0x80) ? KESPAddr : KESP_BROADCAST;
        cmd.MainCmd = 'C';
        cmd.SubCmd = (ctl & 0x80) ? ((ctl & 0x40) ? 'H' : 'U') : 'N';
        cmd.pParam = len ? param.get() : nullptr;
        cmd.ParamLen = uint16(len);
        if (cmd.SubCmd == 'N' && len >= 4 && (flags & 2)) {
            const int32 own = -1;   // the build of a card without system manager
            memcpy(param.get(), &own, sizeof own);
        }

        const KESP_status_e before = k->getState();
        k->ManageCommand(cmd);
        const KESP_status_e after = k->getState();
        bool taken = false;
        if (cmd.SubCmd == 'N' && len == CNDATALEN) {
            int32 build;
            memcpy(&build, param.get(), sizeof build);
            taken = build == -1;
        }
        const bool namesUs = taken && param[offsetof(CNData_t, nextMaster)] == KESPAddr;
        if (after != ((before == Slave && namesUs) ? Master : before))
            abort();
        if (k->forcedOnBypass < -1 || k->forcedOnBypass > 1)
            abort();
        if (k->holdsChannel())
            abort();   // only the bus thread ever takes the channel for a role
    }
    return 0;
}
