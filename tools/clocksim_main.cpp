// tarvik-clocksim: convergence of the cards' clocks under the CN clock exchange.
//
//   tarvik-clocksim-<profile> [--offset-ms MS] [--card A|B|C|D] [--period S]
//                             [--latency-ms MS] [--minutes M] [--trace] [--log FILE]
//
// Four cards (four ClockMgr objects, the real code) run in one process. Each card
// has a clock of its own behind the time seam (a driven source that answers with the
// clock of the card being served) and its adjtime goes to the machine-action seam,
// which records it and applies it to that card's clock at the kernel's slew rate,
// 0.5 ms per second, the remaining adjustment being replaced by a new call as adjtime
// does. One card starts MS off (default D, +200 ms: ahead).
//
// The station: every S seconds (default 5) it hands the master role from one card to
// the next (A, B, C, D, A, ...). The CN it relays is the one the outgoing master
// would build (prepareClkData on that card's own copy of the CN record: its entry
// gets its time of day and epoch, the other entries are what that card last
// received); the frame needs LATENCY ms on the wire (default: run once with 0 and
// once with the 103-byte frame's time at 9600 baud, 107 ms); then every other card
// copies it into its own CN record and runs elaborateClkData with the outgoing
// master as sender.
//
// Without options it runs the default matrix (+200 and -200 ms, latency 0 and 107
// ms, 60 minutes) and prints, per run, every recorded adjtime with --trace, the first
// CN after which all four clocks lie within 75 ms of each other, whether they stay
// so, and how far the plant as a whole drifted from true time.
#include "ClockMgr.h"
#include "Globals.h"
#include "Log.h"
#include "Platform.h"
#include "SysClock.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int NCARDS = 4;
constexpr double SLEW_US_PER_S = 500.0;   // the kernel slews an adjtime at 0.5 ms per second
constexpr int64 START_S = 1700000000;
constexpr double FRAME_MS = 103 * 10 * 1000.0 / 9600.0;   // CN: 93 data + 10 frame bytes, 10 bits each

struct Card {
    double offUs = 0;       // clock minus true time
    double pendingUs = 0;   // adjtime still to be slewed
};

// The time seam of the simulation: true time plus the clock offset of the card being served.
class SimClocks : public sysclock::Source {
public:
    int64 trueUs = START_S * 1000000;
    int cur = 0;
    Card card[NCARDS];

    int64 cardUs() const { return trueUs + int64(std::llround(card[cur].offUs)); }
    time_t now() override { return time_t(floorDivS(cardUs())); }
    struct timeval timeOfDay() override
    {
        int64 us = cardUs();
        struct timeval tv;
        tv.tv_sec = time_t(floorDivS(us));
        tv.tv_usec = suseconds_t(us - int64(tv.tv_sec) * 1000000);
        return tv;
    }
    struct timespec monotonic() override
    {
        int64 us = trueUs - START_S * 1000000 + 1000000000;
        struct timespec ts;
        ts.tv_sec = time_t(us / 1000000);
        ts.tv_nsec = long(us % 1000000) * 1000;
        return ts;
    }
    void sleepMs(unsigned ms) override { advanceUs(int64(ms) * 1000); }

    void advanceUs(int64 dt)
    {
        trueUs += dt;
        const double maxStep = double(dt) * SLEW_US_PER_S / 1e6;
        for (Card &c : card) {
            double step = std::min(std::fabs(c.pendingUs), maxStep);
            step = c.pendingUs < 0 ? -step : step;
            c.offUs += step;
            c.pendingUs -= step;
        }
    }

private:
    static int64 floorDivS(int64 us) { return us >= 0 ? us / 1000000 : -((-us + 999999) / 1000000); }
};

struct AdjEvent {
    int64 atUs;
    int card;
    double reqUs;
    double oldUs;
};

struct Options {
    double offsetMs = 200;
    int offCard = 3;
    int periodS = 5;
    double latencyMs = 0;
    int minutes = 60;
    bool trace = false;
};

struct Result {
    int adjCalls = 0;
    long firstBelowCn = -1;   // first CN after which the spread is below 75 ms
    double firstBelowMin = 0;
    long lastAboveCn = -1;    // last CN after which it was 75 ms or more
    double finalSpreadMs = 0;
    double maxSpreadLast10Ms = 0;
    double driftMs = 0;       // mean of the four clocks minus true time, at the end
    double offCardVsOthersMs = 0;
    long frames = 0;
    int restarts = 0;         // "Sincronizzo gli orologi"
    double overshootMs = 0;   // largest spread after the first time below 75 ms
    std::vector<AdjEvent> events;
    std::vector<std::string> minutes;   // with --trace: the four offsets once a minute
};

SimClocks *g_sim = nullptr;
std::vector<AdjEvent> *g_events = nullptr;
int g_restarts = 0;
FILE *g_log = nullptr;

double spreadMs(const SimClocks &s)
{
    double lo = s.card[0].offUs, hi = lo;
    for (const Card &c : s.card) {
        lo = std::min(lo, c.offUs);
        hi = std::max(hi, c.offUs);
    }
    return (hi - lo) / 1000.0;
}

Result run(const Options &o)
{
    SimClocks sim;
    sim.card[o.offCard].offUs = o.offsetMs * 1000.0;
    std::vector<AdjEvent> events;
    g_sim = &sim;
    g_events = &events;
    g_restarts = 0;
    sysclock::setSource(&sim);
    platform::setAdjTimeHook([](const struct timeval *d, struct timeval *old) {
        Card &c = g_sim->card[g_sim->cur];
        double oldUs = c.pendingUs;
        if (old) {
            int64 o = int64(std::llround(oldUs));
            old->tv_sec = time_t(o / 1000000);
            old->tv_usec = suseconds_t(o % 1000000);
        }
        if (d) {
            c.pendingUs = double(int64(d->tv_sec) * 1000000 + d->tv_usec);
            g_events->push_back({g_sim->trueUs, g_sim->cur, c.pendingUs, oldUs});
        }
        return 0;
    });

    Result r;
    {
        ClockMgr cards[NCARDS];
        ClockMgr::clkStruct cn[NCARDS];   // each card's copy of CNData.clksData, zeroed as at start
        memset(cn, 0, sizeof cn);
        const int64 periodUs = int64(o.periodS) * 1000000;
        const int64 latencyUs = int64(std::llround(o.latencyMs * 1000.0));
        const long frames = long(o.minutes) * 60 / o.periodS;
        const long last10 = frames - long(600 / o.periodS);
        for (long k = 0; k < frames; ++k) {
            const int s = int(k % NCARDS);
            sim.cur = s;
            KESPAddr = uint8(0xEA + s);
            cards[s].prepareClkData(cn[s]);
            const ClockMgr::clkStruct frame = cn[s];
            sim.advanceUs(latencyUs);
            for (int rcv = 0; rcv < NCARDS; ++rcv) {
                if (rcv == s)
                    continue;
                sim.cur = rcv;
                KESPAddr = uint8(0xEA + rcv);
                cn[rcv] = frame;
                cards[rcv].elaborateClkData(uint8(s), cn[rcv]);
            }
            sim.advanceUs(periodUs - latencyUs);
            const double sp = spreadMs(sim);
            if (sp < 75.0) {
                if (r.firstBelowCn < 0) {
                    r.firstBelowCn = k + 1;
                    r.firstBelowMin = double(k + 1) * o.periodS / 60.0;
                }
            } else {
                r.lastAboveCn = k + 1;
            }
            if (k >= last10)
                r.maxSpreadLast10Ms = std::max(r.maxSpreadLast10Ms, sp);
            if (r.firstBelowCn >= 0)
                r.overshootMs = std::max(r.overshootMs, sp);
            if (o.trace && (k + 1) * o.periodS % 60 == 0) {
                char line[160];
                snprintf(line, sizeof line, "    %4ld min  offsets A %+7.1f  B %+7.1f  C %+7.1f  D %+7.1f ms  spread %6.1f ms",
                         long((k + 1) * o.periodS / 60), sim.card[0].offUs / 1000.0, sim.card[1].offUs / 1000.0,
                         sim.card[2].offUs / 1000.0, sim.card[3].offUs / 1000.0, sp);
                r.minutes.push_back(line);
            }
        }
        r.frames = frames;
    }
    r.finalSpreadMs = spreadMs(sim);
    double sum = 0, others = 0;
    for (int i = 0; i < NCARDS; ++i) {
        sum += sim.card[i].offUs;
        if (i != o.offCard)
            others += sim.card[i].offUs;
    }
    r.driftMs = sum / NCARDS / 1000.0;
    r.offCardVsOthersMs = (sim.card[o.offCard].offUs - others / (NCARDS - 1)) / 1000.0;
    r.adjCalls = int(events.size());
    r.restarts = g_restarts;
    r.events = events;
    platform::setAdjTimeHook(platform::AdjTimeHook());
    sysclock::setSource(nullptr);
    g_sim = nullptr;
    g_events = nullptr;
    return r;
}

void report(const Options &o, const Result &r)
{
    printf("card %c %+.0f ms, CN every %d s, frame latency %.0f ms, %d min (%ld CN frames):\n", char('A' + o.offCard),
           o.offsetMs, o.periodS, o.latencyMs, o.minutes, r.frames);
    if (r.firstBelowCn < 0)
        printf("  spread of the four clocks never below 75 ms\n");
    else
        printf("  spread below 75 ms after CN %ld (%.1f min)%s\n", r.firstBelowCn, r.firstBelowMin,
               r.lastAboveCn > r.firstBelowCn ? "" : ", and stays below");
    if (r.lastAboveCn > r.firstBelowCn && r.firstBelowCn >= 0)
        printf("  went above again (up to %.1f ms); last at CN %ld (%.1f min)\n", r.overshootMs, r.lastAboveCn,
               double(r.lastAboveCn) * o.periodS / 60.0);
    printf("  adjtime calls %d, \"Sincronizzo\" restarts %d; final spread %.1f ms, worst in the last 10 min %.1f ms\n",
           r.adjCalls, r.restarts, r.finalSpreadMs, r.maxSpreadLast10Ms);
    printf("  card %c against the mean of the others at the end %+.1f ms; plant mean against true time %+.1f ms\n",
           char('A' + o.offCard), r.offCardVsOthersMs, r.driftMs);
    if (o.trace) {
        for (const std::string &l : r.minutes)
            printf("%s\n", l.c_str());
        for (const AdjEvent &e : r.events) {
            double tMin = double(e.atUs - START_S * 1000000) / 60e6;
            printf("    %7.2f min  card %c  adjtime %+8.1f ms  (pending before %+8.1f ms)\n", tMin, char('A' + e.card),
                   e.reqUs / 1000.0, e.oldUs / 1000.0);
        }
    }
}

void usage(FILE *f, const char *prog)
{
    fprintf(f,
            "usage: %s [--offset-ms MS] [--card A|B|C|D] [--period S] [--latency-ms MS] [--minutes M]\n"
            "          [--trace] [--log FILE]\n"
            "  Without --offset-ms/--latency-ms: the default matrix (+-200 ms, latency 0 and %.0f ms).\n",
            prog, FRAME_MS);
}

} // namespace

int main(int argc, char **argv)
{
    Options o;
    bool custom = false;
    std::string logPath;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&](double lo, double hi, double &out) {
            if (i + 1 >= argc)
                return false;
            char *end = nullptr;
            out = strtod(argv[++i], &end);
            return *end == '\0' && out >= lo && out <= hi;
        };
        double v = 0;
        if (a == "--offset-ms" && next(-1400, 1400, v)) {
            o.offsetMs = v;
            custom = true;
        } else if (a == "--latency-ms" && next(0, 1000, v)) {
            o.latencyMs = v;
            custom = true;
        } else if (a == "--period" && next(1, 600, v)) {
            o.periodS = int(v);
        } else if (a == "--minutes" && next(1, 24 * 60, v)) {
            o.minutes = int(v);
        } else if (a == "--card" && i + 1 < argc && strlen(argv[i + 1]) == 1 && argv[i + 1][0] >= 'A' &&
                   argv[i + 1][0] <= 'D') {
            o.offCard = argv[++i][0] - 'A';
        } else if (a == "--trace") {
            o.trace = true;
        } else if (a == "--log" && i + 1 < argc) {
            logPath = argv[++i];
        } else if (a == "-h" || a == "--help") {
            usage(stdout, argv[0]);
            return 0;
        } else {
            usage(stderr, argv[0]);
            return 2;
        }
    }
    if (o.latencyMs >= o.periodS * 1000.0) {
        fprintf(stderr, "%s: the latency must be shorter than the period\n", argv[0]);
        return 2;
    }
    if (!logPath.empty()) {
        g_log = fopen(logPath.c_str(), "w");
        if (!g_log) {
            perror(logPath.c_str());
            return 1;
        }
    }
    // The cards' log lines: counted, and kept in FILE when asked.
    tvk_setLogSink([](const std::string &line) {
        if (line.find("Sincronizzo gli orologi") != std::string::npos)
            ++g_restarts;
        if (g_log)
            fputs(line.c_str(), g_log);
    });
    const uint8 savedAddr = KESPAddr;
    if (custom) {
        report(o, run(o));
    } else {
        for (double off : {200.0, -200.0}) {
            for (double lat : {0.0, std::round(FRAME_MS)}) {
                Options m = o;
                m.offsetMs = off;
                m.latencyMs = lat;
                Result r = run(m);
                report(m, r);
            }
        }
    }
    KESPAddr = savedAddr;
    tvk_setLogSink(LogSink());
    if (g_log)
        fclose(g_log);
    return 0;
}
