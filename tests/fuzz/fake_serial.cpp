#include "fake_serial.h"
#include "serial/serial_backend.h"

#include <cstring>

namespace {

const uint8_t* input = nullptr;
size_t input_size = 0, input_pos = 0;

constexpr uint32_t QUIET_BELOW_MS = 100;

int32_t fake_open(size_t, const char*, const serial_line&) { return SERIAL_OK; }
int32_t fake_set_timeout(size_t, uint32_t) { return SERIAL_OK; }

int32_t fake_read(size_t, void* buffer, uint32_t count, uint32_t timeout_ms)
{
    if (timeout_ms < QUIET_BELOW_MS) return serial_fail(SERIAL_FAULT_TIMEOUT, "read", 0, "");
    size_t n = input_size - input_pos < count ? input_size - input_pos : count;
    if (n > 0) memcpy(buffer, input + input_pos, n);
    input_pos += n;
    return n == count ? SERIAL_OK : serial_fail(SERIAL_FAULT_TIMEOUT, "read", 0, "");
}

int32_t fake_read_some(size_t slot, void* buffer, uint32_t max, uint32_t first_ms, uint32_t* got)
{
    auto left = static_cast<uint32_t>(input_size - input_pos);
    uint32_t n = left == 0 ? 1 : left < max ? left : max;
    int32_t result = fake_read(slot, buffer, n, first_ms);
    *got = result == SERIAL_OK ? n : 0;
    return result;
}

int32_t fake_write(size_t, const void*, uint32_t, uint32_t) { return SERIAL_OK; }
int32_t fake_set_dtr(size_t, bool) { return SERIAL_OK; }
serial_handle fake_handle(size_t) { return 3; }
void fake_close(size_t) {}
void fake_find_holders(const char*, char*, size_t) {}
void fake_identify(const char*, serial_port_identity*) {}
bool fake_exists(const char*) { return true; }

}  // namespace

const serial_backend serial_os_backend = {
    fake_open,          fake_set_timeout,    fake_read,        fake_read,  fake_read_some,
    fake_write,         fake_set_dtr,        fake_handle,      fake_close, local_quiet_window,
    nothing_to_describe, fake_find_holders,  fake_identify,    fake_exists, false,
};

size_t os_list_ports(serial_port_info*, size_t, bool) { return 0; }

void fake_serial_feed(const uint8_t* data, size_t size)
{
    input = data;
    input_size = size;
    input_pos = 0;
    serial_release_all();
}
