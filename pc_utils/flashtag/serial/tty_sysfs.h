// What Linux's sysfs says of a tty, for the POSIX backend and its port list.
#pragma once

// A ttyS port whose UART the kernel did not find (sysfs type 0): Linux
// keeps such device nodes for ports that are not there. `name` is the
// device's name in /dev ("ttyS5"); false wherever nothing is known.
bool uart_missing(const char* name);
