// The network port's telnet reader, fed whatever a server could send: any
// bytes, in chunks of any size, with any room for the data. The first byte
// chooses a raw port (bit 0) and the chunk size, the second the room.
#include "serial/net/telnet.h"

#include <cstdint>
#include <cstring>

namespace {

void check(bool ok)
{
    if (!ok) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2) return 0;
    telnet::reader r;
    bool raw = (data[0] & 1) != 0;
    telnet::start(r, !raw);
    uint8_t offer[telnet::OFFER_SIZE];
    if (!raw) telnet::offer(r, offer);
    size_t chunk = 1 + (data[0] >> 1);
    size_t room = data[1];
    data += 2;
    size -= 2;
    uint64_t passed = 0;
    uint8_t out[256];
    for (size_t at = 0; at < size; at += chunk) {
        size_t n = size - at < chunk ? size - at : chunk;
        size_t got = telnet::take(r, data + at, n, out, room);
        check(got <= room);
        check(r.reply_length <= sizeof r.replies && r.sub_length <= sizeof r.sub);
        // A raw port passes every byte as it came.
        check(!raw || (got == (n < room ? n : room) && memcmp(out, data + at, got) == 0));
        passed += got;
        r.reply_length = 0;  // sent to the server
    }
    // Every byte is data (passed or dropped for want of room) or telnet.
    check(passed + r.dropped + r.commands == size);
    return 0;
}
