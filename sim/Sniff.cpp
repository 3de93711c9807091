#include "Sniff.h"

#include "DUVEX.h"
#include "KESP.h"
#include "ThreadKESP.h"
#include "VirtualUPSTypes.h"
#include "crc.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <ctime>

namespace tvksim {
namespace sniff {

namespace {

constexpr uint16_t VARIABLE_LEN = 0xFFFF;   // catalogue: length given by the inner frame (QT)

uint16_t be16(const uint8_t *p) { return uint16_t((uint16_t(p[0]) << 8) | p[1]); }
bool isNib(uint8_t c) { return c >= 0x30 && c <= 0x3F; }

// Data length from the header, or -1 when the length field cannot be one.
long lengthField(Bus bus, const uint8_t *p)
{
    if (bus == Bus::Kesp)
        return be16(p + 5);
    if (!isNib(p[5]) || !isNib(p[6]))
        return -1;
    return long(((p[5] - 0x30) << 4) | (p[6] - 0x30));
}

size_t overheadOf(Bus bus) { return bus == Bus::Kesp ? KESP_OVERHEAD : DUVEX_OVERHEAD; }
size_t maxFrameOf(Bus bus) { return bus == Bus::Kesp ? KESP_MAXFRAME : DUVEX_MAXFRAME; }

// Check code of a complete frame of that bus: computed and as carried. For the
// module bus a check character outside '0'..'?' can never match.
void checkOf(Bus bus, const uint8_t *p, size_t dataLen, uint16_t &calc, uint16_t &got, bool &ok)
{
    if (bus == Bus::Kesp) {
        calc = crcCalc(p + 1, int(dataLen + 6));
        got = be16(p + 7 + dataLen);
        ok = calc == got;
        return;
    }
    calc = DUVEX_CheckCode(p, uint8(dataLen));
    const uint8_t *c = p + 7 + dataLen;
    got = uint16_t(DUVEX_DCd2Dec(c, 4));
    ok = isNib(c[0]) && isNib(c[1]) && isNib(c[2]) && isNib(c[3]) && calc == got;
}

Role kespRole(const Frame &f)
{
    if (f.mainCmd == NCK)
        return Role::Nak;
    const KESP_MsgDesc *m = KESP_FindMsg(f.mainCmd, f.subCmd);
    if (!m)
        return Role::Query;
    if (m->kind == KESP_ReplyKind::Ack && f.dataLen == 1 && f.data()[0] == ACK && m->queryDataLen != 1)
        return Role::Ack;
    if (m->kind == KESP_ReplyKind::Ack && f.dataLen == 1 && f.data()[0] == ACK && f.dest != BROADCAST &&
        !isUpsBoxMU_NODE(f.dest))
        return Role::Ack;   // TB: the 1-byte query goes to an MU, its acknowledgement comes back from one
    if (m->kind == KESP_ReplyKind::Broadcast && f.dest == BROADCAST &&
        (m->replyDataLen == VARIABLE_LEN ? f.dataLen >= QTTIMESTAMPLEN : f.dataLen == m->replyDataLen))
        return Role::Reply;
    if (m->kind == KESP_ReplyKind::FromMU && isMU_NODE(f.src) && f.dataLen == m->replyDataLen)
        return Role::Reply;
    return Role::Query;
}

Role duvexRole(uint8_t src, uint8_t mainCmd, uint16_t dataLen)
{
    if (mainCmd == DUVEX_NAK)
        return Role::Nak;
    if (src >= '1' && src <= '8')
        return dataLen == 0 ? Role::Ack : Role::Reply;
    return Role::Query;
}

std::string hex2(uint8_t v)
{
    char b[4];
    snprintf(b, sizeof b, "%02X", v);
    return b;
}

std::string duvexAddr(uint8_t a)
{
    if (a > 0x20 && a < 0x7F)
        return std::string(1, char(a));
    return hex2(a);
}

std::string letters(uint8_t mainCmd, uint8_t subCmd)
{
    if (mainCmd == 0x15)
        return std::string("NAK") + (subCmd >= 0x20 && subCmd < 0x7F ? std::string(1, char(subCmd)) : hex2(subCmd));
    std::string s;
    for (uint8_t c : {mainCmd, subCmd})
        s += c > 0x20 && c < 0x7F ? std::string(1, char(c)) : "\\x" + hex2(c);
    return s;
}

std::string text(const uint8_t *p, size_t n)
{
    std::string s;
    for (size_t i = 0; i < n && p[i]; ++i)
        s += p[i] >= 0x20 && p[i] < 0x7F ? char(p[i]) : '.';
    while (!s.empty() && s.back() == ' ')
        s.pop_back();
    return s;
}

std::string num(long long v) { return std::to_string(v); }

std::string ms(int64_t us)
{
    char b[32];
    snprintf(b, sizeof b, "%.1f", double(us) / 1000.0);
    return b;
}

// N numbers of type T at p (packed records: copied out, never bound in place).
template <typename T, size_t N> std::string listAt(const uint8_t *p)
{
    T v[N];
    memcpy(v, p, sizeof v);
    std::string s;
    for (size_t i = 0; i < N; ++i)
        s += (i ? " " : "") + num((long long)v[i]);
    return s;
}

constexpr size_t upsOff(size_t field) { return offsetof(descUpsBox_t, Ups) + field; }

uint32_t hexN(const uint8_t *p, uint8_t n) { return DUVEX_DCd2Dec(p, n); }

} // namespace

const char *roleName(Role r)
{
    switch (r) {
    case Role::Query: return "query";
    case Role::Reply: return "reply";
    case Role::Ack: return "ack";
    case Role::Nak: return "refusal";
    }
    return "?";
}

bool parseFrame(Bus bus, const uint8_t *p, size_t n, Frame &out)
{
    const size_t over = overheadOf(bus);
    if (!p || n < over || n > maxFrameOf(bus) || p[0] != STX || p[n - 1] != ETX)
        return false;
    const long len = lengthField(bus, p);
    if (len < 0 || size_t(len) + over != n)
        return false;
    out.bus = bus;
    out.bytes.assign(p, p + n);
    out.src = p[1];
    out.dest = p[2];
    out.mainCmd = p[3];
    out.subCmd = p[4];
    out.dataLen = uint16_t(len);
    checkOf(bus, p, size_t(len), out.checkCalc, out.checkGot, out.checkOk);
    out.inner = Inner();
    if (bus == Bus::Duvex) {
        out.role = duvexRole(out.src, out.mainCmd, out.dataLen);
        return true;
    }
    out.role = kespRole(out);
    if (out.mainCmd == 'Q' && out.subCmd == 'T') {
        const size_t skip = out.role == Role::Reply ? QTTIMESTAMPLEN : 0;
        if (out.dataLen >= skip) {
            Frame in;
            if (parseFrame(Bus::Duvex, p + 7 + skip, out.dataLen - skip, in)) {
                Inner &i = out.inner;
                i.present = true;
                i.offset = 7 + skip;
                i.length = in.bytes.size();
                i.src = in.src;
                i.dest = in.dest;
                i.mainCmd = in.mainCmd;
                i.subCmd = in.subCmd;
                i.dataLen = in.dataLen;
                i.checkOk = in.checkOk;
                i.role = in.role;
                if (skip)
                    memcpy(&i.stamp, p + 7, sizeof i.stamp);
            }
        }
    }
    return true;
}

// ---- Decoder ---------------------------------------------------------------------

Decoder::Decoder(Bus bus, int64_t charUs, int64_t stallUs)
    : bus_(bus), charUs_(charUs < 0 ? 0 : charUs), stallUs_(stallUs > 0 ? stallUs : limitsOf(bus).byteGapUs)
{
}

void Decoder::emitNoise(std::vector<Event> &out)
{
    if (noise_.bytes.empty())
        return;
    Event e;
    e.kind = Event::NoiseSeen;
    e.noise = std::move(noise_);
    e.us = e.noise.firstUs;
    out.push_back(std::move(e));
    noise_ = Noise();
}

void Decoder::drop(size_t n, std::vector<Event> &out)
{
    n = std::min(n, buf_.size());
    for (size_t i = 0; i < n; ++i) {
        if (noise_.bytes.empty()) {
            noise_.firstUs = at_[i];
            noise_.brokenFrame = false;
        }
        noise_.brokenFrame = noise_.brokenFrame || buf_[i] == STX;
        noise_.bytes.push_back(buf_[i]);
        noise_.lastUs = at_[i];
        ++noiseTotal_;
        ++skipped_;
        if (noise_.bytes.size() >= NOISE_CHUNK)
            emitNoise(out);
    }
    buf_.erase(buf_.begin(), buf_.begin() + long(n));
    at_.erase(at_.begin(), at_.begin() + long(n));
}

size_t Decoder::candidate(size_t at, bool *impossible, bool *checkOk) const
{
    *impossible = false;
    const size_t have = buf_.size() - at;
    const uint8_t *p = buf_.data() + at;
    if (p[0] != STX) {
        *impossible = true;
        return 0;
    }
    if (have < 7)
        return 0;
    const long len = lengthField(bus_, p);
    const size_t over = overheadOf(bus_);
    if (len < 0 || size_t(len) + over > maxFrameOf(bus_)) {
        *impossible = true;
        return 0;
    }
    const size_t total = size_t(len) + over;
    if (have < total)
        return 0;
    if (p[total - 1] != ETX) {
        *impossible = true;
        return 0;
    }
    uint16_t calc, got;
    checkOf(bus_, p, size_t(len), calc, got, *checkOk);
    return total;
}

void Decoder::scan(std::vector<Event> &out)
{
    need_ = 0;
    while (!buf_.empty()) {
        if (buf_[0] != STX) {
            const size_t next = size_t(std::find(buf_.begin(), buf_.end(), STX) - buf_.begin());
            drop(next, out);
            continue;
        }
        bool impossible = false, ok = false;
        const size_t total = candidate(0, &impossible, &ok);
        if (impossible || (total == 0 && final_)) {
            drop(1, out);
            continue;
        }
        if (total == 0) {
            // Nothing changes before the header, then the whole candidate, is in.
            const long len = buf_.size() >= 7 ? lengthField(bus_, buf_.data()) : -1;
            need_ = len < 0 ? 7 : size_t(len) + overheadOf(bus_);
            return;
        }
        if (!ok) {
            // A good frame that starts inside a bad one wins: the bytes before it were
            // a frame cut short by another station (or noise that held an STX).
            bool restart = false, wait = false;
            for (size_t k = 1; k < total && !restart && !wait; ++k) {
                if (buf_[k] != STX)
                    continue;
                bool imp2 = false, ok2 = false;
                const size_t t2 = candidate(k, &imp2, &ok2);
                if (t2 && ok2)
                    restart = true, drop(k, out);
                else if (!t2 && !imp2 && !final_)
                    wait = true;
            }
            if (restart)
                continue;
            if (wait)
                return;
        }
        emitNoise(out);
        Event e;
        e.kind = Event::FrameSeen;
        parseFrame(bus_, buf_.data(), total, e.frame);
        e.frame.firstUs = at_[0];
        e.frame.lastUs = at_[total - 1];
        for (size_t i = 1; i < total; ++i)
            e.frame.maxGapUs = std::max(e.frame.maxGapUs, at_[i] - at_[i - 1]);
        e.frame.skippedBefore = skipped_;
        skipped_ = 0;
        e.us = e.frame.firstUs;
        out.push_back(std::move(e));
        buf_.erase(buf_.begin(), buf_.begin() + long(total));
        at_.erase(at_.begin(), at_.begin() + long(total));
    }
}

void Decoder::giveUp(std::vector<Event> &out)
{
    // Everything buffered is older than the stall: nothing more will complete it.
    final_ = true;
    scan(out);
    final_ = false;
    emitNoise(out);
}

void Decoder::feed(const uint8_t *p, size_t n, int64_t lastByteUs, std::vector<Event> &out)
{
    if (!p)
        return;
    const size_t limit = 2 * maxFrameOf(bus_);
    for (size_t i = 0; i < n; ++i) {
        int64_t t = lastByteUs - int64_t(n - 1 - i) * charUs_;
        if (t < lastUs_)
            t = lastUs_;
        lastUs_ = t;
        if (!buf_.empty() && t - at_.back() > stallUs_) {
            scan(out);
            if (!buf_.empty())
                giveUp(out);
        }
        buf_.push_back(p[i]);
        at_.push_back(t);
        if (buf_.size() >= limit)
            scan(out);
    }
    if (buf_.size() >= need_)
        scan(out);
}

void Decoder::expire(int64_t nowUs, std::vector<Event> &out)
{
    if (!buf_.empty() && nowUs - at_.back() > stallUs_)
        giveUp(out);
    else if (buf_.empty() && !noise_.bytes.empty() && nowUs - noise_.lastUs > stallUs_)
        emitNoise(out);
}

void Decoder::flush(std::vector<Event> &out) { giveUp(out); }

// ---- Text ------------------------------------------------------------------------

std::string clockText(int64_t wallUs)
{
    time_t s = time_t(wallUs / 1000000);
    struct tm tmv;
    localtime_r(&s, &tmv);
    char b[40];
    snprintf(b, sizeof b, "%02d:%02d:%02d.%06ld", tmv.tm_hour, tmv.tm_min, tmv.tm_sec, long(wallUs % 1000000));
    return b;
}

std::string describe(const Frame &f)
{
    std::string s = clockText(f.firstUs) + " ";
    if (f.bus == Bus::Kesp)
        s += hex2(f.src) + "->" + hex2(f.dest);
    else
        s += duvexAddr(f.src) + "->" + duvexAddr(f.dest);
    s += " " + letters(f.mainCmd, f.subCmd) + " len " + num(f.dataLen) + " check " + (f.checkOk ? "ok" : "BAD") + " " +
         roleName(f.role);
    if (f.inner.present) {
        const Inner &i = f.inner;
        s += " [" + duvexAddr(i.src) + "->" + duvexAddr(i.dest) + " " + letters(i.mainCmd, i.subCmd) + " len " +
             num(i.dataLen) + " check " + (i.checkOk ? "ok" : "BAD") + " " + roleName(i.role);
        if (f.role == Role::Reply)
            s += " stamp " + num(i.stamp);
        s += "]";
    } else if (f.mainCmd == 'Q' && f.subCmd == 'T') {
        s += " [no module-bus frame inside]";
    }
    if (f.skippedBefore)
        s += " after " + num((long long)f.skippedBefore) + " bytes skipped";
    if (f.collided)
        s += " COLLIDED";
    return s;
}

namespace {

using Fields = std::vector<std::pair<std::string, std::string>>;

void duvexFields(uint8_t mainCmd, uint8_t subCmd, uint8_t subCode, const uint8_t *d, size_t n, Role role, Fields &v)
{
    if (mainCmd == DUVEX_NAK) {
        v.push_back({"refusal code", std::string(1, char(subCode))});
        return;
    }
    if (role != Role::Reply)
        return;
    if (mainCmd == 'G' && subCmd == 'I' && n >= GIDATALENGTH) {
        v.push_back({"SN", text(d, 16)});
        v.push_back({"Model", text(d + 16, 16)});
        v.push_back({"SWVer", text(d + 32, 12)});
        v.push_back({"IO_Cfg", text(d + 44, 1)});
    } else if (mainCmd == 'G' && subCmd == 'N' && n >= GNDATALENGTH) {
        v.push_back({"VA", num(hexN(d, 5))});
        v.push_back({"W", num(hexN(d + 5, 5))});
        v.push_back({"BatteryV", num(hexN(d + 10, 3))});
        v.push_back({"BatteryAh", num(hexN(d + 13, 3))});
        v.push_back({"Vout", num(hexN(d + 16, 3))});
        v.push_back({"FreqOut", num(hexN(d + 19, 3))});
    }
}

} // namespace

std::vector<std::pair<std::string, std::string>> fields(const Frame &f)
{
    Fields v;
    const uint8_t *d = f.data();
    const size_t n = f.dataLen;
    if (f.bytes.size() < n + overheadOf(f.bus))
        return v;
    if (f.bus == Bus::Duvex) {
        duvexFields(f.mainCmd, f.subCmd, f.subCmd, d, n, f.role, v);
        return v;
    }
    if (f.role == Role::Nak) {
        v.push_back({"refusal code", std::string(1, char(f.subCmd))});
        return v;
    }
    if (f.role == Role::Ack) {
        v.push_back({"ack", d[0] == ACK ? "positive" : "negative"});
        return v;
    }
    const uint8_t m = f.mainCmd, s = f.subCmd;
    if (f.role == Role::Reply && m == 'B' && s == 'S' && n == REPLYBSLEN) {
        descUpsBox_t r;
        memcpy(&r, d, sizeof r);
        v.push_back({"timestamp", num(r.timestamp)});
        v.push_back({"Ups.timestamp", num(r.Ups.timestamp)});
#if !defined(TVK_MODULAR)
        v.push_back({"statusCode", num(r.Ups.statusCode)});
#endif
        v.push_back({"alarm", "0x" + hex2(r.Ups.alarm)});
        v.push_back({"status", "0x" + hex2(r.Ups.status)});
        v.push_back({"Vin", listAt<uint16_t, 3>(d + upsOff(offsetof(dataObject_t, Vin)))});
        v.push_back({"Vbyp", listAt<uint16_t, 3>(d + upsOff(offsetof(dataObject_t, Vbyp)))});
        v.push_back({"Vout", listAt<uint16_t, 3>(d + upsOff(offsetof(dataObject_t, Vout)))});
        v.push_back({"Frq_out", num(r.Ups.Frq_out)});
        v.push_back({"Load", listAt<int16_t, 3>(d + upsOff(offsetof(dataObject_t, Load)))});
        v.push_back({"boxStatus", "0x" + hex2(r.boxStatus)});
        v.push_back({"mcuStatus", "0x" + hex2(r.mcuStatus)});
        v.push_back({"MCUMUStatus", "0x" + hex2(r.MCUMUStatus)});
        v.push_back({"idu", num(d[BSRECORDLEN])});
    } else if (f.role == Role::Reply && m == 'B' && s == 'N' && n == sizeof(nominal_t)) {
        nominal_t r;
        memcpy(&r, d, sizeof r);
        v.push_back({"timestamp", num(r.timestamp)});
        v.push_back({"VA", num(r.VA)});
        v.push_back({"W", num(r.W)});
        v.push_back({"BatteryV", num(r.BatteryV)});
        v.push_back({"BatteryAh", num(r.BatteryAh)});
        v.push_back({"Vout", num(r.Vout)});
        v.push_back({"FreqOut", num(r.FreqOut)});
    } else if (f.role == Role::Reply && m == 'B' && s == 'I' && n == sizeof(identification_t)) {
        identification_t r;
        memcpy(&r, d, sizeof r);
        v.push_back({"timestamp", num(r.timestamp)});
        v.push_back({"SN", text(reinterpret_cast<const uint8_t *>(r.SN), sizeof r.SN)});
        v.push_back({"Model", text(reinterpret_cast<const uint8_t *>(r.Model), sizeof r.Model)});
        v.push_back({"SWVer", text(reinterpret_cast<const uint8_t *>(r.SWVer), sizeof r.SWVer)});
        v.push_back({"SN_AUX", text(reinterpret_cast<const uint8_t *>(r.SN_AUX), sizeof r.SN_AUX)});
        v.push_back({"SWVer_AUX", text(reinterpret_cast<const uint8_t *>(r.SWVer_AUX), sizeof r.SWVer_AUX)});
    } else if (m == 'C' && s == 'N' && n == sizeof(CNData_t)) {
        CNData_t r;
        memcpy(&r, d, sizeof r);
        int fob = int(r.bitStatus & 3);
        if (fob & 2)
            fob -= 4;
        v.push_back({"build", num(r.build)});
        v.push_back({"nextMaster", hex2(r.nextMaster)});
        v.push_back({"forcedOnBypass", num(fob)});
        v.push_back({"TftTime", num(r.clksData.TftTime)});
    } else if (f.role == Role::Reply && m == 'G' && s == 'I' && n == REPLYGILEN) {
        v.push_back({"SerialNumber", text(d, 16)});
        v.push_back({"UpsConfig", text(d + 16, 16)});
        v.push_back({"FWVersion", text(d + 32, 12)});
        v.push_back({"Address", num(be16(d + 44))});
        v.push_back({"SkCfg", num(be16(d + 46))});
        v.push_back({"cfg1", num(be16(d + 48))});
    } else if (m == 'Q' && s == 'T' && f.inner.present) {
        const Inner &i = f.inner;
        const uint8_t *id = f.bytes.data() + i.offset;
        if (f.role == Role::Reply)
            v.push_back({"remoteTimestamp", num(i.stamp)});
        duvexFields(i.mainCmd, i.subCmd, i.subCmd, id + 7, i.dataLen, i.role, v);
    }
    return v;
}

// ---- Figures -----------------------------------------------------------------------

Limits limitsOf(Bus bus)
{
    if (bus == Bus::Kesp)
        return {int64_t(READTIMEOUT) * 1000, int64_t(READTIMEOUT) * 1000, 0};
    return {int64_t(DUVEX_FIRSTBYTETIMEOUT) * 1000, int64_t(DUVEX_READTIMEOUT) * 1000,
            int64_t(DUVEX_MAXEXCHANGEMS + 1) * 1000};
}

void Figure::add(int64_t us, int64_t limitUs)
{
    if (n == 0 || us < minUs)
        minUs = us;
    if (n == 0 || us > maxUs)
        maxUs = us;
    sumUs += us;
    ++n;
    if (limitUs > 0 && us > limitUs)
        ++over;
}

std::string Figure::text(int64_t limitUs) const
{
    if (n == 0)
        return "none";
    std::string s = "n " + num((long long)n) + "  min " + ms(minUs) + "  avg " + ms(sumUs / int64_t(n)) + "  max " +
                    ms(maxUs) + " ms";
    if (limitUs > 0)
        s += "  over " + ms(limitUs) + " ms: " + num((long long)over);
    return s;
}

Stats::Stats(Bus bus) : bus_(bus), lim_(limitsOf(bus)) {}

namespace {

bool expectsReply(const Frame &f)
{
    if (!f.checkOk || f.role != Role::Query)
        return false;
    if (f.bus == Bus::Duvex)
        return true;
    if (f.dest == BROADCAST)
        return false;
    const KESP_MsgDesc *m = KESP_FindMsg(f.mainCmd, f.subCmd);
    return m && m->kind != KESP_ReplyKind::None && m->kind != KESP_ReplyKind::Unsupported;
}

bool answers(const Frame &reply, const Frame &query)
{
    if (reply.role == Role::Query || reply.src != query.dest)
        return false;
    return reply.role == Role::Nak || (reply.mainCmd == query.mainCmd && reply.subCmd == query.subCmd);
}

std::string stationName(Bus bus, uint8_t a)
{
    char b[64];
    if (bus == Bus::Kesp) {
        if (isMCU_NODE(a))
            snprintf(b, sizeof b, "%02X (card of cabinet %c)", a, MCU2letter(a));
        else if (isUpsBoxMU_NODE(a))
            snprintf(b, sizeof b, "%02X (MU board of cabinet %c)", a, char('A' + MU2id(a)));
        else if (isMU_NODE(a))
            snprintf(b, sizeof b, "%02X (MU board)", a);
        else if (isMasterCapable(a))
            snprintf(b, sizeof b, "%02X (master-capable station)", a);
        else
            snprintf(b, sizeof b, "%02X", a);
    } else {
        if (a == DUVEX_MASTERADDR)
            snprintf(b, sizeof b, "20 (polling master)");
        else if (a >= 'A' && a <= 'D')
            snprintf(b, sizeof b, "%c (commands of cabinet %c)", a, a);
        else if (a == DUVEX_BYPASSADDR)
            snprintf(b, sizeof b, "8 (bypass module)");
        else if (a >= '1' && a <= '7')
            snprintf(b, sizeof b, "%c (power module)", a);
        else
            snprintf(b, sizeof b, "%02X", a);
    }
    return b;
}

} // namespace

int64_t Stats::add(const Event &e)
{
    if (e.kind == Event::Break) {
        ++breaks_;
        havePending_ = false;
        return -1;
    }
    if (e.kind == Event::NoiseSeen) {
        noiseBytes_ += e.noise.bytes.size();
        ++noiseSpans_;
        if (e.noise.brokenFrame)
            ++broken_;
        lineFreeUs_ = std::max(lineFreeUs_, e.noise.lastUs);
        return -1;
    }
    const Frame &f = e.frame;
    StationStats &s = st_[f.src];
    ++s.frames;
    if (!f.checkOk)
        ++s.badCheck;
    if (f.collided)
        ++s.collided;
    switch (f.role) {
    case Role::Query: ++s.queries; break;
    case Role::Reply: ++s.replies; break;
    case Role::Ack: ++s.acks; break;
    case Role::Nak: ++s.naks; break;
    }
    s.holdTime.add(f.lastUs - f.firstUs, 0);
    s.byteGap.add(f.maxGapUs, lim_.byteGapUs);
    if (lineFreeUs_ >= 0 && f.firstUs >= lineFreeUs_) {
        const int64_t idle = f.firstUs - lineFreeUs_;
        s.turnaround.add(idle, 0);
        maxIdleUs_ = std::max(maxIdleUs_, idle);
    }
    lineFreeUs_ = std::max(lineFreeUs_, f.lastUs);

    int64_t replyUs = -1;
    if (havePending_) {
        if (answers(f, pending_)) {
            replyUs = f.firstUs - pending_.lastUs;
            s.replyTime.add(replyUs, lim_.replyUs);
            if (lim_.exchangeUs)
                s.exchangeTime.add(f.lastUs - pending_.lastUs, lim_.exchangeUs);
        } else {
            ++st_[pending_.dest].unanswered;
        }
        havePending_ = false;
    }
    if (expectsReply(f)) {
        pending_ = Frame();
        pending_.bus = f.bus;
        pending_.src = f.src;
        pending_.dest = f.dest;
        pending_.mainCmd = f.mainCmd;
        pending_.subCmd = f.subCmd;
        pending_.lastUs = f.lastUs;
        havePending_ = true;
    }
    return replyUs;
}

std::string Stats::report() const
{
    std::string r = std::string(bus_ == Bus::Kesp ? "cabinet bus" : "module bus") + ": " + num((long long)st_.size()) +
                    " stations\n";
    for (const auto &kv : st_) {
        const StationStats &s = kv.second;
        r += "station " + stationName(bus_, kv.first) + ": frames " + num((long long)s.frames) + " (bad check " +
             num((long long)s.badCheck) + ")  queries " + num((long long)s.queries) + "  replies " +
             num((long long)s.replies) + "  acks " + num((long long)s.acks) + "  refusals " + num((long long)s.naks) +
             "  queries to it unanswered " + num((long long)s.unanswered);
        if (s.collided)
            r += "  collided " + num((long long)s.collided);
        r += "\n";
        r += "  reply time   " + s.replyTime.text(lim_.replyUs) + "\n";
        if (lim_.exchangeUs)
            r += "  exchange     " + s.exchangeTime.text(lim_.exchangeUs) + "\n";
        r += "  hold time    " + s.holdTime.text(0) + "\n";
        r += "  byte gap     " + s.byteGap.text(lim_.byteGapUs) + "\n";
        r += "  gap before   " + s.turnaround.text(0) + "\n";
    }
    r += "line: noise " + num((long long)noiseBytes_) + " bytes in " + num((long long)noiseSpans_) + " spans, " +
         num((long long)broken_) + " broken frames (collision or noise), longest silence " + ms(maxIdleUs_) +
         " ms, breaks ";
    r += breaksReported_ ? num((long long)breaks_) : std::string("not reported by this port");
    if (frameErr_ || overrun_ || parity_)
        r += ", framing errors " + num((long long)frameErr_) + ", overruns " + num((long long)overrun_) +
             ", parity errors " + num((long long)parity_);
    r += "\n";
    return r;
}

// ---- pcap --------------------------------------------------------------------------

std::vector<uint8_t> pseudoHeader(const Event &e, Bus bus)
{
    std::vector<uint8_t> h(PSEUDO_HEADER_LEN, 0);
    h[0] = 1;
    h[1] = uint8_t(bus);
    uint8_t flags = 0;
#if defined(TVK_MODULAR)
    flags |= 0x10;
#endif
    h[4] = 0xFF;
    if (e.kind == Event::FrameSeen) {
        const Frame &f = e.frame;
        h[2] = 0;
        if (f.checkOk)
            flags |= 0x01;
        if (f.role != Role::Query)
            flags |= 0x02;
        if (f.role == Role::Ack || f.role == Role::Nak)
            flags |= 0x04;
        if (f.collided)
            flags |= 0x08;
        if (f.port >= 0 && f.port < 0xFF)
            h[4] = uint8_t(f.port);
        const size_t sk = std::min<size_t>(f.skippedBefore, 0xFFFF);
        h[6] = uint8_t(sk >> 8);
        h[7] = uint8_t(sk);
    } else if (e.kind == Event::NoiseSeen) {
        h[2] = 1;
        if (e.noise.brokenFrame)
            flags |= 0x20;
    } else {
        h[2] = 2;
    }
    h[3] = flags;
    return h;
}

PcapWriter::~PcapWriter() { close(); }

namespace {
void put32(std::vector<uint8_t> &v, uint32_t x)
{
    // The file is written in this machine's byte order, as its magic number tells.
    uint8_t b[4];
    memcpy(b, &x, 4);
    v.insert(v.end(), b, b + 4);
}
void put16(std::vector<uint8_t> &v, uint16_t x)
{
    uint8_t b[2];
    memcpy(b, &x, 2);
    v.insert(v.end(), b, b + 2);
}
} // namespace

bool PcapWriter::open(const std::string &path)
{
    close();
    f_ = fopen(path.c_str(), "wb");
    if (!f_)
        return false;
    std::vector<uint8_t> h;
    put32(h, 0xA1B2C3D4);   // microsecond time stamps
    put16(h, 2);
    put16(h, 4);
    put32(h, 0);            // time zone
    put32(h, 0);            // accuracy
    put32(h, 65535);        // snapshot length
    put32(h, PCAP_LINKTYPE);
    if (fwrite(h.data(), 1, h.size(), f_) != h.size()) {
        close();
        return false;
    }
    fflush(f_);
    return true;
}

void PcapWriter::write(const Event &e, Bus bus, int64_t wallUs)
{
    if (!f_)
        return;
    std::vector<uint8_t> pkt = pseudoHeader(e, bus);
    if (e.kind == Event::FrameSeen)
        pkt.insert(pkt.end(), e.frame.bytes.begin(), e.frame.bytes.end());
    else if (e.kind == Event::NoiseSeen)
        pkt.insert(pkt.end(), e.noise.bytes.begin(), e.noise.bytes.end());
    std::vector<uint8_t> rec;
    if (wallUs < 0)
        wallUs = 0;
    put32(rec, uint32_t(wallUs / 1000000));
    put32(rec, uint32_t(wallUs % 1000000));
    put32(rec, uint32_t(pkt.size()));
    put32(rec, uint32_t(pkt.size()));
    rec.insert(rec.end(), pkt.begin(), pkt.end());
    if (fwrite(rec.data(), 1, rec.size(), f_) == rec.size())
        ++packets_;
    fflush(f_);
}

void PcapWriter::close()
{
    if (f_)
        fclose(f_);
    f_ = nullptr;
}

} // namespace sniff
} // namespace tvksim
