// A step's line: its name, then the rest of the line as it stands (no
// quotes needed). "expect" and "fail" take TEXT or /REGEX/, "expect" also
// a final "within S"; "load" a script and an optional final "run".
#include "platform/platform.h"
#include "steps.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace {

std::string trimmed(const std::string& text)
{
    size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return "";
    size_t last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

// Takes a final " WORD VALUE" or " WORD" off `text`: the value into *value.
bool take_last_word(std::string& text, const char* word, std::string* value)
{
    size_t cut = text.rfind(' ');
    std::string last = cut == std::string::npos ? "" : text.substr(cut + 1);
    std::string head = cut == std::string::npos ? "" : trimmed(text.substr(0, cut));
    if (value == nullptr) {
        if (last != word || head.empty()) return false;
        text = head;
        return true;
    }
    size_t cut2 = head.rfind(' ');
    if (cut2 == std::string::npos || head.substr(cut2 + 1) != word) return false;
    *value = last;
    text = trimmed(head.substr(0, cut2));
    return true;
}

bool parse_pattern(const std::string& text, step_pattern& p, std::string& why)
{
    p.source = text;
    p.is_regex = text.size() >= 2 && text.front() == '/' && text.back() == '/';
    if (!p.is_regex) return true;
    p.source = text.substr(1, text.size() - 2);
    if (p.source.empty()) {
        why = "an empty regular expression matches anything";
        return false;
    }
    try {
        p.regex = std::regex(p.source, std::regex::ECMAScript);
    } catch (const std::regex_error& e) {
        // std::regex reports a bad expression only by throwing.
        why = "not a regular expression: /" + p.source + "/ (" + e.what() + ")";
        return false;
    }
    return true;
}

// "FILE:LINE: why".
std::string at_line(const char* path, unsigned number, const std::string& why)
{
    return std::string(path) + ":" + std::to_string(number) + ": " + why;
}

const char* const STEP_NAMES[] = {"load", "reset", "send", "expect", "fail", "wait"};

}  // namespace

bool parse_seconds(const char* text, double longest, uint32_t* ms)
{
    char* end = nullptr;
    errno = 0;
    double s = strtod(text, &end);
    if (text[0] < '0' || text[0] > '9' || *end != '\0' || errno != 0 || !std::isfinite(s) ||
        s > longest) {
        return false;
    }
    *ms = static_cast<uint32_t>(std::lround(s * 1000.0));
    return true;
}

bool parse_step(const std::string& line, unsigned number, step& out, std::string& why)
{
    std::string text = trimmed(line);
    size_t space = text.find_first_of(" \t");
    std::string name = text.substr(0, space);
    std::string rest = space == std::string::npos ? "" : trimmed(text.substr(space));
    out = step{};
    out.number = number;
    size_t kind = 0;
    while (kind < 6 && name != STEP_NAMES[kind]) ++kind;
    if (kind == 6) {
        why = "unknown step \"" + name + "\" (load, reset, send, expect, fail or wait)";
        return false;
    }
    out.kind = static_cast<step_kind>(kind);
    switch (out.kind) {
    case STEP_RESET:
        if (rest.empty()) return true;
        why = "reset takes nothing after it";
        return false;
    case STEP_WAIT:
        if (parse_seconds(rest.c_str(), STEP_LONGEST_S, &out.ms)) return true;
        why = "wait takes seconds (\"wait 0.5\"), not \"" + rest + "\"";
        return false;
    case STEP_LOAD:
        out.auto_run = take_last_word(rest, "run", nullptr);
        out.text = rest;
        if (!rest.empty()) return true;
        why = "load needs a SCRIPT";
        return false;
    case STEP_SEND:
        out.text = rest;
        if (rest.size() <= STEP_LINE_LONGEST) return true;
        why = "a line of " + std::to_string(rest.size()) + " characters: the tag takes lines of up to " +
              std::to_string(STEP_LINE_LONGEST);
        return false;
    case STEP_EXPECT:
    case STEP_FAIL: break;
    }
    std::string within;
    if (out.kind == STEP_EXPECT && take_last_word(rest, "within", &within) &&
        (!parse_seconds(within.c_str(), STEP_LONGEST_S, &out.ms) || out.ms == 0)) {
        why = "within takes seconds (\"within 5\"), not \"" + within + "\"";
        return false;
    }
    if (rest.empty()) {
        why = name + " needs TEXT or /REGEX/";
        return false;
    }
    return parse_pattern(rest, out.pattern, why);
}

bool parse_step_file(const char* path, std::vector<step>& steps, std::string& why)
{
    FILE* f = platform_open_file(path, "rb");
    if (f == nullptr) {
        why = std::string(path) + ": cannot be read (" + strerror(errno) + ")";
        return false;
    }
    std::string all;
    for (int c = 0; (c = fgetc(f)) != EOF;) all += static_cast<char>(c);
    fclose(f);
    // Notepad starts a UTF-8 file with a byte order mark.
    if (all.compare(0, 3, "\xEF\xBB\xBF") == 0) all.erase(0, 3);
    bool ok = true;
    unsigned number = 1;
    for (size_t at = 0; ok && at < all.size(); ++number) {
        size_t end = all.find('\n', at);
        if (end == std::string::npos) end = all.size();
        std::string t = trimmed(all.substr(at, end - at));
        at = end + 1;
        if (t.empty() || t[0] == '#') continue;
        step s;
        ok = parse_step(t, number, s, why);
        if (ok) {
            steps.push_back(s);
        } else {
            why = at_line(path, number, why);
        }
    }
    if (ok && steps.empty()) {
        why = std::string(path) + ": no steps in it";
        ok = false;
    }
    return ok;
}

const char* step_kind_name(step_kind kind) { return STEP_NAMES[kind]; }

std::string step_title(const step& s)
{
    std::string name = STEP_NAMES[s.kind];
    char seconds[32];
    switch (s.kind) {
    case STEP_LOAD: return name + " " + s.text + (s.auto_run ? " run" : "");
    case STEP_RESET: return name;
    case STEP_SEND: return name + " \"" + s.text + "\"";
    case STEP_WAIT:
        snprintf(seconds, sizeof seconds, " %g s", static_cast<double>(s.ms) / 1000.0);
        return name + seconds;
    case STEP_EXPECT:
    case STEP_FAIL: break;
    }
    return name + (s.pattern.is_regex ? " /" + s.pattern.source + "/" : " \"" + s.pattern.source + "\"");
}
