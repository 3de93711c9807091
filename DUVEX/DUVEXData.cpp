// Reply parsing of the module bus (DUVEX_ManageData and the per-command parsers).
//
// A reply is parsed in two steps: first into the module node (under the module
// data lock), collecting what the cabinet record receives; then that part is
// written into the cabinet node (under the cabinet data lock). The two locks are
// never held one inside the other by this unit.
#include "DUVEXData.h"

#include "DUVEX.h"
#include "Globals.h"
#include "Log.h"
#include "Profile.h"
#include "SystemMgr.h"
#include "ThreadDUVEX.h"
#include "ThreadKESP.h"
#include "VirtualUPSTypes.h"
#include "myMutex.h"

#include <cstring>
#include <cwchar>

namespace {

// Lines that belong to the entry point whatever helper writes them. (The unit of this
// file's lines is the codec's, by the table of the log facility.)
#define MLOGE(...) tvk_log(__FILE__, "DUVEX_ManageData", LogLevel::Err, __VA_ARGS__)
#define MLOGW(...) tvk_log(__FILE__, "DUVEX_ManageData", LogLevel::War, __VA_ARGS__)
#define MLOGD(...) tvk_log(__FILE__, "DUVEX_ManageData", LogLevel::Dbg, __VA_ARGS__)

// ---- The reply seen by the parsers ----------------------------------------------------

// Header fields and the data bytes that may be read: `len` is the smaller of the
// frame's own length field and what the buffer holds. Every read is bounded by it
// (a read outside gives 0), on top of the length check each parser makes first.
struct ReplyView {
    uint8 src = 0, dest = 0, mainCmd = 0, subCmd = 0;
    uint8 announced = 0;         // the frame's length field
    uint8 len = 0;               // readable data bytes
    const uint8 *data = nullptr; // frame + 7
    bool relayed = false;        // built by the card of another cabinet, not by a module

    bool has(unsigned off, unsigned k) const { return off + k <= len; }
    // k nibble characters as one number, most significant first (the codec's decoding).
    uint32 hex(unsigned off, unsigned k) const { return has(off, k) ? DUVEX_DCd2Dec(data + off, uint8(k)) : 0; }
    // Two nibble characters forming one byte.
    uint8 pair(unsigned off) const { return uint8(hex(off, 2)); }
    // One nibble character whose bits are used singly.
    uint8 nib(unsigned off) const { return has(off, 1) ? uint8(data[off] - 0x30) : 0; }
    uint8 byte(unsigned off) const { return has(off, 1) ? data[off] : 0; }
    void raw(unsigned off, void *dst, unsigned k) const
    {
        if (has(off, k))
            memcpy(dst, data + off, k);
    }
};

inline bool bit(uint8 v, int b) { return (v >> b) & 1u; }

// What a reply puts into the cabinet record, collected while the module is parsed.
struct CabinetUpdate {
    bool identification = false;
    identification_t ident;
    bool nominal = false;
    nominal_t nom;
    bool ups = false;
    dataObject_t data;
#if !defined(TVK_MODULAR)
    bool raFlags = false;          // RA: Bt_present and Parallel_Link_Open only
    uint8 btPresent = 0;
    uint8 parallelLinkOpen = 0;
    bool detail = false;
    statusCoding_t sd;
    bool detailExt = false;
    statusCodingExt_t sdx;
#endif
    bool any() const
    {
#if !defined(TVK_MODULAR)
        return identification || nominal || ups || raFlags || detail || detailExt;
#else
        return identification || nominal || ups;
#endif
    }
};

bool isAckCommand(uint8 mainCmd, uint8 subCmd)
{
    if (mainCmd == 'C')
        return strchr("BDFMPRSU", subCmd) != nullptr && subCmd != 0;
    return (mainCmd == 'S' && subCmd == 'M') || (mainCmd == 'T' && subCmd == 'B');
}

// Refuses a reply whose data are shorter than the layout needs.
bool lengthOk(const ReplyView &r, unsigned need)
{
    if (r.len >= need)
        return true;
    MLOGE("Risposta %c%c troppo corta: datalen:%u attesi:%u\n", r.mainCmd, r.subCmd, unsigned(r.len), need);
    return false;
}

// Summary bits of the alarm byte from the detailed status coding.
void alarmSummary(dataObject_t &d, const statusCoding_t &sd, const char *ext8)
{
    auto anyOf = [](const char *s, int from, int to) {
        for (int i = from; i <= to; ++i)
            if (s[i] != 0)
                return true;
        return false;
    };
    const char *s = sd.states;
    d.Warning = anyOf(s, 0, 1) || (ext8 && anyOf(ext8, 0, 1));
    d.Anomaly = anyOf(s, 2, 7) || (ext8 && anyOf(ext8, 2, 3));
    d.Fault = anyOf(s, 8, 13) || (ext8 && anyOf(ext8, 4, 5));
    d.Lock = anyOf(s, 14, 19) || (ext8 && anyOf(ext8, 6, 7));
}

// ---- Identification and nominal values ----------------------------------------------------

void copyText(char *dst, const ReplyView &r, unsigned off, unsigned n)
{
    r.raw(off, dst, n);
    dst[n] = 0;
}

// GI data 0..50, the same in every build: texts and configuration characters.
void readGIHead(identification_t &id, const ReplyView &r)
{
    copyText(id.SN, r, 0, 16);
    copyText(id.Model, r, 16, 16);
    copyText(id.SWVer, r, 32, 12);
    id.IO_Cfg = IO_Cfg_e(r.byte(44));
    id.UPS_Type = UPS_Type_e(r.byte(45));
    id.Boost_Cfg = Boost_Cfg_e(r.byte(46));
    id.Buck_Cfg = Buck_Cfg_e(r.byte(47));
    id.Error_CTRL = Error_CTRL_e(r.byte(48));
    id.PwrShareCfg = PwrShare_e(r.byte(49));
    id.BattBenches = BattBenches_e(r.byte(50));
}

#if !defined(TVK_MODULAR)

int DUVEX_GIGetData(virtualNode_t *M, const ReplyView &r, uint8 boxId, long timestamp, CabinetUpdate &cu)
{
    if (!lengthOk(r, GIDATALENGTH))
        return DUVEX_DATA_ESHORT;
    identification_t &id = M->identification;
    readGIHead(id, r);
    id.NBattForBench = r.byte(51);
    id.ParallelInfo = ParallelSystem_e(r.byte(52));
    id.TypeMachine = TypeMachine_e(r.byte(53));
    id.Cover = Cover_e(r.byte(54));
    id.TypeInput = Input_e(r.byte(55));
    id.timestamp = mytime_t(timestamp);
    LOGD("box:%c\n", 'A' + boxId);
    LOGD("SN:%s\n", id.SN);
    LOGD("Model:%s\n", id.Model);
    LOGD("SWVer:%s\n", id.SWVer);
    LOGD("Error CTRL:%c\n", id.Error_CTRL);
    cu.identification = true;
    cu.ident = id;
    return DUVEX_DATA_OK;
}

int DUVEX_GNGetData(virtualNode_t *M, const ReplyView &r, uint8 boxId, long timestamp, CabinetUpdate &cu)
{
    if (!lengthOk(r, GNDATALENGTH))
        return DUVEX_DATA_ESHORT;
    nominal_t &n = M->nominal;
    n.VA = r.hex(0, 5);
    n.W = r.hex(5, 5);
    n.BatteryV = uint16(r.hex(10, 3));
    n.BatteryAh = uint16(r.hex(13, 3));
    n.Vout = uint16(r.hex(16, 3));
    n.FreqOut = uint16(r.hex(19, 3));
    n.timestamp = mytime_t(timestamp);
    LOGD("box:%c\n", 'A' + boxId);
    LOGD("Valori nominali: VA:%d  W:%d  BattV:%d BattAh:%d VOUT:%d FreqOUT:%2.1f timestamp: %d\n", int(n.VA),
          int(n.W), int(n.BatteryV), int(n.BatteryAh), int(n.Vout), n.FreqOut / 10.0, int(n.timestamp));
    cu.nominal = true;
    cu.nom = n;
    return DUVEX_DATA_OK;
}

// ---- Status coding -------------------------------------------------------------------------

// Bt_present: neither battery half reported missing (BatteryNegNotPresent, BatteryPosNotPresent).
uint8 batteryPresent(const statusCoding_t &sd) { return !(bit(uint8(sd.states[5]), 5) || bit(uint8(sd.states[5]), 6)); }

int DUVEX_RAGetData(virtualNode_t *M, const ReplyView &r, uint8 boxId, long timestamp, CabinetUpdate &cu)
{
    LOGD("boxId:%u timestamp:%lu replySrc:%C\n", unsigned(boxId), (unsigned long)timestamp, wint_t(r.src));
    if (!lengthOk(r, RADATALENGTH))
        return DUVEX_DATA_ESHORT;
    descModule_t &mod = M->desc.module;
    dataObject_t &d = mod.data;
    for (int i = 0; i < 20; ++i)
        mod.statusDetail.states[i] = char(r.pair(2 * i));
    for (int i = 0; i < 8; ++i)
        mod.statusDetailExt.states[i] = char(r.pair(40 + 2 * i));
    alarmSummary(d, mod.statusDetail, mod.statusDetailExt.states);
    d.Parallel_Link_Open = mod.statusDetail.ParallelLinkOpen;
    d.Bt_present = batteryPresent(mod.statusDetail);
    mod.statusDetail.timestamp = mytime_t(timestamp);
    mod.statusDetailExt.timestamp = mytime_t(timestamp);
    cu.raFlags = true;
    cu.btPresent = d.Bt_present;
    cu.parallelLinkOpen = d.Parallel_Link_Open;
    cu.detail = true;
    cu.sd = mod.statusDetail;
    cu.detailExt = true;
    cu.sdx = mod.statusDetailExt;
    return DUVEX_DATA_OK;
}

int DUVEX_RCGetData(virtualNode_t *M, const ReplyView &r, uint8 boxId, long timestamp, CabinetUpdate &cu)
{
    LOGD("boxId:%u timestamp:%lu replySrc:%C\n", unsigned(boxId), (unsigned long)timestamp, wint_t(r.src));
    if (!lengthOk(r, RCDATALENGTH))
        return DUVEX_DATA_ESHORT;
    descModule_t &mod = M->desc.module;
    for (int i = 0; i < 22; ++i)
        mod.statusDetail.states[i] = char(r.pair(2 * i));
    mod.data.Bt_present = batteryPresent(mod.statusDetail);
    alarmSummary(mod.data, mod.statusDetail, nullptr);
    mod.statusDetail.timestamp = mytime_t(timestamp);
    cu.detail = true;
    cu.sd = mod.statusDetail;
    return DUVEX_DATA_OK;
}

// ---- Measurements --------------------------------------------------------------------------

int DUVEX_REGetData(virtualNode_t *M, const ReplyView &r, long timestamp, CabinetUpdate &cu)
{
    if (!lengthOk(r, REDATALENGTH))
        return DUVEX_DATA_ESHORT;
    dataObject_t &d = M->desc.module.data;
    for (int i = 0; i < 3; ++i) {
        d.Iout[i] = int32(r.hex(16 + 4 * i, 4));
        d.Watt[i] = int32(r.hex(28 + 5 * i, 5));
        d.Va[i] = int32(r.hex(43 + 5 * i, 5));
    }
    d.timestamp = mytime_t(timestamp);
    cu.ups = true;
    cu.data = d;
    return DUVEX_DATA_OK;
}

int DUVEX_RSGetData(virtualNode_t *M, const ReplyView &r, uint8 boxId, long timestamp, CabinetUpdate &cu)
{
    if (!lengthOk(r, RSDATALENGTH_MM))
        return DUVEX_DATA_ESHORT;
    dataObject_t &d = M->desc.module.data;

    const uint8 b0 = r.nib(0), b1 = r.nib(1), b2 = r.nib(2), b3 = r.nib(3), b4 = r.nib(4);
    d.Output_Powered = bit(b0, 3);
    d.Lock = bit(b0, 2);
    d.Battery_Working = bit(b0, 1);
    d.Battery_Low = bit(b0, 0);
    d.On_Bypass = bit(b1, 3);
    d.Eco_Mode = bit(b1, 2) && !d.Battery_Working;   // no energy saving on battery
    d.Bypass_Bad = bit(b2, 3);
    d.Battery_Charging = bit(b2, 2);
    d.Replace_Battery = bit(b2, 0);
    d.Shutdown_Active = bit(b3, 3);
    d.Shutdown_Imminent = bit(b3, 2);
    d.Test_in_progress = bit(b3, 1);
    d.BeeperOn = bit(b3, 0);
    d.Fault = bit(b4, 3);
    d.Alarm_Overload = bit(b4, 2);
    d.Alarm_Temperature = bit(b4, 1);

    d.Frq_in = uint16(r.hex(5, 3));
    d.Vin[0] = uint16(r.hex(8, 3));
    d.Frq_out = uint16(r.hex(11, 3));
    d.Vout[0] = uint16(r.hex(14, 3));
    d.Load[0] = int16(r.hex(17, 2));
    d.Frq_byp = uint16(r.hex(19, 3));
    d.Vbyp[0] = uint16(r.hex(22, 3));
    d.Carica_adj = uint8(r.hex(29, 2));
    const uint32 aut = r.hex(31, 3);
    d.Aut_time = aut == 0xFFF ? 0xFFFF : uint16(aut);
    d.Temp0 = uint8(r.hex(34, 2));

    // Three-phase input: only when the reply holds both fields (single-phase replies end at 36).
    const bool threeIn = r.has(36, 6);
    d.Vin[1] = threeIn ? uint16(r.hex(36, 3)) : 0;
    d.Vin[2] = threeIn ? uint16(r.hex(39, 3)) : 0;
    // Three-phase output: only a reply that holds the whole group (58 bytes).
    const bool threeOut = r.has(42, 16);
    d.Vout[1] = threeOut ? uint16(r.hex(42, 3)) : 0;
    d.Load[1] = threeOut ? int16(r.hex(45, 2)) : 0;
    d.Vbyp[1] = threeOut ? uint16(r.hex(47, 3)) : 0;
    d.Vout[2] = threeOut ? uint16(r.hex(50, 3)) : 0;
    d.Load[2] = threeOut ? int16(r.hex(53, 2)) : 0;
    d.Vbyp[2] = threeOut ? uint16(r.hex(55, 3)) : 0;

    // Warning and Anomaly as left by the last RA.
    d.UPS_OK = d.Output_Powered && !d.On_Bypass && !(d.Warning || d.Anomaly || d.Fault || d.Lock);
    d.Line_Present = d.Vin[0] > 79;
    d.timestamp = mytime_t(timestamp);
    LOGD("boxId:%u timestamp:%u replySrc:%u Vin[0]:%d Vin[1]:%d Vin[2]:%d Fin:%d Vbyp[0]:%d Vbyp[1]:%d "
          "Vbyp[2]:%d\n",
          unsigned(boxId), unsigned(timestamp), unsigned(uint8(r.src - '1')), d.Vin[0], d.Vin[1], d.Vin[2],
          d.Frq_in, d.Vbyp[0], d.Vbyp[1], d.Vbyp[2]);
    cu.ups = true;
    cu.data = d;
    return DUVEX_DATA_OK;
}

int DUVEX_RXGetData(virtualNode_t *M, const ReplyView &r, uint8 boxId, long timestamp, CabinetUpdate &cu)
{
    if (!lengthOk(r, RXDATALENGTH))
        return DUVEX_DATA_ESHORT;
    dataObject_t &d = M->desc.module.data;
    for (int i = 0; i < 4; ++i)
        d.FlagExt.states[i] = char(r.pair(2 * i));
    d.statusCode = statusCode_t(r.hex(8, 2));
    d.Vbatp = uint16(r.hex(10, 4));
    d.Vbatn = uint16(r.hex(14, 4));
    d.Ibatp = int32(r.hex(18, 4));
    d.Ibatn = int32(r.hex(22, 4));
    for (int i = 0; i < 3; ++i) {
        d.Uin[i] = uint16(r.hex(26 + 3 * i, 3));
        d.Iin[i] = r.hex(35 + 4 * i, 4);
        d.Ubyp[i] = uint16(r.hex(47 + 3 * i, 3));
        d.Uout[i] = uint16(r.hex(56 + 3 * i, 3));
        d.Iout_pk[i] = int32(r.hex(65 + 4 * i, 4));
    }
    for (int i = 0; i < 4; ++i)
        d.powerTemp[i] = uint16(r.hex(77 + 2 * i, 2));
    for (int i = 0; i < 2; ++i)
        d.batteryTemp[i] = uint16(r.hex(85 + 2 * i, 2));
    d.DCBusVolt[0] = uint16(r.hex(89, 3));
    d.DCBusVolt[1] = uint16(r.hex(92, 3));
    d.configCounter = uint16(r.hex(95, 2));
    if (r.relayed) {
        // A card relaying its module's RX sends hours, minutes and seconds, two
        // characters each.
        d.counterHours = uint16(r.hex(97, 2));
        d.counterMinutes = uint16(r.hex(99, 2));
        d.counterSeconds = uint16(r.hex(101, 2));
    } else {
        const uint32 s = r.hex(97, 6);   // a module's running time: one count of seconds
        d.counterHours = uint16(s / 3600);
        d.counterMinutes = uint16((s / 60) % 60);
        d.counterSeconds = uint16(s % 60);
    }
    d.Cent_kwh = r.hex(120, 8);

    const statusFlagExt_t &f = d.FlagExt;
    d.PFC_on = f.PFCOn;
    d.INV_on = f.inverterOn;
    d.Rl_out = f.releOutputClose;
    d.Rl_in = f.releInputClose;
    d.SWOUT = f.switchOutputInternalClose;
    d.SWMB = f.switchManualBypassInternalClose;
    d.isMaster = f.isMaster;

    d.timestamp = mytime_t(timestamp);
    d.FlagExt.timestamp = mytime_t(timestamp);
    LOGD("boxId:%u timestamp:%u replySrc:%u Uin[0]:%d Uin[1]:%d Uin[2]:%d Vbatp:%d Vbatn:%d StatusCode:%d "
          "SWOUT:%d\n",
          unsigned(boxId), unsigned(timestamp), unsigned(uint8(r.src - '1')), d.Uin[0], d.Uin[1], d.Uin[2],
          d.Vbatp, d.Vbatn, int(d.statusCode), int(d.SWOUT));
    cu.ups = true;
    cu.data = d;
    return DUVEX_DATA_OK;
}

#endif // !TVK_MODULAR

// DS, common to all builds: battery voltages scaled by the batteries per bench, currents
// negative while the module works on battery.
int DUVEX_DSGetData(virtualNode_t *M, const ReplyView &r)
{
    if (!lengthOk(r, DSDATALENGTH))
        return DUVEX_DATA_ESHORT;
    dataObject_t &d = M->desc.module.data;
    const uint32 n = M->identification.NBattForBench;
    d.Vbatp = uint16(n * r.hex(13, 3) / 10);
    d.Vbatn = uint16(n * r.hex(16, 3) / 10);
    d.Ibatp = int32(r.hex(52, 3));
    d.Ibatn = int32(r.hex(55, 3));
    if (d.Battery_Working) {
        d.Ibatp = -d.Ibatp;
        d.Ibatn = -d.Ibatn;
    }
    LOGD("IBAT P %d IBAT N %d\n", int(d.Ibatp), int(d.Ibatn));
    return DUVEX_DATA_OK;
}

// ---- Modular build ---------------------------------------------------------------------------

#if defined(TVK_MODULAR)

int DUVEX_GEGetData(virtualNode_t *M, const ReplyView &r, long timestamp)
{
    if (!lengthOk(r, GEDATALENGTH))
        return DUVEX_DATA_ESHORT;
    identification_t &id = M->identification;
    copyText(id.SWVer_AUX, r, 0, 12);
    // The version digits travel as nibble characters: every character above '9' at
    // those positions is raised by 7 (':'..'?' read as 'A'..'F', and so on upwards).
    for (unsigned pos : DUVEX_GE_HEXPOS) {
        const uint8 c = uint8(id.SWVer_AUX[pos]);
        if (c > '9')
            id.SWVer_AUX[pos] = char(uint8(c + 7));
    }
    r.raw(12, id.tbdGE, 4);
    // A module without auxiliary firmware sends the placeholder "QTN914-XX-XX"; its X's
    // are raised like any other character, so it is compared as it reads after that.
    if (r.src != DUVEX_BYPASSADDR && strcmp(id.SWVer_AUX, DUVEX_GE_PLACEHOLDER_RAISED) != 0) {
        id.partialInfo |= 0x02;
        if (id.partialInfo & 0x01)
            id.timestamp = mytime_t(timestamp);
    }
    return DUVEX_DATA_OK;
}

int DUVEX_GIGetData(virtualNode_t *M, const ReplyView &r, long timestamp)
{
    if (!lengthOk(r, GIDATALENGTH))
        return DUVEX_DATA_ESHORT;
    identification_t &id = M->identification;
    readGIHead(id, r);
    if (r.byte(51) != '0')
        id.NBattForBench = r.nib(51);
    id.ParallelInfo = ParallelSystem_e(r.byte(52));
    r.raw(53, id.tbdGI, 3);
    id.partialInfo |= 0x01;
    if (r.src == DUVEX_BYPASSADDR || (id.partialInfo & 0x02))
        id.timestamp = mytime_t(timestamp);
    return DUVEX_DATA_OK;
}

int DUVEX_GNGetData(virtualNode_t *M, const ReplyView &r, long timestamp, uint32 wModule)
{
    if (!lengthOk(r, GNDATALENGTH))
        return DUVEX_DATA_ESHORT;
    nominal_t &n = M->nominal;
    n.VA = r.hex(0, 5);
    n.W = r.hex(5, 5);
    n.BatteryV = uint16(r.hex(10, 3));
    n.BatteryAh = uint16(r.hex(13, 3));
    n.Vout = uint16(r.hex(16, 3));
    n.FreqOut = uint16(r.hex(19, 3));
    n.timestamp = mytime_t(timestamp);
    if (r.src != DUVEX_BYPASSADDR && wModule != 0 && n.W != wModule)
        M->desc.module.data.wrongPower = 1;
    if (M->identification.NBattForBench == 0)
        M->identification.NBattForBench = uint8(n.BatteryV / 12);
    return DUVEX_DATA_OK;
}

int DUVEX_RSGetData(virtualNode_t *M, const ReplyView &r, long timestamp)
{
    if (!lengthOk(r, RSDATALENGTH_MM))
        return DUVEX_DATA_ESHORT;
    dataObject_t &d = M->desc.module.data;

    const uint8 b0 = r.nib(0), b1 = r.nib(1), b2 = r.nib(2), b3 = r.nib(3), b4 = r.nib(4);
    d.Output_Powered = bit(b0, 3);
    d.Lock = bit(b0, 2);
    d.Battery_Working = bit(b0, 1);
    d.Battery_Low = bit(b0, 0);
    d.On_Bypass = bit(b1, 3);
    d.Eco_Mode = bit(b1, 3) && bit(b1, 2);
    d.Bypass_Bad = bit(b2, 3);
    d.Battery_Charging = bit(b2, 2);
    d.Replace_Battery = bit(b2, 0);
    d.Shutdown_Active = bit(b3, 3);
    d.Shutdown_Imminent = bit(b3, 2);
    d.Test_in_progress = bit(b3, 1);
    d.Alarm_Overload = bit(b4, 2);
    d.Alarm_Temperature = bit(b4, 1);
    d.Line_Present = !d.Battery_Working;

    d.Frq_in = uint16(r.hex(5, 3));
    d.Vin[0] = uint16(r.hex(8, 3));
    d.Frq_out = uint16(r.hex(11, 3));
    d.Vout[0] = uint16(r.hex(14, 3));
    d.Load[0] = int16(r.hex(17, 2));
    d.Frq_byp = uint16(r.hex(19, 3));
    d.Vbyp[0] = uint16(r.hex(22, 3));
    d.VbatRS = uint16(r.hex(25, 4));
    if (d.Bt_present) {
        d.Carica_adj = uint8(r.hex(29, 2));
        d.Aut_time = uint16(r.hex(31, 3));
    } else {
        d.Carica_adj = 0;
        d.Aut_time = 0;
    }
    d.Temp0 = uint8(r.hex(34, 2));
    // Fields a shorter reply does not carry keep their values.
    if (r.has(36, 6)) {
        d.Vin[1] = uint16(r.hex(36, 3));
        d.Vin[2] = uint16(r.hex(39, 3));
    }
    if (r.len == RSDATALENGTH_TT) {
        d.Vout[1] = uint16(r.hex(42, 3));
        d.Load[1] = int16(r.hex(45, 2));
        d.Vbyp[1] = uint16(r.hex(47, 3));
        d.Vout[2] = uint16(r.hex(50, 3));
        d.Load[2] = int16(r.hex(53, 2));
        d.Vbyp[2] = uint16(r.hex(55, 3));
    }
    // The status record's time stamp: the module data accessors judge freshness by it
    // (without it every reader, and every relayed reply, would get initial values).
    d.timestamp = mytime_t(timestamp);
    return DUVEX_DATA_OK;
}

int DUVEX_REGetData(virtualNode_t *M, const ReplyView &r)
{
    if (!lengthOk(r, REDATALENGTH))
        return DUVEX_DATA_ESHORT;
    dataObject_t &d = M->desc.module.data;
    for (int i = 0; i < 3; ++i) {
        d.Iout[i] = int32(r.hex(16 + 4 * i, 4));
        d.Watt[i] = int32(r.hex(28 + 5 * i, 5));
        d.Va[i] = int32(r.hex(43 + 5 * i, 5));
    }
    return DUVEX_DATA_OK;
}

int DUVEX_DEGetData(virtualNode_t *M, const ReplyView &r)
{
    if (!lengthOk(r, DEDATALENGTH))
        return DUVEX_DATA_ESHORT;
    dataObject_t &d = M->desc.module.data;
    for (int i = 0; i < 3; ++i)
        d.Iin[i] = r.hex(43 + 4 * i, 4);
    return DUVEX_DATA_OK;
}

int DUVEX_RKGetData(virtualNode_t *M, const ReplyView &r)
{
    if (!lengthOk(r, RKDATALENGTH))
        return DUVEX_DATA_ESHORT;
    dataObject_t &d = M->desc.module.data;
    for (int i = 0; i < 3; ++i)
        d.Iout_pk[i] = int32(r.hex(34 + 4 * i, 4));
    uint8 *temps[6] = {&d.Temp1, &d.Temp2, &d.Temp3, &d.Temp4, &d.Temp5, &d.Temp6};
    for (int i = 0; i < 6; ++i)
        *temps[i] = uint8(r.hex(46 + 2 * i, 2));
    return DUVEX_DATA_OK;
}

// The four bits of a nibble in reverse order.
uint8 reverse4(uint8 v) { return uint8(((v & 1) << 3) | ((v & 2) << 1) | ((v & 4) >> 1) | ((v & 8) >> 3)); }

int DUVEX_RCGetData(virtualNode_t *M, const ReplyView &r, long timestamp)
{
    if (!lengthOk(r, RCDATALENGTH))
        return DUVEX_DATA_ESHORT;
    descModule_t &mod = M->desc.module;
    for (int i = 0; i < 22; ++i)
        mod.statusDetail.states[i] = char(reverse4(r.nib(2 * i)) | (reverse4(r.nib(2 * i + 1)) << 4));
    alarmSummary(mod.data, mod.statusDetail, nullptr);
    mod.statusDetail.timestamp = mytime_t(timestamp);
    return DUVEX_DATA_OK;
}

#endif // TVK_MODULAR

// ---- Acknowledgements --------------------------------------------------------------------------

void DUVEX_STGetData(uint8 boxId) { LOGD("box:%c\n", 'A' + boxId); }
void DUVEX_SVGetData(uint8 boxId) { LOGD("box:%c\n", 'A' + boxId); }

// ---- Dispatch ------------------------------------------------------------------------------------

bool makeView(const uint8 *frame, size_t frameLen, ReplyView &r)
{
    if (!frame || frameLen < DUVEX_HEAD_QUEUE_LEN)
        return false;
    r.src = frame[DUVEX_SOURCEOFFSET];
    r.dest = frame[DUVEX_DESTOFFSET];
    r.mainCmd = frame[DUVEX_MAINCMDOFFSET];
    r.subCmd = frame[DUVEX_SUBCMDOFFSET];
    r.announced = uint8(DUVEX_DCd2Dec(frame + DUVEX_LENGTHOFFSET, 2));
    const size_t room = frameLen - DUVEX_HEAD_QUEUE_LEN;
    r.len = room < r.announced ? uint8(room) : r.announced;
    r.data = frame + DUVEX_DATAOFFSET;
    return true;
}

// Replies that only log, whatever module sent them. True when `r` was one of them.
bool handleAck(const ReplyView &r, uint8 boxId, const uint8 *frame)
{
    if (isAckCommand(r.mainCmd, r.subCmd)) {
        pckStruct p;
        DUVEX_ExtractQuery(p, frame);
        DUVEX_ACKVerify(boxId, p);
        return true;
    }
    if (r.mainCmd == 'S' && r.subCmd == 'T') {
        DUVEX_STGetData(boxId);
        return true;
    }
    if (r.mainCmd == 'S' && r.subCmd == 'V') {
        DUVEX_SVGetData(boxId);
        return true;
    }
    return r.mainCmd == 'D' && r.subCmd == 'C';   // accepted silently
}

enum class Kind { Ack, GM, Data, UnknownMain, UnknownSub };

Kind classify(const ReplyView &r)
{
    if (isAckCommand(r.mainCmd, r.subCmd) || (r.mainCmd == 'S' && (r.subCmd == 'T' || r.subCmd == 'V')) ||
        (r.mainCmd == 'D' && r.subCmd == 'C'))
        return Kind::Ack;
    switch (r.mainCmd) {
    case 'G':
        if (r.subCmd == 'M')
            return Kind::GM;
#if defined(TVK_MODULAR)
        return (r.subCmd == 'I' || r.subCmd == 'N' || r.subCmd == 'E') ? Kind::Data : Kind::UnknownSub;
#else
        return (r.subCmd == 'I' || r.subCmd == 'N') ? Kind::Data : Kind::UnknownSub;
#endif
    case 'R':
#if defined(TVK_MODULAR)
        return strchr("CEKS", r.subCmd) && r.subCmd ? Kind::Data : Kind::UnknownSub;
#else
        return strchr("ACESX", r.subCmd) && r.subCmd ? Kind::Data : Kind::UnknownSub;
#endif
    case 'D':
#if defined(TVK_MODULAR)
        return (r.subCmd == 'S' || r.subCmd == 'E') ? Kind::Data : Kind::UnknownSub;
#else
        return r.subCmd == 'S' ? Kind::Data : Kind::UnknownSub;
#endif
    case 'C':
    case 'S':
    case 'T':
        return Kind::UnknownSub;
    default:
        return Kind::UnknownMain;
    }
}

// Parses a data reply into M (not null) and collects the cabinet's part.
int parseData(virtualNode_t *M, const ReplyView &r, uint8 boxId, long timestamp, uint32 wModule, CabinetUpdate &cu)
{
#if defined(TVK_MODULAR)
    (void)boxId;
    (void)cu;
    switch (r.mainCmd) {
    case 'G':
        if (r.subCmd == 'I')
            return DUVEX_GIGetData(M, r, timestamp);
        if (r.subCmd == 'N')
            return DUVEX_GNGetData(M, r, timestamp, wModule);
        return DUVEX_GEGetData(M, r, timestamp);
    case 'R':
        if (r.subCmd == 'S')
            return DUVEX_RSGetData(M, r, timestamp);
        if (r.subCmd == 'E')
            return DUVEX_REGetData(M, r);
        if (r.subCmd == 'K')
            return DUVEX_RKGetData(M, r);
        return DUVEX_RCGetData(M, r, timestamp);
    default:   // 'D'
        if (r.subCmd == 'S')
            return DUVEX_DSGetData(M, r);
        return DUVEX_DEGetData(M, r);
    }
#else
    (void)wModule;
    switch (r.mainCmd) {
    case 'G':
        if (r.subCmd == 'I')
            return DUVEX_GIGetData(M, r, boxId, timestamp, cu);
        return DUVEX_GNGetData(M, r, boxId, timestamp, cu);
    case 'R':
        switch (r.subCmd) {
        case 'A': return DUVEX_RAGetData(M, r, boxId, timestamp, cu);
        case 'C': return DUVEX_RCGetData(M, r, boxId, timestamp, cu);
        case 'E': return DUVEX_REGetData(M, r, timestamp, cu);
        case 'S': return DUVEX_RSGetData(M, r, boxId, timestamp, cu);
        default: return DUVEX_RXGetData(M, r, boxId, timestamp, cu);
        }
    default:   // 'D'
        return DUVEX_DSGetData(M, r);
    }
#endif
}

// The module step: everything but the cabinet copy. M may be null (then only the
// replies that need no node are handled).
int moduleStep(virtualNode_t *M, const ReplyView &r, const uint8 *frame, uint8 boxId, long timestamp,
               uint32 wModule, CabinetUpdate &cu)
{
    switch (classify(r)) {
    case Kind::Ack:
        handleAck(r, boxId, frame);
        return DUVEX_DATA_OK;
    case Kind::GM:
        MLOGE("NON IMPARTIRE LA QUERY GM DALLE CODE!!!\n");
        MLOGE("USARE LA CHIAMATA DIRETTA InsertSingleQC!!!\n");
        return DUVEX_DATA_EREFUSED;
    case Kind::UnknownMain:
        MLOGE("MainCmd %c non supportato\n", r.mainCmd);
        return DUVEX_DATA_EUNSUPP;
    case Kind::UnknownSub:
        MLOGE("SubCmd %c non supportato per il MainCmd %c\n", r.subCmd, r.mainCmd);
        return DUVEX_DATA_EUNSUPP;
    case Kind::Data:
        break;
    }
    if (!M)
        return DUVEX_DATA_ENONODE;   // a reply for a module without node is ignored
    return parseData(M, r, boxId, timestamp, wModule, cu);
}

// The cabinet step: writes what the module step collected into K.
int cabinetStep(virtualNode_t *K, const CabinetUpdate &cu, uint8 boxId, const ReplyView &r)
{
    if (!cu.any())
        return DUVEX_DATA_OK;
    if (!K) {
        MLOGE("Armadio %c senza nodo: dati %c%c del modulo non copiati\n", 'A' + boxId, r.mainCmd, r.subCmd);
        return DUVEX_DATA_ENONODE;
    }
    if (cu.identification) {
        K->identification = cu.ident;
        tvk_log(__FILE__, "DUVEX_GIGetData", LogLevel::Dbg, "Timestamp:%d %d [boxId: %d]\n",
                int(cu.ident.timestamp), int(K->identification.timestamp), int(boxId));
    }
    if (cu.nominal)
        K->nominal = cu.nom;
    if (cu.ups)
        K->desc.upsBox.Ups = cu.data;
#if !defined(TVK_MODULAR)
    if (cu.raFlags) {
        K->desc.upsBox.Ups.Bt_present = cu.btPresent;
        K->desc.upsBox.Ups.Parallel_Link_Open = cu.parallelLinkOpen;
    }
    if (cu.detail)
        K->desc.upsBox.statusDetail = cu.sd;
    if (cu.detailExt)
        K->desc.upsBox.statusDetailExt = cu.sdx;
#endif
    return DUVEX_DATA_OK;
}

void logEnd(const ReplyView &r)
{
    MLOGD("Analizzati dati di %c%c inviati dalla scheda 0x%02X\n", r.mainCmd, r.subCmd, r.src);
}

} // namespace

#if defined(TVK_MODULAR)
void DUVEX_GEReplyData(const identification_t &id, uint8 *data)
{
    memcpy(data, id.SWVer_AUX, 12);
    for (unsigned pos : DUVEX_GE_HEXPOS)
        if (data[pos] > '9')
            data[pos] = uint8(data[pos] - 7);
    memcpy(data + 12, id.tbdGE, 4);
}
#endif

uint16 DUVEX_ReplyLayoutLen(uint8 mainCmd, uint8 subCmd)
{
    switch (mainCmd) {
    case 'G':
        switch (subCmd) {
        case 'I': return GIDATALENGTH;
        case 'N': return GNDATALENGTH;
        case 'M': return GMDATALENGTH;
        case 'E': return GEDATALENGTH;
        default: return 0;
        }
    case 'R':
        switch (subCmd) {
        case 'A': return RADATALENGTH;
        case 'B': return RBDATALENGTH;
        case 'C': return RCDATALENGTH;
        case 'E': return REDATALENGTH;
        case 'K': return RKDATALENGTH;
        case 'S': return RSDATALENGTH_TT;
        case 'X': return RXDATALENGTH;
        default: return 0;
        }
    case 'D':
        switch (subCmd) {
        case 'S': return DSDATALENGTH;
        case 'E': return DEDATALENGTH;
        case 'C': return DCBYPDATALENGTH;
        default: return 0;
        }
    case 'S':
        return subCmd == 'V' ? SVDATALENGTH : 0;
    default:
        return 0;
    }
}

int DUVEX_ParseReply(virtualNode_t *M, virtualNode_t *K, uint8 boxId, long timestamp, const uint8 *frame,
                     size_t frameLen, uint32 wModule, bool relayed)
{
    ReplyView r;
    r.relayed = relayed;
    if (!makeView(frame, frameLen, r)) {
        MLOGE("Pacchetto non valido (ptr:%p len:%u)\n", static_cast<const void *>(frame), unsigned(frameLen));
        return DUVEX_DATA_EARG;
    }
    if (boxId >= MAXUPSBOX) {
        MLOGE("Indice dell'armadio non corretto: %u!\n", unsigned(boxId));
        return DUVEX_DATA_EARG;
    }
    CabinetUpdate cu;
    int rc = moduleStep(M, r, frame, boxId, timestamp, wModule, cu);
    if (rc == DUVEX_DATA_OK)
        rc = cabinetStep(K, cu, boxId, r);
    logEnd(r);
    return rc;
}

int DUVEX_ManageDataOn(DUVEXMgr *duvex, KESPMgr *kesp, uint32 wModule, uint8 boxId, long timestamp,
                       const uint8 *frame, size_t frameLen, bool cabinetLockHeld, bool relayed)
{
    ReplyView r;
    r.relayed = relayed;
    if (!makeView(frame, frameLen, r)) {
        MLOGE("Pacchetto non valido (ptr:%p len:%u)\n", static_cast<const void *>(frame), unsigned(frameLen));
        return DUVEX_DATA_EARG;
    }
    if (boxId >= MAXUPSBOX) {
        MLOGE("Indice dell'armadio non corretto: %u!\n", unsigned(boxId));
        return DUVEX_DATA_EARG;
    }
    if (!duvex || !duvex->mutexDuvexData) {
        MLOGE("Gestore del bus moduli non disponibile: risposta %c%c ignorata\n", r.mainCmd, r.subCmd);
        return DUVEX_DATA_ENOMGR;
    }

    // Module record, under the module data lock (registration changes pVN under it too).
    CabinetUpdate cu;
    int rc;
    {
        myMutexLocker lock(duvex->mutexDuvexData);
        const uint8 moduleIdx = uint8(r.src - '1');
        virtualNode_t *M = moduleIdx < MAXUPSxUPSBOX_DUVEX ? duvex->ModulesData[boxId][moduleIdx].pVN : nullptr;
        rc = moduleStep(M, r, frame, boxId, timestamp, wModule, cu);
    }

    // Cabinet record, under the cabinet data lock (unless the caller holds it already);
    // the module lock is released by now, so the two are never nested here.
    if (rc == DUVEX_DATA_OK && cu.any()) {
        if (!kesp || !kesp->mutexKESPData) {
            MLOGE("Gestore del bus armadi non disponibile: dati %c%c non copiati nell'armadio %c\n", r.mainCmd,
                  r.subCmd, 'A' + boxId);
            rc = DUVEX_DATA_ENOMGR;
        } else if (cabinetLockHeld) {
            rc = cabinetStep(kesp->upsBox[boxId].pVN, cu, boxId, r);
        } else {
            myMutexLocker lock(kesp->mutexKESPData);
            rc = cabinetStep(kesp->upsBox[boxId].pVN, cu, boxId, r);
        }
    }
    logEnd(r);
    return rc;
}

int DUVEX_ManageDataEx(uint8 boxId, long timestamp, const uint8 *frame, size_t frameLen, bool cabinetLockHeld,
                       bool relayed)
{
    SystemMgr *sys = pSysMgr;
    if (!sys) {
        MLOGE("Gestore di sistema non disponibile: risposta ignorata\n");
        return DUVEX_DATA_ENOMGR;
    }
#if defined(TVK_MODULAR)
    const uint32 wModule = sys->Cfg.WModule;
#else
    const uint32 wModule = 0;
#endif
    return DUVEX_ManageDataOn(sys->pThDuvex, sys->pThKESP, wModule, boxId, timestamp, frame, frameLen,
                              cabinetLockHeld, relayed);
}

int DUVEX_ManageData(uint8 boxId, long timestamp, uint8 *frame)
{
    // The callers pass reply buffers of the length the command's reply takes (the bus
    // allocates the reply buffer from the expected length). Data are read within both
    // that and the frame's own length field.
    if (!frame) {
        MLOGE("Pacchetto non valido (ptr:%p len:%u)\n", static_cast<const void *>(frame), 0u);
        return DUVEX_DATA_EARG;
    }
    const size_t frameLen =
        size_t(DUVEX_HEAD_QUEUE_LEN) + DUVEX_ReplyLayoutLen(frame[DUVEX_MAINCMDOFFSET], frame[DUVEX_SUBCMDOFFSET]);
    // The caller holds no lock (the module-bus thread after a transaction). A caller that
    // holds the cabinet data mutex says so through DUVEX_ManageDataEx.
    return DUVEX_ManageDataEx(boxId, timestamp, frame, frameLen, false, false);
}
