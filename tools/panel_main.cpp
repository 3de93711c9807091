// tarvik-panel: gives a panel command to a node of a running card's tree, as the
// card's other processes (web pages, display) do.
//
//   tarvik-panel-<profile> [--dir DIR] [--wait S] NODE COMMAND [DELAY_SHUT [DELAY_REBOOT]]
//
// NODE is a tree identifier such as "SA.BA.M1" (the module of cabinet A). COMMAND is
// on, off, shutdown, reboot, delete, testbatt, none, or a number 0..255. The card
// takes module nodes' on/off commands; it clears every command it reads. With
// --wait (default 5 s; 0: do not wait) the tool waits until the card took it.
//
// Exit status: 0 written (and taken when waiting); 1 no card segment; 2 usage;
// 3 segment unusable; 5 no such node; 6 the card did not take the command in time.
#include "Profile.h"
#include "VUPanel.h"
#include "VirtualUPSTypes.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

void usage(FILE *f, const char *prog)
{
    fprintf(f,
            "usage: %s [--dir DIR] [--wait S] NODE COMMAND [DELAY_SHUT [DELAY_REBOOT]]\n"
            "  NODE     tree identifier, e.g. SA.BA.M1\n"
            "  COMMAND  on | off | shutdown | reboot | delete | testbatt | none | 0..255\n"
            "  --dir    directory holding the card's \"Tarvik\" key file (default \".\")\n"
            "  --wait   seconds to wait until the card took the command (default 5, 0: no wait)\n"
            "  Built for the %s record layout.\n",
            prog, profile::name);
}

bool parseU16(const char *s, uint16 &out)
{
    char *end = nullptr;
    errno = 0;
    long v = strtol(s, &end, 10);
    if (errno || !*s || *end || v < 0 || v > 65535)
        return false;
    out = uint16(v);
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    std::string dir = ".";
    long waitS = 5;
    std::string args[4];
    int nargs = 0;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--dir" && i + 1 < argc) {
            dir = argv[++i];
        } else if (a == "--wait" && i + 1 < argc) {
            char *end = nullptr;
            waitS = strtol(argv[++i], &end, 10);
            if (*end || waitS < 0 || waitS > 3600) {
                usage(stderr, argv[0]);
                return vupanel::PANEL_USAGE;
            }
        } else if (a == "-h" || a == "--help") {
            usage(stdout, argv[0]);
            return 0;
        } else if (nargs < 4 && !(a.size() > 1 && a[0] == '-' && a[1] == '-')) {
            args[nargs++] = a;
        } else {
            usage(stderr, argv[0]);
            return vupanel::PANEL_USAGE;
        }
    }
    uint8 value = CMD_NONE;
    uint16 delayShut = 0, delayReboot = 0;
    if (nargs < 2 || !vupanel::parseCommand(args[1], value) ||
        (nargs > 2 && !parseU16(args[2].c_str(), delayShut)) ||
        (nargs > 3 && !parseU16(args[3].c_str(), delayReboot))) {
        usage(stderr, argv[0]);
        return vupanel::PANEL_USAGE;
    }

    std::string err;
    int rc = vupanel::writePanel(dir, args[0], value, delayShut, delayReboot, err);
    if (rc != vupanel::PANEL_OK) {
        fprintf(stderr, "tarvik-panel: %s\n", err.c_str());
        return rc;
    }
    printf("%s: command %u written\n", args[0].c_str(), unsigned(value));
    if (waitS == 0 || value == CMD_NONE)
        return 0;

    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(waitS);
    for (;;) {
        uint8 now = value;
        rc = vupanel::readPanel(dir, args[0], now, err);
        if (rc != vupanel::PANEL_OK) {
            fprintf(stderr, "tarvik-panel: %s\n", err.c_str());
            return rc;
        }
        if (now == CMD_NONE) {
            printf("%s: taken by the card\n", args[0].c_str());
            return 0;
        }
        if (std::chrono::steady_clock::now() >= end) {
            fprintf(stderr, "tarvik-panel: the card did not take the command within %ld s\n", waitS);
            return 6;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}
