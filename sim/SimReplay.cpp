#include "sim/SimReplay.h"

#include <algorithm>

#include "protocol/Limits.h"
#include "sim/RequestAssembler.h"

SimReplay::SimReplay(const Capture& cap, bool bTiming) {
    // Per line: the request whose reply is being gathered, and the time of
    // the packet before.
    struct Line {
        int nCurrent = -1;
        int64_t nLastUs = 0;
    };
    std::vector<Line> lines(cap.interfaces.size());
    for (const CaptureInterface& f : cap.interfaces)
        m_nUnknownSides += f.nSide == CAPTURE_SIDE_UNKNOWN ? 1 : 0;

    std::vector<RequestAssembler::Piece> pieces;
    for (const CapturePacket& p : cap.packets) {
        const int side = cap.interfaces[static_cast<size_t>(p.nInterface)].nSide;
        if (side == CAPTURE_SIDE_UNKNOWN || p.nDirection == CAPTURE_DIR_UNKNOWN)
            continue;
        Line& line = lines[static_cast<size_t>(p.nInterface)];
        const bool bFromHost = (side == CAPTURE_SIDE_HOST) == (p.nDirection == CAPTURE_OUT);
        if (bFromHost) {
            // Requests are cut as the simulator's lines cut them; what the
            // host sent in one write is taken whole.
            RequestAssembler assembler(0);
            assembler.Feed(p.bytes.data(), static_cast<int>(p.bytes.size()), 0, pieces);
            assembler.Flush(pieces);
            for (const RequestAssembler::Piece& piece : pieces) {
                if (piece.kind != RequestAssembler::FRAME)
                    continue;
                line.nCurrent = static_cast<int>(m_replies.size());
                m_replies.emplace_back();
                m_byRequest[piece.bytes].push_back(line.nCurrent);
                line.nLastUs = p.nTimeUs;
            }
            pieces.clear();
        } else if (line.nCurrent >= 0) {
            SimWrite w;
            w.bytes = p.bytes;
            // No host waits longer for a first byte than its longest time-out.
            if (bTiming)
                w.nDelayMs = static_cast<int>(std::clamp<int64_t>(
                    (p.nTimeUs - line.nLastUs + 500) / 1000, 0, FIRST_CHAR_MAX_MS));
            line.nLastUs = p.nTimeUs;
            m_replies[static_cast<size_t>(line.nCurrent)].writes.push_back(std::move(w));
        }
    }
}

SimReply SimReplay::Handle(const uint8_t* frame, int len) {
    const std::vector<uint8_t> key(frame, frame + len);
    const auto it = m_byRequest.find(key);
    if (it == m_byRequest.end()) {
        SimReply silence;
        silence.notes.push_back("replay: request not in the capture, no reply");
        return silence;
    }
    const size_t total = it->second.size();
    size_t& served = m_served[key];
    if (served >= total) {
        SimReply silence;
        silence.notes.push_back("replay: all " + std::to_string(total) +
                                " recorded replies to this request given, no reply");
        return silence;
    }
    SimReply reply = m_replies[static_cast<size_t>(it->second[served])];
    ++served;
    reply.notes.push_back("replay: recorded reply " + std::to_string(served) + " of " +
                          std::to_string(total) + (reply.writes.empty() ? ", silence" : ""));
    return reply;
}
