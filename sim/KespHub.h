// Multidrop cabinet bus on one machine: a hub joining up to 12 ports.
//
// Every byte written on one port reaches every other port, never the writer
// (a station's receiver is off while it sends). A port is either
//  - a pty port: a pseudo-terminal pair behind a /dev/tty... symlink, for a
//    program that opens a serial device (the card), or
//  - a local port: one end of a socket pair, for a stand-in station in this
//    process (it reads and writes the other end like a line).
//
// Pacing (baud > 0, default 9600): the hub models the wire. Each port has a
// transmitter that sends one byte every 10 bits; the bytes a station writes
// at once leave back to back from the moment the hub reads them, and each byte
// reaches the other ports when its stop bit would have arrived. When bytes of
// two writers overlap in time they collide: every receiver gets the AND of the
// overlapping bytes (an open line reads as 1s, a driven 0 wins) in place of
// each of them, and the writers hear nothing of each other. A collided frame
// therefore fails its check code or its framing everywhere, as on a real line.
// Without pacing (baud 0) bytes are copied as soon as they are read; bytes of
// two writers then interleave in read-sized pieces and nothing collides.
//
// The tap records every frame each port sent (found in that port's own byte
// stream with the bench's framing, kesp::FrameScanner), with its wire time,
// source port, header, length, check result and whether any of its bytes
// collided, plus the raw bytes as read from each port and the breaks that
// stations announce. It keeps the last `tapFrames` entries (bounded).
//
// One thread waits in ppoll on all ports and on the next due byte; nothing
// spins. Memory is bounded: each port's queue towards its far end keeps at
// most outQueueMax bytes (the oldest are dropped), and a pty whose program
// does not read (not started yet, stopped, hung) holds at most staleInputMax
// unread bytes: older ones are discarded, as a line does not wait for a
// deaf station. A port whose far end vanishes (a local station closed its end,
// a read error) is left out of the wait for a while instead of being polled
// again at once.
//
// Faults for the fault matrix: per port, what its station sends can be muted,
// lose every Nth byte, get a bit flipped in every Nth byte or have every Nth
// write cut short (setLineFaults); random noise can be put on the quiet line
// between frames (setNoise); a pty port can vanish, device link and all, and come
// back at the same path (vanishPort, reopenPort).
//
// Timing is the real monotonic clock (wire behaviour).
#ifndef TVK_SIM_KESPHUB_H
#define TVK_SIM_KESPHUB_H

#include "KespWire.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tvksim {

class PtyEnd;

struct HubOptions {
    unsigned baud = 9600;          // 0: no pacing
    size_t tapFrames = 4096;       // tap entries kept
    size_t rawChunks = 4096;       // raw read chunks kept
    size_t outQueueMax = 4096;     // bytes queued towards one port
    size_t staleInputMax = 2048;   // unread bytes a pty port may hold (about)
    int stallMs = 500;             // a partial frame in the tap is given up after this
};

struct TapEntry {
    enum Kind { FrameSeen, Break, Note };
    Kind kind = FrameSeen;
    size_t seq = 0;        // running number since the last clearTap()
    int64_t firstUs = 0;   // monotonic: STX on the wire (event time for Break/Note)
    int64_t lastUs = 0;    // ETX on the wire
    int port = -1;         // source port; -1 for events
    kesp::Header h;
    bool checkOk = false;
    bool collided = false;
    Frame bytes;
    std::string note;      // Break/Note text

    bool is(uint8_t mainCmd, uint8_t subCmd) const
    {
        return kind == FrameSeen && h.mainCmd == mainCmd && h.subCmd == subCmd;
    }
};

struct RawChunk {
    int64_t us = 0;   // when the hub read it
    int port = -1;
    std::vector<uint8_t> bytes;
};

// Faults of the line at one port, applied to the bytes that port's station
// sends, before they go on the wire (so the tap and every receiver see them).
struct LineFaults {
    bool muted = false;        // nothing the station sends reaches the line (a silent station)
    unsigned flipEvery = 0;    // every Nth byte reaches the line with its lowest bit flipped
    unsigned dropEvery = 0;    // every Nth byte is lost
    unsigned cutEvery = 0;     // every Nth write of the station is cut after cutKeep bytes
    size_t cutKeep = 8;
    bool any() const { return muted || flipEvery || dropEvery || cutEvery; }
};

struct PortStats {
    size_t bytesIn = 0;     // read from the port
    size_t bytesOut = 0;    // written to the port
    size_t dropped = 0;     // bytes for the port dropped (queue full, stale input)
    size_t collided = 0;    // bytes of this port that collided
    size_t errors = 0;      // read/write errors and hang-ups seen
    bool open = true;
};

class KespHub {
public:
    static constexpr int MAX_PORTS = 12;

    explicit KespHub(const HubOptions &opt = HubOptions());
    ~KespHub();
    KespHub(const KespHub &) = delete;
    KespHub &operator=(const KespHub &) = delete;

    // A pty port; the program opens path(port). An empty link gives a unique
    // /dev/ttyTVK... name. Throws std::runtime_error (pty failure, 12 ports).
    int addPtyPort(const std::string &link = std::string(), const std::string &label = std::string());
    // A local port; the station reads and writes *stationFd (non-blocking),
    // which the hub owns and closes when it is destroyed.
    int addLocalPort(const std::string &label, int *stationFd);
    // Convenience: a local port, returning the station's descriptor.
    int attachLocal(const std::string &label)
    {
        int fd = -1;
        addLocalPort(label, &fd);
        return fd;
    }

    int portCount() const;
    std::string path(int port) const;    // pty ports: the /dev/tty... link; else ""
    std::string label(int port) const;
    PtyEnd *pty(int port);               // nullptr for local ports
    // The far end of a port vanishes: a pty's master is closed (the program sees
    // a hang-up; its link stays until the hub goes), a local port's hub end is
    // closed (the station reads end of file).
    void closePort(int port);
    // The station of a local port goes away: the hub closes the station's end
    // (the hub then reads end of file on its own end).
    void detachLocal(int port);
    // A pty port's device vanishes: the master closes (the program sees a hang-up)
    // and the /dev/tty... link goes, so the device is not there at all.
    void vanishPort(int port);
    // A vanished (or closed) pty port comes back: a new pseudo-terminal pair behind
    // the same link, which the program has to open again. Throws std::runtime_error.
    void reopenPort(int port);
    // Faults of the bytes port's station sends (a default LineFaults clears them).
    void setLineFaults(int port, const LineFaults &f);
    // Line noise: every everyMs, `bytes` random bytes reach every port, at a moment
    // when no station is sending (between frames). everyMs 0: off.
    void setNoise(unsigned everyMs, size_t bytes = 4, uint32_t seed = 1);
    PortStats stats(int port) const;
    unsigned baud() const { return opt_.baud; }
    // Wire time of n bytes at the hub's rate (0 without pacing).
    int64_t wireUs(size_t n) const;
    // When the last byte any station has written so far leaves the line (monotonic
    // microseconds, 0 before the first byte): a station that must not talk over
    // another waits until the line has been quiet for a while after it.
    int64_t lineBusyUntilUs() const { return lineBusyUntilUs_.load(); }

    void stop();   // ends the thread; idempotent (the destructor calls it)

    // ---- tap
    std::vector<TapEntry> tap() const;
    std::vector<TapEntry> tapSince(size_t seq) const;   // entries with seq >= seq
    size_t tapCount() const;                           // entries recorded since clearTap()
    std::vector<RawChunk> raw() const;
    void clearTap();
    // Waits (real time) for an entry with seq >= fromSeq that matches; copies it to *out.
    bool waitTap(const std::function<bool(const TapEntry &)> &match, int timeoutMs, TapEntry *out = nullptr,
                 size_t fromSeq = 0) const;
    // Called from the hub thread for every new entry (not under the hub's lock; keep it short).
    void setTapHook(std::function<void(const TapEntry &)> hook);
    // Records an event (a station emulating a line break, a test's marker).
    void noteBreak(const std::string &who);
    void note(const std::string &text);

private:
    std::atomic<int64_t> lineBusyUntilUs_{0};
    struct Port;
    void run();
    void wake();
    void readPort(Port &p, int index, int64_t now);
    void schedule(Port &p, int index, const uint8_t *b, size_t n, int64_t now);
    void deliverDue(int64_t now);
    void deliver(int from, uint8_t v, uint16_t skipMask, int64_t at);
    void flushOut(Port &p);
    void trimStale(Port &p);
    size_t applyFaults(Port &p, uint8_t *b, size_t n);
    void injectNoise(int64_t now);
    void feedTap(Port &p, int index, const uint8_t *b, size_t n, int64_t at, bool collided);
    void emitFound(Port &p, int index, std::vector<kesp::FrameScanner::Found> &found);
    void addEntry(TapEntry e);   // lock held
    int64_t nextDeadline(int64_t now) const;

    HubOptions opt_;
    int wakeFd_ = -1;
    mutable std::mutex m_;
    mutable std::condition_variable cv_;
    std::vector<std::unique_ptr<Port>> ports_;
    bool stopping_ = false;
    std::thread th_;

    std::deque<TapEntry> tap_;
    std::deque<RawChunk> raw_;
    size_t seq_ = 0;
    std::vector<TapEntry> fresh_;   // entries for the hook, taken by the thread
    std::function<void(const TapEntry &)> hook_;
    unsigned noiseEveryMs_ = 0;
    size_t noiseBytes_ = 0;
    uint32_t noiseState_ = 1;
    int64_t noiseDueUs_ = -1;
};

} // namespace tvksim

#endif
