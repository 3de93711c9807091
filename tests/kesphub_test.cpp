// The cabinet-bus hub of the bench: its framing and check code, the stream
// scanner of its tap, delivery to every port but the writer, pacing at the
// line rate, collisions, the tap, and ports whose far end vanishes.
#include "KespHub.h"
#include "KespWire.h"
#include "PtyBench.h"
#include "crc.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <sys/stat.h>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <termios.h>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <vector>

using namespace tvksim;
namespace k = tvksim::kesp;

namespace {

int64_t monoUs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

int64_t cpuUs()
{
    struct timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return int64_t(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

// A frame written out by hand: header bytes and data as given, then the check
// code (high byte first) over everything after STX, then ETX.
Frame byHand(std::vector<uint8_t> head)
{
    uint16_t c = k::crc(head.data() + 1, head.size() - 1);
    head.push_back(uint8_t(c >> 8));
    head.push_back(uint8_t(c & 0xFF));
    head.push_back(0x03);
    return head;
}

bool writeAll(int fd, const std::vector<uint8_t> &v)
{
    size_t off = 0;
    while (off < v.size()) {
        ssize_t w = ::write(fd, v.data() + off, v.size() - off);
        if (w > 0) {
            off += size_t(w);
        } else if (w < 0 && errno == EAGAIN) {
            struct pollfd p = {fd, POLLOUT, 0};
            if (poll(&p, 1, 2000) <= 0)
                return false;
        } else {
            return false;
        }
    }
    return true;
}

// Reads until idleMs pass without a byte (or firstMs without the first one).
std::vector<uint8_t> readFor(int fd, int firstMs, int idleMs = 60, std::vector<int64_t> *times = nullptr)
{
    std::vector<uint8_t> out;
    int wait = firstMs;
    for (;;) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, wait) <= 0)
            return out;
        uint8_t b[2048];
        ssize_t r = ::read(fd, b, sizeof b);
        if (r <= 0)
            return out;
        const int64_t t = monoUs();
        out.insert(out.end(), b, b + r);
        if (times)
            times->insert(times->end(), size_t(r), t);
        wait = idleMs;
    }
}

int openSlave(const std::string &path)
{
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    return fd;
}

} // namespace

// ---- framing -------------------------------------------------------------------

TEST(KespWire, CheckCodeVectorsAndTheCardsRoutineAgree)
{
    const uint8_t digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(k::crc(digits, 9), 0x63D0);
    EXPECT_EQ(k::crc(digits, 9, 0), 0x2189);
    EXPECT_EQ(k::crc(digits, 0), 0x554D);
    // The bench's bitwise form and the card's table agree on any bytes.
    std::vector<uint8_t> v(300);
    for (size_t i = 0; i < v.size(); ++i)
        v[i] = uint8_t(i * 37 + 11);
    for (size_t n : {1u, 6u, 7u, 255u, 300u})
        EXPECT_EQ(k::crc(v.data(), n), crcCalc(v.data(), int(n))) << n;
}

TEST(KespWire, FramesAsTheLayoutSays)
{
    // DataLength 0: ten bytes, the check over the six header bytes after STX.
    EXPECT_EQ(k::makeFrame(0xEA, 0xEB, 'B', 'S'), byHand({0x02, 0xEA, 0xEB, 'B', 'S', 0x00, 0x00}));
    EXPECT_EQ(k::makeAck(0x0A, 0xEA, 'S', 'I'), byHand({0x02, 0x0A, 0xEA, 'S', 'I', 0x00, 0x01, 0x06}));
    EXPECT_EQ(k::makeNak(0xEB, 0xEA, '5'), byHand({0x02, 0xEB, 0xEA, 0x15, '5', 0x00, 0x00}));
    // A long frame: DataLength high byte first.
    std::vector<uint8_t> d(300, 0x41);
    Frame f = k::makeFrame(0xEA, 0xFF, 'B', 'S', d);
    ASSERT_EQ(f.size(), 310u);
    EXPECT_EQ(f[5], 0x01);
    EXPECT_EQ(f[6], 0x2C);
    k::Header h;
    bool ok = false;
    ASSERT_TRUE(k::parse(f, h, &ok));
    EXPECT_TRUE(ok);
    EXPECT_EQ(h.dataLen, 300);
    // Misbehaviour: a flipped check, an announced length that disagrees.
    Frame bad = k::makeFrame(0xEA, 0xFF, 'B', 'N', {1, 2}, true);
    ASSERT_TRUE(k::parse(bad, h, &ok));
    EXPECT_FALSE(ok);
    Frame longer = k::makeFrame(0xEA, 0xFF, 'B', 'N', {1, 2}, false, +1);
    EXPECT_EQ(longer.size(), 12u);
    EXPECT_EQ(longer[6], 3);
    EXPECT_FALSE(k::parse(longer, h));
}

TEST(KespWire, ScannerFindsTheValidFrameBehindNoise)
{
    const Frame good = k::makeFrame(0xEA, 0xFF, 'B', 'N', std::vector<uint8_t>(20, 7));
    const Frame badCheck = k::makeFrame(0xEB, 0xFF, 'B', 'N', {1}, true);
    struct Case {
        const char *what;
        std::vector<uint8_t> before;
        bool needsStall;      // the junk only gives way when the line pauses
        size_t framesBefore;  // frames found in the junk itself
    } cases[] = {
        {"garbage", {0x00, 0xFF, 0x41, 0x03}, false, 0},
        {"stray STX announcing 40 bytes", {0x02, 0xEA, 0xEB, 'B', 'S', 0x00, 40}, true, 0},
        {"wrong ETX", {0x02, 0xEA, 0xEB, 'B', 'S', 0x00, 0x00, 0x12, 0x34, 0x04}, false, 0},
        {"over the limit", {0x02, 0xEA, 0xEB, 'B', 'S', 0x03, 0xF7}, false, 0},
        {"a frame with a wrong check", badCheck, false, 1},
    };
    for (const auto &c : cases) {
        k::FrameScanner sc;
        std::vector<k::FrameScanner::Found> out;
        sc.feed(c.before.data(), c.before.size(), 1000, out);
        sc.feed(good.data(), good.size(), 2000, out);
        if (c.needsStall) {
            EXPECT_EQ(out.size(), c.framesBefore) << c.what;
            sc.expire(2000 + 499999, out);
            EXPECT_EQ(out.size(), c.framesBefore) << c.what << ": given up too early";
            sc.expire(2000 + 500000, out);
        }
        ASSERT_EQ(out.size(), c.framesBefore + 1) << c.what;
        EXPECT_EQ(out.back().bytes, good) << c.what;
        EXPECT_TRUE(out.back().checkOk) << c.what;
        if (c.framesBefore) {
            EXPECT_FALSE(out[0].checkOk) << c.what;
        }
        EXPECT_EQ(sc.pending(), 0u) << c.what;
    }
    // The limit itself (1014 data bytes) is a frame; byte by byte feeding.
    k::FrameScanner sc;
    std::vector<k::FrameScanner::Found> out;
    Frame big = k::makeFrame(0xEA, 0xFF, 'Q', 'T', std::vector<uint8_t>(k::MAX_DATA, 0x55));
    for (size_t i = 0; i < big.size(); ++i)
        sc.feed(&big[i], 1, int64_t(i), out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].firstUs, 0);
    EXPECT_EQ(out[0].lastUs, int64_t(big.size() - 1));
}

// ---- the hub -------------------------------------------------------------------------

class Hub : public ::testing::TestWithParam<unsigned> {};

TEST_P(Hub, EveryByteReachesEveryOtherPortNeverTheWriter)
{
    HubOptions o;
    o.baud = GetParam();
    KespHub hub(o);
    int fds[3];
    for (int i = 0; i < 3; ++i)
        fds[i] = hub.attachLocal("local " + std::to_string(i));
    const int ptyPort = hub.addPtyPort();
    int card = openSlave(hub.path(ptyPort));
    ASSERT_GE(card, 0);
    const int all[4] = {fds[0], fds[1], fds[2], card};

    for (int w = 0; w < 4; ++w) {
        const Frame f = k::makeFrame(uint8_t(0xEA + w), 0xFF, 'B', 'N', std::vector<uint8_t>(20, uint8_t(w)));
        ASSERT_TRUE(writeAll(all[w], f));
        for (int r = 0; r < 4; ++r) {
            std::vector<uint8_t> got = readFor(all[r], r == w ? 150 : 1000);
            if (r == w)
                EXPECT_TRUE(got.empty()) << "writer " << w << " heard itself";
            else
                EXPECT_EQ(got, f) << "writer " << w << " reader " << r;
        }
    }
    // The tap saw the four frames, each from its port, with a good check.
    auto tap = hub.tap();
    ASSERT_EQ(tap.size(), 4u);
    for (int w = 0; w < 4; ++w) {
        EXPECT_EQ(tap[size_t(w)].port, w);
        EXPECT_EQ(tap[size_t(w)].h.src, 0xEA + w);
        EXPECT_EQ(tap[size_t(w)].h.dest, 0xFF);
        EXPECT_TRUE(tap[size_t(w)].is('B', 'N'));
        EXPECT_EQ(tap[size_t(w)].h.dataLen, 20);
        EXPECT_TRUE(tap[size_t(w)].checkOk);
        EXPECT_FALSE(tap[size_t(w)].collided);
        EXPECT_LE(tap[size_t(w)].firstUs, tap[size_t(w)].lastUs);
    }
    ::close(card);
}

INSTANTIATE_TEST_SUITE_P(PacedAndNot, Hub, ::testing::Values(0u, 9600u));

TEST(HubPacing, BytesArriveWhenTheWireWouldDeliverThem)
{
    KespHub hub;   // 9600 baud
    int a = hub.attachLocal("a");
    int b = hub.attachLocal("b");
    std::vector<uint8_t> burst(96);
    for (size_t i = 0; i < burst.size(); ++i)
        burst[i] = uint8_t(i);
    const int64_t t0 = monoUs();
    ASSERT_TRUE(writeAll(a, burst));
    std::vector<int64_t> at;
    std::vector<uint8_t> got = readFor(b, 1000, 60, &at);
    ASSERT_EQ(got, burst);
    const double byteMs = 10.0 * 1000 / 9600;
    const double firstMs = (at.front() - t0) / 1000.0;
    const double lastMs = (at.back() - t0) / 1000.0;
    EXPECT_GE(firstMs, byteMs * 0.9);
    EXPECT_LT(firstMs, byteMs + 40);
    EXPECT_GE(lastMs, 96 * byteMs * 0.97);
    EXPECT_LT(lastMs, 96 * byteMs + 60);
    // Spread over the time, not in one lump at the end.
    const double halfMs = (at[47] - t0) / 1000.0;
    EXPECT_GT(halfMs, 48 * byteMs * 0.9);
    EXPECT_LT(halfMs, 48 * byteMs + 60);
    EXPECT_EQ(hub.wireUs(96), 100000);
}

TEST(HubPacing, TwoWritersAtOnceCollide)
{
    KespHub hub;
    int a = hub.attachLocal("a");
    int b = hub.attachLocal("b");
    int c = hub.attachLocal("listener");
    const Frame fa = k::makeFrame(0xEA, 0xFF, 'B', 'N', std::vector<uint8_t>(20, 0xF0));
    const Frame fb = k::makeFrame(0xEB, 0xFF, 'B', 'N', std::vector<uint8_t>(20, 0x0F));
    ASSERT_TRUE(writeAll(a, fa));
    ASSERT_TRUE(writeAll(b, fb));
    std::vector<uint8_t> heard = readFor(c, 1000);
    // The listener got bytes, but neither frame intact.
    EXPECT_FALSE(heard.empty());
    auto contains = [&](const Frame &f) { return std::search(heard.begin(), heard.end(), f.begin(), f.end()) != heard.end(); };
    EXPECT_FALSE(contains(fa));
    EXPECT_FALSE(contains(fb));
    // Each writer's receiver was off while it sent: the other's colliding bytes did not reach it.
    EXPECT_LT(readFor(a, 100).size(), fb.size());
    EXPECT_LT(readFor(b, 100).size(), fa.size());
    EXPECT_GT(hub.stats(0).collided + hub.stats(1).collided, 0u);
    for (const auto &e : hub.tap()) {
        if (e.kind == TapEntry::FrameSeen) {
            EXPECT_TRUE(e.collided);
        }
    }

    // Once the line is quiet again, a frame passes unharmed.
    hub.clearTap();
    ASSERT_TRUE(writeAll(a, fa));
    EXPECT_EQ(readFor(c, 1000), fa);
    TapEntry e;
    ASSERT_TRUE(hub.waitTap([](const TapEntry &x) { return x.kind == TapEntry::FrameSeen; }, 1000, &e));
    EXPECT_FALSE(e.collided);
    EXPECT_TRUE(e.checkOk);
    // Its wire time: 31 bytes.
    EXPECT_NEAR(double(e.lastUs - e.firstUs), 30 * 10 * 1e6 / 9600, 2000);
}

TEST(HubTap, RecordsFramesChecksRawBytesAndEvents)
{
    HubOptions o;
    o.baud = 0;
    o.stallMs = 100;
    KespHub hub(o);
    std::vector<TapEntry> hooked;
    std::mutex hm;
    hub.setTapHook([&](const TapEntry &e) {
        std::lock_guard<std::mutex> lk(hm);
        hooked.push_back(e);
    });
    int a = hub.attachLocal("a");
    hub.attachLocal("b");
    const Frame q = k::makeFrame(0xEA, 0x0B, 'G', 'I');
    const Frame bad = k::makeFrame(0x0B, 0xEA, 'G', 'I', std::vector<uint8_t>(64, 'x'), true);
    std::vector<uint8_t> junk = {0x02, 0x0B, 0xEA, 'G', 'I', 0x00, 0x30};   // announces 48, never completes
    ASSERT_TRUE(writeAll(a, q));
    ASSERT_TRUE(hub.waitTap([](const TapEntry &e) { return e.seq == 0; }, 2000));
    hub.noteBreak("test");
    ASSERT_TRUE(writeAll(a, bad));
    ASSERT_TRUE(writeAll(a, junk));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_TRUE(writeAll(a, q));
    // The partial candidate is given up after the pause, then the query shows.
    ASSERT_TRUE(hub.waitTap([](const TapEntry &e) { return e.seq == 3; }, 2000));
    auto tap = hub.tap();
    ASSERT_EQ(tap.size(), 4u);
    EXPECT_EQ(tap[0].bytes, q);
    EXPECT_TRUE(tap[0].checkOk);
    EXPECT_EQ(tap[0].h.dest, 0x0B);
    EXPECT_EQ(tap[1].kind, TapEntry::Break);
    EXPECT_EQ(tap[1].note, "test");
    EXPECT_EQ(tap[2].h.dataLen, 64);
    EXPECT_FALSE(tap[2].checkOk);
    EXPECT_EQ(tap[3].bytes, q);
    EXPECT_GE(tap[3].firstUs, tap[2].lastUs);
    size_t rawBytes = 0;
    for (const auto &c : hub.raw())
        rawBytes += c.bytes.size();
    EXPECT_EQ(rawBytes, 2 * q.size() + bad.size() + junk.size());
    EXPECT_EQ(hub.tapSince(2).size(), 2u);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::lock_guard<std::mutex> lk(hm);
    EXPECT_EQ(hooked.size(), 4u);
}

TEST(HubPorts, BoundedCountAndAVanishingFarEndNeverSpins)
{
    HubOptions o;
    o.baud = 0;
    KespHub hub(o);
    std::vector<int> fds;
    for (int i = 0; i < KespHub::MAX_PORTS - 1; ++i)
        fds.push_back(hub.attachLocal("p" + std::to_string(i)));
    const int ptyPort = hub.addPtyPort();
    EXPECT_THROW(hub.attachLocal("one too many"), std::runtime_error);
    EXPECT_THROW(hub.addPtyPort(), std::runtime_error);
    EXPECT_EQ(hub.portCount(), KespHub::MAX_PORTS);

    // A station that goes away, and a pty whose master the hub closes.
    hub.detachLocal(1);
    int card = openSlave(hub.path(ptyPort));
    ASSERT_GE(card, 0);
    hub.closePort(ptyPort);
    const int64_t c0 = cpuUs(), t0 = monoUs();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const int64_t cpu = cpuUs() - c0, wall = monoUs() - t0;
    EXPECT_LT(cpu, wall / 10) << "the hub spins on a dead port";
    EXPECT_FALSE(hub.stats(1).open);
    EXPECT_FALSE(hub.stats(ptyPort).open);
    // The card side sees the hang-up.
    uint8_t b;
    EXPECT_LE(::read(card, &b, 1), 0);
    ::close(card);

    // The rest of the line works on.
    const Frame f = k::makeFrame(0xEA, 0xFF, 'B', 'N');
    ASSERT_TRUE(writeAll(fds[0], f));
    EXPECT_EQ(readFor(fds[2], 1000), f);
}

TEST(HubPorts, ADeafProgramHoldsABoundedBacklog)
{
    HubOptions o;
    o.baud = 0;
    KespHub hub(o);
    int a = hub.attachLocal("a");
    const int ptyPort = hub.addPtyPort();   // nobody reads it
    int b = hub.attachLocal("b");
    std::vector<uint8_t> chunk(1000, 0x55);
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(writeAll(a, chunk));
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    // The other station got everything; the deaf line kept only a bounded backlog.
    EXPECT_EQ(readFor(b, 1000).size(), 20000u);
    int late = openSlave(hub.path(ptyPort));
    ASSERT_GE(late, 0);
    const size_t backlog = readFor(late, 200, 100).size();
    ::close(late);
    EXPECT_LE(backlog, 2 * o.staleInputMax) << "backlog " << backlog;
    EXPECT_GT(hub.stats(ptyPort).dropped, 0u);
}

// ---- fault injection ---------------------------------------------------------------

// Line faults act on what one station sends, as every receiver hears it; the
// other stations' bytes pass untouched, and clearing the faults restores the line.
TEST(HubFaults, LineFaultsChangeOnlyThatStationsBytes)
{
    HubOptions o;
    o.baud = 0;
    KespHub hub(o);
    const int a = hub.attachLocal("a"), b = hub.attachLocal("b");
    const int pa = 0;
    std::vector<uint8_t> stream(100);
    for (size_t i = 0; i < stream.size(); ++i)
        stream[i] = uint8_t(0x10 + 2 * i);   // even values: a flipped lowest bit shows

    struct Case {
        const char *what;
        LineFaults f;
        size_t expectLen;
    };
    LineFaults mute, drop, flip, cut;
    mute.muted = true;
    drop.dropEvery = 10;
    flip.flipEvery = 25;
    cut.cutEvery = 1;
    cut.cutKeep = 7;
    const Case cases[] = {{"muted", mute, 0}, {"drop", drop, 90}, {"flip", flip, 100}, {"cut", cut, 7}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        hub.setLineFaults(pa, c.f);
        ASSERT_TRUE(writeAll(a, stream));
        const std::vector<uint8_t> got = readFor(b, c.expectLen ? 1000 : 300);
        ASSERT_EQ(got.size(), c.expectLen);
        if (c.f.dropEvery) {
            std::vector<uint8_t> want;
            for (size_t i = 0; i < stream.size(); ++i)
                if ((i + 1) % c.f.dropEvery != 0)
                    want.push_back(stream[i]);
            EXPECT_EQ(got, want);
        }
        if (c.f.flipEvery) {
            size_t flipped = 0;
            for (size_t i = 0; i < got.size(); ++i)
                if (got[i] != stream[i]) {
                    EXPECT_EQ(got[i], stream[i] ^ 1u);
                    EXPECT_EQ((i + 1) % c.f.flipEvery, 0u);
                    ++flipped;
                }
            EXPECT_EQ(flipped, 4u);
        }
        if (c.f.cutEvery)
            EXPECT_TRUE(std::equal(got.begin(), got.end(), stream.begin()));
        // The other direction is not touched.
        ASSERT_TRUE(writeAll(b, stream));
        EXPECT_EQ(readFor(a, 1000), stream);
    }
    hub.setLineFaults(pa, LineFaults());
    ASSERT_TRUE(writeAll(a, stream));
    EXPECT_EQ(readFor(b, 1000), stream);
}

// Noise reaches every station while the line is quiet.
TEST(HubFaults, NoiseComesBetweenFramesToEveryStation)
{
    HubOptions o;
    o.baud = 9600;
    KespHub hub(o);
    const int a = hub.attachLocal("a"), b = hub.attachLocal("b");
    hub.setNoise(40, 5, 7);
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    hub.setNoise(0);
    const std::vector<uint8_t> na = readFor(a, 500, 200), nb = readFor(b, 500, 200);
    EXPECT_GE(na.size(), 10u);
    EXPECT_EQ(na.size() % 5, 0u);
    EXPECT_EQ(na, nb);
    EXPECT_TRUE(readFor(b, 300).empty()) << "noise goes on after it was switched off";
}

// A pty port vanishes (hang-up, the device is gone) and comes back at the same
// path; a program that opens it again is on the line again.
TEST(HubFaults, APortVanishesAndComesBackAtTheSamePath)
{
    HubOptions o;
    o.baud = 0;
    KespHub hub(o);
    const int st = hub.attachLocal("station");
    const int port = hub.addPtyPort();
    const std::string path = hub.path(port);
    int card = openSlave(path);
    ASSERT_GE(card, 0);
    const Frame f = k::makeFrame(0xEA, 0xFF, 'B', 'N');
    ASSERT_TRUE(writeAll(st, f));
    EXPECT_EQ(readFor(card, 1000), f);

    hub.vanishPort(port);
    struct stat sb;
    EXPECT_NE(lstat(path.c_str(), &sb), 0) << "the device is still there";
    uint8_t b;
    EXPECT_LE(::read(card, &b, 1), 0);
    ::close(card);
    EXPECT_LT(openSlave(path), 0);

    hub.reopenPort(port);
    EXPECT_EQ(hub.path(port), path);
    card = openSlave(path);
    ASSERT_GE(card, 0);
    struct termios t;
    ASSERT_EQ(tcgetattr(card, &t), 0);
    cfmakeraw(&t);
    tcsetattr(card, TCSANOW, &t);
    ASSERT_TRUE(writeAll(st, f));
    EXPECT_EQ(readFor(card, 1000), f);
    ASSERT_TRUE(writeAll(card, f));
    EXPECT_EQ(readFor(st, 1000), f);
    ::close(card);
}
