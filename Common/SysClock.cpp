#include "SysClock.h"

#include <atomic>
#include <cerrno>

namespace sysclock {

namespace {

class RealSource : public Source {
public:
    time_t now() override { return ::time(nullptr); }
    struct timeval timeOfDay() override
    {
        struct timeval tv;
        gettimeofday(&tv, nullptr);
        return tv;
    }
    struct timespec monotonic() override
    {
        struct timespec ts;
        clock_gettime(CLOCK_MONOTONIC, &ts);
        return ts;
    }
    void sleepMs(unsigned ms) override
    {
        struct timespec req;
        req.tv_sec = ms / 1000;
        req.tv_nsec = long(ms % 1000) * 1000000L;
        while (nanosleep(&req, &req) != 0 && errno == EINTR) {
        }
    }
};

RealSource g_real;
std::atomic<Source *> g_src{&g_real};

} // namespace

Source &realSource() { return g_real; }
Source &source() { return *g_src.load(std::memory_order_acquire); }
void setSource(Source *src) { g_src.store(src ? src : &g_real, std::memory_order_release); }

int64_t monotonicMs()
{
    struct timespec ts = monotonic();
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int64_t monotonicUs()
{
    struct timespec ts = monotonic();
    return int64_t(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

} // namespace sysclock
