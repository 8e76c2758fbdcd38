// Loading SCRIPT from the console, on the port tagterm holds: the tag is
// identified and the script goes over exactly as flashtag sends it (the
// same exchange, upload_exchange.cpp), with the bar on one line and a line
// that says how it went.
#include "platform/platform.h"
#include "tag/tag.h"
#include "tagterm.h"

#include <cstring>

namespace {

uint8_t script[APP_SCRIPT_SIZE];

// The upload observer's context: the console, and its pause.
struct load_context {
    term* t;
    load_pause pause;
};

void no_step(void*, upload_step) {}

bool show_bar(void* context, uint32_t done, uint32_t total)
{
    auto* c = static_cast<load_context*>(context);
    char line[PROGRESS_LINE_SIZE];
    size_t n = format_progress(line, done, total);
    screen_progress(c->t->scr, line, n);
    if (c->t->keys) c->pause.take_keys(c->pause.context);
    return true;
}

}  // namespace

void load_script(term& t, const load_pause& pause)
{
    if (t.opt.script[0] == '\0') {
        screen_note(t.scr, "no SCRIPT to load: start tagterm with one (tagterm -c 4 prog.bas)");
        return;
    }
    uint64_t start = platform_now_ms();
    char fullname[APP_FILENAME_SIZE];
    screen_aside(t.scr);
    long length = read_script_file("tagterm", t.opt.script, fullname, script, stdout);
    screen_back(t.scr);
    if (length < 0) return;

    uint8_t node = 0;
    load_context context{&t, pause};
    upload_observer observer{&context, no_step, show_bar};
    int32_t result = load_on_open_port(t.port, script, length, fullname, t.opt.auto_run, observer, &node);
    screen_aside(t.scr);
    screen_back(t.scr);
    char line[APP_LOAD_LINE_SIZE];
    describe_load(t.port, t.shown_port, result, fullname, length, node, platform_now_ms() - start, line,
                  sizeof line);
    screen_note(t.scr, "%s", line);
}
