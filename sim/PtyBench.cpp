#include "PtyBench.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdexcept>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace tvksim {

namespace {

std::atomic<unsigned> g_linkCounter{0};

// The bench's waits are wire timing: real monotonic clock.
int64_t monoNs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

int64_t monoMs() { return monoNs() / 1000000; }

void sleepUntilNs(int64_t t)
{
    struct timespec ts;
    ts.tv_sec = time_t(t / 1000000000);
    ts.tv_nsec = long(t % 1000000000);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

void sleepMsReal(int ms)
{
    if (ms > 0)
        sleepUntilNs(monoNs() + int64_t(ms) * 1000000);
}

std::string sysError(const std::string &what)
{
    char buf[128];
    return what + ": " + strerror_r(errno, buf, sizeof buf);
}

bool makeRaw(int fd)
{
    struct termios t;
    if (tcgetattr(fd, &t) != 0)
        return false;
    cfmakeraw(&t);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    return tcsetattr(fd, TCSANOW, &t) == 0;
}

std::string readLink(const std::string &link)
{
    char buf[256];
    ssize_t n = readlink(link.c_str(), buf, sizeof buf - 1);
    if (n < 0)
        return std::string();
    return std::string(buf, size_t(n));
}

// Waits for `events` on fd up to timeoutMs; true when they came.
bool waitFd(int fd, short events, int timeoutMs)
{
    struct pollfd pfd;
    pfd.fd = fd;
    pfd.events = events;
    pfd.revents = 0;
    int64_t end = monoMs() + timeoutMs;
    for (;;) {
        int left = int(end - monoMs());
        if (left < 0)
            left = 0;
        int r = poll(&pfd, 1, left);
        if (r > 0)
            return (pfd.revents & events) != 0;
        if (r == 0)
            return false;
        if (errno != EINTR)
            return false;
    }
}

const int kWriteWaitMs = 3000;   // longest wait for room in the line

} // namespace

std::string PtyEnd::uniqueLinkName(const std::string &prefix)
{
    for (;;) {
        std::string name = prefix + std::to_string(int(getpid())) + "x" + std::to_string(g_linkCounter++);
        struct stat st;
        if (lstat(name.c_str(), &st) != 0)
            return name;
    }
}

PtyEnd::PtyEnd(const std::string &linkName)
{
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0)
        throw std::runtime_error(sysError("posix_openpt"));
    char name[128];
    if (grantpt(master_) != 0 || unlockpt(master_) != 0 || ptsname_r(master_, name, sizeof name) != 0) {
        std::string e = sysError("pty setup");
        ::close(master_);
        throw std::runtime_error(e);
    }
    slave_ = name;
    slaveKeep_ = ::open(slave_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slaveKeep_ < 0 || !makeRaw(slaveKeep_) || !makeRaw(master_)) {
        std::string e = sysError("pty open/raw " + slave_);
        if (slaveKeep_ >= 0)
            ::close(slaveKeep_);
        ::close(master_);
        throw std::runtime_error(e);
    }
    int fl = fcntl(master_, F_GETFL);
    fcntl(master_, F_SETFL, fl | O_NONBLOCK);

    std::string link = linkName.empty() ? uniqueLinkName() : linkName;
    bool ok = symlink(slave_.c_str(), link.c_str()) == 0;
    if (!ok && errno == EEXIST) {
        // A symlink left by a dead run (its pty is gone) is replaced; one that
        // happens to point at this very slave is taken over.
        struct stat st;
        std::string target = readLink(link);
        if (target == slave_) {
            ok = true;
        } else if (lstat(link.c_str(), &st) == 0 && S_ISLNK(st.st_mode) && target.rfind("/dev/pts/", 0) == 0 &&
                   stat(target.c_str(), &st) != 0) {
            unlink(link.c_str());
            ok = symlink(slave_.c_str(), link.c_str()) == 0;
        } else {
            errno = EEXIST;
        }
    }
    if (!ok) {
        std::string e = sysError("symlink " + link);
        ::close(slaveKeep_);
        ::close(master_);
        throw std::runtime_error(e);
    }
    link_ = link;
}

PtyEnd::~PtyEnd()
{
    if (!link_.empty() && readLink(link_) == slave_)
        unlink(link_.c_str());
    if (master_ >= 0)
        ::close(master_);
    if (slaveKeep_ >= 0)
        ::close(slaveKeep_);
}

bool PtyEnd::write(const uint8_t *p, size_t n)
{
    if (master_ < 0)
        return false;
    size_t off = 0;
    while (off < n) {
        ssize_t w = ::write(master_, p + off, n - off);
        if (w > 0) {
            off += size_t(w);
            continue;
        }
        if (w < 0 && errno == EINTR)
            continue;
        if (w < 0 && errno == EAGAIN) {
            if (!waitFd(master_, POLLOUT, kWriteWaitMs))
                return false;
            continue;
        }
        return false;
    }
    return true;
}

bool PtyEnd::writeChunks(const uint8_t *p, size_t n, size_t chunk, int gapMs)
{
    if (chunk == 0)
        chunk = 1;
    const int64_t t0 = monoNs();
    size_t i = 0;
    for (size_t off = 0; off < n; off += chunk, ++i) {
        if (i > 0)
            sleepUntilNs(t0 + int64_t(i) * gapMs * 1000000);
        size_t len = n - off < chunk ? n - off : chunk;
        if (!write(p + off, len))
            return false;
    }
    return true;
}

bool PtyEnd::writePaced(const uint8_t *p, size_t n, int baud)
{
    if (baud <= 0)
        return write(p, n);
    const int64_t byteNs = int64_t(10) * 1000000000 / baud;
    const int64_t t0 = monoNs();
    for (size_t i = 0; i < n; ++i) {
        sleepUntilNs(t0 + int64_t(i + 1) * byteNs);   // a byte is there after its stop bit
        if (!write(p + i, 1))
            return false;
    }
    return true;
}

std::vector<uint8_t> PtyEnd::read(size_t max, int firstMs, int idleMs)
{
    std::vector<uint8_t> out;
    if (master_ < 0 || max == 0)
        return out;
    int waitMs = firstMs;
    while (out.size() < max) {
        if (!waitFd(master_, POLLIN, waitMs))
            break;
        uint8_t buf[512];
        size_t want = max - out.size() < sizeof buf ? max - out.size() : sizeof buf;
        ssize_t r = ::read(master_, buf, want);
        if (r > 0) {
            out.insert(out.end(), buf, buf + r);
            waitMs = idleMs;
            continue;
        }
        if (r < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        break;   // line gone
    }
    return out;
}

size_t PtyEnd::drain()
{
    size_t total = 0;
    if (master_ < 0)
        return 0;
    uint8_t buf[512];
    for (;;) {
        ssize_t r = ::read(master_, buf, sizeof buf);
        if (r > 0) {
            total += size_t(r);
            continue;
        }
        if (r < 0 && errno == EINTR)
            continue;
        return total;
    }
}

int PtyEnd::pendingToProgram() const
{
    int n = 0;
    if (slaveKeep_ < 0 || ioctl(slaveKeep_, FIONREAD, &n) != 0)
        return -1;
    return n;
}

bool PtyEnd::waitPendingVisible(int timeoutMs)
{
    const int64_t end = monoMs() + timeoutMs;
    for (;;) {
        int n = pendingToProgram();
        if (n > 0)
            return true;
        if (n < 0)
            return false;
        int64_t left = end - monoMs();
        if (left <= 0)
            return false;
        // Readiness of the slave wakes us as soon as the bytes are handed over.
        if (waitFd(slaveKeep_, POLLIN, int(left)) && pendingToProgram() == 0)
            sleepMsReal(1);   // readable but nothing counted: never spin
    }
}

bool PtyEnd::waitConsumed(int timeoutMs)
{
    const int64_t end = monoMs() + timeoutMs;
    for (;;) {
        int n = pendingToProgram();
        if (n == 0)
            return true;
        if (n < 0 || monoMs() >= end)
            return false;
        sleepMsReal(1);   // the pty gives no event when the reader drains it
    }
}

void PtyEnd::closeMaster()
{
    if (master_ >= 0) {
        ::close(master_);
        master_ = -1;
    }
}

int cleanupStaleLinks()
{
    int removed = 0;
    DIR *d = opendir("/dev");
    if (!d)
        return 0;
    while (struct dirent *e = readdir(d)) {
        const char *n = e->d_name;
        if (strncmp(n, "ttyTVK", 6) != 0 && strncmp(n, "tntTVK", 6) != 0)
            continue;
        char *endp = nullptr;
        long pid = strtol(n + 6, &endp, 10);
        if (endp == n + 6 || *endp != 'x' || pid <= 0)
            continue;
        if (kill(pid_t(pid), 0) == 0 || errno != ESRCH)
            continue;
        std::string path = std::string("/dev/") + n;
        struct stat st;
        if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode) && unlink(path.c_str()) == 0)
            ++removed;
    }
    closedir(d);
    return removed;
}

} // namespace tvksim
