// The line being typed: printable characters (as the CP437 bytes the tag
// gets), Backspace and Delete, Left and Right, Home and End, and Up and
// Down through the lines sent since tagterm started.
#include "platform/console.h"
#include "tagterm.h"

#include <cstring>

namespace {

void insert(editor& e, uint8_t c)
{
    // A line too long for the tag is kept as far as it goes and refused
    // whole at Enter: a paste is never sent cut.
    if (e.length >= TERM_LINE_LONGEST) {
        ++e.over;
        return;
    }
    memmove(e.line + e.cursor + 1, e.line + e.cursor, e.length - e.cursor);
    e.line[e.cursor++] = static_cast<char>(c);
    e.line[++e.length] = '\0';
}

void erase_at(editor& e, size_t at)
{
    memmove(e.line + at, e.line + at + 1, e.length - at - 1);
    e.line[--e.length] = '\0';
}

void recall(editor& e, size_t index)
{
    e.browsing = index;
    const char* text = index < e.history_count ? e.history[index] : "";
    e.length = e.cursor = strlen(text);
    e.over = 0;
    memcpy(e.line, text, e.length + 1);
}

void remember(editor& e)
{
    if (e.length == 0) return;
    if (e.history_count == TERM_HISTORY) {
        memmove(e.history[0], e.history[1], sizeof e.history[0] * (TERM_HISTORY - 1));
        --e.history_count;
    }
    memcpy(e.history[e.history_count++], e.line, e.length + 1);
}

}  // namespace

edit_result editor_key(editor& e, const console_key& key)
{
    switch (key.kind) {
    case KEY_TEXT: insert(e, cp437_from_unicode(key.code)); break;
    case KEY_ENTER:
        if (e.over > 0) {
            e.browsing = e.history_count;
            return EDIT_REFUSED;
        }
        remember(e);
        e.browsing = e.history_count;
        return EDIT_ENTER;
    case KEY_BACKSPACE:
        if (e.cursor == 0) return EDIT_IGNORED;
        erase_at(e, --e.cursor);
        break;
    case KEY_DELETE:
        if (e.cursor == e.length) return EDIT_IGNORED;
        erase_at(e, e.cursor);
        break;
    case KEY_LEFT:
        if (e.cursor == 0) return EDIT_IGNORED;
        --e.cursor;
        break;
    case KEY_RIGHT:
        if (e.cursor == e.length) return EDIT_IGNORED;
        ++e.cursor;
        break;
    case KEY_HOME: e.cursor = 0; break;
    case KEY_END: e.cursor = e.length; break;
    case KEY_UP:
        if (e.browsing == 0) return EDIT_IGNORED;
        recall(e, e.browsing - 1);
        break;
    case KEY_DOWN:
        if (e.browsing >= e.history_count) return EDIT_IGNORED;
        recall(e, e.browsing + 1);
        break;
    case KEY_CONTROL: return EDIT_IGNORED;
    }
    return EDIT_CHANGED;
}

void editor_clear(editor& e)
{
    e.line[0] = '\0';
    e.length = e.cursor = e.over = 0;
}

size_t editor_typed(const editor& e)
{
    return e.length + e.over;
}
