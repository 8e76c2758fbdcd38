// The event stream of --json: one complete JSON object a line, for a
// line's software to read as it happens: start, present, progress,
// result, gone (a station), end. Each builds its line (with its LF); the
// recorder writes it.
#pragma once

#include "fleet.h"

#include <string>

std::string event_start(const fleet& f);
std::string event_present(const fleet_port& p);
std::string event_progress(const fleet_port& p, int percent);
std::string event_gone(const fleet_port& p);
// The record's own fields and values, after the event's.
std::string event_result(const std::string& record);
std::string event_end(unsigned long loaded, unsigned long failed, unsigned long skipped,
                      unsigned long interrupted, int status);
