// Replies built for relayed module-bus queries: every reply kind of the build parsed
// back by the reply parser reproduces the records; the RS rows by IO_Cfg; commands
// queued unchanged and acknowledged, refused when the module is not ready; refusals
// of unsupported queries and of modules without records. A module-bus thread object
// that is never started, the own cabinet A, a driven clock.
#include "DUVEX.h"
#include "DUVEXData.h"
#include "Globals.h"
#include "TestSupport.h"
#include "ThreadDUVEX.h"
#include "VirtualUPSInit.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

using tvktest::FakeClock;
using tvktest::LogCapture;

namespace {

constexpr uint8 BOX_A = 0xEA;

pckStruct query(uint8 dest, uint8 mainCmd, uint8 subCmd, uint8 *param = nullptr, uint16 len = 0)
{
    pckStruct q{};
    q.Src = 'C';   // the requesting card's cabinet letter
    q.Dest = dest;
    q.MainCmd = mainCmd;
    q.SubCmd = subCmd;
    q.pParam = param;
    q.ParamLen = len;
    return q;
}

struct Reply {
    int rc = 0;
    std::vector<uint8> frame;
    long ts = 0;
    std::string data() const
    {
        return frame.size() >= 12 ? std::string(frame.begin() + 7, frame.end() - 5) : std::string();
    }
    std::string lenField() const { return frame.size() >= 7 ? std::string(frame.begin() + 5, frame.begin() + 7) : ""; }
};

class ReplyBuild : public ::testing::Test {
protected:
    void SetUp() override
    {
        savedAddr = KESPAddr;
        KESPAddr = BOX_A;
        memset(&mod, 0, sizeof mod);
        mod.nodetype = moduleNode;
        duvex.ModulesData[0][0].pVN = &mod;
        duvex.ModulesData[0][0].commStatus.active = true;
        duvex.ModulesData[0][0].commStatus.isGood = true;
        fillRecords(mod);
    }
    void TearDown() override { KESPAddr = savedAddr; }

    // Every field a reply carries gets a distinct value within its width.
    void fillRecords(virtualNode_t &n)
    {
        const mytime_t now = mytime_t(sysclock::now());
        identification_t &id = n.identification;
        InitValueIdentification(&id, IdentSource::ModuleBus);
        memcpy(id.SN, "SN0123456789ABCD", 16);
        memcpy(id.Model, "MODEL-XYZ-40KVA ", 16);
        memcpy(id.SWVer, "FW01.02.03AB", 12);
        id.IO_Cfg = TT;
        id.UPS_Type = OnLine;
        id.Boost_Cfg = Boost_Cfg_e('2');
        id.Buck_Cfg = Buck_Cfg_e('3');
        id.Error_CTRL = Error_CTRL_e('1');
        id.PwrShareCfg = PwrShare_e('2');
        id.BattBenches = BattBenches_e('1');
        id.NBattForBench = 7;
        id.ParallelInfo = ParallelSystem_e('1');
#if defined(TVK_MODULAR)
        memcpy(id.tbdGI, "abc", 3);
        memcpy(id.SWVer_AUX, "QTN914-1F-C2", 12);
        memcpy(id.tbdGE, "wxyz", 4);
#else
        id.TypeMachine = TypeMachine_e('2');
        id.Cover = Cover_e('1');
        id.TypeInput = Input_e('3');
#endif
        id.timestamp = now;

        nominal_t &nom = n.nominal;
        nom.VA = 40000;
        nom.W = 36000;
        nom.BatteryV = 480;
        nom.BatteryAh = 120;
        nom.Vout = 230;
        nom.FreqOut = 500;
        nom.timestamp = now;

        dataObject_t &d = n.desc.module.data;
        d.Output_Powered = 1;
        d.Lock = 1;
        d.Battery_Low = 1;
        d.On_Bypass = 1;
        d.Eco_Mode = 1;
        d.Bypass_Bad = 1;
        d.Replace_Battery = 1;
        d.Shutdown_Imminent = 1;
        d.Test_in_progress = 1;
        d.Alarm_Overload = 1;
        d.Alarm_Temperature = 1;
        d.Bt_present = 1;
        d.Frq_in = 499;
        d.Frq_out = 501;
        d.Frq_byp = 502;
        d.Carica_adj = 87;
        d.Aut_time = 0x123;
        d.Temp0 = 41;
        for (int i = 0; i < 3; ++i) {
            d.Vin[i] = uint16(221 + i);
            d.Vout[i] = uint16(229 + i);
            d.Vbyp[i] = uint16(232 + i);
            d.Load[i] = int16(40 + i);
            d.Iout[i] = 100 + i;
            d.Watt[i] = 12000 + i;
            d.Va[i] = 13000 + i;
        }
#if defined(TVK_MODULAR)
        d.VbatRS = 0x1234;
#else
        for (int i = 0; i < 4; ++i)
            d.FlagExt.states[i] = char(0x11 * (i + 1));
        d.statusCode = statusCode_t(31);
        d.Vbatp = 270;
        d.Vbatn = 271;
        d.Ibatp = 12;
        d.Ibatn = 13;
        for (int i = 0; i < 3; ++i) {
            d.Uin[i] = uint16(398 + i);
            d.Iin[i] = uint32(60 + i);
            d.Ubyp[i] = uint16(401 + i);
            d.Uout[i] = uint16(404 + i);
            d.Iout_pk[i] = 150 + i;
        }
        for (int i = 0; i < 4; ++i)
            d.powerTemp[i] = uint16(30 + i);
        d.batteryTemp[0] = 25;
        d.batteryTemp[1] = 26;
        d.DCBusVolt[0] = 390;
        d.DCBusVolt[1] = 391;
        d.configCounter = 9;
        d.counterHours = 0xC5;   // 197 h: beyond one day, within the two characters
        d.counterMinutes = 59;
        d.counterSeconds = 7;
        d.Cent_kwh = 0x01234567;
        n.desc.module.statusDetailExt.timestamp = now;
        for (int i = 0; i < 8; ++i)
            n.desc.module.statusDetailExt.states[i] = char(0x80 >> i);
#endif
        d.timestamp = now;
        for (int i = 0; i < 22; ++i)
            n.desc.module.statusDetail.states[i] = char(uint8(i * 11 + 3));
        n.desc.module.statusDetail.timestamp = now;
    }

    Reply build(pckStruct q)
    {
        Reply r;
        uint8 *f = nullptr;
        uint8 len = 0;
        r.rc = DUVEX_BuildReplyOn(&duvex, BOX_A, q, f, len, r.ts);
        if (f)
            r.frame.assign(f, f + len);
        delete[] f;
        if (r.rc > 0) {
            EXPECT_EQ(r.rc, int(len));
        }
        return r;
    }

    std::vector<pckStruct> queued()
    {
        std::vector<pckStruct> out;
        QCMgr *q = nullptr;
        while (duvex.peekAsyncQC(q), q) {
            out.push_back(q->QC);
            paramsOf.push_back(q->QC.pParam ? std::string(q->QC.pParam, q->QC.pParam + q->QC.ParamLen) : "");
            duvex.headAsyncQC();
        }
        return out;
    }

    FakeClock clock;
    LogCapture log;
    DUVEXMgr duvex;
    virtualNode_t mod;
    std::vector<std::string> paramsOf;
    uint8 savedAddr = 0;
};

// What a parsed record must hold again, by reply kind.
struct RoundTrip {
    const char *name;
    uint8 main, sub;
    int frameLen;
    std::function<void(const virtualNode_t &src, const virtualNode_t &got)> check;
};

void expectText(const char *a, const char *b, size_t n) { EXPECT_EQ(std::string(a, n), std::string(b, n)); }

std::vector<RoundTrip> roundTrips()
{
    std::vector<RoundTrip> t;
    t.push_back({"GI", 'G', 'I', 68, [](const virtualNode_t &s, const virtualNode_t &g) {
                     const identification_t &a = s.identification, &b = g.identification;
                     expectText(a.SN, b.SN, 16);
                     expectText(a.Model, b.Model, 16);
                     expectText(a.SWVer, b.SWVer, 12);
                     EXPECT_EQ(a.IO_Cfg, b.IO_Cfg);
                     EXPECT_EQ(a.UPS_Type, b.UPS_Type);
                     EXPECT_EQ(a.Boost_Cfg, b.Boost_Cfg);
                     EXPECT_EQ(a.Buck_Cfg, b.Buck_Cfg);
                     EXPECT_EQ(a.Error_CTRL, b.Error_CTRL);
                     EXPECT_EQ(a.PwrShareCfg, b.PwrShareCfg);
                     EXPECT_EQ(a.BattBenches, b.BattBenches);
                     EXPECT_EQ(a.NBattForBench, b.NBattForBench);
                     EXPECT_EQ(a.ParallelInfo, b.ParallelInfo);
#if defined(TVK_MODULAR)
                     EXPECT_EQ(0, memcmp(a.tbdGI, b.tbdGI, 3));
#else
                     EXPECT_EQ(a.TypeMachine, b.TypeMachine);
                     EXPECT_EQ(a.Cover, b.Cover);
                     EXPECT_EQ(a.TypeInput, b.TypeInput);
                     EXPECT_EQ(a.timestamp, b.timestamp);
#endif
                 }});
    t.push_back({"GN", 'G', 'N', 34, [](const virtualNode_t &s, const virtualNode_t &g) {
                     EXPECT_EQ(0, memcmp(&s.nominal, &g.nominal, sizeof(nominal_t)));
                 }});
#if defined(TVK_MODULAR)
    t.push_back({"GE", 'G', 'E', 28, [](const virtualNode_t &s, const virtualNode_t &g) {
                     expectText(s.identification.SWVer_AUX, g.identification.SWVer_AUX, 12);
                     EXPECT_EQ(0, memcmp(s.identification.tbdGE, g.identification.tbdGE, 4));
                 }});
#else
    t.push_back({"RA", 'R', 'A', 68, [](const virtualNode_t &s, const virtualNode_t &g) {
                     expectText(s.desc.module.statusDetail.states, g.desc.module.statusDetail.states, 20);
                     expectText(s.desc.module.statusDetailExt.states, g.desc.module.statusDetailExt.states, 8);
                     EXPECT_EQ(s.desc.module.statusDetail.timestamp, g.desc.module.statusDetail.timestamp);
                 }});
    t.push_back({"RX", 'R', 'X', 140, [](const virtualNode_t &s, const virtualNode_t &g) {
                     const dataObject_t &a = s.desc.module.data, &b = g.desc.module.data;
                     expectText(a.FlagExt.states, b.FlagExt.states, 4);
                     EXPECT_EQ(a.statusCode, b.statusCode);
                     EXPECT_EQ(a.Vbatp, b.Vbatp);
                     EXPECT_EQ(a.Vbatn, b.Vbatn);
                     EXPECT_EQ(a.Ibatp, b.Ibatp);
                     EXPECT_EQ(a.Ibatn, b.Ibatn);
                     for (int i = 0; i < 3; ++i) {
                         EXPECT_EQ(a.Uin[i], b.Uin[i]);
                         EXPECT_EQ(a.Iin[i], b.Iin[i]);
                         EXPECT_EQ(a.Ubyp[i], b.Ubyp[i]);
                         EXPECT_EQ(a.Uout[i], b.Uout[i]);
                         EXPECT_EQ(a.Iout_pk[i], b.Iout_pk[i]);
                     }
                     EXPECT_EQ(0, memcmp(a.powerTemp, b.powerTemp, sizeof a.powerTemp));
                     EXPECT_EQ(0, memcmp(a.batteryTemp, b.batteryTemp, sizeof a.batteryTemp));
                     EXPECT_EQ(a.DCBusVolt[0], b.DCBusVolt[0]);
                     EXPECT_EQ(a.DCBusVolt[1], b.DCBusVolt[1]);
                     EXPECT_EQ(a.configCounter, b.configCounter);
                     EXPECT_EQ(a.counterHours, b.counterHours);
                     EXPECT_EQ(a.counterMinutes, b.counterMinutes);
                     EXPECT_EQ(a.counterSeconds, b.counterSeconds);
                     EXPECT_EQ(a.Cent_kwh, b.Cent_kwh);
                     EXPECT_EQ(a.timestamp, b.timestamp);
                 }});
#endif
    t.push_back({"RC", 'R', 'C', 56, [](const virtualNode_t &s, const virtualNode_t &g) {
                     expectText(s.desc.module.statusDetail.states, g.desc.module.statusDetail.states, 22);
                     EXPECT_EQ(s.desc.module.statusDetail.timestamp, g.desc.module.statusDetail.timestamp);
                 }});
    t.push_back({"RE", 'R', 'E', 70, [](const virtualNode_t &s, const virtualNode_t &g) {
                     const dataObject_t &a = s.desc.module.data, &b = g.desc.module.data;
                     for (int i = 0; i < 3; ++i) {
                         EXPECT_EQ(a.Iout[i], b.Iout[i]);
                         EXPECT_EQ(a.Watt[i], b.Watt[i]);
                         EXPECT_EQ(a.Va[i], b.Va[i]);
                     }
                 }});
    t.push_back({"RS", 'R', 'S', 70, [](const virtualNode_t &s, const virtualNode_t &g) {
                     const dataObject_t &a = s.desc.module.data, &b = g.desc.module.data;
                     EXPECT_EQ(a.Output_Powered, b.Output_Powered);
                     EXPECT_EQ(a.Lock, b.Lock);
                     EXPECT_EQ(a.Battery_Working, b.Battery_Working);
                     EXPECT_EQ(a.Battery_Low, b.Battery_Low);
                     EXPECT_EQ(a.On_Bypass, b.On_Bypass);
                     EXPECT_EQ(a.Eco_Mode, b.Eco_Mode);
                     EXPECT_EQ(a.Bypass_Bad, b.Bypass_Bad);
                     EXPECT_EQ(a.Battery_Charging, b.Battery_Charging);
                     EXPECT_EQ(a.Replace_Battery, b.Replace_Battery);
                     EXPECT_EQ(a.Shutdown_Active, b.Shutdown_Active);
                     EXPECT_EQ(a.Shutdown_Imminent, b.Shutdown_Imminent);
                     EXPECT_EQ(a.Test_in_progress, b.Test_in_progress);
                     EXPECT_EQ(a.Alarm_Overload, b.Alarm_Overload);
                     EXPECT_EQ(a.Alarm_Temperature, b.Alarm_Temperature);
#if defined(TVK_MODULAR)
                     EXPECT_EQ(a.VbatRS, b.VbatRS);
#else
                     EXPECT_EQ(a.BeeperOn, b.BeeperOn);
#endif
                     EXPECT_EQ(a.Frq_in, b.Frq_in);
                     EXPECT_EQ(a.Frq_out, b.Frq_out);
                     EXPECT_EQ(a.Frq_byp, b.Frq_byp);
                     EXPECT_EQ(a.Carica_adj, b.Carica_adj);
                     EXPECT_EQ(a.Aut_time, b.Aut_time);
                     EXPECT_EQ(a.Temp0, b.Temp0);
                     for (int i = 0; i < 3; ++i) {
                         EXPECT_EQ(a.Vin[i], b.Vin[i]);
                         EXPECT_EQ(a.Vout[i], b.Vout[i]);
                         EXPECT_EQ(a.Vbyp[i], b.Vbyp[i]);
                         EXPECT_EQ(a.Load[i], b.Load[i]);
                     }
                     EXPECT_EQ(a.timestamp, b.timestamp);
                 }});
    return t;
}

} // namespace

TEST_F(ReplyBuild, RoundTripThroughTheReplyParser)
{
    for (const RoundTrip &c : roundTrips()) {
        SCOPED_TRACE(c.name);
        Reply r = build(query('1', c.main, c.sub));
        ASSERT_EQ(int(r.frame.size()), c.frameLen);
        EXPECT_EQ(r.frame[1], '1');
        EXPECT_EQ(r.frame[2], 'C');
        // A requester stores the reply with the time stamp the builder reported.
        virtualNode_t got;
        memset(&got, 0, sizeof got);
        got.nodetype = moduleNode;
        got.desc.module.data.Bt_present = 1;   // modular RS reads charge and autonomy only then
        got.identification.NBattForBench = 7;
        virtualNode_t cab;
        memset(&cab, 0, sizeof cab);
        ASSERT_EQ(DUVEX_ParseReply(&got, &cab, 0, r.ts, r.frame.data(), r.frame.size(), 0, true), DUVEX_DATA_OK);
        c.check(mod, got);
    }
}

TEST_F(ReplyBuild, RsRowsByIoCfg)
{
    struct Row {
        IO_Cfg_e cfg;
        int frameLen;
        const char *lenField;
        bool vin12, out12;
    };
    const Row rows[] = {{MM, 48, "24", false, false},
                        {TM, 54, "2:", true, false},
                        {MT, 70, "3:", false, true},
                        {TT, 70, "3:", true, true},
                        {IO_Cfg_e('0'), 70, "3:", true, true}};   // not known yet: the full row
    for (const Row &row : rows) {
        SCOPED_TRACE(int(row.cfg));
        mod.identification.IO_Cfg = row.cfg;
        Reply r = build(query('1', 'R', 'S'));
        ASSERT_EQ(int(r.frame.size()), row.frameLen);
        EXPECT_EQ(r.lenField(), row.lenField);
        const uint16 cc = uint16(DUVEX_DCd2Dec(r.frame.data() + r.frame.size() - 5, 4));
        EXPECT_EQ(cc, DUVEX_CheckCode(r.frame.data(), uint8(row.frameLen - 12)));
        const std::string d = r.data();
        if (row.frameLen > 48) {
            EXPECT_EQ(d.substr(36, 6), row.vin12 ? "0=>0=?" : "000000");   // 222, 223 or zeros
        }
        if (row.out12) {
            EXPECT_EQ(d.substr(42, 3), "0>6");   // Vout[1] = 230
        }
    }
}

TEST_F(ReplyBuild, GiCheckCodeIsTheByteSum)
{
    Reply r = build(query('1', 'G', 'I'));
    ASSERT_EQ(r.frame.size(), 68u);
    uint16 sum = 0;
    for (size_t i = 1; i <= 62; ++i)
        sum = uint16(sum + r.frame[i]);
    EXPECT_EQ(uint16(DUVEX_DCd2Dec(r.frame.data() + 63, 4)), sum);
}

TEST_F(ReplyBuild, CommandsAreQueuedUnchangedAndAcknowledged)
{
    uint8 cs[4] = {'0', '1', '2', '<'};
    uint8 off[1] = {'0'};
    uint8 one[1] = {'1'};
    uint8 two[2] = {'0', '1'};
    struct Case {
        const char *name;
        pckStruct q;
        int frameLen;
        const char *data;
    };
    const Case cases[] = {
        {"CS", query('1', 'C', 'S', cs, 4), 12, ""},
        {"CU bypass", query('8', 'C', 'U'), 12, ""},
        {"TB", query('1', 'T', 'B', cs, 3), 12, ""},
        {"TC", query('1', 'T', 'C'), 12, ""},
        {"DC module", query('1', 'D', 'C', off, 1), 12, ""},
        {"DC bypass one byte", query('8', 'D', 'C', one, 1), 16, "0000"},
        {"DC bypass two bytes", query('8', 'D', 'C', two, 2), 12, ""},
        {"SV", query('1', 'S', 'V'), 16, "0000"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        paramsOf.clear();
        Reply r = build(c.q);
        ASSERT_EQ(int(r.frame.size()), c.frameLen);
        EXPECT_EQ(r.lenField(), c.frameLen == 12 ? "00" : "04");
        EXPECT_EQ(r.data(), c.data);
        EXPECT_EQ(r.ts, long(sysclock::now()));
        const std::vector<pckStruct> q = queued();
        ASSERT_EQ(q.size(), 1u);
        EXPECT_EQ(q[0].Src, c.q.Src);
        EXPECT_EQ(q[0].Dest, c.q.Dest);
        EXPECT_EQ(q[0].MainCmd, c.q.MainCmd);
        EXPECT_EQ(q[0].SubCmd, c.q.SubCmd);
        EXPECT_EQ(paramsOf[0], std::string(c.q.pParam, c.q.pParam + c.q.ParamLen));
    }
}

TEST_F(ReplyBuild, CommandForAModuleThatIsNotReadyIsRefusedBeforeAnyAck)
{
    uint8 cs[4] = {'0', '0', '0', '0'};
    struct Case {
        const char *name;
        std::function<void()> arrange;
        uint8 dest;
    };
    const Case cases[] = {
        {"not answering", [this] { duvex.ModulesData[0][0].commStatus.isGood = false; }, '1'},
        {"not polled", [this] { duvex.ModulesData[0][0].commStatus.active = false; }, '1'},
        {"no node", [this] { duvex.ModulesData[0][0].pVN = nullptr; }, '1'},
        {"bypass of an unregistered cabinet", [this] { duvex.ModulesData[0][0].pVN = nullptr; }, '8'},
        {"module without slot", [] {}, '2'},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        duvex.ModulesData[0][0].pVN = &mod;
        duvex.ModulesData[0][0].commStatus.active = true;
        duvex.ModulesData[0][0].commStatus.isGood = true;
        c.arrange();
        log.clear();
        Reply r = build(query(c.dest, 'C', 'S', cs, 4));
        EXPECT_EQ(r.rc, 0);
        EXPECT_TRUE(r.frame.empty());
        EXPECT_TRUE(queued().empty());
        EXPECT_TRUE(log.contains("Err (DUVEX_BuildReply): IL MODULO NON E` PRONTO A RICEVERE IL COMANDO!!!!\n"));
        EXPECT_TRUE(log.contains("Err (DUVEX_BuildReply): FALLITA costruzione risposta CS\n"));
    }
}

TEST_F(ReplyBuild, NoReplyWithoutData)
{
    struct Case {
        const char *name;
        pckStruct q;
        const char *line;   // besides the FALLITA line
    };
    const Case cases[] = {
        {"RB", query('1', 'R', 'B'), "SubCmd B non supportato per il MainCmd R\n"},
        {"ST", query('1', 'S', 'T'), "SubCmd T non supportato per il MainCmd S\n"},
        {"RK", query('1', 'R', 'K'), "SubCmd K non supportato per il MainCmd R\n"},
        {"main X", query('1', 'X', 'A'), "MainCmd X non supportato\n"},
        {"GI module 2", query('2', 'G', 'I'), "MODULO NON INIZIALIZZATO!!! MCUAdd:0xEA UPSAdd:2\n"},
        {"RS module 2", query('2', 'R', 'S'), "MODULO NON INIZIALIZZATO!!! MCUAdd:0xEA UPSAdd:2\n"},
        {"GN module 9", query('9', 'G', 'N'), "GRAVE ERRORE DI INDIRIZZAMENTO\n"},
#if defined(TVK_MODULAR)
        {"RA", query('1', 'R', 'A'), "SubCmd A non supportato per il MainCmd R\n"},
        {"RX", query('1', 'R', 'X'), "SubCmd X non supportato per il MainCmd R\n"},
#else
        {"GE", query('1', 'G', 'E'), "SubCmd E non supportato per il MainCmd G\n"},
#endif
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        log.clear();
        Reply r = build(c.q);
        EXPECT_EQ(r.rc, 0);
        EXPECT_TRUE(r.frame.empty());
        EXPECT_TRUE(log.contains(c.line));
        char fail[64];
        snprintf(fail, sizeof fail, "FALLITA costruzione risposta %c%c\n", c.q.MainCmd, c.q.SubCmd);
        EXPECT_TRUE(log.contains(fail));
    }
    EXPECT_TRUE(queued().empty());
}

TEST_F(ReplyBuild, GmThatFailsOnTheModuleBusIsNotAnswered)
{
    // The module-bus channel of this test is closed: the live transaction fails.
    Reply r = build(query('1', 'G', 'M'));
    EXPECT_EQ(r.rc, 0);
    EXPECT_TRUE(r.frame.empty());
    EXPECT_TRUE(log.contains("FALLITA costruzione risposta GM\n"));
}

#if !defined(TVK_MODULAR)
TEST_F(ReplyBuild, RelayedRxRunningTimeIsDecodedAsThreeFields)
{
    Reply r = build(query('1', 'R', 'X'));
    ASSERT_EQ(r.frame.size(), 140u);
    EXPECT_EQ(r.data().substr(97, 6), "<53;07");   // 0xC5, 59, 7 as two characters each
    virtualNode_t got, cab;
    memset(&got, 0, sizeof got);
    memset(&cab, 0, sizeof cab);
    // Read as a module's own RX, the same six characters would be one count of seconds.
    ASSERT_EQ(DUVEX_ParseReply(&got, &cab, 0, r.ts, r.frame.data(), r.frame.size(), 0, false), DUVEX_DATA_OK);
    const uint32 asSeconds = DUVEX_DCd2Dec(r.frame.data() + 7 + 97, 6);
    EXPECT_EQ(got.desc.module.data.counterHours, asSeconds / 3600);
    ASSERT_EQ(DUVEX_ParseReply(&got, &cab, 0, r.ts, r.frame.data(), r.frame.size(), 0, true), DUVEX_DATA_OK);
    EXPECT_EQ(got.desc.module.data.counterHours, 0xC5);
    EXPECT_EQ(got.desc.module.data.counterMinutes, 59);
    EXPECT_EQ(got.desc.module.data.counterSeconds, 7);
}
#endif
