// Line reading and the command/reply exchange with the tag's console.
#include "serial/serial.h"
#include "tag.h"
#include "tag_internal.h"

#include <cstring>

namespace {

// A device that is not a tag (or a tag gone wrong) can send without end. No
// console line is longer than this, and no reply comes after more blank
// lines than this: past them the read fails as a time-out does, instead of
// going on for ever.
constexpr size_t MAX_LINE_BYTES = 4096;
constexpr int MAX_BLANK_LINES = 100;

}  // namespace

int32_t tag_read_line(const char* port, char* reply, size_t size)
{
    if (reply == nullptr || size == 0) return SERIAL_EINVAL;
    size_t len = 0;
    for (size_t taken = 0;; ++taken) {
        if (taken == MAX_LINE_BYTES) {
            reply[len] = '\0';
            return SERIAL_EIO;
        }
        unsigned char b = 0;
        int32_t result = serial_read(port, &b, 1);
        if (result != SERIAL_OK) {
            reply[len] = '\0';
            return result;
        }
        if (b == '\n' || b == '\0') break;
        // Past the buffer's end the line is still read to its LF, so that
        // the next read starts on the next line, but its bytes are dropped.
        if (len + 1 < size) reply[len++] = static_cast<char>(b);
    }
    reply[len] = '\0';
    return SERIAL_OK;
}

int32_t tag_read_nonblank_line(const char* port, char* reply, size_t size)
{
    for (int blank = 0; blank < MAX_BLANK_LINES; ++blank) {
        int32_t result = tag_read_line(port, reply, size);
        if (result != SERIAL_OK) return result;
        if (*skip_spaces(reply) != '\0') return SERIAL_OK;
    }
    return SERIAL_EIO;
}

int32_t tag_command(const char* port, const char* command, char* reply, size_t size)
{
    size_t length = strlen(command);
    int32_t result = serial_write(port, command, static_cast<uint32_t>(length));
    if (result != SERIAL_OK) return result;
    // Throw away what the tag sent while the command was typed: normally
    // the echo of its characters. The CR then makes the tag act.
    result = serial_flush_input(port);
    if (result != SERIAL_OK) return result;
    const char cr = '\r';
    result = serial_write(port, &cr, 1);
    if (result != SERIAL_OK) return result;
    result = tag_read_nonblank_line(port, reply, size);
    if (result != SERIAL_OK) return result;

    // A console that echoes whole lines sends the command back before its
    // reply. Once one echo has been seen the test is not made again.
    if (!tag_state.echo_seen && strncmp(reply, command, length) == 0) {
        tag_state.echo_seen = true;
        result = tag_read_nonblank_line(port, reply, size);
    }
    if (result == SERIAL_OK) strip_reply_prefix(reply);
    return result;
}
