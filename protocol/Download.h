#pragma once

#include <cstdint>

constexpr int DOWNLOAD_IMAGE_MAX = 61440;
constexpr int DOWNLOAD_BLOCK = 128;
constexpr int DOWNLOAD_TIMEOUT_MS = 6000;
// The terminal gets this long after "LoadP", answered or not, before anything else.
constexpr int DOWNLOAD_START_PAUSE_MS = 128;
// Data buffer of one download step; Transact bounds the reply copy by it.
constexpr int TRANSACT_DATA_MAX = 256;

// How a request/reply step reaches the terminal; comm/ supplies one per
// channel, tests may supply their own.
class FrameExchange {
  public:
    virtual ~FrameExchange() = default;
    // Sends the sendLen bytes of the frame in buf and reads the reply into the
    // same buffer of bufSize bytes within F and I (ms). Returns the reply
    // length or a negative result code.
    virtual int Exchange(uint8_t* buf, int bufSize, int sendLen, int F, int I) = 0;
};

// Where a download reports its progress.
class DownloadProgress {
  public:
    virtual ~DownloadProgress() = default;
    // The block phase begins; blockTotal is the file size / 128.
    virtual void Started(int blockTotal) = 0;
    // A block or the closing byte sum was accepted.
    virtual void Stepped() = 0;
};

// One request/reply step: builds the frame for machine and command with len
// data bytes from data, exchanges it, and puts the reply's data (at most
// dataSize bytes) back into data and its length field into len. When an
// acknowledgement leads (serial, modem, UDP), the reply behind it is the one
// unpacked. Returns the reply's status byte (0..255), RES_BAD_LENGTH,
// RES_WRONG_MACHINE, RES_RECV_ERROR for a reply shorter than its header, or
// the exchange's code.
int Transact(FrameExchange& link, uint8_t machine, uint8_t command, int F, int I, int& len,
             uint8_t* data, int dataSize);

// Downloads the program image at path: "LoadP", the size, the blocks from
// offset 128 on, the block at 0, then the byte sum, reporting the block
// phase to progress. Returns RES_OK, a result code (RES_FILE_UNREADABLE,
// RES_IMAGE_TOO_LARGE when larger than 61,440 bytes, refused before anything
// is sent) or the first non-zero status.
int DownloadImage(FrameExchange& link, uint8_t machine, const char* path,
                  DownloadProgress& progress);

// The download dialog's percentage after a step that found the progress bar
// at pos, of blockTotal: rounded, at most 100. A block total below 1 (an
// image shorter than one block) counts as 1.
int DownloadPercent(int pos, int blockTotal);
