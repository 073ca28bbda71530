// The reply decoders and the window formatters over any bytes: no read past
// the frame, and texts that say what the bytes were. The same bytes as text
// go to the address reader, which takes exactly what the C library's
// inet_pton takes.
#include <arpa/inet.h>

#include <string>
#include <vector>

#include "FuzzInput.h"
#include "comm/NetAddress.h"
#include "protocol/Diagnostics.h"
#include "protocol/DisplayText.h"
#include "protocol/Frame.h"
#include "protocol/PubCommands.h"

namespace {

// The hex digits of a window text with its separators taken out.
std::string Digits(const std::string& text) {
    std::string out;
    for (char c : text)
        if (c != ' ' && c != '\r' && c != '\n')
            out += c;
    return out;
}

std::string Hex(const uint8_t* p, size_t n) {
    std::string s(n * 2, '\0');
    BytesToHex(p, s.data(), static_cast<int>(n));
    return s;
}

void CheckAddressReader(const std::vector<uint8_t>& bytes) {
    const std::string text(bytes.begin(), bytes.end());
    uint32_t ip = 0;
    in_addr expected{};
    // inet_pton stops at the first zero byte; ParseIpv4 refuses it.
    const bool bLibc =
        text.find('\0') == std::string::npos && inet_pton(AF_INET, text.c_str(), &expected) == 1;
    FUZZ_CHECK(ParseIpv4(text, ip) == bLibc);
    if (bLibc)
        FUZZ_CHECK(htonl(ip) == expected.s_addr);

    std::string addr;
    int port = -1;
    if (ParseEndpoint(text, addr, port)) {
        FUZZ_CHECK(ParseIpv4(addr, ip) && port >= 0 && port <= 65535);
        FUZZ_CHECK(text.compare(0, addr.size() + 1, addr + ":") == 0);
        const std::string digits = std::to_string(port);
        FUZZ_CHECK(text.size() - addr.size() - 1 <= 5 && text.size() >= digits.size() &&
                   text.compare(text.size() - digits.size(), digits.size(), digits) == 0);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    const uint8_t command = in.Byte();
    const uint8_t flags = in.Byte();
    const uint16_t lines = in.Word();
    const uint8_t* p = nullptr;
    const size_t n = in.Take(in.Left(), p);
    // An exact-size copy, so that a read past n is a sanitizer report.
    const std::vector<uint8_t> bytes(p, p + n);
    const uint8_t* frame = bytes.data();
    const int len = static_cast<int>(n);

    const PubReply pub = DecodePubReply(0xE0 + command % 8, frame, len);
    if (pub.code == PUB_REPLY_OK || pub.code == PUB_REPLY_STATUS_ERROR)
        FUZZ_CHECK(len >= FRAME_OVERHEAD);
    if (pub.strId)
        FUZZ_CHECK(CheckPubId(*pub.strId) == 0);
    if (pub.nMachineNo)
        FUZZ_CHECK(*pub.nMachineNo >= 0 && *pub.nMachineNo <= 255);

    DiagPending pending{(flags & 1) != 0, (flags & 2) != 0, (flags & 4) != 0, (flags & 8) != 0};
    const DiagPending was = pending;
    const RecvFrameText shown = FormatRecvFrame(frame, len, pending);
    if (len > 0) {
        FUZZ_CHECK(!AnyDiagPending(pending));
        FUZZ_CHECK(!shown.text.empty());
    } else {
        FUZZ_CHECK(shown.text.empty() && AnyDiagPending(pending) == AnyDiagPending(was));
    }
    FUZZ_CHECK(WindowLineCount(shown.text) >= 1);

    const std::string sent = FormatSent(frame, len);
    FUZZ_CHECK(Digits(sent) == Hex(frame, n));

    const std::string raw = FormatRecvRaw(frame, len, lines);
    FUZZ_CHECK(n > 0 || raw.empty());
    // Each line: cells, three spaces, a four-digit offset.
    size_t cells = 0;
    size_t start = 0;
    while (start < raw.size()) {
        const size_t eol = raw.find("\r\n", start);
        FUZZ_CHECK(eol != std::string::npos);
        const std::string line = raw.substr(start, eol - start);
        const size_t tail = line.rfind("   ");
        FUZZ_CHECK(tail != std::string::npos);
        const std::string lineCells = line.substr(0, tail);
        FUZZ_CHECK(lineCells.size() % 3 == 0 && lineCells.size() <= 48);
        FUZZ_CHECK(Digits(lineCells) == Hex(frame + cells, lineCells.size() / 3));
        cells += lineCells.size() / 3;
        start = eol + 2;
    }
    FUZZ_CHECK(cells == n);

    for (int kind = -1; kind <= 3; ++kind)
        MustEmptyWindow(kind, lines);
    FUZZ_CHECK(DiagVerdictText(was, command).empty() == !AnyDiagPending(was));

    CheckAddressReader(bytes);
    return 0;
}
