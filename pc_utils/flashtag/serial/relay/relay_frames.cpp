// The relay's frames: reading them from bytes as they come, and writing
// them. No I/O here, so that the fuzz target reaches all of it.
#include "relay_frames.h"

#include <cstring>

namespace {

bool known_type(uint8_t type)
{
    return type == RELAY_HELLO || type == RELAY_WELCOME || type == RELAY_DATA ||
           type == RELAY_DTR || type == RELAY_GONE || type == RELAY_IN_USE;
}

// Digits only, at least one, at most nine (a process ID): the value.
bool parse_pid(const uint8_t* text, size_t length, unsigned long* pid)
{
    if (length == 0 || length > 9) return false;
    unsigned long value = 0;
    for (size_t i = 0; i < length; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        value = value * 10 + (text[i] - '0');
    }
    *pid = value;
    return true;
}

// "<pid> <name>" from `text`: the name cut to fit RELAY_NAME_SIZE and only
// printable ASCII.
bool parse_pid_and_name(const uint8_t* text, size_t length, unsigned long* pid, char* name)
{
    const uint8_t* space = static_cast<const uint8_t*>(memchr(text, ' ', length));
    if (space == nullptr || !parse_pid(text, static_cast<size_t>(space - text), pid)) return false;
    size_t n = 0;
    for (const uint8_t* c = space + 1; c < text + length && n + 1 < RELAY_NAME_SIZE; ++c) {
        if (*c < 0x20 || *c > 0x7E) return false;
        name[n++] = static_cast<char>(*c);
    }
    name[n] = '\0';
    return n > 0;
}

}  // namespace

relay_take_result relay_take(relay_reader* r, const uint8_t* in, size_t size, size_t* used)
{
    *used = 0;
    if (r->broken) return RELAY_BROKEN;
    while (*used < size) {
        if (r->header_have < RELAY_HEADER_SIZE) {
            r->header[r->header_have++] = in[(*used)++];
            if (r->header_have < RELAY_HEADER_SIZE) continue;
            size_t length = (static_cast<size_t>(r->header[1]) << 8) | r->header[2];
            if (!known_type(r->header[0]) || length > RELAY_MAX_PAYLOAD) {
                r->broken = true;
                return RELAY_BROKEN;
            }
            r->frame.type = r->header[0];
            r->frame.length = length;
            r->payload_have = 0;
        } else {
            size_t want = r->frame.length - r->payload_have;
            size_t n = size - *used < want ? size - *used : want;
            memcpy(r->frame.payload + r->payload_have, in + *used, n);
            r->payload_have += n;
            *used += n;
        }
        if (r->payload_have == r->frame.length) {
            r->header_have = 0;
            return RELAY_FRAME_READY;
        }
    }
    return RELAY_MORE;
}

size_t relay_frame_bytes(relay_frame_type type, const void* payload, size_t length, uint8_t* out)
{
    if (length > RELAY_MAX_PAYLOAD) length = RELAY_MAX_PAYLOAD;
    out[0] = type;
    out[1] = static_cast<uint8_t>(length >> 8);
    out[2] = static_cast<uint8_t>(length & 0xFF);
    if (length > 0) memcpy(out + RELAY_HEADER_SIZE, payload, length);
    return RELAY_HEADER_SIZE + length;
}

bool relay_parse_welcome(const relay_frame& frame, unsigned long* pid)
{
    return frame.type == RELAY_WELCOME && parse_pid(frame.payload, frame.length, pid);
}

bool relay_parse_hello(const relay_frame& frame, unsigned long* pid, char* name)
{
    return frame.type == RELAY_HELLO && parse_pid_and_name(frame.payload, frame.length, pid, name);
}

bool relay_parse_in_use(const relay_frame& frame, unsigned long* tagterm_pid, unsigned long* pid,
                        char* name)
{
    if (frame.type != RELAY_IN_USE) return false;
    const uint8_t* space = static_cast<const uint8_t*>(memchr(frame.payload, ' ', frame.length));
    if (space == nullptr) return false;
    size_t digits = static_cast<size_t>(space - frame.payload);
    return parse_pid(frame.payload, digits, tagterm_pid) &&
           parse_pid_and_name(space + 1, frame.length - digits - 1, pid, name);
}
