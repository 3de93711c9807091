// Named mutexes: a plain non-recursive mutex that carries a name for diagnostics,
// and a scoped locker that can release early and take the mutex again.
#ifndef TVK_MYMUTEX_H
#define TVK_MYMUTEX_H

#include <QMutex>
#include <QMutexLocker>
#include <QString>
#include <QtGlobal>

// The locker type of a plain QMutex (Qt 6 made QMutexLocker a template); it calls
// QMutex's own lock and unlock, under Qt 5 and Qt 6 alike.
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
using tvkQMutexLocker = QMutexLocker<QMutex>;
#else
using tvkQMutexLocker = QMutexLocker;
#endif

class myMutex : public QMutex {
public:
    explicit myMutex(QString name);
    ~myMutex();
    void lock();
    bool tryLock();
    // Waits at most timeoutMs for the mutex; true when it is now held.
    bool tryLockFor(int timeoutMs);
    void unlock();
    const QString &name() const { return m_name; }

private:
    QString m_name;
};

class myMutexLocker {
public:
    explicit myMutexLocker(myMutex *mutex);
    ~myMutexLocker();
    void unlock();
    void relock();
    bool isLocked() const { return m_locker != nullptr; }

private:
    myMutexLocker(const myMutexLocker &) = delete;
    myMutexLocker &operator=(const myMutexLocker &) = delete;
    myMutex *m_mutex;
    tvkQMutexLocker *m_locker;
};

#endif
