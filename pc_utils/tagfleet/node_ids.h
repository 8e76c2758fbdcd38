// --node-ids: what a slot knows of the node ID the pool gives it
// (node_pool.h keeps the pool and its journal), and the steps of an upload
// that reserve, give and give back an ID (node_ids.cpp).
#pragma once

#include <cstddef>
#include <cstdint>

struct fleet;
struct fleet_port;

struct slot_node_ids {
    int before = -1;        // what the tag answered before it was given one
    int sent = -1;          // the pool's ID a set command went out with
    bool given = false;     // its node ID now came from the pool
    bool reserved = false;  // an ID of the pool is held for it
};

// Before its upload a tag identified reserves an
// ID: false, with why, when none is left or the journal fails (the tag
// is not loaded). Without a pool, true.
bool reserve_node_id(fleet& f, fleet_port& p, char* why, size_t size);
// The reservation of an upload that did not end "OK" is given back.
void unreserve_node_id(fleet& f, fleet_port& p);
// After an upload that ended "OK": the lowest ID not given is taken (its
// journal line on the disk first), set on the tag and read back.
// SERIAL_OK, or FLEET_ENODE_ID with why ("was given node ID 17 and
// answers 5"). Without a pool, SERIAL_OK.
int32_t give_node_id(fleet& f, fleet_port& p, char* why, size_t size);
