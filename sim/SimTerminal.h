#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A reader terminal in software: what it is, what it answers and how it can
// be told to misbehave. No I/O here; the channels feed it request frames and
// carry out the writes it asks for.

// What the terminal is; the management commands change the machine number,
// the ID and the rate index in memory.
struct SimIdentity {
    uint8_t nMachine = 1;
    uint8_t id[4] = {0x12, 0x34, 0x56, 0x78};
    uint8_t type[2] = {3, 1};
    // BCD year (20xx), month, day, hour.
    uint8_t firmwareDate[4] = {0x24, 0x05, 0x17, 0x10};
    uint8_t buildDate[4] = {0x24, 0x06, 0x03, 0x09};
    uint8_t nRate = 0; // 0 = 19200 ... 7 = 115200
    bool bCard = true;
};

enum SimFaultKind : int {
    FAULT_ACK,            // acknowledgement in front of the reply, same write
    FAULT_ACK_SPLIT,      // acknowledgement as a write of its own, reply after the ack delay
    FAULT_FIRST_DELAY,    // the first byte goes after the first delay
    FAULT_BYTE_GAP,       // a pause between bytes (on UDP every byte is a datagram)
    FAULT_BAD_CRC,        // low checksum byte inverted
    FAULT_BAD_END,        // end byte 0x00 instead of 0xC3
    FAULT_TRANSFER_ERROR, // the transfer-error frame instead of the reply
    FAULT_SILENT,         // no reply
    FAULT_CLOSE,          // the TCP connection is closed instead of the reply
    FAULT_STATUS,         // the fault status byte and no data instead of the reply
    FAULT_GARBAGE,        // bytes before the first start byte
    FAULT_KIND_COUNT
};

constexpr int FAULT_EVERY_COMMAND = -1;

struct SimFault {
    SimFaultKind kind;
    int nCommand; // command byte it applies to, or FAULT_EVERY_COMMAND
};

struct SimFaultSettings {
    std::vector<SimFault> faults;
    int nAckDelayMs = 100;
    int nFirstDelayMs = 2000;
    int nByteGapMs = 20;
    uint8_t nStatus = 0x01;
};

// The option name of a fault kind ("ack", "bad-crc", ...).
const char* FaultName(SimFaultKind kind);

// Parses "KIND" or "KIND:HH" (HH the command byte in hex). Returns false for
// an unknown kind or a command that is not one or two hex digits.
bool ParseFault(const std::string& text, SimFault& fault);

// Bytes the faults put before the start byte.
extern const uint8_t SIM_GARBAGE[3];

// Status bytes of refused requests.
constexpr uint8_t SIM_ST_BAD_REQUEST = 0x01; // wrong data length or value
constexpr uint8_t SIM_ST_BAD_ORDER = 0x02;   // download step or block offset out of order
constexpr uint8_t SIM_ST_BAD_SUM = 0x03;     // download byte sum differs
constexpr uint8_t SIM_ST_BAD_SIZE = 0x04;    // image size disagrees with the size step
constexpr uint8_t SIM_ST_SAVE_FAILED = 0x05; // image could not be saved

// One write on the channel.
struct SimWrite {
    std::vector<uint8_t> bytes;
    int nDelayMs = 0;   // after the previous write, or after the request
    int nByteGapMs = 0; // between bytes; 0 writes them at once
};

// What the terminal does about one request.
struct SimReply {
    std::vector<SimWrite> writes; // empty: no reply
    bool bClose = false;          // close the connection (after the writes)
    std::vector<std::string> notes;
};

// What answers the requests the lines cut: the terminal itself, or a replay
// of a capture.
class SimResponder {
  public:
    virtual ~SimResponder() = default;
    // Answers one request frame (C0 ... as received, len bytes).
    virtual SimReply Handle(const uint8_t* frame, int len) = 0;
};

class SimTerminal : public SimResponder {
  public:
    SimTerminal(const SimIdentity& identity, const SimFaultSettings& faults,
                std::string saveImagePath = {});

    // Frames for another machine number get an empty reply; a damaged frame
    // gets the transfer-error frame.
    SimReply Handle(const uint8_t* frame, int len) override;

    const SimIdentity& Identity() const { return m_identity; }
    // The last image whose download completed with a matching sum.
    const std::vector<uint8_t>& Image() const { return m_image; }
    bool InDownload() const { return m_nPhase != PHASE_IDLE; }

  private:
    enum Phase { PHASE_IDLE, PHASE_STARTED, PHASE_SIZED, PHASE_LAST_BLOCK_IN };

    // One command as its handler sees it: the request's data, and the
    // reply's status and data and the log's notes it fills.
    struct Command {
        const uint8_t* data;
        int n;
        uint8_t status = 0;
        std::vector<uint8_t> out{};
        std::vector<std::string>& notes;
    };
    // Carries out a command; returns false when this terminal stays silent.
    using Handler = bool (SimTerminal::*)(Command& c);
    static Handler HandlerOf(uint8_t command);

    // The steps of Handle: whether the frame is a request this terminal
    // answers; the reply frame it gives (false: none goes out); the faults
    // that spoil that frame; the writes that carry it.
    bool IsForUs(const uint8_t* frame, int len, std::vector<std::string>& notes) const;
    bool ReplyBody(const uint8_t* frame, int len, SimReply& reply, std::vector<uint8_t>& body);
    void SpoilBody(uint8_t command, std::vector<uint8_t>& body,
                   std::vector<std::string>& notes) const;
    std::vector<SimWrite> Writes(uint8_t command, const std::vector<uint8_t>& body) const;

    // Runs the command by its handler, or as a step of the download in
    // progress. Returns false when this terminal stays silent.
    bool Execute(uint8_t command, Command& c);
    bool SetId(Command& c);
    bool ReadId(Command& c);
    bool QueryById(Command& c);
    bool SetMachine(Command& c);
    bool Version(Command& c);
    bool BuildDate(Command& c);
    bool SetRate(Command& c);
    bool PowerOn(Command& c);
    bool PowerOff(Command& c);
    bool Pcsc(Command& c);
    bool StartDownload(Command& c);
    bool Echo(Command& c);

    void DownloadStep(uint8_t command, Command& c);
    uint8_t Block(const uint8_t* data, int n, std::vector<std::string>& notes);
    uint8_t Finish(const uint8_t* data, int n, std::vector<std::string>& notes);
    bool HasFault(SimFaultKind kind, uint8_t command) const;

    SimIdentity m_identity;
    SimFaultSettings m_faults;
    std::string m_strSavePath;
    uint8_t m_nPcsc = 0;

    Phase m_nPhase = PHASE_IDLE;
    uint8_t m_nSizeByte = 0;
    int m_nNextOffset = 0;     // where the next block after offset 0 must start
    bool m_bShortSeen = false; // a block under 128 bytes ended the run
    std::vector<uint8_t> m_building;
    int m_nImageSize = 0;
    std::vector<uint8_t> m_image;
};
