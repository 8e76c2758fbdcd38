// The console's keys: typed lines to the queue, control keys in their
// turn, Ctrl-T's menu, and the keys held while they cannot be taken.
#include "console_loop.h"

#include <cstring>

namespace {

void help_line(term& t)
{
    screen_note(t.scr, "Ctrl-] end | Ctrl-T then: u load %s, i timestamps %s, l log %s, "
                       "h help, q end, Ctrl-T send Ctrl-T | Ctrl-C goes to the tag",
                t.opt.script[0] != '\0' ? t.opt.script : "(no SCRIPT)",
                t.scr.timestamps ? "off" : "on",
                t.scr.log == nullptr ? "(no --log)" : t.scr.log_on ? "off" : "on");
}

// A control key's byte, in its turn after what was typed before it.
void queue_key(term& t, loop_state& st, const char* byte)
{
    if (!queue_push(st.to_send, ENTRY_KEY, byte, strlen(byte))) {
        screen_note(t.scr, "too much waiting: that key was not sent");
    }
}

// Ctrl-] or Ctrl-T q: the end, once a program going through tagterm is
// done (the tag would be left half-loaded); a second one ends at once.
void end_asked(term& t, loop_state& st)
{
    if (!relay_serving_someone(t.relay) || st.end_after_session) {
        st.ending = true;
        return;
    }
    st.end_after_session = true;
    screen_note(t.scr, "tagterm ends once %s (pid %lu) is done (Ctrl-] again ends now)",
                t.relay.session.name, t.relay.session.pid);
}

// The key after Ctrl-T: the letter, or the letter with Ctrl.
void menu_key(term& t, loop_state& st, const console_key& key)
{
    if (key.kind == KEY_CONTROL && key.code == 0x14) {
        queue_key(t, st, "\x14");
        return;
    }
    uint32_t c = key.kind == KEY_TEXT        ? key.code | 0x20
                 : key.kind == KEY_CONTROL   ? key.code + 0x60
                 : key.kind == KEY_BACKSPACE ? 'h'
                                             : 0;
    if (key.kind == KEY_TEXT && key.code == '?') c = 'h';
    switch (c) {
    case 'u': load_now_or_later(t, st); break;
    case 'i':
        t.scr.timestamps = !t.scr.timestamps;
        screen_note(t.scr, "timestamps %s", t.scr.timestamps ? "on" : "off");
        break;
    case 'l':
        if (t.scr.log == nullptr) {
            screen_note(t.scr, "no log: start tagterm with --log FILE");
            break;
        }
        t.scr.log_on = !t.scr.log_on;
        screen_note(t.scr, "log %s %s", t.scr.log_path, t.scr.log_on ? "on" : "off");
        break;
    case 'h': help_line(t); break;
    case 'q':
    case 'x': end_asked(t, st); break;
    default: screen_note(t.scr, "not a key of tagterm's: Ctrl-T h for help"); break;
    }
}

void take_key(term& t, loop_state& st, const console_key& key)
{
    if (st.menu) {
        st.menu = false;
        menu_key(t, st, key);
        return;
    }
    if (key.kind == KEY_CONTROL) {
        if (key.code == 0x1D) end_asked(t, st);  // Ctrl-]
        if (key.code == 0x14) st.menu = true;    // Ctrl-T
        if (key.code == 0x03) {
            // Breaks a running program, and drops the line being typed.
            queue_key(t, st, "\x03");
            editor_clear(t.ed);
            screen_edit(t.scr, t.ed.line, t.ed.length, t.ed.cursor);
        }
        return;
    }
    edit_result result = editor_key(t.ed, key);
    if (result == EDIT_CHANGED) screen_edit(t.scr, t.ed.line, t.ed.length, t.ed.cursor);
    if (result != EDIT_ENTER && result != EDIT_REFUSED) return;
    screen_typed(t.scr);
    if (result == EDIT_REFUSED) {
        refused_note(t, editor_typed(t.ed));
    } else if (!queue_push(st.to_send, ENTRY_LINE, t.ed.line, t.ed.length)) {
        screen_note(t.scr, "too many lines waiting: that one was not sent");
    }
    editor_clear(t.ed);
}

// Keys are taken while a line more fits in the queue; the rest wait, in
// order, so that a paste of any length goes whole. While the port is gone
// nothing leaves the queue: keys are taken all the same, so that Ctrl-] is
// seen.
bool room_for_keys(const loop_state& st)
{
    return st.to_send.count < TERM_QUEUE_LINES || !st.port_open;
}

}  // namespace

// Keys that cannot be taken yet (a load under way, the queue full) kept
// aside in order as far as there is room, then left in the terminal.
// Ctrl-] is seen at once: during a load it ends tagterm when the load is
// done (a tag cut off in its upload is left half-loaded).
void hold_keys(term& t, loop_state& st)
{
    console_key key{};
    while (!st.ending && st.held_count < sizeof st.held / sizeof st.held[0] && console_next_key(&key)) {
        if (key.kind == KEY_CONTROL && key.code == 0x1D && !st.menu) {
            if (!st.loading) {
                end_asked(t, st);
                continue;
            }
            if (!st.end_after_load) screen_note(t.scr, "tagterm ends once the load is done");
            st.end_after_load = true;
            continue;
        }
        st.held[st.held_count++] = key;
    }
}

void take_keys(term& t, loop_state& st)
{
    // Those kept aside first, in the order they came.
    size_t taken = 0;
    while (taken < st.held_count && !st.ending && room_for_keys(st)) take_key(t, st, st.held[taken++]);
    st.held_count -= taken;
    memmove(st.held, st.held + taken, st.held_count * sizeof st.held[0]);
    if (!room_for_keys(st)) {
        hold_keys(t, st);
        return;
    }
    console_key key{};
    while (!st.ending && room_for_keys(st) && console_next_key(&key)) take_key(t, st, key);
}
