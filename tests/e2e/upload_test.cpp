// Uploads end to end: what the user sees, what the tag receives, and every
// outcome's text and exit status.
#include "target.h"

#include <gtest/gtest.h>
#include <sstream>
#include <unistd.h>

namespace {

const std::string settings_end = "Auto-run : OFF\n\n";

struct Upload {
    RunResult result;
    std::string received;  // the script as the tag got it
    std::string meta;      // the tag's decoding of the metadata record
    std::string gaps;      // ms between script bytes at the tag, one a line
    std::string transcript;
    std::string after_settings;  // output after the settings lines
};

// Runs `flashtag -c 6 [extra] <name>` with `content` in the file <file>
// against a tagsim with `args`.
Upload upload(const std::string& file, const std::string& content,
              const std::vector<std::string>& args = {}, const std::string& name = "",
              const std::vector<std::string>& extra = {})
{
    const Target& target = Target::get();
    TempDir tag_dir;
    std::vector<std::string> all = {"--save-script", tag_dir.file("script"), "--save-meta",
                                    tag_dir.file("meta"), "--transcript",
                                    tag_dir.file("transcript"), "--save-gaps",
                                    tag_dir.file("gaps")};
    all.insert(all.end(), args.begin(), args.end());
    Upload u;
    {
        TagSimProcess tag(target.port_link(6), all);
        if (!file.empty()) write_file(target.work().file(file), content);
        std::vector<std::string> argv = {"-c", "6"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        argv.push_back(target.program_path(name.empty() ? file : name));
        u.result = target.run(argv);
        if (!file.empty()) remove(target.work().file(file).c_str());
    }
    u.received = read_file(tag_dir.file("script"));
    u.meta = read_file(tag_dir.file("meta"));
    u.gaps = read_file(tag_dir.file("gaps"));
    u.transcript = read_file(tag_dir.file("transcript"));
    size_t at = u.result.out.find("Auto-run : ");
    if (at != std::string::npos) u.after_settings = u.result.out.substr(u.result.out.find("\n\n", at) + 2);
    return u;
}

std::string bar(uint32_t done, uint32_t total)
{
    bool wine = Target::get().is_wine();
    const std::string edge = wine ? "\xb3" : "\u2502", filled = wine ? "\xba" : "\u2551",
                      empty = wine ? "\xfa" : "\u00b7";
    unsigned percent = total == 0 ? 0 : static_cast<unsigned>(uint64_t{done} * 100 / total);
    std::string s = "\r" + edge;
    for (unsigned j = 0; j < 50; ++j) s += j < percent / 2 ? filled : empty;
    char tail[32];
    snprintf(tail, sizeof tail, "%7u (%u%%)", done, percent);
    return s + edge + tail;
}

const std::string success_tail = "\n\nSending Metadata...\n\n---- SUCCESS ----\n"
                                 "The script has been written to the tag's flash memory.\n";
const std::string failed = "flashtag: Error: Failed to load script file (error ";

}  // namespace

TEST(Upload, PlainTextWithCrLfGoesWithLfAndTheWholeOutputIsRight)
{
    Upload u = upload("prog.bas", "A\r\nB", {}, "prog", {"-r"});
    EXPECT_EQ(u.result.status, 0);
    EXPECT_EQ(u.after_settings, "Sending Script...\n" + bar(0, 4) + bar(4, 4) + success_tail +
                                    "Re-boot the tag to run it.\n");
    EXPECT_EQ(u.received, "A\nB");
    EXPECT_NE(u.meta.find("form: plain\n"), std::string::npos);  // "1" came first
    EXPECT_NE(u.meta.find("file: prog.bas\n"), std::string::npos);
    EXPECT_NE(u.meta.find("auto_run: 1\n"), std::string::npos);
    EXPECT_NE(u.meta.find("checksum: ok\n"), std::string::npos);  // 0x8D + the record
    EXPECT_NE(u.meta.find("marker: 1\n"), std::string::npos);
}

TEST(Upload, LoneAndFinalCrAreSent)
{
    Upload u = upload("cr.bas", "A\rB\r\r\nC\r");
    EXPECT_EQ(u.result.status, 0);
    EXPECT_EQ(u.received, "A\rB\r\nC\r");
    EXPECT_NE(u.meta.find("checksum: ok"), std::string::npos);
    EXPECT_NE(u.meta.find("auto_run: 0"), std::string::npos);
    EXPECT_NE(u.after_settings.find("Re-boot the tag to load it.\n"), std::string::npos);
}

TEST(Upload, TokenisedScriptGoesByteForByte)
{
    std::string tokens = "\xfa\x01\r\n\x00\xff\r\n";
    tokens += std::string(250, '\r');  // long enough for several bar redraws and pauses
    tokens += std::string("\r\n\x80", 3);
    Upload u = upload("tok.bas", tokens);
    EXPECT_EQ(u.result.status, 0);
    EXPECT_EQ(u.received, tokens);
    EXPECT_NE(u.meta.find("form: tokenised"), std::string::npos);
    EXPECT_NE(u.meta.find("checksum: ok"), std::string::npos);
    uint32_t n = static_cast<uint32_t>(tokens.size());
    std::string bars;
    for (uint32_t i = 0; i < n; i += 20) bars += bar(i, n);
    EXPECT_EQ(u.after_settings.substr(0, 18 + bars.size() + bar(n, n).size()),
              "Sending Script...\n" + bars + bar(n, n));
}

TEST(Upload, PausesReachTheTagAfterEachHundredthIndexOfTheFile)
{
    std::string plain;
    for (int n = 10; plain.size() < 350; n += 10) plain += std::to_string(n) + " PRINT\r\n";
    // CRs left out at indices 100, 200 and 300: their pauses with them.
    const std::string cr_on_pauses = std::string(100, 'A') + "\r\n" + std::string(98, 'B') +
                                     "\r\n" + std::string(98, 'C') + "\r\n" + std::string(50, 'D');
    for (const std::string& script : {"\xfa" + std::string(349, 'T'), plain, cr_on_pauses}) {
        Upload u = upload("p.bas", script);
        ASSERT_EQ(u.result.status, 0) << u.result.out;
        // The pauses follow the file's indices, not the bytes sent: the CR of
        // a CR LF pair in plain text is left out.
        bool is_plain = script[0] != '\xfa';
        std::vector<bool> pause_after;
        std::string sent;
        for (size_t i = 0; i < script.size(); ++i) {
            if (is_plain && script[i] == '\r' && i + 1 < script.size() && script[i + 1] == '\n') ++i;
            pause_after.push_back(i % 100 == 0);
            sent += script[i];
        }
        EXPECT_EQ(u.received, sent);
        std::istringstream lines(u.gaps);
        std::vector<double> gaps;
        for (double ms = 0; lines >> ms;) gaps.push_back(ms);
        ASSERT_EQ(gaps.size() + 1, pause_after.size());
        for (size_t k = 0; k < gaps.size(); ++k) {
            if (pause_after[k]) {
                EXPECT_GE(gaps[k], PAUSE_SEEN_MS) << "after byte " << k << " sent";
            }
        }
    }
}

TEST(Upload, MetadataNamesTheUserWhoRanSudo)
{
    const Target& target = Target::get();
    if (target.is_wine() || geteuid() != 0) GTEST_SKIP() << "needs the Linux build run as root";
    TempDir tag_dir;
    TagSimProcess tag(target.port_link(6), {"--save-meta", tag_dir.file("meta")});
    write_file(target.work().file("s.bas"), "A");
    RunOptions under_sudo;
    under_sudo.env = {"SUDO_USER=daemon"};
    RunResult r = target.run({"-c", "6", target.program_path("s.bas")}, under_sudo);
    remove(target.work().file("s.bas").c_str());
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(read_file(tag_dir.file("meta")).find("user: daemon\n"), std::string::npos);
}

TEST(Upload, EmptyFileSendsTheMarkerAndOneBar)
{
    Upload u = upload("empty.bas", "");
    EXPECT_EQ(u.result.status, 0);
    EXPECT_EQ(u.after_settings, "Sending Script...\n" + bar(0, 0) + success_tail +
                                    "Re-boot the tag to load it.\n");
    EXPECT_EQ(u.received, "");
    EXPECT_NE(u.meta.find("form: plain"), std::string::npos);
}

TEST(Upload, FileNamesGetTheirExtension)
{
    EXPECT_EQ(upload("a.bas", "x", {}, "a.BAS").received, "x");
    EXPECT_EQ(upload("b.txt.bas", "y", {}, "b.txt").received, "y");
    // Windows takes this name for its null device, wherever the file is.
    EXPECT_EQ(upload("nul.bas", "n", {}, "nul").received, "n");
    Upload u = upload("c.bas", "z", {}, "c.Bas");
    EXPECT_NE(u.meta.find("file: c.bas\n"), std::string::npos);
}

TEST(Upload, MissingFileIsReportedBeforeTheTagIsAsked)
{
    Upload u = upload("", "", {}, "nothing");
    EXPECT_EQ(u.after_settings, "flashtag: Error: File not found \"" +
                                    Target::get().program_path("nothing.bas") + "\"\n");
    EXPECT_EQ(u.result.status, 1);
    EXPECT_EQ(u.transcript.find("load"), std::string::npos);
}

TEST(Upload, TooLargeFileIsRefusedNotCut)
{
    Upload u = upload("big.bas", std::string(100001, 'x'));
    EXPECT_EQ(u.after_settings, "flashtag: Error: Script file \"" +
                                    Target::get().program_path("big.bas") +
                                    "\" is larger than 100000 bytes\n");
    EXPECT_EQ(u.result.status, 1);
    EXPECT_EQ(u.transcript.find("load"), std::string::npos);
}

TEST(Upload, NameWithoutRoomForTheExtensionIsRefused)
{
    std::string dir = Target::get().program_path("");
    std::string name(196 - dir.size(), 'n');  // 196 characters with the directory
    Upload u = upload("", "", {}, name);
    EXPECT_EQ(u.after_settings.rfind("flashtag: Error: File name \"" + dir + name +
                                         "\" leaves no room for \".bas\"", 0),
              0u)
        << u.after_settings;
    EXPECT_EQ(u.result.status, 1);
    EXPECT_EQ(u.transcript.find("load"), std::string::npos);

    // A final ".bas" is cut first: 195 characters and ".bas" still fit.
    name.pop_back();
    u = upload("", "", {}, name + ".bas");
    EXPECT_EQ(u.after_settings, "flashtag: Error: File not found \"" + dir + name + ".bas\"\n");
}

TEST(Upload, EachOutcomeHasItsTextAndStatus)
{
    struct Case {
        std::vector<std::string> args;
        std::string tail;
        int status;
    } cases[] = {
        {{"--refuse-load"}, "flashtag: Error: The tag refused to receive a script\n", 1},
        {{"--m-line", "X ready"}, failed + "13)\n", 1},
        {{"--final", "E001C bad sum"}, failed + "14)\n", 1},
        {{"--final", "E002F flash"}, failed + "15)\n", 1},
        {{"--final", "E001X"}, failed + "16)\n", 1},
        {{"--final", "E00"}, failed + "16)\n", 1},
        {{"--final", "Okay"}, failed + "16)\n", 1},
        {{"--final", "OKAY then more"}, "\n---- SUCCESS ----\n", 0},
        {{"--hangup-after", "2"}, failed + "2)\n", 1},
        {{"--hangup-after", "8"}, failed + "2)\n", 1},  // inside the metadata record
    };
    for (const Case& c : cases) {
        Upload u = upload("o.bas", "AB", c.args);
        SCOPED_TRACE(c.args.back());
        EXPECT_EQ(u.result.status, c.status);
        EXPECT_NE(u.after_settings.find(c.tail), std::string::npos) << u.after_settings;
        EXPECT_EQ(u.after_settings.find("SUCCESS") != std::string::npos, c.status == 0);
        if (c.args[0] == "--refuse-load") {
            EXPECT_EQ(u.after_settings.find(failed), std::string::npos);  // 11 has no such line
        }
    }
}
