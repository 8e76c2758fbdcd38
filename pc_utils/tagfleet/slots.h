// The run's slots (slots.cpp): collected from the command line and the
// fixture, resolved to ports as the run starts, checked (--check), named;
// and the one way a slot's state changes.
#pragma once

#include "fleet.h"

#include <cstddef>

// The slots of the run into f.ports, from the fixture file, -a and -c:
// 0, or a usage error's status. A slot named twice, or a port written
// twice however it is spelled, is a usage error.
int collect_ports(fleet& f);
// As the run starts: each slot's port now (a USB identity found in the port
// list, the adapter behind a device path); a slot whose adapter is not
// there (when `missing_fails`), and two slots that come to one port, fail
// (both, each naming the other). Nothing is opened.
void resolve_slots(fleet& f, bool missing_fails);
// --check: resolves every slot and prints a line each (slot, port as given,
// the port and its identity, or why it does not resolve), opening nothing:
// 0 when every slot resolves to a port of its own, else 1.
int check_slots(fleet& f);

// Whether the slot has its result: held, failed or done.
bool slot_finished(slot_state state);
// The one way a slot's state changes: into p, and told to the recorder
// (tell_state) once the run has one; before it starts, the recorder starts
// from the slots as they are.
void set_slot_state(fleet& f, fleet_port& p, slot_state state);
// "A3 COM7": the slot with its port, or the port alone when it is its own slot.
void port_label(const fleet_port& p, char* text, size_t size);
