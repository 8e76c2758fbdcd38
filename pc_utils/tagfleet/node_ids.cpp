// --node-ids: each tag a run loads leaves with a node ID of the pool. The
// journal line is on the disk before the set command goes to the tag, so
// that no crash, at any moment, can give one ID twice.
#include "node_ids.h"

#include "fleet.h"
#include "node_pool.h"
#include "recorder.h"

#include <cstdio>

bool reserve_node_id(fleet& f, fleet_port& p, char* why, size_t size)
{
    if (f.pool == nullptr || p.node_ids.reserved) return true;
    p.node_ids.reserved = node_pool_reserve(*f.pool, why, size) == NODE_POOL_OK;
    return p.node_ids.reserved;
}

void unreserve_node_id(fleet& f, fleet_port& p)
{
    if (f.pool == nullptr || !p.node_ids.reserved) return;
    node_pool_unreserve(*f.pool);
    p.node_ids.reserved = false;
}

int32_t give_node_id(fleet& f, fleet_port& p, char* why, size_t size)
{
    if (f.pool == nullptr) return SERIAL_OK;
    // The record that follows at once has the number the journal names.
    p.seq = recorder_number(f);
    p.node_ids.before = p.node_id;
    const node_pool_tag tag{f.run.id, p.seq, p.slot, p.name, p.node_ids.before};
    unsigned id = 0;
    p.node_ids.reserved = false;  // taken, or given back, whatever comes
    if (node_pool_take(*f.pool, tag, &id, why, size) != NODE_POOL_OK) return FLEET_ENODE_ID;
    p.node_ids.sent = static_cast<int>(id);
    char answer[TAG_MEDIUM_REPLY] = "";
    int32_t result = tag_set_node_id_answered(p.name, static_cast<uint8_t>(id), answer, sizeof answer);
    uint8_t now = 0;
    if (result == SERIAL_OK) result = tag_get_node_id(p.name, &now);
    if (result != SERIAL_OK) {
        // The tag may have taken the ID or not: its node ID is not known.
        p.node_id = -1;
        char line[TAG_REASON_SIZE];
        if (fleet_interrupted) {
            snprintf(line, sizeof line, "the run was interrupted before it answered");
        } else {
            tag_describe_failure(p.name, result, line, sizeof line);
        }
        snprintf(why, size, "was given node ID %u and %.300s", id, line);
        return FLEET_ENODE_ID;
    }
    p.node_id = now;
    if (now != id) {
        // What the console said to the set command tells why, when it
        // refused it with an error line ("E002F flash").
        char quoted[TAG_QUOTED_REPLY_SIZE];
        tag_quote_reply(answer, quoted, sizeof quoted);
        snprintf(why, size, "was given node ID %u and answers %u (its answer to the set command: \"%s\")",
                 id, static_cast<unsigned>(now), quoted);
        return FLEET_ENODE_ID;
    }
    p.node_ids.given = true;
    return SERIAL_OK;
}
