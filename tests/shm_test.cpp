// Shared-memory segment: creation, reuse, detach and the destroy wait with its
// last-resort reboot request (driven through the clock seam, never real seconds).
#include "Profile.h"
#include "Shm.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

using tvktest::FakeClock;
using tvktest::LogCapture;
using tvktest::MachineActions;
using tvktest::ScopedWorkDir;

namespace {

// Removes a segment at the end of the test, whatever happened.
struct SegmentGuard {
    int id = -1;
    ~SegmentGuard()
    {
        if (id >= 0)
            shmctl(id, IPC_RMID, nullptr);
    }
};

bool segmentExists(int id)
{
    struct shmid_ds ds;
    return shmctl(id, IPC_STAT, &ds) == 0;
}

int keyHere()
{
    key_t k = ftok("./Tarvik", 1);
    if (k == key_t(-1))
        ADD_FAILURE() << "no key file";
    return int(k);
}

class ShmTest : public ::testing::Test {
protected:
    void SetUp() override { MachineActions::reset(); }
    void TearDown() override { MachineActions::reset(); }

    ScopedWorkDir dir;
    SegmentGuard guard;
};

} // namespace

TEST_F(ShmTest, CreateAttachAndDestroyWithoutReaders)
{
    FakeClock clock;
    LogCapture cap;
    void *p = nullptr;
    int id = createShm(&p, 4096, keyHere());
    guard.id = id;
    ASSERT_GE(id, 0);
    ASSERT_NE(p, nullptr);
    memset(p, 0x5A, 4096);

    // A reader attaches to the same segment and sees the bytes.
    void *r = nullptr;
    EXPECT_EQ(attachShm(&r, 4096, keyHere()), id);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(static_cast<unsigned char *>(r)[4095], 0x5A);
    EXPECT_EQ(detachShm(&r), 0);

    // Created again under the same key: the old contents are reused.
    void *again = nullptr;
    EXPECT_EQ(createShm(&again, 4096, keyHere()), id);
    EXPECT_EQ(static_cast<unsigned char *>(again)[0], 0x5A);
    EXPECT_EQ(detachShm(&again), 0);

    cap.clear();
    EXPECT_EQ(destroyShm(&p, id), 0);
    EXPECT_EQ(p, nullptr);
    EXPECT_FALSE(segmentExists(id));
    EXPECT_EQ(clock.sleepCalls(), 0);
    EXPECT_EQ(cap.count("Vi sono altri processi"), 0);
    EXPECT_EQ(cap.count("shared memory deallocata\n"), profile::debugLines ? 1 : 0);
    EXPECT_TRUE(MachineActions::shellCommands().empty());
}

TEST_F(ShmTest, AttachWithoutSegmentAndSmallerExistingSegment)
{
    LogCapture cap;
    void *p = reinterpret_cast<void *>(0x1234);
    EXPECT_EQ(attachShm(&p, 100, keyHere()), -1);
    EXPECT_EQ(p, reinterpret_cast<void *>(0x1234));   // untouched on failure
    EXPECT_EQ(cap.count("Errore nell'allocazione della shared memory!\n"), 1);

    // A segment left by an earlier run, smaller than what is asked now.
    guard.id = shmget(key_t(keyHere()), 100, IPC_CREAT | 0604);
    ASSERT_GE(guard.id, 0);
    cap.clear();
    EXPECT_EQ(createShm(&p, 1000, keyHere()), -1);
    EXPECT_EQ(p, reinterpret_cast<void *>(0x1234));
    auto lines = cap.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find(" Err (getShm): Errore nell'allocazione della shared memory!\n"), std::string::npos)
        << lines[0];
    EXPECT_EQ(lines[1], std::string(strerror(EINVAL)) + "\n");   // the plain system error text
}

TEST_F(ShmTest, FailedCallsAreReported)
{
    LogCapture cap;
    int dummy = 0;
    void *bad = &dummy;   // not an attach address
    EXPECT_EQ(detachShm(&bad), -1);
    EXPECT_EQ(cap.count("Errore nella detach della shared memory!\n"), 1);

    cap.clear();
    EXPECT_EQ(destroyShm(&bad, 0), -1);
    EXPECT_EQ(cap.count("Errore nella detach della shared memory!\n"), 1);

    // Detach works, but the identifier names no segment.
    void *p = nullptr;
    guard.id = createShm(&p, 512, keyHere());
    ASSERT_GE(guard.id, 0);
    cap.clear();
    EXPECT_EQ(destroyShm(&p, 0x7FFFFFF0), -1);
    EXPECT_EQ(cap.count("Errore lettura stato della shared memory!\n"), 1);
    EXPECT_EQ(cap.lines().back(), std::string(strerror(EINVAL)) + "\n");
}

// A second attach counts as another process: the reader goes away during the n-th wait.
TEST_F(ShmTest, DestroyWaitsForReaderThatDetachesDuringTheNthWait)
{
    for (int n : {1, 2, 60, 61}) {
        SCOPED_TRACE("reader leaves during wait " + std::to_string(n));
        MachineActions::reset();
        FakeClock clock;
        void *p = nullptr;
        int id = createShm(&p, 2048, keyHere());
        SegmentGuard g;
        g.id = id;
        ASSERT_GE(id, 0);
        void *reader = shmat(id, nullptr, SHM_RDONLY);
        ASSERT_NE(reader, reinterpret_cast<void *>(-1));
        clock.onSleep([&](unsigned ms) {
            EXPECT_EQ(ms, 1000u);
            if (clock.sleepCalls() == n && reader) {
                shmdt(reader);
                reader = nullptr;
            }
        });
        LogCapture cap;
        EXPECT_EQ(destroyShm(&p, id), 0);
        clock.onSleep(nullptr);
        if (reader)
            shmdt(reader);
        EXPECT_FALSE(segmentExists(id));
        EXPECT_EQ(clock.sleepCalls(), n);
        EXPECT_EQ(clock.sleptMs(), int64_t(n) * 1000);
        EXPECT_EQ(cap.count(" War (destroyShm): Vi sono altri processi collegati alla shm!!\n"), n);
        EXPECT_EQ(cap.count(" War (destroyShm): Attendo e ritento...\n"), n);
        EXPECT_EQ(cap.count(" Err (destroyShm): ... persistono!!\n"), n - 1);
        // The counter is looked at after the re-read: at the 61st wait the reboot is
        // asked for even though the reader has just gone.
        const int reboots = n == 61 ? 1 : 0;
        EXPECT_EQ(cap.count("sono disperato!!! a mali estremi ... \n"), reboots);
        EXPECT_EQ(MachineActions::shellCommands().size(), size_t(reboots));
    }
}

// A reader that never leaves: reboot request after the 61st wait, then every 256 waits.
TEST_F(ShmTest, ReaderThatStaysMakesItAskForAReboot)
{
    FakeClock clock;
    void *p = nullptr;
    int id = createShm(&p, 2048, keyHere());
    guard.id = id;
    ASSERT_GE(id, 0);
    void *reader = shmat(id, nullptr, SHM_RDONLY);
    ASSERT_NE(reader, reinterpret_cast<void *>(-1));
    std::vector<int> rebootAtWait;
    const int leaveAt = 61 + 256 + 1;
    clock.onSleep([&](unsigned) {
        // Shell commands recorded so far, noted at each wait.
        size_t cmds = MachineActions::shellCommands().size();
        if (cmds > rebootAtWait.size())
            rebootAtWait.push_back(clock.sleepCalls() - 1);
        if (clock.sleepCalls() == leaveAt && reader) {
            shmdt(reader);
            reader = nullptr;
        }
    });
    LogCapture cap;
    EXPECT_EQ(destroyShm(&p, id), 0);
    clock.onSleep(nullptr);
    if (reader)
        shmdt(reader);

    EXPECT_EQ(clock.sleepCalls(), leaveAt);
    auto cmds = MachineActions::shellCommands();
    ASSERT_EQ(cmds.size(), 2u);
    EXPECT_EQ(cmds[0], "reboot -f");
    EXPECT_EQ(cmds[1], "reboot -f");
    EXPECT_EQ(rebootAtWait, (std::vector<int>{61, 61 + 256}));
    EXPECT_EQ(cap.count(" Err (destroyShm): sono disperato!!! a mali estremi ... \n"), 2);
    EXPECT_EQ(cap.count("... persistono!!\n"), leaveAt - 1);
    EXPECT_FALSE(segmentExists(id));
}

// Another process attached: a child that inherited the attach and leaves on request.
TEST_F(ShmTest, DestroyWaitsForAnotherProcess)
{
    FakeClock clock;
    void *p = nullptr;
    int id = createShm(&p, 2048, keyHere());
    guard.id = id;
    ASSERT_GE(id, 0);

    int toChild[2];
    ASSERT_EQ(pipe(toChild), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Child: holds the inherited attach until told to go.
        close(toChild[1]);
        char c;
        while (read(toChild[0], &c, 1) < 0 && errno == EINTR) {
        }
        _exit(0);
    }
    close(toChild[0]);
    bool released = false;
    auto release = [&]() {
        if (released)
            return;
        released = true;
        if (write(toChild[1], "x", 1) != 1) {
        }
        close(toChild[1]);
        int st = 0;
        waitpid(child, &st, 0);
    };
    clock.onSleep([&](unsigned) {
        if (clock.sleepCalls() == 3)
            release();
    });
    LogCapture cap;
    EXPECT_EQ(destroyShm(&p, id), 0);
    clock.onSleep(nullptr);
    release();
    EXPECT_EQ(clock.sleepCalls(), 3);
    EXPECT_EQ(cap.count("Attendo e ritento...\n"), 3);
    EXPECT_EQ(cap.count("... persistono!!\n"), 2);
    EXPECT_TRUE(MachineActions::shellCommands().empty());
    EXPECT_FALSE(segmentExists(id));
}
