// Cabinet-bus cycle bench: four real cards on a hub paced at 9600 baud, the role
// handed to cabinet A, then the master's polling cycles measured from the hub's
// tap: cycle time against the wire time of the cycle's frames, the delay of the
// master's own answer after its own query, and each card's CPU per cycle.
//
//   tarvik-kespbench-<profile> [--cycles N] [--program PATH] [--dir DIR]
#include "Plant.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// Run time (schedstat, nanoseconds) and context switches (voluntary and not: the
// wake-ups) of the threads of a process whose name holds `only` (all when empty).
struct ThreadSample {
    long long runNs = 0;
    long long switches = 0;
};

ThreadSample sampleThreads(pid_t pid, const char *only = "")
{
    ThreadSample total;
    std::string dir = "/proc/" + std::to_string(pid) + "/task";
    DIR *d = opendir(dir.c_str());
    if (!d)
        return total;
    while (struct dirent *e = readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        const std::string task = dir + "/" + e->d_name;
        if (*only) {
            char comm[64] = {0};
            if (FILE *c = fopen((task + "/comm").c_str(), "r")) {
                if (!fgets(comm, sizeof comm, c))
                    comm[0] = 0;
                fclose(c);
            }
            if (!strstr(comm, only))
                continue;
        }
        if (FILE *f = fopen((task + "/schedstat").c_str(), "r")) {
            long long run = 0;
            if (fscanf(f, "%lld", &run) == 1)
                total.runNs += run;
            fclose(f);
        }
        if (FILE *f = fopen((task + "/status").c_str(), "r")) {
            char line[256];
            long long v = 0;
            while (fgets(line, sizeof line, f))
                if (sscanf(line, "voluntary_ctxt_switches: %lld", &v) == 1 ||
                    sscanf(line, "nonvoluntary_ctxt_switches: %lld", &v) == 1)
                    total.switches += v;
            fclose(f);
        }
    }
    closedir(d);
    return total;
}

double percentile(std::vector<double> v, double q)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    size_t i = size_t(q * double(v.size() - 1) + 0.5);
    return v[i < v.size() ? i : v.size() - 1];
}

} // namespace

int main(int argc, char **argv)
{
    int cycles = 30;
    std::string program, dir;
    for (int i = 1; i < argc; ++i) {
        if (!strcmp(argv[i], "--cycles") && i + 1 < argc)
            cycles = atoi(argv[++i]);
        else if (!strcmp(argv[i], "--program") && i + 1 < argc)
            program = argv[++i];
        else if (!strcmp(argv[i], "--dir") && i + 1 < argc)
            dir = argv[++i];
        else {
            fprintf(stderr, "usage: %s [--cycles N] [--program PATH] [--dir DIR]\n", argv[0]);
            return 2;
        }
    }
    if (program.empty()) {
        char self[4096];
        ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
        self[n > 0 ? n : 0] = 0;
        std::string s(self);
        std::string bin = s.substr(0, s.rfind('/'));
        std::string prof = s.substr(s.rfind('-') + 1);
        program = bin + "/tarvik-" + prof;
    }
    if (dir.empty()) {
        char tmpl[] = "/tmp/tvkkespbench.XXXXXX";
        dir = mkdtemp(tmpl);
    }

    tvksim::PlantOptions o;
    o.program = program;
    o.baseDir = dir;
    tvksim::Plant plant(o);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    size_t from = plant.hub().tapCount();
    if (!plant.station().handOver(0xEA) || !plant.pollsAsMaster(0xEA, from, 20000)) {
        fprintf(stderr, "cabinet A did not take the master role\n");
        return 1;
    }
    // Skip two cycles, then measure.
    auto ownQueries = [&](size_t since) {
        std::vector<tvksim::TapEntry> q;
        for (auto &e : plant.hub().tapSince(since))
            if (e.is('B', 'S') && e.h.src == 0xEA && e.h.dest == 0xEA)
                q.push_back(e);
        return q;
    };
    while (ownQueries(from).size() < 3)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const size_t start = ownQueries(from)[2].seq;
    std::vector<ThreadSample> cpu0(4), bus0(4);
    for (int k = 0; k < plant.cards(); ++k) {
        cpu0[size_t(k)] = sampleThreads(plant.card(k).pid());
        bus0[size_t(k)] = sampleThreads(plant.card(k).pid(), "KESPMgr");
    }
    while (ownQueries(start).size() < size_t(cycles) + 1)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::vector<ThreadSample> cpu1(4), bus1(4);
    for (int k = 0; k < plant.cards(); ++k) {
        cpu1[size_t(k)] = sampleThreads(plant.card(k).pid());
        bus1[size_t(k)] = sampleThreads(plant.card(k).pid(), "KESPMgr");
    }

    std::vector<tvksim::TapEntry> tap = plant.hub().tapSince(start);
    std::vector<double> ratio, cycleMs, ownDelayMs, answerUs, turnUs;
    double wireSum = 0, timeSum = 0;
    for (size_t i = 0; i < tap.size(); ++i) {
        if (!(tap[i].is('B', 'S') && tap[i].h.src == 0xEA && tap[i].h.dest == 0xEA))
            continue;
        // The cycle runs to the next own query.
        size_t j = i + 1;
        size_t bytes = 0;
        bool ownAnswerSeen = false;
        for (; j < tap.size(); ++j) {
            if (tap[j].is('B', 'S') && tap[j].h.src == 0xEA && tap[j].h.dest == 0xEA)
                break;
            if (tap[j].kind != tvksim::TapEntry::FrameSeen)
                continue;
            if (!ownAnswerSeen && tap[j].h.src == 0xEA && tap[j].h.dest == 0xFF) {
                ownDelayMs.push_back((tap[j].firstUs - tap[i].lastUs) / 1000.0);
                ownAnswerSeen = true;
            }
        }
        if (j >= tap.size())
            break;
        for (size_t k = i; k < j; ++k) {
            if (tap[k].kind != tvksim::TapEntry::FrameSeen)
                continue;
            bytes += tap[k].bytes.size();
            // A slave's BS answer (sent to every station): the time it took, and
            // the master's turnaround from its last byte to the next frame.
            if (tap[k].is('B', 'S') && tap[k].h.src != 0xEA && tap[k].h.dest == 0xFF && k > i) {
                const tvksim::TapEntry &q = tap[k - 1];
                if (q.is('B', 'S') && q.h.dest == tap[k].h.src)
                    answerUs.push_back(double(tap[k].firstUs - q.lastUs));
                size_t n = k + 1;
                while (n < tap.size() && tap[n].kind != tvksim::TapEntry::FrameSeen)
                    ++n;
                if (n < tap.size() && tap[n].h.src == 0xEA)
                    turnUs.push_back(double(tap[n].firstUs - tap[k].lastUs));
            }
        }
        const double t = (tap[j].firstUs - tap[i].firstUs) / 1000.0;
        const double w = plant.hub().wireUs(bytes) / 1000.0;
        cycleMs.push_back(t);
        ratio.push_back(t / w);
        wireSum += w;
        timeSum += t;
    }
    printf("cabinet bus, 4 cards, 9600 baud, %zu cycles measured\n", cycleMs.size());
    printf("  cycle time median      %.1f ms\n", percentile(cycleMs, 0.5));
    printf("  wire time of a cycle   %.1f ms (mean)\n", cycleMs.empty() ? 0.0 : wireSum / double(cycleMs.size()));
    printf("  ratio overall          %.4f (median per cycle %.4f)\n", wireSum > 0 ? timeSum / wireSum : 0.0,
           percentile(ratio, 0.5));
    printf("  own answer delay       %.2f ms median (query ETX -> answer STX)\n", percentile(ownDelayMs, 0.5));
    printf("  slave BS answers       %zu, answer time median %.2f ms, p90 %.2f ms (query ETX -> answer STX)\n",
           answerUs.size(), percentile(answerUs, 0.5) / 1000.0, percentile(answerUs, 0.9) / 1000.0);
    printf("  master turnaround      median %.0f us, p90 %.0f us, max %.0f us (answer ETX -> next frame STX)\n",
           percentile(turnUs, 0.5), percentile(turnUs, 0.9), percentile(turnUs, 1.0));
    const double n = double(cycleMs.size() ? cycleMs.size() : 1);
    for (int k = 0; k < plant.cards(); ++k) {
        const size_t c = size_t(k);
        const double cardMs = (cpu1[c].runNs - cpu0[c].runNs) / 1e6;
        const double busMs = (bus1[c].runNs - bus0[c].runNs) / 1e6;
        printf("  card %c (%s) CPU %.2f ms per cycle (%.2f %% of a core); cabinet-bus thread %.2f ms per cycle "
               "(%.2f %%), %.1f wake-ups per cycle\n",
               'A' + plant.cabinetOf(k), k == 0 ? "master" : "slave ", cardMs / n,
               timeSum > 0 ? 100.0 * cardMs / timeSum : 0.0, busMs / n, timeSum > 0 ? 100.0 * busMs / timeSum : 0.0,
               double(bus1[c].switches - bus0[c].switches) / n);
    }
    return 0;
}
