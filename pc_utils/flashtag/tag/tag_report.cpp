// What the connection tells the user: the trace of the line (-v) and, after
// a failure, why it failed in words that follow the port's name.
#include "common/bytes.h"
#include "platform/platform.h"
#include "serial/serial.h"
#include "tag.h"
#include "tag_internal.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

// Enough of a bad reply to recognise it by.
constexpr size_t QUOTED_REPLY_CHARS = 40;
static_assert(TAG_QUOTED_REPLY_SIZE >= QUOTED_REPLY_CHARS * 4 + 8, "room for every byte as \\xNN");

bool trace_enabled = false;
uint64_t trace_start_ms = 0;
thread_local char trace_label[SERIAL_MAX_PATH + 3];  // "COM4: ", or empty

// The time-out as a user reads it: "1 s", "10 ms".
void format_timeout(const char* port, char* text, size_t size)
{
    uint32_t ms = 0;
    (void)serial_get_timeout(port, &ms);
    if (ms % 1000 == 0) {
        snprintf(text, size, "%lu s", static_cast<unsigned long>(ms / 1000));
    } else {
        snprintf(text, size, "%lu ms", static_cast<unsigned long>(ms));
    }
}

}  // namespace

void printable_text(const char* text, size_t length, size_t max_chars, char* out, size_t size)
{
    if (size == 0) return;
    size_t n = 0;
    auto put = [&](const char* piece) { append_piece(out, size, &n, piece); };
    for (size_t i = 0; i < length && i < max_chars; ++i) {
        auto c = static_cast<unsigned char>(text[i]);
        char piece[8] = {static_cast<char>(c), '\0'};
        switch (c) {
        case '\r': put("\\r"); break;
        case '\n': put("\\n"); break;
        case '\t': put("\\t"); break;
        case '"': put("\\\""); break;
        case '\\': put("\\\\"); break;
        default:
            if (c < 0x20 || c > 0x7E) snprintf(piece, sizeof piece, "\\x%02X", c);
            put(piece);
        }
    }
    if (length > max_chars) put("...");
    out[n] = '\0';
}

bool tracing() { return trace_enabled; }

void tag_trace_on()
{
    trace_enabled = true;
    trace_start_ms = platform_now_ms();
}

void tag_trace(const char* format, ...)
{
    if (!trace_enabled) return;
    char line[512];
    va_list args;
    va_start(args, format);
    // clang-tidy 14 does not see va_start through GCC's stdarg (a false alarm).
    vsnprintf(line, sizeof line, format, args);  // NOLINT(clang-analyzer-valist.Uninitialized)
    va_end(args);
    fprintf(stderr, "[%6lu ms] %s%s\n",
            static_cast<unsigned long>(platform_now_ms() - trace_start_ms), trace_label, line);
}

void tag_trace_label(const char* port)
{
    snprintf(trace_label, sizeof trace_label, "%s%s", port, port[0] != '\0' ? ": " : "");
}

void note_command(const char* command, size_t length)
{
    char shown[TAG_SHORT_REPLY * 4];
    printable_text(command, length, TAG_SHORT_REPLY, shown, sizeof shown);
    snprintf(tag_state.awaiting, sizeof tag_state.awaiting, "\"%s\"", shown);
    tag_state.lines_answered = 0;
    tag_trace("> %s", shown);
}

void tag_await_reply_to(const char* what)
{
    snprintf(tag_state.awaiting, sizeof tag_state.awaiting, "%s", what);
    tag_state.lines_answered = 0;
}

bool tag_found_nothing(int32_t result)
{
    if (result != SERIAL_EIO) return false;
    serial_error e = serial_last_error();
    if (e.fault == SERIAL_FAULT_MISSING || e.fault == SERIAL_FAULT_REFUSED) return true;
    return e.fault == SERIAL_FAULT_TIMEOUT && strcmp(e.call, "read") == 0 &&
           tag_state.fault == TAG_FAULT_NONE && tag_state.lines_answered == 0;
}

void tag_quote_reply(const char* line, char* text, size_t size)
{
    // The reply as the tag meant it: without the CR of its line end.
    size_t length = strlen(line);
    if (length > 0 && line[length - 1] == '\r') --length;
    printable_text(line, length, QUOTED_REPLY_CHARS, text, size);
}

void tag_describe_failure(const char* port, int32_t result, char* text, size_t size)
{
    char reply[TAG_QUOTED_REPLY_SIZE];
    tag_quote_reply(tag_state.last_line, reply, sizeof reply);
    const char* awaiting = tag_state.awaiting;
    char timeout[16];
    format_timeout(port, timeout, sizeof timeout);

    if (result == TAG_EVERSION) {
        snprintf(text, size, "answered \"%s\", which is not a tag's version reply", reply);
    } else if (result != SERIAL_EINVAL && result != SERIAL_EIO) {
        snprintf(text, size, "answered \"%s\" after %s", reply, awaiting);
    } else if (tag_state.fault == TAG_FAULT_ENDLESS) {
        snprintf(text, size, "sent more than %lu bytes without a line end after %s",
                 static_cast<unsigned long>(MAX_LINE_BYTES), awaiting);
    } else if (tag_state.fault == TAG_FAULT_BLANK) {
        snprintf(text, size, "sent nothing but blank lines after %s", awaiting);
    } else if (serial_last_error().fault == SERIAL_FAULT_NO_DATA) {
        snprintf(text, size, "sent a stream of telnet commands and no reply to %s within %s",
                 awaiting, timeout);
    } else if (serial_last_error().fault == SERIAL_FAULT_TIMEOUT &&
               strcmp(serial_last_error().call, "read") == 0) {
        if (tag_state.fault == TAG_FAULT_CUT) {
            snprintf(text, size, "did not finish a line of its answer to %s within %s (it sent "
                     "\"%s\")", awaiting, timeout, reply);
        } else if (tag_state.lines_answered == 0) {
            snprintf(text, size, "did not answer %s within %s", awaiting, timeout);
        } else {
            snprintf(text, size, "stopped in the middle of its answer to %s (nothing for %s)",
                     awaiting, timeout);
        }
    } else {
        serial_describe_error(text, size);
    }
    // A program that holds the port without locking it takes the replies
    // meant for this one; say who it is.
    char holders[TAG_REASON_SIZE / 2];
    serial_describe_holders(port, holders, sizeof holders);
    if (holders[0] != '\0') {
        size_t used = strnlen(text, size);
        bool in_use = result == SERIAL_EIO && serial_last_error().fault == SERIAL_FAULT_IN_USE;
        snprintf(text + used, size - used,
                 in_use ? "; it is open in %s" : "; it is also open in %s, which may have taken "
                                                  "the replies", holders);
    }
}
