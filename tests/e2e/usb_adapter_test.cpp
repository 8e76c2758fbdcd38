// Jobs through a stand-in for a USB serial adapter: each write on the port
// completes at the next USB frame (the usb_frames preload library, which
// also counts the write calls).
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
