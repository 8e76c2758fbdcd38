// The pool's files as text (node_pool_text.h).
#include "node_pool_text.h"

#include "platform/platform.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>

void pool_fail(char* why, size_t size, const char* file, int line, const char* format, ...)
{
    int used = line > 0 ? snprintf(why, size, "%s:%d: ", file, line) : snprintf(why, size, "%s: ", file);
    if (used < 0 || static_cast<size_t>(used) >= size) return;
    va_list args;
    va_start(args, format);
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
    vsnprintf(why + used, size - static_cast<size_t>(used), format, args);
    va_end(args);
}


void pool_shown(const char* text, char* out, size_t size)
{
    size_t n = 0;
    for (; text != nullptr && text[n] != '\0' && n + 1 < size; ++n) {
        auto c = static_cast<unsigned char>(text[n]);
        out[n] = c < 0x20 || c == 0x7F ? '?' : static_cast<char>(c);
    }
    if (n == 0 && size > 1) out[n++] = '-';
    out[n] = '\0';
}


line_read pool_read_line(FILE* in, char* line)
{
    line_read r;
    size_t n = 0;
    int c = 0;
    while ((c = getc(in)) != EOF && c != '\n') {
        r.got = true;
        r.nul = r.nul || c == '\0';
        if (n < NODE_POOL_MAX_LINE) {
            line[n++] = static_cast<char>(c);
        } else {
            r.too_long = true;
        }
    }
    r.ended = c == '\n';
    r.got = r.got || r.ended;
    if (n > 0 && line[n - 1] == '\r') --n;
    line[n] = '\0';
    return r;
}

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

const char* skip_blanks(const char* p)
{
    while (*p == ' ' || *p == '\t') ++p;
    return p;
}

}  // namespace

bool pool_parse_number(const char*& p, unsigned* value)
{
    if (!is_digit(*p)) return false;
    unsigned v = 0;
    for (; is_digit(*p); ++p) v = v < 1000 ? v * 10 + static_cast<unsigned>(*p - '0') : 1000;
    *value = v;
    return true;
}

bool pool_is_node_id(unsigned id) { return id >= NODE_POOL_FIRST_ID && id <= NODE_POOL_LAST_ID; }

namespace {

// "60" or "10-49", blanks around either: false for anything else.
bool parse_item(const char* item, unsigned* first, unsigned* last)
{
    const char* p = skip_blanks(item);
    if (!pool_parse_number(p, first)) return false;
    p = skip_blanks(p);
    *last = *first;
    if (*p == '-') {
        p = skip_blanks(p + 1);
        if (!pool_parse_number(p, last)) return false;
        p = skip_blanks(p);
    }
    return *p == '\0';
}

// The IDs a pool file holds.
struct pool_ids {
    bool in_pool[NODE_POOL_LAST_ID + 1] = {};
    int line_of[NODE_POOL_LAST_ID + 1] = {};  // the line each came on
};

// One line of the pool file `path`: items between commas, a comment after "#".
bool parse_pool_line(const char* path, pool_ids& ids, char* text, int number, char* why, size_t size)
{
    char* hash = strchr(text, '#');
    if (hash != nullptr) *hash = '\0';
    for (char *item = text, *next = nullptr; item != nullptr; item = next) {
        char* comma = strchr(item, ',');
        if (comma != nullptr) *comma = '\0';
        next = comma != nullptr ? comma + 1 : nullptr;
        // An empty item ("10,,20", a comma at the end of a line) adds nothing.
        if (*skip_blanks(item) == '\0') continue;
        char written[48];
        pool_shown(skip_blanks(item), written, sizeof written);
        unsigned first = 0, last = 0;
        if (!parse_item(item, &first, &last)) {
            pool_fail(why, size, path, number, "\"%s\" is not a node ID nor a range of them", written);
            return false;
        } else if (!pool_is_node_id(first) || !pool_is_node_id(last)) {
            pool_fail(why, size, path, number, "\"%s\": node IDs are %u to %u", written,
                 NODE_POOL_FIRST_ID, NODE_POOL_LAST_ID);
            return false;
        } else if (first > last) {
            pool_fail(why, size, path, number, "the range \"%s\" is written backwards", written);
            return false;
        }
        for (unsigned id = first; id <= last; ++id) {
            if (ids.in_pool[id]) {
                pool_fail(why, size, path, number, "%u is in the pool twice (line %d has it too)", id,
                     ids.line_of[id]);
                return false;
            }
            ids.in_pool[id] = true;
            ids.line_of[id] = number;
        }
    }
    return true;
}

}  // namespace

node_pool_result pool_read_file(node_pool& pool, char* why, size_t size)
{
    FILE* in = platform_open_file(pool.path, "rb");
    if (in == nullptr) {
        pool_fail(why, size, pool.path, 0, "cannot read it: %s", strerror(errno));
        return NODE_POOL_BAD_POOL;
    }
    char line[NODE_POOL_MAX_LINE + 1] = "";
    pool_ids ids;
    bool ok = true;
    int number = 1;
    for (line_read r; ok && (r = pool_read_line(in, line)).got; ++number) {
        // Notepad starts a UTF-8 file with a byte-order mark.
        char* text = number == 1 && strncmp(line, "\xEF\xBB\xBF", 3) == 0 ? line + 3 : line;
        if (r.nul) {
            pool_fail(why, size, pool.path, number, "a NUL byte");
            ok = false;
        } else if (r.too_long) {
            pool_fail(why, size, pool.path, number, "line longer than %lu characters",
                 static_cast<unsigned long>(NODE_POOL_MAX_LINE));
            ok = false;
        } else {
            ok = parse_pool_line(pool.path, ids, text, number, why, size);
        }
    }
    if (ok && ferror(in) != 0) {
        pool_fail(why, size, pool.path, 0, "cannot read it: %s", strerror(errno));
        ok = false;
    }
    fclose(in);
    bool any = false;
    for (unsigned id = NODE_POOL_FIRST_ID; id <= NODE_POOL_LAST_ID && !any; ++id) any = ids.in_pool[id];
    if (ok && !any) {
        pool_fail(why, size, pool.path, 0, "holds no node ID");
        ok = false;
    }
    if (!ok) return NODE_POOL_BAD_POOL;
    memcpy(pool.in_pool, ids.in_pool, sizeof pool.in_pool);
    return NODE_POOL_OK;
}
