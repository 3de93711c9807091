#include "VirtualUPSMgr.h"

#include "Globals.h"
#include "Log.h"
#include "Shm.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/ipc.h>
#include <unistd.h>

namespace {

constexpr uint8 EXT_DEVTYPE = 24;
constexpr const char EXT_DEVTYPE_TEXT[] = "DUVEX51201RU";
constexpr uint8 EXT_COMTYPE = 0;
constexpr int EXT_NODE_INDEX = 1;
constexpr int FIRST_BOX_INDEX = 2;

// Key of the tree's segment. When the key file is missing it is created (empty),
// so that this card and its readers agree on the key; ftok's -1 is never used as
// a key (it would be one shared by every failing process).
int makeTreeKey()
{
    key_t key = ftok(VIRTUALUPS_KEYFILE, VIRTUALUPS_PROJID);
    if (key == key_t(-1) && errno == ENOENT) {
        LOGW("File \"%s\" assente: lo creo per la chiave della shared memory\n", VIRTUALUPS_KEYFILE);
        int fd = open(VIRTUALUPS_KEYFILE, O_WRONLY | O_CREAT, 0644);
        if (fd >= 0) {
            close(fd);
            key = ftok(VIRTUALUPS_KEYFILE, VIRTUALUPS_PROJID);
        }
    }
    if (key == key_t(-1)) {
        int err = errno;
        LOGE("Errore nella creazione della chiave della shared memory da \"%s\"\n", VIRTUALUPS_KEYFILE);
        tvk_perror(err);
        return -1;
    }
    return int(key);
}

void setText(char *dst, size_t size, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
void setText(char *dst, size_t size, const char *fmt, ...)
{
    memset(dst, 0, size);
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(dst, size, fmt, ap);
    va_end(ap);
}

int boundedLen(const char *s, size_t max) { return int(strnlen(s, max)); }

} // namespace

VirtualUPSMgr::VirtualUPSMgr(PlantCfg &Cfg) : virtualUPS(nullptr), shm_id(-1), m_nodeCount(0)
{
    int key = makeTreeKey();
    shm_id = key == -1 ? -1 : buildSysTree(key, Cfg);
    if (shm_id < 0) {
        LOGE("Errore nella costruzione dell'albero del sistema\n");
        virtualUPS = nullptr;
        m_nodeCount = 0;
    }
}

VirtualUPSMgr::~VirtualUPSMgr()
{
    // Without a tree there is nothing to detach or remove.
    if (virtualUPS && shm_id >= 0)
        destroyShm(&virtualUPS, shm_id);
    virtualUPS = nullptr;
    m_nodeCount = 0;
}

int VirtualUPSMgr::buildSysTree(int shm_key, PlantCfg &Cfg)
{
    int count = 2;
    for (int i = 0; i < MAXUPSBOX; ++i) {
        if (!Cfg.Ups[i].present)
            continue;
        ++count;
        if (Cfg.Ups[i].modulePresent[0])
            ++count;
    }

    int id = createShm(&virtualUPS, count * int(sizeof(virtualNode_t)), shm_key);
    if (id < 0) {
        LOGE("Errore nella creazione della shared Memory\n");
        return id;
    }
    m_nodeCount = count;

    // System node.
    virtualNode_t *sys = &virtualUPS[0];
    sys->nodetype = sysNode;
    setText(sys->Description, sizeof sys->Description, "System ZVL - %5d", int(Cfg.DeviceNo >> 9));
    setText(sys->ID, sizeof sys->ID, "S%c", ownCabinetLetter());
    sys->idx = 0;
    InitNode(sys);
    sys->ext = EXT_NODE_INDEX;

    // Extension node: only its own bytes are written.
    uint8 *ext = reinterpret_cast<uint8 *>(&virtualUPS[EXT_NODE_INDEX]);
    ext[offsetof(extNodeLayout_t, nodetype)] = extNode;
    ext[offsetof(extNodeLayout_t, DevType)] = EXT_DEVTYPE;
    memcpy(ext + offsetof(extNodeLayout_t, DevTypeText), EXT_DEVTYPE_TEXT, sizeof EXT_DEVTYPE_TEXT);
    ext[offsetof(extNodeLayout_t, ComType)] = EXT_COMTYPE;

    // Cabinet nodes, chained in the order A..D.
    int next = FIRST_BOX_INDEX;
    int prevBox = -1;
    for (int i = 0; i < MAXUPSBOX; ++i) {
        if (!Cfg.Ups[i].present)
            continue;
        const char letter = char('A' + i);
        if (sys->son == NO_NODE)
            sys->son = uint8(next);
        virtualNode_t *box = &virtualUPS[next];
        box->nodetype = upsBoxNode;
        setText(box->Description, sizeof box->Description, "UpsBox %c", letter);
        setText(box->ID, sizeof box->ID, "%s.B%c", sys->ID, letter);
        box->idx = uint8(next);
        InitNode(box);
        if (prevBox >= 0) {
            virtualUPS[prevBox].nxtBrother = uint8(next);
            box->prvBrother = uint8(prevBox);
        }
        prevBox = next;
        ++next;
    }

    // Module nodes, one under each cabinet whose module is present.
    for (int b = sys->son, steps = 0; b != NO_NODE && b < count && steps < count;
         b = virtualUPS[b].nxtBrother, ++steps) {
        virtualNode_t *box = &virtualUPS[b];
        int cab = box->ID[4] - 'A';
        if (cab < 0 || cab >= MAXUPSBOX || !Cfg.Ups[cab].modulePresent[0] || next >= count)
            continue;
        box->son = uint8(next);
        virtualNode_t *mod = &virtualUPS[next];
        mod->nodetype = moduleNode;
        setText(mod->Description, sizeof mod->Description, "Module %d", 1);
        setText(mod->ID, sizeof mod->ID, "%s.M%d", box->ID, 1);
        mod->idx = uint8(next);
        InitNode(mod);
        ++next;
    }

    LOGRAW("\n\n");
    printNode(0, &virtualUPS[0]);
    return id;
}

void VirtualUPSMgr::InitNode(virtualNode_t *node)
{
    node->nxtBrother = NO_NODE;
    node->prvBrother = NO_NODE;
    node->son = NO_NODE;
    node->ext = NO_NODE;
    memset(&node->panel, 0xFF, sizeof node->panel);
}

void VirtualUPSMgr::printNode(uint8 level, virtualNode_t *node)
{
    if (!virtualUPS || !node)
        return;
    std::ptrdiff_t index = node - virtualUPS;
    if (index < 0 || index >= m_nodeCount) {
        LOGE("Nodo fuori dall'albero\n");
        return;
    }
    unsigned char visited[256] = {};
    printNodeRec(level, int(index), visited);
}

// Links are followed only inside the array and to nodes not yet printed, so a
// tree damaged by another process cannot make the print loop or read outside.
void VirtualUPSMgr::printNodeRec(uint8 level, int index, unsigned char *visited)
{
    visited[index] = 1;
    const virtualNode_t *node = &virtualUPS[index];
    const std::string indent(size_t(level) * 8, ' ');
    const char *in = indent.c_str();
    LOGRAW("%s%.*s\n%stype:%d\n%s%.*s   %d\n%s nxt:%d prv:%d\n", in,
           boundedLen(node->Description, sizeof node->Description), node->Description, in,
           int(node->nodetype), in, boundedLen(node->ID, sizeof node->ID), node->ID, int(node->idx),
           in, int(node->nxtBrother), int(node->prvBrother));

    if (node->ext != NO_NODE) {
        if (node->ext < m_nodeCount) {
            extNodeLayout_t ext;
            memcpy(&ext, &virtualUPS[node->ext], sizeof ext);
            LOGRAW("%stype:%d\n%sDevType%d ComType%d\n%s%.*s\n", in, int(ext.nodetype), in,
                   int(ext.DevType), int(ext.ComType), in,
                   boundedLen(ext.DevTypeText, sizeof ext.DevTypeText), ext.DevTypeText);
        } else {
            LOGE("Nodo %d: estensione %d fuori dall'albero\n", index, int(node->ext));
        }
    }
    const uint8 links[2] = {node->son, node->nxtBrother};
    for (int k = 0; k < 2; ++k) {
        int to = links[k];
        if (to == NO_NODE)
            continue;
        if (to >= m_nodeCount || visited[to]) {
            LOGE("Nodo %d: collegamento %d non valido\n", index, to);
            continue;
        }
        LOGRAW("\n");
        printNodeRec(k == 0 ? uint8(level + 1) : level, to, visited);
    }
}

virtualNode_t *VirtualUPSMgr::searchNode(const char *ID)
{
    if (!virtualUPS)
        return nullptr;
    return search(virtualUPS, ID, m_nodeCount);
}

virtualNode_t *search(virtualNode_t *virtualUPS, const char *searchID, int nodeCount)
{
    if (!virtualUPS || !searchID || nodeCount < 1)
        return nullptr;
    // A private, zero-filled copy: a short identifier never makes us read past its end.
    char id[17] = {};
    strncpy(id, searchID, sizeof id - 1);

    if (strncmp(virtualUPS[0].ID, id, 2) != 0)
        return nullptr;

    virtualNode_t *box = nullptr;
    for (int i = virtualUPS[0].son, steps = 0; i != NO_NODE && i < nodeCount && steps < nodeCount;
         i = virtualUPS[i].nxtBrother, ++steps) {
        if (virtualUPS[i].ID[3] == id[3] && virtualUPS[i].ID[4] == id[4]) {
            box = &virtualUPS[i];
            break;
        }
    }
    if (!box)
        return nullptr;
    if (id[5] == '\0')
        return box;
    for (int i = box->son, steps = 0; i != NO_NODE && i < nodeCount && steps < nodeCount;
         i = virtualUPS[i].nxtBrother, ++steps) {
        if (virtualUPS[i].ID[6] == id[6] && virtualUPS[i].ID[7] == id[7])
            return &virtualUPS[i];
    }
    return nullptr;
}
