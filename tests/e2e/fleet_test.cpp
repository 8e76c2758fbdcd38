// tagfleet end to end: many simulated tags at once, one that fails among
// them, the report, the summary and the usage errors.
#include "target.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <memory>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

size_t count(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// The tags of a fixture: COM2 onwards (Wine keeps COM1 for the machine's
// own port), each saving what it gets.
struct Fixture {
    explicit Fixture(const std::vector<std::vector<std::string>>& tags)
    {
        for (size_t i = 0; i < tags.size(); ++i) {
            std::vector<std::string> args = tags[i];
            args.insert(args.end(), {"--save-script", dir.file("got" + std::to_string(i + 2))});
            sims.push_back(std::make_unique<TagSimProcess>(
                Target::get().port_link(static_cast<int>(i) + 2), args));
        }
    }
    std::string received(int port) const { return read_file(dir.file("got" + std::to_string(port))); }
    TempDir dir;
    std::vector<std::unique_ptr<TagSimProcess>> sims;
};

const std::string script(5000, 'x');

RunResult fleet(const std::vector<std::string>& args, const RunOptions& options = {})
{
    const Target& target = Target::get();
    write_file(target.work().file("f.bas"), script);
    std::vector<std::string> all = args;
    all.push_back(target.program_path("f.bas"));
    return target.run_program("tagfleet", all, options);
}

}  // namespace

TEST(Fleet, ATagThatFailsFailsAloneAndTheReportSaysWhy)
{
    const Target& target = Target::get();
    Fixture fixture({{}, {"--version", "V5.2.0", "--node-id", "9"}, {"--final", "E002F flash"},
                     {"--silent"}, {"--hangup-after", "300"}});
    std::string report = target.work().file("report.jsonl");
    remove(report.c_str());
    RunResult r = fleet({"-c", "2", "-c", "COM3", "-c", "4", "-c", "5", "-c", "6", "--report",
                         target.program_path("report.jsonl")});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_EQ(fixture.received(2), script);
    EXPECT_EQ(fixture.received(3), script);
    // Not a terminal: a line as each port starts and ends, no redraws.
    EXPECT_EQ(count(r.out, ": started\n"), 5u) << r.out;
    EXPECT_NE(r.out.find("COM3: loaded (node 9, firmware 5.2.0, 5000 bytes in "), std::string::npos);
    EXPECT_EQ(r.out.find('\r'), std::string::npos);
    EXPECT_NE(r.out.find("\n5 tags: 2 loaded, 3 failed\n"
                         "FAILED COM4: answered \"E002F flash\" after the metadata record\n"
                         "FAILED COM5: did not answer \"ver\" within 1 s\n"
                         "FAILED COM6: "),
              std::string::npos)
        << r.out;
    std::string lines = read_file(report);
    EXPECT_EQ(count(lines, "\n"), 5u) << lines;
    EXPECT_EQ(count(lines, "\"outcome\": \"loaded\", \"result\": 0, \"reason\": null"), 2u);
    EXPECT_NE(lines.find("{\"port\": \"COM4\", \"outcome\": \"failed\", \"result\": 15, \"reason\": "
                         "\"answered \\\"E002F flash\\\" after the metadata record\", \"node_id\": 7, "
                         "\"firmware\": \"6.1.0\", \"file\": "),
              std::string::npos)
        << lines;
    EXPECT_NE(lines.find("\"node_id\": null, \"firmware\": null"), std::string::npos);
    // SHA-256 of 5000 'x' bytes.
    EXPECT_EQ(count(lines, "\"file_sha256\": "
                           "\"c59d3c0480cc2d71d8f646e735e92da65450311eec46e81a5db8c7e6e8a92054\""),
              5u);
    EXPECT_EQ(count(lines, "\"bytes_sent\": 5000, \"auto_run\": false, \"started\": \"20"), 3u);
    EXPECT_EQ(count(lines, "\"attempts\": 1}"), 5u);
}

TEST(Fleet, AllExpectRetryAndUsage)
{
    const Target& target = Target::get();
    {
        Fixture fixture({{}, {"--silent"}, {"--node-id", "4"}});
        RunResult r = fleet({"-a", "-q"});
        EXPECT_EQ(r.status, 0) << r.out;
        // Under Wine the machine's own COM1 is listed too, and skipped.
        EXPECT_NE(r.out.find(target.is_wine() ? "2 tags: 2 loaded, 0 failed ("
                                              : "2 tags: 2 loaded, 0 failed (1 port without a "
                                                "tag skipped)\n"),
                  std::string::npos)
            << r.out;
        r = fleet({"--all", "--quiet", "--expect", "3"});
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.out.find("tagfleet: Error: 2 of the 3 tags expected loaded\n"),
                  std::string::npos)
            << r.out;
    }
    {
        Fixture fixture({{"--refuse-load"}});
        std::string report = target.work().file("retry.jsonl");
        remove(report.c_str());
        RunResult r = fleet({"-q", "-c", "2", "--retry", "1", "--report",
                             target.program_path("retry.jsonl")});
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(read_file(report).find("\"result\": 11, "), std::string::npos);
        EXPECT_NE(read_file(report).find("\"attempts\": 2}"), std::string::npos);
    }
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string says;
    } cases[] = {
        {{"-c", "4", "-c", "COM4"}, 2, "tagfleet: COM4 is named twice"},
        {{"-c", "4", "--bogus"}, 2, "tagfleet: unknown option \"--bogus\""},
        {{"-j", "0", "-c", "4"}, 2, "tagfleet: -j takes a number from 1 to 1000, not \"0\""},
        {{"-a", "-c", "4"}, 2, "tagfleet: -a and -c exclude each other"},
        {{"-c", "nowhere"}, 2, "tagfleet: not a port: \"nowhere\""},
        {{"--report", "/nonexistent/r.jsonl", "-c", "4"}, 1,
         "tagfleet: Error: Can't write the report"},
        {{"--help"}, 0, "Usage: tagfleet [options] SCRIPT"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.front());
        RunResult r = fleet(c.args);
        EXPECT_EQ(r.status, c.status) << r.out;
        EXPECT_NE(r.out.find(c.says), std::string::npos) << r.out;
    }
    RunResult r = target.run_program("tagfleet", {"-c", "4"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find("tagfleet: name the script to load"), std::string::npos) << r.out;
}

TEST(Fleet, InterruptGivesEveryPortBackAndRecordsIt)
{
    const Target& target = Target::get();
    if (target.is_wine()) GTEST_SKIP() << "signals reach Wine, not the program";
    Fixture fixture({{}, {}, {}});
    std::string report = target.work().file("stop.jsonl");
    remove(report.c_str());
    RunOptions options;
    options.signal_after = "COM3: started\n";
    options.signal = SIGINT;
    RunResult r = fleet({"-c", "2", "-c", "3", "-c", "4", "-j", "2", "--report",
                         target.program_path("stop.jsonl")},
                        options);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.out.ends_with("tagfleet: Error: Interrupted; every port was released\n")) << r.out;
    EXPECT_NE(r.out.find("3 tags: 0 loaded, 0 failed, 3 interrupted\n"), std::string::npos) << r.out;
    EXPECT_EQ(count(read_file(report), "\"outcome\": \"interrupted\""), 3u) << read_file(report);
    EXPECT_EQ(count(read_file(report), "\"result\": 104"), 3u) << read_file(report);
    for (const auto& sim : fixture.sims) {
        int fd = open(sim->tty().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
#ifdef TIOCGEXCL
        int exclusive = 1;
        EXPECT_EQ(ioctl(fd, TIOCGEXCL, &exclusive), 0);
        EXPECT_EQ(exclusive, 0);
#endif
        close(fd);
    }
}
