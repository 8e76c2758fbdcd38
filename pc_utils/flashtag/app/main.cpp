// flashtag: loads a BASIC script from a PC file into a Corvela tag on a
// serial port. One run per upload; the exit status says whether it worked.
#include "app.h"
#include "command_line.h"
#include "common/bytes.h"
#include "serial/serial.h"
#include "tag/tag.h"
#include "version.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Options, port number and file name; "-v" comes on top, so that tracing a
// run never changes what its other arguments mean.
constexpr int MAX_ARGUMENTS = 4;

bool is_trace_option(const char* arg) { return arg[0] == '-' && ascii_lower(arg[1]) == 'v'; }

// The port number as scanf's "%d" reads it: white space and a sign allowed,
// text after the number ignored, 0 when there is no number. This is how
// flashtag has always read -c, and callers' scripts may rely on it; taglog,
// a later tool, takes only a whole number.
long port_number_argument(const char* text)
{
    char* end = nullptr;
    errno = 0;
    long n = strtol(text, &end, 10);
    if (end == text) return 0;
    if (errno == ERANGE) return LONG_MAX;
    return n;
}

}  // namespace

int main(int argc, char** argv)
{
    start_program("flashtag");
    printf("\nCorvela Script Loader V%d.%d\n", FLASHTAG_VERSION_MAJOR, FLASHTAG_VERSION_MINOR);
    printf("%s\n\n", FLASHTAG_COPYRIGHT);

    int arguments = 0;
    for (int i = 1; i < argc; ++i) arguments += is_trace_option(argv[i]) ? 0 : 1;
    if (arguments > MAX_ARGUMENTS) {
        print_usage();
        return 1;
    }

    // The walk only takes note of the arguments: their lengths are judged
    // once it is over, so that "-h" anywhere still shows the help and a
    // later file name still replaces an earlier one.
    const char* port_arg = "";
    const char* file_arg = "";
    bool port_pending = false;
    bool auto_run = false;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (arg[0] == '-') {
            switch (ascii_lower(arg[1])) {
            case 'c': port_pending = true; break;
            case 'h': print_usage(); return 0;
            case 'l': print_ports(); return 0;
            case 'r': auto_run = true; break;
            case 'v': tag_trace_on(); break;
            default:
                printf("flashtag: Error: Unknown option \"%s\", see help below...\n\n", arg);
                print_usage();
                return 1;
            }
        } else if (port_pending) {
            port_pending = false;
            port_arg = arg;
        } else {
            file_arg = arg;
        }
    }
    printf("Type \"flashtag -h\" for help using this program.\n\n");

    char port[APP_PORT_NAME_SIZE] = "";
    int named = copy_named_port("flashtag", port, sizeof port, port_arg);
    if (named < 0) return 1;
    if (named == 0 && port_arg[0] != '\0') {
        if (!copy_argument("flashtag", port, APP_PORT_NUMBER_SIZE, port_arg, "Port number")) {
            return 1;
        }
        long port_num = port_number_argument(port);
        if (port_num < 1 || port_num > SERIAL_LAST_COM_NUMBER) {
            printf("flashtag: Error: Specify a port number with -c option\n");
            return 1;
        }
        snprintf(port, sizeof port, "COM%ld", port_num);
    }
    char filename[APP_FILENAME_SIZE] = "";
    if (file_arg[0] == '\0') {
        printf("flashtag: Error: Specify a script file to load\n");
        return 1;
    }
    if (!copy_argument("flashtag", filename, sizeof filename, file_arg, "File name")) return 1;

    char shown[APP_PORT_NAME_SIZE * 2 + 4];
    if (!resolve_port_argument("flashtag", port, sizeof port, shown, sizeof shown)) return 1;
    uint8_t node_id = 0;
    if (find_tag("flashtag", port, shown, &node_id) != 0) return 1;
    printf("Node ID  : %u\n", static_cast<unsigned>(node_id));
    printf("File     : %s\n", filename);
    printf("Auto-run : %s\n\n", auto_run ? "ON" : "OFF");

    return upload_stage(port, filename, auto_run);
}
