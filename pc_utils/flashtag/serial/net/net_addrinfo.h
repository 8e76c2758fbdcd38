// The name lookup, the same on every system: getaddrinfo and its addrinfo,
// sockaddr_in and sockaddr_in6 have the same names and fields on BSD
// sockets and Winsock. Included by net_posix.cpp and net_w32.cpp after
// their own socket headers, which declare them.
#pragma once

#include "net_system.h"

#include <cstring>

// The addresses `host` resolves to at `port`, at most `max` (IPv4 and IPv6
// only). `not_found` is the system's code for a name without an address.
inline sys_result resolve_addresses(const char* host, const char* port, net_address* out,
                                    size_t max, long not_found)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    int rc = getaddrinfo(host, port, &hints, &found);
    if (rc != 0) return sys_result{SYS_FAILED, rc, 0};
    size_t n = 0;
    for (const addrinfo* a = found; a != nullptr && n < max; a = a->ai_next) {
        if ((a->ai_family != AF_INET && a->ai_family != AF_INET6) ||
            a->ai_addrlen > sizeof out[n].sockaddr) {
            continue;
        }
        net_address& to = out[n++];
        to = net_address{};
        to.family = a->ai_family;
        to.socktype = a->ai_socktype;
        to.protocol = a->ai_protocol;
        to.length = static_cast<uint32_t>(a->ai_addrlen);
        memcpy(to.sockaddr, a->ai_addr, a->ai_addrlen);
        const uint8_t* port_bytes = nullptr;  // in network order, on every system
        if (a->ai_family == AF_INET) {
            const auto* in = reinterpret_cast<const sockaddr_in*>(a->ai_addr);
            memcpy(to.ip, &in->sin_addr, 4);
            port_bytes = reinterpret_cast<const uint8_t*>(&in->sin_port);
        } else {
            const auto* in = reinterpret_cast<const sockaddr_in6*>(a->ai_addr);
            to.ipv6 = true;
            memcpy(to.ip, &in->sin6_addr, 16);
            to.scope = in->sin6_scope_id;
            port_bytes = reinterpret_cast<const uint8_t*>(&in->sin6_port);
        }
        to.port = static_cast<uint16_t>(port_bytes[0] << 8 | port_bytes[1]);
    }
    freeaddrinfo(found);
    return sys_result{n > 0 ? SYS_DONE : SYS_FAILED, n > 0 ? 0 : not_found, n};
}
