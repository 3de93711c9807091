#include "VirtualUPSInit.h"

#include <cstring>

namespace {

// Blank-padded text with the last byte NUL.
template <size_t N> void blankText(char (&text)[N])
{
    memset(text, ' ', N - 1);
    text[N - 1] = '\0';
}

constexpr uint8 UPS_OK_BIT = 0x80;               // extStatus
constexpr uint8 SWOUT_BIT = 0x40;                // status
constexpr uint8 BT_PRESENT_BIT = 0x08;           // switchStatus
constexpr uint16 WRONGPOWER_BIT = 0x0001;        // PMStatus
constexpr uint16 INPUTDISABLED_BIT = 0x0002;     // PMStatus
constexpr uint16 CMDUNSUPPORTED_BIT = 0x2000;    // PMStatus high byte bit 5
constexpr uint8 EPO_BIT = 0x80;                  // externalSwitchStatus
constexpr uint8 SWBATT_EXT_BIT = 0x40;           // externalSwitchStatus
constexpr uint16 NOMINAL_FREQ = 500;             // 50.0 Hz
constexpr uint8 START_TEMP = 25;                 // degrees Celsius

} // namespace

void InitSysStatus(descSys_t *sys, SysCfgMgr &cfg)
{
    memset(sys, 0, sizeof *sys);
    dataObject_t &ups = sys->Ups;
    ups.extStatus = UPS_OK_BIT;
    ups.PMStatus = CMDUNSUPPORTED_BIT;
#if !defined(TVK_MODULAR)
    memset(ups.FlagExt.states, 0, sizeof ups.FlagExt.states);
    ups.statusCode = INITIALIZATION;
#endif
    ups.alarm = 0;
    ups.status = SWOUT_BIT;
    ups.switchStatus = 0;
    sys->sysStatus = 0;
    sys->boxStatus = 0;
    sys->MCUMUStatus = 0;
    sys->externalSwitchStatus = EPO_BIT;
    if (cfg.Cfg.externBattCapacity == 0)
        sys->externalSwitchStatus = EPO_BIT | SWBATT_EXT_BIT;

    // Every recount starts with all modules counted as off load.
    cfg.moduleNotOnLoad = cfg.numUPS;
    cfg.moduleUsed = 0;
}

void InitSysSubSystem(cabSubSystem_t *sub, const PlantCfg &cfg)
{
    for (int i = 0; i < MAXUPSBOX; ++i)
        sub->UPSBox[i].alarmSt = cfg.Ups[i].present ? commLostAlarm : noneAlarm;
}

void InitUpsBox_UpsStatus(dataObject_t *ups)
{
    memset(ups, 0, sizeof *ups);
    ups->extStatus = UPS_OK_BIT;
    ups->PMStatus = CMDUNSUPPORTED_BIT;
}

void InitUpsBoxSubSystem(upsSubSystem_t *sub, const upsBoxCfg_t &boxCfg)
{
    sub->UPSShelter[0].alarmSt = boxCfg.modulePresent[0] ? commLostAlarm : noneAlarm;
}

void InitValueIdentification(identification_t *id, IdentSource source)
{
    const bool moduleBus = source == IdentSource::ModuleBus;
    id->timestamp = 0;
    blankText(id->SN);
    blankText(id->Model);
    blankText(id->SN_AUX);
    blankText(id->SWVer);
    blankText(id->SWVer_AUX);
    id->IO_Cfg = TT;
    id->UPS_Type = moduleBus ? OnLine : LineInt_StepWave;
    id->Boost_Cfg = DoubleBoost;
    id->Buck_Cfg = DoubleBuck;
    id->Error_CTRL = CRC;
    id->PwrShareCfg = NoPWRSHARE;
    id->BattBenches = TwoBenches;
    id->NBattForBench = moduleBus ? 0 : '0';
    id->ParallelInfo = ParallelUPS_Slave;
#if defined(TVK_MODULAR)
    memset(id->tbdGI, 'x', sizeof id->tbdGI);
#else
    id->TypeMachine = KRB;
    id->Cover = VARDEL;
    id->TypeInput = DUALINPUT;
#endif
    memset(id->tbdGE, 'x', sizeof id->tbdGE);
    id->partialInfo = 0xFC;
}

void InitValueUPSStatus(dataObject_t *data)
{
    data->timestamp = 0;
    data->alarm = 0;
    data->status = 0;
    data->extStatus = 0;
    data->switchStatus = uint8((data->switchStatus & 0xC0) | BT_PRESENT_BIT);
    data->PMStatus = uint16((data->PMStatus & ~(WRONGPOWER_BIT | INPUTDISABLED_BIT)) | CMDUNSUPPORTED_BIT);
    memset(data->Load, 0, sizeof data->Load);
    data->maxLoad = 0;
    memset(data->Va, 0, sizeof data->Va);
    memset(data->VAR, 0, sizeof data->VAR);
    memset(data->Watt, 0, sizeof data->Watt);
    data->Aut_time = 0;
    data->Carica_adj = 0;
    data->Vbatp = 0;
    data->Vbatn = 0;
    data->Ibatp = 0;
    data->Ibatn = 0;
    memset(data->Vin, 0, sizeof data->Vin);
    memset(data->Uin, 0, sizeof data->Uin);
    memset(data->Iin, 0, sizeof data->Iin);
    memset(data->Vbyp, 0, sizeof data->Vbyp);
    memset(data->Ubyp, 0, sizeof data->Ubyp);
    memset(data->Vout, 0, sizeof data->Vout);
    memset(data->Uout, 0, sizeof data->Uout);
    memset(data->Iout, 0, sizeof data->Iout);
    memset(data->Iout_pk, 0, sizeof data->Iout_pk);
#if !defined(TVK_MODULAR)
    memset(data->powerTemp, 0, sizeof data->powerTemp);
    memset(data->batteryTemp, 0, sizeof data->batteryTemp);
#endif
    data->Frq_in = NOMINAL_FREQ;
    data->Frq_byp = NOMINAL_FREQ;
    data->Frq_out = NOMINAL_FREQ;
    data->Temp0 = START_TEMP;
}

#if !defined(TVK_MODULAR)
void InitValueUPSStatusDetail(statusCoding_t *detail, dataObject_t *data)
{
    memset(detail, 0, sizeof *detail);
    data->switchStatus = uint8(data->switchStatus | BT_PRESENT_BIT);
}
#endif
