// Port names: which texts address which slot, and that every operation
// refuses a bad name before it reaches the OS.
#include "serial/serial.h"
#include "serial/serial_backend.h"

#include <gtest/gtest.h>
#include <vector>

TEST(PortName, AcceptsOneAndTwoDigitFormsInAnyCase)
{
    EXPECT_EQ(port_number_from_name("COM7"), 7);
    EXPECT_EQ(port_number_from_name("com7"), 7);
    EXPECT_EQ(port_number_from_name("cOm7"), 7);
    EXPECT_EQ(port_number_from_name("COM07"), 7);
    EXPECT_EQ(port_number_from_name("COM1"), 1);
    EXPECT_EQ(port_number_from_name("COM10"), 10);
    EXPECT_EQ(port_number_from_name("COM99"), 99);
}

TEST(PortName, RejectsEverythingElse)
{
    for (const char* name : {"COM0", "COM00", "COM100", "COM7 ", " COM7", "\\\\.\\COM7", "COM",
                             "CON7", "COMx", "COM7x", "COM-1", "", "LPT1"}) {
        EXPECT_EQ(port_number_from_name(name), -1) << name;
    }
    EXPECT_EQ(port_number_from_name(nullptr), -1);
}

TEST(PortName, EveryOperationRefusesABadName)
{
    unsigned char byte = 0;
    uint32_t timeout = 0;
    std::vector<const char*> names = {"COM0", "COM00", "COM100", "COM7 ", nullptr};
    // Where ports have no device paths (Windows), a path is a bad name too.
    if (!serial_takes_device_paths()) names.push_back("/dev/ttyS0");
    for (const char* name : names) {
        SCOPED_TRACE(name == nullptr ? "null" : name);
        EXPECT_EQ(serial_open(name, 115200, 8, 0, 1, 1000), SERIAL_EINVAL);
        EXPECT_EQ(serial_close(name), SERIAL_EINVAL);
        EXPECT_EQ(serial_set_timeout(name, 1000), SERIAL_EINVAL);
        EXPECT_EQ(serial_get_timeout(name, &timeout), SERIAL_EINVAL);
        EXPECT_EQ(serial_read(name, &byte, 1), SERIAL_EINVAL);
        EXPECT_EQ(serial_write(name, &byte, 1), SERIAL_EINVAL);
        EXPECT_EQ(serial_flush_input(name), SERIAL_EINVAL);
        EXPECT_EQ(serial_set_dtr(name, true), SERIAL_EINVAL);
        EXPECT_EQ(serial_get_handle(name), SERIAL_INVALID_HANDLE);
    }
}

TEST(PortName, PortThatWasNeverOpenedFailsAsAnOsError)
{
    unsigned char byte = 0;
    EXPECT_EQ(serial_read("COM42", &byte, 1), SERIAL_EIO);
    EXPECT_EQ(serial_write("COM42", &byte, 1), SERIAL_EIO);
    EXPECT_EQ(serial_set_timeout("COM42", 1000), SERIAL_EIO);
    EXPECT_EQ(serial_set_dtr("COM42", true), SERIAL_EIO);
    // Closing what is not open is harmless.
    EXPECT_EQ(serial_close("COM42"), SERIAL_OK);
    EXPECT_EQ(serial_read("COM42", &byte, 1), SERIAL_EIO);
}

TEST(PortName, NetworkPortsAreCheckedBeforeAnyLookup)
{
    for (const char* name : {"socket://", "socket://host", "socket://host:", "socket://host:0",
                             "socket://host:65536", "socket://host:12x", "socket://host:-1",
                             "socket://[::1:80", "socket://a b:1", "rfc2217://:4000"}) {
        EXPECT_EQ(serial_open(name, 115200, 8, 0, 1, 1000), SERIAL_EINVAL) << name;
        EXPECT_EQ(serial_last_error().fault, SERIAL_FAULT_ADDRESS) << name;
    }
    // How a name that does not resolve reads (no name is looked up here).
    serial_fail(SERIAL_FAULT_NO_HOST, "resolve", 0, "Name or service not known");
    char text[200];
    serial_describe_error(text, sizeof text);
    EXPECT_STREQ(text, "names a host that does not resolve (Name or service not known)");
}
