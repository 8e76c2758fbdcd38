// The tag's log. Record n holds made-up but varied values, so that every
// field and both fraction widths show up in a readout. Firmware whose
// version's third number is 1 sends records as text lines ("read"); other
// firmware sends 17 binary bytes and a text line per record ("readbin").
#include "tagsim.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace {

constexpr unsigned long LOG_CAPACITY = 1000;

struct log_record {
    uint32_t a, b;
    uint8_t c, d, e;
    uint32_t time;
    uint16_t fraction;
    std::string text;
};

log_record record_number(uint32_t n)
{
    return {n,
            n * 1000 + 7,
            static_cast<uint8_t>(n),
            static_cast<uint8_t>(n * 3),
            static_cast<uint8_t>(n * 7),
            1570453509u + n * 61,  // 07-10-2019 13:05:09 onwards
            static_cast<uint16_t>(42 + n * 1111),
            "event " + std::to_string(n)};
}

std::string as_text(const log_record& r)
{
    time_t t = static_cast<time_t>(r.time);
    tm utc{};
    gmtime_r(&t, &utc);
    char when[64], fraction[16], line[256];
    strftime(when, sizeof when, "%H:%M:%S", &utc);
    snprintf(fraction, sizeof fraction, "%04u", static_cast<unsigned>(r.fraction));
    char date[32];
    strftime(date, sizeof date, "%d-%m-%Y", &utc);
    snprintf(line, sizeof line, "%u\t%u\t%u\t%u\t%u\t%s.%s %s\t%s", r.a, r.b, r.c, r.d, r.e, when,
             fraction, date, r.text.c_str());
    return line;
}

void put_le(std::string& out, uint32_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
}

std::string as_binary(const log_record& r)
{
    std::string out;
    put_le(out, r.a, 4);
    put_le(out, r.b, 4);
    out += static_cast<char>(r.c);
    out += static_cast<char>(r.d);
    out += static_cast<char>(r.e);
    put_le(out, r.time, 4);
    put_le(out, r.fraction, 2);
    return out;
}

void send_records(sim_tag& tag, bool text, uint32_t first, uint32_t last)
{
    static const char* const preamble[] = {"Reading log", "Please wait"};
    for (int i = 0; i < tag.opt.log_preamble; ++i) line_send(tag.line, preamble[i % 2]);
    if (tag.opt.log_no_selected) {
        // A tag that never confirms the selection: lines that are not
        // "Selected ...", more of them than a reader waits through.
        for (int i = 0; i < 4; ++i) line_send(tag.line, "Busy");
        return;
    }
    // Only records the log holds are sent; a range that ends before it
    // starts selects nothing.
    unsigned long count = 0;
    if (first <= last && first < tag.opt.log_records) {
        unsigned long end = last < tag.opt.log_records ? last : tag.opt.log_records - 1;
        count = end - first + 1;
    }
    line_send(tag.line, "Selected " + std::to_string(count) + " records");
    for (unsigned long i = 0; i < count; ++i) {
        log_record r = record_number(static_cast<uint32_t>(first + i));
        if (text) {
            line_send(tag.line, tag.opt.prefix + as_text(r));
            continue;
        }
        std::string bytes = as_binary(r);
        if (tag.opt.log_stall) {
            line_write(tag.line, bytes.data(), 8);  // and nothing more
            return;
        }
        line_write(tag.line, bytes.data(), bytes.size());
        line_send(tag.line, r.text);
    }
    line_send(tag.line, tag.opt.log_final);
}

}  // namespace

bool log_command(sim_tag& tag, const std::string& command)
{
    if (command == "logsize") {
        reply(tag, std::to_string(tag.opt.log_records) + " of " + std::to_string(LOG_CAPACITY));
        return true;
    }
    bool text = tag.text_log;
    const char* word = text ? "read " : "readbin ";
    if (command.rfind(word, 0) != 0) return false;
    char* end = nullptr;
    unsigned long first = strtoul(command.c_str() + std::string(word).size(), &end, 10);
    unsigned long last = strtoul(end, nullptr, 10);
    send_records(tag, text, static_cast<uint32_t>(first), static_cast<uint32_t>(last));
    return true;
}
