// --watch: SCRIPT is looked at four times a second; a file that changed and
// then stayed the same (its size, time and content) for WATCH_SETTLE_MS is
// due to load. A save that leaves the bytes as they were is nothing: flash
// is not written for nothing. An empty file is never loaded: a file is
// empty while an editor or a copy has made it and not yet written it, and
// an empty script would leave the tag with no program.
#include "platform/platform.h"
#include "tagterm.h"

#include <sys/stat.h>

namespace {

constexpr uint32_t WATCH_EVERY_MS = 250;   // the file is looked at this often
// ...and loaded once it stayed the same this long. A writer that writes a
// file in parts (a copy over a slow share, a generator, an editor that
// truncates first) leaves it unchanged between its writes: a second's
// pause must not load the first part.
constexpr uint32_t WATCH_SETTLE_MS = 2000;

// What the file is now: an FNV-1a hash of its first APP_SCRIPT_SIZE bytes
// (what a load sends), how many there are, and its size and modification
// time (a file still being written changes in one of them).
struct file_look {
    bool readable;
    uint64_t content;
    size_t length;
    uint64_t stamp;
};

file_look look_at(const char* path)
{
    static uint8_t content[APP_SCRIPT_SIZE];
    file_look look{};
    struct stat st {};
    FILE* f = stat(path, &st) == 0 ? platform_open_file(path, "rb") : nullptr;
    if (f == nullptr) return look;
    look.length = fread(content, 1, sizeof content, f);
    look.readable = ferror(f) == 0;
    fclose(f);
    look.content = 14695981039346656037ULL;
    for (size_t i = 0; i < look.length; ++i) {
        look.content = (look.content ^ content[i]) * 1099511628211ULL;
    }
    look.stamp = static_cast<uint64_t>(st.st_size) * 1000003ULL ^ static_cast<uint64_t>(st.st_mtime);
    return look;
}

}  // namespace

bool watch_due(script_watch& w, screen& s, const char* script, uint64_t now, bool can_load)
{
    if (now < w.next_look) return false;
    w.next_look = now + WATCH_EVERY_MS;
    char fullname[APP_FILENAME_SIZE];
    if (!make_full_name(script, fullname, sizeof fullname)) return false;
    file_look look = look_at(fullname);
    if (!look.readable) {
        if (!w.unreadable_said) screen_note(s, "cannot read %s: not loaded", fullname);
        w.unreadable_said = true;
        return false;
    }
    w.unreadable_said = false;
    if (!w.known) {
        // What the file holds at the start is not loaded.
        w.known = true;
        w.loaded = w.seen = look.content;
        w.seen_stamp = look.stamp;
        return false;
    }
    if (look.content != w.seen || look.stamp != w.seen_stamp) {
        w.seen = look.content;
        w.seen_stamp = look.stamp;
        w.seen_since = now;
        w.empty_said = false;
    }
    if (w.seen == w.loaded || now - w.seen_since < WATCH_SETTLE_MS) return false;
    if (look.length == 0) {
        if (!w.empty_said) screen_note(s, "%s is empty: not loaded", fullname);
        w.empty_said = true;
        return false;
    }
    if (!can_load) return false;
    w.loaded = w.seen;
    return true;
}
