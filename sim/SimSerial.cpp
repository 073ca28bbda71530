// The simulator's termios code: a pseudo-terminal of its own or a real tty.
#include <cerrno>
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include "sim/SimChannels.h"

namespace {

struct Speed {
    int baud;
    speed_t code;
};

const Speed SPEEDS[] = {{1200, B1200},     {2400, B2400},     {4800, B4800},    {9600, B9600},
                        {19200, B19200},   {38400, B38400},   {57600, B57600},  {115200, B115200},
                        {230400, B230400}, {460800, B460800}, {921600, B921600}};

int MakeRaw(int fd, speed_t speed) {
    termios t{};
    if (tcgetattr(fd, &t) != 0)
        return -errno;
    cfmakeraw(&t);
    t.c_cflag &= ~(CSTOPB | PARENB | CSIZE | CRTSCTS);
    t.c_cflag |= CS8 | CLOCAL | CREAD;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
    return tcsetattr(fd, TCSANOW, &t) == 0 ? 0 : -errno;
}

int SetNonBlocking(int fd) {
    const int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0 ? 0 : -errno;
}

} // namespace

bool SimBaudSupported(int baud) {
    for (const Speed& s : SPEEDS)
        if (s.baud == baud)
            return true;
    return false;
}

int SimOpenPty(int& masterFd, int& slaveFd, std::string& path) {
    int m = -1;
    int s = -1;
    char name[128] = {};
    if (openpty(&m, &s, name, nullptr, nullptr) != 0)
        return -errno;
    int rc = MakeRaw(s, B19200);
    if (rc == 0)
        rc = SetNonBlocking(m);
    if (rc != 0) {
        close(m);
        close(s);
        return rc;
    }
    masterFd = m;
    slaveFd = s;
    path = name;
    return 0;
}

int SimOpenDevice(const char* path, int baud, int& fd) {
    speed_t code = 0;
    for (const Speed& s : SPEEDS)
        if (s.baud == baud)
            code = s.code;
    if (code == 0)
        return -EINVAL;
    const int f = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (f < 0)
        return -errno;
    const int rc = MakeRaw(f, code);
    if (rc != 0) {
        close(f);
        return rc;
    }
    tcflush(f, TCIOFLUSH);
    fd = f;
    return 0;
}
