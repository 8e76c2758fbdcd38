// Connecting to a tag: version check, echo switch-off, node ID.
#include "serial/serial.h"
#include "tag.h"
#include "tag_internal.h"

#include <cstdio>

thread_local tag_connection tag_state{};

namespace {

// Firmware 5.x has the old console: plain "id" commands and no echo switch.
constexpr unsigned long OLD_CONSOLE_MAJOR = 5;

// How a network port's connection went, or that the port is reached
// through the program that holds it; nothing for a local port.
void trace_connection(const char* port)
{
    if (!tracing()) return;
    char text[512];
    serial_describe_connection(port, text, sizeof text);
    if (text[0] == '\0') return;
    if (serial_is_network_port(port)) {
        tag_trace("network %s: %s", port, text);
    } else {
        tag_trace("%s %s", port, text);
    }
}

// A new connection: nothing of an earlier tag or port carries over except
// the version numbers, which the version query sets anew.
void start_afresh()
{
    tag_state.echo_seen = false;
    tag_state.new_console = false;
    tag_state.awaiting[0] = '\0';
    tag_state.last_line[0] = '\0';
    tag_state.fault = TAG_FAULT_NONE;
}

}  // namespace

int32_t tag_get_version(const char* port, uint32_t* packed)
{
    char ver_str[TAG_SHORT_REPLY];
    int32_t result = tag_command(port, "ver", ver_str, sizeof ver_str);
    if (result != SERIAL_OK) return result;
    if (ver_str[0] != 'V') return TAG_EVERSION;

    // "V<major>.<minor>.<third>"; numbers the reply lacks count as 0.
    unsigned long major = 0, minor = 0, third = 0;
    const char* p = ver_str + 1;
    if (scan_number(&p, &major) && scan_literal(&p, ".") && scan_number(&p, &minor) &&
        scan_literal(&p, ".")) {
        scan_number(&p, &third);
    }
    *packed = static_cast<uint32_t>((major << 16) | (minor << 8) | third);
    if (major != OLD_CONSOLE_MAJOR) tag_state.new_console = true;
    return SERIAL_OK;
}

void tag_version_text(uint32_t firmware_version, uint32_t version_third, char* text, size_t size)
{
    snprintf(text, size, "%u.%u.%u", firmware_version >> 8, firmware_version & 0xFF, version_third);
}

void tag_unpack_version(uint32_t packed, uint32_t* firmware_version, uint32_t* version_third)
{
    *firmware_version = ((packed >> 16) & 0xFF) * 256 + ((packed >> 8) & 0xFF);
    *version_third = packed & 0xFF;
}

int32_t tag_open_line(const char* port, uint32_t timeout_ms)
{
    return serial_open(port, 115200, 8, 0, 1, timeout_ms);
}

int32_t tag_connect(const char* port, uint32_t* firmware_version, uint32_t* version_third,
                    bool* new_console)
{
    start_afresh();
    int32_t result = tag_open_line(port, TAG_REPLY_TIMEOUT_MS);
    if (result != SERIAL_OK) {
        if (tracing()) {
            char why[TAG_REASON_SIZE];
            tag_describe_failure(port, result, why, sizeof why);
            tag_trace("open %s: %s", port, why);
        }
        return result;
    }
    tag_trace("open %s: ok, 115200 baud 8N1", port);
    trace_connection(port);
    result = tag_identify(port, firmware_version, version_third, new_console);
    if (result != SERIAL_OK) serial_close(port);
    return result;
}

int32_t tag_identify(const char* port, uint32_t* firmware_version, uint32_t* version_third,
                     bool* new_console)
{
    start_afresh();
    uint32_t packed = 0;
    int32_t result = tag_get_version(port, &packed);
    if (result != SERIAL_OK) return result;
    trace_connection(port);  // the round trip, now that a reply has come
    uint32_t firmware = 0;
    tag_unpack_version(packed, &firmware, &tag_state.version_third);
    if (firmware_version != nullptr) *firmware_version = firmware;
    if (version_third != nullptr) *version_third = tag_state.version_third;
    if (new_console != nullptr) *new_console = tag_state.new_console;

    // A new console can be told to stop echoing; its answer does not matter.
    if (tag_state.new_console && tag_state.echo_seen) {
        char response[TAG_LONG_REPLY];
        (void)tag_command(port, "_echo = 0", response, sizeof response);
    }
    return SERIAL_OK;
}

int32_t tag_get_node_id(const char* port, uint8_t* node_id)
{
    char id_str[TAG_SHORT_REPLY];
    int32_t result =
        tag_command(port, tag_state.new_console ? "?_id" : "id", id_str, sizeof id_str);
    if (result != SERIAL_OK) return result;
    unsigned long id = 0;  // a reply without a number counts as node 0
    const char* p = id_str;
    scan_number(&p, &id);
    *node_id = static_cast<uint8_t>(id & 0xFF);
    return SERIAL_OK;
}

int32_t tag_set_node_id_answered(const char* port, uint8_t node_id, char* answer, size_t size)
{
    char id_str[TAG_SHORT_REPLY];
    snprintf(id_str, sizeof id_str, tag_state.new_console ? "_id=%u" : "id %u",
             static_cast<unsigned>(node_id));
    return tag_command(port, id_str, answer, size);
}

int32_t tag_set_node_id(const char* port, uint8_t node_id)
{
    char answer[TAG_MEDIUM_REPLY];
    return tag_set_node_id_answered(port, node_id, answer, sizeof answer);
}

int32_t tag_disconnect(const char* port)
{
    tag_trace("close %s", port);
    return serial_close(port);
}
