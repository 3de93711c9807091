// Commands relayed to the module of another cabinet, end to end: real card programs
// of cabinets A, B and C on one simulated cabinet bus, each with its stand-in module.
// A panel command written at A reaches the plant's master module in C, and a module
// power-off written at A reaches B's module, through the card of that cabinet (QT):
// while A is master at once, while A is slave once the role comes back to A. The
// card holding the command keeps answering on the bus meanwhile.
#include "CardFixture.h"
#include "Plant.h"
#include "VirtualUPSMgr.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

using tvktest::CardFixture;
namespace kesp = tvksim::kesp;

namespace {

constexpr int A = 0, B = 1, C = 2;
uint8_t addrOf(int cabinet) { return uint8_t(0xEA + cabinet); }

tvksim::PlantOptions options()
{
    static tvktest::ScopedWorkDir dir;
    tvksim::PlantOptions o;
    o.program = std::string(TVK_BIN_DIR) + "/tarvik-" + TVK_PROFILE_NAME;
    o.baseDir = dir.path() + "/relay";
    o.mask = "1110";
    return o;
}

// Number of frames `sim` received with this command (and, if given, first parameter).
size_t countCmd(const tvksim::PowerModuleSim &sim, char m, char s, int param0 = -1)
{
    size_t n = 0;
    for (const tvksim::Frame &f : sim.received())
        if (f.size() >= 12 && f[3] == uint8_t(m) && f[4] == uint8_t(s) && (param0 < 0 || f[7] == uint8_t(param0)))
            ++n;
    return n;
}

// Writes a panel command into a card's tree, as the card's other processes do.
int panel(tvksim::CardProcess &card, const std::string &node, const std::string &cmd)
{
    std::string tool = std::string(TVK_BIN_DIR) + "/tarvik-panel-" + TVK_PROFILE_NAME;
    std::string dir = card.keyFile().substr(0, card.keyFile().rfind('/'));
    int st = std::system((tool + " --dir " + dir + " --wait 20 " + node + " " + cmd + " >/dev/null 2>&1").c_str());
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

// Whether card `k`'s tree shows cabinet C's aggregated record as holding the master module.
bool seesMasterInC(tvksim::Plant &p, int k)
{
    tvksim::TreeAttach t;
    if (!t.attach(p.card(k).keyFile()))
        return false;
    char id[8];
    snprintf(id, sizeof id, "S%c.B%c", 'A' + p.cabinetOf(k), 'C');
    virtualNode_t *n = t.node(id);
    // The record's own time stamp comes with C's first aggregation, which also fixes
    // the index of C's master module that travels with it.
    return n && n->desc.upsBox.timestamp != 0 && n->desc.upsBox.Ups.isMaster;
}

} // namespace

// The modular build polls no RX, so its cabinet records never carry the master
// flag that a system command looks for: the test runs in the naval and standard
// builds.
#if !defined(TVK_MODULAR)
TEST(Relay, CommandsReachTheModulesOfOtherCabinets)
{
    tvksim::Plant p(options());
    // On a failure (also of an ASSERT), what the cards logged about the commands.
    struct LogsOnFailure {
        tvksim::Plant &p;
        ~LogsOnFailure()
        {
            if (!::testing::Test::HasFailure())
                return;
            for (int i = 0; i < p.cards(); ++i)
                std::system(("grep -aE 'CS|QT|PRONTO|Sys Off|MASTER|CN ' " + p.card(i).logPath() + " | tail -25 >&2").c_str());
        }
    } logsOnFailure{p};
    const int a = p.cardOf(A), b = p.cardOf(B), c = p.cardOf(C);
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    ASSERT_GE(c, 0);
    // C's module is the plant's master module.
    p.module(c).update([](tvksim::ModuleState &s) { s.FlagExt[1] = uint8_t(s.FlagExt[1] | 0x20); });
    for (int i = 0; i < p.cards(); ++i) {
        tvksim::TreeAttach t;
        ASSERT_TRUE(CardFixture::waitFor([&] { return t.attach(p.card(i).keyFile()); }, 15000)) << i;
    }

    // A is master: it learns C's record (master flag) by polling.
    size_t from = p.hub().tapCount();
    ASSERT_TRUE(p.station().handOver(addrOf(A)));
    ASSERT_TRUE(p.pollsAsMaster(addrOf(A), from, 20000));
    ASSERT_TRUE(CardFixture::waitFor([&] { return seesMasterInC(p, a); }, 30000));

    // 1. Panel shutdown at A while A is master: C's card acknowledges and its module gets CS.
    ASSERT_EQ(panel(p.card(a), "SA", "shutdown 300"), 0);
    EXPECT_TRUE(CardFixture::waitFor([&] { return countCmd(p.module(c), 'C', 'S') >= 1; }, 30000))
        << "CS never reached C's module";
    EXPECT_EQ(countCmd(p.module(a), 'C', 'S'), 0u) << "A's own module is not the master";

    // 2. Module power-off for B's module written at A: B's module gets DC '0'.
    ASSERT_EQ(panel(p.card(a), "SA.BB.M1", "off"), 0);
    EXPECT_TRUE(CardFixture::waitFor([&] { return countCmd(p.module(b), 'D', 'C', '0') >= 1; }, 30000))
        << "DC never reached B's module";

    // 3. A slave, B master: a shutdown written at A waits in A's cabinet-bus queue while
    // A goes on answering B's polls; it reaches C once A is master again.
    from = p.hub().tapCount();
    ASSERT_TRUE(p.station().handOver(addrOf(B)));
    ASSERT_TRUE(p.pollsAsMaster(addrOf(B), from, 20000));
    const size_t csBefore = countCmd(p.module(c), 'C', 'S');
    ASSERT_EQ(panel(p.card(a), "SA", "shutdown 120"), 0);
    from = p.hub().tapCount();
    EXPECT_TRUE(p.hub().waitTap(
        [](const tvksim::TapEntry &e) { return e.is('B', 'S') && e.h.src == 0xEA && e.h.dest == kesp::BROADCAST; },
        30000, nullptr, from))
        << "A stopped answering while it held the command";
    from = p.hub().tapCount();
    ASSERT_TRUE(p.station().handOver(addrOf(A)));
    ASSERT_TRUE(p.pollsAsMaster(addrOf(A), from, 20000));
    EXPECT_TRUE(CardFixture::waitFor([&] { return countCmd(p.module(c), 'C', 'S') > csBefore; }, 30000))
        << "the command held while A was slave never reached C";
    for (int i = 0; i < p.cards(); ++i) {
        int st = p.card(i).stop();
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << "card " << i << " status " << st;
    }
}
#endif
