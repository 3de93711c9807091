// Scenario text of the simulated plant: what is accepted, and every bad line
// refused with its line number before anything starts. The shipped scenarios
// must all be accepted for the default four-cabinet plant.
#include "KespStations.h"
#include "Plant.h"
#include "Scenario.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fstream>
#include <string>
#include <vector>

using tvksim::ScenarioEvent;

namespace {

struct BadCase {
    const char *text;
    const char *mask;
    int line;
    const char *reason;   // part of the message
};

class ScenarioBad : public ::testing::TestWithParam<BadCase> {};

TEST_P(ScenarioBad, RefusedWithItsLineNumber)
{
    const BadCase &c = GetParam();
    std::vector<ScenarioEvent> ev;
    std::string err;
    EXPECT_FALSE(tvksim::parseScenario(c.text, c.mask, ev, err)) << c.text;
    EXPECT_EQ(err.rfind("line " + std::to_string(c.line) + ": ", 0), 0u) << err;
    EXPECT_NE(err.find(c.reason), std::string::npos) << err;
}

INSTANTIATE_TEST_SUITE_P(
    Lines, ScenarioBad,
    ::testing::Values(BadCase{"10 B mains-fial\n", "1111", 1, "unknown event"},
                      BadCase{"# c\n\n10 B mains-fail\nten B mains-restore\n", "1111", 4, "bad time"},
                      BadCase{"-5 B mains-fail\n", "1111", 1, "bad time"},
                      BadCase{"10.1234 B mains-fail\n", "1111", 1, "bad time"},
                      BadCase{"20 B mains-fail\n10 B mains-restore\n", "1111", 2, "before the time"},
                      BadCase{"10 mains-fail\n", "1111", 1, "needs a cabinet"},
                      BadCase{"10 E mains-fail\n", "1111", 1, "unknown event \"E\""},
                      BadCase{"10 C module-silent\n", "1101", 1, "not in the plant"},
                      BadCase{"10 B\n", "1111", 1, "no event"},
                      BadCase{"10 B bus-break\n", "1111", 1, "whole plant"},
                      BadCase{"10 B mains-fail now\n", "1111", 1, "takes no arguments"},
                      BadCase{"10 A panel\n", "1111", 1, "panel needs"},
                      BadCase{"10 A panel explode\n", "1111", 1, "unknown panel command"},
                      BadCase{"10 A panel shutdown 70000\n", "1111", 1, "bad delay"},
                      BadCase{"10 A panel shutdown 300 -1\n", "1111", 1, "bad delay"},
                      BadCase{"10 A set vout\n", "1111", 1, "set needs"},
                      BadCase{"10 A set colour 3\n", "1111", 1, "set needs"},
                      BadCase{"10 A set vout 99999\n", "1111", 1, "bad value"},
                      BadCase{"10 policy\n", "1111", 1, "policy needs"},
                      BadCase{"10 policy sometimes\n", "1111", 1, "unknown policy"},
                      BadCase{"10 policy rotate soon\n", "1111", 1, "bad seconds"},
                      BadCase{"1 A handover\n2 A handover\n3 Z handover\n", "1111", 3, "unknown event"}));

TEST(Scenario, EventsWithTimesCabinetsAndArguments)
{
    const char *text = "# a comment line\r\n"
                       "   \n"
                       "0 policy rotate 5\n"
                       "10 B mains-fail   # comment after the event\n"
                       "10 B set watt 3333\n"
                       "12.5 C module-silent\n"
                       "90 A panel shutdown 300\n"
                       "120 bus-break\n"
                       "130 end\n";
    std::vector<ScenarioEvent> ev;
    std::string err;
    ASSERT_TRUE(tvksim::parseScenario(text, "1111", ev, err)) << err;
    ASSERT_EQ(ev.size(), 7u);
    struct Want {
        int line;
        int64_t ms;
        int cabinet;
        const char *verb;
        size_t args;
    } want[] = {{3, 0, -1, "policy", 2},     {4, 10000, 1, "mains-fail", 0}, {5, 10000, 1, "set", 2},
                {6, 12500, 2, "module-silent", 0}, {7, 90000, 0, "panel", 2},  {8, 120000, -1, "bus-break", 0},
                {9, 130000, -1, "end", 0}};
    for (size_t i = 0; i < ev.size(); ++i) {
        EXPECT_EQ(ev[i].line, want[i].line) << i;
        EXPECT_EQ(ev[i].atMs, want[i].ms) << i;
        EXPECT_EQ(ev[i].cabinet, want[i].cabinet) << i;
        EXPECT_EQ(ev[i].verb, want[i].verb) << i;
        EXPECT_EQ(ev[i].args.size(), want[i].args) << i;
    }
    EXPECT_EQ(ev[4].args[0], "shutdown");
    EXPECT_EQ(ev[4].args[1], "300");
}

TEST(Scenario, EmptyTextIsAnEmptyScenario)
{
    std::vector<ScenarioEvent> ev;
    std::string err;
    EXPECT_TRUE(tvksim::parseScenario("", "1111", ev, err));
    EXPECT_TRUE(tvksim::parseScenario("# nothing\n\n", "", ev, err));
    EXPECT_TRUE(ev.empty());
}

TEST(Scenario, MissingFileIsRefused)
{
    std::vector<ScenarioEvent> ev;
    std::string err;
    EXPECT_FALSE(tvksim::loadScenario("/nonexistent/scenario.txt", "1111", ev, err));
    EXPECT_NE(err.find("cannot read"), std::string::npos);
}

TEST(Scenario, HandoverPolicies)
{
    struct Row {
        const char *word;
        double seconds;
        std::vector<int> targets;
        bool ok;
        tvksim::HandoverPolicy policy;
        unsigned periodMs, silenceMs;
    } rows[] = {
        {"manual", 0, {}, true, tvksim::HandoverPolicy::Manual, 30000, 10000},
        {"once", 0, {2}, true, tvksim::HandoverPolicy::Once, 30000, 10000},
        {"rotate", 7, {0, 1}, true, tvksim::HandoverPolicy::Rotate, 7000, 10000},
        {"rotate", 0.5, {0}, true, tvksim::HandoverPolicy::Rotate, 2000, 10000},   // floor: a cycle must fit
        {"silence", 15, {0, 3}, true, tvksim::HandoverPolicy::OnSilence, 30000, 15000},
        {"once", 0, {}, false, tvksim::HandoverPolicy::Manual, 0, 0},            // nobody to hand to
        {"rotate", 5, {4}, false, tvksim::HandoverPolicy::Manual, 0, 0},
        {"often", 5, {0}, false, tvksim::HandoverPolicy::Manual, 0, 0},
    };
    for (const Row &r : rows) {
        tvksim::HandoverPlan p;
        std::string err;
        ASSERT_EQ(tvksim::makeHandoverPlan(r.word, r.seconds, r.targets, p, err), r.ok) << r.word << " " << err;
        if (!r.ok)
            continue;
        EXPECT_EQ(p.policy, r.policy) << r.word;
        EXPECT_EQ(p.periodMs, r.periodMs) << r.word;
        EXPECT_EQ(p.silenceMs, r.silenceMs) << r.word;
        ASSERT_EQ(p.targets.size(), r.targets.size());
        for (size_t i = 0; i < r.targets.size(); ++i)
            EXPECT_EQ(p.targets[i], 0xEA + r.targets[i]);
    }
}

TEST(Scenario, StatusDocumentAlarmList)
{
    struct Row {
        const char *doc;
        bool ok;
        std::vector<std::string> alarms;
        bool failure;
    } rows[] = {
        {"{\n\"timestamp\": 1,\n\"statusAlarms\":[\n],\n\"UPSFAILURE\": false}", true, {}, false},
        {"{\n\"statusAlarms\":[\n\n\"SYSTEM_ANOMALY\",\n\"MODULE_3_LOST\"],\n\"UPSFAILURE\": true}", true,
         {"SYSTEM_ANOMALY", "MODULE_3_LOST"}, true},
        {"{\n\"statusAlarms\":[\n\n\"SWOUT_OPEN\"],\n", false, {"SWOUT_OPEN"}, false},   // cut short
        {"", false, {}, false},
    };
    for (const Row &r : rows) {
        std::vector<std::string> a;
        bool f = false;
        EXPECT_EQ(tvksim::Plant::parseVuAlarms(r.doc, a, f), r.ok) << r.doc;
        EXPECT_EQ(a, r.alarms) << r.doc;
        if (r.ok)
            EXPECT_EQ(f, r.failure) << r.doc;
    }
}

// The source tree, from the build directory's cache.
std::string sourceDir()
{
    std::ifstream in(std::string(TVK_BIN_DIR) + "/CMakeCache.txt");
    std::string line;
    const std::string key = "CMAKE_HOME_DIRECTORY:INTERNAL=";
    while (std::getline(in, line))
        if (line.rfind(key, 0) == 0)
            return line.substr(key.size());
    return std::string();
}

TEST(Scenario, ShippedScenariosAreAccepted)
{
    const std::string dir = sourceDir() + "/scenarios";
    DIR *d = opendir(dir.c_str());
    if (!d)
        GTEST_SKIP() << "no scenarios directory at " << dir;
    int n = 0;
    while (dirent *e = readdir(d)) {
        std::string name = e->d_name;
        if (name.size() < 5 || name.compare(name.size() - 4, 4, ".txt") != 0)
            continue;
        std::vector<ScenarioEvent> ev;
        std::string err;
        EXPECT_TRUE(tvksim::loadScenario(dir + "/" + name, "1111", ev, err)) << err;
        EXPECT_FALSE(ev.empty()) << name;
        ++n;
    }
    closedir(d);
    EXPECT_GT(n, 0);
}

} // namespace
