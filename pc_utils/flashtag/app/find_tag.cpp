// Finding the tag: on the port the user named, or by trying COM1..COM255.
#include "app.h"
#include "tag/tag.h"

#include <cstdio>

namespace {

// What the connected tag reported; kept for the run, not used further.
uint32_t firmware_version;
uint32_t version_third;
bool new_console;

constexpr int SCAN_LAST_PORT = 255;

}  // namespace

int32_t find_tag(char* port, uint8_t* node_id)
{
    int32_t result = 0;
    if (port[0] != '\0') {
        result = tag_connect(port, &firmware_version, &version_third, &new_console);
        if (result != 0) {
            printf("flashtag: Error: Can't connect to tag on %s\n", port);
            return result;
        }
    } else {
        printf("Scanning ports...\n");
        // Names above COM99 are refused by the driver at once; a present port
        // without a tag costs one version-reply time-out.
        result = 1;
        for (int n = 1; n <= SCAN_LAST_PORT && result != 0; ++n) {
            snprintf(port, 10, "COM%d", n);
            result = tag_connect(port, &firmware_version, &version_third, &new_console);
        }
        if (result != 0) {
            printf("\nflashtag: Error: Can't find a tag (close any PuTTY connections)\n");
            return APP_ENOTAG;
        }
    }
    printf("Port     : %s\n", port);
    result = tag_get_node_id(port, node_id);
    if (result != 0) {
        printf("flashtag: Error: Failed to read node ID\n");
        return result;
    }
    return 0;
}
