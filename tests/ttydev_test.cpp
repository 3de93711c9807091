// TTY port layer against real pseudo-terminals: the card's side opens the slave
// through a /dev/tty... link, the test plays the far end on the master.
// Read time-outs are real-time waits on the port; the ones used here are small.
#include "PtyBench.h"
#include "TTYDev.h"
#include "Profile.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <pthread.h>
#include <sched.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <vector>

using tvktest::LogCapture;
using tvksim::PtyEnd;

namespace {

int64_t nowUs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

void sleepUntilUs(int64_t t)
{
    struct timespec ts;
    ts.tv_sec = time_t(t / 1000000);
    ts.tv_nsec = long(t % 1000000) * 1000;
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

int64_t threadCpuUs()
{
    struct rusage ru;
    getrusage(RUSAGE_THREAD, &ru);
    return int64_t(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1000000 + ru.ru_utime.tv_usec + ru.ru_stime.tv_usec;
}

// Settings of the line as the program's side sees them (read through a private
// descriptor of the slave; never read from).
struct termios lineSettings(const PtyEnd &end)
{
    struct termios t;
    memset(&t, 0, sizeof t);
    int fd = open(end.slaveName().c_str(), O_RDWR | O_NOCTTY);
    if (fd >= 0) {
        tcgetattr(fd, &t);
        close(fd);
    }
    return t;
}

// A port opened on a fresh pty pair and put into raw mode.
struct OpenPort {
    PtyEnd end;
    ttyd_port_t *p = nullptr;

    OpenPort()
    {
        p = ttyd_init();
        ttyd_set_device(p, end.path().c_str());
        EXPECT_EQ(ttyd_open(p, true), 0);
        EXPECT_EQ(ttyd_termios(p), 0);
    }
    ~OpenPort() { release(p); }
    static void release(ttyd_port_t *&port)
    {
        if (!port)
            return;
        if (!ttyd_port_open(port) || ttyd_end(port) != 0)
            ttyd_free(port);
        port = nullptr;
    }
};

std::string devLine(const PtyEnd &end, const std::string &rest) { return "dev:" + end.path() + " " + rest; }

} // namespace

TEST(TtydText, CodesAndValues)
{
    const char *errs[] = {"no error",    "unknown error", "open error",    "close error", "flush error",
                          "get/set settings error",       "read error",    "write error", "select error",
                          "timeout error", "ioctl error", "port closed error",            "break error"};
    LogCapture cap;
    for (int i = 0; i <= 12; ++i) {
        const char *t = ttyd_strerror(-i);
        ASSERT_NE(t, nullptr) << -i;
        EXPECT_STREQ(t, errs[i]);
    }
    EXPECT_EQ(ttyd_strerror(TTYD_ERR_MAX), nullptr);
    EXPECT_EQ(ttyd_strerror(1), nullptr);
    EXPECT_EQ(ttyd_strerror(INT_MIN), nullptr);
    EXPECT_TRUE(cap.contains(" Err (ttyd_strerror): error=-9\n"));
    EXPECT_TRUE(cap.contains(" Err (ttyd_strerror): error=1\n"));

    EXPECT_STREQ(ttyd_strbaud(TTYD_BAUD_1200), "1200");
    EXPECT_STREQ(ttyd_strbaud(TTYD_BAUD_115200), "115200");
    EXPECT_STREQ(ttyd_strdata(TTYD_DATA_5), "5");
    EXPECT_STREQ(ttyd_strparity(TTYD_PARITY_EVEN), "even");
    EXPECT_STREQ(ttyd_strstop(TTYD_STOP_2), "2");
    EXPECT_STREQ(ttyd_strflow(TTYD_FLOW_XON_XOFF), "xon/xoff");
    EXPECT_STREQ(ttyd_strflow(TTYD_FLOW_HW), "hardware");
    for (auto fn : {ttyd_strbaud, ttyd_strdata, ttyd_strparity, ttyd_strstop, ttyd_strflow})
        EXPECT_EQ(fn(-1), nullptr);
    EXPECT_EQ(ttyd_strbaud(TTYD_BAUD_MAX), nullptr);
    EXPECT_EQ(ttyd_strdata(TTYD_DATA_MAX), nullptr);
    EXPECT_EQ(ttyd_strparity(TTYD_PARITY_MAX), nullptr);
    EXPECT_EQ(ttyd_strstop(TTYD_STOP_MAX), nullptr);
    EXPECT_EQ(ttyd_strflow(TTYD_FLOW_MAX), nullptr);
}

TEST(TtydPort, InitialValuesAndDevicePathLimit)
{
    ttyd_port_t *p = ttyd_init();
    ASSERT_NE(p, nullptr);
    EXPECT_STREQ(p->dev, "/dev/null");
    EXPECT_EQ(p->baud, TTYD_BAUD_9600);
    EXPECT_EQ(p->data, TTYD_DATA_8);
    EXPECT_EQ(p->stop, TTYD_STOP_1);
    EXPECT_EQ(p->flow, TTYD_FLOW_OFF);
    EXPECT_EQ(p->parity, TTYD_PARITY_NONE);
    EXPECT_EQ(p->status, TTYD_PORT_CLOSED);
    EXPECT_TRUE(p->wDBG);
    EXPECT_FALSE(ttyd_port_open(p));

    const std::string longPath = "/dev/ttyABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    ttyd_set_device(p, longPath.c_str());
    EXPECT_EQ(std::string(p->dev), longPath.substr(0, TTYD_DEV_MAXLEN));
    EXPECT_EQ(p->dev[TTYD_DEV_MAXLEN], '\0');
    ttyd_set_device(p, nullptr);
    EXPECT_STREQ(p->dev, "");
    {
        LogCapture cap;
        EXPECT_EQ(ttyd_open(p, false), TTYD_ERR_OPEN);   // empty path
        EXPECT_TRUE(cap.contains(" Err (ttyd_open): dev: open() 2 "));
    }
    EXPECT_FALSE(ttyd_port_open(p));
    ttyd_free(p);
}

// Every operation that needs an open port answers -11 at once, never touching a
// descriptor; ttyd_end leaves a port that is not open alone.
TEST(TtydPort, OperationsOnAClosedPort)
{
    PtyEnd end;
    ttyd_port_t *never = ttyd_init();
    ttyd_set_device(never, end.path().c_str());
    ttyd_port_t *closed = ttyd_init();
    ttyd_set_device(closed, end.path().c_str());
    ASSERT_EQ(ttyd_open(closed, false), 0);
    ASSERT_EQ(ttyd_close(closed), 0);
    const uint8 out[3] = {1, 2, 3};
    ASSERT_TRUE(end.write(out, 3));
    ASSERT_TRUE(end.waitPendingVisible(1000));

    LogCapture cap;
    for (ttyd_port_t *p : {never, closed, static_cast<ttyd_port_t *>(nullptr)}) {
        uint8 buf[4];
        uint32 n = 99;
        EXPECT_EQ(ttyd_read_timeout(p, buf, sizeof buf, &n, 10), TTYD_ERR_PORT_CLOSED);
        EXPECT_EQ(n, 0u);
        n = 99;
        EXPECT_EQ(ttyd_write(p, out, 3, &n), TTYD_ERR_PORT_CLOSED);
        EXPECT_EQ(n, 0u);
        EXPECT_EQ(ttyd_write_complete(p), TTYD_ERR_PORT_CLOSED);
        EXPECT_EQ(ttyd_sendbreak(p), TTYD_ERR_PORT_CLOSED);
        EXPECT_EQ(ttyd_flush(p), TTYD_ERR_PORT_CLOSED);
        EXPECT_EQ(ttyd_close(p), TTYD_ERR_PORT_CLOSED);
        EXPECT_EQ(ttyd_termios(p), TTYD_ERR_PORT_CLOSED);
        EXPECT_EQ(ttyd_end(p), 0);
        EXPECT_FALSE(ttyd_port_open(p));
    }
    EXPECT_EQ(cap.lines().size(), 0u) << cap.text();
    EXPECT_EQ(end.pendingToProgram(), 3);   // nothing flushed or read
    EXPECT_TRUE(end.read(16, 30).empty());  // nothing written
    // Requests that reach the device fail cleanly on a descriptor without one.
    int v = 0;
    EXPECT_EQ(ttyd_ioctl(closed, FIONREAD, &v), TTYD_ERR_IOCTL);
    EXPECT_EQ(ttyd_set_stop(closed, TTYD_STOP_2), TTYD_ERR_CONFIG);
    EXPECT_TRUE(cap.contains("Err (ttyd_set_stop): dev:" + end.path() + " tcgetattr() 9 "));
    EXPECT_EQ(ttyd_SetCtrlTerm(closed), -1);
    EXPECT_TRUE(cap.contains("Err (ttyd_SetCtrlTerm): dev:" + end.path() + " TIOCSCTTY error (9): "));
    ttyd_free(never);
    ttyd_free(closed);
}

TEST(TtydPort, OpenFailuresLeaveThePortClosed)
{
    ttyd_port_t *p = ttyd_init();
    ttyd_set_device(p, "/dev/ttyTVKmissing");
    {
        LogCapture cap;
        EXPECT_EQ(ttyd_open(p, false), TTYD_ERR_OPEN);
        EXPECT_TRUE(cap.contains(" Err (ttyd_open): dev:/dev/ttyTVKmissing open() 2 No such file or directory\n"))
            << cap.text();
    }
    EXPECT_FALSE(ttyd_port_open(p));
    {
        PtyEnd end;
        end.closeMaster();   // the line is gone before the card opens it
        ttyd_set_device(p, end.path().c_str());
        LogCapture cap;
        EXPECT_EQ(ttyd_open(p, false), TTYD_ERR_OPEN);
        EXPECT_TRUE(cap.contains(devLine(end, "open() ")));
    }
    EXPECT_FALSE(ttyd_port_open(p));
    ttyd_free(p);
}

TEST(TtydSettings, SettersChangeTheLineAndTheDescriptor)
{
    OpenPort port;
    ttyd_port_t *p = port.p;
    ASSERT_EQ(ttyd_set_baud(p, TTYD_BAUD_19200), 0);
    ASSERT_EQ(ttyd_set_stop(p, TTYD_STOP_2), 0);
    ASSERT_EQ(ttyd_set_flow(p, TTYD_FLOW_HW), 0);
    // A pty forces 8 data bits without parity: only the descriptor shows these.
    ASSERT_EQ(ttyd_set_data(p, TTYD_DATA_5), 0);
    ASSERT_EQ(ttyd_set_parity(p, TTYD_PARITY_ODD), 0);
    struct termios t = lineSettings(port.end);
    EXPECT_EQ(cfgetospeed(&t), speed_t(B19200));
    EXPECT_EQ(cfgetispeed(&t), speed_t(B19200));
    EXPECT_TRUE(t.c_cflag & CSTOPB);
    EXPECT_TRUE(t.c_cflag & CRTSCTS);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY), 0u);
    EXPECT_EQ(p->baud, TTYD_BAUD_19200);
    EXPECT_EQ(p->stop, TTYD_STOP_2);
    EXPECT_EQ(p->flow, TTYD_FLOW_HW);
    EXPECT_EQ(p->data, TTYD_DATA_5);
    EXPECT_EQ(p->parity, TTYD_PARITY_ODD);

    // Recent kernels' ptys refuse 6 and 7 data bits: then the write-back failure
    // is reported and the descriptor keeps its value.
    {
        LogCapture cap;
        int rc = ttyd_set_data(p, TTYD_DATA_7);
        if (rc == 0) {
            EXPECT_EQ(p->data, TTYD_DATA_7);
        } else {
            EXPECT_EQ(rc, TTYD_ERR_CONFIG);
            EXPECT_TRUE(cap.contains(" Err (ttyd_set_data): " + devLine(port.end, "tcsetattr() 22 "))) << cap.text();
            EXPECT_EQ(p->data, TTYD_DATA_5);
        }
    }

    ASSERT_EQ(ttyd_set_flow(p, TTYD_FLOW_XON_XOFF), 0);
    t = lineSettings(port.end);
    EXPECT_FALSE(t.c_cflag & CRTSCTS);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY), tcflag_t(IXON | IXOFF | IXANY));
    ASSERT_EQ(ttyd_set_flow(p, TTYD_FLOW_OFF), 0);
    ASSERT_EQ(ttyd_set_stop(p, TTYD_STOP_1), 0);
    t = lineSettings(port.end);
    EXPECT_FALSE(t.c_cflag & CRTSCTS);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY), 0u);
    EXPECT_FALSE(t.c_cflag & CSTOPB);
}

TEST(TtydSettings, ValueOutOfRangeChangesNothing)
{
    OpenPort port;
    ttyd_port_t *p = port.p;
    ASSERT_EQ(ttyd_set_stop(p, TTYD_STOP_2), 0);
    const struct termios before = lineSettings(port.end);
    const ttyd_port_t fields = *p;
    struct Case {
        const char *name;
        std::function<int()> call;
    };
    const Case cases[] = {
        {"stop 2", [&] { return ttyd_set_stop(p, ttyd_stop_e(2)); }},
        {"stop -1", [&] { return ttyd_set_stop(p, ttyd_stop_e(-1)); }},
        {"baud max", [&] { return ttyd_set_baud(p, TTYD_BAUD_MAX); }},
        {"baud -1", [&] { return ttyd_set_baud(p, ttyd_baud_e(-1)); }},
        {"data max", [&] { return ttyd_set_data(p, TTYD_DATA_MAX); }},
        {"parity max", [&] { return ttyd_set_parity(p, TTYD_PARITY_MAX); }},
        {"flow 77", [&] { return ttyd_set_flow(p, ttyd_flow_e(77)); }},
    };
    LogCapture cap;
    for (const Case &c : cases)
        EXPECT_EQ(c.call(), TTYD_ERR_UNKNOWN) << c.name;
    EXPECT_EQ(cap.lines().size(), 0u) << cap.text();
    const struct termios after = lineSettings(port.end);
    EXPECT_EQ(memcmp(&before, &after, sizeof before), 0);
    EXPECT_EQ(p->baud, fields.baud);
    EXPECT_EQ(p->data, fields.data);
    EXPECT_EQ(p->stop, TTYD_STOP_2);
    EXPECT_EQ(p->flow, fields.flow);
    EXPECT_EQ(p->parity, fields.parity);
}

// Raw mode replaces the line's settings; ttyd_end gives the old ones back.
TEST(TtydSettings, RawModeAndRestoreAtEnd)
{
    PtyEnd end;
    {
        int fd = open(end.slaveName().c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(fd, 0);
        struct termios t;
        tcgetattr(fd, &t);
        t.c_lflag |= ICANON | ECHO | ISIG;
        t.c_oflag |= OPOST;
        t.c_iflag |= ICRNL;
        tcsetattr(fd, TCSANOW, &t);
        close(fd);
    }
    ttyd_port_t *p = ttyd_init();
    ttyd_set_device(p, end.path().c_str());
    ASSERT_EQ(ttyd_open(p, false), 0);
    const struct termios opened = lineSettings(end);
    ASSERT_EQ(ttyd_termios(p), 0);
    struct termios raw = lineSettings(end);
    EXPECT_EQ(raw.c_oflag, 0u);
    EXPECT_EQ(raw.c_iflag, tcflag_t(BRKINT | IGNPAR));
    EXPECT_EQ(raw.c_cflag & (CLOCAL | CREAD), tcflag_t(CLOCAL | CREAD));
    EXPECT_EQ(raw.c_lflag & (ISIG | ICANON | ECHO | ECHOE), 0u);
    EXPECT_EQ(raw.c_cc[VMIN], 1);
    EXPECT_EQ(raw.c_cc[VTIME], 0);
    EXPECT_EQ(raw.c_cc[VINTR], 0);
    EXPECT_EQ(raw.c_cc[VSTOP], 0);
    ASSERT_EQ(ttyd_end(p), 0);   // frees p
    struct termios back = lineSettings(end);
    EXPECT_EQ(back.c_lflag, opened.c_lflag);
    EXPECT_EQ(back.c_iflag, opened.c_iflag);
    EXPECT_EQ(back.c_oflag, opened.c_oflag);
    EXPECT_TRUE(back.c_lflag & ICANON);
}

TEST(TtydRead, ZeroLengthReturnsAtOnce)
{
    OpenPort port;
    const uint8 b[2] = {7, 8};
    ASSERT_TRUE(port.end.write(b, 2));
    ASSERT_TRUE(port.end.waitPendingVisible(1000));
    uint8 buf[2];
    uint32 n = 5;
    int64_t t0 = nowUs();
    EXPECT_EQ(ttyd_read_timeout(port.p, buf, 0, &n, 1000), 0);
    EXPECT_LT(nowUs() - t0, 5000);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(port.end.pendingToProgram(), 2);
}

// Four of ten bytes are there, then nothing: -9 after the time-out, with the
// four bytes kept and counted.
TEST(TtydRead, PartialThenSilenceTimesOut)
{
    OpenPort port;
    const uint32 timeout = 100;
    const uint8 four[4] = {0x10, 0x20, 0x30, 0x40};
    ASSERT_TRUE(port.end.write(four, 4));
    ASSERT_TRUE(port.end.waitPendingVisible(1000));
    uint8 buf[10] = {0};
    uint32 n = 0;
    int64_t t0 = nowUs();
    int rc = ttyd_read_timeout(port.p, buf, 10, &n, timeout);
    int64_t wall = nowUs() - t0;
    EXPECT_EQ(rc, TTYD_ERR_TIMEOUT);
    EXPECT_EQ(n, 4u);
    EXPECT_EQ(memcmp(buf, four, 4), 0);
    EXPECT_GE(wall, int64_t(timeout) * 1000);
    EXPECT_LT(wall, int64_t(timeout) * 1000 + 400000);
}

// One byte every (time-out - 5 ms): the silence never reaches the time-out, so
// the read completes although the whole reception lasts many time-outs. A
// time-out that did not restart with every byte fails every attempt; on a loaded
// machine a single attempt can miss its 5 ms margin (late writer, late pty
// hand-over), so a few attempts are allowed.
TEST(TtydRead, ChunksJustInsideTheTimeoutNeverTimeOut)
{
    const uint32 timeout = 60;
    const int64_t gapUs = (int64_t(timeout) - 5) * 1000;
    const int count = 6;
    std::string failures;
    bool allLate = true;
    for (int attempt = 0; attempt < 5; ++attempt) {
        OpenPort port;
        std::vector<int64_t> stamps;
        std::thread w([&] {
            // A punctual far end where the machine allows it (root); otherwise
            // late writes are recognised below.
            struct sched_param sp;
            sp.sched_priority = 10;
            pthread_setschedparam(pthread_self(), SCHED_FIFO, &sp);
            int64_t t0 = nowUs();
            for (int i = 0; i < count; ++i) {
                sleepUntilUs(t0 + (i + 1) * gapUs);
                uint8 b = uint8(0xA0 + i);
                port.end.write(&b, 1);
                stamps.push_back(nowUs());
            }
        });
        int64_t t0 = nowUs();
        uint8 buf[count] = {0};
        uint32 n = 0;
        int rc = ttyd_read_timeout(port.p, buf, count, &n, timeout);
        int64_t tEnd = nowUs();
        w.join();
        if (rc == 0) {
            EXPECT_EQ(n, uint32(count));
            for (int i = 0; i < count; ++i)
                EXPECT_EQ(buf[i], 0xA0 + i);
            EXPECT_GT(tEnd - t0, 3 * int64_t(timeout) * 1000);   // far longer than one time-out
            EXPECT_LT(tEnd - stamps.back(), 50000);               // ends with the last byte
            return;
        }
        bool writerLate = stamps.size() != size_t(count) || stamps.front() - t0 >= int64_t(timeout - 1) * 1000;
        for (size_t i = 1; i < stamps.size(); ++i)
            writerLate = writerLate || stamps[i] - stamps[i - 1] >= int64_t(timeout - 1) * 1000;
        failures += "attempt " + std::to_string(attempt) + ": " + std::to_string(rc) + " after " +
                    std::to_string(n) + " bytes" + (writerLate ? " (writer late)" : "") + "\n";
        allLate = allLate && writerLate;
    }
    if (allLate)
        GTEST_SKIP() << "the far end missed its schedule in every attempt (machine overloaded)\n" << failures;
    FAIL() << failures;
}

// Reads take only what is wanted and end as soon as it is there.
TEST(TtydRead, TakesExactlyTheWantedCount)
{
    OpenPort port;
    std::vector<uint8_t> ten;
    for (int i = 0; i < 10; ++i)
        ten.push_back(uint8_t(i));
    ASSERT_TRUE(port.end.write(ten));
    uint8 buf[4];
    uint32 n = 0;
    int64_t t0 = nowUs();
    EXPECT_EQ(ttyd_read_timeout(port.p, buf, 4, &n, 2000), 0);
    EXPECT_LT(nowUs() - t0, 500000);
    EXPECT_EQ(n, 4u);
    EXPECT_EQ(buf[3], 3);
    EXPECT_EQ(port.end.pendingToProgram(), 6);
}

namespace {

int64_t threadSleeps()
{
    struct rusage ru;
    getrusage(RUSAGE_THREAD, &ru);
    return int64_t(ru.ru_nvcsw);
}

ttyd_baud_e baudCode(int baud)
{
    switch (baud) {
    case 9600: return TTYD_BAUD_9600;
    case 115200: return TTYD_BAUD_115200;
    default: return TTYD_BAUD_MAX;
    }
}

std::vector<uint8_t> pattern(size_t n)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = uint8_t(i * 7 + 1);
    return v;
}

// The far end writes `data` one byte at a time, paced like a line at `baud`, in a
// thread of its own; the time of its last write is kept.
struct PacedWriter {
    int64_t lastWriteUs = 0;
    std::thread th;
    PacedWriter(PtyEnd &end, const std::vector<uint8_t> &data, int baud, int64_t delayUs = 2000)
        : th([&end, &data, baud, delayUs, this] {
              sleepUntilUs(nowUs() + delayUs);
              end.writePaced(data.data(), data.size(), baud);
              lastWriteUs = nowUs();
          })
    {
    }
    ~PacedWriter() { join(); }
    void join()
    {
        if (th.joinable())
            th.join();
    }
};

} // namespace

// A reply coming in one byte at a time at the port's line rate is read in one call:
// every byte in order, the call ends with the last one, and at 9600 baud the reader
// sleeps about once per 10 ms step of the reply's wire time instead of once per byte. The
// bound allows for a far end that falls behind on a loaded machine (its reply
// then simply lasts longer, with more steps).
TEST(TtydRead, PacedReplyWakesPerStepNotPerByte)
{
    struct Case {
        int baud;
        size_t bytes;
    };
    const Case cases[] = {{9600, 60}, {9600, 300} /* more than the largest minimum count */, {115200, 140}};
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.baud) + " baud, " + std::to_string(c.bytes) + " bytes");
        OpenPort port;
        ASSERT_EQ(ttyd_set_baud(port.p, baudCode(c.baud)), 0);
        const std::vector<uint8_t> data = pattern(c.bytes);
        std::vector<uint8_t> buf(c.bytes + 1, 0xEE);
        uint32 n = 0;
        PacedWriter far(port.end, data, c.baud);
        const int64_t t0 = nowUs();
        const int64_t sleeps0 = threadSleeps();
        const int rc = ttyd_read_timeout(port.p, buf.data(), uint32(c.bytes), &n, 1000);
        const int64_t sleeps = threadSleeps() - sleeps0;
        const int64_t tEnd = nowUs();
        far.join();
        ASSERT_EQ(rc, 0);
        EXPECT_EQ(n, uint32(c.bytes));
        EXPECT_TRUE(std::equal(data.begin(), data.end(), buf.begin()));
        EXPECT_EQ(buf[c.bytes], 0xEE);   // nothing beyond the wanted count
        EXPECT_LT(tEnd - far.lastWriteUs, 50000);
        // At 9600 baud the tail left to a wait on the port is 2 characters; at
        // 115200 it is about 2 ms (23 characters), where a pty wakes the reader once
        // per character again, so only the slow line shows the bound.
        if (c.baud == 9600) {
            const int64_t wallUs = tEnd - t0;
            EXPECT_LE(sleeps, wallUs / 10000 + 10) << "over " << wallUs << " us";
            EXPECT_LT(sleeps, int64_t(c.bytes) / 3);
        }
    }
}

// Exchanges as a bus master makes them: a query written, a reply read in three
// calls (first byte, header, the rest), the next query a few milliseconds after the
// reply. Each reply is dated by its own characters, not by those of the reply before
// our query (which would make the reader skip the sleep through the wire time and
// wait on the port, woken per character), and not by the last character read when
// the port hands over fewer than it reports waiting (a pty gives at most 64 a read;
// the reader would then sleep past the end). So each read ends just after the last
// character, with a few dozen wake-ups for 140 characters at 115200 baud.
TEST(TtydRead, EveryReplyOfAnExchangeIsDatedOnItsOwn)
{
    OpenPort port;
    ASSERT_EQ(ttyd_set_baud(port.p, TTYD_BAUD_115200), 0);
    const std::vector<uint8_t> reply = pattern(140);
    const std::vector<uint8_t> query = pattern(12);
    std::vector<int64_t> lateUs, sleeps;
    for (int k = 0; k < 7; ++k) {
        uint32 w = 0;
        ASSERT_EQ(ttyd_write(port.p, query.data(), uint32(query.size()), &w), 0);
        // The far end answers after the query's wire time and a short turnaround.
        PacedWriter far(port.end, reply, 115200, 1500);
        std::vector<uint8_t> buf(reply.size(), 0);
        uint32 n1 = 0, n2 = 0, n3 = 0;
        const int64_t sleeps0 = threadSleeps();
        ASSERT_EQ(ttyd_read_timeout(port.p, buf.data(), 1, &n1, 1000), 0);
        ASSERT_EQ(ttyd_read_timeout(port.p, buf.data() + 1, 6, &n2, 1000), 0);
        ASSERT_EQ(ttyd_read_timeout(port.p, buf.data() + 7, uint32(reply.size() - 7), &n3, 1000), 0);
        const int64_t tEnd = nowUs();
        sleeps.push_back(threadSleeps() - sleeps0);
        far.join();
        lateUs.push_back(tEnd - far.lastWriteUs);
        EXPECT_TRUE(std::equal(reply.begin(), reply.end(), buf.begin()));
        port.end.drain();
    }
    std::sort(lateUs.begin(), lateUs.end());
    std::sort(sleeps.begin(), sleeps.end());
    EXPECT_LT(lateUs[lateUs.size() / 2], 1500) << "median time from the last character to the end of the read";
    EXPECT_LT(sleeps[sleeps.size() / 2], 50) << "median wake-ups of one reply";
}

// A reply that stops half-way while the reader sleeps through its wire time: the
// bytes that came are kept and counted, and the time-out still runs from the last
// of them: not sooner, and at most one step (plus scheduling) later.
TEST(TtydRead, PacedReplyStoppingHalfWayTimesOutAfterTheSilence)
{
    OpenPort port;
    ASSERT_EQ(ttyd_set_baud(port.p, TTYD_BAUD_9600), 0);
    const uint32 timeout = 100;
    const std::vector<uint8_t> data = pattern(25);
    std::vector<uint8_t> buf(60, 0);
    uint32 n = 0;
    PacedWriter far(port.end, data, 9600);
    const int rc = ttyd_read_timeout(port.p, buf.data(), 60, &n, timeout);
    const int64_t tEnd = nowUs();
    far.join();
    EXPECT_EQ(rc, TTYD_ERR_TIMEOUT);
    EXPECT_EQ(n, 25u);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), buf.begin()));
    EXPECT_GE(tEnd - far.lastWriteUs, int64_t(timeout) * 1000);
    EXPECT_LT(tEnd - far.lastWriteUs, int64_t(timeout) * 1000 + 10000 + 100000);
}

// A wait for input after a read of a frame's first part (which leaves the port's
// minimum-characters setting at the count that read last waited for: here the far
// end is slower than the line rate, so the read waits on the port for the last
// characters) ends at the first character that comes, not once that many are in;
// with characters already waiting it ends at once, and after its time it reports
// that nothing came.
TEST(TtydWait, FirstCharacterEndsTheWaitWhateverTheLastReadWanted)
{
    OpenPort port;
    ASSERT_EQ(ttyd_set_baud(port.p, TTYD_BAUD_9600), 0);
    const std::vector<uint8_t> header = pattern(7);
    std::vector<uint8_t> buf(16, 0);
    uint32 n = 0;
    {
        PacedWriter far(port.end, header, 2400);
        EXPECT_EQ(ttyd_read_timeout(port.p, buf.data(), 7, &n, 1000), 0);
    }
    EXPECT_EQ(n, 7u);
    ASSERT_GT(lineSettings(port.end).c_cc[VMIN], 1) << "the read left no minimum count: nothing to show";

    const int64_t t0 = nowUs();
    EXPECT_EQ(ttyd_wait_input(port.p, 100), 0);
    EXPECT_GE(nowUs() - t0, 90000);

    const std::vector<uint8_t> one = pattern(1);
    PacedWriter far(port.end, one, 9600, 50000);
    const int64_t t1 = nowUs();
    EXPECT_EQ(ttyd_wait_input(port.p, 3000), 1);
    const int64_t waited = nowUs() - t1;
    EXPECT_GE(waited, 40000);
    EXPECT_LT(waited, 1000000) << "the wait held out for more characters than the first";
    far.join();
    const int64_t t2 = nowUs();
    EXPECT_EQ(ttyd_wait_input(port.p, 3000), 1);   // already waiting: at once
    EXPECT_LT(nowUs() - t2, 100000);
    EXPECT_EQ(ttyd_read_timeout(port.p, buf.data(), 1, &n, 100), 0);
}

// The waits of the read path leave the port as the rest of the layer expects: a
// byte that came after the wanted ones is still seen by the late-reply guard and
// is read at once by the next call, and ttyd_end gives the line its old settings
// back.
TEST(TtydRead, AfterAPacedReadTheGuardSeesTheNextByteAndEndRestores)
{
    PtyEnd end;
    const struct termios opened = lineSettings(end);
    ttyd_port_t *p = ttyd_init();
    ttyd_set_device(p, end.path().c_str());
    ASSERT_EQ(ttyd_open(p, false), 0);
    ASSERT_EQ(ttyd_termios(p), 0);
    ASSERT_EQ(ttyd_set_baud(p, TTYD_BAUD_9600), 0);
    const std::vector<uint8_t> data = pattern(41);
    std::vector<uint8_t> buf(40, 0);
    uint32 n = 0;
    {
        PacedWriter far(end, data, 9600);
        ASSERT_EQ(ttyd_read_timeout(p, buf.data(), 40, &n, 1000), 0);
    }
    ASSERT_TRUE(end.waitPendingVisible(1000));
    {
        LogCapture cap;
        const uint8 reply[3] = {1, 2, 3};
        uint32 wl = 9;
        EXPECT_EQ(ttyd_write(p, reply, 3, &wl), TTYD_ERR_WRITE);
        EXPECT_EQ(wl, 0u);
        EXPECT_EQ(cap.count("in ritardo"), 1) << cap.text();
    }
    uint8 last = 0;
    const int64_t t0 = nowUs();
    EXPECT_EQ(ttyd_read_timeout(p, &last, 1, &n, 1000), 0);
    EXPECT_LT(nowUs() - t0, 5000);
    EXPECT_EQ(last, data.back());
    ASSERT_EQ(ttyd_end(p), 0);
    const struct termios back = lineSettings(end);
    EXPECT_EQ(back.c_cc[VMIN], opened.c_cc[VMIN]);
    EXPECT_EQ(back.c_lflag, opened.c_lflag);
}

// Waiting for bytes that do not come costs no measurable processor time.
TEST(TtydRead, SilentWaitDoesNotSpin)
{
    OpenPort port;
    uint8 buf[8];
    uint32 n = 0;
    int64_t cpu0 = threadCpuUs();
    int64_t t0 = nowUs();
    EXPECT_EQ(ttyd_read_timeout(port.p, buf, 8, &n, 400), TTYD_ERR_TIMEOUT);
    int64_t wall = nowUs() - t0;
    int64_t cpu = threadCpuUs() - cpu0;
    EXPECT_GE(wall, 400000 - 1000);
    EXPECT_LT(cpu, 40000) << "cpu " << cpu << " us over " << wall << " us";
}

// The far end closes while a read waits: an error at once, no spin, no hang.
TEST(TtydRead, FarEndVanishingEndsTheRead)
{
    OpenPort port;
    std::thread w([&] {
        sleepUntilUs(nowUs() + 50000);
        port.end.closeMaster();
    });
    LogCapture cap;
    uint8 buf[8];
    uint32 n = 0;
    int64_t t0 = nowUs();
    int rc = ttyd_read_timeout(port.p, buf, 8, &n, 3000);
    int64_t wall = nowUs() - t0;
    w.join();
    EXPECT_EQ(rc, TTYD_ERR_IOCTL);
    EXPECT_LT(wall, 1000000);
    EXPECT_TRUE(cap.contains(devLine(port.end, "ioctl error -> errno: 5 strerror: Input/output error\n")))
        << cap.text();
    // The same for a write on the dead line.
    uint32 wl = 9;
    const uint8 b[1] = {1};
    EXPECT_EQ(ttyd_write(port.p, b, 1, &wl), TTYD_ERR_IOCTL);
    EXPECT_EQ(wl, 0u);
}

TEST(TtydWrite, WritesAndReportsTheCount)
{
    OpenPort port;
    LogCapture cap;
    const uint8 msg[5] = {'h', 'e', 'l', 'l', 'o'};
    uint32 wl = 0;
    ASSERT_EQ(ttyd_write(port.p, msg, 5, &wl), 0);
    EXPECT_EQ(wl, 5u);
    EXPECT_EQ(port.end.read(16, 1000), std::vector<uint8_t>(msg, msg + 5));
    const std::string ready =
        devLine(port.end, "Risposta preparata, caratteri nel frattempo arrivati in ingresso: 0 [da inviare 5] !!\n");
    EXPECT_EQ(cap.contains(" Err (ttyd_write): " + ready), !profile::modular) << cap.text();
    EXPECT_EQ(cap.lines().size(), profile::modular ? 0u : 1u);
    EXPECT_EQ(ttyd_write_complete(port.p), 0);
}

// A reply is never sent once the other side has started talking again.
TEST(TtydWrite, RefusedWhileInputIsPending)
{
    OpenPort port;
    const uint8 early = 0x55;
    ASSERT_TRUE(port.end.write(&early, 1));
    ASSERT_TRUE(port.end.waitPendingVisible(1000));
    LogCapture cap;
    const uint8 reply[4] = {1, 2, 3, 4};
    uint32 wl = 7;
    EXPECT_EQ(ttyd_write(port.p, reply, 4, &wl), TTYD_ERR_WRITE);
    EXPECT_EQ(wl, 0u);
    EXPECT_TRUE(port.end.read(16, 50).empty());
    if (profile::modular) {
        EXPECT_TRUE(cap.contains(devLine(
            port.end, "Risposta preparata in ritardo, altri caratteri sono nel frattempo arrivati in ingresso!!\n")))
            << cap.text();
        EXPECT_EQ(cap.lines().size(), 1u);
    } else {
        EXPECT_TRUE(cap.contains(devLine(
            port.end, "Risposta preparata, caratteri nel frattempo arrivati in ingresso: 1 [da inviare 4] !!\n")))
            << cap.text();
        EXPECT_TRUE(cap.contains(devLine(
            port.end, "Risposta preparata in ritardo, altri caratteri sono nel frattempo arrivati in ingresso: 1!!\n")))
            << cap.text();
        EXPECT_EQ(cap.lines().size(), 2u);
    }
    EXPECT_EQ(port.end.pendingToProgram(), 1);   // the early byte is still there to read
}

namespace {
ssize_t failingWrite(int, const void *, size_t)
{
    errno = EIO;
    return -1;
}
struct WriteFnGuard {
    explicit WriteFnGuard(ttyd_write_fn fn) { ttyd_set_write_fn(fn); }
    ~WriteFnGuard() { ttyd_set_write_fn(nullptr); }
};
} // namespace

TEST(TtydWrite, DriverErrorIsReported)
{
    OpenPort port;
    WriteFnGuard g(failingWrite);
    LogCapture cap;
    const uint8 b[3] = {1, 2, 3};
    uint32 wl = 3;
    EXPECT_EQ(ttyd_write(port.p, b, 3, &wl), TTYD_ERR_WRITE);
    EXPECT_EQ(wl, 0u);
    EXPECT_TRUE(cap.contains(devLine(port.end, "errno: 5 strerror: Input/output error TTYD_ERR_WRITE\n")))
        << cap.text();
}

TEST(TtydPort, FlushBreakAndIoctl)
{
    OpenPort port;
    const uint8 b[6] = {1, 2, 3, 4, 5, 6};
    ASSERT_TRUE(port.end.write(b, 6));
    ASSERT_TRUE(port.end.waitPendingVisible(1000));
    int v = 0;
    EXPECT_EQ(ttyd_ioctl(port.p, FIONREAD, &v), 0);
    EXPECT_EQ(v, 6);
    EXPECT_EQ(ttyd_flush(port.p), 0);
    EXPECT_EQ(port.end.pendingToProgram(), 0);
    EXPECT_EQ(ttyd_sendbreak(port.p), 0);   // a pty takes a break without effect
    char rs[64];
    EXPECT_EQ(ttyd_ioctl(port.p, 0x542E /* TIOCGRS485 */, rs), TTYD_ERR_IOCTL);
}

// The controlling terminal can only be taken by a session leader; run both
// outcomes in child processes so that this test process keeps its own terminal.
TEST(TtydPort, SetCtrlTerm)
{
    PtyEnd end;
    auto runChild = [&](bool leader) {
        pid_t pid = fork();
        if (pid == 0) {
            if (leader)
                setsid();
            ttyd_port_t *p = ttyd_init();
            ttyd_set_device(p, end.path().c_str());
            int rc = ttyd_open(p, false) == 0 ? ttyd_SetCtrlTerm(p) : -100;
            _exit(rc == 0 ? 0 : (rc == -1 ? 1 : 2));
        }
        int st = 0;
        waitpid(pid, &st, 0);
        return WIFEXITED(st) ? WEXITSTATUS(st) : 3;
    };
    EXPECT_EQ(runChild(false), 1);   // not a session leader: -1
    EXPECT_EQ(runChild(true), 0);
}
