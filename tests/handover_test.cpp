// Four real card processes on one cabinet bus (a paced multidrop hub at 9600
// baud), each with its stand-in power module, and the station that hands the
// master role over. A well-behaved station re-assigns the role with a break
// (every card falls back to listening), one filler byte (a listening card may
// drop the byte after a break), then CN naming the next master.
#include "CardFixture.h"
#include "Plant.h"
#include "VirtualUPSMgr.h"

#include <gtest/gtest.h>

#include <csignal>
#include <memory>
#include <string>

using tvktest::CardFixture;
namespace kesp = tvksim::kesp;

namespace {

constexpr int kCards = 4;

uint16_t voutOf(int cabinet) { return uint16_t(221 + cabinet); }
uint8_t addrOf(int i) { return uint8_t(0xEA + i); }

// The plant of the test: every module reports a Vout of its own.
class TestPlant : public tvksim::Plant {
public:
    TestPlant() : tvksim::Plant(options())
    {
        for (int i = 0; i < cards(); ++i)
            module(i).update([i](tvksim::ModuleState &s) { s.Vout = {{voutOf(i), voutOf(i), voutOf(i)}}; });
    }

    // Every running card holds every cabinet's record with that cabinet's module values.
    bool everyCardHoldsEveryRecord(int timeoutMs)
    {
        return CardFixture::waitFor(
            [&] {
                for (int k = 0; k < cards(); ++k) {
                    if (!card(k).running())
                        continue;
                    tvksim::TreeAttach t;
                    if (!t.attach(card(k).keyFile()))
                        return false;
                    for (int j = 0; j < kCards; ++j) {
                        char id[8];
                        snprintf(id, sizeof id, "S%c.B%c", 'A' + k, 'A' + j);
                        virtualNode_t *n = t.node(id);
                        if (!n || n->desc.upsBox.Ups.timestamp == 0 || n->desc.upsBox.Ups.Vout[0] != voutOf(j))
                            return false;
                    }
                }
                return true;
            },
            timeoutMs);
    }

private:
    static tvksim::PlantOptions options()
    {
        static tvktest::ScopedWorkDir dir;   // one for the test program; cards get subdirectories
        static int run = 0;
        tvksim::PlantOptions o;
        o.program = std::string(TVK_BIN_DIR) + "/tarvik-" + TVK_PROFILE_NAME;
        o.baseDir = dir.path() + "/plant" + std::to_string(run++);
        return o;
    }
};

} // namespace

TEST(HandOver, FourCardsShareTheMasterRoleAndEveryRecord)
{
    TestPlant p;
    for (int i = 0; i < kCards; ++i) {
        tvksim::TreeAttach t;
        ASSERT_TRUE(CardFixture::waitFor([&] { return t.attach(p.card(i).keyFile()); }, 15000)) << i;
    }

    // A -> B -> C -> D: each polls every cabinet in turn, the others answer.
    for (int i = 0; i < kCards; ++i) {
        size_t from = p.hub().tapCount();
        ASSERT_TRUE(p.station().handOver(addrOf(i))) << i;
        EXPECT_TRUE(p.pollsAsMaster(addrOf(i), from, 20000)) << "cabinet " << char('A' + i);
    }
    EXPECT_TRUE(p.everyCardHoldsEveryRecord(30000));

    // Lost master: D dies; after the silence the station re-assigns the role to A.
    p.card(3).kill();
    p.updatePids();
    size_t from = p.hub().tapCount();
    ASSERT_TRUE(p.station().handOver(addrOf(0)));
    EXPECT_TRUE(p.pollsAsMaster(addrOf(0), from, 20000));

    // D restarted (over its leftover segment) while A is master: it answers again and
    // learns every record by overhearing.
    p.card(3).restart();
    p.updatePids();
    from = p.hub().tapCount();
    EXPECT_TRUE(p.hub().waitTap(
        [](const tvksim::TapEntry &e) { return e.is('B', 'S') && e.h.src == 0xED && e.h.dest == kesp::BROADCAST; },
        40000, nullptr, from));
    EXPECT_TRUE(p.everyCardHoldsEveryRecord(40000));

    // A break storm: every card falls back to slave; a hand-over afterwards works.
    for (int n = 0; n < 10; ++n)
        for (int i = 0; i < kCards; ++i)
            p.card(i).signal(SIGINT);
    from = p.hub().tapCount();
    ASSERT_TRUE(p.station().handOver(addrOf(1)));
    EXPECT_TRUE(p.pollsAsMaster(addrOf(1), from, 20000));

    // A CN of another build names C: nobody takes the role; the next good CN works.
    tvksim::HandoverPlan other = p.station().plan();
    other.build = 4242;
    p.station().setPlan(other);
    from = p.hub().tapCount();
    ASSERT_TRUE(p.station().handOver(addrOf(2)));
    const int64_t cnUs = p.station().handovers().back().cnUs;
    EXPECT_FALSE(p.hub().waitTap(
        [cnUs](const tvksim::TapEntry &e) {
            return e.is('B', 'S') && e.h.dest != kesp::BROADCAST && e.firstUs > cnUs;
        },
        3000, nullptr, from))
        << "no card polls after a CN of another build";
    EXPECT_TRUE(p.logHas(2, "Versioni MCU differenti"));
    other.build = -1;
    p.station().setPlan(other);
    from = p.hub().tapCount();
    ASSERT_TRUE(p.station().handOver(addrOf(2)));
    EXPECT_TRUE(p.pollsAsMaster(addrOf(2), from, 20000));

    for (int i = 0; i < kCards; ++i) {
        int st = p.card(i).stop();
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << "card " << char('A' + i) << " status " << st;
    }
}
