// Entry point of the card program: parses the command line, creates the system
// manager and idles until a stop is requested.
//
// Signals: SIGINT counts line breaks of the cabinet bus (KESP_BreakDetected,
// installed first, so that an early SIGINT never ends the card without its
// orderly stop); SIGTERM and SIGHUP ask for the orderly stop. All three are
// blocked before any thread starts, so every thread inherits the block, and only
// the main thread takes them: a signal never interrupts a bus write.
#include "CmdLine.h"
#include "Globals.h"
#include "KESP.h"
#include "Log.h"
#include "SystemMgr.h"

#include <csignal>
#include <cstring>
#include <pthread.h>
#include <unistd.h>

namespace {

void onStopSignal(int) { needRestart = true; }

void installStopHandlers()
{
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = onStopSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;   // no SA_RESTART: the idle sleep ends at once
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
}

// Blocks (or unblocks) the three signals in the calling thread.
void maskBusSignals(int how)
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    pthread_sigmask(how, &set, nullptr);
}

} // namespace

int main(int argc, char **argv)
{
    KESP_InstallBreakHandler();
    installStopHandlers();

    if (parseCommandLine(argc, argv) != 0)
        return -1;

    // Threads started from here on (and the threads they start) keep the signals blocked.
    maskBusSignals(SIG_BLOCK);
    // The manager publishes itself in pSysMgr before it starts the threads that read it.
    SystemMgr *created = new SystemMgr();
    (void)created;
    maskBusSignals(SIG_UNBLOCK);

    while (!needRestart)
        sleep(1);

    LOGN("bye bye\n");
    if (pSysMgr) {
        SystemMgr *mgr = pSysMgr;
        delete mgr;
        pSysMgr = nullptr;
    }
    return 0;
}
