// Cabinet-bus framing of the bench: frames, check code, a stream scanner and
// the byte images of the records the stand-in stations carry.
//
// This is the bench's own code, written from the frame and record layouts; it
// never uses the card's codec, so that the two check each other.
//
// Frame: STX, Src, Dest, MainCmd, SubCmd, DataLength (2 bytes, high first),
// Data, Check (CRC of Src .. last data byte, high first), ETX. Payload records
// (BN, BS, BI, CN) are packed images in the host's byte order; GI fields are
// big-endian.
#ifndef TVK_SIM_KESPWIRE_H
#define TVK_SIM_KESPWIRE_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tvksim {

using Frame = std::vector<uint8_t>;

namespace kesp {

constexpr uint8_t STX = 0x02;
constexpr uint8_t ETX = 0x03;
constexpr uint8_t ACK = 0x06;
constexpr uint8_t NAK = 0x15;
constexpr uint8_t BROADCAST = 0xFF;
constexpr uint8_t GROUPMASTER = 0xE0;
constexpr uint8_t FIRST_CABINET = 0xEA;   // cabinet A; B, C, D follow
constexpr uint8_t FIRST_MU = 0x0A;        // MU board of cabinet A
constexpr size_t OVERHEAD = 10;
constexpr size_t MAX_FRAME = 1024;
constexpr size_t MAX_DATA = MAX_FRAME - OVERHEAD;

// Reply and query data lengths.
constexpr size_t GI_LEN = 64;
constexpr size_t BN_LEN = 20;
constexpr size_t BS_LEN = 332;           // cabinet record area (331) + MU index
constexpr size_t BS_RECORD_AREA = 331;
constexpr size_t BI_LEN = 98;
constexpr size_t CN_LEN = 93;
constexpr size_t SI_LEN = 16;
constexpr size_t SC_LEN = 374;
constexpr size_t QT_STAMP_LEN = 4;

inline uint8_t cabinetAddr(int index) { return uint8_t(FIRST_CABINET + index); }
inline uint8_t muAddr(int index) { return uint8_t(FIRST_MU + index); }
inline bool isCabinetAddr(uint8_t a) { return uint8_t(a - FIRST_CABINET) < 4; }

// CRC-16, reflected polynomial 0x8408, bit by bit (the card uses a table).
uint16_t crc(const uint8_t *p, size_t n, uint16_t init = 0x554D);

// A frame with `data`. badCheck flips the check code; lenFieldDelta changes the
// announced DataLength without changing the bytes sent (the check code is
// computed over the bytes as sent).
Frame makeFrame(uint8_t src, uint8_t dest, uint8_t mainCmd, uint8_t subCmd,
                const std::vector<uint8_t> &data = {}, bool badCheck = false, int lenFieldDelta = 0);
// The 11-byte positive acknowledgement and a 10-byte negative reply.
Frame makeAck(uint8_t src, uint8_t dest, uint8_t mainCmd, uint8_t subCmd);
Frame makeNak(uint8_t src, uint8_t dest, uint8_t code);

// Header of a frame as laid out on the wire.
struct Header {
    uint8_t src = 0, dest = 0, mainCmd = 0, subCmd = 0;
    uint16_t dataLen = 0;
};
// True when `f` is a complete frame: STX, DataLength + 10 bytes, ETX. checkOk
// (when given) tells whether its check code is right.
bool parse(const Frame &f, Header &h, bool *checkOk = nullptr);
std::vector<uint8_t> dataOf(const Frame &f);   // the data bytes of a parsed frame
std::string describe(const Frame &f);          // "EA->FF BS len 332 ok" (for logs and failures)
std::string hex(const uint8_t *p, size_t n);

// Finds frames in a byte stream: resynchronises one byte at a time to the next
// STX when a candidate is too long (above maxData), has no ETX where its length
// puts it, or stalls (no byte for stallMs). A candidate with the ETX in place
// is taken whole, its check code good or not.
class FrameScanner {
public:
    struct Found {
        Frame bytes;
        bool checkOk = false;
        int64_t firstUs = 0;   // arrival of the STX
        int64_t lastUs = 0;    // arrival of the ETX
    };
    explicit FrameScanner(size_t maxData = MAX_DATA, int stallMs = 500);
    void feed(const uint8_t *p, size_t n, int64_t atUs, std::vector<Found> &out);
    // Gives up on a stalled candidate (call when the line was quiet).
    void expire(int64_t nowUs, std::vector<Found> &out);
    // When a stalled candidate would be given up; -1 when nothing waits.
    int64_t deadlineUs() const;
    size_t pending() const { return buf_.size(); }
    size_t skipped() const { return skipped_; }   // bytes dropped while resynchronising
    void clear();

private:
    void scan(std::vector<Found> &out);
    void dropFront();
    size_t maxData_;
    int64_t stallUs_;
    std::vector<uint8_t> buf_;
    std::vector<int64_t> at_;
    size_t skipped_ = 0;
};

// ---- Records carried by the cabinet messages --------------------------------

// Cabinet record layouts: the full one (naval, standard: 331 bytes) and the
// reduced one (modular: 267 bytes). The BS payload is always 332 bytes: the
// record area (331, a shorter record padded with zeros) then the MU index.
enum class RecordLayout { Full, Reduced };
RecordLayout buildLayout();   // the layout of this build's profile

struct CabinetOffsets {
    size_t size;           // bytes of the record
    size_t timestamp;      // cabinet record time stamp (mytime_t)
    size_t upsTimestamp;   // Ups.timestamp
    size_t alarm, status, extStatus, switchStatus, pmStatus;
    int statusCode;        // Ups.statusCode; -1: not in this layout
    size_t vin, frqIn, vbyp, vout, frqOut;   // uint16 [3] / uint16
    size_t batteries;
    size_t subSystem;
    size_t boxStatus, externalSwitchStatus, mcuStatus, mcuMuStatus;
    int statusDetail;      // statusCoding_t (time stamp + 22 bytes); -1: none
};
const CabinetOffsets &cabinetOffsets(RecordLayout l);

// A BS payload (332 bytes) that a test or the plant scripts field by field.
class CabinetImage {
public:
    explicit CabinetImage(RecordLayout l = buildLayout());
    RecordLayout layout() const { return layout_; }
    const CabinetOffsets &offsets() const { return cabinetOffsets(layout_); }
    std::vector<uint8_t> &bytes() { return b_; }
    const std::vector<uint8_t> &bytes() const { return b_; }

    CabinetImage &setTimestamp(int32_t t);      // record and Ups time stamps
    CabinetImage &setStatusCode(uint8_t code);  // ignored by the reduced layout
    CabinetImage &setIdu(uint8_t idu);          // byte 331
    CabinetImage &setAlarm(uint8_t v);
    CabinetImage &setStatus(uint8_t v);
    CabinetImage &setExtStatus(uint8_t v);
    CabinetImage &setVout(int phase, uint16_t v);
    CabinetImage &setFrqOut(uint16_t v);
    CabinetImage &setBoxStatus(uint8_t v);
    CabinetImage &setU8(size_t off, uint8_t v);
    CabinetImage &setU16(size_t off, uint16_t v);   // host order
    CabinetImage &setI32(size_t off, int32_t v);

private:
    RecordLayout layout_;
    std::vector<uint8_t> b_;
};

// BN payload (nominal record, 20 bytes, host order).
struct Nominal {
    int32_t timestamp = 0;
    uint32_t VA = 30000, W = 27000;
    uint16_t BatteryV = 480, BatteryAh = 9, Vout = 230, FreqOut = 500;
    std::vector<uint8_t> encode() const;
};

// BI payload (identification record, 98 bytes). Texts are padded with blanks and
// NUL-terminated in their fields; the enumerations are single characters (the
// reduced layout calls bytes 60..62 tbdGI).
struct Identification {
    int32_t timestamp = 0;
    std::string SN = "TVKCAB0000000001", Model = "TVK-CAB", SWVer = "SH1.0FW1.0";
    uint8_t IO_Cfg = '4', UPS_Type = '1', Boost_Cfg = '1', Buck_Cfg = '1', Error_CTRL = '1';
    uint8_t PwrShareCfg = '0', BattBenches = '2', NBattForBench = '0', ParallelInfo = '1';
    uint8_t TypeMachine = '2', Cover = '1', TypeInput = '1';
    std::string SN_AUX = "", SWVer_AUX = "";
    std::array<uint8_t, 4> tbdGE{{'0', '0', '0', '0'}};
    uint8_t partialInfo = 0;
    std::vector<uint8_t> encode() const;
};

// GI payload of an MU board (64 bytes, numbers big-endian).
struct BoardInfo {
    std::string SerialNumber = "TVKMU00000000001";   // 16 characters
    std::string UpsConfig = "TVK-MU";                // 16
    std::string FWVersion = "MU01.02.03";            // 12
    uint16_t Address = 0;        // 0: the board's bus address
    uint16_t SkCfg = 0x0001;     // board type
    std::array<uint16_t, 8> cfg{{0, 0, 0, 0, 0, 0, 0, 0}};   // cfg1 .. cfg8
    std::vector<uint8_t> encode(uint8_t busAddr) const;
};

// CN payload (93 bytes, packed, host order).
struct ClockEntry {
    int32_t sec = 0, usec = 0;   // time of day of the cabinet
    int32_t epochT = 0;          // 0 no entry, 1 valid without a manual setting
    int32_t delta = 0;           // ms
};
struct CnData {
    int32_t build = -1;
    uint8_t nextMaster = 0;
    uint32_t bitStatus = 3;      // bits 0-1 forcedOnBypass, 3 (= -1) asks nothing
    std::array<int32_t, 4> remoteTimeSuspended{{0, 0, 0, 0}};
    std::array<ClockEntry, 4> clk{};
    uint32_t TftTime = 0;
    std::vector<uint8_t> encode() const;
    static bool decode(const std::vector<uint8_t> &d, CnData &out);   // false unless 93 bytes
};

} // namespace kesp
} // namespace tvksim

#endif
