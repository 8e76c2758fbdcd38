// tagrun end to end against the simulated tag: a list that passes, an
// expect that times out, a fail pattern, a step file that does not parse,
// a port tagterm holds, and a JUnit report of a tag that sends anything.
#include "target.h"

#include <chrono>
#include <gtest/gtest.h>

namespace {

// What the simulated tag's script prints when it runs.
const char* const RUN_OUTPUT = "Hello from prog\nCount: 42\nDone\n";

struct Tag {
    explicit Tag(const TempDir& dir, const std::string& run_output = RUN_OUTPUT)
    {
        write_file(dir.file("run"), run_output);
        sim = std::make_unique<TagSimProcess>(Target::get().port_link(4),
                                              std::vector<std::string>{"--run-output", dir.file("run"),
                                                                       "--save-bytes", dir.file("bytes")});
    }
    // A re-boot by command, as a hub's power switch would do it.
    std::string reset_command() const
    {
        std::string kill = "kill -HUP " + std::to_string(sim->pid());
        return Target::get().is_wine() ? "start /unix /bin/" + kill : kill;
    }
    std::unique_ptr<TagSimProcess> sim;
};

// A step file in the work folder: the name tagrun is given.
std::string steps_file(const std::string& name, const std::string& text)
{
    write_file(Target::get().work().file(name), text);
    return Target::get().program_path(name);
}

RunResult tagrun(const std::vector<std::string>& args)
{
    std::vector<std::string> all = {"-c", "4"};
    all.insert(all.end(), args.begin(), args.end());
    return Target::get().run_program("tagrun", all);
}

bool has(const std::string& text, const std::string& what) { return text.find(what) != std::string::npos; }

}  // namespace

TEST(Tagrun, APassingListGivesZeroAndALineAStep)
{
    const Target& target = Target::get();
    TempDir dir;
    Tag tag(dir);
    write_file(target.work().file("prog.bas"), "10 PRINT \"Hello\"\r\n");
    // Written as Notepad writes it: a byte order mark, CR LF line ends.
    std::string steps = steps_file("pass.steps", "\xEF\xBB\xBF# the script runs at power-up\r\n"
                                                 "load " + target.program_path("prog") + " run\r\n"
                                                 "fail ERROR\n\n"
                                                 "reset\n"
                                                 "expect Corvela tag V6.1.0\n"
                                                 "expect /Count: \\d+/ within 5\n"
                                                 "send run\n"
                                                 "expect Done\n");
    RunResult r = tagrun({"--reset", tag.reset_command(), steps});
    EXPECT_EQ(r.status, 0) << r.out;
    for (const char* line : {"prog.bas: 18 bytes, node 7, ", "\nok   2 load ", "\nok   3 fail \"ERROR\" ",
                             "\nok   5 reset ", "\nok   6 expect \"Corvela tag V6.1.0\" ",
                             "\nok   7 expect /Count: \\d+/ ", "\nok   8 send \"run\" ", "\nok   9 expect \"Done\" ",
                             "\ntagrun: passed: 7 steps, "}) {
        EXPECT_TRUE(has(r.out, line)) << line << "\n" << r.out;
    }
}

TEST(Tagrun, AnExpectThatTimesOutFailsWithTheLastLinesAndTheJUnitFailure)
{
    const Target& target = Target::get();
    TempDir dir;
    Tag tag(dir);
    std::string junit = target.work().file("timeout.xml");
    RunResult r = tagrun({"--timeout", "1", "--junit", target.program_path("timeout.xml"), "-e", "send run", "-e",
                          "expect Goodbye", "-e", "send ver"});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_TRUE(has(r.out, "FAIL 2 expect \"Goodbye\": not seen within 1 s\n"
                           "  the tag's last lines:\n  | Hello from prog\n  | Count: 42\n  | Done\n"))
        << r.out;
    EXPECT_TRUE(has(r.out, "tagrun: FAILED: 1 passed, 1 failed, 1 not run\n")) << r.out;
    std::string xml = read_file(junit);
    EXPECT_TRUE(has(xml, "name=\"2 expect &quot;Goodbye&quot;\" time=\"1.")) << xml;
    EXPECT_TRUE(has(xml, "<failure message=\"not seen within 1 s\">Hello from prog\nCount: 42\nDone\n</failure>"))
        << xml;
    EXPECT_TRUE(has(xml, "name=\"3 send &quot;ver&quot;\" time=\"0.00\">\n      <skipped/>")) << xml;
}

TEST(Tagrun, AFailPatternEndsTheRunAtOnce)
{
    TempDir dir;
    Tag tag(dir, "Starting\nERROR 12: sensor\nDone\n");
    auto started = std::chrono::steady_clock::now();
    RunResult r = tagrun({"-e", "fail /ERROR \\d+/", "-e", "send run", "-e", "expect Never within 30"});
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_TRUE(has(r.out, "FAIL 3 expect \"Never\": the tag said \"ERROR 12: sensor\" (step 1: fail /ERROR \\d+/)"))
        << r.out;
    EXPECT_LT(ms.count(), 20000);  // long before the expect's 30 s
}

TEST(Tagrun, StepsThatDoNotParseGiveTwoBeforeThePortIsOpened)
{
    TempDir dir;
    Tag tag(dir);
    std::string bad = steps_file("bad.steps", "send ver\n# fine so far\nfrobnicate 3\nexpect x\n");
    std::string regex = steps_file("regex.steps", "expect /(unclosed/\n");
    struct {
        std::vector<std::string> args;
        std::string said;
    } cases[] = {
        {{bad}, "bad.steps:3: unknown step \"frobnicate\""},
        {{regex}, "regex.steps:1: not a regular expression: /(unclosed/"},
        {{"-e", "send ver", "-e", "wait soon"}, "-e 2: wait takes seconds"},
        {{"-e", "reset"}, "step 1 is a reset, which needs --reset"},
        {{bad, "-e", "send ver"}, "a STEPS file or -e steps, not both"},
        {{"-e", "expect x within 0"}, "within takes seconds"},
        {{"--timeout", "ten", "-e", "send ver"}, "--timeout takes seconds"},
    };
    for (const auto& c : cases) {
        RunResult r = tagrun(c.args);
        EXPECT_EQ(r.status, 2) << c.said << "\n" << r.out;
        EXPECT_TRUE(has(r.out, c.said)) << r.out;
    }
    EXPECT_EQ(read_file(dir.file("bytes")), "");  // the tag was never asked anything
}

TEST(Tagrun, GoesThroughAPortTagtermHolds)
{
    TempDir dir;
    Tag tag(dir);
    RunOptions on_terminal;
    on_terminal.on_terminal = true;
    auto term = Target::get().start("tagterm", {"-c", "4"}, on_terminal);
    ASSERT_TRUE(term->wait_for("Ctrl-] to end", 20000)) << term->output();
    RunResult r = tagrun({"-e", "send run", "-e", "expect Count: 42", "-e", "send ver", "-e", "expect V6.1.0"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(term->wait_for("tagrun (pid ", 5000)) << term->output();
    EXPECT_TRUE(term->wait_for("is done", 5000)) << term->output();
    term->type("\x1d");
    EXPECT_EQ(term->finish(20000).status, 0);
}

TEST(Tagrun, TheJUnitReportOfATagThatSendsAnythingIsWellFormedXml)
{
    const Target& target = Target::get();
    TempDir dir;
    std::string noise = std::string("\x1b[31mred\x1b]0;title\x07 nul") + '\0' + "here ]]> <b>&amp; \x82\xb3\xff\n" +
                        std::string(5000, 'x') + "\nDone\n";
    Tag tag(dir, noise);
    std::string junit = target.work().file("noise.xml");
    RunResult r = tagrun({"--junit", target.program_path("noise.xml"), "-e", "send run", "-e", "expect Done",
                          "-e", "expect \x01never within 0.5"});
    EXPECT_EQ(r.status, 1) << r.out;
    RunResult parsed = run_program({"python3", "-c",
                                    "import sys, xml.dom.minidom\n"
                                    "d = xml.dom.minidom.parse(sys.argv[1])\n"
                                    "print(d.getElementsByTagName('system-out')[0].firstChild.data)\n",
                                    junit});
    EXPECT_EQ(parsed.status, 0) << parsed.out << read_file(junit);
    // As tagterm shows it: control bytes as ^X, bytes over 0x7F as code page 437.
    EXPECT_TRUE(has(parsed.out, "^[[31mred^[]0;title^G nul^@here ]]> <b>&amp; \xc3\xa9\xe2\x94\x82\xc2\xa0\n"))
        << parsed.out;
    EXPECT_TRUE(has(read_file(junit), "name=\"3 expect &quot;^Anever&quot;\"")) << read_file(junit);
}

TEST(Tagrun, JsonEventsAloneOnStandardOutput)
{
    const Target& target = Target::get();
    TempDir dir;
    Tag tag(dir);
    RunOptions split;
    split.stderr_path = target.work().file("json.err");
    // Every line a JSON object, whether the tag answers (COM4) or not (COM5):
    // the reasons for a tag that cannot be reached go to standard error.
    for (const char* port : {"4", "5"}) {
        SCOPED_TRACE(port);
        RunResult r = target.run_program("tagrun", {"-c", port, "--json", "-e", "send run", "-e", "expect Done"},
                                         split);
        EXPECT_EQ(r.status, port[0] == '4' ? 0 : 1) << r.out << read_file(split.stderr_path);
        write_file(dir.file("events"), r.out);
        RunResult parsed = run_program({"python3", "-c",
                                        "import sys, json\n"
                                        "print(' '.join(json.loads(l)['event'] for l in open(sys.argv[1])))\n",
                                        dir.file("events")});
        EXPECT_EQ(parsed.status, 0) << parsed.out << r.out;
        EXPECT_TRUE(has(parsed.out, port[0] == '4' ? "start step step end" : "end")) << parsed.out;
        if (port[0] == '5') {
            EXPECT_TRUE(has(read_file(split.stderr_path), "Can't connect to tag on COM5"));
        }
    }
}
