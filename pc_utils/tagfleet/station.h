// A production station's slots (station.cpp): what only a station's slot
// has, the load of a tag put in, and the run.
#pragma once

#include "tag/tag.h"

#include <cstdint>

struct fleet;
struct fleet_port;

struct slot_station {
    int64_t result_ms = 0;                // when its result came (UTC ms)
    char empty_why[TAG_REASON_SIZE] = ""; // why it is empty: a port in use, ...
    bool listed = true;                   // -a lists its port now
};

// A tag has been put in: it is loaded, and its result recorded
// (station_load.cpp). The slot's port is open.
void load_tag(fleet& f, fleet_port& p);

// Each slot polled, each tag plugged in loaded once, until Ctrl-C or until
// --count loads have their results.
void run_station(fleet& f);
