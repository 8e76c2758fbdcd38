// Windows: the progress bar in code page 437 box drawing, the bytes a file
// or pipe gets; a console is written the same glyphs in Unicode, which it
// shows whatever its code page (1252, or 65001 in Windows Terminal). The
// pauses are in timer_w32.cpp, the commands run in command_w32.cpp.
#include "platform.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
// clang-format off
#include <windows.h>
#include <bcrypt.h>
// clang-format on

void platform_console_init() { setvbuf(stdout, nullptr, _IONBF, 0); }

namespace {

void (*release_on_exit)() = nullptr;
const char* interrupted_line = "";

// How long an interrupt waits for its line to be written before the run
// ends all the same.
constexpr DWORD INTERRUPTED_LINE_WAIT_MS = 1000;

// The line goes out with the system's own write, not the C run-time's: the
// main thread may be blocked inside printf on a stalled pipe, holding the
// stream's lock.
DWORD WINAPI write_interrupted_line(void*)
{
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), interrupted_line,
              static_cast<DWORD>(strlen(interrupted_line)), &written, nullptr);
    return 0;
}

// Runs on a thread of its own while the main thread may be inside a read
// of the port, whose handle it must not close under it: the process's end
// closes every handle, and Windows keeps no exclusive flag behind. A pipe
// that nobody reads would block the write for ever, so it gets a thread of
// its own and a bounded wait: the run ends either way.
BOOL WINAPI on_console_event(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) {
        return FALSE;
    }
    HANDLE writer = CreateThread(nullptr, 0, write_interrupted_line, nullptr, 0, nullptr);
    if (writer != nullptr) WaitForSingleObject(writer, INTERRUPTED_LINE_WAIT_MS);
    ExitProcess(1);
}

void release_at_exit() { release_on_exit(); }

void (*interrupt_notice)() = nullptr;
// Set when the run has ended (manual reset, so that every waiter sees it).
HANDLE run_ended = CreateEventA(nullptr, TRUE, FALSE, nullptr);

BOOL WINAPI on_console_notice(DWORD event) { return platform_console_notice(event); }

// The line as the console shows it: the bar's glyphs in Unicode, the rest
// ASCII. Its length in `wide` (`size` characters).
DWORD widen_bar_line(const char* line, size_t length, wchar_t* wide, DWORD size)
{
    DWORD n = 0;
    for (size_t i = 0; i < length && n < size; ++i) {
        char c = line[i];
        wchar_t w = static_cast<wchar_t>(static_cast<unsigned char>(c));
        for (const bar_glyph& g : {BAR_EDGE, BAR_FILLED, BAR_EMPTY}) {
            if (c == g.cp437[0]) w = g.unicode;
        }
        wide[n++] = w;
    }
    return n;
}

HANDLE output() { static HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE); return out; }

// Asked once: under Wine each console query is a round trip to its
// server, and the bar is redrawn thousands of times an upload.
bool console_output()
{
    static const bool console = [] {
        DWORD mode = 0;
        return GetConsoleMode(output(), &mode) != 0;
    }();
    return console;
}

}  // namespace

uint64_t platform_now_ms() { return GetTickCount64(); }

void platform_exit_guard(void (*release)(), const char* interrupted_text)
{
    release_on_exit = release;
    interrupted_line = interrupted_text;
    atexit(release_at_exit);
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

void platform_user_name(char* user, size_t size)
{
    if (size == 0) return;
    DWORD userlen = static_cast<DWORD>(size);
    // On failure (a name that does not fit, say) the buffer's content is
    // undefined: send an empty name instead.
    if (!GetUserNameA(user, &userlen)) user[0] = '\0';
}

void platform_write_progress(const char* line, size_t length)
{
    if (!console_output()) {
        fwrite(line, 1, length, stdout);
        return;
    }
    wchar_t wide[256];
    DWORD n = widen_bar_line(line, length, wide, sizeof wide / sizeof wide[0]);
    DWORD written = 0;
    WriteConsoleW(output(), wide, n, &written, nullptr);
}

// Ctrl-C and Ctrl-Break leave the run to end itself. When the console goes
// (its window closed, a log-off, a shut-down) Windows ends the process as
// soon as this returns, so the run is given a few seconds to end and write
// its records, and the ports are released here all the same: the process
// may end before its own release at exit has run.
int platform_console_notice(unsigned long event)
{
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT: interrupt_notice(); return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        interrupt_notice();
        WaitForSingleObject(run_ended, PLATFORM_CLOSE_WAIT_MS);
        release_on_exit();
        return TRUE;
    default: return FALSE;
    }
}

void platform_run_ended() { SetEvent(run_ended); }

void platform_text_to_utf8(const char* text, char* out, size_t size)
{
    if (size == 0) return;
    wchar_t wide[1024];
    int n = MultiByteToWideChar(CP_ACP, 0, text, -1, wide, static_cast<int>(sizeof wide / sizeof wide[0]));
    if (n <= 0 || WideCharToMultiByte(CP_UTF8, 0, wide, -1, out, static_cast<int>(size), nullptr,
                                      nullptr) <= 0) {
        snprintf(out, size, "%s", text);
    }
}

void platform_interrupt_notice(void (*release)(), void (*notice)())
{
    interrupt_notice = notice;
    release_on_exit = release;
    atexit(release_at_exit);
    SetConsoleCtrlHandler(on_console_notice, TRUE);
}

bool platform_output_is_terminal() { return console_output(); }

// The colour a line's sequence asks for, as console attributes: `plain` for
// PLATFORM_PLAIN; -1 when `c` starts no colour sequence. *length gets the
// sequence's length.
int colour_at(const char* c, WORD plain, size_t* length)
{
    static const struct {
        const char* sequence;
        WORD attributes;
    } colours[] = {{PLATFORM_GREEN, FOREGROUND_GREEN | FOREGROUND_INTENSITY},
                   {PLATFORM_RED, FOREGROUND_RED | FOREGROUND_INTENSITY},
                   {PLATFORM_PLAIN, 0}};
    for (const auto& colour : colours) {
        size_t n = strlen(colour.sequence);
        if (strncmp(c, colour.sequence, n) == 0) {
            *length = n;
            return colour.attributes != 0 ? colour.attributes : plain;
        }
    }
    return -1;
}

// Through the console API: the cursor goes back to the first line written
// last, and each line is written padded to the window's width, its colours
// as the console's text attributes.
void platform_write_lines_in_place(const char* const* lines, size_t count, size_t previous)
{
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!console_output() || !GetConsoleScreenBufferInfo(output(), &info)) return;
    const WORD plain = info.wAttributes;
    COORD at = info.dwCursorPosition;
    at.X = 0;
    at.Y = static_cast<SHORT>(at.Y > static_cast<SHORT>(previous) ? at.Y - static_cast<SHORT>(previous) : 0);
    SetConsoleCursorPosition(output(), at);
    const DWORD width = static_cast<DWORD>(info.dwSize.X > 1 ? info.dwSize.X - 1 : 1);
    for (size_t i = 0; i < count; ++i) {
        // Cut to the width, so that no line wraps.
        DWORD columns = 0, written = 0;
        for (const char* c = lines[i]; *c != '\0' && columns < width;) {
            size_t length = 0;
            int colour = colour_at(c, plain, &length);
            if (colour >= 0) {
                SetConsoleTextAttribute(output(), static_cast<WORD>(colour));
                c += length;
                continue;
            }
            size_t run = 0;
            while (c[run] != '\0' && c[run] != '\x1b') ++run;
            if (run == 0) run = 1;  // a lone escape
            wchar_t wide[512];
            DWORD n = widen_bar_line(c, run, wide, width - columns < 512 ? width - columns : 512);
            WriteConsoleW(output(), wide, n, &written, nullptr);
            columns += n;
            c += run;
        }
        SetConsoleTextAttribute(output(), plain);
        wchar_t rest[514];
        DWORD n = 0;
        while (columns + n < width && n < 512) rest[n++] = L' ';
        rest[n++] = L'\r';
        rest[n++] = L'\n';
        WriteConsoleW(output(), rest, n, &written, nullptr);
    }
}

void platform_bell()
{
    DWORD written = 0;
    if (console_output()) {
        WriteConsoleW(output(), L"\a", 1, &written, nullptr);
    } else {
        fputs("\a", stdout);
    }
}

int platform_write_errno(int error)
{
    switch (GetLastError()) {
    case ERROR_BROKEN_PIPE:
    case ERROR_NO_DATA:
    case ERROR_PIPE_NOT_CONNECTED: return EPIPE;
    default: return error;
    }
}

void platform_time_parts(int64_t seconds, bool local, struct tm* out)
{
    auto t = static_cast<time_t>(seconds);
    if (local) {
        localtime_s(out, &t);
    } else {
        gmtime_s(out, &t);
    }
}

void platform_host_name(char* name, size_t size)
{
    if (size == 0) return;
    DWORD length = static_cast<DWORD>(size);
    if (!GetComputerNameA(name, &length)) name[0] = '\0';
}

bool platform_random_bytes(uint8_t* out, size_t size)
{
    return BCryptGenRandom(nullptr, out, static_cast<ULONG>(size), BCRYPT_USE_SYSTEM_PREFERRED_RNG) >= 0;
}

const bar_glyphs& platform_bar_glyphs()
{
    static const bar_glyphs glyphs{BAR_EDGE.cp437, BAR_FILLED.cp437, BAR_EMPTY.cp437};
    return glyphs;
}
