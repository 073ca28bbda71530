#pragma once

#include <cstdint>

#include "protocol/ResultCodes.h"

// Where a reply reader takes its bytes and its time from. The serial and TCP
// drivers supply their own; tests feed bytes from memory with a fake clock.
class FrameSource {
  public:
    virtual ~FrameSource() = default;
    // Reads up to max bytes into dst, waiting at most waitMs for the first.
    // Returns the count (0: nothing came in time) or a negative result code
    // that ends the read (serial RES_RECV_ERROR; TCP RES_PEER_CLOSED,
    // RES_CONN_LOST).
    virtual int Read(uint8_t* dst, int max, int waitMs) = 0;
    // Millisecond tick counter; elapsed times are differences of two ticks.
    virtual uint32_t Tick() = 0;
};

// What differs between the channels that check replies.
struct FrameRules {
    // Serial and modem: an acknowledgement stays in front of the reply and
    // the wait for the reply's start byte runs on from the acknowledgement's
    // body phase. TCP: the reply is read over the acknowledgement from the
    // buffer's start with every clock restarted.
    bool bKeepAck;
    // TCP: header and body share one inter-character window.
    bool bOneWindow;
    // Code for a last byte other than 0xC3: serial RES_RECV_ERROR, TCP
    // RES_NOT_FRAME.
    ResultCode nEndByteError;
};

constexpr FrameRules SERIAL_RULES{true, false, RES_RECV_ERROR};
constexpr FrameRules TCP_RULES{false, true, RES_NOT_FRAME};

// Sees every byte a reader takes from its source, in the order taken, and
// how the reader cuts them into pieces. A capture records each piece as one
// packet.
class ReadTap {
  public:
    virtual ~ReadTap() = default;
    // count bytes the reader has just taken.
    virtual void Took(const uint8_t* data, int count) = 0;
    // The bytes taken since the last cut are one piece: what the reader
    // accepted (result > 0, its length), bytes it passed over outside any
    // frame (PIECE_SKIPPED), or the bytes on which the read ended with the
    // code result. A cut with no bytes taken since the last one is no piece.
    virtual void Cut(int result) = 0;
};

constexpr int PIECE_SKIPPED = 0;

// Reads one reply frame within the first-character time-out F and the
// inter-character time-out I (ms) into buf, which holds bufSize bytes.
// Returns the byte count placed in buf (a zero byte follows it), or
// RES_NO_START no start byte within F, RES_INTER_TIMEOUT header or body not
// complete within I, RES_CHECKSUM checksum mismatch, the end-byte code of the
// rules, RES_REPLY_TOO_LARGE when the announced length does not fit the
// buffer (or the buffer cannot hold a header), or the source's
// own failure code. Nothing is written at or past buf[bufSize]. A tap, when
// given, sees every byte taken and each frame, acknowledgement and run of
// skipped bytes as a piece of its own.
int AcceptReply(FrameSource& src, const FrameRules& rules, int F, int I, uint8_t* buf, int bufSize,
                ReadTap* tap = nullptr);
