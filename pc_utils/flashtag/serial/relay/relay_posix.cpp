// The relay's connection on POSIX: a Unix-domain socket in a directory
// only this user may enter.
#include "relay_system.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// Where this user's rendezvous may be: the user's runtime directory
// (/run/user/<uid>, which the system makes for the user alone while a
// session is open) when there is one, then a directory in /tmp. Both are
// found from the user ID alone, not from the environment, so that every
// program of the user finds the same; tagterm serves in the first it can
// use, a program looks in both.
constexpr int PLACES = 2;

// Place `place` (0 or 1) into `dir`, made when missing and `make`: false
// (with why) when there is no such place, or it is not this user's alone.
bool own_directory(int place, char* dir, size_t size, bool make, char* why, size_t why_size)
{
    unsigned long uid = static_cast<unsigned long>(geteuid());
    int n = place == 0 ? snprintf(dir, size, "/run/user/%lu/flashtag-relay", uid)
                       : snprintf(dir, size, "/tmp/flashtag-relay-%lu", uid);
    if (n < 0 || static_cast<size_t>(n) >= size) {
        snprintf(why, why_size, "the directory's name is too long");
        return false;
    }
    if (make && mkdir(dir, 0700) != 0 && errno != EEXIST) {
        snprintf(why, why_size, "cannot make %s: %s", dir, strerror(errno));
        return false;
    }
    struct stat st {};
    if (lstat(dir, &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid() ||
        (st.st_mode & 077) != 0) {
        snprintf(why, why_size, "%s is not this user's alone", dir);
        return false;
    }
    return true;
}

bool socket_address(int place, const char* key, bool make, sockaddr_un* address, char* why,
                    size_t why_size)
{
    char dir[200];
    if (!own_directory(place, dir, sizeof dir, make, why, why_size)) return false;
    char name[32];
    relay_key_name(key, name, sizeof name);
    *address = sockaddr_un{};
    address->sun_family = AF_UNIX;
    int n = snprintf(address->sun_path, sizeof address->sun_path, "%s/port-%s", dir, name);
    if (n < 0 || static_cast<size_t>(n) >= sizeof address->sun_path) {
        snprintf(why, why_size, "the socket's path is too long");
        return false;
    }
    return true;
}

// Whether the peer on `fd` runs as this user.
bool same_user(int fd)
{
#ifdef SO_PEERCRED
    ucred cred{};
    socklen_t length = sizeof cred;
    return getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &length) == 0 && cred.uid == geteuid();
#else
    uid_t uid = 0;
    gid_t gid = 0;
    return getpeereid(fd, &uid, &gid) == 0 && uid == geteuid();
#endif
}

bool wait_for(int fd, short events, uint32_t timeout_ms)
{
    pollfd p{fd, events, 0};
    int n = 0;
    do {
        n = poll(&p, 1, static_cast<int>(timeout_ms));
    } while (n < 0 && errno == EINTR);
    return n > 0;
}

}  // namespace

bool relay_listen(const char* key, relay_listener* listener, char* why, size_t size)
{
    sockaddr_un address{};
    listener->handle = -1;
    bool found = false;
    for (int place = 0; place < PLACES && !found; ++place) {
        found = socket_address(place, key, true, &address, why, size);
    }
    if (!found) return false;
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        snprintf(why, size, "socket: %s", strerror(errno));
        return false;
    }
    // The caller holds the port, so a socket left here is a killed
    // tagterm's: nobody answers on it any more.
    unlink(address.sun_path);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 8) != 0) {
        snprintf(why, size, "%s: %s", address.sun_path, strerror(errno));
        close(fd);
        return false;
    }
    listener->handle = fd;
    snprintf(listener->path, sizeof listener->path, "%s", address.sun_path);
    return true;
}

relay_channel relay_accept(relay_listener* listener)
{
    for (;;) {
        int fd = accept4(static_cast<int>(listener->handle), nullptr, nullptr,
                         SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) return RELAY_NO_CHANNEL;
        if (same_user(fd)) return fd;
        close(fd);
    }
}

void relay_unlisten(relay_listener* listener)
{
    if (listener->handle < 0) return;
    close(static_cast<int>(listener->handle));
    unlink(listener->path);
    listener->handle = -1;
}

relay_channel relay_connect(const char* key)
{
    for (int place = 0; place < PLACES; ++place) {
        sockaddr_un address{};
        char why[200];
        struct stat st {};
        if (!socket_address(place, key, false, &address, why, sizeof why) ||
            stat(address.sun_path, &st) != 0 || !S_ISSOCK(st.st_mode)) {
            continue;
        }
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return RELAY_NO_CHANNEL;
        if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && same_user(fd) &&
            fcntl(fd, F_SETFL, O_NONBLOCK) == 0) {
            return fd;
        }
        close(fd);
    }
    return RELAY_NO_CHANNEL;
}

relay_send_result relay_send(relay_channel channel, const uint8_t* bytes, size_t count,
                             uint32_t timeout_ms)
{
    int fd = static_cast<int>(channel);
    size_t done = 0;
    while (done < count) {
        ssize_t n = send(fd, bytes + done, count - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno == EAGAIN) {
            if (!wait_for(fd, POLLOUT, timeout_ms)) return RELAY_SEND_TIMED_OUT;
        } else {
            // EPIPE, ECONNRESET: the other end has closed; anything else on
            // a local socket is as final.
            return RELAY_PEER_ENDED;
        }
    }
    return RELAY_SENT;
}

long relay_receive(relay_channel channel, uint8_t* buffer, size_t max, uint32_t timeout_ms)
{
    int fd = static_cast<int>(channel);
    bool waited = false;
    for (;;) {
        ssize_t n = recv(fd, buffer, max, 0);
        if (n > 0) return static_cast<long>(n);
        if (n == 0) return -1;
        if (errno == EINTR) continue;
        if (errno != EAGAIN) return -1;
        if (waited || timeout_ms == 0 || !wait_for(fd, POLLIN, timeout_ms)) return 0;
        waited = true;
    }
}

unsigned long relay_peer_pid(relay_channel channel)
{
#ifdef SO_PEERCRED
    ucred cred{};
    socklen_t length = sizeof cred;
    if (getsockopt(static_cast<int>(channel), SOL_SOCKET, SO_PEERCRED, &cred, &length) == 0) {
        return static_cast<unsigned long>(cred.pid);
    }
#else
    (void)channel;
#endif
    return 0;
}

void relay_close(relay_channel channel)
{
    if (channel >= 0) close(static_cast<int>(channel));
}

unsigned long relay_own_pid() { return static_cast<unsigned long>(getpid()); }

void relay_own_name(char* name, size_t size)
{
    if (size == 0) return;
    name[0] = '\0';
    FILE* f = fopen("/proc/self/comm", "r");
    if (f == nullptr) return;
    if (fgets(name, static_cast<int>(size), f) == nullptr) name[0] = '\0';
    fclose(f);
    name[strcspn(name, "\n")] = '\0';
}
