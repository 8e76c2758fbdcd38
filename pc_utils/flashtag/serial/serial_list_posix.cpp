// The port list on Linux and macOS: the serial devices in /dev, or the port
// links in FLASHTAG_PORT_DIR, without opening any of them (opening a port
// raises its modem lines, which resets some boards). On Linux, sysfs says
// which ttyS ports have a UART and what a USB adapter is (its identity and
// jack); /dev/serial/by-id gives its stable name. macOS has neither: its
// cu.* devices are listed by name only.
#include "port_dir_posix.h"
#include "serial_backend.h"
#include "tty_linux.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <unistd.h>

namespace {

// Name prefixes of USB serial devices (Linux, then macOS), in scan order.
const char* const USB_PREFIXES[] = {"ttyUSB", "ttyACM", "cu.usbserial", "cu.usbmodem"};
// Other serial devices that the full list shows.
const char* const DEV_PREFIXES[] = {"ttyS", "ttyAMA", "cu."};

bool starts_with(const char* text, const char* prefix)
{
    return strncmp(text, prefix, strlen(prefix)) == 0;
}

// Position of the first prefix that `name` has, or -1.
template <size_t N>
int prefix_index(const char* name, const char* const (&prefixes)[N])
{
    for (size_t i = 0; i < N; ++i) {
        if (starts_with(name, prefixes[i])) return static_cast<int>(i);
    }
    return -1;
}

// Order of a listing: COMn links, USB devices in their prefix order, then
// the rest; numbers inside names compare as numbers (ttyUSB2 before
// ttyUSB10).
int group_of(const char* path)
{
    const char* base = strrchr(path, '/');
    base = base == nullptr ? path : base + 1;
    if (starts_with(base, "COM")) return 0;
    int usb = prefix_index(base, USB_PREFIXES);
    return usb >= 0 ? 1 + usb : 10;
}

bool natural_less(const serial_port_info& a, const serial_port_info& b)
{
    int ga = group_of(a.name), gb = group_of(b.name);
    if (ga != gb) return ga < gb;
    const char* p = a.name;
    const char* q = b.name;
    while (*p != '\0' && *q != '\0') {
        bool pd = *p >= '0' && *p <= '9', qd = *q >= '0' && *q <= '9';
        if (pd && qd) {
            char* pe = nullptr;
            char* qe = nullptr;
            unsigned long x = strtoul(p, &pe, 10), y = strtoul(q, &qe, 10);
            if (x != y) return x < y;
            p = pe;
            q = qe;
        } else {
            if (*p != *q) return *p < *q;
            ++p;
            ++q;
        }
    }
    return *p == '\0' && *q != '\0';
}

// The /dev/serial/by-id link that leads to `path`, appended to `text`.
void append_by_id(const char* path, char* text, size_t size)
{
    const char* by_id = "/dev/serial/by-id";
    DIR* d = opendir(by_id);
    if (d == nullptr) return;
    while (const dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        char link[600];
        snprintf(link, sizeof link, "%s/%s", by_id, e->d_name);
        char* target = realpath(link, nullptr);
        bool match = target != nullptr && strcmp(target, path) == 0;
        free(target);
        if (match) {
            size_t used = strlen(text);
            snprintf(text + used, size - used, "%s%s", used > 0 ? ", " : "", link);
            break;
        }
    }
    closedir(d);
}

}  // namespace

size_t os_list_ports(serial_port_info* ports, size_t max, bool usb_only)
{
    const char* links = port_dir();
    bool from_links = links != nullptr;
    const char* dir = from_links ? links : "/dev";
    DIR* d = opendir(dir);
    if (d == nullptr) return 0;
    size_t count = 0;
    while (const dirent* e = readdir(d)) {
        const char* base = e->d_name;
        bool usb = prefix_index(base, USB_PREFIXES) >= 0;
        // Only COMn links that the driver can open.
        bool other = from_links ? port_number_from_name(base) >= 0
                              : prefix_index(base, DEV_PREFIXES) >= 0;
        if (!usb && (usb_only || !other)) continue;
        if (!from_links && uart_missing(base)) continue;
        if (count == max) break;
        serial_port_info& port = ports[count];
        int n = snprintf(port.name, sizeof port.name, "%s/%s", dir, base);
        if (n < 0 || static_cast<size_t>(n) >= sizeof port.name) continue;
        port.detail[0] = '\0';
        port.usb = serial_usb_identity{};
        char usb_words[400] = "";
        if (from_links) {
            // A link made for the program: where it leads, and the adapter
            // there (known by the link's name, or by its target's).
            char target[SERIAL_MAX_PATH + 1];
            ssize_t len = readlink(port.name, target, sizeof target - 1);
            if (len > 0) {
                target[len] = '\0';
                const char* target_base = strrchr(target, '/');
                if (!usb_adapter_of_tty(base, &port.usb, usb_words, sizeof usb_words)) {
                    usb_adapter_of_tty(target_base != nullptr ? target_base + 1 : target, &port.usb,
                                       usb_words, sizeof usb_words);
                }
                snprintf(port.detail, sizeof port.detail, "-> %s%s%s", target,
                         usb_words[0] != '\0' ? ", " : "", usb_words);
            }
            // COMn links are named as the program names them.
            if (starts_with(base, "COM")) snprintf(port.name, sizeof port.name, "%s", base);
        } else {
            usb_adapter_of_tty(base, &port.usb, port.detail, sizeof port.detail);
            append_by_id(port.name, port.detail, sizeof port.detail);
        }
        ++count;
    }
    closedir(d);
    std::sort(ports, ports + count, natural_less);
    return count;
}
