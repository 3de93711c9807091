// The simulated plant in one command: up to four real cards of a profile, each
// in a mount namespace of its own with its working directory and /home/kelmo,
// each with a stand-in power module on its own module bus, the MU boards, the
// hand-over station and one multidrop hub for the cabinet bus; a live summary
// of every card, and scenarios played over time.
//
//   tarvik-plant-<profile> [--profile naval|std|modular] [--mask MMMM] [--card X=PROFILE]...
//                          [--policy manual|once|rotate[:S]|silence[:S]] [--targets LETTERS]
//                          [--first S] [--scenario FILE] [--check] [--duration S] [--dir DIR]
//                          [--refresh S] [--plain] [--no-mu] [--baud N] [--full-log] [--freshness N]
//                          [--capture DIR]
//
// The cards log at the quieter level (TARVIK_LOG_QUIET=1) unless --full-log.
// --capture DIR records the cabinet bus (hub tap) to DIR/cabinet-bus.pcap and the
// module bus of each cabinet X to DIR/module-bus-X.pcap, for Wireshark with
// tools/wireshark/tarvik.lua (or tarvik-sniff for figures).
// --freshness N: a benchmark instead of the summary: N changes of the output
// power at the module of the second present cabinet, each timed until every
// card's vu.json shows the new system total; prints median and worst.
// Ctrl-C (SIGINT), SIGTERM or SIGHUP stop the plant in order: the station, the
// cards (SIGTERM, then SIGKILL after 5 s), the stand-ins and the hub; no shared-memory
// segment, /dev/tty link, mount or process is left. The working directories
// (logs, vu.json) stay for a look afterwards. Exit status 0 after an orderly
// run, 1 when the plant could not start or did not leave everything clean,
// 2 for a bad command line or scenario.
#include "Plant.h"
#include "Scenario.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <exception>
#include <memory>
#include <pthread.h>
#include <string>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/wait.h>
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

void usage(const char *prog)
{
    fprintf(stderr,
            "usage: %s [--profile naval|std|modular] [--mask MMMM] [--card X=PROFILE]...\n"
            "          [--policy manual|once|rotate[:S]|silence[:S]] [--targets LETTERS] [--first S]\n"
            "          [--scenario FILE] [--check] [--duration S] [--dir DIR] [--refresh S] [--plain]\n"
            "          [--no-mu] [--baud N] [--full-log] [--freshness N] [--capture DIR]\n",
            prog);
}

bool knownProfile(const std::string &p) { return p == "naval" || p == "std" || p == "modular"; }

const char *alarmName(int a)
{
    static const char *const names[] = {"LOST", "ok", "warning", "anomaly", "fault", "lock"};
    return a >= 0 && a <= 5 ? names[a] : (a < 0 ? "-" : "?");
}

std::string codeText(int c) { return c < 0 ? std::string("-") : std::to_string(c); }

std::string summaryLine(const tvksim::CardSummary &s)
{
    char head[160];
    std::string role;
    if (!s.running) {
        if (s.exitStatus >= 0 && WIFSIGNALED(s.exitStatus))
            role = "killed(" + std::to_string(WTERMSIG(s.exitStatus)) + ")";
        else if (s.exitStatus >= 0 && WIFEXITED(s.exitStatus))
            role = "ended(" + std::to_string(WEXITSTATUS(s.exitStatus)) + ")";
        else
            role = "ended";
    } else {
        // The bus shows who polls; the log (at the full level) shows the state itself.
        role = s.polling || s.role == 1 ? "master" : "slave";
    }
    char age[32];
    if (s.vuAgeS < 0)
        snprintf(age, sizeof age, "none");
    else
        snprintf(age, sizeof age, "%.1f s", s.vuAgeS);
    snprintf(head, sizeof head, "  %c  %-10s module %-7s code %-4s  system %-4s  vu.json %-8s %s", s.cabinet,
             role.c_str(), s.tree ? alarmName(s.moduleAlarm) : "-", codeText(s.moduleCode).c_str(),
             codeText(s.systemCode).c_str(), age, s.vu && s.upsFailure ? "UPSFAILURE " : "");
    std::string line(head);
    if (s.vu) {
        std::string al;
        for (const auto &a : s.alarms)
            al += (al.empty() ? "" : " ") + a;
        line += al.empty() ? "alarms: none" : "alarms: " + al;
    }
    return line;
}

bool segmentLeft(const std::string &keyFile)
{
    key_t key = ftok(keyFile.c_str(), 1);
    return key != key_t(-1) && shmget(key, 0, 0) >= 0;
}

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

long outputPower(const std::string &doc)
{
    size_t p = doc.find("\"OUTPUTPOWER\": ");
    return p == std::string::npos ? -1 : strtol(doc.c_str() + p + 15, nullptr, 10);
}

// Waits (polling every 5 ms) until every card's vu.json shows total; ms taken or -1.
double waitEveryCard(tvksim::Plant &p, long total, int timeoutMs)
{
    const auto t0 = std::chrono::steady_clock::now();
    for (;;) {
        bool all = true;
        for (int k = 0; k < p.cards() && all; ++k)
            all = outputPower(readAll(p.vuJsonPath(k))) == total;
        double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
        if (all)
            return ms;
        if (ms > timeoutMs)
            return -1;
        usleep(5000);
    }
}

bool freshnessBench(tvksim::Plant &p, int n)
{
    const int k = p.cards() > 1 ? 1 : 0;
    long total = 0;
    for (int i = 0; i < p.cards(); ++i)
        total += long(p.module(i).state().Watt[0]);
    if (waitEveryCard(p, total, 90000) < 0) {
        fprintf(stderr, "freshness: the cards never agreed on %ld W\n", total);
        return false;
    }
    std::vector<double> ms;
    for (int i = 0; i < n; ++i) {
        const uint32_t before = p.module(k).state().Watt[0];
        const uint32_t w = 2000 + uint32_t(i % 2 ? 0 : 137 + i);
        p.module(k).update([w](tvksim::ModuleState &s) { s.Watt[0] = w; });
        total += long(w) - long(before);
        double t = waitEveryCard(p, total, 20000);
        if (t < 0) {
            fprintf(stderr, "freshness: change %d not seen on every card in 20 s\n", i + 1);
            return false;
        }
        ms.push_back(t);
        usleep(200000 + unsigned(i % 7) * 90000);   // changes fall at different points of the cycles
    }
    std::sort(ms.begin(), ms.end());
    printf("freshness over %d changes at cabinet %c (every card's vu.json): median %.0f ms, worst %.0f ms, best %.0f ms\n",
           n, 'A' + p.cabinetOf(k), ms[ms.size() / 2], ms.back(), ms.front());
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    std::string profile = kOwnProfile;
    std::string mask = "1111";
    std::string cardProfile[4];
    std::string policy = "silence";
    double policySeconds = 0;
    std::string targets;
    double firstS = 2;
    std::string scenario;
    bool checkOnly = false;
    double duration = 0;
    std::string dir;
    double refreshS = 1;
    bool plain = !isatty(1);
    bool mu = true;
    bool fullLog = false;
    int freshness = 0;
    std::string baud = "115200";
    std::string capture;

    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&]() -> std::string {
            if (i + 1 >= argc) {
                usage(argv[0]);
                exit(2);
            }
            return argv[++i];
        };
        if (a == "--profile")
            profile = next();
        else if (a == "--mask")
            mask = next();
        else if (a == "--card") {
            std::string v = next();
            if (v.size() < 3 || v[0] < 'A' || v[0] > 'D' || v[1] != '=' || !knownProfile(v.substr(2))) {
                fprintf(stderr, "--card wants X=PROFILE, e.g. B=std\n");
                return 2;
            }
            cardProfile[v[0] - 'A'] = v.substr(2);
        } else if (a == "--policy") {
            std::string v = next();
            size_t c = v.find(':');
            policy = v.substr(0, c);
            if (c != std::string::npos) {
                char *end = nullptr;
                policySeconds = strtod(v.c_str() + c + 1, &end);
                if (!end || *end || policySeconds <= 0) {
                    fprintf(stderr, "bad seconds in --policy %s\n", v.c_str());
                    return 2;
                }
            }
        } else if (a == "--targets")
            targets = next();
        else if (a == "--first")
            firstS = atof(next().c_str());
        else if (a == "--scenario")
            scenario = next();
        else if (a == "--check")
            checkOnly = true;
        else if (a == "--duration")
            duration = atof(next().c_str());
        else if (a == "--dir")
            dir = next();
        else if (a == "--refresh")
            refreshS = atof(next().c_str());
        else if (a == "--plain")
            plain = true;
        else if (a == "--freshness")
            freshness = atoi(next().c_str());
        else if (a == "--full-log")
            fullLog = true;
        else if (a == "--no-mu")
            mu = false;
        else if (a == "--baud")
            baud = next();
        else if (a == "--capture")
            capture = next();
        else if (a == "-h" || a == "--help") {
            usage(argv[0]);
            return 0;
        } else {
            usage(argv[0]);
            return 2;
        }
    }
    if (!knownProfile(profile)) {
        fprintf(stderr, "unknown profile \"%s\" (naval, std, modular)\n", profile.c_str());
        return 2;
    }
    const std::string bin = tvksim::programDir();
    if (profile != kOwnProfile) {
        // The summary reads the cards' trees in the records of its own profile.
        std::string other = bin + "/tarvik-plant-" + profile;
        execv(other.c_str(), argv);
        fprintf(stderr, "%s: %s (build that profile)\n", other.c_str(), strerror(errno));
        return 1;
    }
    if (mask.size() != 4 || mask.find_first_not_of("01") != std::string::npos || mask == "0000") {
        fprintf(stderr, "bad mask \"%s\": four digits 0/1 for cabinets A B C D, at least one 1\n", mask.c_str());
        return 2;
    }
    std::vector<int> targetIdx;
    if (targets.empty()) {
        for (int i = 0; i < 4; ++i)
            if (mask[size_t(i)] == '1')
                targetIdx.push_back(i);
    } else {
        for (char c : targets) {
            if (c < 'A' || c > 'D' || mask[size_t(c - 'A')] != '1') {
                fprintf(stderr, "bad target \"%c\": a letter of a present cabinet\n", c);
                return 2;
            }
            targetIdx.push_back(c - 'A');
        }
    }
    tvksim::HandoverPlan plan;
    std::string err;
    if (!tvksim::makeHandoverPlan(policy, policySeconds, targetIdx, plan, err)) {
        fprintf(stderr, "--policy: %s\n", err.c_str());
        return 2;
    }
    plan.firstAfterMs = unsigned(firstS < 0 ? 0 : firstS * 1000);

    std::vector<tvksim::ScenarioEvent> events;
    if (!scenario.empty() && !tvksim::loadScenario(scenario, mask, events, err)) {
        fprintf(stderr, "scenario refused: %s\n", err.c_str());
        return 2;
    }
    if (checkOnly) {
        printf("%s: %zu events, good\n", scenario.empty() ? "(no scenario)" : scenario.c_str(), events.size());
        return 0;
    }
    if (geteuid() != 0)
        fprintf(stderr, "warning: not root: the /dev/tty links and the private /home/kelmo need root\n");

    tvksim::PlantOptions o;
    o.program = bin + "/tarvik-" + profile;
    o.cardProgram.resize(4);
    for (int i = 0; i < 4; ++i)
        if (!cardProfile[i].empty())
            o.cardProgram[size_t(i)] = bin + "/tarvik-" + cardProfile[i];
    for (int i = 0; i < 4; ++i) {
        const std::string &p = o.cardProgram[size_t(i)].empty() ? o.program : o.cardProgram[size_t(i)];
        if (mask[size_t(i)] == '1' && access(p.c_str(), X_OK) != 0) {
            fprintf(stderr, "%s: %s (build that profile)\n", p.c_str(), strerror(errno));
            return 1;
        }
    }
    o.mask = mask;
    o.moduleBaud = baud;
    o.muBoards = mu;
    o.captureDir = capture;
    // At the full level every card writes megabytes of log a minute.
    if (!fullLog)
        o.env.push_back("TARVIK_LOG_QUIET=1");
    o.handover = plan;
    if (dir.empty()) {
        char tmpl[] = "/tmp/tarvik-plant-XXXXXX";
        if (!mkdtemp(tmpl)) {
            perror("mkdtemp");
            return 1;
        }
        dir = tmpl;
    }
    o.baseDir = dir;

    // Only this thread takes the stop signals (sigtimedwait below); every thread the
    // plant starts inherits the mask, and the card processes clear it before exec.
    sigset_t stopSigs;
    sigemptyset(&stopSigs);
    sigaddset(&stopSigs, SIGINT);
    sigaddset(&stopSigs, SIGTERM);
    sigaddset(&stopSigs, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stopSigs, nullptr);
    signal(SIGPIPE, SIG_IGN);

    std::vector<std::string> keys, links;
    int status = 0;
    {
        std::unique_ptr<tvksim::Plant> plant;
        try {
            plant.reset(new tvksim::Plant(o));
        } catch (const std::exception &e) {
            fprintf(stderr, "the plant did not start: %s\n", e.what());
            return 1;
        }
        printf("Tarvik simulated plant: profile %s, mask %s, policy %s", profile.c_str(), mask.c_str(),
               policy.c_str());
        if (plan.policy == tvksim::HandoverPolicy::Rotate)
            printf(" every %.1f s", plan.periodMs / 1000.0);
        if (plan.policy == tvksim::HandoverPolicy::OnSilence)
            printf(" after %.1f s", plan.silenceMs / 1000.0);
        printf(", MU boards %s\n", mu ? "on" : "off");
        for (int k = 0; k < plant->cards(); ++k) {
            tvksim::CardProcess &c = plant->card(k);
            printf("  card %c (pid %d, %s): module bus %s, cabinet bus %s\n", 'A' + plant->cabinetOf(k),
                   int(c.pid()), c.setup().program.c_str(), c.setup().modulePort.c_str(),
                   c.setup().cabinetPort.c_str());
            printf("      vu.json %s\n      log     %s\n      tree    key file %s (tarvik-vu-%s --dir %s)\n",
                   plant->vuJsonPath(k).c_str(), c.logPath().c_str(), c.keyFile().c_str(), profile.c_str(),
                   c.setup().workDir.c_str());
            keys.push_back(c.keyFile());
            links.push_back(c.setup().modulePort);
            links.push_back(c.setup().cabinetPort);
        }
        if (!scenario.empty())
            printf("  scenario %s: %zu events\n", scenario.c_str(), events.size());
        printf("Ctrl-C stops the plant.\n\n");
        fflush(stdout);

        if (freshness > 0)
            return freshnessBench(*plant, freshness) ? 0 : 1;

        std::deque<std::string> recent;
        tvksim::ScenarioPlayer player(*plant, events, [&](const std::string &line) {
            if (plain) {
                printf("event %s\n", line.c_str());
            } else {
                recent.push_back(line);
                if (recent.size() > 6)
                    recent.pop_front();
            }
        });

        const auto t0 = std::chrono::steady_clock::now();
        auto elapsedMs = [&] {
            return int64_t(
                std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count());
        };
        const int64_t refreshMs = int64_t(refreshS > 0.1 ? refreshS * 1000 : 100);
        int64_t nextRefresh = 0;
        int shownLines = 0;
        int stopSig = 0;
        bool ended = false;
        while (!stopSig && !ended) {
            int64_t now = elapsedMs();
            if (!player.play(now))
                ended = true;
            if (duration > 0 && now >= int64_t(duration * 1000))
                ended = true;
            if (now >= nextRefresh || ended) {
                std::vector<std::string> lines;
                char head[96];
                snprintf(head, sizeof head, "t = %.0f s   master (station): %s", double(now) / 1000.0,
                         plant->station().currentMaster()
                             ? std::string(1, char('A' + plant->station().currentMaster() - 0xEA)).c_str()
                             : "none yet");
                lines.push_back(head);
                for (int k = 0; k < plant->cards(); ++k)
                    lines.push_back(summaryLine(plant->summary(k)));
                if (plain) {
                    for (const auto &l : lines)
                        printf("%s\n", l.c_str());
                    printf("\n");
                } else {
                    for (const auto &l : recent)
                        lines.push_back("  > " + l);
                    if (shownLines)
                        printf("\033[%dA", shownLines);
                    for (const auto &l : lines)
                        printf("\033[2K%s\n", l.c_str());
                    for (int extra = int(lines.size()); extra < shownLines; ++extra)
                        printf("\033[2K\n");
                    shownLines = std::max(shownLines, int(lines.size()));
                }
                fflush(stdout);
                nextRefresh = now + refreshMs;
            }
            if (ended)
                break;
            int64_t wait = nextRefresh - elapsedMs();
            int64_t ev = player.untilNext(elapsedMs());
            if (ev >= 0 && ev < wait)
                wait = ev;
            if (duration > 0) {
                int64_t left = int64_t(duration * 1000) - elapsedMs();
                if (left < wait)
                    wait = left;
            }
            if (wait < 1)
                wait = 1;
            struct timespec ts = {time_t(wait / 1000), long(wait % 1000) * 1000000L};
            int sig = sigtimedwait(&stopSigs, nullptr, &ts);
            if (sig > 0)
                stopSig = sig;
        }
        printf("\nstopping the plant (%s)\n", stopSig ? strsignal(stopSig) : "end of run");
        fflush(stdout);
        // Orderly stop of every card, so that each removes its own segment.
        for (int k = 0; k < plant->cards(); ++k) {
            tvksim::CardProcess &c = plant->card(k);
            const bool wasRunning = c.running();
            int st = wasRunning ? c.stop(5000) : c.exitStatus();
            std::string how;
            if (!wasRunning)
                how = "had ended before";
            else if (st >= 0 && WIFEXITED(st))
                how = "exit status " + std::to_string(WEXITSTATUS(st));
            else if (st >= 0 && WIFSIGNALED(st))
                how = "signal " + std::to_string(WTERMSIG(st));
            else
                how = "did not stop in 5 s, killed";
            if (wasRunning && !(st >= 0 && WIFEXITED(st) && WEXITSTATUS(st) == 0))
                status = 1;
            bool removed = c.removeSegment();
            printf("  card %c: %s%s\n", 'A' + plant->cabinetOf(k), how.c_str(),
                   removed ? " (its leftover segment removed)" : "");
        }
        plant.reset();
    }
    int left = 0;
    for (const auto &k : keys)
        if (segmentLeft(k)) {
            printf("  segment of %s still present\n", k.c_str());
            ++left;
        }
    for (const auto &l : links) {
        struct stat st;
        if (lstat(l.c_str(), &st) == 0) {
            printf("  link %s still present\n", l.c_str());
            ++left;
        }
    }
    if (left)
        status = 1;
    printf("plant stopped: %s; logs and vu.json under %s\n", left ? "NOT clean" : "no segment, link or process left",
           dir.c_str());
    return status;
}
