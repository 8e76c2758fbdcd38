// Why the driver's last operation failed: each backend notes a failure with
// serial_fail, and serial_describe_error gives it as words that follow the
// port's name.
#include "serial.h"
#include "serial_backend.h"

#include <cstdio>

thread_local serial_own_timeout serial_running_read{false, 0};

namespace {

thread_local serial_error last_error{SERIAL_FAULT_NONE, "", 0};
thread_local char last_os_text[400];
// The own time-out the last failure ran with, if it had one.
thread_local serial_own_timeout failed_read{false, 0};

}  // namespace

int32_t serial_fail(serial_fault fault, const char* call, long os_error, const char* os_text)
{
    last_error = serial_error{fault, call, os_error};
    failed_read = serial_running_read;
    snprintf(last_os_text, sizeof last_os_text, "%s", os_text);
    bool bad_name = fault == SERIAL_FAULT_NAME || fault == SERIAL_FAULT_ADDRESS;
    return bad_name ? SERIAL_EINVAL : SERIAL_EIO;
}

serial_error serial_last_error() { return last_error; }

void serial_describe_error(char* text, size_t size)
{
    if (size == 0) return;
    const char* os_text = last_os_text;
    const char* call = last_error.call;
    uint32_t timeout_ms = failed_read.set ? failed_read.ms : serial_current_timeout;
    switch (last_error.fault) {
    case SERIAL_FAULT_NONE: snprintf(text, size, "has not failed"); break;
    case SERIAL_FAULT_NAME:
        snprintf(text, size, "is not a port name (COM1 to COM%d)", SERIAL_MAX_PORT);
        break;
    case SERIAL_FAULT_MISSING: snprintf(text, size, "does not exist"); break;
    case SERIAL_FAULT_IN_USE: snprintf(text, size, "is in use by another program"); break;
    case SERIAL_FAULT_PERMISSION:
        snprintf(text, size, "may not be opened by this user (%s)", os_text);
        break;
    case SERIAL_FAULT_NOT_SERIAL:
        snprintf(text, size, "does not work as a serial port (%s: %s)", call, os_text);
        break;
    case SERIAL_FAULT_TIMEOUT:
        snprintf(text, size, "did not complete a %s within %lu ms", call,
                 static_cast<unsigned long>(timeout_ms));
        break;
    case SERIAL_FAULT_SETTINGS:
        snprintf(text, size, "does not take the line settings (%s%s%s)", call,
                 os_text[0] != '\0' ? ": " : "", os_text);
        break;
    case SERIAL_FAULT_OTHER: snprintf(text, size, "failed (%s: %s)", call, os_text); break;
    case SERIAL_FAULT_ADDRESS:
        if (os_text[0] != '\0') {
            snprintf(text, size, "is not a usable network port (%s)", os_text);
        } else {
            snprintf(text, size, "is not a network port (socket://HOST:PORT or rfc2217://HOST:PORT)");
        }
        break;
    case SERIAL_FAULT_NO_HOST:
        snprintf(text, size, "names a host that does not resolve (%s)", os_text);
        break;
    case SERIAL_FAULT_REFUSED:
        snprintf(text, size, "refused the connection: nothing takes connections on that port");
        break;
    case SERIAL_FAULT_NO_ANSWER:
        snprintf(text, size, "did not answer the connection within %lu s",
                 static_cast<unsigned long>(SERIAL_CONNECT_TIMEOUT_MS / 1000));
        break;
    case SERIAL_FAULT_CLOSED:
        snprintf(text, size, "closed the connection%s%s%s", os_text[0] != '\0' ? ", saying \"" : "",
                 os_text, os_text[0] != '\0' ? "\"" : "");
        break;
    case SERIAL_FAULT_NO_RFC2217:
        snprintf(text, size, "does not speak RFC 2217 (%s)", os_text);
        break;
    case SERIAL_FAULT_NO_DATA:
        snprintf(text, size, "sent a stream of telnet commands and no data within %lu ms",
                 static_cast<unsigned long>(timeout_ms));
        break;
    case SERIAL_FAULT_STOPPED: snprintf(text, size, "was let go: the run was interrupted"); break;
    case SERIAL_FAULT_UNPLUGGED:
        snprintf(text, size, "is not plugged in (no USB adapter %s)", os_text);
        break;
    case SERIAL_FAULT_AMBIGUOUS: snprintf(text, size, "matches %s", os_text); break;
    }
}
