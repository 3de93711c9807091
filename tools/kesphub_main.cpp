// The cabinet bus on one machine: a multidrop hub with pty ports for card
// programs and stand-in stations (MU boards, other cabinets' cards, the
// hand-over station), for the demo, benches and the simulated plant.
//
//   tarvik-kesphub-<profile> [--port /dev/ttyXXX]... [--ports N] [--baud N]
//                            [--mu LETTERS] [--card LETTERS]
//                            [--handover manual|once|rotate|silence] [--targets LETTERS]
//                            [--first MS] [--period MS] [--silence MS] [--settle MS]
//                            [--src HEX] [--build N] [--pids P,Q,...] [--pidfile FILE]
//                            [--tap] [--duration S]
//
// --port adds a pty port behind the given link (repeatable); --ports N adds N
// ports with generated links. Each port is printed on standard output as
// "port <n> <link>" once the hub runs. --baud 0 switches pacing off (default
// 9600). --mu ABCD puts the MU boards of those cabinets on the bus, --card the
// stand-in cards of those cabinets. --handover starts the hand-over station
// with that policy over --targets (cabinet letters, in turn); its breaks go as
// SIGINT to the --pids, and to the pids listed one a line in --pidfile (read at
// every break, so the plant can write it after the cards started). --tap
// prints every frame seen on standard error. Runs until SIGINT or SIGTERM, or
// for --duration seconds.
#include "KespHub.h"
#include "KespStations.h"
#include "PtyBench.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <fstream>
#include <memory>
#include <pthread.h>
#include <signal.h>
#include <string>
#include <vector>

namespace {

void usage(const char *prog)
{
    fprintf(stderr,
            "usage: %s [--port /dev/ttyXXX]... [--ports N] [--baud N] [--mu LETTERS] [--card LETTERS]\n"
            "          [--handover manual|once|rotate|silence] [--targets LETTERS] [--first MS]\n"
            "          [--period MS] [--silence MS] [--settle MS] [--src HEX] [--build N]\n"
            "          [--pids P,Q,...] [--pidfile FILE] [--tap] [--duration S]\n",
            prog);
}

bool letters(const std::string &s, std::vector<int> &out)
{
    for (char c : s) {
        if (c == ',')
            continue;
        if (c < 'A' || c > 'D')
            return false;
        out.push_back(c - 'A');
    }
    return true;
}

std::vector<pid_t> readPids(const std::string &file)
{
    std::vector<pid_t> v;
    std::ifstream in(file);
    long p;
    while (in >> p)
        if (p > 0)
            v.push_back(pid_t(p));
    return v;
}

} // namespace

int main(int argc, char **argv)
{
    std::vector<std::string> links;
    int extraPorts = 0;
    tvksim::HubOptions opt;
    std::vector<int> mus, cards, targets;
    std::string policy;
    tvksim::HandoverPlan plan;
    std::vector<pid_t> pids;
    std::string pidFile;
    bool tap = false;
    long duration = 0;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&]() -> std::string {
            if (i + 1 >= argc) {
                usage(argv[0]);
                exit(2);
            }
            return argv[++i];
        };
        bool ok = true;
        if (a == "--port")
            links.push_back(next());
        else if (a == "--ports")
            extraPorts = atoi(next().c_str());
        else if (a == "--baud")
            opt.baud = unsigned(strtoul(next().c_str(), nullptr, 10));
        else if (a == "--mu")
            ok = letters(next(), mus);
        else if (a == "--card")
            ok = letters(next(), cards);
        else if (a == "--handover")
            policy = next();
        else if (a == "--targets")
            ok = letters(next(), targets);
        else if (a == "--first")
            plan.firstAfterMs = unsigned(strtoul(next().c_str(), nullptr, 10));
        else if (a == "--period")
            plan.periodMs = unsigned(strtoul(next().c_str(), nullptr, 10));
        else if (a == "--silence")
            plan.silenceMs = unsigned(strtoul(next().c_str(), nullptr, 10));
        else if (a == "--settle")
            plan.breakSettleMs = unsigned(strtoul(next().c_str(), nullptr, 10));
        else if (a == "--src")
            plan.src = uint8_t(strtoul(next().c_str(), nullptr, 16));
        else if (a == "--build")
            plan.build = int32_t(strtol(next().c_str(), nullptr, 10));
        else if (a == "--pids") {
            std::string s = next();
            for (char *p = &s[0]; *p;) {
                char *end = nullptr;
                long v = strtol(p, &end, 10);
                if (end == p) {
                    ok = false;
                    break;
                }
                pids.push_back(pid_t(v));
                p = *end == ',' ? end + 1 : end;
            }
        } else if (a == "--pidfile")
            pidFile = next();
        else if (a == "--tap")
            tap = true;
        else if (a == "--duration")
            duration = atol(next().c_str());
        else
            ok = false;
        if (!ok) {
            usage(argv[0]);
            return 2;
        }
    }
    if (!policy.empty()) {
        if (policy == "manual")
            plan.policy = tvksim::HandoverPolicy::Manual;
        else if (policy == "once")
            plan.policy = tvksim::HandoverPolicy::Once;
        else if (policy == "rotate")
            plan.policy = tvksim::HandoverPolicy::Rotate;
        else if (policy == "silence")
            plan.policy = tvksim::HandoverPolicy::OnSilence;
        else {
            usage(argv[0]);
            return 2;
        }
        for (int t : targets)
            plan.targets.push_back(tvksim::kesp::cabinetAddr(t));
        if (plan.policy != tvksim::HandoverPolicy::Manual && plan.targets.empty()) {
            fprintf(stderr, "kesphub: --handover %s needs --targets\n", policy.c_str());
            return 2;
        }
    }
    const size_t nPorts = links.size() + size_t(extraPorts) + mus.size() + cards.size() + (policy.empty() ? 0 : 1);
    if (nPorts > size_t(tvksim::KespHub::MAX_PORTS)) {
        fprintf(stderr, "kesphub: %zu ports asked, at most %d\n", nPorts, tvksim::KespHub::MAX_PORTS);
        return 2;
    }

    // Signals are taken synchronously by this thread only (blocked before any thread starts).
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    tvksim::cleanupStaleLinks();

    tvksim::KespHub hub(opt);
    std::vector<std::unique_ptr<tvksim::KespStation>> stations;
    try {
        for (const auto &l : links)
            hub.addPtyPort(l);
        for (int i = 0; i < extraPorts; ++i)
            hub.addPtyPort();
        for (int m : mus)
            stations.push_back(std::make_unique<tvksim::MuBoardSim>(hub.attachLocal("MU " + std::string(1, char('A' + m))), m));
        for (int c : cards)
            stations.push_back(
                std::make_unique<tvksim::CabinetCardSim>(hub.attachLocal("card " + std::string(1, char('A' + c))), c));
        if (!policy.empty()) {
            auto st = std::make_unique<tvksim::HandoverStation>(hub.attachLocal("hand-over"), plan, &hub);
            st->setPids(pids);
            if (!pidFile.empty())
                st->setBreakHook([pidFile] {
                    for (pid_t p : readPids(pidFile))
                        kill(p, SIGINT);
                });
            stations.push_back(std::move(st));
        }
    } catch (const std::exception &e) {
        fprintf(stderr, "kesphub: %s\n", e.what());
        return 1;
    }
    if (tap) {
        hub.setTapHook([](const tvksim::TapEntry &e) {
            const double ms = double(e.firstUs % 100000000) / 1000.0;
            if (e.kind == tvksim::TapEntry::FrameSeen)
                fprintf(stderr, "kesphub: %10.1f port %d %s%s\n", ms, e.port, tvksim::kesp::describe(e.bytes).c_str(),
                        e.collided ? " COLLIDED" : "");
            else
                fprintf(stderr, "kesphub: %10.1f %s %s\n", ms, e.kind == tvksim::TapEntry::Break ? "break" : "note",
                        e.note.c_str());
        });
    }
    for (int i = 0; i < hub.portCount(); ++i)
        printf("port %d %s\n", i, hub.path(i).empty() ? hub.label(i).c_str() : hub.path(i).c_str());
    fflush(stdout);
    fprintf(stderr, "kesphub: %d ports, %s\n", hub.portCount(),
            opt.baud ? ("paced at " + std::to_string(opt.baud) + " baud").c_str() : "not paced");

    int sig = 0;
    if (duration > 0) {
        struct timespec ts = {time_t(duration), 0};
        siginfo_t info;
        sig = sigtimedwait(&set, &info, &ts);
    } else {
        sigwait(&set, &sig);
    }
    for (auto &s : stations)
        s->stop();
    hub.stop();
    size_t frames = hub.tapCount();
    fprintf(stderr, "kesphub: %zu tap entries\n", frames);
    return 0;
}
