#include "command_line.h"
#include "platform/platform.h"
#include "serial/serial.h"
#include "tag/tag.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// An open that waits for its turn at tagterm says so once, on standard error.
void tell_turn_wait(const char*, const char* text) { fprintf(stderr, "%s\n", text); }

}  // namespace

void start_program(const char* program)
{
    platform_console_init();
    // The line must outlive this call: the interrupt handler prints it.
    static char interrupted[64];
    snprintf(interrupted, sizeof interrupted, "\n%s: Error: Interrupted; the port was released\n",
             program);
    // The tty's exclusive flag would otherwise lock out the next run.
    platform_exit_guard(serial_release_all, interrupted);
    serial_relay_on_wait(tell_turn_wait);
}

bool is_device_path_argument(const char* arg)
{
    return arg[0] == '/' && serial_takes_device_paths();
}

int copy_named_port(const char* program, char* port, size_t size, const char* arg)
{
    const char* what = is_device_path_argument(arg)   ? "Device path"
                       : serial_is_network_port(arg) ? "Network port"
                       : serial_is_usb_form(arg)     ? "USB adapter"
                                                     : nullptr;
    if (what == nullptr) return 0;
    return copy_argument(program, port, size, arg, what) ? 1 : -1;
}

bool resolve_port_argument(const char* program, char* port, size_t size, char* shown,
                           size_t shown_size, FILE* out)
{
    snprintf(shown, shown_size, "%s", port);
    if (!serial_is_usb_form(port)) return true;
    char found[SERIAL_MAX_PATH + 1];
    serial_usb_identity usb{};
    if (serial_resolve_usb(port, found, sizeof found, &usb) != SERIAL_OK) {
        char why[TAG_REASON_SIZE];
        serial_describe_error(why, sizeof why);
        fprintf(out, "%s: Error: Can't connect to tag on %s\n", program, port);
        fprintf(out, "%s: %s %s\n", program, port, why);
        return false;
    }
    tag_trace("%s is %s in the port list: USB adapter %s:%s%s%s at %s", port, found, usb.vid,
              usb.pid, usb.serial[0] != '\0' ? ", serial " : "", usb.serial, usb.location);
    snprintf(shown, shown_size, "%s (%s)", port, found);
    snprintf(port, size, "%s", found);
    return true;
}

bool parse_whole_number(const char* text, unsigned long min, unsigned long max,
                        unsigned long* value)
{
    if (text[0] < '0' || text[0] > '9') return false;
    char* end = nullptr;
    errno = 0;
    unsigned long n = strtoul(text, &end, 10);
    if (errno != 0 || *end != '\0' || n < min || n > max) return false;
    *value = n;
    return true;
}

bool copy_argument(const char* program, char* dest, size_t size, const char* arg,
                   const char* what)
{
    size_t length = strlen(arg);
    if (length >= size) {
        printf("%s: Error: %s too long (at most %d characters)\n", program, what,
               static_cast<int>(size - 1));
        return false;
    }
    memcpy(dest, arg, length + 1);
    return true;
}

void print_port_failure(const char* program, const char* port, int32_t result, FILE* out)
{
    char why[TAG_REASON_SIZE];
    tag_describe_failure(port, result, why, sizeof why);
    fprintf(out, "%s: %s %s\n", program, port, why);
}

bool port_argument(const char* arg, char* name, size_t size)
{
    unsigned long number = 0;
    if (parse_whole_number(arg, 1, SERIAL_LAST_COM_NUMBER, &number)) {
        snprintf(name, size, "COM%lu", number);
        return true;
    }
    bool named = port_number_from_name(arg) >= 0 || is_device_path_argument(arg) ||
                 serial_is_network_port(arg) || serial_is_usb_form(arg);
    if (!named || strlen(arg) >= size) return false;
    snprintf(name, size, "%s", arg);
    return true;
}

void print_usage_error(const char* program, const char* format, va_list args)
{
    char text[SERIAL_MAX_PATH * 2 + 1100];
    vsnprintf(text, sizeof text, format, args);  // NOLINT(clang-analyzer-valist.Uninitialized)
    fprintf(stderr, "%s: %s\nTry \"%s --help\".\n", program, text, program);
}
