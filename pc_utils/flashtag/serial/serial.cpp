// The serial driver's one entry: every public serial_ function. Port names
// and arguments are checked here once, names mapped to slots, slots that
// are not open refused; the process-wide time-out, the quiet-line input
// flush and the reason of the last failure live here too. The backend
// (serial_backend.h) only moves the bytes.
#include "common/bytes.h"
#include "serial.h"
#include "serial_backend.h"
#include "usb_ids.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

thread_local uint32_t serial_current_timeout = 0;

namespace {

thread_local serial_error last_error{SERIAL_FAULT_NONE, "", 0};
thread_local char last_os_text[400];
// The time-out a read of its own time-out (serial_read_within,
// serial_read_some) runs with, while it runs, and the one the last failure
// ran with: a failure names it, where another names the thread's.
struct own_timeout {
    bool set;
    uint32_t ms;
};
thread_local own_timeout running_read{false, 0};
thread_local own_timeout failed_read{false, 0};
// Claiming a slot is the one step that threads on different ports share.
std::mutex slot_claims;
// Lock-free, so that a signal handler may set it.
std::atomic<bool> stop_requested{false};
static_assert(std::atomic<bool>::is_always_lock_free);

}  // namespace

int32_t serial_fail(serial_fault fault, const char* call, long os_error, const char* os_text)
{
    last_error = serial_error{fault, call, os_error};
    failed_read = running_read;
    snprintf(last_os_text, sizeof last_os_text, "%s", os_text);
    bool bad_name = fault == SERIAL_FAULT_NAME || fault == SERIAL_FAULT_ADDRESS;
    return bad_name ? SERIAL_EINVAL : SERIAL_EIO;
}

serial_error serial_last_error() { return last_error; }

void serial_describe_error(char* text, size_t size)
{
    if (size == 0) return;
    const char* os_text = last_os_text;
    const char* call = last_error.call;
    uint32_t timeout_ms = failed_read.set ? failed_read.ms : serial_current_timeout;
    switch (last_error.fault) {
    case SERIAL_FAULT_NONE: snprintf(text, size, "has not failed"); break;
    case SERIAL_FAULT_NAME:
        snprintf(text, size, "is not a port name (COM1 to COM%d)", SERIAL_MAX_PORT);
        break;
    case SERIAL_FAULT_MISSING: snprintf(text, size, "does not exist"); break;
    case SERIAL_FAULT_IN_USE: snprintf(text, size, "is in use by another program"); break;
    case SERIAL_FAULT_PERMISSION:
        snprintf(text, size, "may not be opened by this user (%s)", os_text);
        break;
    case SERIAL_FAULT_NOT_SERIAL:
        snprintf(text, size, "does not work as a serial port (%s: %s)", call, os_text);
        break;
    case SERIAL_FAULT_TIMEOUT:
        snprintf(text, size, "did not complete a %s within %lu ms", call,
                 static_cast<unsigned long>(timeout_ms));
        break;
    case SERIAL_FAULT_SETTINGS:
        snprintf(text, size, "does not take the line settings (%s%s%s)", call,
                 os_text[0] != '\0' ? ": " : "", os_text);
        break;
    case SERIAL_FAULT_OTHER: snprintf(text, size, "failed (%s: %s)", call, os_text); break;
    case SERIAL_FAULT_ADDRESS:
        if (os_text[0] != '\0') {
            snprintf(text, size, "is not a usable network port (%s)", os_text);
        } else {
            snprintf(text, size, "is not a network port (socket://HOST:PORT or rfc2217://HOST:PORT)");
        }
        break;
    case SERIAL_FAULT_NO_HOST:
        snprintf(text, size, "names a host that does not resolve (%s)", os_text);
        break;
    case SERIAL_FAULT_REFUSED:
        snprintf(text, size, "refused the connection: nothing takes connections on that port");
        break;
    case SERIAL_FAULT_NO_ANSWER:
        snprintf(text, size, "did not answer the connection within %lu s",
                 static_cast<unsigned long>(SERIAL_CONNECT_TIMEOUT_MS / 1000));
        break;
    case SERIAL_FAULT_CLOSED:
        snprintf(text, size, "closed the connection%s%s%s", os_text[0] != '\0' ? ", saying \"" : "",
                 os_text, os_text[0] != '\0' ? "\"" : "");
        break;
    case SERIAL_FAULT_NO_RFC2217:
        snprintf(text, size, "does not speak RFC 2217 (%s)", os_text);
        break;
    case SERIAL_FAULT_NO_DATA:
        snprintf(text, size, "sent a stream of telnet commands and no data within %lu ms",
                 static_cast<unsigned long>(timeout_ms));
        break;
    case SERIAL_FAULT_STOPPED: snprintf(text, size, "was let go: the run was interrupted"); break;
    case SERIAL_FAULT_UNPLUGGED:
        snprintf(text, size, "is not plugged in (no USB adapter %s)", os_text);
        break;
    case SERIAL_FAULT_AMBIGUOUS: snprintf(text, size, "matches %s", os_text); break;
    }
}

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Close to a second of unbroken input at 115200 baud.
constexpr uint32_t MAX_FLUSH_BYTES = 10000;

}  // namespace

int port_number_from_name(const char* name)
{
    if (name == nullptr) return -1;
    if (ascii_lower(name[0]) != 'c' || ascii_lower(name[1]) != 'o' || ascii_lower(name[2]) != 'm') {
        return -1;
    }
    // Two forms only: one digit 1..9, or two digits 01..99. Anything longer
    // ("COM100", "COM7 ") is not a port name.
    const char* digits = name + 3;
    if (digits[0] >= '1' && digits[0] <= '9' && digits[1] == '\0') return digits[0] - '0';
    if (is_digit(digits[0]) && is_digit(digits[1]) && digits[2] == '\0') {
        int n = (digits[0] - '0') * 10 + (digits[1] - '0');
        return n == 0 ? -1 : n;
    }
    return -1;
}

bool serial_is_device_path(const char* name)
{
    return name != nullptr && name[0] == '/' && strlen(name) <= SERIAL_MAX_PATH;
}

bool serial_is_network_port(const char* name)
{
    return name != nullptr &&
           (strncmp(name, "socket://", 9) == 0 || strncmp(name, "rfc2217://", 10) == 0);
}

namespace {

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

void serial_add_identity_key(serial_port_identity* id, const char* format, ...)
{
    if (id->count == SERIAL_IDENTITY_KEYS) return;
    va_list args;
    va_start(args, format);
    vsnprintf(id->keys[id->count++], sizeof id->keys[0], format, args);  // NOLINT(clang-analyzer-valist.Uninitialized)
    va_end(args);
}

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

bool serial_same_port(const serial_port_identity& a, const serial_port_identity& b)
{
    for (size_t i = 0; i < a.count; ++i) {
        for (size_t j = 0; j < b.count; ++j) {
            if (strcmp(a.keys[i], b.keys[j]) == 0) return true;
        }
    }
    return false;
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
    running_read = {true, timeout_ms};
    int32_t result = slot_backend[slot].load()->read_within(slot, buffer, count, timeout_ms);
    running_read = {false, 0};
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
    running_read = {true, first_ms};
    int32_t result = slot_backend[slot].load()->read_some(slot, buffer, max, first_ms, got);
    running_read = {false, 0};
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
