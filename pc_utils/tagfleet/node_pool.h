// Node IDs from a pool (--node-ids POOL): the IDs a line may give, read from
// the POOL file (again for each tag), and the journal of those given
// (POOL.given beside it). A tag reserves an ID when it is identified and
// takes one after its upload: the lowest ID not yet given, written to the
// journal and flushed to the disk before it is returned, under a lock that
// every tagfleet process on the computer takes. So no ID is ever given twice: not to two slots at
// once, not in the next run, not after a crash (at worst an ID is spent
// with no tag, and the journal shows it). Thread-safe.
#pragma once

#include <cstddef>
#include <cstdio>
#include <mutex>

// Node IDs a pool may hold: 0 and 255 are no tag's.
constexpr unsigned NODE_POOL_FIRST_ID = 1, NODE_POOL_LAST_ID = 254;
// A line of the pool or the journal, at most.
constexpr size_t NODE_POOL_MAX_LINE = 1024;
// Room for a message (it names the file and the line).
constexpr size_t NODE_POOL_TEXT_SIZE = NODE_POOL_MAX_LINE + 256;

enum node_pool_result {
    NODE_POOL_OK,
    NODE_POOL_BAD_POOL,     // the pool file cannot be read or is wrong: a usage error
    NODE_POOL_BAD_JOURNAL,  // the journal cannot be read, parsed, locked or written
    NODE_POOL_NONE_LEFT,    // every ID of the pool is given or reserved
};

struct node_pool {
    char path[NODE_POOL_MAX_LINE] = "";          // the pool file, as given
    char journal_path[NODE_POOL_MAX_LINE] = "";  // POOL.given
    FILE* journal = nullptr;                     // open while the pool is
    bool in_pool[NODE_POOL_LAST_ID + 1] = {};
    bool given[NODE_POOL_LAST_ID + 1] = {};      // as the journal was read last
    unsigned reserved = 0;                       // by this process's tags
    std::mutex lock;
};

// What the journal's line says of the tag an ID goes to.
struct node_pool_tag {
    const char* run_id;
    unsigned long seq;   // its record's number in the run
    const char* slot;
    const char* port;
    int node_id_before;  // what it answered before; -1 when unknown
};

// Reads the pool file and its journal (made when there is none). Errors
// name the file and line (pool.txt:3: "300": node IDs are 1 to 254).
node_pool_result node_pool_open(node_pool& pool, const char* path, char* why, size_t size);
// Closes the journal (after an open that failed too).
void node_pool_close(node_pool& pool);

// IDs of the pool not given and not reserved; IDs of the pool given.
unsigned node_pool_left(node_pool& pool);
unsigned node_pool_given(node_pool& pool);

// A tag identified reserves an ID (the pool file and the journal read again
// first: the pool may have been edited, another process may have given
// some): NODE_POOL_NONE_LEFT with "no node ID left in pool.txt (40 given)"
// when there is none for it; NODE_POOL_BAD_POOL, saying why, when the pool
// no longer reads.
node_pool_result node_pool_reserve(node_pool& pool, char* why, size_t size);
// A tag whose upload failed gives its reservation back: nothing was spent.
void node_pool_unreserve(node_pool& pool);
// After a tag's upload: its reservation becomes the lowest ID not given of
// the pool as it reads now, whose journal line is on the disk when this
// returns OK; only then may the set command go to the tag. On any other
// result the reservation is given back and the tag gets no ID.
node_pool_result node_pool_take(node_pool& pool, const node_pool_tag& tag, unsigned* id,
                                char* why, size_t size);

// When the system keeps the pool on another computer, a warning that says
// so into `text` (two computers sharing it may give one ID twice): false
// when it is local.
bool node_pool_network_warning(const node_pool& pool, char* text, size_t size);
