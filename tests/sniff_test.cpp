// The sniffer's decoder, figures and pcap writer. Frames are built with the
// stand-ins' own framing (KespWire, PowerModuleSim), not with the sniffer's.
#include "KespWire.h"
#include "PowerModuleSim.h"
#include "PtyBench.h"
#include "Sniff.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <chrono>
#include <fstream>
#include <random>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <string>
#include <unistd.h>
#include <vector>

using namespace tvksim;
using sniff::Bus;
using sniff::Event;
using sniff::Role;
using Bytes = std::vector<uint8_t>;

namespace {

Bytes kf(uint8_t src, uint8_t dest, uint8_t m, uint8_t s, const Bytes &data = {}, bool bad = false)
{
    return kesp::makeFrame(src, dest, m, s, data, bad);
}

Bytes df(uint8_t src, uint8_t dest, uint8_t m, uint8_t s, const Bytes &data = {}, bool bad = false)
{
    return PowerModuleSim::makeFrame(src, dest, m, s, data, bad);
}

Bytes cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

// A QT query carrying `inner`, and the broadcast QT reply carrying stamp + `inner`.
Bytes qtQuery(uint8_t src, uint8_t dest, const Bytes &inner) { return kf(src, dest, 'Q', 'T', inner); }
Bytes qtReply(uint8_t src, int32_t stamp, const Bytes &inner)
{
    Bytes d(4);
    memcpy(d.data(), &stamp, 4);
    d.insert(d.end(), inner.begin(), inner.end());
    return kf(src, kesp::BROADCAST, 'Q', 'T', d);
}

// Feeds `bytes` in chunks of `chunk` bytes, 1 ms apart, and flushes.
struct Decoded {
    std::vector<Event> events;
    std::vector<sniff::Frame> frames;
    size_t noiseBytes = 0, frameBytes = 0, broken = 0;
};
Decoded decode(Bus bus, const Bytes &bytes, size_t chunk = 7, int64_t stepUs = 1000)
{
    sniff::Decoder dec(bus);
    Decoded r;
    int64_t t = 1000000;
    for (size_t i = 0; i < bytes.size(); i += chunk) {
        const size_t n = std::min(chunk, bytes.size() - i);
        t += stepUs;
        dec.feed(bytes.data() + i, n, t, r.events);
        EXPECT_LE(dec.pending(), 2 * (bus == Bus::Kesp ? sniff::KESP_MAXFRAME : sniff::DUVEX_MAXFRAME));
    }
    dec.flush(r.events);
    for (const Event &e : r.events) {
        if (e.kind == Event::FrameSeen) {
            r.frames.push_back(e.frame);
            r.frameBytes += e.frame.bytes.size();
        } else if (e.kind == Event::NoiseSeen) {
            r.noiseBytes += e.noise.bytes.size();
            r.broken += e.noise.brokenFrame;
        }
    }
    // Nothing heard is lost or invented.
    EXPECT_EQ(r.noiseBytes + r.frameBytes, bytes.size());
    return r;
}

} // namespace

// ---- Good frames ---------------------------------------------------------------

struct GoodCase {
    const char *name;
    Bus bus;
    Bytes bytes;
    uint8_t src, dest;
    const char *cmd;
    uint16_t len;
    Role role;
};

class SniffGoodFrame : public ::testing::TestWithParam<GoodCase> {};

TEST_P(SniffGoodFrame, DecodedWholeWithRoleAndCheck)
{
    const GoodCase &c = GetParam();
    for (size_t chunk : {size_t(1), size_t(5), c.bytes.size()}) {
        Decoded r = decode(c.bus, c.bytes, chunk);
        ASSERT_EQ(r.frames.size(), 1u) << c.name << " chunk " << chunk;
        const sniff::Frame &f = r.frames[0];
        EXPECT_TRUE(f.checkOk) << c.name;
        EXPECT_EQ(f.src, c.src);
        EXPECT_EQ(f.dest, c.dest);
        EXPECT_EQ(f.mainCmd, uint8_t(c.cmd[0]));
        EXPECT_EQ(f.subCmd, uint8_t(c.cmd[1]));
        EXPECT_EQ(f.dataLen, c.len);
        EXPECT_EQ(int(f.role), int(c.role)) << c.name << ": " << sniff::describe(f);
        EXPECT_EQ(f.skippedBefore, 0u);
        EXPECT_EQ(r.noiseBytes, 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, SniffGoodFrame,
    ::testing::Values(
        GoodCase{"bs_query", Bus::Kesp, kf(0xEA, 0xEB, 'B', 'S'), 0xEA, 0xEB, "BS", 0, Role::Query},
        GoodCase{"bs_reply", Bus::Kesp, kf(0xEB, 0xFF, 'B', 'S', kesp::CabinetImage().bytes()), 0xEB, 0xFF, "BS", 332,
                 Role::Reply},
        GoodCase{"cu_ack", Bus::Kesp, kesp::makeAck(0xEB, 0xEA, 'C', 'U'), 0xEB, 0xEA, "CU", 1, Role::Ack},
        GoodCase{"tb_query_is_no_ack", Bus::Kesp, kf(0xEA, 0x0A, 'T', 'B', {1}), 0xEA, 0x0A, "TB", 1, Role::Query},
        GoodCase{"tb_ack", Bus::Kesp, kesp::makeAck(0x0A, 0xEA, 'T', 'B'), 0x0A, 0xEA, "TB", 1, Role::Ack},
        GoodCase{"busy", Bus::Kesp, kesp::makeNak(0xEB, 0xEA, '5'), 0xEB, 0xEA, "\x15"
                                                                                "5",
                 0, Role::Nak},
        GoodCase{"cn_broadcast", Bus::Kesp, kf(0xE0, 0xFF, 'C', 'N', kesp::CnData().encode()), 0xE0, 0xFF, "CN", 93,
                 Role::Query},
        GoodCase{"gi_from_mu", Bus::Kesp, kf(0x0B, 0xEA, 'G', 'I', kesp::BoardInfo().encode(0x0B)), 0x0B, 0xEA, "GI",
                 64, Role::Reply},
        GoodCase{"qt_query", Bus::Kesp, qtQuery(0xEA, 0xEB, df('A', '1', 'R', 'S')), 0xEA, 0xEB, "QT", 12,
                 Role::Query},
        GoodCase{"duvex_gi_query", Bus::Duvex, df(0x20, '1', 'G', 'I'), 0x20, '1', "GI", 0, Role::Query},
        GoodCase{"duvex_gi_reply", Bus::Duvex, df('1', 0x20, 'G', 'I', Bytes(56, 'x')), '1', 0x20, "GI", 56,
                 Role::Reply},
        GoodCase{"duvex_rs_reply", Bus::Duvex, df('1', 0x20, 'R', 'S', Bytes(58, '0')), '1', 0x20, "RS", 58,
                 Role::Reply},
        GoodCase{"duvex_command_ack", Bus::Duvex, df('1', 'B', 'C', 'B'), '1', 'B', "CB", 0, Role::Ack},
        GoodCase{"duvex_nak", Bus::Duvex, df('1', 0x20, 0x15, '5'), '1', 0x20, "\x15"
                                                                             "5",
                 0, Role::Nak}),
    [](const ::testing::TestParamInfo<GoodCase> &i) { return std::string(i.param.name); });

TEST(Sniff, DuvexGiQueryIsTheDocumentedTwelveBytes)
{
    const Bytes q = {0x02, 0x20, 0x31, 0x47, 0x49, 0x30, 0x30, '0', '1', '4', '1', 0x03};
    sniff::Frame f;
    ASSERT_TRUE(sniff::parseFrame(Bus::Duvex, q.data(), q.size(), f));
    EXPECT_TRUE(f.checkOk);
    EXPECT_EQ(f.checkCalc, 0x141);
}

// ---- QT nesting ------------------------------------------------------------------

TEST(Sniff, QtCarriesTheModuleFrameBothWays)
{
    const Bytes innerQ = df('A', '1', 'G', 'N');
    const Bytes innerR = df('1', 'A', 'G', 'N', Bytes(22, '1'));
    const Bytes badInner = df('1', 'A', 'R', 'S', Bytes(58, '0'), true);
    Decoded r = decode(Bus::Kesp, cat({qtQuery(0xEA, 0xEB, innerQ), qtReply(0xEB, 1234567, innerR),
                                   qtReply(0xEB, 0, badInner), kf(0xEA, 0xEB, 'Q', 'T', {1, 2, 3})}));
    ASSERT_EQ(r.frames.size(), 4u);
    const sniff::Inner &q = r.frames[0].inner;
    ASSERT_TRUE(q.present);
    EXPECT_EQ(q.src, 'A');
    EXPECT_EQ(q.dest, '1');
    EXPECT_EQ(q.mainCmd, 'G');
    EXPECT_EQ(int(q.role), int(Role::Query));
    EXPECT_TRUE(q.checkOk);
    EXPECT_EQ(q.offset, 7u);
    EXPECT_EQ(q.length, innerQ.size());

    EXPECT_EQ(int(r.frames[1].role), int(Role::Reply));
    const sniff::Inner &a = r.frames[1].inner;
    ASSERT_TRUE(a.present);
    EXPECT_EQ(a.stamp, 1234567);
    EXPECT_EQ(a.offset, 11u);
    EXPECT_EQ(int(a.role), int(Role::Reply));
    EXPECT_TRUE(a.checkOk);
    bool sawVA = false;
    for (const auto &kv : sniff::fields(r.frames[1]))
        if (kv.first == "VA")
            sawVA = kv.second == std::to_string(0x11111);
    EXPECT_TRUE(sawVA);
    EXPECT_NE(sniff::describe(r.frames[1]).find("[1->A GN len 22 check ok reply stamp 1234567]"), std::string::npos)
        << sniff::describe(r.frames[1]);

    // The outer frame is good, the inner check code is not: each judged on its own.
    EXPECT_TRUE(r.frames[2].checkOk);
    ASSERT_TRUE(r.frames[2].inner.present);
    EXPECT_FALSE(r.frames[2].inner.checkOk);
    // QT data that hold no module-bus frame.
    EXPECT_FALSE(r.frames[3].inner.present);
    EXPECT_NE(sniff::describe(r.frames[3]).find("no module-bus frame"), std::string::npos);
}

// ---- Noise, resynchronisation, truncation, bad check --------------------------------

struct NoiseCase {
    const char *name;
    Bus bus;
    Bytes bytes;
    size_t goodFrames;      // frames with a good check found
    size_t badFrames;       // frames with ETX in place and a wrong check
    size_t brokenSpans;     // noise spans that held an STX
};

class SniffNoise : public ::testing::TestWithParam<NoiseCase> {};

TEST_P(SniffNoise, ResynchronisesWithoutLosingFrames)
{
    const NoiseCase &c = GetParam();
    for (size_t chunk : {size_t(1), size_t(3), size_t(64)}) {
        Decoded r = decode(c.bus, c.bytes, chunk);
        size_t good = 0, bad = 0;
        for (const auto &f : r.frames)
            (f.checkOk ? good : bad)++;
        EXPECT_EQ(good, c.goodFrames) << c.name << " chunk " << chunk;
        EXPECT_EQ(bad, c.badFrames) << c.name << " chunk " << chunk;
        EXPECT_EQ(r.broken, c.brokenSpans) << c.name << " chunk " << chunk;
    }
}

namespace {
const Bytes kBsQ = kf(0xEA, 0xEB, 'B', 'S');
const Bytes kBsR = kf(0xEB, 0xFF, 'B', 'S', kesp::CabinetImage().bytes());
const Bytes kRsQ = df(0x20, '1', 'R', 'S');
const Bytes kRsR = df('1', 0x20, 'R', 'S', Bytes(58, '7'));
Bytes cut(const Bytes &b, size_t n) { return Bytes(b.begin(), b.begin() + long(n)); }
Bytes wrongEtx(Bytes b)
{
    b.back() = 0x55;
    return b;
}
// Two frames whose bytes alternate on the line.
Bytes interleave(const Bytes &a, const Bytes &b)
{
    Bytes out;
    for (size_t i = 0; i < std::max(a.size(), b.size()); ++i) {
        if (i < a.size())
            out.push_back(a[i]);
        if (i < b.size())
            out.push_back(b[i]);
    }
    return out;
}
// A candidate that announces far more data than follows, with the real frame inside.
Bytes hugeLength() { return {0x02, 0xEA, 0xEB, 'B', 'S', 0x03, 0xF0}; }
} // namespace

INSTANTIATE_TEST_SUITE_P(
    Table, SniffNoise,
    ::testing::Values(
        NoiseCase{"garbage_before", Bus::Kesp, cat({{0x00, 0xFF, 0x13, 0x55}, kBsQ, kBsR}), 2, 0, 0},
        NoiseCase{"stray_stx", Bus::Kesp, cat({{0x02, 0x02, 0x41}, kBsQ}), 1, 0, 1},
        NoiseCase{"wrong_etx", Bus::Kesp, cat({wrongEtx(kBsQ), kBsR}), 1, 0, 1},
        NoiseCase{"bad_crc_kept", Bus::Kesp, cat({kf(0xEA, 0xEB, 'B', 'S', {}, true), kBsR}), 1, 1, 0},
        NoiseCase{"truncated_then_frame", Bus::Kesp, cat({cut(kBsR, 100), kBsQ}), 1, 0, 1},
        NoiseCase{"truncated_at_end", Bus::Kesp, cat({kBsQ, cut(kBsR, 20)}), 1, 0, 1},
        NoiseCase{"length_beyond_limit", Bus::Kesp, cat({{0x02, 0xEA, 0xEB, 'B', 'S', 0x7F, 0xFF}, kBsQ}), 1, 0, 1},
        NoiseCase{"huge_length_swallows_frame", Bus::Kesp, cat({hugeLength(), kBsQ, Bytes(900, 0x00), kBsQ}), 2, 0,
                  1},
        NoiseCase{"collision", Bus::Kesp, cat({interleave(kBsQ, kf(0xEB, 0xEA, 'C', 'U')), kBsR}), 1, 0, 1},
        NoiseCase{"duvex_noise", Bus::Duvex, cat({{'x', 0x02, 'y'}, kRsQ, {0x03}, kRsR}), 2, 0, 1},
        NoiseCase{"duvex_bad_length_chars", Bus::Duvex, cat({{0x02, 0x20, '1', 'R', 'S', 'A', '0'}, kRsQ}), 1, 0, 1},
        NoiseCase{"duvex_bad_check", Bus::Duvex, cat({df('1', 0x20, 'R', 'S', Bytes(58, '7'), true), kRsQ}), 1, 1,
                  0},
        NoiseCase{"duvex_truncated", Bus::Duvex, cat({cut(kRsR, 30), kRsQ, kRsR}), 2, 0, 1}),
    [](const ::testing::TestParamInfo<NoiseCase> &i) { return std::string(i.param.name); });

TEST(Sniff, GoodFrameInsideABadOneWins)
{
    // A header cut off after its length field, then another station's frame whose
    // Dest (0x03) lands where the first header puts its ETX: the first candidate is
    // complete with a wrong check, and the good frame inside it is kept.
    const Bytes good = kf(0xEA, 0x03, 'B', 'S');
    const Bytes line = cat({{0x02, 0xEA, 0xEB, 'C', 'U', 0x00, 0x00}, good, kBsQ});
    Decoded r = decode(Bus::Kesp, line, 64);
    ASSERT_EQ(r.frames.size(), 2u);
    EXPECT_TRUE(r.frames[0].checkOk);
    EXPECT_EQ(r.frames[0].dest, 0x03);
    EXPECT_EQ(r.frames[0].skippedBefore, 7u);
    EXPECT_EQ(r.noiseBytes, 7u);
    EXPECT_EQ(r.broken, 1u);
}

TEST(Sniff, StalledCandidateIsGivenUpAfterTheByteTimeout)
{
    sniff::Decoder dec(Bus::Kesp, 0, 50000);   // 50 ms
    std::vector<Event> ev;
    const Bytes part = cut(kBsR, 40);
    dec.feed(part.data(), part.size(), 1000000, ev);
    EXPECT_TRUE(ev.empty());
    dec.expire(1040000, ev);
    EXPECT_TRUE(ev.empty());   // not yet
    dec.expire(1060000, ev);
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].kind, Event::NoiseSeen);
    EXPECT_EQ(ev[0].noise.bytes.size(), 40u);
    EXPECT_EQ(dec.pending(), 0u);
    // A partial frame followed by a new frame after a silence: the new frame is found
    // at once, not after the old candidate's length has passed.
    ev.clear();
    dec.feed(part.data(), part.size(), 2000000, ev);
    dec.feed(kBsQ.data(), kBsQ.size(), 2200000, ev);
    ASSERT_EQ(ev.size(), 2u);
    EXPECT_EQ(ev[1].kind, Event::FrameSeen);
    EXPECT_EQ(ev[1].frame.skippedBefore, 80u);   // both partial frames since the last frame
}

TEST(Sniff, ChunkTimesAreDatedBackByTheCharacterTime)
{
    sniff::Decoder dec(Bus::Kesp, 1042);   // 9600 baud
    std::vector<Event> ev;
    dec.feed(kBsQ.data(), kBsQ.size(), 5000000, ev);
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].frame.lastUs, 5000000);
    EXPECT_EQ(ev[0].frame.firstUs, 5000000 - 9 * 1042);
    EXPECT_EQ(ev[0].frame.maxGapUs, 1042);
}

TEST(Sniff, AnyBytesStayBounded)
{
    std::mt19937 rng(7);
    for (Bus bus : {Bus::Kesp, Bus::Duvex}) {
        Bytes junk(200000);
        for (auto &b : junk) {
            const unsigned v = rng();
            b = (v & 7) == 0 ? 0x02 : (v & 7) == 1 ? 0x03 : uint8_t(v >> 8);
        }
        junk.insert(junk.end(), kBsQ.begin(), kBsQ.end());
        Decoded r = decode(bus, junk, 333);
        for (const auto &e : r.events) {
            if (e.kind == Event::NoiseSeen) {
                EXPECT_LE(e.noise.bytes.size(), sniff::NOISE_CHUNK);
            }
        }
    }
}

// ---- Figures ---------------------------------------------------------------------

TEST(Sniff, ReplyTimesAgainstTheCabinetBusLimit)
{
    sniff::Stats st(Bus::Kesp);
    auto frameAt = [](const Bytes &b, int64_t first, int64_t last) {
        Event e;
        sniff::parseFrame(Bus::Kesp, b.data(), b.size(), e.frame);
        e.frame.firstUs = first;
        e.frame.lastUs = last;
        e.us = first;
        return e;
    };
    // Answered after 20 ms, after 3.5 s (over the 3 s limit), and not at all.
    EXPECT_EQ(st.add(frameAt(kBsQ, 0, 18000)), -1);
    EXPECT_EQ(st.add(frameAt(kBsR, 38000, 400000)), 20000);
    st.add(frameAt(kBsQ, 1000000, 1018000));
    EXPECT_EQ(st.add(frameAt(kBsR, 4518000, 4900000)), 3500000);
    st.add(frameAt(kBsQ, 6000000, 6018000));
    st.add(frameAt(kf(0xEA, 0xEC, 'B', 'S'), 9000000, 9018000));   // EB never answered
    // A broadcast answer of another command is not a reply to the pending query.
    st.add(frameAt(kf(0xEC, 0xFF, 'B', 'N', Bytes(20, 0)), 9100000, 9120000));

    const auto &eb = st.stations().at(0xEB);
    EXPECT_EQ(eb.replyTime.n, 2u);
    EXPECT_EQ(eb.replyTime.minUs, 20000);
    EXPECT_EQ(eb.replyTime.maxUs, 3500000);
    EXPECT_EQ(eb.replyTime.over, 1u);
    EXPECT_EQ(eb.unanswered, 1u);
    EXPECT_EQ(st.stations().at(0xEC).unanswered, 1u);
    EXPECT_EQ(st.stations().at(0xEA).queries, 4u);
    EXPECT_EQ(eb.holdTime.maxUs, 382000);
    const std::string rep = st.report();
    EXPECT_NE(rep.find("station EB (card of cabinet B)"), std::string::npos) << rep;
    EXPECT_NE(rep.find("over 3000.0 ms: 1"), std::string::npos) << rep;
}

TEST(Sniff, ModuleBusFiguresUseTheFirstByteTimeout)
{
    const sniff::Limits l = sniff::limitsOf(Bus::Duvex);
#if TVK_PROFILE == 3
    EXPECT_EQ(l.replyUs, 1000000);
#else
    EXPECT_EQ(l.replyUs, 4000000);
#endif
    sniff::Stats st(Bus::Duvex);
    std::vector<Event> ev;
    sniff::Decoder dec(Bus::Duvex);
    dec.feed(kRsQ.data(), kRsQ.size(), 1000000, ev);
    dec.feed(kRsR.data(), kRsR.size(), 1000000 + l.replyUs + 500000, ev);
    // A refusal answers the query too.
    dec.feed(kRsQ.data(), kRsQ.size(), 20000000, ev);
    const Bytes nak = df('1', 0x20, 0x15, '5');
    dec.feed(nak.data(), nak.size(), 20010000, ev);
    for (const auto &e : ev)
        st.add(e);
    const auto &m = st.stations().at('1');
    EXPECT_EQ(m.replyTime.n, 2u);
    EXPECT_EQ(m.replyTime.over, 1u);
    EXPECT_EQ(m.naks, 1u);
    EXPECT_EQ(m.unanswered, 0u);
}

// ---- Fields and pcap -----------------------------------------------------------

TEST(Sniff, FieldsOfTheKnownRecords)
{
    kesp::CabinetImage img;
    img.setTimestamp(424242).setVout(0, 231).setVout(1, 232).setVout(2, 233).setFrqOut(499).setIdu(3);
    kesp::CnData cn;
    cn.nextMaster = 0xEC;
    cn.bitStatus = 2;   // forcedOnBypass -2
    struct Case {
        Bus bus;
        Bytes frame;
        const char *key, *value;
    } cases[] = {
        {Bus::Kesp, kf(0xEB, 0xFF, 'B', 'S', img.bytes()), "Vout", "231 232 233"},
        {Bus::Kesp, kf(0xEB, 0xFF, 'B', 'S', img.bytes()), "timestamp", "424242"},
        {Bus::Kesp, kf(0xEB, 0xFF, 'B', 'S', img.bytes()), "Frq_out", "499"},
        {Bus::Kesp, kf(0xEB, 0xFF, 'B', 'S', img.bytes()), "idu", "3"},
        {Bus::Kesp, kf(0xE0, 0xFF, 'C', 'N', cn.encode()), "nextMaster", "EC"},
        {Bus::Kesp, kf(0xE0, 0xFF, 'C', 'N', cn.encode()), "forcedOnBypass", "-2"},
        {Bus::Kesp, kf(0x0A, 0xEA, 'G', 'I', kesp::BoardInfo().encode(0x0A)), "FWVersion", "MU01.02.03"},
        {Bus::Kesp, kesp::makeNak(0xEB, 0xEA, '6'), "refusal code", "6"},
        {Bus::Duvex, df('1', 0x20, 'G', 'N', {'0', '7', '5', '3', '0', '0', '6', '9', '7', '8', '1', ':', '0', '0',
                                              '0', '9', '0', 'E', '6', '1', '?', '4'}),
         "VA", "30000"},
        {Bus::Duvex, df('1', 0x20, 'G', 'I', cat({Bytes(16, 'S'), Bytes(16, 'M'), Bytes(12, 'V'), Bytes(12, '1')})),
         "SWVer", "VVVVVVVVVVVV"},
    };
    for (const Case &c : cases) {
        sniff::Frame f;
        ASSERT_TRUE(sniff::parseFrame(c.bus, c.frame.data(), c.frame.size(), f));
        std::string got = "(missing)";
        for (const auto &kv : sniff::fields(f))
            if (kv.first == c.key)
                got = kv.second;
        EXPECT_EQ(got, c.value) << c.key;
    }
}

TEST(Sniff, PcapFileHoldsOnePacketPerEventWithThePseudoHeader)
{
    char path[] = "/tmp/tvk-sniff-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    {
        sniff::PcapWriter w;
        ASSERT_TRUE(w.open(path));
        Decoded r = decode(Bus::Kesp, cat({{0x55, 0x66}, kBsQ, kf(0xEB, 0xFF, 'B', 'S', kesp::CabinetImage().bytes(), true)}),
                       64);
        ASSERT_EQ(r.events.size(), 3u);
        r.events[1].frame.port = 4;
        r.events[1].frame.collided = true;
        for (const auto &e : r.events)
            w.write(e, Bus::Kesp, 1700000000123456LL);
        Event brk;
        brk.kind = Event::Break;
        w.write(brk, Bus::Kesp, 1700000001000000LL);
        EXPECT_EQ(w.packets(), 4u);
    }
    FILE *f = fopen(path, "rb");
    ASSERT_TRUE(f);
    Bytes all;
    uint8_t b[4096];
    size_t n;
    while ((n = fread(b, 1, sizeof b, f)) > 0)
        all.insert(all.end(), b, b + n);
    fclose(f);
    unlink(path);
    auto u32 = [&](size_t off) {
        uint32_t v;
        memcpy(&v, &all[off], 4);
        return v;
    };
    ASSERT_GE(all.size(), 24u);
    EXPECT_EQ(u32(0), 0xA1B2C3D4u);
    EXPECT_EQ(u32(20), 147u);
    // Packets: noise (2 bytes), BS query (good, port 4, collided, 2 skipped), BS reply (bad check), break.
    struct Want {
        size_t payload;
        uint8_t kind, flagsMask, flagsWant;
    } want[] = {{2, 1, 0x0F, 0x00}, {10, 0, 0x0F, 0x09}, {342, 0, 0x0F, 0x02}, {0, 2, 0x0F, 0x00}};
    size_t off = 24;
    for (const Want &w : want) {
        ASSERT_LE(off + 16 + 8, all.size());
        EXPECT_EQ(u32(off + 8), uint32_t(8 + w.payload));
        const uint8_t *h = &all[off + 16];
        EXPECT_EQ(h[0], 1);
        EXPECT_EQ(h[1], 1);
        EXPECT_EQ(h[2], w.kind);
        EXPECT_EQ(h[3] & w.flagsMask, w.flagsWant);
        if (w.payload == 10) {
            EXPECT_EQ(h[4], 4);
            EXPECT_EQ((h[6] << 8) | h[7], 2);
            EXPECT_EQ(u32(off), 1700000000u);
            EXPECT_EQ(u32(off + 4), 123456u);
        }
        off += 16 + u32(off + 8);
    }
    EXPECT_EQ(off, all.size());
}

// ---- The tool on a line ----------------------------------------------------------

namespace {
std::string readFile(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}
} // namespace

TEST(SniffTool, ListensReadOnlyAndTimesTheReply)
{
    PtyEnd line;
    char dir[] = "/tmp/tvk-sniffdir-XXXXXX";
    ASSERT_TRUE(mkdtemp(dir));
    const std::string out = std::string(dir) + "/out.txt", pcap = std::string(dir) + "/line.pcap";
    const std::string exe = std::string(TVK_BIN_DIR) + "/tarvik-sniff-" + TVK_PROFILE_NAME;
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        FILE *f = freopen(out.c_str(), "w", stdout);
        (void)f;
        dup2(1, 2);
        execl(exe.c_str(), exe.c_str(), line.path().c_str(), "--baud", "9600", "--stats", "--fields", "--duration",
              "3", "--pcap", pcap.c_str(), (char *)nullptr);
        _exit(127);
    }
    // Wait until it listens, then play a query, a reply 40 ms later and a frame with a bad CRC.
    bool listening = false;
    for (int i = 0; i < 1000 && !listening; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        listening = readFile(out).find("listening on") != std::string::npos;
    }
    ASSERT_TRUE(listening) << readFile(out);
    kesp::CabinetImage img;
    img.setVout(0, 229);
    const Bytes q = kf(0xEA, 0xEB, 'B', 'S'), r = kf(0xEB, 0xFF, 'B', 'S', img.bytes());
    const Bytes bad = kf(0xEA, 0xEC, 'B', 'S', {}, true);
    ASSERT_TRUE(line.writePaced(q.data(), q.size(), 9600));
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
    ASSERT_TRUE(line.writePaced(r.data(), r.size(), 9600));
    ASSERT_TRUE(line.writePaced(bad.data(), bad.size(), 9600));
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    const std::string text = readFile(out);
    EXPECT_NE(text.find("EA->EB BS len 0 check ok query"), std::string::npos) << text;
    EXPECT_NE(text.find("EB->FF BS len 332 check ok reply (after "), std::string::npos) << text;
    EXPECT_NE(text.find("Vout = 229 0 0"), std::string::npos) << text;
    EXPECT_NE(text.find("EA->EC BS len 0 check BAD query"), std::string::npos) << text;
    EXPECT_NE(text.find("breaks not reported by this port"), std::string::npos) << text;
    // The reply time: 40 ms of silence, give or take the machine's scheduling.
    const size_t at = text.find("(after ");
    ASSERT_NE(at, std::string::npos);
    const double replyMs = atof(text.c_str() + at + 7);
    EXPECT_GT(replyMs, 30.0);
    EXPECT_LT(replyMs, 1000.0);
    // The program never wrote to the line.
    EXPECT_TRUE(line.read(4096, 50).empty());
    struct stat st;
    ASSERT_EQ(stat(pcap.c_str(), &st), 0);
    EXPECT_EQ(size_t(st.st_size), 24 + 3 * 16 + 3 * 8 + q.size() + r.size() + bad.size());
    unlink(out.c_str());
    unlink(pcap.c_str());
    rmdir(dir);
}
