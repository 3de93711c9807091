// Lock order of the card: every named mutex, in the one order in which a thread may
// hold several of them at once. A thread that holds a mutex of this list only ever
// takes mutexes that stand below it; the leaves are taken last, and nothing is taken
// while a leaf is held.
//
//   1. mutexQCSeq          (SystemMgr)  a system command sequence; the cabinet-bus
//                                       master only tries it, never waits for it
//   2. mutexKESPChannel    (KESPMgr)    one exchange at a time on the cabinet bus;
//                                       a listening slave holds it for as long as it
//                                       is slave
//   3. mutexKESPData       (KESPMgr)    cabinet records, upsBox[], the tree's cabinet
//                                       nodes
//   4. mutexDuvexData      (DUVEXMgr)   module records, ModulesData[]
//
// Leaves (taken last, nothing taken while held):
//   mutexDuvexChannel, both mutexState, mutexClk, mutexForcedonBypass, the queue
//   managers' mutexQ and QCMgr::mutexPck, the text locks of the bus threads.
//
// Rules that go with the order:
//   - A thread that holds mutexKESPChannel or mutexKESPData never waits for a
//     cabinet-bus single query (that query needs the channel). The cabinet-bus thread
//     never blocks without a bound on a command or a relayed query.
//   - mutexKESPChannel is released only by the thread that took it. The cabinet-bus
//     thread keeps track of whether it holds it; it never unlocks on behalf of others.
//   - Every wait for a bus channel by a thread other than its bus thread has a bound
//     and a logged failure.
//   - Functions that may be called with a lock already held take that fact as an
//     explicit argument (a "locked" variant), never guess it from the calling thread.
#ifndef TVK_LOCKORDER_H
#define TVK_LOCKORDER_H

namespace lockorder {

// Rank of each ordered mutex: a thread may take a mutex only when every mutex it
// already holds has a smaller rank (leaves have no rank and end every chain).
enum Rank : int {
    QCSeq = 1,
    KESPChannel = 2,
    KESPData = 3,
    DuvexData = 4,
};

} // namespace lockorder

#endif
