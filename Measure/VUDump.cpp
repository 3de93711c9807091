#include "VUDump.h"

#include "Profile.h"
#include "SysClock.h"
#include "TreePublish.h"
#include "VirtualUPSMgr.h"
#include "VirtualUPSTypes.h"

#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <type_traits>
#include <sys/ipc.h>
#include <sys/shm.h>

namespace vudump {

namespace {

// ---- Names --------------------------------------------------------------------------

struct NamedValue {
    unsigned value;
    const char *name;
};

template <size_t N> const char *lookup(const NamedValue (&table)[N], unsigned v)
{
    for (const auto &e : table)
        if (e.value == v)
            return e.name;
    return nullptr;
}

const NamedValue kNodeKinds[] = {{sysNode, "sysNode"},       {upsBoxNode, "upsBoxNode"},
                                 {battBoxNode, "battBoxNode"}, {moduleNode, "moduleNode"},
                                 {bypassNode, "bypassNode"},   {extNode, "extNode"}};
const NamedValue kCmdTypes[] = {{CMD_SHUTDOWN, "CMD_SHUTDOWN"}, {CMD_REBOOT, "CMD_REBOOT"},
                                {CMD_DELETE, "CMD_DELETE"},     {CMD_TESTBATT, "CMD_TESTBATT"},
                                {CMD_ZVL_OFF, "CMD_ZVL_OFF"},   {CMD_ZVL_POWERON, "CMD_ZVL_POWERON"},
                                {CMD_NONE, "CMD_NONE"}};
const NamedValue kAlarmSt[] = {{commLostAlarm, "commLostAlarm"}, {noneAlarm, "noneAlarm"},
                               {warningAlarm, "warningAlarm"},   {anomalyAlarm, "anomalyAlarm"},
                               {faultAlarm, "faultAlarm"},       {lockAlarm, "lockAlarm"}};
#if !defined(TVK_MODULAR)
const NamedValue kElemSt[] = {{NOT_AVAILABLE, "NOT_AVAILABLE"},
                              {Stand_byMode, "Stand_byMode"},
                              {PrechargeMode, "PrechargeMode"},
                              {CalibrationMode, "CalibrationMode"},
                              {WaitVbatReadyMode, "WaitVbatReadyMode"},
                              {NormalMode, "NormalMode"},
                              {BatteryWorkingMode, "BatteryWorkingMode"},
                              {OnBypassMode, "OnBypassMode"},
                              {EnergySavingMode, "EnergySavingMode"},
                              {NOT_PRESENT, "NOT_PRESENT"},
                              {NOT_ENABLED, "NOT_ENABLED"}};
const NamedValue kStatusCodes[] = {
    {INITIALIZATION, "INITIALIZATION"},
    {AUTOTEST, "AUTOTEST"},
    {AUTOCALIBRATION, "AUTOCALIBRATION"},
    {SIGNALTEST, "SIGNALTEST"},
    {FUNCTIONALTEST, "FUNCTIONALTEST"},
    {WAITCABID, "WAITCABID"},
    {STAND_BYCBOFF, "STAND_BYCBOFF"},
    {LOCKSTAND_BYCBOFF, "LOCKSTAND_BYCBOFF"},
    {BYP_READY, "BYP_READY"},
    {PRECHARGE, "PRECHARGE"},
    {PRECHARGEFROMBATTERY, "PRECHARGEFROMBATTERY"},
    {POWER_OFF_ACTIVE, "POWER_OFF_ACTIVE"},
    {STAND_BYCBON, "STAND_BYCBON"},
    {STAND_BYLOCK, "STAND_BYLOCK"},
    {WAITRECHARGEBATT, "WAITRECHARGEBATT"},
    {CALIBRATION, "CALIBRATION"},
    {STARTING, "STARTING"},
    {ONLINE, "ONLINE"},
    {ONLINESAVING, "ONLINESAVING"},
    {ECOMODE, "ECOMODE"},
    {ECOMODESLOW, "ECOMODESLOW"},
    {ECOACTIVEMODE, "ECOACTIVEMODE"},
    {FREQUENCYCONVERTER, "FREQUENCYCONVERTER"},
    {FREQUENCYCONVERTERSAVING, "FREQUENCYCONVERTERSAVING"},
    {READYFOREMERGENCY, "READYFOREMERGENCY"},
    {BATTERYWORKING, "BATTERYWORKING"},
    {BATTERYWORKINGFORCED, "BATTERYWORKINGFORCED"},
    {BATTERYLOW, "BATTERYLOW"},
    {TEMPORARYBYPASS, "TEMPORARYBYPASS"},
    {BYPASSDUETOINVERTERLOCK, "BYPASSDUETOINVERTERLOCK"},
    {BYPASSFORCEDCOMMAND, "BYPASSFORCEDCOMMAND"},
    {REMOTEBYPASSCOMMAND, "REMOTEBYPASSCOMMAND"},
    {MANUALBYPASSACTIVE, "MANUALBYPASSACTIVE"},
    {BYPASSDUETOBATTERYENDED, "BYPASSDUETOBATTERYENDED"},
    {TEMPORARYINVERTER, "TEMPORARYINVERTER"},
    {INVERTERDUETOBYPASSLOCK, "INVERTERDUETOBYPASSLOCK"},
    {INVERTERFORCEDCOMMAND, "INVERTERFORCEDCOMMAND"},
    {POWERRICIRCULATION, "POWERRICIRCULATION"},
    {POWERRICICRCULATIONONBATTERY, "POWERRICICRCULATIONONBATTERY"},
    {LOADOFF, "LOADOFF"},
    {EMERGENCYPOWEROFF, "EMERGENCYPOWEROFF"},
    {DISCONNECTFROMTHELOAD, "DISCONNECTFROMTHELOAD"},
    {PMNOTPRESENT, "PMNOTPRESENT"},
    {PMCOMMLOST, "PMCOMMLOST"},
    {INVALID_CODE, "INVALID_CODE"}};
const NamedValue kTypeMachine[] = {{KRB, "KRB"}, {HD1, "HD1"}, {HD2, "HD2"}, {ZVL, "ZVL"}, {QDX, "QDX"}};
const NamedValue kCover[] = {{NEUTRO, "NEUTRO"}, {VARDEL, "VARDEL"}};
const NamedValue kInput[] = {{SINGLEINPUT, "SINGLEINPUT"}, {DUALINPUT, "DUALINPUT"}};
#endif
const NamedValue kIOCfg[] = {{MM, "MM"}, {MT, "MT"}, {TM, "TM"}, {TT, "TT"}};
const NamedValue kUpsType[] = {{LineInt_StepWave, "LineInt_StepWave"},
                               {LineInt_SinWave, "LineInt_SinWave"},
                               {OnLine, "OnLine"},
                               {OnLineANDLineInt, "OnLineANDLineInt"},
                               {ATS, "ATS"},
                               {STS, "STS"},
                               {MDU, "MDU"},
                               {ComboBox, "ComboBox"},
                               {PowerBox, "PowerBox"},
                               {Power25kBox, "Power25kBox"}};
const NamedValue kBoost[] = {{NoBoost, "NoBoost"}, {Boost, "Boost"}, {DoubleBoost, "DoubleBoost"}};
const NamedValue kBuck[] = {{NoBuck, "NoBuck"}, {Buck, "Buck"}, {DoubleBuck, "DoubleBuck"}};
const NamedValue kErrCtrl[] = {{CHKSUM, "CHKSUM"}, {CRC, "CRC"}};
const NamedValue kPwrShare[] = {{NoPWRSHARE, "NoPWRSHARE"}, {OneSocket, "OneSocket"}};
const NamedValue kBenches[] = {{OneBench, "OneBench"}, {TwoBenches, "TwoBenches"}};
const NamedValue kParallel[] = {{Single, "Single"},
                                {ParallelUPS_Slave, "ParallelUPS_Slave"},
                                {ParallelUPS_Master, "ParallelUPS_Master"}};

const char *const kAlarmFlags[] = {TVK_FLAGS_ALARM(TVK_FLAG_NAME)};
const char *const kStatusFlags[] = {TVK_FLAGS_STATUS(TVK_FLAG_NAME)};
const char *const kExtStatusFlags[] = {TVK_FLAGS_EXTSTATUS(TVK_FLAG_NAME)};
const char *const kSwitchFlags[] = {TVK_FLAGS_SWITCH(TVK_FLAG_NAME)};
const char *const kPMStatusFlags[] = {TVK_FLAGS_PMSTATUS_LO(TVK_FLAG_NAME) TVK_FLAGS_PMSTATUS_HI(TVK_FLAG_NAME)};
#if !defined(TVK_MODULAR)
const char *const kFlagExtFlags[] = {TVK_FLAGS_EXT0(TVK_FLAG_NAME) TVK_FLAGS_EXT1(TVK_FLAG_NAME)
                                         TVK_FLAGS_EXT2(TVK_FLAG_NAME) TVK_FLAGS_EXT3(TVK_FLAG_NAME)};
const char *const kCodingExtFlags[] = {
    TVK_FLAGS_SCX0(TVK_FLAG_NAME) TVK_FLAGS_SCX1(TVK_FLAG_NAME) TVK_FLAGS_SCX2(TVK_FLAG_NAME)
        TVK_FLAGS_SCX3(TVK_FLAG_NAME) TVK_FLAGS_SCX4(TVK_FLAG_NAME) TVK_FLAGS_SCX5(TVK_FLAG_NAME)
            TVK_FLAGS_SCX6(TVK_FLAG_NAME) TVK_FLAGS_SCX7(TVK_FLAG_NAME)};
#endif
const char *const kCodingFlags[] = {
    TVK_FLAGS_SC0(TVK_FLAG_NAME) TVK_FLAGS_SC1(TVK_FLAG_NAME) TVK_FLAGS_SC2(TVK_FLAG_NAME)
        TVK_FLAGS_SC3(TVK_FLAG_NAME) TVK_FLAGS_SC4(TVK_FLAG_NAME) TVK_FLAGS_SC5(TVK_FLAG_NAME)
            TVK_FLAGS_SC6(TVK_FLAG_NAME) TVK_FLAGS_SC7(TVK_FLAG_NAME) TVK_FLAGS_SC8(TVK_FLAG_NAME)
                TVK_FLAGS_SC9(TVK_FLAG_NAME) TVK_FLAGS_SC10(TVK_FLAG_NAME) TVK_FLAGS_SC11(TVK_FLAG_NAME)
                    TVK_FLAGS_SC12(TVK_FLAG_NAME) TVK_FLAGS_SC13(TVK_FLAG_NAME)
                        TVK_FLAGS_SC14(TVK_FLAG_NAME) TVK_FLAGS_SC15(TVK_FLAG_NAME)
                            TVK_FLAGS_SC16(TVK_FLAG_NAME) TVK_FLAGS_SC17(TVK_FLAG_NAME)
                                TVK_FLAGS_SC18(TVK_FLAG_NAME) TVK_FLAGS_SC19(TVK_FLAG_NAME)
                                    TVK_FLAGS_SC20(TVK_FLAG_NAME) TVK_FLAGS_SC21(TVK_FLAG_NAME)};
const char *const kBattStrFlags[] = {TVK_FLAGS_BATTSTR(TVK_FLAG_NAME)};
const char *const kSysStatusFlags[] = {TVK_FLAGS_SYSSTATUS(TVK_FLAG_NAME)};
const char *const kBoxStatusFlags[] = {TVK_FLAGS_BOXSTATUS(TVK_FLAG_NAME)};
const char *const kExtSwitchFlags[] = {TVK_FLAGS_EXTSWITCH(TVK_FLAG_NAME)};
const char *const kBattExtSwitchFlags[] = {TVK_FLAGS_BATTEXTSWITCH(TVK_FLAG_NAME)};
const char *const kSysMCUMUFlags[] = {TVK_FLAGS_SYSMCUMU(TVK_FLAG_NAME)};
const char *const kBoxMCUMUFlags[] = {TVK_FLAGS_BOXMCUMU(TVK_FLAG_NAME)};
const char *const kMcuStatusFlags[] = {TVK_FLAGS_MCUSTATUS(TVK_FLAG_NAME)};
const char *const kMUStatusFlags[] = {TVK_FLAGS_MUSTATUS(TVK_FLAG_NAME)};

#define NAMES(arr) arr, int(sizeof(arr) / sizeof(arr[0]))

std::string strf(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
std::string strf(const char *fmt, ...)
{
    char buf[256];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return buf;
}

// ---- Output: one interface, text and JSON renderings ----------------------------------

class Writer {
public:
    virtual ~Writer() = default;
    // An object; `key` null for the root or a list item. `oneLine` asks the text
    // rendering to put all its members on one line.
    virtual void begin(const char *key, bool oneLine = false) = 0;
    virtual void end() = 0;
    virtual void beginList(const char *key) = 0;   // a list of objects
    virtual void endList() = 0;
    virtual void num(const char *key, long long v) = 0;
    virtual void nums(const char *key, const long long *v, int n) = 0;
    // A fixed text array: shown up to its NUL or its size, unprintable bytes escaped.
    virtual void text(const char *key, const char *p, size_t size) = 0;
    virtual void str(const char *key, const std::string &s) = 0;
    virtual void enumVal(const char *key, unsigned v, const char *name) = 0;
    // Flag bytes: the raw value and the names of the bits that are set.
    virtual void flags(const char *key, const uint8 *bytes, int nbytes, const char *const *names,
                       int nnames) = 0;
    virtual void timestamp(const char *key, int32 t) = 0;
    virtual void link(const char *key, unsigned v) = 0;   // 255 = none
    virtual void strList(const char *key, const std::vector<std::string> &items) = 0;
};

class TextWriter : public Writer {
public:
    explicit TextWriter(std::string &out) : out_(out) {}

    void begin(const char *key, bool oneLine) override
    {
        std::string k = itemKey(key);
        if (k.empty() && frames_.empty()) {
            frames_.push_back({Frame::Root, "", 0});
            return;
        }
        if (inLine()) {   // nested inside a one-line object: keep on the line
            line_ += " " + k + "={";
            frames_.push_back({Frame::NestedInline, k, 0});
            return;
        }
        if (oneLine) {
            line_ = indent() + k + ":";
            frames_.push_back({Frame::Inline, k, 0});
        } else {
            out_ += indent() + k + ":\n";
            frames_.push_back({Frame::Object, k, 0});
            ++depth_;
        }
    }
    void end() override
    {
        if (frames_.empty())
            return;
        Frame f = frames_.back();
        frames_.pop_back();
        if (f.kind == Frame::Inline) {
            out_ += line_ + "\n";
            line_.clear();
        } else if (f.kind == Frame::NestedInline) {
            line_ += " }";
        } else if (f.kind == Frame::Object) {
            --depth_;
        }
    }
    void beginList(const char *key) override { frames_.push_back({Frame::List, key ? key : "", 0}); }
    void endList() override
    {
        if (!frames_.empty())
            frames_.pop_back();
    }
    void num(const char *key, long long v) override { scalar(key, strf("%lld", v)); }
    void nums(const char *key, const long long *v, int n) override
    {
        std::string s;
        for (int i = 0; i < n; ++i)
            s += (i ? " " : "") + strf("%lld", v[i]);
        scalar(key, s);
    }
    void text(const char *key, const char *p, size_t size) override
    {
        std::string s = "\"";
        for (size_t i = 0; i < size && p[i]; ++i) {
            unsigned char c = static_cast<unsigned char>(p[i]);
            if (c == '"' || c == '\\')
                s += std::string("\\") + char(c);
            else if (c >= 0x20 && c < 0x7F)
                s += char(c);
            else
                s += strf("\\x%02X", c);
        }
        scalar(key, s + "\"");
    }
    void str(const char *key, const std::string &s) override { scalar(key, s); }
    void enumVal(const char *key, unsigned v, const char *name) override
    {
        scalar(key, name ? strf("%s(%u)", name, v) : strf("unknown(%u)", v));
    }
    void flags(const char *key, const uint8 *bytes, int nbytes, const char *const *names, int nnames) override
    {
        std::string s;
        if (nbytes == 1)
            s = strf("0x%02X", bytes[0]);
        else if (nbytes == 2)
            s = strf("0x%04X", unsigned(bytes[0] | (bytes[1] << 8)));
        else
            for (int i = 0; i < nbytes; ++i)
                s += strf(i ? " %02X" : "%02X", bytes[i]);
        std::string set;
        for (int b = 0; b < nnames && b < nbytes * 8; ++b)
            if (bytes[b / 8] & (1u << (b % 8)))
                set += (set.empty() ? "" : " ") + std::string(names[b]);
        scalar(key, s + " [" + set + "]");
    }
    void timestamp(const char *key, int32 t) override
    {
        if (t == 0) {
            scalar(key, "0 (never)");
            return;
        }
        time_t tt = t;
        struct tm tmv;
        char buf[32] = "?";
        if (localtime_r(&tt, &tmv))
            strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tmv);
        scalar(key, strf("%d (%s)", int(t), buf));
    }
    void link(const char *key, unsigned v) override { scalar(key, v == NO_NODE ? "-" : strf("%u", v)); }
    void strList(const char *key, const std::vector<std::string> &items) override
    {
        for (const auto &s : items)
            scalar(key, s);
    }

private:
    struct Frame {
        enum Kind { Root, Object, Inline, NestedInline, List } kind;
        std::string key;
        int items;
    };
    bool inLine() const
    {
        return !frames_.empty() &&
               (frames_.back().kind == Frame::Inline || frames_.back().kind == Frame::NestedInline);
    }
    std::string itemKey(const char *key)
    {
        if (!key && !frames_.empty() && frames_.back().kind == Frame::List)
            return strf("%s[%d]", frames_.back().key.c_str(), frames_.back().items++);
        return key ? key : "";
    }
    std::string indent() const { return std::string(size_t(depth_) * 4, ' '); }
    void scalar(const char *key, const std::string &v)
    {
        if (inLine())
            line_ += std::string(" ") + key + "=" + v;
        else
            out_ += indent() + key + ": " + v + "\n";
    }

    std::string &out_;
    std::vector<Frame> frames_;
    std::string line_;
    int depth_ = 0;
};

class JsonWriter : public Writer {
public:
    explicit JsonWriter(std::string &out) : out_(out) {}

    void begin(const char *key, bool) override
    {
        open(key);
        out_ += "{";
        levels_.push_back({true, false});
    }
    void end() override
    {
        out_ += "}";
        if (!levels_.empty())
            levels_.pop_back();
    }
    void beginList(const char *key) override
    {
        open(key);
        out_ += "[";
        levels_.push_back({true, true});
    }
    void endList() override
    {
        out_ += "]";
        if (!levels_.empty())
            levels_.pop_back();
    }
    void num(const char *key, long long v) override
    {
        open(key);
        out_ += strf("%lld", v);
    }
    void nums(const char *key, const long long *v, int n) override
    {
        open(key);
        out_ += "[";
        for (int i = 0; i < n; ++i)
            out_ += (i ? "," : "") + strf("%lld", v[i]);
        out_ += "]";
    }
    void text(const char *key, const char *p, size_t size) override
    {
        open(key);
        quote(std::string(p, strnlen(p, size)));
    }
    void str(const char *key, const std::string &s) override
    {
        open(key);
        quote(s);
    }
    void enumVal(const char *key, unsigned v, const char *name) override
    {
        open(key);
        out_ += strf("{\"value\":%u,\"name\":", v);
        if (name)
            quote(name);
        else
            out_ += "null";
        out_ += "}";
    }
    void flags(const char *key, const uint8 *bytes, int nbytes, const char *const *names, int nnames) override
    {
        open(key);
        out_ += "{\"raw\":";
        if (nbytes <= 2) {
            out_ += strf("%u", unsigned(bytes[0] | (nbytes == 2 ? bytes[1] << 8 : 0)));
        } else {
            std::string hex;
            for (int i = 0; i < nbytes; ++i)
                hex += strf("%02X", bytes[i]);
            quote(hex);
        }
        out_ += ",\"set\":[";
        bool firstName = true;
        for (int b = 0; b < nnames && b < nbytes * 8; ++b) {
            if (!(bytes[b / 8] & (1u << (b % 8))))
                continue;
            if (!firstName)
                out_ += ",";
            firstName = false;
            quote(names[b]);
        }
        out_ += "]}";
    }
    void timestamp(const char *key, int32 t) override { num(key, t); }
    void link(const char *key, unsigned v) override
    {
        open(key);
        out_ += v == NO_NODE ? std::string("null") : strf("%u", v);
    }
    void strList(const char *key, const std::vector<std::string> &items) override
    {
        open(key);
        out_ += "[";
        for (size_t i = 0; i < items.size(); ++i) {
            if (i)
                out_ += ",";
            quote(items[i]);
        }
        out_ += "]";
    }

private:
    struct Level {
        bool first;
        bool list;
    };
    // Members of an object carry their key, items of a list do not.
    void open(const char *key)
    {
        bool inList = false;
        if (!levels_.empty()) {
            if (!levels_.back().first)
                out_ += ",";
            levels_.back().first = false;
            inList = levels_.back().list;
        }
        if (key && !inList) {
            quote(key);
            out_ += ":";
        }
    }
    // Bytes outside printable ASCII are escaped as \u00XX (the texts are single-byte).
    void quote(const std::string &s)
    {
        out_ += "\"";
        for (unsigned char c : s) {
            if (c == '"')
                out_ += "\\\"";
            else if (c == '\\')
                out_ += "\\\\";
            else if (c >= 0x20 && c < 0x7F)
                out_ += char(c);
            else
                out_ += strf("\\u%04X", c);
        }
        out_ += "\"";
    }

    std::string &out_;
    std::vector<Level> levels_;
};

// ---- Records ------------------------------------------------------------------------------

// Arrays inside packed records may sit at any address: they are copied out, never
// bound to a reference of their element type.
template <typename T, size_t N> void numArrayAt(Writer &w, const char *key, const void *p)
{
    T a[N];
    memcpy(a, p, sizeof a);
    long long v[N];
    for (size_t i = 0; i < N; ++i)
        v[i] = a[i];
    w.nums(key, v, int(N));
}
#define numArray(w, key, arr) \
    numArrayAt<std::decay_t<decltype((arr)[0])>, sizeof(arr) / sizeof((arr)[0])>((w), (key), (arr))

void flagByte(Writer &w, const char *key, uint8 b, const char *const *names, int n)
{
    w.flags(key, &b, 1, names, n);
}

void writeIdentification(Writer &w, const identification_t &id)
{
    w.begin("identification");
    w.timestamp("timestamp", id.timestamp);
    w.text("SN", id.SN, sizeof id.SN);
    w.text("Model", id.Model, sizeof id.Model);
    w.text("SWVer", id.SWVer, sizeof id.SWVer);
    w.enumVal("IO_Cfg", id.IO_Cfg, lookup(kIOCfg, id.IO_Cfg));
    w.enumVal("UPS_Type", id.UPS_Type, lookup(kUpsType, id.UPS_Type));
    w.enumVal("Boost_Cfg", id.Boost_Cfg, lookup(kBoost, id.Boost_Cfg));
    w.enumVal("Buck_Cfg", id.Buck_Cfg, lookup(kBuck, id.Buck_Cfg));
    w.enumVal("Error_CTRL", id.Error_CTRL, lookup(kErrCtrl, id.Error_CTRL));
    w.enumVal("PwrShareCfg", id.PwrShareCfg, lookup(kPwrShare, id.PwrShareCfg));
    w.enumVal("BattBenches", id.BattBenches, lookup(kBenches, id.BattBenches));
    w.num("NBattForBench", id.NBattForBench);
    w.enumVal("ParallelInfo", id.ParallelInfo, lookup(kParallel, id.ParallelInfo));
#if defined(TVK_MODULAR)
    numArray(w, "tbdGI", id.tbdGI);
#else
    w.enumVal("TypeMachine", id.TypeMachine, lookup(kTypeMachine, id.TypeMachine));
    w.enumVal("Cover", id.Cover, lookup(kCover, id.Cover));
    w.enumVal("TypeInput", id.TypeInput, lookup(kInput, id.TypeInput));
#endif
    w.text("SN_AUX", id.SN_AUX, sizeof id.SN_AUX);
    w.text("SWVer_AUX", id.SWVer_AUX, sizeof id.SWVer_AUX);
    numArray(w, "tbdGE", id.tbdGE);
    w.num("partialInfo", id.partialInfo);
    w.end();
}

void writeNominal(Writer &w, const nominal_t &n)
{
    w.begin("nominal", true);
    w.timestamp("timestamp", n.timestamp);
    w.num("VA", n.VA);
    w.num("W", n.W);
    w.num("BatteryV", n.BatteryV);
    w.num("BatteryAh", n.BatteryAh);
    w.num("Vout", n.Vout);
    w.num("FreqOut", n.FreqOut);
    w.end();
}

void writePanel(Writer &w, const panel_t &p)
{
    w.begin("panel", true);
    w.enumVal("value", p.value, lookup(kCmdTypes, p.value));
    w.num("delay_shut", p.delay_shut);
    w.num("delay_reboot", p.delay_reboot);
    w.end();
}

void writeData(Writer &w, const char *key, const dataObject_t &d)
{
    w.begin(key);
    w.timestamp("timestamp", d.timestamp);
    flagByte(w, "alarm", d.alarm, NAMES(kAlarmFlags));
    flagByte(w, "status", d.status, NAMES(kStatusFlags));
    flagByte(w, "extStatus", d.extStatus, NAMES(kExtStatusFlags));
    flagByte(w, "switchStatus", d.switchStatus, NAMES(kSwitchFlags));
    const uint8 pms[2] = {uint8(d.PMStatus & 0xFF), uint8(d.PMStatus >> 8)};
    w.flags("PMStatus", pms, 2, NAMES(kPMStatusFlags));
#if !defined(TVK_MODULAR)
    w.timestamp("FlagExt.timestamp", d.FlagExt.timestamp);
    w.flags("FlagExt", reinterpret_cast<const uint8 *>(d.FlagExt.states), 4, NAMES(kFlagExtFlags));
    w.enumVal("statusCode", d.statusCode, lookup(kStatusCodes, d.statusCode));
#endif
    numArray(w, "Load", d.Load);
    w.num("maxLoad", d.maxLoad);
    numArray(w, "Va", d.Va);
    numArray(w, "VAR", d.VAR);
    numArray(w, "Watt", d.Watt);
    w.num("Aut_time", d.Aut_time);
    w.num("Carica_adj", d.Carica_adj);
#if defined(TVK_MODULAR)
    w.num("VbatRS", d.VbatRS);
#endif
    w.num("Vbatp", d.Vbatp);
    w.num("Vbatn", d.Vbatn);
    w.num("Ibatp", d.Ibatp);
    w.num("Ibatn", d.Ibatn);
    numArray(w, "Vin", d.Vin);
    w.num("Frq_in", d.Frq_in);
    numArray(w, "Uin", d.Uin);
    numArray(w, "Iin", d.Iin);
    numArray(w, "Vbyp", d.Vbyp);
    w.num("Frq_byp", d.Frq_byp);
    numArray(w, "Ubyp", d.Ubyp);
    numArray(w, "Vout", d.Vout);
    w.num("Frq_out", d.Frq_out);
    numArray(w, "Uout", d.Uout);
    numArray(w, "Iout", d.Iout);
    numArray(w, "Iout_pk", d.Iout_pk);
#if defined(TVK_MODULAR)
    const long long temps[7] = {d.Temp0, d.Temp1, d.Temp2, d.Temp3, d.Temp4, d.Temp5, d.Temp6};
    w.nums("Temp0..Temp6", temps, 7);
    w.num("Cent_kwh", d.Cent_kwh);
#else
    w.num("Temp0", d.Temp0);
    w.num("Cent_kwh", d.Cent_kwh);
    numArray(w, "powerTemp", d.powerTemp);
    numArray(w, "batteryTemp", d.batteryTemp);
    numArray(w, "DCBusVolt", d.DCBusVolt);
    w.num("configCounter", d.configCounter);
    w.str("counter", strf("%uh %um %us", unsigned(d.counterHours), unsigned(d.counterMinutes),
                          unsigned(d.counterSeconds)));
#endif
    w.end();
}

void writeBatteries(Writer &w, const char *key, const dataBatteries_t &b)
{
    w.begin(key);
    w.timestamp("timestamp", b.timestamp);
    w.num("barsPosV", b.barsPosV);
    w.num("barsNegV", b.barsNegV);
    w.beginList("shelter");
    for (const dataBattery_t &s : b.shelter) {
        w.begin(nullptr, true);
        flagByte(w, "statusStrPos", s.statusStrPos.battStrStatus, NAMES(kBattStrFlags));
        flagByte(w, "statusStrNeg", s.statusStrNeg.battStrStatus, NAMES(kBattStrFlags));
        w.num("halfStrPosV", s.halfStrPosV);
        w.num("halfStrNegV", s.halfStrNegV);
        w.num("strPosI", s.strPosI);
        w.num("strNegI", s.strNegI);
        w.end();
    }
    w.endList();
    w.end();
}

void writeElem(Writer &w, const elemDesc_t &e)
{
    w.begin(nullptr, true);
#if defined(TVK_MODULAR)
    w.num("desc", e.desc);
    w.enumVal("alarmSt", e.alarmSt, lookup(kAlarmSt, e.alarmSt));
#else
    w.str("desc", strf("0x%04X", unsigned(e.desc)));
    w.enumVal("alarmSt", e.alarmSt, lookup(kAlarmSt, e.alarmSt));
    w.enumVal("elemSt", e.elemSt, lookup(kElemSt, e.elemSt));
#endif
    w.end();
}

void writeCoding(Writer &w, const char *key, const statusCoding_t &c)
{
    w.begin(key);
    w.timestamp("timestamp", c.timestamp);
    w.flags("states", reinterpret_cast<const uint8 *>(c.states), int(sizeof c.states), NAMES(kCodingFlags));
    w.end();
}

#if !defined(TVK_MODULAR)
void writeCodingExt(Writer &w, const char *key, const statusCodingExt_t &c)
{
    w.begin(key);
    w.timestamp("timestamp", c.timestamp);
    w.flags("states", reinterpret_cast<const uint8 *>(c.states), int(sizeof c.states), NAMES(kCodingExtFlags));
    w.end();
}
#endif

void writeSys(Writer &w, const descSys_t &s)
{
    w.begin("sys");
    numArray(w, "LoadRedundancy", s.LoadRedundancy);
    flagByte(w, "sysStatus", s.sysStatus, NAMES(kSysStatusFlags));
    flagByte(w, "boxStatus", s.boxStatus, NAMES(kBoxStatusFlags));
    flagByte(w, "externalSwitchStatus", s.externalSwitchStatus, NAMES(kExtSwitchFlags));
    flagByte(w, "MCUMUStatus", s.MCUMUStatus, NAMES(kSysMCUMUFlags));
    w.num("numBypassOff", s.numBypassOff);
    w.beginList("UPSBox");
    for (const elemDesc_t &e : s.subSystem.UPSBox)
        writeElem(w, e);
    w.endList();
    writeData(w, "Ups", s.Ups);
    writeBatteries(w, "Batteries", s.Batteries);
#if !defined(TVK_MODULAR)
    writeCoding(w, "statusDetail", s.statusDetail);
    writeCodingExt(w, "statusDetailExt", s.statusDetailExt);
#endif
    w.end();
}

void writeUpsBox(Writer &w, const descUpsBox_t &b)
{
    w.begin("upsBox");
    w.timestamp("timestamp", b.timestamp);
    flagByte(w, "boxStatus", b.boxStatus, NAMES(kBoxStatusFlags));
    flagByte(w, "externalSwitchStatus", b.externalSwitchStatus, NAMES(kExtSwitchFlags));
    flagByte(w, "mcuStatus", b.mcuStatus, NAMES(kMcuStatusFlags));
    flagByte(w, "MCUMUStatus", b.MCUMUStatus, NAMES(kBoxMCUMUFlags));
    w.beginList("UPSShelter");
    for (const elemDesc_t &e : b.subSystem.UPSShelter)
        writeElem(w, e);
    w.endList();
    writeData(w, "Ups", b.Ups);
    writeBatteries(w, "Batteries", b.Batteries);
#if !defined(TVK_MODULAR)
    writeCoding(w, "statusDetail", b.statusDetail);
    writeCodingExt(w, "statusDetailExt", b.statusDetailExt);
#endif
    w.end();
}

void writeBattBox(Writer &w, const descBattBox_t &b)
{
    w.begin("battBox");
    flagByte(w, "boxStatus", b.boxStatus, NAMES(kBoxStatusFlags));
    flagByte(w, "externalSwitchStatus", b.externalSwitchStatus, NAMES(kBattExtSwitchFlags));
    flagByte(w, "MUStatus", b.MUStatus, NAMES(kMUStatusFlags));
    w.beginList("BATTShelter");
    for (const elemDesc_t &e : b.subSystem.BATTShelter)
        writeElem(w, e);
    w.endList();
    w.beginList("MUShelter");
    writeElem(w, b.subSystem.MUShelter);
    w.endList();
    writeBatteries(w, "data", b.data);
    w.end();
}

void writeModule(Writer &w, const descModule_t &m)
{
    w.begin("module");
    writeData(w, "data", m.data);
    writeCoding(w, "statusDetail", m.statusDetail);
#if !defined(TVK_MODULAR)
    writeCodingExt(w, "statusDetailExt", m.statusDetailExt);
#endif
    w.end();
}

void writeExtension(Writer &w, const char *key, int index, const extNodeLayout_t &e)
{
    w.begin(key, true);
    w.num("index", index);
    w.enumVal("nodetype", e.nodetype, lookup(kNodeKinds, e.nodetype));
    w.num("DevType", e.DevType);
    w.text("DevTypeText", e.DevTypeText, sizeof e.DevTypeText);
    w.num("ComType", e.ComType);
    w.end();
}

// ---- Walking the tree -----------------------------------------------------------------------

struct Visit {
    int index;
    int level;
};

class TreeWalk {
public:
    TreeWalk(int slots) : slots_(slots) {}

    void run()
    {
        if (slots_ > 0)
            visit(0, 0);
    }
    const std::vector<Visit> &order() const { return order_; }
    std::vector<std::string> problems;

    void setNode(const std::function<const virtualNode_t &(int)> &get) { get_ = get; }

private:
    void visit(int index, int level)
    {
        seen_[index] = true;
        order_.push_back({index, level});
        const virtualNode_t &n = get_(index);
        if (n.nodetype == extNode)
            return;   // an extension node carries no links of its own
        follow(index, "son", n.son, level + 1);
        follow(index, "nxtBrother", n.nxtBrother, level);
    }
    void follow(int from, const char *what, unsigned to, int level)
    {
        if (to == NO_NODE)
            return;
        if (int(to) >= slots_) {
            problems.push_back(strf("node %d: %s %u is outside the segment (%d nodes)", from, what, to, slots_));
            return;
        }
        if (seen_[to]) {
            problems.push_back(strf("node %d: %s %u already shown (link cycle)", from, what, to));
            return;
        }
        visit(int(to), level);
    }

    int slots_;
    bool seen_[256] = {};
    std::vector<Visit> order_;
    std::function<const virtualNode_t &(int)> get_;
};

} // namespace

size_t maxSnapshotBytes() { return size_t(NO_NODE) * sizeof(virtualNode_t); }

void copyPublished(const uint8 *seg, size_t n, Snapshot &snap, const std::function<void()> &betweenTries)
{
    // The card brackets every publication with the counter of the extension node
    // (odd while a copy is under way). A tree too short for it, or one that is not
    // built, has no counter: one plain copy.
    std::atomic<uint32> *seq = nullptr;
    if (n >= 2 * sizeof(virtualNode_t))
        seq = treePublishSeq(reinterpret_cast<virtualNode_t *>(const_cast<uint8 *>(seg)));
    snap.settled = true;
    if (!seq) {
        snap.bytes.assign(seg, seg + n);
        return;
    }
    for (int tryNo = 0; tryNo < kSnapshotTries; ++tryNo) {
        const uint32 before = seq->load(std::memory_order_acquire);
        snap.bytes.assign(seg, seg + n);
        std::atomic_thread_fence(std::memory_order_acquire);
        if (!(before & 1) && seq->load(std::memory_order_relaxed) == before)
            return;
        if (betweenTries)
            betweenTries();
        else
            sysclock::sleepMs(1);
    }
    // The card published during every try (or left the counter odd): the last copy
    // is shown, marked as possibly mixed.
    snap.settled = false;
}

int takeSnapshot(const std::string &dir, Snapshot &snap, std::string &err)
{
    const std::string path = (dir.empty() ? std::string(".") : dir) + "/Tarvik";
    key_t key = ftok(path.c_str(), VIRTUALUPS_PROJID);
    if (key == key_t(-1)) {
        err = strf("cannot make the segment key from \"%s\": %s (no card runs in that directory)",
                   path.c_str(), strerror(errno));
        return EXIT_NO_SEGMENT;
    }
    int id = shmget(key, 0, 0);
    if (id < 0) {
        int e = errno;
        err = strf("no virtual UPS segment for key 0x%08X (\"%s\"): %s", unsigned(key), path.c_str(), strerror(e));
        return e == ENOENT ? EXIT_NO_SEGMENT : EXIT_UNREADABLE;
    }
    void *addr = shmat(id, nullptr, SHM_RDONLY);
    if (addr == reinterpret_cast<void *>(-1)) {
        err = strf("cannot attach the segment %d read-only: %s", id, strerror(errno));
        return EXIT_UNREADABLE;
    }
    // While attached the segment keeps its size: read the size now, copy, detach.
    struct shmid_ds ds;
    if (shmctl(id, IPC_STAT, &ds) < 0) {
        err = strf("cannot read the status of segment %d: %s", id, strerror(errno));
        shmdt(addr);
        return EXIT_UNREADABLE;
    }
    size_t n = ds.shm_segsz < maxSnapshotBytes() ? size_t(ds.shm_segsz) : maxSnapshotBytes();
    const uint8 *p = static_cast<const uint8 *>(addr);
    copyPublished(p, n, snap);
    shmdt(addr);
    snap.segmentSize = size_t(ds.shm_segsz);
    snap.key = int(key);
    snap.shmId = id;
    return EXIT_OK;
}

int formatTree(const Snapshot &snap, Format fmt, std::string &out)
{
    out.clear();
    std::unique_ptr<Writer> w;
    if (fmt == Format::Json)
        w.reset(new JsonWriter(out));
    else
        w.reset(new TextWriter(out));

    const size_t nodeSize = sizeof(virtualNode_t);
    const size_t usable = snap.bytes.size() < maxSnapshotBytes() ? snap.bytes.size() : maxSnapshotBytes();
    const int slots = int(usable / nodeSize);
    std::vector<std::string> problems;
    if (snap.segmentSize % nodeSize != 0)
        problems.push_back(strf("segment size %zu is not a multiple of the %s node size %zu "
                                "(written by a card of another profile?)",
                                snap.segmentSize, profile::fullRecords ? "full" : "reduced", nodeSize));
    if (slots == 0)
        problems.push_back(strf("segment of %zu bytes holds no whole node", snap.segmentSize));

    // Nodes are copied out of the snapshot before use (no alignment or aliasing assumptions).
    std::vector<virtualNode_t> nodes(static_cast<size_t>(slots));
    for (int i = 0; i < slots; ++i)
        memcpy(&nodes[size_t(i)], snap.bytes.data() + size_t(i) * nodeSize, nodeSize);

    TreeWalk walk(slots);
    walk.setNode([&nodes](int i) -> const virtualNode_t & { return nodes[size_t(i)]; });
    walk.run();
    for (const auto &p : walk.problems)
        problems.push_back(p);

    w->begin(nullptr);
    w->begin("segment", true);
    w->str("key", strf("0x%08X", unsigned(snap.key)));
    w->num("id", snap.shmId);
    w->num("bytes", (long long)snap.segmentSize);
    w->num("nodeSize", (long long)nodeSize);
    w->num("nodes", slots);
    w->str("layout", profile::fullRecords ? "full" : "reduced");
    w->end();

    w->beginList("nodes");
    for (const Visit &v : walk.order()) {
        const virtualNode_t &n = nodes[size_t(v.index)];
        w->begin(strf("node %d", v.index).c_str());
        w->num("index", v.index);
        w->num("level", v.level);
        w->enumVal("kind", n.nodetype, lookup(kNodeKinds, n.nodetype));
        if (n.nodetype == extNode) {
            extNodeLayout_t e;
            memcpy(&e, &n, sizeof e);
            writeExtension(*w, "extension", v.index, e);
            w->end();
            continue;
        }
        w->text("Description", n.Description, sizeof n.Description);
        w->text("ID", n.ID, sizeof n.ID);
        w->begin("links", true);
        w->num("idx", n.idx);
        w->link("nxtBrother", n.nxtBrother);
        w->link("prvBrother", n.prvBrother);
        w->link("son", n.son);
        w->link("ext", n.ext);
        w->end();
        if (n.ext != NO_NODE) {
            if (n.ext < slots) {
                extNodeLayout_t e;
                memcpy(&e, &nodes[n.ext], sizeof e);
                writeExtension(*w, "extension", n.ext, e);
            } else {
                problems.push_back(strf("node %d: ext %u is outside the segment (%d nodes)", v.index,
                                        unsigned(n.ext), slots));
            }
        }
        writeIdentification(*w, n.identification);
        writeNominal(*w, n.nominal);
        writePanel(*w, n.panel);
        switch (n.nodetype) {
        case sysNode: writeSys(*w, n.desc.sys); break;
        case upsBoxNode: writeUpsBox(*w, n.desc.upsBox); break;
        case battBoxNode: writeBattBox(*w, n.desc.battBox); break;
        case moduleNode:
        case bypassNode: writeModule(*w, n.desc.module); break;
        default: problems.push_back(strf("node %d: unknown kind %u, record not decoded", v.index, unsigned(n.nodetype)));
        }
        w->end();
    }
    w->endList();
    w->strList(fmt == Format::Json ? "problems" : "problem", problems);
    w->end();
    out += "\n";

    if (slots == 0)
        return EXIT_UNREADABLE;
    return problems.empty() ? EXIT_OK : EXIT_DAMAGED;
}

} // namespace vudump
