#include "CmdLine.h"
#include "Globals.h"
#include "Profile.h"
#include "TestSupport.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

struct Args {
    std::vector<std::string> s;
    std::vector<char *> p;
    explicit Args(std::vector<std::string> v) : s(std::move(v))
    {
        for (auto &x : s)
            p.push_back(&x[0]);
        p.push_back(nullptr);
    }
    int argc() const { return int(s.size()); }
    char **argv() { return p.data(); }
};

void resetGlobals()
{
    serialPort = serialPortKESP = nullptr;
    deviceBaudRate = 1200;
    KESPAddr = 224;
    moduleApresent = moduleBpresent = moduleCpresent = moduleDpresent = false;
    jsonPath = jsonPathTMP = nullptr;
}

struct Case {
    const char *baud, *cab, *mask, *mode;
    int32 expBaud;
    uint8 expAddr;
    bool a, b, c, d;
    bool realCard;
};

} // namespace

#if !defined(TVK_MODULAR)
TEST(CmdLine, ArgumentTable)
{
    const Case cases[] = {
        {"9600", "2", "0110", "true", 9600, 235, false, true, true, false, true},
        {"19200", "1", "1111", "false", 19200, 234, true, true, true, true, false},
        {"9600", "4", "1100", "TRUE", 9600, 237, true, true, false, false, false},
        {"9600", "3", "3", "x", 9600, 236, false, false, false, true, false},     // bit 0 of 3
        {"9600", "1", "20", "", 9600, 234, false, false, false, false, false},    // 20/10 even
        {"9600", "1", "10", "true", 9600, 234, false, false, true, false, true},
        {"abc", "7", "1000", "t", 0, 224, true, false, false, false, false},      // no digits, bad cabinet
        {"12xyz", "", "-1", "true", 12, 224, false, false, false, true, true},   // -1: only bit 0 of v
        {"99999999999", "5", "99999999", "true", int32(uint32(uint64(99999999999LL))), 224,
         bool(((int16(99999999) / 1000) & 1)), bool(((int16(99999999) / 100) & 1)),
         bool(((int16(99999999) / 10) & 1)), bool(int16(99999999) & 1), true},
    };
    for (const Case &c : cases) {
        resetGlobals();
        tvktest::LogCapture cap;
        Args a({"tarvik", "/dev/ttyS1", "/dev/ttyS2", c.baud, c.cab, c.mask, c.mode});
        ASSERT_EQ(parseCommandLine(a.argc(), a.argv()), 0);
        SCOPED_TRACE(std::string(c.baud) + " " + c.cab + " " + c.mask + " " + c.mode);
        EXPECT_STREQ(serialPort, "/dev/ttyS1");
        EXPECT_STREQ(serialPortKESP, "/dev/ttyS2");
        EXPECT_EQ(deviceBaudRate, c.expBaud);
        EXPECT_EQ(KESPAddr, c.expAddr);
        EXPECT_EQ(moduleApresent, c.a);
        EXPECT_EQ(moduleBpresent, c.b);
        EXPECT_EQ(moduleCpresent, c.c);
        EXPECT_EQ(moduleDpresent, c.d);
        EXPECT_STREQ(jsonPath, c.realCard ? "/var/log/vu.json" : "/home/kelmo/vu.json");
        EXPECT_STREQ(jsonPathTMP, c.realCard ? "/var/log/vu.tmp" : "/home/kelmo/vu.tmp");
        EXPECT_TRUE(cap.contains(c.realCard ? "Running on a real vintor!\n" : "Running on chroot...\n"));
    }
}
#else
TEST(CmdLine, ModularMask)
{
    struct M { const char *mask; int ret; bool b, c, d; };
    const M cases[] = {{"1000", 0, false, false, false}, {"1111", 0, true, true, true},
                       {"1010", 0, false, true, false}, {"999", -1, false, false, false},
                       {"junk", -1, false, false, false}};
    for (const M &m : cases) {
        resetGlobals();
        tvktest::LogCapture cap;
        Args a({"tarvik", "/dev/ttyS1", "/dev/ttyS2", "9600", "1", m.mask, "true"});
        EXPECT_EQ(parseCommandLine(a.argc(), a.argv()), m.ret) << m.mask;
        if (m.ret == 0) {
            EXPECT_TRUE(moduleApresent);
            EXPECT_EQ(moduleBpresent, m.b);
            EXPECT_EQ(moduleCpresent, m.c);
            EXPECT_EQ(moduleDpresent, m.d);
        } else {
            EXPECT_TRUE(cap.contains(" Err (parseCommandLine): Invalid system configuration: -"));
            EXPECT_FALSE(cap.contains("Running on"));   // argument 6 not looked at
        }
    }
}
#endif

TEST(CmdLine, TooFewArguments)
{
    resetGlobals();
    tvktest::LogCapture cap;
    Args a({"tarvik", "a", "b", "9600", "1", "1000"});
    EXPECT_EQ(parseCommandLine(a.argc(), a.argv()), -1);
    auto l = cap.lines();
    ASSERT_EQ(l.size(), 3u);
    EXPECT_EQ(l[0], profile::banner);
    EXPECT_EQ(l[1], std::string(build_date) + " / " + build_git_sha + "\n");
    EXPECT_NE(l[2].find(" Err (parseCommandLine): Missing parameter, #1 Device port name, #2 KESP port name, "
                        "#2 baud rate, #3 module ID #4 maschera configurazione #5 true if on real vintor\n"),
              std::string::npos);
    EXPECT_EQ(serialPort, nullptr);
}
