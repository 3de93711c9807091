#include "Log.h"
#include "Profile.h"
#include "TestSupport.h"

#include <gtest/gtest.h>
#include <regex>
#include <unistd.h>

using tvktest::LogCapture;

TEST(Log, PrefixFormatPerLevel)
{
    LogCapture cap;
    LOGE("uno %d\n", 1);
    LOGW("due\n");
    LOGN("tre\n");
    LOGD("quattro\n");
    auto l = cap.lines();
    char pid[16];
    snprintf(pid, sizeof pid, "%6d-> ", int(getpid()));
    ASSERT_GE(l.size(), 3u);
    std::regex re(std::string("^") + pid + R"(\[\d\d:\d\d:\d\d\] tests/log_test (Err|War|Dbg|) \(TestBody\): .*\n$)");
    for (const auto &s : l)
        EXPECT_TRUE(std::regex_match(s, re)) << s;
    EXPECT_NE(l[0].find(" tests/log_test Err (TestBody): uno 1\n"), std::string::npos);
    EXPECT_NE(l[1].find(" War (TestBody): due\n"), std::string::npos);
    EXPECT_NE(l[2].find(" tests/log_test  (TestBody): tre\n"), std::string::npos);
    if (profile::debugLines) {
        ASSERT_EQ(l.size(), 4u);
        EXPECT_NE(l[3].find(" Dbg (TestBody): quattro\n"), std::string::npos);
    } else {
        EXPECT_EQ(l.size(), 3u);
    }
}

TEST(Log, DumpTraceAndRaw)
{
    LogCapture cap;
    const uint8_t b[] = {0x02, 0xAB, 0x0F};
    LOGDUMP("Rcv:", b, sizeof b);
    LOGTRACE("Send");
    LOGRAW("banner %s\n", "x");
    auto l = cap.lines();
    if (profile::debugLines) {
        ASSERT_EQ(l.size(), 4u);
        EXPECT_NE(l[0].find("  (TestBody): Rcv:\n"), std::string::npos);
        EXPECT_EQ(l[1], "0x02 0xAB 0x0F \n");
        EXPECT_TRUE(std::regex_match(l[2], std::regex(R"(^\[\d\d:\d\d:\d\d\.\d{6}\] tests/log_test Dbg \(TestBody\): Send\n$)"))) << l[2];
        EXPECT_EQ(l[3], "banner x\n");
    } else {
        ASSERT_EQ(l.size(), 1u);
        EXPECT_EQ(l[0], "banner x\n");
    }
}

TEST(Log, LongMessageIsNotTruncated)
{
    LogCapture cap;
    std::string big(3000, 'x');
    LOGE("%s\n", big.c_str());
    ASSERT_EQ(cap.lines().size(), 1u);
    EXPECT_NE(cap.lines()[0].find(big + "\n"), std::string::npos);
}

// The unit in the prefix: the file's own path without extension, or, for a file split
// out of a unit, that unit by the facility's one table.
TEST(Log, SourceUnitOfSplitFilesIsTheirUnit)
{
    struct Case {
        const char *file, *unit;
    } cases[] = {
        {"DUVEX/ThreadDUVEX.cpp", "DUVEX/ThreadDUVEX"},
        {"DUVEX/DUVEXAccess.cpp", "DUVEX/ThreadDUVEX"},
        {"DUVEX/DUVEXCmds.cpp", "DUVEX/ThreadDUVEX"},
        {"DUVEX/DUVEXAggregate.cpp", "DUVEX/ThreadDUVEX"},
        {"DUVEX/DUVEXData.cpp", "DUVEX/DUVEX"},
        {"DUVEX/DUVEX.cpp", "DUVEX/DUVEX"},
        {"KESP/KESPAggregate.cpp", "KESP/ThreadKESP"},
        {"KESP/KESPCatalogue.cpp", "KESP/KESP"},
        {"Common/SystemMgr.cpp", "Common/SystemMgr"},
        {"/srv/tree/DUVEX/DUVEXCmds.cpp", "DUVEX/ThreadDUVEX"},   // a path the build did not shorten
        {"DUVEX/XDUVEXCmds.cpp", "DUVEX/XDUVEXCmds"},             // a row matches whole names only
        {"DUVEX/DUVEXCmds.h", "DUVEX/ThreadDUVEX"},
        {"Makefile", "Makefile"},
        {"dir.d/file", "dir.d/file"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(tvk_sourceUnit(c.file), c.unit) << c.file;

    LogCapture cap;
    tvk_log("DUVEX/DUVEXAccess.cpp", "GetUPSStatus", LogLevel::Err, "x\n");
    tvk_trace("DUVEX/DUVEXAggregate.cpp", "AggregateUPS", "t");
    ASSERT_GE(cap.lines().size(), 1u);
    EXPECT_NE(cap.lines()[0].find("] DUVEX/ThreadDUVEX Err (GetUPSStatus): x\n"), std::string::npos);
    if (profile::debugLines) {
        ASSERT_EQ(cap.lines().size(), 2u);
        EXPECT_NE(cap.lines()[1].find("] DUVEX/ThreadDUVEX Dbg (AggregateUPS): t\n"), std::string::npos);
    }
}
