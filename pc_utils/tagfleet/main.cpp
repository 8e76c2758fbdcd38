// tagfleet: loads one BASIC script into many Corvela tags at once, each on
// its own port, with a line per port while it runs, a summary at the end
// and, with --report, a JSON record of each port; or, with --station, into
// each tag as it is plugged into a slot, until stopped.
#include "app/command_line.h"
#include "common/bytes.h"
#include "common/json.h"
#include "fleet.h"
#include "node_pool.h"
#include "platform/platform.h"
#include "record.h"
#include "recorder.h"
#include "run.h"
#include "serial/serial.h"
#include "slots.h"

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
           "      --station     a production station: load each tag as it is plugged in,\n"
           "                    once, until Ctrl-C\n"
           "      --count N     the station loads N tags, then ends\n"
           "      --on-result CMD  run CMD through the shell after each result, with\n"
           "                    TAGFLEET_SLOT, _PORT, _OUTCOME, _NODE_ID, _REASON, _SEQ\n"
           "      --station-id TEXT  the station in the records (default: the host name)\n"
           "      --operator TEXT  the operator in the records (default: the user)\n"
           "      --json        JSON Lines events on standard output instead of the lines\n"
           "      --node-ids POOL  give each tag loaded the next node ID of the file POOL\n"
           "                    (kept in POOL.given, never one twice)\n"
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
    stop_fleet();
}

// A slot whose open waits its turn at tagterm says so once, on standard
// error, naming its port.
void tell_turn_wait(const char* port, const char* text) { fprintf(stderr, "%s: %s\n", port, text); }

int parse(int argc, char** argv, fleet_options& o)
{
    enum { EXPECT = 256, RETRY, REPORT, FIXTURE, CHECK, STATION, COUNT, ON_RESULT, STATION_ID,
           OPERATOR, JSON, NODE_IDS };
    static const option longopts[] = {
        {"port", required_argument, nullptr, 'c'}, {"all", no_argument, nullptr, 'a'},
        {"run", no_argument, nullptr, 'r'},        {"jobs", required_argument, nullptr, 'j'},
        {"expect", required_argument, nullptr, EXPECT},
        {"retry", required_argument, nullptr, RETRY},
        {"report", required_argument, nullptr, REPORT},
        {"fixture", required_argument, nullptr, FIXTURE},
        {"check", no_argument, nullptr, CHECK},
        {"station", no_argument, nullptr, STATION},
        {"count", required_argument, nullptr, COUNT},
        {"on-result", required_argument, nullptr, ON_RESULT},
        {"station-id", required_argument, nullptr, STATION_ID},
        {"operator", required_argument, nullptr, OPERATOR},
        {"json", no_argument, nullptr, JSON},
        {"node-ids", required_argument, nullptr, NODE_IDS},
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
        case STATION: o.station = true; break;
        case COUNT: {
            unsigned count = 0;
            if (!parse_count(optarg, 1, 1000000000, &count)) {
                return usage_error("--count takes a number from 1, not \"%s\"", optarg);
            }
            o.count = count;
            break;
        }
        case ON_RESULT: o.on_result = optarg; break;
        case STATION_ID: o.station_id = optarg; break;
        case OPERATOR: o.operator_name = optarg; break;
        case JSON: o.json = true; break;
        case NODE_IDS: o.node_ids = optarg; break;
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
    // A station has no number of tags to expect: it loads what comes.
    if (o.station && o.expect > 0) return usage_error("--expect makes no sense with --station");
    if (o.station && o.check) return usage_error("--check and --station exclude each other");
    if (!o.station && o.count > 0) return usage_error("--count goes with --station");
    return 0;
}

// Who and what makes the records: a run ID no other run has, the host,
// the station and the operator.
void identify_run(fleet& f)
{
    uint8_t bits[16] = {};
    if (!platform_random_bytes(bits, sizeof bits)) {
        // No random source: the time and the process still tell runs apart.
        uint64_t now = static_cast<uint64_t>(utc_now_ms()) ^ platform_now_ms() << 20;
        for (size_t i = 0; i < sizeof bits; ++i) bits[i] = static_cast<uint8_t>(now >> (8 * (i % 8)));
    }
    for (size_t i = 0; i < sizeof bits; ++i) {
        snprintf(f.run.id + 2 * i, sizeof f.run.id - 2 * i, "%02x", bits[i]);
    }
    platform_host_name(f.run.host, sizeof f.run.host);
    snprintf(f.run.station, sizeof f.run.station, "%s",
             f.options.station_id != nullptr ? f.options.station_id : f.run.host);
    if (f.options.operator_name != nullptr) {
        snprintf(f.run.operator_name, sizeof f.run.operator_name, "%s", f.options.operator_name);
    } else {
        platform_user_name(f.run.operator_name, sizeof f.run.operator_name);
    }
    f.run.started_ms = utc_now_ms();
}

// --node-ids: the pool read and checked before any port is touched (a
// usage error names file and line), and what is left said.
int open_pool(const char* file, node_pool& pool, FILE* messages)
{
    char why[NODE_POOL_TEXT_SIZE];
    if (node_pool_open(pool, file, why, sizeof why) != NODE_POOL_OK) {
        node_pool_close(pool);
        return usage_error("%s", why);
    }
    if (node_pool_network_warning(pool, why, sizeof why)) fprintf(stderr, "tagfleet: %s\n", why);
    unsigned left = node_pool_left(pool);
    fprintf(messages, "%u node ID%s left in %s (%u given)\n", left, left == 1 ? "" : "s", file,
            node_pool_given(pool));
    return 0;
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
    // Under --json standard output carries JSON Lines only.
    FILE* messages = f.options.json ? stderr : stdout;
    static node_pool pool;
    if (f.options.node_ids != nullptr) {
        status = open_pool(f.options.node_ids, pool, messages);
        if (status != 0) return status;
        f.pool = &pool;
    }
    if (f.options.check) return check_slots(f);

    // The script, read and checked once; a report that cannot be written
    // is an error before any port is touched.
    if (strlen(f.options.script) >= APP_FILENAME_SIZE) {
        return usage_error("script name too long: \"%s\"", f.options.script);
    }
    long length = read_script_file("tagfleet", f.options.script, f.fullname, f.script, messages);
    if (length < 0) return 1;
    f.length = static_cast<uint32_t>(length);
    platform_text_to_utf8(f.fullname, f.fullname_utf8, sizeof f.fullname_utf8);
    sha256_hex(f.script, f.length, f.sha256);
    uint8_t checksum = 0;
    f.metadata_length = build_metadata(f.fullname, f.options.auto_run ? 1 : 0, f.metadata, &checksum);
    if (f.options.report != nullptr) {
        // Binary: a record's line ends in LF on every system (JSON Lines).
        f.report = platform_open_append(f.options.report, false);
        if (f.report == nullptr) {
            fprintf(messages, "tagfleet: Error: Can't write the report \"%s\" (%s)\n",
                    f.options.report, strerror(errno));
            return 1;
        }
    }
    platform_interrupt_notice(serial_release_all, note_interrupt);
    serial_relay_on_wait(tell_turn_wait);
    if (f.options.verbose) tag_trace_on();
    f.live = platform_output_is_terminal() && !f.options.quiet && !f.options.json;
    const char* no_color = getenv("NO_COLOR");
    f.colour = f.live && (no_color == nullptr || no_color[0] == '\0');
    identify_run(f);

    // A station is idle most of a shift: it asks for fine pauses only while
    // it uploads (on Windows the fine timer costs the whole system).
    if (f.options.station) {
        run_station(f);
    } else {
        platform_fine_timer(true);
        run_fleet(f);
        platform_fine_timer(false);
    }
    status = recorder_close(f);
    if (f.pool != nullptr) node_pool_close(pool);
    platform_run_ended();
    return status;
}
