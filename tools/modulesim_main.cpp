// Stand-in power module (address '1') and bypass ('8') on a pty, for benches
// and demonstrations: a card started with the printed device as its module-bus
// port polls it like a real module.
//
//   tarvik-modulesim-<profile> [--link /dev/ttyXXX] [--baud N] [--io C]
//                              [--sn TEXT] [--model TEXT] [--swver TEXT]
//                              [--turnaround MS] [--verbose] [--commands]
//
// --baud paces the replies like a line at N baud (0: no pacing); --io sets the
// module's input/output configuration ('1', '2', '3' or '4'); --verbose logs every
// frame received, --commands only the one-off commands (not the polling queries). Runs until
// SIGINT or SIGTERM.
#include "PowerModuleSim.h"
#include "PtyBench.h"

#include <csignal>
#include <pthread.h>
#include <signal.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <string>

namespace {

void usage(const char *prog)
{
    fprintf(stderr,
            "usage: %s [--link /dev/ttyXXX] [--baud N] [--io C] [--sn TEXT] [--model TEXT]\n"
            "          [--swver TEXT] [--turnaround MS] [--verbose] [--commands]\n",
            prog);
}

std::string printable(const tvksim::Frame &f)
{
    std::string s;
    for (uint8_t b : f) {
        if (b >= 0x20 && b < 0x7F) {
            s += char(b);
        } else {
            char t[8];
            snprintf(t, sizeof t, "<%02X>", b);
            s += t;
        }
    }
    return s;
}

} // namespace

int main(int argc, char **argv)
{
    std::string link;
    unsigned baud = 0;
    unsigned turnaround = 0;
    bool verbose = false;
    bool commands = false;
    tvksim::ModuleState st;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&]() -> const char * {
            if (i + 1 >= argc) {
                usage(argv[0]);
                exit(2);
            }
            return argv[++i];
        };
        if (a == "--link")
            link = next();
        else if (a == "--baud")
            baud = unsigned(strtoul(next(), nullptr, 10));
        else if (a == "--io")
            st.IO_Cfg = uint8_t(next()[0]);
        else if (a == "--sn")
            st.SN = next();
        else if (a == "--model")
            st.Model = next();
        else if (a == "--swver")
            st.SWVer = next();
        else if (a == "--turnaround")
            turnaround = unsigned(strtoul(next(), nullptr, 10));
        else if (a == "--verbose")
            verbose = true;
        else if (a == "--commands")
            commands = true;
        else {
            usage(argv[0]);
            return 2;
        }
    }

    // Signals are taken synchronously by this thread only.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);

    std::unique_ptr<tvksim::PtyEnd> pty;
    try {
        pty = std::make_unique<tvksim::PtyEnd>(link);
    } catch (const std::exception &e) {
        fprintf(stderr, "modulesim: %s\n", e.what());
        return 1;
    }
    tvksim::PowerModuleSim sim(*pty);
    sim.setState(st);
    sim.setBaud(baud);
    sim.setTurnaroundMs(turnaround);
    if (verbose || commands) {
        sim.setCommandHook([verbose](const tvksim::Frame &f, tvksim::ModuleState &) {
            static const char *const polling[] = {"GI", "GN", "GE", "RS", "RE", "RA", "RC", "RX", "RK", "DS", "DE"};
            bool isPolling = false;
            for (const char *q : polling)
                isPolling = isPolling || (f[3] == uint8_t(q[0]) && f[4] == uint8_t(q[1]));
            if (verbose || !isPolling)
                fprintf(stderr, "modulesim: <- %s\n", printable(f).c_str());
        });
    }
    printf("%s\n", pty->path().c_str());
    fflush(stdout);
    fprintf(stderr, "modulesim: module '1' and bypass '8' on %s (%s), baud %u\n", pty->path().c_str(),
            pty->slaveName().c_str(), baud);

    int sig = 0;
    sigwait(&set, &sig);
    sim.stop();
    fprintf(stderr, "modulesim: %zu frames received, %zu replies sent\n", sim.receivedCount(),
            sim.repliesSent());
    return 0;
}
