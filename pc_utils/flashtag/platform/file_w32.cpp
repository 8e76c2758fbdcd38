// Files by the name the user gave, on Windows: opening one, whether it is
// a regular file, its real name, whether it is on another computer,
// whether an open file is still the one at its path. Windows takes a last
// name that is a device's (NUL, CON, AUX, PRN, COM1 to COM9, LPT1 to LPT9),
// with or without an extension, for that device wherever the file is: a
// fixture saved as "nul.fixture" would read as empty, a report "con.jsonl"
// would go to the console, a pool "nul.ids" would keep its journal beside
// the null device, a script nul.bas was "not found". A file of that name is
// reached here as on every other system, by its full path in the "\\?\"
// form, which Windows takes as it is.
#include "platform.h"

#include <cstring>
#include <cwchar>
#include <io.h>
#include <windows.h>

namespace {

constexpr size_t WIDE_PATH = MAX_PATH + 16;

// The full path, in the "\\?\" form, of the file named `leaf` in the folder
// `wide` names up to it: "\\?\C:\dir\nul.fixture", "\\?\UNC\server\...".
bool literal_path(const wchar_t* wide, const wchar_t* leaf, wchar_t* out)
{
    wchar_t dir[MAX_PATH] = L".";
    size_t dir_length = static_cast<size_t>(leaf - wide);
    if (dir_length >= MAX_PATH) return false;
    if (dir_length > 0) {
        wmemcpy(dir, wide, dir_length);
        dir[dir_length] = L'\0';
    }
    wchar_t full[MAX_PATH];
    DWORD n = GetFullPathNameW(dir, MAX_PATH, full, nullptr);
    if (n == 0 || n >= MAX_PATH) return false;
    const wchar_t* between = full[n - 1] == L'\\' ? L"" : L"\\";
    bool unc = wcsncmp(full, L"\\\\", 2) == 0;
    int written = unc ? _snwprintf(out, WIDE_PATH, L"\\\\?\\UNC\\%ls%ls%ls", full + 2, between, leaf)
                      : _snwprintf(out, WIDE_PATH, L"\\\\?\\%ls%ls%ls", full, between, leaf);
    return written > 0 && static_cast<size_t>(written) < WIDE_PATH;
}

// The path that reaches the file `path` names, into `out` (WIDE_PATH
// characters): as written, or in the "\\?\" form where Windows would take
// it for a device, which GetFullPathName tells by giving "\\.\NUL". A path
// the user wrote in that form ("\\.\COM4") means the device, and stays so.
// False when the path cannot be had in UTF-16.
bool file_path(const char* path, wchar_t* out)
{
    if (MultiByteToWideChar(CP_ACP, 0, path, -1, out, MAX_PATH) == 0) return false;
    wchar_t full[MAX_PATH];
    DWORD n = GetFullPathNameW(out, MAX_PATH, full, nullptr);
    if (wcsncmp(out, L"\\\\.\\", 4) == 0 || n == 0 || n >= MAX_PATH ||
        wcsncmp(full, L"\\\\.\\", 4) != 0) {
        return true;
    }
    const wchar_t* leaf = out;
    for (const wchar_t* c = out; *c != L'\0'; ++c) {
        if (*c == L'\\' || *c == L'/' || *c == L':') leaf = c + 1;
    }
    wchar_t literal[WIDE_PATH];
    if (!literal_path(out, leaf, literal)) return true;
    wcscpy(out, literal);
    return true;
}

// A handle on the file `path` names, only to ask about it (folders too):
// INVALID_HANDLE_VALUE when there is none, GetLastError saying why.
HANDLE open_to_ask(const char* path)
{
    wchar_t wide[WIDE_PATH];
    if (!file_path(path, wide)) {
        SetLastError(ERROR_INVALID_NAME);
        return INVALID_HANDLE_VALUE;
    }
    return CreateFileW(wide, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

}  // namespace

FILE* platform_open_file(const char* path, const char* mode)
{
    wchar_t wide[WIDE_PATH], wide_mode[8];
    size_t m = 0;
    for (; mode[m] != '\0' && m + 1 < sizeof wide_mode / sizeof wide_mode[0]; ++m) {
        wide_mode[m] = static_cast<wchar_t>(mode[m]);
    }
    wide_mode[m] = L'\0';
    return file_path(path, wide) ? _wfopen(wide, wide_mode) : fopen(path, mode);
}

bool platform_regular_file(const char* path)
{
    wchar_t wide[WIDE_PATH];
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!file_path(path, wide) || !GetFileAttributesExW(wide, GetFileExInfoStandard, &data)) return false;
    return (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) == 0;
}

// "N": the handle is not inherited.
FILE* platform_open_append(const char* path, bool readable)
{
    return platform_open_file(path, readable ? "a+bN" : "abN");
}

// A UNC path (\\server\share\..., \\?\UNC\...) or a path on a drive the
// system calls remote (a mapped network drive).
bool platform_network_file(const char* path, char* kind, size_t size)
{
    wchar_t wide[WIDE_PATH], full[WIDE_PATH], root[WIDE_PATH];
    if (!file_path(path, wide)) return false;
    DWORD n = GetFullPathNameW(wide, WIDE_PATH, full, nullptr);
    if (n == 0 || n >= WIDE_PATH) return false;
    bool device = wcsncmp(full, L"\\\\?\\", 4) == 0 || wcsncmp(full, L"\\\\.\\", 4) == 0;
    if ((full[0] == L'\\' && full[1] == L'\\' && !device) || _wcsnicmp(full, L"\\\\?\\UNC\\", 8) == 0) {
        snprintf(kind, size, "a UNC path");
        return true;
    }
    if (GetVolumePathNameW(full, root, WIDE_PATH) && GetDriveTypeW(root) == DRIVE_REMOTE) {
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
    HANDLE file = open_to_ask(path);
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
    auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    if (!GetFileInformationByHandle(handle, &open_file)) return true;
    HANDLE h = open_to_ask(path);
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
