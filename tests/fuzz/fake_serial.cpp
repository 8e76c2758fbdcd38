#include "fake_serial.h"
#include "serial/serial.h"
#include "serial/serial_internal.h"

#include <cstring>

namespace {

const uint8_t* input = nullptr;
size_t input_size = 0, input_pos = 0;
bool open_ports[SERIAL_MAX_PORT + 1];

constexpr uint32_t QUIET_BELOW_MS = 100;

bool is_open(const char* name)
{
    int n = port_number_from_name(name);
    return n > 0 && open_ports[n];
}

}  // namespace

void fake_serial_feed(const uint8_t* data, size_t size)
{
    input = data;
    input_size = size;
    input_pos = 0;
    memset(open_ports, 0, sizeof open_ports);
}

serial_handle serial_get_handle(const char* name)
{
    return is_open(name) ? 3 : SERIAL_INVALID_HANDLE;
}

int32_t serial_open(const char* name, uint32_t, uint8_t, uint8_t, uint8_t stop_bits,
                    uint32_t timeout_ms)
{
    int n = port_number_from_name(name);
    if (n < 0 || (stop_bits != 1 && stop_bits != 2)) return SERIAL_EINVAL;
    if (open_ports[n]) return SERIAL_EIO;
    open_ports[n] = true;
    return serial_set_timeout(name, timeout_ms);
}

bool serial_takes_device_paths() { return false; }

size_t serial_list_ports(serial_port_info*, size_t, bool) { return 0; }

void serial_release_all() { memset(open_ports, 0, sizeof open_ports); }

int32_t serial_close(const char* name)
{
    int n = port_number_from_name(name);
    if (n < 0) return SERIAL_EINVAL;
    open_ports[n] = false;
    return SERIAL_OK;
}

int32_t serial_set_timeout(const char* name, uint32_t timeout_ms)
{
    if (port_number_from_name(name) < 0) return SERIAL_EINVAL;
    if (!is_open(name)) return SERIAL_EIO;
    serial_current_timeout = timeout_ms;
    return SERIAL_OK;
}

int32_t serial_read(const char* name, void* buffer, uint32_t count)
{
    if (port_number_from_name(name) < 0) return SERIAL_EINVAL;
    if (!is_open(name) || serial_current_timeout < QUIET_BELOW_MS) {
        return serial_fail(SERIAL_FAULT_TIMEOUT, "read", 0, "");
    }
    size_t n = input_size - input_pos < count ? input_size - input_pos : count;
    if (n > 0) memcpy(buffer, input + input_pos, n);
    input_pos += n;
    return n == count ? SERIAL_OK : serial_fail(SERIAL_FAULT_TIMEOUT, "read", 0, "");
}

int32_t serial_write(const char* name, const void*, uint32_t)
{
    if (port_number_from_name(name) < 0) return SERIAL_EINVAL;
    return is_open(name) ? SERIAL_OK : SERIAL_EIO;
}

int32_t serial_set_dtr(const char* name, bool)
{
    if (port_number_from_name(name) < 0) return SERIAL_EINVAL;
    return is_open(name) ? SERIAL_OK : SERIAL_EIO;
}
