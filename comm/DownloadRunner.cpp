#include "comm/DownloadRunner.h"

#include "comm/CommThread.h"

namespace {

class ChannelExchange : public FrameExchange {
  public:
    ChannelExchange(int handle, int channel, const char* addr, int port, const CaptureLink& capture)
        : m_nHandle(handle), m_nChannel(channel), m_pAddr(addr), m_nPort(port), m_capture(capture) {
    }

    int Exchange(uint8_t* buf, int bufSize, int sendLen, int F, int I) override {
        return ExchangeFrame(m_nHandle, buf, bufSize, sendLen, F, I, m_nChannel, m_pAddr, m_nPort,
                             m_capture);
    }

  private:
    int m_nHandle;
    int m_nChannel;
    const char* m_pAddr;
    int m_nPort;
    CaptureLink m_capture;
};

class PostedProgress : public DownloadProgress {
  public:
    explicit PostedProgress(WindowHandle wnd) : m_hWnd(wnd) {}

    void Started(int blockTotal) override { PostCommResult(m_hWnd, RC_DOWNLOAD_START, blockTotal); }
    void Stepped() override { PostCommResult(m_hWnd, RC_DOWNLOAD_STEP, 0); }

  private:
    WindowHandle m_hWnd;
};

} // namespace

int Transact(int handle, uint8_t machine, uint8_t command, int F, int I, int& len, uint8_t* data,
             int dataSize, int channel, const char* addr, int port, const CaptureLink& capture) {
    ChannelExchange link(handle, channel, addr, port, capture);
    return Transact(link, machine, command, F, I, len, data, dataSize);
}

int DownloadProgram(int handle, int machine, const char* path, int channel, WindowHandle wnd,
                    const char* addr, int port, const CaptureLink& capture) {
    ChannelExchange link(handle, channel, addr, port, capture);
    PostedProgress progress(wnd);
    return DownloadImage(link, static_cast<uint8_t>(machine), path, progress);
}
