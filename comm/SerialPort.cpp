#include "comm/SerialPort.h"

#include <condition_variable>
#include <cstdint>
#include <iterator>
#include <mutex>

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "comm/Cancel.h"
#include "comm/Clock.h"
#include "comm/ReadAhead.h"
#include "comm/SerialSpeed.h"
#include "protocol/Frame.h"
#include "protocol/FrameReader.h"

namespace {

// One COM number's open device. The worker reads and writes while the
// console may close: a user count keeps the descriptor alive until the last
// reader or writer has left, and the wake descriptor, polled beside it, tells
// a waiting user to leave. The bytes read ahead are the reading thread's:
// a close drops them once no user is left.
struct PortEntry {
    std::mutex mutex;
    std::condition_variable idle;
    int fd = -1;
    int wakeFd = -1;
    int users = 0;
    bool closing = false;
    CReadAhead ahead;
};

PortEntry g_ports[COM_PORT_COUNT];

std::mutex g_namesMutex;
std::string g_names[COM_PORT_COUNT];

// The default names: each family holds 32 devices from its first number.
struct TtyFamily {
    const char* prefix;
    int firstCom;
};
constexpr TtyFamily TTY_FAMILIES[] = {{"/dev/ttyS", 1}, {"/dev/ttyUSB", 33}, {"/dev/ttyACM", 65}};
constexpr int TTY_FAMILY_SIZE = 32;

std::atomic<ComModemLines*> g_modemLines{nullptr};

// The reason of this thread's last failed ComOpen, for its caller to show.
thread_local int g_openError = 0;

ResultCode OpenFailed(int err) {
    g_openError = err;
    return RES_OPEN_FAILED;
}

bool ValidPort(int n) {
    return n >= 0 && n < COM_PORT_COUNT;
}

// A reader's or writer's hold on an open port; empty when the port is not
// open or is being closed.
class PortUse {
  public:
    explicit PortUse(int n) {
        if (!ValidPort(n))
            return;
        PortEntry& e = g_ports[n];
        std::lock_guard<std::mutex> lock(e.mutex);
        if (e.fd < 0 || e.closing)
            return;
        ++e.users;
        m_entry = &e;
        m_fd = e.fd;
        m_wakeFd = e.wakeFd;
    }
    ~PortUse() {
        if (m_entry == nullptr)
            return;
        std::lock_guard<std::mutex> lock(m_entry->mutex);
        if (--m_entry->users == 0)
            m_entry->idle.notify_all();
    }
    PortUse(const PortUse&) = delete;
    PortUse& operator=(const PortUse&) = delete;

    bool Open() const { return m_entry != nullptr; }
    int Fd() const { return m_fd; }
    int WakeFd() const { return m_wakeFd; }
    CReadAhead& Ahead() const { return m_entry->ahead; }

  private:
    PortEntry* m_entry = nullptr;
    int m_fd = -1;
    int m_wakeFd = -1;
};

// Waits up to waitMs for the port to become ready for events, or until the
// thread's cancel. Returns the port's revents, 0 on time-out or cancel, or
// -1 when the port is being closed.
int WaitPort(const PortUse& use, short events, int waitMs) {
    pollfd fds[2] = {{use.Fd(), events, 0}, {use.WakeFd(), POLLIN, 0}};
    const int rc = PollUnlessCancelled(fds, 2, DeadlineIn(waitMs));
    if (rc < 0)
        return errno == EINTR ? 0 : -1;
    if (fds[1].revents != 0)
        return -1;
    return fds[0].revents;
}

// The port as the reply acceptance reads it: bytes read ahead first, else
// wait in poll() and read all that waits.
class PortSource : public FrameSource {
  public:
    explicit PortSource(const PortUse& use) : m_use(use) {}

    int Read(uint8_t* dst, int max, int waitMs) override {
        return m_use.Ahead().Read(
            dst, max, [&](uint8_t* space, int room) { return ReadDevice(space, room, waitMs); });
    }

    uint32_t Tick() override { return TickMs(); }

  private:
    int ReadDevice(uint8_t* dst, int max, int waitMs) {
        const int ready = WaitPort(m_use, POLLIN, waitMs);
        if (ready < 0)
            return RES_RECV_ERROR;
        // A stopped worker's read ends as one that got no reply.
        if (ready == 0)
            return ThreadCancelled() ? RES_NO_START : 0;
        if (ready & POLLIN) {
            const ssize_t got = read(m_use.Fd(), dst, static_cast<size_t>(max));
            if (got > 0)
                return static_cast<int>(got);
            if (got < 0 && errno != EAGAIN && errno != EINTR)
                return RES_RECV_ERROR;
        }
        // A hung-up tty reads 0 forever; without the hang-up, 0 is no data.
        if (ready & (POLLHUP | POLLERR | POLLNVAL))
            return RES_RECV_ERROR;
        return 0;
    }

    const PortUse& m_use;
};

// The port as the write rule sees it: write what fits, else wait in poll().
class PortSink : public ComWriteSink {
  public:
    explicit PortSink(const PortUse& use) : m_use(use) {}

    int Write(const uint8_t* data, int count, int waitMs) override {
        const ssize_t put = write(m_use.Fd(), data, static_cast<size_t>(count));
        if (put > 0)
            return static_cast<int>(put);
        if (put < 0 && errno != EAGAIN && errno != EINTR)
            return -1;
        const int ready = WaitPort(m_use, POLLOUT, waitMs);
        if (ready < 0 || (ready & (POLLHUP | POLLERR | POLLNVAL)) ||
            (ready == 0 && ThreadCancelled()))
            return -1;
        return 0;
    }

    uint32_t Tick() override { return static_cast<uint32_t>(NowMs()); }

  private:
    const PortUse& m_use;
};

speed_t StandardSpeed(int bps) {
    switch (bps) {
    case 1200:
        return B1200;
    case 2400:
        return B2400;
    case 4800:
        return B4800;
    case 9600:
        return B9600;
    case 19200:
        return B19200;
    case 57600:
        return B57600;
    case 115200:
        return B115200;
    case 921600:
        return B921600;
    default:
        return B0;
    }
}

// Raw 8N1: the default cooked mode would echo, translate CR/LF and swallow
// XON/XOFF, which corrupts binary frames. HUPCL drops DTR on close, which is
// how closing a modem's port hangs up.
int SetRaw(int fd, int bps) {
    termios tio;
    if (tcgetattr(fd, &tio) != 0)
        return -1;
    cfmakeraw(&tio);
    tio.c_iflag &= ~(IXON | IXOFF | IXANY);
    tio.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD | HUPCL;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    const speed_t speed = StandardSpeed(bps);
    if (speed != B0 && (cfsetispeed(&tio, speed) != 0 || cfsetospeed(&tio, speed) != 0))
        return -1;
    if (tcsetattr(fd, TCSANOW, &tio) != 0)
        return -1;
    return speed == B0 ? SetSerialSpeed(fd, bps) : 0;
}

void CloseDevice(int fd, bool exclusive) {
    if (exclusive)
        ioctl(fd, TIOCNXCL);
    close(fd);
}

} // namespace

int ComBindDevice(int n, const char* device) {
    if (!ValidPort(n))
        return -1;
    std::lock_guard<std::mutex> lock(g_namesMutex);
    g_names[n] = device != nullptr ? device : "";
    return 0;
}

std::string ComDevicePath(int n) {
    if (!ValidPort(n))
        return {};
    {
        std::lock_guard<std::mutex> lock(g_namesMutex);
        if (!g_names[n].empty())
            return g_names[n];
    }
    for (const TtyFamily& f : TTY_FAMILIES) {
        if (n >= f.firstCom && n < f.firstCom + TTY_FAMILY_SIZE)
            return f.prefix + std::to_string(n - f.firstCom);
    }
    return {};
}

int ComNumberOfDevice(const char* device) {
    if (device == nullptr || *device == '\0')
        return -1;
    {
        std::lock_guard<std::mutex> lock(g_namesMutex);
        for (int n = 0; n < COM_PORT_COUNT; ++n) {
            if (g_names[n] == device)
                return n;
        }
    }
    // A default slot counts only while no binding has taken its number.
    for (const TtyFamily& f : TTY_FAMILIES) {
        for (int n = f.firstCom; n < f.firstCom + TTY_FAMILY_SIZE; ++n) {
            if (ComDevicePath(n) == device)
                return n;
        }
    }
    return -1;
}

int ComBaudRate(unsigned index) {
    return index < std::size(COM_BAUD_RATES) ? COM_BAUD_RATES[index] : 921600;
}

unsigned ComBaudIndex(long rate) {
    for (unsigned i = 0; i < std::size(COM_BAUD_RATES); ++i) {
        if (COM_BAUD_RATES[i] == rate)
            return i;
    }
    return 0;
}

ResultCode ComOpen(int n, unsigned baudIndex) {
    g_openError = 0;
    const std::string path = ComDevicePath(n);
    if (path.empty())
        return OpenFailed(ENODEV);
    PortEntry& e = g_ports[n];
    std::lock_guard<std::mutex> lock(e.mutex);
    if (e.fd >= 0)
        return OpenFailed(EBUSY);

    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return OpenFailed(errno);
    // flock before TIOCEXCL: a port another holder has locked must keep its
    // exclusive flag when we back out.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        CloseDevice(fd, false);
        return OpenFailed(err);
    }
    if (ioctl(fd, TIOCEXCL) != 0 || SetRaw(fd, ComBaudRate(baudIndex)) != 0 ||
        tcflush(fd, TCIOFLUSH) != 0) {
        const int err = errno;
        CloseDevice(fd, true);
        return OpenFailed(err);
    }
    const int wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd < 0) {
        const int err = errno;
        CloseDevice(fd, true);
        return OpenFailed(err);
    }
    e.fd = fd;
    e.wakeFd = wakeFd;
    return RES_OK;
}

int ComOpenError() {
    return g_openError;
}

ResultCode ComClose(int n) {
    if (!ValidPort(n))
        return RES_OPEN_FAILED;
    PortEntry& e = g_ports[n];
    std::unique_lock<std::mutex> lock(e.mutex);
    // The console and the worker may both close: the later one waits for
    // the earlier to finish and then finds the port closed.
    e.idle.wait(lock, [&] { return !e.closing; });
    if (e.fd < 0)
        return RES_OK;
    e.closing = true;
    eventfd_write(e.wakeFd, 1);
    e.idle.wait(lock, [&] { return e.users == 0; });
    ioctl(e.fd, TIOCNXCL);
    const int rc = close(e.fd);
    close(e.wakeFd);
    e.ahead.Clear();
    e.fd = -1;
    e.wakeFd = -1;
    e.closing = false;
    e.idle.notify_all();
    return rc == 0 ? RES_OK : RES_OPEN_FAILED;
}

ResultCode ComWriteAll(ComWriteSink& sink, const uint8_t* data, int count) {
    // A slow line with a small driver buffer moves a long frame for longer
    // than the span; only a stall that long is a failure.
    const int32_t span = 5 * count + 50;
    uint32_t lastProgress = sink.Tick();
    int done = 0;
    while (done < count) {
        const int32_t left = span - static_cast<int32_t>(sink.Tick() - lastProgress);
        if (left <= 0)
            return RES_SEND_FAILED;
        const int put = sink.Write(data + done, count - done, left);
        if (put < 0)
            return RES_SEND_FAILED;
        if (put > 0) {
            done += put;
            lastProgress = sink.Tick();
        }
    }
    return RES_OK;
}

ResultCode ComWrite(int n, const uint8_t* data, int count) {
    PortUse use(n);
    if (!use.Open() || count < 0 || (count > 0 && data == nullptr))
        return RES_SEND_FAILED;
    ComRaiseDtr(n);
    // Bytes that came in since the last read are not the next reply, be they
    // still in the driver's queue or already read ahead.
    use.Ahead().Clear();
    tcflush(use.Fd(), TCIOFLUSH);
    PortSink sink(use);
    return ComWriteAll(sink, data, count);
}

int ComReadFrame(int n, int F, int I, uint8_t* buf, int bufSize, ReadTap* tap) {
    PortUse use(n);
    if (!use.Open() || buf == nullptr || bufSize < FRAME_OVERHEAD + 1)
        return RES_RECV_ERROR;
    PortSource src(use);
    return AcceptReply(src, SERIAL_RULES, F, I, buf, bufSize, tap);
}

int ComReadRaw(int n, uint8_t* buf, int max) {
    PortUse use(n);
    if (!use.Open() || buf == nullptr)
        return RES_RECV_ERROR;
    if (max <= 0)
        return 0;
    PortSource src(use);
    return src.Read(buf, max, 0);
}

bool ComHungUp(int n) {
    PortUse use(n);
    if (!use.Open())
        return false;
    pollfd p{use.Fd(), 0, 0};
    return poll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

namespace {

// Raises the modem-control line bit (TIOCM_DTR, TIOCM_RTS) of COMn, or
// hands it to raiseSeam of the test seam when one is set. Returns 0, or -1
// when the port is not open.
int RaiseLine(int n, int bit, void (ComModemLines::*raiseSeam)(int)) {
    PortUse use(n);
    if (!use.Open())
        return -1;
    if (ComModemLines* lines = g_modemLines.load()) {
        (lines->*raiseSeam)(n);
        return 0;
    }
    ioctl(use.Fd(), TIOCMBIS, &bit);
    return 0;
}

} // namespace

int ComRaiseDtr(int n) {
    return RaiseLine(n, TIOCM_DTR, &ComModemLines::RaiseDtr);
}

int ComRaiseRts(int n) {
    return RaiseLine(n, TIOCM_RTS, &ComModemLines::RaiseRts);
}

int ComGetCarrier(int n, bool& present) {
    present = false;
    PortUse use(n);
    if (!use.Open())
        return -1;
    if (ComModemLines* lines = g_modemLines.load()) {
        present = lines->Carrier(n);
        return 0;
    }
    int bits = 0;
    present = ioctl(use.Fd(), TIOCMGET, &bits) == 0 && (bits & TIOCM_CD) != 0;
    return 0;
}

void ComSetModemLines(ComModemLines* lines) {
    g_modemLines.store(lines);
}
