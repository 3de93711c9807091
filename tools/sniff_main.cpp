// Bus sniffer: listens on a line of either bus and never transmits.
//
//   tarvik-sniff-<profile> [--bus kesp|duvex] [--baud N] [--pcap FILE] [--fields] [--stats]
//                          [--quiet] [--duration S] (DEVICE | --file FILE)
//
// DEVICE is a serial port on the line (for example a USB to RS-485 adapter used as
// a tap), opened read-only in raw mode at --baud (default 9600, the cabinet bus's
// rate). On the simulated cabinet bus, give the hub a port of its own for the
// sniffer (tarvik-kesphub --port /dev/ttyTVKsniff, or the plant's --capture) and
// open that: a hub port hears every station, as a tap on the line does.
// --file reads raw bytes from a file ("-": standard input) instead, without times.
//
// One line per frame on standard output: time, source -> destination, letters,
// data length, check result, query/reply, the module-bus frame inside a QT, and
// the reply time when the frame answers the query before it. --fields adds the
// decoded records below each frame. --stats prints per-station figures at the end
// (reply times, hold times, byte gaps against the bus's limits, noise, broken
// frames, line breaks where the port counts them). --pcap writes every frame,
// noise span and break to a pcap file (link type 147, see tools/wireshark/tarvik.lua).
// Ends on SIGINT, SIGTERM, at the end of --file, or after --duration seconds.
#include "Sniff.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace tvksim::sniff;

volatile sig_atomic_t g_stop = 0;
void onSignal(int) { g_stop = 1; }

void usage(const char *prog)
{
    fprintf(stderr,
            "usage: %s [--bus kesp|duvex] [--baud N] [--pcap FILE] [--fields] [--stats] [--quiet]\n"
            "          [--duration S] (DEVICE | --file FILE)\n",
            prog);
}

int64_t wallUs()
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return int64_t(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

speed_t speedOf(unsigned baud)
{
    switch (baud) {
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
    case 460800: return B460800;
    case 921600: return B921600;
    default: return B0;
    }
}

// Read-only, raw, at `baud`; breaks neither ignored nor turned into signals (the
// UART's counters tell them).
int openPort(const std::string &path, unsigned baud)
{
    int fd = open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        fprintf(stderr, "sniff: %s: %s\n", path.c_str(), strerror(errno));
        return -1;
    }
    struct termios t;
    if (tcgetattr(fd, &t) != 0) {
        fprintf(stderr, "sniff: %s is not a terminal: %s\n", path.c_str(), strerror(errno));
        close(fd);
        return -1;
    }
    cfmakeraw(&t);
    t.c_iflag &= tcflag_t(~(IGNBRK | BRKINT | PARMRK | INPCK | IXON | IXOFF));
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cflag &= tcflag_t(~(CRTSCTS | PARENB | CSTOPB));
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, speedOf(baud));
    cfsetospeed(&t, speedOf(baud));
    if (tcsetattr(fd, TCSANOW, &t) != 0)
        fprintf(stderr, "sniff: %s: settings not taken: %s\n", path.c_str(), strerror(errno));
    return fd;
}

struct Output {
    Bus bus;
    bool fields = false, quiet = false;
    Stats stats;
    PcapWriter pcap;
    size_t frames = 0;
    explicit Output(Bus b) : bus(b), stats(b) {}

    void take(std::vector<Event> &events)
    {
        for (const Event &e : events) {
            const int64_t reply = stats.add(e);
            pcap.write(e, bus, e.us);
            if (e.kind == Event::FrameSeen)
                ++frames;
            if (quiet)
                continue;
            if (e.kind == Event::FrameSeen) {
                std::string line = describe(e.frame);
                if (reply >= 0) {
                    char b[48];
                    snprintf(b, sizeof b, " (after %.1f ms)", double(reply) / 1000.0);
                    line += b;
                }
                printf("%s\n", line.c_str());
                if (fields)
                    for (const auto &kv : tvksim::sniff::fields(e.frame))
                        printf("    %s = %s\n", kv.first.c_str(), kv.second.c_str());
            } else if (e.kind == Event::NoiseSeen) {
                printf("%s noise %zu bytes%s\n", clockText(e.noise.firstUs).c_str(), e.noise.bytes.size(),
                       e.noise.brokenFrame ? " (broken frame)" : "");
            } else {
                printf("%s break\n", clockText(e.us).c_str());
            }
        }
        events.clear();
        fflush(stdout);
    }
};

} // namespace

int main(int argc, char **argv)
{
    Bus bus = Bus::Kesp;
    unsigned baud = 9600;
    std::string pcapPath, device, file;
    bool fields = false, stats = false, quiet = false;
    long duration = 0;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&]() -> std::string {
            if (i + 1 >= argc) {
                usage(argv[0]);
                exit(2);
            }
            return argv[++i];
        };
        if (a == "--bus") {
            std::string b = next();
            if (b == "kesp")
                bus = Bus::Kesp;
            else if (b == "duvex")
                bus = Bus::Duvex;
            else {
                usage(argv[0]);
                return 2;
            }
        } else if (a == "--baud") {
            baud = unsigned(strtoul(next().c_str(), nullptr, 10));
        } else if (a == "--pcap") {
            pcapPath = next();
        } else if (a == "--fields") {
            fields = true;
        } else if (a == "--stats") {
            stats = true;
        } else if (a == "--quiet") {
            quiet = true;
        } else if (a == "--duration") {
            duration = atol(next().c_str());
        } else if (a == "--file") {
            file = next();
        } else if (!a.empty() && a[0] != '-' && device.empty()) {
            device = a;
        } else {
            usage(argv[0]);
            return 2;
        }
    }
    if (device.empty() == file.empty() || (!device.empty() && speedOf(baud) == B0)) {
        if (!device.empty())
            fprintf(stderr, "sniff: baud rate %u not supported\n", baud);
        usage(argv[0]);
        return 2;
    }

    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = onSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);

    Output out(bus);
    out.fields = fields;
    out.quiet = quiet;
    if (!pcapPath.empty() && !out.pcap.open(pcapPath)) {
        fprintf(stderr, "sniff: cannot write %s: %s\n", pcapPath.c_str(), strerror(errno));
        return 1;
    }
    const int64_t charUs = device.empty() ? 0 : int64_t(10) * 1000000 / baud;
    Decoder dec(bus, charUs);
    std::vector<Event> events;
    uint8_t buf[4096];

    if (!file.empty()) {
        FILE *f = file == "-" ? stdin : fopen(file.c_str(), "rb");
        if (!f) {
            fprintf(stderr, "sniff: %s: %s\n", file.c_str(), strerror(errno));
            return 1;
        }
        out.stats.setBreaksReported(false);
        const int64_t t0 = wallUs();
        size_t n;
        while (!g_stop && (n = fread(buf, 1, sizeof buf, f)) > 0) {
            dec.feed(buf, n, t0, events);
            out.take(events);
        }
        if (f != stdin)
            fclose(f);
    } else {
        const int fd = openPort(device, baud);
        if (fd < 0)
            return 1;
        struct serial_icounter_struct ic0;
        memset(&ic0, 0, sizeof ic0);
        const bool counters = ioctl(fd, TIOCGICOUNT, &ic0) == 0;
        out.stats.setBreaksReported(counters);
        fprintf(stderr, "sniff: listening on %s at %u baud (%s), breaks %s\n", device.c_str(), baud,
                bus == Bus::Kesp ? "cabinet bus" : "module bus",
                counters ? "counted by the port" : "not reported by this port");
        const int64_t end = duration > 0 ? wallUs() + int64_t(duration) * 1000000 : 0;
        while (!g_stop && (end == 0 || wallUs() < end)) {
            struct pollfd p = {fd, POLLIN, 0};
            int r = poll(&p, 1, 100);
            const int64_t now = wallUs();
            if (r < 0 && errno != EINTR)
                break;
            if (r > 0 && (p.revents & POLLIN)) {
                ssize_t n = read(fd, buf, sizeof buf);
                if (n > 0)
                    dec.feed(buf, size_t(n), now, events);
                else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                    // The far end went away (a pty whose master closed): wait, do not spin.
                    usleep(100000);
                }
            } else if (r > 0 && (p.revents & (POLLHUP | POLLERR))) {
                usleep(100000);
            }
            if (counters) {
                struct serial_icounter_struct ic;
                if (ioctl(fd, TIOCGICOUNT, &ic) == 0) {
                    if (ic.brk != ic0.brk) {
                        dec.flush(events);   // a break ends whatever was on the line
                        for (int k = 0; k < ic.brk - ic0.brk; ++k) {
                            Event e;
                            e.kind = Event::Break;
                            e.us = now;
                            events.push_back(e);
                        }
                    }
                    out.stats.addLineErrors(size_t(ic.frame - ic0.frame), size_t(ic.overrun - ic0.overrun),
                                            size_t(ic.parity - ic0.parity));
                    ic0 = ic;
                }
            }
            dec.expire(now, events);
            out.take(events);
        }
        close(fd);
    }
    dec.flush(events);
    out.take(events);
    out.pcap.close();
    if (stats)
        printf("%s", out.stats.report().c_str());
    fflush(stdout);
    fprintf(stderr, "sniff: %zu frames%s\n", out.frames, pcapPath.empty() ? "" : (" written to " + pcapPath).c_str());
    return 0;
}
