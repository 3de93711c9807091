// Test entry: a Qt core application for slots and timers, and machine actions
// redirected into a recorder for the whole run.
#include "Platform.h"
#include "TestSupport.h"

#include <QCoreApplication>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tvktest {

namespace {
std::mutex g_actMutex;
std::vector<std::string> g_shell;
std::atomic<int> g_adj{0};
} // namespace

LogCapture::LogCapture()
{
    tvk_setLogSink([this](const std::string &s) {
        std::lock_guard<std::mutex> lk(m_);
        lines_.push_back(s);
    });
}

LogCapture::~LogCapture() { tvk_setLogSink(LogSink()); }

std::vector<std::string> LogCapture::lines() const
{
    std::lock_guard<std::mutex> lk(m_);
    return lines_;
}

std::string LogCapture::text() const
{
    std::lock_guard<std::mutex> lk(m_);
    std::string t;
    for (const auto &l : lines_)
        t += l;
    return t;
}

int LogCapture::count(const std::string &needle) const
{
    std::lock_guard<std::mutex> lk(m_);
    int n = 0;
    for (const auto &l : lines_)
        if (l.find(needle) != std::string::npos)
            ++n;
    return n;
}

void LogCapture::clear()
{
    std::lock_guard<std::mutex> lk(m_);
    lines_.clear();
}

FakeClock::FakeClock(time_t start) : wallUs_(int64_t(start) * 1000000), monoUs_(int64_t(1000) * 1000000)
{
    sysclock::setSource(this);
}

FakeClock::~FakeClock() { sysclock::setSource(nullptr); }

time_t FakeClock::now() { return time_t(wallUs_.load() / 1000000); }

struct timeval FakeClock::timeOfDay()
{
    int64_t us = wallUs_.load();
    struct timeval tv;
    tv.tv_sec = time_t(us / 1000000);
    tv.tv_usec = suseconds_t(us % 1000000);
    return tv;
}

struct timespec FakeClock::monotonic()
{
    int64_t us = monoUs_.load();
    struct timespec ts;
    ts.tv_sec = time_t(us / 1000000);
    ts.tv_nsec = long(us % 1000000) * 1000;
    return ts;
}

void FakeClock::advanceMs(int64_t ms)
{
    wallUs_ += ms * 1000;
    monoUs_ += ms * 1000;
}

void FakeClock::sleepMs(unsigned ms)
{
    advanceMs(ms);
    slept_ += ms;
    ++sleeps_;
    std::function<void(unsigned)> fn;
    {
        std::lock_guard<std::mutex> lk(m_);
        fn = onSleep_;
    }
    if (fn)
        fn(ms);
}

void FakeClock::onSleep(std::function<void(unsigned)> fn)
{
    std::lock_guard<std::mutex> lk(m_);
    onSleep_ = std::move(fn);
}

std::vector<std::string> MachineActions::shellCommands()
{
    std::lock_guard<std::mutex> lk(g_actMutex);
    return g_shell;
}

int MachineActions::adjtimeCalls() { return g_adj.load(); }

void MachineActions::reset()
{
    std::lock_guard<std::mutex> lk(g_actMutex);
    g_shell.clear();
    g_adj = 0;
}

static void removeTree(const std::string &path)
{
    DIR *d = opendir(path.c_str());
    if (d) {
        while (struct dirent *e = readdir(d)) {
            if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, ".."))
                continue;
            std::string p = path + "/" + e->d_name;
            struct stat st;
            if (lstat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
                removeTree(p);
            else
                unlink(p.c_str());
        }
        closedir(d);
    }
    rmdir(path.c_str());
}

ScopedWorkDir::ScopedWorkDir(bool withKeyFile)
{
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd))
        old_ = cwd;
    char tmpl[] = "/tmp/tarvik-test-XXXXXX";
    char *d = mkdtemp(tmpl);
    if (!d)
        abort();
    dir_ = d;
    if (chdir(dir_.c_str()) != 0)
        abort();
    if (withKeyFile) {
        FILE *f = fopen("Tarvik", "w");
        if (f)
            fclose(f);
    }
}

ScopedWorkDir::~ScopedWorkDir()
{
    if (!old_.empty() && chdir(old_.c_str()) != 0) {
    }
    removeTree(dir_);
}

} // namespace tvktest

int main(int argc, char **argv)
{
    // No test may reboot, halt or slew the clock of the machine it runs on.
    platform::setShellHook([](const char *cmd) {
        std::lock_guard<std::mutex> lk(tvktest::g_actMutex);
        tvktest::g_shell.push_back(cmd ? cmd : "");
        return 0;
    });
    platform::setAdjTimeHook([](const struct timeval *, struct timeval *old) {
        ++tvktest::g_adj;
        if (old) {
            old->tv_sec = 0;
            old->tv_usec = 0;
        }
        return 0;
    });
    setenv("TARVIK_NO_MACHINE_ACTIONS", "1", 1);   // for real card programs started by tests
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
