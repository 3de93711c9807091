#include "Log.h"
#include "Profile.h"

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <pthread.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <unistd.h>

namespace {

std::mutex g_sinkMutex;
LogSink g_sink;

// Writes `n` pieces to standard error in one call (more only if the file takes
// part of them), or hands each piece to the sink on its own.
void emitv(struct iovec *iov, int n)
{
    std::lock_guard<std::mutex> lk(g_sinkMutex);
    if (g_sink) {
        for (int i = 0; i < n; ++i)
            g_sink(std::string(static_cast<const char *>(iov[i].iov_base), iov[i].iov_len));
        return;
    }
    // One write per line (per dump with its label line): lines of different threads
    // never interleave.
    while (n > 0) {
        ssize_t w = ::writev(STDERR_FILENO, iov, n);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        while (n > 0 && size_t(w) >= iov->iov_len) {
            w -= ssize_t(iov->iov_len);
            ++iov;
            --n;
        }
        if (n > 0) {
            iov->iov_base = static_cast<char *>(iov->iov_base) + w;
            iov->iov_len -= size_t(w);
        }
    }
}

void emit(const char *data, size_t len)
{
    struct iovec iov = {const_cast<char *>(data), len};
    emitv(&iov, 1);
}

// The process number in every line, asked of the kernel once per process (a
// child made by fork asks again).
std::atomic<int> g_pid{0};

void forgetPid() { g_pid.store(0, std::memory_order_relaxed); }

int processId()
{
    int pid = g_pid.load(std::memory_order_relaxed);
    if (pid == 0) {
        static const int registered = pthread_atfork(nullptr, nullptr, forgetPid);
        (void)registered;
        pid = int(getpid());
        g_pid.store(pid, std::memory_order_relaxed);
    }
    return pid;
}

const char *levelWord(LogLevel lvl)
{
    switch (lvl) {
    case LogLevel::Err: return "Err";
    case LogLevel::War: return "War";
    case LogLevel::Dbg: return "Dbg";
    default: return "";
    }
}

// Appends vprintf output to a string, growing as needed.
void appendV(std::string &out, const char *fmt, va_list ap)
{
    char small[512];
    va_list cp;
    va_copy(cp, ap);
    int n = vsnprintf(small, sizeof small, fmt, cp);
    va_end(cp);
    if (n < 0)
        return;
    if (size_t(n) < sizeof small) {
        out.append(small, size_t(n));
        return;
    }
    std::string big(size_t(n) + 1, '\0');
    vsnprintf(&big[0], big.size(), fmt, ap);
    out.append(big.data(), size_t(n));
}

void appendF(std::string &out, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void appendF(std::string &out, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    appendV(out, fmt, ap);
    va_end(ap);
}

} // namespace

namespace {

// Files whose lines carry another unit than their own name: the unit the layout of
// the tree assigns them. A file split out of a unit keeps that unit's name in the log
// by one row here ("file without extension", "unit").
struct UnitRow {
    const char *file;
    const char *unit;
};
constexpr UnitRow kUnitTable[] = {
    // Module bus: reply handling is part of the codec unit; module data access, system
    // commands and module aggregation are part of the bus thread.
    {"DUVEX/DUVEXData", "DUVEX/DUVEX"},
    {"DUVEX/DUVEXReply", "DUVEX/DUVEX"},
    {"DUVEX/DUVEXAccess", "DUVEX/ThreadDUVEX"},
    {"DUVEX/DUVEXCmds", "DUVEX/ThreadDUVEX"},
    {"DUVEX/DUVEXAggregate", "DUVEX/ThreadDUVEX"},
    // Cabinet bus: the message catalogue belongs to the codec, aggregation to the thread.
    {"KESP/KESPCatalogue", "KESP/KESP"},
    {"KESP/KESPAggregate", "KESP/ThreadKESP"},
    {"KESP/KESPData", "KESP/ThreadKESP"},
    {"KESP/KESPVuJson", "KESP/ThreadKESP"},
};

// The unit of a __FILE__ value as a pointer and a length into either `file` or the
// table: no allocation, a handful of comparisons per line.
struct UnitRef {
    const char *p;
    size_t n;
};

UnitRef unitOf(const char *file)
{
    if (!file)
        return {"", 0};
    const char *dot = strrchr(file, '.');
    const char *slash = strrchr(file, '/');
    size_t n = (dot && (!slash || dot > slash)) ? size_t(dot - file) : strlen(file);
    for (const UnitRow &row : kUnitTable) {
        size_t k = strlen(row.file);
        // The path is relative to the tree (the build maps it); an absolute one ends
        // in "/" + the row's file.
        if (n >= k && memcmp(file + n - k, row.file, k) == 0 && (n == k || file[n - k - 1] == '/'))
            return {row.unit, strlen(row.unit)};
    }
    return {file, n};
}

} // namespace

std::string tvk_sourceUnit(const char *file)
{
    UnitRef u = unitOf(file);
    return std::string(u.p, u.n);
}

namespace {

// Opt-in quieter level for the builds that write debug lines: TARVIK_LOG_QUIET set
// to anything but "" or "0" drops the Dbg lines, the microsecond traces and the
// frame dumps, as the modular build does. Read at the first line written.
std::atomic<int> g_quiet{-1};

bool quietLevel()
{
    int q = g_quiet.load(std::memory_order_relaxed);
    if (q < 0) {
        const char *v = getenv("TARVIK_LOG_QUIET");
        q = (v && *v && strcmp(v, "0") != 0) ? 1 : 0;
        g_quiet.store(q, std::memory_order_relaxed);
    }
    return q != 0;
}

bool debugOn() { return profile::debugLines && !quietLevel(); }

} // namespace

void tvk_setQuietLog(bool quiet) { g_quiet.store(quiet ? 1 : 0, std::memory_order_relaxed); }

bool tvk_debugEnabled() { return debugOn(); }

namespace {

// A log line: the process, the time, the unit, the level and the function, then the text.
void formatLine(std::string &line, const char *file, const char *func, LogLevel lvl, const char *fmt, va_list ap)
{
    time_t t = time(nullptr);
    struct tm tmv;
    localtime_r(&t, &tmv);
    line.reserve(160);
    const char *lw = levelWord(lvl);
    const UnitRef u = unitOf(file);
    appendF(line, "%6d-> [%02d:%02d:%02d] %.*s %s (%s): ", processId(), tmv.tm_hour, tmv.tm_min, tmv.tm_sec,
            int(u.n), u.p, lw, func ? func : "");
    appendV(line, fmt, ap);
}

void formatLineF(std::string &line, const char *file, const char *func, LogLevel lvl, const char *fmt, ...)
    __attribute__((format(printf, 5, 6)));
void formatLineF(std::string &line, const char *file, const char *func, LogLevel lvl, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    formatLine(line, file, func, lvl, fmt, ap);
    va_end(ap);
}

} // namespace

void tvk_log(const char *file, const char *func, LogLevel lvl, const char *fmt, ...)
{
    if (lvl == LogLevel::Dbg && !debugOn())
        return;
    std::string line;
    va_list ap;
    va_start(ap, fmt);
    formatLine(line, file, func, lvl, fmt, ap);
    va_end(ap);
    emit(line.data(), line.size());
}

void tvk_raw(const char *fmt, ...)
{
    std::string text;
    va_list ap;
    va_start(ap, fmt);
    appendV(text, fmt, ap);
    va_end(ap);
    emit(text.data(), text.size());
}

void tvk_trace(const char *file, const char *func, const char *msg)
{
    if (!debugOn())
        return;
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    struct tm tmv;
    time_t s = tv.tv_sec;
    localtime_r(&s, &tmv);
    std::string line;
    const UnitRef u = unitOf(file);
    appendF(line, "[%02d:%02d:%02d.%06ld] %.*s Dbg (%s): %s\n", tmv.tm_hour, tmv.tm_min, tmv.tm_sec,
            long(tv.tv_usec), int(u.n), u.p, func ? func : "", msg ? msg : "");
    emit(line.data(), line.size());
}

void tvk_dump(const char *file, const char *func, const char *label, const uint8_t *buf, size_t len)
{
    if (!debugOn())
        return;
    std::string head;
    formatLineF(head, file, func, LogLevel::None, "%s\n", label ? label : "");
    std::string line;
    line.reserve(len * 5 + 1);
    static const char hex[] = "0123456789ABCDEF";
    for (size_t i = 0; buf && i < len; ++i) {
        line += "0x";
        line += hex[buf[i] >> 4];
        line += hex[buf[i] & 0x0F];
        line += ' ';
    }
    line += '\n';
    // The label line and the bytes in one write.
    struct iovec iov[2] = {{&head[0], head.size()}, {&line[0], line.size()}};
    emitv(iov, 2);
}

void tvk_perror(int err)
{
    char buf[256];
    std::string line = strerror_r(err, buf, sizeof buf);
    line += '\n';
    emit(line.data(), line.size());
}

void tvk_setLogSink(LogSink sink)
{
    std::lock_guard<std::mutex> lk(g_sinkMutex);
    g_sink = std::move(sink);
}
