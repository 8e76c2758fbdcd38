// Linux and macOS: the progress bar in UTF-8, pauses on the monotonic clock.
#include "platform.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <pwd.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

void platform_console_init() { setvbuf(stdout, nullptr, _IONBF, 0); }

void platform_sleep_ms(uint32_t ms)
{
    timespec t{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (clock_nanosleep(CLOCK_MONOTONIC, 0, &t, &t) == EINTR) {
    }
}

// Sleeps are fine-grained already, but Linux lets each one run up to the
// thread's timer slack (50 us by default) late; over a thousand pauses of an
// upload that adds up. Ask for the least slack while uploading.
void platform_fine_timer(bool on)
{
#ifdef __linux__
    static long saved_slack = -1;
    if (on) {
        saved_slack = prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
        prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
    } else if (saved_slack > 0) {
        prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(saved_slack), 0, 0, 0);
    }
#else
    (void)on;
#endif
}

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
