// tagterm: the tag's console in a terminal. It holds the port, shows what
// the tag sends, sends the lines typed, loads a script on a key (or
// whenever the file changes), and lets flashtag, taglog and tagfleet use
// the port through it (serial/relay/relay.h). Modules:
//   options.cpp  the command line and --help
//   screen.cpp   what the tag sends, made visible, with timestamps and log
//   editor.cpp   the line being typed, and the lines sent before
//   load.cpp     loading SCRIPT on the open port, as flashtag uploads
//   watch.cpp    --watch: when SCRIPT has changed and settled, and is not empty
//   lines.cpp    what waits to go to the tag, and lines of standard input
//   console.cpp  the loop: port, keys, lines to send, relay, watch, a port
//                that goes away and comes back
#pragma once

#include "app/app.h"
#include "common/shown_text.h"
#include "serial/relay/relay.h"
#include "serial/serial.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>

constexpr int TERM_USAGE_ERROR = 2;
// The longest line sent, without the CR that ends it: the tag's console
// takes a command of 1000 bytes and more, and tagterm sends one of up to
// 1024 with its CR. A longer line, typed or piped, is refused whole (a
// note says so), never cut or split into two commands.
constexpr size_t TERM_LINE_LONGEST = 1023;
constexpr size_t TERM_LINE_SIZE = TERM_LINE_LONGEST + 1;  // a line typed, with its NUL
constexpr size_t TERM_SHOWN_SIZE = 2048;    // a line of the tag's, as shown

struct term_options {
    char port[APP_PORT_NAME_SIZE];   // as -c gave it ("COM4"); empty: scan
    char script[APP_FILENAME_SIZE];  // SCRIPT; empty: none
    const char* log_path;            // --log FILE, or null
    bool auto_run, timestamps, watch, raw, verbose;
    uint32_t exit_after_ms;
};
// The options into `o`: 0 to run, -1 after --help (status 0), or
// TERM_USAGE_ERROR after the error and the hint on standard error.
int parse_options(int argc, char** argv, term_options& o);

// What the tag's bytes look like on the screen and in the log.
struct screen {
    bool interactive;   // a terminal: the line being typed is drawn below
    bool timestamps;
    bool raw;           // the tag's escape sequences reach the terminal
    FILE* log;          // --log, or null
    bool log_on;
    const char* log_path;
    char shown[TERM_SHOWN_SIZE];   // the tag's current line as on the screen
    size_t shown_length;
    char logged[TERM_SHOWN_SIZE];  // the same as the log gets it
    size_t logged_length;
    bool line_open;                // the tag's current line has begun
    char echo[TERM_LINE_SIZE];     // a line sent whose echo is not shown again
    size_t echo_length, echo_matched;
    bool echo_line_end;            // the echo is through; its CR LF goes too
    char edit[TERM_LINE_SIZE * 3]; // the line being typed, as shown
    size_t edit_length, edit_back; // its bytes; columns from its end to the cursor
};
void screen_tag_bytes(screen& s, const uint8_t* bytes, size_t count);
// A line of tagterm's own, on a line of its own.
void screen_note(screen& s, const char* format, ...) __attribute__((format(printf, 2, 3)));
// Enter: the line being typed stays on the screen, on the line it ends.
void screen_typed(screen& s);
// A line sent: logged as typed; its echo, when the tag sends one, is not
// shown again.
void screen_sent(screen& s, const char* line);
// The current line cleared for a program's own lines (a file's failure),
// and drawn again after them.
void screen_aside(screen& s);
void screen_back(screen& s);
// The line being typed (CP437 bytes), the cursor `cursor` bytes into it.
void screen_edit(screen& s, const char* line, size_t length, size_t cursor);
// The tag's unfinished line to the screen and log at the end of the run.
void screen_finish(screen& s);
// A progress bar (format_progress's line) over the current line.
void screen_progress(screen& s, const char* bar, size_t length);

// The line being typed and the lines sent before it.
constexpr size_t TERM_HISTORY = 100;
struct editor {
    char line[TERM_LINE_SIZE];
    size_t length, cursor;
    char history[TERM_HISTORY][TERM_LINE_SIZE];
    size_t history_count;   // lines kept, the newest last
    size_t browsing;        // history_count when not browsing
    size_t over;            // characters typed past TERM_LINE_LONGEST
};
enum edit_result { EDIT_CHANGED, EDIT_ENTER, EDIT_REFUSED, EDIT_IGNORED };
// A key on the line: EDIT_ENTER when a line is complete (in e.line, and
// kept in the history; the caller clears it with editor_clear);
// EDIT_REFUSED when the line completed was longer than TERM_LINE_LONGEST
// (editor_typed says how long).
struct console_key;
edit_result editor_key(editor& e, const console_key& key);
void editor_clear(editor& e);
// The characters of the line typed, those past the longest taken too.
size_t editor_typed(const editor& e);

// What waits to go to the tag, in the order it was typed or read: lines,
// the control keys that go as they are (Ctrl-C, Ctrl-T Ctrl-T), lines
// too long to send, which are said in their turn, and loads of SCRIPT asked
// for while lines waited, which come after them.
constexpr size_t TERM_QUEUE_LINES = 64;
enum entry_kind { ENTRY_LINE, ENTRY_KEY, ENTRY_REFUSED, ENTRY_LOAD };
struct queued {
    entry_kind kind;
    size_t length;               // the line's characters (a refused one's all of them)
    char text[TERM_LINE_SIZE];
};
struct line_queue {
    queued entries[TERM_QUEUE_LINES];
    size_t head, count;
};
// False when the queue is full.
bool queue_push(line_queue& q, entry_kind kind, const char* text, size_t length);
void queue_pop(line_queue& q, queued& out);
// Standard input that is not a terminal: its lines read on a thread of
// their own from now on.
void piped_input_begin();
// The lines read so far into `to`, as its room allows: whether the input
// has ended and all of it went into `to`.
bool piped_input_take(line_queue& to);

// --watch's view of SCRIPT.
struct script_watch {
    uint64_t next_look;
    bool known;                // the file has been read
    uint64_t loaded, seen;     // content hashes: the one loaded (or found at start), the one now
    uint64_t seen_stamp;       // the size and modification time now
    uint64_t seen_since;       // when the file last changed in any of them
    bool unreadable_said;
    bool empty_said;           // the file as it is now was said to be empty
};
// Whether SCRIPT is due to load now (true once per change that has
// settled, and only when `can_load`); a file that cannot be read, or that
// settled empty, is said once on `s`.
bool watch_due(script_watch& w, screen& s, const char* script, uint64_t now, bool can_load);

// The run.
struct term {
    term_options opt;
    char port[APP_PORT_NAME_SIZE];   // the port open ("COM4", "/dev/ttyUSB0")
    char shown_port[APP_PORT_NAME_SIZE * 2 + 4];
    bool keys;                       // keys from a terminal, else lines from stdin
    screen scr;
    editor ed;
    relay_service relay;
    bool serving;                    // the rendezvous is there
};
// What a load does between its blocks, with `context`: the console keeps
// the keys typed meanwhile for after it.
struct load_pause {
    void (*take_keys)(void* context);
    void* context;
};
// Loads SCRIPT on the open port: the result line says how it went.
void load_script(term& t, const load_pause& pause);
// Makes the port reachable for other programs through tagterm (the relay),
// or says why it is not.
void serve_port(term& t);
// The console until it ends: the exit status.
int run_console(term& t);
