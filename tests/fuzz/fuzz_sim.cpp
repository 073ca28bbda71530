// The simulator's request assembler and terminal: what the assembler splits
// joins back to its input, every frame it passes is whole by its length, and
// every answer of a fault-free terminal is a reply frame with a good checksum.
#include <cstring>
#include <vector>

#include "FuzzInput.h"
#include "protocol/Frame.h"
#include "sim/RequestAssembler.h"
#include "sim/SimTerminal.h"

namespace {

constexpr int IDLE_MS = 50;

bool IsReply(const std::vector<uint8_t>& f) {
    const int len = static_cast<int>(f.size());
    if (len < FRAME_OVERHEAD || f[0] != FRAME_REPLY_START || f.back() != FRAME_REPLY_END)
        return false;
    const uint16_t crc = Crc16(len - 3, f.data());
    return (f[3] << 8 | f[4]) + FRAME_OVERHEAD == len && f[f.size() - 3] == (crc >> 8) &&
           f[f.size() - 2] == (crc & 0xFF);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    RequestAssembler assembler(IDLE_MS);
    SimTerminal terminal({}, {});
    std::vector<uint8_t> fed;
    std::vector<uint8_t> joined;
    std::vector<RequestAssembler::Piece> pieces;
    uint64_t now = 0;

    const auto take = [&] {
        for (const RequestAssembler::Piece& p : pieces) {
            FUZZ_CHECK(!p.bytes.empty());
            joined.insert(joined.end(), p.bytes.begin(), p.bytes.end());
            if (p.kind != RequestAssembler::FRAME)
                continue;
            const int len = static_cast<int>(p.bytes.size());
            FUZZ_CHECK(p.bytes[0] == FRAME_REQUEST_START);
            FUZZ_CHECK(len >= FRAME_OVERHEAD && len <= FRAME_MAX_REQUEST);
            FUZZ_CHECK((p.bytes[3] << 8 | p.bytes[4]) + FRAME_OVERHEAD == len);
            const SimReply reply = terminal.Handle(p.bytes.data(), len);
            FUZZ_CHECK(!reply.bClose);
            for (const SimWrite& w : reply.writes) {
                FUZZ_CHECK(w.nDelayMs == 0 && w.nByteGapMs == 0);
                FUZZ_CHECK(IsReply(w.bytes));
            }
        }
        pieces.clear();
    };

    // Chunks: a time step (ms) and a length, then the bytes.
    while (in.Left() > 0) {
        now += in.Byte();
        const uint8_t* p = nullptr;
        const size_t n = in.Take(in.Byte(), p);
        fed.insert(fed.end(), p, p + n);
        const int expiry = assembler.MsUntilExpiry(now);
        assembler.Feed(p, static_cast<int>(n), now, pieces);
        // A partial frame past its idle time is dropped before new bytes join it.
        FUZZ_CHECK(expiry != 0 || pieces.empty() || pieces[0].kind == RequestAssembler::DROPPED);
        take();
    }
    assembler.Flush(pieces);
    take();
    FUZZ_CHECK(assembler.MsUntilExpiry(now) == -1);
    FUZZ_CHECK(joined == fed);
    return 0;
}
