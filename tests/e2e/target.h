// Test support: the flashtag build under test, run as a user runs it. The
// Linux build reaches ports through FLASHTAG_PORT_DIR; the Windows build runs
// under Wine and reaches them through its prefix's dosdevices links.
#pragma once

#include "support/process.h"

#include <memory>
#include <string>
#include <vector>

class Target {
public:
    // The Windows build when FLASHTAG_E2E_WINE_BUILD names its directory,
    // else the Linux build.
    static Target& get();

    bool is_wine() const { return !wine_build_.empty(); }
    // Where a simulated tag must link its terminal to appear as COMn.
    std::string port_link(int n) const;
    // The folder of port links the Linux build is given (FLASHTAG_PORT_DIR).
    const TempDir& port_dir() const { return ports_; }
    // Runs flashtag with `args`; Windows line ends are folded to LF.
    RunResult run(const std::vector<std::string>& args, const RunOptions& options = {}) const;
    // The same for another program of the build ("taglog").
    RunResult run_program(const std::string& program, const std::vector<std::string>& args,
                          const RunOptions& options = {}) const;
    // Starts another program of the build in the background.
    std::unique_ptr<RunningProgram> start(const std::string& program,
                                          const std::vector<std::string>& args,
                                          const RunOptions& options = {}) const;
    // Windows line ends folded to LF, as run() gives them.
    std::string folded(const std::string& out) const;
    // A directory the program can read and write, with its name as the
    // program sees it.
    const TempDir& work() const { return work_; }
    std::string program_path(const std::string& file) const;

private:
    Target();
    std::vector<std::string> command(const std::string& program,
                                     const std::vector<std::string>& args) const;
    std::vector<std::string> environment(const RunOptions& options) const;
    std::string wine_build_;
    std::string dosdevices_;
    TempDir ports_;
    TempDir work_;
};
