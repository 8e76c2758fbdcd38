// The parts of the serial driver that are the same on every platform: port
// names, the process-wide time-out, the quiet-line input flush and the
// reason of the last failure.
#include "common/bytes.h"
#include "serial.h"
#include "serial_internal.h"

#include <cstdio>
#include <cstring>

uint32_t serial_current_timeout = 0;

namespace {

serial_error last_error{SERIAL_FAULT_NONE, "", 0};
char last_os_text[160];

}  // namespace

int32_t serial_fail(serial_fault fault, const char* call, long os_error, const char* os_text)
{
    last_error = serial_error{fault, call, os_error};
    snprintf(last_os_text, sizeof last_os_text, "%s", os_text);
    return fault == SERIAL_FAULT_NAME ? SERIAL_EINVAL : SERIAL_EIO;
}

serial_error serial_last_error() { return last_error; }

void serial_describe_error(char* text, size_t size)
{
    if (size == 0) return;
    const char* os_text = last_os_text;
    const char* call = last_error.call;
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
                 static_cast<unsigned long>(serial_current_timeout));
        break;
    case SERIAL_FAULT_SETTINGS:
        snprintf(text, size, "does not take the line settings (%s%s%s)", call,
                 os_text[0] != '\0' ? ": " : "", os_text);
        break;
    case SERIAL_FAULT_OTHER: snprintf(text, size, "failed (%s: %s)", call, os_text); break;
    }
}

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// 200 full reads are 10000 bytes: close to a second of unbroken input at
// 115200 baud.
constexpr int MAX_FLUSH_WINDOWS = 200;

}  // namespace

int port_number_from_name(const char* name)
{
    if (name == nullptr) return -1;
    if (ascii_lower(name[0]) != 'c' || ascii_lower(name[1]) != 'o' || ascii_lower(name[2]) != 'm') {
        return -1;
    }
    // Two forms only: one digit 1..9, or two digits 01..99. Anything longer
    // ("COM100", "COM7 ") is not a port name.
    const char* digits = name + 3;
    if (digits[0] >= '1' && digits[0] <= '9' && digits[1] == '\0') return digits[0] - '0';
    if (is_digit(digits[0]) && is_digit(digits[1]) && digits[2] == '\0') {
        int n = (digits[0] - '0') * 10 + (digits[1] - '0');
        return n == 0 ? -1 : n;
    }
    return -1;
}

bool serial_is_device_path(const char* name)
{
    return name != nullptr && name[0] == '/' && strlen(name) <= SERIAL_MAX_PATH;
}

int32_t serial_get_timeout(const char* name, uint32_t* timeout_ms)
{
    bool known = port_number_from_name(name) >= 0 || serial_is_device_path(name);
    if (!known || timeout_ms == nullptr) return SERIAL_EINVAL;
    *timeout_ms = serial_current_timeout;
    return SERIAL_OK;
}

int32_t serial_flush_input(const char* name)
{
    uint32_t old_timeout = 0;
    int32_t result = serial_get_timeout(name, &old_timeout);
    if (result != SERIAL_OK) return result;
    // Read in 10 ms windows until one comes back short: the line has then
    // been quiet long enough for whatever the tag was sending to have ended.
    // A device that never stops sending is given up on after a while (a tag
    // says nothing for that long): what it sends next is read as a reply and
    // judged there.
    result = serial_set_timeout(name, 10);
    if (result != SERIAL_OK) return result;
    unsigned char junk[50];
    int32_t last = SERIAL_OK;
    int windows = 0;
    do {
        last = serial_read(name, junk, sizeof junk);
    } while (last == SERIAL_OK && ++windows < MAX_FLUSH_WINDOWS);
    result = serial_set_timeout(name, old_timeout);
    if (result != SERIAL_OK) return result;
    return last == SERIAL_EIO ? SERIAL_OK : last;
}
