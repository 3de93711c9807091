// Pseudo-terminal bench: a serial line for tests and stand-in devices.
//
// The program under test opens the slave side through a /dev/tty... symlink (the
// channel layer only accepts such names); the test or a stand-in device plays
// the far end on the master side.
//
// Timing on the far end (gaps, pacing, read waits) runs on the real clock: it is
// wire behaviour, matched by the program's real-time waits on its port.
#ifndef TVK_SIM_PTYBENCH_H
#define TVK_SIM_PTYBENCH_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tvksim {

class PtyEnd {
public:
    // Creates the pair, puts both ends in raw mode, creates the symlink. An empty
    // linkName gives a unique name like "/dev/ttyTVK<pid>x<n>". A link name that is
    // already taken is an error, except a dangling symlink into /dev/pts (left by a
    // dead run), which is replaced. Throws std::runtime_error on failure.
    explicit PtyEnd(const std::string &linkName = std::string());
    ~PtyEnd();   // removes the symlink (if it is still ours), closes the fds
    PtyEnd(const PtyEnd &) = delete;
    PtyEnd &operator=(const PtyEnd &) = delete;

    const std::string &path() const { return link_; }        // the /dev/tty... symlink
    const std::string &slaveName() const { return slave_; }  // "/dev/pts/N"
    int masterFd() const { return master_; }

    // Far end → program. Each returns false when the line is gone or does not
    // take the bytes within a few seconds.
    bool write(const uint8_t *p, size_t n);   // all at once
    bool write(const std::vector<uint8_t> &v) { return write(v.data(), v.size()); }
    // `chunk` bytes at a time with `gapMs` between the chunks (measured from the
    // start of the previous chunk, so delays do not add up).
    bool writeChunks(const uint8_t *p, size_t n, size_t chunk, int gapMs);
    // Like a line at `baud`: 10 bits per byte, each byte written when it is due.
    bool writePaced(const uint8_t *p, size_t n, int baud);

    // Program → far end: waits up to firstMs for the first byte, then returns when
    // idleMs pass with no new byte or when max bytes arrived.
    std::vector<uint8_t> read(size_t max, int firstMs, int idleMs = 20);
    // Discards whatever the program wrote so far; returns the count.
    size_t drain();

    // Bytes written by the far end and not yet read by the program (FIONREAD on
    // the slave); -1 when the line is gone.
    int pendingToProgram() const;
    // Waits (up to timeoutMs) until the slave side reports FIONREAD > 0. The pty
    // hands data over asynchronously: call this before a step that must see it.
    bool waitPendingVisible(int timeoutMs);
    // Waits (up to timeoutMs) until the program has read everything written to it.
    bool waitConsumed(int timeoutMs);

    // The far end vanishes: the master is closed, the slave hangs up.
    void closeMaster();
    bool masterOpen() const { return master_ >= 0; }

    // A fresh unique link name with the given prefix ("/dev/ttyTVK", "/dev/tntTVK").
    static std::string uniqueLinkName(const std::string &prefix = "/dev/ttyTVK");

private:
    int master_ = -1;
    // Kept open (never read) so that the line and its settings stay alive while
    // the program has not opened the slave yet, or has closed it again.
    int slaveKeep_ = -1;
    std::string slave_;
    std::string link_;
};

// Removes leftover /dev/ttyTVK<pid>x... and /dev/tntTVK<pid>x... symlinks of
// processes that no longer run. Returns the number removed.
int cleanupStaleLinks();

} // namespace tvksim

#endif
