// JSON text for the records and events a line's software or a CI job
// reads (tagfleet's, tagrun's): strings in UTF-8, times in UTC. Appends to
// a std::string that the caller writes as one line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// A JSON string: quotes, backslashes and control bytes escaped; valid UTF-8
// as it is; any other byte as the text \xNN (as tag replies are shown), so
// that a line is valid JSON whatever a tag or a file name held. Null text
// is null.
void json_string(std::string& out, const char* text);
// The length of the UTF-8 sequence that starts at `text` (1 to 4), or 0 when
// it is not valid UTF-8 (a stray continuation byte, a sequence cut short,
// an overlong form, a surrogate, past U+10FFFF).
size_t utf8_sequence_length(const unsigned char* text);
// ", "name": " (without the comma after an opening brace).
void json_name(std::string& out, const char* name);
// A name and a string, a number, or a time ("2026-12-09T03:12:14.123Z",
// null for 0).
void json_text(std::string& out, const char* name, const char* text);
void json_number(std::string& out, const char* name, long long value);
void json_time(std::string& out, const char* name, int64_t utc_ms);
// UTC, ms since 1970.
int64_t utc_now_ms();
// An event's beginning, {"event": "<name>", "time": "<now>"; the caller
// adds its fields and the closing brace.
std::string json_event(const char* name);
// The time alone, "2026-12-09T03:12:14.123Z" (24 characters), for the
// journal of node IDs given.
void utc_time_text(int64_t utc_ms, char* text, size_t size);
