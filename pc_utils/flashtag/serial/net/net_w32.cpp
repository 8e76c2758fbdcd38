// Network ports' socket calls on Winsock (ws2_32, a system DLL).

#include <cstdio>
#include <cstring>
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
// clang-format on

#include "net_addrinfo.h"  // after the socket headers

namespace {

bool started()
{
    static const bool ok = [] {
        WSADATA data{};
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return ok;
}

sys_status status_of(int error)
{
    switch (error) {
    case WSAEWOULDBLOCK:
    case WSAEINPROGRESS:
    case WSAEINTR: return SYS_AGAIN;
    case WSAECONNRESET:
    case WSAECONNABORTED:
    case WSAESHUTDOWN: return SYS_CLOSED;
    case WSAECONNREFUSED: return SYS_REFUSED;
    case WSAETIMEDOUT: return SYS_TIMED_OUT;
    default: return SYS_FAILED;
    }
}

sys_result last_error()
{
    int error = WSAGetLastError();
    return sys_result{status_of(error), error, 0};
}

}  // namespace

sys_result sys_resolve(const char* host, const char* port, net_address* out, size_t max)
{
    if (!started()) return sys_result{SYS_FAILED, WSASYSNOTREADY, 0};
    return resolve_addresses(host, port, out, max, WSAHOST_NOT_FOUND);
}

sys_result sys_connect_start(const net_address& a, net_socket* sock)
{
    if (!started()) return sys_result{SYS_FAILED, WSASYSNOTREADY, 0};
    // Never inherited by the commands a run starts (tagfleet --on-result),
    // not even by one another thread starts while this is being made.
    // Overlapped, as socket() makes them.
    SOCKET s = WSASocketW(a.family, a.socktype, a.protocol, nullptr, 0,
                          WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET) return last_error();
    u_long nonblocking = 1;
    // MinGW defines FIONBIO as an unsigned value; ioctlsocket takes a long.
    ioctlsocket(s, static_cast<long>(FIONBIO), &nonblocking);
    *sock = static_cast<net_socket>(s);
    if (connect(s, reinterpret_cast<const sockaddr*>(a.sockaddr), static_cast<int>(a.length)) == 0) {
        return sys_connect_finish(*sock);
    }
    sys_result r = last_error();
    if (r.status != SYS_AGAIN) closesocket(s);
    return r;
}

sys_result sys_connect_finish(net_socket sock)
{
    auto s = static_cast<SOCKET>(sock);
    int error = 0;
    int len = sizeof error;
    if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &len) != 0) {
        error = WSAGetLastError();
    }
    if (error != 0) return sys_result{status_of(error), error, 0};
    BOOL on = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    return sys_result{SYS_DONE, 0, 0};
}

sys_result sys_send(net_socket sock, const uint8_t* bytes, size_t count)
{
    int put = send(static_cast<SOCKET>(sock), reinterpret_cast<const char*>(bytes),
                   static_cast<int>(count), 0);
    if (put > 0) return sys_result{SYS_DONE, 0, static_cast<size_t>(put)};
    return put == 0 ? sys_result{SYS_AGAIN, 0, 0} : last_error();
}

sys_result sys_recv(net_socket sock, uint8_t* buffer, size_t size)
{
    int n = recv(static_cast<SOCKET>(sock), reinterpret_cast<char*>(buffer), static_cast<int>(size), 0);
    if (n > 0) return sys_result{SYS_DONE, 0, static_cast<size_t>(n)};
    return n == 0 ? sys_result{SYS_CLOSED, 0, 0} : last_error();
}

// A connection that failed shows in the exception set, not the write set.
bool sys_wait(net_socket sock, bool write, uint32_t ms)
{
    auto s = static_cast<SOCKET>(sock);
    fd_set ready, failed;
    FD_ZERO(&ready);
    FD_ZERO(&failed);
    FD_SET(s, &ready);
    FD_SET(s, &failed);
    timeval tv{static_cast<long>(ms / 1000), static_cast<long>(ms % 1000) * 1000};
    return select(0, write ? nullptr : &ready, write ? &ready : nullptr, &failed, &tv) != 0;
}

void sys_close(net_socket sock) { closesocket(static_cast<SOCKET>(sock)); }

void sys_error_text(long error, bool, char* text, size_t size)
{
    // The resolver's codes are Winsock's own: one table for both.
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             static_cast<DWORD>(error), 0, text, static_cast<DWORD>(size), nullptr);
    while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == '.')) --n;
    if (size > 0) text[n < size ? n : size - 1] = '\0';
    if (n == 0) snprintf(text, size, "error %ld", error);
}
