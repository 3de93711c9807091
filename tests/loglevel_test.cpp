// The opt-in quieter log level: without Dbg lines, microsecond traces and frame
// dumps, everything else as at the normal level.
#include "Log.h"
#include "Profile.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

using tvktest::LogCapture;

namespace {
struct QuietGuard {
    explicit QuietGuard(bool quiet) { tvk_setQuietLog(quiet); }
    ~QuietGuard() { tvk_setQuietLog(false); }
};

void writeOneOfEach()
{
    const uint8_t frame[] = {0x02, 0x31, 0x03};
    LOGE("errore\n");
    LOGW("avviso\n");
    LOGN("nota\n");
    LOGD("debug\n");
    LOGTRACE("Send");
    LOGDUMP("R:", frame, sizeof frame);
    LOGRAW("banner\n");
}
} // namespace

TEST(LogLevel, QuietDropsDebugTracesAndDumpsOnly)
{
    struct Case {
        bool quiet;
        bool debug;   // Dbg lines, traces and dumps expected
    };
    const Case cases[] = {{false, profile::debugLines}, {true, false}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.quiet ? "quiet" : "normal");
        QuietGuard g(c.quiet);
        EXPECT_EQ(tvk_debugEnabled(), c.debug);
        LogCapture cap;
        writeOneOfEach();
        EXPECT_EQ(cap.count(" Err (writeOneOfEach): errore\n"), 1);
        EXPECT_EQ(cap.count(" War (writeOneOfEach): avviso\n"), 1);
        EXPECT_EQ(cap.count("  (writeOneOfEach): nota\n"), 1);
        EXPECT_EQ(cap.count("banner\n"), 1);
        EXPECT_EQ(cap.count(" Dbg (writeOneOfEach): debug\n"), c.debug ? 1 : 0);
        EXPECT_EQ(cap.count(" Dbg (writeOneOfEach): Send\n"), c.debug ? 1 : 0);
        EXPECT_EQ(cap.count("  (writeOneOfEach): R:\n"), c.debug ? 1 : 0);
        EXPECT_EQ(cap.count("0x02 0x31 0x03 \n"), c.debug ? 1 : 0);
        EXPECT_EQ(cap.lines().size(), c.debug ? 8u : 4u) << cap.text();
    }
}
