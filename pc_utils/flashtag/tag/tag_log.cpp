// Reading the tag's log. "read <first> <last>" (text records) or "readbin
// <first> <last>" (binary records) is answered, within three lines, by a line
// starting "Selected", then the records, then a line ending in "OK".
//
// A binary record is 17 bytes, little-endian, followed by a text line:
//   u32 a, u32 b, u8 c, u8 d, u8 e, u32 time (s since 1970 UTC), u16 fraction
#include "common/bytes.h"
#include "serial/serial.h"
#include "tag.h"
#include "tag_internal.h"

#include <cstdio>
#include <cstring>

namespace {

// Firmware whose version reply ends ".1" keeps its log as text lines; all
// other firmware sends binary records.
constexpr uint32_t TEXT_LOG_VERSION_THIRD = 1;
constexpr int SELECT_LINES = 3;
constexpr size_t BINARY_RECORD = 17;

struct utc_time {
    unsigned year, month, day, hour, minute, second;
};

// Seconds since 1970-01-01 00:00:00 UTC to the civil date and time (the
// days-to-date conversion of the proleptic Gregorian calendar).
utc_time utc_from_seconds(uint64_t seconds)
{
    utc_time t{};
    uint64_t days = seconds / 86400, rest = seconds % 86400;
    t.hour = static_cast<unsigned>(rest / 3600);
    t.minute = static_cast<unsigned>(rest / 60 % 60);
    t.second = static_cast<unsigned>(rest % 60);
    uint64_t z = days + 719468;  // days since 0000-03-01
    uint64_t era = z / 146097, doe = z % 146097;
    uint64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    uint64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    uint64_t mp = (5 * doy + 2) / 153;
    t.day = static_cast<unsigned>(doy - (153 * mp + 2) / 5 + 1);
    t.month = static_cast<unsigned>(mp < 10 ? mp + 3 : mp - 9);
    t.year = static_cast<unsigned>(yoe + era * 400 + (t.month <= 2 ? 1 : 0));
    return t;
}

// Formats one binary record's fields into `text` (TAG_LONG_REPLY bytes): the
// length written. The fraction is printed with at least four digits; a value
// of 10000 or more shows all five, and the time text has room for them.
size_t format_binary_record(const uint8_t* header, char* text)
{
    const uint8_t* p = header;
    uint32_t a = get_u32_le(&p);
    uint32_t b = get_u32_le(&p);
    unsigned c = *p++, d = *p++, e = *p++;
    uint32_t when = get_u32_le(&p);
    unsigned fraction = get_u16_le(&p);

    utc_time t = utc_from_seconds(when);
    char time_str[64];
    snprintf(time_str, sizeof time_str, "%02u:%02u:%02u.%04u %02u-%02u-%04u", t.hour, t.minute,
             t.second, fraction, t.day, t.month, t.year);
    int n = snprintf(text, TAG_LONG_REPLY, "%lu\t%lu\t%u\t%u\t%u\t%s\t",
                     static_cast<unsigned long>(a), static_cast<unsigned long>(b), c, d, e,
                     time_str);
    return static_cast<size_t>(n);  // at most 62 characters: always fits
}

int32_t read_records(const char* port, bool text_form, uint32_t count,
                     std::vector<std::string>& records)
{
    char text[TAG_LONG_REPLY];
    for (uint32_t i = 0; i < count; ++i) {
        int32_t result = SERIAL_OK;
        if (text_form) {
            result = tag_read_line(port, text, sizeof text);
            if (result != SERIAL_OK) return result;
            strip_reply_prefix(text);
        } else {
            // All 17 bytes must come within one time-out.
            uint8_t header[BINARY_RECORD];
            result = serial_read(port, header, sizeof header);
            if (result != SERIAL_OK) return result;
            size_t used = format_binary_record(header, text);
            // The record's text line completes it; what does not fit is cut.
            result = tag_read_line(port, text + used, sizeof text - used);
            if (result != SERIAL_OK) return result;
        }
        records.emplace_back(text);
    }
    return SERIAL_OK;
}

}  // namespace

int32_t tag_get_log_size(const char* port, uint32_t* used, uint32_t* capacity)
{
    char logsize_str[TAG_SHORT_REPLY];
    int32_t result = tag_command(port, "logsize", logsize_str, sizeof logsize_str);
    if (result != SERIAL_OK) return result;
    const char* p = logsize_str;
    unsigned long value = 0;
    if (!scan_number(&p, &value)) return SERIAL_OK;
    *used = static_cast<uint32_t>(value);
    if (scan_literal(&p, " of") && scan_number(&p, &value)) *capacity = static_cast<uint32_t>(value);
    return SERIAL_OK;
}

int32_t tag_read_log(const char* port, uint32_t first, uint32_t count,
                     std::vector<std::string>& records)
{
    bool text_form = tag_state.version_third == TEXT_LOG_VERSION_THIRD;
    char command[TAG_SHORT_REPLY];
    uint32_t last = first + count - 1;  // wraps for a count of 0, as the tag expects
    int n = snprintf(command, sizeof command, "%s %lu %lu\r", text_form ? "read" : "readbin",
                     static_cast<unsigned long>(first), static_cast<unsigned long>(last));
    note_command(command, static_cast<size_t>(n) - 1);  // without its CR
    int32_t result = serial_write(port, command, static_cast<uint32_t>(n));
    if (result != SERIAL_OK) return result;

    char response[TAG_LONG_REPLY];
    bool selected = false;
    int echoes = 0;
    for (int i = 0; i < SELECT_LINES && !selected;) {
        result = tag_read_line(port, response, sizeof response);
        if (result != SERIAL_OK) return result;
        selected = strncmp(response, "Selected", 8) == 0;
        // A console's echo of the command is not one of the lines that may
        // come before "Selected".
        bool echo = !selected && echoes < MAX_ECHO_LINES &&
                    echo_of(response, command, static_cast<size_t>(n) - 1) != TAG_ECHO_NONE;
        if (echo) {
            ++echoes;
        } else {
            ++i;
        }
    }
    if (!selected) return TAG_ELOGSELECT;
    // "Selected <n> records": a range that runs past the log's end selects
    // fewer than were asked for, and only those follow.
    const char* said = response + 8;
    unsigned long selected_count = 0;
    if (scan_number(&said, &selected_count) && selected_count < count) {
        count = static_cast<uint32_t>(selected_count);
    }

    result = read_records(port, text_form, count, records);
    if (result != SERIAL_OK) return result;

    // "OK" and one more character, normally the CR before the LF.
    result = tag_read_line(port, response, sizeof response);
    if (result != SERIAL_OK) return result;
    size_t len = strlen(response);
    if (len < 3 || response[len - 3] != 'O' || response[len - 2] != 'K') return TAG_ELOGEND;
    return SERIAL_OK;
}
