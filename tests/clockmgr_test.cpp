// Clock synchronisation: the CN clock data, the slewing through the machine-action
// seam, the priority of a clock set by hand, and the manual-setting request channel
// (with the real tool against a card-side poll in this process).
#include "CardFixture.h"
#include "ClockMgr.h"
#include "Globals.h"
#include "KespWire.h"
#include "Plant.h"
#include "Platform.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

using tvktest::FakeClock;
using tvktest::LogCapture;
using tvktest::ScopedWorkDir;
using clkStruct = ClockMgr::clkStruct;

namespace {

constexpr time_t T0 = 1700000000;
constexpr int OWN = 1;      // this card is cabinet B
constexpr int SENDER = 0;   // CN frames come from cabinet A unless said otherwise

int64 tvUs(const struct timeval &tv) { return int64(tv.tv_sec) * 1000000 + tv.tv_usec; }

// Machine actions of one test: adjtime and settimeofday recorded, never carried out.
struct Recorder {
    std::vector<struct timeval> adj;
    std::vector<struct timeval> set;
    int adjErrno = 0;   // non-zero: adjtime fails with this errno
    int setErrno = 0;
    FakeClock *clock = nullptr;   // settimeofday moves this clock forward
};

void installHarmlessHooks()
{
    platform::setAdjTimeHook([](const struct timeval *, struct timeval *old) {
        if (old)
            *old = timeval{0, 0};
        return 0;
    });
    platform::setSetTimeHook([](const struct timeval *) { return 0; });
}

class ClockTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        savedAddr_ = KESPAddr;
        KESPAddr = uint8(0xEA + OWN);
        rec_.clock = &clock_;
        Recorder *r = &rec_;
        platform::setAdjTimeHook([r](const struct timeval *d, struct timeval *old) {
            if (r->adjErrno) {
                errno = r->adjErrno;
                return -1;
            }
            r->adj.push_back(*d);
            if (old)
                *old = timeval{0, 0};
            return 0;
        });
        platform::setSetTimeHook([r](const struct timeval *tv) {
            if (r->setErrno) {
                errno = r->setErrno;
                return -1;
            }
            r->set.push_back(*tv);
            int64 diffUs = tvUs(*tv) - tvUs(r->clock->timeOfDay());
            if (diffUs > 0)
                r->clock->advanceMs(diffUs / 1000);
            return 0;
        });
    }
    void TearDown() override
    {
        installHarmlessHooks();
        KESPAddr = savedAddr_;
    }

    // Four valid entries without a manual setting, filled 10 s ago (as they come
    // from the cards' last CN frames).
    clkStruct fresh()
    {
        clkStruct c;
        memset(&c, 0, sizeof c);
        struct timeval tv = clock_.timeOfDay();
        tv.tv_sec -= 10;
        for (auto &e : c.clkValue) {
            e.T.tv_sec = int32(tv.tv_sec);
            e.T.tv_usec = int32(tv.tv_usec);
            e.epochT = 1;
            e.delta = 0;
        }
        return c;
    }
    // The sender's time stamp such that the own clock is `ms` ahead of it.
    void ownAheadBy(clkStruct &c, int64 ms, int sender = SENDER)
    {
        int64 us = tvUs(clock_.timeOfDay()) - ms * 1000;
        c.clkValue[sender].T.tv_sec = int32(us / 1000000);
        c.clkValue[sender].T.tv_usec = int32(us % 1000000);
    }

    FakeClock clock_{T0};
    Recorder rec_;
    ClockMgr clk_;
    uint8 savedAddr_ = 0;
};

bool sameExceptOwnT(const clkStruct &a, const clkStruct &b)
{
    clkStruct x = a, y = b;
    x.clkValue[OWN].T = ClockMgr::clkTime_t{0, 0};
    y.clkValue[OWN].T = ClockMgr::clkTime_t{0, 0};
    return memcmp(&x, &y, sizeof x) == 0;
}

} // namespace

TEST_F(ClockTest, PrepareFillsOnlyTheOwnEntry)
{
    struct Row {
        int32 epochIn;
        time_t manual;
        int32 epochOut;
    } rows[] = {
        {0, 0, 1},
        {1, 0, 1},
        {1600000000, 0, 1600000000},
        {0, T0 - 10, int32(T0 - 10)},
        {1, T0 - 10, int32(T0 - 10)},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(testing::Message() << "epochIn " << r.epochIn << " manual " << r.manual);
        clk_.epochWhenClockChanged = r.manual;
        clock_.advanceMs(1234);
        clkStruct c;
        memset(&c, 0x5A, sizeof c);
        c.clkValue[OWN].epochT = r.epochIn;
        clkStruct before = c;
        clk_.prepareClkData(c);
        struct timeval now = clock_.timeOfDay();
        EXPECT_EQ(c.clkValue[OWN].T.tv_sec, int32(now.tv_sec));
        EXPECT_EQ(c.clkValue[OWN].T.tv_usec, int32(now.tv_usec));
        EXPECT_EQ(c.clkValue[OWN].epochT, r.epochOut);
        before.clkValue[OWN].T = c.clkValue[OWN].T;
        before.clkValue[OWN].epochT = c.clkValue[OWN].epochT;
        EXPECT_EQ(memcmp(&before, &c, sizeof c), 0) << "only T and epochT of the own entry change";
    }
}

TEST_F(ClockTest, SenderOlderThanAnotherEntryChangesOnlyTheOwnT)
{
    clkStruct c = fresh();
    c.clkValue[2].epochT = 1600000000;   // cabinet C was set by hand; A (the sender) was not
    c.clkValue[OWN].delta = 7;
    c.TftTime = 3000;
    ownAheadBy(c, 200);
    clk_.prevdelta = 32 * 50;
    clock_.advanceSec(120);
    ownAheadBy(c, 200);
    LogCapture log;
    clkStruct before = c;
    clk_.elaborateClkData(SENDER, c);
    EXPECT_TRUE(sameExceptOwnT(before, c));
    EXPECT_EQ(c.clkValue[OWN].T.tv_sec, int32(clock_.now()));
    EXPECT_EQ(clk_.prevdelta, 32 * 50);
    EXPECT_TRUE(rec_.adj.empty());
    EXPECT_TRUE(log.lines().empty());
}

// Offsets of 1500 ms or more, in either direction, restart the average and are never slewed.
TEST_F(ClockTest, LargeOffsetsRestartTheAverageWhicheverClockIsAhead)
{
    struct Row {
        const char *name;
        int64 ownAheadMs;
        bool recentAdj;      // adjtime succeeded 30 s ago
        bool otherLater;     // cabinet D's entry is a second newer than the sender's
        bool restart;        // "Sincronizzo gli orologi", prevdelta and own delta 0
        bool averaged;
    } rows[] = {
        {"ahead 1500", 1500, false, false, true, false},
        {"behind 1500", -1500, false, false, true, false},
        {"ahead 5 s", 5000, false, false, true, false},
        {"behind 5 s", -5000, false, false, true, false},
        {"ahead 1499", 1499, false, false, false, true},
        {"behind 1499", -1499, false, false, false, true},
        {"1500, slewed 30 s ago", 1500, true, false, false, false},
        {"1500, another entry newer", 1500, false, true, false, false},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        ClockMgr clk;
        clock_.advanceSec(100);
        clk.lastAdj = r.recentAdj ? clock_.now() - 30 : 1;
        clk.prevdelta = 320;   // 10 ms
        clkStruct c = fresh();
        c.clkValue[OWN].delta = 7;
        ownAheadBy(c, r.ownAheadMs);
        if (r.otherLater)
            c.clkValue[3].T.tv_sec = c.clkValue[SENDER].T.tv_sec + 1;
        LogCapture log;
        clk.elaborateClkData(SENDER, c);
        EXPECT_EQ(log.count("Sincronizzo gli orologi"), r.restart ? 1 : 0);
        if (r.restart) {
            char want[96];
            snprintf(want, sizeof want, " my_tv_sec:%ld  rem_tv_sec:%ld\n", long(c.clkValue[OWN].T.tv_sec),
                     long(c.clkValue[SENDER].T.tv_sec));
            EXPECT_TRUE(log.contains(want));
            EXPECT_EQ(clk.prevdelta, 0);
            EXPECT_EQ(c.clkValue[OWN].delta, 0);
        } else if (r.averaged) {
            EXPECT_EQ(c.clkValue[OWN].delta, clk.prevdelta >> 5);
            EXPECT_EQ(clk.prevdelta > 320, r.ownAheadMs > 0) << "moves towards the offset's sign";
            EXPECT_NE(clk.prevdelta, 320);
        } else {
            EXPECT_EQ(clk.prevdelta, 320);
            EXPECT_EQ(c.clkValue[OWN].delta, 7);
        }
        EXPECT_TRUE(rec_.adj.empty());
    }
}

// prevdelta preset to the steady state of the offset, so that the weighted delta equals it.
TEST_F(ClockTest, WeightedOffsetDecidesBetweenNothingLoggingAndSlewing)
{
    struct Row {
        int64 ownAheadMs;
        bool logged;
        int64 weighted;   // D - TftTime/1000
        bool slewed;
    } rows[] = {
        {25, false, 25, false}, {26, true, 26, false},      {75, true, 75, false},       {-75, true, -75, false},
        {76, true, 76, true},   {-76, true, -76, true},     {200, true, 199, true},      {-200, true, -201, true},
        {1499, true, 1488, true},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(testing::Message() << "own clock ahead by " << r.ownAheadMs << " ms");
        rec_.adj.clear();
        ClockMgr clk;
        clock_.advanceSec(100);
        clk.prevdelta = int32(32 * r.ownAheadMs);
        clkStruct c = fresh();
        ownAheadBy(c, r.ownAheadMs);
        LogCapture log;
        clk.elaborateClkData(SENDER, c);
        EXPECT_EQ(c.clkValue[OWN].delta, int32(r.ownAheadMs));
        char want[48];
        snprintf(want, sizeof want, "delta pesato:%ld\n", long(r.weighted));
        EXPECT_EQ(log.count(want), r.logged ? 1 : 0);
        EXPECT_EQ(log.count("accT:"), r.logged ? 1 : 0);
        EXPECT_EQ(log.count("TftTime:"), r.logged ? 1 : 0);
        EXPECT_EQ(log.count(" T:"), r.logged ? 4 : 0);
        ASSERT_EQ(rec_.adj.size(), r.slewed ? 1u : 0u);
        EXPECT_EQ(log.count("): delta:"), r.slewed ? 1 : 0);
        EXPECT_EQ(log.count("oldDelta:"), r.slewed ? 1 : 0);
        if (r.slewed) {
            // A clock that is ahead is slowed down: the adjustment has the opposite sign.
            EXPECT_EQ(tvUs(rec_.adj[0]), -r.weighted * 1000);
            EXPECT_EQ(rec_.adj[0].tv_sec, time_t(r.weighted / -1000));
            EXPECT_EQ(clk.lastAdj, clock_.now());
        } else {
            EXPECT_EQ(clk.lastAdj, 1);
        }
    }
}

TEST_F(ClockTest, SlewsAtMostOnceAMinuteAndRetriesAfterAFailure)
{
    clk_.prevdelta = 32 * 200;
    auto cn = [&] {
        clkStruct c = fresh();
        ownAheadBy(c, 200);
        clk_.elaborateClkData(SENDER, c);
    };
    clock_.advanceSec(100);
    cn();
    EXPECT_EQ(rec_.adj.size(), 1u);
    time_t first = clock_.now();
    for (int s : {5, 30, 59}) {
        clock_.advanceSec(first + s - clock_.now());
        cn();
    }
    EXPECT_EQ(rec_.adj.size(), 1u) << "not again within the minute";
    clock_.advanceSec(first + 60 - clock_.now());
    cn();
    EXPECT_EQ(rec_.adj.size(), 2u);

    // A failure is logged with errno and leaves lastAdj, so the next CN tries again.
    clock_.advanceSec(61);
    rec_.adjErrno = EPERM;
    time_t last = clk_.lastAdj;
    LogCapture log;
    cn();
    EXPECT_TRUE(log.contains("Err (elaborateClkData): adjtime() failed, errno = 1\n"));
    EXPECT_EQ(clk_.lastAdj, last);
    rec_.adjErrno = 0;
    clock_.advanceSec(5);
    cn();
    EXPECT_EQ(rec_.adj.size(), 3u);
    EXPECT_EQ(clk_.lastAdj, clock_.now());
}

// Whatever a CN carries, the arithmetic stays in range (the sanitizer builds check the
// overflow) and TftTime stays capped.
TEST_F(ClockTest, HostileValuesKeepTftTimeCappedAndTheOffsetBounded)
{
    struct Row {
        const char *name;
        void (*fill)(clkStruct &, int sender);
    } rows[] = {
        {"huge TftTime, deltas and epochs",
         [](clkStruct &c, int) {
             c.TftTime = 0xFFFFFFFFu;
             for (int j = 0; j < 4; ++j) {
                 if (j != OWN)
                     c.clkValue[j].delta = INT32_MAX;
                 c.clkValue[j].epochT = INT32_MAX;
             }
         }},
        {"most negative deltas and epochs",
         [](clkStruct &c, int) {
             c.TftTime = 0x80000000u;
             for (auto &e : c.clkValue) {
                 e.delta = INT32_MIN;
                 e.epochT = INT32_MIN;
             }
         }},
        {"no entries at all (TftTime not averaged)",
         [](clkStruct &c, int) {
             c.TftTime = 0xFFFFFFFFu;
             for (auto &e : c.clkValue)
                 e.epochT = 0;
         }},
        {"sender time stamps at the extremes",
         [](clkStruct &c, int s) {
             c.TftTime = 0xFFFFFFFFu;
             c.clkValue[s].T.tv_sec = INT32_MIN;
             c.clkValue[s].T.tv_usec = INT32_MIN;
         }},
        {"sender microseconds out of range",
         [](clkStruct &c, int s) {
             c.clkValue[s].T.tv_usec = INT32_MAX;
             c.TftTime = 100001;
         }},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        ClockMgr clk;
        for (int frame = 0; frame < 40; ++frame) {
            clock_.advanceSec(70);
            clkStruct c = fresh();
            ownAheadBy(c, 30);
            r.fill(c, SENDER);
            clk.elaborateClkData(SENDER, c);
            EXPECT_LE(c.TftTime, 100000u);
            EXPECT_LE(std::abs(int64(clk.prevdelta)), 32 * 1500);
        }
    }
    // The reference clock reports TftTime / 1000 as its delta, from a capped TftTime.
    clk_.epochWhenClockChanged = clock_.now();
    clkStruct c = fresh();
    c.TftTime = 0xFFFFFFFFu;
    clk_.elaborateClkData(SENDER, c);
    EXPECT_EQ(c.TftTime, 100000u);
    EXPECT_EQ(c.clkValue[OWN].delta, 100);
}

TEST_F(ClockTest, ManualSettingKeepsPriorityFor300sOrUntilANewerEpochIsHeard)
{
    struct Row {
        const char *name;
        int64 ageS;            // time since the manual setting when the CN arrives
        int64 otherEpochRel;   // epochT of cabinet C relative to the manual epoch (INT64_MIN: 1)
        const char *logged;    // nullptr: priority kept
    } rows[] = {
        {"just set", 0, INT64_MIN, nullptr},
        {"299 s later", 299, INT64_MIN, nullptr},
        {"older manual setting elsewhere", 10, -50, nullptr},
        {"300 s later", 300, INT64_MIN, "Fine priorita' di questo orologio\n"},
        {"newer manual setting elsewhere", 10, +5, "Altro display guadagna priorita'\n"},
        {"same epoch elsewhere", 10, 0, "Altro display guadagna priorita'\n"},
        {"clock put back 300 s since", -300, INT64_MIN, "Fine priorita' di questo orologio\n"},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        ClockMgr clk;
        clock_.advanceSec(1000);
        const time_t epoch = clock_.now() - r.ageS;
        clk.epochWhenClockChanged = epoch;
        clkStruct c = fresh();
        c.TftTime = 4000;
        if (r.otherEpochRel != INT64_MIN)
            c.clkValue[2].epochT = int32(epoch + r.otherEpochRel);
        ownAheadBy(c, 200);
        LogCapture log;
        clk.elaborateClkData(SENDER, c);
        if (!r.logged) {
            EXPECT_EQ(clk.epochWhenClockChanged, epoch);
            EXPECT_EQ(c.clkValue[OWN].epochT, int32(epoch));
            for (int j : {0, 2, 3})
                EXPECT_EQ(c.clkValue[j].epochT, 1) << "entry " << j;
            EXPECT_EQ(c.clkValue[OWN].delta, 4) << "the reference reports TftTime / 1000";
            EXPECT_TRUE(log.lines().empty());
        } else {
            EXPECT_EQ(log.count(r.logged), 1);
            EXPECT_EQ(clk.epochWhenClockChanged, 0);
            EXPECT_EQ(c.clkValue[OWN].epochT, 1);
        }
        EXPECT_TRUE(rec_.adj.empty());
    }
}

TEST_F(ClockTest, InvalidSenderOrOwnCabinetNeverIndexesTheTable)
{
    for (uint8 sender : {uint8(4), uint8(0xF6), uint8(0xFF)}) {
        SCOPED_TRACE(int(sender));
        ClockMgr clk;
        clock_.advanceSec(100);
        clkStruct c = fresh();
        ownAheadBy(c, 200);
        clkStruct before = c;
        LogCapture log;
        clk.elaborateClkData(sender, c);
        clk.elaborateClkData(sender, c);
        EXPECT_EQ(memcmp(&before, &c, sizeof c), 0);
        EXPECT_EQ(log.count("fuori dai limiti"), 1) << "said once, not at every frame";
    }
    KESPAddr = 0xE0;   // a card started with an invalid cabinet number
    clkStruct c = fresh();
    clkStruct before = c;
    LogCapture log;
    clk_.prepareClkData(c);
    clk_.elaborateClkData(SENDER, c);
    EXPECT_EQ(memcmp(&before, &c, sizeof c), 0);
    EXPECT_EQ(log.count("Numero di armadio non valido (0xE0)"), 1);
}

TEST_F(ClockTest, SetClockManuallyGoesThroughTheSeamAndTakesThePriority)
{
    clk_.prevdelta = 999;
    clk_.lastAdj = T0 + 5000;
    struct timeval target = {T0 + 3600, 250000};
    LogCapture log;
    ASSERT_EQ(clk_.setClockManually(target), 0);
    ASSERT_EQ(rec_.set.size(), 1u);
    EXPECT_EQ(tvUs(rec_.set[0]), tvUs(target));
    ASSERT_EQ(rec_.adj.size(), 1u) << "a pending slew is cancelled";
    EXPECT_EQ(tvUs(rec_.adj[0]), 0);
    EXPECT_EQ(clk_.epochWhenClockChanged, T0 + 3600);
    EXPECT_EQ(clk_.prevdelta, 0);
    EXPECT_EQ(clk_.lastAdj, 1);
    EXPECT_TRUE(log.contains("Orologio impostato manualmente"));
    clkStruct c = fresh();
    clk_.prepareClkData(c);
    EXPECT_EQ(c.clkValue[OWN].epochT, int32(T0 + 3600));

    // Refused by the machine, or out of range: nothing changes.
    ClockMgr other;
    rec_.setErrno = EPERM;
    EXPECT_EQ(other.setClockManually(timeval{T0 + 7200, 0}), -1);
    EXPECT_TRUE(log.contains("settimeofday() failed, errno = 1\n"));
    rec_.setErrno = 0;
    EXPECT_EQ(other.setClockManually(timeval{100, 0}), -1);
    EXPECT_EQ(other.setClockManually(timeval{T0, 1000000}), -1);
    EXPECT_EQ(other.epochWhenClockChanged, 0);
    EXPECT_EQ(rec_.set.size(), 1u);
}

TEST(ClockSeam, SettingTheClockIsDisarmedInTestProcesses)
{
    // No hook: the seam falls back to the machine, which TARVIK_NO_MACHINE_ACTIONS disarms.
    const char *v = getenv("TARVIK_NO_MACHINE_ACTIONS");
    ASSERT_TRUE(v && strcmp(v, "1") == 0);
    platform::setSetTimeHook(platform::SetTimeHook());
    struct timeval now;
    gettimeofday(&now, nullptr);   // even if it went through, it would not move the clock
    LogCapture log;
    EXPECT_EQ(platform::setTime(&now), 0);
    EXPECT_TRUE(log.contains("orologio non impostato a"));
    installHarmlessHooks();
}

TEST(ClockRequestFormat, LinesAreParsedStrictly)
{
    clkreq::Request r;
    r.sec = 1800000000;
    r.usec = 5;
    r.monoUs = 123456789;
    r.token = "42-abc";
    std::string line = clkreq::formatRequest(r);
    EXPECT_EQ(line, "1800000000 5 123456789 42-abc\n");
    clkreq::Request p;
    ASSERT_TRUE(clkreq::parseRequest(line.data(), line.size(), p));
    EXPECT_EQ(p.sec, r.sec);
    EXPECT_EQ(p.usec, 5);
    EXPECT_EQ(p.monoUs, r.monoUs);
    EXPECT_EQ(p.token, r.token);

    struct Bad {
        const char *text;
        bool tokenKept;
    } bad[] = {
        {"", false},
        {"\n", false},
        {"1800000000 5 123\n", false},
        {"1800000000 5 123 tok extra\n", false},
        {"1800000000  5 123 tok\n", false},
        {"-1800000000 5 123 tok\n", true},
        {"18e8 5 123 tok\n", true},
        {"1800000000 5 123 to/k\n", false},
        {"1800000000 5 123 tok\n\n", false},
        {"1800000000 5 123 tok\r\n", false},
        {"1800000000 5 1234567890123456789 tok\n", true},
        {"1800000000 5 123 123456789012345678901234567890123\n", false},
    };
    for (const Bad &b : bad) {
        SCOPED_TRACE(b.text);
        EXPECT_FALSE(clkreq::parseRequest(b.text, strlen(b.text), p));
        EXPECT_EQ(p.token.empty(), !b.tokenKept);
    }
    std::string token;
    int code = 0;
    int64 sec = 0;
    std::string res = clkreq::formatResult("-", clkreq::REFUSED_STALE, 0);
    ASSERT_TRUE(clkreq::parseResult(res.data(), res.size(), token, code, sec));
    EXPECT_EQ(token, "-");
    EXPECT_EQ(code, clkreq::REFUSED_STALE);
}

namespace {

class ClockRequestTest : public ClockTest {
protected:
    void write(const char *name, const std::string &text)
    {
        FILE *f = fopen(name, "w");
        ASSERT_NE(f, nullptr);
        fputs(text.c_str(), f);
        fclose(f);
    }
    std::string request(int64 sec, int64 usec, int64 monoUs, const char *token = "t1")
    {
        clkreq::Request r;
        r.sec = sec;
        r.usec = usec;
        r.monoUs = monoUs;
        r.token = token;
        return clkreq::formatRequest(r);
    }
    std::string result()
    {
        FILE *f = fopen(clkreq::RESULT_FILE, "r");
        if (!f)
            return "";
        char buf[200] = {0};
        size_t n = fread(buf, 1, sizeof buf - 1, f);
        fclose(f);
        return std::string(buf, n);
    }
    static bool exists(const char *name)
    {
        struct stat st;
        return lstat(name, &st) == 0;
    }
    ScopedWorkDir dir_;
};

} // namespace

TEST_F(ClockRequestTest, RequestIsTakenOnceWithTheTimeThatPassedSinceItWasWritten)
{
    EXPECT_EQ(clk_.pollClockRequest(), 0) << "no request";
    write(clkreq::REQUEST_FILE, request(1800000000, 250000, sysclock::monotonicUs()));
    clock_.advanceMs(500);
    EXPECT_EQ(clk_.pollClockRequest(), 0) << "looked at once a second only";
    EXPECT_TRUE(exists(clkreq::REQUEST_FILE));
    clock_.advanceMs(500);
    EXPECT_EQ(clk_.pollClockRequest(), 1);
    EXPECT_FALSE(exists(clkreq::REQUEST_FILE));
    ASSERT_EQ(rec_.set.size(), 1u);
    EXPECT_EQ(tvUs(rec_.set[0]), int64(1800000001) * 1000000 + 250000) << "written one second ago";
    EXPECT_EQ(result(), "t1 0 1800000001\n");
    EXPECT_EQ(clk_.epochWhenClockChanged, 1800000001);
    clock_.advanceMs(1000);
    EXPECT_EQ(clk_.pollClockRequest(), 0) << "used once";
    EXPECT_EQ(rec_.set.size(), 1u);
}

TEST_F(ClockRequestTest, UnsafeOrInvalidRequestsAreRefusedAndRemoved)
{
    struct Row {
        const char *name;
        int64 sec, usec, monoRelUs;   // request written monoRelUs before/after the poll
        const char *raw;              // else these bytes; "" a symbolic link to a good request
        int code;
        const char *token;
    } rows[] = {
        {"written 601 s ago", 1800000000, 0, -601000000, nullptr, clkreq::REFUSED_STALE, "t1"},
        {"written in the future", 1800000000, 0, 1000000, nullptr, clkreq::REFUSED_STALE, "t1"},
        {"before 2000", 900000000, 0, 0, nullptr, clkreq::REFUSED_RANGE, "t1"},
        {"beyond the 32-bit epoch", 2147483600, 0, 0, nullptr, clkreq::REFUSED_RANGE, "t1"},
        {"microseconds out of range", 1800000000, 1000000, 0, nullptr, clkreq::REFUSED_RANGE, "t1"},
        {"garbage", 0, 0, 0, "set the clock\n", clkreq::REFUSED_FORMAT, "-"},
        {"too long", 0, 0, 0, "77777777777777777777777777777777777777777777777777777777777777777777777777777777"
                              "77777777777777777777777777777777777777777777777777777777777777777777777777777777",
         clkreq::REFUSED_FORMAT, "-"},
        {"symbolic link", 0, 0, 0, "", clkreq::REFUSED_FORMAT, "-"},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        clock_.advanceMs(1000);
        const int64 mono = sysclock::monotonicUs();
        if (r.raw && !*r.raw) {
            write("elsewhere", request(1800000000, 0, mono));
            ASSERT_EQ(symlink("elsewhere", clkreq::REQUEST_FILE), 0);
        } else {
            write(clkreq::REQUEST_FILE, r.raw ? std::string(r.raw) : request(r.sec, r.usec, mono + r.monoRelUs));
        }
        LogCapture log;
        EXPECT_EQ(clk_.pollClockRequest(), r.code);
        EXPECT_FALSE(exists(clkreq::REQUEST_FILE));
        EXPECT_EQ(result(), clkreq::formatResult(r.token, r.code, 0));
        EXPECT_EQ(log.count("Richiesta impostazione orologio rifiutata"), 1);
        EXPECT_TRUE(rec_.set.empty());
        EXPECT_EQ(clk_.epochWhenClockChanged, 0);
    }
    EXPECT_TRUE(exists("elsewhere")) << "the target of a link is left alone";
}

namespace {

// Runs the real tool; while it runs, this process plays the card's cabinet-bus
// thread and polls every 20 ms (real clocks; the clock setting is recorded only).
int runTool(std::vector<std::string> args, ClockMgr *card, int timeoutMs = 15000)
{
    std::string exe = std::string(TVK_BIN_DIR) + "/tarvik-setclock-" + TVK_PROFILE_NAME;
    args.insert(args.begin(), exe);
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    pid_t pid;
    if (posix_spawn(&pid, exe.c_str(), nullptr, nullptr, argv.data(), environ) != 0)
        return -1;
    int status = 0;
    for (int waited = 0; waited < timeoutMs; waited += 20) {
        if (card)
            card->pollClockRequest();
        if (waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        usleep(20000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -2;
}

} // namespace

TEST(ClockTool, SetsTheCardClockThroughTheRequestFile)
{
    uint8 saved = KESPAddr;
    KESPAddr = 0xEB;
    std::vector<struct timeval> set;
    platform::setSetTimeHook([&set](const struct timeval *tv) {
        set.push_back(*tv);
        return 0;
    });
    {
        ScopedWorkDir dir;
        ClockMgr card;
        EXPECT_EQ(runTool({"--dir", dir.path(), "--wait", "10", "@1800000000.5"}, &card), 0);
        ASSERT_EQ(set.size(), 1u);
        EXPECT_GE(tvUs(set[0]), int64(1800000000) * 1000000 + 500000);
        EXPECT_LT(tvUs(set[0]), int64(1800000003) * 1000000) << "plus the time until the card took it";
        EXPECT_NE(card.epochWhenClockChanged, 0);
        EXPECT_EQ(access((dir.path() + "/" + clkreq::REQUEST_FILE).c_str(), F_OK), -1);

        // Nobody takes the request: the tool gives up and withdraws it.
        EXPECT_EQ(runTool({"--dir", dir.path(), "--wait", "1", "2031-05-04 10:20:30"}, nullptr), 6);
        EXPECT_EQ(access((dir.path() + "/" + clkreq::REQUEST_FILE).c_str(), F_OK), -1);
        EXPECT_EQ(runTool({"--dir", dir.path(), "1999-06-01 12:00"}, nullptr), 2);
        EXPECT_EQ(runTool({"--dir", dir.path(), "tomorrow"}, nullptr), 2);
    }
    {
        ScopedWorkDir noCard(false);
        EXPECT_EQ(runTool({"--dir", noCard.path(), "now"}, nullptr), 1);
    }
    EXPECT_EQ(set.size(), 1u);
    installHarmlessHooks();
    KESPAddr = saved;
}

// One real card on the cabinet bus with the hand-over station: the clock data of a
// CN reach the clock code of the cabinet-bus thread (a sender 5 s ahead, i.e. this
// clock 5 s behind, restarts the average), and the tool's request is taken by the
// card's loop and goes to the card's machine-action seam, which the bench disarms.
TEST(ClockCard, CnClockDataAndTheManualSettingReachARealCard)
{
    static ScopedWorkDir dir;
    tvksim::PlantOptions o;
    o.program = std::string(TVK_BIN_DIR) + "/tarvik-" + TVK_PROFILE_NAME;
    o.mask = "1000";
    o.baseDir = dir.path() + "/plant";
    tvksim::Plant p(o);
    tvksim::TreeAttach t;
    ASSERT_TRUE(tvktest::CardFixture::waitFor([&] { return t.attach(p.card(0).keyFile()); }, 15000));

    tvksim::HandoverPlan plan = p.station().plan();
    plan.src = 0xEB;   // the CN comes as from cabinet B's card
    p.station().setPlan(plan);
    p.station().setCnHook([](tvksim::kesp::CnData &cn) { cn.clk[1].sec += 5; });
    ASSERT_TRUE(p.station().handOver(0xEA));
    EXPECT_TRUE(tvktest::CardFixture::waitFor([&] { return p.logHas(0, "Sincronizzo gli orologi"); }, 10000));

    EXPECT_EQ(runTool({"--dir", p.card(0).setup().workDir, "--wait", "30", "@1800000000"}, nullptr, 40000), 0);
    EXPECT_TRUE(p.logHas(0, "orologio non impostato a 18000000"));
    EXPECT_TRUE(p.logHas(0, "Orologio impostato manualmente: 18000000"));
    EXPECT_TRUE(p.card(0).running());
    if (::testing::Test::HasFailure()) {
        FILE *f = fopen(p.card(0).logPath().c_str(), "r");
        if (f) {
            std::string all;
            char buf[4096];
            size_t n;
            while ((n = fread(buf, 1, sizeof buf, f)) > 0)
                all.append(buf, n);
            fclose(f);
            fprintf(stderr, "card log (end):\n%s\n", all.substr(all.size() > 4000 ? all.size() - 4000 : 0).c_str());
        }
    }
}
