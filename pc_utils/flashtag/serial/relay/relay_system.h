// The local connection between tagterm and a program that goes through it,
// on each system's own means (relay_posix.cpp, relay_w32.cpp). Only this
// user's programs can reach it:
// - POSIX: a Unix-domain socket in a directory of this user's alone
//   (/run/user/<uid>/flashtag-relay, else /tmp/flashtag-relay-<uid>; a
//   program looks in both), refused if anyone else owns it or may enter
//   it; the peer's user is checked again on each connection where the
//   system tells it (SO_PEERCRED on Linux, getpeereid elsewhere).
// - Windows: a named pipe whose access list admits this user alone, that
//   refuses remote clients, created as the name's first instance (so that
//   no other program can pose as tagterm by taking the name first).
// A rendezvous is named by a port identity key (serial_identify_port).
#pragma once

#include <cstddef>
#include <cstdint>

using relay_channel = intptr_t;
constexpr relay_channel RELAY_NO_CHANNEL = -1;

// tagterm's side: where programs come in.
struct relay_listener {
    intptr_t handle;     // the listening socket, or the pipe instance waiting; -1: none
    char path[256];      // the socket's path, or the pipe's name
};

// Makes the rendezvous for `key`: false with the reason in `why`.
bool relay_listen(const char* key, relay_listener* listener, char* why, size_t size);
// A program that has come in, checked to be this user's: its channel, or
// RELAY_NO_CHANNEL at once when none is waiting.
relay_channel relay_accept(relay_listener* listener);
// Removes the rendezvous. Only a close and an unlink, so that it may run at
// an interrupt.
void relay_unlisten(relay_listener* listener);

// A program's side: the channel to the tagterm that serves `key`, or
// RELAY_NO_CHANNEL when none does (nothing there, or a rendezvous left by a
// tagterm that was killed).
relay_channel relay_connect(const char* key);

// Sends all of `bytes`. A peer that has ended (its end closed: EPIPE or
// ECONNRESET on POSIX, ERROR_BROKEN_PIPE or ERROR_NO_DATA on Windows) is
// told apart from one that has not taken them within `timeout_ms`.
enum relay_send_result { RELAY_SENT, RELAY_SEND_TIMED_OUT, RELAY_PEER_ENDED };
relay_send_result relay_send(relay_channel channel, const uint8_t* bytes, size_t count,
                             uint32_t timeout_ms);
// Up to `max` bytes, waiting at most `timeout_ms` for the first: how many;
// 0 when none came in time; -1 when the peer is gone.
long relay_receive(relay_channel channel, uint8_t* buffer, size_t max, uint32_t timeout_ms);
// The process ID of the program at the channel's other end, as the system
// tells it (0 where it does not).
unsigned long relay_peer_pid(relay_channel channel);
// Safe at an interrupt (POSIX: a close alone).
void relay_close(relay_channel channel);

// This process's ID and its program's name, for a hello.
unsigned long relay_own_pid();
void relay_own_name(char* name, size_t size);

// The rendezvous' name for a key: a short hash of it, in hex, so that any
// key fits a socket path or a pipe name.
void relay_key_name(const char* key, char* name, size_t size);
