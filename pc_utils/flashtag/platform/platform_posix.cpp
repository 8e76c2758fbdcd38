// Linux and macOS: the progress bar in UTF-8, pauses on the monotonic clock.
#include "platform.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <pwd.h>
#include <unistd.h>

void platform_console_init() { setvbuf(stdout, nullptr, _IONBF, 0); }

void platform_sleep_ms(uint32_t ms)
{
    timespec t{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (clock_nanosleep(CLOCK_MONOTONIC, 0, &t, &t) == EINTR) {
    }
}

void platform_fine_timer(bool) {}  // nanosleep is already fine-grained

void platform_user_name(char* user, size_t size)
{
    if (size == 0) return;
    user[0] = '\0';
    passwd pw{};
    passwd* found = nullptr;
    char buf[1024];
    if (getpwuid_r(geteuid(), &pw, buf, sizeof buf, &found) == 0 && found != nullptr &&
        strlen(found->pw_name) < size) {
        memcpy(user, found->pw_name, strlen(found->pw_name) + 1);
    }
}

const bar_glyphs& platform_bar_glyphs()
{
    static const bar_glyphs glyphs{"\u2502", "\u2551", "\u00b7"};
    return glyphs;
}
