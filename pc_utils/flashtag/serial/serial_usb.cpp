// USB adapters named by identity, resolved to their ports from the port
// list: nothing is opened to find out.
#include "common/bytes.h"
#include "serial.h"
#include "serial_backend.h"
#include "usb_ids.h"

#include <cstdio>
#include <cstring>
#include <mutex>

namespace {

// The list is large; one copy, taken by one caller at a time.
std::mutex list_lock;
serial_port_info listed[SERIAL_MAX_NAMED_PORTS];

// How a matching adapter is told apart from the others that match: by its
// serial number where theirs differ, else by its jack.
void describe_match(const serial_port_info& port, bool by_serial, char* text, size_t size)
{
    if (by_serial) {
        snprintf(text, size, "%s (serial %s)", port.name, port.usb.serial);
    } else {
        snprintf(text, size, "%s (at %s)", port.name, port.usb.location);
    }
}

// What tells two adapters that match one form apart: the serial number,
// the interface, or (the same jack behind two USB host controllers) the
// controller.
const char* advice(const usb_form& wanted, const serial_usb_identity& a, const serial_usb_identity& b)
{
    if (!wanted.by_location && wanted.serial[0] == '\0') return "; give the serial number or usb@LOCATION";
    size_t controller = strcspn(a.location, "/");
    if (a.location[controller] == '/' && strncmp(a.location, b.location, controller + 1) != 0) {
        return "; give usb@LOCATION with the controller";
    }
    return "; give usb@LOCATION with the interface";
}

}  // namespace

bool serial_is_usb_form(const char* name)
{
    usb_form form{};
    return usb_parse_form(name, &form);
}

int32_t serial_resolve_usb(const char* form, char* port, size_t size, serial_usb_identity* found)
{
    usb_form wanted{};
    if (!usb_parse_form(form, &wanted) || port == nullptr || size == 0) {
        return serial_fail(SERIAL_FAULT_NAME, "resolve", 0, "");
    }
    std::lock_guard<std::mutex> lock(list_lock);
    size_t n = serial_list_ports(listed, SERIAL_MAX_NAMED_PORTS, false);
    constexpr size_t MAX_NAMED = 4;  // more would not help the user
    size_t matches[MAX_NAMED], count = 0;
    for (size_t i = 0; i < n; ++i) {
        if (!usb_form_matches(wanted, listed[i].usb)) continue;
        if (count < MAX_NAMED) matches[count] = i;
        ++count;
    }
    if (count == 0) {
        char words[160];
        usb_form_words(wanted, words, sizeof words);
        return serial_fail(SERIAL_FAULT_UNPLUGGED, "resolve", 0, words);
    }
    if (count > 1) {
        size_t shown = count < MAX_NAMED ? count : MAX_NAMED;
        bool by_serial = true;
        for (size_t i = 1; i < shown; ++i) {
            by_serial = by_serial && listed[matches[i]].usb.serial[0] != '\0' &&
                        strcmp(listed[matches[i]].usb.serial, listed[matches[0]].usb.serial) != 0;
        }
        char text[400];
        size_t used = 0;
        char piece[SERIAL_MAX_PATH + 96];
        snprintf(piece, sizeof piece, "%lu adapters: ", static_cast<unsigned long>(count));
        append_piece(text, sizeof text, &used, piece);
        for (size_t i = 0; i < shown; ++i) {
            if (i > 0) append_piece(text, sizeof text, &used, i + 1 == count ? " and " : ", ");
            describe_match(listed[matches[i]], by_serial, piece, sizeof piece);
            append_piece(text, sizeof text, &used, piece);
        }
        if (shown < count) append_piece(text, sizeof text, &used, ", ...");
        append_piece(text, sizeof text, &used, advice(wanted, listed[matches[0]].usb, listed[matches[1]].usb));
        return serial_fail(SERIAL_FAULT_AMBIGUOUS, "resolve", 0, text);
    }
    const serial_port_info& match = listed[matches[0]];
    if (strlen(match.name) >= size) return serial_fail(SERIAL_FAULT_NAME, "resolve", 0, "");
    memcpy(port, match.name, strlen(match.name) + 1);
    if (found != nullptr) *found = match.usb;
    return SERIAL_OK;
}

bool serial_usb_identity_of(const char* name, const serial_port_info* listed, size_t n,
                            serial_usb_identity* identity)
{
    serial_port_identity id{};
    serial_identify_port(name, &id);
    for (size_t i = 0; i < n; ++i) {
        if (listed[i].usb.vid[0] == '\0') continue;
        serial_port_identity other{};
        if (strcmp(listed[i].name, name) != 0) serial_identify_port(listed[i].name, &other);
        if (strcmp(listed[i].name, name) == 0 || serial_same_port(id, other)) {
            *identity = listed[i].usb;
            return true;
        }
    }
    return false;
}
