// Cabinet-bus message catalogue: one table row per main/sub-command (query and
// reply lengths, reply kind, who sends and answers it, the answer and the store
// routine). The expected reply length, the answer to a query addressed to this
// cabinet and the storing of a reply all read that table. Logs as "KESP/KESP".
#include "KESP.h"
#include "KESPFrame.h"

#include "DUVEX.h"
#include "DUVEXData.h"
#include "Globals.h"
#include "Log.h"
#include "SysClock.h"
#include "SystemMgr.h"
#include "ThreadDUVEX.h"
#include "ThreadKESP.h"
#include "TreePublish.h"
#include "VirtualUPSMgr.h"
#include "crc.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>

namespace {

// ---- Record sizes on the wire ----------------------------------------------------
static_assert(sizeof(nominal_t) == REPLYBNLEN, "BN carries the nominal record");
static_assert(sizeof(identification_t) == REPLYBILEN, "BI carries the identification record");
static_assert(BSRECORDLEN + 1 == REPLYBSLEN, "BS carries the cabinet record and the MU index");
static_assert(sizeof(descUpsBox_t) <= BSRECORDLEN, "the cabinet record fits its place in BS");
#if !defined(TVK_MODULAR)
static_assert(sizeof(descUpsBox_t) == BSRECORDLEN, "full layout: BS carries the whole cabinet record");
#endif
static_assert(sizeof(ErrCnt_t) == REPLYEXTERRLEN, "GE carries the MU error counters");
static_assert(sizeof(PlantCfg) == SCDATALEN, "SC carries the plant configuration");
static_assert(REPLYBSLEN + KESP_HEAD_QUEUE_LEN <= KESP_MAXPCKLEN, "the longest answer fits a frame buffer");
static_assert(SCDATALEN + KESP_HEAD_QUEUE_LEN <= KESP_MAXPCKLEN, "the longest query fits a frame buffer");

// GI data layout.
constexpr uint16 GI_SN = 0, GI_UPSCFG = 16, GI_FWVER = 32, GI_ADDRESS = 44, GI_SKCFG = 46, GI_CFG1 = 48;
static_assert(GI_CFG1 + 8 * 2 == REPLYGILEN, "GI: eight configuration words end the data");

constexpr uint16 VARIABLE = 0xFFFF;

using kespframe::be16;
using kespframe::finishFrame;
using kespframe::putBe16;

// A broadcast data answer of `dataLen` bytes from this cabinet.
int sendAnswer(const pckStruct &query, const uint8 *data, uint16 dataLen)
{
    uint8 f[KESP_MAXPCKLEN];
    if (dataLen + KESP_HEAD_QUEUE_LEN > KESP_MAXPCKLEN)
        return -1;
    memcpy(f + KESP_DATAOFFSET, data, dataLen);
    finishFrame(f, KESPAddr, BROADCAST, query.MainCmd, query.SubCmd, dataLen);
    return KESP_Send(f, uint16(dataLen + KESP_HEAD_QUEUE_LEN)) == 0 ? 0 : -1;
}

// The own cabinet's entry, or null for a card without a valid cabinet address.
upsBoxQueriesData_t *ownEntry(KESP_Context &ctx)
{
    if (!ctx.upsBox || !isMCU_NODE(KESPAddr))
        return nullptr;
    return &ctx.upsBox[MCU2id(KESPAddr)];
}

// Takes a mutex when there is one.
class OptLock {
public:
    explicit OptLock(myMutex *m) : m_(m)
    {
        if (m_)
            m_->lock();
    }
    ~OptLock() { unlock(); }
    void unlock()
    {
        if (m_)
            m_->unlock();
        m_ = nullptr;
    }

private:
    myMutex *m_;
};

// Inner DUVEX frame of a QT message: header fields, when there are at least 7 bytes.
struct Inner {
    bool ok = false;
    uint8 src = '?', dest = '?', main = '?', sub = '?';
};
Inner innerOf(const uint8 *frame, uint32 len)
{
    Inner in;
    if (frame && len >= DUVEX_DATAOFFSET) {
        in.ok = true;
        in.src = frame[DUVEX_SOURCEOFFSET];
        in.dest = frame[DUVEX_DESTOFFSET];
        in.main = frame[DUVEX_MAINCMDOFFSET];
        in.sub = frame[DUVEX_SUBCMDOFFSET];
    }
    return in;
}

// ---- Answers (KESP_ManageReply) --------------------------------------------------

int answerBN(KESP_Context &ctx, pckStruct &query)
{
    upsBoxQueriesData_t *own = ownEntry(ctx);
    if (!own || !own->pVN) {
        LOGW("VirtualNode non inizializzato!\n");
        return -1;
    }
    nominal_t nom;
    {
        OptLock lk(ctx.mutexData);
        memcpy(&nom, &own->pVN->nominal, sizeof nom);
    }
    return sendAnswer(query, reinterpret_cast<const uint8 *>(&nom), REPLYBNLEN);
}

uint32 statusCodeOf(const descUpsBox_t &b)
{
#if defined(TVK_MODULAR)
    (void)b;
    return 0;
#else
    return uint32(b.Ups.statusCode);
#endif
}

int answerBS(KESP_Context &ctx, pckStruct &query)
{
    upsBoxQueriesData_t *own = ownEntry(ctx);
    if (!own || !own->pVN) {
        LOGW("VirtualNode non inizializzato!\n");
        return -1;
    }
    // The record as module aggregation last wrote it (it writes under mutexKESPData).
    uint8 data[REPLYBSLEN];
    memset(data, 0, sizeof data);
    descUpsBox_t rec;
    {
        OptLock lk(ctx.mutexData);
        memcpy(&rec, &own->pVN->desc.upsBox, sizeof rec);
        data[BSRECORDLEN] = own->extendedBoardBox.idu;
    }
    memcpy(data, &rec, sizeof rec);
    LOGD("boxId:%u timestamp:%u statuscode:%u Vout[0]:%d Vout[1]:%d Vout[2]:%d Fin:%d Vbyp[0]:%d Vbyp[1]:%d "
         "Vbyp[2]:%d\n",
         unsigned(MCU2id(KESPAddr)), unsigned(rec.timestamp), unsigned(statusCodeOf(rec)), int(rec.Ups.Vout[0]),
         int(rec.Ups.Vout[1]), int(rec.Ups.Vout[2]), int(rec.Ups.Frq_in), int(rec.Ups.Vbyp[0]), int(rec.Ups.Vbyp[1]),
         int(rec.Ups.Vbyp[2]));
    return sendAnswer(query, data, REPLYBSLEN);
}

// Blank-pads a text field, keeping its last byte as terminator.
template <size_t N> void blank(char (&f)[N])
{
    memset(f, ' ', N - 1);
    f[N - 1] = 0;
}
// Copies at most `max` characters of `src` (up to its terminator) into `dst`.
void copyText(char *dst, const char *src, size_t max)
{
    for (size_t i = 0; i < max && src[i]; ++i)
        dst[i] = src[i];
}

// Creates the own identification the first time a BI is asked (ctx.mutexData held).
void createIdentification(KESP_Context &ctx, upsBoxQueriesData_t &own)
{
    identification_t &id = own.pVN->identification;
    LOGN("CREO DATI identification myMCUid\n");
    memset(&id, 0, sizeof id);
    blank(id.SN);
    blank(id.Model);
    blank(id.SWVer);
    blank(id.SN_AUX);
    blank(id.SWVer_AUX);
    id.timestamp = mytime_t(sysclock::now());
    if (profile::modular) {
        static const char model[] = "ZVL UPS BOX     ";
        static_assert(sizeof model - 1 == sizeof id.Model - 1, "model text fills the field");
        copyText(id.Model, model, sizeof id.Model - 1);
    } else if (ctx.ownModule) {
        identification_t mod;
        {
            OptLock lk(ctx.mutexModuleData);
            memcpy(&mod, &ctx.ownModule->identification, sizeof mod);
        }
        mod.SN[sizeof mod.SN - 1] = 0;
        mod.Model[sizeof mod.Model - 1] = 0;
        mod.SWVer[sizeof mod.SWVer - 1] = 0;
        copyText(id.SN, mod.SN, 16);
        copyText(id.Model, mod.Model, 16);
        char sw[64];
        snprintf(sw, sizeof sw, "SH%sFW%s", "1.0", mod.SWVer);
        copyText(id.SWVer, sw, sizeof id.SWVer - 1);   // cut to the field, blank-padded
    }
    id.IO_Cfg = TT;
    id.Boost_Cfg = Boost;
    id.Buck_Cfg = Buck;
    id.Error_CTRL = CRC;
    id.PwrShareCfg = NoPWRSHARE;
    id.BattBenches = TwoBenches;
    id.NBattForBench = '0';
    int present = 0;
    if (ctx.cfg)
        for (int i = 0; i < MAXUPSBOX; ++i)
            present += ctx.cfg->Ups[i].present ? 1 : 0;
    id.ParallelInfo = present >= 2 ? ParallelUPS_Slave : Single;
#if !defined(TVK_MODULAR)
    id.TypeMachine = KRB;
    id.Cover = VARDEL;
    id.TypeInput = DUALINPUT;
#endif
    const information_t &inf = own.extendedBoardBox.inf;
    char sn[sizeof inf.ro.SerialNumber];
    char fw[sizeof inf.ro.FWVersion];
    memcpy(sn, inf.ro.SerialNumber, sizeof sn);
    memcpy(fw, inf.ro.FWVersion, sizeof fw);
    sn[sizeof sn - 1] = 0;
    fw[sizeof fw - 1] = 0;
    memset(id.SN_AUX, 0, sizeof id.SN_AUX);
    memset(id.SWVer_AUX, 0, sizeof id.SWVer_AUX);
    copyText(id.SN_AUX, sn, sizeof id.SN_AUX - 1);
    copyText(id.SWVer_AUX, fw, sizeof id.SWVer_AUX - 1);
    memcpy(id.tbdGE, "0000", 4);
}

int answerBI(KESP_Context &ctx, pckStruct &query)
{
    upsBoxQueriesData_t *own = ownEntry(ctx);
    if (!own || !own->pVN) {
        LOGW("VirtualNode non inizializzato!\n");
        return -1;
    }
    identification_t id;
    bool partial;
    {
        OptLock lk(ctx.mutexData);
        if (own->pVN->identification.timestamp == 0)
            createIdentification(ctx, *own);
        memcpy(&id, &own->pVN->identification, sizeof id);
        partial = own->extendedBoardBox.inf.timestamp == 0;
    }
    if (partial) {
        LOGN("RISPOSTA BI PARZIALE, non sono disponibili dati GI\n");
        memset(id.SN_AUX, 0, sizeof id.SN_AUX);
        memset(id.SWVer_AUX, 0, sizeof id.SWVer_AUX);
    }
    return sendAnswer(query, reinterpret_cast<const uint8 *>(&id), REPLYBILEN);
}

int answerAck(KESP_Context &, pckStruct &query) { return KESP_ACKReply(query); }

int answerUC(KESP_Context &ctx, pckStruct &query)
{
    LOGN("Richiesta aggiornamento da MCU:%C\n", wint_t(MCU2letter(query.Src)));
    if (ctx.upsBox && isMCU_NODE(query.Src)) {
        OptLock lk(ctx.mutexData);
        ctx.upsBox[MCU2id(query.Src)].remoteUpdaterequest = true;
    }
    return KESP_ACKReply(query);
}

int answerQT(KESP_Context &ctx, pckStruct &query)
{
    const Inner in = innerOf(query.pParam, query.ParamLen);
    if (!in.ok || query.ParamLen < DUVEX_HEAD_QUEUE_LEN) {
        LOGE("Pacchetto incapsulato troppo corto (%u byte)!\n", unsigned(query.ParamLen));
        return -1;
    }
    LOGD("ricevuta query QT da box:%c Pacchetto incapsulato %c%c len:%d da '%c' per '%c'\n", MCU2letter(query.Src),
         in.main, in.sub, int(query.ParamLen), in.src, in.dest);
    if (!ctx.buildReply) {
        LOGE("Risposta a QT non disponibile: manca la costruzione della risposta DUVEX!\n");
        return -1;
    }
    pckStruct inner;
    DUVEX_ExtractQuery(inner, query.pParam);
    // The inner frame's own length must be the bytes that came: its parameters are read
    // (and a command copies them) as far as that length says.
    if (uint32(inner.ParamLen) + DUVEX_HEAD_QUEUE_LEN != query.ParamLen) {
        LOGE("Pacchetto incapsulato incoerente: %u byte di dati in %u byte!\n", unsigned(inner.ParamLen),
             unsigned(query.ParamLen));
        return -1;
    }
    uint8 *reply = nullptr;
    uint8 replyLen = 0;
    long remoteTs = 0;
    const int r = ctx.buildReply(inner, reply, replyLen, remoteTs);
    if (r <= 0 || !reply || replyLen == 0) {
        delete[] reply;
        LOGE("Risposta DUVEX non disponibile per %c%c\n", in.main, in.sub);
        return -1;
    }
    const uint16 dataLen = uint16(QTTIMESTAMPLEN + replyLen);
    uint8 *data = new (std::nothrow) uint8[dataLen];
    if (!data) {
        delete[] reply;
        LOGE("malloc fallita!!\n");
        return -1;
    }
    const int32 ts = int32(remoteTs);
    memcpy(data, &ts, QTTIMESTAMPLEN);
    memcpy(data + QTTIMESTAMPLEN, reply, replyLen);
    delete[] reply;
    const int rc = sendAnswer(query, data, dataLen);
    delete[] data;
    return rc;
}

int answerCN(KESP_Context &, pckStruct &)
{
    LOGE("Il comando CN non prevede risposta... grave errore logico!!\n");
    return -1;
}

// ---- Stores (KESP_ManageData) ----------------------------------------------------

// The node of the cabinet that sent a reply (sender checked by the caller).
// Logs in the name of `func` (the store routine).
virtualNode_t *senderNode(KESP_Context &ctx, const pckStruct &r, const char *func)
{
    virtualNode_t *n = ctx.upsBox ? ctx.upsBox[MCU2id(r.Src)].pVN : nullptr;
    if (!n)
        tvk_log(__FILE__, func, LogLevel::War, "VirtualNode non inizializzato!\n");
    return n;
}

void storeBN(KESP_Context &ctx, long, const pckStruct &r, const uint8 *, uint16)
{
    if (virtualNode_t *n = senderNode(ctx, r, __func__)) {
        TreePublish pub(ctx.tree);
        memcpy(&n->nominal, r.pParam, sizeof n->nominal);
    }
}

void storeBS(KESP_Context &ctx, long, const pckStruct &r, const uint8 *, uint16)
{
    virtualNode_t *n = senderNode(ctx, r, __func__);
    if (!n)
        return;
    // This build's record, whatever its size; the MU index stands at byte 331.
    {
        TreePublish pub(ctx.tree);
        memcpy(&n->desc.upsBox, r.pParam, sizeof(descUpsBox_t));
    }
    ctx.upsBox[MCU2id(r.Src)].extendedBoardBox.idu = r.pParam[BSRECORDLEN];
    const descUpsBox_t &b = n->desc.upsBox;
    LOGD("box:%c Bypass->%s tinestamp BS:%u\n", MCU2letter(r.Src), b.Ups.Bypass_Bad ? "BAD" : "GOOD",
         unsigned(b.timestamp));
}

void storeBI(KESP_Context &ctx, long, const pckStruct &r, const uint8 *, uint16)
{
    if (virtualNode_t *n = senderNode(ctx, r, __func__)) {
        TreePublish pub(ctx.tree);
        memcpy(&n->identification, r.pParam, sizeof n->identification);
    }
}

// Copies a text field of `n` characters and terminates it.
void textField(char *dst, size_t dstSize, const uint8 *src, size_t n)
{
    memset(dst, 0, dstSize);
    memcpy(dst, src, n < dstSize ? n : dstSize - 1);
    dst[dstSize - 1] = 0;
}

void storeGI(KESP_Context &ctx, long timestamp, const pckStruct &r, const uint8 *, uint16)
{
    if (!ctx.upsBox)
        return;
    upsBoxQueriesData_t &e = ctx.upsBox[MU2id(r.Src)];
    information_t &inf = e.extendedBoardBox.inf;
    const uint8 *d = r.pParam;
    inf.timestamp = time_t(timestamp);
    textField(inf.ro.SerialNumber, sizeof inf.ro.SerialNumber, d + GI_SN, 16);
    textField(inf.ro.UpsConfig, sizeof inf.ro.UpsConfig, d + GI_UPSCFG, 16);
    textField(inf.ro.FWVersion, sizeof inf.ro.FWVersion, d + GI_FWVER, 12);
    inf.ro.Address = be16(d + GI_ADDRESS);
    inf.ro.SkCfg = be16(d + GI_SKCFG);
    uint16 *cfg[8] = {&inf.rw.cfg1, &inf.rw.cfg2, &inf.rw.cfg3, &inf.rw.cfg4,
                      &inf.rw.cfg5, &inf.rw.cfg6, &inf.rw.cfg7, &inf.rw.cfg8};
    for (int i = 0; i < 8; ++i)
        *cfg[i] = be16(d + GI_CFG1 + 2 * i);
    virtualNode_t *n = e.pVN;
    if (!n) {
        LOGW("VirtualNode non inizializzato!\n");
        return;
    }
    identification_t &id = n->identification;
    memset(id.SN_AUX, 0, sizeof id.SN_AUX);
    memcpy(id.SN_AUX, inf.ro.SerialNumber, sizeof id.SN_AUX - 1);
    memset(id.SWVer_AUX, 0, sizeof id.SWVer_AUX);
    memcpy(id.SWVer_AUX, inf.ro.FWVersion, sizeof id.SWVer_AUX - 1);
    LOGD("MITT: 0x%02X\n", unsigned(r.Src));
    LOGD("SN: %s\n", inf.ro.SerialNumber);
    LOGD("SWVer: %s\n", inf.ro.FWVersion);
    LOGD("SN_AUX: %s\n", id.SN_AUX);
    LOGD("SWVer_AUX: %s\n", id.SWVer_AUX);
    LOGD("board: %s\n", (inf.rw.cfg1 & 0x0002) ? "VARNOX-R8" : " VARNOX-R4");
    const uint16 delays[4] = {inf.rw.cfg4, inf.rw.cfg5, inf.rw.cfg6, inf.rw.cfg7};
    for (int i = 0; i < 4; ++i) {
        LOGD("delayR%d:%d\n", 2 * i + 1, int(delays[i] >> 8));
        LOGD("delayR%d:%d\n", 2 * i + 2, int(delays[i] & 0xFF));
    }
    LOGD("normalON:0x%02X\n", unsigned(inf.rw.cfg8 >> 8));
}

void storeAck(KESP_Context &, long timestamp, const pckStruct &r, const uint8 *, uint16)
{
    pckStruct copy = r;
    KESP_ACKControl(timestamp, copy);
}

void storeNothing(KESP_Context &, long, const pckStruct &, const uint8 *, uint16) {}

// QT reply: remote time stamp (4 bytes, host order) + the module's reply frame.
void storeQT(KESP_Context &ctx, long timestamp, const pckStruct &r, const uint8 *, uint16)
{
    (void)timestamp;
    if (r.ParamLen < QTTIMESTAMPLEN + DUVEX_HEAD_QUEUE_LEN) {
        LOGW("Risposta QT troppo corta (%u byte): ignorata\n", unsigned(r.ParamLen));
        return;
    }
    int32 ts32;
    memcpy(&ts32, r.pParam, sizeof ts32);
    const long remoteTs = long(ts32);
    const uint8 *inner = r.pParam + QTTIMESTAMPLEN;
    const uint32 innerLen = uint32(r.ParamLen) - QTTIMESTAMPLEN;
    const uint32 innerData = DUVEX_DCd2Dec(inner + DUVEX_LENGTHOFFSET, 2) & 0xFF;
    const Inner in = innerOf(inner, innerLen);
    LOGD("ricevuta risposta a QT da box:%c Pacchetto incapsulato %c%c da '%c' per '%c' remoteTimestamp:%ld\n",
         MCU2letter(r.Src), in.main, in.sub, in.src, in.dest, remoteTs);
    if (innerData + DUVEX_HEAD_QUEUE_LEN != innerLen) {
        LOGW("Risposta QT incoerente: pacchetto incapsulato di %u byte in %u byte: ignorata\n",
             unsigned(innerData + DUVEX_HEAD_QUEUE_LEN), unsigned(innerLen));
        return;
    }
    // The cabinet on whose behalf the inner query was made.
    const uint8 boxId = uint8(in.dest - 'A');
    if (boxId >= MAXUPSBOX) {
        LOGW("Risposta QT per l'armadio '%c' non valido: ignorata\n", in.dest);
        return;
    }
    if (remoteTs == 0)
        return;
    if (ctx.relayReply)
        ctx.relayReply(boxId, remoteTs, inner, innerLen, true);
    else
        DUVEX_ManageDataEx(boxId, remoteTs, inner, innerLen, true, true);
}

// ---- The table -----------------------------------------------------------------

constexpr uint8 MCU = KESP_ST_MCU, MU = KESP_ST_MU, ANY = KESP_ST_MCU | KESP_ST_MU | KESP_ST_MASTER;
using RK = KESP_ReplyKind;

// BE (no reply), the F family and GS/GE have no answer here; GS/GE are known by
// their lengths only (nothing sends or interprets them).
constexpr KESP_MsgDesc kMsgs[] = {
    // main sub  query len  reply len       kind          sent   answered replies from  answer     store
    {'B', 'N', 0, REPLYBNLEN, RK::Broadcast, false, true, MCU, answerBN, storeBN},
    {'B', 'S', 0, REPLYBSLEN, RK::Broadcast, true, true, MCU, answerBS, storeBS},
    {'B', 'I', 0, REPLYBILEN, RK::Broadcast, false, true, MCU, answerBI, storeBI},
    {'C', 'H', 0, REPLYACKLEN, RK::Ack, false, true, ANY, answerAck, storeAck},
    {'C', 'U', 0, REPLYACKLEN, RK::Ack, true, true, ANY, answerAck, storeAck},
    {'C', 'N', CNDATALEN, 0, RK::None, false, false, 0, answerCN, nullptr},
    {'G', 'I', 0, REPLYGILEN, RK::FromMU, false, false, MU, nullptr, storeGI},
    {'G', 'S', 0, REPLYGSLEN, RK::FromMU, false, false, 0, nullptr, nullptr},
    {'G', 'E', 0, REPLYEXTERRLEN, RK::FromMU, false, false, 0, nullptr, nullptr},
    {'O', 'S', 0, 0, RK::None, false, false, ANY, nullptr, storeNothing},
    {'O', 'R', 0, 0, RK::None, false, false, ANY, nullptr, storeNothing},
    {'Q', 'T', VARIABLE, VARIABLE, RK::Broadcast, true, true, MCU, answerQT, storeQT},
    {'S', 'C', SCDATALEN, REPLYACKLEN, RK::Ack, true, true, ANY, answerAck, storeAck},
    {'S', 'I', SIDATALEN, REPLYACKLEN, RK::Ack, true, true, ANY, answerAck, storeAck},
    {'T', 'B', 1, REPLYACKLEN, RK::Ack, true, false, ANY, nullptr, storeAck},
    {'U', 'C', 0, REPLYACKLEN, RK::Ack, false, true, ANY, answerUC, storeAck},
};

// Main commands that exist on the bus but have no row (every sub-command is
// "not supported" rather than the main command unknown) when answering.
constexpr uint8 kAnswerOnlyMains[] = {'F'};

bool senderAllowed(uint8 senders, uint8 src)
{
    if ((senders & KESP_ST_MCU) && isMCU_NODE(src))
        return true;
    if ((senders & KESP_ST_MU) && isUpsBoxMU_NODE(src))
        return true;
    if ((senders & KESP_ST_MASTER) && !isMCU_NODE(src) && !isUpsBoxMU_NODE(src))
        return true;
    return false;
}

KESP_BuildReplyFn g_buildReplyFn = nullptr;

// The inner-frame line of a QT message; `skip` bytes precede the inner frame in
// the data (the time stamp of a reply).
void logInner(LogLevel lvl, const char *func, const pckStruct &q, uint16 skip = 0)
{
    if (q.MainCmd != 'Q' || q.SubCmd != 'T' || !q.pParam || q.ParamLen < skip)
        return;
    const Inner in = innerOf(q.pParam + skip, uint32(q.ParamLen - skip));
    tvk_log(__FILE__, func, lvl, "Pacchetto incapsulato %c%c da '%c' per '%c'\n", in.main, in.sub, in.src, in.dest);
}

} // namespace

const KESP_MsgDesc *KESP_FindMsg(uint8 mainCmd, uint8 subCmd)
{
    for (const KESP_MsgDesc &m : kMsgs)
        if (m.main == mainCmd && m.sub == subCmd)
            return &m;
    return nullptr;
}

bool KESP_KnownMainCmd(uint8 mainCmd)
{
    for (const KESP_MsgDesc &m : kMsgs)
        if (m.main == mainCmd)
            return true;
    return false;
}

void KESP_SetModuleReplyBuilder(KESP_BuildReplyFn fn) { g_buildReplyFn = fn; }

KESP_Context KESP_SystemContext()
{
    KESP_Context ctx;
    SystemMgr *sys = pSysMgr;
    if (!sys)
        return ctx;
    ctx.cfg = &sys->Cfg;
    if (KESPMgr *k = sys->pThKESP) {
        ctx.upsBox = k->upsBox;
        ctx.tree = k->sys;
        ctx.mutexData = k->mutexKESPData;
    }
    if (DUVEXMgr *d = sys->pThDuvex) {
        ctx.mutexModuleData = d->mutexDuvexData;
        if (isMCU_NODE(KESPAddr))
            ctx.ownModule = d->ModulesData[MCU2id(KESPAddr)][0].pVN;
    }
    if (g_buildReplyFn)
        ctx.buildReply = g_buildReplyFn;
    return ctx;
}

uint16 KESP_GetReplyDataLen(pckStruct &qcs)
{
    const KESP_MsgDesc *m = KESP_FindMsg(qcs.MainCmd, qcs.SubCmd);
    if (!m) {
        if (KESP_KnownMainCmd(qcs.MainCmd))
            LOGE("SubCmd %c non supportato per il MainCmd %c\n", qcs.SubCmd, qcs.MainCmd);
        else
            LOGE("MainCmd %c non supportato\n", qcs.MainCmd);
        return 0;
    }
    if (m->replyDataLen != VARIABLE)
        return m->replyDataLen;
    // QT: the module's reply to the embedded query, its framing and the time stamp.
    if (!qcs.pParam || qcs.ParamLen < DUVEX_HEAD_QUEUE_LEN) {
        LOGE("Pacchetto incapsulato troppo corto (%u byte)!\n", unsigned(qcs.ParamLen));
        return 0;
    }
    pckStruct inner;
    DUVEX_ExtractQuery(inner, qcs.pParam);
    // The reply must have exactly this length. The far card answers a relayed query
    // from its records, also for replies this build never asks its own module for
    // (RC in the naval and standard builds): those take the length of the reply's
    // layout, or such an answer could never be taken (and every refresh would log
    // an error).
    int innerLen = DUVEX_LookupReplyDataLen(inner);
    if (innerLen < 0)
        innerLen = DUVEX_ReplyLayoutLen(inner.MainCmd, inner.SubCmd);
    return uint16(innerLen + DUVEX_HEAD_QUEUE_LEN + QTTIMESTAMPLEN);
}

int KESP_GetUnitBoardType(uint8 dest, uint16 &type)
{
    type = 0xFF;
    pckStruct q{};
    q.Src = KESPAddr;
    q.Dest = dest;
    q.MainCmd = 'G';
    q.SubCmd = 'I';
    uint8 *query = nullptr;
    const uint16 qLen = KESP_BuildQuery(q, query);
    if (!query)
        return -1;
    uint8 reply[REPLYGILEN + KESP_HEAD_QUEUE_LEN];
    uint16 len = sizeof reply;
    int rc = -1;
    errnoKESP = 0;
    if (KESP_ch != 0xFF)
        KESP_Init();   // an open channel is only flushed
    if (KESP_Send(query, qLen) == 0 && KESP_RcvReply(reply, &len, q) == 0 && KESP_Decode(query, reply, len) == 0 &&
        be16(reply + KESP_LENGTHOFFSET) == REPLYGILEN) {
        type = be16(reply + KESP_DATAOFFSET + GI_SKCFG);
        LOGDUMP("verifica GI", reply, len);
        rc = 0;
    }
    KESP_DestroyQuery(query);
    return rc;
}

int KESP_ManageQueryWith(KESP_Context &ctx, QCMgr &q)
{
    const pckStruct &qc = q.QC;
    LOGD("Invio comando %c%c alla scheda 0x%02X ...\n", qc.MainCmd, qc.SubCmd, unsigned(qc.Dest));
    LOGD("pckQuery:%p len:%lu\n", static_cast<void *>(q.pckQuery), (unsigned long)(qc.ParamLen + KESP_HEAD_QUEUE_LEN));
    logInner(LogLevel::Dbg, __func__, qc);
    errnoKESP = 0;
    bool ok = false;
    if (q.hasQuery()) {
        if (KESP_ch != 0xFF)
            KESP_Init();   // open channel: flush its queue
        if (KESP_Send(q.pckQuery, q.buildQueryLen) == 0) {
            pckStruct sent;
            KESP_ExtractQuery(sent, q.pckQuery);
            if (sent.Dest == KESPAddr && isMCU_NODE(KESPAddr)) {
                // Own cabinet: answer locally, on the line, so the other cabinets hear it.
                sysclock::sleepMs(KESP_LOCALREPLYDELAY);
                KESP_ManageReplyWith(ctx, sent);
                sysclock::sleepMs(KESP_LOCALREPLYAFTER);
                return 1;
            }
            if (sent.Dest == BROADCAST || (sent.MainCmd == 'C' && sent.SubCmd == 'N'))
                return 1;
            LastMaster = KESPAddr;
            uint16 len = q.expectedReplyLen;
            if (q.pckReply && len >= KESP_HEAD_QUEUE_LEN && KESP_RcvReply(q.pckReply, &len, sent) == 0 &&
                KESP_Decode(q.pckQuery, q.pckReply, len) == 0) {
                const uint32 real = uint32(be16(q.pckReply + KESP_LENGTHOFFSET)) + KESP_HEAD_QUEUE_LEN;
                if (real != q.expectedReplyLen) {
                    LOGE("RealDatalen:%d expectedReplyLen:%d\n", int(real), int(q.expectedReplyLen));
                    errnoKESP = DATALENFAIL;
                } else {
                    ok = true;
                }
            }
        }
    } else {
        LOGE("Query senza pacchetto da inviare!\n");
    }
    if (ok) {
        LOGD("... OK\n");
        return 0;
    }
    LOGE("FALLITO Comando %c%c inviato alla scheda 0x%02X\n", qc.MainCmd, qc.SubCmd, unsigned(qc.Dest));
    logInner(LogLevel::Err, __func__, qc);
    return -1;
}

int KESP_ManageQuery(QCMgr &q)
{
    KESP_Context ctx = KESP_SystemContext();
    return KESP_ManageQueryWith(ctx, q);
}

int KESP_ManageReplyWith(KESP_Context &ctx, pckStruct &query)
{
    KESP_UpdateLastMaster(query.Src);
    const KESP_MsgDesc *m = KESP_FindMsg(query.MainCmd, query.SubCmd);
    int rc = -1;
    if (m && m->answer) {
        rc = m->answer(ctx, query);
    } else {
        bool known = KESP_KnownMainCmd(query.MainCmd);
        for (uint8 c : kAnswerOnlyMains)
            known = known || c == query.MainCmd;
        if (known)
            LOGE("SubCmd %c non supportato per il MainCmd %c\n", query.SubCmd, query.MainCmd);
        else
            LOGE("MainCmd %c non supportato\n", query.MainCmd);
    }
    if (rc == 0) {
        LOGD("Risposta a %c%c inviata alla scheda 0x%02X\n", query.MainCmd, query.SubCmd, unsigned(query.Src));
        logInner(LogLevel::Dbg, __func__, query);
        return 0;
    }
    LOGE("FALLITO Risposta %c%c inviato alla scheda 0x%02X\n", query.MainCmd, query.SubCmd, unsigned(query.Src));
    logInner(LogLevel::Err, __func__, query);
    return -1;
}

int KESP_ManageReply(pckStruct &query)
{
    KESP_Context ctx = KESP_SystemContext();
    return KESP_ManageReplyWith(ctx, query);
}

int KESP_ManageDataWith(KESP_Context &ctx, long timestamp, const uint8 *pckReply, uint16 frameLen)
{
    if (!pckReply || frameLen < KESP_HEAD_QUEUE_LEN) {
        LOGW("Pacchetto troppo corto (%u byte): ignorato\n", unsigned(frameLen));
        return 0;
    }
    pckStruct r;
    KESP_ExtractQuery(r, const_cast<uint8 *>(pckReply));
    if (uint32(r.ParamLen) + KESP_HEAD_QUEUE_LEN > frameLen) {
        LOGW("Pacchetto %c%c da 0x%02X troncato: DataLength %u in %u byte: ignorato\n", r.MainCmd, r.SubCmd,
             unsigned(r.Src), unsigned(r.ParamLen), unsigned(frameLen));
        return 0;
    }
    if (r.MainCmd == NCK) {
        LOGW("Ricevuto NAK, codice %c\n", r.SubCmd);
    } else if (const KESP_MsgDesc *m = KESP_FindMsg(r.MainCmd, r.SubCmd)) {
        if (!m->store) {
            LOGE("SubCmd %c non supportato per il MainCmd %c\n", r.SubCmd, r.MainCmd);
        } else if (!senderAllowed(m->replySenders, r.Src)) {
            LOGW("Risposta %c%c da 0x%02X: mittente non ammesso, ignorata\n", r.MainCmd, r.SubCmd, unsigned(r.Src));
        } else if (m->replyDataLen != VARIABLE && m->kind != RK::Ack && r.ParamLen != m->replyDataLen) {
            LOGW("Risposta %c%c da 0x%02X con DataLength %u invece di %u: ignorata\n", r.MainCmd, r.SubCmd,
                 unsigned(r.Src), unsigned(r.ParamLen), unsigned(m->replyDataLen));
        } else {
            m->store(ctx, timestamp, r, pckReply, frameLen);
        }
    } else if (KESP_KnownMainCmd(r.MainCmd)) {
        LOGE("SubCmd %c non supportato per il MainCmd %c\n", r.SubCmd, r.MainCmd);
    } else {
        LOGE("MainCmd %c non supportato\n", r.MainCmd);
        LOGDUMP("pckReply", pckReply, uint32(r.ParamLen) + KESP_HEAD_QUEUE_LEN);
    }
    LOGD("Analizzati dati di %c%c inviati dalla scheda 0x%02X len:%d\n", r.MainCmd, r.SubCmd, unsigned(r.Src),
         int(r.ParamLen));
    logInner(LogLevel::Dbg, __func__, r, QTTIMESTAMPLEN);
    return 0;
}

int KESP_ManageData(long timestamp, uint8 *pckReply)
{
    if (!pckReply)
        return 0;
    const uint32 len = uint32(be16(pckReply + KESP_LENGTHOFFSET)) + KESP_HEAD_QUEUE_LEN;
    if (len > KESP_MAXPCKLEN) {
        LOGW("Pacchetto di %u byte oltre il massimo: ignorato\n", unsigned(len));
        return 0;
    }
    KESP_Context ctx = KESP_SystemContext();
    return KESP_ManageDataWith(ctx, timestamp, pckReply, uint16(len));
}
