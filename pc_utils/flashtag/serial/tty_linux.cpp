#include "tty_linux.h"

#include "common/bytes.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <unistd.h>

bool read_first_line(const char* path, char* text, size_t size)
{
    FILE* f = fopen(path, "r");
    if (f == nullptr) return false;
    bool ok = fgets(text, static_cast<int>(size), f) != nullptr;
    fclose(f);
    if (ok) text[strcspn(text, "\n")] = '\0';
    return ok;
}

bool uart_missing(const char* name)
{
    char path[300], type[16];
    snprintf(path, sizeof path, "/sys/class/tty/%s/type", name);
    return strncmp(name, "ttyS", 4) == 0 && read_first_line(path, type, sizeof type) &&
           strcmp(type, "0") == 0;
}

namespace {

// At most this many holders are named; more would not help the user.
constexpr int MAX_HOLDERS = 4;

bool all_digits(const char* text)
{
    if (*text == '\0') return false;
    for (; *text != '\0'; ++text) {
        if (*text < '0' || *text > '9') return false;
    }
    return true;
}

// The number N of /dev/pts/N, or -1 for any other device.
long pts_number(const char* device)
{
    const char* digits = device + strlen("/dev/pts/");
    if (strncmp(device, "/dev/pts/", 9) != 0 || !all_digits(digits)) return -1;
    return strtol(digits, nullptr, 10);
}

// Whether descriptor `fd` of process `pid` is the master of pseudo-terminal
// `pts`: /proc gives a ptmx descriptor's terminal number in its fdinfo.
bool is_master_of(const char* pid, const char* fd, long pts)
{
    char path[600];
    snprintf(path, sizeof path, "/proc/%s/fdinfo/%s", pid, fd);
    FILE* f = fopen(path, "r");
    if (f == nullptr) return false;
    char line[128];
    long index = -1;
    while (fgets(line, sizeof line, f) != nullptr) {
        if (strncmp(line, "tty-index:", 10) == 0) index = strtol(line + 10, nullptr, 10);
    }
    fclose(f);
    return index == pts;
}

// Whether process `pid` has `device` open, and whether it serves it.
void look_at_process(const char* pid, const char* device, long pts, bool* holds, bool* serves)
{
    *holds = *serves = false;
    char dir_path[300];
    snprintf(dir_path, sizeof dir_path, "/proc/%s/fd", pid);
    DIR* dir = opendir(dir_path);  // another user's process: not ours to see
    if (dir == nullptr) return;
    while (const dirent* e = readdir(dir)) {
        if (!all_digits(e->d_name)) continue;
        char link[600], target[512];
        snprintf(link, sizeof link, "%s/%s", dir_path, e->d_name);
        ssize_t n = readlink(link, target, sizeof target - 1);
        if (n <= 0) continue;
        target[n] = '\0';
        if (strcmp(target, device) == 0) *holds = true;
        size_t len = static_cast<size_t>(n);
        if (pts >= 0 && len >= 5 && strcmp(target + len - 5, "/ptmx") == 0 &&
            is_master_of(pid, e->d_name, pts)) {
            *serves = true;
        }
    }
    closedir(dir);
}

}  // namespace

void find_tty_holders(const char* device, char* text, size_t size)
{
    if (size == 0) return;
    text[0] = '\0';
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return;
    long pts = pts_number(device);
    char self[32];
    snprintf(self, sizeof self, "%ld", static_cast<long>(getpid()));
    size_t used = 0;
    int named = 0;
    while (const dirent* e = readdir(proc)) {
        if (named == MAX_HOLDERS) break;
        const char* pid = e->d_name;
        if (!all_digits(pid) || strcmp(pid, self) == 0) continue;
        bool holds = false, serves = false;
        look_at_process(pid, device, pts, &holds, &serves);
        if (!holds || serves) continue;
        char path[300], comm[64] = "?";
        snprintf(path, sizeof path, "/proc/%s/comm", pid);
        read_first_line(path, comm, sizeof comm);
        char piece[400];
        snprintf(piece, sizeof piece, "%s%s (pid %s)", named > 0 ? ", " : "", comm, pid);
        append_piece(text, size, &used, piece);
        ++named;
    }
    closedir(proc);
}
