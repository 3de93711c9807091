// Cabinet-bus link layer: framing, receive with resynchronisation, reply receive,
// reply check, listening time, breaks and port recovery. Most cases run over the
// link seam (a scripted line and a driven clock); a few run over a pseudo-terminal
// through the channel layer. Frames are built here from the frame layout with a
// bitwise CRC of our own, not with the codec.
#include "KESP.h"

#include "ComDev.h"
#include "Globals.h"
#include "kesp_testline.h"
#include "PtyBench.h"
#include "QCMgr.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <thread>

using tvktest::FakeClock;
using tvktest::LogCapture;
using kesptest::Bytes;
using kesptest::ScriptedLine;
using kesptest::frame;

namespace {

constexpr uint8 A = 0xEA, B = 0xEB, C = 0xEC, D = 0xED;

class LinkTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        KESPAddr = B;
        LastMaster = GROUPMASTER;
        cntBreakDetect = 0;
        errnoKESP = 0;
        line.install();
    }
    void TearDown() override
    {
        KESP_SetLinkIO(nullptr);
        KESPAddr = 224;
        LastMaster = GROUPMASTER;
        cntBreakDetect = 0;
    }
    FakeClock clock;
    LogCapture log;
    ScriptedLine line{clock};
};

// ---- Framing -----------------------------------------------------------------------

TEST_F(LinkTest, BuildQueryFramesAsTheLayoutSaysAndQCMgrFreesIt)
{
    uint8 param[3] = {1, 2, 3};
    pckStruct q{0x99 /* not used */, C, 'S', 'I', param, 3};
    uint8 *f = nullptr;
    ASSERT_EQ(13, KESP_BuildQuery(q, f));
    ASSERT_NE(nullptr, f);
    EXPECT_EQ(frame(B, C, 'S', 'I', {1, 2, 3}), Bytes(f, f + 13));
    KESP_DestroyQuery(f);
    EXPECT_EQ(nullptr, f);

    // A DataLength 0 frame is 10 bytes; its CRC covers the 6 header bytes after STX.
    pckStruct bs{B, D, 'B', 'S', nullptr, 0};
    ASSERT_EQ(10, KESP_BuildQuery(bs, f));
    EXPECT_EQ(frame(B, D, 'B', 'S', {}), Bytes(f, f + 10));
    KESP_DestroyQuery(f);

    // The element frees the frame with delete[] (the address sanitizer checks the pair).
    QCMgr e(q, KESP_BuildQuery, KESP_GetReplyDataLen(q));
    ASSERT_TRUE(e.hasQuery());
    EXPECT_EQ(13, e.buildQueryLen);
    EXPECT_EQ(11, e.expectedReplyLen);
}

TEST_F(LinkTest, BuildQueryRefusesParametersWithoutPointerOrTooLong)
{
    pckStruct q{B, C, 'S', 'I', nullptr, 16};
    uint8 *f = reinterpret_cast<uint8 *>(&q);
    EXPECT_EQ(0, KESP_BuildQuery(q, f));
    EXPECT_EQ(nullptr, f);
    EXPECT_TRUE(log.contains("Err (KESP_BuildQuery): Puntatore non inizializzato!\n"));
    QCMgr e(q, KESP_BuildQuery, 1);
    EXPECT_FALSE(e.hasQuery());

    std::vector<uint8> big(KESP_MAXPCKLEN - 9);
    pckStruct l{B, C, 'S', 'C', big.data(), uint16(big.size())};
    EXPECT_EQ(0, KESP_BuildQuery(l, f));
    EXPECT_EQ(nullptr, f);
    big.pop_back();
    l.ParamLen = uint16(big.size());
    EXPECT_EQ(KESP_MAXPCKLEN, KESP_BuildQuery(l, f));
    KESP_DestroyQuery(f);
}

TEST_F(LinkTest, ExtractQueryPointsIntoTheFrame)
{
    Bytes f = frame(C, BROADCAST, 'B', 'N', Bytes(20, 7));
    pckStruct q;
    KESP_ExtractQuery(q, f.data());
    EXPECT_EQ(C, q.Src);
    EXPECT_EQ(BROADCAST, q.Dest);
    EXPECT_EQ('B', q.MainCmd);
    EXPECT_EQ('N', q.SubCmd);
    EXPECT_EQ(20, q.ParamLen);
    EXPECT_EQ(f.data() + 7, q.pParam);
}

TEST_F(LinkTest, AcknowledgementAndBusyReplyFrames)
{
    pckStruct q{C, B, 'C', 'U', nullptr, 0};
    EXPECT_EQ(0, KESP_ACKReply(q));
    EXPECT_EQ(0, KESP_BusyReply(D));
    ASSERT_EQ(2u, line.written.size());
    EXPECT_EQ(frame(B, C, 'C', 'U', {ACK}), line.written[0]);
    EXPECT_EQ(11u, line.written[0].size());
    EXPECT_EQ(frame(B, D, NCK, '5', {}), line.written[1]);
    EXPECT_EQ(10u, line.written[1].size());
    EXPECT_EQ(profile::debugLines, log.contains("Q:\n"));   // frame dumps are debug volume
    line.writeFails = 100;
    EXPECT_EQ(-1, KESP_ACKReply(q));
    EXPECT_EQ(-1, KESP_BusyReply(D));
}

TEST_F(LinkTest, SendTriesFourTimes)
{
    struct Case {
        int failures;
        int result;
        int writes;
    } cases[] = {{0, 0, 1}, {3, 0, 4}, {4, -1, 4}, {10, -1, 4}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.failures);
        line.writeFails = c.failures;
        line.writeCalls = 0;
        Bytes f = frame(B, C, 'B', 'S', {});
        EXPECT_EQ(c.result, KESP_Send(f.data(), uint16(f.size())));
        EXPECT_EQ(c.writes, line.writeCalls);
    }
    EXPECT_EQ(profile::debugLines, log.contains("Dbg (KESP_Send): stream:"));
}

TEST_F(LinkTest, AckControlLogsByContent)
{
    struct Case {
        Bytes data;
        const char *line;
    } cases[] = {
        {{ACK}, "  (KESP_ACKControl): ACK a CMD:CU da scheda:0xEC!!\n"},
        {{0x15}, "Err (KESP_ACKControl): NOT_ACKNOWLEDGED a CMD:CU da scheda:0xEC!!\n"},
        {{ACK, 0}, "Err (KESP_ACKControl): Formato della risposta errato!!\n"},
        {{}, "Err (KESP_ACKControl): Formato della risposta errato!!\n"},
    };
    for (Case &c : cases) {
        log.clear();
        LastMaster = GROUPMASTER;
        pckStruct r{C, B, 'C', 'U', c.data.empty() ? nullptr : c.data.data(), uint16(c.data.size())};
        KESP_ACKControl(0, r);
        EXPECT_TRUE(log.contains(c.line)) << c.line;
        EXPECT_EQ(C, LastMaster.load());
    }
}

TEST_F(LinkTest, UpdateLastMasterTakesOnlyE0ToEF)
{
    struct Case {
        uint8 src;
        uint8 after;
    } cases[] = {{0xFF, 0xEB}, {0x05, 0xEB}, {0x0A, 0xEB}, {0xE0, 0xE0}, {0xEF, 0xEF}, {0xF0, 0xEB}, {0xDF, 0xEB}, {0xED, 0xED}};
    for (const Case &c : cases) {
        LastMaster = 0xEB;
        KESP_UpdateLastMaster(c.src);
        EXPECT_EQ(c.after, LastMaster.load()) << std::hex << int(c.src);
    }
}

// ---- Receiving any frame ---------------------------------------------------------

struct RcvCase {
    const char *name;
    Bytes line;
    uint16 capacity;
    int result;
    Bytes frame;   // expected frame (result SUCC)
};

Bytes cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

std::vector<RcvCase> rcvCases()
{
    const Bytes good = frame(C, BROADCAST, 'B', 'N', Bytes(20, 0x11));
    const Bytes small = frame(A, BROADCAST, 'O', 'S', {});
    Bytes badEtx = good;
    badEtx.back() = 0x04;
    Bytes badCrc = good;
    badCrc[good.size() - 2] ^= 0x01;
    const Bytes strayHead = {STX, A, BROADCAST, 'B', 'S', 0x00, 40};   // announces 40 data bytes
    const Bytes limit = frame(C, BROADCAST, 'B', 'N', Bytes(20, 0x22));    // 30 bytes
    const Bytes overLimit = frame(C, BROADCAST, 'B', 'N', Bytes(21, 0x22));
    Bytes ringFull = frame(C, BROADCAST, 'Q', 'T', Bytes(FIFOSIZE - 10, 0x33));
    Bytes ringOver = frame(C, BROADCAST, 'Q', 'T', Bytes(FIFOSIZE - 9, 0x33));
    return {
        {"DataLength 0", small, 1024, SUCC, small},
        {"garbage before", cat({{0x00, 0x55, 0xFF, ETX, 0x10}, good}), 1024, SUCC, good},
        // The bogus candidate completes with filler that is not ETX; the valid
        // frame already behind it in the ring is found.
        {"stray STX announcing 40", cat({strayHead, good, Bytes(50 - 7 - good.size(), 0x00)}), 1024, SUCC, good},
        {"stray STX inside a frame's place", cat({{STX, STX, 0x41}, good}), 1024, SUCC, good},
        {"wrong ETX", cat({badEtx, small}), 1024, SUCC, small},
        {"wrong CRC", cat({badCrc, small}), 1024, SUCC, small},
        {"DataLength at the capacity limit", limit, 30, SUCC, limit},
        {"one more than the capacity limit", cat({overLimit, small}), 30, SUCC, small},
        {"wraps the ring", cat({Bytes(FIFOSIZE - 8, 0x55), good}), 1024, SUCC, good},
        {"a frame as long as the ring", ringFull, 0xFFFF, SUCC, ringFull},
        {"longer than the ring, whatever the capacity", cat({ringOver, small}), 0xFFFF, SUCC, small},
        {"only garbage", Bytes(100, 0x55), 1024, NOACTIVITY, {}},
        {"silent line", {}, 1024, NOACTIVITY, {}},
        {"capacity below a frame", small, 9, FAIL, {}},
        {"capacity 0", small, 0, FAIL, {}},
    };
}

TEST_F(LinkTest, RcvFindsTheValidFrame)
{
    for (const RcvCase &c : rcvCases()) {
        SCOPED_TRACE(c.name);
        line.reset();
        line.bytes(c.line);
        std::vector<uint8> buf(c.capacity ? c.capacity : 1, 0xAA);
        uint16 cap = c.capacity;
        const int r = KESP_Rcv(c.capacity ? buf.data() : nullptr, &cap, 30000);
        EXPECT_EQ(c.result, r);
        EXPECT_EQ(c.capacity, cap);   // the capacity is not changed
        if (c.result == SUCC) {
            ASSERT_GE(buf.size(), c.frame.size());
            EXPECT_EQ(c.frame, Bytes(buf.begin(), buf.begin() + long(c.frame.size())));
        }
        if (c.capacity < 10) {
            EXPECT_EQ(0, line.reads);
        }
    }
}

TEST_F(LinkTest, RcvSilenceIsNoActivity)
{
    uint16 cap = 1024;
    uint8 buf[1024];
    EXPECT_EQ(NOACTIVITY, KESP_Rcv(buf, &cap, 30000));
    EXPECT_TRUE(log.contains("War (KESP_Rcv): Errore ricezione: manca il carattere di inizio pacchetto!\n"));
    EXPECT_EQ(profile::debugLines, log.contains("Dbg (KESP_Rcv): ret=NOACTIVITY\n"));
    ASSERT_FALSE(line.timeouts.empty());
    EXPECT_EQ(30000u, line.timeouts.front());
}

// A frame cut short (here an answer whose header announces 332 data bytes, cut
// after 10) is given up after KESP_FRAMEGAP of silence, so the next frame, a query
// for this card sent after the master's own reply time-out, is received instead of
// being taken as the rest of the cut one. The silence spent on it counts against
// the listening time: a cut frame followed by silence still ends the receive after
// that time, not later.
TEST_F(LinkTest, CutFrameIsGivenUpAfterTheFrameGap)
{
    Bytes cut = frame(C, A, 'B', 'S', Bytes(332, 0x30));
    cut.resize(10);
    const Bytes query = frame(A, B, 'B', 'S', {});
    line.bytes(cut);
    line.silence(READTIMEOUT);
    line.bytes(query);
    uint8 buf[1024];
    uint16 cap = sizeof buf;
    const int64 t0 = sysclock::monotonicMs();
    ASSERT_EQ(SUCC, KESP_Rcv(buf, &cap, 30000));
    EXPECT_EQ(query, Bytes(buf, buf + query.size()));
    EXPECT_LT(sysclock::monotonicMs() - t0, int64(READTIMEOUT) + 100);
    // The count is what the ring holds: the header (a read that times out hands
    // its few bytes over uncounted).
    EXPECT_EQ(1, log.count("War (KESP_Rcv): Errore ricezione: pacchetto interrotto (7 byte su 342), scartato dopo 1000 ms di silenzio\n"))
        << log.text();
    EXPECT_NE(std::find(line.timeouts.begin(), line.timeouts.end(), KESP_FRAMEGAP), line.timeouts.end());

    line.reset();
    log.clear();
    line.bytes(cut);
    cap = sizeof buf;
    const int64 t1 = sysclock::monotonicMs();
    EXPECT_EQ(NOACTIVITY, KESP_Rcv(buf, &cap, 30000));
    EXPECT_EQ(30000, sysclock::monotonicMs() - t1);
    EXPECT_EQ(1, log.count("pacchetto interrotto"));
}

TEST_F(LinkTest, BreakDuringReceiveFailsAndLeavesTheCounter)
{
    const Bytes good = frame(C, BROADCAST, 'B', 'N', Bytes(20, 0x11));
    line.bytes(Bytes(good.begin(), good.begin() + 9));
    line.lineBreak();
    line.bytes(Bytes(good.begin() + 9, good.end()));
    uint8 buf[1024];
    uint16 cap = sizeof buf;
    EXPECT_EQ(FAIL, KESP_Rcv(buf, &cap, 30000));
    EXPECT_EQ(1, cntBreakDetect.load());
    EXPECT_GE(line.flushes, 1);
    EXPECT_EQ(profile::debugLines, log.contains("Dbg (KESP_Rcv): ret=FAIL\n"));
}

TEST_F(LinkTest, UartBreakCounterReachesTheCounter)
{
    // A real UART counts breaks; the card is not its controlling terminal, so the
    // counter is read after every read.
    const Bytes good = frame(C, BROADCAST, 'B', 'N', Bytes(20, 0x11));
    line.uartBreaks = 7;
    KESP_End();
    ASSERT_EQ(0, KESP_Init());   // reference value taken at opening
    line.bytes(Bytes(good.begin(), good.begin() + 3));
    line.uartBreakAfterReads = 2;
    line.bytes(Bytes(good.begin() + 3, good.end()));
    uint8 buf[1024];
    uint16 cap = sizeof buf;
    EXPECT_EQ(FAIL, KESP_Rcv(buf, &cap, 30000));
    EXPECT_EQ(1, cntBreakDetect.load());
}

TEST_F(LinkTest, SigintCountsABreakAndNothingElse)
{
    KESP_InstallBreakHandler();
    log.clear();
    line.flushes = 0;
    raise(SIGINT);
    raise(SIGINT);
    EXPECT_EQ(2, cntBreakDetect.load());
    EXPECT_TRUE(log.lines().empty());
    EXPECT_EQ(0, line.flushes);
    // A receive started while a break is pending does not wait for the line.
    line.bytes(frame(C, BROADCAST, 'O', 'S', {}));
    uint8 buf[64];
    uint16 cap = sizeof buf;
    EXPECT_EQ(FAIL, KESP_Rcv(buf, &cap, 30000));
    EXPECT_EQ(0, line.reads);
    EXPECT_EQ(2, cntBreakDetect.load());
}

TEST_F(LinkTest, NoiseForSixtySecondsFails)
{
    // Bytes keep coming, none forms a frame: the receive ends after 60 s.
    for (int i = 0; i < 7; ++i) {
        line.bytes(Bytes(10, 0x55));
        line.advance(10000);
    }
    line.bytes(Bytes(10, 0x55));
    line.bytes(frame(C, BROADCAST, 'O', 'S', {}));
    uint8 buf[1024];
    uint16 cap = sizeof buf;
    EXPECT_EQ(FAIL, KESP_Rcv(buf, &cap, 3000));
    EXPECT_EQ(RCV_LONGTIMEOUT, errnoKESP);
    EXPECT_TRUE(log.contains("Err (KESP_Rcv): Errore ricezione: TIMEOUT!\n"));
    EXPECT_TRUE(log.contains("Err (KESP_Rcv): timeStart:"));

    // A longer listening time raises the limit with it.
    line.reset();
    log.clear();
    for (int i = 0; i < 7; ++i) {
        line.bytes(Bytes(10, 0x55));
        line.advance(10000);
    }
    line.bytes(frame(C, BROADCAST, 'O', 'S', {}));
    cap = sizeof buf;
    EXPECT_EQ(SUCC, KESP_Rcv(buf, &cap, 78000));
}

TEST_F(LinkTest, ReadErrorResetsThePort)
{
    line.error(TTYD_ERR_READ);
    uint8 buf[1024];
    uint16 cap = sizeof buf;
    const int opens = line.opens;
    EXPECT_EQ(FAIL, KESP_Rcv(buf, &cap, 3000));
    EXPECT_EQ(RCV_NOSTXDETECT, errnoKESP);
    EXPECT_TRUE(log.contains("Err (KESP_Rcv): Errore (-6) Provo a resettare la seriale\n"));
    EXPECT_TRUE(log.contains("  (KESP_End): Chiude il canale di comunicazione\n"));
    EXPECT_EQ(opens + 1, line.opens);
    EXPECT_NE(0xFF, KESP_ch.load());
}

TEST_F(LinkTest, PortThatWillNotReopenBacksOffAndLogsBoundedly)
{
    line.error(TTYD_ERR_READ);
    line.openOk = false;
    uint8 buf[1024];
    uint16 cap = sizeof buf;
    EXPECT_EQ(FAIL, KESP_Rcv(buf, &cap, 3000));
    EXPECT_EQ(0xFF, KESP_ch.load());
    const int64_t slept0 = clock.sleptMs();
    const int opens0 = line.opens;
    const int calls = 300;
    for (int i = 0; i < calls; ++i) {
        cap = sizeof buf;
        EXPECT_EQ(FAIL, KESP_Rcv(buf, &cap, 3000));
    }
    // One attempt per call, each at least a second after the previous one.
    EXPECT_EQ(opens0 + calls, line.opens);
    EXPECT_GE(clock.sleptMs() - slept0, int64_t(calls - 1) * 1000);
    EXPECT_LE(clock.sleptMs() - slept0, int64_t(calls) * 1000 + 1000);
    EXPECT_LE(log.count("Errore inizializzazione!"), 10);
    EXPECT_EQ(0, log.count("Canale non valido"));

    // The port comes back: the next receive opens it and hears the line again.
    line.openOk = true;
    const Bytes good = frame(C, BROADCAST, 'O', 'S', {});
    line.bytes(good);
    cap = sizeof buf;
    EXPECT_EQ(SUCC, KESP_Rcv(buf, &cap, 3000));
    EXPECT_TRUE(log.contains("riaperta dopo"));
}

// ---- Receiving and checking a reply ----------------------------------------------

TEST_F(LinkTest, RcvReplyPurgesNoiseBeforeTheHeader)
{
    pckStruct q{B, C, 'B', 'N', nullptr, 0};
    const Bytes reply = frame(C, BROADCAST, 'B', 'N', Bytes(20, 0x44));
    const Bytes nak = frame(C, B, NCK, '5', {});
    struct Case {
        const char *name;
        Bytes line;
        uint16 capacity;
        int result;
        uint16 len;
    } cases[] = {
        {"at once", reply, 30, 0, 30},
        {"after noise with an STX", cat({{0x00, STX, 0x11, STX}, reply}), 30, 0, 30},
        {"after a frame of another station", cat({frame(D, A, 'B', 'N', {}), reply}), 30, 0, 30},
        {"a negative reply is noise", nak, 30, -1, 30},
        {"data missing", Bytes(reply.begin(), reply.end() - 5), 30, -1, 30},
        {"announced more than the capacity: capped", frame(C, BROADCAST, 'B', 'N', Bytes(40, 1)), 30, 0, 30},
        {"silence", {}, 30, -1, 30},
        {"capacity below a frame", reply, 9, -1, 9},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        line.reset();
        log.clear();
        line.bytes(c.line);
        Bytes buf(c.capacity, 0);
        uint16 len = c.capacity;
        EXPECT_EQ(c.result, KESP_RcvReply(buf.data(), &len, q));
        EXPECT_EQ(c.len, len);
        if (c.result == 0 && c.line == reply) {
            EXPECT_EQ(reply, buf);
        }
    }
    line.reset();
    log.clear();
    uint8 buf[30];
    uint16 len = sizeof buf;
    EXPECT_EQ(-1, KESP_RcvReply(buf, &len, q));
    EXPECT_TRUE(log.contains(
        "Err (KESP_RcvReply): Errore ricezione: manca il carattere di inizio pacchetto della risposta timeout:3000!\n"));
    EXPECT_EQ(READTIMEOUT, line.timeouts.front());
}

TEST_F(LinkTest, RcvReplyGivesUpAfterSixtySecondsOfOtherTraffic)
{
    pckStruct q{B, C, 'B', 'N', nullptr, 0};
    for (int i = 0; i < 30; ++i) {
        line.bytes(frame(D, A, 'B', 'S', {}));
        line.advance(2500);
    }
    uint8 buf[30];
    uint16 len = sizeof buf;
    EXPECT_EQ(KESP_RCVLONGTIMEOUT, KESP_RcvReply(buf, &len, q));
    EXPECT_TRUE(log.contains("Err (KESP_RcvReply): Errore ricezione: TIMEOUT!\n"));
}

TEST_F(LinkTest, DecodeChecksInOrder)
{
    const Bytes query = frame(B, C, 'B', 'N', {});
    const Bytes good = frame(C, B, 'B', 'N', Bytes(20, 9));
    Bytes badStx = good;
    badStx[0] = 0x01;
    Bytes badCrc = good;
    badCrc[8] ^= 0xFF;
    struct Case {
        const char *name;
        Bytes reply;
        int pckLenDelta;
        int result;
        uint8 err;
        const char *logLine;
    } cases[] = {
        {"good", good, 0, 0, 0, nullptr},
        {"broadcast from the queried station", frame(C, BROADCAST, 'B', 'N', Bytes(20, 9)), 0, 0, 0, nullptr},
        {"broadcast from another station", frame(D, BROADCAST, 'B', 'N', Bytes(20, 9)), 0, -1, ADDRSFAIL,
         "War (KESP_Decode): Errore Indirizzi Query Src:0xEB Dest:0xEC     Reply Src:0xED Dest:0xFF \n"},
        {"to another station", frame(C, A, 'B', 'N', Bytes(20, 9)), 0, -1, ADDRSFAIL, nullptr},
        {"no STX", badStx, 0, -1, STXFAIL, "War (KESP_Decode): Errore intestazione\n"},
        {"length differs", good, -1, -1, DATALENFAIL, nullptr},
        {"CRC", badCrc, 0, -1, CRCRCVFAIL, "War (KESP_Decode): FINE STAMPE Errore Codice di Controllo\n"},
        {"NAK 1", frame(C, B, NCK, '1', {}), 0, -1, MAINCMDFAIL, "Err (KESP_Decode): MainCmd:B non riconosciuto\n"},
        {"NAK 2", frame(C, B, NCK, '2', {}), 0, -1, SUBCMDFAIL, "Err (KESP_Decode): SubCmd:N non riconosciuto\n"},
        {"NAK 3", frame(C, B, NCK, '3', {}), 0, -1, DATALENFAIL, "Err (KESP_Decode): DataLength non corretta\n"},
        {"NAK 4", frame(C, B, NCK, '4', {}), 0, -1, ERRCODEFAIL, "Err (KESP_Decode): CRC o CHKSUM non corretti\n"},
        {"NAK 5", frame(C, B, NCK, '5', {}), 0, -1, BUSYFAIL,
         "Err (KESP_Decode): Non e' possibile eseguire il comando in questo momento!\n"},
        {"NAK 6", frame(C, B, NCK, '6', {}), 0, -1, SECURITYPINFAIL, "Err (KESP_Decode): Security PIN non corretto\n"},
        {"NAK other", frame(C, B, NCK, '9', {}), 0, -1, GENFAIL, "Err (KESP_Decode): Errore generico\n"},
        {"other command", frame(C, B, 'B', 'S', {}), 0, -1, CMDSFAIL,
         "Err (KESP_Decode): Errore Comando, Main e Sub non coincidono\n"},
    };
    for (Case &c : cases) {
        SCOPED_TRACE(c.name);
        log.clear();
        errnoKESP = 0x7E;   // a stale reason never survives a check
        Bytes q = query;
        EXPECT_EQ(c.result, KESP_Decode(q.data(), c.reply.data(), uint16(int(c.reply.size()) + c.pckLenDelta)));
        EXPECT_EQ(c.err, errnoKESP);
        if (c.logLine) {
            EXPECT_TRUE(log.contains(c.logLine)) << log.text();
        }
    }
}

// ---- Listening as a slave --------------------------------------------------------

TEST_F(LinkTest, ListeningTimeFollowsTheDistanceFromTheLastMaster)
{
    struct Case {
        uint8 own, last;
        uint32 ms;
        bool divided;
    } cases[] = {
        {C, B, 30000, false},   {D, B, 60000, false},   {A, B, 120000, false},  {B, B, 30000, true},
        {A, 0xE0, 60000, true}, {B, 0xE0, 66000, true}, {C, 0xE0, 72000, true}, {D, 0xE0, 78000, true},
        // Distance 0: one step, never 0 ms.
        {A, 0xEF, 30000, false}, {0xE0, 0xE0, 30000, false},
        {0xE0, B, 66000, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << int(c.own) << " after " << int(c.last));
        EXPECT_EQ(c.ms, KESP_ListenTime(c.own, c.last));
        line.reset();
        log.clear();
        KESPAddr = c.own;
        LastMaster = c.last;
        uint8 buf[1024];
        EXPECT_EQ(NOACTIVITY, KESP_waitPck(buf, sizeof buf));
        ASSERT_FALSE(line.timeouts.empty());
        EXPECT_EQ(c.ms, line.timeouts.front());
        char expect[128];
        snprintf(expect, sizeof expect, "UPSBOX:0X%02X attende per %ld millisecondi  --- LastMaster:0x%02X\n",
                 unsigned(c.own), long(c.ms), unsigned(c.last));
        EXPECT_EQ(c.divided, log.contains(expect)) << log.text();
    }
}

TEST_F(LinkTest, WaitPckRecordsTheSenderAsLastMaster)
{
    LastMaster = 0xE0;
    line.bytes(frame(D, BROADCAST, 'B', 'S', {}));
    line.bytes(frame(0x0B, BROADCAST, 'G', 'I', {}));
    uint8 buf[1024];
    EXPECT_EQ(SUCC, KESP_waitPck(buf, sizeof buf));
    EXPECT_EQ(D, LastMaster.load());
    EXPECT_EQ(SUCC, KESP_waitPck(buf, sizeof buf));
    EXPECT_EQ(D, LastMaster.load());   // an MU board is not a master
}

TEST_F(LinkTest, RecoveryBusWaitsThenSendsABreak)
{
    const int64_t slept = clock.sleptMs();
    KESP_RecoveryBus();
    EXPECT_EQ(2, clock.sleptMs() - slept);
    EXPECT_EQ(1, line.breaksSent);
    EXPECT_GE(line.flushes, 1);
}

// ---- Over a pseudo-terminal through the channel layer ----------------------------

class PtyLinkTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        KESP_SetLinkIO(nullptr);
        pty.reset(new tvksim::PtyEnd());
        path = pty->path();
        serialPortKESP = path.c_str();
        KESPAddr = B;
        cntBreakDetect = 0;
    }
    void TearDown() override
    {
        KESP_End();
        KESP_SetLinkIO(nullptr);
        serialPortKESP = nullptr;
        KESPAddr = 224;
        cntBreakDetect = 0;
    }
    LogCapture log;
    std::unique_ptr<tvksim::PtyEnd> pty;
    std::string path;
};

TEST_F(PtyLinkTest, ReceivesAFrameAmongNoise)
{
    ASSERT_EQ(0, KESP_Init());
    EXPECT_EQ(profile::debugLines, log.contains("Dbg (KESP_Init): Inizializzo periferica di comunicazione 485-2\n"));
    const Bytes good = frame(C, BROADCAST, 'B', 'N', Bytes(20, 0x5A));
    std::thread far([&] {
        Bytes all = cat({{0x55, STX, 0x00}, frame(C, BROADCAST, 'B', 'N', Bytes(3, 1)), Bytes(1, 0x33), good});
        all[3 + 7] ^= 0xFF;   // spoil the first frame's data: CRC mismatch
        pty->writeChunks(all.data(), all.size(), 5, 2);
    });
    uint8 buf[1024];
    uint16 cap = sizeof buf;
    EXPECT_EQ(SUCC, KESP_Rcv(buf, &cap, 3000));
    far.join();
    EXPECT_EQ(good, Bytes(buf, buf + good.size()));
}

TEST_F(PtyLinkTest, VanishedPortIsRetriedAboutOnceASecond)
{
    ASSERT_EQ(0, KESP_Init());
    pty->closeMaster();
    uint8 buf[64];
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < 4; ++i) {
        uint16 cap = sizeof buf;
        EXPECT_EQ(FAIL, KESP_Rcv(buf, &cap, 3000));
    }
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_GE(ms, 2500);
    EXPECT_LE(ms, 6000);
    EXPECT_LE(log.count("Errore inizializzazione!"), 3);
}

TEST_F(PtyLinkTest, PortThatCannotBeOpenedFailsInit)
{
    serialPortKESP = "/dev/ttyTVKdoes-not-exist";
    EXPECT_EQ(-1, KESP_Init());
    EXPECT_EQ(0xFF, KESP_ch.load());
    EXPECT_TRUE(log.contains("Err (KESP_Init): Errore inizializzazione!\n"));
}

} // namespace
