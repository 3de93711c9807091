// System aggregation: the cabinet records into the system record.
//
// The pass reads every cabinet node and writes the system node under the cabinet
// data mutex, the lock under which the module-bus thread publishes the own cabinet
// record and this thread stores the records it hears: no pass ever reads a
// half-written cabinet record, in any build. The computation itself runs on copies
// (AggregateBoxWith); everything that may wait (the status document on disk, the
// panel commands, which need a bus) runs after the mutex is released, and the panel
// commands run on a worker thread, never on the cabinet-bus thread.
#include "KESPAggregate.h"

#include "DUVEX.h"
#include "Globals.h"
#include "SysClock.h"
#include "SystemMgr.h"
#include "ThreadDUVEX.h"
#include "ThreadKESP.h"
#include "TreePublish.h"
#include "VirtualUPSInit.h"

#include <QThread>

#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

const char *const FN = "AggregateBox";

template <typename T> T clampTo(int64 v)
{
    if (v < int64(std::numeric_limits<T>::min()))
        return std::numeric_limits<T>::min();
    if (v > int64(std::numeric_limits<T>::max()))
        return std::numeric_limits<T>::max();
    return T(v);
}

// Per-phase arrays of the packed records may be unaligned: read and write byte-wise.
template <typename T> void putPhase(void *arr, int p, T v)
{
    memcpy(static_cast<char *>(arr) + size_t(p) * sizeof(T), &v, sizeof v);
}
template <typename T> T getPhase(const void *arr, int p)
{
    T v;
    memcpy(&v, static_cast<const char *>(arr) + size_t(p) * sizeof(T), sizeof v);
    return v;
}

struct PhaseAvg {
    int64 sum[3] = {0, 0, 0};
    int cnt[3] = {0, 0, 0};
    void add(int p, int64 v)
    {
        sum[p] += v;
        cnt[p]++;
    }
    template <typename T> void store(void *out) const
    {
        for (int p = 0; p < 3; ++p)
            if (cnt[p])
                putPhase<T>(out, p, clampTo<T>(sum[p] / cnt[p]));
    }
};

struct SumCnt {
    int64 sum = 0;
    int cnt = 0;
    void add(int64 v)
    {
        sum += v;
        cnt++;
    }
};

// What the first pass gathers from the counted cabinets.
struct Accum {
    int counted = 0;
    int lockCnt = 0, bypassBadCnt = 0, battLowCnt = 0;
    int outPoweredCnt = 0, outDisagreeCnt = 0, battWorkCnt = 0;
    int64 vaNom = 0, wNom = 0;
    PhaseAvg load, vin, vbyp, vout, uin, ubyp, uout;
    int64 va[3] = {0, 0, 0}, watt[3] = {0, 0, 0}, iin[3] = {0, 0, 0}, iout[3] = {0, 0, 0}, ioutPk[3] = {0, 0, 0};
    uint16 autMin = 0xFFFF;
    uint8 chargeMin = 0xFF;
    bool autTaken = false;
    bool vbatpTaken = false, vbatnTaken = false;
    uint16 vbatpMin = 0xFFFF, vbatnMin = 0xFFFF;
    int64 ibatp = 0, ibatn = 0;
    SumCnt frqIn, frqByp, frqOut;
};

void takeCabinet(const SysAggCabinet &c, int i, const descSys_t &sysNow, descSys_t &w, Accum &a)
{
    const descUpsBox_t &r = c.rec;
    const dataObject_t &u = r.Ups;
    dataObject_t &s = w.Ups;
    a.counted++;

    a.vaNom += c.nominal.VA;
    a.wNom += c.nominal.W;
    KLOGD(FN, "IDX: %d power: %d\n", i, int(c.nominal.W));

    s.Warning |= u.Warning;
    s.Anomaly |= u.Anomaly;
    s.Fault |= u.Fault;
    s.Alarm_Temperature |= u.Alarm_Temperature;
    s.Alarm_Overload |= u.Alarm_Overload;
    KLOGD(FN, "pSys->Ups.Anomaly = %d\n", int(s.Anomaly));
    if (u.Lock)
        a.lockCnt++;
    if (u.Bypass_Bad)
        a.bypassBadCnt++;
    if (u.Battery_Low)
        a.battLowCnt++;

    s.Output_Powered |= u.Output_Powered;
    s.On_Bypass |= u.On_Bypass;
    s.Line_Present |= u.Line_Present;
    s.Shutdown_Active |= u.Shutdown_Active;
    s.Shutdown_Imminent |= u.Shutdown_Imminent;
    if (u.Output_Powered)
        a.outPoweredCnt++;
    if (bool(u.Output_Powered) != bool(sysNow.Ups.Output_Powered))
        a.outDisagreeCnt++;
    if (u.Battery_Working)
        a.battWorkCnt++;

    s.extStatus = uint8(s.extStatus | (u.extStatus & 0x7F));
    if (!u.UPS_OK)
        s.UPS_OK = 0;
    s.switchStatus = uint8((s.switchStatus | u.switchStatus) & 0x7F);
    s.PMStatus = uint16(s.PMStatus | (u.PMStatus & 0x00FF));
    s.bitCmdUnsupported |= u.bitCmdUnsupported;
    w.commErrorMCU |= r.commErrorMCU;
    w.commErrorMU |= r.commErrorMU;
#if !defined(TVK_MODULAR)
    for (size_t b = 0; b < sizeof s.FlagExt.states; ++b)
        s.FlagExt.states[b] = char(s.FlagExt.states[b] | u.FlagExt.states[b]);
#endif
    if (u.maxLoad > s.maxLoad)
        s.maxLoad = u.maxLoad;

    for (int p = 0; p < 3; ++p) {
        if (u.Output_Powered)
            a.load.add(p, getPhase<int16>(u.Load, p));
        a.va[p] += getPhase<int32>(u.Va, p);
        a.watt[p] += getPhase<int32>(u.Watt, p);
        a.iin[p] += getPhase<uint32>(u.Iin, p);
        a.iout[p] += getPhase<int32>(u.Iout, p);
        a.ioutPk[p] += getPhase<int32>(u.Iout_pk, p);
        const uint16 vin = getPhase<uint16>(u.Vin, p), vbyp = getPhase<uint16>(u.Vbyp, p),
                     vout = getPhase<uint16>(u.Vout, p);
        const uint16 uin = getPhase<uint16>(u.Uin, p), ubyp = getPhase<uint16>(u.Ubyp, p),
                     uout = getPhase<uint16>(u.Uout, p);
        if (vin >= profile::LN_VOLTTH)
            a.vin.add(p, vin);
        if (vbyp >= profile::LN_VOLTTH)
            a.vbyp.add(p, vbyp);
        if (vout >= profile::LN_VOLTTH)
            a.vout.add(p, vout);
        if (uin >= profile::LL_VOLTTH)
            a.uin.add(p, uin);
        if (ubyp >= profile::LL_VOLTTH)
            a.ubyp.add(p, ubyp);
        if (uout >= profile::LL_VOLTTH)
            a.uout.add(p, uout);
    }

    if (u.Vbatp > SYSAGG_VBATTH) {
        if (u.Aut_time < a.autMin)
            a.autMin = u.Aut_time;
        a.autTaken = true;
        KLOGD(FN, "box:%c Aut_time:%d  MINIMO:%d\n", char('A' + i), int(u.Aut_time), int(a.autMin));
        if (u.Carica_adj < a.chargeMin)
            a.chargeMin = u.Carica_adj;
    }
    if (u.Vbatp >= SYSAGG_VBATTH) {
        a.vbatpTaken = true;
        if (u.Vbatp < a.vbatpMin)
            a.vbatpMin = u.Vbatp;
    }
    if (u.Vbatn >= SYSAGG_VBATTH) {
        a.vbatnTaken = true;
        if (u.Vbatn < a.vbatnMin)
            a.vbatnMin = u.Vbatn;
    }
    a.ibatp += u.Ibatp;
    a.ibatn += u.Ibatn;

    if (u.Frq_in >= SYSAGG_FREQTH)
        a.frqIn.add(u.Frq_in);
    if (u.Frq_byp >= SYSAGG_FREQTH)
        a.frqByp.add(u.Frq_byp);
    if (u.Frq_out >= SYSAGG_FREQTH)
        a.frqOut.add(u.Frq_out);

    if (u.Temp0 > s.Temp0)
        s.Temp0 = u.Temp0;
#if defined(TVK_MODULAR)
    if (u.Temp1 > s.Temp1)
        s.Temp1 = u.Temp1;
    if (u.Temp2 > s.Temp2)
        s.Temp2 = u.Temp2;
    if (u.Temp3 > s.Temp3)
        s.Temp3 = u.Temp3;
    if (u.Temp4 > s.Temp4)
        s.Temp4 = u.Temp4;
    if (u.Temp5 > s.Temp5)
        s.Temp5 = u.Temp5;
    if (u.Temp6 > s.Temp6)
        s.Temp6 = u.Temp6;
#else
    for (int t = 0; t < 4; ++t) {
        const uint16 v = getPhase<uint16>(u.powerTemp, t);
        if (v > getPhase<uint16>(s.powerTemp, t))
            putPhase<uint16>(s.powerTemp, t, v);
    }
    for (int t = 0; t < 2; ++t) {
        const uint16 v = getPhase<uint16>(u.batteryTemp, t);
        if (v > getPhase<uint16>(s.batteryTemp, t))
            putPhase<uint16>(s.batteryTemp, t, v);
    }
#endif
}

// Largest of three sums, as a magnitude.
int64 largestAbs(const int64 *v)
{
    int64 m = v[0];
    for (int p = 1; p < 3; ++p)
        if (v[p] > m)
            m = v[p];
    return m < 0 ? -m : m;
}

} // namespace

void AggregateBoxWith(SysAggInput &in, SysAggDebounce &db, SysAggResult &out)
{
    const SysCfgMgr &cm = *in.cfg;
    const PlantCfg &cfg = cm.Cfg;
    const time_t now = in.now;

    // 2. The working record. Its start values come from a copy of the configuration
    // holder, whose counters (moduleNotOnLoad = numUPS, moduleUsed = 0) start the count.
    SysCfgMgr local(cm);
    descSys_t w;
    InitSysStatus(&w, local);
    w.subSystem = in.sysNow.subSystem;
    w.numBypassOff = in.sysNow.numBypassOff;
    int notOnLoad = local.moduleNotOnLoad;
    int used = local.moduleUsed;
    KLOGD(FN, "myMCUid: %d", int(in.ownIdx));

    // 3. First pass: the counted cabinets.
    Accum a;
    for (int i = 0; i < MAXUPSBOX; ++i) {
        SysAggCabinet &c = in.cab[i];
        if (!c.active)
            continue;
        descUpsBox_t &r = c.rec;
        if (!c.mcuGood) {
            r.commErrorMCU = 1;
            r.AnomalyMCU = 1;
            w.commErrorMCU = 1;
            w.AnomalyMCU = 1;
            continue;
        }
        r.commErrorMCU = 0;
        // A record that stopped arriving counts as missing, on a slave card as well
        // (a slave never polls, so its link state of the other cabinets stays good).
        const mytime_t ts = r.Ups.timestamp;
        const bool expired = ts != 0 && int64(now) - int64(ts) > profile::BSPCKEXPIRE;
        if (ts == 0 || expired) {
            KLOGD(FN, "Set anomaly 8\n");
            w.Ups.Anomaly = 1;
            w.Ups.commError = 1;
            continue;
        }
        takeCabinet(c, i, in.sysNow, w, a);
    }

    // 4. Agreement rules over the counted cabinets.
    dataObject_t &s = w.Ups;
    const int n = a.counted;
    {
        const bool all = n > 0 && a.lockCnt == n;
        if (all)
            s.Lock = 1;
        if (db.lock.step(a.lockCnt > 0 && !all, now))
            s.Fault = 1;
        if (db.lock.justConfirmed())
            KLOGW(FN, "Non tutti gli armadi sono in Lock!!\n");
    }
    {
        const bool all = n > 0 && a.bypassBadCnt == n;
        s.Bypass_Bad = all ? 1 : 0;
        if (db.bypassBad.step(a.bypassBadCnt > 0 && !all, now)) {
            s.Fault = 1;
            s.bypassBadAnomaly = 1;
        }
        if (db.bypassBad.justConfirmed())
            KLOGW(FN, "Non tutti gli armadi sono in BypassBad!!\n");
    }
    {
        const bool some = a.battWorkCnt > 0 && a.battWorkCnt < n;
        if (db.batteryWorking.step(some, now)) {
            s.batteryWorkingAnomaly = 1;
            s.Anomaly = 1;
        }
        if (db.batteryWorking.justConfirmed())
            KLOGW(FN, "Non tutti i moduli funzionano da batteria!!\n");
    }
    {
        if (db.outputPowered.step(a.outDisagreeCnt > 0, now)) {
            s.Anomaly = 1;
            s.outputPoweredAnomaly = 1;
        }
        if (db.outputPowered.justConfirmed())
            KLOGW(FN, "Lo stato Output_Powered non e' coerente!!\n");
    }
    if (2 * a.battWorkCnt > a.outPoweredCnt) {
        s.Battery_Working = 1;
        s.Line_Present = 0;
    }
    if (s.Battery_Working) {
        if (n - a.battLowCnt <= a.battLowCnt)
            s.Battery_Low = 1;
        if (a.battLowCnt > 0 && a.battLowCnt < n)
            s.Warning = 1;
    } else {
        s.Battery_Low = 0;
    }

    // 5. Per-phase results.
    for (int p = 0; p < 3; ++p) {
        putPhase<int32>(s.Watt, p, clampTo<int32>(a.watt[p] < 0 ? 0 : a.watt[p]));
        putPhase<int32>(s.Va, p, clampTo<int32>(a.va[p] < 0 ? 0 : a.va[p]));
        putPhase<int32>(s.Iout_pk, p, clampTo<int32>(a.ioutPk[p] < 0 ? 0 : a.ioutPk[p]));
        putPhase<uint32>(s.Iin, p, clampTo<uint32>(a.iin[p]));
        putPhase<int32>(s.Iout, p, clampTo<int32>(a.iout[p]));
    }
    a.vin.store<uint16>(s.Vin);
    a.uin.store<uint16>(s.Uin);
    a.vbyp.store<uint16>(s.Vbyp);
    a.ubyp.store<uint16>(s.Ubyp);
    a.vout.store<uint16>(s.Vout);
    a.uout.store<uint16>(s.Uout);
    if (!a.autTaken && !a.vbatpTaken) {
        s.Aut_time = 0;
        if (s.Q1)
            KLOGE(FN, "Nessun armadio acceso ha comunicato l'autonomia\n");
    } else {
        s.Aut_time = a.autMin;
    }
    s.Carica_adj = a.chargeMin == 0xFF ? 0 : a.chargeMin;
    s.Vbatp = a.vbatpTaken ? a.vbatpMin : 0;
    s.Vbatn = a.vbatnTaken ? a.vbatnMin : 0;
    s.Ibatp = clampTo<int32>(a.ibatp);
    s.Ibatn = clampTo<int32>(a.ibatn);
    if (a.frqIn.cnt)
        s.Frq_in = uint16(a.frqIn.sum / a.frqIn.cnt);
    if (a.frqByp.cnt)
        s.Frq_byp = uint16(a.frqByp.sum / a.frqByp.cnt);
    if (a.frqOut.cnt)
        s.Frq_out = uint16(a.frqOut.sum / a.frqOut.cnt);

    // 6. Second pass: board states and the switches.
    int m = 0, swinOpen = 0, swbypOpen = 0, swbattExtOpen = 0, swmbClosed = 0, swoutOpen = 0;
    SumCnt barsPos, barsNeg;
    for (int i = 0; i < MAXUPSBOX; ++i) {
        SysAggCabinet &c = in.cab[i];
        if (!c.active)
            continue;
        descUpsBox_t &r = c.rec;
        if (!c.mcuGood) {
            r.commErrorMCU = 1;
            r.Anomaly = 1;
            w.Anomaly = 1;
            w.commErrorMCU = 1;
            continue;
        }
        if (c.configUpdate) {
            KLOGN(FN, "Ho ricevuto la richiesta di configurazione da MU_%c\n", char('A' + i));
            if (in.isMaster)
                out.sendSI[i] = true;
            continue;
        }
        m++;
        r.commErrorMU = 0;
        const dataObject_t &u = r.Ups;
        if (!u.SWOUT) {
            s.SWOUT = 0;
            swoutOpen++;
        }
        if (u.SWMB) {
            s.SWMB = 1;
            swmbClosed++;
        }
        const uint8 swbatt = w.SWBATT;
        w.boxStatus = uint8(w.boxStatus | r.boxStatus);
        w.SWBATT = swbatt;
        const uint8 epo = w.EPO;
        w.externalSwitchStatus = uint8(w.externalSwitchStatus | (r.externalSwitchStatus & 0x7F));
        w.EPO = epo && r.EPO;
        if (!r.SWIN)
            swinOpen++;
        if (!r.SWBYP)
            swbypOpen++;
        if (!r.SWBATT_EXT)
            swbattExtOpen++;
        w.AnomalyMCU |= r.AnomalyMCU;
        if (r.Batteries.barsPosV >= SYSAGG_VBATTH)
            barsPos.add(r.Batteries.barsPosV);
        if (r.Batteries.barsNegV >= SYSAGG_VBATTH)
            barsNeg.add(r.Batteries.barsNegV);
    }

    // 7. Switch rules over the m cabinets whose switches count.
    if (m == 0)
        w.EPO = 0;
    if (swinOpen == 0 && m > 0) {
        s.SWINCabinetAnomaly = 0;
    } else if (swinOpen == m) {
        KLOGD(FN, "Set anomaly 3\n");
        s.Anomaly = 1;
        s.SWINCabinetAnomaly = 0;
    } else {
        KLOGD(FN, "Set anomaly 4\n");
        s.Anomaly = 1;
        s.SWINCabinetAnomaly = 1;
    }
    s.SWBYPCabinetAnomaly = (swbypOpen > 0 && swbypOpen < m) ? 1 : 0;
    if (swbattExtOpen > 0 && swbattExtOpen < m) {
        w.Anomaly = 1;
        s.SWBATT_EXTCabinetAnomaly = 1;
    } else {
        s.SWBATT_EXTCabinetAnomaly = 0;
    }
    if (swmbClosed == m) {   // none of none, or all
        s.Warning = 1;
        s.SWMBCabinetAnomaly = 0;
    } else if (swmbClosed == 0) {
        s.SWMBCabinetAnomaly = 0;
    } else {
        KLOGD(FN, "Set anomaly 2\n");
        s.Warning = 1;
        s.Anomaly = 1;
        s.SWMBCabinetAnomaly = 1;
        if (in.sysNow.Ups.SWMB)
            w.SWMBOpening = 1;
        else
            w.SWMBClosing = 1;
    }
    if (swoutOpen > 0 && swoutOpen < m) {
        KLOGD(FN, "Set anomaly 1 boxUpsSWOUTOpened: %d actvElem: %d\n", swoutOpen, m);
        s.Anomaly = 1;
        s.SWOUTCabinetAnomaly = 1;
    } else {
        s.SWOUTCabinetAnomaly = 0;
    }
    if (barsPos.cnt)
        w.Batteries.barsPosV = int16(barsPos.sum / barsPos.cnt);
    if (barsNeg.cnt)
        w.Batteries.barsNegV = int16(barsNeg.sum / barsNeg.cnt);

    // 8. Currency.
    bool current = false;
    for (int i = 0; i < MAXUPSBOX; ++i) {
        const SysAggCabinet &c = in.cab[i];
        if (!c.active)
            continue;
        if (!c.mcuGood) {
            KLOGD(FN, "box:%c: NON COMUNICANTE\n", char('A' + i));
            continue;
        }
        const mytime_t ts = c.rec.Ups.timestamp;
        KLOGD(FN, "box:%c:Ups.timestamp %d Batteries.timestamp %d\n", char('A' + i), int(ts),
              int(c.rec.Batteries.timestamp));
        if (ts != 0 && int64(now) - int64(ts) < SYSAGG_CURRENT_S)
            current = true;
    }
    if (!current) {
        KLOGD(FN, "UPSs Not Sync\n");
        s.timestamp = 0;
    } else {
        s.timestamp = mytime_t(now);
    }

    // 9. Modules off load, and the load per phase of the cabinets with output powered.
    if (s.Output_Powered) {
        notOnLoad = 0;
        for (int i = 0; i < MAXUPSBOX; ++i) {
            if (!cfg.Ups[i].present)
                continue;
            const descUpsBox_t &r = in.cab[i].rec;
            const uint8 al = r.subSystem.UPSShelter[0].alarmSt;
            if (al == commLostAlarm || al == lockAlarm || !r.Ups.Output_Powered)
                notOnLoad++;
        }
    } else {
        notOnLoad = 0;
    }
    KLOGD(FN, "ModuleNotOnLoad:%d\n", notOnLoad);
    a.load.store<int16>(s.Load);

    // 10. Modules in use. A module rating below 3 W gives no per-phase rating
    // (WModule / 3 = 0): it is treated as no rating at all.
    const int numUPS = cm.numUPS;
    int available = numUPS - notOnLoad;
    if (available < 0)
        available = 0;
    const int64 perPhase = int64(cfg.WModule) / 3;
    if (!s.Q1) {
        used = 0;
    } else if (perPhase == 0) {
        used = 0;
    } else {
        const int64 P = largestAbs(a.watt), S = largestAbs(a.va);
        const int64 need = ((P > S ? P : S) + perPhase - 1) / perPhase;
        used = int(need < available ? need : available);
    }
    if (s.Output_Powered && used == 0)
        used = 1;

    // 11. Redundancy (only with a redundancy requirement).
    if (numUPS != 0 && cfg.redundantUPS != 0) {
        const int red = cfg.redundantUPS;
        const bool holds = notOnLoad < red && used < numUPS - notOnLoad;
        w.LostRedundancy = db.lostRed.step(!holds, now) ? 1 : 0;
        if (db.lostRed.justConfirmed())
            KLOGW(FN, "Lost Redundancy Detected\n");
        if (w.LostRedundancy) {
            w.LowRedundancy = 0;
        } else {
            db.lowRed.step(notOnLoad != 0 || used > numUPS - red, now);
            if (db.lowRed.justConfirmed())
                KLOGW(FN, "Low Redundancy Detected\n");
        }
        s.Fault |= w.LostRedundancy;
    }

    // 12.
    if (s.Warning || s.Anomaly || s.Fault || s.Lock)
        s.UPS_OK = 0;

    // 13. System identification: the own cabinet's (its module's) with fixed letters.
    identification_t id = in.ownIdent;
    id.timestamp = mytime_t(now);
    id.Boost_Cfg = Boost_Cfg_e('1');
    id.Buck_Cfg = Buck_Cfg_e('1');
    id.Error_CTRL = Error_CTRL_e('1');
    id.PwrShareCfg = PwrShare_e('0');
    id.BattBenches = BattBenches_e('2');
    id.NBattForBench = '0';
    id.ParallelInfo = ParallelSystem_e('0');
#if !defined(TVK_MODULAR)
    id.TypeMachine = TypeMachine_e('2');
    id.Cover = Cover_e('1');
    id.TypeInput = Input_e('1');
#endif
    memset(id.SWVer_AUX, ' ', sizeof id.SWVer_AUX);
    memset(id.tbdGE, '0', sizeof id.tbdGE);

    // 14. What is published.
    out.sys = w;
    out.ident = id;
    memset(&out.nominal, 0, sizeof out.nominal);
    out.nominal.timestamp = mytime_t(now);
    out.nominal.VA = clampTo<uint32>(a.vaNom);
    out.nominal.W = clampTo<uint32>(a.wNom);
    KLOGD(FN, "power: %ld\n", long(out.nominal.VA));
    KLOGD(FN, "power: %ld\n", long(out.nominal.W));
    out.nominal.BatteryV = SYSAGG_NOMINAL_BATTV;
    out.nominal.BatteryAh = in.ownModuleBatteryAh;
    out.nominal.Vout = uint16(cfg.word7 & 0xFF);
    out.nominal.FreqOut = (cfg.word28 & 0x10) ? 600 : 500;
    out.moduleNotOnLoad = uint8(notOnLoad);
    out.moduleUsed = clampTo<uint8>(used);
}

// ---- Panel commands of the system node ------------------------------------------------

void runSysPanelCmd(const SysPanelCmd &cmd)
{
    SystemMgr *sm = pSysMgr;
    DUVEXMgr *d = sm ? sm->pThDuvex : nullptr;
    if (!d || !d->isRunning())
        return;
    switch (cmd.value) {
    case CMD_SHUTDOWN:
        d->sysShutdown(cmd.delayShut);
        break;
    case CMD_REBOOT:
        d->sysRestore(cmd.delayShut, cmd.delayReboot);
        break;
    case CMD_DELETE:
        d->sysDeleteCmd();
        break;
    case CMD_TESTBATT:
        d->sysBatteryTest("005");
        break;
    default:
        break;
    }
}

SysCmdWorker::SysCmdWorker() : runner_(runSysPanelCmd) {}

SysCmdWorker::~SysCmdWorker() { stop(); }

void SysCmdWorker::setRunner(Runner r)
{
    std::lock_guard<std::mutex> lk(m_);
    runner_ = std::move(r);
}

bool SysCmdWorker::post(const SysPanelCmd &cmd)
{
    {
        std::lock_guard<std::mutex> lk(m_);
        if (stop_)
            return false;
        if (q_.size() >= capacity) {
            KLOGE(FN, "Comando (%d) non accodato: %u comandi gia' in attesa\n", int(cmd.value), unsigned(q_.size()));
            return false;
        }
        q_.push_back(cmd);
        if (!th_.joinable())
            th_ = std::thread(&SysCmdWorker::loop, this);
    }
    cv_.notify_one();
    return true;
}

void SysCmdWorker::drain()
{
    std::unique_lock<std::mutex> lk(m_);
    idleCv_.wait(lk, [this] { return (q_.empty() && !busy_) || !th_.joinable(); });
}

void SysCmdWorker::stop()
{
    {
        std::lock_guard<std::mutex> lk(m_);
        stop_ = true;
        q_.clear();
    }
    cv_.notify_all();
    if (th_.joinable() && th_.get_id() != std::this_thread::get_id())
        th_.join();
    idleCv_.notify_all();
}

void SysCmdWorker::stopWhenFinished(QThread *owner)
{
    if (!owner || hooked_)
        return;
    hooked_ = true;
    QObject::connect(owner, &QThread::finished, owner, [this] { stop(); }, Qt::DirectConnection);
}

void SysCmdWorker::loop()
{
    std::unique_lock<std::mutex> lk(m_);
    for (;;) {
        cv_.wait(lk, [this] { return stop_ || !q_.empty(); });
        if (stop_)
            break;
        SysPanelCmd cmd = q_.front();
        q_.pop_front();
        busy_ = true;
        Runner r = runner_;
        lk.unlock();
        if (r)
            r(cmd);
        lk.lock();
        busy_ = false;
        if (q_.empty())
            idleCv_.notify_all();
    }
    busy_ = false;
    idleCv_.notify_all();
}

// ---- The adapter ------------------------------------------------------------------------

int KESPMgr::queueConfigSI(uint8 boxIdx)
{
    if (boxIdx >= MAXUPSBOX)
        return -1;
    uint8 param[SIDATALEN];
    const uint8 mu = uint8(0x0A + boxIdx);
    setParamSI(param, mu);
    pckStruct q{};
    q.Src = KESPAddr;
    q.Dest = mu;
    q.MainCmd = 'S';
    q.SubCmd = 'I';
    q.pParam = param;
    q.ParamLen = SIDATALEN;
    return AddAsyncQC(q);
}

void KESPMgr::AggregateBox()
{
    SystemMgr *sm = pSysMgr;
    if (!sm)
        return;
    AggregateBoxFor(*sm, sm->pThDuvex);
}

void KESPMgr::AggregateBoxFor(SysCfgMgr &cfgHolder, DUVEXMgr *duvex)
{
    // 1. No tree: nothing to do. At most one pass every 200 ms (monotonic clock).
    if (!sys)
        return;
    const struct timespec nowMono = sysclock::monotonic();
    const int64 elapsedMs =
        int64(nowMono.tv_sec - lastTime.tv_sec) * 1000 + (nowMono.tv_nsec - lastTime.tv_nsec) / 1000000;
    const bool neverRan = lastTime.tv_sec == 0 && lastTime.tv_nsec == 0;
    if (!neverRan && elapsedMs >= 0 && elapsedMs <= SYSAGG_MIN_INTERVAL_MS)
        return;
    lastTime = nowMono;
    KTRACE(FN, "start");

    const uint8 own = uint8(KESPAddr - FIRSTUPSBOX) < MAXUPSBOX ? uint8(KESPAddr - FIRSTUPSBOX) : 0;
    SysAggInput in;
    SysAggResult res;
    VuJsonInput vj;
    bool isMaster;
    {
        myMutexLocker stl(mutexState);
        isMaster = state == Master;
    }
    {
        myMutexLocker lk(mutexKESPData);
        const time_t now = sysclock::now();
        in.now = now;
        in.cfg = &cfgHolder;
        in.ownIdx = own;
        in.isMaster = isMaster;
        in.sysNow = sys->desc.sys;
        for (int i = 0; i < MAXUPSBOX; ++i) {
            const upsBoxQueriesData_t &e = upsBox[i];
            SysAggCabinet &c = in.cab[i];
            c.hasNode = e.pVN != nullptr;
            c.active = e.MCUcommStatus.active && c.hasNode;
            c.mcuGood = e.MCUcommStatus.isGood;
            c.errorPck = e.MCUcommStatus.errorPck;
            c.configUpdate = e.extendedBoardBox.Status.Config_Update;
            if (e.pVN) {
                c.rec = e.pVN->desc.upsBox;
                c.nominal = e.pVN->nominal;
            }
        }
        if (upsBox[own].pVN) {
            in.ownIdent = upsBox[own].pVN->identification;
            sys->identification = in.ownIdent;
        } else {
            InitValueIdentification(&in.ownIdent, IdentSource::CabinetBus);
        }
        if (duvex && duvex->mutexDuvexData) {
            myMutexLocker dl(duvex->mutexDuvexData);
            const virtualNode_t *mod = duvex->ModulesData[own][0].pVN;
            if (mod)
                in.ownModuleBatteryAh = mod->nominal.BatteryAh;
        }

        AggregateBoxWith(in, sysAggDebounce, res);

        // Publish: the system record, its identification and nominal record, the
        // communication flags of the cabinet nodes, the system manager's counters.
        // Readers in other processes see the whole publication or none of it.
        TreePublish pub(sys);
        sys->desc.sys = res.sys;
        sys->identification = res.ident;
        sys->nominal = res.nominal;
        cfgHolder.moduleNotOnLoad = res.moduleNotOnLoad;
        cfgHolder.moduleUsed = res.moduleUsed;

        // 15. The descriptors, on the published record.
        descSys_t published = res.sys;
        UpdateItemsWith(in.cab, published, cfgHolder.Cfg, now);
        sys->desc.sys = published;
        for (int i = 0; i < MAXUPSBOX; ++i) {
            virtualNode_t *n = upsBox[i].pVN;
            if (!n)
                continue;
            n->desc.upsBox.MCUMUStatus = in.cab[i].rec.MCUMUStatus;
            n->desc.upsBox.boxStatus = in.cab[i].rec.boxStatus;
            n->desc.upsBox.subSystem = in.cab[i].rec.subSystem;
        }

        vj.ident = res.ident;
        vj.nominal = res.nominal;
        vj.ownIdx = own;
        vj.now = now;
        for (int i = 0; i < MAXUPSBOX; ++i) {
            vj.cabHasNode[i] = in.cab[i].hasNode;
            vj.cabModuleAlarm[i] = in.cab[i].rec.subSystem.UPSShelter[0].alarmSt;
        }
    }

    // Configuration requests of the MU boards (queuing only).
    for (int i = 0; i < MAXUPSBOX; ++i)
        if (res.sendSI[i])
            queueConfigSI(uint8(i));

    // The status document, from the working record.
    descSys_t w = res.sys;
    const std::string doc = BuildVuJson(w, vj);
    vuJsonFile.write(doc, jsonPathTMP, jsonPath, vj.now);

    // 16. A pending panel command of the system node. Other processes write the byte
    // at any time: read it once and clear it before acting, so that a command written
    // meanwhile is kept for the next pass. The command itself runs on the worker.
    volatile uint8 *pValue = reinterpret_cast<volatile uint8 *>(&sys->panel.value);
    const uint8 value = *pValue;
    if (value != CMD_NONE) {
        SysPanelCmd cmd;
        cmd.value = value;
        cmd.delayShut = sys->panel.delay_shut;
        cmd.delayReboot = sys->panel.delay_reboot;
        *pValue = CMD_NONE;
        sysCmdWorker.stopWhenFinished(this);
        switch (value) {
        case CMD_SHUTDOWN:
        case CMD_DELETE:
        case CMD_TESTBATT:
            sysCmdWorker.post(cmd);
            break;
        case CMD_REBOOT:
            if (!res.sys.Ups.wrongPower)
                sysCmdWorker.post(cmd);
            break;
        case CMD_ZVL_OFF:
        case CMD_ZVL_POWERON:
            KLOGE(FN, "Comando (%d) non supportato!!\n", int(value));
            break;
        default:
            KLOGW(FN, "Valore non previsto (%d)\n", int(value));
            break;
        }
    }
    KTRACE(FN, "stop");
}
