#include "ComDev.h"

#include "Log.h"
#include "Profile.h"

#include <atomic>
#include <cstring>
#include <linux/serial.h>
#include <mutex>
#include <string>
#include <sys/ioctl.h>

namespace {

// One entry of the channel table; null when the channel is free.
struct chDescr_t {
    std::atomic<ttyd_port_t *> port{nullptr};
};

chDescr_t g_channels[COMDEV_MAX_CHANNELS];
// Guards taking and freeing entries (each bus opens and closes its channel from
// its own thread, possibly at the same time). Exchanges on a channel do not take
// it: the bus's channel mutex orders them.
std::mutex g_tableMutex;

// RS-485 settings by device path.
struct DeviceEntry {
    const char *path;
    LogLevel level;
    const char *message;   // null: no message
    int rs485Flags;        // -1: RS-485 settings not touched
};

const int kRtsAfterSend = SER_RS485_ENABLED | SER_RS485_RTS_AFTER_SEND;   // 5
const int kRtsOnSend = SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;         // 3
const unsigned kRtsDelayMs = 1;

#if defined(TVK_MODULAR)
const DeviceEntry kDevices[] = {
    {"/dev/ttyZQ1", LogLevel::None, "ttyZQ1 in uso\n", kRtsAfterSend},
    {"/dev/ttyZQ2", LogLevel::None, "ttyZQ2 in uso\n", kRtsAfterSend},
    {"/dev/ttyZQ3", LogLevel::None, nullptr, -1},
    {"/dev/ttyZQ4", LogLevel::None, "ttyZQ4 in uso\n", kRtsOnSend},
};
#else
const DeviceEntry kDevices[] = {
    {"/dev/ttyUSB0", LogLevel::None, "ttyZQ1 in uso\n", kRtsAfterSend},
    {"/dev/ttyZQ2", LogLevel::None, "ttyZQ2 in uso\n", kRtsAfterSend},
    {"/dev/ttyZQ3", LogLevel::Dbg, "ttyZQ3 in uso solo 232!\n", -1},
    {"/dev/ttyZQ4", LogLevel::None, "ttyZQ4 in uso\n", kRtsOnSend},
    {"/dev/ttySTM2", LogLevel::None, "ttySTM2 in uso\n", kRtsOnSend},
};
#endif

bool acceptedPath(const char *name)
{
    if (!name)
        return false;
    if (strncmp(name, "/dev/tty", 8) == 0)
        return true;
#if defined(TVK_MODULAR)
    return false;
#else
    return strncmp(name, "/dev/tnt", 8) == 0;
#endif
}

ttyd_baud_e mapBaud(int baudrate, const char *func)
{
    switch (baudrate) {
    case 1200: return TTYD_BAUD_1200;
    case 2400: return TTYD_BAUD_2400;
    case 4800: return TTYD_BAUD_4800;
    case 9600: return TTYD_BAUD_9600;
    case 19200: return TTYD_BAUD_19200;
    case 38400: return TTYD_BAUD_38400;
    case 57600: return TTYD_BAUD_57600;
    case 115200: return TTYD_BAUD_115200;
    default:
        tvk_log(__FILE__, func, LogLevel::Err, "Valore non contemplato! Imposto 9600\n");
        return TTYD_BAUD_9600;
    }
}

// Frees a table entry taken by ComDev_Init and lets go of its descriptor.
void dropEntry(uint8 ch, ttyd_port_t *p)
{
    {
        std::lock_guard<std::mutex> lk(g_tableMutex);
        g_channels[ch].port.store(nullptr);
    }
    ttyd_free(p);
}

// The port of a channel in use; logs (in the caller's name) and gives null otherwise.
ttyd_port_t *channelPort(uint8 ch, const char *func)
{
    if (ch >= COMDEV_MAX_CHANNELS) {
        tvk_log(__FILE__, func, LogLevel::Err, "Canale non valido!\n");
        return nullptr;
    }
    ttyd_port_t *p = g_channels[ch].port.load();
    if (!p)
        tvk_log(__FILE__, func, LogLevel::Err, "Canale non inizializzato!\n");
    return p;
}

// Log lines carry the name of `func` (the caller).
void applyRs485(ttyd_port_t *p, int flags, const char *func)
{
    // The driver's answers are not checked: a device without RS-485 support
    // (a pseudo-terminal, for one) simply keeps its settings.
    struct serial_rs485 rs;
    memset(&rs, 0, sizeof rs);
    ttyd_ioctl(p, TIOCGRS485, &rs);
    tvk_log(__FILE__, func, LogLevel::None, "ANTE - flags:%u delay_before_send:%u delay_after_send:%u\n", unsigned(rs.flags),
         unsigned(rs.delay_rts_before_send), unsigned(rs.delay_rts_after_send));
    rs.flags = uint32(flags);
    rs.delay_rts_before_send = kRtsDelayMs;
    rs.delay_rts_after_send = kRtsDelayMs;
    ttyd_ioctl(p, TIOCSRS485, &rs);
    ttyd_ioctl(p, TIOCGRS485, &rs);
    tvk_log(__FILE__, func, LogLevel::None, "POST - flags:%u delay_before_send:%u delay_after_send:%u\n", unsigned(rs.flags),
         unsigned(rs.delay_rts_before_send), unsigned(rs.delay_rts_after_send));
}

} // namespace

uint8 ComDev_Init(const char *name, int baudrate, bool wDBG)
{
    if (!acceptedPath(name)) {
        LOGE("Tipo di dispositivo non supportato!\n");
        return COMDEV_NO_CHANNEL;
    }
    // The port keeps at most TTYD_DEV_MAXLEN characters of the path; a longer name
    // would open a different device, so it is refused.
    size_t nameLen = strlen(name);
    if (nameLen > TTYD_DEV_MAXLEN) {
        LOGE("Nome del dispositivo troppo lungo (%zu caratteri, massimo %d)!\n", nameLen, TTYD_DEV_MAXLEN);
        return COMDEV_NO_CHANNEL;
    }

    uint8 ch = COMDEV_NO_CHANNEL;
    ttyd_port_t *p = nullptr;
    {
        std::lock_guard<std::mutex> lk(g_tableMutex);
        for (uint8 i = 0; i < COMDEV_MAX_CHANNELS; ++i) {
            if (!g_channels[i].port.load()) {
                ch = i;
                break;
            }
        }
        if (ch == COMDEV_NO_CHANNEL) {
            LOGE("Non e' disponibile un canale libero!\n");
            return COMDEV_NO_CHANNEL;
        }
        LOGN("Trovato canale libero, indice:%d\n", int(ch));
        p = ttyd_init();
        if (!p) {
            LOGE("Errore inizializzazione tty\n");
            return COMDEV_NO_CHANNEL;
        }
        g_channels[ch].port.store(p);   // taken from here on
    }

    ttyd_set_device(p, name);
    ttyd_end(p);   // a fresh descriptor is closed: nothing to release
    if (ttyd_open(p, wDBG) != 0) {
        LOGE("Errore apertura device\n");
        dropEntry(ch, p);
        return COMDEV_NO_CHANNEL;
    }
    if (ttyd_set_baud(p, mapBaud(baudrate, __func__)) != 0) {
        LOGE("Errore impostazione Baudrate\n");
        ttyd_close(p);
        dropEntry(ch, p);
        return COMDEV_NO_CHANNEL;
    }

    const DeviceEntry *dev = nullptr;
    for (const DeviceEntry &d : kDevices) {
        if (strcmp(name, d.path) == 0) {
            dev = &d;
            break;
        }
    }
    if (!dev) {
        LOGW("Nessuna ttyZQ in uso!!!\n");
    } else {
        if (dev->message)
            tvk_log(__FILE__, __func__, dev->level, "%s", dev->message);
        if (dev->rs485Flags >= 0)
            applyRs485(p, dev->rs485Flags, __func__);
    }

    ttyd_termios(p);
    return ch;
}

int ComDev_Send(uint8 ch, const uint8 *stream, uint16 len)
{
    ttyd_port_t *p = channelPort(ch, __func__);
    if (!p)
        return -1;
    if (len == 0)
        return 0;
    if (!stream) {
#if defined(TVK_MODULAR)
        LOGE("errore in scrittura\n");
#else
        LOGE("errore in scrittura: err=%d\n", int(TTYD_ERR_WRITE));
#endif
        return -1;
    }
#if defined(TVK_MODULAR)
    if (ttyd_write_complete(p) != 0) {
        LOGE("tcdrain FAIL\n");
        return -1;
    }
#endif
    uint32 done = 0;
    uint32 remaining = len;
    while (remaining > 0) {
        uint32 written = 0;
        int rc = ttyd_write(p, stream + done, remaining, &written);
        // A write that takes nothing would repeat for ever: it counts as a failed write.
        if (rc == 0 && written == 0)
            rc = TTYD_ERR_WRITE;
        if (rc < 0) {
#if defined(TVK_MODULAR)
            LOGE("errore in scrittura\n");
#else
            LOGE("errore in scrittura: err=%d\n", rc);
#endif
            return -1;
        }
        remaining -= written;
        done += written;
        if (remaining == 0)
            LOGD("eccoci! scritti %d byte: %d rimanenti\n", int(written), 0);
        else
            LOGD("eccoci! scritti %d byte su %d richiesti\n", int(written), int(remaining));
    }
#if defined(TVK_MODULAR)
    if (ttyd_write_complete(p) != 0) {
        LOGE("tcdrain FAIL\n");
        return -1;
    }
#endif
    return 0;
}

int ComDev_Rcv(uint8 ch, uint8 *stream, uint16 desired_len, uint32 timeout)
{
    ttyd_port_t *p = channelPort(ch, __func__);
    if (!p)
        return -1;
    uint32 got = 0;
    int rc = ttyd_read_timeout(p, stream, desired_len, &got, timeout);
    if (rc == 0)
        return int(desired_len);
    LOGD("lettura fallita err:%d\n", rc);
    if (got == 0)
        return rc;
    LOGW("attesi:%d effettivi:%ld\n", int(desired_len), long(got));
    // Label line and the received bytes: a frame dump, which the modular build omits.
    LOGDUMP("rcvBuff", stream, got);
    return rc;
}

void ComDev_FlushQueue(uint8 ch)
{
    ttyd_port_t *p = channelPort(ch, __func__);
    if (!p)
        return;
    int rc = ttyd_flush(p);
    if (rc != 0)
        LOGE("flush error:%d\n", rc);
}

void ComDev_RecoveryBus(uint8 ch)
{
    ttyd_port_t *p = channelPort(ch, __func__);
    if (!p)
        return;
    if (strncmp(p->dev, "/dev/tty", 8) != 0) {
        LOGE("comando non supportato!\n");
        return;
    }
    LOGN("Invio del carattere BREAK!!!\n");
    ttyd_sendbreak(p);
    ComDev_FlushQueue(ch);
}

int ComDev_End(uint8 ch)
{
    ttyd_port_t *p = nullptr;
    if (ch < COMDEV_MAX_CHANNELS) {
        std::lock_guard<std::mutex> lk(g_tableMutex);
        p = g_channels[ch].port.exchange(nullptr);
    }
    if (!p) {
        LOGE("Canale non inizializzato, ch:%d\n", int(ch));
        return -1;
    }
    // A port whose far end has vanished cannot get its settings back; it is
    // released all the same, so that neither memory nor the descriptor leaks.
    if (ttyd_end(p) != 0)
        ttyd_free(p);
    return 0;
}

int ComDev_SetCtrlTerm(uint8 ch)
{
    ttyd_port_t *p = channelPort(ch, __func__);
    if (!p)
        return -1;
    return ttyd_SetCtrlTerm(p);
}

const ttyd_port_t *ComDev_Port(uint8 ch)
{
    return ch < COMDEV_MAX_CHANNELS ? g_channels[ch].port.load() : nullptr;
}
