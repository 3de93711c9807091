// Shared helpers of the card's tests: log capture, a driven clock, the
// machine-action recorder and a private working directory.
#ifndef TVK_TESTSUPPORT_H
#define TVK_TESTSUPPORT_H

#include "Log.h"
#include "SysClock.h"

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

namespace tvktest {

// Collects every log line while alive.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    std::vector<std::string> lines() const;
    std::string text() const;
    // Number of captured lines containing `needle`.
    int count(const std::string &needle) const;
    bool contains(const std::string &needle) const { return count(needle) > 0; }
    void clear();

private:
    mutable std::mutex m_;
    std::vector<std::string> lines_;
};

// A clock that only moves when told to, or when the code under test sleeps.
class FakeClock : public sysclock::Source {
public:
    explicit FakeClock(time_t start = 1700000000);
    ~FakeClock() override;
    time_t now() override;
    struct timeval timeOfDay() override;
    struct timespec monotonic() override;
    void sleepMs(unsigned ms) override;
    void advanceMs(int64_t ms);
    void advanceSec(int64_t s) { advanceMs(s * 1000); }
    int64_t sleptMs() const { return slept_.load(); }
    int sleepCalls() const { return sleeps_.load(); }
    // When set, called at every sleep after the clock moved (test hooks into waits).
    void onSleep(std::function<void(unsigned)> fn);

private:
    std::atomic<int64_t> wallUs_;
    std::atomic<int64_t> monoUs_;
    std::atomic<int64_t> slept_{0};
    std::atomic<int> sleeps_{0};
    std::mutex m_;
    std::function<void(unsigned)> onSleep_;
};

// Every "reboot -f" / "halt" / adjtime the code asks for lands here in tests.
struct MachineActions {
    static std::vector<std::string> shellCommands();
    static int adjtimeCalls();
    static void reset();
};

// Makes and enters a private temporary directory holding a file "Tarvik"
// (the shared-memory key file); restores the old directory and removes it on exit.
class ScopedWorkDir {
public:
    explicit ScopedWorkDir(bool withKeyFile = true);
    ~ScopedWorkDir();
    const std::string &path() const { return dir_; }

private:
    std::string old_;
    std::string dir_;
};

} // namespace tvktest

#endif
