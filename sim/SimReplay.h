#pragma once

#include <map>
#include <string>
#include <vector>

#include "comm/CaptureReader.h"
#include "sim/SimTerminal.h"

// A terminal played back from a capture: each request gets the reply that
// followed the same request bytes in the capture (every packet the
// terminal's side sent before the next request on that line: acknowledgement,
// garbage and frame alike), in the order recorded; a request the capture
// never saw, or saw fewer times, gets silence. Captures written by either
// side replay; the side is read from each interface's section.
class SimReplay : public SimResponder {
  public:
    // Builds the table from cap. With bTiming each reply packet keeps the
    // delay before it as recorded (after the request, or after the packet
    // before it); without, replies go at once.
    SimReplay(const Capture& cap, bool bTiming);

    SimReply Handle(const uint8_t* frame, int len) override;

    // How many requests the capture holds.
    int Requests() const { return static_cast<int>(m_replies.size()); }
    // Interfaces that could not be replayed because their side is unknown.
    int UnknownSides() const { return m_nUnknownSides; }

  private:
    std::vector<SimReply> m_replies;                              // in request order
    std::map<std::vector<uint8_t>, std::vector<int>> m_byRequest; // indices into m_replies
    std::map<std::vector<uint8_t>, size_t> m_served;
    int m_nUnknownSides = 0;
};
