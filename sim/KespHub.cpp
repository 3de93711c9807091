#include "KespHub.h"

#include "PtyBench.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tvksim {

namespace {

int64_t nowUs()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

constexpr int64_t kBackoffUs = 200000;   // a failing port rests this long
constexpr size_t kCollisionMarks = 256;  // collision times kept per port for the tap

void setNonBlock(int fd)
{
    int fl = fcntl(fd, F_GETFL);
    fcntl(fd, F_SETFL, fl | O_NONBLOCK);
}

} // namespace

static_assert(KespHub::MAX_PORTS <= 16, "collision masks are 16 bits");

struct KespHub::Port {
    std::string label;
    std::unique_ptr<PtyEnd> pty;   // pty port
    int fd = -1;                   // hub side: the pty master or our socket end
    int stationFd = -1;            // local port: the station's end (owned here)
    int drainFd = -1;              // pty port: the slave, to discard stale input
    bool open = true;
    int64_t restUntilUs = 0;       // left out of the wait until then
    std::deque<uint8_t> out;       // towards the far end

    // Transmitter of the paced wire.
    struct Slot {
        uint8_t value;
        uint8_t heard;       // value the receivers get (AND of colliding bytes)
        uint16_t hitMask;    // ports whose bytes overlapped this one
        int64_t start, end;
    };
    std::deque<Slot> onWire;
    int64_t txFreeUs = 0;

    kesp::FrameScanner scanner;
    std::deque<int64_t> collisionAt;   // wire times of this port's collided bytes
    PortStats st;
    std::string link;              // pty port: the /dev/tty... link (kept while the device is gone)
    LineFaults faults;
    size_t faultBytes = 0;         // bytes and writes counted for the faults
    size_t faultChunks = 0;

    explicit Port(int stallMs) : scanner(kesp::MAX_DATA, stallMs) {}
};

KespHub::KespHub(const HubOptions &opt) : opt_(opt)
{
    wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd_ < 0)
        throw std::runtime_error("eventfd failed");
    th_ = std::thread([this] { run(); });
}

KespHub::~KespHub()
{
    stop();
    for (auto &p : ports_) {
        if (p->stationFd >= 0)
            ::close(p->stationFd);
        if (p->drainFd >= 0)
            ::close(p->drainFd);
        if (p->link.empty() && p->fd >= 0)
            ::close(p->fd);
    }
    ports_.clear();   // pty ports remove their links
    ::close(wakeFd_);
}

void KespHub::stop()
{
    {
        std::lock_guard<std::mutex> lk(m_);
        stopping_ = true;
    }
    wake();
    if (th_.joinable())
        th_.join();
}

void KespHub::wake()
{
    uint64_t one = 1;
    ssize_t w = ::write(wakeFd_, &one, sizeof one);
    (void)w;
}

int KespHub::addPtyPort(const std::string &link, const std::string &label)
{
    auto p = std::make_unique<Port>(opt_.stallMs);
    p->pty = std::make_unique<PtyEnd>(link);
    p->fd = p->pty->masterFd();
    p->drainFd = ::open(p->pty->slaveName().c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    std::lock_guard<std::mutex> lk(m_);
    if (ports_.size() >= size_t(MAX_PORTS)) {
        if (p->drainFd >= 0)
            ::close(p->drainFd);
        throw std::runtime_error("hub: at most 12 ports");
    }
    p->label = label.empty() ? p->pty->path() : label;
    p->link = p->pty->path();
    ports_.push_back(std::move(p));
    int n = int(ports_.size()) - 1;
    wake();
    return n;
}

int KespHub::addLocalPort(const std::string &label, int *stationFd)
{
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0)
        throw std::runtime_error("hub: socketpair failed");
    setNonBlock(sv[0]);
    setNonBlock(sv[1]);
    auto p = std::make_unique<Port>(opt_.stallMs);
    p->fd = sv[0];
    p->stationFd = sv[1];
    p->label = label;
    std::lock_guard<std::mutex> lk(m_);
    if (ports_.size() >= size_t(MAX_PORTS)) {
        ::close(sv[0]);
        ::close(sv[1]);
        throw std::runtime_error("hub: at most 12 ports");
    }
    ports_.push_back(std::move(p));
    if (stationFd)
        *stationFd = sv[1];
    int n = int(ports_.size()) - 1;
    wake();
    return n;
}

int KespHub::portCount() const
{
    std::lock_guard<std::mutex> lk(m_);
    return int(ports_.size());
}

std::string KespHub::path(int port) const
{
    std::lock_guard<std::mutex> lk(m_);
    if (port < 0 || size_t(port) >= ports_.size())
        return std::string();
    return ports_[size_t(port)]->link;
}

std::string KespHub::label(int port) const
{
    std::lock_guard<std::mutex> lk(m_);
    if (port < 0 || size_t(port) >= ports_.size())
        return std::string();
    return ports_[size_t(port)]->label;
}

PtyEnd *KespHub::pty(int port)
{
    std::lock_guard<std::mutex> lk(m_);
    if (port < 0 || size_t(port) >= ports_.size())
        return nullptr;
    return ports_[size_t(port)]->pty.get();
}

void KespHub::closePort(int port)
{
    std::lock_guard<std::mutex> lk(m_);
    if (port < 0 || size_t(port) >= ports_.size())
        return;
    Port &p = *ports_[size_t(port)];
    if (!p.open)
        return;
    p.open = false;
    p.st.open = false;
    p.out.clear();
    p.onWire.clear();
    if (p.pty)
        p.pty->closeMaster();
    else if (p.link.empty())
        ::close(p.fd);
    p.fd = -1;
    wake();
}

void KespHub::vanishPort(int port)
{
    std::lock_guard<std::mutex> lk(m_);
    if (port < 0 || size_t(port) >= ports_.size() || ports_[size_t(port)]->link.empty())
        return;
    Port &p = *ports_[size_t(port)];
    if (p.open) {
        p.open = false;
        p.st.open = false;
        p.out.clear();
        p.onWire.clear();
        if (p.pty)
            p.pty->closeMaster();
        p.fd = -1;
    }
    if (p.drainFd >= 0) {
        ::close(p.drainFd);
        p.drainFd = -1;
    }
    p.pty.reset();   // removes the link
    wake();
}

void KespHub::reopenPort(int port)
{
    std::lock_guard<std::mutex> lk(m_);
    if (port < 0 || size_t(port) >= ports_.size() || ports_[size_t(port)]->link.empty())
        return;
    Port &p = *ports_[size_t(port)];
    if (p.open)
        return;
    if (p.drainFd >= 0) {
        ::close(p.drainFd);
        p.drainFd = -1;
    }
    p.pty.reset();
    p.pty = std::make_unique<PtyEnd>(p.link);
    p.fd = p.pty->masterFd();
    p.drainFd = ::open(p.pty->slaveName().c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    p.open = true;
    p.st.open = true;
    p.restUntilUs = 0;
    p.txFreeUs = 0;
    wake();
}

void KespHub::setLineFaults(int port, const LineFaults &f)
{
    std::lock_guard<std::mutex> lk(m_);
    if (port < 0 || size_t(port) >= ports_.size())
        return;
    Port &p = *ports_[size_t(port)];
    p.faults = f;
    p.faultBytes = 0;
    p.faultChunks = 0;
}

void KespHub::setNoise(unsigned everyMs, size_t bytes, uint32_t seed)
{
    std::lock_guard<std::mutex> lk(m_);
    noiseEveryMs_ = everyMs;
    noiseBytes_ = bytes;
    noiseState_ = seed ? seed : 1;
    noiseDueUs_ = everyMs ? nowUs() + int64_t(everyMs) * 1000 : -1;
    wake();
}

// Noise waits for a quiet line, so it falls between frames.
void KespHub::injectNoise(int64_t now)
{
    if (noiseDueUs_ < 0 || now < noiseDueUs_)
        return;
    const int64_t busy = lineBusyUntilUs_.load();
    if (busy + 2000 > now) {
        noiseDueUs_ = busy + 2000;
        return;
    }
    const int64_t T = wireUs(1);
    for (size_t k = 0; k < noiseBytes_; ++k) {
        noiseState_ ^= noiseState_ << 13;
        noiseState_ ^= noiseState_ >> 17;
        noiseState_ ^= noiseState_ << 5;
        deliver(-1, uint8_t(noiseState_ >> 8), 0, now + int64_t(k) * T);
    }
    lineBusyUntilUs_.store(now + int64_t(noiseBytes_) * T);
    noiseDueUs_ = now + int64_t(noiseEveryMs_) * 1000;
}

// The station's bytes as the line passes them on; returns how many are left in b.
size_t KespHub::applyFaults(Port &p, uint8_t *b, size_t n)
{
    const LineFaults &f = p.faults;
    if (!f.any())
        return n;
    if (f.muted)
        return 0;
    ++p.faultChunks;
    if (f.cutEvery && p.faultChunks % f.cutEvery == 0 && n > f.cutKeep)
        n = f.cutKeep;
    size_t w = 0;
    for (size_t k = 0; k < n; ++k) {
        ++p.faultBytes;
        if (f.dropEvery && p.faultBytes % f.dropEvery == 0)
            continue;
        uint8_t v = b[k];
        if (f.flipEvery && p.faultBytes % f.flipEvery == 0)
            v ^= 0x01;
        b[w++] = v;
    }
    return w;
}

void KespHub::detachLocal(int port)
{
    std::lock_guard<std::mutex> lk(m_);
    if (port < 0 || size_t(port) >= ports_.size())
        return;
    Port &p = *ports_[size_t(port)];
    if (p.stationFd >= 0) {
        ::close(p.stationFd);
        p.stationFd = -1;
    }
    wake();
}

PortStats KespHub::stats(int port) const
{
    std::lock_guard<std::mutex> lk(m_);
    if (port < 0 || size_t(port) >= ports_.size())
        return PortStats();
    return ports_[size_t(port)]->st;
}

int64_t KespHub::wireUs(size_t n) const
{
    if (opt_.baud == 0)
        return 0;
    return int64_t(n) * 10 * 1000000 / opt_.baud;
}

// ---- tap -----------------------------------------------------------------------

void KespHub::addEntry(TapEntry e)
{
    e.seq = seq_++;
    tap_.push_back(e);
    while (tap_.size() > opt_.tapFrames)
        tap_.pop_front();
    if (hook_)
        fresh_.push_back(std::move(e));
    cv_.notify_all();
}

std::vector<TapEntry> KespHub::tap() const
{
    std::lock_guard<std::mutex> lk(m_);
    return std::vector<TapEntry>(tap_.begin(), tap_.end());
}

std::vector<TapEntry> KespHub::tapSince(size_t seq) const
{
    std::lock_guard<std::mutex> lk(m_);
    std::vector<TapEntry> v;
    for (const auto &e : tap_)
        if (e.seq >= seq)
            v.push_back(e);
    return v;
}

size_t KespHub::tapCount() const
{
    std::lock_guard<std::mutex> lk(m_);
    return seq_;
}

std::vector<RawChunk> KespHub::raw() const
{
    std::lock_guard<std::mutex> lk(m_);
    return std::vector<RawChunk>(raw_.begin(), raw_.end());
}

void KespHub::clearTap()
{
    std::lock_guard<std::mutex> lk(m_);
    tap_.clear();
    raw_.clear();
    seq_ = 0;
}

bool KespHub::waitTap(const std::function<bool(const TapEntry &)> &match, int timeoutMs, TapEntry *out,
                      size_t fromSeq) const
{
    std::unique_lock<std::mutex> lk(m_);
    size_t seen = fromSeq;
    auto found = [&]() {
        for (const auto &e : tap_) {
            if (e.seq < seen)
                continue;
            if (match(e)) {
                if (out)
                    *out = e;
                return true;
            }
        }
        seen = seq_;
        return false;
    };
    return cv_.wait_for(lk, std::chrono::milliseconds(timeoutMs), found);
}

void KespHub::setTapHook(std::function<void(const TapEntry &)> hook)
{
    std::lock_guard<std::mutex> lk(m_);
    hook_ = std::move(hook);
}

void KespHub::noteBreak(const std::string &who)
{
    std::lock_guard<std::mutex> lk(m_);
    TapEntry e;
    e.kind = TapEntry::Break;
    e.firstUs = e.lastUs = nowUs();
    e.note = who;
    addEntry(std::move(e));
    wake();
}

void KespHub::note(const std::string &text)
{
    std::lock_guard<std::mutex> lk(m_);
    TapEntry e;
    e.kind = TapEntry::Note;
    e.firstUs = e.lastUs = nowUs();
    e.note = text;
    addEntry(std::move(e));
    wake();
}

void KespHub::feedTap(Port &p, int index, const uint8_t *b, size_t n, int64_t at, bool collided)
{
    if (collided) {
        p.collisionAt.push_back(at);
        if (p.collisionAt.size() > kCollisionMarks)
            p.collisionAt.pop_front();
    }
    std::vector<kesp::FrameScanner::Found> found;
    p.scanner.feed(b, n, at, found);
    emitFound(p, index, found);
}

void KespHub::emitFound(Port &p, int index, std::vector<kesp::FrameScanner::Found> &found)
{
    for (auto &f : found) {
        TapEntry e;
        e.kind = TapEntry::FrameSeen;
        e.firstUs = f.firstUs;
        e.lastUs = f.lastUs;
        e.port = index;
        kesp::parse(f.bytes, e.h);
        e.checkOk = f.checkOk;
        for (int64_t t : p.collisionAt)
            if (t >= f.firstUs && t <= f.lastUs)
                e.collided = true;
        e.bytes = std::move(f.bytes);
        addEntry(std::move(e));
    }
}

// ---- the wire --------------------------------------------------------------------

void KespHub::flushOut(Port &p)
{
    while (p.open && !p.out.empty()) {
        trimStale(p);   // a deaf program's backlog is cut before more is added
        uint8_t buf[512];
        size_t n = 0;
        for (auto it = p.out.begin(); it != p.out.end() && n < sizeof buf; ++it)
            buf[n++] = *it;
        ssize_t w = ::write(p.fd, buf, n);
        if (w > 0) {
            p.out.erase(p.out.begin(), p.out.begin() + w);
            p.st.bytesOut += size_t(w);
            continue;
        }
        if (w < 0 && errno == EINTR)
            continue;
        if (w < 0 && errno == EAGAIN)
            return;   // waits for POLLOUT
        // The far end is gone: what was queued is lost, as on a cut line.
        p.st.errors++;
        p.st.dropped += p.out.size();
        p.out.clear();
        p.restUntilUs = nowUs() + kBackoffUs;
        return;
    }
}

void KespHub::trimStale(Port &p)
{
    if (p.drainFd < 0)
        return;
    int pending = 0;
    if (ioctl(p.drainFd, FIONREAD, &pending) != 0 || size_t(pending) < opt_.staleInputMax)
        return;
    // Nobody reads this line: discard its oldest bytes.
    size_t excess = size_t(pending) - opt_.staleInputMax / 2;
    uint8_t buf[1024];
    while (excess > 0) {
        ssize_t r = ::read(p.drainFd, buf, excess < sizeof buf ? excess : sizeof buf);
        if (r <= 0)
            break;
        excess -= size_t(r);
        p.st.dropped += size_t(r);
    }
}

void KespHub::deliver(int from, uint8_t v, uint16_t skipMask, int64_t at)
{
    (void)at;
    for (size_t i = 0; i < ports_.size(); ++i) {
        if (int(i) == from || (skipMask & (1u << i)))
            continue;
        Port &q = *ports_[i];
        if (!q.open)
            continue;
        q.out.push_back(v);
        if (q.out.size() > opt_.outQueueMax) {
            q.out.pop_front();
            q.st.dropped++;
        }
    }
}

void KespHub::schedule(Port &p, int index, const uint8_t *b, size_t n, int64_t now)
{
    const int64_t T = wireUs(1);
    for (size_t k = 0; k < n; ++k) {
        Port::Slot s;
        s.value = b[k];
        s.heard = b[k];
        s.hitMask = 0;
        s.start = std::max(p.txFreeUs, now);
        s.end = s.start + T;
        p.txFreeUs = s.end;
        // Overlap with bytes of other transmitters still on the wire.
        for (size_t j = 0; j < ports_.size(); ++j) {
            if (int(j) == index)
                continue;
            auto &w = ports_[j]->onWire;
            auto it = std::lower_bound(w.begin(), w.end(), s.start,
                                       [](const Port::Slot &x, int64_t t) { return x.end <= t; });
            for (; it != w.end() && it->start < s.end; ++it) {
                it->heard &= s.value;
                it->hitMask |= uint16_t(1u << index);
                s.heard &= it->value;
                s.hitMask |= uint16_t(1u << j);
            }
        }
        p.onWire.push_back(s);
    }
}

void KespHub::deliverDue(int64_t now)
{
    for (;;) {
        int best = -1;
        for (size_t i = 0; i < ports_.size(); ++i) {
            const auto &w = ports_[i]->onWire;
            if (!w.empty() && w.front().end <= now &&
                (best < 0 || w.front().end < ports_[size_t(best)]->onWire.front().end))
                best = int(i);
        }
        if (best < 0)
            return;
        Port &p = *ports_[size_t(best)];
        Port::Slot s = p.onWire.front();
        p.onWire.pop_front();
        const bool hit = s.hitMask != 0;
        if (hit)
            p.st.collided++;
        deliver(best, s.heard, s.hitMask, s.end);
        feedTap(p, best, &s.value, 1, s.end, hit);
    }
}

void KespHub::readPort(Port &p, int index, int64_t now)
{
    uint8_t buf[2048];
    ssize_t r = ::read(p.fd, buf, sizeof buf);
    if (r > 0) {
        p.st.bytesIn += size_t(r);
        RawChunk c;
        c.us = now;
        c.port = index;
        c.bytes.assign(buf, buf + r);
        raw_.push_back(std::move(c));
        while (raw_.size() > opt_.rawChunks)
            raw_.pop_front();
        r = ssize_t(applyFaults(p, buf, size_t(r)));
        if (r == 0)
            return;
        if (opt_.baud == 0) {
            for (ssize_t k = 0; k < r; ++k)
                deliver(index, buf[k], 0, now);
            feedTap(p, index, buf, size_t(r), now, false);
            if (now > lineBusyUntilUs_.load())
                lineBusyUntilUs_.store(now);
        } else {
            schedule(p, index, buf, size_t(r), now);
            if (p.txFreeUs > lineBusyUntilUs_.load())
                lineBusyUntilUs_.store(p.txFreeUs);
        }
        return;
    }
    if (r < 0 && (errno == EINTR || errno == EAGAIN))
        return;
    // End of file or an error: a local station closed its end (for good), or
    // the pty reports a hang-up. Rest the port instead of polling it again at once.
    p.st.errors++;
    if (r == 0 && p.link.empty()) {
        p.open = false;
        p.st.open = false;
        p.out.clear();
        return;
    }
    p.restUntilUs = now + kBackoffUs;
}

int64_t KespHub::nextDeadline(int64_t now) const
{
    int64_t best = -1;
    auto take = [&](int64_t t) {
        if (t >= 0 && (best < 0 || t < best))
            best = t;
    };
    for (const auto &pp : ports_) {
        const Port &p = *pp;
        if (!p.onWire.empty())
            take(p.onWire.front().end);
        take(p.scanner.deadlineUs());
        if (p.open && p.restUntilUs > now)
            take(p.restUntilUs);
    }
    take(noiseDueUs_);
    return best;
}

void KespHub::run()
{
    std::vector<struct pollfd> fds;
    std::vector<int> who;
    for (;;) {
        int64_t deadline;
        {
            std::lock_guard<std::mutex> lk(m_);
            if (stopping_)
                return;
            const int64_t now = nowUs();
            fds.clear();
            who.clear();
            fds.push_back({wakeFd_, POLLIN, 0});
            who.push_back(-1);
            for (size_t i = 0; i < ports_.size(); ++i) {
                Port &p = *ports_[i];
                if (!p.open || p.restUntilUs > now)
                    continue;
                short ev = POLLIN;
                if (!p.out.empty())
                    ev |= POLLOUT;
                fds.push_back({p.fd, ev, 0});
                who.push_back(int(i));
            }
            deadline = nextDeadline(now);
        }
        struct timespec ts;
        struct timespec *tsp = nullptr;
        if (deadline >= 0) {
            int64_t left = deadline - nowUs();
            if (left < 0)
                left = 0;
            ts.tv_sec = time_t(left / 1000000);
            ts.tv_nsec = long(left % 1000000) * 1000;
            tsp = &ts;
        }
        int r = ppoll(fds.data(), nfds_t(fds.size()), tsp, nullptr);
        if (r < 0 && errno != EINTR)
            continue;   // (EINVAL/ENOMEM cannot recur forever: the set is rebuilt)

        std::vector<TapEntry> fresh;
        std::function<void(const TapEntry &)> hook;
        {
            std::lock_guard<std::mutex> lk(m_);
            if (stopping_)
                return;
            const int64_t now = nowUs();
            if (r > 0 && (fds[0].revents & POLLIN)) {
                uint64_t v;
                ssize_t n = ::read(wakeFd_, &v, sizeof v);
                (void)n;
            }
            for (size_t k = 1; r > 0 && k < fds.size(); ++k) {
                const int i = who[k];
                if (i < 0 || size_t(i) >= ports_.size())
                    continue;
                Port &p = *ports_[size_t(i)];
                if (!p.open)
                    continue;
                const short re = fds[k].revents;
                if (re & POLLIN)
                    readPort(p, i, now);
                else if (re & (POLLHUP | POLLERR | POLLNVAL)) {
                    p.st.errors++;
                    p.restUntilUs = now + kBackoffUs;
                }
            }
            if (opt_.baud > 0)
                deliverDue(now);
            injectNoise(now);
            for (size_t i = 0; i < ports_.size(); ++i) {
                Port &p = *ports_[i];
                flushOut(p);
                // A stalled candidate is given up; a frame behind it may show.
                std::vector<kesp::FrameScanner::Found> found;
                p.scanner.expire(now, found);
                emitFound(p, int(i), found);
            }
            if (hook_ && !fresh_.empty()) {
                fresh.swap(fresh_);
                hook = hook_;
            } else {
                fresh_.clear();
            }
        }
        for (const auto &e : fresh)
            hook(e);
    }
}

} // namespace tvksim
