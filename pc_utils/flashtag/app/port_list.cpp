// The port list (-l): what a user passes to -c, and what the system says of
// each port. Nothing is opened or sent.
#include "app.h"

#include <cstdio>
#include <cstring>

namespace {

// "; -c usb:0403:6001:A10K1234 or usb@1-3.2": the forms that name adapter i
// of the list alone, as -c takes them. The serial number names it where no
// other adapter has the same and -c takes it (a serial number with a space,
// or a byte that is not ASCII, cannot be given on a command line or in a
// fixture file as it is); the jack does always, with the interface where
// the adapter has other ports in the list.
void usb_forms(const serial_port_info* ports, size_t count, size_t i, char* text, size_t size)
{
    text[0] = '\0';
    const serial_usb_identity& usb = ports[i].usb;
    if (usb.vid[0] == '\0') return;
    bool serial_alone = usb.serial[0] != '\0', device_alone = true;
    size_t device = strcspn(usb.location, ":");
    for (size_t j = 0; j < count; ++j) {
        const serial_usb_identity& other = ports[j].usb;
        if (j == i || other.vid[0] == '\0') continue;
        if (strcmp(other.vid, usb.vid) == 0 && strcmp(other.pid, usb.pid) == 0 &&
            strcmp(other.serial, usb.serial) == 0) {
            serial_alone = false;
        }
        if (strncmp(other.location, usb.location, device) == 0 && other.location[device] == ':') {
            device_alone = false;
        }
    }
    char by_serial[SERIAL_USB_TEXT + 24] = "", by_jack[SERIAL_USB_TEXT + 8] = "";
    if (serial_alone) snprintf(by_serial, sizeof by_serial, "usb:%s:%s:%s", usb.vid, usb.pid, usb.serial);
    if (!serial_is_usb_form(by_serial)) by_serial[0] = '\0';
    if (usb.location[0] != '\0') {
        snprintf(by_jack, sizeof by_jack, "usb@%.*s", static_cast<int>(device_alone ? device : strlen(usb.location)),
                 usb.location);
    }
    if (by_serial[0] == '\0' && by_jack[0] == '\0') return;
    snprintf(text, size, "%s-c %s%s%s", ports[i].detail[0] != '\0' ? "; " : "", by_serial,
             by_serial[0] != '\0' && by_jack[0] != '\0' ? " or " : "", by_jack);
}

}  // namespace

void print_ports()
{
    // More than any bench has; the rest would not be read anyway.
    static serial_port_info ports[128];
    size_t count = serial_list_ports(ports, sizeof ports / sizeof ports[0], false);
    if (count == 0) {
        printf("No serial ports found.\n");
        return;
    }
    printf("Serial ports:\n");
    for (size_t i = 0; i < count; ++i) {
        char forms[160];
        usb_forms(ports, count, i, forms, sizeof forms);
        if (ports[i].detail[0] == '\0' && forms[0] == '\0') {
            printf("  %s\n", ports[i].name);
        } else {
            printf("  %-14s %s%s\n", ports[i].name, ports[i].detail, forms);
        }
    }
}
