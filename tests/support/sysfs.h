// Test support: USB serial adapters that are not there, as Linux's sysfs
// would show them, in a folder that FLASHTAG_SYSFS names for the program.
#pragma once

#include "temp_dir.h"

#include <string>

class FakeSysfs {
public:
    // Plugs adapter `tty` ("ttyUSB0") into the jack `location` ("1-3.2:1.0":
    // the USB device, then the interface), with its USB device's vendor and
    // product IDs and serial number; an adapter with several ports has one
    // tty per interface of the same device.
    void plug(const std::string& tty, const std::string& location, const std::string& vid,
              const std::string& pid, const std::string& serial);
    // Takes the adapter's tty away, as the kernel does when it is pulled out.
    void unplug(const std::string& tty);
    // FLASHTAG_SYSFS=<the folder>, for a run's environment.
    std::string variable() const { return "FLASHTAG_SYSFS=" + dir_.path(); }

private:
    TempDir dir_;
};
