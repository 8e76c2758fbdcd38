// Windows: the files that processes share (tagfleet's report and journal):
// locked, synced and cut through the handle under the C stream. They are
// opened by file_w32.cpp.
#include "platform.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <io.h>
#include <windows.h>

namespace {

HANDLE file_handle(FILE* file) { return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file))); }

// The last system error as an errno value, for the callers' messages.
int last_error_as_errno()
{
    switch (GetLastError()) {
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: return ENOSPC;
    case ERROR_ACCESS_DENIED: return EACCES;
    case ERROR_WRITE_PROTECT: return EROFS;
    default: return EIO;
    }
}

}  // namespace

// The whole file's range (and past its end), as LockFileEx takes it.
int platform_lock_file(FILE* file, uint32_t timeout_ms)
{
    uint64_t deadline = platform_now_ms() + timeout_ms;
    for (;;) {
        OVERLAPPED at{};
        if (LockFileEx(file_handle(file), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0,
                       MAXDWORD, MAXDWORD, &at)) {
            return 0;
        }
        if (GetLastError() != ERROR_LOCK_VIOLATION) return last_error_as_errno();
        if (platform_now_ms() >= deadline) return ETIMEDOUT;
        Sleep(5);
    }
}

void platform_unlock_file(FILE* file)
{
    OVERLAPPED at{};
    UnlockFileEx(file_handle(file), 0, MAXDWORD, MAXDWORD, &at);
}

int platform_sync_file(FILE* file)
{
    errno = 0;
    if (fflush(file) != 0) return errno != 0 ? errno : EIO;
    return FlushFileBuffers(file_handle(file)) ? 0 : last_error_as_errno();
}

int platform_truncate_file(FILE* file, long length)
{
    errno = 0;
    if (fflush(file) != 0) return errno != 0 ? errno : EIO;
    return _chsize_s(_fileno(file), length);
}
