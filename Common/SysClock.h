// The one seam through which the card reads clocks and sleeps.
// Production uses the real clocks; tests install a source they drive,
// so debounce, freshness and timeout rules run without real waiting.
#ifndef TVK_SYSCLOCK_H
#define TVK_SYSCLOCK_H

#include <cstdint>
#include <ctime>
#include <sys/time.h>

namespace sysclock {

class Source {
public:
    virtual ~Source() = default;
    virtual time_t now() = 0;                       // wall clock, seconds
    virtual struct timeval timeOfDay() = 0;         // wall clock, microseconds
    virtual struct timespec monotonic() = 0;        // monotonic clock
    virtual void sleepMs(unsigned ms) = 0;          // pause the calling thread
};

// The real clocks.
Source &realSource();
// The source in force (the real one unless a test installed another).
Source &source();
// Install a source; nullptr restores the real clocks.
void setSource(Source *src);

inline time_t now() { return source().now(); }
inline struct timeval timeOfDay() { return source().timeOfDay(); }
inline struct timespec monotonic() { return source().monotonic(); }
int64_t monotonicMs();
int64_t monotonicUs();
inline void sleepMs(unsigned ms) { source().sleepMs(ms); }
inline void sleepSec(unsigned s) { source().sleepMs(s * 1000u); }

} // namespace sysclock

#endif
