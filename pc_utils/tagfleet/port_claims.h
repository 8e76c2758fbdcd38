// A station's claims on ports (station.cpp): each slot claims its port,
// by identity, while it holds the port open.
#pragma once

#include "fleet.h"

#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

// The ports the slots hold open, by identity: two slots that come to one
// port (two spellings of one adapter that came back) never both load it.
struct port_claim {
    serial_port_identity held;  // the port it holds open; count 0: none
    std::string who;            // "A2 (usb@1-4)"
};
struct port_claims {
    std::mutex lock;
    std::vector<port_claim> slots;  // by the slot's index
};

// A slot of the station, added to the claims in the order of the slots.
void add_claim(port_claims& claims, const fleet_port& p);
// Claims the slot's port: false (and why, `size` bytes) when another slot
// holds the same port.
bool claim_port(port_claims& claims, const fleet_port& p, char* why, size_t size);
// The slot's port let go.
void release_claim(port_claims& claims, const fleet_port& p);
