// The record a machine reads: JSON Lines, one object per result (the
// recorder appends and flushes each as it comes, so that a run that dies
// keeps what it wrote).
// Each names its run, station, operator, host and tool, so that the
// records of many stations can be merged and told apart.
#include "record.h"
#include "fleet.h"
#include "common/json.h"
#include "version.h"

namespace {

const char* outcome_name(port_outcome outcome)
{
    switch (outcome) {
    case port_outcome::loaded: return "loaded";
    case port_outcome::skipped: return "skipped";
    case port_outcome::interrupted: return "interrupted";
    default: return "failed";
    }
}

}  // namespace

// The first fields keep their order, and "attempts" stays last, for readers
// that rely on it.
std::string format_record(const fleet& f, const fleet_port& p)
{
    std::string out = "{";
    json_text(out, "port", p.name);
    json_text(out, "outcome", outcome_name(p.outcome));
    json_number(out, "result", p.result);
    json_text(out, "reason", p.reason[0] != '\0' ? p.reason : nullptr);
    json_name(out, "node_id");
    out += p.node_id >= 0 ? std::to_string(p.node_id) : "null";
    json_text(out, "firmware", p.firmware[0] != '\0' ? p.firmware : nullptr);
    json_text(out, "file", f.fullname_utf8);
    json_text(out, "file_sha256", f.sha256);
    json_number(out, "bytes_sent", p.bytes_sent);
    json_name(out, "auto_run");
    out += f.options.auto_run ? "true" : "false";
    json_time(out, "started", p.started_ms);
    json_text(out, "slot", p.slot);
    json_name(out, "adapter");
    if (p.usb.vid[0] != '\0') {
        out += "{";
        json_text(out, "vid", p.usb.vid);
        json_text(out, "pid", p.usb.pid);
        json_text(out, "serial", p.usb.serial);
        json_text(out, "location", p.usb.location);
        out += "}";
    } else {
        out += "null";
    }
    json_number(out, "seq", static_cast<long long>(p.seq));
    json_text(out, "run_id", f.run.id);
    json_text(out, "station", f.run.station);
    json_text(out, "operator", f.run.operator_name);
    json_text(out, "host", f.run.host);
    json_text(out, "tool_version", FLASHTAG_VERSION);
    if (f.pool != nullptr) {
        json_name(out, "node_id_before");
        out += p.node_ids.before >= 0 ? std::to_string(p.node_ids.before) : "null";
        json_name(out, "node_id_given");
        out += p.node_ids.given ? "true" : "false";
    }
    char seconds[32];
    snprintf(seconds, sizeof seconds, "%.3f", p.seconds);
    json_name(out, "seconds");
    out += seconds;
    json_number(out, "attempts", p.attempts);
    out += "}";
    return out;
}

