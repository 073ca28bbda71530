#include "sim/RequestAssembler.h"

#include "protocol/Frame.h"

namespace {

void Emit(RequestAssembler::Kind kind, std::vector<uint8_t>& bytes,
          std::vector<RequestAssembler::Piece>& out) {
    if (bytes.empty())
        return;
    out.push_back({kind, bytes});
    bytes.clear();
}

} // namespace

void RequestAssembler::Take(uint8_t b, std::vector<uint8_t>& skipped, std::vector<Piece>& out) {
    if (m_frame.empty()) {
        if (b != FRAME_REQUEST_START) {
            skipped.push_back(b);
            return;
        }
        Emit(SKIPPED, skipped, out);
    }
    m_frame.push_back(b);
    if (m_frame.size() < 5)
        return;
    const int n = (m_frame[3] << 8) | m_frame[4];
    if (n > FRAME_MAX_DATA) {
        // Not a frame after all: the start byte was noise, and a real start
        // byte may hide in the header behind it.
        const std::vector<uint8_t> rest(m_frame.begin() + 1, m_frame.end());
        skipped.push_back(m_frame.front());
        m_frame.clear();
        for (uint8_t r : rest)
            Take(r, skipped, out);
        return;
    }
    if (static_cast<int>(m_frame.size()) == n + FRAME_OVERHEAD) {
        Emit(SKIPPED, skipped, out);
        Emit(FRAME, m_frame, out);
    }
}

void RequestAssembler::Feed(const uint8_t* p, int n, uint64_t nowMs, std::vector<Piece>& out) {
    Expire(nowMs, out);
    std::vector<uint8_t> skipped;
    for (int i = 0; i < n; ++i)
        Take(p[i], skipped, out);
    Emit(SKIPPED, skipped, out);
    if (n > 0)
        m_nLastMs = nowMs;
}

void RequestAssembler::Expire(uint64_t nowMs, std::vector<Piece>& out) {
    if (!m_frame.empty() && nowMs - m_nLastMs > static_cast<uint64_t>(m_nIdleMs))
        Flush(out);
}

void RequestAssembler::Flush(std::vector<Piece>& out) {
    Emit(DROPPED, m_frame, out);
}

int RequestAssembler::MsUntilExpiry(uint64_t nowMs) const {
    if (m_frame.empty())
        return -1;
    const uint64_t due = m_nLastMs + static_cast<uint64_t>(m_nIdleMs) + 1;
    return due <= nowMs ? 0 : static_cast<int>(due - nowMs);
}
