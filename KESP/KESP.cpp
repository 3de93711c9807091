// Cabinet-bus link layer: opening and closing the bus, breaks, sending, building
// and taking apart frames, receiving any frame or a reply, checking a reply, and
// the listening time of a slave. The message catalogue is in KESPCatalogue.cpp.
#include "KESP.h"
#include "KESPFrame.h"

#include "ComDev.h"
#include "Globals.h"
#include "Log.h"
#include "SysClock.h"
#include "crc.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <linux/serial.h>
#include <mutex>
#include <new>
#include <sys/ioctl.h>
#include <sys/stat.h>

std::atomic<uint8> LastMaster{GROUPMASTER};
std::atomic<uint8> KESP_ch{0xFF};
std::atomic<int> cntBreakDetect{0};
uint8 errnoKESP = 0;

namespace {

constexpr uint8 NOCHANNEL = 0xFF;
// Channel number that stands for "open over the link seam".
constexpr uint8 SEAMCHANNEL = 0x7F;
constexpr uint16 RINGMASK = FIFOSIZE - 1;
static_assert((FIFOSIZE & RINGMASK) == 0, "the receive ring is indexed with a mask");
static_assert(KESP_MAXPCKLEN <= FIFOSIZE, "a whole frame fits in the ring");

// Byte I/O in force (empty members: the channel layer).
KESP_LinkIO g_io;
bool g_seam = false;

// Opening the port: the time of the last attempt (reopening waits for
// KESP_REOPENDELAY after it) and the failures in a row.
std::mutex g_openMutex;
bool g_attempted = false;
int64 g_lastAttemptMs = 0;
uint32 g_failsInRow = 0;

// Consecutive read errors that reset the port (for bounded logging).
uint32 g_readErrorsInRow = 0;
// After the first few, one line in this many.
constexpr uint32 LOGFIRST = 3;
constexpr uint32 LOGEVERY = 60;
bool logThisOne(uint32 nth) { return nth <= LOGFIRST || nth % LOGEVERY == 0; }

// Break counter of a real UART: the value last seen, and whether the port has one.
bool g_icountValid = false;
uint32 g_icountBrk = 0;

bool handlerInstalled = false;

using kespframe::be16;
using kespframe::finishFrame;
using kespframe::putBe16;

// Set while the bus thread is asked to stop: long waits for the line end at once.
std::atomic<bool> g_abortWait{false};

// Step of a long wait for the first byte: a break or a stop request is seen
// within this time, however long the silence the caller allows.
constexpr int KESP_WAITSTEPMS = 100;

// Waits for the first byte of a read in steps. TTYD_ERR_TIMEOUT when the whole
// silence passed or the wait was cut short (a break, a stop); 1 when the port
// has something to read (or reports a hang-up, which the read then reports).
int waitFirstByte(uint32 timeoutMs)
{
    const ttyd_port_t *p = ComDev_Port(KESP_ch);
    if (!p || !p->pt || p->pt->fd < 0)
        return 1;
    const int64 endMs = sysclock::monotonicMs() + int64(timeoutMs);
    for (;;) {
        if (g_abortWait.load() || cntBreakDetect.load() != 0)
            return TTYD_ERR_TIMEOUT;
        const int64 left = endMs - sysclock::monotonicMs();
        if (left <= 0)
            return TTYD_ERR_TIMEOUT;
        if (ttyd_wait_input(p, uint32(left < KESP_WAITSTEPMS ? left : KESP_WAITSTEPMS)) != 0)
            return 1;
    }
}

int linkRead(uint8 *buf, uint16 len, uint32 timeoutMs)
{
    if (!g_seam) {
        if (timeoutMs > uint32(KESP_WAITSTEPMS)) {
            const int64 startMs = sysclock::monotonicMs();
            if (waitFirstByte(timeoutMs) == TTYD_ERR_TIMEOUT)
                return TTYD_ERR_TIMEOUT;
            const int64 spent = sysclock::monotonicMs() - startMs;
            timeoutMs = spent < int64(timeoutMs) ? uint32(int64(timeoutMs) - spent) : 1u;
        }
        return ComDev_Rcv(KESP_ch, buf, len, timeoutMs);
    }
    return g_io.read ? g_io.read(buf, len, timeoutMs) : int(TTYD_ERR_TIMEOUT);
}

int linkWrite(const uint8 *buf, uint16 len)
{
    if (!g_seam)
        return ComDev_Send(KESP_ch, buf, len);
    return g_io.write ? g_io.write(buf, len) : 0;
}

void linkFlush()
{
    if (g_seam) {
        if (g_io.flush)
            g_io.flush();
        return;
    }
    if (KESP_ch != NOCHANNEL)
        ComDev_FlushQueue(KESP_ch);
}

// The UART's break counter, where the port has one (a pseudo-terminal has none).
bool readBreakCounter(uint32 &brk)
{
    if (g_seam)
        return g_io.breakCount ? g_io.breakCount(brk) : false;
    const ttyd_port_t *p = ComDev_Port(KESP_ch);
    if (!p || !p->pt || p->pt->fd < 0)
        return false;
    struct serial_icounter_struct ic;
    memset(&ic, 0, sizeof ic);
    if (ioctl(p->pt->fd, TIOCGICOUNT, &ic) != 0)
        return false;
    brk = uint32(ic.brk);
    return true;
}

// Takes the break counter's current value as the reference (after opening).
void resetBreakCounter()
{
    uint32 brk = 0;
    g_icountValid = readBreakCounter(brk);
    g_icountBrk = brk;
}

// Breaks the UART counted since the last look go into cntBreakDetect. The port
// is opened without becoming the controlling terminal, so a break raises no
// SIGINT; the counter is looked at after every read instead.
void pollLineBreaks()
{
    if (!g_icountValid)
        return;
    uint32 brk = 0;
    if (!readBreakCounter(brk))
        return;
    if (brk != g_icountBrk) {
        cntBreakDetect.fetch_add(int(uint32(brk - g_icountBrk)), std::memory_order_relaxed);
        g_icountBrk = brk;
    }
}

bool breakSeen()
{
    pollLineBreaks();
    return cntBreakDetect.load(std::memory_order_relaxed) != 0;
}

// Opens the channel (or the seam); true when open.
bool openChannel(bool quiet)
{
    if (g_seam) {
        if (g_io.open && !g_io.open())
            return false;
        KESP_ch = SEAMCHANNEL;
        resetBreakCounter();
        return true;
    }
    // A device that is not there now will not open: do not ask the channel layer
    // (and fill the log) for every retry.
    struct stat st;
    if (quiet && serialPortKESP && stat(serialPortKESP, &st) != 0)
        return false;
    uint8 ch = ComDev_Init(serialPortKESP, DEVICEBAUDRATE, true);
    if (ch == NOCHANNEL)
        return false;
    KESP_ch = ch;
    resetBreakCounter();
    return true;
}

// Distance of own address `a` from the last master `m`, in listening steps.
// Distance 0 (cabinet A after a master at 0xEF, or a card without a valid
// cabinet address after a start) would listen for no time at all and spin: it
// counts as one step.
uint8 listenDistance(uint8 a, uint8 m)
{
    uint8 d;
    if (a > 0xE9)
        d = a > m ? uint8(a - m) : uint8(a + 5 - m);
    else
        d = uint8(m - a);
    return d == 0 ? 1 : d;
}

const char *retName(int ret)
{
    switch (ret) {
    case SUCC: return "SUCC";
    case NOACTIVITY: return "NOACTIVITY";
    default: return "FAIL";
    }
}

} // namespace

void KESP_SetLinkIO(const KESP_LinkIO *io)
{
    if (io) {
        g_io = *io;
        g_seam = true;
    } else {
        g_io = KESP_LinkIO();
        g_seam = false;
    }
    KESP_ch = NOCHANNEL;
    std::lock_guard<std::mutex> lk(g_openMutex);
    g_attempted = false;
    g_failsInRow = 0;
    g_readErrorsInRow = 0;
    g_icountValid = false;
}

void KESP_BreakDetected(int signal)
{
    (void)signal;
    // Signal context: count only. The receive in progress sees the counter after
    // its read and flushes the line itself.
    cntBreakDetect.fetch_add(1, std::memory_order_relaxed);
}

void KESP_InstallBreakHandler()
{
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = KESP_BreakDetected;
    sigfillset(&sa.sa_mask);
    sa.sa_flags = 0;
    sigaction(SIGINT, &sa, nullptr);
    handlerInstalled = true;
}

int KESP_Init()
{
    if (KESP_ch != NOCHANNEL) {
        linkFlush();
        return 0;
    }
    std::unique_lock<std::mutex> lk(g_openMutex);
    const int64 now = sysclock::monotonicMs();
    if (g_attempted) {
        const int64 since = now - g_lastAttemptMs;
        if (since >= 0 && since < int64(KESP_REOPENDELAY)) {
            lk.unlock();
            sysclock::sleepMs(unsigned(int64(KESP_REOPENDELAY) - since));
            lk.lock();
        }
    }
    const bool retry = g_failsInRow > 0;
    if (!retry)
        LOGD("Inizializzo periferica di comunicazione 485-2\n");
    if (!handlerInstalled)
        KESP_InstallBreakHandler();
    g_attempted = true;
    g_lastAttemptMs = sysclock::monotonicMs();
    if (!openChannel(retry)) {
        ++g_failsInRow;
        if (logThisOne(g_failsInRow)) {
            LOGE("Errore inizializzazione!\n");
            if (g_failsInRow > 1)
                LOGW("Porta %s non disponibile: %u tentativi falliti\n", serialPortKESP ? serialPortKESP : "(null)",
                     unsigned(g_failsInRow));
        }
        return -1;
    }
    if (retry)
        LOGN("Porta %s riaperta dopo %u tentativi falliti\n", serialPortKESP ? serialPortKESP : "(null)",
             unsigned(g_failsInRow));
    g_failsInRow = 0;
    lk.unlock();
    linkFlush();
    return 0;
}

int KESP_End()
{
    const uint8 ch = KESP_ch;
    if (ch != NOCHANNEL) {
        LOGN("Chiude il canale di comunicazione\n");
        if (!g_seam)
            ComDev_End(ch);
        KESP_ch = NOCHANNEL;
        g_icountValid = false;
    }
    return 0;
}

void KESP_RecoveryBus()
{
    sysclock::sleepMs(2);
    if (g_seam) {
        if (g_io.sendBreak)
            g_io.sendBreak();
        linkFlush();
        return;
    }
    ComDev_RecoveryBus(KESP_ch);
}

int KESP_Send(uint8 *stream, uint16 len)
{
    LOGD("stream:%p  -- len:%u\n", static_cast<void *>(stream), unsigned(len));
    LOGDUMP("Q:", stream, len);
    int rc = -1;
    for (int i = 0; i < 4; ++i) {
        rc = linkWrite(stream, len);
        if (rc == 0)
            return 0;
    }
    return rc;
}

uint16 KESP_BuildQuery(pckStruct &qcs, uint8 *&query)
{
    query = nullptr;
    if (qcs.ParamLen > KESP_MAXPCKLEN - KESP_HEAD_QUEUE_LEN) {
        LOGE("Lunghezza dati eccessiva: %u byte!\n", unsigned(qcs.ParamLen));
        return 0;
    }
    if (qcs.ParamLen > 0 && !qcs.pParam) {
        // Sending whatever the heap holds under a valid CRC would be worse than nothing.
        LOGE("Puntatore non inizializzato!\n");
        return 0;
    }
    const uint16 len = uint16(qcs.ParamLen + KESP_HEAD_QUEUE_LEN);
    uint8 *f = new (std::nothrow) uint8[len];
    if (!f) {
        LOGE("malloc fallita!!\n");
        return 0;
    }
    if (qcs.ParamLen > 0)
        memcpy(f + KESP_DATAOFFSET, qcs.pParam, qcs.ParamLen);
    finishFrame(f, KESPAddr, qcs.Dest, qcs.MainCmd, qcs.SubCmd, qcs.ParamLen);
    query = f;
    return len;
}

void KESP_DestroyQuery(uint8 *&query)
{
    delete[] query;
    query = nullptr;
}

void KESP_ExtractQuery(pckStruct &query, uint8 *pck)
{
    query.Src = pck[KESP_SOURCEOFFSET];
    query.Dest = pck[KESP_DESTOFFSET];
    query.MainCmd = pck[KESP_MAINCMDOFFSET];
    query.SubCmd = pck[KESP_SUBCMDOFFSET];
    query.ParamLen = be16(pck + KESP_LENGTHOFFSET);
    query.pParam = pck + KESP_DATAOFFSET;
}

int KESP_ACKReply(pckStruct &query)
{
    uint8 f[KESP_ACKLEN];
    f[KESP_DATAOFFSET] = ACK;
    finishFrame(f, KESPAddr, query.Src, query.MainCmd, query.SubCmd, 1);
    return KESP_Send(f, KESP_ACKLEN) == 0 ? 0 : -1;
}

int KESP_BusyReply(uint8 src)
{
    uint8 f[KESP_BUSYLEN];
    finishFrame(f, KESPAddr, src, NCK, '5', 0);
    return KESP_Send(f, KESP_BUSYLEN) == 0 ? 0 : -1;
}

void KESP_ACKControl(long timestamp, pckStruct &reply)
{
    (void)timestamp;
    KESP_UpdateLastMaster(reply.Src);
    if (reply.ParamLen == 1 && reply.pParam && reply.pParam[0] == ACK)
        LOGN("ACK a CMD:%C%C da scheda:0x%X!!\n", wint_t(reply.MainCmd), wint_t(reply.SubCmd), unsigned(reply.Src));
    else if (reply.ParamLen == 1 && reply.pParam)
        LOGE("NOT_ACKNOWLEDGED a CMD:%C%C da scheda:0x%X!!\n", wint_t(reply.MainCmd), wint_t(reply.SubCmd),
             unsigned(reply.Src));
    else
        LOGE("Formato della risposta errato!!\n");
}

void KESP_UpdateLastMaster(uint8 src)
{
    if (isMasterCapable(src))
        LastMaster = src;
}

int KESP_Rcv(uint8 *stream, uint16 *len, uint32 timeout)
{
    if (!stream || !len || *len < KESP_HEAD_QUEUE_LEN) {
        LOGE("Buffer di ricezione non valido!\n");
        LOGD("ret=%s\n", retName(FAIL));
        return FAIL;
    }
    // A candidate must fit both in the caller's buffer and in the ring.
    const uint16 capacity = *len < FIFOSIZE ? *len : FIFOSIZE;

    uint8 ring[FIFOSIZE];
    memset(ring, 0, sizeof ring);
    uint16 head = 0;        // first byte of the current candidate
    uint16 buffered = 0;    // bytes from head on
    uint16 want = 1;        // bytes the next read asks for
    const struct timespec start = sysclock::monotonic();
    const int64 startMs = sysclock::monotonicMs();
    const int64 limitMs = timeout > READTIMEOUTNOISE ? int64(timeout) : int64(READTIMEOUTNOISE);

    if (KESP_ch == NOCHANNEL) {
        // The port is closed (it could not be opened, or vanished): try again,
        // no sooner than the reopening delay.
        if (KESP_Init() != 0) {
            errnoKESP = RCV_NOSTXDETECT;
            LOGD("ret=%s\n", retName(FAIL));
            return FAIL;
        }
    }
    if (breakSeen()) {
        linkFlush();
        LOGD("ret=%s\n", retName(FAIL));
        return FAIL;
    }

    uint32 idle = 0;   // silence already spent on frames given up (see below)
    for (;;) {
        const uint16 tail = uint16((head + buffered) & RINGMASK);
        uint16 n = want;
        if (n > FIFOSIZE - tail)
            n = uint16(FIFOSIZE - tail);
        // The rest of a frame begun is waited for at most KESP_FRAMEGAP: a frame
        // cut short would otherwise take the next frames' bytes as its rest, and the
        // frames addressed to this card in them would go unanswered.
        const uint32 silence = timeout > idle ? timeout - idle : 1u;
        const bool inFrame = buffered > 0 && ring[head] == STX;
        const uint32 allowed = inFrame && silence > KESP_FRAMEGAP ? KESP_FRAMEGAP : silence;
        const int got = linkRead(ring + tail, n, allowed);

        if (breakSeen()) {
            // The line was broken: whatever was being received is void. The
            // counter stays set for the bus thread.
            linkFlush();
            LOGD("ret=%s\n", retName(FAIL));
            return FAIL;
        }
        if (got == TTYD_ERR_TIMEOUT && allowed < silence) {
            // Given up: the bytes after its STX are scanned again, the silence
            // spent counts against the time allowed.
            LOGW("Errore ricezione: pacchetto interrotto (%u byte su %u), scartato dopo %u ms di silenzio\n",
                 unsigned(buffered), unsigned(buffered + want), unsigned(allowed));
            idle += allowed;
            ring[head] = 0;
            head = uint16((head + 1) & RINGMASK);
            --buffered;
        } else if (got <= 0) {
            if (got == TTYD_ERR_TIMEOUT) {
                g_readErrorsInRow = 0;
                LOGW("Errore ricezione: manca il carattere di inizio pacchetto!\n");
                LOGD("ret=%s\n", retName(NOACTIVITY));
                return NOACTIVITY;
            }
            errnoKESP = RCV_NOSTXDETECT;
            ++g_readErrorsInRow;
            if (logThisOne(g_readErrorsInRow))
                LOGE("Errore (%d) Provo a resettare la seriale\n", got);
            KESP_End();
            KESP_Init();
            LOGD("ret=%s\n", retName(FAIL));
            return FAIL;
        } else {
            idle = 0;
            const int64 nowMs = sysclock::monotonicMs();
            if (nowMs - startMs >= limitMs) {
                const struct timespec now = sysclock::monotonic();
                LOGE("Errore ricezione: TIMEOUT!\n");
                LOGE("timeStart:%8ld.%06ld timeNow:%8ld.%06ld\n", long(start.tv_sec), long(start.tv_nsec / 1000),
                     long(now.tv_sec), long(now.tv_nsec / 1000));
                errnoKESP = RCV_LONGTIMEOUT;
                LOGD("ret=%s\n", retName(FAIL));
                return FAIL;
            }
            buffered = uint16(buffered + uint16(got));
            LOGD("H:%d Q:%d\n", int(head), int((head + buffered) & RINGMASK));
        }

        // Scan for a frame at head; drop one byte at a time until one is found or
        // more bytes are needed.
        want = 0;
        while (want == 0) {
            if (buffered == 0) {
                want = 1;
                break;
            }
            if (ring[head] != STX) {
                ring[head] = 0;
                head = uint16((head + 1) & RINGMASK);
                --buffered;
                continue;
            }
            if (buffered < KESP_HEADLEN) {
                want = uint16(KESP_HEADLEN - buffered);
                break;
            }
            const uint16 dataLen =
                uint16((uint16(ring[(head + KESP_LENGTHOFFSET) & RINGMASK]) << 8) | ring[(head + KESP_LENGTHOFFSET + 1) & RINGMASK]);
            if (dataLen > capacity - KESP_HEAD_QUEUE_LEN) {
                ring[head] = 0;
                head = uint16((head + 1) & RINGMASK);
                --buffered;
                continue;
            }
            const uint16 frameLen = uint16(dataLen + KESP_HEAD_QUEUE_LEN);
            if (buffered < frameLen) {
                want = uint16(frameLen - buffered);
                break;
            }
            // The candidate's own last byte, wherever later bytes stand.
            if (ring[(head + frameLen - 1) & RINGMASK] != ETX) {
                ring[head] = 0;
                head = uint16((head + 1) & RINGMASK);
                --buffered;
                continue;
            }
            const uint16 first = uint16(FIFOSIZE - head) < frameLen ? uint16(FIFOSIZE - head) : frameLen;
            memcpy(stream, ring + head, first);
            if (first < frameLen)
                memcpy(stream + first, ring, size_t(frameLen - first));
            const uint16 crc = crcCalc(stream + 1, int(dataLen) + 6);
            if (crc == be16(stream + KESP_DATAOFFSET + dataLen)) {
                g_readErrorsInRow = 0;
                LOGD("ret=%s\n", retName(SUCC));
                LOGDUMP("Rcv:", stream, frameLen);
                return SUCC;
            }
            ring[head] = 0;
            head = uint16((head + 1) & RINGMASK);
            --buffered;
        }
    }
}

int KESP_RcvReply(uint8 *stream, uint16 *len, pckStruct &query)
{
    if (!stream || !len || *len < KESP_HEAD_QUEUE_LEN) {
        LOGE("Buffer di ricezione non valido!\n");
        return -1;
    }
    const uint16 capacity = *len;
    const int64 startMs = sysclock::monotonicMs();
    uint16 have = 0;   // header bytes in place at stream[0 .. have-1]
    for (;;) {
        const uint16 need = uint16(KESP_HEADLEN - have);
        const int got = linkRead(stream + have, need, READTIMEOUT);
        pollLineBreaks();
        if (got == TTYD_ERR_TIMEOUT) {
            LOGE("Errore ricezione: manca il carattere di inizio pacchetto della risposta timeout:%d!\n",
                 int(READTIMEOUT));
            return -1;
        }
        if (got <= 0) {
            ++g_readErrorsInRow;
            if (logThisOne(g_readErrorsInRow))
                LOGE("Errore (%d) Provo a resettare la seriale\n", got);
            KESP_End();
            KESP_Init();
            return -1;
        }
        if (sysclock::monotonicMs() - startMs > int64(READTIMEOUTNOISE) - 1) {
            LOGE("Errore ricezione: TIMEOUT!\n");
            return KESP_RCVLONGTIMEOUT;
        }
        if (stream[0] == STX && stream[KESP_SOURCEOFFSET] == query.Dest && stream[KESP_MAINCMDOFFSET] == query.MainCmd &&
            stream[KESP_SUBCMDOFFSET] == query.SubCmd)
            break;
        // Not the reply: keep the header from its next STX on, if any.
        uint16 k = 1;
        while (k < KESP_HEADLEN && stream[k] != STX)
            ++k;
        if (k < KESP_HEADLEN) {
            for (uint16 i = 0; i + k < KESP_HEADLEN; ++i) {
                LOGD("cnt:%d offset:%d purged:0x%02X\n", int(i), int(k), unsigned(stream[i]));
                stream[i] = stream[i + k];
            }
            have = uint16(KESP_HEADLEN - k);
        } else {
            have = 0;
        }
    }
    uint16 dataLen = be16(stream + KESP_LENGTHOFFSET);
    if (dataLen > capacity - KESP_HEAD_QUEUE_LEN)
        dataLen = uint16(capacity - KESP_HEAD_QUEUE_LEN);
    const int got = linkRead(stream + KESP_HEADLEN, uint16(dataLen + 3), READTIMEOUT);
    pollLineBreaks();
    if (got == int(dataLen + 3)) {
        *len = uint16(dataLen + KESP_HEAD_QUEUE_LEN);
        LOGDUMP("RcvReply:", stream, *len);
        return 0;
    }
    LOGE("Errore ricezione: non sono presenti tutti i byte descritti in lenght!\n");
    LOGE("Len:%d MainCmd:0x%02X SubCmd:0x%02X\n", int(be16(stream + KESP_LENGTHOFFSET)),
         unsigned(stream[KESP_MAINCMDOFFSET]), unsigned(stream[KESP_SUBCMDOFFSET]));
    return -1;
}

int KESP_Decode(uint8 *query, uint8 *reply, uint16 pckLen)
{
    errnoKESP = 0;
    if (reply[0] != STX) {
        LOGW("Errore intestazione\n");
        errnoKESP = STXFAIL;
        return -1;
    }
    const uint8 qSrc = query[KESP_SOURCEOFFSET], qDest = query[KESP_DESTOFFSET];
    const uint8 rSrc = reply[KESP_SOURCEOFFSET], rDest = reply[KESP_DESTOFFSET];
    const bool addrOk = rDest == BROADCAST ? rSrc == qDest : (rDest == qSrc && rSrc == qDest);
    if (!addrOk) {
        LOGW("Errore Indirizzi Query Src:0x%02X Dest:0x%02X     Reply Src:0x%02X Dest:0x%02X \n", unsigned(qSrc),
             unsigned(qDest), unsigned(rSrc), unsigned(rDest));
        errnoKESP = ADDRSFAIL;
        return -1;
    }
    const uint8 qMain = query[KESP_MAINCMDOFFSET], qSub = query[KESP_SUBCMDOFFSET];
    const uint8 rMain = reply[KESP_MAINCMDOFFSET], rSub = reply[KESP_SUBCMDOFFSET];
    if (rMain == qMain && rSub == qSub) {
        const uint16 dataLen = be16(reply + KESP_LENGTHOFFSET);
        if (pckLen < KESP_HEAD_QUEUE_LEN || pckLen != uint32(dataLen) + KESP_HEAD_QUEUE_LEN) {
            errnoKESP = DATALENFAIL;
            return -1;
        }
        const uint16 calc = crcCalc(reply + 1, int(pckLen) - 4);
        const uint16 got = be16(reply + KESP_DATAOFFSET + dataLen);
        if (calc != got) {
            LOGW("Errore Codice di Controllo\n");
            LOGW("Calcolato:0x%04X Ricevuto:0x%04X\n", unsigned(calc), unsigned(got));
            LOGW("datalen:%d\n", int(dataLen));
            LOGDUMP("replypck:", reply, pckLen);
            LOGW("FINE STAMPE Errore Codice di Controllo\n");
            errnoKESP = CRCRCVFAIL;
            return -1;
        }
        return 0;
    }
    if (rMain == NCK) {
        switch (rSub) {
        case '1':
            LOGE("MainCmd:%c non riconosciuto\n", qMain);
            errnoKESP = MAINCMDFAIL;
            break;
        case '2':
            LOGE("SubCmd:%c non riconosciuto\n", qSub);
            errnoKESP = SUBCMDFAIL;
            break;
        case '3':
            LOGE("DataLength non corretta\n");
            errnoKESP = DATALENFAIL;
            break;
        case '4':
            LOGE("CRC o CHKSUM non corretti\n");
            errnoKESP = ERRCODEFAIL;
            break;
        case '5':
            LOGE("Non e' possibile eseguire il comando in questo momento!\n");
            errnoKESP = BUSYFAIL;
            break;
        case '6':
            LOGE("Security PIN non corretto\n");
            errnoKESP = SECURITYPINFAIL;
            break;
        default:
            LOGE("Errore generico\n");
            errnoKESP = GENFAIL;
            break;
        }
        return -1;
    }
    LOGE("Errore Comando, Main e Sub non coincidono\n");
    errnoKESP = CMDSFAIL;
    return -1;
}

uint32 KESP_ListenTime(uint8 addr, uint8 last)
{
    uint32 t = uint32(listenDistance(addr, last)) * DELAYUNIT;
    if (t > KESP_MAXLISTEN)
        t /= 5;
    return t;
}

int KESP_waitPck(uint8 *data, uint16 len)
{
    const uint8 a = KESPAddr;
    const uint8 m = LastMaster;
    const uint32 t = KESP_ListenTime(a, m);
    if (uint32(listenDistance(a, m)) * DELAYUNIT > KESP_MAXLISTEN)
        LOGN("UPSBOX:0X%02X attende per %ld millisecondi  --- LastMaster:0x%02X\n", unsigned(a), long(t), unsigned(m));
    uint16 cap = len;
    const int ret = KESP_Rcv(data, &cap, t);
    if (ret == SUCC)
        KESP_UpdateLastMaster(data[KESP_SOURCEOFFSET]);
    return ret;
}

void KESP_AbortWait(bool abort) { g_abortWait = abort; }
