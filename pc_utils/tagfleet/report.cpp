// The record a machine reads: JSON Lines, one object per port, appended
// and flushed as each port finishes, so that a run that dies keeps what it
// wrote.
#include "common/bytes.h"
#include "fleet.h"

#include <cerrno>
#include <ctime>

namespace {

// The length of the UTF-8 sequence that starts at `text` (1 to 4), or 0 when
// it is not valid UTF-8 (a stray continuation byte, a sequence cut short,
// an overlong form, a surrogate, past U+10FFFF).
size_t utf8_length(const unsigned char* text)
{
    unsigned char b = text[0];
    size_t n = b < 0x80 ? 1 : (b >> 5) == 0x6 ? 2 : (b >> 4) == 0xE ? 3 : (b >> 3) == 0x1E ? 4 : 0;
    if (n <= 1) return n;
    uint32_t c = b & (0x7F >> n);
    for (size_t i = 1; i < n; ++i) {
        if ((text[i] & 0xC0) != 0x80) return 0;  // the NUL included
        c = c << 6 | (text[i] & 0x3F);
    }
    static const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (c < least[n] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0;
    return n;
}

// A JSON string: quotes, backslashes and control bytes escaped; valid UTF-8
// as it is; any other byte as the text \xNN (as tag replies are shown), so
// that a line is valid JSON whatever a tag or a file name held.
void put_string(FILE* out, const char* text)
{
    fputc('"', out);
    const auto* c = reinterpret_cast<const unsigned char*>(text);
    while (*c != '\0') {
        size_t n = utf8_length(c);
        if (*c == '"' || *c == '\\') {
            fprintf(out, "\\%c", *c);
        } else if (*c < 0x20 || *c == 0x7F) {
            fprintf(out, "\\u%04x", *c);
        } else if (n == 0) {
            fprintf(out, "\\\\x%02X", *c);
        } else {
            fwrite(c, 1, n, out);
            c += n - 1;
        }
        ++c;
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
    errno = 0;
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
    put_string(out, f.fullname_utf8);
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
    fputs(", \"slot\": ", out);
    put_string(out, p.slot);
    if (p.usb.vid[0] != '\0') {
        fprintf(out, ", \"adapter\": {\"vid\": \"%s\", \"pid\": \"%s\", \"serial\": ", p.usb.vid,
                p.usb.pid);
        put_string(out, p.usb.serial);
        fputs(", \"location\": ", out);
        put_string(out, p.usb.location);
        fputs("}", out);
    } else {
        fputs(", \"adapter\": null", out);
    }
    fprintf(out, ", \"seconds\": %.3f, \"attempts\": %lu}\n", p.seconds,
            static_cast<unsigned long>(p.attempts));
    // Writes are buffered: the flush (or an error a write left behind)
    // says whether this record reached the file.
    if ((fflush(out) != 0 || ferror(out) != 0) && f.report_error == 0) {
        f.report_error = errno != 0 ? errno : EIO;
    }
}

bool close_report(fleet& f)
{
    if (f.report == nullptr) return true;
    errno = 0;
    if (fclose(f.report) != 0 && f.report_error == 0) f.report_error = errno != 0 ? errno : EIO;
    f.report = nullptr;
    return f.report_error == 0;
}
