// Clock synchronisation between the cards of a plant, base of the cabinet-bus thread.
//
// The clock data travel inside the CN hand-over frame. The 93-byte CN record
// (CNData: build, nextMaster, bitStatus, remoteTimeSuspended, then the 68-byte
// clkStruct below) lives in the cabinet-bus thread header (KESP/ThreadKESP.h),
// which copies a received CN into it and hands CNData.clksData to
// elaborateClkData. This class does not define CNData.
//
// Each entry of clkStruct describes one cabinet (index = address - 0xEA):
//   T       time of day of that cabinet when the entry was filled
//   epochT  0 no entry, 1 valid entry without a manual setting, otherwise the
//           time at which that cabinet's clock was last set by hand
//   delta   offset of that cabinet against the reference clock, milliseconds
// TftTime is the averaged absolute offset in microseconds, never above 100000.
//
// Priority goes to the clock with the newest epoch; the others follow it. A clock
// set by hand (setClockManually) keeps the priority for 300 s at most, or until a
// clock with a newer epoch is heard.
//
// Values from the wire are untrusted: every sum and product is computed in 64
// bits and clamped; a sender index outside 0..3 and an own cabinet number outside
// A..D (KESPAddr 0xE0) never index the table.
//
// Manual setting from the card's other processes: a request file "clockset.req"
// in the card's working directory (beside the "Tarvik" key file), written whole
// by tarvik-setclock-<profile> (temporary file, then rename). The cabinet-bus
// thread calls pollClockRequest() once per loop turn; at most once a second it
// looks for the file, removes it, checks it and sets the clock, and answers in
// "clockset.res" (also written whole). Formats: see clkreq below.
//
// Threads and locks: mutexClk guards every member below; it is a leaf (nothing is
// taken while it is held). All operations may be called from any thread.
#ifndef TVK_CLOCKMGR_H
#define TVK_CLOCKMGR_H

#include "Types.h"
#include "myMutex.h"

#include <cstddef>
#include <ctime>
#include <string>
#include <sys/time.h>

class ClockMgr {
public:
    // Time of day as carried on the wire: seconds and microseconds, 32 bits each.
    struct __attribute__((packed)) clkTime_t {
        int32 tv_sec;
        int32 tv_usec;
    };
    struct __attribute__((packed)) clkValue_t {
        clkTime_t T;
        int32 epochT;
        int32 delta;
    };
    // 68 bytes, packed, host byte order (CNData.clksData).
    struct __attribute__((packed)) clkStruct {
        clkValue_t clkValue[4];
        uint32 TftTime;
    };

    static constexpr int NUMCLK = 4;
    static constexpr uint32 TFTTIME_MAX = 100000;        // microseconds
    static constexpr int32 SYNC_THRESHOLD_MS = 1500;      // never slewed from here up
    static constexpr int32 SLEW_THRESHOLD_MS = 75;        // slewed above this
    static constexpr int32 LOG_THRESHOLD_MS = 25;         // logged above this
    static constexpr time_t ADJ_INTERVAL_S = 60;          // at most one adjtime a minute
    static constexpr time_t PRIORITY_S = 300;             // priority of a manual setting
    static constexpr int64 POLL_INTERVAL_MS = 1000;       // request file looked for at most this often

    ClockMgr();
    ~ClockMgr();
    ClockMgr(const ClockMgr &) = delete;
    ClockMgr &operator=(const ClockMgr &) = delete;

    // Fills the own entry before a CN is built: T = now, epochT at least 1, or the
    // epoch of a manual setting.
    void prepareClkData(clkStruct &clk);
    // Works out the own offset from a received CN sent by cabinet index MCUrf and
    // slews the system clock when needed; updates the own entry and TftTime of remClks.
    void elaborateClkData(uint8 MCUrf, clkStruct &remClks);

    // Records a manual clock setting: sets the system clock to `tv` through the
    // machine-action seam, cancels a pending slew, and gives this clock the
    // priority (epochWhenClockChanged = the new time). 0 on success, -1 (errno
    // kept) when the machine refused; nothing changes then.
    int setClockManually(const struct timeval &tv);

    // Looks for a manual setting request in `dir` (the card's working directory);
    // at most once every POLL_INTERVAL_MS of the monotonic clock, else returns at
    // once. 0 nothing to do, 1 a request was carried out, negative: a request was
    // refused (clkreq codes). Cheap: one failed open() when there is no request.
    int pollClockRequest(const char *dir = ".");

    // Members in order; guarded by mutexClk.
    myMutex *mutexClk;
    time_t epochWhenClockChanged;   // when the clock was last set by hand; 0 = not set
    time_t lastAdj;                 // when adjtime last succeeded; initial 1
    // The own offset averaged over successive CN frames, in 1/32 ms. One per card
    // (a member rather than one per process, so that several cards can share a
    // process in the simulation; a card process has one ClockMgr anyway).
    int32 prevdelta;

    // Own cabinet index 0..3 from KESPAddr, or -1 for a card without a valid cabinet.
    static int ownIndex();
    // Weight of an entry: epochT >> 16, but at least 1.
    static int64 weight(int32 epochT);

private:
    int64 lastPollMs_;
    int64 lastBadSenderLogMs_;
    int64 lastStuckLogMs_;   // touched by the polling thread only
    bool badOwnLogged_;
    bool ownIndexOk(int &own);
    int handleRequest(const char *dir);
    int stuckRequest(const std::string &path, int err);
};

// Manual clock setting requests: file names and line formats shared by the card
// and the tool.
//   request  "clockset.req": "<sec> <usec> <mono_us> <token>\n"
//            sec.usec = the time to set, as it was when the request was written;
//            mono_us  = CLOCK_MONOTONIC of the writer at that moment (the card adds
//                       the time elapsed since, so a late pick-up sets no stale time);
//            token    = 1..32 characters [A-Za-z0-9_-], echoed in the result.
//   result   "clockset.res": "<token> <code> <sec>\n"
//            code 0 done (sec = the time set), negative = refused (below).
namespace clkreq {

constexpr const char *REQUEST_FILE = "clockset.req";
constexpr const char *RESULT_FILE = "clockset.res";
constexpr size_t MAX_LINE = 128;
constexpr int64 MAX_AGE_US = int64(600) * 1000000;   // older requests are stale
constexpr int64 MIN_TIME = 946684800;                 // 2000-01-01 00:00:00 UTC
constexpr int64 MAX_TIME = 2147483647 - 3600;         // must fit the 32-bit epoch with room

constexpr int DONE = 0;
constexpr int REFUSED_MACHINE = -1;   // the machine refused to set the clock
constexpr int REFUSED_FORMAT = -2;    // malformed request or unsafe file
constexpr int REFUSED_RANGE = -3;     // time outside MIN_TIME .. MAX_TIME
constexpr int REFUSED_STALE = -4;     // written too long ago (or in the future)

struct Request {
    int64 sec = 0;
    int64 usec = 0;
    int64 monoUs = 0;
    std::string token;
};

std::string formatRequest(const Request &r);
// Strict parse of one request line; false on any deviation.
bool parseRequest(const char *text, size_t len, Request &r);
std::string formatResult(const std::string &token, int code, int64 sec);
bool parseResult(const char *text, size_t len, std::string &token, int &code, int64 &sec);
bool validToken(const std::string &t);
const char *codeText(int code);

} // namespace clkreq

#endif
