// Cabinet-bus link layer (first cut: declarations in place, bodies follow).
#include "KESP.h"

std::atomic<uint8> LastMaster{GROUPMASTER};
std::atomic<uint8> KESP_ch{0xFF};
std::atomic<int> cntBreakDetect{0};
uint8 errnoKESP = 0;

int KESP_Init() { return -1; }
int KESP_End() { return 0; }
void KESP_BreakDetected(int) { cntBreakDetect.fetch_add(1, std::memory_order_relaxed); }
void KESP_InstallBreakHandler() {}
void KESP_RecoveryBus() {}
int KESP_Send(uint8 *, uint16) { return -1; }
uint16 KESP_BuildQuery(pckStruct &, uint8 *&query) { query = nullptr; return 0; }
void KESP_DestroyQuery(uint8 *&query) { delete[] query; query = nullptr; }
void KESP_ExtractQuery(pckStruct &, uint8 *) {}
int KESP_ACKReply(pckStruct &) { return -1; }
int KESP_BusyReply(uint8) { return -1; }
void KESP_ACKControl(long, pckStruct &) {}
void KESP_UpdateLastMaster(uint8 src) { if (isMasterCapable(src)) LastMaster = src; }
int KESP_Rcv(uint8 *, uint16 *, uint32) { return FAIL; }
int KESP_RcvReply(uint8 *, uint16 *, pckStruct &) { return -1; }
int KESP_Decode(uint8 *, uint8 *, uint16) { return -1; }
int KESP_waitPck(uint8 *, uint16) { return FAIL; }
uint32 KESP_ListenTime(uint8, uint8) { return DELAYUNIT; }
void KESP_SetLinkIO(const KESP_LinkIO *) {}
const KESP_MsgDesc *KESP_FindMsg(uint8, uint8) { return nullptr; }
bool KESP_KnownMainCmd(uint8) { return false; }
KESP_Context KESP_SystemContext() { return KESP_Context(); }
void KESP_SetModuleReplyBuilder(KESP_BuildReplyFn) {}
uint16 KESP_GetReplyDataLen(pckStruct &) { return 0; }
int KESP_GetUnitBoardType(uint8, uint16 &type) { type = 0xFF; return -1; }
int KESP_ManageQuery(QCMgr &) { return -1; }
int KESP_ManageQueryWith(KESP_Context &, QCMgr &) { return -1; }
int KESP_ManageReply(pckStruct &) { return -1; }
int KESP_ManageReplyWith(KESP_Context &, pckStruct &) { return -1; }
int KESP_ManageData(long, uint8 *) { return 0; }
int KESP_ManageDataWith(KESP_Context &, long, const uint8 *, uint16) { return 0; }
