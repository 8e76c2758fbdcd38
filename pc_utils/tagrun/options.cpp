// tagrun's command line. A step file and -e steps are one or the other;
// the steps are parsed whole before any port is opened, so that a typing
// error in the file costs no re-boot of a tag.
#include "app/command_line.h"
#include "tagrun.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <getopt.h>

namespace {

void print_help()
{
    printf("Usage: tagrun [options] STEPS\n"
           "       tagrun [options] -e STEP [-e STEP ...]\n"
           "Runs steps against a tag and ends with a verdict: loads, re-boots, lines\n"
           "sent, and the tag's output expected (or forbidden). One step a line in\n"
           "STEPS (# comments, blank lines ignored):\n"
           "  load SCRIPT [run]      load as flashtag does (run: auto-run at power-up)\n"
           "  reset                  re-boot the tag (needs --reset)\n"
           "  send TEXT              send the line TEXT and one CR\n"
           "  expect TEXT|/REGEX/ [within S]  wait until the tag's output holds it\n"
           "  fail TEXT|/REGEX/      from here on, output that holds it fails the run\n"
           "  wait S                 a pause of S seconds\n"
           "\n"
           "  -c, --port PORT     a COM number (4), COMn, a device path (POSIX),\n"
           "                      socket://HOST:PORT, rfc2217://HOST:PORT,\n"
           "                      usb:VID:PID[:SERIAL] or usb@JACK (default: find the tag)\n"
           "  -e, --step STEP     a step; several run in order (instead of STEPS)\n"
           "  -r, --run           every load sets the script to run on tag power-up\n"
           "      --timeout S     an expect's time-out without \"within\" (default 10)\n"
           "      --reset dtr     reset re-boots by DTR: off for 100 ms, then on\n"
           "      --reset CMD     reset runs CMD and waits for it (a hub's power switch)\n"
           "      --log FILE      append the tag's output, as tagterm shows it, to FILE\n"
           "      --junit FILE    write a JUnit XML report to FILE\n"
           "      --json          a JSON event a line on standard output instead of lines\n"
           "  -v, --verbose       the tag's output on standard error as it comes\n"
           "  -h, --help          this text\n"
           "\n"
           "Exit status: 0 when every step passed, 1 when one failed or the tag could\n"
           "not be reached, 2 for a usage error or a step file that does not parse.\n");
}

int usage_error(const char* format, ...) __attribute__((format(printf, 1, 2)));
int usage_error(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    print_usage_error("tagrun", format, args);
    va_end(args);
    return RUN_USAGE_ERROR;
}

int step_error(const std::string& why)
{
    fprintf(stderr, "tagrun: %s\n", why.c_str());
    return RUN_USAGE_ERROR;
}

}  // namespace

int parse_options(int argc, char** argv, run_options& o)
{
    enum { TIMEOUT = 256, RESET, LOG, JUNIT, JSON };
    static const option longopts[] = {
        {"port", required_argument, nullptr, 'c'},     {"step", required_argument, nullptr, 'e'},
        {"run", no_argument, nullptr, 'r'},            {"timeout", required_argument, nullptr, TIMEOUT},
        {"reset", required_argument, nullptr, RESET},  {"log", required_argument, nullptr, LOG},
        {"junit", required_argument, nullptr, JUNIT},  {"json", no_argument, nullptr, JSON},
        {"verbose", no_argument, nullptr, 'v'},        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    opterr = 0;
    int c = 0;
    std::vector<const char*> inline_steps;
    while ((c = getopt_long(argc, argv, ":c:e:rvh", longopts, nullptr)) != -1) {
        switch (c) {
        case 'c':
            if (!port_argument(optarg, o.port, sizeof o.port)) return usage_error("not a port: \"%s\"", optarg);
            break;
        case 'e': inline_steps.push_back(optarg); break;
        case 'r': o.auto_run = true; break;
        case 'v': o.verbose = true; break;
        case TIMEOUT:
            if (!parse_seconds(optarg, STEP_LONGEST_S, &o.timeout_ms) || o.timeout_ms == 0) {
                return usage_error("--timeout takes seconds, not \"%s\"", optarg);
            }
            break;
        case RESET:
            if (optarg[0] == '\0') return usage_error("--reset takes dtr or a command");
            o.reset = optarg;
            break;
        case LOG: o.log_path = optarg; break;
        case JUNIT: o.junit_path = optarg; break;
        case JSON: o.json = true; break;
        case 'h': print_help(); return -1;
        case ':': return usage_error("%s needs a value", argv[optind - 1]);
        default: return usage_error("unknown option \"%s\"", argv[optind - 1]);
        }
    }
    if (argc - optind > 1) return usage_error("one STEPS file only");
    bool from_file = optind < argc;
    if (from_file && !inline_steps.empty()) return usage_error("a STEPS file or -e steps, not both");
    if (!from_file && inline_steps.empty()) return usage_error("no steps: give a STEPS file or -e STEP");
    std::string why;
    if (from_file) {
        o.steps_name = argv[optind];
        if (!parse_step_file(argv[optind], o.steps, why)) return step_error(why);
    } else {
        o.steps_name = "-e";
        for (size_t i = 0; i < inline_steps.size(); ++i) {
            step s;
            if (!parse_step(inline_steps[i], static_cast<unsigned>(i + 1), s, why)) {
                return step_error("-e " + std::to_string(i + 1) + ": " + why);
            }
            o.steps.push_back(s);
        }
    }
    for (const step& s : o.steps) {
        if (s.kind == STEP_RESET && o.reset == nullptr) {
            return usage_error("step %u is a reset, which needs --reset dtr or --reset CMD", s.number);
        }
    }
    return 0;
}
