// The relay: a port one program (tagterm) holds, used by other programs of
// this user through it, byte for byte.
// - A program's side is the driver's fourth backend (relay_client.cpp):
//   serial_open tries it first, and a port that tagterm holds is used
//   through it; nothing above the driver knows.
// - tagterm's side (relay_service.cpp) serves one program at a time on its
//   open port; others wait for their turn, told who uses it.
// The frames are in relay_frames.h, the connection in relay_system.h.
#pragma once

#include "../serial.h"
#include "relay_frames.h"
#include "relay_system.h"

#include <cstddef>
#include <cstdint>

// The driver's backend for a port reached through tagterm
// (serial_relay_backend, serial_backend.h): its open finds a tagterm that
// holds the port under any of the port's identity keys and waits for its
// turn; where none does, it fails with SERIAL_FAULT_MISSING and the driver
// opens the port itself.

// One program's session on tagterm's side, bytes in, port writes out: the
// part a peer's bytes reach, kept apart from the connection for testing.
struct relay_session {
    relay_reader reader;
    bool welcomed;                // its hello taken
    unsigned long pid;
    char name[RELAY_NAME_SIZE];
    // Data went to the port, and the port has sent nothing back since.
    // Every command a program of ours sends is answered, and an upload's
    // script bytes go to a tag that stays silent until the last one (it
    // then asks for the metadata record and answers its checksum): a
    // program that ends between its bytes and their answer was cut off,
    // most likely mid-upload, and the tag may be half-loaded. One that
    // ends after the answer is done.
    bool unanswered;
};
enum relay_event {
    RELAY_NOTHING,       // nothing new
    RELAY_STARTED,       // a program said hello: it is to be welcomed
    RELAY_ENDED,         // the program has gone (session.unanswered: cut off)
    RELAY_REFUSED,       // the peer sent what no program of ours sends
    RELAY_PORT_FAILED,   // a write to the port failed
};
// The peer's bytes: data goes to `port` with serial_write (each write with
// up to RELAY_PORT_WRITE_MS); stops at the first event.
constexpr uint32_t RELAY_PORT_WRITE_MS = 1000;
relay_event relay_session_take(relay_session* session, const char* port, const uint8_t* in,
                               size_t size);

// A program that came while another was served, in the order they came;
// more wait unseen at the rendezvous until there is room.
constexpr size_t RELAY_MAX_WAITING = 8;
struct relay_waiter {
    relay_channel channel;
    relay_session session;    // welcomed: its hello taken, and it was told who uses the port
};

// tagterm's service on its open port.
struct relay_service {
    char port[SERIAL_MAX_PATH + 1];
    relay_listener listener;
    relay_channel peer;       // the program being served, or RELAY_NO_CHANNEL
    relay_session session;
    relay_waiter waiting[RELAY_MAX_WAITING];
    size_t waiting_count;
    uint64_t next_look;       // when those who wait are looked at next
};
// A service that serves nothing yet: no rendezvous, no program. Before the
// first relay_serve, so that a stop at any moment finds nothing to undo.
void relay_service_init(relay_service* service);
// Makes the port's rendezvous (under its first identity key): false with why.
bool relay_serve(const char* port, relay_service* service, char* why, size_t size);
// Takes the rendezvous away; only closes and an unlink (safe at an interrupt).
void relay_stop_serving(relay_service* service);
// One step: lets a waiting program in when `may_admit` and none is being
// served (the first that came), tells those that come meanwhile who uses
// the port, and passes what the program sent to the port, waiting up to
// `wait_ms` for it. RELAY_STARTED once the program is welcomed; after
// RELAY_ENDED or RELAY_REFUSED it is no longer served; after
// RELAY_PORT_FAILED the caller ends the session with the port's reason.
relay_event relay_step(relay_service* service, bool may_admit, uint32_t wait_ms);
// Bytes the port received, to the program being served (if any): false
// when it stopped taking them (it is then no longer served).
bool relay_forward(relay_service* service, const uint8_t* bytes, size_t count);
// Ends the session; `gone_reason` (may be null) tells the program that the
// port went away.
void relay_end_session(relay_service* service, const char* gone_reason);
bool relay_serving_someone(const relay_service& service);
