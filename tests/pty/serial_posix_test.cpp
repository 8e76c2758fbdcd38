// The POSIX serial backend against real pseudo-terminals: time-outs, the
// input flush, exclusive open, raw line settings, closed slots.
#include "serial/serial.h"
#include "support/pty.h"

#include <chrono>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono;

long long elapsed_ms(steady_clock::time_point since)
{
    return duration_cast<milliseconds>(steady_clock::now() - since).count();
}

int open_descriptors()
{
    int n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (readdir(d) != nullptr) ++n;
        closedir(d);
    }
    return n;
}

class SerialPosix : public ::testing::Test {
protected:
    void TearDown() override
    {
        serial_close("COM5");
        serial_close("COM6");
    }
    int32_t open5(uint32_t timeout_ms = 1000, uint8_t stop_bits = 1)
    {
        return serial_open("COM5", 115200, 8, 0, stop_bits, timeout_ms);
    }
    PortDir dir;
    Pty tag{dir, "COM5"};
};

}  // namespace

TEST_F(SerialPosix, ReadOnSilentLineTimesOutAfterTheTimeout)
{
    ASSERT_EQ(open5(300), SERIAL_OK);
    unsigned char byte;
    auto start = steady_clock::now();
    EXPECT_EQ(serial_read("COM5", &byte, 1), SERIAL_EIO);
    EXPECT_GE(elapsed_ms(start), 290);
    EXPECT_LT(elapsed_ms(start), 3000);
}

TEST_F(SerialPosix, ReadCollectsTheWholeCountOrReportsShortTransfer)
{
    ASSERT_EQ(open5(1000), SERIAL_OK);
    std::thread peer([&] {
        tag.send("abc");
        std::this_thread::sleep_for(milliseconds(100));
        tag.send("def");
    });
    char buf[7] = {};
    EXPECT_EQ(serial_read("COM5", buf, 6), SERIAL_OK);
    peer.join();
    EXPECT_STREQ(buf, "abcdef");

    // Fewer bytes than asked within the time-out: a failure, bytes kept.
    ASSERT_EQ(serial_set_timeout("COM5", 100), SERIAL_OK);
    tag.send("xy");
    char part[5] = {};
    EXPECT_EQ(serial_read("COM5", part, 4), SERIAL_EIO);
    EXPECT_STREQ(part, "xy");
}

TEST_F(SerialPosix, ReadsWithTheirOwnTimeOutLeaveTheThreadsAlone)
{
    ASSERT_EQ(open5(2000), SERIAL_OK);
    unsigned char byte;
    auto start = steady_clock::now();
    EXPECT_EQ(serial_read_within("COM5", &byte, 1, 100), SERIAL_EIO);
    EXPECT_GE(elapsed_ms(start), 90);
    EXPECT_LT(elapsed_ms(start), 1500);
    char why[200];
    serial_describe_error(why, sizeof why);
    EXPECT_STREQ(why, "did not complete a read within 100 ms");

    // What has come, in one call; nothing more on a quiet line.
    tag.send("burst");
    std::this_thread::sleep_for(milliseconds(50));
    char got[16] = {};
    uint32_t count = 0;
    ASSERT_EQ(serial_read_some("COM5", got, sizeof got, 100, &count), SERIAL_OK);
    EXPECT_EQ(std::string(got, count), "burst");
    start = steady_clock::now();
    EXPECT_EQ(serial_read_some("COM5", got, sizeof got, 100, &count), SERIAL_EIO);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(serial_last_error().fault, SERIAL_FAULT_TIMEOUT);
    EXPECT_LT(elapsed_ms(start), 1500);

    uint32_t timeout = 0;
    EXPECT_EQ(serial_get_timeout("COM5", &timeout), SERIAL_OK);
    EXPECT_EQ(timeout, 2000u);
    start = steady_clock::now();
    EXPECT_EQ(serial_read("COM5", &byte, 1), SERIAL_EIO);
    EXPECT_GE(elapsed_ms(start), 1990);
}

TEST_F(SerialPosix, LineIsBinaryCleanBothWays)
{
    ASSERT_EQ(open5(), SERIAL_OK);
    const std::string bytes("A\r\nB\x03\x11\x13\x7f\x00\xff\n", 11);
    tag.send(bytes);
    char got[11];
    ASSERT_EQ(serial_read("COM5", got, sizeof got), SERIAL_OK);
    EXPECT_EQ(std::string(got, sizeof got), bytes);

    ASSERT_EQ(serial_write("COM5", bytes.data(), static_cast<uint32_t>(bytes.size())), SERIAL_OK);
    EXPECT_EQ(tag.receive(), bytes);
}

TEST_F(SerialPosix, FlushOnQuietLineIsShortAndRestoresTheTimeout)
{
    ASSERT_EQ(open5(700), SERIAL_OK);
    tag.send("stale echo");
    std::this_thread::sleep_for(milliseconds(50));
    auto start = steady_clock::now();
    EXPECT_EQ(serial_flush_input("COM5"), SERIAL_OK);
    EXPECT_GE(elapsed_ms(start), 9);
    EXPECT_LT(elapsed_ms(start), 500);

    uint32_t timeout = 0;
    EXPECT_EQ(serial_get_timeout("COM5", &timeout), SERIAL_OK);
    EXPECT_EQ(timeout, 700u);
    // The stale bytes are gone; the restored time-out is the one in force.
    unsigned char byte;
    start = steady_clock::now();
    EXPECT_EQ(serial_read("COM5", &byte, 1), SERIAL_EIO);
    EXPECT_GE(elapsed_ms(start), 690);
}

TEST_F(SerialPosix, FlushKeepsReadingWhileTheLineKeepsSending)
{
    ASSERT_EQ(open5(), SERIAL_OK);
    std::thread peer([&] {
        // 60 bytes every 2 ms: more than one 50-byte read per 10 ms window.
        for (int i = 0; i < 150; ++i) {
            tag.send(std::string(60, 'z'));
            std::this_thread::sleep_for(milliseconds(2));
        }
    });
    auto start = steady_clock::now();
    EXPECT_EQ(serial_flush_input("COM5"), SERIAL_OK);
    auto took = elapsed_ms(start);
    peer.join();
    EXPECT_GE(took, 250);
}

TEST_F(SerialPosix, OpenIsExclusive)
{
    ASSERT_EQ(symlink(tag.path().c_str(), dir.file("COM6").c_str()), 0);
    ASSERT_EQ(open5(), SERIAL_OK);
    serial_handle held = serial_get_handle("COM5");

    // The same device under another name, and the same name again.
    EXPECT_EQ(serial_open("COM6", 115200, 8, 0, 1, 1000), SERIAL_EIO);
    EXPECT_EQ(serial_get_handle("COM6"), SERIAL_INVALID_HANDLE);
    EXPECT_EQ(open5(), SERIAL_EIO);
    EXPECT_EQ(serial_get_handle("COM5"), held);

    EXPECT_EQ(serial_close("COM5"), SERIAL_OK);
    EXPECT_EQ(serial_open("COM6", 115200, 8, 0, 1, 1000), SERIAL_OK);
}

TEST_F(SerialPosix, ExclusiveFlagIsOursToClearOnlyAndSettingsComeBack)
{
#ifndef TIOCGEXCL
    GTEST_SKIP() << "this system cannot read a tty's exclusive flag";
#else
    // The test's own descriptor: a terminal program that holds the port.
    int other = open(tag.path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(other, 0);
    termios found{};
    ASSERT_EQ(tcgetattr(other, &found), 0);
    int exclusive = 0;

    ASSERT_EQ(open5(), SERIAL_OK);
    ASSERT_EQ(ioctl(other, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 1);
    serial_close("COM5");
    ASSERT_EQ(ioctl(other, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0);
    termios now{};
    ASSERT_EQ(tcgetattr(other, &now), 0);
    EXPECT_EQ(now.c_lflag, found.c_lflag);
    EXPECT_EQ(now.c_iflag, found.c_iflag);
    EXPECT_EQ(now.c_oflag, found.c_oflag);

    // Another program's flag (GNU screen sets it without a lock): refused,
    // whoever we are, and left set.
    ASSERT_EQ(ioctl(other, TIOCEXCL), 0);
    EXPECT_EQ(open5(), SERIAL_EIO);
    EXPECT_EQ(serial_last_error().fault, SERIAL_FAULT_IN_USE);
    ASSERT_EQ(ioctl(other, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 1);
    ioctl(other, TIOCNXCL);
    close(other);

    // And every port at once, as at an interrupt.
    ASSERT_EQ(open5(), SERIAL_OK);
    serial_release_all();
    EXPECT_EQ(serial_get_handle("COM5"), SERIAL_INVALID_HANDLE);
    EXPECT_EQ(open5(), SERIAL_OK);
#endif
}

TEST_F(SerialPosix, BadStopBitsAndMissingDevicesLeaveNothingOpen)
{
    int before = open_descriptors();
    EXPECT_EQ(open5(1000, 3), SERIAL_EINVAL);
    EXPECT_EQ(open5(1000, 0), SERIAL_EINVAL);
    EXPECT_EQ(serial_open("COM8", 115200, 8, 0, 1, 1000), SERIAL_EIO);  // no such device
    EXPECT_EQ(serial_open("COM5", 12345, 8, 0, 1, 1000), SERIAL_EIO);   // no such speed
    EXPECT_EQ(open_descriptors(), before);
    EXPECT_EQ(serial_get_handle("COM5"), SERIAL_INVALID_HANDLE);
    EXPECT_EQ(open5(1000, 2), SERIAL_OK);  // and the lock was released
}

TEST_F(SerialPosix, ClosedSlotNeverReachesAnotherDescriptor)
{
    ASSERT_EQ(open5(), SERIAL_OK);
    ASSERT_EQ(serial_close("COM5"), SERIAL_OK);
    EXPECT_EQ(serial_get_handle("COM5"), SERIAL_INVALID_HANDLE);

    // Standard input holds a byte: nothing may read or write it.
    int saved = dup(0);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(write(fds[1], "x", 1), 1);
    dup2(fds[0], 0);
    unsigned char byte;
    EXPECT_EQ(serial_read("COM5", &byte, 1), SERIAL_EIO);
    EXPECT_EQ(serial_read("COM3", &byte, 1), SERIAL_EIO);  // never opened
    EXPECT_EQ(serial_write("COM3", "y", 1), SERIAL_EIO);
    char left = 0;
    EXPECT_EQ(read(0, &left, 1), 1);
    EXPECT_EQ(left, 'x');
    dup2(saved, 0);
    close(saved);
    close(fds[0]);
    close(fds[1]);
}

TEST_F(SerialPosix, HangUpEndsAReadAtOnce)
{
    ASSERT_EQ(open5(5000), SERIAL_OK);
    tag.hang_up();
    unsigned char byte;
    auto start = steady_clock::now();
    EXPECT_EQ(serial_read("COM5", &byte, 1), SERIAL_EIO);
    EXPECT_LT(elapsed_ms(start), 2500);
}
