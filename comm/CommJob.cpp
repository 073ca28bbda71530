#include "comm/CommJob.h"

void CommEvents::AttachTo(CommJob& job) {
    job.hOpenEvent = &open;
    job.hJobEvent = &this->job;
    job.hDoneEvent = &done;
    job.hStopEvent = &stop;
    job.hStoppedEvent = &stopped;
}

namespace {

// The download steps use their own time-outs; the job's are parked here.
constexpr int DOWNLOAD_JOB_TIMEOUT_MS = 3000;

void ClearBuffers(CommJob& job) {
    job.pSendBuf = nullptr;
    job.pRecvBuf = nullptr;
    job.nSendBufSize = 0;
    job.nRecvBufSize = 0;
    job.nSendLen = 0;
}

} // namespace

void FillOpenJob(CommJob& job, int channel, int port, const std::string& address,
                 WindowHandle wnd) {
    ClearBuffers(job);
    job.nChannel = channel;
    job.nPort = port;
    job.strAddress = address;
    job.nOperation = OP_EXCHANGE;
    job.hNotifyWnd = wnd;
}

void FillExchangeJob(CommJob& job, uint8_t* sendBuf, int sendBufSize, int sendLen, uint8_t* recvBuf,
                     int recvBufSize, bool bNoReceive, WindowHandle wnd) {
    job.pSendBuf = sendBuf;
    job.nSendBufSize = sendBufSize;
    job.nSendLen = sendLen;
    job.pRecvBuf = recvBuf;
    job.nRecvBufSize = recvBufSize;
    job.bNoReceive = bNoReceive;
    job.nOperation = OP_EXCHANGE;
    job.hNotifyWnd = wnd;
}

void FillRawReceiveJob(CommJob& job, uint8_t* recvBuf, int recvBufSize, WindowHandle wnd) {
    ClearBuffers(job);
    job.pRecvBuf = recvBuf;
    job.nRecvBufSize = recvBufSize;
    job.nOperation = OP_RAW_RECEIVE;
    job.hNotifyWnd = wnd;
}

void FillDownloadJob(CommJob& job, const std::string& path, int machine, WindowHandle wnd) {
    ClearBuffers(job);
    job.strFilePath = path;
    job.nMachineNo = machine;
    job.nFirstCharTimeout = DOWNLOAD_JOB_TIMEOUT_MS;
    job.nInterCharTimeout = DOWNLOAD_JOB_TIMEOUT_MS;
    job.nOperation = OP_DOWNLOAD;
    job.hNotifyWnd = wnd;
}
