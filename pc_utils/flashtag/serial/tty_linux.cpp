#include "tty_linux.h"

#include "common/bytes.h"
#include "usb_ids.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <initializer_list>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

bool read_first_line(const char* path, char* text, size_t size)
{
    // Close-on-exec ("e"), as every file the driver opens: a command that
    // another thread starts (tagfleet --on-result) gets none of them.
    FILE* f = fopen(path, "re");
    if (f == nullptr) return false;
    bool ok = fgets(text, static_cast<int>(size), f) != nullptr;
    fclose(f);
    if (ok) text[strcspn(text, "\n")] = '\0';
    return ok;
}

const char* sysfs_root()
{
    static const char* root = [] {
        const char* env = getenv("FLASHTAG_SYSFS");
        return env != nullptr && env[0] != '\0' ? env : "/sys";
    }();
    return root;
}

bool usb_adapter_of_tty(const char* tty, serial_usb_identity* usb, char* words, size_t size)
{
    *usb = serial_usb_identity{};
    if (size > 0) words[0] = '\0';
    char link[600];
    snprintf(link, sizeof link, "%s/class/tty/%s/device", sysfs_root(), tty);
    char* device = realpath(link, nullptr);
    if (device == nullptr) return false;
    char dir[4096];
    snprintf(dir, sizeof dir, "%s", device);
    free(device);
    // The tty's device is the USB interface ("1-3.2:1.0"), or a port below
    // it; the USB device ("1-3.2") is the interface's parent.
    for (int up = 0; up < 4; ++up) {
        const char* base = strrchr(dir, '/');
        base = base == nullptr ? dir : base + 1;
        if (usb_is_interface_name(base) && strlen(base) < sizeof usb->location) {
            snprintf(usb->location, sizeof usb->location, "%.63s", base);
        }
        char file[4200], vid[16] = "", pid[16] = "";
        snprintf(file, sizeof file, "%s/idVendor", dir);
        if (read_first_line(file, vid, sizeof vid) && usb_is_device_name(base)) {
            snprintf(file, sizeof file, "%s/idProduct", dir);
            read_first_line(file, pid, sizeof pid);
            char maker[128] = "", product[128] = "";
            snprintf(file, sizeof file, "%s/manufacturer", dir);
            read_first_line(file, maker, sizeof maker);
            snprintf(file, sizeof file, "%s/product", dir);
            read_first_line(file, product, sizeof product);
            snprintf(file, sizeof file, "%s/serial", dir);
            read_first_line(file, usb->serial, sizeof usb->serial);
            snprintf(usb->vid, sizeof usb->vid, "%s", vid);
            snprintf(usb->pid, sizeof usb->pid, "%s", pid);
            for (char* c : {usb->vid, usb->pid}) {
                for (; *c != '\0'; ++c) *c = ascii_lower(*c);
            }
            snprintf(words, size, "%s%s%s (%s:%s%s%s)", maker, maker[0] != '\0' ? " " : "",
                     product, usb->vid, usb->pid, usb->serial[0] != '\0' ? ", serial " : "",
                     usb->serial);
            return true;
        }
        char* slash = strrchr(dir, '/');
        if (slash == nullptr || slash == dir) break;
        *slash = '\0';
    }
    *usb = serial_usb_identity{};
    return false;
}

bool uart_missing(const char* name)
{
    char path[4096], type[16];
    snprintf(path, sizeof path, "%s/class/tty/%s/type", sysfs_root(), name);
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
    FILE* f = fopen(path, "re");
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

// Another user's processes that hold the lock on `device`, whose
// descriptors this user may not see: /proc/locks, which every user may
// read, gives each lock's process and file ("1: FLOCK  ADVISORY  WRITE
// 4242 00:1a:5 0 EOF": device major:minor in hex, then the inode).
void add_other_users_lockers(const char* device, char* text, size_t size, size_t* used, int* named)
{
    struct stat st {};
    FILE* f = stat(device, &st) == 0 ? fopen("/proc/locks", "re") : nullptr;
    if (f == nullptr) return;
    char line[256];
    while (*named < MAX_HOLDERS && fgets(line, sizeof line, f) != nullptr) {
        char kind[16];
        unsigned long pid = 0;
        unsigned dev_major = 0, dev_minor = 0;
        unsigned long long inode = 0;
        if (sscanf(line, "%*d: %15s %*s %*s %lu %x:%x:%llu", kind, &pid, &dev_major, &dev_minor,
                   &inode) != 5 ||
            strcmp(kind, "FLOCK") != 0 || dev_major != major(st.st_dev) ||
            dev_minor != minor(st.st_dev) || inode != st.st_ino) {
            continue;
        }
        char path[64];
        snprintf(path, sizeof path, "/proc/%lu/fd", pid);
        DIR* dir = opendir(path);  // this user's, this process too: named already
        if (dir != nullptr) {
            closedir(dir);
            continue;
        }
        char comm[64] = "?";
        snprintf(path, sizeof path, "/proc/%lu/comm", pid);
        read_first_line(path, comm, sizeof comm);
        char piece[128];
        snprintf(piece, sizeof piece, "%s%s (pid %lu) of another user", *named > 0 ? ", " : "", comm, pid);
        append_piece(text, size, used, piece);
        ++*named;
    }
    fclose(f);
}

#ifdef __linux__
// How many of this process's descriptors are open on `device` (the one
// just opened among them).
int own_descriptors_on(const char* device)
{
    DIR* fds = opendir("/proc/self/fd");
    if (fds == nullptr) return 0;
    int count = 0;
    while (const dirent* entry = readdir(fds)) {
        char link[300];
        char target[4096];
        snprintf(link, sizeof link, "/proc/self/fd/%s", entry->d_name);
        ssize_t n = readlink(link, target, sizeof target - 1);
        if (n <= 0) continue;
        target[n] = '\0';
        if (strcmp(target, device) == 0) ++count;
    }
    closedir(fds);
    return count;
}
#endif

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
    add_other_users_lockers(device, text, size, &used, &named);
}

bool flag_left_behind(const char* path)
{
#ifdef __linux__
    char* device = realpath(path, nullptr);
    if (device == nullptr) return false;
    char holders[256];
    find_tty_holders(device, holders, sizeof holders);
    bool left = holders[0] == '\0' && own_descriptors_on(device) <= 1;
    free(device);
    return left;
#else
    (void)path;
    return false;
#endif
}
