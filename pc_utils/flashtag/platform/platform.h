// The few things the program needs from the operating system besides the
// serial port: console set-up, pauses, the user's name and the glyphs of the
// progress bar. One implementation per platform (platform_w32.cpp,
// platform_posix.cpp).
#pragma once

#include <cstddef>
#include <cstdint>

// Every print reaches the console at once, the bar's line without LF too.
void platform_console_init();

void platform_sleep_ms(uint32_t ms);

// Milliseconds on a clock that never jumps, from an arbitrary start.
uint64_t platform_now_ms();

// Makes sure `release` runs however the process ends: at a normal exit, and
// at an interrupt (Ctrl-C, Ctrl-Break; SIGINT, SIGTERM, SIGHUP, SIGQUIT on
// POSIX, where a closed output pipe no longer ends the run),
// which ends the run at once with `interrupted_text` on standard output and
// exit status 1. `release` must be safe to call from a signal handler.
void platform_exit_guard(void (*release)(), const char* interrupted_text);

// For a program that ends its own run at an interrupt (tagfleet): `notice`
// is called at Ctrl-C, Ctrl-Break (SIGINT, SIGTERM, SIGHUP on POSIX) and the
// run goes on, to end itself; it must be safe to call from a signal
// handler. `release` runs at exit, and a closed output pipe does not end
// the run.
void platform_interrupt_notice(void (*release)(), void (*notice)());

// Whether standard output is a terminal (a Windows console).
bool platform_output_is_terminal();

// Writes `count` lines (made of ASCII and the bar's glyphs) over the
// `previous` lines written last, in place on a terminal.
void platform_write_lines_in_place(const char* const* lines, size_t count, size_t previous);

// Asks for 1 ms pause resolution while `on`, gives it back when not. Windows'
// default 15.6 ms tick would otherwise stretch each 20 ms pause to ~31 ms.
void platform_fine_timer(bool on);

// Name of the user logged on; empty text when it cannot be had.
void platform_user_name(char* user, size_t size);

// Each glyph of the progress bar in the three forms the consoles take:
// code page 437 (a Windows program's bytes), UTF-8 (POSIX) and Unicode (a
// Windows console's WriteConsoleW).
struct bar_glyph {
    const char* cp437;
    const char* utf8;
    wchar_t unicode;
};
constexpr bar_glyph BAR_EDGE{"\xb3", "\xe2\x94\x82", L'\u2502'};
constexpr bar_glyph BAR_FILLED{"\xba", "\xe2\x95\x91", L'\u2551'};
constexpr bar_glyph BAR_EMPTY{"\xfa", "\xc2\xb7", L'\u00b7'};

// The progress bar's edge, filled and empty cells in this platform's bytes.
struct bar_glyphs {
    const char* edge;
    const char* filled;
    const char* empty;
};
const bar_glyphs& platform_bar_glyphs();
// Writes one redraw of the bar (made of those glyphs) to standard output:
// as it stands to a file or pipe, as the console shows the same glyphs
// whatever its code page when standard output is a Windows console.
void platform_write_progress(const char* line, size_t length);
