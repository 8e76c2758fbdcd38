// The uploads (run.cpp): a batch run's pool of workers, and the pieces of
// an upload that a station's slot uses too.
#pragma once

#include "fleet.h"

#include <cstdint>

// Runs the uploads (at most options.jobs at once) and waits for them all.
void run_fleet(fleet& f);

// What every upload shares (run.cpp). The tag on the open port p.name was
// identified: its node ID is read, and, when `present`, it is told as
// present with its firmware (tag_identify's numbers); another attempt at
// the same tag is no new tag.
int32_t read_node_id(fleet& f, fleet_port& p, uint32_t firmware, uint32_t third, bool present);
// The upload on the line, its progress told to the recorder.
int32_t load_script(fleet& f, fleet_port& p);

// Reads the open port until it has been quiet for a second (at most 10 s):
// a tag still busy with a failed attempt would take new commands as noise.
void wait_for_quiet_line(const char* port);
// Waits for a turn to upload (-j) and gives it back.
void take_upload_turn(fleet& f);
void give_upload_turn(fleet& f);
