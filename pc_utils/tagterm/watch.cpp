// --watch: SCRIPT is read four times a second; a content that changed and
// then stayed the same for a moment is due to load. A save that leaves the
// bytes as they were is nothing: flash is not written for nothing.
#include "tagterm.h"

namespace {

constexpr uint32_t WATCH_EVERY_MS = 250;   // the file is looked at this often
constexpr uint32_t WATCH_SETTLE_MS = 300;  // and loaded once it stayed the same this long

// FNV-1a over the file's first APP_SCRIPT_SIZE bytes (what a load sends).
uint64_t content_hash(const char* path, bool* readable)
{
    static uint8_t content[APP_SCRIPT_SIZE];
    FILE* f = fopen(path, "rb");
    *readable = f != nullptr;
    if (f == nullptr) return 0;
    size_t n = fread(content, 1, sizeof content, f);
    *readable = ferror(f) == 0;
    fclose(f);
    uint64_t hash = 14695981039346656037ULL;
    for (size_t i = 0; i < n; ++i) hash = (hash ^ content[i]) * 1099511628211ULL;
    return hash;
}

}  // namespace

bool watch_due(script_watch& w, screen& s, const char* script, uint64_t now, bool can_load)
{
    if (now < w.next_look) return false;
    w.next_look = now + WATCH_EVERY_MS;
    char filename[APP_FILENAME_SIZE];
    char fullname[APP_FILENAME_SIZE];
    snprintf(filename, sizeof filename, "%s", script);
    if (!make_full_name(filename, fullname, sizeof fullname)) return false;
    bool readable = false;
    uint64_t hash = content_hash(fullname, &readable);
    if (!readable) {
        if (!w.unreadable_said) screen_note(s, "cannot read %s: not loaded", fullname);
        w.unreadable_said = true;
        return false;
    }
    w.unreadable_said = false;
    if (!w.known) {
        // What the file holds at the start is not loaded.
        w.known = true;
        w.loaded = w.seen = hash;
        return false;
    }
    if (hash != w.seen) {
        w.seen = hash;
        w.seen_since = now;
    }
    if (w.seen == w.loaded || now - w.seen_since < WATCH_SETTLE_MS || !can_load) return false;
    w.loaded = w.seen;
    return true;
}
