// libFuzzer target: the tree reader (tarvik-vu) on a damaged segment. The input
// after its first byte is the segment's contents: the reader's copy
// (vudump::copyPublished, over a buffer of exactly that size) and its walk and
// rendering (vudump::formatTree) in both formats run on it, as the tool runs them on
// the bytes it copied out of a card's segment.
//
// Byte 0: bit 0 the copy goes through copyPublished (publication counter, retries),
// else the bytes are the snapshot; bit 1 the segment claims more bytes than were
// copied (bits 2-6 give how many), as a segment larger than the reader copies
// does; bit 7 the JSON rendering, else the text.
//
// Checked: the JSON rendering is always one valid document; the status is one of
// the three the reader gives for a tree; a segment without a whole node is
// unreadable. Seeds are trees built by the card's own tree builder (VirtualUPSMgr).
#include "FuzzSupport.h"
#include "Globals.h"
#include "VUDump.h"
#include "VirtualUPSInit.h"
#include "VirtualUPSMgr.h"

#include <QByteArray>
#include <QJsonDocument>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

tvkfuzz::Clock g_clock;

std::vector<tvkfuzz::Seed> seeds()
{
    // The tree builder publishes in a segment keyed on ./Tarvik: build in a scratch directory.
    char tmpl[] = "/tmp/tvk-vu-seeds-XXXXXX";
    const char *dir = mkdtemp(tmpl);
    char cwd[4096];
    if (!dir || !getcwd(cwd, sizeof cwd) || chdir(dir) != 0)
        abort();
    FILE *key = fopen("Tarvik", "w");
    if (key)
        fclose(key);
    std::vector<tvkfuzz::Seed> out;
    const char *masks[] = {"1000", "1010", "1111", "0100"};
    int variant = 0;
    for (const char *mask : masks) {
        PlantCfg cfg;
        memset(&cfg, 0, sizeof cfg);
        for (int i = 0; i < 4; ++i) {
            cfg.Ups[i].present = mask[i] == '1';
            cfg.Ups[i].modulePresent[0] = mask[i] == '1';
        }
        KESPAddr = uint8(0xEA + (variant & 3));
        VirtualUPSMgr mgr(cfg);
        if (!mgr.virtualUPS)
            continue;
        virtualNode_t *n = mgr.virtualUPS;
        const size_t bytes = size_t(mgr.nodeCount()) * sizeof(virtualNode_t);
        if (variant == 1 && mgr.nodeCount() > 4) {
            // A few values, as a running card has them.
            InitValueIdentification(&n[2].identification, IdentSource::CabinetBus);
            memcpy(n[2].identification.SN, "SN-0042", 7);
            n[2].desc.upsBox.Ups.isMaster = 1;
            n[4].desc.module.data.Vin[1] = 231;
            n[0].nominal.VA = 40000;
        }
        const uint8_t *p = reinterpret_cast<const uint8_t *>(n);
        for (uint8_t mode : {uint8_t(0), uint8_t(0x81)}) {
            tvkfuzz::Seed s{mode};
            s.insert(s.end(), p, p + bytes);
            out.push_back(s);
        }
        ++variant;
    }
    if (chdir(cwd) != 0)
        abort();
    unlink((std::string(dir) + "/Tarvik").c_str());
    rmdir(dir);
    return out;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    tvkfuzz::quietCard(&g_clock);
    tvkfuzz::writeSeedsIfAsked("vu", seeds);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1 || size - 1 > vudump::maxSnapshotBytes())
        return 0;
    const uint8 flags = data[0];
    const size_t n = size - 1;
    vudump::Snapshot snap;
    if (flags & 1) {
        // The segment as the reader sees it: exactly n bytes.
        std::unique_ptr<uint8[]> seg(new uint8[n ? n : 1]);
        memcpy(seg.get(), data + 1, n);
        vudump::copyPublished(seg.get(), n, snap, [] {});
        if (snap.bytes.size() != n || (n && memcmp(snap.bytes.data(), seg.get(), n) != 0))
            abort();
    } else {
        snap.bytes.assign(data + 1, data + size);
    }
    snap.segmentSize = n + ((flags & 2) ? size_t((flags >> 2) & 0x1F) * 97 : 0);
    snap.key = 0x01020304;
    snap.shmId = 7;

    // One rendering per input (bit 7 of byte 0 chooses JSON): both walk the same tree.
    const bool asJson = flags & 0x80;
    std::string out;
    const int st = vudump::formatTree(snap, asJson ? vudump::Format::Json : vudump::Format::Text, out);
    if (st != vudump::EXIT_OK && st != vudump::EXIT_DAMAGED && st != vudump::EXIT_UNREADABLE)
        abort();
    if (n < sizeof(virtualNode_t) && st != vudump::EXIT_UNREADABLE)
        abort();
    if (asJson) {
        QJsonParseError err;
        QJsonDocument::fromJson(QByteArray(out.data(), int(out.size())), &err);
        if (err.error != QJsonParseError::NoError)
            abort();
    }
    return 0;
}
