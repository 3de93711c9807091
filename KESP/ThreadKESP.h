// The cabinet-bus thread: per-cabinet entries, cabinet registration, the cabinet
// data mutex and the system-record initialisation. The bus protocol (roles,
// polling, answering) runs on top of these.
#ifndef TVK_THREADKESP_H
#define TVK_THREADKESP_H

#include "QueuesMgr.h"
#include "SysCfgMgr.h"
#include "Types.h"
#include "VirtualUPSMgr.h"
#include "myMutex.h"

#include <QString>
#include <QThread>
#include <atomic>
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

// Cabinet-bus address helpers.
constexpr uint8 GROUPMASTER = 0xE0;
constexpr uint8 FIRSTUPSBOX = 0xEA;
constexpr uint8 KESP_BROADCAST = 0xFF;
inline bool isMCU_NODE(uint8 addr) { return uint8(addr - FIRSTUPSBOX) < 4; }
inline bool isMU_NODE(uint8 addr) { return addr < 0x0E; }
inline uint8 MCU2id(uint8 addr) { return uint8(addr - FIRSTUPSBOX); }

class KESPMgr : public QueuesMgr {
    Q_OBJECT
public:
    explicit KESPMgr(QObject *parent = nullptr);
    ~KESPMgr() override;

    void Stop();
    // Opens the cabinet-bus line (the link layer); result of the link initialisation.
    int openBus();
    void wipeQueues() { QueuesMgr::wipeQueues(); }
    void setState(KESP_status_e newState);

    // Registry of the cabinets (boards polled on this bus).
    void RegisterBoxNode(PlantCfg &cfg);
    void DeRegisterBoxNode(PlantCfg &cfg);
    int RegisterNode(uint8 addr);
    int DeRegisterNode(uint8 addr);
    bool AddrGood(uint8 addr);
    uint8 add2id(uint8 addr);
    bool isBoardPresent(uint8 addr);

    // Cabinet data outside the bus protocol.
    void InitSysData(VirtualUPSMgr *vups, PlantCfg &cfg);
    void clearErrorCnt();
    mytime_t getLastErrorCntResetTime() const { return errorCntTimeCleread; }

    upsBoxQueriesData_t upsBox[4];
    int thID;
    std::atomic<int32> iteration;
    virtualNode_t *sys;   // the virtual UPS tree (node 0), null without a tree
    myMutex *mutexForcedonBypass;
    myMutex *mutexState;
    myMutex *mutexKESPChannel;
    myMutex *mutexKESPData;
    KESP_status_e state;
    std::atomic<bool> stopped;
    QString currPckStr;
    QString lastErrStr;
    mytime_t errorCntTimeCleread;
    int forcedOnBypass;
    int guiForcedOnBypass;

protected:
    void run() override;

private:
    std::mutex m_stopMutex;
    std::condition_variable m_stopCond;
};

#endif
