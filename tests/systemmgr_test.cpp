// The system manager: start and stop order, registration, master search, and the
// real program's orderly stop.
#include "CardFixture.h"
#include "CardProcess.h"
#include "Globals.h"
#include "PowerModuleSim.h"
#include "PtyBench.h"
#include "SystemMgr.h"
#include "ThreadDUVEX.h"
#include "ThreadKESP.h"
#include "VirtualUPSMgr.h"

#include <gtest/gtest.h>
#include <chrono>
#include <csignal>
#include <fstream>
#include <sstream>
#include <thread>
#include <fcntl.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

using tvktest::CardFixture;

namespace {

#if defined(TVK_MODULAR)
const char *const kMaskNone = "1000";   // the modular build always has cabinet A
#else
const char *const kMaskNone = "0000";
#endif

} // namespace

#if !defined(TVK_MODULAR)
TEST(SystemMgr, NoCabinetPresent)
{
    CardFixture::Options o;
    o.mask = kMaskNone;
    CardFixture card(o);
    SystemMgr *m = card.mgr();
    EXPECT_EQ(m->numUPS, 0);
    ASSERT_NE(m->pVirtualUPSMgr, nullptr);
    virtualNode_t *root = m->pVirtualUPSMgr->virtualUPS;
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->son, 255);
    EXPECT_EQ(card.node("SA.BA"), nullptr);
    for (int i = 0; i < 4; ++i) {
        EXPECT_FALSE(m->pThDuvex->ModulesData[i][0].commStatus.active);
        EXPECT_EQ(m->pThDuvex->ModulesData[i][0].pVN, nullptr);
    }
    EXPECT_TRUE(m->pThKESP->isRunning());
    EXPECT_TRUE(m->pThDuvex->isRunning());
    EXPECT_EQ(m->pThDuvex->fixQueueSize(), 0);
}

TEST(SystemMgr, CabinetBAlone)
{
    CardFixture::Options o;
    o.cabinet = 2;
    o.mask = "0100";
    CardFixture card(o);
    SystemMgr *m = card.mgr();
    EXPECT_EQ(m->numUPS, 1);
    for (int i = 0; i < 4; ++i) {
        const commStatus_t &st = m->pThDuvex->ModulesData[i][0].commStatus;
        EXPECT_EQ(st.active, i == 1) << i;
        if (i != 1) {
            EXPECT_FALSE(st.isGood) << i;
        }
    }
    EXPECT_EQ(m->pThDuvex->ModulesData[1][0].pVN, card.node("SB.BB.M1"));
    EXPECT_EQ(m->pThKESP->upsBox[1].pVN, card.node("SB.BB"));
    EXPECT_TRUE(m->pThKESP->upsBox[1].MCUcommStatus.active);
    EXPECT_FALSE(m->pThKESP->upsBox[0].MCUcommStatus.active);
}
#endif

TEST(SystemMgr, SecondRegistrationRefused)
{
    CardFixture card;
    tvktest::LogCapture cap;
    virtualNode_t *tree = card.mgr()->pVirtualUPSMgr->virtualUPS;
    EXPECT_EQ(card.mgr()->RegisterAll(), -1);
    EXPECT_TRUE(cap.contains(" Err (RegisterAll): SharedMemory gia' inizializzata!!!\n"));
    EXPECT_EQ(card.mgr()->pVirtualUPSMgr->virtualUPS, tree);
}

#if !defined(TVK_MODULAR)
TEST(SystemMgr, SearchMasterTakesTheFirstReachableMaster)
{
    // Own cabinet B: its entry is kept by module aggregation (reachable, not master);
    // the entries of A, C and D are set by the test.
    CardFixture::Options o;
    o.cabinet = 2;
    o.mask = "1111";
    CardFixture card(o);
    SystemMgr *m = card.mgr();
    KESPMgr *k = m->pThKESP;
    // idu: the cabinet's master-module index as its card last sent it (8 * cabinet +
    // 1 + slot); before that card's first aggregation it names no module of the
    // cabinet (0 at start, 0xFF without a master module).
    struct Case {
        bool good[4], master[4];
        uint8 idu[4];
        int ret;
        uint8 box, ups;
    };
    const Case cases[] = {
        {{true, true, true, true}, {true, false, true, false}, {1, 9, 17, 25}, 0, 0, 0},     // A and C: A
        {{false, true, true, true}, {true, false, true, false}, {1, 9, 17, 25}, 0, 2, 0},    // A unreachable: C
        {{true, true, false, true}, {false, false, true, false}, {1, 9, 17, 25}, -1, 4, 9},  // C unreachable
        {{true, true, true, true}, {true, false, true, false}, {0, 9, 17, 25}, 0, 2, 0},     // A's not known yet
        {{true, true, true, true}, {false, false, true, false}, {1, 9, 0xFF, 25}, -1, 4, 9}, // C's none
        {{true, true, true, true}, {false, false, true, false}, {1, 9, 1, 25}, -1, 4, 9},    // C's names A's
    };
    for (const Case &c : cases) {
        {
            myMutexLocker lk(k->mutexKESPData);
            for (int i : {0, 2, 3}) {
                k->upsBox[i].MCUcommStatus.isGood = c.good[i];
                k->upsBox[i].pVN->desc.upsBox.Ups.isMaster = c.master[i];
                k->upsBox[i].extendedBoardBox.idu = c.idu[i];
            }
        }
        uint8 box = 9, ups = 9;
        EXPECT_EQ(m->searchMaster(box, ups), c.ret);
        EXPECT_EQ(box, c.box);
        EXPECT_EQ(ups, c.ups);
        // The same answer for a caller that holds the cabinet data mutex already.
        myMutexLocker lk(k->mutexKESPData);
        box = 9, ups = 9;
        EXPECT_EQ(m->searchMaster(box, ups, true), c.ret);
        EXPECT_EQ(box, c.box);
        EXPECT_EQ(ups, c.ups);
    }
}
#endif

TEST(SystemMgr, StopDeRegistersEveryModuleAddress)
{
    CardFixture card;
    tvktest::LogCapture cap;
    card.stopCard();
    std::string t = cap.text();
    size_t kesp = t.find("Fermo la thread KESP\n");
    size_t duvex = t.find("Fermo la thread Duvex\n");
    ASSERT_NE(kesp, std::string::npos);
    ASSERT_NE(duvex, std::string::npos);
    EXPECT_LT(kesp, duvex);
    if (tvk_debugEnabled()) {
        for (char c = 'A'; c <= 'D'; ++c)
            EXPECT_TRUE(cap.contains(std::string("DeRegistro armadio ") + c + ": DeRegistro il modulo BYPASS\n"));
        EXPECT_EQ(cap.count("Modulo UPS 1 DeRegistrato\n"), 4);
    }
    EXPECT_TRUE(cap.contains("shared memory deallocata") || !tvk_debugEnabled());
}

// The real program: started with its six arguments in a private directory, stopped by
// SIGTERM; the segment it made is gone afterwards and the exit status is 0.
TEST(SystemMgr, ProgramStopsInOrderOnSigterm)
{
    tvktest::ScopedWorkDir dir;
    tvksim::PtyEnd bus;
    tvksim::PowerModuleSim sim(bus);
    std::string prog = std::string(TVK_BIN_DIR) + "/tarvik-" + TVK_PROFILE_NAME;
    int errPipe[2];
    ASSERT_EQ(pipe(errPipe), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        dup2(errPipe[1], 2);
        close(errPipe[0]);
        close(errPipe[1]);
        execl(prog.c_str(), prog.c_str(), bus.path().c_str(), "/dev/ttyTVKnone", "115200", "1", "1000", "false",
              (char *)nullptr);
        _exit(127);
    }
    close(errPipe[1]);
    key_t key = ftok("./Tarvik", 1);
    ASSERT_NE(key, -1);
    // Wait until the card polls its module.
    ASSERT_TRUE(sim.waitReceived(6, 10000));
    int id = shmget(key, 0, 0);
    EXPECT_GE(id, 0);
    kill(pid, SIGTERM);
    // Drain the log while the card stops.
    std::string log;
    char buf[4096];
    ssize_t n;
    while ((n = read(errPipe[0], buf, sizeof buf)) > 0)
        log.append(buf, size_t(n));
    close(errPipe[0]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_NE(log.find("bye bye\n"), std::string::npos);
    EXPECT_LT(shmget(key, 0, 0), 0);   // removed
    if (id >= 0 && shmget(key, 0, 0) >= 0)
        shmctl(id, IPC_RMID, nullptr);
}

// A card with its cabinet bus open and no master on the line listens as a slave (and
// polls its module meanwhile). SIGTERM stops it in order within a few seconds: the
// service's stop time-out is 10 s, and a card that overran it would be killed and leave
// its segment behind.
TEST(SystemMgr, ListeningSlaveStopsWithinSecondsOnSigterm)
{
    tvktest::ScopedWorkDir dir;
    tvksim::PtyEnd moduleBus;
    tvksim::PtyEnd cabinetBus;   // nobody talks on it
    tvksim::PowerModuleSim sim(moduleBus);
    tvksim::CardSetup setup;
    setup.program = std::string(TVK_BIN_DIR) + "/tarvik-" + TVK_PROFILE_NAME;
    setup.modulePort = moduleBus.path();
    setup.cabinetPort = cabinetBus.path();
    setup.baud = "115200";
    setup.cabinet = 2;
    setup.mask = "1100";
    setup.runMode = "false";
    setup.workDir = dir.path();
    setup.privateHome = false;
    tvksim::CardProcess card(setup);
    ASSERT_TRUE(sim.waitReceived(6, 10000));
    // Well into a wait for a frame on the silent cabinet bus.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    key_t key = ftok(card.keyFile().c_str(), 1);
    ASSERT_NE(key, -1);
    ASSERT_GE(shmget(key, 0, 0), 0);

    const auto t0 = std::chrono::steady_clock::now();
    int st = card.stop(10000);
    const double took =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::ifstream in(card.logPath());
    std::stringstream log;
    log << in.rdbuf();
    ASSERT_TRUE(WIFEXITED(st)) << "not stopped in 10 s\n" << log.str();
    EXPECT_EQ(WEXITSTATUS(st), 0);
    EXPECT_LT(took, 5.0) << log.str();
    EXPECT_NE(log.str().find("bye bye\n"), std::string::npos);
    EXPECT_LT(shmget(key, 0, 0), 0);   // removed by the card itself
    RecordProperty("stop_seconds", std::to_string(took));
    printf("listening slave stopped in %.2f s\n", took);
}

TEST(SystemMgr, ProgramWithTooFewArguments)
{
    std::string prog = std::string(TVK_BIN_DIR) + "/tarvik-" + TVK_PROFILE_NAME;
    std::string cmd = prog + " a b 9600 1 1000 2>/dev/null";
    int st = system(cmd.c_str());
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 255);
}
