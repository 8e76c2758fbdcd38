// The pool of node IDs and its journal. The journal is the truth of what
// has been given: it is read again, under its lock, before every take, and
// a line goes to the disk before its ID goes to a tag. A line reads
//   17<TAB>2026-12-09T03:12:14.123Z<TAB>run_id<TAB>seq<TAB>slot<TAB>port<TAB>node ID before
// ("-" when the tag gave none); only the ID counts, the rest is for people.
#include "node_pool.h"

#include "common/json.h"
#include "node_pool_text.h"
#include "platform/platform.h"

#include <cerrno>
#include <chrono>
#include <cstring>

namespace {

// Another process holds the lock only to read the journal and append a line.
constexpr uint32_t LOCK_WAIT_MS = 5000;

unsigned count_given(const node_pool& pool)
{
    unsigned given = 0;
    for (unsigned id = NODE_POOL_FIRST_ID; id <= NODE_POOL_LAST_ID; ++id) {
        given += pool.in_pool[id] && pool.given[id] ? 1 : 0;
    }
    return given;
}

unsigned count_left(const node_pool& pool)
{
    unsigned open = 0;
    for (unsigned id = NODE_POOL_FIRST_ID; id <= NODE_POOL_LAST_ID; ++id) {
        open += pool.in_pool[id] && !pool.given[id] ? 1 : 0;
    }
    return open > pool.reserved ? open - pool.reserved : 0;
}

// A last line without its LF: the system stopped while it was written (a
// power cut; a process that dies leaves whole lines, each written at once),
// or a hand added it without one. Its ID counts as given, up to where the
// bytes turn to NULs (the blocks a power cut leaves unwritten): a disk that
// said "written" too early may have lost the end of a line whose ID was
// returned. A number cut short may name an ID that was never given; at
// worst that ID is spent.
struct journal_tail {
    long cut = -1;  // where the line begins; -1: the journal ends in LF
    long keep = 0;  // how much of it stays: 0 when its ID is not whole
};

// The journal from its start into pool.given, with its lock held.
node_pool_result read_journal(node_pool& pool, journal_tail* tail, char* why, size_t size)
{
    FILE* in = pool.journal;
    // Also writes out what a failed write left in the stream's buffer.
    if (fseek(in, 0, SEEK_SET) != 0) {
        pool_fail(why, size, pool.journal_path, 0, "cannot read it: %s", strerror(errno));
        return NODE_POOL_BAD_JOURNAL;
    }
    memset(pool.given, 0, sizeof pool.given);
    char line[NODE_POOL_MAX_LINE + 1] = "";
    for (int number = 1;; ++number) {
        long start = ftell(in);
        line_read r = pool_read_line(in, line);
        if (!r.got) break;
        // A journal saved from Notepad starts with a byte-order mark.
        const char* p = number == 1 && strncmp(line, "\xEF\xBB\xBF", 3) == 0 ? line + 3 : line;
        unsigned id = 0;
        // An ID, then its fields; an ID alone (written by hand) counts too.
        bool whole = pool_parse_number(p, &id) && (*p == '\t' || *p == '\0') && pool_is_node_id(id);
        if (!r.ended) {
            tail->cut = start;
            tail->keep = whole ? static_cast<long>(strlen(line)) : 0;
            if (whole) pool.given[id] = true;
            break;
        }
        char written[48];
        pool_shown(line, written, sizeof written);
        if (r.nul || r.too_long || !whole) {
            pool_fail(why, size, pool.journal_path, number, "not a line of this journal: \"%s\"", written);
            return NODE_POOL_BAD_JOURNAL;
        }
        pool.given[id] = true;
    }
    if (ferror(in) != 0) {
        pool_fail(why, size, pool.journal_path, 0, "cannot read it: %s", strerror(errno));
        clearerr(in);
        return NODE_POOL_BAD_JOURNAL;
    }
    return NODE_POOL_OK;
}

// The journal's lock, which every process takes to read it or add to it.
node_pool_result lock_journal(node_pool& pool, char* why, size_t size)
{
    if (pool.journal == nullptr) {
        pool_fail(why, size, pool.journal_path, 0, "not open");
        return NODE_POOL_BAD_JOURNAL;
    }
    int error = platform_lock_file(pool.journal, LOCK_WAIT_MS);
    if (error == 0) return NODE_POOL_OK;
    pool_fail(why, size, pool.journal_path, 0, "cannot lock it: %s",
         error == ETIMEDOUT ? "another process has held it for 5 s" : strerror(error));
    return NODE_POOL_BAD_JOURNAL;
}

// Reads the pool file again, as its journal is, for each tag: a pool edited
// during a run counts from the next tag on. A pool that no longer reads
// gives that tag no ID (the old pool may hold IDs taken out of it).
node_pool_result reread_pool(node_pool& pool, char* why, size_t size)
{
    char wrong[NODE_POOL_TEXT_SIZE];
    if (pool_read_file(pool, wrong, sizeof wrong) == NODE_POOL_OK) return NODE_POOL_OK;
    snprintf(why, size, "no node ID from a pool that no longer reads: %s", wrong);
    return NODE_POOL_BAD_POOL;
}

// Reads the journal again, under its lock.
node_pool_result reread_journal(node_pool& pool, char* why, size_t size)
{
    node_pool_result result = lock_journal(pool, why, size);
    if (result != NODE_POOL_OK) return result;
    journal_tail tail;
    result = read_journal(pool, &tail, why, size);
    platform_unlock_file(pool.journal);
    return result;
}

node_pool_result none_left(const node_pool& pool, char* why, size_t size)
{
    int used = snprintf(why, size, "no node ID left in %s (%u given", pool.path, count_given(pool));
    if (used < 0 || static_cast<size_t>(used) >= size) return NODE_POOL_NONE_LEFT;
    snprintf(why + used, size - static_cast<size_t>(used), pool.reserved > 0 ? ", %u for tags loading)" : ")",
             pool.reserved);
    return NODE_POOL_NONE_LEFT;
}

// Appends `id`'s line to the journal and has it on the disk; the lock held
// and the journal just read (`tail`).
node_pool_result append_line(node_pool& pool, unsigned id, const node_pool_tag& tag,
                             const journal_tail& tail, char* why, size_t size)
{
    auto now = std::chrono::system_clock::now().time_since_epoch();
    char time[32], run_id[64], slot[64], port[600], before[12] = "-";
    utc_time_text(std::chrono::duration_cast<std::chrono::milliseconds>(now).count(), time, sizeof time);
    pool_shown(tag.run_id, run_id, sizeof run_id);
    pool_shown(tag.slot, slot, sizeof slot);
    pool_shown(tag.port, port, sizeof port);
    if (tag.node_id_before >= 0) snprintf(before, sizeof before, "%d", tag.node_id_before);
    // A line cut short is cut back to what stays of it, and ended.
    int error = tail.cut >= 0 ? platform_truncate_file(pool.journal, tail.cut + tail.keep) : 0;
    char line[NODE_POOL_MAX_LINE + 2];
    snprintf(line, sizeof line, "%s%u\t%s\t%s\t%lu\t%s\t%s\t%s\n", tail.keep > 0 ? "\n" : "", id,
             time, run_id, tag.seq, slot, port, before);
    errno = 0;
    if (error == 0 && (fseek(pool.journal, 0, SEEK_END) != 0 || fputs(line, pool.journal) == EOF)) {
        error = errno != 0 ? errno : EIO;
    }
    if (error == 0) error = platform_sync_file(pool.journal);
    if (error != 0) {
        clearerr(pool.journal);
        pool_fail(why, size, pool.journal_path, 0, "cannot write it: %s", strerror(error));
        return NODE_POOL_BAD_JOURNAL;
    }
    return NODE_POOL_OK;
}

}  // namespace

node_pool_result node_pool_open(node_pool& pool, const char* path, char* why, size_t size)
{
    if (strlen(path) + sizeof ".given" > sizeof pool.journal_path) {
        pool_fail(why, size, "--node-ids", 0, "the name of the pool is too long");
        return NODE_POOL_BAD_POOL;
    }
    snprintf(pool.path, sizeof pool.path, "%s", path);
    // One journal for the pool however it is named: through a link too (a
    // real name too long for the journal's keeps the name as given).
    char real[sizeof pool.journal_path - (sizeof ".given" - 1)];
    platform_real_path(path, real, sizeof real);
    snprintf(pool.journal_path, sizeof pool.journal_path, "%s.given", real);
    node_pool_result result = pool_read_file(pool, why, size);
    if (result != NODE_POOL_OK) return result;
    // A line ends in LF on every system; the commands --on-result starts
    // never hold the journal (nor its lock).
    pool.journal = platform_open_append(pool.journal_path, true);
    if (pool.journal == nullptr) {
        pool_fail(why, size, pool.journal_path, 0, "cannot open it: %s", strerror(errno));
        return NODE_POOL_BAD_JOURNAL;
    }
    return reread_journal(pool, why, size);
}

void node_pool_close(node_pool& pool)
{
    if (pool.journal == nullptr) return;
    // Under the lock: closing writes out what a failed write left behind.
    platform_lock_file(pool.journal, LOCK_WAIT_MS);
    fclose(pool.journal);
    pool.journal = nullptr;
}

unsigned node_pool_left(node_pool& pool)
{
    std::lock_guard<std::mutex> hold(pool.lock);
    return count_left(pool);
}

unsigned node_pool_given(node_pool& pool)
{
    std::lock_guard<std::mutex> hold(pool.lock);
    return count_given(pool);
}

node_pool_result node_pool_reserve(node_pool& pool, char* why, size_t size)
{
    std::lock_guard<std::mutex> hold(pool.lock);
    node_pool_result result = reread_pool(pool, why, size);
    if (result == NODE_POOL_OK) result = reread_journal(pool, why, size);
    if (result != NODE_POOL_OK) return result;
    if (count_left(pool) == 0) return none_left(pool, why, size);
    ++pool.reserved;
    return NODE_POOL_OK;
}

void node_pool_unreserve(node_pool& pool)
{
    std::lock_guard<std::mutex> hold(pool.lock);
    if (pool.reserved > 0) --pool.reserved;
}

node_pool_result node_pool_take(node_pool& pool, const node_pool_tag& tag, unsigned* id,
                                char* why, size_t size)
{
    std::lock_guard<std::mutex> hold(pool.lock);
    if (pool.reserved > 0) --pool.reserved;
    node_pool_result result = reread_pool(pool, why, size);
    if (result == NODE_POOL_OK) result = lock_journal(pool, why, size);
    if (result != NODE_POOL_OK) return result;
    journal_tail tail;
    result = read_journal(pool, &tail, why, size);
    unsigned lowest = 0;
    for (unsigned n = NODE_POOL_FIRST_ID; n <= NODE_POOL_LAST_ID && lowest == 0; ++n) {
        if (pool.in_pool[n] && !pool.given[n]) lowest = n;
    }
    // Another process may have given the last ones since the reservation.
    if (result == NODE_POOL_OK && lowest == 0) result = none_left(pool, why, size);
    if (result == NODE_POOL_OK) result = append_line(pool, lowest, tag, tail, why, size);
    platform_unlock_file(pool.journal);
    if (result != NODE_POOL_OK) return result;
    pool.given[lowest] = true;
    *id = lowest;
    return NODE_POOL_OK;
}

bool node_pool_network_warning(const node_pool& pool, char* text, size_t size)
{
    char kind[64];
    if (!platform_network_file(pool.path, kind, sizeof kind)) return false;
    snprintf(text, size,
             "%s is on a network file system (%s): tagfleet on two computers sharing it may "
             "give one node ID twice; give each computer a pool of its own",
             pool.path, kind);
    return true;
}
