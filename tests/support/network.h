// Test support: serial ports on the network, as users share them. A real
// ser2net in front of a pseudo-terminal, and a relay that delays each
// direction of a TCP connection. Loopback only (127.0.0.1), on free ports.
#pragma once

#include "process.h"
#include "temp_dir.h"

#include <atomic>
#include <memory>
#include <string>
#include <thread>

// A TCP port on 127.0.0.1 that nothing listens on at the moment.
int free_tcp_port();
// A socket listening on 127.0.0.1 at `port` (0: any free one), and the
// port a socket is bound to.
int listen_on(int port);
int port_of(int fd);

// ser2net serving `tty` (a pseudo-terminal's path) raw on raw_port() and as
// telnet with RFC 2217 on telnet_port(); stopped by its process id at
// destruction. Ready (both ports listening, waited for at most 10 s) once
// constructed.
class Ser2net {
public:
    explicit Ser2net(const std::string& tty);
    int raw_port() const { return raw_port_; }
    int telnet_port() const { return telnet_port_; }

private:
    TempDir dir_;
    int raw_port_;
    int telnet_port_;
    std::unique_ptr<Background> process_;
};

// Listens on 127.0.0.1:port() and passes each connection on to
// 127.0.0.1:`target`, each direction `delay_ms` late (the gaps between
// bytes kept), one connection at a time.
class DelayingRelay {
public:
    DelayingRelay(int target, int delay_ms);
    ~DelayingRelay();
    DelayingRelay(const DelayingRelay&) = delete;
    DelayingRelay& operator=(const DelayingRelay&) = delete;
    int port() const { return port_; }

private:
    void serve();
    int target_, delay_ms_, listener_ = -1, port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};
