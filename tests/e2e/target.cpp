#include "target.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

Target& Target::get()
{
    static Target target;
    return target;
}

Target::Target()
{
    const char* build = getenv("FLASHTAG_E2E_WINE_BUILD");
    if (build == nullptr || build[0] == '\0') return;
    wine_build_ = build;
    // Where the prefix is, as wine-run itself says.
    std::string dir;
    if (FILE* p = popen(WINE_RUN_PATH " --prefix", "r")) {
        char line[4096];
        if (fgets(line, sizeof line, p) != nullptr) dir.assign(line, strcspn(line, "\n"));
        pclose(p);
    }
    dosdevices_ = dir + "/dosdevices";
    run({"-h"});  // makes the prefix on first use
}

std::string Target::port_link(int n) const
{
    if (is_wine()) return dosdevices_ + "/com" + std::to_string(n);
    return ports_.file("COM" + std::to_string(n));
}

std::string Target::program_path(const std::string& file) const
{
    std::string path = work_.file(file);
    return is_wine() ? "Z:" + path : path;  // Wine's Z: is the Unix root
}

RunResult Target::run(const std::vector<std::string>& args, const RunOptions& options) const
{
    return run_program("flashtag", args, options);
}

std::vector<std::string> Target::command(const std::string& program,
                                         const std::vector<std::string>& args) const
{
    std::vector<std::string> argv;
    if (is_wine()) {
        argv = {WINE_RUN_PATH, wine_build_ + "/pc_utils/" + program + "/" + program + ".exe"};
    } else {
        argv = {program == "flashtag"  ? FLASHTAG_PATH
                : program == "taglog"  ? TAGLOG_PATH
                : program == "tagterm" ? TAGTERM_PATH
                : program == "tagrun"  ? TAGRUN_PATH
                                       : TAGFLEET_PATH};
    }
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

std::vector<std::string> Target::environment(const RunOptions& options) const
{
    std::vector<std::string> env;
    if (!options.machine_ports) env.push_back("FLASHTAG_PORT_DIR=" + ports_.path());
    env.insert(env.end(), options.env.begin(), options.env.end());
    return env;
}

std::string Target::folded(const std::string& out) const
{
    if (!is_wine()) return out;
    std::string text;
    for (size_t i = 0; i < out.size(); ++i) {
        if (out[i] == '\r' && i + 1 < out.size() && out[i + 1] == '\n') continue;
        text += out[i];
    }
    return text;
}

RunResult Target::run_program(const std::string& program, const std::vector<std::string>& args,
                              const RunOptions& options) const
{
    RunResult r = ::run_program(command(program, args), environment(options), options);
    r.out = folded(r.out);
    return r;
}

std::unique_ptr<RunningProgram> Target::start(const std::string& program,
                                              const std::vector<std::string>& args,
                                              const RunOptions& options) const
{
    return std::make_unique<RunningProgram>(command(program, args), environment(options),
                                            options.on_terminal);
}
