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
