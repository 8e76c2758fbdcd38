// The command line as a user meets it: texts, exit statuses, the named port
// and the scan, against the simulated tag.
#include "target.h"

#include <chrono>
#include <gtest/gtest.h>

namespace {

const std::string banner =
    "\nCorvela Script Loader V1.2\nCopyright (C) Corvela. All rights reserved.\n\n";
const std::string hint = "Type \"flashtag -h\" for help using this program.\n\n";
const std::string help =
    "flashtag: flashtag does 3 things:\n"
    "flashtag:   1. Connects to a Corvela tag in a support board.\n"
    "flashtag:   2. Transfers a BASIC script to the tag from a PC file.\n"
    "flashtag:   3. Writes the script into the flash memory on the tag.\n"
    "flashtag:      On re-boot, the script will be re-loaded from flash\n"
    "flashtag:      and optionally started running (see -r option below).\n"
    "flashtag:\n"
    "flashtag: Usage is \"flashtag [options] <filename>\"\n"
    "flashtag:\n"
    "flashtag: The BASIC script filename must end in .bas.  It can be a tokenised\n"
    "flashtag: file produced using save \"filename\" with a PC version of Quorbel\n"
    "flashtag: or a plain text file which will be tokensied when loaded.\n"
    "flashtag:\n"
    "flashtag: Options: -c <COM port number>  Use specified COM port to connect\n"
    "flashtag:                                to the tag.  Without this option,\n"
    "flashtag:                                flashtag will search for a tag.\n"
    "flashtag:          -r Automatically run the script on tag power-up.\n"
    "flashtag:             Without -r the script will be loaded but won't run.\n"
    "flashtag:          -h Display this help text\n"
    "flashtag:          -v Trace the serial line on stderr (ports, commands\n"
    "flashtag:             and replies), for finding out why a run fails.\n"
    "flashtag:          -l List the serial ports of this computer and exit.\n"
    "flashtag:          -c also takes socket://HOST:PORT and rfc2217://HOST:PORT.\n"
    "flashtag:          -c also takes a USB adapter: usb:VID:PID[:SERIAL] or usb@JACK.\n";
const std::string port_error = "flashtag: Error: Specify a port number with -c option\n";

std::string settings(const std::string& port, int node, const std::string& file, bool run)
{
    return "Port     : " + port + "\nNode ID  : " + std::to_string(node) + "\nFile     : " + file +
           "\nAuto-run : " + (run ? "ON" : "OFF") + "\n\n";
}

// The runs below stop at the upload: there is no script file.
std::string not_found(const std::string& file)
{
    return "flashtag: Error: File not found \"" + file + "\"\n";
}

RunResult run(const std::vector<std::string>& args) { return Target::get().run(args); }
std::string link(int n) { return Target::get().port_link(n); }

}  // namespace

TEST(CommandLine, NoArgumentsAsksForAFile)
{
    RunResult r = run({});
    EXPECT_EQ(r.out, banner + hint + "flashtag: Error: Specify a script file to load\n");
    EXPECT_EQ(r.status, 1);
}

TEST(CommandLine, MoreThanFourArgumentsPrintOnlyTheHelp)
{
    RunResult r = run({"-c", "5", "-r", "a", "b"});
    EXPECT_EQ(r.out, banner + help);
    EXPECT_EQ(r.status, 1);
}

TEST(CommandLine, HelpAndUnknownOptionsInTheOrderGiven)
{
    for (const char* h : {"-h", "-Help", "-H"}) {
        RunResult r = run({h, "-x"});
        EXPECT_EQ(r.out, banner + help) << h;
        EXPECT_EQ(r.status, 0);
    }
    for (const char* bad : {"-x", "-", "-5"}) {
        RunResult r = run({bad, "-h"});
        EXPECT_EQ(r.out, banner + "flashtag: Error: Unknown option \"" + bad +
                             "\", see help below...\n\n" + help) << bad;
        EXPECT_EQ(r.status, 1);
    }
    // "-5" after "-c" is still an option, not the port.
    EXPECT_EQ(run({"-c", "-5", "x"}).status, 1);
}

TEST(CommandLine, PortMustBeANumberFrom1To255)
{
    for (std::vector<std::string> args : {std::vector<std::string>{"-c", "0", "f"},
                                           {"-c", "256", "f"},
                                           {"-c", "abc", "f"},
                                           {"-c", "COM3", "f"},
                                           {"-c", "9999999999999999999", "f"},
                                           {"-c", "x.bas"}}) {
        RunResult r = run(args);
        EXPECT_EQ(r.out, banner + hint + port_error) << args[1];
        EXPECT_EQ(r.status, 1);
    }
}

TEST(CommandLine, ArgumentsLongerThanTheirBuffersAreJudgedAfterTheWalk)
{
    const std::string long_name(200, 'f');
    struct Case {
        std::vector<std::string> args;
        std::string out;
        int status;
    } cases[] = {
        {{"-c", std::string(19, '0') + "5", "f"},  // 20 characters
         hint + "flashtag: Error: Port number too long (at most 19 characters)\n", 1},
        {{long_name}, hint + "flashtag: Error: File name too long (at most 199 characters)\n", 1},
        {{long_name, "-h"}, help, 0},
        {{"-c", "abc", long_name}, hint + port_error, 1},
        {{long_name, "-c", "8", "prog"},
         hint + "flashtag: Error: Can't connect to tag on COM8\nflashtag: COM8 does not exist\n", 1},
    };
    for (const Case& c : cases) {
        RunResult r = run(c.args);
        EXPECT_EQ(r.out, banner + c.out) << c.args[0];
        EXPECT_EQ(r.status, c.status);
    }
}

TEST(CommandLine, NamedPortWithoutATag)
{
    RunResult r = run({"-c", "7", "file"});
    EXPECT_EQ(r.out, banner + hint + "flashtag: Error: Can't connect to tag on COM7\n" +
                         "flashtag: COM7 does not exist\n");
    EXPECT_EQ(r.status, 1);
    // Past COM99 no port name exists, though the number is accepted.
    r = run({"-c", "100", "file"});
    EXPECT_EQ(r.out, banner + hint + "flashtag: Error: Can't connect to tag on COM100\n" +
                         "flashtag: COM100 is not a port name (COM1 to COM99)\n");
    EXPECT_EQ(r.status, 1);
}

TEST(CommandLine, NamedPortWithATag)
{
    TagSimProcess tag(link(7), {"--node-id", "42"});
    RunResult r = run({"-c", "7", "prog"});
    EXPECT_EQ(r.out, banner + hint + settings("COM7", 42, "prog", false) + not_found("prog.bas"));
    EXPECT_EQ(r.status, 1);

    // Port text forms, options in any case, the last port and file win.
    for (std::vector<std::string> args : {std::vector<std::string>{"-C", "007", "-run", "prog"},
                                           {"-c", "7abc", "-R", "prog"},
                                           {"-c", "-r", " +7", "prog"}}) {
        r = run(args);
        EXPECT_EQ(r.out, banner + hint + settings("COM7", 42, "prog", true) + not_found("prog.bas"))
            << args[1];
    }
    r = run({"first", "-c", "7", "second"});
    EXPECT_EQ(r.out,
              banner + hint + settings("COM7", 42, "second", false) + not_found("second.bas"));
}

TEST(CommandLine, ScanFindsTheTag)
{
    TagSimProcess tag(link(5), {"--node-id", "3", "--version", "V5.2.1"});
    RunResult r = run({"-r", "prog.bas"});
    EXPECT_EQ(r.out, banner + hint + "Scanning ports...\n" + settings("COM5", 3, "prog.bas", true) +
                         not_found("prog.bas"));
}

TEST(CommandLine, ScanPassesASilentDeviceBeforeTheTag)
{
    TagSimProcess silent(link(3), {"--silent"});
    TagSimProcess tag(link(5), {"--node-id", "4"});
    auto start = std::chrono::steady_clock::now();
    RunResult r = run({"prog"});
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(r.out, banner + hint + "Scanning ports...\n" + settings("COM5", 4, "prog", false) +
                         not_found("prog.bas"));
    EXPECT_GE(ms, 1000);  // one version-reply time-out on COM3
}

TEST(CommandLine, ScanWithoutATagSaysWhyForEachPortThere)
{
    TagSimProcess silent(link(3), {"--silent"});
    TagSimProcess other(link(9), {"--version", "Bootloader 1.0"});
    RunResult r = run({"prog"});
    const std::string head = banner + hint + "Scanning ports...\n" +
                             "\nflashtag: Error: Can't find a tag (close any PuTTY connections)\n";
    const std::string reasons = "flashtag: COM3 did not answer \"ver\" within 1 s\n"
                                "flashtag: COM9 answered \"Bootloader 1.0\", which is not a tag's "
                                "version reply\n";
    if (Target::get().is_wine()) {
        // Wine also reaches the machine's own first serial port as COM1.
        EXPECT_EQ(r.out.rfind(head, 0), 0u) << r.out;
        EXPECT_TRUE(r.out.ends_with(reasons)) << r.out;
    } else {
        EXPECT_EQ(r.out, head + reasons);
    }
    EXPECT_EQ(r.status, 1);
}

TEST(CommandLine, TraceGoesToStandardErrorOnly)
{
    TagSimProcess tag(link(4), {"--node-id", "5"});
    const Target& target = Target::get();
    write_file(target.work().file("t.bas"), "AB\r\nC");
    RunResult plain = run({"-c", "4", target.program_path("t.bas")});
    std::string trace_file = target.work().file("trace.txt");
    RunOptions to_file;
    to_file.stderr_path = trace_file;
    RunResult traced = target.run({"-c", "4", "-v", target.program_path("t.bas")}, to_file);
    EXPECT_EQ(traced.out, plain.out);
    EXPECT_EQ(traced.status, 0);
    std::string trace = read_file(trace_file);
    std::erase(trace, '\r');  // Windows' line ends
    for (const char* entry : {"] open COM4: ok", "] > ver\n", "] < V6.1.0\\r\n", "] > ?_id\n",
                              "] > load \\\"_TXfer_\\\"\n",
                              "] > plain-text script: 4 of the file's 5 bytes sent, 1 pauses of "
                              "20 ms, data checksum 0xD0\n",
                              "] < M\\r\n", "] > metadata record: ", "] close COM4\n"}) {
        EXPECT_NE(trace.find(entry), std::string::npos) << entry << "\n" << trace;
    }
    remove(target.work().file("t.bas").c_str());
}
