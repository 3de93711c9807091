// One query or command of either bus: its packet descriptor, the framed query
// ready to send, a reply buffer of the exact expected size, and the counters of
// the node it addresses with the rules that decide when a node counts as lost.
#ifndef TVK_QCMGR_H
#define TVK_QCMGR_H

#include "Types.h"

#include <QMutex>

// Packet descriptor of both buses; a plain value, copied freely.
// pParam is not owned by the descriptor.
struct pckStruct {
    uint8 Src;        // source address
    uint8 Dest;       // destination address (0xFF is the broadcast address of a bus)
    uint8 MainCmd;    // main command letter, e.g. 'G'
    uint8 SubCmd;     // sub-command letter, e.g. 'I'
    uint8 *pParam;    // parameter bytes (null when there are none)
    uint16 ParamLen;  // number of parameter bytes
};

// Communication state of one polled node (board, cabinet or module).
// Written by the bus thread that polls the node, read without a lock elsewhere.
struct commStatus_t {
    bool active;           // registered and polled
    mytime_t lastPckGood;  // last good reply that lowered the weight; 0 after any failure
    int32 errorPck;        // current error weight, 0 up to the limit
    int32 errorCnt;        // times the node was declared lost (kept by the buses)
    bool isGood;           // the node currently answers
};

// Error limit of both buses: a node whose weight reaches it is lost.
constexpr int MAXPCKERROR = 3 * 2;

// Frame builder of a bus codec: allocates the framed query with `new uint8[n]`,
// stores it through the second argument and returns n (0 and a null pointer when
// no frame could be built).
typedef uint16 (*QCBuildQueryFn)(pckStruct &, uint8 *&);

// Memory ownership of an element:
//  - QC.pParam, pckQuery and pckReply are owned and released with delete[].
//    The frame builder must allocate the query with new uint8[]; whoever puts
//    another buffer into these fields must allocate it the same way.
//  - pckQuery holds exactly buildQueryLen bytes and pckReply exactly
//    expectedReplyLen bytes; a null buffer goes with a length of 0.
//  - QC.pParam holds QC.ParamLen bytes, or is null when the copy could not be
//    made ("malloc fallita!!"); readers must check it.
//  - pCommStatus belongs to the bus thread's node table and is never freed here.
class QCMgr {
public:
    // Normal element: copies the descriptor and its parameters, builds the frame
    // with the bus codec and sizes the reply buffer for replyDataLen data bytes
    // with the same framing overhead as the query.
    QCMgr(const pckStruct &query, QCBuildQueryFn BuildQuery, uint16 replyDataLen);
    // Scratch element for a command whose frame is filled in later: 500 zero
    // parameter bytes, a 500-byte zero query buffer, no reply buffer.
    QCMgr();
    // Deep copy: own parameter, query and reply buffers; the same node counters.
    QCMgr(const QCMgr &other);
    ~QCMgr();

    // A good reply arrived from the node.
    static void decErrorPck(commStatus_t *pCommSt);
    // A query to the node failed (both buses pass MAXPCKERROR as limit).
    static void incErrorPck(commStatus_t *pCommSt, int limit);

    // Whether the element has a framed query to send.
    bool hasQuery() const { return pckQuery != nullptr && buildQueryLen > 0; }

    pckStruct QC;
    uint8 *pckQuery;
    uint8 *pckReply;
    uint16 buildQueryLen;
    uint16 expectedReplyLen;
    commStatus_t *pCommStatus;
    QMutex mutexPck;   // held while the element is built or taken apart

private:
    QCMgr &operator=(const QCMgr &) = delete;
};

#endif
