// Reply building for module-bus queries relayed over the cabinet bus: the card of
// another cabinet wraps a module-bus query in a "QT" message, and this card answers it
// at once, in the module's own reply format, from its records (or, for a command,
// acknowledges it and queues it on its own module bus). The requester parses the reply
// with the parser of local replies, so every layout here is that parser's inverse.
//
// A reply is built only from data an accessor actually wrote: a module without node
// or slot gets no reply (never a frame made of whatever the stack held).
#include "DUVEX.h"
#include "DUVEXData.h"
#include "Globals.h"
#include "Log.h"
#include "SysClock.h"
#include "SystemMgr.h"
#include "ThreadDUVEX.h"

#include <cstring>
#include <memory>
#include <mutex>
#include <new>

namespace {

constexpr uint8 FIRST_BOX_ADDR = 0xEA;

// Lines of the reply builders carry the builder's name.
#define RLOG(func, lvl, ...) tvk_log(__FILE__, func, lvl, __VA_ARGS__)

// Allocates a reply frame of `dataLen` data bytes with its header; the data start as
// '0' characters (the filler of the positions no field occupies).
uint8 *newReply(const char *builder, const pckStruct &q, uint8 dataLen)
{
    uint8 *f = new (std::nothrow) uint8[size_t(dataLen) + DUVEX_HEAD_QUEUE_LEN];
    if (!f) {
        RLOG(builder, LogLevel::Err, "malloc fallita!!\n");
        return nullptr;
    }
    f[0] = DUVEX_STX;
    f[DUVEX_SOURCEOFFSET] = q.Dest;
    f[DUVEX_DESTOFFSET] = q.Src;
    f[DUVEX_MAINCMDOFFSET] = q.MainCmd;
    f[DUVEX_SUBCMDOFFSET] = q.SubCmd;
    DUVEX_Dec2DCd(dataLen, f + DUVEX_LENGTHOFFSET, 2);
    memset(f + DUVEX_DATAOFFSET, '0', dataLen);
    return f;
}

// Check code (sum for GI, CRC otherwise) and ETX; the frame's length.
uint8 closeReply(uint8 *f, uint8 dataLen)
{
    DUVEX_Dec2DCd(DUVEX_CheckCode(f, dataLen), f + DUVEX_DATAOFFSET + dataLen, 4);
    f[DUVEX_DATAOFFSET + dataLen + 4] = DUVEX_ETX;
    return uint8(dataLen + DUVEX_HEAD_QUEUE_LEN);
}

inline void put(uint8 *data, unsigned off, uint32 value, uint8 count) { DUVEX_Dec2DCd(value, data + off, count); }
inline uint8 nibChar(unsigned v) { return uint8(0x30 + (v & 0x0F)); }

// The output of one builder.
struct Built {
    uint8 *frame = nullptr;
    uint8 len = 0;
    long ts = 0;
};

// ---- Commands --------------------------------------------------------------------------

bool isQueuedCommand(const pckStruct &q)
{
    if (q.MainCmd == 'C')
        return q.SubCmd != 0 && strchr("BDFMPRSU", q.SubCmd) != nullptr;
    if (q.MainCmd == 'T')
        return q.SubCmd == 'B' || q.SubCmd == 'C';
    return (q.MainCmd == 'D' && q.SubCmd == 'C') || (q.MainCmd == 'S' && q.SubCmd == 'V');
}

// Whether the own cabinet's module bus can carry out a command for `dest`: a power
// module with a slot that is polled and answering, or the bypass of a cabinet whose
// module is registered on this card (the bypass has no status of its own).
bool targetReady(DUVEXMgr &d, uint8 ownBox, uint8 dest)
{
    if (ownBox > 3 || !d.mutexDuvexData)
        return false;
    myMutexLocker lk(d.mutexDuvexData);
    const ModuleQueriesData_t &md = d.ModulesData[ownBox][0];
    if (dest == DUVEX_BYPASSADDR)
        return md.pVN != nullptr;
    const uint8 mod = uint8(dest - '1');
    if (mod >= MAXUPSxUPSBOX_DUVEX)
        return false;
    const ModuleQueriesData_t &m = d.ModulesData[ownBox][mod];
    return m.pVN && m.commStatus.active && m.commStatus.isGood;
}

int buildCommand(DUVEXMgr &d, uint8 ownBox, pckStruct &q, Built &out)
{
    // Refused before anything is promised: an acknowledgement says the module bus
    // will carry the command out.
    if (!targetReady(d, ownBox, q.Dest)) {
        RLOG("DUVEX_BuildReply", LogLevel::Err, "IL MODULO NON E` PRONTO A RICEVERE IL COMANDO!!!!\n");
        return -1;
    }
    if (d.AddAsyncQC(q, true) < 0)
        return -1;
    out.ts = long(sysclock::now());
    uint8 dataLen = 0;
    if (q.MainCmd == 'S' && q.SubCmd == 'V')
        dataLen = uint8(SVDATALENGTH);
    else if (q.MainCmd == 'D' && q.SubCmd == 'C' && q.Dest == DUVEX_BYPASSADDR && q.ParamLen == 1)
        dataLen = uint8(DCBYPDATALENGTH);
    if (dataLen == 0) {
        uint8 *f = nullptr;
        long ts = 0;
        if (DUVEX_ACKBuildReply(q, f, ts) <= 0)
            return -1;
        out.frame = f;
        out.len = DUVEX_HEAD_QUEUE_LEN;
        out.ts = ts;
        return 0;
    }
    uint8 *f = newReply(q.MainCmd == 'S' ? "DUVEX_SVBuildReply" : "DUVEX_DCBuildReply", q, dataLen);
    if (!f)
        return -1;
    out.frame = f;
    out.len = closeReply(f, dataLen);
    return 0;
}

// ---- GM: a live transaction on the own module bus ---------------------------------------

// One GM single query with everything it points at. A GM that outlasts the requester's
// wait is not answered late: its job is parked until the thread ends and reaped by the
// next GM (which is refused while the parked one still runs: one module bus).
struct GMJob {
    pckStruct q{};
    uint8 param[DUVEX_MAXDATALEN];
    uint8 data[GMDATALENGTH];
    int status = -1;
    DUVEXMgr::singleQCMgr *sqc = nullptr;
};
std::mutex g_gmMutex;
std::unique_ptr<GMJob> g_gmParked;

int buildGM(DUVEXMgr &d, uint8 ownBox, pckStruct &q, Built &out)
{
    std::lock_guard<std::mutex> lk(g_gmMutex);
    if (g_gmParked) {
        if (!d.WaitSingleQC(g_gmParked->sqc, 0)) {
            RLOG("DUVEX_GMBuildReply", LogLevel::Err, "GM precedente ancora in corso: nessuna risposta\n");
            return -1;
        }
        g_gmParked.reset();
    }
    std::unique_ptr<GMJob> job(new (std::nothrow) GMJob);
    if (!job) {
        RLOG("DUVEX_GMBuildReply", LogLevel::Err, "malloc fallita!!\n");
        return -1;
    }
    job->q = q;
    job->q.ParamLen = q.pParam ? q.ParamLen : 0;
    if (job->q.ParamLen > sizeof job->param)
        job->q.ParamLen = sizeof job->param;
    if (job->q.ParamLen)
        memcpy(job->param, q.pParam, job->q.ParamLen);
    job->q.pParam = job->q.ParamLen ? job->param : nullptr;
    memset(job->data, 0, sizeof job->data);
    job->sqc = d.InsertSingleQC(ownBox, job->q, uint8(GMDATALENGTH), job->data, &job->status);
    const int64 start = sysclock::monotonicMs();
    while (!d.WaitSingleQC(job->sqc, WAIT_DUVEXSQC)) {
        RLOG("DUVEX_GMBuildReply", LogLevel::Dbg, "WAIT...\n");
        if (sysclock::monotonicMs() - start >= DUVEX_GMREPLYWAITMS) {
            RLOG("DUVEX_GMBuildReply", LogLevel::Err, "GM oltre %d ms: nessuna risposta\n", DUVEX_GMREPLYWAITMS);
            g_gmParked = std::move(job);
            return -1;
        }
    }
    if (job->status != 0) {
        RLOG("DUVEX_GMBuildReply", LogLevel::Err, "GM al modulo %c fallita (%d): nessuna risposta\n", q.Dest,
             job->status);
        return -1;
    }
    uint8 *f = newReply("DUVEX_GMBuildReply", q, uint8(GMDATALENGTH));
    if (!f)
        return -1;
    memcpy(f + DUVEX_DATAOFFSET, job->data, GMDATALENGTH);
    out.frame = f;
    out.len = closeReply(f, uint8(GMDATALENGTH));
    out.ts = long(sysclock::now());
    return 0;
}

// ---- Queries answered from the records ----------------------------------------------------

int buildGI(DUVEXMgr &d, uint8 own, pckStruct &q, Built &out)
{
    identification_t id;
    if (!d.GetIdentification(own, q.Dest, id))
        return -1;
    uint8 *f = newReply("DUVEX_GIBuildReply", q, uint8(GIDATALENGTH));
    if (!f)
        return -1;
    uint8 *data = f + DUVEX_DATAOFFSET;
    memcpy(data, id.SN, 16);
    memcpy(data + 16, id.Model, 16);
    memcpy(data + 32, id.SWVer, 12);
    data[44] = uint8(id.IO_Cfg);
    data[45] = uint8(id.UPS_Type);
    data[46] = uint8(id.Boost_Cfg);
    data[47] = uint8(id.Buck_Cfg);
    data[48] = uint8(id.Error_CTRL);
    data[49] = uint8(id.PwrShareCfg);
    data[50] = uint8(id.BattBenches);
#if defined(TVK_MODULAR)
    // This build's record: benches as a nibble character, then the three reserved bytes.
    data[51] = nibChar(id.NBattForBench);
    data[52] = uint8(id.ParallelInfo);
    memcpy(data + 53, id.tbdGI, 3);
#else
    data[51] = id.NBattForBench;
    data[52] = uint8(id.ParallelInfo);
    data[53] = uint8(id.TypeMachine);
    data[54] = uint8(id.Cover);
    data[55] = uint8(id.TypeInput);
#endif
    out.frame = f;
    out.len = closeReply(f, uint8(GIDATALENGTH));
    out.ts = long(id.timestamp);
    return 0;
}

int buildGN(DUVEXMgr &d, uint8 own, pckStruct &q, Built &out)
{
    nominal_t n;
    if (!d.GetNominal(own, q.Dest, n))
        return -1;
    uint8 *f = newReply("DUVEX_GNBuildReply", q, uint8(GNDATALENGTH));
    if (!f)
        return -1;
    uint8 *data = f + DUVEX_DATAOFFSET;
    put(data, 0, n.VA, 5);
    put(data, 5, n.W, 5);
    put(data, 10, n.BatteryV, 3);
    put(data, 13, n.BatteryAh, 3);
    put(data, 16, n.Vout, 3);
    put(data, 19, n.FreqOut, 3);
    out.frame = f;
    out.len = closeReply(f, uint8(GNDATALENGTH));
    out.ts = long(n.timestamp);
    return 0;
}

#if defined(TVK_MODULAR)
int buildGE(DUVEXMgr &d, uint8 own, pckStruct &q, Built &out)
{
    identification_t id;
    if (!d.GetIdentification(own, q.Dest, id))
        return -1;
    uint8 *f = newReply("DUVEX_GEBuildReply", q, uint8(GEDATALENGTH));
    if (!f)
        return -1;
    DUVEX_GEReplyData(id, f + DUVEX_DATAOFFSET);
    out.frame = f;
    out.len = closeReply(f, uint8(GEDATALENGTH));
    out.ts = long(id.timestamp);
    return 0;
}

// The four bits of a nibble in reverse order (this build's RC carries them so).
uint8 reverse4(uint8 v) { return uint8(((v & 1) << 3) | ((v & 2) << 1) | ((v & 4) >> 1) | ((v & 8) >> 3)); }
#endif

#if !defined(TVK_MODULAR)
int buildRA(DUVEXMgr &d, uint8 own, pckStruct &q, Built &out)
{
    statusCoding_t sd;
    statusCodingExt_t sdx;
    if (!d.GetUPSStatusDetail(own, q.Dest, sd) || !d.GetUPSStatusDetailExt(own, q.Dest, sdx))
        return -1;
    uint8 *f = newReply("DUVEX_RABuildReply", q, uint8(RADATALENGTH));
    if (!f)
        return -1;
    uint8 *data = f + DUVEX_DATAOFFSET;
    for (int i = 0; i < 20; ++i)
        put(data, unsigned(2 * i), uint8(sd.states[i]), 2);
    for (int i = 0; i < 8; ++i)
        put(data, unsigned(40 + 2 * i), uint8(sdx.states[i]), 2);
    out.frame = f;
    out.len = closeReply(f, uint8(RADATALENGTH));
    out.ts = long(sd.timestamp);
    return 0;
}
#endif

int buildRC(DUVEXMgr &d, uint8 own, pckStruct &q, Built &out)
{
#if defined(TVK_MODULAR)
    descModule_t m;
    if (!d.GetUPSStatus(own, q.Dest, m))
        return -1;
    const statusCoding_t &sd = m.statusDetail;
#else
    statusCoding_t sd;
    if (!d.GetUPSStatusDetail(own, q.Dest, sd))
        return -1;
#endif
    uint8 *f = newReply("DUVEX_RCBuildReply", q, uint8(RCDATALENGTH));
    if (!f)
        return -1;
    uint8 *data = f + DUVEX_DATAOFFSET;
    for (int i = 0; i < 22; ++i) {
        const uint8 b = uint8(sd.states[i]);
#if defined(TVK_MODULAR)
        data[2 * i] = nibChar(reverse4(b & 0x0F));
        data[2 * i + 1] = nibChar(reverse4(b >> 4));
#else
        put(data, unsigned(2 * i), b, 2);
#endif
    }
    out.frame = f;
    out.len = closeReply(f, uint8(RCDATALENGTH));
    out.ts = long(sd.timestamp);
    return 0;
}

int buildRE(DUVEXMgr &d, uint8 own, pckStruct &q, Built &out)
{
    descModule_t m;
    if (!d.GetUPSStatus(own, q.Dest, m))
        return -1;
    uint8 *f = newReply("DUVEX_REBuildReply", q, uint8(REDATALENGTH));
    if (!f)
        return -1;
    uint8 *data = f + DUVEX_DATAOFFSET;
    const dataObject_t &u = m.data;
    for (unsigned i = 0; i < 3; ++i) {
        put(data, 16 + 4 * i, uint32(u.Iout[i]), 4);
        put(data, 28 + 5 * i, uint32(u.Watt[i]), 5);
        put(data, 43 + 5 * i, uint32(u.Va[i]), 5);
    }
    out.frame = f;
    out.len = closeReply(f, uint8(REDATALENGTH));
    out.ts = long(u.timestamp);
    return 0;
}

int buildRS(DUVEXMgr &d, uint8 own, pckStruct &q, Built &out)
{
    descModule_t m;
    identification_t id;
    if (!d.GetUPSStatus(own, q.Dest, m) || !d.GetIdentification(own, q.Dest, id))
        return -1;
    // IO_Cfg '1' single-phase in and out, '3' three-phase in; '2' three-phase out, '4'
    // both. A configuration outside '1'..'4' (not known yet) gets the full row.
    const uint8 cfg = uint8(id.IO_Cfg);
    const bool threeIn = cfg == '3' || cfg == '4' || cfg < '1' || cfg > '4';
    const bool threeOut = cfg == '2' || cfg == '4' || cfg < '1' || cfg > '4';
    const uint8 dataLen = uint8(threeOut ? RSDATALENGTH_TT : threeIn ? RSDATALENGTH_TM : RSDATALENGTH_MM);
    uint8 *f = newReply("DUVEX_RSBuildReply", q, dataLen);
    if (!f)
        return -1;
    uint8 *data = f + DUVEX_DATAOFFSET;
    const dataObject_t &u = m.data;
    data[0] = nibChar(u.Output_Powered * 8u + u.Lock * 4u + u.Battery_Working * 2u + u.Battery_Low);
    data[1] = nibChar(u.On_Bypass * 8u + u.Eco_Mode * 4u);
    data[2] = nibChar(u.Bypass_Bad * 8u + u.Battery_Charging * 4u + u.Replace_Battery);
#if defined(TVK_MODULAR)
    const unsigned beeper = 0;   // this build's record has no beeper flag
#else
    const unsigned beeper = u.BeeperOn;
#endif
    data[3] = nibChar(u.Shutdown_Active * 8u + u.Shutdown_Imminent * 4u + u.Test_in_progress * 2u + beeper);
    data[4] = nibChar(u.Fault * 8u + u.Alarm_Overload * 4u + u.Alarm_Temperature * 2u);
    put(data, 5, u.Frq_in, 3);
    put(data, 8, u.Vin[0], 3);
    put(data, 11, u.Frq_out, 3);
    put(data, 14, u.Vout[0], 3);
    put(data, 17, uint16(u.Load[0]), 2);
    put(data, 19, u.Frq_byp, 3);
    put(data, 22, u.Vbyp[0], 3);
#if defined(TVK_MODULAR)
    put(data, 25, u.VbatRS, 4);   // this build's module reports its battery voltage here
#endif
    put(data, 29, u.Carica_adj, 2);
    put(data, 31, u.Aut_time, 3);
    put(data, 34, u.Temp0, 2);
    if (threeIn) {
        put(data, 36, u.Vin[1], 3);
        put(data, 39, u.Vin[2], 3);
    }   // otherwise "000" at 36 and 39 (the filler) when the row goes on
    if (threeOut) {
        put(data, 42, u.Vout[1], 3);
        put(data, 45, uint16(u.Load[1]), 2);
        put(data, 47, u.Vbyp[1], 3);
        put(data, 50, u.Vout[2], 3);
        put(data, 53, uint16(u.Load[2]), 2);
        put(data, 55, u.Vbyp[2], 3);
    }
    out.frame = f;
    out.len = closeReply(f, dataLen);
    out.ts = long(u.timestamp);
    return 0;
}

#if !defined(TVK_MODULAR)
int buildRX(DUVEXMgr &d, uint8 own, pckStruct &q, Built &out)
{
    descModule_t m;
    if (!d.GetUPSStatus(own, q.Dest, m))
        return -1;
    uint8 *f = newReply("DUVEX_RXBuildReply", q, uint8(RXDATALENGTH));
    if (!f)
        return -1;
    uint8 *data = f + DUVEX_DATAOFFSET;
    const dataObject_t &u = m.data;
    for (unsigned i = 0; i < 4; ++i)
        put(data, 2 * i, uint8(u.FlagExt.states[i]), 2);
    put(data, 8, uint8(u.statusCode), 2);
    put(data, 10, u.Vbatp, 4);
    put(data, 14, u.Vbatn, 4);
    put(data, 18, uint32(u.Ibatp), 4);
    put(data, 22, uint32(u.Ibatn), 4);
    for (unsigned i = 0; i < 3; ++i) {
        put(data, 26 + 3 * i, u.Uin[i], 3);
        put(data, 35 + 4 * i, u.Iin[i], 4);
        put(data, 47 + 3 * i, u.Ubyp[i], 3);
        put(data, 56 + 3 * i, u.Uout[i], 3);
        put(data, 65 + 4 * i, uint32(u.Iout_pk[i]), 4);
    }
    for (unsigned i = 0; i < 4; ++i)
        put(data, 77 + 2 * i, u.powerTemp[i], 2);
    for (unsigned i = 0; i < 2; ++i)
        put(data, 85 + 2 * i, u.batteryTemp[i], 2);
    put(data, 89, u.DCBusVolt[0], 3);
    put(data, 92, u.DCBusVolt[1], 3);
    put(data, 95, u.configCounter, 2);
    // The running time as hours, minutes, seconds: the receiver knows a relayed RX
    // carries it so (a module's own RX has one count of seconds there).
    put(data, 97, u.counterHours, 2);
    put(data, 99, u.counterMinutes, 2);
    put(data, 101, u.counterSeconds, 2);
    put(data, 120, u.Cent_kwh, 8);
    out.frame = f;
    out.len = closeReply(f, uint8(RXDATALENGTH));
    out.ts = long(u.timestamp);
    return 0;
}
#endif

// The builder of a query, or null when this build does not answer it.
using BuildFn = int (*)(DUVEXMgr &, uint8, pckStruct &, Built &);
BuildFn builderOf(const pckStruct &q)
{
    switch (q.MainCmd) {
    case 'G':
        switch (q.SubCmd) {
        case 'I': return buildGI;
        case 'N': return buildGN;
#if defined(TVK_MODULAR)
        case 'E': return buildGE;
#endif
        default: return nullptr;
        }
    case 'R':
        switch (q.SubCmd) {
#if !defined(TVK_MODULAR)
        case 'A': return buildRA;
        case 'X': return buildRX;
#endif
        case 'C': return buildRC;
        case 'E': return buildRE;
        case 'S': return buildRS;
        default: return nullptr;
        }
    default:
        return nullptr;
    }
}

} // namespace

int DUVEX_BuildReplyOn(DUVEXMgr *duvex, uint8 ownAddr, pckStruct &query, uint8 *&reply, uint8 &replyLen,
                       long &timestamp)
{
    reply = nullptr;
    replyLen = 0;
    Built b;
    int rc = -1;
    const uint8 ownBox = uint8(ownAddr - FIRST_BOX_ADDR);
    if (!strchr("CDGRST", query.MainCmd) || query.MainCmd == 0) {
        RLOG("DUVEX_BuildReply", LogLevel::Err, "MainCmd %c non supportato\n", query.MainCmd);
    } else if (!duvex) {
        RLOG("DUVEX_BuildReply", LogLevel::Err, "Gestore del bus moduli non disponibile\n");
    } else if (isQueuedCommand(query)) {
        rc = buildCommand(*duvex, ownBox, query, b);
    } else if (query.MainCmd == 'G' && query.SubCmd == 'M') {
        rc = buildGM(*duvex, ownBox, query, b);
    } else if (BuildFn fn = builderOf(query)) {
        rc = fn(*duvex, ownAddr, query, b);
    } else {
        RLOG("DUVEX_BuildReply", LogLevel::Err, "SubCmd %c non supportato per il MainCmd %c\n", query.SubCmd,
             query.MainCmd);
    }
    if (rc != 0 || !b.frame) {
        delete[] b.frame;
        RLOG("DUVEX_BuildReply", LogLevel::Err, "FALLITA costruzione risposta %c%c\n", query.MainCmd, query.SubCmd);
        return 0;
    }
    reply = b.frame;
    replyLen = b.len;
    timestamp = b.ts;
    return replyLen;
}

int DUVEX_BuildReply(pckStruct &query, uint8 *&reply, uint8 &replyLen, long &timestamp)
{
    DUVEXMgr *d = pSysMgr ? pSysMgr->pThDuvex : nullptr;
    return DUVEX_BuildReplyOn(d, KESPAddr, query, reply, replyLen, timestamp);
}
