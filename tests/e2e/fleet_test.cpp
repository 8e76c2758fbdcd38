// tagfleet end to end: many simulated tags at once, one that fails among
// them, the report, the summary and the usage errors.
#include "support/network.h"
#include "support/pty.h"
#include "support/sysfs.h"
#include "target.h"

#include <chrono>
#include <fcntl.h>
#include <sys/file.h>
#include <gtest/gtest.h>
#include <memory>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

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
    EXPECT_EQ(count_of(r.out, ": started\n"), 5u) << r.out;
    EXPECT_NE(r.out.find("COM3: loaded (node 9, firmware 5.2.0, 5000 bytes in "), std::string::npos);
    EXPECT_EQ(r.out.find('\r'), std::string::npos);
    EXPECT_NE(r.out.find("\n5 tags: 2 loaded, 3 failed\n"
                         "FAILED COM4: answered \"E002F flash\" after the metadata record\n"
                         "FAILED COM5: did not answer \"ver\" within 1 s\n"
                         "FAILED COM6: "),
              std::string::npos)
        << r.out;
    std::string lines = read_file(report);
    EXPECT_EQ(count_of(lines, "\n"), 5u) << lines;
    EXPECT_EQ(count_of(lines, "\"outcome\": \"loaded\", \"result\": 0, \"reason\": null"), 2u);
    EXPECT_NE(lines.find("{\"port\": \"COM4\", \"outcome\": \"failed\", \"result\": 15, \"reason\": "
                         "\"answered \\\"E002F flash\\\" after the metadata record\", \"node_id\": 7, "
                         "\"firmware\": \"6.1.0\", \"file\": "),
              std::string::npos)
        << lines;
    EXPECT_NE(lines.find("\"node_id\": null, \"firmware\": null"), std::string::npos);
    // SHA-256 of 5000 'x' bytes.
    EXPECT_EQ(count_of(lines, "\"file_sha256\": "
                           "\"c59d3c0480cc2d71d8f646e735e92da65450311eec46e81a5db8c7e6e8a92054\""),
              5u);
    EXPECT_EQ(count_of(lines, "\"bytes_sent\": 5000, \"auto_run\": false, \"started\": \"20"), 3u);
    EXPECT_EQ(count_of(lines, "\"attempts\": 1}"), 5u);
}

TEST(Fleet, AllExpectRetryAndUsage)
{
    const Target& target = Target::get();
    {
        Fixture fixture({{}, {"--silent"}, {"--node-id", "4"}});
        RunResult r = fleet({"-a", "-q"});
        // Under Wine the machine's own COM1 is listed too: a device that
        // does not work as a serial port, which is a failure.
        EXPECT_EQ(r.status, target.is_wine() ? 1 : 0) << r.out;
        EXPECT_NE(r.out.find(target.is_wine() ? "3 tags: 2 loaded, 1 failed (1 port without a tag "
                                                "skipped)\nFAILED COM1: does not work as a serial"
                                              : "2 tags: 2 loaded, 0 failed (1 port without a "
                                                "tag skipped)\n"),
                  std::string::npos)
            << r.out;
        r = fleet({"--all", "--quiet", "--expect", "3"});
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.out.find("tagfleet: Error: 2 of the 3 tags expected loaded\n"),
                  std::string::npos)
            << r.out;
        // Tags loaded, the report lost: a failure all the same.
        std::string full = target.is_wine() ? "Z:/dev/full" : "/dev/full";
        r = fleet({"-q", "-c", "2", "--report", full});
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.out.find("1 tag: 1 loaded, 0 failed\ntagfleet: cannot write the report " +
                             full + ": No space left on device\n"),
                  std::string::npos)
            << r.out;
        if (!target.is_wine()) {
            // A port that another program holds has a tag, for all -a knows.
            int held = open(fixture.sims[2]->tty().c_str(), O_RDWR | O_NOCTTY);
            ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
            r = fleet({"-a", "-q"});
            close(held);
            EXPECT_EQ(r.status, 1);
            EXPECT_NE(r.out.find("FAILED COM4: is in use by another program"), std::string::npos)
                << r.out;
        }
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
        {{"-c", "socket://localhost:4000", "-c", "socket://127.0.0.1:4000"}, 2,
         "tagfleet: -c socket://localhost:4000 and -c socket://127.0.0.1:4000 name the same port"},
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
    if (!target.is_wine()) {
        // The same device through its link.
        r = fleet({"-c", "4", "-c", target.port_link(4)});
        EXPECT_EQ(r.status, 2);
        EXPECT_NE(r.out.find("tagfleet: -c 4 and -c " + target.port_link(4) + " name the same port"),
                  std::string::npos)
            << r.out;
    }
}

TEST(Fleet, InterruptGivesEveryPortBackAndRecordsIt)
{
    const Target& target = Target::get();
    if (target.is_wine()) GTEST_SKIP() << "signals reach Wine, not the program";
    for (int signal : {SIGINT, SIGQUIT}) {
        SCOPED_TRACE(signal);
        Fixture fixture({{}, {}, {}});
        std::string report = target.work().file("stop.jsonl");
        remove(report.c_str());
        RunOptions options;
        options.signal_after = "COM3: started\n";
        options.signal = signal;
        // The slot whose adapter is not there has its record too.
        RunResult r = fleet({"-c", "2", "-c", "3", "-c", "4", "-c", "usb:0403:6001:NOPE", "-j", "2",
                             "--report", target.program_path("stop.jsonl")},
                            options);
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(r.out.ends_with("tagfleet: Error: Interrupted; every port was released\n"))
            << r.out;
        EXPECT_NE(r.out.find("4 tags: 0 loaded, 1 failed, 3 interrupted\nFAILED usb:0403:6001:NOPE: "),
                  std::string::npos)
            << r.out;
        EXPECT_EQ(count_of(read_file(report), "\n"), 4u) << read_file(report);
        EXPECT_EQ(count_of(read_file(report), "\"outcome\": \"interrupted\""), 3u) << read_file(report);
        EXPECT_EQ(count_of(read_file(report), "\"result\": 104"), 3u) << read_file(report);
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
}

// A reader of the output that takes nothing for 3 s (its pipe full) holds
// up no upload, and still gets every line.
TEST(Fleet, AStuckReaderHoldsUpNoUpload)
{
    Fixture fixture({{}, {}});
    RunOptions options;
    options.stuck_after = "{\"event\": \"progress\"";
    options.output_stuck_ms = 3000;
    RunResult r = fleet({"-c", "2", "-c", "3", "--json"}, options);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("\n2 tags: 2 loaded, 0 failed\n"), std::string::npos) << r.out;
    EXPECT_EQ(count_of(r.out, "{\"event\": \"result\""), 2u) << r.out;
    EXPECT_EQ(fixture.received(3), script);
    // Under --json a text error goes to standard error, never among the events.
    const Target& target = Target::get();
    options = RunOptions();
    options.stderr_path = target.work().file("errors");
    r = target.run_program("tagfleet", {"--json", "-c", "2", target.program_path("missing.bas")},
                           options);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(read_file(options.stderr_path).find("tagfleet: Error: File not found \""),
              std::string::npos);
}

// After an interrupt no command goes to a tag (not even the next attempt
// of --retry), and a connection under way ends at once.
TEST(Fleet, InterruptEndsWaitsAndConnections)
{
    const Target& target = Target::get();
    if (target.is_wine()) GTEST_SKIP() << "signals reach Wine, not the program";
    TempDir dir;
    {
        Fixture fixture({{"--refuse-load", "--transcript", dir.file("typed")}});
        RunOptions options;
        options.signal_after = "COM2: close COM2\n";  // the quiet wait before the next attempt
        RunResult r = fleet({"-v", "-c", "2", "--retry", "1"}, options);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(read_file(dir.file("typed")), "ver\n?_id\nload \"_TXfer_\"\n");
    }
    UnansweredPort unanswered;
    std::string port = "socket://127.0.0.1:" + std::to_string(unanswered.port());
    RunOptions options;
    options.signal_after = ": started\n";
    options.signal = SIGTERM;
    auto start = std::chrono::steady_clock::now();
    RunResult r = fleet({"-c", port, "--report", target.program_path("connect.jsonl")}, options);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(r.status, 1);
    EXPECT_LT(seconds, 2.0) << "the connection would have taken 3 s";
    EXPECT_NE(r.out.find("1 tag: 0 loaded, 0 failed, 1 interrupted\n"), std::string::npos) << r.out;
    EXPECT_NE(read_file(target.work().file("connect.jsonl")).find("\"outcome\": \"interrupted\""),
              std::string::npos);
}

// As many ports as it is given, of every form (more than the driver once
// held by name), or a usage error up front.
TEST(Fleet, HundredsOfPortsAtOnce)
{
    const Target& target = Target::get();
    constexpr int PORTS = 260;
    // Silent ports: listeners that never read, pseudo-terminals nobody serves.
    std::vector<int> listeners;
    std::vector<std::unique_ptr<Pty>> ttys;
    std::vector<std::string> args;
    for (int i = 0; i < PORTS; ++i) {
        args.push_back("-c");
        if (target.is_wine() || i % 2 == 0) {
            listeners.push_back(listen_on(0));
            args.push_back("socket://127.0.0.1:" + std::to_string(port_of(listeners.back())));
        } else {
            ttys.push_back(std::make_unique<Pty>(target.port_dir(), "ttyUSB" + std::to_string(i)));
            args.push_back(target.port_dir().file("ttyUSB" + std::to_string(i)));
        }
    }
    args.push_back("-q");
    RunResult r = fleet(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("260 tags: 0 loaded, 260 failed\n"), std::string::npos) << r.out;
    EXPECT_EQ(count_of(r.out, " did not answer \"ver\" within 1 s\n"), 260u) << r.out;
    if (!target.is_wine()) {
        r = fleet({"-a", "-q"});
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.out.find("0 tags: 0 loaded, 0 failed (130 ports without a tag skipped)\n"),
                  std::string::npos)
            << r.out;
    }
    for (int i = PORTS; i < 1025; ++i) {
        args.insert(args.begin(), {"-c", "socket://127.0.0.1:" + std::to_string(i)});
    }
    r = fleet(args);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find("tagfleet: 1025 ports named; one run loads at most 1024 at once"),
              std::string::npos)
        << r.out;
    for (int fd : listeners) close(fd);
}

// The report keeps a script's name as it was written: valid UTF-8 as it
// is, any other byte as \xNN.
TEST(Fleet, TheReportKeepsTheFileName)
{
    const Target& target = Target::get();
    Fixture fixture({std::vector<std::string>{}});
    struct Case {
        std::string name, recorded;
    } cases[] = {{"caf\xc3\xa9.bas", "caf\xc3\xa9.bas\""}, {"x\xff.bas", "x\\\\xFF.bas\""}};
    for (const Case& c : cases) {
        if (target.is_wine() && c.name[1] == '\xff') continue;  // no such name under Wine
        write_file(target.work().file(c.name), "10 END\n");
        std::string report = target.work().file("names.jsonl");
        remove(report.c_str());
        RunResult r = target.run_program("tagfleet", {"-q", "-c", "2", "--report",
                                                      target.program_path("names.jsonl"),
                                                      target.program_path(c.name)});
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_NE(read_file(report).find(c.recorded + ", \"file_sha256\""), std::string::npos)
            << read_file(report);
    }
}

// Fixture files: slots by name, checked before any port is touched, shown
// with their ports, recorded with their adapters; --check opens nothing.
TEST(Fleet, FixtureFiles)
{
    const Target& target = Target::get();
    auto fixture_file = [&](const std::string& content, const std::string& name = "rack.fixture") {
        write_file(target.work().file(name), content);
        return target.program_path(name);
    };
    std::string rack = target.program_path("rack.fixture");
    struct Case {
        std::string content;
        std::vector<std::string> more;
        std::string says;
        std::string name = "rack.fixture";
    } usage[] = {
        {"A1 COM2\nA1 COM3\n", {}, rack + ":2: slot A1 is named twice"},
        {"A1 COM2\n# B\nB1 2\n", {}, rack + ":3: port 2 is written twice (slot A1 has it too)"},
        {"A1* COM2\n", {}, rack + ":1: \"A1*\" is not a slot name"},
        {"A12345678901234567 COM2\n", {}, rack + ":1: \"A12345678901234567\" is not a slot name"},
        {"A1\n", {}, rack + ":1: slot A1 has no port"},
        {"A1 nowhere\n", {}, rack + ":1: slot A1: not a port: \"nowhere\""},
        {"A1 COM2 COM3\n", {}, rack + ":1: slot A1: one port only, not \"COM3\""},
        {"A1 COM2\n", {"-c", "COM2"}, "tagfleet: -c COM2 is the port of slot A1 (" + rack + ":1)"},
        {"A1 COM2\n", {"-a"}, "tagfleet: -a and --fixture exclude each other"},
        // Notepad's byte-order mark is no part of the first slot's name.
        {"\xEF\xBB\xBF" "A1 COM2\nA1 COM3\n", {}, rack + ":2: slot A1 is named twice"},
        {std::string("A1 COM2\nA2 COM8\0junk", 21), {}, rack + ":2: a NUL byte"},
        {"# no slot yet\n", {}, rack + ": names no slot"},
        // Windows takes such a name for its null device, wherever the file is.
        {std::string("A1 COM2\nA2\0", 11), {}, target.program_path("nul.fixture") + ":2: a NUL byte",
         "nul.fixture"},
    };
    for (const Case& c : usage) {
        SCOPED_TRACE(c.says);
        std::vector<std::string> args = {"--fixture", fixture_file(c.content, c.name)};
        args.insert(args.end(), c.more.begin(), c.more.end());
        RunResult r = fleet(args);
        EXPECT_EQ(r.status, 2) << r.out;
        EXPECT_NE(r.out.find(c.says), std::string::npos) << r.out;
    }
    RunResult r = fleet({"--fixture", target.program_path("none.fixture")});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find("tagfleet: cannot read the fixture " + target.program_path("none.fixture")),
              std::string::npos);

    Fixture tags({{}, {"--node-id", "5"}});
    std::string report = target.work().file("slots.jsonl");
    remove(report.c_str());
    fixture_file("# rack 1, station 2\nA1  COM2\n\nB7\t3   # the second\n");
    r = fleet({"--fixture", rack, "--report", target.program_path("slots.jsonl")});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("A1 COM2: loaded (node 7, "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("B7 COM3: loaded (node 5, "), std::string::npos) << r.out;
    EXPECT_NE(read_file(report).find("\"slot\": \"B7\", \"adapter\": null, \"seq\": "), std::string::npos)
        << read_file(report);
    r = target.run_program("tagfleet", {"--fixture", rack, "--check"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out, "A1               COM2                     COM2\n"
                     "B7               3                        COM3\n");
    fixture_file("A1 COM2\nC1 COM9\n");
    r = target.run_program("tagfleet", {"--fixture", rack, "--check"});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("C1               COM9                     COM9 does not exist\n"),
              std::string::npos)
        << r.out;
}

// Slots that name one adapter in two ways both fail, each naming the other;
// the report records each slot's adapter.
TEST(Fleet, FixtureSlotsOnUsbAdapters)
{
    const Target& target = Target::get();
    if (target.is_wine()) GTEST_SKIP() << "no USB under Wine";
    FakeSysfs sysfs;
    sysfs.plug("ttyUSB0", "1-3.2:1.0", "0403", "6001", "A10K1234");
    sysfs.plug("ttyUSB1", "1-4:1.0", "0403", "6001", "A10K9999");
    TagSimProcess first(target.port_dir().file("ttyUSB0"));
    TagSimProcess second(target.port_dir().file("ttyUSB1"), {"--node-id", "9"});
    write_file(target.work().file("usb.fixture"),
               "A1 usb:0403:6001:A10K1234\nA2 usb@1-3.2:1.0\nA3 usb@1-4\n");
    std::string report = target.work().file("usb.jsonl");
    remove(report.c_str());
    RunOptions options;
    options.env = {sysfs.variable()};
    RunResult r = fleet({"--fixture", target.work().file("usb.fixture"), "--report", report}, options);
    EXPECT_EQ(r.status, 1);
    std::string usb0 = target.port_dir().file("ttyUSB0");
    EXPECT_NE(r.out.find("3 tags: 1 loaded, 2 failed\n"
                         "FAILED A1 " + usb0 + ": is the port of slot A2 too (usb@1-3.2:1.0): two "
                         "slots never load one tag\n"
                         "FAILED A2 " + usb0 + ": is the port of slot A1 too (usb:0403:6001:A10K1234)"),
              std::string::npos)
        << r.out;
    EXPECT_NE(read_file(report).find("\"slot\": \"A3\", \"adapter\": {\"vid\": \"0403\", \"pid\": "
                                     "\"6001\", \"serial\": \"A10K9999\", \"location\": \"1-4:1.0\"}, \"seq\""),
              std::string::npos)
        << read_file(report);
    r = target.run_program("tagfleet", {"--fixture", target.work().file("usb.fixture"), "--check"},
                           options);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("A3               usb@1-4                  " + target.port_dir().file("ttyUSB1") +
                         "  USB 0403:6001 serial A10K9999 at 1-4:1.0\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("; the same port as slot A2\n"), std::string::npos) << r.out;

    // A station checks its slots as every run does, and records the adapter
    // behind a device path.
    std::string usb1 = target.port_dir().file("ttyUSB1");
    write_file(target.work().file("usb.fixture"),
               "A1 usb:0403:6001:A10K1234\nA2 usb@1-3.2:1.0\nA3 " + usb1 + "\n");
    remove(report.c_str());
    r = fleet({"--station", "--count", "1", "--fixture", target.work().file("usb.fixture"),
               "--report", report},
              options);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("3 tags: 1 loaded, 2 failed\nFAILED A1 " + usb0 + ": is the port of slot A2"),
              std::string::npos)
        << r.out;
    EXPECT_NE(read_file(report).find("\"slot\": \"A3\", \"adapter\": {\"vid\": \"0403\""),
              std::string::npos)
        << read_file(report);
}
