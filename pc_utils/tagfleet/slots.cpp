// The slots of a run: a fixture file's named slots, -c ports (each its own
// slot) or every port -a finds. Before any port is touched each is checked
// (a name twice, a port twice by any spelling); when the run starts, each
// USB adapter named by identity is found, and two slots that come to one
// port fail both, so that no tag is ever loaded twice at once.
#include "slots.h"
#include "app/command_line.h"
#include "fleet.h"
#include "platform/platform.h"
#include "recorder.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <string>

namespace {

// A fixture file's line: a slot name, white space, a port.
constexpr size_t MAX_LINE = 1024;

bool is_slot_char(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_' || c == '.';
}

bool is_slot_name(const char* text, size_t length)
{
    if (length == 0 || length >= FLEET_SLOT_SIZE) return false;
    for (size_t i = 0; i < length; ++i) {
        if (!is_slot_char(text[i])) return false;
    }
    return true;
}

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Where a slot comes from, for a usage error: "rack.fixture:3" or "-c".
struct slot_source {
    std::string where;
    std::string slot, port, given;
};

// One fixture line into `out`: false after its usage error (*status).
bool parse_line(const char* file, int number, char* line, std::vector<slot_source>& out,
                int* status)
{
    char* hash = strchr(line, '#');
    if (hash != nullptr) *hash = '\0';
    size_t length = strlen(line);
    while (length > 0 && is_blank(line[length - 1])) line[--length] = '\0';
    char* p = line;
    while (is_blank(*p)) ++p;
    if (*p == '\0') return true;
    char* name = p;
    while (*p != '\0' && !is_blank(*p)) ++p;
    size_t name_length = static_cast<size_t>(p - name);
    while (is_blank(*p)) ++p;
    char* port = p;
    while (*p != '\0' && !is_blank(*p)) ++p;
    size_t port_length = static_cast<size_t>(p - port);
    while (is_blank(*p)) ++p;
    name[name_length] = '\0';
    port[port_length] = '\0';
    if (!is_slot_name(name, name_length)) {
        *status = usage_error("%s:%d: \"%s\" is not a slot name (1 to %lu letters, digits, -, _, .)",
                              file, number, name, static_cast<unsigned long>(FLEET_SLOT_SIZE - 1));
        return false;
    }
    if (port_length == 0) {
        *status = usage_error("%s:%d: slot %s has no port", file, number, name);
        return false;
    }
    if (*p != '\0') {
        *status = usage_error("%s:%d: slot %s: one port only, not \"%s\"", file, number, name, p);
        return false;
    }
    char resolved[SERIAL_MAX_PATH + 1];
    if (!port_argument(port, resolved, sizeof resolved)) {
        *status = usage_error("%s:%d: slot %s: not a port: \"%s\"", file, number, name, port);
        return false;
    }
    out.push_back({std::string(file) + ":" + std::to_string(number), name, resolved, port});
    return true;
}

// One line of the fixture into `line` (MAX_LINE + 1 bytes), without its
// LF: 1, 0 at the end of the file, or a usage error's status (a NUL, or a
// line too long).
int read_fixture_line(FILE* in, const char* file, int number, char* line)
{
    size_t n = 0;
    int c = 0;
    while ((c = fgetc(in)) != EOF && c != '\n') {
        if (c == '\0') {
            return usage_error("%s:%d: a NUL byte: not a fixture's text", file, number);
        }
        if (n == MAX_LINE) {
            return usage_error("%s:%d: line longer than %lu characters", file, number,
                               static_cast<unsigned long>(MAX_LINE));
        }
        line[n++] = static_cast<char>(c);
    }
    line[n] = '\0';
    return c == EOF && n == 0 ? 0 : 1;
}

// The fixture file's slots: 0, or a usage error's status.
int read_fixture(const char* file, std::vector<slot_source>& out)
{
    FILE* in = platform_open_file(file, "rb");
    if (in == nullptr) return usage_error("cannot read the fixture %s: %s", file, strerror(errno));
    char line[MAX_LINE + 1] = "";
    int status = 0;
    for (int number = 1;; ++number) {
        int got = read_fixture_line(in, file, number, line);
        if (got != 1) {
            status = got;
            break;
        }
        // Notepad starts a UTF-8 file with a byte-order mark.
        char* text = line;
        if (number == 1 && strncmp(text, "\xEF\xBB\xBF", 3) == 0) text += 3;
        if (!parse_line(file, number, text, out, &status)) break;
    }
    bool read_error = ferror(in) != 0;
    fclose(in);
    if (status == 0 && read_error) return usage_error("cannot read the fixture %s", file);
    if (status == 0 && out.empty()) return usage_error("%s: names no slot", file);
    return status;
}

// The port list, for -a and for the adapters behind the ports given (one
// more than a run takes, to know when there are more).
serial_port_info listed[FLEET_MAX_PORTS + 1];

// Each port's identity, resolved where it is a USB form: `ids[i]`. The port
// list is read once for all of them. An adapter not there fails its slot
// when `missing_fails` (a station waits for it instead).
void resolve_ports(fleet& f, std::vector<serial_port_identity>& ids, bool missing_fails)
{
    ids.assign(f.ports.size(), serial_port_identity{});
    size_t count = serial_list_ports(listed, FLEET_MAX_PORTS, false);
    for (size_t i = 0; i < f.ports.size(); ++i) {
        fleet_port& p = f.ports[i];
        if (serial_is_usb_form(p.given)) {
            int32_t result = serial_resolve_usb(p.given, p.name, sizeof p.name, &p.usb);
            if (result != SERIAL_OK && !missing_fails) continue;
            if (result != SERIAL_OK) {
                p.result = result;
                serial_describe_error(p.reason, sizeof p.reason);
                p.outcome = port_outcome::failed;
                set_slot_state(f, p, slot_state::failed);
                continue;
            }
        } else if (!serial_is_network_port(p.name)) {
            serial_usb_identity_of(p.name, listed, count, &p.usb);
        }
        serial_identify_port(p.name, &ids[i]);
    }
}

}  // namespace

int usage_error(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    print_usage_error("tagfleet", format, args);
    va_end(args);
    return FLEET_USAGE_ERROR;
}

int collect_ports(fleet& f)
{
    std::vector<slot_source> slots;
    if (f.options.fixture != nullptr) {
        int status = read_fixture(f.options.fixture, slots);
        if (status != 0) return status;
    }
    if (f.options.all) {
        size_t n = serial_list_ports(listed, FLEET_MAX_PORTS + 1, false);
        if (n > FLEET_MAX_PORTS) {
            return usage_error("-a finds more than %lu ports, more than one run loads at once",
                               static_cast<unsigned long>(FLEET_MAX_PORTS));
        }
        for (size_t i = 0; i < n; ++i) slots.push_back({"-a", listed[i].name, listed[i].name, listed[i].name});
    }
    for (const char* arg : f.options.ports) {
        char name[SERIAL_MAX_PATH + 1];
        if (!port_argument(arg, name, sizeof name)) return usage_error("not a port: \"%s\"", arg);
        slots.push_back({"-c", name, name, arg});
    }
    if (slots.size() > FLEET_MAX_PORTS) {
        return usage_error("%lu ports named; one run loads at most %lu at once",
                           static_cast<unsigned long>(slots.size()),
                           static_cast<unsigned long>(FLEET_MAX_PORTS));
    }
    std::vector<serial_port_identity> ids(slots.size());
    for (size_t i = 0; i < slots.size(); ++i) {
        const slot_source& s = slots[i];
        serial_identify_port(s.port.c_str(), &ids[i]);
        for (size_t j = 0; j < i; ++j) {
            const slot_source& t = slots[j];
            bool from_fixture = s.where != "-c" && s.where != "-a";
            if (s.slot == t.slot && from_fixture) {
                return usage_error("%s: slot %s is named twice", s.where.c_str(), s.slot.c_str());
            }
            if (!serial_same_port(ids[i], ids[j])) continue;
            if (from_fixture) {
                return usage_error("%s: port %s is written twice (slot %s has it too)",
                                   s.where.c_str(), s.given.c_str(), t.slot.c_str());
            }
            if (t.where != "-c" && t.where != "-a") {
                return usage_error("-c %s is the port of slot %s (%s)", s.given.c_str(),
                                   t.slot.c_str(), t.where.c_str());
            }
            if (s.port == t.port) return usage_error("%s is named twice", s.port.c_str());
            return usage_error("-c %s and -c %s name the same port", t.given.c_str(),
                               s.given.c_str());
        }
    }
    f.ports.resize(slots.size());
    for (size_t i = 0; i < slots.size(); ++i) {
        fleet_port& p = f.ports[i];
        p.index = i;
        snprintf(p.slot, sizeof p.slot, "%s", slots[i].slot.c_str());
        snprintf(p.given, sizeof p.given, "%s", slots[i].given.c_str());
        snprintf(p.name, sizeof p.name, "%s", slots[i].port.c_str());
    }
    return 0;
}

void resolve_slots(fleet& f, bool missing_fails)
{
    std::vector<serial_port_identity> ids;
    resolve_ports(f, ids, missing_fails);
    for (size_t i = 0; i < f.ports.size(); ++i) {
        for (size_t j = 0; j < f.ports.size(); ++j) {
            if (i == j || ids[i].count == 0 || ids[j].count == 0 || !serial_same_port(ids[i], ids[j])) {
                continue;
            }
            fleet_port& p = f.ports[i];
            p.result = SERIAL_EIO;
            snprintf(p.reason, sizeof p.reason,
                     "is the port of slot %.120s too (%.200s): two slots never load one tag",
                     f.ports[j].slot, f.ports[j].given);
            p.outcome = port_outcome::failed;
            set_slot_state(f, p, slot_state::failed);
            break;
        }
    }
}

int check_slots(fleet& f)
{
    std::vector<serial_port_identity> ids;
    resolve_ports(f, ids, true);
    bool ok = true;
    for (size_t i = 0; i < f.ports.size(); ++i) {
        const fleet_port& p = f.ports[i];
        char what[TAG_REASON_SIZE + 64];
        if (p.state == slot_state::failed) {
            snprintf(what, sizeof what, "%s", p.reason);
        } else if (!serial_port_exists(p.name)) {
            snprintf(what, sizeof what, "%s %s", p.name,
                     serial_is_network_port(p.name) ? "names a host that does not resolve"
                                                    : "does not exist");
        } else if (p.usb.vid[0] != '\0') {
            snprintf(what, sizeof what, "%s  USB %s:%s%s%s at %s", p.name, p.usb.vid, p.usb.pid,
                     p.usb.serial[0] != '\0' ? " serial " : "", p.usb.serial, p.usb.location);
        } else if (serial_is_network_port(p.name)) {
            snprintf(what, sizeof what, "%s  %s", p.name, ids[i].keys[0]);
        } else {
            snprintf(what, sizeof what, "%s", p.name);
        }
        bool resolved = p.state != slot_state::failed && serial_port_exists(p.name);
        for (size_t j = 0; j < f.ports.size() && resolved; ++j) {
            if (j == i || ids[j].count == 0 || !serial_same_port(ids[i], ids[j])) continue;
            size_t used = strlen(what);
            snprintf(what + used, sizeof what - used, "; the same port as slot %s", f.ports[j].slot);
            resolved = false;
        }
        ok = ok && resolved;
        printf("%-16s %-24s %s\n", p.slot, p.given, what);
    }
    return ok ? 0 : 1;
}

bool slot_finished(slot_state state)
{
    return state == slot_state::held || state == slot_state::failed || state == slot_state::done;
}

void set_slot_state(fleet& f, fleet_port& p, slot_state state)
{
    p.state = state;
    if (f.recorder != nullptr) tell_state(f, p);
}

void port_label(const fleet_port& p, char* text, size_t size)
{
    if (strcmp(p.slot, p.name) == 0) {
        snprintf(text, size, "%s", p.name);
    } else {
        snprintf(text, size, "%s %s", p.slot, p.name);
    }
}
