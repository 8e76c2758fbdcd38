// The console on Windows: input records read one at a time with the
// console's line mode, echo and Ctrl-C processing off; text written in
// Unicode.
#include "console.h"

#include <atomic>
#include <cstdio>
#include <windows.h>

namespace {

HANDLE input() { static HANDLE in = GetStdHandle(STD_INPUT_HANDLE); return in; }
HANDLE output() { static HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE); return out; }

DWORD saved_mode = 0;
bool have_saved = false;
// Ctrl-C that came as a control event rather than a key.
std::atomic<int> control_c_events{0};

BOOL WINAPI on_control_c(DWORD event)
{
    if (event != CTRL_C_EVENT) return FALSE;
    ++control_c_events;
    return TRUE;
}

bool is_console(HANDLE h)
{
    DWORD mode = 0;
    return GetConsoleMode(h, &mode) != 0;
}

bool key_of(const KEY_EVENT_RECORD& k, console_key* key)
{
    if (!k.bKeyDown) return false;
    switch (k.wVirtualKeyCode) {
    case VK_RETURN: *key = {KEY_ENTER, 0}; return true;
    case VK_BACK: *key = {KEY_BACKSPACE, 0}; return true;
    case VK_DELETE: *key = {KEY_DELETE, 0}; return true;
    case VK_LEFT: *key = {KEY_LEFT, 0}; return true;
    case VK_RIGHT: *key = {KEY_RIGHT, 0}; return true;
    case VK_HOME: *key = {KEY_HOME, 0}; return true;
    case VK_END: *key = {KEY_END, 0}; return true;
    case VK_UP: *key = {KEY_UP, 0}; return true;
    case VK_DOWN: *key = {KEY_DOWN, 0}; return true;
    default: break;
    }
    uint32_t c = k.uChar.UnicodeChar;
    if (c == 0) return false;  // Shift, Ctrl and the like alone
    *key = c < 0x20 || c == 0x7F ? console_key{KEY_CONTROL, c} : console_key{KEY_TEXT, c};
    if (c == '\r') key->kind = KEY_ENTER;
    if (c == 0x08) key->kind = KEY_BACKSPACE;
    return true;
}

void write_wide(const wchar_t* text, DWORD length)
{
    DWORD written = 0;
    WriteConsoleW(output(), text, length, &written, nullptr);
}

}  // namespace

bool console_keys_begin()
{
    if (!GetConsoleMode(input(), &saved_mode)) return false;
    have_saved = true;
    SetConsoleMode(input(), ENABLE_EXTENDED_FLAGS);
    SetConsoleCtrlHandler(on_control_c, TRUE);
    return true;
}

void console_keys_end()
{
    if (have_saved) SetConsoleMode(input(), saved_mode);
}

bool console_next_key(console_key* key)
{
    if (control_c_events > 0) {
        --control_c_events;
        *key = {KEY_CONTROL, 0x03};
        return true;
    }
    // The wait, not only the count: Wine's console takes the terminal's
    // input in when the handle is waited on.
    DWORD waiting = 0;
    while (WaitForSingleObject(input(), 0) == WAIT_OBJECT_0 &&
           GetNumberOfConsoleInputEvents(input(), &waiting) && waiting > 0) {
        INPUT_RECORD record{};
        DWORD got = 0;
        if (!ReadConsoleInputW(input(), &record, 1, &got) || got == 0) return false;
        if (record.EventType == KEY_EVENT && key_of(record.Event.KeyEvent, key)) return true;
    }
    return false;
}

void console_write(const char* utf8, size_t length)
{
    if (length == 0) return;
    if (!is_console(output())) {
        fwrite(utf8, 1, length, stdout);
        return;
    }
    wchar_t wide[2048];
    while (length > 0) {
        // Whole characters at a time: a cut never falls inside one.
        size_t n = length < 1024 ? length : 1024;
        while (n < length && (static_cast<unsigned char>(utf8[n]) & 0xC0) == 0x80) --n;
        int w = MultiByteToWideChar(CP_UTF8, 0, utf8, static_cast<int>(n), wide, 2048);
        write_wide(wide, static_cast<DWORD>(w > 0 ? w : 0));
        utf8 += n;
        length -= n;
    }
}

void console_rewrite_line(const char* utf8, size_t length)
{
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!is_console(output()) || !GetConsoleScreenBufferInfo(output(), &info)) {
        fwrite("\r", 1, 1, stdout);
        fwrite(utf8, 1, length, stdout);
        return;
    }
    COORD at{0, info.dwCursorPosition.Y};
    SetConsoleCursorPosition(output(), at);
    console_write(utf8, length);
    if (GetConsoleScreenBufferInfo(output(), &info) && info.dwCursorPosition.X < info.dwSize.X) {
        DWORD cleared = 0;
        FillConsoleOutputCharacterW(output(), L' ',
                                    static_cast<DWORD>(info.dwSize.X - info.dwCursorPosition.X),
                                    info.dwCursorPosition, &cleared);
    }
}

void console_cursor_back(size_t columns)
{
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (columns == 0 || !is_console(output()) || !GetConsoleScreenBufferInfo(output(), &info)) return;
    COORD at = info.dwCursorPosition;
    at.X = static_cast<SHORT>(static_cast<size_t>(at.X) > columns ? at.X - static_cast<SHORT>(columns) : 0);
    SetConsoleCursorPosition(output(), at);
}
