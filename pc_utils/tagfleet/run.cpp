// The uploads: a pool of worker threads takes the ports in turn. Each
// upload is flashtag's: connect, node ID, the upload exchange, disconnect.
#include "run.h"
#include "common/json.h"
#include "fleet.h"
#include "platform/platform.h"
#include "recorder.h"
#include "serial/serial.h"
#include "slots.h"

#include <chrono>
#include <cstring>
#include <thread>

std::atomic<bool> fleet_interrupted{false};
std::atomic<bool> fleet_stopping{false};

namespace {

// After a failed attempt the line must be quiet this long before the next:
// a tag still busy with the last one would take the new commands as noise.
constexpr uint32_t QUIET_BEFORE_RETRY_MS = 1000;
// ...but a line that never goes quiet is tried again after this long.
constexpr uint64_t MAX_QUIET_WAIT_MS = 10000;

struct progress_context {
    fleet* f;
    fleet_port* port;
};

void on_step(void* context, upload_step)
{
    auto* c = static_cast<progress_context*>(context);
    set_slot_state(*c->f, *c->port, slot_state::loading);
}

bool on_progress(void* context, uint32_t done, uint32_t)
{
    auto* c = static_cast<progress_context*>(context);
    c->port->done = done;
    tell_progress(*c->f, *c->port);
    return !fleet_stopping;
}

// One attempt, from the connection: the result code; *connected says
// whether a tag answered. A node ID not given says why.
int32_t attempt(fleet& f, fleet_port& p, bool* connected, char* why, size_t size)
{
    uint32_t firmware = 0, third = 0;
    int32_t result = tag_connect(p.name, &firmware, &third, nullptr);
    *connected = result == SERIAL_OK;
    if (result != SERIAL_OK) return result;
    result = read_node_id(f, p, firmware, third, p.attempts <= 1);
    if (result != SERIAL_OK) return result;
    if (!reserve_node_id(f, p, why, size)) return FLEET_ENODE_ID;
    result = load_script(f, p);
    return result == SERIAL_OK ? give_node_id(f, p, why, size) : result;
}

void upload_port(fleet& f, fleet_port& p)
{
    if (f.options.verbose) tag_trace_label(p.name);
    auto start = std::chrono::steady_clock::now();
    p.started_ms = utc_now_ms();
    set_slot_state(f, p, slot_state::connecting);
    // A port whose first attempt an interrupt forestalls was stopped, not loaded.
    int32_t result = APP_ESTOPPED;
    bool connected = false, ever_connected = false, nothing_there = false;
    for (unsigned n = 0; n <= f.options.retry && !fleet_stopping; ++n) {
        if (n > 0 && tag_open_line(p.name, QUIET_BEFORE_RETRY_MS) == SERIAL_OK) {
            wait_for_quiet_line(p.name);
            serial_close(p.name);
        }
        if (fleet_stopping) break;  // no command to a tag after an interrupt
        p.attempts = n + 1;
        p.done = 0;
        char why[TAG_REASON_SIZE] = "";
        result = attempt(f, p, &connected, why, sizeof why);
        ever_connected = ever_connected || connected;
        nothing_there = !connected && tag_found_nothing(result);
        if (result != SERIAL_OK && result != APP_ESTOPPED && result != FLEET_ENODE_ID) {
            tag_describe_failure(p.name, result, why, sizeof why);
        }
        if (connected) tag_disconnect(p.name);
        p.result = result;
        snprintf(p.reason, sizeof p.reason, "%s", why);
        // A port with no tag at all (gone, or silent) is no failure of a
        // scan (-a); one that is in use, or answers wrongly, is.
        bool skip = f.options.all && !ever_connected && nothing_there;
        // Another attempt gives no node ID the pool could not give, and
        // never a second one.
        if (result == SERIAL_OK || skip || result == FLEET_ENODE_ID) break;
    }
    unreserve_node_id(f, p);
    p.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    p.result = result;
    p.outcome = result == SERIAL_OK                                  ? port_outcome::loaded
                : fleet_stopping                                     ? port_outcome::interrupted
                : f.options.all && !ever_connected && nothing_there ? port_outcome::skipped
                                                                     : port_outcome::failed;
    if (p.outcome == port_outcome::interrupted) {
        p.result = APP_ESTOPPED;
        // An ID of the pool spent on it is said.
        if (result != FLEET_ENODE_ID) p.reason[0] = '\0';
    }
    set_slot_state(f, p, slot_state::done);
}

}  // namespace

void stop_fleet()
{
    fleet_stopping = true;
    serial_stop_all();
}

int32_t read_node_id(fleet& f, fleet_port& p, uint32_t firmware, uint32_t third, bool present)
{
    uint8_t node_id = 0;
    int32_t result = tag_get_node_id(p.name, &node_id);
    tag_version_text(firmware, third, p.firmware, sizeof p.firmware);
    p.node_id = result == SERIAL_OK ? node_id : -1;
    if (present) {
        tell_present(f, p);
    } else {
        tell_state(f, p);
    }
    return result;
}

int32_t load_script(fleet& f, fleet_port& p)
{
    progress_context context{&f, &p};
    const upload_observer observer{&context, on_step, on_progress};
    uint32_t sent = 0;
    int32_t result =
        send_upload(p.name, f.script, f.length, f.metadata, f.metadata_length, observer, &sent);
    p.bytes_sent = sent;
    return result;
}

void wait_for_quiet_line(const char* port)
{
    uint64_t give_up = platform_now_ms() + MAX_QUIET_WAIT_MS;
    unsigned char bytes[64];
    uint32_t got = 0;
    while (!fleet_stopping && platform_now_ms() < give_up &&
           serial_read_some(port, bytes, sizeof bytes, QUIET_BEFORE_RETRY_MS, &got) == SERIAL_OK) {
    }
}

void take_upload_turn(fleet& f)
{
    std::unique_lock<std::mutex> lock(f.turns);
    f.upload_turn.wait(lock, [&f] { return f.options.jobs == 0 || f.uploading < f.options.jobs; });
    ++f.uploading;
}

void give_upload_turn(fleet& f)
{
    {
        std::lock_guard<std::mutex> lock(f.turns);
        --f.uploading;
    }
    f.upload_turn.notify_one();
}

void run_fleet(fleet& f)
{
    resolve_slots(f, true);
    recorder_open(f);
    std::atomic<size_t> next{0};
    auto worker = [&f, &next] {
        for (size_t i = next++; i < f.ports.size() && !fleet_stopping; i = next++) {
            // The worker's own copy: a slot whose port did not resolve has
            // failed already.
            fleet_port p = f.ports[i];
            if (p.state != slot_state::failed) upload_port(f, p);
            tell_result(f, p);
        }
    };
    size_t jobs = f.options.jobs == 0 || f.options.jobs > f.ports.size() ? f.ports.size()
                                                                          : f.options.jobs;
    std::vector<std::thread> workers;
    for (size_t j = 0; j < jobs; ++j) workers.emplace_back(worker);
    for (std::thread& t : workers) t.join();
}
