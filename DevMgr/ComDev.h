// Communication channels: a device path becomes a small channel number (0 to 3)
// and the serial port hides behind initialise, send, receive, flush and recover.
// The RS-485 driver settings come from the device name.
//
// Threads: each bus opens, uses and closes its own channel from its own thread,
// holding its channel mutex around every exchange. Opening and closing channels
// from several threads at once is safe; a channel must not be closed while
// another thread is still using it.
#ifndef TVK_COMDEV_H
#define TVK_COMDEV_H

#include "TTYDev.h"
#include "Types.h"

#define COMDEV_MAX_CHANNELS 4
#define COMDEV_NO_CHANNEL 255

// Opens the device at `baudrate` (unknown rates fall back to 9600) in raw mode:
// channel number 0 to 3, or 255.
uint8 ComDev_Init(const char *name, int baudrate, bool wDBG);
// 0 when all bytes were written, -1 otherwise.
int ComDev_Send(uint8 ch, const uint8 *stream, uint16 len);
// Exactly desired_len bytes: desired_len, or the negative port-layer code
// (-9 for a time-out; received bytes stay in stream), or -1 for a bad channel.
// `timeout` (ms) bounds the silence before the first byte and between chunks.
int ComDev_Rcv(uint8 ch, uint8 *stream, uint16 desired_len, uint32 timeout);
// Discards pending input and output.
void ComDev_FlushQueue(uint8 ch);
// Sends a break, then flushes (only on /dev/tty... devices).
void ComDev_RecoveryBus(uint8 ch);
// Restores, closes and frees the channel's port: 0, or -1 when not initialised.
int ComDev_End(uint8 ch);
// Makes the channel's device the controlling terminal: 0, or -1.
int ComDev_SetCtrlTerm(uint8 ch);
// The port behind a channel (null when free or out of range), for inspection.
const ttyd_port_t *ComDev_Port(uint8 ch);

#endif
