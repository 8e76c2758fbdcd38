// What a serial backend supplies to the driver. The driver (serial.cpp)
// owns every public serial_ function: it checks the port name and the
// arguments, finds the port's slot, refuses a slot that is not open and
// keeps the time-out and the reason of the last failure. A backend only
// moves bytes, for ports the driver has already checked, and keeps its own
// state for each port under the slot number it is given.
//
// A new backend writes these operations, an instance of serial_backend,
// and notes each failure with serial_fail (with the OS's own text).
#pragma once

#include "serial.h"

#include <cstddef>
#include <cstdint>

// Slot numbers: 1..SERIAL_MAX_PORT for COMn (0 is never used), then the
// slots of ports named otherwise (device paths, network ports).
constexpr size_t SERIAL_NAMED_SLOTS = SERIAL_MAX_NAMED_PORTS;
constexpr size_t SERIAL_FIRST_NAMED_SLOT = SERIAL_MAX_PORT + 1;
constexpr size_t SERIAL_SLOTS = SERIAL_FIRST_NAMED_SLOT + SERIAL_NAMED_SLOTS;

// The quiet spell that ends an input flush on a local port.
constexpr uint32_t SERIAL_QUIET_MS = 10;
// A backend that waits checks serial_stopped() at least this often.
constexpr uint32_t SERIAL_STOP_CHECK_MS = 250;

// How an input flush reads: reads of `read_size` bytes, each within
// `window_ms`, until one comes back short. A local port reads 50 bytes per
// 10 ms window; a network port reads byte by byte, so that every byte that
// arrives starts the quiet spell again (a link delivers in bursts, with
// gaps that vary).
struct serial_flush_plan {
    uint32_t window_ms;
    uint32_t read_size;
};

struct serial_line {
    uint32_t baud;
    uint8_t data_bits;
    uint8_t parity;     // Windows parity code: 0 none, 1 odd, 2 even
    uint8_t stop_bits;  // 1 or 2, checked by the driver
};

struct serial_backend {
    // Opens `name` for this process alone with the line settings. On
    // failure nothing stays open.
    int32_t (*open)(size_t slot, const char* name, const serial_line& line);
    // Makes `timeout_ms` the total time-out of each later read and write
    // (Windows keeps it in the port); fails when the port is not usable.
    int32_t (*set_timeout)(size_t slot, uint32_t timeout_ms);
    // Exactly `count` bytes within `timeout_ms` in total, or a failure:
    // serial_read's, with the time-out set last (Windows reads with the
    // one kept in the port).
    int32_t (*read)(size_t slot, void* buffer, uint32_t count, uint32_t timeout_ms);
    // The same with a time-out of this read's own, which later reads and
    // writes do not keep (where the port keeps its time-out, it is put back
    // before the next of them).
    int32_t (*read_within)(size_t slot, void* buffer, uint32_t count, uint32_t timeout_ms);
    // What has arrived, 1 to `max` bytes, and how many into *got: waits at
    // most `first_ms` for the first byte, then takes what is there without
    // waiting more. A line quiet that long fails as a read of one byte
    // within `first_ms` does.
    int32_t (*read_some)(size_t slot, void* buffer, uint32_t max, uint32_t first_ms, uint32_t* got);
    int32_t (*write)(size_t slot, const void* bytes, uint32_t count, uint32_t timeout_ms);
    int32_t (*set_dtr)(size_t slot, bool on);
    // What the slot holds, as serial_get_handle shows it.
    serial_handle (*handle)(size_t slot);
    // Gives the port back as it was found. Also called for slots that were
    // never opened or are closed already; on POSIX it runs from signal
    // handlers too, so only async-signal-safe calls.
    void (*close)(size_t slot);
    // Gets the port ready for an input flush (a network server is asked to
    // drop what it holds) and says how to read until the line has gone
    // quiet: SERIAL_QUIET_MS windows, longer where bytes take longer.
    serial_flush_plan (*prepare_flush)(size_t slot);
    // How the port's connection went, for a trace; empty where there is
    // nothing to say.
    void (*describe)(size_t slot, char* text, size_t size);
    // The other processes that have the port `name` open, in words
    // (serial_describe_holders); empty text where none can be seen.
    void (*find_holders)(const char* name, char* text, size_t size);
    // What `name` (checked, not open) is, as serial_identify_port keys it.
    // Null in the relay, which reaches ports the others name.
    void (*identify)(const char* name, serial_port_identity* id);
    // Whether the port `name` (checked, not open) is there; null in the
    // relay.
    bool (*exists)(const char* name);
    // Whether ports are also named by device path ("/dev/ttyUSB0").
    bool takes_device_paths;
};

// prepare_flush and describe for a local port.
inline serial_flush_plan local_quiet_window(size_t) { return {SERIAL_QUIET_MS, 50}; }
inline void nothing_to_describe(size_t, char* text, size_t size)
{
    if (size > 0) text[0] = '\0';
}

// Adds a key to an identity (cut to fit; keys past SERIAL_IDENTITY_KEYS are
// left out).
void serial_add_identity_key(serial_port_identity* id, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// The backend of this build's operating system: serial_posix.cpp or
// serial_w32.cpp (the fuzz targets link a stand-in).
extern const serial_backend serial_os_backend;
// Network ports, on this system's sockets (net/net_port.cpp).
extern const serial_backend serial_net_backend;
// A port that tagterm holds, through tagterm (relay/relay_client.cpp).
extern const serial_backend serial_relay_backend;
// The ports that backend's system has, for serial_list_ports:
// serial_list_posix.cpp or serial_list_w32.cpp.
size_t os_list_ports(serial_port_info* ports, size_t max, bool usb_only);

// The time-out most recently applied to any port, in ms, by this thread (a
// program that talks to several ports at once does so from a thread per
// port). The input flush saves and restores it around its quiet-line reads.
extern thread_local uint32_t serial_current_timeout;

// The time-out of the read under way on this thread when it has one of its
// own (serial_read_within, serial_read_some; the driver sets it): a failure
// noted meanwhile names it, not the thread's.
struct serial_own_timeout {
    bool set;
    uint32_t ms;
};
extern thread_local serial_own_timeout serial_running_read;

// Records why an operation failed, with the OS's own text for os_error (a
// backend may add a hint to it); returns the code the operation fails with:
// SERIAL_EINVAL for SERIAL_FAULT_NAME, else SERIAL_EIO.
int32_t serial_fail(serial_fault fault, const char* call, long os_error, const char* os_text);
