// Stand-in stations of the cabinet bus: an MU board, another cabinet's card and
// the station that hands the master role over with CN.
//
// Each runs its own thread on a line descriptor it does not own: a local port
// of a KespHub (hub.attachLocal(...)) or the master side of a PtyEnd when it
// faces one card directly (end.masterFd()); whoever provides the descriptor
// keeps it open longer than the station. The stations speak the frames with
// the bench's own framing (KespWire.h), never the card's codec, keep plain
// value state that tests set, record every frame they hear (good or not, for
// whomever), can misbehave on request, and keep real time.
#ifndef TVK_SIM_KESPSTATIONS_H
#define TVK_SIM_KESPSTATIONS_H

#include "KespWire.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace tvksim {

class KespHub;

// Misbehaviour, applied to the answers that match the filters.
struct KespFaults {
    bool silent = false;            // no answer
    uint8_t nakCode = 0;            // negative reply with this digit ('1'..'6', ...) instead
    bool badCheck = false;          // wrong check code
    int dataDelta = 0;              // data bytes added (zeros) or removed; DataLength and check follow
    int lenFieldDelta = 0;          // DataLength announces this many bytes more (or fewer) than sent
    uint8_t wrongSrc = 0;           // answer from this address instead; 0 = no
    unsigned delayMs = 0;           // answer this much later
    std::vector<uint8_t> noise;     // bytes sent before the answer
    std::vector<uint8_t> raw;       // exactly these bytes instead of the answer
    std::string onlyCmd;            // e.g. "BS"; empty = every answer
    int count = -1;                 // answers affected, then back to normal; -1 = until cleared
};

// One frame heard on the line.
struct Heard {
    size_t seq = 0;        // running number since the last clearHeard()
    int64_t firstUs = 0;   // monotonic, arrival of STX and ETX
    int64_t lastUs = 0;
    kesp::Header h;
    bool checkOk = false;
    Frame bytes;
};

// What the stations share: the thread, the line, the record of what was heard,
// answers with faults, and the master role (send a query, collect the answer).
class KespStation {
public:
    virtual ~KespStation();
    KespStation(const KespStation &) = delete;
    KespStation &operator=(const KespStation &) = delete;

    void stop();   // ends the thread; idempotent. Call before the line goes.
    uint8_t address() const { return addr_; }
    const std::string &name() const { return name_; }

    void setFaults(const KespFaults &f);
    void clearFaults();
    void setTurnaroundMs(unsigned ms);   // time from a query's ETX to the answer (default 2)
    // Pacing of the station's own bytes (0: write at once), for a station that
    // faces a card directly; on a paced hub leave it 0 (the hub paces). While
    // pacing, an answer also waits for the query's own wire time.
    void setBaud(unsigned baud);

    std::vector<Heard> heard() const;    // the last 4096 frames heard
    size_t heardCount() const;
    void clearHeard();
    // Waits (real time) for a heard frame with seq >= fromSeq that matches.
    bool waitHeard(const std::function<bool(const Heard &)> &match, int timeoutMs, Heard *out = nullptr,
                   size_t fromSeq = 0) const;
    size_t answersSent() const;          // answers written (faulty ones included, silences not)

    bool sendRaw(const Frame &bytes);    // writes bytes as they are
    // Master role: sends the query from this station's address and waits up to
    // timeoutMs for a frame from `dest` with the same letters or a negative
    // reply (the first one heard after the query went out).
    bool query(uint8_t dest, uint8_t mainCmd, uint8_t subCmd, const std::vector<uint8_t> &data, int timeoutMs,
               Frame *reply = nullptr);

protected:
    KespStation(int fd, uint8_t addr, std::string name);
    void start();   // the last act of a final class's constructor
    // The answer to a good frame addressed to this station (lock held);
    // false: no answer.
    virtual bool answer(const Heard &q, Frame &reply) = 0;
    // Every frame heard (lock held).
    virtual void onHeard(const Heard &) {}
    // Called from the station's thread between reads (lock not held) at or after tickDueUs().
    virtual void onTick(int64_t) {}
    virtual int64_t tickDueUs() const { return -1; }   // lock not held; -1 = none
    bool writeLine(const uint8_t *p, size_t n);
    bool waitUntil(int64_t untilUs);   // false when stopping
    void kick();                       // wakes the thread

    mutable std::mutex m_;
    mutable std::condition_variable cv_;
    bool stopping_ = false;

private:
    void run();
    void handle(const kesp::FrameScanner::Found &f);

    int fd_;
    uint8_t addr_;
    std::string name_;
    int wakeFd_ = -1;
    std::thread th_;
    std::mutex wm_;   // one writer at a time
    KespFaults faults_;
    bool faultsOn_ = false;
    unsigned turnaroundMs_ = 2;
    unsigned baud_ = 0;
    std::vector<Heard> heard_;
    size_t heardSeq_ = 0;
    size_t answers_ = 0;
};

// ---- MU board ---------------------------------------------------------------------

struct MuState {
    kesp::BoardInfo info;
    bool broadcastGI = false;          // answer GI to 0xFF instead of to the querier
    std::vector<uint8_t> gs = std::vector<uint8_t>(109, 0);   // GS answer data
    std::vector<uint8_t> ge = std::vector<uint8_t>(30, 0);    // GE answer data (error counters)
    // Recorded by the board.
    std::vector<uint8_t> lastSI;       // the 16 bytes of the last SI
    int lastTB = -1;                   // data byte of the last TB
    size_t siCount = 0, tbCount = 0, giCount = 0;
};

// The MU board of cabinet `index` (address 0x0A + index): answers GI (64 bytes,
// big-endian fields), GS and GE, acknowledges SI (16 data bytes) and TB (1).
// A wrong DataLength gets negative reply '3', a bad check code '4', an unknown
// sub-command '2', an unknown main command '1'.
class MuBoardSim final : public KespStation {
public:
    MuBoardSim(int fd, int index);
    ~MuBoardSim() override;
    MuState state() const;
    void setState(const MuState &s);
    void update(const std::function<void(MuState &)> &fn);

private:
    bool answer(const Heard &q, Frame &reply) override;
    MuState st_;
};

// ---- another cabinet's card ---------------------------------------------------------

struct CardState {
    kesp::CabinetImage bs;             // BS answer (332 bytes)
    kesp::Nominal bn;                  // BN answer (20)
    kesp::Identification bi;           // BI answer (98)
    uint32_t qtTimestamp = 1;          // time stamp at the head of a QT answer
    Frame qtInner;                     // inner module-bus reply; empty = no QT answer
    bool ackCommands = true;           // acknowledge CU, CH, SC, SI, UC
    // Recorded by the card.
    kesp::CnData lastCn;               // last CN heard (to this card or 0xFF)
    size_t cnCount = 0;
    size_t cnBadLength = 0;            // CN frames whose data are not 93 bytes
    Frame lastQtQuery;                 // inner frame of the last QT
    std::vector<std::string> commands; // letters of the commands acknowledged, in order
    std::vector<uint8_t> lastSC;       // data of the last SC
};

// The card of cabinet `index` (address 0xEA + index) as another cabinet sees
// it: answers BN, BS, BI and QT to 0xFF from its scripted state (a query with
// data where none belong gets no answer, as the card refuses it silently),
// acknowledges CU, CH, SC, SI and UC to the querier, records CN, and stays
// silent for anything else. Its master role is KespStation::query.
class CabinetCardSim final : public KespStation {
public:
    CabinetCardSim(int fd, int index);
    ~CabinetCardSim() override;
    CardState state() const;
    void setState(const CardState &s);
    void update(const std::function<void(CardState &)> &fn);
    // Builds the inner reply for a QT (under the station's lock; keep it short);
    // when set it takes precedence over CardState::qtInner. Empty result: no answer.
    void setQtHook(std::function<Frame(const Frame &innerQuery)> hook);

private:
    bool answer(const Heard &q, Frame &reply) override;
    void onHeard(const Heard &h) override;
    CardState st_;
    std::function<Frame(const Frame &)> qtHook_;
};

// ---- the hand-over station -------------------------------------------------------------

// Policies (HandoverPlan::policy):
//  - Manual: nothing by itself; handOver(target) does one hand-over.
//  - Once: one hand-over to targets[0] firstAfterMs after the start (or after
//    setPlan), then the role stays there.
//  - Rotate: the first hand-over as Once, then every periodMs to the next
//    address of targets in turn (a single target gets the role again and again,
//    which also carries fresh clock data).
//  - OnSilence: the first hand-over as Once; then the station watches the line
//    and, when the master sent nothing for silenceMs, hands the role to the next
//    address of targets (it keeps moving on while the line stays silent).
// A hand-over: a break (SIGINT to every pid given, the break hook, a Break entry
// in the hub's tap when a hub is given), breakSettleMs of quiet so that every
// card has fallen back to listening (and, with a hub, until the line is quiet:
// see lineQuietMs), one filler byte, fillerGapMs, then the CN
// frame (93 bytes, to `dest`, 0xFF by default). A card drops the byte that
// follows a break; the filler is that byte. The CN carries build, nextMaster,
// bitStatus, remoteTimeSuspended (zeros) and, for every cabinet of
// cabinetMask, a clock entry with this machine's time of day, epochT 1 and
// delta 0 (TftTime 0); setCnHook edits it before it goes out.
enum class HandoverPolicy { Manual, Once, Rotate, OnSilence };

struct HandoverPlan {
    HandoverPolicy policy = HandoverPolicy::Manual;
    std::vector<uint8_t> targets;      // cabinet addresses 0xEA .. 0xED
    unsigned firstAfterMs = 1000;
    unsigned periodMs = 30000;         // Rotate
    unsigned silenceMs = 10000;        // OnSilence
    uint8_t src = kesp::GROUPMASTER;   // sender address of the CN
    bool srcAsOutgoing = false;        // send as the outgoing master (src before the first)
    uint8_t dest = kesp::BROADCAST;
    int32_t build = -1;                // the card's build number unless it was changed
    uint32_t bitStatus = 3;            // forcedOnBypass bits; 3 (-1) asks nothing
    uint8_t cabinetMask = 0x0F;        // clock entries to fill (bit i: cabinet i)
    bool sendBreak = true;
    unsigned breakSettleMs = 150;
    // With a hub: after the settle time, the station also waits (at most
    // maxTalkWaitMs) until the line has been quiet for lineQuietMs, so that a card
    // still sending when the break came (an answer of 342 bytes lasts 356 ms at
    // 9600 baud) does not garble the filler and the CN.
    unsigned lineQuietMs = 20;
    unsigned maxTalkWaitMs = 2000;
    uint8_t filler = 0x00;
    unsigned fillerGapMs = 5;
};

struct HandoverRecord {
    int64_t breakUs = 0;   // monotonic: the break (0 without one)
    int64_t cnUs = 0;      // the CN was written
    uint8_t target = 0;
    int signalled = 0;     // processes the break reached
    Frame cn;
};

class HandoverStation final : public KespStation {
public:
    // hub (optional) gets the breaks in its tap.
    HandoverStation(int fd, const HandoverPlan &plan, KespHub *hub = nullptr);
    ~HandoverStation() override;

    void setPlan(const HandoverPlan &plan);   // restarts the policy's timers
    HandoverPlan plan() const;
    void setPids(const std::vector<pid_t> &pids);   // the card processes that hear breaks
    void setBreakHook(std::function<void()> hook);  // called at each break (station thread)
    void setCnHook(std::function<void(kesp::CnData &)> hook);

    // One hand-over now, carried out by the station's thread; waits for it.
    bool handOver(uint8_t target, int timeoutMs = 5000);
    std::vector<HandoverRecord> handovers() const;
    uint8_t currentMaster() const;   // 0 before the first hand-over
    // The CN data the station would send to `target` now (for tests).
    kesp::CnData cnFor(uint8_t target) const;

private:
    bool answer(const Heard &, Frame &) override { return false; }
    void onHeard(const Heard &h) override;
    void onTick(int64_t nowUs) override;
    int64_t tickDueUs() const override;
    void doHandover(uint8_t target);
    kesp::CnData cnForLocked(uint8_t target) const;
    uint8_t nextTarget() const;

    KespHub *hub_;
    HandoverPlan plan_;
    std::vector<pid_t> pids_;
    std::function<void()> breakHook_;
    std::function<void(kesp::CnData &)> cnHook_;
    std::vector<HandoverRecord> done_;
    uint8_t master_ = 0;
    uint8_t lastSrc_ = 0;
    int64_t planStartUs_ = 0;
    int64_t lastHandoverUs_ = 0;
    int64_t masterHeardUs_ = 0;
    size_t targetIdx_ = 0;
    uint64_t planGen_ = 0;             // counts setPlan calls
    std::vector<uint8_t> requests_;   // manual hand-overs waiting for the thread
};

} // namespace tvksim

#endif
