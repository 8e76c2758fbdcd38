// Linux and macOS: the progress bar in UTF-8, pauses on the monotonic clock.
#include "platform.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <fcntl.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>
#ifdef __linux__
#include <sys/prctl.h>
#include <sys/vfs.h>
#endif
#ifdef __APPLE__
#include <sys/mount.h>
#endif

// glibc declares it with _GNU_SOURCE, macOS nowhere.
extern char** environ;  // NOLINT(readability-redundant-declaration)

void platform_console_init() { setvbuf(stdout, nullptr, _IONBF, 0); }

namespace {

uint64_t now_ns()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000ULL + static_cast<uint64_t>(ts.tv_nsec);
}

void (*release_on_exit)() = nullptr;
const char* interrupted_line = "";

void on_interrupt(int)
{
    // Only async-signal-safe calls from here on.
    release_on_exit();
    ssize_t ignored = write(STDOUT_FILENO, interrupted_line, strlen(interrupted_line));
    (void)ignored;
    _exit(1);
}

void release_at_exit() { release_on_exit(); }

void (*interrupt_notice)() = nullptr;

void on_notice(int) { interrupt_notice(); }

}  // namespace

// Sleeps to a deadline on the monotonic clock, so that a signal that cuts a
// sleep short does not shorten the pause. (macOS has no clock_nanosleep.)
void platform_sleep_ms(uint32_t ms)
{
    uint64_t deadline = now_ns() + static_cast<uint64_t>(ms) * 1000000ULL;
    for (uint64_t now = now_ns(); now < deadline; now = now_ns()) {
        uint64_t left = deadline - now;
        timespec t{static_cast<time_t>(left / 1000000000ULL),
                   static_cast<long>(left % 1000000000ULL)};
        nanosleep(&t, nullptr);
    }
}

uint64_t platform_now_ms() { return now_ns() / 1000000ULL; }

void platform_exit_guard(void (*release)(), const char* interrupted_text)
{
    release_on_exit = release;
    interrupted_line = interrupted_text;
    atexit(release_at_exit);
    struct sigaction action {};
    action.sa_handler = on_interrupt;
    sigfillset(&action.sa_mask);  // one handler at a time
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaction(sig, &action, nullptr);
    // A closed pipe ("flashtag ... | head") must not end the run with the
    // port still held: the failed write returns an error instead, and the
    // run goes on to its normal end, which gives the port back.
    signal(SIGPIPE, SIG_IGN);
}

void platform_interrupt_notice(void (*release)(), void (*notice)())
{
    interrupt_notice = notice;
    release_on_exit = release;
    atexit(release_at_exit);
    struct sigaction action {};
    action.sa_handler = on_notice;
    sigfillset(&action.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaction(sig, &action, nullptr);
    // As above: the run ends itself, its loads recorded and its ports given
    // back, once it sees the write that failed.
    signal(SIGPIPE, SIG_IGN);
}

// A POSIX process is not ended under its handler: nothing waits for this.
void platform_run_ended() {}

void platform_text_to_utf8(const char* text, char* out, size_t size)
{
    if (size > 0) snprintf(out, size, "%s", text);
}

bool platform_output_is_terminal() { return isatty(STDOUT_FILENO) != 0; }

void platform_write_lines_in_place(const char* const* lines, size_t count, size_t previous)
{
    // A line longer than the terminal would wrap and throw the count of
    // lines to go back over: each is cut to the width (UTF-8 continuation
    // bytes and colour sequences take no column).
    winsize ws{};
    size_t width = ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 1 ? ws.ws_col - 1 : 79;
    // Up to the first line written last, then each line over the old one.
    if (previous > 0) printf("\x1b[%luA", static_cast<unsigned long>(previous));
    for (size_t i = 0; i < count; ++i) {
        size_t bytes = 0, columns = 0;
        for (const char* c = lines[i]; *c != '\0'; ++c, ++bytes) {
            if (*c == '\x1b') {
                size_t n = strcspn(c, "m");
                if (c[n] == 'm') {
                    bytes += n;
                    c += n;
                    continue;
                }
            }
            bool continuation = (static_cast<unsigned char>(*c) & 0xC0) == 0x80;
            if (!continuation && columns++ == width) break;
        }
        printf("\r%.*s" PLATFORM_PLAIN "\x1b[K\n", static_cast<int>(bytes), lines[i]);
    }
}

void platform_bell() { fputs("\a", stdout); }

int platform_write_errno(int error) { return error; }

void platform_time_parts(int64_t seconds, bool local, struct tm* out)
{
    auto t = static_cast<time_t>(seconds);
    if (local) {
        localtime_r(&t, out);
    } else {
        gmtime_r(&t, out);
    }
}

void platform_host_name(char* name, size_t size)
{
    if (size == 0) return;
    if (gethostname(name, size) != 0) name[0] = '\0';
    name[size - 1] = '\0';
}

bool platform_random_bytes(uint8_t* out, size_t size)
{
    int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    size_t done = 0;
    while (done < size) {
        ssize_t n = read(fd, out + done, size - done);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    close(fd);
    return done == size;
}

FILE* platform_open_file(const char* path, const char* mode) { return fopen(path, mode); }

bool platform_regular_file(const char* path)
{
    struct stat st {};
    return stat(path, &st) == 0 && S_ISREG(st.st_mode);
}

FILE* platform_open_append(const char* path, bool readable)
{
    int fd = open(path, (readable ? O_RDWR : O_WRONLY) | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return nullptr;
    FILE* file = fdopen(fd, readable ? "a+" : "a");
    if (file == nullptr) {
        int error = errno;
        close(fd);
        errno = error;
    }
    return file;
}

// The same file is the same device and inode. A path that names nothing
// (deleted, or its folder gone) is not the file; one that cannot be asked
// (no access) is taken to be.
bool platform_path_is_file(FILE* file, const char* path)
{
    struct stat open_file {}, named {};
    if (fstat(fileno(file), &open_file) != 0) return true;
    if (stat(path, &named) != 0) return errno != ENOENT && errno != ENOTDIR;
    return open_file.st_dev == named.st_dev && open_file.st_ino == named.st_ino;
}

platform_command_end platform_run_command(const char* command, const char* const* env,
                                          size_t env_count, uint32_t timeout_ms,
                                          bool (*called_off)(), int* status)
{
    // This process's environment, less what `env` sets anew, then `env`.
    std::vector<char*> envp;
    for (char** e = environ; *e != nullptr; ++e) {
        bool replaced = false;
        for (size_t i = 0; i < env_count && !replaced; ++i) {
            size_t name = strcspn(env[i], "=");
            replaced = strncmp(*e, env[i], name + 1) == 0;
        }
        if (!replaced) envp.push_back(*e);
    }
    for (size_t i = 0; i < env_count; ++i) envp.push_back(const_cast<char*>(env[i]));
    envp.push_back(nullptr);
    char sh[] = "sh", dash_c[] = "-c";
    char* argv[] = {sh, dash_c, const_cast<char*>(command), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, STDERR_FILENO, STDOUT_FILENO);
    // A group of its own, so that what it starts is stopped with it (and a
    // Ctrl-C at the terminal reaches only the station); default signals,
    // not this program's ignored SIGPIPE.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, "/bin/sh", &actions, &attr, argv, envp.data());
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return PLATFORM_COMMAND_NOT_RUN;
    uint64_t deadline = platform_now_ms() + timeout_ms;
    int wstatus = 0;
    for (;;) {
        pid_t done = waitpid(pid, &wstatus, WNOHANG);
        if (done == pid) break;
        if (done < 0 && errno != EINTR) return PLATFORM_COMMAND_NOT_RUN;
        bool late = platform_now_ms() >= deadline;
        if (late || (called_off != nullptr && called_off())) {
            kill(-pid, SIGTERM);
            platform_sleep_ms(200);
            kill(-pid, SIGKILL);
            while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
            }
            return late ? PLATFORM_COMMAND_STOPPED : PLATFORM_COMMAND_CALLED_OFF;
        }
        platform_sleep_ms(10);
    }
    *status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    return PLATFORM_COMMAND_EXITED;
}

// Sleeps are fine-grained already, but Linux lets each one run up to the
// thread's timer slack (50 us by default) late; over a thousand pauses of an
// upload that adds up. Ask for the least slack while uploading.
void platform_fine_timer(bool on)
{
#ifdef __linux__
    // The slack belongs to the thread (tagfleet's stations ask for it only
    // while they upload), and so does what it was before.
    static thread_local long saved_slack = -1;
    if (on) {
        saved_slack = prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
        prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
    } else if (saved_slack > 0) {
        prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(saved_slack), 0, 0, 0);
    }
#else
    (void)on;
#endif
}

// The user logged on to the PC: under sudo the one who ran it (sudo says
// who in SUDO_USER, and only root's word for it counts), else the
// effective user.
void platform_user_name(char* user, size_t size)
{
    if (size == 0) return;
    user[0] = '\0';
    passwd pw{};
    passwd* found = nullptr;
    char buf[1024];
    const char* sudo_user = geteuid() == 0 ? getenv("SUDO_USER") : nullptr;
    if (sudo_user == nullptr || sudo_user[0] == '\0' ||
        getpwnam_r(sudo_user, &pw, buf, sizeof buf, &found) != 0 || found == nullptr) {
        found = nullptr;
        getpwuid_r(geteuid(), &pw, buf, sizeof buf, &found);
    }
    if (found != nullptr && strlen(found->pw_name) < size) {
        memcpy(user, found->pw_name, strlen(found->pw_name) + 1);
    }
}

void platform_write_progress(const char* line, size_t length) { fwrite(line, 1, length, stdout); }

const bar_glyphs& platform_bar_glyphs()
{
    static const bar_glyphs glyphs{BAR_EDGE.utf8, BAR_FILLED.utf8, BAR_EMPTY.utf8};
    return glyphs;
}

// flock: the lock belongs to the open file, so that it holds between
// processes (each opens the file itself); Linux passes it on to the server
// of an NFS mount as a byte-range lock.
int platform_lock_file(FILE* file, uint32_t timeout_ms)
{
    uint64_t deadline = platform_now_ms() + timeout_ms;
    while (flock(fileno(file), LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR) return errno;
        if (platform_now_ms() >= deadline) return ETIMEDOUT;
        platform_sleep_ms(5);
    }
    return 0;
}

void platform_unlock_file(FILE* file) { flock(fileno(file), LOCK_UN); }

int platform_sync_file(FILE* file)
{
    errno = 0;
    if (fflush(file) != 0 || fsync(fileno(file)) != 0) return errno != 0 ? errno : EIO;
    return 0;
}

int platform_truncate_file(FILE* file, long length)
{
    errno = 0;
    if (fflush(file) != 0 || ftruncate(fileno(file), length) != 0) return errno != 0 ? errno : EIO;
    return 0;
}

bool platform_network_file(const char* path, char* kind, size_t size)
{
#if defined(__linux__)
    struct statfs fs {};
    if (statfs(path, &fs) != 0) return false;
    // The file systems' magic numbers (linux/magic.h): NFS, SMB, CIFS, SMB2.
    switch (static_cast<uint32_t>(fs.f_type)) {
    case 0x6969: snprintf(kind, size, "NFS"); return true;
    case 0x517B:
    case 0xFF534D42:
    case 0xFE534D42: snprintf(kind, size, "SMB"); return true;
    default: return false;
    }
#elif defined(__APPLE__)
    struct statfs fs {};
    if (statfs(path, &fs) != 0) return false;
    if (strcmp(fs.f_fstypename, "nfs") == 0) {
        snprintf(kind, size, "NFS");
    } else if (strcmp(fs.f_fstypename, "smbfs") == 0) {
        snprintf(kind, size, "SMB");
    } else {
        return false;
    }
    return true;
#else
    (void)path, (void)kind, (void)size;
    return false;
#endif
}

bool platform_real_path(const char* path, char* out, size_t size)
{
    char* real = realpath(path, nullptr);
    bool ok = real != nullptr && strlen(real) < size;
    snprintf(out, size, "%s", ok ? real : path);
    free(real);
    return ok;
}
