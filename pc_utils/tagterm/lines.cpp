// What waits to go to the tag, and the lines of standard input that is not
// a terminal, read on a thread of their own (a read of it blocks).
#include "platform/platform.h"
#include "tagterm.h"

#include <cstring>
#include <mutex>
#include <thread>

bool queue_push(line_queue& q, entry_kind kind, const char* text, size_t length)
{
    if (q.count == TERM_QUEUE_LINES) return false;
    queued& e = q.entries[(q.head + q.count++) % TERM_QUEUE_LINES];
    e.kind = kind;
    e.length = length;
    snprintf(e.text, sizeof e.text, "%s", text);
    return true;
}

void queue_pop(line_queue& q, queued& out)
{
    out = q.entries[q.head];
    q.head = (q.head + 1) % TERM_QUEUE_LINES;
    --q.count;
}

namespace {

struct piped_input {
    std::mutex lock;
    line_queue lines;
    bool ended;
};
piped_input input;

// The next line of standard input into `line` (TERM_LINE_SIZE bytes): its
// length, or -1 at the end of the input. A line ends at LF, CR or CR LF. A
// line longer than TERM_LINE_LONGEST is read to its end and counted; only
// its beginning is kept.
long read_line(char* line)
{
    size_t n = 0;
    int c = getc(stdin);
    if (c == EOF) return -1;
    for (; c != EOF && c != '\n'; c = getc(stdin)) {
        if (c == '\r') {
            int next = getc(stdin);
            if (next != '\n' && next != EOF) ungetc(next, stdin);
            break;
        }
        if (n < TERM_LINE_LONGEST) line[n] = static_cast<char>(c);
        ++n;
    }
    line[n < TERM_LINE_LONGEST ? n : TERM_LINE_LONGEST] = '\0';
    return static_cast<long>(n);
}

void read_piped_input()
{
    char line[TERM_LINE_SIZE];
    for (long length = read_line(line); length >= 0; length = read_line(line)) {
        auto n = static_cast<size_t>(length);
        entry_kind kind = n > TERM_LINE_LONGEST ? ENTRY_REFUSED : ENTRY_LINE;
        for (;;) {
            {
                std::lock_guard<std::mutex> hold(input.lock);
                if (queue_push(input.lines, kind, line, n)) break;
            }
            platform_sleep_ms(10);
        }
    }
    std::lock_guard<std::mutex> hold(input.lock);
    input.ended = true;
}

}  // namespace

void piped_input_begin()
{
    std::thread(read_piped_input).detach();
}

bool piped_input_take(line_queue& to)
{
    std::lock_guard<std::mutex> hold(input.lock);
    queued entry;
    while (input.lines.count > 0 && to.count < TERM_QUEUE_LINES) {
        queue_pop(input.lines, entry);
        queue_push(to, entry.kind, entry.text, entry.length);
    }
    return input.ended && input.lines.count == 0;
}
