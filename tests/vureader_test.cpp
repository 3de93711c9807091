// The tree reader (tarvik-vu): a live tree read through the segment, damaged
// segments handled without reading out of bounds, and the program's exit statuses.
#include "Globals.h"
#include "Profile.h"
#include "TestSupport.h"
#include "VUDump.h"
#include "VirtualUPSInit.h"
#include "TreePublish.h"
#include "VUPanel.h"
#include "VirtualUPSMgr.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using tvktest::LogCapture;
using tvktest::ScopedWorkDir;

namespace {

QJsonObject parseJson(const std::string &text)
{
    QJsonParseError err;
    QJsonDocument doc = QJsonDocument::fromJson(QByteArray(text.data(), int(text.size())), &err);
    EXPECT_EQ(err.error, QJsonParseError::NoError) << err.errorString().toStdString() << "\n" << text;
    return doc.object();
}

QStringList names(const QJsonValue &flags)
{
    QStringList out;
    for (const QJsonValue &v : flags.toObject().value("set").toArray())
        out << v.toString();
    return out;
}

// A live tree (cabinets A and C with modules) with a few values filled in.
class LiveTree : public ::testing::Test {
protected:
    LiveTree() : savedAddr_(KESPAddr)
    {
        KESPAddr = 235;
        memset(&cfg_, 0, sizeof cfg_);
        for (int i : {0, 2}) {
            cfg_.Ups[i].present = 1;
            cfg_.Ups[i].modulePresent[0] = 1;
        }
        LogCapture quiet;   // keep the tree print out of the test output
        mgr_.reset(new VirtualUPSMgr(cfg_));
        if (!mgr_->virtualUPS)
            return;
        virtualNode_t *n = mgr_->virtualUPS;
        InitValueIdentification(&n[2].identification, IdentSource::CabinetBus);
        memcpy(n[2].identification.SN, "SN-0042", 7);
        n[2].desc.upsBox.Ups.isMaster = 1;
        n[2].desc.upsBox.EPO = 1;
        n[4].desc.module.data.Battery_Working = 1;
        n[4].desc.module.data.Vin[1] = 231;
        n[4].desc.module.statusDetail.OnForAutoRestart = 1;
#if !defined(TVK_MODULAR)
        n[4].desc.module.data.statusCode = ONLINE;
#endif
        n[0].nominal.VA = 40000;
        n[0].panel.value = CMD_TESTBATT;
    }
    ~LiveTree() override
    {
        LogCapture quiet;
        mgr_.reset();
        KESPAddr = savedAddr_;
    }

    ScopedWorkDir dir_;
    PlantCfg cfg_;
    std::unique_ptr<VirtualUPSMgr> mgr_;

private:
    uint8 savedAddr_;
};

} // namespace

TEST_F(LiveTree, SnapshotShowsTheTreeAndLeavesNoAttach)
{
    ASSERT_NE(mgr_->virtualUPS, nullptr);
    vudump::Snapshot snap;
    std::string err;
    ASSERT_EQ(vudump::takeSnapshot(dir_.path(), snap, err), vudump::EXIT_OK) << err;
    EXPECT_EQ(snap.shmId, mgr_->shm_id);
    EXPECT_EQ(snap.segmentSize, 6 * sizeof(virtualNode_t));
    struct shmid_ds ds;
    ASSERT_EQ(shmctl(mgr_->shm_id, IPC_STAT, &ds), 0);
    EXPECT_EQ(ds.shm_nattch, 1u);   // the reader is gone again, only the card is attached

    std::string text;
    EXPECT_EQ(vudump::formatTree(snap, vudump::Format::Text, text), vudump::EXIT_OK);
    for (const char *want : {"node 0:\n", "    kind: sysNode(0)\n", "    ID: \"SB\"\n",
                             "    Description: \"UpsBox C\"\n", "    ID: \"SB.BC.M1\"\n",
                             "    links: idx=2 nxtBrother=3 prvBrother=- son=4 ext=-\n",
                             "DevTypeText=\"DUVEX51201RU\"", "        SN: \"SN-0042         \"\n",
                             "    panel: value=CMD_TESTBATT(3)", "VA=40000",
                             "            extStatus: 0x02 [isMaster]\n",
                             "        externalSwitchStatus: 0x80 [EPO]\n",
                             "            status: 0x02 [Battery_Working]\n", "            Vin: 0 231 0\n",
                             "[OnForAutoRestart]\n"}) {
        EXPECT_NE(text.find(want), std::string::npos) << "missing: " << want;
    }
#if !defined(TVK_MODULAR)
    EXPECT_NE(text.find("            statusCode: ONLINE(40)\n"), std::string::npos);
#endif
    EXPECT_EQ(text.find("problem"), std::string::npos);

    std::string json;
    EXPECT_EQ(vudump::formatTree(snap, vudump::Format::Json, json), vudump::EXIT_OK);
    QJsonObject doc = parseJson(json);
    QJsonArray nodes = doc.value("nodes").toArray();
    ASSERT_EQ(nodes.size(), 5);   // the extension is shown inside the system node
    const char *ids[] = {"SB", "SB.BA", "SB.BA.M1", "SB.BC", "SB.BC.M1"};
    const int index[] = {0, 2, 4, 3, 5};
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(nodes[i].toObject().value("ID").toString().toStdString(), ids[i]);
        EXPECT_EQ(nodes[i].toObject().value("index").toInt(), index[i]);
    }
    EXPECT_EQ(nodes[0].toObject().value("links").toObject().value("nxtBrother").type(), QJsonValue::Null);
    EXPECT_EQ(nodes[0].toObject().value("extension").toObject().value("DevTypeText").toString(), "DUVEX51201RU");
    QJsonObject box = nodes[1].toObject().value("upsBox").toObject();
    EXPECT_EQ(names(box.value("Ups").toObject().value("extStatus")), QStringList{"isMaster"});
    EXPECT_EQ(box.value("Ups").toObject().value("extStatus").toObject().value("raw").toInt(), 2);
    QJsonObject mod = nodes[2].toObject().value("module").toObject();
    EXPECT_EQ(mod.value("data").toObject().value("Vin").toArray()[1].toInt(), 231);
    EXPECT_EQ(names(mod.value("statusDetail").toObject().value("states")), QStringList{"OnForAutoRestart"});
    EXPECT_TRUE(doc.value("problems").toArray().isEmpty());
}

// A copy is kept only when no publication ran during it: the reader retries while
// the publication counter is odd or moves, and marks the copy when the card never
// stopped publishing.
TEST_F(LiveTree, SnapshotWaitsForAPublicationToEnd)
{
    ASSERT_NE(mgr_->virtualUPS, nullptr);
    virtualNode_t *tree = mgr_->virtualUPS;
    std::atomic<uint32> *seq = treePublishSeq(tree);
    ASSERT_NE(seq, nullptr);
    const uint8 *seg = reinterpret_cast<const uint8 *>(tree);
    const size_t n = 6 * sizeof(virtualNode_t);
    const size_t vaAt = offsetof(virtualNode_t, nominal) + offsetof(nominal_t, VA);
    auto vaOf = [&](const vudump::Snapshot &s) {
        uint32 va;
        memcpy(&va, s.bytes.data() + vaAt, sizeof va);
        return va;
    };
    struct Case {
        const char *name;
        int busyTries;     // tries during which a publication is under way
        bool settled;
    } cases[] = {
        {"no publication", 0, true},
        {"publication ends after two tries", 2, true},
        {"card never stops publishing", vudump::kSnapshotTries, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        tree[0].nominal.VA = 1000;
        int tries = 0;
        // Each pause between tries stands for the card finishing one publication
        // and, while still busy, starting the next with a new value.
        auto publishStep = [&] {
            ++tries;
            seq->store(seq->load() + 1);                   // end of the publication: even
            if (tries < c.busyTries) {
                seq->store(seq->load() + 1);               // the next one starts: odd
                tree[0].nominal.VA = uint32(1000 + tries);
            } else {
                tree[0].nominal.VA = 2000;                 // the last value, published whole
            }
        };
        if (c.busyTries > 0)
            seq->store(seq->load() | 1u);                  // a publication is under way
        vudump::Snapshot snap;
        vudump::copyPublished(seg, n, snap, publishStep);
        EXPECT_EQ(snap.settled, c.settled);
        EXPECT_EQ(snap.bytes.size(), n);
        if (c.busyTries == 0) {
            EXPECT_EQ(tries, 0);
            EXPECT_EQ(vaOf(snap), 1000u);
        } else if (c.settled) {
            EXPECT_EQ(tries, c.busyTries);
            EXPECT_EQ(vaOf(snap), 2000u);
        } else {
            EXPECT_EQ(tries, vudump::kSnapshotTries);
        }
        if (seq->load() & 1u)
            seq->store(seq->load() + 1);
    }
}

TEST_F(LiveTree, PanelCommandReachesTheNamedNodeOnly)
{
    ASSERT_NE(mgr_->virtualUPS, nullptr);
    virtualNode_t *n = mgr_->virtualUPS;
    std::string err;
    ASSERT_EQ(vupanel::writePanel(dir_.path(), "SB.BC.M1", CMD_ZVL_OFF, 300, 20, err), vupanel::PANEL_OK) << err;
    EXPECT_EQ(n[5].panel.value, CMD_ZVL_OFF);
    EXPECT_EQ(n[5].panel.delay_shut, 300);
    EXPECT_EQ(n[5].panel.delay_reboot, 20);
    EXPECT_EQ(n[4].panel.value, CMD_NONE);   // the other module is untouched
    uint8 v = 0;
    EXPECT_EQ(vupanel::readPanel(dir_.path(), "SB.BC.M1", v, err), vupanel::PANEL_OK);
    EXPECT_EQ(v, CMD_ZVL_OFF);

    // Identifiers are compared within their array: a node whose ID fills it is never matched.
    memset(n[3].ID, 'X', sizeof n[3].ID);
    for (const char *id : {"SB.BC.M9", "", "XXXXXXXXXXXXXXX", "XXXXXXXXXXXXXXXXYY"})
        EXPECT_EQ(vupanel::writePanel(dir_.path(), id, CMD_ZVL_POWERON, 0, 0, err), vupanel::PANEL_NO_NODE) << id;
    ScopedWorkDir noCard;
    EXPECT_EQ(vupanel::writePanel(noCard.path(), "SB", CMD_REBOOT, 0, 0, err), vupanel::PANEL_NO_SEGMENT);

    const struct {
        const char *text;
        bool ok;
        uint8 value;
    } cases[] = {{"on", true, CMD_ZVL_POWERON}, {"off", true, CMD_ZVL_OFF}, {"testbatt", true, CMD_TESTBATT},
                 {"none", true, CMD_NONE},      {"7", true, 7},             {"255", true, 255},
                 {"256", false, 0},             {"-1", false, 0},           {"", false, 0},
                 {"On", false, 0},              {"5x", false, 0}};
    for (const auto &c : cases) {
        uint8 out = 0;
        EXPECT_EQ(vupanel::parseCommand(c.text, out), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(out, c.value) << c.text;
        }
    }
}

// ---- Damaged segments --------------------------------------------------------------------------

namespace {

struct Built {
    vudump::Snapshot snap;
    virtualNode_t *node(int i) { return reinterpret_cast<virtualNode_t *>(snap.bytes.data()) + i; }
};

// A sound hand-made tree of `count` nodes: system, extension, cabinets chained.
Built handTree(int count)
{
    Built b;
    b.snap.bytes.assign(size_t(count) * sizeof(virtualNode_t), 0);
    b.snap.segmentSize = b.snap.bytes.size();
    for (int i = 0; i < count; ++i) {
        virtualNode_t *n = b.node(i);
        n->nodetype = i == 0 ? sysNode : i == 1 ? extNode : upsBoxNode;
        n->idx = uint8(i);
        n->nxtBrother = n->prvBrother = n->son = n->ext = NO_NODE;
        if (i == 0)
            strcpy(n->ID, "SA");
        else
            snprintf(n->ID, sizeof n->ID, "SA.B%c", 'A' + i - 2);
    }
    if (count > 1)
        b.node(0)->ext = 1;
    if (count > 2)
        b.node(0)->son = 2;
    for (int i = 2; i + 1 < count; ++i)
        b.node(i)->nxtBrother = uint8(i + 1);
    return b;
}

std::string both(Built &b, int wantStatus)
{
    std::string text, json;
    EXPECT_EQ(vudump::formatTree(b.snap, vudump::Format::Text, text), wantStatus);
    EXPECT_EQ(vudump::formatTree(b.snap, vudump::Format::Json, json), wantStatus);
    parseJson(json);   // always a valid document
    return text;
}

int count(const std::string &hay, const std::string &needle)
{
    int n = 0;
    for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1))
        ++n;
    return n;
}

} // namespace

TEST(VuReaderDamaged, LinkCyclesEndTheWalk)
{
    Built b = handTree(5);
    b.node(4)->nxtBrother = 2;   // cabinets in a ring
    b.node(3)->son = 0;          // back to the root
    std::string t = both(b, vudump::EXIT_DAMAGED);
    for (int i : {0, 2, 3, 4})
        EXPECT_EQ(count(t, "node " + std::to_string(i) + ":\n"), 1) << t;
    EXPECT_NE(t.find("problem: node 4: nxtBrother 2 already shown (link cycle)\n"), std::string::npos);
    EXPECT_NE(t.find("problem: node 3: son 0 already shown (link cycle)\n"), std::string::npos);
}

TEST(VuReaderDamaged, LinksOutsideTheSegment)
{
    Built b = handTree(3);
    b.node(2)->son = 200;
    b.node(2)->nxtBrother = 3;   // one past the last node
    b.node(0)->ext = 254;
    std::string t = both(b, vudump::EXIT_DAMAGED);
    EXPECT_NE(t.find("problem: node 2: son 200 is outside the segment (3 nodes)\n"), std::string::npos);
    EXPECT_NE(t.find("problem: node 2: nxtBrother 3 is outside the segment (3 nodes)\n"), std::string::npos);
    EXPECT_NE(t.find("problem: node 0: ext 254 is outside the segment (3 nodes)\n"), std::string::npos);
}

TEST(VuReaderDamaged, TextsWithoutEndAndUnprintableBytes)
{
    Built b = handTree(3);
    memset(b.node(2)->Description, 'A', sizeof b.node(2)->Description);   // no NUL at all
    memset(b.node(2)->ID, 'B', sizeof b.node(2)->ID);
    b.node(2)->identification.SN[0] = '\x01';
    b.node(2)->identification.SN[1] = '"';
    b.node(2)->identification.SN[2] = '\xFF';
    std::string t = both(b, vudump::EXIT_OK);
    EXPECT_NE(t.find("    Description: \"" + std::string(32, 'A') + "\"\n"), std::string::npos) << t;
    EXPECT_NE(t.find("    ID: \"" + std::string(16, 'B') + "\"\n"), std::string::npos);
    EXPECT_NE(t.find("        SN: \"\\x01\\\"\\xFF\"\n"), std::string::npos);

    std::string json;
    vudump::formatTree(b.snap, vudump::Format::Json, json);
    QJsonObject n2 = parseJson(json).value("nodes").toArray()[1].toObject();
    EXPECT_EQ(n2.value("Description").toString(), QString(32, 'A'));
    EXPECT_EQ(n2.value("identification").toObject().value("SN").toString(), QString::fromLatin1("\x01\"\xFF"));
}

TEST(VuReaderDamaged, UnknownKindsAndValues)
{
    Built b = handTree(4);
    b.node(3)->nodetype = node_t(9);
    b.node(2)->identification.UPS_Type = UPS_Type_e(0x7A);
    b.node(2)->panel.value = cmdType_t(77);
#if !defined(TVK_MODULAR)
    b.node(2)->desc.upsBox.Ups.statusCode = statusCode_t(77);
    b.node(2)->desc.upsBox.subSystem.UPSShelter[0].desc = 0x3F0F;
#endif
    std::string t = both(b, vudump::EXIT_DAMAGED);
    EXPECT_NE(t.find("    kind: unknown(9)\n"), std::string::npos);
    EXPECT_NE(t.find("problem: node 3: unknown kind 9, record not decoded\n"), std::string::npos);
    EXPECT_NE(t.find("        UPS_Type: unknown(122)\n"), std::string::npos);
    EXPECT_NE(t.find("    panel: value=unknown(77)"), std::string::npos);
#if !defined(TVK_MODULAR)
    EXPECT_NE(t.find("            statusCode: unknown(77)\n"), std::string::npos);
    EXPECT_NE(t.find("desc=0x3F0F alarmSt=unknown(15) elemSt=unknown(63)"), std::string::npos);
#endif
}

TEST(VuReaderDamaged, SegmentSizes)
{
    // Not a whole number of nodes (a card of the other layout): shown, with a warning.
    Built b = handTree(3);
    b.snap.bytes.resize(b.snap.bytes.size() + 100);
    b.snap.segmentSize = b.snap.bytes.size();
    std::string t = both(b, vudump::EXIT_DAMAGED);
    EXPECT_NE(t.find("is not a multiple of the"), std::string::npos);
    EXPECT_EQ(count(t, "node 2:\n"), 1);

    // Smaller than one node: nothing to show.
    Built small = handTree(1);
    small.snap.bytes.resize(sizeof(virtualNode_t) - 1);
    small.snap.segmentSize = small.snap.bytes.size();
    t = both(small, vudump::EXIT_UNREADABLE);
    EXPECT_NE(t.find("holds no whole node"), std::string::npos);
    EXPECT_EQ(t.find("node 0:"), std::string::npos);

    // A huge segment: only what the one-byte links can reach is kept.
    EXPECT_EQ(vudump::maxSnapshotBytes(), 255 * sizeof(virtualNode_t));
}

// ---- The program ------------------------------------------------------------------------------

namespace {

struct ProgRun {
    int status = -1;
    std::string out, err;
};

std::string slurp(const std::string &path)
{
    std::ifstream f(path);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

std::string readerBinary() { return std::string(TVK_BIN_DIR) + "/tarvik-vu-" + TVK_PROFILE_NAME; }

ProgRun runReader(const std::string &args)
{
    ProgRun r;
    char tmpl[] = "/tmp/tarvik-vu-out-XXXXXX";
    char *d = mkdtemp(tmpl);
    if (!d)
        return r;
    const std::string o = std::string(d) + "/out", e = std::string(d) + "/err";
    const std::string cmd = readerBinary() + " " + args + " >" + o + " 2>" + e;
    int st = std::system(cmd.c_str());
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    r.out = slurp(o);
    r.err = slurp(e);
    unlink(o.c_str());
    unlink(e.c_str());
    rmdir(d);
    return r;
}

} // namespace

TEST_F(LiveTree, ProgramReadsTheRunningCardsTree)
{
    if (access(readerBinary().c_str(), X_OK) != 0)
        GTEST_SKIP() << readerBinary() << " is not built";
    ASSERT_NE(mgr_->virtualUPS, nullptr);

    ProgRun r = runReader("--json --dir " + dir_.path());
    EXPECT_EQ(r.status, 0) << r.err;
    QJsonObject doc = parseJson(r.out);
    EXPECT_EQ(doc.value("segment").toObject().value("id").toInt(), mgr_->shm_id);
    EXPECT_EQ(doc.value("nodes").toArray().size(), 5);

    r = runReader("--dir " + dir_.path() + " --watch 1 --count 1");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.compare(0, 4, "=== "), 0) << r.out;
    EXPECT_NE(r.out.find("    ID: \"SB.BC.M1\"\n"), std::string::npos);

    // The program runs in the card's directory by default.
    r = runReader("--json");
    EXPECT_EQ(r.status, 0) << r.err;
}

TEST(VuReaderProgram, NoSegmentAndUsageErrors)
{
    if (access(readerBinary().c_str(), X_OK) != 0)
        GTEST_SKIP() << readerBinary() << " is not built";
    ScopedWorkDir withKey;   // key file, but no card running here
    ProgRun r = runReader("--dir " + withKey.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("no virtual UPS segment for key"), std::string::npos) << r.err;
    EXPECT_TRUE(r.out.empty());

    ScopedWorkDir empty(false);
    r = runReader("--dir " + empty.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cannot make the segment key from \"" + empty.path() + "/Tarvik\""),
              std::string::npos)
        << r.err;

    for (const char *bad : {"--bogus", "--watch 0", "--watch x", "--dir", "--count 2"}) {
        r = runReader(bad);
        EXPECT_EQ(r.status, 2) << bad;
        EXPECT_FALSE(r.err.empty()) << bad;
    }
}
