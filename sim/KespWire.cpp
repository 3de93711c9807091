#include "KespWire.h"

#include "Profile.h"

#include <cstdio>
#include <cstring>

namespace tvksim {
namespace kesp {

namespace {

uint16_t be16(const uint8_t *p) { return uint16_t((p[0] << 8) | p[1]); }

void putBe16(std::vector<uint8_t> &v, uint16_t x)
{
    v.push_back(uint8_t(x >> 8));
    v.push_back(uint8_t(x & 0xFF));
}

template <typename T> void putHost(std::vector<uint8_t> &v, size_t off, T x)
{
    std::memcpy(v.data() + off, &x, sizeof x);
}

template <typename T> T getHost(const std::vector<uint8_t> &v, size_t off)
{
    T x;
    std::memcpy(&x, v.data() + off, sizeof x);
    return x;
}

// A text field: the text padded with blanks to width - 1, then NUL.
void putText(std::vector<uint8_t> &v, size_t off, const std::string &s, size_t width)
{
    for (size_t i = 0; i + 1 < width; ++i)
        v[off + i] = i < s.size() ? uint8_t(s[i]) : uint8_t(' ');
    v[off + width - 1] = 0;
}

// Raw characters, padded with blanks (GI texts carry no terminator).
void putChars(std::vector<uint8_t> &v, const std::string &s, size_t width)
{
    for (size_t i = 0; i < width; ++i)
        v.push_back(i < s.size() ? uint8_t(s[i]) : uint8_t(' '));
}

} // namespace

uint16_t crc(const uint8_t *p, size_t n, uint16_t init)
{
    uint16_t c = init;
    for (size_t i = 0; i < n; ++i) {
        c ^= p[i];
        for (int b = 0; b < 8; ++b)
            c = (c & 1) ? uint16_t((c >> 1) ^ 0x8408) : uint16_t(c >> 1);
    }
    return c;
}

Frame makeFrame(uint8_t src, uint8_t dest, uint8_t mainCmd, uint8_t subCmd, const std::vector<uint8_t> &data,
                bool badCheck, int lenFieldDelta)
{
    Frame f;
    f.reserve(data.size() + OVERHEAD);
    f.push_back(STX);
    f.push_back(src);
    f.push_back(dest);
    f.push_back(mainCmd);
    f.push_back(subCmd);
    putBe16(f, uint16_t(int(data.size()) + lenFieldDelta));
    f.insert(f.end(), data.begin(), data.end());
    uint16_t c = crc(f.data() + 1, f.size() - 1);
    if (badCheck)
        c ^= 0x5A5A;
    putBe16(f, c);
    f.push_back(ETX);
    return f;
}

Frame makeAck(uint8_t src, uint8_t dest, uint8_t mainCmd, uint8_t subCmd)
{
    return makeFrame(src, dest, mainCmd, subCmd, {ACK});
}

Frame makeNak(uint8_t src, uint8_t dest, uint8_t code) { return makeFrame(src, dest, NAK, code, {}); }

bool parse(const Frame &f, Header &h, bool *checkOk)
{
    if (f.size() < OVERHEAD || f[0] != STX || f.back() != ETX)
        return false;
    const size_t n = be16(f.data() + 5);
    if (n + OVERHEAD != f.size())
        return false;
    h.src = f[1];
    h.dest = f[2];
    h.mainCmd = f[3];
    h.subCmd = f[4];
    h.dataLen = uint16_t(n);
    if (checkOk)
        *checkOk = crc(f.data() + 1, n + 6) == be16(f.data() + 7 + n);
    return true;
}

std::vector<uint8_t> dataOf(const Frame &f)
{
    Header h;
    if (!parse(f, h))
        return {};
    return std::vector<uint8_t>(f.begin() + 7, f.begin() + 7 + h.dataLen);
}

std::string describe(const Frame &f)
{
    Header h;
    bool ok = false;
    if (!parse(f, h, &ok))
        return "not a frame (" + std::to_string(f.size()) + " bytes)";
    char buf[96];
    auto letter = [](uint8_t c) { return (c >= 0x20 && c < 0x7F) ? char(c) : '?'; };
    std::snprintf(buf, sizeof buf, "%02X->%02X %c%c len %u %s", h.src, h.dest,
                  h.mainCmd == NAK ? '!' : letter(h.mainCmd), letter(h.subCmd), unsigned(h.dataLen),
                  ok ? "ok" : "BAD CHECK");
    return buf;
}

std::string hex(const uint8_t *p, size_t n)
{
    std::string s;
    char b[4];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, i ? " %02X" : "%02X", p[i]);
        s += b;
    }
    return s;
}

// ---- FrameScanner ------------------------------------------------------------

FrameScanner::FrameScanner(size_t maxData, int stallMs)
    : maxData_(maxData > MAX_DATA ? MAX_DATA : maxData), stallUs_(int64_t(stallMs) * 1000)
{
}

void FrameScanner::clear()
{
    buf_.clear();
    at_.clear();
}

void FrameScanner::dropFront()
{
    buf_.erase(buf_.begin());
    at_.erase(at_.begin());
    ++skipped_;
}

void FrameScanner::scan(std::vector<Found> &out)
{
    for (;;) {
        size_t i = 0;
        while (i < buf_.size() && buf_[i] != STX)
            ++i;
        if (i) {
            buf_.erase(buf_.begin(), buf_.begin() + long(i));
            at_.erase(at_.begin(), at_.begin() + long(i));
            skipped_ += i;
        }
        if (buf_.size() < 7)
            return;
        const size_t n = be16(buf_.data() + 5);
        if (n > maxData_) {
            dropFront();
            continue;
        }
        const size_t total = n + OVERHEAD;
        if (buf_.size() < total)
            return;
        if (buf_[total - 1] != ETX) {
            dropFront();
            continue;
        }
        Found f;
        f.bytes.assign(buf_.begin(), buf_.begin() + long(total));
        f.checkOk = crc(f.bytes.data() + 1, n + 6) == be16(f.bytes.data() + 7 + n);
        f.firstUs = at_[0];
        f.lastUs = at_[total - 1];
        buf_.erase(buf_.begin(), buf_.begin() + long(total));
        at_.erase(at_.begin(), at_.begin() + long(total));
        out.push_back(std::move(f));
    }
}

void FrameScanner::feed(const uint8_t *p, size_t n, int64_t atUs, std::vector<Found> &out)
{
    expire(atUs, out);
    for (size_t i = 0; i < n; ++i) {
        buf_.push_back(p[i]);
        at_.push_back(atUs);
        // Scanning byte by byte keeps the buffer below one frame.
        if (buf_.size() >= 7)
            scan(out);
        else if (buf_[0] != STX)
            scan(out);
    }
}

int64_t FrameScanner::deadlineUs() const
{
    if (buf_.empty())
        return -1;
    return at_.back() + stallUs_;
}

void FrameScanner::expire(int64_t nowUs, std::vector<Found> &out)
{
    while (!buf_.empty() && nowUs - at_.back() >= stallUs_) {
        dropFront();
        scan(out);
    }
}

// ---- Records -----------------------------------------------------------------

RecordLayout buildLayout() { return profile::fullRecords ? RecordLayout::Full : RecordLayout::Reduced; }

const CabinetOffsets &cabinetOffsets(RecordLayout l)
{
    // Record offsets: cabinet time stamp (4), then the Ups data record at 4.
    static const CabinetOffsets full = {
        331,
        0,
        4,
        4 + 4, 4 + 5, 4 + 6, 4 + 7, 4 + 8,
        4 + 18,
        4 + 78, 4 + 84, 4 + 104, 4 + 118, 4 + 124,
        189,
        287,
        289, 290, 291, 292,
        293,
    };
    static const CabinetOffsets reduced = {
        267,
        0,
        4,
        4 + 4, 4 + 5, 4 + 6, 4 + 7, 4 + 8,
        -1,
        4 + 71, 4 + 77, 4 + 97, 4 + 111, 4 + 117,
        164,
        262,
        263, 264, 265, 266,
        -1,
    };
    return l == RecordLayout::Full ? full : reduced;
}

CabinetImage::CabinetImage(RecordLayout l) : layout_(l), b_(BS_LEN, 0)
{
    b_[BS_LEN - 1] = 0xFF;   // the cabinet holds no master module
}

CabinetImage &CabinetImage::setU8(size_t off, uint8_t v)
{
    if (off < BS_LEN)
        b_[off] = v;
    return *this;
}

CabinetImage &CabinetImage::setU16(size_t off, uint16_t v)
{
    if (off + 2 <= BS_RECORD_AREA)
        putHost(b_, off, v);
    return *this;
}

CabinetImage &CabinetImage::setI32(size_t off, int32_t v)
{
    if (off + 4 <= BS_RECORD_AREA)
        putHost(b_, off, v);
    return *this;
}

CabinetImage &CabinetImage::setTimestamp(int32_t t)
{
    setI32(offsets().timestamp, t);
    return setI32(offsets().upsTimestamp, t);
}

CabinetImage &CabinetImage::setStatusCode(uint8_t code)
{
    if (offsets().statusCode >= 0)
        setU8(size_t(offsets().statusCode), code);
    return *this;
}

CabinetImage &CabinetImage::setIdu(uint8_t idu) { return setU8(BS_LEN - 1, idu); }
CabinetImage &CabinetImage::setAlarm(uint8_t v) { return setU8(offsets().alarm, v); }
CabinetImage &CabinetImage::setStatus(uint8_t v) { return setU8(offsets().status, v); }
CabinetImage &CabinetImage::setExtStatus(uint8_t v) { return setU8(offsets().extStatus, v); }
CabinetImage &CabinetImage::setBoxStatus(uint8_t v) { return setU8(offsets().boxStatus, v); }
CabinetImage &CabinetImage::setFrqOut(uint16_t v) { return setU16(offsets().frqOut, v); }

CabinetImage &CabinetImage::setVout(int phase, uint16_t v)
{
    if (phase < 0 || phase > 2)
        return *this;
    return setU16(offsets().vout + 2 * size_t(phase), v);
}

std::vector<uint8_t> Nominal::encode() const
{
    std::vector<uint8_t> v(BN_LEN, 0);
    putHost(v, 0, timestamp);
    putHost(v, 4, VA);
    putHost(v, 8, W);
    putHost(v, 12, BatteryV);
    putHost(v, 14, BatteryAh);
    putHost(v, 16, Vout);
    putHost(v, 18, FreqOut);
    return v;
}

std::vector<uint8_t> Identification::encode() const
{
    std::vector<uint8_t> v(BI_LEN, 0);
    putHost(v, 0, timestamp);
    putText(v, 4, SN, 17);
    putText(v, 21, Model, 17);
    putText(v, 38, SWVer, 13);
    const uint8_t e[12] = {IO_Cfg, UPS_Type, Boost_Cfg, Buck_Cfg, Error_CTRL, PwrShareCfg,
                           BattBenches, NBattForBench, ParallelInfo, TypeMachine, Cover, TypeInput};
    std::memcpy(v.data() + 51, e, sizeof e);
    putText(v, 63, SN_AUX, 17);
    putText(v, 80, SWVer_AUX, 13);
    std::memcpy(v.data() + 93, tbdGE.data(), 4);
    v[97] = partialInfo;
    return v;
}

std::vector<uint8_t> BoardInfo::encode(uint8_t busAddr) const
{
    std::vector<uint8_t> v;
    v.reserve(GI_LEN);
    putChars(v, SerialNumber, 16);
    putChars(v, UpsConfig, 16);
    putChars(v, FWVersion, 12);
    putBe16(v, Address ? Address : busAddr);
    putBe16(v, SkCfg);
    for (uint16_t c : cfg)
        putBe16(v, c);
    return v;
}

std::vector<uint8_t> CnData::encode() const
{
    std::vector<uint8_t> v(CN_LEN, 0);
    putHost(v, 0, build);
    v[4] = nextMaster;
    putHost(v, 5, bitStatus);
    for (size_t i = 0; i < 4; ++i)
        putHost(v, 9 + 4 * i, remoteTimeSuspended[i]);
    for (size_t i = 0; i < 4; ++i) {
        putHost(v, 25 + 16 * i, clk[i].sec);
        putHost(v, 29 + 16 * i, clk[i].usec);
        putHost(v, 33 + 16 * i, clk[i].epochT);
        putHost(v, 37 + 16 * i, clk[i].delta);
    }
    putHost(v, 89, TftTime);
    return v;
}

bool CnData::decode(const std::vector<uint8_t> &v, CnData &c)
{
    if (v.size() != CN_LEN)
        return false;
    c.build = getHost<int32_t>(v, 0);
    c.nextMaster = v[4];
    c.bitStatus = getHost<uint32_t>(v, 5);
    for (size_t i = 0; i < 4; ++i)
        c.remoteTimeSuspended[i] = getHost<int32_t>(v, 9 + 4 * i);
    for (size_t i = 0; i < 4; ++i) {
        c.clk[i].sec = getHost<int32_t>(v, 25 + 16 * i);
        c.clk[i].usec = getHost<int32_t>(v, 29 + 16 * i);
        c.clk[i].epochT = getHost<int32_t>(v, 33 + 16 * i);
        c.clk[i].delta = getHost<int32_t>(v, 37 + 16 * i);
    }
    c.TftTime = getHost<uint32_t>(v, 89);
    return true;
}

} // namespace kesp
} // namespace tvksim
