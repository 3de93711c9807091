// The status document vu.json: the system state for the card's other programs.
//
// Its text is fixed byte for byte by the profile (key order and names, the alarm
// list's line feeds, no final line feed); the keys are a table per profile. It is
// written to the temporary file and renamed into place, so a reader opening the
// published name always gets a whole document.
#include "JsonWriter.h"
#include "KESPAggregate.h"
#include "Profile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

const char *const FN = "AggregateBox";

using Num = long long (*)(const descSys_t &, const VuJsonInput &);
using Flag = bool (*)(const descSys_t &);

enum class Kind { Bool, Int, Text };

struct KeyRow {
    const char *key;
    Kind kind;
    Flag flag;
    Num num;
    int text;   // 0 SN, 1 Model, 2 SWVer
};

#define B(k, expr) {k, Kind::Bool, [](const descSys_t &w) -> bool { return (expr); }, nullptr, 0}
#define N(k, expr) {k, Kind::Int, nullptr, [](const descSys_t &w, const VuJsonInput &in) -> long long { (void)in; (void)w; return (long long)(expr); }, 0}
#define T(k, which) {k, Kind::Text, nullptr, nullptr, which}

// Per-phase values of the packed records, read without forming a reference.
template <typename T> long long phAt(const void *arr, int p)
{
    T v;
    memcpy(&v, static_cast<const char *>(arr) + size_t(p) * sizeof(T), sizeof v);
    return (long long)v;
}
// The array's address only: no reference to a misaligned member is ever formed.
#define ph(T, arr, p) phAt<T>(static_cast<const void *>(&(arr)), p)

#if defined(TVK_MODULAR)
#define TEMP_ROWS                                                                                                  \
    N("INVTEMP", w.Ups.Temp1), N("RECTTEMP", w.Ups.Temp2), N("TEMP1", w.Ups.Temp3), N("TEMP2", w.Ups.Temp4),       \
        N("TEMP3", w.Ups.Temp5), N("TEMP4", w.Ups.Temp6),
#else
#define TEMP_ROWS                                                                                                  \
    N("INVTEMP", (ph(uint16, w.Ups.powerTemp, 0))), N("RECTTEMP", (ph(uint16, w.Ups.powerTemp, 1))),             \
        N("TEMP1", (ph(uint16, w.Ups.powerTemp, 2))), N("TEMP2", (ph(uint16, w.Ups.powerTemp, 3))),              \
        N("TEMP3", (ph(uint16, w.Ups.batteryTemp, 0))), N("TEMP4", (ph(uint16, w.Ups.batteryTemp, 1))),
#endif

const KeyRow kKeys[] = {
    B("OUTPUTPOWERED", w.Ups.Output_Powered),
    B("UPSLOCK", w.Ups.Lock),
    B("BATTERYWORK", w.Ups.Battery_Working),
    B("BATTERYLOW", w.Ups.Battery_Low),
#if defined(TVK_STD)
    B("ONBYPASS", w.Ups.On_Bypass),
#endif
    B("BATTERYCHARGING", w.Ups.Battery_Charging),
    B("REPLACEBATTERY", w.Ups.Replace_Battery),
    B("SHUTDOWNACTIVE", w.Ups.Shutdown_Active),
    B("SHUTDOWNIMMIN", w.Ups.Shutdown_Imminent),
    B("TESTINPROGRESS", w.Ups.Test_in_progress),
    B("ALARMOVERLOAD", w.Ups.Alarm_Overload),
    B("ALARMTEMPERATUR", w.Ups.Alarm_Temperature),
    N("INPUTVOLTAGE", (ph(uint16, w.Ups.Vin, 0))),
    N("INPUTVOLTAGE2", (ph(uint16, w.Ups.Vin, 1))),
    N("INPUTVOLTAGE3", (ph(uint16, w.Ups.Vin, 2))),
    N("INPUTFREQUENCY", w.Ups.Frq_in),
    N("INPUTCURRENT", (ph(uint32, w.Ups.Iin, 0))),
    N("INPUTCURRENT2", (ph(uint32, w.Ups.Iin, 1))),
    N("INPUTCURRENT3", (ph(uint32, w.Ups.Iin, 2))),
    N("OUTPUTVOLTAGE", (ph(uint16, w.Ups.Vout, 0))),
    N("OUTPUTVOLTAGE2", (ph(uint16, w.Ups.Vout, 1))),
    N("OUTPUTVOLTAGE3", (ph(uint16, w.Ups.Vout, 2))),
#if defined(TVK_STD)
    N("OUPUTFREQUENCY", w.Ups.Frq_out),
#else
    N("OUTPUTFREQUENCY", w.Ups.Frq_out),
#endif
    N("OUTPUTLOAD", (ph(int16, w.Ups.Load, 0))),
    N("OUTPUTLOAD2", (ph(int16, w.Ups.Load, 1))),
    N("OUTPUTLOAD3", (ph(int16, w.Ups.Load, 2))),
    N("OUTPUTCURRENT", (ph(int32, w.Ups.Iout, 0))),
    N("OUTPUTCURRENT2", (ph(int32, w.Ups.Iout, 1))),
    N("OUTPUTCURRENT3", (ph(int32, w.Ups.Iout, 2))),
    N("OUTPUTCURRENTP1", (ph(int32, w.Ups.Iout_pk, 0))),
    N("OUTPUTCURRENTP2", (ph(int32, w.Ups.Iout_pk, 1))),
    N("OUTPUTCURRENTP3", (ph(int32, w.Ups.Iout_pk, 2))),
    N("OUTPUTPOWER", (ph(int32, w.Ups.Watt, 0))),
    N("OUTPUTPOWER2", (ph(int32, w.Ups.Watt, 1))),
    N("OUTPUTPOWER3", (ph(int32, w.Ups.Watt, 2))),
    N("OUTPUTPOWERVA1", (ph(int32, w.Ups.Va, 0))),
    N("OUTPUTPOWERVA2", (ph(int32, w.Ups.Va, 1))),
    N("OUTPUTPOWERVA3", (ph(int32, w.Ups.Va, 2))),
    N("BYPASSFREQUENCY", w.Ups.Frq_byp),
    N("BYPASSVOLTAGE", (ph(uint16, w.Ups.Vbyp, 0))),
    N("BYPASSVOLTAGE2", (ph(uint16, w.Ups.Vbyp, 1))),
    N("BYPASSVOLTAGE3", (ph(uint16, w.Ups.Vbyp, 2))),
    N("BATTERYVOLTAGE", (w.Ups.Vbatp < w.Ups.Vbatn ? w.Ups.Vbatp : w.Ups.Vbatn)),
    N("VBATPLUS", w.Ups.Vbatp),
    N("VBATMINUS", w.Ups.Vbatn),
    N("BATTERYCURRENT", w.Ups.Ibatp),
    N("BATTERYCURRENTMINUS", w.Ups.Ibatn),
    N("BATTERYESTCHARG", w.Ups.Carica_adj),
    N("BATTERYESTTIME", w.Ups.Aut_time),
    N("SYSTEMTEMP", w.Ups.Temp0),
    TEMP_ROWS
    T("TESTNUMBERJ", 0),
    T("UPSMODELJ", 1),
    T("UPSSWVERSIONJ", 2),
    N("NOMINALPOWERW", in.nominal.W),
    N("NOMINALPOWERVA", in.nominal.VA),
    N("IOCONFIGURATION", (int(in.ident.IO_Cfg) - 48)),
    N("UPSTYPE", (int(in.ident.UPS_Type) - 48)),
    B("LINEPRESENT", w.Ups.Line_Present),
};

struct AlarmRow {
    const char *name;
    Flag present;
};

const AlarmRow kAlarms[] = {
    {"SYSTEM_ANOMALY", [](const descSys_t &w) -> bool { return w.Ups.Anomaly; }},
    {"ECO_MODE", [](const descSys_t &w) -> bool { return w.Ups.Eco_Mode; }},
    {"SWIN_OPEN", [](const descSys_t &w) -> bool { return !w.SWIN; }},
    {"SWBYP_OPEN", [](const descSys_t &w) -> bool { return !w.SWBYP; }},
    {"SWBAT_EXT_OPEN", [](const descSys_t &w) -> bool { return !w.SWBATT_EXT; }},
    {"SWOUT_OPEN", [](const descSys_t &w) -> bool { return !w.Ups.SWOUT; }},
    {"MANUAL_BYPASS_UPS", [](const descSys_t &w) -> bool { return w.Ups.SWMB; }},
    {"ON_BYPASS", [](const descSys_t &w) -> bool { return w.Ups.On_Bypass; }},
    {"BYPASS_BAD", [](const descSys_t &w) -> bool { return w.Ups.Bypass_Bad; }},
    {"PARALLEL_LINK_OPEN", [](const descSys_t &w) -> bool { return w.Ups.Parallel_Link_Open; }},
    {"BATTERY_NOT_PRESENT_A62", [](const descSys_t &w) -> bool { return !w.Ups.Bt_present; }},
#if !defined(TVK_STD)
    {"ALARM_REDUNDANCY", [](const descSys_t &w) -> bool { return w.LostRedundancy; }},
#endif
};

#undef B
#undef N
#undef T

void alarmItem(std::string &out, bool &first, const char *name, size_t len)
{
    if (!first)
        out += ',';
    first = false;
    out += '\n';
    json::appendQuoted(out, name, len);
}

} // namespace

std::string BuildVuJson(descSys_t &w, const VuJsonInput &in)
{
    std::string out;
    out.reserve(2048);
    json::LineWriter lw(out);
    char buf[64];
    snprintf(buf, sizeof buf, "{\n\"timestamp\": %ld,\n", long(in.now));
    lw.raw(buf);
    for (const KeyRow &r : kKeys) {
        switch (r.kind) {
        case Kind::Bool:
            lw.boolean(r.key, r.flag(w));
            break;
        case Kind::Int:
            lw.integer(r.key, r.num(w, in));
            break;
        case Kind::Text:
            if (r.text == 0)
                lw.text(r.key, in.ident.SN, sizeof in.ident.SN);
            else if (r.text == 1)
                lw.text(r.key, in.ident.Model, sizeof in.ident.Model);
            else
                lw.text(r.key, in.ident.SWVer, sizeof in.ident.SWVer);
            break;
        }
    }
    lw.raw("\"statusAlarms\":[\n");
    bool first = true;
    for (const AlarmRow &a : kAlarms)
        if (a.present(w))
            alarmItem(out, first, a.name, strlen(a.name));
    for (int i = 0; i < MAXUPSBOX; ++i) {
        const bool ownLost = i == in.ownIdx && w.subSystem.UPSBox[i].alarmSt == commLostAlarm;
        const bool moduleLost = in.cabHasNode[i] && in.cabModuleAlarm[i] == commLostAlarm;
        if (!ownLost && !moduleLost)
            continue;
        KLOGD(FN, "\nMODULE LOST: myMCU:%u subSystem.UPSBox[i]:%u UPSShelter[0]:%u i:%u", unsigned(in.ownIdx),
              unsigned(w.subSystem.UPSBox[i].alarmSt), unsigned(in.cabModuleAlarm[i]), unsigned(i));
        char name[24];
        const int n = snprintf(name, sizeof name, "MODULE_%d_LOST", i + 1);
        alarmItem(out, first, name, size_t(n));
        w.Ups.Fault = 1;
    }
    out += "],\n\"UPSFAILURE\": ";
    out += w.Ups.Fault ? "true" : "false";
    out += '}';
    return out;
}

bool VuJsonFile::shouldLog(int kind, time_t now)
{
    if (!everLogged_[kind] || now - lastLogged_[kind] >= 60 || now < lastLogged_[kind]) {
        everLogged_[kind] = true;
        lastLogged_[kind] = now;
        return true;
    }
    suppressed_[kind]++;
    return false;
}

int VuJsonFile::write(const std::string &doc, const char *tmpPath, const char *path, time_t now)
{
    if (!tmpPath || !path)
        return -1;
    FILE *f = fopen(tmpPath, "w");
    if (!f) {
        const int e = errno;
        failures_++;
        if (shouldLog(0, now))
            KLOGE(FN, "fopen() tarvik.tmp %d %s\n", e, strerror(e));
        return -1;
    }
    fseek(f, 0, SEEK_SET);
    const size_t n = fwrite(doc.data(), 1, doc.size(), f);
    const bool writeFailed = n != doc.size() || fflush(f) != 0 || ferror(f);
    const int we = errno;
    const int rc = fclose(f);
    const int ce = errno;
    // A document that did not reach the file whole is never put in place.
    if (writeFailed || rc != 0) {
        failures_++;
        if (shouldLog(1, now))
            KLOGE(FN, "fwrite() tarvik.tmp %d %s\n", writeFailed ? we : ce, strerror(writeFailed ? we : ce));
        return -2;
    }
    KLOGD(FN, "total W: %d\n", int(doc.size()));
    if (rename(tmpPath, path) != 0) {
        const int e = errno;
        failures_++;
        if (shouldLog(2, now))
            KLOGE(FN, "rename() %d %s\n", e, strerror(e));
        return -3;
    }
    return 0;
}
