// Log readout against a bare terminal driven from the tag's side: the
// command forms, the selection and final-line checks, record decoding, and
// what a tag that stops or overruns does to a readout.
#include "serial/serial.h"
#include "support/pty.h"
#include "tag/tag.h"

#include <gtest/gtest.h>

namespace {

// A tag connected with the given version reply; the log form follows the
// version's third number (1 text, else binary).
class TagLog : public ::testing::Test {
protected:
    void connect(const std::string& version)
    {
        std::string typed;
        std::thread peer = tag.answer_command(version + "\r\n", &typed);
        uint32_t fw, third;
        bool fresh;
        ASSERT_EQ(tag_connect("COM5", &fw, &third, &fresh), 0);
        peer.join();
        ASSERT_EQ(serial_set_timeout("COM5", 300), 0);  // quicker time-outs
    }
    void TearDown() override { tag_disconnect("COM5"); }

    // Sends `answer` as the tag's side of a readout and returns the result;
    // *command gets what the PC sent.
    int32_t read_log(uint32_t first, uint32_t count, const std::string& answer,
                     std::string* command = nullptr)
    {
        tag.send(answer);
        int32_t result = tag_read_log("COM5", first, count, records);
        std::string sent = tag.receive(50);
        if (command != nullptr) *command = sent;
        return result;
    }

    static std::string binary(uint32_t a, uint32_t b, uint8_t c, uint8_t d, uint8_t e,
                              uint32_t time, uint16_t fraction)
    {
        std::string s;
        for (uint32_t v : {a, b}) {
            for (int i = 0; i < 4; ++i) s += static_cast<char>(v >> (8 * i));
        }
        s += static_cast<char>(c);
        s += static_cast<char>(d);
        s += static_cast<char>(e);
        for (int i = 0; i < 4; ++i) s += static_cast<char>(time >> (8 * i));
        s += static_cast<char>(fraction);
        s += static_cast<char>(fraction >> 8);
        return s;
    }

    PortDir dir;
    Pty tag{dir, "COM5"};
    std::vector<std::string> records;
};

}  // namespace

TEST_F(TagLog, RangeIsSentAsFirstAndLastRecordNumbers)
{
    connect("V6.0.0");
    std::string command;
    EXPECT_EQ(read_log(5, 1, "Selected\r\n" + binary(1, 2, 3, 4, 5, 0, 0) + "x\r\nOK\r\n", &command),
              0);
    EXPECT_EQ(command, "readbin 5 5\r");
    EXPECT_EQ(read_log(0, 0, "Selected 0\r\nOK\r\n", &command), 0);
    EXPECT_EQ(command, "readbin 0 4294967295\r");
    EXPECT_EQ(read_log(7, 0, "Selected 0\r\nOK\r\n", &command), 0);
    EXPECT_EQ(command, "readbin 7 6\r");
    EXPECT_EQ(records.size(), 1u);

    tag_disconnect("COM5");
    connect("V6.0.1");
    EXPECT_EQ(read_log(4294967295u, 2, "Selected\r\na\r\nb\r\nOK\r\n", &command), 0);
    EXPECT_EQ(command, "read 4294967295 0\r");
}

TEST_F(TagLog, SelectedMustComeWithinThreeLines)
{
    connect("V6.0.1");
    EXPECT_EQ(read_log(0, 1, "one\r\ntwo\r\nSelected 1\r\nrec\r\nOK\r\n"), 0);
    EXPECT_EQ(records, std::vector<std::string>{"rec\r"});
    EXPECT_EQ(read_log(0, 1, "one\r\ntwo\r\nthree\r\nSelected\r\n"), TAG_ELOGSELECT);
    char fourth[TAG_SHORT_REPLY];
    ASSERT_EQ(tag_read_line("COM5", fourth, sizeof fourth), 0);  // never read by the readout
    EXPECT_STREQ(fourth, "Selected\r");
    EXPECT_EQ(read_log(0, 1, " Selected\r\nx\r\nSelecte\r\n"), TAG_ELOGSELECT);
}

TEST_F(TagLog, FinalLineMustEndWithOkAndOneMoreCharacter)
{
    connect("V6.0.1");
    EXPECT_EQ(read_log(0, 0, "Selected\r\nOK\r\n"), 0);
    EXPECT_EQ(read_log(0, 0, "Selected\r\nxOK\r\n"), 0);
    EXPECT_EQ(read_log(0, 0, "Selected\r\nOK!\n"), 0);
    EXPECT_EQ(read_log(0, 0, "Selected\r\nOK\n"), TAG_ELOGEND);
    EXPECT_EQ(read_log(0, 0, "Selected\r\nK\r\n"), TAG_ELOGEND);
    EXPECT_EQ(read_log(0, 0, "Selected\r\n\n"), TAG_ELOGEND);
    EXPECT_EQ(read_log(0, 0, "Selected\r\nOK\r\r\n"), TAG_ELOGEND);
}

TEST_F(TagLog, TextRecordsLoseTheirPrefixBlankLinesCount)
{
    connect("V7.1.1");
    EXPECT_EQ(read_log(0, 3, "Selected\r\n[3] first\r\n\r\n  [12]\tthird [x]\r\nOK\r\n"), 0);
    EXPECT_EQ(records, (std::vector<std::string>{"first\r", "\r", "third [x]\r"}));
}

TEST_F(TagLog, BinaryRecordsAreDecodedAndFormatted)
{
    connect("V6.0.2");
    std::string answer = "Selected\r\n" + binary(0, 0, 0, 0, 0, 0, 0) + "start\r\n" +
                         binary(4000000000u, 16909060, 255, 1, 128, 1570453509, 42) + "\r\n" +
                         binary(1, 2, 3, 4, 5, 1570453509, 65535) + "big\r\nOK\r\n";
    ASSERT_EQ(read_log(10, 3, answer), 0);
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0], "0\t0\t0\t0\t0\t00:00:00.0000 01-01-1970\tstart\r");
    EXPECT_EQ(records[1], "4000000000\t16909060\t255\t1\t128\t13:05:09.0042 07-10-2019\t\r");
    // A fraction of five digits is shown whole, with the date after it.
    EXPECT_EQ(records[2], "1\t2\t3\t4\t5\t13:05:09.65535 07-10-2019\tbig\r");
    records.clear();
    // The last second a 32-bit time holds, and a leap day.
    ASSERT_EQ(read_log(0, 2, "Selected\r\n" + binary(0, 0, 0, 0, 0, 4294967295u, 1) + "\n" +
                                 binary(0, 0, 0, 0, 0, 951782400, 0) + "\nOK\r\n"),
              0);
    EXPECT_EQ(records[0], "0\t0\t0\t0\t0\t06:28:15.0001 07-02-2106\t");
    EXPECT_EQ(records[1], "0\t0\t0\t0\t0\t00:00:00.0000 29-02-2000\t");
}

TEST_F(TagLog, OverlongRecordLineIsCutAndTheReadoutGoesOn)
{
    connect("V6.0.0");
    std::string answer = "Selected\r\n" + binary(1, 2, 3, 4, 5, 0, 0) + std::string(400, 'z') +
                         "\r\nOK\r\n";
    ASSERT_EQ(read_log(0, 1, answer), 0);
    ASSERT_EQ(records.size(), 1u);
    const std::string fields = "1\t2\t3\t4\t5\t00:00:00.0000 01-01-1970\t";
    EXPECT_EQ(records[0], fields + std::string(TAG_LONG_REPLY - 1 - fields.size(), 'z'));
}

TEST_F(TagLog, StopInsideARecordKeepsTheRecordsBeforeIt)
{
    connect("V6.0.0");
    std::string answer = "Selected\r\n" + binary(1, 2, 3, 4, 5, 0, 0) + "ok\r\n" +
                         binary(6, 7, 8, 9, 10, 0, 0).substr(0, 10);
    EXPECT_EQ(read_log(0, 2, answer), SERIAL_EIO);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0], "1\t2\t3\t4\t5\t00:00:00.0000 01-01-1970\tok\r");
}

TEST_F(TagLog, LogSizeReply)
{
    connect("V6.0.0");
    uint32_t used = 11, size = 22;
    std::string typed;
    std::thread peer = tag.answer_command("[1] 12 of 1000\r\n", &typed);
    ASSERT_EQ(tag_get_log_size("COM5", &used, &size), 0);
    peer.join();
    EXPECT_EQ(typed, "logsize\r");
    EXPECT_EQ(used, 12u);
    EXPECT_EQ(size, 1000u);

    peer = tag.answer_command("7 records\r\n", &typed);  // what is missing stays
    ASSERT_EQ(tag_get_log_size("COM5", &used, &size), 0);
    peer.join();
    EXPECT_EQ(used, 7u);
    EXPECT_EQ(size, 1000u);
    peer = tag.answer_command("empty\r\n", &typed);
    ASSERT_EQ(tag_get_log_size("COM5", &used, &size), 0);
    peer.join();
    EXPECT_EQ(used, 7u);
}
