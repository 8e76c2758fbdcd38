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
#include "platform/platform.h"
#include "port_dir_posix.h"
#include "serial_backend.h"
#include "tty_linux.h"

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
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

// The state of each slot's tty. An unused slot holds fd -1: unlike a
// zeroed table, it can never name descriptor 0 (standard input).
// `exclusive` says whether this process set the tty's exclusive flag (which
// belongs to the tty, not the descriptor, and so outlives a close unless
// cleared); `saved` holds the line settings found at open, put back at
// release.
struct port_slot {
    int fd;
    bool exclusive;
    bool have_saved;
    termios saved;
};
std::array<port_slot, SERIAL_SLOTS> port_table = [] {
    std::array<port_slot, SERIAL_SLOTS> table{};
    for (port_slot& slot : table) slot.fd = -1;
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

// Waits until fd is ready for `events` or the deadline passes. SERIAL_OK when
// ready (or when the line reports a hang-up or error, which the next read or
// write call then turns into a failure instead of waiting out the time-out).
// Waits in slices, to see the driver's stop.
int32_t wait_ready(int fd, short events, uint64_t deadline, const char* call)
{
    for (;;) {
        if (serial_stopped()) return fail(SERIAL_FAULT_STOPPED, call, 0);
        uint64_t now = platform_now_ms();
        if (now >= deadline) return fail(SERIAL_FAULT_TIMEOUT, call, 0);
        uint64_t left = deadline - now;
        pollfd p{fd, events, 0};
        int n = poll(&p, 1, static_cast<int>(left < SERIAL_STOP_CHECK_MS ? left : SERIAL_STOP_CHECK_MS));
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
    const char* dir = port_dir();
    int n = dir != nullptr
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
int32_t configure(termios* tio, const serial_line& line)
{
    speed_t speed = B0;
    if (!speed_for_baud(line.baud, &speed)) return fail(SERIAL_FAULT_SETTINGS, "baud rate", 0);
    tio->c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                           ICRNL | IXON | IXOFF | IXANY | INPCK);
    tio->c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tio->c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tio->c_cflag |= CREAD | CLOCAL;
    // This program reads without blocking, so these matter only to another
    // program that also has the tty open: with VMIN 0 its blocking read
    // would return 0 on a quiet line, which `cat` takes for the end and
    // exits, gone before a failed run can name it as the one that took the
    // replies.
    tio->c_cc[VMIN] = 1;
    tio->c_cc[VTIME] = 0;
    if (cfsetispeed(tio, speed) != 0 || cfsetospeed(tio, speed) != 0) {
        return fail(SERIAL_FAULT_SETTINGS, "baud rate", errno);
    }

    static const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    if (line.data_bits < 5 || line.data_bits > 8) {
        return fail(SERIAL_FAULT_SETTINGS, "data bits", 0);
    }
    tio->c_cflag = (tio->c_cflag & ~static_cast<tcflag_t>(CSIZE)) | sizes[line.data_bits - 5];

    switch (line.parity) {
    case 0: tio->c_cflag &= ~static_cast<tcflag_t>(PARENB | PARODD); break;
    case 1: tio->c_cflag |= PARENB | PARODD; break;
    case 2: tio->c_cflag = (tio->c_cflag | PARENB) & ~static_cast<tcflag_t>(PARODD); break;
    default: return fail(SERIAL_FAULT_SETTINGS, "parity", 0);  // mark/space
    }

    if (line.stop_bits == 2) {
        tio->c_cflag |= CSTOPB;
    } else {
        tio->c_cflag &= ~static_cast<tcflag_t>(CSTOPB);
    }
    return SERIAL_OK;
}

// A device node with no port behind it, found without opening it: a ttyS
// node (reached directly or through a link) whose UART the kernel did not
// find. Opening one only fails later, as if the port were broken.
bool no_port_behind(const char* path)
{
    char* device = realpath(path, nullptr);
    if (device == nullptr) return false;
    const char* base = strrchr(device, '/');
    bool missing = base != nullptr && uart_missing(base + 1);
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
    } else if (held_exclusively(fd) && !flag_left_behind(path)) {
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

int32_t tty_open(size_t index, const char* name, const serial_line& line)
{
    port_slot& slot = port_table[index];
    char path[4096];
    if (!build_path(name, path, sizeof path)) return fail(SERIAL_FAULT_NAME, "open", 0);
    int32_t result = take_port(path, slot);
    if (result != SERIAL_OK) return result;
    termios tio = slot.saved;
    result = configure(&tio, line);
    if (result == SERIAL_OK && tcsetattr(slot.fd, TCSANOW, &tio) != 0) {
        result = fail(SERIAL_FAULT_SETTINGS, "tcsetattr", errno);
    }
    if (result != SERIAL_OK) release(slot);
    return result;
}

// The time-out lives in the driver, not the tty; check only that the slot
// holds a live terminal, as SetCommTimeouts would.
int32_t tty_set_timeout(size_t index, uint32_t)
{
    termios tio{};
    if (tcgetattr(port_table[index].fd, &tio) != 0) {
        return fail(SERIAL_FAULT_NOT_SERIAL, "tcgetattr", errno);
    }
    return SERIAL_OK;
}

// Waits until `deadline` for bytes and takes what has come, 1 to `max`,
// into `into`: how many into *got.
int32_t take_arrived(int fd, unsigned char* into, uint32_t max, uint64_t deadline, uint32_t* got)
{
    for (;;) {
        int32_t result = wait_ready(fd, POLLIN, deadline, "read");
        if (result != SERIAL_OK) return result;
        ssize_t n = read(fd, into, max);
        if (n > 0) {
            *got = static_cast<uint32_t>(n);
            return SERIAL_OK;
        }
        if (n == 0) return fail(SERIAL_FAULT_NOT_SERIAL, "read", EIO);  // hang-up
        if (errno != EAGAIN && errno != EINTR) {
            return fail(SERIAL_FAULT_NOT_SERIAL, "read", errno);  // device gone
        }
    }
}

// The time-out is each call's own here: serial_read_within reads as
// serial_read does.
int32_t tty_read(size_t index, void* buffer, uint32_t count, uint32_t timeout_ms)
{
    auto* p = static_cast<unsigned char*>(buffer);
    uint32_t done = 0;
    uint64_t deadline = platform_now_ms() + timeout_ms;
    while (done < count) {
        uint32_t got = 0;
        int32_t result = take_arrived(port_table[index].fd, p + done, count - done, deadline, &got);
        if (result != SERIAL_OK) return result;
        done += got;
    }
    return SERIAL_OK;
}

int32_t tty_read_some(size_t index, void* buffer, uint32_t max, uint32_t first_ms, uint32_t* got)
{
    return take_arrived(port_table[index].fd, static_cast<unsigned char*>(buffer), max,
                        platform_now_ms() + first_ms, got);
}

int32_t tty_write(size_t index, const void* bytes, uint32_t count, uint32_t timeout_ms)
{
    int fd = port_table[index].fd;
    const auto* p = static_cast<const unsigned char*>(bytes);
    uint32_t done = 0;
    uint64_t deadline = platform_now_ms() + timeout_ms;
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

int32_t tty_set_dtr(size_t index, bool on)
{
    int bits = TIOCM_DTR;
    if (ioctl(port_table[index].fd, on ? TIOCMBIS : TIOCMBIC, &bits) != 0) {
        return fail(SERIAL_FAULT_OTHER, "set DTR", errno);
    }
    return SERIAL_OK;
}

serial_handle tty_handle(size_t index) { return port_table[index].fd; }

void tty_close(size_t index) { release(port_table[index]); }

// The device file, after links: one port however it is reached.
void tty_identify(const char* name, serial_port_identity* id)
{
    char path[4096];
    if (!build_path(name, path, sizeof path)) return;
    struct stat st {};
    if (stat(path, &st) == 0) {
        serial_add_identity_key(id, "file %lu:%lu", static_cast<unsigned long>(st.st_dev),
                                static_cast<unsigned long>(st.st_ino));
    } else {
        serial_add_identity_key(id, "path %s", path);
    }
}

bool tty_exists(const char* name)
{
    char path[4096];
    struct stat st {};
    return build_path(name, path, sizeof path) && stat(path, &st) == 0 && !no_port_behind(path);
}

void tty_find_holders(const char* name, char* text, size_t size)
{
    char path[4096];
    char* device = build_path(name, path, sizeof path) ? realpath(path, nullptr) : nullptr;
    if (device == nullptr) return;
    find_tty_holders(device, text, size);
    free(device);
}

}  // namespace

const serial_backend serial_os_backend = {
    tty_open,           tty_set_timeout,     tty_read,         tty_read,  tty_read_some,
    tty_write,          tty_set_dtr,         tty_handle,       tty_close, local_quiet_window,
    nothing_to_describe, tty_find_holders,   tty_identify,     tty_exists, true,
};
