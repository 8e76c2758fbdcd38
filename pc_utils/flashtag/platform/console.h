// The console of an interactive program (tagterm): the keyboard one key at
// a time, without the system's echo or line editing, Ctrl-C a key like any
// other; and text written as the console shows it. One implementation per
// platform (console_posix.cpp, console_w32.cpp).
#pragma once

#include <cstddef>
#include <cstdint>

enum console_key_kind {
    KEY_TEXT,       // a character: `code` is its Unicode code point
    KEY_CONTROL,    // a control character: `code` is its byte (Ctrl-C 0x03, Ctrl-] 0x1D)
    KEY_ENTER,
    KEY_BACKSPACE,
    KEY_DELETE,
    KEY_LEFT,
    KEY_RIGHT,
    KEY_HOME,
    KEY_END,
    KEY_UP,
    KEY_DOWN,
};

struct console_key {
    console_key_kind kind;
    uint32_t code;
};

// Standard input as keys: false when it is not a terminal (a console).
// On Windows a Ctrl-C that comes as a console control event comes as the
// key too.
bool console_keys_begin();
// Gives the terminal back its settings; safe at an interrupt (POSIX).
void console_keys_end();
// The next key, when one is waiting (never waits).
bool console_next_key(console_key* key);

// UTF-8 text, as the console shows it (a Windows console is written in
// Unicode; a file or pipe gets the bytes).
void console_write(const char* utf8, size_t length);
// The line the cursor is on, written anew: `utf8` from its first column,
// the rest of the line cleared, the cursor after the text.
void console_rewrite_line(const char* utf8, size_t length);
// The cursor `columns` to the left on its line.
void console_cursor_back(size_t columns);
