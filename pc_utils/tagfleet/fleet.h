// tagfleet: loads one script into many tags at once, each on its own port,
// and keeps a record of each. Every upload is exactly flashtag's upload on
// the line; each runs on a thread of its own (the connection's state and
// the driver's time-out are per thread), so that a port that fails or
// hangs never holds up another.
#pragma once

#include "app/app.h"
#include "tag/tag.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

enum class port_outcome { pending, loaded, failed, skipped, interrupted };
// A station's slot is `empty` while no tag is there, `uploading` while one
// is loaded, `done` while its result is held, until the tag goes.
enum class port_phase { waiting, connecting, uploading, done, empty };

// A slot's name in a fixture file: 1 to 16 letters, digits, -, _, ".".
constexpr size_t FLEET_SLOT_SIZE = 17;

// One port of the run: a slot of the fixture, or a port given with -c or
// found by -a, which is its own slot. The worker writes it; the display and
// the report read it under the fleet's lock.
struct fleet_port {
    char slot[SERIAL_MAX_PATH + 1] = "";   // "A3", or the port as given
    char given[SERIAL_MAX_PATH + 1] = "";  // the port as given: "COM7", "usb:0403:6001"
    char name[SERIAL_MAX_PATH + 1] = "";   // the port it opens (a USB form resolved)
    serial_usb_identity usb{};             // its USB adapter; vid empty when none is known
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
    unsigned long seq = 0;     // the record's number in the run, 0 until recorded
    // A station's slot: when its result came (UTC ms), why it is empty
    // (a port in use, ...), whether -a lists it now, and how the last
    // --on-result command for it ended when it did not end well.
    int64_t result_ms = 0;
    char empty_why[TAG_REASON_SIZE] = "";
    bool listed = true;
    char hook_note[96] = "";
    // When the last progress event went, and its percent (--json).
    uint64_t progress_ms = 0;
    int progress_percent = -1;
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
    unsigned long count = 0;         // --count: the station ends after this many results
    const char* on_result = nullptr; // --on-result: a command run after each result
    const char* station_id = nullptr;
    const char* operator_name = nullptr;
    bool json = false;               // --json: events on standard output
};

// An --on-result command running beside the run.
struct fleet_hook {
    std::thread thread;
    std::unique_ptr<std::atomic<bool>> finished;
};

// Who and what made the records, for merging those of many stations.
struct fleet_run {
    char id[33] = "";            // 128 random bits, in hex
    char host[256] = "";
    char station[256] = "";      // --station-id, else the host name
    char operator_name[256] = "";  // --operator, else the user the metadata record names
    int64_t started_ms = 0;
};

// How the run's results came out, in the order they came.
struct fleet_totals {
    unsigned long loaded = 0, failed = 0, skipped = 0, interrupted = 0;
    std::vector<std::string> failures;       // "A3 COM7: <reason>"
    std::vector<std::string> hook_failures;  // "A3 COM7 (result 4): exit status 1"
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
    bool colour = false;  // PASS and FAIL in colour (a terminal, and no NO_COLOR)
    fleet_run run;
    fleet_totals totals;
    std::vector<fleet_hook> hooks;  // --on-result commands running
    // At most options.jobs uploads at once (a station's slots take turns).
    unsigned uploading = 0;
    std::condition_variable upload_turn;
    std::mutex lock;
};

// Set at Ctrl-C: every upload ends at its next step.
extern std::atomic<bool> fleet_interrupted;
// Set when the run ends, at Ctrl-C or when a station has had --count
// results: no upload starts, those under way are stopped.
extern std::atomic<bool> fleet_stopping;
// Ends the run: every upload and wait ends, no command goes out.
void stop_fleet();

// UTC, ms since 1970.
int64_t utc_now_ms();

constexpr int FLEET_USAGE_ERROR = 2;
// "tagfleet: <text>" and the hint, on standard error: FLEET_USAGE_ERROR.
int usage_error(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The slots of the run into f.ports, from the fixture file, -a and -c:
// 0, or a usage error's status. A slot named twice, or a port written
// twice however it is spelled, is a usage error.
int collect_ports(fleet& f);
// As the run starts: each slot's port now (a USB identity found in the port
// list); a slot whose adapter is not there, and two slots that come to one
// port, fail (both, each naming the other). Nothing is opened.
void resolve_slots(fleet& f);
// --check: resolves every slot and prints a line each (slot, port as given,
// the port and its identity, or why it does not resolve), opening nothing:
// 0 when every slot resolves to a port of its own, else 1.
int check_slots(fleet& f);
// "A3 COM7": the slot with its port, or the port alone when it is its own slot.
void port_label(const fleet_port& p, char* text, size_t size);

// Runs the uploads (at most options.jobs at once) and waits for them all.
void run_fleet(fleet& f);
// A station: each slot polled, each tag plugged in loaded once, until
// Ctrl-C or --count results.
void run_station(fleet& f);

// What every upload shares (run.cpp). A tag answered on p.name: its
// firmware (tag_identify's numbers) and node ID (-1 when it gave none) go
// into p, with a "present" event.
void note_tag(fleet& f, fleet_port& p, uint32_t firmware, uint32_t third, int node_id);
// The tag on the open port p.name was identified: its node ID is read, and
// noted with its firmware.
int32_t read_node_id(fleet& f, fleet_port& p, uint32_t firmware, uint32_t third);
// The upload on the line, its progress told to the display and the events.
int32_t load_script(fleet& f, fleet_port& p);
// Reads the open port until it has been quiet for a second (at most 10 s):
// a tag still busy with a failed attempt would take new commands as noise.
void wait_for_quiet_line(const char* port);
// Waits for a turn to upload (-j) and gives it back.
void take_upload_turn(fleet& f);
void give_upload_turn(fleet& f);

// The live display's lines, or one line per start and end elsewhere.
void show_port_line(fleet& f, const fleet_port& p);  // not live: the port's line now
void redraw(fleet& f, size_t* previous);              // live: every port's line
void format_port_line(const fleet& f, const fleet_port& p, char* line, size_t size);
// A station's lines: one per slot and the totals; a line per event elsewhere.
void redraw_station(fleet& f, size_t* previous);
void show_station_event(fleet& f, const fleet_port& p, const char* what);

// The port's result: numbered (seq), appended to the report and flushed,
// sent as a "result" event, counted, and given to --on-result. A report
// that fails is kept in f.report_error; the uploads go on. Takes f.lock.
void record_result(fleet& f, fleet_port& p);
// Closes the report: false when it, or any write before, failed.
bool close_report(fleet& f);

// The event stream of --json (events.cpp): JSON Lines on standard output,
// each flushed at once. Callers hold f.lock, but for emit_start and emit_end.
void emit_start(fleet& f);
void emit_present(fleet& f, const fleet_port& p);
void emit_progress(fleet& f, fleet_port& p);  // when the percent changed, at most 4 a second
void emit_gone(fleet& f, const fleet_port& p);
void emit_result(fleet& f, const std::string& record);
void emit_end(fleet& f, int status);

// --on-result (hooks.cpp): runs the command for a result beside the run;
// one that fails or runs past 10 s is noted on its slot and in the totals.
// Callers hold f.lock.
void start_hook(fleet& f, fleet_port& p);
// Waits for the commands still running (each stops within 10 s).
void wait_for_hooks(fleet& f);

// The summary (the design's lines first), to standard output, or to
// standard error under --json: the exit status.
int summarise(fleet& f);
// The SHA-256 of `length` bytes as 64 hex digits and a NUL.
void sha256_hex(const uint8_t* bytes, size_t length, char* hex);
