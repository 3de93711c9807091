// The pty bench that tests and stand-in devices build on.
#include "PtyBench.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

using tvksim::PtyEnd;

namespace {

bool linkExists(const std::string &p)
{
    struct stat st;
    return lstat(p.c_str(), &st) == 0;
}

int64_t nowMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

} // namespace

TEST(PtyBench, LinkLivesAsLongAsTheBench)
{
    std::string path;
    try {
        PtyEnd end;
        path = end.path();
        EXPECT_EQ(path.rfind("/dev/ttyTVK", 0), 0u);
        EXPECT_LE(path.size(), 30u);
        char target[64] = {0};
        ASSERT_GT(readlink(path.c_str(), target, sizeof target - 1), 0);
        EXPECT_EQ(end.slaveName(), target);
        PtyEnd other;
        EXPECT_NE(other.path(), path);
        // A name that is taken is refused, and the refusal leaves the link alone.
        EXPECT_THROW(PtyEnd again(path), std::runtime_error);
        EXPECT_TRUE(linkExists(path));
        throw std::logic_error("test body fails");
    } catch (const std::logic_error &) {
    }
    EXPECT_FALSE(linkExists(path));
}

TEST(PtyBench, StaleLinksAreReplacedOrCleaned)
{
    // A link of a dead process into a pty that no longer exists.
    const std::string fixed = "/dev/ttyTVKfix" + std::to_string(getpid());
    unlink(fixed.c_str());
    ASSERT_EQ(symlink("/dev/pts/987654", fixed.c_str()), 0);
    {
        PtyEnd end(fixed);
        EXPECT_EQ(end.path(), fixed);
    }
    EXPECT_FALSE(linkExists(fixed));

    // Named after a process that cannot exist (beyond any pid limit).
    const std::string dead = "/dev/ttyTVK999999999x" + std::to_string(getpid());
    ASSERT_EQ(symlink("/dev/pts/987654", dead.c_str()), 0);
    tvksim::cleanupStaleLinks();
    EXPECT_FALSE(linkExists(dead));
}

TEST(PtyBench, BothDirectionsRawAndBounded)
{
    PtyEnd end;
    int fd = open(end.path().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    // Raw: a byte without line feed, and a CR, pass unchanged at once.
    const uint8_t in[3] = {'a', '\r', 0x03};
    ASSERT_TRUE(end.write(in, 3));
    ASSERT_TRUE(end.waitPendingVisible(1000));
    uint8_t got[3] = {0};
    ASSERT_EQ(read(fd, got, 3), 3);
    EXPECT_EQ(memcmp(got, in, 3), 0);
    EXPECT_TRUE(end.waitConsumed(100));

    const uint8_t out[4] = {'\n', 'x', 0x00, 0xFF};
    ASSERT_EQ(write(fd, out, 4), 4);
    EXPECT_EQ(end.read(2, 1000), std::vector<uint8_t>(out, out + 2));   // at most max
    EXPECT_EQ(end.read(16, 1000), std::vector<uint8_t>(out + 2, out + 4));
    int64_t t0 = nowMs();
    EXPECT_TRUE(end.read(16, 50).empty());
    EXPECT_GE(nowMs() - t0, 45);

    // Paced like a 9600-baud line: 20 bytes take about 20 ms.
    std::vector<uint8_t> twenty(20, 0x11);
    t0 = nowMs();
    ASSERT_TRUE(end.writePaced(twenty.data(), twenty.size(), 9600));
    EXPECT_GE(nowMs() - t0, 19);
    uint8_t sink[32];
    ASSERT_TRUE(end.waitPendingVisible(1000));
    EXPECT_EQ(read(fd, sink, sizeof sink) > 0, true);
    close(fd);
}

// The bench keeps the line alive while the program's side is closed, and a
// vanished far end shows as a dead line, not as a hang.
TEST(PtyBench, SlaveClosedAndMasterClosed)
{
    PtyEnd end;
    const uint8_t b = 0x42;
    EXPECT_TRUE(end.write(&b, 1));   // nobody opened the slave yet
    EXPECT_TRUE(end.waitPendingVisible(1000));
    EXPECT_TRUE(end.read(4, 20).empty());
    end.closeMaster();
    EXPECT_FALSE(end.masterOpen());
    EXPECT_FALSE(end.write(&b, 1));
    EXPECT_EQ(end.pendingToProgram(), -1);
    EXPECT_FALSE(end.waitPendingVisible(50));
    int fd = open(end.path().c_str(), O_RDWR | O_NOCTTY);
    EXPECT_LT(fd, 0);   // the line cannot be opened again
    if (fd >= 0)
        close(fd);
}
