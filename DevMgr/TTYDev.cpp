#include "TTYDev.h"

#include "Log.h"
#include "Profile.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <poll.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

// Every diagnostic of a port names its device first.
#define TTYLOG(p, fmt, ...) LOGE("dev:%s " fmt, devName(p), ##__VA_ARGS__)

namespace {

std::atomic<ttyd_write_fn> g_writeFn{nullptr};

const char *const kErrText[] = {"no error",        "unknown error", "open error",   "close error",
                                "flush error",     "get/set settings error",        "read error",
                                "write error",     "select error",  "timeout error", "ioctl error",
                                "port closed error", "break error"};
const char *const kBaudText[] = {"1200", "2400", "4800", "9600", "19200", "38400", "57600", "115200"};
const char *const kDataText[] = {"5", "6", "7", "8"};
const char *const kParityText[] = {"none", "odd", "even"};
const char *const kStopText[] = {"1", "2"};
const char *const kFlowText[] = {"off", "hardware", "xon/xoff"};

template <size_t N> const char *textOf(const char *const (&table)[N], int v)
{
    return (v >= 0 && size_t(v) < N) ? table[v] : nullptr;
}

const char *devName(const ttyd_port_t *p) { return p ? p->dev : "(null)"; }

// The system error text, thread-safe.
struct ErrText {
    char buf[128];
    const char *text;
    explicit ErrText(int e) { text = strerror_r(e, buf, sizeof buf); }
};
#define ESTR(e) (ErrText(e).text)

bool isOpen(const ttyd_port_t *p) { return p && p->pt && p->status == TTYD_PORT_OPEN; }
int fdOf(const ttyd_port_t *p) { return (p && p->pt) ? p->pt->fd : -1; }

// The read time-out is a low-level wait on the port: it runs on the real monotonic
// clock (the port's readiness wait is a real-time wait as well).
int64_t realMonoUs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

// Reads the settings, lets `change` alter them, writes them back at once.
// `func` names the setter in the log line.
template <typename F> int changeSettings(ttyd_port_t *p, const char *func, F change)
{
    struct termios t;
    if (tcgetattr(fdOf(p), &t) != 0) {
        int e = errno;
        tvk_log(__FILE__, func, LogLevel::Err, "dev:%s tcgetattr() %d %s\n", devName(p), e, ESTR(e));
        return TTYD_ERR_CONFIG;
    }
    change(t);
    p->pt->kset.valid = false;
    if (tcsetattr(fdOf(p), TCSANOW, &t) != 0) {
        int e = errno;
        tvk_log(__FILE__, func, LogLevel::Err, "dev:%s tcsetattr() %d %s\n", devName(p), e, ESTR(e));
        return TTYD_ERR_CONFIG;
    }
    return TTYD_ERR_NOERROR;
}

} // namespace

ttyd_port_t *ttyd_init()
{
    ttyd_port_t *p = new (std::nothrow) ttyd_port_t;
    if (!p)
        return nullptr;
    p->pt = new (std::nothrow) ttyd_linux_t;
    if (!p->pt) {
        delete p;
        return nullptr;
    }
    memset(p->dev, 0, sizeof p->dev);
    strcpy(p->dev, "/dev/null");
    p->pt->fd = -1;
    memset(&p->pt->oldterm, 0, sizeof p->pt->oldterm);
    p->pt->oldtermSaved = false;
    p->pt->vmin = 0;
    p->pt->lastRxUs = 0;
    p->pt->rxCount = 0;
    p->pt->flowStartUs = 0;
    p->pt->kset.valid = false;
    p->baud = TTYD_BAUD_9600;
    p->data = TTYD_DATA_8;
    p->stop = TTYD_STOP_1;
    p->flow = TTYD_FLOW_OFF;
    p->parity = TTYD_PARITY_NONE;
    p->status = TTYD_PORT_CLOSED;
    p->wDBG = true;
    return p;
}

void ttyd_set_device(ttyd_port_t *p, const char *device)
{
    if (!p)
        return;
    memset(p->dev, 0, sizeof p->dev);
    if (device)
        strncpy(p->dev, device, TTYD_DEV_MAXLEN);   // the last byte stays 0
}

int ttyd_open(ttyd_port_t *p, bool withDBG)
{
    if (!p || !p->pt) {
        TTYLOG(p, "open() %d %s\n", EINVAL, ESTR(EINVAL));
        return TTYD_ERR_OPEN;
    }
    p->wDBG = withDBG;
    if (p->status == TTYD_PORT_OPEN)   // never leave an earlier descriptor behind
        ttyd_close(p);
    // Blocking descriptor; O_EXCL and O_SYNC as the card's serial drivers expect.
    int fd = ::open(p->dev, O_RDWR | O_EXCL | O_NOCTTY | O_SYNC);
    if (fd < 0) {
        int e = errno;
        TTYLOG(p, "open() %d %s\n", e, ESTR(e));
        return TTYD_ERR_OPEN;
    }
    p->pt->fd = fd;
    p->pt->oldtermSaved = false;
    p->pt->kset.valid = false;
    int rc = TTYD_ERR_NOERROR;
    if (tcflush(fd, TCIOFLUSH) != 0) {
        int e = errno;
        TTYLOG(p, "tcflush() %d %s\n", e, ESTR(e));
        rc = TTYD_ERR_CONFIG;
    }
    if (rc == 0)
        rc = ttyd_set_baud(p, p->baud);
    if (rc == 0)
        rc = ttyd_set_data(p, p->data);
    if (rc == 0)
        rc = ttyd_set_parity(p, p->parity);
    if (rc == 0)
        rc = ttyd_set_stop(p, p->stop);
    if (rc == 0)
        rc = ttyd_set_flow(p, p->flow);
    if (rc != 0) {
        // A failed open leaves the descriptor closed, without a dangling fd.
        ::close(fd);
        p->pt->fd = -1;
        return rc;
    }
    p->status = TTYD_PORT_OPEN;
    return TTYD_ERR_NOERROR;
}

int ttyd_termios(ttyd_port_t *p)
{
    if (!isOpen(p))
        return TTYD_ERR_PORT_CLOSED;
    struct termios t;
    struct termios old;
    if (tcgetattr(p->pt->fd, &t) != 0 || tcgetattr(p->pt->fd, &old) != 0) {
        int e = errno;
        TTYLOG(p, "tcgetattr() %d %s\n", e, ESTR(e));
        return TTYD_ERR_CONFIG;
    }
    p->pt->oldterm = old;
    p->pt->oldtermSaved = true;
    t.c_oflag = 0;
    t.c_iflag = BRKINT | IGNPAR;
    t.c_cflag |= CLOCAL | CREAD;
    t.c_lflag &= ~tcflag_t(ISIG | ICANON | ECHO | ECHOE);
    t.c_cc[VINTR] = 0;
    t.c_cc[VQUIT] = 0;
    t.c_cc[VERASE] = 0;
    t.c_cc[VKILL] = 0;
    t.c_cc[VEOF] = 0;
    t.c_cc[VSTART] = 0;
    t.c_cc[VSTOP] = 0;
    t.c_cc[VSUSP] = 0;
    t.c_cc[VEOL] = 0;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    p->pt->kset.valid = false;
    if (tcsetattr(p->pt->fd, TCSANOW, &t) != 0) {
        int e = errno;
        TTYLOG(p, "tcsetattr() %d %s\n", e, ESTR(e));
        return TTYD_ERR_CONFIG;
    }
    p->pt->vmin = 1;
    return TTYD_ERR_NOERROR;
}

int ttyd_set_baud(ttyd_port_t *p, ttyd_baud_e baud)
{
    static const speed_t speeds[] = {B1200, B2400, B4800, B9600, B19200, B38400, B57600, B115200};
    if (!p || baud < 0 || baud >= TTYD_BAUD_MAX)
        return TTYD_ERR_UNKNOWN;
    int rc = changeSettings(p, __func__, [&](struct termios &t) {
        cfsetispeed(&t, speeds[baud]);
        cfsetospeed(&t, speeds[baud]);
    });
    if (rc == 0)
        p->baud = baud;
    return rc;
}

int ttyd_set_data(ttyd_port_t *p, ttyd_data_e data)
{
    static const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    if (!p || data < 0 || data >= TTYD_DATA_MAX)
        return TTYD_ERR_UNKNOWN;
    int rc = changeSettings(p, __func__, [&](struct termios &t) {
        t.c_cflag &= ~tcflag_t(CSIZE);
        t.c_cflag |= sizes[data];
    });
    if (rc == 0)
        p->data = data;
    return rc;
}

int ttyd_set_parity(ttyd_port_t *p, ttyd_parity_e parity)
{
    if (!p || parity < 0 || parity >= TTYD_PARITY_MAX)
        return TTYD_ERR_UNKNOWN;
    int rc = changeSettings(p, __func__, [&](struct termios &t) {
        switch (parity) {
        case TTYD_PARITY_ODD: t.c_cflag |= PARENB | PARODD; break;
        case TTYD_PARITY_EVEN:
            t.c_cflag |= PARENB;
            t.c_cflag &= ~tcflag_t(PARODD);
            break;
        default: t.c_cflag &= ~tcflag_t(PARENB); break;
        }
    });
    if (rc == 0)
        p->parity = parity;
    return rc;
}

int ttyd_set_stop(ttyd_port_t *p, ttyd_stop_e stop)
{
    if (!p || stop < 0 || stop >= TTYD_STOP_MAX)
        return TTYD_ERR_UNKNOWN;
    int rc = changeSettings(p, __func__, [&](struct termios &t) {
        if (stop == TTYD_STOP_2)
            t.c_cflag |= CSTOPB;
        else
            t.c_cflag &= ~tcflag_t(CSTOPB);
    });
    if (rc == 0)
        p->stop = stop;
    return rc;
}

int ttyd_set_flow(ttyd_port_t *p, ttyd_flow_e flow)
{
    if (!p || flow < 0 || flow >= TTYD_FLOW_MAX)
        return TTYD_ERR_UNKNOWN;
    int rc = changeSettings(p, __func__, [&](struct termios &t) {
        const tcflag_t soft = IXON | IXOFF | IXANY;
        switch (flow) {
        case TTYD_FLOW_HW:
            t.c_cflag |= CRTSCTS;
            t.c_iflag &= ~soft;
            break;
        case TTYD_FLOW_XON_XOFF:
            t.c_cflag &= ~tcflag_t(CRTSCTS);
            t.c_iflag |= soft;
            break;
        default:
            t.c_cflag &= ~tcflag_t(CRTSCTS);
            t.c_iflag &= ~soft;
            break;
        }
    });
    if (rc == 0)
        p->flow = flow;
    return rc;
}

namespace {

// Wire time of one character at the port's line settings (start bit, data bits,
// parity bit, stop bits), rounded down: no character can arrive sooner after the
// one before it.
int64_t charTimeUs(const ttyd_port_t *p)
{
    static const int64_t rates[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};
    const int64_t baud = (p->baud >= 0 && p->baud < TTYD_BAUD_MAX) ? rates[p->baud] : 9600;
    const int data = (p->data >= 0 && p->data < TTYD_DATA_MAX) ? 5 + int(p->data) : 8;
    const int bits = 1 + data + (p->parity != TTYD_PARITY_NONE ? 1 : 0) + (p->stop == TTYD_STOP_2 ? 2 : 1);
    return int64_t(bits) * 1000000 / baud;
}

// Real-time pause away from the port (not on its wait queue: characters that
// arrive meanwhile do not wake the thread).
void pauseUs(int64_t us)
{
    struct timespec ts;
    ts.tv_sec = time_t(us / 1000000);
    ts.tv_nsec = long(us % 1000000) * 1000;
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

// Bookkeeping of a chunk: `avail` characters waiting on the port at `nowUs`, more
// than at the last look. A reply's characters come at most at the line rate: if
// character k (counted since the port opened: those read plus those waiting) was
// there at t, the reply started no later than t - k character times. The last
// character known to be there is the last one waiting, whatever has been read of
// them. The earliest such start over the chunks of one reply (chunks less than two
// steps apart: the port is looked at once a step, and a step may end late; across
// calls; and no write of ours in between: see ttyd_write) dates the reply, so that
// a character handed over late, or a far end that fell behind and catches up, does
// not push the expected end later.
void noteChunk(ttyd_port_t *p, int64_t avail, int64_t nowUs, int64_t charUs, int64_t stepUs)
{
    ttyd_linux_t *pt = p->pt;
    const bool sameReply = pt->lastRxUs != 0 && nowUs - pt->lastRxUs < 2 * stepUs;
    const int64_t startUs = nowUs - (pt->rxCount + avail) * charUs;
    if (!sameReply || startUs < pt->flowStartUs)
        pt->flowStartUs = startUs;
    pt->lastRxUs = nowUs;
}

// Minimum-characters setting (VMIN) of a port this layer put into raw mode,
// written only when it changes, with one call into the kernel (see TTYKernel.h).
// In non-canonical mode without an inter-character time, a wait for readiness
// reports the port readable only once that many characters are waiting; it
// changes nothing else (a read of what FIONREAD reports still returns at once, and
// a serial driver is not reprogrammed for a change of control characters). A port
// not in raw mode is left alone.
void setMinChars(const ttyd_port_t *p, int n)
{
    if (p->pt->vmin == n || p->pt->vmin <= 0)
        return;
    if (ttykernel::setMinChars(p->pt->fd, p->pt->kset, n))
        p->pt->vmin = n;
}

} // namespace

// How the loop waits (every wait at most one step of 10 ms and never past the
// time-out, so the silence is checked at least every step):
// - nothing is coming in (before the first character of a reply, or after a
//   step without one): wait until the port is readable, which wakes the thread
//   at the first character;
// - a reply is coming in: the wanted characters cannot all be in before their
//   wire time (counted from the reply's start, see noteChunk), so sleep through
//   it, but for the last one (at high rates the last 300 us), away from the port
//   (a pty, like the line discipline of a serial port, wakes a thread waiting on
//   the port at every character that comes, whatever the minimum count; only the
//   return is held back); past that time with more than those still missing (a
//   far end behind the line rate, a driver that hands characters over late),
//   sleep again for the wire time of the others;
// - the last ones: wait until the port reports all wanted characters (VMIN), so
//   the read ends as soon as the last one is there.
// Each step looks at the port once (FIONREAD). Characters are left waiting there
// while more are missing and read in one go once all wanted ones are in, before a
// wait on the port that they would end at once, or at the end of the time-out
// (at most 255 are left waiting, the largest minimum count). A reply of N
// characters therefore costs about one wake-up per step of its wire time plus a
// few, instead of one per character. The silence is measured from when a chunk is
// seen, which is at most one step after its first character came.
int ttyd_read_timeout(ttyd_port_t *p, uint8 *buf, uint32 buf_len, uint32 *read_len, uint32 timeout)
{
    uint32 unused = 0;
    if (!read_len)
        read_len = &unused;
    *read_len = 0;
    if (!isOpen(p))
        return TTYD_ERR_PORT_CLOSED;
    if (buf_len == 0)
        return TTYD_ERR_NOERROR;
    if (!buf) {
        TTYLOG(p, "read error -> errno: %d strerror: %s\n", EFAULT, ESTR(EFAULT));
        return TTYD_ERR_READ;
    }
    const int fd = p->pt->fd;
    const int64_t timeoutUs = int64_t(timeout) * 1000;
    const int64_t stepUs = 10000;        // longest wait
    const int64_t charUs = charTimeUs(p);
    const int kMaxLeft = 255;            // most characters left waiting on the port
    // Characters waited for on the port at the end: one, or at high rates as many as
    // come in 300 us, so that a sleep ending late (a timer wakes a thread some
    // 100 us after its time) does not end the read later than the last character.
    const int64_t kTail = charUs < 300 ? 300 / charUs : 1;
    uint32 wanted = buf_len;             // not yet read, including those waiting
    int waiting = 0;                     // waiting on the port at the last look
    int64_t start = realMonoUs();
    // A reply is coming in: a character was seen in the last step (on this port,
    // so on entry for instance the start of the frame read just before).
    bool flowing = p->pt->lastRxUs != 0 && start - p->pt->lastRxUs < stepUs;
    // Set when the last wait reported the port readable but nothing new was
    // waiting afterwards (a hung-up line, for instance): the next step then waits
    // without asking the port, so such a line costs at most one wake-up per step.
    bool readyButEmpty = false;

    // Time to sleep before looking again while a reply comes in: until all wanted
    // characters can be in; past that time, with more than kTail still missing (the
    // far end is behind the line rate), for the wire time of all but kTail of those.
    // 0: wait on the port (or nothing is known of the reply).
    auto sleepFor = [&](int64_t nowUs) -> int64_t {
        if (!flowing)
            return 0;
        const int64_t left = p->pt->flowStartUs + (p->pt->rxCount + int64_t(wanted) - kTail) * charUs - nowUs;
        if (left > 0)
            return left;
        const int64_t missing = int64_t(wanted) - waiting;
        return missing > kTail ? (missing - kTail) * charUs : 0;
    };
    // Reads `n` (at most the waiting ones) into the caller's buffer. 1: read, 0: the
    // driver handed nothing over, < 0: the error code.
    auto take = [&](int n) -> int {
        for (;;) {
            ssize_t r = ::read(fd, buf, size_t(n));
            if (r < 0) {
                int e = errno;
                if (e == EINTR)
                    continue;
                TTYLOG(p, "read error -> errno: %d strerror: %s\n", e, ESTR(e));
                return TTYD_ERR_READ;
            }
            buf += r;
            *read_len += uint32(r);
            wanted -= uint32(r);
            p->pt->rxCount += r;
            waiting = waiting > int(r) ? waiting - int(r) : 0;
            return r > 0 ? 1 : 0;
        }
    };

    // On entry while a reply comes in and its bulk is still on the wire, the first
    // look would find too little: sleep first.
    bool look = sleepFor(start) <= 0;
    for (;;) {
        if (look) {
            int avail = 0;
            if (ioctl(fd, FIONREAD, &avail) != 0) {
                int e = errno;
                TTYLOG(p, "ioctl error -> errno: %d strerror: %s\n", e, ESTR(e));
                return TTYD_ERR_IOCTL;
            }
            if (avail > waiting) {
                start = realMonoUs();   // the silence time-out restarts with every chunk
                noteChunk(p, avail, start, charUs, stepUs);
                readyButEmpty = false;
            }
            waiting = avail;
            if (waiting >= int64_t(wanted) || waiting >= kMaxLeft) {
                // Only what the port reports as waiting: this read never blocks.
                const int rc = take(waiting < int64_t(wanted) ? waiting : int(wanted));
                if (rc < 0)
                    return rc;
                if (wanted == 0)
                    return TTYD_ERR_NOERROR;
                if (rc > 0)
                    continue;   // handed over fewer than it reported: look again
            }
        }
        look = true;

        const int64_t now = realMonoUs();
        flowing = p->pt->lastRxUs != 0 && now - p->pt->lastRxUs < stepUs;
        int64_t left = timeoutUs - (now - start);
        if (left < 0)
            left = 0;
        const int64_t waitUs = left < stepUs ? left : stepUs;
        int pr = 0;
        int werr = 0;
        const int64_t bulkUs = sleepFor(now);
        if (bulkUs > 0) {
            pauseUs(bulkUs < waitUs ? bulkUs : waitUs);
        } else if (readyButEmpty) {
            pauseUs(waitUs);
        } else {
            // A wait on the port ends at once while characters it does not count
            // are waiting: those are read first (all of them when nothing is
            // coming in; the minimum count then is one).
            if (waiting > 0 && !flowing) {
                const int rc = take(waiting);
                if (rc < 0)
                    return rc;
            }
            setMinChars(p, flowing ? (wanted < uint32(kMaxLeft) ? int(wanted) : kMaxLeft) : 1);
            struct timespec ts;
            ts.tv_sec = time_t(waitUs / 1000000);
            ts.tv_nsec = long(waitUs % 1000000) * 1000;
            struct pollfd pfd;
            pfd.fd = fd;
            pfd.events = POLLIN;
            pfd.revents = 0;
            pr = ppoll(&pfd, 1, &ts, nullptr);
            werr = errno;
            // Nothing waiting and a step that ended without the first character:
            // the next step need not ask the port.
            if (pr == 0 && !flowing && waiting == 0 && p->pt->vmin == 1)
                look = false;
        }
        readyButEmpty = pr > 0;
        if (pr < 0 && werr != EINTR) {
            TTYLOG(p, "select error - > errno:%d strerror: %s\n", werr, ESTR(werr));
            return TTYD_ERR_SELECT;
        }
        if (pr <= 0 && realMonoUs() - start >= timeoutUs) {
            // Characters that came during the wait are taken first: a thread that
            // resumes late must not turn a reply that came in time into a time-out.
            int late = 0;
            if (ioctl(fd, FIONREAD, &late) == 0 && late > waiting)
                continue;
            // The silence is over: what came is the caller's.
            if (waiting > 0) {
                const int rc = take(waiting);
                if (rc < 0)
                    return rc;
            }
            return TTYD_ERR_TIMEOUT;
        }
    }
}

int ttyd_wait_input(const ttyd_port_t *p, uint32 timeoutMs)
{
    if (!isOpen(p))
        return TTYD_ERR_PORT_CLOSED;
    const int fd = p->pt->fd;
    int avail = 0;
    if (ioctl(fd, FIONREAD, &avail) != 0 || avail > 0)
        return 1;   // characters waiting, or a port that reports an error: the read tells
    // A minimum-characters setting left by the last read would hold the wait until
    // that many characters are in (see setMinChars): the first one is what counts here.
    setMinChars(p, 1);
    struct pollfd pfd;
    pfd.fd = fd;
    pfd.events = POLLIN;
    pfd.revents = 0;
    const int r = poll(&pfd, 1, int(timeoutMs > 0x7FFFFFFFu ? 0x7FFFFFFFu : timeoutMs));
    if (r > 0 || (r < 0 && errno != EINTR))
        return 1;
    return 0;
}

int ttyd_write(ttyd_port_t *p, const uint8 *buf, uint32 buf_len, uint32 *write_len)
{
    uint32 unused = 0;
    if (!write_len)
        write_len = &unused;
    *write_len = 0;
    if (!isOpen(p))
        return TTYD_ERR_PORT_CLOSED;
    const int fd = p->pt->fd;
    int pending = 0;
    int rc = ioctl(fd, FIONREAD, &pending);
    int e = errno;
    if (rc != 0)
        pending = 0;
#if !defined(TVK_MODULAR)
    TTYLOG(p, "Risposta preparata, caratteri nel frattempo arrivati in ingresso: %ld [da inviare %ld] !!\n",
           long(pending), long(buf_len));
#endif
    if (rc != 0) {
        TTYLOG(p, "ioctl error -> errno: %d strerror: %s\n", e, ESTR(e));
        return TTYD_ERR_IOCTL;
    }
    if (pending > 0) {
        // The other side is already talking again: this reply is too late.
#if defined(TVK_MODULAR)
        TTYLOG(p, "Risposta preparata in ritardo, altri caratteri sono nel frattempo arrivati in ingresso!!\n");
#else
        TTYLOG(p, "Risposta preparata in ritardo, altri caratteri sono nel frattempo arrivati in ingresso: %ld!!\n",
               long(pending));
#endif
        return TTYD_ERR_WRITE;
    }
    if (buf_len == 0)
        return TTYD_ERR_NOERROR;
    if (!buf) {
        TTYLOG(p, "errno: %d strerror: %s %s\n", EFAULT, ESTR(EFAULT), "TTYD_ERR_WRITE");
        return TTYD_ERR_WRITE;
    }
    ttyd_write_fn fn = g_writeFn.load();
    ssize_t n = fn ? fn(fd, buf, buf_len) : ::write(fd, buf, buf_len);
    if (n < 0) {
        e = errno;
        TTYLOG(p, "errno: %d strerror: %s %s\n", e, ESTR(e), "TTYD_ERR_WRITE");
        *write_len = 0;
        return TTYD_ERR_WRITE;
    }
    *write_len = size_t(n) > buf_len ? buf_len : uint32(n);
    // What comes in after this is the far end's answer, a new reply: its start is
    // not dated by the chunks of the reply before (see noteChunk).
    if (n > 0)
        p->pt->lastRxUs = 0;
    return TTYD_ERR_NOERROR;
}

int ttyd_write_complete(ttyd_port_t *p)
{
    if (!isOpen(p))
        return TTYD_ERR_PORT_CLOSED;
    while (tcdrain(p->pt->fd) != 0) {
        int e = errno;
        if (e == EINTR)
            continue;
        TTYLOG(p, "tcdrain() errno: %d strerror: %s\n", e, ESTR(e));
        return TTYD_ERR_UNKNOWN;
    }
    return TTYD_ERR_NOERROR;
}

int ttyd_sendbreak(ttyd_port_t *p)
{
    if (!isOpen(p))
        return TTYD_ERR_PORT_CLOSED;
    if (tcsendbreak(p->pt->fd, 0) != 0) {
        TTYLOG(p, "errno:%d %s\n", errno, "break error");
        return TTYD_ERR_BREAK;
    }
    return TTYD_ERR_NOERROR;
}

int ttyd_flush(ttyd_port_t *p)
{
    if (!isOpen(p))
        return TTYD_ERR_PORT_CLOSED;
    if (tcflush(p->pt->fd, TCIOFLUSH) != 0)
        return TTYD_ERR_FLUSH;
    return TTYD_ERR_NOERROR;
}

int ttyd_close(ttyd_port_t *p)
{
    if (!isOpen(p))
        return TTYD_ERR_PORT_CLOSED;
    int fd = p->pt->fd;
    // Linux releases the descriptor even when close reports an error: never keep
    // the number, it may already belong to another file.
    p->pt->fd = -1;
    if (::close(fd) != 0) {
        int e = errno;
        TTYLOG(p, "close() %d %s\n", e, ESTR(e));
        return TTYD_ERR_CLOSE;
    }
    p->status = TTYD_PORT_CLOSED;
    return TTYD_ERR_NOERROR;
}

int ttyd_end(ttyd_port_t *p)
{
    if (!isOpen(p))
        return TTYD_ERR_NOERROR;
    ttyd_flush(p);
    if (p->pt->oldtermSaved && tcsetattr(p->pt->fd, TCSANOW, &p->pt->oldterm) != 0) {
        int e = errno;
        TTYLOG(p, "tcsetattr() %d %s\n", e, ESTR(e));
        return TTYD_ERR_CONFIG;
    }
    int rc = ttyd_close(p);
    if (rc != 0)
        return rc;
    delete p->pt;
    delete p;
    return TTYD_ERR_NOERROR;
}

void ttyd_free(ttyd_port_t *p)
{
    if (!p)
        return;
    if (p->pt && p->pt->fd >= 0)
        ::close(p->pt->fd);
    delete p->pt;
    delete p;
}

int ttyd_ioctl(ttyd_port_t *p, uint32 cmd, void *param)
{
    int r = ioctl(fdOf(p), (unsigned long)cmd, param);
    return r < 0 ? int(TTYD_ERR_IOCTL) : r;
}

int ttyd_SetCtrlTerm(ttyd_port_t *p)
{
    if (ioctl(fdOf(p), TIOCSCTTY, 0) != 0) {
        int e = errno;
        TTYLOG(p, "TIOCSCTTY error (%d): %s\n", e, ESTR(e));
        return TTYD_ERR_UNKNOWN;
    }
    return TTYD_ERR_NOERROR;
}

bool ttyd_port_open(const ttyd_port_t *p) { return isOpen(p); }

const char *ttyd_strerror(int code)
{
    LOGE("error=%ld\n", long(code));
    return (code <= 0 && code > TTYD_ERR_MAX) ? kErrText[-code] : nullptr;
}

const char *ttyd_strbaud(int baud) { return textOf(kBaudText, baud); }
const char *ttyd_strdata(int data) { return textOf(kDataText, data); }
const char *ttyd_strparity(int parity) { return textOf(kParityText, parity); }
const char *ttyd_strstop(int stop) { return textOf(kStopText, stop); }
const char *ttyd_strflow(int flow) { return textOf(kFlowText, flow); }

ttyd_write_fn ttyd_set_write_fn(ttyd_write_fn fn) { return g_writeFn.exchange(fn); }
