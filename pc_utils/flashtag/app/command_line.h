// What the programs on the tag connection (flashtag, taglog) share on their
// command lines: the start of a run, the port argument and the line that
// says why a port failed. `program` is the name their lines begin with.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>

// Unbuffered output, and every port given back as it was found however the
// run ends; an interrupt ends it with "<program>: Error: Interrupted; the
// port was released" and status 1.
// An open that waits its turn at tagterm says so on standard error.
void start_program(const char* program);

// Whether a port argument is a device path ("/dev/ttyUSB0") on a system
// whose ports are named so; such a port's name is the argument as it stands.
bool is_device_path_argument(const char* arg);

// A port argument named otherwise than by a COM number: a device path, a
// network port or a USB adapter's identity ("usb:0403:6001"), copied as it
// stands into `port` (`size` bytes): 1. 0 when `arg` is none of them; -1
// after "<program>: Error: ... too long".
int copy_named_port(const char* program, char* port, size_t size, const char* arg);

// A port as tagfleet's and tagterm's -c take it, into `name`: a COM number
// (4) or COMn as COMn, a device path (POSIX), a network port or a USB
// adapter's identity as it stands. False for anything else.
bool port_argument(const char* arg, char* name, size_t size);

// A USB adapter's identity in `port` (`size` bytes) is replaced by the port
// it names now (the trace says how it was found); `shown` (`shown_size`
// bytes) gets what a Port line shows: "usb:0403:6001 (/dev/ttyUSB0)", or the
// port as it is. False after "<program>: Error: Can't connect to tag on
// <form>" and the line that says why, on `out`.
bool resolve_port_argument(const char* program, char* port, size_t size, char* shown,
                           size_t shown_size, FILE* out = stdout);

// A whole decimal number from `min` to `max`, nothing else around it, as
// taglog and tagfleet read their numbers (flashtag's -c keeps its older,
// looser reading).
bool parse_whole_number(const char* text, unsigned long min, unsigned long max,
                        unsigned long* value);

// A usage error of tagfleet and tagterm, which follow their platform's
// conventions: "<program>: <text>" and the hint to --help, on standard
// error. `args` goes with `format`.
void print_usage_error(const char* program, const char* format, va_list args);

// Copies an argument into one of the run's fixed buffers; false, after
// "<program>: Error: <what> too long (at most N characters)", when it does
// not fit: a long argument is refused, never cut.
bool copy_argument(const char* program, char* dest, size_t size, const char* arg,
                   const char* what);

// After a failure's error line: "<program>: COM4 is in use by another
// program", the port and why the operation that gave `result` failed.
void print_port_failure(const char* program, const char* port, int32_t result, FILE* out = stdout);
