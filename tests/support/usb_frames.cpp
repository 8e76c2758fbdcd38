// A stand-in for a full-speed USB serial adapter's writes, as an LD_PRELOAD
// library: each write() on a terminal device completes at the next USB
// frame boundary, as a synchronous write on such an adapter returns with its
// USB transfer (1 ms frames; FLASHTAG_FRAME_US=125 for a high-speed one).
// With FLASHTAG_WRITE_COUNTS naming a file, each such write appends a line
// "<bytes>" to it: the lines are the write calls, their sum the bytes.
// Under Wine the Wine process itself makes the port's write calls, so the
// Windows build takes the library from the same LD_PRELOAD.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

namespace {

using write_fn = ssize_t (*)(int, const void*, size_t);

write_fn real_write()
{
    static write_fn next = reinterpret_cast<write_fn>(dlsym(RTLD_NEXT, "write"));
    return next;
}

long frame_ns()
{
    static long ns = [] {
        const char* us = getenv("FLASHTAG_FRAME_US");
        long n = us != nullptr ? strtol(us, nullptr, 10) : 0;
        return (n > 0 && n <= 1000000 ? n : 1000) * 1000L;
    }();
    return ns;
}

// Sleeps until the monotonic clock reaches the next multiple of a frame.
void wait_for_frame_boundary()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    long long t = static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
    long long next = (t / frame_ns() + 1) * frame_ns();
    timespec until{static_cast<time_t>(next / 1000000000LL), static_cast<long>(next % 1000000000LL)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
}

// One line per write call; O_APPEND keeps the lines of several processes
// (Wine's among them) whole.
void count(ssize_t bytes)
{
    static int fd = [] {
        const char* path = getenv("FLASHTAG_WRITE_COUNTS");
        return path != nullptr ? open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600) : -1;
    }();
    if (fd < 0) return;
    char line[32];
    int n = snprintf(line, sizeof line, "%ld\n", static_cast<long>(bytes));
    if (n > 0) (void)real_write()(fd, line, static_cast<size_t>(n));
}

}  // namespace

extern "C" ssize_t write(int fd, const void* bytes, size_t size)
{
    int saved = errno;
    bool terminal = isatty(fd) != 0;
    errno = saved;
    ssize_t put = real_write()(fd, bytes, size);
    if (!terminal || put < 0) return put;
    saved = errno;
    count(put);
    wait_for_frame_boundary();
    errno = saved;
    return put;
}
