// Steps run against one tag: parsed from a file or from the command line,
// run in order on a port the caller keeps open, judged against what the
// tag says, and reported (a line a step, JSON events, a JUnit report).
// Nothing here opens a port: the caller hands in what the steps need of
// the tag (step_port), so that any program that holds a tag's port can run
// the same steps (tagrun now; tagfleet after each load, later).
//   steps_parse.cpp   a step's line, a file of them
//   steps_output.cpp  the tag's output as shown, kept for matching
//   steps_run.cpp     the run: each step in turn, the first failure ends it
//   steps_report.cpp  the lines, the events and the JUnit report
#pragma once

#include <cstdint>
#include <cstdio>
#include <regex>
#include <string>
#include <vector>

enum step_kind { STEP_LOAD, STEP_RESET, STEP_SEND, STEP_EXPECT, STEP_FAIL, STEP_WAIT };

// What an expect waits for, or what a fail step forbids: literal text, or
// an ECMAScript regular expression (written /REGEX/).
struct step_pattern {
    std::string source;   // the text, or the expression between the slashes
    bool is_regex = false;
    std::regex regex;
};

struct step {
    step_kind kind = STEP_WAIT;
    unsigned number = 0;     // its line in the file, or its place among the -e steps
    std::string text;        // SEND's line; LOAD's script
    bool auto_run = false;   // LOAD ... run
    step_pattern pattern;    // EXPECT, FAIL
    uint32_t ms = 0;         // EXPECT's "within" (0: the run's time-out); WAIT's pause
};

// The longest line SEND sends, without its CR: as tagterm sends one.
constexpr size_t STEP_LINE_LONGEST = 1023;
// The longest "within" and "wait", in seconds.
constexpr double STEP_LONGEST_S = 86400.0;

// One step from its text ("expect /Ready>/ within 5"): false with why.
bool parse_step(const std::string& line, unsigned number, step& out, std::string& why);
// Seconds as the steps and --timeout write them ("10", "0.5") into *ms.
bool parse_seconds(const char* text, double longest, uint32_t* ms);
// The steps of a file (one a line, # comments and blank lines ignored):
// false with "FILE:LINE: why" (or "FILE: why") in `why`.
bool parse_step_file(const char* path, std::vector<step>& steps, std::string& why);
// "load", "expect": the step's name as written.
const char* step_kind_name(step_kind kind);
// "expect "Hello"", "send "PRINT 1"", "wait 0.5 s": a step as the reports name it.
std::string step_title(const step& s);

// The tag's output as shown (common/shown_text.h), lines ended by LF, and
// where it also goes as it comes: the log (--log) and a stream (-v).
struct tag_output {
    std::string text;            // the newest part; offsets into it are from `base`
    uint64_t base = 0;           // the offset of text[0] in all the output
    uint64_t last_heard_ms = 0;  // when the tag last sent something
    size_t line_start = 0;       // where the current line begins in `text`
    FILE* log = nullptr;
    FILE* stream = nullptr;
    std::string echo;            // the line sent last, whose echo is not output
    size_t echo_matched = 0;
    bool echo_line_end = false;  // the echo is through: its CR LF goes too
};
void output_feed(tag_output& o, const uint8_t* bytes, size_t count, uint64_t now_ms);
// A line sent: its echo, when the tag sends one, is not the tag's output.
void output_sent(tag_output& o, const std::string& line);
// A line of the program's own (a step's outcome) to the log.
void output_note(tag_output& o, const std::string& line);
uint64_t output_end(const tag_output& o);
// Whether `p` is in the output from `from` on: *end gets where the match
// ends, *line the line it is on.
bool output_find(const tag_output& o, const step_pattern& p, uint64_t from, uint64_t* end,
                 std::string* line);
// The last `count` lines (the one under way among them), each ended by LF.
std::string output_last_lines(const tag_output& o, size_t count);
// The unfinished line to the log and stream at the end of the run.
void output_finish(tag_output& o);

// What the steps need of the tag, on the port the caller holds.
struct step_port {
    void* context;
    // The tag's output into `out` for up to `wait_ms`: false when the port
    // failed, with why.
    bool (*listen)(void* context, uint32_t wait_ms, tag_output& out, std::string& why);
    // A line to the tag, its text and one CR.
    bool (*send)(void* context, const std::string& line, std::string& why);
    // Loads a script as flashtag does: `outcome` gets the line that says how.
    bool (*load)(void* context, const step& s, std::string& outcome);
    // Re-boots the tag; false with why.
    bool (*reset)(void* context, std::string& why);
};

enum step_verdict { STEP_NOT_RUN, STEP_PASSED, STEP_FAILED };
struct step_result {
    step_verdict verdict = STEP_NOT_RUN;
    uint64_t ms = 0;
    std::string failure;      // why it failed
    std::string last_lines;   // the tag's last lines when it failed
    std::string load_line;    // a load's outcome line
};
// Told of each step once it has run.
struct step_reporter {
    void* context;
    void (*step_done)(void* context, const step& s, const step_result& r);
};
// Runs the steps in order, the first failure ending the run; `results`
// gets one a step (those not run STEP_NOT_RUN). Whether all passed.
bool run_steps(const std::vector<step>& steps, uint32_t timeout_ms, const step_port& port,
               tag_output& out, const step_reporter& reporter, std::vector<step_result>& results);

// "ok   3 expect "Hello" 0.42 s", or the FAIL line and the tag's last lines.
std::string step_line(const step& s, const step_result& r);
// The JSON events: a step's (and a load's) once run, and the end.
std::string step_event(const step& s, const step_result& r);
std::string end_event(const std::vector<step_result>& results, int status);
// A JUnit XML report: one suite named `suite`, a test case a step (those
// not run skipped; `connect_failure`, when not empty, as the failure of a
// case before them), the tag's output as system-out. False with why.
bool write_junit(const char* path, const std::string& suite, const std::vector<step>& steps,
                 const std::vector<step_result>& results, const std::string& connect_failure,
                 const tag_output& out, std::string& why);
