// Faults end to end: a tag that goes away or goes quiet, devices that are not
// a tag, replies no tag should send, and odd input from the user. Every one
// ends with a "flashtag: Error: " line and status 1, never with SUCCESS.
#include "target.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

const std::string tail_failed = "flashtag: Error: Failed to load script file (error ";

// Runs flashtag on COM6 with a tag that has `sim_args`, uploading `content`.
RunResult run_with(const std::vector<std::string>& sim_args, const std::string& content = "AB")
{
    const Target& target = Target::get();
    TagSimProcess tag(target.port_link(6), sim_args);
    write_file(target.work().file("f.bas"), content);
    RunResult r = target.run({"-c", "6", target.program_path("f.bas")});
    remove(target.work().file("f.bas").c_str());
    return r;
}

// The run failed with `error_line`, followed by the last line, which says why:
// "flashtag: COM6 " and `reason` (its beginning, when it ends in '*').
void expect_failure(const RunResult& r, const std::string& error_line, std::string reason)
{
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out.find("SUCCESS"), std::string::npos);
    size_t at = r.out.rfind(error_line);
    ASSERT_NE(at, std::string::npos) << r.out;
    std::string why = r.out.substr(at + error_line.size());
    bool prefix = !reason.empty() && reason.back() == '*';
    if (prefix) reason.pop_back();
    EXPECT_EQ(why.rfind("flashtag: COM6 " + reason, 0), 0u) << why;
    if (!prefix) {
        EXPECT_EQ(why, "flashtag: COM6 " + reason + "\n");
    }
    EXPECT_EQ(why.find('\n'), why.size() - 1) << why;  // one line, the last
}

}  // namespace

TEST(Faults, TagGoesAwayOrQuietDuringAnUpload)
{
    const Target& target = Target::get();
    // Wine does not pass a hang-up on: the line only goes quiet.
    const std::string gone = target.is_wine() ? "*" : "does not work as a serial port (*";
    expect_failure(run_with({"--hangup-after", "300"}, std::string(1000, 'x')),
                   tail_failed + "2)\n", gone);
    expect_failure(run_with({"--hangup-after", "1010"}, std::string(1000, 'x')),
                   tail_failed + "2)\n", gone);  // inside the metadata record
    expect_failure(run_with({"--mute-after-load"}), tail_failed + "2)\n",
                   "did not answer the script data within 1 s");
}

TEST(Faults, DevicesThatAreNotATag)
{
    const std::string no_tag = "flashtag: Error: Can't connect to tag on COM6\n";
    struct Case {
        std::vector<std::string> device;
        std::string reason;
    } cases[] = {
        {{"--garbage"}, "answered \"*"},
        {{"--babble"}, "sent more than 4096 bytes without a line end after \"ver\""},  // never a line
        {{"--silent"}, "did not answer \"ver\" within 1 s"},
        {{"--version", "Bootloader 1.0"},
         "answered \"Bootloader 1.0\", which is not a tag's version reply"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.device[0]);
        expect_failure(run_with(c.device), no_tag, c.reason);
    }
}

TEST(Faults, ScanPassesDevicesThatAreNotATag)
{
    const Target& target = Target::get();
    TagSimProcess babbler(target.port_link(2), {"--babble"});
    TagSimProcess noise(target.port_link(3), {"--garbage"});
    TagSimProcess tag(target.port_link(5), {"--node-id", "9"});
    RunResult r = target.run({"missing"});
    EXPECT_NE(r.out.find("Scanning ports...\nPort     : COM5\nNode ID  : 9\n"), std::string::npos)
        << r.out;
}

TEST(Faults, OverlongAndNulRepliesAreHandled)
{
    // A version line longer than any buffer is cut and still understood...
    RunResult r = run_with({"--version", "V6.1.0" + std::string(3000, 'x')});
    EXPECT_EQ(r.status, 0) << r.out;
    // ...but a line that never ends is not a reply.
    expect_failure(run_with({"--version", "V6.1.0" + std::string(5000, 'x')}),
                   "flashtag: Error: Can't connect to tag on COM6\n", "sent more than 4096 *");
    // A NUL ends a line: "O", NUL, "K" is not "OK".
    expect_failure(run_with({"--final", "O\\0K"}), tail_failed + "16)\n",
                   "answered \"O\" after the metadata record");
    expect_failure(run_with({"--m-line", "\\0M"}), tail_failed + "13)\n",
                   "answered \"\" after the script data");
}

TEST(Faults, PortHeldByAnotherProgram)
{
    const Target& target = Target::get();
    if (target.is_wine()) GTEST_SKIP() << "Wine arbitrates its own processes only";
    const std::string link = target.port_link(6);
    struct Case {
        std::vector<std::string> tag;
        std::vector<std::string> holder;  // prints "held" once it has the port
        std::string reason;
    } cases[] = {
        // A terminal program that took the port (and its lock) first.
        {{}, {"flock", "--exclusive", link, "-c", "echo held; sleep 30"},
         "is in use by another program; it is open in flock (pid *"},
        // One that takes no lock and reads (from after the port was made
        // raw), and so may have taken the replies.
        {{"--silent"},
         {"sh", "-c", "exec 3<" + link + "; echo held; sleep 0.3; exec cat <&3 >/dev/null"},
         "did not answer \"ver\" within 1 s; it is also open in cat (pid *"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.holder[0]);
        TagSimProcess tag(link, c.tag);
        Background holder(c.holder);
        ASSERT_EQ(holder.first_line(), "held");
        RunResult r = target.run({"-c", "6", "x"});
        expect_failure(r, "flashtag: Error: Can't connect to tag on COM6\n", c.reason);
        EXPECT_NE(r.out.find(c.reason == cases[1].reason ? "which may have taken the replies\n"
                                                          : ")\n"),
                  std::string::npos);
    }
}

TEST(Faults, ScriptsThatCannotBeRead)
{
    auto not_found = [](const std::string& file) {
        return "flashtag: Error: File not found \"" + Target::get().program_path(file) + "\"\n";
    };
    const Target& target = Target::get();
    TagSimProcess tag(target.port_link(6));
    mkdir(target.work().file("dir.bas").c_str(), 0700);
    RunResult r = target.run({"-c", "6", target.program_path("dir")});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.out.ends_with(not_found("dir.bas"))) << r.out;
    rmdir(target.work().file("dir.bas").c_str());
    if (!target.is_wine()) {
        // A pipe would keep the program waiting for a writer for ever.
        mkfifo(target.work().file("pipe.bas").c_str(), 0600);
        RunOptions shorter;
        shorter.timeout_ms = 20000;
        r = target.run({"-c", "6", target.program_path("pipe")}, shorter);
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(r.out.ends_with(not_found("pipe.bas"))) << r.out;
        remove(target.work().file("pipe.bas").c_str());
    }
}

TEST(Faults, OddArguments)
{
    const Target& target = Target::get();
    RunResult r = target.run({""});
    EXPECT_NE(r.out.find("flashtag: Error: Specify a script file to load\n"), std::string::npos);
    EXPECT_EQ(r.status, 1);
    r = target.run({"-c", "", "f"});  // an empty port text means: scan
    EXPECT_NE(r.out.find("Scanning ports...\n"), std::string::npos);
    EXPECT_EQ(r.status, 1);
    r = target.run({"-c", "5\xff", std::string(199, 'a')});
    EXPECT_NE(r.out.find("Can't connect to tag on COM5"), std::string::npos) << r.out;
    r = target.run({"-c", "%s%n%s", "f"});
    EXPECT_NE(r.out.find("Specify a port number with -c option"), std::string::npos);
}

TEST(Faults, EveryEndOfARunGivesThePortBackAsFound)
{
    const Target& target = Target::get();
    write_file(target.work().file("long.bas"), std::string(5000, 'x'));
    const std::string interrupted = "\nflashtag: Error: Interrupted; the port was released\n";
    constexpr int CLOSED_OUTPUT = 0;  // the reader of the output goes away
    struct Case {
        const char* end;
        int signal;  // or CLOSED_OUTPUT; -1: the run ends by itself
        std::vector<std::string> tag;
        std::string tail;  // of the output; empty when it was closed
    } cases[] = {
        {"SIGINT", SIGINT, {}, interrupted},
        {"SIGTERM", SIGTERM, {}, interrupted},
        {"SIGHUP", SIGHUP, {}, interrupted},
        {"SIGQUIT", SIGQUIT, {}, interrupted},
        {"output closed", CLOSED_OUTPUT, {}, ""},
        // A run that ends with the port still open: the node ID never comes.
        {"error exit", -1, {"--mute-id"}, "flashtag: Error: Failed to read node ID\n"
                                          "flashtag: COM6 did not answer \"?_id\" within 1 s\n"},
        {"success", -1, {}, "Re-boot the tag to load it.\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.end);
        // Under Wine only the runs that end by themselves: signals reach
        // Wine, not the program (Ctrl-C is tried by hand in a console).
        if (target.is_wine() && c.signal >= 0) continue;
        TagSimProcess tag(target.port_link(6), c.tag);
        int fd = open(tag.tty().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        ASSERT_GE(fd, 0);
        termios before{};
        tcgetattr(fd, &before);
        cfsetospeed(&before, B9600);  // not the speed the program sets
        cfsetispeed(&before, B9600);
        tcsetattr(fd, TCSANOW, &before);
        close(fd);  // a port open here would be named in the run's failure
        RunOptions options;
        if (c.signal >= 0) {
            options.signal_after = "Sending Script...\n";
            options.signal = c.signal;
        }
        RunResult r = target.run({"-c", "6", target.program_path("long")}, options);
        if (c.signal == CLOSED_OUTPUT) {
            EXPECT_NE(r.status, -1) << "killed by a signal";
        } else {
            EXPECT_EQ(r.status, c.signal == -1 && c.tag.empty() ? 0 : 1);
            EXPECT_TRUE(r.out.ends_with(c.tail)) << r.out;
        }
        fd = open(tag.tty().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        ASSERT_GE(fd, 0);
        termios after{};
        tcgetattr(fd, &after);
        EXPECT_EQ(cfgetospeed(&after), B9600);
        if (!target.is_wine()) {
#ifdef TIOCGEXCL
            int exclusive = 1;
            EXPECT_EQ(ioctl(fd, TIOCGEXCL, &exclusive), 0);
            EXPECT_EQ(exclusive, 0);  // the next run of an ordinary user can open it
#endif
            EXPECT_EQ(after.c_lflag, before.c_lflag);
            EXPECT_EQ(after.c_iflag, before.c_iflag);
        }
        close(fd);
    }
    remove(target.work().file("long.bas").c_str());
}
