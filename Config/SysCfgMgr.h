// Plant configuration: the 374-byte record exchanged between cabinets with the
// cabinet-bus "SC" command, and its holder, the base of the system manager.
#ifndef TVK_SYSCFGMGR_H
#define TVK_SYSCFGMGR_H

#include "Types.h"
#include "VirtualUPSTypes.h"

#include <cstddef>

#pragma pack(push, 1)

// One UPS cabinet, 13 bytes.
struct upsBoxCfg_t {
    bool8 present;                          // the cabinet exists
    UPS_Type_e upsBoxType;                  // 'C' combo box, 'P' power box, 'V' 25 kVA power box
    bool8 modulePresent[MAXUPSxUPSBOX];     // its single power module is present
    bool8 batteryPresent[MAXBATTxCOMBOBOX]; // battery shelves present
    bool8 sensTPresent[MAXSENSTEMP];        // temperature sensors present
    bool8 hygroPresent;                     // humidity sensor present
};

// One battery cabinet, 15 bytes (no instance in this plant: MAXBATTERYBOX is 0).
struct battBoxCfg_t {
    bool8 present;
    bool8 batteryPresent[MAXBATTxBATTERYBOX];
    bool8 sensTPresent[MAXSENSTEMP];
    bool8 hygroPresent;
};

// The plant configuration, 374 bytes, little-endian. It travels whole as the
// parameter of the cabinet-bus "SC" command, so every offset is fixed. The system
// interprets only a few fields; the others are stored and exchanged unchanged.
struct PlantCfg {
    uint32 DeviceNo;                 // the system node shows DeviceNo >> 9
    uint32 VAModule;                 // VA rating of a module
    uint32 WModule;                  // W rating of a module
    uint32 IoutModule;               // output current rating of a module
    uint32 SingleBatteryAh;          // capacity of one battery (Ah)
    uint16 threshouldBatteryTemp;    // battery temperature threshold
    uint8 redundantUPS;              // redundant modules wanted (0: not evaluated)
    uint8 alarmLoadThreshold;        // load alarm threshold
    uint16 externBattCapacity;       // external battery capacity
    upsBoxCfg_t Ups[MAXUPSBOX];      // cabinets A..D
    battBoxCfg_t Batt[MAXBATTERYBOX];  // battery cabinets: none (zero elements)
    // Numbered configuration words of the cabinet boards. Low byte of word7: nominal
    // output voltage; word28 bit 4: 60 Hz nominal output; word53 bits 8..10: "SI" answer.
    uint16 word3, word7, word28, word29, word30, word39, word41, word42, word43, word45,
        word46, word47, word48, word49, word52, word53, word160, word161, word162, word163,
        word164, word165, word167, word174;
    uint16 IN1, IN2, IN3, IN4;       // the four digital inputs
    uint16 word182, word183, word184, word185, word186, word187, word188, word189, word200,
        word201, word301, word302, word303, word304;
    char passwordUser[32];
    char passwordPowerUser[32];
    char passwordExpert[32];
    char languageStr[4];
    uint8 genSetupTimeoutScreenSaver;
    bool8 genSetupBuzzerEn;
    char timezoneContinent[12];
    char timezoneCity[18];
    char ntpServerName[32];
    uint8 ntpQueryType;
    uint8 ntpQueryDailyHour;
    uint8 ntpQueryWeeklyDay;
    uint8 ntpQueryMonthlyDay;
    bool8 udpd_Enabled;
    uint16 udpd_port;
    char udpd_password[32];
    bool8 udpd_CommandEnabled;
    bool8 httpd_Enabled;
    uint16 httpd_port;
    bool8 ssh_Enabled;
    bool8 slot1d_CommandEnabled;
    bool8 slot2d_CommandEnabled;
    bool8 PMRedundant_Excluded;
    uint8 trailingPad;               // 0 when built here, carried as received otherwise
};

#pragma pack(pop)

static_assert(sizeof(upsBoxCfg_t) == 13, "upsBoxCfg_t layout");
static_assert(offsetof(upsBoxCfg_t, present) == 0, "upsBoxCfg_t layout");
static_assert(offsetof(upsBoxCfg_t, upsBoxType) == 1, "upsBoxCfg_t layout");
static_assert(offsetof(upsBoxCfg_t, modulePresent) == 2, "upsBoxCfg_t layout");
static_assert(offsetof(upsBoxCfg_t, batteryPresent) == 3, "upsBoxCfg_t layout");
static_assert(offsetof(upsBoxCfg_t, sensTPresent) == 8, "upsBoxCfg_t layout");
static_assert(offsetof(upsBoxCfg_t, hygroPresent) == 12, "upsBoxCfg_t layout");
static_assert(sizeof(battBoxCfg_t) == 15, "battBoxCfg_t layout");
static_assert(offsetof(battBoxCfg_t, sensTPresent) == 10, "battBoxCfg_t layout");
static_assert(offsetof(battBoxCfg_t, hygroPresent) == 14, "battBoxCfg_t layout");

static_assert(sizeof(PlantCfg) == 374, "PlantCfg layout");
static_assert(offsetof(PlantCfg, DeviceNo) == 0, "PlantCfg layout");
static_assert(offsetof(PlantCfg, VAModule) == 4, "PlantCfg layout");
static_assert(offsetof(PlantCfg, WModule) == 8, "PlantCfg layout");
static_assert(offsetof(PlantCfg, IoutModule) == 12, "PlantCfg layout");
static_assert(offsetof(PlantCfg, SingleBatteryAh) == 16, "PlantCfg layout");
static_assert(offsetof(PlantCfg, threshouldBatteryTemp) == 20, "PlantCfg layout");
static_assert(offsetof(PlantCfg, redundantUPS) == 22, "PlantCfg layout");
static_assert(offsetof(PlantCfg, alarmLoadThreshold) == 23, "PlantCfg layout");
static_assert(offsetof(PlantCfg, externBattCapacity) == 24, "PlantCfg layout");
static_assert(offsetof(PlantCfg, Ups) == 26, "PlantCfg layout");
static_assert(offsetof(PlantCfg, Batt) == 78, "PlantCfg layout");
static_assert(offsetof(PlantCfg, word3) == 78, "PlantCfg layout");
static_assert(offsetof(PlantCfg, word7) == 80, "PlantCfg layout");
static_assert(offsetof(PlantCfg, word28) == 82, "PlantCfg layout");
static_assert(offsetof(PlantCfg, word29) == 84, "PlantCfg layout");
static_assert(offsetof(PlantCfg, word30) == 86, "PlantCfg layout");
static_assert(offsetof(PlantCfg, word39) == 88, "PlantCfg layout");
static_assert(offsetof(PlantCfg, word41) == 90, "PlantCfg layout");
static_assert(offsetof(PlantCfg, word42) == 92, "PlantCfg layout");
static_assert(offsetof(PlantCfg, word43) == 94, "PlantCfg layout");
static_assert(offsetof(PlantCfg, word45) == 96, "PlantCfg layout");
static_assert(offsetof(PlantCfg, word46) == 98, "PlantCfg layout");
static_assert(offsetof(PlantCfg, word47) == 100, "PlantCfg layout");
static_assert(offsetof(PlantCfg, word48) == 102, "PlantCfg layout");
static_assert(offsetof(PlantCfg, word49) == 104, "PlantCfg layout");
static_assert(offsetof(PlantCfg, word52) == 106, "PlantCfg layout");
static_assert(offsetof(PlantCfg, word53) == 108, "PlantCfg layout");
static_assert(offsetof(PlantCfg, word160) == 110, "PlantCfg layout");
static_assert(offsetof(PlantCfg, word161) == 112, "PlantCfg layout");
static_assert(offsetof(PlantCfg, word162) == 114, "PlantCfg layout");
static_assert(offsetof(PlantCfg, word163) == 116, "PlantCfg layout");
static_assert(offsetof(PlantCfg, word164) == 118, "PlantCfg layout");
static_assert(offsetof(PlantCfg, word165) == 120, "PlantCfg layout");
static_assert(offsetof(PlantCfg, word167) == 122, "PlantCfg layout");
static_assert(offsetof(PlantCfg, word174) == 124, "PlantCfg layout");
static_assert(offsetof(PlantCfg, IN1) == 126, "PlantCfg layout");
static_assert(offsetof(PlantCfg, IN2) == 128, "PlantCfg layout");
static_assert(offsetof(PlantCfg, IN3) == 130, "PlantCfg layout");
static_assert(offsetof(PlantCfg, IN4) == 132, "PlantCfg layout");
static_assert(offsetof(PlantCfg, word182) == 134, "PlantCfg layout");
static_assert(offsetof(PlantCfg, word183) == 136, "PlantCfg layout");
static_assert(offsetof(PlantCfg, word184) == 138, "PlantCfg layout");
static_assert(offsetof(PlantCfg, word185) == 140, "PlantCfg layout");
static_assert(offsetof(PlantCfg, word186) == 142, "PlantCfg layout");
static_assert(offsetof(PlantCfg, word187) == 144, "PlantCfg layout");
static_assert(offsetof(PlantCfg, word188) == 146, "PlantCfg layout");
static_assert(offsetof(PlantCfg, word189) == 148, "PlantCfg layout");
static_assert(offsetof(PlantCfg, word200) == 150, "PlantCfg layout");
static_assert(offsetof(PlantCfg, word201) == 152, "PlantCfg layout");
static_assert(offsetof(PlantCfg, word301) == 154, "PlantCfg layout");
static_assert(offsetof(PlantCfg, word302) == 156, "PlantCfg layout");
static_assert(offsetof(PlantCfg, word303) == 158, "PlantCfg layout");
static_assert(offsetof(PlantCfg, word304) == 160, "PlantCfg layout");
static_assert(offsetof(PlantCfg, passwordUser) == 162, "PlantCfg layout");
static_assert(offsetof(PlantCfg, passwordPowerUser) == 194, "PlantCfg layout");
static_assert(offsetof(PlantCfg, passwordExpert) == 226, "PlantCfg layout");
static_assert(offsetof(PlantCfg, languageStr) == 258, "PlantCfg layout");
static_assert(offsetof(PlantCfg, genSetupTimeoutScreenSaver) == 262, "PlantCfg layout");
static_assert(offsetof(PlantCfg, genSetupBuzzerEn) == 263, "PlantCfg layout");
static_assert(offsetof(PlantCfg, timezoneContinent) == 264, "PlantCfg layout");
static_assert(offsetof(PlantCfg, timezoneCity) == 276, "PlantCfg layout");
static_assert(offsetof(PlantCfg, ntpServerName) == 294, "PlantCfg layout");
static_assert(offsetof(PlantCfg, ntpQueryType) == 326, "PlantCfg layout");
static_assert(offsetof(PlantCfg, ntpQueryDailyHour) == 327, "PlantCfg layout");
static_assert(offsetof(PlantCfg, ntpQueryWeeklyDay) == 328, "PlantCfg layout");
static_assert(offsetof(PlantCfg, ntpQueryMonthlyDay) == 329, "PlantCfg layout");
static_assert(offsetof(PlantCfg, udpd_Enabled) == 330, "PlantCfg layout");
static_assert(offsetof(PlantCfg, udpd_port) == 331, "PlantCfg layout");
static_assert(offsetof(PlantCfg, udpd_password) == 333, "PlantCfg layout");
static_assert(offsetof(PlantCfg, udpd_CommandEnabled) == 365, "PlantCfg layout");
static_assert(offsetof(PlantCfg, httpd_Enabled) == 366, "PlantCfg layout");
static_assert(offsetof(PlantCfg, httpd_port) == 367, "PlantCfg layout");
static_assert(offsetof(PlantCfg, ssh_Enabled) == 369, "PlantCfg layout");
static_assert(offsetof(PlantCfg, slot1d_CommandEnabled) == 370, "PlantCfg layout");
static_assert(offsetof(PlantCfg, slot2d_CommandEnabled) == 371, "PlantCfg layout");
static_assert(offsetof(PlantCfg, PMRedundant_Excluded) == 372, "PlantCfg layout");
static_assert(offsetof(PlantCfg, trailingPad) == 373, "PlantCfg layout");

// Holder of the plant configuration; the system manager derives from it.
class SysCfgMgr {
public:
    // Builds the default configuration from the cabinet presence flags of the
    // command line (moduleApresent .. moduleDpresent).
    SysCfgMgr();

    PlantCfg Cfg;
    uint8 numUPS;            // UPS cabinets present
    uint8 seventhModule;     // always 0
    uint8 moduleNotOnLoad;   // modules not supplying the load (numUPS after system init)
    uint8 moduleUsed;        // modules needed for the present load (0 after system init)
};

#endif
