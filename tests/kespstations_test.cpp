// Stand-in stations of the cabinet bus on the hub: the MU board, another
// cabinet's card and the hand-over station, answer for answer against frames
// written out by hand from the layouts, their misbehaviour switches, the card's
// master role, and the hand-over policies.
#include "KespHub.h"
#include "KespStations.h"
#include "KespWire.h"
#include "PowerModuleSim.h"
#include "VirtualUPSTypes.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstring>
#include <memory>
#include <poll.h>
#include <sys/wait.h>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <vector>

using namespace tvksim;
namespace k = tvksim::kesp;

namespace {

int64_t monoUs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

Frame byHand(std::vector<uint8_t> head, const std::vector<uint8_t> &data = {})
{
    head.insert(head.end(), data.begin(), data.end());
    uint16_t c = k::crc(head.data() + 1, head.size() - 1);
    head.push_back(uint8_t(c >> 8));
    head.push_back(uint8_t(c & 0xFF));
    head.push_back(0x03);
    return head;
}

std::vector<uint8_t> text(const char *s, size_t width)
{
    std::vector<uint8_t> v(width, ' ');
    for (size_t i = 0; s[i] && i < width; ++i)
        v[i] = uint8_t(s[i]);
    return v;
}

void append(std::vector<uint8_t> &v, const std::vector<uint8_t> &w) { v.insert(v.end(), w.begin(), w.end()); }

std::vector<uint8_t> le32(uint32_t x) { return {uint8_t(x), uint8_t(x >> 8), uint8_t(x >> 16), uint8_t(x >> 24)}; }
std::vector<uint8_t> le16(uint16_t x) { return {uint8_t(x), uint8_t(x >> 8)}; }

// A non-paced hub with a test port playing the querying card.
class Line : public ::testing::Test {
protected:
    void SetUp() override
    {
        HubOptions o;
        o.baud = 0;
        hub_ = std::make_unique<KespHub>(o);
        me_ = hub_->attachLocal("test");
    }
    void TearDown() override
    {
        stations_.clear();
        hub_.reset();
    }
    template <typename T, typename... A> T &add(A &&...a)
    {
        auto p = std::make_unique<T>(hub_->attachLocal("station"), std::forward<A>(a)...);
        T &r = *p;
        stations_.push_back(std::move(p));
        return r;
    }
    // Sends `q` and returns what came back (until 80 ms of quiet).
    std::vector<uint8_t> ask(const Frame &q, int firstMs = 1000)
    {
        drain();
        size_t off = 0;
        while (off < q.size()) {
            ssize_t w = ::write(me_, q.data() + off, q.size() - off);
            if (w <= 0)
                return {};
            off += size_t(w);
        }
        std::vector<uint8_t> out;
        int wait = firstMs;
        for (;;) {
            struct pollfd p = {me_, POLLIN, 0};
            if (poll(&p, 1, wait) <= 0)
                return out;
            uint8_t b[2048];
            ssize_t r = ::read(me_, b, sizeof b);
            if (r <= 0)
                return out;
            out.insert(out.end(), b, b + r);
            wait = 80;
        }
    }
    void drain()
    {
        uint8_t b[2048];
        while (::read(me_, b, sizeof b) > 0) {
        }
    }
    std::unique_ptr<KespHub> hub_;
    int me_ = -1;
    std::vector<std::unique_ptr<KespStation>> stations_;
};

} // namespace

// ---- MU board ----------------------------------------------------------------------

TEST_F(Line, MuBoardAnswersGIWithBigEndianFields)
{
    MuBoardSim &mu = add<MuBoardSim>(1);   // cabinet B: 0x0B
    mu.update([](MuState &s) {
        s.info.SerialNumber = "SN-MU-0123456789";
        s.info.UpsConfig = "CFG";
        s.info.FWVersion = "FW1.2";
        s.info.SkCfg = 0x0203;
        s.info.cfg = {{0x0102, 0x0304, 0x0506, 0x0708, 0x090A, 0x0B0C, 0x0D0E, 0xF00F}};
    });
    std::vector<uint8_t> d;
    append(d, text("SN-MU-0123456789", 16));
    append(d, text("CFG", 16));
    append(d, text("FW1.2", 12));
    append(d, {0x00, 0x0B, 0x02, 0x03, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C,
               0x0D, 0x0E, 0xF0, 0x0F});
    ASSERT_EQ(d.size(), 64u);
    EXPECT_EQ(ask(byHand({0x02, 0xEA, 0x0B, 'G', 'I', 0x00, 0x00})),
              byHand({0x02, 0x0B, 0xEA, 'G', 'I', 0x00, 0x40}, d));
    // On request it answers to everybody.
    mu.update([](MuState &s) { s.broadcastGI = true; });
    EXPECT_EQ(ask(byHand({0x02, 0xEA, 0x0B, 'G', 'I', 0x00, 0x00})),
              byHand({0x02, 0x0B, 0xFF, 'G', 'I', 0x00, 0x40}, d));
    EXPECT_EQ(mu.state().giCount, 2u);
}

TEST_F(Line, MuBoardAcknowledgesSIAndTBAndRefusesWhatItCannotTake)
{
    MuBoardSim &mu = add<MuBoardSim>(0);   // 0x0A
    std::vector<uint8_t> si(16);
    for (size_t i = 0; i < si.size(); ++i)
        si[i] = uint8_t(0x30 + i);
    EXPECT_EQ(ask(byHand({0x02, 0xEB, 0x0A, 'S', 'I', 0x00, 0x10}, si)),
              byHand({0x02, 0x0A, 0xEB, 'S', 'I', 0x00, 0x01, 0x06}));
    EXPECT_EQ(mu.state().lastSI, si);
    EXPECT_EQ(ask(byHand({0x02, 0xEB, 0x0A, 'T', 'B', 0x00, 0x01, 0x01})),
              byHand({0x02, 0x0A, 0xEB, 'T', 'B', 0x00, 0x01, 0x06}));
    EXPECT_EQ(mu.state().lastTB, 1);

    Frame badCheck = byHand({0x02, 0xEB, 0x0A, 'G', 'I', 0x00, 0x00});
    badCheck[7] ^= 0xFF;
    struct Case {
        const char *what;
        Frame q;
        uint8_t code;   // 0: no answer at all
    } cases[] = {
        {"GI with data", byHand({0x02, 0xEB, 0x0A, 'G', 'I', 0x00, 0x01, 0x00}), '3'},
        {"SI of 15 bytes", byHand({0x02, 0xEB, 0x0A, 'S', 'I', 0x00, 0x0F}, std::vector<uint8_t>(15, 0)), '3'},
        {"TB without data", byHand({0x02, 0xEB, 0x0A, 'T', 'B', 0x00, 0x00}), '3'},
        {"unknown sub-command", byHand({0x02, 0xEB, 0x0A, 'G', 'X', 0x00, 0x00}), '2'},
        {"unknown main command", byHand({0x02, 0xEB, 0x0A, 'X', 'X', 0x00, 0x00}), '1'},
        {"wrong check code", badCheck, '4'},
        {"another board's query", byHand({0x02, 0xEB, 0x0B, 'G', 'I', 0x00, 0x00}), 0},
        {"a broadcast", byHand({0x02, 0xEB, 0xFF, 'G', 'I', 0x00, 0x00}), 0},
    };
    for (const auto &c : cases) {
        std::vector<uint8_t> got = ask(c.q, c.code ? 1000 : 150);
        if (c.code)
            EXPECT_EQ(got, byHand({0x02, 0x0A, 0xEB, 0x15, c.code, 0x00, 0x00})) << c.what;
        else
            EXPECT_TRUE(got.empty()) << c.what;
    }
    EXPECT_EQ(mu.state().siCount, 1u);
    EXPECT_EQ(mu.state().tbCount, 1u);
    // Everything it heard is recorded, good or not.
    EXPECT_EQ(mu.heardCount(), 2u + sizeof cases / sizeof cases[0]);

    KespFaults f;
    f.silent = true;
    mu.setFaults(f);
    EXPECT_TRUE(ask(byHand({0x02, 0xEB, 0x0A, 'G', 'I', 0x00, 0x00}), 150).empty());
    mu.clearFaults();
    EXPECT_EQ(ask(byHand({0x02, 0xEB, 0x0A, 'G', 'I', 0x00, 0x00})).size(), 74u);
}

// ---- another cabinet's card ---------------------------------------------------------------

TEST(CabinetImage, OffsetsOfBothLayoutsAgreeWithTheRecords)
{
    const auto &f = k::cabinetOffsets(k::RecordLayout::Full);
    const auto &r = k::cabinetOffsets(k::RecordLayout::Reduced);
    EXPECT_EQ(f.size, 331u);
    EXPECT_EQ(r.size, 267u);
    EXPECT_EQ(f.statusCode, 22);
    EXPECT_EQ(r.statusCode, -1);
    // This build's records (written separately from the card's types) agree.
    const auto &b = k::cabinetOffsets(k::buildLayout());
    EXPECT_EQ(b.size, sizeof(descUpsBox_t));
    EXPECT_EQ(b.upsTimestamp, offsetof(descUpsBox_t, Ups) + offsetof(dataObject_t, timestamp));
    EXPECT_EQ(b.alarm, offsetof(descUpsBox_t, Ups) + offsetof(dataObject_t, alarm));
    EXPECT_EQ(b.vout, offsetof(descUpsBox_t, Ups) + offsetof(dataObject_t, Vout));
    EXPECT_EQ(b.frqOut, offsetof(descUpsBox_t, Ups) + offsetof(dataObject_t, Frq_out));
    EXPECT_EQ(b.vin, offsetof(descUpsBox_t, Ups) + offsetof(dataObject_t, Vin));
    EXPECT_EQ(b.batteries, offsetof(descUpsBox_t, Batteries));
    EXPECT_EQ(b.subSystem, offsetof(descUpsBox_t, subSystem));
    EXPECT_EQ(b.boxStatus, offsetof(descUpsBox_t, boxStatus));
    EXPECT_EQ(b.mcuMuStatus, offsetof(descUpsBox_t, MCUMUStatus));
#if !defined(TVK_MODULAR)
    EXPECT_EQ(size_t(b.statusCode), offsetof(descUpsBox_t, Ups) + offsetof(dataObject_t, statusCode));
    EXPECT_EQ(size_t(b.statusDetail), offsetof(descUpsBox_t, statusDetail));
#endif
}

TEST_F(Line, CardAnswersBSFromItsScriptedRecordInEitherLayout)
{
    CabinetCardSim &card = add<CabinetCardSim>(1);   // 0xEB
    struct Case {
        k::RecordLayout layout;
        size_t voutPhase1;
        int statusCode;
    } cases[] = {{k::RecordLayout::Full, 124, 22}, {k::RecordLayout::Reduced, 117, -1}};
    for (const auto &c : cases) {
        card.update([&](CardState &s) {
            s.bs = k::CabinetImage(c.layout);
            s.bs.setTimestamp(0x11223344).setStatusCode(40).setVout(1, 0x00E6).setIdu(0);
        });
        std::vector<uint8_t> d(332, 0);
        for (size_t at : {0u, 4u}) {
            d[at] = 0x44;
            d[at + 1] = 0x33;
            d[at + 2] = 0x22;
            d[at + 3] = 0x11;
        }
        if (c.statusCode >= 0)
            d[size_t(c.statusCode)] = 40;
        d[c.voutPhase1] = 0xE6;
        d[331] = 0;
        EXPECT_EQ(ask(byHand({0x02, 0xEA, 0xEB, 'B', 'S', 0x00, 0x00})),
                  byHand({0x02, 0xEB, 0xFF, 'B', 'S', 0x01, 0x4C}, d))
            << (c.layout == k::RecordLayout::Full ? "full" : "reduced");
    }
}

TEST_F(Line, CardAnswersBNBIAndQTAndAcknowledgesCommands)
{
    CabinetCardSim &card = add<CabinetCardSim>(2);   // 0xEC
    card.update([](CardState &s) {
        s.bn.timestamp = 0x01020304;
        s.bn.VA = 40000;
        s.bn.W = 36000;
        s.bn.BatteryV = 480;
        s.bn.BatteryAh = 12;
        s.bn.Vout = 230;
        s.bn.FreqOut = 600;
        s.bi.timestamp = 5;
        s.bi.SN = "CAB-C";
        s.bi.Model = "ZVL UPS BOX";
        s.bi.SWVer = "SH1.0FW2.3";
        s.bi.SN_AUX = "AUX";
        s.bi.SWVer_AUX = "";
        s.bi.partialInfo = 0xFC;
    });
    std::vector<uint8_t> bn;
    for (auto v : {le32(0x01020304), le32(40000), le32(36000), le16(480), le16(12), le16(230), le16(600)})
        append(bn, v);
    EXPECT_EQ(ask(byHand({0x02, 0xEA, 0xEC, 'B', 'N', 0x00, 0x00})), byHand({0x02, 0xEC, 0xFF, 'B', 'N', 0x00, 20}, bn));

    std::vector<uint8_t> bi = le32(5);
    auto field = [&](const char *s, size_t w) {
        append(bi, text(s, w - 1));
        bi.push_back(0);
    };
    field("CAB-C", 17);
    field("ZVL UPS BOX", 17);
    field("SH1.0FW2.3", 13);
    append(bi, {'4', '1', '1', '1', '1', '0', '2', '0', '1', '2', '1', '1'});
    field("AUX", 17);
    field("", 13);
    append(bi, {'0', '0', '0', '0', 0xFC});
    ASSERT_EQ(bi.size(), 98u);
    EXPECT_EQ(ask(byHand({0x02, 0xEA, 0xEC, 'B', 'I', 0x00, 0x00})), byHand({0x02, 0xEC, 0xFF, 'B', 'I', 0x00, 98}, bi));

    // QT: the time stamp (host order), then the scripted inner reply.
    const Frame innerQ = PowerModuleSim::makeFrame('A', '1', 'R', 'S', {});
    const Frame innerR = PowerModuleSim::makeFrame('1', 'A', 'R', 'S', std::vector<uint8_t>(58, '0'));
    card.update([&](CardState &s) {
        s.qtTimestamp = 0xA0B0C0D0;
        s.qtInner = innerR;
    });
    std::vector<uint8_t> qt = le32(0xA0B0C0D0);
    append(qt, innerR);
    EXPECT_EQ(ask(byHand({0x02, 0xEA, 0xEC, 'Q', 'T', 0x00, uint8_t(innerQ.size())}, innerQ)),
              byHand({0x02, 0xEC, 0xFF, 'Q', 'T', 0x00, uint8_t(innerR.size() + 4)}, qt));
    EXPECT_EQ(card.state().lastQtQuery, innerQ);
    // Without an inner reply the card keeps quiet (its module is not active yet).
    card.update([](CardState &s) { s.qtInner.clear(); });
    EXPECT_TRUE(ask(byHand({0x02, 0xEA, 0xEC, 'Q', 'T', 0x00, uint8_t(innerQ.size())}, innerQ), 150).empty());

    for (const char *cmd : {"CU", "CH", "UC", "SI"})
        EXPECT_EQ(ask(byHand({0x02, 0xEA, 0xEC, uint8_t(cmd[0]), uint8_t(cmd[1]), 0x00, 0x00})),
                  byHand({0x02, 0xEC, 0xEA, uint8_t(cmd[0]), uint8_t(cmd[1]), 0x00, 0x01, 0x06}))
            << cmd;
    std::vector<uint8_t> sc(374, 0x5A);
    EXPECT_EQ(ask(byHand({0x02, 0xEA, 0xEC, 'S', 'C', 0x01, 0x76}, sc)),
              byHand({0x02, 0xEC, 0xEA, 'S', 'C', 0x00, 0x01, 0x06}));
    EXPECT_EQ(card.state().lastSC, sc);
    EXPECT_EQ(card.state().commands, (std::vector<std::string>{"CU", "CH", "UC", "SI", "SC"}));
    // A data query with data, BE, CN and unknown letters get no answer.
    for (Frame q : {byHand({0x02, 0xEA, 0xEC, 'B', 'S', 0x00, 0x01, 0x00}), byHand({0x02, 0xEA, 0xEC, 'B', 'E', 0x00, 0x00}),
                    byHand({0x02, 0xEA, 0xEC, 'Z', 'Z', 0x00, 0x00})})
        EXPECT_TRUE(ask(q, 150).empty()) << k::describe(q);
}

TEST_F(Line, CardMisbehavesOnRequest)
{
    CabinetCardSim &card = add<CabinetCardSim>(1);
    const Frame bsQuery = byHand({0x02, 0xEA, 0xEB, 'B', 'S', 0x00, 0x00});
    const Frame good = k::makeFrame(0xEB, 0xFF, 'B', 'S', card.state().bs.bytes());
    struct Case {
        const char *what;
        KespFaults f;
        std::function<void(const std::vector<uint8_t> &)> check;
    };
    KespFaults silent, nak, badCheck, shorter, announcesMore, noisy, fromElsewhere;
    silent.silent = true;
    nak.nakCode = '5';
    badCheck.badCheck = true;
    shorter.dataDelta = -1;
    announcesMore.lenFieldDelta = 1;
    noisy.noise = {0x00, 0x02, 0x41};
    fromElsewhere.wrongSrc = 0xEC;
    k::Header h;
    bool ok;
    Case cases[] = {
        {"silent", silent, [](const std::vector<uint8_t> &g) { EXPECT_TRUE(g.empty()); }},
        {"busy", nak, [](const std::vector<uint8_t> &g) { EXPECT_EQ(g, byHand({0x02, 0xEB, 0xEA, 0x15, '5', 0x00, 0x00})); }},
        {"wrong check", badCheck,
         [&](const std::vector<uint8_t> &g) {
             ASSERT_TRUE(k::parse(g, h, &ok));
             EXPECT_FALSE(ok);
             EXPECT_EQ(h.dataLen, 332);
         }},
        {"331 bytes with a good check", shorter,
         [&](const std::vector<uint8_t> &g) {
             ASSERT_TRUE(k::parse(g, h, &ok));
             EXPECT_TRUE(ok);
             EXPECT_EQ(h.dataLen, 331);
         }},
        {"announces 333, sends 332", announcesMore,
         [&](const std::vector<uint8_t> &g) {
             EXPECT_EQ(g.size(), 342u);
             EXPECT_EQ(g[6], 0x4D);
         }},
        {"noise first", noisy,
         [&](const std::vector<uint8_t> &g) {
             std::vector<uint8_t> want = {0x00, 0x02, 0x41};
             append(want, good);
             EXPECT_EQ(g, want);
         }},
        {"wrong sender", fromElsewhere, [&](const std::vector<uint8_t> &g) {
             ASSERT_TRUE(k::parse(g, h, &ok));
             EXPECT_EQ(h.src, 0xEC);
             EXPECT_TRUE(ok);
         }},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.what);
        c.f.count = 1;
        card.setFaults(c.f);
        c.check(ask(bsQuery, c.f.silent ? 150 : 1000));
        EXPECT_EQ(ask(bsQuery), good);   // one answer affected, then back to normal
    }
    // A filter: only BN misbehaves.
    KespFaults onlyBn;
    onlyBn.silent = true;
    onlyBn.onlyCmd = "BN";
    card.setFaults(onlyBn);
    EXPECT_EQ(ask(bsQuery), good);
    EXPECT_TRUE(ask(byHand({0x02, 0xEA, 0xEB, 'B', 'N', 0x00, 0x00}), 150).empty());
    // A late answer.
    KespFaults late;
    late.delayMs = 300;
    card.setFaults(late);
    const int64_t t0 = monoUs();
    EXPECT_EQ(ask(bsQuery), good);
    EXPECT_GE(monoUs() - t0, 300000);
}

TEST(CardMaster, PollsAnotherStationAndCollectsTheAnswer)
{
    KespHub hub;   // paced: the real wire time
    CabinetCardSim a(hub.attachLocal("A"), 0);
    CabinetCardSim b(hub.attachLocal("B"), 1);
    MuBoardSim mu(hub.attachLocal("MU B"), 1);
    b.update([](CardState &s) { s.bs.setTimestamp(77); });
    Frame reply;
    const int64_t t0 = monoUs();
    ASSERT_TRUE(a.query(0xEB, 'B', 'S', {}, 2000, &reply));
    const int64_t took = monoUs() - t0;
    EXPECT_EQ(reply, k::makeFrame(0xEB, 0xFF, 'B', 'S', b.state().bs.bytes()));
    // Query (10 bytes) + turnaround + answer (342 bytes) at 9600 baud.
    EXPECT_GE(took, hub.wireUs(352));
    EXPECT_LT(took, hub.wireUs(352) + 200000);
    ASSERT_TRUE(a.query(0x0B, 'G', 'I', {}, 2000, &reply));
    EXPECT_EQ(reply.size(), 74u);
    // A refusal ends the wait as well; silence times out.
    ASSERT_TRUE(a.query(0x0B, 'S', 'I', {1}, 2000, &reply));
    EXPECT_EQ(reply, k::makeNak(0x0B, 0xEA, '3'));
    EXPECT_FALSE(a.query(0xED, 'B', 'S', {}, 300, &reply));
    // The tap saw the exchange in order.
    auto tap = hub.tap();
    ASSERT_GE(tap.size(), 2u);
    EXPECT_EQ(tap[0].h.src, 0xEA);
    EXPECT_EQ(tap[1].h.src, 0xEB);
    EXPECT_GE(tap[1].firstUs, tap[0].lastUs);
}

// ---- the hand-over station ------------------------------------------------------------------

TEST(Handover, BreakThenFillerThenCN)
{
    HubOptions o;
    o.baud = 9600;
    KespHub hub(o);
    CabinetCardSim b(hub.attachLocal("B"), 1);
    HandoverPlan plan;
    plan.breakSettleMs = 100;
    plan.cabinetMask = 0x05;   // A and C
    plan.bitStatus = 1;
    HandoverStation st(hub.attachLocal("hand-over"), plan, &hub);
    std::atomic<int> breaks{0};
    std::atomic<int64_t> breakAt{0};
    st.setBreakHook([&] {
        breakAt = monoUs();
        ++breaks;
    });
    ASSERT_TRUE(st.handOver(0xEB));
    EXPECT_EQ(breaks.load(), 1);
    EXPECT_EQ(st.currentMaster(), 0xEB);

    TapEntry cn;
    ASSERT_TRUE(hub.waitTap([](const TapEntry &e) { return e.is('C', 'N'); }, 2000, &cn));
    EXPECT_EQ(cn.h.src, 0xE0);
    EXPECT_EQ(cn.h.dest, 0xFF);
    EXPECT_EQ(cn.h.dataLen, 93);
    EXPECT_EQ(cn.bytes.size(), 103u);
    EXPECT_TRUE(cn.checkOk);
    // Order on the line: the break, the filler byte on its own, then the CN.
    auto tap = hub.tap();
    ASSERT_EQ(tap.front().kind, TapEntry::Break);
    EXPECT_GE(cn.firstUs - tap.front().firstUs, 100000);
    // What the station wrote: the filler, then the CN (a loaded hub may read both in
    // one chunk, so the stream is compared, not the chunks).
    std::vector<uint8_t> sent;
    for (const auto &c : hub.raw())
        if (c.port == 1)
            sent.insert(sent.end(), c.bytes.begin(), c.bytes.end());
    std::vector<uint8_t> expected{0x00};
    expected.insert(expected.end(), cn.bytes.begin(), cn.bytes.end());
    EXPECT_EQ(sent, expected);

    // The CN data as laid out (host order).
    const std::vector<uint8_t> d = k::dataOf(cn.bytes);
    int32_t build;
    uint32_t bits;
    std::memcpy(&build, &d[0], 4);
    std::memcpy(&bits, &d[5], 4);
    EXPECT_EQ(build, -1);
    EXPECT_EQ(d[4], 0xEB);
    EXPECT_EQ(bits, 1u);
    for (int i = 0; i < 4; ++i) {
        int32_t sec, epochT, delta, suspended;
        std::memcpy(&suspended, &d[9 + 4 * size_t(i)], 4);
        std::memcpy(&sec, &d[25 + 16 * size_t(i)], 4);
        std::memcpy(&epochT, &d[33 + 16 * size_t(i)], 4);
        std::memcpy(&delta, &d[37 + 16 * size_t(i)], 4);
        EXPECT_EQ(suspended, 0);
        const bool filled = i == 0 || i == 2;
        EXPECT_EQ(epochT, filled ? 1 : 0) << i;
        EXPECT_NEAR(sec, filled ? double(time(nullptr)) : 0.0, 2.0) << i;
        EXPECT_EQ(delta, 0);
    }
    uint32_t tft;
    std::memcpy(&tft, &d[89], 4);
    EXPECT_EQ(tft, 0u);
    // The stand-in card heard and decoded it.
    ASSERT_TRUE(b.waitHeard([](const Heard &h) { return h.h.mainCmd == 'C'; }, 1000));
    EXPECT_EQ(b.state().cnCount, 1u);
    EXPECT_EQ(b.state().lastCn.nextMaster, 0xEB);
    EXPECT_EQ(b.state().lastCn.clk[2].epochT, 1);
}

TEST(Handover, TheBreakReachesTheCardProcessesAsSIGINT)
{
    int pfd[2];
    ASSERT_EQ(pipe(pfd), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        static int out;
        out = pfd[1];
        struct sigaction sa;
        std::memset(&sa, 0, sizeof sa);
        sa.sa_handler = [](int) {
            char c = 'b';
            ssize_t w = ::write(out, &c, 1);
            (void)w;
        };
        sigaction(SIGINT, &sa, nullptr);
        char ready = 'r';
        if (::write(pfd[1], &ready, 1) != 1)
            _exit(1);
        for (;;)
            pause();
    }
    ::close(pfd[1]);
    char c = 0;
    ASSERT_EQ(::read(pfd[0], &c, 1), 1);
    ASSERT_EQ(c, 'r');

    HubOptions o;
    o.baud = 0;
    KespHub hub(o);
    HandoverPlan plan;
    plan.breakSettleMs = 20;
    HandoverStation st(hub.attachLocal("hand-over"), plan, &hub);
    st.setPids({child});
    ASSERT_TRUE(st.handOver(0xEA));
    struct pollfd p = {pfd[0], POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 2000), 1);
    ASSERT_EQ(::read(pfd[0], &c, 1), 1);
    EXPECT_EQ(c, 'b');
    EXPECT_EQ(st.handovers().at(0).signalled, 1);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    ::close(pfd[0]);
}

TEST(Handover, PoliciesOnceRotateAndSilence)
{
    HubOptions o;
    o.baud = 0;
    KespHub hub(o);
    HandoverPlan plan;
    plan.breakSettleMs = 10;
    plan.fillerGapMs = 1;
    plan.firstAfterMs = 50;
    plan.targets = {0xEC};
    plan.policy = HandoverPolicy::Once;
    HandoverStation st(hub.attachLocal("hand-over"), plan, &hub);
    int masterFd = hub.attachLocal("master");

    auto waitCount = [&](size_t n, int ms) {
        for (int i = 0; i < ms / 10 && st.handovers().size() < n; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return st.handovers().size() >= n;
    };
    ASSERT_TRUE(waitCount(1, 3000));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    auto done = st.handovers();
    ASSERT_EQ(done.size(), 1u) << "once: one hand-over, then the role stays";
    EXPECT_EQ(done[0].target, 0xEC);

    // Rotate: every period to the next target.
    plan.policy = HandoverPolicy::Rotate;
    plan.targets = {0xEA, 0xEB};
    plan.periodMs = 150;
    st.setPlan(plan);
    ASSERT_TRUE(waitCount(4, 5000));
    done = st.handovers();
    EXPECT_EQ(done[1].target, 0xEA);
    EXPECT_EQ(done[2].target, 0xEB);
    EXPECT_EQ(done[3].target, 0xEA);
    const double gapMs = (done[3].cnUs - done[2].cnUs) / 1000.0;
    EXPECT_GE(gapMs, 150);
    EXPECT_LT(gapMs, 150 + 10 + 150 + 500) << "a loaded machine may be late, never early";

    // Stop rotating and let a hand-over under way end, so that what follows counts
    // only the silence policy's own.
    plan.policy = HandoverPolicy::Manual;
    st.setPlan(plan);
    for (size_t n = 0; n != st.handovers().size();) {
        n = st.handovers().size();
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
    }

    // Silence: the role moves on only while the master keeps quiet.
    plan.policy = HandoverPolicy::OnSilence;
    plan.targets = {0xEA, 0xEB, 0xEC};
    plan.silenceMs = 400;
    const size_t before = st.handovers().size();
    const size_t tapFrom = hub.tapCount();
    st.setPlan(plan);
    ASSERT_TRUE(hub.waitTap([](const TapEntry &e) { return e.is('C', 'N') && e.bytes[7 + 4] == 0xEA; }, 2000,
                            nullptr, tapFrom));
    // Cabinet A now polls every 50 ms for 600 ms: no hand-over meanwhile.
    const Frame poll = k::makeFrame(0xEA, 0xEB, 'B', 'S');
    for (int i = 0; i < 12; ++i) {
        ASSERT_EQ(::write(masterFd, poll.data(), poll.size()), ssize_t(poll.size()));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    done = st.handovers();
    EXPECT_EQ(done.size(), before + 1);
    // Then it falls silent: the role goes to B about silenceMs later.
    const size_t tapQuiet = hub.tapCount();
    const int64_t quiet = monoUs();
    ASSERT_TRUE(hub.waitTap([](const TapEntry &e) { return e.is('C', 'N') && e.bytes[7 + 4] == 0xEB; }, 3000,
                            nullptr, tapQuiet));
    // The tap hears the CN before the station has noted its hand-over. The first one
    // after the quiet start goes to B (a loaded machine may let a later one follow
    // before this look).
    ASSERT_TRUE(waitCount(before + 2, 2000));
    done = st.handovers();
    EXPECT_EQ(done[before + 1].target, 0xEB);
    EXPECT_GE(done[before + 1].breakUs - quiet, 300000);
}
