#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "comm/CaptureWriter.h"
#include "protocol/FrameReader.h"

// The engine's hook for captures: what the worker writes and reads on a
// channel becomes packets of one interface of a capture file. The drivers
// only hand the reader's tap through; the file is written here.

// Where the engine records a channel's traffic; an empty link (no writer)
// records nothing. The writer must outlive every job that points at it.
struct CaptureLink {
    CCaptureWriter* pWriter = nullptr;
    int nInterface = -1;
};

// Records count bytes of a send that returned result as one outbound packet;
// a failed send (result not 0) says its code in the packet's comment. No
// bytes, no packet.
void CaptureSent(const CaptureLink& link, const uint8_t* data, int count, int result);

// Records the count bytes of a raw receive as one inbound packet.
void CaptureReceived(const CaptureLink& link, const uint8_t* data, int count);

// Records each piece a reply reader cuts as an inbound packet as soon as it
// is cut (a packet is on disk before the read goes on, however long it
// waits), stamped with the time its first byte came in. A refused frame or
// a run of skipped bytes says what the reader made of it in the packet's
// comment. Bytes taken and not cut when the tap goes are recorded as
// skipped.
class CCaptureReadTap : public ReadTap {
  public:
    explicit CCaptureReadTap(const CaptureLink& link) : m_link(link) {}
    ~CCaptureReadTap() override { Cut(PIECE_SKIPPED); }
    CCaptureReadTap(const CCaptureReadTap&) = delete;
    CCaptureReadTap& operator=(const CCaptureReadTap&) = delete;

    // The tap to give the reader: nullptr when the link records nothing.
    ReadTap* ForReader() { return m_link.pWriter != nullptr ? this : nullptr; }

    void Took(const uint8_t* data, int count) override;
    void Cut(int result) override;

  private:
    CaptureLink m_link;
    std::vector<uint8_t> m_taken;
    int64_t m_nTakenUs = 0;
};

// The comment of a piece a reader cut with result: empty for what it
// accepted, else what it made of the bytes.
std::string CapturePieceComment(int result);

// The interface name of a host's channel: "COM33 /dev/ttyUSB0 19200 8N1"
// (COM0, a device the tool names by path: "/dev/pts/3 19200 8N1"; a modem's
// line ends in " modem"), "TCP 127.0.0.1:6688", "UDP 127.0.0.1:6689". port
// is the COM number or the peer's port, address the peer's, baudRate the
// serial line's speed.
std::string CaptureChannelName(int channel, int port, const std::string& address, int baudRate);
