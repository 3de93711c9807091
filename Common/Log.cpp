#include "Log.h"
#include "Profile.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <sys/time.h>
#include <unistd.h>

namespace {

std::mutex g_sinkMutex;
LogSink g_sink;

void emit(const char *data, size_t len)
{
    std::lock_guard<std::mutex> lk(g_sinkMutex);
    if (g_sink) {
        g_sink(std::string(data, len));
        return;
    }
    // One write per line: lines of different threads never interleave.
    size_t off = 0;
    while (off < len) {
        ssize_t n = ::write(STDERR_FILENO, data + off, len - off);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        off += size_t(n);
    }
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

std::string tvk_sourceUnit(const char *file)
{
    if (!file)
        return std::string();
    const char *dot = strrchr(file, '.');
    const char *slash = strrchr(file, '/');
    if (dot && (!slash || dot > slash))
        return std::string(file, size_t(dot - file));
    return std::string(file);
}

bool tvk_debugEnabled() { return profile::debugLines; }

void tvk_log(const char *file, const char *func, LogLevel lvl, const char *fmt, ...)
{
    if (lvl == LogLevel::Dbg && !profile::debugLines)
        return;
    time_t t = time(nullptr);
    struct tm tmv;
    localtime_r(&t, &tmv);
    std::string line;
    line.reserve(160);
    const char *lw = levelWord(lvl);
    appendF(line, "%6d-> [%02d:%02d:%02d] %s %s (%s): ", int(getpid()), tmv.tm_hour, tmv.tm_min,
            tmv.tm_sec, tvk_sourceUnit(file).c_str(), lw, func ? func : "");
    va_list ap;
    va_start(ap, fmt);
    appendV(line, fmt, ap);
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
    if (!profile::debugLines)
        return;
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    struct tm tmv;
    time_t s = tv.tv_sec;
    localtime_r(&s, &tmv);
    std::string line;
    appendF(line, "[%02d:%02d:%02d.%06ld] %s Dbg (%s): %s\n", tmv.tm_hour, tmv.tm_min, tmv.tm_sec,
            long(tv.tv_usec), tvk_sourceUnit(file).c_str(), func ? func : "", msg ? msg : "");
    emit(line.data(), line.size());
}

void tvk_dump(const char *file, const char *func, const char *label, const uint8_t *buf, size_t len)
{
    if (!profile::debugLines)
        return;
    tvk_log(file, func, LogLevel::None, "%s\n", label ? label : "");
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
    emit(line.data(), line.size());
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
