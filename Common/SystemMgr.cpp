#include "SystemMgr.h"

#include "Globals.h"
#include "KESP.h"
#include "Log.h"
#include "ThreadDUVEX.h"
#include "ThreadKESP.h"
#include "VirtualUPSMgr.h"

SystemMgr::SystemMgr()
    : SysCfgMgr(), pThDuvex(nullptr), pThKESP(nullptr), mutexQCSeq(nullptr), pVirtualUPSMgr(nullptr), build(-1),
      cntForSameBuild(2)
{
    LOGN("\n");
    pThDuvex = nullptr;
    pThKESP = nullptr;
    pSysMgr = this;
    mutexQCSeq = new myMutex("mutexQCSeq");
    pVirtualUPSMgr = nullptr;
    cntForSameBuild = 2;
    build = -1;
    startThreads();
}

void SystemMgr::startThreads()
{
    pThDuvex = new DUVEXMgr(nullptr);
    pThDuvex->moveToThread(pThDuvex);
    pThKESP = new KESPMgr(nullptr);
    pThKESP->moveToThread(pThKESP);
    LOGN("Avvio la thread KESP\n");
    pThKESP->start(QThread::InheritPriority);
}

int SystemMgr::RegisterAll()
{
    if (pVirtualUPSMgr) {
        LOGE("SharedMemory gia' inizializzata!!!\n");
        return -1;
    }
    pVirtualUPSMgr = new VirtualUPSMgr(Cfg);
    pThKESP->InitSysData(pVirtualUPSMgr, Cfg);

    for (int i = 0; i < 4; ++i) {
        char letter = char('A' + i);
        if (Cfg.Ups[i].present) {
            LOGD("Armadio %c presente: NON registro il modulo BYPASS\n", letter);
            LOGD("           Passo ora alla registrazione di TUTTI gli UPS presenti\n");
            LOGD("           mod id %d box id %d\n", 0, i);
            if (Cfg.Ups[i].modulePresent[0]) {
                // A module without its node is not registered (the module bus has said why).
                if (pThDuvex->RegisterModule(uint8(234 + i), '1') == 0) {
                    LOGD("Modulo UPS %c dell'armadio %c presente: registrato\n", '1', letter);
                    continue;
                }
            }
        } else {
            LOGD("Armadio %c NON presente!!\n", letter);
        }
        pThDuvex->ModulesData[i][0].commStatus.active = false;
        pThDuvex->ModulesData[i][0].commStatus.isGood = false;
    }

    LOGN("Avvio la thread Duvex %p...\n", static_cast<void *>(pThDuvex));
    pThDuvex->start(QThread::InheritPriority);
    LOGN("... avviata thread Duvex %p\n", static_cast<void *>(pThDuvex));

    pThKESP->clearErrorCnt();
    pThKESP->lastErrStr = "LastErr:";
    pThKESP->RegisterBoxNode(Cfg);
    return KESP_Init();
}

void SystemMgr::DeRegisterAll()
{
    if (pThDuvex && pThDuvex->isRunning()) {
        LOGN("Fermo la thread Duvex\n");
        pThDuvex->Stop();
        LOGN("Attendo arresto effettivo thread Duvex\n");
        pThDuvex->wait();
    }
    if (pThKESP)
        pThKESP->DeRegisterBoxNode(Cfg);
    for (int i = 0; i < 4; ++i) {
        LOGD("DeRegistro armadio %c: DeRegistro il modulo BYPASS\n", char('A' + i));
        LOGD("           Passo ora alla De-registrazione di TUTTI gli UPS\n");
        if (pThDuvex)
            pThDuvex->DeRegisterModule(uint8(234 + i), '1');
        LOGD("Modulo UPS %c DeRegistrato\n", '1');
    }
    if (pThKESP)
        pThKESP->wipeQueues();
    if (pThDuvex)
        pThDuvex->wipeQueues();
    delete pVirtualUPSMgr;
    pVirtualUPSMgr = nullptr;
}

SystemMgr::~SystemMgr()
{
    LOGN("Fermo la thread KESP\n");
    pThKESP->Stop();
    LOGN("Attendo arresto effettivo thread KESP\n");
    pThKESP->wait();
    DeRegisterAll();
    delete pThDuvex;
    pThDuvex = nullptr;
    delete pThKESP;
    pThKESP = nullptr;
    delete mutexQCSeq;
    mutexQCSeq = nullptr;
    if (pSysMgr == this)
        pSysMgr = nullptr;
}

int SystemMgr::searchMaster(uint8 &boxId, uint8 &upsId, bool cabinetLockHeld)
{
    LOGD("SEARCHING MASTER!!\n");
    if (!pThKESP) {
        boxId = 4;
        return -1;
    }
    for (boxId = 0; boxId < 4; ++boxId) {
        if (!Cfg.Ups[boxId].present)
            continue;
        upsBoxQueriesData_t &e = pThKESP->upsBox[boxId];
        // The cabinet entries are written under the cabinet data lock (module aggregation,
        // cabinet-bus replies): read them under it, taken here unless the caller holds it
        // (the lock is not recursive).
        bool good = false, master = false;
        uint8 idu = 0xFF;
        auto read = [&] {
            good = e.MCUcommStatus.isGood;
            master = e.pVN && e.pVN->desc.upsBox.Ups.isMaster;
            idu = e.extendedBoardBox.idu;
        };
        if (cabinetLockHeld) {
            read();
        } else {
            myMutexLocker lk(pThKESP->mutexKESPData);
            read();
        }
        LOGD("BOX %c presente: isGood:%c isMaster:%c\n", char('A' + boxId), good ? 'T' : 'F', master ? 'T' : 'F');
        if (good && master) {
            // The index names a module of this cabinet only once its card has
            // aggregated its modules; until then (0, or 0xFF without a master module)
            // the cabinet's master module is unknown, and a command must not go to
            // whatever module the index would give (the bypass, for 0).
            if (idu < 8 * boxId + 1 || idu > 8 * boxId + MAXUPSxUPSBOX) {
                LOGW("Modulo master dell'armadio %c non ancora noto (idu:%u)\n", char('A' + boxId), unsigned(idu));
                continue;
            }
            upsId = uint8((idu - 1) & 7);
            return 0;
        }
    }
    return -1;
}
