// Network ports: a serial port that a server (ser2net) shares over TCP,
// either raw ("socket://host:port": the bytes as they are) or as telnet
// with the Com Port Control Option of RFC 2217 ("rfc2217://host:port"),
// which also carries the line settings. The driver's semantics hold:
// exact-length reads and writes with total time-outs, and an input flush
// that ends when the line has been quiet, here for long enough to cover the
// round trip. Every wait ends at its deadline, whatever the server keeps
// sending. Who may use the port is the server's business (ser2net serves
// one client at a time).
//
// The Com Port Control Option's negotiation and requests are rfc2217.cpp's.
#include "common/bytes.h"
#include "net_port.h"
#include "platform/platform.h"
#include "rfc2217.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

using namespace telnet;

// A server that will not serve (ser2net when another client has the port)
// says so and closes at once: a connection still open this long after it
// was made (and negotiated) is served.
constexpr uint64_t SETTLE_MS = 50;
// How long a server that closes at once is tried again, and how often.
constexpr uint64_t BUSY_RETRY_MS = 1000;
constexpr uint32_t BUSY_PAUSE_MS = 100;

net_port ports[SERIAL_NAMED_SLOTS];

net_port& port_of(size_t slot) { return ports[slot - SERIAL_FIRST_NAMED_SLOT]; }

bool is_host_char(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           c == '.' || c == '-' || c == '_';
}

bool all_of(const char* begin, const char* end, bool (*ok)(char))
{
    for (const char* c = begin; c < end; ++c) {
        if (!ok(*c)) return false;
    }
    return true;
}

// What is wrong with a network port's name, for its failure; "" when only
// its form is.
thread_local const char* address_problem = "";

// "socket://HOST:PORT" or "rfc2217://HOST:PORT" into its parts. HOST in
// brackets is an IPv6 address, with its zone after "%" (an interface name
// or number), which a link-local address needs. False for anything else,
// with the reason in address_problem when there is more to say.
bool parse_address(const char* name, bool* use_telnet, char* host, size_t host_size, char* port)
{
    address_problem = "";
    *use_telnet = strncmp(name, "rfc2217://", 10) == 0;
    const char* rest = name + (*use_telnet ? 10 : 9);
    const char* colon = strrchr(rest, ':');
    if (colon == nullptr) return false;
    const char* host_start = rest;
    const char* host_end = colon;
    if (rest[0] == '[') {
        host_start = rest + 1;
        host_end = colon - 1;
        if (host_end < host_start || *host_end != ']') return false;
        const char* zone = static_cast<const char*>(
            memchr(host_start, '%', static_cast<size_t>(host_end - host_start)));
        const char* address_end = zone != nullptr ? zone : host_end;
        if (!all_of(host_start, address_end, [](char c) { return is_host_char(c) || c == ':'; }) ||
            (zone != nullptr && (zone + 1 == host_end || !all_of(zone + 1, host_end, is_host_char)))) {
            return false;
        }
        // fe80::/10: the same address is on every interface.
        if (zone == nullptr && host_end - host_start > 3 && ascii_lower(host_start[0]) == 'f' &&
            ascii_lower(host_start[1]) == 'e' && strchr("89abAB", host_start[2]) != nullptr) {
            address_problem = "a link-local IPv6 address needs its zone, as in [fe80::1%eth0]";
            return false;
        }
    } else if (!all_of(host_start, host_end, is_host_char)) {
        return false;
    }
    size_t host_length = static_cast<size_t>(host_end - host_start);
    if (host_length == 0 || host_length >= host_size) return false;
    memcpy(host, host_start, host_length);
    host[host_length] = '\0';
    const char* digits = colon + 1;
    size_t n = strlen(digits);
    if (n == 0 || n > 5 || strspn(digits, "0123456789") != n) return false;
    long number = strtol(digits, nullptr, 10);
    if (number < 1 || number > 65535) return false;
    snprintf(port, 6, "%ld", number);
    return true;
}

}  // namespace

void net_port_note(net_port& p, const char* format, ...)
{
    char piece[160];
    va_list args;
    va_start(args, format);
    vsnprintf(piece, sizeof piece, format, args);  // NOLINT(clang-analyzer-valist.Uninitialized)
    va_end(args);
    size_t used = strlen(p.notes);
    append_piece(p.notes, sizeof p.notes, &used, piece);
}

int32_t net_port_send(net_port& p, const uint8_t* bytes, size_t count, uint64_t timeout_ms)
{
    return net_send(p.sock, bytes, count, platform_now_ms() + timeout_ms);
}

// Reads what the server has sent, waiting until `deadline` for something.
net_received net_port_receive(net_port& p, uint64_t deadline)
{
    // Only while connecting can unread bytes fill the buffer (a tag's
    // chatter before the first command); an input flush would drop them.
    if (p.pending_start == p.pending_end || p.pending_end - p.pending_start == sizeof p.pending) {
        p.pending_start = p.pending_end = 0;
    }
    if (p.pending_start > 0 && p.pending_end == sizeof p.pending) {
        memmove(p.pending, p.pending + p.pending_start, p.pending_end - p.pending_start);
        p.pending_end -= p.pending_start;
        p.pending_start = 0;
    }
    uint8_t chunk[sizeof p.pending];
    size_t room = sizeof p.pending - p.pending_end, got = 0;
    net_received r = net_receive(p.sock, chunk, room, deadline, &got);
    if (r != NET_GOT_BYTES) return r;
    if (p.timing_reply) {
        uint64_t took = platform_now_ms() - p.write_time;
        if (took > p.round_trip_ms && took <= NET_MAX_ROUND_TRIP_MS) p.round_trip_ms = took;
        p.timing_reply = false;
        p.reply_timed = true;
    }
    p.pending_end += take(p.in, chunk, got, p.pending + p.pending_end, room);
    if (p.in.reply_length > 0) {
        net_port_send(p, p.in.replies, p.in.reply_length, SERIAL_CONNECT_TIMEOUT_MS);
        p.in.reply_length = 0;
    }
    return NET_GOT_BYTES;
}

// The server closed the connection; what it said before, if anything, is
// the reason (ser2net: "Port already in use").
int32_t net_port_closed(net_port& p, const char* call)
{
    char said[64];
    size_t n = 0;
    for (size_t i = p.pending_start; i < p.pending_end && n + 1 < sizeof said; ++i) {
        uint8_t c = p.pending[i];
        if (c == '\r' || c == '\n') {
            if (n > 0) break;
            continue;
        }
        said[n++] = c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
    }
    said[n] = '\0';
    return serial_fail(SERIAL_FAULT_CLOSED, call, 0, said);
}

namespace {

// One connection: connect, negotiate, and see that the server serves.
int32_t connect_once(net_port& p, const char* host, const char* port, bool use_telnet,
                     const serial_line& line)
{
    memset(&p, 0, sizeof p);
    p.sock = NET_NO_SOCKET;
    start(p.in, use_telnet);
    uint64_t began = platform_now_ms();
    int32_t result = net_connect(host, port, &p.sock);
    if (result != SERIAL_OK) return result;
    p.round_trip_ms = platform_now_ms() - began;
    net_port_note(p, "connected to %s port %s (%s)", host, port,
         use_telnet ? "telnet, RFC 2217" : "raw TCP: the server's line settings");
    if (use_telnet) result = rfc2217_negotiate(p, line);
    // A server that will not serve says so and closes.
    if (result == SERIAL_OK) {
        result = net_port_receive_until(p, platform_now_ms() + SETTLE_MS + 2 * p.round_trip_ms, "open",
                               [] { return false; });
    }
    if (result != SERIAL_OK) {
        net_close(p.sock);
        p.sock = NET_NO_SOCKET;
    }
    return result;
}

int32_t net_open(size_t slot, const char* name, const serial_line& line)
{
    net_port& p = port_of(slot);
    char host[SERIAL_MAX_PATH + 1], port[6];
    bool use_telnet = false;
    if (!parse_address(name, &use_telnet, host, sizeof host, port)) {
        return serial_fail(SERIAL_FAULT_ADDRESS, "address", 0, address_problem);
    }
    // ser2net gives the device up a moment after its client has gone, so a
    // connection made right after a run on another of its ports for the
    // same device is turned away ("Port's device already in use"). Turned
    // away for longer, the port is in use.
    uint64_t give_up = platform_now_ms() + BUSY_RETRY_MS;
    for (;;) {
        int32_t result = connect_once(p, host, port, use_telnet, line);
        if (result == SERIAL_OK || serial_last_error().fault != SERIAL_FAULT_CLOSED ||
            platform_now_ms() + BUSY_PAUSE_MS > give_up || serial_stopped()) {
            return result;
        }
        platform_sleep_ms(BUSY_PAUSE_MS);
    }
}

// The time-out is applied by each read and write.
int32_t net_set_timeout(size_t, uint32_t) { return SERIAL_OK; }

// Moves up to `max` of the bytes decoded and not read yet into `out`: how many.
uint32_t take_pending(net_port& p, uint8_t* out, uint32_t max)
{
    size_t have = p.pending_end - p.pending_start;
    size_t n = have < max ? have : max;
    if (n > 0) memcpy(out, p.pending + p.pending_start, n);
    p.pending_start += n;
    return static_cast<uint32_t>(n);
}

// Waits until `deadline` for more from the server, for a read that began
// when `commands_before` bytes of telnet commands had come and has read
// nothing yet or not: SERIAL_OK, or the read's failure.
int32_t receive_for_read(net_port& p, uint64_t deadline, uint64_t commands_before, bool nothing_read)
{
    net_received r = net_port_receive(p, deadline);
    if (r == NET_TIMED_OUT) {
        bool stream = nothing_read && p.in.commands - commands_before >= NET_COMMAND_STREAM_BYTES;
        return serial_fail(stream ? SERIAL_FAULT_NO_DATA : SERIAL_FAULT_TIMEOUT, "read", 0, "");
    }
    if (r == NET_CLOSED) return net_port_closed(p, "read");
    return r == NET_FAILED ? SERIAL_EIO : SERIAL_OK;
}

// The time-out is each call's own here: serial_read_within reads as
// serial_read does.
int32_t net_read(size_t slot, void* buffer, uint32_t count, uint32_t timeout_ms)
{
    net_port& p = port_of(slot);
    auto* out = static_cast<uint8_t*>(buffer);
    uint32_t done = 0;
    uint64_t deadline = platform_now_ms() + timeout_ms;
    uint64_t commands_before = p.in.commands;
    for (;;) {
        done += take_pending(p, out + done, count - done);
        if (done == count) return SERIAL_OK;
        int32_t result = receive_for_read(p, deadline, commands_before, done == 0);
        if (result != SERIAL_OK) return result;
    }
}

int32_t net_read_some(size_t slot, void* buffer, uint32_t max, uint32_t first_ms, uint32_t* got)
{
    net_port& p = port_of(slot);
    uint64_t deadline = platform_now_ms() + first_ms;
    uint64_t commands_before = p.in.commands;
    while (p.pending_end == p.pending_start) {
        int32_t result = receive_for_read(p, deadline, commands_before, true);
        if (result != SERIAL_OK) return result;
    }
    *got = take_pending(p, static_cast<uint8_t*>(buffer), max);
    return SERIAL_OK;
}

int32_t net_write(size_t slot, const void* bytes, uint32_t count, uint32_t timeout_ms)
{
    net_port& p = port_of(slot);
    uint64_t deadline = platform_now_ms() + timeout_ms;
    if (!p.reply_timed && !p.timing_reply) {
        p.timing_reply = true;
        p.write_time = platform_now_ms();
    }
    const auto* in = static_cast<const uint8_t*>(bytes);
    if (!p.in.telnet) return net_send(p.sock, in, count, deadline);
    // Telnet doubles a data byte 255, which would otherwise start a command.
    uint8_t out[1024];
    for (size_t done = 0; done < count;) {
        size_t taken = 0;
        size_t n = escape(in + done, count - done, out, sizeof out, &taken);
        int32_t result = net_send(p.sock, out, n, deadline);
        if (result != SERIAL_OK) return result;
        done += taken;
    }
    return SERIAL_OK;
}

int32_t net_set_dtr(size_t slot, bool on)
{
    net_port& p = port_of(slot);
    if (!p.in.telnet) {
        return serial_fail(SERIAL_FAULT_SETTINGS, "set DTR", 0, "a raw TCP port has no modem lines");
    }
    const uint8_t control = on ? CONTROL_DTR_ON : CONTROL_DTR_OFF;
    return rfc2217_request(p, SET_CONTROL, &control, 1);
}

// The server is asked to drop what it holds from the device; what is on
// its way already arrives within the round trip, which the quiet spell
// covers, twice over for a link whose delay varies. Bytes are read one by
// one, so that the spell counts from the last byte that came: a tag's echo
// can arrive in pieces, some time apart.
serial_flush_plan net_prepare_flush(size_t slot)
{
    net_port& p = port_of(slot);
    if (p.in.telnet) {
        const uint8_t what = PURGE_SERVER_RECEIVE;
        (void)rfc2217_request(p, PURGE_DATA, &what, 1);  // a failure shows in the next read
    }
    return {static_cast<uint32_t>(SERIAL_QUIET_MS + 2 * p.round_trip_ms), 1};
}

void net_describe(size_t slot, char* text, size_t size)
{
    const net_port& p = port_of(slot);
    snprintf(text, size, "%s; round trip %lu ms%s, so an input flush waits for %lu ms of quiet",
             p.notes, static_cast<unsigned long>(p.round_trip_ms),
             p.reply_timed ? " (the first reply's)" : "",
             static_cast<unsigned long>(SERIAL_QUIET_MS + 2 * p.round_trip_ms));
}

serial_handle net_handle(size_t slot) { return port_of(slot).sock; }

// Only a close: this also runs from the interrupt handler.
void net_close_port(size_t slot)
{
    net_port& p = port_of(slot);
    net_close(p.sock);
    p.sock = NET_NO_SOCKET;
}

// Who else uses the port is known to the server only.
void net_find_holders(const char*, char* text, size_t size)
{
    if (size > 0) text[0] = '\0';
}

// The addresses and port the host resolves to, whichever the scheme: both
// reach one server port, and so one device. A host that does not resolve
// is known by its name.
void net_identify(const char* name, serial_port_identity* id)
{
    char host[SERIAL_MAX_PATH + 1], port[6];
    bool use_telnet = false;
    if (!parse_address(name, &use_telnet, host, sizeof host, port)) return;
    net_address found[NET_MAX_ADDRESSES];
    size_t n = net_resolve(host, port, found, NET_MAX_ADDRESSES);
    for (size_t i = 0; i < n; ++i) {
        char text[64];
        net_address_text(found[i], text, sizeof text);
        serial_add_identity_key(id, "tcp %s", text);
    }
    if (n == 0) {
        for (char* c = host; *c != '\0'; ++c) *c = ascii_lower(*c);
        serial_add_identity_key(id, "host %.60s:%s", host, port);
    }
}

// Whether the host name resolves: only a connection can tell more.
bool net_exists(const char* name)
{
    char host[SERIAL_MAX_PATH + 1], port[6];
    bool use_telnet = false;
    net_address found[NET_MAX_ADDRESSES];
    return parse_address(name, &use_telnet, host, sizeof host, port) &&
           net_resolve(host, port, found, NET_MAX_ADDRESSES) > 0;
}

}  // namespace

const serial_backend serial_net_backend = {
    net_open,          net_set_timeout, net_read,          net_read,     net_read_some,
    net_write,         net_set_dtr,     net_handle,        net_close_port, net_prepare_flush,
    net_describe,      net_find_holders, net_identify,     net_exists,   false,
};
