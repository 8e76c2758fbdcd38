// Jobs through a stand-in for a USB serial adapter: each write on the port
// completes at the next USB frame (the usb_frames preload library, which
// also counts the write calls), and the tag's bytes reach the PC through
// the adapter's latency timer (tagsim --latency-timer).
#include "target.h"

#include <gtest/gtest.h>

#ifdef USB_FRAMES_PATH
namespace {

// What an upload did on the port: the write calls and their bytes.
struct Writes {
    size_t calls = 0;
    size_t bytes = 0;
};

Writes count_writes(const std::string& path)
{
    Writes w;
    std::string text = read_file(path);
    for (size_t at = 0, end = 0; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
        ++w.calls;
        w.bytes += std::stoul(text.substr(at, end - at));
    }
    return w;
}

size_t lines(const std::string& text)
{
    size_t n = 0;
    for (char c : text) n += c == '\n' ? 1 : 0;
    return n;
}

// A tokenised script of 1000 bytes has pause points at indices 0, 100, ...,
// 900: eleven stretches between them, the last up to its end.
constexpr size_t SCRIPT_BYTES = 1000;
constexpr size_t SCRIPT_WRITES = 11;

}  // namespace

// A write on a USB adapter waits for its USB transfer: an upload writes
// each stretch between two pauses in one call, each command's text and its
// CR in one call each, and the metadata record in one.
TEST(UsbAdapter, AnUploadWritesOnceBetweenPausesAndTwicePerCommand)
{
    const Target& target = Target::get();
    const std::string script = "\xfa" + std::string(SCRIPT_BYTES - 1, 'T');
    write_file(target.work().file("usb.bas"), script);
    for (const std::string program : {"flashtag", "tagfleet"}) {
        TempDir dir;
        RunOptions options;
        options.env = {"LD_PRELOAD=" USB_FRAMES_PATH, "FLASHTAG_FRAME_US=125",
                       "FLASHTAG_WRITE_COUNTS=" + dir.file("writes")};
        RunResult r;
        {
            TagSimProcess tag(target.port_link(6), {"--transcript", dir.file("transcript"),
                                                    "--save-script", dir.file("script")});
            r = target.run_program(program, {"-c", "6", target.program_path("usb.bas")}, options);
        }
        ASSERT_EQ(r.status, 0) << program << ": " << r.out;
        EXPECT_EQ(read_file(dir.file("script")), script) << program;
        size_t commands = lines(read_file(dir.file("transcript")));
        Writes w = count_writes(dir.file("writes"));
        EXPECT_GE(w.calls, SCRIPT_WRITES + 1) << program;  // the stand-in saw the upload
        EXPECT_LE(w.calls, SCRIPT_WRITES + 1 + 2 * commands) << program;
        EXPECT_GT(w.bytes, SCRIPT_BYTES) << program;
    }
}
#endif

// An FTDI adapter holds the tag's bytes until 62 wait or its latency timer
// (16 ms by default on Windows) runs out: the echo of a command's typed
// characters comes after the input flush, whole or in part. Every job reads
// its replies right through it, whatever echo, prefix and blank lines the
// console sends; and on a plain line an old console echoing each line.
TEST(UsbAdapter, EveryJobReadsRightThroughTheLatencyTimer)
{
    const Target& target = Target::get();
    write_file(target.work().file("late.bas"), "10 PRINT\r\n");
    const std::vector<std::string> jobs_all = {"flashtag", "taglog", "tagfleet"};
    struct Case {
        std::vector<std::string> sim;
        std::vector<std::string> jobs;
    };
    const std::vector<Case> cases = {
        {{"--version", "V5.2.1", "--echo-typed", "--latency-timer", "16"}, jobs_all},
        {{"--version", "V5.2.1", "--echo-typed", "--latency-timer", "40"}, {"flashtag"}},
        {{"--version", "V5.2.1", "--echo", "--latency-timer", "16"}, jobs_all},
        {{"--version", "V5.2.1", "--echo"}, jobs_all},
        {{"--version", "V5.2.1", "--echo", "--echo-typed", "--blank", "--prefix", "[3] ",
          "--latency-timer", "16"},
         jobs_all},
        {{"--version", "V6.1.1", "--echo-typed", "--latency-timer", "16"}, jobs_all},
        {{"--version", "V6.1.0", "--echo", "--blank", "--prefix", "[3] ", "--latency-timer", "40"},
         {"flashtag", "tagfleet"}},
    };
    const std::string records_1_to_2 = "1\t1007\t1\t3\t7\t13:06:10.1153 07-10-2019\tevent 1\n"
                                       "2\t2007\t2\t6\t14\t13:07:11.2264 07-10-2019\tevent 2\n";
    for (const Case& c : cases) {
        std::string shown;
        for (const std::string& a : c.sim) shown += a + " ";
        for (const std::string& job : c.jobs) {
            TagSimProcess tag(target.port_link(4), c.sim);
            RunResult r = job == "taglog"
                              ? target.run_program(job, {"-c", "4", "1", "2"})
                              : target.run_program(job, {"-c", "4", target.program_path("late.bas")});
            EXPECT_EQ(r.status, 0) << shown << job << ": " << r.out;
            if (job == "flashtag") {
                EXPECT_NE(r.out.find("Node ID  : 7\n"), std::string::npos) << shown << r.out;
                EXPECT_NE(r.out.find("---- SUCCESS ----"), std::string::npos) << shown << r.out;
            } else if (job == "taglog") {
                EXPECT_EQ(r.out, "Log size: 5 of 1000\n" + records_1_to_2) << shown;
            }
        }
    }
}
