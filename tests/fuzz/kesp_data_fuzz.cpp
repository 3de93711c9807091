// libFuzzer target: storing and answering cabinet-bus frames (KESP_ManageDataWith,
// KESP_ManageReplyWith) on a context of four cabinet entries with their nodes.
//
// Input: byte 0 holds flags (bit 0: set DataLength to fit the input, so that
// the length check passes and the stores run; bit 1: also answer the frame as a
// query; bit 2: answer QT with a built module reply); byte 1 chooses the own
// cabinet address (0xE0 or 0xEA..0xED); the rest is the frame. Every buffer and
// node is allocated at its exact size; relayed module replies go to the module
// reply parser on scratch nodes.
#include "DUVEX.h"
#include "DUVEXData.h"
#include "Globals.h"
#include "KESP.h"
#include "Log.h"
#include "ThreadKESP.h"
#include "VirtualUPSMgr.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

struct World {
    upsBoxQueriesData_t upsBox[4];
    std::unique_ptr<virtualNode_t> nodes[4];
    std::unique_ptr<virtualNode_t> module;
    std::unique_ptr<virtualNode_t> scratchM, scratchK;
    PlantCfg cfg;
    World()
    {
        memset(static_cast<void *>(upsBox), 0, sizeof upsBox);
        memset(&cfg, 0, sizeof cfg);
        for (int i = 0; i < 4; ++i) {
            nodes[i].reset(new virtualNode_t());
            upsBox[i].pVN = nodes[i].get();
            cfg.Ups[i].present = i < 2;
        }
        module.reset(new virtualNode_t());
        scratchM.reset(new virtualNode_t());
        scratchK.reset(new virtualNode_t());
    }
};

World *g_world = nullptr;
size_t g_written = 0;

// Set up once the other units are initialised (not from a static initialiser:
// their statics would be constructed after it and undo it).
void setUp()
{
    setenv("TZ", "UTC", 1);   // the log's time of day without a zone file lookup per line
    tvk_setLogSink([](const std::string &) {});
    g_world = new World();
    KESP_LinkIO io;
    io.write = [](const uint8 *buf, uint16 len) {
        // The answer must be a whole frame.
        if (len < KESP_HEAD_QUEUE_LEN || buf[0] != STX || buf[len - 1] != ETX)
            abort();
        g_written += len;
        return 0;
    };
    KESP_SetLinkIO(&io);
    KESP_Init();
}

} // namespace

// Every log line asks for the process id; one system call per line would be
// most of the fuzzer's time. The harness is one process: answer from a cache.
extern "C" pid_t getpid(void) { return 4242; }

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    setUp();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2 + KESP_HEAD_QUEUE_LEN || size > 2 + KESP_MAXPCKLEN)
        return 0;
    const uint8 flags = data[0];
    static const uint8 addrs[] = {0xE0, 0xEA, 0xEB, 0xEC, 0xED};
    KESPAddr = addrs[data[1] % 5];
    const size_t n = size - 2;
    std::unique_ptr<uint8[]> frame(new uint8[n]);
    memcpy(frame.get(), data + 2, n);
    if (flags & 1) {
        frame[KESP_LENGTHOFFSET] = uint8((n - KESP_HEAD_QUEUE_LEN) >> 8);
        frame[KESP_LENGTHOFFSET + 1] = uint8(n - KESP_HEAD_QUEUE_LEN);
    }
    World &w = *g_world;
    KESP_Context ctx;
    ctx.upsBox = w.upsBox;
    ctx.ownModule = w.module.get();
    ctx.cfg = &w.cfg;
    ctx.relayReply = [&w](uint8 boxId, long ts, const uint8 *f, size_t len, bool lockHeld) {
        if (boxId >= 4 || !lockHeld || len < DUVEX_HEAD_QUEUE_LEN)
            abort();
        // Exact-size copy, parsed as a local module reply would be.
        std::unique_ptr<uint8[]> copy(new uint8[len]);
        memcpy(copy.get(), f, len);
        return DUVEX_ParseReply(w.scratchM.get(), w.scratchK.get(), boxId, ts, copy.get(), len);
    };
    if (flags & 4) {
        ctx.buildReply = [](pckStruct &q, uint8 *&reply, uint8 &len, long &ts) {
            uint8 *r = nullptr;
            int n = DUVEX_ACKBuildReply(q, r, ts);
            reply = r;
            len = uint8(n);
            return n;
        };
    }
    KESP_ManageDataWith(ctx, 1700000000L, frame.get(), uint16(n));
    if ((flags & 2) && uint32((frame[KESP_LENGTHOFFSET] << 8) | frame[KESP_LENGTHOFFSET + 1]) + KESP_HEAD_QUEUE_LEN == n) {
        pckStruct q;
        KESP_ExtractQuery(q, frame.get());
        KESP_ManageReplyWith(ctx, q);
    }
    return 0;
}
