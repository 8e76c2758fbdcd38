// What the pool of node IDs (node_pool.cpp) reads its two files with: the
// pool file's IDs and ranges, the lines of both files, and the messages
// that name a file and its line.
#pragma once

#include "node_pool.h"

#include <cstddef>
#include <cstdio>

// "file:line: text" (without the line when it is 0) into `why`.
void pool_fail(char* why, size_t size, const char* file, int line, const char* format, ...)
    __attribute__((format(printf, 5, 6)));

// Text from a file or a caller, for a message or a journal field: at most
// `size` - 1 bytes, control bytes (a TAB, a line feed) as "?", "-" for none.
void pool_shown(const char* text, char* out, size_t size);

struct line_read {
    bool got = false;       // false at the end of the file
    bool ended = false;     // by its LF: a last line without one was cut short
    bool nul = false;
    bool too_long = false;
};

// The next line of `in` into `line` (NODE_POOL_MAX_LINE + 1 bytes), without
// its LF or CR LF.
line_read pool_read_line(FILE* in, char* line);

// A number at p (past it), capped at 1000: false when p holds no digit.
bool pool_parse_number(const char*& p, unsigned* value);
bool pool_is_node_id(unsigned id);

// The pool file, read into pool.in_pool; left as it was when it is wrong.
node_pool_result pool_read_file(node_pool& pool, char* why, size_t size);
