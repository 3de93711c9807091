// The virtual UPS tree in shared memory: shapes, links, identifiers, searches,
// the raw print, reuse of an old segment and the failure paths.
#include "Globals.h"
#include "Profile.h"
#include "TestSupport.h"
#include "VirtualUPSMgr.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

using tvktest::LogCapture;
using tvktest::ScopedWorkDir;

namespace {

struct SegmentGuard {
    int id = -1;
    ~SegmentGuard()
    {
        if (id >= 0)
            shmctl(id, IPC_RMID, nullptr);
    }
};

bool segmentExists(int id)
{
    struct shmid_ds ds;
    return id >= 0 && shmctl(id, IPC_STAT, &ds) == 0;
}

PlantCfg plant(const char *cabinets, bool modules = true)
{
    PlantCfg c;
    memset(&c, 0, sizeof c);
    for (const char *p = cabinets; *p; ++p) {
        c.Ups[*p - 'A'].present = 1;
        c.Ups[*p - 'A'].modulePresent[0] = modules ? 1 : 0;
    }
    return c;
}

// Raw text only (the tree print), without the prefixed log lines.
std::string rawText(const LogCapture &cap)
{
    std::string t;
    for (const auto &l : cap.lines())
        if (l.size() < 9 || l.compare(6, 3, "-> ") != 0)
            t += l;
    return t;
}

class VuTree : public ::testing::Test {
protected:
    VuTree() : savedAddr_(KESPAddr) { KESPAddr = 234; }
    ~VuTree() override
    {
        mgr.reset();   // destroys the segment (nobody else is attached)
        KESPAddr = savedAddr_;
    }
    VirtualUPSMgr &build(PlantCfg cfg)
    {
        cfg_ = cfg;
        mgr.reset(new VirtualUPSMgr(cfg_));
        guard.id = mgr->shm_id;
        return *mgr;
    }

    ScopedWorkDir dir;
    SegmentGuard guard;   // removes the segment even when a test stops early
    std::unique_ptr<VirtualUPSMgr> mgr;

private:
    uint8 savedAddr_;
    PlantCfg cfg_;
};

} // namespace

TEST_F(VuTree, NoCabinetGivesSystemAndExtensionOnly)
{
    VirtualUPSMgr &m = build(plant(""));
    ASSERT_GE(m.shm_id, 0);
    ASSERT_NE(m.virtualUPS, nullptr);
    EXPECT_EQ(m.nodeCount(), 2);
    struct shmid_ds ds;
    ASSERT_EQ(shmctl(m.shm_id, IPC_STAT, &ds), 0);
    EXPECT_EQ(ds.shm_segsz, 2 * sizeof(virtualNode_t));
    EXPECT_EQ(ds.shm_perm.mode & 0777, 0604u);

    const virtualNode_t &sys = m.virtualUPS[0];
    EXPECT_EQ(sys.nodetype, sysNode);
    EXPECT_STREQ(sys.ID, "SA");
    EXPECT_EQ(sys.son, NO_NODE);
    EXPECT_EQ(sys.ext, 1);
    for (const char *id : {"SA.BA", "SA.BB", "SA.BC", "SA.BD", "SA.BA.M1"})
        EXPECT_EQ(m.searchNode(id), nullptr) << id;

    // The extension node's own bytes.
    const uint8 *ext = reinterpret_cast<const uint8 *>(&m.virtualUPS[1]);
    EXPECT_EQ(ext[0], extNode);
    EXPECT_EQ(ext[1], 24);
    EXPECT_EQ(memcmp(ext + 2, "DUVEX51201RU", 13), 0);
    EXPECT_EQ(ext[22], 0);
}

TEST_F(VuTree, CabinetsAAndCWithModules)
{
    PlantCfg cfg = plant("AC");
    cfg.DeviceNo = 145u << 9 | 0x1FF;   // shown shifted right by 9 bits
    VirtualUPSMgr &m = build(cfg);
    ASSERT_NE(m.virtualUPS, nullptr);
    ASSERT_EQ(m.nodeCount(), 6);
    const virtualNode_t *n = m.virtualUPS;

    struct Expect {
        node_t type;
        const char *desc, *id;
        uint8 nxt, prv, son, ext;
    };
    const Expect want[] = {
        {sysNode, "System ZVL -   145", "SA", NO_NODE, NO_NODE, 2, 1},
        {extNode, nullptr, nullptr, 0, 0, 0, 0},
        {upsBoxNode, "UpsBox A", "SA.BA", 3, NO_NODE, 4, NO_NODE},
        {upsBoxNode, "UpsBox C", "SA.BC", NO_NODE, 2, 5, NO_NODE},
        {moduleNode, "Module 1", "SA.BA.M1", NO_NODE, NO_NODE, NO_NODE, NO_NODE},
        {moduleNode, "Module 1", "SA.BC.M1", NO_NODE, NO_NODE, NO_NODE, NO_NODE},
    };
    for (int i = 0; i < 6; ++i) {
        SCOPED_TRACE("node " + std::to_string(i));
        EXPECT_EQ(n[i].nodetype, want[i].type);
        if (!want[i].desc)
            continue;
        EXPECT_STREQ(n[i].Description, want[i].desc);
        EXPECT_STREQ(n[i].ID, want[i].id);
        EXPECT_EQ(n[i].idx, i);
        EXPECT_EQ(n[i].nxtBrother, want[i].nxt);
        EXPECT_EQ(n[i].prvBrother, want[i].prv);
        EXPECT_EQ(n[i].son, want[i].son);
        EXPECT_EQ(n[i].ext, want[i].ext);
        EXPECT_EQ(n[i].panel.value, CMD_NONE);
        EXPECT_EQ(+n[i].panel.delay_shut, 0xFFFF);   // packed: compared by value
        EXPECT_EQ(+n[i].panel.delay_reboot, 0xFFFF);
    }

    struct Search {
        const char *id;
        int node;   // -1: not found
    };
    const Search searches[] = {
        {"SA.BA", 2},    {"SA.BC", 3},    {"SA.BA.M1", 4}, {"SA.BC.M1", 5},
        {"SA-BC", 3},    // only the two-character groups are compared
        {"SA.BA.M2", -1}, {"SA.BB", -1},  {"SA.BD.M1", -1}, {"SB.BA", -1},
        {"SA", -1},      {"S", -1},       {"", -1},        {"SA.BC.M", -1},
    };
    for (const Search &s : searches) {
        virtualNode_t *got = m.searchNode(s.id);
        EXPECT_EQ(got, s.node < 0 ? nullptr : &m.virtualUPS[s.node]) << s.id;
    }
}

TEST_F(VuTree, CabinetWithoutModuleKeepsNoSon)
{
    PlantCfg cfg = plant("BD");
    cfg.Ups[3].modulePresent[0] = 0;
    VirtualUPSMgr &m = build(cfg);
    ASSERT_EQ(m.nodeCount(), 5);
    EXPECT_STREQ(m.virtualUPS[2].ID, "SA.BB");
    EXPECT_STREQ(m.virtualUPS[3].ID, "SA.BD");
    EXPECT_EQ(m.virtualUPS[2].son, 4);
    EXPECT_EQ(m.virtualUPS[3].son, NO_NODE);
    EXPECT_STREQ(m.virtualUPS[4].ID, "SA.BB.M1");
    EXPECT_EQ(m.searchNode("SA.BD.M1"), nullptr);
}

TEST_F(VuTree, InvalidCabinetAddressStillMatchesItsOwnIdentifiers)
{
    KESPAddr = 224;
    VirtualUPSMgr &m = build(plant("A"));
    ASSERT_NE(m.virtualUPS, nullptr);
    EXPECT_STREQ(m.virtualUPS[0].ID, "S7");
    char id[16];
    snprintf(id, sizeof id, "S%c.B%c.M%c", ownCabinetLetter(), 'A', '1');
    EXPECT_EQ(m.searchNode(id), &m.virtualUPS[3]);
    EXPECT_EQ(m.searchNode("SA.BA"), nullptr);
}

TEST_F(VuTree, PrintShowsTheTreeRaw)
{
    LogCapture cap;
    VirtualUPSMgr &m = build(plant("AC"));
    ASSERT_NE(m.virtualUPS, nullptr);
    const std::string expect =
        "\n\n"
        "System ZVL -     0\ntype:0\nSA   0\n nxt:255 prv:255\n"
        "type:5\nDevType24 ComType0\nDUVEX51201RU\n"
        "\n"
        "        UpsBox A\n        type:1\n        SA.BA   2\n         nxt:3 prv:255\n"
        "\n"
        "                Module 1\n                type:3\n                SA.BA.M1   4\n"
        "                 nxt:255 prv:255\n"
        "\n"
        "        UpsBox C\n        type:1\n        SA.BC   3\n         nxt:255 prv:2\n"
        "\n"
        "                Module 1\n                type:3\n                SA.BC.M1   5\n"
        "                 nxt:255 prv:255\n";
    EXPECT_EQ(rawText(cap), expect);
}

TEST_F(VuTree, InitNodeTouchesOnlyLinksAndPanel)
{
    VirtualUPSMgr &m = build(plant(""));
    virtualNode_t node;
    memset(&node, 0x5A, sizeof node);
    m.InitNode(&node);
    const uint8 *b = reinterpret_cast<const uint8 *>(&node);
    for (size_t i = 0; i < sizeof node; ++i) {
        bool link = i >= offsetof(virtualNode_t, nxtBrother) && i <= offsetof(virtualNode_t, ext);
        bool panel = i >= offsetof(virtualNode_t, panel) && i < offsetof(virtualNode_t, panel) + 5;
        EXPECT_EQ(b[i], link || panel ? 0xFF : 0x5A) << "byte " << i;
    }
}

// A segment left by an earlier run (same size) is reused: structure rewritten,
// record contents left for their owners.
TEST_F(VuTree, SegmentOfAnEarlierRunIsReused)
{
    const size_t size = 4 * sizeof(virtualNode_t);
    int old = shmget(ftok("./Tarvik", 1), size, IPC_CREAT | 0604);
    ASSERT_GE(old, 0);
    guard.id = old;
    void *p = shmat(old, nullptr, 0);
    ASSERT_NE(p, reinterpret_cast<void *>(-1));
    memset(p, 0xEE, size);
    shmdt(p);

    VirtualUPSMgr &m = build(plant("B"));
    ASSERT_EQ(m.shm_id, old);
    EXPECT_STREQ(m.virtualUPS[2].ID, "SA.BB");
    EXPECT_EQ(m.virtualUPS[2].son, 3);
    EXPECT_EQ(m.virtualUPS[3].nxtBrother, NO_NODE);
    EXPECT_EQ(m.virtualUPS[0].Description[31], 0);   // the text arrays are rewritten whole
    EXPECT_EQ(uint8(m.virtualUPS[2].identification.SN[0]), 0xEE);
    EXPECT_EQ(m.searchNode("SA.BB.M1"), &m.virtualUPS[3]);
}

TEST_F(VuTree, SmallerSegmentOfAnEarlierRunLeavesNoTree)
{
    int old = shmget(ftok("./Tarvik", 1), 100, IPC_CREAT | 0604);
    ASSERT_GE(old, 0);
    SegmentGuard oldGuard;
    oldGuard.id = old;
    LogCapture cap;
    VirtualUPSMgr &m = build(plant("ABCD"));
    EXPECT_LT(m.shm_id, 0);
    EXPECT_EQ(m.virtualUPS, nullptr);
    EXPECT_EQ(m.nodeCount(), 0);
    EXPECT_EQ(m.searchNode("SA.BA"), nullptr);
    auto lines = cap.lines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_NE(lines[0].find(" Err (getShm): Errore nell'allocazione della shared memory!\n"), std::string::npos);
    EXPECT_NE(lines[2].find(" Err (buildSysTree): Errore nella creazione della shared Memory\n"), std::string::npos);
    EXPECT_NE(lines[3].find(" Err (VirtualUPSMgr): Errore nella costruzione dell'albero del sistema\n"),
              std::string::npos);
    cap.clear();
    mgr.reset();   // no tree: nothing to detach, no error
    EXPECT_TRUE(cap.lines().empty());
    EXPECT_TRUE(segmentExists(old));   // the old segment is not ours to remove
}

TEST_F(VuTree, MissingKeyFileIsCreated)
{
    ASSERT_EQ(unlink("Tarvik"), 0);
    LogCapture cap;
    VirtualUPSMgr &m = build(plant("A"));
    EXPECT_GE(m.shm_id, 0);
    EXPECT_EQ(access("Tarvik", F_OK), 0);
    EXPECT_EQ(cap.count(" War (makeTreeKey): File \"./Tarvik\" assente"), 1);
    EXPECT_EQ(m.shm_id, shmget(ftok("./Tarvik", 1), 0, 0));   // readers find the same key
}

TEST_F(VuTree, KeyThatCannotBeMadeLeavesNoTree)
{
    ASSERT_EQ(unlink("Tarvik"), 0);
    ASSERT_EQ(mkdir("sub", 0755), 0);
    ASSERT_EQ(chdir("sub"), 0);
    ASSERT_EQ(symlink("/nonexistent-dir/Tarvik", "Tarvik"), 0);   // cannot be created through
    LogCapture cap;
    VirtualUPSMgr &m = build(plant("A"));
    EXPECT_LT(m.shm_id, 0);
    EXPECT_EQ(m.virtualUPS, nullptr);
    EXPECT_EQ(cap.count("Errore nella creazione della chiave della shared memory"), 1);
    EXPECT_EQ(cap.count("Errore nella costruzione dell'albero del sistema\n"), 1);
    ASSERT_EQ(chdir(".."), 0);
}

TEST_F(VuTree, DestructionRemovesTheSegment)
{
    VirtualUPSMgr &m = build(plant("D"));
    int id = m.shm_id;
    ASSERT_TRUE(segmentExists(id));
    mgr.reset();
    EXPECT_FALSE(segmentExists(id));
}

// Another process can write into the segment: damaged links must not make the
// search or the print loop or read outside the array.
TEST_F(VuTree, DamagedLinksAreBounded)
{
    VirtualUPSMgr &m = build(plant("AC"));
    ASSERT_EQ(m.nodeCount(), 6);
    virtualNode_t *n = m.virtualUPS;
    n[3].nxtBrother = 2;    // cycle between the cabinets
    n[4].nxtBrother = 4;    // module pointing at itself
    n[5].son = 200;         // outside the array
    n[0].ext = 77;

    EXPECT_EQ(m.searchNode("SA.BD"), nullptr);
    EXPECT_EQ(m.searchNode("SA.BA.M9"), nullptr);
    EXPECT_EQ(m.searchNode("SA.BC.M1"), &n[5]);
    EXPECT_EQ(search(n, "SA.BD", m.nodeCount()), nullptr);

    LogCapture cap;
    m.printNode(0, &n[0]);
    EXPECT_EQ(cap.count("Err (printNodeRec): Nodo 0: estensione 77 fuori dall'albero\n"), 1);
    EXPECT_EQ(cap.count("Err (printNodeRec): Nodo 3: collegamento 2 non valido\n"), 1);
    EXPECT_EQ(cap.count("Err (printNodeRec): Nodo 4: collegamento 4 non valido\n"), 1);
    EXPECT_EQ(cap.count("Err (printNodeRec): Nodo 5: collegamento 200 non valido\n"), 1);
    EXPECT_EQ(cap.count("SA.BC.M1   5\n"), 1);
    // Restore the links so that destruction sees a sound tree.
    n[3].nxtBrother = NO_NODE;
}
