// The driver's fourth backend: a port that tagterm holds, reached through
// tagterm. The program's bytes go to tagterm as data frames and tagterm
// writes them to its open port; what the port receives comes back the same
// way. To the code above the driver it is the port itself: exact-length
// reads and writes with total time-outs, the quiet-line flush.
#include "../serial_backend.h"
#include "platform/platform.h"
#include "relay.h"
#include "relay_frames.h"
#include "relay_system.h"

#include <atomic>
#include <cstdio>
#include <cstring>

namespace {

// Bytes received from tagterm and not yet read. Only as many bytes are
// taken from the channel as there is room for (a frame's payload is never
// longer than its bytes), so that a peer cannot overflow it.
constexpr size_t RECEIVED_SIZE = 1024;
// A hello that tagterm does not take within this long: no tagterm there.
constexpr uint32_t HELLO_SEND_MS = 1000;
// A scan's open waits this long for a free tagterm's welcome.
constexpr uint32_t SCAN_WELCOME_MS = 1000;
// Room for the words that name tagterm as the port's holder.
constexpr size_t HOLDER_TEXT_SIZE = 48;

struct relay_slot {
    relay_channel channel;
    size_t start, count;      // of the bytes received
    unsigned long holder_pid;
    unsigned long user_pid;   // the program using the port meanwhile
    relay_reader reader;
    bool welcomed;
    bool told_in_use;         // tagterm said who uses the port meanwhile
    bool gone;                // tagterm lost the port, or ended
    char user_name[RELAY_NAME_SIZE];
    char gone_reason[RELAY_MAX_PAYLOAD + 1];
    uint8_t received[RECEIVED_SIZE];
};
relay_slot slots[SERIAL_SLOTS];

// Whether this process's opens may go through a tagterm; tagterm's own
// may not.
std::atomic<bool> relays_wanted{true};
// Whether an open waits while tagterm serves another program (a scan does not).
std::atomic<bool> turn_waited{true};
// Who hears that an open waits its turn (the program's own words).
std::atomic<serial_wait_notice> wait_notice{nullptr};
// Whether this thread's opens pass by every port tagterm holds, and the
// last one passed by, for its holder's description.
thread_local bool passing_by = false;
thread_local char passed_port[SERIAL_MAX_PATH + 1];
thread_local char passed_holder[HOLDER_TEXT_SIZE];

void mark_gone(relay_slot& s, const char* reason)
{
    s.gone = true;
    snprintf(s.gone_reason, sizeof s.gone_reason, "%s", reason);
}

// Frames from tagterm: a welcome first, then data, or the news that the
// port is gone. Anything else ends the connection.
void take_bytes(relay_slot& s, const uint8_t* in, size_t size)
{
    while (size > 0 && !s.gone) {
        size_t used = 0;
        relay_take_result r = relay_take(&s.reader, in, size, &used);
        in += used;
        size -= used;
        if (r == RELAY_BROKEN) {
            mark_gone(s, "tagterm sent what tagterm never sends");
        } else if (r == RELAY_FRAME_READY) {
            const relay_frame& f = s.reader.frame;
            if (!s.welcomed && relay_parse_in_use(f, &s.holder_pid, &s.user_pid, s.user_name)) {
                s.told_in_use = true;
            } else if (!s.welcomed) {
                s.welcomed = relay_parse_welcome(f, &s.holder_pid);
                if (!s.welcomed) mark_gone(s, "tagterm did not welcome this program");
            } else if (f.type == RELAY_DATA) {
                for (size_t i = 0; i < f.length; ++i) {
                    s.received[(s.start + s.count++) % RECEIVED_SIZE] = f.payload[i];
                }
            } else if (f.type == RELAY_GONE) {
                char reason[RELAY_MAX_PAYLOAD + 1];
                snprintf(reason, sizeof reason, "%.*s", static_cast<int>(f.length),
                         reinterpret_cast<const char*>(f.payload));
                mark_gone(s, reason);
            } else {
                mark_gone(s, "tagterm sent a frame out of turn");
            }
        }
    }
}

void mark_ended(relay_slot& s)
{
    char reason[96];
    snprintf(reason, sizeof reason, "tagterm (pid %lu), which holds the port, has ended", s.holder_pid);
    mark_gone(s, reason);
}

// Waits up to `wait_ms` for more from tagterm: false once it is gone.
bool receive_more(relay_slot& s, uint32_t wait_ms)
{
    uint8_t raw[RECEIVED_SIZE];
    size_t room = RECEIVED_SIZE - s.count;
    if (room == 0) return true;
    long n = relay_receive(s.channel, raw, room, wait_ms);
    if (n < 0) {
        mark_ended(s);
    } else {
        take_bytes(s, raw, static_cast<size_t>(n));
    }
    return !s.gone;
}

// tagterm has closed its end: what it said before (that the port went
// away) is the reason, else that it ended.
void take_last_words(relay_slot& s)
{
    uint8_t raw[RECEIVED_SIZE];
    long n = 1;
    while (!s.gone && n > 0 && s.count < RECEIVED_SIZE) {
        n = relay_receive(s.channel, raw, RECEIVED_SIZE - s.count, 0);
        if (n > 0) take_bytes(s, raw, static_cast<size_t>(n));
    }
    if (!s.gone) mark_ended(s);
}

int32_t gone_failure(const relay_slot& s, const char* call)
{
    return serial_fail(SERIAL_FAULT_OTHER, call, 0, s.gone_reason);
}

void fresh_slot(relay_slot& s, relay_channel channel)
{
    s.channel = channel;
    s.reader = relay_reader{};
    s.start = s.count = 0;
    s.holder_pid = 0;
    s.welcomed = false;
    s.told_in_use = false;
    s.user_pid = 0;
    s.user_name[0] = '\0';
    s.gone = false;
    s.gone_reason[0] = '\0';
}

// A port passed by as in use because tagterm holds it: its holder named.
int32_t passed_by(const char* name, unsigned long tagterm_pid)
{
    snprintf(passed_port, sizeof passed_port, "%s", name);
    snprintf(passed_holder, sizeof passed_holder, "tagterm (pid %lu)", tagterm_pid);
    return serial_fail(SERIAL_FAULT_IN_USE, "open", 0, "");
}

// Says once that this open waits for its turn, and whom for.
void tell_waiting(const relay_slot& s, const char* name)
{
    serial_wait_notice notice = wait_notice;
    if (notice == nullptr) return;
    char text[RELAY_NAME_SIZE + 96];
    snprintf(text, sizeof text, "waiting for tagterm (pid %lu): %s (pid %lu) is using the port",
             s.holder_pid, s.user_name, s.user_pid);
    notice(name, text);
}

// Says who this is and waits for tagterm's welcome, which comes when no
// other program is using the port (up to SERIAL_RELAY_TURN_MS; a scan
// does not wait): false when tagterm went away first.
bool wait_for_welcome(relay_slot& s, const char* port, int32_t* result)
{
    char name[RELAY_NAME_SIZE];
    relay_own_name(name, sizeof name);
    char hello[RELAY_NAME_SIZE + 16];
    int n = snprintf(hello, sizeof hello, "%lu %s", relay_own_pid(), name[0] != '\0' ? name : "a program");
    uint8_t frame[RELAY_MAX_FRAME];
    size_t length = relay_frame_bytes(RELAY_HELLO, hello, static_cast<size_t>(n), frame);
    if (relay_send(s.channel, frame, length, HELLO_SEND_MS) != RELAY_SENT) return false;
    uint64_t give_up = platform_now_ms() + (turn_waited ? SERIAL_RELAY_TURN_MS : SCAN_WELCOME_MS);
    bool told = false;
    while (!s.welcomed) {
        if (serial_stopped()) {
            *result = serial_fail(SERIAL_FAULT_STOPPED, "open", 0, "");
            return true;
        }
        if (platform_now_ms() >= give_up || (!turn_waited && s.told_in_use)) {
            *result = serial_fail(SERIAL_FAULT_IN_USE, "open", 0, "");
            return true;
        }
        if (s.told_in_use && !told) {
            told = true;
            tell_waiting(s, port);
        }
        if (!receive_more(s, turn_waited ? SERIAL_STOP_CHECK_MS : SCAN_WELCOME_MS / 6)) return false;
    }
    *result = SERIAL_OK;
    return true;
}

int32_t relay_set_timeout(size_t, uint32_t) { return SERIAL_OK; }

// Moves up to `max` of the bytes received and not read yet into `out`: how many.
uint32_t take_received(relay_slot& s, uint8_t* out, uint32_t max)
{
    uint32_t done = 0;
    while (s.count > 0 && done < max) {
        out[done++] = s.received[s.start];
        s.start = (s.start + 1) % RECEIVED_SIZE;
        --s.count;
    }
    return done;
}

// Waits a while, until `deadline` at most, for more from tagterm:
// SERIAL_OK, or the read's failure.
int32_t receive_for_read(relay_slot& s, uint64_t deadline)
{
    if (s.gone) return gone_failure(s, "read");
    if (serial_stopped()) return serial_fail(SERIAL_FAULT_STOPPED, "read", 0, "");
    uint64_t now = platform_now_ms();
    if (now >= deadline) return serial_fail(SERIAL_FAULT_TIMEOUT, "read", 0, "");
    uint64_t left = deadline - now;
    receive_more(s, static_cast<uint32_t>(left < SERIAL_STOP_CHECK_MS ? left : SERIAL_STOP_CHECK_MS));
    return SERIAL_OK;
}

// The time-out is each call's own here: serial_read_within reads as
// serial_read does.
int32_t relay_read(size_t slot, void* buffer, uint32_t count, uint32_t timeout_ms)
{
    relay_slot& s = slots[slot];
    auto* out = static_cast<uint8_t*>(buffer);
    uint64_t deadline = platform_now_ms() + timeout_ms;
    uint32_t done = 0;
    for (;;) {
        done += take_received(s, out + done, count - done);
        if (done == count) return SERIAL_OK;
        int32_t result = receive_for_read(s, deadline);
        if (result != SERIAL_OK) return result;
    }
}

int32_t relay_read_some(size_t slot, void* buffer, uint32_t max, uint32_t first_ms, uint32_t* got)
{
    relay_slot& s = slots[slot];
    uint64_t deadline = platform_now_ms() + first_ms;
    while (s.count == 0) {
        int32_t result = receive_for_read(s, deadline);
        if (result != SERIAL_OK) return result;
    }
    *got = take_received(s, static_cast<uint8_t*>(buffer), max);
    return SERIAL_OK;
}

int32_t relay_write(size_t slot, const void* bytes, uint32_t count, uint32_t timeout_ms)
{
    relay_slot& s = slots[slot];
    const auto* in = static_cast<const uint8_t*>(bytes);
    while (count > 0) {
        if (s.gone) return gone_failure(s, "write");
        uint32_t n = count < RELAY_MAX_PAYLOAD ? count : static_cast<uint32_t>(RELAY_MAX_PAYLOAD);
        uint8_t frame[RELAY_MAX_FRAME];
        size_t length = relay_frame_bytes(RELAY_DATA, in, n, frame);
        relay_send_result sent = relay_send(s.channel, frame, length, timeout_ms);
        if (sent == RELAY_SEND_TIMED_OUT) return serial_fail(SERIAL_FAULT_TIMEOUT, "write", 0, "");
        if (sent == RELAY_PEER_ENDED) {
            take_last_words(s);
            return gone_failure(s, "write");
        }
        in += n;
        count -= n;
    }
    return SERIAL_OK;
}

// tagterm keeps the modem lines as it found them: a board that resets on
// DTR must not be reset by a program going through it.
int32_t relay_set_dtr(size_t, bool)
{
    return serial_fail(SERIAL_FAULT_OTHER, "set DTR", 0, "tagterm keeps the modem lines as they are");
}

serial_handle relay_handle(size_t slot) { return slots[slot].channel; }

void relay_close_slot(size_t slot)
{
    relay_close(slots[slot].channel);
    slots[slot].channel = RELAY_NO_CHANNEL;
}

void relay_describe(size_t slot, char* text, size_t size)
{
    snprintf(text, size, "is held by tagterm (pid %lu): going through it", slots[slot].holder_pid);
}

// tagterm, which holds the port, takes none of the replies: it passes them
// on. A port this thread passed by is named as tagterm's.
void relay_find_holders(const char* name, char* text, size_t size)
{
    if (size == 0) return;
    bool passed = passing_by && strcmp(name, passed_port) == 0;
    snprintf(text, size, "%s", passed ? passed_holder : "");
}

int32_t relay_open(size_t slot, const char* name, const serial_line&)
{
    serial_port_identity id{};
    if (relays_wanted) serial_identify_port(name, &id);
    relay_channel channel = RELAY_NO_CHANNEL;
    for (size_t i = 0; i < id.count && channel == RELAY_NO_CHANNEL; ++i) {
        channel = relay_connect(id.keys[i]);
    }
    relay_slot& s = slots[slot];
    fresh_slot(s, channel);
    passed_port[0] = '\0';
    if (channel != RELAY_NO_CHANNEL && passing_by) {
        int32_t result = passed_by(name, relay_peer_pid(channel));
        relay_close_slot(slot);
        return result;
    }
    // A tagterm that ends before its welcome has let the port go: it is
    // as if none held it.
    int32_t result = SERIAL_OK;
    if (channel == RELAY_NO_CHANNEL || !wait_for_welcome(s, name, &result)) {
        result = serial_fail(SERIAL_FAULT_MISSING, "open", 0, "no tagterm holds it");
    }
    if (result != SERIAL_OK) relay_close_slot(slot);
    return result;
}

}  // namespace

void serial_never_relay() { relays_wanted = false; }

void serial_relay_wait_for_turn(bool wait) { turn_waited = wait; }

void serial_relay_on_wait(serial_wait_notice notice) { wait_notice = notice; }

void serial_relay_pass_by(bool pass) { passing_by = pass; }

void relay_key_name(const char* key, char* name, size_t size)
{
    // FNV-1a, 64 bits.
    uint64_t hash = 14695981039346656037ULL;
    for (const char* c = key; *c != '\0'; ++c) {
        hash = (hash ^ static_cast<uint8_t>(*c)) * 1099511628211ULL;
    }
    snprintf(name, size, "%016llx", static_cast<unsigned long long>(hash));
}

// A port is found, named and told apart by the system's own backend (the
// relay finds tagterm by what it says): no identify, no exists, no names.
const serial_backend serial_relay_backend = {
    relay_open,     relay_set_timeout,  relay_read, relay_read, relay_read_some,
    relay_write,    relay_set_dtr,      relay_handle, relay_close_slot, local_quiet_window,
    relay_describe, relay_find_holders, nullptr,    nullptr,    false,
};
