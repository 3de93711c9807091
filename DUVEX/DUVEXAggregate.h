// Module aggregation: the power module of the own cabinet turned into the cabinet
// record (data, nominal ratings, identification) that the cabinet bus publishes.
//
// DUVEXMgr::AggregateUPS is the entry the module-bus thread calls; it takes the
// cabinet-bus thread, the plant configuration and the firmware counter from the
// system manager. AggregateUPSWith does the same work on what the caller passes,
// so that it can run without a system manager (tests, tools).
#ifndef TVK_DUVEXAGGREGATE_H
#define TVK_DUVEXAGGREGATE_H

#include "Debounce.h"
#include "SysCfgMgr.h"
#include "ThreadDUVEX.h"
#include "Types.h"

#include <ctime>

class KESPMgr;

// Presence thresholds of the aggregation (the voltage ones, LN_VOLTTH and LL_VOLTTH,
// depend on the build profile and live in Profile.h).
constexpr int AGG_FREQTH = 20;            // frequency (0.1 Hz) counts from here
constexpr int AGG_VBATTH = 100;           // battery voltage threshold
constexpr int AGG_DCBUSTH = 100;          // DC bus voltage counts from here
constexpr int AGG_MIN_INTERVAL_MS = 1000; // aggregations this close together are skipped
constexpr int AGG_DEBOUNCE_S = 6;         // a disagreement must last this long

// Debounce of the disagreements between the modules (and with the system record):
// each must last AGG_DEBOUNCE_S seconds before it is reported.
struct AggregateDebounce {
    Debounce anomalyLock{AGG_DEBOUNCE_S};
    Debounce anomalyBypassBad{AGG_DEBOUNCE_S};
    Debounce anomalyBatteryWorking{AGG_DEBOUNCE_S};
    Debounce anomalyOutputPowered{AGG_DEBOUNCE_S};
};

// What the aggregation needs besides the module-bus thread itself.
struct AggregateEnv {
    KESPMgr *kesp = nullptr;            // cabinet-bus thread: entries, data mutex, system node
    const PlantCfg *cfg = nullptr;      // plant configuration (module slots of the cabinet)
    uint8 cntForSameBuild = 0;          // 3 or more: another firmware build is on the bus
    AggregateDebounce *debounce = nullptr;
};

// One aggregation of `row` (the module slots of cabinet `boxId`, 0..3) into the
// cabinet node of env.kesp->upsBox[boxId], paced by duvex.lastTime. Module panel
// commands and a module clock refresh are sent through `duvex` after the cabinet
// data mutex is released.
void AggregateUPSWith(DUVEXMgr &duvex, ModuleQueriesData_t *row, uint8 boxId, const AggregateEnv &env);

// Debounce states used by DUVEXMgr::AggregateUPS (one per process).
AggregateDebounce &AggregateUPSDebounce();
// Back to agreement, as at process start.
void AggregateUPSResetDebounce();

#endif
