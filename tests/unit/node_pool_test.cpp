// The pool of node IDs: the files a line writes (and gets wrong), the order
// IDs are given in, reservations, and the journal as other processes and
// crashes leave it.
#include "node_pool.h"
#include "platform/platform.h"

#include <atomic>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>
#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

class NodePool : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = std::filesystem::temp_directory_path() /
              ("node_pool_test_" + std::to_string(std::random_device{}()));
        std::filesystem::create_directories(dir);
        pool_file = (dir / "pool.txt").string();
        journal_file = pool_file + ".given";
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    static void write(const std::string& path, const std::string& text)
    {
        std::ofstream(path, std::ios::binary) << text;
    }
    static std::string read(const std::string& path)
    {
        std::ostringstream text;
        text << std::ifstream(path, std::ios::binary).rdbuf();
        return text.str();
    }
    // The journal's lines, each cut into its fields.
    std::vector<std::vector<std::string>> journal() const
    {
        std::vector<std::vector<std::string>> lines;
        std::istringstream in(read(journal_file));
        for (std::string line; std::getline(in, line);) {
            std::vector<std::string> fields;
            std::istringstream cut(line);
            for (std::string field; std::getline(cut, field, '\t');) fields.push_back(field);
            lines.push_back(fields);
        }
        return lines;
    }
    // Reserves an ID and takes it for a tag on `slot`: the ID, 0 for none
    // (why not in `why`, NODE_POOL_TEXT_SIZE bytes).
    static unsigned give(node_pool& pool, const char* slot, char* why)
    {
        const size_t size = NODE_POOL_TEXT_SIZE;
        unsigned id = 0;
        if (node_pool_reserve(pool, why, size) != NODE_POOL_OK) return 0;
        node_pool_tag tag{"0123abcd", 4, slot, "COM7", 9};
        EXPECT_EQ(node_pool_take(pool, tag, &id, why, size), NODE_POOL_OK) << why;
        return id;
    }

    std::filesystem::path dir;
    std::string pool_file, journal_file;
    char why[NODE_POOL_TEXT_SIZE] = "";
};

}  // namespace

TEST_F(NodePool, PoolFilesAreReadOrNameTheirFileAndLine)
{
    struct Case {
        std::string text;
        const char* error;  // after "pool.txt"; null: read, with `left` IDs
        unsigned left;
    } cases[] = {
        {"\xEF\xBB\xBF" "10-12, 20  # building 7\r\n\n30,\n", nullptr, 5},
        {"1-254", nullptr, 254},
        {"10-49\n0\n", ":2: \"0\": node IDs are 1 to 254", 0},
        {"255", ":1: \"255\": node IDs are 1 to 254", 0},
        {"10, 200-300", ":1: \"200-300\": node IDs are 1 to 254", 0},
        {"10-5", ":1: the range \"10-5\" is written backwards", 0},
        {"10-49\n# building 7\n60, 45\n", ":3: 45 is in the pool twice (line 1 has it too)", 0},
        {"10\nten\n", ":2: \"ten\" is not a node ID nor a range of them", 0},
        {"1-2-3", ":1: \"1-2-3\" is not a node ID nor a range of them", 0},
        {std::string(1100, '1'), ":1: line longer than 1024 characters", 0},
        {std::string("10\n2\0 3\n", 8), ":2: a NUL byte", 0},
        {"# building 7\n\n", ": holds no node ID", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 40));
        write(pool_file, c.text);
        node_pool pool;
        node_pool_result result = node_pool_open(pool, pool_file.c_str(), why, sizeof why);
        if (c.error == nullptr) {
            EXPECT_EQ(result, NODE_POOL_OK) << why;
            EXPECT_EQ(node_pool_left(pool), c.left);
        } else {
            EXPECT_EQ(result, NODE_POOL_BAD_POOL);
            EXPECT_EQ(why, pool_file + c.error);
        }
        node_pool_close(pool);
    }
    // A pool on this machine's own disk draws no warning; a UNC path does.
    write(pool_file, "1");
    node_pool pool;
    ASSERT_EQ(node_pool_open(pool, pool_file.c_str(), why, sizeof why), NODE_POOL_OK) << why;
    EXPECT_FALSE(node_pool_network_warning(pool, why, sizeof why)) << why;
    node_pool_close(pool);
#ifdef _WIN32
    char kind[64];
    EXPECT_TRUE(platform_network_file("\\\\server\\share\\pool.txt", kind, sizeof kind));
#endif
}

// Lowest first; tags loading at once hold their IDs; the journal keeps
// what was given for the next run.
TEST_F(NodePool, GivesTheLowestIdsAndCountsReservations)
{
    write(pool_file, "30\n20\n");
    node_pool pool;
    ASSERT_EQ(node_pool_open(pool, pool_file.c_str(), why, sizeof why), NODE_POOL_OK) << why;
    EXPECT_EQ(node_pool_left(pool), 2u);
    EXPECT_EQ(node_pool_reserve(pool, why, sizeof why), NODE_POOL_OK);
    EXPECT_EQ(node_pool_reserve(pool, why, sizeof why), NODE_POOL_OK);
    EXPECT_EQ(node_pool_reserve(pool, why, sizeof why), NODE_POOL_NONE_LEFT);
    EXPECT_EQ(why, "no node ID left in " + pool_file + " (0 given, 2 for tags loading)");
    node_pool_unreserve(pool);  // an upload that failed
    EXPECT_EQ(node_pool_left(pool), 1u);
    node_pool_unreserve(pool);

    EXPECT_EQ(give(pool, "A1", why), 20u);
    EXPECT_EQ(give(pool, "A2", why), 30u);
    EXPECT_EQ(give(pool, "A3", why), 0u);
    EXPECT_EQ(why, "no node ID left in " + pool_file + " (2 given)");
    node_pool_close(pool);

    auto lines = journal();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].size(), 7u);
    EXPECT_EQ(lines[0][0], "20");
    EXPECT_EQ(lines[0][1].size(), 24u);  // 2026-12-09T03:12:14.123Z
    EXPECT_EQ(lines[1], (std::vector<std::string>{"30", lines[1][1], "0123abcd", "4", "A2", "COM7", "9"}));

    node_pool next_run;
    ASSERT_EQ(node_pool_open(next_run, pool_file.c_str(), why, sizeof why), NODE_POOL_OK) << why;
    EXPECT_EQ(node_pool_left(next_run), 0u);
    EXPECT_EQ(node_pool_given(next_run), 2u);
    node_pool_close(next_run);
}

// The journal as another process, a power cut or a hand left it. Another
// process's line is never given again; a last line without its LF keeps
// its ID (up to a NUL), and so does a line holding an ID alone; a line that
// is no journal line stops the pool.
TEST_F(NodePool, ReadsTheJournalAgainBeforeEachTake)
{
    struct Case {
        std::string before;
        const char* error;  // after "pool.txt.given"
        unsigned taken;
        const char* after;  // the journal's start after the take
    } cases[] = {
        {"", nullptr, 5, "5\t"},
        {"5\t2026-12-09T0", nullptr, 6, "5\t2026-12-09T0\n6\t"},
        {"5", nullptr, 6, "5\n6\t"},
        {"\xEF\xBB\xBF" "5\n6\n", nullptr, 7, "\xEF\xBB\xBF" "5\n6\n7\t"},
        {std::string("5\t2026\0\0", 8), nullptr, 6, "5\t2026\n6\t"},
        {"5\tx\n6\tx\n7", nullptr, 0, "5\tx\n6\tx\n7"},
        {"5\tx\n6 x\n", ":2: not a line of this journal: \"6 x\"", 0, nullptr},
        {std::string("5\tx\0\n", 5), ":1: not a line of this journal: \"5?x\"", 0, nullptr},
    };
    write(pool_file, "5-7");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.before);
        write(journal_file, "");
        node_pool pool;
        ASSERT_EQ(node_pool_open(pool, pool_file.c_str(), why, sizeof why), NODE_POOL_OK) << why;
        // Written by another process after this one opened the pool.
        write(journal_file, c.before);
        if (c.error != nullptr) {
            EXPECT_EQ(node_pool_reserve(pool, why, sizeof why), NODE_POOL_BAD_JOURNAL);
            EXPECT_EQ(why, journal_file + c.error);
        } else {
            EXPECT_EQ(give(pool, "A1", why), c.taken);
            EXPECT_EQ(read(journal_file).rfind(c.after, 0), 0u) << read(journal_file);
        }
        node_pool_close(pool);
    }
}

// The pool is read again for each tag, as the journal is: an ID taken out
// of it is never given, whenever the tag reserved; a pool that no longer
// reads gives that tag no ID (the old pool is not used), and the next tag
// reads it again.
TEST_F(NodePool, ReadsThePoolAgainForEachTag)
{
    write(pool_file, "20-29\n");
    node_pool pool;
    ASSERT_EQ(node_pool_open(pool, pool_file.c_str(), why, sizeof why), NODE_POOL_OK) << why;
    EXPECT_EQ(give(pool, "A1", why), 20u);
    write(pool_file, "40-49\n");
    EXPECT_EQ(give(pool, "A2", why), 40u);
    EXPECT_EQ(node_pool_left(pool), 9u);
    const std::string wrong = "no node ID from a pool that no longer reads: " + pool_file +
                              ":1: \"4O-49\" is not a node ID nor a range of them";
    node_pool_tag tag{"0123abcd", 5, "A3", "COM7", 9};
    unsigned id = 0;
    // Edited during a tag's upload: its reservation is not an ID.
    for (const auto& [edited, taken] : {std::pair<const char*, unsigned>{"20-29\n", 21u},
                                        {"4O-49\n", 0u}}) {
        SCOPED_TRACE(edited);
        ASSERT_EQ(node_pool_reserve(pool, why, sizeof why), NODE_POOL_OK) << why;
        write(pool_file, edited);
        id = 0;
        node_pool_result result = node_pool_take(pool, tag, &id, why, sizeof why);
        EXPECT_EQ(result, taken != 0 ? NODE_POOL_OK : NODE_POOL_BAD_POOL);
        EXPECT_EQ(id, taken);
        if (taken == 0) {
            EXPECT_EQ(why, wrong);
        }
    }
    EXPECT_EQ(node_pool_reserve(pool, why, sizeof why), NODE_POOL_BAD_POOL);
    EXPECT_EQ(why, wrong);
    write(pool_file, "40-49\n");
    EXPECT_EQ(give(pool, "A4", why), 41u);
    node_pool_close(pool);
    auto lines = journal();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[3][0], "41");
}

#ifndef _WIN32
// A pool named through a link keeps the pool's own journal: its two names
// never give one ID twice.
TEST_F(NodePool, ALinkToThePoolSharesItsJournal)
{
    write(pool_file, "5-6");
    std::string link = (dir / "link.txt").string();
    ASSERT_EQ(symlink(pool_file.c_str(), link.c_str()), 0);
    node_pool by_name, by_link;
    ASSERT_EQ(node_pool_open(by_name, pool_file.c_str(), why, sizeof why), NODE_POOL_OK) << why;
    ASSERT_EQ(node_pool_open(by_link, link.c_str(), why, sizeof why), NODE_POOL_OK) << why;
    EXPECT_EQ(give(by_name, "A1", why), 5u);
    EXPECT_EQ(give(by_link, "A2", why), 6u);
    node_pool_close(by_name);
    node_pool_close(by_link);
}
#endif

#ifndef _WIN32
// Two processes of four slot threads each, sharing a pool of 16: each ID
// goes to one tag.
TEST_F(NodePool, TwoProcessesShareAPool)
{
    write(pool_file, "1-16");
    pid_t children[2];
    for (pid_t& child : children) {
        child = fork();
        if (child != 0) continue;
        node_pool pool;
        std::atomic<bool> ok = node_pool_open(pool, pool_file.c_str(), why, sizeof why) == NODE_POOL_OK;
        std::vector<std::thread> slots;
        for (int s = 0; s < 4; ++s) {
            slots.emplace_back([&pool, &ok] {
                char text[NODE_POOL_TEXT_SIZE];
                for (int n = 0; n < 2; ++n) {
                    if (give(pool, "A1", text) == 0) ok = false;
                }
            });
        }
        for (std::thread& t : slots) t.join();
        node_pool_close(pool);
        _exit(ok ? 0 : 1);
    }
    for (pid_t child : children) {
        int status = -1;
        waitpid(child, &status, 0);
        EXPECT_EQ(status, 0);
    }
    std::set<std::string> ids;
    for (const auto& line : journal()) ids.insert(line[0]);
    EXPECT_EQ(journal().size(), 16u);
    EXPECT_EQ(ids.size(), 16u);
}
#endif
