// tarvik-setclock: sets the card's clock by hand, as the card's other processes
// (display, web pages) do, and gives that clock the priority among the cards of
// the plant for the next 300 s (the other cards follow it on the cabinet bus).
//
//   tarvik-setclock-<profile> [--dir DIR] [--wait S] TIME
//
// TIME is "YYYY-MM-DD HH:MM[:SS]" or "YYYY-MM-DDTHH:MM[:SS]" (local time),
// "@SECONDS[.FRACTION]" (since the epoch), or "now" (keep the present time, only
// mark the clock as set by hand).
//
// The tool writes a request file "clockset.req" into DIR, the card's working
// directory (the one that holds its "Tarvik" key file), whole (temporary file, then
// rename); the card's cabinet-bus thread takes it within a loop turn, sets the clock
// and answers in "clockset.res". The request carries the monotonic time at which it
// was written, so the card adds the time that passed until it took it. With --wait
// (default 90 s: a listening card may take that long between two turns; 0: do not
// wait) the tool waits for the answer; when none came it withdraws its request.
//
// Exit status: 0 clock set (or request written, without waiting); 1 no card in DIR;
// 2 usage; 3 request not writable; 6 no answer in time; 7 the card refused.
#include "ClockMgr.h"
#include "Profile.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/time.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr int EXIT_NO_CARD = 1;
constexpr int EXIT_USAGE = 2;
constexpr int EXIT_WRITE = 3;
constexpr int EXIT_TIMEOUT = 6;
constexpr int EXIT_REFUSED = 7;

void usage(FILE *f, const char *prog)
{
    fprintf(f,
            "usage: %s [--dir DIR] [--wait S] TIME\n"
            "  TIME    \"YYYY-MM-DD HH:MM[:SS]\" (local time), @SECONDS[.FRACTION], or now\n"
            "  --dir   directory holding the card's \"Tarvik\" key file (default \".\")\n"
            "  --wait  seconds to wait for the card's answer (default 90, 0: no wait)\n"
            "  Built for the %s profile.\n",
            prog, profile::name);
}

bool parseSeconds(const char *s, int64 &sec, int64 &usec)
{
    char *end = nullptr;
    errno = 0;
    long long v = strtoll(s, &end, 10);
    if (errno || end == s || v < 0)
        return false;
    sec = v;
    usec = 0;
    if (*end == '.') {
        const char *p = end + 1;
        int digits = 0;
        int64 frac = 0;
        while (*p >= '0' && *p <= '9') {
            if (digits < 6) {
                frac = frac * 10 + (*p - '0');
                ++digits;
            }
            ++p;
        }
        if (p == end + 1)
            return false;
        while (digits++ < 6)
            frac *= 10;
        usec = frac;
        end = const_cast<char *>(p);
    }
    return *end == '\0';
}

bool parseLocal(const std::string &text, int64 &sec)
{
    static const char *formats[] = {"%Y-%m-%d %H:%M:%S", "%Y-%m-%dT%H:%M:%S", "%Y-%m-%d %H:%M", "%Y-%m-%dT%H:%M"};
    for (const char *f : formats) {
        struct tm tmv;
        memset(&tmv, 0, sizeof tmv);
        const char *end = strptime(text.c_str(), f, &tmv);
        if (!end || *end)
            continue;
        tmv.tm_isdst = -1;
        time_t t = mktime(&tmv);
        if (t == time_t(-1))
            return false;
        sec = int64(t);
        return true;
    }
    return false;
}

int64 monotonicUs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

bool readSmall(const std::string &path, std::string &out)
{
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    char buf[clkreq::MAX_LINE + 1];
    ssize_t n = read(fd, buf, sizeof buf);
    close(fd);
    if (n < 0 || size_t(n) > clkreq::MAX_LINE)
        return false;
    out.assign(buf, size_t(n));
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    std::string dir = ".";
    long waitS = 90;
    std::string timeArg;
    int nargs = 0;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--dir" && i + 1 < argc) {
            dir = argv[++i];
        } else if (a == "--wait" && i + 1 < argc) {
            char *end = nullptr;
            waitS = strtol(argv[++i], &end, 10);
            if (*end || waitS < 0 || waitS > 3600) {
                usage(stderr, argv[0]);
                return EXIT_USAGE;
            }
        } else if (a == "-h" || a == "--help") {
            usage(stdout, argv[0]);
            return 0;
        } else if (nargs == 0 && !(a.size() > 1 && a[0] == '-' && a[1] == '-')) {
            timeArg = a;
            ++nargs;
        } else {
            usage(stderr, argv[0]);
            return EXIT_USAGE;
        }
    }
    if (nargs != 1) {
        usage(stderr, argv[0]);
        return EXIT_USAGE;
    }

    clkreq::Request r;
    if (timeArg == "now") {
        struct timeval tv;
        gettimeofday(&tv, nullptr);
        r.sec = int64(tv.tv_sec);
        r.usec = int64(tv.tv_usec);
    } else if (timeArg[0] == '@') {
        if (!parseSeconds(timeArg.c_str() + 1, r.sec, r.usec)) {
            fprintf(stderr, "tarvik-setclock: \"%s\" is not @SECONDS[.FRACTION]\n", timeArg.c_str());
            return EXIT_USAGE;
        }
    } else if (!parseLocal(timeArg, r.sec)) {
        fprintf(stderr, "tarvik-setclock: \"%s\" is not a time (YYYY-MM-DD HH:MM[:SS])\n", timeArg.c_str());
        return EXIT_USAGE;
    }
    if (r.sec < clkreq::MIN_TIME || r.sec > clkreq::MAX_TIME) {
        fprintf(stderr, "tarvik-setclock: time %lld outside %lld .. %lld\n", (long long)r.sec,
                (long long)clkreq::MIN_TIME, (long long)clkreq::MAX_TIME);
        return EXIT_USAGE;
    }

    struct stat st;
    if (stat((dir + "/Tarvik").c_str(), &st) != 0) {
        fprintf(stderr, "tarvik-setclock: no card in %s (no \"Tarvik\" key file)\n", dir.c_str());
        return EXIT_NO_CARD;
    }

    char tok[40];
    snprintf(tok, sizeof tok, "%d-%lld", int(getpid()), (long long)(monotonicUs() % 1000000000));
    r.token = tok;
    r.monoUs = monotonicUs();
    const std::string line = clkreq::formatRequest(r);
    const std::string req = dir + "/" + clkreq::REQUEST_FILE;
    const std::string res = dir + "/" + clkreq::RESULT_FILE;
    const std::string tmp = req + ".tmp" + std::to_string(getpid());
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    bool ok = fd >= 0 && write(fd, line.data(), line.size()) == ssize_t(line.size());
    if (fd >= 0)
        ok = close(fd) == 0 && ok;
    if (!ok || rename(tmp.c_str(), req.c_str()) != 0) {
        fprintf(stderr, "tarvik-setclock: cannot write %s: %s\n", req.c_str(), strerror(errno));
        unlink(tmp.c_str());
        return EXIT_WRITE;
    }
    printf("clock request %s written (%lld.%06lld)\n", r.token.c_str(), (long long)r.sec, (long long)r.usec);
    fflush(stdout);
    if (waitS == 0)
        return 0;

    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(waitS);
    for (;;) {
        std::string text, token;
        int code = 0;
        int64 sec = 0;
        if (readSmall(res, text) && clkreq::parseResult(text.data(), text.size(), token, code, sec) &&
            token == r.token) {
            if (code == clkreq::DONE) {
                printf("clock set by the card to %lld\n", (long long)sec);
                return 0;
            }
            fprintf(stderr, "tarvik-setclock: the card refused: %s (%d)\n", clkreq::codeText(code), code);
            return EXIT_REFUSED;
        }
        if (std::chrono::steady_clock::now() >= end)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    // Withdraw the request if the card has not taken it yet.
    std::string pending;
    clkreq::Request still;
    if (readSmall(req, pending) && clkreq::parseRequest(pending.data(), pending.size(), still) &&
        still.token == r.token && unlink(req.c_str()) == 0)
        fprintf(stderr, "tarvik-setclock: no answer within %ld s; request withdrawn\n", waitS);
    else
        fprintf(stderr, "tarvik-setclock: no answer within %ld s\n", waitS);
    return EXIT_TIMEOUT;
}
