#include "common/json.h"

#include "platform/platform.h"

#include <chrono>
#include <cstdio>
#include <cstring>

size_t utf8_sequence_length(const unsigned char* text)
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

void json_string(std::string& out, const char* text)
{
    if (text == nullptr) {
        out += "null";
        return;
    }
    out += '"';
    const auto* c = reinterpret_cast<const unsigned char*>(text);
    while (*c != '\0') {
        size_t n = utf8_sequence_length(c);
        char escaped[8];
        if (*c == '"' || *c == '\\') {
            out += '\\';
            out += static_cast<char>(*c);
        } else if (*c < 0x20 || *c == 0x7F) {
            snprintf(escaped, sizeof escaped, "\\u%04x", *c);
            out += escaped;
        } else if (n == 0) {
            snprintf(escaped, sizeof escaped, "\\\\x%02X", *c);
            out += escaped;
        } else {
            out.append(reinterpret_cast<const char*>(c), n);
            c += n - 1;
        }
        ++c;
    }
    out += '"';
}

void json_name(std::string& out, const char* name)
{
    if (!out.empty() && out.back() != '{') out += ", ";
    out += '"';
    out += name;
    out += "\": ";
}

void json_text(std::string& out, const char* name, const char* text)
{
    json_name(out, name);
    json_string(out, text);
}

void json_number(std::string& out, const char* name, long long value)
{
    json_name(out, name);
    out += std::to_string(value);
}

void json_time(std::string& out, const char* name, int64_t utc_ms)
{
    json_name(out, name);
    if (utc_ms <= 0) {
        out += "null";
        return;
    }
    char text[32];
    utc_time_text(utc_ms, text, sizeof text);
    out += '"';
    out += text;
    out += '"';
}

void utc_time_text(int64_t utc_ms, char* text, size_t size)
{
    tm t{};
    platform_time_parts(utc_ms / 1000, false, &t);
    char day[32];
    strftime(day, sizeof day, "%Y-%m-%dT%H:%M:%S", &t);
    snprintf(text, size, "%s.%03dZ", day, static_cast<int>(utc_ms % 1000));
}

int64_t utc_now_ms()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

std::string json_event(const char* name)
{
    std::string out = "{";
    json_text(out, "event", name);
    json_time(out, "time", utc_now_ms());
    return out;
}
