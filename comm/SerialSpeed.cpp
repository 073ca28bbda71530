// The kernel's termios2 and BOTHER set speeds that have no Bxxx constant,
// such as 28800. <asm/termbits.h> redefines struct termios and the Bxxx
// macros of <termios.h>, so the two cannot meet in one translation unit:
// this file is the only one that sees the kernel's definitions.
#include "comm/SerialSpeed.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

int SetSerialSpeed(int fd, int bitsPerSecond) {
    struct termios2 tio;
    if (ioctl(fd, TCGETS2, &tio) != 0)
        return -1;
    tio.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
    tio.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    tio.c_ispeed = static_cast<speed_t>(bitsPerSecond);
    tio.c_ospeed = static_cast<speed_t>(bitsPerSecond);
    return ioctl(fd, TCSETS2, &tio) == 0 ? 0 : -1;
}

int GetSerialSpeed(int fd) {
    struct termios2 tio;
    if (ioctl(fd, TCGETS2, &tio) != 0)
        return -1;
    return static_cast<int>(tio.c_ospeed);
}
