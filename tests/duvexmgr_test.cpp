// The module-bus manager against the stand-in power module over a pty.
#include "CardFixture.h"
#include "DUVEX.h"
#include "Globals.h"
#include "SystemMgr.h"
#include "ThreadDUVEX.h"
#include "ThreadKESP.h"
#include "VirtualUPSMgr.h"

#include <gtest/gtest.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

using tvksim::Faults;
using tvksim::Frame;
using tvksim::PowerModuleSim;
using tvktest::CardFixture;

namespace {

Frame query(uint8 mc, uint8 sc, std::vector<uint8_t> data = {})
{
    return PowerModuleSim::makeFrame(0x20, '1', mc, sc, data);
}

std::string cmdOf(const Frame &f) { return f.size() > 4 ? std::string{char(f[3]), char(f[4])} : std::string(); }

size_t countCmd(const std::vector<Frame> &fs, const char *cmd)
{
    return size_t(std::count_if(fs.begin(), fs.end(), [&](const Frame &f) { return cmdOf(f) == cmd; }));
}

commStatus_t moduleStatus(DUVEXMgr *d)
{
    myMutexLocker lk(d->mutexDuvexData);
    return d->ModulesData[0][0].commStatus;
}

} // namespace

TEST(DuvexMgr, FixedRoundOnTheWireInKeyOrder)
{
    CardFixture card;
#if defined(TVK_MODULAR)
    const std::vector<Frame> round = {query('D', 'E'), query('D', 'S'), query('G', 'I'), query('G', 'N'),
                                      query('R', 'C'), query('R', 'E'), query('R', 'K'), query('R', 'S')};
#else
    const std::vector<Frame> round = {query('G', 'I'), query('G', 'N'), query('R', 'A'),
                                      query('R', 'E'), query('R', 'S'),
                                      query('R', 'X', std::vector<uint8_t>(16, '0'))};
#endif
    // The capture may start anywhere in a round (just after its first query at worst);
    // from the first query of the round on, the round repeats in key order.
    card.sim().clearReceived();
    ASSERT_TRUE(card.sim().waitReceived(2 * round.size(), 10000));
    auto got = card.sim().received();
    auto it = std::find(got.begin(), got.end(), round[0]);
    ASSERT_NE(it, got.end());
    size_t start = size_t(it - got.begin());
    ASSERT_GE(got.size(), start + round.size());
    for (size_t i = 0; i < round.size(); ++i)
        EXPECT_EQ(got[start + i], round[i]) << "position " << i << " got " << cmdOf(got[start + i]);
}

TEST(DuvexMgr, ErrorCountsAndLoss)
{
    CardFixture card;
    DUVEXMgr *d = card.duvex();
    ASSERT_TRUE(CardFixture::waitFor([&] { return moduleStatus(d).isGood; }, 5000));
    EXPECT_EQ(moduleStatus(d).errorPck, 0);

    // Refusals with code 4 are failures: 0 -> 3 -> 6, then the module counts as lost.
    Faults f;
    f.nakCode = '4';
    card.sim().setFaults(f);
    ASSERT_TRUE(CardFixture::waitFor([&] { return !moduleStatus(d).isGood; }, 10000));
    commStatus_t st = moduleStatus(d);
    EXPECT_EQ(st.errorPck, MAXPCKERROR);
    EXPECT_EQ(st.lastPckGood, 0);
    EXPECT_GE(st.errorCnt, 1);

    // The first good reply marks it good again and lowers the weight by one.
    card.sim().clearFaults();
    ASSERT_TRUE(CardFixture::waitFor([&] { return moduleStatus(d).isGood; }, 5000));
    EXPECT_EQ(moduleStatus(d).errorPck, MAXPCKERROR - 1);
}

// Busy refusals ('5') are not failures while they last shorter than module data
// stay current (30 s); a module that stays busy longer is counted down and lost,
// so its record does not go on showing its last data as current.
TEST(DuvexMgr, AModuleThatStaysBusyIsLostAfterItsDataExpire)
{
    CardFixture card;
    DUVEXMgr *d = card.duvex();
    ASSERT_TRUE(CardFixture::waitFor([&] { return moduleStatus(d).isGood; }, 5000));
    Faults f;
    f.nakCode = '5';
    card.sim().setFaults(f);
    const auto t0 = std::chrono::steady_clock::now();
    const bool lostEarly = CardFixture::waitFor([&] { return !moduleStatus(d).isGood; }, 25000);
    EXPECT_FALSE(lostEarly) << "busy counted as a failure too soon";
    EXPECT_EQ(moduleStatus(d).errorPck, 0);
    ASSERT_TRUE(CardFixture::waitFor([&] { return !moduleStatus(d).isGood; }, 15000));
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::seconds(30));
    // A good reply ends it, and a later busy spell starts its own 30 s.
    card.sim().clearFaults();
    ASSERT_TRUE(CardFixture::waitFor([&] { return moduleStatus(d).isGood; }, 5000));
    f.count = 20;
    card.sim().setFaults(f);
    CardFixture::waitFor([&] { return !moduleStatus(d).isGood; }, 3000);
    EXPECT_TRUE(moduleStatus(d).isGood);
}

TEST(DuvexMgr, AsyncCommandRefusalsAndRetries)
{
    struct Case {
        uint8_t nak;
        int count;
        size_t expectSent;
    };
    // A good module's first refusal costs a 250 ms pause and a second try; once the
    // module counts as lost, code '1' (unknown command) drops the command, while code
    // '4' and busy ('5') keep sending it until it is accepted.
    const Case cases[] = {{'1', -1, 2}, {'4', 2, 3}, {'5', 3, 4}};
    for (const Case &c : cases) {
        CardFixture card;
        DUVEXMgr *d = card.duvex();
        ASSERT_TRUE(CardFixture::waitFor([&] { return moduleStatus(d).isGood; }, 5000));
        Faults f;
        f.nakCode = c.nak;
        f.onlyCmd = "DC";
        f.count = c.count;
        card.sim().setFaults(f);
        card.sim().clearReceived();

        uint8 p = '1';
        pckStruct q{'A', '1', 'D', 'C', &p, 1};
        ASSERT_EQ(d->AddAsyncQC(q, true), 0);
        EXPECT_EQ(d->AddAsyncQC(q, true), 0);   // already queued: not queued twice
        ASSERT_TRUE(CardFixture::waitFor([&] { return d->asyncQueueSize() == 0; }, 5000)) << c.nak;
        // A few more rounds: nothing more is sent for it.
        size_t seen = card.sim().receivedCount();
        CardFixture::waitFor([&] { return card.sim().receivedCount() >= seen + 6; }, 3000);
        EXPECT_EQ(countCmd(card.sim().received(), "DC"), c.expectSent) << "NAK " << c.nak;
    }
}

TEST(DuvexMgr, BypassCommandLeavesTheQueueWhateverTheOutcome)
{
    CardFixture card;
    DUVEXMgr *d = card.duvex();
    Faults f;
    f.nakCode = '4';
    f.onlyDest = '8';
    card.sim().setFaults(f);
    card.sim().clearReceived();
    pckStruct q{'A', '8', 'C', 'U', nullptr, 0};
    ASSERT_EQ(d->AddAsyncQC(q, false), 0);
    ASSERT_TRUE(CardFixture::waitFor([&] { return d->asyncQueueSize() == 0; }, 5000));
    size_t seen = card.sim().receivedCount();
    CardFixture::waitFor([&] { return card.sim().receivedCount() >= seen + 6; }, 3000);
    EXPECT_EQ(countCmd(card.sim().received(), "CU"), 1u);
}

TEST(DuvexMgr, EmptyRoundSleepsAndCountsRounds)
{
    CardFixture::Options o;
    o.cabinet = 2;
    o.mask = "1000";   // own cabinet B absent: nothing to poll
    CardFixture card(o);
    DUVEXMgr *d = card.duvex();
    int32 first = d->iteration;
    auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(CardFixture::waitFor([&] { return d->iteration >= first + 5; }, 5000));
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_GE(ms, 4 * 200 - 50);   // one round per 200 ms pass
    EXPECT_EQ(card.sim().receivedCount(), 0u);
}

TEST(DuvexMgr, IterationIsMinusOneWhileIdleAndCappedAt1000)
{
    tvktest::ScopedWorkDir dir;
    serialPort = nullptr;
    KESPAddr = 234;
    tvktest::LogCapture cap;   // keeps the many round lines off the test output
    DUVEXMgr d;
    d.start();
    ASSERT_TRUE(CardFixture::waitFor([&] { return cap.contains("DuvexIdle"); }, 2000));
    EXPECT_EQ(d.getIteration(), -1);
    EXPECT_EQ(d.getState(), IdleDuvex);
    {
        tvktest::FakeClock clock;   // the empty round's 200 ms pauses pass at once
        d.requestUnlockIdle();
        ASSERT_TRUE(CardFixture::waitFor([&] { return d.iteration == 1000; }, 20000));
        int32 seen = d.iteration;
        CardFixture::waitFor([] { return false; }, 50);
        EXPECT_EQ(seen, 1000);
        EXPECT_EQ(d.iteration, 1000);
        d.Stop();
        d.wait();
    }
}

TEST(DuvexMgr, SendRefusedWhileCabinetShowsCommunicationLoss)
{
    CardFixture card;
    DUVEXMgr *d = card.duvex();
    KESPMgr *k = card.kesp();
    // A module that stops answering shows as lost in its cabinet record.
    Faults f;
    f.nakCode = '4';
    card.sim().setFaults(f);
    ASSERT_TRUE(CardFixture::waitFor([&] { return !moduleStatus(d).isGood; }, 10000));
    ASSERT_TRUE(CardFixture::waitFor(
        [&] {
            myMutexLocker lk(k->mutexKESPData);
            return k->upsBox[0].pVN &&
                   k->upsBox[0].pVN->desc.upsBox.subSystem.UPSShelter[0].alarmSt == commLostAlarm;
        },
        5000));
    card.sim().clearReceived();
    tvktest::LogCapture cap;
    uint8 p = '0';
    pckStruct q{'A', '1', 'D', 'C', &p, 1};
    EXPECT_EQ(d->Send(q), -1);
    EXPECT_TRUE(cap.contains(" Err (Send): IL MODULO NON E` PRONTO A RICEVERE IL COMANDO!!!!\n"));
    EXPECT_EQ(countCmd(card.sim().received(), "DC"), 0u);
}

TEST(DuvexMgr, ReplyDataReachTheTree)
{
    CardFixture card;
    card.sim().update([](tvksim::ModuleState &s) {
        s.SN = "ABCDEFGHIJKLMNOP";
        s.VA = 40000;
    });
    virtualNode_t *m = card.node("SA.BA.M1");
    ASSERT_NE(m, nullptr);
    ASSERT_TRUE(CardFixture::waitFor(
        [&] {
            myMutexLocker lk(card.duvex()->mutexDuvexData);
            return m->nominal.VA == 40000 && std::string(m->identification.SN) == "ABCDEFGHIJKLMNOP";
        },
        10000));
}

// The texts of the last packet and of the last failure are written by the bus thread
// (queued transactions) and by single-query threads at once; the sanitizer build
// checks that they never race, and every text read is a whole one.
TEST(DuvexMgr, DiagnosticTextsFromBusAndSingleQueryThreads)
{
    tvktest::LogCapture quiet;   // the channel is closed: every transaction fails and logs
    const uint8 savedAddr = KESPAddr;
    const char *savedPort = serialPort;
    KESPAddr = 0xEA;
    serialPort = "/dev/ttyTarvikNone";
    {
        DUVEXMgr d;
        commStatus_t &st = d.ModulesData[0][0].commStatus;
        st.active = true;
        st.isGood = true;
        pckStruct rs{0x20, '1', 'R', 'S', nullptr, 0};
        QCMgr elem(rs, DUVEX_BuildQuery, DUVEX_GetReplyDataLen(rs));
        elem.pCommStatus = &st;
        std::atomic<bool> stop{false};
        std::thread bus([&] {
            for (int i = 0; i < 200 && !stop; ++i)
                d.ManageCmd(&elem);
        });
        std::thread reader([&] {
            while (!stop) {
                QString e = d.lastErr(), c = d.currPck();
                EXPECT_TRUE(e == "LastErr:" || e.startsWith("LastErr:\\02")) << e.toStdString();
                EXPECT_TRUE(c == "currPck:" || c.startsWith("currPck:\\02")) << c.toStdString();
                std::this_thread::yield();
            }
        });
        for (int i = 0; i < 20; ++i)
            EXPECT_NE(d.RefreshClockModule('1'), 0);   // a single query on this card's bus
        stop = true;
        bus.join();
        reader.join();
        const QString e = d.lastErr();
        EXPECT_TRUE(e.startsWith("LastErr:\\02 1ST... @") || e.startsWith("LastErr:\\02 1RS... @"))
            << e.toStdString();
    }
    serialPort = savedPort;
    KESPAddr = savedAddr;
}
