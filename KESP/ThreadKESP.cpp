#include "ThreadKESP.h"

#include "Globals.h"
#include "Log.h"
#include "SysClock.h"
#include "SystemMgr.h"
#include "ThreadDUVEX.h"
#include "VirtualUPSInit.h"

#include <cstring>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// Battery status of a cabinet that has not reported yet: every half string not present.
void initBatteriesNotPresent(dataBatteries_t &b)
{
    memset(&b, 0, sizeof b);
    for (auto &sh : b.shelter) {
        sh.statusStrPos.notPresent = 1;
        sh.statusStrNeg.notPresent = 1;
    }
}

} // namespace

KESPMgr::KESPMgr(QObject *parent)
    : QueuesMgr(parent), thID(-1), iteration(0), sys(nullptr), mutexForcedonBypass(nullptr), mutexState(nullptr),
      mutexKESPChannel(nullptr), mutexKESPData(nullptr), state(Slave), stopped(false), errorCntTimeCleread(0),
      forcedOnBypass(-1), guiForcedOnBypass(0)
{
    memset(static_cast<void *>(upsBox), 0, sizeof upsBox);
    currPckStr = "currPck:";
    lastErrStr = "LastErr:";
    mutexForcedonBypass = new myMutex("mutexForcedonBypass");
    mutexState = new myMutex("mutexState");
    mutexKESPChannel = new myMutex("mutexKESPChannel");
    mutexKESPData = new myMutex("mutexKESPData");
    state = Slave;
}

KESPMgr::~KESPMgr()
{
    delete mutexForcedonBypass;
    delete mutexState;
    delete mutexKESPChannel;
    delete mutexKESPData;
}

void KESPMgr::Stop()
{
    {
        std::lock_guard<std::mutex> lk(m_stopMutex);
        stopped = true;
    }
    m_stopCond.notify_all();
}

int KESPMgr::openBus()
{
    // The cabinet-bus link is opened by the link layer; until this card speaks the
    // cabinet-bus protocol it keeps the line closed.
    return 0;
}

void KESPMgr::run()
{
    thID = int(syscall(SYS_gettid));
    LOGN("thID:%d\n", thID);
    if (pSysMgr) {
        pSysMgr->RegisterAll();
        if (pSysMgr->pThDuvex)
            pSysMgr->pThDuvex->requestUnlockIdle();
    }
    // No cabinet-bus traffic on this card yet: wait for the stop request without using the processor.
    std::unique_lock<std::mutex> lk(m_stopMutex);
    while (!stopped)
        m_stopCond.wait(lk);
    stopped = false;
    LOGN("EXIT ThKESP thID:%d\n", thID);
}

void KESPMgr::setState(KESP_status_e newState)
{
    myMutexLocker lk(mutexState);
    LOGD("oldState:%d newState:%d\n", int(state), int(newState));
    state = newState;
}

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
    // The cabinet record query (BS) joins the polling round once this card polls the cabinet bus.
    return 0;
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
    upsBoxQueriesData_t &e = upsBox[MCU2id(addr)];
    if (!e.MCUcommStatus.active) {
        LOGW("Elemento mai attivato!\n");
        return -1;
    }
    LOGD("De-Registro la scheda di indirizzo 0x%02X\n", addr);
    e.MCUcommStatus.active = false;
    e.pVN = nullptr;
    return 0;
}

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
