// Test support: child processes: programs in the background (the simulated
// tag among them) and runs of the program under test.
#pragma once

#include "files.h"
#include "temp_dir.h"

#include <csignal>
#include <mutex>
#include <string>
#include <thread>
#include <sys/types.h>
#include <vector>

// A program running in the background, stopped at destruction. Its first
// output line is read (and waited for, up to 10 s) at start, unless
// `first_line` is false.
class Background {
public:
    explicit Background(const std::vector<std::string>& argv, bool first_line = true);
    ~Background();
    Background(const Background&) = delete;
    Background& operator=(const Background&) = delete;
    const std::string& first_line() const { return first_line_; }
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    std::string first_line_;
};

// The least gap (ms) tagsim's --save-gaps must show where the program
// pauses for 20 ms. A loaded machine can hand the byte before a pause over
// late and shorten the gap by several ms; without the pause the bytes come
// well under 1 ms apart.
constexpr double PAUSE_SEEN_MS = 8.0;

// A running tagsim process; stopped (and its link removed) at destruction.
class TagSimProcess {
public:
    // `link`: the symlink tagsim makes to its terminal; `args`: its switches.
    TagSimProcess(const std::string& link, const std::vector<std::string>& args = {});
    const std::string& tty() const { return process_.first_line(); }
    // Sends the simulated tag a signal (SIGUSR1: taken out; SIGUSR2: put in).
    void signal(int sig) const { kill(process_.pid(), sig); }
    pid_t pid() const { return process_.pid(); }

private:
    static std::vector<std::string> command(const std::string& link,
                                            const std::vector<std::string>& args);
    Background process_;
};

struct RunResult {
    std::string out;  // standard output and standard error, in order
    int status = -1;  // exit status, or -1 when killed or timed out
};

struct RunOptions {
    int timeout_ms = 120000;    // then the program is killed
    std::string stderr_path;    // standard error to this file instead of `out`
    std::string signal_after;   // once the output holds this text...
    int signal = SIGINT;        // ...the program gets this signal, or with 0
                                //    its output is closed (a pipe to "head")
    bool machine_ports = false; // the machine's own ports, not the test's links
    std::string stuck_after;    // once the output holds this text, its pipe is
    int output_stuck_ms = 0;    //    full and unread this long
    std::string stdin_path;     // standard input from this file (default: empty)
    bool on_terminal = false;   // a program started on a pseudo-terminal of its own
    std::vector<std::string> env;  // more of the environment ("NAME=value")
};

// Runs argv with `env` ("NAME=value") added to this process's environment.
RunResult run_program(const std::vector<std::string>& argv,
                      const std::vector<std::string>& env = {}, const RunOptions& options = {});

// A run of a program in the background, for a test that acts while it
// runs (a station's tags put in and taken out); killed at destruction if
// it has not ended.
class RunningProgram {
public:
    // `on_terminal`: on a pseudo-terminal of its own, whose keys type()
    // sends; else with standard input empty.
    RunningProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                   bool on_terminal = false);
    ~RunningProgram();
    RunningProgram(const RunningProgram&) = delete;
    RunningProgram& operator=(const RunningProgram&) = delete;
    // Keys on its terminal (on_terminal).
    void type(const std::string& keys);
    // Its output (standard output and error) so far.
    std::string output();
    // Sends it a signal (SIGINT: Ctrl-C).
    void signal(int sig) const { kill(pid_, sig); }
    // Waits up to `timeout_ms` for `text` in the output (`times` times):
    // whether it came.
    bool wait_for(const std::string& text, int timeout_ms, size_t times = 1);
    // Waits for its end (killed after `timeout_ms`): its output and status.
    RunResult finish(int timeout_ms);

private:
    pid_t pid_ = -1;
    int fd_ = -1;
    std::mutex lock_;
    std::string out_;
    std::thread reader_;
};
