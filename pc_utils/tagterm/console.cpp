// The console's loop. One thread does it all, in turns: a read of the port
// (short while lines wait to go or a program goes through tagterm, longer
// while all is quiet, so that an idle console costs next to nothing), the
// keys, the relay, the next line to send, the watched file.
#include "platform/console.h"
#include "platform/platform.h"
#include "tag/tag.h"
#include "tagterm.h"

#include <cstring>
#include <memory>

namespace {

constexpr uint32_t IDLE_READ_MS = 50;      // the port's read while nothing else waits (keys wait as long)
constexpr uint32_t BUSY_READ_MS = 1;       // while lines wait or a program goes through
constexpr uint32_t ANSWER_QUIET_MS = 100;  // the tag's answer to a line is over after this
constexpr uint32_t ANSWER_LONGEST_MS = 1000;
constexpr uint32_t RETURN_CHECK_MS = 500;  // a port gone is looked for this often
// Nothing goes to the tag while another program uses the port: a byte
// typed then would land in the middle of its upload.
struct loop_state {
    line_queue to_send;
    bool input_done;           // standard input (not a terminal) has ended and all of it is queued
    int status;                // the console's exit status
    uint64_t last_sent, last_heard;
    bool answered;             // the tag has said something since the last line went
    bool menu;                 // Ctrl-T pressed
    bool load_wanted;          // Ctrl-T u while a program used the port
    bool load_queued;          // a load waits in to_send behind lines typed before it
    bool fine_timer;           // fine pauses asked for, while a program goes through
    bool ending;
    bool end_after_session;    // Ctrl-] while a program goes through: once it is done
    bool loading;              // a load of SCRIPT is under way: keys wait
    bool end_after_load;       // Ctrl-] during it
    console_key held[TERM_QUEUE_LINES * 4];  // keys typed during a load, in order
    size_t held_count;
    bool port_open;
    bool return_tried;         // the port gone was opened again since it was last missing
    bool taken_said;           // it came back held by another program, and that was said
    uint64_t next_return_check;
    script_watch watch;
};

void gone(term& t, loop_state& st)
{
    char why[TAG_REASON_SIZE];
    serial_describe_error(why, sizeof why);
    char reason[sizeof why + sizeof t.shown_port + 16];
    snprintf(reason, sizeof reason, "%s is gone (%s)", t.shown_port, why);
    relay_end_session(&t.relay, reason);
    relay_stop_serving(&t.relay);
    t.serving = false;
    serial_close(t.port);
    st.port_open = false;
    st.return_tried = false;
    st.taken_said = false;
    st.next_return_check = 0;
    if (t.keys) {
        screen_note(t.scr, "%s; waiting for it to come back (Ctrl-] ends)", reason);
        return;
    }
    // Lines from a file or a pipe have nobody to wait for the port with.
    bool left = !st.input_done || st.to_send.count > 0;
    screen_note(t.scr, "%s: tagterm ends%s", reason, left ? "; the lines still to send were not sent" : "");
    st.status = 1;
    st.ending = true;
}

// The port back once it is there again: one open per return (opening
// raises DTR, which resets some boards); a network port, which has no
// presence to look at, is tried once a second.
void look_for_return(term& t, loop_state& st)
{
    platform_sleep_ms(50);
    uint64_t now = platform_now_ms();
    if (now < st.next_return_check) return;
    bool network = serial_is_network_port(t.port);
    st.next_return_check = now + (network ? 2 * RETURN_CHECK_MS : RETURN_CHECK_MS);
    bool present = serial_is_usb_form(t.opt.port)
                       ? serial_resolve_usb(t.opt.port, t.port, sizeof t.port, nullptr) == SERIAL_OK
                       : serial_port_exists(t.port);
    if (!present) {
        st.return_tried = st.taken_said = false;
        return;
    }
    if (st.return_tried && !network) return;
    bool first_try = !st.return_tried && !st.taken_said;
    st.return_tried = true;
    if (serial_open(t.port, 115200, 8, 0, 1, TAG_REPLY_TIMEOUT_MS) != SERIAL_OK) {
        char why[TAG_REASON_SIZE];
        serial_describe_error(why, sizeof why);
        if (first_try) screen_note(t.scr, "%s is there again but %s", t.shown_port, why);
        // Another program opened it as it came back (a station polling its
        // slots): tried again until that one lets it go. An open refused
        // as in use moves no modem line, as the holder has it open.
        if (serial_last_error().fault == SERIAL_FAULT_IN_USE) {
            st.return_tried = false;
            st.taken_said = true;
        }
        return;
    }
    st.port_open = true;
    screen_note(t.scr, "%s is back", t.shown_port);
    serve_port(t);
}

void read_port(term& t, loop_state& st)
{
    bool busy = st.to_send.count > 0 || relay_serving_someone(t.relay);
    uint8_t bytes[256];
    uint32_t count = 0;
    int32_t result = serial_read_some(t.port, bytes, sizeof bytes, busy ? BUSY_READ_MS : IDLE_READ_MS,
                                      &count);
    if (result != SERIAL_OK && serial_last_error().fault == SERIAL_FAULT_TIMEOUT) result = SERIAL_OK;
    if (count > 0) {
        st.last_heard = platform_now_ms();
        st.answered = true;
        if (relay_serving_someone(t.relay)) {
            relay_forward(&t.relay, bytes, count);
        } else {
            screen_tag_bytes(t.scr, bytes, count);
        }
    }
    if (result != SERIAL_OK) gone(t, st);
}

bool send_bytes(term& t, loop_state& st, const char* bytes, size_t count)
{
    if (!st.port_open) return false;
    // The relay writes a program's bytes with a time-out of its own.
    uint32_t timeout = 0;
    serial_get_timeout(t.port, &timeout);
    if ((timeout != TAG_REPLY_TIMEOUT_MS && serial_set_timeout(t.port, TAG_REPLY_TIMEOUT_MS) != SERIAL_OK) ||
        serial_write(t.port, bytes, static_cast<uint32_t>(count)) != SERIAL_OK) {
        gone(t, st);
        return false;
    }
    return true;
}

void refused_note(term& t, size_t length)
{
    screen_note(t.scr, "a line of %lu characters was not sent: the tag takes lines of up to %lu",
                static_cast<unsigned long>(length), static_cast<unsigned long>(TERM_LINE_LONGEST));
}

// The loop as a load's pause sees it.
struct loop_context {
    term* t;
    loop_state* st;
};

void hold_keys(term& t, loop_state& st);

// During a load (its bar on the current line) the keys are kept for after it.
void keys_while_loading(void* context)
{
    auto* c = static_cast<loop_context*>(context);
    hold_keys(*c->t, *c->st);
}

void load_now(term& t, loop_state& st)
{
    st.loading = true;
    loop_context context{&t, &st};
    load_script(t, load_pause{keys_while_loading, &context});
    st.loading = false;
    if (st.end_after_load) st.ending = true;
}

// The next line waiting, once the tag has answered the one before: its
// output quiet for a moment, or a second gone by.
void send_next_line(term& t, loop_state& st)
{
    if (!st.port_open || st.to_send.count == 0 || relay_serving_someone(t.relay)) return;
    queued next;
    // A control key goes at once: Ctrl-C must break a program that runs.
    if (st.to_send.entries[st.to_send.head].kind == ENTRY_KEY) {
        queue_pop(st.to_send, next);
        send_bytes(t, st, next.text, next.length);
        return;
    }
    uint64_t now = platform_now_ms();
    bool answered = st.answered && now - st.last_heard >= ANSWER_QUIET_MS;
    if (st.last_sent != 0 && !answered && now - st.last_sent < ANSWER_LONGEST_MS) return;
    queue_pop(st.to_send, next);
    if (next.kind == ENTRY_REFUSED) {
        refused_note(t, next.length);
        return;
    }
    if (next.kind == ENTRY_LOAD) {
        st.load_queued = false;
        load_now(t, st);
        return;
    }
    screen_sent(t.scr, next.text);
    char line[TERM_LINE_SIZE + 1];
    memcpy(line, next.text, next.length);
    line[next.length] = '\r';  // a command is its text and one CR, as flashtag sends it
    if (!send_bytes(t, st, line, next.length + 1)) return;
    st.last_sent = platform_now_ms();
    st.answered = false;
}

// A load asked for while lines wait to go comes after them, once the tag
// has answered the last: an upload that began in the middle of a paste
// would meet the tag's answers, and the lines typed before it would reach
// the new script.
void load_in_turn(term& t, loop_state& st)
{
    if (st.to_send.count == 0) {
        load_now(t, st);
    } else if (queue_push(st.to_send, ENTRY_LOAD, "", 0)) {
        st.load_queued = true;
        screen_note(t.scr, "the load comes after the lines typed before it");
    } else {
        screen_note(t.scr, "too much waiting: nothing loaded");
    }
}

void load_now_or_later(term& t, loop_state& st)
{
    if (st.loading) {
        screen_note(t.scr, "a load is under way");
    } else if (!st.port_open) {
        screen_note(t.scr, "the port is gone: nothing loaded");
    } else if (relay_serving_someone(t.relay)) {
        st.load_wanted = true;
        screen_note(t.scr, "the load comes when %s is done", t.relay.session.name);
    } else {
        load_in_turn(t, st);
    }
}

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

// --watch: SCRIPT loaded when its content has changed and settled.
void watch_step(term& t, loop_state& st)
{
    bool can_load = st.port_open && !relay_serving_someone(t.relay) && !st.load_queued &&
                    st.to_send.count < TERM_QUEUE_LINES;
    if (t.opt.watch && watch_due(st.watch, t.scr, t.opt.script, platform_now_ms(), can_load)) {
        load_in_turn(t, st);
    }
}

void step_relay(term& t, loop_state& st)
{
    bool may_admit = st.to_send.count == 0 && !st.end_after_session;
    relay_event event = st.port_open && t.serving ? relay_step(&t.relay, may_admit, 0) : RELAY_NOTHING;
    const relay_session& s = t.relay.session;
    switch (event) {
    case RELAY_STARTED: screen_note(t.scr, "%s (pid %lu) is using the port", s.name, s.pid); break;
    case RELAY_ENDED:
        if (s.welcomed && s.unanswered) {
            screen_note(t.scr, "%s (pid %lu) ended before its upload finished (the tag may be half-loaded)",
                        s.name, s.pid);
        } else if (s.welcomed) {
            screen_note(t.scr, "%s (pid %lu) is done", s.name, s.pid);
        }
        break;
    case RELAY_REFUSED:
        screen_note(t.scr, "a program sent what no program of ours sends: it was let go");
        break;
    case RELAY_PORT_FAILED: gone(t, st); break;
    case RELAY_NOTHING: break;
    }
    // While a program goes through, the loop's short waits must be short
    // (Windows' default tick would stretch them to 16 ms and squeeze an
    // upload's pauses).
    if (relay_serving_someone(t.relay) != st.fine_timer) {
        st.fine_timer = !st.fine_timer;
        platform_fine_timer(st.fine_timer);
    }
    if (!relay_serving_someone(t.relay) && st.end_after_session) st.ending = true;
    // A load put off waits for the port as typed lines do.
    if (!relay_serving_someone(t.relay) && st.load_wanted && st.port_open) {
        st.load_wanted = false;
        load_now(t, st);
    }
}

}  // namespace

void serve_port(term& t)
{
    char why[256];
    t.serving = relay_serve(t.port, &t.relay, why, sizeof why);
    if (!t.serving) screen_note(t.scr, "other programs cannot use the port through tagterm: %s", why);
}

int run_console(term& t)
{
    auto state = std::make_unique<loop_state>();
    loop_state& st = *state;
    st.port_open = true;
    if (!t.keys) piped_input_begin();
    uint64_t started = platform_now_ms();
    while (!st.ending) {
        if (st.port_open) {
            read_port(t, st);
        } else {
            look_for_return(t, st);
        }
        if (t.keys) {
            take_keys(t, st);
        } else {
            st.input_done = piped_input_take(st.to_send);
            if (st.input_done && st.to_send.count == 0 && !relay_serving_someone(t.relay)) {
                uint64_t last = st.last_heard > st.last_sent ? st.last_heard : st.last_sent;
                if (last < started) last = started;
                if (platform_now_ms() - last >= t.opt.exit_after_ms) st.ending = true;
            }
        }
        step_relay(t, st);
        send_next_line(t, st);
        watch_step(t, st);
    }
    return st.status;
}
