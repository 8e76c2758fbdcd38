// tagsim: a simulated tag on a pseudo-terminal, for tests and for trying
// flashtag without a board. It plays the tag's side of the console: commands
// arrive as text ended by CR, replies go out as lines ended by CR LF.
#pragma once

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <string>

struct sim_options {
    std::string link;           // symlink to make to the pseudo-terminal
    std::string version = "V6.1.0";
    unsigned node_id = 7;
    int wrong_id_after_set = -1;  // the node ID a set command gives instead of its own
    int latency_ms = 0;         // hold the bytes to the PC as a USB adapter does
    bool echo = false;          // echo each command line before replying
    bool echo_typed = false;    // echo each character as it is typed
    bool blank = false;         // a blank and a lone-CR line before replies
    bool silent = false;        // answer nothing at all
    std::string prefix;         // put before every command reply, e.g. "[3] "
    std::string transcript;     // file that gets every command line received
    std::string save_bytes;     // file that gets every byte received, as it came
    std::string events;         // file that gets each event with its time (ms since 1970)

    // A tag taken out of its slot and put back while the adapter stays
    // (SIGUSR1 takes it out, SIGUSR2 puts one in).
    std::string node_id_file;   // a tag put in has the node ID this file holds;
                                // a set command writes it
    bool pulled = false;        // start with no tag in the slot

    // Receiving a script.
    bool refuse_load = false;   // answer the load command with an error
    std::string m_line = "M";   // line that asks for the metadata record
    std::string final_reply;    // last line instead of "OK" / checksum error
    long hangup_after = -1;     // hang up after this many upload bytes
    int quiet_ms = 300;         // silence that ends the script data
    std::string save_script;    // file that gets the script received
    std::string save_meta;      // file that gets the decoded metadata record
    std::string save_gaps;      // file that gets the pause after each script byte
    std::string run_output;     // file of the lines the script prints when it runs

    // The log.
    unsigned long log_records = 5;  // records held, numbered from 0
    int log_preamble = 0;           // lines sent before "Selected"
    bool log_no_selected = false;   // never confirm a selection
    bool log_stall = false;         // stop in the middle of a binary record
    std::string log_final = "OK";   // line that ends a transfer

    // Not a well-behaved tag.
    std::string set_id_reply = "OK";  // a set command's answer; the ID kept unless "OK"
    unsigned mute_id_first = 0;     // no answer to the first this many node-ID queries
                                    // after power-up
    bool mute_after_load = false;   // silent once the load command is answered
    bool mute_id = false;           // no answer to the node-ID query
    bool ignore_set_id = false;     // "OK" to a set command, the node ID kept
    bool garbage = false;           // random bytes instead of each reply
    bool babble = false;            // random bytes without end
};

// The switches into `opt`: false (after a message) for a usage error.
bool parse_options(int argc, char** argv, sim_options& opt);
// The switches, on standard error.
void usage();

// The line to the PC: the master side of the pseudo-terminal. With a
// latency timer, the bytes to the PC are held as a USB serial adapter holds
// what its UART receives: until a full packet's 62 bytes wait, or until
// latency_ms have passed since the first of them.
constexpr size_t SIM_PACKET_BYTES = 62;
struct sim_line {
    int fd = -1;
    int save_fd = -1;  // --save-bytes, or -1
    unsigned char buf[4096] = {};
    size_t have = 0, used = 0;
    int latency_ms = 0;
    unsigned char held[SIM_PACKET_BYTES] = {};
    size_t held_count = 0;
    long long held_since_ms = 0;  // monotonic time of the first byte held
};

// Next byte from the PC, or -1 when none arrives within timeout_ms (-1 waits
// for ever) or the line is gone.
int line_read_byte(sim_line& line, int timeout_ms);
void line_write(sim_line& line, const void* bytes, size_t count);
void line_send(sim_line& line, const std::string& text);  // text + CR LF

// Whether a tag is in the slot (SIGUSR1 takes it out, SIGUSR2 puts one in),
// and how many times one was put in; set by the signal handlers.
extern volatile sig_atomic_t tag_out;
extern volatile sig_atomic_t tag_insertions;
// How many times the tag was re-booted (SIGHUP); set by the signal handler.
extern volatile sig_atomic_t tag_reboots;

// The simulated tag: its line, its switches and the console's own state.
// What the firmware version means is read from it once, at start.
struct sim_tag {
    sim_line line;
    sim_options opt;
    bool echo = false;
    bool echo_typed = false;
    unsigned node_id = 0;
    unsigned id_queries_unanswered = 0;  // left of --mute-id-first
    bool old_console = false;  // firmware 5.x: "id", no "_echo"
    bool text_log = false;     // version's third number 1: log as text lines
    bool auto_run = false;     // the script loaded last runs at power-up
};

// Reads "V<major>.<minor>.<third>" into the tag's state. A text without a
// "V<number>" is a new console with a binary log.
void read_firmware_version(sim_tag& tag);

// A command's reply: blank lines, echo and prefix as the switches say.
void reply(sim_tag& tag, const std::string& text);

// A random line (garbage) or endless random bytes (babble) of a device that
// is not a tag.
std::string random_line();
[[noreturn]] void babble(sim_tag& tag);

// The script runs: the lines of --run-output, as they are, each with CR LF.
void run_script(sim_tag& tag);

// Carries out one command line (without its CR) as the tag's console does.
void console_command(sim_tag& tag, const std::string& command);

// "logsize", "read <first> <last>" and "readbin <first> <last>"; false when
// the command is none of them.
bool log_command(sim_tag& tag, const std::string& command);

// After "OK" to the load command: takes the script and its metadata record.
void receive_script(sim_tag& tag);
// Ends the simulation as a pulled cable would: the PC sees a hang-up.
[[noreturn]] void hang_up(sim_tag& tag);
// Appends "<ms since 1970> <what>" to the events file, if there is one.
void note_event(const sim_tag& tag, const std::string& what);
