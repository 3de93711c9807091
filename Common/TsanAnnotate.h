// Hand-over annotations for the thread sanitizer. Qt is not instrumented: a QMutex
// handed over on its contended path, or QThread::wait() returning after the thread's
// end, orders memory in ways the sanitizer cannot see. These tell it explicitly;
// in other builds they are nothing.
#ifndef TVK_TSANANNOTATE_H
#define TVK_TSANANNOTATE_H

#if defined(__SANITIZE_THREAD__)
extern "C" void __tsan_acquire(void *addr);
extern "C" void __tsan_release(void *addr);
#define TVK_TSAN_ACQUIRE(m) __tsan_acquire((void *)(m))
#define TVK_TSAN_RELEASE(m) __tsan_release((void *)(m))
#else
#define TVK_TSAN_ACQUIRE(m) ((void)0)
#define TVK_TSAN_RELEASE(m) ((void)0)
#endif

#endif
