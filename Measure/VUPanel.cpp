#include "VUPanel.h"

#include "VirtualUPSMgr.h"
#include "VirtualUPSTypes.h"

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <sys/ipc.h>
#include <sys/shm.h>

namespace vupanel {

namespace {

// One attachment of the card's segment; detached on destruction.
class Attached {
public:
    Attached(const std::string &dir, bool readOnly, int &status, std::string &err)
    {
        const std::string path = (dir.empty() ? std::string(".") : dir) + "/Tarvik";
        key_t key = ftok(path.c_str(), VIRTUALUPS_PROJID);
        if (key == key_t(-1)) {
            err = "cannot make the segment key from \"" + path + "\": " + strerror(errno);
            status = PANEL_NO_SEGMENT;
            return;
        }
        int id = shmget(key, 0, 0);
        if (id < 0) {
            int e = errno;
            err = "no virtual UPS segment for \"" + path + "\": " + strerror(e);
            status = e == ENOENT ? PANEL_NO_SEGMENT : PANEL_UNREADABLE;
            return;
        }
        void *a = shmat(id, nullptr, readOnly ? SHM_RDONLY : 0);
        if (a == reinterpret_cast<void *>(-1)) {
            err = std::string("cannot attach the segment: ") + strerror(errno);
            status = PANEL_UNREADABLE;
            return;
        }
        struct shmid_ds ds;
        if (shmctl(id, IPC_STAT, &ds) < 0) {
            err = std::string("cannot read the status of the segment: ") + strerror(errno);
            shmdt(a);
            status = PANEL_UNREADABLE;
            return;
        }
        addr_ = static_cast<uint8 *>(a);
        size_ = size_t(ds.shm_segsz);
        status = PANEL_OK;
    }
    ~Attached()
    {
        if (addr_)
            shmdt(addr_);
    }
    Attached(const Attached &) = delete;
    Attached &operator=(const Attached &) = delete;

    // Byte offset of the node whose ID is `id`, or -1.
    long findNode(const std::string &id) const
    {
        if (!addr_ || id.empty() || id.size() >= sizeof(virtualNode_t::ID))
            return -1;
        const size_t nodeSize = sizeof(virtualNode_t);
        size_t slots = size_ / nodeSize;
        if (slots > NO_NODE)
            slots = NO_NODE;
        for (size_t i = 0; i < slots; ++i) {
            char nid[sizeof(virtualNode_t::ID)];
            memcpy(nid, addr_ + i * nodeSize + offsetof(virtualNode_t, ID), sizeof nid);
            if (memchr(nid, '\0', sizeof nid) && id == nid)
                return long(i * nodeSize);
        }
        return -1;
    }
    uint8 *at(long off) const { return addr_ + off; }

private:
    uint8 *addr_ = nullptr;
    size_t size_ = 0;
};

// Attaches, finds node `id` and hands its panel record to `use`; detaches after.
template <typename Use>
int withPanel(const std::string &dir, const std::string &id, bool readOnly, std::string &err, Use use)
{
    int status = PANEL_UNREADABLE;
    Attached seg(dir, readOnly, status, err);
    if (status != PANEL_OK)
        return status;
    long off = seg.findNode(id);
    if (off < 0) {
        err = "no node \"" + id + "\" in the tree";
        return PANEL_NO_NODE;
    }
    use(seg.at(off + long(offsetof(virtualNode_t, panel))));
    return PANEL_OK;
}

} // namespace

int writePanel(const std::string &dir, const std::string &id, uint8 value, uint16 delayShut, uint16 delayReboot,
               std::string &err)
{
    return withPanel(dir, id, false, err, [&](uint8 *panel) {
        memcpy(panel + offsetof(panel_t, delay_shut), &delayShut, sizeof delayShut);
        memcpy(panel + offsetof(panel_t, delay_reboot), &delayReboot, sizeof delayReboot);
        // The card acts on the command byte: it goes last, as one byte.
        __atomic_store_n(panel + offsetof(panel_t, value), value, __ATOMIC_RELEASE);
    });
}

int readPanel(const std::string &dir, const std::string &id, uint8 &value, std::string &err)
{
    return withPanel(dir, id, true, err, [&](uint8 *panel) {
        value = __atomic_load_n(panel + offsetof(panel_t, value), __ATOMIC_ACQUIRE);
    });
}

bool parseCommand(const std::string &text, uint8 &value)
{
    static const struct {
        const char *name;
        uint8 value;
    } names[] = {
        {"shutdown", CMD_SHUTDOWN}, {"reboot", CMD_REBOOT}, {"delete", CMD_DELETE}, {"testbatt", CMD_TESTBATT},
        {"off", CMD_ZVL_OFF},       {"on", CMD_ZVL_POWERON}, {"none", CMD_NONE},
    };
    for (const auto &n : names) {
        if (text == n.name) {
            value = n.value;
            return true;
        }
    }
    if (text.empty() || text.size() > 3)
        return false;
    char *end = nullptr;
    long v = strtol(text.c_str(), &end, 10);
    if (*end || v < 0 || v > 255)
        return false;
    value = uint8(v);
    return true;
}

} // namespace vupanel
