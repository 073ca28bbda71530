#include "comm/CommThread.h"

#include <iterator>

#include "comm/Cancel.h"
#include "comm/Clock.h"
#include "comm/DialModem.h"
#include "comm/DownloadRunner.h"
#include "comm/NetDriver.h"
#include "comm/SerialPort.h"
#include "protocol/ResultCodes.h"

namespace {

constexpr int TCP_CONNECT_TIMEOUT_MS = 10000;

// The driver operations of one channel kind. A serial or modem channel's
// handle is its COM number, a port the console has opened; a network
// channel's handle is the socket the worker opens and closes itself.
struct ChannelDriver {
    // Connects or binds the socket; nullptr on a COM port. Returns RES_OK with
    // sock set, or the driver's code (a UdpOpenCode for UDP).
    int (*openSocket)(CommJob& job, int& sock);
    // What the worker does once the open event is set, before its first job;
    // nullptr when the channel needs nothing (serial). Returns true when
    // connected.
    bool (*connect)(int& handle, CommJob& job);
    // addr and port name the peer of a datagram; the other channels ignore them.
    ResultCode (*send)(int handle, const uint8_t* data, int count, const char* addr, int port);
    int (*recvFrame)(int handle, int F, int I, uint8_t* buf, int bufSize, ReadTap* tap);
    int (*recvRaw)(int handle, uint8_t* buf, int max);
    // Ends the channel when the worker ends.
    void (*close)(int handle);
};

ResultCode SendCom(int n, const uint8_t* data, int count, const char*, int) {
    return ComWrite(n, data, count);
}

ResultCode SendTcp(int sock, const uint8_t* data, int count, const char*, int) {
    return TcpSend(sock, data, count);
}

ResultCode SendUdp(int sock, const uint8_t* data, int count, const char* addr, int port) {
    return UdpSendTo(sock, addr, port, data, count);
}

int RecvRawUdp(int sock, uint8_t* buf, int max) {
    return UdpRecvRaw(sock, buf, max, RAW_UDP_WAIT_MS);
}

int OpenTcp(CommJob& job, int& sock) {
    return TcpConnect(job.strAddress.c_str(), job.nPort, TCP_CONNECT_TIMEOUT_MS, sock,
                      &job.bCancel);
}

int OpenUdp(CommJob&, int& sock) {
    return UdpOpen(sock);
}

bool Dial(int&, CommJob& job) {
    return DialModem(job);
}

void EndCom(int n) {
    ComClose(n);
}

// A socket the worker never opened is left alone.
void EndTcp(int sock) {
    if (sock != NO_SOCKET) {
        TcpClose(sock);
        NetCleanup();
    }
}

void EndUdp(int sock) {
    if (sock != NO_SOCKET) {
        UdpClose(sock);
        NetCleanup();
    }
}

// Indexed by ChannelKind.
const ChannelDriver DRIVERS[] = {
    /* CH_SERIAL */ {nullptr, nullptr, SendCom, ComReadFrame, ComReadRaw, EndCom},
    /* CH_MODEM */ {nullptr, Dial, SendCom, ComReadFrame, ComReadRaw, EndCom},
    /* CH_TCP */ {OpenTcp, OpenNetChannel, SendTcp, TcpRecvFrame, TcpRecvRaw, EndTcp},
    /* CH_UDP */ {OpenUdp, OpenNetChannel, SendUdp, UdpRecvFrame, RecvRawUdp, EndUdp},
};
static_assert(std::size(DRIVERS) == CH_UDP + 1, "one driver per channel kind");

// A channel outside the list is driven as a serial port.
const ChannelDriver& DriverOf(int channel) {
    return channel >= CH_SERIAL && channel <= CH_UDP ? DRIVERS[channel] : DRIVERS[CH_SERIAL];
}

// The engine's reads and writes go through these three, which record them
// on the capture link.
ResultCode SendByChannel(int handle, const uint8_t* data, int count, int channel, const char* addr,
                         int port, const CaptureLink& capture) {
    const ResultCode rc = DriverOf(channel).send(handle, data, count, addr, port);
    CaptureSent(capture, data, count, rc);
    return rc;
}

int RecvFrameByChannel(int handle, int F, int I, uint8_t* buf, int bufSize, int channel,
                       const CaptureLink& capture) {
    CCaptureReadTap tap(capture);
    return DriverOf(channel).recvFrame(handle, F, I, buf, bufSize, tap.ForReader());
}

// The job's buffers come from the console or a dialog; a missing buffer or a
// length beyond it is refused rather than read or written. What the reply
// read needs is taken before RC_SENT is posted: a send-only exchange hands
// the job back to the console with that post.
void RunExchange(CommJob& job, int handle) {
    const WindowHandle wnd = job.hNotifyWnd;
    const int channel = job.nChannel;
    const bool bReceive = !job.bNoReceive;
    uint8_t* const recvBuf = job.pRecvBuf;
    const int recvBufSize = job.nRecvBufSize;
    const int F = job.nFirstCharTimeout;
    const int I = job.nInterCharTimeout;
    const CaptureLink capture = job.capture;

    int sent = RES_SEND_FAILED;
    if (job.pSendBuf != nullptr && job.nSendLen >= 0 && job.nSendLen <= job.nSendBufSize) {
        sent = SendByChannel(handle, job.pSendBuf, job.nSendLen, channel, job.strAddress.c_str(),
                             job.nPort, capture);
    }
    job.nSendDoneUs = NowUs();
    PostCommResult(wnd, RC_SENT, sent);
    if (sent != 0) {
        return;
    }
    if (bReceive) {
        int got = RES_RECV_ERROR;
        if (recvBuf != nullptr && recvBufSize > 0) {
            got = RecvFrameByChannel(handle, F, I, recvBuf, recvBufSize, channel, capture);
        }
        job.nRecvDoneUs = NowUs();
        PostCommResult(wnd, RC_RECEIVED, got);
    }
    if (job.hDoneEvent != nullptr) {
        job.hDoneEvent->Reset();
        job.hDoneEvent->Set();
    }
}

void RunRawReceive(CommJob& job, int handle) {
    int got = RES_RECV_ERROR;
    if (job.pRecvBuf != nullptr && job.nRecvBufSize > RAW_RECV_MAX) {
        got = RecvRaw(handle, job.pRecvBuf, job.nChannel, job.capture);
    }
    job.nRecvDoneUs = NowUs();
    PostCommResult(job.hNotifyWnd, RC_RAW_RECEIVED, got);
}

void RunDownload(CommJob& job, int handle) {
    const int result =
        DownloadProgram(handle, job.nMachineNo, job.strFilePath.c_str(), job.nChannel,
                        job.hNotifyWnd, job.strAddress.c_str(), job.nPort, job.capture);
    PostCommResult(job.hNotifyWnd, RC_DOWNLOAD_DONE, result);
}

// A missing event counts as a failed wait, which ends the worker.
bool WaitEvent(CEvent* event) {
    return event != nullptr && event->Wait();
}

} // namespace

bool OpenNetChannel(int& sock, CommJob& job) {
    const ChannelDriver& driver = DriverOf(job.nChannel);
    if (driver.openSocket == nullptr) {
        return false;
    }
    NetStartup();
    int opened = NO_SOCKET;
    const int result = driver.openSocket(job, opened);
    job.nError = result != 0 ? NetLastError() : 0;
    job.nResult = result;
    if (result != 0) {
        PostCommResult(job.hNotifyWnd, RC_CONNECT_FAILED, job.nChannel);
        return false;
    }
    sock = opened;
    PostCommResult(job.hNotifyWnd, RC_CONNECTED, job.nChannel);
    return true;
}

int ExchangeFrame(int handle, uint8_t* buf, int bufSize, int sendLen, int F, int I, int channel,
                  const char* addr, int port, const CaptureLink& capture) {
    if (buf == nullptr || sendLen < 0 || sendLen > bufSize) {
        return RES_SEND_FAILED;
    }
    if (SendByChannel(handle, buf, sendLen, channel, addr, port, capture) != 0) {
        return RES_SEND_FAILED;
    }
    return RecvFrameByChannel(handle, F, I, buf, bufSize, channel, capture);
}

int RecvRaw(int handle, uint8_t* buf, int channel, const CaptureLink& capture) {
    const int got = DriverOf(channel).recvRaw(handle, buf, RAW_RECV_MAX);
    CaptureReceived(capture, buf, got);
    return got;
}

int CommThreadProc(CommJob* pJob) {
    if (pJob == nullptr) {
        return 0;
    }
    CommJob& job = *pJob;
    // A stop cuts this thread's reply waits and sends short once they have
    // had their grace, not only a connect or dial.
    SetThreadCancel(&job.bCancel, STOP_GRACE_MS);
    // The channel and its port are fixed for the life of a worker: the
    // console fills them before the start and never while it runs.
    const ChannelDriver& driver = DriverOf(job.nChannel);
    int handle = driver.openSocket != nullptr ? NO_SOCKET : job.nPort;
    bool bConnected = false;

    for (;;) {
        if (driver.connect != nullptr) {
            if (!WaitEvent(job.hOpenEvent)) {
                break;
            }
            if (!bConnected) {
                bConnected = driver.connect(handle, job);
                if (!bConnected) {
                    break;
                }
            }
        }
        if (!WaitEvent(job.hJobEvent)) {
            break;
        }
        if (job.hStopEvent == nullptr || job.hStopEvent->Wait(0)) {
            break;
        }
        switch (job.nOperation) {
        case OP_DOWNLOAD:
            RunDownload(job, handle);
            break;
        case OP_RAW_RECEIVE:
            RunRawReceive(job, handle);
            break;
        default:
            RunExchange(job, handle);
            break;
        }
    }

    if (job.hStoppedEvent != nullptr) {
        job.hStoppedEvent->Set();
    }
    driver.close(handle);
    if (job.hOpenEvent != nullptr) {
        job.hOpenEvent->Reset();
    }
    return 0;
}

std::thread StartWorker(CommJob& job) {
    if (job.hStoppedEvent != nullptr) {
        job.hStoppedEvent->Reset();
    }
    if (job.hStopEvent != nullptr) {
        job.hStopEvent->Reset();
    }
    if (job.hJobEvent != nullptr) {
        job.hJobEvent->Reset();
    }
    job.bCancel = false;
    return std::thread(CommThreadProc, &job);
}

void StopWorker(CommJob& job, std::thread& worker) {
    if (!worker.joinable()) {
        return;
    }
    const bool bEnded = job.hStoppedEvent != nullptr && job.hStoppedEvent->Wait(0);
    if (!bEnded) {
        // A connect or dial in progress gives up at once, a reply wait or
        // send after STOP_GRACE_MS, instead of running to its time-out while
        // the caller waits.
        job.bCancel = true;
        if (job.hStopEvent != nullptr) {
            job.hStopEvent->Set();
        }
        if (job.hJobEvent != nullptr) {
            job.hJobEvent->Set();
        }
    }
    worker.join();
    // A worker that ended by itself leaves the stop request unread.
    if (job.hStopEvent != nullptr) {
        job.hStopEvent->Reset();
    }
    if (job.hJobEvent != nullptr) {
        job.hJobEvent->Reset();
    }
}
