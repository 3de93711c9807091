// Module aggregation: the own cabinet's module turned into the cabinet record.
//
// Most cases run the aggregation on local nodes (module, cabinet, system) with a
// module-bus and a cabinet-bus thread object that are never started, and a driven
// clock. The last cases run a whole card against the stand-in module.
#include "CardFixture.h"
#include "DUVEXAggregate.h"
#include "Globals.h"
#include "SystemMgr.h"
#include "TestSupport.h"
#include "ThreadDUVEX.h"
#include "ThreadKESP.h"
#include "VirtualUPSInit.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

using tvktest::CardFixture;
using tvktest::FakeClock;
using tvktest::LogCapture;

namespace {

class Aggregate : public ::testing::Test {
protected:
    // The cabinet the card belongs to (0..3).
    void setOwn(uint8 box)
    {
        own = box;
        KESPAddr = uint8(FIRSTUPSBOX + box);
        for (int b = 0; b < 4; ++b) {
            kesp.upsBox[b].pVN = nullptr;
            duvex.ModulesData[b][0].pVN = nullptr;
            duvex.ModulesData[b][0].commStatus = commStatus_t{};
        }
        memset(&cfg, 0, sizeof cfg);
        cfg.Ups[own].present = 1;
        cfg.Ups[own].modulePresent[0] = 1;
        kesp.upsBox[own].pVN = &cab;
        kesp.upsBox[own].extendedBoardBox.idu = 0x55;
        duvex.ModulesData[own][0].pVN = &mod;
        duvex.ModulesData[own][0].commStatus.active = true;
        duvex.ModulesData[own][0].commStatus.isGood = true;
    }

    void SetUp() override
    {
        savedAddr = KESPAddr;
        memset(&sysRec, 0, sizeof sysRec);
        memset(&cab, 0, sizeof cab);
        memset(&mod, 0, sizeof mod);
        sysRec.nodetype = sysNode;
        cab.nodetype = upsBoxNode;
        mod.nodetype = moduleNode;
        mod.panel.value = CMD_NONE;
        kesp.sys = &sysRec;
        setOwn(0);

        // A healthy module on line.
        InitValueIdentification(&mod.identification, IdentSource::ModuleBus);
        mod.identification.timestamp = 1700000000;
        memcpy(mod.identification.SN, "SN-OF-MODULE-01 ", 16);
        mod.nominal.timestamp = 1700000000;
        mod.nominal.VA = 30000;
        mod.nominal.W = 27000;
        mod.nominal.BatteryV = 480;
        dataObject_t &d = M();
        InitValueUPSStatus(&d);
        d.timestamp = 1700000000;
        d.Output_Powered = 1;
        d.Line_Present = 1;
        d.UPS_OK = 1;
#if !defined(TVK_MODULAR)
        d.statusCode = ONLINE;
        d.DCBusVolt[0] = 400;
        d.DCBusVolt[1] = 401;
        d.powerTemp[2] = 45;
        d.batteryTemp[1] = 28;
        d.configCounter = 3;
        d.counterHours = 12;
        d.counterMinutes = 34;
        d.counterSeconds = 56;
#endif
        for (int p = 0; p < 3; ++p) {
            d.Vin[p] = d.Vbyp[p] = d.Vout[p] = uint16(230 + p);
            d.Uin[p] = d.Ubyp[p] = d.Uout[p] = uint16(400 + p);
            d.Load[p] = int16(25 + p);
            d.Va[p] = 2300 + p;
            d.Watt[p] = 2000 + p;
            d.VAR[p] = 7;
            d.Iin[p] = uint32(9 + p);
            d.Iout[p] = 10 + p;
            d.Iout_pk[p] = 15 + p;
        }
        d.maxLoad = 27;
        d.Frq_in = d.Frq_byp = d.Frq_out = 500;
        d.Vbatp = 270;
        d.Vbatn = 268;
        d.Ibatp = 5;
        d.Ibatn = 6;
        d.Aut_time = 60;
        d.Carica_adj = 90;
        d.Temp0 = 31;
        sysRec.desc.sys.Ups.Output_Powered = 1;

        env.kesp = &kesp;
        env.cfg = &cfg;
        env.cntForSameBuild = 2;
        env.debounce = &db;
    }

    void TearDown() override { KESPAddr = savedAddr; }

    dataObject_t &M() { return mod.desc.module.data; }
    dataObject_t &C() { return cab.desc.upsBox.Ups; }
    elemDesc_t desc() { return cab.desc.upsBox.subSystem.UPSShelter[0]; }
    int alarmSt() { return int(desc().alarmSt); }
#if !defined(TVK_MODULAR)
    int elemSt() { return int(desc().elemSt); }
#endif

    // One aggregation, a little over a second after the previous one.
    void run()
    {
        clock.advanceMs(1001);
        AggregateUPSWith(duvex, duvex.ModulesData[own], own, env);
    }

    FakeClock clock;
    LogCapture log;
    DUVEXMgr duvex;
    KESPMgr kesp;
    PlantCfg cfg;
    AggregateDebounce db;
    AggregateEnv env;
    virtualNode_t sysRec, cab, mod;
    uint8 own = 0;
    uint8 savedAddr = 0;
};

TEST_F(Aggregate, HealthyModuleIsPublished)
{
    memset(&cab.desc.upsBox.Batteries, 0x11, sizeof cab.desc.upsBox.Batteries);
    cab.desc.upsBox.boxStatus = 0x01;   // NotPresentString, kept as it stands
    cab.desc.upsBox.mcuStatus = 0x02;
    kesp.upsBox[own].MCUcommStatus.isGood = false;
    run();

    const dataObject_t &c = C();
    EXPECT_EQ(+c.timestamp, mytime_t(clock.now()));
    EXPECT_EQ(+cab.desc.upsBox.timestamp, mytime_t(clock.now()));
    EXPECT_TRUE(kesp.upsBox[own].MCUcommStatus.isGood);
    EXPECT_TRUE(c.Output_Powered);
    EXPECT_TRUE(c.Line_Present);
    EXPECT_TRUE(c.SWOUT);
    EXPECT_TRUE(c.UPS_OK);
    EXPECT_FALSE(c.Anomaly);
    EXPECT_FALSE(c.commError);
    for (int p = 0; p < 3; ++p) {
        EXPECT_EQ(+c.Vin[p], 230 + p);
        EXPECT_EQ(+c.Uout[p], 400 + p);
        EXPECT_EQ(+c.Load[p], 25 + p);
        EXPECT_EQ(+c.Va[p], 2300 + p);
        EXPECT_EQ(+c.Watt[p], 2000 + p);
        EXPECT_EQ(+c.VAR[p], 0) << "reactive power is not aggregated";
        EXPECT_EQ(+c.Iin[p], uint32(9 + p));
        EXPECT_EQ(+c.Iout_pk[p], 15 + p);
    }
    EXPECT_EQ(+c.maxLoad, 27);
    EXPECT_EQ(+c.Frq_out, 500);
    EXPECT_EQ(+c.Vbatp, 270);
    EXPECT_EQ(+c.Vbatn, 268);
    EXPECT_EQ(+c.Ibatp, 5);
    EXPECT_EQ(+c.Aut_time, 60);
    EXPECT_EQ(+c.Carica_adj, 90);
    EXPECT_EQ(+c.Temp0, 31);
#if !defined(TVK_MODULAR)
    EXPECT_EQ(+c.statusCode, ONLINE);
    EXPECT_EQ(+c.DCBusVolt[1], 401);
    EXPECT_EQ(+c.powerTemp[2], 45);
    EXPECT_EQ(+c.batteryTemp[1], 28);
    EXPECT_EQ(+c.counterMinutes, 34);
    EXPECT_EQ(alarmSt(), int(noneAlarm));
    EXPECT_EQ(elemSt(), int(NormalMode));
#else
    EXPECT_EQ(alarmSt(), int(noneAlarm));
#endif
    EXPECT_EQ(+cab.desc.upsBox.boxStatus & 0x01, 0x01);
    EXPECT_EQ(+cab.desc.upsBox.mcuStatus, 0x02);
    EXPECT_EQ(+cab.desc.upsBox.Batteries.barsPosV, 0x1111);

    EXPECT_EQ(+cab.nominal.timestamp, mytime_t(clock.now()));
    EXPECT_EQ(+cab.nominal.VA, 30000u);
    EXPECT_EQ(+cab.nominal.W, 27000u);
    EXPECT_EQ(+cab.nominal.BatteryV, 0);
    EXPECT_EQ(0, memcmp(&cab.identification, &mod.identification, sizeof(identification_t)));
    EXPECT_EQ(+kesp.upsBox[own].extendedBoardBox.idu, 0xFF) << "no master module in this cabinet";
}

TEST_F(Aggregate, AtMostOncePerSecond)
{
    run();
    const mytime_t first = cab.desc.upsBox.timestamp;
    M().Vin[0] = 240;

    clock.advanceMs(1000);   // exactly one second later: still too early
    AggregateUPSWith(duvex, duvex.ModulesData[own], own, env);
    EXPECT_EQ(+C().Vin[0], 230);
    EXPECT_EQ(+cab.desc.upsBox.timestamp, first);
    if (tvk_debugEnabled()) {
        EXPECT_EQ(log.count("troppo presto\n"), 1);
    }

    clock.advanceMs(1);   // now more than a second after the last run
    AggregateUPSWith(duvex, duvex.ModulesData[own], own, env);
    EXPECT_EQ(+C().Vin[0], 240);
    EXPECT_EQ(log.count("troppo presto"), tvk_debugEnabled() ? 1 : 0);
}

TEST_F(Aggregate, BatteryVoltageThreshold)
{
    struct Case {
        uint16 vbatp;
        uint16 cabVbatp, cabAut;
        uint8 cabCharge;
    } cases[] = {
        {99, 0, 0, 0},             // no battery: nothing taken
        {100, 100, 0xFFFF, 0},     // voltage taken, but no autonomy and no charge
        {101, 101, 60, 90},        // all three
    };
    for (const Case &k : cases) {
        M().Vbatp = k.vbatp;
        run();
        EXPECT_EQ(+C().Vbatp, k.cabVbatp) << k.vbatp;
        EXPECT_EQ(+C().Aut_time, k.cabAut) << k.vbatp;
        EXPECT_EQ(+C().Carica_adj, k.cabCharge) << k.vbatp;
    }
}

TEST_F(Aggregate, PresenceThresholds)
{
    const uint16 ln = uint16(profile::LN_VOLTTH), ll = uint16(profile::LL_VOLTTH);
    dataObject_t &d = M();
    for (int p = 0; p < 3; ++p) {
        // phase 0 just below, phase 1 at the threshold, phase 2 well above
        const uint16 lnv = p == 0 ? uint16(ln - 1) : p == 1 ? ln : 230;
        const uint16 llv = p == 0 ? uint16(ll - 1) : p == 1 ? ll : 400;
        d.Vin[p] = d.Vbyp[p] = d.Vout[p] = lnv;
        d.Uin[p] = d.Ubyp[p] = d.Uout[p] = llv;
    }
    d.Frq_in = 19;
    d.Frq_byp = 20;
    d.Vbatn = 99;
#if !defined(TVK_MODULAR)
    d.DCBusVolt[0] = 99;
    d.DCBusVolt[1] = 100;
#endif
    run();
    const dataObject_t &c = C();
    for (int p = 0; p < 3; ++p) {
        const uint16 lnWant = p == 0 ? 0 : p == 1 ? ln : 230;
        const uint16 llWant = p == 0 ? 0 : p == 1 ? ll : 400;
        EXPECT_EQ(+c.Vin[p], lnWant) << p;
        EXPECT_EQ(+c.Vbyp[p], lnWant) << p;
        EXPECT_EQ(+c.Vout[p], lnWant) << p;
        EXPECT_EQ(+c.Uin[p], llWant) << p;
        EXPECT_EQ(+c.Ubyp[p], llWant) << p;
        EXPECT_EQ(+c.Uout[p], llWant) << p;
    }
    EXPECT_EQ(+c.Frq_in, 0);
    EXPECT_EQ(+c.Frq_byp, 20);
    EXPECT_EQ(+c.Vbatn, 0);
#if !defined(TVK_MODULAR)
    EXPECT_EQ(+c.DCBusVolt[0], 0);
    EXPECT_EQ(+c.DCBusVolt[1], 100);
#endif
}

TEST_F(Aggregate, LoadOnlyWhileOutputPowered)
{
    M().Output_Powered = 0;
    sysRec.desc.sys.Ups.Output_Powered = 0;
    run();
    for (int p = 0; p < 3; ++p)
        EXPECT_EQ(+C().Load[p], 0);
    EXPECT_EQ(+C().maxLoad, 27);
    EXPECT_EQ(+C().Va[0], 2300) << "powers are summed whatever the output";
}

#if !defined(TVK_MODULAR)
TEST_F(Aggregate, ModuleDescriptorFromStateAndAlarms)
{
    struct Case {
        uint8 statusCode;
        uint8 alarm;   // module alarm byte
        alarmStatus_t al;
        elemStatus_t st;
    } cases[] = {
        {99, 0, faultAlarm, NormalMode},
        {40, 0, noneAlarm, NormalMode},
        {40, 0x01, warningAlarm, NormalMode},
        {40, 0x03, anomalyAlarm, NormalMode},
        {40, 0x07, faultAlarm, NormalMode},
        {40, 0x0F, lockAlarm, NormalMode},
        {5, 0x04, noneAlarm, Stand_byMode},    // waiting for the cabinet id hides the fault
        {20, 0, warningAlarm, Stand_byMode},
        {22, 0, noneAlarm, Stand_byMode},
        {11, 0, noneAlarm, PrechargeMode},
        {32, 0, noneAlarm, CalibrationMode},
        {21, 0, noneAlarm, WaitVbatReadyMode},
        {65, 0, noneAlarm, OnBypassMode},
        {81, 0, noneAlarm, BatteryWorkingMode},
        {41, 0, noneAlarm, EnergySavingMode},
        {72, 0, noneAlarm, NormalMode},
        {92, 0, noneAlarm, NormalMode},
        {8, 0, faultAlarm, NormalMode},        // not in any group
        {240, 0, faultAlarm, NormalMode},
    };
    for (const Case &k : cases) {
        M().statusCode = statusCode_t(k.statusCode);
        M().alarm = k.alarm;
        log.clear();
        run();
        EXPECT_EQ(int(desc().alarmSt), int(k.al)) << int(k.statusCode) << "/" << int(k.alarm);
        EXPECT_EQ(int(desc().elemSt), int(k.st)) << int(k.statusCode);
        EXPECT_EQ(int(desc().spare1), 0);
        EXPECT_EQ(int(desc().spare2), 0);
        const bool odd = k.statusCode == 99 || k.statusCode == 8 || k.statusCode == 240;
        EXPECT_EQ(log.count("Armadio 0x0A: Stato modulo 1 anomalo!!!\n"), odd ? 1 : 0) << int(k.statusCode);
        EXPECT_EQ(log.count("War (AggregateUPS): statusCode:" + std::to_string(k.statusCode) + "\n"), odd ? 1 : 0);
        if (k.al == lockAlarm) {
            // the descriptor word, most significant bit first
            EXPECT_TRUE(log.contains("desc: 0000010100000101\n"));
        }
    }
}
#endif

TEST_F(Aggregate, SlotStatesAndDescriptor)
{
    // Not polled: nothing taken, not present.
    duvex.ModulesData[own][0].commStatus.active = false;
    run();
    EXPECT_EQ(alarmSt(), int(noneAlarm));
#if !defined(TVK_MODULAR)
    EXPECT_EQ(elemSt(), int(NOT_PRESENT));
#endif
    EXPECT_EQ(+C().timestamp, 0);
    EXPECT_FALSE(C().commError);
    EXPECT_EQ(+C().Vin[0], 0);
    EXPECT_EQ(+M().Vin[0], 230) << "an idle slot's module data are left alone";
    EXPECT_TRUE(log.contains("Nessun modulo e' in buono stato di comunicazione\n"));
}

TEST_F(Aggregate, SilentModuleIsResetAndMarked)
{
    M().Clock_Update = 1;
    mod.desc.module.statusDetail.states[3] = 0x10;
    duvex.ModulesData[own][0].commStatus.isGood = false;
    run();

    // The module node back to its initial values, marked.
    EXPECT_EQ(+M().timestamp, 0);
    EXPECT_EQ(+M().Vin[0], 0);
    EXPECT_EQ(+M().Frq_out, 500);
    EXPECT_EQ(+M().Temp0, 25);
    EXPECT_TRUE(M().commError);
    EXPECT_TRUE(M().Anomaly);
    EXPECT_FALSE(M().Output_Powered);
    EXPECT_EQ(+mod.identification.timestamp, 0);
    EXPECT_EQ(std::string(mod.identification.SN), std::string(16, ' '));
    EXPECT_EQ(+mod.nominal.VA, 0u);
#if !defined(TVK_MODULAR)
    EXPECT_EQ(+mod.desc.module.statusDetail.states[3], 0);
#endif

    // The cabinet: communication error, stale data, module lost.
    EXPECT_TRUE(C().commError);
    EXPECT_TRUE(C().Anomaly);
    EXPECT_FALSE(C().UPS_OK);
    EXPECT_EQ(+C().timestamp, 0);
    EXPECT_EQ(+cab.desc.upsBox.timestamp, mytime_t(clock.now()));
    EXPECT_EQ(alarmSt(), int(commLostAlarm));
#if !defined(TVK_MODULAR)
    EXPECT_EQ(elemSt(), int(NormalMode));
#endif
    EXPECT_EQ(+C().Vin[0], 0);
    EXPECT_EQ(+C().Aut_time, 0);
    EXPECT_EQ(+cab.nominal.VA, 0u);
    EXPECT_EQ(+cab.identification.timestamp, 0);
    EXPECT_TRUE(log.contains("War (AggregateUPS): Nessun modulo e' in buono stato di comunicazione\n"));
    EXPECT_FALSE(log.contains("Start singleQC ST")) << "a silent module's clock is not set";

    // It answers again: the mark goes.
    duvex.ModulesData[own][0].commStatus.isGood = true;
    M().Vin[0] = 230;
    run();
    EXPECT_FALSE(M().commError);
    EXPECT_FALSE(C().commError);
    EXPECT_NE(+C().timestamp, 0);
    EXPECT_EQ(+C().Vin[0], 230);
}

TEST_F(Aggregate, MissingNodes)
{
    // An active slot without its node: nothing is touched.
    duvex.ModulesData[own][0].pVN = nullptr;
    run();
    EXPECT_TRUE(log.contains("Err (AggregateUPS): Grave errore, puntatore ai dati del modulo 1 non inizializzato!!\n"));
    EXPECT_EQ(log.count("ESCO\n"), profile::modular ? 1 : 0);
    EXPECT_EQ(+cab.desc.upsBox.timestamp, 0);
    EXPECT_FALSE(kesp.upsBox[own].MCUcommStatus.isGood);

    // No cabinet node: silently nothing.
    duvex.ModulesData[own][0].pVN = &mod;
    kesp.upsBox[own].pVN = nullptr;
    log.clear();
    run();
    EXPECT_FALSE(kesp.upsBox[own].MCUcommStatus.isGood);
    EXPECT_EQ(+cab.desc.upsBox.timestamp, 0);
    for (const std::string &l : log.lines()) {
        EXPECT_EQ(l.find(" Err "), std::string::npos) << l;
        EXPECT_EQ(l.find(" War "), std::string::npos) << l;
    }
}

// A module whose node cannot be found is not registered: -1, its slot stays inactive
// and unpolled, and the aggregation takes nothing from it (no error line every second).
TEST_F(Aggregate, ModuleWithoutTreeNodeIsNotRegistered)
{
    ASSERT_EQ(pSysMgr, nullptr);   // no system manager, so no tree to find the node in
    duvex.ModulesData[own][0].pVN = &mod;
    EXPECT_EQ(duvex.RegisterModule(uint8(FIRSTUPSBOX + own), '1'), -1);
    EXPECT_EQ(log.count(" Err (RegisterModule): Nodo SA.BA.M1 non trovato: modulo 1 dell'armadio A non "
                        "registrato!\n"),
              1)
        << log.text();
    EXPECT_FALSE(duvex.ModulesData[own][0].commStatus.active);
    EXPECT_EQ(duvex.ModulesData[own][0].pVN, nullptr);
    EXPECT_EQ(duvex.fixQueueSize(), 0) << "no polling round for a module without node";
    // Another cabinet's module likewise.
    EXPECT_EQ(duvex.RegisterModule(uint8(FIRSTUPSBOX + 2), '1'), -1);
    EXPECT_FALSE(duvex.ModulesData[2][0].commStatus.active);

    log.clear();
    run();
    run();
    EXPECT_FALSE(log.contains("Grave errore")) << log.text();
    EXPECT_EQ(alarmSt(), int(noneAlarm));
#if !defined(TVK_MODULAR)
    EXPECT_EQ(elemSt(), int(NOT_PRESENT));
#endif
}

TEST_F(Aggregate, OutputPoweredDisagreementIsDebounced)
{
    const std::string warning = "War (AggregateUPS): Lo stato Output_Powered non e' coerente!!\n";
    M().Output_Powered = 0;   // the system says powered, the module not
    run();                    // disagreement seen at t0
    const time_t t0 = clock.now();
    while (clock.now() - t0 < 5) {
        run();
        EXPECT_FALSE(C().outputPoweredAnomaly) << clock.now() - t0;
        EXPECT_FALSE(C().Anomaly) << clock.now() - t0;
    }
    while (clock.now() - t0 < 6)
        run();
    EXPECT_TRUE(C().outputPoweredAnomaly);
    EXPECT_TRUE(C().Anomaly);
    EXPECT_FALSE(C().UPS_OK);
    EXPECT_EQ(log.count(warning), 1);

    for (int i = 0; i < 5; ++i)
        run();
    EXPECT_TRUE(C().outputPoweredAnomaly);
    EXPECT_EQ(log.count(warning), 1) << "the warning is logged once per disagreement";

    sysRec.desc.sys.Ups.Output_Powered = 0;   // they agree again
    run();
    EXPECT_FALSE(C().outputPoweredAnomaly);
    EXPECT_FALSE(C().Anomaly);
    EXPECT_TRUE(C().UPS_OK);

    // A new disagreement counts from its own start, not from the old one.
    sysRec.desc.sys.Ups.Output_Powered = 1;
    run();
    run();
    EXPECT_FALSE(C().outputPoweredAnomaly);
}

TEST_F(Aggregate, NoSystemNodeMeansNoDisagreement)
{
    kesp.sys = nullptr;
    M().Output_Powered = 0;
    for (int i = 0; i < 10; ++i)
        run();
    EXPECT_FALSE(C().outputPoweredAnomaly);
}

TEST_F(Aggregate, LockAndBypassBadFollowTheOneModule)
{
    M().Lock = 1;
    M().Bypass_Bad = 1;
    for (int i = 0; i < 8; ++i)
        run();
    EXPECT_TRUE(C().Lock);
    EXPECT_TRUE(C().Bypass_Bad);
    EXPECT_FALSE(C().bypassBadAnomaly) << "all modules agree";
    EXPECT_FALSE(C().UPS_OK);
    EXPECT_FALSE(log.contains("Non tutti i moduli"));
    M().Lock = 0;
    M().Bypass_Bad = 0;
    run();
    EXPECT_FALSE(C().Lock);
    EXPECT_FALSE(C().Bypass_Bad);
}

TEST_F(Aggregate, BatteryWorkingAndFirmware)
{
    struct Case {
        bool working, low;
        uint8 cntForSameBuild;
        bool cabLow, linePresent, fwAnomaly;
    } cases[] = {
        {true, true, 2, true, false, false},
        {true, false, 3, false, false, true},
        {false, true, 8, false, true, true},
        {false, false, 0, false, true, false},
    };
    for (const Case &k : cases) {
        M().Battery_Working = k.working;
        M().Battery_Low = k.low;
        env.cntForSameBuild = k.cntForSameBuild;
        run();
        EXPECT_EQ(bool(C().Battery_Working), k.working);
        EXPECT_EQ(bool(C().Battery_Low), k.cabLow) << k.working << k.low;
        EXPECT_EQ(bool(C().Line_Present), k.linePresent) << k.working;
        EXPECT_EQ(bool(C().differentFirmwareAnomaly), k.fwAnomaly) << int(k.cntForSameBuild);
        EXPECT_EQ(bool(C().Anomaly), k.fwAnomaly) << int(k.cntForSameBuild);
        EXPECT_FALSE(C().batteryWorkingAnomaly);
    }
}

TEST_F(Aggregate, CabinetSwitchesAndFlags)
{
    statusCoding_t &sd = mod.desc.module.statusDetail;
    run();
    EXPECT_TRUE(cab.desc.upsBox.SWIN);
    EXPECT_TRUE(cab.desc.upsBox.SWBYP);
    EXPECT_TRUE(cab.desc.upsBox.SWBATT);
    EXPECT_FALSE(C().Alarm_Temperature);

    // The switches open: the cabinet shows them open (not the last closed state).
    sd.InputSwitchOpen = 1;
    sd.BypassSwitchOpen = 1;
    sd.spare63 = 1;
    sd.OutputSwitchOpen = 1;
    sd.ManualBypassCommand = 1;
    kesp.upsBox[own].extendedBoardBox.Status.Cabinet_Overtemp = true;
    run();
    EXPECT_FALSE(cab.desc.upsBox.SWIN);
    EXPECT_FALSE(cab.desc.upsBox.SWBYP);
    EXPECT_FALSE(cab.desc.upsBox.SWBATT);
    EXPECT_FALSE(C().SWOUT);
    EXPECT_TRUE(C().Anomaly) << "output switch open";
    EXPECT_TRUE(C().SWMB);
    EXPECT_TRUE(C().Warning) << "manual bypass";
    EXPECT_TRUE(C().Alarm_Temperature);

    // Nobody answers: the switches keep their last known state.
    sd.InputSwitchOpen = 0;
    run();
    EXPECT_TRUE(cab.desc.upsBox.SWIN);
    duvex.ModulesData[own][0].commStatus.isGood = false;
    run();
    EXPECT_TRUE(cab.desc.upsBox.SWIN);
}

TEST_F(Aggregate, MasterModuleIduPerCabinet)
{
    const uint8 expected[4] = {1, 9, 17, 25};
    for (uint8 box = 0; box < 4; ++box) {
        setOwn(box);
        M().isMaster = 1;
        run();
        EXPECT_EQ(+kesp.upsBox[box].extendedBoardBox.idu, expected[box]) << int(box);
        EXPECT_TRUE(C().isMaster) << "the cabinet record carries the master flag";
        if (tvk_debugEnabled()) {
            EXPECT_TRUE(log.contains("in questo armadio c'e' il MASTER! idu:" + std::to_string(expected[box]) + "\n"));
        }
    }

    // Not master, or not answering: 0xFF.
    M().isMaster = 0;
    run();
    EXPECT_EQ(+kesp.upsBox[own].extendedBoardBox.idu, 0xFF);
    EXPECT_FALSE(C().isMaster);
    M().isMaster = 1;
    duvex.ModulesData[own][0].commStatus.isGood = false;
    run();
    EXPECT_EQ(+kesp.upsBox[own].extendedBoardBox.idu, 0xFF);
    EXPECT_FALSE(M().isMaster);
    EXPECT_FALSE(C().isMaster);
}

TEST_F(Aggregate, PanelCommands)
{
    struct Case {
        uint8 value;
        bool wrongPower;
        const char *expect;   // a line that must appear, or null
        bool commandSent;
    } cases[] = {
        {CMD_ZVL_POWERON, true, nullptr, false},
        {CMD_ZVL_POWERON, false, "Comando accensione non accodato!\n", true},
        {CMD_ZVL_OFF, false, "Comando spegnimento non accodato!\n", true},
        {CMD_ZVL_OFF, true, "Comando spegnimento non accodato!\n", true},
        {CMD_SHUTDOWN, false, "Err (AggregateUPS): Comando (0) non supportato!!\n", false},
        {CMD_TESTBATT, false, "Err (AggregateUPS): Comando (3) non supportato!!\n", false},
        {7, false, "War (AggregateUPS): Valore non previsto (7)\n", false},
        {CMD_NONE, false, nullptr, false},
    };
    for (const Case &k : cases) {
        mod.panel.value = cmdType_t(k.value);
        M().wrongPower = k.wrongPower;
        log.clear();
        run();
        EXPECT_EQ(+mod.panel.value, CMD_NONE) << int(k.value);
        if (k.expect) {
            EXPECT_EQ(log.count(k.expect), 1) << int(k.value);
        }
        // Without a cabinet-bus manager behind the card the module is never ready, so
        // a command that was tried shows as refused by the module.
        EXPECT_EQ(log.count("IL MODULO NON E` PRONTO A RICEVERE IL COMANDO!!!!\n"), k.commandSent ? 1 : 0)
            << int(k.value) << "/" << k.wrongPower;
    }

    // Modules of other cabinets known to this card are served too.
    virtualNode_t other;
    memset(&other, 0, sizeof other);
    other.panel.value = CMD_ZVL_OFF;
    duvex.ModulesData[2][0].pVN = &other;
    log.clear();
    run();
    EXPECT_EQ(+other.panel.value, CMD_NONE);
    EXPECT_EQ(log.count("Comando spegnimento non accodato!\n"), 1);
    if (tvk_debugEnabled()) {
        EXPECT_TRUE(log.contains("C1 panel->value:255)\n"));
    }
}

TEST_F(Aggregate, ClockRefreshAfterCabinetDataAreReleased)
{
    M().Clock_Update = 1;
    bool heldDuringRefresh = true;
    // The set-clock query starts a single-query thread; at that moment the cabinet
    // data must be free (the cabinet bus would otherwise wait for the module bus).
    log.clear();
    tvk_setLogSink([&](const std::string &l) {
        if (l.find("Start singleQC ST") != std::string::npos) {
            heldDuringRefresh = !kesp.mutexKESPData->tryLock();
            if (!heldDuringRefresh)
                kesp.mutexKESPData->unlock();
        }
    });
    run();
    tvk_setLogSink(LogSink());
    EXPECT_FALSE(heldDuringRefresh);
    EXPECT_TRUE(C().Clock_Update);
}

// ---- A whole card against the stand-in module --------------------------------------

TEST(AggregateCard, CabinetRecordFollowsTheModule)
{
    AggregateUPSResetDebounce();
    CardFixture card;
    card.sim().update([](tvksim::ModuleState &s) {
        s.FlagExt[1] = 0x20;   // the plant's master module
    });
    virtualNode_t *cabNode = card.node("SA.BA");
    virtualNode_t *modNode = card.node("SA.BA.M1");
    ASSERT_NE(cabNode, nullptr);
    ASSERT_NE(modNode, nullptr);
    KESPMgr *k = card.kesp();
    // Modular modules report no master flag (they are not asked for RX).
    const uint8 masterIdu = profile::modular ? 0xFF : 1;
    auto published = [&] {
        // The cabinet record is written under the cabinet data mutex, the module record
        // under the module data mutex (taken inside it, as the aggregation does).
        myMutexLocker lk(k->mutexKESPData);
        myMutexLocker lkm(card.duvex()->mutexDuvexData);
        const dataObject_t &c = cabNode->desc.upsBox.Ups;
        const dataObject_t &m = modNode->desc.module.data;
        return c.timestamp != 0 && k->upsBox[0].extendedBoardBox.idu == masterIdu && m.Vin[0] != 0 &&
               c.Vin[0] == m.Vin[0] && c.Vin[2] == m.Vin[2];
    };
    ASSERT_TRUE(CardFixture::waitFor(published, 15000));
    {
        myMutexLocker lk(k->mutexKESPData);
        EXPECT_EQ(bool(cabNode->desc.upsBox.Ups.isMaster), !profile::modular);
        EXPECT_NE(int(cabNode->desc.upsBox.subSystem.UPSShelter[0].alarmSt), int(commLostAlarm));
        EXPECT_EQ(+cabNode->nominal.VA, 30000u);
    }

    // The module falls silent: the cabinet record goes stale and the module is lost.
    card.sim().update([](tvksim::ModuleState &s) { s.FlagExt[1] = 0; });
    tvksim::Faults f;
    f.silent = true;
    card.sim().setFaults(f);
    auto lost = [&] {
        myMutexLocker lk(k->mutexKESPData);
        return cabNode->desc.upsBox.Ups.timestamp == 0 && cabNode->desc.upsBox.Ups.commError &&
               cabNode->desc.upsBox.subSystem.UPSShelter[0].alarmSt == commLostAlarm;
    };
    EXPECT_TRUE(CardFixture::waitFor(lost, 60000));
    {
        myMutexLocker lk(k->mutexKESPData);
        EXPECT_EQ(+k->upsBox[0].extendedBoardBox.idu, 0xFF);
    }
}

} // namespace
