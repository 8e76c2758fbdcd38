// The script loader's command-line job: find the tag, then upload a script
// with its metadata record and report the outcome.
#pragma once

#include "serial/serial.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Text buffers of the run: the port number as typed after -c, and the
// port's name ("COM4", or a device path on POSIX).
constexpr size_t APP_PORT_NUMBER_SIZE = 20;
constexpr size_t APP_PORT_NAME_SIZE = SERIAL_MAX_PATH + 1;
constexpr size_t APP_FILENAME_SIZE = 200;
// The largest script a tag takes, and the buffer for the metadata record.
constexpr size_t APP_SCRIPT_SIZE = 100000;
constexpr size_t APP_METADATA_SIZE = 10000;

void print_usage();
// The serial ports this system has, one a line, with what it says of them.
void print_ports();

// Connects on `port` (APP_PORT_NAME_SIZE bytes: "COM4", "/dev/ttyUSB0"), or
// scans COM1..COM255 and then the USB serial devices when it is empty and
// leaves the port found in it; prints the port line and reads the node ID.
// `shown` is what the lines show of a port given (resolve_port_argument);
// `program` begins the error lines ("flashtag"); they and the port line go
// to `out` (tagrun's --json keeps standard output for its events).
int32_t find_tag(const char* program, char* port, const char* shown, uint8_t* node_id,
                 FILE* out = stdout);

// Uploads the script, reports the outcome and disconnects: the exit status.
int upload_stage(const char* port, const char* filename, bool auto_run);

// "prog", "prog.bas" and "prog.BAS" all name prog.bas: the name to open
// into `fullname` (`size` bytes); false when the name leaves no room for
// the extension.
bool make_full_name(const char* filename, char* fullname, size_t size);

// Opens <filename>.bas (a final ".bas" in any case is replaced), streams it to
// the tag and sends its metadata record.
int32_t transfer_script(const char* port, const char* filename, bool auto_run);

// Reads <filename>.bas (as transfer_script names it; `fullname` gets the
// name, APP_FILENAME_SIZE bytes) whole into `buffer` (APP_SCRIPT_SIZE
// bytes): its length, or -1 after "<program>: Error: ..." on `messages`.
long read_script_file(const char* program, const char* filename, char* fullname, uint8_t* buffer,
                      FILE* messages);

// What an upload tells its caller as it goes: the step it has reached, and
// the bytes of the file it has passed (every 20, and at the end). A false
// from `progress` stops it with APP_ESTOPPED.
enum upload_step { UPLOAD_SENDING_SCRIPT, UPLOAD_SENDING_METADATA };
struct upload_observer {
    void* context;
    void (*step)(void* context, upload_step step);
    bool (*progress)(void* context, uint32_t done, uint32_t total);
};

// The upload on the line, from the load command to the tag's last line:
// the script's bytes (`length` of them) and then the metadata record with
// its checksum byte. *bytes_sent counts the script bytes that went out.
// Refused by the tag: APP_ELOAD.
int32_t send_upload(const char* port, const uint8_t* script, uint32_t length,
                    const uint8_t* metadata, size_t metadata_length,
                    const upload_observer& observer, uint32_t* bytes_sent);

// One redraw of the progress bar, composed in `line` (at least
// PROGRESS_LINE_SIZE bytes): its length. print_progress writes it at once.
constexpr size_t PROGRESS_LINE_SIZE = 256;
size_t format_progress(char* line, uint32_t done, uint32_t total);
void print_progress(uint32_t done, uint32_t total);

// The metadata record for `full_name` into `record` (APP_METADATA_SIZE
// bytes): its length; *checksum gets the sum of its bytes modulo 256.
size_t build_metadata(const char* full_name, uint8_t auto_run, uint8_t* record,
                      uint8_t* checksum);

// A port kept open for a while (tagterm, tagrun), found as flashtag finds
// it: the one `asked` (as -c gave it) or, when empty, the scan's. `port`
// (APP_PORT_NAME_SIZE bytes) gets the port open, `shown` what the lines
// show of it; the firmware version (major * 256 + minor), its third number
// and the node ID. False after the reasons flashtag gives, on `out` with
// `program` first.
bool connect_tag(const char* program, const char* asked, char* port, char* shown, size_t shown_size,
                 uint32_t* firmware, uint32_t* third, uint8_t* node, FILE* out);
// Loads `script` (`length` bytes, read by read_script_file as `fullname`)
// on the open port as flashtag uploads it: the tag identified, its node
// ID into *node, the script and its metadata record.
int32_t load_on_open_port(const char* port, const uint8_t* script, long length, const char* fullname,
                          bool auto_run, const upload_observer& observer, uint8_t* node);
// The line that says how such a load went, as tagterm writes it: "loaded
// prog.bas: 2049 bytes, node 7, 21.4 s" or "load FAILED: COM4 answered
// "E002F flash" after the metadata record (error 15)".
constexpr size_t APP_LOAD_LINE_SIZE = 640;
void describe_load(const char* port, const char* shown, int32_t result, const char* fullname,
                   long length, uint8_t node, uint64_t ms, char* text, size_t size);
