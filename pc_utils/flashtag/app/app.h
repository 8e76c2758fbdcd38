// The script loader's command-line job: find the tag, then upload a script
// with its metadata record and report the outcome.
#pragma once

#include <cstddef>
#include <cstdint>

enum : int32_t {
    APP_ENOTAG = 100,  // the port scan found no tag
};

// Text buffers of the run.
constexpr size_t APP_PORT_SIZE = 20;
constexpr size_t APP_FILENAME_SIZE = 200;

void print_usage();

// Connects on `port` (e.g. "COM4"), or scans COM1..COM255 when it is empty
// and leaves the port found in it; prints the port line and reads the node ID.
int32_t find_tag(char* port, uint8_t* node_id);

// Uploads the script, reports the outcome and disconnects: the exit status.
int upload_stage(const char* port, char* filename, bool auto_run);
