// Tag console connection: the line-oriented command/reply exchange with the
// tag's BASIC console, and the connection built on it (version check, echo
// handling, node ID) and the log readout.
//
// Commands are text ended by one CR; replies are lines ended by LF. A reply
// may be preceded by blank lines and the echo of the command, and may begin
// with a bracketed prefix such as "[3] ". Every operation takes the port
// name first and returns a result code (common/result.h): SERIAL_OK, the
// serial driver's codes, or one of the TAG_ codes. Reply buffers belong to the caller, who passes
// their size; a reply is always NUL-terminated and never overflows it.
#pragma once

#include "common/result.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// How long the tag has for each reply (and each write takes at most), from
// the moment the program starts waiting: the cost of trying a port where no
// tag answers.
constexpr uint32_t TAG_REPLY_TIMEOUT_MS = 1000;

// Reply buffer sizes the callers use.
constexpr size_t TAG_SHORT_REPLY = 50;
constexpr size_t TAG_MEDIUM_REPLY = 100;
constexpr size_t TAG_LONG_REPLY = 200;

// One raw line: LF removed, a CR before it kept. A NUL byte also ends the
// line. A line longer than the buffer is cut to fit and the rest of it, up to
// its LF, is read and dropped.
int32_t tag_read_line(const char* port, char* reply, size_t size);
// The next line holding something other than space, TAB, CR or LF.
int32_t tag_read_nonblank_line(const char* port, char* reply, size_t size);
// Types `command` and CR, skips the command's echo on every command (the
// whole line or its end, before or after the CR; marking echo seen),
// returns the reply without prefix.
int32_t tag_command(const char* port, const char* command, char* reply, size_t size);

// Removes a leading "[...]" prefix and the white space after it, in place.
void strip_reply_prefix(char* text);
// First character that is not space, TAB, LF or CR.
const char* skip_spaces(const char* text);

// The connection's state (echo seen, new console, version numbers) belongs
// to the one tag connected last. tag_connect starts it afresh; the version
// query marks a new console; an echo a command meets marks echo seen.
// Nothing else changes it.

// Packed: major << 16 | minor << 8 | third. Marks a new console when the
// major version is not 5 (never unmarks it).
int32_t tag_get_version(const char* port, uint32_t* packed);
// Opens a tag's line: 115200 baud, 8 data bits, no parity, 1 stop bit, the
// driver's time-out `timeout_ms`. Every program opens a tag's port so.
int32_t tag_open_line(const char* port, uint32_t timeout_ms);
// Opens the port (tag_open_line) with TAG_REPLY_TIMEOUT_MS, resets the state,
// identifies the tag, switches off the echo of a new console.
// firmware_version is major * 256 + minor. Callers that need none of the
// three out-parameters pass null.
int32_t tag_connect(const char* port, uint32_t* firmware_version, uint32_t* version_third,
                    bool* new_console);
// The same on a port that is open already (a station polls its slots on
// the open line): resets the state, identifies the tag, switches off the
// echo of a new console. The port stays open whatever the result.
int32_t tag_identify(const char* port, uint32_t* firmware_version, uint32_t* version_third,
                     bool* new_console);
// The version as every program gives it, whole: "5.2.1" from the firmware
// version and third number that tag_connect and tag_identify give.
void tag_version_text(uint32_t firmware_version, uint32_t version_third, char* text, size_t size);
// tag_get_version's packed form as tag_connect gives it: the firmware
// version (major * 256 + minor) and the third number.
void tag_unpack_version(uint32_t packed, uint32_t* firmware_version, uint32_t* version_third);
int32_t tag_get_node_id(const char* port, uint8_t* node_id);
int32_t tag_set_node_id(const char* port, uint8_t node_id);
// The same, with the console's answer line into `answer` (`size` bytes).
// The answer is not judged: what the tag took is known from the node-ID
// query, and a caller whose read-back differs can quote it.
int32_t tag_set_node_id_answered(const char* port, uint8_t node_id, char* answer, size_t size);
int32_t tag_disconnect(const char* port);

// Log readout. The log size reply is "<used> of <capacity>", in records;
// numbers the reply lacks leave the out-parameters as they were.
int32_t tag_get_log_size(const char* port, uint32_t* used, uint32_t* capacity);
// Appends records first .. first + count - 1 to `records`, as text: firmware
// whose version third number is 1 sends text lines, other firmware binary
// records, which are formatted as
//   a <TAB> b <TAB> c <TAB> d <TAB> e <TAB> HH:MM:SS.ffff DD-MM-YYYY <TAB> text
// When the tag's "Selected <n> records" selects fewer (the range runs past
// the log's end), those n are read. Records read before an error stay in
// the list.
int32_t tag_read_log(const char* port, uint32_t first, uint32_t count,
                     std::vector<std::string>& records);

// Room for the words of a failure (tag_describe_failure).
constexpr size_t TAG_REASON_SIZE = 400;

// Why the last failed operation failed, as words that follow the port's
// name: "did not answer "ver" within 1 s", "answered "ERR", which is not a
// tag's version reply", "is in use by another program". `result` is the code
// it failed with; a code from a caller (an upload's) reads as an unexpected
// reply to what was last awaited.
void tag_describe_failure(const char* port, int32_t result, char* text, size_t size);
// Whether a failed connection found no tag at all: the port is not there
// (a device unplugged, a network port that refuses connections), or it
// opened and nothing at all answered the command awaited. A port in use, a
// port that cannot be opened for another reason, a device that answers
// wrongly: all failures, not "no tag".
bool tag_found_nothing(int32_t result);
// Names what the next raw line answers, for failure messages and the trace,
// when the caller wrote to the port itself: "the script data".
void tag_await_reply_to(const char* what);

// A trace of the line on standard error, each entry with the milliseconds
// since it was switched on: ports opened, commands, reply lines. Off until
// tag_trace_on(); tag_trace prints nothing while off.
void tag_trace_on();
// Puts "<port>: " before each trace line of this thread (a program that
// talks to several ports at once); "" for none.
void tag_trace_label(const char* port);
void tag_trace(const char* format, ...) __attribute__((format(printf, 1, 2)));
// `length` bytes of `text` in printable form into `out` (`size` bytes):
// C escapes for control bytes, quotes and backslashes, \xNN for the rest;
// cut after `max_chars` characters of input with "..." appended.
void printable_text(const char* text, size_t length, size_t max_chars, char* out, size_t size);
// A reply line as a failure quotes it: without its CR, printable, its first
// 40 characters; `size` TAG_QUOTED_REPLY_SIZE holds any.
constexpr size_t TAG_QUOTED_REPLY_SIZE = 168;
void tag_quote_reply(const char* line, char* text, size_t size);
