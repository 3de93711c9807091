// Start values of the status records (system, cabinet, module).
#ifndef TVK_VIRTUALUPSINIT_H
#define TVK_VIRTUALUPSINIT_H

#include "SysCfgMgr.h"
#include "VirtualUPSTypes.h"

// Which side fills an identification record.
enum class IdentSource : uint8 {
    CabinetBus,   // a cabinet's identification (UPS_Type LineInt_StepWave, NBattForBench '0')
    ModuleBus,    // a module's identification (UPS_Type OnLine, NBattForBench 0)
};

// Clears the whole system record and sets its start flags. External battery
// capacity 0 in the plant configuration also sets SWBATT_EXT. Side effect on the
// configuration holder: moduleNotOnLoad = numUPS, moduleUsed = 0.
void InitSysStatus(descSys_t *sys, SysCfgMgr &cfg);
// Cabinet descriptors of the system record: commLostAlarm for a configured
// cabinet, noneAlarm for an absent one; elemSt untouched.
void InitSysSubSystem(cabSubSystem_t *sub, const PlantCfg &cfg);
// A cabinet's data record: cleared, UPS_OK and bitCmdUnsupported set.
void InitUpsBox_UpsStatus(dataObject_t *ups);
// Module descriptors of a cabinet: commLostAlarm when its module is configured.
void InitUpsBoxSubSystem(upsSubSystem_t *sub, const upsBoxCfg_t &boxCfg);
void InitValueIdentification(identification_t *id, IdentSource source);
// A module's data record back to its start values (keeps FlagExt, statusCode,
// Cent_kwh, DCBusVolt and the counters).
void InitValueUPSStatus(dataObject_t *data);
#if !defined(TVK_MODULAR)
// Clears the status coding and sets Bt_present in the module's switch byte.
void InitValueUPSStatusDetail(statusCoding_t *detail, dataObject_t *data);
#endif

#endif
