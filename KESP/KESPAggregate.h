// System aggregation: the records of the up to four UPS cabinets turned into the
// system record, the cabinet descriptors refreshed, and the status document built.
//
// The work is done by pure functions on values the caller hands in (cabinet
// records, communication states, the plant configuration, the time), so that tests
// run them on hand-built records with a driven clock:
//   AggregateBoxWith   cabinet records -> system record, identification, nominal
//   UpdateItemsWith    state code, status coding and cabinet descriptors
//   BuildVuJson        the status document's text
// KESPMgr::AggregateBox is the adapter: it reads the cabinet entries and the tree
// under the cabinet data mutex, runs the core, publishes, writes vu.json and hands
// a pending panel command of the system node to a worker thread.
#ifndef TVK_KESPAGGREGATE_H
#define TVK_KESPAGGREGATE_H

#include "Debounce.h"
#include "Log.h"
#include "SysCfgMgr.h"
#include "Types.h"
#include "VirtualUPSTypes.h"

#include <condition_variable>
#include <ctime>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

class DUVEXMgr;
class QThread;

// These functions belong to the cabinet-bus thread: their lines carry its unit.
// (the unit table of Common/Log.cpp maps these files to KESP/ThreadKESP). The
// function name is the operation's, also for lines written by its helpers.
#define KLOGE(func, ...) tvk_log(__FILE__, func, LogLevel::Err, __VA_ARGS__)
#define KLOGW(func, ...) tvk_log(__FILE__, func, LogLevel::War, __VA_ARGS__)
#define KLOGD(func, ...) tvk_log(__FILE__, func, LogLevel::Dbg, __VA_ARGS__)
#define KLOGN(func, ...) tvk_log(__FILE__, func, LogLevel::None, __VA_ARGS__)
#define KTRACE(func, msg) tvk_trace(__FILE__, func, (msg))

// Constants of the system aggregation.
constexpr int SYSAGG_MIN_INTERVAL_MS = 200;   // passes this close together are skipped
constexpr int SYSAGG_CONFIRM_S = 11;          // Lock, Bypass_Bad, battery, Output_Powered disagreements
constexpr int SYSAGG_REDUNDANCY_S = 4;        // lost and low redundancy
constexpr int SYSAGG_CURRENT_S = 30;          // a cabinet record younger than this makes the system current
constexpr int SYSAGG_FREQTH = 20;             // frequency (0.1 Hz) counts from here
constexpr int SYSAGG_VBATTH = 100;            // battery voltage threshold
constexpr uint16 SYSAGG_NOMINAL_BATTV = 240;  // nominal battery voltage of the system
constexpr int CABDATA_FRESH_S = 30;           // cabinet and system data on an error-free link

// Debounce states of the system aggregation, owned by the cabinet-bus thread.
struct SysAggDebounce {
    Debounce lock{SYSAGG_CONFIRM_S};
    Debounce bypassBad{SYSAGG_CONFIRM_S};
    Debounce batteryWorking{SYSAGG_CONFIRM_S};
    Debounce outputPowered{SYSAGG_CONFIRM_S};
    Debounce lostRed{SYSAGG_REDUNDANCY_S};
    Debounce lowRed{SYSAGG_REDUNDANCY_S};
};

// One cabinet as the pass sees it: a copy of its entry and of its tree node.
// The pass changes `rec` (communication flags of MCUMUStatus and boxStatus, and,
// in UpdateItemsWith, the module descriptors); the caller writes those back.
struct SysAggCabinet {
    bool active = false;        // the cabinet is polled (registered)
    bool mcuGood = false;       // its MCU board answers
    bool configUpdate = false;  // its MU board asks for the configuration
    bool hasNode = false;       // it has a node in the tree
    int32 errorPck = 0;         // error weight of the cabinet link
    descUpsBox_t rec{};         // the node's desc.upsBox
    nominal_t nominal{};        // the node's nominal record
};

struct SysAggInput {
    SysAggCabinet cab[MAXUPSBOX];
    descSys_t sysNow{};              // the system node's desc.sys before the pass
    identification_t ownIdent{};     // identification of the own cabinet (its module's)
    uint16 ownModuleBatteryAh = 0;   // nominal BatteryAh of the own module
    const SysCfgMgr *cfg = nullptr;  // plant configuration and numUPS
    uint8 ownIdx = 0;                // own cabinet index 0..3
    bool isMaster = false;           // this card is master of the cabinet bus
    time_t now = 0;                  // wall clock, seconds
};

struct SysAggResult {
    descSys_t sys{};               // the working system record, as published
    identification_t ident{};      // system identification
    nominal_t nominal{};           // system nominal record
    uint8 moduleNotOnLoad = 0;
    uint8 moduleUsed = 0;
    bool sendSI[MAXUPSBOX] = {};   // MU boards that asked for the configuration (master only)
};

// Steps 2..14 of a pass on the values in `in`. Changes in.cab[i].rec as the pass
// changes the cabinet nodes. Logs as the cabinet-bus thread's AggregateBox.
void AggregateBoxWith(SysAggInput &in, SysAggDebounce &db, SysAggResult &out);

// The state code, status coding and cabinet descriptors of the system record
// (`sys`, the published record) from the cabinets; resets the module descriptors
// of stale cabinets in cab[i].rec.subSystem. `cfg` gives the configured cabinets.
void UpdateItemsWith(SysAggCabinet *cab, descSys_t &sys, const PlantCfg &cfg, time_t now);
// Freshness checks: a cabinet's module descriptors back to their start values when
// its data are older than BSPCKEXPIRE, or older than 30 s on an error-free link; the
// system's cabinet descriptors when the system data are older than 30 s.
void checkUpsBoxSubSystemWith(descUpsBox_t &rec, int32 errorPck, const upsBoxCfg_t &cfg, uint8 idx, time_t now);
void checkSysSubSystemWith(descSys_t &sys, const PlantCfg &cfg, time_t now);

#if !defined(TVK_MODULAR)
// Priority of a state code in the system state-code selection (0 when not listed).
int statusCodePriority(uint8 code);
// One cabinet's state code `c` applied to the system code `s`; `onBattery` is the
// system record's Battery_Working or Test_in_progress.
uint8 statusCodeSelect(uint8 s, uint8 c, bool onBattery);
#endif

// What the status document needs besides the system record.
struct VuJsonInput {
    identification_t ident{};       // system identification
    nominal_t nominal{};            // system nominal record
    uint8 ownIdx = 0;
    bool cabHasNode[MAXUPSBOX] = {};
    uint8 cabModuleAlarm[MAXUPSBOX] = {};   // alarmSt of each cabinet's module descriptor
    time_t now = 0;
};

// The status document for the working record `w`. A lost module sets alarm.Fault
// in `w` (so that the document's last line reports it).
std::string BuildVuJson(descSys_t &w, const VuJsonInput &in);

// Writes `doc` to tmpPath and renames it to path. A failed open, write, close or
// rename leaves the published document as it was; failures are logged at most once
// a minute per kind. 0 on success, negative on failure.
class VuJsonFile {
public:
    int write(const std::string &doc, const char *tmpPath, const char *path, time_t now);
    unsigned failures() const { return failures_; }

private:
    bool shouldLog(int kind, time_t now);
    time_t lastLogged_[4] = {0, 0, 0, 0};
    bool everLogged_[4] = {false, false, false, false};
    unsigned suppressed_[4] = {0, 0, 0, 0};
    unsigned failures_ = 0;
};

// A panel command of the system node, to be run off the cabinet-bus thread.
struct SysPanelCmd {
    uint8 value = CMD_NONE;
    uint16 delayShut = 0;
    uint16 delayReboot = 0;
};

// Runs system commands one after another on a thread of its own, so that the
// cabinet-bus thread never waits for a command (a command for a master module of
// another cabinet needs a cabinet-bus exchange). post() never blocks; at most
// `capacity` commands wait, further ones are refused and logged.
class SysCmdWorker {
public:
    using Runner = std::function<void(const SysPanelCmd &)>;
    static constexpr size_t capacity = 4;

    SysCmdWorker();
    ~SysCmdWorker();
    // Replaces what runs a command (the default calls the module-bus thread's
    // system commands). Only while no command is queued.
    void setRunner(Runner r);
    bool post(const SysPanelCmd &cmd);
    // Waits until every queued command has run (tests, orderly stop).
    void drain();
    // Stops the thread after the command in progress; queued ones are dropped.
    void stop();
    // Stops the worker when `owner` (the cabinet-bus thread) finishes, so that no
    // command runs while the threads it uses are being taken down. Once.
    void stopWhenFinished(QThread *owner);

private:
    void loop();
    std::mutex m_;
    std::condition_variable cv_;
    std::condition_variable idleCv_;
    std::deque<SysPanelCmd> q_;
    Runner runner_;
    std::thread th_;
    bool stop_ = false;
    bool busy_ = false;
    bool hooked_ = false;
};

// The module-bus thread's system command for a panel value (0..3); the default runner.
void runSysPanelCmd(const SysPanelCmd &cmd);

#endif
