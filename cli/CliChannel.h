#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "comm/CommJob.h"
#include "protocol/Limits.h"

// The channel of one command-line run and its worker: the tool drives the
// same worker and job record as the console and collects the worker's posts
// in a queue instead of window messages.

// The console's send and receive buffers hold this many bytes.
constexpr int CLI_BUFFER_SIZE = FRAME_BUF_SIZE;

// A raw receive keeps collecting while bytes keep coming; this bounds it.
constexpr int RAW_COLLECT_MAX = 65536;
// Serial and TCP raw receives return at once: pause before asking again.
constexpr std::chrono::milliseconds RAW_POLL_PAUSE{10};

struct ChannelSpec {
    int nChannel = -1;       // CH_SERIAL, CH_TCP or CH_UDP; -1 none chosen
    int nComPort = 0;        // serial: the COM number opened
    std::string strDevice;   // serial: the device bound to nComPort, empty for the table's own
    unsigned nBaudIndex = 0; // serial: index of the line speed
    std::string strAddress;  // TCP/UDP: the terminal's dotted address
    int nPort = 0;           // TCP/UDP: the terminal's port
    std::string strUdpLocal; // UDP: bind this address instead of the first Ethernet adapter's
    int nFirstChar = 1000;   // ms
    int nInterChar = 1000;   // ms
    // Where the channel's traffic is recorded (none when nullptr), and the
    // description of its interface there.
    CCaptureWriter* pCapture = nullptr;
    std::string strCaptureNote;
};

struct CommResult {
    int nCode = 0;
    long nValue = 0;
};

// What a raw collect gathered.
struct RawCollected {
    std::vector<uint8_t> bytes;
    int nLast = 0;            // the last raw-receive code: 0 quiet, below 0 a receive error
    int64_t nLastBytesUs = 0; // the worker's stamp of the last bytes; 0 when none came
};

class CCliChannel {
  public:
    CCliChannel();
    ~CCliChannel();
    CCliChannel(const CCliChannel&) = delete;
    CCliChannel& operator=(const CCliChannel&) = delete;

    // Opens the channel as the console does (serial port by the tool, TCP
    // connect and UDP bind by the worker) and starts the worker; with a
    // capture, adds the channel's interface to it and records on it. Returns
    // true when open; otherwise the console's failure text goes to stderr,
    // with the system's reason behind it when there is one.
    bool Open(const ChannelSpec& chan);

    // The job record; fill it only between Open and File, or after the
    // results of the last job have arrived.
    CommJob& Job() { return m_job; }

    // The window the worker's posts for this channel go to.
    WindowHandle Window() const;

    // CH_SERIAL, CH_TCP or CH_UDP: the channel Open was given.
    int Channel() const { return m_job.nChannel; }

    // Hands the filled job to the worker.
    void File();

    // Waits for the next result the worker posts.
    CommResult Next();

    // Waits for the next result whose code is one of the two given (0
    // matches nothing) and drops the others.
    CommResult WaitFor(int code, int other = 0);

    // Waits for the outcome of an exchange that reads a reply: RC_RECEIVED,
    // or RC_SENT when the send failed. A good send's RC_SENT is dropped
    // without waking the caller.
    CommResult WaitReply();

    // Collects raw bytes: waits up to firstCharMs for the first, then goes on
    // until the line has been quiet for interCharMs or RAW_COLLECT_MAX bytes
    // came. A receive error other than a UDP wait in vain ends it at once.
    RawCollected CollectRaw(int firstCharMs, int interCharMs);

    // Stops the worker; it closes the channel as it ends.
    void Close();

  private:
    // Adds the channel's interface to the capture and records on it.
    void AttachCapture(const ChannelSpec& chan);

    CommEvents m_events;
    CommJob m_job;
    std::thread m_worker;
    std::string m_strDevice; // serial: the device path, for messages
};
