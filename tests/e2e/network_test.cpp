// Tags on another computer: ports shared by a real ser2net, raw and as
// telnet with RFC 2217, reached by socket:// and rfc2217:// port names.
#include "support/network.h"
#include "target.h"

#include <arpa/inet.h>
#include <chrono>
#include <functional>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sstream>
#include <sys/socket.h>
#include <unistd.h>

namespace {

std::string url(bool telnet, int port)
{
    return (telnet ? "rfc2217://localhost:" : "socket://localhost:") + std::to_string(port);
}

// A tag behind its own ser2net, whose received script and byte gaps land
// in files.
struct SharedTag {
    explicit SharedTag(const std::vector<std::string>& args = {})
        : tag(dir.file("tty"), with_files(args)), server(tag.tty())
    {
    }
    std::vector<std::string> with_files(std::vector<std::string> args) const
    {
        args.insert(args.end(), {"--save-script", dir.file("got"), "--save-gaps", dir.file("gaps")});
        return args;
    }
    TempDir dir;
    TagSimProcess tag;
    Ser2net server;
};

RunResult upload(const std::string& port, const std::string& content)
{
    const Target& target = Target::get();
    write_file(target.work().file("n.bas"), content);
    RunResult r = target.run({"-c", port, target.program_path("n.bas")});
    remove(target.work().file("n.bas").c_str());
    return r;
}

// Every byte value, runs of 0xFF (telnet's command byte) among them.
std::string every_byte()
{
    std::string s = "\xfa";
    for (int round = 0; round < 3; ++round) {
        for (int b = 0; b < 256; ++b) s += static_cast<char>(b);
    }
    return s + std::string(300, '\xff') + "\r\n\xff\r";
}

// The gaps at the tag after each index that is a multiple of 100 (a
// tokenised script: every index is sent).
void expect_pauses(const std::string& gaps)
{
    std::istringstream lines(gaps);
    double ms = 0;
    for (size_t k = 0; lines >> ms; ++k) {
        if (k % 100 == 0) {
            EXPECT_GE(ms, PAUSE_SEEN_MS) << "after byte " << k;
        }
    }
}

}  // namespace

TEST(Network, EveryByteGoesThroughSer2netBothWays)
{
    const Target& target = Target::get();
    for (bool telnet : {false, true}) {
        SCOPED_TRACE(telnet ? "rfc2217" : "socket");
        SharedTag shared({"--log-records", "12"});
        int port = telnet ? shared.server.telnet_port() : shared.server.raw_port();
        RunResult r = upload(url(telnet, port), every_byte());
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_NE(r.out.find("Port     : " + url(telnet, port) + "\n"), std::string::npos);
        EXPECT_EQ(read_file(shared.dir.file("got")), every_byte());
        expect_pauses(read_file(shared.dir.file("gaps")));
        r = upload(url(telnet, port), "10 PRINT \"\xff\"\r\n20 END\r\n");
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_EQ(read_file(shared.dir.file("got")), "10 PRINT \"\xff\"\n20 END\n");
        // Binary log records hold every byte value as well.
        r = target.run_program("taglog", {"-c", url(telnet, port), "8", "3"});
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_EQ(r.out.substr(0, 21), "Log size: 12 of 1000\n");
        EXPECT_NE(r.out.find("10\t10007\t10\t30\t70\t13:15:19.11152 07-10-2019\tevent 10\n"),
                  std::string::npos)
            << r.out;
    }
}

// ser2net gives a device up a moment after its client has gone: a run on
// its other port for the same device, right after, must still be served.
TEST(Network, OneFormRightAfterTheOther)
{
    SharedTag shared;
    for (bool telnet : {false, true, false}) {
        SCOPED_TRACE(telnet ? "rfc2217" : "socket");
        int port = telnet ? shared.server.telnet_port() : shared.server.raw_port();
        RunResult r = upload(url(telnet, port), "10 END\r\n");
        EXPECT_EQ(r.status, 0) << r.out;
    }
}

TEST(Network, EchoingTagsBehindASlowLink)
{
    const Target& target = Target::get();
    struct Case {
        bool telnet;
        std::vector<std::string> tag;
    } cases[] = {
        {false, {"--echo-typed"}},                           // echo switched off after "ver"
        {true, {"--echo-typed", "--version", "V5.2.1"}},     // the old console echoes for ever
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.tag.back());
        SharedTag shared(c.tag);
        DelayingRelay link(c.telnet ? shared.server.telnet_port() : shared.server.raw_port(), 50);
        std::string tokens = "\xfa" + std::string(349, 'T');
        RunResult r = upload(url(c.telnet, link.port()), tokens);
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_NE(r.out.find("Node ID  : 7\n"), std::string::npos) << r.out;
        EXPECT_EQ(read_file(shared.dir.file("got")), tokens);
        expect_pauses(read_file(shared.dir.file("gaps")));
        r = target.run_program("taglog", {"-c", url(c.telnet, link.port()), "0", "2"});
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_NE(r.out.find("Log size: 5 of 1000\n"), std::string::npos) << r.out;
    }
}

TEST(Network, FailuresSayWhy)
{
    SharedTag shared;
    // A client that has the raw port already: ser2net turns others away.
    int holder = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(shared.server.raw_port()));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(holder, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    UnansweredPort unanswered;
    const std::string busy = "localhost:" + std::to_string(shared.server.raw_port());
    struct Case {
        std::string port;
        std::string reason;
    } cases[] = {
        {"socket://127.0.0.1:" + std::to_string(free_tcp_port()),
         "refused the connection: nothing takes connections on that port"},
        {"socket://127.0.0.1:" + std::to_string(unanswered.port()),
         "did not answer the connection within 3 s"},
        {"socket://" + busy, "closed the connection, saying \"Port already in use\""},
        {"socket://localhost", "is not a network port (socket://HOST:PORT or rfc2217://HOST:PORT)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.port);
        RunResult r = upload(c.port, "A");
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(r.out.ends_with("flashtag: Error: Can't connect to tag on " + c.port + "\n" +
                                    "flashtag: " + c.port + " " + c.reason + "\n"))
            << r.out;
    }
    close(holder);
    // The telnet port of a server that does not speak the option: ser2net's
    // raw port, whose tag the negotiation reaches as noise.
    SharedTag raw_only;
    std::string port = "rfc2217://localhost:" + std::to_string(raw_only.server.raw_port());
    RunResult r = upload(port, "A");
    EXPECT_TRUE(r.out.ends_with("flashtag: " + port +
                                " does not speak RFC 2217 (no answer to the Com Port Control "
                                "Option)\n"))
        << r.out;
}

namespace {

// Telnet's bytes, as a server sends them.
constexpr unsigned char IAC = 255, SB = 250, SE = 240, DO = 253, NOP = 241, COM_PORT = 44;

void send_all(int fd, const std::string& bytes)
{
    (void)!send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
}

// Sends `unit` over and over, as fast as the connection takes it, until
// the client or the test goes away.
void flood(int fd, const std::string& unit)
{
    std::string burst;
    while (burst.size() < (1u << 20)) burst += unit;
    while (send(fd, burst.data(), burst.size(), MSG_NOSIGNAL) > 0) {
    }
}

const std::string take_the_option = {char(IAC), char(DO), char(COM_PORT)};

// Takes the option, then answers each request with its own value, but for
// `request`, which it answers with `value`.
void answer_settings(int fd, unsigned char request, const std::string& value)
{
    send_all(fd, take_the_option);
    std::string got;
    char c = 0;
    while (read(fd, &c, 1) == 1) {
        got += c;
        size_t start = got.find({char(IAC), char(SB), char(COM_PORT)});
        size_t end = start == std::string::npos ? start : got.find({char(IAC), char(SE)}, start);
        if (end == std::string::npos) continue;
        auto asked = static_cast<unsigned char>(got[start + 3]);
        std::string answer = asked == request ? value : got.substr(start + 4, end - start - 4);
        send_all(fd, std::string{char(IAC), char(SB), char(COM_PORT), char(asked + 100)} + answer +
                         std::string{char(IAC), char(SE)});
        got.erase(0, end + 2);
    }
}

}  // namespace

// A server that keeps sending (data without a line end, telnet commands,
// a subnegotiation that never ends) or that sets other line settings than
// those asked for: the run fails with a reason, within its time-outs.
TEST(Network, MisbehavingServersFailInTimeWithAReason)
{
    const std::string nop = {char(IAC), char(NOP)};
    struct Case {
        bool telnet;
        std::function<void(int)> serve;
        std::string reason;
    } cases[] = {
        {false, [](int fd) { flood(fd, "x"); },
         "sent more than 4096 bytes without a line end after \"ver\""},
        {true, [nop](int fd) { flood(fd, nop); },
         "does not speak RFC 2217 (a stream of telnet commands, and no answer to the Com Port "
         "Control Option)"},
        {true, [nop](int fd) { send_all(fd, take_the_option); flood(fd, nop); },
         "sent a stream of telnet commands and no reply to \"ver\" within 1 s"},
        {true, [](int fd) { send_all(fd, take_the_option + char(IAC) + char(SB)); flood(fd, "\x07"); },
         "sent a stream of telnet commands and no reply to \"ver\" within 1 s"},
        {true, [](int fd) { answer_settings(fd, 1, std::string("\0\0\x25\x80", 4)); },
         "does not take the line settings (RFC 2217: the server set 9600 baud, not 115200)"},
        {true, [](int fd) { answer_settings(fd, 3, "\x03"); },
         "does not take the line settings (RFC 2217: the server set even parity, not none)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reason);
        ScriptedServer server(c.serve);
        std::string port = url(c.telnet, server.port());
        auto start = std::chrono::steady_clock::now();
        RunOptions options;
        options.timeout_ms = 30000;
        RunResult r = Target::get().run({"-c", port, "x.bas"}, options);
        double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_EQ(r.status, 1) << r.out;
        EXPECT_TRUE(r.out.ends_with("flashtag: " + port + " " + c.reason + "\n")) << r.out;
        EXPECT_LT(seconds, 15.0);
    }
}
