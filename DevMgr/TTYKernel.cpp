#include "TTYKernel.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <cstring>

// Declared here: <sys/ioctl.h> brings the C library's terminal types along.
extern "C" int ioctl(int fd, unsigned long request, ...);

namespace ttykernel {

static_assert(sizeof(struct termios) <= kSettingsSize, "the kernel's settings record does not fit");

bool setMinChars(int fd, Settings &s, int n)
{
    struct termios t;
    if (!s.valid) {
        if (ioctl(fd, TCGETS, &t) != 0)
            return false;
    } else {
        memcpy(&t, s.raw, sizeof t);
    }
    t.c_cc[VMIN] = cc_t(n);
    if (ioctl(fd, TCSETS, &t) != 0) {
        s.valid = false;
        return false;
    }
    memcpy(s.raw, &t, sizeof t);
    s.valid = true;
    return true;
}

} // namespace ttykernel
