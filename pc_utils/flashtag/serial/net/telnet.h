// The telnet side of a network port, as bytes and nothing else: what the
// server sends is taken byte by byte into the tag's data and the server's
// telnet events (RFC 854; binary transmission, RFC 856; no go-ahead, RFC
// 858; the Com Port Control Option, RFC 2217), and what this side must say
// back is collected. No sockets, no clock: any byte sequence can be fed to
// it, and every buffer has a stated size.
#pragma once

#include <cstddef>
#include <cstdint>

namespace telnet {

constexpr uint8_t IAC = 255, DONT = 254, DO = 253, WONT = 252, WILL = 251, SB = 250, NOP = 241,
                  SE = 240;
constexpr uint8_t OPT_BINARY = 0, OPT_SGA = 3, OPT_COM_PORT = 44;
// Requests of the Com Port Control Option; the server answers request n
// with n + SERVER_ANSWER and the value it has now.
constexpr uint8_t SET_BAUDRATE = 1, SET_DATASIZE = 2, SET_PARITY = 3, SET_STOPSIZE = 4,
                  SET_CONTROL = 5, PURGE_DATA = 12, SERVER_ANSWER = 100;
// The requests whose answers are kept, with their values.
constexpr uint8_t MAX_KEPT_REQUEST = SET_CONTROL;
constexpr size_t MAX_VALUE = 4;  // a baud rate's four bytes

enum class state : uint8_t { DATA, COMMAND, OPTION, SUBOPTION, SUBOPTION_IAC };

// One bit per telnet option.
struct option_set {
    uint8_t bits[32];
    bool has(uint8_t option) const { return (bits[option / 8] >> (option % 8) & 1) != 0; }
    void add(uint8_t option)
    {
        bits[option / 8] = static_cast<uint8_t>(bits[option / 8] | 1 << (option % 8));
    }
};

// The reader of one connection (fields ordered by size).
struct reader {
    uint64_t commands;     // bytes that were telnet, not data, so far
    uint64_t dropped;      // data bytes that found no room
    size_t sub_length;     // of `sub`
    size_t reply_length;   // of `replies`
    uint32_t answered;     // bit n: request n answered
    bool telnet;           // false: a raw port, where every byte is data
    state at;
    uint8_t verb;          // WILL, WONT, DO or DONT, awaiting its option
    bool com_port_taken, com_port_refused;
    option_set sent_will, sent_wont, sent_do, sent_dont;  // what was said of each option
    // The values answered, their first MAX_VALUE bytes, and their lengths
    // (a longer one is malformed for every request kept).
    uint8_t answer_length[MAX_KEPT_REQUEST + 1];
    uint8_t answer[MAX_KEPT_REQUEST + 1][MAX_VALUE];
    uint8_t sub[64];       // a subnegotiation being read (a longer one is cut)
    uint8_t replies[96];   // owed to the server, sent after each chunk is taken
};

// A reader for a new connection; `use_telnet` false for a raw port.
void start(reader& r, bool use_telnet);

// This side's offer of binary transmission both ways, no go-ahead and the
// Com Port Control Option, into `out` (at least OFFER_SIZE bytes): its
// length. The reader notes what was offered, so that it does not say it
// again when the server agrees.
constexpr size_t OFFER_SIZE = 15;
size_t offer(reader& r, uint8_t* out);

// Takes `count` bytes from the server. The data among them goes to `data`,
// which has room for `room` bytes: how many went there. Data past the room
// is dropped and counted. Answers owed to the server collect in
// r.replies (a full reply buffer drops further answers).
size_t take(reader& r, const uint8_t* bytes, size_t count, uint8_t* data, size_t room);

// A request with its value (at most MAX_VALUE bytes), IAC doubled, into
// `out` (REQUEST_SIZE bytes): its length.
constexpr size_t REQUEST_SIZE = 6 + 2 * MAX_VALUE;
size_t encode_request(uint8_t request, const uint8_t* value, size_t length, uint8_t* out);

// Data for the server, each 255 doubled: takes bytes from `in` (`count` of
// them) while two more fit in `out` (`size` bytes, at least 2). *taken says
// how many were taken; the return value how many bytes went to `out`.
size_t escape(const uint8_t* in, size_t count, uint8_t* out, size_t size, size_t* taken);

}  // namespace telnet
