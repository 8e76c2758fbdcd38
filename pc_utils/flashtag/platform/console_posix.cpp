// The console on POSIX: the terminal in non-canonical mode without echo or
// signal characters, and its keys' escape sequences decoded.
#include "console.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

termios saved{};
bool have_saved = false;

// Bytes read from the terminal and not yet made into keys.
unsigned char pending[64];
size_t pending_count = 0;

// More of the terminal's bytes, waiting up to `wait_ms` for the first.
void fill(int wait_ms)
{
    if (pending_count == sizeof pending) return;
    pollfd p{STDIN_FILENO, POLLIN, 0};
    if (poll(&p, 1, wait_ms) <= 0) return;
    ssize_t n = read(STDIN_FILENO, pending + pending_count, sizeof pending - pending_count);
    if (n > 0) pending_count += static_cast<size_t>(n);
}

void drop(size_t n)
{
    memmove(pending, pending + n, pending_count - n);
    pending_count -= n;
}

// The byte at `i`, reading more for a moment when a sequence is cut short.
int byte_at(size_t i)
{
    if (i >= pending_count) fill(10);
    return i < pending_count ? pending[i] : -1;
}

// ESC [ or ESC O and the rest of a cursor key's sequence; *length gets its
// bytes. False for anything else (a lone Escape).
bool cursor_key(console_key* key, size_t* length)
{
    int second = byte_at(1);
    if (second != '[' && second != 'O') return false;
    unsigned number = 0;
    size_t i = 2;
    int c = byte_at(i);
    while ((c >= '0' && c <= '9') || c == ';') {
        if (c != ';') number = number * 10 + static_cast<unsigned>(c - '0');
        c = byte_at(++i);
    }
    *length = i + 1;
    switch (c) {
    case 'A': key->kind = KEY_UP; return true;
    case 'B': key->kind = KEY_DOWN; return true;
    case 'C': key->kind = KEY_RIGHT; return true;
    case 'D': key->kind = KEY_LEFT; return true;
    case 'H': key->kind = KEY_HOME; return true;
    case 'F': key->kind = KEY_END; return true;
    case '~':
        if (number == 1 || number == 7) key->kind = KEY_HOME;
        else if (number == 4 || number == 8) key->kind = KEY_END;
        else if (number == 3) key->kind = KEY_DELETE;
        else return false;
        return true;
    default: return false;
    }
}

// A UTF-8 character's code point and length; U+FFFD for a malformed one.
uint32_t utf8_char(size_t* length)
{
    int lead = byte_at(0);
    *length = 1;
    if (lead < 0x80) return static_cast<uint32_t>(lead);
    size_t more = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : 0;
    uint32_t code = static_cast<uint32_t>(lead) & (0x3Fu >> more);
    if (lead < 0xC0) return 0xFFFD;
    for (size_t i = 1; i <= more; ++i) {
        int c = byte_at(i);
        if (c < 0 || (c & 0xC0) != 0x80) return 0xFFFD;
        code = (code << 6) | (static_cast<uint32_t>(c) & 0x3F);
        *length = i + 1;
    }
    return code;
}

}  // namespace

bool console_keys_begin()
{
    if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &saved) != 0) return false;
    have_saved = true;
    termios raw = saved;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG | IEXTEN);
    raw.c_iflag &= ~static_cast<tcflag_t>(IXON | ICRNL | INLCR);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    return tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
}

void console_keys_end()
{
    if (have_saved) tcsetattr(STDIN_FILENO, TCSANOW, &saved);
}

bool console_next_key(console_key* key)
{
    if (pending_count == 0) fill(0);
    if (pending_count == 0) return false;
    unsigned char c = pending[0];
    size_t length = 1;
    *key = console_key{KEY_CONTROL, c};
    if (c == 0x1B) {
        if (!cursor_key(key, &length)) length = 1;
    } else if (c == '\r' || c == '\n') {
        key->kind = KEY_ENTER;
    } else if (c == 0x7F || c == 0x08) {
        key->kind = KEY_BACKSPACE;
    } else if (c >= 0x20) {
        key->kind = KEY_TEXT;
        key->code = utf8_char(&length);
    }
    drop(length < pending_count ? length : pending_count);
    return true;
}

void console_write(const char* utf8, size_t length)
{
    while (length > 0) {
        ssize_t n = write(STDOUT_FILENO, utf8, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        utf8 += n;
        length -= static_cast<size_t>(n);
    }
}

void console_rewrite_line(const char* utf8, size_t length)
{
    console_write("\r", 1);
    console_write(utf8, length);
    console_write("\x1b[K", 3);
}

void console_cursor_back(size_t columns)
{
    if (columns == 0) return;
    char move[24];
    int n = snprintf(move, sizeof move, "\x1b[%luD", static_cast<unsigned long>(columns));
    console_write(move, static_cast<size_t>(n));
}
