// What Linux says of a tty (sysfs, /proc), for the POSIX backend and its
// port list. Read-only, without opening the device; on a system without
// sysfs and /proc (macOS) nothing is known.
#pragma once

#include <cstddef>

#include "serial.h"

// The first line of a small sysfs or /proc file, without its line feed;
// false when there is none.
bool read_first_line(const char* path, char* text, size_t size);

// Where sysfs is: /sys, or the folder FLASHTAG_SYSFS names (a tree laid out
// as the kernel lays it out, for tests).
const char* sysfs_root();

// The USB adapter behind a tty ("ttyUSB0"), from sysfs: its identity
// (vendor, product, serial, the interface's location "1-3.2:1.0") and its
// description ("FTDI FT232R USB UART (0403:6001, serial A10K1234)"). False
// when the tty is not on USB.
bool usb_adapter_of_tty(const char* tty, serial_usb_identity* usb, char* words, size_t size);

// A ttyS port whose UART the kernel did not find (sysfs type 0): Linux
// keeps such device nodes for ports that are not there. `name` is the
// device's name in /dev ("ttyS5"); false wherever nothing is known.
bool uart_missing(const char* name);

// The other processes that have `device` (a resolved path, "/dev/ttyUSB0")
// open, as far as this user may see them: "cat (pid 4242), minicom (pid
// 17)". A process that also holds the master side of the same
// pseudo-terminal serves it and is not listed. Empty text when none.
void find_tty_holders(const char* device, char* text, size_t size);

// An exclusive flag that nobody holds: the tty is open nowhere else, in no
// other process (Linux tells) and on no other descriptor of this one, so
// the program that set it was killed before it could clear it; a
// pseudo-terminal keeps it while its other side stays open. Such a port is
// free. Elsewhere nothing is known, and the flag stands.
bool flag_left_behind(const char* path);
