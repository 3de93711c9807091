// Module data access: the module-bus thread's accessors for the records of the
// modules it knows (identification, nominal data, status, status codings and the
// communication counters), with the freshness rules and the refresh requests.
//
// Readers are other threads (above all the cabinet-bus thread building replies for
// relayed queries) while the module-bus thread writes the nodes: every copy in or out
// of a module node runs under mutexDuvexData. Refresh requests only queue messages;
// they are issued after the data lock has been released.
#include "ThreadDUVEX.h"

#include "DUVEX.h"
#include "Globals.h"
#include "Log.h"
#include "SysClock.h"
#include "SystemMgr.h"
#include "ThreadKESP.h"
#include "VirtualUPSInit.h"

#include <cstring>

namespace {

constexpr uint8 FIRST_BOX_ADDR = 0xEA;        // cabinet A on the cabinet bus
constexpr int64 MODULE_DATA_EXPIRE = 30;      // s: older data are replaced by initial values
constexpr int64 STATUS_REFRESH_AGE = 3;       // s: status of another cabinet asked again from this age
constexpr int64 DETAIL_REFRESH_AGE = 2;       // s: status codings asked again beyond this age

// Where a module named by cabinet address and module character lives in the table.
enum class SlotResult { Ok, BadAddress, NoSlot };

SlotResult resolveSlot(uint8 MCUAdd, uint8 Add, uint8 &box, uint8 &mod)
{
    box = uint8(MCUAdd - FIRST_BOX_ADDR);
    mod = uint8(Add - '1');
    // Cabinets A..D and module characters '1'..'7' are valid addresses.
    if (box > 3 || mod > 6)
        return SlotResult::BadAddress;
    // One module per cabinet: the other module characters have no slot (and so no node).
    if (mod >= MAXUPSxUPSBOX_DUVEX)
        return SlotResult::NoSlot;
    return SlotResult::Ok;
}

int64 ageOf(mytime_t timestamp) { return int64(sysclock::now()) - int64(timestamp); }

// Runs `use` on the node of module `Add` of cabinet `MCUAdd` with mutexDuvexData held.
// A wrong address or a module without a node gets its error line, in the name of the
// calling accessor, and `use` is not run. Returns whether it ran.
template <typename Use>
bool withModuleNode(DUVEXMgr &d, const char *caller, uint8 MCUAdd, uint8 Add, Use use)
{
    uint8 box, mod;
    SlotResult r = resolveSlot(MCUAdd, Add, box, mod);
    if (r == SlotResult::BadAddress) {
        tvk_log(__FILE__, caller, LogLevel::Err, "GRAVE ERRORE DI INDIRIZZAMENTO\n");
        return false;
    }
    myMutexLocker lk(d.mutexDuvexData);
    virtualNode_t *node = r == SlotResult::Ok ? d.ModulesData[box][mod].pVN : nullptr;
    if (!node) {
        tvk_log(__FILE__, caller, LogLevel::Err, "MODULO NON INIZIALIZZATO!!! MCUAdd:0x%02X UPSAdd:%c\n", MCUAdd,
                Add);
        return false;
    }
    use(*node);
    return true;
}

} // namespace

// Queues a module-bus query for a module of another cabinet on the cabinet bus: the
// query's module-bus frame wrapped in an asynchronous "QT" message from this card
// (KESPAddr) to the card of cabinet `boxAddr`, which answers it from its records (or,
// for a command, acknowledges it and queues it on its own module bus). The cabinet-bus
// master serves its queue at every step, so the message leaves once this card is
// master; nothing here waits for the bus. The frame is freed once queued (the queue
// keeps a copy). Returns 0 when queued (or already waiting), -1 otherwise.
int DUVEX_RelayQueryQT(uint8 boxAddr, pckStruct &query)
{
    KESPMgr *k = pSysMgr ? pSysMgr->pThKESP : nullptr;
    if (!k) {
        LOGE("Bus armadi non disponibile: query %c%c per il modulo %c@%c non accodata all'armadio 0x%02X\n",
             query.MainCmd, query.SubCmd, query.Dest, query.Src, boxAddr);
        return -1;
    }
    uint8 *frame = nullptr;
    const uint16 len = DUVEX_BuildQuery(query, frame);
    if (!frame || len == 0) {
        delete[] frame;
        LOGE("Query %c%c per il modulo %c@%c non costruita\n", query.MainCmd, query.SubCmd, query.Dest, query.Src);
        return -1;
    }
    pckStruct qt{};
    qt.Src = KESPAddr;
    qt.Dest = boxAddr;
    qt.MainCmd = 'Q';
    qt.SubCmd = 'T';
    qt.pParam = frame;
    qt.ParamLen = len;
    const int ret = k->AddAsyncQC(qt);
    delete[] frame;
    if (ret < 0)
        LOGE("Errore nell'invio del comando KESP_%c%c all'armadio 0x%02X\n", 'Q', 'T', char(boxAddr - FIRST_BOX_ADDR + 'A'));
    return ret < 0 ? -1 : 0;
}

// A refresh request for a module: for the own cabinet the query goes straight on this
// thread's asynchronous queue (once: an equal query already waiting is not queued
// again); for another cabinet it is relayed to that cabinet's card.
void DUVEXMgr::requestRefresh(uint8 MCUAdd, uint8 moduleAddr, uint8 mainCmd, uint8 subCmd)
{
    pckStruct q{};
    q.Dest = moduleAddr;
    q.MainCmd = mainCmd;
    q.SubCmd = subCmd;
    q.pParam = nullptr;
    q.ParamLen = 0;
    if (MCUAdd == KESPAddr) {
        q.Src = DUVEX_MASTERADDR;
        AddAsyncQC(q, true);
        return;
    }
    q.Src = uint8(MCUAdd - FIRST_BOX_ADDR + 'A');
    DUVEX_RelayQueryQT(MCUAdd, q);
}

bool DUVEXMgr::GetIdentification(uint8 MCUAdd, uint8 Add, identification_t &out)
{
    LOGD("MCUAdd:0x%02X Add:%c\n", MCUAdd, Add);
    bool missing = false;
    if (!withModuleNode(*this, __func__, MCUAdd, Add, [&](virtualNode_t &node) {
            missing = node.identification.timestamp == 0;
            if (missing)
                InitValueIdentification(&out, IdentSource::ModuleBus);
            else if (&out != &node.identification)
                memcpy(&out, &node.identification, sizeof(identification_t));
        }))
        return false;
    if (missing) {
        requestRefresh(MCUAdd, Add, 'G', 'I');
#if defined(TVK_MODULAR)
        // Only modular modules know the GE packet (the rest of the identification).
        requestRefresh(MCUAdd, Add, 'G', 'E');
#endif
    }
    return true;
}

bool DUVEXMgr::GetNominal(uint8 MCUAdd, uint8 Add, nominal_t &out)
{
    LOGD("MCUAdd:0x%02X Add:%c\n", MCUAdd, Add);
    bool missing = false;
    if (!withModuleNode(*this, __func__, MCUAdd, Add, [&](virtualNode_t &node) {
            missing = node.nominal.timestamp == 0;
            if (missing)
                memset(&out, 0, sizeof(nominal_t));
            else if (&out != &node.nominal)
                memcpy(&out, &node.nominal, sizeof(nominal_t));
        }))
        return false;
    if (missing)
        requestRefresh(MCUAdd, Add, 'G', 'N');
    return true;
}

bool DUVEXMgr::GetUPSStatus(uint8 MCUAdd, uint8 UPSAdd, descModule_t &out)
{
    LOGTRACE("enter");
    LOGD("MCUAdd:0x%02X UPSAdd:%c\n", MCUAdd, UPSAdd);
    int64 age = 0;
    if (!withModuleNode(*this, __func__, MCUAdd, UPSAdd, [&](virtualNode_t &node) {
            age = ageOf(node.desc.module.data.timestamp);
            if (age > MODULE_DATA_EXPIRE) {
                // The initial values keep some fields as they are: start from a cleared
                // record so the reader never gets what its buffer held before.
                memset(&out, 0, sizeof(descModule_t));
                InitValueUPSStatus(&out.data);
            } else if (&out != &node.desc.module) {
                memcpy(&out, &node.desc.module, sizeof(descModule_t));
            }
        }))
        return false;
    if (age <= MODULE_DATA_EXPIRE)
        LOGTRACE("End memcpy");
    // The own cabinet's module is refreshed by the polling round only.
    if (MCUAdd != KESPAddr && age >= STATUS_REFRESH_AGE) {
        LOGTRACE("test presenza");
        requestRefresh(MCUAdd, UPSAdd, 'R', 'X');
    }
    LOGTRACE("exit");
    return true;
}

#if !defined(TVK_MODULAR)
bool DUVEXMgr::GetUPSStatusDetail(uint8 MCUAdd, uint8 UPSAdd, statusCoding_t &out)
{
    LOGD("MCUAdd:0x%02X UPSAdd:%c\n", MCUAdd, UPSAdd);
    int64 age = 0;
    if (!withModuleNode(*this, __func__, MCUAdd, UPSAdd, [&](virtualNode_t &node) {
            age = ageOf(node.desc.module.statusDetail.timestamp);
            if (age > MODULE_DATA_EXPIRE) {
                // Also marks the battery present in the node's switch byte.
                InitValueUPSStatusDetail(&out, &node.desc.module.data);
            } else if (&out != &node.desc.module.statusDetail) {
                memcpy(&out, &node.desc.module.statusDetail, sizeof(statusCoding_t));
            }
        }))
        return false;
    LOGTRACE(age > MODULE_DATA_EXPIRE ? "return initValue" : "End memcpy");
    if (age > DETAIL_REFRESH_AGE) {
        LOGTRACE("request update");
        if (MCUAdd == KESPAddr) {
            LOGTRACE(" .... locale");
            // This build's module bus has no RC reply layout (an RC exchange could never
            // succeed and would hold the command queue): the own module is asked with
            // RA, which carries the same coding and its extension.
            requestRefresh(MCUAdd, UPSAdd, 'R', 'A');
        } else {
            LOGTRACE("test presenza");
            requestRefresh(MCUAdd, UPSAdd, 'R', 'C');
        }
    }
    LOGTRACE("exit");
    return true;
}

bool DUVEXMgr::GetUPSStatusDetailExt(uint8 MCUAdd, uint8 UPSAdd, statusCodingExt_t &out)
{
    LOGD("MCUAdd:0x%02X UPSAdd:%c\n", MCUAdd, UPSAdd);
    int64 age = 0;
    if (!withModuleNode(*this, __func__, MCUAdd, UPSAdd, [&](virtualNode_t &node) {
            age = ageOf(node.desc.module.statusDetailExt.timestamp);
            if (age > MODULE_DATA_EXPIRE)
                memset(&out, 0, sizeof(statusCodingExt_t));
            else if (&out != &node.desc.module.statusDetailExt)
                memcpy(&out, &node.desc.module.statusDetailExt, sizeof(statusCodingExt_t));
        }))
        return false;
    LOGTRACE(age > MODULE_DATA_EXPIRE ? "return initValue" : "End memcpy");
    if (age > DETAIL_REFRESH_AGE) {
        LOGTRACE("request update");
        LOGTRACE(MCUAdd == KESPAddr ? " .... locale" : "test presenza");
        requestRefresh(MCUAdd, UPSAdd, 'R', 'A');
    }
    LOGTRACE("exit");
    return true;
}
#endif

void DUVEXMgr::SetUPSStatusDetail(uint8 MCUAdd, uint8 UPSAdd, const statusCoding_t &in)
{
    LOGD("MCUAdd:0x%02X UPSAdd:%c\n", MCUAdd, UPSAdd);
    if (withModuleNode(*this, __func__, MCUAdd, UPSAdd, [&](virtualNode_t &node) {
            if (&in != &node.desc.module.statusDetail)
                memcpy(&node.desc.module.statusDetail, &in, sizeof(statusCoding_t));
        }))
        LOGD("mcuId:%d upsId:%d sizeof_statusCoding_t:%d\n", int(uint8(MCUAdd - FIRST_BOX_ADDR)),
             int(uint8(UPSAdd - '1')), int(sizeof(statusCoding_t)));
}

void DUVEXMgr::GetUPSCommStatus(uint8 MCUAdd, uint8 UPSAdd, commStatus_t &out)
{
    uint8 box, mod;
    // No counters exist for an address without a slot: the output is left as it is,
    // silently (this accessor logs nothing).
    if (resolveSlot(MCUAdd, UPSAdd, box, mod) != SlotResult::Ok)
        return;
    myMutexLocker lk(mutexDuvexData);
    out = ModulesData[box][mod].commStatus;
}

void DUVEXMgr::clearErrorCnt()
{
    uint8 box = uint8(KESPAddr - FIRST_BOX_ADDR);
    if (box > 3)
        return;   // a card without a cabinet address has no module of its own
    myMutexLocker lk(mutexDuvexData);
    ModulesData[box][0].commStatus.errorCnt = 0;
}

#if !defined(TVK_MODULAR)
namespace {

// Priority of an operating state when several are merged into one; 0 for the
// codes that take no part in the selection.
int statePriority(uint8 code)
{
    switch (code) {
    case 0: return 100;
    case 1: return 110;
    case 2: return 120;
    case 3: return 130;
    case 4: return 140;
    case 5: return 150;
    case 6: return 160;
    case 7: return 170;
    case 8: return 185;
    case 10: return 220;
    case 11: return 210;
    case 20: return 90;
    case 21: return 180;
    case 30: return 250;
    case 31: return 230;
    case 32: return 240;
    case 40: return 280;
    case 41: return 300;
    case 42: return 320;
    case 43: return 330;
    case 44: return 340;
    case 45: return 290;
    case 46: return 310;
    case 47: return 270;
    case 50: return 400;
    case 51: return 410;
    case 52: return 420;
    case 60: return 430;
    case 61: return 450;
    case 62: return 460;
    case 63: return 470;
    case 64: return 480;
    case 65: return 440;
    case 70: return 370;
    case 71: return 380;
    case 72: return 390;
    case 80: return 360;
    case 81: return 350;
    case 90: return 190;
    case 91: return 200;
    case 92: return 260;
    default: return 0;
    }
}

// Codes that compete by priority (power-off and battery working have rules of their own).
bool competesByPriority(uint8 c)
{
    return c <= 8 || c == 10 || c == 11 || c == 21 || (c >= 30 && c <= 32) || (c >= 40 && c <= 47) ||
           (c >= 60 && c <= 65) || (c >= 70 && c <= 72) || c == 80 || c == 81 || (c >= 90 && c <= 92);
}

} // namespace

void DUVEXMgr::statusCodeSysUpdate(dataObject_t &data, uint8 &sysCode, uint8 moduleCode)
{
    const uint8 c = moduleCode;
    if (c == POWER_OFF_ACTIVE) {
        if (sysCode == INITIALIZATION || sysCode == POWER_OFF_ACTIVE)
            sysCode = POWER_OFF_ACTIVE;
        return;
    }
    if (c >= BATTERYWORKING && c <= BATTERYLOW) {
        // Battery working counts only while the data show the battery in use.
        if (!data.Battery_Working && !data.Test_in_progress)
            return;
    } else if (!competesByPriority(c)) {
        sysCode = INITIALIZATION;
        return;
    }
    if (statePriority(c) > statePriority(sysCode))
        sysCode = c;
}
#endif
