// tagfleet: loads one script into many tags at once, each on its own port,
// and keeps a record of each. Every upload is exactly flashtag's upload on
// the line; each slot has a thread of its own (the connection's state and
// the driver's time-out are per thread), so that a port that fails or
// hangs never holds up another.
//
// Each slot's thread owns its slot's state and tells what happens (a tag
// present, progress, a result, the tag gone) to the recorder (recorder.h),
// which alone numbers and writes the records, the events and the lines,
// and decides the summary and the end of a station. A slot never waits
// for output.
//
// This header has what the whole run shares: the options, the run, a
// slot's state and the stop flags. Each part says in its own header what
// it offers: slots.h (the slots and their state's one setter), run.h (the
// uploads and their pieces), station.h, node_ids.h, display.h (the
// display's text), record.h (the records), recorder.h.
#pragma once

#include "app/app.h"
#include "node_ids.h"
#include "station.h"
#include "tag/tag.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

enum class port_outcome { pending, loaded, failed, skipped, interrupted };
// What a slot is doing, as the display and the records tell it. A slot's
// state is changed only by set_slot_state, which also tells the recorder.
enum class slot_state {
    waiting,     // a batch port not started yet; a station's slot holding a
                 // tag it does not load (--count reached)
    empty,       // a station's slot with no tag there (empty_why: a port in use, ...)
    connecting,  // a tag is being connected to and identified
    loading,     // its upload is under way
    held,        // a station's result, shown until its tag goes
    failed,      // failed before any upload: its port did not resolve
    done,        // a batch port's result
};

// A slot's name in a fixture file: 1 to 16 letters, digits, -, _, ".".
constexpr size_t FLEET_SLOT_SIZE = 17;

// One slot of the run: a slot of the fixture, or a port given with -c or
// found by -a, which is its own slot. Its thread works on its own copy; the
// recorder keeps the copy last told, for the display and the records.
struct fleet_port {
    char slot[SERIAL_MAX_PATH + 1] = "";   // "A3", or the port as given
    char given[SERIAL_MAX_PATH + 1] = "";  // the port as given: "COM7", "usb:0403:6001"
    char name[SERIAL_MAX_PATH + 1] = "";   // the port it opens (a USB form resolved)
    serial_usb_identity usb{};             // its USB adapter; vid empty when none is known
    size_t index = 0;                      // its place in the run's slots
    slot_state state = slot_state::waiting;
    port_outcome outcome = port_outcome::pending;
    int32_t result = 0;
    char reason[TAG_REASON_SIZE] = "";
    int node_id = -1;          // -1 until read
    slot_node_ids node_ids;    // --node-ids (node_ids.h)
    char firmware[16] = "";    // "6.1.0", empty until read
    uint32_t done = 0;         // bytes of the file passed
    uint32_t bytes_sent = 0;
    uint32_t attempts = 0;
    int64_t started_ms = 0;    // UTC, ms since 1970
    double seconds = 0;
    unsigned long seq = 0;     // the record's number in the run, 0 until recorded
    slot_station station;      // a station's slot (station.h)
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
    const char* fixture = nullptr;   // --fixture
    bool check = false;              // --check
    bool quiet = false;
    bool verbose = false;
    const char* script = nullptr;
    // A production station: slots loaded as tags are plugged in.
    bool station = false;            // --station
    unsigned long count = 0;         // --count: the station loads this many tags, then ends
    const char* on_result = nullptr; // --on-result: a command run after each result
    const char* station_id = nullptr;
    const char* operator_name = nullptr;
    bool json = false;               // --json: events on standard output
    const char* node_ids = nullptr;  // --node-ids: the pool of node IDs to give
};

// Who and what made the records, for merging those of many stations.
struct fleet_run {
    char id[33] = "";            // 128 random bits, in hex
    char host[256] = "";
    char station[256] = "";      // --station-id, else the host name
    char operator_name[256] = "";  // --operator, else the user the metadata record names
    int64_t started_ms = 0;
};

struct fleet_recorder;
struct node_pool;

struct fleet {
    fleet();
    ~fleet();
    fleet_options options;
    // The slots as the command line and the fixture name them, and as the
    // start of the run resolved them; each slot's thread starts from its
    // entry and keeps its state to itself.
    std::vector<fleet_port> ports;
    // The script, read and checked once, and its metadata record.
    uint8_t script[APP_SCRIPT_SIZE] = {};
    uint32_t length = 0;
    char fullname[APP_FILENAME_SIZE] = "";
    char fullname_utf8[APP_FILENAME_SIZE * 3] = "";  // for the report
    char sha256[65] = "";
    uint8_t metadata[APP_METADATA_SIZE] = {};
    size_t metadata_length = 0;
    FILE* report = nullptr;
    bool live = false;    // redrawn in place on a terminal
    bool colour = false;  // PASS and FAIL in colour (a terminal, and no NO_COLOR)
    fleet_run run;
    std::unique_ptr<fleet_recorder> recorder;
    node_pool* pool = nullptr;  // --node-ids
    // At most options.jobs uploads at once (a station's slots take turns).
    unsigned uploading = 0;
    std::condition_variable upload_turn;
    std::mutex turns;
};

// Set at Ctrl-C: every upload ends at its next step.
extern std::atomic<bool> fleet_interrupted;
// Set when the run ends, at Ctrl-C or when a station's --count loads have
// their results: no load starts, no command goes out.
extern std::atomic<bool> fleet_stopping;
// Ends the run: every upload and wait ends, no command goes out.
void stop_fleet();

constexpr int FLEET_USAGE_ERROR = 2;
// "tagfleet: <text>" and the hint, on standard error: FLEET_USAGE_ERROR.
int usage_error(const char* format, ...) __attribute__((format(printf, 1, 2)));
