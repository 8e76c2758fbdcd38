// Network ports on BSD sockets (Linux, macOS).
#include "net_socket.h"
#include "platform/platform.h"
#include "serial_backend.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int32_t fail(serial_fault fault, const char* call, int error)
{
    return serial_fail(fault, call, error, strerror(error));
}

// Waits for `events` until the deadline: false when it passed.
bool wait_for(int fd, short events, uint64_t deadline)
{
    for (;;) {
        uint64_t now = platform_now_ms();
        if (now >= deadline) return false;
        pollfd p{fd, events, 0};
        int n = poll(&p, 1, static_cast<int>(deadline - now));
        if (n > 0) return true;
        if (n < 0 && errno != EINTR) return true;  // the next call says what is wrong
    }
}

// One address: 0 when connected, else the errno of the attempt (ETIMEDOUT
// when the deadline passed first).
int try_address(const addrinfo* a, uint64_t deadline, int* fd_out)
{
    int fd = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
    if (fd < 0) return errno;
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    int error = connect(fd, a->ai_addr, a->ai_addrlen) == 0 ? 0 : errno;
    if (error == EINPROGRESS) {
        if (!wait_for(fd, POLLOUT, deadline)) {
            error = ETIMEDOUT;
        } else {
            socklen_t len = sizeof error;
            if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0) error = errno;
        }
    }
    if (error != 0) {
        close(fd);
        return error;
    }
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
#ifdef SO_NOSIGPIPE
    setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);  // macOS
#endif
    *fd_out = fd;
    return 0;
}

}  // namespace

int32_t net_connect(const char* host, const char* port, net_socket* sock)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    int rc = getaddrinfo(host, port, &hints, &found);
    if (rc != 0) {
        const char* text = rc == EAI_SYSTEM ? strerror(errno) : gai_strerror(rc);
        return serial_fail(SERIAL_FAULT_NO_HOST, "resolve", rc, text);
    }
    uint64_t deadline = platform_now_ms() + SERIAL_CONNECT_TIMEOUT_MS;
    int error = ETIMEDOUT;
    int fd = -1;
    for (const addrinfo* a = found; a != nullptr && fd < 0; a = a->ai_next) {
        int e = try_address(a, deadline, &fd);
        // A refusal from one address says more than a time-out of another.
        if (e != 0 && !(e == ETIMEDOUT && error == ECONNREFUSED)) error = e;
    }
    freeaddrinfo(found);
    if (fd >= 0) {
        *sock = fd;
        return SERIAL_OK;
    }
    if (error == ECONNREFUSED) return fail(SERIAL_FAULT_REFUSED, "connect", error);
    if (error == ETIMEDOUT) return fail(SERIAL_FAULT_NO_ANSWER, "connect", error);
    return fail(SERIAL_FAULT_OTHER, "connect", error);
}

int32_t net_send(net_socket sock, const uint8_t* bytes, size_t count, uint64_t deadline)
{
    int fd = static_cast<int>(sock);
#ifdef MSG_NOSIGNAL
    const int flags = MSG_NOSIGNAL;  // a closed connection is an error, not a signal
#else
    const int flags = 0;
#endif
    size_t done = 0;
    while (done < count) {
        ssize_t put = send(fd, bytes + done, count - done, flags);
        if (put > 0) {
            done += static_cast<size_t>(put);
            continue;
        }
        if (errno == EPIPE || errno == ECONNRESET) {
            return serial_fail(SERIAL_FAULT_CLOSED, "write", errno, "");
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            return fail(SERIAL_FAULT_OTHER, "write", errno);
        }
        if (!wait_for(fd, POLLOUT, deadline)) return serial_fail(SERIAL_FAULT_TIMEOUT, "write", 0, "");
    }
    return SERIAL_OK;
}

net_received net_receive(net_socket sock, uint8_t* buffer, size_t size, uint64_t deadline,
                         size_t* got)
{
    int fd = static_cast<int>(sock);
    for (;;) {
        ssize_t n = recv(fd, buffer, size, 0);
        if (n > 0) {
            *got = static_cast<size_t>(n);
            return NET_GOT_BYTES;
        }
        if (n == 0 || errno == ECONNRESET) return NET_CLOSED;
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            fail(SERIAL_FAULT_OTHER, "read", errno);
            return NET_FAILED;
        }
        if (!wait_for(fd, POLLIN, deadline)) return NET_TIMED_OUT;
    }
}

void net_close(net_socket sock)
{
    if (sock != NET_NO_SOCKET) close(static_cast<int>(sock));
}
