// Network ports: a serial port that a server (ser2net) shares over TCP,
// either raw ("socket://host:port": the bytes as they are) or as telnet
// with the Com Port Control Option of RFC 2217 ("rfc2217://host:port"),
// which also carries the line settings. The driver's semantics hold:
// exact-length reads and writes with total time-outs, and an input flush
// that ends when the line has been quiet, here for long enough to cover the
// round trip. Who may use the port is the server's business (ser2net
// serves one client at a time).
#include "common/bytes.h"
#include "net_socket.h"
#include "platform/platform.h"
#include "serial_backend.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace {

// Telnet (RFC 854, RFC 856 binary, RFC 858 suppress go-ahead) and the Com
// Port Control Option (RFC 2217).
constexpr uint8_t IAC = 255, DONT = 254, DO = 253, WONT = 252, WILL = 251, SB = 250, SE = 240;
constexpr uint8_t OPT_BINARY = 0, OPT_SGA = 3, OPT_COM_PORT = 44;
// Requests to the server; it answers each with the code + 100.
constexpr uint8_t SET_BAUDRATE = 1, SET_DATASIZE = 2, SET_PARITY = 3, SET_STOPSIZE = 4,
                  SET_CONTROL = 5, PURGE_DATA = 12, SERVER_ANSWER = 100;
constexpr uint8_t PURGE_SERVER_RECEIVE = 1;  // what the server has from the device
constexpr uint8_t CONTROL_NO_FLOW = 1, CONTROL_DTR_ON = 8, CONTROL_DTR_OFF = 9;

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

enum class rx_state : uint8_t { DATA, COMMAND, OPTION, SUBOPTION, SUBOPTION_IAC };

// One bit per telnet option.
struct option_set {
    uint8_t bits[32];
    bool has(uint8_t option) const { return (bits[option / 8] >> (option % 8) & 1) != 0; }
    void add(uint8_t option) { bits[option / 8] = static_cast<uint8_t>(bits[option / 8] | 1 << (option % 8)); }
};

// The state of one network port (fields ordered by size).
struct net_port {
    net_socket sock;
    size_t pending_start, pending_end;  // of `pending`
    size_t sub_length;                  // of `sub`
    size_t reply_length;                // of `replies`
    uint64_t round_trip_ms;
    uint64_t write_time;  // when the write whose first reply is timed went out
    uint32_t answered;    // bit n: request n acknowledged
    bool telnet;
    rx_state state;       // the telnet reader
    uint8_t verb;         // WILL, WONT, DO or DONT, awaiting its option
    bool com_port_taken, com_port_refused;
    bool timing_reply, reply_timed;
    option_set sent_will, sent_wont, sent_do, sent_dont;  // what was said of each option
    uint8_t sub[64];       // a subnegotiation being read
    uint8_t replies[96];   // answers to the server, sent after each chunk is read
    char notes[320];       // how connecting went, for the trace
    uint8_t pending[4096]; // bytes from the tag, decoded, not read yet
};
net_port ports[SERIAL_NAMED_SLOTS];

net_port& port_of(size_t slot) { return ports[slot - SERIAL_FIRST_NAMED_SLOT]; }

void reset(net_port& p)
{
    memset(&p, 0, sizeof p);
    p.sock = NET_NO_SOCKET;
}

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

// "socket://HOST:PORT" or "rfc2217://HOST:PORT" into its parts; HOST in
// brackets is an IPv6 address. False for anything else.
bool parse_address(const char* name, bool* telnet, char* host, size_t host_size, char* port)
{
    *telnet = strncmp(name, "rfc2217://", 10) == 0;
    const char* rest = name + (*telnet ? 10 : 9);
    const char* colon = strrchr(rest, ':');
    if (colon == nullptr) return false;
    const char* host_start = rest;
    const char* host_end = colon;
    if (rest[0] == '[') {
        host_start = rest + 1;
        host_end = colon - 1;
        if (host_end < host_start || *host_end != ']') return false;
        for (const char* c = host_start; c < host_end; ++c) {
            if (!is_host_char(*c) && *c != ':') return false;
        }
    } else {
        for (const char* c = host_start; c < host_end; ++c) {
            if (!is_host_char(*c)) return false;
        }
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

void queue_reply(net_port& p, uint8_t verb, uint8_t option)
{
    if (p.reply_length + 3 > sizeof p.replies) return;
    p.replies[p.reply_length++] = IAC;
    p.replies[p.reply_length++] = verb;
    p.replies[p.reply_length++] = option;
    (verb == WILL ? p.sent_will : verb == WONT ? p.sent_wont : verb == DO ? p.sent_do : p.sent_dont)
        .add(option);
}

// The server says it will, won't, wants us to, or wants us not to use an
// option. Binary transmission and no go-ahead are welcome both ways, the
// Com Port Control Option from this side; anything else (the server's echo
// above all) is declined. Each option is answered once, so that two sides
// never answer each other for ever.
void take_option(net_port& p, uint8_t verb, uint8_t option)
{
    bool wanted = option == OPT_BINARY || option == OPT_SGA;
    if (verb == WILL) {
        if (wanted && !p.sent_do.has(option)) queue_reply(p, DO, option);
        if (!wanted && !p.sent_dont.has(option)) queue_reply(p, DONT, option);
    } else if (verb == DO) {
        if (option == OPT_COM_PORT) p.com_port_taken = true;
        wanted = wanted || option == OPT_COM_PORT;
        if (wanted && !p.sent_will.has(option)) queue_reply(p, WILL, option);
        if (!wanted && !p.sent_wont.has(option)) queue_reply(p, WONT, option);
    } else if (verb == DONT && option == OPT_COM_PORT) {
        p.com_port_refused = true;
    }
}

// A whole subnegotiation: the server's answers to requests are noted; its
// notifications (line and modem state) are of no use here.
void take_suboption(net_port& p)
{
    if (p.sub_length < 2 || p.sub[0] != OPT_COM_PORT || p.sub[1] <= SERVER_ANSWER) return;
    unsigned request = p.sub[1] - SERVER_ANSWER;
    if (request < 32) p.answered |= 1u << request;
}

void push_data(net_port& p, uint8_t byte)
{
    if (p.pending_end < sizeof p.pending) p.pending[p.pending_end++] = byte;
}

// One received byte through the telnet reader (a raw port's bytes are all data).
void take_byte(net_port& p, uint8_t byte)
{
    switch (p.state) {
    case rx_state::DATA:
        if (p.telnet && byte == IAC) {
            p.state = rx_state::COMMAND;
        } else {
            push_data(p, byte);
        }
        break;
    case rx_state::COMMAND:
        p.state = rx_state::DATA;
        if (byte == IAC) {
            push_data(p, IAC);  // a data byte 255, doubled on the wire
        } else if (byte >= WILL && byte <= DONT) {
            p.verb = byte;
            p.state = rx_state::OPTION;
        } else if (byte == SB) {
            p.sub_length = 0;
            p.state = rx_state::SUBOPTION;
        }
        break;  // other commands (NOP, data mark, go-ahead) carry nothing
    case rx_state::OPTION:
        take_option(p, p.verb, byte);
        p.state = rx_state::DATA;
        break;
    case rx_state::SUBOPTION:
        if (byte == IAC) {
            p.state = rx_state::SUBOPTION_IAC;
        } else if (p.sub_length < sizeof p.sub) {
            p.sub[p.sub_length++] = byte;
        }
        break;
    case rx_state::SUBOPTION_IAC:
        if (byte == IAC) {
            if (p.sub_length < sizeof p.sub) p.sub[p.sub_length++] = IAC;
            p.state = rx_state::SUBOPTION;
        } else {
            if (byte == SE) take_suboption(p);
            p.state = rx_state::DATA;
        }
        break;
    }
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
    for (size_t i = 0; i < got; ++i) take_byte(p, chunk[i]);
    if (p.reply_length > 0) {
        send_bytes(p, p.replies, p.reply_length, SERIAL_CONNECT_TIMEOUT_MS);
        p.reply_length = 0;
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
    uint8_t out[24];
    size_t n = 0;
    out[n++] = IAC;
    out[n++] = SB;
    out[n++] = OPT_COM_PORT;
    out[n++] = request;
    for (size_t i = 0; i < length; ++i) {
        out[n++] = value[i];
        if (value[i] == IAC) out[n++] = IAC;
    }
    out[n++] = IAC;
    out[n++] = SE;
    return send_bytes(p, out, n, SERIAL_CONNECT_TIMEOUT_MS);
}

const char* const REQUEST_NAMES[] = {"", "baud rate", "data size", "parity", "stop size", "control"};

// Asks for the option (and binary transmission both ways), then sets the
// line. Settings the server does not acknowledge in time are noted and the
// port is used all the same.
int32_t negotiate(net_port& p, const serial_line& line)
{
    const uint8_t offers[] = {IAC, WILL, OPT_COM_PORT, IAC, WILL, OPT_BINARY, IAC, DO, OPT_BINARY,
                              IAC, WILL, OPT_SGA,      IAC, DO,   OPT_SGA};
    for (uint8_t option : {OPT_COM_PORT, OPT_BINARY, OPT_SGA}) p.sent_will.add(option);
    for (uint8_t option : {OPT_BINARY, OPT_SGA}) p.sent_do.add(option);
    int32_t result = send_bytes(p, offers, sizeof offers, SERIAL_CONNECT_TIMEOUT_MS);
    if (result != SERIAL_OK) return result;
    uint64_t deadline = platform_now_ms() + OPTION_WAIT_MS + 2 * p.round_trip_ms;
    while (!p.com_port_taken && !p.com_port_refused) {
        net_received r = receive_some(p, deadline);
        if (r == NET_CLOSED) return closed(p, "telnet");
        if (r == NET_FAILED) return SERIAL_EIO;
        if (r == NET_TIMED_OUT) break;
    }
    if (!p.com_port_taken) {
        return serial_fail(SERIAL_FAULT_NO_RFC2217, "telnet", 0,
                           p.com_port_refused ? "the server refused the Com Port Control Option"
                                              : "no answer to the Com Port Control Option");
    }
    note(p, "; the server took the Com Port Control Option");

    static const uint8_t parity_codes[] = {1, 2, 3};  // none, odd, even
    const uint8_t baud[4] = {static_cast<uint8_t>(line.baud >> 24),
                             static_cast<uint8_t>(line.baud >> 16),
                             static_cast<uint8_t>(line.baud >> 8), static_cast<uint8_t>(line.baud)};
    const uint8_t size = line.data_bits, stop = line.stop_bits, control = CONTROL_NO_FLOW;
    const uint8_t parity = line.parity < 3 ? parity_codes[line.parity] : 1;
    uint64_t asked = platform_now_ms();
    if ((result = send_request(p, SET_BAUDRATE, baud, 4)) != SERIAL_OK ||
        (result = send_request(p, SET_DATASIZE, &size, 1)) != SERIAL_OK ||
        (result = send_request(p, SET_PARITY, &parity, 1)) != SERIAL_OK ||
        (result = send_request(p, SET_STOPSIZE, &stop, 1)) != SERIAL_OK ||
        (result = send_request(p, SET_CONTROL, &control, 1)) != SERIAL_OK) {
        return result;
    }
    const uint32_t all = 1u << SET_BAUDRATE | 1u << SET_DATASIZE | 1u << SET_PARITY |
                         1u << SET_STOPSIZE | 1u << SET_CONTROL;
    uint64_t wait = SETTINGS_WAIT_MS + 2 * p.round_trip_ms;
    deadline = asked + wait;
    bool first = true;
    while ((p.answered & all) != all) {
        net_received r = receive_some(p, deadline);
        if (r == NET_CLOSED) return closed(p, "telnet");
        if (r == NET_FAILED) return SERIAL_EIO;
        if (r == NET_TIMED_OUT) break;
        // The first answer needed a round trip through the server.
        uint64_t took = platform_now_ms() - asked;
        if (first && p.answered != 0 && took <= MAX_ROUND_TRIP_MS && took > p.round_trip_ms) {
            p.round_trip_ms = took;
        }
        first = first && p.answered == 0;
    }
    note(p, "; asked for %lu baud, %u data bits, %s parity, %u stop bit%s, no flow control",
         static_cast<unsigned long>(line.baud), line.data_bits,
         line.parity == 0 ? "no" : line.parity == 1 ? "odd" : "even", line.stop_bits,
         line.stop_bits == 1 ? "" : "s");
    if ((p.answered & all) == all) {
        note(p, ", each acknowledged");
    } else {
        note(p, "; not acknowledged within %lu ms, going on without:",
             static_cast<unsigned long>(wait));
        for (uint8_t request = SET_BAUDRATE; request <= SET_CONTROL; ++request) {
            if ((p.answered & 1u << request) == 0) note(p, " %s", REQUEST_NAMES[request]);
        }
    }
    return SERIAL_OK;
}

// One connection: connect, negotiate, and see that the server serves.
int32_t connect_once(net_port& p, const char* host, const char* port, bool telnet,
                     const serial_line& line)
{
    reset(p);
    p.telnet = telnet;
    uint64_t start = platform_now_ms();
    int32_t result = net_connect(host, port, &p.sock);
    if (result != SERIAL_OK) return result;
    p.round_trip_ms = platform_now_ms() - start;
    note(p, "connected to %s port %s (%s)", host, port,
         telnet ? "telnet, RFC 2217" : "raw TCP: the server's line settings");
    if (telnet) result = negotiate(p, line);
    // A server that will not serve says so and closes.
    uint64_t settled = platform_now_ms() + SETTLE_MS + 2 * p.round_trip_ms;
    while (result == SERIAL_OK) {
        net_received r = receive_some(p, settled);
        if (r == NET_TIMED_OUT) break;
        if (r == NET_CLOSED) result = closed(p, "open");
        if (r == NET_FAILED) result = SERIAL_EIO;
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
    bool telnet = false;
    if (!parse_address(name, &telnet, host, sizeof host, port)) {
        return serial_fail(SERIAL_FAULT_ADDRESS, "address", 0, "");
    }
    // ser2net gives the device up a moment after its client has gone, so a
    // connection made right after a run on another of its ports for the
    // same device is turned away ("Port's device already in use"). Turned
    // away for longer, the port is in use.
    uint64_t give_up = platform_now_ms() + BUSY_RETRY_MS;
    for (;;) {
        int32_t result = connect_once(p, host, port, telnet, line);
        if (result == SERIAL_OK || serial_last_error().fault != SERIAL_FAULT_CLOSED ||
            platform_now_ms() + BUSY_PAUSE_MS > give_up) {
            return result;
        }
        platform_sleep_ms(BUSY_PAUSE_MS);
    }
}

// The time-out is applied by each read and write.
int32_t net_set_timeout(size_t, uint32_t) { return SERIAL_OK; }

int32_t net_read(size_t slot, void* buffer, uint32_t count, uint32_t timeout_ms)
{
    net_port& p = port_of(slot);
    auto* out = static_cast<uint8_t*>(buffer);
    uint32_t done = 0;
    uint64_t deadline = platform_now_ms() + timeout_ms;
    for (;;) {
        size_t have = p.pending_end - p.pending_start;
        size_t take = have < count - done ? have : count - done;
        if (take > 0) memcpy(out + done, p.pending + p.pending_start, take);
        p.pending_start += take;
        done += static_cast<uint32_t>(take);
        if (done == count) return SERIAL_OK;
        net_received r = receive_some(p, deadline);
        if (r == NET_TIMED_OUT) return serial_fail(SERIAL_FAULT_TIMEOUT, "read", 0, "");
        if (r == NET_CLOSED) return closed(p, "read");
        if (r == NET_FAILED) return SERIAL_EIO;
    }
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
    if (!p.telnet) return net_send(p.sock, in, count, deadline);
    // Telnet doubles a data byte 255, which would otherwise start a command.
    uint8_t out[1024];
    size_t n = 0;
    for (uint32_t i = 0; i < count; ++i) {
        out[n++] = in[i];
        if (in[i] == IAC) out[n++] = IAC;
        if (n + 2 > sizeof out || i + 1 == count) {
            int32_t result = net_send(p.sock, out, n, deadline);
            if (result != SERIAL_OK) return result;
            n = 0;
        }
    }
    return SERIAL_OK;
}

int32_t net_set_dtr(size_t slot, bool on)
{
    net_port& p = port_of(slot);
    if (!p.telnet) {
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
    if (p.telnet) {
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

}  // namespace

const serial_backend serial_net_backend = {
    net_open,          net_set_timeout, net_read,          net_write,    net_set_dtr,
    net_handle,        net_close_port,  net_prepare_flush, net_describe,
    net_find_holders,  false,
};
