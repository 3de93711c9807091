// Plant size limits, the element descriptor and the subsystem records.
//
// An element (a cabinet seen from the system, a module seen from its cabinet, a
// battery shelf) is described by its worst alarm level and its operating mode.
// All records are packed and little-endian: they live in the shared-memory tree
// that other processes read and travel over the cabinet bus.
#ifndef TVK_ELEMDESC_H
#define TVK_ELEMDESC_H

#include "Profile.h"
#include "Types.h"

#include <cstddef>

#if !defined(__BYTE_ORDER__) || __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "the status records are little-endian and are mapped in memory as they are"
#endif

// ---- Size limits of the plant -------------------------------------------------

constexpr int MAXUPSBOX = 4;            // UPS cabinets A..D in a system
constexpr int MAXUPSxUPSBOX = 1;        // module slots per UPS cabinet
constexpr int MAXBATTERYBOX = 0;        // separate battery cabinets (none)
constexpr int MAXBATTxBATTERYBOX = 9;   // battery shelves described per cabinet
constexpr int MAXBATTxCOMBOBOX = 5;     // battery shelves of a combined cabinet
constexpr int MAXUPSxCOMBOBOX = 3;      // modules of a combined cabinet
constexpr int MAXUPSx25kBOX = 5;        // modules of a 25k power cabinet
constexpr int MAXSENSTEMP = 4;          // temperature sensors per cabinet

// (The cabinet-bus addresses of the cabinets, FIRSTUPSBOX 0xEA .. 0xED, and
// MCU2id() are declared with the cabinet-bus thread.)

// ---- Element alarm level and operating mode ------------------------------------

#if defined(TVK_MODULAR)
enum alarmStatus_t : uint8 {
#else
enum alarmStatus_t : int32 {
#endif
    commLostAlarm = 0,
    noneAlarm = 1,
    warningAlarm = 2,
    anomalyAlarm = 3,
    faultAlarm = 4,
    lockAlarm = 5,
};

#if !defined(TVK_MODULAR)
enum elemStatus_t : uint8 {
    NOT_AVAILABLE = 0,
    Stand_byMode = 1,
    PrechargeMode = 2,
    CalibrationMode = 3,
    WaitVbatReadyMode = 4,
    NormalMode = 5,
    BatteryWorkingMode = 6,
    OnBypassMode = 7,
    EnergySavingMode = 8,
    NOT_PRESENT = 9,
    NOT_ENABLED = 10,
};
#endif

#pragma pack(push, 1)

#if defined(TVK_MODULAR)
// One byte: bits 0..2 the alarm level (an alarmStatus_t value), no operating mode.
union elemDesc_t {
    uint8 desc;
    struct {
        uint8 alarmSt : 3;
        uint8 spare1 : 5;
    };
};
#else
// The little-endian word `desc`: alarmSt = desc & 0x0F, elemSt = (desc >> 8) & 0x3F.
union elemDesc_t {
    uint16 desc;
    struct {
        uint8 alarmSt : 4;   // alarmStatus_t value
        uint8 spare1 : 4;
        uint8 elemSt : 6;    // elemStatus_t value
        uint8 spare2 : 2;
    };
};
#endif

// The four UPS cabinets A..D seen from the system.
struct cabSubSystem_t {
    elemDesc_t UPSBox[MAXUPSBOX];
};

// The modules of one UPS cabinet.
struct upsSubSystem_t {
    elemDesc_t UPSShelter[MAXUPSxUPSBOX];
};

// The shelves of a battery cabinet and its monitoring unit.
struct battSubSystem_t {
    elemDesc_t BATTShelter[MAXBATTxBATTERYBOX];
    elemDesc_t MUShelter;
};

#pragma pack(pop)

#if defined(TVK_MODULAR)
static_assert(sizeof(elemDesc_t) == 1, "elemDesc_t layout");
static_assert(sizeof(cabSubSystem_t) == 4, "cabSubSystem_t layout");
static_assert(sizeof(upsSubSystem_t) == 1, "upsSubSystem_t layout");
static_assert(sizeof(battSubSystem_t) == 10, "battSubSystem_t layout");
#else
static_assert(sizeof(elemDesc_t) == 2, "elemDesc_t layout");
static_assert(sizeof(cabSubSystem_t) == 8, "cabSubSystem_t layout");
static_assert(sizeof(upsSubSystem_t) == 2, "upsSubSystem_t layout");
static_assert(sizeof(battSubSystem_t) == 20, "battSubSystem_t layout");
static_assert(offsetof(battSubSystem_t, MUShelter) == 18, "battSubSystem_t layout");
#endif

#endif
