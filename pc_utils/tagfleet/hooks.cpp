// --on-result: to drive a stack light, a label printer, a database.
#include "hooks.h"
#include "platform/platform.h"
#include "recorder.h"
#include "slots.h"

#include <cstdio>
#include <memory>
#include <string>

namespace {

constexpr uint32_t HOOK_TIMEOUT_MS = 10000;

// Ctrl-C ends the run at once: a command still running is stopped with it.
bool run_interrupted() { return fleet_interrupted; }

void run_hook(fleet* f, size_t index, const std::vector<std::string>& env,
              const std::string& label, unsigned long seq, std::atomic<bool>* finished)
{
    struct mark_finished {
        std::atomic<bool>* flag;
        ~mark_finished() { *flag = true; }
    } on_return{finished};
    const char* vars[8];
    for (size_t i = 0; i < env.size() && i < 8; ++i) vars[i] = env[i].c_str();
    int status = 0;
    platform_command_end end = platform_run_command(f->options.on_result, vars, env.size(),
                                                    HOOK_TIMEOUT_MS, run_interrupted, &status);
    if (end == PLATFORM_COMMAND_EXITED && status == 0) return;
    char why[64];
    if (end == PLATFORM_COMMAND_EXITED) {
        snprintf(why, sizeof why, "exit status %d", status);
    } else if (end == PLATFORM_COMMAND_STOPPED) {
        snprintf(why, sizeof why, "ran past %lu s and was stopped",
                 static_cast<unsigned long>(HOOK_TIMEOUT_MS / 1000));
    } else if (end == PLATFORM_COMMAND_CALLED_OFF) {
        snprintf(why, sizeof why, "was stopped by the interrupt");
    } else {
        snprintf(why, sizeof why, "could not be started");
    }
    tell_hook_failed(*f, index, label, seq, why);
}

}  // namespace

void start_hook(fleet& f, fleet_hooks& hooks, const fleet_port& p)
{
    std::lock_guard<std::mutex> lock(hooks.lock);
    // Those that have ended are joined, so that a long shift keeps no more
    // threads than are running.
    for (size_t i = 0; i < hooks.running.size();) {
        if (*hooks.running[i].finished) {
            hooks.running[i].thread.join();
            hooks.running.erase(hooks.running.begin() + static_cast<std::ptrdiff_t>(i));
        } else {
            ++i;
        }
    }
    char label[SERIAL_MAX_PATH * 2 + 2];
    port_label(p, label, sizeof label);
    std::vector<std::string> env = {
        std::string("TAGFLEET_SLOT=") + p.slot,
        std::string("TAGFLEET_PORT=") + p.name,
        std::string("TAGFLEET_OUTCOME=") + (p.outcome == port_outcome::loaded ? "loaded" : "failed"),
        "TAGFLEET_NODE_ID=" + (p.node_id >= 0 ? std::to_string(p.node_id) : std::string()),
        std::string("TAGFLEET_REASON=") + p.reason,
        "TAGFLEET_SEQ=" + std::to_string(p.seq),
    };
    fleet_hook hook;
    hook.finished = std::make_unique<std::atomic<bool>>(false);
    hook.thread = std::thread(run_hook, &f, p.index, std::move(env), std::string(label), p.seq,
                              hook.finished.get());
    hooks.running.push_back(std::move(hook));
}

void wait_for_hooks(fleet_hooks& hooks)
{
    std::vector<fleet_hook> running;
    {
        std::lock_guard<std::mutex> lock(hooks.lock);
        running.swap(hooks.running);
    }
    for (fleet_hook& hook : running) hook.thread.join();
}
