// POSIX serial backend (Linux, macOS): termios on a tty device, with the same
// behaviour as the Win32 backend.
//
// Port names are the Windows ones. With FLASHTAG_PORT_DIR set, "COM7" opens
// $FLASHTAG_PORT_DIR/COM7 (usually a symlink to /dev/ttyUSB0 or a
// pseudo-terminal); without it, COMn opens /dev/ttyS<n-1>. A device path
// ("/dev/ttyUSB0") opens that device.
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
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

// One slot per port number. An unused slot holds fd -1: unlike a zeroed
// table, it can never name descriptor 0 (standard input). `exclusive` says
// whether this process set the tty's exclusive flag (which belongs to the
// tty, not the descriptor, and so outlives a close unless cleared); `saved`
// holds the line settings found at open, put back at release.
struct port_slot {
    int fd;
    bool exclusive;
    bool have_saved;
    termios saved;
};
std::array<port_slot, SERIAL_MAX_PORT + 1> port_table = [] {
    std::array<port_slot, SERIAL_MAX_PORT + 1> table{};
    for (port_slot& slot : table) slot.fd = -1;
    return table;
}();

// Ports named by device path get slots of their own, by name; a program
// talks to one tag at a time, so a few are plenty.
constexpr size_t PATH_SLOTS = 8;
struct path_slot {
    char name[SERIAL_MAX_PATH + 1];
    port_slot port;
};
std::array<path_slot, PATH_SLOTS> path_table = [] {
    std::array<path_slot, PATH_SLOTS> table{};
    for (path_slot& slot : table) slot.port.fd = -1;
    return table;
}();

// Notes a failure with errno's text. A port the user may not open gets the
// usual remedy on Linux, where serial devices belong to the dialout group.
int32_t fail(serial_fault fault, const char* call, int error)
{
    char text[160];
    const char* hint = "";
#ifdef __linux__
    if (fault == SERIAL_FAULT_PERMISSION) hint = "; membership of the dialout group is the usual fix";
#endif
    snprintf(text, sizeof text, "%s%s", error != 0 ? strerror(error) : "", hint);
    return serial_fail(fault, call, error, text);
}

int64_t now_ms()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Waits until fd is ready for `events` or the deadline passes. SERIAL_OK when
// ready (or when the line reports a hang-up or error, which the next read or
// write call then turns into a failure instead of waiting out the time-out).
int32_t wait_ready(int fd, short events, int64_t deadline, const char* call)
{
    for (;;) {
        int64_t left = deadline - now_ms();
        if (left <= 0) return fail(SERIAL_FAULT_TIMEOUT, call, 0);
        pollfd p{fd, events, 0};
        int n = poll(&p, 1, static_cast<int>(left));
        if (n > 0) return SERIAL_OK;
        if (n < 0 && errno != EINTR) return fail(SERIAL_FAULT_OTHER, "poll", errno);
    }
}

// What an error of open(2) means to the user.
serial_fault open_fault(int error)
{
    switch (error) {
    case ENOENT:
    case ENODEV:
    case ENXIO: return SERIAL_FAULT_MISSING;
    case EBUSY: return SERIAL_FAULT_IN_USE;  // another program's exclusive flag
    case EACCES:
    case EPERM: return SERIAL_FAULT_PERMISSION;
    case EIO: return SERIAL_FAULT_NOT_SERIAL;
    default: return SERIAL_FAULT_OTHER;
    }
}

// Another program has set the tty's exclusive flag. Only root can open such
// a tty at all, and must not take it; where the flag cannot be read (macOS)
// the open's EBUSY is the only sign.
bool held_exclusively(int fd)
{
#ifdef TIOCGEXCL
    int excl = 0;
    return ioctl(fd, TIOCGEXCL, &excl) == 0 && excl != 0;
#else
    (void)fd;
    return false;
#endif
}

// Gives the port back as it was found: line settings, exclusive flag (only
// when this process set it), then the descriptor, which drops the lock.
// Only async-signal-safe calls: this also runs from the interrupt handler.
void release(port_slot& slot)
{
    if (slot.fd < 0) return;
    if (slot.have_saved) tcsetattr(slot.fd, TCSANOW, &slot.saved);
    if (slot.exclusive) ioctl(slot.fd, TIOCNXCL);
    close(slot.fd);
    slot = port_slot{-1, false, false, termios{}};
}

bool build_path(const char* name, char* path, size_t size)
{
    if (serial_is_device_path(name)) return snprintf(path, size, "%s", name) > 0;
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
    if (!speed_for_baud(baud, &speed)) return fail(SERIAL_FAULT_SETTINGS, "baud rate", 0);
    tio->c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                           ICRNL | IXON | IXOFF | IXANY | INPCK);
    tio->c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tio->c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tio->c_cflag |= CREAD | CLOCAL;
    tio->c_cc[VMIN] = 0;
    tio->c_cc[VTIME] = 0;
    if (cfsetispeed(tio, speed) != 0 || cfsetospeed(tio, speed) != 0) {
        return fail(SERIAL_FAULT_SETTINGS, "baud rate", errno);
    }

    static const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    if (data_bits < 5 || data_bits > 8) return fail(SERIAL_FAULT_SETTINGS, "data bits", 0);
    tio->c_cflag = (tio->c_cflag & ~static_cast<tcflag_t>(CSIZE)) | sizes[data_bits - 5];

    switch (parity) {
    case 0: tio->c_cflag &= ~static_cast<tcflag_t>(PARENB | PARODD); break;
    case 1: tio->c_cflag |= PARENB | PARODD; break;
    case 2: tio->c_cflag = (tio->c_cflag | PARENB) & ~static_cast<tcflag_t>(PARODD); break;
    default: return fail(SERIAL_FAULT_SETTINGS, "parity", 0);  // mark/space
    }

    if (stop_bits == 1) {
        tio->c_cflag &= ~static_cast<tcflag_t>(CSTOPB);
    } else if (stop_bits == 2) {
        tio->c_cflag |= CSTOPB;
    } else {
        fail(SERIAL_FAULT_SETTINGS, "stop bits", 0);
        return SERIAL_EINVAL;
    }
    return SERIAL_OK;
}

bool is_port_name(const char* name)
{
    return port_number_from_name(name) >= 0 || serial_is_device_path(name);
}

// The slot of a port name; null for a bad name and for a path never opened.
port_slot* find_slot(const char* name)
{
    int n = port_number_from_name(name);
    if (n >= 0) return &port_table[static_cast<size_t>(n)];
    if (!serial_is_device_path(name)) return nullptr;
    for (path_slot& slot : path_table) {
        if (strcmp(slot.name, name) == 0) return &slot.port;
    }
    return nullptr;
}

// The slot to open a port in: its own, or a free one for a new path.
port_slot* claim_slot(const char* name)
{
    port_slot* slot = find_slot(name);
    if (slot != nullptr || !serial_is_device_path(name)) return slot;
    for (path_slot& free_slot : path_table) {
        if (free_slot.port.fd < 0) {
            snprintf(free_slot.name, sizeof free_slot.name, "%s", name);
            return &free_slot.port;
        }
    }
    return nullptr;
}

// The open descriptor of a port, or -1 (with the failure noted) when the
// slot holds none.
int open_fd(const char* name, const char* call)
{
    const port_slot* slot = find_slot(name);
    if (slot == nullptr || slot->fd < 0) fail(SERIAL_FAULT_OTHER, call, EBADF);
    return slot == nullptr ? -1 : slot->fd;
}

// A device node with no port behind it, found without opening it: a ttyS
// node (reached directly or through a link) whose UART the kernel did not
// find. Opening one only fails later, as if the port were broken.
bool no_port_behind(const char* path)
{
    char* device = realpath(path, nullptr);
    if (device == nullptr) return false;
    const char* base = strrchr(device, '/');
    bool missing = base != nullptr && serial_uart_missing(base + 1);
    free(device);
    return missing;
}

// Takes the port at `path` for this process alone, into `slot`.
int32_t take_port(const char* path, port_slot& slot)
{
    if (no_port_behind(path)) return fail(SERIAL_FAULT_MISSING, "open", ENODEV);
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return fail(open_fault(errno), "open", errno);
    slot.fd = fd;
    // Exclusive use, as Windows gives with share mode 0: the lock keeps out
    // other programs that lock too (and this process's own second open), the
    // tty's exclusive flag keeps out every other opener but root, so root
    // checks it first and leaves a port alone that another program holds.
    // Each step is marked in the slot as soon as it is done, so that a
    // release (an interrupt's too) undoes exactly what was done.
    int32_t result = SERIAL_OK;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        serial_fault fault = errno == EWOULDBLOCK ? SERIAL_FAULT_IN_USE : SERIAL_FAULT_OTHER;
        result = fail(fault, "open", errno);
    } else if (held_exclusively(fd)) {
        result = fail(SERIAL_FAULT_IN_USE, "open", EBUSY);
    } else if (tcgetattr(fd, &slot.saved) != 0) {
        result = fail(SERIAL_FAULT_NOT_SERIAL, "tcgetattr", errno);
    } else {
        slot.have_saved = true;
        if (ioctl(fd, TIOCEXCL) != 0) {
            result = fail(SERIAL_FAULT_NOT_SERIAL, "open", errno);
        } else {
            slot.exclusive = true;
        }
    }
    if (result != SERIAL_OK) release(slot);
    return result;
}

}  // namespace

serial_handle serial_get_handle(const char* name)
{
    const port_slot* slot = find_slot(name);
    return slot == nullptr || slot->fd < 0 ? SERIAL_INVALID_HANDLE : slot->fd;
}

int32_t serial_open(const char* name, uint32_t baud, uint8_t data_bits, uint8_t parity,
                    uint8_t stop_bits, uint32_t timeout_ms)
{
    if (!is_port_name(name)) return fail(SERIAL_FAULT_NAME, "open", 0);
    port_slot* slot = claim_slot(name);
    if (slot == nullptr) return fail(SERIAL_FAULT_OTHER, "open", EMFILE);
    char path[4096];
    if (!build_path(name, path, sizeof path)) return fail(SERIAL_FAULT_NAME, "open", 0);
    // A port this process holds already is refused as Windows refuses a
    // second exclusive CreateFile, and its slot stays as it is.
    if (slot->fd >= 0) return fail(SERIAL_FAULT_IN_USE, "open", EBUSY);
    int32_t result = take_port(path, *slot);
    if (result != SERIAL_OK) return result;

    termios tio = slot->saved;
    result = configure(&tio, baud, data_bits, parity, stop_bits);
    if (result == SERIAL_OK && tcsetattr(slot->fd, TCSANOW, &tio) != 0) {
        result = fail(SERIAL_FAULT_SETTINGS, "tcsetattr", errno);
    }
    if (result == SERIAL_OK && serial_set_timeout(name, timeout_ms) != SERIAL_OK) {
        result = SERIAL_EIO;
    }
    if (result != SERIAL_OK) release(*slot);
    return result;
}

int32_t serial_close(const char* name)
{
    if (!is_port_name(name)) return SERIAL_EINVAL;
    port_slot* slot = find_slot(name);
    if (slot != nullptr) release(*slot);
    return SERIAL_OK;
}

void serial_release_all()
{
    for (port_slot& slot : port_table) release(slot);
    for (path_slot& slot : path_table) release(slot.port);
}

bool serial_takes_device_paths() { return true; }

int32_t serial_set_timeout(const char* name, uint32_t timeout_ms)
{
    if (!is_port_name(name)) return SERIAL_EINVAL;
    // The time-out lives in the driver, not the tty; check only that the
    // slot holds a live terminal, as SetCommTimeouts would.
    termios tio{};
    int fd = open_fd(name, "set time-out");
    if (fd < 0) return SERIAL_EIO;
    if (tcgetattr(fd, &tio) != 0) return fail(SERIAL_FAULT_NOT_SERIAL, "tcgetattr", errno);
    serial_current_timeout = timeout_ms;
    return SERIAL_OK;
}

int32_t serial_read(const char* name, void* buffer, uint32_t count)
{
    if (!is_port_name(name)) return SERIAL_EINVAL;
    int fd = open_fd(name, "read");
    if (fd < 0) return SERIAL_EIO;
    auto* p = static_cast<unsigned char*>(buffer);
    uint32_t done = 0;
    int64_t deadline = now_ms() + serial_current_timeout;
    while (done < count) {
        int32_t result = wait_ready(fd, POLLIN, deadline, "read");
        if (result != SERIAL_OK) return result;
        ssize_t got = read(fd, p + done, count - done);
        if (got > 0) {
            done += static_cast<uint32_t>(got);
        } else if (got == 0) {
            return fail(SERIAL_FAULT_NOT_SERIAL, "read", EIO);  // hang-up
        } else if (errno != EAGAIN && errno != EINTR) {
            return fail(SERIAL_FAULT_NOT_SERIAL, "read", errno);  // device gone
        }
    }
    return SERIAL_OK;
}

int32_t serial_write(const char* name, const void* bytes, uint32_t count)
{
    if (!is_port_name(name)) return SERIAL_EINVAL;
    int fd = open_fd(name, "write");
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
        if (put < 0 && errno != EAGAIN && errno != EINTR) {
            return fail(SERIAL_FAULT_NOT_SERIAL, "write", errno);
        }
        int32_t result = wait_ready(fd, POLLOUT, deadline, "write");
        if (result != SERIAL_OK) return result;
    }
    return SERIAL_OK;
}

int32_t serial_set_dtr(const char* name, bool on)
{
    if (!is_port_name(name)) return SERIAL_EINVAL;
    int fd = open_fd(name, "set DTR");
    if (fd < 0) return SERIAL_EIO;
    int bits = TIOCM_DTR;
    if (ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bits) != 0) {
        return fail(SERIAL_FAULT_OTHER, "set DTR", errno);
    }
    return SERIAL_OK;
}
