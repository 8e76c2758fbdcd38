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
uint8_t metadata[APP_METADATA_SIZE];

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

    serial_set_timeout(t.port, TAG_REPLY_TIMEOUT_MS);
    int32_t result = tag_identify(t.port, nullptr, nullptr, nullptr);
    uint8_t node = 0;
    if (result == SERIAL_OK) result = tag_get_node_id(t.port, &node);
    if (result == SERIAL_OK) {
        uint8_t checksum = 0;
        size_t metadata_length = build_metadata(fullname, t.opt.auto_run ? 1 : 0, metadata, &checksum);
        load_context context{&t, pause};
        upload_observer observer{&context, no_step, show_bar};
        uint32_t sent = 0;
        platform_fine_timer(true);
        result = send_upload(t.port, script, static_cast<uint32_t>(length), metadata,
                             metadata_length, observer, &sent);
        platform_fine_timer(false);
    }
    screen_aside(t.scr);
    screen_back(t.scr);
    if (result == SERIAL_OK) {
        double seconds = static_cast<double>(platform_now_ms() - start) / 1000.0;
        screen_note(t.scr, "loaded %s: %ld bytes, node %u, %.1f s", fullname, length, node, seconds);
        return;
    }
    char why[TAG_REASON_SIZE];
    tag_describe_failure(t.port, result, why, sizeof why);
    screen_note(t.scr, "load FAILED: %s %s (error %d)", t.shown_port, why, static_cast<int>(result));
}
