// Module-bus codec: check codes, nibble characters, frame building and
// splitting, reply lengths, and the reception/decoding of replies fed from
// memory (no port). Replies are built by the stand-in's own framing code, so
// the two implementations check each other.
#include "DUVEX.h"
#include "PowerModuleSim.h"
#include "QCMgr.h"
#include "TestSupport.h"
#include "crc.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

using tvksim::Frame;
using tvksim::PowerModuleSim;

namespace {

std::vector<uint8> bytes(const std::string &s) { return std::vector<uint8>(s.begin(), s.end()); }

pckStruct pck(uint8 src, uint8 dest, uint8 m, uint8 s, std::vector<uint8> *param = nullptr)
{
    pckStruct p;
    p.Src = src;
    p.Dest = dest;
    p.MainCmd = m;
    p.SubCmd = s;
    p.pParam = param && !param->empty() ? param->data() : nullptr;
    p.ParamLen = param ? uint16(param->size()) : 0;
    return p;
}

std::vector<uint8> build(pckStruct p)
{
    uint8 *f = nullptr;
    uint16 n = DUVEX_BuildQuery(p, f);
    std::vector<uint8> v(f, f + n);
    delete[] f;
    return v;
}

// A byte source that behaves like the channel layer: exactly `len` bytes or a
// time-out (-9) with the partial bytes left in the buffer; optionally an error.
struct MemLine {
    std::vector<uint8> data;
    size_t pos = 0;
    int errorAt = -1;   // read call number that fails with -10
    int calls = 0;
    std::function<void()> onRead;

    DUVEX_ReadFn fn()
    {
        return [this](uint8 *buf, uint16 len, uint32) {
            if (onRead)
                onRead();
            if (calls++ == errorAt)
                return -10;
            size_t n = std::min<size_t>(len, data.size() - pos);
            if (n > 0)
                memcpy(buf, data.data() + pos, n);
            pos += n;
            return n == len ? int(len) : -9;
        };
    }
};

struct Exchange {
    std::vector<uint8> query;
    std::vector<uint8> reply;
    int result;
};

// Runs one reception of `line` for `query`, with a reply buffer sized like a
// query element's (data + 12).
Exchange receive(pckStruct q, uint16 replyData, MemLine &line)
{
    Exchange ex;
    ex.query = build(q);
    ex.reply.assign(size_t(replyData) + DUVEX_HEAD_QUEUE_LEN, 0);
    ex.result = DUVEX_RcvReply(ex.query.data(), ex.reply.data(), uint16(ex.reply.size()), line.fn());
    return ex;
}

std::vector<uint8> dataOf(size_t n, uint8 fillc = '5')
{
    return std::vector<uint8>(n, fillc);
}

} // namespace

TEST(DuvexCrc, CheckValuesAndEmptyInput)
{
    const std::string digits = "123456789";
    const uint8 *d = reinterpret_cast<const uint8 *>(digits.data());
    EXPECT_EQ(crcCalc(d, 9), 0x63D0);
    EXPECT_EQ(crcCalcFrom(0, d, 9), 0x2189);   // CRC-16/KERMIT with initial value 0
    EXPECT_EQ(crcCalc(d, 0), 0x554D);
    EXPECT_EQ(crcCalc(d, -3), 0x554D);
    EXPECT_EQ(crcCalc(nullptr, 4), 0x554D);

    // Table-driven routine against the stand-in's bitwise one.
    std::mt19937 rng(7);
    for (int i = 0; i < 200; ++i) {
        std::vector<uint8> v(rng() % 300);
        for (auto &b : v)
            b = uint8(rng());
        ASSERT_EQ(crcCalc(v.data(), int(v.size())), PowerModuleSim::crc(v.data(), v.size()));
    }
}

TEST(DuvexNibbles, EncodeDecodeAndBadCount)
{
    uint8 out[8];
    DUVEX_Dec2DCd(0xAB, out, 2);
    EXPECT_EQ(out[0], 0x3A);
    EXPECT_EQ(out[1], 0x3B);
    DUVEX_Dec2DCd(0x1F4, out, 4);
    EXPECT_EQ(std::string(out, out + 4), std::string("\x30\x31\x3F\x34"));
    DUVEX_Dec2DCd(0x12345678, out, 8);
    EXPECT_EQ(std::string(out, out + 8), "12345678");
    DUVEX_Dec2DCd(0xFFFFF, out, 3);   // only the lowest nibbles
    EXPECT_EQ(std::string(out, out + 3), "???");

    EXPECT_EQ(DUVEX_DCd2Dec(bytes("1?4").data(), 3), 0x1F4u);
    EXPECT_EQ(DUVEX_DCd2Dec(bytes("000:").data(), 4), 10u);

    for (uint8 bad : {0, 1, 6, 7, 9}) {
        tvktest::LogCapture log;
        memset(out, 0xEE, sizeof out);
        DUVEX_Dec2DCd(0x1234, out, bad);
        EXPECT_EQ(log.count("Err (DUVEX_Dec2DCd): Valore non contemplato\n"), 1) << int(bad);
        for (uint8 b : out)
            EXPECT_EQ(b, 0xEE);
    }
}

TEST(DuvexFrame, GiQueryByteForByte)
{
    std::vector<uint8> f = build(pck(0x20, '1', 'G', 'I'));
    const std::vector<uint8> expect = {0x02, 0x20, 0x31, 0x47, 0x49, 0x30, 0x30,
                                       '0', '1', '4', '1', 0x03};
    EXPECT_EQ(f, expect);
    // The stand-in frames the same bytes on its own.
    EXPECT_EQ(f, PowerModuleSim::makeFrame(0x20, '1', 'G', 'I', {}));
}

TEST(DuvexFrame, CrcFramesWithParametersMatchTheStandIn)
{
    std::vector<uint8> delay = {'0', '1', '2', '<'};
    std::vector<uint8> zeros(16, '0');
    std::vector<uint8> clock = bytes("241224103000");
    struct Case {
        pckStruct q;
        std::vector<uint8> param;
    } cases[] = {
        {pck('A', '1', 'C', 'S', &delay), delay},
        {pck(0x20, '1', 'R', 'X', &zeros), zeros},
        {pck(0x20, '1', 'S', 'T', &clock), clock},
        {pck(0x20, '1', 'R', 'S'), {}},
    };
    for (auto &c : cases) {
        std::vector<uint8> f = build(c.q);
        ASSERT_EQ(f.size(), c.param.size() + 12);
        EXPECT_EQ(f, PowerModuleSim::makeFrame(c.q.Src, c.q.Dest, c.q.MainCmd, c.q.SubCmd, c.param));
        uint16 crc = crcCalc(f.data() + 1, int(6 + c.param.size()));
        EXPECT_EQ(DUVEX_DCd2Dec(f.data() + 7 + c.param.size(), 4), crc);
        EXPECT_EQ(f.back(), 0x03);
    }
}

TEST(DuvexFrame, BadParametersAreHandled)
{
    {
        // Parameters announced but no pointer: logged, frame still built (zeros).
        tvktest::LogCapture log;
        pckStruct q = pck('A', '1', 'C', 'S');
        q.ParamLen = 4;
        std::vector<uint8> f = build(q);
        ASSERT_EQ(f.size(), 16u);
        EXPECT_EQ(log.count("Err (DUVEX_BuildQuery): Puntaore non inizializzato!\n"), 1);
        EXPECT_EQ(std::string(f.begin() + 5, f.begin() + 7), "04");
        EXPECT_EQ(f[15], 0x03);
    }
    for (uint16 len : {244, 256, 1000}) {
        // More than an 8-bit frame can hold: no frame, no overflow.
        tvktest::LogCapture log;
        std::vector<uint8> big(len, '0');
        pckStruct q = pck(0x20, '1', 'S', 'M', &big);
        uint8 *f = reinterpret_cast<uint8 *>(&log);
        EXPECT_EQ(DUVEX_BuildQuery(q, f), 0);
        EXPECT_EQ(f, nullptr);
        EXPECT_TRUE(log.contains("Err (DUVEX_BuildQuery)"));
    }
    std::vector<uint8> max(243, '7');
    EXPECT_EQ(build(pck(0x20, '1', 'S', 'M', &max)).size(), 255u);
}

TEST(DuvexFrame, ExtractQuerySplitsTheFrame)
{
    std::vector<uint8> param = bytes("<1");
    std::vector<uint8> f = build(pck('B', '1', 'C', 'M', &param));
    pckStruct out{};
    DUVEX_ExtractQuery(out, f.data());
    EXPECT_EQ(out.Src, 'B');
    EXPECT_EQ(out.Dest, '1');
    EXPECT_EQ(out.MainCmd, 'C');
    EXPECT_EQ(out.SubCmd, 'M');
    EXPECT_EQ(out.ParamLen, 2);
    EXPECT_EQ(out.pParam, f.data() + 7);   // points into the frame, no copy
}

TEST(DuvexFrame, AcknowledgementAndItsLogLine)
{
    tvktest::FakeClock clock(1700001234);
    pckStruct q = pck('C', '1', 'C', 'S');
    uint8 *ack = nullptr;
    long ts = 0;
    ASSERT_EQ(DUVEX_ACKBuildReply(q, ack, ts), 12);
    std::vector<uint8> f(ack, ack + 12);
    delete[] ack;
    EXPECT_EQ(ts, 1700001234L);
    EXPECT_EQ(f, PowerModuleSim::makeFrame('1', 'C', 'C', 'S', {}));

    tvktest::LogCapture log;
    pckStruct r{};
    DUVEX_ExtractQuery(r, f.data());
    DUVEX_ACKVerify(2, r);
    EXPECT_EQ(log.count("  (DUVEX_ACKVerify): ACK from boxC, comando CS scr:1 dest:C\n"), 1);
}

TEST(DuvexReplyLength, TableOfQueries)
{
    std::vector<uint8> one = {'1'};
    std::vector<uint8> zero = {'0'};
    std::vector<uint8> two = {'1', '0'};
    std::vector<uint8> bad = {'7'};
    struct Case {
        pckStruct q;
        uint16 len;
        const char *err;   // expected Err text, or null
    } cases[] = {
        {pck('A', '1', 'C', 'B'), 0, nullptr},
        {pck('A', '1', 'C', 'U'), 0, nullptr},
        {pck('A', '8', 'D', 'C', &one), 4, nullptr},     // bypass, one parameter: 16-byte reply
        {pck('A', '8', 'D', 'C', &two), 0, nullptr},
        {pck('A', '8', 'D', 'C'), 0, nullptr},
        {pck('A', '1', 'D', 'C', &zero), 0, nullptr},
        {pck('A', '1', 'D', 'C', &bad), 0, "COMANDO SCONOSCIUTO!!\n"},
        {pck('A', '1', 'D', 'C', &two), 0, "COMANDO SCONOSCIUTO!!\n"},
        {pck(0x20, '1', 'D', 'E'), 58, nullptr},
        {pck(0x20, '1', 'D', 'S'), 58, nullptr},
        {pck(0x20, '1', 'G', 'I'), 56, nullptr},
        {pck(0x20, '1', 'G', 'M'), 4, nullptr},
        {pck(0x20, '1', 'G', 'N'), 22, nullptr},
        {pck(0x20, '1', 'R', 'B'), 109, nullptr},
        {pck(0x20, '1', 'R', 'E'), 58, nullptr},
        {pck(0x20, '1', 'R', 'K'), 58, nullptr},
        {pck(0x20, '1', 'R', 'S'), 58, nullptr},
        {pck(0x20, '1', 'S', 'M'), 0, nullptr},
        {pck(0x20, '1', 'S', 'T'), 0, nullptr},
        {pck(0x20, '1', 'S', 'V'), 4, nullptr},
        {pck(0x20, '1', 'T', 'B'), 0, nullptr},
        {pck(0x20, '1', 'X', 'X'), 0, "MainCmd X non supportato\n"},
        {pck(0x20, '1', 'G', 'Z'), 0, "SubCmd Z non supportato per il MainCmd G\n"},
        {pck(0x20, '1', 'T', 'C'), 0, nullptr},   // clears a battery test: acknowledged, no data
#if defined(TVK_MODULAR)
        {pck(0x20, '1', 'R', 'X'), 169, nullptr},
        {pck(0x20, '1', 'G', 'E'), 16, nullptr},
        {pck(0x20, '1', 'R', 'C'), 44, nullptr},
        {pck(0x20, '1', 'R', 'A'), 0, "SubCmd A non supportato per il MainCmd R\n"},
#else
        {pck(0x20, '1', 'R', 'X'), 128, nullptr},
        {pck(0x20, '1', 'R', 'A'), 56, nullptr},
        {pck(0x20, '1', 'G', 'E'), 0, "SubCmd E non supportato per il MainCmd G\n"},
        {pck(0x20, '1', 'R', 'C'), 0, "SubCmd C non supportato per il MainCmd R\n"},
#endif
    };
    for (auto &c : cases) {
        tvktest::LogCapture log;
        EXPECT_EQ(DUVEX_GetReplyDataLen(c.q), c.len) << c.q.MainCmd << c.q.SubCmd;
        if (c.err) {
            EXPECT_EQ(log.count(std::string("Err (DUVEX_GetReplyDataLen): ") + c.err), 1)
                << c.q.MainCmd << c.q.SubCmd;
        } else {
            EXPECT_TRUE(log.lines().empty()) << c.q.MainCmd << c.q.SubCmd;
        }
    }

    // A query element for DC to the bypass with one parameter expects 16 bytes.
    pckStruct dc = pck('A', '8', 'D', 'C', &one);
    QCMgr qc(dc, DUVEX_BuildQuery, DUVEX_GetReplyDataLen(dc));
    EXPECT_EQ(qc.buildQueryLen, 13);
    EXPECT_EQ(qc.expectedReplyLen, 16);
}

// ---- reception and decoding, fed from memory ----

TEST(DuvexReceive, GoodRepliesWithSumAndCrc)
{
    struct Case {
        uint8 m, s;
        uint16 len;
    } cases[] = {{'G', 'I', 56}, {'G', 'N', 22}, {'R', 'E', 58}, {'C', 'S', 0}};
    for (auto &c : cases) {
        tvktest::LogCapture log;
        MemLine line;
        line.data = PowerModuleSim::makeFrame('1', 0x20, c.m, c.s, dataOf(c.len));
        errnoDuvex = 77;
        Exchange ex = receive(pck(0x20, '1', c.m, c.s), c.len, line);
        EXPECT_EQ(ex.result, 0) << c.m << c.s << log.text();
        EXPECT_EQ(errnoDuvex, 0);
        EXPECT_EQ(ex.reply, line.data);
    }
}

TEST(DuvexReceive, RefusalCodes)
{
    struct Case {
        uint8 code;
        uint8 err;
        const char *text;
    } cases[] = {
        {'1', 1, "Err (DUVEX_Decode): MainCmd:R non riconosciuto\n"},
        {'2', 2, "Err (DUVEX_Decode): SubCmd:S non riconosciuto\n"},
        {'3', 3, "Err (DUVEX_Decode): DataLength non corretta\n"},
        {'4', 4, "Err (DUVEX_Decode): CRC o CHKSUM non corretti\n"},
        {'5', 5, "Err (DUVEX_Decode): Non e' possibile eseguire il comando in questo momento!\n"},
        {'6', 6, "Err (DUVEX_Decode): Security PIN non corretto\n"},
        {'9', 9, "Err (DUVEX_Decode): Errore generico\n"},
        {'A', 17, "Err (DUVEX_Decode): Errore generico\n"},
        {0x20, uint8(0x20 - '0'), "Err (DUVEX_Decode): Errore generico\n"},
    };
    for (auto &c : cases) {
        tvktest::LogCapture log;
        MemLine line;
        line.data = PowerModuleSim::makeFrame('1', 0x20, 0x15, c.code, {});
        Exchange ex = receive(pck(0x20, '1', 'R', 'S'), 58, line);
        EXPECT_EQ(ex.result, -1);
        EXPECT_EQ(errnoDuvex, c.err) << c.code;
        EXPECT_EQ(log.count("War (DUVEX_Decode): Errore Comando\n"), 1);
        EXPECT_EQ(log.count(c.text), 1) << log.text();
    }
}

TEST(DuvexReceive, MalformedRepliesFailWithErrno0)
{
    struct Case {
        const char *name;
        Frame reply;
        const char *text;
    };
    std::vector<Case> cases = {
        {"wrong source", PowerModuleSim::makeFrame('2', 0x20, 'G', 'N', dataOf(22)),
         "War (DUVEX_Decode): Errore Indirizzi Query Src:0x20 Dest:0x31     Reply Src:0x32 Dest:0x20 \n"},
        {"wrong destination", PowerModuleSim::makeFrame('1', 'A', 'G', 'N', dataOf(22)),
         "Errore Indirizzi"},
        {"other command", PowerModuleSim::makeFrame('1', 0x20, 'G', 'I', dataOf(22)),
         "Err (DUVEX_Decode): Formato non riconosciuto!\n"},
        {"bad check code", PowerModuleSim::makeFrame('1', 0x20, 'G', 'N', dataOf(22), true),
         "War (DUVEX_Decode): Errore Codice di Controllo\n"},
    };
    // A check code character outside '0'..'?' that a plain nibble decoding
    // would alias to the right value (0x1x - 0x30 keeps the low nibble x).
    Frame aliased = PowerModuleSim::makeFrame('1', 0x20, 'G', 'N', dataOf(22));
    aliased[7 + 22] = uint8(aliased[7 + 22] - 0x20);
    cases.push_back({"check code outside the nibble range", aliased, "Errore Codice di Controllo"});
    for (auto &c : cases) {
        tvktest::LogCapture log;
        MemLine line;
        line.data = c.reply;
        errnoDuvex = 99;
        Exchange ex = receive(pck(0x20, '1', 'G', 'N'), 22, line);
        EXPECT_EQ(ex.result, -1) << c.name;
        EXPECT_EQ(errnoDuvex, 0) << c.name;
        EXPECT_TRUE(log.contains(c.text)) << c.name << "\n" << log.text();
    }
}

TEST(DuvexReceive, BadCheckCodeIsReportedInFull)
{
    tvktest::LogCapture log;
    MemLine line;
    line.data = PowerModuleSim::makeFrame('1', 0x20, 'S', 'V', bytes("0000"), true);
    receive(pck(0x20, '1', 'S', 'V'), 4, line);
    const uint16 good = crcCalc(line.data.data() + 1, 10);
    char calc[80];
    snprintf(calc, sizeof calc, "War (DUVEX_Decode): Calcolato:0x%04X Ricevuto:0x%04X\n", good, good ^ 0x0101);
    EXPECT_EQ(log.count(calc), 1) << log.text();
    EXPECT_EQ(log.count("War (DUVEX_Decode): datalen:4\n"), 1);
    EXPECT_EQ(log.count("War (DUVEX_Decode): FINE STAMPE Errore Codice di Controllo\n"), 1);
    if (tvk_debugEnabled()) {
        EXPECT_EQ(log.count("  (DUVEX_Decode): replypck:\n"), 1);
    }
}

TEST(DuvexReceive, LongerReplyThanExpectedFailsOnTheCheckCode)
{
    tvktest::LogCapture log;
    MemLine line;
    line.data = PowerModuleSim::makeFrame('1', 0x20, 'G', 'I', dataOf(60));
    Exchange ex = receive(pck(0x20, '1', 'G', 'I'), 56, line);
    EXPECT_EQ(ex.result, -1);
    EXPECT_EQ(errnoDuvex, 0);
    EXPECT_EQ(line.pos, 7u + 56 + 5);   // read as 56 + 5 bytes
    EXPECT_TRUE(log.contains("Errore Codice di Controllo"));
}

TEST(DuvexReceive, ShorterReplyDependsOnTheBuild)
{
    // An RS reply of 36 data bytes for a query that expects 58.
    tvktest::LogCapture log;
    MemLine line;
    line.data = PowerModuleSim::makeFrame('1', 0x20, 'R', 'S', dataOf(36));
    Exchange ex = receive(pck(0x20, '1', 'R', 'S'), 58, line);
#if defined(TVK_STD)
    EXPECT_EQ(ex.result, -1);
    EXPECT_EQ(errnoDuvex, 254);
    EXPECT_EQ(log.count("Err (DUVEX_Decode): !!datalen mismatch: expected:58 received:36!!\n"), 1);
#else
    EXPECT_EQ(ex.result, 0);
    EXPECT_EQ(errnoDuvex, 0);
#endif
}

TEST(DuvexReceive, NoiseBeforeStartIsSkipped)
{
    tvktest::LogCapture log;
    MemLine line;
    line.data = {0x00, 0xFF, 0x31, 0x03, 0x15};
    Frame r = PowerModuleSim::makeFrame('1', 0x20, 'R', 'E', dataOf(58));
    line.data.insert(line.data.end(), r.begin(), r.end());
    Exchange ex = receive(pck(0x20, '1', 'R', 'E'), 58, line);
    EXPECT_EQ(ex.result, 0) << log.text();
    EXPECT_EQ(ex.reply, r);
}

TEST(DuvexReceive, ReceiveFailuresGiveErrno255)
{
    Frame good = PowerModuleSim::makeFrame('1', 0x20, 'G', 'N', dataOf(22));
    struct Case {
        const char *name;
        size_t keep;     // bytes of the good reply that arrive
        int errorAt;     // read call that fails with -10
        const char *text;
    } cases[] = {
        {"silence", 0, -1, "Err (DUVEX_ManageQuery): Errore ricezione: manca il carattere di inizio pacchetto!\n"},
        {"header cut", 4, -1, "Errore ricezione: non e' presente il campo lenght!\n"},
        {"data cut", 20, -1, " codice d'errore:-9 attesi:27\n"},
        {"port error first", 0, 0, "Errore (-10) Provo a resettare la seriale\n"},
        {"port error header", 10, 1, "Errore (-10) Provo a resettare la seriale\n"},
    };
    for (auto &c : cases) {
        tvktest::LogCapture log;
        MemLine line;
        line.data.assign(good.begin(), good.begin() + long(c.keep));
        line.errorAt = c.errorAt;
        Exchange ex = receive(pck(0x20, '1', 'G', 'N'), 22, line);
        EXPECT_EQ(ex.result, -1) << c.name;
        EXPECT_EQ(errnoDuvex, 255) << c.name;
        EXPECT_TRUE(log.contains(c.text)) << c.name << "\n" << log.text();
    }
}

TEST(DuvexReceive, NoiseIsSkippedOnlyWithinTheExchangeWindow)
{
    tvktest::FakeClock clock;
    Frame r = PowerModuleSim::makeFrame('1', 0x20, 'G', 'N', dataOf(22));
    const int64_t window = DUVEX_MAXEXCHANGEMS + 1;
    // Each read "takes" a tenth of the window: STX after 8 noise bytes is in
    // time, after 10 it is not.
    for (int noise : {8, 10}) {
        tvktest::LogCapture log;
        MemLine line;
        line.data.assign(size_t(noise), 0x55);
        line.data.insert(line.data.end(), r.begin(), r.end());
        line.onRead = [&] { clock.advanceMs(window / 10); };
        Exchange ex = receive(pck(0x20, '1', 'G', 'N'), 22, line);
        if (noise == 8) {
            EXPECT_EQ(ex.result, 0) << log.text();
        } else {
            EXPECT_EQ(ex.result, -1);
            EXPECT_EQ(errnoDuvex, 255);
            EXPECT_EQ(log.count("Err (DUVEX_ManageQuery): Errore ricezione: TIMEOUT!\n"), 1) << log.text();
        }
    }
}

TEST(DuvexReceive, SmallReplyBuffersNeverOverflow)
{
    // A scratch element has no reply buffer: a reply is still read and checked
    // without writing past the buffer.
    for (uint16 cap : {0, 5, 11, 12}) {
        MemLine line;
        line.data = PowerModuleSim::makeFrame('1', 0x20, 'C', 'P', {});
        std::vector<uint8> q = build(pck(0x20, '1', 'C', 'P'));
        uint8 *buf = cap ? new uint8[cap] : nullptr;
        int r = DUVEX_RcvReply(q.data(), buf, cap, line.fn());
        EXPECT_EQ(r, 0) << cap;
        delete[] buf;
    }
}

// Random and mutated frames through reception and decoding, in buffers of the
// exact size so that the address sanitizer catches any access outside them.
TEST(DuvexReceive, RandomAndMutatedFramesNeverFault)
{
    struct Q {
        pckStruct q;
        uint16 len;
    };
    std::vector<uint8> one = {'1'};
    std::vector<Q> queries = {
        {pck(0x20, '1', 'G', 'I'), 56}, {pck(0x20, '1', 'R', 'S'), 58}, {pck(0x20, '1', 'R', 'X'), RXDATALENGTH},
        {pck('A', '8', 'D', 'C', &one), 4}, {pck('A', '1', 'C', 'S'), 0}, {pck(0x20, '1', 'S', 'V'), 4},
    };
    std::mt19937 rng(20240611);
    tvk_setLogSink([](const std::string &) {});
    const int runs = 200000;
    int ok = 0;
    for (int i = 0; i < runs; ++i) {
        const Q &qq = queries[rng() % queries.size()];
        std::vector<uint8> query = build(qq.q);
        uint16 cap = uint16(qq.len + 12);
        if (rng() % 16 == 0)
            cap = uint16(rng() % 20);   // also undersized buffers
        MemLine line;
        const unsigned kind = rng() % 4;
        if (kind == 0) {
            line.data.resize(rng() % 300);
            for (auto &b : line.data)
                b = uint8(rng());
        } else {
            uint8 m = kind == 3 ? 0x15 : qq.q.MainCmd;
            uint8 s = kind == 3 ? uint8('0' + rng() % 10) : qq.q.SubCmd;
            line.data = PowerModuleSim::makeFrame(qq.q.Dest, qq.q.Src, m, s, dataOf(rng() % 250));
            const int flips = kind == 1 ? 0 : int(rng() % 6);
            for (int k = 0; k < flips; ++k)
                line.data[rng() % line.data.size()] = uint8(rng());
            if (rng() % 4 == 0)
                line.data.resize(rng() % (line.data.size() + 1));
            if (rng() % 4 == 0)
                line.data.insert(line.data.begin(), rng() % 8, uint8(rng()));
        }
        uint8 *buf = cap ? new uint8[cap] : nullptr;
        int r = DUVEX_RcvReply(query.data(), buf, cap, line.fn());
        if (r == 0) {
            ++ok;
            // Only well-formed, correctly addressed replies with a good check code pass.
            ASSERT_EQ(errnoDuvex, 0);
            if (cap >= 12) {
                ASSERT_EQ(buf[0], 0x02);
                ASSERT_EQ(buf[1], qq.q.Dest);
                ASSERT_EQ(buf[2], qq.q.Src);
            }
        } else {
            ASSERT_EQ(r, -1);
        }
        delete[] buf;
    }
    tvk_setLogSink(LogSink());
    RecordProperty("inputs", runs);
    RecordProperty("accepted", ok);
    EXPECT_GT(ok, 0);
}
