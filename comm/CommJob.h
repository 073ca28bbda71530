#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "comm/CaptureTap.h"
#include "comm/Event.h"
#include "comm/Notify.h"
#include "protocol/Channel.h"

// The job record between the console (or a dialog that borrows it) and the
// worker. The console writes the fields of an operation only while the
// worker waits on the job event, and sets the job event last; the events
// order those writes before the worker's reads.
struct CommJob {
    std::string strAddress; // TCP/UDP peer address; modem: the dial command
    int nPort = 0;          // serial/modem COM number; TCP/UDP peer port
    uint8_t* pSendBuf = nullptr;
    uint8_t* pRecvBuf = nullptr;
    int nSendBufSize = 0; // bytes pSendBuf holds; a longer nSendLen is refused
    int nRecvBufSize = 0; // bytes pRecvBuf holds
    int nMachineNo = -1;  // download target
    std::string strFilePath;
    int nSendLen = 0;
    int nFirstCharTimeout = 1000;
    int nInterCharTimeout = 1000;
    std::atomic<int> nResult{0}; // last connect or dial result, written by the worker
    std::atomic<int> nError{0};  // errno behind a failed connect or bind, else 0
    int nChannel = CH_SERIAL;
    bool bNoReceive = false;
    int nOperation = OP_EXCHANGE;
    WindowHandle hNotifyWnd = NO_WINDOW;
    // NowUs() stamps the worker writes before it posts: when the send of an
    // exchange returned (before RC_SENT), and when its reply read or a raw
    // receive ended (before RC_RECEIVED / RC_RAW_RECEIVED). Their difference
    // is the reply time from the last request byte written.
    int64_t nSendDoneUs = 0;
    int64_t nRecvDoneUs = 0;
    // Set by the console to abandon a dial; the worker then posts nothing more.
    std::atomic<bool> bCancel{false};
    // Where the worker records what it writes and reads (none by default);
    // set like the fields of an operation, while the worker is idle.
    CaptureLink capture;

    CEvent* hOpenEvent = nullptr;    // manual, created clear
    CEvent* hJobEvent = nullptr;     // auto, created clear
    CEvent* hDoneEvent = nullptr;    // manual, created set
    CEvent* hStopEvent = nullptr;    // auto, created clear
    CEvent* hStoppedEvent = nullptr; // auto, created clear
};

// The five events of a job, created as the console creates them.
struct CommEvents {
    CEvent open{true, false};
    CEvent job{false, false};
    CEvent done{true, true};
    CEvent stop{false, false};
    CEvent stopped{false, false};

    void AttachTo(CommJob& job);
};

// One helper per job kind: each fills the fields its operation reads and
// clears the buffers it does not use. Call them only while the worker waits
// on the job event (or before it starts), then set the job event.

// The channel a new worker opens: COM number for serial and modem (address:
// the dial command), peer address and port for TCP and UDP; no buffers.
void FillOpenJob(CommJob& job, int channel, int port, const std::string& address, WindowHandle wnd);

// A frame or raw bytes to send, and where the reply goes (none when
// bNoReceive).
void FillExchangeJob(CommJob& job, uint8_t* sendBuf, int sendBufSize, int sendLen, uint8_t* recvBuf,
                     int recvBufSize, bool bNoReceive, WindowHandle wnd);

// One raw receive into recvBuf, which must hold more than RAW_RECV_MAX bytes.
void FillRawReceiveJob(CommJob& job, uint8_t* recvBuf, int recvBufSize, WindowHandle wnd);

// The program image at path, for the terminal with that machine number.
void FillDownloadJob(CommJob& job, const std::string& path, int machine, WindowHandle wnd);
