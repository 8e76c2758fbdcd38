#include "terminal.h"

#include <termios.h>

bool make_serial_like(int fd)
{
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) return false;
    tio.c_lflag &= ~static_cast<tcflag_t>(ISIG | ECHO | ECHONL);
    return tcsetattr(fd, TCSANOW, &tio) == 0;
}
