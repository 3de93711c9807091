// The cabinet-bus thread of a real card on a pty cabinet bus: the hand-over by CN,
// the master's polling, a slave's answers and refusals, error accounting, the
// channel discipline, and the payload builders. The test plays the other stations
// with the bench's own framing.
#include "CardFixture.h"
#include "Globals.h"
#include "KespWire.h"
#include "SystemMgr.h"
#include "ThreadDUVEX.h"
#include "ThreadKESP.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

using tvktest::CardFixture;
using tvktest::LogCapture;
namespace kesp = tvksim::kesp;

namespace {

constexpr uint8_t STATION = 0xE1;   // the hand-over station

int64_t nowUs()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// A card with its cabinet bus on a pty; the test is every other station.
class BusCard {
public:
    BusCard(int cabinet, const char *mask) : card_(opts(cabinet, mask)) {}

    CardFixture &card() { return card_; }
    KESPMgr *kesp() { return card_.kesp(); }
    uint8_t addr() const { return KESPAddr; }

    void send(const tvksim::Frame &f) { ASSERT_TRUE(card_.cabinetBus().write(f)); }

    // Frames the card writes within `ms` (stops early once `stopAfter` frames arrived).
    std::vector<kesp::FrameScanner::Found> frames(int ms, size_t stopAfter = 1000)
    {
        std::vector<kesp::FrameScanner::Found> out;
        kesp::FrameScanner sc;
        const int64_t end = nowUs() + int64_t(ms) * 1000;
        while (nowUs() < end && out.size() < stopAfter) {
            // Each read returns what the card wrote at once, so a frame's time is its arrival.
            std::vector<uint8_t> b = card_.cabinetBus().read(1024, 20, 0);
            if (!b.empty())
                sc.feed(b.data(), b.size(), nowUs(), out);
        }
        return out;
    }

    void handOverTo(uint8_t next, int32_t build = -1)
    {
        kesp::CnData cn;
        cn.build = build;
        cn.nextMaster = next;
        send(kesp::makeFrame(STATION, kesp::BROADCAST, 'C', 'N', cn.encode()));
    }

    // A copy of a cabinet entry, taken under the cabinet data lock as the card writes it.
    upsBoxQueriesData_t cabinet(int i)
    {
        myMutexLocker lk(kesp()->mutexKESPData);
        return kesp()->upsBox[i];
    }

    bool waitState(KESP_status_e s, int ms)
    {
        return CardFixture::waitFor([&] { return kesp()->getState() == s; }, ms);
    }

private:
    static CardFixture::Options opts(int cabinet, const char *mask)
    {
        CardFixture::Options o;
        o.cabinet = cabinet;
        o.mask = mask;
        o.cabinetBus = true;
        return o;
    }
    CardFixture card_;
};

kesp::Header headerOf(const tvksim::Frame &f)
{
    kesp::Header h;
    kesp::parse(f, h);
    return h;
}

} // namespace

TEST(KespRoles, CnOfAnotherBuildLeavesTheCardSlave)
{
    LogCapture log;
    BusCard c(1, "1000");
    c.handOverTo(c.addr(), 12345);
    ASSERT_TRUE(CardFixture::waitFor([&] { return log.contains("Versioni MCU differenti: MCU:8(12345) myMCU(-1)"); },
                                     5000));
    EXPECT_EQ(int(c.card().mgr()->cntForSameBuild), 8);
    EXPECT_EQ(c.kesp()->getState(), Slave);
    EXPECT_TRUE(c.frames(300).empty()) << "a slave sends nothing unasked";
}

TEST(KespRoles, CnNamingTheCardMakesItMasterThatPollsEveryCabinet)
{
    LogCapture log;
    BusCard c(1, "1100");
    c.handOverTo(c.addr());
    // Own query, then the card's own broadcast answer, then the query to B (read as
    // they arrive, for their timing).
    auto f = c.frames(10000, 3);
    ASSERT_TRUE(c.waitState(Master, 5000));
    EXPECT_EQ(int(c.card().mgr()->cntForSameBuild), 1) << "one matching CN lowers the count";
    ASSERT_GE(f.size(), 3u);
    kesp::Header q0 = headerOf(f[0].bytes), a0 = headerOf(f[1].bytes), q1 = headerOf(f[2].bytes);
    EXPECT_EQ(kesp::describe(f[0].bytes), "EA->EA BS len 0 ok");
    EXPECT_EQ(a0.src, 0xEA);
    EXPECT_EQ(a0.dest, 0xFF);
    EXPECT_EQ(a0.dataLen, kesp::BS_LEN);
    EXPECT_TRUE(f[1].checkOk);
    // The answer comes promptly after the query. (The 3 ms between the two is checked
    // on the seam, CatalogueTest.QueryToTheOwnAddressIsAnsweredLocallyOnTheLine: a
    // reader of a pty that is scheduled late sees the query late and the gap shrink,
    // so arrival times here bound the gap only from above.)
    EXPECT_LT(f[1].firstUs - f[0].lastUs, 50000) << "the own answer follows its query after 3 ms";
    EXPECT_EQ(q1.src, 0xEA);
    EXPECT_EQ(q1.dest, 0xEB);
    EXPECT_EQ(q1.mainCmd, 'B');
    EXPECT_EQ(q1.subCmd, 'S');
    (void)q0;

    // Cabinet B answers; the master stores it in its copy of B's node.
    kesp::CabinetImage img;
    img.setTimestamp(1700000123).setIdu(3);
    c.send(kesp::makeFrame(0xEB, kesp::BROADCAST, 'B', 'S', img.bytes()));
    ASSERT_TRUE(CardFixture::waitFor([&] { return c.cabinet(1).extendedBoardBox.idu == 3; }, 3000));
    EXPECT_TRUE(c.cabinet(1).MCUcommStatus.isGood);
    EXPECT_EQ(c.kesp()->getState(), Master);
}

#if !defined(TVK_MODULAR)
TEST(KespRoles, MasterWithNothingToPollReturnsToSlave)
{
    LogCapture log;
    BusCard c(1, "0000");
    c.handOverTo(c.addr());
    ASSERT_TRUE(CardFixture::waitFor([&] { return log.contains("oldState:1 newState:0"); }, 5000));
    EXPECT_TRUE(c.waitState(Slave, 1000));
}
#endif

TEST(KespRoles, BreakWhileMasterMakesItSlaveAndResetsTheLastMaster)
{
    LogCapture log;
    BusCard c(1, "1000");
    c.handOverTo(c.addr());
    ASSERT_TRUE(c.waitState(Master, 5000));
    KESP_BreakDetected(SIGINT);   // what the line break raises
    ASSERT_TRUE(c.waitState(Slave, 3000));
    EXPECT_TRUE(log.contains("cntBreakDetect:1"));
    EXPECT_EQ(int(LastMaster.load()), 0xE0);
    EXPECT_TRUE(CardFixture::waitFor([&] { return c.kesp()->holdsChannel(); }, 2000))
        << "a slave holds the channel";
}

TEST(KespRoles, SequenceInProgressKeepsTheMasterAtTheCycleEnd)
{
    LogCapture log;
    BusCard c(1, "1000");
    c.handOverTo(c.addr());
    ASSERT_TRUE(c.waitState(Master, 5000));
    myMutex *seq = c.card().mgr()->mutexQCSeq;
    seq->lock();
    ASSERT_TRUE(CardFixture::waitFor([&] { return log.contains("Sequenza comandi in corso"); }, 5000));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    c.card().cabinetBus().drain();   // what the master sent before the cycle end
    const int32 it = c.kesp()->iteration;
    EXPECT_EQ(log.count("Sequenza comandi in corso non posso lasciare ruolo MASTER!"), 1)
        << "logged once per blocked period";
    EXPECT_TRUE(c.frames(300).empty()) << "no polling while the sequence runs";
    seq->unlock();
    EXPECT_TRUE(CardFixture::waitFor([&] { return c.kesp()->iteration != it; }, 5000));
    EXPECT_EQ(c.kesp()->getState(), Master);
}

TEST(KespRoles, FailingCabinetCountsAsLostAfterTwoFailures)
{
    LogCapture log;
    BusCard c(1, "1100");
    c.handOverTo(c.addr());
    ASSERT_TRUE(c.waitState(Master, 5000));
    // B stays silent: the first failure keeps it good (COMMERR), the second drops it.
    ASSERT_TRUE(CardFixture::waitFor([&] { return log.contains("FALLITO Comando BS inviato alla scheda 0xEB"); },
                                     8000));
    EXPECT_TRUE(c.cabinet(1).MCUcommStatus.isGood);
    ASSERT_TRUE(CardFixture::waitFor([&] { return !c.cabinet(1).MCUcommStatus.isGood; }, 12000));
    EXPECT_EQ(c.cabinet(1).MCUcommStatus.errorCnt, 1);
    EXPECT_FALSE(log.contains("Invio del carattere BREAK")) << "a silent cabinet is no framing fault";
    EXPECT_TRUE(c.kesp()->getLastErrStr().startsWith("LastErr:\\02 0xea 0xeb BS... @"));
}

#if !defined(TVK_MODULAR)   // the modular build always has cabinet A
TEST(KespSlave, AnswersAndRefusals)
{
    LogCapture log;
    BusCard c(1, "0100");   // the card's own cabinet A is not part of the plant
    c.send(kesp::makeFrame(0xEB, 0xEA, 'B', 'S'));
    ASSERT_TRUE(CardFixture::waitFor([&] { return log.contains("STRANO!! perche' la mia MCU non e' configurata?"); },
                                     5000));
    c.send(kesp::makeFrame(0xEB, 0xEA, 'B', 'X'));
    c.send(kesp::makeFrame(0xEB, 0xEA, 'S', 'I'));
    c.send(kesp::makeFrame(0xEB, 0xEA, 'Z', 'Z'));
    c.send(kesp::makeFrame(0xEB, 0xFF, 'U', 'C'));
    c.send(kesp::makeFrame(0xEA, 0xFF, 'B', 'S'));   // own address as sender
    c.send(kesp::makeFrame(0x0B, 0xFF, 'G', 'I', std::vector<uint8_t>(64, 0x20)));   // MU board, unregistered
    c.send(kesp::makeFrame(0xEB, 0x0B, 'G', 'I'));   // to another station
    ASSERT_TRUE(CardFixture::waitFor([&] { return log.contains("pck non gestito"); }, 5000));
    EXPECT_TRUE(log.contains("con 'B' SubCmd X non supportato!"));
    EXPECT_TRUE(log.contains("con 'S' SubCmd I non supportato!"));
    EXPECT_TRUE(log.contains("MainCmd non gestito!"));
    EXPECT_TRUE(log.contains("NON E' AMMESSO 0xEA COME MITTENTE!"));
    EXPECT_TRUE(log.contains("Ricevo dati da 0x0B, scheda KESP non registrata su questa MCU!"));
    EXPECT_TRUE(log.contains("Mitt:0xEB Dest:0x0B Cmd:GI Len:0"));
    EXPECT_TRUE(c.kesp()->unknownDevPresent);
    EXPECT_TRUE(c.frames(300).empty()) << "refusals send nothing";
}

#endif

TEST(KespSlave, AnswersItsOwnCabinetRecordAndOverhearsOthers)
{
    LogCapture log;
    BusCard c(2, "1100");
    c.send(kesp::makeFrame(0xEA, 0xEB, 'B', 'S'));
    auto f = c.frames(3000, 1);
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(kesp::describe(f[0].bytes), "EB->FF BS len 332 ok");

    kesp::CabinetImage img;
    img.setTimestamp(1700000200).setIdu(5);
    c.send(kesp::makeFrame(0xEA, kesp::BROADCAST, 'B', 'S', img.bytes()));
    ASSERT_TRUE(CardFixture::waitFor([&] { return c.cabinet(0).extendedBoardBox.idu == 5; }, 3000));
    if (tvk_debugEnabled())
        EXPECT_TRUE(log.contains("Sniff data from Src:0xEA to Dest:0xFF query \"BS\""));
}

TEST(KespSlave, SingleQueryOfASlaveFailsWithinItsBound)
{
    LogCapture log;
    BusCard c(1, "1100");
    ASSERT_TRUE(CardFixture::waitFor([&] { return c.kesp()->holdsChannel(); }, 3000));
    pckStruct q{};
    q.Src = 0xEA;
    q.Dest = 0xEB;
    q.MainCmd = 'B';
    q.SubCmd = 'S';
    uint8 data[332];
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_LT(c.kesp()->runSingleQC(q, sizeof data, data), 0);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_GE(ms, KESPSQC_CHANNELWAITMS - 100);
    EXPECT_LT(ms, KESPSQC_CHANNELWAITMS + 2000);
    EXPECT_TRUE(log.contains("Canale del bus armadi occupato: BS alla scheda 0xEB non inviato"));
}

// A module query for another cabinet travels in cabinet-bus single queries, five
// attempts, each bounded. A slave never gets the line for one, so all five fail
// and the caller learns it: status -1, its buffer untouched, one error line per
// attempt, and no attempt after the fifth.
TEST(KespSlave, RelayedModuleQueryFailsAfterFiveBoundedAttempts)
{
    LogCapture log;
    BusCard c(1, "1100");
    ASSERT_TRUE(CardFixture::waitFor([&] { return c.kesp()->holdsChannel(); }, 3000));
    DUVEXMgr *d = c.card().mgr()->pThDuvex;
    ASSERT_NE(d, nullptr);
    pckStruct q{};
    q.Src = 'A';
    q.Dest = '1';
    q.MainCmd = 'G';
    q.SubCmd = 'N';
    uint8 data[22];
    memset(data, 0xAB, sizeof data);
    int status = 99;
    const auto t0 = std::chrono::steady_clock::now();
    DUVEXMgr::singleQCMgr *s = d->InsertSingleQC(1, q, sizeof data, data, &status);
    ASSERT_NE(s, nullptr);
    while (!d->WaitSingleQC(s, 1000)) {   // deletes the thread object once it ended
    }
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(status, -1);
    for (uint8 b : data)
        EXPECT_EQ(b, 0xAB);
    EXPECT_EQ(log.count(" Err (runRelayed): Errore nell'invio del comando KESP_QT all'armadio 0x42\n"), 5u) << log.text();
    EXPECT_GE(ms, 5 * (KESPSQC_CHANNELWAITMS - 100));
    EXPECT_LT(ms, 5 * (KESPSQC_CHANNELWAITMS + 2000));
    EXPECT_TRUE(c.frames(300).empty()) << "the slave sent nothing for it";
}

TEST(KespPayloads, SetUpBlockOfAnMu)
{
    struct Row {
        uint16 word53;
        bool sens[4];
        bool hygro;
        uint8 byte1;
    };
    const Row rows[] = {
        {0x0500, {true, true, true, true}, true, 0x7D},
        {0x0600, {true, false, false, false}, false, 0x22},
        {0x0100, {false, false, true, false}, true, 0x09},
    };
    CardFixture::Options o;
    o.mask = "1000";
    CardFixture card(o);
    PlantCfg &cfg = card.mgr()->Cfg;
    for (const Row &r : rows) {
        cfg.word53 = r.word53;
        for (int i = 0; i < 4; ++i)
            cfg.Ups[0].sensTPresent[i] = r.sens[i];
        cfg.Ups[0].hygroPresent = r.hygro;
        cfg.Ups[0].batteryPresent[0] = true;
        cfg.Ups[0].batteryPresent[4] = true;
        cfg.word182 = 0x8012;
        cfg.word186 = 0x8034;
        uint8 si[16];
        card.kesp()->setParamSI(si, 10);
        EXPECT_EQ(si[1], r.byte1) << std::hex << r.word53;
        EXPECT_EQ(si[3], 0x11);
        EXPECT_EQ(si[5], 0x11);
        EXPECT_EQ(si[6], 0x12);
        EXPECT_EQ(si[10], 0x34);
        EXPECT_EQ(si[14], r.word53 == 0x0600 ? 0x11 : 0x01) << "bits of word186.. only with card 0x0600";
        EXPECT_EQ(si[0] | si[2] | si[4] | si[15], 0);
    }
    LogCapture log;
    uint8 si[16];
    card.kesp()->setParamSI(si, 11);   // cabinet B is not present
    EXPECT_TRUE(log.contains("Si configura un armadio UPS non presente!!"));
    for (uint8 b : si)
        EXPECT_EQ(b, 0);
}

TEST(KespPayloads, PacketTextsAndHandOverDescriptor)
{
    CardFixture::Options o;
    o.mask = "1000";
    CardFixture card(o);
    KESPMgr *k = card.kesp();
    pckStruct q{};
    q.Src = 0xEA;
    q.Dest = 0x0A;
    q.MainCmd = 'B';
    q.SubCmd = 'S';
    QCMgr e(q, KESP_BuildQuery, 0);
    k->saveCurrPck(&e);
    EXPECT_EQ(k->getCurrPckStr().toStdString(), "currPck:\\02 0xea 0x a BS...");

    pckStruct cn{};
    k->prepareCNPck(cn, 0xEC);
    EXPECT_EQ(cn.Src, 0xEA);
    EXPECT_EQ(cn.Dest, 0xFF);
    EXPECT_EQ(cn.MainCmd, 'C');
    EXPECT_EQ(cn.SubCmd, 'N');
    ASSERT_EQ(cn.ParamLen, 93);
    kesp::CnData d;
    ASSERT_TRUE(kesp::CnData::decode(std::vector<uint8_t>(cn.pParam, cn.pParam + 93), d));
    EXPECT_EQ(d.build, -1);
    EXPECT_EQ(d.nextMaster, 0xEC);
    EXPECT_EQ(d.bitStatus & 3u, 3u) << "no forced-bypass request: -1 in two bits";
    EXPECT_EQ(d.clk[0].epochT, 1);
    EXPECT_NE(d.clk[0].sec, 0);
}

TEST(KespRoles, BatteryTestNoticeGoesOncePerChangeToComboCabinets)
{
    LogCapture log;
    BusCard c(1, "1000");
    c.card().mgr()->Cfg.Ups[0].upsBoxType = ComboBox;
    c.handOverTo(c.addr());
    ASSERT_TRUE(c.waitState(Master, 5000));

    auto tbFrom = [&](bool on) {
        // The card sends TB to its MU board; the test answers as that board.
        const int64_t end = nowUs() + 20000000;
        while (nowUs() < end) {
            for (auto &f : c.frames(200)) {
                kesp::Header h = headerOf(f.bytes);
                if (h.mainCmd == 'T' && h.subCmd == 'B' && h.dest == 0x0A) {
                    c.send(kesp::makeAck(0x0A, c.addr(), 'T', 'B'));
                    std::vector<uint8_t> d = kesp::dataOf(f.bytes);
                    return d.size() == 1 && d[0] == (on ? 1 : 0);
                }
            }
        }
        return false;
    };
    c.card().sim().update([](tvksim::ModuleState &s) { s.Test_in_progress = true; });
    EXPECT_TRUE(tbFrom(true));
    ASSERT_TRUE(CardFixture::waitFor([&] { return log.contains("INIZIO TEST BATTERIE"); }, 5000));
    c.card().sim().update([](tvksim::ModuleState &s) { s.Test_in_progress = false; });
    EXPECT_TRUE(tbFrom(false));
    ASSERT_TRUE(CardFixture::waitFor([&] { return log.contains("FINE TEST BATTERIE"); }, 5000));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(log.count("INIZIO TEST BATTERIE"), 1);
    EXPECT_EQ(log.count("FINE TEST BATTERIE"), 1);
    EXPECT_FALSE(log.contains("Errore nell'invio del comando TB"));
}
