// A station's load of a tag put in: each attempt's connection, node ID and
// upload, exactly as every upload is, and its result recorded.
#include "station.h"
#include "common/json.h"
#include "fleet.h"
#include "platform/platform.h"
#include "recorder.h"
#include "run.h"
#include "serial/serial.h"
#include "slots.h"

#include <chrono>
#include <cstdio>

namespace {

// Before another attempt: the tag must still be there, answer as a tag,
// and be the same tag (a known node ID unchanged). SERIAL_OK, a failure of
// the line, or APP_ESTOPPED with `why` when another tag answered.
int32_t same_tag_again(fleet& f, fleet_port& p, char* why, size_t size)
{
    int before = p.node_id;
    wait_for_quiet_line(p.name);
    uint32_t firmware = 0, third = 0;
    int32_t result = tag_identify(p.name, &firmware, &third, nullptr);
    if (result == SERIAL_OK) result = read_node_id(f, p, firmware, third, false);
    if (result != SERIAL_OK || before < 0 || p.node_id == before) return result;
    snprintf(why, size, "was taken out before it was tried again (tag %d answered instead)",
             p.node_id);
    p.node_id = before;
    return APP_ESTOPPED;
}

}  // namespace

void load_tag(fleet& f, fleet_port& p)
{
    auto start = std::chrono::steady_clock::now();
    p.outcome = port_outcome::pending;
    p.result = 0;
    p.reason[0] = '\0';
    p.done = 0;
    p.bytes_sent = 0;
    p.attempts = 0;
    p.seq = 0;
    p.node_ids.before = -1;
    p.node_ids.sent = -1;
    p.node_ids.given = false;
    p.started_ms = utc_now_ms();
    set_slot_state(f, p, slot_state::connecting);
    take_upload_turn(f);
    platform_fine_timer(true);
    serial_set_timeout(p.name, TAG_REPLY_TIMEOUT_MS);
    int32_t result = APP_ESTOPPED;
    char why[TAG_REASON_SIZE] = "";
    if (!reserve_node_id(f, p, why, sizeof why)) result = FLEET_ENODE_ID;
    for (unsigned n = 0; n <= f.options.retry && !fleet_stopping && result != FLEET_ENODE_ID; ++n) {
        if (n > 0) {
            result = same_tag_again(f, p, why, sizeof why);
            if (result != SERIAL_OK) break;
        }
        p.attempts = n + 1;
        p.done = 0;
        result = load_script(f, p);
        if (result == SERIAL_OK) result = give_node_id(f, p, why, sizeof why);
        if (result == SERIAL_OK || result == FLEET_ENODE_ID) break;
    }
    unreserve_node_id(f, p);
    platform_fine_timer(false);
    give_upload_turn(f);
    if (result != SERIAL_OK && why[0] == '\0' && !fleet_interrupted) {
        tag_describe_failure(p.name, result, why, sizeof why);
    }
    p.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // An upload Ctrl-C cut short is interrupted, whatever the line said after.
    p.outcome = result == SERIAL_OK ? port_outcome::loaded
                : fleet_interrupted ? port_outcome::interrupted
                                    : port_outcome::failed;
    p.result = p.outcome == port_outcome::interrupted ? APP_ESTOPPED : result;
    // An ID of the pool spent on it is said, interrupted or not.
    bool say = p.outcome == port_outcome::failed || result == FLEET_ENODE_ID;
    snprintf(p.reason, sizeof p.reason, "%s", say ? why : "");
    p.station.result_ms = utc_now_ms();
    set_slot_state(f, p, slot_state::held);
    tell_result(f, p);
}
