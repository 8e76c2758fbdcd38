// tagterm end to end against the simulated tag: on a terminal of its own
// (keys typed into a pseudo-terminal), with standard input a file, and with
// flashtag and taglog going through it.
#include "target.h"

#include <chrono>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <fcntl.h>
#include <sys/file.h>
#include <thread>
#include <unistd.h>

namespace {

const char* const CTRL_RBRACKET = "\x1d";

// tagsim on COM4 with its files in `dir` ("@name" in its arguments names
// dir/name), and what it received.
struct Tag {
    explicit Tag(const TempDir& dir, std::vector<std::string> args = {})
    {
        for (std::string& a : args) {
            if (a[0] == '@') a = dir.file(a.substr(1));
        }
        args.insert(args.end(), {"--save-bytes", dir.file("bytes"), "--save-gaps", dir.file("gaps")});
        sim = std::make_unique<TagSimProcess>(Target::get().port_link(4), args);
    }
    std::unique_ptr<TagSimProcess> sim;
};

// tagterm on a terminal of its own, holding COM4.
std::unique_ptr<RunningProgram> start_console(const std::vector<std::string>& term_args = {})
{
    std::vector<std::string> args = {"-c", "4"};
    args.insert(args.end(), term_args.begin(), term_args.end());
    RunOptions on_terminal;
    on_terminal.on_terminal = true;
    auto term = Target::get().start("tagterm", args, on_terminal);
    EXPECT_TRUE(term->wait_for("Ctrl-] to end", 20000)) << term->output();
    return term;
}

// The gaps (ms) the tag saw after each script byte.
std::vector<double> gaps_of_text(const std::string& text)
{
    std::istringstream lines(text);
    std::vector<double> gaps;
    for (double ms = 0; lines >> ms;) gaps.push_back(ms);
    return gaps;
}

int end_console(RunningProgram& term)
{
    term.type(CTRL_RBRACKET);
    return term.finish(20000).status;
}

// A program's run and what the tag received, on a free port or through
// tagterm.
struct TagRun {
    RunResult result;
    std::string bytes, script, gaps;
};

TagRun run_with_tag(const std::vector<std::string>& sim_args, const std::string& program,
                 const std::vector<std::string>& args, bool through_tagterm)
{
    const Target& target = Target::get();
    TempDir dir;
    std::vector<std::string> all = sim_args;
    all.insert(all.end(), {"--save-script", "@script"});
    Tag tag(dir, all);
    std::unique_ptr<RunningProgram> term;
    std::string before;
    if (through_tagterm) {
        term = start_console();
        before = read_file(dir.file("bytes"));
    }
    TagRun run;
    run.result = target.run_program(program, args);
    if (term) {
        EXPECT_TRUE(term->wait_for(program + " (pid ", 5000)) << term->output();
        EXPECT_TRUE(term->wait_for("is done", 5000)) << term->output();
        EXPECT_EQ(end_console(*term), 0);
    }
    run.bytes = read_file(dir.file("bytes")).substr(before.size());
    run.script = read_file(dir.file("script"));
    run.gaps = read_file(dir.file("gaps"));
    return run;
}

// A script whose upload takes seconds, in the work folder as long.bas.
std::string long_script()
{
    std::string script;
    for (int n = 10; script.size() < 30000; n += 10) {
        script += std::to_string(n) + " PRINT \"a line of a longer program\"\n";
    }
    write_file(Target::get().work().file("long.bas"), script);
    return script;
}

}  // namespace

TEST(Tagterm, TypingReachesTheTagAndCtrlBracketGivesThePortBack)
{
    // An old console keeps echoing what is typed (a new one is told to stop
    // when tagterm connects): its echo of a line is not shown a second time.
    TempDir dir;
    Tag tag(dir, {"--version", "V5.2.0", "--echo-typed"});
    auto term = start_console();
    EXPECT_NE(term->output().find("COM4: tag firmware 5.2.0, node 7."), std::string::npos) << term->output();
    term->type("ver\r");
    ASSERT_TRUE(term->wait_for("V5.2.0", 5000)) << term->output();
    term->type("\x03");
    EXPECT_TRUE(wait_for_in_file(dir.file("bytes"), "\x03", 1, 5000));
    EXPECT_EQ(end_console(*term), 0);
    std::string screen = term->output();
    EXPECT_EQ(count_of(screen, "V5.2.0"), 1u) << screen;
    // The echo would be a line of the tag's; the line typed is drawn as
    // typed ("ver", then the end of the line cleared).
    if (!Target::get().is_wine()) {
        EXPECT_EQ(count_of(screen, "ver\r\n"), 0u) << screen;
    }
    // tagterm's own connection, then the line typed and Ctrl-C.
    EXPECT_EQ(read_file(dir.file("bytes")), "ver\rid\rver\r\x03");
    RunResult after = Target::get().run_program("taglog", {"-c", "4"});
    EXPECT_EQ(after.status, 0) << after.out;
}

TEST(Tagterm, CtrlTULoadsAsFlashtagLoads)
{
    const Target& target = Target::get();
    write_file(target.work().file("prog.bas"), "10 PRINT \"hello\"\r\n20 GOTO 10\r\n");
    TagRun alone = run_with_tag({"--save-meta", "@meta"}, "flashtag", {"-c", "4", target.program_path("prog")}, false);
    ASSERT_EQ(alone.result.status, 0) << alone.result.out;

    TempDir dir;
    Tag tag(dir, {"--save-script", "@script"});
    auto term = start_console({target.program_path("prog")});
    size_t connect_bytes = read_file(dir.file("bytes")).size();
    term->type("\x14u");
    ASSERT_TRUE(term->wait_for("loaded ", 20000)) << term->output();
    EXPECT_TRUE(term->wait_for("bytes, node 7", 5000)) << term->output();
    EXPECT_EQ(end_console(*term), 0);
    EXPECT_EQ(read_file(dir.file("script")), alone.script);
    // flashtag's connection is tagterm's; from the load command on, the
    // line is flashtag's to the byte (its metadata record included).
    std::string load = "load \"_TXfer_\"";
    std::string mine = read_file(dir.file("bytes")).substr(connect_bytes);
    mine = mine.substr(mine.find(load));
    std::string theirs = alone.bytes.substr(alone.bytes.find(load));
    ASSERT_EQ(mine.size(), theirs.size());
    // The same to the byte, but for the upload's time (4 bytes after the
    // record's first) and so the checksum (the last).
    size_t record = theirs.rfind("\x01");
    for (size_t i = 0; i < theirs.size(); ++i) {
        if ((i > record && i <= record + 4) || i + 1 == theirs.size()) continue;
        EXPECT_EQ(mine[i], theirs[i]) << "byte " << i;
    }
}

TEST(Tagterm, ProgramsGoThroughItAsOnAFreePort)
{
    const Target& target = Target::get();
    std::string tokens = "\xfa" + std::string(349, 'T');
    write_file(target.work().file("tok.bas"), tokens);
    struct Case {
        std::vector<std::string> sim_args;
        std::string program;
        std::vector<std::string> args;
    } cases[] = {
        {{}, "flashtag", {"-c", "4", target.program_path("tok")}},
        {{"--final", "E002F flash"}, "flashtag", {"-c", "4", target.program_path("tok")}},
        {{"--log-records", "3"}, "taglog", {"-c", "4", "0", "3"}},
    };
    for (const Case& c : cases) {
        TagRun alone = run_with_tag(c.sim_args, c.program, c.args, false);
        TagRun through = run_with_tag(c.sim_args, c.program, c.args, true);
        EXPECT_EQ(through.result.out, alone.result.out) << c.program;
        EXPECT_EQ(through.result.status, alone.result.status) << c.program;
        // The same bytes, but for the upload's time in its metadata record.
        EXPECT_EQ(through.bytes.size(), alone.bytes.size()) << c.program;
        size_t record = alone.bytes.find("\x01", alone.bytes.find("TTT"));
        EXPECT_EQ(through.bytes.substr(0, record), alone.bytes.substr(0, record)) << c.program;
        if (c.program != "flashtag") continue;
        // The upload's pauses reach the tag through tagterm.
        std::vector<double> gaps = gaps_of_text(through.gaps);
        ASSERT_EQ(gaps.size() + 1, tokens.size());
        for (size_t k = 0; k < gaps.size(); k += 100) EXPECT_GE(gaps[k], PAUSE_SEEN_MS) << k;
    }
}

// Keys typed while a program goes through tagterm wait for it, then go in
// the order typed: a Ctrl-C must not land in the middle of its upload.
TEST(Tagterm, KeysWaitForAProgramGoingThrough)
{
    const Target& target = Target::get();
    std::string script = long_script();
    TempDir dir;
    Tag tag(dir, {"--save-script", "@script"});
    auto term = start_console();
    auto flashtag = target.start("flashtag", {"-c", "4", target.program_path("long")});
    ASSERT_TRUE(term->wait_for("is using the port", 10000)) << term->output();
    // Another program waits its turn, and says so once.
    auto taglog = target.start("taglog", {"-c", "4"});
    term->type("\x03\x14\x14ver\r");
    // A scan passes the port by as in use, and does not wait its turn.
    RunResult scan = target.run({"a"});
    EXPECT_EQ(scan.status, 1) << scan.out;
    EXPECT_NE(scan.out.find("flashtag: COM4 is in use by another program"), std::string::npos)
        << scan.out;
    EXPECT_NE(term->output().find("is using the port"), std::string::npos);
    EXPECT_EQ(term->output().find("is done"), std::string::npos) << "the scan waited";
    RunResult loaded = flashtag->finish(60000);
    EXPECT_EQ(loaded.status, 0) << loaded.out;
    EXPECT_TRUE(read_file(dir.file("script")) == script) << "the script the tag got differs";
    EXPECT_TRUE(wait_for_in_file(dir.file("bytes"), "\x03\x14ver\r", 1, 5000));
    RunResult waited = taglog->finish(60000);
    waited.out = target.folded(waited.out);
    EXPECT_EQ(waited.status, 0) << waited.out;
    EXPECT_EQ(count_of(waited.out, "waiting for tagterm (pid "), 1u) << waited.out;
    EXPECT_NE(waited.out.find("): flashtag (pid "), std::string::npos) << waited.out;
    EXPECT_NE(waited.out.find(") is using the port\n"), std::string::npos) << waited.out;
    EXPECT_EQ(end_console(*term), 0);
}

// An end in the middle of an upload is said as what it was: tagterm
// killed, or its port pulled, flashtag says so; flashtag killed, tagterm
// says that the upload did not finish.
TEST(Tagterm, AnEndMidUploadIsSaidAsWhatItWas)
{
    const Target& target = Target::get();
    long_script();
    enum Ends { TAGTERM, PORT, FLASHTAG };
    struct Case {
        Ends ends;
        std::string said;
    } cases[] = {
        {TAGTERM, ", which holds the port, has ended"},
        {PORT, "COM4 is gone ("},
        {FLASHTAG, ") ended before its upload finished (the tag may be half-loaded)"},
    };
    for (const Case& c : cases) {
        TempDir dir;
        auto tag = std::make_unique<Tag>(dir);
        auto term = start_console();
        auto flashtag = target.start("flashtag", {"-c", "4", target.program_path("long")});
        ASSERT_TRUE(term->wait_for("is using the port", 10000)) << term->output();
        ASSERT_TRUE(wait_for_in_file(dir.file("bytes"), "a line of", 1, 10000));
        if (c.ends == FLASHTAG) {
            flashtag.reset();
            EXPECT_TRUE(term->wait_for(c.said, 10000)) << term->output();
            EXPECT_EQ(end_console(*term), 0);
            continue;
        }
        if (c.ends == TAGTERM) term.reset();
        if (c.ends == PORT) tag.reset();
        RunResult r = flashtag->finish(30000);
        EXPECT_EQ(r.status, 1) << r.out;
        EXPECT_NE(r.out.find(c.said), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("did not complete a write"), std::string::npos) << r.out;
        if (term) {
            EXPECT_EQ(end_console(*term), 0);
        }
    }
}

// A station that goes through tagterm goes on when tagterm ends: the port
// is opened again, directly, and the next tag is loaded.
TEST(Tagterm, AStationGoesOnWhenItsTagtermEnds)
{
    const Target& target = Target::get();
    write_file(target.work().file("st.bas"), "10 END\r\n");
    TempDir dir;
    Tag tag(dir);
    auto term = start_console();
    auto station = target.start("tagfleet", {"--station", "--count", "2", "-c", "4",
                                             target.program_path("st.bas")});
    ASSERT_TRUE(station->wait_for("COM4: loaded", 20000)) << station->output();
    EXPECT_TRUE(term->wait_for("tagfleet (pid ", 5000)) << term->output();
    term.reset();
    tag.sim->signal(SIGUSR1);
    usleep(1500000);
    tag.sim->signal(SIGUSR2);
    RunResult r = station->finish(30000);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(count_of(r.out, "COM4: loaded"), 2u) << r.out;
}

TEST(Tagterm, WatchLoadsAChangeOnceAndAnUnchangedSaveNever)
{
    const Target& target = Target::get();
    std::string path = target.work().file("w.bas");
    write_file(path, "10 PRINT 1\r\n");
    TempDir dir;
    Tag tag(dir, {"--transcript", "@transcript"});
    auto term = start_console({"--watch", target.program_path("w.bas")});
    usleep(700000);  // the file as it was at the start is not loaded
    write_file(path, "10 PRINT 2\r\n");
    ASSERT_TRUE(term->wait_for("loaded ", 10000)) << term->output();
    write_file(path, "10 PRINT 2\r\n");  // saved again as it was
    usleep(1500000);
    EXPECT_EQ(end_console(*term), 0);
    EXPECT_EQ(count_of(term->output(), "loaded "), 1u) << term->output();
    EXPECT_EQ(count_of(read_file(dir.file("transcript")), "load \"_TXfer_\""), 1u);
}

// A file being written is not loaded until it has settled, and an empty
// one never: the tag's flash gets the whole script, once.
TEST(Tagterm, WatchLoadsOnlyAWholeFileAndNeverAnEmptyOne)
{
    const std::string whole = "10 PRINT 1\n20 PRINT 2\n";
    const std::string first_part = whole.substr(0, 11);
    // Each step: the file truncated (or appended to) with the text, then a pause (ms).
    struct step {
        bool append;
        std::string text;
        int pause_ms;
    };
    struct {
        const char* what;
        std::vector<step> steps;
        size_t empty_notes;
    } cases[] = {
        {"made empty, written 1 s later", {{false, "", 1000}, {false, whole, 0}}, 0},
        {"written in two parts 1 s apart",
         {{false, first_part, 1000}, {true, whole.substr(first_part.size()), 0}}, 0},
        {"left empty, then written", {{false, "", 4000}, {false, whole, 0}}, 1},
    };
    const Target& target = Target::get();
    std::string path = target.work().file("w.bas");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        write_file(path, "10 PRINT 0\r\n");
        TempDir dir;
        Tag tag(dir, {"--save-script", "@script"});
        auto term = start_console({"--watch", target.program_path("w.bas")});
        usleep(700000);  // the file as it was at the start is not loaded
        for (const step& s : c.steps) {
            if (s.append) {
                std::ofstream(path, std::ios::binary | std::ios::app) << s.text;
            } else {
                write_file(path, s.text);
            }
            usleep(static_cast<useconds_t>(s.pause_ms) * 1000);
        }
        std::string loaded = ": " + std::to_string(whole.size()) + " bytes, node";
        EXPECT_TRUE(term->wait_for(loaded, 15000)) << term->output();
        EXPECT_EQ(end_console(*term), 0);
        EXPECT_EQ(count_of(term->output(), "loaded "), 1u) << term->output();
        EXPECT_EQ(count_of(term->output(), "is empty: not loaded"), c.empty_notes) << term->output();
        EXPECT_EQ(read_file(dir.file("script")), whole);
    }
}

TEST(Tagterm, PortPulledAndPutBack)
{
    TempDir first, second;
    auto tag = std::make_unique<Tag>(first);
    auto term = start_console();
    tag.reset();  // its terminal hangs up and its link goes
    // Seen while the tag is quiet and nothing is typed, though under Wine a
    // COM port whose terminal hung up reads as a quiet line: within 1 s,
    // with room for a loaded machine.
    auto pulled = std::chrono::steady_clock::now();
    ASSERT_TRUE(term->wait_for("is gone", 10000)) << term->output();
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - pulled).count(), 4.0);
    tag = std::make_unique<Tag>(second);
    ASSERT_TRUE(term->wait_for("COM4 is back", 10000)) << term->output();
    term->type("?_id\r");
    EXPECT_TRUE(wait_for_in_file(second.file("bytes"), "?_id\r", 1, 5000));
    if (!Target::get().is_wine()) {
        // Back, but another program opened it first (a station polling its
        // slot): tagterm has it once that one lets it go. (Wine's in-use is
        // its own sharing, which a Linux lock does not touch.)
        tag.reset();
        ASSERT_TRUE(term->wait_for("is gone", 10000, 2)) << term->output();
        TempDir third;
        TagSimProcess sim(third.file("tty"), {"--save-bytes", third.file("bytes")});
        int held = open(sim.tty().c_str(), O_RDWR | O_NOCTTY);
        ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
        ASSERT_EQ(symlink(sim.tty().c_str(), Target::get().port_link(4).c_str()), 0);
        ASSERT_TRUE(term->wait_for("is there again but is in use by another program", 10000))
            << term->output();
        close(held);
        ASSERT_TRUE(term->wait_for("COM4 is back", 10000, 2)) << term->output();
        term->type("?_id\r");
        EXPECT_TRUE(wait_for_in_file(third.file("bytes"), "?_id\r", 1, 5000));
        unlink(Target::get().port_link(4).c_str());
    }
    EXPECT_EQ(end_console(*term), 0);
}

TEST(Tagterm, PipedLinesAndTheTagsControlCharactersShownAsText)
{
    const Target& target = Target::get();
    TempDir dir;
    Tag tag(dir, {"--version", "V6.1.0\x1b]0;title\x07\x1b[2J\xb3"});
    write_file(target.work().file("in"), "ver\n?_id\n");
    RunOptions piped;
    piped.stdin_path = target.work().file("in");
    RunResult r = target.run_program("tagterm", {"-c", "4", "-t", "--log", target.program_path("log"),
                                                 "--exit-after", "300"}, piped);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out.find('\x1b'), std::string::npos) << r.out;
    std::string shown = "V6.1.0^[]0;title^G^[[2J\xe2\x94\x82\n";
    ASSERT_EQ(r.out.size(), 2 * 13 + shown.size() + 2) << r.out;
    EXPECT_EQ(r.out.substr(13, shown.size()), shown);
    EXPECT_EQ(r.out.substr(13 + shown.size() + 13), "7\n");
    std::string log = read_file(target.work().file("log"));
    // Every line with its time: the tag's and the typed ones.
    ASSERT_EQ(log.size(), 13 + 12 + 13 + shown.size() + 13 + 13 + 13 + 2) << log;
    EXPECT_EQ(log.substr(13, 12), "[typed] ver\n");
    EXPECT_EQ(log.substr(13 + 12 + 13, shown.size()), shown);
    EXPECT_EQ(log.substr(13 + 12 + 13 + shown.size() + 13, 13), "[typed] ?_id\n");
}

TEST(Tagterm, AnotherUsersProgramIsRefused)
{
    const Target& target = Target::get();
    if (target.is_wine()) GTEST_SKIP() << "users are the Linux build's to tell apart";
    if (geteuid() != 0) GTEST_SKIP() << "needs root, to run a program as nobody";
    TempDir dir;
    Tag tag(dir);
    auto term = start_console();
    // nobody may reach the port itself: only tagterm's hold keeps it out.
    chmod(tag.sim->tty().c_str(), 0666);
    chmod(target.port_dir().path().c_str(), 0755);
    RunResult r = run_program({"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups",
                               FLASHTAG_PATH, "-c", "4", "x"},
                              {"FLASHTAG_PORT_DIR=" + target.port_dir().path()});
    EXPECT_NE(r.out.find("flashtag: COM4 is in use by another program; it is open in tagterm (pid "),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find(") of another user\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(end_console(*term), 0);
}

TEST(Tagterm, AKilledTagtermLeavesNothingBehind)
{
    const Target& target = Target::get();
    if (target.is_wine()) GTEST_SKIP() << "signals reach Wine, not the program";
    TempDir dir;
    Tag tag(dir, {"--log-records", "3"});
    auto term = start_console();
    term.reset();  // SIGKILL: its exclusive flag and its socket stay behind
    EXPECT_EQ(target.run_program("taglog", {"-c", "4"}).out, "Log size: 3 of 1000\n");
    term = start_console();
    RunResult through = target.run_program("taglog", {"-c", "4"});
    EXPECT_EQ(through.out, "Log size: 3 of 1000\n");
    EXPECT_TRUE(term->wait_for("taglog (pid ", 5000)) << term->output();
    EXPECT_EQ(end_console(*term), 0);
}

TEST(Tagterm, UsageErrorsAndAPortThatIsNotThere)
{
    const Target& target = Target::get();
    struct Case {
        std::vector<std::string> args;
        std::string out;
        int status;
    } cases[] = {
        {{"-x"}, "tagterm: unknown option \"-x\"\nTry \"tagterm --help\".\n", 2},
        {{"--watch"}, "tagterm: --watch needs a SCRIPT\nTry \"tagterm --help\".\n", 2},
        {{"-c", "0"}, "tagterm: not a port: \"0\"\nTry \"tagterm --help\".\n", 2},
        {{"-c", "9"}, "tagterm: Error: Can't connect to tag on COM9\ntagterm: COM9 does not exist\n", 1},
    };
    for (const Case& c : cases) {
        RunResult r = target.run_program("tagterm", c.args);
        EXPECT_EQ(r.out, c.out) << c.args[0];
        EXPECT_EQ(r.status, c.status) << c.args[0];
    }
}

// tagfleet's threads, one port through tagterm and one free: both loaded,
// as they would be with no tagterm (the relay's client under a threaded
// program, which the ThreadSanitizer run takes too).
TEST(Tagterm, TagfleetGoesThroughItBesideAFreePort)
{
    const Target& target = Target::get();
    std::string script(3000, 'x');
    write_file(target.work().file("f.bas"), script);
    TempDir held, free;
    Tag tag(held, {"--save-script", "@script"});
    TagSimProcess other(target.port_link(5), {"--save-script", free.file("script")});
    auto term = start_console();
    RunResult r = target.run_program("tagfleet", {"-c", "4", "-c", "5", target.program_path("f.bas")});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("2 tags: 2 loaded, 0 failed"), std::string::npos) << r.out;
    EXPECT_TRUE(term->wait_for("tagfleet (pid ", 5000)) << term->output();
    EXPECT_TRUE(term->wait_for("is done", 5000)) << term->output();
    EXPECT_EQ(end_console(*term), 0);
    EXPECT_TRUE(read_file(held.file("script")) == script);
    EXPECT_TRUE(read_file(free.file("script")) == script);
}

// A paste longer than the queue of lines waiting to go: what does not fit
// waits in the terminal, and every line reaches the tag, in order. A load
// asked for in the middle (Ctrl-T u) comes in its turn, after the lines
// before it.
TEST(Tagterm, APasteGoesWholeAndInOrder)
{
    const Target& target = Target::get();
    write_file(target.work().file("prog.bas"), "10 PRINT \"hello\"\r\n");
    TempDir dir;
    Tag tag(dir, {"--transcript", "@transcript"});
    auto term = start_console({target.program_path("prog")});
    std::string paste, before, after;
    for (int n = 1; n <= 200; ++n) {
        paste += "p" + std::to_string(n) + "\r" + (n == 100 ? "\x14u" : "");
        (n <= 100 ? before : after) += "p" + std::to_string(n) + "\n";
    }
    term->type(paste);
    EXPECT_TRUE(wait_for_in_file(dir.file("transcript"), "p200\n", 1, 90000)) << term->output();
    EXPECT_EQ(end_console(*term), 0);
    std::string got = read_file(dir.file("transcript"));
    got = got.substr(got.find("p1\n"));
    size_t load = got.find("load \"_TXfer_\"");
    ASSERT_NE(load, std::string::npos) << got;
    EXPECT_EQ(got.substr(0, got.rfind("ver\n", load)), before);
    EXPECT_EQ(got.substr(got.find("p101\n")), after);
    EXPECT_EQ(count_of(term->output(), "loaded "), 1u) << term->output();
    EXPECT_EQ(term->output().find("not sent"), std::string::npos) << term->output();
}

// A line goes whole, as one command, or not at all: one longer than the tag
// takes is refused with a note, never cut or split; piped or typed.
TEST(Tagterm, ALongLineGoesWholeOrNotAtAll)
{
    const Target& target = Target::get();
    struct Case {
        size_t length;
        bool sent;
        bool typed_too;  // typing is slow (each key draws the line again): the edges only
    } cases[] = {{290, true, true}, {1023, true, false}, {1024, false, true}, {1100, false, false}};
    for (bool typed : {false, true}) {
        std::string input, sent;
        std::vector<std::string> notes;
        char letter = 'a';
        for (const Case& c : cases) {
            if (typed && !c.typed_too) continue;
            std::string line(c.length, letter++);
            input += line + "\n";
            if (c.sent) sent += line + "\n";
            if (!c.sent) {
                notes.push_back("a line of " + std::to_string(c.length) +
                                " characters was not sent: the tag takes lines of up to 1023");
            }
        }
        input += "ver\n";  // the tag is still there, and has had only whole lines
        sent += "ver\n";
        TempDir dir;
        Tag tag(dir, {"--transcript", "@transcript"});
        std::string out;
        if (typed) {
            auto term = start_console();
            std::string keys = input;
            for (char& k : keys) k = k == '\n' ? '\r' : k;
            term->type(keys);
            EXPECT_TRUE(wait_for_in_file(dir.file("transcript"), "ver\n", 2, 60000));
            EXPECT_EQ(end_console(*term), 0);
            out = term->output();
        } else {
            write_file(target.work().file("long-lines"), input);
            RunOptions piped;
            piped.stdin_path = target.work().file("long-lines");
            RunResult r = target.run_program("tagterm", {"-c", "4", "--exit-after", "300"}, piped);
            EXPECT_EQ(r.status, 0) << r.out;
            out = r.out;
        }
        std::string got = read_file(dir.file("transcript"));
        EXPECT_EQ(got.substr(got.find('a')), sent) << typed;
        for (const std::string& note : notes) {
            EXPECT_NE(out.find((typed ? "[tagterm] " : "tagterm: ") + note), std::string::npos)
                << typed << " " << note << "\n" << out;
        }
    }
}

// Lines from a file have nobody to wait with for a port that went away:
// tagterm ends, and says why.
TEST(Tagterm, PipedLinesEndWhenThePortGoes)
{
    const Target& target = Target::get();
    TempDir dir;
    auto tag = std::make_unique<Tag>(dir, std::vector<std::string>{"--transcript", "@transcript"});
    std::string lines;
    for (int n = 0; n < 100; ++n) lines += "?_id\n";
    write_file(target.work().file("in"), lines);
    std::thread pull([&] {
        wait_for_in_file(dir.file("transcript"), "?_id", 4, 20000);
        tag.reset();
    });
    RunOptions piped;
    piped.stdin_path = target.work().file("in");
    piped.timeout_ms = 40000;  // then killed: status -1
    RunResult r = target.run_program("tagterm", {"-c", "4"}, piped);
    pull.join();
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("tagterm: COM4 is gone ("), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("tagterm ends; the lines still to send were not sent"), std::string::npos)
        << r.out;
}

// Ctrl-T u while a program goes through tagterm loads once it is done; if
// the port went away meanwhile, once it is back.
TEST(Tagterm, ALoadPutOffWaitsForThePort)
{
    const Target& target = Target::get();
    std::string script;
    for (int n = 10; script.size() < 30000; n += 10) {
        script += std::to_string(n) + " PRINT \"a line of a longer program\"\n";
    }
    write_file(target.work().file("long.bas"), script);
    write_file(target.work().file("short.bas"), "10 PRINT 1\n");
    TempDir first, second;
    auto tag = std::make_unique<Tag>(first);
    auto term = start_console({target.program_path("short.bas")});
    auto flashtag = target.start("flashtag", {"-c", "4", target.program_path("long")});
    ASSERT_TRUE(term->wait_for("is using the port", 10000)) << term->output();
    term->type("\x14u");
    ASSERT_TRUE(term->wait_for("the load comes when flashtag is done", 5000)) << term->output();
    tag.reset();
    ASSERT_TRUE(term->wait_for("is gone", 10000)) << term->output();
    flashtag->finish(30000);
    usleep(1000000);  // a load that did not wait would have failed by now
    tag = std::make_unique<Tag>(second, std::vector<std::string>{"--save-script", "@script"});
    ASSERT_TRUE(term->wait_for("COM4 is back", 10000)) << term->output();
    EXPECT_TRUE(term->wait_for("loaded ", 20000)) << term->output();
    EXPECT_EQ(end_console(*term), 0);
    EXPECT_EQ(read_file(second.file("script")), "10 PRINT 1\n");
    EXPECT_EQ(term->output().find("load FAILED"), std::string::npos) << term->output();
}
