// What the console's loop (console.cpp) and its keys (console_keys.cpp)
// share: the loop's state, and the steps each takes of the other.
#pragma once

#include "platform/console.h"
#include "tagterm.h"

#include <cstddef>
#include <cstdint>

// Nothing goes to the tag while another program uses the port: a byte
// typed then would land in the middle of its upload.
struct loop_state {
    line_queue to_send;
    bool input_done;           // standard input (not a terminal) has ended and all of it is queued
    int status;                // the console's exit status
    uint64_t last_sent, last_heard;
    bool answered;             // the tag has said something since the last line went
    bool menu;                 // Ctrl-T pressed
    bool load_wanted;          // Ctrl-T u while a program used the port
    bool load_queued;          // a load waits in to_send behind lines typed before it
    bool fine_timer;           // fine pauses asked for, while a program goes through
    bool ending;
    bool end_after_session;    // Ctrl-] while a program goes through: once it is done
    bool loading;              // a load of SCRIPT is under way: keys wait
    bool end_after_load;       // Ctrl-] during it
    console_key held[TERM_QUEUE_LINES * 4];  // keys typed during a load, in order
    size_t held_count;
    bool port_open;
    bool return_tried;         // the port gone was opened again since it was last missing
    bool taken_said;           // it came back held by another program, and that was said
    uint64_t next_return_check;
    script_watch watch;
};

// The keys typed, taken in turn while a line more fits in the queue (a
// control key, Ctrl-T's menu, a line typed), the rest held.
void take_keys(term& t, loop_state& st);
// Keys that cannot be taken yet (a load under way, the queue full) kept
// aside in order as far as there is room, then left in the terminal.
// Ctrl-] is seen at once: during a load it ends tagterm when the load is
// done (a tag cut off in its upload is left half-loaded).
void hold_keys(term& t, loop_state& st);

// Ctrl-T u: SCRIPT loaded now, after the lines waiting, or once a program
// going through tagterm is done.
void load_now_or_later(term& t, loop_state& st);
// A line longer than the tag takes was not sent.
void refused_note(term& t, size_t length);
