// Shared between the serial backends and the platform-independent part of the
// driver; not for callers of the driver.
#pragma once

#include <cstdint>

// The time-out most recently applied to any port, in ms. Process-wide: the
// input flush saves and restores it around its short quiet-line reads.
extern uint32_t serial_current_timeout;
