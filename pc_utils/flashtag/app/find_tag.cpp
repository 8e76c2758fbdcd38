// Finding the tag: on the port the user named, or by trying COM1..COM255.
// A failure says why, port by port, after the error line.
#include "app.h"
#include "serial/serial.h"
#include "tag/tag.h"

#include <cstdio>

namespace {

constexpr size_t REASON_SIZE = 200;

// A port name that the system does not have: not worth a line after a scan.
bool port_is_missing()
{
    serial_fault fault = serial_last_error().fault;
    return fault == SERIAL_FAULT_MISSING || fault == SERIAL_FAULT_NAME;
}

}  // namespace

void print_port_failure(const char* port, int32_t result)
{
    char why[REASON_SIZE];
    tag_describe_failure(port, result, why, sizeof why);
    printf("flashtag: %s %s\n", port, why);
}

int32_t find_tag(char* port, uint8_t* node_id)
{
    // What the connected tag reported; nothing in this program needs it.
    uint32_t firmware_version = 0;
    uint32_t version_third = 0;
    bool new_console = false;
    int32_t result = 0;
    if (port[0] != '\0') {
        result = tag_connect(port, &firmware_version, &version_third, &new_console);
        if (result != 0) {
            printf("flashtag: Error: Can't connect to tag on %s\n", port);
            print_port_failure(port, result);
            return result;
        }
    } else {
        printf("Scanning ports...\n");
        // Each present port without a tag costs one version-reply time-out
        // (TAG_REPLY_TIMEOUT_MS).
        // Why each one failed is kept for the end, so that the scan itself
        // prints nothing per port.
        char reasons[APP_LAST_PORT + 1][REASON_SIZE];
        result = 1;
        for (int n = 1; n <= APP_LAST_PORT && result != 0; ++n) {
            snprintf(port, 10, "COM%d", n);
            result = tag_connect(port, &firmware_version, &version_third, &new_console);
            reasons[n][0] = '\0';
            if (result != 0 && !port_is_missing()) {
                tag_describe_failure(port, result, reasons[n], sizeof reasons[n]);
            }
        }
        if (result != 0) {
            printf("\nflashtag: Error: Can't find a tag (close any PuTTY connections)\n");
            for (int n = 1; n <= APP_LAST_PORT; ++n) {
                if (reasons[n][0] != '\0') printf("flashtag: COM%d %s\n", n, reasons[n]);
            }
            return APP_ENOTAG;
        }
    }
    printf("Port     : %s\n", port);
    result = tag_get_node_id(port, node_id);
    if (result != 0) {
        printf("flashtag: Error: Failed to read node ID\n");
        print_port_failure(port, result);
        return result;
    }
    return 0;
}
