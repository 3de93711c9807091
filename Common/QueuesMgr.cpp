#include "QueuesMgr.h"

#include "Log.h"
#include "TsanAnnotate.h"

#include <QMetaObject>
#include <cstring>

namespace {

// Holds mutexQ for the lifetime of a block.
class QueueLock {
public:
    explicit QueueLock(QMutex &m) : m_(m)
    {
        m_.lock();
        TVK_TSAN_ACQUIRE(&m_);
    }
    ~QueueLock()
    {
        TVK_TSAN_RELEASE(&m_);
        m_.unlock();
    }

private:
    QueueLock(const QueueLock &) = delete;
    QueueLock &operator=(const QueueLock &) = delete;
    QMutex &m_;
};

// Same node and letters, and the stored parameters begin with the query's
// ParamLen bytes. A stored element with fewer parameter bytes than the query
// cannot be equal (and is never read past its end); Src is not compared.
bool sameCommand(const QCMgr &stored, const pckStruct &query)
{
    const pckStruct &s = stored.QC;
    if (s.Dest != query.Dest || s.MainCmd != query.MainCmd || s.SubCmd != query.SubCmd)
        return false;
    if (query.ParamLen == 0)
        return true;
    if (!s.pParam || !query.pParam || s.ParamLen < query.ParamLen)
        return false;
    return memcmp(s.pParam, query.pParam, query.ParamLen) == 0;
}

} // namespace

QueuesMgr::QueuesMgr(QObject *parent)
    : QThread(parent), FixQuery(), CurrFixQC(FixQuery.end()), currQC(nullptr), tmrRestore(nullptr),
      m_retired(nullptr), m_cursorReset(false)
{
    tmrRestore = new QTimer();
    tmrRestore->moveToThread(thread());
    tmrRestore->setInterval(QCDELAYEDTIMEOUT);
    connect(tmrRestore, SIGNAL(timeout()), this, SLOT(manageDelayedQC()));
    wipeQueues();
}

QueuesMgr::~QueuesMgr()
{
    delete tmrRestore;
    tmrRestore = nullptr;
    QueueLock lk(mutexQ);
    FixQuery.clear();
    CurrFixQC = FixQuery.end();
    AsyncQC.clear();
    DelayedQC.clear();
    currQC = nullptr;
    m_retired = nullptr;
    m_index.clear();
    Queries.clear();   // destroys every element, including those forgotten by wipeQueues
}

uint32 QueuesMgr::keyOf(const pckStruct &query)
{
    uint8 sum = 0;
    if (query.pParam) {
        for (uint16 i = 0; i < query.ParamLen; ++i)
            sum = uint8(sum + query.pParam[i]);
    }
    return (uint32(query.Dest) << 24) | (uint32(query.MainCmd) << 16) | (uint32(query.SubCmd) << 8) | sum;
}

// ---- element ownership -------------------------------------------------------

QCMgr *QueuesMgr::storeNode(std::list<QCMgr> &node)
{
    auto it = node.begin();
    Queries.splice(Queries.end(), node, it);   // no copy; the address stays the same
    QCMgr *p = &*it;
    m_index[p] = it;
    return p;
}

void QueuesMgr::destroyStored(QCMgr *elem)
{
    if (!elem)
        return;
    auto f = m_index.find(elem);
    if (f == m_index.end())
        return;   // not (or no longer) owned here
    if (elem == currQC)
        currQC = nullptr;
    if (elem == m_retired)
        m_retired = nullptr;
    Queries.erase(f->second);
    m_index.erase(f);
}

void QueuesMgr::dropStored(QCMgr *elem)
{
    if (!elem || elem == m_retired)
        return;
    if (elem == currQC) {
        // The bus thread may be sending it right now. At most one element is set
        // aside: it is always currQC, and the next peek destroys it.
        m_retired = elem;
        return;
    }
    destroyStored(elem);
}

void QueuesMgr::setCurrQC(QCMgr *elem)
{
    currQC = elem;
    if (m_retired && m_retired != elem) {
        QCMgr *r = m_retired;
        m_retired = nullptr;
        destroyStored(r);
    }
}

void QueuesMgr::resetCursor()
{
    CurrFixQC = FixQuery.begin();
    m_cursorReset = true;
}

void QueuesMgr::stopRestoreTimer()
{
    if (!tmrRestore)
        return;
    if (tmrRestore->thread() == QThread::currentThread())
        tmrRestore->stop();
    else if (tmrRestore->isActive())
        QMetaObject::invokeMethod(tmrRestore, "stop", Qt::QueuedConnection);
}

// ---- fixed round -------------------------------------------------------------

bool QueuesMgr::isKeyPresentLocked(uint32 key) const { return FixQuery.find(key) != FixQuery.end(); }

bool QueuesMgr::isKeyPresent(uint32 key)
{
    QueueLock lk(mutexQ);
    return isKeyPresentLocked(key);
}

int QueuesMgr::RegisterElem(const QCMgr &elem)
{
    // The deep copy is made before taking the lock, so the polling path never
    // waits for it; under the lock it only changes hands.
    std::list<QCMgr> node;
    node.emplace_back(elem);
    const uint32 key = keyOf(node.front().QC);
    QueueLock lk(mutexQ);
    auto f = FixQuery.find(key);
    if (f != FixQuery.end()) {
        LOGE("Elemento gia' presente, lo devo rimuovere!!\n");
        QCMgr *old = f->second;
        FixQuery.erase(f);
        dropStored(old);
    }
    FixQuery[key] = storeNode(node);
    resetCursor();
    return 0;
}

int QueuesMgr::DeRegisterElem(const QCMgr &elem)
{
    const uint32 key = keyOf(elem.QC);
    QueueLock lk(mutexQ);
    auto f = FixQuery.find(key);
    if (f != FixQuery.end()) {
        if (f->second == currQC)
            return -1;   // in service: the caller retries
        QCMgr *old = f->second;
        FixQuery.erase(f);
        destroyStored(old);
        resetCursor();
        return 0;
    }
    if (isPresentInDelayedQCLocked(elem.QC, FixQueue))
        return RemoveDelayedQCLocked(elem.QC, FixQueue);
    LOGE("L'elemento NON e'mai stato registrato\n");
    return -1;
}

bool QueuesMgr::peekFixQC(QCMgr *&pFixQC)
{
    QueueLock lk(mutexQ);
    m_cursorReset = false;
    if (FixQuery.empty() || CurrFixQC == FixQuery.end()) {
        setCurrQC(nullptr);
        pFixQC = nullptr;
        return false;
    }
    setCurrQC(CurrFixQC->second);
    pFixQC = currQC;
    return currQC->hasQuery();
}

bool QueuesMgr::isFixRoundEnd()
{
    QueueLock lk(mutexQ);
    return CurrFixQC == FixQuery.end();
}

bool QueuesMgr::restartFixRound()
{
    QueueLock lk(mutexQ);
    if (CurrFixQC != FixQuery.end())
        return false;
    CurrFixQC = FixQuery.begin();
    m_cursorReset = false;
    return true;
}

void QueuesMgr::rewindFixQC()
{
    QueueLock lk(mutexQ);
    CurrFixQC = FixQuery.begin();
    m_cursorReset = false;
}

bool QueuesMgr::advanceFixQC()
{
    QueueLock lk(mutexQ);
    if (m_cursorReset)
        m_cursorReset = false;   // the round restarted while the element was served
    else if (CurrFixQC != FixQuery.end())
        ++CurrFixQC;
    return CurrFixQC == FixQuery.end();
}

// ---- command queue -----------------------------------------------------------

int QueuesMgr::AddAsyncQC(const QCMgr &elem)
{
    std::list<QCMgr> node;
    node.emplace_back(elem);
    QueueLock lk(mutexQ);
    AsyncQC.push_back(storeNode(node));
    return 0;
}

bool QueuesMgr::peekAsyncQC(QCMgr *&pAsyncQC)
{
    QueueLock lk(mutexQ);
    if (AsyncQC.empty()) {
        setCurrQC(nullptr);
        pAsyncQC = nullptr;
        return false;
    }
    setCurrQC(AsyncQC.front());
    pAsyncQC = currQC;
    return currQC->hasQuery();
}

int QueuesMgr::headAsyncQC()
{
    QueueLock lk(mutexQ);
    if (AsyncQC.empty()) {
        LOGE("coda vuota!!\n");
        return -1;
    }
    QCMgr *head = AsyncQC.front();
    AsyncQC.pop_front();
    destroyStored(head);   // the bus thread has served it
    return 0;
}

int QueuesMgr::RemoveAsyncQC(const QCMgr &elem)
{
    QueueLock lk(mutexQ);
    bool withdrawn = false;
    for (auto it = AsyncQC.begin(); it != AsyncQC.end();) {
        QCMgr *q = *it;
        // The command in service stays: it leaves through headAsyncQC once served.
        if (q != currQC && sameCommand(*q, elem.QC)) {
            it = AsyncQC.erase(it);
            destroyStored(q);
            withdrawn = true;
        } else {
            ++it;
        }
    }
    RemoveDelayedQCLocked(elem.QC, AsyncQueue);
    return withdrawn ? 0 : -1;
}

bool QueuesMgr::isPresentInAsyncQC(const pckStruct &query)
{
    QueueLock lk(mutexQ);
    for (const QCMgr *q : AsyncQC)
        if (sameCommand(*q, query))
            return true;
    return isPresentInDelayedQCLocked(query, AsyncQueue);
}

// ---- delayed queue -----------------------------------------------------------

bool QueuesMgr::isPresentInDelayedQCLocked(const pckStruct &query, QueueType type) const
{
    for (const QCDelayed_t &d : DelayedQC)
        if (d.qType == type && d.QCwrong && sameCommand(*d.QCwrong, query))
            return true;
    return false;
}

bool QueuesMgr::isPresentInDelayedQC(const pckStruct &query, QueueType type)
{
    QueueLock lk(mutexQ);
    return isPresentInDelayedQCLocked(query, type);
}

int QueuesMgr::RemoveDelayedQCLocked(const pckStruct &query, QueueType type)
{
    if (DelayedQC.empty())
        return -1;
    bool dropped = false;
    // One pass over the entries present at the start; survivors go back to the
    // tail in their order.
    for (size_t n = DelayedQC.size(); n > 0; --n) {
        QCDelayed_t d = DelayedQC.front();
        DelayedQC.pop_front();
        if (d.QCwrong && d.qType == type && d.QCwrong->QC.Dest == query.Dest
            && d.QCwrong->QC.SubCmd == query.SubCmd) {
            dropStored(d.QCwrong);
            dropped = true;
        } else {
            DelayedQC.push_back(d);
        }
    }
    return dropped ? 0 : -1;
}

int QueuesMgr::RemoveDelayedQC(const pckStruct &query, QueueType type)
{
    QueueLock lk(mutexQ);
    return RemoveDelayedQCLocked(query, type);
}

bool QueuesMgr::peekDelayedQC(QCDelayed_t &out)
{
    QueueLock lk(mutexQ);
    if (DelayedQC.empty())
        return false;
    out = DelayedQC.front();
    return true;
}

void QueuesMgr::manageDelayedQC()
{
    QueueLock lk(mutexQ);
    if (DelayedQC.empty()) {
        LOGE("GRAVE ERRORE, deve esserci un elemento!!\n");
        stopRestoreTimer();
        return;
    }
    const QCDelayed_t d = DelayedQC.front();
    DelayedQC.pop_front();
    if (!d.QCwrong) {
        LOGE("caso non contemplato!!\n");
    } else {
        switch (d.qType) {
        case AsyncQueue:
            AsyncQC.push_back(d.QCwrong);
            break;
        case FixQueue: {
            auto f = FixQuery.find(d.key);
            if (f == FixQuery.end()) {
                FixQuery.emplace(d.key, d.QCwrong);
            } else if (f->second != d.QCwrong) {
                // The key's node stays in place, so the cursor stays valid.
                QCMgr *old = f->second;
                f->second = d.QCwrong;
                dropStored(old);
            }
            break;
        }
        default:
            LOGE("caso non contemplato!!\n");
            break;
        }
        LOGW("Ripristinato query %c%c su Add:%d tipo:%s rimangono %d elem\n", d.QCwrong->QC.MainCmd,
             d.QCwrong->QC.SubCmd, int(d.QCwrong->QC.Dest), d.qType == FixQueue ? "FIXED" : "ASYNC",
             int(DelayedQC.size()));
    }
    if (DelayedQC.empty()) {
        stopRestoreTimer();
        LOGW(">>>>>>>>>>>>>>>>>>>FINE RIPRISTINO<<<<<<<<<<<<<<<<<<<<<<\n");
    }
}

// ---- whole state -------------------------------------------------------------

void QueuesMgr::wipeQueues()
{
    FixQuery.clear();
    AsyncQC.clear();
    DelayedQC.clear();
    stopRestoreTimer();
    CurrFixQC = FixQuery.begin();
    m_cursorReset = false;
    currQC = nullptr;
    m_retired = nullptr;   // stays in Queries like the others
}

int QueuesMgr::fixQueueSize()
{
    QueueLock lk(mutexQ);
    return int(FixQuery.size());
}

int QueuesMgr::asyncQueueSize()
{
    QueueLock lk(mutexQ);
    return int(AsyncQC.size());
}

int QueuesMgr::delayedQueueSize()
{
    QueueLock lk(mutexQ);
    return int(DelayedQC.size());
}

int QueuesMgr::storedCount()
{
    QueueLock lk(mutexQ);
    return int(Queries.size());
}
