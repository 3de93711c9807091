// Cabinet data access: the state-code selection, the cabinet descriptors, the
// freshness checks, and the accessors of the cabinet-bus thread.
#include "CardFixture.h"
#include "Globals.h"
#include "KESPAggregate.h"
#include "SysCfgMgr.h"
#include "SystemMgr.h"
#include "TestSupport.h"
#include "ThreadKESP.h"
#include "VirtualUPSInit.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

using tvktest::CardFixture;
using tvktest::FakeClock;
using tvktest::LogCapture;

namespace {

constexpr time_t T0 = 1700000000;

SysAggCabinet goodCabinet(time_t now)
{
    SysAggCabinet c;
    c.active = true;
    c.mcuGood = true;
    c.hasNode = true;
    InitUpsBox_UpsStatus(&c.rec.Ups);
    c.rec.Ups.timestamp = mytime_t(now);
    c.rec.Batteries.timestamp = mytime_t(now);
    c.rec.subSystem.UPSShelter[0].alarmSt = noneAlarm;
    return c;
}

PlantCfg presentCfg(int n)
{
    PlantCfg cfg;
    memset(&cfg, 0, sizeof cfg);
    for (int i = 0; i < n; ++i) {
        cfg.Ups[i].present = 1;
        cfg.Ups[i].modulePresent[0] = 1;
    }
    return cfg;
}

#if !defined(TVK_MODULAR)

// ---- State code of the system ------------------------------------------------------------

struct CodeCase {
    const char *name;
    bool onBattery;
    std::vector<int> codes;   // cabinets A.. in this order
    int expected;
};

class StateCode : public ::testing::TestWithParam<CodeCase> {};

TEST_P(StateCode, SelectedByPriority)
{
    const CodeCase &tc = GetParam();
    SysAggCabinet cab[MAXUPSBOX];
    PlantCfg cfg = presentCfg(int(tc.codes.size()));
    for (size_t i = 0; i < tc.codes.size(); ++i) {
        cab[i] = goodCabinet(T0);
        cab[i].rec.Ups.statusCode = statusCode_t(tc.codes[i]);
    }
    descSys_t sys;
    memset(&sys, 0, sizeof sys);
    sys.Ups.timestamp = mytime_t(T0);
    sys.Ups.statusCode = INITIALIZATION;   // as published by the pass
    sys.Ups.Battery_Working = tc.onBattery;
    UpdateItemsWith(cab, sys, cfg, T0);
    EXPECT_EQ(int(sys.Ups.statusCode), tc.expected);
}

const CodeCase kCodes[] = {
    {"BatteryOverOnlineOnBattery", true, {40, 50}, 50},
    {"BatteryIgnoredOffBattery", false, {40, 50}, 40},
    {"PowerOffDoesNotReplaceOnline", false, {40, 20}, 40},
    {"PowerOffFromInitialisation", false, {20}, 20},
    {"PowerOffThenOnline", false, {20, 40}, 40},
    {"UnknownCodeResets", false, {40, 99}, 0},
    {"StandByLockIsNotSelectable", false, {40, 22}, 0},
    {"LaterCabinetRaisesAfterReset", false, {99, 61}, 61},
    {"TiesKeepTheFirst", false, {40, 40}, 40},
    {"LowerPriorityKept", false, {65, 40}, 65},
    {"PrechargeOverOnlineIsLower", false, {10, 40}, 40},
};

INSTANTIATE_TEST_SUITE_P(Table, StateCode, ::testing::ValuesIn(kCodes),
                         [](const ::testing::TestParamInfo<CodeCase> &i) { return std::string(i.param.name); });

TEST(StateCodePriority, MatchesTheTable)
{
    EXPECT_EQ(statusCodePriority(0), 100);
    EXPECT_EQ(statusCodePriority(8), 185);
    EXPECT_EQ(statusCodePriority(20), 90);
    EXPECT_EQ(statusCodePriority(47), 270);
    EXPECT_EQ(statusCodePriority(64), 480);
    EXPECT_EQ(statusCodePriority(92), 260);
    EXPECT_EQ(statusCodePriority(22), 0);
    EXPECT_EQ(statusCodePriority(255), 0);
}

// ---- Cabinet descriptors of the system node ------------------------------------------------

struct DescCase {
    int code;
    uint8 alarm;   // cabinet alarm byte
    uint8 alarmSt;
    uint8 elemSt;
    const char *log;
};

class CabinetDesc : public ::testing::TestWithParam<DescCase> {};

TEST_P(CabinetDesc, AlarmLevelAndMode)
{
    const DescCase &tc = GetParam();
    SysAggCabinet cab[MAXUPSBOX];
    cab[1] = goodCabinet(T0);
    cab[1].rec.Ups.statusCode = statusCode_t(tc.code);
    cab[1].rec.Ups.alarm = tc.alarm;
    PlantCfg cfg = presentCfg(2);
    descSys_t sys;
    memset(&sys, 0, sizeof sys);
    sys.Ups.timestamp = mytime_t(T0);
    LogCapture log;
    UpdateItemsWith(cab, sys, cfg, T0);
    EXPECT_EQ(sys.subSystem.UPSBox[1].alarmSt, tc.alarmSt);
    EXPECT_EQ(sys.subSystem.UPSBox[1].elemSt, tc.elemSt);
    EXPECT_EQ(log.count(tc.log), 1);
    // Cabinet A is not polled: its descriptor is left alone.
    EXPECT_EQ(sys.subSystem.UPSBox[0].desc, 0);
}

const DescCase kDesc[] = {
    {40, 0x00, noneAlarm, NormalMode, "NORMAL MODE BOX \n"},
    {40, 0x08 | 0x04, lockAlarm, NormalMode, "lockAlarm BOX\n"},
    {40, 0x04 | 0x02, faultAlarm, NormalMode, "faultAlarm BOX\n"},
    {40, 0x01, warningAlarm, NormalMode, "warningAlarm BOX\n"},
    {22, 0x00, noneAlarm, Stand_byMode, "STAND BY MODE BOX \n"},
    {11, 0x00, noneAlarm, PrechargeMode, "PRECHARGE MODE BOX \n"},
    {31, 0x00, noneAlarm, CalibrationMode, "CAIBRATION MODE BOX \n"},
    {30, 0x00, noneAlarm, WaitVbatReadyMode, "WAIT VBAT MODE BOX \n"},
    {63, 0x00, noneAlarm, OnBypassMode, "ON BYPASS MODE BOX \n"},
    {81, 0x00, noneAlarm, BatteryWorkingMode, "BATTERY WORKING MODE BOX \n"},
    {5, 0x02, noneAlarm, Stand_byMode, "WAIT CABID MODE BOX \n"},
    {41, 0x00, noneAlarm, EnergySavingMode, "ENERGY SAVING MODE BOX \n"},
    {91, 0x00, noneAlarm, NormalMode, "NORMAL 2 MODE BOX \n"},
    {20, 0x00, warningAlarm, Stand_byMode, "POWER OFF MODE BOX \n"},
    {99, 0x00, faultAlarm, NormalMode, "OTHER MODE BOX \n"},
};

INSTANTIATE_TEST_SUITE_P(Table, CabinetDesc, ::testing::ValuesIn(kDesc));

TEST(UpdateItems, StatusCodingsOfTheCabinetsAreOred)
{
    SysAggCabinet cab[MAXUPSBOX];
    cab[0] = goodCabinet(T0);
    cab[1] = goodCabinet(T0);
    cab[0].rec.statusDetail.states[3] = 0x10;
    cab[1].rec.statusDetail.states[3] = 0x01;
    cab[1].rec.statusDetailExt.states[7] = char(0x80);
    cab[2] = goodCabinet(T0);
    cab[2].mcuGood = false;   // silent: skipped
    cab[2].rec.statusDetail.states[0] = 0x7F;
    PlantCfg cfg = presentCfg(3);
    descSys_t sys;
    memset(&sys, 0, sizeof sys);
    sys.Ups.timestamp = mytime_t(T0);
    UpdateItemsWith(cab, sys, cfg, T0);
    EXPECT_EQ(sys.statusDetail.states[3], 0x11);
    EXPECT_EQ(uint8(sys.statusDetailExt.states[7]), 0x80);
    EXPECT_EQ(sys.statusDetail.states[0], 0);
}

#else

struct ModularDescCase {
    bool active, good;
    uint8 alarm, boxStatus;
    uint8 expected;
};

class CabinetDesc : public ::testing::TestWithParam<ModularDescCase> {};

TEST_P(CabinetDesc, AlarmLevelFromAlarmAndBoxStatus)
{
    const ModularDescCase &tc = GetParam();
    SysAggCabinet cab[MAXUPSBOX];
    cab[0] = goodCabinet(T0);
    cab[0].active = tc.active;
    cab[0].mcuGood = tc.good;
    cab[0].rec.Ups.alarm = tc.alarm;
    cab[0].rec.boxStatus = tc.boxStatus;
    PlantCfg cfg = presentCfg(1);
    descSys_t sys;
    memset(&sys, 0, sizeof sys);
    sys.Ups.timestamp = mytime_t(T0);
    UpdateItemsWith(cab, sys, cfg, T0);
    EXPECT_EQ(sys.subSystem.UPSBox[0].alarmSt, tc.expected);
    EXPECT_EQ(sys.subSystem.UPSBox[1].alarmSt, noneAlarm);   // not polled
}

const ModularDescCase kDesc[] = {
    {true, true, 0x00, 0x00, noneAlarm},   {true, true, 0x08, 0x04, lockAlarm},
    {true, true, 0x00, 0x04, faultAlarm},  {true, true, 0x00, 0x40, anomalyAlarm},
    {true, true, 0x00, 0x80, warningAlarm}, {true, true, 0x02, 0x00, anomalyAlarm},
    {true, false, 0x08, 0x00, commLostAlarm}, {false, false, 0x08, 0x00, noneAlarm},
};

INSTANTIATE_TEST_SUITE_P(Table, CabinetDesc, ::testing::ValuesIn(kDesc));

#endif

// ---- Freshness of the cabinet and system descriptors ----------------------------------------

struct StaleCase {
    int age;
    int errorPck;
    bool reset;
};

class StaleCabinet : public ::testing::TestWithParam<StaleCase> {};

TEST_P(StaleCabinet, ModuleDescriptorsResetWhenTheDataAreOld)
{
    const StaleCase &tc = GetParam();
    SysAggCabinet c = goodCabinet(T0 - tc.age);
    c.errorPck = tc.errorPck;
    PlantCfg cfg = presentCfg(1);
    checkUpsBoxSubSystemWith(c.rec, c.errorPck, cfg.Ups[0], 0, T0);
    EXPECT_EQ(c.rec.subSystem.UPSShelter[0].alarmSt, tc.reset ? commLostAlarm : noneAlarm);
}

const StaleCase kStale[] = {
    {30, 0, false},
    {31, 0, true},
    {60, 0, true},
    {60, 2, false},
    {profile::BSPCKEXPIRE, 2, false},
    {profile::BSPCKEXPIRE + 1, 2, true},
};

INSTANTIATE_TEST_SUITE_P(Table, StaleCabinet, ::testing::ValuesIn(kStale));

TEST(StaleSystem, CabinetDescriptorsBackToTheirStartValues)
{
    PlantCfg cfg = presentCfg(2);
    descSys_t sys;
    memset(&sys, 0, sizeof sys);
    for (auto &d : sys.subSystem.UPSBox)
        d.alarmSt = faultAlarm;
    sys.Ups.timestamp = mytime_t(T0 - 30);
    checkSysSubSystemWith(sys, cfg, T0);
    EXPECT_EQ(sys.subSystem.UPSBox[0].alarmSt, faultAlarm);
    sys.Ups.timestamp = mytime_t(T0 - 31);
    checkSysSubSystemWith(sys, cfg, T0);
    EXPECT_EQ(sys.subSystem.UPSBox[0].alarmSt, commLostAlarm);
    EXPECT_EQ(sys.subSystem.UPSBox[1].alarmSt, commLostAlarm);
    EXPECT_EQ(sys.subSystem.UPSBox[2].alarmSt, noneAlarm);
}

// The records carry signed 32-bit times, and on the card time_t itself is 32 bits wide:
// an age taken across the whole range (a stamp of garbage from the bus, the last second
// before the 32-bit clock wraps) must neither overflow nor come out negative.
struct TimeRangeCase {
    int64 now;
    int64 stamp;
    bool reset;
};

class StaleSystemTimeRange : public ::testing::TestWithParam<TimeRangeCase> {};

TEST_P(StaleSystemTimeRange, AgeOverTheWholeRecordTimeRange)
{
    const TimeRangeCase &tc = GetParam();
    PlantCfg cfg = presentCfg(1);
    descSys_t sys;
    memset(&sys, 0, sizeof sys);
    sys.subSystem.UPSBox[0].alarmSt = faultAlarm;
    sys.Ups.timestamp = mytime_t(tc.stamp);
    checkSysSubSystemWith(sys, cfg, time_t(tc.now));
    EXPECT_EQ(sys.subSystem.UPSBox[0].alarmSt, tc.reset ? commLostAlarm : faultAlarm)
        << "now " << tc.now << " stamp " << tc.stamp;
}

const TimeRangeCase kTimeRange[] = {
    {INT32_MAX, INT32_MAX, false},          // 2038-01-19 03:14:07, fresh
    {INT32_MAX, INT32_MAX - 30, false},
    {INT32_MAX, INT32_MAX - 31, true},
    {INT32_MAX, INT32_MIN, true},           // a stamp of garbage: old, not in the future
    {INT32_MAX, 0, true},                   // never stamped
    {T0, INT32_MIN, true},
    {T0, INT32_MAX, false},                 // a stamp ahead of the clock is not old
};

INSTANTIATE_TEST_SUITE_P(Table, StaleSystemTimeRange, ::testing::ValuesIn(kTimeRange));

// ---- Accessors on a cabinet-bus thread object that is never started ------------------------

class KespData : public ::testing::Test {
protected:
    void SetUp() override
    {
        savedAddr = KESPAddr;
        KESPAddr = FIRSTUPSBOX;
        memset(&cab, 0, sizeof cab);
        for (auto &b : kesp.upsBox)
            b.pVN = nullptr;
        kesp.upsBox[1].pVN = &cab;
        kesp.upsBox[1].MCUcommStatus.active = true;
    }
    void TearDown() override { KESPAddr = savedAddr; }
    FakeClock clock;
    KESPMgr kesp;
    virtualNode_t cab;
    uint8 savedAddr = 0;
};

TEST_F(KespData, WrongLetterIsAnAddressingErrorAndLeavesTheOutput)
{
    LogCapture log;
    nominal_t n;
    memset(&n, 0x5A, sizeof n);
    kesp.GetNominal('E', n);
    identification_t id;
    memset(&id, 0x5A, sizeof id);
    kesp.GetIdentification('@', id);
    EXPECT_EQ(log.count("Err (GetNominal): GRAVE ERRORE DI INDIRIZZAMENTO\n"), 1);
    EXPECT_EQ(log.count("Err (GetIdentification): GRAVE ERRORE DI INDIRIZZAMENTO\n"), 1);
    for (size_t i = 0; i < sizeof n; ++i)
        ASSERT_EQ(reinterpret_cast<uint8 *>(&n)[i], 0x5A);
    for (size_t i = 0; i < sizeof id; ++i)
        ASSERT_EQ(reinterpret_cast<uint8 *>(&id)[i], 0x5A);
    EXPECT_EQ(kesp.AsyncQCSize(), 0);
}

TEST_F(KespData, MissingNominalIsZeroedAndAskedFromTheCabinet)
{
    nominal_t n;
    memset(&n, 0x5A, sizeof n);
    kesp.GetNominal('B', n);
    const nominal_t zero{};
    EXPECT_EQ(0, memcmp(&n, &zero, sizeof n));
    EXPECT_EQ(kesp.AsyncQCSize(), 1);
    cab.nominal.timestamp = mytime_t(T0);
    cab.nominal.W = 1234;
    kesp.GetNominal('B', n);
    EXPECT_EQ(n.W, 1234u);
    EXPECT_EQ(kesp.AsyncQCSize(), 1);
}

TEST_F(KespData, MissingIdentificationTakesTheBoardInformation)
{
    kesp.upsBox[1].extendedBoardBox.inf.timestamp = mytime_t(T0);
    memcpy(kesp.upsBox[1].extendedBoardBox.inf.ro.SerialNumber, "MU-SERIAL-000001", 17);
    memcpy(kesp.upsBox[1].extendedBoardBox.inf.ro.FWVersion, "FW-1.02.03  ", 13);
    identification_t id;
    memset(&id, 0, sizeof id);
    kesp.GetIdentification('B', id);
    EXPECT_EQ(id.IO_Cfg, TT);
    EXPECT_EQ(id.partialInfo, 0xFC);
    EXPECT_EQ(0, memcmp(cab.identification.SN_AUX, "MU-SERIAL-000001", 17));
    EXPECT_EQ(0, memcmp(cab.identification.SWVer_AUX, "FW-1.02.03  ", 13));
    EXPECT_EQ(kesp.AsyncQCSize(), 1);
}

TEST_F(KespData, SystemStatusWithoutTreeIsTheStartRecord)
{
    kesp.sys = nullptr;
    LogCapture log;
    descSys_t out;
    memset(&out, 0x5A, sizeof out);
    kesp.GetSysStatus(out);
    EXPECT_EQ(log.count("Err (GetSysStatus): SISTEMA NON INIZIALIZZATO!!\n"), 1);
    EXPECT_EQ(out.Ups.extStatus, 0x80);
    EXPECT_EQ(out.Ups.status, 0x40);
}

// GetSysStatus only reads: the counters of the running aggregation stay as they are.
TEST(KespDataCard, SystemStatusReaderLeavesTheCountersAlone)
{
    CardFixture card;
    SystemMgr *mgr = card.mgr();
    ASSERT_NE(mgr, nullptr);
    KESPMgr *k = card.kesp();
    virtualNode_t *sysNode = k->sys;
    ASSERT_NE(sysNode, nullptr);
    {
        myMutexLocker lk(k->mutexKESPData);
        sysNode->desc.sys.Ups.timestamp = 0;   // stale: the reader gets the start values
        sysNode->desc.sys.Batteries.timestamp = 0;
    }
    mgr->moduleNotOnLoad = 0;
    mgr->moduleUsed = 3;
    descSys_t out;
    k->GetSysStatus(out);
    EXPECT_EQ(out.Ups.extStatus, 0x80);
    EXPECT_EQ(mgr->moduleNotOnLoad, 0);
    EXPECT_EQ(mgr->moduleUsed, 3);
}

} // namespace
