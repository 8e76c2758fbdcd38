// tagfleet --node-ids: node IDs from a pool, each given once, whatever
// runs at once, across runs and after a crash.
#include "target.h"

#include <array>
#include <csignal>
#include <gtest/gtest.h>
#include <memory>
#include <set>
#include <sstream>
#include <unistd.h>

namespace {

constexpr int WAIT_MS = 15000;

// Simulated tags on COM<first> onwards, each typing what it is sent into a
// transcript.
struct Tags {
    Tags(int from, int count, const std::vector<std::string>& args = {}) : first(from)
    {
        for (int com = from; com < from + count; ++com) {
            std::vector<std::string> all = {"--transcript", typed(com)};
            all.insert(all.end(), args.begin(), args.end());
            sims.push_back(std::make_unique<TagSimProcess>(Target::get().port_link(com), all));
        }
    }
    std::string typed(int com) const { return dir.file("typed" + std::to_string(com)); }
    std::vector<std::string> ports() const
    {
        std::vector<std::string> args;
        for (size_t i = 0; i < sims.size(); ++i) {
            args.insert(args.end(), {"-c", std::to_string(first + static_cast<int>(i))});
        }
        return args;
    }
    int first;
    TempDir dir;
    std::vector<std::unique_ptr<TagSimProcess>> sims;
};

// A pool file in the work folder: its path as the program sees it.
std::string pool(const std::string& name, const std::string& content)
{
    const Target& target = Target::get();
    write_file(target.work().file(name), content);
    remove(target.work().file(name + ".given").c_str());
    return target.program_path(name);
}

RunResult load(const std::vector<std::string>& ports, const std::vector<std::string>& more,
               const RunOptions& options = {})
{
    const Target& target = Target::get();
    write_file(target.work().file("n.bas"), "10 PRINT 1\r\n");
    std::vector<std::string> args = ports;
    args.insert(args.end(), more.begin(), more.end());
    args.push_back(target.program_path("n.bas"));
    return target.run_program("tagfleet", args, options);
}

// The IDs a journal gives, one a line, the ID first.
std::vector<int> journal(const std::string& name)
{
    std::istringstream lines(read_file(Target::get().work().file(name + ".given")));
    std::vector<int> ids;
    for (std::string line; std::getline(lines, line);) ids.push_back(std::stoi(line));
    return ids;
}

}  // namespace

// Three tags at once and two IDs: two are given distinct IDs with their
// console's set command, the third is refused before its upload; a second
// run gives none; an old console gets its own command; a tag that ignores
// the command, or refuses it with an error line, fails naming the ID (and
// quoting the line); bad pools are usage errors.
TEST(NodeIds, EachIdOnceWithTheConsolesCommand)
{
    const Target& target = Target::get();
    {
        Tags tags(2, 3);
        std::string report = target.work().file("ids.jsonl");
        remove(report.c_str());
        RunResult r = load(tags.ports(), {"--node-ids", pool("ids", "# line 4\n17-18\n"), "--report",
                                          target.program_path("ids.jsonl")});
        EXPECT_EQ(r.status, 1) << r.out;
        EXPECT_NE(r.out.find("2 node IDs left in " + target.program_path("ids") + " (0 given)\n"),
                  std::string::npos)
            << r.out;
        EXPECT_NE(r.out.find("3 tags: 2 loaded, 1 failed\nFAILED COM"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find(": no node ID left in " + target.program_path("ids")), std::string::npos)
            << r.out;
        std::vector<int> given = journal("ids");
        ASSERT_EQ(given.size(), 2u);
        EXPECT_EQ(std::set<int>(given.begin(), given.end()), (std::set<int>{17, 18}));
        std::string typed;
        for (int com = 2; com <= 4; ++com) typed += read_file(tags.typed(com)) + "|";
        EXPECT_EQ(count_of(typed, "ver\n?_id\n|"), 1u) << typed;  // nothing after identification
        EXPECT_EQ(count_of(typed, "load \"_TXfer_\"\n_id=1"), 2u) << typed;
        EXPECT_EQ(count_of(read_file(report), "\"node_id_before\": 7, \"node_id_given\": true"), 2u)
            << read_file(report);

        r = load(tags.ports(), {"--node-ids", target.program_path("ids")});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(count_of(r.out, "FAILED COM"), 3u) << r.out;
        EXPECT_EQ(journal("ids").size(), 2u);
    }
    {
        // A name Windows takes for its null device: the pool and its journal
        // are files there too.
        Tags old(2, 1, {"--version", "V5.2.1"});
        RunResult r = load(old.ports(), {"--node-ids", pool("nul.old", "30\n")});
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_EQ(read_file(old.typed(2)), "ver\nid\nload \"_TXfer_\"\nid 30\nid\n");
        EXPECT_EQ(journal("nul.old"), std::vector<int>{30});
    }
    for (const auto& [faulty, says] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"--ignore-set-id"}, "answers 7 (its answer to the set command: \"OK\")"},
             {{"--set-id-reply", "E002F flash"},
              "answers 7 (its answer to the set command: \"E002F flash\")"}}) {
        SCOPED_TRACE(faulty[0]);
        Tags deaf(2, 1, faulty);
        RunResult r = load(deaf.ports(), {"--node-ids", pool("deaf", "40\n")});
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.out.find("FAILED COM2: was given node ID 40 and " + says + "\n"), std::string::npos)
            << r.out;
        EXPECT_EQ(journal("deaf"), std::vector<int>{40});  // spent
    }
    for (const auto& [name, content, says] : std::vector<std::array<std::string, 3>>{
             {"bad", "10-20\n255\n", ":2: "},
             {"bad", "10-5\n", ":1: "},
             {"bad", "3\n4, 3\n", ":2: "},
             {"bad", "# none\n", ""},
             {"nul.bad", std::string("10\n2\0", 5), ":2: a NUL byte"}}) {
        SCOPED_TRACE(content);
        RunResult r = load({"-c", "2"}, {"--node-ids", pool(name, content)});
        EXPECT_EQ(r.status, 2) << r.out;
        EXPECT_NE(r.out.find("tagfleet: " + target.program_path(name) + says), std::string::npos)
            << r.out;
    }
}

// Two processes with 8 tags each on one pool of 16 give 16 distinct IDs;
// one killed right after an ID went into the journal never has it given
// again.
TEST(NodeIds, SharedByTwoRunsAndKeptThroughACrash)
{
    const Target& target = Target::get();
    Tags tags(2, 16);
    std::vector<std::string> ports = tags.ports();
    std::string shared = pool("shared", "101-116\n");
    write_file(target.work().file("n.bas"), "10 PRINT 1\r\n");
    auto first = target.start("tagfleet", [&] {
        std::vector<std::string> a(ports.begin(), ports.begin() + 16);
        a.insert(a.end(), {"--node-ids", shared, target.program_path("n.bas")});
        return a;
    }());
    RunResult second = load(std::vector<std::string>(ports.begin() + 16, ports.end()),
                            {"--node-ids", shared});
    RunResult one = first->finish(WAIT_MS * 4);
    EXPECT_EQ(one.status, 0) << one.out;
    EXPECT_EQ(second.status, 0) << second.out;
    std::vector<int> given = journal("shared");
    EXPECT_EQ(given.size(), 16u);
    EXPECT_EQ(std::set<int>(given.begin(), given.end()).size(), 16u);

    if (target.is_wine()) return;  // a signal reaches Wine, not the program
    std::string crash = pool("crash", "1-3\n");
    auto killed = target.start("tagfleet", {"-c", "2", "--node-ids", crash, target.program_path("n.bas")});
    for (int waited = 0; journal("crash").empty() && waited < WAIT_MS; waited += 1) usleep(1000);
    killed.reset();  // SIGKILL
    ASSERT_EQ(journal("crash"), std::vector<int>{1});
    RunResult after = load({"-c", "3"}, {"--node-ids", crash});
    EXPECT_EQ(after.status, 0) << after.out;
    EXPECT_EQ(journal("crash"), (std::vector<int>{1, 2}));
}
