// Soak of a four-cabinet plant: resident memory, CPU, descriptors and threads of
// every card process over a long run, with the plant's events compressed.
//
//   tarvik-soak-<profile> [--duration S] [--sample S] [--warmup S] [--dir DIR]
//                         [--rotate S] [--event-period S] [--csv FILE]
//
// The card processes keep the real clocks (the time seam is inside a process),
// so the run is real time; what is compressed is what happens to the plant: the
// hand-over station moves the master role every --rotate seconds (default 20)
// and every --event-period seconds (default 120) one cabinet in turn goes
// through a mains failure and its return, its module stops answering for 40 s
// and comes back, and the bus sees a line break. A day of a plant sees fewer of
// these than one hour here.
//
// Every --sample seconds (default 10) it reads, for each card, VmRSS and Threads
// from /proc/<pid>/status, the entries of /proc/<pid>/fd and utime+stime from
// /proc/<pid>/stat. At the end: a table of the first sample after the warm-up
// (default 120 s), the middle one and the last, and per card the slope of the
// resident memory (least squares, KiB per hour), the CPU share of the first and
// the second half, and the range of descriptors and threads. Exit status 0 when
// every card ran to the end, 1 otherwise.
#include "Plant.h"
#include "Scenario.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <memory>
#include <pthread.h>
#include <string>
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

struct Sample {
    double t = 0;         // seconds from the start
    long rssKiB = -1;
    int threads = -1;
    int fds = -1;
    double cpuS = -1;     // utime + stime
};

Sample sampleOf(pid_t pid, double t)
{
    Sample s;
    s.t = t;
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/status", int(pid));
    if (FILE *f = fopen(path, "r")) {
        char line[256];
        while (fgets(line, sizeof line, f)) {
            if (strncmp(line, "VmRSS:", 6) == 0)
                s.rssKiB = strtol(line + 6, nullptr, 10);
            else if (strncmp(line, "Threads:", 8) == 0)
                s.threads = atoi(line + 8);
        }
        fclose(f);
    }
    snprintf(path, sizeof path, "/proc/%d/fd", int(pid));
    if (DIR *d = opendir(path)) {
        int n = 0;
        while (struct dirent *e = readdir(d))
            if (e->d_name[0] != '.')
                ++n;
        closedir(d);
        s.fds = n;
    }
    snprintf(path, sizeof path, "/proc/%d/stat", int(pid));
    if (FILE *f = fopen(path, "r")) {
        char buf[1024];
        size_t n = fread(buf, 1, sizeof buf - 1, f);
        buf[n] = 0;
        fclose(f);
        // Fields after the command name in parentheses: state is field 3; utime 14, stime 15.
        const char *p = strrchr(buf, ')');
        if (p) {
            unsigned long ut = 0, st = 0;
            if (sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &ut, &st) == 2)
                s.cpuS = double(ut + st) / double(sysconf(_SC_CLK_TCK));
        }
    }
    return s;
}

// Least-squares slope of y over t (per second).
double slope(const std::vector<Sample> &v, size_t from)
{
    double n = 0, st = 0, sy = 0, stt = 0, sty = 0;
    for (size_t i = from; i < v.size(); ++i) {
        if (v[i].rssKiB < 0)
            continue;
        n += 1;
        st += v[i].t;
        sy += double(v[i].rssKiB);
        stt += v[i].t * v[i].t;
        sty += v[i].t * double(v[i].rssKiB);
    }
    const double d = n * stt - st * st;
    return n < 2 || d == 0 ? 0 : (n * sty - st * sy) / d;
}

volatile sig_atomic_t g_stop = 0;
void onStop(int) { g_stop = 1; }

void usage(const char *prog)
{
    fprintf(stderr,
            "usage: %s [--duration S] [--sample S] [--warmup S] [--dir DIR] [--rotate S] [--event-period S] "
            "[--csv FILE]\n",
            prog);
}

} // namespace

int main(int argc, char **argv)
{
    double duration = 1800, sampleS = 10, warmup = 120, rotate = 20, eventPeriod = 120;
    std::string dir, csv;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&]() -> std::string {
            if (i + 1 >= argc) {
                usage(argv[0]);
                exit(2);
            }
            return argv[++i];
        };
        if (a == "--duration")
            duration = atof(next().c_str());
        else if (a == "--sample")
            sampleS = atof(next().c_str());
        else if (a == "--warmup")
            warmup = atof(next().c_str());
        else if (a == "--dir")
            dir = next();
        else if (a == "--rotate")
            rotate = atof(next().c_str());
        else if (a == "--event-period")
            eventPeriod = atof(next().c_str());
        else if (a == "--csv")
            csv = next();
        else {
            usage(argv[0]);
            return 2;
        }
    }
    if (duration <= 0 || sampleS <= 0 || rotate <= 0 || eventPeriod < 100) {
        usage(argv[0]);
        return 2;
    }
    if (warmup >= duration)
        warmup = duration / 4;
    if (dir.empty()) {
        char tmpl[] = "/tmp/tarvik-soak-XXXXXX";
        if (!mkdtemp(tmpl)) {
            perror("mkdtemp");
            return 1;
        }
        dir = tmpl;
    }
    // SIGINT/SIGTERM end the run early (the table covers what was sampled).
    sigset_t stopSigs;
    sigemptyset(&stopSigs);
    sigaddset(&stopSigs, SIGINT);
    sigaddset(&stopSigs, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSigs, nullptr);
    signal(SIGPIPE, SIG_IGN);

    tvksim::PlantOptions o;
    o.program = tvksim::programDir() + "/tarvik-" + kOwnProfile;
    o.baseDir = dir;
    o.mask = "1111";
    o.muBoards = true;
    o.env.push_back("TARVIK_LOG_QUIET=1");
    std::string err;
    if (!tvksim::makeHandoverPlan("rotate", rotate, {0, 1, 2, 3}, o.handover, err)) {
        fprintf(stderr, "%s\n", err.c_str());
        return 2;
    }
    o.handover.firstAfterMs = 500;

    std::unique_ptr<tvksim::Plant> plant;
    try {
        plant.reset(new tvksim::Plant(o));
    } catch (const std::exception &e) {
        fprintf(stderr, "the plant did not start: %s\n", e.what());
        return 1;
    }
    // The stop signals are waited for here, not delivered (the cards clear the mask).
    pthread_sigmask(SIG_UNBLOCK, &stopSigs, nullptr);
    signal(SIGINT, onStop);
    signal(SIGTERM, onStop);

    const int n = plant->cards();
    std::vector<pid_t> pids;
    for (int k = 0; k < n; ++k)
        pids.push_back(plant->card(k).pid());
    printf("Tarvik soak: four %s cards, %.0f s real time, sample every %.0f s, warm-up %.0f s; master role moved "
           "every %.0f s; every %.0f s one cabinet in turn: mains failure and return, module silent 40 s, a line "
           "break. Directory %s\n",
           kOwnProfile, duration, sampleS, warmup, rotate, eventPeriod, dir.c_str());
    fflush(stdout);

    FILE *csvf = csv.empty() ? nullptr : fopen(csv.c_str(), "w");
    if (csvf)
        fprintf(csvf, "t,card,rss_kib,threads,fds,cpu_s\n");
    std::vector<std::vector<Sample>> samples(static_cast<size_t>(n));
    const auto t0 = std::chrono::steady_clock::now();
    auto elapsed = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(); };
    double nextSample = 0;
    long lastCycle = -1;
    int lastPhase = -1;
    size_t events = 0;
    while (!g_stop && elapsed() < duration) {
        const double t = elapsed();
        // The compressed events of the current period.
        const long cycle = long(t / eventPeriod);
        const double in = t - double(cycle) * eventPeriod;
        const int cab = int(cycle % 4);
        const int k = plant->cardOf(cab);
        int phase = -1;
        if (in >= 90)
            phase = 5;   // a line break
        else if (in >= 80)
            phase = 4;   // the module answers again
        else if (in >= 40)
            phase = 3;   // the module stops answering
        else if (in >= 25)
            phase = 2;   // the mains is back
        else if (in >= 5)
            phase = 1;   // mains failure
        if (cycle != lastCycle) {
            // The module of the period before answers again.
            if (lastCycle >= 0) {
                const int pk = plant->cardOf(int(lastCycle % 4));
                plant->module(pk).clearFaults();
            }
            lastCycle = cycle;
            lastPhase = -1;
        }
        if (phase != lastPhase && phase >= 0 && k >= 0) {
            switch (phase) {
            case 1:
                plant->module(k).update([](tvksim::ModuleState &s) {
                    s.Vin = {{0, 0, 0}};
                    s.Battery_Working = true;
                    s.statusCode = 50;
                });
                break;
            case 2:
                plant->module(k).update([](tvksim::ModuleState &s) {
                    s.Vin = {{230, 231, 232}};
                    s.Battery_Working = false;
                    s.statusCode = 40;
                });
                break;
            case 3: {
                tvksim::Faults f;
                f.silent = true;
                plant->module(k).setFaults(f);
                break;
            }
            case 4:
                plant->module(k).clearFaults();
                break;
            case 5:
                plant->busBreak();
                break;
            default:
                break;
            }
            ++events;
            lastPhase = phase;
        }
        if (t >= nextSample) {
            for (int c = 0; c < n; ++c) {
                Sample s = sampleOf(pids[size_t(c)], t);
                samples[size_t(c)].push_back(s);
                if (csvf)
                    fprintf(csvf, "%.0f,%c,%ld,%d,%d,%.2f\n", t, 'A' + plant->cabinetOf(c), s.rssKiB, s.threads,
                            s.fds, s.cpuS);
            }
            if (csvf)
                fflush(csvf);
            nextSample += sampleS;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    const double ran = elapsed();
    bool allRan = true;
    for (int c = 0; c < n; ++c)
        allRan = allRan && plant->card(c).running() && plant->card(c).pid() == pids[size_t(c)];
    const size_t handovers = plant->station().handovers().size();
    plant.reset();
    if (csvf)
        fclose(csvf);

    printf("\nran %.0f s, %zu plant events, %zu hand-overs; every card ran to the end: %s\n\n", ran, events, handovers,
           allRan ? "yes" : "NO");
    printf("| card | sample | t (s) | VmRSS (KiB) | threads | fds | CPU s |\n|---|---|---|---|---|---|---|\n");
    for (int c = 0; c < n; ++c) {
        const auto &v = samples[size_t(c)];
        size_t first = 0;
        while (first < v.size() && v[first].t < warmup)
            ++first;
        if (first >= v.size())
            first = 0;
        const size_t idx[3] = {first, first + (v.size() - first) / 2, v.empty() ? 0 : v.size() - 1};
        const char *names[3] = {"after warm-up", "middle", "end"};
        for (int j = 0; j < 3 && !v.empty(); ++j) {
            const Sample &s = v[idx[j]];
            printf("| %c | %s | %.0f | %ld | %d | %d | %.1f |\n", 'A' + c, names[j], s.t, s.rssKiB, s.threads, s.fds,
                   s.cpuS);
        }
    }
    printf("\n| card | RSS slope (KiB/h) | RSS min..max (KiB) | CPU 1st half | CPU 2nd half | fds min..max | threads "
           "min..max |\n|---|---|---|---|---|---|---|\n");
    for (int c = 0; c < n; ++c) {
        const auto &v = samples[size_t(c)];
        size_t first = 0;
        while (first < v.size() && v[first].t < warmup)
            ++first;
        if (v.size() < first + 3) {
            printf("| %c | too few samples | | | | | |\n", 'A' + c);
            continue;
        }
        long rmin = v[first].rssKiB, rmax = rmin;
        int fmin = v[first].fds, fmax = fmin, tmin = v[first].threads, tmax = tmin;
        for (size_t i = first; i < v.size(); ++i) {
            rmin = std::min(rmin, v[i].rssKiB);
            rmax = std::max(rmax, v[i].rssKiB);
            fmin = std::min(fmin, v[i].fds);
            fmax = std::max(fmax, v[i].fds);
            tmin = std::min(tmin, v[i].threads);
            tmax = std::max(tmax, v[i].threads);
        }
        const size_t mid = first + (v.size() - first) / 2;
        const Sample &a = v[first], &m = v[mid], &e = v.back();
        const double cpu1 = m.t > a.t ? 100.0 * (m.cpuS - a.cpuS) / (m.t - a.t) : 0;
        const double cpu2 = e.t > m.t ? 100.0 * (e.cpuS - m.cpuS) / (e.t - m.t) : 0;
        printf("| %c | %+.1f | %ld..%ld | %.2f %% | %.2f %% | %d..%d | %d..%d |\n", 'A' + c, slope(v, first) * 3600.0,
               rmin, rmax, cpu1, cpu2, fmin, fmax, tmin, tmax);
    }
    fflush(stdout);
    return allRan ? 0 : 1;
}
