// TCP connections for network ports: name lookup, a connection within
// SERIAL_CONNECT_TIMEOUT_MS, and sends and receives that each end at their
// deadline on platform_now_ms(), whatever keeps arriving, or within a
// fraction of a second of serial_stop_all(). Written once (net_socket.cpp)
// over the few calls that differ between BSD sockets and Winsock
// (net_system.h). Each failure is noted with serial_fail, with the system's
// own text.
#pragma once

#include "serial/serial.h"

#include <cstddef>
#include <cstdint>

using net_socket = intptr_t;
constexpr net_socket NET_NO_SOCKET = -1;

// One address a host name resolves to: what to connect to, and the
// address itself in a form every system reads alike.
struct net_address {
    alignas(8) unsigned char sockaddr[128];
    int family, socktype, protocol;  // for socket(): the system's own numbers
    uint32_t length;                 // of `sockaddr`
    uint32_t scope;       // an IPv6 address's zone (interface index), 0 if none
    uint16_t port;
    bool ipv6;
    uint8_t ip[16];       // 4 bytes for IPv4
};
// More addresses than a name has in practice; the rest are not tried.
constexpr size_t NET_MAX_ADDRESSES = 8;

// The addresses `host` (a name or an address, IPv6 without brackets, a
// zone after "%") resolves to at `port` (decimal text): how many, or 0 with
// the failure noted (SERIAL_FAULT_NO_HOST).
size_t net_resolve(const char* host, const char* port, net_address* out, size_t max);
// "127.0.0.1:4000", "[fe80:0:0:0:0:0:0:1%2]:4000": the address as text.
void net_address_text(const net_address& a, char* text, size_t size);

// Connects to `host` at `port`, trying each address it resolves to until
// one answers, within SERIAL_CONNECT_TIMEOUT_MS in all. TCP_NODELAY is set:
// the upload's single bytes and pauses must leave as they are written.
int32_t net_connect(const char* host, const char* port, net_socket* sock);

// Sends all `count` bytes before `deadline` (ms), or fails.
int32_t net_send(net_socket sock, const uint8_t* bytes, size_t count, uint64_t deadline);

// What net_receive got.
enum net_received : int32_t {
    NET_GOT_BYTES = 0,  // *got bytes (at least one) are in the buffer
    NET_TIMED_OUT,      // the deadline passed first
    NET_CLOSED,         // the other end closed the connection
    NET_FAILED,         // the system failed, or the driver was stopped (noted)
};
// Takes what has come, at most `size` bytes; waits for it until `deadline`
// (ms). A deadline that has passed ends it even when bytes are waiting: a
// server that never stops sending cannot keep a caller's loop going.
net_received net_receive(net_socket sock, uint8_t* buffer, size_t size, uint64_t deadline,
                         size_t* got);

void net_close(net_socket sock);
