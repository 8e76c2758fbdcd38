// Faults end to end: a tag that goes away or goes quiet, devices that are not
// a tag, replies no tag should send, and odd input from the user. Every one
// ends with a "flashtag: Error: " line and status 1, never with SUCCESS.
#include "target.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

namespace {

const std::string tail_failed = "flashtag: Error: Failed to load script file (error ";

// Runs flashtag on COM6 with a tag that has `sim_args`, uploading `content`.
RunResult run_with(const std::vector<std::string>& sim_args, const std::string& content = "AB")
{
    const Target& target = Target::get();
    TagSim tag(target.port_link(6), sim_args);
    write_file(target.work().file("f.bas"), content);
    RunResult r = target.run({"-c", "6", target.program_path("f.bas")});
    remove(target.work().file("f.bas").c_str());
    return r;
}

void expect_failure(const RunResult& r, const std::string& last_line)
{
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out.find("SUCCESS"), std::string::npos);
    ASSERT_GE(r.out.size(), last_line.size());
    EXPECT_EQ(r.out.substr(r.out.size() - last_line.size()), last_line) << r.out;
}

}  // namespace

TEST(Faults, TagGoesAwayOrQuietDuringAnUpload)
{
    expect_failure(run_with({"--hangup-after", "300"}, std::string(1000, 'x')),
                   tail_failed + "2)\n");
    expect_failure(run_with({"--hangup-after", "1010"}, std::string(1000, 'x')),
                   tail_failed + "2)\n");  // inside the metadata record
    expect_failure(run_with({"--mute-after-load"}), tail_failed + "2)\n");
}

TEST(Faults, DevicesThatAreNotATag)
{
    const std::string no_tag = "flashtag: Error: Can't connect to tag on COM6\n";
    // --babble: never quiet, never a line
    for (const auto& device : std::vector<std::vector<std::string>>{
             {"--garbage"}, {"--babble"}, {"--silent"}, {"--version", "Bootloader 1.0"}}) {
        SCOPED_TRACE(device[0]);
        expect_failure(run_with(device), no_tag);
    }
}

TEST(Faults, ScanPassesDevicesThatAreNotATag)
{
    const Target& target = Target::get();
    TagSim babbler(target.port_link(2), {"--babble"});
    TagSim noise(target.port_link(3), {"--garbage"});
    TagSim tag(target.port_link(5), {"--node-id", "9"});
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
                   "flashtag: Error: Can't connect to tag on COM6\n");
    // A NUL ends a line: "O", NUL, "K" is not "OK".
    expect_failure(run_with({"--final", "O\\0K"}), tail_failed + "16)\n");
    expect_failure(run_with({"--m-line", "\\0M"}), tail_failed + "13)\n");
}

TEST(Faults, PortHeldByAnotherProgram)
{
    const Target& target = Target::get();
    if (target.is_wine()) GTEST_SKIP() << "Wine arbitrates its own processes only";
    TagSim tag(target.port_link(6));
    // A terminal program that took the port (and its lock) first.
    Background holder({"flock", "--exclusive", target.port_link(6), "-c", "echo held; sleep 30"});
    ASSERT_EQ(holder.first_line(), "held");
    RunResult r = target.run({"-c", "6", "x"});
    expect_failure(r, "flashtag: Error: Can't connect to tag on COM6\n");
}

TEST(Faults, ScriptsThatCannotBeRead)
{
    const Target& target = Target::get();
    TagSim tag(target.port_link(6));
    mkdir(target.work().file("dir.bas").c_str(), 0700);
    RunResult r = target.run({"-c", "6", target.program_path("dir")});
    expect_failure(r, "flashtag: Error: File not found \"" + target.program_path("dir.bas") + "\"\n");
    rmdir(target.work().file("dir.bas").c_str());
    if (!target.is_wine()) {
        // A pipe would keep the program waiting for a writer for ever.
        mkfifo(target.work().file("pipe.bas").c_str(), 0600);
        r = target.run({"-c", "6", target.program_path("pipe")}, 20000);
        expect_failure(r, "flashtag: Error: File not found \"" + target.program_path("pipe.bas") + "\"\n");
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
