// Status records of the plant: power module, UPS cabinet ("box"), battery cabinet
// and system, with their enumerations and flag groups.
//
// The byte layout is an external interface: the records live in the shared-memory
// tree read by the card's other processes, the cabinet record travels whole in the
// cabinet-bus "BS" answer and the identification in the "BI" answer. Every record
// is packed (no padding) and little-endian.
//
// Enumerations stored in a record are one byte wide (fixed underlying type), so any
// byte read from a bus or from shared memory is a valid value of the field; code
// must still expect values outside the named ones.
//
// Flag bytes are unions of the whole byte (or word) and one-bit fields; bit 0 is the
// first flag of each list below. Each list is written once (X-macro) and used both
// for the bit-fields and for the flag names shown by the tree reader.
//
// Two layouts: the full one (naval and standard builds) and the reduced one of the
// modular build (TVK_MODULAR); cards of the two kinds cannot exchange records.
#ifndef TVK_VIRTUALUPSTYPES_H
#define TVK_VIRTUALUPSTYPES_H

#include "Profile.h"
#include "Types.h"
#include "elemDesc.h"

#include <cstddef>

// ---- Enumerations of the identification record (ASCII digits or letters) -------

enum IO_Cfg_e : uint8 { MM = 49, MT = 50, TM = 51, TT = 52 };

enum UPS_Type_e : uint8 {
    LineInt_StepWave = 49,
    LineInt_SinWave = 50,
    OnLine = 51,
    OnLineANDLineInt = 52,
    ATS = 53,
    STS = 54,
    MDU = 55,
    ComboBox = 67,      // 'C'
    PowerBox = 80,      // 'P'
    Power25kBox = 86,   // 'V'
};

enum Boost_Cfg_e : uint8 { NoBoost = 48, Boost = 49, DoubleBoost = 50 };
enum Buck_Cfg_e : uint8 { NoBuck = 48, Buck = 49, DoubleBuck = 50 };
enum Error_CTRL_e : uint8 { CHKSUM = 48, CRC = 49 };
enum PwrShare_e : uint8 { NoPWRSHARE = 48, OneSocket = 49 };
enum BattBenches_e : uint8 { OneBench = 49, TwoBenches = 50 };
enum ParallelSystem_e : uint8 { Single = 48, ParallelUPS_Slave = 49, ParallelUPS_Master = 50 };

#if !defined(TVK_MODULAR)
enum TypeMachine_e : uint8 { KRB = 50, HD1 = 51, HD2 = 52, ZVL = 53, QDX = 54 };
enum Cover_e : uint8 { NEUTRO = 48, VARDEL = 49 };
enum Input_e : uint8 { SINGLEINPUT = 48, DUALINPUT = 49 };
#endif

// ---- Tree node kind and panel command ------------------------------------------

enum node_t : uint8 {
    sysNode = 0,
    upsBoxNode = 1,
    battBoxNode = 2,
    moduleNode = 3,
    bypassNode = 4,
    extNode = 5,
};

enum cmdType_t : uint8 {
    CMD_SHUTDOWN = 0,
    CMD_REBOOT = 1,
    CMD_DELETE = 2,
    CMD_TESTBATT = 3,
    CMD_ZVL_OFF = 4,
    CMD_ZVL_POWERON = 5,
    CMD_NONE = 255,
};

// ---- Operating state of a module, a cabinet or the system ------------------------

#if !defined(TVK_MODULAR)
enum statusCode_t : uint8 {
    // 0..8 start-up and stand-by
    INITIALIZATION = 0,
    AUTOTEST = 1,
    AUTOCALIBRATION = 2,
    SIGNALTEST = 3,
    FUNCTIONALTEST = 4,
    WAITCABID = 5,
    STAND_BYCBOFF = 6,
    LOCKSTAND_BYCBOFF = 7,
    BYP_READY = 8,
    // 10..11 precharge
    PRECHARGE = 10,
    PRECHARGEFROMBATTERY = 11,
    // 20..22 power-off and stand-by with the charger
    POWER_OFF_ACTIVE = 20,
    STAND_BYCBON = 21,
    STAND_BYLOCK = 22,
    // 30..32 waiting for the battery, calibration, start
    WAITRECHARGEBATT = 30,
    CALIBRATION = 31,
    STARTING = 32,
    // 40..47 normal operation
    ONLINE = 40,
    ONLINESAVING = 41,
    ECOMODE = 42,
    ECOMODESLOW = 43,
    ECOACTIVEMODE = 44,
    FREQUENCYCONVERTER = 45,
    FREQUENCYCONVERTERSAVING = 46,
    READYFOREMERGENCY = 47,
    // 50..52 battery operation
    BATTERYWORKING = 50,
    BATTERYWORKINGFORCED = 51,
    BATTERYLOW = 52,
    // 60..65 load on bypass
    TEMPORARYBYPASS = 60,
    BYPASSDUETOINVERTERLOCK = 61,
    BYPASSFORCEDCOMMAND = 62,
    REMOTEBYPASSCOMMAND = 63,
    MANUALBYPASSACTIVE = 64,
    BYPASSDUETOBATTERYENDED = 65,
    // 70..72 forced inverter
    TEMPORARYINVERTER = 70,
    INVERTERDUETOBYPASSLOCK = 71,
    INVERTERFORCEDCOMMAND = 72,
    // 80..81 power recirculation
    POWERRICIRCULATION = 80,
    POWERRICICRCULATIONONBATTERY = 81,
    // 90..92 load off
    LOADOFF = 90,
    EMERGENCYPOWEROFF = 91,
    DISCONNECTFROMTHELOAD = 92,
    // 240..241 module missing or silent
    PMNOTPRESENT = 240,
    PMCOMMLOST = 241,
    INVALID_CODE = 255,
};
#endif

// ---- Flag lists, bit 0 first ------------------------------------------------------

#define TVK_FLAG_BIT(name) uint8 name : 1;
#define TVK_FLAG_NAME(name) #name,
#define TVK_FLAG_COUNT(name) +1

// dataObject_t
#define TVK_FLAGS_ALARM(F) F(Warning) F(Anomaly) F(Fault) F(Lock) F(Alarm_Temperature) \
    F(Alarm_Overload) F(Bypass_Bad) F(Battery_Low)
#define TVK_FLAGS_STATUS(F) F(Output_Powered) F(Battery_Working) F(On_Bypass) F(Line_Present) \
    F(Shutdown_Active) F(Shutdown_Imminent) F(SWOUT) F(SWMB)
#define TVK_FLAGS_EXTSTATUS(F) F(Clock_Update) F(isMaster) F(Eco_Mode) F(Test_in_progress) \
    F(Replace_Battery) F(Parallel_Link_Open) F(Battery_Charging) F(UPS_OK)
#if defined(TVK_MODULAR)
#define TVK_FLAGS_SWITCH(F) F(Q1) F(LoadOnBypass_Cmd) F(BypassDisabled_Cmd) F(Bt_present) \
    F(RemoteCBOff_Cmd) F(RemoteEco_Cmd) F(FreeSW6) F(RemoteBatteryWorking_Cmd)
#else
#define TVK_FLAGS_SWITCH(F) F(Q1) F(INV_on) F(PFC_on) F(Bt_present) F(Rl_out) F(Rl_in) \
    F(BeeperOn) F(FreeSW7)
#endif
#define TVK_FLAGS_PMSTATUS_LO(F) F(wrongPower) F(inputDisabled) F(commError) F(bypassBadAnomaly) \
    F(batteryWorkingAnomaly) F(outputPoweredAnomaly) F(differentFirmwareAnomaly) \
    F(someBatteryDisconnect)
#define TVK_FLAGS_PMSTATUS_HI(F) F(SWINCabinetAnomaly) F(SWBYPCabinetAnomaly) \
    F(SWMBCabinetAnomaly) F(SWOUTCabinetAnomaly) F(SWBATT_EXTCabinetAnomaly) \
    F(bitCmdUnsupported) F(FreePMS14) F(FreePMS15)

// statusFlagExt_t, bytes 0..3
#define TVK_FLAGS_EXT0(F) F(updateClockRequest) F(updateConfigRequest) F(configDisable) \
    F(spare5) F(spare4) F(spare3) F(spare2) F(spare1)
#define TVK_FLAGS_EXT1(F) F(releInputClose) F(SCRBypassOn) F(relePowerShareClose) \
    F(releOutputClose) F(isParallel) F(isMaster) F(switchManualBypassInternalClose) \
    F(switchOutputInternalClose)
#define TVK_FLAGS_EXT2(F) F(switchManualBypassClose) F(switchManualBypassPresent) \
    F(switchOutputClose) F(switchOutputPresent) F(switchBattClose) F(switchBattPresent) \
    F(switchBattExtClose) F(switchBattExtPresent)
#define TVK_FLAGS_EXT3(F) F(boostON) F(PFCOn) F(CBOn) F(inverterOn) F(switchInputClose) \
    F(switchInputPresent) F(switchBypassClose) F(switchBypassPresent)

// statusCoding_t, bytes 0..21
#define TVK_FLAGS_SC0(F) F(BypassCommandActive) F(RemoteBatteryChargerOff) F(EmergencyOffCommand) \
    F(ManualBypassCommand) F(BatteryTestActive) F(RemoteOnCommand) F(RemoteBypassCommand) \
    F(RemoteOffCommand)
#define TVK_FLAGS_SC1(F) F(ServiceBattery) F(ServiceUps) F(spare11) F(SynchronizationDisabled) \
    F(BypassDisabled) F(ShutdownImminent) F(ShutdownActive) F(BatteryLowWarning)
#define TVK_FLAGS_SC2(F) F(MainsUnderVoltageL1) F(MainsOverVoltageL3) F(MainsOverVoltageL2) \
    F(MainsOverVoltageL1) F(ExternalSyncFail) F(InverterAsynchronous) F(DisplayError) \
    F(ConfigurationDataCorrupted)
#define TVK_FLAGS_SC3(F) F(BypassFrequencyAbnormal) F(BypassVoltageAbnormalL3) \
    F(BypassVoltageAbnormalL2) F(BypassVoltageAbnormalL1) F(InputSwitchOpen) \
    F(MainsFrequencyAbnormal) F(MainsUnderVoltageL3) F(MainsUnderVoltageL2)
#define TVK_FLAGS_SC4(F) F(LoadGreatUserThresholdL3) F(LoadGreatUserThresholdL2) \
    F(LoadGreatUserThresholdL1) F(OutputPeakOverCurrentL3) F(OutputPeakOverCurrentL2) \
    F(OutputPeakOverCurrentL1) F(BypassVoltageFail) F(BypassSwitchOpen)
#define TVK_FLAGS_SC5(F) F(PowerModule1UnderTemperature) F(SystemOverTemperature) \
    F(SystemUnderTemperature) F(TempSensorFault_S0) F(ReplaceBattery) F(BatteryNegNotPresent) \
    F(BatteryPosNotPresent) F(OutputSwitchOpen)
#define TVK_FLAGS_SC6(F) F(BatteryNegReplace) F(BatteryPosReplace) \
    F(ExternalBatteryOverTemperature) F(TempSensorFault_S6) F(BatteryOverTemperature) \
    F(TempSensorFault_S5) F(PowerModule3UnderTemperature) F(BatterySwitchOpen)
#define TVK_FLAGS_SC7(F) F(AnomalyOnRemoreUnit) F(DifferentFirmwareVersion) F(spare59) F(spare60) \
    F(spare61) F(spare62) F(spare63) F(spare64)
#define TVK_FLAGS_SC8(F) F(InputContactLockedL3) F(InputContactLockedL2) F(InputContactLockedL1) \
    F(InputFuseContactFailL3) F(InputFuseContactFailL2) F(InputFuseContactFailL1) \
    F(MainsPhaseReversed) F(InternalCommunicationError)
#define TVK_FLAGS_SC9(F) F(InverterSineWaveAbnormalL3) F(InverterSineWaveAbnormalL2) \
    F(InverterSineWaveAbnormalL1) F(spare76) F(BypassPhaseReversed) F(BoosterFault) \
    F(BusNegPrechargeFail) F(BusPosPrechargeFail)
#define TVK_FLAGS_SC10(F) F(OutputOverloadL2) F(OutputOverloadL1) F(BateryNegUnderVoltage) \
    F(BateryPosUnderVoltage) F(BateryNegOverVoltage) F(BateryPosOverVoltage) F(spare87) \
    F(InverterFault)
#define TVK_FLAGS_SC11(F) F(BatteryChargerFault) F(OutputFuseContactFailL3) \
    F(OutputFuseContactFailL2) F(OutputFuseContactFailL1) F(OutputContactLockedL3) \
    F(OutputContactLockedL2) F(OutputContactLockedL1) F(OutputOverloadL3)
#define TVK_FLAGS_SC12(F) F(BatteryNegFuseBroken) F(VdcBusMeasureError) \
    F(AuxiliaryBatteryChargerFault) F(BatteryChargerOverTemperature) F(FanFailure) \
    F(OverTemperatureTransformer) F(PowerModuleOverTemperature) F(BatteryMeasureError)
#define TVK_FLAGS_SC13(F) F(FaultOnRemoteUnit) F(ParallelSynchronizationLineFault) \
    F(ParallelBypassRequestLineFault) F(ParallelLinkOpen) F(BatteryFuse3Broken) \
    F(BatteryFuse2Broken) F(BatteryFuse1Broken) F(BatteryPosFuseBroken)
#define TVK_FLAGS_SC14(F) F(BoosterPosUnderVoltage) F(BoosterNegOverVoltage) \
    F(BoosterPosOverVoltage) F(InputFuseContactFailL3Lock) F(InputFuseContactFailL2Lock) \
    F(InputFuseContactFailL1Lock) F(BoardsLinkFail) F(AuxiliaryPowerFail)
#define TVK_FLAGS_SC15(F) F(InverterOverVoltageL3) F(InverterOverVoltageL2) \
    F(InverterOverVoltageL1) F(BypassOutputLockedL3) F(BypassOutputLockedL2) \
    F(BypassOutputLockedL1) F(BypassSCRFail) F(BoosterNegUnderVoltage)
#define TVK_FLAGS_SC16(F) F(OutputOverLoadL2) F(OutputOverLoadL1) \
    F(InverterSineWaveAbnormalL3Lock) F(InverterSineWaveAbnormalL2Lock) \
    F(InverterSineWaveAbnormalL1Lock) F(InverterUnderVoltageL3) F(InverterUnderVoltageL2) \
    F(InverterUnderVoltageL1)
#define TVK_FLAGS_SC17(F) F(ParallelSynchronizationError) F(OutputFuseContactFailL3Lock) \
    F(OutputFuseContactFailL2Lock) F(OutputFuseContactFailL1Lock) F(OutputShortCircuitL3) \
    F(OutputShortCircuitL2) F(OutputShortCircuitL1) F(OutputOverLoadL3)
#define TVK_FLAGS_SC18(F) F(TemperatureSensorFault_S3) F(TemperatureSensorFault_S2) \
    F(TemperatureSensorFault_S1) F(BatteryChargerOverTemperatureLock) \
    F(PowerModule3OverTemperatureLock) F(PowerModule2OverTemperatureLock) \
    F(PowerModule1OverTemperatureLock) F(ParallelSynchronizationLineFaultLock)
#define TVK_FLAGS_SC19(F) F(LockOnremoteUnit) F(ParallelBoardFault) F(ParallelCommunicationFault) \
    F(ParallelBusDivision) F(BatteryFuse3BrokenLock) F(BatteryFuse2BrokenLock) \
    F(BatteryFuse1BrokenLock) F(TemperatureSensorFault_S4)
#define TVK_FLAGS_SC20(F) F(OnForSystemOn) F(ConfigurationChanged) F(ShutdownDeleted) \
    F(BatteryCharged) F(spare157) F(PowerOn) F(LoadOnBypass) F(BatteryWorking)
#define TVK_FLAGS_SC21(F) F(OffForLock) F(OffForAutonomyLimit) F(OffForBatteryEnded) \
    F(OffForShutdownCommand) F(OffForAutoOff) F(OffForSystemOff) F(OnForRestoreCommand) \
    F(OnForAutoRestart)

// statusCodingExt_t, bytes 0..7 (alarm codes, lowest number at bit 0)
#define TVK_FLAGS_SCX0(F) F(W09) F(W10) F(W11) F(W12) F(W13) F(W14) F(W15) F(W16)
#define TVK_FLAGS_SCX1(F) F(W17) F(W18) F(W19) F(W20) F(W21) F(W22) F(W23) F(W24)
#define TVK_FLAGS_SCX2(F) F(A49) F(A50) F(A51) F(A52) F(A53) F(A54) F(A55) F(A56)
#define TVK_FLAGS_SCX3(F) F(A57) F(A58) F(A59) F(A60) F(A61) F(A62) F(A63) F(A64)
#define TVK_FLAGS_SCX4(F) F(F49) F(F50) F(F51) F(F52) F(F53) F(F54) F(F55) F(F56)
#define TVK_FLAGS_SCX5(F) F(F57) F(F58) F(F59) F(F60) F(F61) F(F62) F(F63) F(F64)
#define TVK_FLAGS_SCX6(F) F(L49) F(L50) F(L51) F(L52) F(L53) F(L54) F(L55) F(L56)
#define TVK_FLAGS_SCX7(F) F(L57) F(L58) F(L59) F(L60) F(L61) F(L62) F(L63) F(L64)

// battStrStatus_t
#define TVK_FLAGS_BATTSTR(F) F(lost) F(voltageFault) F(currentFault) F(insertFault) \
    F(chargeOvercurrent) F(warningDischargeCurrent) F(alarmDischargeCurrent) F(notPresent)

// Status bytes of the cabinet and system records
#define TVK_FLAGS_SYSSTATUS(F) F(ServiceUPS) F(ServiceBattery) F(FreeSYS2) F(FreeSYS3) \
    F(SWMBOpening) F(SWMBClosing) F(LostRedundancy) F(LowRedundancy)
#define TVK_FLAGS_BOXSTATUS(F) F(NotPresentString) F(ReplaceString) F(Fault) F(SWBATT) \
    F(HighTemp) F(HighHygro) F(Anomaly) F(Warning)
#define TVK_FLAGS_EXTSWITCH(F) F(Fault_PWR1) F(Fault_PWR2) F(SWIN) F(FreeSW3) F(SWBYP) \
    F(FreeSW5) F(SWBATT_EXT) F(EPO)
#define TVK_FLAGS_BATTEXTSWITCH(F) F(Fault_PWR1) F(Fault_PWR2) F(FreeSW2) F(FreeSW3) \
    F(FreeSW4) F(FreeSW5) F(FreeSW6) F(FreeSW7)
// The system's byte has a 3-bit count in bits 5..7 after these five flags.
#define TVK_FLAGS_SYSMCUMU(F) F(commErrorMCU) F(commErrorMU) F(AnomalyMCU) F(FreePMS3) F(FreePMS4)
#define TVK_FLAGS_BOXMCUMU(F) F(commErrorMCU) F(commErrorMU) F(AnomalyMCU) F(FreePMS3) \
    F(FreePMS4) F(FreePMS5) F(FreePMS6) F(FreePMS7)
#define TVK_FLAGS_MCUSTATUS(F) F(Slot1Fault) F(Slot2Fault) F(FreeMCU2) F(FreeMCU3) F(FreeMCU4) \
    F(FreeMCU5) F(FreeMCU6) F(FreeMCU7)
#define TVK_FLAGS_MUSTATUS(F) F(commErrorMU) F(FreePMS1) F(FreePMS2) F(FreePMS3) F(FreePMS4) \
    F(FreePMS5) F(FreePMS6) F(FreePMS7)

#define TVK_FLAGS_CHECK8(list) static_assert(0 list(TVK_FLAG_COUNT) == 8, #list " needs 8 flags")
TVK_FLAGS_CHECK8(TVK_FLAGS_ALARM);
TVK_FLAGS_CHECK8(TVK_FLAGS_STATUS);
TVK_FLAGS_CHECK8(TVK_FLAGS_EXTSTATUS);
TVK_FLAGS_CHECK8(TVK_FLAGS_SWITCH);
TVK_FLAGS_CHECK8(TVK_FLAGS_PMSTATUS_LO);
TVK_FLAGS_CHECK8(TVK_FLAGS_PMSTATUS_HI);
TVK_FLAGS_CHECK8(TVK_FLAGS_EXT0);
TVK_FLAGS_CHECK8(TVK_FLAGS_EXT1);
TVK_FLAGS_CHECK8(TVK_FLAGS_EXT2);
TVK_FLAGS_CHECK8(TVK_FLAGS_EXT3);
TVK_FLAGS_CHECK8(TVK_FLAGS_SC0);
TVK_FLAGS_CHECK8(TVK_FLAGS_SC1);
TVK_FLAGS_CHECK8(TVK_FLAGS_SC2);
TVK_FLAGS_CHECK8(TVK_FLAGS_SC3);
TVK_FLAGS_CHECK8(TVK_FLAGS_SC4);
TVK_FLAGS_CHECK8(TVK_FLAGS_SC5);
TVK_FLAGS_CHECK8(TVK_FLAGS_SC6);
TVK_FLAGS_CHECK8(TVK_FLAGS_SC7);
TVK_FLAGS_CHECK8(TVK_FLAGS_SC8);
TVK_FLAGS_CHECK8(TVK_FLAGS_SC9);
TVK_FLAGS_CHECK8(TVK_FLAGS_SC10);
TVK_FLAGS_CHECK8(TVK_FLAGS_SC11);
TVK_FLAGS_CHECK8(TVK_FLAGS_SC12);
TVK_FLAGS_CHECK8(TVK_FLAGS_SC13);
TVK_FLAGS_CHECK8(TVK_FLAGS_SC14);
TVK_FLAGS_CHECK8(TVK_FLAGS_SC15);
TVK_FLAGS_CHECK8(TVK_FLAGS_SC16);
TVK_FLAGS_CHECK8(TVK_FLAGS_SC17);
TVK_FLAGS_CHECK8(TVK_FLAGS_SC18);
TVK_FLAGS_CHECK8(TVK_FLAGS_SC19);
TVK_FLAGS_CHECK8(TVK_FLAGS_SC20);
TVK_FLAGS_CHECK8(TVK_FLAGS_SC21);
TVK_FLAGS_CHECK8(TVK_FLAGS_SCX0);
TVK_FLAGS_CHECK8(TVK_FLAGS_SCX7);
TVK_FLAGS_CHECK8(TVK_FLAGS_BATTSTR);
TVK_FLAGS_CHECK8(TVK_FLAGS_SYSSTATUS);
TVK_FLAGS_CHECK8(TVK_FLAGS_BOXSTATUS);
TVK_FLAGS_CHECK8(TVK_FLAGS_EXTSWITCH);
TVK_FLAGS_CHECK8(TVK_FLAGS_BATTEXTSWITCH);
TVK_FLAGS_CHECK8(TVK_FLAGS_BOXMCUMU);
TVK_FLAGS_CHECK8(TVK_FLAGS_MCUSTATUS);
TVK_FLAGS_CHECK8(TVK_FLAGS_MUSTATUS);
static_assert(0 TVK_FLAGS_SYSMCUMU(TVK_FLAG_COUNT) == 5, "system MCUMUStatus has 5 flags and a count");

#pragma pack(push, 1)

// ---- Identification, nominal ratings, panel command -------------------------------

// Sent whole in the cabinet-bus "BI" answer. Texts are blank-padded, last byte NUL.
struct identification_t {
    mytime_t timestamp;
    char SN[17];
    char Model[17];
    char SWVer[13];
    IO_Cfg_e IO_Cfg;
    UPS_Type_e UPS_Type;
    Boost_Cfg_e Boost_Cfg;
    Buck_Cfg_e Buck_Cfg;
    Error_CTRL_e Error_CTRL;
    PwrShare_e PwrShareCfg;
    BattBenches_e BattBenches;
    uint8 NBattForBench;
    ParallelSystem_e ParallelInfo;
#if defined(TVK_MODULAR)
    uint8 tbdGI[3];              // 'x' when unknown
#else
    TypeMachine_e TypeMachine;
    Cover_e Cover;
    Input_e TypeInput;
#endif
    char SN_AUX[17];
    char SWVer_AUX[13];
    uint8 tbdGE[4];              // reserved for the "GE" packet, 'x' when unknown
    uint8 partialInfo;           // completeness marker, 0xFC at initialisation
};

struct nominal_t {
    mytime_t timestamp;
    uint32 VA;          // nominal apparent power (VA)
    uint32 W;           // nominal active power (W)
    uint16 BatteryV;    // nominal battery voltage
    uint16 BatteryAh;   // nominal battery capacity (Ah)
    uint16 Vout;        // nominal output voltage (V)
    uint16 FreqOut;     // nominal output frequency (0.1 Hz)
};

// Pending panel command, written by the card's other processes, cleared here.
struct panel_t {
    cmdType_t value;       // CMD_NONE when none
    uint16 delay_shut;     // shutdown delay
    uint16 delay_reboot;   // restart delay
};

// ---- Extended flags and detailed status coding ---------------------------------------

#if !defined(TVK_MODULAR)
struct statusFlagExt_t {
    mytime_t timestamp;
    union {
        char states[4];
        struct {
            TVK_FLAGS_EXT0(TVK_FLAG_BIT)
            TVK_FLAGS_EXT1(TVK_FLAG_BIT)
            TVK_FLAGS_EXT2(TVK_FLAG_BIT)
            TVK_FLAGS_EXT3(TVK_FLAG_BIT)
        };
    };
};
#endif

// Detailed alarm and event coding of a module, a cabinet or the system.
struct statusCoding_t {
    mytime_t timestamp;
    union {
        char states[22];
        struct {
            TVK_FLAGS_SC0(TVK_FLAG_BIT)
            TVK_FLAGS_SC1(TVK_FLAG_BIT)
            TVK_FLAGS_SC2(TVK_FLAG_BIT)
            TVK_FLAGS_SC3(TVK_FLAG_BIT)
            TVK_FLAGS_SC4(TVK_FLAG_BIT)
            TVK_FLAGS_SC5(TVK_FLAG_BIT)
            TVK_FLAGS_SC6(TVK_FLAG_BIT)
            TVK_FLAGS_SC7(TVK_FLAG_BIT)
            TVK_FLAGS_SC8(TVK_FLAG_BIT)
            TVK_FLAGS_SC9(TVK_FLAG_BIT)
            TVK_FLAGS_SC10(TVK_FLAG_BIT)
            TVK_FLAGS_SC11(TVK_FLAG_BIT)
            TVK_FLAGS_SC12(TVK_FLAG_BIT)
            TVK_FLAGS_SC13(TVK_FLAG_BIT)
            TVK_FLAGS_SC14(TVK_FLAG_BIT)
            TVK_FLAGS_SC15(TVK_FLAG_BIT)
            TVK_FLAGS_SC16(TVK_FLAG_BIT)
            TVK_FLAGS_SC17(TVK_FLAG_BIT)
            TVK_FLAGS_SC18(TVK_FLAG_BIT)
            TVK_FLAGS_SC19(TVK_FLAG_BIT)
            TVK_FLAGS_SC20(TVK_FLAG_BIT)
            TVK_FLAGS_SC21(TVK_FLAG_BIT)
        };
    };
};

#if !defined(TVK_MODULAR)
// Alarm codes: warnings W09..W24, anomalies A49..A64, faults F49..F64, locks L49..L64.
struct statusCodingExt_t {
    mytime_t timestamp;
    union {
        char states[8];
        struct {
            TVK_FLAGS_SCX0(TVK_FLAG_BIT)
            TVK_FLAGS_SCX1(TVK_FLAG_BIT)
            TVK_FLAGS_SCX2(TVK_FLAG_BIT)
            TVK_FLAGS_SCX3(TVK_FLAG_BIT)
            TVK_FLAGS_SCX4(TVK_FLAG_BIT)
            TVK_FLAGS_SCX5(TVK_FLAG_BIT)
            TVK_FLAGS_SCX6(TVK_FLAG_BIT)
            TVK_FLAGS_SCX7(TVK_FLAG_BIT)
        };
    };
};
#endif

// ---- Measurements and status -----------------------------------------------------------

// The whole data of a module; the `Ups` part of a cabinet and of the system record.
// Frequencies in 0.1 Hz, Temp0 in degrees Celsius, the rest as the module reports it.
struct dataObject_t {
    mytime_t timestamp;
    union {
        uint8 alarm;
        struct { TVK_FLAGS_ALARM(TVK_FLAG_BIT) };
    };
    union {
        uint8 status;
        struct { TVK_FLAGS_STATUS(TVK_FLAG_BIT) };
    };
    union {
        uint8 extStatus;
        struct { TVK_FLAGS_EXTSTATUS(TVK_FLAG_BIT) };
    };
    union {
        uint8 switchStatus;
        struct { TVK_FLAGS_SWITCH(TVK_FLAG_BIT) };
    };
    union {
        uint16 PMStatus;
        struct {
            TVK_FLAGS_PMSTATUS_LO(TVK_FLAG_BIT)
            TVK_FLAGS_PMSTATUS_HI(TVK_FLAG_BIT)
        };
    };
#if !defined(TVK_MODULAR)
    statusFlagExt_t FlagExt;
    statusCode_t statusCode;
#endif
    int16 Load[3];          // load per phase
    int16 maxLoad;          // highest phase load
    int32 Va[3];            // apparent power per phase (VA)
    int32 VAR[3];           // reactive power per phase (var)
    int32 Watt[3];          // active power per phase (W)
    uint16 Aut_time;        // estimated battery autonomy
    uint8 Carica_adj;       // estimated battery charge
#if defined(TVK_MODULAR)
    uint16 VbatRS;
#endif
    uint16 Vbatp;           // positive battery voltage
    uint16 Vbatn;           // negative battery voltage
    int32 Ibatp;            // positive battery current (negative on battery)
    int32 Ibatn;            // negative battery current
    uint16 Vin[3];          // input voltage per phase (V)
    uint16 Frq_in;          // input frequency (0.1 Hz)
    uint16 Uin[3];          // input line-to-line voltages (V)
    uint32 Iin[3];          // input current per phase
    uint16 Vbyp[3];         // bypass voltage per phase (V)
    uint16 Frq_byp;         // bypass frequency (0.1 Hz)
    uint16 Ubyp[3];         // bypass line-to-line voltages (V)
    uint16 Vout[3];         // output voltage per phase (V)
    uint16 Frq_out;         // output frequency (0.1 Hz)
    uint16 Uout[3];         // output line-to-line voltages (V)
    int32 Iout[3];          // output current per phase
    int32 Iout_pk[3];       // output peak current per phase
    uint8 Temp0;            // system temperature, degrees Celsius
#if defined(TVK_MODULAR)
    uint8 Temp1;
    uint8 Temp2;
    uint8 Temp3;
    uint8 Temp4;
    uint8 Temp5;
    uint8 Temp6;
    uint32 Cent_kwh;        // energy counter
#else
    uint32 Cent_kwh;        // energy counter
    uint16 powerTemp[4];    // power-stage temperatures
    uint16 batteryTemp[2];  // battery temperatures
    uint16 DCBusVolt[2];    // DC bus voltages (positive, negative)
    uint16 configCounter;   // configuration change counter
    uint16 counterHours;    // operating time counter
    uint16 counterMinutes;
    uint16 counterSeconds;
#endif
};

// ---- Batteries ----------------------------------------------------------------------------

union battStrStatus_t {
    uint8 battStrStatus;
    struct { TVK_FLAGS_BATTSTR(TVK_FLAG_BIT) };
};

// One battery shelf: a positive and a negative half string.
struct dataBattery_t {
    battStrStatus_t statusStrPos;
    battStrStatus_t statusStrNeg;
    int16 halfStrPosV;
    int16 halfStrNegV;
    int16 strPosI;
    int16 strNegI;
};

struct dataBatteries_t {
    mytime_t timestamp;
    dataBattery_t shelter[MAXBATTxBATTERYBOX];
    int16 barsPosV;     // positive battery bar voltage
    int16 barsNegV;
};

// ---- Description records of the four node kinds -----------------------------------------

struct descModule_t {
    dataObject_t data;
    statusCoding_t statusDetail;
#if !defined(TVK_MODULAR)
    statusCodingExt_t statusDetailExt;
#endif
};

// Carried whole in the cabinet-bus "BS" answer.
struct descUpsBox_t {
    mytime_t timestamp;     // time of the cabinet's last aggregation
    dataObject_t Ups;
    dataBatteries_t Batteries;
    upsSubSystem_t subSystem;
    union {
        uint8 boxStatus;
        struct { TVK_FLAGS_BOXSTATUS(TVK_FLAG_BIT) };
    };
    union {
        uint8 externalSwitchStatus;
        struct { TVK_FLAGS_EXTSWITCH(TVK_FLAG_BIT) };
    };
    union {
        uint8 mcuStatus;
        struct { TVK_FLAGS_MCUSTATUS(TVK_FLAG_BIT) };
    };
    union {
        uint8 MCUMUStatus;
        struct { TVK_FLAGS_BOXMCUMU(TVK_FLAG_BIT) };
    };
#if !defined(TVK_MODULAR)
    statusCoding_t statusDetail;
    statusCodingExt_t statusDetailExt;
#endif
};

struct descSys_t {
    uint8 LoadRedundancy[3];    // redundancy figures of the system aggregation
    dataObject_t Ups;
    dataBatteries_t Batteries;
    cabSubSystem_t subSystem;
    union {
        uint8 sysStatus;
        struct { TVK_FLAGS_SYSSTATUS(TVK_FLAG_BIT) };
    };
    union {
        uint8 boxStatus;
        struct { TVK_FLAGS_BOXSTATUS(TVK_FLAG_BIT) };
    };
    union {
        uint8 externalSwitchStatus;
        struct { TVK_FLAGS_EXTSWITCH(TVK_FLAG_BIT) };
    };
    union {
        uint8 MCUMUStatus;
        struct {
            TVK_FLAGS_SYSMCUMU(TVK_FLAG_BIT)
            uint8 numBypassOff : 3;
        };
    };
#if !defined(TVK_MODULAR)
    statusCoding_t statusDetail;
    statusCodingExt_t statusDetailExt;
#endif
};

struct descBattBox_t {
    union {
        uint8 boxStatus;
        struct { TVK_FLAGS_BOXSTATUS(TVK_FLAG_BIT) };
    };
    union {
        uint8 externalSwitchStatus;
        struct { TVK_FLAGS_BATTEXTSWITCH(TVK_FLAG_BIT) };
    };
    union {
        uint8 MUStatus;
        struct { TVK_FLAGS_MUSTATUS(TVK_FLAG_BIT) };
    };
    dataBatteries_t data;
    battSubSystem_t subSystem;
};

// The description part of a tree node: the member that matches the node kind.
union nodeDesc_t {
    descSys_t sys;
    descUpsBox_t upsBox;
    descBattBox_t battBox;
    descModule_t module;
};

#pragma pack(pop)

// ---- Layout checks ---------------------------------------------------------------------------

static_assert(sizeof(identification_t) == 98, "identification_t layout");
static_assert(offsetof(identification_t, SN) == 4, "identification_t layout");
static_assert(offsetof(identification_t, Model) == 21, "identification_t layout");
static_assert(offsetof(identification_t, SWVer) == 38, "identification_t layout");
static_assert(offsetof(identification_t, IO_Cfg) == 51, "identification_t layout");
static_assert(offsetof(identification_t, UPS_Type) == 52, "identification_t layout");
static_assert(offsetof(identification_t, NBattForBench) == 58, "identification_t layout");
static_assert(offsetof(identification_t, ParallelInfo) == 59, "identification_t layout");
#if defined(TVK_MODULAR)
static_assert(offsetof(identification_t, tbdGI) == 60, "identification_t layout");
#else
static_assert(offsetof(identification_t, TypeMachine) == 60, "identification_t layout");
static_assert(offsetof(identification_t, Cover) == 61, "identification_t layout");
static_assert(offsetof(identification_t, TypeInput) == 62, "identification_t layout");
#endif
static_assert(offsetof(identification_t, SN_AUX) == 63, "identification_t layout");
static_assert(offsetof(identification_t, SWVer_AUX) == 80, "identification_t layout");
static_assert(offsetof(identification_t, tbdGE) == 93, "identification_t layout");
static_assert(offsetof(identification_t, partialInfo) == 97, "identification_t layout");

static_assert(sizeof(nominal_t) == 20, "nominal_t layout");
static_assert(offsetof(nominal_t, BatteryV) == 12, "nominal_t layout");
static_assert(offsetof(nominal_t, FreqOut) == 18, "nominal_t layout");
static_assert(sizeof(panel_t) == 5, "panel_t layout");
static_assert(offsetof(panel_t, delay_reboot) == 3, "panel_t layout");

static_assert(sizeof(statusCoding_t) == 26, "statusCoding_t layout");
static_assert(offsetof(statusCoding_t, states) == 4, "statusCoding_t layout");
static_assert(sizeof(battStrStatus_t) == 1, "battStrStatus_t layout");
static_assert(sizeof(dataBattery_t) == 10, "dataBattery_t layout");
static_assert(sizeof(dataBatteries_t) == 98, "dataBatteries_t layout");
static_assert(offsetof(dataBatteries_t, shelter) == 4, "dataBatteries_t layout");
static_assert(offsetof(dataBatteries_t, barsPosV) == 94, "dataBatteries_t layout");
static_assert(offsetof(dataBatteries_t, barsNegV) == 96, "dataBatteries_t layout");

static_assert(offsetof(dataObject_t, alarm) == 4, "dataObject_t layout");
static_assert(offsetof(dataObject_t, status) == 5, "dataObject_t layout");
static_assert(offsetof(dataObject_t, extStatus) == 6, "dataObject_t layout");
static_assert(offsetof(dataObject_t, switchStatus) == 7, "dataObject_t layout");
static_assert(offsetof(dataObject_t, PMStatus) == 8, "dataObject_t layout");

#if defined(TVK_MODULAR)
static_assert(sizeof(dataObject_t) == 160, "dataObject_t layout");
static_assert(offsetof(dataObject_t, Load) == 10, "dataObject_t layout");
static_assert(offsetof(dataObject_t, maxLoad) == 16, "dataObject_t layout");
static_assert(offsetof(dataObject_t, Va) == 18, "dataObject_t layout");
static_assert(offsetof(dataObject_t, Carica_adj) == 56, "dataObject_t layout");
static_assert(offsetof(dataObject_t, VbatRS) == 57, "dataObject_t layout");
static_assert(offsetof(dataObject_t, Vbatp) == 59, "dataObject_t layout");
static_assert(offsetof(dataObject_t, Ibatp) == 63, "dataObject_t layout");
static_assert(offsetof(dataObject_t, Vin) == 71, "dataObject_t layout");
static_assert(offsetof(dataObject_t, Frq_in) == 77, "dataObject_t layout");
static_assert(offsetof(dataObject_t, Iin) == 85, "dataObject_t layout");
static_assert(offsetof(dataObject_t, Frq_byp) == 103, "dataObject_t layout");
static_assert(offsetof(dataObject_t, Frq_out) == 117, "dataObject_t layout");
static_assert(offsetof(dataObject_t, Iout) == 125, "dataObject_t layout");
static_assert(offsetof(dataObject_t, Iout_pk) == 137, "dataObject_t layout");
static_assert(offsetof(dataObject_t, Temp0) == 149, "dataObject_t layout");
static_assert(offsetof(dataObject_t, Temp6) == 155, "dataObject_t layout");
static_assert(offsetof(dataObject_t, Cent_kwh) == 156, "dataObject_t layout");

static_assert(sizeof(descModule_t) == 186, "descModule_t layout");
static_assert(offsetof(descModule_t, statusDetail) == 160, "descModule_t layout");
static_assert(sizeof(descUpsBox_t) == 267, "descUpsBox_t layout");
static_assert(offsetof(descUpsBox_t, Ups) == 4, "descUpsBox_t layout");
static_assert(offsetof(descUpsBox_t, Batteries) == 164, "descUpsBox_t layout");
static_assert(offsetof(descUpsBox_t, subSystem) == 262, "descUpsBox_t layout");
static_assert(offsetof(descUpsBox_t, boxStatus) == 263, "descUpsBox_t layout");
static_assert(offsetof(descUpsBox_t, MCUMUStatus) == 266, "descUpsBox_t layout");
static_assert(sizeof(descSys_t) == 269, "descSys_t layout");
static_assert(offsetof(descSys_t, Ups) == 3, "descSys_t layout");
static_assert(offsetof(descSys_t, Batteries) == 163, "descSys_t layout");
static_assert(offsetof(descSys_t, subSystem) == 261, "descSys_t layout");
static_assert(offsetof(descSys_t, sysStatus) == 265, "descSys_t layout");
static_assert(offsetof(descSys_t, MCUMUStatus) == 268, "descSys_t layout");
static_assert(sizeof(descBattBox_t) == 111, "descBattBox_t layout");
static_assert(offsetof(descBattBox_t, data) == 3, "descBattBox_t layout");
static_assert(offsetof(descBattBox_t, subSystem) == 101, "descBattBox_t layout");
static_assert(sizeof(nodeDesc_t) == 269, "nodeDesc_t layout");
#else
static_assert(sizeof(statusFlagExt_t) == 8, "statusFlagExt_t layout");
static_assert(sizeof(statusCodingExt_t) == 12, "statusCodingExt_t layout");

static_assert(sizeof(dataObject_t) == 185, "dataObject_t layout");
static_assert(offsetof(dataObject_t, FlagExt) == 10, "dataObject_t layout");
static_assert(offsetof(dataObject_t, statusCode) == 18, "dataObject_t layout");
static_assert(offsetof(dataObject_t, Load) == 19, "dataObject_t layout");
static_assert(offsetof(dataObject_t, maxLoad) == 25, "dataObject_t layout");
static_assert(offsetof(dataObject_t, Va) == 27, "dataObject_t layout");
static_assert(offsetof(dataObject_t, VAR) == 39, "dataObject_t layout");
static_assert(offsetof(dataObject_t, Watt) == 51, "dataObject_t layout");
static_assert(offsetof(dataObject_t, Aut_time) == 63, "dataObject_t layout");
static_assert(offsetof(dataObject_t, Carica_adj) == 65, "dataObject_t layout");
static_assert(offsetof(dataObject_t, Vbatp) == 66, "dataObject_t layout");
static_assert(offsetof(dataObject_t, Vbatn) == 68, "dataObject_t layout");
static_assert(offsetof(dataObject_t, Ibatp) == 70, "dataObject_t layout");
static_assert(offsetof(dataObject_t, Ibatn) == 74, "dataObject_t layout");
static_assert(offsetof(dataObject_t, Vin) == 78, "dataObject_t layout");
static_assert(offsetof(dataObject_t, Frq_in) == 84, "dataObject_t layout");
static_assert(offsetof(dataObject_t, Uin) == 86, "dataObject_t layout");
static_assert(offsetof(dataObject_t, Iin) == 92, "dataObject_t layout");
static_assert(offsetof(dataObject_t, Vbyp) == 104, "dataObject_t layout");
static_assert(offsetof(dataObject_t, Frq_byp) == 110, "dataObject_t layout");
static_assert(offsetof(dataObject_t, Ubyp) == 112, "dataObject_t layout");
static_assert(offsetof(dataObject_t, Vout) == 118, "dataObject_t layout");
static_assert(offsetof(dataObject_t, Frq_out) == 124, "dataObject_t layout");
static_assert(offsetof(dataObject_t, Uout) == 126, "dataObject_t layout");
static_assert(offsetof(dataObject_t, Iout) == 132, "dataObject_t layout");
static_assert(offsetof(dataObject_t, Iout_pk) == 144, "dataObject_t layout");
static_assert(offsetof(dataObject_t, Temp0) == 156, "dataObject_t layout");
static_assert(offsetof(dataObject_t, Cent_kwh) == 157, "dataObject_t layout");
static_assert(offsetof(dataObject_t, powerTemp) == 161, "dataObject_t layout");
static_assert(offsetof(dataObject_t, batteryTemp) == 169, "dataObject_t layout");
static_assert(offsetof(dataObject_t, DCBusVolt) == 173, "dataObject_t layout");
static_assert(offsetof(dataObject_t, configCounter) == 177, "dataObject_t layout");
static_assert(offsetof(dataObject_t, counterHours) == 179, "dataObject_t layout");
static_assert(offsetof(dataObject_t, counterMinutes) == 181, "dataObject_t layout");
static_assert(offsetof(dataObject_t, counterSeconds) == 183, "dataObject_t layout");

static_assert(sizeof(descModule_t) == 223, "descModule_t layout");
static_assert(offsetof(descModule_t, statusDetail) == 185, "descModule_t layout");
static_assert(offsetof(descModule_t, statusDetailExt) == 211, "descModule_t layout");
static_assert(sizeof(descUpsBox_t) == 331, "descUpsBox_t layout");
static_assert(offsetof(descUpsBox_t, Ups) == 4, "descUpsBox_t layout");
static_assert(offsetof(descUpsBox_t, Batteries) == 189, "descUpsBox_t layout");
static_assert(offsetof(descUpsBox_t, subSystem) == 287, "descUpsBox_t layout");
static_assert(offsetof(descUpsBox_t, boxStatus) == 289, "descUpsBox_t layout");
static_assert(offsetof(descUpsBox_t, externalSwitchStatus) == 290, "descUpsBox_t layout");
static_assert(offsetof(descUpsBox_t, mcuStatus) == 291, "descUpsBox_t layout");
static_assert(offsetof(descUpsBox_t, MCUMUStatus) == 292, "descUpsBox_t layout");
static_assert(offsetof(descUpsBox_t, statusDetail) == 293, "descUpsBox_t layout");
static_assert(offsetof(descUpsBox_t, statusDetailExt) == 319, "descUpsBox_t layout");
static_assert(sizeof(descSys_t) == 336, "descSys_t layout");
static_assert(offsetof(descSys_t, Ups) == 3, "descSys_t layout");
static_assert(offsetof(descSys_t, Batteries) == 188, "descSys_t layout");
static_assert(offsetof(descSys_t, subSystem) == 286, "descSys_t layout");
static_assert(offsetof(descSys_t, sysStatus) == 294, "descSys_t layout");
static_assert(offsetof(descSys_t, boxStatus) == 295, "descSys_t layout");
static_assert(offsetof(descSys_t, externalSwitchStatus) == 296, "descSys_t layout");
static_assert(offsetof(descSys_t, MCUMUStatus) == 297, "descSys_t layout");
static_assert(offsetof(descSys_t, statusDetail) == 298, "descSys_t layout");
static_assert(offsetof(descSys_t, statusDetailExt) == 324, "descSys_t layout");
static_assert(sizeof(descBattBox_t) == 121, "descBattBox_t layout");
static_assert(offsetof(descBattBox_t, MUStatus) == 2, "descBattBox_t layout");
static_assert(offsetof(descBattBox_t, data) == 3, "descBattBox_t layout");
static_assert(offsetof(descBattBox_t, subSystem) == 101, "descBattBox_t layout");
static_assert(sizeof(nodeDesc_t) == 336, "nodeDesc_t layout");
#endif

#endif
