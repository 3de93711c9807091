// The one seam for actions that touch the machine itself: shell commands
// ("reboot -f", "halt"), clock slewing (adjtime) and setting the clock
// (settimeofday). Tests replace them, so no test can reboot, halt or move the
// clock of the machine it runs on.
// A card started with TARVIK_NO_MACHINE_ACTIONS=1 in its environment logs the
// request and does not carry it out (used when the real program runs on a bench).
#ifndef TVK_PLATFORM_H
#define TVK_PLATFORM_H

#include <functional>
#include <sys/time.h>

namespace platform {

using ShellHook = std::function<int(const char *cmd)>;
using AdjTimeHook = std::function<int(const struct timeval *delta, struct timeval *olddelta)>;
using SetTimeHook = std::function<int(const struct timeval *tv)>;

int shell(const char *cmd);
int adjTime(const struct timeval *delta, struct timeval *olddelta);
// Sets the system clock (settimeofday); -1 with errno set on failure.
int setTime(const struct timeval *tv);

// Empty hook restores the real action.
void setShellHook(ShellHook hook);
void setAdjTimeHook(AdjTimeHook hook);
void setSetTimeHook(SetTimeHook hook);

} // namespace platform

#endif
