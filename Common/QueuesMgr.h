// Queue manager: the common base of both bus threads. It holds what a bus master
// has to send - a fixed polling round ordered by a numeric key with a cursor that
// walks it, a first-in-first-out queue of one-off commands, and a delayed queue with
// a restore timer - owns every stored element, and serialises all access with one
// mutex. It sends nothing itself: the bus thread peeks at the next element, sends
// it, then advances the cursor or drops the served command.
//
// Polling path of a bus thread (each call takes the lock for its own run only):
//
//   if (restartFixRound())        // cursor had passed the last element:
//       ...count a completed round // it is back on the first one now
//   QCMgr *q;
//   if (peekFixQC(q)) { ...send q, use its reply... }
//   advanceFixQC();               // returns true once the last element is passed
//
//   while (peekAsyncQC(c)) { ...send c...; headAsyncQC(); }
//
// Every public operation takes mutexQ for its own run (wipeQueues excepted), so any
// thread may call any of them, but never while holding mutexQ: a derived class that
// holds it uses the *Locked forms.
//
// The pointer handed out by a peek stays valid until the same bus thread peeks
// again (or calls headAsyncQC for it): the element in service is never destroyed
// by another thread. De-registering it is refused (-1, retry later); a registration
// that replaces it takes it out of the round and destroys it at the next peek.
#ifndef TVK_QUEUESMGR_H
#define TVK_QUEUESMGR_H

#include "QCMgr.h"
#include "Types.h"

#include <QMutex>
#include <QThread>
#include <QTimer>

#include <deque>
#include <list>
#include <map>
#include <unordered_map>

// Restore period of the delayed queue's timer, in milliseconds.
#define QCDELAYEDTIMEOUT 3000

enum QueueType : int32 { AsyncQueue = 0, FixQueue = 1 };

// An element taken out of service, waiting to go back to its queue.
struct QCDelayed_t {
    QCMgr *QCwrong;    // still owned by Queries
    QueueType qType;   // where it is to be restored
    uint32 key;        // its key in FixQuery when qType is FixQueue
};

class QueuesMgr : public QThread {
    Q_OBJECT
public:
    typedef std::map<uint32, QCMgr *> FixQueryMap;

    explicit QueuesMgr(QObject *parent = nullptr);
    ~QueuesMgr() override;

    // Key of a fixed query: Dest in bits 24..31, MainCmd in 16..23, SubCmd in 8..15,
    // the sum of the parameter bytes modulo 256 in 0..7.
    static uint32 keyOf(const pckStruct &query);

    // Fixed round. RegisterElem stores a deep copy (replacing an element with the
    // same key); both put the cursor back on the first element.
    int RegisterElem(const QCMgr &elem);     // 0
    int DeRegisterElem(const QCMgr &elem);   // 0, or -1 (element in service, or unknown)
    bool isKeyPresent(uint32 key);
    // The element under the cursor (null and false when the round is empty or the
    // cursor has passed its last element); true when it has a framed query.
    bool peekFixQC(QCMgr *&pFixQC);

    // Cursor of the round (CurrFixQC), for the bus thread.
    // True when the cursor has passed the last element (always for an empty round).
    bool isFixRoundEnd();
    // When the cursor has passed the last element, put it back on the first one
    // and return true (a round is complete); otherwise change nothing, false.
    bool restartFixRound();
    // Put the cursor on the first element.
    void rewindFixQC();
    // Move past the element last served; true when the cursor has now passed the
    // last element. When a registration change restarted the round since the last
    // peekFixQC, the cursor stays on the first element (that round starts over).
    bool advanceFixQC();

    // Command queue (first in, first out).
    int AddAsyncQC(const QCMgr &elem);       // appends a deep copy; 0
    bool peekAsyncQC(QCMgr *&pAsyncQC);      // oldest command, not removed
    int headAsyncQC();                       // destroys the oldest command; 0, or -1 when empty
    // Withdraws every queued command with elem's Dest, MainCmd and SubCmd whose
    // parameters equal elem's (as in isPresentInAsyncQC), except the command in
    // service, then drops matching delayed entries of the command queue.
    // 0 when a queued command was withdrawn, else -1.
    int RemoveAsyncQC(const QCMgr &elem);
    // Whether an equal command is queued, or waits in the delayed queue for the
    // command queue. Equal: same Dest, MainCmd, SubCmd, and the stored element's
    // parameters begin with query's ParamLen bytes.
    bool isPresentInAsyncQC(const pckStruct &query);

    // Delayed queue.
    bool isPresentInDelayedQC(const pckStruct &query, QueueType type);
    // Drops delayed entries of that type with query's Dest and SubCmd (the other
    // entries keep their order); 0 when one was dropped, else -1.
    int RemoveDelayedQC(const pckStruct &query, QueueType type);
    bool peekDelayedQC(QCDelayed_t &out);    // oldest entry, not removed

    // Forgets every queued element and stops the restore timer. The elements stay
    // owned by Queries until this object is destroyed. Runs without the lock: call
    // it only while no bus thread uses this object (construction, shutdown).
    void wipeQueues();

    // Sizes, for the bus threads and diagnostics.
    int fixQueueSize();
    int asyncQueueSize();
    int delayedQueueSize();
    int storedCount();   // elements owned by Queries

public slots:
    // Restores the oldest delayed element to its queue.
    void manageDelayedQC();

protected:
    FixQueryMap FixQuery;                 // fixed polling round, ascending key
    FixQueryMap::iterator CurrFixQC;      // cursor: the element to send next
    std::deque<QCMgr *> AsyncQC;          // one-off commands, oldest first
    std::deque<QCDelayed_t> DelayedQC;    // elements waiting to be restored
    QMutex mutexQ;                        // guards all containers, the cursor and currQC
    std::list<QCMgr> Queries;             // owns every stored element (stable addresses)
    QCMgr *currQC;                        // element last handed out by a peek
    QTimer *tmrRestore;                   // restore timer -> manageDelayedQC()

    // Lock-free parts of the operations above; callers hold mutexQ.
    bool isKeyPresentLocked(uint32 key) const;
    bool isPresentInDelayedQCLocked(const pckStruct &query, QueueType type) const;
    int RemoveDelayedQCLocked(const pckStruct &query, QueueType type);

private:
    // Moves the one element of `node` into Queries and returns its address.
    QCMgr *storeNode(std::list<QCMgr> &node);
    // Destroys a stored element; the element in service is only set aside and
    // destroyed once the bus thread has moved on.
    void dropStored(QCMgr *elem);
    void destroyStored(QCMgr *elem);
    void setCurrQC(QCMgr *elem);
    void resetCursor();
    void stopRestoreTimer();

    std::unordered_map<const QCMgr *, std::list<QCMgr>::iterator> m_index;   // address -> Queries
    QCMgr *m_retired;       // replaced while in service; destroyed at the next peek
    bool m_cursorReset;     // the round was restarted by a registration change since the last peekFixQC

    QueuesMgr(const QueuesMgr &) = delete;
    QueuesMgr &operator=(const QueuesMgr &) = delete;
};

#endif
