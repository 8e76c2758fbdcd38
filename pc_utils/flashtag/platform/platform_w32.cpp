// Windows: the progress bar in code page 437 box drawing, which the console
// shows by default; the multimedia timer for 1 ms pause resolution.
#include "platform.h"

#include <cstdio>
#include <cstdlib>
#include <windows.h>
#include <timeapi.h>

void platform_console_init() { setvbuf(stdout, nullptr, _IONBF, 0); }

namespace {

void (*release_on_exit)() = nullptr;
const char* interrupted_line = "";

// Runs on a thread of its own while the main thread may be inside a read
// of the port, whose handle it must not close under it: the process's end
// closes every handle, and Windows keeps no exclusive flag behind.
BOOL WINAPI on_console_event(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) {
        return FALSE;
    }
    fputs(interrupted_line, stdout);
    fflush(stdout);
    ExitProcess(1);
}

void release_at_exit() { release_on_exit(); }

}  // namespace

void platform_sleep_ms(uint32_t ms) { Sleep(ms); }

uint64_t platform_now_ms() { return GetTickCount64(); }

void platform_exit_guard(void (*release)(), const char* interrupted_text)
{
    release_on_exit = release;
    interrupted_line = interrupted_text;
    atexit(release_at_exit);
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

void platform_fine_timer(bool on)
{
    if (on) {
        timeBeginPeriod(1);
    } else {
        timeEndPeriod(1);
    }
}

void platform_user_name(char* user, size_t size)
{
    if (size == 0) return;
    DWORD userlen = static_cast<DWORD>(size);
    // On failure (a name that does not fit, say) the buffer's content is
    // undefined: send an empty name instead.
    if (!GetUserNameA(user, &userlen)) user[0] = '\0';
}

const bar_glyphs& platform_bar_glyphs()
{
    static const bar_glyphs glyphs{"\xb3", "\xba", "\xfa"};
    return glyphs;
}
