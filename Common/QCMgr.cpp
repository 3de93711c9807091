#include "QCMgr.h"

#include "Log.h"
#include "SysClock.h"

#include <QMutexLocker>
#include <cstring>
#include <new>

namespace {

// A good reply lowers the error weight at most once in this many seconds.
constexpr int64 GOODREPLY_LOWER_SEC = 30;

// A zero-filled buffer of n bytes (null for 0 bytes or when memory is short).
uint8 *zeroBuffer(uint32 n)
{
    if (n == 0)
        return nullptr;
    return new (std::nothrow) uint8[n]();
}

// A copy of n bytes of src (null for 0 bytes, a null source or when memory is short).
uint8 *copyBuffer(const uint8 *src, uint32 n)
{
    if (n == 0 || !src)
        return nullptr;
    uint8 *dst = new (std::nothrow) uint8[n];
    if (dst)
        memcpy(dst, src, n);
    return dst;
}

} // namespace

QCMgr::QCMgr(const pckStruct &query, QCBuildQueryFn BuildQuery, uint16 replyDataLen)
    : QC(), pckQuery(nullptr), pckReply(nullptr), buildQueryLen(0), expectedReplyLen(0), pCommStatus(nullptr)
{
    QMutexLocker lk(&mutexPck);

    QC.Src = query.Src;
    QC.Dest = query.Dest;
    QC.MainCmd = query.MainCmd;
    QC.SubCmd = query.SubCmd;
    QC.ParamLen = query.ParamLen;
    QC.pParam = nullptr;
    if (QC.ParamLen != 0) {
        QC.pParam = zeroBuffer(QC.ParamLen);
        if (!QC.pParam)
            LOGE("malloc fallita!!\n");
        else if (query.pParam)
            memcpy(QC.pParam, query.pParam, QC.ParamLen);
    }

    // The frame is built from the caller's descriptor, so it is complete even
    // when the parameter copy above could not be made.
    pckStruct q = query;
    uint8 *frame = nullptr;
    const uint16 len = BuildQuery ? BuildQuery(q, frame) : 0;
    if (frame && len > 0 && len >= query.ParamLen) {
        pckQuery = frame;
        buildQueryLen = len;
        // The reply has the same framing overhead as the query, with the reply
        // data in place of the parameters.
        uint32 replyLen = uint32(replyDataLen) + uint32(len - query.ParamLen);
        if (replyLen > 0xFFFFu)
            replyLen = 0xFFFFu;
        pckReply = zeroBuffer(replyLen);
        if (pckReply)
            expectedReplyLen = uint16(replyLen);
        else if (replyLen != 0)
            LOGE("malloc fallita!!\n");
    } else {
        // No usable frame (the codec has said why): the element has nothing to
        // send and expects nothing back. A frame shorter than its own parameters
        // would make the framing overhead negative.
        delete[] frame;
    }
}

QCMgr::QCMgr()
    : QC(), pckQuery(nullptr), pckReply(nullptr), buildQueryLen(0), expectedReplyLen(0), pCommStatus(nullptr)
{
    static constexpr uint16 SCRATCHLEN = 500;
    QMutexLocker lk(&mutexPck);
    QC.Src = 0;
    QC.Dest = 0;
    QC.MainCmd = 0;
    QC.SubCmd = 0;
    QC.ParamLen = SCRATCHLEN;
    QC.pParam = zeroBuffer(SCRATCHLEN);
    if (!QC.pParam)
        LOGE("malloc fallita!!\n");
    pckQuery = zeroBuffer(SCRATCHLEN);
    if (pckQuery)
        buildQueryLen = SCRATCHLEN;
    else
        LOGE("malloc fallita!!\n");
}

QCMgr::QCMgr(const QCMgr &other)
    : QC(other.QC), pckQuery(nullptr), pckReply(nullptr), buildQueryLen(0), expectedReplyLen(0),
      pCommStatus(other.pCommStatus)
{
    QMutexLocker lk(&mutexPck);

    QC.pParam = nullptr;
    if (QC.ParamLen != 0 && other.QC.pParam) {
        QC.pParam = copyBuffer(other.QC.pParam, QC.ParamLen);
        if (!QC.pParam)
            LOGE("malloc fallita!!\n");
    }
    if (other.pckQuery && other.buildQueryLen != 0) {
        pckQuery = copyBuffer(other.pckQuery, other.buildQueryLen);
        if (pckQuery)
            buildQueryLen = other.buildQueryLen;
        else
            LOGE("malloc fallita!!\n");
    }
    if (other.pckReply && other.expectedReplyLen != 0) {
        pckReply = copyBuffer(other.pckReply, other.expectedReplyLen);
        if (pckReply)
            expectedReplyLen = other.expectedReplyLen;
        else
            LOGE("malloc fallita!!\n");
    }
}

QCMgr::~QCMgr()
{
    QMutexLocker lk(&mutexPck);
    if (QC.pParam) {
        delete[] QC.pParam;
        QC.pParam = nullptr;
        QC.ParamLen = 0;
    } else if (QC.ParamLen != 0) {
        // Claims parameters but holds no copy: nothing to free.
        LOGE("freeError pParam\n");
    }
    delete[] pckQuery;
    pckQuery = nullptr;
    buildQueryLen = 0;
    delete[] pckReply;
    pckReply = nullptr;
    expectedReplyLen = 0;
}

void QCMgr::decErrorPck(commStatus_t *pCommSt)
{
    if (!pCommSt)
        return;
    const int64 now = int64(sysclock::now());
    const int64 since = now - int64(pCommSt->lastPckGood);
    // After a failure lastPckGood is 0, so the first good reply always lowers
    // the weight. A clock set back behind lastPckGood counts as elapsed too,
    // otherwise the weight would stay stuck until the clock caught up.
    if (since > GOODREPLY_LOWER_SEC || since < 0) {
        pCommSt->lastPckGood = mytime_t(now);
        if (pCommSt->errorPck > 0)
            --pCommSt->errorPck;
    }
    pCommSt->isGood = true;
}

void QCMgr::incErrorPck(commStatus_t *pCommSt, int limit)
{
    if (!pCommSt)
        return;
    const int32 sum = pCommSt->errorPck + limit / 2;
    if (pCommSt->lastPckGood != 0) {
        // The previous exchange was good: one failure alone never reaches the limit.
        pCommSt->errorPck = sum < limit ? sum : limit - 1;
    } else {
        pCommSt->errorPck = sum < limit ? sum : limit;
    }
    pCommSt->lastPckGood = 0;
}
