// Hex text and frame builders: what the checks accept converts back to the
// same text, and a built frame carries its fields, checksum and end byte.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "FuzzInput.h"
#include "protocol/Frame.h"

namespace {

void CheckFrame(const std::vector<uint8_t>& f, uint8_t start, uint8_t end, uint8_t machine,
                uint8_t second, const uint8_t* body, int len) {
    FUZZ_CHECK(f[0] == start && f[1] == machine && f[2] == second);
    FUZZ_CHECK((f[3] << 8 | f[4]) == len);
    FUZZ_CHECK(len == 0 || std::memcmp(f.data() + 5, body, static_cast<size_t>(len)) == 0);
    const uint16_t crc = Crc16(len + 5, f.data());
    FUZZ_CHECK(f[static_cast<size_t>(len) + 5] == (crc >> 8));
    FUZZ_CHECK(f[static_cast<size_t>(len) + 6] == (crc & 0xFF));
    FUZZ_CHECK(f[static_cast<size_t>(len) + 7] == end);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The whole input as typed text.
    const std::string text(reinterpret_cast<const char*>(data), size);
    const int len = static_cast<int>(size);
    const int check = CheckHexText(text.c_str(), len);
    if (check == 0) {
        std::vector<uint8_t> bytes(size / 2 + 1);
        HexToBytes(text.c_str(), bytes.data(), len / 2);
        std::string back(size, '\0');
        BytesToHex(bytes.data(), back.data(), len / 2);
        FUZZ_CHECK(back == text);
    } else if (check == HEX_ODD_LENGTH) {
        FUZZ_CHECK(TextLength(text.c_str(), len) % 2 == 1);
    } else {
        FUZZ_CHECK(check >= 1 && check <= std::max(TextLength(text.c_str(), len), 1));
        // In ASCII text, characters are bytes: the position names the byte.
        if (std::all_of(text.begin(), text.end(), [](char c) { return (c & 0x80) == 0; })) {
            const char c = text[static_cast<size_t>(check - 1)];
            FUZZ_CHECK(!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')));
        }
    }

    // The whole input as bytes: to hex and back.
    std::string hex(size * 2, '\0');
    BytesToHex(data, hex.data(), len);
    FUZZ_CHECK(CheckHexText(hex.c_str(), len * 2) == 0);
    std::vector<uint8_t> again(size + 1);
    HexToBytes(hex.c_str(), again.data(), len);
    FUZZ_CHECK(size == 0 || std::memcmp(again.data(), data, size) == 0);

    // Frames of the input's tail, with machine and command from its head.
    FuzzInput in(data, size);
    const uint8_t machine = in.Byte();
    const uint8_t command = in.Byte();
    const uint8_t* body = nullptr;
    const int bodyLen = static_cast<int>(in.Take(in.Left(), body));
    std::vector<uint8_t> f(static_cast<size_t>(bodyLen) + FRAME_OVERHEAD, 0xA5);
    const int n = BuildFrame(machine, command, body, bodyLen, f.data());
    if (bodyLen > FRAME_MAX_DATA) {
        FUZZ_CHECK(n == -1);
        for (uint8_t b : f)
            FUZZ_CHECK(b == 0xA5);
    } else {
        FUZZ_CHECK(n == bodyLen + FRAME_OVERHEAD);
        CheckFrame(f, FRAME_REQUEST_START, FRAME_REQUEST_END, machine, command, body, bodyLen);
    }
    std::fill(f.begin(), f.end(), 0);
    FUZZ_CHECK(BuildReplyFrame(machine, command, body, bodyLen, f.data()) ==
               bodyLen + FRAME_OVERHEAD);
    CheckFrame(f, FRAME_REPLY_START, FRAME_REPLY_END, machine, command, body, bodyLen);
    return 0;
}
