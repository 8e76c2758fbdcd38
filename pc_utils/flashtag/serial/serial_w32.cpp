// Win32 serial backend: the Communications API on \\.\COMn, synchronous
// (not overlapped) handles, total time-outs through COMMTIMEOUTS.
#include "serial.h"
#include "serial_internal.h"

#include <cstdio>
#include <windows.h>

namespace {

// Slot per port number: 0 never opened, a handle while open, the
// invalid-handle value once closed. Slot 0 is never used.
HANDLE port_table[SERIAL_MAX_PORT + 1];

HANDLE slot(const char* name) { return port_table[port_number_from_name(name)]; }

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

}  // namespace

serial_handle serial_get_handle(const char* name)
{
    if (port_number_from_name(name) < 0) return SERIAL_INVALID_HANDLE;
    return reinterpret_cast<serial_handle>(slot(name));
}

int32_t serial_open(const char* name, uint32_t baud, uint8_t data_bits, uint8_t parity,
                    uint8_t stop_bits, uint32_t timeout_ms)
{
    int n = port_number_from_name(name);
    if (n < 0) return fail(SERIAL_FAULT_NAME, "open", 0);

    // "\\.\" + the name exactly as given (COM07 stays COM07), each 8-bit
    // character widened with its sign; a valid name is at most 5 characters.
    wchar_t port_str[20] = L"\\\\.\\";
    for (int i = 0; name[i] != '\0'; ++i) port_str[4 + i] = static_cast<wchar_t>(name[i]);

    HANDLE h = CreateFileW(port_str, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE) return fail_with_last_error("open");
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    // A device that is no serial port (a printer port, a pipe) fails here.
    if (!GetCommState(h, &dcb)) {
        return abandon(h, fail(SERIAL_FAULT_NOT_SERIAL, "GetCommState", GetLastError()));
    }
    dcb.BaudRate = baud;
    dcb.ByteSize = data_bits;
    dcb.Parity = parity;
    dcb.fOutX = 0;
    dcb.fInX = 0;
    if (stop_bits == 1) {
        dcb.StopBits = ONESTOPBIT;
    } else if (stop_bits == 2) {
        dcb.StopBits = TWOSTOPBITS;
    } else {
        fail(SERIAL_FAULT_SETTINGS, "stop bits", 0);
        return abandon(h, SERIAL_EINVAL);
    }
    if (!SetCommState(h, &dcb)) {
        return abandon(h, fail(SERIAL_FAULT_SETTINGS, "SetCommState", GetLastError()));
    }
    port_table[n] = h;
    if (serial_set_timeout(name, timeout_ms) != SERIAL_OK) {
        CloseHandle(h);
        port_table[n] = INVALID_HANDLE_VALUE;
        return SERIAL_EIO;
    }
    return SERIAL_OK;
}

int32_t serial_close(const char* name)
{
    int n = port_number_from_name(name);
    if (n < 0) return SERIAL_EINVAL;
    CloseHandle(port_table[n]);
    port_table[n] = INVALID_HANDLE_VALUE;
    return SERIAL_OK;
}

bool serial_takes_device_paths() { return false; }

void serial_release_all()
{
    for (HANDLE& h : port_table) {
        if (h != nullptr && h != INVALID_HANDLE_VALUE) CloseHandle(h);
        h = INVALID_HANDLE_VALUE;
    }
}

int32_t serial_set_timeout(const char* name, uint32_t timeout_ms)
{
    if (port_number_from_name(name) < 0) return SERIAL_EINVAL;
    COMMTIMEOUTS Timeouts{};
    Timeouts.ReadIntervalTimeout = 0;
    Timeouts.ReadTotalTimeoutMultiplier = 0;
    Timeouts.ReadTotalTimeoutConstant = timeout_ms;
    Timeouts.WriteTotalTimeoutMultiplier = 0;
    Timeouts.WriteTotalTimeoutConstant = timeout_ms;
    if (!SetCommTimeouts(slot(name), &Timeouts)) return fail_with_last_error("SetCommTimeouts");
    serial_current_timeout = timeout_ms;
    return SERIAL_OK;
}

int32_t serial_read(const char* name, void* buffer, uint32_t count)
{
    if (port_number_from_name(name) < 0) return SERIAL_EINVAL;
    DWORD nBytesRead = 0;
    // A time-out is not a failure to ReadFile: it succeeds with fewer bytes.
    // Both the call's result and the count decide.
    if (!ReadFile(slot(name), buffer, count, &nBytesRead, nullptr)) {
        return fail_with_last_error("read");
    }
    return nBytesRead == count ? SERIAL_OK : fail(SERIAL_FAULT_TIMEOUT, "read", 0);
}

int32_t serial_write(const char* name, const void* bytes, uint32_t count)
{
    if (port_number_from_name(name) < 0) return SERIAL_EINVAL;
    DWORD nBytesWritten = 0;
    if (!WriteFile(slot(name), bytes, count, &nBytesWritten, nullptr)) {
        return fail_with_last_error("write");
    }
    return nBytesWritten == count ? SERIAL_OK : fail(SERIAL_FAULT_TIMEOUT, "write", 0);
}

int32_t serial_set_dtr(const char* name, bool on)
{
    if (port_number_from_name(name) < 0) return SERIAL_EINVAL;
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(slot(name), &dcb)) return fail_with_last_error("GetCommState");
    dcb.fDtrControl = on ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    if (!SetCommState(slot(name), &dcb)) return fail_with_last_error("SetCommState");
    return SERIAL_OK;
}
