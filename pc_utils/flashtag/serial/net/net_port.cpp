// Network ports: a serial port that a server (ser2net) shares over TCP,
// either raw ("socket://host:port": the bytes as they are) or as telnet
// with the Com Port Control Option of RFC 2217 ("rfc2217://host:port"),
// which also carries the line settings. The driver's semantics hold:
// exact-length reads and writes with total time-outs, and an input flush
// that ends when the line has been quiet, here for long enough to cover the
// round trip. Every wait ends at its deadline, whatever the server keeps
// sending. Who may use the port is the server's business (ser2net serves
// one client at a time).
#include "common/bytes.h"
#include "net_socket.h"
#include "platform/platform.h"
#include "serial/serial_backend.h"
#include "telnet.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

using namespace telnet;

constexpr uint8_t PURGE_SERVER_RECEIVE = 1;  // what the server has from the device
constexpr uint8_t CONTROL_NO_FLOW = 1, CONTROL_DTR_ON = 8, CONTROL_DTR_OFF = 9;
constexpr uint8_t PARITY_NONE = 1;  // the option's own codes: none 1, odd 2, even 3

// How long the server has to take the option, and then to acknowledge the
// line settings (some servers never acknowledge some of them), on top of
// the round trip.
constexpr uint64_t OPTION_WAIT_MS = 2000;
constexpr uint64_t SETTINGS_WAIT_MS = 500;
// A server that will not serve (ser2net when another client has the port)
// says so and closes at once: a connection still open this long after it
// was made (and negotiated) is served.
constexpr uint64_t SETTLE_MS = 50;
// How long a server that closes at once is tried again, and how often.
constexpr uint64_t BUSY_RETRY_MS = 1000;
constexpr uint32_t BUSY_PAUSE_MS = 100;
// A longer first reply is the tag taking its time, not the network.
constexpr uint64_t MAX_ROUND_TRIP_MS = 2000;
// A wait that saw this many bytes of telnet commands and no data met a
// server that keeps the connection busy without passing anything on (a
// notification now and then is normal).
constexpr uint64_t COMMAND_STREAM_BYTES = 256;

// The state of one network port (fields ordered by size).
struct net_port {
    net_socket sock;
    size_t pending_start, pending_end;  // of `pending`
    uint64_t round_trip_ms;
    uint64_t write_time;  // when the write whose first reply is timed went out
    bool timing_reply, reply_timed;
    reader in;             // the telnet reader (a raw port's bytes all pass)
    char notes[320];       // how connecting went, for the trace
    uint8_t pending[4096]; // bytes from the tag, decoded, not read yet
};
net_port ports[SERIAL_NAMED_SLOTS];

net_port& port_of(size_t slot) { return ports[slot - SERIAL_FIRST_NAMED_SLOT]; }

void note(net_port& p, const char* format, ...) __attribute__((format(printf, 2, 3)));
void note(net_port& p, const char* format, ...)
{
    char piece[160];
    va_list args;
    va_start(args, format);
    vsnprintf(piece, sizeof piece, format, args);  // NOLINT(clang-analyzer-valist.Uninitialized)
    va_end(args);
    size_t used = strlen(p.notes);
    append_piece(p.notes, sizeof p.notes, &used, piece);
}

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

int32_t send_bytes(net_port& p, const uint8_t* bytes, size_t count, uint64_t timeout_ms)
{
    return net_send(p.sock, bytes, count, platform_now_ms() + timeout_ms);
}

// Reads what the server has sent, waiting until `deadline` for something.
net_received receive_some(net_port& p, uint64_t deadline)
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
        if (took > p.round_trip_ms && took <= MAX_ROUND_TRIP_MS) p.round_trip_ms = took;
        p.timing_reply = false;
        p.reply_timed = true;
    }
    p.pending_end += take(p.in, chunk, got, p.pending + p.pending_end, room);
    if (p.in.reply_length > 0) {
        send_bytes(p, p.in.replies, p.in.reply_length, SERIAL_CONNECT_TIMEOUT_MS);
        p.in.reply_length = 0;
    }
    return NET_GOT_BYTES;
}

// The server closed the connection; what it said before, if anything, is
// the reason (ser2net: "Port already in use").
int32_t closed(net_port& p, const char* call)
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

// A request of the Com Port Control Option, with its value.
int32_t send_request(net_port& p, uint8_t request, const uint8_t* value, size_t length)
{
    uint8_t out[REQUEST_SIZE];
    return send_bytes(p, out, encode_request(request, value, length, out),
                      SERIAL_CONNECT_TIMEOUT_MS);
}

// Receives until `done` holds or `deadline` passes: SERIAL_OK either way,
// or the failure of the connection.
template <typename condition>
int32_t receive_until(net_port& p, uint64_t deadline, const char* call, condition done)
{
    while (!done()) {
        net_received r = receive_some(p, deadline);
        if (r == NET_CLOSED) return closed(p, call);
        if (r == NET_FAILED) return SERIAL_EIO;
        if (r == NET_TIMED_OUT) break;
    }
    return SERIAL_OK;
}

const char* const REQUEST_NAMES[] = {"", "baud rate", "data size", "parity", "stop size", "control"};

uint32_t value_of(const uint8_t* bytes, size_t length)
{
    uint32_t v = 0;
    for (size_t i = 0; i < length; ++i) v = v << 8 | bytes[i];
    return v;
}

// A line setting in the option's codes as a user reads it: with its unit
// ("9600 baud", "even parity") or bare ("115200", "none").
void setting_words(uint8_t request, uint32_t v, bool with_unit, char* text, size_t size)
{
    static const char* const parities[] = {"?", "none", "odd", "even", "mark", "space"};
    static const char* const stops[] = {"?", "1", "2", "1.5"};
    static const char* const flows[] = {"?", "none", "XON/XOFF", "hardware"};
    const char* word = "";
    switch (request) {
    case SET_PARITY: word = v < 6 ? parities[v] : "?"; break;
    case SET_STOPSIZE: word = v < 4 ? stops[v] : "?"; break;
    case SET_CONTROL: word = v < 4 ? flows[v] : "?"; break;
    default: break;
    }
    char number[16];
    snprintf(number, sizeof number, "%lu", static_cast<unsigned long>(v));
    if (word[0] == '\0' || word[0] == '?') word = number;
    static const char* const units[] = {"", " baud", " data bits", " parity", " stop bits",
                                        " flow control"};
    snprintf(text, size, "%s%s", word, with_unit ? units[request] : "");
}

// Each setting the server acknowledged must be the one asked for: a server
// that will not take 115200 8N1 would pass the tag's bytes garbled.
int32_t check_acknowledged(const net_port& p, const uint8_t (&asked)[MAX_KEPT_REQUEST + 1][MAX_VALUE],
                           const size_t (&length)[MAX_KEPT_REQUEST + 1])
{
    for (uint8_t request = SET_BAUDRATE; request <= MAX_KEPT_REQUEST; ++request) {
        if ((p.in.answered & 1u << request) == 0) continue;
        char why[128];
        if (p.in.answer_length[request] != length[request]) {
            snprintf(why, sizeof why, "the server answered the %s with %u bytes, not %u",
                     REQUEST_NAMES[request], p.in.answer_length[request],
                     static_cast<unsigned>(length[request]));
            return serial_fail(SERIAL_FAULT_SETTINGS, "RFC 2217", 0, why);
        }
        uint32_t got = value_of(p.in.answer[request], length[request]);
        uint32_t want = value_of(asked[request], length[request]);
        if (got == want) continue;
        char set[48], not_set[48];
        setting_words(request, got, true, set, sizeof set);
        setting_words(request, want, false, not_set, sizeof not_set);
        snprintf(why, sizeof why, "the server set %s, not %s", set, not_set);
        return serial_fail(SERIAL_FAULT_SETTINGS, "RFC 2217", 0, why);
    }
    return SERIAL_OK;
}

// Asks for the option (and binary transmission both ways), then sets the
// line. Settings the server does not acknowledge in time are noted and the
// port is used all the same; one it acknowledges with another value fails.
int32_t negotiate(net_port& p, const serial_line& line)
{
    uint8_t offers[OFFER_SIZE];
    int32_t result = send_bytes(p, offers, offer(p.in, offers), SERIAL_CONNECT_TIMEOUT_MS);
    if (result != SERIAL_OK) return result;
    result = receive_until(p, platform_now_ms() + OPTION_WAIT_MS + 2 * p.round_trip_ms, "telnet",
                           [&p] { return p.in.com_port_taken || p.in.com_port_refused; });
    if (result != SERIAL_OK) return result;
    if (!p.in.com_port_taken) {
        return serial_fail(SERIAL_FAULT_NO_RFC2217, "telnet", 0,
                           p.in.com_port_refused ? "the server refused the Com Port Control Option"
                           : p.in.commands >= COMMAND_STREAM_BYTES
                               ? "a stream of telnet commands, and no answer to the Com Port "
                                 "Control Option"
                               : "no answer to the Com Port Control Option");
    }
    note(p, "; the server took the Com Port Control Option");

    static const uint8_t parity_codes[] = {1, 2, 3};  // none, odd, even
    uint8_t asked[MAX_KEPT_REQUEST + 1][MAX_VALUE] = {};
    size_t length[MAX_KEPT_REQUEST + 1] = {0, 4, 1, 1, 1, 1};
    for (size_t i = 0; i < 4; ++i) asked[SET_BAUDRATE][i] = static_cast<uint8_t>(line.baud >> (24 - 8 * i));
    asked[SET_DATASIZE][0] = line.data_bits;
    asked[SET_PARITY][0] = line.parity < 3 ? parity_codes[line.parity] : PARITY_NONE;
    asked[SET_STOPSIZE][0] = line.stop_bits;
    asked[SET_CONTROL][0] = CONTROL_NO_FLOW;
    uint64_t sent = platform_now_ms();
    for (uint8_t request = SET_BAUDRATE; request <= SET_CONTROL && result == SERIAL_OK; ++request) {
        result = send_request(p, request, asked[request], length[request]);
    }
    if (result != SERIAL_OK) return result;
    const uint32_t all = 1u << SET_BAUDRATE | 1u << SET_DATASIZE | 1u << SET_PARITY |
                         1u << SET_STOPSIZE | 1u << SET_CONTROL;
    uint64_t wait = SETTINGS_WAIT_MS + 2 * p.round_trip_ms;
    bool first = true;
    result = receive_until(p, sent + wait, "telnet", [&] {
        // The first answer needed a round trip through the server.
        uint64_t took = platform_now_ms() - sent;
        if (first && p.in.answered != 0 && took <= MAX_ROUND_TRIP_MS && took > p.round_trip_ms) {
            p.round_trip_ms = took;
        }
        first = first && p.in.answered == 0;
        return (p.in.answered & all) == all;
    });
    if (result == SERIAL_OK) result = check_acknowledged(p, asked, length);
    if (result != SERIAL_OK) return result;
    note(p, "; asked for %lu baud, %u data bits, %s parity, %u stop bit%s, no flow control",
         static_cast<unsigned long>(line.baud), line.data_bits,
         line.parity == 0 ? "no" : line.parity == 1 ? "odd" : "even", line.stop_bits,
         line.stop_bits == 1 ? "" : "s");
    if ((p.in.answered & all) == all) {
        note(p, ", each acknowledged as asked");
    } else {
        note(p, "; not acknowledged within %lu ms, going on without:",
             static_cast<unsigned long>(wait));
        for (uint8_t request = SET_BAUDRATE; request <= SET_CONTROL; ++request) {
            if ((p.in.answered & 1u << request) == 0) note(p, " %s", REQUEST_NAMES[request]);
        }
    }
    return SERIAL_OK;
}

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
    note(p, "connected to %s port %s (%s)", host, port,
         use_telnet ? "telnet, RFC 2217" : "raw TCP: the server's line settings");
    if (use_telnet) result = negotiate(p, line);
    // A server that will not serve says so and closes.
    if (result == SERIAL_OK) {
        result = receive_until(p, platform_now_ms() + SETTLE_MS + 2 * p.round_trip_ms, "open",
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
    net_received r = receive_some(p, deadline);
    if (r == NET_TIMED_OUT) {
        bool stream = nothing_read && p.in.commands - commands_before >= COMMAND_STREAM_BYTES;
        return serial_fail(stream ? SERIAL_FAULT_NO_DATA : SERIAL_FAULT_TIMEOUT, "read", 0, "");
    }
    if (r == NET_CLOSED) return closed(p, "read");
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
    return send_request(p, SET_CONTROL, &control, 1);
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
        (void)send_request(p, PURGE_DATA, &what, 1);  // a failure shows in the next read
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
