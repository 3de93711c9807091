#include "ThreadDUVEX.h"

#include "DUVEX.h"
#include "DUVEXData.h"
#include "Globals.h"
#include "KESP.h"
#include "Log.h"
#include "SysClock.h"
#include "SystemMgr.h"
#include "ThreadKESP.h"
#include "TsanAnnotate.h"
#include "VirtualUPSInit.h"

#include <cstring>
#include <new>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

long kernelTid() { return long(syscall(SYS_gettid)); }

int64_t msSince(const struct timespec &t)
{
    struct timespec now = sysclock::monotonic();
    return int64_t(now.tv_sec - t.tv_sec) * 1000 + (now.tv_nsec - t.tv_nsec) / 1000000;
}

QString pckText(const char *head, const pckStruct &q)
{
    return QString(head).arg(QChar(q.Src)).arg(QChar(q.Dest)).arg(QChar(q.MainCmd)).arg(QChar(q.SubCmd));
}

QString clockText()
{
    time_t t = sysclock::now();
    struct tm tmv;
    localtime_r(&t, &tmv);
    char buf[16];
    snprintf(buf, sizeof buf, "%02u:%02u:%02u", unsigned(tmv.tm_hour), unsigned(tmv.tm_min), unsigned(tmv.tm_sec));
    return QString(buf);
}

// Index of the own cabinet (0..3), or a value >= 4 when the card has no valid address.
uint8 ownBoxId() { return uint8(KESPAddr - 234); }

} // namespace

DUVEXMgr::DUVEXMgr(QObject *parent)
    : QueuesMgr(parent), requestHALT(false), thID(-1), iteration(-1), stopped(false), mutexState(nullptr),
      mutexDuvexChannel(nullptr), mutexDuvexData(nullptr), state(IdleDuvex), requestUnlockIdlePending(false),
      lastidu(255)
{
    memset(ModulesData, 0, sizeof ModulesData);
    lastTime = timespec{0, 0};
    m_lastRoundCompleted = timespec{0, 0};
    DUVEX_Init();
    currPckStr = "currPck:";
    lastErrStr = "LastErr:";
    mutexState = new myMutex("mutexState");
    mutexDuvexChannel = new myMutex("mutexDuvexChannel");
    mutexDuvexData = new myMutex("mutexDuvexData");
    setState(IdleDuvex);
    requestUnlockIdlePending = false;
    lastidu = 255;
    requestHALT = false;
    // The cabinet bus answers relayed module queries (QT) with this card's records.
    KESP_SetModuleReplyBuilder(DUVEX_BuildReply);
}

DUVEXMgr::~DUVEXMgr()
{
    DUVEX_End();
    delete mutexState;
    delete mutexDuvexChannel;
    delete mutexDuvexData;
}

void DUVEXMgr::run()
{
    thID = int(kernelTid());
    LOGN("thID:%d\n", thID);
    while (!stopped)
        StateMachine();
    stopped = false;
    LOGN("EXIT ThDUVEX thID:%d\n", thID);
}

void DUVEXMgr::setState(Duvex_status_e newState)
{
    myMutexLocker lk(mutexState);
    LOGD("oldState:%d newState:%d\n", int(state), int(newState));
    state = newState;
}

Duvex_status_e DUVEXMgr::getState()
{
    myMutexLocker lk(mutexState);
    return state;
}

// The texts are written by the bus thread and by single-query threads: each assignment
// (and each read through the accessors) is made under their own lock, a leaf. The new
// text is moved in (no data shared with a temporary); the old one is released after the
// lock, by the swap partner.
void DUVEXMgr::saveCurrPck(const pckStruct &q)
{
    QString text = pckText("currPck:\\02%1%2%3%4...", q);
    std::lock_guard<std::mutex> lk(m_diagMutex);
    currPckStr.swap(text);
}

void DUVEXMgr::saveLastErr(const pckStruct &q)
{
    QString text = pckText("LastErr:\\02%1%2%3%4... @%5", q).arg(clockText());
    std::lock_guard<std::mutex> lk(m_diagMutex);
    lastErrStr.swap(text);
}

QString DUVEXMgr::currPck() const
{
    std::lock_guard<std::mutex> lk(m_diagMutex);
    return currPckStr;
}

QString DUVEXMgr::lastErr() const
{
    std::lock_guard<std::mutex> lk(m_diagMutex);
    return lastErrStr;
}

// ---------------------------------------------------------------------------------------
// Registration of the modules

int DUVEXMgr::RegisterModule(uint8 boxAddr, uint8 moduleAddr)
{
    uint8 mod = uint8(moduleAddr - '1');
    // One module slot per cabinet: addresses '2'..'7' pass the generic check but have no slot.
    if (mod > 6 || mod >= MAXUPSxUPSBOX_DUVEX) {
        LOGE("Indice del modulo non corretto!\n");
        return -1;
    }
    uint8 box = uint8(boxAddr - 234);
    if (box > 3) {
        LOGE("Indice dell'armadio non corretto!\n");
        return -1;
    }

    {
        myMutexLocker lk(mutexDuvexData);
        char id[16];
        snprintf(id, sizeof id, "S%c.B%c.M%c", char('A' + uint8(KESPAddr - 234)), char('A' + box), char(moduleAddr));
        LOGN("string ricerca %s\n", id);
        VirtualUPSMgr *vu = pSysMgr ? pSysMgr->pVirtualUPSMgr : nullptr;
        virtualNode_t *node = vu ? vu->searchNode(id) : nullptr;
        LOGN("string ricerca %s\n", id);

        ModuleQueriesData_t &md = ModulesData[box][mod];
        md.pVN = node;
        md.commStatus.lastPckGood = 0;
        md.commStatus.errorPck = 0;
        md.commStatus.errorCnt = 0;
        md.commStatus.isGood = false;
        if (!node) {
            // Without a node nothing could hold the module's data: the slot stays
            // inactive (so neither the round nor the aggregation works on it).
            md.commStatus.active = false;
            LOGE("Nodo %s non trovato: modulo %c dell'armadio %c non registrato!\n", id, char(moduleAddr),
                 char('A' + box));
            return -1;
        }
        md.commStatus.active = true;
        InitValueIdentification(&node->identification, IdentSource::ModuleBus);
        memset(&node->nominal, 0, sizeof node->nominal);
        InitValueUPSStatus(&node->desc.module.data);
#if !defined(TVK_MODULAR)
        InitValueUPSStatusDetail(&node->desc.module.statusDetail, &node->desc.module.data);
#endif
    }

    if (boxAddr != KESPAddr)
        return 0;

    LOGD("Registro il modulo %d\n", int(moduleAddr));
    static const char round[][2] = {
#if defined(TVK_MODULAR)
        {'G', 'I'}, {'G', 'N'}, {'R', 'S'}, {'R', 'E'}, {'R', 'K'}, {'R', 'C'}, {'D', 'S'}, {'D', 'E'},
#else
        {'G', 'I'}, {'G', 'N'}, {'R', 'S'}, {'R', 'E'}, {'R', 'A'}, {'R', 'X'},
#endif
    };
    int ret = 0;
    for (const auto &qc : round) {
        uint8 rxParam[16];
        pckStruct q{};
        q.Src = DUVEX_MASTERADDR;
        q.Dest = moduleAddr;
        q.MainCmd = uint8(qc[0]);
        q.SubCmd = uint8(qc[1]);
        q.pParam = nullptr;
        q.ParamLen = 0;
        if (qc[0] == 'R' && qc[1] == 'X') {
            memset(rxParam, '0', sizeof rxParam);
            q.pParam = rxParam;
            q.ParamLen = sizeof rxParam;
        }
        ret |= RegisterElem(q);
    }
    return ret;
}

int DUVEXMgr::DeRegisterModule(uint8 boxAddr, uint8 moduleAddr)
{
    uint8 mod = uint8(moduleAddr - '1');
    if (mod > 6 || mod >= MAXUPSxUPSBOX_DUVEX) {
        LOGE("Indice del modulo non corretto!\n");
        return -1;
    }
    uint8 box = uint8(boxAddr - 234);
    if (box > 3) {
        LOGE("Indice dell'armadio non corretto!\n");
        return -1;
    }
    myMutexLocker lk(mutexDuvexData);
    if (boxAddr == KESPAddr) {
        LOGD("De-Registro il modulo %d\n", int(moduleAddr));
        uint8 rxParam[16];
        memset(rxParam, '0', sizeof rxParam);
        pckStruct q{};
        q.Src = DUVEX_MASTERADDR;
        q.Dest = moduleAddr;
        q.MainCmd = 'R';
        q.SubCmd = 'X';
        q.pParam = rxParam;
        q.ParamLen = sizeof rxParam;
        DeRegisterElem(q);
    }
    ModulesData[box][mod].commStatus.active = false;
    ModulesData[box][mod].pVN = nullptr;
    return 0;
}

// ---------------------------------------------------------------------------------------
// Queue wrappers

commStatus_t *DUVEXMgr::statusFor(uint8 dest)
{
    uint8 mod = uint8(dest - '1');
    uint8 box = ownBoxId();
    if (box > 3 || mod >= MAXUPSxUPSBOX_DUVEX)
        return nullptr;   // the bypass '8' and slot-less addresses carry no status
    return &ModulesData[box][mod].commStatus;
}

int DUVEXMgr::RegisterElem(pckStruct &query)
{
    if (uint8(query.Dest - '1') > 7) {
        LOGE("Indice della scheda non corretto!\n");
        return -1;
    }
    QCMgr elem(query, DUVEX_BuildQuery, DUVEX_GetReplyDataLen(query));
    elem.pCommStatus = statusFor(query.Dest);
    LOGN("Add Query %c%c to 0x%02X\n", query.MainCmd, query.SubCmd, query.Dest);
    return QueuesMgr::RegisterElem(elem);
}

int DUVEXMgr::DeRegisterElem(pckStruct &query)
{
    if (uint8(query.Dest - '1') > 7) {
        LOGE("Indice del modulo non corretto!\n");
        return -1;
    }
    QCMgr elem(query, DUVEX_BuildQuery, DUVEX_GetReplyDataLen(query));
    LOGN("Remove Query %c%c to 0x%02X\n", query.MainCmd, query.SubCmd, query.Dest);
    return QueuesMgr::DeRegisterElem(elem);
}

int DUVEXMgr::AddAsyncQC(pckStruct &query, bool verbose)
{
    if (uint8(query.Dest - '1') > 7) {
        LOGE("Indirizzo del modulo non corretto: %d!\n", int(query.Dest));
        return -1;
    }
    if (isPresentInAsyncQC(query))
        return 0;
    QCMgr elem(query, DUVEX_BuildQuery, DUVEX_GetReplyDataLen(query));
    elem.pCommStatus = statusFor(query.Dest);
    if (verbose)
        LOGN("Add AsyncQuery %c%c to 0x%02X\n", query.MainCmd, query.SubCmd, query.Dest);
    return QueuesMgr::AddAsyncQC(elem);
}

int DUVEXMgr::RemoveAsyncQC(pckStruct &query)
{
    if (uint8(query.Dest - '1') > 7) {
        LOGE("Indirizzo del modulo non corretto: %d!\n", int(query.Dest));
        return -1;
    }
    QCMgr elem(query, DUVEX_BuildQuery, DUVEX_GetReplyDataLen(query));
    LOGN("Remove AsyncQuery %c%c to 0x%02X\n", query.MainCmd, query.SubCmd, query.Dest);
    return QueuesMgr::RemoveAsyncQC(elem);
}

// ---------------------------------------------------------------------------------------
// One queued transaction

// A module that is busy for longer than module data stay current (30 s).
constexpr int64_t BUSYEXPIRE_MS = 30000;

bool DUVEXMgr::busyTooLong()
{
    const int64_t now = sysclock::monotonicMs();
    if (m_busySinceMs < 0)
        m_busySinceMs = now;
    return now - m_busySinceMs >= BUSYEXPIRE_MS;
}

int DUVEXMgr::ManageCmd(QCMgr *elem)
{
    int ret;
    uint8 err;
    {
        myMutexLocker lk(mutexDuvexChannel);
        saveCurrPck(elem->QC);
        ret = DUVEX_ManageQuery(*elem);
        err = errnoDuvex;
    }
    QThread::yieldCurrentThread();
    m_lastErrno = err;

    commStatus_t *st = elem->pCommStatus;
    if (!st)
        return -1;

    {
        myMutexLocker lk(mutexDuvexData);
        if (!st->active)
            return 0;
        if (ret == 0) {
            m_busySinceMs = -1;
            QCMgr::decErrorPck(st);
        } else if (err == 5 && !busyTooLong()) {
            return -2;
        } else {
            saveLastErr(elem->QC);
            QCMgr::incErrorPck(st, MAXPCKERROR);
            if (st->errorPck < MAXPCKERROR)
                return st->isGood ? -3 : -1;
            st->isGood = false;
            st->errorCnt++;
            return -1;
        }
    }
    DUVEX_ManageData(ownBoxId(), long(sysclock::now()), elem->pckReply);
    return 0;
}

// ---------------------------------------------------------------------------------------
// State machine

void DUVEXMgr::waitIdleUnlock()
{
    std::unique_lock<std::mutex> lk(m_idleMutex);
    m_idleCond.wait_for(lk, std::chrono::milliseconds(100),
                        [this] { return requestUnlockIdlePending || stopped; });
}

void DUVEXMgr::requestUnlockIdle()
{
    {
        std::lock_guard<std::mutex> lk(m_idleMutex);
        requestUnlockIdlePending = true;
    }
    m_idleCond.notify_all();
}

void DUVEXMgr::serveAsyncQueue()
{
    QCMgr *head = nullptr;
    while (!stopped) {
        bool framed = peekAsyncQC(head);
        if (!head)
            return;
        if (!framed) {   // an element without a frame can never be sent
            headAsyncQC();
            continue;
        }
        int64_t t0 = sysclock::monotonicMs();
        int res = ManageCmd(head);
        if (res == 0 || res == 1) {
            headAsyncQC();
        } else if (!head->pCommStatus) {
            // Queries without a status (the bypass '8') leave the queue after their
            // transaction, whatever the outcome: nothing else would ever remove them.
            headAsyncQC();
        } else if (res == -3) {
            sysclock::sleepMs(250);
        } else if (res == -1) {
            bool isSV = head->QC.MainCmd == 'S' && head->QC.SubCmd == 'V';
            if (m_lastErrno == 1 || m_lastErrno == 2 || m_lastErrno == 7 || isSV)
                headAsyncQC();
            else
                retryPause(t0);
        } else {
            retryPause(t0);
        }
    }
}

// A command retried at once costs its wire time; when the transaction failed without
// reaching the line (channel not open), pause instead of spinning on the processor.
void DUVEXMgr::retryPause(int64_t startMs)
{
    if (sysclock::monotonicMs() - startMs < 5)
        sysclock::sleepMs(250);
}

void DUVEXMgr::StateMachine()
{
    switch (getState()) {
    case IdleDuvex:
        iteration = -1;
        lastTime = sysclock::monotonic();
        lastidu = 255;
        LOGN("DuvexIdle\n");
        if (!requestUnlockIdlePending)
            waitIdleUnlock();
        if (requestUnlockIdlePending) {
            setState(MasterDuvex);
            requestUnlockIdlePending = false;
        }
        break;

    case MasterDuvex: {
        serveAsyncQueue();
        if (stopped)
            return;

        if (restartFixRound()) {
            if (msSince(m_lastRoundCompleted) < 1000) {
                LOGD("recupero\n");
                QCDelayed_t d;
                do {
                    if (!peekDelayedQC(d))
                        break;
                    manageDelayedQC();
                } while (requestHALT && !stopped);
            }
            LOGD("lastRoundTime:%d\n", int(msSince(m_lastRoundCompleted)));
            m_lastRoundCompleted = sysclock::monotonic();
            // Capped before it is stored: readers on other threads never see 1001.
            int32 it = iteration.load();
            if (it < 1000)
                iteration.store(it + 1);
            LOGD("DUVEX iteration:%ld\n", long(iteration));
        }

        QCMgr *cur = nullptr;
        bool framed = peekFixQC(cur);
        if (!cur) {
            sysclock::sleepMs(200);
            return;
        }
        int res = framed ? ManageCmd(cur) : -1;
        if (res == -1 || res == -2 || res == -3) {
            advanceFixQC();
            sysclock::sleepMs(250);
        } else if (res == 0 || res == 1) {
            advanceFixQC();
        }

        uint8 own = ownBoxId();
        if (pSysMgr && own < 4 && pSysMgr->Cfg.Ups[own].present)
            AggregateUPS(ModulesData[own], own);
        break;
    }

    default:
        LOGE("Stato non contemplato!!\n");
        sysclock::sleepMs(1000);
        break;
    }
}

int32 DUVEXMgr::getIteration()
{
    LOGD("it:%ld\n", long(iteration));
    return iteration;
}

// ---------------------------------------------------------------------------------------
// Single queries

DUVEXMgr::singleQCMgr::singleQCMgr(DUVEXMgr *owner, uint8 boxId, pckStruct *query, uint8 replyDataLen,
                                   uint8 *pData, int *status)
    : sQC_boxId(boxId), sQC_query(query), sQC_replyDataLen(replyDataLen), sQC_pData(pData), sQC_status(status),
      m_owner(owner)
{
}

DUVEXMgr::singleQCMgr::~singleQCMgr() { wait(); }

void DUVEXMgr::singleQCMgr::run()
{
    if (uint8(sQC_query->Dest - '1') > 7) {
        LOGE("Indirizzo del modulo non corretto: %d!\n", int(sQC_query->Dest));
        *sQC_status = -1;
    } else if (uint8(sQC_boxId + 234) == KESPAddr) {
        runLocal();
    } else {
        runRelayed();
    }
    // The waiter reads the status and deletes this object once wait() returned.
    TVK_TSAN_RELEASE(this);
}

void DUVEXMgr::singleQCMgr::runLocal()
{
    QCMgr qc(*sQC_query, DUVEX_BuildQuery, DUVEX_GetReplyDataLen(*sQC_query));
    LOGN("Insert Single QC %c%c to %c\n", sQC_query->MainCmd, sQC_query->SubCmd, sQC_query->Dest);
    LOGDUMP("data", sQC_query->pParam, sQC_query->pParam ? sQC_query->ParamLen : 0);
    int ret;
    uint8 err;
    {
        myMutexLocker lk(m_owner->mutexDuvexChannel);
        m_owner->saveCurrPck(qc.QC);
        ret = DUVEX_ManageQuery(qc);
        err = errnoDuvex;
    }
    LOGN("ret = %d errnoDuvex:%d\n", ret, int(err));
    if (ret != 0) {
        m_owner->saveLastErr(qc.QC);
        // A failed transaction is never reported as success, also when the reply was
        // malformed (errnoDuvex 0) or the frame could not be sent.
        *sQC_status = err ? -int(err) : -1;
        return;
    }
    if (sQC_pData && sQC_replyDataLen) {
        size_t avail = qc.expectedReplyLen > 12 ? size_t(qc.expectedReplyLen - 12) : 0;
        size_t n = sQC_replyDataLen < avail ? sQC_replyDataLen : avail;
        memcpy(sQC_pData, qc.pckReply + 7, n);
    }
    *sQC_status = 0;
}

// A relayed reply in the buffer of a cabinet-bus single query: the 4-byte time stamp,
// then the module-bus reply frame. Whether it answers `q`; its data length.
static bool relayedReplyFor(const pckStruct &q, const uint8 *buf, size_t bufLen, uint8 &dataLen)
{
    constexpr size_t ts = 4;
    if (bufLen < ts + DUVEX_HEAD_QUEUE_LEN || buf[ts] != DUVEX_STX || buf[ts + DUVEX_SOURCEOFFSET] != q.Dest ||
        buf[ts + DUVEX_MAINCMDOFFSET] != q.MainCmd || buf[ts + DUVEX_SUBCMDOFFSET] != q.SubCmd)
        return false;
    dataLen = uint8(DUVEX_DCd2Dec(buf + ts + DUVEX_LENGTHOFFSET, 2));
    return size_t(dataLen) + ts + DUVEX_HEAD_QUEUE_LEN <= bufLen;
}

void DUVEXMgr::singleQCMgr::runRelayed()
{
    // Modules of other cabinets are reached through their card: the module-bus frame
    // travels in a cabinet-bus "QT" single query, up to five attempts. Each attempt is
    // bounded (the cabinet-bus single query waits a limited time for the channel and
    // for the reply); a failure of all of them is reported as a failure.
    constexpr int RELAY_ATTEMPTS = 5;
    constexpr size_t TSLEN = 4;   // time stamp ahead of the relayed frame
    const char letter = char('A' + sQC_boxId);
    KESPMgr *k = pSysMgr ? pSysMgr->pThKESP : nullptr;
    uint8 *frame = nullptr;
    const uint16 flen = k ? DUVEX_BuildQuery(*sQC_query, frame) : 0;
    const size_t bufLen = size_t(sQC_replyDataLen) + 16;
    uint8 *buf = frame ? new (std::nothrow) uint8[bufLen] : nullptr;
    if (!k || !frame || !buf) {
        LOGE("Errore nell'invio del comando KESP_%c%c all'armadio 0x%02X\n", 'Q', 'T', letter);
        delete[] frame;
        delete[] buf;
        *sQC_status = -1;
        return;
    }
    pckStruct qt{};
    qt.Src = KESPAddr;
    qt.Dest = uint8(234 + sQC_boxId);
    qt.MainCmd = 'Q';
    qt.SubCmd = 'T';
    qt.pParam = frame;
    qt.ParamLen = flen;
    int result = -1;
    for (int attempt = 0; attempt < RELAY_ATTEMPTS && result != 0; ++attempt) {
        memset(buf, 0, bufLen);
        int st = -1;
        KESPMgr::singleQCMgr *s = k->InsertSingleQC(qt, uint16(bufLen), buf, &st);
        while (!k->WaitSingleQC(s, WAIT_KESPSQC_RELAY))
            LOGD("WAIT...\n");
        uint8 dataLen = 0;
        if (st != 0 || !relayedReplyFor(*sQC_query, buf, bufLen, dataLen)) {
            LOGE("Errore nell'invio del comando KESP_%c%c all'armadio 0x%02X\n", 'Q', 'T', letter);
            continue;
        }
        // The cabinet-bus single query copied the QT data (its header is gone): the
        // module-bus data follow the time stamp and the module-bus header.
        if (sQC_pData && sQC_replyDataLen) {
            const size_t n = sQC_replyDataLen < dataLen ? sQC_replyDataLen : dataLen;
            memcpy(sQC_pData, buf + TSLEN + DUVEX_DATAOFFSET, n);
        }
        result = 0;
    }
    delete[] frame;
    delete[] buf;
    *sQC_status = result;
}

DUVEXMgr::singleQCMgr *DUVEXMgr::InsertSingleQC(uint8 boxId, pckStruct &query, uint8 replyDataLen, uint8 *pData,
                                                int *status)
{
    LOGD("thID:%d %ld\n", thID, kernelTid());
    // A relayed query waits for the cabinet bus: the cabinet-bus thread, which holds
    // that bus as slave, never waits for one (it would only wait for itself).
    if (uint8(boxId + 234) != KESPAddr && pSysMgr && pSysMgr->pThKESP &&
        QThread::currentThread() == static_cast<QThread *>(pSysMgr->pThKESP)) {
        LOGE("Query %c%c per l'armadio %c rifiutata: il thread del bus armadi non attende se stesso\n",
             query.MainCmd, query.SubCmd, char('A' + boxId));
        if (status)
            *status = -1;
        return nullptr;
    }
    singleQCMgr *s = new singleQCMgr(this, boxId, &query, replyDataLen, pData, status);
    LOGN("Start singleQC %c%c to %c\n", query.MainCmd, query.SubCmd, query.Dest);
    s->start(QThread::TimeCriticalPriority);
    return s;
}

bool DUVEXMgr::WaitSingleQC(singleQCMgr *sQC, int timeoutMs)
{
    if (!sQC)
        return true;
    if (!sQC->wait((unsigned long)(timeoutMs > 0 ? timeoutMs : 0)))
        return false;
    TVK_TSAN_ACQUIRE(sQC);
    delete sQC;
    return true;
}

int DUVEXMgr::runSingle(uint8 boxId, pckStruct &query, uint8 replyDataLen, uint8 *pData)
{
    int status = -1;
    singleQCMgr *s = InsertSingleQC(boxId, query, replyDataLen, pData, &status);
    while (!WaitSingleQC(s, WAIT_DUVEXSQC))
        LOGD("WAIT...\n");
    return status;
}

int DUVEXMgr::RefreshClockModule(uint8 moduleAddr)
{
    if (uint8(moduleAddr - '1') > 6) {
        LOGE("Indice del modulo non corretto!\n");
        return -1;
    }
    time_t t = sysclock::now();
    struct tm tmv;
    localtime_r(&t, &tmv);
    char param[13];
    snprintf(param, sizeof param, "%02u%02u%02u%02u%02u%02u", unsigned(tmv.tm_mday) % 100u,
             unsigned(tmv.tm_mon + 1) % 100u, unsigned(tmv.tm_year) % 100u, unsigned(tmv.tm_hour) % 100u,
             unsigned(tmv.tm_min) % 100u, unsigned(tmv.tm_sec) % 100u);
    pckStruct q{};
    q.Src = DUVEX_MASTERADDR;
    q.Dest = moduleAddr;
    q.MainCmd = 'S';
    q.SubCmd = 'T';
    q.pParam = reinterpret_cast<uint8 *>(param);
    q.ParamLen = 12;
    int status = runSingle(ownBoxId(), q, 0, nullptr);
    if (status != 0)
        LOGE("Errore nell'aggiornamento dell'orologio del modulo %c\n", moduleAddr);
    return status;
}

bool DUVEXMgr::moduleReady(const pckStruct &command, bool cabinetLockHeld)
{
    uint8 box = uint8(command.Src - 'A');
    if (box > 3 || !pSysMgr || !pSysMgr->pThKESP)
        return false;
    KESPMgr *k = pSysMgr->pThKESP;
    const bool bypass = command.Dest == DUVEX_BYPASSADDR;
    uint8 mod = uint8(command.Dest - '1');
    if (!bypass && mod >= MAXUPSxUPSBOX_DUVEX)
        return false;
    // The cabinet record is written under the cabinet data lock: read it under that
    // lock, taken here unless the caller holds it already (it is not recursive).
    auto ready = [&] {
        virtualNode_t *node = k->upsBox[box].pVN;
        if (!node)
            return false;
        // The bypass has no descriptor in the cabinet record: it is judged ready when
        // its cabinet is registered on this card.
        if (bypass)
            return true;
        return node->desc.upsBox.subSystem.UPSShelter[mod].alarmSt != commLostAlarm;
    };
    if (cabinetLockHeld)
        return ready();
    myMutexLocker lk(k->mutexKESPData);
    return ready();
}

int DUVEXMgr::Send(pckStruct &command, bool cabinetLockHeld)
{
    if (!moduleReady(command, cabinetLockHeld)) {
        LOGE("IL MODULO NON E` PRONTO A RICEVERE IL COMANDO!!!!\n");
        return -1;
    }
    const uint8 box = uint8(command.Src - 'A');
    if (box != ownBoxId()) {
        // A module of another cabinet: the command travels to that cabinet's card in a
        // QT message on the cabinet bus's command queue, which this card serves once it
        // is master; no thread waits for the bus meanwhile. The result is that of the
        // queuing (the cabinet-bus queue logs a command it has to give up).
        int ret = DUVEX_RelayQueryQT(uint8(234 + box), command);
        if (ret != 0)
            LOGE("Errore nell'invio del comando %c%c al modulo %c@%c\n", command.MainCmd, command.SubCmd,
                 command.Dest, command.Src);
        return ret;
    }
    int status = runSingle(box, command, 0, nullptr);
    if (status != 0)
        LOGE("Errore nell'invio del comando %c%c al modulo %c@%c\n", command.MainCmd, command.SubCmd, command.Dest,
             command.Src);
    return status;
}
