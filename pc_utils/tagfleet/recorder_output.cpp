// The recorder's output: one thread writes what the recorder posts, so that
// no write to standard output or standard error is ever made under the
// recorder's lock, and a slow or stuck reader holds up that thread alone.
#include "display.h"
#include "platform/platform.h"
#include "recorder_state.h"

#include <cerrno>
#include <chrono>
#include <cstring>

namespace {

// The live display is redrawn this often.
constexpr uint32_t REDRAW_EVERY_MS = 100;

void redraw(fleet& f, size_t* previous)
{
    fleet_recorder& r = *f.recorder;
    std::vector<std::string> text;
    {
        std::lock_guard<std::mutex> lock(r.lock);
        r.redraw_due = false;
        std::vector<char> line(FLEET_LINE_SIZE);
        for (const slot_view& v : r.slots) {
            const fleet_port& p = v.told;
            line[0] = '\0';
            if (!f.options.station) {
                format_port_line(f, p, line.data(), line.size());
            } else if (p.station.listed || p.state != slot_state::empty) {
                // A port -a no longer lists has left, once its result has gone.
                format_station_line(f, p, v.hook_note.c_str(), line.data(), line.size());
            } else {
                continue;
            }
            text.emplace_back(line.data());
        }
        if (f.options.station) {
            format_station_totals(f, r.loaded, r.failed, line.data(), line.size());
            text.emplace_back(line.data());
        }
    }
    std::vector<const char*> lines;
    lines.reserve(text.size());
    for (const std::string& t : text) lines.push_back(t.c_str());
    platform_write_lines_in_place(lines.data(), lines.size(), *previous);
    *previous = lines.size();
}

// A write to `to` failed (`error`), under r.lock: the first one is said on
// standard error, unless that is the stream that failed. Whether the run
// is to stop now (it stops once).
bool output_failed(fleet_recorder& r, FILE* to, int error)
{
    if (r.output_error != 0) return false;
    r.output_error = error != 0 ? error : EIO;
    r.failed_output = to;
    if (to != stderr) {
        char line[256];
        snprintf(line, sizeof line,
                 "tagfleet: Error: Cannot write standard output (%s): the run stops as at "
                 "Ctrl-C; every load under way ends and is recorded\n",
                 strerror(r.output_error));
        post(r, stderr, line);
    }
    return true;
}

}  // namespace

void post(fleet_recorder& r, FILE* to, std::string text, long slot, bool progress)
{
    if (progress) {
        // The newest text of this slot still waiting: a progress event is
        // replaced; anything else, and the new one goes after it.
        for (auto it = r.queue.rbegin(); it != r.queue.rend(); ++it) {
            if (it->slot != slot) continue;
            if (it->progress) {
                it->text = std::move(text);
                return;
            }
            break;
        }
    }
    r.queue.push_back({to, std::move(text), slot, progress});
    r.output_ready.notify_one();
}

// The display is redrawn at most every REDRAW_EVERY_MS.
void write_output(fleet* f)
{
    fleet_recorder& r = *f->recorder;
    size_t previous = 0;
    uint64_t next_redraw = 0;
    std::unique_lock<std::mutex> lock(r.lock);
    for (;;) {
        // No display is drawn on an output that failed.
        bool live = f->live && r.failed_output != stdout;
        if (r.queue.empty()) {
            if (live && r.redraw_due) {
                uint64_t now = platform_now_ms();
                if (now >= next_redraw) {
                    lock.unlock();
                    redraw(*f, &previous);
                    lock.lock();
                    next_redraw = now + REDRAW_EVERY_MS;
                    continue;
                }
                r.output_ready.wait_for(lock, std::chrono::milliseconds(next_redraw - now));
                continue;
            }
            if (r.closing) break;
            r.output_ready.wait(lock);
            continue;
        }
        output_item item = std::move(r.queue.front());
        r.queue.pop_front();
        // Nothing more goes to a stream whose write failed.
        if (item.to == r.failed_output) continue;
        bool redraw_first = live && r.redraw_due;
        lock.unlock();
        // The live display is up to date before a text (the summary) comes under it.
        if (redraw_first) redraw(*f, &previous);
        errno = 0;
        bool written = true;
        if (item.bell) {
            platform_bell();
        } else {
            written = fputs(item.text.c_str(), item.to) != EOF;
        }
        int error = written ? 0 : platform_write_errno(errno);  // the write's own
        // A write the display or the bell made is known by the stream's error.
        if (fflush(item.to) != 0 || ferror(item.to) != 0) {
            if (written) error = platform_write_errno(errno);
            written = false;
        }
        lock.lock();
        if (!written && output_failed(r, item.to, error)) {
            // As at Ctrl-C (not under the lock: the slots tell under it).
            lock.unlock();
            fleet_interrupted = true;
            stop_fleet();
            lock.lock();
        }
    }
    r.output_done = true;
    r.output_ready.notify_all();
}

