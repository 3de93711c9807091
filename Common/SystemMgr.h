// The system manager: holds the plant configuration and owns everything that runs
// (both bus threads, the virtual UPS tree, the command-sequence mutex).
#ifndef TVK_SYSTEMMGR_H
#define TVK_SYSTEMMGR_H

#include "SysCfgMgr.h"
#include "Types.h"
#include "myMutex.h"

#include <atomic>

class DUVEXMgr;
class KESPMgr;
class VirtualUPSMgr;

class SystemMgr : public SysCfgMgr {
public:
    SystemMgr();
    ~SystemMgr();

    void startThreads();
    int RegisterAll();
    void DeRegisterAll();
    // The cabinet holding the plant's master module. Reads the cabinet-bus entries under
    // mutexKESPData; `cabinetLockHeld`: the caller already holds it (the lock is not
    // recursive), as the modular system aggregation does for its whole pass.
    int searchMaster(uint8 &boxId, uint8 &upsId, bool cabinetLockHeld = false);

    DUVEXMgr *pThDuvex;
    KESPMgr *pThKESP;
    myMutex *mutexQCSeq;
    VirtualUPSMgr *pVirtualUPSMgr;
    int32 build;
    // Written by the cabinet-bus thread (CN), read by module aggregation.
    std::atomic<uint8> cntForSameBuild;

private:
    SystemMgr(const SystemMgr &) = delete;
    SystemMgr &operator=(const SystemMgr &) = delete;
};

#endif
