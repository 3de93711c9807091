// Reply parsing of the module bus: each reply kind into the module node and the
// cabinet node, the refusals, the locking of DUVEX_ManageDataOn, and a bounded
// random-frame run that must neither crash nor write outside the nodes.
//
// Frames are built here from the frame layout (STX, Src, Dest, MainCmd, SubCmd,
// two length characters, data, four check characters, ETX); the parser does not
// verify the check code (its caller has), so the check characters are "0000".
#include "DUVEXData.h"

#include "DUVEX.h"
#include "Globals.h"
#include "Profile.h"
#include "TestSupport.h"
#include "ThreadDUVEX.h"
#include "ThreadKESP.h"
#include "VirtualUPSMgr.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <chrono>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

using tvktest::LogCapture;

namespace {

constexpr long kTs = 1700001234;
constexpr uint8 kBox = 1;   // cabinet B

// k nibble characters of v, most significant first.
std::string hx(uint32 v, int k)
{
    std::string s(size_t(k), '0');
    for (int i = k - 1; i >= 0; --i) {
        s[size_t(i)] = char(0x30 + (v & 0xF));
        v >>= 4;
    }
    return s;
}

std::vector<uint8> mkFrame(uint8 src, char mc, char sc, const std::string &data, int lenField = -1)
{
    const unsigned n = lenField < 0 ? unsigned(data.size()) : unsigned(lenField);
    std::vector<uint8> f = {0x02, src, 0x20, uint8(mc), uint8(sc), uint8(0x30 + ((n >> 4) & 0xF)),
                            uint8(0x30 + (n & 0xF))};
    f.reserve(f.size() + data.size() + 5);
    for (char c : data)
        f.push_back(uint8(c));
    for (int i = 0; i < 4; ++i)
        f.push_back('0');
    f.push_back(0x03);
    return f;
}

// ---- Reply data builders (offsets as the modules send them) ---------------------------------

struct RsIn {
    std::string flags = "00000";
    uint32 Fin = 500, Vin0 = 230, Fout = 500, Vout0 = 231, Load0 = 0x12, Fbyp = 501, Vbyp0 = 232;
    uint32 vbatRS = 0x0ABC, carica = 0x55, aut = 0x123, temp = 0x1E;
    uint32 Vin1 = 233, Vin2 = 234;
    uint32 Vout1 = 235, Load1 = 0x13, Vbyp1 = 236, Vout2 = 237, Load2 = 0x14, Vbyp2 = 238;
};

std::string rsData(const RsIn &in, size_t len = RSDATALENGTH_TT)
{
    std::string s = in.flags + hx(in.Fin, 3) + hx(in.Vin0, 3) + hx(in.Fout, 3) + hx(in.Vout0, 3) +
                    hx(in.Load0, 2) + hx(in.Fbyp, 3) + hx(in.Vbyp0, 3) + hx(in.vbatRS, 4) + hx(in.carica, 2) +
                    hx(in.aut, 3) + hx(in.temp, 2);
    s += hx(in.Vin1, 3) + hx(in.Vin2, 3);
    s += hx(in.Vout1, 3) + hx(in.Load1, 2) + hx(in.Vbyp1, 3) + hx(in.Vout2, 3) + hx(in.Load2, 2) + hx(in.Vbyp2, 3);
    EXPECT_EQ(s.size(), size_t(RSDATALENGTH_TT));
    return s.substr(0, len);
}

std::string giData(const std::string &sn, const std::string &model, const std::string &sw, const std::string &tail12)
{
    std::string s = sn + model + sw + tail12;
    EXPECT_EQ(s.size(), size_t(GIDATALENGTH));
    return s;
}

std::string gnData(uint32 va, uint32 w, uint32 bv, uint32 bah, uint32 vout, uint32 fout)
{
    return hx(va, 5) + hx(w, 5) + hx(bv, 3) + hx(bah, 3) + hx(vout, 3) + hx(fout, 3);
}

// RE (and modular RK/DE share the 58-byte frame): values at the given offsets.
std::string at(std::string base, size_t off, const std::string &field)
{
    base.replace(off, field.size(), field);
    return base;
}

std::string zeros(size_t n) { return std::string(n, '0'); }

// ---- Fixture: plain local nodes -------------------------------------------------------------

class DuvexData : public ::testing::Test {
protected:
    void SetUp() override
    {
        memset(&M, 0, sizeof M);
        memset(&K, 0, sizeof K);
        M.nodetype = moduleNode;
        K.nodetype = upsBoxNode;
    }
    int parse(const std::vector<uint8> &f, virtualNode_t *m, virtualNode_t *k, uint8 box = kBox, long ts = kTs,
              uint32 wModule = 0)
    {
        // Exactly the frame's bytes on the heap, so that a read past it is caught.
        std::unique_ptr<uint8[]> buf(new uint8[f.size()]);
        memcpy(buf.get(), f.data(), f.size());
        return DUVEX_ParseReply(m, k, box, ts, buf.get(), f.size(), wModule);
    }
    int parse(const std::vector<uint8> &f, uint32 wModule = 0) { return parse(f, &M, &K, kBox, kTs, wModule); }
    dataObject_t &md() { return M.desc.module.data; }
    dataObject_t &kd() { return K.desc.upsBox.Ups; }

    virtualNode_t M;
    virtualNode_t K;
};

bool sameBytes(const void *a, const void *b, size_t n) { return memcmp(a, b, n) == 0; }

// A record field as a plain value: the records are packed, and the assertions take
// their arguments by reference.
template <class T>
T val(T x)
{
    return x;
}

} // namespace

// ---- Replies common to all builds -------------------------------------------------------------

TEST_F(DuvexData, GMIsRefusedWithItsTwoLinesAndChangesNothing)
{
    LogCapture cap;
    const virtualNode_t m0 = M, k0 = K;
    EXPECT_EQ(parse(mkFrame('1', 'G', 'M', "1234")), DUVEX_DATA_EREFUSED);
    EXPECT_EQ(cap.count("Err (DUVEX_ManageData): NON IMPARTIRE LA QUERY GM DALLE CODE!!!\n"), 1);
    EXPECT_EQ(cap.count("Err (DUVEX_ManageData): USARE LA CHIAMATA DIRETTA InsertSingleQC!!!\n"), 1);
    EXPECT_TRUE(sameBytes(&M, &m0, sizeof M));
    EXPECT_TRUE(sameBytes(&K, &k0, sizeof K));
}

TEST_F(DuvexData, DSScalesVoltagesAndNegatesCurrentsOnBattery)
{
    struct Case {
        bool onBattery;
        int32 ip, in;
    } cases[] = {{false, 0x123, 0x0AB}, {true, -0x123, -0x0AB}};
    for (const auto &c : cases) {
        SetUp();
        M.identification.NBattForBench = 20;
        md().Battery_Working = c.onBattery;
        md().timestamp = 77;
        std::string d = zeros(DSDATALENGTH);
        d = at(d, 13, hx(0x0FF, 3));   // 255 -> 20 * 255 / 10 = 510
        d = at(d, 16, hx(0x00B, 3));   // 11  -> 22
        d = at(d, 52, hx(0x123, 3));
        d = at(d, 55, hx(0x0AB, 3));
        const virtualNode_t k0 = K;
        ASSERT_EQ(parse(mkFrame('1', 'D', 'S', d)), DUVEX_DATA_OK);
        EXPECT_EQ(val(md().Vbatp), 510);
        EXPECT_EQ(val(md().Vbatn), 22);
        EXPECT_EQ(val(md().Ibatp), c.ip) << "battery " << c.onBattery;
        EXPECT_EQ(val(md().Ibatn), c.in) << "battery " << c.onBattery;
        EXPECT_EQ(val(md().timestamp), 77) << "DS writes no timestamp";
        EXPECT_TRUE(sameBytes(&K, &k0, sizeof K)) << "DS is not copied to the cabinet";
    }
}

TEST_F(DuvexData, AcknowledgementsOnlyLogAndNeedNoNode)
{
    struct Case {
        char mc, sc;
        const char *line;   // expected text, null: nothing but the final line
    } cases[] = {
        {'C', 'B', "ACK from boxB, comando CB scr:1 dest: \n"}, {'C', 'D', "comando CD"}, {'C', 'F', "comando CF"},
        {'C', 'M', "comando CM"}, {'C', 'P', "comando CP"}, {'C', 'R', "comando CR"}, {'C', 'S', "comando CS"},
        {'C', 'U', "comando CU"}, {'S', 'M', "comando SM"}, {'T', 'B', "comando TB"},
        {'S', 'T', profile::debugLines ? "Dbg (DUVEX_STGetData): box:B\n" : nullptr},
        {'S', 'V', profile::debugLines ? "Dbg (DUVEX_SVGetData): box:B\n" : nullptr}, {'D', 'C', nullptr},
    };
    for (const auto &c : cases) {
        LogCapture cap;
        const std::string data = (c.mc == 'S' && c.sc == 'V') ? "1234" : "";
        EXPECT_EQ(parse(mkFrame('1', c.mc, c.sc, data), nullptr, nullptr), DUVEX_DATA_OK) << c.mc << c.sc;
        if (c.line) {
            EXPECT_TRUE(cap.contains(c.line)) << c.mc << c.sc << "\n" << cap.text();
        }
        EXPECT_FALSE(cap.contains(" Err ")) << cap.text();
    }
}

TEST_F(DuvexData, UnknownCommandsAreReportedAndChangeNothing)
{
    struct Case {
        char mc, sc;
        const char *line;
    } cases[] = {
        {'Z', 'Q', "MainCmd Z non supportato\n"},
        {'R', 'B', "SubCmd B non supportato per il MainCmd R\n"},
        {'C', 'Z', "SubCmd Z non supportato per il MainCmd C\n"},
#if defined(TVK_MODULAR)
        {'R', 'A', "SubCmd A non supportato per il MainCmd R\n"},
        {'R', 'X', "SubCmd X non supportato per il MainCmd R\n"},
#else
        {'R', 'K', "SubCmd K non supportato per il MainCmd R\n"},
        {'D', 'E', "SubCmd E non supportato per il MainCmd D\n"},
        {'G', 'E', "SubCmd E non supportato per il MainCmd G\n"},
#endif
    };
    for (const auto &c : cases) {
        LogCapture cap;
        const virtualNode_t m0 = M, k0 = K;
        EXPECT_EQ(parse(mkFrame('1', c.mc, c.sc, zeros(58))), DUVEX_DATA_EUNSUPP) << c.mc << c.sc;
        EXPECT_TRUE(cap.contains(std::string("Err (DUVEX_ManageData): ") + c.line)) << cap.text();
        EXPECT_TRUE(sameBytes(&M, &m0, sizeof M));
        EXPECT_TRUE(sameBytes(&K, &k0, sizeof K));
    }
}

// A reply shorter than its layout is refused whole, and nothing is read past the frame
// (the buffers are exactly the frame, so a read beyond it fails under the address sanitizer).
TEST_F(DuvexData, RepliesShorterThanTheirLayoutAreRefused)
{
    struct Case {
        char mc, sc;
        unsigned need;
    } cases[] = {
        {'G', 'I', GIDATALENGTH}, {'G', 'N', GNDATALENGTH}, {'R', 'C', RCDATALENGTH}, {'R', 'E', REDATALENGTH},
        {'R', 'S', RSDATALENGTH_MM}, {'D', 'S', DSDATALENGTH},
#if defined(TVK_MODULAR)
        {'G', 'E', GEDATALENGTH}, {'D', 'E', DEDATALENGTH}, {'R', 'K', RKDATALENGTH},
#else
        {'R', 'A', RADATALENGTH}, {'R', 'X', RXDATALENGTH},
#endif
    };
    for (const auto &c : cases) {
        for (unsigned len : {0u, c.need - 1}) {
            LogCapture cap;
            memset(&M, 0x11, sizeof M);
            memset(&K, 0x22, sizeof K);
            const virtualNode_t m0 = M, k0 = K;
            EXPECT_EQ(parse(mkFrame('1', c.mc, c.sc, std::string(len, '9'))), DUVEX_DATA_ESHORT)
                << c.mc << c.sc << " len " << len;
            EXPECT_TRUE(cap.contains("troppo corta")) << cap.text();
            EXPECT_TRUE(sameBytes(&M, &m0, sizeof M)) << c.mc << c.sc;
            EXPECT_TRUE(sameBytes(&K, &k0, sizeof K)) << c.mc << c.sc;
        }
    }
}

// The length field may claim more than the buffer holds: only the buffer is read.
TEST_F(DuvexData, LengthFieldBeyondTheBufferIsNotFollowed)
{
    RsIn in;
    auto f = mkFrame('1', 'R', 'S', rsData(in, RSDATALENGTH_MM), RSDATALENGTH_TT);   // says 58, carries 36
    md().Vin[1] = 999;
    ASSERT_EQ(parse(f), DUVEX_DATA_OK);
    EXPECT_EQ(val(md().Vin[0]), 230);
#if !defined(TVK_MODULAR)
    EXPECT_EQ(val(md().Vin[1]), 0) << "taken as the single-phase layout that the buffer holds";
#else
    EXPECT_EQ(val(md().Vin[1]), 999);
#endif
}

TEST_F(DuvexData, DataReplyForAModuleWithoutNodeIsIgnored)
{
    LogCapture cap;
    const virtualNode_t k0 = K;
    EXPECT_EQ(parse(mkFrame('1', 'R', 'S', rsData(RsIn())), nullptr, &K), DUVEX_DATA_ENONODE);
    // Ignored without a line of its own (the module may be registered later).
    EXPECT_FALSE(cap.contains(" Err (") || cap.contains(" War (")) << cap.text();
    EXPECT_TRUE(sameBytes(&K, &k0, sizeof K));
}

TEST_F(DuvexData, BadArgumentsAreRefused)
{
    LogCapture cap;
    EXPECT_EQ(DUVEX_ParseReply(&M, &K, kBox, kTs, nullptr, 70), DUVEX_DATA_EARG);
    const auto f = mkFrame('1', 'R', 'S', rsData(RsIn()));
    EXPECT_EQ(DUVEX_ParseReply(&M, &K, kBox, kTs, f.data(), 11), DUVEX_DATA_EARG);
    EXPECT_EQ(DUVEX_ParseReply(&M, &K, 4, kTs, f.data(), f.size()), DUVEX_DATA_EARG);
    EXPECT_EQ(DUVEX_ManageData(kBox, kTs, nullptr), DUVEX_DATA_EARG);
    EXPECT_EQ(val(md().timestamp), 0);
    EXPECT_GE(cap.count(" Err (DUVEX_ManageData): "), 4);
}

TEST_F(DuvexData, ManageDataWithoutSystemManagerLogsAndFails)
{
    ASSERT_EQ(pSysMgr, nullptr);
    LogCapture cap;
    auto f = mkFrame('1', 'R', 'S', rsData(RsIn()));
    EXPECT_EQ(DUVEX_ManageData(kBox, kTs, f.data()), DUVEX_DATA_ENOMGR);
    EXPECT_TRUE(cap.contains("Err (DUVEX_ManageData): Gestore di sistema non disponibile")) << cap.text();
}

TEST_F(DuvexData, EveryCallEndsWithTheAnalysedLine)
{
    if (!profile::debugLines)
        GTEST_SKIP() << "no debug lines in this build";
    LogCapture cap;
    parse(mkFrame('1', 'R', 'S', rsData(RsIn())));
    parse(mkFrame('1', 'Z', 'Z', ""));
    auto l = cap.lines();
    ASSERT_FALSE(l.empty());
    EXPECT_NE(l.back().find("Dbg (DUVEX_ManageData): Analizzati dati di ZZ inviati dalla scheda 0x31\n"),
              std::string::npos);
    EXPECT_EQ(cap.count("Analizzati dati di RS inviati dalla scheda 0x31\n"), 1);
}

#if !defined(TVK_MODULAR)

// ---- Naval and standard builds ------------------------------------------------------------------

TEST_F(DuvexData, GIFillsIdentificationAndTerminatesTexts)
{
    memset(&M.identification, 'Z', sizeof M.identification);   // 17th bytes hold 'Z' before
    const identification_t before = M.identification;
    LogCapture cap;
    auto f = mkFrame('1', 'G', 'I',
                     giData("SN0123456789ABCD", "MODEL-TARVIK-XYZ", "FW01.02.0304", "432210142:02"));
    ASSERT_EQ(parse(f), DUVEX_DATA_OK);
    const identification_t &id = M.identification;
    EXPECT_EQ(std::string(id.SN, sizeof id.SN), std::string("SN0123456789ABCD") + '\0');
    EXPECT_EQ(std::string(id.Model, sizeof id.Model), std::string("MODEL-TARVIK-XYZ") + '\0');
    EXPECT_EQ(std::string(id.SWVer, sizeof id.SWVer), std::string("FW01.02.0304") + '\0');
    EXPECT_EQ(val(id.IO_Cfg), TT);
    EXPECT_EQ(val(id.UPS_Type), OnLine);
    EXPECT_EQ(val(id.Boost_Cfg), DoubleBoost);
    EXPECT_EQ(val(id.Buck_Cfg), DoubleBuck);
    EXPECT_EQ(val(id.Error_CTRL), CRC);
    EXPECT_EQ(val(id.PwrShareCfg), NoPWRSHARE);
    EXPECT_EQ(val(id.BattBenches), OneBench);
    EXPECT_EQ(val(id.NBattForBench), '4');   // the byte as sent
    EXPECT_EQ(val(id.ParallelInfo), ParallelUPS_Master);
    EXPECT_EQ(uint8(id.TypeMachine), 0x3A);   // whatever byte the module sends
    EXPECT_EQ(uint8(id.Cover), uint8('0'));
    EXPECT_EQ(uint8(id.TypeInput), uint8('2'));
    EXPECT_EQ(val(id.timestamp), kTs);
    // Left as they were.
    EXPECT_TRUE(sameBytes(id.SN_AUX, before.SN_AUX, sizeof id.SN_AUX));
    EXPECT_TRUE(sameBytes(id.SWVer_AUX, before.SWVer_AUX, sizeof id.SWVer_AUX));
    EXPECT_TRUE(sameBytes(id.tbdGE, before.tbdGE, sizeof id.tbdGE));
    EXPECT_EQ(val(id.partialInfo), before.partialInfo);
    // The cabinet gets the whole record.
    EXPECT_TRUE(sameBytes(&K.identification, &M.identification, sizeof(identification_t)));
    if (profile::debugLines) {
        EXPECT_TRUE(cap.contains("Dbg (DUVEX_GIGetData): SN:SN0123456789ABCD\n")) << cap.text();
        EXPECT_TRUE(cap.contains("Dbg (DUVEX_GIGetData): Error CTRL:1\n"));
        EXPECT_TRUE(cap.contains("Dbg (DUVEX_GIGetData): Timestamp:1700001234 1700001234 [boxId: 1]\n"));
    }
}

TEST_F(DuvexData, GNFillsNominalAndTheCabinetCopy)
{
    ASSERT_EQ(parse(mkFrame('1', 'G', 'N', gnData(0x186A0, 0x13880, 0x1E0, 0x009, 0x0E6, 0x1F4))), DUVEX_DATA_OK);
    const nominal_t &n = M.nominal;
    EXPECT_EQ(val(n.VA), 100000u);
    EXPECT_EQ(val(n.W), 80000u);
    EXPECT_EQ(val(n.BatteryV), 480);
    EXPECT_EQ(val(n.BatteryAh), 9);
    EXPECT_EQ(val(n.Vout), 230);
    EXPECT_EQ(val(n.FreqOut), 500);
    EXPECT_EQ(val(n.timestamp), kTs);
    EXPECT_TRUE(sameBytes(&K.nominal, &M.nominal, sizeof(nominal_t)));
}

// Which state byte raises which summary bit of the alarm byte.
TEST_F(DuvexData, RASummarisesTheStatusCodingIntoTheAlarmBits)
{
    struct Case {
        bool ext;
        int index;
        uint8 alarmBits;   // Warning 1, Anomaly 2, Fault 4, Lock 8
    } cases[] = {
        {false, 0, 1}, {false, 1, 1}, {false, 2, 2}, {false, 7, 2}, {false, 8, 4}, {false, 13, 4 /*+PLO*/},
        {false, 14, 8}, {false, 19, 8}, {true, 0, 1}, {true, 1, 1}, {true, 2, 2}, {true, 3, 2}, {true, 4, 4},
        {true, 5, 4}, {true, 6, 8}, {true, 7, 8},
    };
    for (const auto &c : cases) {
        SetUp();
        md().alarm = 0xF0;   // the other alarm bits are kept
        std::string d = zeros(RADATALENGTH);
        d = at(d, (c.ext ? 40 : 0) + 2 * size_t(c.index), hx(0x01, 2));
        ASSERT_EQ(parse(mkFrame('1', 'R', 'A', d)), DUVEX_DATA_OK);
        EXPECT_EQ(val(md().alarm), uint8(0xF0 | c.alarmBits)) << (c.ext ? "ext " : "") << c.index;
    }
}

TEST_F(DuvexData, RAFillsCodingsAndPassesBatteryAndParallelFlagsToTheCabinet)
{
    std::string d;
    for (int i = 0; i < 20; ++i)
        d += hx(uint32(i == 5 ? 0x00 : i == 13 ? 0x08 : 0xA0 + i), 2);   // no battery flags, ParallelLinkOpen
    for (int i = 0; i < 8; ++i)
        d += hx(uint32(0x30 + i), 2);
    kd().alarm = 0x00;
    kd().switchStatus = 0x00;
    K.desc.upsBox.statusDetail.states[21] = 0x77;   // the whole coding is copied
    ASSERT_EQ(parse(mkFrame('1', 'R', 'A', d)), DUVEX_DATA_OK);
    const descModule_t &mod = M.desc.module;
    EXPECT_EQ(uint8(mod.statusDetail.states[0]), 0xA0);
    EXPECT_EQ(uint8(mod.statusDetail.states[19]), 0xA0 + 19);
    EXPECT_EQ(uint8(mod.statusDetailExt.states[7]), 0x37);
    EXPECT_EQ(val(mod.statusDetail.timestamp), kTs);
    EXPECT_EQ(val(mod.statusDetailExt.timestamp), kTs);
    EXPECT_EQ(val(md().Parallel_Link_Open), 1);
    EXPECT_EQ(val(md().Bt_present), 1);
    EXPECT_EQ(val(kd().Parallel_Link_Open), 1);
    EXPECT_EQ(val(kd().Bt_present), 1);
    EXPECT_EQ(val(kd().alarm), 0x00) << "only the two flags go to the cabinet's data";
    EXPECT_TRUE(sameBytes(&K.desc.upsBox.statusDetail, &mod.statusDetail, sizeof(statusCoding_t)));
    EXPECT_TRUE(sameBytes(&K.desc.upsBox.statusDetailExt, &mod.statusDetailExt, sizeof(statusCodingExt_t)));

    // Either battery half missing clears Bt_present, in the module and the cabinet.
    for (uint32 s5 : {0x20u, 0x40u, 0x60u}) {
        d.replace(10, 2, hx(s5, 2));
        ASSERT_EQ(parse(mkFrame('1', 'R', 'A', d)), DUVEX_DATA_OK);
        EXPECT_EQ(val(md().Bt_present), 0) << s5;
        EXPECT_EQ(val(kd().Bt_present), 0) << s5;
    }
}

TEST_F(DuvexData, RCFillsTheCodingWithoutTheCabinetData)
{
    std::string d;
    for (int i = 0; i < 22; ++i)
        d += hx(uint32(i == 20 ? 0x80 : i == 21 ? 0x01 : i == 5 ? 0x40 : 0), 2);
    d.replace(2 * 9, 2, hx(0x10, 2));   // a fault-group byte
    kd().switchStatus = 0x08;             // Bt_present in the cabinet is not touched
    kd().Parallel_Link_Open = 1;
    ASSERT_EQ(parse(mkFrame('1', 'R', 'C', d)), DUVEX_DATA_OK);
    const statusCoding_t &sd = M.desc.module.statusDetail;
    EXPECT_EQ(uint8(sd.states[20]), 0x80);
    EXPECT_EQ(uint8(sd.states[21]), 0x01);
    EXPECT_EQ(val(sd.BatteryWorking), 1);
    EXPECT_EQ(val(sd.OffForLock), 1);
    EXPECT_EQ(val(sd.timestamp), kTs);
    EXPECT_EQ(val(md().Bt_present), 0);
    EXPECT_EQ(val(md().Fault), 1);
    EXPECT_EQ(val(md().Anomaly), 1) << "byte 5";
    EXPECT_EQ(val(md().Warning | md().Lock), 0) << "bytes 20 and 21 raise no summary bit";
    EXPECT_EQ(val(kd().switchStatus), 0x08);
    EXPECT_EQ(val(kd().Parallel_Link_Open), 1);
    EXPECT_TRUE(sameBytes(&K.desc.upsBox.statusDetail, &sd, sizeof sd));
}

TEST_F(DuvexData, REFillsCurrentsAndPowersAndCopiesTheData)
{
    std::string d = zeros(16);
    d += hx(0x0101, 4) + hx(0x0202, 4) + hx(0x0303, 4);
    d += hx(0x11111, 5) + hx(0x22222, 5) + hx(0x33333, 5);
    d += hx(0x44444, 5) + hx(0x55555, 5) + hx(0x66666, 5);
    ASSERT_EQ(d.size(), size_t(REDATALENGTH));
    ASSERT_EQ(parse(mkFrame('1', 'R', 'E', d)), DUVEX_DATA_OK);
    EXPECT_EQ(val(md().Iout[0]), 0x0101);
    EXPECT_EQ(val(md().Iout[2]), 0x0303);
    EXPECT_EQ(val(md().Watt[0]), 0x11111);
    EXPECT_EQ(val(md().Watt[2]), 0x33333);
    EXPECT_EQ(val(md().Va[0]), 0x44444);
    EXPECT_EQ(val(md().Va[2]), 0x66666);
    EXPECT_EQ(val(md().timestamp), kTs);
    EXPECT_TRUE(sameBytes(&kd(), &md(), sizeof(dataObject_t)));
}

// The three RS layouts: the phases a shorter reply does not carry read as 0.
TEST_F(DuvexData, RSLayoutsByLength)
{
    struct Case {
        size_t len;
        bool threeIn, threeOut;
    } cases[] = {{RSDATALENGTH_TT, true, true}, {RSDATALENGTH_TM, true, false}, {RSDATALENGTH_MM, false, false},
                 {40, false, false} /* not a layout: nothing read from the trailer */};
    for (const auto &c : cases) {
        SetUp();
        for (int i = 0; i < 3; ++i) {
            md().Vin[i] = md().Vout[i] = md().Vbyp[i] = 999;
            md().Load[i] = 99;
        }
        RsIn in;
        ASSERT_EQ(parse(mkFrame('1', 'R', 'S', rsData(in, c.len))), DUVEX_DATA_OK) << c.len;
        EXPECT_EQ(val(md().Frq_in), 500);
        EXPECT_EQ(val(md().Vin[0]), 230);
        EXPECT_EQ(val(md().Frq_out), 500);
        EXPECT_EQ(val(md().Vout[0]), 231);
        EXPECT_EQ(val(md().Load[0]), 0x12);
        EXPECT_EQ(val(md().Frq_byp), 501);
        EXPECT_EQ(val(md().Vbyp[0]), 232);
        EXPECT_EQ(val(md().Carica_adj), 0x55);
        EXPECT_EQ(val(md().Aut_time), 0x123);
        EXPECT_EQ(val(md().Temp0), 30);
        EXPECT_EQ(val(md().Vin[1]), c.threeIn ? 233 : 0) << c.len;
        EXPECT_EQ(val(md().Vin[2]), c.threeIn ? 234 : 0) << c.len;
        EXPECT_EQ(val(md().Vout[1]), c.threeOut ? 235 : 0) << c.len;
        EXPECT_EQ(val(md().Load[1]), c.threeOut ? 0x13 : 0) << c.len;
        EXPECT_EQ(val(md().Vbyp[1]), c.threeOut ? 236 : 0) << c.len;
        EXPECT_EQ(val(md().Vout[2]), c.threeOut ? 237 : 0) << c.len;
        EXPECT_EQ(val(md().Load[2]), c.threeOut ? 0x14 : 0) << c.len;
        EXPECT_EQ(val(md().Vbyp[2]), c.threeOut ? 238 : 0) << c.len;
        EXPECT_EQ(val(md().timestamp), kTs);
        EXPECT_TRUE(sameBytes(&kd(), &md(), sizeof(dataObject_t))) << c.len;
    }
}

TEST_F(DuvexData, RSAutonomyAllOnesMeansUnknown)
{
    struct Case {
        uint32 sent;
        uint16 stored;
    } cases[] = {{0xFFF, 0xFFFF}, {0xFFE, 0xFFE}, {0x000, 0}, {0x100, 0x100}};
    for (const auto &c : cases) {
        RsIn in;
        in.aut = c.sent;
        ASSERT_EQ(parse(mkFrame('1', 'R', 'S', rsData(in))), DUVEX_DATA_OK);
        EXPECT_EQ(val(md().Aut_time), c.stored) << std::hex << c.sent;
    }
    // The "???" of the modules.
    std::string d = rsData(RsIn());
    d.replace(31, 3, "???");
    ASSERT_EQ(parse(mkFrame('1', 'R', 'S', d)), DUVEX_DATA_OK);
    EXPECT_EQ(val(md().Aut_time), 0xFFFF);
}

TEST_F(DuvexData, RSFlagNibbles)
{
    struct Case {
        const char *flags;
        uint8 alarm, status, extStatusMask, switchBeeper;
    } cases[] = {
        // b0: OP, Lock, BW, BLow | b1: OnByp, Eco | b2: BypBad, Charging, -, Replace | b3: ShA, ShI, Test, Beeper
        // | b4: Fault, Overload, Temp
        {"80000", 0x00, 0x01, 0x80, 0}, // output powered, nothing else: UPS_OK
        {"34000", 0x80, 0x02, 0x00, 0}, // battery working + low; Eco requested but forced off
        {"04000", 0x00, 0x00, 0x04, 0}, // Eco on mains
        {"08000", 0x00, 0x04, 0x00, 0}, // on bypass
        {"00=?>", 0x74, 0x30, 0x58, 1}, // bypass bad, charging, replace; all of b3; fault, overload, temperature
        {"4000>", 0x3C, 0x00, 0x00, 0}, // lock; fault, overload, temperature
    };
    for (const auto &c : cases) {
        SetUp();
        RsIn in;
        in.flags = c.flags;
        in.Vin0 = 0;   // Line_Present off, so that status shows only the flag bits
        ASSERT_EQ(parse(mkFrame('1', 'R', 'S', rsData(in))), DUVEX_DATA_OK);
        EXPECT_EQ(val(md().alarm), c.alarm) << c.flags;
        EXPECT_EQ(val(md().status), c.status) << c.flags;
        EXPECT_EQ(val(md().extStatus), c.extStatusMask) << c.flags;
        EXPECT_EQ(val(md().BeeperOn), c.switchBeeper) << c.flags;
    }
}

TEST_F(DuvexData, RSEcoIsForcedOffOnBattery)
{
    struct Case {
        char b0, b1;
        uint8 battery, eco;
    } cases[] = {{'3', '4', 1, 0}, {'2', '4', 1, 0}, {'1', '4', 0, 1}, {'0', '4', 0, 1}, {'0', '0', 0, 0}};
    for (const auto &c : cases) {
        SetUp();
        RsIn in;
        in.flags = std::string{c.b0, c.b1, '0', '0', '0'};
        ASSERT_EQ(parse(mkFrame('1', 'R', 'S', rsData(in))), DUVEX_DATA_OK);
        EXPECT_EQ(val(md().Battery_Working), c.battery) << c.b0 << c.b1;
        EXPECT_EQ(val(md().Eco_Mode), c.eco) << c.b0 << c.b1;
    }
}

TEST_F(DuvexData, RSLinePresentAbove79Volts)
{
    struct Case {
        uint32 vin;
        uint8 present;
    } cases[] = {{80, 1}, {79, 0}, {0, 0}, {230, 1}};
    for (const auto &c : cases) {
        RsIn in;
        in.Vin0 = c.vin;
        ASSERT_EQ(parse(mkFrame('1', 'R', 'S', rsData(in))), DUVEX_DATA_OK);
        EXPECT_EQ(val(md().Line_Present), c.present) << c.vin;
        EXPECT_EQ(val(kd().Line_Present), c.present) << c.vin;
    }
}

// UPS_OK uses Warning and Anomaly as the last RA left them, Fault and Lock from this RS.
TEST_F(DuvexData, RSUpsOkNeedsPoweredOutputOffBypassAndNoAlarm)
{
    struct Case {
        const char *flags;
        uint8 warnAnomalyBefore;   // alarm bits left by RA
        uint8 ok;
    } cases[] = {
        {"80000", 0, 1}, {"00000", 0, 0}, {"88000", 0, 0}, {"80000", 1, 0},
        {"80000", 2, 0}, {"C0000", 0, 0}, {"80008", 0, 0},
    };
    for (const auto &c : cases) {
        SetUp();
        md().alarm = c.warnAnomalyBefore;
        RsIn in;
        in.flags = c.flags;
        ASSERT_EQ(parse(mkFrame('1', 'R', 'S', rsData(in))), DUVEX_DATA_OK);
        EXPECT_EQ(val(md().UPS_OK), c.ok) << c.flags << " alarm before " << int(c.warnAnomalyBefore);
    }
}

std::string rxData(const std::string &flags8, uint32 runSeconds)
{
    std::string s = flags8 + hx(40, 2) + hx(0x1234, 4) + hx(0x1235, 4) + hx(0x0011, 4) + hx(0x0022, 4);
    s += hx(400, 3) + hx(401, 3) + hx(402, 3);
    s += hx(0x0101, 4) + hx(0x0102, 4) + hx(0x0103, 4);
    s += hx(410, 3) + hx(411, 3) + hx(412, 3);
    s += hx(420, 3) + hx(421, 3) + hx(422, 3);
    s += hx(0x0201, 4) + hx(0x0202, 4) + hx(0x0203, 4);
    for (uint32 t : {31u, 32u, 33u, 34u, 21u, 22u})
        s += hx(t, 2);
    s += hx(0x180, 3) + hx(0x181, 3) + hx(0x07, 2) + hx(runSeconds, 6) + zeros(17) + hx(0x0A0B0C0D, 8);
    EXPECT_EQ(s.size(), size_t(RXDATALENGTH));
    return s;
}

TEST_F(DuvexData, RXFillsExtendedMeasurementsAndRunningTime)
{
    struct Case {
        uint32 seconds;
        uint16 h, m, s;
    } cases[] = {{125, 0, 2, 5}, {3725, 1, 2, 5}, {0, 0, 0, 0}, {0xFFFFFF, 4660, 20, 15}};
    for (const auto &c : cases) {
        ASSERT_EQ(parse(mkFrame('1', 'R', 'X', rxData(zeros(8), c.seconds))), DUVEX_DATA_OK);
        EXPECT_EQ(val(md().counterHours), c.h) << c.seconds;
        EXPECT_EQ(val(md().counterMinutes), c.m) << c.seconds;
        EXPECT_EQ(val(md().counterSeconds), c.s) << c.seconds;
    }
    const dataObject_t &d = md();
    EXPECT_EQ(val(d.statusCode), ONLINE);
    EXPECT_EQ(val(d.Vbatp), 0x1234);
    EXPECT_EQ(val(d.Vbatn), 0x1235);
    EXPECT_EQ(val(d.Ibatp), 0x11);
    EXPECT_EQ(val(d.Ibatn), 0x22);
    EXPECT_EQ(val(d.Uin[0]), 400);
    EXPECT_EQ(val(d.Uin[2]), 402);
    EXPECT_EQ(val(d.Iin[0]), 0x0101u);
    EXPECT_EQ(val(d.Iin[2]), 0x0103u);
    EXPECT_EQ(val(d.Ubyp[1]), 411);
    EXPECT_EQ(val(d.Uout[2]), 422);
    EXPECT_EQ(val(d.Iout_pk[0]), 0x0201);
    EXPECT_EQ(val(d.Iout_pk[2]), 0x0203);
    EXPECT_EQ(val(d.powerTemp[0]), 31);
    EXPECT_EQ(val(d.powerTemp[3]), 34);
    EXPECT_EQ(val(d.batteryTemp[0]), 21);
    EXPECT_EQ(val(d.batteryTemp[1]), 22);
    EXPECT_EQ(val(d.DCBusVolt[0]), 0x180);
    EXPECT_EQ(val(d.DCBusVolt[1]), 0x181);
    EXPECT_EQ(val(d.configCounter), 7);
    EXPECT_EQ(val(d.Cent_kwh), 0x0A0B0C0Du);
    EXPECT_EQ(val(d.timestamp), kTs);
    EXPECT_EQ(val(d.FlagExt.timestamp), kTs);
    EXPECT_TRUE(sameBytes(&kd(), &md(), sizeof(dataObject_t)));
}

TEST_F(DuvexData, RXDerivesSwitchAndStatusBitsFromTheExtendedFlags)
{
    struct Case {
        const char *flags8;   // four pairs: FlagExt bytes 0..3
        uint8 switchLow6;     // Q1, INV_on, PFC_on, Bt_present, Rl_out, Rl_in (Q1, Bt_present kept = 1)
        uint8 swout, swmb, master;
    } cases[] = {
        {"00000000", 0x09, 0, 0, 0},
        {"00090000", 0x39, 0, 0, 0},   // releInputClose, releOutputClose
        {"000000:0", 0x09, 0, 0, 0},   // byte 3 0xA0: presence bits only
        {"00000002", 0x0D, 0, 0, 0},   // PFCOn
        {"00000008", 0x0B, 0, 0, 0},   // inverterOn
        {"00<00000", 0x09, 1, 1, 0},   // byte 1 0xC0: switchManualBypassInternalClose, switchOutputInternalClose
        {"00200000", 0x09, 0, 0, 1},   // isMaster
    };
    for (const auto &c : cases) {
        SetUp();
        md().switchStatus = 0xC9;   // Q1, Bt_present, BeeperOn, FreeSW7 kept
        md().status = 0x3F;         // bits 0..5 kept
        md().extStatus = 0xFD;      // all but isMaster kept
        ASSERT_EQ(parse(mkFrame('1', 'R', 'X', rxData(c.flags8, 0))), DUVEX_DATA_OK);
        EXPECT_EQ(val(md().switchStatus & 0x3F), c.switchLow6) << c.flags8;
        EXPECT_EQ(val(md().switchStatus & 0xC0), 0xC0);
        EXPECT_EQ(val(md().status & 0x3F), 0x3F);
        EXPECT_EQ(val(md().SWOUT), c.swout) << c.flags8;
        EXPECT_EQ(val(md().SWMB), c.swmb) << c.flags8;
        EXPECT_EQ(val(md().isMaster), c.master) << c.flags8;
        EXPECT_EQ(val(md().extStatus | 0x02), 0xFF);
    }
}

#else // TVK_MODULAR

// ---- Modular build ----------------------------------------------------------------------------

// GE: every character above '9' at positions 7, 8, 10 and 11 is raised by 7, not only
// the nibble characters ':'..'?'; the others are stored as sent.
TEST_F(DuvexData, ModularGERaisesTheVersionCharactersAboveNine)
{
    struct Case {
        const char *wire;     // data 0..11 as the module sends them
        const char *stored;   // SWVer_AUX afterwards
        bool marked;          // partialInfo bit 1 (not the placeholder)
    } cases[] = {
        {"SWAUX01:;-<?", "SWAUX01AB-CF", true},   // ':'..'?' read as 'A'..'F'
        {"QTN914-1:-0?", "QTN914-1A-0F", true},
        {"QTN914-Q0-00", "QTN914-X0-00", true},   // a letter at each of the four positions
        {"QTN914-0a-00", "QTN914-0h-00", true},
        {"QTN914-00-@0", "QTN914-00-G0", true},
        {"QTN914-00-0Z", "QTN914-00-0a", true},
        {"QTN914-01-29", "QTN914-01-29", true},   // digits stay
        {"QT:;?XA-00-00", "QT:;?XA-00-0", true},  // other positions stay (only 12 characters are taken)
        // The placeholder of a module without auxiliary firmware: its X's are raised like
        // any other character, and it is recognised as it reads then.
        {"QTN914-XX-XX", "QTN914-__-__", false},
    };
    for (const auto &c : cases) {
        SetUp();
        M.identification.partialInfo = 0x01;
        const std::string data = std::string(c.wire).substr(0, 12) + "wxyz";
        ASSERT_EQ(parse(mkFrame('1', 'G', 'E', data)), DUVEX_DATA_OK) << c.wire;
        const identification_t &id = M.identification;
        EXPECT_EQ(std::string(id.SWVer_AUX, sizeof id.SWVer_AUX), std::string(c.stored) + '\0') << c.wire;
        EXPECT_EQ(std::string(reinterpret_cast<const char *>(id.tbdGE), 4), "wxyz");
        EXPECT_EQ(val(id.partialInfo), c.marked ? 0x03 : 0x01) << c.wire;
        EXPECT_EQ(val(id.timestamp), c.marked ? kTs : 0) << c.wire;
    }
}

// The GE reply lowers what the parse raised: what goes to another card is what the
// module sent, and the other card's parse stores exactly this card's record.
TEST_F(DuvexData, ModularGEReplyRoundTripsThroughTheParse)
{
    struct Case {
        const char *stored;
        const char *wire;
    } cases[] = {
        {"QTN914-1A-0F", "QTN914-1:-0?"}, {"SWAUX01AB-CF", "SWAUX01:;-<?"}, {"QTN914-__-__", "QTN914-XX-XX"},
        {"QTN914-zG-aH", "QTN914-s@-ZA"}, {"QTN914-01-29", "QTN914-01-29"}, {"            ", "            "},
    };
    for (const auto &c : cases) {
        identification_t src;
        memset(&src, 'Z', sizeof src);
        memcpy(src.SWVer_AUX, c.stored, 12);
        src.SWVer_AUX[12] = 0;
        memcpy(src.tbdGE, "k1?x", 4);
        uint8 data[GEDATALENGTH];
        DUVEX_GEReplyData(src, data);
        EXPECT_EQ(std::string(reinterpret_cast<const char *>(data), GEDATALENGTH), std::string(c.wire) + "k1?x")
            << c.stored;

        SetUp();
        ASSERT_EQ(parse(mkFrame('1', 'G', 'E', std::string(reinterpret_cast<const char *>(data), GEDATALENGTH))),
                  DUVEX_DATA_OK);
        EXPECT_EQ(std::string(M.identification.SWVer_AUX, 13), std::string(src.SWVer_AUX, 13)) << c.stored;
        EXPECT_TRUE(sameBytes(M.identification.tbdGE, src.tbdGE, 4));
    }
}

// GE and GI each mark their half of the identification; the timestamp waits for both.
TEST_F(DuvexData, ModularGEAndGIMarkTheIdentificationComplete)
{
    struct Case {
        uint8 src;
        uint8 partialBefore;
        const char *aux;
        uint8 partialAfter;
        bool stamped;
    } cases[] = {
        {'1', 0x00, "SWAUX0100-00", 0x02, false},
        {'1', 0x01, "SWAUX0100-00", 0x03, true},
        {'1', 0x01, "QTN914-XX-XX", 0x01, false},
        {'8', 0x01, "SWAUX0100-00", 0x01, false},
    };
    for (const auto &c : cases) {
        SetUp();
        M.identification.partialInfo = c.partialBefore;
        ASSERT_EQ(parse(mkFrame(c.src, 'G', 'E', std::string(c.aux) + "wxyz")), DUVEX_DATA_OK);
        EXPECT_EQ(val(M.identification.partialInfo), c.partialAfter) << c.aux << " from " << c.src;
        EXPECT_EQ(val(M.identification.timestamp), c.stamped ? kTs : 0) << c.aux << " from " << c.src;
    }

    struct GiCase {
        uint8 src;
        uint8 partialBefore;
        bool stamped;
    } gi[] = {{'1', 0x00, false}, {'1', 0x02, true}, {'8', 0x00, true}};
    for (const auto &c : gi) {
        SetUp();
        M.identification.partialInfo = c.partialBefore;
        ASSERT_EQ(parse(mkFrame(c.src, 'G', 'I', giData("SN0123456789ABCD", "MODEL-TARVIK-XYZ", "FW01.02.0304",
                                                         "4322100:2abc"))),
                  DUVEX_DATA_OK);
        EXPECT_EQ(val(M.identification.partialInfo), c.partialBefore | 0x01);
        EXPECT_EQ(val(M.identification.timestamp), c.stamped ? kTs : 0) << c.src << " " << int(c.partialBefore);
    }
}

TEST_F(DuvexData, ModularGIFillsIdentificationOnlyInTheModule)
{
    memset(&M.identification, 'Z', sizeof M.identification);
    const virtualNode_t k0 = K;
    ASSERT_EQ(parse(mkFrame('1', 'G', 'I',
                            giData("SN0123456789ABCD", "MODEL-TARVIK-XYZ", "FW01.02.0304", "4322100:2abc"))),
              DUVEX_DATA_OK);
    const identification_t &id = M.identification;
    EXPECT_EQ(std::string(id.SN, sizeof id.SN), std::string("SN0123456789ABCD") + '\0');
    EXPECT_EQ(std::string(id.SWVer, sizeof id.SWVer), std::string("FW01.02.0304") + '\0');
    EXPECT_EQ(val(id.IO_Cfg), TT);
    EXPECT_EQ(uint8(id.BattBenches), uint8('0'));
    EXPECT_EQ(val(id.NBattForBench), 10) << "the nibble value of ':'";
    EXPECT_EQ(uint8(id.ParallelInfo), uint8('2'));
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(id.tbdGI), 3), "abc");
    EXPECT_TRUE(sameBytes(&K, &k0, sizeof K));

    // '0' leaves the batteries per bench as they are.
    M.identification.NBattForBench = 7;
    ASSERT_EQ(parse(mkFrame('1', 'G', 'I',
                            giData("SN0123456789ABCD", "MODEL-TARVIK-XYZ", "FW01.02.0304", "43221000Xabc"))),
              DUVEX_DATA_OK);
    EXPECT_EQ(val(M.identification.NBattForBench), 7);
}

TEST_F(DuvexData, ModularGNMarksWrongPowerAndDerivesBatteries)
{
    struct Case {
        uint8 src;
        uint32 w, wModule;
        uint8 wrongPower;
    } cases[] = {{'1', 3000, 3000, 0}, {'1', 3000, 0, 0}, {'1', 2500, 3000, 1}, {'8', 2500, 3000, 0}};
    for (const auto &c : cases) {
        SetUp();
        const virtualNode_t k0 = K;
        ASSERT_EQ(parse(mkFrame(c.src, 'G', 'N', gnData(3300, c.w, 240, 9, 230, 500)), &M, &K, kBox, kTs, c.wModule),
                  DUVEX_DATA_OK);
        EXPECT_EQ(val(M.nominal.W), c.w);
        EXPECT_EQ(val(M.nominal.BatteryV), 240);
        EXPECT_EQ(val(M.nominal.timestamp), kTs);
        EXPECT_EQ(val(md().wrongPower), c.wrongPower) << c.src << " " << c.w << " " << c.wModule;
        EXPECT_EQ(val(M.identification.NBattForBench), 20) << "240 / 12 when it was 0";
        EXPECT_TRUE(sameBytes(&K, &k0, sizeof K));
    }
    M.identification.NBattForBench = 3;
    ASSERT_EQ(parse(mkFrame('1', 'G', 'N', gnData(3300, 3000, 240, 9, 230, 500))), DUVEX_DATA_OK);
    EXPECT_EQ(val(M.identification.NBattForBench), 3);
}

TEST_F(DuvexData, ModularRSLayoutsKeepWhatAShortReplyDoesNotCarry)
{
    struct Case {
        size_t len;
        bool threeIn, threeOut;
    } cases[] = {{RSDATALENGTH_TT, true, true}, {RSDATALENGTH_TM, true, false}, {RSDATALENGTH_MM, false, false},
                 {40, false, false}};
    for (const auto &c : cases) {
        SetUp();
        for (int i = 0; i < 3; ++i) {
            md().Vin[i] = md().Vout[i] = md().Vbyp[i] = 999;
            md().Load[i] = 99;
        }
        md().timestamp = 5;
        const virtualNode_t k0 = K;
        ASSERT_EQ(parse(mkFrame('1', 'R', 'S', rsData(RsIn(), c.len))), DUVEX_DATA_OK);
        EXPECT_EQ(val(md().Vin[0]), 230);
        EXPECT_EQ(val(md().VbatRS), 0x0ABC);
        EXPECT_EQ(val(md().Temp0), 30);
        EXPECT_EQ(val(md().Vin[1]), c.threeIn ? 233 : 999) << c.len;
        EXPECT_EQ(val(md().Vin[2]), c.threeIn ? 234 : 999) << c.len;
        EXPECT_EQ(val(md().Vout[1]), c.threeOut ? 235 : 999) << c.len;
        EXPECT_EQ(val(md().Load[2]), c.threeOut ? 0x14 : 99) << c.len;
        EXPECT_EQ(val(md().Vbyp[2]), c.threeOut ? 238 : 999) << c.len;
        EXPECT_EQ(val(md().timestamp), kTs) << "the accessors' freshness rule reads it";
        EXPECT_TRUE(sameBytes(&K, &k0, sizeof K)) << "no cabinet copy";
    }
}

TEST_F(DuvexData, ModularRSFlagsAndBatteryFields)
{
    struct Case {
        const char *flags;
        uint8 btPresent;
        uint8 battery, eco, line, fault, upsOkBefore;
        uint8 carica;
        uint16 aut;
    } cases[] = {
        {"04008", 1, 0, 0, 1, 0, 1, 0x55, 0xFFF},   // Eco needs bits 3 and 2; b4 bit 3 is not Fault here
        {"0<000", 1, 0, 1, 1, 0, 1, 0x55, 0xFFF},
        {"2<000", 0, 1, 1, 0, 0, 1, 0, 0},          // no battery: charge and autonomy 0
    };
    for (const auto &c : cases) {
        SetUp();
        md().Bt_present = c.btPresent;
        md().UPS_OK = c.upsOkBefore;
        RsIn in;
        in.flags = c.flags;
        in.aut = 0xFFF;
        ASSERT_EQ(parse(mkFrame('1', 'R', 'S', rsData(in))), DUVEX_DATA_OK);
        EXPECT_EQ(val(md().Battery_Working), c.battery) << c.flags;
        EXPECT_EQ(val(md().Eco_Mode), c.eco) << c.flags;
        EXPECT_EQ(val(md().Line_Present), c.line) << c.flags;
        EXPECT_EQ(val(md().Fault), c.fault) << c.flags;
        EXPECT_EQ(val(md().UPS_OK), c.upsOkBefore) << "not derived here";
        EXPECT_EQ(val(md().Carica_adj), c.carica) << c.flags;
        EXPECT_EQ(val(md().Aut_time), c.aut) << c.flags;
    }
}

TEST_F(DuvexData, ModularREDEAndRKFillTheirFieldsOnly)
{
    std::string re = zeros(16) + hx(0x0101, 4) + hx(0x0202, 4) + hx(0x0303, 4) + hx(0x11111, 5) + hx(0x22222, 5) +
                     hx(0x33333, 5) + hx(0x44444, 5) + hx(0x55555, 5) + hx(0x66666, 5);
    md().timestamp = 5;
    const virtualNode_t k0 = K;
    ASSERT_EQ(parse(mkFrame('1', 'R', 'E', re)), DUVEX_DATA_OK);
    EXPECT_EQ(val(md().Iout[1]), 0x0202);
    EXPECT_EQ(val(md().Watt[1]), 0x22222);
    EXPECT_EQ(val(md().Va[2]), 0x66666);
    EXPECT_EQ(val(md().timestamp), 5);

    std::string de = zeros(DEDATALENGTH);
    de = at(de, 43, hx(0x0A01, 4));
    de = at(de, 47, hx(0x0A02, 4));
    de = at(de, 51, hx(0x0A03, 4));
    const dataObject_t before = md();
    ASSERT_EQ(parse(mkFrame('1', 'D', 'E', de)), DUVEX_DATA_OK);
    EXPECT_EQ(val(md().Iin[0]), 0x0A01u);
    EXPECT_EQ(val(md().Iin[2]), 0x0A03u);
    dataObject_t expect = before;
    for (int i = 0; i < 3; ++i)
        expect.Iin[i] = 0x0A01u + uint32(i);
    EXPECT_TRUE(sameBytes(&md(), &expect, sizeof expect)) << "DE writes nothing else";

    std::string rk = zeros(RKDATALENGTH);
    for (int i = 0; i < 3; ++i)
        rk = at(rk, 34 + 4 * size_t(i), hx(0x0B01 + uint32(i), 4));
    for (int i = 0; i < 6; ++i)
        rk = at(rk, 46 + 2 * size_t(i), hx(0x21 + uint32(i), 2));
    ASSERT_EQ(parse(mkFrame('1', 'R', 'K', rk)), DUVEX_DATA_OK);
    EXPECT_EQ(val(md().Iout_pk[0]), 0x0B01);
    EXPECT_EQ(val(md().Iout_pk[2]), 0x0B03);
    EXPECT_EQ(val(md().Temp1), 0x21);
    EXPECT_EQ(val(md().Temp6), 0x26);
    EXPECT_TRUE(sameBytes(&K, &k0, sizeof K));
}

TEST_F(DuvexData, ModularRCReversesTheBitsOfEachNibble)
{
    struct Case {
        const char *pair;
        uint8 byte;
    } cases[] = {{"10", 0x08}, {"01", 0x80}, {"18", 0x18}, {"?0", 0x0F}, {"3<", 0x3C}, {"00", 0x00}};
    for (const auto &c : cases) {
        std::string d = zeros(RCDATALENGTH);
        d.replace(2 * 8, 2, c.pair);   // state byte 8 (fault group)
        ASSERT_EQ(parse(mkFrame('1', 'R', 'C', d)), DUVEX_DATA_OK);
        EXPECT_EQ(uint8(M.desc.module.statusDetail.states[8]), c.byte) << c.pair;
        EXPECT_EQ(val(md().Fault), c.byte != 0) << c.pair;
        EXPECT_EQ(val(M.desc.module.statusDetail.timestamp), kTs);
    }
}

#endif // TVK_MODULAR

// ---- Through the bus thread objects: node lookup and locks ---------------------------------------

class DuvexDataMgr : public DuvexData {
protected:
    void SetUp() override
    {
        DuvexData::SetUp();
        duvex.reset(new DUVEXMgr(nullptr));
        kesp.reset(new KESPMgr(nullptr));
        duvex->ModulesData[kBox][0].pVN = &M;
        kesp->upsBox[kBox].pVN = &K;
    }
    int manage(const std::vector<uint8> &f, bool cabinetLockHeld = false)
    {
        return DUVEX_ManageDataOn(duvex.get(), kesp.get(), 0, kBox, kTs, f.data(), f.size(), cabinetLockHeld);
    }
    static bool isFree(myMutex *m)
    {
        if (!m->tryLock())
            return false;
        m->unlock();
        return true;
    }
    std::unique_ptr<DUVEXMgr> duvex;
    std::unique_ptr<KESPMgr> kesp;
};

TEST_F(DuvexDataMgr, ReplyReachesTheRegisteredNodesAndLeavesTheLocksFree)
{
#if !defined(TVK_MODULAR)
    const auto f = mkFrame('1', 'R', 'E', zeros(16) + hx(0x0101, 4) + zeros(REDATALENGTH - 20));
    ASSERT_EQ(manage(f), DUVEX_DATA_OK);
    EXPECT_EQ(val(md().Iout[0]), 0x0101);
    EXPECT_EQ(val(kd().Iout[0]), 0x0101);
#else
    const auto f = mkFrame('1', 'R', 'E', zeros(16) + hx(0x0101, 4) + zeros(REDATALENGTH - 20));
    ASSERT_EQ(manage(f), DUVEX_DATA_OK);
    EXPECT_EQ(val(md().Iout[0]), 0x0101);
#endif
    EXPECT_TRUE(isFree(duvex->mutexDuvexData));
    EXPECT_TRUE(isFree(kesp->mutexKESPData));
}

TEST_F(DuvexDataMgr, UnregisteredOrUnknownModulesAreIgnored)
{
    const auto rs = rsData(RsIn());
    duvex->ModulesData[kBox][0].pVN = nullptr;
    EXPECT_EQ(manage(mkFrame('1', 'R', 'S', rs)), DUVEX_DATA_ENONODE);
    EXPECT_EQ(manage(mkFrame('2', 'R', 'S', rs)), DUVEX_DATA_ENONODE) << "no slot for module 2";
    EXPECT_EQ(manage(mkFrame('8', 'R', 'S', rs)), DUVEX_DATA_ENONODE) << "no node for the bypass";
    EXPECT_EQ(manage(mkFrame('8', 'S', 'V', "1234")), DUVEX_DATA_OK) << "acknowledgements need no node";
    EXPECT_EQ(val(md().timestamp), 0);
    EXPECT_EQ(val(kd().timestamp), 0);
}

TEST_F(DuvexDataMgr, MissingManagersAreReportedNotFollowed)
{
    LogCapture cap;
    const auto rs = mkFrame('1', 'R', 'S', rsData(RsIn()));
    EXPECT_EQ(DUVEX_ManageDataOn(nullptr, kesp.get(), 0, kBox, kTs, rs.data(), rs.size(), false),
              DUVEX_DATA_ENOMGR);
    EXPECT_EQ(val(md().Vin[0]), 0);
#if !defined(TVK_MODULAR)
    // The module is written, the cabinet copy cannot be.
    EXPECT_EQ(DUVEX_ManageDataOn(duvex.get(), nullptr, 0, kBox, kTs, rs.data(), rs.size(), false),
              DUVEX_DATA_ENOMGR);
    EXPECT_EQ(val(md().Vin[0]), 230);
    kesp->upsBox[kBox].pVN = nullptr;
    EXPECT_EQ(manage(rs), DUVEX_DATA_ENONODE);
#endif
    EXPECT_GE(cap.count(" Err (DUVEX_ManageData): "), 1);
}

// A caller that holds the cabinet data mutex (the cabinet bus storing a relayed reply)
// says so; the cabinet record is then written without taking it again.
TEST_F(DuvexDataMgr, CallerHoldingTheCabinetLockIsNotBlocked)
{
    kesp->mutexKESPData->lock();
    const int rc = manage(mkFrame('1', 'R', 'S', rsData(RsIn())), true);
    kesp->mutexKESPData->unlock();
    EXPECT_EQ(rc, DUVEX_DATA_OK);
    EXPECT_EQ(val(md().Vin[0]), 230);
#if !defined(TVK_MODULAR)
    EXPECT_EQ(val(kd().Vin[0]), 230);
#endif
}

// The module record is written under the module lock and the cabinet record under the
// cabinet lock, one after the other: while another thread holds the cabinet lock the
// module is already updated and the module lock is free again.
TEST_F(DuvexDataMgr, ModuleAndCabinetLocksAreNotNested)
{
#if defined(TVK_MODULAR)
    GTEST_SKIP() << "the modular replies are not copied into the cabinet record";
#else
    kesp->mutexKESPData->lock();
    std::atomic<int> rc{1};
    const auto f = mkFrame('1', 'R', 'S', rsData(RsIn()));
    std::thread worker([&] { rc = manage(f); });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    bool moduleWritten = false;
    while (!moduleWritten && std::chrono::steady_clock::now() < deadline) {
        if (duvex->mutexDuvexData->tryLock()) {   // read the module only under its lock
            moduleWritten = md().timestamp == kTs;
            duvex->mutexDuvexData->unlock();
        }
        if (!moduleWritten)
            std::this_thread::yield();
    }
    EXPECT_TRUE(moduleWritten);
    EXPECT_EQ(val(kd().timestamp), 0) << "cabinet written without its lock";
    EXPECT_EQ(rc.load(), 1);
    kesp->mutexKESPData->unlock();
    worker.join();
    EXPECT_EQ(rc.load(), DUVEX_DATA_OK);
    EXPECT_EQ(val(kd().timestamp), kTs);
#endif
}

// ---- Random and mutated frames ----------------------------------------------------------------------

namespace {

struct Guarded {
    uint8 pre[64];
    virtualNode_t node;
    uint8 post[64];
};

constexpr uint8 kGuard = 0xA5;

bool guardsIntact(const Guarded &g)
{
    for (uint8 b : g.pre)
        if (b != kGuard)
            return false;
    for (uint8 b : g.post)
        if (b != kGuard)
            return false;
    return true;
}

} // namespace

TEST(DuvexDataFuzz, RandomAndMutatedFramesStayInsideFrameAndNodes)
{
    constexpr int kFrames = 100000;
    std::mt19937 rng(20240611u);
    auto rnd = [&](unsigned n) { return unsigned(rng() % n); };

    std::unique_ptr<Guarded> gm(new Guarded), gk(new Guarded);
    memset(gm.get(), kGuard, sizeof(Guarded));
    memset(gk.get(), kGuard, sizeof(Guarded));

    // Seeds: one well-formed reply of every kind the parser knows, and a few it does not.
    std::vector<std::vector<uint8>> seeds;
    const char *cmds[] = {"GI", "GN", "GM", "GE", "RA", "RC", "RE", "RS", "RX", "RK", "RB", "DS", "DE",
                          "DC", "CB", "CM", "SM", "ST", "SV", "TB", "ZZ"};
    for (const char *c : cmds) {
        unsigned n = DUVEX_ReplyLayoutLen(uint8(c[0]), uint8(c[1]));
        seeds.push_back(mkFrame('1', c[0], c[1], std::string(n, '5')));
    }
    seeds.push_back(mkFrame('1', 'R', 'S', rsData(RsIn(), RSDATALENGTH_TM)));
    seeds.push_back(mkFrame('1', 'R', 'S', rsData(RsIn(), RSDATALENGTH_MM)));
    const std::string letters = "GRDCSTEIMNAXKBVZ";

    // Log lines are counted, not kept.
    std::atomic<long> lines{0};
    struct SinkGuard {
        ~SinkGuard() { tvk_setLogSink(LogSink()); }
    } sinkGuard;
    tvk_setLogSink([&](const std::string &) { ++lines; });

    long handled = 0;
    for (int i = 0; i < kFrames; ++i) {
        std::vector<uint8> f;
        const unsigned mode = rnd(3);
        if (mode == 0) {
            // A well-formed frame whose data carry any bytes at all.
            f = seeds[rnd(unsigned(seeds.size()))];
            const size_t dataLen = f.size() - 12;
            for (unsigned e = 0, n = 1 + rnd(8); dataLen > 0 && e < n; ++e)
                f[7 + rnd(unsigned(dataLen))] = rnd(2) ? uint8(rng()) : uint8(0x30 + rnd(16));
        } else if (mode == 1) {
            f = seeds[rnd(unsigned(seeds.size()))];
            const unsigned edits = 1 + rnd(6);
            for (unsigned e = 0; e < edits; ++e) {
                switch (rnd(5)) {
                case 0: f[rnd(unsigned(f.size()))] = uint8(rng()); break;   // any byte
                case 1:                                                      // length field
                    if (f.size() > 6)
                        f[5 + rnd(2)] = uint8(0x30 + rnd(20));
                    break;
                case 2:   // command letters
                    if (f.size() > 4)
                        f[3 + rnd(2)] = uint8(letters[rnd(unsigned(letters.size()))]);
                    break;
                case 3: f.resize(rnd(unsigned(f.size()) + 1)); break;                           // cut short
                default: f.resize(f.size() + rnd(40), uint8(0x30 + rnd(16))); break;            // longer
                }
                if (f.empty())
                    break;
            }
        } else {
            f.resize(rnd(300));
            for (auto &b : f)
                b = rnd(4) == 0 ? uint8(rng()) : uint8(0x30 + rnd(16));
            if (f.size() > 4) {
                f[1] = uint8('0' + rnd(10));
                f[3] = uint8(letters[rnd(unsigned(letters.size()))]);
                f[4] = uint8(letters[rnd(unsigned(letters.size()))]);
            }
        }
        // Exactly the frame's bytes, so that any read beyond them is caught by the sanitizer.
        std::unique_ptr<uint8[]> buf(f.empty() ? nullptr : new uint8[f.size()]);
        if (!f.empty())
            memcpy(buf.get(), f.data(), f.size());
        virtualNode_t *m = rnd(16) == 0 ? nullptr : &gm->node;
        virtualNode_t *k = rnd(16) == 0 ? nullptr : &gk->node;
        const uint8 box = uint8(rnd(6));
        const int rc = DUVEX_ParseReply(m, k, box, long(rng()), buf.get(), f.size(), rng() % 4000);
        if (rc == DUVEX_DATA_OK)
            ++handled;
        ASSERT_TRUE(guardsIntact(*gm)) << "module node overrun at frame " << i;
        ASSERT_TRUE(guardsIntact(*gk)) << "cabinet node overrun at frame " << i;
    }
    RecordProperty("frames", kFrames);
    RecordProperty("handled", int(handled));
    std::printf("[          ] %d random/mutated frames, %ld handled, %ld log lines\n", kFrames, handled,
                lines.load());
    EXPECT_GT(handled, 0);
}
