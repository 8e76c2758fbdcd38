// Network ports on Winsock (ws2_32, a system DLL).
#include "net_socket.h"
#include "platform/platform.h"
#include "serial_backend.h"

#include <cstdio>
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
// clang-format on

namespace {

int32_t fail(serial_fault fault, const char* call, int error)
{
    char text[160] = "";
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             static_cast<DWORD>(error), 0, text, sizeof text, nullptr);
    while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == '.')) --n;
    text[n] = '\0';
    if (n == 0) snprintf(text, sizeof text, "error %d", error);
    return serial_fail(fault, call, error, text);
}

bool started()
{
    static const bool ok = [] {
        WSADATA data{};
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return ok;
}

// Waits until the socket is readable (or, with `write`, writable or
// failed) or the deadline passes: false when it passed.
bool wait_for(SOCKET s, bool write, uint64_t deadline)
{
    uint64_t now = platform_now_ms();
    if (now >= deadline) return false;
    uint64_t left = deadline - now;
    fd_set ready, failed;
    FD_ZERO(&ready);
    FD_ZERO(&failed);
    FD_SET(s, &ready);
    FD_SET(s, &failed);
    timeval tv{static_cast<long>(left / 1000), static_cast<long>(left % 1000) * 1000};
    int n = select(0, write ? nullptr : &ready, write ? &ready : nullptr, &failed, &tv);
    return n != 0;  // an error: the next call says what is wrong
}

int try_address(const addrinfo* a, uint64_t deadline, SOCKET* out)
{
    SOCKET s = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
    if (s == INVALID_SOCKET) return WSAGetLastError();
    u_long nonblocking = 1;
    // MinGW defines FIONBIO as an unsigned value; ioctlsocket takes a long.
    ioctlsocket(s, static_cast<long>(FIONBIO), &nonblocking);
    int error = connect(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) == 0 ? 0 : WSAGetLastError();
    if (error == WSAEWOULDBLOCK) {
        if (!wait_for(s, true, deadline)) {
            error = WSAETIMEDOUT;
        } else {
            int len = sizeof error;
            if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &len) != 0) {
                error = WSAGetLastError();
            }
        }
    }
    if (error != 0) {
        closesocket(s);
        return error;
    }
    BOOL on = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    *out = s;
    return 0;
}

}  // namespace

int32_t net_connect(const char* host, const char* port, net_socket* sock)
{
    if (!started()) return fail(SERIAL_FAULT_OTHER, "WSAStartup", WSASYSNOTREADY);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    int rc = getaddrinfo(host, port, &hints, &found);
    if (rc != 0) return fail(SERIAL_FAULT_NO_HOST, "resolve", rc);
    uint64_t deadline = platform_now_ms() + SERIAL_CONNECT_TIMEOUT_MS;
    int error = WSAETIMEDOUT;
    SOCKET s = INVALID_SOCKET;
    for (const addrinfo* a = found; a != nullptr && s == INVALID_SOCKET; a = a->ai_next) {
        int e = try_address(a, deadline, &s);
        if (e != 0 && !(e == WSAETIMEDOUT && error == WSAECONNREFUSED)) error = e;
    }
    freeaddrinfo(found);
    if (s != INVALID_SOCKET) {
        *sock = static_cast<net_socket>(s);
        return SERIAL_OK;
    }
    if (error == WSAECONNREFUSED) return fail(SERIAL_FAULT_REFUSED, "connect", error);
    if (error == WSAETIMEDOUT) return fail(SERIAL_FAULT_NO_ANSWER, "connect", error);
    return fail(SERIAL_FAULT_OTHER, "connect", error);
}

int32_t net_send(net_socket sock, const uint8_t* bytes, size_t count, uint64_t deadline)
{
    auto s = static_cast<SOCKET>(sock);
    size_t done = 0;
    while (done < count) {
        int put = send(s, reinterpret_cast<const char*>(bytes + done),
                       static_cast<int>(count - done), 0);
        if (put > 0) {
            done += static_cast<size_t>(put);
            continue;
        }
        int error = WSAGetLastError();
        if (error == WSAECONNRESET || error == WSAECONNABORTED || error == WSAESHUTDOWN) {
            return serial_fail(SERIAL_FAULT_CLOSED, "write", error, "");
        }
        if (error != WSAEWOULDBLOCK) return fail(SERIAL_FAULT_OTHER, "write", error);
        if (!wait_for(s, true, deadline)) return serial_fail(SERIAL_FAULT_TIMEOUT, "write", 0, "");
    }
    return SERIAL_OK;
}

net_received net_receive(net_socket sock, uint8_t* buffer, size_t size, uint64_t deadline,
                         size_t* got)
{
    auto s = static_cast<SOCKET>(sock);
    for (;;) {
        int n = recv(s, reinterpret_cast<char*>(buffer), static_cast<int>(size), 0);
        if (n > 0) {
            *got = static_cast<size_t>(n);
            return NET_GOT_BYTES;
        }
        int error = n == 0 ? 0 : WSAGetLastError();
        if (n == 0 || error == WSAECONNRESET || error == WSAECONNABORTED) return NET_CLOSED;
        if (error != WSAEWOULDBLOCK) {
            fail(SERIAL_FAULT_OTHER, "read", error);
            return NET_FAILED;
        }
        if (!wait_for(s, false, deadline)) return NET_TIMED_OUT;
    }
}

void net_close(net_socket sock)
{
    if (sock != NET_NO_SOCKET) closesocket(static_cast<SOCKET>(sock));
}
