// --on-result: after each result a command runs through the system's
// shell, beside the run (it never holds up a poll or an upload), with the
// result in its environment. One that fails, or runs past 10 s and is
// stopped, is told to the recorder; it changes no outcome. An interrupt
// stops those running (and told so), so that Ctrl-C ends the run at once.
#pragma once

#include "fleet.h"

#include <thread>

struct fleet_hook {
    std::thread thread;
    std::unique_ptr<std::atomic<bool>> finished;
};

// The commands running, under their own lock (a command's end is told to
// the recorder, which may be starting another).
struct fleet_hooks {
    std::mutex lock;
    std::vector<fleet_hook> running;
};

// Runs the command for the result recorded in p (its seq set).
void start_hook(fleet& f, fleet_hooks& hooks, const fleet_port& p);
// Waits for the commands still running (each stops within 10 s, and within
// a moment of an interrupt).
void wait_for_hooks(fleet_hooks& hooks);
