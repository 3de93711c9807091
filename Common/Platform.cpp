#include "Platform.h"
#include "Log.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace platform {

namespace {
std::mutex g_m;
ShellHook g_shell;
AdjTimeHook g_adj;
SetTimeHook g_set;

bool machineActionsDisabled()
{
    const char *v = getenv("TARVIK_NO_MACHINE_ACTIONS");
    return v && *v && strcmp(v, "0") != 0;
}
} // namespace

int shell(const char *cmd)
{
    ShellHook h;
    {
        std::lock_guard<std::mutex> lk(g_m);
        h = g_shell;
    }
    if (h)
        return h(cmd);
    if (machineActionsDisabled()) {
        LOGW("comando \"%s\" non eseguito (azioni sulla macchina disabilitate)\n", cmd ? cmd : "");
        return 0;
    }
    return ::system(cmd);
}

int adjTime(const struct timeval *delta, struct timeval *olddelta)
{
    AdjTimeHook h;
    {
        std::lock_guard<std::mutex> lk(g_m);
        h = g_adj;
    }
    if (h)
        return h(delta, olddelta);
    if (machineActionsDisabled()) {
        if (olddelta) {
            olddelta->tv_sec = 0;
            olddelta->tv_usec = 0;
        }
        return 0;
    }
    return ::adjtime(delta, olddelta);
}

int setTime(const struct timeval *tv)
{
    SetTimeHook h;
    {
        std::lock_guard<std::mutex> lk(g_m);
        h = g_set;
    }
    if (h)
        return h(tv);
    if (!tv) {
        errno = EINVAL;
        return -1;
    }
    if (machineActionsDisabled()) {
        LOGW("orologio non impostato a %ld.%06ld (azioni sulla macchina disabilitate)\n", long(tv->tv_sec),
             long(tv->tv_usec));
        return 0;
    }
    return ::settimeofday(tv, nullptr);
}

void setShellHook(ShellHook hook)
{
    std::lock_guard<std::mutex> lk(g_m);
    g_shell = std::move(hook);
}

void setAdjTimeHook(AdjTimeHook hook)
{
    std::lock_guard<std::mutex> lk(g_m);
    g_adj = std::move(hook);
}

void setSetTimeHook(SetTimeHook hook)
{
    std::lock_guard<std::mutex> lk(g_m);
    g_set = std::move(hook);
}

} // namespace platform
