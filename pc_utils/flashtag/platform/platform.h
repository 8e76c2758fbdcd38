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
// is called at Ctrl-C, Ctrl-Break (SIGINT, SIGTERM, SIGHUP, SIGQUIT on
// POSIX) and the run goes on, to end itself; it must be safe to call from a
// signal handler. `release` runs at exit, and a closed output pipe does not
// end the run. On Windows, closing the console window (or logging off, or
// shutting down) ends the process as soon as the handler returns: there the
// notice is followed by a wait of up to PLATFORM_CLOSE_WAIT_MS for the run
// to end (platform_run_ended), and `release` runs before the handler
// returns, whatever the run has reached.
void platform_interrupt_notice(void (*release)(), void (*notice)());
// Says that the run has ended and written all it had to write.
void platform_run_ended();
// Windows gives a closing console's handler about 5 s.
constexpr uint32_t PLATFORM_CLOSE_WAIT_MS = 4000;
#ifdef _WIN32
// The console control handler that platform_interrupt_notice installs, for
// the tests: `event` is CTRL_C_EVENT, CTRL_CLOSE_EVENT and so on.
int platform_console_notice(unsigned long event);
#endif

// Text from the command line (a file name) as UTF-8 into `out` (`size`
// bytes), for records other programs read: Windows gives it in the ANSI
// code page, POSIX as it was typed (UTF-8 in a UTF-8 locale). Text that
// cannot be converted is copied as it is.
void platform_text_to_utf8(const char* text, char* out, size_t size);

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
