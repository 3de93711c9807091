// System and module commands of a whole card against the stand-in power module:
// the frames on the module bus, the retries of a busy module, the command-sequence
// lock, the search for the master module and commands for another cabinet.
#include "CardFixture.h"
#include "DUVEX.h"
#include "Globals.h"
#include "SystemMgr.h"
#include "ThreadDUVEX.h"
#include "ThreadKESP.h"
#include "VirtualUPSMgr.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using tvksim::Faults;
using tvksim::Frame;
using tvksim::PowerModuleSim;
using tvktest::CardFixture;
using tvktest::LogCapture;

namespace {

// Real clocks; records the pauses that the thread which created it takes.
class PauseRecorder : public sysclock::Source {
public:
    PauseRecorder() : tid_(std::this_thread::get_id()) { sysclock::setSource(this); }
    ~PauseRecorder() override { sysclock::setSource(nullptr); }
    time_t now() override { return sysclock::realSource().now(); }
    struct timeval timeOfDay() override { return sysclock::realSource().timeOfDay(); }
    struct timespec monotonic() override { return sysclock::realSource().monotonic(); }
    void sleepMs(unsigned ms) override
    {
        if (std::this_thread::get_id() == tid_) {
            std::lock_guard<std::mutex> lk(m_);
            pauses_.push_back(ms);
        }
        sysclock::realSource().sleepMs(ms);
    }
    std::vector<unsigned> pauses()
    {
        std::lock_guard<std::mutex> lk(m_);
        return pauses_;
    }
    void clear()
    {
        std::lock_guard<std::mutex> lk(m_);
        pauses_.clear();
    }

private:
    std::thread::id tid_;
    std::mutex m_;
    std::vector<unsigned> pauses_;
};

std::string cmdOf(const Frame &f) { return f.size() > 4 ? std::string{char(f[3]), char(f[4])} : std::string(); }

// Commands (C*, T* and DC); the polling round sends only queries (G*, R*, DS, DE).
bool isCommand(const Frame &f) { return f.size() > 4 && (f[3] == 'C' || f[3] == 'T' || (f[3] == 'D' && f[4] == 'C')); }

Frame frame(char src, char dest, const char *cmd, const std::string &data)
{
    return PowerModuleSim::makeFrame(uint8_t(src), uint8_t(dest), uint8_t(cmd[0]), uint8_t(cmd[1]),
                                     std::vector<uint8_t>(data.begin(), data.end()));
}

bool moduleGood(DUVEXMgr *d)
{
    myMutexLocker lk(d->mutexDuvexData);
    return d->ModulesData[0][0].commStatus.isGood;
}

// Shows cabinet `box` as holder of the master module (or as not holding it), the way
// the module's own replies, module aggregation and the cabinet bus report it: the
// module's extended flags (the stand-in's RX reply; the module node), the cabinet
// entry's link state and master index, the cabinet record's master flag, and the
// module descriptor of the cabinet record (not in communication loss).
void showMaster(CardFixture &card, uint8 box, bool master)
{
    DUVEXMgr *d = card.duvex();
    KESPMgr *k = card.kesp();
    if (box == 0) {
        size_t rx = card.sim().receivedCount();
        card.sim().update([&](tvksim::ModuleState &s) {
            s.FlagExt[1] = uint8_t(master ? (s.FlagExt[1] | 0x20) : (s.FlagExt[1] & ~0x20));
        });
        {
            myMutexLocker lk(d->mutexDuvexData);
            d->ModulesData[0][0].pVN->desc.module.data.isMaster = master;
        }
#if !defined(TVK_MODULAR)
        // A whole polling round and one more query: an RX answer with the new flags was parsed.
        ASSERT_TRUE(card.sim().waitReceived(rx + 7, 10000));
#else
        (void)rx;
#endif
    }
    myMutexLocker lk(k->mutexKESPData);
    upsBoxQueriesData_t &e = k->upsBox[box];
    ASSERT_NE(e.pVN, nullptr);
    e.MCUcommStatus.isGood = true;
    e.extendedBoardBox.idu = master ? uint8(8 * box + 1) : 0xFF;
    e.pVN->desc.upsBox.Ups.isMaster = master;
    e.pVN->desc.upsBox.subSystem.UPSShelter[0].alarmSt = noneAlarm;
}

class SysCmds : public ::testing::Test {
protected:
    void start(const char *mask, bool masterHere)
    {
        CardFixture::Options o;
        o.mask = mask;
        card.reset(new CardFixture(o));
        ASSERT_TRUE(CardFixture::waitFor([&] { return moduleGood(card->duvex()); }, 10000));
        ASSERT_NO_FATAL_FAILURE(showMaster(*card, 0, masterHere));
        uint8 box = 9, ups = 9;
        ASSERT_EQ(card->mgr()->searchMaster(box, ups), masterHere ? 0 : -1);
        if (masterHere) {
            ASSERT_EQ(box, 0);
            ASSERT_EQ(ups, 0);
        }
        // Every command the stand-in receives, and whether the command-sequence mutex
        // was free while it handled a CB.
        myMutex *seq = card->mgr()->mutexQCSeq;
        card->sim().setCommandHook([this, seq](const Frame &f, tvksim::ModuleState &) {
            if (!isCommand(f))
                return;
            bool seqFree = false;
            if (cmdOf(f) == "CB" && seq->tryLock()) {
                seqFree = true;
                seq->unlock();
            }
            std::lock_guard<std::mutex> lk(m_);
            commands_.push_back(f);
            if (seqFree)
                ++seqFreeDuringCB_;
        });
        clearCommands();
    }
    void TearDown() override { card.reset(); }

    std::vector<Frame> framesOf(const std::string &cmd)
    {
        std::lock_guard<std::mutex> lk(m_);
        std::vector<Frame> out;
        for (const Frame &f : commands_)
            if (cmdOf(f) == cmd)
                out.push_back(f);
        return out;
    }
    size_t commandCount()
    {
        std::lock_guard<std::mutex> lk(m_);
        return commands_.size();
    }
    int seqFreeDuringCB()
    {
        std::lock_guard<std::mutex> lk(m_);
        return seqFreeDuringCB_;
    }
    void clearCommands()
    {
        std::lock_guard<std::mutex> lk(m_);
        commands_.clear();
        seqFreeDuringCB_ = 0;
    }

    DUVEXMgr *d() { return card->duvex(); }
    PowerModuleSim &sim() { return card->sim(); }

    PauseRecorder pauses;   // outlives the card, whose threads also sleep through it
    std::mutex m_;
    std::vector<Frame> commands_;
    int seqFreeDuringCB_ = 0;
    std::unique_ptr<CardFixture> card;
};

} // namespace

TEST_F(SysCmds, CommandsReachTheModuleEncoded)
{
    ASSERT_NO_FATAL_FAILURE(start("1000", true));
    struct Case {
        const char *what;
        std::function<int()> call;
        char dest;
        const char *cmd;
        std::string data;
        const char *logLine;   // debug line expected, or null
    };
    const Case cases[] = {
        {"power on", [&] { return d()->sysPowerOn(); }, '1', "CP", "00", "Sys On\n"},
        {"shutdown 300 s", [&] { return d()->sysShutdown(300); }, '1', "CS", "012<", "Sys Off\n"},
        {"shutdown 0", [&] { return d()->sysShutdown(0); }, '1', "CS", "0000", nullptr},
        {"shutdown 65535", [&] { return d()->sysShutdown(65535); }, '1', "CS", "????", nullptr},
        {"restore 10/20", [&] { return d()->sysRestore(10, 20); }, '1', "CR", "000:0014", "Sys Restore\n"},
        {"delete", [&] { return d()->sysDeleteCmd(); }, '1', "CD", "", "Sys Delete Command\n"},
        {"battery test CLR", [&] { return d()->sysBatteryTest("CLR"); }, '1', "TC", "", "Test di batteria\n"},
        {"battery test 005", [&] { return d()->sysBatteryTest("005"); }, '1', "TB", "005", nullptr},
        {"force inverter", [&] { return d()->sysInv_Byp('I'); }, '1', "CB", "I", "forza INVERTER\n"},
        {"force bypass", [&] { return d()->sysInv_Byp('B'); }, '1', "CB", "B", "forza BYPASS\n"},
        {"module on", [&] { return d()->moduleOn('A', '1'); }, '1', "DC", "1", "UPS On\n"},
        {"module off", [&] { return d()->moduleOff('A', '1'); }, '1', "DC", "0", nullptr},
        {"energy saving on", [&] { return d()->enSa_Active('A', '1'); }, '1', "CM", "<1",
         "UPS Enter Energy Saving\n"},
        {"energy saving off", [&] { return d()->enSa_InverterOn('A', '1'); }, '1', "CM", "<0",
         "UPS Exit Energy Saving\n"},
    };
    for (const Case &c : cases) {
        LogCapture log;
        clearCommands();
        EXPECT_EQ(c.call(), 0) << c.what << "\n" << log.text();
        std::vector<Frame> got = framesOf(c.cmd);
        ASSERT_EQ(got.size(), 1u) << c.what;
        EXPECT_EQ(got[0], frame('A', c.dest, c.cmd, c.data)) << c.what;
        if (c.logLine && tvk_debugEnabled()) {
            EXPECT_TRUE(log.contains(c.logLine)) << c.what;
        }
        EXPECT_FALSE(log.contains("nell'invio del comando")) << c.what;
        EXPECT_FALSE(log.contains("non accodato")) << c.what;
    }
    if (tvk_debugEnabled()) {
        LogCapture log;
        EXPECT_EQ(d()->sysShutdown(300), 0);
        EXPECT_TRUE(log.contains(" Dbg (findMaster): Invio comando CS a @AUps1\n"));
    }
}

TEST_F(SysCmds, BatteryCheckIsQueuedForTheOwnModule)
{
    ASSERT_NO_FATAL_FAILURE(start("1000", true));
    LogCapture log;
    EXPECT_EQ(d()->sysBatteryCheck(), 0);
    EXPECT_TRUE(log.contains("  (sysBatteryCheck): Check batterie\n"));
    EXPECT_FALSE(log.contains("Add AsyncQuery TB")) << "queued without the queue's log line";
    // The bus thread serves its command queue before the next polling query.
    ASSERT_TRUE(CardFixture::waitFor([&] { return !framesOf("TB").empty(); }, 10000));
    EXPECT_EQ(framesOf("TB")[0], frame('A', '1', "TB", "000"));
    ASSERT_TRUE(CardFixture::waitFor([&] { return d()->asyncQueueSize() == 0; }, 10000));
}

TEST_F(SysCmds, BusyModuleIsTriedFiveTimes)
{
    ASSERT_NO_FATAL_FAILURE(start("1000", true));
    {
        LogCapture log;
        Faults f;
        f.nakCode = '5';
        f.onlyCmd = "CP";
        f.count = 5;   // a sixth attempt would be accepted
        sim().setFaults(f);
        pauses.clear();
        EXPECT_EQ(d()->sysPowerOn(), -5);
        EXPECT_EQ(framesOf("CP").size(), 5u);
        EXPECT_EQ(pauses.pauses(), std::vector<unsigned>(5, 100));
        EXPECT_EQ(log.count(" Err (sendRetried): Errore errno:-5 nell'invio del comando CP al modulo 1@A\n"), 5);
        EXPECT_FALSE(log.contains("ESCO"));
    }
    {
        // Any other refusal ends the sequence at once.
        clearCommands();
        LogCapture log;
        Faults f;
        f.nakCode = '6';
        f.onlyCmd = "CS";
        f.count = 1;
        sim().setFaults(f);
        pauses.clear();
        EXPECT_EQ(d()->sysShutdown(300), -6);
        EXPECT_EQ(framesOf("CS").size(), 1u);
        EXPECT_TRUE(pauses.pauses().empty());
        EXPECT_EQ(log.count(" Err (sendRetried): ESCO\n"), 1);
    }
    {
        // The forced inverter/bypass sequence holds the command-sequence mutex for its
        // whole run and reports only success or failure.
        clearCommands();
        Faults f;
        f.nakCode = '5';
        f.onlyCmd = "CB";
        f.count = 5;
        sim().setFaults(f);
        pauses.clear();
        EXPECT_EQ(d()->sysInv_Byp('B'), -1);
        EXPECT_EQ(framesOf("CB").size(), 5u);
        EXPECT_EQ(seqFreeDuringCB(), 0) << "mutexQCSeq was free during the sequence";
        EXPECT_EQ(pauses.pauses(), std::vector<unsigned>(5, 100));
        myMutex *seq = card->mgr()->mutexQCSeq;
        ASSERT_TRUE(seq->tryLock()) << "released at the end";
        seq->unlock();
    }
}

// The modular system aggregation holds the cabinet data mutex for its whole pass and
// runs the panel commands inside it: the master search and the readiness check of Send
// then read the cabinet records under that hold (the mutex is not recursive).
TEST_F(SysCmds, PanelCommandsRunUnderTheCabinetLock)
{
    ASSERT_NO_FATAL_FAILURE(start("1000", true));
    KESPMgr *k = card->kesp();
    // Runs `call` on another thread while this one holds mutexKESPData; a self-deadlock
    // would leave it hanging, which is reported instead of waited for.
    auto underLock = [&](const std::function<int()> &call, const std::function<void()> &prepare = {}) {
        myMutexLocker lk(k->mutexKESPData);
        if (prepare)
            prepare();
        // The call runs on the holder's behalf while the holder waits for it (as the
        // aggregation pass waits for its commands): it must not take the mutex again.
        auto f = std::async(std::launch::async, [&] { return call(); });
        if (f.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
            ADD_FAILURE() << "blocked on the cabinet data mutex";
            std::abort();
        }
        return f.get();
    };
    struct Case {
        const char *what;
        std::function<int()> call;
        const char *cmd;
        std::string data;
    };
    const Case cases[] = {
        {"shutdown", [&] { return d()->sysShutdown(300, true); }, "CS", "012<"},
        {"restore", [&] { return d()->sysRestore(10, 20, true); }, "CR", "000:0014"},
        {"delete", [&] { return d()->sysDeleteCmd(true); }, "CD", ""},
        {"battery test", [&] { return d()->sysBatteryTest("005", true); }, "TB", "005"},
    };
    for (const Case &c : cases) {
        clearCommands();
        EXPECT_EQ(underLock(c.call), 0) << c.what;
        std::vector<Frame> got = framesOf(c.cmd);
        ASSERT_EQ(got.size(), 1u) << c.what;
        EXPECT_EQ(got[0], frame('A', '1', c.cmd, c.data)) << c.what;
    }
    uint8 box = 9, ups = 9;
    EXPECT_EQ(underLock([&] { return card->mgr()->searchMaster(box, ups, true); }), 0);
    EXPECT_EQ(box, 0);

    // The readiness check reads the record under the hold: a module shown in
    // communication loss (set within the same hold, before module aggregation can
    // publish the record again) is refused without touching the bus.
    clearCommands();
    LogCapture log;
    EXPECT_EQ(underLock([&] { return d()->sysShutdown(300, true); },
                        [&] { k->upsBox[0].pVN->desc.upsBox.subSystem.UPSShelter[0].alarmSt = commLostAlarm; }),
              -1);
    EXPECT_TRUE(log.contains(" Err (Send): IL MODULO NON E` PRONTO A RICEVERE IL COMANDO!!!!\n")) << log.text();
    EXPECT_TRUE(framesOf("CS").empty());
}

TEST_F(SysCmds, NoMasterNothingSent)
{
    ASSERT_NO_FATAL_FAILURE(start("1000", false));
    LogCapture log;
    const std::pair<const char *, std::function<int()>> calls[] = {
        {"power on", [&] { return d()->sysPowerOn(); }},
        {"shutdown", [&] { return d()->sysShutdown(300); }},
        {"restore", [&] { return d()->sysRestore(10, 20); }},
        {"delete", [&] { return d()->sysDeleteCmd(); }},
        {"battery test", [&] { return d()->sysBatteryTest("005"); }},
        {"battery check", [&] { return d()->sysBatteryCheck(); }},
        {"forced bypass", [&] { return d()->sysInv_Byp('B'); }},
    };
    for (const auto &c : calls)
        EXPECT_EQ(c.second(), -1) << c.first;
    EXPECT_EQ(d()->asyncQueueSize(), 0);
    // Let a couple of polling queries pass: no command was left behind on the bus.
    size_t n = sim().receivedCount();
    ASSERT_TRUE(sim().waitReceived(n + 2, 10000));
    EXPECT_EQ(commandCount(), 0u);
    if (tvk_debugEnabled()) {
        EXPECT_TRUE(log.contains("SEARCHING MASTER!!\n"));
    }
}

TEST_F(SysCmds, OtherCabinetsAreReachedThroughTheCabinetBusQueue)
{
    // Card of cabinet A in a plant of cabinets A and C; C holds the master module.
    ASSERT_NO_FATAL_FAILURE(start("1010", false));
    ASSERT_NO_FATAL_FAILURE(showMaster(*card, 2, true));
    uint8 box = 9, ups = 9;
    ASSERT_EQ(card->mgr()->searchMaster(box, ups), 0);
    ASSERT_EQ(box, 2);
    ASSERT_EQ(ups, 0);
    clearCommands();

    KESPMgr *k = card->kesp();
    ASSERT_NE(k, nullptr);
    {
        // A command for the master module in C travels through C's card: queued as QT
        // on the cabinet bus's command queue (served once this card is master), at once,
        // without waiting for the cabinet bus.
        LogCapture log;
        const int before = k->AsyncQCSize();
        EXPECT_EQ(d()->sysShutdown(300), 0);
        EXPECT_EQ(log.count("Add AsyncQuery QT to 0xEC\n"), 1) << log.text();
        EXPECT_FALSE(log.contains("ESCO"));
        EXPECT_LE(k->AsyncQCSize(), before + 1);
    }
    {
        // The battery check for C is queued the same way.
        LogCapture log;
        EXPECT_EQ(d()->sysBatteryCheck(), 0);
        EXPECT_EQ(log.count("Add AsyncQuery QT to 0xEC\n"), 1) << log.text();
        EXPECT_EQ(d()->asyncQueueSize(), 0);
    }
    {
        // Bypass unlock goes to every present cabinet: A's bypass on this bus, C's
        // through C's card; the result is that of the last cabinet.
        LogCapture log;
        EXPECT_EQ(d()->sysBypsUnlock(), 0);
        EXPECT_EQ(log.count("Add AsyncQuery QT to 0xEC\n"), 1) << log.text();
        std::vector<Frame> cu = framesOf("CU");
        ASSERT_EQ(cu.size(), 1u);
        EXPECT_EQ(cu[0], frame('A', '8', "CU", ""));
        EXPECT_FALSE(log.contains("Comando UNLOCK non inviato al Bypass"));
        if (tvk_debugEnabled()) {
            EXPECT_TRUE(log.contains("UNLOCK al BYPASS del BOX A\n"));
            EXPECT_TRUE(log.contains("UNLOCK al BYPASS del BOX C\n"));
            EXPECT_FALSE(log.contains("UNLOCK al BYPASS del BOX B\n"));
        }
    }
    size_t n = sim().receivedCount();
    ASSERT_TRUE(sim().waitReceived(n + 2, 10000));
    EXPECT_EQ(commandCount(), 1u) << "only the unlock of A's bypass";
}
