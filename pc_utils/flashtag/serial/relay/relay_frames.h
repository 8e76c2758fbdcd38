// The relay's bytes: what tagterm and a program that goes through it say
// to each other over their local connection (a Unix-domain socket, a named
// pipe). Each frame is a type byte, a length (two bytes, high first) and
// that many bytes of payload:
//   H  hello, the program to tagterm: "<pid> <program name>"
//   W  welcome, tagterm to the program, when its turn comes: "<pid>"
//   D  data: bytes for the port, or bytes the port received
//   T  DTR, the program to tagterm: "1" or "0"
//   G  gone, tagterm to the program: the port went away ("<reason>")
//   U  in use, tagterm to a program that has said hello while another
//      program uses the port: "<tagterm's pid> <pid> <program name>" of
//      that other program; the program's welcome comes when its turn does.
//      A program of an earlier build, which knows no U, takes the port for
//      one in use and moves on.
// The reader takes bytes as they come, in any pieces, and refuses anything
// else (an unknown type, a payload past RELAY_MAX_PAYLOAD) for good: a peer
// that sends it is not one of ours.
#pragma once

#include <cstddef>
#include <cstdint>

enum relay_frame_type : uint8_t {
    RELAY_HELLO = 'H',
    RELAY_WELCOME = 'W',
    RELAY_DATA = 'D',
    RELAY_DTR = 'T',
    RELAY_GONE = 'G',
    RELAY_IN_USE = 'U',
};

constexpr size_t RELAY_HEADER_SIZE = 3;
constexpr size_t RELAY_MAX_PAYLOAD = 512;
constexpr size_t RELAY_MAX_FRAME = RELAY_HEADER_SIZE + RELAY_MAX_PAYLOAD;
// Room for a program's name in a hello.
constexpr size_t RELAY_NAME_SIZE = 64;

struct relay_frame {
    uint8_t type;
    size_t length;
    uint8_t payload[RELAY_MAX_PAYLOAD];
};

struct relay_reader {
    uint8_t header[RELAY_HEADER_SIZE];
    size_t header_have;
    size_t payload_have;
    bool broken;
    relay_frame frame;
};

enum relay_take_result { RELAY_MORE, RELAY_FRAME_READY, RELAY_BROKEN };

// Takes bytes from `in` (`size` of them) up to the end of one frame; *used
// says how many it took. RELAY_FRAME_READY: r->frame holds the frame (until
// the next call). RELAY_BROKEN: the peer sent what no peer of ours sends,
// now and on every later call.
relay_take_result relay_take(relay_reader* r, const uint8_t* in, size_t size, size_t* used);

// One frame into `out` (at least RELAY_MAX_FRAME bytes): its length. A
// payload longer than RELAY_MAX_PAYLOAD is cut.
size_t relay_frame_bytes(relay_frame_type type, const void* payload, size_t length, uint8_t* out);

// A hello's payload: the process ID and the program's name (cut to fit
// `name`, RELAY_NAME_SIZE bytes, and only printable ASCII). False when it is
// not "<digits> <name>".
bool relay_parse_hello(const relay_frame& frame, unsigned long* pid, char* name);
// A welcome's process ID; false when the payload is not digits alone.
bool relay_parse_welcome(const relay_frame& frame, unsigned long* pid);
// An in-use frame's payload: tagterm's process ID, then the other program's
// as a hello gives them. False when it is not "<digits> <digits> <name>".
bool relay_parse_in_use(const relay_frame& frame, unsigned long* tagterm_pid, unsigned long* pid,
                        char* name);
