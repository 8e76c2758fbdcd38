// The tag's bytes as the programs show them (tagterm's screen and log,
// tagrun's lines, log and reports): never as they are, so that neither a
// tag nor anything on a network port can move the cursor, retitle the
// window or write the clipboard. A control character is shown as ^X
// (0x7F as ^?), TAB as it is; bytes 0x80 to 0xFF are the characters code
// page 437 (a Windows console's) shows for them, in UTF-8. What comes out
// is valid UTF-8 whatever the bytes were.
#pragma once

#include <cstddef>
#include <cstdint>

// Room a byte's shown text may take.
constexpr size_t SHOWN_BYTE_SIZE = 4;
// A byte as text into `out` (SHOWN_BYTE_SIZE room): the bytes written.
size_t shown_byte(uint8_t byte, char* out);
// CP437 byte -> UTF-8 ("\xb3" -> "│"): the bytes written into `out` (4 room).
size_t cp437_to_utf8(uint8_t byte, char* out);
// A Unicode character typed -> the CP437 byte that shows it ('?' if none).
uint8_t cp437_from_unicode(uint32_t code);
