// Serial read latency over a pseudo-terminal pair.
//
// A far-end thread writes one byte at a random moment while the port layer waits
// in ttyd_read_timeout; the delay from the write to the read's return is taken
// for every sample. The same is measured for a plain poll()+read() on the slave
// (the kernel's own hand-over and wake-up time), so the difference is what the
// port layer adds. Also reports the processor time of an idle one-second wait.
//
// With --paced, a far end writes BYTES bytes paced like a line at BAUD (10 bits a
// byte, one byte per write: the worst case for the reader) while the port layer
// reads all of them in one ttyd_read_timeout call, REPS times. Reported per read:
// the delay from the last byte written to the read's return, the reading
// thread's processor time and its context switches (wake-ups).
//
// usage: tarvik-ttylatency-<profile> [samples]   (default 2000)
//        tarvik-ttylatency-<profile> --paced BYTES BAUD [REPS]   (default 20 reps)
#include "PtyBench.h"
#include "TTYDev.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <mutex>
#include <poll.h>
#include <random>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

int64_t nowNs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void sleepUntilNs(int64_t t)
{
    struct timespec ts;
    ts.tv_sec = time_t(t / 1000000000);
    ts.tv_nsec = long(t % 1000000000);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

int64_t threadCpuUs()
{
    struct rusage ru;
    getrusage(RUSAGE_THREAD, &ru);
    return int64_t(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1000000 + ru.ru_utime.tv_usec + ru.ru_stime.tv_usec;
}

int64_t threadSwitches()
{
    struct rusage ru;
    getrusage(RUSAGE_THREAD, &ru);
    return int64_t(ru.ru_nvcsw) + int64_t(ru.ru_nivcsw);
}

// The far end: on each request, waits a random 0.5 to 5 ms, notes the time and
// writes one byte.
class FarEnd {
public:
    explicit FarEnd(tvksim::PtyEnd &end) : end_(end), th_([this] { run(); }) {}
    ~FarEnd()
    {
        {
            std::lock_guard<std::mutex> lk(m_);
            stop_ = true;
        }
        cv_.notify_all();
        th_.join();
    }
    void request()
    {
        std::lock_guard<std::mutex> lk(m_);
        ++requested_;
        cv_.notify_all();
    }
    int64_t lastWriteNs()
    {
        std::unique_lock<std::mutex> lk(m_);
        cv_.wait(lk, [this] { return written_ == requested_; });
        return writeNs_;
    }

private:
    void run()
    {
        std::mt19937 rng(12345);
        std::uniform_int_distribution<int> delayUs(500, 5000);
        for (;;) {
            {
                std::unique_lock<std::mutex> lk(m_);
                cv_.wait(lk, [this] { return stop_ || requested_ > written_; });
                if (stop_)
                    return;
            }
            sleepUntilNs(nowNs() + int64_t(delayUs(rng)) * 1000);
            const uint8_t b = 0x5A;
            int64_t t = nowNs();
            end_.write(&b, 1);
            {
                std::lock_guard<std::mutex> lk(m_);
                writeNs_ = t;
                ++written_;
            }
            cv_.notify_all();
        }
    }

    tvksim::PtyEnd &end_;
    std::mutex m_;
    std::condition_variable cv_;
    long requested_ = 0;
    long written_ = 0;
    int64_t writeNs_ = 0;
    bool stop_ = false;
    std::thread th_;
};

struct Stats {
    double medianUs, p99Us, maxUs;
};

Stats stats(std::vector<int64_t> ns)
{
    std::sort(ns.begin(), ns.end());
    auto at = [&](double q) { return ns[std::min(ns.size() - 1, size_t(q * double(ns.size() - 1) + 0.5))] / 1000.0; };
    return Stats{at(0.5), at(0.99), ns.back() / 1000.0};
}

// Runs `samples` exchanges of each method, alternating, so that both see the same
// load of the machine; a reader waits for the byte and returns false on failure.
bool measure(FarEnd &far, int samples, const std::function<bool()> &readA, std::vector<int64_t> &outA,
             const std::function<bool()> &readB, std::vector<int64_t> &outB)
{
    outA.clear();
    outB.clear();
    for (int i = 0; i < 2 * samples; ++i) {
        const bool a = (i % 2) == 0;
        far.request();
        if (!(a ? readA() : readB()))
            return false;
        int64_t tRet = nowNs();
        (a ? outA : outB).push_back(tRet - far.lastWriteNs());
    }
    return true;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// One paced reception of `bytes` bytes at `baud`, read by one ttyd_read_timeout.
int pacedBench(size_t bytes, int baud, int reps)
{
    tvksim::PtyEnd end;
    ttyd_port_t *p = ttyd_init();
    ttyd_set_device(p, end.path().c_str());
    if (!p || ttyd_open(p, false) != 0 || ttyd_termios(p) != 0) {
        fprintf(stderr, "cannot open %s\n", end.path().c_str());
        return 1;
    }
    // The port runs at the far end's rate (a pty does not care, the read path does).
    static const int rates[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};
    int rateIdx = -1;
    for (int i = 0; i < TTYD_BAUD_MAX; ++i)
        if (rates[i] == baud)
            rateIdx = i;
    if (rateIdx < 0 || ttyd_set_baud(p, ttyd_baud_e(rateIdx)) != 0) {
        fprintf(stderr, "baud rate %d not supported by the port layer\n", baud);
        ttyd_end(p);
        return 2;
    }
    std::vector<uint8_t> data(bytes);
    for (size_t i = 0; i < bytes; ++i)
        data[i] = uint8_t(i);
    std::vector<uint8_t> buf(bytes);
    std::vector<double> lateUs, cpuUs, wakes;
    int failures = 0;
    for (int r = 0; r < reps; ++r) {
        int64_t lastWriteNs = 0;
        std::thread far([&] {
            sleepUntilNs(nowNs() + 2000000);   // the read is waiting first
            end.writePaced(data.data(), data.size(), baud);
            lastWriteNs = nowNs();
        });
        uint32_t n = 0;
        int64_t cpu0 = threadCpuUs(), sw0 = threadSwitches();
        int rc = ttyd_read_timeout(p, buf.data(), uint32_t(bytes), &n, 1000);
        int64_t tRet = nowNs();
        int64_t cpu1 = threadCpuUs(), sw1 = threadSwitches();
        far.join();
        if (rc != 0 || n != bytes || buf != data) {
            ++failures;
            continue;
        }
        lateUs.push_back(double(tRet - lastWriteNs) / 1000.0);
        cpuUs.push_back(double(cpu1 - cpu0));
        wakes.push_back(double(sw1 - sw0));
    }
    ttyd_end(p);
    printf("paced read of %zu bytes at %d baud (%.1f ms on the wire), %d reads, %d failed\n", bytes, baud,
           double(bytes) * 10.0 * 1000.0 / baud, reps, failures);
    if (lateUs.empty())
        return 1;
    printf("  last byte written -> return  median %.0f us, max %.0f us\n", median(lateUs),
           *std::max_element(lateUs.begin(), lateUs.end()));
    printf("  reader cpu per read          median %.0f us, max %.0f us\n", median(cpuUs),
           *std::max_element(cpuUs.begin(), cpuUs.end()));
    printf("  reader wake-ups per read     median %.0f, max %.0f\n", median(wakes),
           *std::max_element(wakes.begin(), wakes.end()));
    return failures ? 1 : 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc > 1 && std::string(argv[1]) == "--paced") {
        if (argc < 4) {
            fprintf(stderr, "usage: %s --paced BYTES BAUD [REPS]\n", argv[0]);
            return 2;
        }
        size_t bytes = size_t(strtoul(argv[2], nullptr, 10));
        int baud = atoi(argv[3]);
        int reps = argc > 4 ? atoi(argv[4]) : 20;
        if (bytes < 1 || baud < 1 || reps < 1)
            return 2;
        try {
            return pacedBench(bytes, baud, reps);
        } catch (const std::exception &e) {
            fprintf(stderr, "%s\n", e.what());
            return 1;
        }
    }
    int samples = argc > 1 ? atoi(argv[1]) : 2000;
    if (samples < 10)
        samples = 10;
    try {
        tvksim::PtyEnd end;
        ttyd_port_t *p = ttyd_init();
        ttyd_set_device(p, end.path().c_str());
        if (!p || ttyd_open(p, false) != 0 || ttyd_termios(p) != 0) {
            fprintf(stderr, "cannot open %s\n", end.path().c_str());
            return 1;
        }
        int raw = open(end.slaveName().c_str(), O_RDWR | O_NOCTTY);
        if (raw < 0) {
            fprintf(stderr, "cannot open %s\n", end.slaveName().c_str());
            return 1;
        }

        std::vector<int64_t> ttyd, base;
        bool ok;
        {
            FarEnd far(end);
            ok = measure(
                far, samples,
                [&] {
                    uint8_t b;
                    uint32_t n = 0;
                    return ttyd_read_timeout(p, &b, 1, &n, 1000) == 0 && n == 1;
                },
                ttyd,
                [&] {
                    struct pollfd pfd = {raw, POLLIN, 0};
                    uint8_t b;
                    return poll(&pfd, 1, 1000) == 1 && read(raw, &b, 1) == 1;
                },
                base);
        }
        if (!ok) {
            fprintf(stderr, "a sample failed\n");
            return 1;
        }

        uint8_t b;
        uint32_t n = 0;
        int64_t cpu0 = threadCpuUs();
        int64_t t0 = nowNs();
        int rc = ttyd_read_timeout(p, &b, 1, &n, 1000);
        int64_t wallUs = (nowNs() - t0) / 1000;
        int64_t cpuUs = threadCpuUs() - cpu0;

        Stats s = stats(ttyd), sb = stats(base);
        printf("samples: %d per method, interleaved (byte written 0.5-5 ms after the wait began)\n", samples);
        printf("ttyd_read_timeout: write -> return  median %.1f us  p99 %.1f us  max %.1f us\n", s.medianUs, s.p99Us,
               s.maxUs);
        printf("poll()+read()    : write -> return  median %.1f us  p99 %.1f us  max %.1f us\n", sb.medianUs,
               sb.p99Us, sb.maxUs);
        printf("added by the port layer (median): %.1f us\n", s.medianUs - sb.medianUs);
        printf("idle wait: result %d after %lld us wall, %lld us cpu\n", rc, (long long)wallUs, (long long)cpuUs);
        close(raw);
        ttyd_end(p);
    } catch (const std::exception &e) {
        fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
