#include "comm/CaptureTap.h"

#include "comm/Clock.h"
#include "comm/SerialPort.h"
#include "protocol/Channel.h"
#include "protocol/StatusText.h"

namespace {

void Record(const CaptureLink& link, int direction, int64_t timeUs, const uint8_t* data, int count,
            const std::string& comment) {
    if (link.pWriter == nullptr || count <= 0)
        return;
    link.pWriter->Packet(link.nInterface, direction, timeUs, data, count, comment);
}

} // namespace

void CaptureSent(const CaptureLink& link, const uint8_t* data, int count, int result) {
    const std::string comment =
        result == 0 ? std::string() : std::to_string(result) + " " + SEND_FAILED_TEXT;
    Record(link, CAPTURE_OUT, WallUs(), data, count, comment);
}

void CaptureReceived(const CaptureLink& link, const uint8_t* data, int count) {
    Record(link, CAPTURE_IN, WallUs(), data, count, {});
}

void CCaptureReadTap::Took(const uint8_t* data, int count) {
    if (m_taken.empty())
        m_nTakenUs = WallUs();
    m_taken.insert(m_taken.end(), data, data + count);
}

void CCaptureReadTap::Cut(int result) {
    if (m_taken.empty())
        return;
    Record(m_link, CAPTURE_IN, m_nTakenUs, m_taken.data(), static_cast<int>(m_taken.size()),
           CapturePieceComment(result));
    m_taken.clear();
}

std::string CapturePieceComment(int result) {
    if (result > 0)
        return {};
    if (result == PIECE_SKIPPED)
        return "帧外字节, 已丢弃";
    return std::to_string(result) + " " + ReplyReadText(result);
}

std::string CaptureChannelName(int channel, int port, const std::string& address, int baudRate) {
    switch (channel) {
    case CH_TCP:
        return "TCP " + address + ":" + std::to_string(port);
    case CH_UDP:
        return "UDP " + address + ":" + std::to_string(port);
    default: {
        // COM0 is no number a user chooses: the tool binds a device path to it.
        std::string name = port > 0 ? "COM" + std::to_string(port) + " " : "";
        const std::string device = ComDevicePath(port);
        if (!device.empty())
            name += device + " ";
        name += std::to_string(baudRate) + " 8N1";
        return channel == CH_MODEM ? name + " modem" : name;
    }
    }
}
