// Cabinet-bus codec (KESP): frame format, link layer and message catalogue.
//
// Frame on the wire (multi-byte header fields big-endian):
//   STX | Src | Dest | MainCmd | SubCmd | DataLength (2) | Data (N) | CRC (2, high first) | ETX
// N + 10 bytes; the CRC (crcCalc) covers Src .. the last data byte.
//
// The link layer is a set of free functions with module-wide state (own channel,
// last master, break counter, last link error). The byte I/O goes through the
// channel layer (ComDev) on KESP_ch, or through the link seam (KESP_SetLinkIO)
// that tests and fuzzers install. Framing itself needs no port.
//
// Threads and locks. Every exchange runs on the cabinet-bus thread or on a
// single-query thread with mutexKESPChannel held; errnoKESP is valid only under
// that hold. KESP_ManageData runs with mutexKESPData held by the caller.
// KESP_ManageReply runs with the channel held and mutexKESPData free (it takes
// mutexKESPData itself to copy the own records; lock order mutexQCSeq ->
// mutexKESPChannel -> mutexKESPData -> mutexDuvexData).
// SIGINT counts line breaks (KESP_BreakDetected); the handler only counts.
#ifndef TVK_KESP_H
#define TVK_KESP_H

#include "Profile.h"
#include "QCMgr.h"
#include "elemDesc.h"
#include "Types.h"

#include <atomic>
#include <csignal>
#include <cstddef>
#include <functional>

struct upsBoxQueriesData_t;
struct virtualNode_t;
struct PlantCfg;
class myMutex;

// ---- Frame layout ---------------------------------------------------------------
constexpr uint8 STX = 0x02;
constexpr uint8 ETX = 0x03;
constexpr uint8 ACK = 0x06;              // data byte of a positive acknowledgement
constexpr uint8 NCK = 0x15;              // MainCmd of a negative reply
constexpr uint8 BROADCAST = 0xFF;
constexpr uint8 KESP_SOURCEOFFSET = 0x01;
constexpr uint8 KESP_DESTOFFSET = 0x02;
constexpr uint8 KESP_MAINCMDOFFSET = 0x03;
constexpr uint8 KESP_SUBCMDOFFSET = 0x04;
constexpr uint8 KESP_LENGTHOFFSET = 0x05;
constexpr uint8 KESP_DATAOFFSET = 0x07;
constexpr uint8 KESP_HEAD_QUEUE_LEN = 0x0A;    // header + trailer bytes of a frame
constexpr uint16 KESP_HEADLEN = 7;             // STX .. DataLength
constexpr uint16 KESP_MAXPCKLEN = 1024;        // buffers are sized for this frame length
constexpr uint16 FIFOSIZE = 2 * KESP_MAXPCKLEN;   // receive ring of KESP_Rcv
constexpr uint16 KESP_ACKLEN = KESP_HEAD_QUEUE_LEN + 1;   // positive acknowledgement (11)
constexpr uint16 KESP_BUSYLEN = KESP_HEAD_QUEUE_LEN;      // busy reply (10)
constexpr int DEVICEBAUDRATE = 9600;

// ---- Addresses (the one place for cabinet-bus addresses) ------------------------
constexpr uint8 GROUPMASTER = 0xE0;                 // cabinet group; initial own address and LastMaster
constexpr uint8 FIRSTUPSBOX = GROUPMASTER + 0x0A;   // cabinet A (0xEA) .. D (0xED)
constexpr uint8 KESP_BROADCAST = BROADCAST;
constexpr uint8 FIRSTMUUPSBOX = 0x0A;               // MU board of cabinet A (0x0A) .. D (0x0D)
// MU boards 0x00..0x09 belong to battery cabinets (MAXBATTERYBOX: none built).
constexpr uint8 CABINETLETTEROFFSET = FIRSTUPSBOX - 'A';   // address - 0xA9 = letter

inline bool isMCU_NODE(uint8 addr) { return uint8(addr - FIRSTUPSBOX) < MAXUPSBOX; }
inline bool isMU_NODE(uint8 addr) { return addr < 0x0E; }
// MU board of a UPS cabinet (0x0A .. 0x0D).
inline bool isUpsBoxMU_NODE(uint8 addr) { return uint8(addr - FIRSTMUUPSBOX) < MAXUPSBOX; }
// A station that may act as master (0xE0 .. 0xEF).
inline bool isMasterCapable(uint8 addr) { return addr != BROADCAST && (addr & 0xF0) == 0xE0; }
inline uint8 MCU2id(uint8 addr) { return uint8(addr - FIRSTUPSBOX); }
inline uint8 id2MCU(uint8 id) { return uint8(FIRSTUPSBOX + id); }
inline uint8 MU2id(uint8 addr) { return uint8(addr - FIRSTMUUPSBOX); }
inline uint8 id2MU(uint8 id) { return uint8(FIRSTMUUPSBOX + id); }
inline char MCU2letter(uint8 addr) { return char(addr - CABINETLETTEROFFSET); }

// ---- Result codes ---------------------------------------------------------------
constexpr int SUCC = 0;
constexpr int FAIL = -1;
constexpr int BUSY = -2;
constexpr int COMMERR = -3;
constexpr int KESP_RCVLONGTIMEOUT = -4;   // KESP_RcvReply: the exchange ran past 60 s
constexpr int NOACTIVITY = -5;

// ---- errnoKESP values -----------------------------------------------------------
constexpr uint8 STXFAIL = 0x01;
constexpr uint8 ADDRSFAIL = 0x02;
constexpr uint8 GENFAIL = 0x04;
constexpr uint8 MAINCMDFAIL = 0x05;
constexpr uint8 SUBCMDFAIL = 0x06;
constexpr uint8 DATALENFAIL = 0x07;
constexpr uint8 ERRCODEFAIL = 0x08;
constexpr uint8 BUSYFAIL = 0x09;
constexpr uint8 SECURITYPINFAIL = 0x0A;
constexpr uint8 CMDSFAIL = 0x0B;
constexpr uint8 CRCRCVFAIL = 0x0C;
constexpr uint8 RCV_NOSTXDETECT = 0x10;
constexpr uint8 RCV_LONGTIMEOUT = 0x11;

// ---- Timing (ms) ----------------------------------------------------------------
constexpr uint32 READTIMEOUT = 3000;                   // silence tolerated inside a reply
constexpr uint32 DELAYUNIT = READTIMEOUT * 10;         // one step of a slave's listening time
constexpr uint32 READTIMEOUTNOISE = READTIMEOUT * 20;  // longest receive of bytes without a frame
// Silence that ends a frame begun but not complete (a frame cut short): well below
// the silence a master allows inside a reply, so a listening card has given the cut
// frame up before the master's next frame comes; far above any pause inside a frame,
// which its sender writes in one go.
constexpr uint32 KESP_FRAMEGAP = READTIMEOUT / 3;
constexpr uint32 KESP_MAXLISTEN = 120000;              // longer listening times are divided by 5
constexpr uint32 KESP_REOPENDELAY = 1000;              // pause before reopening a failed port
constexpr unsigned KESP_LOCALREPLYDELAY = 3;           // own-address query: answer after 3 ms
constexpr unsigned KESP_LOCALREPLYAFTER = 5;           // ... and wait 5 ms after the answer

// ---- Reply data lengths ---------------------------------------------------------
constexpr uint16 REPLYBNLEN = 20;
constexpr uint16 REPLYBSLEN = 332;    // cabinet record (331 bytes on the wire) + MU index
constexpr uint16 BSRECORDLEN = 331;   // wire size of the cabinet record inside BS
constexpr uint16 REPLYBILEN = 98;
constexpr uint16 REPLYGILEN = 64;
constexpr uint16 REPLYGSLEN = 109;
constexpr uint16 REPLYEXTERRLEN = 30;
constexpr uint16 REPLYACKLEN = 1;
constexpr uint16 CNDATALEN = 93;
constexpr uint16 SIDATALEN = 16;
constexpr uint16 SCDATALEN = 374;
constexpr uint16 QTTIMESTAMPLEN = 4;

// ---- Module-wide state ----------------------------------------------------------
// Address of the last station seen acting as master (initial GROUPMASTER).
// Atomic: the bus thread, single-query threads and the recovery path write it.
// Print it as unsigned(LastMaster).
extern std::atomic<uint8> LastMaster;
// Channel of the open port, 0xFF when closed.
extern std::atomic<uint8> KESP_ch;
// Line breaks seen since the bus thread last cleared it. Raised by the SIGINT
// handler and by the UART's break counter (checked after every read on a real
// port); read and cleared by the bus thread. Lock-free atomic, so signal-safe.
// Print it as cntBreakDetect.load().
extern std::atomic<int> cntBreakDetect;
static_assert(std::atomic<int>::is_always_lock_free, "the break counter is touched from a signal handler");
// Reason of the last failed check (values above). Cleared at the start of every
// exchange; read it under mutexKESPChannel, before the channel is released.
extern uint8 errnoKESP;

// ---- Link layer -----------------------------------------------------------------
// Opens the bus: flushes an open channel, otherwise installs the SIGINT handler
// and opens serialPortKESP at 9600 baud. 0, or -1 when the channel could not be
// opened (KESP_ch stays 0xFF). A failed open is retried no sooner than
// KESP_REOPENDELAY after the previous attempt; repeated failures are logged boundedly.
int KESP_Init();
// Closes the channel if open. Returns 0.
int KESP_End();
// SIGINT handler: counts a line break. Nothing else (no logging, no port call).
void KESP_BreakDetected(int signal);
// Installs KESP_BreakDetected as the SIGINT disposition (all signals blocked
// while it runs, no flags). Safe to call more than once.
void KESP_InstallBreakHandler();
// Waits 2 ms, then sends a break on the line and flushes (every other station
// sees the break).
void KESP_RecoveryBus();
// Sends a frame, up to 4 tries. 0 or the last error of the channel layer.
int KESP_Send(uint8 *stream, uint16 len);
// Frame builder of cabinet-bus query elements (QCMgr): allocates ParamLen + 10
// bytes with new uint8[] and returns the length. Src is KESPAddr. A frame that
// cannot be built (parameters announced but pParam null, more than
// KESP_MAXPCKLEN - 10 parameter bytes, no memory) gives 0 and a null pointer.
uint16 KESP_BuildQuery(pckStruct &qcs, uint8 *&query);
// Frees a frame of KESP_BuildQuery (delete[]) and nulls the pointer.
void KESP_DestroyQuery(uint8 *&query);
// Header of a frame into `query`; pParam points into `pck` at byte 7 (no copy).
void KESP_ExtractQuery(pckStruct &query, uint8 *pck);
// Positive acknowledgement from KESPAddr to query.Src echoing its commands: 0 or -1.
int KESP_ACKReply(pckStruct &query);
// Busy reply (NCK '5', no data) from KESPAddr to src: 0 or -1.
int KESP_BusyReply(uint8 src);
// Checks and logs an acknowledgement received for a command (records its Src
// as LastMaster first).
void KESP_ACKControl(long timestamp, pckStruct &reply);
// LastMaster = src when src is 0xE0 .. 0xEF; otherwise unchanged.
void KESP_UpdateLastMaster(uint8 src);
// Receives any one valid frame into stream. *len is the capacity on entry
// (unchanged; the frame length is 10 + DataLength). SUCC, NOACTIVITY (the line
// stayed silent for `timeout` ms) or FAIL (break, read error, 60 s of noise, or a
// capacity below 10).
int KESP_Rcv(uint8 *stream, uint16 *len, uint32 timeout);
// Receives the reply to `query` (just sent): *len is the capacity on entry and
// the frame length on success. 0, -1, or KESP_RCVLONGTIMEOUT (-4).
int KESP_RcvReply(uint8 *stream, uint16 *len, pckStruct &query);
// Checks a received reply (pckLen bytes) against the query frame it answers.
// 0 or -1 with errnoKESP set.
int KESP_Decode(uint8 *query, uint8 *reply, uint16 pckLen);
// Listens as a slave for the next frame from any station, for a time that
// depends on the distance from LastMaster. Result of KESP_Rcv; on success the
// frame's Src is recorded with KESP_UpdateLastMaster.
int KESP_waitPck(uint8 *data, uint16 len);
// Listening time (ms) of KESP_waitPck for own address `addr` and last master `last`.
// Never 0: a distance of 0 (invalid own address, or cabinet A after 0xEF) listens
// one DELAYUNIT.
uint32 KESP_ListenTime(uint8 addr, uint8 last);

// Cuts every long wait for the line short while `abort` is set (the bus thread
// is asked to stop); waits for the first byte of a frame run in steps of 100 ms
// for this and for a line break. Cleared when a new bus thread is made.
void KESP_AbortWait(bool abort = true);

// ---- Link seam ------------------------------------------------------------------
// Byte I/O of the link layer. Without a seam the channel layer on KESP_ch is used
// (ComDev_Rcv / ComDev_Send / ComDev_FlushQueue / ComDev_RecoveryBus, and the
// UART's break counter). With a seam, empty members do nothing (open succeeds,
// read times out, write succeeds).
//  read:  like ComDev_Rcv: exactly `len` bytes and returns len, or a negative
//         code (TTYD_ERR_TIMEOUT -9 after `timeoutMs` of silence; partial bytes
//         stay in buf).
//  open:  whether the port opens (KESP_Init); lets a test refuse it.
//  breakCount: the line's break counter, for a port that has one.
struct KESP_LinkIO {
    std::function<int(uint8 *buf, uint16 len, uint32 timeoutMs)> read;
    std::function<int(const uint8 *buf, uint16 len)> write;
    std::function<void()> flush;
    std::function<void()> sendBreak;
    std::function<bool()> open;
    std::function<bool(uint32 &count)> breakCount;
};
// Installs the seam (copied); null restores the channel layer. Tests only; not
// to be changed while an exchange runs.
void KESP_SetLinkIO(const KESP_LinkIO *io);

// ---- Message catalogue ----------------------------------------------------------
enum class KESP_ReplyKind : uint8 {
    Broadcast,     // data answer sent to 0xFF by the queried cabinet
    Ack,           // 1-byte acknowledgement to the sender
    None,          // no reply (CN, OS/OR)
    FromMU,        // answered by an MU board (GI, GS, GE)
    Unsupported,   // known letters, no reply (BE)
};
// Stations of a message (bit set).
enum KESP_Station : uint8 { KESP_ST_NONE = 0, KESP_ST_MCU = 1, KESP_ST_MU = 2, KESP_ST_MASTER = 4 };

struct KESP_Context;
struct KESP_MsgDesc {
    uint8 main, sub;
    uint16 queryDataLen;          // DataLength of the query (0xFFFF: variable, QT)
    uint16 replyDataLen;          // DataLength of the reply (QT: computed from the inner query)
    KESP_ReplyKind kind;
    bool sentByUs;                // this program sends the query
    bool answeredByUs;            // this program answers it (KESP_ManageReply)
    uint8 replySenders;           // whose replies KESP_ManageData stores (KESP_Station bits)
    int (*answer)(KESP_Context &, pckStruct &);                                  // null: refused
    void (*store)(KESP_Context &, long, const pckStruct &, const uint8 *, uint16);  // null: nothing stored
};
// Row of a main/sub-command, or null.
const KESP_MsgDesc *KESP_FindMsg(uint8 mainCmd, uint8 subCmd);
// Whether any row has this main command.
bool KESP_KnownMainCmd(uint8 mainCmd);

// What the catalogue works on: the cabinet entries of the bus thread, the own
// module's node, the plant configuration and the locks of their writers. The
// public functions below use the system manager's (KESP_SystemContext); tests and
// fuzzers hand in their own.
struct KESP_Context {
    upsBoxQueriesData_t *upsBox = nullptr;   // four cabinet entries A..D
    virtualNode_t *tree = nullptr;           // node 0 of the tree: stores bracket their copies (TreePublish)
    virtualNode_t *ownModule = nullptr;      // power module node of the own cabinet (BI creation)
    const PlantCfg *cfg = nullptr;           // plant configuration (BI ParallelInfo)
    myMutex *mutexData = nullptr;            // mutexKESPData (KESP_ManageReply takes it)
    myMutex *mutexModuleData = nullptr;      // mutexDuvexData (read of the own module node)
    // Relayed module reply (QT) into the module records; the catalogue passes
    // the inner frame with its real length and cabinetLockHeld = true (the caller
    // of KESP_ManageData holds mutexKESPData). Empty: DUVEX_ManageDataEx.
    std::function<int(uint8 boxId, long ts, const uint8 *frame, size_t len, bool cabinetLockHeld)> relayReply;
    // Module reply building for QT answers (DUVEX_BuildReply's shape: the reply
    // frame allocated with new uint8[], its length, the record's time stamp;
    // result the length, 0 when nothing can be built). Empty: QT is refused.
    std::function<int(pckStruct &query, uint8 *&reply, uint8 &replyLen, long &timestamp)> buildReply;
};
// The context of the running card (null members when there is no system manager yet).
KESP_Context KESP_SystemContext();
// Module reply builder used by KESP_SystemContext for QT answers (null: refused).
typedef int (*KESP_BuildReplyFn)(pckStruct &query, uint8 *&reply, uint8 &replyLen, long &timestamp);
void KESP_SetModuleReplyBuilder(KESP_BuildReplyFn fn);

// Expected reply data length of a query (0 for unknown commands, logged).
uint16 KESP_GetReplyDataLen(pckStruct &qcs);
// Sends GI to `dest` and reads its board type (SkCfg). type is 0xFF until a valid
// reply arrives; 0 or -1. Caller holds the channel.
int KESP_GetUnitBoardType(uint8 dest, uint16 &type);
// One exchange of a query element (caller holds the channel): 1 when no reply is
// expected (own address answered locally, broadcast, CN), 0 when a valid reply is
// in q.pckReply, -1 on failure (errnoKESP tells why).
int KESP_ManageQuery(QCMgr &q);
int KESP_ManageQueryWith(KESP_Context &ctx, QCMgr &q);
// Answers a query addressed to this cabinet (caller holds the channel, not
// mutexKESPData): 0 when the answer was sent, -1 otherwise.
int KESP_ManageReply(pckStruct &query);
int KESP_ManageReplyWith(KESP_Context &ctx, pckStruct &query);
// Stores the data of one reply frame (caller holds mutexKESPData). The frame must
// hold DataLength + 10 bytes (as KESP_Rcv and KESP_ManageQuery deliver it). The
// result carries no meaning (0).
int KESP_ManageData(long timestamp, uint8 *pckReply);
// The same with the bytes readable at pckReply stated: a frame whose DataLength
// does not fit in frameLen is refused (logged).
int KESP_ManageDataWith(KESP_Context &ctx, long timestamp, const uint8 *pckReply, uint16 frameLen);

#endif
