#include "process.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

using clock_type = std::chrono::steady_clock;

int ms_left(clock_type::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

// Fills a pipe with NUL bytes until it takes no more. Through an opening
// of its own: the program's end must stay blocking.
void fill_pipe(int fd)
{
    int own = open(("/proc/self/fd/" + std::to_string(fd)).c_str(), O_WRONLY | O_NONBLOCK);
    static const char filler[4096] = {};
    while (own >= 0 && write(own, filler, sizeof filler) > 0) {
    }
    if (own >= 0) close(own);
}

// Starts argv in a process group of its own, with its standard output (and
// error, when `with_stderr`) on a pipe; returns the pid and the pipe's read
// end, and its write end too when `in_fd` is given.
// A program's arguments and its environment (this process's with `env`,
// "NAME=value", added) as exec takes them.
struct exec_lists {
    exec_lists(const std::vector<std::string>& argv, const std::vector<std::string>& env)
        : args(argv)
    {
        for (char** e = environ; *e != nullptr; ++e) envs.emplace_back(*e);
        envs.insert(envs.end(), env.begin(), env.end());
        for (auto& e : envs) cenv.push_back(e.data());
        cenv.push_back(nullptr);
        for (auto& a : args) cargv.push_back(a.data());
        cargv.push_back(nullptr);
    }
    std::vector<std::string> args, envs;
    std::vector<char*> cargv, cenv;
};

// Starts argv on a pseudo-terminal of its own (its session's controlling
// terminal, 100 columns by 30 lines), as a user's terminal runs it: the
// terminal's master side into *out_fd.
pid_t spawn_on_terminal(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                        int* out_fd)
{
    std::vector<std::string> with_term = env;
    with_term.emplace_back("TERM=xterm");
    exec_lists lists(argv, with_term);
    winsize size{};
    size.ws_col = 100;
    size.ws_row = 30;
    pid_t pid = forkpty(out_fd, nullptr, nullptr, &size);
    if (pid < 0) throw std::runtime_error("forkpty");
    if (pid == 0) {
        execve(lists.cargv[0], lists.cargv.data(), lists.cenv.data());
        _exit(127);
    }
    return pid;
}

pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env,
            bool with_stderr, int* out_fd, const std::string& stderr_path = "",
            const std::string& stdin_path = "", int* in_fd = nullptr)
{
    int fds[2];
    if (pipe(fds) != 0) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    if (!stderr_path.empty()) {
        posix_spawn_file_actions_addopen(&actions, 2, stderr_path.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
    } else if (with_stderr) {
        posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
    }
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    posix_spawn_file_actions_addclose(&actions, fds[1]);
    posix_spawn_file_actions_addopen(&actions, 0, stdin_path.empty() ? "/dev/null" : stdin_path.c_str(),
                                     O_RDONLY, 0);

    exec_lists lists(argv, env);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, lists.cargv[0], &actions, &attr, lists.cargv.data(), lists.cenv.data());
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    if (in_fd != nullptr) {
        *in_fd = fds[1];
    } else {
        close(fds[1]);
    }
    if (rc != 0) {
        close(fds[0]);
        throw std::runtime_error("cannot start " + argv[0] + ": " + strerror(rc));
    }
    *out_fd = fds[0];
    return pid;
}

}  // namespace

Background::Background(const std::vector<std::string>& argv, bool first_line)
{
    int fd = -1;
    pid_ = spawn(argv, {}, false, &fd);
    auto deadline = clock_type::now() + std::chrono::seconds(first_line ? 10 : 0);
    char c;
    while (ms_left(deadline) > 0) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, ms_left(deadline)) <= 0 || read(fd, &c, 1) != 1 || c == '\n') break;
        first_line_ += c;
    }
    close(fd);
}

Background::~Background()
{
    kill(-pid_, SIGTERM);  // the whole group: a shell's children too
    waitpid(pid_, nullptr, 0);
}

std::vector<std::string> TagSimProcess::command(const std::string& link,
                                         const std::vector<std::string>& args)
{
    std::vector<std::string> argv{TAGSIM_PATH, "--link", link};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

// tagsim's first line is its terminal's path, written once the link exists.
TagSimProcess::TagSimProcess(const std::string& link, const std::vector<std::string>& args)
    : process_(command(link, args))
{
    if (tty().empty()) throw std::runtime_error("tagsim did not start");
}

RunResult run_program(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                      const RunOptions& options)
{
    int fd = -1, stuck_fd = -1;
    pid_t pid = spawn(argv, env, true, &fd, options.stderr_path, options.stdin_path,
                      options.output_stuck_ms > 0 ? &stuck_fd : nullptr);
    RunResult result;
    auto deadline = clock_type::now() + std::chrono::milliseconds(options.timeout_ms);
    bool signalled = options.signal_after.empty();
    char buf[4096];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        int n = poll(&p, 1, ms_left(deadline));
        if (n <= 0) {
            kill(pid, SIGKILL);
            break;
        }
        ssize_t got = read(fd, buf, sizeof buf);
        if (got <= 0) break;
        result.out.append(buf, static_cast<size_t>(got));
        if (stuck_fd >= 0 && result.out.find(options.stuck_after) != std::string::npos) {
            // As a reader that stops reading leaves it: full, for a while.
            fill_pipe(stuck_fd);
            usleep(static_cast<useconds_t>(options.output_stuck_ms) * 1000);
            close(stuck_fd);
            stuck_fd = -1;
        }
        if (!signalled && result.out.find(options.signal_after) != std::string::npos) {
            signalled = true;
            if (options.signal == 0) break;  // the reader goes away
            kill(pid, options.signal);
        }
    }
    close(fd);
    if (stuck_fd >= 0) close(stuck_fd);
    // The filler: no program under test writes a NUL.
    result.out.erase(std::remove(result.out.begin(), result.out.end(), '\0'), result.out.end());
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (ms_left(deadline) == 0) kill(pid, SIGKILL);
        usleep(10000);
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}


RunningProgram::RunningProgram(const std::vector<std::string>& argv,
                               const std::vector<std::string>& env, bool on_terminal)
{
    pid_ = on_terminal ? spawn_on_terminal(argv, env, &fd_) : spawn(argv, env, true, &fd_);
    reader_ = std::thread([this] {
        char buf[4096];
        for (ssize_t got = 0; (got = read(fd_, buf, sizeof buf)) > 0;) {
            std::lock_guard<std::mutex> lock(lock_);
            out_.append(buf, static_cast<size_t>(got));
        }
    });
}

RunningProgram::~RunningProgram()
{
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (reader_.joinable()) reader_.join();
    if (fd_ >= 0) close(fd_);
}

void RunningProgram::type(const std::string& keys)
{
    for (char c : keys) {
        // A key at a time, as a user types: a program reading its keys
        // one by one sees each.
        if (write(fd_, &c, 1) != 1) return;
        usleep(2000);
    }
}

std::string RunningProgram::output()
{
    std::lock_guard<std::mutex> lock(lock_);
    return out_;
}

bool RunningProgram::wait_for(const std::string& text, int timeout_ms, size_t times)
{
    auto deadline = clock_type::now() + std::chrono::milliseconds(timeout_ms);
    while (count_of(output(), text) < times) {
        if (ms_left(deadline) == 0) return false;
        usleep(10000);
    }
    return true;
}

RunResult RunningProgram::finish(int timeout_ms)
{
    auto deadline = clock_type::now() + std::chrono::milliseconds(timeout_ms);
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
        if (ms_left(deadline) == 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            break;
        }
        usleep(10000);
    }
    pid_ = -1;
    reader_.join();
    RunResult result;
    result.out = output();
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}
