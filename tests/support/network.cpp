#include "network.h"

#include "files.h"

#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <deque>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;

sockaddr_in loopback(int port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// Whether 127.0.0.1:port is listening, from the kernel's table (a test
// connection would make ser2net open the device).
bool listening(int port)
{
    char wanted[32];
    snprintf(wanted, sizeof wanted, "0100007F:%04X 00000000:0000 0A", port);
    return read_file("/proc/net/tcp").find(wanted) != std::string::npos;
}

}  // namespace

int listen_on(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a = loopback(port);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 4) != 0)
        throw std::runtime_error("listen");
    return fd;
}

int port_of(int fd)
{
    sockaddr_in a{};
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

int free_tcp_port()
{
    int fd = listen_on(0);
    int port = port_of(fd);
    close(fd);
    return port;
}

Ser2net::Ser2net(const std::string& tty) : raw_port_(free_tcp_port()), telnet_port_(free_tcp_port())
{
    const std::string device = "serialdev," + tty + ",115200n81,local";
    write_file(dir_.file("ser2net.yaml"),
               "connection: &raw\n  accepter: tcp,127.0.0.1," + std::to_string(raw_port_) +
                   "\n  connector: " + device + "\n" +
                   "connection: &telnet\n  accepter: telnet(rfc2217),tcp,127.0.0.1," +
                   std::to_string(telnet_port_) + "\n  connector: " + device + "\n");
    // -n: in the foreground, so that it is stopped by its own pid (the
    // shell execs it); -u: no UUCP lock files for a pseudo-terminal.
    process_ = std::make_unique<Background>(
        std::vector<std::string>{"sh", "-c",
                                 "exec ser2net -n -u -c '" + dir_.file("ser2net.yaml") + "' -P '" +
                                     dir_.file("ser2net.pid") + "' >/dev/null 2>&1"},
        false);
    auto deadline = clock_type::now() + std::chrono::seconds(10);
    while (!(listening(raw_port_) && listening(telnet_port_))) {
        if (clock_type::now() > deadline) throw std::runtime_error("ser2net did not start");
        usleep(20000);
    }
}

DelayingRelay::DelayingRelay(int target, int delay_ms)
    : target_(target), delay_ms_(delay_ms), listener_(listen_on(0)), port_(port_of(listener_)),
      thread_([this] { serve(); })
{
}

DelayingRelay::~DelayingRelay()
{
    stop_ = true;
    thread_.join();
    close(listener_);
}

void DelayingRelay::serve()
{
    struct chunk {
        clock_type::time_point due;
        std::string bytes;
    };
    while (!stop_) {
        pollfd l{listener_, POLLIN, 0};
        if (poll(&l, 1, 50) <= 0) continue;
        int ends[2] = {accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC),
                       socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)};
        sockaddr_in a = loopback(target_);
        if (ends[0] < 0 || connect(ends[1], reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            close(ends[0]);
            close(ends[1]);
            continue;
        }
        int on = 1;
        for (int fd : ends) setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        std::deque<chunk> queued[2];  // [0]: from ends[0] to ends[1]; [1]: back
        bool open[2] = {true, true};
        while (!stop_ && (open[0] || open[1] || !queued[0].empty() || !queued[1].empty())) {
            auto now = clock_type::now();
            for (int d = 0; d < 2; ++d) {
                while (!queued[d].empty() && queued[d].front().due <= now) {
                    const std::string& b = queued[d].front().bytes;
                    (void)!write(ends[1 - d], b.data(), b.size());
                    queued[d].pop_front();
                }
                if (!open[d] && queued[d].empty()) shutdown(ends[1 - d], SHUT_WR);
            }
            pollfd p[2] = {{ends[0], static_cast<short>(open[0] ? POLLIN : 0), 0},
                           {ends[1], static_cast<short>(open[1] ? POLLIN : 0), 0}};
            poll(p, 2, 1);
            for (int d = 0; d < 2; ++d) {
                if ((p[d].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
                char buf[4096];
                ssize_t n = read(ends[d], buf, sizeof buf);
                if (n <= 0) {
                    open[d] = false;
                } else {
                    queued[d].push_back({clock_type::now() + std::chrono::milliseconds(delay_ms_),
                                         std::string(buf, static_cast<size_t>(n))});
                }
            }
        }
        close(ends[0]);
        close(ends[1]);
    }
}

ScriptedServer::ScriptedServer(std::function<void(int fd)> serve)
    : serve_(std::move(serve)), listener_(listen_on(0)), port_(port_of(listener_)),
      acceptor_([this] {
          while (!stop_) {
              pollfd l{listener_, POLLIN, 0};
              if (poll(&l, 1, 50) <= 0) continue;
              int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
              if (fd < 0) continue;
              std::lock_guard<std::mutex> lock(lock_);
              connections_.push_back(fd);
              threads_.emplace_back([this, fd] { serve_(fd); });
          }
      })
{
}

ScriptedServer::~ScriptedServer()
{
    stop_ = true;
    acceptor_.join();
    for (int fd : connections_) shutdown(fd, SHUT_RDWR);
    for (std::thread& t : threads_) t.join();
    for (int fd : connections_) close(fd);
    close(listener_);
}

UnansweredPort::UnansweredPort()
{
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = loopback(0);
    socklen_t len = sizeof a;
    if (bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(listener_, 0) != 0)
        throw std::runtime_error("listen");
    getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    for (int& q : queued_) {
        q = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        (void)connect(q, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    usleep(100000);  // the queue is full once the handshakes are done
}

UnansweredPort::~UnansweredPort()
{
    for (int q : queued_) close(q);
    close(listener_);
}
