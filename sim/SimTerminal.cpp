#include "sim/SimTerminal.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>

#include "protocol/Frame.h"

const uint8_t SIM_GARBAGE[3] = {0x55, 0xAA, 0x00};

namespace {

const char* const FAULT_NAMES[FAULT_KIND_COUNT] = {
    "ack",    "ack-split", "first-delay", "byte-gap", "bad-crc", "bad-end", "transfer-error",
    "silent", "close",     "status",      "garbage"};

// An answer-to-reset as a card in the probe gives it.
const uint8_t ATR[13] = {0x3B, 0x69, 0x00, 0x00, 0x51, 0x75, 0x69,
                         0x6C, 0x6C, 0x6D, 0x61, 0x72, 0x6B};
constexpr uint8_t NO_CARD = 0x01;

constexpr uint8_t CMD_SET_ID = 0xE0;
constexpr uint8_t CMD_READ_ID = 0xE1;
constexpr uint8_t CMD_QUERY_BY_ID = 0xE2;
constexpr uint8_t CMD_SET_MACHINE = 0xE3;
constexpr uint8_t CMD_VERSION = 0xE4;
constexpr uint8_t CMD_BUILD_DATE = 0xE5;
constexpr uint8_t CMD_SET_RATE = 0xE6;
constexpr uint8_t CMD_LOAD = 0xE7;
constexpr uint8_t CMD_SIZE = 0x01;
constexpr uint8_t CMD_POWER_ON = 0x03;
constexpr uint8_t CMD_BLOCK = 0x03;
constexpr uint8_t CMD_SUM = 0x04;
constexpr uint8_t CMD_POWER_OFF = 0x07;
constexpr uint8_t CMD_PCSC = 0x24;
constexpr int BLOCK = 128;

std::vector<uint8_t> ReplyFrame(uint8_t machine, uint8_t status, const std::vector<uint8_t>& data) {
    std::vector<uint8_t> f(data.size() + FRAME_OVERHEAD);
    BuildReplyFrame(machine, status, data.data(), static_cast<int>(data.size()), f.data());
    return f;
}

std::string Format(const char* fmt, long a, long b = 0, long c = 0) {
    char text[160];
    std::snprintf(text, sizeof text, fmt, a, b, c);
    return text;
}

} // namespace

const char* FaultName(SimFaultKind kind) {
    return kind >= 0 && kind < FAULT_KIND_COUNT ? FAULT_NAMES[kind] : "?";
}

bool ParseFault(const std::string& text, SimFault& fault) {
    const size_t colon = text.find(':');
    const std::string name = text.substr(0, colon);
    int kind = 0;
    while (kind < FAULT_KIND_COUNT && name != FAULT_NAMES[kind])
        ++kind;
    if (kind == FAULT_KIND_COUNT)
        return false;
    int command = FAULT_EVERY_COMMAND;
    if (colon != std::string::npos) {
        const std::string hex = text.substr(colon + 1);
        if (hex.empty() || hex.size() > 2)
            return false;
        const auto [end, ec] = std::from_chars(hex.data(), hex.data() + hex.size(), command, 16);
        if (ec != std::errc() || end != hex.data() + hex.size() || command < 0)
            return false;
    }
    fault = {static_cast<SimFaultKind>(kind), command};
    return true;
}

SimTerminal::SimTerminal(const SimIdentity& identity, const SimFaultSettings& faults,
                         std::string saveImagePath)
    : m_identity(identity), m_faults(faults), m_strSavePath(std::move(saveImagePath)) {}

bool SimTerminal::HasFault(SimFaultKind kind, uint8_t command) const {
    for (const SimFault& f : m_faults.faults)
        if (f.kind == kind && (f.nCommand == FAULT_EVERY_COMMAND || f.nCommand == command))
            return true;
    return false;
}

SimReply SimTerminal::Handle(const uint8_t* frame, int len) {
    SimReply reply;
    if (len < FRAME_OVERHEAD || frame[0] != FRAME_REQUEST_START ||
        ((frame[3] << 8) | frame[4]) != len - FRAME_OVERHEAD) {
        reply.notes.push_back("ignored: not a request frame");
        return reply;
    }
    const uint8_t addressed = frame[1];
    const uint8_t command = frame[2];
    const int n = len - FRAME_OVERHEAD;
    const uint8_t* data = frame + 5;
    if (addressed != m_identity.nMachine && addressed != 0xFF) {
        reply.notes.push_back(Format("ignored: addressed to machine %ld", addressed));
        return reply;
    }

    const auto has = [&](SimFaultKind k) { return HasFault(k, command); };
    const uint16_t crc = Crc16(len - 3, frame);
    const bool damaged = frame[len - 3] != (crc >> 8) || frame[len - 2] != (crc & 0xFF) ||
                         frame[len - 1] != FRAME_REQUEST_END;

    std::vector<uint8_t> body;
    if (has(FAULT_SILENT)) {
        reply.notes.push_back("fault silent: no reply");
        return reply;
    }
    if (has(FAULT_CLOSE)) {
        reply.notes.push_back("fault close: connection closed instead of the reply");
        reply.bClose = true;
        return reply;
    }
    if (damaged) {
        reply.notes.push_back(frame[len - 1] != FRAME_REQUEST_END
                                  ? "damaged request: end byte, transfer-error frame"
                                  : "damaged request: checksum, transfer-error frame");
        body.assign(TransferErrorFrame, TransferErrorFrame + 9);
    } else if (has(FAULT_TRANSFER_ERROR)) {
        reply.notes.push_back("fault transfer-error");
        body.assign(TransferErrorFrame, TransferErrorFrame + 9);
    } else if (has(FAULT_STATUS)) {
        reply.notes.push_back(
            Format("fault status %02lX: request not carried out", m_faults.nStatus));
        body = ReplyFrame(addressed, m_faults.nStatus, {});
    } else {
        uint8_t status = 0;
        std::vector<uint8_t> out;
        if (!Execute(command, data, n, status, out, reply.notes))
            return reply;
        body = ReplyFrame(addressed, status, out);
    }

    if (has(FAULT_BAD_CRC)) {
        body[body.size() - 2] ^= 0xFF;
        reply.notes.push_back("fault bad-crc");
    }
    if (has(FAULT_BAD_END)) {
        body.back() = 0x00;
        reply.notes.push_back("fault bad-end");
    }

    SimWrite first;
    if (has(FAULT_GARBAGE))
        first.bytes.assign(SIM_GARBAGE, SIM_GARBAGE + sizeof SIM_GARBAGE);
    if (has(FAULT_ACK_SPLIT)) {
        first.bytes.insert(first.bytes.end(), AckFrame, AckFrame + 9);
        reply.writes.push_back(first);
        SimWrite second;
        second.bytes = body;
        second.nDelayMs = m_faults.nAckDelayMs;
        reply.writes.push_back(second);
    } else {
        if (has(FAULT_ACK))
            first.bytes.insert(first.bytes.end(), AckFrame, AckFrame + 9);
        first.bytes.insert(first.bytes.end(), body.begin(), body.end());
        reply.writes.push_back(first);
    }
    if (has(FAULT_FIRST_DELAY))
        reply.writes.front().nDelayMs = m_faults.nFirstDelayMs;
    if (has(FAULT_BYTE_GAP))
        for (SimWrite& w : reply.writes)
            w.nByteGapMs = m_faults.nByteGapMs;
    return reply;
}

bool SimTerminal::Execute(uint8_t command, const uint8_t* data, int n, uint8_t& status,
                          std::vector<uint8_t>& out, std::vector<std::string>& notes) {
    SimIdentity& me = m_identity;
    if (m_nPhase != PHASE_IDLE) {
        if (command == CMD_SIZE || command == CMD_BLOCK || command == CMD_SUM) {
            DownloadStep(command, data, n, status, notes);
            return true;
        }
        if (command != CMD_LOAD) {
            notes.push_back("download abandoned");
            m_nPhase = PHASE_IDLE;
        }
    }
    switch (command) {
    case CMD_SET_ID:
        if (n != 4) {
            status = SIM_ST_BAD_REQUEST;
            break;
        }
        std::memcpy(me.id, data, 4);
        notes.push_back("device ID set to " + HexCells(me.id, 4));
        break;
    case CMD_READ_ID:
        out.assign(me.id, me.id + 4);
        out.push_back(me.nMachine);
        break;
    case CMD_QUERY_BY_ID:
        if (n != 1) {
            status = SIM_ST_BAD_REQUEST;
            break;
        }
        if (data[0] != me.id[3]) {
            notes.push_back("ignored: ID low byte is not ours");
            return false;
        }
        out.assign(me.id, me.id + 4);
        out.push_back(me.nMachine);
        out.insert(out.end(), me.firmwareDate, me.firmwareDate + 4);
        out.insert(out.end(), me.type, me.type + 2);
        break;
    case CMD_SET_MACHINE:
        if (n != 5 || data[4] == 0) {
            status = SIM_ST_BAD_REQUEST;
            break;
        }
        if (std::memcmp(data, me.id, 4) != 0) {
            notes.push_back("ignored: ID is not ours");
            return false;
        }
        me.nMachine = data[4];
        notes.push_back(Format("machine number set to %ld", me.nMachine));
        break;
    case CMD_VERSION:
        out.assign(me.type, me.type + 2);
        out.insert(out.end(), me.firmwareDate, me.firmwareDate + 4);
        break;
    case CMD_BUILD_DATE:
        out.assign(me.buildDate, me.buildDate + 4);
        break;
    case CMD_SET_RATE:
        if (n != 1 || data[0] > 7) {
            status = SIM_ST_BAD_REQUEST;
            break;
        }
        me.nRate = data[0];
        notes.push_back(Format("rate index set to %ld", me.nRate));
        break;
    case CMD_POWER_ON:
        if (me.bCard)
            out.assign(ATR, ATR + sizeof ATR);
        else
            out.push_back(NO_CARD);
        break;
    case CMD_POWER_OFF:
        break;
    case CMD_PCSC:
        if (n != 1) {
            status = SIM_ST_BAD_REQUEST;
            break;
        }
        m_nPcsc = data[0];
        out.push_back(m_nPcsc);
        break;
    case CMD_LOAD:
        if (n != 5 || std::memcmp(data, "LoadP", 5) != 0) {
            status = SIM_ST_BAD_REQUEST;
            m_nPhase = PHASE_IDLE;
            break;
        }
        m_nPhase = PHASE_STARTED;
        m_building.clear();
        notes.push_back("download started");
        break;
    default:
        out.assign(data, data + n);
        break;
    }
    return true;
}

void SimTerminal::DownloadStep(uint8_t command, const uint8_t* data, int n, uint8_t& status,
                               std::vector<std::string>& notes) {
    if (command == CMD_SIZE && m_nPhase == PHASE_STARTED) {
        if (n != 1) {
            status = SIM_ST_BAD_REQUEST;
        } else {
            m_nSizeByte = data[0];
            m_nNextOffset = BLOCK;
            m_bShortSeen = false;
            m_nPhase = PHASE_SIZED;
        }
    } else if (command == CMD_BLOCK && m_nPhase == PHASE_SIZED) {
        status = Block(data, n, notes);
    } else if (command == CMD_SUM && m_nPhase == PHASE_LAST_BLOCK_IN) {
        status = Finish(data, n, notes);
        if (status == 0)
            m_nPhase = PHASE_IDLE;
    } else {
        notes.push_back(Format("download failed: command %02lX out of order", command));
        status = SIM_ST_BAD_ORDER;
    }
    if (status != 0) {
        notes.push_back(Format("download aborted, status %02lX", status));
        m_nPhase = PHASE_IDLE;
    }
}

uint8_t SimTerminal::Block(const uint8_t* data, int n, std::vector<std::string>& notes) {
    if (n < 3 || data[2] != n - 3 || data[2] > BLOCK) {
        notes.push_back("download failed: block length does not match its count");
        return SIM_ST_BAD_REQUEST;
    }
    const int offset = (data[0] << 8) | data[1];
    const int count = data[2];
    const bool anyBefore = m_nNextOffset > BLOCK;
    if (offset != 0) {
        if (offset != m_nNextOffset || m_bShortSeen || count == 0) {
            notes.push_back(
                Format("download failed: block at offset %ld (%ld bytes), expected offset %ld",
                       offset, count, m_bShortSeen ? 0 : m_nNextOffset));
            return SIM_ST_BAD_ORDER;
        }
        m_bShortSeen = count < BLOCK;
        m_nNextOffset += count;
    } else if (anyBefore && count != BLOCK) {
        notes.push_back(Format("download failed: first block of %ld bytes, expected 128", count));
        return SIM_ST_BAD_ORDER;
    }
    const size_t end = static_cast<size_t>(offset + count);
    if (m_building.size() < end)
        m_building.resize(end);
    // An empty block leaves m_building's storage possibly null.
    if (count > 0)
        std::memcpy(m_building.data() + offset, data + 3, static_cast<size_t>(count));
    if (offset == 0) {
        m_nImageSize = anyBefore ? m_nNextOffset : count;
        m_building.resize(static_cast<size_t>(m_nImageSize));
        m_nPhase = PHASE_LAST_BLOCK_IN;
    }
    return 0;
}

uint8_t SimTerminal::Finish(const uint8_t* data, int n, std::vector<std::string>& notes) {
    if (n != 2)
        return SIM_ST_BAD_REQUEST;
    uint32_t sum = 0;
    for (uint8_t b : m_building)
        sum += b;
    sum &= 0xFFFF;
    const unsigned sent = static_cast<unsigned>((data[0] << 8) | data[1]);
    if (sum != sent) {
        notes.push_back(Format("download failed: byte sum %04lX, request says %04lX", sum, sent));
        return SIM_ST_BAD_SUM;
    }
    const uint8_t sizeByte = static_cast<uint8_t>(m_nImageSize / 512 + 1);
    if (sizeByte != m_nSizeByte) {
        notes.push_back(Format("download failed: %ld bytes arrived but the size step said %ld",
                               m_nImageSize, m_nSizeByte));
        return SIM_ST_BAD_SIZE;
    }
    m_image = m_building;
    notes.push_back(Format("download complete: %ld bytes, sum %04lX", m_nImageSize, sum));
    if (m_strSavePath.empty())
        return 0;
    FILE* f = std::fopen(m_strSavePath.c_str(), "wb");
    bool ok = f != nullptr;
    if (f) {
        ok = m_image.empty() || std::fwrite(m_image.data(), 1, m_image.size(), f) == m_image.size();
        ok = std::fclose(f) == 0 && ok;
    }
    notes.push_back((ok ? "image saved to " : "image could not be saved to ") + m_strSavePath);
    return ok ? 0 : SIM_ST_SAVE_FAILED;
}
