// Test support: child processes (the simulated tag, the program under test)
// and scratch directories.
#pragma once

#include <csignal>
#include <string>
#include <sys/types.h>
#include <vector>

// A fresh directory under $TMPDIR, removed with its content at destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// A program running in the background, stopped at destruction. Its first
// output line is read (and waited for, up to 10 s) at start.
class Background {
public:
    explicit Background(const std::vector<std::string>& argv);
    ~Background();
    Background(const Background&) = delete;
    Background& operator=(const Background&) = delete;
    const std::string& first_line() const { return first_line_; }

private:
    pid_t pid_ = -1;
    std::string first_line_;
};

// A running tagsim; stopped (and its link removed) at destruction.
class TagSim {
public:
    // `link`: the symlink tagsim makes to its terminal; `args`: its switches.
    TagSim(const std::string& link, const std::vector<std::string>& args = {});
    const std::string& tty() const { return process_.first_line(); }

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
    int signal = SIGINT;        // ...the program gets this signal
};

// Runs argv with `env` ("NAME=value") added to this process's environment.
RunResult run_program(const std::vector<std::string>& argv,
                      const std::vector<std::string>& env = {}, const RunOptions& options = {});

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& content);
