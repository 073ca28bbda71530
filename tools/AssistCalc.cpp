#include "tools/AssistCalc.h"

#include <cstdio>

#include "tools/Des.h"

namespace {

constexpr int BLOCK_CHARS = 16;
constexpr int TRIPLE_KEY_CHARS = 32;

bool IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// ParseHex stops at a terminating zero, so the views go through a string; a
// zero inside the text leaves the (cleared) output as it was.
void Parse(std::string_view text, unsigned char* out, int n) {
    CDes().ParseHex(std::string(text).c_str(), out, n);
}

} // namespace

bool HasNonHex(const char* text, int count) {
    if (text == nullptr)
        return false;
    for (int i = 0; i < count; ++i)
        if (!IsHexDigit(text[i]))
            return true;
    return false;
}

std::string HexOfBytes(const unsigned char* data, int n) {
    std::string hex;
    for (int i = 0; i < n; ++i) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%.2X", data[i]);
        hex += pair;
    }
    return hex;
}

int AssistDes(std::string_view input, std::string_view key, char mode, std::string& out) {
    if (input.size() != BLOCK_CHARS || key.size() != BLOCK_CHARS)
        return ASSIST_BOTH_NOT_8_BYTES;
    if (HasNonHex(input.data(), BLOCK_CHARS))
        return ASSIST_INPUT_NOT_HEX;
    if (HasNonHex(key.data(), BLOCK_CHARS))
        return ASSIST_KEY_NOT_HEX;
    unsigned char in[8] = {}, k[8] = {}, res[8] = {};
    Parse(input, in, 8);
    Parse(key, k, 8);
    CDes().RunDes(k, in, res, mode);
    out = HexOfBytes(res, 8);
    return ASSIST_OK;
}

int AssistTripleDes(std::string_view input, std::string_view key, char mode, std::string& out) {
    if (input.size() != BLOCK_CHARS)
        return ASSIST_INPUT_NOT_8_BYTES;
    if (key.size() != TRIPLE_KEY_CHARS)
        return ASSIST_KEY_NOT_16_BYTES;
    if (HasNonHex(input.data(), BLOCK_CHARS))
        return ASSIST_INPUT_NOT_HEX;
    if (HasNonHex(key.data(), TRIPLE_KEY_CHARS))
        return ASSIST_KEY_NOT_HEX;
    unsigned char in[8] = {}, k[16] = {}, res[8] = {};
    Parse(input, in, 8);
    Parse(key, k, 16);
    CDes().RunTripleDes(k, in, res, mode);
    out = HexOfBytes(res, 8);
    return ASSIST_OK;
}

int AssistXor(std::string_view input, std::string_view key, std::string& out) {
    if (input.size() != BLOCK_CHARS || key.size() != BLOCK_CHARS)
        return ASSIST_BOTH_NOT_8_BYTES;
    unsigned char a[8] = {}, b[8] = {};
    Parse(input, a, 8);
    Parse(key, b, 8);
    for (int i = 0; i < 8; ++i)
        a[i] ^= b[i];
    out = HexOfBytes(a, 8);
    return ASSIST_OK;
}

int AssistInvert(std::string_view input, std::string& out) {
    if (input.size() != BLOCK_CHARS)
        return ASSIST_INPUT_NOT_8_BYTES;
    unsigned char a[8] = {};
    Parse(input, a, 8);
    for (unsigned char& b : a)
        b = static_cast<unsigned char>(~b);
    out = HexOfBytes(a, 8);
    return ASSIST_OK;
}
