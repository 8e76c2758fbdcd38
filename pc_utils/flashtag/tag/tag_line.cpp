// Line reading and the command/reply exchange with the tag's console.
#include "serial/serial.h"
#include "tag.h"
#include "tag_internal.h"

#include <cstdio>
#include <cstring>

namespace {

// A device that is not a tag (or a tag gone wrong) can send without end. No
// reply comes after more blank lines than this (nor is any console line
// longer than MAX_LINE_BYTES): past them the read fails as a time-out does,
// instead of going on for ever.
constexpr int MAX_BLANK_LINES = 100;

// Ends a line read: terminates the text, keeps it for failure messages and
// traces it (the printable copy only when the trace is on: every reply line
// passes here).
int32_t finish_line(const char* port, char* reply, size_t len, int32_t result, tag_fault fault)
{
    reply[len] = '\0';
    snprintf(tag_state.last_line, sizeof tag_state.last_line, "%s", reply);
    tag_state.fault = fault == TAG_FAULT_NONE && result != SERIAL_OK && len > 0 ? TAG_FAULT_CUT
                                                                               : fault;
    if (result == SERIAL_OK) ++tag_state.lines_answered;
    if (!tracing()) return result;
    char shown[TAG_LONG_REPLY * 4];
    printable_text(reply, len, TAG_LONG_REPLY, shown, sizeof shown);
    if (result == SERIAL_OK) {
        tag_trace("< %s", shown);
    } else {
        char why[TAG_REASON_SIZE];
        tag_describe_failure(port, result, why, sizeof why);
        tag_trace("< %s%s(no line end: %s)", shown, len > 0 ? " " : "", why);
    }
    return result;
}

}  // namespace

int32_t tag_read_line(const char* port, char* reply, size_t size)
{
    if (reply == nullptr || size == 0) return SERIAL_EINVAL;
    size_t len = 0;
    for (size_t taken = 0;; ++taken) {
        if (taken == MAX_LINE_BYTES) {
            return finish_line(port, reply, len, SERIAL_EIO, TAG_FAULT_ENDLESS);
        }
        unsigned char b = 0;
        int32_t result = serial_read(port, &b, 1);
        if (result != SERIAL_OK) return finish_line(port, reply, len, result, TAG_FAULT_NONE);
        if (b == '\n' || b == '\0') break;
        // Past the buffer's end the line is still read to its LF, so that
        // the next read starts on the next line, but its bytes are dropped.
        if (len + 1 < size) reply[len++] = static_cast<char>(b);
    }
    return finish_line(port, reply, len, SERIAL_OK, TAG_FAULT_NONE);
}

int32_t tag_read_nonblank_line(const char* port, char* reply, size_t size)
{
    for (int blank = 0; blank < MAX_BLANK_LINES; ++blank) {
        int32_t result = tag_read_line(port, reply, size);
        if (result != SERIAL_OK) return result;
        if (*skip_spaces(reply) != '\0') return SERIAL_OK;
    }
    tag_state.fault = TAG_FAULT_BLANK;
    return SERIAL_EIO;
}

int32_t tag_command(const char* port, const char* command, char* reply, size_t size)
{
    size_t length = strlen(command);
    note_command(command, length);
    int32_t result = serial_write(port, command, static_cast<uint32_t>(length));
    if (result != SERIAL_OK) return result;
    // Throw away what the tag sent while the command was typed: normally
    // the echo of its characters. The CR then makes the tag act.
    result = serial_flush_input(port);
    if (result != SERIAL_OK) return result;
    const char cr = '\r';
    result = serial_write(port, &cr, 1);
    if (result != SERIAL_OK) return result;
    // A console may echo the command: its typed characters, the part the
    // flush missed coming later (an adapter's latency timer holds them back
    // past it), and the whole line after the CR, or both. Every command's
    // echo is skipped, whenever it comes. A line that is only the command's
    // end is kept: when nothing comes after it, it was the reply.
    char tail[TAG_LONG_REPLY] = "";
    for (int echoes = 0;; ++echoes) {
        result = tag_read_nonblank_line(port, reply, size);
        if (result != SERIAL_OK) {
            bool nothing_more = serial_last_error().fault == SERIAL_FAULT_TIMEOUT &&
                                tag_state.fault == TAG_FAULT_NONE;
            if (tail[0] == '\0' || !nothing_more) return result;
            snprintf(reply, size, "%s", tail);
            snprintf(tag_state.last_line, sizeof tag_state.last_line, "%s", tail);
            break;
        }
        tag_echo echo = echo_of(reply, command, length);
        if (echoes == MAX_ECHO_LINES || echo == TAG_ECHO_NONE) break;
        tag_state.echo_seen = true;
        snprintf(tail, sizeof tail, "%s", echo == TAG_ECHO_TAIL ? reply : "");
    }
    strip_reply_prefix(reply);
    return SERIAL_OK;
}
