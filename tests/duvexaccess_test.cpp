// Module data access: freshness of the module records, refresh requests, addressing
// and the data lock. Runs on local nodes with a module-bus thread object that is never
// started and a driven clock; the own cabinet is A, the other registered cabinet C.
#include "DUVEX.h"
#include "DUVEXData.h"
#include "Globals.h"
#include "TestSupport.h"
#include "ThreadDUVEX.h"
#include "VirtualUPSInit.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

using tvktest::FakeClock;
using tvktest::LogCapture;

namespace {

constexpr uint8 BOX_A = 0xEA;
constexpr uint8 BOX_B = 0xEB;
constexpr uint8 BOX_C = 0xEC;

// One queued query as "<Src><MainCmd><SubCmd><Dest>", e.g. " GI1" for Src 0x20.
std::string text(const pckStruct &q)
{
    return std::string{char(q.Src), char(q.MainCmd), char(q.SubCmd), char(q.Dest)};
}

class ModuleAccess : public ::testing::Test {
protected:
    void SetUp() override
    {
        savedAddr = KESPAddr;
        KESPAddr = BOX_A;
        for (virtualNode_t *n : {&modA, &modC}) {
            memset(n, 0, sizeof *n);
            n->nodetype = moduleNode;
        }
        duvex.ModulesData[0][0].pVN = &modA;
        duvex.ModulesData[2][0].pVN = &modC;
        duvex.ModulesData[0][0].commStatus.active = true;
        duvex.ModulesData[2][0].commStatus.active = true;
    }
    void TearDown() override { KESPAddr = savedAddr; }

    mytime_t ago(int s) { return mytime_t(sysclock::now() - s); }

    // Takes every query off the asynchronous queue.
    std::vector<std::string> drainQueue()
    {
        std::vector<std::string> out;
        QCMgr *q = nullptr;
        while (duvex.peekAsyncQC(q), q) {
            out.push_back(text(q->QC));
            duvex.headAsyncQC();
        }
        return out;
    }

    static std::string relayLine(const char *cmd, uint8 boxAddr)
    {
        char buf[160];
        snprintf(buf, sizeof buf,
                 " Err (DUVEX_RelayQueryQT): Bus armadi non disponibile: query %s per il modulo 1@%c non "
                 "accodata all'armadio 0x%02X\n",
                 cmd, char(boxAddr - 0xEA + 'A'), boxAddr);
        return buf;
    }

    FakeClock clock;
    LogCapture log;
    DUVEXMgr duvex;
    virtualNode_t modA, modC;
    uint8 savedAddr = 0;
};

} // namespace

#if !defined(TVK_MODULAR)
TEST_F(ModuleAccess, StatusCodingFreshnessAndRefresh)
{
    struct Case {
        int age;          // s
        bool stale;       // initial values instead of the node's coding
        bool refresh;     // a refresh is requested
    };
    const Case cases[] = {{0, false, false}, {2, false, false}, {3, false, true}, {30, false, true},
                          {31, true, true}, {100000, true, true}};
    for (uint8 box : {BOX_A, BOX_C}) {
        virtualNode_t &n = box == BOX_A ? modA : modC;
        for (const Case &c : cases) {
            SCOPED_TRACE("cabinet " + std::to_string(box) + " age " + std::to_string(c.age));
            log.clear();
            statusCoding_t &sd = n.desc.module.statusDetail;
            sd.timestamp = ago(c.age);
            memset(sd.states, 0x5A, sizeof sd.states);
            n.desc.module.data.Bt_present = 0;
            const statusCoding_t before = sd;

            statusCoding_t out;
            memset(&out, 0xEE, sizeof out);
            duvex.GetUPSStatusDetail(box, '1', out);

            statusCoding_t expected;
            if (c.stale)
                memset(&expected, 0, sizeof expected);
            else
                expected = before;
            EXPECT_EQ(memcmp(&out, &expected, sizeof out), 0);
            EXPECT_EQ(n.desc.module.data.Bt_present, c.stale ? 1 : 0) << "stale coding marks the battery present";
            EXPECT_EQ(memcmp(&sd, &before, sizeof sd), 0) << "the node's coding is never changed by a read";

            std::vector<std::string> q = drainQueue();
            if (box == BOX_A) {
                // The own module is asked with RA (this build's module bus has no RC reply).
                EXPECT_EQ(q, c.refresh ? std::vector<std::string>{" RA1"} : std::vector<std::string>{});
                EXPECT_FALSE(log.contains("DUVEX_RelayQueryQT"));
            } else {
                EXPECT_TRUE(q.empty()) << "nothing is queued for another cabinet";
                EXPECT_EQ(log.contains(relayLine("RC", BOX_C)), c.refresh);
            }
        }
    }
}

TEST_F(ModuleAccess, StatusCodingExtFreshnessAndRefresh)
{
    statusCodingExt_t &x = modA.desc.module.statusDetailExt;
    memset(x.states, 0x33, sizeof x.states);

    x.timestamp = ago(2);
    statusCodingExt_t out;
    memset(&out, 0xEE, sizeof out);
    duvex.GetUPSStatusDetailExt(BOX_A, '1', out);
    EXPECT_EQ(memcmp(&out, &x, sizeof out), 0);
    EXPECT_TRUE(drainQueue().empty());

    x.timestamp = ago(31);
    memset(&out, 0xEE, sizeof out);
    duvex.GetUPSStatusDetailExt(BOX_A, '1', out);
    statusCodingExt_t zero;
    memset(&zero, 0, sizeof zero);
    EXPECT_EQ(memcmp(&out, &zero, sizeof out), 0);
    // Asked twice while the first request still waits: queued once.
    duvex.GetUPSStatusDetailExt(BOX_A, '1', out);
    EXPECT_EQ(drainQueue(), std::vector<std::string>{" RA1"});

    modC.desc.module.statusDetailExt.timestamp = ago(3);
    duvex.GetUPSStatusDetailExt(BOX_C, '1', out);
    EXPECT_TRUE(log.contains(relayLine("RA", BOX_C)));
    EXPECT_TRUE(drainQueue().empty());
}

TEST(ModuleStateCode, MergedByPriority)
{
    FakeClock clock;
    DUVEXMgr duvex;
    struct Case {
        uint8 sys, module;
        bool onBattery, inTest;
        uint8 expected;
    };
    const Case cases[] = {
        {40, 50, true, false, 50},    // on battery: 400 beats 280
        {40, 50, false, true, 50},    // battery test counts as on battery
        {40, 50, false, false, 40},   // battery working ignored otherwise
        {40, 20, false, false, 40},   // power-off never replaces a running state
        {0, 20, false, false, 20},
        {20, 20, false, false, 20},
        {20, 0, false, false, 0},     // 100 beats 90
        {40, 99, false, false, 0},    // outside the table: back to initialisation
        {40, 22, false, false, 0},
        {40, 240, false, false, 0},
        {21, 8, false, false, 8},     // 185 beats 180
        {8, 21, false, false, 8},
        {47, 40, false, false, 40},   // 280 beats 270
        {64, 65, false, false, 64},   // 480 beats 440
        {41, 41, false, false, 41},   // tie keeps the code
        {62, 72, false, false, 62},
        {92, 91, false, false, 92},   // 260 beats 200
    };
    for (const Case &c : cases) {
        dataObject_t data;
        memset(&data, 0, sizeof data);
        data.Battery_Working = c.onBattery;
        data.Test_in_progress = c.inTest;
        uint8 s = c.sys;
        duvex.statusCodeSysUpdate(data, s, c.module);
        EXPECT_EQ(int(s), int(c.expected)) << "sys " << int(c.sys) << " module " << int(c.module);
    }
}
#endif

TEST_F(ModuleAccess, OwnStatusIsNeverRefreshedByReaders)
{
    descModule_t &d = modA.desc.module;
    d.data.Vin[0] = 231;
    d.data.Temp0 = 40;
    d.statusDetail.states[3] = 0x11;
    for (int age : {0, 3, 30}) {
        d.data.timestamp = ago(age);
        descModule_t out;
        memset(&out, 0xEE, sizeof out);
        duvex.GetUPSStatus(BOX_A, '1', out);
        EXPECT_EQ(memcmp(&out, &d, sizeof out), 0) << age;
    }
    for (int age : {31, 100000}) {
        d.data.timestamp = ago(age);
        descModule_t out;
        memset(&out, 0xEE, sizeof out);
        duvex.GetUPSStatus(BOX_A, '1', out);
        // Initial values on a cleared record: nothing of the reader's buffer survives.
        descModule_t expected;
        memset(&expected, 0, sizeof expected);
        InitValueUPSStatus(&expected.data);
        EXPECT_EQ(memcmp(&out, &expected, sizeof out), 0) << age;
        EXPECT_EQ(int(out.data.Frq_out), 500);
        EXPECT_EQ(int(out.data.Temp0), 25);
        EXPECT_EQ(int(out.data.Bt_present), 1);
    }
    EXPECT_TRUE(drainQueue().empty());
    EXPECT_FALSE(log.contains("DUVEX_RelayQueryQT"));
}

TEST_F(ModuleAccess, OtherCabinetStatusAskedFromThreeSeconds)
{
    descModule_t &d = modC.desc.module;
    d.data.Vout[1] = 229;
    d.data.timestamp = ago(2);
    descModule_t out;
    memset(&out, 0xEE, sizeof out);
    duvex.GetUPSStatus(BOX_C, '1', out);
    EXPECT_EQ(memcmp(&out, &d, sizeof out), 0);
    EXPECT_FALSE(log.contains("DUVEX_RelayQueryQT"));

    clock.advanceSec(1);   // now 3 s old: still copied, and asked again from cabinet C
    memset(&out, 0xEE, sizeof out);
    duvex.GetUPSStatus(BOX_C, '1', out);
    EXPECT_EQ(memcmp(&out, &d, sizeof out), 0);
    // The cabinet bus cannot relay yet: the request is reported, and nothing is queued here.
    EXPECT_EQ(log.count(relayLine("RX", BOX_C)), 1);
    if (tvk_debugEnabled()) {
        EXPECT_TRUE(log.contains("test presenza"));
    }
    EXPECT_TRUE(drainQueue().empty());
}

TEST_F(ModuleAccess, MissingIdentificationAndNominalAreAskedOnce)
{
    identification_t id;
    memset(&id, 0xEE, sizeof id);
    duvex.GetIdentification(BOX_A, '1', id);
    identification_t init;
    memset(&init, 0, sizeof init);
    InitValueIdentification(&init, IdentSource::ModuleBus);
    EXPECT_EQ(memcmp(&id, &init, sizeof id), 0);
    duvex.GetIdentification(BOX_A, '1', id);   // still missing: not queued twice

    nominal_t nom;
    memset(&nom, 0xEE, sizeof nom);
    duvex.GetNominal(BOX_A, '1', nom);
    nominal_t zero;
    memset(&zero, 0, sizeof zero);
    EXPECT_EQ(memcmp(&nom, &zero, sizeof nom), 0);

#if defined(TVK_MODULAR)
    const std::vector<std::string> expected = {" GI1", " GE1", " GN1"};
#else
    const std::vector<std::string> expected = {" GI1", " GN1"};
#endif
    EXPECT_EQ(drainQueue(), expected);
    EXPECT_EQ(log.count("Add AsyncQuery GI to 0x31\n"), 1);

    // Present records are copied whole and nothing is asked.
    modA.identification.timestamp = ago(5000);
    memcpy(modA.identification.SN, "0123456789ABCDEF", 16);
    modA.nominal.timestamp = ago(5000);
    modA.nominal.VA = 30000;
    duvex.GetIdentification(BOX_A, '1', id);
    duvex.GetNominal(BOX_A, '1', nom);
    EXPECT_EQ(memcmp(&id, &modA.identification, sizeof id), 0);
    EXPECT_EQ(memcmp(&nom, &modA.nominal, sizeof nom), 0);
    EXPECT_TRUE(drainQueue().empty());

    // Another cabinet's missing identification is asked through its card.
    duvex.GetIdentification(BOX_C, '1', id);
    EXPECT_TRUE(log.contains(relayLine("GI", BOX_C)));
    EXPECT_TRUE(drainQueue().empty());
}

TEST_F(ModuleAccess, BadAddressesLeaveTheOutputUntouched)
{
    // Every record is fresh, so a correct address would be copied.
    modA.identification.timestamp = ago(1);
    modA.nominal.timestamp = ago(1);
    modA.desc.module.data.timestamp = ago(1);
    modA.desc.module.statusDetail.timestamp = ago(1);
    const std::string addrErr = "GRAVE ERRORE DI INDIRIZZAMENTO\n";
    const std::string noNode = "MODULO NON INIZIALIZZATO!!!";
    union Out {
        identification_t id;
        nominal_t nom;
        descModule_t mod;
        statusCoding_t sd;
        commStatus_t cs;
        uint8 raw[sizeof(descModule_t) + sizeof(identification_t)];
    };
    struct Case {
        const char *what;
        std::function<void(Out &)> call;
        std::string message;
    };
    const Case cases[] = {
        {"identification of module '9'", [&](Out &o) { duvex.GetIdentification(BOX_A, '9', o.id); }, addrErr},
        {"nominal of module '0'", [&](Out &o) { duvex.GetNominal(BOX_A, '0', o.nom); }, addrErr},
        {"status of cabinet 0xEE", [&](Out &o) { duvex.GetUPSStatus(0xEE, '1', o.mod); }, addrErr},
        {"status of cabinet 0xE9", [&](Out &o) { duvex.GetUPSStatus(0xE9, '1', o.mod); }, addrErr},
        {"status of bypass '8'", [&](Out &o) { duvex.GetUPSStatus(BOX_A, '8', o.mod); }, addrErr},
        // The communication counters are read silently: a bad address logs nothing.
        {"comm status of cabinet 0xF0", [&](Out &o) { duvex.GetUPSCommStatus(0xF0, '1', o.cs); }, ""},
        {"comm status of module '9'", [&](Out &o) { duvex.GetUPSCommStatus(BOX_A, '9', o.cs); }, ""},
        // Valid addresses without a node: module '2' (one module per cabinet), cabinet B.
        {"identification of module '2'", [&](Out &o) { duvex.GetIdentification(BOX_A, '2', o.id); }, noNode},
        {"status of unregistered cabinet B", [&](Out &o) { duvex.GetUPSStatus(BOX_B, '1', o.mod); }, noNode},
        {"nominal of unregistered cabinet B", [&](Out &o) { duvex.GetNominal(BOX_B, '1', o.nom); }, noNode},
#if !defined(TVK_MODULAR)
        {"coding of cabinet 0xEE", [&](Out &o) { duvex.GetUPSStatusDetail(0xEE, '1', o.sd); }, addrErr},
        {"coding of module '7'", [&](Out &o) { duvex.GetUPSStatusDetail(BOX_A, '7', o.sd); }, noNode},
#endif
    };
    for (const Case &c : cases) {
        log.clear();
        Out o;
        memset(&o, 0x5A, sizeof o);
        c.call(o);
        bool untouched = true;
        for (uint8 b : o.raw)
            untouched = untouched && b == 0x5A;
        EXPECT_TRUE(untouched) << c.what;
        if (c.message.empty())
            EXPECT_TRUE(log.lines().empty()) << c.what << "\n" << log.text();
        else
            EXPECT_EQ(log.count(c.message), 1) << c.what << "\n" << log.text();
    }
    EXPECT_TRUE(drainQueue().empty());

    // A write to a bad address changes no node.
    statusCoding_t in;
    memset(&in, 0x77, sizeof in);
    const virtualNode_t before = modA;
    duvex.SetUPSStatusDetail(0xEE, '1', in);
    duvex.SetUPSStatusDetail(BOX_A, '3', in);
    EXPECT_EQ(memcmp(&before, &modA, sizeof before), 0);
}

TEST_F(ModuleAccess, StatusCodingWriteAndCounters)
{
    statusCoding_t in;
    memset(&in, 0, sizeof in);
    in.timestamp = ago(0);
    in.BatteryTestActive = 1;
    in.states[21] = 0x42;
    duvex.SetUPSStatusDetail(BOX_C, '1', in);
    EXPECT_EQ(memcmp(&modC.desc.module.statusDetail, &in, sizeof in), 0);

    duvex.ModulesData[0][0].commStatus = commStatus_t{true, 1234, 3, 7, true};
    duvex.ModulesData[2][0].commStatus = commStatus_t{true, 99, 6, 5, false};
    // Counters exist whether or not a node is registered.
    duvex.ModulesData[1][0].commStatus = commStatus_t{false, 0, 0, 2, false};
    commStatus_t cs{};
    duvex.GetUPSCommStatus(BOX_B, '1', cs);
    EXPECT_EQ(cs.errorCnt, 2);
    duvex.GetUPSCommStatus(BOX_A, '1', cs);
    EXPECT_TRUE(cs.active);
    EXPECT_EQ(cs.lastPckGood, 1234);
    EXPECT_EQ(cs.errorPck, 3);
    EXPECT_EQ(cs.errorCnt, 7);
    EXPECT_TRUE(cs.isGood);

    duvex.clearErrorCnt();   // only the own cabinet's module
    EXPECT_EQ(duvex.ModulesData[0][0].commStatus.errorCnt, 0);
    EXPECT_EQ(duvex.ModulesData[0][0].commStatus.errorPck, 3);
    EXPECT_EQ(duvex.ModulesData[2][0].commStatus.errorCnt, 5);
    EXPECT_EQ(duvex.ModulesData[1][0].commStatus.errorCnt, 2);
}

TEST_F(ModuleAccess, CopiesWaitForTheDataLock)
{
    modA.identification.timestamp = ago(1);
    modA.nominal.timestamp = ago(1);
    modA.desc.module.data.timestamp = ago(1);
    modA.desc.module.statusDetail.timestamp = ago(1);
#if !defined(TVK_MODULAR)
    modA.desc.module.statusDetailExt.timestamp = ago(1);
#endif
    identification_t id;
    nominal_t nom;
    descModule_t mod;
    statusCoding_t sd;
    commStatus_t cs;
    memset(&sd, 0, sizeof sd);
    const std::pair<const char *, std::function<void()>> calls[] = {
        {"GetIdentification", [&] { duvex.GetIdentification(BOX_A, '1', id); }},
        {"GetNominal", [&] { duvex.GetNominal(BOX_A, '1', nom); }},
        {"GetUPSStatus", [&] { duvex.GetUPSStatus(BOX_A, '1', mod); }},
#if !defined(TVK_MODULAR)
        {"GetUPSStatusDetail", [&] { duvex.GetUPSStatusDetail(BOX_A, '1', sd); }},
        {"GetUPSStatusDetailExt",
         [&] {
             statusCodingExt_t x;
             duvex.GetUPSStatusDetailExt(BOX_A, '1', x);
         }},
#endif
        {"SetUPSStatusDetail", [&] { duvex.SetUPSStatusDetail(BOX_A, '1', sd); }},
        {"GetUPSCommStatus", [&] { duvex.GetUPSCommStatus(BOX_A, '1', cs); }},
        {"clearErrorCnt", [&] { duvex.clearErrorCnt(); }},
    };
    for (const auto &c : calls) {
        std::atomic<bool> done{false};
        duvex.mutexDuvexData->lock();
        std::thread t([&] {
            c.second();
            done = true;
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_FALSE(done.load()) << c.first << " ran without the data lock";
        duvex.mutexDuvexData->unlock();
        t.join();
        EXPECT_TRUE(done.load()) << c.first;
    }
}

// The lines of the accessors and of the system commands carry the unit of the module-bus
// thread they belong to; those of the reply parser carry the codec's.
TEST_F(ModuleAccess, LinesCarryTheUnitOfTheirOperation)
{
    descModule_t out;
    duvex.GetUPSStatus(BOX_B, '1', out);   // unregistered: its error line
    EXPECT_EQ(log.count("] DUVEX/ThreadDUVEX Err (GetUPSStatus): MODULO NON INIZIALIZZATO!!! MCUAdd:0xEB "
                        "UPSAdd:1\n"),
              1)
        << log.text();

    log.clear();
    EXPECT_EQ(duvex.sysBatteryCheck(), 0);   // no system manager: nothing to check
    EXPECT_EQ(log.count("] DUVEX/ThreadDUVEX  (sysBatteryCheck): Check batterie\n"), 1) << log.text();

    log.clear();
    const uint8 shortRs[] = {0x02, '1', 0x20, 'R', 'S', '0', '1', '0', '0', '0', '0', '0', 0x03};
    EXPECT_EQ(DUVEX_ParseReply(&modA, nullptr, 0, long(sysclock::now()), shortRs, sizeof shortRs),
              DUVEX_DATA_ESHORT);
    EXPECT_EQ(log.count("] DUVEX/DUVEX Err (DUVEX_ManageData): Risposta RS troppo corta"), 1) << log.text();
}

// A parsed RS is what readers get while it is fresh, in every build (the modular RS
// reply stamps the status record too): initial values only once it is 31 s old.
TEST_F(ModuleAccess, ParsedStatusIsFreshForReaders)
{
    std::string data(RSDATALENGTH_TT, '0');
    data.replace(8, 3, "0>7");   // Vin[0] 231 (0xE7)
    data.replace(34, 2, "28");   // Temp0 40
    std::vector<uint8> f = {0x02, '1', 0x20, 'R', 'S', uint8('0' + (RSDATALENGTH_TT >> 4)),
                            uint8('0' + (RSDATALENGTH_TT & 0xF))};
    f.insert(f.end(), data.begin(), data.end());
    f.insert(f.end(), {'0', '0', '0', '0', 0x03});
    virtualNode_t cab;
    memset(&cab, 0, sizeof cab);
    cab.nodetype = upsBoxNode;
    ASSERT_EQ(DUVEX_ParseReply(&modA, &cab, 0, long(sysclock::now()), f.data(), f.size()), DUVEX_DATA_OK);

    struct Case {
        int age;
        bool fresh;
    } cases[] = {{0, true}, {30, true}, {31, false}};
    int64_t at = 0;
    for (const Case &c : cases) {
        clock.advanceSec(c.age - at);
        at = c.age;
        descModule_t out;
        memset(&out, 0xEE, sizeof out);
        duvex.GetUPSStatus(BOX_A, '1', out);
        EXPECT_EQ(int(out.data.Vin[0]), c.fresh ? 231 : 0) << c.age;
        EXPECT_EQ(int(out.data.Temp0), c.fresh ? 40 : 25) << c.age;
    }
}
