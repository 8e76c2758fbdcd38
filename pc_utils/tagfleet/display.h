// The display's text (display.cpp), from the recorder's copies: a port's
// or a station slot's line redrawn in place, a result's line outside a
// terminal, a station's totals.
#pragma once

#include "fleet.h"

#include <cstddef>

constexpr size_t FLEET_LINE_SIZE = TAG_REASON_SIZE + 2 * SERIAL_MAX_PATH + 256;
// A port's line while a run is redrawn in place.
void format_port_line(const fleet& f, const fleet_port& p, char* line, size_t size);
// A station's slot line; `note` is what its last --on-result said, or empty.
void format_station_line(const fleet& f, const fleet_port& p, const char* note, char* line,
                         size_t size);
// "COM3: loaded (node 7, firmware 6.1.0, 2049 bytes in 0.8 s)", or the
// other outcomes, a line outside a terminal.
void format_result_line(const fleet_port& p, char* line, size_t size);
// "loaded 3, failed 1 since 12:03:41", under a station's slots.
void format_station_totals(const fleet& f, unsigned long loaded, unsigned long failed, char* line,
                           size_t size);
