// Cabinet data access of the cabinet-bus thread: identification and nominal record
// of a cabinet, the system record for readers, the freshness checks of the
// descriptors, and the state code / descriptors of the system node (updateItems).
#include "DUVEX.h"
#include "Globals.h"
#include "KESPAggregate.h"
#include "SysClock.h"
#include "SystemMgr.h"
#include "ThreadKESP.h"
#include "VirtualUPSInit.h"

#include <cstring>

namespace {

bool letterIndex(char letter, uint8 &idx)
{
    if (letter < 'A' || letter > 'D')
        return false;
    idx = uint8(letter - 'A');
    return true;
}

// A module-bus query for module '1' of cabinet idx, tunnelled to that cabinet's card
// in a cabinet-bus QT message (queued; the frame is freed once queued).
void requestFromCabinet(KESPMgr &k, uint8 idx, uint8 mainCmd, uint8 subCmd)
{
    pckStruct q{};
    q.Src = uint8('A' + idx);
    q.Dest = '1';
    q.MainCmd = mainCmd;
    q.SubCmd = subCmd;
    q.pParam = nullptr;
    q.ParamLen = 0;
    uint8 *frame = nullptr;
    const uint16 len = DUVEX_BuildQuery(q, frame);
    if (!frame || len == 0)
        return;
    pckStruct qt{};
    qt.Src = KESPAddr;
    qt.Dest = uint8(FIRSTUPSBOX + idx);
    qt.MainCmd = 'Q';
    qt.SubCmd = 'T';
    qt.pParam = frame;
    qt.ParamLen = len;
    k.AddAsyncQC(qt);
    delete[] frame;
}

#if !defined(TVK_MODULAR)
bool inRange(uint8 v, int lo, int hi) { return v >= lo && v <= hi; }

// Codes that take part in the selection by priority.
bool selectable(uint8 c)
{
    return inRange(c, 0, 8) || c == 10 || c == 11 || c == 21 || inRange(c, 30, 32) || inRange(c, 40, 47) ||
           inRange(c, 60, 65) || inRange(c, 70, 72) || c == 80 || c == 81 || inRange(c, 90, 92);
}

// Operating mode of a cabinet by its state code; may force the alarm level.
uint8 cabinetMode(uint8 sc, uint8 &al)
{
    const char *const fn = "updateItems";
    if (inRange(sc, 0, 4) || sc == 6 || sc == 22) {
        KLOGD(fn, "STAND BY MODE BOX \n");
        return Stand_byMode;
    }
    if (sc == 10 || sc == 11) {
        KLOGD(fn, "PRECHARGE MODE BOX \n");
        return PrechargeMode;
    }
    if (sc == 31 || sc == 32) {
        KLOGD(fn, "CAIBRATION MODE BOX \n");
        return CalibrationMode;
    }
    if (sc == 21 || sc == 30) {
        KLOGD(fn, "WAIT VBAT MODE BOX \n");
        return WaitVbatReadyMode;
    }
    if (inRange(sc, 60, 65)) {
        KLOGD(fn, "ON BYPASS MODE BOX \n");
        return OnBypassMode;
    }
    if (inRange(sc, 50, 52) || sc == 81) {
        KLOGD(fn, "BATTERY WORKING MODE BOX \n");
        return BatteryWorkingMode;
    }
    if (sc == 5) {
        al = noneAlarm;
        KLOGD(fn, "WAIT CABID MODE BOX \n");
        return Stand_byMode;
    }
    if (sc == 41) {
        KLOGD(fn, "ENERGY SAVING MODE BOX \n");
        return EnergySavingMode;
    }
    if (sc == 40 || inRange(sc, 42, 47) || inRange(sc, 70, 72) || sc == 80) {
        KLOGD(fn, "NORMAL MODE BOX \n");
        return NormalMode;
    }
    if (sc == 7 || inRange(sc, 90, 92)) {
        KLOGD(fn, "NORMAL 2 MODE BOX \n");
        return NormalMode;
    }
    if (sc == 20) {
        al = warningAlarm;
        KLOGD(fn, "POWER OFF MODE BOX \n");
        return Stand_byMode;
    }
    al = faultAlarm;
    KLOGD(fn, "OTHER MODE BOX \n");
    return NormalMode;
}
#endif

} // namespace

#if !defined(TVK_MODULAR)
int statusCodePriority(uint8 code)
{
    struct Row {
        uint8 code;
        int prio;
    };
    static const Row table[] = {
        {0, 100},  {1, 110},  {2, 120},  {3, 130},  {4, 140},  {5, 150},  {6, 160},  {7, 170},  {8, 185},
        {10, 220}, {11, 210}, {20, 90},  {21, 180}, {30, 250}, {31, 230}, {32, 240}, {40, 280}, {41, 300},
        {42, 320}, {43, 330}, {44, 340}, {45, 290}, {46, 310}, {47, 270}, {50, 400}, {51, 410}, {52, 420},
        {60, 430}, {61, 450}, {62, 460}, {63, 470}, {64, 480}, {65, 440}, {70, 370}, {71, 380}, {72, 390},
        {80, 360}, {81, 350}, {90, 190}, {91, 200}, {92, 260},
    };
    for (const Row &r : table)
        if (r.code == code)
            return r.prio;
    return 0;
}

uint8 statusCodeSelect(uint8 s, uint8 c, bool onBattery)
{
    if (c == POWER_OFF_ACTIVE)
        return (s == INITIALIZATION || s == POWER_OFF_ACTIVE) ? uint8(POWER_OFF_ACTIVE) : s;
    if (inRange(c, 50, 52)) {
        if (!onBattery)
            return s;
        return statusCodePriority(c) > statusCodePriority(s) ? c : s;
    }
    if (selectable(c))
        return statusCodePriority(c) > statusCodePriority(s) ? c : s;
    return INITIALIZATION;
}
#endif

void checkUpsBoxSubSystemWith(descUpsBox_t &rec, int32 errorPck, const upsBoxCfg_t &cfg, uint8 idx, time_t now)
{
    const char *const fn = "checkUpsBoxSubSystem";
    KTRACE(fn, "enter");
    KLOGD(fn, "MCUAdd:0x%02X\n", unsigned(FIRSTUPSBOX + idx));
    const int64 age = int64(now) - int64(rec.Ups.timestamp);
    if (age > profile::BSPCKEXPIRE || (age > CABDATA_FRESH_S && errorPck == 0)) {
        KLOGD(fn, "NOW:%d Ups.timestamp:%ld\n", int(now), long(rec.Ups.timestamp));
        InitUpsBoxSubSystem(&rec.subSystem, cfg);
    }
    if (int64(now) - int64(rec.Batteries.timestamp) > CABDATA_FRESH_S)
        KLOGD(fn, "NOW:%d Batteries.timestamp:%ld\n", int(now), long(rec.Batteries.timestamp));
    KTRACE(fn, "exit");
}

void checkSysSubSystemWith(descSys_t &sys, const PlantCfg &cfg, time_t now)
{
    const char *const fn = "checkSysSubSystem";
    KTRACE(fn, "enter");
    if (int64(now) - int64(sys.Ups.timestamp) > CABDATA_FRESH_S) {
        KLOGD(fn, "NOW:%d Ups.timestamp:%ld \n", int(now), long(sys.Ups.timestamp));
        InitSysSubSystem(&sys.subSystem, cfg);
    }
    KTRACE(fn, "exit");
}

void UpdateItemsWith(SysAggCabinet *cab, descSys_t &sys, const PlantCfg &cfg, time_t now)
{
    const char *const fn = "updateItems";
    KTRACE(fn, "enter");
    for (int i = 0; i < MAXUPSBOX; ++i)
        if (cab[i].active)
            checkUpsBoxSubSystemWith(cab[i].rec, cab[i].errorPck, cfg.Ups[i], uint8(i), now);
    checkSysSubSystemWith(sys, cfg, now);

#if defined(TVK_MODULAR)
    for (int i = 0; i < MAXUPSBOX; ++i) {
        const descUpsBox_t &r = cab[i].rec;
        uint8 al;
        if (!cab[i].active)
            al = noneAlarm;
        else if (!cab[i].mcuGood)
            al = commLostAlarm;
        else if (r.Ups.Lock)
            al = lockAlarm;
        else if (r.Ups.Fault || r.Fault)
            al = faultAlarm;
        else if (r.Ups.Anomaly || r.Anomaly)
            al = anomalyAlarm;
        else if (r.Ups.Warning || r.Warning)
            al = warningAlarm;
        else
            al = noneAlarm;
        sys.subSystem.UPSBox[i].desc = 0;
        sys.subSystem.UPSBox[i].alarmSt = al;
    }
#else
    uint8 s = sys.Ups.statusCode;
    const bool onBattery = sys.Ups.Battery_Working || sys.Ups.Test_in_progress;
    for (int i = 0; i < MAXUPSBOX; ++i) {
        if (!cab[i].active || !cab[i].mcuGood)
            continue;
        const descUpsBox_t &r = cab[i].rec;
        const uint8 c = r.Ups.statusCode;
        s = statusCodeSelect(s, c, onBattery);
        for (size_t b = 0; b < sizeof sys.statusDetail.states; ++b)
            sys.statusDetail.states[b] = char(sys.statusDetail.states[b] | r.statusDetail.states[b]);
        for (size_t b = 0; b < sizeof sys.statusDetailExt.states; ++b)
            sys.statusDetailExt.states[b] = char(sys.statusDetailExt.states[b] | r.statusDetailExt.states[b]);

        uint8 al;
        if (r.Ups.Lock) {
            al = lockAlarm;
            KLOGD(fn, "lockAlarm BOX\n");
        } else if (r.Ups.Fault) {
            al = faultAlarm;
            KLOGD(fn, "faultAlarm BOX\n");
        } else if (r.Ups.Anomaly) {
            al = anomalyAlarm;
            KLOGD(fn, "anomalyAlarm BOX\n");
        } else if (r.Ups.Warning) {
            al = warningAlarm;
            KLOGD(fn, "warningAlarm BOX\n");
        } else {
            al = noneAlarm;
            KLOGD(fn, "noneAlarm BOX\n");
        }
        const uint8 mode = cabinetMode(c, al);
        elemDesc_t &e = sys.subSystem.UPSBox[i];
        e.alarmSt = al;
        e.elemSt = mode;
        KLOGD(fn, "Elemdesc FINALE [idx = %d]: %d \n", i, int(e.desc));
    }
    sys.Ups.statusCode = statusCode_t(s);
    KLOGD(fn, "Status code box: %d: \n", int(s));
#endif
    KTRACE(fn, "exit");
}

// ---- KESPMgr members ----------------------------------------------------------------

void KESPMgr::GetIdentification(char letter, identification_t &out)
{
    const char *const fn = "GetIdentification";
    KTRACE(fn, "enter");
    uint8 idx;
    if (!letterIndex(letter, idx)) {
        KLOGE(fn, "GRAVE ERRORE DI INDIRIZZAMENTO\n");
        return;
    }
    KLOGD(fn, "BOXAdd:0x%02X\n", unsigned(uint8(letter - 55)));
    bool ask = false;
    {
        myMutexLocker lk(mutexKESPData);
        upsBoxQueriesData_t &e = upsBox[idx];
        virtualNode_t *n = e.pVN;
        if (!n) {
            KTRACE(fn, "exit");
            return;
        }
        if (n->identification.timestamp != 0) {
            if (&out != &n->identification)
                memcpy(&out, &n->identification, sizeof out);
        } else {
            ask = true;
            if (e.extendedBoardBox.inf.timestamp != 0) {
                InitValueIdentification(&out, IdentSource::CabinetBus);
                memcpy(n->identification.SN_AUX, e.extendedBoardBox.inf.ro.SerialNumber, sizeof n->identification.SN_AUX);
                memcpy(n->identification.SWVer_AUX, e.extendedBoardBox.inf.ro.FWVersion,
                       sizeof n->identification.SWVer_AUX);
            }
        }
    }
    // Queuing takes the queue lock only, never the cabinet data mutex.
    if (ask)
        requestFromCabinet(*this, idx, 'G', 'I');
    KTRACE(fn, "exit");
}

void KESPMgr::GetNominal(char letter, nominal_t &out)
{
    const char *const fn = "GetNominal";
    KTRACE(fn, "enter");
    uint8 idx;
    if (!letterIndex(letter, idx)) {
        KLOGE(fn, "GRAVE ERRORE DI INDIRIZZAMENTO\n");
        return;
    }
    KLOGD(fn, "BOXAdd:0x%02X\n", unsigned(uint8(letter - 55)));
    bool ask = false;
    {
        myMutexLocker lk(mutexKESPData);
        virtualNode_t *n = upsBox[idx].pVN;
        if (n && n->nominal.timestamp != 0) {
            memcpy(&out, &n->nominal, sizeof out);
        } else {
            memset(&out, 0, sizeof out);
            ask = n != nullptr;
        }
    }
    if (ask)
        requestFromCabinet(*this, idx, 'G', 'N');
    KTRACE(fn, "exit");
}

void KESPMgr::GetSysStatus(descSys_t &out)
{
    const char *const fn = "GetSysStatus";
    KTRACE(fn, "enter");
    // The start values come from a copy of the configuration holder: reading the
    // system record must not reset the counters of the running aggregation.
    SysCfgMgr local = pSysMgr ? static_cast<const SysCfgMgr &>(*pSysMgr) : SysCfgMgr();
    if (!sys) {
        KLOGE(fn, "SISTEMA NON INIZIALIZZATO!!\n");
        InitSysStatus(&out, local);
        KTRACE(fn, "exit");
        return;
    }
    const int64 now = int64(sysclock::now());
    {
        myMutexLocker lk(mutexKESPData);
        const descSys_t &s = sys->desc.sys;
        if (now - int64(s.Ups.timestamp) > CABDATA_FRESH_S && now - int64(s.Batteries.timestamp) > CABDATA_FRESH_S) {
            lk.unlock();
            InitSysStatus(&out, local);
        } else {
            memcpy(&out, &s, sizeof out);
            KTRACE(fn, "End memcpy");
        }
    }
    KTRACE(fn, "exit");
}

void KESPMgr::checkUpsBoxSubSystem(char letter)
{
    uint8 idx;
    if (!letterIndex(letter, idx) || !upsBox[idx].pVN || !pSysMgr)
        return;
    checkUpsBoxSubSystemWith(upsBox[idx].pVN->desc.upsBox, upsBox[idx].MCUcommStatus.errorPck, pSysMgr->Cfg.Ups[idx],
                             idx, sysclock::now());
}

void KESPMgr::checkSysSubSystem()
{
    if (!sys) {
        KLOGE("checkSysSubSystem", "SISTEMA NON INIZIALIZZATO!!\n");
        return;
    }
    if (pSysMgr)
        checkSysSubSystemWith(sys->desc.sys, pSysMgr->Cfg, sysclock::now());
}

void KESPMgr::updateItems()
{
    if (!sys || !pSysMgr)
        return;
    myMutexLocker lk(mutexKESPData);
    SysAggCabinet cab[MAXUPSBOX];
    for (int i = 0; i < MAXUPSBOX; ++i) {
        const upsBoxQueriesData_t &e = upsBox[i];
        cab[i].active = e.MCUcommStatus.active;
        cab[i].mcuGood = e.MCUcommStatus.isGood;
        cab[i].errorPck = e.MCUcommStatus.errorPck;
        cab[i].hasNode = e.pVN != nullptr;
        if (e.pVN)
            cab[i].rec = e.pVN->desc.upsBox;
        else
            cab[i].active = false;
    }
    descSys_t s = sys->desc.sys;
    UpdateItemsWith(cab, s, pSysMgr->Cfg, sysclock::now());
    sys->desc.sys = s;
    for (int i = 0; i < MAXUPSBOX; ++i)
        if (upsBox[i].pVN)
            upsBox[i].pVN->desc.upsBox.subSystem = cab[i].rec.subSystem;
}
