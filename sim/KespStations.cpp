#include "KespStations.h"

#include "KespHub.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

namespace tvksim {

namespace {

constexpr size_t kHeardKept = 4096;
constexpr int kWriteWaitMs = 3000;

int64_t nowUs()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void sleepUntilUs(int64_t t)
{
    // steady_clock is CLOCK_MONOTONIC on Linux.
    struct timespec ts;
    ts.tv_sec = time_t(t / 1000000);
    ts.tv_nsec = long(t % 1000000) * 1000;
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

bool matches(const KespFaults &f, const kesp::Header &q)
{
    if (f.onlyCmd.empty())
        return true;
    return f.onlyCmd.size() == 2 && q.mainCmd == uint8_t(f.onlyCmd[0]) && q.subCmd == uint8_t(f.onlyCmd[1]);
}

std::string letters(const kesp::Header &h) { return std::string{char(h.mainCmd), char(h.subCmd)}; }

} // namespace

// ---- KespStation -----------------------------------------------------------------

KespStation::KespStation(int fd, uint8_t addr, std::string name) : fd_(fd), addr_(addr), name_(std::move(name))
{
    wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

KespStation::~KespStation()
{
    stop();
    if (wakeFd_ >= 0)
        ::close(wakeFd_);
}

void KespStation::start() { th_ = std::thread([this] { run(); }); }

void KespStation::kick()
{
    uint64_t one = 1;
    ssize_t w = ::write(wakeFd_, &one, sizeof one);
    (void)w;
}

void KespStation::stop()
{
    {
        std::lock_guard<std::mutex> lk(m_);
        stopping_ = true;
    }
    cv_.notify_all();
    kick();
    if (th_.joinable())
        th_.join();
}

void KespStation::setFaults(const KespFaults &f)
{
    std::lock_guard<std::mutex> lk(m_);
    faults_ = f;
    faultsOn_ = f.count != 0;
}

void KespStation::clearFaults()
{
    std::lock_guard<std::mutex> lk(m_);
    faults_ = KespFaults();
    faultsOn_ = false;
}

void KespStation::setTurnaroundMs(unsigned ms)
{
    std::lock_guard<std::mutex> lk(m_);
    turnaroundMs_ = ms;
}

void KespStation::setBaud(unsigned baud)
{
    std::lock_guard<std::mutex> lk(m_);
    baud_ = baud;
}

std::vector<Heard> KespStation::heard() const
{
    std::lock_guard<std::mutex> lk(m_);
    return heard_;
}

size_t KespStation::heardCount() const
{
    std::lock_guard<std::mutex> lk(m_);
    return heardSeq_;
}

void KespStation::clearHeard()
{
    std::lock_guard<std::mutex> lk(m_);
    heard_.clear();
    heardSeq_ = 0;
}

bool KespStation::waitHeard(const std::function<bool(const Heard &)> &match, int timeoutMs, Heard *out,
                            size_t fromSeq) const
{
    std::unique_lock<std::mutex> lk(m_);
    auto found = [&]() {
        for (const auto &h : heard_) {
            if (h.seq >= fromSeq && match(h)) {
                if (out)
                    *out = h;
                return true;
            }
        }
        return false;
    };
    return cv_.wait_for(lk, std::chrono::milliseconds(timeoutMs), found);
}

size_t KespStation::answersSent() const
{
    std::lock_guard<std::mutex> lk(m_);
    return answers_;
}

bool KespStation::waitUntil(int64_t untilUs)
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

bool KespStation::writeLine(const uint8_t *p, size_t n)
{
    unsigned baud;
    {
        std::lock_guard<std::mutex> lk(m_);
        baud = baud_;
    }
    std::lock_guard<std::mutex> wl(wm_);
    const int64_t byteUs = baud ? int64_t(10) * 1000000 / baud : 0;
    const int64_t t0 = nowUs();
    size_t off = 0;
    while (off < n) {
        size_t chunk = n - off;
        if (baud) {
            sleepUntilUs(t0 + int64_t(off + 1) * byteUs);   // a byte is there after its stop bit
            chunk = 1;
        }
        ssize_t w = ::write(fd_, p + off, chunk);
        if (w > 0) {
            off += size_t(w);
            continue;
        }
        if (w < 0 && errno == EINTR)
            continue;
        if (w < 0 && errno == EAGAIN) {
            struct pollfd pfd = {fd_, POLLOUT, 0};
            if (poll(&pfd, 1, kWriteWaitMs) <= 0)
                return false;
            continue;
        }
        return false;   // the line is gone
    }
    return true;
}

bool KespStation::sendRaw(const Frame &bytes) { return writeLine(bytes.data(), bytes.size()); }

bool KespStation::query(uint8_t dest, uint8_t mainCmd, uint8_t subCmd, const std::vector<uint8_t> &data,
                        int timeoutMs, Frame *reply)
{
    size_t from;
    {
        std::lock_guard<std::mutex> lk(m_);
        from = heardSeq_;
    }
    if (!sendRaw(kesp::makeFrame(addr_, dest, mainCmd, subCmd, data)))
        return false;
    Heard h;
    bool ok = waitHeard(
        [&](const Heard &x) {
            return x.h.src == dest &&
                   ((x.h.mainCmd == mainCmd && x.h.subCmd == subCmd) || x.h.mainCmd == kesp::NAK);
        },
        timeoutMs, &h, from);
    if (ok && reply)
        *reply = h.bytes;
    return ok;
}

void KespStation::handle(const kesp::FrameScanner::Found &f)
{
    Heard h;
    h.firstUs = f.firstUs;
    h.lastUs = f.lastUs;
    h.checkOk = f.checkOk;
    h.bytes = f.bytes;
    kesp::parse(h.bytes, h.h);

    std::vector<uint8_t> out;
    int64_t at = 0;
    bool faulty = false;
    {
        std::lock_guard<std::mutex> lk(m_);
        h.seq = heardSeq_++;
        heard_.push_back(h);
        if (heard_.size() > kHeardKept)
            heard_.erase(heard_.begin());
        onHeard(h);
        cv_.notify_all();
        if (h.h.dest != addr_ || h.h.src == addr_)
            return;   // another station's frame (or an echo of ours)

        Frame reply;
        bool have;
        if (!h.checkOk) {
            reply = kesp::makeNak(addr_, h.h.src, '4');
            have = true;
        } else {
            have = answer(h, reply);
        }

        KespFaults ft;
        if (faultsOn_ && matches(faults_, h.h)) {
            ft = faults_;
            faulty = true;
            if (faults_.count > 0 && --faults_.count == 0)
                faultsOn_ = false;
        }
        if (faulty) {
            if (ft.silent)
                return;
            if (!ft.raw.empty()) {
                reply = ft.raw;
                have = true;
            } else if (have || ft.nakCode) {
                kesp::Header rh;
                if (!have) {   // a refusal where the station would have kept quiet
                    rh.src = addr_;
                    rh.dest = h.h.src;
                } else {
                    kesp::parse(reply, rh);
                }
                std::vector<uint8_t> d = have ? kesp::dataOf(reply) : std::vector<uint8_t>();
                uint8_t m = rh.mainCmd, s = rh.subCmd;
                if (ft.nakCode) {
                    m = kesp::NAK;
                    s = ft.nakCode;
                    d.clear();
                    rh.dest = h.h.src;
                }
                if (ft.dataDelta > 0)
                    d.insert(d.end(), size_t(ft.dataDelta), 0);
                else if (ft.dataDelta < 0)
                    d.resize(d.size() > size_t(-ft.dataDelta) ? d.size() - size_t(-ft.dataDelta) : 0);
                reply = kesp::makeFrame(ft.wrongSrc ? ft.wrongSrc : rh.src, rh.dest, m, s, d, ft.badCheck,
                                        ft.lenFieldDelta);
                have = true;
            }
            out = ft.noise;
        }
        if (!have)
            return;
        out.insert(out.end(), reply.begin(), reply.end());
        at = h.lastUs;
        if (baud_)
            at = std::max(at, h.firstUs + int64_t(h.bytes.size()) * 10 * 1000000 / baud_);
        at += int64_t(turnaroundMs_) * 1000;
        if (faulty)
            at += int64_t(ft.delayMs) * 1000;
    }
    if (!waitUntil(at))
        return;
    if (writeLine(out.data(), out.size())) {
        std::lock_guard<std::mutex> lk(m_);
        ++answers_;
    }
}

void KespStation::run()
{
    kesp::FrameScanner scanner;
    std::vector<kesp::FrameScanner::Found> found;
    uint8_t buf[2048];
    for (;;) {
        {
            std::lock_guard<std::mutex> lk(m_);
            if (stopping_)
                return;
        }
        int64_t now = nowUs();
        int64_t due = tickDueUs();
        int64_t sd = scanner.deadlineUs();
        if (sd >= 0 && (due < 0 || sd < due))
            due = sd;
        struct timespec ts;
        struct timespec *tsp = nullptr;
        if (due >= 0) {
            int64_t left = due > now ? due - now : 0;
            ts.tv_sec = time_t(left / 1000000);
            ts.tv_nsec = long(left % 1000000) * 1000;
            tsp = &ts;
        }
        struct pollfd fds[2] = {{fd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        int r = ppoll(fds, 2, tsp, nullptr);
        if (r < 0 && errno != EINTR) {
            if (!waitUntil(nowUs() + 20000))
                return;
            continue;
        }
        if (r > 0 && (fds[1].revents & POLLIN)) {
            uint64_t v;
            ssize_t n = ::read(wakeFd_, &v, sizeof v);
            (void)n;
        }
        found.clear();
        if (r > 0 && (fds[0].revents & (POLLIN | POLLHUP | POLLERR))) {
            ssize_t n = ::read(fd_, buf, sizeof buf);
            if (n > 0) {
                scanner.feed(buf, size_t(n), nowUs(), found);
            } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
                // The line is gone (or no program holds the pty): rest, never spin.
                if (!waitUntil(nowUs() + 100000))
                    return;
            }
        } else if (r > 0 && (fds[0].revents & POLLNVAL)) {
            if (!waitUntil(nowUs() + 100000))
                return;
        }
        scanner.expire(nowUs(), found);
        for (const auto &f : found)
            handle(f);
        now = nowUs();
        int64_t t = tickDueUs();
        if (t >= 0 && t <= now)
            onTick(now);
    }
}

// ---- MU board ----------------------------------------------------------------------

MuBoardSim::MuBoardSim(int fd, int index) : KespStation(fd, kesp::muAddr(index), "MU " + std::string(1, char('A' + index)))
{
    start();
}

MuBoardSim::~MuBoardSim() { stop(); }

MuState MuBoardSim::state() const
{
    std::lock_guard<std::mutex> lk(m_);
    return st_;
}

void MuBoardSim::setState(const MuState &s)
{
    std::lock_guard<std::mutex> lk(m_);
    st_ = s;
}

void MuBoardSim::update(const std::function<void(MuState &)> &fn)
{
    std::lock_guard<std::mutex> lk(m_);
    fn(st_);
}

bool MuBoardSim::answer(const Heard &q, Frame &reply)
{
    const uint8_t me = address();
    const kesp::Header &h = q.h;
    auto nak = [&](uint8_t code) {
        reply = kesp::makeNak(me, h.src, code);
        return true;
    };
    const std::vector<uint8_t> d = kesp::dataOf(q.bytes);
    switch (h.mainCmd) {
    case 'G':
        if (h.subCmd != 'I' && h.subCmd != 'S' && h.subCmd != 'E')
            return nak('2');
        if (h.dataLen != 0)
            return nak('3');
        if (h.subCmd == 'I') {
            ++st_.giCount;
            reply = kesp::makeFrame(me, st_.broadcastGI ? kesp::BROADCAST : h.src, 'G', 'I', st_.info.encode(me));
        } else {
            reply = kesp::makeFrame(me, h.src, 'G', h.subCmd, h.subCmd == 'S' ? st_.gs : st_.ge);
        }
        return true;
    case 'S':
        if (h.subCmd != 'I')
            return nak('2');
        if (h.dataLen != kesp::SI_LEN)
            return nak('3');
        st_.lastSI = d;
        ++st_.siCount;
        reply = kesp::makeAck(me, h.src, 'S', 'I');
        return true;
    case 'T':
        if (h.subCmd != 'B')
            return nak('2');
        if (h.dataLen != 1)
            return nak('3');
        st_.lastTB = d[0];
        ++st_.tbCount;
        reply = kesp::makeAck(me, h.src, 'T', 'B');
        return true;
    default:
        return nak('1');
    }
}

// ---- another cabinet's card -----------------------------------------------------------

CabinetCardSim::CabinetCardSim(int fd, int index)
    : KespStation(fd, kesp::cabinetAddr(index), "card " + std::string(1, char('A' + index)))
{
    start();
}

CabinetCardSim::~CabinetCardSim() { stop(); }

CardState CabinetCardSim::state() const
{
    std::lock_guard<std::mutex> lk(m_);
    return st_;
}

void CabinetCardSim::setState(const CardState &s)
{
    std::lock_guard<std::mutex> lk(m_);
    st_ = s;
}

void CabinetCardSim::update(const std::function<void(CardState &)> &fn)
{
    std::lock_guard<std::mutex> lk(m_);
    fn(st_);
}

void CabinetCardSim::setQtHook(std::function<Frame(const Frame &)> hook)
{
    std::lock_guard<std::mutex> lk(m_);
    qtHook_ = std::move(hook);
}

void CabinetCardSim::onHeard(const Heard &h)
{
    if (!h.checkOk || h.h.mainCmd != 'C' || h.h.subCmd != 'N')
        return;
    if (h.h.dest != address() && h.h.dest != kesp::BROADCAST)
        return;
    kesp::CnData cn;
    if (kesp::CnData::decode(kesp::dataOf(h.bytes), cn)) {
        st_.lastCn = cn;
        ++st_.cnCount;
    } else {
        ++st_.cnBadLength;
    }
}

bool CabinetCardSim::answer(const Heard &q, Frame &reply)
{
    const uint8_t me = address();
    const kesp::Header &h = q.h;
    const std::string cmd = letters(h);
    if (cmd == "BN" || cmd == "BS" || cmd == "BI") {
        if (h.dataLen != 0)
            return false;
        const std::vector<uint8_t> d =
            cmd == "BN" ? st_.bn.encode() : cmd == "BS" ? st_.bs.bytes() : st_.bi.encode();
        reply = kesp::makeFrame(me, kesp::BROADCAST, h.mainCmd, h.subCmd, d);
        return true;
    }
    if (cmd == "QT") {
        Frame inner = kesp::dataOf(q.bytes);
        st_.lastQtQuery = inner;
        Frame innerReply = qtHook_ ? qtHook_(inner) : st_.qtInner;
        if (innerReply.empty())
            return false;
        std::vector<uint8_t> d(kesp::QT_STAMP_LEN);
        std::memcpy(d.data(), &st_.qtTimestamp, kesp::QT_STAMP_LEN);
        d.insert(d.end(), innerReply.begin(), innerReply.end());
        reply = kesp::makeFrame(me, kesp::BROADCAST, 'Q', 'T', d);
        return true;
    }
    if (cmd == "CU" || cmd == "CH" || cmd == "SC" || cmd == "SI" || cmd == "UC") {
        if (!st_.ackCommands)
            return false;
        if (cmd == "SC")
            st_.lastSC = kesp::dataOf(q.bytes);
        st_.commands.push_back(cmd);
        if (st_.commands.size() > kHeardKept)
            st_.commands.erase(st_.commands.begin());
        reply = kesp::makeAck(me, h.src, h.mainCmd, h.subCmd);
        return true;
    }
    return false;   // CN and anything else: no answer
}

// ---- the hand-over station ----------------------------------------------------------------

HandoverStation::HandoverStation(int fd, const HandoverPlan &plan, KespHub *hub)
    : KespStation(fd, plan.src, "hand-over"), hub_(hub), plan_(plan)
{
    planStartUs_ = nowUs();
    start();
}

HandoverStation::~HandoverStation() { stop(); }

void HandoverStation::setPlan(const HandoverPlan &plan)
{
    {
        std::lock_guard<std::mutex> lk(m_);
        plan_ = plan;
        planStartUs_ = nowUs();
        lastHandoverUs_ = 0;
        targetIdx_ = 0;
        ++planGen_;
    }
    kick();
}

HandoverPlan HandoverStation::plan() const
{
    std::lock_guard<std::mutex> lk(m_);
    return plan_;
}

void HandoverStation::setPids(const std::vector<pid_t> &pids)
{
    std::lock_guard<std::mutex> lk(m_);
    pids_ = pids;
}

void HandoverStation::setBreakHook(std::function<void()> hook)
{
    std::lock_guard<std::mutex> lk(m_);
    breakHook_ = std::move(hook);
}

void HandoverStation::setCnHook(std::function<void(kesp::CnData &)> hook)
{
    std::lock_guard<std::mutex> lk(m_);
    cnHook_ = std::move(hook);
}

std::vector<HandoverRecord> HandoverStation::handovers() const
{
    std::lock_guard<std::mutex> lk(m_);
    return done_;
}

uint8_t HandoverStation::currentMaster() const
{
    std::lock_guard<std::mutex> lk(m_);
    return master_;
}

kesp::CnData HandoverStation::cnFor(uint8_t target) const
{
    std::lock_guard<std::mutex> lk(m_);
    return cnForLocked(target);
}

kesp::CnData HandoverStation::cnForLocked(uint8_t target) const
{
    kesp::CnData cn;
    cn.build = plan_.build;
    cn.nextMaster = target;
    cn.bitStatus = plan_.bitStatus;
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    for (int i = 0; i < 4; ++i) {
        if (!(plan_.cabinetMask & (1u << i)))
            continue;
        cn.clk[size_t(i)].sec = int32_t(tv.tv_sec);
        cn.clk[size_t(i)].usec = int32_t(tv.tv_usec);
        cn.clk[size_t(i)].epochT = 1;
        cn.clk[size_t(i)].delta = 0;
    }
    if (cnHook_)
        cnHook_(cn);
    return cn;
}

bool HandoverStation::handOver(uint8_t target, int timeoutMs)
{
    std::unique_lock<std::mutex> lk(m_);
    const size_t before = done_.size();
    requests_.push_back(target);
    lk.unlock();
    kick();
    lk.lock();
    return cv_.wait_for(lk, std::chrono::milliseconds(timeoutMs), [&] { return done_.size() > before; });
}

void HandoverStation::onHeard(const Heard &h)
{
    if (master_ && h.h.src == master_)
        masterHeardUs_ = h.lastUs;
}

uint8_t HandoverStation::nextTarget() const
{
    if (plan_.targets.empty())
        return 0;
    return plan_.targets[targetIdx_ % plan_.targets.size()];
}

int64_t HandoverStation::tickDueUs() const
{
    std::lock_guard<std::mutex> lk(m_);
    if (!requests_.empty())
        return 0;
    if (plan_.targets.empty() || plan_.policy == HandoverPolicy::Manual)
        return -1;
    if (lastHandoverUs_ == 0)
        return planStartUs_ + int64_t(plan_.firstAfterMs) * 1000;
    switch (plan_.policy) {
    case HandoverPolicy::Rotate:
        return lastHandoverUs_ + int64_t(plan_.periodMs) * 1000;
    case HandoverPolicy::OnSilence:
        return std::max(masterHeardUs_, lastHandoverUs_) + int64_t(plan_.silenceMs) * 1000;
    default:
        return -1;
    }
}

void HandoverStation::onTick(int64_t now)
{
    uint8_t target = 0;
    {
        std::lock_guard<std::mutex> lk(m_);
        if (!requests_.empty()) {
            target = requests_.front();
            requests_.erase(requests_.begin());
        } else if (!plan_.targets.empty() && plan_.policy != HandoverPolicy::Manual) {
            const bool first = lastHandoverUs_ == 0;
            if (!first && plan_.policy == HandoverPolicy::Once)
                return;
            if (!first)
                targetIdx_ = (targetIdx_ + 1) % plan_.targets.size();
            target = nextTarget();
        }
    }
    (void)now;
    if (target)
        doHandover(target);
}

void HandoverStation::doHandover(uint8_t target)
{
    HandoverPlan p;
    std::vector<pid_t> pids;
    std::function<void()> hook;
    uint8_t src;
    uint64_t gen;
    {
        std::lock_guard<std::mutex> lk(m_);
        gen = planGen_;
        p = plan_;
        pids = pids_;
        hook = breakHook_;
        src = p.srcAsOutgoing && master_ ? master_ : p.src;
    }
    HandoverRecord rec;
    rec.target = target;
    if (p.sendBreak) {
        rec.breakUs = nowUs();
        for (pid_t pid : pids)
            if (pid > 0 && ::kill(pid, SIGINT) == 0)
                ++rec.signalled;
        if (hook)
            hook();
        if (hub_) {
            char what[48];
            std::snprintf(what, sizeof what, "%s -> 0x%02X", name().c_str(), target);
            hub_->noteBreak(what);
        }
        if (!waitUntil(nowUs() + int64_t(p.breakSettleMs) * 1000))
            return;
        if (hub_) {
            const int64_t giveUpUs = nowUs() + int64_t(p.maxTalkWaitMs) * 1000;
            for (;;) {
                const int64_t quietAtUs = hub_->lineBusyUntilUs() + int64_t(p.lineQuietMs) * 1000;
                const int64_t t = nowUs();
                if (t >= quietAtUs || t >= giveUpUs)
                    break;
                if (!waitUntil(std::min(quietAtUs, giveUpUs)))
                    return;
            }
        }
        writeLine(&p.filler, 1);
        if (!waitUntil(nowUs() + int64_t(p.fillerGapMs) * 1000))
            return;
    }
    std::vector<uint8_t> data;
    {
        std::lock_guard<std::mutex> lk(m_);
        data = cnForLocked(target).encode();
    }
    rec.cn = kesp::makeFrame(src, p.dest, 'C', 'N', data);
    writeLine(rec.cn.data(), rec.cn.size());
    rec.cnUs = nowUs();
    std::lock_guard<std::mutex> lk(m_);
    master_ = target;
    masterHeardUs_ = rec.cnUs;
    // A plan set while this hand-over was under way starts its timers afresh:
    // the hand-over counts as done but does not move the new plan on.
    if (gen == planGen_)
        lastHandoverUs_ = rec.cnUs;
    done_.push_back(rec);
    if (done_.size() > kHeardKept)
        done_.erase(done_.begin());
    cv_.notify_all();
}

} // namespace tvksim
