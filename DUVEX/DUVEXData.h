// Reply parsing of the module bus: turns a good DUVEX reply frame into the
// records of the module that sent it and of the cabinet that holds the module.
//
// DUVEX_ManageData (declared in DUVEX.h) is the entry of the module-bus thread; it
// finds the module node and the cabinet node through the system manager and takes
// the data locks (its caller holds none). A caller that already holds the cabinet
// data mutex (the cabinet bus storing a relayed reply) uses DUVEX_ManageDataEx with
// `cabinetLockHeld` set: who holds a lock is stated, never guessed from the thread. DUVEX_ParseReply does the same work on nodes given by the caller
// and takes no lock.
//
// Every reply layout has a fixed length per command. A parser only reads data
// bytes that lie within both the frame's own length field and the buffer; a
// reply shorter than its layout is refused and changes nothing. Characters
// outside the nibble range decode as the codec decodes them (byte - 0x30).
#ifndef TVK_DUVEXDATA_H
#define TVK_DUVEXDATA_H

#include "Profile.h"
#include "QCMgr.h"
#include "Types.h"
#include "VirtualUPSMgr.h"

#include <cstddef>

class DUVEXMgr;
class KESPMgr;

// Results of the reply parsers (0 = the reply was handled).
constexpr int DUVEX_DATA_OK = 0;
constexpr int DUVEX_DATA_EARG = -1;       // no frame, frame too short for a header, bad cabinet index
constexpr int DUVEX_DATA_ENOMGR = -2;     // no system manager, bus thread object or data mutex
constexpr int DUVEX_DATA_ENONODE = -3;    // module (or, for the cabinet copy, cabinet) without node
constexpr int DUVEX_DATA_ESHORT = -4;     // reply shorter than its layout: nothing applied
constexpr int DUVEX_DATA_EUNSUPP = -5;    // unknown command, or one this build does not parse
constexpr int DUVEX_DATA_EREFUSED = -6;   // GM: never parsed from the queues

// Parses one reply frame into module node M and cabinet node K (either may be null:
// acknowledgements need neither, data replies need M, and K is needed only by the
// replies that copy into the cabinet record; a missing node is logged and reported).
// `frameLen` is the number of bytes readable at `frame` (at least the 12 bytes of
// header and trailer); data are read only within min(length field, frameLen - 12).
// `wModule` is the plant's module W rating (modular GN only). No lock is taken.
// `relayed`: the frame was built by the card of another cabinet (it came inside a
// cabinet-bus QT reply), not by a module; the layouts differ where a relayed reply
// says so (RX running time as hours, minutes, seconds).
int DUVEX_ParseReply(virtualNode_t *M, virtualNode_t *K, uint8 boxId, long timestamp, const uint8 *frame,
                     size_t frameLen, uint32 wModule = 0, bool relayed = false);

// DUVEX_ManageData with the buffer size and the cabinet lock stated by the caller.
// `frameLen`: bytes readable at `frame`. `cabinetLockHeld`: the caller already holds
// the cabinet-bus data mutex (mutexKESPData), as KESP_ManageData does when it passes
// on a relayed reply; the cabinet record is then written under that hold.
// The module record is written under mutexDuvexData. The two mutexes are never
// taken one inside the other here; a caller holding mutexKESPData nests
// mutexDuvexData inside it (order: mutexKESPData, then mutexDuvexData).
// `relayed`: as for DUVEX_ParseReply (the cabinet bus storing a QT reply passes true).
int DUVEX_ManageDataEx(uint8 boxId, long timestamp, const uint8 *frame, size_t frameLen, bool cabinetLockHeld,
                       bool relayed);

// The same on explicit bus thread objects (DUVEX_ManageDataEx passes those of the
// system manager and the plant's module W rating): the module node is
// duvex->ModulesData[boxId][module - '1'].pVN, the cabinet node kesp->upsBox[boxId].pVN.
int DUVEX_ManageDataOn(DUVEXMgr *duvex, KESPMgr *kesp, uint32 wModule, uint8 boxId, long timestamp,
                       const uint8 *frame, size_t frameLen, bool cabinetLockHeld, bool relayed = false);

#if defined(TVK_MODULAR)
// GE (modular build): the positions of the auxiliary firmware text whose characters
// above '9' travel lowered by 7 (the parser raises them, the reply lowers them), and
// the placeholder of a module without auxiliary firmware as it reads once raised
// ("QTN914-XX-XX" on the wire).
constexpr unsigned DUVEX_GE_HEXPOS[4] = {7, 8, 10, 11};
constexpr const char *DUVEX_GE_PLACEHOLDER_RAISED = "QTN914-__-__";

// The 16 data bytes of a GE reply from an identification record: SWVer_AUX characters
// 0..11 (those at DUVEX_GE_HEXPOS above '9' lowered by 7), then the 4 bytes of tbdGE.
// The inverse of the GE parse for every text the parse can store.
void DUVEX_GEReplyData(const identification_t &id, uint8 *data);
#endif

// Reply building for module-bus queries relayed from another cabinet (QT): answers
// `query` (addressed to a module of this card's cabinet) from the records of module
// query.Dest of cabinet `ownAddr`, through `duvex`'s accessors; commands are queued on
// `duvex`'s asynchronous queue and acknowledged. The reply frame is allocated with
// new uint8[] (the caller frees it); `timestamp` is that of the record the data came
// from (now for commands and GM). Returns the frame length, or 0 with no frame when no
// reply can be built (unsupported query, module without node, module not ready for a
// command, GM failed or slower than DUVEX_GMREPLYWAITMS).
int DUVEX_BuildReplyOn(DUVEXMgr *duvex, uint8 ownAddr, pckStruct &query, uint8 *&reply, uint8 &replyLen,
                       long &timestamp);
// The same for the running card (its module-bus thread and KESPAddr); the cabinet bus
// calls it for every QT addressed to this card.
int DUVEX_BuildReply(pckStruct &query, uint8 *&reply, uint8 &replyLen, long &timestamp);
// A GM answered live waits at most this long for the own module: the requester stops
// waiting for the QT reply after 3000 ms of silence, and a late answer is not sent.
constexpr int DUVEX_GMREPLYWAITMS = 2500;

// Reply data length that a command's reply layout occupies (the size of the reply
// buffer the bus allocates, less 12): RS gives its three-phase length.
uint16 DUVEX_ReplyLayoutLen(uint8 mainCmd, uint8 subCmd);

#endif
