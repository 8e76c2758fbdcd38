// Shared between the serial backends and the platform-independent part of the
// driver; not for callers of the driver.
#pragma once

#include <cstdint>

// The time-out most recently applied to any port, in ms. Process-wide: the
// input flush saves and restores it around its short quiet-line reads.
extern uint32_t serial_current_timeout;

// POSIX backend: a ttyS port whose UART the kernel did not find (sysfs type
// 0). Linux keeps such device nodes for ports that are not there. `name` is
// the device's name in /dev ("ttyS5"); false wherever nothing is known.
bool serial_uart_missing(const char* name);

// Records why an operation failed, with the OS's own text for os_error (a
// backend may add a hint to it); returns the code the operation fails with:
// SERIAL_EINVAL for SERIAL_FAULT_NAME, else SERIAL_EIO.
int32_t serial_fail(serial_fault fault, const char* call, long os_error, const char* os_text);
