// Queue manager: the fixed polling round and its cursor, the command queue, the
// delayed queue with its restore slot, element ownership, and a bus thread polling
// while another thread registers and de-registers.
#include "QueuesMgr.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <QMetaObject>
#include <QMutexLocker>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <thread>
#include <vector>

using tvktest::LogCapture;

namespace {

// A small stand-in frame: STX, Src, Dest, MainCmd, SubCmd, parameters, sum, ETX.
uint16 testBuild(pckStruct &q, uint8 *&frame)
{
    const uint16 len = uint16(q.ParamLen + 7);
    frame = new uint8[len];
    frame[0] = 0x02;
    frame[1] = q.Src;
    frame[2] = q.Dest;
    frame[3] = q.MainCmd;
    frame[4] = q.SubCmd;
    if (q.ParamLen)
        memcpy(frame + 5, q.pParam, q.ParamLen);
    uint8 sum = 0;
    for (uint16 i = 0; i < len - 2; ++i)
        sum = uint8(sum + frame[i]);
    frame[len - 2] = sum;
    frame[len - 1] = 0x03;
    return len;
}

QCMgr elem(uint8 dest, const char *cmd, std::vector<uint8> params = {}, uint8 src = 0x20)
{
    pckStruct q;
    q.Src = src;
    q.Dest = dest;
    q.MainCmd = uint8(cmd[0]);
    q.SubCmd = uint8(cmd[1]);
    q.pParam = params.empty() ? nullptr : params.data();
    q.ParamLen = uint16(params.size());
    return QCMgr(q, testBuild, 10);
}

// "GI@0xEA" style name of an element, for readable expectations.
std::string name(const QCMgr *e)
{
    if (!e)
        return "null";
    char b[32];
    snprintf(b, sizeof b, "%c%c@0x%02X", e->QC.MainCmd, e->QC.SubCmd, e->QC.Dest);
    std::string s = b;
    for (uint16 i = 0; e->QC.pParam && i < e->QC.ParamLen; ++i)
        s += "," + std::to_string(e->QC.pParam[i]);
    return s;
}

// The queue manager with access to what only the bus threads see.
class TestQueues : public QueuesMgr {
public:
    // Takes the fixed query with this key out of the round into the delayed queue.
    void delayFix(uint32 key)
    {
        QMutexLocker lk(&mutexQ);
        auto f = FixQuery.find(key);
        ASSERT_NE(f, FixQuery.end());
        DelayedQC.push_back(QCDelayed_t{f->second, FixQueue, key});
        FixQuery.erase(f);
        CurrFixQC = FixQuery.begin();
    }
    // Moves the oldest command into the delayed queue.
    void delayAsyncHead()
    {
        QMutexLocker lk(&mutexQ);
        ASSERT_FALSE(AsyncQC.empty());
        DelayedQC.push_back(QCDelayed_t{AsyncQC.front(), AsyncQueue, 0});
        AsyncQC.pop_front();
    }
    QTimer *timer() { return tmrRestore; }

    // The round in serving order, one full pass from the first element; the cursor
    // ends back on the first element.
    std::vector<std::string> round()
    {
        std::vector<std::string> out;
        rewindFixQC();
        QCMgr *p = nullptr;
        while (peekFixQC(p)) {
            out.push_back(name(p));
            if (advanceFixQC())
                break;
        }
        restartFixRound();
        return out;
    }
    std::string peekFix()
    {
        QCMgr *p = nullptr;
        peekFixQC(p);
        return name(p);
    }
};

class QueuesMgrTest : public ::testing::Test {
protected:
    TestQueues q;
};

} // namespace

TEST_F(QueuesMgrTest, MetaObjectAndRestoreTimer)
{
    EXPECT_STREQ(q.metaObject()->className(), "QueuesMgr");
    EXPECT_GE(q.metaObject()->indexOfSlot("manageDelayedQC()"), 0);
    ASSERT_NE(q.timer(), nullptr);
    EXPECT_FALSE(q.timer()->isActive());
    EXPECT_EQ(q.timer()->interval(), QCDELAYEDTIMEOUT);
    // The timer's timeout is wired to the restore slot.
    EXPECT_TRUE(QObject::disconnect(q.timer(), SIGNAL(timeout()), &q, SLOT(manageDelayedQC())));
}

TEST_F(QueuesMgrTest, KeyOrdersRound)
{
    EXPECT_EQ(QueuesMgr::keyOf(elem(0xE9, "GN", {1, 2}).QC), 0xE9474E03u);
    EXPECT_EQ(QueuesMgr::keyOf(elem(0xEA, "GI").QC), 0xEA474900u);
    EXPECT_EQ(QueuesMgr::keyOf(elem(0x01, "RX", {200, 100}).QC) & 0xFF, 44u);   // sum modulo 256

    EXPECT_EQ(q.RegisterElem(elem(0xEA, "GI")), 0);
    EXPECT_EQ(q.RegisterElem(elem(0xE9, "GN")), 0);
    EXPECT_EQ(q.RegisterElem(elem(0xEA, "BS")), 0);
    EXPECT_EQ(q.RegisterElem(elem(0xEA, "BS", {1})), 0);
    EXPECT_EQ(q.round(), (std::vector<std::string>{"GN@0xE9", "BS@0xEA", "BS@0xEA,1", "GI@0xEA"}));
    EXPECT_TRUE(q.isKeyPresent(QueuesMgr::keyOf(elem(0xE9, "GN").QC)));
    EXPECT_FALSE(q.isKeyPresent(QueuesMgr::keyOf(elem(0xE9, "GI").QC)));
}

TEST_F(QueuesMgrTest, CursorWalksTheRound)
{
    // An empty round is always at its end.
    EXPECT_TRUE(q.isFixRoundEnd());
    EXPECT_TRUE(q.advanceFixQC());
    QCMgr dummy;
    QCMgr *p = &dummy;
    EXPECT_FALSE(q.peekFixQC(p));
    EXPECT_EQ(p, nullptr);

    q.RegisterElem(elem('1', "GI"));
    q.RegisterElem(elem('1', "GN"));
    EXPECT_FALSE(q.isFixRoundEnd());
    EXPECT_FALSE(q.restartFixRound());   // not at the end: nothing changes
    EXPECT_EQ(q.peekFix(), "GI@0x31");
    EXPECT_FALSE(q.advanceFixQC());
    EXPECT_EQ(q.peekFix(), "GN@0x31");
    EXPECT_TRUE(q.advanceFixQC());       // past the last element: a round is complete
    EXPECT_TRUE(q.isFixRoundEnd());
    EXPECT_EQ(q.peekFix(), "null");      // nothing under the cursor until it is put back
    EXPECT_TRUE(q.restartFixRound());
    EXPECT_EQ(q.peekFix(), "GI@0x31");
}

TEST_F(QueuesMgrTest, ReRegistrationReplaces)
{
    LogCapture cap;
    q.RegisterElem(elem('1', "GI"));
    q.RegisterElem(elem('1', "RS"));
    q.peekFix();
    q.advanceFixQC();
    EXPECT_EQ(q.peekFix(), "RS@0x31");

    // The same query again: one element, the cursor back on the first element.
    q.RegisterElem(elem('1', "RS"));
    EXPECT_EQ(cap.count(" Err (RegisterElem): Elemento gia' presente, lo devo rimuovere!!\n"), 1);
    EXPECT_EQ(q.fixQueueSize(), 2);
    EXPECT_EQ(q.peekFix(), "GI@0x31");
    EXPECT_EQ(q.storedCount(), 2);   // the replaced one went once service moved on

    // Parameters {1,2} and {3,0} give the same key: the later one replaces.
    q.RegisterElem(elem('1', "RX", {1, 2}));
    q.RegisterElem(elem('1', "RX", {3, 0}));
    EXPECT_EQ(cap.count("Elemento gia' presente"), 2);
    EXPECT_EQ(q.round(), (std::vector<std::string>{"GI@0x31", "RS@0x31", "RX@0x31,3,0"}));
    EXPECT_EQ(q.storedCount(), 3);
}

TEST_F(QueuesMgrTest, DeRegistration)
{
    LogCapture cap;
    q.RegisterElem(elem('1', "GI"));
    q.RegisterElem(elem('1', "GN"));
    q.RegisterElem(elem('1', "RS"));

    // The element in service is not destroyed under the bus thread.
    QCMgr *served = nullptr;
    ASSERT_TRUE(q.peekFixQC(served));
    EXPECT_EQ(q.DeRegisterElem(elem('1', "GI")), -1);
    EXPECT_EQ(q.fixQueueSize(), 3);
    EXPECT_EQ(name(served), "GI@0x31");
    q.advanceFixQC();
    EXPECT_EQ(q.peekFix(), "GN@0x31");
    // Once the bus thread has moved on it can go; the round restarts from the first.
    EXPECT_EQ(q.DeRegisterElem(elem('1', "GI")), 0);
    EXPECT_EQ(q.peekFix(), "GN@0x31");
    EXPECT_EQ(q.fixQueueSize(), 2);
    EXPECT_EQ(q.storedCount(), 2);

    // Never registered (different parameters mean a different key).
    EXPECT_EQ(q.DeRegisterElem(elem('1', "RX", {'0'})), -1);
    EXPECT_EQ(cap.count(" Err (DeRegisterElem): L'elemento NON e'mai stato registrato\n"), 1);
    EXPECT_EQ(q.fixQueueSize(), 2);
}

// A registration change while an element is served restarts the round from the
// first element instead of skipping it.
TEST_F(QueuesMgrTest, RoundRestartsAfterChangeDuringService)
{
    q.RegisterElem(elem('1', "GI"));
    q.RegisterElem(elem('1', "GN"));
    q.RegisterElem(elem('1', "RS"));
    q.peekFix();
    q.advanceFixQC();
    EXPECT_EQ(q.peekFix(), "GN@0x31");
    q.RegisterElem(elem('1', "RE"));   // from another thread, while GN is served
    EXPECT_FALSE(q.advanceFixQC());
    EXPECT_EQ(q.peekFix(), "GI@0x31");
    q.advanceFixQC();
    EXPECT_EQ(q.peekFix(), "GN@0x31");
}

// A registration that replaces the element in service keeps it alive until the bus
// thread has moved on (the address sanitizer build checks the accesses).
TEST_F(QueuesMgrTest, ReplacingElementInService)
{
    q.RegisterElem(elem('1', "RX", {1, 2}));
    QCMgr *served = nullptr;
    ASSERT_TRUE(q.peekFixQC(served));
    q.RegisterElem(elem('1', "RX", {3, 0}));
    EXPECT_EQ(q.fixQueueSize(), 1);
    // Still intact while being sent.
    EXPECT_EQ(name(served), "RX@0x31,1,2");
    EXPECT_EQ(served->pckQuery[5], 1);
    served->pckReply[0] = 0x55;
    EXPECT_EQ(q.storedCount(), 2);
    q.advanceFixQC();
    EXPECT_EQ(q.peekFix(), "RX@0x31,3,0");
    EXPECT_EQ(q.storedCount(), 1);
}

TEST_F(QueuesMgrTest, CommandQueueFifo)
{
    LogCapture cap;
    QCMgr dummy;
    QCMgr *p = &dummy;
    EXPECT_FALSE(q.peekAsyncQC(p));
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(q.headAsyncQC(), -1);
    EXPECT_EQ(cap.count(" Err (headAsyncQC): coda vuota!!\n"), 1);

    q.AddAsyncQC(elem('1', "CA"));
    q.AddAsyncQC(elem('1', "CB"));
    q.AddAsyncQC(elem('1', "CA"));   // duplicates are the wrappers' business
    q.AddAsyncQC(elem('1', "CC"));
    std::vector<std::string> served;
    while (q.peekAsyncQC(p)) {
        served.push_back(name(p));
        EXPECT_EQ(q.headAsyncQC(), 0);
    }
    EXPECT_EQ(served, (std::vector<std::string>{"CA@0x31", "CB@0x31", "CA@0x31", "CC@0x31"}));
    EXPECT_EQ(q.storedCount(), 0);
    EXPECT_EQ(cap.count("coda vuota"), 1);
}

TEST_F(QueuesMgrTest, PresenceAndWithdrawal)
{
    q.AddAsyncQC(elem('1', "DC", {'1', '2'}));
    q.AddAsyncQC(elem('1', "DC", {'9'}));
    q.AddAsyncQC(elem('2', "DC", {'1', '2'}));

    struct Case {
        uint8 dest;
        const char *cmd;
        std::vector<uint8> params;
        uint8 src;
        bool present;
    } cases[] = {
        {'1', "DC", {'1', '2'}, 0x20, true},
        {'1', "DC", {'1', '2'}, 'B', true},          // the source is not compared
        {'1', "DC", {'1'}, 0x20, true},              // the query's bytes begin the stored ones
        {'1', "DC", {}, 0x20, true},
        {'1', "DC", {'1', '3'}, 0x20, false},
        {'1', "DC", {'9', '0', '0', '0'}, 0x20, false},   // more bytes than stored: not equal
        {'1', "DS", {'1', '2'}, 0x20, false},
        {'3', "DC", {'1', '2'}, 0x20, false},
    };
    for (auto &c : cases) {
        QCMgr e = elem(c.dest, c.cmd, c.params, c.src);
        EXPECT_EQ(q.isPresentInAsyncQC(e.QC), c.present) << name(&e);
    }

    // Withdrawal takes the equal commands and keeps the order of the others.
    EXPECT_EQ(q.RemoveAsyncQC(elem('1', "DC", {'9'})), 0);
    EXPECT_EQ(q.RemoveAsyncQC(elem('1', "DC", {'9'})), -1);
    EXPECT_EQ(q.RemoveAsyncQC(elem('1', "DS")), -1);
    EXPECT_EQ(q.asyncQueueSize(), 2);
    EXPECT_EQ(q.storedCount(), 2);

    // The command in service stays until the bus thread has served it.
    QCMgr *head = nullptr;
    ASSERT_TRUE(q.peekAsyncQC(head));
    EXPECT_EQ(q.RemoveAsyncQC(elem('1', "DC", {'1', '2'})), -1);
    EXPECT_EQ(name(head), "DC@0x31,49,50");
    EXPECT_EQ(q.headAsyncQC(), 0);
    ASSERT_TRUE(q.peekAsyncQC(head));
    EXPECT_EQ(name(head), "DC@0x32,49,50");
}

TEST_F(QueuesMgrTest, DelayedQueueRestores)
{
    LogCapture cap;
    // Empty: nothing to restore, and the timer is stopped.
    q.timer()->start();
    q.manageDelayedQC();
    EXPECT_EQ(cap.count(" Err (manageDelayedQC): GRAVE ERRORE, deve esserci un elemento!!\n"), 1);
    EXPECT_FALSE(q.timer()->isActive());
    QCDelayed_t d{};
    EXPECT_FALSE(q.peekDelayedQC(d));

    q.RegisterElem(elem('1', "GI"));
    q.RegisterElem(elem('1', "RS"));
    q.AddAsyncQC(elem('1', "CB"));
    q.AddAsyncQC(elem('1', "CD"));
    const uint32 rsKey = QueuesMgr::keyOf(elem('1', "RS").QC);
    q.delayFix(rsKey);
    q.delayAsyncHead();
    EXPECT_EQ(q.delayedQueueSize(), 2);
    EXPECT_EQ(q.round(), (std::vector<std::string>{"GI@0x31"}));

    // A delayed command still counts as queued; a delayed fixed query does not.
    EXPECT_TRUE(q.isPresentInAsyncQC(elem('1', "CB").QC));
    EXPECT_FALSE(q.isPresentInAsyncQC(elem('1', "RS").QC));
    EXPECT_TRUE(q.isPresentInDelayedQC(elem('1', "RS").QC, FixQueue));
    EXPECT_FALSE(q.isPresentInDelayedQC(elem('1', "RS").QC, AsyncQueue));
    ASSERT_TRUE(q.peekDelayedQC(d));
    EXPECT_EQ(d.qType, FixQueue);
    EXPECT_EQ(d.key, rsKey);
    EXPECT_EQ(name(d.QCwrong), "RS@0x31");

    // Restored one per call, in order, each to its own queue.
    q.timer()->start();
    q.manageDelayedQC();
    EXPECT_EQ(cap.count(" War (manageDelayedQC): Ripristinato query RS su Add:49 tipo:FIXED rimangono 1 elem\n"),
              1);
    EXPECT_TRUE(q.timer()->isActive());
    EXPECT_EQ(q.round(), (std::vector<std::string>{"GI@0x31", "RS@0x31"}));
    q.manageDelayedQC();
    EXPECT_EQ(cap.count(" War (manageDelayedQC): Ripristinato query CB su Add:49 tipo:ASYNC rimangono 0 elem\n"),
              1);
    EXPECT_EQ(cap.count(" War (manageDelayedQC): >>>>>>>>>>>>>>>>>>>FINE RIPRISTINO<<<<<<<<<<<<<<<<<<<<<<\n"), 1);
    EXPECT_FALSE(q.timer()->isActive());
    // The restored command goes to the tail.
    std::vector<std::string> served;
    QCMgr *p = nullptr;
    while (q.peekAsyncQC(p)) {
        served.push_back(name(p));
        q.headAsyncQC();
    }
    EXPECT_EQ(served, (std::vector<std::string>{"CD@0x31", "CB@0x31"}));
    EXPECT_EQ(q.storedCount(), 2);
}

TEST_F(QueuesMgrTest, DelayedQueueRemoval)
{
    q.RegisterElem(elem('1', "GI"));
    q.RegisterElem(elem('1', "RS"));
    q.RegisterElem(elem('2', "RS"));
    q.RegisterElem(elem('1', "TS"));
    for (const char *c : {"GI", "RS", "TS"})
        q.delayFix(QueuesMgr::keyOf(elem('1', c).QC));
    q.delayFix(QueuesMgr::keyOf(elem('2', "RS").QC));
    q.AddAsyncQC(elem('1', "CS"));
    q.delayAsyncHead();
    // Delayed: GI@1 RS@1 TS@1 RS@2 (fixed), CS@1 (command).

    // Only Dest, SubCmd and the queue type count: "XS" to '1' drops RS@1 and TS@1.
    EXPECT_EQ(q.RemoveDelayedQC(elem('1', "XS").QC, FixQueue), 0);
    EXPECT_EQ(q.RemoveDelayedQC(elem('1', "XS").QC, FixQueue), -1);
    std::vector<std::string> left;
    QCDelayed_t d{};
    while (q.peekDelayedQC(d)) {
        left.push_back(name(d.QCwrong) + (d.qType == FixQueue ? "/F" : "/A"));
        q.manageDelayedQC();
    }
    EXPECT_EQ(left, (std::vector<std::string>{"GI@0x31/F", "RS@0x32/F", "CS@0x31/A"}));
    EXPECT_EQ(q.storedCount(), 3);
    EXPECT_EQ(q.RemoveDelayedQC(elem('1', "GI").QC, FixQueue), -1);   // empty

    // De-registering a fixed query that waits in the delayed queue drops it there.
    q.delayFix(QueuesMgr::keyOf(elem('1', "GI").QC));
    EXPECT_EQ(q.DeRegisterElem(elem('1', "GI")), 0);
    EXPECT_EQ(q.delayedQueueSize(), 0);
    EXPECT_EQ(q.storedCount(), 2);
    // Withdrawing a command also drops its delayed entries.
    QCMgr *p = nullptr;
    while (q.peekAsyncQC(p))
        q.headAsyncQC();
    q.AddAsyncQC(elem('1', "CS"));
    q.delayAsyncHead();
    EXPECT_EQ(q.RemoveAsyncQC(elem('1', "CS")), -1);   // none was queued...
    EXPECT_EQ(q.delayedQueueSize(), 0);                // ...but the delayed one is gone
}

TEST_F(QueuesMgrTest, WipeForgetsEverything)
{
    q.RegisterElem(elem('1', "GI"));
    q.RegisterElem(elem('1', "GN"));
    q.AddAsyncQC(elem('1', "CB"));
    q.AddAsyncQC(elem('1', "CD"));
    q.delayAsyncHead();
    q.timer()->start();
    QCMgr *p = nullptr;
    q.peekFixQC(p);

    q.wipeQueues();
    EXPECT_EQ(q.fixQueueSize(), 0);
    EXPECT_EQ(q.asyncQueueSize(), 0);
    EXPECT_EQ(q.delayedQueueSize(), 0);
    EXPECT_FALSE(q.timer()->isActive());
    EXPECT_TRUE(q.isFixRoundEnd());
    EXPECT_FALSE(q.peekFixQC(p));
    EXPECT_FALSE(q.peekAsyncQC(p));
    // Forgotten, not destroyed: the elements go with the queue manager.
    EXPECT_EQ(q.storedCount(), 4);
    // Still usable afterwards.
    q.RegisterElem(elem('1', "GI"));
    EXPECT_EQ(q.round(), (std::vector<std::string>{"GI@0x31"}));
}

// A bus thread polls (round and commands) while another thread registers,
// de-registers, re-registers and queues commands. Every element the bus thread
// holds must stay intact while it uses it. Run under the thread and address
// sanitizer builds.
TEST_F(QueuesMgrTest, PollingWhileRegistering)
{
    const uint8 dests[] = {'1', '2', '3'};
    const char *cmds[] = {"GI", "GN", "RS", "RE"};
    for (uint8 d : dests)
        q.RegisterElem(elem(d, "RA"));

    std::atomic<bool> stop{false};
    std::atomic<long> served{0}, rounds{0}, commands{0}, refused{0};
    std::atomic<int> broken{0};
    LogCapture cap;   // de-registrations of absent queries are expected here

    // The element must match its own frame.
    auto check = [&](QCMgr *e) {
        if (!e->hasQuery() || e->pckQuery[2] != e->QC.Dest || e->pckQuery[3] != e->QC.MainCmd
            || e->pckQuery[4] != e->QC.SubCmd || e->buildQueryLen != e->QC.ParamLen + 7)
            ++broken;
        for (uint16 i = 0; i < e->expectedReplyLen; ++i)
            e->pckReply[i] = uint8(i);   // "receive" the reply
    };

    std::thread bus([&] {
        while (!stop.load()) {
            QCMgr *c = nullptr;
            while (q.peekAsyncQC(c)) {
                check(c);
                q.headAsyncQC();
                ++commands;
            }
            if (q.restartFixRound())
                ++rounds;
            QCMgr *e = nullptr;
            if (q.peekFixQC(e)) {
                check(e);
                ++served;
            }
            q.advanceFixQC();
        }
    });

    std::thread registrar([&] {
        unsigned seed = 7;
        for (int i = 0; i < 4000; ++i) {
            const uint8 d = dests[rand_r(&seed) % 3];
            const char *c = cmds[rand_r(&seed) % 4];
            std::vector<uint8> par(rand_r(&seed) % 3, uint8('0' + rand_r(&seed) % 2));
            switch (rand_r(&seed) % 4) {
            case 0:
            case 1:
                q.RegisterElem(elem(d, c, par));   // may replace the element in service
                break;
            case 2:
                if (q.DeRegisterElem(elem(d, c, par)) != 0)
                    ++refused;
                break;
            default:
                if (!q.isPresentInAsyncQC(elem(d, "CB").QC))
                    q.AddAsyncQC(elem(d, "CB"));
                break;
            }
        }
        // On a loaded machine the bus thread may hardly have run yet: let it serve what
        // is queued (bounded) before it is stopped.
        for (int i = 0; i < 5000 && (commands.load() == 0 || served.load() == 0); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        stop = true;
    });

    registrar.join();
    bus.join();
    EXPECT_EQ(broken.load(), 0);
    EXPECT_GT(served.load(), 0);
    EXPECT_GT(commands.load(), 0);

    // Nothing is lost or left over: once service has moved off the round, Queries
    // holds exactly what the queues refer to.
    QCMgr *p = nullptr;
    while (q.peekAsyncQC(p))
        q.headAsyncQC();
    EXPECT_EQ(q.storedCount(), q.fixQueueSize());
    std::vector<std::string> r = q.round();
    EXPECT_EQ(int(r.size()), q.fixQueueSize());
    RecordProperty("served", int(served.load()));
    RecordProperty("rounds", int(rounds.load()));
}

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
// Counts allocations of the calling thread while enabled (the sanitizer builds
// bring their own allocator and skip this check).
namespace {
thread_local bool t_countAlloc = false;
thread_local long t_allocs = 0;
} // namespace

void *operator new(size_t n)
{
    if (t_countAlloc)
        ++t_allocs;
    if (void *p = std::malloc(n ? n : 1))
        return p;
    throw std::bad_alloc();
}
void operator delete(void *p) noexcept { std::free(p); }
void operator delete(void *p, size_t) noexcept { std::free(p); }

TEST_F(QueuesMgrTest, PollingPathDoesNotAllocate)
{
    for (int d = 0; d < 64; ++d)
        q.RegisterElem(elem(uint8(d), "RS", {uint8(d)}));
    for (int i = 0; i < 16; ++i)
        q.AddAsyncQC(elem('1', "CB", {uint8(i)}));

    t_allocs = 0;
    t_countAlloc = true;
    long served = 0;
    for (int pass = 0; pass < 1000; ++pass) {
        QCMgr *c = nullptr;
        if (q.peekAsyncQC(c))
            q.headAsyncQC();
        q.restartFixRound();
        QCMgr *e = nullptr;
        if (q.peekFixQC(e))
            ++served;
        q.advanceFixQC();
    }
    t_countAlloc = false;
    EXPECT_EQ(t_allocs, 0);
    EXPECT_EQ(served, 1000);   // the round restarts in the pass that finds its end
    EXPECT_EQ(q.asyncQueueSize(), 0);
}
#endif
