#include "Shm.h"

#include "Log.h"
#include "Platform.h"
#include "SysClock.h"

#include <cerrno>
#include <sys/ipc.h>
#include <sys/shm.h>

namespace {

constexpr int FIRST_WAIT_LIMIT = 60;    // one-second waits before the first forced reboot
constexpr int LATER_WAIT_LIMIT = 255;   // then every 256 waits

int getShm(void **pShm, int size, int shm_key, int flags)
{
    int id = shmget(key_t(shm_key), size_t(size < 0 ? 0 : size), flags);
    if (id < 0) {
        int err = errno;
        LOGE("Errore nell'allocazione della shared memory!\n");
        tvk_perror(err);
        return -1;
    }
    LOGD("Allocata Shared Memory con id %d\n", id);
    void *addr = shmat(id, nullptr, 0);
    if (addr == reinterpret_cast<void *>(-1)) {
        int err = errno;
        LOGE("Errore nell'attach della shared memory!\n");
        tvk_perror(err);
        return -1;
    }
    *pShm = addr;
    LOGD("shared memory attached at address %p\n", addr);
    return id;
}

} // namespace

int createShm(void **pShm, int size, int shm_key)
{
    return getShm(pShm, size, shm_key, IPC_CREAT | SHM_MODE);
}

int attachShm(void **pShm, int size, int shm_key)
{
    return getShm(pShm, size, shm_key, SHM_MODE);
}

int detachShm(void **pShm)
{
    if (shmdt(*pShm) < 0) {
        int err = errno;
        LOGE("Errore nella detach della shared memory!\n");
        tvk_perror(err);
        return -1;
    }
    return 0;
}

int destroyShm(void **pShm, int shm_id)
{
    if (shmdt(*pShm) < 0) {
        int err = errno;
        LOGE("Errore nella detach della shared memory!\n");
        tvk_perror(err);
        return -1;
    }
    *pShm = nullptr;

    struct shmid_ds ds;
    if (shmctl(shm_id, IPC_STAT, &ds) < 0) {
        int err = errno;
        LOGE("Errore lettura stato della shared memory!\n");
        tvk_perror(err);
        return -1;
    }

    int waitLimit = FIRST_WAIT_LIMIT;
    int waitCnt = 0;
    for (;;) {
        if (ds.shm_nattch == 0) {
            if (shmctl(shm_id, IPC_RMID, nullptr) < 0) {
                int err = errno;
                LOGE("Errore deallocazione della shared memory!\n");
                tvk_perror(err);
                return -1;
            }
            LOGD("shared memory deallocata\n");
            return 0;
        }
        LOGW("Vi sono altri processi collegati alla shm!!\n");
        LOGW("Attendo e ritento...\n");
        sysclock::sleepSec(1);
        if (shmctl(shm_id, IPC_STAT, &ds) < 0) {
            int err = errno;
            LOGE("Errore lettura stato della shared memory!\n");
            tvk_perror(err);
            return -1;
        }
        if (ds.shm_nattch != 0)
            LOGE("... persistono!!\n");
        // The counter is tested after the new status was read: the reboot is asked
        // for even when the last reader has just gone (the next pass removes it).
        if (waitCnt == waitLimit) {
            LOGE("sono disperato!!! a mali estremi ... \n");
            platform::shell("reboot -f");
            waitLimit = LATER_WAIT_LIMIT;
            waitCnt = 0;
        } else {
            ++waitCnt;
        }
    }
}
