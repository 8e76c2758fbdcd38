// Test support: serial ports on the network, as users share them. A real
// ser2net in front of a pseudo-terminal, and a relay that delays each
// direction of a TCP connection. Loopback only (127.0.0.1), on free ports.
#pragma once

#include "process.h"
#include "temp_dir.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

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

// Listens on 127.0.0.1:port() and hands each connection to `serve`, on a
// thread of its own; the connection is closed when `serve` returns. At
// destruction every connection is shut down (a blocked send or receive
// returns) and every thread joined.
class ScriptedServer {
public:
    explicit ScriptedServer(std::function<void(int fd)> serve);
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;
    int port() const { return port_; }

private:
    std::function<void(int)> serve_;
    int listener_, port_;
    std::atomic<bool> stop_{false};
    std::mutex lock_;
    std::vector<int> connections_;
    std::vector<std::thread> threads_;
    std::thread acceptor_;
};

// A port on 127.0.0.1 whose listener takes no more connections (its queue
// is full): a connection to it is never answered.
class UnansweredPort {
public:
    UnansweredPort();
    ~UnansweredPort();
    UnansweredPort(const UnansweredPort&) = delete;
    UnansweredPort& operator=(const UnansweredPort&) = delete;
    int port() const { return port_; }

private:
    int listener_, port_;
    int queued_[3];
};
