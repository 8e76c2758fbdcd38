// The port list (-l): what a user passes to -c, and what the system says of
// each port. Nothing is opened or sent.
#include "app.h"

#include <cstdio>

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
        if (ports[i].detail[0] == '\0') {
            printf("  %s\n", ports[i].name);
        } else {
            printf("  %-14s %s\n", ports[i].name, ports[i].detail);
        }
    }
}
