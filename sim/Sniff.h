// Bus sniffer core: finds the frames of either bus in a stream of bytes heard on
// the line, checks them, tells queries from replies, unpacks the module-bus frame
// inside a cabinet-bus QT, keeps per-station timing figures and writes pcap files.
//
// Pure: no port, no clock, no logging. The tool (tools/sniff_main.cpp), the
// plant's capture, the tests and the fuzzer feed it bytes with their times.
//
// Resynchronisation: a candidate starts at STX; it is given up one byte at a time
// (to the next STX) when its length field is impossible, when no ETX stands where
// its length puts it, or when the line stays silent inside it longer than the
// bus's byte time-out. A candidate with its ETX in place is a frame, good check
// or bad, unless a frame with a good check starts inside it (then the bytes
// before that frame were a broken frame: two stations at once, or noise).
// Memory is bounded by one longest frame plus one noise chunk.
#ifndef TVK_SIM_SNIFF_H
#define TVK_SIM_SNIFF_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace tvksim {
namespace sniff {

enum class Bus : uint8_t { Kesp = 1, Duvex = 2 };

// What a frame is on the line.
enum class Role : uint8_t { Query = 0, Reply = 1, Ack = 2, Nak = 3 };
const char *roleName(Role r);

// Frame limits of the two buses.
constexpr size_t KESP_OVERHEAD = 10, KESP_MAXFRAME = 1024;
constexpr size_t DUVEX_OVERHEAD = 12, DUVEX_MAXFRAME = 255;   // 8-bit frame length
constexpr size_t NOISE_CHUNK = 256;                           // noise is reported in pieces of at most this

// A module-bus frame found inside a cabinet-bus QT message.
struct Inner {
    bool present = false;   // the QT data hold a complete module-bus frame
    size_t offset = 0;      // into the outer frame's bytes
    size_t length = 0;
    uint8_t src = 0, dest = 0, mainCmd = 0, subCmd = 0;
    uint16_t dataLen = 0;
    bool checkOk = false;
    Role role = Role::Query;
    int32_t stamp = 0;      // QT reply: the relaying card's time stamp (host order)
};

struct Frame {
    Bus bus = Bus::Kesp;
    std::vector<uint8_t> bytes;   // STX .. ETX
    int64_t firstUs = 0;          // STX heard
    int64_t lastUs = 0;           // ETX heard
    int64_t maxGapUs = 0;         // longest silence between two of its bytes
    uint8_t src = 0, dest = 0, mainCmd = 0, subCmd = 0;
    uint16_t dataLen = 0;
    uint16_t checkGot = 0, checkCalc = 0;
    bool checkOk = false;
    Role role = Role::Query;
    size_t skippedBefore = 0;     // bytes given up since the previous frame
    bool collided = false;        // a source that knows it (the hub) says two stations overlapped
    Inner inner;                  // QT only
    int port = -1;                // source port when the source knows it (hub tap), else -1

    const uint8_t *data() const { return bytes.data() + 7; }
};

// Bytes that formed no frame (noise, or the remains of frames that overlapped).
struct Noise {
    std::vector<uint8_t> bytes;
    int64_t firstUs = 0, lastUs = 0;
    bool brokenFrame = false;   // the span held an STX: a frame that did not complete
};

struct Event {
    enum Kind { FrameSeen, NoiseSeen, Break };
    Kind kind = FrameSeen;
    Frame frame;
    Noise noise;
    int64_t us = 0;   // Break: when it was seen
};

// Checks one complete frame (STX .. ETX, exactly) and fills `out` (bytes, header,
// check, role, inner frame). False when the bytes are not a frame of that bus
// (length, STX, ETX, length characters); the check code may be wrong in a true result.
bool parseFrame(Bus bus, const uint8_t *p, size_t n, Frame &out);

class Decoder {
public:
    // charUs: wire time of one byte (10 bits at the baud rate; 0 unknown), used to
    // date the bytes of a chunk back from the time its last byte arrived.
    // stallUs: longest silence inside a frame before the candidate is given up;
    // 0 takes the bus's own byte time-out.
    explicit Decoder(Bus bus, int64_t charUs = 0, int64_t stallUs = 0);
    Bus bus() const { return bus_; }

    // Bytes heard, the last of them at lastByteUs.
    void feed(const uint8_t *p, size_t n, int64_t lastByteUs, std::vector<Event> &out);
    // The line was quiet until nowUs: a candidate stalled longer than stallUs is given up.
    void expire(int64_t nowUs, std::vector<Event> &out);
    // End of input: whatever is buffered is reported (frames it still holds, then noise).
    void flush(std::vector<Event> &out);

    size_t pending() const { return buf_.size(); }
    size_t noiseBytes() const { return noiseTotal_; }

private:
    void scan(std::vector<Event> &out);
    void drop(size_t n, std::vector<Event> &out);
    void emitNoise(std::vector<Event> &out);
    void giveUp(std::vector<Event> &out);
    // Length of a complete frame at buf_[at] (0: not a complete frame yet or not one at all;
    // *impossible set when it can never be one).
    size_t candidate(size_t at, bool *impossible, bool *checkOk) const;

    Bus bus_;
    int64_t charUs_, stallUs_;
    std::vector<uint8_t> buf_;
    std::vector<int64_t> at_;
    Noise noise_;
    size_t noiseTotal_ = 0;
    size_t skipped_ = 0;    // bytes given up since the last frame
    int64_t lastUs_ = 0;
    bool final_ = false;    // no more bytes will come for what is buffered
    size_t need_ = 0;       // the next scan can find something only with this many bytes buffered
};

// One line per frame: time, source, destination, letters, length, check, role,
// and the inner module-bus frame of a QT.
std::string describe(const Frame &f);
// Decoded fields of the records this build knows (cabinet bus: BS, BN, BI, CN, GI,
// the ACK/NAK byte; module bus: GI, GN, a refusal), as name/value pairs.
std::vector<std::pair<std::string, std::string>> fields(const Frame &f);
// "HH:MM:SS.uuuuuu" of a wall-clock time in microseconds (local time).
std::string clockText(int64_t wallUs);

// Per-station timing figures, against the limits of the bus.
struct Limits {
    int64_t replyUs;    // cabinet bus: 3000 ms of silence before a reply; module bus: first-byte time-out
    int64_t byteGapUs;  // longest silence tolerated between bytes of a frame
    int64_t exchangeUs; // module bus: whole exchange (query end to reply end); 0 none
};
Limits limitsOf(Bus bus);   // of this build's profile

struct Figure {
    size_t n = 0;
    int64_t minUs = 0, maxUs = 0, sumUs = 0;
    size_t over = 0;   // above the limit
    void add(int64_t us, int64_t limitUs);
    std::string text(int64_t limitUs) const;
};

struct StationStats {
    size_t frames = 0, badCheck = 0, queries = 0, replies = 0, acks = 0, naks = 0;
    size_t unanswered = 0;        // its queries that got no reply before the next frame
    size_t collided = 0;
    Figure replyTime;             // its answers: query ETX -> its STX
    Figure exchangeTime;          // module bus: query ETX -> its ETX
    Figure holdTime;              // STX -> ETX of its frames
    Figure byteGap;               // longest silence inside each of its frames
    Figure turnaround;            // silence on the line before its frames
};

class Stats {
public:
    explicit Stats(Bus bus);
    // Takes one event; for a frame that answers the previous query returns the reply
    // time (us), else -1.
    int64_t add(const Event &e);
    void addBreaks(size_t n) { breaks_ += n; }
    void setBreaksReported(bool yes) { breaksReported_ = yes; }
    void addLineErrors(size_t frame, size_t overrun, size_t parity)
    {
        frameErr_ += frame;
        overrun_ += overrun;
        parity_ += parity;
    }
    std::string report() const;
    const std::map<uint8_t, StationStats> &stations() const { return st_; }
    size_t noiseBytes() const { return noiseBytes_; }
    size_t brokenFrames() const { return broken_; }
    size_t breaks() const { return breaks_; }

private:
    Bus bus_;
    Limits lim_;
    std::map<uint8_t, StationStats> st_;
    bool havePending_ = false;
    Frame pending_;               // last query waiting for its reply (bytes not kept)
    int64_t lineFreeUs_ = -1;     // end of the last frame or noise
    size_t noiseBytes_ = 0, noiseSpans_ = 0, broken_ = 0;
    size_t breaks_ = 0, frameErr_ = 0, overrun_ = 0, parity_ = 0;
    bool breaksReported_ = true;
    int64_t maxIdleUs_ = 0;
};

// pcap file, link type LINKTYPE_USER0 (147), one packet per frame, noise span or
// break, each led by this 8-byte pseudo-header:
//   0  version (1)
//   1  bus: 1 cabinet bus (KESP), 2 module bus (DUVEX)
//   2  kind: 0 frame, 1 noise (bytes that formed no frame), 2 line break (no payload)
//   3  flags: bit 0 check good, bit 1 reply (bit 2 with it: acknowledgement or refusal),
//      bit 3 collided (the source saw two stations at once), bit 4 reduced record
//      layout (modular build), bit 5 the noise span held an STX (a broken frame)
//   4  source port of the capture (hub port, 0xFF unknown)
//   5  reserved (0)
//   6  bytes given up since the previous frame (16 bits, big-endian, saturating)
// The frame bytes follow unchanged (STX .. ETX).
constexpr uint32_t PCAP_LINKTYPE = 147;
constexpr size_t PSEUDO_HEADER_LEN = 8;
std::vector<uint8_t> pseudoHeader(const Event &e, Bus bus);

class PcapWriter {
public:
    PcapWriter() = default;
    ~PcapWriter();
    PcapWriter(const PcapWriter &) = delete;
    PcapWriter &operator=(const PcapWriter &) = delete;
    bool open(const std::string &path);   // writes the file header; false on failure
    bool isOpen() const { return f_ != nullptr; }
    // wallUs: the packet's time (microseconds since the epoch).
    void write(const Event &e, Bus bus, int64_t wallUs);
    void close();
    size_t packets() const { return packets_; }

private:
    FILE *f_ = nullptr;
    size_t packets_ = 0;
};

} // namespace sniff
} // namespace tvksim

#endif
