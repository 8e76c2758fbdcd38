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

constexpr int FLEET_USAGE_ERROR = 2;
// "tagfleet: <text>" and the hint, on standard error: FLEET_USAGE_ERROR.
int usage_error(const char* format, ...) __attribute__((format(printf, 1, 2)));
// A port as -c and a fixture file take it, into `name`: a COM number (4)
// or COMn as COMn, a device path (POSIX), a network port or a USB
// adapter's identity as it stands. False for anything else.
bool port_argument(const char* arg, char* name, size_t size);

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
