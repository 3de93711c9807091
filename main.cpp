// Entry point of the card program: parses the command line, creates the system
// manager and idles until a stop is requested.
#include "CmdLine.h"
#include "Globals.h"
#include "Log.h"
#include "SystemMgr.h"

#include <csignal>
#include <cstring>
#include <unistd.h>

namespace {

// SIGTERM and SIGHUP ask for the orderly stop; SIGINT belongs to the cabinet bus,
// which counts it as a line break.
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

} // namespace

int main(int argc, char **argv)
{
    if (parseCommandLine(argc, argv) != 0)
        return -1;

    installStopHandlers();
    // The manager publishes itself in pSysMgr before it starts the threads that read it.
    SystemMgr *created = new SystemMgr();
    (void)created;

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
