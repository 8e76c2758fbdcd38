// --json: the run as events, one complete JSON object a line.
#include "events.h"
#include "common/json.h"
#include "version.h"

namespace {

std::string line(std::string& out)
{
    out += "}\n";
    return out;
}

}  // namespace

std::string event_start(const fleet& f)
{
    std::string out = json_event("start");
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
        json_text(out, "port", p.name);
        out += "}";
    }
    out += "]";
    return line(out);
}

std::string event_present(const fleet_port& p)
{
    std::string out = json_event("present");
    json_text(out, "slot", p.slot);
    json_text(out, "port", p.name);
    json_name(out, "node_id");
    out += p.node_id >= 0 ? std::to_string(p.node_id) : "null";
    json_text(out, "firmware", p.firmware[0] != '\0' ? p.firmware : nullptr);
    return line(out);
}

std::string event_progress(const fleet_port& p, int percent)
{
    std::string out = json_event("progress");
    json_text(out, "slot", p.slot);
    json_number(out, "percent", percent);
    return line(out);
}

std::string event_gone(const fleet_port& p)
{
    std::string out = json_event("gone");
    json_text(out, "slot", p.slot);
    return line(out);
}

std::string event_result(const std::string& record)
{
    std::string out = json_event("result") + ", " + record.substr(1, record.size() - 2);
    return line(out);
}

std::string event_end(unsigned long loaded, unsigned long failed, unsigned long skipped,
                      unsigned long interrupted, int status)
{
    std::string out = json_event("end");
    json_number(out, "loaded", static_cast<long long>(loaded));
    json_number(out, "failed", static_cast<long long>(failed));
    json_number(out, "skipped", static_cast<long long>(skipped));
    json_number(out, "interrupted", static_cast<long long>(interrupted));
    json_number(out, "status", status);
    return line(out);
}
