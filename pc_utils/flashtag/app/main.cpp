// flashtag: loads a BASIC script from a PC file into a Corvela tag on a
// serial port. One run per upload; the exit status says whether it worked.
#include "app.h"
#include "platform/platform.h"
#include "tag/tag.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int MAX_ARGUMENTS = 4;  // options, port number and file name
constexpr long LAST_PORT_NUMBER = 255;

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Copies an argument into one of the run's fixed buffers; false when it does
// not fit, so that a long argument is refused rather than cut.
bool copy_argument(char* dest, size_t size, const char* arg)
{
    size_t length = strlen(arg);
    if (length >= size) return false;
    memcpy(dest, arg, length + 1);
    return true;
}

// The port number as scanf's "%d" reads it: white space and a sign allowed,
// text after the number ignored, 0 when there is no number.
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
    platform_console_init();
    printf("\nCorvela Script Loader V1.2\n");
    printf("Copyright (C) Corvela. All rights reserved.\n\n");

    if (argc > MAX_ARGUMENTS + 1) {
        print_usage();
        return 1;
    }

    char port[APP_PORT_SIZE] = "";
    char filename[APP_FILENAME_SIZE] = "";
    bool port_pending = false;
    bool auto_run = false;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (arg[0] == '-') {
            switch (lower(arg[1])) {
            case 'c': port_pending = true; break;
            case 'h': print_usage(); return 0;
            case 'r': auto_run = true; break;
            default:
                printf("flashtag: Error: Unknown option \"%s\", see help below...\n\n", arg);
                print_usage();
                return 1;
            }
        } else if (port_pending) {
            port_pending = false;
            if (!copy_argument(port, sizeof port, arg)) {
                printf("flashtag: Error: Port number too long (at most %d characters)\n",
                       static_cast<int>(sizeof port - 1));
                return 1;
            }
        } else if (!copy_argument(filename, sizeof filename, arg)) {
            printf("flashtag: Error: File name too long (at most %d characters)\n",
                   static_cast<int>(sizeof filename - 1));
            return 1;
        }
    }
    printf("Type \"flashtag -h\" for help using this program.\n\n");

    if (port[0] != '\0') {
        long port_num = port_number_argument(port);
        if (port_num < 1 || port_num > LAST_PORT_NUMBER) {
            printf("flashtag: Error: Specify a port number with -c option\n");
            return 1;
        }
        snprintf(port, sizeof port, "COM%ld", port_num);
    }
    if (filename[0] == '\0') {
        printf("flashtag: Error: Specify a script file to load\n");
        return 1;
    }

    uint8_t node_id = 0;
    if (find_tag(port, &node_id) != 0) return 1;
    printf("Node ID  : %u\n", static_cast<unsigned>(node_id));
    printf("File     : %s\n", filename);
    printf("Auto-run : %s\n\n", auto_run ? "ON" : "OFF");

    return upload_stage(port, filename, auto_run);
}
