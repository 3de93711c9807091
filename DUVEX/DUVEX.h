// Module-bus codec (DUVEX): frame building and splitting, nibble characters,
// check codes, the module-bus channel and the one-transaction exchange.
//
// Frame (query or reply), N data bytes (0..243):
//   STX | Src | Dest | MainCmd | SubCmd | len (2 nibble chars) | data (N) |
//   check code (4 nibble chars) | ETX                         -> N + 12 bytes
// The check code covers bytes 1 .. 6+N: a plain 16-bit byte sum for GI,
// crcCalc for every other frame.
//
// All frame buffers handed out by this module are allocated with new uint8[]
// and freed by their owner with delete[].
#ifndef TVK_DUVEX_H
#define TVK_DUVEX_H

#include "Profile.h"
#include "QCMgr.h"
#include "Types.h"

#include <functional>

// Frame layout.
constexpr uint8 DUVEX_STX = 0x02;
constexpr uint8 DUVEX_ETX = 0x03;
constexpr uint8 DUVEX_NAK = 0x15;              // MainCmd of a refusal
constexpr uint8 DUVEX_SOURCEOFFSET = 0x01;
constexpr uint8 DUVEX_DESTOFFSET = 0x02;
constexpr uint8 DUVEX_MAINCMDOFFSET = 0x03;
constexpr uint8 DUVEX_SUBCMDOFFSET = 0x04;
constexpr uint8 DUVEX_LENGTHOFFSET = 0x05;
constexpr uint8 DUVEX_DATAOFFSET = 0x07;
constexpr uint8 DUVEX_HEAD_QUEUE_LEN = 0x0C;   // header + trailer
constexpr uint8 DUVEX_MAXDATALEN = 243;        // frames are 8-bit long

// Addresses.
constexpr uint8 DUVEX_MASTERADDR = 0x20;       // the polling master (this card)
constexpr uint8 DUVEX_BYPASSADDR = '8';

// Reply data lengths.
constexpr uint16 GIDATALENGTH = 56;
constexpr uint16 GMDATALENGTH = 4;
constexpr uint16 GNDATALENGTH = 22;
constexpr uint16 SVDATALENGTH = 4;
constexpr uint16 SMDATALENGTH = 0;
constexpr uint16 RADATALENGTH = 56;
constexpr uint16 RBDATALENGTH = 109;
constexpr uint16 REDATALENGTH = 58;
constexpr uint16 RKDATALENGTH = 58;
constexpr uint16 RCDATALENGTH = 44;
constexpr uint16 RSDATALENGTH_TT = 58;         // three-phase in, three-phase out
constexpr uint16 RSDATALENGTH_TM = 42;         // three-phase in, single-phase out
constexpr uint16 RSDATALENGTH_MM = 36;         // single-phase in and out
constexpr uint16 DSDATALENGTH = 58;
constexpr uint16 DEDATALENGTH = 58;
constexpr uint16 DCBYPDATALENGTH = 4;          // DC to the bypass with one parameter byte
constexpr uint16 GEDATALENGTH = 16;            // modular build only
#if defined(TVK_MODULAR)
constexpr uint16 RXDATALENGTH = 169;
#else
constexpr uint16 RXDATALENGTH = 128;
#endif

// Time limits of one transaction (ms): first byte, header and data
// (READTIMEOUT of the module bus), whole exchange (more than this fails).
#if defined(TVK_MODULAR)
constexpr uint32 DUVEX_FIRSTBYTETIMEOUT = 1000;
constexpr uint32 DUVEX_READTIMEOUT = 5000;
constexpr int64 DUVEX_MAXEXCHANGEMS = 9999;
#else
constexpr uint32 DUVEX_FIRSTBYTETIMEOUT = 4000;
constexpr uint32 DUVEX_READTIMEOUT = 20000;
constexpr int64 DUVEX_MAXEXCHANGEMS = 39999;
#endif

// Result of the last transaction: 0 a reply reached decoding, 1..6 (and other
// values) the refusal code of a NAK, 255 nothing usable received, 254 (standard
// build) a reply of unexpected length.
extern uint8 errnoDuvex;

// Writes the `count` lowest nibbles of `value` as nibble characters (0x30 + v),
// most significant first. `count` must be 2, 3, 4, 5 or 8.
void DUVEX_Dec2DCd(uint32 value, uint8 *bytes, uint8 count);

// Reads `count` nibble characters as one number, most significant first. Each
// character minus 0x30 is taken as the nibble without validation (8 bits), so
// characters outside '0'..'?' give out-of-range values but never fault.
uint32 DUVEX_DCd2Dec(const uint8 *bytes, uint8 count);

// Check code of a frame whose data length is `dataLen`: over bytes 1 .. 6+dataLen,
// the byte sum for GI, crcCalc otherwise.
uint16 DUVEX_CheckCode(const uint8 *frame, uint8 dataLen);

// Allocates (new uint8[]) and fills the frame of `query`; returns its length
// N + 12. A query with more than 243 parameter bytes cannot be framed: the
// result is 0 and `frame` is null.
uint16 DUVEX_BuildQuery(pckStruct &query, uint8 *&frame);

// Splits a received frame: addresses and commands from bytes 1..4, pParam points
// into the frame at byte 7 (no copy), ParamLen is the decoded length field.
void DUVEX_ExtractQuery(pckStruct &out, const uint8 *frame);

// Acknowledgement of `query` (12 bytes, no data). Returns 12, or 0 when the
// buffer cannot be allocated. `timestamp` is set to the current time.
int DUVEX_ACKBuildReply(pckStruct &query, uint8 *&reply, long &timestamp);

// Logs the acknowledgement of a command.
void DUVEX_ACKVerify(uint8 boxId, pckStruct &reply);

// Opens the module-bus channel (serialPort, deviceBaudRate) when it is closed;
// closes it when it is open.
void DUVEX_Init();
void DUVEX_End();
// Channel handle of the module bus, 255 while closed.
uint8 DUVEX_Channel();

// One complete transaction for a prepared element (query frame in pckQuery,
// reply buffer pckReply of expectedReplyLen bytes). 0 when a valid reply is in
// pckReply, -1 otherwise; sets errnoDuvex. The caller holds mutexDuvexChannel.
int DUVEX_ManageQuery(QCMgr &qc);

// Expected reply data length of a query.
uint16 DUVEX_GetReplyDataLen(pckStruct &query);
// The same length without any log line, or -1 for a query the table does not know.
int DUVEX_LookupReplyDataLen(const pckStruct &query);

// Reception and check of one reply (the steps after sending) over any byte
// source. `read` behaves like ComDev_Rcv without the channel: it fills exactly
// `len` bytes and returns len, or returns a negative code (-9 on time-out).
// `query` is the query frame (at least 5 bytes), `reply`/`replyLen` the reply
// buffer. Returns 0 or -1 like DUVEX_ManageQuery (without the "FALLITO" line).
using DUVEX_ReadFn = std::function<int(uint8 *buf, uint16 len, uint32 timeoutMs)>;
int DUVEX_RcvReply(const uint8 *query, uint8 *reply, uint16 replyLen, const DUVEX_ReadFn &read);

// Parses a good reply frame into the records of the module and of cabinet
// `boxId` (defined with the reply parsers).
int DUVEX_ManageData(uint8 boxId, long timestamp, uint8 *frame);

#endif
