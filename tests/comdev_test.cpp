// Channel layer against real pseudo-terminals.
#include "ComDev.h"
#include "PtyBench.h"
#include "Profile.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <termios.h>
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

void sleepMsReal(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

std::string line(const char *level, const char *func, const std::string &text)
{
    return std::string("DevMgr/ComDev ") + level + " (" + func + "): " + text;
}

speed_t lineSpeed(const PtyEnd &end)
{
    struct termios t;
    memset(&t, 0, sizeof t);
    int fd = open(end.slaveName().c_str(), O_RDWR | O_NOCTTY);
    if (fd >= 0) {
        tcgetattr(fd, &t);
        close(fd);
    }
    return cfgetospeed(&t);
}

int openFdCount()
{
    int n = 0;
    DIR *d = opendir("/proc/self/fd");
    while (struct dirent *e = d ? readdir(d) : nullptr)
        if (e->d_name[0] != '.')
            ++n;
    if (d)
        closedir(d);
    return n - 1;   // the directory's own descriptor
}

// A pty exposed under a fixed name (device-table rows). Another test run may hold
// the same name for a moment: wait for it. Null when the name stays taken or is
// a real device of this machine.
std::unique_ptr<PtyEnd> acquireNamed(const std::string &path)
{
    const int64_t end = nowUs() + 15000000;
    for (;;) {
        try {
            return std::unique_ptr<PtyEnd>(new PtyEnd(path));
        } catch (const std::exception &) {
            struct stat st;
            if (lstat(path.c_str(), &st) == 0 && !S_ISLNK(st.st_mode))
                return nullptr;
            if (nowUs() > end)
                return nullptr;
            sleepMsReal(50);
        }
    }
}

// Every test starts and ends with a free channel table.
class ComDevTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (uint8 ch = 0; ch < COMDEV_MAX_CHANNELS; ++ch)
            ASSERT_EQ(ComDev_Port(ch), nullptr) << "channel " << int(ch) << " left open";
    }
    void TearDown() override
    {
        for (uint8 ch = 0; ch < COMDEV_MAX_CHANNELS; ++ch)
            if (ComDev_Port(ch))
                ComDev_End(ch);
    }
};

using ComDevInit = ComDevTest;
using ComDevIo = ComDevTest;
using ComDevBadInput = ComDevTest;

} // namespace

TEST_F(ComDevInit, LowestFreeChannelAndReuse)
{
    PtyEnd a, b, c;
    LogCapture cap;
    EXPECT_EQ(ComDev_Init(a.path().c_str(), 9600, true), 0);
    EXPECT_EQ(ComDev_Init(b.path().c_str(), 9600, false), 1);
    EXPECT_TRUE(cap.contains(line("", "ComDev_Init", "Trovato canale libero, indice:0\n")));
    EXPECT_TRUE(cap.contains(line("", "ComDev_Init", "Trovato canale libero, indice:1\n")));
    ASSERT_NE(ComDev_Port(0), nullptr);
    EXPECT_STREQ(ComDev_Port(0)->dev, a.path().c_str());
    EXPECT_TRUE(ComDev_Port(0)->wDBG);
    EXPECT_FALSE(ComDev_Port(1)->wDBG);
    EXPECT_TRUE(ttyd_port_open(ComDev_Port(1)));
    EXPECT_EQ(ComDev_End(0), 0);
    EXPECT_EQ(ComDev_Port(0), nullptr);
    EXPECT_EQ(ComDev_Init(c.path().c_str(), 9600, true), 0);
    EXPECT_STREQ(ComDev_Port(0)->dev, c.path().c_str());
    EXPECT_EQ(ComDev_End(0), 0);
    EXPECT_EQ(ComDev_End(1), 0);
    EXPECT_EQ(ComDev_End(1), -1);
    EXPECT_TRUE(cap.contains(line("Err", "ComDev_End", "Canale non inizializzato, ch:1\n")));
}

TEST_F(ComDevInit, FifthChannelRefused)
{
    PtyEnd e[5];
    for (uint8 i = 0; i < 4; ++i)
        ASSERT_EQ(ComDev_Init(e[i].path().c_str(), 9600, true), i);
    LogCapture cap;
    EXPECT_EQ(ComDev_Init(e[4].path().c_str(), 9600, true), COMDEV_NO_CHANNEL);
    EXPECT_TRUE(cap.contains(line("Err", "ComDev_Init", "Non e' disponibile un canale libero!\n")));
    // The refused device was not touched: bytes written to it stay unread.
    const uint8 b = 1;
    ASSERT_TRUE(e[4].write(&b, 1));
    ASSERT_TRUE(e[4].waitPendingVisible(1000));
    EXPECT_EQ(e[4].pendingToProgram(), 1);
}

TEST_F(ComDevInit, PathsThatAreRefused)
{
    PtyEnd tty;
    PtyEnd tnt(PtyEnd::uniqueLinkName("/dev/tntTVK"));
    const std::string tooLong = "/dev/ttyTVK" + std::string(40, 'z');
    struct Case {
        const char *name;
        const char *path;
        bool accepted;
        const char *message;
    };
    const Case cases[] = {
        {"pts name", tty.slaveName().c_str(), false, "Tipo di dispositivo non supportato!\n"},
        {"null", nullptr, false, "Tipo di dispositivo non supportato!\n"},
        {"empty", "", false, "Tipo di dispositivo non supportato!\n"},
        {"short prefix", "/dev/tt", false, "Tipo di dispositivo non supportato!\n"},
        {"tnt", tnt.path().c_str(), !profile::modular,
         profile::modular ? "Tipo di dispositivo non supportato!\n" : "Nessuna ttyZQ in uso!!!\n"},
        {"missing", "/dev/ttyTVKmissing", false, "Errore apertura device\n"},
        {"too long", tooLong.c_str(), false, "Nome del dispositivo troppo lungo"},
    };
    for (const Case &c : cases) {
        LogCapture cap;
        uint8 ch = ComDev_Init(c.path, 9600, true);
        EXPECT_TRUE(cap.contains(c.message)) << c.name << "\n" << cap.text();
        if (c.accepted) {
            EXPECT_EQ(ch, 0) << c.name;
            EXPECT_EQ(ComDev_End(ch), 0);
        } else {
            EXPECT_EQ(ch, COMDEV_NO_CHANNEL) << c.name;
            EXPECT_EQ(ComDev_Port(0), nullptr) << c.name;   // a failed start leaves the entry free
        }
    }
}

// Any accepted path outside the device table works without RS-485 settings.
TEST_F(ComDevIo, UnknownDeviceWorks)
{
    PtyEnd end;
    LogCapture cap;
    uint8 ch = ComDev_Init(end.path().c_str(), 19200, true);
    ASSERT_EQ(ch, 0);
    EXPECT_TRUE(cap.contains(line("War", "ComDev_Init", "Nessuna ttyZQ in uso!!!\n")));
    EXPECT_FALSE(cap.contains("ANTE"));
    const uint8 q[3] = {0x02, 'Q', 0x03};
    EXPECT_EQ(ComDev_Send(ch, q, 3), 0);
    EXPECT_EQ(end.read(8, 1000), std::vector<uint8_t>(q, q + 3));
    const std::vector<uint8_t> r = {0x02, 'R', 'X', 0x03};
    ASSERT_TRUE(end.write(r));
    uint8 buf[4] = {0};
    EXPECT_EQ(ComDev_Rcv(ch, buf, 4, 1000), 4);
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + 4), r);
}

TEST_F(ComDevInit, Rs485SettingsByDeviceName)
{
    struct Row {
        const char *path;
        const char *level;   // null: no message
        const char *message;
        int flags;           // -1: no RS-485 change
    };
#if defined(TVK_MODULAR)
    const Row rows[] = {
        {"/dev/ttyZQ1", "", "ttyZQ1 in uso\n", 5},  {"/dev/ttyZQ2", "", "ttyZQ2 in uso\n", 5},
        {"/dev/ttyZQ3", nullptr, nullptr, -1},      {"/dev/ttyZQ4", "", "ttyZQ4 in uso\n", 3},
        {"/dev/ttyUSB0", "War", "Nessuna ttyZQ in uso!!!\n", -1},
        {"/dev/ttySTM2", "War", "Nessuna ttyZQ in uso!!!\n", -1},
    };
#else
    const Row rows[] = {
        {"/dev/ttyUSB0", "", "ttyZQ1 in uso\n", 5},
        {"/dev/ttyZQ2", "", "ttyZQ2 in uso\n", 5},
        {"/dev/ttyZQ3", "Dbg", "ttyZQ3 in uso solo 232!\n", -1},
        {"/dev/ttyZQ4", "", "ttyZQ4 in uso\n", 3},
        {"/dev/ttySTM2", "", "ttySTM2 in uso\n", 3},
        {"/dev/ttyZQ1", "War", "Nessuna ttyZQ in uso!!!\n", -1},
    };
#endif
    int tested = 0;
    for (const Row &r : rows) {
        std::unique_ptr<PtyEnd> end = acquireNamed(r.path);
        if (!end)
            continue;   // a real device of this machine, or held by another run
        ++tested;
        LogCapture cap;
        uint8 ch = ComDev_Init(r.path, 9600, true);
        ASSERT_EQ(ch, 0) << r.path;
        std::vector<std::string> lines = cap.lines();
        ComDev_End(ch);
        // Lines after "Trovato canale libero": the device message and the RS-485 pair.
        std::vector<std::string> rest;
        for (const auto &l : lines)
            if (l.find("Trovato canale libero") == std::string::npos)
                rest.push_back(l);
        std::vector<std::string> want;
        if (r.message)
            want.push_back(line(r.level, "ComDev_Init", r.message));
        if (r.flags >= 0) {
            // A pty rejects the RS-485 requests; the log shows what was asked for.
            want.push_back(line("", "ComDev_Init", "ANTE - flags:0 delay_before_send:0 delay_after_send:0\n"));
            want.push_back(line("", "ComDev_Init",
                                "POST - flags:" + std::to_string(r.flags) + " delay_before_send:1 delay_after_send:1\n"));
        }
        ASSERT_EQ(rest.size(), want.size()) << r.path << "\n" << cap.text();
        for (size_t i = 0; i < want.size(); ++i)
            EXPECT_NE(rest[i].find(want[i]), std::string::npos) << r.path << ": " << rest[i];
    }
    if (tested == 0)
        GTEST_SKIP() << "no device name of the table could be taken";
}

TEST_F(ComDevInit, BaudRateMapping)
{
    PtyEnd end;
    struct Case {
        int baud;
        speed_t speed;
        ttyd_baud_e value;
        bool fallback;
    };
    const Case cases[] = {
        {1200, B1200, TTYD_BAUD_1200, false},     {2400, B2400, TTYD_BAUD_2400, false},
        {4800, B4800, TTYD_BAUD_4800, false},     {9600, B9600, TTYD_BAUD_9600, false},
        {19200, B19200, TTYD_BAUD_19200, false},  {38400, B38400, TTYD_BAUD_38400, false},
        {57600, B57600, TTYD_BAUD_57600, false},  {115200, B115200, TTYD_BAUD_115200, false},
        {1000, B9600, TTYD_BAUD_9600, true},      {0, B9600, TTYD_BAUD_9600, true},
        {-9600, B9600, TTYD_BAUD_9600, true},     {230400, B9600, TTYD_BAUD_9600, true},
    };
    for (const Case &c : cases) {
        LogCapture cap;
        uint8 ch = ComDev_Init(end.path().c_str(), c.baud, true);
        ASSERT_EQ(ch, 0) << c.baud;
        EXPECT_EQ(ComDev_Port(ch)->baud, c.value) << c.baud;
        EXPECT_EQ(lineSpeed(end), c.speed) << c.baud;
        EXPECT_EQ(cap.contains(line("Err", "ComDev_Init", "Valore non contemplato! Imposto 9600\n")), c.fallback)
            << c.baud;
        EXPECT_EQ(ComDev_End(ch), 0);
    }
}

namespace {
// The driver takes 8 bytes of the first write and everything after: a short
// write cannot be produced on a pty, so the port layer's write call is replaced.
std::vector<std::pair<size_t, std::vector<uint8_t>>> g_calls;
int g_shortFirst = 8;
ssize_t shortFirstWrite(int fd, const void *buf, size_t len)
{
    const uint8_t *b = static_cast<const uint8_t *>(buf);
    size_t take = g_calls.empty() ? std::min(len, size_t(g_shortFirst)) : len;
    g_calls.emplace_back(len, std::vector<uint8_t>(b, b + len));
    return ::write(fd, buf, take);
}
ssize_t takesNothing(int, const void *, size_t)
{
    g_calls.emplace_back(0, std::vector<uint8_t>());
    return 0;
}
struct WriteFnGuard {
    explicit WriteFnGuard(ttyd_write_fn fn)
    {
        g_calls.clear();
        ttyd_set_write_fn(fn);
    }
    ~WriteFnGuard() { ttyd_set_write_fn(nullptr); }
};
} // namespace

TEST_F(ComDevIo, SendRepeatsAShortWriteWithTheRest)
{
    PtyEnd end;
    uint8 ch = ComDev_Init(end.path().c_str(), 9600, false);
    ASSERT_EQ(ch, 0);
    std::vector<uint8_t> frame(20);
    for (size_t i = 0; i < frame.size(); ++i)
        frame[i] = uint8_t(0x40 + i);
    LogCapture cap;
    {
        WriteFnGuard g(shortFirstWrite);
        EXPECT_EQ(ComDev_Send(ch, frame.data(), 20), 0);
        ASSERT_EQ(g_calls.size(), 2u);
        EXPECT_EQ(g_calls[0].first, 20u);
        EXPECT_EQ(g_calls[1].first, 12u);
        EXPECT_EQ(g_calls[1].second, std::vector<uint8_t>(frame.begin() + 8, frame.end()));
    }
    EXPECT_EQ(end.read(64, 1000), frame);
    EXPECT_EQ(cap.contains(line("Dbg", "ComDev_Send", "eccoci! scritti 8 byte su 12 richiesti\n")), !profile::modular);
    EXPECT_EQ(cap.contains(line("Dbg", "ComDev_Send", "eccoci! scritti 12 byte: 0 rimanenti\n")), !profile::modular);
}

TEST_F(ComDevIo, SendFailures)
{
    PtyEnd end;
    uint8 ch = ComDev_Init(end.path().c_str(), 9600, false);
    ASSERT_EQ(ch, 0);
    const uint8 q[4] = {1, 2, 3, 4};
    const std::string failLine = profile::modular ? "errore in scrittura\n" : "errore in scrittura: err=-7\n";
    {
        // A driver that takes nothing must not keep the sender looping.
        WriteFnGuard g(takesNothing);
        LogCapture cap;
        EXPECT_EQ(ComDev_Send(ch, q, 4), -1);
        EXPECT_EQ(g_calls.size(), 1u);
        EXPECT_TRUE(cap.contains(line("Err", "ComDev_Send", failLine))) << cap.text();
    }
    {
        // The other side already talks: the reply is dropped, nothing is sent.
        const uint8 early = 0x7E;
        ASSERT_TRUE(end.write(&early, 1));
        ASSERT_TRUE(end.waitPendingVisible(1000));
        LogCapture cap;
        EXPECT_EQ(ComDev_Send(ch, q, 4), -1);
        EXPECT_TRUE(cap.contains(line("Err", "ComDev_Send", failLine))) << cap.text();
        EXPECT_TRUE(cap.contains("Risposta preparata in ritardo"));
        EXPECT_TRUE(end.read(8, 50).empty());
    }
    EXPECT_EQ(ComDev_Send(ch, q, 0), 0);
}

TEST_F(ComDevIo, ReceivePartialLogsAndDumps)
{
    PtyEnd end;
    uint8 ch = ComDev_Init(end.path().c_str(), 9600, true);
    ASSERT_EQ(ch, 0);
    const std::vector<uint8_t> six = {0x02, 0x41, 0xAB, 0x00, 0xFF, 0x0C};
    ASSERT_TRUE(end.write(six));
    uint8 buf[14] = {0};
    LogCapture cap;
    EXPECT_EQ(ComDev_Rcv(ch, buf, 14, 80), -9);
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + 6), six);
    EXPECT_TRUE(cap.contains(line("War", "ComDev_Rcv", "attesi:14 effettivi:6\n"))) << cap.text();
    // The dump of the received bytes is a frame dump: the modular build omits it.
    EXPECT_EQ(cap.contains(line("", "ComDev_Rcv", "rcvBuff\n")), !profile::modular);
    EXPECT_EQ(cap.count("0x02 0x41 0xAB 0x00 0xFF 0x0C \n"), profile::modular ? 0 : 1);
    EXPECT_EQ(cap.contains(line("Dbg", "ComDev_Rcv", "lettura fallita err:-9\n")), !profile::modular);

    // Nothing at all: the code, without the partial-receive lines.
    cap.clear();
    EXPECT_EQ(ComDev_Rcv(ch, buf, 14, 30), -9);
    EXPECT_FALSE(cap.contains("attesi:"));
    EXPECT_FALSE(cap.contains("rcvBuff"));
}

TEST_F(ComDevIo, FlushAndRecovery)
{
    PtyEnd tty;
    uint8 ch = ComDev_Init(tty.path().c_str(), 9600, true);
    ASSERT_EQ(ch, 0);
    const uint8 junk[5] = {9, 9, 9, 9, 9};
    ASSERT_TRUE(tty.write(junk, 5));
    ASSERT_TRUE(tty.waitPendingVisible(1000));
    LogCapture cap;
    ComDev_RecoveryBus(ch);
    EXPECT_TRUE(cap.contains(line("", "ComDev_RecoveryBus", "Invio del carattere BREAK!!!\n")));
    EXPECT_EQ(tty.pendingToProgram(), 0);   // flushed after the break
    ASSERT_TRUE(tty.write(junk, 5));
    ASSERT_TRUE(tty.waitPendingVisible(1000));
    ComDev_FlushQueue(ch);
    EXPECT_EQ(tty.pendingToProgram(), 0);
    EXPECT_FALSE(cap.contains("Err"));
}

TEST_F(ComDevIo, RecoveryRefusedOnTnt)
{
    if (profile::modular)
        GTEST_SKIP() << "the modular card accepts only /dev/tty devices";
    PtyEnd tnt(PtyEnd::uniqueLinkName("/dev/tntTVK"));
    uint8 ch = ComDev_Init(tnt.path().c_str(), 9600, true);
    ASSERT_EQ(ch, 0);
    const uint8 junk[2] = {1, 2};
    ASSERT_TRUE(tnt.write(junk, 2));
    ASSERT_TRUE(tnt.waitPendingVisible(1000));
    LogCapture cap;
    ComDev_RecoveryBus(ch);
    EXPECT_TRUE(cap.contains(line("Err", "ComDev_RecoveryBus", "comando non supportato!\n")));
    EXPECT_FALSE(cap.contains("BREAK"));
    EXPECT_EQ(tnt.pendingToProgram(), 2);   // no flush either
}

TEST_F(ComDevBadInput, ChannelNumbersOutOfRangeOrFree)
{
    uint8 buf[4] = {0};
    for (uint8 ch : {uint8(4), uint8(200), uint8(255), uint8(0)}) {
        const bool free = ch < COMDEV_MAX_CHANNELS;
        const std::string why = free ? "Canale non inizializzato!\n" : "Canale non valido!\n";
        LogCapture cap;
        EXPECT_EQ(ComDev_Send(ch, buf, 4), -1);
        EXPECT_EQ(ComDev_Rcv(ch, buf, 4, 10), -1);
        ComDev_FlushQueue(ch);
        ComDev_RecoveryBus(ch);
        EXPECT_EQ(ComDev_SetCtrlTerm(ch), -1);
        EXPECT_EQ(ComDev_End(ch), -1);
        EXPECT_EQ(ComDev_Port(ch), nullptr);
        for (const char *fn : {"ComDev_Send", "ComDev_Rcv", "ComDev_FlushQueue", "ComDev_RecoveryBus",
                               "ComDev_SetCtrlTerm"})
            EXPECT_TRUE(cap.contains(line("Err", fn, why))) << fn << " ch " << int(ch) << "\n" << cap.text();
        EXPECT_TRUE(cap.contains(line("Err", "ComDev_End", "Canale non inizializzato, ch:" + std::to_string(ch) + "\n")));
    }
}

TEST_F(ComDevBadInput, NullBuffers)
{
    PtyEnd end;
    uint8 ch = ComDev_Init(end.path().c_str(), 9600, true);
    ASSERT_EQ(ch, 0);
    LogCapture cap;
    EXPECT_EQ(ComDev_Send(ch, nullptr, 4), -1);
    EXPECT_EQ(ComDev_Rcv(ch, nullptr, 4, 10), TTYD_ERR_READ);
    EXPECT_EQ(ComDev_Rcv(ch, nullptr, 0, 10), 0);
    EXPECT_TRUE(cap.contains("errore in scrittura"));
    EXPECT_TRUE(cap.contains("read error -> errno: 14"));
    EXPECT_TRUE(end.read(8, 30).empty());
}

// The far end disappears during a receive, during a blocked send, and before the
// channel is closed: negative results and log lines, no hang, nothing leaked.
TEST_F(ComDevBadInput, FarEndVanishes)
{
    {
        PtyEnd end;
        uint8 ch = ComDev_Init(end.path().c_str(), 9600, true);
        ASSERT_EQ(ch, 0);
        std::thread w([&] {
            sleepMsReal(50);
            end.closeMaster();
        });
        uint8 buf[8];
        LogCapture cap;
        int64_t t0 = nowUs();
        int rc = ComDev_Rcv(ch, buf, 8, 5000);
        w.join();
        EXPECT_LT(rc, 0);
        EXPECT_LT(nowUs() - t0, 2000000);
        EXPECT_TRUE(cap.contains("ioctl error -> errno: 5"));
        const int fdsBefore = openFdCount();
        EXPECT_EQ(ComDev_End(ch), 0);
        EXPECT_EQ(openFdCount(), fdsBefore - 1);   // released although its settings could not be restored
        EXPECT_EQ(ComDev_Port(ch), nullptr);
    }
    {
        // A send larger than the line holds blocks until the far end goes away.
        PtyEnd end;
        uint8 ch = ComDev_Init(end.path().c_str(), 9600, false);
        ASSERT_EQ(ch, 0);
        std::vector<uint8_t> big(60000, 0x55);
        std::thread w([&] {
            sleepMsReal(150);
            end.closeMaster();
        });
        LogCapture cap;
        int64_t t0 = nowUs();
        int rc = ComDev_Send(ch, big.data(), uint16(big.size()));
        w.join();
        EXPECT_EQ(rc, -1);
        EXPECT_LT(nowUs() - t0, 3000000);
        EXPECT_TRUE(cap.contains(line("Err", "ComDev_Send", "errore in scrittura"))) << cap.text();
        EXPECT_EQ(ComDev_End(ch), 0);
    }
}

// Two buses open, use and close their own channels from their own threads at the
// same time.
TEST_F(ComDevBadInput, TwoBusThreadsShareTheTable)
{
    std::atomic<int> failures{0};
    auto bus = [&](int id) {
        PtyEnd end;
        for (int i = 0; i < 30; ++i) {
            uint8 ch = ComDev_Init(end.path().c_str(), 9600, id == 0);
            if (ch >= COMDEV_MAX_CHANNELS) {
                ++failures;
                continue;
            }
            const uint8 q[3] = {uint8(id), uint8(i), 0xEE};
            if (ComDev_Send(ch, q, 3) != 0 || end.read(3, 1000) != std::vector<uint8_t>(q, q + 3))
                ++failures;
            const std::vector<uint8_t> r = {uint8(id), uint8(i)};
            uint8 buf[2];
            if (!end.write(r) || ComDev_Rcv(ch, buf, 2, 1000) != 2 || std::vector<uint8_t>(buf, buf + 2) != r)
                ++failures;
            if (ComDev_End(ch) != 0)
                ++failures;
        }
    };
    LogCapture quiet;   // keep the many start lines out of the test output
    std::thread t1(bus, 0), t2(bus, 1);
    t1.join();
    t2.join();
    EXPECT_EQ(failures.load(), 0);
    for (uint8 ch = 0; ch < COMDEV_MAX_CHANNELS; ++ch)
        EXPECT_EQ(ComDev_Port(ch), nullptr);
}
