// Finding the tag: on the port the user named, or by trying COM1..COM255
// and then the USB serial devices. A failure says why, port by port, after
// the error line.
#include "app.h"
#include "command_line.h"
#include "serial/serial.h"
#include "tag/tag.h"

#include <cstdio>

namespace {

// Ports that exist but gave no tag, kept for the end of a failed scan (more
// would not be read).
constexpr size_t MAX_FAILED_PORTS = 64;
// USB serial devices tried after the COM ports.
constexpr size_t MAX_USB_PORTS = 32;

struct failed_port {
    char port[APP_PORT_NAME_SIZE];
    char why[TAG_REASON_SIZE];
};

// Whether the last failure was a port name that the system does not have:
// not worth a line after a scan.
bool last_failure_was_missing_port()
{
    serial_fault fault = serial_last_error().fault;
    return fault == SERIAL_FAULT_MISSING || fault == SERIAL_FAULT_NAME;
}

// Tries one port of a scan; a port that is there but gave no tag is noted.
int32_t try_port(const char* port, failed_port* failed, size_t* failed_count)
{
    int32_t result = tag_connect(port, nullptr, nullptr, nullptr);
    if (result != 0 && !last_failure_was_missing_port() && *failed_count < MAX_FAILED_PORTS) {
        failed_port& f = failed[(*failed_count)++];
        snprintf(f.port, sizeof f.port, "%s", port);
        tag_describe_failure(port, result, f.why, sizeof f.why);
    }
    return result;
}

// COM1..COM255, then the USB serial devices; the port found is left in
// `port`. Nothing is printed per port.
int32_t scan_ports(const char* program, char* port, FILE* out)
{
    static failed_port failed[MAX_FAILED_PORTS];
    size_t failed_count = 0;
    int32_t result = 1;
    for (int n = 1; n <= SERIAL_LAST_COM_NUMBER && result != 0; ++n) {
        snprintf(port, APP_PORT_NAME_SIZE, "COM%d", n);
        result = try_port(port, failed, &failed_count);
    }
    static serial_port_info usb[MAX_USB_PORTS];
    size_t usb_count = result == 0 ? 0 : serial_list_ports(usb, MAX_USB_PORTS, true);
    for (size_t i = 0; i < usb_count && result != 0; ++i) {
        snprintf(port, APP_PORT_NAME_SIZE, "%.*s", static_cast<int>(SERIAL_MAX_PATH), usb[i].name);
        result = try_port(port, failed, &failed_count);
    }
    if (result != 0) {
        fprintf(out, "\n%s: Error: Can't find a tag (close any PuTTY connections)\n", program);
        for (size_t i = 0; i < failed_count; ++i) {
            fprintf(out, "%s: %s %s\n", program, failed[i].port, failed[i].why);
        }
        return APP_ENOTAG;
    }
    return 0;
}

}  // namespace

int32_t find_tag(const char* program, char* port, const char* shown, uint8_t* node_id, FILE* out)
{
    int32_t result = 0;
    if (port[0] != '\0') {
        result = tag_connect(port, nullptr, nullptr, nullptr);
        if (result != 0) {
            fprintf(out, "%s: Error: Can't connect to tag on %s\n", program, shown);
            print_port_failure(program, port, result, out);
            return result;
        }
    } else {
        fprintf(out, "Scanning ports...\n");
        // Each present port without a tag costs one version-reply time-out
        // (TAG_REPLY_TIMEOUT_MS); one that tagterm lends to another program
        // is passed by as in use, not waited for.
        serial_relay_wait_for_turn(false);
        result = scan_ports(program, port, out);
        serial_relay_wait_for_turn(true);
        if (result != 0) return result;
        shown = port;
    }
    fprintf(out, "Port     : %s\n", shown);
    result = tag_get_node_id(port, node_id);
    if (result != 0) {
        fprintf(out, "%s: Error: Failed to read node ID\n", program);
        print_port_failure(program, port, result, out);
        return result;
    }
    return 0;
}
