// The relay's frames, read from whatever a peer could send: any bytes, in
// chunks of any size (the first byte chooses it). Every byte is taken, no
// payload is longer than its limit, every frame read writes back as the
// very bytes it came from, and a hello, welcome or in-use frame parsed is
// well formed.
// Then the same bytes as a program's session on tagterm's side, its data
// written to a port (the stand-in's): one welcome at most, and none
// without a well-formed hello.
#include "serial/relay/relay.h"

#include <cstdint>
#include <cstring>

namespace {

void check(bool ok)
{
    if (!ok) __builtin_trap();
}

void check_session(const uint8_t* data, size_t size, size_t chunk)
{
    if (serial_open("COM4", 115200, 8, 0, 1, 1000) != SERIAL_OK) __builtin_trap();
    relay_session session{};
    int started = 0;
    for (size_t at = 0; at < size; at += chunk) {
        size_t n = size - at < chunk ? size - at : chunk;
        relay_event event = relay_session_take(&session, "COM4", data + at, n);
        if (event == RELAY_STARTED) {
            ++started;
            check(session.welcomed && session.name[0] != '\0');
        }
        if (event == RELAY_REFUSED || event == RELAY_PORT_FAILED) break;
    }
    check(started <= 1 && (started == 1) == session.welcomed);
    serial_close("COM4");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1) return 0;
    size_t chunk = 1 + data[0];
    ++data;
    --size;
    check_session(data, size, chunk);
    relay_reader r{};
    size_t frame_start = 0;
    for (size_t at = 0; at < size;) {
        size_t n = size - at < chunk ? size - at : chunk;
        size_t used = 0;
        relay_take_result result = relay_take(&r, data + at, n, &used);
        check(used <= n);
        at += used;
        if (result == RELAY_BROKEN) {
            check(relay_take(&r, data + at, size - at, &used) == RELAY_BROKEN && used == 0);
            return 0;
        }
        if (result == RELAY_MORE) {
            check(used == n);
            continue;
        }
        const relay_frame& f = r.frame;
        check(f.length <= RELAY_MAX_PAYLOAD);
        uint8_t again[RELAY_MAX_FRAME];
        size_t length = relay_frame_bytes(static_cast<relay_frame_type>(f.type), f.payload, f.length, again);
        check(length == at - frame_start && memcmp(again, data + frame_start, length) == 0);
        frame_start = at;
        unsigned long pid = 0;
        char name[RELAY_NAME_SIZE];
        if (relay_parse_hello(f, &pid, name)) {
            check(name[0] != '\0' && strlen(name) < RELAY_NAME_SIZE && pid <= 999999999UL);
        }
        if (relay_parse_welcome(f, &pid)) check(f.length > 0 && pid <= 999999999UL);
        unsigned long tagterm_pid = 0;
        if (relay_parse_in_use(f, &tagterm_pid, &pid, name)) {
            check(name[0] != '\0' && strlen(name) < RELAY_NAME_SIZE && tagterm_pid <= 999999999UL);
        }
    }
    return 0;
}
