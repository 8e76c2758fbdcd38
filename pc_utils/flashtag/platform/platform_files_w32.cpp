// Windows: the files that processes share (tagfleet's report and journal):
// opened so that the commands the program runs do not inherit them,
// locked, synced and cut through the handle under the C stream.
#include "platform.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <io.h>
#include <windows.h>

// "N": the handle is not inherited. The C runtime opens the file sharing
// read and write but not delete: while it is open, nobody can delete or
// rename it.
FILE* platform_open_append(const char* path, bool readable)
{
    return fopen(path, readable ? "a+bN" : "abN");
}

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

// A UNC path (\\server\share\..., \\?\UNC\...) or a path on a drive the
// system calls remote (a mapped network drive).
bool platform_network_file(const char* path, char* kind, size_t size)
{
    char full[1024], root[1024];
    DWORD n = GetFullPathNameA(path, sizeof full, full, nullptr);
    if (n == 0 || n >= sizeof full) return false;
    bool device = strncmp(full, "\\\\?\\", 4) == 0 || strncmp(full, "\\\\.\\", 4) == 0;
    if ((full[0] == '\\' && full[1] == '\\' && !device) || _strnicmp(full, "\\\\?\\UNC\\", 8) == 0) {
        snprintf(kind, size, "a UNC path");
        return true;
    }
    if (GetVolumePathNameA(full, root, sizeof root) && GetDriveTypeA(root) == DRIVE_REMOTE) {
        snprintf(kind, size, "a remote drive");
        return true;
    }
    return false;
}

// The final path of the open file: links and junctions followed. Windows
// gives it in its long form ("\\?\C:\...", "\\?\UNC\server\..."), shown
// here as people write it.
bool platform_real_path(const char* path, char* out, size_t size)
{
    HANDLE file = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    char final_path[1024];
    DWORD n = 0;
    if (file != INVALID_HANDLE_VALUE) {
        n = GetFinalPathNameByHandleA(file, final_path, sizeof final_path, FILE_NAME_NORMALIZED);
        CloseHandle(file);
    }
    if (n == 0 || n >= sizeof final_path) {
        snprintf(out, size, "%s", path);
        return false;
    }
    const char* shown = final_path;
    if (_strnicmp(shown, "\\\\?\\UNC\\", 8) == 0) {
        snprintf(out, size, "\\\\%s", shown + 8);
    } else {
        if (strncmp(shown, "\\\\?\\", 4) == 0) shown += 4;
        snprintf(out, size, "%s", shown);
    }
    return true;
}

// The same file is the same volume and file index. A path that names
// nothing (deleted, or its folder gone) is not the file; one that cannot be
// opened to be asked (a delete pending, no access) is taken to be.
bool platform_path_is_file(FILE* file, const char* path)
{
    BY_HANDLE_FILE_INFORMATION open_file{}, named{};
    if (!GetFileInformationByHandle(file_handle(file), &open_file)) return true;
    HANDLE h = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
    }
    bool same = !GetFileInformationByHandle(h, &named) ||
                (named.dwVolumeSerialNumber == open_file.dwVolumeSerialNumber &&
                 named.nFileIndexHigh == open_file.nFileIndexHigh &&
                 named.nFileIndexLow == open_file.nFileIndexLow);
    CloseHandle(h);
    return same;
}
