// tagterm's side of the relay: one program at a time on the open port.
#include "platform/platform.h"
#include "relay.h"

#include <cstdio>
#include <cstring>

namespace {

// A program that has not taken the port's bytes for this long is dropped:
// tagterm goes on with the port.
constexpr uint32_t PEER_SEND_MS = 1000;
// How often programs that come while one is served are looked at.
constexpr uint32_t WAITERS_LOOK_MS = 100;

bool send_frame(relay_channel channel, relay_frame_type type, const void* payload, size_t length)
{
    uint8_t frame[RELAY_MAX_FRAME];
    size_t n = relay_frame_bytes(type, payload, length, frame);
    return relay_send(channel, frame, n, PEER_SEND_MS) == RELAY_SENT;
}

// What a program sent, into its session: before its hello has been taken
// only up to the hello's end (nothing may follow it before the welcome).
relay_event take_from(relay_channel channel, relay_session* session, const char* port,
                      uint32_t wait_ms)
{
    uint8_t in[RELAY_MAX_FRAME];
    size_t room = session->welcomed ? sizeof in : RELAY_HEADER_SIZE;
    if (!session->welcomed && session->reader.header_have == RELAY_HEADER_SIZE) {
        room = session->reader.frame.length - session->reader.payload_have;
    }
    long n = relay_receive(channel, in, room, wait_ms);
    return n < 0 ? RELAY_ENDED : relay_session_take(session, port, in, static_cast<size_t>(n));
}

// Those who come while a program is served: each is told who (once its
// hello is in) and waits; one that goes, or sends more, is let go.
void tell_waiters(relay_service* s)
{
    if (s->waiting_count < RELAY_MAX_WAITING) {
        relay_channel newcomer = relay_accept(&s->listener);
        if (newcomer != RELAY_NO_CHANNEL) s->waiting[s->waiting_count++] = {newcomer, relay_session{}};
    }
    for (size_t i = 0; i < s->waiting_count;) {
        relay_waiter& w = s->waiting[i];
        bool told = w.session.welcomed;
        relay_event event = told ? RELAY_NOTHING : take_from(w.channel, &w.session, s->port, 0);
        if (told) {
            uint8_t extra = 0;
            if (relay_receive(w.channel, &extra, 1, 0) != 0) event = RELAY_ENDED;
        } else if (event == RELAY_STARTED) {
            char text[RELAY_NAME_SIZE + 32];
            int length = snprintf(text, sizeof text, "%lu %lu %s", relay_own_pid(), s->session.pid,
                                  s->session.name);
            if (!send_frame(w.channel, RELAY_IN_USE, text, static_cast<size_t>(length))) {
                event = RELAY_ENDED;
            }
        }
        if (event == RELAY_ENDED || event == RELAY_REFUSED) {
            relay_close(w.channel);
            memmove(&s->waiting[i], &s->waiting[i + 1], (s->waiting_count - i - 1) * sizeof w);
            --s->waiting_count;
        } else {
            ++i;
        }
    }
}

// The next program to serve: the first that waits (its hello, if not in
// yet, is read as a newcomer's), else one at the rendezvous.
void admit(relay_service* s)
{
    if (s->waiting_count == 0) {
        s->peer = relay_accept(&s->listener);
        s->session = relay_session{};
        return;
    }
    s->peer = s->waiting[0].channel;
    s->session = s->waiting[0].session;
    --s->waiting_count;
    memmove(&s->waiting[0], &s->waiting[1], s->waiting_count * sizeof s->waiting[0]);
}

// Writes what was gathered for the port and empties it.
bool write_port(const char* port, const uint8_t* data, size_t* length)
{
    if (*length == 0) return true;
    uint32_t timeout = 0;
    serial_get_timeout(port, &timeout);
    bool ok = (timeout == RELAY_PORT_WRITE_MS || serial_set_timeout(port, RELAY_PORT_WRITE_MS) == SERIAL_OK) &&
              serial_write(port, data, static_cast<uint32_t>(*length)) == SERIAL_OK;
    *length = 0;
    return ok;
}

}  // namespace

relay_event relay_session_take(relay_session* session, const char* port, const uint8_t* in,
                               size_t size)
{
    // The data of the frames taken in one go is written in one go: a
    // system call per byte would let the port fall behind the program.
    uint8_t data[2 * RELAY_MAX_PAYLOAD];
    size_t data_length = 0;
    relay_event event = RELAY_NOTHING;
    while (size > 0 && event == RELAY_NOTHING) {
        size_t used = 0;
        relay_take_result r = relay_take(&session->reader, in, size, &used);
        in += used;
        size -= used;
        if (r == RELAY_BROKEN) {
            event = RELAY_REFUSED;
        } else if (r == RELAY_FRAME_READY) {
            const relay_frame& f = session->reader.frame;
            if (!session->welcomed) {
                // Nothing may follow a hello before the caller's welcome.
                bool hello = relay_parse_hello(f, &session->pid, session->name) && size == 0;
                session->welcomed = hello;
                event = hello ? RELAY_STARTED : RELAY_REFUSED;
            } else if (f.type != RELAY_DATA) {
                event = RELAY_REFUSED;
            } else {
                if (data_length + f.length > sizeof data && !write_port(port, data, &data_length)) {
                    return RELAY_PORT_FAILED;
                }
                memcpy(data + data_length, f.payload, f.length);
                data_length += f.length;
                session->unanswered = session->unanswered || f.length > 0;
            }
        }
    }
    if (!write_port(port, data, &data_length)) return RELAY_PORT_FAILED;
    return event;
}

void relay_service_init(relay_service* service)
{
    *service = relay_service{};
    service->peer = RELAY_NO_CHANNEL;
    service->listener.handle = -1;
}

bool relay_serve(const char* port, relay_service* service, char* why, size_t size)
{
    snprintf(service->port, sizeof service->port, "%s", port);
    service->peer = RELAY_NO_CHANNEL;
    service->waiting_count = 0;
    service->next_look = 0;
    serial_port_identity id{};
    serial_identify_port(port, &id);
    return relay_listen(id.keys[0], &service->listener, why, size);
}

void relay_stop_serving(relay_service* service)
{
    relay_close(service->peer);
    service->peer = RELAY_NO_CHANNEL;
    for (size_t i = 0; i < service->waiting_count; ++i) relay_close(service->waiting[i].channel);
    service->waiting_count = 0;
    relay_unlisten(&service->listener);
}

bool relay_serving_someone(const relay_service& service) { return service.peer != RELAY_NO_CHANNEL; }

void relay_end_session(relay_service* service, const char* gone_reason)
{
    if (service->peer == RELAY_NO_CHANNEL) return;
    if (gone_reason != nullptr) send_frame(service->peer, RELAY_GONE, gone_reason, strlen(gone_reason));
    relay_close(service->peer);
    service->peer = RELAY_NO_CHANNEL;
}

relay_event relay_step(relay_service* service, bool may_admit, uint32_t wait_ms)
{
    // Newcomers are looked at now and then only: each look costs the
    // program being served (under Wine a round trip to its server).
    uint64_t now = platform_now_ms();
    if (service->peer != RELAY_NO_CHANNEL && service->session.welcomed && now >= service->next_look) {
        service->next_look = now + WAITERS_LOOK_MS;
        tell_waiters(service);
    }
    bool admitted = service->peer == RELAY_NO_CHANNEL;
    if (admitted) {
        if (!may_admit) return RELAY_NOTHING;
        admit(service);
        if (service->peer == RELAY_NO_CHANNEL) return RELAY_NOTHING;
    }
    // A waiter admitted has said hello already.
    relay_event event = admitted && service->session.welcomed
                            ? RELAY_STARTED
                            : take_from(service->peer, &service->session, service->port, wait_ms);
    if (event == RELAY_STARTED) {
        char pid[16];
        int length = snprintf(pid, sizeof pid, "%lu", relay_own_pid());
        if (!send_frame(service->peer, RELAY_WELCOME, pid, static_cast<size_t>(length))) event = RELAY_ENDED;
    }
    if (event == RELAY_ENDED || event == RELAY_REFUSED) {
        relay_close(service->peer);
        service->peer = RELAY_NO_CHANNEL;
    }
    return event;
}

bool relay_forward(relay_service* service, const uint8_t* bytes, size_t count)
{
    if (service->peer == RELAY_NO_CHANNEL || !service->session.welcomed) return true;
    service->session.unanswered = false;
    if (send_frame(service->peer, RELAY_DATA, bytes, count)) return true;
    relay_close(service->peer);
    service->peer = RELAY_NO_CHANNEL;
    return false;
}
