// tagterm's side of the relay: one program at a time on the open port.
#include "relay.h"

#include <cstdio>
#include <cstring>

namespace {

// A program that has not taken the port's bytes for this long is dropped:
// tagterm goes on with the port.
constexpr uint32_t PEER_SEND_MS = 1000;

bool send_frame(relay_service* s, relay_frame_type type, const void* payload, size_t length)
{
    uint8_t frame[RELAY_MAX_FRAME];
    size_t n = relay_frame_bytes(type, payload, length, frame);
    return relay_send(s->peer, frame, n, PEER_SEND_MS);
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
            }
        }
    }
    if (!write_port(port, data, &data_length)) return RELAY_PORT_FAILED;
    return event;
}

bool relay_serve(const char* port, relay_service* service, char* why, size_t size)
{
    snprintf(service->port, sizeof service->port, "%s", port);
    service->peer = RELAY_NO_CHANNEL;
    serial_port_identity id{};
    serial_identify_port(port, &id);
    return relay_listen(id.keys[0], &service->listener, why, size);
}

void relay_stop_serving(relay_service* service)
{
    relay_close(service->peer);
    service->peer = RELAY_NO_CHANNEL;
    relay_unlisten(&service->listener);
}

bool relay_serving_someone(const relay_service& service) { return service.peer != RELAY_NO_CHANNEL; }

void relay_end_session(relay_service* service, const char* gone_reason)
{
    if (service->peer == RELAY_NO_CHANNEL) return;
    if (gone_reason != nullptr) send_frame(service, RELAY_GONE, gone_reason, strlen(gone_reason));
    relay_close(service->peer);
    service->peer = RELAY_NO_CHANNEL;
}

relay_event relay_step(relay_service* service, bool may_admit, uint32_t wait_ms)
{
    if (service->peer == RELAY_NO_CHANNEL) {
        if (!may_admit) return RELAY_NOTHING;
        service->peer = relay_accept(&service->listener);
        if (service->peer == RELAY_NO_CHANNEL) return RELAY_NOTHING;
        service->session = relay_session{};
    }
    // A hello fits one frame; nothing else comes before the welcome.
    uint8_t in[RELAY_MAX_FRAME];
    size_t room = service->session.welcomed ? sizeof in : RELAY_HEADER_SIZE;
    if (!service->session.welcomed && service->session.reader.header_have == RELAY_HEADER_SIZE) {
        room = service->session.reader.frame.length - service->session.reader.payload_have;
    }
    long n = relay_receive(service->peer, in, room, wait_ms);
    relay_event event = n < 0 ? RELAY_ENDED
                              : relay_session_take(&service->session, service->port, in, static_cast<size_t>(n));
    if (event == RELAY_STARTED) {
        char pid[16];
        int length = snprintf(pid, sizeof pid, "%lu", relay_own_pid());
        if (!send_frame(service, RELAY_WELCOME, pid, static_cast<size_t>(length))) event = RELAY_ENDED;
    }
    if (event == RELAY_ENDED || event == RELAY_REFUSED || event == RELAY_PORT_FAILED) {
        relay_close(service->peer);
        service->peer = RELAY_NO_CHANNEL;
    }
    return event;
}

bool relay_forward(relay_service* service, const uint8_t* bytes, size_t count)
{
    if (service->peer == RELAY_NO_CHANNEL || !service->session.welcomed) return true;
    if (send_frame(service, RELAY_DATA, bytes, count)) return true;
    relay_close(service->peer);
    service->peer = RELAY_NO_CHANNEL;
    return false;
}
