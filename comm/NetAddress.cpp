#include "comm/NetAddress.h"

#include <arpa/inet.h>
#include <cstring>

namespace {

// One run of up to maxDigits decimal digits, the whole of text; value is at
// most maxValue.
bool ParseNumber(std::string_view text, size_t maxDigits, int maxValue, int& value) {
    if (text.empty() || text.size() > maxDigits)
        return false;
    int v = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + (c - '0');
    }
    if (v > maxValue)
        return false;
    value = v;
    return true;
}

} // namespace

bool ParseIpv4(std::string_view text, uint32_t& ip) {
    uint32_t out = 0;
    for (int part = 0; part < 4; ++part) {
        const size_t dot = part < 3 ? text.find('.') : text.size();
        if (dot == std::string_view::npos)
            return false;
        const std::string_view number = text.substr(0, dot);
        int value = 0;
        // A leading zero reads as octal to some parsers and is refused by others.
        if ((number.size() > 1 && number[0] == '0') || !ParseNumber(number, 3, 255, value))
            return false;
        out = out << 8 | static_cast<uint32_t>(value);
        text.remove_prefix(part < 3 ? dot + 1 : dot);
    }
    ip = out;
    return true;
}

bool ParseEndpoint(std::string_view text, std::string& addr, int& port) {
    const size_t colon = text.rfind(':');
    uint32_t ip = 0;
    int value = 0;
    if (colon == std::string_view::npos || !ParseIpv4(text.substr(0, colon), ip) ||
        !ParseNumber(text.substr(colon + 1), 5, 65535, value))
        return false;
    addr = std::string(text.substr(0, colon));
    port = value;
    return true;
}

bool MakeSockAddr(const char* text, int port, sockaddr_in& sa) {
    std::memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    uint32_t ip = 0;
    if (text == nullptr || !ParseIpv4(text, ip) || port < 0 || port > 65535)
        return false;
    sa.sin_addr.s_addr = htonl(ip);
    sa.sin_port = htons(static_cast<uint16_t>(port));
    return true;
}
