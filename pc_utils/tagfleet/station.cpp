// A production station: an operator puts a tag into a slot, waits for PASS
// or FAIL, takes it out and puts in the next. Each slot has a thread that
// goes round:
//   empty    no adapter, or no tag answers the version command;
//   loading  a tag answered: it is loaded, exactly as every upload is;
//   held     PASS or FAIL stays on the slot's line while the tag stays;
//   gone     the port went, or no tag answered two polls in a row: empty.
// A tag is loaded once per insertion. A slot whose adapter is there keeps
// its port open and polls on the open line: opening a port at each poll
// would toggle DTR, which resets some boards (a network port keeps its
// connection). With -a the port list is read again every second, so that
// an adapter plugged in joins and one pulled out leaves.
#include "fleet.h"
#include "platform/platform.h"
#include "serial/serial.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <cstring>
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
constexpr uint32_t REDRAW_EVERY_MS = 100;
// Without a display the main thread only watches for the end.
constexpr uint32_t WATCH_EVERY_MS = 250;

// What a slot's thread knows of its slot (fields ordered by size).
struct slot_round {
    uint64_t next_resolve = 0;
    int held_node = -1;   // the node ID of the tag whose result is held
    int misses = 0;       // polls in a row that no tag answered
    bool open = false;    // the port is open
    bool held = false;    // a result is held: the tag has not gone yet
};

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
bool adapter_there(fleet& f, fleet_port& p, slot_round& r)
{
    if (serial_is_network_port(p.name)) return true;
    if (serial_is_usb_form(p.given)) {
        uint64_t now = platform_now_ms();
        if (now < r.next_resolve) return false;
        r.next_resolve = now + RESOLVE_EVERY_MS;
        char port[SERIAL_MAX_PATH + 1];
        serial_usb_identity usb{};
        if (serial_resolve_usb(p.given, port, sizeof port, &usb) != SERIAL_OK) return false;
        std::lock_guard<std::mutex> lock(f.lock);
        snprintf(p.name, sizeof p.name, "%s", port);
        p.usb = usb;
        return true;
    }
    return p.listed && serial_port_exists(p.name);
}

void set_empty(fleet& f, fleet_port& p, const char* why)
{
    std::lock_guard<std::mutex> lock(f.lock);
    p.phase = port_phase::empty;
    snprintf(p.empty_why, sizeof p.empty_why, "%s", why);
}

// The tag whose result was held has gone: the slot is empty again.
void tag_gone(fleet& f, fleet_port& p, slot_round& r)
{
    if (!r.held) return;
    r.held = false;
    r.misses = 0;
    {
        std::lock_guard<std::mutex> lock(f.lock);
        emit_gone(f, p);
    }
    show_station_event(f, p, "tag gone");
    set_empty(f, p, "");
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
// ID (-1 when it gives none). While a result is held one command does: the
// node-ID query, whose answer tells the same tag from another; otherwise,
// when another answers, or when the tag held gave no node ID, the tag is
// identified ("ver") with its firmware.
int32_t poll_tag(const fleet_port& p, const slot_round& r, uint32_t* firmware, uint32_t* third,
                 int* node)
{
    serial_set_timeout(p.name, POLL_REPLY_MS);
    uint8_t id = 0;
    if (r.held && r.held_node >= 0) {
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

// A tag has been put in: it is loaded, and its result held.
void load_tag(fleet& f, fleet_port& p, uint32_t firmware, uint32_t third)
{
    auto start = std::chrono::steady_clock::now();
    {
        std::lock_guard<std::mutex> lock(f.lock);
        p.phase = port_phase::connecting;
        p.outcome = port_outcome::pending;
        p.result = 0;
        p.reason[0] = '\0';
        p.hook_note[0] = '\0';
        p.done = 0;
        p.bytes_sent = 0;
        p.attempts = 0;
        p.progress_percent = -1;
        p.progress_ms = 0;
        p.started_ms = utc_now_ms();
    }
    char present[48];
    snprintf(present, sizeof present, "tag %d present", p.node_id);
    show_station_event(f, p, present);
    take_upload_turn(f);
    platform_fine_timer(true);
    serial_set_timeout(p.name, TAG_REPLY_TIMEOUT_MS);
    int32_t result = APP_ESTOPPED;
    for (unsigned n = 0; n <= f.options.retry && !fleet_stopping; ++n) {
        if (n > 0) {
            // The tag must still be there, and answer as a tag, to be tried again.
            wait_for_quiet_line(p.name);
            result = tag_identify(p.name, &firmware, &third, nullptr);
            if (result == SERIAL_OK) result = read_node_id(f, p, firmware, third);
            if (result != SERIAL_OK) break;
        }
        {
            std::lock_guard<std::mutex> lock(f.lock);
            p.attempts = n + 1;
            p.done = 0;
        }
        result = load_script(f, p);
        if (result == SERIAL_OK) break;
    }
    platform_fine_timer(false);
    give_upload_turn(f);
    char why[TAG_REASON_SIZE] = "";
    if (result != SERIAL_OK && result != APP_ESTOPPED && !fleet_stopping) {
        tag_describe_failure(p.name, result, why, sizeof why);
    }
    {
        std::lock_guard<std::mutex> lock(f.lock);
        p.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        // An upload the end of the run cut short is interrupted, whatever
        // the line said after.
        p.outcome = result == SERIAL_OK ? port_outcome::loaded
                    : fleet_stopping    ? port_outcome::interrupted
                                        : port_outcome::failed;
        p.result = p.outcome == port_outcome::interrupted ? APP_ESTOPPED : result;
        snprintf(p.reason, sizeof p.reason, "%s", p.outcome == port_outcome::failed ? why : "");
        p.result_ms = utc_now_ms();
        p.phase = port_phase::done;
    }
    record_result(f, p);
    if (p.outcome == port_outcome::failed && f.live) platform_bell();
    show_station_event(f, p, nullptr);
    std::lock_guard<std::mutex> lock(f.lock);
    unsigned long results = f.totals.loaded + f.totals.failed;
    if (f.options.count > 0 && results >= f.options.count) stop_fleet();
}

// The slot's round, until the run ends.
void run_slot(fleet& f, fleet_port& p)
{
    if (f.options.verbose) tag_trace_label(p.slot);
    slot_round r;
    set_empty(f, p, "");
    while (!fleet_stopping) {
        uint64_t next_poll = platform_now_ms() + POLL_EVERY_MS;
        if (!r.open) {
            if (!adapter_there(f, p, r)) {
                tag_gone(f, p, r);
                set_empty(f, p, "");
                sleep_until(next_poll);
                continue;
            }
            int32_t result = serial_open(p.name, 115200, 8, 0, 1, POLL_REPLY_MS);
            if (result != SERIAL_OK) {
                // A port that refuses (a network port), is gone, or that
                // another program holds: no tag can be loaded there now.
                char why[TAG_REASON_SIZE] = "";
                if (!fleet_stopping && !tag_found_nothing(result)) {
                    tag_describe_failure(p.name, result, why, sizeof why);
                }
                tag_gone(f, p, r);
                set_empty(f, p, why);
                sleep_until(next_poll);
                continue;
            }
            r.open = true;
        }
        uint32_t firmware = 0, third = 0;
        int node = -1;
        int32_t result = poll_tag(p, r, &firmware, &third, &node);
        if (fleet_stopping) break;
        if (result != SERIAL_OK) {
            if (port_lost(result)) {
                serial_close(p.name);
                r.open = false;
                tag_gone(f, p, r);
            } else if (r.held && ++r.misses >= MISSES_FOR_GONE) {
                tag_gone(f, p, r);
            }
            if (!r.held) set_empty(f, p, "");
            sleep_until(next_poll);
            continue;
        }
        r.misses = 0;
        // The tag that is held answers still; another node ID is another tag.
        if (!r.held || node != r.held_node) {
            tag_gone(f, p, r);
            note_tag(f, p, firmware, third, node);
            load_tag(f, p, firmware, third);
            r.held = true;
            r.held_node = node;
        }
        sleep_until(next_poll);
    }
    if (r.open) tag_disconnect(p.name);
}

// -a: ports that the list shows join as slots of their own; those it no
// longer shows leave (their threads keep watching, in case they come back).
void list_ports(fleet& f, std::vector<std::thread>& threads)
{
    static serial_port_info listed[FLEET_MAX_PORTS];
    size_t n = serial_list_ports(listed, FLEET_MAX_PORTS, false);
    std::lock_guard<std::mutex> lock(f.lock);
    for (fleet_port& p : f.ports) {
        p.listed = false;
        for (size_t i = 0; i < n && !p.listed; ++i) p.listed = strcmp(listed[i].name, p.name) == 0;
    }
    for (size_t i = 0; i < n && f.ports.size() < f.ports.capacity(); ++i) {
        bool known = false;
        for (const fleet_port& p : f.ports) known = known || strcmp(listed[i].name, p.name) == 0;
        if (known) continue;
        f.ports.emplace_back();
        fleet_port& p = f.ports.back();
        snprintf(p.slot, sizeof p.slot, "%.*s", static_cast<int>(SERIAL_MAX_PATH), listed[i].name);
        snprintf(p.given, sizeof p.given, "%s", p.slot);
        snprintf(p.name, sizeof p.name, "%s", p.slot);
        p.usb = listed[i].usb;
        threads.emplace_back(run_slot, std::ref(f), std::ref(p));
    }
}

}  // namespace

void run_station(fleet& f)
{
    // The slots' entries stay where they are: their threads hold them.
    f.ports.reserve(FLEET_MAX_PORTS);
    emit_start(f);
    std::vector<std::thread> threads;
    for (fleet_port& p : f.ports) threads.emplace_back(run_slot, std::ref(f), std::ref(p));
    size_t previous = 0;
    uint64_t next_list = 0;
    while (!fleet_stopping) {
        uint64_t now = platform_now_ms();
        if (f.options.all && now >= next_list) {
            list_ports(f, threads);
            next_list = now + LIST_EVERY_MS;
        }
        if (f.live) redraw_station(f, &previous);
        platform_sleep_ms(f.live ? REDRAW_EVERY_MS : WATCH_EVERY_MS);
    }
    {
        std::lock_guard<std::mutex> lock(sleeping);
        wake_up.notify_all();
    }
    for (std::thread& t : threads) t.join();
    if (f.live) redraw_station(f, &previous);
}
