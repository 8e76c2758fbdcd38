// What the run shows: on a terminal one line per port, redrawn in place;
// elsewhere (logs, CI) one line when a port starts and one when it ends.
#include "common/bytes.h"
#include "fleet.h"
#include "platform/platform.h"

#include <cstring>

namespace {

constexpr unsigned BAR_CELLS = 20;
constexpr size_t LINE_SIZE = TAG_REASON_SIZE + 2 * SERIAL_MAX_PATH + 128;

unsigned percent_of(const fleet& f, const fleet_port& p)
{
    return f.length == 0 ? (p.outcome == port_outcome::loaded ? 100 : 0)
                         : static_cast<unsigned>(uint64_t{p.done} * 100 / f.length);
}

const char* state_words(const fleet_port& p)
{
    switch (p.phase) {
    case port_phase::waiting: return "waiting";
    case port_phase::connecting: return "connecting";
    case port_phase::uploading: return "loading";
    case port_phase::done: break;
    }
    switch (p.outcome) {
    case port_outcome::loaded: return "loaded";
    case port_outcome::skipped: return "skipped: ";
    case port_outcome::interrupted: return "interrupted";
    default: return "FAILED: ";
    }
}

}  // namespace

void format_port_line(const fleet& f, const fleet_port& p, char* line, size_t size)
{
    const bar_glyphs& g = platform_bar_glyphs();
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
    unsigned percent = percent_of(f, p);
    if (percent > 100) percent = 100;
    append_piece(line, size, &n, g.edge);
    for (unsigned j = 0; j < BAR_CELLS; ++j) {
        append_piece(line, size, &n, j < percent * BAR_CELLS / 100 ? g.filled : g.empty);
    }
    append_piece(line, size, &n, g.edge);
    snprintf(piece, sizeof piece, " %3u%%  ", percent);
    append_piece(line, size, &n, piece);
    append_piece(line, size, &n, state_words(p));
    if (p.phase == port_phase::done &&
        (p.outcome == port_outcome::failed || p.outcome == port_outcome::skipped)) {
        append_piece(line, size, &n, p.reason);
    }
}

void show_port_line(fleet& f, const fleet_port& p)
{
    std::lock_guard<std::mutex> lock(f.lock);
    if (f.options.quiet) return;
    char label[SERIAL_MAX_PATH * 2 + 2];
    port_label(p, label, sizeof label);
    if (p.phase != port_phase::done) {
        printf("%s: started\n", label);
    } else if (p.outcome == port_outcome::loaded) {
        printf("%s: loaded (node %d, firmware %s, %lu bytes in %.1f s)\n", label, p.node_id,
               p.firmware, static_cast<unsigned long>(p.bytes_sent), p.seconds);
    } else if (p.outcome == port_outcome::interrupted) {
        printf("%s: interrupted\n", label);
    } else {
        printf("%s: %s%s\n", label, p.outcome == port_outcome::skipped ? "skipped: " : "FAILED: ",
               p.reason);
    }
}

void redraw(fleet& f, size_t* previous)
{
    std::vector<std::vector<char>> text(f.ports.size(), std::vector<char>(LINE_SIZE));
    std::vector<const char*> lines;
    {
        std::lock_guard<std::mutex> lock(f.lock);
        for (size_t i = 0; i < f.ports.size(); ++i) {
            format_port_line(f, f.ports[i], text[i].data(), LINE_SIZE);
            lines.push_back(text[i].data());
        }
    }
    platform_write_lines_in_place(lines.data(), lines.size(), *previous);
    *previous = lines.size();
}
