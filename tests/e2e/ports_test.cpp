// Ports as users name them: device paths, USB adapters in the scan, and the
// port list, against the simulated tag.
#include "support/sysfs.h"
#include "target.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <memory>

namespace {

const std::string settings_end = "Auto-run : OFF\n\n";

}  // namespace

TEST(Ports, DevicePathsAndUsbAdaptersOnPosix)
{
    const Target& target = Target::get();
    if (target.is_wine()) GTEST_SKIP() << "Windows names its ports COMn only";
    write_file(target.work().file("p.bas"), "A\r\n");

    // -c with the device path, flashtag and taglog alike.
    TagSimProcess tag(target.port_dir().file("tag"), {"--log-records", "3"});
    RunResult r = target.run({"-c", tag.tty(), target.program_path("p.bas")});
    EXPECT_NE(r.out.find("Port     : " + tag.tty() + "\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("---- SUCCESS ----"), std::string::npos) << r.out;
    EXPECT_EQ(r.status, 0);
    r = target.run_program("taglog", {"-c", tag.tty()});
    EXPECT_EQ(r.out, "Log size: 3 of 1000\n");

    // The scan passes a silent COM port and finds the tag on a USB adapter.
    TagSimProcess silent(target.port_link(3), {"--silent"});
    TagSimProcess usb(target.port_dir().file("ttyUSB0"), {"--node-id", "21"});
    r = target.run({target.program_path("p.bas")});
    std::string usb_path = target.port_dir().file("ttyUSB0");
    EXPECT_NE(r.out.find("Scanning ports...\nPort     : " + usb_path + "\nNode ID  : 21\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.status, 0);

    // A relative FLASHTAG_PORT_DIR: -l names the adapter by the path that
    // -c then opens, from wherever it is run.
    std::string dir = target.port_dir().file("");
    dir.pop_back();
    size_t slash = dir.rfind('/');
    r = run_program({"sh", "-c", "cd '" + dir.substr(0, slash) + "' && FLASHTAG_PORT_DIR='" +
                                     dir.substr(slash + 1) + "' exec " FLASHTAG_PATH " -l"});
    EXPECT_NE(r.out.find("\n  " + usb_path + " -> "), std::string::npos) << r.out;
    remove(target.work().file("p.bas").c_str());
}

TEST(Ports, ListSendsNothing)
{
    const Target& target = Target::get();
    const std::string transcript = target.work().file("listed");
    TagSimProcess com4(target.port_link(4), {"--transcript", transcript});
    TagSimProcess com12(target.port_link(12), {"--transcript", transcript});
    std::unique_ptr<TagSimProcess> usb;
    if (!target.is_wine()) {
        usb = std::make_unique<TagSimProcess>(target.port_dir().file("ttyACM1"),
                                              std::vector<std::string>{"--transcript", transcript});
    }
    RunResult r = target.run({"-l"});
    EXPECT_EQ(r.status, 0);
    size_t com4_at = r.out.find("\n  COM4 "), com12_at = r.out.find("\n  COM12 ");
    EXPECT_NE(com4_at, std::string::npos) << r.out;
    EXPECT_NE(com12_at, std::string::npos) << r.out;
    EXPECT_LT(com4_at, com12_at);  // in number order
    if (usb) {
        EXPECT_NE(r.out.find("\n  " + target.port_dir().file("ttyACM1") + " -> " + usb->tty()),
                  std::string::npos)
            << r.out;
    }
    EXPECT_EQ(read_file(transcript), "");  // no port was sent anything

    // The machine's own ports: whatever they are, the list comes and ends well.
    RunOptions machine;
    machine.machine_ports = true;
    r = target.run({"-l"}, machine);
    EXPECT_TRUE(r.out.find("Serial ports:\n") != std::string::npos ||
                r.out.find("No serial ports found.\n") != std::string::npos)
        << r.out;
    EXPECT_EQ(r.status, 0);
}

// USB adapters named by identity, found as Linux's sysfs shows them (a tree
// made here, as no adapter is plugged in): by vendor and product ID, serial
// number or jack; one form never picks one of two adapters; the serial form
// follows an adapter to another jack, the jack form stays with the jack.
TEST(Ports, UsbAdaptersByIdentity)
{
    const Target& target = Target::get();
    if (target.is_wine()) GTEST_SKIP() << "no USB under Wine; the Windows strings are unit-tested";
    FakeSysfs sysfs;
    sysfs.plug("ttyUSB0", "1-3.2:1.0", "0403", "6001", "A10K1234");
    sysfs.plug("ttyUSB1", "1-4:1.0", "0403", "6001", "A10K9999");
    sysfs.plug("ttyUSB2", "2-1:1.0", "0403", "6010", "FT55AA");  // one adapter, two ports
    sysfs.plug("ttyUSB3", "2-1:1.1", "0403", "6010", "FT55AA");
    sysfs.plug("ttyACM0", "3-1:1.0", "2341", "0043", "75735353038351C0D1A1");
    std::vector<std::unique_ptr<TagSimProcess>> tags;
    int node = 10;
    for (const char* tty : {"ttyUSB0", "ttyUSB1", "ttyUSB2", "ttyUSB3", "ttyACM0"}) {
        tags.push_back(std::make_unique<TagSimProcess>(
            target.port_dir().file(tty), std::vector<std::string>{"--node-id", std::to_string(node++)}));
    }
    auto port = [&](const char* tty) { return target.port_dir().file(tty); };
    write_file(target.work().file("u.bas"), "10 END\r\n");
    RunOptions options;
    options.env = {sysfs.variable()};
    struct Case {
        std::string form, says;
    } cases[] = {
        {"usb:2341:0043", "Port     : usb:2341:0043 (" + port("ttyACM0") + ")\nNode ID  : 14\n"},
        {"usb:0403:6001:A10K9999", "(" + port("ttyUSB1") + ")\nNode ID  : 11\n"},
        {"usb@1-3.2", "(" + port("ttyUSB0") + ")\nNode ID  : 10\n"},
        {"usb@2-1:1.1", "(" + port("ttyUSB3") + ")\nNode ID  : 13\n"},
        {"usb:0403:6001", "flashtag: usb:0403:6001 matches 2 adapters: " + port("ttyUSB0") +
                              " (serial A10K1234) and " + port("ttyUSB1") +
                              " (serial A10K9999); give the serial number or usb@LOCATION\n"},
        {"usb@2-1", "flashtag: usb@2-1 matches 2 adapters: " + port("ttyUSB2") + " (at 2-1:1.0) and " +
                        port("ttyUSB3") + " (at 2-1:1.1); give usb@LOCATION with the interface\n"},
        {"usb:0403:6001:NOPE", "flashtag: usb:0403:6001:NOPE is not plugged in (no USB adapter "
                               "0403:6001 with serial NOPE)\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.form);
        RunResult r = target.run({"-c", c.form, target.program_path("u.bas")}, options);
        EXPECT_EQ(r.status, c.says[0] == 'f' ? 1 : 0) << r.out;
        EXPECT_NE(r.out.find(c.says), std::string::npos) << r.out;
    }
    // The list offers the forms that name each adapter alone, and -c takes:
    // not a serial number with a space or a byte beyond ASCII.
    sysfs.plug("ttyUSB4", "1-6:1.0", "0403", "6001", "AB 12\xC3\xA9");
    std::filesystem::create_symlink("/dev/null", port("ttyUSB4"));
    RunResult r = target.run({"-l"}, options);
    std::filesystem::remove(port("ttyUSB4"));
    EXPECT_NE(r.out.find("(0403:6001, serial A10K1234); -c usb:0403:6001:A10K1234 or usb@1-3.2\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("(0403:6010, serial FT55AA); -c usb@2-1:1.1\n"), std::string::npos);
    EXPECT_NE(r.out.find("(0403:6001, serial AB 12\xC3\xA9); -c usb@1-6\n"), std::string::npos);
    // Moved to another jack.
    sysfs.unplug("ttyUSB0");
    sysfs.plug("ttyUSB0", "1-5:1.0", "0403", "6001", "A10K1234");
    r = target.run({"-c", "usb:0403:6001:A10K1234", target.program_path("u.bas")}, options);
    EXPECT_EQ(r.status, 0) << r.out;
    r = target.run_program("taglog", {"-c", "usb@1-3.2"}, options);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "taglog: Error: Can't connect to tag on usb@1-3.2\n"
                     "taglog: usb@1-3.2 is not plugged in (no USB adapter in USB jack 1-3.2)\n");
}
