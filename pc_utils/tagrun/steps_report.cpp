// What the steps' run tells: a line a step, a JSON event a step (and a
// load's own) and the end, and a JUnit XML report that CI servers read.
// The report is well-formed UTF-8 whatever the tag or the step file held:
// the tag's output is shown text already (valid UTF-8, no control
// character but TAB), and every other text is made so here.
#include "common/json.h"
#include "common/shown_text.h"
#include "platform/platform.h"
#include "steps.h"

#include <cerrno>
#include <cstring>

namespace {

std::string seconds_text(uint64_t ms)
{
    char text[32];
    snprintf(text, sizeof text, "%.2f", static_cast<double>(ms) / 1000.0);
    return text;
}

// Text in an XML document: markup characters as entities, control bytes
// as shown text, a byte that is not UTF-8 as the text \xNN.
std::string xml_text(const std::string& text)
{
    std::string out;
    const auto* c = reinterpret_cast<const unsigned char*>(text.c_str());
    const auto* end = c + text.size();
    while (c < end) {
        size_t n = *c == '\0' ? 1 : utf8_sequence_length(c);
        char shown[SHOWN_BYTE_SIZE + 4];
        if (*c == '&') {
            out += "&amp;";
        } else if (*c == '<') {
            out += "&lt;";
        } else if (*c == '>') {
            out += "&gt;";
        } else if (*c == '"') {
            out += "&quot;";
        } else if (*c == '\n' || *c == '\t') {
            out += static_cast<char>(*c);
        } else if (*c < 0x20 || *c == 0x7F) {
            out.append(shown, shown_byte(*c, shown));
        } else if (n == 0) {
            snprintf(shown, sizeof shown, "\\x%02X", *c);
            out += shown;
        } else {
            out.append(reinterpret_cast<const char*>(c), n);
            c += n - 1;
        }
        ++c;
    }
    return out;
}

struct tally {
    size_t passed = 0, failed = 0, not_run = 0;
};

tally count(const std::vector<step_result>& results)
{
    tally t;
    for (const step_result& r : results) {
        if (r.verdict == STEP_PASSED) ++t.passed;
        if (r.verdict == STEP_FAILED) ++t.failed;
        if (r.verdict == STEP_NOT_RUN) ++t.not_run;
    }
    return t;
}

void add_case(std::string& doc, const std::string& name, uint64_t ms, const char* inner)
{
    doc += "    <testcase classname=\"tagrun\" name=\"" + xml_text(name) + "\" time=\"" +
           seconds_text(ms) + "\"";
    doc += inner[0] == '\0' ? "/>\n" : std::string(">\n") + inner + "    </testcase>\n";
}

}  // namespace

std::string step_line(const step& s, const step_result& r)
{
    std::string title = std::to_string(s.number) + " " + step_title(s);
    if (r.verdict == STEP_PASSED) return "ok   " + title + " " + seconds_text(r.ms) + " s\n";
    std::string line = "FAIL " + title + ": " + r.failure + "\n";
    if (r.last_lines.empty()) return line + "  (the tag has sent nothing)\n";
    line += "  the tag's last lines:\n";
    for (size_t at = 0; at < r.last_lines.size();) {
        size_t end = r.last_lines.find('\n', at);
        line += "  | " + r.last_lines.substr(at, end - at) + "\n";
        at = end + 1;
    }
    return line;
}

std::string step_event(const step& s, const step_result& r)
{
    std::string out;
    if (s.kind == STEP_LOAD) {
        out = json_event("load");
        json_number(out, "step", s.number);
        json_text(out, "script", s.text.c_str());
        json_text(out, "outcome", r.verdict == STEP_PASSED ? "loaded" : "failed");
        json_text(out, "line", r.load_line.c_str());
        out += "}\n";
    }
    std::string e = json_event("step");
    json_number(e, "step", s.number);
    json_text(e, "kind", step_kind_name(s.kind));
    json_text(e, "title", step_title(s).c_str());
    json_text(e, "outcome", r.verdict == STEP_PASSED ? "ok" : "failed");
    json_number(e, "ms", static_cast<long long>(r.ms));
    if (r.verdict == STEP_FAILED) {
        json_text(e, "reason", r.failure.c_str());
        json_text(e, "last_lines", r.last_lines.c_str());
    }
    return out + e + "}\n";
}

std::string end_event(const std::vector<step_result>& results, int status)
{
    tally t = count(results);
    std::string e = json_event("end");
    json_number(e, "passed", static_cast<long long>(t.passed));
    json_number(e, "failed", static_cast<long long>(t.failed));
    json_number(e, "not_run", static_cast<long long>(t.not_run));
    json_number(e, "status", status);
    return e + "}\n";
}

bool write_junit(const char* path, const std::string& suite, const std::vector<step>& steps,
                 const std::vector<step_result>& results, const std::string& connect_failure,
                 const tag_output& out, std::string& why)
{
    tally t = count(results);
    size_t cases = steps.size() + (connect_failure.empty() ? 0 : 1);
    size_t failures = t.failed + (connect_failure.empty() ? 0 : 1);
    uint64_t total_ms = 0;
    for (const step_result& r : results) total_ms += r.ms;
    char stamp[32];
    utc_time_text(utc_now_ms(), stamp, sizeof stamp);
    std::string counts = "tests=\"" + std::to_string(cases) + "\" failures=\"" + std::to_string(failures) +
                         "\" errors=\"0\" skipped=\"" + std::to_string(t.not_run) + "\" time=\"" +
                         seconds_text(total_ms) + "\"";
    std::string doc = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites " + counts + ">\n";
    doc += "  <testsuite name=\"" + xml_text(suite) + "\" " + counts + " timestamp=\"" + stamp + "\">\n";
    if (!connect_failure.empty()) {
        std::string inner = "      <failure message=\"" + xml_text(connect_failure) + "\"/>\n";
        add_case(doc, "connect to the tag", 0, inner.c_str());
    }
    for (size_t i = 0; i < steps.size(); ++i) {
        const step_result& r = results[i];
        std::string inner;
        if (r.verdict == STEP_NOT_RUN) inner = "      <skipped/>\n";
        if (r.verdict == STEP_FAILED) {
            inner = "      <failure message=\"" + xml_text(r.failure) + "\">" + xml_text(r.last_lines) +
                    "</failure>\n";
        }
        add_case(doc, std::to_string(steps[i].number) + " " + step_title(steps[i]), r.ms, inner.c_str());
    }
    doc += "    <system-out>" + xml_text(out.text) + "</system-out>\n  </testsuite>\n</testsuites>\n";
    FILE* f = platform_open_file(path, "wb");
    bool ok = f != nullptr && fwrite(doc.data(), 1, doc.size(), f) == doc.size();
    if (!ok) why = std::string(path) + ": " + strerror(errno);
    if (f != nullptr && fclose(f) != 0 && ok) {
        why = std::string(path) + ": " + strerror(errno);
        ok = false;
    }
    return ok;
}
