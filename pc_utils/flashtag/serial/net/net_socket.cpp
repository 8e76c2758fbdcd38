// Connections, sends and receives on the system's socket calls, with every
// wait bounded by its deadline and by the driver's stop.
#include "net_socket.h"

#include "common/bytes.h"
#include "net_system.h"
#include "platform/platform.h"
#include "serial/serial_backend.h"

#include <cstdio>

namespace {

int32_t fail(serial_fault fault, const char* call, const sys_result& r)
{
    char text[160] = "";
    if (r.error != 0) sys_error_text(r.error, fault == SERIAL_FAULT_NO_HOST, text, sizeof text);
    return serial_fail(fault, call, r.error, text);
}

int32_t stopped(const char* call) { return serial_fail(SERIAL_FAULT_STOPPED, call, 0, ""); }

// Waits for the socket until `deadline`, in slices short enough to see the
// driver's stop: false when the deadline passed or the driver was stopped.
bool wait_until(net_socket sock, bool write, uint64_t deadline)
{
    for (;;) {
        uint64_t now = platform_now_ms();
        if (now >= deadline || serial_stopped()) return false;
        uint64_t left = deadline - now;
        uint32_t slice = left < SERIAL_STOP_CHECK_MS ? static_cast<uint32_t>(left)
                                                     : SERIAL_STOP_CHECK_MS;
        if (sys_wait(sock, write, slice)) return true;
    }
}

// One address: connected, or why not (SYS_TIMED_OUT when the deadline or
// the stop came first).
sys_result try_address(const net_address& a, uint64_t deadline, net_socket* sock)
{
    sys_result r = sys_connect_start(a, sock);
    if (r.status == SYS_AGAIN) {
        r = wait_until(*sock, true, deadline) ? sys_connect_finish(*sock)
                                              : sys_result{SYS_TIMED_OUT, 0, 0};
        if (r.status != SYS_DONE) sys_close(*sock);
    }
    return r;
}

}  // namespace

size_t net_resolve(const char* host, const char* port, net_address* out, size_t max)
{
    sys_result r = sys_resolve(host, port, out, max);
    if (r.status != SYS_DONE || r.count == 0) {
        fail(SERIAL_FAULT_NO_HOST, "resolve", r);
        return 0;
    }
    return r.count;
}

void net_address_text(const net_address& a, char* text, size_t size)
{
    if (!a.ipv6) {
        snprintf(text, size, "%u.%u.%u.%u:%u", a.ip[0], a.ip[1], a.ip[2], a.ip[3], a.port);
        return;
    }
    size_t n = 0;
    append_piece(text, size, &n, "[");
    for (int i = 0; i < 16; i += 2) {
        char group[8];
        snprintf(group, sizeof group, "%s%x", i > 0 ? ":" : "", a.ip[i] << 8 | a.ip[i + 1]);
        append_piece(text, size, &n, group);
    }
    char rest[24];
    if (a.scope != 0) {
        snprintf(rest, sizeof rest, "%%%lu]:%u", static_cast<unsigned long>(a.scope), a.port);
    } else {
        snprintf(rest, sizeof rest, "]:%u", a.port);
    }
    append_piece(text, size, &n, rest);
}

int32_t net_connect(const char* host, const char* port, net_socket* sock)
{
    net_address addresses[NET_MAX_ADDRESSES];
    size_t count = net_resolve(host, port, addresses, NET_MAX_ADDRESSES);
    if (count == 0) return SERIAL_EIO;
    uint64_t deadline = platform_now_ms() + SERIAL_CONNECT_TIMEOUT_MS;
    sys_result why{SYS_TIMED_OUT, 0, 0};
    for (size_t i = 0; i < count; ++i) {
        sys_result r = try_address(addresses[i], deadline, sock);
        if (r.status == SYS_DONE) return SERIAL_OK;
        if (serial_stopped()) return stopped("connect");
        // A refusal from one address says more than a time-out of another.
        if (!(r.status == SYS_TIMED_OUT && why.status == SYS_REFUSED)) why = r;
    }
    if (why.status == SYS_REFUSED) return fail(SERIAL_FAULT_REFUSED, "connect", why);
    if (why.status == SYS_TIMED_OUT) return fail(SERIAL_FAULT_NO_ANSWER, "connect", why);
    return fail(SERIAL_FAULT_OTHER, "connect", why);
}

int32_t net_send(net_socket sock, const uint8_t* bytes, size_t count, uint64_t deadline)
{
    size_t done = 0;
    while (done < count) {
        if (serial_stopped()) return stopped("write");
        sys_result r = sys_send(sock, bytes + done, count - done);
        if (r.status == SYS_DONE) {
            done += r.count;
        } else if (r.status == SYS_CLOSED) {
            return serial_fail(SERIAL_FAULT_CLOSED, "write", r.error, "");
        } else if (r.status != SYS_AGAIN) {
            return fail(SERIAL_FAULT_OTHER, "write", r);
        } else if (!wait_until(sock, true, deadline)) {
            if (serial_stopped()) return stopped("write");
            return serial_fail(SERIAL_FAULT_TIMEOUT, "write", 0, "");
        }
    }
    return SERIAL_OK;
}

net_received net_receive(net_socket sock, uint8_t* buffer, size_t size, uint64_t deadline,
                         size_t* got)
{
    for (;;) {
        if (serial_stopped()) {
            stopped("read");
            return NET_FAILED;
        }
        if (platform_now_ms() >= deadline) return NET_TIMED_OUT;
        sys_result r = sys_recv(sock, buffer, size);
        if (r.status == SYS_DONE) {
            *got = r.count;
            return NET_GOT_BYTES;
        }
        if (r.status == SYS_CLOSED) return NET_CLOSED;
        if (r.status != SYS_AGAIN) {
            fail(SERIAL_FAULT_OTHER, "read", r);
            return NET_FAILED;
        }
        wait_until(sock, false, deadline);
    }
}

void net_close(net_socket sock)
{
    if (sock != NET_NO_SOCKET) sys_close(sock);
}
