// The recorder: everything the slots tell comes here, under one lock that
// no write to standard output or standard error is ever made under. The
// text for those goes into a queue that the output's thread writes; a
// slow or stuck reader holds up that thread alone.
#include "recorder.h"
#include "display.h"
#include "events.h"
#include "platform/platform.h"
#include "record.h"
#include "recorder_state.h"
#include "serial/serial.h"
#include "slots.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

namespace {

// A slot's progress event goes at most this often, and always at 100 %.
constexpr uint64_t PROGRESS_EVERY_MS = 250;
// After an interrupt, output its reader does not take within this long is
// given up: the run ends.
constexpr uint64_t OUTPUT_GRACE_MS = 750;

// A line of the display outside a terminal (not under --json or -q).
bool lines_shown(const fleet& f) { return !f.live && !f.options.quiet && !f.options.json; }

void post_line(fleet& f, const fleet_port& p, const char* what)
{
    char label[SERIAL_MAX_PATH * 2 + 2];
    port_label(p, label, sizeof label);
    post(*f.recorder, stdout, std::string(label) + ": " + what + "\n", static_cast<long>(p.index));
}

void show(fleet& f)
{
    f.recorder->redraw_due = true;
    if (f.live) f.recorder->output_ready.notify_one();
}

void count(fleet_recorder& r, const fleet_port& p)
{
    switch (p.outcome) {
    case port_outcome::loaded: ++r.loaded; break;
    case port_outcome::skipped: ++r.skipped; break;
    case port_outcome::interrupted: ++r.interrupted; break;
    default: {
        ++r.failed;
        char label[SERIAL_MAX_PATH * 2 + 2];
        port_label(p, label, sizeof label);
        r.failures.push_back(std::string(label) + ": " + p.reason);
    }
    }
}

// Under r.lock. Writes are buffered: the flush (or an error a write left
// behind) says whether this record reached the file.
bool append_record(fleet& f, const std::string& record)
{
    errno = 0;
    fputs((record + "\n").c_str(), f.report);
    if ((fflush(f.report) != 0 || ferror(f.report) != 0) && f.recorder->report_error == 0) {
        f.recorder->report_error = errno != 0 ? errno : EIO;
        return false;
    }
    return true;
}

// Under r.lock. A report deleted, or moved away, while the run writes to
// it would take the records where nobody sees them: one that is no longer
// at its path is made again there, with this record (number `seq`), and
// that is said.
void write_report(fleet& f, const std::string& record, unsigned long seq)
{
    fleet_recorder& r = *f.recorder;
    if (f.report == nullptr) return;
    if (!append_record(f, record) || platform_path_is_file(f.report, f.options.report)) return;
    fclose(f.report);
    f.report = platform_open_append(f.options.report, false);
    if (f.report == nullptr) {
        if (r.report_error == 0) r.report_error = errno != 0 ? errno : EIO;
        return;
    }
    char line[256];
    snprintf(line, sizeof line,
             "tagfleet: the report %.150s was no longer there: made again, from record %lu on\n",
             f.options.report, seq);
    post(r, stderr, line);
    append_record(f, record);
}

// Under r.lock: the result numbered, written, told and counted.
void record(fleet& f, fleet_port& p)
{
    fleet_recorder& r = *f.recorder;
    if (p.seq == 0) p.seq = ++r.seq;
    count(r, p);
    r.slots[p.index].told = p;
    r.slots[p.index].hook_note.clear();
    r.slots[p.index].recorded = true;
    std::string record = format_record(f, p);
    write_report(f, record, p.seq);
    if (f.options.json) post(r, stdout, event_result(record), static_cast<long>(p.index));
    if (lines_shown(f)) {
        char line[FLEET_LINE_SIZE];
        format_result_line(p, line, sizeof line);
        post(r, stdout, line, static_cast<long>(p.index));
    }
    if (f.options.on_result != nullptr &&
        (p.outcome == port_outcome::loaded || p.outcome == port_outcome::failed)) {
        start_hook(f, r.hooks, p);
    }
    // A station's operator hears each FAIL.
    if (f.live && f.options.station && p.outcome == port_outcome::failed) {
        r.queue.push_back({stdout, std::string(), -1, false, true});
    }
    show(f);
}

int summarise(fleet& f)
{
    fleet_recorder& r = *f.recorder;
    std::string out;
    char text[TAG_REASON_SIZE + 2 * SERIAL_MAX_PATH + 128];
    unsigned long tags = r.loaded + r.failed + r.interrupted;
    snprintf(text, sizeof text, "\n%lu tag%s: %lu loaded, %lu failed", tags, tags == 1 ? "" : "s",
             r.loaded, r.failed);
    out += text;
    if (r.interrupted > 0) out += ", " + std::to_string(r.interrupted) + " interrupted";
    if (r.skipped > 0) {
        out += " (" + std::to_string(r.skipped) + (r.skipped == 1 ? " port" : " ports") +
               " without a tag skipped)";
    }
    out += "\n";
    if (f.options.station) {
        // Results come and go on a station's slots: each failure as it came.
        for (const std::string& failure : r.failures) out += "FAILED " + failure + "\n";
    } else {
        // A batch port's one record, in the order the ports were named.
        for (const slot_view& v : r.slots) {
            const fleet_port& p = v.told;
            if (p.outcome != port_outcome::failed) continue;
            char label[SERIAL_MAX_PATH * 2 + 2];
            port_label(p, label, sizeof label);
            out += std::string("FAILED ") + label + ": " + p.reason + "\n";
        }
    }
    for (const std::string& hook : r.hook_failures) out += "on-result failed for " + hook + "\n";
    bool ok = r.failed == 0 && r.interrupted == 0;
    if (f.options.all && tags == 0 && !f.options.station) {
        out += "tagfleet: Error: No tag found\n";
        ok = false;
    }
    if (r.loaded < f.options.expect) {
        snprintf(text, sizeof text, "tagfleet: Error: %lu of the %u tags expected loaded\n",
                 r.loaded, f.options.expect);
        out += text;
        ok = false;
    }
    if (r.report_error != 0) {
        snprintf(text, sizeof text, "tagfleet: cannot write the report %.200s: %s\n",
                 f.options.report, strerror(r.report_error));
        out += text;
        ok = false;
    }
    // The run stopped because its output could not be written (said then).
    if (r.output_error != 0) ok = false;
    // A station ends at Ctrl-C as a matter of course.
    if (fleet_interrupted && r.output_error == 0) {
        out += f.options.station ? "tagfleet: Station stopped; every port was released\n"
                                 : "tagfleet: Error: Interrupted; every port was released\n";
    }
    int status = ok ? 0 : 1;
    // Under --json standard output is the events' alone; standard output
    // that could not be written has the summary go to standard error.
    post(r, f.options.json || r.failed_output == stdout ? stderr : stdout, out);
    if (f.options.json) {
        post(r, stdout, event_end(r.loaded, r.failed, r.skipped, r.interrupted, status));
    }
    return status;
}

}  // namespace

fleet::fleet() = default;
fleet::~fleet() = default;

void recorder_open(fleet& f)
{
    f.recorder = std::make_unique<fleet_recorder>();
    fleet_recorder& r = *f.recorder;
    r.slots.resize(f.ports.size());
    for (size_t i = 0; i < r.slots.size(); ++i) {
        r.slots[i].told = f.ports[i];
        r.slots[i].told.index = i;
    }
    if (f.options.json) post(r, stdout, event_start(f));
    r.redraw_due = true;
    r.output = std::thread(write_output, &f);
}

void recorder_add_slot(fleet& f, const fleet_port& p)
{
    fleet_recorder& r = *f.recorder;
    std::lock_guard<std::mutex> lock(r.lock);
    r.slots.emplace_back();
    r.slots.back().told = p;
    r.slots.back().told.index = r.slots.size() - 1;
    show(f);
}

unsigned long recorder_number(fleet& f)
{
    fleet_recorder& r = *f.recorder;
    std::lock_guard<std::mutex> lock(r.lock);
    return ++r.seq;
}

void tell_state(fleet& f, const fleet_port& p)
{
    fleet_recorder& r = *f.recorder;
    std::lock_guard<std::mutex> lock(r.lock);
    slot_view& v = r.slots[p.index];
    slot_state before = v.told.state;
    // A station's slot that stays empty for a reason (a port in use, one
    // tagterm holds) says it once.
    bool new_reason = f.options.station && p.state == slot_state::empty && p.station.empty_why[0] != '\0' &&
                      strcmp(v.told.station.empty_why, p.station.empty_why) != 0;
    v.told = p;
    if (!f.options.station && before == slot_state::waiting && p.state == slot_state::connecting &&
        lines_shown(f)) {
        post_line(f, p, "started");
    }
    if (new_reason && lines_shown(f)) post_line(f, p, p.station.empty_why);
    show(f);
}

void tell_present(fleet& f, const fleet_port& p)
{
    fleet_recorder& r = *f.recorder;
    std::lock_guard<std::mutex> lock(r.lock);
    slot_view& v = r.slots[p.index];
    v.told = p;
    v.progress_percent = -1;
    v.progress_ms = 0;
    if (f.options.json) post(r, stdout, event_present(p), static_cast<long>(p.index));
    if (f.options.station && lines_shown(f)) {
        char what[64];
        if (p.node_id >= 0) {
            snprintf(what, sizeof what, "tag %d present", p.node_id);
        } else {
            snprintf(what, sizeof what, "tag present (its node ID not read)");
        }
        post_line(f, p, what);
    }
    show(f);
}

void tell_progress(fleet& f, const fleet_port& p)
{
    fleet_recorder& r = *f.recorder;
    std::lock_guard<std::mutex> lock(r.lock);
    slot_view& v = r.slots[p.index];
    v.told = p;
    show(f);
    if (!f.options.json) return;
    int percent = f.length == 0 ? 100 : static_cast<int>(uint64_t{p.done} * 100 / f.length);
    uint64_t now = platform_now_ms();
    if (percent == v.progress_percent ||
        (percent < 100 && v.progress_ms != 0 && now - v.progress_ms < PROGRESS_EVERY_MS)) {
        return;
    }
    v.progress_percent = percent;
    v.progress_ms = now;
    post(r, stdout, event_progress(p, percent), static_cast<long>(p.index), true);
}

void tell_gone(fleet& f, const fleet_port& p)
{
    fleet_recorder& r = *f.recorder;
    std::lock_guard<std::mutex> lock(r.lock);
    r.slots[p.index].told = p;
    if (f.options.json) post(r, stdout, event_gone(p), static_cast<long>(p.index));
    if (lines_shown(f)) post_line(f, p, "tag gone");
    show(f);
}

bool tell_result(fleet& f, const fleet_port& p)
{
    fleet_recorder& r = *f.recorder;
    std::lock_guard<std::mutex> lock(r.lock);
    // A port of a batch run has one result; a station's slot one per tag.
    if (!f.options.station && r.slots[p.index].recorded) return false;
    fleet_port recorded = p;
    record(f, recorded);
    // --count loads have their results: none is under way, the station ends.
    if (r.slots[p.index].loading) {
        r.slots[p.index].loading = false;
        ++r.loads_ended;
    }
    if (f.options.count > 0 && r.loads_ended >= f.options.count) stop_fleet();
    return true;
}

bool may_start_load(fleet& f, const fleet_port& p)
{
    fleet_recorder& r = *f.recorder;
    std::lock_guard<std::mutex> lock(r.lock);
    if (f.options.count == 0 || r.loads_started < f.options.count) {
        ++r.loads_started;
        r.slots[p.index].loading = true;
        return true;
    }
    return false;
}

void tell_hook_failed(fleet& f, size_t index, const std::string& label, unsigned long seq,
                      const char* why)
{
    fleet_recorder& r = *f.recorder;
    std::lock_guard<std::mutex> lock(r.lock);
    r.slots[index].hook_note = std::string("on-result: ") + why;
    r.hook_failures.push_back(label + " (result " + std::to_string(seq) + "): " + why);
    if (lines_shown(f)) post(r, stdout, label + ": on-result: " + why + "\n");
    show(f);
}

int recorder_close(fleet& f)
{
    fleet_recorder& r = *f.recorder;
    std::unique_lock<std::mutex> lock(r.lock);
    // Every port of a batch run has its record: one no upload reached is
    // interrupted; one whose slot's check failed has that failure.
    if (!f.options.station) {
        for (const slot_view& v : r.slots) {
            if (v.recorded) continue;
            fleet_port last = v.told;
            if (last.outcome == port_outcome::pending) {
                last.outcome = port_outcome::interrupted;
                last.result = APP_ESTOPPED;
                last.reason[0] = '\0';
            }
            last.state = slot_state::done;
            record(f, last);
        }
    }
    // The --on-result commands, those for these last records too (their
    // ends are told under the lock).
    lock.unlock();
    wait_for_hooks(r.hooks);
    lock.lock();
    if (f.report != nullptr) {
        errno = 0;
        if (fclose(f.report) != 0 && r.report_error == 0) r.report_error = errno != 0 ? errno : EIO;
        f.report = nullptr;
    }
    int status = summarise(f);
    r.closing = true;
    r.output_ready.notify_all();
    // All of it is written, unless the run was interrupted and its reader
    // does not take it in time.
    uint64_t give_up = 0;
    while (!r.output_done) {
        if (fleet_interrupted && give_up == 0) give_up = platform_now_ms() + OUTPUT_GRACE_MS;
        if (give_up != 0 && platform_now_ms() >= give_up) break;
        r.output_ready.wait_for(lock, std::chrono::milliseconds(50));
    }
    bool written = r.output_done;
    // Output that failed after the summary was made fails the run too.
    if (r.output_error != 0) status = 1;
    lock.unlock();
    if (written) {
        r.output.join();
        return status;
    }
    // The output's thread is stuck in a write that may never return; the
    // process ends without it (stdio's exit would wait for its lock).
    r.output.detach();
    platform_run_ended();
    std::_Exit(status);
}
