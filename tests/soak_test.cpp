// A day of one card in a few minutes: the whole card runs in this process with a
// clock source that runs `factor` times faster than the real one (every time-out,
// debounce, freshness rule and pause of the card goes through the time seam; the
// serial lines keep wire time). Over the day the module goes through mains
// failures and returns, stops answering and comes back; resident memory, threads
// and descriptors of the process must not grow.
//
// Not part of the test command (it is disabled); ./tarvik.sh soak runs it, or
//   build/soak_test_naval --gtest_also_run_disabled_tests
// TVK_SOAK_HOURS (default 24) and TVK_SOAK_FACTOR (default 240) change the run.
#include "CardFixture.h"
#include "Log.h"
#include "VirtualUPSMgr.h"
#include "SysClock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <thread>
#include <time.h>

namespace {

int64_t realMonoUs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

// Time `factor` times faster than the real clocks, from the moment it is made.
class WarpClock : public sysclock::Source {
public:
    explicit WarpClock(double factor) : factor_(factor)
    {
        struct timeval tv;
        gettimeofday(&tv, nullptr);
        wall0Us_ = int64_t(tv.tv_sec) * 1000000 + tv.tv_usec;
        mono0Us_ = realMonoUs();
        sysclock::setSource(this);
    }
    ~WarpClock() override { sysclock::setSource(nullptr); }
    int64_t elapsedUs() const { return int64_t(double(realMonoUs() - mono0Us_) * factor_); }
    time_t now() override { return time_t((wall0Us_ + elapsedUs()) / 1000000); }
    struct timeval timeOfDay() override
    {
        const int64_t us = wall0Us_ + elapsedUs();
        struct timeval tv;
        tv.tv_sec = time_t(us / 1000000);
        tv.tv_usec = suseconds_t(us % 1000000);
        return tv;
    }
    struct timespec monotonic() override
    {
        const int64_t us = mono0Us_ + elapsedUs();
        struct timespec ts;
        ts.tv_sec = time_t(us / 1000000);
        ts.tv_nsec = long(us % 1000000) * 1000;
        return ts;
    }
    void sleepMs(unsigned ms) override
    {
        std::this_thread::sleep_for(std::chrono::microseconds(int64_t(double(ms) * 1000.0 / factor_) + 1));
    }

private:
    double factor_;
    int64_t wall0Us_ = 0;
    int64_t mono0Us_ = 0;
};

struct ProcFigures {
    long rssKiB = -1;
    int threads = -1;
    int fds = -1;
};

ProcFigures self()
{
    ProcFigures f;
    if (FILE *s = fopen("/proc/self/status", "r")) {
        char line[256];
        while (fgets(line, sizeof line, s)) {
            if (strncmp(line, "VmRSS:", 6) == 0)
                f.rssKiB = strtol(line + 6, nullptr, 10);
            else if (strncmp(line, "Threads:", 8) == 0)
                f.threads = atoi(line + 8);
        }
        fclose(s);
    }
    if (DIR *d = opendir("/proc/self/fd")) {
        int n = 0;
        while (struct dirent *e = readdir(d))
            if (e->d_name[0] != '.')
                ++n;
        closedir(d);
        f.fds = n - 1;   // the directory being read
    }
    return f;
}

double envOr(const char *name, double dflt)
{
    const char *v = getenv(name);
    return v && *v ? atof(v) : dflt;
}

} // namespace

TEST(SoakCompressed, DISABLED_ADayOfOneCardUnderTheTimeSeam)
{
    const double hours = envOr("TVK_SOAK_HOURS", 24);
    const double factor = envOr("TVK_SOAK_FACTOR", 240);
    ASSERT_GT(hours, 0.5);
    ASSERT_GT(factor, 1);
    tvktest::CardFixture::Options o;
    o.start = false;
    o.cabinetBus = true;   // a cabinet bus on which nobody else talks
    tvk_setQuietLog(true);   // a day at the full level is gigabytes
    tvktest::CardFixture card(o);
    WarpClock clock(factor);
    card.startCard();

    const int64_t dayUs = int64_t(hours * 3600e6);
    ProcFigures first, mid, last;
    bool haveFirst = false, haveMid = false;
    int lastPhase = -1;
    int64_t events = 0;
    int silences = 0, seenLost = 0, answering = 0, seenBack = 0;
    auto moduleAlarm = [&card] {
        virtualNode_t *box = card.node("SA.BA");
        return box ? int(box->desc.upsBox.subSystem.UPSShelter[0].alarmSt) : -1;
    };
    const int64_t real0 = realMonoUs();
    for (;;) {
        const int64_t t = clock.elapsedUs();
        if (t >= dayUs)
            break;
        // Every hour: mains failure at 2 min, back at 10, module silent from 20 to 58 min (the
        // line's own time-outs keep real time, so a silence must last some real seconds).
        const int64_t inHour = (t / 1000000) % 3600;
        const int phase = inHour >= 3480 ? 4 : inHour >= 1200 ? 3 : inHour >= 600 ? 2 : inHour >= 120 ? 1 : 0;
        if (phase != lastPhase) {
            switch (phase) {
            case 1:
                card.sim().update([](tvksim::ModuleState &s) {
                    s.Vin = {{0, 0, 0}};
                    s.Battery_Working = true;
                });
                break;
            case 2:
                card.sim().update([](tvksim::ModuleState &s) {
                    s.Vin = {{230, 231, 232}};
                    s.Battery_Working = false;
                });
                break;
            case 3: {
                // Twenty minutes after the last silence (or the start) the module is back.
                ++answering;
                seenBack += moduleAlarm() != int(commLostAlarm) ? 1 : 0;
                tvksim::Faults f;
                f.silent = true;
                card.sim().setFaults(f);
                break;
            }
            case 4:
                // Long without an answer: the card shows the module lost.
                ++silences;
                seenLost += moduleAlarm() == int(commLostAlarm) ? 1 : 0;
                card.sim().clearFaults();
                break;
            default:
                break;
            }
            lastPhase = phase;
            ++events;
        }
        if (!haveFirst && t >= 3600e6) {
            first = self();
            haveFirst = true;
        }
        if (!haveMid && t >= dayUs / 2) {
            mid = self();
            haveMid = true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    last = self();
    const double realS = double(realMonoUs() - real0) / 1e6;
    card.stopCard();
    printf("compressed soak: %.1f h of card time in %.0f s (x%.0f), %lld events; module lost in %d of %d "
           "silences, back in %d of %d\n",
           hours, realS, factor, (long long)events, seenLost, silences, seenBack, answering);
    printf("  after 1 h: VmRSS %ld KiB, %d threads, %d fds\n", first.rssKiB, first.threads, first.fds);
    printf("  middle:    VmRSS %ld KiB, %d threads, %d fds\n", mid.rssKiB, mid.threads, mid.fds);
    printf("  end:       VmRSS %ld KiB, %d threads, %d fds\n", last.rssKiB, last.threads, last.fds);
    ASSERT_TRUE(haveFirst);
    EXPECT_EQ(seenLost, silences) << "a silent module was not shown lost";
    EXPECT_EQ(seenBack, answering) << "a module answering again was still shown lost";
    EXPECT_EQ(last.threads, first.threads);
    EXPECT_EQ(last.fds, first.fds);
    EXPECT_LT(last.rssKiB - first.rssKiB, 1024) << "resident memory grew over the day";
}
