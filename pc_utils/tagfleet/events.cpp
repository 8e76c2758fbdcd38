// --json: the run as events on standard output, one complete JSON object a
// line, flushed at once, for a line's software to read as it happens:
// start, present, progress, result, gone (a station), end.
#include "fleet.h"
#include "json.h"
#include "platform/platform.h"
#include "version.h"

namespace {

// The progress of one slot goes at most this often, and always at 100 %.
constexpr uint64_t PROGRESS_EVERY_MS = 250;

// {"event": "<name>", "time": "<now>"
std::string event(const char* name)
{
    std::string out = "{";
    json_text(out, "event", name);
    json_time(out, "time", utc_now_ms());
    return out;
}

void emit(std::string& line)
{
    line += "}\n";
    fputs(line.c_str(), stdout);
    fflush(stdout);
}

}  // namespace

void emit_start(fleet& f)
{
    if (!f.options.json) return;
    std::lock_guard<std::mutex> lock(f.lock);
    std::string out = event("start");
    json_text(out, "run_id", f.run.id);
    json_text(out, "tool_version", FLASHTAG_VERSION);
    json_text(out, "host", f.run.host);
    json_text(out, "station", f.run.station);
    json_text(out, "operator", f.run.operator_name);
    json_text(out, "file", f.fullname_utf8);
    json_text(out, "file_sha256", f.sha256);
    json_name(out, "slots");
    out += "[";
    for (const fleet_port& p : f.ports) {
        if (out.back() != '[') out += ", ";
        out += "{";
        json_text(out, "slot", p.slot);
        json_text(out, "port", p.given);
        out += "}";
    }
    out += "]";
    emit(out);
}

void emit_present(fleet& f, const fleet_port& p)
{
    if (!f.options.json) return;
    std::string out = event("present");
    json_text(out, "slot", p.slot);
    json_text(out, "port", p.name);
    json_name(out, "node_id");
    out += p.node_id >= 0 ? std::to_string(p.node_id) : "null";
    json_text(out, "firmware", p.firmware[0] != '\0' ? p.firmware : nullptr);
    emit(out);
}

void emit_progress(fleet& f, fleet_port& p)
{
    if (!f.options.json) return;
    int percent = f.length == 0 ? 100 : static_cast<int>(uint64_t{p.done} * 100 / f.length);
    uint64_t now = platform_now_ms();
    if (percent == p.progress_percent ||
        (percent < 100 && p.progress_ms != 0 && now - p.progress_ms < PROGRESS_EVERY_MS)) {
        return;
    }
    p.progress_percent = percent;
    p.progress_ms = now;
    std::string out = event("progress");
    json_text(out, "slot", p.slot);
    json_number(out, "percent", percent);
    emit(out);
}

void emit_gone(fleet& f, const fleet_port& p)
{
    if (!f.options.json) return;
    std::string out = event("gone");
    json_text(out, "slot", p.slot);
    emit(out);
}

void emit_result(fleet& f, const std::string& record)
{
    if (!f.options.json) return;
    // The record's own fields and values, after the event's.
    std::string out = event("result") + ", " + record.substr(1, record.size() - 2);
    emit(out);
}

void emit_end(fleet& f, int status)
{
    if (!f.options.json) return;
    std::lock_guard<std::mutex> lock(f.lock);
    std::string out = event("end");
    json_number(out, "loaded", static_cast<long long>(f.totals.loaded));
    json_number(out, "failed", static_cast<long long>(f.totals.failed));
    json_number(out, "skipped", static_cast<long long>(f.totals.skipped));
    json_number(out, "interrupted", static_cast<long long>(f.totals.interrupted));
    json_number(out, "status", status);
    emit(out);
}
