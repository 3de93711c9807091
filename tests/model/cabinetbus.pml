/*
 * The threads and named mutexes that meet on the cabinet bus, as a Promela model
 * for spin (tests/model/check.sh runs it). Each proctype mirrors one thread of the
 * card; each step names the function it stands for. A change to the locking of one
 * of those functions must show here, and the check must pass again.
 *
 * Checked in every interleaving:
 *   - no deadlock: every thread ends (spin: no invalid end state);
 *   - the cabinet-bus line is used by one thread at a time, and only by the holder
 *     of mutexKESPChannel (assertions in use_line);
 *   - the lock order of Common/LockOrder.h: a thread takes an ordered mutex only
 *     below every ordered mutex it holds, and takes nothing while it holds a leaf
 *     (assertions in order_check);
 *   - a mutex is released only by the thread that holds it (unlock).
 *
 * Waits that the code bounds (tryLockFor, a time-out on a reply, the GM answer
 * that gives up after DUVEX_GMREPLYWAITMS) are a free choice between success and
 * giving up. Waits that the code does not bound (lock(), WaitSingleQC in a loop,
 * a condition variable) block until they can go on. Every thread runs a bounded
 * number of turns, so a circular wait shows as threads that never end.
 *
 * Variants (check.sh compiles each and expects spin to find the fault):
 *   -DWRONG_ORDER       the module-bus thread publishes its cabinet record taking
 *                       mutexDuvexData before mutexKESPData (order check off):
 *                       a deadlock against the cabinet-bus thread's aggregation
 *   -DBREAK_OFF_CHANNEL the master sends its recovery break without the channel:
 *                       the line used by two threads at once
 */

/* ---- Named mutexes (Common/LockOrder.h) --------------------------------------- */
/* Ordered, by rank: */
#define QCSEQ   0   /* SystemMgr::mutexQCSeq          rank 1 */
#define KCHAN   1   /* KESPMgr::mutexKESPChannel      rank 2 */
#define KDATA   2   /* KESPMgr::mutexKESPData         rank 3 */
#define DDATA   3   /* DUVEXMgr::mutexDuvexData       rank 4 */
/* Leaves: */
#define DCHAN   4   /* DUVEXMgr::mutexDuvexChannel */
#define KSTATE  5   /* KESPMgr::mutexState */
#define CLK     6   /* ClockMgr::mutexClk */
#define FOB     7   /* KESPMgr::mutexForcedonBypass */
#define KQ      8   /* QueuesMgr::mutexQ of the cabinet-bus thread */
#define DQ      9   /* QueuesMgr::mutexQ of the module-bus thread */
#define GMM     10  /* g_gmMutex (DUVEX/DUVEXReply.cpp): held while a GM is answered */
#define WQ      11  /* SysCmdWorker::m_ (KESP/KESPAggregate.cpp) */
#define NMUTEX  12

#define ORDERED 15        /* bits of QCSEQ .. DDATA */
#define LEAVES  4080      /* bits of DCHAN .. WQ */

#define SLAVE   0
#define MASTER  1

#ifndef BUS_TURNS
#define BUS_TURNS 3       /* steps of the cabinet-bus state machine */
#endif
#ifndef DBUS_TURNS
#define DBUS_TURNS 2      /* rounds of the module-bus thread */
#endif

byte owner[NMUTEX];       /* 0 free, else pid + 1 of the holder */
byte lineUsers;           /* threads using the cabinet-bus line right now */
byte role = SLAVE;        /* KESPMgr::state (under mutexState) */
bool slaveClaim;          /* KESPMgr::m_slaveClaim */
bool holdsChannel;        /* KESPMgr::m_holdsChannel (written by the bus thread only) */
byte breaks;              /* cntBreakDetect (the SIGINT handler only counts) */
bool panelPending;        /* a system panel command posted to SysCmdWorker */
bool busDone;             /* the cabinet-bus thread has ended (SysCmdWorker::stopWhenFinished) */
bool gmParked;            /* g_gmParked: a GM single query outlived its answer */
chan gmDone = [1] of { bit };

#ifdef NO_ORDER_CHECK
inline order_check(m) { skip }
#else
inline order_check(m) {
  assert((held & LEAVES) == 0);                                   /* nothing after a leaf */
  assert(m >= DCHAN || (held & ORDERED & ~((1 << m) - 1)) == 0)   /* only below what is held */
}
#endif

/* myMutex::lock / myMutexLocker (one step once the mutex is free) */
inline lock(m) {
  atomic {
    owner[m] == 0 ->
    order_check(m);
    owner[m] = _pid + 1;
    held = held | (1 << m)
  }
}
/* A lock taken and released with nothing done under it that waits or takes
 * another lock: waits until the mutex is free, then counts as taken and released
 * in one step (fewer states, the same waits). */
inline touch(m) {
  atomic { owner[m] == 0 -> order_check(m) }
}
/* myMutex::unlock: only by the holder */
inline unlock(m) {
  atomic {
    assert(owner[m] == _pid + 1);
    owner[m] = 0;
    held = held & ~(1 << m)
  }
}
/* myMutex::tryLock (no wait) */
inline try_lock(m, ok) {
  atomic {
    order_check(m);
    if
    :: owner[m] == 0 -> owner[m] = _pid + 1; held = held | (1 << m); ok = true
    :: else -> ok = false
    fi
  }
}
/* myMutex::tryLockFor: taken, or the time runs out */
inline timed_lock(m, ok) {
  atomic {
    order_check(m);
    if
    :: owner[m] == 0 -> owner[m] = _pid + 1; held = held | (1 << m); ok = true
    :: true -> ok = false
    fi
  }
}

/* One exchange on the cabinet-bus line (KESP_ManageQuery, KESP_waitPck, KESP_Send,
 * KESP_RecoveryBus), by the channel's holder: one step, in which nobody else may be
 * on the line. A use without the channel (use_line_raw, only in a variant) lasts
 * two steps, so that another thread's exchange can fall between them. */
inline use_line() {
  atomic { assert(owner[KCHAN] == _pid + 1); assert(lineUsers == 0) }
}
inline use_line_raw() {
  lineUsers++;
  lineUsers--
}

/* ---- Single queries ------------------------------------------------------------ */

/* KESPMgr::singleQCMgr::run (KESP/ThreadKESP.cpp): waits a bounded time for the
 * channel, refuses when the card became slave meanwhile, one exchange. */
proctype KespSingleQuery(chan done) {
  short held = 0;
  bool ok;
  timed_lock(KCHAN, ok);
  if
  :: ok && slaveClaim -> unlock(KCHAN); ok = false
  :: else
  fi;
  if
  :: ok -> use_line(); unlock(KCHAN)
  :: else
  fi;
  done!1
}

/* DUVEXMgr::singleQCMgr::run (DUVEX/ThreadDUVEX.cpp): runLocal takes the module-bus
 * channel for one exchange; runRelayed sends the module query in a cabinet-bus
 * single query (QT) and waits for it (KESPMgr::WaitSingleQC in a loop), holding nothing. */
proctype DuvexSingleQuery(bool relayed; chan done) {
  short held = 0;
  chan sq = [1] of { bit };
  if
  :: !relayed -> touch(DCHAN)
  :: relayed ->
     run KespSingleQuery(sq);
     sq?_
  fi;
  done!1
}

/* ---- Steps of the cabinet-bus thread -------------------------------------------- */

/* KESPMgr::takeChannelAsSlave, then setState's state lock */
inline set_state_slave() {
  if
  :: !holdsChannel -> slaveClaim = true; lock(KCHAN); holdsChannel = true
  :: else
  fi;
  atomic { touch(KSTATE); role = SLAVE }
}
/* KESPMgr::releaseChannel, then setState's state lock */
inline set_state_master() {
  slaveClaim = false;
  if
  :: holdsChannel -> holdsChannel = false; unlock(KCHAN)
  :: else
  fi;
  atomic { touch(KSTATE); role = MASTER }
}
/* KESPMgr::getState */
inline get_state(r) { atomic { touch(KSTATE); r = role } }

/* KESPMgr::AggregateBox (KESP/KESPAggregate.cpp): the role under mutexState, then the
 * cabinet entries under mutexKESPData with the own module's record under
 * mutexDuvexData inside; the panel command of the system node goes to SysCmdWorker. */
inline aggregate_box() {
  get_state(r);
  lock(KDATA);
  touch(DDATA);
  unlock(KDATA);
  if
  :: atomic { touch(WQ); panelPending = true }   /* SysCmdWorker::post */
  :: true
  fi
}

/* KESPMgr::ManageCmd (KESP/ThreadKESP.cpp): the exchange under the channel, the node
 * counters and KESP_ManageData under mutexKESPData (a relayed reply goes on to
 * DUVEX_ManageDataEx with the cabinet lock held: mutexDuvexData inside), a recovery
 * break under the channel again. */
inline manage_cmd() {
  lock(KCHAN); use_line(); unlock(KCHAN);
  lock(KDATA);
  if
  :: true -> touch(DDATA)
  :: true
  fi;
  unlock(KDATA);
  if
  :: true ->
#ifdef BREAK_OFF_CHANNEL
     use_line_raw()
#else
     lock(KCHAN); use_line(); unlock(KCHAN)
#endif
  :: true
  fi
}

/* KESPMgr::runSingleQC (SendConfig, monitorUnitTB): start and wait, holding nothing. */
inline run_single_qc() {
  run KespSingleQuery(sq);
  sq?_
}

/* answerQT -> DUVEX_BuildReplyOn (DUVEX/DUVEXReply.cpp), on the cabinet-bus thread
 * while it holds the channel as slave. */
inline build_module_reply() {
  if
  :: /* buildCommand: targetReady under mutexDuvexData, DUVEXMgr::AddAsyncQC */
     touch(DDATA);
     touch(DQ)
  :: /* buildGM: one GM at a time; a local single query waited for at most
      * DUVEX_GMREPLYWAITMS, else parked until it ends */
     lock(GMM);
     if
     :: gmParked ->
        if
        :: nempty(gmDone) -> gmDone?_; gmParked = false
        :: empty(gmDone)
        fi
     :: !gmParked
     fi;
     if
     :: !gmParked ->
        run DuvexSingleQuery(false, gmDone);
        if
        :: gmDone?_
        :: true -> gmParked = true
        fi
     :: else   /* the parked GM still runs: no answer */
     fi;
     unlock(GMM)
  :: /* buildGI .. buildRX: DUVEXMgr::Get* under mutexDuvexData */
     touch(DDATA)
  fi
}

/* KESPMgr::SlaveAction and what it calls (ManageCommand, ReplyToQuery, SniffReply) */
inline slave_action() {
  ok = true;
  if
  :: !holdsChannel ->
     /* a single query of this card was on the line when the role changed */
     timed_lock(KCHAN, ok);
     if :: ok -> holdsChannel = true :: else fi
  :: else
  fi;
  if
  :: ok ->
     use_line();   /* KESP_waitPck */
     if
     :: /* time-out: the system node's alarm under mutexKESPData */
        touch(KDATA)
     :: /* ManageCommand CN naming this card: clock data, the role, forced on bypass */
        touch(CLK);
        get_state(r);
        if :: r == SLAVE -> set_state_master() :: else fi;
        touch(FOB)
     :: /* ManageCommand CU/CH addressed here: KESP_ACKReply */
        use_line()
     :: /* ReplyToQuery BS/BN/BI..: the answer reads under ctx.mutexData, then goes out */
        touch(KDATA);
        use_line();
        aggregate_box()
     :: /* ReplyToQuery QT: the own module's activity under mutexDuvexData, then
         * KESP_ManageReply -> answerQT -> the module reply, sent on the line */
        touch(DDATA);
        build_module_reply();
        use_line();
        aggregate_box()
     :: /* SniffReply: error counters under mutexKESPData with the queue lock inside,
         * KESP_ManageData (a relayed module reply: mutexDuvexData inside) */
        lock(KDATA);
        touch(KQ);
        touch(DDATA);
        unlock(KDATA);
        aggregate_box()
     fi
  :: else
  fi
}

/* KESPMgr::MasterAction and completeCycle */
inline master_action() {
  if
  :: run_single_qc()   /* SendConfig for a cabinet that asked, or TB to a combo MU */
  :: true
  fi;
  if
  :: manage_cmd()      /* serveAsyncQueue: a queued command (a relayed QT among them) */
  :: true
  fi;
  if
  :: breaks > 0        /* back to the loop, which recovers the bus */
  :: else ->
     if
     :: /* completeCycle: only tries mutexQCSeq; may hand the role back */
        try_lock(QCSEQ, ok);
        if
        :: ok ->
           if
           :: set_state_slave()
           :: true
           fi;
           unlock(QCSEQ)
        :: else
        fi
     :: /* one query of the fixed round, aggregation, monitorUnitTB, forced on bypass */
        manage_cmd();
        aggregate_box();
        touch(KDATA);
        if
        :: run_single_qc()
        :: true
        fi;
        touch(FOB)
     fi
  fi
}

/* KESPMgr::run (KESP/ThreadKESP.cpp): slave from the start, holding the channel. */
proctype KespBus() {
  short held = 0;
  bool ok;
  byte r;
  byte turns = 0;
  chan sq = [1] of { bit };
  slaveClaim = true; lock(KCHAN); holdsChannel = true;   /* takeChannelAsSlave */
  do
  :: turns < BUS_TURNS ->
     turns++;
     if
     :: breaks > 0 ->   /* RecoveryBus */
        breaks = 0;
        get_state(r);
        if :: r == MASTER -> set_state_slave() :: else fi
     :: else
     fi;
     get_state(r);      /* StateMachine */
     if
     :: r == SLAVE -> slave_action()
     :: r == MASTER -> master_action()
     fi
  :: else -> break
  od;
  slaveClaim = false;   /* releaseChannel */
  if :: holdsChannel -> holdsChannel = false; unlock(KCHAN) :: else fi;
  assert(held == 0);
  busDone = true
}

/* ---- The module-bus thread ---------------------------------------------------------- */

/* DUVEXMgr::Send (DUVEX/ThreadDUVEX.cpp): moduleReady under mutexKESPData unless the
 * caller holds it; another cabinet's module gets a QT on the cabinet-bus queue
 * (DUVEX_RelayQueryQT, nothing waits for the bus), the own module a local single query. */
inline send_command(cabinetLockHeld) {
  if
  :: !cabinetLockHeld -> touch(KDATA)
  :: else
  fi;
  if
  :: touch(KQ)                                   /* remote module */
  :: run DuvexSingleQuery(false, dq); dq?_                  /* own module (runSingle) */
  fi
}

/* DUVEXMgr::run: ManageCmd of the round, AggregateUPS publishing the cabinet record
 * (DUVEX/DUVEXAggregate.cpp AggregateUPSWith), the clock refresh and the module
 * panel commands after it, a relayed single query. */
proctype DuvexBus() {
  short held = 0;
  byte turns = 0;
  chan dq = [1] of { bit };
  do
  :: turns < DBUS_TURNS ->
     turns++;
     /* DUVEXMgr::ManageCmd: the exchange under its channel, the counters under mutexDuvexData */
     touch(DCHAN);
     touch(DDATA);
     /* AggregateUPSWith: cabinet record under mutexKESPData, module records under
      * mutexDuvexData inside it; the modular build's system commands run with the
      * cabinet lock held */
#ifdef WRONG_ORDER
     lock(DDATA); touch(KDATA); unlock(DDATA);
#else
     lock(KDATA);
     touch(DDATA);
     if
     :: send_command(true)
     :: true
     fi;
     unlock(KDATA);
#endif
     /* after it, at most one of: RefreshClockModule (runSingle); panelCommand ->
      * moduleOn/moduleOff -> Send; a module of another cabinet asked directly
      * (a relayed single query, runRelayed) */
     if
     :: run DuvexSingleQuery(false, dq); dq?_
     :: send_command(false)
     :: run DuvexSingleQuery(true, dq); dq?_
     :: true
     fi
  :: else -> break
  od;
  assert(held == 0)
}

/* ---- A system panel command whose master module is in another cabinet -------------- */

/* SysCmdWorker::loop -> runSysPanelCmd -> DUVEXMgr::sysShutdown / sysInv_Byp
 * (DUVEX/DUVEXCmds.cpp): findMaster (SystemMgr::searchMaster under mutexKESPData),
 * sendRetried -> Send -> DUVEX_RelayQueryQT; sysInv_Byp holds mutexQCSeq throughout. */
proctype PanelWorker() {
  short held = 0;
  chan dq = [1] of { bit };
  bool done = false;
  do
  :: panelPending && !done ->   /* one command is enough to meet the others */
     done = true;
     atomic { touch(WQ); panelPending = false };
     if
     :: lock(QCSEQ);
        touch(KDATA);
        send_command(false);
        unlock(QCSEQ)
     :: touch(KDATA);
        send_command(false)
     fi
  :: busDone || done -> break
  od;
  assert(held == 0)
}

/* ---- The break ------------------------------------------------------------------------ */

/* KESP_BreakDetected (SIGINT) and the UART break counter: they only count. */
proctype Breaker() {
  breaks = 1
}

init {
  atomic {
    run KespBus();
    run DuvexBus();
    run PanelWorker();
    run Breaker()
  }
}
