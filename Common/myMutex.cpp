#include "myMutex.h"
#include "Log.h"
#include "TsanAnnotate.h"

#include <sys/syscall.h>
#include <unistd.h>

myMutex::myMutex(QString name) : QMutex(), m_name(std::move(name)) {}

myMutex::~myMutex() {}

void myMutex::lock()
{
    QMutex::lock();
    TVK_TSAN_ACQUIRE(this);
}

bool myMutex::tryLock()
{
    bool ok = QMutex::tryLock(0);
    if (ok)
        TVK_TSAN_ACQUIRE(this);
    return ok;
}

bool myMutex::tryLockFor(int timeoutMs)
{
    bool ok = QMutex::tryLock(timeoutMs > 0 ? timeoutMs : 0);
    if (ok)
        TVK_TSAN_ACQUIRE(this);
    return ok;
}

void myMutex::unlock()
{
    TVK_TSAN_RELEASE(this);
    QMutex::unlock();
}

myMutexLocker::myMutexLocker(myMutex *mutex) : m_mutex(mutex), m_locker(new tvkQMutexLocker(static_cast<QMutex *>(mutex)))
{
    TVK_TSAN_ACQUIRE(m_mutex);
}

myMutexLocker::~myMutexLocker()
{
    if (m_locker)
        TVK_TSAN_RELEASE(m_mutex);
    delete m_locker;   // releases the mutex when still held
}

void myMutexLocker::unlock()
{
    if (!m_locker) {
        LOGE("[from thread:%6ld] Mutex %s gia' precedentemente unlocked\n", long(syscall(SYS_gettid)),
             m_mutex ? m_mutex->name().toLocal8Bit().constData() : "");
        return;
    }
    TVK_TSAN_RELEASE(m_mutex);
    delete m_locker;
    m_locker = nullptr;
}

void myMutexLocker::relock()
{
    if (m_locker)
        return;   // already held: taking a non-recursive mutex twice would deadlock
    m_locker = new tvkQMutexLocker(static_cast<QMutex *>(m_mutex));
    TVK_TSAN_ACQUIRE(m_mutex);
}
