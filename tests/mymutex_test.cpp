#include "TestSupport.h"
#include "myMutex.h"

#include <gtest/gtest.h>
#include <atomic>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

TEST(myMutex, LockerUnlockRelockAndDestruction)
{
    myMutex m("mutexTest");
    {
        myMutexLocker lk(&m);
        EXPECT_FALSE(m.tryLock());   // held by the locker (non-recursive)
        lk.unlock();
        ASSERT_TRUE(m.tryLock());
        m.unlock();
        lk.relock();
        std::atomic<bool> got{true};
        std::thread t([&] { got = m.tryLock(); });
        t.join();
        EXPECT_FALSE(got.load());
    }
    EXPECT_TRUE(m.tryLock());   // free after destruction
    m.unlock();
}

TEST(myMutex, SecondUnlockIsReportedAndHarmless)
{
    myMutex m("mutexKESPData");
    tvktest::LogCapture cap;
    {
        myMutexLocker lk(&m);
        lk.unlock();
        lk.unlock();
    }
    char expect[128];
    snprintf(expect, sizeof expect, " Err (unlock): [from thread:%6ld] Mutex mutexKESPData gia' precedentemente unlocked\n",
             long(syscall(SYS_gettid)));
    ASSERT_EQ(cap.lines().size(), 1u);
    EXPECT_NE(cap.lines()[0].find(expect), std::string::npos) << cap.lines()[0];
    EXPECT_TRUE(m.tryLock());
    m.unlock();
}

TEST(myMutex, TryLockHeldByAnotherThreadFailsAtOnce)
{
    myMutex m("mutexState");
    std::atomic<bool> held{false}, release{false};
    std::thread t([&] {
        myMutexLocker lk(&m);
        held = true;
        while (!release)
            std::this_thread::yield();
    });
    while (!held)
        std::this_thread::yield();
    EXPECT_FALSE(m.tryLock());
    release = true;
    t.join();
}
