// System aggregation: hand-built cabinet records turned into the system record.
//
// The core (AggregateBoxWith) runs on values the tests build, with the time passed
// in; the adapter cases run KESPMgr::AggregateBoxFor on local nodes with a driven
// clock (the thread objects are never started).
#include "Globals.h"
#include "KESPAggregate.h"
#include "SysCfgMgr.h"
#include "TestSupport.h"
#include "ThreadDUVEX.h"
#include "ThreadKESP.h"
#include "VirtualUPSInit.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>
#include <unistd.h>

using tvktest::FakeClock;
using tvktest::LogCapture;

namespace {

constexpr time_t T0 = 1700000000;

// A healthy cabinet on line: output powered, switches closed, module descriptor fine.
void healthyCabinet(SysAggCabinet &c, time_t now)
{
    c = SysAggCabinet();
    c.active = true;
    c.mcuGood = true;
    c.hasNode = true;
    descUpsBox_t &r = c.rec;
    memset(&r, 0, sizeof r);
    InitUpsBox_UpsStatus(&r.Ups);
    r.timestamp = mytime_t(now);
    r.Ups.timestamp = mytime_t(now);
    r.Ups.Output_Powered = 1;
    r.Ups.Line_Present = 1;
    r.Ups.SWOUT = 1;
    r.Ups.Bt_present = 1;
    r.Ups.Q1 = 1;
    r.SWIN = 1;
    r.SWBYP = 1;
    r.SWBATT_EXT = 1;
    r.EPO = 1;
#if !defined(TVK_MODULAR)
    r.Ups.statusCode = ONLINE;
    r.subSystem.UPSShelter[0].elemSt = NormalMode;
#endif
    r.subSystem.UPSShelter[0].alarmSt = noneAlarm;
    c.nominal.timestamp = mytime_t(now);
    c.nominal.VA = 30000;
    c.nominal.W = 27000;
}

void putLoad(descUpsBox_t &r, int16 v)
{
    for (int p = 0; p < 3; ++p)
        memcpy(reinterpret_cast<char *>(r.Ups.Load) + 2 * p, &v, 2);
}

class SysAgg : public ::testing::Test {
protected:
    void SetUp() override
    {
        memset(&cfg.Cfg, 0, sizeof cfg.Cfg);
        cfg.Cfg.WModule = 27000;
        cfg.Cfg.externBattCapacity = 10;
        cfg.numUPS = 0;
        in = SysAggInput();
        InitValueIdentification(&in.ownIdent, IdentSource::ModuleBus);
        memcpy(in.ownIdent.SN, "SN-OWN-MODULE   ", 16);
        in.ownIdent.IO_Cfg = TT;
        in.ownIdent.UPS_Type = OnLine;
        in.ownModuleBatteryAh = 77;
        SysCfgMgr tmp(cfg);
        InitSysStatus(&in.sysNow, tmp);
        in.sysNow.Ups.Output_Powered = 1;
    }

    void present(int i)
    {
        cfg.Cfg.Ups[i].present = 1;
        cfg.Cfg.Ups[i].modulePresent[0] = 1;
        cfg.numUPS++;
        healthyCabinet(in.cab[i], now);
    }

    // One pass at `now`; the result becomes the system record of the next pass, as
    // the published node is.
    void pass()
    {
        in.cfg = &cfg;
        in.now = now;
        for (auto &c : in.cab)
            if (c.active && c.mcuGood && c.rec.Ups.timestamp != 0)
                c.rec.Ups.timestamp = mytime_t(now);
        out = SysAggResult();
        AggregateBoxWith(in, db, out);
        in.sysNow = out.sys;
    }
    void passAt(int sec)
    {
        now = T0 + sec;
        pass();
    }

    const dataObject_t &S() const { return out.sys.Ups; }

    SysCfgMgr cfg;
    SysAggInput in;
    SysAggResult out;
    SysAggDebounce db;
    time_t now = T0;
};

// ---- Agreement rules: some cabinets disagree for 11 s before it is reported -----------

struct DisagreeCase {
    const char *name;
    void (*make)(SysAggCabinet &);   // turns cabinet B into the odd one
    bool (*effect)(const descSys_t &);
    const char *warning;
};

class SysAggDisagree : public SysAgg, public ::testing::WithParamInterface<DisagreeCase> {};

TEST_P(SysAggDisagree, ConfirmedAfterElevenSecondsAndWarnedOnce)
{
    const DisagreeCase &tc = GetParam();
    present(0);
    present(1);
    LogCapture log;
    passAt(0);
    ASSERT_FALSE(tc.effect(out.sys));
    tc.make(in.cab[1]);
    passAt(1);   // first seen
    EXPECT_FALSE(tc.effect(out.sys));
    passAt(11);  // 10 s later: only the counts changed
    EXPECT_FALSE(tc.effect(out.sys));
    EXPECT_EQ(log.count(tc.warning), 0);
    passAt(12);  // 11 s: confirmed
    EXPECT_TRUE(tc.effect(out.sys));
    passAt(13);
    EXPECT_TRUE(tc.effect(out.sys));
    EXPECT_EQ(log.count(tc.warning), 1);
    EXPECT_NE(log.text().find("KESP/ThreadKESP War (AggregateBox): " + std::string(tc.warning)), std::string::npos);

    // Agreement again: back to state 0, the effect is gone, a new disagreement counts anew.
    healthyCabinet(in.cab[1], now);
    passAt(14);
    EXPECT_FALSE(tc.effect(out.sys));
    tc.make(in.cab[1]);
    passAt(15);
    passAt(20);
    EXPECT_FALSE(tc.effect(out.sys));
}

const DisagreeCase kDisagree[] = {
    {"Lock", [](SysAggCabinet &c) { c.rec.Ups.Lock = 1; },
     [](const descSys_t &s) -> bool { return s.Ups.Fault; }, "Non tutti gli armadi sono in Lock!!\n"},
    {"BypassBad", [](SysAggCabinet &c) { c.rec.Ups.Bypass_Bad = 1; },
     [](const descSys_t &s) -> bool { return s.Ups.Fault && s.Ups.bypassBadAnomaly && !s.Ups.Bypass_Bad; },
     "Non tutti gli armadi sono in BypassBad!!\n"},
    {"BatteryWorking", [](SysAggCabinet &c) { c.rec.Ups.Battery_Working = 1; },
     [](const descSys_t &s) -> bool { return s.Ups.Anomaly && s.Ups.batteryWorkingAnomaly; },
     "Non tutti i moduli funzionano da batteria!!\n"},
    {"OutputPowered", [](SysAggCabinet &c) { c.rec.Ups.Output_Powered = 0; },
     [](const descSys_t &s) -> bool { return s.Ups.Anomaly && s.Ups.outputPoweredAnomaly; },
     "Lo stato Output_Powered non e' coerente!!\n"},
};

INSTANTIATE_TEST_SUITE_P(Rules, SysAggDisagree, ::testing::ValuesIn(kDisagree),
                         [](const ::testing::TestParamInfo<DisagreeCase> &i) { return std::string(i.param.name); });

TEST_F(SysAgg, AllCabinetsLockedSetLockAndNoDisagreement)
{
    present(0);
    present(1);
    in.cab[0].rec.Ups.Lock = 1;
    in.cab[1].rec.Ups.Lock = 1;
    in.cab[0].rec.Ups.Bypass_Bad = 1;
    in.cab[1].rec.Ups.Bypass_Bad = 1;
    for (int s = 0; s <= 20; s += 5)
        passAt(s);
    EXPECT_TRUE(S().Lock);
    EXPECT_TRUE(S().Bypass_Bad);
    EXPECT_FALSE(S().bypassBadAnomaly);
    EXPECT_EQ(db.lock.state(), 0);
    EXPECT_EQ(db.bypassBad.state(), 0);
    EXPECT_FALSE(S().UPS_OK);
}

// ---- Switches ------------------------------------------------------------------------------

TEST_F(SysAgg, NoCabinetSwitchCountedClearsEpoAndSetsAnomalyAndWarning)
{
    present(0);
    present(1);
    in.cab[0].configUpdate = true;
    in.cab[1].configUpdate = true;
    LogCapture log;
    pass();
    EXPECT_FALSE(out.sys.EPO);
    EXPECT_TRUE(S().Anomaly);
    EXPECT_TRUE(S().Warning);
    EXPECT_EQ(log.count("Ho ricevuto la richiesta di configurazione da MU_A\n"), 1);
    EXPECT_EQ(log.count("Ho ricevuto la richiesta di configurazione da MU_B\n"), 1);
    // Only a bus master sends the configuration.
    EXPECT_FALSE(out.sendSI[0] || out.sendSI[1]);
    in.isMaster = true;
    pass();
    EXPECT_TRUE(out.sendSI[0] && out.sendSI[1]);
    EXPECT_FALSE(out.sendSI[2] || out.sendSI[3]);
}

struct SwitchCase {
    const char *name;
    int openOf2;   // cabinets with the switch open (0, 1 or 2)
    void (*open)(descUpsBox_t &);
    bool (*check)(const descSys_t &, int openOf2);
};

class SysAggSwitch : public SysAgg, public ::testing::WithParamInterface<SwitchCase> {};

TEST_P(SysAggSwitch, SomeOpenIsACabinetAnomaly)
{
    const SwitchCase &tc = GetParam();
    present(0);
    present(1);
    for (int i = 0; i < tc.openOf2; ++i)
        tc.open(in.cab[i].rec);
    pass();
    EXPECT_TRUE(tc.check(out.sys, tc.openOf2));
}

const SwitchCase kSwitch[] = {
    {"InputNone", 0, [](descUpsBox_t &r) { r.SWIN = 0; },
     [](const descSys_t &s, int) -> bool { return !s.Ups.SWINCabinetAnomaly && !s.Ups.Anomaly && s.SWIN; }},
    {"InputSome", 1, [](descUpsBox_t &r) { r.SWIN = 0; },
     [](const descSys_t &s, int) -> bool { return s.Ups.SWINCabinetAnomaly && s.Ups.Anomaly; }},
    {"InputAll", 2, [](descUpsBox_t &r) { r.SWIN = 0; },
     [](const descSys_t &s, int) -> bool { return !s.Ups.SWINCabinetAnomaly && s.Ups.Anomaly && !s.SWIN; }},
    {"BypassSome", 1, [](descUpsBox_t &r) { r.SWBYP = 0; },
     [](const descSys_t &s, int) -> bool { return s.Ups.SWBYPCabinetAnomaly && !s.Ups.Anomaly; }},
    {"BypassAll", 2, [](descUpsBox_t &r) { r.SWBYP = 0; },
     [](const descSys_t &s, int) -> bool { return !s.Ups.SWBYPCabinetAnomaly && !s.SWBYP; }},
    {"ExtBatterySome", 1, [](descUpsBox_t &r) { r.SWBATT_EXT = 0; },
     [](const descSys_t &s, int) -> bool { return s.Ups.SWBATT_EXTCabinetAnomaly && s.Anomaly; }},
    {"ManualBypassSome", 1, [](descUpsBox_t &r) { r.Ups.SWMB = 1; },
     [](const descSys_t &s, int) -> bool {
         return s.Ups.SWMBCabinetAnomaly && s.Ups.Warning && s.Ups.Anomaly && s.SWMBClosing && !s.SWMBOpening;
     }},
    {"ManualBypassAll", 2, [](descUpsBox_t &r) { r.Ups.SWMB = 1; },
     [](const descSys_t &s, int) -> bool { return !s.Ups.SWMBCabinetAnomaly && s.Ups.Warning && s.Ups.SWMB; }},
    {"OutputSome", 1, [](descUpsBox_t &r) { r.Ups.SWOUT = 0; },
     [](const descSys_t &s, int) -> bool { return s.Ups.SWOUTCabinetAnomaly && s.Ups.Anomaly && !s.Ups.SWOUT; }},
    {"EpoTrippedInOne", 1, [](descUpsBox_t &r) { r.EPO = 0; },
     [](const descSys_t &s, int) -> bool { return !s.EPO; }},
};

INSTANTIATE_TEST_SUITE_P(Rules, SysAggSwitch, ::testing::ValuesIn(kSwitch),
                         [](const ::testing::TestParamInfo<SwitchCase> &i) { return std::string(i.param.name); });

// ---- Modules off load, modules in use, redundancy ---------------------------------------

TEST_F(SysAgg, OneOfTwoCabinetsCommLostIsOneModuleOffLoad)
{
    present(0);
    present(1);
    in.cab[1].mcuGood = false;
    in.cab[1].rec.subSystem.UPSShelter[0].alarmSt = commLostAlarm;
    pass();
    EXPECT_TRUE(S().Output_Powered);
    EXPECT_EQ(out.moduleNotOnLoad, 1);
    EXPECT_TRUE(out.sys.commErrorMCU);
    EXPECT_TRUE(in.cab[1].rec.commErrorMCU);   // the cabinet node is marked too
    EXPECT_TRUE(in.cab[1].rec.AnomalyMCU);
    // Output not powered anywhere: nothing counts as off load, and the load per
    // phase has no cabinet to divide by.
    in.cab[0].rec.Ups.Output_Powered = 0;
    putLoad(in.cab[0].rec, 50);
    pass();
    EXPECT_EQ(out.moduleNotOnLoad, 0);
    EXPECT_EQ(S().Load[0], 0);
}

struct UsedCase {
    const char *name;
    uint32 wModule;
    int32 watt;   // every phase of cabinet A
    int32 va;
    bool q1;
    bool outputPowered;
    int expected;
};

class SysAggUsed : public SysAgg, public ::testing::WithParamInterface<UsedCase> {};

TEST_P(SysAggUsed, ModulesNeededForTheLoad)
{
    const UsedCase &tc = GetParam();
    present(0);
    present(1);
    cfg.Cfg.WModule = tc.wModule;
    for (auto &c : in.cab) {
        if (!c.active)
            continue;
        c.rec.Ups.Q1 = tc.q1;
        c.rec.Ups.Output_Powered = tc.outputPowered;
    }
    in.sysNow.Ups.Output_Powered = tc.outputPowered;
    int32 w = tc.watt, v = tc.va;
    for (int p = 0; p < 3; ++p) {
        memcpy(reinterpret_cast<char *>(in.cab[0].rec.Ups.Watt) + 4 * p, &w, 4);
        memcpy(reinterpret_cast<char *>(in.cab[0].rec.Ups.Va) + 4 * p, &v, 4);
    }
    pass();
    EXPECT_EQ(out.moduleUsed, tc.expected);
}

const UsedCase kUsed[] = {
    {"RoundedUp", 3000, 1001, 0, true, true, 2},
    {"Exact", 3000, 1000, 0, true, true, 1},
    {"ApparentPowerCounts", 3000, 10, 1500, true, true, 2},
    {"NegativeIsMagnitude", 3000, -1500, 0, true, true, 2},
    {"CappedByModulesOnLoad", 3000, 9000, 0, true, true, 2},
    {"Q1OpenNone", 3000, 1001, 0, false, false, 0},
    {"Q1OpenButPowered", 3000, 1001, 0, false, true, 1},
    {"NoRatingPowered", 0, 1001, 0, true, true, 1},
    {"RatingBelowThreePhasesNoDivision", 2, 1001, 0, true, true, 1},
    {"RatingOfOneWatt", 1, 5, 0, true, false, 0},
};

INSTANTIATE_TEST_SUITE_P(Table, SysAggUsed, ::testing::ValuesIn(kUsed),
                         [](const ::testing::TestParamInfo<UsedCase> &i) { return std::string(i.param.name); });

TEST_F(SysAgg, LostRedundancyAfterFourSeconds)
{
    present(0);
    present(1);
    cfg.Cfg.redundantUPS = 1;
    in.cab[1].rec.subSystem.UPSShelter[0].alarmSt = lockAlarm;   // its module is off load
    LogCapture log;
    passAt(0);
    EXPECT_EQ(out.moduleNotOnLoad, 1);
    passAt(3);
    EXPECT_FALSE(out.sys.LostRedundancy);
    EXPECT_FALSE(S().Fault);
    passAt(4);
    EXPECT_TRUE(out.sys.LostRedundancy);
    EXPECT_TRUE(S().Fault);
    EXPECT_FALSE(out.sys.LowRedundancy);
    passAt(5);
    EXPECT_EQ(log.count("Lost Redundancy Detected\n"), 1);
    EXPECT_EQ(log.count("Low Redundancy Detected\n"), 0);
    // Back on load: redundancy holds again.
    in.cab[1].rec.subSystem.UPSShelter[0].alarmSt = noneAlarm;
    passAt(6);
    EXPECT_FALSE(out.sys.LostRedundancy);
    EXPECT_FALSE(S().Fault);
}

TEST_F(SysAgg, NoRedundancyRequirementNeverLosesRedundancy)
{
    present(0);
    present(1);
    cfg.Cfg.redundantUPS = 0;
    in.cab[1].rec.subSystem.UPSShelter[0].alarmSt = lockAlarm;
    for (int s = 0; s <= 10; ++s)
        passAt(s);
    EXPECT_FALSE(out.sys.LostRedundancy);
    EXPECT_FALSE(S().Fault);
    EXPECT_EQ(db.lostRed.state(), 0);
}

// ---- Counting, freshness, currency -------------------------------------------------------

TEST_F(SysAgg, CabinetRecordsThatStoppedArrivingAreNotCounted)
{
    present(0);
    present(1);
    in.cab[0].nominal.W = 1000;
    in.cab[1].nominal.W = 2000;
    pass();
    EXPECT_EQ(+out.nominal.W, 3000u);
    // Cabinet B was last heard BSPCKEXPIRE s ago: still counted; one second more: not.
    const mytime_t lastB = mytime_t(now);
    for (int extra : {0, 1}) {
        now = lastB + profile::BSPCKEXPIRE + extra;
        in.cab[0].rec.Ups.timestamp = mytime_t(now);
        in.cab[1].rec.Ups.timestamp = lastB;
        out = SysAggResult();
        in.now = now;
        AggregateBoxWith(in, db, out);
        EXPECT_EQ(+out.nominal.W, extra ? 1000u : 3000u) << "extra " << extra;
        EXPECT_EQ(bool(out.sys.Ups.commError), extra == 1);
    }
}

TEST_F(SysAgg, SystemIsCurrentWhileOneCabinetRecordIsYoungerThanThirtySeconds)
{
    present(0);
    in.cfg = &cfg;
    for (int age : {29, 30}) {
        in.cab[0].rec.Ups.timestamp = mytime_t(now - age);
        out = SysAggResult();
        in.now = now;
        AggregateBoxWith(in, db, out);
        EXPECT_EQ(+out.sys.Ups.timestamp, age < 30 ? mytime_t(now) : 0) << "age " << age;
    }
    // No cabinet at all: nothing to divide by, and the system is not current.
    in.cab[0] = SysAggCabinet();
    LogCapture log;
    pass();
    EXPECT_EQ(+out.sys.Ups.timestamp, 0);
    EXPECT_TRUE(log.contains("UPSs Not Sync\n") || !tvk_debugEnabled());
}

TEST_F(SysAgg, MeasurementsAreSummedAveragedAndTakenFromThresholds)
{
    present(0);
    present(1);
    dataObject_t &a = in.cab[0].rec.Ups, &b = in.cab[1].rec.Ups;
    const uint16 th = uint16(profile::LN_VOLTTH);
    a.Vin[0] = th;
    b.Vin[0] = uint16(th - 1);   // below the threshold: not averaged
    a.Vout[1] = uint16(th + 10);
    b.Vout[1] = uint16(th + 20);
    a.Vbatp = 100;   // gives Vbatp, but no autonomy
    a.Aut_time = 5;
    b.Vbatp = 101;
    b.Aut_time = 40;
    b.Carica_adj = 90;
    a.Vbatn = 300;
    b.Vbatn = 200;
    a.Frq_out = 500;
    b.Frq_out = 19;   // not a frequency
    a.Temp0 = 30;
    b.Temp0 = 41;
    pass();
    EXPECT_EQ(S().Vin[0], th);
    EXPECT_EQ(S().Vout[1], uint16(th + 15));
    EXPECT_EQ(S().Vbatp, 100);
    EXPECT_EQ(S().Vbatn, 200);
    EXPECT_EQ(S().Aut_time, 40);
    EXPECT_EQ(S().Carica_adj, 90);
    EXPECT_EQ(S().Frq_out, 500);
    EXPECT_EQ(S().Temp0, 41);
}

TEST_F(SysAgg, BatteryWorkingByMajorityAndBatteryLowByHalf)
{
    present(0);
    present(1);
    for (auto *c : {&in.cab[0], &in.cab[1]})
        c->rec.Ups.Battery_Working = 1;
    in.cab[0].rec.Ups.Battery_Low = 1;
    pass();
    EXPECT_TRUE(S().Battery_Working);
    EXPECT_FALSE(S().Line_Present);
    EXPECT_TRUE(S().Battery_Low);   // one of two: at least half
    EXPECT_TRUE(S().Warning);       // some but not all
    in.cab[1].rec.Ups.Battery_Working = 0;
    in.cab[0].rec.Ups.Battery_Working = 0;
    pass();
    EXPECT_FALSE(S().Battery_Working);
    EXPECT_FALSE(S().Battery_Low);
}

// ---- Nominal record and identification ---------------------------------------------------

TEST_F(SysAgg, NominalRecordAndIdentification)
{
    present(0);
    present(2);
    cfg.Cfg.word7 = 0x12E6;   // low byte 230
    for (uint16 w28 : {uint16(0x0000), uint16(0x0010)}) {
        cfg.Cfg.word28 = w28;
        pass();
        EXPECT_EQ(+out.nominal.FreqOut, w28 ? 600 : 500);
    }
    EXPECT_EQ(+out.nominal.timestamp, mytime_t(now));
    EXPECT_EQ(+out.nominal.VA, 60000u);
    EXPECT_EQ(+out.nominal.W, 54000u);
    EXPECT_EQ(+out.nominal.BatteryV, 240);
    EXPECT_EQ(+out.nominal.BatteryAh, 77);
    EXPECT_EQ(+out.nominal.Vout, 0xE6);

    const identification_t &id = out.ident;
    EXPECT_EQ(id.timestamp, mytime_t(now));
    EXPECT_EQ(0, memcmp(id.SN, "SN-OWN-MODULE   ", 16));
    EXPECT_EQ(id.IO_Cfg, TT);
    EXPECT_EQ(id.UPS_Type, OnLine);
    const char expect[] = {'1', '1', '1', '0', '2', '0', '0'};
    EXPECT_EQ(0, memcmp(&id.Boost_Cfg, expect, sizeof expect));
#if !defined(TVK_MODULAR)
    EXPECT_EQ(id.TypeMachine, '2');
    EXPECT_EQ(id.Cover, '1');
    EXPECT_EQ(id.TypeInput, '1');
#endif
    EXPECT_EQ(std::string(id.SWVer_AUX, sizeof id.SWVer_AUX), std::string(13, ' '));
    EXPECT_EQ(0, memcmp(id.tbdGE, "0000", 4));
}

// ---- The adapter: pacing, publication, panel commands -------------------------------------

class SysAggAdapter : public ::testing::Test {
protected:
    void SetUp() override
    {
        savedAddr = KESPAddr;
        savedJson = jsonPath;
        savedTmp = jsonPathTMP;
        KESPAddr = FIRSTUPSBOX;
        snprintf(dir, sizeof dir, "/tmp/tvk-sysagg-XXXXXX");
        ASSERT_NE(mkdtemp(dir), nullptr);
        json = std::string(dir) + "/vu.json";
        tmp = std::string(dir) + "/vu.tmp";
        jsonPath = json.c_str();
        jsonPathTMP = tmp.c_str();

        memset(&cfg.Cfg, 0, sizeof cfg.Cfg);
        cfg.Cfg.Ups[0].present = 1;
        cfg.Cfg.Ups[0].modulePresent[0] = 1;
        cfg.Cfg.WModule = 27000;
        cfg.numUPS = 1;
        memset(&sysNode, 0, sizeof sysNode);
        memset(&cab, 0, sizeof cab);
        sysNode.panel.value = CMD_NONE;
        kesp.sys = &sysNode;
        SysAggCabinet c;
        healthyCabinet(c, clock.now());
        cab.desc.upsBox = c.rec;
        cab.nominal = c.nominal;
        for (auto &b : kesp.upsBox) {
            b.pVN = nullptr;
            b.MCUcommStatus = commStatus_t{};
        }
        kesp.upsBox[0].pVN = &cab;
        kesp.upsBox[0].MCUcommStatus.active = true;
        kesp.upsBox[0].MCUcommStatus.isGood = true;
        kesp.lastTime = timespec{0, 0};
        kesp.sysCmdWorker.setRunner([this](const SysPanelCmd &cmd) {
            std::lock_guard<std::mutex> lk(m);
            ran.push_back(cmd);
        });
    }
    void TearDown() override
    {
        kesp.sysCmdWorker.drain();
        unlink(json.c_str());
        unlink(tmp.c_str());
        rmdir(dir);
        KESPAddr = savedAddr;
        jsonPath = savedJson;
        jsonPathTMP = savedTmp;
    }
    void passAfterMs(int ms)
    {
        clock.advanceMs(ms);
        {
            // The record is written under the cabinet data lock, as the card's writers do.
            myMutexLocker lk(kesp.mutexKESPData);
            cab.desc.upsBox.Ups.timestamp = mytime_t(clock.now());
        }
        kesp.AggregateBoxFor(cfg, nullptr);
    }
    std::string readJson()
    {
        std::ifstream f(json);
        std::stringstream ss;
        ss << f.rdbuf();
        return ss.str();
    }

    FakeClock clock;
    KESPMgr kesp;
    SysCfgMgr cfg;
    virtualNode_t sysNode;
    virtualNode_t cab;
    char dir[64];
    std::string json, tmp;
    uint8 savedAddr = 0;
    const char *savedJson = nullptr, *savedTmp = nullptr;
    std::mutex m;
    std::vector<SysPanelCmd> ran;
};

TEST_F(SysAggAdapter, PassesAtMostEveryTwoHundredMillisecondsAndPublish)
{
    passAfterMs(1000);
    const mytime_t first = sysNode.desc.sys.Ups.timestamp;
    EXPECT_EQ(first, mytime_t(clock.now()));
    EXPECT_EQ(sysNode.nominal.W, 27000u);
    EXPECT_NE(readJson().find("\"OUTPUTPOWERED\": true,\n"), std::string::npos);
    cfg.moduleUsed = 9;
    passAfterMs(200);   // too early: nothing changes
    EXPECT_EQ(cfg.moduleUsed, 9);
    passAfterMs(1);
    EXPECT_EQ(cfg.moduleUsed, 1);
#if !defined(TVK_MODULAR)
    // updateItems ran on the published record.
    EXPECT_EQ(+sysNode.desc.sys.Ups.statusCode, ONLINE);
    EXPECT_EQ(+sysNode.desc.sys.subSystem.UPSBox[0].elemSt, NormalMode);
#endif
    EXPECT_EQ(+sysNode.desc.sys.subSystem.UPSBox[0].alarmSt, noneAlarm);
}

struct PanelCase {
    uint8 value;
    bool wrongPower;
    bool runs;
    const char *log;
};

class SysAggPanel : public SysAggAdapter, public ::testing::WithParamInterface<PanelCase> {};

TEST_P(SysAggPanel, ClearedBeforeItRunsOnTheWorker)
{
    const PanelCase &tc = GetParam();
    cab.desc.upsBox.Ups.wrongPower = tc.wrongPower;
    sysNode.panel.value = cmdType_t(tc.value);
    sysNode.panel.delay_shut = 300;
    sysNode.panel.delay_reboot = 20;
    LogCapture log;
    passAfterMs(1000);
    EXPECT_EQ(sysNode.panel.value, CMD_NONE);
    kesp.sysCmdWorker.drain();
    std::lock_guard<std::mutex> lk(m);
    ASSERT_EQ(ran.size(), tc.runs ? 1u : 0u);
    if (tc.runs) {
        EXPECT_EQ(ran[0].value, tc.value);
        EXPECT_EQ(ran[0].delayShut, 300);
        EXPECT_EQ(ran[0].delayReboot, 20);
    }
    if (tc.log)
        EXPECT_EQ(log.count(tc.log), 1);
}

const PanelCase kPanel[] = {
    {CMD_SHUTDOWN, false, true, nullptr},
    {CMD_REBOOT, false, true, nullptr},
    {CMD_REBOOT, true, false, nullptr},
    {CMD_DELETE, false, true, nullptr},
    {CMD_TESTBATT, false, true, nullptr},
    {CMD_ZVL_OFF, false, false, "Err (AggregateBox): Comando (4) non supportato!!\n"},
    {CMD_ZVL_POWERON, false, false, "Err (AggregateBox): Comando (5) non supportato!!\n"},
    {77, false, false, "War (AggregateBox): Valore non previsto (77)\n"},
    {CMD_NONE, false, false, nullptr},
};

INSTANTIATE_TEST_SUITE_P(Values, SysAggPanel, ::testing::ValuesIn(kPanel));

TEST_F(SysAggAdapter, APanelCommandThatBlocksNeverHoldsUpThePass)
{
    std::mutex gate;
    gate.lock();
    kesp.sysCmdWorker.setRunner([&gate](const SysPanelCmd &) {
        std::lock_guard<std::mutex> lk(gate);   // waits until the test lets it go
    });
    sysNode.panel.value = CMD_SHUTDOWN;
    passAfterMs(1000);
    // The worker is stuck in its command; the cabinet-bus passes go on.
    sysNode.panel.value = CMD_DELETE;
    passAfterMs(300);
    EXPECT_EQ(sysNode.panel.value, CMD_NONE);
    cfg.moduleUsed = 9;
    passAfterMs(300);
    EXPECT_EQ(cfg.moduleUsed, 1);
    gate.unlock();
    kesp.sysCmdWorker.drain();
}

// A half-written own cabinet record is never read: the module-bus side publishes it
// under the cabinet data mutex, and the pass reads it under the same mutex.
TEST_F(SysAggAdapter, CabinetRecordIsReadUnderTheCabinetDataMutex)
{
    passAfterMs(1000);
    std::atomic<bool> done{false};
    std::thread writer([&] {
        // Publishes records whose every measurement equals a counter, as module
        // aggregation does: the whole record under the mutex.
        for (int k = 1; k < 4000; ++k) {
            myMutexLocker lk(kesp.mutexKESPData);
            descUpsBox_t r = cab.desc.upsBox;
            for (int p = 0; p < 3; ++p) {
                uint16 v = uint16(100 + (k % 50));
                memcpy(reinterpret_cast<char *>(r.Ups.Vout) + 2 * p, &v, 2);
            }
            cab.desc.upsBox = r;
        }
        done = true;
    });
    int torn = 0;
    while (!done) {
        passAfterMs(201);
        const dataObject_t &s = sysNode.desc.sys.Ups;
        if (s.Vout[0] != s.Vout[1] || s.Vout[1] != s.Vout[2])
            ++torn;
    }
    writer.join();
    EXPECT_EQ(torn, 0);
}

} // namespace
