// What the network backend's two halves share: net_port.cpp (the
// connection, reads and writes) and rfc2217.cpp (the Com Port Control
// Option's negotiation and requests on that connection).
#pragma once

#include "net_socket.h"
#include "serial/serial_backend.h"
#include "telnet.h"

#include <cstddef>
#include <cstdint>

// A longer first reply is the tag taking its time, not the network.
constexpr uint64_t NET_MAX_ROUND_TRIP_MS = 2000;
// A wait that saw this many bytes of telnet commands and no data met a
// server that keeps the connection busy without passing anything on (a
// notification now and then is normal).
constexpr uint64_t NET_COMMAND_STREAM_BYTES = 256;

// The state of one network port (fields ordered by size).
struct net_port {
    net_socket sock;
    size_t pending_start, pending_end;  // of `pending`
    uint64_t round_trip_ms;
    uint64_t write_time;  // when the write whose first reply is timed went out
    bool timing_reply, reply_timed;
    telnet::reader in;     // the telnet reader (a raw port's bytes all pass)
    char notes[320];       // how connecting went, for the trace
    uint8_t pending[4096]; // bytes from the tag, decoded, not read yet
};

// Adds to how connecting went, for the trace.
void net_port_note(net_port& p, const char* format, ...) __attribute__((format(printf, 2, 3)));
// Sends `count` bytes within `timeout_ms`.
int32_t net_port_send(net_port& p, const uint8_t* bytes, size_t count, uint64_t timeout_ms);
// Reads what the server has sent, waiting until `deadline` for something.
net_received net_port_receive(net_port& p, uint64_t deadline);
// The server closed the connection; what it said before, if anything, is
// the reason (ser2net: "Port already in use").
int32_t net_port_closed(net_port& p, const char* call);

// Receives until `done` holds or `deadline` passes: SERIAL_OK either way,
// or the failure of the connection.
template <typename condition>
int32_t net_port_receive_until(net_port& p, uint64_t deadline, const char* call, condition done)
{
    while (!done()) {
        net_received r = net_port_receive(p, deadline);
        if (r == NET_CLOSED) return net_port_closed(p, call);
        if (r == NET_FAILED) return SERIAL_EIO;
        if (r == NET_TIMED_OUT) break;
    }
    return SERIAL_OK;
}
