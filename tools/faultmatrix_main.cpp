// The fault matrix: faults of both buses, of the card processes and of the disk,
// one after another against a simulated four-cabinet plant of real cards, with a
// markdown table of the results.
//
//   tarvik-faultmatrix-<profile> [--rows LIST] [--dir DIR] [--other-profile P] [--list]
//
// Every row waits until the plant is healthy (every card running, every vu.json
// with the full system output power and no module lost), puts its fault on for
// a while, takes its stale-data check at the end of the fault, takes the fault
// away and measures:
//  - alive: every card process still runs (a killed card: runs again);
//  - recovery: from the end of the fault until the bus carries good exchanges
//    again: module bus - the stand-in module answered the card again; cabinet
//    bus - every card's broadcast BS answer has gone over the line with a good
//    check code. The exchange under way when the fault ended runs to its own end
//    (a time-out, at worst) first: that part is shown as "under way" (up to the
//    first query the card, or the master, sends after the end). The limit is that
//    plus one polling round (module bus: the longest time between two queries of
//    one command in the healthy plant) or one cabinet-bus cycle (the longest time
//    between two BS answers of one card in the healthy plant), both measured
//    before the first row, with 10 % for the scheduling of a loaded machine;
//  - log: the most lines one card wrote in one second while the fault was on
//    (bound kLogBound, the cards at the bench's log level, TARVIK_LOG_QUIET=1);
//  - stale: no record shows stale data as current: in every card's tree a
//    cabinet whose module record is not marked lost has a time stamp at most
//    kCabinetStaleS old; a module that has not answered for longer than its data
//    stay current (plus the debounce) is lost in its own cabinet record and
//    listed MODULE_n_LOST in every card's vu.json; a vu.json is a whole document.
// A row passes when every card is alive, recovery is within its limit, the log
// stays under the bound and the stale check holds. Exit status 0 when every row
// passed, 1 otherwise, 2 for a bad command line.
#include "KespStations.h"
#include "Plant.h"
#include "Scenario.h"
#include "VirtualUPSMgr.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <pthread.h>
#include <set>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

#if TVK_PROFILE == 3
const char *const kOwnProfile = "modular";
#elif TVK_PROFILE == 2
const char *const kOwnProfile = "std";
#else
const char *const kOwnProfile = "naval";
#endif

constexpr double kLogBound = 200;       // lines per second and card
constexpr int64_t kModuleCurrentS = 30; // module data stay current this long
constexpr int64_t kDebounceS = 6;       // module-level disagreement debounce
constexpr int64_t kCabinetStaleS = 120; // cabinet data are stale after this long
constexpr double kJitter = 1.1;         // a round or cycle may run 10 % long (scheduling on a loaded machine)
constexpr int kFaultCab = 2;            // cabinet C suffers the faults of one cabinet
constexpr int kOtherCab = 1;            // cabinet B: the silent card, the vanished cabinet-bus port

int64_t nowUs()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

std::string readAll(const std::string &path)
{
    std::string doc;
    if (FILE *f = fopen(path.c_str(), "r")) {
        char buf[8192];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, f)) > 0)
            doc.append(buf, n);
        fclose(f);
    }
    return doc;
}

long vuValue(const std::string &doc, const std::string &key)
{
    size_t p = doc.find("\"" + key + "\": ");
    if (p == std::string::npos)
        return -1;
    return strtol(doc.c_str() + p + key.size() + 4, nullptr, 10);
}

bool wholeDoc(const std::string &d) { return d.size() > 2 && d.front() == '{' && d.back() == '}'; }

// Replies of each card's stand-in module (from its timing hook).
struct ModuleLog {
    std::mutex m;
    std::vector<std::deque<tvksim::ExchangeTiming>> ex;
    void add(int card, const tvksim::ExchangeTiming &t)
    {
        std::lock_guard<std::mutex> lk(m);
        auto &d = ex[size_t(card)];
        d.push_back(t);
        if (d.size() > 4000)
            d.pop_front();
    }
    int64_t lastReplyUs(int card)
    {
        std::lock_guard<std::mutex> lk(m);
        auto &d = ex[size_t(card)];
        return d.empty() ? 0 : d.back().replyEndUs;
    }
    int64_t firstReplyAfter(int card, int64_t us)
    {
        std::lock_guard<std::mutex> lk(m);
        for (const auto &t : ex[size_t(card)])
            if (t.replyStartUs >= us)
                return t.replyEndUs;
        return 0;
    }
    std::vector<std::deque<int64_t>> q;   // when query bytes reached the module
    void addQuery(int card, int64_t us)
    {
        std::lock_guard<std::mutex> lk(m);
        auto &d = q[size_t(card)];
        if (!d.empty() && us - d.back() < 2000)
            return;   // the same query, read in pieces
        d.push_back(us);
        if (d.size() > 4000)
            d.pop_front();
    }
    int64_t firstQueryAfter(int card, int64_t us)
    {
        std::lock_guard<std::mutex> lk(m);
        for (int64_t t : q[size_t(card)])
            if (t >= us)
                return t;
        return 0;
    }
    std::vector<tvksim::ExchangeTiming> since(int card, int64_t us)
    {
        std::lock_guard<std::mutex> lk(m);
        std::vector<tvksim::ExchangeTiming> v;
        for (const auto &t : ex[size_t(card)])
            if (t.queryFirstUs >= us)
                v.push_back(t);
        return v;
    }
};

// Lines each card's log grew by, sampled once a second.
struct LogMeter {
    std::vector<long> offset;
    std::vector<size_t> lines;
    void init(tvksim::Plant &p)
    {
        offset.assign(size_t(p.cards()), 0);
        lines.assign(size_t(p.cards()), 0);
        for (int k = 0; k < p.cards(); ++k) {
            struct stat st;
            if (stat(p.card(k).logPath().c_str(), &st) == 0)
                offset[size_t(k)] = long(st.st_size);
        }
    }
    // Lines added since the last call, per card.
    std::vector<size_t> take(tvksim::Plant &p)
    {
        std::vector<size_t> got(size_t(p.cards()), 0);
        for (int k = 0; k < p.cards(); ++k) {
            FILE *f = fopen(p.card(k).logPath().c_str(), "r");
            if (!f)
                continue;
            struct stat st;
            if (fstat(fileno(f), &st) == 0 && st.st_size < offset[size_t(k)])
                offset[size_t(k)] = 0;   // a new log
            if (fseek(f, offset[size_t(k)], SEEK_SET) == 0) {
                char buf[65536];
                size_t n;
                while ((n = fread(buf, 1, sizeof buf, f)) > 0) {
                    offset[size_t(k)] += long(n);
                    got[size_t(k)] += size_t(std::count(buf, buf + n, '\n'));
                }
            }
            fclose(f);
        }
        return got;
    }
};

struct Row {
    std::string key;
    std::string fault;
    bool moduleBus = false;        // recovery measured on the module bus (else the cabinet bus)
    int faultMs = 15000;
    std::function<void()> start;   // puts the fault on
    std::function<void()> tick;    // called every 100 ms during the fault (may be empty)
    std::function<void()> stop;    // takes it away
    std::function<void()> after;   // after the measurement (may be empty)
    int recoveryCard = kFaultCab;  // module bus: whose module; -1: every card's
    std::function<bool(std::string &)> extraCheck;   // at the end of the fault (may be empty)
};

struct Result {
    std::string key, fault;
    bool alive = false;
    double recoveryS = -1;
    double underwayS = 0;   // of it: the exchange under way at the end of the fault
    double limitS = 0;
    double maxLogLines = 0;
    char maxLogCard = '-';
    bool staleOk = false;
    std::string staleNote;
    double healthyAgainS = -1;
    bool pass = false;
    std::string at;   // wall time of the start of the fault
};

class Matrix {
public:
    Matrix(const tvksim::PlantOptions &o) : opt_(o) {}

    bool startPlant()
    {
        plant_.reset(new tvksim::Plant(opt_));
        mods_.ex.assign(size_t(plant_->cards()), {});
        mods_.q.assign(size_t(plant_->cards()), {});
        for (int k = 0; k < plant_->cards(); ++k)
            hookModule(k);
        return healthy(90000);
    }
    void stopPlant() { plant_.reset(); }
    tvksim::Plant &p() { return *plant_; }

    void hookModule(int k)
    {
        plant_->module(k).setTimingHook([this, k](const tvksim::ExchangeTiming &t) { mods_.add(k, t); });
        plant_->module(k).setWireHook([this, k](bool toModule, const uint8_t *, size_t, int64_t us) {
            if (toModule)
                mods_.addQuery(k, us);
        });
    }

    // Every card runs, every vu.json has the full output power and no module lost,
    // every module answered within the last second.
    bool isHealthy()
    {
        for (int k = 0; k < plant_->cards(); ++k) {
            if (!plant_->card(k).running())
                return false;
            const std::string d = readAll(plant_->vuJsonPath(k));
            if (vuValue(d, "OUTPUTPOWER") != 2000L * plant_->cards() || d.find("_LOST") != std::string::npos)
                return false;
            if (nowUs() - mods_.lastReplyUs(k) > 1000000)
                return false;
        }
        return true;
    }
    bool healthy(int timeoutMs)
    {
        const int64_t end = nowUs() + int64_t(timeoutMs) * 1000;
        while (nowUs() < end) {
            if (isHealthy())
                return true;
            sleepMs(200);
        }
        return false;
    }

    // Round and cycle of the healthy plant, over `ms`.
    void baseline(int ms)
    {
        const int64_t t0 = nowUs();
        const size_t tap0 = plant_->hub().tapCount();
        sleepMs(ms);
        round_ = 0;
        for (int k = 0; k < plant_->cards(); ++k) {
            std::map<int, int64_t> last;
            for (const auto &t : mods_.since(k, t0)) {
                const int cmd = t.mainCmd * 256 + t.subCmd;
                auto it = last.find(cmd);
                if (it != last.end())
                    round_ = std::max(round_, t.queryFirstUs - it->second);
                last[cmd] = t.queryFirstUs;
            }
        }
        cycle_ = 0;
        std::map<int, int64_t> last;
        for (const auto &e : plant_->hub().tapSince(tap0)) {
            if (!e.is('B', 'S') || e.h.dest != tvksim::kesp::BROADCAST || !e.checkOk)
                continue;
            auto it = last.find(e.h.src);
            if (it != last.end())
                cycle_ = std::max(cycle_, e.lastUs - it->second);
            last[e.h.src] = e.lastUs;
        }
        printf("healthy plant over %.0f s: module-bus polling round %.2f s, cabinet-bus cycle %.2f s\n\n", ms / 1000.0,
               round_ / 1e6, cycle_ / 1e6);
        fflush(stdout);
    }

    // Every card's good BS answer seen after `fromSeq`; the time of the last of them, or 0.
    int64_t allAnswered(size_t fromSeq, int64_t afterUs)
    {
        std::map<int, int64_t> first;
        for (const auto &e : plant_->hub().tapSince(fromSeq))
            if (e.is('B', 'S') && e.h.dest == tvksim::kesp::BROADCAST && e.checkOk && !e.collided && e.firstUs >= afterUs &&
                !first.count(e.h.src))
                first[e.h.src] = e.lastUs;
        int64_t latest = 0;
        for (int k = 0; k < plant_->cards(); ++k) {
            auto it = first.find(plant_->addrOf(k));
            if (it == first.end())
                return 0;
            latest = std::max(latest, it->second);
        }
        return latest;
    }

    // The stale-data check at one moment (ground truth: the stand-ins' replies).
    bool staleCheck(std::string &note)
    {
        bool ok = true;
        const int64_t now = nowUs();
        const time_t wall = time(nullptr);
        for (int k = 0; k < plant_->cards(); ++k) {
            const char own = char('A' + plant_->cabinetOf(k));
            if (!plant_->card(k).running())
                continue;
            const std::string doc = readAll(plant_->vuJsonPath(k));
            if (!doc.empty() && !wholeDoc(doc)) {
                ok = false;
                note += std::string(" ") + own + ":vu.json cut;";
            }
            tvksim::TreeAttach t;
            const bool tree = t.attach(plant_->card(k).keyFile());
            for (int x = 0; x < plant_->cards(); ++x) {
                const char cab = char('A' + plant_->cabinetOf(x));
                const int64_t silentS = (now - mods_.lastReplyUs(x)) / 1000000;
                char id[16];
                snprintf(id, sizeof id, "S%c.B%c", own, cab);
                virtualNode_t *box = tree ? t.node(id) : nullptr;
                if (box) {
                    const unsigned al = box->desc.upsBox.subSystem.UPSShelter[0].alarmSt;
                    const long age = long(wall - time_t(box->desc.upsBox.Ups.timestamp));
                    if (al != commLostAlarm && box->desc.upsBox.Ups.timestamp != 0 && age > kCabinetStaleS) {
                        ok = false;
                        note += std::string(" ") + own + ":" + cab + " " + std::to_string(age) + " s old as current;";
                    }
                    if (x == k && al != commLostAlarm && silentS > kModuleCurrentS + kDebounceS + 2) {
                        ok = false;
                        note += std::string(" ") + own + ":own module silent " + std::to_string(silentS) +
                                " s not lost;";
                    }
                }
                if (silentS > kModuleCurrentS + kDebounceS + 15 && !doc.empty()) {
                    const std::string lost = "MODULE_" + std::to_string(plant_->cabinetOf(x) + 1) + "_LOST";
                    if (doc.find(lost) == std::string::npos) {
                        ok = false;
                        note += std::string(" ") + own + ":vu.json misses " + lost + ";";
                    }
                }
            }
        }
        return ok;
    }

    Result run(Row &r)
    {
        Result res;
        res.key = r.key;
        res.fault = r.fault;
        res.limitS = kJitter * (r.moduleBus ? round_ : cycle_) / 1e6;
        if (!healthy(120000)) {
            res.staleNote = "plant not healthy before the row";
            return res;
        }
        r.start();
        LogMeter meter;   // from here: what a card writes because of the fault, not its own start
        meter.init(*plant_);
        const int64_t t0 = nowUs();
        const time_t wall0 = time(nullptr);
        int64_t nextSample = t0 + 1000000;
        while (nowUs() - t0 < int64_t(r.faultMs) * 1000) {
            if (r.tick)
                r.tick();
            sleepMs(100);
            if (nowUs() >= nextSample) {
                const double span = (nowUs() - nextSample + 1000000) / 1e6;
                auto got = meter.take(*plant_);
                for (int k = 0; k < plant_->cards(); ++k)
                    if (got[size_t(k)] / span > res.maxLogLines) {
                        res.maxLogLines = got[size_t(k)] / span;
                        res.maxLogCard = char('A' + plant_->cabinetOf(k));
                    }
                nextSample = nowUs() + 1000000;
            }
        }
        {
            char buf[16];
            struct tm tm;
            gmtime_r(&wall0, &tm);
            strftime(buf, sizeof buf, "%H:%M:%S", &tm);
            res.at = buf;
        }
        res.staleOk = staleCheck(res.staleNote);
        if (r.extraCheck && !r.extraCheck(res.staleNote))
            res.staleOk = false;
        const size_t seq = plant_->hub().tapCount();
        r.stop();
        const int64_t endUs = nowUs();
        // Recovery: up to 30 s.
        while (nowUs() - endUs < 30000000) {
            int64_t at = 0;
            if (r.moduleBus) {
                at = r.recoveryCard >= 0 ? mods_.firstReplyAfter(r.recoveryCard, endUs) : 0;
                if (r.recoveryCard < 0) {
                    at = 1;
                    for (int k = 0; k < plant_->cards() && at; ++k) {
                        const int64_t a = mods_.firstReplyAfter(k, endUs);
                        at = a ? std::max(at, a) : 0;
                    }
                }
            } else {
                at = allAnswered(seq, endUs);
            }
            if (at && !r.moduleBus) {
                // The first query the master sends after the end.
                for (const auto &e : plant_->hub().tapSince(seq))
                    if (e.is('B', 'S') && e.h.dest != tvksim::kesp::BROADCAST && e.firstUs >= endUs) {
                        res.underwayS = e.firstUs < at ? (e.firstUs - endUs) / 1e6 : 0;
                        break;
                    }
            }
            if (at) {
                res.recoveryS = (at - endUs) / 1e6;
                if (r.moduleBus && r.recoveryCard >= 0) {
                    const int64_t q = mods_.firstQueryAfter(r.recoveryCard, endUs);
                    res.underwayS = q && q < at ? (q - endUs) / 1e6 : 0;
                }
                break;
            }
            sleepMs(50);
        }
        res.alive = true;
        for (int k = 0; k < plant_->cards(); ++k)
            if (!plant_->card(k).running())
                res.alive = false;
        const int64_t h0 = nowUs();
        if (healthy(120000))
            res.healthyAgainS = (nowUs() - endUs) / 1e6;
        (void)h0;
        std::string late;
        if (!staleCheck(late)) {
            res.staleOk = false;
            res.staleNote += " after:" + late;
        }
        if (r.after)
            r.after();
        // The exchange under way when the fault ended ends by its own time-out; one
        // round (module bus) or one cycle (cabinet bus) is counted from there.
        res.limitS += res.underwayS;
        res.pass = res.alive && res.recoveryS >= 0 && res.recoveryS <= res.limitS && res.maxLogLines <= kLogBound &&
                   res.staleOk && res.healthyAgainS >= 0;
        return res;
    }

    int64_t round_ = 0, cycle_ = 0;

private:
    tvksim::PlantOptions opt_;
    std::unique_ptr<tvksim::Plant> plant_;
    ModuleLog mods_;
};

void printRow(const Result &r)
{
    char rec[96], hl[32], lg[32];
    if (r.recoveryS < 0)
        snprintf(rec, sizeof rec, "none in 30 s (limit %.2f)", r.limitS);
    else
        snprintf(rec, sizeof rec, "%.2f s (limit %.2f)", r.recoveryS, r.limitS);
    if (r.recoveryS >= 0 && r.underwayS > 0)
        snprintf(rec + strlen(rec), sizeof rec - strlen(rec), ", %.2f under way", r.underwayS);
    if (r.healthyAgainS < 0)
        snprintf(hl, sizeof hl, "not in 120 s");
    else
        snprintf(hl, sizeof hl, "%.1f s", r.healthyAgainS);
    snprintf(lg, sizeof lg, "%.0f (%c)", r.maxLogLines, r.maxLogCard);
    printf("| %s | %s%s | %s | %s | %s | %s | %s%s | %s |\n", r.key.c_str(), r.fault.c_str(),
           r.at.empty() ? "" : (" (" + r.at + ")").c_str(), r.alive ? "yes" : "NO", rec,
           hl, lg, r.staleOk ? "ok" : "STALE", r.staleNote.empty() ? "" : (":" + r.staleNote).c_str(),
           r.pass ? "pass" : "FAIL");
    fflush(stdout);
}

void usage(const char *prog)
{
    fprintf(stderr, "usage: %s [--rows KEY,KEY,...] [--dir DIR] [--other-profile PROFILE] [--list]\n", prog);
}

} // namespace

int main(int argc, char **argv)
{
    std::string dir, rowsArg, other = std::string(kOwnProfile) == "std" ? "naval" : "std";
    bool list = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&]() -> std::string {
            if (i + 1 >= argc) {
                usage(argv[0]);
                exit(2);
            }
            return argv[++i];
        };
        if (a == "--dir")
            dir = next();
        else if (a == "--rows")
            rowsArg = next();
        else if (a == "--other-profile")
            other = next();
        else if (a == "--list")
            list = true;
        else {
            usage(argv[0]);
            return 2;
        }
    }
    const std::string bin = tvksim::programDir();
    if (dir.empty()) {
        char tmpl[] = "/tmp/tarvik-faults-XXXXXX";
        if (!mkdtemp(tmpl)) {
            perror("mkdtemp");
            return 1;
        }
        dir = tmpl;
    }
    signal(SIGPIPE, SIG_IGN);
    sigset_t stopSigs;
    sigemptyset(&stopSigs);
    sigaddset(&stopSigs, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSigs, nullptr);   // the cards clear it before exec

    tvksim::PlantOptions o;
    o.program = bin + "/tarvik-" + kOwnProfile;
    o.baseDir = dir + "/plant";
    o.mask = "1111";
    o.muBoards = true;
    o.env.push_back("TARVIK_LOG_QUIET=1");
    std::string err;
    if (!tvksim::makeHandoverPlan("silence", 10, {0}, o.handover, err)) {
        fprintf(stderr, "%s\n", err.c_str());
        return 1;
    }
    o.handover.firstAfterMs = 500;

    Matrix m(o);
    std::vector<Row> rows;
    auto add = [&](Row r) { rows.push_back(std::move(r)); };
    auto modFault = [&](const tvksim::Faults &f) { return [&m, f] { m.p().module(m.p().cardOf(kFaultCab)).setFaults(f); }; };
    auto modClear = [&m] { m.p().module(m.p().cardOf(kFaultCab)).clearFaults(); };
    auto allPorts = [&m](const tvksim::LineFaults &f) {
        return [&m, f] {
            for (int k = 0; k < m.p().cards(); ++k)
                m.p().hub().setLineFaults(m.p().hubPort(k), f);
        };
    };
    auto clearPorts = [&m] {
        for (int k = 0; k < m.p().cards(); ++k)
            m.p().hub().setLineFaults(m.p().hubPort(k), tvksim::LineFaults());
    };

    // ---- module bus (cabinet C)
    {
        tvksim::Faults f;
        f.noise = {0x37, 0xA5, 0x02, 0x00, 0xFF, 0x41};
        add({"M1", "module bus: noise bytes before every reply", true, 15000, modFault(f), {}, modClear});
    }
    {
        tvksim::Faults f;
        f.cutAfter = 9;
        add({"M2", "module bus: every reply cut after 9 bytes", true, 15000, modFault(f), {}, modClear});
    }
    {
        tvksim::Faults f;
        f.corruptCheck = true;
        add({"M3", "module bus: bad CRC on every reply", true, 15000, modFault(f), {}, modClear});
    }
    {
        // Every digit as the refusal code in turn, 2 s each.
        auto t0 = std::make_shared<int64_t>(0);
        Row r{"M4", "module bus: NAK of every code '0'..'9', 2 s each", true, 20000, {}, {}, modClear};
        r.start = [&m, t0] {
            *t0 = nowUs();
            tvksim::Faults f;
            f.nakCode = '0';
            m.p().module(m.p().cardOf(kFaultCab)).setFaults(f);
        };
        r.tick = [&m, t0] {
            static int last = -1;
            const int code = int((nowUs() - *t0) / 2000000) % 10;
            if (code != last) {
                last = code;
                tvksim::Faults f;
                f.nakCode = uint8_t('0' + code);
                m.p().module(m.p().cardOf(kFaultCab)).setFaults(f);
            }
        };
        add(r);
    }
    {
        tvksim::Faults f;
        f.silent = true;
        add({"M5", "module bus: silent module for 65 s", true, 65000, modFault(f), {}, modClear});
    }
    add({"M6", "module bus: port vanishes for 10 s and comes back", true, 10000,
         [&m] { m.p().vanishModulePort(m.p().cardOf(kFaultCab)); }, {},
         [&m] {
             const int k = m.p().cardOf(kFaultCab);
             m.p().reopenModulePort(k);
             m.hookModule(k);
         }});

    // ---- cabinet bus
    add({"K1", "cabinet bus: line noise, 6 random bytes every 50 ms between frames", false, 15000,
         [&m] { m.p().hub().setNoise(50, 6, 12345); }, {}, [&m] { m.p().hub().setNoise(0); }});
    {
        tvksim::LineFaults f;
        f.dropEvery = 97;
        add({"K2", "cabinet bus: every 97th byte lost", false, 15000, allPorts(f), {}, clearPorts});
    }
    {
        tvksim::LineFaults f;
        f.cutEvery = 3;
        f.cutKeep = 10;
        add({"K3", "cabinet bus: every 3rd frame cut after 10 bytes", false, 15000, allPorts(f), {}, clearPorts});
    }
    {
        tvksim::LineFaults f;
        f.flipEvery = 211;
        add({"K4", "cabinet bus: one bit flipped every 211 bytes (bad check codes)", false, 15000, allPorts(f), {},
             clearPorts});
    }
    {
        // Cabinet D's card is not heard; a stand-in answers for it with refusals of every code.
        auto sim = std::make_shared<std::unique_ptr<tvksim::CabinetCardSim>>();
        auto port = std::make_shared<int>(-1);
        auto t0 = std::make_shared<int64_t>(0);
        Row r{"K5", "cabinet bus: NAK of every code '0'..'9' for cabinet D, 2 s each", false, 20000, {}, {}, {}};
        r.start = [&m, sim, port, t0] {
            tvksim::LineFaults mute;
            mute.muted = true;
            m.p().hub().setLineFaults(m.p().hubPort(m.p().cardOf(3)), mute);
            int fd = -1;
            *port = m.p().hub().addLocalPort("NAK stand-in D", &fd);
            sim->reset(new tvksim::CabinetCardSim(fd, 3));
            tvksim::KespFaults f;
            f.nakCode = '0';
            (*sim)->setFaults(f);
            *t0 = nowUs();
        };
        r.tick = [sim, t0] {
            static int last = -1;
            const int code = int((nowUs() - *t0) / 2000000) % 10;
            if (code != last) {
                last = code;
                tvksim::KespFaults f;
                f.nakCode = uint8_t('0' + code);
                (*sim)->setFaults(f);
            }
        };
        r.stop = [&m, sim, port] {
            (*sim)->stop();
            sim->reset();
            m.p().hub().detachLocal(*port);
            m.p().hub().setLineFaults(m.p().hubPort(m.p().cardOf(3)), tvksim::LineFaults());
        };
        add(r);
    }
    {
        Row r{"K6", "cabinet bus: card B silent (muted) for 135 s", false, 135000,
              [&m] {
                  tvksim::LineFaults mute;
                  mute.muted = true;
                  m.p().hub().setLineFaults(m.p().hubPort(m.p().cardOf(kOtherCab)), mute);
              },
              {},
              [&m] { m.p().hub().setLineFaults(m.p().hubPort(m.p().cardOf(kOtherCab)), tvksim::LineFaults()); }};
        // Past the cabinet data's lifetime every other card shows B's module lost,
        // in its tree and in its vu.json.
        r.extraCheck = [&m](std::string &note) {
            bool ok = true;
            for (int k = 0; k < m.p().cards(); ++k) {
                if (m.p().cabinetOf(k) == kOtherCab)
                    continue;
                const char own = char('A' + m.p().cabinetOf(k));
                tvksim::TreeAttach t;
                char id[16];
                snprintf(id, sizeof id, "S%c.BB", own);
                virtualNode_t *box = t.attach(m.p().card(k).keyFile()) ? t.node(id) : nullptr;
                if (box && box->desc.upsBox.subSystem.UPSShelter[0].alarmSt != commLostAlarm) {
                    note += std::string(" ") + own + ": B's module not lost in the tree;";
                    ok = false;
                }
                if (readAll(m.p().vuJsonPath(k)).find("MODULE_2_LOST") == std::string::npos) {
                    note += std::string(" ") + own + ": vu.json misses MODULE_2_LOST;";
                    ok = false;
                }
            }
            return ok;
        };
        add(r);
    }
    {
        auto t0 = std::make_shared<int64_t>(0);
        Row r{"K7", "cabinet bus: break storm, about 13 breaks a second for 10 s", false, 10000,
              [t0] { *t0 = 0; }, {}, [] {}};
        r.tick = [&m] {
            m.p().busBreak();
            sleepMs(50);
            m.p().busBreak();
        };
        add(r);
    }
    add({"K8", "cabinet bus: card B's port vanishes for 10 s and comes back", false, 10000,
         [&m] { m.p().hub().vanishPort(m.p().hubPort(m.p().cardOf(kOtherCab))); }, {},
         [&m] { m.p().hub().reopenPort(m.p().hubPort(m.p().cardOf(kOtherCab))); }});

    // ---- card processes and disk
    {
        Row r{"P1", "card C killed (SIGKILL), restarted 3 s later over its leftover segment", false, 3000,
              [&m] { m.p().card(m.p().cardOf(kFaultCab)).kill(); }, {},
              [&m] { m.p().restartCard(m.p().cardOf(kFaultCab)); }};
        r.extraCheck = [&m](std::string &note) {
            tvksim::TreeAttach t;
            if (!t.attach(m.p().card(m.p().cardOf(kFaultCab)).keyFile())) {
                note += " (no segment left by the kill)";
            }
            return true;
        };
        add(r);
    }
    {
        auto mounted = std::make_shared<bool>(false);
        auto fill = std::make_shared<std::string>();
        Row r{"P2", "full disk under /home/kelmo of card C (16 KiB tmpfs, filled) for 20 s", false, 20000, {}, {}, {}};
        r.recoveryCard = kFaultCab;
        r.start = [&m, mounted, fill] {
            const int k = m.p().cardOf(kFaultCab);
            tvksim::CardProcess &c = m.p().card(k);
            c.stop();
            const std::string home = c.homeDir();
            *mounted = mount("tvkfull", home.c_str(), "tmpfs", 0, "size=16k") == 0;
            if (!*mounted)
                fprintf(stderr, "P2: mount tmpfs on %s: %s\n", home.c_str(), strerror(errno));
            m.p().restartCard(k);
            // Once the card wrote its status document, nothing more fits.
            const std::string vu = m.p().vuJsonPath(k);
            for (int i = 0; i < 200 && readAll(vu).empty(); ++i)
                sleepMs(100);
            *fill = home + "/fill";
            int fd = open(fill->c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            char z[1024] = {0};
            while (fd >= 0 && write(fd, z, sizeof z) > 0) {
            }
            if (fd >= 0)
                close(fd);
        };
        r.stop = [fill] { unlink(fill->c_str()); };
        r.moduleBus = false;
        // vu.json written again after the space is back: part of "healthy again".
        r.after = [&m, mounted] {
            if (!*mounted)
                return;
            const int k = m.p().cardOf(kFaultCab);
            tvksim::CardProcess &c = m.p().card(k);
            c.stop();
            umount(c.homeDir().c_str());
            m.p().restartCard(k);
        };
        r.extraCheck = [&m](std::string &note) {
            const std::string d = readAll(m.p().vuJsonPath(m.p().cardOf(kFaultCab)));
            if (!d.empty() && !wholeDoc(d)) {
                note += " C: vu.json cut on the full disk;";
                return false;
            }
            return true;
        };
        add(r);
    }

    if (list) {
        for (const auto &r : rows)
            printf("%s  %s\n", r.key.c_str(), r.fault.c_str());
        printf("B1  a card of another build (%s) in the plant: cabinet D runs tarvik-%s\n", other.c_str(),
               other.c_str());
        return 0;
    }
    std::set<std::string> want;
    for (size_t p = 0; !rowsArg.empty() && p <= rowsArg.size();) {
        size_t q = rowsArg.find(',', p);
        if (q == std::string::npos)
            q = rowsArg.size();
        want.insert(rowsArg.substr(p, q - p));
        p = q + 1;
    }
    auto wanted = [&](const std::string &k) { return want.empty() || want.count(k); };

    const auto t0 = std::chrono::steady_clock::now();
    printf("Tarvik fault matrix: four %s cards, MU boards, hand-over station (silence policy), directory %s\n",
           kOwnProfile, dir.c_str());
    printf("log bound %.0f lines/s per card (bench log level); stale: cabinet records older than %lld s, modules "
           "silent longer than %lld s + debounce\n",
           kLogBound, (long long)kCabinetStaleS, (long long)kModuleCurrentS);
    fflush(stdout);
    std::vector<Result> results;
    bool anyMain = false;
    for (const auto &r : rows)
        anyMain = anyMain || wanted(r.key);
    if (anyMain) {
        try {
            if (!m.startPlant()) {
                fprintf(stderr, "the plant did not become healthy in 90 s\n");
                return 1;
            }
        } catch (const std::exception &e) {
            fprintf(stderr, "the plant did not start: %s\n", e.what());
            return 1;
        }
        m.baseline(12000);
        printf("| row | fault | all alive | recovery | healthy again | max log lines/s (card) | stale check | result "
               "|\n|---|---|---|---|---|---|---|---|\n");
        for (auto &r : rows) {
            if (!wanted(r.key))
                continue;
            results.push_back(m.run(r));
            printRow(results.back());
        }
    }
    int64_t round = m.round_, cycle = m.cycle_;
    m.stopPlant();

    if (wanted("B1")) {
        // A fresh plant with cabinet D of another build.
        const std::string prog = bin + "/tarvik-" + other;
        Result res;
        res.key = "B1";
        res.fault = "cabinet D runs tarvik-" + other + " (another build)";
        if (access(prog.c_str(), X_OK) != 0) {
            res.staleNote = " " + prog + " not built";
            printRow(res);
            results.push_back(res);
        } else {
            tvksim::PlantOptions ob = o;
            ob.baseDir = dir + "/plant-b1";
            ob.cardProgram.assign(4, std::string());
            ob.cardProgram[3] = prog;
            Matrix mb(ob);
            LogMeter meter;
            const int64_t s0 = nowUs();
            bool ok = false;
            try {
                ok = mb.startPlant();
            } catch (const std::exception &e) {
                res.staleNote = std::string(" ") + e.what();
            }
            if (ok) {
                res.healthyAgainS = (nowUs() - s0) / 1e6;
                meter.init(mb.p());
                mb.baseline(10000);
                auto got = meter.take(mb.p());
                for (int k = 0; k < mb.p().cards(); ++k)
                    if (got[size_t(k)] / 10.0 > res.maxLogLines) {
                        res.maxLogLines = got[size_t(k)] / 10.0;
                        res.maxLogCard = char('A' + mb.p().cabinetOf(k));
                    }
                res.alive = true;
                for (int k = 0; k < mb.p().cards(); ++k)
                    res.alive = res.alive && mb.p().card(k).running();
                res.staleOk = mb.staleCheck(res.staleNote);
                // Recovery here: the cycle of the mixed plant against the plain one.
                res.recoveryS = mb.cycle_ / 1e6;
                res.limitS = cycle ? cycle / 1e6 * 1.5 : mb.cycle_ / 1e6;
                res.staleNote += " (recovery column: cabinet-bus cycle of the mixed plant)";
                res.pass = res.alive && res.staleOk && res.maxLogLines <= kLogBound && res.recoveryS <= res.limitS;
            }
            mb.stopPlant();
            printRow(res);
            results.push_back(res);
        }
    }
    (void)round;
    int failed = 0;
    for (const auto &r : results)
        failed += r.pass ? 0 : 1;
    printf("\n%zu rows, %d failed, %.0f s\n", results.size(), failed,
           std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    return failed ? 1 : 0;
}
