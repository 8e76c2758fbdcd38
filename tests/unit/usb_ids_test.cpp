// USB adapters by identity: the forms users write, and the strings Windows
// describes adapters with (recorded from Windows), read the same on every
// build.
#include "serial/usb_ids.h"

#include <gtest/gtest.h>
#include <string>

TEST(UsbIds, InstanceIds)
{
    struct Case {
        const char* id;
        bool usb, device;
        const char *vid, *pid, *serial;
    } cases[] = {
        {"USB\\VID_0403&PID_6001\\A10K1234", true, true, "0403", "6001", "A10K1234"},
        {"USB\\VID_0403&PID_6010&MI_01\\7&2A3B4C5D&0&0001", true, false, "0403", "6010", ""},
        {"FTDIBUS\\VID_0403+PID_6001+A10K1234A\\0000", true, false, "0403", "6001", "A10K1234"},
        {"USB\\VID_2341&PID_0043\\75735353038351C0D1A1", true, true, "2341", "0043",
         "75735353038351C0D1A1"},  // CDC-ACM (an Arduino)
        {"USB\\VID_1A86&PID_7523\\5&1D5A3B5E&0&2", true, true, "1a86", "7523", ""},  // no serial
        {"ACPI\\PNP0501\\1", false, false, "", "", ""},  // a UART on the board
        {"USB\\VID_04O3&PID_6001\\X", false, false, "", "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        serial_usb_identity usb{};
        EXPECT_EQ(usb_identity_from_instance_id(c.id, &usb), c.usb);
        EXPECT_EQ(usb_instance_id_is_device(c.id), c.device);
        EXPECT_STREQ(usb.vid, c.vid);
        EXPECT_STREQ(usb.pid, c.pid);
        EXPECT_STREQ(usb.serial, c.serial);
    }
}

TEST(UsbIds, LocationPaths)
{
    // Each USB host controller has its own USBROOT(0): with several, a jack
    // is told apart by its controller.
    struct Case {
        const char* path;
        const char* location;  // null: not a USB location
        const char* with_controller;
    } cases[] = {
        {"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(3)#USB(2)", "1-3.2", "pci0.1400/1-3.2"},
        {"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(3)#USB(2)#USBMI(1)", "1-3.2:1.1", "pci0.1400/1-3.2:1.1"},
        {"PCIROOT(0)#PCI(1A00)#USBROOT(0)#USB(3)#USB(2)", "1-3.2", "pci0.1a00/1-3.2"},
        {"PCIROOT(0)#PCI(1C04)#PCI(0000)#USBROOT(0)#USB(1)", "1-1", "pci0.1c04.0000/1-1"},
        {"PCIROOT(0)#PCI(0801)#PCI(0004)#USBROOT(1)#USB(4)", "2-4", "pci0.0801.0004/2-4"},
        {"ACPI(_SB_)#ACPI(PCI0)#ACPI(XHC_)#ACPI(RHUB)#ACPI(HS03)", nullptr, nullptr},
        {"ACPI(_SB_)#ACPI(PCI0)#ACPI(LPCB)#ACPI(UAR1)", nullptr, nullptr},
        {"PCIROOT(0)#PCI(1400)#USBROOT(0)", nullptr, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        for (bool with_controller : {false, true}) {
            const char* expected = with_controller ? c.with_controller : c.location;
            char location[SERIAL_USB_TEXT] = "";
            EXPECT_EQ(usb_location_from_path(c.path, with_controller, location, sizeof location),
                      expected != nullptr);
            if (expected != nullptr) {
                EXPECT_STREQ(location, expected);
            }
        }
    }
    // The controller alone, as the root hubs' paths give it.
    char controller[SERIAL_USB_TEXT] = "";
    EXPECT_TRUE(usb_controller_from_path("PCIROOT(0)#PCI(1400)#USBROOT(0)", controller, sizeof controller));
    EXPECT_STREQ(controller, "pci0.1400");
}

TEST(UsbIds, FormsAndWhatTheyMatch)
{
    const serial_usb_identity single{"0403", "6001", "A10K1234", "1-3.2:1.0"};
    const serial_usb_identity second_port{"0403", "6010", "FT55AA", "2-1:1.1"};
    struct Case {
        const char* form;
        bool valid, matches_single, matches_second_port;
    } cases[] = {
        {"usb:0403:6001", true, true, false},
        {"USB:0403:6001:A10K1234", true, true, false},
        {"usb:0403:6001:A10K9999", true, false, false},
        {"usb:0403:6010", true, false, true},
        {"usb@1-3.2", true, true, false},
        {"usb@1-3.2:1.0", true, true, false},
        {"usb@2-1:1.1", true, false, true},
        {"usb@2-1:1.0", true, false, false},
        {"usb@1-3", true, false, false},  // the hub the adapter is behind
        {"usb:403:6001", false, false, false},
        {"usb:0403:6001:", false, false, false},
        {"usb:0403:6001:A B", false, false, false},
        {"usb@1-3.2:1", false, false, false},
        {"usb@1", false, false, false},
        {"usb@", false, false, false},
        {"usb:0403:600g", false, false, false},
        {"usb@pci0.1400", false, false, false},
        {"usb@pci0.14/1-3.2", false, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.form);
        usb_form form{};
        ASSERT_EQ(usb_parse_form(c.form, &form), c.valid);
        EXPECT_EQ(serial_is_usb_form(c.form), c.valid);
        if (!c.valid) continue;
        EXPECT_EQ(usb_form_matches(form, single), c.matches_single);
        EXPECT_EQ(usb_form_matches(form, second_port), c.matches_second_port);
    }
}

// Two controllers, one jack each with the same ports: the controller tells
// them apart; the jack alone matches both (and so picks neither).
TEST(UsbIds, JacksOnTwoControllers)
{
    const serial_usb_identity first{"0403", "6001", "A10K1234", "pci0.1400/1-3.2:1.0"};
    const serial_usb_identity second{"0403", "6001", "A10K9999", "pci0.1a00/1-3.2:1.0"};
    struct Case {
        const char* form;
        bool matches_first, matches_second;
    } cases[] = {
        {"usb@pci0.1400/1-3.2", true, false},
        {"USB@PCI0.1A00/1-3.2:1.0", false, true},
        {"usb@1-3.2", true, true},
        {"usb@pci0.1c04.0000/1-3.2", false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.form);
        usb_form form{};
        ASSERT_TRUE(usb_parse_form(c.form, &form));
        EXPECT_EQ(usb_form_matches(form, first), c.matches_first);
        EXPECT_EQ(usb_form_matches(form, second), c.matches_second);
    }
}
