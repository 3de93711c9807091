// The virtual UPS: the plant's nodes (system, extension, one per present UPS
// cabinet, one per present power module) as an array of fixed-size records in a
// System V shared-memory segment that the card's other processes read. Nodes are
// linked into a tree by array index and found by identifiers "SA", "SA.BC",
// "SA.BC.M1" (system letter, cabinet letter, module digit).
#ifndef TVK_VIRTUALUPSMGR_H
#define TVK_VIRTUALUPSMGR_H

#include "SysCfgMgr.h"
#include "Types.h"
#include "VirtualUPSTypes.h"

#include <cstddef>

constexpr uint8 NO_NODE = 255;                 // "no link" in the node links
// Largest tree of this plant: system, extension, four cabinets with one module each.
constexpr int MAXVIRTUALNODES = 2 + MAXUPSBOX * (1 + MAXUPSxUPSBOX);
// Key of the segment: ftok on this path (relative to the working directory) and project 1.
constexpr const char *VIRTUALUPS_KEYFILE = "./Tarvik";
constexpr int VIRTUALUPS_PROJID = 1;

#pragma pack(push, 1)

// One node of the tree; its layout is read by other processes.
struct virtualNode_t {
    node_t nodetype;
    char Description[32];       // NUL-terminated display name
    char ID[16];                // NUL-terminated identifier used by searches
    uint8 idx;                  // own index in the array
    uint8 nxtBrother;           // next node on the same level, NO_NODE for none
    uint8 prvBrother;           // previous node on the same level, NO_NODE for none
    uint8 son;                  // first child, NO_NODE for none
    uint8 ext;                  // extension node, NO_NODE for none
    identification_t identification;
    nominal_t nominal;
    panel_t panel;              // pending panel command
    nodeDesc_t desc;            // the member that matches nodetype
};

// The extension node reuses the storage of a node; only these bytes are written.
struct extNodeLayout_t {
    node_t nodetype;            // extNode
    uint8 DevType;              // 24
    char DevTypeText[20];       // "DUVEX51201RU"
    uint8 ComType;              // 0
};

#pragma pack(pop)

typedef virtualNode_t *virtualUPS_t;

static_assert(offsetof(virtualNode_t, Description) == 1, "virtualNode_t layout");
static_assert(offsetof(virtualNode_t, ID) == 33, "virtualNode_t layout");
static_assert(offsetof(virtualNode_t, idx) == 49, "virtualNode_t layout");
static_assert(offsetof(virtualNode_t, nxtBrother) == 50, "virtualNode_t layout");
static_assert(offsetof(virtualNode_t, prvBrother) == 51, "virtualNode_t layout");
static_assert(offsetof(virtualNode_t, son) == 52, "virtualNode_t layout");
static_assert(offsetof(virtualNode_t, ext) == 53, "virtualNode_t layout");
static_assert(offsetof(virtualNode_t, identification) == 54, "virtualNode_t layout");
static_assert(offsetof(virtualNode_t, nominal) == 152, "virtualNode_t layout");
static_assert(offsetof(virtualNode_t, panel) == 172, "virtualNode_t layout");
static_assert(offsetof(virtualNode_t, desc) == 177, "virtualNode_t layout");
#if defined(TVK_MODULAR)
static_assert(sizeof(virtualNode_t) == 446, "virtualNode_t layout");
#else
static_assert(sizeof(virtualNode_t) == 513, "virtualNode_t layout");
#endif
static_assert(sizeof(extNodeLayout_t) == 23, "extension node layout");
static_assert(offsetof(extNodeLayout_t, DevType) == 1, "extension node layout");
static_assert(offsetof(extNodeLayout_t, DevTypeText) == 2, "extension node layout");
static_assert(offsetof(extNodeLayout_t, ComType) == 22, "extension node layout");

// The node with identifier `searchID` ("S%c", "S%c.B%c" or "S%c.B%c.M%c"), or null.
// Only the two-character groups are compared. Links are followed only to indices
// below `nodeCount` and never more than `nodeCount` steps per level.
virtualNode_t *search(virtualNode_t *virtualUPS, const char *searchID,
                      int nodeCount = MAXVIRTUALNODES);

class VirtualUPSMgr {
public:
    // Builds the tree from the plant configuration in the segment keyed on
    // ftok("./Tarvik", 1). On failure the manager holds no tree (virtualUPS null,
    // shm_id negative).
    explicit VirtualUPSMgr(PlantCfg &Cfg);
    // Releases the segment: waits for other processes to detach (see destroyShm).
    ~VirtualUPSMgr();

    int buildSysTree(int shm_key, PlantCfg &Cfg);
    void InitNode(virtualNode_t *node);
    // Raw print of a node, its sons and its following brothers (standard error).
    void printNode(uint8 level, virtualNode_t *node);
    virtualNode_t *searchNode(const char *ID);

    int nodeCount() const { return m_nodeCount; }

    virtualUPS_t virtualUPS;
    int shm_id;

private:
    VirtualUPSMgr(const VirtualUPSMgr &) = delete;
    VirtualUPSMgr &operator=(const VirtualUPSMgr &) = delete;
    void printNodeRec(uint8 level, int index, unsigned char *visited);

    int m_nodeCount;
};

#endif
