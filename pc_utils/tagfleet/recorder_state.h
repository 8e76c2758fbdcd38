// The recorder's state, which recorder.cpp and the output's thread
// (recorder_output.cpp) share: all of it under `lock`.
#pragma once

#include "fleet.h"
#include "hooks.h"

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Text for standard output or standard error. `slot` is the slot it tells
// of (-1: none); a progress event not yet written is replaced by a newer
// one of its slot.
struct output_item {
    FILE* to;
    std::string text;
    long slot = -1;
    bool progress = false;
    bool bell = false;  // the terminal's bell instead of text
};

// What the recorder keeps of one slot: the slot as it last told it (the
// recorder writes none of that), and what the recorder adds.
struct slot_view {
    fleet_port told;
    std::string hook_note;      // what its last --on-result said
    int progress_percent = -1;  // of its last progress event (--json), -1: none yet
    uint64_t progress_ms = 0;   // when that went out
    bool loading = false;       // a station's slot whose load has started (--count)
    bool recorded = false;      // a result of it has its record
};

struct fleet_recorder {
    std::mutex lock;
    std::vector<slot_view> slots;  // by the slot's index
    unsigned long loaded = 0, failed = 0, skipped = 0, interrupted = 0;
    unsigned long seq = 0;            // the last record's number, or one given ahead
    unsigned long loads_started = 0, loads_ended = 0;  // a station's, for --count
    std::vector<std::string> failures;       // "A3 COM7: <reason>", as they came
    std::vector<std::string> hook_failures;  // "A3 COM7 (result 4): exit status 1"
    int report_error = 0;  // errno of the report's first failed write, flush or close
    // The first write to standard output or error that failed: its errno
    // and its stream (nothing more is written to that one).
    int output_error = 0;
    FILE* failed_output = nullptr;
    fleet_hooks hooks;
    // The output's queue and thread.
    std::deque<output_item> queue;
    std::condition_variable output_ready;
    bool closing = false;       // no more text comes
    bool output_done = false;   // the thread has written it all
    bool redraw_due = false;    // the live display changed
    std::thread output;
};


// Under r.lock: text for `to`, written by the output's thread in the order
// posted (a progress event of `slot` replaces the one still waiting).
void post(fleet_recorder& r, FILE* to, std::string text, long slot = -1, bool progress = false);

// The output's thread: writes the queue as it comes, and redraws the live
// display when it changed. A write that fails (a reader that has gone, a
// full disk) stops the run as an interrupt does, and is said on standard
// error.
void write_output(fleet* f);
