#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "protocol/FrameReader.h"
#include "protocol/ResultCodes.h"

// Serial ports are addressed by their COM number 0..255, as config.xml and
// the messages name them. A process-wide table binds each number to a tty
// device: by default COM1-COM32 are /dev/ttyS0-31, COM33-COM64
// /dev/ttyUSB0-31 and COM65-COM96 /dev/ttyACM0-31; any number can be bound
// explicitly to any device (a /dev/serial/by-id path, a pseudo-terminal).

constexpr int COM_PORT_COUNT = 256;

// Binds COM number n to a device path; an empty path restores the default.
// Returns 0, or -1 when n is outside 0..255.
int ComBindDevice(int n, const char* device);

// The device path COM number n stands for; empty when it has none.
std::string ComDevicePath(int n);

// The COM number that opens device (a path such as /dev/ttyUSB0): the lowest
// number explicitly bound to it, else its slot of the default table unless
// that number is bound elsewhere. Returns -1 when no number opens it.
int ComNumberOfDevice(const char* device);

// The line speeds in bits per second by baud index, in the order of the
// settings dialogs' lists.
inline constexpr int COM_BAUD_RATES[] = {19200, 9600,  4800,   2400,  1200,
                                         28800, 57600, 115200, 921600};

// Bits per second of a baud index (COM_BAUD_RATES; any other index 921600).
int ComBaudRate(unsigned index);

// The index of a configured rate; a rate not in the table gives 0.
unsigned ComBaudIndex(long rate);

// Opens COMn exclusively, raw 8N1 at the indexed speed. Returns RES_OK, or
// RES_OPEN_FAILED when the device is absent, busy or cannot be set up;
// ComOpenError then says why.
ResultCode ComOpen(int n, unsigned baudIndex);

// The errno behind this thread's last failed ComOpen: the system's own for
// the device (ENOENT, EACCES, EWOULDBLOCK held by another program, ENOTTY
// not a tty, ...), ENODEV for a COM number without a device, EBUSY for a port
// this program has open already. 0 after a successful open.
int ComOpenError();

// Closes COMn and drops the bytes read ahead on it; closing a closed port
// returns RES_OK. Waits until no reader or writer of the other thread still
// uses the descriptor. Returns RES_OK or RES_OPEN_FAILED.
ResultCode ComClose(int n);

// Purges both queues and the bytes read ahead, then writes count bytes.
// Returns RES_OK, or RES_SEND_FAILED when the port is not open, a write
// fails, or the write makes no progress for 5 ms per byte of count plus
// 50 ms (each byte moved restarts that span).
ResultCode ComWrite(int n, const uint8_t* data, int count);

// Where ComWriteAll puts bytes: Write takes up to count bytes and returns how
// many it took, 0 when none could go within waitMs, or -1 when it failed;
// Tick is a millisecond clock.
struct ComWriteSink {
    virtual ~ComWriteSink() = default;
    virtual int Write(const uint8_t* data, int count, int waitMs) = 0;
    virtual uint32_t Tick() = 0;
};

// ComWrite's rule over any sink. Returns RES_OK, or RES_SEND_FAILED when the
// sink fails or takes nothing for 5 ms per byte of count plus 50 ms.
ResultCode ComWriteAll(ComWriteSink& sink, const uint8_t* data, int count);

// Reads one reply frame within F and I (ms) into buf of bufSize bytes; an
// acknowledgement stays in front of the reply. Each read from the device
// takes all that waits: bytes past the frame's end are read ahead and are
// the first the next frame read or raw receive takes. A port's reads and
// writes come from one thread at a time. A tap, when given, sees the bytes
// the reader takes (AcceptReply). Returns the byte count, or RES_RECV_ERROR
// (read failed, port closed, end byte), RES_REPLY_TOO_LARGE, RES_INTER_TIMEOUT,
// RES_NO_START or RES_CHECKSUM.
int ComReadFrame(int n, int F, int I, uint8_t* buf, int bufSize, ReadTap* tap = nullptr);

// One read of up to max bytes that returns at once with what is waiting,
// the bytes read ahead first. Returns the count (0 if nothing) or
// RES_RECV_ERROR.
int ComReadRaw(int n, uint8_t* buf, int max);

// True when COMn is open and its device has hung up (unplugged, or the far
// end of a pseudo-terminal closed); false otherwise.
bool ComHungUp(int n);

// Raise DTR / RTS. A device without modem lines ignores it. Returns 0, or
// -1 when the port is not open.
int ComRaiseDtr(int n);
int ComRaiseRts(int n);

// Reads the carrier-detect line into present (absent on a device without
// modem lines). Returns 0, or -1 when the port is not open.
int ComGetCarrier(int n, bool& present);

// Test seam for the modem-control lines, which pseudo-terminals lack. When
// set, raising a line and reading the carrier go to these instead of the
// device. Pass nullptr to restore the device. Set it while no port is used.
struct ComModemLines {
    virtual ~ComModemLines() = default;
    virtual void RaiseDtr(int n) = 0;
    virtual void RaiseRts(int n) = 0;
    virtual bool Carrier(int n) = 0;
};
void ComSetModemLines(ComModemLines* lines);
