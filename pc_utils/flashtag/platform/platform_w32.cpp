// Windows: the progress bar in code page 437 box drawing, which the console
// shows by default; the multimedia timer for 1 ms pause resolution.
#include "platform.h"

#include <cstdio>
#include <windows.h>
#include <timeapi.h>

void platform_console_init() { setvbuf(stdout, nullptr, _IONBF, 0); }

void platform_sleep_ms(uint32_t ms) { Sleep(ms); }

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
