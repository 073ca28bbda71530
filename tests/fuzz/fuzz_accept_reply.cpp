// Reply acceptance over a scripted byte source and clock: whatever arrives,
// an accepted reply is a whole frame with its length, checksum and end byte.
#include <cstring>
#include <vector>

#include "../ScriptedSource.h"
#include "FuzzInput.h"
#include "protocol/Frame.h"
#include "protocol/FrameReader.h"

namespace {

bool IsWholeReply(const uint8_t* f, int len) {
    if (len < FRAME_OVERHEAD || f[0] != FRAME_REPLY_START || f[len - 1] != FRAME_REPLY_END)
        return false;
    if ((f[3] << 8 | f[4]) + FRAME_OVERHEAD != len)
        return false;
    const uint16_t crc = Crc16(len - 3, f);
    return f[len - 3] == (crc >> 8) && f[len - 2] == (crc & 0xFF);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    const uint8_t mode = in.Byte();
    const FrameRules& rules = (mode & 1) ? TCP_RULES : SERIAL_RULES;
    const int F = in.Byte() * 8;
    const int I = in.Byte() * 4;
    const int bufSize = 9 + (mode & 2 ? 600 : in.Word() % 700);

    // Steps: time gap, length (a length of 0xFF fails the read), bytes.
    std::vector<ScriptedSource::Step> steps;
    uint32_t at = 0;
    while (in.Left() > 0) {
        at += in.Byte() * 2;
        const uint8_t n = in.Byte();
        if (n == 0xFF) {
            steps.push_back({at, {}, -2});
            continue;
        }
        const uint8_t* p = nullptr;
        const size_t got = in.Take(n, p);
        steps.push_back({at, std::vector<uint8_t>(p, p + got)});
    }
    ScriptedSource src(std::move(steps));
    std::vector<uint8_t> buf(static_cast<size_t>(bufSize));
    const int rc = AcceptReply(src, rules, F, I, buf.data(), bufSize);
    if (rc <= 0)
        return 0;
    FUZZ_CHECK(rc < bufSize && buf[static_cast<size_t>(rc)] == 0);
    const int ackLen = static_cast<int>(sizeof AckFrame);
    const bool ackInFront = rules.bKeepAck && rc > ackLen &&
                            std::memcmp(buf.data(), AckFrame, ackLen) == 0 &&
                            IsWholeReply(buf.data() + ackLen, rc - ackLen);
    FUZZ_CHECK(ackInFront || IsWholeReply(buf.data(), rc));
    return 0;
}
