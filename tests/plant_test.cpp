// The simulated plant end to end, with the real card programs: four cards, each
// with its stand-in module, the MU boards and the hand-over station on one
// paced cabinet bus. What one module reports reaches every card's vu.json, a
// silent module is lost on every card, naval and standard cards interwork, and
// the plant tool stops everything in order on SIGINT.
#include "CardFixture.h"
#include "Plant.h"
#include "Scenario.h"
#include "VirtualUPSMgr.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <thread>
#include <vector>

using tvktest::CardFixture;

namespace {

std::string program(const std::string &profile) { return std::string(TVK_BIN_DIR) + "/tarvik-" + profile; }

bool exists(const std::string &p) { return access(p.c_str(), X_OK) == 0; }

std::string readAll(const std::string &path)
{
    std::ifstream f(path);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

// The number after "KEY": in a status document, or -1.
long vuValue(const std::string &doc, const std::string &key)
{
    size_t p = doc.find("\"" + key + "\": ");
    if (p == std::string::npos)
        return -1;
    return strtol(doc.c_str() + p + key.size() + 4, nullptr, 10);
}

tvksim::PlantOptions plantOptions(const std::string &mask = "1111")
{
    static tvktest::ScopedWorkDir dir;
    static int run = 0;
    tvksim::PlantOptions o;
    o.program = program(TVK_PROFILE_NAME);
    o.baseDir = dir.path() + "/plant" + std::to_string(run++);
    o.mask = mask;
    o.muBoards = true;
    o.env.push_back("TARVIK_LOG_QUIET=1");
    std::string err;
    std::vector<int> first = {0};
    EXPECT_TRUE(tvksim::makeHandoverPlan("silence", 10, first, o.handover, err)) << err;
    o.handover.firstAfterMs = 500;
    return o;
}

// Every card's vu.json satisfies pred.
bool everyVu(tvksim::Plant &p, const std::function<bool(const std::string &)> &pred, int timeoutMs)
{
    return CardFixture::waitFor(
        [&] {
            for (int k = 0; k < p.cards(); ++k)
                if (!pred(readAll(p.vuJsonPath(k))))
                    return false;
            return true;
        },
        timeoutMs);
}

bool lists(const std::string &doc, const std::string &alarm)
{
    std::vector<std::string> a;
    bool failure = false;
    return tvksim::Plant::parseVuAlarms(doc, a, failure) && std::find(a.begin(), a.end(), alarm) != a.end();
}

} // namespace

// A measurement at cabinet B's module reaches every card's vu.json (the system's
// output power is the sum of the cabinets'); with the standard program built,
// cabinets B and D run it, so naval and standard cards share the one bus.
TEST(Plant, MeasurementAtCabinetBReachesEveryCard)
{
    tvksim::PlantOptions o = plantOptions();
    bool mixed = false;
#if TVK_PROFILE != 3
    if (exists(program("naval")) && exists(program("std"))) {
        o.program = program("naval");
        o.cardProgram = {"", program("std"), "", program("std")};
        mixed = true;
    }
#endif
    tvksim::Plant p(o);
    const long base = 4 * 2000;   // Watt[0] of every stand-in module
    ASSERT_TRUE(everyVu(p, [&](const std::string &d) { return vuValue(d, "OUTPUTPOWER") == base; }, 55000))
        << "every card sums the four cabinets";

    // Freshness: a change at B's module until every card published it.
    std::vector<double> ms;
    for (int n = 1; n <= 4; ++n) {
        const long w = 2000 + 111 * n;
        const auto t0 = std::chrono::steady_clock::now();
        p.module(p.cardOf(1)).update([w](tvksim::ModuleState &s) { s.Watt[0] = uint32_t(w); });
        ASSERT_TRUE(
            everyVu(p, [&](const std::string &d) { return vuValue(d, "OUTPUTPOWER") == base - 2000 + w; }, 20000))
            << "change " << n;
        ms.push_back(double(std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
                                .count()));
    }
    std::sort(ms.begin(), ms.end());
    printf("freshness over %zu changes: median %.0f ms, worst %.0f ms\n", ms.size(), ms[ms.size() / 2], ms.back());

    if (mixed) {
        // Each card writes its own profile's keys.
        for (int k = 0; k < p.cards(); ++k) {
            const std::string d = readAll(p.vuJsonPath(k));
            const bool stdCard = k == 1 || k == 3;
            EXPECT_EQ(d.find("\"OUPUTFREQUENCY\"") != std::string::npos, stdCard) << k;
            EXPECT_EQ(d.find("\"OUTPUTFREQUENCY\"") != std::string::npos, !stdCard) << k;
        }
    }
    for (int k = 0; k < p.cards(); ++k)
        EXPECT_TRUE(p.card(k).running()) << "card " << char('A' + k);
}

#if TVK_PROFILE != 3
// A modular card of another plant on the same bus, at cabinet D's address: cards
// of this build (a plant of A, B and C) cannot exchange records with it. It takes
// the master role in turn with A and polls its own plant; it must neither disturb
// the three cards nor be taken for one of them: a change at B still reaches A and
// C, their system totals count their own three cabinets only, none of them keeps
// a record of D, and every card keeps running.
TEST(Plant, ModularCardOnTheBusDisturbsNothing)
{
    if (!exists(program("modular")))
        GTEST_SKIP() << "the modular program is not built";
    tvksim::PlantOptions o = plantOptions();
    o.cardProgram = {"", "", "", program("modular")};
    o.cardMask = {"1110", "1110", "1110", ""};
    std::string err;
    ASSERT_TRUE(tvksim::makeHandoverPlan("rotate", 6, {0, 3}, o.handover, err)) << err;
    o.handover.firstAfterMs = 500;
    tvksim::Plant p(o);
    const int cabinetsOfThisBuild[] = {0, 1, 2};
    auto onEach = [&](const std::function<bool(const std::string &)> &pred, int timeoutMs) {
        return CardFixture::waitFor(
            [&] {
                for (int cab : cabinetsOfThisBuild)
                    if (!pred(readAll(p.vuJsonPath(p.cardOf(cab)))))
                        return false;
                return true;
            },
            timeoutMs);
    };
    ASSERT_TRUE(onEach([](const std::string &d) { return vuValue(d, "OUTPUTPOWER") == 3 * 2000; }, 55000))
        << "the cards of this build sum their own three cabinets";
    // D has polled as master by now (the role goes A, D, A, ... every 6 s).
    ASSERT_TRUE(p.hub().waitTap([](const tvksim::TapEntry &e) { return e.is('B', 'S') && e.h.src == 0xED; },
                                30000))
        << "the modular card never took its turn";
    p.module(p.cardOf(1)).update([](tvksim::ModuleState &s) { s.Watt[0] = 2345; });
    EXPECT_TRUE(onEach([](const std::string &d) { return vuValue(d, "OUTPUTPOWER") == 2 * 2000 + 2345; }, 30000))
        << "a change at B reaches A and C";
    for (int cab : cabinetsOfThisBuild) {
        tvksim::TreeAttach t;
        ASSERT_TRUE(t.attach(p.card(p.cardOf(cab)).keyFile())) << cab;
        char id[8];
        snprintf(id, sizeof id, "S%c.BD", 'A' + cab);
        EXPECT_EQ(t.node(id), nullptr) << "card " << char('A' + cab) << " keeps a record of D";
    }
    for (int k = 0; k < p.cards(); ++k)
        EXPECT_TRUE(p.card(k).running()) << "card " << char('A' + p.cabinetOf(k));
}
#endif

// A module that stops answering turns into MODULE_3_LOST and UPSFAILURE on
// every card, and its cabinet record shows it lost in the card's own tree.
TEST(Plant, SilentModuleIsLostOnEveryCard)
{
    tvksim::Plant p(plantOptions());
    ASSERT_TRUE(everyVu(p, [](const std::string &d) { return vuValue(d, "OUTPUTPOWER") == 8000; }, 45000));
    EXPECT_TRUE(everyVu(p, [](const std::string &d) { return !lists(d, "MODULE_3_LOST"); }, 1000));

    tvksim::Faults silent;
    silent.silent = true;
    p.module(p.cardOf(2)).setFaults(silent);
    EXPECT_TRUE(everyVu(
        p,
        [](const std::string &d) {
            std::vector<std::string> a;
            bool failure = false;
            return tvksim::Plant::parseVuAlarms(d, a, failure) && failure &&
                   std::find(a.begin(), a.end(), "MODULE_3_LOST") != a.end();
        },
        75000));
    tvksim::CardSummary c = p.summary(p.cardOf(2));
    EXPECT_TRUE(c.tree);
    EXPECT_EQ(c.moduleAlarm, 0) << "lost in C's own cabinet record";
    for (int k = 0; k < p.cards(); ++k) {
        std::vector<std::string> a;
        bool f = false;
        tvksim::Plant::parseVuAlarms(readAll(p.vuJsonPath(k)), a, f);
        EXPECT_EQ(std::count(a.begin(), a.end(), "MODULE_1_LOST") + std::count(a.begin(), a.end(), "MODULE_2_LOST") +
                      std::count(a.begin(), a.end(), "MODULE_4_LOST"),
                  0)
            << "only C's module is lost, card " << char('A' + k);
    }
}

namespace {

struct ToolRun {
    pid_t pid = -1;
    std::string out;
};

ToolRun startTool(const std::vector<std::string> &args, const std::string &outFile)
{
    ToolRun r;
    r.out = outFile;
    r.pid = fork();
    if (r.pid == 0) {
        int fd = open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 1);
        dup2(fd, 2);
        std::vector<char *> argv;
        std::string prog = std::string(TVK_BIN_DIR) + "/tarvik-plant-" + TVK_PROFILE_NAME;
        argv.push_back(const_cast<char *>(prog.c_str()));
        for (const auto &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execv(prog.c_str(), argv.data());
        _exit(127);
    }
    return r;
}

int waitTool(pid_t pid, int timeoutMs)
{
    int st = -1;
    if (!CardFixture::waitFor([&] { return waitpid(pid, &st, WNOHANG) == pid; }, timeoutMs)) {
        kill(pid, SIGKILL);
        waitpid(pid, &st, 0);
        return -1;
    }
    return st;
}

} // namespace

// The tool: a bad scenario line is refused before anything starts; SIGINT (as
// Ctrl-C) stops the plant in order, also with one card killed by the scenario,
// and leaves no segment, link or process.
TEST(Plant, ToolRefusesBadScenarioAndStopsCleanlyOnSigint)
{
    const std::string tool = std::string(TVK_BIN_DIR) + "/tarvik-plant-" + TVK_PROFILE_NAME;
    if (!exists(tool))
        GTEST_SKIP() << "no " << tool;
    tvktest::ScopedWorkDir dir;
    const std::string bad = dir.path() + "/bad.txt";
    std::ofstream(bad) << "5 A mains-fail\n8 B panel explode\n";
    ToolRun r = startTool({"--mask", "1100", "--scenario", bad, "--dir", dir.path() + "/p1"}, dir.path() + "/o1");
    int st = waitTool(r.pid, 10000);
    ASSERT_TRUE(WIFEXITED(st)) << st;
    EXPECT_EQ(WEXITSTATUS(st), 2);
    EXPECT_NE(readAll(r.out).find("line 2: unknown panel command"), std::string::npos) << readAll(r.out);
    struct stat sb;
    EXPECT_NE(stat((dir.path() + "/p1/cardA").c_str(), &sb), 0) << "nothing started";

    const std::string sc = dir.path() + "/kill.txt";
    std::ofstream(sc) << "4 B card-kill\n";
    r = startTool({"--mask", "1100", "--scenario", sc, "--plain", "--refresh", "1", "--dir", dir.path() + "/p2"},
                  dir.path() + "/o2");
    ASSERT_TRUE(CardFixture::waitFor([&] { return readAll(r.out).find("card-kill") != std::string::npos; }, 20000))
        << readAll(r.out);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    // The pids of the cards, from the tool's start lines.
    std::vector<pid_t> pids;
    std::string out = readAll(r.out);
    for (size_t p = out.find("(pid "); p != std::string::npos; p = out.find("(pid ", p + 1))
        pids.push_back(pid_t(atoi(out.c_str() + p + 5)));
    ASSERT_EQ(pids.size(), 2u) << out;
    kill(r.pid, SIGINT);
    st = waitTool(r.pid, 20000);
    out = readAll(r.out);
    ASSERT_TRUE(WIFEXITED(st)) << st << out;
    EXPECT_EQ(WEXITSTATUS(st), 0) << out;
    EXPECT_NE(out.find("card A: exit status 0"), std::string::npos) << out;
    EXPECT_NE(out.find("card B: had ended before"), std::string::npos) << out;
    EXPECT_NE(out.find("no segment, link or process left"), std::string::npos) << out;
    for (pid_t p : pids)
        EXPECT_NE(kill(p, 0), 0) << "card process " << p << " still there";
    for (const char *c : {"cardA", "cardB"}) {
        key_t key = ftok((dir.path() + "/p2/" + c + "/Tarvik").c_str(), 1);
        EXPECT_LT(shmget(key, 0, 0), 0) << c << " segment left";
    }
    for (size_t p = out.find("bus /dev/tty"); p != std::string::npos; p = out.find("bus /dev/tty", p + 1)) {
        std::string link = out.substr(p + 4, out.find_first_of(",\n", p) - p - 4);
        struct stat ls;
        EXPECT_NE(lstat(link.c_str(), &ls), 0) << link << " left";
    }
}
