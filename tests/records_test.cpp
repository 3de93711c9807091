// Status records, plant configuration and the initialisers of the records.
#include "Globals.h"
#include "Profile.h"
#include "SysCfgMgr.h"
#include "VirtualUPSInit.h"
#include "VirtualUPSTypes.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

template <typename T> const uint8 *bytesOf(const T &r) { return reinterpret_cast<const uint8 *>(&r); }

// Presence flags of the command line, restored after each test.
class PresenceFlags {
public:
    PresenceFlags() : a_(moduleApresent), b_(moduleBpresent), c_(moduleCpresent), d_(moduleDpresent) {}
    ~PresenceFlags()
    {
        moduleApresent = a_;
        moduleBpresent = b_;
        moduleCpresent = c_;
        moduleDpresent = d_;
    }
    void set(bool a, bool b, bool c, bool d)
    {
        moduleApresent = a;
        moduleBpresent = b;
        moduleCpresent = c;
        moduleDpresent = d;
    }

private:
    bool a_, b_, c_, d_;
};

} // namespace

// ---- Plant configuration --------------------------------------------------------------

// The record is the "SC" payload: values must land little-endian at their offsets.
TEST(PlantCfg, FieldsLandAtTheirBusOffsets)
{
    PlantCfg c;
    memset(&c, 0, sizeof c);
    c.DeviceNo = 0x11223344;
    c.externBattCapacity = 0xA1B2;
    c.Ups[3].hygroPresent = 1;
    c.word7 = 0x00E6;
    c.word304 = 0xBEEF;
    strcpy(c.passwordUser, "pw");
    c.udpd_port = 0x1F90;
    c.httpd_port = 0x0050;
    c.PMRedundant_Excluded = 1;
    c.trailingPad = 0x7E;

    const uint8 *b = bytesOf(c);
    ASSERT_EQ(sizeof c, 374u);
    EXPECT_EQ(b[0], 0x44);
    EXPECT_EQ(b[3], 0x11);
    EXPECT_EQ(b[24], 0xB2);
    EXPECT_EQ(b[25], 0xA1);
    EXPECT_EQ(b[26 + 3 * 13 + 12], 1);   // Ups[3].hygroPresent
    EXPECT_EQ(b[80], 0xE6);
    EXPECT_EQ(b[160], 0xEF);
    EXPECT_EQ(b[161], 0xBE);
    EXPECT_EQ(b[162], 'p');
    EXPECT_EQ(b[331], 0x90);
    EXPECT_EQ(b[332], 0x1F);
    EXPECT_EQ(b[367], 0x50);
    EXPECT_EQ(b[372], 1);
    EXPECT_EQ(b[373], 0x7E);
}

TEST(PlantCfg, DefaultConfigurationFromPresenceFlags)
{
    struct Case {
        bool a, b, c, d;
    };
    const Case cases[] = {{false, false, false, false}, {false, true, false, false},
                          {true, false, true, false},   {true, true, true, true}};
    PresenceFlags keep;
    for (const Case &k : cases) {
        keep.set(k.a, k.b, k.c, k.d);
        SysCfgMgr m;
        bool want[4] = {k.a, k.b, k.c, k.d};
        if (profile::modular)
            want[0] = true;   // the modular plant always has cabinet A
        int n = 0;
        for (int i = 0; i < 4; ++i) {
            SCOPED_TRACE(std::string("flags ") + char('0' + k.a) + char('0' + k.b) + char('0' + k.c) +
                         char('0' + k.d) + " cabinet " + char('A' + i));
            EXPECT_EQ(m.Cfg.Ups[i].present, want[i] ? 1 : 0);
            EXPECT_EQ(m.Cfg.Ups[i].modulePresent[0], want[i] ? 1 : 0);
            EXPECT_EQ(m.Cfg.Ups[i].upsBoxType, 0);
            n += want[i];
        }
        EXPECT_EQ(m.numUPS, n);
        EXPECT_EQ(m.seventhModule, 0);
        EXPECT_EQ(m.moduleNotOnLoad, 0);
        EXPECT_EQ(m.moduleUsed, 0);
        EXPECT_EQ(m.Cfg.redundantUPS, profile::modular || profile::standard ? 1 : 0);
        // Nothing else is set: all bytes outside the cabinet flags and redundantUPS are 0.
        PlantCfg expect;
        memset(&expect, 0, sizeof expect);
        memcpy(expect.Ups, m.Cfg.Ups, sizeof expect.Ups);
        expect.redundantUPS = m.Cfg.redundantUPS;
        EXPECT_EQ(memcmp(&expect, &m.Cfg, sizeof expect), 0);
    }
}

// ---- Record layout --------------------------------------------------------------------------

TEST(Records, SizesOfTheExchangedRecords)
{
    EXPECT_EQ(sizeof(identification_t), 98u);
    EXPECT_EQ(sizeof(nominal_t), 20u);
    EXPECT_EQ(sizeof(panel_t), 5u);
    EXPECT_EQ(sizeof(statusCoding_t), 26u);
    EXPECT_EQ(sizeof(dataBatteries_t), 98u);
#if defined(TVK_MODULAR)
    EXPECT_EQ(sizeof(dataObject_t), 160u);
    EXPECT_EQ(sizeof(descUpsBox_t), 267u);
    EXPECT_EQ(sizeof(descSys_t), 269u);
    EXPECT_EQ(sizeof(descModule_t), 186u);
    EXPECT_EQ(sizeof(descBattBox_t), 111u);
#else
    EXPECT_EQ(sizeof(dataObject_t), 185u);
    EXPECT_EQ(sizeof(descUpsBox_t), 331u);
    EXPECT_EQ(sizeof(descSys_t), 336u);
    EXPECT_EQ(sizeof(descModule_t), 223u);
    EXPECT_EQ(sizeof(descBattBox_t), 121u);
    EXPECT_EQ(sizeof(statusCodingExt_t), 12u);
#endif
}

TEST(Records, ElementDescriptorWord)
{
    elemDesc_t e;
#if defined(TVK_MODULAR)
    e.desc = 0xFF;
    e.alarmSt = lockAlarm;
    EXPECT_EQ(+e.desc, 0xFD);   // only bits 0..2 hold the alarm level
    EXPECT_EQ(sizeof e, 1u);
#else
    e.desc = 0;
    e.alarmSt = lockAlarm;
    e.elemSt = OnBypassMode;
    EXPECT_EQ(+e.desc, 0x0705);
    EXPECT_EQ(bytesOf(e)[0], 0x05);
    EXPECT_EQ(bytesOf(e)[1], 0x07);
    e.desc = 0xFFFF;
    EXPECT_EQ(e.alarmSt, 0x0F);
    EXPECT_EQ(e.elemSt, 0x3F);
#endif
}

namespace {

template <typename R> struct FlagCase {
    const char *name;
    void (*set)(R &);
    size_t offset;
    uint8 mask;
};

// Setting one flag on a zeroed record sets exactly one bit, where the bus expects it.
template <typename R> void checkFlags(const std::vector<FlagCase<R>> &cases)
{
    for (const auto &c : cases) {
        R r;
        memset(&r, 0, sizeof r);
        c.set(r);
        const uint8 *b = bytesOf(r);
        for (size_t i = 0; i < sizeof r; ++i)
            EXPECT_EQ(b[i], i == c.offset ? c.mask : 0) << c.name << " byte " << i;
    }
}

} // namespace

TEST(Records, FlagBitsSitWhereTheBusPutsThem)
{
    checkFlags<dataObject_t>({
        {"Warning", [](dataObject_t &d) { d.Warning = 1; }, 4, 0x01},
        {"Battery_Low", [](dataObject_t &d) { d.Battery_Low = 1; }, 4, 0x80},
        {"Battery_Working", [](dataObject_t &d) { d.Battery_Working = 1; }, 5, 0x02},
        {"SWOUT", [](dataObject_t &d) { d.SWOUT = 1; }, 5, 0x40},
        {"isMaster", [](dataObject_t &d) { d.isMaster = 1; }, 6, 0x02},
        {"UPS_OK", [](dataObject_t &d) { d.UPS_OK = 1; }, 6, 0x80},
        {"Bt_present", [](dataObject_t &d) { d.Bt_present = 1; }, 7, 0x08},
        {"wrongPower", [](dataObject_t &d) { d.wrongPower = 1; }, 8, 0x01},
        {"someBatteryDisconnect", [](dataObject_t &d) { d.someBatteryDisconnect = 1; }, 8, 0x80},
        {"SWINCabinetAnomaly", [](dataObject_t &d) { d.SWINCabinetAnomaly = 1; }, 9, 0x01},
        {"bitCmdUnsupported", [](dataObject_t &d) { d.bitCmdUnsupported = 1; }, 9, 0x20},
#if defined(TVK_MODULAR)
        {"RemoteBatteryWorking_Cmd", [](dataObject_t &d) { d.RemoteBatteryWorking_Cmd = 1; }, 7, 0x80},
#else
        {"FreeSW7", [](dataObject_t &d) { d.FreeSW7 = 1; }, 7, 0x80},
        {"FlagExt.updateClockRequest", [](dataObject_t &d) { d.FlagExt.updateClockRequest = 1; }, 14, 0x01},
        {"FlagExt.isMaster", [](dataObject_t &d) { d.FlagExt.isMaster = 1; }, 15, 0x20},
        {"FlagExt.switchBattExtPresent", [](dataObject_t &d) { d.FlagExt.switchBattExtPresent = 1; }, 16, 0x80},
        {"FlagExt.switchBypassPresent", [](dataObject_t &d) { d.FlagExt.switchBypassPresent = 1; }, 17, 0x80},
#endif
    });
    checkFlags<statusCoding_t>({
        {"BypassCommandActive", [](statusCoding_t &s) { s.BypassCommandActive = 1; }, 4, 0x01},
        {"BatteryLowWarning", [](statusCoding_t &s) { s.BatteryLowWarning = 1; }, 5, 0x80},
        {"AnomalyOnRemoreUnit", [](statusCoding_t &s) { s.AnomalyOnRemoreUnit = 1; }, 11, 0x01},
        {"OutputOverloadL3", [](statusCoding_t &s) { s.OutputOverloadL3 = 1; }, 15, 0x80},
        {"OutputOverLoadL3", [](statusCoding_t &s) { s.OutputOverLoadL3 = 1; }, 21, 0x80},
        {"LoadOnBypass", [](statusCoding_t &s) { s.LoadOnBypass = 1; }, 24, 0x40},
        {"OnForAutoRestart", [](statusCoding_t &s) { s.OnForAutoRestart = 1; }, 25, 0x80},
    });
    checkFlags<descSys_t>({
        {"LowRedundancy", [](descSys_t &s) { s.LowRedundancy = 1; }, offsetof(descSys_t, sysStatus), 0x80},
        {"Warning", [](descSys_t &s) { s.Warning = 1; }, offsetof(descSys_t, boxStatus), 0x80},
        {"SWBATT_EXT", [](descSys_t &s) { s.SWBATT_EXT = 1; }, offsetof(descSys_t, externalSwitchStatus), 0x40},
        {"EPO", [](descSys_t &s) { s.EPO = 1; }, offsetof(descSys_t, externalSwitchStatus), 0x80},
        {"FreePMS4", [](descSys_t &s) { s.FreePMS4 = 1; }, offsetof(descSys_t, MCUMUStatus), 0x10},
        {"numBypassOff", [](descSys_t &s) { s.numBypassOff = 5; }, offsetof(descSys_t, MCUMUStatus), 0xA0},
#if !defined(TVK_MODULAR)
        {"statusDetailExt.W09", [](descSys_t &s) { s.statusDetailExt.W09 = 1; }, 328, 0x01},
        {"statusDetailExt.L64", [](descSys_t &s) { s.statusDetailExt.L64 = 1; }, 335, 0x80},
#endif
    });
    checkFlags<descUpsBox_t>({
        {"Slot2Fault", [](descUpsBox_t &b) { b.Slot2Fault = 1; }, offsetof(descUpsBox_t, mcuStatus), 0x02},
        {"FreePMS7", [](descUpsBox_t &b) { b.FreePMS7 = 1; }, offsetof(descUpsBox_t, MCUMUStatus), 0x80},
        {"Ups.isMaster", [](descUpsBox_t &b) { b.Ups.isMaster = 1; }, 10, 0x02},
    });
    checkFlags<dataBattery_t>({
        {"statusStrNeg.notPresent", [](dataBattery_t &b) { b.statusStrNeg.notPresent = 1; }, 1, 0x80},
    });
}

// ---- Initialisers ------------------------------------------------------------------------------

TEST(RecordInit, SystemRecordAndItsSideEffect)
{
    for (uint16 capacity : {uint16(0), uint16(40)}) {
        SCOPED_TRACE(capacity);
        PresenceFlags keep;
        keep.set(true, false, true, false);
        SysCfgMgr cfg;
        cfg.Cfg.externBattCapacity = capacity;
        cfg.moduleNotOnLoad = 0;
        cfg.moduleUsed = 9;
        descSys_t sys;
        memset(&sys, 0xAA, sizeof sys);
        InitSysStatus(&sys, cfg);

        uint8 expect[sizeof(descSys_t)] = {};
        const size_t ups = offsetof(descSys_t, Ups);
        expect[ups + offsetof(dataObject_t, status)] = 0x40;      // SWOUT
        expect[ups + offsetof(dataObject_t, extStatus)] = 0x80;   // UPS_OK
        expect[ups + offsetof(dataObject_t, PMStatus) + 1] = 0x20; // bitCmdUnsupported
        expect[offsetof(descSys_t, externalSwitchStatus)] = capacity == 0 ? 0xC0 : 0x80;
        EXPECT_EQ(memcmp(expect, &sys, sizeof sys), 0);
        EXPECT_EQ(sys.externalSwitchStatus, capacity == 0 ? 0xC0 : 0x80);
#if !defined(TVK_MODULAR)
        EXPECT_EQ(sys.Ups.statusCode, INITIALIZATION);
#endif
        EXPECT_EQ(cfg.moduleNotOnLoad, cfg.numUPS);
        EXPECT_EQ(cfg.moduleNotOnLoad, 2);
        EXPECT_EQ(cfg.moduleUsed, 0);
    }
}

TEST(RecordInit, CabinetDescriptorsFollowTheConfiguration)
{
    PlantCfg cfg;
    memset(&cfg, 0, sizeof cfg);
    cfg.Ups[1].present = 1;
    cfg.Ups[3].present = 7;   // any non-zero byte is "present"
    cabSubSystem_t sub;
#if defined(TVK_MODULAR)
    memset(&sub, 0, sizeof sub);
#else
    memset(&sub, 0, sizeof sub);
    sub.UPSBox[2].elemSt = NormalMode;
#endif
    InitSysSubSystem(&sub, cfg);
    const int want[4] = {noneAlarm, commLostAlarm, noneAlarm, commLostAlarm};
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(sub.UPSBox[i].alarmSt, want[i]) << "cabinet " << char('A' + i);
#if !defined(TVK_MODULAR)
    EXPECT_EQ(sub.UPSBox[2].elemSt, NormalMode);   // operating mode untouched
#endif

    upsSubSystem_t mods;
    memset(&mods, 0, sizeof mods);
    upsBoxCfg_t box;
    memset(&box, 0, sizeof box);
    InitUpsBoxSubSystem(&mods, box);
    EXPECT_EQ(mods.UPSShelter[0].alarmSt, noneAlarm);
    box.modulePresent[0] = 1;
    InitUpsBoxSubSystem(&mods, box);
    EXPECT_EQ(mods.UPSShelter[0].alarmSt, commLostAlarm);
}

TEST(RecordInit, CabinetDataRecord)
{
    dataObject_t d;
    memset(&d, 0x55, sizeof d);
    InitUpsBox_UpsStatus(&d);
    uint8 expect[sizeof(dataObject_t)] = {};
    expect[offsetof(dataObject_t, extStatus)] = 0x80;
    expect[offsetof(dataObject_t, PMStatus) + 1] = 0x20;
    EXPECT_EQ(memcmp(expect, &d, sizeof d), 0);
}

TEST(RecordInit, IdentificationVariants)
{
    for (IdentSource src : {IdentSource::CabinetBus, IdentSource::ModuleBus}) {
        const bool mod = src == IdentSource::ModuleBus;
        SCOPED_TRACE(mod ? "module bus" : "cabinet bus");
        identification_t id;
        memset(&id, 0xEE, sizeof id);
        InitValueIdentification(&id, src);
        EXPECT_EQ(+id.timestamp, 0);
        EXPECT_EQ(std::string(id.SN, sizeof id.SN), std::string(16, ' ') + '\0');
        EXPECT_EQ(std::string(id.Model, sizeof id.Model), std::string(16, ' ') + '\0');
        EXPECT_EQ(std::string(id.SN_AUX, sizeof id.SN_AUX), std::string(16, ' ') + '\0');
        EXPECT_EQ(std::string(id.SWVer, sizeof id.SWVer), std::string(12, ' ') + '\0');
        EXPECT_EQ(std::string(id.SWVer_AUX, sizeof id.SWVer_AUX), std::string(12, ' ') + '\0');
        const struct {
            const char *name;
            unsigned got, want;
        } fields[] = {
            {"IO_Cfg", id.IO_Cfg, TT},
            {"UPS_Type", id.UPS_Type, mod ? 51u : unsigned(LineInt_StepWave)},
            {"Boost_Cfg", id.Boost_Cfg, DoubleBoost},
            {"Buck_Cfg", id.Buck_Cfg, DoubleBuck},
            {"Error_CTRL", id.Error_CTRL, CRC},
            {"PwrShareCfg", id.PwrShareCfg, NoPWRSHARE},
            {"BattBenches", id.BattBenches, TwoBenches},
            {"NBattForBench", id.NBattForBench, mod ? 0u : 48u},
            {"ParallelInfo", id.ParallelInfo, ParallelUPS_Slave},
#if defined(TVK_MODULAR)
            {"tbdGI[0]", id.tbdGI[0], 'x'},
            {"tbdGI[2]", id.tbdGI[2], 'x'},
#else
            {"TypeMachine", id.TypeMachine, KRB},
            {"Cover", id.Cover, VARDEL},
            {"TypeInput", id.TypeInput, DUALINPUT},
#endif
            {"tbdGE[0]", id.tbdGE[0], 'x'},
            {"tbdGE[3]", id.tbdGE[3], 'x'},
            {"partialInfo", id.partialInfo, 0xFC},
        };
        for (const auto &f : fields)
            EXPECT_EQ(f.got, f.want) << f.name;
    }
}

// Every byte of the module record: cleared, set, or kept as it was.
TEST(RecordInit, ModuleDataRecordClearsSetsAndKeeps)
{
    enum Want { Zero, Keep, Value };
    struct Field {
        const char *name;
        size_t off, size;
        Want want;
        uint32 value;
    };
#define FLD(f, w, v) {#f, offsetof(dataObject_t, f), sizeof(dataObject_t::f), w, v}
    const std::vector<Field> fields = {
        FLD(timestamp, Zero, 0), FLD(alarm, Zero, 0), FLD(status, Zero, 0), FLD(extStatus, Zero, 0),
        FLD(switchStatus, Value, 0xC8),   // bits 0..5 cleared, Bt_present set, 6..7 kept
        FLD(PMStatus, Value, 0xFFFC),     // wrongPower, inputDisabled cleared; bitCmdUnsupported set
#if !defined(TVK_MODULAR)
        FLD(FlagExt, Keep, 0), FLD(statusCode, Keep, 0),
#endif
        FLD(Load, Zero, 0), FLD(maxLoad, Zero, 0), FLD(Va, Zero, 0), FLD(VAR, Zero, 0),
        FLD(Watt, Zero, 0), FLD(Aut_time, Zero, 0), FLD(Carica_adj, Zero, 0),
#if defined(TVK_MODULAR)
        FLD(VbatRS, Keep, 0),
#endif
        FLD(Vbatp, Zero, 0), FLD(Vbatn, Zero, 0), FLD(Ibatp, Zero, 0), FLD(Ibatn, Zero, 0),
        FLD(Vin, Zero, 0), FLD(Frq_in, Value, 500), FLD(Uin, Zero, 0), FLD(Iin, Zero, 0),
        FLD(Vbyp, Zero, 0), FLD(Frq_byp, Value, 500), FLD(Ubyp, Zero, 0), FLD(Vout, Zero, 0),
        FLD(Frq_out, Value, 500), FLD(Uout, Zero, 0), FLD(Iout, Zero, 0), FLD(Iout_pk, Zero, 0),
        FLD(Temp0, Value, 25),
#if defined(TVK_MODULAR)
        FLD(Temp1, Keep, 0), FLD(Temp2, Keep, 0), FLD(Temp3, Keep, 0), FLD(Temp4, Keep, 0),
        FLD(Temp5, Keep, 0), FLD(Temp6, Keep, 0), FLD(Cent_kwh, Keep, 0),
#else
        FLD(Cent_kwh, Keep, 0), FLD(powerTemp, Zero, 0), FLD(batteryTemp, Zero, 0),
        FLD(DCBusVolt, Keep, 0), FLD(configCounter, Keep, 0), FLD(counterHours, Keep, 0),
        FLD(counterMinutes, Keep, 0), FLD(counterSeconds, Keep, 0),
#endif
    };
#undef FLD
    // The table covers the record exactly once.
    size_t covered = 0;
    for (const Field &f : fields) {
        EXPECT_EQ(f.off, covered) << f.name;
        covered = f.off + f.size;
    }
    ASSERT_EQ(covered, sizeof(dataObject_t));

    dataObject_t d;
    memset(&d, 0xFF, sizeof d);
    InitValueUPSStatus(&d);
    const uint8 *b = bytesOf(d);
    for (const Field &f : fields) {
        for (size_t i = 0; i < f.size; ++i) {
            uint8 want = f.want == Zero ? 0 : f.want == Keep ? 0xFF : uint8(f.value >> (8 * i));
            EXPECT_EQ(b[f.off + i], want) << f.name << " byte " << i;
        }
    }

    memset(&d, 0, sizeof d);
    InitValueUPSStatus(&d);
    EXPECT_EQ(d.switchStatus, 0x08);
    EXPECT_EQ(+d.PMStatus, 0x2000);   // packed fields are compared by value
}

#if !defined(TVK_MODULAR)
TEST(RecordInit, ModuleStatusDetail)
{
    statusCoding_t sc;
    memset(&sc, 0xFF, sizeof sc);
    dataObject_t d;
    memset(&d, 0, sizeof d);
    d.switchStatus = 0x81;
    InitValueUPSStatusDetail(&sc, &d);
    const uint8 zero[sizeof sc] = {};
    EXPECT_EQ(memcmp(&sc, zero, sizeof sc), 0);
    EXPECT_EQ(d.switchStatus, 0x89);
}
#endif
