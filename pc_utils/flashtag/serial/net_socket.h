// The few socket operations a network port needs, one file per system
// (net_posix.cpp: BSD sockets; net_w32.cpp: Winsock). Sockets are
// non-blocking; every wait ends at a deadline on platform_now_ms(). Each
// failure is noted with serial_fail, with the system's own text.
#pragma once

#include <cstddef>
#include <cstdint>

using net_socket = intptr_t;
constexpr net_socket NET_NO_SOCKET = -1;

// Connects to `host` (a name or an address, IPv6 without brackets) at
// `port` (decimal text), trying each address it resolves to until one
// answers, within SERIAL_CONNECT_TIMEOUT_MS in all. TCP_NODELAY is set: the
// upload's single bytes and pauses must leave as they are written.
int32_t net_connect(const char* host, const char* port, net_socket* sock);

// Sends all `count` bytes before `deadline` (ms), or fails.
int32_t net_send(net_socket sock, const uint8_t* bytes, size_t count, uint64_t deadline);

// What net_receive got.
enum net_received : int32_t {
    NET_GOT_BYTES = 0,  // *got bytes (at least one) are in the buffer
    NET_TIMED_OUT,      // nothing came before the deadline
    NET_CLOSED,         // the other end closed the connection
    NET_FAILED,         // the system failed (noted)
};
// Waits until bytes come or `deadline` (ms) passes; takes at most `size`.
net_received net_receive(net_socket sock, uint8_t* buffer, size_t size, uint64_t deadline,
                         size_t* got);

void net_close(net_socket sock);
