// taglog: reads a Corvela tag's log over its serial port.
//   taglog -c <port number, device path, network port or USB adapter> [<first> <count>]
// prints the log size and, with a range, each record on its own line.
#include "app/command_line.h"
#include "serial/serial.h"
#include "tag/tag.h"

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
    print_port_failure("taglog", port, result);
    return 1;
}

}  // namespace

int main(int argc, char** argv)
{
    start_program("taglog");
    unsigned long port_num = 0, first = 0, count = 0;
    if ((argc != 3 && argc != 5) || strcmp(argv[1], "-c") != 0) {
        return fail("Usage is \"taglog -c <port number> [<first> <count>]\"");
    }
    char port[SERIAL_MAX_PATH + 1];
    int named = copy_named_port("taglog", port, sizeof port, argv[2]);
    if (named < 0) return 1;
    if (named == 0) {
        if (!parse_whole_number(argv[2], 1, SERIAL_LAST_COM_NUMBER, &port_num)) {
            return fail("Bad port number ", argv[2]);
        }
        snprintf(port, sizeof port, "COM%lu", port_num);
    }
    if (argc == 5 && (!parse_whole_number(argv[3], 0, 0xFFFFFFFFUL, &first) ||
                      !parse_whole_number(argv[4], 0, 0xFFFFFFFFUL, &count))) {
        return fail("Bad record range");
    }

    char shown[sizeof port * 2 + 4];
    if (!resolve_port_argument("taglog", port, sizeof port, shown, sizeof shown)) return 1;
    int32_t result = tag_connect(port, nullptr, nullptr, nullptr);
    if (result != 0) return fail_on_port(port, result, "Can't connect to tag on ", shown);
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
