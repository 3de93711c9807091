// System V shared-memory segment of the virtual UPS tree: create or attach,
// detach, destroy. The functions know nothing of the tree; the caller supplies key,
// size and where the attach address is kept.
#ifndef TVK_SHM_H
#define TVK_SHM_H

// Owner read and write, others read; creation adds IPC_CREAT (no exclusive flag:
// a segment left under the key is reused with its contents).
constexpr int SHM_MODE = 0604;

// Segment identifier (>= 0) or -1. The attach address is stored through pShm.
int createShm(void **pShm, int size, int shm_key);
// Same as createShm without creation, for processes that read an existing segment.
int attachShm(void **pShm, int size, int shm_key);
// 0 or -1.
int detachShm(void **pShm);
// Detaches and removes the segment, waiting one second at a time while other
// processes stay attached; after 61 waits (then every 256) it asks for a forced
// reboot of the card. 0 when the segment is removed, -1 on failure.
int destroyShm(void **pShm, int shm_id);

// Typed conveniences for callers that keep a typed pointer.
template <typename T> int createShm(T **pShm, int size, int shm_key)
{
    void *p = *pShm;
    int r = createShm(&p, size, shm_key);
    *pShm = static_cast<T *>(p);
    return r;
}
template <typename T> int destroyShm(T **pShm, int shm_id)
{
    void *p = *pShm;
    int r = destroyShm(&p, shm_id);
    *pShm = static_cast<T *>(p);
    return r;
}

#endif
