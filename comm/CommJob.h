#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "comm/Event.h"
#include "comm/Notify.h"

// The channel kinds, in the order of the console's channel list.
enum ChannelKind : int { CH_SERIAL = 0, CH_MODEM = 1, CH_TCP = 2, CH_UDP = 3 };

// The job's operation.
enum OpKind : int { OP_EXCHANGE = 0, OP_DOWNLOAD = 1, OP_RAW_RECEIVE = 2 };

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
