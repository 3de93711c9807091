#include "CmdLine.h"

#include "Globals.h"
#include "Log.h"
#include "Profile.h"

#include <cstdlib>
#include <cstring>

namespace {

// Decimal, leading digits only, no range check: the value wraps like the 32-bit
// integer it is stored in. Text without digits gives 0.
int32 parseDecimal(const char *s)
{
    if (!s)
        return 0;
    long long v = strtoll(s, nullptr, 10);
    return int32(uint32(uint64(v)));
}

} // namespace

int parseCommandLine(int argc, char **argv)
{
    tvk_raw("%s", profile::banner);
    tvk_raw("%s / %s\n", build_date, build_git_sha);

    if (argc < 7 || !argv) {
        LOGE("Missing parameter, #1 Device port name, #2 KESP port name, #2 baud rate, #3 module ID "
             "#4 maschera configurazione #5 true if on real vintor\n");
        return -1;
    }

    serialPort = argv[1];
    serialPortKESP = argv[2];
    deviceBaudRate = parseDecimal(argv[3]);

    switch (argv[4] ? argv[4][0] : '\0') {
    case '1': KESPAddr = 234; break;
    case '2': KESPAddr = 235; break;
    case '3': KESPAddr = 236; break;
    case '4': KESPAddr = 237; break;
    default: break;   // keeps 224
    }

#if defined(TVK_MODULAR)
    int16 v = int16(parseDecimal(argv[5]) - 1000);
    if (v < 0) {
        LOGE("Invalid system configuration: %d", int(v));
        return -1;
    }
    moduleApresent = true;
#else
    int16 v = int16(parseDecimal(argv[5]));
    moduleApresent = ((v / 1000) & 1) != 0;
#endif
    moduleBpresent = ((v / 100) & 1) != 0;
    moduleCpresent = ((v / 10) & 1) != 0;
    moduleDpresent = (v & 1) != 0;

    if (argv[6] && strcmp(argv[6], "true") == 0) {
        tvk_raw("Running on a real vintor!\n");
        jsonPath = "/var/log/vu.json";
        jsonPathTMP = "/var/log/vu.tmp";
    } else {
        tvk_raw("Running on chroot...\n");
        jsonPath = "/home/kelmo/vu.json";
        jsonPathTMP = "/home/kelmo/vu.tmp";
    }
    return 0;
}
