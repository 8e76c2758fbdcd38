// Text helpers for tag replies: prefix removal and scanf-like number reading
// that stays defined whatever a tag sends.
#include "tag.h"
#include "tag_internal.h"

#include <cstdlib>
#include <cstring>

namespace {

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

}  // namespace

const char* skip_spaces(const char* text)
{
    while (is_space(*text)) ++text;
    return text;
}

void strip_reply_prefix(char* text)
{
    // A prefix is "[" after optional white space, up to the first "]". A
    // bracket that never closes is not a prefix: the text stays as it is.
    const char* open = skip_spaces(text);
    if (*open != '[') return;
    const char* close = strchr(open, ']');
    if (close == nullptr) return;
    const char* rest = skip_spaces(close + 1);
    memmove(text, rest, strlen(rest) + 1);
}

bool scan_number(const char** text, unsigned long* value)
{
    const char* start = *text;
    // scanf's numeric conversions skip any C white space, not only the four
    // characters skip_spaces knows.
    while (*start == ' ' || (*start >= '\t' && *start <= '\r')) ++start;
    if (!((*start >= '0' && *start <= '9') ||
          ((*start == '+' || *start == '-') && start[1] >= '0' && start[1] <= '9'))) {
        return false;
    }
    char* end = nullptr;
    *value = strtoul(start, &end, 10);
    *text = end;
    return true;
}

bool scan_literal(const char** text, const char* literal)
{
    const char* p = *text;
    for (; *literal != '\0'; ++literal) {
        if (*literal == ' ') {
            while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
        } else if (*p++ != *literal) {
            return false;
        }
    }
    *text = p;
    return true;
}

tag_echo echo_of(const char* line, const char* command, size_t length)
{
    size_t n = strlen(line);
    if (n > 0 && line[n - 1] == '\r') --n;
    if (n == 0) return TAG_ECHO_NONE;
    if (n >= length && strncmp(line, command, length) == 0) return TAG_ECHO_WHOLE;
    return n < length && memcmp(line, command + length - n, n) == 0 ? TAG_ECHO_TAIL : TAG_ECHO_NONE;
}
