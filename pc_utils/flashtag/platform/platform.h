// The few things the program needs from the operating system besides the
// serial port: console set-up, pauses, the user's name and the glyphs of the
// progress bar, a file that processes share. One implementation per platform
// (platform_w32.cpp with platform_files_w32.cpp, platform_posix.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>

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
// end the process: the write to it fails instead (EPIPE), as on Windows,
// for the program to end its run. On Windows, closing the console window (or logging off, or
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

// Colours a line written in place may hold, as the ANSI sequences that
// POSIX terminals take; a Windows console is given them through its API.
#define PLATFORM_GREEN "\x1b[32m"
#define PLATFORM_RED "\x1b[31m"
#define PLATFORM_PLAIN "\x1b[0m"
// Writes `count` lines (made of ASCII, the bar's glyphs and the colours
// above) over the `previous` lines written last, in place on a terminal.
void platform_write_lines_in_place(const char* const* lines, size_t count, size_t previous);
// The terminal's bell.
void platform_bell();
// Why a write to standard output or error just failed on this thread, as
// an errno value: `error`, the C runtime's, which on Windows says EINVAL
// for a pipe whose reader has gone (EPIPE then, from the system's error).
int platform_write_errno(int error);

// The time of day: seconds since 1970 into `out`, in UTC or local time.
void platform_time_parts(int64_t seconds, bool local, struct tm* out);
// This computer's name; empty text when it cannot be had.
void platform_host_name(char* name, size_t size);
// `size` bytes from the system's source of random numbers: false when it
// gave none.
bool platform_random_bytes(uint8_t* out, size_t size);

// How a command run through the system's shell ended: it exited, it ran
// past its time and was stopped, it was stopped when its caller called it
// off, or it could not be started.
enum platform_command_end {
    PLATFORM_COMMAND_EXITED,
    PLATFORM_COMMAND_STOPPED,
    PLATFORM_COMMAND_CALLED_OFF,
    PLATFORM_COMMAND_NOT_RUN,
};
// Runs `command` through the system's shell (/bin/sh -c; cmd /c on Windows)
// with `env` ("NAME=value", `env_count` of them; on Windows made safe as
// platform_command_safe_entry says) added to this process's environment,
// standard input empty and its output on standard error. It inherits no
// other handle or file descriptor of this program's. Waits for it at most
// `timeout_ms`, then stops it (and what it started); so too once
// `called_off` (null: never), asked at least every 50 ms from this thread
// while the command runs, returns true. Stopping takes at most 200 ms more.
// *status gets its exit status when it exited.
platform_command_end platform_run_command(const char* command, const char* const* env,
                                          size_t env_count, uint32_t timeout_ms,
                                          bool (*called_off)(), int* status);

#ifdef _WIN32
// cmd, which runs the command, reads it again after it has put a variable's
// value in (%TAGFLEET_REASON%), so text that came from a device could end
// the command and start another. What an environment entry "NAME=value"
// becomes before a command gets it: in the value, `"` becomes `'`, and the
// other characters cmd treats specially (& | < > ^ % ! ( ) and control
// characters, CR and LF among them) become `_`. Always NUL-terminated.
void platform_command_safe_entry(const char* entry, char* out, size_t size);
#endif

// Opens the file `path` names, as fopen does with `mode`. On Windows a file
// whose last name is a device's ("nul.fixture", "com1.txt") is that file
// too, not the device, as on every other system (file_w32.cpp).
FILE* platform_open_file(const char* path, const char* mode);
// Whether `path` names a regular file (no folder, device or pipe), named as
// platform_open_file takes it.
bool platform_regular_file(const char* path);

// Opens `path` to append to (and to read, when `readable`), in binary
// (created when missing), so that the commands this program runs do not
// inherit it: null when it cannot be opened, errno saying why.
FILE* platform_open_append(const char* path, bool readable);

// Whether `path` still names the open `file`: false when it names no file,
// or another one (the file was deleted, renamed or replaced while open);
// true as well when the system cannot tell.
bool platform_path_is_file(FILE* file, const char* path);

// Asks for 1 ms pause resolution while `on`, gives it back when not. Windows'
// default 15.6 ms tick would otherwise stretch each 20 ms pause to ~31 ms
// (where the system has high-resolution waitable timers the pauses use
// them and need no request; the process also asks Windows to keep honouring
// its timer requests while its window is hidden).
// Calls pair up; POSIX takes it for the calling thread (and the threads it
// starts after).
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

// A file that several processes append to in turn (tagfleet's journal of
// the node IDs it gave), opened with platform_open_append. Each of these
// gives 0 or an errno value.
// An exclusive lock on the open file, waited for at most `timeout_ms`
// (ETIMEDOUT when another process held it all that time); released by
// platform_unlock_file, or when the file is closed.
int platform_lock_file(FILE* file, uint32_t timeout_ms);
void platform_unlock_file(FILE* file);
// What was written to the file, on the disk (the stream flushed first).
int platform_sync_file(FILE* file);
// Cuts the file to `length` bytes (the stream flushed first).
int platform_truncate_file(FILE* file, long length);
// The name the file at `path` has once its links are followed (two names
// of one file give one name) into `out`: false, and `path` as it is, when
// the system cannot tell.
bool platform_real_path(const char* path, char* out, size_t size);
// Whether the system keeps the file at `path` on another computer (NFS or
// SMB on Linux and macOS, a remote drive or a UNC path on Windows): its
// kind then goes into `kind` ("NFS").
bool platform_network_file(const char* path, char* kind, size_t size);
