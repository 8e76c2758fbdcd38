// The tag's output as tagterm shows it, kept for the steps to match: CR
// dropped (lines end in LF, with or without a CR before it), each other
// byte as shown_text.h shows it, a line too long to be one broken as
// tagterm's screen breaks it. What is kept is bounded: a tag that talks
// for hours keeps only its newest output, which is all a step looks at.
#include "common/shown_text.h"
#include "steps.h"

#include <cstring>

namespace {

constexpr size_t KEPT_MOST = size_t{4} * 1024 * 1024;
constexpr size_t LINE_LONGEST = 2040;  // shown bytes, as tagterm's screen holds a line

void line_out(tag_output& o, const char* text, size_t length)
{
    if (o.log != nullptr) {
        fwrite(text, 1, length, o.log);
        fputc('\n', o.log);
        fflush(o.log);
    }
    if (o.stream != nullptr) fprintf(o.stream, "%.*s\n", static_cast<int>(length), text);
}

void end_line(tag_output& o)
{
    line_out(o, o.text.data() + o.line_start, o.text.size() - o.line_start);
    o.text += '\n';
    o.line_start = o.text.size();
    if (o.text.size() < KEPT_MOST) return;
    // The older half goes, up to a line's end.
    size_t cut = o.text.find('\n', o.text.size() / 2);
    cut = cut == std::string::npos ? o.text.size() : cut + 1;
    o.text.erase(0, cut);
    o.base += cut;
    o.line_start -= cut;
}

void add(tag_output& o, uint8_t b)
{
    if (b == '\r') return;
    if (b == '\n') {
        end_line(o);
        return;
    }
    char shown[SHOWN_BYTE_SIZE];
    o.text.append(shown, shown_byte(b, shown));
    if (o.text.size() - o.line_start >= LINE_LONGEST) end_line(o);
}

// Whether `b` belongs to the echo of the line sent last; once a byte does
// not, what was taken for the echo is the tag's output after all.
bool echo_byte(tag_output& o, uint8_t b)
{
    if (o.echo_line_end) {
        if (b == '\r') return true;
        o.echo_line_end = false;
        if (b == '\n') return true;
    }
    if (o.echo.empty()) return false;
    if (b == static_cast<uint8_t>(o.echo[o.echo_matched])) {
        if (++o.echo_matched < o.echo.size()) return true;
        o.echo.clear();
        o.echo_matched = 0;
        o.echo_line_end = true;
        return true;
    }
    std::string taken = o.echo.substr(0, o.echo_matched);
    o.echo.clear();
    o.echo_matched = 0;
    for (char c : taken) add(o, static_cast<uint8_t>(c));
    return false;
}

}  // namespace

void output_feed(tag_output& o, const uint8_t* bytes, size_t count, uint64_t now_ms)
{
    if (count > 0) o.last_heard_ms = now_ms;
    for (size_t i = 0; i < count; ++i) {
        if (!echo_byte(o, bytes[i])) add(o, bytes[i]);
    }
}

void output_sent(tag_output& o, const std::string& line)
{
    o.echo = line;
    o.echo_matched = 0;
    o.echo_line_end = false;
}

void output_note(tag_output& o, const std::string& line)
{
    if (o.log == nullptr) return;
    fprintf(o.log, "[tagrun] %s\n", line.c_str());
    fflush(o.log);
}

uint64_t output_end(const tag_output& o) { return o.base + o.text.size(); }

bool output_find(const tag_output& o, const step_pattern& p, uint64_t from, uint64_t* end,
                 std::string* line)
{
    size_t at = from > o.base ? static_cast<size_t>(from - o.base) : 0;
    if (at > o.text.size()) return false;
    size_t found = 0, length = 0;
    if (p.is_regex) {
        std::smatch m;
        auto first = o.text.cbegin() + static_cast<std::ptrdiff_t>(at);
        if (!std::regex_search(first, o.text.cend(), m, p.regex)) return false;
        found = at + static_cast<size_t>(m.position(0));
        length = static_cast<size_t>(m.length(0));
    } else {
        found = o.text.find(p.source, at);
        if (found == std::string::npos) return false;
        length = p.source.size();
    }
    *end = o.base + found + length;
    size_t begins = o.text.rfind('\n', found);
    begins = begins == std::string::npos || begins < at ? at : begins + 1;
    size_t ends = o.text.find('\n', found + length);
    if (ends == std::string::npos) ends = o.text.size();
    *line = o.text.substr(begins, ends - begins);
    return true;
}

std::string output_last_lines(const tag_output& o, size_t count)
{
    size_t at = o.text.size();
    if (at > 0 && o.text[at - 1] == '\n') --at;
    for (size_t lines = 0; at > 0 && lines < count; --at) {
        if (o.text[at - 1] == '\n' && ++lines == count) break;
    }
    std::string last = o.text.substr(at);
    if (!last.empty() && last.back() != '\n') last += '\n';
    return last;
}

void output_finish(tag_output& o)
{
    if (o.line_start < o.text.size()) end_line(o);
}
