// What the tag sends, as the screen and the log show it. The tag's bytes
// never reach the terminal as they are (unless --raw): they are shown as
// common/shown_text.h makes them. On a terminal the line being typed stays
// below the tag's output.
#include "common/shown_text.h"
#include "platform/console.h"
#include "platform/platform.h"
#include "tagterm.h"

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstring>
#include <ctime>

namespace {

// A screen's line end: the terminal is written CR LF (a Windows console in
// particular), a file or pipe LF.
const char* line_end(const screen& s) { return s.interactive ? "\r\n" : "\n"; }

void append(char* line, size_t* length, const char* text, size_t n)
{
    size_t room = TERM_SHOWN_SIZE - 1 - *length;
    if (n > room) n = room;
    memcpy(line + *length, text, n);
    *length += n;
}

// "12:03:41.207 ", the local time of day.
size_t timestamp(char* out, size_t size)
{
    auto now = std::chrono::system_clock::now().time_since_epoch();
    int64_t ms = std::chrono::duration_cast<std::chrono::milliseconds>(now).count();
    tm parts{};
    platform_time_parts(ms / 1000, true, &parts);
    int n = snprintf(out, size, "%02d:%02d:%02d.%03d ", parts.tm_hour, parts.tm_min, parts.tm_sec,
                     static_cast<int>(ms % 1000));
    return n > 0 ? static_cast<size_t>(n) : 0;
}

void write_log(screen& s, const char* text, size_t length)
{
    if (s.log == nullptr || !s.log_on) return;
    if (fwrite(text, 1, length, s.log) == length && fputc('\n', s.log) != EOF && fflush(s.log) == 0) {
        return;
    }
    s.log_on = false;
    screen_note(s, "cannot write the log %s (%s): logging is off; Ctrl-T l tries again", s.log_path,
                strerror(errno));
}

// A line of tagterm's own, or one typed, to the log: after the time when
// the tag's lines have it.
void log_own(screen& s, const char* mark, const char* text, size_t length)
{
    char line[TERM_SHOWN_SIZE + 64];
    size_t n = s.timestamps ? timestamp(line, sizeof line) : 0;
    int m = snprintf(line + n, sizeof line - n, "%s%.*s", mark, static_cast<int>(length), text);
    if (m > 0) n += static_cast<size_t>(m) < sizeof line - n ? static_cast<size_t>(m) : sizeof line - n - 1;
    write_log(s, line, n);
}

// The line being typed off the screen, leaving the tag's line as it is.
void hide_edit(screen& s)
{
    if (s.interactive && s.edit_length > 0) console_rewrite_line(s.shown, s.shown_length);
}

void show_edit(screen& s)
{
    if (!s.interactive || s.edit_length == 0) return;
    console_write(s.edit, s.edit_length);
    console_cursor_back(s.edit_back);
}

// The tag's line is over: to the log, and the next begins.
void end_line(screen& s, char* out, size_t* out_length)
{
    const char* end = line_end(s);
    append(out, out_length, end, strlen(end));
    write_log(s, s.logged, s.logged_length);
    s.shown_length = s.logged_length = 0;
    s.line_open = false;
}

// One byte of the tag's into `out` (what the screen gets now).
void emit(screen& s, uint8_t b, char* out, size_t* out_length)
{
    if (b == '\r') return;  // lines end in LF, with or without a CR before it
    if (b == '\n') {
        end_line(s, out, out_length);
        return;
    }
    if (!s.line_open) {
        s.line_open = true;
        if (s.timestamps) {
            char stamp[32];
            size_t n = timestamp(stamp, sizeof stamp);
            append(out, out_length, stamp, n);
            append(s.shown, &s.shown_length, stamp, n);
            append(s.logged, &s.logged_length, stamp, n);
        }
    }
    char text[4];
    size_t n = shown_byte(b, text);
    append(s.logged, &s.logged_length, text, n);
    if (s.raw && (b < 0x20 || b == 0x7F)) {
        text[0] = static_cast<char>(b);
        n = 1;
    }
    append(out, out_length, text, n);
    append(s.shown, &s.shown_length, text, n);
    // A line too long to hold is broken: the screen shows it on.
    if (s.shown_length + 8 >= TERM_SHOWN_SIZE || s.logged_length + 8 >= TERM_SHOWN_SIZE) {
        end_line(s, out, out_length);
    }
}

// Whether `b` is the echo of the line sent last; once a byte is not, what
// was taken for the echo is shown after all.
bool take_echo(screen& s, uint8_t b, char* out, size_t* out_length)
{
    if (s.echo_line_end) {
        if (b == '\r') return true;
        s.echo_line_end = false;
        if (b == '\n') return true;
    }
    if (s.echo_length == 0) return false;
    if (b == static_cast<uint8_t>(s.echo[s.echo_matched])) {
        if (++s.echo_matched == s.echo_length) {
            s.echo_length = 0;
            s.echo_line_end = true;
        }
        return true;
    }
    size_t matched = s.echo_matched;
    s.echo_length = s.echo_matched = 0;
    for (size_t i = 0; i < matched; ++i) emit(s, static_cast<uint8_t>(s.echo[i]), out, out_length);
    return false;
}

}  // namespace

void screen_tag_bytes(screen& s, const uint8_t* bytes, size_t count)
{
    char out[TERM_SHOWN_SIZE * 2];
    size_t out_length = 0;
    bool hidden = false;
    for (size_t i = 0; i < count; ++i) {
        if (take_echo(s, bytes[i], out, &out_length)) continue;
        emit(s, bytes[i], out, &out_length);
        if (out_length + TERM_SHOWN_SIZE / 2 > sizeof out || i + 1 == count) {
            if (out_length == 0) continue;
            if (!hidden) hide_edit(s);
            hidden = true;
            console_write(out, out_length);
            out_length = 0;
        }
    }
    if (out_length > 0) {
        if (!hidden) hide_edit(s);
        hidden = true;
        console_write(out, out_length);
    }
    if (hidden) show_edit(s);
}

void screen_note(screen& s, const char* format, ...)
{
    char text[TERM_SHOWN_SIZE];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(text, sizeof text, format, args);  // NOLINT(clang-analyzer-valist.Uninitialized)
    va_end(args);
    size_t length = n < 0 ? 0 : static_cast<size_t>(n) < sizeof text ? static_cast<size_t>(n) : sizeof text - 1;
    log_own(s, "[tagterm] ", text, length);
    if (!s.interactive) {
        fprintf(stderr, "tagterm: %.*s\n", static_cast<int>(length), text);
        return;
    }
    char line[TERM_SHOWN_SIZE + 16];
    int m = snprintf(line, sizeof line, "[tagterm] %.*s", static_cast<int>(length), text);
    console_rewrite_line(line, static_cast<size_t>(m) < sizeof line ? static_cast<size_t>(m) : sizeof line - 1);
    console_write("\r\n", 2);
    console_rewrite_line(s.shown, s.shown_length);
    show_edit(s);
}

void screen_typed(screen& s)
{
    if (!s.interactive) return;
    // The tag's prompt and the line typed after it end the screen's line.
    if (s.logged_length > 0) write_log(s, s.logged, s.logged_length);
    char full[TERM_SHOWN_SIZE + sizeof s.edit];
    memcpy(full, s.shown, s.shown_length);
    memcpy(full + s.shown_length, s.edit, s.edit_length);
    console_rewrite_line(full, s.shown_length + s.edit_length);
    console_write("\r\n", 2);
    s.shown_length = s.logged_length = 0;
    s.line_open = false;
    s.edit_length = s.edit_back = 0;
}

void screen_sent(screen& s, const char* line)
{
    log_own(s, "[typed] ", line, strlen(line));
    if (!s.interactive) return;
    snprintf(s.echo, sizeof s.echo, "%s", line);
    s.echo_length = strlen(s.echo);
    s.echo_matched = 0;
    s.echo_line_end = false;
}

void screen_aside(screen& s)
{
    if (s.interactive) console_rewrite_line("", 0);
}

void screen_back(screen& s)
{
    if (!s.interactive) return;
    console_rewrite_line(s.shown, s.shown_length);
    show_edit(s);
}

void screen_edit(screen& s, const char* line, size_t length, size_t cursor)
{
    if (!s.interactive) return;
    size_t n = 0;
    for (size_t i = 0; i < length && n + 4 < sizeof s.edit; ++i) {
        n += shown_byte(static_cast<uint8_t>(line[i]), s.edit + n);
    }
    s.edit_length = n;
    s.edit_back = length - cursor;
    console_rewrite_line(s.shown, s.shown_length);
    show_edit(s);
}

void screen_progress(screen& s, const char* bar, size_t length)
{
    if (s.interactive) platform_write_progress(bar, length);
}

void screen_finish(screen& s)
{
    if (!s.line_open) return;
    console_write(line_end(s), strlen(line_end(s)));
    write_log(s, s.logged, s.logged_length);
    s.line_open = false;
}
