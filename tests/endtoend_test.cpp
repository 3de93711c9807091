// The real card program against the stand-in power module over a pty, observed
// through its shared-memory tree as the card's other processes see it.
#include "CardFixture.h"
#include "PowerModuleSim.h"
#include "PtyBench.h"
#include "TestSupport.h"
#include "VirtualUPSMgr.h"

#include <gtest/gtest.h>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <fcntl.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// A card process with its log in a file; killed and reaped whatever happens.
class CardProcess {
public:
    CardProcess(const std::string &modulePort, const char *cabinet, const char *mask)
    {
        std::string prog = std::string(TVK_BIN_DIR) + "/tarvik-" + TVK_PROFILE_NAME;
        pid_ = fork();
        if (pid_ == 0) {
            int fd = open("card.log", O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd >= 0)
                dup2(fd, 2);
            execl(prog.c_str(), prog.c_str(), modulePort.c_str(), "/dev/ttyTVKnone", "115200", cabinet, mask,
                  "false", (char *)nullptr);
            _exit(127);
        }
    }
    ~CardProcess()
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    int stop()
    {
        kill(pid_, SIGTERM);
        int st = 0;
        waitpid(pid_, &st, 0);
        pid_ = -1;
        return st;
    }

private:
    pid_t pid_ = -1;
};

// Read-only attachment to the card's tree, as another process on the card.
class TreeReader {
public:
    ~TreeReader() { detach(); }
    bool attach()
    {
        key_t key = ftok("./Tarvik", 1);
        id_ = shmget(key, 0, 0);
        if (id_ < 0)
            return false;
        void *p = shmat(id_, nullptr, SHM_RDONLY);
        if (p == (void *)-1)
            return false;
        base_ = static_cast<virtualNode_t *>(p);
        struct shmid_ds ds;
        shmctl(id_, IPC_STAT, &ds);
        count_ = int(ds.shm_segsz / sizeof(virtualNode_t));
        return true;
    }
    void detach()
    {
        if (base_)
            shmdt(base_);
        base_ = nullptr;
    }
    virtualNode_t *node(const char *id) { return base_ ? search(base_, id, count_) : nullptr; }
    int id() const { return id_; }

private:
    virtualNode_t *base_ = nullptr;
    int id_ = -1;
    int count_ = 0;
};

} // namespace

TEST(EndToEnd, ModuleDataReachTheTreeAndSilenceShowsAsLoss)
{
    tvktest::ScopedWorkDir dir;
    tvksim::PtyEnd bus;
    tvksim::PowerModuleSim sim(bus);
    sim.update([](tvksim::ModuleState &s) {
        s.SN = "E2E0000000000042";
        s.VA = 42000;
        s.W = 39000;
    });

    CardProcess card(bus.path(), "1", "1000");
    TreeReader tree;
    ASSERT_TRUE(tvktest::CardFixture::waitFor([&] { return tree.attach(); }, 10000));
    virtualNode_t *mod = tree.node("SA.BA.M1");
    virtualNode_t *box = tree.node("SA.BA");
    ASSERT_NE(mod, nullptr);
    ASSERT_NE(box, nullptr);

    // Within a few polling rounds the module node and the cabinet node carry the module's values.
    EXPECT_TRUE(tvktest::CardFixture::waitFor(
        [&] {
            return strncmp(mod->identification.SN, "E2E0000000000042", 16) == 0 && mod->nominal.VA == 42000 &&
                   strncmp(box->identification.SN, "E2E0000000000042", 16) == 0 && box->nominal.VA == 42000 &&
                   box->desc.upsBox.Ups.timestamp != 0 &&
                   box->desc.upsBox.subSystem.UPSShelter[0].alarmSt != commLostAlarm;
        },
        15000));

    // A panel command written into the module node, as the card's other processes do,
    // switches the module off and on again; the card clears the command it took.
    auto panel = [](const char *cmd) {
        std::string tool = std::string(TVK_BIN_DIR) + "/tarvik-panel-" + TVK_PROFILE_NAME;
        int st = std::system((tool + " --dir . --wait 10 SA.BA.M1 " + cmd + " >/dev/null").c_str());
        return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    };
    EXPECT_EQ(panel("off"), 0);
    EXPECT_TRUE(tvktest::CardFixture::waitFor([&] { return !sim.state().Output_Powered; }, 10000));
    EXPECT_EQ(panel("on"), 0);
    EXPECT_TRUE(tvktest::CardFixture::waitFor([&] { return sim.state().Output_Powered; }, 10000));
    EXPECT_EQ(mod->panel.value, CMD_NONE);

    // A silent module turns the cabinet's module descriptor to communication loss.
    tvksim::Faults f;
    f.silent = true;
    sim.setFaults(f);
    EXPECT_TRUE(tvktest::CardFixture::waitFor(
        [&] { return box->desc.upsBox.subSystem.UPSShelter[0].alarmSt == commLostAlarm; }, 40000));

    int segId = tree.id();
    tree.detach();
    int st = card.stop();
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 0);
    struct shmid_ds ds;
    EXPECT_NE(shmctl(segId, IPC_STAT, &ds), 0);   // removed by the card
}
