// Port names as the driver takes them: COM numbers, device paths, network
// ports, and the keys that tell whether two names name one port.
#include "common/bytes.h"
#include "serial.h"
#include "serial_backend.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

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

bool serial_is_network_port(const char* name)
{
    return name != nullptr &&
           (strncmp(name, "socket://", 9) == 0 || strncmp(name, "rfc2217://", 10) == 0);
}

void serial_add_identity_key(serial_port_identity* id, const char* format, ...)
{
    if (id->count == SERIAL_IDENTITY_KEYS) return;
    va_list args;
    va_start(args, format);
    vsnprintf(id->keys[id->count++], sizeof id->keys[0], format, args);  // NOLINT(clang-analyzer-valist.Uninitialized)
    va_end(args);
}

bool serial_same_port(const serial_port_identity& a, const serial_port_identity& b)
{
    for (size_t i = 0; i < a.count; ++i) {
        for (size_t j = 0; j < b.count; ++j) {
            if (strcmp(a.keys[i], b.keys[j]) == 0) return true;
        }
    }
    return false;
}
