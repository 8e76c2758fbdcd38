// The serial driver's one entry: every public serial_ function but the
// names' (serial_names.cpp) and the failures' (serial_error.cpp). Port
// names and arguments are checked here once, names mapped to slots, slots
// that are not open refused; the process-wide time-out and the quiet-line
// input flush live here too. The backend (serial_backend.h) only moves the
// bytes.
#include "serial.h"
#include "serial_backend.h"
#include "usb_ids.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>

thread_local uint32_t serial_current_timeout = 0;

namespace {

// Claiming a slot is the one step that threads on different ports share.
std::mutex slot_claims;
// Lock-free, so that a signal handler may set it.
std::atomic<bool> stop_requested{false};
static_assert(std::atomic<bool>::is_always_lock_free);

// Close to a second of unbroken input at 115200 baud.
constexpr uint32_t MAX_FLUSH_BYTES = 10000;

// The backend each slot was last opened with (null: never opened), and
// whether it is open now. Both are read by the interrupt handler too, and
// written under slot_claims: a named slot let go by one thread may be
// claimed by another for a name of its own while a third still asks about
// the old name. The open flag is taken back by exactly one closer.
std::atomic<const serial_backend*> slot_backend[SERIAL_SLOTS];
std::atomic<bool> slot_open[SERIAL_SLOTS];
static_assert(std::atomic<const serial_backend*>::is_always_lock_free);
bool slot_opening[SERIAL_SLOTS];        // claimed, being opened (under slot_claims)
// The names of the ports in the named slots (device paths, network ports).
// A name stays after its port is closed, until another name takes the slot.
char slot_names[SERIAL_NAMED_SLOTS][SERIAL_MAX_PATH + 1];
constexpr size_t NO_SLOT = SERIAL_SLOTS;

bool is_port_name(const char* name)
{
    return port_number_from_name(name) >= 0 ||
           (serial_is_network_port(name) && strlen(name) <= SERIAL_MAX_PATH) ||
           (serial_os_backend.takes_device_paths && serial_is_device_path(name));
}

// The backend that moves a checked port name's bytes.
const serial_backend& backend_for(const char* name)
{
    return serial_is_network_port(name) ? serial_net_backend : serial_os_backend;
}

// The slot of a checked port name; NO_SLOT for a name that has none. The
// caller holds slot_claims for a named port.
size_t find_slot_claimed(const char* name)
{
    int n = port_number_from_name(name);
    if (n >= 0) return static_cast<size_t>(n);
    for (size_t i = 0; i < SERIAL_NAMED_SLOTS; ++i) {
        if (strcmp(slot_names[i], name) == 0) return SERIAL_FIRST_NAMED_SLOT + i;
    }
    return NO_SLOT;
}

size_t find_slot(const char* name)
{
    int n = port_number_from_name(name);
    if (n >= 0) return static_cast<size_t>(n);
    std::lock_guard<std::mutex> lock(slot_claims);
    return find_slot_claimed(name);
}

// The slot to open a port in: its own, or a free one for a new name. The
// caller holds slot_claims.
size_t claim_slot(const char* name)
{
    size_t found = find_slot_claimed(name);
    if (found != NO_SLOT) return found;
    for (size_t i = 0; i < SERIAL_NAMED_SLOTS; ++i) {
        size_t slot = SERIAL_FIRST_NAMED_SLOT + i;
        if (!slot_open[slot] && !slot_opening[slot]) {
            snprintf(slot_names[i], sizeof slot_names[i], "%s", name);
            return slot;
        }
    }
    return NO_SLOT;
}

// The slot of an open port, or NO_SLOT with the failure noted (also once
// the driver is stopped).
size_t open_slot(const char* name, const char* call)
{
    if (serial_stopped()) {
        serial_fail(SERIAL_FAULT_STOPPED, call, 0, "");
        return NO_SLOT;
    }
    size_t slot = find_slot(name);
    if (slot != NO_SLOT && slot_open[slot]) return slot;
    serial_fail(SERIAL_FAULT_OTHER, call, 0, "the port is not open");
    return NO_SLOT;
}

// The backend that answers for a slot: the one it was opened with, else
// this system's (a closed Windows slot still shows its handle value).
const serial_backend& backend_of(size_t slot)
{
    const serial_backend* backend = slot_backend[slot];
    return backend != nullptr ? *backend : serial_os_backend;
}

}  // namespace

bool serial_takes_device_paths() { return serial_os_backend.takes_device_paths; }

size_t serial_list_ports(serial_port_info* ports, size_t max, bool usb_only)
{
    return ports == nullptr ? 0 : os_list_ports(ports, max, usb_only);
}

void serial_describe_holders(const char* name, char* text, size_t size)
{
    if (size == 0) return;
    text[0] = '\0';
    if (!is_port_name(name)) return;
    // A port this process reaches through tagterm: tagterm holds it and
    // passes every reply on. The slot is looked up and read in one hold of
    // the lock, so that the answer is about this name's slot.
    bool relayed = false;
    {
        std::lock_guard<std::mutex> lock(slot_claims);
        size_t slot = find_slot_claimed(name);
        relayed = slot != NO_SLOT && slot_backend[slot] == &serial_relay_backend;
    }
    (relayed ? serial_relay_backend : backend_for(name)).find_holders(name, text, size);
}

void serial_describe_connection(const char* name, char* text, size_t size)
{
    if (size == 0) return;
    text[0] = '\0';
    if (!is_port_name(name)) return;
    // Under the lock: a slot seen open cannot be closed (its flag is taken
    // back under the lock) nor claimed for another name meanwhile.
    std::lock_guard<std::mutex> lock(slot_claims);
    size_t slot = find_slot_claimed(name);
    if (slot != NO_SLOT && slot_open[slot]) slot_backend[slot].load()->describe(slot, text, size);
}

serial_handle serial_get_handle(const char* name)
{
    if (!is_port_name(name)) return SERIAL_INVALID_HANDLE;
    size_t slot = find_slot(name);
    return slot == NO_SLOT ? SERIAL_INVALID_HANDLE : backend_of(slot).handle(slot);
}

int32_t serial_open(const char* name, uint32_t baud, uint8_t data_bits, uint8_t parity,
                    uint8_t stop_bits, uint32_t timeout_ms)
{
    if (!is_port_name(name)) return serial_fail(SERIAL_FAULT_NAME, "open", 0, "");
    // A stop-bit count other than 1 or 2 is the caller's mistake, like a bad
    // name, so it gives SERIAL_EINVAL; settings the port itself refuses are
    // the port's failure and give SERIAL_EIO.
    if (stop_bits != 1 && stop_bits != 2) {
        serial_fail(SERIAL_FAULT_SETTINGS, "stop bits", 0, "");
        return SERIAL_EINVAL;
    }
    if (serial_stopped()) return serial_fail(SERIAL_FAULT_STOPPED, "open", 0, "");
    size_t slot = NO_SLOT;
    {
        std::lock_guard<std::mutex> lock(slot_claims);
        slot = claim_slot(name);
        if (slot == NO_SLOT) {
            return serial_fail(SERIAL_FAULT_OTHER, "open", 0, "too many ports open by name");
        }
        // A port this process holds already is refused as Windows refuses a
        // second exclusive CreateFile, and its slot stays as it is.
        if (slot_open[slot] || slot_opening[slot]) {
            return serial_fail(SERIAL_FAULT_IN_USE, "open", 0, "");
        }
        slot_opening[slot] = true;
        slot_backend[slot] = &serial_relay_backend;
    }
    // A port that tagterm holds is used through it, by any name it has;
    // the system's backend opens every other.
    const serial_line line{baud, data_bits, parity, stop_bits};
    const serial_backend* backend = &serial_relay_backend;
    int32_t result = backend->open(slot, name, line);
    if (result != SERIAL_OK && serial_last_error().fault == SERIAL_FAULT_MISSING) {
        backend = &backend_for(name);
        result = backend->open(slot, name, line);
    }
    {
        // claim_slot reads these under the lock: another thread may be
        // looking for a free slot for its own name.
        std::lock_guard<std::mutex> lock(slot_claims);
        slot_backend[slot] = backend;
        slot_open[slot] = result == SERIAL_OK;
        slot_opening[slot] = false;
    }
    if (result != SERIAL_OK) return result;
    if (serial_set_timeout(name, timeout_ms) != SERIAL_OK) {
        serial_close(name);
        return SERIAL_EIO;
    }
    return SERIAL_OK;
}

int32_t serial_close(const char* name)
{
    if (!is_port_name(name)) return SERIAL_EINVAL;
    size_t slot = NO_SLOT;
    {
        std::lock_guard<std::mutex> lock(slot_claims);
        slot = find_slot_claimed(name);
        if (slot == NO_SLOT) return SERIAL_OK;
        // A port an interrupt gave back already is not closed again: its
        // handle may belong to another port by now.
        if (slot_backend[slot] != nullptr && !slot_open[slot].exchange(false)) return SERIAL_OK;
        // Held while it is closed: a port another thread opens meanwhile
        // must not be given this slot before its handle is let go.
        slot_opening[slot] = true;
    }
    backend_of(slot).close(slot);
    std::lock_guard<std::mutex> lock(slot_claims);
    slot_opening[slot] = false;
    return SERIAL_OK;
}

void serial_release_all()
{
    for (size_t slot = 0; slot < SERIAL_SLOTS; ++slot) {
        if (slot_open[slot].exchange(false)) slot_backend[slot].load()->close(slot);
    }
}

void serial_stop_all() { stop_requested = true; }

bool serial_stopped() { return stop_requested; }

bool serial_port_exists(const char* name)
{
    return is_port_name(name) && backend_for(name).exists(name);
}

void serial_identify_port(const char* name, serial_port_identity* id)
{
    id->count = 0;
    if (is_port_name(name)) backend_for(name).identify(name, id);
    usb_form form{};
    if (usb_parse_form(name, &form)) {
        if (form.by_location) {
            serial_add_identity_key(id, "usb@%s", form.location);
        } else {
            serial_add_identity_key(id, "usb:%s:%s:%s", form.vid, form.pid, form.serial);
        }
    }
    if (id->count == 0) serial_add_identity_key(id, "name %s", name != nullptr ? name : "");
}

int32_t serial_set_timeout(const char* name, uint32_t timeout_ms)
{
    if (!is_port_name(name)) return SERIAL_EINVAL;
    size_t slot = open_slot(name, "set time-out");
    if (slot == NO_SLOT) return SERIAL_EIO;
    int32_t result = slot_backend[slot].load()->set_timeout(slot, timeout_ms);
    if (result == SERIAL_OK) serial_current_timeout = timeout_ms;
    return result;
}

int32_t serial_get_timeout(const char* name, uint32_t* timeout_ms)
{
    if (!is_port_name(name) || timeout_ms == nullptr) return SERIAL_EINVAL;
    *timeout_ms = serial_current_timeout;
    return SERIAL_OK;
}

int32_t serial_read(const char* name, void* buffer, uint32_t count)
{
    if (!is_port_name(name)) return SERIAL_EINVAL;
    size_t slot = open_slot(name, "read");
    if (slot == NO_SLOT) return SERIAL_EIO;
    return slot_backend[slot].load()->read(slot, buffer, count, serial_current_timeout);
}

int32_t serial_read_within(const char* name, void* buffer, uint32_t count, uint32_t timeout_ms)
{
    if (!is_port_name(name)) return SERIAL_EINVAL;
    size_t slot = open_slot(name, "read");
    if (slot == NO_SLOT) return SERIAL_EIO;
    serial_running_read = {true, timeout_ms};
    int32_t result = slot_backend[slot].load()->read_within(slot, buffer, count, timeout_ms);
    serial_running_read = {false, 0};
    return result;
}

int32_t serial_read_some(const char* name, void* buffer, uint32_t max, uint32_t first_ms,
                         uint32_t* got)
{
    if (got == nullptr || !is_port_name(name)) return SERIAL_EINVAL;
    *got = 0;
    if (max == 0) return SERIAL_EINVAL;
    size_t slot = open_slot(name, "read");
    if (slot == NO_SLOT) return SERIAL_EIO;
    serial_running_read = {true, first_ms};
    int32_t result = slot_backend[slot].load()->read_some(slot, buffer, max, first_ms, got);
    serial_running_read = {false, 0};
    return result;
}

int32_t serial_write(const char* name, const void* bytes, uint32_t count)
{
    if (!is_port_name(name)) return SERIAL_EINVAL;
    size_t slot = open_slot(name, "write");
    if (slot == NO_SLOT) return SERIAL_EIO;
    return slot_backend[slot].load()->write(slot, bytes, count, serial_current_timeout);
}

int32_t serial_set_dtr(const char* name, bool on)
{
    if (!is_port_name(name)) return SERIAL_EINVAL;
    size_t slot = open_slot(name, "set DTR");
    if (slot == NO_SLOT) return SERIAL_EIO;
    return slot_backend[slot].load()->set_dtr(slot, on);
}


int32_t serial_flush_input(const char* name)
{
    uint32_t old_timeout = 0;
    int32_t result = serial_get_timeout(name, &old_timeout);
    if (result != SERIAL_OK) return result;
    // Read in windows (50 bytes within 10 ms on a local port) until one comes
    // back short: the line has then been quiet long enough for whatever the
    // tag was sending to have ended.
    // A device that never stops sending is given up on after a while (a tag
    // says nothing for that long): what it sends next is read as a reply and
    // judged there. A network port's window also covers its round trip, or
    // what the tag sent just before would still be on its way.
    size_t slot = open_slot(name, "flush");
    serial_flush_plan plan = slot == NO_SLOT ? local_quiet_window(slot)
                                             : slot_backend[slot].load()->prepare_flush(slot);
    result = serial_set_timeout(name, plan.window_ms);
    if (result != SERIAL_OK) return result;
    unsigned char junk[50];  // read_size is at most its size
    int32_t last = SERIAL_OK;
    uint32_t discarded = 0;
    do {
        last = serial_read(name, junk, plan.read_size);
        discarded += plan.read_size;
    } while (last == SERIAL_OK && discarded < MAX_FLUSH_BYTES);
    result = serial_set_timeout(name, old_timeout);
    if (result != SERIAL_OK) return result;
    return last == SERIAL_EIO ? SERIAL_OK : last;
}
