// The parts of the serial driver that are the same on every platform: port
// names, the process-wide time-out and the quiet-line input flush.
#include "serial.h"
#include "serial_internal.h"

uint32_t serial_current_timeout = 0;

namespace {

char upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// 200 full reads are 10000 bytes: close to a second of unbroken input at
// 115200 baud.
constexpr int MAX_FLUSH_WINDOWS = 200;

}  // namespace

int port_number_from_name(const char* name)
{
    if (name == nullptr) return -1;
    if (upper(name[0]) != 'C' || upper(name[1]) != 'O' || upper(name[2]) != 'M') return -1;
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

int32_t serial_get_timeout(const char* name, uint32_t* timeout_ms)
{
    if (port_number_from_name(name) < 0 || timeout_ms == nullptr) return SERIAL_EINVAL;
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
