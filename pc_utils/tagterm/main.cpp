// tagterm: the tag's console in a terminal (tagterm.h says how it is made).
#include "app/command_line.h"
#include "platform/console.h"
#include "platform/platform.h"
#include "tag/tag.h"
#include "tagterm.h"

#include <cerrno>
#include <cstring>

namespace {

term the_term;

// However tagterm ends (Ctrl-], SIGTERM, SIGHUP, a closed console window,
// an error): the terminal, the rendezvous and the port as they were found.
// Only closes, an unlink and terminal settings: safe at an interrupt.
void give_back()
{
    console_keys_end();
    relay_stop_serving(&the_term.relay);
    serial_release_all();
}

void open_log(term& t)
{
    screen& s = t.scr;
    s.log_path = t.opt.log_path;
    if (s.log_path == nullptr) return;
    s.log = platform_open_file(s.log_path, "ab");
    s.log_on = s.log != nullptr;
    if (s.log == nullptr) {
        screen_note(s, "cannot open the log %s (%s): the console goes on without it", s.log_path,
                    strerror(errno));
    }
}

}  // namespace

int main(int argc, char** argv)
{
    platform_console_init();
    term& t = the_term;
    relay_service_init(&t.relay);
    int parsed = parse_options(argc, argv, t.opt);
    if (parsed != 0) return parsed < 0 ? 0 : parsed;
    serial_never_relay();
    platform_exit_guard(give_back, "\ntagterm: Ended; the port was given back\n");
    if (t.opt.verbose) tag_trace_on();

    uint32_t firmware = 0, third = 0;
    uint8_t node = 0;
    if (!connect_tag("tagterm", t.opt.port, t.port, t.shown_port, sizeof t.shown_port, &firmware, &third,
                     &node, stdout)) {
        return 1;
    }

    t.keys = console_keys_begin();
    t.scr.interactive = t.keys;
    t.scr.timestamps = t.opt.timestamps;
    t.scr.raw = t.opt.raw;
    open_log(t);
    serve_port(t);
    if (t.keys) {
        char version[16];
        tag_version_text(firmware, third, version, sizeof version);
        screen_note(t.scr, "%s: tag firmware %s, node %u. Ctrl-] to end, Ctrl-T h for help",
                    t.shown_port, version, node);
    }
    int status = run_console(t);
    screen_finish(t.scr);
    give_back();
    if (t.scr.log != nullptr) fclose(t.scr.log);
    return status;
}
