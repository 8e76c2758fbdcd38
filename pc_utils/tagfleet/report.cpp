// The record a machine reads: JSON Lines, one object per port, appended
// and flushed as each port finishes, so that a run that dies keeps what it
// wrote.
#include "common/bytes.h"
#include "fleet.h"

#include <ctime>

namespace {

// A JSON string: quotes, backslashes and control bytes escaped; bytes
// above 0x7E as \u00XX, so that a line is valid JSON whatever a tag sent.
void put_string(FILE* out, const char* text)
{
    fputc('"', out);
    for (const char* c = text; *c != '\0'; ++c) {
        auto b = static_cast<unsigned char>(*c);
        if (b == '"' || b == '\\') {
            fprintf(out, "\\%c", b);
        } else if (b < 0x20 || b > 0x7E) {
            fprintf(out, "\\u%04x", b);
        } else {
            fputc(b, out);
        }
    }
    fputc('"', out);
}

const char* outcome_name(port_outcome outcome)
{
    switch (outcome) {
    case port_outcome::loaded: return "loaded";
    case port_outcome::skipped: return "skipped";
    case port_outcome::interrupted: return "interrupted";
    default: return "failed";
    }
}

// "2026-12-09T03:12:14.123Z"
void format_utc(int64_t ms, char* text, size_t size)
{
    auto seconds = static_cast<time_t>(ms / 1000);
    tm t{};
#ifdef _WIN32
    gmtime_s(&t, &seconds);
#else
    gmtime_r(&seconds, &t);
#endif
    char day[32];
    strftime(day, sizeof day, "%Y-%m-%dT%H:%M:%S", &t);
    snprintf(text, size, "%s.%03dZ", day, static_cast<int>(ms % 1000));
}

}  // namespace

void write_report(fleet& f, const fleet_port& p)
{
    std::lock_guard<std::mutex> lock(f.lock);
    if (f.report == nullptr) return;
    FILE* out = f.report;
    fputs("{\"port\": ", out);
    put_string(out, p.name);
    fprintf(out, ", \"outcome\": \"%s\", \"result\": %d, \"reason\": ", outcome_name(p.outcome),
            static_cast<int>(p.result));
    if (p.reason[0] != '\0') {
        put_string(out, p.reason);
    } else {
        fputs("null", out);
    }
    if (p.node_id >= 0) {
        fprintf(out, ", \"node_id\": %d", p.node_id);
    } else {
        fputs(", \"node_id\": null", out);
    }
    fputs(", \"firmware\": ", out);
    if (p.firmware[0] != '\0') {
        put_string(out, p.firmware);
    } else {
        fputs("null", out);
    }
    fputs(", \"file\": ", out);
    put_string(out, f.fullname);
    char started[40] = "";
    if (p.started_ms > 0) format_utc(p.started_ms, started, sizeof started);
    fprintf(out, ", \"file_sha256\": \"%s\", \"bytes_sent\": %lu, \"auto_run\": %s, \"started\": ",
            f.sha256, static_cast<unsigned long>(p.bytes_sent),
            f.options.auto_run ? "true" : "false");
    if (started[0] != '\0') {
        put_string(out, started);
    } else {
        fputs("null", out);
    }
    fprintf(out, ", \"seconds\": %.3f, \"attempts\": %lu}\n", p.seconds,
            static_cast<unsigned long>(p.attempts));
    fflush(out);
}
