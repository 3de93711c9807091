#include "ThreadKESP.h"

#include "DUVEX.h"
#include "Globals.h"
#include "Log.h"
#include "Platform.h"
#include "SysClock.h"
#include "SystemMgr.h"
#include "ThreadDUVEX.h"
#include "TsanAnnotate.h"
#include "VirtualUPSInit.h"

#include <QMutexLocker>
#include <cstring>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

long kernelTid() { return long(syscall(SYS_gettid)); }

// Battery status of a cabinet that has not reported yet: every half string not present.
void initBatteriesNotPresent(dataBatteries_t &b)
{
    memset(&b, 0, sizeof b);
    for (auto &sh : b.shelter) {
        sh.statusStrPos.notPresent = 1;
        sh.statusStrNeg.notPresent = 1;
    }
}

// Index of the own cabinet (0..3), or 4 and above when the card has no valid address.
uint8 ownIndex() { return MCU2id(KESPAddr); }

uint16 dataLengthOf(const uint8 *frame) { return uint16((frame[KESP_LENGTHOFFSET] << 8) | frame[KESP_LENGTHOFFSET + 1]); }

// Reasons of a failed exchange that mean the line itself is out of step.
bool isFramingFault(uint8 err)
{
    return err == STXFAIL || err == ADDRSFAIL || err == DATALENFAIL || err == CMDSFAIL || err == CRCRCVFAIL;
}

QString hexField(uint8 v) { return QString("%1").arg(uint(v), 2, 16, QChar(' ')); }

QString clockText()
{
    time_t t = sysclock::now();
    struct tm tmv;
    localtime_r(&t, &tmv);
    char buf[16];
    snprintf(buf, sizeof buf, "%02u:%02u:%02u", unsigned(tmv.tm_hour), unsigned(tmv.tm_min), unsigned(tmv.tm_sec));
    return QString(buf);
}

pckStruct makePck(uint8 src, uint8 dest, char mainCmd, char subCmd, uint8 *param = nullptr, uint16 len = 0)
{
    pckStruct q{};
    q.Src = src;
    q.Dest = dest;
    q.MainCmd = uint8(mainCmd);
    q.SubCmd = uint8(subCmd);
    q.pParam = param;
    q.ParamLen = len;
    return q;
}

} // namespace

KESPMgr::KESPMgr(QObject *parent)
    : QueuesMgr(parent), ClockMgr(), EPOLatched(false), EPOReset(false), thID(-1), iteration(0),
      mutexForcedonBypass(nullptr), forcedOnBypass(-1), guiForcedOnBypass(0), sys(nullptr), mutexState(nullptr),
      mutexKESPChannel(nullptr), mutexKESPData(nullptr), state(Slave), stopped(false), cntpckUnverified(0),
      timeWasMaster(0), unknownDevPresent(false), dipSwBoxType(0), userKESPAddr(0xFF), userBoxType(PowerBox),
      lastTime{0, 0}, errorCntTimeCleread(0)
{
    memset(&CNData, 0, sizeof CNData);
    memset(static_cast<void *>(upsBox), 0, sizeof upsBox);
    // One cabinet-bus thread per process: it starts from the link layer's initial state.
    LastMaster = GROUPMASTER;
    cntBreakDetect = 0;
    KESP_AbortWait(false);
    KESP_Init();
    currPckStr = "currPck:";
    lastErrStr = "LastErr:";
    mutexForcedonBypass = new myMutex("mutexForcedonBypass");
    mutexState = new myMutex("mutexState");
    mutexKESPChannel = new myMutex("mutexKESPChannel");
    mutexKESPData = new myMutex("mutexKESPData");
    state = Slave;
    KESPStateMachineReset();
}

KESPMgr::~KESPMgr()
{
    KESP_End();
    // The thread has ended (the owner waited for it) and released the channel on its way out.
    delete mutexForcedonBypass;
    delete mutexState;
    delete mutexKESPChannel;
    delete mutexKESPData;
}

void KESPMgr::Stop()
{
    stopped = true;
    KESP_AbortWait(true);
}

// ---------------------------------------------------------------------------------------
// Run loop and roles

void KESPMgr::run()
{
    thID = int(kernelTid());
    LOGN("thID:%d\n", thID);
    cntpckUnverified = 0;
    if (pSysMgr) {
        pSysMgr->RegisterAll();
        if (pSysMgr->pThDuvex)
            pSysMgr->pThDuvex->requestUnlockIdle();
    }
    if (stopped) {
        stopped = false;
        return;
    }
    // A listening slave owns the line: no other thread of this card may transmit or
    // read while another station is master.
    takeChannelAsSlave();
    while (!stopped) {
        if (cntBreakDetect != 0) {
            LOGN("cntBreakDetect:%d\n", int(cntBreakDetect));
            cntBreakDetect = 0;
            RecoveryBus();
        }
        pollClockRequest(".");
        StateMachine();
        ++m_loopTurns;
    }
    releaseChannel();
    stopped = false;
    LOGN("EXIT ThKESP thID:%d\n", thID);
}

void KESPMgr::takeChannelAsSlave()
{
    if (m_holdsChannel)
        return;
    // From now on no single query may start on the line; one that is on the line now
    // ends within its own bounds, and the slave waits for it before it listens.
    m_slaveClaim = true;
    mutexKESPChannel->lock();
    m_holdsChannel = true;
}

void KESPMgr::releaseChannel()
{
    m_slaveClaim = false;
    if (m_holdsChannel) {
        m_holdsChannel = false;
        mutexKESPChannel->unlock();
    }
}

void KESPMgr::setState(KESP_status_e newState)
{
    // Only the cabinet-bus thread changes the role with the channel, and only it takes or
    // releases the channel for it: the channel is never released by a thread that does
    // not hold it. The channel is handled before the state lock (a leaf) is taken.
    if (QThread::currentThread() == this) {
        if (newState == Master)
            releaseChannel();
        else
            takeChannelAsSlave();
    }
    myMutexLocker lk(mutexState);
    LOGD("oldState:%d newState:%d\n", int(state), int(newState));
    state = newState;
    if (newState == Master)
        timeWasMaster = sysclock::now();
}

KESP_status_e KESPMgr::getState()
{
    myMutexLocker lk(mutexState);
    return state;
}

void KESPMgr::RecoveryBus()
{
    if (getState() == Master)
        setState(Slave);
    KESP_UpdateLastMaster(GROUPMASTER);
}

void KESPMgr::StateMachine()
{
    switch (getState()) {
    case Slave:
        SlaveAction();
        break;
    case Master:
        MasterAction();
        break;
    default:
        LOGE("Stato non contemplato!!\n");
        sysclock::sleepMs(2000);
        break;
    }
}

void KESPMgr::KESPStateMachineReset() { lastTime = sysclock::monotonic(); }

void KESPMgr::KESPStateMachineUserConfirm(uint8 addr, UPS_Type_e type)
{
    userKESPAddr = addr;
    userBoxType = type;
}

void KESPMgr::incGuiForcedonBypass()
{
    myMutexLocker lk(mutexForcedonBypass);
    ++guiForcedOnBypass;
}

void KESPMgr::decGuiForcedonBypass()
{
    myMutexLocker lk(mutexForcedonBypass);
    --guiForcedOnBypass;
}

void KESPMgr::SlaveAction()
{
    if (!m_holdsChannel) {
        // A single query of this card was on the line when the role changed: wait for it
        // to finish before listening, in short steps so that a stop or a break is seen.
        if (!mutexKESPChannel->tryLockFor(100))
            return;
        m_holdsChannel = true;
    }

    uint8 buffer[KESP_MAXPCKLEN];
    memset(buffer, 0, sizeof buffer);
    int ret = KESP_waitPck(buffer, sizeof buffer);
    if (stopped)
        return;
    if (ret != 0) {
        if (sys) {
            myMutexLocker lk(mutexKESPData);
            sys->desc.sys.subSystem.UPSBox[0].alarmSt = commLostAlarm;
        }
        LOGW("TIMEOUT: QGen -> Mitt:0x%02X Dest:0x%02X MainCmd:0x%02X SubCmd:0x%02X Len:%d\n", buffer[1], buffer[2],
             buffer[3], buffer[4], int(dataLengthOf(buffer)));
        return;
    }

    pckStruct h;
    KESP_ExtractQuery(h, buffer);
    if (h.Src == KESP_BROADCAST || h.Src == KESPAddr) {
        LOGE("NON E' AMMESSO 0x%02X COME MITTENTE!\n", h.Src);
        return;
    }
    const bool fromGroup = (h.Src & 0xF0) == 0xE0;
    if (fromGroup && (h.Dest == KESPAddr || h.Dest == KESP_BROADCAST)) {
        const bool command = (h.MainCmd == 'C' && (h.SubCmd == 'N' || h.SubCmd == 'U' || h.SubCmd == 'H')) ||
                             (h.MainCmd == 'S' && h.SubCmd == 'C');
        if (command) {
            ManageCommand(h);
            return;
        }
        if (h.Dest == KESPAddr) {
            LOGD("ReplyTo Src:0x%02X from Dest:0x%02X query \"%c%c\"\n", h.Src, h.Dest, h.MainCmd, h.SubCmd);
            ReplyToQuery(h);
            AggregateBox();
            return;
        }
    }
    if (h.Dest == KESP_BROADCAST) {
        LOGD("Sniff data from Src:0x%02X to Dest:0x%02X query \"%c%c\"\n", h.Src, h.Dest, h.MainCmd, h.SubCmd);
        SniffReply(buffer);
        AggregateBox();
        return;
    }
    LOGN("Mitt:0x%02X Dest:0x%02X Cmd:%c%c Len:%d\n", h.Src, h.Dest, h.MainCmd, h.SubCmd, int(h.ParamLen));
    LOGDUMP("pck non gestito", h.pParam, h.ParamLen);
}

void KESPMgr::SniffReply(uint8 *pck)
{
    pckStruct h;
    KESP_ExtractQuery(h, pck);
    if (!isBoardPresent(h.Src)) {
        LOGW("Ricevo dati da 0x%02X, scheda KESP non registrata su questa MCU!\n", h.Src);
        unknownDevPresent = true;
        return;
    }
    LOGTRACE("scanpck");
    myMutexLocker data(mutexKESPData);
    {
        // The error counters belong to the cabinet data (mutexKESPData); the queue lock is a leaf.
        QMutexLocker q(&mutexQ);
        for (auto &kv : FixQuery) {
            QCMgr *e = kv.second;
            commStatus_t *cs = e->pCommStatus;
            if (!cs || cs->errorPck == 0)
                continue;
            LOGD("reset query%c%c di Dest:0x%02X err:%ld\n", e->QC.MainCmd, e->QC.SubCmd, e->QC.Dest,
                 long(cs->errorPck));
            LOGD("receive reply%c%c da Src:0x%02X\n", h.MainCmd, h.SubCmd, h.Src);
            if (e->QC.Dest == h.Src && e->QC.MainCmd == h.MainCmd && e->QC.SubCmd == h.SubCmd) {
                LOGD("RESET \n");
                QCMgr::decErrorPck(cs);
            }
        }
    }
    LOGTRACE("scanpck ##END##");
    KESP_ManageData(long(sysclock::now()), pck);
}

void KESPMgr::serveAsyncQueue()
{
    QCMgr *head = nullptr;
    while (!stopped && cntBreakDetect == 0 && peekAsyncQC(head)) {
        if (head != m_asyncHead) {
            m_asyncHead = head;
            m_asyncTries = 0;
        }
        int ret = head->hasQuery() ? ManageCmd(head) : 0;
        ++m_asyncTries;
        // Commands to the MU boards have no node status: one exchange is all they get.
        const bool noStatus = head->pCommStatus == nullptr && head->QC.Dest != KESP_BROADCAST;
        if (ret == 0 || ret == 1 || noStatus) {
            headAsyncQC();
            m_asyncHead = nullptr;
            continue;
        }
        if (m_asyncTries >= KESP_ASYNCMAXTRIES) {
            LOGE("Comando %c%c alla scheda 0x%02X abbandonato dopo %d tentativi\n", head->QC.MainCmd,
                 head->QC.SubCmd, head->QC.Dest, m_asyncTries);
            headAsyncQC();
            m_asyncHead = nullptr;
            continue;
        }
        if (ret == COMMERR)
            sysclock::sleepMs(250);
    }
}

void KESPMgr::completeCycle()
{
    myMutex *seq = pSysMgr ? pSysMgr->mutexQCSeq : nullptr;
    if (seq && !seq->tryLock()) {
        if (!m_seqBlockedLogged) {
            LOGW("Sequenza comandi in corso non posso lasciare ruolo MASTER!\n");
            m_seqBlockedLogged = true;
        }
        sysclock::sleepMs(20);
        return;
    }
    m_seqBlockedLogged = false;
    int32 it = iteration;
    if (it != 0) {
        ++it;
    } else {
        int32 duvexIt = (pSysMgr && pSysMgr->pThDuvex) ? pSysMgr->pThDuvex->getIteration() : 0;
        if (duvexIt > 0)
            it = 1;
    }
    LOGD("KESP iteration:%ld\n", long(it));
    if (it > 1000)
        it = 1000;
    iteration = it;
    restartFixRound();
    if (getState() == Master && fixQueueSize() == 0) {
        setState(Slave);
        sysclock::sleepMs(20);
    }
    if (seq)
        seq->unlock();
}

void KESPMgr::MasterAction()
{
    for (int i = 0; i < 4; ++i) {
        if (upsBox[i].remoteUpdaterequest) {
            SendConfig(uint8(FIRSTUPSBOX + i));
            upsBox[i].remoteUpdaterequest = false;
        }
    }

    serveAsyncQueue();
    if (stopped || cntBreakDetect != 0)
        return;

    if (isFixRoundEnd()) {
        completeCycle();
        return;
    }

    QCMgr *e = nullptr;
    int ret = 0;
    if (peekFixQC(e) && e)
        ret = ManageCmd(e);
    advanceFixQC();
    if (ret == -1 || ret == COMMERR)
        sysclock::sleepMs(250);

    AggregateBox();
    monitorUnitTB();

    myMutexLocker lk(mutexForcedonBypass);
    if (guiForcedOnBypass > 0) {
        forcedOnBypass = 1;
        guiForcedOnBypass = 0;
    } else if (guiForcedOnBypass < 0) {
        forcedOnBypass = 0;
        guiForcedOnBypass = 0;
    }
}

// ---------------------------------------------------------------------------------------
// Answers and commands of a slave

bool KESPMgr::ownPresent() const
{
    uint8 own = ownIndex();
    return own < 4 && pSysMgr && pSysMgr->Cfg.Ups[own].present;
}

void KESPMgr::ReplyToQuery(pckStruct &query)
{
    const bool present = ownPresent();
    switch (query.MainCmd) {
    case 'B':
        if (query.SubCmd == 'E' || query.SubCmd == 'I' || query.SubCmd == 'N' || query.SubCmd == 'S') {
            if (query.Dest == KESPAddr) {
                if (present) {
                    sysclock::sleepMs(2);
                    KESP_ManageReply(query);
                } else {
                    LOGE("STRANO!! perche' la mia MCU non e' configurata?\n");
                }
            } else if (query.Dest == KESP_BROADCAST) {
                LOGE("La query %c%c non puo' essere usata con il broadcast 0x%02X!\n", query.MainCmd, query.SubCmd,
                     query.Dest);
            }
        } else {
            LOGE("con 'B' SubCmd %c non supportato!\n", query.SubCmd);
        }
        break;
    case 'Q':
        if (query.SubCmd == 'T') {
            if (query.Dest != KESPAddr) {
                LOGE("La query QT non puo' essere usata con il broadcast!\n");
            } else if (!present) {
                // Nothing to answer for: the cabinet of this card is not part of the plant.
            } else if (!query.pParam || query.ParamLen < DUVEX_HEAD_QUEUE_LEN) {
                LOGE("Pacchetto incapsulato troppo corto (%d byte)!\n", int(query.ParamLen));
            } else {
                const uint8 *inner = query.pParam;
                const uint8 innerDest = inner[DUVEX_DESTOFFSET];
                LOGD("richiesta dati modulo %c da REMOTO\n", innerDest);
                bool active = false;
                if (innerDest == '1' && pSysMgr && pSysMgr->pThDuvex) {
                    DUVEXMgr *d = pSysMgr->pThDuvex;
                    myMutexLocker lk(d->mutexDuvexData);
                    active = d->ModulesData[ownIndex()][0].commStatus.active;
                }
                const bool xa = inner[DUVEX_MAINCMDOFFSET] == 'X' && inner[DUVEX_SUBCMDOFFSET] == 'A';
                if (active || xa) {
                    sysclock::sleepMs(2);
                    KESP_ManageReply(query);
                } else {
                    LOGW("Interrogato modulo %c non ancora attivo!!\n", innerDest);
                }
            }
        } else {
            LOGE("con 'Q' SubCmd %c non supportato!\n", query.SubCmd);
        }
        break;
    case 'S':
        LOGE("con 'S' SubCmd %c non supportato!\n", query.SubCmd);
        break;
    case 'U':
        if (query.SubCmd == 'C') {
            if (query.Dest == KESPAddr && present)
                KESP_ManageReply(query);
            else
                LOGE("La query UC non puo' essere usata con il broadcast!\n");
        } else {
            LOGE("con 'U' SubCmd %c non supportato!\n", query.SubCmd);
        }
        break;
    default:
        LOGW("MainCmd non gestito!\n");
        break;
    }
}

void KESPMgr::ManageCommand(pckStruct &cmd)
{
    const bool addressed = cmd.Dest == KESPAddr && ownPresent();
    switch (cmd.MainCmd) {
    case 'C':
        if (cmd.SubCmd == 'N') {
            LOGD("query %c%c ricevuta da scheda 0x%02X\n", cmd.MainCmd, cmd.SubCmd, cmd.Src);
            LOGD("paramLen %d param:%p\n", int(cmd.ParamLen), static_cast<void *>(cmd.pParam));
            LOGDUMP("param", cmd.pParam, cmd.pParam ? cmd.ParamLen : 0);
            if (!cmd.pParam || cmd.ParamLen != CNDATALEN) {
                LOGW("CN di lunghezza errata (%d byte invece di %d), ignorato\n", int(cmd.ParamLen), int(CNDATALEN));
                return;
            }
            int32 build;
            memcpy(&build, cmd.pParam, sizeof build);
            const int32 ownBuild = pSysMgr ? pSysMgr->build : -1;
            if (build != ownBuild) {
                if (pSysMgr)
                    pSysMgr->cntForSameBuild = 8;
                LOGW("Versioni MCU differenti: MCU:%c(%d) myMCU(%d)\n", cabinetLetter(cmd.Src), int(build),
                     int(ownBuild));
                return;
            }
            if (pSysMgr && pSysMgr->cntForSameBuild > 0)
                pSysMgr->cntForSameBuild.fetch_sub(1);
            memcpy(&CNData, cmd.pParam, CNDATALEN);
            // Clock data of a cabinet only: another sender has no entry in the tables.
            if (isMCU_NODE(cmd.Src))
                elaborateClkData(MCU2id(cmd.Src), CNData.clksData);
            if (CNData.nextMaster == KESPAddr && getState() == Slave)
                setState(Master);
            const uint32 bits = CNData.bitStatus & 0x3u;
            if ((bits & 0x2u) == 0) {
                myMutexLocker lk(mutexForcedonBypass);
                forcedOnBypass = int(bits);
            }
        } else if (cmd.SubCmd == 'U') {
            if (addressed)
                KESP_ACKReply(cmd);
            LOGN("UNLOCK: ricevuto comando da:0x%02X\n", cmd.Src);
            EPOReset = true;
        } else if (cmd.SubCmd == 'H') {
            if (addressed)
                KESP_ACKReply(cmd);
            LOGN("SYSTEM HALT: ricevuto comando da:0x%02X\n", cmd.Src);
            platform::shell("halt");
        } else {
            LOGE("con 'C' SubCmd %c non supportato!\n", cmd.SubCmd);
        }
        break;
    case 'S':
        LOGE("con 'S' SubCmd %c non supportato!\n", cmd.SubCmd);
        break;
    default:
        LOGW("MainCmd non gestito!\n");
        break;
    }
}

void KESPMgr::setParamSI(uint8 *pParam, uint8 id)
{
    if (!pParam)
        return;
    memset(pParam, 0, SIDATALEN);
    const PlantCfg *cfg = pSysMgr ? &pSysMgr->Cfg : nullptr;
    if (id >= 10 && id <= 13) {
        const uint8 box = uint8(id - 10);
        if (!cfg || !cfg->Ups[box].present) {
            LOGE("Si configura un armadio UPS non presente!!\n");
        } else {
            const upsBoxCfg_t &u = cfg->Ups[box];
            uint8 b1 = 0;
            if (u.sensTPresent[0])
                b1 |= ISPRESENT_SENSORTEMP1;
            if (u.sensTPresent[1])
                b1 |= ISPRESENT_SENSORTEMP2;
            if (u.sensTPresent[2])
                b1 |= ISPRESENT_SENSORTEMP3;
            if (u.sensTPresent[3])
                b1 |= ISPRESENT_EXTSENSORTEMP4;
            if (u.hygroPresent)
                b1 |= ISPRESENT_HUMIDITYSENSOR;
            const uint16 card = uint16(cfg->word53 & 0x0700);
            if (card == 0x0600)
                b1 |= 0x02;
            else if (card == 0x0500)
                b1 |= 0x40;
            pParam[1] = b1;
            uint8 batt = 0;
            for (int n = 0; n < MAXBATTxCOMBOBOX && n < 5; ++n)
                if (u.batteryPresent[n])
                    batt |= uint8(1u << n);
            pParam[3] = batt;
            pParam[5] = batt;
            const uint16 words[8] = {cfg->word182, cfg->word183, cfg->word184, cfg->word185,
                                     cfg->word186, cfg->word187, cfg->word188, cfg->word189};
            uint8 b14 = 0;
            for (int n = 0; n < 8; ++n) {
                pParam[6 + n] = uint8(words[n] & 0xFF);
                if (n < 4 || card == 0x0600)
                    if (words[n] & 0x8000)
                        b14 |= uint8(1u << n);
            }
            pParam[14] = b14;
        }
    } else {
        // The plant has no battery cabinets.
        LOGE("Si configura un armadio BATTERIE non presente!!\n");
    }
    LOGDUMP("paramSI", pParam, SIDATALEN);
}

void KESPMgr::prepareCNPck(pckStruct &pck, uint8 nextmaster)
{
    CNData.build = pSysMgr ? pSysMgr->build : -1;
    CNData.nextMaster = nextmaster;
    {
        myMutexLocker lk(mutexForcedonBypass);
        CNData.bitStatus = (CNData.bitStatus & ~0x3u) | (uint32(forcedOnBypass) & 0x3u);
    }
    prepareClkData(CNData.clksData);
    pck = makePck(KESPAddr, KESP_BROADCAST, 'C', 'N', reinterpret_cast<uint8 *>(&CNData), CNDATALEN);
}

bool KESPMgr::isFirstCfg(uint8 boxId, uint16 newType)
{
    if (boxId >= MAXUPSBOX || !pSysMgr)
        return false;
    upsBoxCfg_t &u = pSysMgr->Cfg.Ups[boxId];
    // The record holds one module flag per cabinet: the larger cabinet kinds look at
    // every flag the record has, never past it.
    int modules = u.upsBoxType == ComboBox ? 3 : (u.upsBoxType == Power25kBox ? 5 : 1);
    if (modules > MAXUPSxUPSBOX)
        modules = MAXUPSxUPSBOX;
    for (int n = 0; n < modules; ++n)
        if (u.modulePresent[n])
            return false;
    u.present = true;
    u.modulePresent[0] = false;
    for (int n = 0; n < MAXBATTxCOMBOBOX; ++n)
        u.batteryPresent[n] = false;
    if (newType == 3) {
        u.upsBoxType = ComboBox;
        u.sensTPresent[0] = u.sensTPresent[1] = u.sensTPresent[2] = true;
        u.sensTPresent[3] = false;
    } else {
        u.upsBoxType = newType != 0 ? PowerBox : Power25kBox;
        u.sensTPresent[2] = true;
        u.sensTPresent[0] = u.sensTPresent[1] = u.sensTPresent[3] = false;
    }
    u.hygroPresent = false;
    return true;
}

// ---------------------------------------------------------------------------------------
// Registry of the cabinets

bool KESPMgr::AddrGood(uint8 addr)
{
    if (isMU_NODE(addr) || isMCU_NODE(addr))
        return true;
    LOGE("Addr 0x%02X non valido!\n", addr);
    return false;
}

uint8 KESPMgr::add2id(uint8 addr)
{
    if (isMCU_NODE(addr))
        return MCU2id(addr);
    if (addr >= 0x0A && addr <= 0x0D)
        return uint8(addr - 0x0A);
    return addr;
}

bool KESPMgr::isBoardPresent(uint8 addr) { return isMCU_NODE(addr) && upsBox[MCU2id(addr)].MCUcommStatus.active; }

void KESPMgr::RegisterBoxNode(PlantCfg &cfg)
{
    myMutexLocker lk(mutexKESPData);
    for (int i = 0; i < 4; ++i) {
        if (cfg.Ups[i].present) {
            LOGD("Armadio %c presente: Registro MCU e SKArmadioUPS\n", char('A' + i));
            RegisterNode(uint8(FIRSTUPSBOX + i));
        } else {
            upsBox[i].MCUcommStatus.active = false;
            upsBox[i].MCUcommStatus.isGood = false;
        }
    }
    for (auto &b : upsBox)
        b.remoteUpdaterequest = false;
}

int KESPMgr::RegisterNode(uint8 addr)
{
    if (!AddrGood(addr)) {
        LOGE("Indice della sheda armadio non corretto!\n");
        return -1;
    }
    if (!isMCU_NODE(addr)) {
        LOGE("grave errore di indirizzamento!!\n");
        return -1;
    }
    upsBoxQueriesData_t &e = upsBox[MCU2id(addr)];
    if (e.MCUcommStatus.active) {
        LOGW("Elemento gia' attivo!\n");
        return -1;
    }
    LOGD("Registro la scheda di indirizzo 0x%02X\n", addr);
    char id[16];
    snprintf(id, sizeof id, "S%c.B%c", ownCabinetLetter(), cabinetLetter(addr));
    VirtualUPSMgr *vu = pSysMgr ? pSysMgr->pVirtualUPSMgr : nullptr;
    e.pVN = vu ? vu->searchNode(id) : nullptr;
    if (e.pVN) {
        e.MCUcommStatus.active = true;
        e.MCUcommStatus.lastPckGood = 0;
        e.MCUcommStatus.errorPck = 0;
        e.MCUcommStatus.errorCnt = 0;
        e.MCUcommStatus.isGood = true;
        virtualNode_t *n = e.pVN;
        memset(&n->nominal, 0, sizeof n->nominal);
        InitValueIdentification(&n->identification, IdentSource::CabinetBus);
        InitUpsBox_UpsStatus(&n->desc.upsBox.Ups);
        initBatteriesNotPresent(n->desc.upsBox.Batteries);
        if (pSysMgr)
            InitUpsBoxSubSystem(&n->desc.upsBox.subSystem, pSysMgr->Cfg.Ups[MCU2id(addr)]);
    } else {
        LOGE("ERRORE, si inizializza un armadio UPS senza riferimento al virtualNode!!\n");
    }
    pckStruct bs = makePck(KESPAddr, addr, 'B', 'S');
    return RegisterElem(bs);
}

void KESPMgr::DeRegisterBoxNode(PlantCfg &cfg)
{
    myMutexLocker lk(mutexKESPData);
    for (int i = 0; i < 4; ++i) {
        if (cfg.Ups[i].present) {
            LOGD("Armadio %c presente: DeRegistro MCU e SKArmadioUPS\n", char('A' + i));
            DeRegisterNode(uint8(FIRSTUPSBOX + i));
            DeRegisterNode(uint8(0x0A + i));
        } else {
            upsBox[i].MCUcommStatus.active = false;
            upsBox[i].MCUcommStatus.isGood = false;
        }
    }
}

int KESPMgr::DeRegisterNode(uint8 addr)
{
    if (!AddrGood(addr)) {
        LOGE("Indice della sheda armadio non corretto!\n");
        return -1;
    }
    if (!isMCU_NODE(addr)) {
        LOGE("grave errore di indirizzamento!!\n");
        return -1;
    }
    const uint8 i = MCU2id(addr);
    upsBoxQueriesData_t &e = upsBox[i];
    if (!e.MCUcommStatus.active) {
        LOGW("Elemento mai attivato!\n");
        return -1;
    }
    LOGD("De-Registro la scheda di indirizzo 0x%02X\n", addr);
    pckStruct bs = makePck(KESPAddr, addr, 'B', 'S');
    DeRegisterElem(bs);
    // The status query tunnelled to the cabinet's module (RC from the cabinet letter to '1').
    pckStruct rc = makePck(uint8('A' + i), '1', 'R', 'C');
    uint8 *inner = nullptr;
    uint16 innerLen = DUVEX_BuildQuery(rc, inner);
    if (inner && innerLen) {
        pckStruct qt = makePck(KESPAddr, addr, 'Q', 'T', inner, innerLen);
        DeRegisterElem(qt);
    }
    delete[] inner;
    e.MCUcommStatus.active = false;
    e.pVN = nullptr;
    return 0;
}

// ---------------------------------------------------------------------------------------
// Queue wrappers and the execution of one element

int KESPMgr::RegisterElem(pckStruct &q)
{
    if (q.Dest != KESP_BROADCAST && !AddrGood(q.Dest)) {
        LOGE("Indice della scheda non corretto!\n");
        return -1;
    }
    QCMgr e(q, KESP_BuildQuery, KESP_GetReplyDataLen(q));
    e.pCommStatus = isMCU_NODE(q.Dest) ? &upsBox[MCU2id(q.Dest)].MCUcommStatus : nullptr;
    if (q.Dest != KESP_BROADCAST)
        LOGN("Add Query %c%c to 0x%02X\n", q.MainCmd, q.SubCmd, q.Dest);
    return QueuesMgr::RegisterElem(e);
}

int KESPMgr::DeRegisterElem(pckStruct &q)
{
    if (q.Dest != KESP_BROADCAST && !AddrGood(q.Dest)) {
        LOGE("Indice della scheda non corretto!\n");
        return -1;
    }
    QCMgr e(q, KESP_BuildQuery, KESP_GetReplyDataLen(q));
    LOGN("Remove Query %c%c to 0x%02X\n", q.MainCmd, q.SubCmd, q.Dest);
    return QueuesMgr::DeRegisterElem(e);
}

int KESPMgr::AddAsyncQC(pckStruct &q)
{
    if (q.Dest != KESP_BROADCAST && !AddrGood(q.Dest)) {
        LOGE("Indice della scheda non corretto!\n");
        return -1;
    }
    if (isPresentInAsyncQC(q))
        return 0;
    QCMgr e(q, KESP_BuildQuery, KESP_GetReplyDataLen(q));
    e.pCommStatus = isMCU_NODE(q.Dest) ? &upsBox[MCU2id(q.Dest)].MCUcommStatus : nullptr;
    LOGN("Add AsyncQuery %c%c to 0x%02X\n", q.MainCmd, q.SubCmd, q.Dest);
    return QueuesMgr::AddAsyncQC(e);
}

int KESPMgr::RemoveAsyncQC(pckStruct &q)
{
    if (q.Dest != KESP_BROADCAST && !AddrGood(q.Dest)) {
        LOGE("Indice della scheda non corretto!\n");
        return -1;
    }
    QCMgr e(q, KESP_BuildQuery, KESP_GetReplyDataLen(q));
    LOGN("Remove AsyncQuery %c%c to 0x%02X\n", q.MainCmd, q.SubCmd, q.Dest);
    return QueuesMgr::RemoveAsyncQC(e);
}

bool KESPMgr::AsyncQCisEmpty()
{
    int n = asyncQueueSize();
    LOGN("num:%d\n", n);
    return n == 0;
}

int KESPMgr::AsyncQCSize() { return asyncQueueSize(); }

int KESPMgr::ManageCmd(QCMgr *elem)
{
    int ret;
    uint8 err;
    {
        myMutexLocker ch(mutexKESPChannel);
        saveCurrPck(elem);
        ret = KESP_ManageQuery(*elem);
        err = errnoKESP;
    }
    QThread::yieldCurrentThread();

    if (elem->QC.Dest == KESP_BROADCAST)
        return ret;

    bool recover = false;
    int result;
    {
        myMutexLocker data(mutexKESPData);
        commStatus_t *cs = elem->pCommStatus;
        if (!cs) {
            LOGE("Verificare query!!!\n");
            result = -1;
        } else if (!cs->active || ret == 1) {
            result = 0;
        } else if (ret < 0) {
            saveLastErr(elem);
            QCMgr::incErrorPck(cs, MAXPCKERROR);
            if (cs->errorPck <= MAXPCKERROR - 1) {
                result = cs->isGood ? COMMERR : ret;
            } else {
                cs->isGood = false;
                cs->errorCnt++;
                if (isFramingFault(err)) {
                    KESP_UpdateLastMaster(elem->QC.Src == FIRSTUPSBOX ? uint8(FIRSTUPSBOX + 3) : elem->QC.Src);
                    recover = true;
                }
                result = ret;
            }
        } else {
            QCMgr::decErrorPck(cs);
            KESP_ManageData(long(sysclock::now()), elem->pckReply);
            result = 0;
        }
    }
    if (recover) {
        // The break goes out under the channel, so it never cuts another thread's exchange.
        myMutexLocker ch(mutexKESPChannel);
        KESP_RecoveryBus();
    }
    return result;
}

// ---------------------------------------------------------------------------------------
// Single queries

KESPMgr::singleQCMgr::singleQCMgr(KESPMgr *owner, pckStruct *query, uint16 replyDataLen, uint8 *pData,
                                  int *status)
    : sQC_query(query), sQC_replyDataLen(replyDataLen), sQC_pData(pData), sQC_status(status), m_owner(owner)
{
}

KESPMgr::singleQCMgr::~singleQCMgr() { wait(); }

void KESPMgr::singleQCMgr::run()
{
    pckStruct &q = *sQC_query;
    if (q.Dest != KESP_BROADCAST && !m_owner->AddrGood(q.Dest)) {
        LOGE("Indice della scheda non corretto!\n");
        *sQC_status = -1;
    } else {
        QCMgr qc(q, KESP_BuildQuery, KESP_GetReplyDataLen(q));
        LOGN("Process Single QC %c%c to 0x%02X\n", q.MainCmd, q.SubCmd, q.Dest);
        if (q.ParamLen && q.pParam)
            LOGDUMP("param", q.pParam, q.ParamLen);
        bool got = m_owner->mutexKESPChannel->tryLockFor(KESPSQC_CHANNELWAITMS);
        if (got && m_owner->m_slaveClaim) {
            // The card became slave meanwhile: the line belongs to another master.
            m_owner->mutexKESPChannel->unlock();
            got = false;
        }
        if (!got) {
            LOGE("Canale del bus armadi occupato: %c%c alla scheda 0x%02X non inviato\n", q.MainCmd, q.SubCmd,
                 q.Dest);
            m_owner->saveLastErr(&qc);
            *sQC_status = -1;
        } else {
            m_owner->saveCurrPck(&qc);
            int ret = KESP_ManageQuery(qc);
            m_owner->mutexKESPChannel->unlock();
            if (q.Dest == KESP_BROADCAST) {
                *sQC_status = 0;
            } else if (ret < 0) {
                m_owner->saveLastErr(&qc);
                *sQC_status = ret;
            } else {
                if (ret == 0 && sQC_pData && sQC_replyDataLen && qc.pckReply) {
                    const size_t avail =
                        qc.expectedReplyLen > KESP_HEAD_QUEUE_LEN ? size_t(qc.expectedReplyLen - KESP_HEAD_QUEUE_LEN) : 0;
                    const size_t n = sQC_replyDataLen < avail ? sQC_replyDataLen : avail;
                    memcpy(sQC_pData, qc.pckReply + KESP_DATAOFFSET, n);
                }
                *sQC_status = 0;
            }
        }
    }
    // The waiter reads the status and deletes this object once wait() returned.
    TVK_TSAN_RELEASE(this);
}

KESPMgr::singleQCMgr *KESPMgr::InsertSingleQC(pckStruct &q, uint16 replyDataLen, uint8 *pData, int *status)
{
    LOGD("thID:%d %ld\n", thID, kernelTid());
    singleQCMgr *s = new singleQCMgr(this, &q, replyDataLen, pData, status);
    LOGN("Start singleQC %c%c to 0x%02X\n", q.MainCmd, q.SubCmd, q.Dest);
    s->start(QThread::TimeCriticalPriority);
    return s;
}

bool KESPMgr::WaitSingleQC(singleQCMgr *sQC, int timeout)
{
    if (!sQC)
        return true;
    if (!sQC->wait((unsigned long)(timeout > 0 ? timeout : 0)))
        return false;
    TVK_TSAN_ACQUIRE(sQC);
    delete sQC;
    return true;
}

int KESPMgr::runSingleQC(pckStruct &q, uint16 replyDataLen, uint8 *pData)
{
    int status = -1;
    singleQCMgr *s = InsertSingleQC(q, replyDataLen, pData, &status);
    while (!WaitSingleQC(s, WAIT_KESPSQC))
        LOGD("WAIT...\n");
    return status;
}

// ---------------------------------------------------------------------------------------
// Periodic senders of the master

void KESPMgr::SendConfig(uint8 addr)
{
    if (!pSysMgr)
        return;
    PlantCfg cfg = pSysMgr->Cfg;
    pckStruct q = makePck(KESPAddr, addr, 'S', 'C', reinterpret_cast<uint8 *>(&cfg), uint16(sizeof cfg));
    // The dump shows the record without its password fields.
    PlantCfg shown = cfg;
    memset(shown.passwordUser, 0, sizeof shown.passwordUser);
    memset(shown.passwordPowerUser, 0, sizeof shown.passwordPowerUser);
    memset(shown.passwordExpert, 0, sizeof shown.passwordExpert);
    memset(shown.udpd_password, 0, sizeof shown.udpd_password);
    LOGDUMP("send SC:", reinterpret_cast<const uint8 *>(&shown), sizeof shown);
    LOGN("Salvo la configurazione nel UPSBOX:%c\n", cabinetLetter(addr));
    for (int cnt = 1; cnt >= 0; --cnt) {
        LOGN("cnt:%d\n", cnt);
        uint8 ack[4] = {0};
        if (runSingleQC(q, 1, ack) == 0)
            return;
        LOGE("Errore nell'invio del comando %c%c a:%c\n", 'S', 'C', cabinetLetter(addr));
        if (cnt > 0)
            sysclock::sleepMs(20);
    }
}

void KESPMgr::monitorUnitTB()
{
    if (!sys)
        return;
    bool test;
    {
        myMutexLocker lk(mutexKESPData);
        test = sys->desc.sys.Ups.Test_in_progress;
    }
    if (test == m_monitorUnitKnowTB)
        return;
    LOGN("%s TEST BATTERIE\n", test ? "INIZIO" : "FINE");
    if (pSysMgr) {
        for (int i = 0; i < 4; ++i) {
            const upsBoxCfg_t &u = pSysMgr->Cfg.Ups[i];
            if (!u.present || u.upsBoxType != ComboBox)
                continue;
            uint8 param = test ? 1 : 0;
            pckStruct tb = makePck(KESPAddr, uint8(0x0A + i), 'T', 'B', &param, 1);
            uint8 ack[4] = {0};
            if (runSingleQC(tb, 1, ack) != 0)
                LOGE("Errore nell'invio del comando %c%c alla MU %c\n", 'T', 'B', char('A' + i));
        }
    }
    m_monitorUnitKnowTB = test;
}

int KESPMgr::sysMCUUnlock()
{
    LOGD("Invio comandi Unlock alle MCU\n");
    int ret = 0;
    if (!pSysMgr)
        return -1;
    for (int i = 0; i < 4; ++i) {
        if (!pSysMgr->Cfg.Ups[i].present || uint8(FIRSTUPSBOX + i) == KESPAddr)
            continue;
        LOGD("UNLOCK alla MCU del BOX %c\n", char('A' + i));
        pckStruct cu = makePck(KESPAddr, uint8(FIRSTUPSBOX + i), 'C', 'U');
        ret = AddAsyncQC(cu);
    }
    return ret;
}

// ---------------------------------------------------------------------------------------
// Texts

void KESPMgr::saveCurrPck(QCMgr *e)
{
    QString s = QString("currPck:\\02 0x%1 0x%2 %3%4...")
                    .arg(hexField(e->QC.Src), hexField(e->QC.Dest), QString(QChar(e->QC.MainCmd)),
                         QString(QChar(e->QC.SubCmd)));
    std::lock_guard<std::mutex> lk(m_textMutex);
    currPckStr = s;
}

void KESPMgr::saveLastErr(QCMgr *e)
{
    QString s = QString("LastErr:\\02 0x%1 0x%2 %3%4... @%5")
                    .arg(hexField(e->QC.Src), hexField(e->QC.Dest), QString(QChar(e->QC.MainCmd)),
                         QString(QChar(e->QC.SubCmd)), clockText());
    std::lock_guard<std::mutex> lk(m_textMutex);
    lastErrStr = s;
}

QString KESPMgr::getCurrPckStr()
{
    std::lock_guard<std::mutex> lk(m_textMutex);
    return currPckStr;
}

QString KESPMgr::getLastErrStr()
{
    std::lock_guard<std::mutex> lk(m_textMutex);
    return lastErrStr;
}

void KESPMgr::getDataShm(char *st)
{
    if (st)
        memcpy(st, "WAIT", 5);
}

// ---------------------------------------------------------------------------------------
// Cabinet data outside the bus protocol

void KESPMgr::InitSysData(VirtualUPSMgr *vups, PlantCfg &cfg)
{
    if (vups && vups->virtualUPS) {
        sys = vups->virtualUPS;
        if (pSysMgr) {
            InitSysStatus(&sys->desc.sys, *pSysMgr);
        } else {
            SysCfgMgr local;
            local.Cfg = cfg;
            InitSysStatus(&sys->desc.sys, local);
        }
        InitSysSubSystem(&sys->desc.sys.subSystem, cfg);
    } else {
        sys = nullptr;
        LOGE("ERRORE, si inizializza il sistema senza riferimento al virtualUPS!!\n");
    }
}

void KESPMgr::clearErrorCnt()
{
    myMutexLocker lk(mutexKESPData);
    for (auto &b : upsBox)
        b.MCUcommStatus.errorCnt = 0;
    errorCntTimeCleread = mytime_t(sysclock::now());
}
