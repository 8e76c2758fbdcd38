#include "sysfs.h"

#include "files.h"

#include <filesystem>

namespace fs = std::filesystem;

void FakeSysfs::plug(const std::string& tty, const std::string& location, const std::string& vid,
                     const std::string& pid, const std::string& serial)
{
    // devices/pci0000:00/0000:00:14.0/usb<bus>/<device>/<interface>/<tty>,
    // the USB device's files in <device>, as the kernel lays them out.
    std::string device = location.substr(0, location.find(':'));
    std::string bus = device.substr(0, device.find('-'));
    fs::path usb = fs::path(dir_.path()) / "devices/pci0000:00/0000:00:14.0" / ("usb" + bus) / device;
    fs::create_directories(usb / location / tty);
    write_file(usb / "idVendor", vid + "\n");
    write_file(usb / "idProduct", pid + "\n");
    write_file(usb / "manufacturer", "FTDI\n");
    write_file(usb / "product", "USB Serial\n");
    if (!serial.empty()) write_file(usb / "serial", serial + "\n");
    fs::path cls = fs::path(dir_.path()) / "class/tty" / tty;
    fs::create_directories(cls);
    fs::remove(cls / "device");
    fs::create_symlink(fs::relative(usb / location / tty, cls), cls / "device");
}

void FakeSysfs::unplug(const std::string& tty)
{
    fs::path cls = fs::path(dir_.path()) / "class/tty" / tty;
    fs::path device = fs::canonical(cls / "device");
    fs::remove_all(cls);
    fs::remove_all(device);
}
