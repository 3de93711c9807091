// Module aggregation into the own cabinet record.
//
// The record is built in local storage under the cabinet-bus data mutex and copied
// into the cabinet node in one go, so the cabinet bus never sends a half-built
// record. The module node is read as one snapshot under the module data mutex
// (taken inside the cabinet data mutex, the order the reply parser uses too).
// Anything that talks on a bus (module clock, panel commands) runs after both
// mutexes are released.
#include "DUVEXAggregate.h"

#include "Globals.h"
#include "Log.h"
#include "SysClock.h"
#include "SystemMgr.h"
#include "ThreadKESP.h"
#include "TreePublish.h"
#include "VirtualUPSInit.h"

#include <cstring>
#include <initializer_list>
#include <limits>

namespace {

// The aggregation is one operation of the module-bus thread, split into helpers here:
// every line carries its name (the unit comes from the log facility's table).
#define ALOGE(...) tvk_log(__FILE__, "AggregateUPS", LogLevel::Err, __VA_ARGS__)
#define ALOGW(...) tvk_log(__FILE__, "AggregateUPS", LogLevel::War, __VA_ARGS__)
#define ALOGD(...) tvk_log(__FILE__, "AggregateUPS", LogLevel::Dbg, __VA_ARGS__)
#define ATRACE(msg) tvk_trace(__FILE__, "AggregateUPS", (msg))

AggregateDebounce g_debounce;

int64_t msBetween(const struct timespec &from, const struct timespec &to)
{
    return int64_t(to.tv_sec - from.tv_sec) * 1000 + (to.tv_nsec - from.tv_nsec) / 1000000;
}

template <typename T> T clampTo(int64_t v)
{
    if (v < int64_t(std::numeric_limits<T>::min()))
        return std::numeric_limits<T>::min();
    if (v > int64_t(std::numeric_limits<T>::max()))
        return std::numeric_limits<T>::max();
    return T(v);
}

// Per-phase arrays of the records are unaligned (packed): write them byte-wise.
template <typename T> void putPhase(void *arr, int p, T v)
{
    memcpy(static_cast<char *>(arr) + size_t(p) * sizeof(T), &v, sizeof v);
}

// Sum and count per phase of a value that is averaged over the modules that gave it.
struct PhaseAvg {
    int64_t sum[3] = {0, 0, 0};
    int cnt[3] = {0, 0, 0};
    void add(int p, int64_t v)
    {
        sum[p] += v;
        cnt[p]++;
    }
    // `out` is a three-element array of T inside a packed record (any alignment).
    template <typename T> void store(void *out) const
    {
        for (int p = 0; p < 3; ++p)
            if (cnt[p])
                putPhase<T>(out, p, clampTo<T>(sum[p] / cnt[p]));
    }
};

struct PhaseSum {
    int64_t sum[3] = {0, 0, 0};
    template <typename T> void store(void *out) const
    {
        for (int p = 0; p < 3; ++p)
            putPhase<T>(out, p, clampTo<T>(sum[p]));
    }
};

// Everything gathered from the modules taken in one aggregation.
struct Accum {
    PhaseAvg load, vin, uin, vbyp, ubyp, vout, uout;
    PhaseSum va, watt, iin, iout, ioutPk;
    uint16 autMin = 0xFFFF;
    uint8 chargeMin = 0xFF;
    bool vbatpTaken = false, vbatnTaken = false;
    uint16 vbatp = 0, vbatn = 0;
#if defined(TVK_MODULAR)
    bool vbatRSTaken = false;
    uint16 vbatRS = 0;
#endif
    int64_t ibatp = 0, ibatn = 0;
    bool frqInTaken = false, frqBypTaken = false, frqOutTaken = false;
    uint16 frqIn = 0, frqByp = 0, frqOut = 0;
#if !defined(TVK_MODULAR)
    bool dcTaken[2] = {false, false};
    uint16 dc[2] = {0, 0};
#endif
    int taken = 0;          // modules taken (active and good)
    int lockCnt = 0;        // of which in Lock
    int bypassBadCnt = 0;   // of which with Bypass_Bad
    bool outputDisagree = false;
    bool battWorking = false, battLow = false;
    bool swin = false, swbyp = false, swbatt = false;
};


// Step 6: one good module into the working record.
void takeModule(const descModule_t &M, const virtualNode_t *sysNode, descUpsBox_t &w, Accum &a)
{
    const dataObject_t &d = M.data;
    const statusCoding_t &sd = M.statusDetail;
    dataObject_t &c = w.Ups;

    a.taken++;

    // Cabinet switches as the module sees them.
    if (!sd.InputSwitchOpen)
        a.swin = true;
    if (!sd.BypassSwitchOpen)
        a.swbyp = true;
    if (!sd.spare63)
        a.swbatt = true;

    // Alarms.
    c.Warning |= d.Warning;
    c.Anomaly |= d.Anomaly;
    c.Alarm_Overload |= d.Alarm_Overload;
    if (d.Fault || d.Alarm_Temperature)
        c.Fault = 1;
    if (d.Lock)
        a.lockCnt++;
    if (d.Bypass_Bad)
        a.bypassBadCnt++;
    if (d.Battery_Low)
        a.battLow = true;

    // Status.
    c.Output_Powered |= d.Output_Powered;
    c.On_Bypass |= d.On_Bypass;
    c.Line_Present |= d.Line_Present;
    c.Shutdown_Active |= d.Shutdown_Active;
    c.Shutdown_Imminent |= d.Shutdown_Imminent;
    if (!sd.OutputSwitchOpen)
        c.SWOUT = 1;
    if (sd.ManualBypassCommand)
        c.SWMB = 1;
    if (d.Battery_Working)
        a.battWorking = true;

    // Extended status: bits 0..6 ORed, UPS_OK only when every module is OK.
    c.extStatus = uint8(c.extStatus | (d.extStatus & 0x7F));
    if (!d.UPS_OK)
        c.UPS_OK = 0;

    c.switchStatus = uint8(c.switchStatus | d.switchStatus);
    c.wrongPower |= d.wrongPower;
    c.inputDisabled |= d.inputDisabled;
    c.bitCmdUnsupported |= d.bitCmdUnsupported;

#if !defined(TVK_MODULAR)
    c.statusCode = d.statusCode;
    c.FlagExt = d.FlagExt;
    w.statusDetail = M.statusDetail;
    w.statusDetailExt = M.statusDetailExt;
#endif

    if (d.maxLoad > c.maxLoad)
        c.maxLoad = d.maxLoad;

    for (int p = 0; p < 3; ++p) {
        if (d.Output_Powered)
            a.load.add(p, d.Load[p]);
        a.va.sum[p] += d.Va[p];
        a.watt.sum[p] += d.Watt[p];
        if (d.Vin[p] >= profile::LN_VOLTTH)
            a.vin.add(p, d.Vin[p]);
        if (d.Vbyp[p] >= profile::LN_VOLTTH)
            a.vbyp.add(p, d.Vbyp[p]);
        if (d.Vout[p] >= profile::LN_VOLTTH)
            a.vout.add(p, d.Vout[p]);
        if (d.Uin[p] >= profile::LL_VOLTTH)
            a.uin.add(p, d.Uin[p]);
        if (d.Ubyp[p] >= profile::LL_VOLTTH)
            a.ubyp.add(p, d.Ubyp[p]);
        if (d.Uout[p] >= profile::LL_VOLTTH)
            a.uout.add(p, d.Uout[p]);
        a.iin.sum[p] += d.Iin[p];
        a.iout.sum[p] += d.Iout[p];
        a.ioutPk.sum[p] += d.Iout_pk[p];
    }

    // Battery: autonomy and charge only from a module whose battery is really there.
    if (d.Vbatp > AGG_VBATTH) {
        if (d.Aut_time < a.autMin)
            a.autMin = d.Aut_time;
        ALOGD("mod:%c Aut_time:%d  MINIMO:%d\n", '1', int(d.Aut_time), int(a.autMin));
        if (d.Carica_adj < a.chargeMin)
            a.chargeMin = d.Carica_adj;
    }
    if (d.Vbatp >= AGG_VBATTH) {
        a.vbatpTaken = true;
        a.vbatp = d.Vbatp;
    }
    if (d.Vbatn >= AGG_VBATTH) {
        a.vbatnTaken = true;
        a.vbatn = d.Vbatn;
    }
#if defined(TVK_MODULAR)
    if (d.VbatRS >= AGG_VBATTH) {
        a.vbatRSTaken = true;
        a.vbatRS = d.VbatRS;
    }
#endif
    a.ibatp += d.Ibatp;
    a.ibatn += d.Ibatn;

    if (d.Frq_in >= AGG_FREQTH) {
        a.frqInTaken = true;
        a.frqIn = d.Frq_in;
    }
    if (d.Frq_byp >= AGG_FREQTH) {
        a.frqBypTaken = true;
        a.frqByp = d.Frq_byp;
    }
    if (d.Frq_out >= AGG_FREQTH) {
        a.frqOutTaken = true;
        a.frqOut = d.Frq_out;
    }

    if (d.Temp0 > c.Temp0)
        c.Temp0 = d.Temp0;
#if defined(TVK_MODULAR)
    if (d.Temp1 > c.Temp1)
        c.Temp1 = d.Temp1;
    if (d.Temp2 > c.Temp2)
        c.Temp2 = d.Temp2;
    if (d.Temp3 > c.Temp3)
        c.Temp3 = d.Temp3;
    if (d.Temp4 > c.Temp4)
        c.Temp4 = d.Temp4;
    if (d.Temp5 > c.Temp5)
        c.Temp5 = d.Temp5;
    if (d.Temp6 > c.Temp6)
        c.Temp6 = d.Temp6;
#else
    for (int i = 0; i < 2; ++i)
        if (d.DCBusVolt[i] >= AGG_DCBUSTH) {
            a.dcTaken[i] = true;
            a.dc[i] = d.DCBusVolt[i];
        }
    for (int i = 0; i < 4; ++i)
        if (d.powerTemp[i] > c.powerTemp[i])
            c.powerTemp[i] = d.powerTemp[i];
    for (int i = 0; i < 2; ++i)
        if (d.batteryTemp[i] > c.batteryTemp[i])
            c.batteryTemp[i] = d.batteryTemp[i];
    c.configCounter = d.configCounter;
    c.counterHours = d.counterHours;
    c.counterMinutes = d.counterMinutes;
    c.counterSeconds = d.counterSeconds;
#endif

    // The module must agree with the system record on whether the output is powered.
    if (sysNode && bool(d.Output_Powered) != bool(sysNode->desc.sys.Ups.Output_Powered))
        a.outputDisagree = true;
}

#if !defined(TVK_MODULAR)
bool inSet(uint8 v, std::initializer_list<int> set)
{
    for (int x : set)
        if (v == x)
            return true;
    return false;
}

bool inRange(uint8 v, int lo, int hi) { return v >= lo && v <= hi; }
#endif

// Step 15 for a good module: worst alarm level, then (full builds) the operating mode.
elemDesc_t goodModuleDesc(const dataObject_t &d, uint8 boxId, int slot)
{
    elemDesc_t e;
    e.desc = 0;
    alarmStatus_t al;
    if (d.Lock) {
        al = lockAlarm;
        ALOGD("lockAlarm\n");
    } else if (d.Fault) {
        al = faultAlarm;
        ALOGD("faultAlarm\n");
    } else if (d.Anomaly) {
        al = anomalyAlarm;
        ALOGD("anomalyAlarm\n");
    } else if (d.Warning) {
        al = warningAlarm;
        ALOGD("warningAlarm\n");
    } else {
        al = noneAlarm;
        ALOGD("noneAlarm\n");
    }
#if defined(TVK_MODULAR)
    (void)boxId;
    (void)slot;
#else
    elemStatus_t st;
    const uint8 sc = d.statusCode;
    if (inRange(sc, 0, 4) || sc == 6 || sc == 22) {
        st = Stand_byMode;
        ALOGD("STAND BY MODE\n");
    } else if (sc == 10 || sc == 11) {
        st = PrechargeMode;
        ALOGD("PRECHARGE MODE\n");
    } else if (sc == 31 || sc == 32) {
        st = CalibrationMode;
        ALOGD("CALIBRATION MODE\n");
    } else if (sc == 21 || sc == 30) {
        st = WaitVbatReadyMode;
        ALOGD("WAIT VBAT MODE\n");
    } else if (inRange(sc, 60, 65)) {
        st = OnBypassMode;
        ALOGD("ON BYPASS MODE\n");
    } else if (inSet(sc, {50, 51, 52, 81})) {
        st = BatteryWorkingMode;
        ALOGD("BATT WORKING MODE\n");
    } else if (sc == 5) {
        st = Stand_byMode;
        al = noneAlarm;
        ALOGD("WAIT CAB ID\n");
    } else if (sc == 41) {
        st = EnergySavingMode;
        ALOGD("ENERGY SAVING MODE\n");
    } else if (sc == 40 || inRange(sc, 42, 47) || inRange(sc, 70, 72) || sc == 80) {
        st = NormalMode;
        ALOGD("NORMAL MODE\n");
    } else if (sc == 7 || inRange(sc, 90, 92)) {
        st = NormalMode;
        ALOGD("NORMAL 2 MODE\n");
    } else if (sc == 20) {
        st = Stand_byMode;
        al = warningAlarm;
        ALOGD("POWER OFF ACTIVE\n");
    } else {
        st = NormalMode;
        al = faultAlarm;
        ALOGW("Armadio 0x%02X: Stato modulo %d anomalo!!!\n", unsigned(FIRSTUPSBOX + boxId - 0xE0), slot + 1);
        ALOGW("statusCode:%d\n", int(sc));
    }
    e.elemSt = uint8(st);
#endif
    e.alarmSt = uint8(al);
    return e;
}

// The descriptor word as binary digits, most significant first.
void logDescBits(const elemDesc_t &e)
{
    constexpr int bits = int(sizeof(e.desc)) * 8;
    char buf[bits + 1];
    for (int i = 0; i < bits; ++i)
        buf[i] = ((e.desc >> (bits - 1 - i)) & 1) ? '1' : '0';
    buf[bits] = '\0';
    ALOGD("desc: %s\n", buf);
}

// Step 18: the panel command of one module node.
void panelCommand(DUVEXMgr &duvex, virtualNode_t *node, char letter, uint8 moduleAddr)
{
    ALOGD("%c%c pVN:(%p)\n", letter, moduleAddr, static_cast<void *>(node));
    ALOGD("%c%c panel(%p)\n", letter, moduleAddr, static_cast<void *>(&node->panel));
    // Other processes write this byte in shared memory at any time: read it once, and
    // clear it before acting, so that a command written meanwhile is not wiped.
    volatile uint8 *pValue = reinterpret_cast<volatile uint8 *>(&node->panel.value);
    const uint8 value = *pValue;
    if (value != CMD_NONE)
        *pValue = CMD_NONE;
    switch (value) {
    case CMD_ZVL_POWERON:
        if (!node->desc.module.data.wrongPower)
            duvex.moduleOn(letter, moduleAddr);
        break;
    case CMD_ZVL_OFF:
        duvex.moduleOff(letter, moduleAddr);
        break;
    case CMD_SHUTDOWN:
    case CMD_REBOOT:
    case CMD_DELETE:
    case CMD_TESTBATT:
        ALOGE("Comando (%d) non supportato!!\n", int(value));
        break;
    case CMD_NONE:
        break;
    default:
        ALOGW("Valore non previsto (%d)\n", int(value));
        break;
    }
    ALOGD("%c%c panel->value:%d)\n", letter, moduleAddr, int(*pValue));
}

} // namespace

AggregateDebounce &AggregateUPSDebounce() { return g_debounce; }

void AggregateUPSResetDebounce() { g_debounce = AggregateDebounce(); }

void AggregateUPSWith(DUVEXMgr &duvex, ModuleQueriesData_t *row, uint8 boxId, const AggregateEnv &env)
{
    // 1. At most one aggregation per second (monotonic clock; lastTime 0 = never ran).
    const struct timespec nowMono = sysclock::monotonic();
    const bool neverRan = duvex.lastTime.tv_sec == 0 && duvex.lastTime.tv_nsec == 0;
    const int64_t elapsed = msBetween(duvex.lastTime, nowMono);
    if (!neverRan && elapsed >= 0 && elapsed <= AGG_MIN_INTERVAL_MS) {
        ALOGD("troppo presto\n");
        return;
    }
    ATRACE("start");
    duvex.lastTime = nowMono;

    if (!row || boxId >= MAXUPSBOX) {
        ALOGE("Indice dell'armadio non corretto!\n");
        return;
    }
    if (!env.kesp || !env.kesp->mutexKESPData || !env.cfg || !env.debounce) {
        ALOGE("Dati dell'armadio %c non disponibili!\n", char('A' + boxId));
        return;
    }
    KESPMgr &kesp = *env.kesp;
    AggregateDebounce &db = *env.debounce;
    const char boxLetter = char('A' + boxId);

    {
        const virtualNode_t *m0 = row[0].pVN;
#if defined(TVK_MODULAR)
        const int statusCode = 0;
#else
        const int statusCode = m0 ? int(m0->desc.module.data.statusCode) : 0;
#endif
        ALOGD("boxId:%u timestamp: %d Uin[0]:%d Uin[1]:%d Uin[2]:%d Vbatp:%d Vbatn:%d StatusCode:%d\n",
              unsigned(boxId), m0 ? int(m0->identification.timestamp) : 0, m0 ? int(m0->desc.module.data.Uin[0]) : 0,
              m0 ? int(m0->desc.module.data.Uin[1]) : 0, m0 ? int(m0->desc.module.data.Uin[2]) : 0,
              m0 ? int(m0->desc.module.data.Vbatp) : 0, m0 ? int(m0->desc.module.data.Vbatn) : 0, statusCode);
    }

    // 2. An active slot must have its node.
    for (int m = 0; m < MAXUPSxUPSBOX; ++m) {
        if (row[m].commStatus.active && !row[m].pVN) {
            ALOGE("Grave errore, puntatore ai dati del modulo %d non inizializzato!!\n", m + 1);
#if defined(TVK_MODULAR)
            ALOGE("ESCO\n");
#endif
            return;
        }
    }

    // What the module slots were, and what has to be done once the locks are gone.
    bool active[MAXUPSxUPSBOX] = {};
    bool good[MAXUPSxUPSBOX] = {};
    bool refreshClock[MAXUPSxUPSBOX] = {};

    {
        // 3. Cabinet data of the cabinet-bus thread (the own cabinet node among them).
        myMutexLocker kLock(kesp.mutexKESPData);
        upsBoxQueriesData_t &box = kesp.upsBox[boxId];
        virtualNode_t *cab = box.pVN;
        if (!cab)
            return;
        box.MCUcommStatus.isGood = true;
        const virtualNode_t *sysNode = kesp.sys;
        const time_t now = sysclock::now();

        // 4. Working record.
        descUpsBox_t w;
        memset(&w, 0, sizeof w);
        InitUpsBox_UpsStatus(&w.Ups);
        InitUpsBoxSubSystem(&w.subSystem, env.cfg->Ups[boxId]);
        w.boxStatus = cab->desc.upsBox.boxStatus;
        w.externalSwitchStatus = cab->desc.upsBox.externalSwitchStatus;
        w.mcuStatus = cab->desc.upsBox.mcuStatus;
        w.MCUMUStatus = cab->desc.upsBox.MCUMUStatus;
        w.Batteries = cab->desc.upsBox.Batteries;
        Accum a;

        // 5. The module slots. The module nodes are read (and, for a silent module,
        // reset) as one snapshot under the module data mutex, which the readers of
        // other threads take too.
        descModule_t snap[MAXUPSxUPSBOX];
        identification_t snapId[MAXUPSxUPSBOX];
        nominal_t snapNom[MAXUPSxUPSBOX];
        bool haveNode[MAXUPSxUPSBOX] = {};
        memset(snap, 0, sizeof snap);
        memset(snapId, 0, sizeof snapId);
        memset(snapNom, 0, sizeof snapNom);
        {
            myMutexLocker dLock(duvex.mutexDuvexData);
            for (int m = 0; m < MAXUPSxUPSBOX; ++m) {
                virtualNode_t *M = row[m].pVN;
                active[m] = row[m].commStatus.active;
                good[m] = active[m] && row[m].commStatus.isGood;
                if (active[m] && !good[m]) {
                    InitValueUPSStatus(&M->desc.module.data);
#if !defined(TVK_MODULAR)
                    InitValueUPSStatusDetail(&M->desc.module.statusDetail, &M->desc.module.data);
#endif
                    InitValueIdentification(&M->identification, IdentSource::ModuleBus);
                    memset(&M->nominal, 0, sizeof M->nominal);
                    M->desc.module.data.commError = 1;
                    M->desc.module.data.Anomaly = 1;
                } else if (good[m]) {
                    M->desc.module.data.commError = 0;
                }
                haveNode[m] = M != nullptr;
                if (M) {
                    snap[m] = M->desc.module;
                    snapId[m] = M->identification;
                    snapNom[m] = M->nominal;
                }
            }
        }
        for (int m = 0; m < MAXUPSxUPSBOX; ++m) {
            if (active[m] && !good[m]) {
                w.Ups.commError = 1;
                w.Ups.Anomaly = 1;
            } else if (good[m]) {
                takeModule(snap[m], sysNode, w, a);
                refreshClock[m] = snap[m].data.Clock_Update;
            }
        }

        dataObject_t &c = w.Ups;
        // The cabinet switches follow the modules that answer; with none they stay as
        // they were.
        if (a.taken > 0) {
            w.SWIN = a.swin;
            w.SWBYP = a.swbyp;
            w.SWBATT = a.swbatt;
        }

        // 7. Agreement between the modules, and with the system record.
        const bool someLock = a.lockCnt > 0;
        const bool allLock = a.taken > 0 && a.lockCnt == a.taken;
        if (allLock)
            c.Lock = 1;
        if (db.anomalyLock.step(someLock && !allLock, now))
            c.Fault = 1;
        if (db.anomalyLock.justConfirmed())
            ALOGW("Non tutti i moduli sono in Lock!!\n");

        const bool someBypassBad = a.bypassBadCnt > 0;
        const bool allBypassBad = a.taken > 0 && a.bypassBadCnt == a.taken;
        if (allBypassBad)
            c.Bypass_Bad = 1;
        if (db.anomalyBypassBad.step(someBypassBad && !allBypassBad, now)) {
            c.bypassBadAnomaly = 1;
            c.Fault = 1;
        }
        if (db.anomalyBypassBad.justConfirmed())
            ALOGW("Non tutti i moduli sono in BypassBad!!\n");

        if (db.anomalyOutputPowered.step(a.outputDisagree, now)) {
            c.Anomaly = 1;
            c.outputPoweredAnomaly = 1;
        } else {
            c.outputPoweredAnomaly = 0;
        }
        if (db.anomalyOutputPowered.justConfirmed())
            ALOGW("Lo stato Output_Powered non e' coerente!!\n");
        ALOGD("myBox Bypass->%s\n", c.Bypass_Bad ? "BAD" : "GOOD");

        // 8. Battery working.
        c.Battery_Working = a.battWorking;
        db.anomalyBatteryWorking.reset();
        c.batteryWorkingAnomaly = 0;
        if (c.Battery_Working) {
            c.Line_Present = 0;
            c.Battery_Low = a.battLow;
        } else {
            c.Battery_Low = 0;
        }

        // 9. Another firmware build on the cabinet bus.
        if (env.cntForSameBuild >= 3) {
            c.Anomaly = 1;
            c.differentFirmwareAnomaly = 1;
        } else {
            c.differentFirmwareAnomaly = 0;
        }

        // 10.
        if (c.Warning || c.Anomaly || c.Fault || c.Lock)
            c.UPS_OK = 0;

        // 11. Averages and sums.
        a.vin.store<uint16>(c.Vin);
        a.uin.store<uint16>(c.Uin);
        a.vbyp.store<uint16>(c.Vbyp);
        a.ubyp.store<uint16>(c.Ubyp);
        a.vout.store<uint16>(c.Vout);
        a.uout.store<uint16>(c.Uout);
        a.load.store<int16>(c.Load);
        a.va.store<int32>(c.Va);
        a.watt.store<int32>(c.Watt);
        a.iin.store<uint32>(c.Iin);
        a.iout.store<int32>(c.Iout);
        a.ioutPk.store<int32>(c.Iout_pk);
        c.Ibatp = clampTo<int32>(a.ibatp);
        c.Ibatn = clampTo<int32>(a.ibatn);
#if !defined(TVK_MODULAR)
        for (int i = 0; i < 2; ++i)
            if (a.dcTaken[i])
                c.DCBusVolt[i] = a.dc[i];
#endif

        // 12. Autonomy and charge.
        if (a.autMin == 0xFFFF && !a.vbatpTaken) {
            c.Aut_time = 0;
            if (c.Q1)
                ALOGE("Nessun modulo acceso ha comunicato l'autonomia\n");
        } else {
            c.Aut_time = a.autMin;
        }
        c.Carica_adj = a.chargeMin == 0xFF ? 0 : a.chargeMin;
        if (a.vbatpTaken)
            c.Vbatp = a.vbatp;
        if (a.vbatnTaken)
            c.Vbatn = a.vbatn;
#if defined(TVK_MODULAR)
        if (a.vbatRSTaken)
            c.VbatRS = a.vbatRS;
#endif
        if (a.frqInTaken)
            c.Frq_in = a.frqIn;
        if (a.frqBypTaken)
            c.Frq_byp = a.frqByp;
        if (a.frqOutTaken)
            c.Frq_out = a.frqOut;
        ALOGD("myBoxByp Bypass->%s\n", c.Bypass_Bad ? "BAD" : "GOOD");

        // 13. Cabinet flags.
        c.Alarm_Temperature = box.extendedBoardBox.Status.Cabinet_Overtemp ? 1 : 0;
        if (!c.SWOUT)
            c.Anomaly = 1;
        if (c.SWMB)
            c.Warning = 1;

        // 14. Timestamps.
        bool anyGood = false;
        for (int m = 0; m < MAXUPSxUPSBOX; ++m)
            anyGood = anyGood || good[m];
        w.timestamp = mytime_t(now);
        if (anyGood) {
            c.timestamp = mytime_t(now);
        } else {
            c.timestamp = 0;
            ALOGW("Nessun modulo e' in buono stato di comunicazione\n");
        }
        ALOGD("armadio(%c): timestamp:%d\n", boxLetter, int(w.timestamp));

        // 15. Module descriptors.
        for (int m = 0; m < MAXUPSxUPSBOX; ++m) {
            elemDesc_t e;
            e.desc = 0;
            if (!active[m]) {
                e.alarmSt = uint8(noneAlarm);
#if !defined(TVK_MODULAR)
                e.elemSt = uint8(NOT_PRESENT);
#endif
            } else if (!good[m]) {
                e.alarmSt = uint8(commLostAlarm);
#if !defined(TVK_MODULAR)
                e.elemSt = uint8(NormalMode);
#endif
            } else {
                e = goodModuleDesc(snap[m].data, boxId, m);
            }
            w.subSystem.UPSShelter[m] = e;
#if defined(TVK_MODULAR)
            ALOGD("Armadio 0x%02X: modulo %d: Alarm %d size:%d size-Subsystem:%d\n",
                  unsigned(FIRSTUPSBOX + boxId - 0xE0), m + 1, int(e.alarmSt), int(sizeof(elemDesc_t)),
                  int(sizeof(upsSubSystem_t)));
#else
            ALOGD("Armadio 0x%02X: modulo %d: Alarm %d Stato %d (%d) size:%d size-Subsystem:%d\n",
                  unsigned(FIRSTUPSBOX + boxId - 0xE0), m + 1, int(e.alarmSt), int(e.elemSt),
                  good[m] ? int(snap[m].data.statusCode) : 0, int(sizeof(elemDesc_t)), int(sizeof(upsSubSystem_t)));
#endif
            logDescBits(e);
        }

        // 16. The plant's master module.
        int masterSlot = -1;
        for (int m = 0; m < MAXUPSxUPSBOX && masterSlot < 0; ++m)
            if (good[m] && snap[m].data.isMaster)
                masterSlot = m;
        if (masterSlot >= 0) {
            const uint8 idu = uint8(8 * boxId + 1 + masterSlot);
            ALOGD("in questo armadio c'e' il MASTER! idu:%d\n", int(idu));
            box.extendedBoardBox.idu = idu;
        } else {
            myMutexLocker dLock(duvex.mutexDuvexData);
            for (int m = 0; m < MAXUPSxUPSBOX; ++m)
                if (row[m].pVN)
                    row[m].pVN->desc.module.data.isMaster = 0;
            box.extendedBoardBox.idu = 0xFF;
        }

        // 17. Publish (readers in other processes see the whole cabinet record or none).
        TreePublish pub(kesp.sys);
        cab->desc.upsBox = w;
        cab->nominal.timestamp = mytime_t(now);
        cab->nominal.VA = good[0] ? snapNom[0].VA : 0;
        cab->nominal.W = good[0] ? snapNom[0].W : 0;
        cab->nominal.BatteryV = 0;
        cab->nominal.BatteryAh = 0;
        cab->nominal.Vout = 0;
        cab->nominal.FreqOut = 0;
        if (haveNode[0])
            cab->identification = snapId[0];
        else
            InitValueIdentification(&cab->identification, IdentSource::ModuleBus);
        ALOGD("timestamp: %d \n", int(cab->desc.upsBox.timestamp));
    }

    // A module that asks for the time gets it; this is a bus transaction, so it runs
    // only now that the cabinet data are free again.
    for (int m = 0; m < MAXUPSxUPSBOX; ++m)
        if (refreshClock[m])
            duvex.RefreshClockModule(uint8('1' + m));

    // 18. Panel commands of the modules.
    for (int b = 0; b < MAXUPSBOX; ++b) {
        for (int m = 0; m < MAXUPSxUPSBOX_DUVEX; ++m) {
            virtualNode_t *node = duvex.ModulesData[b][m].pVN;
            if (node)
                panelCommand(duvex, node, char('A' + b), uint8('1' + m));
        }
    }
    ATRACE("stop");
}

void DUVEXMgr::AggregateUPS(ModuleQueriesData_t *row, uint8 boxId)
{
    SystemMgr *sys = pSysMgr;
    AggregateEnv env;
    env.kesp = sys ? sys->pThKESP : nullptr;
    env.cfg = sys ? &sys->Cfg : nullptr;
    env.cntForSameBuild = sys ? uint8(sys->cntForSameBuild) : uint8(0);
    env.debounce = &g_debounce;
    AggregateUPSWith(*this, row, boxId, env);
}
