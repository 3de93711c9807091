// The module-bus thread: owns the module bus, polls the modules of the own cabinet
// with a fixed round, serves one-off commands first, runs single queries for callers
// that need an answer at once, and keeps the module records.
#ifndef TVK_THREADDUVEX_H
#define TVK_THREADDUVEX_H

#include "QueuesMgr.h"
#include "Types.h"
#include "VirtualUPSMgr.h"
#include "VirtualUPSTypes.h"
#include "myMutex.h"

#include <QString>
#include <QThread>
#include <atomic>
#include <condition_variable>
#include <ctime>
#include <mutex>

enum Duvex_status_e { IdleDuvex = 0, MasterDuvex = 1, SlaveDuvex = 2 };

constexpr int MAXUPSxUPSBOX_DUVEX = 1;   // module slots per cabinet in the module-data table
constexpr int WAIT_DUVEXSQC = 50;         // ms per wait on a single query of this bus
constexpr int WAIT_KESPSQC_RELAY = 10;    // ms per wait on a relayed (cabinet-bus) single query

// Queues a module-bus query for a module of another cabinet, tunnelled to that
// cabinet's card over the cabinet bus. Result of the queuing (negative on failure).
int DUVEX_RelayQueryQT(uint8 boxAddr, pckStruct &query);

// Communication data of one module: counters and its node in the tree.
struct ModuleQueriesData_t {
    commStatus_t commStatus;
    virtualNode_t *pVN;
};

class DUVEXMgr : public QueuesMgr {
    Q_OBJECT
public:
    explicit DUVEXMgr(QObject *parent = nullptr);
    ~DUVEXMgr() override;

    // Single query: one transaction on this bus (module of the own cabinet) or relayed
    // through the cabinet bus (module of another cabinet).
    class singleQCMgr : public QThread {
    public:
        singleQCMgr(DUVEXMgr *owner, uint8 boxId, pckStruct *query, uint8 replyDataLen, uint8 *pData,
                    int *status);
        ~singleQCMgr() override;
        uint8 sQC_boxId;
        pckStruct *sQC_query;
        uint8 sQC_replyDataLen;
        uint8 *sQC_pData;
        int *sQC_status;

    protected:
        void run() override;

    private:
        DUVEXMgr *m_owner;
        void runLocal();
        void runRelayed();
    };

    void Stop() { stopped = true; }
    void wipeQueues() { QueuesMgr::wipeQueues(); }
    void setState(Duvex_status_e newState);
    Duvex_status_e getState();

    int RegisterModule(uint8 boxAddr, uint8 moduleAddr);
    int DeRegisterModule(uint8 boxAddr, uint8 moduleAddr);

    int RegisterElem(pckStruct &query);
    int DeRegisterElem(pckStruct &query);
    int AddAsyncQC(pckStruct &query, bool verbose);
    int RemoveAsyncQC(pckStruct &query);

    int RefreshClockModule(uint8 moduleAddr);
    singleQCMgr *InsertSingleQC(uint8 boxId, pckStruct &query, uint8 replyDataLen, uint8 *pData, int *status);
    bool WaitSingleQC(singleQCMgr *sQC, int timeoutMs);
    int ManageCmd(QCMgr *elem);
    // `cabinetLockHeld`: the caller holds mutexKESPData (the modular system aggregation
    // does for its whole pass); the readiness check then reads the cabinet record under
    // that hold instead of taking the lock (which is not recursive). The same flag on
    // the system commands below is handed on to searchMaster and Send.
    int Send(pckStruct &command, bool cabinetLockHeld = false);
    int32 getIteration();

    // One pass of the state machine (the thread body calls it until stopped).
    void StateMachine();
    // Lets the thread leave Idle (set by the cabinet-bus thread once everything is registered).
    void requestUnlockIdle();

    // Module aggregation: the own cabinet's modules into the cabinet record.
    void AggregateUPS(ModuleQueriesData_t *row, uint8 boxId);

    // System and module commands.
    int sysPowerOn(bool cabinetLockHeld = false);
    int sysShutdown(uint16 delay, bool cabinetLockHeld = false);
    int sysRestore(uint16 delayShut, uint16 delayRestore, bool cabinetLockHeld = false);
    int sysDeleteCmd(bool cabinetLockHeld = false);
    int sysBatteryTest(const char *test, bool cabinetLockHeld = false);
    int sysBatteryCheck(bool cabinetLockHeld = false);
    // Takes mutexQCSeq, which comes before mutexKESPData in the lock order: never call
    // it while holding mutexKESPData.
    int sysInv_Byp(char letter);
    int sysBypsUnlock();
    int moduleOn(char boxLetter, uint8 moduleAddr);
    int moduleOff(char boxLetter, uint8 moduleAddr);
    int enSa_Active(char boxLetter, uint8 moduleAddr);
    int enSa_InverterOn(char boxLetter, uint8 moduleAddr);
    void prepareCM02(pckStruct &pck, char boxLetter, uint8 moduleAddr, const uint8 *chars);
    int sendCM02(pckStruct &pck);

    // Module data access. The readers return whether `out` was written (false for a
    // wrong address or a module without node: `out` is then left untouched).
    bool GetIdentification(uint8 MCUAdd, uint8 Add, identification_t &out);
    bool GetNominal(uint8 MCUAdd, uint8 Add, nominal_t &out);
    bool GetUPSStatus(uint8 MCUAdd, uint8 UPSAdd, descModule_t &out);
#if !defined(TVK_MODULAR)
    bool GetUPSStatusDetail(uint8 MCUAdd, uint8 UPSAdd, statusCoding_t &out);
    bool GetUPSStatusDetailExt(uint8 MCUAdd, uint8 UPSAdd, statusCodingExt_t &out);
    void statusCodeSysUpdate(dataObject_t &data, uint8 &sysCode, uint8 moduleCode);
#endif
    void SetUPSStatusDetail(uint8 MCUAdd, uint8 UPSAdd, const statusCoding_t &in);
    void GetUPSCommStatus(uint8 MCUAdd, uint8 UPSAdd, commStatus_t &out);
    void clearErrorCnt();

    ModuleQueriesData_t ModulesData[4][MAXUPSxUPSBOX_DUVEX];
    // Flags and the round counter are read and written by other threads.
    std::atomic<bool> requestHALT;
    int thID;
    std::atomic<int32> iteration;
    std::atomic<bool> stopped;
    myMutex *mutexState;
    myMutex *mutexDuvexChannel;
    myMutex *mutexDuvexData;
    Duvex_status_e state;
    std::atomic<bool> requestUnlockIdlePending;
    uint8 lastidu;
    struct timespec lastTime;
    // Diagnostics of the last packet handed to the bus and of the last failed one,
    // written by the bus thread and by single-query threads: other threads read them
    // through currPck() and lastErr().
    QString currPckStr;
    QString lastErrStr;
    QString currPck() const;
    QString lastErr() const;

protected:
    void run() override;

private:
    commStatus_t *statusFor(uint8 dest);
    void waitIdleUnlock();
    void serveAsyncQueue();
    void retryPause(int64_t startMs);
    int runSingle(uint8 boxId, pckStruct &query, uint8 replyDataLen, uint8 *pData);
    bool moduleReady(const pckStruct &command, bool cabinetLockHeld);
    void saveCurrPck(const pckStruct &q);
    void saveLastErr(const pckStruct &q);
    bool busyTooLong();   // mutexDuvexData held
    void requestRefresh(uint8 MCUAdd, uint8 moduleAddr, uint8 mainCmd, uint8 subCmd);
    int sendRetried(pckStruct &pck, bool cabinetLockHeld);
    int findMaster(pckStruct &pck, bool cabinetLockHeld);
    struct timespec m_lastRoundCompleted;   // end of the last completed fixed round
    uint8 m_lastErrno = 0;                   // errnoDuvex of the last queued transaction
    // Since when the module has given nothing but "busy" refusals (monotonic ms, -1: it
    // has not); under mutexDuvexData. Past BUSYEXPIRE_MS a busy refusal counts as a
    // failure, so a module that stays busy ends up lost instead of keeping its last
    // data in the record as if they were current.
    int64_t m_busySinceMs = -1;
    mutable std::mutex m_diagMutex;          // guards currPckStr and lastErrStr (a leaf)
    std::mutex m_idleMutex;
    std::condition_variable m_idleCond;
};

#endif
