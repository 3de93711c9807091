// Stand-in for the power module ('1') and the bypass module ('8') of one
// cabinet, answering on the far (master) end of a pty.
//
// It speaks the module-bus frames with its own small framing, nibble and CRC
// code (never the card's codec), so that the two check each other. It answers
// from a plain value state that tests set, can be told to misbehave (silence,
// refusals, late answers, noise, bad check codes, wrong source, long replies,
// cut replies, raw bytes), paces its bytes at a baud rate when asked, and records every
// frame it received.
#ifndef TVK_POWERMODULESIM_H
#define TVK_POWERMODULESIM_H

#include <array>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tvksim {

class PtyEnd;

// Values the module reports, in the units the replies carry them.
struct ModuleState {
    // GI (texts are sent as 16, 16 and 12 raw bytes, padded with blanks).
    std::string SN = "TVKSIM0000000001";
    std::string Model = "TVK-PM30";
    std::string SWVer = "01.02.03";
    uint8_t IO_Cfg = '2';        // '1' 36-byte RS, '3' 42, '2' or '4' 58
    uint8_t UPS_Type = '1';
    uint8_t Boost_Cfg = '0';
    uint8_t Buck_Cfg = '0';
    uint8_t Error_CTRL = '0';
    uint8_t PwrShareCfg = '0';
    uint8_t BattBenches = '1';
    uint8_t NBattForBench = 40;  // raw byte (modular modules send a nibble character)
    uint8_t ParallelInfo = '0';
    uint8_t TypeMachine = '0';
    uint8_t Cover = '0';
    uint8_t TypeInput = '0';

    // GN
    uint32_t VA = 30000;
    uint32_t W = 27000;
    uint16_t BatteryV = 480;
    uint16_t BatteryAh = 9;
    uint16_t VoutNom = 230;
    uint16_t FreqOut = 500;      // tenths of Hz

    // RS flag nibbles
    bool Output_Powered = true, Lock = false, Battery_Working = false, Battery_Low = false;
    bool On_Bypass = false, Eco_Mode = false;
    bool Bypass_Bad = false, Battery_Charging = false, Replace_Battery = false;
    bool Shutdown_Active = false, Shutdown_Imminent = false, Test_in_progress = false, BeeperOn = false;
    bool Fault = false, Alarm_Overload = false, Alarm_Temperature = false;
    // RS values
    uint16_t Frq_in = 500, Frq_out = 500, Frq_byp = 500;
    std::array<uint16_t, 3> Vin{{230, 231, 232}};
    std::array<uint16_t, 3> Vout{{230, 230, 230}};
    std::array<uint8_t, 3> Load{{25, 26, 27}};
    std::array<uint16_t, 3> Vbyp{{229, 229, 229}};
    uint16_t VbatRS = 0;         // RS data 25..28 (read by modular cards only)
    uint8_t Carica_adj = 100;
    uint16_t Aut_time = 0x3C;    // 0xFFF: "unknown"
    uint8_t Temp0 = 30;

    // RE
    std::array<uint16_t, 3> Iout{{10, 11, 12}};
    std::array<uint32_t, 3> Watt{{2000, 2100, 2200}};
    std::array<uint32_t, 3> Va{{2300, 2400, 2500}};

    // RA / RC status detail
    std::array<uint8_t, 22> states{};
    std::array<uint8_t, 8> statesExt{};

    // RX
    std::array<uint8_t, 4> FlagExt{};
    uint8_t statusCode = 0;
    uint16_t Vbatp = 270, Vbatn = 270, Ibatp = 0, Ibatn = 0;
    std::array<uint16_t, 3> Uin{{230, 230, 230}};
    std::array<uint16_t, 3> Iin{{9, 9, 9}};
    std::array<uint16_t, 3> Ubyp{{229, 229, 229}};
    std::array<uint16_t, 3> Uout{{230, 230, 230}};
    std::array<uint16_t, 3> Iout_pk{{15, 15, 15}};
    std::array<uint8_t, 4> powerTemp{{30, 31, 32, 33}};
    std::array<uint8_t, 2> batteryTemp{{25, 26}};
    std::array<uint16_t, 2> DCBusVolt{{400, 400}};
    uint8_t configCounter = 1;
    uint32_t runningSeconds = 125;   // sent as six nibble characters
    uint32_t Cent_kwh = 12345;

    // DS (values as carried: battery voltages per battery in tenths, currents)
    uint16_t dsVbatP = 135, dsVbatN = 135, dsIbatP = 0, dsIbatN = 0;
    // RK (modular): Iout_pk above, then these temperatures
    std::array<uint8_t, 6> Temp{{30, 31, 32, 33, 34, 35}};
    // DE (modular): Iin above.

    // GE (modular): the auxiliary firmware text as it reads, then 4 raw bytes. On the
    // wire the characters above '9' at positions 7, 8, 10 and 11 go lowered by 7 ('A'
    // as ':', 'F' as '?'); a module without auxiliary firmware sends "QTN914-XX-XX",
    // which reads "QTN914-__-__".
    std::string SWVer_AUX = "QTN914-1A-02";
    std::array<uint8_t, 4> tbdGE{{'0', '0', '0', '0'}};

    // Data of GM, SV and of a DC to the bypass with one parameter (4 bytes each)
    std::array<uint8_t, 4> GM{{'0', '0', '0', '0'}};
    std::array<uint8_t, 4> SV{{'0', '0', '0', '0'}};
    std::array<uint8_t, 4> DCbypass{{'0', '0', '0', '0'}};

    // Written by the module itself: the 12 characters of the last ST.
    std::string lastClock;
};

// Misbehaviour, applied to the replies that match the filters.
struct Faults {
    bool silent = false;            // do not answer
    uint8_t nakCode = 0;            // refuse with this code character ('1'..'6', ...); 0 = no
    unsigned delayMs = 0;           // answer this much later
    std::vector<uint8_t> noise;     // bytes sent before the reply
    bool corruptCheck = false;      // send a wrong check code
    uint8_t wrongSrc = 0;           // reply Src replaced by this address; 0 = no
    int extraData = 0;              // append this many '0' data bytes (the length field grows)
    std::vector<uint8_t> raw;       // send exactly these bytes instead of the reply
    size_t cutAfter = 0;            // send only the first cutAfter bytes of the reply (a cut frame); 0 = whole
    // Filters
    std::string onlyCmd;            // e.g. "RS"; empty = every command
    uint8_t onlyDest = 0;           // '1' or '8'; 0 = both
    int count = -1;                 // replies affected, then back to normal; -1 = until cleared
};

// One frame as received (STX .. ETX).
using Frame = std::vector<uint8_t>;

// Timing of one answered query, for benches (monotonic clock, microseconds).
struct ExchangeTiming {
    int64_t queryFirstUs = 0;   // first byte of the query read from the line
    size_t queryLen = 0;
    int64_t replyStartUs = 0;   // reply writing begins (after the query's wire time)
    int64_t replyEndUs = 0;     // last byte of the reply written
    size_t replyLen = 0;        // bytes written, noise included
    uint8_t mainCmd = 0;        // the query's command characters
    uint8_t subCmd = 0;
};

class PowerModuleSim {
public:
    // Answers on `end` (the test keeps it alive longer than the stand-in) for
    // the addresses in `addresses`. The thread starts at once.
    explicit PowerModuleSim(PtyEnd &end, std::string addresses = "18");
    ~PowerModuleSim();
    PowerModuleSim(const PowerModuleSim &) = delete;
    PowerModuleSim &operator=(const PowerModuleSim &) = delete;

    // Ends the thread (call before closing the pty master). Idempotent.
    void stop();

    ModuleState state() const;
    void setState(const ModuleState &s);
    void update(const std::function<void(ModuleState &)> &fn);   // atomic edit

    void setFaults(const Faults &f);
    void clearFaults();

    // Byte pacing at `baud` (0: write at once). While pacing, the module also
    // waits for the query's own wire time before it answers.
    void setBaud(unsigned baud);
    // Extra processing time before every reply (ms).
    void setTurnaroundMs(unsigned ms);

    // Called under the stand-in's lock for every well-formed command addressed
    // to it, before the reply is built: lets a test or the demo change the state.
    void setCommandHook(std::function<void(const Frame &, ModuleState &)> hook);

    // Called from the stand-in's thread after every reply it wrote (not under its
    // lock; keep it short). Empty function: off.
    void setTimingHook(std::function<void(const ExchangeTiming &)> hook);

    // Called from the stand-in's thread with the bytes of the line as they pass:
    // toModule true for bytes read from the card, false for bytes about to be
    // written to it; lastByteUs is when the last of them is on the wire (monotonic).
    // Not under the stand-in's lock; keep it short. Empty function: off.
    using WireHook = std::function<void(bool toModule, const uint8_t *p, size_t n, int64_t lastByteUs)>;
    void setWireHook(WireHook hook);

    // Frames received (every complete frame, whatever its address; the last
    // 4096 are kept) and their total count since the last clearReceived().
    std::vector<Frame> received() const;
    size_t receivedCount() const;
    void clearReceived();
    // Waits (real time) until at least n frames were received.
    bool waitReceived(size_t n, unsigned timeoutMs) const;
    // Replies written so far (refusals included, silences not).
    size_t repliesSent() const;

    // The reply the module would send to `query` (no faults applied); for tests.
    Frame replyFor(const Frame &query);

    // Framing helpers of the stand-in (its own code, independent of the card's).
    static uint16_t crc(const uint8_t *p, size_t n);
    static void putHex(std::vector<uint8_t> &out, uint32_t value, int digits);
    static Frame makeFrame(uint8_t src, uint8_t dest, uint8_t mainCmd, uint8_t subCmd,
                           const std::vector<uint8_t> &data, bool corruptCheck = false);

private:
    void run();
    void handleFrame(const Frame &f, int64_t firstByteUs);
    Frame buildReply(const Frame &q, ModuleState &st);   // lock held
    bool waitFor(int64_t untilUs);                       // false when stopping

    PtyEnd &end_;
    std::string addresses_;
    int wakeFd_ = -1;
    std::thread th_;
    mutable std::mutex m_;
    mutable std::condition_variable cv_;
    bool stopping_ = false;
    ModuleState st_;
    Faults faults_;
    bool faultsOn_ = false;
    unsigned baud_ = 0;
    unsigned turnaroundMs_ = 0;
    std::function<void(const Frame &, ModuleState &)> hook_;
    std::function<void(const ExchangeTiming &)> timingHook_;
    WireHook wireHook_;
    std::vector<Frame> received_;   // the last 4096 frames
    size_t receivedTotal_ = 0;
    size_t replies_ = 0;
};

} // namespace tvksim

#endif
