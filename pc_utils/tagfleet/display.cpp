// The text of what the run shows: on a terminal one line per port, redrawn
// in place; elsewhere (logs, CI) one line when a port starts and one when
// it ends. A station shows a line per slot and its totals on a terminal, a
// line per event elsewhere. The recorder writes them.
#include "display.h"
#include "common/bytes.h"
#include "fleet.h"
#include "platform/platform.h"
#include "slots.h"

#include <cstring>
#include <ctime>
#include <string>

namespace {

constexpr unsigned BAR_CELLS = 20;

unsigned percent_of(const fleet& f, const fleet_port& p)
{
    return f.length == 0 ? (p.outcome == port_outcome::loaded ? 100 : 0)
                         : static_cast<unsigned>(uint64_t{p.done} * 100 / f.length);
}

const char* state_words(const fleet_port& p)
{
    switch (p.state) {
    case slot_state::waiting: return "waiting";
    case slot_state::connecting: return "connecting";
    case slot_state::loading: return "loading";
    case slot_state::empty: return "empty";
    case slot_state::held:
    case slot_state::failed:
    case slot_state::done: break;
    }
    switch (p.outcome) {
    case port_outcome::loaded: return "loaded";
    case port_outcome::skipped: return "skipped: ";
    case port_outcome::interrupted: return "interrupted";
    default: return "FAILED: ";
    }
}

void append_bar(char* line, size_t size, size_t* n, unsigned percent)
{
    const bar_glyphs& g = platform_bar_glyphs();
    if (percent > 100) percent = 100;
    append_piece(line, size, n, g.edge);
    for (unsigned j = 0; j < BAR_CELLS; ++j) {
        append_piece(line, size, n, j < percent * BAR_CELLS / 100 ? g.filled : g.empty);
    }
    append_piece(line, size, n, g.edge);
    char piece[16];
    snprintf(piece, sizeof piece, " %3u%%", percent);
    append_piece(line, size, n, piece);
}

// "7", or "?" for a tag whose node ID was not read.
struct node_text {
    explicit node_text(int node_id)
    {
        if (node_id >= 0) {
            snprintf(text, sizeof text, "%d", node_id);
        } else {
            snprintf(text, sizeof text, "?");
        }
    }
    char text[12];
};

// "12:03:41", the local time of a UTC ms.
void clock_text(int64_t utc_ms, char* text, size_t size)
{
    tm t{};
    platform_time_parts(utc_ms / 1000, true, &t);
    strftime(text, size, "%H:%M:%S", &t);
}

}  // namespace

void format_port_line(const fleet& f, const fleet_port& p, char* line, size_t size)
{
    size_t n = 0;
    char piece[SERIAL_MAX_PATH * 2 + 64];
    char label[SERIAL_MAX_PATH * 2 + 2];
    port_label(p, label, sizeof label);
    snprintf(piece, sizeof piece, "%-16s ", label);
    append_piece(line, size, &n, piece);
    if (p.node_id >= 0) {
        snprintf(piece, sizeof piece, "node %3d  ", p.node_id);
    } else {
        snprintf(piece, sizeof piece, "node   -  ");
    }
    append_piece(line, size, &n, piece);
    snprintf(piece, sizeof piece, "%-8s ", p.firmware[0] != '\0' ? p.firmware : "-");
    append_piece(line, size, &n, piece);
    append_bar(line, size, &n, percent_of(f, p));
    append_piece(line, size, &n, "  ");
    append_piece(line, size, &n, state_words(p));
    if (slot_finished(p.state) &&
        (p.outcome == port_outcome::failed || p.outcome == port_outcome::skipped)) {
        append_piece(line, size, &n, p.reason);
    }
}

// A station's slot: "A1 COM7  PASS  node 7  6.1.0  12:03:41", "A2 COM8
// loading  node 8  6.1.0  |bar| 58%", "A3 COM9  empty", "A4 COM10  FAIL
// 12:04:10  <reason>", "A5 COM11  waiting: <why>".
void format_station_line(const fleet& f, const fleet_port& p, const char* note, char* line,
                         size_t size)
{
    size_t n = 0;
    char piece[TAG_REASON_SIZE + 2 * SERIAL_MAX_PATH + 64], label[SERIAL_MAX_PATH * 2 + 2];
    char at[16] = "";
    port_label(p, label, sizeof label);
    snprintf(piece, sizeof piece, "%-16s ", label);
    append_piece(line, size, &n, piece);
    if (p.station.result_ms > 0) clock_text(p.station.result_ms, at, sizeof at);
    const char* green = f.colour ? PLATFORM_GREEN : "";
    const char* red = f.colour ? PLATFORM_RED : "";
    const char* plain = f.colour ? PLATFORM_PLAIN : "";
    if (p.state == slot_state::connecting || p.state == slot_state::loading) {
        snprintf(piece, sizeof piece, " loading  node %s  %s  ", node_text(p.node_id).text,
                 p.firmware);
        append_piece(line, size, &n, piece);
        append_bar(line, size, &n, percent_of(f, p));
    } else if (slot_finished(p.state) && p.outcome == port_outcome::loaded) {
        snprintf(piece, sizeof piece, " %sPASS%s  node %s  %s  %s", green, plain,
                 node_text(p.node_id).text, p.firmware, at);
        append_piece(line, size, &n, piece);
    } else if (slot_finished(p.state) && p.outcome == port_outcome::failed) {
        snprintf(piece, sizeof piece, " %sFAIL%s %s  %s", red, plain, at, p.reason);
        append_piece(line, size, &n, piece);
    } else if (slot_finished(p.state)) {
        append_piece(line, size, &n, " interrupted");
    } else {
        // A slot that waits holds a tag it does not load (--count reached).
        snprintf(piece, sizeof piece, " %s%s%s", p.state == slot_state::waiting ? "waiting" : "empty",
                 p.station.empty_why[0] != '\0' ? ": " : "", p.station.empty_why);
        append_piece(line, size, &n, piece);
    }
    if (note[0] != '\0') {
        snprintf(piece, sizeof piece, "  (%s)", note);
        append_piece(line, size, &n, piece);
    }
}

void format_result_line(const fleet_port& p, char* line, size_t size)
{
    char label[SERIAL_MAX_PATH * 2 + 2];
    port_label(p, label, sizeof label);
    if (p.outcome == port_outcome::loaded) {
        snprintf(line, size, "%s: loaded (node %s, firmware %s, %lu bytes in %.1f s)\n", label,
                 node_text(p.node_id).text, p.firmware, static_cast<unsigned long>(p.bytes_sent),
                 p.seconds);
    } else if (p.outcome == port_outcome::interrupted) {
        snprintf(line, size, "%s: interrupted\n", label);
    } else {
        snprintf(line, size, "%s: %s%s\n", label,
                 p.outcome == port_outcome::skipped ? "skipped: " : "FAILED: ", p.reason);
    }
}

void format_station_totals(const fleet& f, unsigned long loaded, unsigned long failed, char* line,
                           size_t size)
{
    char since[16];
    clock_text(f.run.started_ms, since, sizeof since);
    snprintf(line, size, "loaded %lu, failed %lu since %s", loaded, failed, since);
}
