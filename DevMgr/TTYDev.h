// TTY port layer: one descriptor per open serial device and the free functions
// (ttyd_...) that open it, set the line parameters and raw mode, read with a
// restarting silence time-out, write one reply at a time (never late), send a
// break, flush, close and restore the device.
//
// Every function returns 0 on success or one of the negative TTYD_ERR_* codes.
// Only the channel layer (ComDev) calls it; all calls on one port come from the
// thread that holds that bus's channel mutex. The layer has no locks.
#ifndef TVK_TTYDEV_H
#define TVK_TTYDEV_H

#include "Types.h"
#include "TTYKernel.h"

#include <cstddef>
#include <sys/types.h>
#include <termios.h>

// Characters of the device path kept in a descriptor (plus the terminator).
#define TTYD_DEV_MAXLEN 30

enum ttyd_baud_e : int32_t {
    TTYD_BAUD_1200 = 0,
    TTYD_BAUD_2400 = 1,
    TTYD_BAUD_4800 = 2,
    TTYD_BAUD_9600 = 3,
    TTYD_BAUD_19200 = 4,
    TTYD_BAUD_38400 = 5,
    TTYD_BAUD_57600 = 6,
    TTYD_BAUD_115200 = 7,
    TTYD_BAUD_MAX = 8
};

enum ttyd_data_e : int32_t { TTYD_DATA_5 = 0, TTYD_DATA_6 = 1, TTYD_DATA_7 = 2, TTYD_DATA_8 = 3, TTYD_DATA_MAX = 4 };

enum ttyd_parity_e : int32_t {
    TTYD_PARITY_NONE = 0,
    TTYD_PARITY_ODD = 1,
    TTYD_PARITY_EVEN = 2,
    TTYD_PARITY_MAX = 3
};

enum ttyd_stop_e : int32_t { TTYD_STOP_1 = 0, TTYD_STOP_2 = 1, TTYD_STOP_MAX = 2 };

enum ttyd_flow_e : int32_t { TTYD_FLOW_OFF = 0, TTYD_FLOW_HW = 1, TTYD_FLOW_XON_XOFF = 2, TTYD_FLOW_MAX = 3 };

enum ttyd_status_e : int32_t { TTYD_PORT_CLOSED = 0, TTYD_PORT_OPEN = 1 };

enum ttyd_err_e : int32_t {
    TTYD_ERR_NOERROR = 0,
    TTYD_ERR_UNKNOWN = -1,
    TTYD_ERR_OPEN = -2,
    TTYD_ERR_CLOSE = -3,
    TTYD_ERR_FLUSH = -4,
    TTYD_ERR_CONFIG = -5,
    TTYD_ERR_READ = -6,
    TTYD_ERR_WRITE = -7,
    TTYD_ERR_SELECT = -8,
    TTYD_ERR_TIMEOUT = -9,
    TTYD_ERR_IOCTL = -10,
    TTYD_ERR_PORT_CLOSED = -11,
    TTYD_ERR_BREAK = -12,
    TTYD_ERR_MAX = -13
};

// Platform part of a port.
struct ttyd_linux_t {
    int fd;                  // open file descriptor, -1 when closed
    struct termios oldterm;  // settings found when raw mode was set; restored by ttyd_end
    bool oldtermSaved;       // oldterm holds settings read from the device
    int vmin;                // minimum-characters setting this layer gave the device (0: none)
    int64_t lastRxUs;        // monotonic time a character was last seen on the port (0: never)
    int64_t rxCount;         // characters read since the descriptor was made
    int64_t flowStartUs;     // earliest start of the reply coming in that its chunks allow
    ttykernel::Settings kset; // the device's settings as last read or written by setMinChars
};

// One open (or openable) device.
struct ttyd_port_t {
    char dev[TTYD_DEV_MAXLEN + 1];  // device path, initial "/dev/null"
    ttyd_linux_t *pt;               // owned
    ttyd_baud_e baud;
    ttyd_data_e data;
    ttyd_stop_e stop;
    ttyd_flow_e flow;
    ttyd_parity_e parity;
    ttyd_status_e status;
    bool wDBG;                      // debug flag of the port, set at open
};

// A new closed descriptor with the initial values, or null when memory runs out.
ttyd_port_t *ttyd_init();
// Copies at most TTYD_DEV_MAXLEN characters of the path (null copies an empty path).
void ttyd_set_device(ttyd_port_t *p, const char *device);
// Opens the device (read-write, exclusive, no controlling terminal, synchronous
// writes), discards pending data and applies the stored line parameters.
int ttyd_open(ttyd_port_t *p, bool withDBG);
// Saves the current settings into oldterm and puts the device into raw mode.
int ttyd_termios(ttyd_port_t *p);

// Line parameters: 0, -1 for a value out of range (nothing changed), -5 on a settings failure.
int ttyd_set_baud(ttyd_port_t *p, ttyd_baud_e baud);
int ttyd_set_data(ttyd_port_t *p, ttyd_data_e data);
int ttyd_set_parity(ttyd_port_t *p, ttyd_parity_e parity);
int ttyd_set_stop(ttyd_port_t *p, ttyd_stop_e stop);
int ttyd_set_flow(ttyd_port_t *p, ttyd_flow_e flow);

// Reads exactly buf_len bytes. `timeout` (ms) bounds the silence before the first
// byte and between chunks; -9 may come with bytes already in buf. *read_len always
// tells how many arrived.
int ttyd_read_timeout(ttyd_port_t *p, uint8 *buf, uint32 buf_len, uint32 *read_len, uint32 timeout);
// One write attempt, refused (-7, nothing written) while input is waiting.
// *write_len tells how many bytes were written (may be fewer than buf_len).
// Waits at most timeoutMs for a character to read, without reading it: 1 when one
// is waiting (or the port reports an error or a hang-up, which the next read
// reports), 0 after the time, TTYD_ERR_PORT_CLOSED for a closed port. A signal
// ends the wait early with 0.
int ttyd_wait_input(const ttyd_port_t *p, uint32 timeoutMs);
int ttyd_write(ttyd_port_t *p, const uint8 *buf, uint32 buf_len, uint32 *write_len);
// Waits until all output has been sent.
int ttyd_write_complete(ttyd_port_t *p);
int ttyd_sendbreak(ttyd_port_t *p);
int ttyd_flush(ttyd_port_t *p);
int ttyd_close(ttyd_port_t *p);
// Flush, restore the saved settings, close, free the descriptor. A port that is
// not open is left alone (0). After a 0 result the descriptor must not be used.
int ttyd_end(ttyd_port_t *p);
// Frees a descriptor whatever its state (closes the descriptor, restores nothing).
// For owners that must let go of a port ttyd_end could not release.
void ttyd_free(ttyd_port_t *p);
// Device control request passed through: the request's result, or -10 when it fails.
int ttyd_ioctl(ttyd_port_t *p, uint32 cmd, void *param);
// Makes the device the controlling terminal of the process; 0 or -1.
int ttyd_SetCtrlTerm(ttyd_port_t *p);
bool ttyd_port_open(const ttyd_port_t *p);

// Texts of the codes and values; null when out of range. ttyd_strerror logs the code.
const char *ttyd_strerror(int code);
const char *ttyd_strbaud(int baud);
const char *ttyd_strdata(int data);
const char *ttyd_strparity(int parity);
const char *ttyd_strstop(int stop);
const char *ttyd_strflow(int flow);

// Seam for the one write call of ttyd_write (a driver that takes part of a
// buffer cannot be produced on a pseudo-terminal). Null restores write(2).
// Returns the previous function.
typedef ssize_t (*ttyd_write_fn)(int fd, const void *buf, size_t len);
ttyd_write_fn ttyd_set_write_fn(ttyd_write_fn fn);

#endif
