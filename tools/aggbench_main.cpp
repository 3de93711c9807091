// tarvik-aggbench-<profile>: CPU time of the system aggregation.
//
//   tarvik-aggbench-<profile> [--passes N] [--dir DIR]
//
// Measures, on this thread's CPU clock:
//  - the core of one pass (AggregateBoxWith) over four cabinets;
//  - one whole pass of the cabinet-bus thread's AggregateBox over four cabinets
//    (cabinet data mutex, core, publication, descriptors, status document written
//    and renamed in DIR), with the log lines formatted into a discarding sink as
//    the naval and standard builds write them;
//  - one status document write (text built and written through the temporary file).
// The pacing of the passes is driven by a clock of the tool's own, so the passes run
// back to back.
#include "Globals.h"
#include "KESPAggregate.h"
#include "SysCfgMgr.h"
#include "SysClock.h"
#include "ThreadKESP.h"
#include "VirtualUPSInit.h"
#include "VirtualUPSMgr.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <unistd.h>

namespace {

int64_t threadCpuNs()
{
    struct timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Wall clock fixed, monotonic clock 201 ms further at every reading: every pass runs.
class StepClock : public sysclock::Source {
public:
    time_t now() override { return 1700000000; }
    struct timeval timeOfDay() override { return timeval{1700000000, 0}; }
    struct timespec monotonic() override
    {
        ms_ += 201;
        return timespec{time_t(ms_ / 1000), long(ms_ % 1000) * 1000000};
    }
    void sleepMs(unsigned) override {}

private:
    int64_t ms_ = 1000000;
};

void cabinet(descUpsBox_t &r, nominal_t &nom, int i)
{
    memset(&r, 0, sizeof r);
    InitUpsBox_UpsStatus(&r.Ups);
    r.Ups.timestamp = 1700000000;
    r.Ups.Output_Powered = r.Ups.Line_Present = r.Ups.SWOUT = r.Ups.Bt_present = r.Ups.Q1 = 1;
    r.SWIN = r.SWBYP = r.SWBATT_EXT = r.EPO = 1;
    for (int p = 0; p < 3; ++p) {
        uint16 v = uint16(229 + p + i);
        memcpy(reinterpret_cast<char *>(r.Ups.Vout) + 2 * p, &v, 2);
        memcpy(reinterpret_cast<char *>(r.Ups.Vin) + 2 * p, &v, 2);
        int32 w = 4000 + 100 * i;
        memcpy(reinterpret_cast<char *>(r.Ups.Watt) + 4 * p, &w, 4);
    }
    r.Ups.Vbatp = 270;
    r.Ups.Vbatn = 268;
    r.Ups.Frq_out = 500;
#if !defined(TVK_MODULAR)
    r.Ups.statusCode = ONLINE;
#endif
    r.subSystem.UPSShelter[0].alarmSt = noneAlarm;
    memset(&nom, 0, sizeof nom);
    nom.timestamp = 1700000000;
    nom.VA = 30000;
    nom.W = 27000;
}

} // namespace

int main(int argc, char **argv)
{
    long passes = 20000;
    std::string dir = "/tmp";
    for (int i = 1; i < argc; ++i) {
        if (!strcmp(argv[i], "--passes") && i + 1 < argc)
            passes = atol(argv[++i]);
        else if (!strcmp(argv[i], "--dir") && i + 1 < argc)
            dir = argv[++i];
        else {
            fprintf(stderr, "usage: %s [--passes N] [--dir DIR]\n", argv[0]);
            return 2;
        }
    }
    if (passes < 1)
        passes = 1;
    const std::string pub = dir + "/aggbench-vu.json", tmp = dir + "/aggbench-vu.tmp";
    jsonPath = pub.c_str();
    jsonPathTMP = tmp.c_str();
    KESPAddr = FIRSTUPSBOX;
    StepClock clk;
    sysclock::setSource(&clk);
    unsigned long long logBytes = 0;
    tvk_setLogSink([&logBytes](const std::string &line) { logBytes += line.size(); });

    SysCfgMgr cfg;
    memset(&cfg.Cfg, 0, sizeof cfg.Cfg);
    for (int i = 0; i < 4; ++i) {
        cfg.Cfg.Ups[i].present = 1;
        cfg.Cfg.Ups[i].modulePresent[0] = 1;
    }
    cfg.Cfg.WModule = 27000;
    cfg.Cfg.redundantUPS = profile::redundantUPS;
    cfg.numUPS = 4;

    // The core alone.
    SysAggInput in;
    for (int i = 0; i < 4; ++i) {
        SysAggCabinet &c = in.cab[i];
        c.active = c.mcuGood = c.hasNode = true;
        cabinet(c.rec, c.nominal, i);
    }
    in.cfg = &cfg;
    in.now = 1700000000;
    InitValueIdentification(&in.ownIdent, IdentSource::ModuleBus);
    SysAggDebounce db;
    SysAggResult out;
    int64_t t0 = threadCpuNs();
    for (long k = 0; k < passes; ++k) {
        AggregateBoxWith(in, db, out);
        in.sysNow = out.sys;
    }
    const double coreUs = double(threadCpuNs() - t0) / 1000.0 / double(passes);

    // Whole passes of the adapter on a tree of system, extension and four cabinets.
    static virtualNode_t nodes[6];
    memset(nodes, 0, sizeof nodes);
    nodes[0].nodetype = sysNode;
    nodes[0].ext = 1;
    nodes[0].panel.value = CMD_NONE;
    nodes[1].nodetype = extNode;
    KESPMgr kesp;
    kesp.sys = nodes;
    for (int i = 0; i < 4; ++i) {
        virtualNode_t &n = nodes[2 + i];
        n.nodetype = upsBoxNode;
        cabinet(n.desc.upsBox, n.nominal, i);
        kesp.upsBox[i].pVN = &n;
        kesp.upsBox[i].MCUcommStatus.active = true;
        kesp.upsBox[i].MCUcommStatus.isGood = true;
    }
    InitSysStatus(&nodes[0].desc.sys, cfg);
    const long passPasses = passes / 4 > 0 ? passes / 4 : 1;
    logBytes = 0;
    t0 = threadCpuNs();
    for (long k = 0; k < passPasses; ++k)
        kesp.AggregateBoxFor(cfg, nullptr);
    const double passUs = double(threadCpuNs() - t0) / 1000.0 / double(passPasses);
    const double logPerPass = double(logBytes) / double(passPasses);

    // One status document: built and written through the temporary file.
    VuJsonInput vj;
    vj.ident = nodes[0].identification;
    vj.nominal = nodes[0].nominal;
    vj.now = 1700000000;
    VuJsonFile file;
    size_t docSize = 0;
    t0 = threadCpuNs();
    for (long k = 0; k < passPasses; ++k) {
        descSys_t w = nodes[0].desc.sys;
        const std::string doc = BuildVuJson(w, vj);
        docSize = doc.size();
        file.write(doc, tmp.c_str(), pub.c_str(), vj.now);
    }
    const double vuUs = double(threadCpuNs() - t0) / 1000.0 / double(passPasses);
    t0 = threadCpuNs();
    for (long k = 0; k < passes; ++k) {
        descSys_t w = nodes[0].desc.sys;
        docSize = BuildVuJson(w, vj).size();
    }
    const double buildUs = double(threadCpuNs() - t0) / 1000.0 / double(passes);

    tvk_setLogSink(nullptr);
    sysclock::setSource(nullptr);
    unlink(pub.c_str());
    unlink(tmp.c_str());
    printf("profile %s, four cabinets\n", profile::name);
    printf("core of one pass (AggregateBoxWith): %.2f us CPU (%ld passes)\n", coreUs, passes);
    printf("whole pass (AggregateBox, with vu.json and %.0f bytes of log lines): %.2f us CPU (%ld passes)\n",
           logPerPass, passUs, passPasses);
    printf("vu.json write (%zu bytes, build + write + rename): %.2f us CPU; build only %.2f us\n", docSize, vuUs,
           buildUs);
    printf("at the fastest pace (one pass per 200 ms): %.3f %% of one core\n", passUs / 200000.0 * 100.0);
    return 0;
}
