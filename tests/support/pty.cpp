#include "pty.h"
#include "terminal.h"

#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <unistd.h>

Pty::Pty(const TempDir& dir, const std::string& name)
{
    master_ = open_serial_like_pty(path_, &slave_);
    if (master_ < 0) throw std::runtime_error("pseudo-terminal");
    if (symlink(path_.c_str(), dir.file(name).c_str()) != 0) throw std::runtime_error("pty link");
}

Pty::~Pty()
{
    hang_up();
    if (slave_ >= 0) close(slave_);
}

void Pty::send(const std::string& bytes)
{
    if (write(master_, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
        throw std::runtime_error("pty write");
}

std::string Pty::receive(int timeout_ms)
{
    std::string got;
    char buf[256];
    pollfd p{master_, POLLIN, 0};
    while (poll(&p, 1, timeout_ms) > 0) {
        ssize_t n = read(master_, buf, sizeof buf);
        if (n <= 0) break;
        got.append(buf, static_cast<size_t>(n));
        timeout_ms = 20;  // then take whatever follows at once
    }
    return got;
}

void Pty::hang_up()
{
    if (master_ >= 0) close(master_);
    master_ = -1;
}

std::thread Pty::answer_command(std::string reply, std::string* typed)
{
    return std::thread([this, reply, typed] {
        std::string got;
        for (int i = 0; i < 100 && got.find('\r') == std::string::npos; ++i) got += receive(50);
        send(reply);
        *typed = got;
    });
}
