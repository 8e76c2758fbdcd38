// The tag console connection against the simulated tag (whole exchanges),
// against a bare terminal (what a misbehaving tag can send) and across a
// slow network link.
#include "serial/serial.h"
#include "support/network.h"
#include "support/process.h"
#include "support/pty.h"
#include "tag/tag.h"

#include <chrono>
#include <cstring>
#include <gtest/gtest.h>
#include <memory>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

struct Connected {
    int32_t result = -1;
    uint32_t firmware = 0, third = 0;
    bool new_console = false;
    uint8_t node_id = 0;
};

class TagConnection : public ::testing::Test {
protected:
    void TearDown() override { tag_disconnect("COM5"); }

    // Starts tagsim with `args` on COM5, connects and reads the node ID.
    Connected connect(const std::vector<std::string>& args)
    {
        std::vector<std::string> all = args;
        all.insert(all.end(), {"--transcript", dir.file("transcript")});
        sim.reset();  // its link goes with it
        sim = std::make_unique<TagSimProcess>(dir.file("COM5"), all);
        Connected c;
        c.result = tag_connect("COM5", &c.firmware, &c.third, &c.new_console);
        if (c.result == 0) {
            EXPECT_EQ(tag_get_node_id("COM5", &c.node_id), 0);
        }
        return c;
    }
    std::string transcript() { return read_file(dir.file("transcript")); }

    PortDir dir;
    std::unique_ptr<TagSimProcess> sim;
};

}  // namespace

TEST_F(TagConnection, NewConsoleWithoutEcho)
{
    Connected c = connect({"--version", "V6.1.0", "--node-id", "42"});
    ASSERT_EQ(c.result, 0);
    EXPECT_EQ(c.firmware, 0x601u);
    EXPECT_EQ(c.third, 0u);
    EXPECT_TRUE(c.new_console);
    EXPECT_EQ(c.node_id, 42);
    EXPECT_EQ(transcript(), "ver\n?_id\n");  // no echo, so no echo switch-off
}

TEST_F(TagConnection, NewConsoleThatEchoesIsToldToStop)
{
    Connected c = connect({"--version", "V6.0.3", "--echo", "--node-id", "9"});
    ASSERT_EQ(c.result, 0);
    EXPECT_EQ(c.firmware, 0x600u);
    EXPECT_EQ(c.third, 3u);
    EXPECT_EQ(c.node_id, 9);
    EXPECT_EQ(transcript(), "ver\n_echo = 0\n?_id\n");
}

TEST_F(TagConnection, OldConsoleUsesPlainIdAndIsNeverToldToStopEchoing)
{
    Connected c = connect({"--version", "V5.2.1", "--node-id", "200"});
    ASSERT_EQ(c.result, 0);
    EXPECT_EQ(c.firmware, 0x502u);
    EXPECT_EQ(c.third, 1u);
    EXPECT_FALSE(c.new_console);
    EXPECT_EQ(c.node_id, 200);
    EXPECT_EQ(transcript(), "ver\nid\n");

    // Echoing changes nothing for the old console: it has no echo switch.
    tag_disconnect("COM5");
    ASSERT_EQ(connect({"--version", "V5.2.1", "--echo"}).result, 0);
    EXPECT_EQ(transcript(), "ver\nid\nver\nid\n");
}

TEST_F(TagConnection, PrefixesBlankLinesAndEchoTogether)
{
    Connected c =
        connect({"--version", "V7.3.2", "--echo", "--prefix", "  [3] ", "--blank", "--node-id", "5"});
    ASSERT_EQ(c.result, 0);
    EXPECT_EQ(c.firmware, 0x703u);
    EXPECT_EQ(c.third, 2u);
    EXPECT_EQ(c.node_id, 5);
}

TEST_F(TagConnection, SetNodeIdUsesTheConsolesForm)
{
    ASSERT_EQ(connect({"--version", "V6.1.0"}).result, 0);
    ASSERT_EQ(tag_set_node_id("COM5", 77), 0);
    uint8_t id = 0;
    ASSERT_EQ(tag_get_node_id("COM5", &id), 0);
    EXPECT_EQ(id, 77);
    EXPECT_EQ(transcript(), "ver\n?_id\n_id=77\n?_id\n");

    tag_disconnect("COM5");
    ASSERT_EQ(connect({"--version", "V5.0.0"}).result, 0);
    ASSERT_EQ(tag_set_node_id("COM5", 3), 0);
    EXPECT_EQ(transcript(), "ver\n?_id\n_id=77\n?_id\nver\nid\nid 3\n");
}

// The node ID a set command gives lasts (the node-ID file plays the tag's
// flash), unless the tag ignores the command or takes another ID.
TEST_F(TagConnection, SetNodeIdIsKeptIgnoredOrMisread)
{
    struct Case {
        std::vector<std::string> args;
        uint8_t answers;
        const char* file;
    } cases[] = {
        {{}, 77, "77\n"},
        {{"--ignore-set-id"}, 7, "7\n"},
        {{"--wrong-id-after-set", "99"}, 99, "99\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.answers);
        write_file(dir.file("node"), "7\n");
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"--node-id-file", dir.file("node")});
        ASSERT_EQ(connect(args).result, 0);
        ASSERT_EQ(tag_set_node_id("COM5", 77), 0);
        uint8_t id = 0;
        ASSERT_EQ(tag_get_node_id("COM5", &id), 0);
        EXPECT_EQ(id, c.answers);
        EXPECT_EQ(read_file(dir.file("node")), c.file);
        tag_disconnect("COM5");
    }
}

TEST_F(TagConnection, VersionReplyWithoutVClosesThePort)
{
    EXPECT_EQ(connect({"--version", "Corvela 6.1"}).result, TAG_EVERSION);
    EXPECT_EQ(serial_get_handle("COM5"), SERIAL_INVALID_HANDLE);
    EXPECT_EQ(connect({"--version", " V6.1.0"}).result, TAG_EVERSION);
}

TEST_F(TagConnection, MissingVersionNumbersCountAsZero)
{
    Connected c = connect({"--version", "V7"});
    ASSERT_EQ(c.result, 0);
    EXPECT_EQ(c.firmware, 0x700u);
    EXPECT_EQ(c.third, 0u);
    EXPECT_TRUE(c.new_console);
}

TEST_F(TagConnection, SilentTagTimesOutAndClosesThePort)
{
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(connect({"--silent"}).result, SERIAL_EIO);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(ms, 990);
    EXPECT_EQ(serial_get_handle("COM5"), SERIAL_INVALID_HANDLE);
}

// What a tag can send that no well-behaved tag does.
class RawTag : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(serial_open("COM5", 115200, 8, 0, 1, 300), 0); }
    void TearDown() override { serial_close("COM5"); }
    PortDir dir;
    Pty tag{dir, "COM5"};
};

TEST_F(RawTag, OverlongLineIsCutAndItsRestDropped)
{
    tag.send(std::string(500, 'x') + "\r\nnext\r\n");
    char small[8];
    memset(small, '#', sizeof small);
    ASSERT_EQ(tag_read_line("COM5", small, sizeof small), 0);
    EXPECT_STREQ(small, "xxxxxxx");
    ASSERT_EQ(tag_read_line("COM5", small, sizeof small), 0);
    EXPECT_STREQ(small, "next\r");
}

TEST_F(RawTag, NulEndsALineAndErrorsLeaveTextTerminated)
{
    tag.send(std::string("ab\0cd\n", 6) + "partial");
    char buf[TAG_SHORT_REPLY];
    ASSERT_EQ(tag_read_line("COM5", buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "ab");
    ASSERT_EQ(tag_read_line("COM5", buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "cd");
    EXPECT_EQ(tag_read_line("COM5", buf, sizeof buf), SERIAL_EIO);  // no LF: time-out
    EXPECT_STREQ(buf, "partial");
}

TEST_F(RawTag, BlankAndCrOnlyLinesAreSkipped)
{
    tag.send("\n\r\n \t\r\n  x\r\n");
    char buf[TAG_SHORT_REPLY];
    ASSERT_EQ(tag_read_nonblank_line("COM5", buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "  x\r");
}

TEST_F(RawTag, CommandSendsTextThenCrAndStripsThePrefix)
{
    tag.send("stale\r\n");  // thrown away by the flush before the CR
    char reply[TAG_SHORT_REPLY];
    std::string typed;
    std::thread peer = tag.answer_command("[1] 12 nodes\r\n", &typed);
    ASSERT_EQ(tag_command("COM5", "id", reply, sizeof reply), 0);
    peer.join();
    EXPECT_EQ(typed, "id\r");
    EXPECT_STREQ(reply, "12 nodes\r");
}

// The echo of a command that an adapter's latency timer held past the
// input flush: whole, or its end when the flush took its start, before a
// line echo, blank lines and a prefixed reply; on every command alike.
TEST_F(RawTag, EchoAfterTheFlushIsSkippedWholeOrItsEnd)
{
    const struct {
        const char* command;
        const char* answer;
        const char* reply;
    } cases[] = {
        {"?_id", "?_id\r\n7\r\n", "7\r"},
        {"?_id", "_id\r\n7\r\n", "7\r"},
        {"?_id", "d\r\n\r\n?_id\r\n[2] 7\r\n", "7\r"},
        {"?_id", "7\r\n", "7\r"},
        {"?_id", "?_id\r\n?_id\r\n7\r\n", "7\r"},
        // The command's end alone, and nothing after it: that was the reply.
        {"id 30", "30\r\n", "30\r"},
        {"id 30", "30\r\nOK\r\n", "OK\r"},
    };
    for (const auto& c : cases) {
        char reply[TAG_SHORT_REPLY];
        std::string typed;
        std::thread peer = tag.answer_command(c.answer, &typed);
        ASSERT_EQ(tag_command("COM5", c.command, reply, sizeof reply), 0) << c.answer;
        peer.join();
        EXPECT_STREQ(reply, c.reply) << c.answer;
    }
}

TEST_F(RawTag, NodeIdKeepsLowEightBitsAndMissingNumberIsZero)
{
    std::string typed;
    uint8_t id = 1;
    std::thread peer = tag.answer_command("  300 units\r\n", &typed);
    ASSERT_EQ(tag_get_node_id("COM5", &id), 0);
    peer.join();
    EXPECT_EQ(id, 44);

    peer = tag.answer_command("none\r\n", &typed);
    ASSERT_EQ(tag_get_node_id("COM5", &id), 0);
    peer.join();
    EXPECT_EQ(id, 0);
}

// A tag across a link with a 100 ms round trip whose echo of "?_id" comes
// in two pieces 150 ms apart: the input flush must wait out the second
// piece too, or it is read as the reply.
TEST(NetworkTag, EchoInPiecesIsFlushedWhole)
{
    int listener = listen_on(0);
    std::thread peer([listener] {
        int fd = accept(listener, nullptr, nullptr);
        auto wait_for = [fd](const char* text) {
            std::string got;
            char c = 0;
            while (got.find(text) == std::string::npos && read(fd, &c, 1) == 1) got += c;
        };
        auto say = [fd](const char* text, int after_ms) {
            std::this_thread::sleep_for(std::chrono::milliseconds(after_ms));
            (void)!send(fd, text, strlen(text), MSG_NOSIGNAL);
        };
        wait_for("ver\r");
        say("V6.0.1\r\n", 100);
        wait_for("?_id");
        say("?", 100);
        say("_id", 150);
        wait_for("\r");
        say("\r\n7\r\n", 0);
        wait_for("until the port is closed");
        close(fd);
    });
    std::string port = "socket://127.0.0.1:" + std::to_string(port_of(listener));
    EXPECT_EQ(tag_connect(port.c_str(), nullptr, nullptr, nullptr), 0);
    uint8_t node_id = 0;
    EXPECT_EQ(tag_get_node_id(port.c_str(), &node_id), 0);
    EXPECT_EQ(node_id, 7);
    tag_disconnect(port.c_str());
    peer.join();
    close(listener);
}
