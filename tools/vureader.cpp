// tarvik-vu: shows the virtual UPS tree of a running card, read-only.
//
//   tarvik-vu-<profile> [--json] [--dir DIR] [--watch N [--count K]]
//
// Attaches to the card's segment (key from DIR/Tarvik, project 1) read-only, copies
// it and detaches at once, then prints every node reachable from the system node:
// kind, Description, ID, links and the records. The segment is treated as
// untrusted (bounded indices, cycles stopped, texts bounded).
//
// Exit status: 0 tree shown; 1 no key file or no segment; 2 usage; 3 segment not
// readable as a tree; 4 tree shown with problems (bad links, cycles).
#include "Profile.h"
#include "SysClock.h"
#include "VUDump.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace {

void usage(FILE *f, const char *prog)
{
    fprintf(f,
            "usage: %s [--json] [--dir DIR] [--watch N [--count K]]\n"
            "  Shows the virtual UPS tree of the card running in DIR (default \".\"),\n"
            "  whose segment key is made from DIR/Tarvik. Built for the %s record layout.\n"
            "  --json      one JSON document per snapshot (one line)\n"
            "  --dir DIR   directory holding the card's \"Tarvik\" key file\n"
            "  --watch N   repeat every N seconds (until interrupted)\n"
            "  --count K   with --watch: stop after K snapshots\n",
            prog, profile::name);
}

bool parseCount(const char *s, long &out)
{
    if (!s || !*s)
        return false;
    char *end = nullptr;
    errno = 0;
    long v = strtol(s, &end, 10);
    if (errno || *end || v < 1 || v > INT_MAX)
        return false;
    out = v;
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    vudump::Format fmt = vudump::Format::Text;
    std::string dir = ".";
    long watch = 0;
    long count = 0;

    for (int i = 1; i < argc; ++i) {
        const char *a = argv[i];
        if (!strcmp(a, "--json")) {
            fmt = vudump::Format::Json;
        } else if (!strcmp(a, "--dir") && i + 1 < argc) {
            dir = argv[++i];
        } else if (!strcmp(a, "--watch") && i + 1 < argc) {
            if (!parseCount(argv[++i], watch)) {
                fprintf(stderr, "%s: --watch needs a whole number of seconds >= 1\n", argv[0]);
                return vudump::EXIT_USAGE;
            }
        } else if (!strcmp(a, "--count") && i + 1 < argc) {
            if (!parseCount(argv[++i], count)) {
                fprintf(stderr, "%s: --count needs a whole number >= 1\n", argv[0]);
                return vudump::EXIT_USAGE;
            }
        } else if (!strcmp(a, "--help") || !strcmp(a, "-h")) {
            usage(stdout, argv[0]);
            return vudump::EXIT_OK;
        } else {
            fprintf(stderr, "%s: unknown or incomplete option \"%s\"\n", argv[0], a);
            usage(stderr, argv[0]);
            return vudump::EXIT_USAGE;
        }
    }
    if (count && !watch) {
        fprintf(stderr, "%s: --count goes with --watch\n", argv[0]);
        return vudump::EXIT_USAGE;
    }

    int status = vudump::EXIT_OK;
    for (long n = 0;; ++n) {
        if (watch && fmt == vudump::Format::Text) {
            time_t t = sysclock::now();
            struct tm tmv;
            char buf[32] = "?";
            if (localtime_r(&t, &tmv))
                strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tmv);
            printf("=== %s ===\n", buf);
        }
        vudump::Snapshot snap;
        std::string err;
        status = vudump::takeSnapshot(dir, snap, err);
        if (status != vudump::EXIT_OK) {
            fprintf(stderr, "%s: %s\n", argv[0], err.c_str());
        } else {
            if (!snap.settled)
                fprintf(stderr, "%s: the card kept publishing while the tree was read; it may mix two updates\n",
                        argv[0]);
            std::string out;
            status = vudump::formatTree(snap, fmt, out);
            fwrite(out.data(), 1, out.size(), stdout);
        }
        fflush(stdout);
        if (!watch || (count && n + 1 >= count))
            break;
        sysclock::sleepSec(unsigned(watch));
    }
    return status;
}
