// Serial port driver: blocking, exact-length byte I/O on COM ports addressed
// by name ("COM1".."COM99"; on POSIX also by device path, "/dev/ttyUSB0"),
// and on serial ports shared over the network ("socket://host:4000",
// "rfc2217://host:4001").
// Callers never hold an OS handle; the driver keeps a process-wide table
// from port to open handle and, for each thread, the time-out it applied
// last (a program on several ports runs a thread per port). Every operation
// returns a result code (common/result.h): SERIAL_OK, SERIAL_EINVAL (bad
// name or stop-bit count) or SERIAL_EIO (OS failure or short transfer; a
// read time-out shows this way). The driver also keeps why the last failing
// operation failed, for a message that tells the user what to do.
//
// serial.cpp implements all of this once (the names in serial_names.cpp,
// the failures in serial_error.cpp); the backends behind it (the OS's
// serial_posix.cpp or serial_w32.cpp, net/net_port.cpp for network ports,
// and relay/relay_client.cpp for a port that tagterm holds) supply the few
// operations listed in serial_backend.h.
#pragma once

#include "common/result.h"

#include <cstddef>
#include <cstdint>

// What a port slot holds: a HANDLE on Windows, a file descriptor on POSIX.
using serial_handle = intptr_t;
constexpr serial_handle SERIAL_INVALID_HANDLE = -1;

// Highest port number a name can carry ("COM99").
constexpr int SERIAL_MAX_PORT = 99;
// Highest COM number a system gives a port (COM255); the command line and
// the scan go up to it, though the driver names ports only to COM99.
constexpr int SERIAL_LAST_COM_NUMBER = 255;
// Longest device path (or network port) that names a port.
constexpr size_t SERIAL_MAX_PATH = 255;
// How many ports named otherwise than COMn (device paths, network ports)
// one process may have open at once.
constexpr size_t SERIAL_MAX_NAMED_PORTS = 1024;
// How long a network port's connection may take to be answered.
constexpr uint32_t SERIAL_CONNECT_TIMEOUT_MS = 3000;

// A device path: a name that begins with "/" and fits SERIAL_MAX_PATH.
bool serial_is_device_path(const char* name);
// Whether this backend opens ports by device path (POSIX) or not (Win32).
bool serial_takes_device_paths();
// A network port's name: "socket://" (raw TCP) or "rfc2217://" (telnet
// with the Com Port Control Option) and HOST:PORT, HOST a name, an IPv4
// address or an IPv6 address in brackets. Whether `name` has such a
// scheme; its length and the rest are checked when it is opened.
bool serial_is_network_port(const char* name);
// How an open network port's connection went, in words for a trace: the
// address, the negotiation, the round trip measured. Empty for other ports.
void serial_describe_connection(const char* name, char* text, size_t size);

// A USB serial adapter as the system describes it, without opening it.
constexpr size_t SERIAL_USB_TEXT = 64;
struct serial_usb_identity {
    char vid[5], pid[5];              // "0403", "6001"; empty: not USB, or not known
    char serial[SERIAL_USB_TEXT];     // the serial number; may be empty
    char location[SERIAL_USB_TEXT];   // "1-3.2:1.0": bus-hub ports:configuration.interface
};

// A port the system has, as the port list shows it.
struct serial_port_info {
    char name[SERIAL_MAX_PATH + 1];  // "COM4", "/dev/ttyUSB0"
    char detail[512];                // what the system says of it; may be empty
    serial_usb_identity usb;         // a USB adapter's identity; vid empty if none
};
// Up to `max` ports into `ports`, in a stable order: how many. Opens none of
// them. With FLASHTAG_PORT_DIR set (POSIX), the port links in that folder.
// `usb_only`: only USB serial devices (ttyUSB*, ttyACM*, cu.usbserial*,
// cu.usbmodem*), the ports a scan tries after COM1..COM255.
size_t serial_list_ports(serial_port_info* ports, size_t max, bool usb_only);

// A USB adapter named by its identity: "usb:VVVV:PPPP" (vendor and product
// ID), "usb:VVVV:PPPP:SERIAL" (and serial number), "usb@LOCATION" (the USB
// jack: "1-3.2", or "1-3.2:1.0" for one port of an adapter with several).
// Such a name is not a port the driver opens: it resolves to one, from the
// port list, without opening anything (opening raises the modem lines,
// which resets some boards).
bool serial_is_usb_form(const char* name);
// The port `form` names now, into `port` (`size` bytes), and the adapter's
// identity into *found (may be null): SERIAL_OK; SERIAL_EINVAL for a
// malformed form; SERIAL_EIO when no adapter matches (SERIAL_FAULT_UNPLUGGED)
// or several do (SERIAL_FAULT_AMBIGUOUS, naming them). A form never picks
// one of several.
int32_t serial_resolve_usb(const char* form, char* port, size_t size, serial_usb_identity* found);
// The identity of the USB adapter behind a port the driver opens, found in
// `listed` (`count` ports from serial_list_ports, listed once for many
// ports): false when it is not a USB adapter or nothing is known.
bool serial_usb_identity_of(const char* name, const serial_port_info* listed, size_t count,
                            serial_usb_identity* identity);

// Why an operation failed, in the classes a user can act on.
enum serial_fault : int32_t {
    SERIAL_FAULT_NONE = 0,    // nothing has failed yet
    SERIAL_FAULT_NAME,        // not a port name the driver knows ("COM100")
    SERIAL_FAULT_MISSING,     // the port does not exist
    SERIAL_FAULT_IN_USE,      // another program holds it
    SERIAL_FAULT_PERMISSION,  // this user may not open it
    SERIAL_FAULT_NOT_SERIAL,  // the device is there but does not work as a serial port
    SERIAL_FAULT_TIMEOUT,     // fewer bytes moved than asked within the time-out
    SERIAL_FAULT_SETTINGS,    // the port refused the line settings asked for
    SERIAL_FAULT_OTHER,       // any other failure of the OS
    // Network ports.
    SERIAL_FAULT_ADDRESS,     // not a well-formed "scheme://HOST:PORT"
    SERIAL_FAULT_NO_HOST,     // the host name does not resolve
    SERIAL_FAULT_REFUSED,     // nothing takes connections on that port
    SERIAL_FAULT_NO_ANSWER,   // the connection was not answered in time
    SERIAL_FAULT_CLOSED,      // the server closed the connection
    SERIAL_FAULT_NO_RFC2217,  // the server does not speak the Com Port Control Option
    SERIAL_FAULT_NO_DATA,     // a stream of telnet commands came, and no data
    SERIAL_FAULT_STOPPED,     // serial_stop_all() was called
    // USB identity forms.
    SERIAL_FAULT_UNPLUGGED,   // no adapter matches
    SERIAL_FAULT_AMBIGUOUS,   // several adapters match
};

struct serial_error {
    serial_fault fault;
    const char* call;  // what failed: "open", "read", ... (a literal)
    long os_error;     // errno or GetLastError(); 0 when the OS gave none
};

// The last failure of any operation on any port. Operations that succeed
// leave it as it was.
serial_error serial_last_error();
// The last failure as words that follow the port's name: "is in use by
// another program", "does not exist", ... Always NUL-terminated.
void serial_describe_error(char* text, size_t size);

// Other programs that have the port open, as far as this user may see them
// (Linux): "cat (pid 4242)". A program that holds a port without locking it
// takes the tag's replies. Empty text when none is seen, and on systems
// whose ports only one program can open.
void serial_describe_holders(const char* name, char* text, size_t size);

// Releases every port this process holds, as serial_close does. Safe to call
// from a signal handler (POSIX), more than once, and from two threads at
// once (each port is released once).
void serial_release_all();

// For a program that ends its own run at an interrupt (several ports, a
// thread each): from now on every open, read and write fails at once
// (SERIAL_FAULT_STOPPED), and one that is waiting ends within a fraction of
// a second (a Windows COM port's read within its time-out), so that no
// command reaches a tag after the interrupt. Closing still works. Safe to
// call from a signal handler.
void serial_stop_all();
bool serial_stopped();

// For the program that holds a port for others to go through (tagterm):
// its own opens never go through another holder. Every other program's
// open of a port that tagterm holds goes through tagterm (relay/relay.h).
void serial_never_relay();
// Whether an open waits its turn while tagterm serves another program with
// the port (the default), or, for a scan, takes it as a port in use and
// moves on.
void serial_relay_wait_for_turn(bool wait);
// An open that waits its turn fails as a port in use after this long.
constexpr uint32_t SERIAL_RELAY_TURN_MS = 60000;
// Called once by an open that waits its turn, with the port and "waiting
// for tagterm (pid N): flashtag (pid M) is using the port", for the
// program to say where it says such things (null, the default: nothing is
// said). It may be called from any thread that opens a port.
using serial_wait_notice = void (*)(const char* port, const char* text);
void serial_relay_on_wait(serial_wait_notice notice);
// Whether this thread's opens pass by a port that tagterm holds, busy or
// idle, as a port in use whose holder (serial_describe_holders) is tagterm:
// for ports found rather than named (a station's -a), where a developer's
// port is not one to load tags on.
void serial_relay_pass_by(bool pass);

// Whether the port is there, as far as the system says without opening
// it: a device file, a COM port the system names, a network port whose host
// name resolves (only a connection can tell more).
bool serial_port_exists(const char* name);

// What a port is, however it is spelled: the device file after links
// (POSIX), the COM number, or the addresses a network port's host resolves
// to, as keys. Two names whose identities share a key name one port:
// "-c 4" and "-c ports/COM4", "socket://localhost:4000" and
// "socket://127.0.0.1:4000". A name that names nothing known is its own key.
constexpr size_t SERIAL_IDENTITY_KEYS = 8;
struct serial_port_identity {
    char keys[SERIAL_IDENTITY_KEYS][80];
    size_t count;
};
void serial_identify_port(const char* name, serial_port_identity* id);
bool serial_same_port(const serial_port_identity& a, const serial_port_identity& b);

// "COM1".."COM9", "COM01".."COM99" (letters in any case) -> 1..99; else -1.
int port_number_from_name(const char* name);

serial_handle serial_get_handle(const char* name);

// parity is the Windows parity code (0 none, 1 odd, 2 even); stop_bits 1 or 2.
int32_t serial_open(const char* name, uint32_t baud, uint8_t data_bits, uint8_t parity,
                    uint8_t stop_bits, uint32_t timeout_ms);
int32_t serial_close(const char* name);
int32_t serial_set_timeout(const char* name, uint32_t timeout_ms);
int32_t serial_get_timeout(const char* name, uint32_t* timeout_ms);
int32_t serial_read(const char* name, void* buffer, uint32_t count);
// Reads with a time-out of their own, leaving the thread's as it is (a
// failure names theirs). Exactly `count` bytes within `timeout_ms`, as
// serial_read does with the thread's time-out:
int32_t serial_read_within(const char* name, void* buffer, uint32_t count, uint32_t timeout_ms);
// What has arrived, 1 to `max` bytes, and how many into *got: waits at
// most `first_ms` for the first byte, then takes what is there without
// waiting more. A line that stays quiet fails as serial_read_within of one
// byte does (SERIAL_FAULT_TIMEOUT), *got 0. A burst is read in a call or a
// few, not a call a byte.
int32_t serial_read_some(const char* name, void* buffer, uint32_t max, uint32_t first_ms,
                         uint32_t* got);
int32_t serial_write(const char* name, const void* bytes, uint32_t count);
int32_t serial_flush_input(const char* name);
int32_t serial_set_dtr(const char* name, bool on);
