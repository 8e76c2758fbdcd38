// What the steps need of the tag, on the port tagrun holds (directly, or
// through tagterm when it holds the port: the driver's relay backend).
#include "platform/platform.h"
#include "serial/serial.h"
#include "tag/tag.h"
#include "tagrun.h"

#include <cstring>

namespace {

// DTR off this long re-boots the boards that wire it to their reset line.
constexpr uint32_t DTR_RESET_MS = 100;
// A reset command (a hub's power switched off and on) has this long.
constexpr uint32_t RESET_COMMAND_MS = 60000;
// The rest of a burst, once its first byte came.
constexpr uint32_t BURST_MS = 1;

uint8_t script[APP_SCRIPT_SIZE];

bool set_timeout(run_port& p, uint32_t ms)
{
    if (p.timeout_ms == ms) return true;
    if (serial_set_timeout(p.port, ms) != SERIAL_OK) return false;
    p.timeout_ms = ms;
    return true;
}

std::string port_failure(const run_port& p)
{
    char why[TAG_REASON_SIZE];
    serial_describe_error(why, sizeof why);
    return std::string(p.shown) + " " + why;
}

bool listen(void* context, uint32_t wait_ms, tag_output& out, std::string& why)
{
    auto& p = *static_cast<run_port*>(context);
    uint8_t bytes[256];
    size_t count = 0;
    bool ok = set_timeout(p, wait_ms == 0 ? BURST_MS : wait_ms);
    if (ok && serial_read(p.port, bytes, 1) == SERIAL_OK) {
        count = 1;
        ok = set_timeout(p, BURST_MS);
        while (ok && count < sizeof bytes && serial_read(p.port, bytes + count, 1) == SERIAL_OK) ++count;
    }
    ok = ok && serial_last_error().fault == SERIAL_FAULT_TIMEOUT;
    if (count == sizeof bytes) ok = true;
    output_feed(out, bytes, count, platform_now_ms());
    if (!ok) why = port_failure(p);
    return ok;
}

bool send(void* context, const std::string& line, std::string& why)
{
    auto& p = *static_cast<run_port*>(context);
    std::string command = line + '\r';  // a command is its text and one CR, as flashtag sends it
    if (set_timeout(p, TAG_REPLY_TIMEOUT_MS) &&
        serial_write(p.port, command.data(), static_cast<uint32_t>(command.size())) == SERIAL_OK) {
        return true;
    }
    why = port_failure(p);
    return false;
}

void no_step(void*, upload_step) {}

bool show_bar(void* context, uint32_t done, uint32_t total)
{
    if (!static_cast<run_port*>(context)->bar) return true;
    char line[PROGRESS_LINE_SIZE];
    size_t n = format_progress(line, done, total);
    platform_write_progress(line, n);
    return true;
}

bool load(void* context, const step& s, std::string& outcome)
{
    auto& p = *static_cast<run_port*>(context);
    uint64_t start = platform_now_ms();
    char filename[APP_FILENAME_SIZE];
    char fullname[APP_FILENAME_SIZE];
    if (s.text.size() >= sizeof filename) {
        outcome = "load FAILED: the script's name is too long";
        return false;
    }
    snprintf(filename, sizeof filename, "%s", s.text.c_str());
    long length = read_script_file("tagrun", filename, fullname, script, p.opt->json ? stderr : stdout);
    if (length < 0) {
        outcome = "load FAILED: " + s.text + " could not be read";
        return false;
    }
    uint8_t node = 0;
    upload_observer observer{&p, no_step, show_bar};
    int32_t result = load_on_open_port(p.port, script, length, fullname, s.auto_run || p.opt->auto_run,
                                       observer, &node);
    p.timeout_ms = TAG_REPLY_TIMEOUT_MS;
    if (p.bar) printf("\r%79s\r", "");
    char line[APP_LOAD_LINE_SIZE];
    describe_load(p.port, p.shown, result, fullname, length, node, platform_now_ms() - start, line,
                  sizeof line);
    outcome = line;
    return result == SERIAL_OK;
}

bool reset(void* context, std::string& why)
{
    auto& p = *static_cast<run_port*>(context);
    if (strcmp(p.opt->reset, "dtr") == 0) {
        if (serial_set_dtr(p.port, false) == SERIAL_OK) {
            platform_sleep_ms(DTR_RESET_MS);
            if (serial_set_dtr(p.port, true) == SERIAL_OK) return true;
        }
        why = "DTR reset failed: " + port_failure(p);
        return false;
    }
    int status = 0;
    platform_command_end end = platform_run_command(p.opt->reset, nullptr, 0, RESET_COMMAND_MS, nullptr, &status);
    if (end == PLATFORM_COMMAND_EXITED && status == 0) return true;
    why = "the reset command \"" + std::string(p.opt->reset) + "\" ";
    if (end == PLATFORM_COMMAND_EXITED) {
        why += "ended with exit status " + std::to_string(status);
    } else if (end == PLATFORM_COMMAND_STOPPED) {
        why += "ran past " + std::to_string(RESET_COMMAND_MS / 1000) + " s and was stopped";
    } else {
        why += "could not be started";
    }
    return false;
}

}  // namespace

step_port make_step_port(run_port& p) { return step_port{&p, listen, send, load, reset}; }
