#include "usb_ids.h"

#include "common/bytes.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool is_hex(char c)
{
    char l = ascii_lower(c);
    return is_digit(c) || (l >= 'a' && l <= 'f');
}

// Four hex digits at `text` into `out` (5 bytes), in lower case.
bool take_hex4(const char* text, char* out)
{
    for (int i = 0; i < 4; ++i) {
        if (!is_hex(text[i])) return false;
        out[i] = ascii_lower(text[i]);
    }
    out[4] = '\0';
    return true;
}

// "N" then ".N" any number of times; *end after it.
bool take_dotted(const char* text, const char** end, int max_parts)
{
    int parts = 0;
    const char* p = text;
    for (;;) {
        if (!is_digit(*p)) return false;
        while (is_digit(*p)) ++p;
        if (++parts > max_parts) return false;
        if (*p != '.') break;
        ++p;
    }
    *end = p;
    return true;
}

// "BUS-PORT.PORT...": *end after it.
bool take_device(const char* text, const char** end)
{
    const char* p = text;
    if (!is_digit(*p)) return false;
    while (is_digit(*p)) ++p;
    return *p == '-' && take_dotted(p + 1, end, 7);
}

bool starts_with_nocase(const char* text, const char* prefix)
{
    for (; *prefix != '\0'; ++text, ++prefix) {
        if (ascii_lower(*text) != ascii_lower(*prefix)) return false;
    }
    return true;
}

// "pci0.1400", "pci0.0801.0004": a USB host controller by its place on the
// PCI buses (the PCI root's number, then each PCI device and function down
// to it, as Windows' location path gives them); *end after it.
bool take_controller(const char* text, const char** end)
{
    if (!starts_with_nocase(text, "pci") || !is_digit(text[3])) return false;
    const char* p = text + 3;
    while (is_digit(*p)) ++p;
    int pieces = 0;
    char hex[5];
    for (; *p == '.' && take_hex4(p + 1, hex); p += 5) ++pieces;
    *end = p;
    return pieces > 0;
}

void copy_text(char* out, size_t size, const char* begin, size_t length)
{
    if (size == 0) return;
    size_t n = length < size - 1 ? length : size - 1;
    memcpy(out, begin, n);
    out[n] = '\0';
}

}  // namespace

bool usb_is_device_name(const char* name)
{
    const char* end = nullptr;
    return take_device(name, &end) && *end == '\0';
}

bool usb_is_interface_name(const char* name)
{
    const char* end = nullptr;
    if (!take_device(name, &end) || *end != ':') return false;
    const char* rest = end + 1;
    return take_dotted(rest, &end, 2) && *end == '\0' && strchr(rest, '.') != nullptr;
}

bool usb_parse_form(const char* text, usb_form* form)
{
    *form = usb_form{};
    if (text == nullptr) return false;
    if (starts_with_nocase(text, "usb@")) {
        // The jack, after its host controller where a computer has several.
        const char* location = text + 4;
        const char* jack = location;
        const char* end = nullptr;
        if (take_controller(location, &end) && *end == '/') jack = end + 1;
        if (!usb_is_device_name(jack) && !usb_is_interface_name(jack)) return false;
        if (strlen(location) >= sizeof form->location) return false;
        form->by_location = true;
        copy_text(form->location, sizeof form->location, location, strlen(location));
        for (char* c = form->location; *c != '\0'; ++c) *c = ascii_lower(*c);
        return true;
    }
    if (!starts_with_nocase(text, "usb:") || !take_hex4(text + 4, form->vid) || text[8] != ':' ||
        !take_hex4(text + 9, form->pid)) {
        return false;
    }
    const char* rest = text + 13;
    if (*rest == '\0') return true;
    if (*rest != ':' || rest[1] == '\0' || strlen(rest + 1) >= sizeof form->serial) return false;
    for (const char* c = rest + 1; *c != '\0'; ++c) {
        if (*c <= ' ' || *c > '~') return false;  // printable, no spaces
    }
    copy_text(form->serial, sizeof form->serial, rest + 1, strlen(rest + 1));
    return true;
}

bool usb_form_matches(const usb_form& form, const serial_usb_identity& adapter)
{
    if (form.by_location) {
        // A jack without its controller is the jack of that name on any of
        // them (then two controllers' jacks both match, and neither is picked).
        const char* at = adapter.location;
        const char* controller_end = strchr(at, '/');
        if (strchr(form.location, '/') == nullptr && controller_end != nullptr) at = controller_end + 1;
        if (at[0] == '\0') return false;
        if (strchr(form.location, ':') != nullptr) return strcmp(form.location, at) == 0;
        size_t device = strcspn(at, ":");
        return strlen(form.location) == device && strncmp(form.location, at, device) == 0;
    }
    return adapter.vid[0] != '\0' && strcmp(form.vid, adapter.vid) == 0 &&
           strcmp(form.pid, adapter.pid) == 0 &&
           (form.serial[0] == '\0' || strcmp(form.serial, adapter.serial) == 0);
}

void usb_form_words(const usb_form& form, char* text, size_t size)
{
    if (form.by_location) {
        snprintf(text, size, "in USB jack %s", form.location);
    } else if (form.serial[0] != '\0') {
        snprintf(text, size, "%s:%s with serial %s", form.vid, form.pid, form.serial);
    } else {
        snprintf(text, size, "%s:%s", form.vid, form.pid);
    }
}

bool usb_identity_from_instance_id(const char* id, serial_usb_identity* identity)
{
    *identity = serial_usb_identity{};
    bool ftdi = starts_with_nocase(id, "FTDIBUS\\");
    if (!ftdi && !starts_with_nocase(id, "USB\\")) return false;
    const char* p = id + (ftdi ? 8 : 4);
    // FTDI's driver joins its parts with "+", Windows' own with "&".
    char joint = ftdi ? '+' : '&';
    if (!starts_with_nocase(p, "VID_") || !take_hex4(p + 4, identity->vid) || p[8] != joint ||
        !starts_with_nocase(p + 9, "PID_") || !take_hex4(p + 13, identity->pid)) {
        *identity = serial_usb_identity{};
        return false;
    }
    p += 17;
    if (ftdi) {
        // "+A10K1234A\0000": the serial, then the port's letter.
        if (*p != '+') return true;
        ++p;
        size_t n = strcspn(p, "\\");
        if (n > 1 && p[n - 1] >= 'A' && p[n - 1] <= 'H') --n;
        copy_text(identity->serial, sizeof identity->serial, p, n);
        return true;
    }
    if (starts_with_nocase(p, "&MI_")) return true;  // an interface: no serial of its own
    if (*p != '\\') return true;
    const char* instance = p + 1;
    size_t n = strcspn(instance, "\\");
    if (memchr(instance, '&', n) == nullptr) {
        copy_text(identity->serial, sizeof identity->serial, instance, n);
    }
    return true;
}

bool usb_instance_id_is_device(const char* id)
{
    serial_usb_identity ignored{};
    return starts_with_nocase(id, "USB\\") && usb_identity_from_instance_id(id, &ignored) &&
           !starts_with_nocase(id + 21, "&MI_");
}

bool usb_controller_from_path(const char* path, char* controller, size_t size)
{
    const char* root = strstr(path, "#USBROOT(");
    if (root == nullptr || size == 0 || !starts_with_nocase(path, "PCIROOT(")) return false;
    char* end = nullptr;
    long number = strtol(path + 8, &end, 10);
    if (end == path + 8 || *end != ')' || number < 0) return false;
    char text[SERIAL_USB_TEXT];
    size_t n = 0;
    char piece[24];
    snprintf(piece, sizeof piece, "pci%ld", number);
    append_piece(text, sizeof text, &n, piece);
    const char* p = end + 1;
    int devices = 0;
    for (; p < root; p += 10, ++devices) {
        char hex[5];
        if (!starts_with_nocase(p, "#PCI(") || !take_hex4(p + 5, hex) || p[9] != ')') return false;
        snprintf(piece, sizeof piece, ".%s", hex);
        append_piece(text, sizeof text, &n, piece);
    }
    if (p != root || devices == 0) return false;
    snprintf(controller, size, "%s", text);
    return true;
}

bool usb_location_from_path(const char* path, bool with_controller, char* location, size_t size)
{
    const char* root = strstr(path, "USBROOT(");
    if (root == nullptr || size == 0) return false;
    char* end = nullptr;
    long bus = strtol(root + 8, &end, 10);
    if (end == root + 8 || *end != ')' || bus < 0 || bus > 126) return false;
    char text[SERIAL_USB_TEXT];
    size_t n = 0;
    char piece[SERIAL_USB_TEXT + 2];
    if (with_controller && usb_controller_from_path(path, piece, sizeof piece)) {
        append_piece(text, sizeof text, &n, piece);
        append_piece(text, sizeof text, &n, "/");
    }
    snprintf(piece, sizeof piece, "%ld-", bus + 1);
    append_piece(text, sizeof text, &n, piece);
    int ports = 0;
    const char* p = end + 1;
    while (strncmp(p, "#USB(", 5) == 0) {
        long port = strtol(p + 5, &end, 10);
        if (end == p + 5 || *end != ')' || port < 0) return false;
        snprintf(piece, sizeof piece, "%s%ld", ports++ > 0 ? "." : "", port);
        append_piece(text, sizeof text, &n, piece);
        p = end + 1;
    }
    if (ports == 0) return false;
    if (strncmp(p, "#USBMI(", 7) == 0) {
        long interface = strtol(p + 7, &end, 10);
        if (end == p + 7 || *end != ')' || interface < 0) return false;
        snprintf(piece, sizeof piece, ":1.%ld", interface);
        append_piece(text, sizeof text, &n, piece);
    }
    snprintf(location, size, "%s", text);
    return true;
}
