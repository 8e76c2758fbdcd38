#include "terminal.h"

#include <cstdlib>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

bool make_serial_like(int fd)
{
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) return false;
    tio.c_lflag &= ~static_cast<tcflag_t>(ISIG | ECHO | ECHONL);
    return tcsetattr(fd, TCSANOW, &tio) == 0;
}

int open_serial_like_pty(std::string& slave_path, int* slave)
{
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0) return -1;
    const char* name = grantpt(master) == 0 && unlockpt(master) == 0 ? ptsname(master) : nullptr;
    *slave = name == nullptr ? -1 : open(name, O_RDWR | O_NOCTTY);
    if (*slave < 0 || !make_serial_like(*slave)) {
        if (*slave >= 0) close(*slave);
        close(master);
        return -1;
    }
    slave_path = name;
    return master;
}
