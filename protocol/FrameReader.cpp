#include "protocol/FrameReader.h"

#include <cstring>

#include "protocol/Frame.h"

namespace {

class NoTap : public ReadTap {
  public:
    void Took(const uint8_t*, int) override {}
    void Cut(int) override {}
};

int32_t Elapsed(FrameSource& src, uint32_t since) {
    return static_cast<int32_t>(src.Tick() - since);
}

// Time left before a limit passes: waiting one tick past the limit lets the
// caller's "more than the limit" check fire when nothing arrives.
int WaitFor(FrameSource& src, uint32_t since, int limit) {
    const int32_t left = limit - Elapsed(src, since) + 1;
    return left > 0 ? left : 0;
}

// Closes the tap's current piece with result and returns result.
int Cut(ReadTap& tap, int result) {
    tap.Cut(result);
    return result;
}

// Reads single bytes into *slot until 0xC2 arrives. The elapsed time since
// `since` is checked after every read, before the byte is looked at; the
// bytes passed over become a skipped piece once the start byte is in.
int ReadStartByte(FrameSource& src, ReadTap& tap, uint32_t since, int F, uint8_t* slot) {
    for (;;) {
        *slot = 0;
        const int n = src.Read(slot, 1, WaitFor(src, since, F));
        if (n < 0)
            return n;
        const bool bLate = Elapsed(src, since) > F;
        const bool bStart = n == 1 && *slot == FRAME_REPLY_START && !bLate;
        if (bStart)
            tap.Cut(PIECE_SKIPPED);
        if (n == 1)
            tap.Took(slot, 1);
        if (bLate)
            return RES_NO_START;
        if (bStart)
            return 0;
    }
}

// Reads exactly count bytes into dst. The window is checked after every
// read, even the one that completes the count.
int ReadExactly(FrameSource& src, ReadTap& tap, uint32_t since, int I, uint8_t* dst, int count) {
    int got = 0;
    while (got < count) {
        const int n = src.Read(dst + got, count - got, WaitFor(src, since, I));
        if (n < 0)
            return n;
        if (n > 0)
            tap.Took(dst + got, n);
        got += n;
        if (Elapsed(src, since) > I)
            return RES_INTER_TIMEOUT;
    }
    return 0;
}

// Reads header and body of a frame whose start byte is already at frame[0].
// room is the space from frame[0] to the buffer's end. bodyStart receives
// the tick at which the body phase began. Returns the frame length or a code.
int ReadRest(FrameSource& src, ReadTap& tap, const FrameRules& rules, int I, uint8_t* frame,
             int room, uint32_t& bodyStart) {
    // The header alone must fit: behind a kept acknowledgement little room may be left.
    if (room < 5)
        return RES_REPLY_TOO_LARGE;
    const uint32_t headerStart = src.Tick();
    int rc = ReadExactly(src, tap, headerStart, I, frame + 1, 4);
    if (rc < 0)
        return rc;
    const int m = frame[3] * 256 + frame[4];
    const int len = m + 8;
    if (len + 1 > room)
        return RES_REPLY_TOO_LARGE;
    bodyStart = rules.bOneWindow ? headerStart : src.Tick();
    rc = ReadExactly(src, tap, bodyStart, I, frame + 5, m + 3);
    if (rc < 0)
        return rc;
    frame[len] = 0;
    return CheckReplyFrame(frame, len, rules.nEndByteError);
}

bool IsAck(const uint8_t* frame, int len) {
    return len == static_cast<int>(sizeof AckFrame) && std::memcmp(frame, AckFrame, len) == 0;
}

} // namespace

int AcceptReply(FrameSource& src, const FrameRules& rules, int F, int I, uint8_t* buf, int bufSize,
                ReadTap* tap) {
    NoTap none;
    ReadTap& t = tap != nullptr ? *tap : none;
    const int ackLen = static_cast<int>(sizeof AckFrame);
    if (bufSize < 1)
        return RES_REPLY_TOO_LARGE;
    for (;;) {
        buf[0] = 0;
        int rc = ReadStartByte(src, t, src.Tick(), F, buf);
        if (rc < 0)
            return Cut(t, rc);
        uint32_t bodyStart = 0;
        const int len = Cut(t, ReadRest(src, t, rules, I, buf, bufSize, bodyStart));
        if (len < 0 || !IsAck(buf, len))
            return len;
        if (!rules.bKeepAck)
            continue;

        // The reply follows the acknowledgement at offset 9; its start byte
        // must come within F of the acknowledgement's body phase.
        rc = ReadStartByte(src, t, bodyStart, F, buf);
        if (rc < 0)
            return Cut(t, rc);
        buf[ackLen] = FRAME_REPLY_START;
        const int len2 =
            Cut(t, ReadRest(src, t, rules, I, buf + ackLen, bufSize - ackLen, bodyStart));
        return len2 < 0 ? len2 : ackLen + len2;
    }
}
