// One module-bus transaction against the stand-in power module over a pty:
// good replies for every query the card sends, refusals, silence, noise, bad
// check codes, wrong source, late answers, pacing, and a module that vanishes.
#include "DUVEX.h"
#include "Globals.h"
#include "PowerModuleSim.h"
#include "PtyBench.h"
#include "QCMgr.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

using tvksim::Faults;
using tvksim::Frame;
using tvksim::ModuleState;
using tvksim::PowerModuleSim;
using tvksim::PtyEnd;

namespace {

pckStruct pck(uint8 src, uint8 dest, uint8 m, uint8 s, std::vector<uint8> *param = nullptr)
{
    pckStruct p;
    p.Src = src;
    p.Dest = dest;
    p.MainCmd = m;
    p.SubCmd = s;
    p.pParam = param && !param->empty() ? param->data() : nullptr;
    p.ParamLen = param ? uint16(param->size()) : 0;
    return p;
}

class ModuleBus : public ::testing::Test {
protected:
    void SetUp() override
    {
        pty_ = std::make_unique<PtyEnd>();
        sim_ = std::make_unique<PowerModuleSim>(*pty_);
        oldPort_ = serialPort;
        oldBaud_ = deviceBaudRate;
        link_ = pty_->path();
        serialPort = link_.c_str();
        deviceBaudRate = 9600;
        DUVEX_Init();
        ASSERT_NE(DUVEX_Channel(), 255);
    }
    void TearDown() override
    {
        DUVEX_End();
        serialPort = oldPort_;
        deviceBaudRate = oldBaud_;
        sim_.reset();
        pty_.reset();   // removes the /dev/tty... link
    }

    // One transaction for `q` with the reply length the card expects.
    int run(pckStruct q, std::vector<uint8> *replyOut = nullptr)
    {
        QCMgr qc(q, DUVEX_BuildQuery, DUVEX_GetReplyDataLen(q));
        int r = DUVEX_ManageQuery(qc);
        lastQuery_.assign(qc.pckQuery, qc.pckQuery + qc.buildQueryLen);
        if (replyOut)
            replyOut->assign(qc.pckReply, qc.pckReply + qc.expectedReplyLen);
        return r;
    }

    std::unique_ptr<PtyEnd> pty_;
    std::unique_ptr<PowerModuleSim> sim_;
    std::vector<uint8> lastQuery_;
    std::string link_;
    const char *oldPort_ = nullptr;
    int32 oldBaud_ = 0;
};

} // namespace

TEST_F(ModuleBus, EveryQueryOfTheCardGetsItsReply)
{
    std::vector<uint8> rxParam(16, '0');
    std::vector<uint8> clock = {'2', '4', '1', '2', '2', '4', '1', '0', '3', '0', '0', '0'};
    std::vector<uint8> on = {'1'};
    std::vector<uint8> delay = {'0', '1', '2', '<'};
    std::vector<uint8> cm = {'<', '1'};
    struct Case {
        pckStruct q;
        size_t replyLen;
    } cases[] = {
        {pck(0x20, '1', 'G', 'I'), 68},
        {pck(0x20, '1', 'G', 'N'), 34},
        {pck(0x20, '1', 'R', 'S'), 70},
        {pck(0x20, '1', 'R', 'E'), 70},
        {pck(0x20, '1', 'R', 'X', &rxParam), RXDATALENGTH + 12u},
        {pck(0x20, '1', 'R', 'K'), 70},
        {pck(0x20, '1', 'D', 'S'), 70},
        {pck(0x20, '1', 'D', 'E'), 70},
        {pck(0x20, '1', 'G', 'M'), 16},
        {pck(0x20, '1', 'S', 'V'), 16},
        {pck(0x20, '1', 'S', 'T', &clock), 12},
        {pck('A', '8', 'D', 'C', &on), 16},
        {pck('A', '1', 'D', 'C', &on), 12},
        {pck('A', '1', 'C', 'S', &delay), 12},
        {pck('A', '1', 'C', 'M', &cm), 12},
        {pck('A', '8', 'C', 'U'), 12},
#if defined(TVK_MODULAR)
        {pck(0x20, '1', 'R', 'C'), 56},
        {pck(0x20, '1', 'G', 'E'), 28},
#else
        {pck(0x20, '1', 'R', 'A'), 68},
#endif
    };
    for (auto &c : cases) {
        tvktest::LogCapture log;
        sim_->clearReceived();
        std::vector<uint8> reply;
        errnoDuvex = 77;
        ASSERT_EQ(run(c.q, &reply), 0) << c.q.MainCmd << c.q.SubCmd << "\n" << log.text();
        EXPECT_EQ(errnoDuvex, 0);
        ASSERT_EQ(reply.size(), c.replyLen) << c.q.MainCmd << c.q.SubCmd;
        // The stand-in saw exactly the card's frame and the card holds exactly
        // the stand-in's reply.
        ASSERT_EQ(sim_->receivedCount(), 1u);
        EXPECT_EQ(sim_->received()[0], lastQuery_);
        EXPECT_EQ(reply, sim_->replyFor(lastQuery_));
        EXPECT_FALSE(log.contains("FALLITO"));
    }
    EXPECT_EQ(sim_->state().lastClock, "241224103000");
}

// GE: the stand-in keeps its auxiliary firmware text as it reads and sends the
// characters above '9' at positions 7, 8, 10 and 11 lowered by 7.
TEST_F(ModuleBus, GEReplyCarriesTheVersionLowered)
{
    struct Case {
        const char *aux, *wire;
    } cases[] = {{"QTN914-1A-0F", "QTN914-1:-0?"}, {"QTN914-__-__", "QTN914-XX-XX"}, {"QTN914-01-29", "QTN914-01-29"},
                 {"ABCDEFGHIJKL", "ABCDEFGABJDE"}};
    for (const Case &c : cases) {
        sim_->update([&](ModuleState &s) {
            s.SWVer_AUX = c.aux;
            s.tbdGE = {{'1', '2', '3', '4'}};
        });
        const Frame r = sim_->replyFor(PowerModuleSim::makeFrame(0x20, '1', 'G', 'E', {}));
        ASSERT_EQ(r.size(), 28u);
        EXPECT_EQ(std::string(r.begin() + 7, r.begin() + 23), std::string(c.wire) + "1234") << c.aux;
    }
}

TEST_F(ModuleBus, StatusReplyInAllThreeLengths)
{
    for (uint8 io : {'1', '3', '2', '4'}) {
        sim_->update([&](ModuleState &s) { s.IO_Cfg = io; });
        tvktest::LogCapture log;
        std::vector<uint8> reply;
        int r = run(pck(0x20, '1', 'R', 'S'), &reply);
        const unsigned len = io == '1' ? 36 : io == '3' ? 42 : 58;
        EXPECT_EQ(DUVEX_DCd2Dec(reply.data() + 5, 2), len);
#if defined(TVK_STD)
        if (len != 58) {
            EXPECT_EQ(r, -1) << io;
            EXPECT_EQ(errnoDuvex, 254);
            EXPECT_TRUE(log.contains("!!datalen mismatch: expected:58 received:" + std::to_string(len)));
            continue;
        }
#endif
        EXPECT_EQ(r, 0) << io << log.text();
        EXPECT_EQ(errnoDuvex, 0);
    }
}

TEST_F(ModuleBus, MisbehavingModule)
{
    struct Case {
        const char *name;
        Faults f;
        int result;
        uint8 err;
        const char *text;
    };
    Faults nak5;
    nak5.nakCode = '5';
    Faults nak2;
    nak2.nakCode = '2';
    Faults noise;
    noise.noise = {0x00, 0xFF, 0x03, 0x15, 0x31};
    Faults badCrc;
    badCrc.corruptCheck = true;
    Faults wrongSrc;
    wrongSrc.wrongSrc = '2';
    Faults late;
    late.delayMs = 300;
    Faults longer;
    longer.extraData = 4;
    Faults cut;
    cut.cutAfter = 9;
    const Case cases[] = {
        {"busy", nak5, -1, 5, "Err (DUVEX_Decode): Non e' possibile eseguire il comando in questo momento!\n"},
        {"unknown sub-command", nak2, -1, 2, "Err (DUVEX_Decode): SubCmd:N non riconosciuto\n"},
        {"noise before the reply", noise, 0, 0, nullptr},
        {"bad check code", badCrc, -1, 0, "War (DUVEX_Decode): Errore Codice di Controllo\n"},
        {"wrong source", wrongSrc, -1, 0, "War (DUVEX_Decode): Errore Indirizzi"},
        {"late reply", late, 0, 0, nullptr},
        {"longer reply", longer, -1, 0, "Errore Codice di Controllo"},
        {"reply cut after 9 bytes", cut, -1, 255, nullptr},
    };
    for (const Case &c : cases) {
        Faults f = c.f;
        f.count = 1;
        sim_->setFaults(f);
        tvktest::LogCapture log;
        EXPECT_EQ(run(pck(0x20, '1', 'G', 'N')), c.result) << c.name << "\n" << log.text();
        EXPECT_EQ(errnoDuvex, c.err) << c.name;
        if (c.text) {
            EXPECT_TRUE(log.contains(c.text)) << c.name << "\n" << log.text();
        }
        if (c.result != 0) {
            EXPECT_EQ(log.count("Err (DUVEX_ManageQuery): FALLITO Comando GN inviato alla scheda 0x31\n"), 1)
                << c.name;
        }
        // The next exchange is normal again, whatever was left on the line.
        EXPECT_EQ(run(pck(0x20, '1', 'G', 'N')), 0) << c.name;
    }
}

TEST_F(ModuleBus, ModuleRefusesWhatItCannotTake)
{
    // A frame whose check code the module finds wrong, and a command it does not know.
    tvktest::LogCapture log;
    pckStruct q = pck(0x20, '1', 'R', 'E');
    QCMgr qc(q, DUVEX_BuildQuery, DUVEX_GetReplyDataLen(q));
    qc.pckQuery[8] ^= 0x01;
    EXPECT_EQ(DUVEX_ManageQuery(qc), -1);
    EXPECT_EQ(errnoDuvex, 4);
    EXPECT_TRUE(log.contains("CRC o CHKSUM non corretti\n"));

    EXPECT_EQ(run(pck(0x20, '1', 'Q', 'Q')), -1);
    EXPECT_EQ(errnoDuvex, 1);
    EXPECT_TRUE(log.contains("Err (DUVEX_Decode): MainCmd:Q non riconosciuto\n"));
}

TEST_F(ModuleBus, SilentModuleTimesOut)
{
    // The first-byte time-out of the build (4 s, modular 1 s) runs in real time.
    Faults f;
    f.silent = true;
    sim_->setFaults(f);
    tvktest::LogCapture log;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(run(pck(0x20, '1', 'R', 'S')), -1);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(errnoDuvex, 255);
    EXPECT_EQ(log.count("Err (DUVEX_ManageQuery): Errore ricezione: manca il carattere di inizio pacchetto!\n"), 1);
    EXPECT_EQ(log.count("Err (DUVEX_ManageQuery): FALLITO Comando RS inviato alla scheda 0x31\n"), 1);
    EXPECT_GE(ms, int64_t(DUVEX_FIRSTBYTETIMEOUT) - 20);
    EXPECT_LT(ms, int64_t(DUVEX_FIRSTBYTETIMEOUT) + 2000);
    EXPECT_EQ(sim_->receivedCount(), 1u);   // the query did go out
}

TEST_F(ModuleBus, PacedRepliesTakeTheirWireTime)
{
    // 9600 baud: GI query (12 bytes) and reply (68 bytes) take 80 * 10 / 9600 s.
    sim_->setBaud(9600);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(run(pck(0x20, '1', 'G', 'I')), 0);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_GE(ms, 80 * 10 * 1000 / 9600 - 2);
    EXPECT_LT(ms, 1000);
}

TEST_F(ModuleBus, VanishedModuleFailsFastAndReturningModuleIsFoundAgain)
{
    sim_->stop();
    pty_->closeMaster();
    for (int i = 0; i < 3; ++i) {
        tvktest::LogCapture log;
        auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(run(pck(0x20, '1', 'R', 'S')), -1);
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
        EXPECT_LT(ms, 1000);
        EXPECT_TRUE(log.contains("FALLITO Comando RS")) << log.text();
        if (i == 0) {
            // The broken port is given up at once instead of failing every send.
            EXPECT_TRUE(log.contains("Provo a resettare la seriale")) << log.text();
        }
    }
    EXPECT_EQ(DUVEX_Channel(), 255);

    // A module on the same line again: the next transaction opens the port anew.
    sim_.reset();
    pty_.reset();
    pty_ = std::make_unique<PtyEnd>(link_);
    sim_ = std::make_unique<PowerModuleSim>(*pty_);
    EXPECT_EQ(run(pck(0x20, '1', 'R', 'S')), 0);
    EXPECT_NE(DUVEX_Channel(), 255);
}
