// tagfleet: loads one BASIC script into many Corvela tags at once, each on
// its own port, with a line per port while it runs, a summary at the end
// and, with --report, a JSON record of each port.
#include "app/command_line.h"
#include "common/bytes.h"
#include "fleet.h"
#include "platform/platform.h"
#include "serial/serial.h"

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <getopt.h>

namespace {

void print_help()
{
    printf("Usage: tagfleet [options] SCRIPT\n"
           "Loads SCRIPT (.bas) into every tag named, all at once, as flashtag loads one.\n"
           "\n"
           "  -c, --port PORT   a port: a COM number (4), COMn, a device path (POSIX),\n"
           "                    socket://HOST:PORT or rfc2217://HOST:PORT; repeatable\n"
           "  -a, --all         every port that \"flashtag -l\" lists; ports without a tag\n"
           "                    are skipped\n"
           "  -r, --run         run the script on tag power-up\n"
           "  -j, --jobs N      at most N uploads at once (default: all)\n"
           "      --expect N    fewer than N tags loaded is a failure\n"
           "      --retry N     try a failed upload again up to N times (default 0)\n"
           "      --report FILE append a JSON line per port to FILE\n"
           "  -q, --quiet       no line per port, only the summary\n"
           "  -v, --verbose     trace each port's line on standard error\n"
           "  -h, --help        this text\n"
           "      --fixture FILE  the slots of a fixture: a line each, a name and a port\n"
           "                    (usb:VVVV:PPPP[:SERIAL] and usb@LOCATION name a USB adapter)\n"
           "      --check       resolve every slot and say what it is, opening nothing\n"
           "\n"
           "Exit status: 0 when every tag loaded, 1 when any failed, 2 for a usage error.\n");
}

bool parse_count(const char* text, unsigned long min, unsigned long max, unsigned* value)
{
    unsigned long n = 0;
    if (!parse_whole_number(text, min, max, &n)) return false;
    *value = static_cast<unsigned>(n);
    return true;
}

// Every upload ends at its next step, and no command goes out after this.
void note_interrupt()
{
    fleet_interrupted = true;
    serial_stop_all();
}

int parse(int argc, char** argv, fleet_options& o)
{
    enum { EXPECT = 256, RETRY, REPORT, FIXTURE, CHECK };
    static const option longopts[] = {
        {"port", required_argument, nullptr, 'c'}, {"all", no_argument, nullptr, 'a'},
        {"run", no_argument, nullptr, 'r'},        {"jobs", required_argument, nullptr, 'j'},
        {"expect", required_argument, nullptr, EXPECT},
        {"retry", required_argument, nullptr, RETRY},
        {"report", required_argument, nullptr, REPORT},
        {"fixture", required_argument, nullptr, FIXTURE},
        {"check", no_argument, nullptr, CHECK},
        {"quiet", no_argument, nullptr, 'q'},      {"verbose", no_argument, nullptr, 'v'},
        {"help", no_argument, nullptr, 'h'},       {nullptr, 0, nullptr, 0},
    };
    opterr = 0;
    int c = 0;
    while ((c = getopt_long(argc, argv, ":c:arj:qvh", longopts, nullptr)) != -1) {
        switch (c) {
        case 'c': o.ports.push_back(optarg); break;
        case 'a': o.all = true; break;
        case 'r': o.auto_run = true; break;
        case 'j':
            if (!parse_count(optarg, 1, 1000, &o.jobs)) {
                return usage_error("-j takes a number from 1 to 1000, not \"%s\"", optarg);
            }
            break;
        case EXPECT:
            if (!parse_count(optarg, 0, 100000, &o.expect)) {
                return usage_error("--expect takes a number, not \"%s\"", optarg);
            }
            break;
        case RETRY:
            if (!parse_count(optarg, 0, 100, &o.retry)) {
                return usage_error("--retry takes a number from 0 to 100, not \"%s\"", optarg);
            }
            break;
        case REPORT: o.report = optarg; break;
        case FIXTURE:
            if (o.fixture != nullptr) return usage_error("one --fixture only");
            o.fixture = optarg;
            break;
        case CHECK: o.check = true; break;
        case 'q': o.quiet = true; break;
        case 'v': o.verbose = true; break;
        case 'h': print_help(); return -1;
        case ':': return usage_error("%s needs a value", argv[optind - 1]);
        default: return usage_error("unknown option \"%s\"", argv[optind - 1]);
        }
    }
    // --check loads nothing: no script is needed.
    if (optind + 1 < argc || (optind == argc && !o.check)) {
        return usage_error("%s", optind == argc ? "name the script to load"
                                                : "name one script only");
    }
    o.script = optind < argc ? argv[optind] : nullptr;
    if (o.all && !o.ports.empty()) return usage_error("-a and -c exclude each other");
    if (o.all && o.fixture != nullptr) return usage_error("-a and --fixture exclude each other");
    if (!o.all && o.ports.empty() && o.fixture == nullptr) {
        return usage_error("name the ports with -c or --fixture, or use -a");
    }
    return 0;
}

// The summary, last: the counts, then each port that did not load. The
// exit status.
int summarise(const fleet& f)
{
    unsigned loaded = 0, failed = 0, skipped = 0, interrupted = 0;
    for (const fleet_port& p : f.ports) {
        loaded += p.outcome == port_outcome::loaded;
        failed += p.outcome == port_outcome::failed;
        skipped += p.outcome == port_outcome::skipped;
        interrupted += p.outcome == port_outcome::interrupted;
    }
    unsigned tags = loaded + failed + interrupted;
    printf("\n%u tag%s: %u loaded, %u failed", tags, tags == 1 ? "" : "s", loaded, failed);
    if (interrupted > 0) printf(", %u interrupted", interrupted);
    if (skipped > 0) printf(" (%u port%s without a tag skipped)", skipped, skipped == 1 ? "" : "s");
    printf("\n");
    for (const fleet_port& p : f.ports) {
        char label[SERIAL_MAX_PATH * 2 + 2];
        port_label(p, label, sizeof label);
        if (p.outcome == port_outcome::failed) printf("FAILED %s: %s\n", label, p.reason);
    }
    bool ok = failed == 0 && interrupted == 0;
    if (f.options.all && tags == 0) {
        printf("tagfleet: Error: No tag found\n");
        ok = false;
    }
    if (loaded < f.options.expect) {
        printf("tagfleet: Error: %u of the %u tags expected loaded\n", loaded, f.options.expect);
        ok = false;
    }
    if (f.report_error != 0) {
        printf("tagfleet: cannot write the report %s: %s\n", f.options.report,
               strerror(f.report_error));
        ok = false;
    }
    if (fleet_interrupted) printf("tagfleet: Error: Interrupted; every port was released\n");
    return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    platform_console_init();
    static fleet f;
    int status = parse(argc, argv, f.options);
    if (status != 0) return status < 0 ? 0 : status;
    status = collect_ports(f);
    if (status != 0) return status;
    if (f.options.check) return check_slots(f);

    // The script, read and checked once; a report that cannot be written
    // is an error before any port is touched.
    char filename[APP_FILENAME_SIZE];
    if (strlen(f.options.script) >= sizeof filename) {
        return usage_error("script name too long: \"%s\"", f.options.script);
    }
    snprintf(filename, sizeof filename, "%s", f.options.script);
    long length = read_script_file("tagfleet", filename, f.fullname, f.script);
    if (length < 0) return 1;
    f.length = static_cast<uint32_t>(length);
    platform_text_to_utf8(f.fullname, f.fullname_utf8, sizeof f.fullname_utf8);
    sha256_hex(f.script, f.length, f.sha256);
    uint8_t checksum = 0;
    f.metadata_length = build_metadata(f.fullname, f.options.auto_run ? 1 : 0, f.metadata, &checksum);
    if (f.options.report != nullptr) {
        f.report = fopen(f.options.report, "a");
        if (f.report == nullptr) {
            printf("tagfleet: Error: Can't write the report \"%s\" (%s)\n", f.options.report,
                   strerror(errno));
            return 1;
        }
    }
    platform_interrupt_notice(serial_release_all, note_interrupt);
    if (f.options.verbose) tag_trace_on();
    f.live = platform_output_is_terminal() && !f.options.quiet;

    platform_fine_timer(true);
    run_fleet(f);
    platform_fine_timer(false);
    close_report(f);
    status = summarise(f);
    platform_run_ended();
    return status;
}
