// Connection state and text helpers shared inside the tag module.
#pragma once

#include <cstdint>

// The one tag this process talks to. Set by tag_connect and the version
// query; read by the command exchange and the log readout.
struct tag_connection {
    bool echo_seen;          // a reply was the echo of its command
    bool new_console;        // firmware major version is not 5
    uint32_t firmware_version;  // major * 256 + minor
    uint32_t version_third;     // third number of the version reply
};
extern tag_connection tag_state;

// Reads an unsigned decimal number at *text the way scanf's "%lu" does
// (leading white space and a sign allowed), advancing *text past it. False,
// with *value untouched, when there is no number. Overflow saturates instead
// of being undefined.
bool scan_number(const char** text, unsigned long* value);
// Matches `literal` at *text: a space in it matches any run of white space
// (none included), like a scanf pattern; advances *text on success.
bool scan_literal(const char** text, const char* literal);
