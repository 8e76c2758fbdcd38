// Win32 serial backend: the Communications API on \\.\COMn, synchronous
// (not overlapped) handles, total time-outs through COMMTIMEOUTS.
#include "serial.h"
#include "serial_internal.h"

#include <windows.h>

namespace {

// Slot per port number: 0 never opened, a handle while open, the
// invalid-handle value once closed. Slot 0 is never used.
HANDLE port_table[SERIAL_MAX_PORT + 1];

HANDLE slot(const char* name) { return port_table[port_number_from_name(name)]; }

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
    if (n < 0) return SERIAL_EINVAL;

    // "\\.\" + the name exactly as given (COM07 stays COM07), each 8-bit
    // character widened with its sign; a valid name is at most 5 characters.
    wchar_t port_str[20] = L"\\\\.\\";
    for (int i = 0; name[i] != '\0'; ++i) port_str[4 + i] = static_cast<wchar_t>(name[i]);

    HANDLE h = CreateFileW(port_str, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        (void)GetLastError();
        return SERIAL_EIO;
    }
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(h, &dcb)) {
        CloseHandle(h);
        return SERIAL_EIO;
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
        CloseHandle(h);
        return SERIAL_EINVAL;
    }
    if (!SetCommState(h, &dcb)) {
        CloseHandle(h);
        return SERIAL_EIO;
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

int32_t serial_set_timeout(const char* name, uint32_t timeout_ms)
{
    if (port_number_from_name(name) < 0) return SERIAL_EINVAL;
    COMMTIMEOUTS Timeouts{};
    Timeouts.ReadIntervalTimeout = 0;
    Timeouts.ReadTotalTimeoutMultiplier = 0;
    Timeouts.ReadTotalTimeoutConstant = timeout_ms;
    Timeouts.WriteTotalTimeoutMultiplier = 0;
    Timeouts.WriteTotalTimeoutConstant = timeout_ms;
    if (!SetCommTimeouts(slot(name), &Timeouts)) return SERIAL_EIO;
    serial_current_timeout = timeout_ms;
    return SERIAL_OK;
}

int32_t serial_read(const char* name, void* buffer, uint32_t count)
{
    if (port_number_from_name(name) < 0) return SERIAL_EINVAL;
    DWORD nBytesRead = 0;
    // A time-out is not a failure to ReadFile: it succeeds with fewer bytes.
    // Both the call's result and the count decide.
    if (!ReadFile(slot(name), buffer, count, &nBytesRead, nullptr)) return SERIAL_EIO;
    return nBytesRead == count ? SERIAL_OK : SERIAL_EIO;
}

int32_t serial_write(const char* name, const void* bytes, uint32_t count)
{
    if (port_number_from_name(name) < 0) return SERIAL_EINVAL;
    DWORD nBytesWritten = 0;
    if (!WriteFile(slot(name), bytes, count, &nBytesWritten, nullptr)) return SERIAL_EIO;
    return nBytesWritten == count ? SERIAL_OK : SERIAL_EIO;
}

int32_t serial_set_dtr(const char* name, bool on)
{
    if (port_number_from_name(name) < 0) return SERIAL_EINVAL;
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(slot(name), &dcb)) return SERIAL_EIO;
    dcb.fDtrControl = on ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    if (!SetCommState(slot(name), &dcb)) return SERIAL_EIO;
    return SERIAL_OK;
}
