// Win32 serial backend: the Communications API on \\.\COMn, synchronous
// (not overlapped) handles, total time-outs through COMMTIMEOUTS. Windows
// keeps a port's DCB and time-outs for the next program that opens it, so
// both are saved at open and put back at close.
#include "platform/platform.h"
#include "serial_backend.h"

#include <cstdio>
#include <mutex>
#include <windows.h>

namespace {

// A quiet port is looked for at most this often (com_read).
constexpr uint64_t PRESENCE_CHECK_MS = 500;
// Reads with a shorter time-out are a busy loop's (tagterm passing a
// program's upload on): they are not held up by the look, which may take
// milliseconds (under Wine a listing of the ports), and such a loop writes
// to the port too, which finds it gone.
constexpr uint32_t PRESENCE_READ_MIN_MS = 10;

// Per slot: 0 never opened, a handle while open, the invalid-handle value
// once closed; the settings found at open; the name it was opened by and
// when a quiet read next looks whether it is still there; the time-out set
// for its reads and writes (com_set_timeout) and the read time-out in the
// port now, which a read of its own time-out changed when they differ.
struct port_slot {
    HANDLE handle;
    bool have_saved;
    DCB saved_dcb;
    COMMTIMEOUTS saved_timeouts;
    char name[16];
    uint64_t next_presence_check;
    uint32_t set_ms, read_ms;
};
port_slot port_table[SERIAL_SLOTS];

// What an error of CreateFileW or of a Comm call means to the user. A COM
// port that another program has open answers access denied (or, through
// some drivers, a sharing violation), not "busy".
serial_fault fault_of(DWORD error)
{
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: return SERIAL_FAULT_MISSING;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION: return SERIAL_FAULT_IN_USE;
    case ERROR_GEN_FAILURE:
    case ERROR_SEM_TIMEOUT:
    case ERROR_INVALID_FUNCTION:
    case ERROR_NOT_READY: return SERIAL_FAULT_NOT_SERIAL;
    default: return SERIAL_FAULT_OTHER;
    }
}

// Notes a failure with the system's own text for `error`.
int32_t fail(serial_fault fault, const char* call, DWORD error)
{
    char text[160] = "";
    DWORD n = error == 0 ? 0
                         : FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                          nullptr, error, 0, text, sizeof text, nullptr);
    // The system's text ends in ".\r\n"; a code it has no text for gets its number.
    while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == '.')) --n;
    text[n] = '\0';
    if (n == 0 && error != 0) snprintf(text, sizeof text, "error %lu", error);
    return serial_fail(fault, call, static_cast<long>(error), text);
}

int32_t fail_with_last_error(const char* call)
{
    DWORD error = GetLastError();
    return fail(fault_of(error), call, error);
}

// Closes a handle that failed during open, keeping the open's reason.
int32_t abandon(HANDLE h, int32_t result)
{
    CloseHandle(h);
    return result;
}

int32_t com_open(size_t slot, const char* name, const serial_line& line)
{
    // "\\.\" + the name exactly as given (COM07 stays COM07), each 8-bit
    // character widened with its sign; a valid name is at most 5 characters.
    wchar_t port_str[20] = L"\\\\.\\";
    for (int i = 0; i < 15 && name[i] != '\0'; ++i) port_str[4 + i] = static_cast<wchar_t>(name[i]);

    HANDLE h = CreateFileW(port_str, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE) return fail_with_last_error("open");
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    // A device that is no serial port (a printer port, a pipe) fails here.
    if (!GetCommState(h, &dcb)) {
        return abandon(h, fail(SERIAL_FAULT_NOT_SERIAL, "GetCommState", GetLastError()));
    }
    port_slot& p = port_table[slot];
    p.saved_dcb = dcb;
    p.have_saved = GetCommTimeouts(h, &p.saved_timeouts) != 0;
    dcb.BaudRate = line.baud;
    dcb.ByteSize = line.data_bits;
    dcb.Parity = line.parity;
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.StopBits = line.stop_bits == 2 ? TWOSTOPBITS : ONESTOPBIT;
    if (!SetCommState(h, &dcb)) {
        return abandon(h, fail(SERIAL_FAULT_SETTINGS, "SetCommState", GetLastError()));
    }
    p.handle = h;
    snprintf(p.name, sizeof p.name, "%s", name);
    p.next_presence_check = 0;
    return SERIAL_OK;
}

// Total time-outs only: a read waits up to `read_ms` for its whole count.
int32_t apply_timeouts(port_slot& p, uint32_t read_ms, uint32_t write_ms)
{
    COMMTIMEOUTS Timeouts{};
    Timeouts.ReadIntervalTimeout = 0;
    Timeouts.ReadTotalTimeoutMultiplier = 0;
    Timeouts.ReadTotalTimeoutConstant = read_ms;
    Timeouts.WriteTotalTimeoutMultiplier = 0;
    Timeouts.WriteTotalTimeoutConstant = write_ms;
    if (!SetCommTimeouts(p.handle, &Timeouts)) return fail_with_last_error("SetCommTimeouts");
    p.read_ms = read_ms;
    return SERIAL_OK;
}

int32_t com_set_timeout(size_t slot, uint32_t timeout_ms)
{
    port_slot& p = port_table[slot];
    int32_t result = apply_timeouts(p, timeout_ms, timeout_ms);
    if (result == SERIAL_OK) p.set_ms = timeout_ms;
    return result;
}

// `read_ms` as the port's read time-out, the write time-out as it was set,
// when the port has another one now.
int32_t use_read_timeout(port_slot& p, uint32_t read_ms)
{
    return p.read_ms == read_ms ? SERIAL_OK : apply_timeouts(p, read_ms, p.set_ms);
}

// Whether `listed` (`count` ports) has the COM port numbered like `name`.
bool in_list(const serial_port_info* listed, size_t count, const char* name)
{
    for (size_t i = 0; i < count; ++i) {
        if (port_number_from_name(listed[i].name) == port_number_from_name(name)) return true;
    }
    return false;
}

// Whether the system has the COM port numbered like `name`: a device name,
// or a place in the port list (Wine's links in its prefix, which have no
// device name). Listing takes some ms under Wine, so a quiet read's look
// (`fresh` false) may find the port in a list up to half its interval old:
// one listing serves every port a program reads at once. A port missing
// from it is looked for in a new one.
bool com_present(const char* name, bool fresh)
{
    char device[16], target[512];
    snprintf(device, sizeof device, "COM%d", port_number_from_name(name));
    if (QueryDosDeviceA(device, target, sizeof target) != 0) return true;
    static std::mutex lock;
    static serial_port_info listed[SERIAL_MAX_PORT];
    static size_t count = 0;
    static uint64_t listed_at = 0;
    std::lock_guard<std::mutex> hold(lock);
    uint64_t now = platform_now_ms();
    bool young = listed_at != 0 && now - listed_at < PRESENCE_CHECK_MS / 2;
    if (!fresh && young && in_list(listed, count, name)) return true;
    count = os_list_ports(listed, SERIAL_MAX_PORT, false);
    listed_at = now;
    return in_list(listed, count, name);
}

bool com_exists(const char* name) { return com_present(name, true); }

// A port that has gone away can read as a quiet line: under Wine a COM
// port on a pseudo-terminal whose other side has closed reads nothing and
// no error, and some USB adapters' drivers do the same once the adapter is
// pulled, until the handle is closed. So a read that brought nothing looks,
// at most every PRESENCE_CHECK_MS, whether the port is still there: its
// handle still answers for the line (Wine's then says "not ready"), and the
// system still has its name. A time-out otherwise.
int32_t quiet_read(port_slot& p)
{
    uint64_t now = platform_now_ms();
    if (now >= p.next_presence_check) {
        p.next_presence_check = now + PRESENCE_CHECK_MS;
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        if (!GetCommState(p.handle, &dcb)) return fail_with_last_error("read");
        if (!com_present(p.name, false)) return fail(SERIAL_FAULT_MISSING, "read", ERROR_FILE_NOT_FOUND);
    }
    return fail(SERIAL_FAULT_TIMEOUT, "read", 0);
}

// A read with the time-out in the port; `timeout_ms` says whether it is a
// busy loop's.
int32_t read_exactly(port_slot& p, void* buffer, uint32_t count, uint32_t timeout_ms)
{
    DWORD nBytesRead = 0;
    // A time-out is not a failure to ReadFile: it succeeds with fewer bytes.
    // Both the call's result and the count decide.
    if (!ReadFile(p.handle, buffer, count, &nBytesRead, nullptr)) {
        return fail_with_last_error("read");
    }
    if (nBytesRead == count) return SERIAL_OK;
    return nBytesRead == 0 && timeout_ms >= PRESENCE_READ_MIN_MS ? quiet_read(p)
                                                                 : fail(SERIAL_FAULT_TIMEOUT, "read", 0);
}

// The time-out set last is in the port (com_set_timeout), or is put back
// after a read of its own time-out.
int32_t com_read(size_t slot, void* buffer, uint32_t count, uint32_t timeout_ms)
{
    port_slot& p = port_table[slot];
    int32_t result = use_read_timeout(p, p.set_ms);
    return result != SERIAL_OK ? result : read_exactly(p, buffer, count, timeout_ms);
}

int32_t com_read_within(size_t slot, void* buffer, uint32_t count, uint32_t timeout_ms)
{
    port_slot& p = port_table[slot];
    int32_t result = use_read_timeout(p, timeout_ms);
    return result != SERIAL_OK ? result : read_exactly(p, buffer, count, timeout_ms);
}

// The first byte within `first_ms`, then what the port holds already,
// which a read takes without waiting.
int32_t com_read_some(size_t slot, void* buffer, uint32_t max, uint32_t first_ms, uint32_t* got)
{
    int32_t result = com_read_within(slot, buffer, 1, first_ms);
    if (result != SERIAL_OK) return result;
    *got = 1;
    port_slot& p = port_table[slot];
    DWORD errors = 0;
    COMSTAT status{};
    if (max == 1 || !ClearCommError(p.handle, &errors, &status) || status.cbInQue == 0) {
        return SERIAL_OK;
    }
    DWORD more = status.cbInQue < max - 1 ? status.cbInQue : max - 1;
    DWORD n = 0;
    if (!ReadFile(p.handle, static_cast<uint8_t*>(buffer) + 1, more, &n, nullptr)) {
        return fail_with_last_error("read");
    }
    *got += n;
    return SERIAL_OK;
}

int32_t com_write(size_t slot, const void* bytes, uint32_t count, uint32_t)
{
    DWORD nBytesWritten = 0;
    if (!WriteFile(port_table[slot].handle, bytes, count, &nBytesWritten, nullptr)) {
        return fail_with_last_error("write");
    }
    return nBytesWritten == count ? SERIAL_OK : fail(SERIAL_FAULT_TIMEOUT, "write", 0);
}

int32_t com_set_dtr(size_t slot, bool on)
{
    HANDLE h = port_table[slot].handle;
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(h, &dcb)) return fail_with_last_error("GetCommState");
    dcb.fDtrControl = on ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    if (!SetCommState(h, &dcb)) return fail_with_last_error("SetCommState");
    return SERIAL_OK;
}

serial_handle com_handle(size_t slot) { return reinterpret_cast<serial_handle>(port_table[slot].handle); }

// The settings found at open go back first, then the handle is closed. The
// slot then holds the invalid-handle value, never the old handle: Windows
// reuses handle values, and a stale one could reach whatever the process
// opened next. A slot never opened (0) or closed already is only marked.
void com_close(size_t slot)
{
    port_slot& p = port_table[slot];
    if (p.handle != nullptr && p.handle != INVALID_HANDLE_VALUE) {
        SetCommState(p.handle, &p.saved_dcb);
        if (p.have_saved) SetCommTimeouts(p.handle, &p.saved_timeouts);
        CloseHandle(p.handle);
    }
    p.handle = INVALID_HANDLE_VALUE;
    p.have_saved = false;
}

// Windows opens a COM port for one program at a time: no one else can hold
// it while this program has it.
void com_find_holders(const char*, char*, size_t) {}

// COM7 and COM07 are one port; Windows names ports by number only.
void com_identify(const char* name, serial_port_identity* id)
{
    serial_add_identity_key(id, "COM%d", port_number_from_name(name));
}

}  // namespace

const serial_backend serial_os_backend = {
    com_open,           com_set_timeout,     com_read,         com_read_within, com_read_some,
    com_write,          com_set_dtr,         com_handle,       com_close,  local_quiet_window,
    nothing_to_describe, com_find_holders,   com_identify,     com_exists, false,
};
