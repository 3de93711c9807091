// System and module commands: ready-made module-bus command sequences.
//
// System commands go to the plant's master module, wherever it is (found through the
// system manager); module commands go to a named module. Every command packet has the
// cabinet letter of the target module as Src and the module address as Dest, is built
// on the stack and handed to Send, which waits for the outcome.
#include "ThreadDUVEX.h"

#include "DUVEX.h"
#include "Globals.h"
#include "Log.h"
#include "SysClock.h"
#include "SystemMgr.h"

#include <cstring>

// Relay of a module-bus query to the card of another cabinet (defined with the module
// data accessors): 0 when queued, -1 otherwise.

namespace {

constexpr int SYSCMD_ATTEMPTS = 5;        // attempts of a retried system command
constexpr unsigned SYSCMD_BUSY_PAUSE = 100;   // ms between attempts while the module is busy
constexpr int SEND_BUSY = -5;             // Send result of a module that answered busy

pckStruct makeCmd(uint8 mainCmd, uint8 subCmd, uint8 *param, uint16 paramLen)
{
    pckStruct p{};
    p.MainCmd = mainCmd;
    p.SubCmd = subCmd;
    p.pParam = paramLen ? param : nullptr;
    p.ParamLen = paramLen;
    return p;
}

} // namespace

// The line carries the name of the command that failed (a macro, so __func__ is the caller's).
#define LOG_SEND_ERROR(err, p)                                                                              \
    LOGE("Errore errno:%d nell'invio del comando %c%c al modulo %c@%c\n", (err), (p).MainCmd, (p).SubCmd, \
         (p).Dest, (p).Src)

// Addresses a packet to the plant's master module. -1 when no reachable cabinet holds it.
int DUVEXMgr::findMaster(pckStruct &pck, bool cabinetLockHeld)
{
    if (!pSysMgr || !pSysMgr->pThKESP)
        return -1;
    uint8 boxId = 0, upsId = 0;
    if (pSysMgr->searchMaster(boxId, upsId, cabinetLockHeld) != 0)
        return -1;
    pck.Src = uint8('A' + boxId);
    pck.Dest = uint8('1' + upsId);
    LOGD("Invio comando %c%c a @%cUps%c\n", pck.MainCmd, pck.SubCmd, pck.Src, pck.Dest);
    return 0;
}

// Up to five attempts; only a busy module is tried again, after a pause.
int DUVEXMgr::sendRetried(pckStruct &pck, bool cabinetLockHeld)
{
    int ret = -1;
    for (int attempt = 0; attempt < SYSCMD_ATTEMPTS; ++attempt) {
        ret = Send(pck, cabinetLockHeld);
        if (ret == 0)
            return 0;
        LOG_SEND_ERROR(ret, pck);
        if (ret != SEND_BUSY) {
            LOGE("ESCO\n");
            break;
        }
        sysclock::sleepMs(SYSCMD_BUSY_PAUSE);
    }
    return ret;
}

int DUVEXMgr::sysPowerOn(bool cabinetLockHeld)
{
    LOGD("Sys On\n");
    uint8 param[2] = {'0', '0'};
    pckStruct pck = makeCmd('C', 'P', param, sizeof param);
    if (findMaster(pck, cabinetLockHeld) != 0)
        return -1;
    return sendRetried(pck, cabinetLockHeld);
}

int DUVEXMgr::sysShutdown(uint16 delay, bool cabinetLockHeld)
{
    LOGD("Sys Off\n");
    uint8 param[4];
    DUVEX_Dec2DCd(delay, param, 4);
    pckStruct pck = makeCmd('C', 'S', param, sizeof param);
    if (findMaster(pck, cabinetLockHeld) != 0)
        return -1;
    return sendRetried(pck, cabinetLockHeld);
}

int DUVEXMgr::sysRestore(uint16 delayShut, uint16 delayRestore, bool cabinetLockHeld)
{
    LOGD("Sys Restore\n");
    uint8 param[8];
    DUVEX_Dec2DCd(delayShut, param, 4);
    DUVEX_Dec2DCd(delayRestore, param + 4, 4);
    pckStruct pck = makeCmd('C', 'R', param, sizeof param);
    if (findMaster(pck, cabinetLockHeld) != 0)
        return -1;
    return sendRetried(pck, cabinetLockHeld);
}

int DUVEXMgr::sysDeleteCmd(bool cabinetLockHeld)
{
    LOGD("Sys Delete Command\n");
    pckStruct pck = makeCmd('C', 'D', nullptr, 0);
    if (findMaster(pck, cabinetLockHeld) != 0)
        return -1;
    return sendRetried(pck, cabinetLockHeld);
}

int DUVEXMgr::sysBatteryTest(const char *test, bool cabinetLockHeld)
{
    LOGD("Test di batteria\n");
    if (!test || strnlen(test, 3) < 3) {
        LOGE("Parametro del test di batteria non valido\n");
        return -1;
    }
    uint8 param[3];
    memcpy(param, test, sizeof param);
    pckStruct pck = memcmp(test, "CLR", 3) == 0 ? makeCmd('T', 'C', nullptr, 0) : makeCmd('T', 'B', param, 3);
    if (findMaster(pck, cabinetLockHeld) != 0)
        return -1;
    int ret = Send(pck, cabinetLockHeld);
    if (ret != 0)
        LOG_SEND_ERROR(ret, pck);
    return ret;
}

int DUVEXMgr::sysBatteryCheck(bool cabinetLockHeld)
{
    LOGN("Check batterie\n");
    if (!pSysMgr || pSysMgr->numUPS == 0)
        return 0;
    uint8 param[3] = {'0', '0', '0'};
    pckStruct pck = makeCmd('T', 'B', param, sizeof param);
    if (findMaster(pck, cabinetLockHeld) != 0)
        return -1;
    uint8 boxAddr = uint8(234 + (pck.Src - 'A'));
    int ret = boxAddr == KESPAddr ? AddAsyncQC(pck, false) : DUVEX_RelayQueryQT(boxAddr, pck);
    if (ret != 0)
        LOG_SEND_ERROR(ret, pck);
    return ret;
}

int DUVEXMgr::sysInv_Byp(char letter)
{
    // The whole sequence holds the command-sequence mutex, so forced inverter/bypass
    // sequences never interleave and the cabinet-bus master keeps its role meanwhile.
    if (!pSysMgr || !pSysMgr->mutexQCSeq)
        return -1;   // no system manager: no master module to command
    myMutexLocker seq(pSysMgr->mutexQCSeq);
    LOGD("forza %s\n", letter == 'I' ? "INVERTER" : "BYPASS");
    uint8 param[1] = {uint8(letter)};
    pckStruct pck = makeCmd('C', 'B', param, sizeof param);
    if (findMaster(pck, false) != 0)
        return -1;
    return sendRetried(pck, false) == 0 ? 0 : -1;
}

int DUVEXMgr::sysBypsUnlock()
{
    LOGD("Invio comandi Unlock ai Bypass\n");
    if (!pSysMgr)
        return -1;
    int ret = -1;
    for (int i = 0; i < 4; ++i) {
        if (!pSysMgr->Cfg.Ups[i].present)
            continue;
        const char letter = char('A' + i);
        LOGD("UNLOCK al BYPASS del BOX %c\n", letter);
        pckStruct pck = makeCmd('C', 'U', nullptr, 0);
        pck.Src = uint8(letter);
        pck.Dest = DUVEX_BYPASSADDR;
        ret = Send(pck);
        if (ret != 0)
            LOGE("Comando UNLOCK non inviato al Bypass dell'armadio %c!\n", letter);
    }
    return ret;
}

int DUVEXMgr::moduleOn(char boxLetter, uint8 moduleAddr)
{
    LOGD("UPS On\n");
    uint8 param[1] = {'1'};
    pckStruct pck = makeCmd('D', 'C', param, sizeof param);
    pck.Src = uint8(boxLetter);
    pck.Dest = moduleAddr;
    int ret = Send(pck);
    if (ret != 0)
        LOGE("Comando accensione non accodato!\n");
    return ret;
}

int DUVEXMgr::moduleOff(char boxLetter, uint8 moduleAddr)
{
    uint8 param[1] = {'0'};
    pckStruct pck = makeCmd('D', 'C', param, sizeof param);
    pck.Src = uint8(boxLetter);
    pck.Dest = moduleAddr;
    int ret = Send(pck);
    if (ret != 0)
        LOGE("Comando spegnimento non accodato!\n");
    return ret;
}

void DUVEXMgr::prepareCM02(pckStruct &pck, char boxLetter, uint8 moduleAddr, const uint8 *chars)
{
    pck.Src = uint8(boxLetter);
    pck.Dest = moduleAddr;
    pck.MainCmd = 'C';
    pck.SubCmd = 'M';
    // The packet only points at the caller's two characters; they must outlive the send.
    pck.pParam = const_cast<uint8 *>(chars);
    pck.ParamLen = 2;
}

int DUVEXMgr::sendCM02(pckStruct &pck)
{
    int ret = Send(pck);
    if (ret != 0) {
        uint8 c0 = pck.pParam ? pck.pParam[0] : '?';
        uint8 c1 = pck.pParam ? pck.pParam[1] : '?';
        LOGE("Comando CM02%c%c non accodato!\n", c0, c1);
    }
    return ret;
}

int DUVEXMgr::enSa_Active(char boxLetter, uint8 moduleAddr)
{
    LOGD("UPS Enter Energy Saving\n");
    uint8 param[2] = {'<', '1'};   // '<' is the nibble character of 12; '1': energy saving on
    pckStruct pck{};
    prepareCM02(pck, boxLetter, moduleAddr, param);
    return sendCM02(pck);
}

int DUVEXMgr::enSa_InverterOn(char boxLetter, uint8 moduleAddr)
{
    LOGD("UPS Exit Energy Saving\n");
    uint8 param[2] = {'<', '0'};   // '0': energy saving off, back on the inverter
    pckStruct pck{};
    prepareCM02(pck, boxLetter, moduleAddr, param);
    return sendCM02(pck);
}
