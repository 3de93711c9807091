#include "PowerModuleSim.h"

#include "Profile.h"
#include "PtyBench.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace tvksim {

namespace {

constexpr uint8_t STX = 0x02;
constexpr uint8_t ETX = 0x03;
constexpr uint8_t NAK = 0x15;
constexpr size_t OVERHEAD = 12;
constexpr int PARTIAL_FRAME_MS = 500;   // a frame that stalls this long is dropped
constexpr size_t RECORD_LIMIT = 4096;   // frames kept for received()

// The stand-in keeps real time: it is a device on the far side of the line,
// never driven by the card's test clock.
int64_t nowUs()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

uint8_t nib(uint8_t c) { return uint8_t(c - 0x30); }

unsigned dataLenOf(const uint8_t *f) { return uint8_t((nib(f[5]) << 4) + nib(f[6])); }

bool isSumFrame(uint8_t mainCmd, uint8_t subCmd) { return mainCmd == 'G' && subCmd == 'I'; }

uint16_t checkOf(const uint8_t *f, size_t dataLen)
{
    if (isSumFrame(f[3], f[4])) {
        unsigned sum = 0;
        for (size_t i = 1; i <= 6 + dataLen; ++i)
            sum += f[i];
        return uint16_t(sum & 0xFFFF);
    }
    return PowerModuleSim::crc(f + 1, 6 + dataLen);
}

void putText(std::vector<uint8_t> &d, const std::string &s, size_t width)
{
    for (size_t i = 0; i < width; ++i)
        d.push_back(i < s.size() ? uint8_t(s[i]) : uint8_t(' '));
}

void putPair(std::vector<uint8_t> &d, uint8_t b) { PowerModuleSim::putHex(d, b, 2); }

void fill(std::vector<uint8_t> &d, size_t upTo)
{
    while (d.size() < upTo)
        d.push_back('0');
}

// Writes a hex field at a fixed data offset of a '0'-filled block.
void putAt(std::vector<uint8_t> &d, size_t off, uint32_t v, int digits)
{
    std::vector<uint8_t> t;
    PowerModuleSim::putHex(t, v, digits);
    for (size_t i = 0; i < t.size() && off + i < d.size(); ++i)
        d[off + i] = t[i];
}

[[maybe_unused]] uint8_t rev4(uint8_t v)
{
    return uint8_t(((v & 1) << 3) | ((v & 2) << 1) | ((v & 4) >> 1) | ((v & 8) >> 3));
}

struct Reply {
    uint8_t mainCmd = 0;
    uint8_t subCmd = 0;
    std::vector<uint8_t> data;
};

Reply nak(char code)
{
    Reply r;
    r.mainCmd = NAK;
    r.subCmd = uint8_t(code);
    return r;
}

bool matches(const Faults &f, const Frame &q)
{
    if (f.onlyDest && q[2] != f.onlyDest)
        return false;
    if (!f.onlyCmd.empty()) {
        if (f.onlyCmd.size() != 2 || q[3] != uint8_t(f.onlyCmd[0]) || q[4] != uint8_t(f.onlyCmd[1]))
            return false;
    }
    return true;
}

} // namespace

uint16_t PowerModuleSim::crc(const uint8_t *p, size_t n)
{
    // Bitwise form of the reflected CCITT CRC with the module bus's initial value.
    uint16_t c = 0x554D;
    for (size_t i = 0; i < n; ++i) {
        c ^= p[i];
        for (int b = 0; b < 8; ++b)
            c = (c & 1) ? uint16_t((c >> 1) ^ 0x8408) : uint16_t(c >> 1);
    }
    return c;
}

void PowerModuleSim::putHex(std::vector<uint8_t> &out, uint32_t value, int digits)
{
    for (int i = digits - 1; i >= 0; --i)
        out.push_back(uint8_t(0x30 + ((value >> (4 * i)) & 0xF)));
}

Frame PowerModuleSim::makeFrame(uint8_t src, uint8_t dest, uint8_t mainCmd, uint8_t subCmd,
                                const std::vector<uint8_t> &data, bool corruptCheck)
{
    Frame f;
    f.reserve(data.size() + OVERHEAD);
    f.push_back(STX);
    f.push_back(src);
    f.push_back(dest);
    f.push_back(mainCmd);
    f.push_back(subCmd);
    putHex(f, uint32_t(data.size() & 0xFF), 2);
    f.insert(f.end(), data.begin(), data.end());
    uint16_t c = checkOf(f.data(), data.size());
    if (corruptCheck)
        c ^= 0x0101;
    putHex(f, c, 4);
    f.push_back(ETX);
    return f;
}

PowerModuleSim::PowerModuleSim(PtyEnd &end, std::string addresses)
    : end_(end), addresses_(std::move(addresses))
{
    wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    th_ = std::thread([this] { run(); });
}

PowerModuleSim::~PowerModuleSim()
{
    stop();
    if (wakeFd_ >= 0)
        close(wakeFd_);
}

void PowerModuleSim::stop()
{
    {
        std::lock_guard<std::mutex> lk(m_);
        stopping_ = true;
    }
    cv_.notify_all();
    if (wakeFd_ >= 0) {
        uint64_t one = 1;
        ssize_t w = ::write(wakeFd_, &one, sizeof one);
        (void)w;
    }
    if (th_.joinable())
        th_.join();
}

ModuleState PowerModuleSim::state() const
{
    std::lock_guard<std::mutex> lk(m_);
    return st_;
}

void PowerModuleSim::setState(const ModuleState &s)
{
    std::lock_guard<std::mutex> lk(m_);
    st_ = s;
}

void PowerModuleSim::update(const std::function<void(ModuleState &)> &fn)
{
    std::lock_guard<std::mutex> lk(m_);
    fn(st_);
}

void PowerModuleSim::setFaults(const Faults &f)
{
    std::lock_guard<std::mutex> lk(m_);
    faults_ = f;
    faultsOn_ = f.count != 0;
}

void PowerModuleSim::clearFaults()
{
    std::lock_guard<std::mutex> lk(m_);
    faults_ = Faults();
    faultsOn_ = false;
}

void PowerModuleSim::setBaud(unsigned baud)
{
    std::lock_guard<std::mutex> lk(m_);
    baud_ = baud;
}

void PowerModuleSim::setTurnaroundMs(unsigned ms)
{
    std::lock_guard<std::mutex> lk(m_);
    turnaroundMs_ = ms;
}

void PowerModuleSim::setCommandHook(std::function<void(const Frame &, ModuleState &)> hook)
{
    std::lock_guard<std::mutex> lk(m_);
    hook_ = std::move(hook);
}

std::vector<Frame> PowerModuleSim::received() const
{
    std::lock_guard<std::mutex> lk(m_);
    return received_;
}

size_t PowerModuleSim::receivedCount() const
{
    std::lock_guard<std::mutex> lk(m_);
    return receivedTotal_;
}

void PowerModuleSim::clearReceived()
{
    std::lock_guard<std::mutex> lk(m_);
    received_.clear();
    receivedTotal_ = 0;
}

bool PowerModuleSim::waitReceived(size_t n, unsigned timeoutMs) const
{
    std::unique_lock<std::mutex> lk(m_);
    return cv_.wait_for(lk, std::chrono::milliseconds(timeoutMs), [&] { return receivedTotal_ >= n; });
}

size_t PowerModuleSim::repliesSent() const
{
    std::lock_guard<std::mutex> lk(m_);
    return replies_;
}

Frame PowerModuleSim::replyFor(const Frame &query)
{
    std::lock_guard<std::mutex> lk(m_);
    ModuleState copy = st_;
    return buildReply(query, copy);
}

bool PowerModuleSim::waitFor(int64_t untilUs)
{
    std::unique_lock<std::mutex> lk(m_);
    while (!stopping_) {
        int64_t left = untilUs - nowUs();
        if (left <= 0)
            return true;
        cv_.wait_for(lk, std::chrono::microseconds(left));
    }
    return false;
}

void PowerModuleSim::run()
{
    std::vector<uint8_t> buf;
    int64_t firstUs = 0;   // arrival of the first buffered byte
    uint8_t tmp[512];
    for (;;) {
        {
            std::lock_guard<std::mutex> lk(m_);
            if (stopping_)
                return;
        }
        const int fd = end_.masterFd();
        if (fd < 0) {
            if (!waitFor(nowUs() + 20000))
                return;
            continue;
        }
        struct pollfd fds[2] = {{fd, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        int r = poll(fds, 2, buf.empty() ? -1 : PARTIAL_FRAME_MS);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            if (!waitFor(nowUs() + 20000))
                return;
            continue;
        }
        if (fds[1].revents)
            continue;   // stop request: checked at the top
        if (r == 0) {
            // A partial frame stalled: drop its STX and look for the next one.
            if (!buf.empty())
                buf.erase(buf.begin());
        } else if (fds[0].revents & POLLIN) {
            ssize_t n = ::read(fd, tmp, sizeof tmp);
            if (n > 0) {
                WireHook wire;
                {
                    std::lock_guard<std::mutex> lk(m_);
                    wire = wireHook_;
                }
                if (wire)
                    wire(true, tmp, size_t(n), nowUs());
                if (buf.empty())
                    firstUs = nowUs();
                buf.insert(buf.end(), tmp, tmp + n);
            } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
                // No slave side open (the card closed its port): wait, do not spin.
                if (!waitFor(nowUs() + 20000))
                    return;
                continue;
            }
        } else if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) {
            if (!waitFor(nowUs() + 20000))
                return;
            continue;
        }

        // Take whole frames out of the buffer.
        for (;;) {
            auto stx = std::find(buf.begin(), buf.end(), STX);
            buf.erase(buf.begin(), stx);
            if (buf.size() < 7)
                break;
            size_t total = dataLenOf(buf.data()) + OVERHEAD;
            if (buf.size() < total)
                break;
            if (buf[total - 1] != ETX) {
                buf.erase(buf.begin());
                continue;
            }
            Frame f(buf.begin(), buf.begin() + long(total));
            buf.erase(buf.begin(), buf.begin() + long(total));
            handleFrame(f, firstUs);
            firstUs = nowUs();
        }
    }
}

void PowerModuleSim::handleFrame(const Frame &f, int64_t firstByteUs)
{
    Frame reply;
    std::vector<uint8_t> out;
    Faults ft;
    bool apply = false;
    unsigned baud;
    unsigned turnaround;
    std::function<void(const ExchangeTiming &)> timing;
    WireHook wire;
    {
        std::lock_guard<std::mutex> lk(m_);
        received_.push_back(f);
        if (received_.size() > RECORD_LIMIT)
            received_.erase(received_.begin());
        ++receivedTotal_;
        cv_.notify_all();
        if (addresses_.find(char(f[2])) == std::string::npos)
            return;   // another station's frame
        baud = baud_;
        turnaround = turnaroundMs_;
        timing = timingHook_;
        wire = wireHook_;
        if (faultsOn_ && matches(faults_, f)) {
            ft = faults_;
            apply = true;
            if (faults_.count > 0 && --faults_.count == 0)
                faultsOn_ = false;
        }
        const size_t n = f.size() - OVERHEAD;
        const uint16_t got = uint16_t((nib(f[7 + n]) << 12) | (nib(f[8 + n]) << 8) |
                                      (nib(f[9 + n]) << 4) | nib(f[10 + n]));
        if (got != checkOf(f.data(), n)) {
            reply = makeFrame(f[2], f[1], NAK, '4', {});
        } else {
            if (hook_)
                hook_(f, st_);
            reply = buildReply(f, st_);
        }
    }

    if (apply) {
        if (ft.silent)
            return;
        if (!ft.raw.empty()) {
            reply = ft.raw;
        } else {
            uint8_t src = ft.wrongSrc ? ft.wrongSrc : reply[1];
            uint8_t mainCmd = reply[3], subCmd = reply[4];
            std::vector<uint8_t> data(reply.begin() + 7, reply.end() - 5);
            if (ft.nakCode) {
                mainCmd = NAK;
                subCmd = ft.nakCode;
                data.clear();
            }
            for (int i = 0; i < ft.extraData; ++i)
                data.push_back('0');
            reply = makeFrame(src, reply[2], mainCmd, subCmd, data, ft.corruptCheck);
        }
        if (ft.cutAfter > 0 && ft.cutAfter < reply.size())
            reply.resize(ft.cutAfter);
        out = ft.noise;
    }
    out.insert(out.end(), reply.begin(), reply.end());

    // The query's own wire time (10 bits a byte), then processing time and delay.
    int64_t at = firstByteUs;
    if (baud)
        at += int64_t(f.size()) * 10 * 1000000 / baud;
    at += int64_t(turnaround) * 1000;
    if (apply)
        at += int64_t(ft.delayMs) * 1000;
    if (!waitFor(at))
        return;
    const int64_t startUs = nowUs();
    if (wire)
        wire(false, out.data(), out.size(), startUs + (baud ? int64_t(out.size()) * 10 * 1000000 / baud : 0));
    if (baud)
        end_.writePaced(out.data(), out.size(), baud);
    else
        end_.write(out.data(), out.size());
    if (timing) {
        ExchangeTiming t;
        t.queryFirstUs = firstByteUs;
        t.queryLen = f.size();
        t.replyStartUs = startUs;
        t.replyEndUs = nowUs();
        t.replyLen = out.size();
        t.mainCmd = f[3];
        t.subCmd = f[4];
        timing(t);
    }
    std::lock_guard<std::mutex> lk(m_);
    ++replies_;
}

void PowerModuleSim::setWireHook(WireHook hook)
{
    std::lock_guard<std::mutex> lk(m_);
    wireHook_ = std::move(hook);
}

void PowerModuleSim::setTimingHook(std::function<void(const ExchangeTiming &)> hook)
{
    std::lock_guard<std::mutex> lk(m_);
    timingHook_ = std::move(hook);
}

Frame PowerModuleSim::buildReply(const Frame &q, ModuleState &st)
{
    const uint8_t self = q[2];
    const uint8_t to = q[1];
    const uint8_t m = q[3];
    const uint8_t s = q[4];
    const size_t plen = q.size() - OVERHEAD;
    const uint8_t *param = q.data() + 7;
    Reply r;
    r.mainCmd = m;
    r.subCmd = s;
    std::vector<uint8_t> &d = r.data;

    auto needParams = [&](size_t n) { return plen == n; };
    auto flags = [](bool b3, bool b2, bool b1, bool b0) {
        return uint8_t(0x30 + (b3 ? 8 : 0) + (b2 ? 4 : 0) + (b1 ? 2 : 0) + (b0 ? 1 : 0));
    };

    switch (m) {
    case 'G':
        switch (s) {
        case 'I':
            putText(d, st.SN, 16);
            putText(d, st.Model, 16);
            putText(d, st.SWVer, 12);
            for (uint8_t b : {st.IO_Cfg, st.UPS_Type, st.Boost_Cfg, st.Buck_Cfg, st.Error_CTRL,
                              st.PwrShareCfg, st.BattBenches, st.NBattForBench, st.ParallelInfo,
                              st.TypeMachine, st.Cover, st.TypeInput})
                d.push_back(b);
            break;
        case 'N':
            putHex(d, st.VA, 5);
            putHex(d, st.W, 5);
            putHex(d, st.BatteryV, 3);
            putHex(d, st.BatteryAh, 3);
            putHex(d, st.VoutNom, 3);
            putHex(d, st.FreqOut, 3);
            break;
        case 'M':
            d.assign(st.GM.begin(), st.GM.end());
            break;
        case 'E': {
            putText(d, st.SWVer_AUX, 12);
            uint8_t *aux = d.data() + (d.size() - 12);
            for (size_t pos : {7, 8, 10, 11})
                if (aux[pos] > '9')
                    aux[pos] = uint8_t(aux[pos] - 7);
            d.insert(d.end(), st.tbdGE.begin(), st.tbdGE.end());
            break;
        }
        default:
            r = nak('2');
        }
        break;
    case 'R':
        switch (s) {
        case 'S': {
            d.push_back(flags(st.Output_Powered, st.Lock, st.Battery_Working, st.Battery_Low));
            d.push_back(flags(st.On_Bypass, st.Eco_Mode, false, false));
            d.push_back(flags(st.Bypass_Bad, st.Battery_Charging, false, st.Replace_Battery));
            d.push_back(flags(st.Shutdown_Active, st.Shutdown_Imminent, st.Test_in_progress, st.BeeperOn));
            d.push_back(flags(st.Fault, st.Alarm_Overload, st.Alarm_Temperature, false));
            putHex(d, st.Frq_in, 3);
            putHex(d, st.Vin[0], 3);
            putHex(d, st.Frq_out, 3);
            putHex(d, st.Vout[0], 3);
            putHex(d, st.Load[0], 2);
            putHex(d, st.Frq_byp, 3);
            putHex(d, st.Vbyp[0], 3);
            putHex(d, st.VbatRS, 4);
            putHex(d, st.Carica_adj, 2);
            putHex(d, st.Aut_time, 3);
            putHex(d, st.Temp0, 2);
            if (st.IO_Cfg == '1')
                break;   // 36: single-phase in and out
            if (st.IO_Cfg == '2') {
                putHex(d, 0, 3);
                putHex(d, 0, 3);
            } else {
                putHex(d, st.Vin[1], 3);
                putHex(d, st.Vin[2], 3);
            }
            if (st.IO_Cfg == '3')
                break;   // 42: three-phase in, single-phase out
            putHex(d, st.Vout[1], 3);
            putHex(d, st.Load[1], 2);
            putHex(d, st.Vbyp[1], 3);
            putHex(d, st.Vout[2], 3);
            putHex(d, st.Load[2], 2);
            putHex(d, st.Vbyp[2], 3);
            break;
        }
        case 'E':
            fill(d, 16);
            for (auto v : st.Iout)
                putHex(d, v, 4);
            for (auto v : st.Watt)
                putHex(d, v, 5);
            for (auto v : st.Va)
                putHex(d, v, 5);
            break;
        case 'A':
            for (int i = 0; i < 20; ++i)
                putPair(d, st.states[size_t(i)]);
            for (auto b : st.statesExt)
                putPair(d, b);
            break;
        case 'C':
            for (auto b : st.states) {
#if defined(TVK_MODULAR)
                // Modular modules send each nibble with its bit order reversed.
                d.push_back(uint8_t(0x30 + rev4(b & 0x0F)));
                d.push_back(uint8_t(0x30 + rev4(uint8_t(b >> 4))));
#else
                putPair(d, b);
#endif
            }
            break;
        case 'X':
            for (auto b : st.FlagExt)
                putPair(d, b);
            putHex(d, st.statusCode, 2);
            putHex(d, st.Vbatp, 4);
            putHex(d, st.Vbatn, 4);
            putHex(d, st.Ibatp, 4);
            putHex(d, st.Ibatn, 4);
            for (auto v : st.Uin)
                putHex(d, v, 3);
            for (auto v : st.Iin)
                putHex(d, v, 4);
            for (auto v : st.Ubyp)
                putHex(d, v, 3);
            for (auto v : st.Uout)
                putHex(d, v, 3);
            for (auto v : st.Iout_pk)
                putHex(d, v, 4);
            for (auto v : st.powerTemp)
                putHex(d, v, 2);
            for (auto v : st.batteryTemp)
                putHex(d, v, 2);
            for (auto v : st.DCBusVolt)
                putHex(d, v, 3);
            putHex(d, st.configCounter, 2);
            putHex(d, st.runningSeconds, 6);
            fill(d, 120);
            putHex(d, st.Cent_kwh, 8);
#if defined(TVK_MODULAR)
            fill(d, 169);
#endif
            break;
        case 'K':
            d.assign(58, '0');
            for (size_t i = 0; i < 3; ++i)
                putAt(d, 34 + 4 * i, st.Iout_pk[i], 4);
            for (size_t i = 0; i < 6; ++i)
                putAt(d, 46 + 2 * i, st.Temp[i], 2);
            break;
        case 'B':
            d.assign(109, '0');
            break;
        default:
            r = nak('2');
        }
        break;
    case 'D':
        switch (s) {
        case 'C':
            if (self == '8') {
                if (plen == 1)
                    d.assign(st.DCbypass.begin(), st.DCbypass.end());
            } else if (!needParams(1) || (param[0] != '0' && param[0] != '1')) {
                r = nak('3');
            } else {
                st.Output_Powered = param[0] == '1';   // the module obeys: output off / on
            }
            break;
        case 'S':
            d.assign(58, '0');
            putAt(d, 13, st.dsVbatP, 3);
            putAt(d, 16, st.dsVbatN, 3);
            putAt(d, 52, st.dsIbatP, 3);
            putAt(d, 55, st.dsIbatN, 3);
            break;
        case 'E':
            d.assign(58, '0');
            for (size_t i = 0; i < 3; ++i)
                putAt(d, 43 + 4 * i, st.Iin[i], 4);
            break;
        default:
            r = nak('2');
        }
        break;
    case 'C':
        switch (s) {
        case 'S':
            if (!needParams(4))
                r = nak('3');
            break;
        case 'R':
            if (!needParams(8))
                r = nak('3');
            break;
        case 'B':
            if (!needParams(1))
                r = nak('3');
            break;
        case 'M':
            if (!needParams(2))
                r = nak('3');
            break;
        case 'D':
        case 'F':
        case 'P':
        case 'U':
            break;
        default:
            r = nak('2');
        }
        break;
    case 'S':
        switch (s) {
        case 'T':
            if (!needParams(12))
                r = nak('3');
            else
                st.lastClock.assign(reinterpret_cast<const char *>(param), 12);
            break;
        case 'M':
            break;
        case 'V':
            d.assign(st.SV.begin(), st.SV.end());
            break;
        default:
            r = nak('2');
        }
        break;
    case 'T':
        switch (s) {
        case 'B':
            if (!needParams(3))
                r = nak('3');
            break;
        case 'C':
            break;
        default:
            r = nak('2');
        }
        break;
    default:
        r = nak('1');
    }
    return makeFrame(self, to, r.mainCmd, r.subCmd, r.data);
}

} // namespace tvksim
