// Byte and ASCII helpers shared by the serial driver, the tag connection and
// the application: the wire's little-endian numbers, and case folding for
// names and options (ASCII only, whatever the C locale says).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

inline char ascii_lower(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Appends `piece` and a NUL at out[*n] when both fit in `size` bytes; a
// piece that does not fit is left out whole. *n counts the text, not the NUL.
inline void append_piece(char* out, size_t size, size_t* n, const char* piece)
{
    size_t len = strlen(piece);
    if (*n + len < size) {
        memcpy(out + *n, piece, len + 1);
        *n += len;
    }
}

// Readers that advance *p: two bytes low first; four as two halves, low first.
inline uint16_t get_u16_le(const uint8_t** p)
{
    uint16_t value = static_cast<uint16_t>((*p)[0] | (*p)[1] << 8);
    *p += 2;
    return value;
}

inline uint32_t get_u32_le(const uint8_t** p)
{
    uint32_t low = get_u16_le(p);
    uint32_t high = get_u16_le(p);
    return low | high << 16;
}

// Stores four bytes at dest, lowest first.
inline void put_u32_le(uint32_t value, uint8_t* dest)
{
    for (int i = 0; i < 4; ++i) dest[i] = static_cast<uint8_t>(value >> (8 * i));
}
