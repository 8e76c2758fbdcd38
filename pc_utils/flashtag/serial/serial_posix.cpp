// POSIX serial backend (Linux, macOS): termios on a tty device, with the same
// behaviour as the Win32 backend.
//
// Port names are the Windows ones. With FLASHTAG_PORT_DIR set, "COM7" opens
// $FLASHTAG_PORT_DIR/COM7 (usually a symlink to /dev/ttyUSB0 or a
// pseudo-terminal); without it, COMn opens /dev/ttyS<n-1>.
//
// Time-outs are totals, as with COMMTIMEOUTS carrying only the constants: a
// read or write either moves the whole count before a monotonic deadline or
// gives SERIAL_EIO.
#include "serial.h"
#include "serial_internal.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

// Slot per port number. -1 is both "never opened" and "closed": unlike a
// zeroed table, an unused slot can never name descriptor 0 (standard input).
constexpr std::array<int, SERIAL_MAX_PORT + 1> make_empty_table()
{
    std::array<int, SERIAL_MAX_PORT + 1> table{};
    table.fill(-1);
    return table;
}
std::array<int, SERIAL_MAX_PORT + 1> port_table = make_empty_table();

int64_t now_ms()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Waits until fd is ready for `events` or the deadline passes. True when ready
// (or when the line reports a hang-up or error, which the next read/write
// call then turns into a failure instead of waiting out the time-out).
bool wait_ready(int fd, short events, int64_t deadline)
{
    for (;;) {
        int64_t left = deadline - now_ms();
        if (left <= 0) return false;
        pollfd p{fd, events, 0};
        int n = poll(&p, 1, static_cast<int>(left));
        if (n > 0) return true;
        if (n < 0 && errno != EINTR) return false;
    }
}

bool build_path(const char* name, char* path, size_t size)
{
    const char* dir = getenv("FLASHTAG_PORT_DIR");
    int n = (dir != nullptr && dir[0] != '\0')
                ? snprintf(path, size, "%s/%s", dir, name)
                : snprintf(path, size, "/dev/ttyS%d", port_number_from_name(name) - 1);
    return n > 0 && static_cast<size_t>(n) < size;
}

bool speed_for_baud(uint32_t baud, speed_t* speed)
{
    static const struct { uint32_t baud; speed_t speed; } rates[] = {
        {1200, B1200},   {2400, B2400},   {4800, B4800},     {9600, B9600},
        {19200, B19200}, {38400, B38400}, {57600, B57600},   {115200, B115200},
        {230400, B230400},
    };
    for (const auto& r : rates) {
        if (r.baud == baud) {
            *speed = r.speed;
            return true;
        }
    }
    return false;
}

// Applies the line settings to a termios record. Raw mode makes the tty as
// binary-clean as a Windows COM port: no echo, no line editing, no CR/LF
// translation, no signal characters, no XON/XOFF. Hardware handshake and the
// modem lines stay as found. CLOCAL is set so that a missing carrier never
// blocks the line, as it does not on Windows.
int32_t configure(termios* tio, uint32_t baud, uint8_t data_bits, uint8_t parity,
                  uint8_t stop_bits)
{
    speed_t speed = B0;
    if (!speed_for_baud(baud, &speed)) return SERIAL_EIO;
    tio->c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                           ICRNL | IXON | IXOFF | IXANY | INPCK);
    tio->c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tio->c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tio->c_cflag |= CREAD | CLOCAL;
    tio->c_cc[VMIN] = 0;
    tio->c_cc[VTIME] = 0;
    if (cfsetispeed(tio, speed) != 0 || cfsetospeed(tio, speed) != 0) return SERIAL_EIO;

    static const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    if (data_bits < 5 || data_bits > 8) return SERIAL_EIO;
    tio->c_cflag = (tio->c_cflag & ~static_cast<tcflag_t>(CSIZE)) | sizes[data_bits - 5];

    switch (parity) {
    case 0: tio->c_cflag &= ~static_cast<tcflag_t>(PARENB | PARODD); break;
    case 1: tio->c_cflag |= PARENB | PARODD; break;
    case 2: tio->c_cflag = (tio->c_cflag | PARENB) & ~static_cast<tcflag_t>(PARODD); break;
    default: return SERIAL_EIO;  // mark/space: not offered by plain termios
    }

    if (stop_bits == 1) {
        tio->c_cflag &= ~static_cast<tcflag_t>(CSTOPB);
    } else if (stop_bits == 2) {
        tio->c_cflag |= CSTOPB;
    } else {
        return SERIAL_EINVAL;
    }
    return SERIAL_OK;
}

void release(int fd)
{
    // Clear the exclusive flag first: it belongs to the tty, not to this
    // descriptor, and would otherwise outlive us while anyone else (a
    // pseudo-terminal's owner, say) keeps the device open.
    ioctl(fd, TIOCNXCL);
    close(fd);
}

int slot_fd(const char* name)
{
    int n = port_number_from_name(name);
    return n < 0 ? -1 : port_table[static_cast<size_t>(n)];
}

}  // namespace

serial_handle serial_get_handle(const char* name)
{
    int fd = slot_fd(name);
    return fd < 0 ? SERIAL_INVALID_HANDLE : fd;
}

int32_t serial_open(const char* name, uint32_t baud, uint8_t data_bits, uint8_t parity,
                    uint8_t stop_bits, uint32_t timeout_ms)
{
    int n = port_number_from_name(name);
    if (n < 0) return SERIAL_EINVAL;
    char path[4096];
    if (!build_path(name, path, sizeof path)) return SERIAL_EIO;

    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return SERIAL_EIO;
    // Exclusive use, as Windows gives with share mode 0: the lock keeps out
    // other programs that lock too (and this process's own second open),
    // TIOCEXCL keeps out every non-root opener.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 || ioctl(fd, TIOCEXCL) != 0) {
        close(fd);
        return SERIAL_EIO;
    }
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) {
        release(fd);
        return SERIAL_EIO;
    }
    int32_t result = configure(&tio, baud, data_bits, parity, stop_bits);
    if (result == SERIAL_OK && tcsetattr(fd, TCSANOW, &tio) != 0) result = SERIAL_EIO;
    if (result != SERIAL_OK) {
        release(fd);
        return result;
    }

    port_table[static_cast<size_t>(n)] = fd;
    if (serial_set_timeout(name, timeout_ms) != SERIAL_OK) {
        release(fd);
        port_table[static_cast<size_t>(n)] = -1;
        return SERIAL_EIO;
    }
    return SERIAL_OK;
}

int32_t serial_close(const char* name)
{
    int n = port_number_from_name(name);
    if (n < 0) return SERIAL_EINVAL;
    int fd = port_table[static_cast<size_t>(n)];
    if (fd >= 0) release(fd);
    port_table[static_cast<size_t>(n)] = -1;
    return SERIAL_OK;
}

int32_t serial_set_timeout(const char* name, uint32_t timeout_ms)
{
    if (port_number_from_name(name) < 0) return SERIAL_EINVAL;
    // The time-out lives in the driver, not the tty; check only that the
    // slot holds a live terminal, as SetCommTimeouts would.
    termios tio{};
    int fd = slot_fd(name);
    if (fd < 0 || tcgetattr(fd, &tio) != 0) return SERIAL_EIO;
    serial_current_timeout = timeout_ms;
    return SERIAL_OK;
}

int32_t serial_read(const char* name, void* buffer, uint32_t count)
{
    if (port_number_from_name(name) < 0) return SERIAL_EINVAL;
    int fd = slot_fd(name);
    if (fd < 0) return SERIAL_EIO;
    auto* p = static_cast<unsigned char*>(buffer);
    uint32_t done = 0;
    int64_t deadline = now_ms() + serial_current_timeout;
    while (done < count) {
        if (!wait_ready(fd, POLLIN, deadline)) return SERIAL_EIO;
        ssize_t got = read(fd, p + done, count - done);
        if (got > 0) {
            done += static_cast<uint32_t>(got);
        } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
            return SERIAL_EIO;  // hang-up or device gone
        }
    }
    return SERIAL_OK;
}

int32_t serial_write(const char* name, const void* bytes, uint32_t count)
{
    if (port_number_from_name(name) < 0) return SERIAL_EINVAL;
    int fd = slot_fd(name);
    if (fd < 0) return SERIAL_EIO;
    const auto* p = static_cast<const unsigned char*>(bytes);
    uint32_t done = 0;
    int64_t deadline = now_ms() + serial_current_timeout;
    while (done < count) {
        ssize_t put = write(fd, p + done, count - done);
        if (put > 0) {
            done += static_cast<uint32_t>(put);
            continue;
        }
        bool retry = put == 0 || errno == EAGAIN || errno == EINTR;
        if (!retry || !wait_ready(fd, POLLOUT, deadline)) return SERIAL_EIO;
    }
    return SERIAL_OK;
}

int32_t serial_set_dtr(const char* name, bool on)
{
    if (port_number_from_name(name) < 0) return SERIAL_EINVAL;
    int fd = slot_fd(name);
    if (fd < 0) return SERIAL_EIO;
    int bits = TIOCM_DTR;
    return ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bits) == 0 ? SERIAL_OK : SERIAL_EIO;
}
