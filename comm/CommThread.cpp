#include "comm/CommThread.h"

#include "comm/Cancel.h"
#include "comm/Clock.h"
#include "comm/DialModem.h"
#include "comm/DownloadRunner.h"
#include "comm/NetDriver.h"
#include "comm/SerialPort.h"
#include "protocol/ResultCodes.h"

namespace {

constexpr int TCP_CONNECT_TIMEOUT_MS = 10000;

bool IsNetChannel(int channel) {
    return channel == CH_TCP || channel == CH_UDP;
}

// The engine's reads and writes go through these three, which record them
// on the capture link.
int SendByChannel(int handle, const uint8_t* data, int count, int channel, const char* addr,
                  int port, const CaptureLink& capture) {
    int rc = RES_SEND_FAILED;
    switch (channel) {
    case CH_TCP:
        rc = TcpSend(handle, data, count);
        break;
    case CH_UDP:
        rc = UdpSendTo(handle, addr, port, data, count);
        break;
    default:
        rc = ComWrite(handle, data, count);
        break;
    }
    CaptureSent(capture, data, count, rc);
    return rc;
}

int RecvFrameByChannel(int handle, int F, int I, uint8_t* buf, int bufSize, int channel,
                       const CaptureLink& capture) {
    CCaptureReadTap tap(capture);
    switch (channel) {
    case CH_TCP:
        return TcpRecvFrame(handle, F, I, buf, bufSize, tap.ForReader());
    case CH_UDP:
        return UdpRecvFrame(handle, F, I, buf, bufSize, tap.ForReader());
    default:
        return ComReadFrame(handle, F, I, buf, bufSize, tap.ForReader());
    }
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
    if (!IsNetChannel(job.nChannel)) {
        return false;
    }
    NetStartup();
    int opened = NO_SOCKET;
    const int result = job.nChannel == CH_TCP ? TcpConnect(job.strAddress.c_str(), job.nPort,
                                                           TCP_CONNECT_TIMEOUT_MS, opened,
                                                           &job.bCancel)
                                              : UdpOpen(opened);
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
    int got = 0;
    switch (channel) {
    case CH_TCP:
        got = TcpRecvRaw(handle, buf, RAW_RECV_MAX);
        break;
    case CH_UDP:
        got = UdpRecvRaw(handle, buf, RAW_RECV_MAX, RAW_UDP_WAIT_MS);
        break;
    default:
        got = ComReadRaw(handle, buf, RAW_RECV_MAX);
        break;
    }
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
    const int channel = job.nChannel;
    const int comPort = job.nPort;
    int sock = NO_SOCKET;
    bool bConnected = false;

    for (;;) {
        if (IsNetChannel(channel) || channel == CH_MODEM) {
            if (!WaitEvent(job.hOpenEvent)) {
                break;
            }
            if (!bConnected) {
                bConnected = channel == CH_MODEM ? DialModem(job) : OpenNetChannel(sock, job);
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
        const int handle = IsNetChannel(channel) ? sock : comPort;
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
    if (IsNetChannel(channel)) {
        if (sock != NO_SOCKET) {
            if (channel == CH_TCP) {
                TcpClose(sock);
            } else {
                UdpClose(sock);
            }
            NetCleanup();
            sock = NO_SOCKET;
        }
    } else {
        ComClose(comPort);
    }
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
