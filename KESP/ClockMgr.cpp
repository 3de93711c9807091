#include "ClockMgr.h"

#include "Globals.h"
#include "KESP.h"
#include "Log.h"
#include "Platform.h"
#include "SysClock.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

static_assert(sizeof(ClockMgr::clkTime_t) == 8, "T is 8 bytes");
static_assert(sizeof(ClockMgr::clkValue_t) == 16, "a clock entry is 16 bytes");
static_assert(sizeof(ClockMgr::clkStruct) == 68, "clkStruct is 68 bytes");
static_assert(offsetof(ClockMgr::clkValue_t, T) == 0, "T at 0");
static_assert(offsetof(ClockMgr::clkValue_t, epochT) == 8, "epochT at 8");
static_assert(offsetof(ClockMgr::clkValue_t, delta) == 12, "delta at 12");
static_assert(offsetof(ClockMgr::clkStruct, clkValue) == 0, "clkValue at 0");
static_assert(offsetof(ClockMgr::clkStruct, TftTime) == 64, "TftTime at 64");
static_assert(ClockMgr::NUMCLK == MAXUPSBOX, "one clock entry per cabinet");

namespace {

int64 absv(int64 v) { return v < 0 ? -v : v; }

int32 clampI32(int64 v) { return int32(std::max<int64>(INT32_MIN, std::min<int64>(INT32_MAX, v))); }

// Division rounding towards minus infinity (the borrow of a second into microseconds).
int64 floorDiv(int64 a, int64 b)
{
    int64 q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0)))
        --q;
    return q;
}

} // namespace

ClockMgr::ClockMgr()
    : mutexClk(new myMutex("mutexClk")), epochWhenClockChanged(0), lastAdj(1), prevdelta(0), lastPollMs_(INT64_MIN),
      lastBadSenderLogMs_(INT64_MIN), lastStuckLogMs_(INT64_MIN), badOwnLogged_(false)
{
}

ClockMgr::~ClockMgr() { delete mutexClk; }

int ClockMgr::ownIndex() { return isMCU_NODE(KESPAddr) ? int(MCU2id(KESPAddr)) : -1; }

int64 ClockMgr::weight(int32 epochT) { return std::max<int64>(1, int64(epochT) >> 16); }

bool ClockMgr::ownIndexOk(int &own)
{
    own = ownIndex();
    if (own >= 0)
        return true;
    if (!badOwnLogged_) {
        badOwnLogged_ = true;
        LOGE("Numero di armadio non valido (0x%02X): orologio non sincronizzato\n", KESPAddr);
    }
    return false;
}

void ClockMgr::prepareClkData(clkStruct &clk)
{
    myMutexLocker lk(mutexClk);
    int own;
    if (!ownIndexOk(own))
        return;
    struct timeval tv = sysclock::timeOfDay();
    clkValue_t &e = clk.clkValue[own];
    e.T.tv_sec = int32(tv.tv_sec);
    e.T.tv_usec = int32(tv.tv_usec);
    if (e.epochT == 0)
        e.epochT = 1;
    if (epochWhenClockChanged != 0)
        e.epochT = clampI32(epochWhenClockChanged);
}

void ClockMgr::elaborateClkData(uint8 MCUrf, clkStruct &rem)
{
    myMutexLocker lk(mutexClk);
    int own;
    if (!ownIndexOk(own))
        return;
    if (MCUrf >= NUMCLK) {
        int64 ms = sysclock::monotonicMs();
        if (lastBadSenderLogMs_ == INT64_MIN || ms - lastBadSenderLogMs_ >= 60000 || ms < lastBadSenderLogMs_) {
            lastBadSenderLogMs_ = ms;
            LOGE("Indice mittente %u fuori dai limiti: dati orologio ignorati\n", unsigned(MCUrf));
        }
        return;
    }
    clkValue_t *c = rem.clkValue;

    // 1. Own time of day; newest epoch among the other entries.
    struct timeval tv = sysclock::timeOfDay();
    const int64 now = int64(tv.tv_sec);
    c[own].T.tv_sec = int32(tv.tv_sec);
    c[own].T.tv_usec = int32(tv.tv_usec);
    int64 maxEpoch = 0;
    for (int j = 0; j < NUMCLK; ++j)
        if (j != own)
            maxEpoch = std::max<int64>(maxEpoch, c[j].epochT);

    // 2. Own epoch; a manual setting keeps the priority for 300 s or until a newer one is heard.
    int64 b;
    if (epochWhenClockChanged == 0) {
        b = c[own].epochT;
    } else {
        const int64 manual = int64(epochWhenClockChanged);
        c[own].epochT = clampI32(manual);
        bool endPriority = false;
        b = manual;
        if (absv(now - manual) >= int64(PRIORITY_S)) {
            LOGN("Fine priorita' di questo orologio\n");
            endPriority = true;
        } else if (maxEpoch < manual) {
            for (int j = 0; j < NUMCLK; ++j)
                if (j != own)
                    c[j].epochT = 1;
        } else {
            LOGN("Altro display guadagna priorita'\n");
            endPriority = true;
        }
        if (endPriority) {
            epochWhenClockChanged = 0;
            c[own].epochT = 1;
            b = 1;
        }
    }

    // TftTime comes from the wire: never use more than the cap.
    int64 tft = std::min<int64>(rem.TftTime, TFTTIME_MAX);
    rem.TftTime = uint32(tft);

    // 3. This clock is the reference.
    if (maxEpoch < b) {
        c[own].delta = int32(tft / 1000);
        return;
    }
    // 4. Only the reference clock is followed. A frame that claims to come from this
    // very cabinet has nothing to follow.
    if (int64(c[MCUrf].epochT) < maxEpoch || MCUrf == own)
        return;

    // 5. Own clock against the sender's, positive when the own clock is ahead.
    const clkValue_t snd = c[MCUrf];
    const int64 diffUs = (int64(c[own].T.tv_sec) - snd.T.tv_sec) * 1000000 + (int64(c[own].T.tv_usec) - snd.T.tv_usec);
    const int64 deltaMs = floorDiv(diffUs, 1000);

    // 6. Too far apart to be averaged or slewed, whichever clock is ahead.
    if (absv(deltaMs) >= SYNC_THRESHOLD_MS) {
        if (now - int64(lastAdj) >= int64(ADJ_INTERVAL_S)) {
            bool newer = false;
            for (int j = 0; j < NUMCLK; ++j)
                if (j != own && j != MCUrf && c[j].T.tv_sec > snd.T.tv_sec)
                    newer = true;
            if (!newer) {
                LOGN("Sincronizzo gli orologi\n my_tv_sec:%ld  rem_tv_sec:%ld\n", long(c[own].T.tv_sec),
                     long(snd.T.tv_sec));
                prevdelta = 0;
                c[own].delta = 0;
            }
        }
        return;
    }

    // 7. Weighted average of the own offset.
    int64 sum = 0;
    for (int j = 0; j < NUMCLK; ++j)
        sum += weight(c[j].epochT);
    const int64 d = weight(snd.epochT);
    const int64 q = (d * deltaMs + (sum - d) * (int64(prevdelta) >> 5)) / sum;
    prevdelta = clampI32((29 * int64(prevdelta) + 32 * q) / 30);
    const int64 D = int64(prevdelta) >> 5;
    c[own].delta = int32(D);
    int64 accT = 0;
    int countMCU = 0;
    for (int j = 0; j < NUMCLK; ++j) {
        if (c[j].epochT != 0) {
            accT += c[j].delta;
            ++countMCU;
        }
    }
    if (countMCU > 0) {
        tft = std::min<int64>((31 * tft + absv(accT) * 1000 / countMCU) >> 5, TFTTIME_MAX);
        rem.TftTime = uint32(tft);
    }

    // 8. Slew at most once a minute, and only towards a clock of newer epoch.
    if (now - int64(lastAdj) > int64(ADJ_INTERVAL_S) - 1 && int64(epochWhenClockChanged) < int64(snd.epochT)) {
        const int64 Dp = D - tft / 1000;
        const int64 absD = absv(Dp);
        if (absD > SLEW_THRESHOLD_MS) {
            struct timeval delta, oldDelta;
            delta.tv_sec = time_t(Dp / -1000);
            delta.tv_usec = suseconds_t((Dp % 1000) * -1000);
            oldDelta.tv_sec = 0;
            oldDelta.tv_usec = 0;
            if (platform::adjTime(&delta, &oldDelta) != 0) {
                int e = errno;
                LOGE("adjtime() failed, errno = %d\n", e);
                oldDelta.tv_sec = 0;
                oldDelta.tv_usec = 0;
            } else {
                lastAdj = time_t(now);
            }
            LOGN("delta:%ld.%06ld\n", long(delta.tv_sec), long(delta.tv_usec));
            LOGN("oldDelta:%ld.%06ld\n", long(oldDelta.tv_sec), long(oldDelta.tv_usec));
        }
        if (absD > LOG_THRESHOLD_MS) {
            LOGN("delta pesato:%ld\n", long(Dp));
            for (int j = 0; j < NUMCLK; ++j)
                LOGN("-%d- T:%11i.%03lis delta: %6ims epochT:%11is\n", j, int(c[j].T.tv_sec),
                     long(c[j].T.tv_usec / 1000), int(c[j].delta), int(c[j].epochT));
            LOGN("accT:%6i countMCU:%d\n", int(clampI32(accT)), countMCU);
            LOGN("TftTime:%d\n", int(tft));
        }
    }
}

int ClockMgr::setClockManually(const struct timeval &tv)
{
    myMutexLocker lk(mutexClk);
    if (tv.tv_usec < 0 || tv.tv_usec >= 1000000 || int64(tv.tv_sec) < clkreq::MIN_TIME ||
        int64(tv.tv_sec) > clkreq::MAX_TIME) {
        LOGE("Impostazione orologio a %ld.%06ld fuori dai limiti\n", long(tv.tv_sec), long(tv.tv_usec));
        errno = EINVAL;
        return -1;
    }
    if (platform::setTime(&tv) != 0) {
        int e = errno;
        LOGE("settimeofday() failed, errno = %d\n", e);
        errno = e;
        return -1;
    }
    // A slew still pending was worked out against the old clock: drop it.
    struct timeval zero = {0, 0}, old = {0, 0};
    if (platform::adjTime(&zero, &old) != 0)
        LOGE("adjtime() failed, errno = %d\n", errno);
    // The clock now carries the newest epoch. The average and the once-a-minute
    // spacing were measured on the old clock, which may have jumped either way.
    time_t t = sysclock::now();
    epochWhenClockChanged = int64(t) > 1 ? t : 2;
    prevdelta = 0;
    lastAdj = 1;
    LOGN("Orologio impostato manualmente: %ld.%06ld epoch:%ld\n", long(tv.tv_sec), long(tv.tv_usec),
         long(epochWhenClockChanged));
    return 0;
}

int ClockMgr::pollClockRequest(const char *dir)
{
    const int64 ms = sysclock::monotonicMs();
    {
        myMutexLocker lk(mutexClk);
        if (lastPollMs_ != INT64_MIN && ms >= lastPollMs_ && ms - lastPollMs_ < POLL_INTERVAL_MS)
            return 0;
        lastPollMs_ = ms;
    }
    return handleRequest(dir && *dir ? dir : ".");
}

namespace {

// Writes the result whole: a fresh temporary file, then rename over the old result.
void writeResult(const std::string &dir, const std::string &line)
{
    std::string tmp = dir + "/" + clkreq::RESULT_FILE + ".tmp";
    std::string dst = dir + "/" + clkreq::RESULT_FILE;
    unlink(tmp.c_str());
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        LOGE("Impossibile scrivere %s, errno = %d\n", tmp.c_str(), errno);
        return;
    }
    bool ok = write(fd, line.data(), line.size()) == ssize_t(line.size());
    ok = close(fd) == 0 && ok;
    if (!ok || rename(tmp.c_str(), dst.c_str()) != 0) {
        LOGE("Impossibile scrivere %s, errno = %d\n", dst.c_str(), errno);
        unlink(tmp.c_str());
    }
}

} // namespace

int ClockMgr::stuckRequest(const std::string &path, int err)
{
    // A request that cannot be removed is never acted on (it would be acted on again
    // at every poll); said once a minute at most.
    int64 ms = sysclock::monotonicMs();
    if (lastStuckLogMs_ == INT64_MIN || ms - lastStuckLogMs_ >= 60000 || ms < lastStuckLogMs_) {
        lastStuckLogMs_ = ms;
        LOGE("Impossibile rimuovere %s, errno = %d: richiesta ignorata\n", path.c_str(), err);
    }
    return clkreq::REFUSED_FORMAT;
}

int ClockMgr::handleRequest(const char *dirArg)
{
    const std::string dir = dirArg;
    const std::string path = dir + "/" + clkreq::REQUEST_FILE;
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return 0;
        // A symbolic link (or anything else that cannot be opened as a file) is no request.
        int e = errno;
        if (unlink(path.c_str()) != 0)
            return stuckRequest(path, errno);
        LOGE("Richiesta impostazione orologio rifiutata: %s non leggibile (errno = %d)\n", clkreq::REQUEST_FILE, e);
        writeResult(dir, clkreq::formatResult("-", clkreq::REFUSED_FORMAT, 0));
        return clkreq::REFUSED_FORMAT;
    }
    struct stat st;
    char buf[clkreq::MAX_LINE + 1];
    ssize_t n = -1;
    bool safe = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && (st.st_uid == geteuid() || st.st_uid == 0) &&
                st.st_size >= 0 && size_t(st.st_size) <= clkreq::MAX_LINE;
    if (safe)
        n = read(fd, buf, sizeof buf);
    close(fd);
    // The request is used once: removed before it is acted on, so a refused one is not retried.
    if (unlink(path.c_str()) != 0)
        return stuckRequest(path, errno);

    clkreq::Request r;
    int code = clkreq::DONE;
    bool parsed = safe && n >= 0 && size_t(n) <= clkreq::MAX_LINE && clkreq::parseRequest(buf, size_t(n), r);
    std::string token = clkreq::validToken(r.token) ? r.token : std::string("-");
    struct timeval target = {0, 0};
    if (!parsed) {
        code = clkreq::REFUSED_FORMAT;
    } else if (r.sec < clkreq::MIN_TIME || r.sec > clkreq::MAX_TIME || r.usec < 0 || r.usec > 999999) {
        code = clkreq::REFUSED_RANGE;
    } else {
        const int64 elapsed = sysclock::monotonicUs() - r.monoUs;
        if (elapsed < 0 || elapsed > clkreq::MAX_AGE_US) {
            code = clkreq::REFUSED_STALE;
        } else {
            const int64 us = r.sec * 1000000 + r.usec + elapsed;
            target.tv_sec = time_t(us / 1000000);
            target.tv_usec = suseconds_t(us % 1000000);
            if (int64(target.tv_sec) > clkreq::MAX_TIME)
                code = clkreq::REFUSED_RANGE;
            else if (setClockManually(target) != 0)
                code = clkreq::REFUSED_MACHINE;
        }
    }
    if (code != clkreq::DONE)
        LOGE("Richiesta impostazione orologio rifiutata: %s\n", clkreq::codeText(code));
    writeResult(dir, clkreq::formatResult(token, code, code == clkreq::DONE ? int64(target.tv_sec) : 0));
    return code == clkreq::DONE ? 1 : code;
}

namespace clkreq {

namespace {

// Splits `text` (at most one trailing newline) into exactly `want` fields separated by single blanks.
bool splitFields(const char *text, size_t len, std::string *out, int want)
{
    if (!text || len == 0 || len > MAX_LINE)
        return false;
    if (text[len - 1] == '\n')
        --len;
    int k = 0;
    size_t start = 0;
    for (size_t i = 0; i <= len; ++i) {
        if (i == len || text[i] == ' ') {
            if (i == start || k >= want)
                return false;
            out[k++].assign(text + start, i - start);
            start = i + 1;
        } else if (text[i] < 0x21 || text[i] > 0x7E) {
            return false;
        }
    }
    return k == want;
}

bool parseNonNeg(const std::string &s, int64 &v)
{
    if (s.empty() || s.size() > 18)
        return false;
    int64 r = 0;
    for (char ch : s) {
        if (ch < '0' || ch > '9')
            return false;
        r = r * 10 + (ch - '0');
    }
    v = r;
    return true;
}

bool parseInt(const std::string &s, int64 &v)
{
    if (!s.empty() && s[0] == '-') {
        if (!parseNonNeg(s.substr(1), v))
            return false;
        v = -v;
        return true;
    }
    return parseNonNeg(s, v);
}

} // namespace

bool validToken(const std::string &t)
{
    if (t.empty() || t.size() > 32)
        return false;
    for (char ch : t)
        if (!((ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9') || ch == '_' ||
              ch == '-'))
            return false;
    return true;
}

std::string formatRequest(const Request &r)
{
    char buf[MAX_LINE + 1];
    snprintf(buf, sizeof buf, "%lld %lld %lld %s\n", (long long)r.sec, (long long)r.usec, (long long)r.monoUs,
             r.token.c_str());
    return buf;
}

bool parseRequest(const char *text, size_t len, Request &r)
{
    std::string f[4];
    r = Request();
    if (!splitFields(text, len, f, 4))
        return false;
    if (validToken(f[3]))
        r.token = f[3];
    return validToken(f[3]) && parseNonNeg(f[0], r.sec) && parseNonNeg(f[1], r.usec) && parseNonNeg(f[2], r.monoUs);
}

std::string formatResult(const std::string &token, int code, int64 sec)
{
    char buf[MAX_LINE + 1];
    snprintf(buf, sizeof buf, "%s %d %lld\n", token.c_str(), code, (long long)sec);
    return buf;
}

bool parseResult(const char *text, size_t len, std::string &token, int &code, int64 &sec)
{
    std::string f[3];
    int64 c = 0;
    if (!splitFields(text, len, f, 3) || !(validToken(f[0]) || f[0] == "-") || !parseInt(f[1], c) ||
        !parseNonNeg(f[2], sec) || c < INT_MIN || c > INT_MAX)
        return false;
    token = f[0];
    code = int(c);
    return true;
}

const char *codeText(int code)
{
    switch (code) {
    case DONE:
        return "orologio impostato";
    case REFUSED_MACHINE:
        return "il sistema non ha accettato l'impostazione";
    case REFUSED_FORMAT:
        return "richiesta malformata o file non sicuro";
    case REFUSED_RANGE:
        return "ora fuori dai limiti";
    case REFUSED_STALE:
        return "richiesta scaduta";
    default:
        return "codice sconosciuto";
    }
}

} // namespace clkreq
