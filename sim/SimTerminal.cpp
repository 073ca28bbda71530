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

// The command bytes as the terminal knows them, written apart from the
// console's: a wrong byte on either side then shows as a failed test rather
// than agreeing with itself.
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
    std::vector<uint8_t> body;
    if (!IsForUs(frame, len, reply.notes) || !ReplyBody(frame, len, reply, body))
        return reply;
    const uint8_t command = frame[2];
    SpoilBody(command, body, reply.notes);
    reply.writes = Writes(command, body);
    return reply;
}

bool SimTerminal::IsForUs(const uint8_t* frame, int len, std::vector<std::string>& notes) const {
    if (len < FRAME_OVERHEAD || frame[0] != FRAME_REQUEST_START ||
        ((frame[3] << 8) | frame[4]) != len - FRAME_OVERHEAD) {
        notes.push_back("ignored: not a request frame");
        return false;
    }
    const uint8_t addressed = frame[1];
    if (addressed != m_identity.nMachine && addressed != 0xFF) {
        notes.push_back(Format("ignored: addressed to machine %ld", addressed));
        return false;
    }
    return true;
}

// The faults that stop the reply come first; a damaged request is answered
// with the transfer-error frame whatever the command.
bool SimTerminal::ReplyBody(const uint8_t* frame, int len, SimReply& reply,
                            std::vector<uint8_t>& body) {
    const uint8_t addressed = frame[1];
    const uint8_t command = frame[2];
    if (HasFault(FAULT_SILENT, command)) {
        reply.notes.push_back("fault silent: no reply");
        return false;
    }
    if (HasFault(FAULT_CLOSE, command)) {
        reply.notes.push_back("fault close: connection closed instead of the reply");
        reply.bClose = true;
        return false;
    }
    const uint16_t crc = Crc16(len - 3, frame);
    const bool badEnd = frame[len - 1] != FRAME_REQUEST_END;
    if (badEnd || frame[len - 3] != (crc >> 8) || frame[len - 2] != (crc & 0xFF)) {
        reply.notes.push_back(badEnd ? "damaged request: end byte, transfer-error frame"
                                     : "damaged request: checksum, transfer-error frame");
        body.assign(TransferErrorFrame, TransferErrorFrame + 9);
    } else if (HasFault(FAULT_TRANSFER_ERROR, command)) {
        reply.notes.push_back("fault transfer-error");
        body.assign(TransferErrorFrame, TransferErrorFrame + 9);
    } else if (HasFault(FAULT_STATUS, command)) {
        reply.notes.push_back(
            Format("fault status %02lX: request not carried out", m_faults.nStatus));
        body = ReplyFrame(addressed, m_faults.nStatus, {});
    } else {
        Command c{.data = frame + 5, .n = len - FRAME_OVERHEAD, .notes = reply.notes};
        if (!Execute(command, c))
            return false;
        body = ReplyFrame(addressed, c.status, c.out);
    }
    return true;
}

void SimTerminal::SpoilBody(uint8_t command, std::vector<uint8_t>& body,
                            std::vector<std::string>& notes) const {
    if (HasFault(FAULT_BAD_CRC, command)) {
        body[body.size() - 2] ^= 0xFF;
        notes.push_back("fault bad-crc");
    }
    if (HasFault(FAULT_BAD_END, command)) {
        body.back() = 0x00;
        notes.push_back("fault bad-end");
    }
}

std::vector<SimWrite> SimTerminal::Writes(uint8_t command, const std::vector<uint8_t>& body) const {
    const auto has = [&](SimFaultKind k) { return HasFault(k, command); };
    std::vector<SimWrite> writes;
    SimWrite first;
    if (has(FAULT_GARBAGE))
        first.bytes.assign(SIM_GARBAGE, SIM_GARBAGE + sizeof SIM_GARBAGE);
    if (has(FAULT_ACK_SPLIT)) {
        first.bytes.insert(first.bytes.end(), AckFrame, AckFrame + 9);
        writes.push_back(first);
        SimWrite second;
        second.bytes = body;
        second.nDelayMs = m_faults.nAckDelayMs;
        writes.push_back(second);
    } else {
        if (has(FAULT_ACK))
            first.bytes.insert(first.bytes.end(), AckFrame, AckFrame + 9);
        first.bytes.insert(first.bytes.end(), body.begin(), body.end());
        writes.push_back(first);
    }
    if (has(FAULT_FIRST_DELAY))
        writes.front().nDelayMs = m_faults.nFirstDelayMs;
    if (has(FAULT_BYTE_GAP))
        for (SimWrite& w : writes)
            w.nByteGapMs = m_faults.nByteGapMs;
    return writes;
}

// A download in progress takes its own steps; any other command but a new
// start abandons it.
bool SimTerminal::Execute(uint8_t command, Command& c) {
    if (m_nPhase != PHASE_IDLE) {
        if (command == CMD_SIZE || command == CMD_BLOCK || command == CMD_SUM) {
            DownloadStep(command, c);
            return true;
        }
        if (command != CMD_LOAD) {
            c.notes.push_back("download abandoned");
            m_nPhase = PHASE_IDLE;
        }
    }
    return (this->*HandlerOf(command))(c);
}

SimTerminal::Handler SimTerminal::HandlerOf(uint8_t command) {
    static const struct {
        uint8_t command;
        Handler handler;
    } HANDLERS[] = {
        {CMD_SET_ID, &SimTerminal::SetId},
        {CMD_READ_ID, &SimTerminal::ReadId},
        {CMD_QUERY_BY_ID, &SimTerminal::QueryById},
        {CMD_SET_MACHINE, &SimTerminal::SetMachine},
        {CMD_VERSION, &SimTerminal::Version},
        {CMD_BUILD_DATE, &SimTerminal::BuildDate},
        {CMD_SET_RATE, &SimTerminal::SetRate},
        {CMD_LOAD, &SimTerminal::StartDownload},
        {CMD_POWER_ON, &SimTerminal::PowerOn},
        {CMD_POWER_OFF, &SimTerminal::PowerOff},
        {CMD_PCSC, &SimTerminal::Pcsc},
    };
    for (const auto& h : HANDLERS)
        if (h.command == command)
            return h.handler;
    // A command the terminal does not know comes back as it went.
    return &SimTerminal::Echo;
}

bool SimTerminal::SetId(Command& c) {
    if (c.n != 4) {
        c.status = SIM_ST_BAD_REQUEST;
        return true;
    }
    std::memcpy(m_identity.id, c.data, 4);
    c.notes.push_back("device ID set to " + HexCells(m_identity.id, 4));
    return true;
}

bool SimTerminal::ReadId(Command& c) {
    c.out.assign(m_identity.id, m_identity.id + 4);
    c.out.push_back(m_identity.nMachine);
    return true;
}

bool SimTerminal::QueryById(Command& c) {
    const SimIdentity& me = m_identity;
    if (c.n != 1) {
        c.status = SIM_ST_BAD_REQUEST;
        return true;
    }
    if (c.data[0] != me.id[3]) {
        c.notes.push_back("ignored: ID low byte is not ours");
        return false;
    }
    c.out.assign(me.id, me.id + 4);
    c.out.push_back(me.nMachine);
    c.out.insert(c.out.end(), me.firmwareDate, me.firmwareDate + 4);
    c.out.insert(c.out.end(), me.type, me.type + 2);
    return true;
}

bool SimTerminal::SetMachine(Command& c) {
    if (c.n != 5 || c.data[4] == 0) {
        c.status = SIM_ST_BAD_REQUEST;
        return true;
    }
    if (std::memcmp(c.data, m_identity.id, 4) != 0) {
        c.notes.push_back("ignored: ID is not ours");
        return false;
    }
    m_identity.nMachine = c.data[4];
    c.notes.push_back(Format("machine number set to %ld", m_identity.nMachine));
    return true;
}

bool SimTerminal::Version(Command& c) {
    c.out.assign(m_identity.type, m_identity.type + 2);
    c.out.insert(c.out.end(), m_identity.firmwareDate, m_identity.firmwareDate + 4);
    return true;
}

bool SimTerminal::BuildDate(Command& c) {
    c.out.assign(m_identity.buildDate, m_identity.buildDate + 4);
    return true;
}

bool SimTerminal::SetRate(Command& c) {
    if (c.n != 1 || c.data[0] > 7) {
        c.status = SIM_ST_BAD_REQUEST;
        return true;
    }
    m_identity.nRate = c.data[0];
    c.notes.push_back(Format("rate index set to %ld", m_identity.nRate));
    return true;
}

bool SimTerminal::PowerOn(Command& c) {
    if (m_identity.bCard)
        c.out.assign(ATR, ATR + sizeof ATR);
    else
        c.out.push_back(NO_CARD);
    return true;
}

bool SimTerminal::PowerOff(Command&) {
    return true;
}

bool SimTerminal::Pcsc(Command& c) {
    if (c.n != 1) {
        c.status = SIM_ST_BAD_REQUEST;
        return true;
    }
    m_nPcsc = c.data[0];
    c.out.push_back(m_nPcsc);
    return true;
}

bool SimTerminal::StartDownload(Command& c) {
    if (c.n != 5 || std::memcmp(c.data, "LoadP", 5) != 0) {
        c.status = SIM_ST_BAD_REQUEST;
        m_nPhase = PHASE_IDLE;
        return true;
    }
    m_nPhase = PHASE_STARTED;
    m_building.clear();
    c.notes.push_back("download started");
    return true;
}

bool SimTerminal::Echo(Command& c) {
    c.out.assign(c.data, c.data + c.n);
    return true;
}

void SimTerminal::DownloadStep(uint8_t command, Command& c) {
    uint8_t& status = c.status;
    if (command == CMD_SIZE && m_nPhase == PHASE_STARTED) {
        if (c.n != 1) {
            status = SIM_ST_BAD_REQUEST;
        } else {
            m_nSizeByte = c.data[0];
            m_nNextOffset = BLOCK;
            m_bShortSeen = false;
            m_nPhase = PHASE_SIZED;
        }
    } else if (command == CMD_BLOCK && m_nPhase == PHASE_SIZED) {
        status = Block(c.data, c.n, c.notes);
    } else if (command == CMD_SUM && m_nPhase == PHASE_LAST_BLOCK_IN) {
        status = Finish(c.data, c.n, c.notes);
        if (status == 0)
            m_nPhase = PHASE_IDLE;
    } else {
        c.notes.push_back(Format("download failed: command %02lX out of order", command));
        status = SIM_ST_BAD_ORDER;
    }
    if (status != 0) {
        c.notes.push_back(Format("download aborted, status %02lX", status));
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
