// Network ports' socket calls on BSD sockets (Linux, macOS).

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "net_addrinfo.h"  // after the socket headers

namespace {

sys_status status_of(int error)
{
    switch (error) {
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case EINPROGRESS:
    case EINTR: return SYS_AGAIN;
    case EPIPE:
    case ECONNRESET: return SYS_CLOSED;
    case ECONNREFUSED: return SYS_REFUSED;
    case ETIMEDOUT: return SYS_TIMED_OUT;
    default: return SYS_FAILED;
    }
}

sys_result from_errno() { return sys_result{status_of(errno), errno, 0}; }

}  // namespace

sys_result sys_resolve(const char* host, const char* port, net_address* out, size_t max)
{
    return resolve_addresses(host, port, out, max, EAI_NONAME);
}

sys_result sys_connect_start(const net_address& a, net_socket* sock)
{
    // Close-on-exec from the start: another thread may be starting a
    // command (tagfleet --on-result) at this very moment. macOS has no
    // SOCK_CLOEXEC; there the flag follows at once.
#ifdef SOCK_CLOEXEC
    int fd = socket(a.family, a.socktype | SOCK_CLOEXEC, a.protocol);
#else
    int fd = socket(a.family, a.socktype, a.protocol);
    if (fd >= 0) fcntl(fd, F_SETFD, FD_CLOEXEC);
#endif
    if (fd < 0) return sys_result{SYS_FAILED, errno, 0};
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
#ifdef SO_NOSIGPIPE
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);  // macOS
#endif
    *sock = fd;
    if (connect(fd, reinterpret_cast<const sockaddr*>(a.sockaddr), a.length) == 0) {
        return sys_connect_finish(fd);
    }
    sys_result r = from_errno();
    if (r.status != SYS_AGAIN) close(fd);
    return r;
}

sys_result sys_connect_finish(net_socket sock)
{
    int fd = static_cast<int>(sock);
    int error = 0;
    socklen_t len = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0) error = errno;
    if (error != 0) return sys_result{status_of(error), error, 0};
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return sys_result{SYS_DONE, 0, 0};
}

sys_result sys_send(net_socket sock, const uint8_t* bytes, size_t count)
{
#ifdef MSG_NOSIGNAL
    const int flags = MSG_NOSIGNAL;  // a closed connection is an error, not a signal
#else
    const int flags = 0;
#endif
    ssize_t put = send(static_cast<int>(sock), bytes, count, flags);
    if (put > 0) return sys_result{SYS_DONE, 0, static_cast<size_t>(put)};
    return put == 0 ? sys_result{SYS_AGAIN, 0, 0} : from_errno();
}

sys_result sys_recv(net_socket sock, uint8_t* buffer, size_t size)
{
    ssize_t n = recv(static_cast<int>(sock), buffer, size, 0);
    if (n > 0) return sys_result{SYS_DONE, 0, static_cast<size_t>(n)};
    return n == 0 ? sys_result{SYS_CLOSED, 0, 0} : from_errno();
}

bool sys_wait(net_socket sock, bool write, uint32_t ms)
{
    pollfd p{static_cast<int>(sock), static_cast<short>(write ? POLLOUT : POLLIN), 0};
    int n = poll(&p, 1, static_cast<int>(ms));
    return n > 0 || (n < 0 && errno != EINTR);  // a failure: the next call says what is wrong
}

void sys_close(net_socket sock) { close(static_cast<int>(sock)); }

void sys_error_text(long error, bool resolver, char* text, size_t size)
{
    const char* words = resolver ? gai_strerror(static_cast<int>(error))
                                 : strerror(static_cast<int>(error));
    snprintf(text, size, "%s", words);
}
