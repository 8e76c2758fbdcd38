// Connection state and text helpers shared inside the tag module.
#pragma once

#include <cstddef>
#include <cstdint>

// How a line read failed when the serial driver did not.
enum tag_fault : int32_t {
    TAG_FAULT_NONE = 0,   // the driver's last error says why
    TAG_FAULT_CUT,        // as NONE, but part of a line had come
    TAG_FAULT_ENDLESS,    // a line went on past MAX_LINE_BYTES
    TAG_FAULT_BLANK,      // nothing but blank lines came
};

// The one tag this thread talks to (flashtag has one thread; tagfleet a
// thread per port). Set by tag_connect and the version query; read by the
// command exchange and the log readout. The last three say what was awaited
// and what came, for failure messages.
struct tag_connection {
    bool echo_seen;          // a reply was the echo of its command
    bool new_console;        // firmware major version is not 5
    uint32_t version_third;     // third number of the version reply: the log's form
    char awaiting[208];         // what the next line answers: a command in quotes
    char last_line[200];        // the last line read, or its part before a failure
    uint32_t lines_answered;    // lines read since the awaited thing was sent
    tag_fault fault;            // why the last line read failed
};
extern thread_local tag_connection tag_state;

// The longest line the reader takes; past it a line is not a reply.
constexpr size_t MAX_LINE_BYTES = 4096;

// Whether the trace is on: work done only for it can be skipped when not.
bool tracing();

// A command is about to go to the tag: its replies are awaited, and the
// trace shows it.
void note_command(const char* command, size_t length);

// Reads an unsigned decimal number at *text the way scanf's "%lu" does
// (leading white space and a sign allowed), advancing *text past it. False,
// with *value untouched, when there is no number. Overflow saturates instead
// of being undefined.
bool scan_number(const char** text, unsigned long* value);
// Matches `literal` at *text: a space in it matches any run of white space
// (none included), like a scanf pattern; advances *text on success.
bool scan_literal(const char** text, const char* literal);

// Whether a reply line (its CR kept or not) is the console's echo of
// `command` (`length` characters), or of its end: the echo of the typed
// characters may have come partly before the input flush and partly after
// it. No reply of the console begins with its command. A line that is the
// command's end alone may also be a reply ("30" to "id 30", a line the
// set command's contract leaves open): the caller takes it as the reply
// when nothing follows it.
enum tag_echo { TAG_ECHO_NONE, TAG_ECHO_WHOLE, TAG_ECHO_TAIL };
tag_echo echo_of(const char* line, const char* command, size_t length);
// The echoes a command can have: the typed characters' and the line's.
// Past them a line is taken as the reply, whatever it is.
constexpr int MAX_ECHO_LINES = 2;
