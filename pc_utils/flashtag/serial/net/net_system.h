// The socket calls of one system, the only network code that differs
// between BSD sockets (net_posix.cpp) and Winsock (net_w32.cpp). Sockets
// are non-blocking. Each call says what became of it in the same words on
// every system; net_socket.cpp builds connections, sends and receives on
// them.
#pragma once

#include "net_socket.h"

enum sys_status : int32_t {
    SYS_DONE,       // done: `count` bytes moved (at least one), or connected
    SYS_AGAIN,      // nothing can move now (would block, in progress, interrupted)
    SYS_CLOSED,     // the other end closed or reset the connection
    SYS_REFUSED,    // nothing takes connections there
    SYS_TIMED_OUT,  // the other end did not answer
    SYS_FAILED,     // any other error
};

struct sys_result {
    sys_status status;
    long error;    // errno, a resolver code or WSAGetLastError(); 0 when none
    size_t count;  // bytes moved, addresses found
};

// The addresses `host` resolves to at `port`, at most `max`.
sys_result sys_resolve(const char* host, const char* port, net_address* out, size_t max);
// Starts a connection on a new non-blocking socket: SYS_DONE connected,
// SYS_AGAIN under way (then *sock is open and the caller waits for it to be
// writable), else *sock is not open.
sys_result sys_connect_start(const net_address& a, net_socket* sock);
// After the socket became writable: SYS_DONE connected, or why not. A
// connected socket gets TCP_NODELAY.
sys_result sys_connect_finish(net_socket sock);
sys_result sys_send(net_socket sock, const uint8_t* bytes, size_t count);
sys_result sys_recv(net_socket sock, uint8_t* buffer, size_t size);
// Waits up to `ms` for the socket to be readable (or, with `write`,
// writable): false when the time passed first. True also when the socket
// failed: the next call says how.
bool sys_wait(net_socket sock, bool write, uint32_t ms);
void sys_close(net_socket sock);
// The system's words for an error; `resolver` for one of sys_resolve's.
void sys_error_text(long error, bool resolver, char* text, size_t size);

