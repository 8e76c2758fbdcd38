// Ports as users name them: device paths, USB adapters in the scan, and the
// port list, against the simulated tag.
#include "target.h"

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
