#include "DUVEX.h"

#include "ComDev.h"
#include "Globals.h"
#include "Log.h"
#include "SysClock.h"
#include "crc.h"

#include <algorithm>
#include <cstring>
#include <new>

uint8 errnoDuvex = 0;

namespace {

uint8 DUVEX_ch = 255;   // module-bus channel, 255 while closed

// Largest frame that can arrive: an 8-bit data length plus header and trailer.
constexpr int MAXRCVFRAME = 255 + DUVEX_HEAD_QUEUE_LEN;

constexpr int RCV_TIMEOUT = -9;    // time-out code of the port layer
constexpr int RCV_RESET = -2;      // read error: the channel must be reset

bool isGI(const uint8 *frame)
{
    return frame[DUVEX_MAINCMDOFFSET] == 'G' && frame[DUVEX_SUBCMDOFFSET] == 'I';
}

uint8 decodedLen(const uint8 *frame)
{
    return uint8(DUVEX_DCd2Dec(frame + DUVEX_LENGTHOFFSET, 2));
}

} // namespace

void DUVEX_Dec2DCd(uint32 value, uint8 *bytes, uint8 count)
{
    switch (count) {
    case 2:
    case 3:
    case 4:
    case 5:
    case 8:
        break;
    default:
        LOGE("Valore non contemplato\n");
        return;
    }
    if (!bytes)
        return;
    for (int i = count - 1; i >= 0; --i) {
        bytes[i] = uint8(0x30 + (value & 0x0Fu));
        value >>= 4;
    }
}

uint32 DUVEX_DCd2Dec(const uint8 *bytes, uint8 count)
{
    uint32 v = 0;
    if (!bytes)
        return 0;
    for (uint8 i = 0; i < count; ++i)
        v = (v << 4) + uint8(bytes[i] - 0x30);
    return v;
}

uint16 DUVEX_CheckCode(const uint8 *frame, uint8 dataLen)
{
    const int n = 6 + dataLen;   // bytes 1 .. 6+dataLen
    if (isGI(frame)) {
        uint16 sum = 0;
        for (int i = 1; i <= n; ++i)
            sum = uint16(sum + frame[i]);
        return sum;
    }
    return crcCalc(frame + 1, n);
}

uint16 DUVEX_BuildQuery(pckStruct &query, uint8 *&frame)
{
    frame = nullptr;
    if (query.ParamLen > DUVEX_MAXDATALEN) {
        // The length field and every receive count are 8-bit: such a frame
        // cannot be represented, so none is built.
        LOGE("Lunghezza parametri non ammessa:%u (max %u)\n", unsigned(query.ParamLen),
             unsigned(DUVEX_MAXDATALEN));
        return 0;
    }
    const uint8 n = uint8(query.ParamLen);
    const uint16 len = uint16(n + DUVEX_HEAD_QUEUE_LEN);
    frame = new (std::nothrow) uint8[len];
    if (!frame) {
        LOGE("malloc fallita!!\n");
        return 0;
    }
    frame[0] = DUVEX_STX;
    frame[DUVEX_SOURCEOFFSET] = query.Src;
    frame[DUVEX_DESTOFFSET] = query.Dest;
    frame[DUVEX_MAINCMDOFFSET] = query.MainCmd;
    frame[DUVEX_SUBCMDOFFSET] = query.SubCmd;
    DUVEX_Dec2DCd(n, frame + DUVEX_LENGTHOFFSET, 2);
    if (n > 0) {
        if (query.pParam) {
            memcpy(frame + DUVEX_DATAOFFSET, query.pParam, n);
        } else {
            LOGE("Puntaore non inizializzato!\n");
            memset(frame + DUVEX_DATAOFFSET, 0, n);
        }
    }
    DUVEX_Dec2DCd(DUVEX_CheckCode(frame, n), frame + DUVEX_DATAOFFSET + n, 4);
    frame[DUVEX_DATAOFFSET + n + 4] = DUVEX_ETX;
    return len;
}

void DUVEX_ExtractQuery(pckStruct &out, const uint8 *frame)
{
    out.Src = frame[DUVEX_SOURCEOFFSET];
    out.Dest = frame[DUVEX_DESTOFFSET];
    out.MainCmd = frame[DUVEX_MAINCMDOFFSET];
    out.SubCmd = frame[DUVEX_SUBCMDOFFSET];
    out.pParam = const_cast<uint8 *>(frame + DUVEX_DATAOFFSET);
    out.ParamLen = decodedLen(frame);
}

int DUVEX_ACKBuildReply(pckStruct &query, uint8 *&reply, long &timestamp)
{
    timestamp = long(sysclock::now());
    reply = new (std::nothrow) uint8[DUVEX_HEAD_QUEUE_LEN];
    if (!reply) {
        LOGE("malloc fallita!!\n");
        return 0;
    }
    reply[0] = DUVEX_STX;
    reply[DUVEX_SOURCEOFFSET] = query.Dest;
    reply[DUVEX_DESTOFFSET] = query.Src;
    reply[DUVEX_MAINCMDOFFSET] = query.MainCmd;
    reply[DUVEX_SUBCMDOFFSET] = query.SubCmd;
    DUVEX_Dec2DCd(0, reply + DUVEX_LENGTHOFFSET, 2);
    DUVEX_Dec2DCd(crcCalc(reply + 1, 6), reply + DUVEX_DATAOFFSET, 4);
    reply[DUVEX_DATAOFFSET + 4] = DUVEX_ETX;
    return DUVEX_HEAD_QUEUE_LEN;
}

void DUVEX_ACKVerify(uint8 boxId, pckStruct &reply)
{
    LOGN("ACK from box%c, comando %c%c scr:%c dest:%c\n", char('A' + boxId), reply.MainCmd,
         reply.SubCmd, reply.Src, reply.Dest);
}

void DUVEX_Init()
{
    if (DUVEX_ch != 255)
        return;
    LOGD("Inizializzo periferica di comunicazione 485-1\n");
    uint8 ch = 255;
    if (serialPort)
        ch = ComDev_Init(serialPort, deviceBaudRate, false);
    if (ch == 255) {
        LOGE("Errore inizializzazione!\n");
        return;
    }
    DUVEX_ch = ch;
}

void DUVEX_End()
{
    if (DUVEX_ch == 255)
        return;
    LOGN("Chiude il canale di comunicazione\n");
    ComDev_End(DUVEX_ch);
    DUVEX_ch = 255;
}

uint8 DUVEX_Channel() { return DUVEX_ch; }

namespace {

int DUVEX_Send(uint8 *stream, uint16 len)
{
    LOGTRACE("Send");
    LOGD("stream:%p  -- len:%u\n", static_cast<void *>(stream), unsigned(len));
    return ComDev_Send(DUVEX_ch, stream, len);
}

int DUVEX_Rcv(uint8 *stream, uint16 len, uint32 timeout)
{
    LOGTRACE("Start Rcv");
    int r = ComDev_Rcv(DUVEX_ch, stream, len, timeout);
    LOGTRACE("Stop Rcv");
    return r;
}

// Checks a received reply against its query. `nRead` is the number of data
// bytes actually read (the reply's own length is never trusted beyond it);
// `expectedData` the data length the query expects.
int DUVEX_Decode(const uint8 *query, const uint8 *reply, uint8 nRead, uint16 expectedData)
{
    errnoDuvex = 0;
    if (reply[0] != DUVEX_STX) {
        LOGW("Errore intestazione\n");
        return -1;
    }
    if (reply[DUVEX_SOURCEOFFSET] != query[DUVEX_DESTOFFSET] ||
        reply[DUVEX_DESTOFFSET] != query[DUVEX_SOURCEOFFSET]) {
        LOGW("Errore Indirizzi Query Src:0x%02X Dest:0x%02X     Reply Src:0x%02X Dest:0x%02X \n",
             query[DUVEX_SOURCEOFFSET], query[DUVEX_DESTOFFSET], reply[DUVEX_SOURCEOFFSET],
             reply[DUVEX_DESTOFFSET]);
        return -1;
    }
    if (reply[DUVEX_MAINCMDOFFSET] == query[DUVEX_MAINCMDOFFSET] &&
        reply[DUVEX_SUBCMDOFFSET] == query[DUVEX_SUBCMDOFFSET]) {
        const uint8 announced = decodedLen(reply);
        const uint8 l = std::min(announced, nRead);
        const uint16 calc = DUVEX_CheckCode(reply, l);
        const uint8 *code = reply + DUVEX_DATAOFFSET + l;
        const uint16 rcvd = uint16(DUVEX_DCd2Dec(code, 4));
        // Compared as characters: a byte outside '0'..'?' never passes for a nibble.
        uint8 expect[4];
        DUVEX_Dec2DCd(calc, expect, 4);
        if (memcmp(expect, code, sizeof expect) != 0) {
            LOGW("Errore Codice di Controllo\n");
            LOGW("Calcolato:0x%04X Ricevuto:0x%04X\n", calc, rcvd);
            LOGW("datalen:%d\n", int(l));
            LOGDUMP("replypck:", reply, size_t(l) + DUVEX_HEAD_QUEUE_LEN);
            LOGW("FINE STAMPE Errore Codice di Controllo\n");
            return -1;
        }
#if defined(TVK_STD)
        if (announced != expectedData) {
            errnoDuvex = 254;
            LOGE("!!datalen mismatch: expected:%d received:%d!!\n", int(expectedData), int(announced));
            return -1;
        }
#else
        (void)expectedData;
#endif
        LOGD("... OK\n");
        return 0;
    }
    LOGW("Errore Comando\n");
    if (reply[DUVEX_MAINCMDOFFSET] != DUVEX_NAK) {
        LOGE("Formato non riconosciuto!\n");
        return -1;
    }
    errnoDuvex = uint8(reply[DUVEX_SUBCMDOFFSET] - '0');
    switch (reply[DUVEX_SUBCMDOFFSET]) {
    case '1': LOGE("MainCmd:%c non riconosciuto\n", query[DUVEX_MAINCMDOFFSET]); break;
    case '2': LOGE("SubCmd:%c non riconosciuto\n", query[DUVEX_SUBCMDOFFSET]); break;
    case '3': LOGE("DataLength non corretta\n"); break;
    case '4': LOGE("CRC o CHKSUM non corretti\n"); break;
    case '5': LOGE("Non e' possibile eseguire il comando in questo momento!\n"); break;
    case '6': LOGE("Security PIN non corretto\n"); break;
    default: LOGE("Errore generico\n"); break;
    }
    return -1;
}

// Reception and decoding; RCV_RESET asks the caller to reset the channel.
// Its lines are those of the transaction and carry its name.
#define LOGE_MQ(...) tvk_log(__FILE__, "DUVEX_ManageQuery", LogLevel::Err, __VA_ARGS__)
int rcvReply(const uint8 *query, uint8 *reply, uint16 replyLen, const DUVEX_ReadFn &read)
{
    uint8 frame[MAXRCVFRAME + 1];
    memset(frame, 0, sizeof frame);
    int got = 0;   // bytes of the frame held in `frame`
    // Whatever was received is also left in the caller's buffer, cut to its size.
    auto keep = [&]() {
        if (reply && replyLen > 0 && got > 0)
            memcpy(reply, frame, size_t(std::min<int>(got, replyLen)));
    };

    // Start of frame: skip noise within the exchange window.
    // (The window is read through sysclock so that tests can drive it.)
    const int64 start = sysclock::monotonicMs();
    for (;;) {
        int r = read(frame, 1, DUVEX_FIRSTBYTETIMEOUT);
        if (r == RCV_TIMEOUT) {
            LOGE_MQ("Errore ricezione: manca il carattere di inizio pacchetto!\n");
            errnoDuvex = 255;
            return -1;
        }
        if (r <= 0) {
            LOGE_MQ("Errore (%d) Provo a resettare la seriale\n", r);
            errnoDuvex = 255;
            return RCV_RESET;
        }
        if (sysclock::monotonicMs() - start > DUVEX_MAXEXCHANGEMS) {
            LOGE_MQ("Errore ricezione: TIMEOUT!\n");
            errnoDuvex = 255;
            return -1;
        }
        if (frame[0] == DUVEX_STX)
            break;
    }
    got = 1;

    // Header: Src, Dest, MainCmd, SubCmd and the length field.
    int r = read(frame + 1, 6, DUVEX_READTIMEOUT);
    if (r != 6) {
        LOGE_MQ("Errore ricezione: non e' presente il campo lenght!\n");
        errnoDuvex = 255;
        keep();
        if (r < 0 && r != RCV_TIMEOUT) {
            // A broken port is reopened here, not at the next transaction's send.
            LOGE_MQ("Errore (%d) Provo a resettare la seriale\n", r);
            return RCV_RESET;
        }
        return -1;
    }
    got = 7;

    // Data, check code and ETX; never more data than the reply buffer takes.
    const int maxData = std::max(0, std::min(int(replyLen) - int(DUVEX_HEAD_QUEUE_LEN), 255));
    const uint8 n = uint8(std::min<int>(decodedLen(frame), maxData));
    const int want = n + 5;
    r = read(frame + DUVEX_DATAOFFSET, uint16(want), DUVEX_READTIMEOUT);
    if (r != want) {
        LOGE_MQ("Errore ricezione: non sono presenti tutti i byte descritti in lenght!\n");
        if (r < 0)
            LOGE_MQ(" codice d'errore:%d attesi:%d\n", r, want);
        else
            LOGE_MQ(" ricevuti:%d attesi:%d\n", r, want);
        errnoDuvex = 255;
        keep();
        if (r < 0 && r != RCV_TIMEOUT) {
            LOGE_MQ("Errore (%d) Provo a resettare la seriale\n", r);
            return RCV_RESET;
        }
        return -1;
    }
    got = DUVEX_HEAD_QUEUE_LEN + n;   // the ETX byte is read but not checked
    keep();

    tvk_dump(__FILE__, "DUVEX_ManageQuery", "R:", frame, size_t(got));
    return DUVEX_Decode(query, frame, n, uint16(maxData));
}

} // namespace

int DUVEX_RcvReply(const uint8 *query, uint8 *reply, uint16 replyLen, const DUVEX_ReadFn &read)
{
    int r = rcvReply(query, reply, replyLen, read);
    return r == 0 ? 0 : -1;
}

int DUVEX_ManageQuery(QCMgr &qc)
{
    const pckStruct &q = qc.QC;
    LOGD("Invio comando %c%c alla scheda 0x%02X ptr(%p)_len(%d)...\n", q.MainCmd, q.SubCmd, q.Dest,
         static_cast<void *>(qc.pckQuery), int(q.ParamLen));
    LOGDUMP("PCK:", qc.pckQuery, qc.buildQueryLen);

    int result = -1;
    if (!qc.pckQuery || qc.buildQueryLen < DUVEX_HEAD_QUEUE_LEN) {
        // Nothing sendable (e.g. a query that could not be framed).
        LOGE("Pacchetto non valido, len:%u\n", unsigned(qc.buildQueryLen));
    } else {
        // A channel lost by a failed reset is opened again before each transaction.
        if (DUVEX_ch == 255)
            DUVEX_Init();
        if (DUVEX_ch != 255)
            ComDev_FlushQueue(DUVEX_ch);
        if (DUVEX_Send(qc.pckQuery, qc.buildQueryLen) == 0) {
            auto rd = [](uint8 *buf, uint16 len, uint32 timeout) { return DUVEX_Rcv(buf, len, timeout); };
            result = rcvReply(qc.pckQuery, qc.pckReply, qc.expectedReplyLen, rd);
            if (result == RCV_RESET) {
                DUVEX_End();
                DUVEX_Init();
                result = -1;
            }
        } else if (DUVEX_ch != 255) {
            // The send failed: either the other side was already talking (the
            // port is fine) or the port itself is broken. A port that cannot even
            // be asked for input is reset like on a read error, otherwise every
            // later send would fail on it for good.
            uint8 probe;
            int r = DUVEX_Rcv(&probe, 1, 0);
            if (r < 0 && r != RCV_TIMEOUT) {
                LOGE("Errore (%d) Provo a resettare la seriale\n", r);
                DUVEX_End();
                DUVEX_Init();
            }
        }
    }
    if (result != 0) {
        LOGE("FALLITO Comando %c%c inviato alla scheda 0x%02X\n", q.MainCmd, q.SubCmd, q.Dest);
        return -1;
    }
    return 0;
}

namespace {

constexpr int kUnknownMain = -1;
constexpr int kUnknownSub = -2;

// Reply data length of a query, or kUnknownMain / kUnknownSub.
int replyDataLen(const pckStruct &query)
{
    const uint8 m = query.MainCmd;
    const uint8 s = query.SubCmd;
    switch (m) {
    case 'C':
        switch (s) {
        case 'B': case 'D': case 'F': case 'M': case 'P': case 'R': case 'S': case 'U':
            return 0;
        }
        break;
    case 'D':
        switch (s) {
        case 'C':
            if (query.Dest == DUVEX_BYPASSADDR)
                return query.ParamLen == 1 ? DCBYPDATALENGTH : 0;
            return 0;
        case 'E': return DEDATALENGTH;
        case 'S': return DSDATALENGTH;
        }
        break;
    case 'G':
        switch (s) {
        case 'I': return GIDATALENGTH;
        case 'M': return GMDATALENGTH;
        case 'N': return GNDATALENGTH;
#if defined(TVK_MODULAR)
        case 'E': return GEDATALENGTH;
#endif
        }
        break;
    case 'R':
        switch (s) {
#if !defined(TVK_MODULAR)
        case 'A': return RADATALENGTH;
#endif
        case 'B': return RBDATALENGTH;
#if defined(TVK_MODULAR)
        case 'C': return RCDATALENGTH;
#endif
        case 'E': return REDATALENGTH;
        case 'K': return RKDATALENGTH;
        case 'S': return RSDATALENGTH_TT;
        case 'X': return RXDATALENGTH;
        }
        break;
    case 'S':
        switch (s) {
        case 'M': return SMDATALENGTH;
        case 'T': return 0;
        case 'V': return SVDATALENGTH;
        }
        break;
    case 'T':
        // TB starts a battery test, TC (no parameters) clears its result.
        if (s == 'B' || s == 'C')
            return 0;
        break;
    default:
        return kUnknownMain;
    }
    return kUnknownSub;
}

} // namespace

uint16 DUVEX_GetReplyDataLen(pckStruct &query)
{
    const int n = replyDataLen(query);
    if (query.MainCmd == 'D' && query.SubCmd == 'C' && query.Dest != DUVEX_BYPASSADDR &&
        !(query.ParamLen == 1 && query.pParam && (query.pParam[0] == '0' || query.pParam[0] == '1')))
        LOGE("COMANDO SCONOSCIUTO!!\n");
    if (n == kUnknownMain)
        LOGE("MainCmd %c non supportato\n", query.MainCmd);
    else if (n == kUnknownSub)
        LOGE("SubCmd %c non supportato per il MainCmd %c\n", query.SubCmd, query.MainCmd);
    return n < 0 ? 0 : uint16(n);
}

int DUVEX_LookupReplyDataLen(const pckStruct &query)
{
    const int n = replyDataLen(query);
    return n < 0 ? -1 : n;
}
