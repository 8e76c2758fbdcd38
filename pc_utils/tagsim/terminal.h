// The settings a simulated tag's pseudo-terminal starts with: those of a
// serial line as far as a pseudo-terminal can have them. Shared with the
// tests' own pseudo-terminal, so that both offer the program the same line.
#pragma once

#include <string>

// On the terminal `fd` (the slave side): received bytes never become
// signals, and nothing is echoed back to the tag. The rest stays as the
// system set it: the program that opens the port must make the line raw.
// False when the terminal's settings cannot be read or written.
bool make_serial_like(int fd);

// A new pseudo-terminal whose slave side is made serial-like and held open
// here (*slave), so that the master never sees the program's close of the
// port as a hang-up. The master's descriptor, or -1; `slave_path` gets the
// slave's name, the port the program opens.
int open_serial_like_pty(std::string& slave_path, int* slave);
