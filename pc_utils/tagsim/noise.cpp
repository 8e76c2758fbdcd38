// Devices on a serial port that are not a tag: one that answers with noise,
// one that sends without end (a GPS receiver or a logger, say).
#include "tagsim.h"

#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {

// Any byte but the two that end a console line.
unsigned char noise_byte()
{
    for (;;) {
        auto c = static_cast<unsigned char>(rand() % 256);
        if (c != '\n' && c != '\0') return c;
    }
}

}  // namespace

std::string random_line()
{
    // Starts with a byte above ASCII, so it never passes for a reply.
    std::string line(1, static_cast<char>(0x80 + rand() % 128));
    int length = rand() % 80;
    for (int i = 0; i < length; ++i) line += static_cast<char>(noise_byte());
    return line;
}

[[noreturn]] void babble(sim_tag& tag)
{
    // Never block: when nobody reads, the bytes are simply lost, as they
    // would be on a line without a listener.
    fcntl(tag.line.fd, F_SETFL, fcntl(tag.line.fd, F_GETFL) | O_NONBLOCK);
    unsigned char chunk[64];
    for (;;) {
        for (auto& c : chunk) c = noise_byte();
        ssize_t put = write(tag.line.fd, chunk, sizeof chunk);
        (void)put;
        unsigned char in[256];
        while (read(tag.line.fd, in, sizeof in) > 0) {
        }
        usleep(1000);
    }
}
