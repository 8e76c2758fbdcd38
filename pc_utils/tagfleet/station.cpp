// A production station: an operator puts a tag into a slot, waits for PASS
// or FAIL, takes it out and puts in the next. Each slot has a thread that
// owns its state and goes round (slot_state):
//   empty       no adapter, or no tag answers the version command;
//   connecting, loading
//               a tag answered: it is loaded, exactly as every upload is;
//   held        PASS or FAIL stays on the slot's line while the tag stays;
//   waiting     a tag answered once --count loads had started: left alone
//               while it stays;
// and the tag gone (the port went, or no tag answered two polls in a row)
// makes it empty again.
// A tag is loaded once per insertion. A slot whose adapter is there keeps
// its port open and polls on the open line: opening a port at each poll
// would toggle DTR, which resets some boards (a network port keeps its
// connection). With -a the port list is read again every second, so that
// an adapter plugged in joins and one pulled out leaves.
#include "station.h"
#include "fleet.h"
#include "held_tag.h"
#include "platform/platform.h"
#include "port_claims.h"
#include "recorder.h"
#include "run.h"
#include "serial/serial.h"
#include "slots.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

namespace {

constexpr uint32_t POLL_EVERY_MS = 500;
// A tag answers a console command within milliseconds; this leaves room
// for a network link.
constexpr uint32_t POLL_REPLY_MS = 400;
// A tag that misses one poll has a loose contact; two, and it is gone.
constexpr int MISSES_FOR_GONE = 2;
constexpr uint32_t LIST_EVERY_MS = 1000;
// A USB adapter named by its identity is looked up no more often than this.
constexpr uint32_t RESOLVE_EVERY_MS = 1000;
// The main thread only watches for the end (and lists ports for -a).
constexpr uint32_t WATCH_EVERY_MS = 250;

// A slot: where its thread starts, and whether -a lists its port now.
struct station_slot {
    fleet_port start;
    std::atomic<bool> listed{true};
    std::thread thread;
};

// What a slot's thread knows of its slot besides its state (fields
// ordered by size).
struct slot_round {
    uint64_t next_resolve = 0;
    int held_node = -1;   // the node ID of the tag held; -1 while not known
    int sent_node = -1;   // a node ID of the pool it was sent, taken or not
    int misses = 0;       // polls in a row that no tag answered
    bool open = false;    // the port is open (and claimed)
};

// A tag is there and was dealt with (loaded, or left alone): it has not
// gone yet.
bool holds_tag(const fleet_port& p)
{
    return p.state == slot_state::held || p.state == slot_state::waiting;
}

// The slots' threads sleep between polls until the main thread, which sees
// the end of the run within WATCH_EVERY_MS, wakes them (a signal handler
// can only set the flag).
std::mutex sleeping;
std::condition_variable wake_up;

void sleep_until(uint64_t deadline)
{
    std::unique_lock<std::mutex> lock(sleeping);
    uint64_t now = platform_now_ms();
    if (now < deadline) {
        wake_up.wait_for(lock, std::chrono::milliseconds(deadline - now),
                         [] { return fleet_stopping.load(); });
    }
}

// Whether the slot's adapter is there: a USB identity found (into p.name),
// a port the system has. A network port only a connection can tell.
bool adapter_there(fleet_port& p, const station_slot& s, slot_round& r)
{
    if (serial_is_network_port(p.name)) return true;
    if (serial_is_usb_form(p.given)) {
        uint64_t now = platform_now_ms();
        if (now < r.next_resolve) return false;
        r.next_resolve = now + RESOLVE_EVERY_MS;
        return serial_resolve_usb(p.given, p.name, sizeof p.name, &p.usb) == SERIAL_OK;
    }
    return s.listed && serial_port_exists(p.name);
}

void close_port(port_claims& claims, fleet_port& p, slot_round& r)
{
    tag_disconnect(p.name);
    r.open = false;
    release_claim(claims, p);
}

void set_empty(fleet& f, fleet_port& p, const char* why)
{
    if (p.state == slot_state::empty && strcmp(p.station.empty_why, why) == 0) return;
    snprintf(p.station.empty_why, sizeof p.station.empty_why, "%s", why);
    set_slot_state(f, p, slot_state::empty);
}

// The tag held has gone: the slot is empty again.
void tag_gone(fleet& f, fleet_port& p, slot_round& r)
{
    if (!holds_tag(p)) return;
    bool told = p.state == slot_state::held;
    r.held_node = -1;
    r.sent_node = -1;
    r.misses = 0;
    p.station.empty_why[0] = '\0';
    set_slot_state(f, p, slot_state::empty);
    if (told) tell_gone(f, p);
}

// Whether a poll's failure means the port itself has gone (an adapter
// pulled out, a connection closed), rather than that no tag answered.
bool port_lost(int32_t result)
{
    if (result != SERIAL_EIO) return false;
    switch (serial_last_error().fault) {
    case SERIAL_FAULT_MISSING:
    case SERIAL_FAULT_NOT_SERIAL:
    case SERIAL_FAULT_CLOSED:
    case SERIAL_FAULT_OTHER: return true;
    default: return false;
    }
}

// One poll on the open line: SERIAL_OK when a tag answered, with its node
// ID (-1 when it gives none). While a tag whose node ID is known is held
// one command does: the node-ID query, whose answer tells the same tag from
// another; otherwise the tag is identified ("ver") with its firmware.
int32_t poll_tag(const fleet_port& p, const slot_round& r, uint32_t* firmware, uint32_t* third,
                 int* node)
{
    serial_set_timeout(p.name, POLL_REPLY_MS);
    uint8_t id = 0;
    if (holds_tag(p) && r.held_node >= 0) {
        int32_t result = tag_get_node_id(p.name, &id);
        if (result != SERIAL_OK) return result;
        *node = id;
        if (*node == r.held_node) return SERIAL_OK;
    }
    int32_t result = tag_identify(p.name, firmware, third, nullptr);
    if (result != SERIAL_OK) return result;
    *node = tag_get_node_id(p.name, &id) == SERIAL_OK ? id : -1;
    return SERIAL_OK;
}

// A tag answered a poll (node ID `node`, -1 when it gave none): a new tag
// is loaded, unless --count loads have started.
void tag_answered(fleet& f, fleet_port& p, slot_round& r, uint32_t firmware, uint32_t third,
                  int node)
{
    if (holds_tag(p)) {
        if (is_held_tag(r.held_node, r.sent_node, node)) {
            // The node ID learnt: the one it answered first, or its new one.
            if (r.held_node < 0 || node == r.sent_node) r.held_node = node;
            return;
        }
        tag_gone(f, p, r);  // another node ID: another tag
    }
    r.held_node = node;
    tag_version_text(firmware, third, p.firmware, sizeof p.firmware);
    p.node_id = node;
    if (!may_start_load(f, p)) {
        snprintf(p.station.empty_why, sizeof p.station.empty_why, "a tag is there, not loaded: --count %lu reached",
                 f.options.count);
        set_slot_state(f, p, slot_state::waiting);
        return;
    }
    tell_present(f, p);
    load_tag(f, p);
    // A tag given a node ID of the pool is the same tag under its new ID.
    if (p.node_id >= 0) r.held_node = p.node_id;
    r.sent_node = p.node_ids.sent;
}

// Opens the slot's port when its adapter is there: false (the slot told
// empty) when it is not, another slot holds it, or it cannot be opened.
bool open_slot(fleet& f, station_slot& s, port_claims& claims, fleet_port& p, slot_round& r)
{
    if (!adapter_there(p, s, r)) {
        tag_gone(f, p, r);
        set_empty(f, p, "");
        return false;
    }
    char why[TAG_REASON_SIZE] = "";
    if (!claim_port(claims, p, why, sizeof why)) {
        set_empty(f, p, why);
        return false;
    }
    int32_t result = tag_open_line(p.name, POLL_REPLY_MS);
    if (result != SERIAL_OK) {
        release_claim(claims, p);
        // A port that refuses (a network port), is gone, or that another
        // program holds: no tag can be loaded there now.
        if (!fleet_stopping && !tag_found_nothing(result)) {
            tag_describe_failure(p.name, result, why, sizeof why);
        }
        tag_gone(f, p, r);
        set_empty(f, p, why);
        return false;
    }
    r.open = true;
    return true;
}

// The slot's round, until the run ends.
void run_slot(fleet* f, station_slot* s, port_claims* claims)
{
    fleet_port p = s->start;
    if (f->options.verbose) tag_trace_label(p.slot);
    // A port found by -a that tagterm holds is a developer's: passed by.
    serial_relay_pass_by(f->options.all);
    slot_round r;
    set_empty(*f, p, "");
    while (!fleet_stopping) {
        uint64_t next_poll = platform_now_ms() + POLL_EVERY_MS;
        if (p.station.listed != s->listed) {
            p.station.listed = s->listed;
            tell_state(*f, p);
        }
        if (!r.open && !open_slot(*f, *s, *claims, p, r)) {
            sleep_until(next_poll);
            continue;
        }
        uint32_t firmware = 0, third = 0;
        int node = -1;
        int32_t result = poll_tag(p, r, &firmware, &third, &node);
        if (fleet_stopping) break;
        if (result == SERIAL_OK) {
            r.misses = 0;
            tag_answered(*f, p, r, firmware, third, node);
        } else if (port_lost(result)) {
            close_port(*claims, p, r);
            tag_gone(*f, p, r);
        } else if (holds_tag(p) && ++r.misses >= MISSES_FOR_GONE) {
            tag_gone(*f, p, r);
        }
        if (!holds_tag(p)) set_empty(*f, p, "");
        sleep_until(next_poll);
    }
    if (r.open) close_port(*claims, p, r);
}

void start_slot(fleet& f, station_slot& s, port_claims& claims)
{
    s.thread = std::thread(run_slot, &f, &s, &claims);
}

// -a: ports that the list shows join as slots of their own; those it no
// longer shows leave (their threads keep watching, in case they come back).
void list_ports(fleet& f, std::deque<station_slot>& slots, port_claims& claims)
{
    static serial_port_info listed[FLEET_MAX_PORTS];
    size_t n = serial_list_ports(listed, FLEET_MAX_PORTS, false);
    for (station_slot& s : slots) {
        bool there = false;
        for (size_t i = 0; i < n && !there; ++i) there = strcmp(listed[i].name, s.start.name) == 0;
        s.listed = there;
    }
    for (size_t i = 0; i < n && slots.size() < FLEET_MAX_PORTS; ++i) {
        bool known = false;
        for (const station_slot& s : slots) known = known || strcmp(listed[i].name, s.start.name) == 0;
        if (known) continue;
        slots.emplace_back();
        fleet_port& p = slots.back().start;
        p.index = slots.size() - 1;
        snprintf(p.slot, sizeof p.slot, "%.*s", static_cast<int>(SERIAL_MAX_PATH), listed[i].name);
        snprintf(p.given, sizeof p.given, "%s", p.slot);
        snprintf(p.name, sizeof p.name, "%s", p.slot);
        p.usb = listed[i].usb;
        p.state = slot_state::empty;
        add_claim(claims, p);
        recorder_add_slot(f, p);
        start_slot(f, slots.back(), claims);
    }
}

}  // namespace

void run_station(fleet& f)
{
    // The slots' check, as every run makes it; an adapter not there yet is
    // waited for.
    resolve_slots(f, false);
    recorder_open(f);
    port_claims claims;
    // A deque: a slot's entry stays where it is while -a adds more.
    std::deque<station_slot> slots;
    for (const fleet_port& p : f.ports) {
        slots.emplace_back();
        slots.back().start = p;
        add_claim(claims, p);
    }
    for (station_slot& s : slots) {
        // Two slots that come to one port: both fail, and neither is used.
        if (s.start.state == slot_state::failed) {
            tell_result(f, s.start);
        } else {
            start_slot(f, s, claims);
        }
    }
    uint64_t next_list = 0;
    while (!fleet_stopping) {
        uint64_t now = platform_now_ms();
        if (f.options.all && now >= next_list) {
            list_ports(f, slots, claims);
            next_list = now + LIST_EVERY_MS;
        }
        platform_sleep_ms(WATCH_EVERY_MS);
    }
    {
        std::lock_guard<std::mutex> lock(sleeping);
        wake_up.notify_all();
    }
    for (station_slot& s : slots) {
        if (s.thread.joinable()) s.thread.join();
    }
}
