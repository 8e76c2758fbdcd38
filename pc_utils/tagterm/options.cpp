// tagterm's command line.
#include "app/command_line.h"
#include "tagterm.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <getopt.h>

namespace {

void print_help()
{
    printf("Usage: tagterm [options] [SCRIPT]\n"
           "The tag's console: what the tag sends is shown, the lines typed are sent,\n"
           "and SCRIPT (.bas) is loaded on Ctrl-T u as flashtag loads it. flashtag,\n"
           "taglog and tagfleet use the port through tagterm while it holds it.\n"
           "\n"
           "  -c, --port PORT     a COM number (4), COMn, a device path (POSIX),\n"
           "                      socket://HOST:PORT, rfc2217://HOST:PORT,\n"
           "                      usb:VID:PID[:SERIAL] or usb@JACK (default: find the tag)\n"
           "  -r, --run           loads set the script to run on tag power-up\n"
           "  -t, --timestamps    each line starts with the time of day\n"
           "      --log FILE      append what is shown to FILE\n"
           "      --watch         load SCRIPT whenever its content changes\n"
           "      --raw           pass the tag's control characters to the terminal\n"
           "      --exit-after MS with standard input not a terminal: end when it has\n"
           "                      ended and the tag has been quiet MS ms (default 1000)\n"
           "  -v, --verbose       trace the serial line on standard error\n"
           "  -h, --help          this text\n"
           "\n"
           "Keys: Ctrl-] ends. Ctrl-T then: u load SCRIPT, i timestamps, l log,\n"
           "h help, q end, Ctrl-T send a Ctrl-T. Ctrl-C is sent to the tag.\n"
           "Exit status: 0 when ended by a key or the input's end, 1 when the port\n"
           "failed, 2 for a usage error.\n");
}

int usage_error(const char* format, ...) __attribute__((format(printf, 1, 2)));
int usage_error(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    print_usage_error("tagterm", format, args);
    va_end(args);
    return TERM_USAGE_ERROR;
}

}  // namespace

int parse_options(int argc, char** argv, term_options& o)
{
    o = term_options{};
    o.exit_after_ms = 1000;
    enum { LOG = 256, WATCH, RAW, EXIT_AFTER };
    static const option longopts[] = {
        {"port", required_argument, nullptr, 'c'},  {"run", no_argument, nullptr, 'r'},
        {"timestamps", no_argument, nullptr, 't'},  {"log", required_argument, nullptr, LOG},
        {"watch", no_argument, nullptr, WATCH},     {"raw", no_argument, nullptr, RAW},
        {"exit-after", required_argument, nullptr, EXIT_AFTER},
        {"verbose", no_argument, nullptr, 'v'},     {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    opterr = 0;
    int c = 0;
    unsigned long ms = 0;
    while ((c = getopt_long(argc, argv, ":c:rtvh", longopts, nullptr)) != -1) {
        switch (c) {
        case 'c':
            if (!port_argument(optarg, o.port, sizeof o.port)) {
                return usage_error("not a port: \"%s\"", optarg);
            }
            break;
        case 'r': o.auto_run = true; break;
        case 't': o.timestamps = true; break;
        case 'v': o.verbose = true; break;
        case LOG: o.log_path = optarg; break;
        case WATCH: o.watch = true; break;
        case RAW: o.raw = true; break;
        case EXIT_AFTER:
            if (!parse_whole_number(optarg, 0, 3600000, &ms)) {
                return usage_error("--exit-after takes milliseconds, not \"%s\"", optarg);
            }
            o.exit_after_ms = static_cast<uint32_t>(ms);
            break;
        case 'h': print_help(); return -1;
        case ':': return usage_error("%s needs a value", argv[optind - 1]);
        default: return usage_error("unknown option \"%s\"", argv[optind - 1]);
        }
    }
    if (argc - optind > 1) return usage_error("one SCRIPT only");
    if (optind < argc) {
        if (strlen(argv[optind]) >= sizeof o.script) {
            return usage_error("script name too long: \"%s\"", argv[optind]);
        }
        snprintf(o.script, sizeof o.script, "%s", argv[optind]);
    }
    if (o.watch && o.script[0] == '\0') return usage_error("--watch needs a SCRIPT");
    return 0;
}
