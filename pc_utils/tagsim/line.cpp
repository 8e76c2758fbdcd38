// Byte I/O on the pseudo-terminal's master side, and the adapter's latency
// timer on the way to the PC.
#include "tagsim.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <unistd.h>

namespace {

long long monotonic_ms()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void write_all(int fd, const unsigned char* p, size_t count)
{
    while (count > 0) {
        ssize_t put = write(fd, p, count);
        if (put < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            return;
        }
        p += put;
        count -= static_cast<size_t>(put);
    }
}

// The held bytes go to the PC, as the adapter sends its packet.
void deliver_held(sim_line& line)
{
    write_all(line.fd, line.held, line.held_count);
    line.held_count = 0;
}

// The ms until the held bytes are due (0: now), or -1 when none are held.
int ms_until_due(const sim_line& line)
{
    if (line.held_count == 0) return -1;
    long long left = line.held_since_ms + line.latency_ms - monotonic_ms();
    return left < 0 ? 0 : static_cast<int>(left);
}

// Waits up to timeout_ms (-1: for ever) for bytes from the PC, delivering
// the held bytes when their time comes; false when none arrived.
bool wait_for_input(sim_line& line, int timeout_ms)
{
    long long deadline = timeout_ms < 0 ? -1 : monotonic_ms() + timeout_ms;
    for (;;) {
        int wait = timeout_ms < 0 ? -1 : static_cast<int>(std::max(0LL, deadline - monotonic_ms()));
        int due = ms_until_due(line);
        if (due == 0) {
            deliver_held(line);
            continue;
        }
        bool for_held = due > 0 && (wait < 0 || due < wait);
        pollfd p{line.fd, POLLIN, 0};
        int n = poll(&p, 1, for_held ? due : wait);
        if (n < 0 && errno == EINTR) continue;
        if (n > 0) return true;
        if (n < 0 || !for_held) return false;
    }
}

}  // namespace

int line_read_byte(sim_line& line, int timeout_ms)
{
    if (line.used == line.have) {
        if (!wait_for_input(line, timeout_ms)) return -1;
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
    if (line.latency_ms <= 0) {
        write_all(line.fd, p, count);
        return;
    }
    while (count > 0) {
        if (line.held_count == 0) line.held_since_ms = monotonic_ms();
        size_t take = std::min(count, SIM_PACKET_BYTES - line.held_count);
        memcpy(line.held + line.held_count, p, take);
        line.held_count += take;
        p += take;
        count -= take;
        if (line.held_count == SIM_PACKET_BYTES) deliver_held(line);
    }
}

void line_send(sim_line& line, const std::string& text)
{
    std::string out = text + "\r\n";
    line_write(line, out.data(), out.size());
}
