#include "port_claims.h"

#include <cstdio>

void add_claim(port_claims& claims, const fleet_port& p)
{
    std::lock_guard<std::mutex> lock(claims.lock);
    claims.held.emplace_back();
    claims.who.push_back(std::string(p.slot) + " (" + p.given + ")");
}

bool claim_port(port_claims& claims, const fleet_port& p, char* why, size_t size)
{
    serial_port_identity id{};
    serial_identify_port(p.name, &id);
    std::lock_guard<std::mutex> lock(claims.lock);
    for (size_t i = 0; i < claims.held.size(); ++i) {
        if (i == p.index || claims.held[i].count == 0 || !serial_same_port(id, claims.held[i])) {
            continue;
        }
        snprintf(why, size, "is the port of slot %.300s too: two slots never load one tag",
                 claims.who[i].c_str());
        return false;
    }
    claims.held[p.index] = id;
    return true;
}

void release_claim(port_claims& claims, const fleet_port& p)
{
    std::lock_guard<std::mutex> lock(claims.lock);
    claims.held[p.index] = serial_port_identity{};
}
