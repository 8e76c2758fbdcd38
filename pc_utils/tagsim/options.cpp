// tagsim's switches and its --help.
#include "tagsim.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <getopt.h>

namespace {

// Reply texts may hold bytes a shell argument cannot: \0, \r, \n, \\, \xHH.
std::string unescape(const char* text)
{
    std::string out;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p != '\\' || p[1] == '\0') {
            out += *p;
            continue;
        }
        char c = *++p;
        if (c == '0') {
            out += '\0';
        } else if (c == 'r') {
            out += '\r';
        } else if (c == 'n') {
            out += '\n';
        } else if (c == 'x' && p[1] != '\0' && p[2] != '\0') {
            char hex[3] = {p[1], p[2], '\0'};
            out += static_cast<char>(strtoul(hex, nullptr, 16));
            p += 2;
        } else {
            out += c;
        }
    }
    return out;
}

// The whole of optarg as a decimal number from min to max; false, with a
// message naming the switch, for anything else ("3OO", "abc", "-1").
bool number_switch(const char* name, long min, long max, long* value)
{
    char* end = nullptr;
    errno = 0;
    long n = strtol(optarg, &end, 10);
    if (optarg[0] < '0' || optarg[0] > '9' || *end != '\0' || errno != 0 || n < min || n > max) {
        fprintf(stderr, "tagsim: --%s takes a number from %ld to %ld, not \"%s\"\n", name, min,
                max, optarg);
        return false;
    }
    *value = n;
    return true;
}

}  // namespace

void usage()
{
    fprintf(stderr,
            "usage: tagsim [options]\n"
            "  --link PATH       make PATH a symlink to the simulated tag's terminal\n"
            "  --version TEXT    reply to \"ver\" (default V6.1.0; V5.x is the old console)\n"
            "  --node-id N       node ID (default 7)\n"
            "  --echo            echo each command line before replying\n"
            "  --echo-typed      echo each character as it is typed (CR as CR LF)\n"
            "  --prefix TEXT     put TEXT (e.g. \"[3] \") before each command reply\n"
            "  --blank           send a blank and a lone-CR line before each reply\n"
            "  --silent          answer nothing\n"
            "  --transcript FILE append every command line received to FILE\n"
            "  --save-bytes FILE append every byte received to FILE, as it came\n"
            "  --events FILE     append each event (a command, answered or not, the final\n"
            "                    reply of an upload, a tag taken out or put in) with its\n"
            "                    time to FILE\n"
            "  --latency-timer MS  hold the bytes to the PC as a USB adapter does: until\n"
            "                    62 wait, or MS after the first of them\n"
            "  --run-output FILE the lines the script prints when it runs (on \"run\", and\n"
            "                    after a re-boot when it was loaded with auto-run)\n"
            "SIGHUP re-boots the tag: its start-up line, then the script if it auto-runs\n"
            "A tag taken out of its slot while the adapter stays:\n"
            "  SIGUSR1 takes the tag out (nothing answers), SIGUSR2 puts one in\n"
            "  --pulled          start with no tag in the slot\n"
            "  --node-id-file F  a tag put in has the node ID that F holds; a set command\n"
            "                    (\"id N\", \"_id=N\") writes the new one to F\n"
            "Receiving a script:\n"
            "  --save-script FILE  write the script received to FILE\n"
            "  --save-meta FILE    write the decoded metadata record to FILE\n"
            "  --save-gaps FILE    write, for each script byte but the last, the ms until\n"
            "                      the next one came (one a line), to FILE\n"
            "  --refuse-load       answer the load command with an error\n"
            "  --m-line TEXT       ask for the metadata with TEXT instead of \"M\"\n"
            "  --final TEXT        last line instead of \"OK\" (e.g. \"E002F flash\")\n"
            "  --hangup-after N    hang up after N bytes of the upload\n"
            "  --quiet-ms N        silence that ends the script data (default 300)\n"
            "The log (text records when the version's third number is 1, else binary):\n"
            "  --log-records N     records held (default 5)\n"
            "  --log-preamble N    lines sent before \"Selected\" (0 to 2)\n"
            "  --log-no-selected   never confirm a selection\n"
            "  --log-final TEXT    line that ends a transfer (default \"OK\")\n"
            "  --log-stall         stop in the middle of the first binary record\n"
            "Devices that are not a well-behaved tag:\n"
            "  --mute-after-load   say nothing more after \"OK\" to the load command\n"
            "  --mute-id           answer \"ver\" but not the node-ID query\n"
            "  --mute-id-first N   leave the first N node-ID queries after power-up\n"
            "                      unanswered (a board still booting)\n"
            "  --ignore-set-id     answer \"OK\" to a set command but keep the node ID\n"
            "  --wrong-id-after-set N  a set command gives node ID N, whatever it sent\n"
            "  --set-id-reply TEXT answer a set command with TEXT instead of \"OK\" (e.g.\n"
            "                      \"E002F flash\") and keep the node ID\n"
            "  --garbage           answer every command with a line of random bytes\n"
            "  --babble            send random bytes without pause, answer nothing\n"
            "In TEXT, \\0, \\r, \\n, \\\\ and \\xHH stand for those bytes.\n");
}

bool parse_options(int argc, char** argv, sim_options& opt)
{
    enum {
        LINK = 256, VERSION, NODE_ID, ECHO_COMMANDS, ECHO_TYPED, PREFIX, BLANK, SILENT, TRANSCRIPT, HELP,
        SAVE_SCRIPT, SAVE_META, SAVE_GAPS, SAVE_BYTES, REFUSE_LOAD, M_LINE, FINAL, HANGUP_AFTER, QUIET_MS,
        LOG_RECORDS, LOG_PREAMBLE, LOG_NO_SELECTED, LOG_FINAL, LOG_STALL,
        MUTE_AFTER_LOAD, MUTE_ID, GARBAGE, BABBLE, EVENTS, PULLED, NODE_ID_FILE, MUTE_ID_FIRST,
        IGNORE_SET_ID, WRONG_ID_AFTER_SET, SET_ID_REPLY, LATENCY_TIMER, RUN_OUTPUT,
    };
    static const option longopts[] = {
        {"link", required_argument, nullptr, LINK},
        {"version", required_argument, nullptr, VERSION},
        {"node-id", required_argument, nullptr, NODE_ID},
        {"echo", no_argument, nullptr, ECHO_COMMANDS},
        {"echo-typed", no_argument, nullptr, ECHO_TYPED},
        {"prefix", required_argument, nullptr, PREFIX},
        {"blank", no_argument, nullptr, BLANK},
        {"silent", no_argument, nullptr, SILENT},
        {"transcript", required_argument, nullptr, TRANSCRIPT},
        {"help", no_argument, nullptr, HELP},
        {"save-script", required_argument, nullptr, SAVE_SCRIPT},
        {"save-meta", required_argument, nullptr, SAVE_META},
        {"save-gaps", required_argument, nullptr, SAVE_GAPS},
        {"save-bytes", required_argument, nullptr, SAVE_BYTES},
        {"refuse-load", no_argument, nullptr, REFUSE_LOAD},
        {"m-line", required_argument, nullptr, M_LINE},
        {"final", required_argument, nullptr, FINAL},
        {"hangup-after", required_argument, nullptr, HANGUP_AFTER},
        {"quiet-ms", required_argument, nullptr, QUIET_MS},
        {"log-records", required_argument, nullptr, LOG_RECORDS},
        {"log-preamble", required_argument, nullptr, LOG_PREAMBLE},
        {"log-no-selected", no_argument, nullptr, LOG_NO_SELECTED},
        {"log-final", required_argument, nullptr, LOG_FINAL},
        {"log-stall", no_argument, nullptr, LOG_STALL},
        {"mute-after-load", no_argument, nullptr, MUTE_AFTER_LOAD},
        {"mute-id", no_argument, nullptr, MUTE_ID},
        {"garbage", no_argument, nullptr, GARBAGE},
        {"babble", no_argument, nullptr, BABBLE},
        {"events", required_argument, nullptr, EVENTS},
        {"pulled", no_argument, nullptr, PULLED},
        {"node-id-file", required_argument, nullptr, NODE_ID_FILE},
        {"mute-id-first", required_argument, nullptr, MUTE_ID_FIRST},
        {"ignore-set-id", no_argument, nullptr, IGNORE_SET_ID},
        {"wrong-id-after-set", required_argument, nullptr, WRONG_ID_AFTER_SET},
        {"set-id-reply", required_argument, nullptr, SET_ID_REPLY},
        {"latency-timer", required_argument, nullptr, LATENCY_TIMER},
        {"run-output", required_argument, nullptr, RUN_OUTPUT},
        {nullptr, 0, nullptr, 0},
    };
    int c = 0;
    bool ok = true;
    long number = 0;
    while (ok && (c = getopt_long(argc, argv, "", longopts, nullptr)) != -1) {
        switch (c) {
        case LINK: opt.link = optarg; break;
        case VERSION: opt.version = unescape(optarg); break;
        case NODE_ID:
            ok = number_switch("node-id", 0, 255, &number);
            opt.node_id = static_cast<unsigned>(number);
            break;
        case ECHO_COMMANDS: opt.echo = true; break;
        case ECHO_TYPED: opt.echo_typed = true; break;
        case PREFIX: opt.prefix = unescape(optarg); break;
        case BLANK: opt.blank = true; break;
        case SILENT: opt.silent = true; break;
        case TRANSCRIPT: opt.transcript = optarg; break;
        case HELP: usage(); exit(0);
        case SAVE_SCRIPT: opt.save_script = optarg; break;
        case SAVE_META: opt.save_meta = optarg; break;
        case SAVE_GAPS: opt.save_gaps = optarg; break;
        case SAVE_BYTES: opt.save_bytes = optarg; break;
        case REFUSE_LOAD: opt.refuse_load = true; break;
        case M_LINE: opt.m_line = unescape(optarg); break;
        case FINAL: opt.final_reply = unescape(optarg); break;
        case HANGUP_AFTER:
            ok = number_switch("hangup-after", 0, 100000000, &number);
            opt.hangup_after = number;
            break;
        case QUIET_MS:
            ok = number_switch("quiet-ms", 1, 60000, &number);
            opt.quiet_ms = static_cast<int>(number);
            break;
        case LOG_RECORDS:
            ok = number_switch("log-records", 0, 1000000, &number);
            opt.log_records = static_cast<unsigned long>(number);
            break;
        case LOG_PREAMBLE:
            ok = number_switch("log-preamble", 0, 2, &number);
            opt.log_preamble = static_cast<int>(number);
            break;
        case LOG_NO_SELECTED: opt.log_no_selected = true; break;
        case LOG_FINAL: opt.log_final = unescape(optarg); break;
        case LOG_STALL: opt.log_stall = true; break;
        case MUTE_AFTER_LOAD: opt.mute_after_load = true; break;
        case MUTE_ID: opt.mute_id = true; break;
        case GARBAGE: opt.garbage = true; break;
        case BABBLE: opt.babble = true; break;
        case EVENTS: opt.events = optarg; break;
        case PULLED: opt.pulled = true; break;
        case NODE_ID_FILE: opt.node_id_file = optarg; break;
        case MUTE_ID_FIRST:
            ok = number_switch("mute-id-first", 0, 1000, &number);
            opt.mute_id_first = static_cast<unsigned>(number);
            break;
        case IGNORE_SET_ID: opt.ignore_set_id = true; break;
        case WRONG_ID_AFTER_SET:
            ok = number_switch("wrong-id-after-set", 0, 255, &number);
            opt.wrong_id_after_set = static_cast<int>(number);
            break;
        case SET_ID_REPLY: opt.set_id_reply = unescape(optarg); break;
        case LATENCY_TIMER:
            ok = number_switch("latency-timer", 1, 255, &number);
            opt.latency_ms = static_cast<int>(number);
            break;
        case RUN_OUTPUT: opt.run_output = optarg; break;
        default: return false;
        }
    }
    return ok && optind == argc;
}
