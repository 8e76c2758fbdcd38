#include "port_claims.h"

#include <cstdio>

void add_claim(port_claims& claims, const fleet_port& p)
{
    std::lock_guard<std::mutex> lock(claims.lock);
    claims.slots.push_back({serial_port_identity{}, std::string(p.slot) + " (" + p.given + ")"});
}

bool claim_port(port_claims& claims, const fleet_port& p, char* why, size_t size)
{
    serial_port_identity id{};
    serial_identify_port(p.name, &id);
    std::lock_guard<std::mutex> lock(claims.lock);
    for (size_t i = 0; i < claims.slots.size(); ++i) {
        const port_claim& c = claims.slots[i];
        if (i == p.index || c.held.count == 0 || !serial_same_port(id, c.held)) continue;
        snprintf(why, size, "is the port of slot %.300s too: two slots never load one tag",
                 c.who.c_str());
        return false;
    }
    claims.slots[p.index].held = id;
    return true;
}

void release_claim(port_claims& claims, const fleet_port& p)
{
    std::lock_guard<std::mutex> lock(claims.lock);
    claims.slots[p.index].held = serial_port_identity{};
}
