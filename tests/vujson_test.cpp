// The status document vu.json: its text per profile (golden files), its validity as
// JSON, its publication through the temporary file, and readers in other processes
// (of vu.json and of the shared-memory tree) while the card rewrites them.
//
// Golden files: tests/golden/vujson_<profile>_<case>.json. TVK_UPDATE_GOLDEN=1 in
// the environment rewrites them from the current output.
#include "Globals.h"
#include "KESPAggregate.h"
#include "SysCfgMgr.h"
#include "TestSupport.h"
#include "ThreadKESP.h"
#include "TreePublish.h"
#include "VirtualUPSInit.h"
#include "VirtualUPSMgr.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using tvktest::FakeClock;
using tvktest::LogCapture;
using tvktest::ScopedWorkDir;

namespace {

constexpr time_t T0 = 1700000000;

std::string readFile(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

void writeFile(const std::string &path, const std::string &text)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << text;
}

// The source tree, from the build directory's cache.
std::string sourceDir()
{
    std::ifstream f(std::string(TVK_BIN_DIR) + "/CMakeCache.txt");
    std::string line;
    const std::string key = "CMAKE_HOME_DIRECTORY:INTERNAL=";
    while (std::getline(f, line))
        if (line.compare(0, key.size(), key) == 0)
            return line.substr(key.size());
    return ".";
}

class TempDir {
public:
    TempDir()
    {
        char t[] = "/tmp/tvk-vujson-XXXXXX";
        dir_ = mkdtemp(t) ? t : "/tmp";
    }
    ~TempDir()
    {
        std::string cmd = "rm -rf '" + dir_ + "'";
        if (dir_ != "/tmp" && system(cmd.c_str()) != 0) {
        }
    }
    std::string path(const char *name) const { return dir_ + "/" + name; }

private:
    std::string dir_;
};

// A standard JSON parser's verdict on a document.
bool parsesAsJson(const std::string &doc)
{
    TempDir d;
    const std::string p = d.path("doc.json");
    writeFile(p, doc);
    const std::string cmd = "python3 -m json.tool '" + p + "' > /dev/null 2>&1";
    return system(cmd.c_str()) == 0;
}

void fixText(char *field, size_t size, const char *text)
{
    memset(field, ' ', size - 1);
    field[size - 1] = '\0';
    memcpy(field, text, strlen(text) < size - 1 ? strlen(text) : size - 1);
}

// Packed arrays are written by address only (no reference to a misaligned member).
template <typename T> void setPhasesAt(void *arr, T a, T b, T c)
{
    T v[3] = {a, b, c};
    memcpy(arr, v, sizeof v);
}
#define setPhases(T, arr, a, b, c) setPhasesAt<T>(static_cast<void *>(&(arr)), a, b, c)

// A system on line with every switch closed and nothing to report.
class VuJson : public ::testing::Test {
protected:
    void SetUp() override
    {
        memset(&cfg.Cfg, 0, sizeof cfg.Cfg);
        cfg.Cfg.externBattCapacity = 10;
        cfg.numUPS = 2;
        InitSysStatus(&w, cfg);
        dataObject_t &u = w.Ups;
        u.timestamp = mytime_t(T0);
        u.Output_Powered = 1;
        u.Line_Present = 1;
        u.SWOUT = 1;
        u.Bt_present = 1;
        u.Battery_Charging = 1;
        w.SWIN = 1;
        w.SWBYP = 1;
        w.SWBATT_EXT = 1;
        setPhases(uint16, u.Vin, 230, 231, 229);
        u.Frq_in = 500;
        setPhases(uint32, u.Iin, 12, 13, 14);
        setPhases(uint16, u.Vout, 230, 230, 230);
        u.Frq_out = 500;
        setPhases(int16, u.Load, 41, 42, 43);
        setPhases(int32, u.Iout, 20, 21, 22);
        setPhases(int32, u.Iout_pk, 30, 31, 32);
        setPhases(int32, u.Watt, 4500, 4600, 4700);
        setPhases(int32, u.Va, 5000, 5100, 5200);
        u.Frq_byp = 499;
        setPhases(uint16, u.Vbyp, 228, 229, 230);
        u.Vbatp = 272;
        u.Vbatn = 270;
        u.Ibatp = -3;
        u.Ibatn = 2;
        u.Carica_adj = 97;
        u.Aut_time = 45;
        u.Temp0 = 31;
#if defined(TVK_MODULAR)
        u.Temp1 = 41;
        u.Temp2 = 42;
        u.Temp3 = 43;
        u.Temp4 = 44;
        u.Temp5 = 25;
        u.Temp6 = 26;
#else
        setPhases(uint16, u.powerTemp, 41, 42, 43);
        u.powerTemp[3] = 44;
        u.batteryTemp[0] = 25;
        u.batteryTemp[1] = 26;
#endif
        for (auto &d : w.subSystem.UPSBox)
            d.alarmSt = noneAlarm;
        InitValueIdentification(&in.ident, IdentSource::ModuleBus);
        fixText(in.ident.SN, sizeof in.ident.SN, "SN0012345");
        fixText(in.ident.Model, sizeof in.ident.Model, "ZVL 30K");
        fixText(in.ident.SWVer, sizeof in.ident.SWVer, "V1.23");
        in.ident.IO_Cfg = TT;
        in.ident.UPS_Type = OnLine;
        in.nominal.W = 54000;
        in.nominal.VA = 60000;
        in.ownIdx = 0;
        in.now = T0 + 5;
        for (int i = 0; i < 2; ++i) {
            in.cabHasNode[i] = true;
            in.cabModuleAlarm[i] = noneAlarm;
        }
    }

    std::string build()
    {
        descSys_t copy = w;
        return BuildVuJson(copy, in);
    }

    // Compares with (or, on request, writes) the golden file of this profile.
    void golden(const char *name, const std::string &doc)
    {
        const std::string path =
            sourceDir() + "/tests/golden/vujson_" + std::string(TVK_PROFILE_NAME) + "_" + name + ".json";
        const char *upd = getenv("TVK_UPDATE_GOLDEN");
        if (upd && *upd == '1')
            writeFile(path, doc);
        const std::string want = readFile(path);
        ASSERT_FALSE(want.empty()) << "no golden file " << path;
        EXPECT_EQ(doc, want) << path;
        EXPECT_TRUE(parsesAsJson(doc)) << doc;
    }

    SysCfgMgr cfg;
    descSys_t w;
    VuJsonInput in;
};

TEST_F(VuJson, NoAlarms)
{
    const std::string doc = build();
    golden("noalarms", doc);
    EXPECT_NE(doc.find("\"statusAlarms\":[\n],\n\"UPSFAILURE\": false}"), std::string::npos);
    EXPECT_EQ(doc.compare(0, 28, "{\n\"timestamp\": 1700000005,\n\""), 0);
    EXPECT_EQ(doc.back(), '}');
}

TEST_F(VuJson, TwoAlarmsAsInTheExample)
{
    w.Ups.Anomaly = 1;
    w.Ups.SWOUT = 0;
    const std::string doc = build();
    golden("twoalarms", doc);
    EXPECT_NE(doc.find("\"statusAlarms\":[\n\n\"SYSTEM_ANOMALY\",\n\"SWOUT_OPEN\"],\n\"UPSFAILURE\": false}"),
              std::string::npos);
}

TEST_F(VuJson, LostModuleOfTheOwnCabinetIsAFailure)
{
    in.cabModuleAlarm[0] = commLostAlarm;
    descSys_t copy = w;
    const std::string doc = BuildVuJson(copy, in);
    golden("ownmodulelost", doc);
    EXPECT_NE(doc.find("\n\"MODULE_1_LOST\"],\n\"UPSFAILURE\": true}"), std::string::npos);
    EXPECT_TRUE(copy.Ups.Fault);   // the working record takes it too
    // The system descriptor of the own cabinet says comm lost: the same alarm.
    in.cabModuleAlarm[0] = noneAlarm;
    w.subSystem.UPSBox[0].alarmSt = commLostAlarm;
    EXPECT_NE(build().find("\"MODULE_1_LOST\"],\n\"UPSFAILURE\": true}"), std::string::npos);
    // For another cabinet only its module descriptor counts.
    w.subSystem.UPSBox[0].alarmSt = noneAlarm;
    w.subSystem.UPSBox[1].alarmSt = commLostAlarm;
    EXPECT_NE(build().find("\"UPSFAILURE\": false}"), std::string::npos);
}

TEST_F(VuJson, BatteryVoltageIsTheSmallerHalfAndDigitsAreNumbers)
{
    w.Ups.Vbatp = 0;
    w.Ups.Vbatn = 400;
    in.ident.IO_Cfg = TT;   // '4'
    in.ident.UPS_Type = ATS;
    const std::string doc = build();
    golden("battery", doc);
    EXPECT_NE(doc.find("\"BATTERYVOLTAGE\": 0,\n\"VBATPLUS\": 0,\n\"VBATMINUS\": 400,\n"), std::string::npos);
    EXPECT_NE(doc.find("\"IOCONFIGURATION\": 4,\n\"UPSTYPE\": 5,\n"), std::string::npos);
}

TEST_F(VuJson, ProfileKeys)
{
    const std::string doc = build();
    const bool std_ = std::string(TVK_PROFILE_NAME) == "std";
    EXPECT_EQ(doc.find("\"ONBYPASS\": false,\n") != std::string::npos, std_);
    EXPECT_EQ(doc.find("\"OUPUTFREQUENCY\": 500,\n") != std::string::npos, std_);
    EXPECT_EQ(doc.find("\"OUTPUTFREQUENCY\": 500,\n") != std::string::npos, !std_);
    if (std_)
        EXPECT_LT(doc.find("\"BATTERYLOW\""), doc.find("\"ONBYPASS\""));
    w.LostRedundancy = 1;
    EXPECT_EQ(build().find("\"ALARM_REDUNDANCY\"") != std::string::npos, !std_);
}

TEST_F(VuJson, EveryAlarmAtOnceIsStillValid)
{
    w.Ups.Anomaly = w.Ups.Eco_Mode = w.Ups.SWMB = w.Ups.On_Bypass = w.Ups.Bypass_Bad = 1;
    w.Ups.Parallel_Link_Open = w.LostRedundancy = 1;
    w.SWIN = w.SWBYP = w.SWBATT_EXT = 0;
    w.Ups.SWOUT = w.Ups.Bt_present = 0;
    for (int i = 0; i < 4; ++i) {
        in.cabHasNode[i] = true;
        in.cabModuleAlarm[i] = commLostAlarm;
    }
    const std::string doc = build();
    EXPECT_TRUE(parsesAsJson(doc)) << doc;
    EXPECT_NE(doc.find("\"MODULE_4_LOST\"],"), std::string::npos);
}

// Texts come from module replies: whatever their bytes, the document stays valid JSON
// and no text runs past its field.
TEST_F(VuJson, TextsAreCutToTheirFieldsAndEscaped)
{
    memcpy(in.ident.SN, "AB\"C\\D\x01" "E\tF\x7F\xC3GHIJKLMN", 17);   // all 17 bytes, no NUL
    memcpy(in.ident.Model, "0123456789ABCDEFG", 17);
    memcpy(in.ident.SWVer, "V9\n99999999999", 13);
    const std::string doc = build();
    EXPECT_TRUE(parsesAsJson(doc)) << doc;
    EXPECT_NE(doc.find("\"TESTNUMBERJ\": \"AB\\\"C\\\\D\\u0001E\\u0009F\\u007F\\u00C3GHIJK\",\n"),
              std::string::npos)
        << doc;
    EXPECT_NE(doc.find("\"UPSMODELJ\": \"0123456789ABCDEFG\",\n"), std::string::npos);
    EXPECT_NE(doc.find("\"UPSSWVERSIONJ\": \"V9\\u000A9999999999\",\n"), std::string::npos) << doc;
}

// ---- Publication through the temporary file ---------------------------------------------

TEST(VuJsonFile, WrittenToTheTemporaryFileAndRenamed)
{
    TempDir d;
    const std::string tmp = d.path("vu.tmp"), pub = d.path("vu.json");
    VuJsonFile f;
    EXPECT_EQ(f.write("{\"a\": 1}", tmp.c_str(), pub.c_str(), T0), 0);
    EXPECT_EQ(readFile(pub), "{\"a\": 1}");
    EXPECT_NE(access(tmp.c_str(), F_OK), 0);
    EXPECT_EQ(f.write("{}", tmp.c_str(), pub.c_str(), T0), 0);
    EXPECT_EQ(readFile(pub), "{}");
}

TEST(VuJsonFile, FailedOpenKeepsTheDocumentAndIsLoggedAtABoundedRate)
{
    TempDir d;
    const std::string tmp = d.path("missing/vu.tmp"), pub = d.path("vu.json");
    writeFile(pub, "{\"old\": 1}");
    VuJsonFile f;
    LogCapture log;
    for (int s = 0; s < 120; ++s)
        EXPECT_EQ(f.write("{}", tmp.c_str(), pub.c_str(), T0 + s), -1);
    EXPECT_EQ(log.count("Err (AggregateBox): fopen() tarvik.tmp 2 No such file or directory\n"), 2);
    EXPECT_EQ(f.failures(), 120u);
    EXPECT_EQ(readFile(pub), "{\"old\": 1}");
}

TEST(VuJsonFile, FailedRenameLeavesThePublishedDocument)
{
    TempDir d;
    const std::string tmp = d.path("vu.tmp"), pub = d.path("pubdir");
    ASSERT_EQ(mkdir(pub.c_str(), 0755), 0);
    writeFile(pub + "/keep", "x");   // a non-empty directory cannot be replaced
    VuJsonFile f;
    LogCapture log;
    EXPECT_EQ(f.write("{}", tmp.c_str(), pub.c_str(), T0), -3);
    EXPECT_EQ(log.count("Err (AggregateBox): rename() "), 1);
    EXPECT_EQ(readFile(tmp), "{}");   // the temporary file remains
}

// A write that does not reach the file whole (here: the file size limit) never
// replaces the published document. Run in a child process, which alone gets the limit.
TEST(VuJsonFile, FailedWriteNeverRenamesATruncatedDocument)
{
    TempDir d;
    const std::string tmp = d.path("vu.tmp"), pub = d.path("vu.json");
    writeFile(pub, "{\"old\": 1}");
    const std::string big(20000, ' ');
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit rl = {4096, 4096};
        setrlimit(RLIMIT_FSIZE, &rl);
        VuJsonFile f;
        _exit(f.write("{" + big + "}", tmp.c_str(), pub.c_str(), T0) == -2 ? 0 : 1);
    }
    int st = 0;
    ASSERT_EQ(waitpid(pid, &st, 0), pid);
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 0);
    EXPECT_EQ(readFile(pub), "{\"old\": 1}");
}

// ---- Readers in other processes ------------------------------------------------------------

// Reader processes open vu.json over and over while it is rewritten thousands of
// times; every document they read must be whole and parse.
TEST_F(VuJson, ReadersOfTheRewrittenDocumentNeverSeeAPartialOne)
{
    TempDir d;
    const std::string tmp = d.path("vu.tmp"), pub = d.path("vu.json"), stop = d.path("stop");
    VuJsonFile f;
    ASSERT_EQ(f.write(build(), tmp.c_str(), pub.c_str(), T0), 0);
    const std::string script = d.path("reader.py");
    writeFile(script, "import json, os, sys\n"
                      "pub, stop, ready = sys.argv[1], sys.argv[2], sys.argv[3]\n"
                      "ok = bad = 0\n"
                      "while not os.path.exists(stop):\n"
                      "    if ok == 1:\n"
                      "        open(ready, 'w').close()\n"
                      "    with open(pub, 'rb') as fh:\n"
                      "        data = fh.read()\n"
                      "    try:\n"
                      "        doc = json.loads(data)\n"
                      "        assert 'UPSFAILURE' in doc and data.endswith(b'}')\n"
                      "        ok += 1\n"
                      "    except Exception:\n"
                      "        bad += 1\n"
                      "print(ok, bad)\n");
    const int readers = 2;
    FILE *p[readers];
    std::string ready[readers];
    for (int i = 0; i < readers; ++i) {
        ready[i] = d.path(("ready" + std::to_string(i)).c_str());
        const std::string cmd = "python3 '" + script + "' '" + pub + "' '" + stop + "' '" + ready[i] + "'";
        p[i] = popen(cmd.c_str(), "r");
        ASSERT_NE(p[i], nullptr);
    }
    // The rewrites start once every reader reads (bounded wait, real time).
    for (int i = 0; i < readers; ++i)
        for (int t = 0; t < 3000 && access(ready[i].c_str(), F_OK) != 0; ++t)
            usleep(10000);
    // Documents of different lengths, so that a partial read would show.
    const int writes = 5000;
    for (int k = 0; k < writes; ++k) {
        w.Ups.Anomaly = k & 1;
        w.Ups.SWOUT = (k & 2) ? 0 : 1;
        in.now = T0 + k;
        ASSERT_EQ(f.write(build(), tmp.c_str(), pub.c_str(), in.now), 0);
    }
    writeFile(stop, "");
    for (auto &r : p) {
        long ok = -1, bad = -1;
        ASSERT_EQ(fscanf(r, "%ld %ld", &ok, &bad), 2);
        pclose(r);
        EXPECT_GT(ok, 0);
        EXPECT_EQ(bad, 0);
    }
}

// Reader processes copy the system record and its nominal record out of the shared
// tree while passes publish new ones; with the publication counter they never keep
// a copy of a half-published record.
TEST(VuTreeReaders, NeverSeeAHalfPublishedSystemRecord)
{
    ScopedWorkDir wd;
    FakeClock clock;
    const uint8 savedAddr = KESPAddr;
    KESPAddr = FIRSTUPSBOX;
    TempDir d;
    const std::string tmp = d.path("vu.tmp"), pub = d.path("vu.json");
    const char *savedJson = jsonPath, *savedTmp = jsonPathTMP;
    jsonPath = pub.c_str();
    jsonPathTMP = tmp.c_str();

    SysCfgMgr cfg;
    memset(&cfg.Cfg, 0, sizeof cfg.Cfg);
    cfg.Cfg.Ups[0].present = 1;
    cfg.Cfg.Ups[0].modulePresent[0] = 1;
    cfg.numUPS = 1;
    {
        VirtualUPSMgr tree(cfg.Cfg);
        ASSERT_NE(tree.virtualUPS, nullptr);
        KESPMgr kesp;
        kesp.sys = tree.virtualUPS;
        ASSERT_NE(treePublishSeq(kesp.sys), nullptr);
        char id[16];
        snprintf(id, sizeof id, "S%c.BA", ownCabinetLetter());
        virtualNode_t *cab = tree.searchNode(id);
        ASSERT_NE(cab, nullptr);
        for (auto &b : kesp.upsBox)
            b = upsBoxQueriesData_t{};
        kesp.upsBox[0].pVN = cab;
        kesp.upsBox[0].MCUcommStatus.active = true;
        kesp.upsBox[0].MCUcommStatus.isGood = true;
        kesp.lastTime = timespec{0, 0};
        memset(&cab->desc.upsBox, 0, sizeof cab->desc.upsBox);
        InitUpsBox_UpsStatus(&cab->desc.upsBox.Ups);
        cab->desc.upsBox.Ups.Output_Powered = 1;

        const int shmId = tree.shm_id;
        const int readers = 2;
        int fds[readers][2];
        pid_t pids[readers];
        for (int r = 0; r < readers; ++r) {
            ASSERT_EQ(pipe(fds[r]), 0);
            pids[r] = fork();
            ASSERT_GE(pids[r], 0);
            if (pids[r] == 0) {
                close(fds[r][0]);
                void *base = shmat(shmId, nullptr, SHM_RDONLY);
                if (base == reinterpret_cast<void *>(-1))
                    _exit(2);
                virtualNode_t *t = static_cast<virtualNode_t *>(base);
                std::atomic<uint32> *seq = reinterpret_cast<std::atomic<uint32> *>(
                    static_cast<char *>(base) + treePublishSeqOffset());
                long kept = 0, torn = 0;
                const uint32 start = seq->load();
                for (long i = 0; i < 20000000 && seq->load() < start + 2 * 3000; ++i) {
                    const uint32 a = seq->load(std::memory_order_acquire);
                    if (a & 1)
                        continue;
                    virtualNode_t n0;
                    memcpy(&n0, t, sizeof n0);
                    std::atomic_thread_fence(std::memory_order_acquire);
                    if (seq->load(std::memory_order_relaxed) != a)
                        continue;
                    ++kept;
                    uint16 v[3];
                    memcpy(v, n0.desc.sys.Ups.Vout, sizeof v);
                    if (v[0] != v[1] || v[1] != v[2] || uint32(v[0]) != n0.nominal.W)
                        ++torn;
                }
                shmdt(base);
                long res[2] = {kept, torn};
                if (write(fds[r][1], res, sizeof res) != sizeof res)
                    _exit(3);
                _exit(0);
            }
            close(fds[r][1]);
        }
        // Each pass publishes a record whose output voltages and nominal power all
        // derive from k.
        for (int k = 1; k <= 3500; ++k) {
            const uint16 v = uint16(100 + k % 400);
            {
                myMutexLocker lk(kesp.mutexKESPData);
                setPhases(uint16, cab->desc.upsBox.Ups.Vout, v, v, v);
                cab->desc.upsBox.Ups.timestamp = mytime_t(clock.now());
                cab->nominal.W = v;
                cab->nominal.timestamp = mytime_t(clock.now());
            }
            clock.advanceMs(201);
            kesp.AggregateBoxFor(cfg, nullptr);
        }
        for (int r = 0; r < readers; ++r) {
            long res[2] = {-1, -1};
            EXPECT_EQ(read(fds[r][0], res, sizeof res), ssize_t(sizeof res));
            close(fds[r][0]);
            int st = 0;
            waitpid(pids[r], &st, 0);
            EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
            EXPECT_GT(res[0], 0);
            EXPECT_EQ(res[1], 0) << "reader " << r << " kept " << res[0];
        }
    }
    jsonPath = savedJson;
    jsonPathTMP = savedTmp;
    KESPAddr = savedAddr;
}

} // namespace
