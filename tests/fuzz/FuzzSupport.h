// Shared pieces of the libFuzzer targets that link the card library: a driven
// clock, a quiet logger, machine actions that do nothing, and the seed writer.
// Included by exactly one source of each fuzzer (it defines getpid).
//
// Seeds: a target started with TVK_FUZZ_WRITE_SEEDS=DIR writes the inputs its
// seed function builds with the card's own encoders into DIR and exits; the
// corpora under tests/fuzz/corpus were made so (see build.sh).
#ifndef TVK_FUZZSUPPORT_H
#define TVK_FUZZSUPPORT_H

#include "Log.h"
#include "Platform.h"
#include "Profile.h"
#include "SysClock.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

// Every log line asks for the process id; one system call per line would be
// most of the fuzzer's time. The harness is one process: answer from a cache.
extern "C" pid_t getpid(void) { return 4242; }

namespace tvkfuzz {

// Time moves only when the code sleeps or the harness moves it.
class Clock : public sysclock::Source {
public:
    int64_t us = 1000000000;
    int64_t wallBase = 1700000000;
    time_t now() override { return time_t(wallBase + us / 1000000); }
    struct timeval timeOfDay() override
    {
        struct timeval tv;
        tv.tv_sec = now();
        tv.tv_usec = suseconds_t(us % 1000000);
        return tv;
    }
    struct timespec monotonic() override
    {
        struct timespec ts;
        ts.tv_sec = time_t(us / 1000000);
        ts.tv_nsec = long(us % 1000000) * 1000;
        return ts;
    }
    void sleepMs(unsigned ms) override { us += int64_t(ms) * 1000; }
};

// Lines are built (the formatting runs) but go nowhere; no debug lines or dumps.
// The machine is never touched.
inline void quietCard(Clock *clock)
{
    setenv("TZ", "UTC", 1);   // the log's time of day without a zone file lookup per line
    tvk_setQuietLog(true);
    tvk_setLogSink([](const std::string &) {});
    platform::setShellHook([](const char *) { return 0; });
    platform::setAdjTimeHook([](const struct timeval *, struct timeval *old) {
        if (old)
            *old = timeval{0, 0};
        return 0;
    });
    platform::setSetTimeHook([](const struct timeval *) { return 0; });
    if (clock)
        sysclock::setSource(clock);
}

using Seed = std::vector<uint8_t>;

// With TVK_FUZZ_WRITE_SEEDS=DIR: writes every seed as DIR/<prefix>-<profile>-<n> and exits.
inline void writeSeedsIfAsked(const char *prefix, const std::function<std::vector<Seed>()> &make)
{
    const char *dir = getenv("TVK_FUZZ_WRITE_SEEDS");
    if (!dir || !*dir)
        return;
    mkdir(dir, 0755);
    const std::vector<Seed> seeds = make();
    for (size_t i = 0; i < seeds.size(); ++i) {
        const std::string path = std::string(dir) + "/" + prefix + "-" + profile::name + "-" + std::to_string(i);
        FILE *f = fopen(path.c_str(), "wb");
        if (!f) {
            perror(path.c_str());
            exit(1);
        }
        fwrite(seeds[i].data(), 1, seeds[i].size(), f);
        fclose(f);
    }
    printf("%zu seeds written to %s\n", seeds.size(), dir);
    exit(0);
}

} // namespace tvkfuzz

#endif
