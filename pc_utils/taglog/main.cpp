// taglog: reads a Corvela tag's log over its serial port.
//   taglog -c <port number or device path> [<first> <count>]
// prints the log size and, with a range, each record on its own line.
#include "platform/platform.h"
#include "serial/serial.h"
#include "tag/tag.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

int fail(const char* message, const char* detail = "")
{
    printf("taglog: Error: %s%s\n", message, detail);
    return 1;
}

// A failure on the line: the error line, then why ("taglog: COM4 did not
// answer "logsize" within 1 s").
int fail_on_port(const char* port, int32_t result, const char* message, const char* detail = "")
{
    fail(message, detail);
    char why[200];
    tag_describe_failure(port, result, why, sizeof why);
    printf("taglog: %s %s\n", port, why);
    return 1;
}

// A whole decimal number from `min` to `max`, nothing else around it.
bool parse_number(const char* text, unsigned long min, unsigned long max, unsigned long* value)
{
    if (text[0] < '0' || text[0] > '9') return false;
    char* end = nullptr;
    errno = 0;
    unsigned long n = strtoul(text, &end, 10);
    if (errno != 0 || *end != '\0' || n < min || n > max) return false;
    *value = n;
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    platform_console_init();
    platform_exit_guard(serial_release_all, "\ntaglog: Error: Interrupted; the port was released\n");
    unsigned long port_num = 0, first = 0, count = 0;
    if ((argc != 3 && argc != 5) || strcmp(argv[1], "-c") != 0) {
        return fail("Usage is \"taglog -c <port number> [<first> <count>]\"");
    }
    char port[SERIAL_MAX_PATH + 1];
    if (argv[2][0] == '/' && serial_takes_device_paths()) {
        // A device path is the port's name as it stands.
        if (strlen(argv[2]) >= sizeof port) {
            printf("taglog: Error: Device path too long (at most %d characters)\n",
                   static_cast<int>(SERIAL_MAX_PATH));
            return 1;
        }
        snprintf(port, sizeof port, "%s", argv[2]);
    } else if (parse_number(argv[2], 1, SERIAL_LAST_COM_NUMBER, &port_num)) {
        snprintf(port, sizeof port, "COM%lu", port_num);
    } else {
        return fail("Bad port number ", argv[2]);
    }
    if (argc == 5 && (!parse_number(argv[3], 0, 0xFFFFFFFFUL, &first) ||
                      !parse_number(argv[4], 0, 0xFFFFFFFFUL, &count))) {
        return fail("Bad record range");
    }

    uint32_t firmware_version = 0, version_third = 0;
    bool new_console = false;
    int32_t result = tag_connect(port, &firmware_version, &version_third, &new_console);
    if (result != 0) return fail_on_port(port, result, "Can't connect to tag on ", port);
    uint32_t used = 0, size = 0;
    result = tag_get_log_size(port, &used, &size);
    if (result != 0) return fail_on_port(port, result, "Failed to read the log size");
    printf("Log size: %lu of %lu\n", static_cast<unsigned long>(used),
           static_cast<unsigned long>(size));

    if (argc == 5) {
        std::vector<std::string> records;
        result = tag_read_log(port, static_cast<uint32_t>(first), static_cast<uint32_t>(count),
                              records);
        // One record a line, without the CR of the tag's line end.
        for (const std::string& record : records) {
            size_t length = record.size();
            if (length > 0 && record[length - 1] == '\r') --length;
            printf("%.*s\n", static_cast<int>(length), record.c_str());
        }
        if (result != 0) {
            char code[16];
            snprintf(code, sizeof code, "%d)", static_cast<int>(result));
            return fail_on_port(port, result, "Failed to read the log (error ", code);
        }
    }
    tag_disconnect(port);
    return 0;
}
