// The console's loop. One thread does it all, in turns: a read of the port
// (short while lines wait to go or a program goes through tagterm, longer
// while all is quiet, so that an idle console costs next to nothing), the
// keys, the relay, the next line to send, the watched file.
#include "console_loop.h"
#include "platform/platform.h"
#include "tag/tag.h"

#include <cstring>
#include <memory>

namespace {

constexpr uint32_t IDLE_READ_MS = 50;      // the port's read while nothing else waits (keys wait as long)
constexpr uint32_t BUSY_READ_MS = 1;       // while lines wait or a program goes through
constexpr uint32_t ANSWER_QUIET_MS = 100;  // the tag's answer to a line is over after this
constexpr uint32_t ANSWER_LONGEST_MS = 1000;
constexpr uint32_t RETURN_CHECK_MS = 500;  // a port gone is looked for this often

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
    if (tag_open_line(t.port, TAG_REPLY_TIMEOUT_MS) != SERIAL_OK) {
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

}  // namespace

void refused_note(term& t, size_t length)
{
    screen_note(t.scr, "a line of %lu characters was not sent: the tag takes lines of up to %lu",
                static_cast<unsigned long>(length), static_cast<unsigned long>(TERM_LINE_LONGEST));
}

namespace {

// The loop as a load's pause sees it.
struct loop_context {
    term* t;
    loop_state* st;
};


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

}  // namespace

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

namespace {

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
