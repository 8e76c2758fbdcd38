// tagrun: runs steps against a tag (tagrun.h says how it is made).
#include "app/command_line.h"
#include "common/json.h"
#include "platform/platform.h"
#include "serial/serial.h"
#include "tag/tag.h"
#include "tagrun.h"

#include <cerrno>
#include <cstring>

namespace {

struct reporting {
    const run_options* opt;
    tag_output* out;
};

void step_done(void* context, const step& s, const step_result& r)
{
    auto& rep = *static_cast<reporting*>(context);
    std::string line = step_line(s, r);
    if (!r.load_line.empty()) line = r.load_line + "\n" + line;
    for (size_t at = 0; at < line.size();) {
        size_t end = line.find('\n', at);
        output_note(*rep.out, line.substr(at, end - at));
        at = end + 1;
    }
    std::string text = rep.opt->json ? step_event(s, r) : line;
    fwrite(text.data(), 1, text.size(), stdout);
    fflush(stdout);
}

void start_event(const run_port& p, uint32_t firmware, uint32_t third, uint8_t node)
{
    char version[16];
    tag_version_text(firmware, third, version, sizeof version);
    if (!p.opt->json) {
        printf("tagrun: %s: tag firmware %s, node %u\n", p.shown, version, node);
        return;
    }
    std::string e = json_event("start");
    json_text(e, "port", p.shown);
    json_text(e, "firmware", version);
    json_number(e, "node_id", node);
    json_number(e, "steps", static_cast<long long>(p.opt->steps.size()));
    e += "}\n";
    fwrite(e.data(), 1, e.size(), stdout);
}

void end_line(const run_options& o, const std::vector<step_result>& results, int status, uint64_t ms)
{
    if (o.json) {
        std::string e = end_event(results, status);
        fwrite(e.data(), 1, e.size(), stdout);
        return;
    }
    size_t passed = 0, failed = 0;
    for (const step_result& r : results) {
        passed += r.verdict == STEP_PASSED ? 1 : 0;
        failed += r.verdict == STEP_FAILED ? 1 : 0;
    }
    if (status == 0) {
        printf("tagrun: passed: %zu steps, %.1f s\n", passed, static_cast<double>(ms) / 1000.0);
        return;
    }
    printf("tagrun: FAILED: %zu passed, %zu failed, %zu not run\n", passed, failed,
           results.size() - passed - failed);
}

bool open_log(const run_options& o, tag_output& out)
{
    if (o.log_path == nullptr) return true;
    out.log = platform_open_append(o.log_path, false);
    if (out.log != nullptr) return true;
    fprintf(stderr, "tagrun: cannot open the log %s (%s)\n", o.log_path, strerror(errno));
    return false;
}

void junit(const run_options& o, const std::vector<step_result>& results, const std::string& connect_failure,
           const tag_output& out)
{
    std::string why;
    if (o.junit_path != nullptr &&
        !write_junit(o.junit_path, "tagrun " + o.steps_name, o.steps, results, connect_failure, out, why)) {
        fprintf(stderr, "tagrun: the JUnit report was not written: %s\n", why.c_str());
    }
}

}  // namespace

int main(int argc, char** argv)
{
    start_program("tagrun");
    static run_options opt;
    int parsed = parse_options(argc, argv, opt);
    if (parsed != 0) return parsed < 0 ? 0 : parsed;
    tag_output out;
    if (!open_log(opt, out)) return 1;
    if (opt.verbose) out.stream = stderr;

    static run_port p;
    p.opt = &opt;
    p.bar = !opt.json && platform_output_is_terminal();
    uint32_t firmware = 0, third = 0;
    uint8_t node = 0;
    std::vector<step_result> results(opt.steps.size());
    if (!connect_tag("tagrun", opt.port, p.port, p.shown, sizeof p.shown, &firmware, &third, &node,
                     opt.json ? stderr : stdout)) {
        std::string port = opt.port[0] != '\0' ? opt.port : "any port";
        junit(opt, results, "no tag could be reached on " + port, out);
        if (opt.json) end_line(opt, results, 1, 0);
        return 1;
    }
    p.timeout_ms = TAG_REPLY_TIMEOUT_MS;
    start_event(p, firmware, third, node);

    uint64_t started = platform_now_ms();
    reporting rep{&opt, &out};
    bool passed = run_steps(opt.steps, opt.timeout_ms, make_step_port(p), out, step_reporter{&rep, step_done},
                            results);
    output_finish(out);
    int status = passed ? 0 : 1;
    junit(opt, results, "", out);
    end_line(opt, results, status, platform_now_ms() - started);
    serial_close(p.port);
    if (out.log != nullptr) fclose(out.log);
    return status;
}
