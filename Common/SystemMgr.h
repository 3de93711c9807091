// The system manager: holds the plant configuration and owns everything that runs
// (both bus threads, the virtual UPS tree, the command-sequence mutex).
#ifndef TVK_SYSTEMMGR_H
#define TVK_SYSTEMMGR_H

#include "SysCfgMgr.h"
#include "Types.h"
#include "myMutex.h"

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
    int searchMaster(uint8 &boxId, uint8 &upsId);

    DUVEXMgr *pThDuvex;
    KESPMgr *pThKESP;
    myMutex *mutexQCSeq;
    VirtualUPSMgr *pVirtualUPSMgr;
    int32 build;
    uint8 cntForSameBuild;

private:
    SystemMgr(const SystemMgr &) = delete;
    SystemMgr &operator=(const SystemMgr &) = delete;
};

#endif
