// Byte I/O on the pseudo-terminal's master side.
#include "tagsim.h"

#include <cerrno>
#include <poll.h>
#include <unistd.h>

int line_read_byte(sim_line& line, int timeout_ms)
{
    if (line.used == line.have) {
        pollfd p{line.fd, POLLIN, 0};
        int n = 0;
        do {
            n = poll(&p, 1, timeout_ms);
        } while (n < 0 && errno == EINTR);
        if (n <= 0) return -1;
        ssize_t got = read(line.fd, line.buf, sizeof line.buf);
        if (got <= 0) return -1;
        line.have = static_cast<size_t>(got);
        line.used = 0;
        if (line.save_fd >= 0 && write(line.save_fd, line.buf, line.have) < 0) line.save_fd = -1;
    }
    return line.buf[line.used++];
}

// With no tag in the slot nothing answers.
void line_write(sim_line& line, const void* bytes, size_t count)
{
    if (tag_out) return;
    const auto* p = static_cast<const unsigned char*>(bytes);
    while (count > 0) {
        ssize_t put = write(line.fd, p, count);
        if (put < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            return;
        }
        p += put;
        count -= static_cast<size_t>(put);
    }
}

void line_send(sim_line& line, const std::string& text)
{
    std::string out = text + "\r\n";
    line_write(line, out.data(), out.size());
}
