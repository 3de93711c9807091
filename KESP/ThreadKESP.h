// The cabinet-bus thread (KESPMgr): the per-cabinet entries and their registry, the
// master and slave roles with the hand-over, the answers and commands of a slave,
// the polling of the master, single queries, and the cabinet data mutex.
#ifndef TVK_THREADKESP_H
#define TVK_THREADKESP_H

#include "ClockMgr.h"
#include "KESP.h"
#include "KESPAggregate.h"   // cabinet data access and system aggregation
#include "QueuesMgr.h"
#include "SysCfgMgr.h"
#include "Types.h"
#include "VirtualUPSMgr.h"
#include "myMutex.h"

#include <QString>
#include <QThread>
#include <atomic>
#include <cstddef>
#include <condition_variable>
#include <mutex>

enum KESP_status_e { Slave = 0, Master = 1 };

// Board information of a cabinet's MU board (answer to its GI query).
struct information_t {
    time_t timestamp;
    struct {
        uint16 Address;
        uint16 SkCfg;
        char FWVersion[13];
        char SerialNumber[17];
        char UpsConfig[17];
    } ro;
    struct {
        uint16 cfg1, cfg2, cfg3;
        uint16 cfg4, cfg5, cfg6, cfg7;
        uint16 cfg8;
    } rw;
};

// Status of the MU board.
struct StatusSK_t {
    uint16 InSr;
    uint8 OutSr;
    bool Config_Update;
    bool Fault_Hardware_MU;
    bool Fault_Temp_4, Fault_Temp_3, Fault_Temp_2, Fault_Temp_1;
    bool Fault_Hygro;
    bool Humidity_High;
    bool Cabinet_Overtemp;
};

// Error counters of the MU board (30 bytes).
union ErrCnt_t {
    struct __attribute__((packed)) {
        uint16 brk, frame, overrun, parity, BufferOverrunError, MainCmdErr, SubCmdErr, LengthErr, chksum;
        uint32 pckTx, pckRx, pckRxBroadcast;
    } c;
    struct __attribute__((packed)) {
        uint16 err16[9];
        uint32 err32[3];
    } a;
};
static_assert(sizeof(ErrCnt_t) == 30, "ErrCnt_t is 30 bytes");

struct extendedBoardBox_t {
    information_t inf;
    StatusSK_t Status;
    ErrCnt_t Err;
    uint8 idu;   // MU index of the master module when this cabinet holds it, else 0xFF
};

// Per-cabinet entry of the cabinet-bus thread.
struct upsBoxQueriesData_t {
    commStatus_t MCUcommStatus;
    extendedBoardBox_t extendedBoardBox;
    virtualNode_t *pVN;
    bool remoteUpdaterequest;
};


// Hand-over record carried by CN (93 bytes, packed, host byte order).
#pragma pack(push, 1)
struct CNData_t {
    int32 build;                     // build number of the sender
    uint8 nextMaster;                // address of the station that is to become master
    uint32 bitStatus;                // bits 0-1: forcedOnBypass as a signed 2-bit value
    int32 remoteTimeSuspended[4];    // one per cabinet A..D, carried but not interpreted
    ClockMgr::clkStruct clksData;    // clock data of the cabinets
};
#pragma pack(pop)
static_assert(sizeof(CNData_t) == CNDATALEN, "CN payload is 93 bytes");
static_assert(offsetof(CNData_t, nextMaster) == 4, "CN layout");
static_assert(offsetof(CNData_t, bitStatus) == 5, "CN layout");
static_assert(offsetof(CNData_t, remoteTimeSuspended) == 9, "CN layout");
static_assert(offsetof(CNData_t, clksData) == 25, "CN layout");

// SI set-up block bits (byte 1).
constexpr uint8 ISPRESENT_SENSORTEMP1 = 0x20;
constexpr uint8 ISPRESENT_SENSORTEMP2 = 0x10;
constexpr uint8 ISPRESENT_SENSORTEMP3 = 0x08;
constexpr uint8 ISPRESENT_EXTSENSORTEMP4 = 0x04;
constexpr uint8 ISPRESENT_HUMIDITYSENSOR = 0x01;

constexpr int WAIT_KESPSQC = 10;   // ms per wait on a cabinet-bus single query
// How long a single query waits for the cabinet-bus channel. A slave holds the channel
// until a hand-over names this card, which may never happen: the wait must end.
constexpr int KESPSQC_CHANNELWAITMS = 5000;
// Tries of a queued command for a cabinet before it is given up.
constexpr int KESP_ASYNCMAXTRIES = 6;

// The cabinet-bus thread: master or slave of the cabinet bus, the per-cabinet
// entries, the registry of polled cabinets, single queries, and the answers a slave
// gives. Lock order: Common/LockOrder.h.
class KESPMgr : public QueuesMgr, public ClockMgr {
    Q_OBJECT
public:
    explicit KESPMgr(QObject *parent = nullptr);
    ~KESPMgr() override;

    // One query on a thread of its own (the caller waits with WaitSingleQC).
    class singleQCMgr : public QThread {
    public:
        singleQCMgr(KESPMgr *owner, pckStruct *query, uint16 replyDataLen, uint8 *pData, int *status);
        ~singleQCMgr() override;
        pckStruct *sQC_query;     // owned by the caller
        uint16 sQC_replyDataLen;  // bytes the caller's buffer takes (a BS answer is 332)
        uint8 *sQC_pData;
        int *sQC_status;

    protected:
        void run() override;

    private:
        KESPMgr *m_owner;
    };

    void Stop();
    void wipeQueues() { QueuesMgr::wipeQueues(); }
    void setState(KESP_status_e newState);
    KESP_status_e getState();
    void RecoveryBus();
    void StateMachine();
    void KESPStateMachineReset();
    void KESPStateMachineUserConfirm(uint8 addr, UPS_Type_e type);
    void incGuiForcedonBypass();
    void decGuiForcedonBypass();
    void SniffReply(uint8 *pck);
    void SlaveAction();
    void MasterAction();

    // Answers and commands heard as slave.
    void ReplyToQuery(pckStruct &query);
    void ManageCommand(pckStruct &cmd);
    void setParamSI(uint8 *pParam, uint8 id);
    void prepareCNPck(pckStruct &pck, uint8 nextmaster);
    bool isFirstCfg(uint8 boxId, uint16 newType);

    // Registry of the cabinets (boards polled on this bus).
    void RegisterBoxNode(PlantCfg &cfg);
    void DeRegisterBoxNode(PlantCfg &cfg);
    int RegisterNode(uint8 addr);
    int DeRegisterNode(uint8 addr);
    bool AddrGood(uint8 addr);
    uint8 add2id(uint8 addr);
    bool isBoardPresent(uint8 addr);

    // Queue wrappers: build the element with the cabinet-bus codec.
    int RegisterElem(pckStruct &q);
    int DeRegisterElem(pckStruct &q);
    int AddAsyncQC(pckStruct &q);
    int RemoveAsyncQC(pckStruct &q);
    bool AsyncQCisEmpty();
    int AsyncQCSize();
    int ManageCmd(QCMgr *elem);

    singleQCMgr *InsertSingleQC(pckStruct &q, uint16 replyDataLen, uint8 *pData, int *status);
    bool WaitSingleQC(singleQCMgr *sQC, int timeout);
    // Starts a single query and waits for it (bounded by the channel wait); its status.
    int runSingleQC(pckStruct &q, uint16 replyDataLen, uint8 *pData);

    void SendConfig(uint8 addr);
    void monitorUnitTB();
    int sysMCUUnlock();

    void saveCurrPck(QCMgr *e);
    void saveLastErr(QCMgr *e);
    QString getCurrPckStr();
    QString getLastErrStr();
    void getDataShm(char *st);

    // Cabinet data outside the bus protocol.
    void InitSysData(VirtualUPSMgr *vups, PlantCfg &cfg);
    void clearErrorCnt();
    mytime_t getLastErrorCntResetTime() const { return errorCntTimeCleread; }

    // Cabinet data access and system aggregation (KESP/KESPData.cpp, KESP/KESPAggregate.cpp)
    // Cabinet identification and nominal record by letter 'A'..'D'; missing ones are
    // asked from the cabinet (module query tunnelled in a QT message).
    void GetIdentification(char letter, identification_t &out);
    void GetNominal(char letter, nominal_t &out);
    // The system record, or its start values when stale or without tree. A reader:
    // moduleNotOnLoad and moduleUsed are left alone.
    void GetSysStatus(descSys_t &out);
    // Freshness checks of one cabinet's and of the system's descriptors; the caller
    // holds mutexKESPData.
    void checkUpsBoxSubSystem(char letter);
    void checkSysSubSystem();
    // State code, status coding and cabinet descriptors of the system node; takes
    // mutexKESPData (AggregateBox does this work inside its own locked section).
    void updateItems();
    // One system aggregation pass (cabinet-bus thread): at most every 200 ms.
    void AggregateBox();
    // The same on a given configuration holder and module-bus thread (tests, tools).
    void AggregateBoxFor(SysCfgMgr &cfg, DUVEXMgr *duvex);
    // Queues the configuration message SI to the MU board of cabinet boxIdx.
    int queueConfigSI(uint8 boxIdx);
    SysAggDebounce sysAggDebounce;   // debounce states of the system aggregation
    VuJsonFile vuJsonFile;           // status document writer (failure log pacing)
    SysCmdWorker sysCmdWorker;       // runs the system node's panel commands
    // end of cabinet data access and system aggregation

    upsBoxQueriesData_t upsBox[4];
    bool EPOLatched;
    std::atomic<bool> EPOReset;
    int thID;
    std::atomic<int32> iteration;
    CNData_t CNData;
    myMutex *mutexForcedonBypass;
    int forcedOnBypass;
    int guiForcedOnBypass;
    virtualNode_t *sys;   // the virtual UPS tree (node 0), null without a tree
    myMutex *mutexState;
    myMutex *mutexKESPChannel;
    myMutex *mutexKESPData;
    KESP_status_e state;
    std::atomic<bool> stopped;
    uint8 cntpckUnverified;
    time_t timeWasMaster;
    std::atomic<bool> unknownDevPresent;
    uint16 dipSwBoxType;
    uint8 userKESPAddr;
    UPS_Type_e userBoxType;
    struct timespec lastTime;
    QString currPckStr;
    QString lastErrStr;
    mytime_t errorCntTimeCleread;

    // Whether the cabinet-bus thread holds the channel (written by that thread only).
    bool holdsChannel() const { return m_holdsChannel; }
    // Role and data hooks for the run loop, called between steps.
    int32 loopTurns() const { return m_loopTurns.load(); }

protected:
    void run() override;

private:
    void takeChannelAsSlave();
    void releaseChannel();
    bool ownPresent() const;
    void serveAsyncQueue();
    void completeCycle();

    std::atomic<bool> m_holdsChannel{false};   // written by the cabinet-bus thread only
    std::atomic<bool> m_slaveClaim{false};   // the bus thread is slave (or becoming it): no single query
    bool m_seqBlockedLogged = false;
    bool m_monitorUnitKnowTB = false;
    const QCMgr *m_asyncHead = nullptr;   // head of the command queue being tried
    int m_asyncTries = 0;
    std::atomic<int32> m_loopTurns{0};
    std::mutex m_textMutex;   // leaf: currPckStr and lastErrStr
};

#endif
