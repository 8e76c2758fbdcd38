// The folder of port links that FLASHTAG_PORT_DIR names (COM7 -> a tty),
// for the POSIX backend and its port list.
#pragma once

// The folder as an absolute path, resolved once per run, so that the list
// names ports by paths that open from anywhere; null when the variable is
// unset or empty. A folder that cannot be resolved is taken as written.
const char* port_dir();
