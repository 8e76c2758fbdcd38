// tagfleet --station: tags put into slots and taken out (tagsim falls
// silent at SIGUSR1 and answers again at SIGUSR2, as a tag pulled out of a
// slot whose adapter stays), each loaded once per insertion; the records
// and the event stream.
#include "target.h"

#include <chrono>
#include <csignal>
#include <unistd.h>
#include <gtest/gtest.h>
#include <memory>
#include <sstream>

namespace {

constexpr int WAIT_MS = 15000;

// A tag on a slot's adapter, whose events (commands, answered or not, and
// final replies) land in a file.
struct SlotTag {
    SlotTag(int com, const std::vector<std::string>& more)
    {
        std::vector<std::string> args = {"--events", dir.file("events"), "--node-id-file",
                                         dir.file("node")};
        args.insert(args.end(), more.begin(), more.end());
        tag = std::make_unique<TagSimProcess>(Target::get().port_link(com), args);
    }
    void take_out() const { tag->signal(SIGUSR1); }
    void put_in() const { tag->signal(SIGUSR2); }
    bool saw(const std::string& what, size_t times)
    {
        return wait_for_in_file(dir.file("events"), what, times, WAIT_MS);
    }
    size_t count(const std::string& what) { return count_of(read_file(dir.file("events")), what); }
    TempDir dir;
    std::unique_ptr<TagSimProcess> tag;
};

// Waits until the program's output holds `what` `times` times.
bool wait_for_count(RunningProgram& program, const std::string& what, size_t times)
{
    return program.wait_for(what, WAIT_MS, times);
}

RunOptions with(std::vector<std::string> env = {})
{
    RunOptions options;
    options.env = std::move(env);
    return options;
}

}  // namespace

// A tag plugged in is loaded once, and not again while it stays; a loose
// contact (one missed poll) is not a new tag; taken out and put back, or
// another node ID, it is loaded again; taken out during its upload, it
// fails; a device that answers nothing is an empty slot; --count ends it.
TEST(Station, EachTagIsLoadedOncePerInsertion)
{
    const Target& target = Target::get();
    write_file(target.work().file("s.bas"), std::string(3000, 'x'));
    TagSimProcess silent(target.port_link(3), {"--silent"});
    std::string report = target.work().file("station.jsonl");
    remove(report.c_str());
    auto station = target.start("tagfleet", {"--station", "--count", "4", "-c", "2", "-c", "3",
                                             "--report", target.program_path("station.jsonl"),
                                             target.program_path("s.bas")});
    // The adapter and its tag come after the station has started.
    usleep(700000);
    SlotTag slot(2, {});
    ASSERT_TRUE(slot.saw("final OK", 1));
    usleep(1600000);  // three polls more
    EXPECT_EQ(slot.count("command load"), 1u);

    // A loose contact: one poll unanswered.
    size_t unanswered = slot.count("unanswered ");
    slot.take_out();
    ASSERT_TRUE(slot.saw("unanswered ", unanswered + 1));
    slot.put_in();
    usleep(1600000);
    EXPECT_EQ(slot.count("command load"), 1u);

    // Taken out and put back.
    slot.take_out();
    ASSERT_TRUE(wait_for_count(*station, "COM2: tag gone", 1));
    slot.put_in();
    ASSERT_TRUE(slot.saw("final OK", 2));

    // Another tag, swapped in within one poll.
    write_file(slot.dir.file("node"), "9\n");
    unanswered = slot.count("unanswered ");
    slot.take_out();
    ASSERT_TRUE(slot.saw("unanswered ", unanswered + 1));
    slot.put_in();
    ASSERT_TRUE(slot.saw("final OK", 3));

    // Taken out in the middle of its upload.
    slot.take_out();
    ASSERT_TRUE(wait_for_count(*station, "COM2: tag gone", 3));  // the swap was the second
    slot.put_in();
    ASSERT_TRUE(slot.saw("command load", 4));
    slot.take_out();

    RunResult r = station->finish(WAIT_MS);
    r.out = target.folded(r.out);
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_EQ(slot.count("final OK"), 3u);
    EXPECT_EQ(count_of(r.out, "COM2: tag 7 present\nCOM2: loaded (node 7, "), 2u) << r.out;
    EXPECT_NE(r.out.find("COM2: tag 9 present\nCOM2: loaded (node 9, "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\n4 tags: 3 loaded, 1 failed\nFAILED COM2: did not answer the script "
                         "data within 1 s\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("COM3: "), std::string::npos) << r.out;  // never a result
    std::string lines = read_file(report);
    EXPECT_EQ(count_of(lines, "\n"), 4u) << lines;
    for (const char* seq : {"\"seq\": 1,", "\"seq\": 2,", "\"seq\": 3,", "\"seq\": 4,"}) {
        EXPECT_NE(lines.find(seq), std::string::npos) << seq;
    }
}

// A tag that misses its first node-ID query (a board still booting) is the
// tag that was loaded when the next poll hears its node ID: loaded once.
// With --count 1 and two tags that come at once, one is loaded and the
// other left untouched: one record, status 0, whichever comes first.
TEST(Station, OneLoadPerTagAndCountCountsLoads)
{
    const Target& target = Target::get();
    write_file(target.work().file("o.bas"), "10 END\r\n");
    {
        SlotTag slot(2, {"--mute-id-first", "1"});
        auto station = target.start("tagfleet", {"--station", "-c", "2", target.program_path("o.bas")});
        ASSERT_TRUE(slot.saw("final OK", 1));
        ASSERT_TRUE(slot.saw("command ?_id", 3));  // two polls more
        EXPECT_EQ(slot.count("command load"), 1u);
        std::string out = target.folded(station->output());
        EXPECT_EQ(out.find("-1"), std::string::npos) << out;
        EXPECT_NE(out.find("COM2: tag present (its node ID not read)\n"), std::string::npos) << out;
    }
    {
        // Given a node ID of the pool, it is the same tag under its new ID.
        SlotTag slot(2, {});
        write_file(target.work().file("st.ids"), "50\n");
        remove(target.work().file("st.ids.given").c_str());
        auto station = target.start("tagfleet", {"--station", "-c", "2", "--node-ids",
                                                 target.program_path("st.ids"),
                                                 target.program_path("o.bas")});
        ASSERT_TRUE(slot.saw("command _id=50", 1));
        ASSERT_TRUE(slot.saw("command ?_id", 4));  // the read-back, then two polls
        EXPECT_EQ(slot.count("command load"), 1u);
        EXPECT_EQ(read_file(slot.dir.file("node")), "50\n");
    }
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        SlotTag first(2, {}), second(3, {"--node-id", "8"});
        std::string report = target.work().file("count.jsonl");
        remove(report.c_str());
        RunResult r = target.run_program("tagfleet", {"--station", "--count", "1", "-c", "2", "-c",
                                                      "3", "--report", target.program_path("count.jsonl"),
                                                      target.program_path("o.bas")});
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_NE(r.out.find("\n1 tag: 1 loaded, 0 failed\n"), std::string::npos) << r.out;
        EXPECT_EQ(count_of(read_file(report), "\n"), 1u) << read_file(report);
        EXPECT_EQ(first.count("command load") + second.count("command load"), 1u);
    }
}

// -a: a port that comes while the station runs joins it and is loaded; a
// port that tagterm holds (a developer's tag) is passed by, and said once.
TEST(Station, APortThatComesJoins)
{
    const Target& target = Target::get();
    write_file(target.work().file("a.bas"), "10 END\r\n");
    SlotTag developers(4, {});
    RunOptions on_terminal;
    on_terminal.on_terminal = true;
    auto term = target.start("tagterm", {"-c", "4"}, on_terminal);
    ASSERT_TRUE(term->wait_for("Ctrl-] to end", 20000)) << term->output();
    auto station = target.start("tagfleet", {"--station", "-a", "--count", "1",
                                             target.program_path("a.bas")});
    usleep(1500000);  // a listing or more without it
    TagSimProcess tag(target.port_link(5), {"--node-id", "15"});
    RunResult r = station->finish(WAIT_MS);
    r.out = target.folded(r.out);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("COM5: loaded (node 15, "), std::string::npos) << r.out;
    EXPECT_EQ(count_of(r.out, "COM4: is in use by another program; it is open in tagterm (pid "), 1u)
        << r.out;
    EXPECT_EQ(r.out.find("tagterm (pid 0)"), std::string::npos) << r.out;
    EXPECT_EQ(developers.count("command load"), 0u);
    term->type("\x1d");
    EXPECT_EQ(term->finish(20000).status, 0);
}

// --json: a complete object a line, in order; the result event carries the
// report's record. --on-result runs beside, with the result in its
// environment, and its failure is said without changing the outcome.
TEST(Station, EventsRecordsAndOnResult)
{
    const Target& target = Target::get();
    write_file(target.work().file("j.bas"), "10 END\r\n");
    TagSimProcess tag(target.port_link(2), {"--node-id", "12"});
    std::string report = target.work().file("json.jsonl"), seen = target.work().file("seen");
    remove(report.c_str());
    remove(seen.c_str());
    std::string command =
        target.is_wine()
            ? "echo %TAGFLEET_SLOT% %TAGFLEET_PORT% %TAGFLEET_OUTCOME% %TAGFLEET_NODE_ID% "
              "%TAGFLEET_SEQ%> " + target.program_path("seen") + " & exit 3"
            : "echo $TAGFLEET_SLOT $TAGFLEET_PORT $TAGFLEET_OUTCOME $TAGFLEET_NODE_ID "
              "$TAGFLEET_SEQ \"[$TAGFLEET_REASON]\" > " + seen + "; exit 3";
    RunResult r = target.run_program(
        "tagfleet", {"--station", "--count", "1", "--json", "-c", "2", "--station-id", "line 4",
                     "--operator", "Ana", "--report", target.program_path("json.jsonl"),
                     "--on-result", command, target.program_path("j.bas")});
    EXPECT_EQ(r.status, 0) << r.out;
    std::string vars = read_file(seen);
    vars.erase(vars.find_last_not_of(" \r\n") + 1);  // cmd's echo keeps the space before ">"
    EXPECT_EQ(vars, target.is_wine() ? "COM2 COM2 loaded 12 1" : "COM2 COM2 loaded 12 1 []");
    EXPECT_NE(r.out.find("on-result failed for COM2 (result 1): exit status 3\n"),
              std::string::npos)
        << r.out;
    // Standard output: events only, in order; the summary went to standard error.
    std::istringstream lines(r.out);
    std::string line, events, result;
    while (std::getline(lines, line)) {
        if (line.rfind("{\"event\": \"", 0) != 0) continue;
        events += line.substr(11, line.find('"', 11) - 11) + " ";
        if (line.rfind("{\"event\": \"result\"", 0) == 0) result = line;
    }
    EXPECT_EQ(events, "start present progress progress result end ") << r.out;
    std::string record = read_file(report);
    ASSERT_FALSE(result.empty());
    // The result event is the record, after the event's name and time.
    size_t fields = result.find(", \"port\": ");
    EXPECT_EQ("{" + result.substr(fields + 2) + "\n", record);
    EXPECT_NE(record.find("\"seq\": 1, \"run_id\": \""), std::string::npos) << record;
    EXPECT_NE(record.find("\"station\": \"line 4\", \"operator\": \"Ana\", \"host\": \""),
              std::string::npos)
        << record;
    // Every line parses.
    write_file(target.work().file("events.jsonl"), r.out.substr(r.out.find("{\"event\": \"start\"")));
    RunResult parsed = run_program(
        {"python3", "-c",
         "import json, sys\n"
         "for line in open(sys.argv[1]):\n"
         "    if line.startswith('{'): json.loads(line)\n"
         "json.loads(open(sys.argv[2]).read())\n",
         target.work().file("events.jsonl"), report});
    EXPECT_EQ(parsed.status, 0) << parsed.out;
}

// Ctrl-C during an upload: the load is interrupted and recorded, every port
// given back, the summary said. Ctrl-C while an --on-result command runs
// stops the command, and the station ends at once.
TEST(Station, CtrlCDuringAnUploadOrACommand)
{
    const Target& target = Target::get();
    if (target.is_wine()) GTEST_SKIP() << "signals reach Wine, not the program";
    write_file(target.work().file("c.bas"), std::string(20000, 'x'));
    TagSimProcess tag(target.port_link(2));
    RunOptions options;
    options.signal_after = "COM2: tag 7 present\n";
    options.signal = SIGINT;
    std::string report = target.work().file("ctrlc.jsonl");
    remove(report.c_str());
    RunResult r = target.run_program("tagfleet", {"--station", "-c", "2", "--report", report,
                                                  target.work().file("c.bas")},
                                     options);
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_TRUE(r.out.ends_with("1 tag: 0 loaded, 0 failed, 1 interrupted\n"
                                "tagfleet: Station stopped; every port was released\n"))
        << r.out;
    EXPECT_NE(read_file(report).find("\"outcome\": \"interrupted\", \"result\": 104"),
              std::string::npos);
    // The port is free again.
    r = target.run({"-c", "2", target.work().file("c.bas")}, with());
    EXPECT_EQ(r.out.find("in use"), std::string::npos) << r.out;

    write_file(target.work().file("c.bas"), "10 END\r\n");
    auto station = target.start("tagfleet", {"--station", "-c", "2", "--on-result",
                                             "echo command runs; sleep 60",
                                             target.work().file("c.bas")});
    ASSERT_TRUE(station->wait_for("command runs\n", WAIT_MS)) << station->output();
    auto interrupted = std::chrono::steady_clock::now();
    station->signal(SIGINT);
    r = station->finish(WAIT_MS);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now() - interrupted).count();
    EXPECT_LT(ms, 3000) << r.out;  // within 1 s; room for ThreadSanitizer
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(r.out.ends_with("1 tag: 1 loaded, 0 failed\n"
                                "on-result failed for COM2 (result 1): was stopped by the interrupt\n"
                                "tagfleet: Station stopped; every port was released\n"))
        << r.out;
}

// A reader of the events that goes (`| head -n 2`) stops the station as
// Ctrl-C does: the load under way ends and is recorded, no other starts,
// the reason is on standard error and the run fails.
TEST(Station, AReaderThatGoesStopsTheRun)
{
    const Target& target = Target::get();
    write_file(target.work().file("h.bas"), std::string(20000, 'x'));
    SlotTag slot(2, {});
    std::string report = target.work().file("head.jsonl");
    remove(report.c_str());
    RunOptions options;
    options.signal_after = "{\"event\": \"present\"";
    options.signal = 0;
    options.stderr_path = target.work().file("head.err");
    RunResult r = target.run_program("tagfleet", {"--station", "--count", "3", "--json", "-c", "2",
                                                  "--report", target.program_path("head.jsonl"),
                                                  target.program_path("h.bas")},
                                     options);
    std::string errors = target.folded(read_file(options.stderr_path));
    EXPECT_EQ(r.status, 1) << errors;
    EXPECT_NE(errors.find("tagfleet: Error: Cannot write standard output (Broken pipe): the run "
                          "stops as at Ctrl-C; every load under way ends and is recorded\n"),
              std::string::npos)
        << errors;
    EXPECT_NE(errors.find("\n1 tag: 0 loaded, 0 failed, 1 interrupted\n"), std::string::npos)
        << errors;
    EXPECT_EQ(count_of(read_file(report), "\n"), 1u) << read_file(report);
    EXPECT_NE(read_file(report).find("\"outcome\": \"interrupted\""), std::string::npos);
    EXPECT_EQ(slot.count("command load"), 1u);
}

// A report deleted while the station runs is made again at its path with
// the next record, and that is said.
TEST(Station, AReportDeletedIsMadeAgain)
{
    const Target& target = Target::get();
    write_file(target.work().file("d.bas"), "10 END\r\n");
    SlotTag slot(2, {});
    std::string report = target.work().file("deleted.jsonl");
    remove(report.c_str());
    auto station = target.start("tagfleet", {"--station", "--count", "2", "-c", "2", "--report",
                                             target.program_path("deleted.jsonl"),
                                             target.program_path("d.bas")});
    ASSERT_TRUE(wait_for_count(*station, "COM2: loaded", 1)) << station->output();
    ASSERT_EQ(remove(report.c_str()), 0);
    slot.take_out();
    ASSERT_TRUE(wait_for_count(*station, "COM2: tag gone", 1)) << station->output();
    slot.put_in();
    RunResult r = station->finish(WAIT_MS);
    r.out = target.folded(r.out);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("tagfleet: the report " + target.program_path("deleted.jsonl") +
                         " was no longer there: made again, from record 2 on\n"),
              std::string::npos)
        << r.out;
    std::string records = read_file(report);
    EXPECT_EQ(count_of(records, "\n"), 1u) << records;
    EXPECT_NE(records.find("\"seq\": 2, "), std::string::npos) << records;
}
