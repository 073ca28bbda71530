#include "cli/CliChannel.h"

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <vector>

#include "cli/CliText.h"
#include "comm/CommThread.h"
#include "comm/NetDriver.h"
#include "comm/SerialPort.h"
#include "protocol/ResultCodes.h"
#include "protocol/StatusText.h"

namespace {

// The tool's only "window": the worker's posts to it land in the queue.
constexpr WindowHandle CLI_WINDOW = 1;

std::mutex g_queueMutex;
std::condition_variable g_queueReady;
std::deque<CommResult> g_queue;
// Set while WaitReply waits: the RC_SENT of a good send then wakes nobody,
// so that the worker's reply read is not shared with a woken caller.
bool g_bReplyWait = false;

void QueueResult(WindowHandle, int code, long value) {
    bool bWake = true;
    {
        std::lock_guard<std::mutex> lock(g_queueMutex);
        g_queue.push_back({code, value});
        bWake = !(g_bReplyWait && code == RC_SENT && value == 0);
    }
    if (bWake)
        g_queueReady.notify_one();
}

// The UDP open binds the first Ethernet adapter's address; a scripted run
// may name the local address instead, through the adapter seam.
std::string g_udpLocal;

bool LocalAdapter(std::vector<NetAdapter>& out) {
    out = {{"local", true, true, g_udpLocal}};
    return true;
}

} // namespace

CCliChannel::CCliChannel() {
    m_events.AttachTo(m_job);
    SetCommResultPoster(QueueResult);
}

CCliChannel::~CCliChannel() {
    Close();
}

bool CCliChannel::Open(const ChannelSpec& chan) {
    m_job.nFirstCharTimeout = chan.nFirstChar;
    m_job.nInterCharTimeout = chan.nInterChar;

    if (chan.nChannel == CH_SERIAL) {
        if (!chan.strDevice.empty())
            ComBindDevice(chan.nComPort, chan.strDevice.c_str());
        if (ComOpen(chan.nComPort, chan.nBaudIndex) != 0) {
            std::string text = OpenPortFailedText(chan.nComPort);
            if (!chan.strDevice.empty())
                text += " (" + chan.strDevice + ")";
            text += OsReasonText(ComOpenError());
            std::fprintf(stderr, "%s\n", text.c_str());
            return false;
        }
        FillOpenJob(m_job, CH_SERIAL, chan.nComPort, {}, CLI_WINDOW);
        m_strDevice = chan.strDevice.empty() ? ComDevicePath(chan.nComPort) : chan.strDevice;
        AttachCapture(chan);
        m_worker = StartWorker(m_job);
        return true;
    }

    FillOpenJob(m_job, chan.nChannel, chan.nPort, chan.strAddress, CLI_WINDOW);
    if (chan.nChannel == CH_UDP && !chan.strUdpLocal.empty()) {
        g_udpLocal = chan.strUdpLocal;
        NetSetAdapterSource(LocalAdapter);
    }
    AttachCapture(chan);
    m_worker = StartWorker(m_job);
    m_events.open.Set();
    const CommResult r = WaitFor(RC_CONNECTED, RC_CONNECT_FAILED);
    if (r.nCode == RC_CONNECTED)
        return true;
    std::string text = ConnectFailedText(chan.nChannel, m_job.nResult);
    if (text.empty())
        text = ConnectStatusText(chan.nChannel, false);
    text += OsReasonText(m_job.nError);
    std::fprintf(stderr, "%s\n", text.c_str());
    Close();
    return false;
}

void CCliChannel::AttachCapture(const ChannelSpec& chan) {
    if (chan.pCapture == nullptr)
        return;
    const int port = chan.nChannel == CH_SERIAL ? chan.nComPort : chan.nPort;
    const std::string name =
        CaptureChannelName(chan.nChannel, port, chan.strAddress, ComBaudRate(chan.nBaudIndex));
    m_job.capture = {chan.pCapture, chan.pCapture->AddInterface(name, chan.strCaptureNote)};
}

WindowHandle CCliChannel::Window() const {
    return CLI_WINDOW;
}

void CCliChannel::File() {
    m_events.job.Set();
}

CommResult CCliChannel::Next() {
    std::unique_lock<std::mutex> lock(g_queueMutex);
    g_queueReady.wait(lock, [] { return !g_queue.empty(); });
    const CommResult r = g_queue.front();
    g_queue.pop_front();
    return r;
}

CommResult CCliChannel::WaitFor(int code, int other) {
    for (;;) {
        const CommResult r = Next();
        if (r.nCode == code || (other != 0 && r.nCode == other))
            return r;
    }
}

CommResult CCliChannel::WaitReply() {
    std::unique_lock<std::mutex> lock(g_queueMutex);
    g_bReplyWait = true;
    for (;;) {
        g_queueReady.wait(lock, [] { return !g_queue.empty(); });
        const CommResult r = g_queue.front();
        g_queue.pop_front();
        if (r.nCode == RC_RECEIVED || (r.nCode == RC_SENT && r.nValue != 0)) {
            g_bReplyWait = false;
            return r;
        }
    }
}

RawCollected CCliChannel::CollectRaw(int firstCharMs, int interCharMs) {
    using Clock = std::chrono::steady_clock;
    uint8_t recvBuf[CLI_BUFFER_SIZE];
    RawCollected got;
    auto deadline = Clock::now() + std::chrono::milliseconds(firstCharMs);
    for (;;) {
        FillRawReceiveJob(m_job, recvBuf, CLI_BUFFER_SIZE, Window());
        File();
        got.nLast = static_cast<int>(WaitFor(RC_RAW_RECEIVED).nValue);
        if (got.nLast > 0) {
            got.bytes.insert(got.bytes.end(), recvBuf, recvBuf + got.nLast);
            got.nLastBytesUs = m_job.nRecvDoneUs;
            if (static_cast<int>(got.bytes.size()) >= RAW_COLLECT_MAX)
                break;
            deadline = Clock::now() + std::chrono::milliseconds(interCharMs);
            continue;
        }
        // A UDP receive that waited in vain reports RES_UDP_RECV_FAILED; other
        // codes end the line.
        const bool bQuiet =
            got.nLast == 0 || (Channel() == CH_UDP && got.nLast == RES_UDP_RECV_FAILED);
        if (!bQuiet || Clock::now() >= deadline)
            break;
        if (got.nLast == 0)
            std::this_thread::sleep_for(RAW_POLL_PAUSE);
    }
    return got;
}

void CCliChannel::Close() {
    // The status line says only that a read or send failed; say why.
    if (m_worker.joinable() && m_job.nChannel == CH_SERIAL && ComHungUp(m_job.nPort))
        std::fprintf(stderr, "the serial device %s hung up (unplugged or closed at its far end)\n",
                     m_strDevice.c_str());
    StopWorker(m_job, m_worker);
}
