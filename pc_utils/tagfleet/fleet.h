// tagfleet: loads one script into many tags at once, each on its own port,
// and keeps a record of each. Every upload is exactly flashtag's upload on
// the line; each runs on a thread of its own (the connection's state and
// the driver's time-out are per thread), so that a port that fails or
// hangs never holds up another.
#pragma once

#include "app/app.h"
#include "tag/tag.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <vector>

enum class port_outcome { pending, loaded, failed, skipped, interrupted };
enum class port_phase { waiting, connecting, uploading, done };

// One port of the run. The worker writes it; the display and the report
// read it under the fleet's lock.
struct fleet_port {
    char name[SERIAL_MAX_PATH + 1] = "";
    port_phase phase = port_phase::waiting;
    port_outcome outcome = port_outcome::pending;
    int32_t result = 0;
    char reason[TAG_REASON_SIZE] = "";
    int node_id = -1;          // -1 until read
    char firmware[16] = "";    // "6.1.0", empty until read
    uint32_t done = 0;         // bytes of the file passed
    uint32_t bytes_sent = 0;
    uint32_t attempts = 0;
    int64_t started_ms = 0;    // UTC, ms since 1970
    double seconds = 0;
};

// The most ports one run loads at once: as many as the serial driver holds
// open by name (COM ports have slots of their own).
constexpr size_t FLEET_MAX_PORTS = SERIAL_MAX_NAMED_PORTS;

struct fleet_options {
    std::vector<const char*> ports;  // as given with -c
    bool all = false;                // -a
    bool auto_run = false;
    unsigned jobs = 0;               // 0: all at once
    unsigned expect = 0;
    unsigned retry = 0;
    const char* report = nullptr;
    bool quiet = false;
    bool verbose = false;
    const char* script = nullptr;
};

struct fleet {
    fleet_options options;
    std::vector<fleet_port> ports;
    // The script, read and checked once, and its metadata record.
    uint8_t script[APP_SCRIPT_SIZE];
    uint32_t length = 0;
    char fullname[APP_FILENAME_SIZE] = "";
    char fullname_utf8[APP_FILENAME_SIZE * 3] = "";  // for the report
    char sha256[65] = "";
    uint8_t metadata[APP_METADATA_SIZE];
    size_t metadata_length = 0;
    FILE* report = nullptr;
    int report_error = 0;  // errno of the report's first failed write, flush or close
    bool live = false;  // redrawn in place on a terminal
    std::mutex lock;
};

// Set at Ctrl-C: every upload ends at its next step.
extern std::atomic<bool> fleet_interrupted;

// Runs the uploads (at most options.jobs at once) and waits for them all.
void run_fleet(fleet& f);

// The live display's lines, or one line per start and end elsewhere.
void show_port_line(fleet& f, const fleet_port& p);  // not live: the port's line now
void redraw(fleet& f, size_t* previous);              // live: every port's line
void format_port_line(const fleet& f, const fleet_port& p, char* line, size_t size);

// One JSON object on a line for the port, appended and flushed. A failure
// is kept in f.report_error; the uploads go on.
void write_report(fleet& f, const fleet_port& p);
// Closes the report: false when it, or any write before, failed.
bool close_report(fleet& f);
// The SHA-256 of `length` bytes as 64 hex digits and a NUL.
void sha256_hex(const uint8_t* bytes, size_t length, char* hex);
