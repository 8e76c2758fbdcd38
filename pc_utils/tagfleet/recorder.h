// The recorder: the one place that hears what every slot tells, numbers
// the results (seq), writes the report, the --json events and the lines,
// starts the --on-result commands, applies --count and decides the summary
// and the exit status. Slots tell it what happens and go on at once: the
// text goes out on a thread of its own, so that a slow reader of the
// output never holds up an upload (progress that backs up is merged into
// the latest; results never are). Output that cannot be written stops the
// run as Ctrl-C does.
#pragma once

#include "fleet.h"

// Before the slots start: the start event, and the output's thread (which
// also redraws the display in place on a terminal).
void recorder_open(fleet& f);

// A slot -a found while a station runs.
void recorder_add_slot(fleet& f, const fleet_port& p);

// What a slot tells, each with its state now (a copy is kept for the
// display). A new state (set_slot_state tells it): "started" outside a
// terminal when a batch port starts.
void tell_state(fleet& f, const fleet_port& p);
// A tag answered: its node ID and firmware are in p.
void tell_present(fleet& f, const fleet_port& p);
// Its upload's progress: p.done bytes of the file passed.
void tell_progress(fleet& f, const fleet_port& p);
// The tag whose result was held has gone.
void tell_gone(fleet& f, const fleet_port& p);
// A result: numbered, appended to the report and flushed, sent as an
// event and a line, counted, given to --on-result. A batch slot has one
// result; a second is refused (false). A report that fails is noted; the
// uploads go on. A report no longer at its path is made again there.
bool tell_result(fleet& f, const fleet_port& p);
// The number of a result that comes next on a slot, given ahead (the
// journal of node IDs names it before the result is recorded).
unsigned long recorder_number(fleet& f);
// A station's tag may be loaded: false once --count loads have started.
bool may_start_load(fleet& f, const fleet_port& p);
// An --on-result command for result `seq` of slot `index` failed (`why`).
void tell_hook_failed(fleet& f, size_t index, const std::string& label, unsigned long seq,
                      const char* why);

// The end: every slot without a result gets one (interrupted, or failed as
// its slot's check said), the --on-result commands are waited for, the
// report is closed, the summary and the end event go out. The exit
// status. After an interrupt, output that cannot be written within a
// second is given up.
int recorder_close(fleet& f);
