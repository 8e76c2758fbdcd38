// A port kept open for a while (tagterm's console, tagrun's steps): the
// tag found and connected as flashtag finds it, and scripts loaded on the
// open port exactly as flashtag uploads them (upload_exchange.cpp).
#include "app.h"
#include "command_line.h"
#include "platform/platform.h"
#include "tag/tag.h"

#include <cstdio>

bool connect_tag(const char* program, const char* asked, char* port, char* shown, size_t shown_size,
                 uint32_t* firmware, uint32_t* third, uint8_t* node, FILE* out)
{
    int32_t result = SERIAL_OK;
    if (asked[0] != '\0') {
        snprintf(port, APP_PORT_NAME_SIZE, "%s", asked);
        if (!resolve_port_argument(program, port, APP_PORT_NAME_SIZE, shown, shown_size, out)) return false;
        result = tag_connect(port, firmware, third, nullptr);
        if (result != SERIAL_OK) {
            fprintf(out, "%s: Error: Can't connect to tag on %s\n", program, shown);
            print_port_failure(program, port, result, out);
            return false;
        }
        result = tag_get_node_id(port, node);
    } else {
        port[0] = '\0';
        result = find_tag(program, port, "", node, out);
        if (result != SERIAL_OK) return false;
        snprintf(shown, shown_size, "%s", port);
        uint32_t packed = 0;
        result = tag_get_version(port, &packed);
        tag_unpack_version(packed, firmware, third);
    }
    if (result != SERIAL_OK) {
        fprintf(out, "%s: Error: Failed to read node ID\n", program);
        print_port_failure(program, port, result, out);
        return false;
    }
    return true;
}

int32_t load_on_open_port(const char* port, const uint8_t* script, long length, const char* fullname,
                          bool auto_run, const upload_observer& observer, uint8_t* node)
{
    static uint8_t metadata[APP_METADATA_SIZE];
    serial_set_timeout(port, TAG_REPLY_TIMEOUT_MS);
    int32_t result = tag_identify(port, nullptr, nullptr, nullptr);
    if (result == SERIAL_OK) result = tag_get_node_id(port, node);
    if (result != SERIAL_OK) return result;
    uint8_t checksum = 0;
    size_t metadata_length = build_metadata(fullname, auto_run ? 1 : 0, metadata, &checksum);
    uint32_t sent = 0;
    platform_fine_timer(true);
    result = send_upload(port, script, static_cast<uint32_t>(length), metadata, metadata_length,
                         observer, &sent);
    platform_fine_timer(false);
    return result;
}

void describe_load(const char* port, const char* shown, int32_t result, const char* fullname,
                   long length, uint8_t node, uint64_t ms, char* text, size_t size)
{
    if (result == SERIAL_OK) {
        snprintf(text, size, "loaded %s: %ld bytes, node %u, %.1f s", fullname, length, node,
                 static_cast<double>(ms) / 1000.0);
        return;
    }
    char why[TAG_REASON_SIZE];
    tag_describe_failure(port, result, why, sizeof why);
    snprintf(text, size, "load FAILED: %s %s (error %d)", shown, why, static_cast<int>(result));
}
